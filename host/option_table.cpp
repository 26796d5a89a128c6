// option_table.cpp - the option table from the host layer's constants.
#include "option_table.h"

#include <stdio.h>
#include <stdlib.h>

#include <cmath>

#include "mosaic_host.h"

namespace polarmosaic {
namespace {

// The ring's smallest length in pixels: one polar row.
constexpr double kMinRingPixels = kPixelsPerPolarRow;

std::string Number(double value) {
    char text[32];
    snprintf(text, sizeof(text), "%.6g", value);
    return text;
}

// An entry without limits (choices, flags, colours): the fields that apply.
OptionEntry Plain(const char* name, OptionKind kind, OptionScope scope, std::string default_text) {
    OptionEntry e = {name, kind, scope, 0,  0, 0, 0, 0, 0, 0, 0, std::move(default_text),
                     "",   {},   '\0',  "", ""};
    return e;
}

std::vector<OptionEntry> MakeTable() {
    const MosaicOptions o;
    const CentreSpec centre;
    static const char* const kBorders[] = {"none", "grid", "rings", "spokes"};
    const std::string colour = std::to_string(o.borderColor[0]) + "," + std::to_string(o.borderColor[1]) +
                               "," + std::to_string(o.borderColor[2]);
    std::vector<OptionEntry> t;
    auto add = [&t](OptionEntry entry, char short_name, const char* value_name, const char* help) {
        entry.short_name = short_name;
        entry.value_name = value_name;
        entry.help = help;
        t.push_back(std::move(entry));
    };
    OptionEntry geometry = Plain("geometry", kOptionChoice, kScopeBoth, "fitted");
    geometry.choices = {"fitted", "classic"};
    add(geometry, '\0', "NAME",
        "fitted: rings around the centre out to the farthest corner, nothing cropped; classic: the "
        "module's classic framing (--classic)");
    OptionEntry sectors = Plain("sectors", kOptionWhole, kScopeBoth, std::to_string(kDefaultSectors));
    sectors.max = POLARMOSAIC_FITTED_MAX_SECTORS;
    sectors.min = sectors.step = sectors.typical_lo = 1;
    sectors.typical_hi = 180;
    add(sectors, 's', "N", "N sectors in the outer rings");
    add({"ring",
         kOptionLength,
         kScopeBoth,
         kMinRingPixels,
         kMaxRingPixels,
         0.1,
         0.1,
         kMaxRingPercent,
         0.1,
         0.5,
         25,
         LengthText(kDefaultRing),
         LengthText(kClassicRing),
         {},
         '\0',
         "",
         ""},
        'r', "LENGTH", "ring thickness; -s 720 -r 1 -b none is the finest grid");
    OptionEntry border = Plain("border", kOptionChoice, kScopeBoth, kBorders[o.borderMode - kBorderNone]);
    border.choices = {"grid", "rings", "spokes", "none"};
    add(border, 'b', "STYLE", "lines along the rings and spokes (grid), the rings, the spokes, or none");
    add({"border-width",
         kOptionLength,
         kScopeBoth,
         0,
         kMaxBorderWidth,
         1,
         0,
         kMaxLineWidthPercent,
         0.05,
         0,
         3,
         LengthText(kDefaultLineWidth),
         LengthText(kClassicLineWidth),
         {},
         '\0',
         "",
         ""},
        'w', "LENGTH",
        "line width; 0 draws no lines; the classic geometry draws a width N of 1 or more as "
        "2 * (N / 2) + 1 pixels");
    OptionEntry border_colour = Plain("border-colour", kOptionColour, kScopeBoth, colour);
    border_colour.max = 255;
    border_colour.step = 1;
    add(border_colour, 'c', "COLOUR", "line colour: #rrggbb, R,G,B or a CSS colour name such as 'navy'");
    static const char* const kShades[4] = {"shade-outer", "shade-inner", "shade-ccw", "shade-cw"};
    static const std::string kShadeHelp[4] = {
        "shade factor of the outer side of each ring", "shade factor of the inner side of each ring",
        "shade factor of the counter-clockwise side of each spoke",
        std::string(
            "shade factor of the clockwise side of each spoke (a side's band runs from the line colour "
            "at its centre to the colour times F at its edge; all four 0 give flat lines)")};
    for (int side = 0; side < 4; ++side) {
        OptionEntry shade = Plain(kShades[side], kOptionNumber, kScopeBoth, Number(o.shade[side]));
        shade.max = kMaxShadeFactor;
        shade.step = 0.05;
        shade.typical_hi = 6;
        add(shade, '\0', "F", kShadeHelp[side].c_str());
    }
    OptionEntry centre_entry = Plain("centre", kOptionCentre, kScopeFitted,
                                     LengthText(Length{centre.x, centre.x_relative}) + "," +
                                         LengthText(Length{centre.y, centre.y_relative}));
    centre_entry.max_percent = 100;
    centre_entry.step_percent = 0.01;
    centre_entry.typical_hi = 100;
    add(centre_entry, '\0', "X,Y",
        "the centre, in pixels from the left and top edge or in per cent of the way across");
    OptionEntry angle = Plain("angle", kOptionNumber, kScopeFitted, Number(o.angle));
    angle.min = -kMaxAngle;
    angle.max = kMaxAngle;
    angle.step = 1;
    angle.typical_hi = 359;
    add(angle, '\0', "DEG", "direction of the first spoke, degrees counter-clockwise from 3 o'clock");
    OptionEntry hard = Plain("hard-edges", kOptionFlag, kScopeFitted, o.hardEdges ? "1" : "0");
    hard.max = hard.step = 1;
    add(hard, '\0', "", "no blending at tile and line edges (pixel art, or the look of earlier versions)");
    OptionEntry split = Plain("split", kOptionFlag, kScopeClassic, o.splitRemainder ? "1" : "0");
    split.max = split.step = 1;
    add(split, '\0', "",
        "split the part of an axis left over by whole tiles between a first and a last tile");
    return t;
}

std::string Quoted(const std::string& text) {
    std::string q = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

}  // namespace

const std::vector<OptionEntry>& OptionTable() {
    static const std::vector<OptionEntry> table = MakeTable();
    return table;
}

const OptionEntry* FindOption(const std::string& name) {
    for (const OptionEntry& entry : OptionTable()) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

std::string OptionTableJson() {
    static const char* const kKinds[] = {"whole", "number", "length", "choice", "flag", "colour", "centre"};
    static const char* const kScopes[] = {"both", "fitted", "classic"};
    std::string json = "[";
    for (const OptionEntry& s : OptionTable()) {
        if (json.size() > 1) json += ",\n";
        json += "{\"name\":" + Quoted(s.name) + ",\"kind\":" + Quoted(kKinds[s.kind]) +
                ",\"scope\":" + Quoted(kScopes[s.scope]) + ",\"min\":" + Number(s.min) +
                ",\"max\":" + Number(s.max) + ",\"step\":" + Number(s.step) +
                ",\"minPercent\":" + Number(s.min_percent) + ",\"maxPercent\":" + Number(s.max_percent) +
                ",\"stepPercent\":" + Number(s.step_percent) + ",\"typical\":[" + Number(s.typical_lo) + "," +
                Number(s.typical_hi) + "],\"default\":" + Quoted(s.default_text) + ",\"classicDefault\":" +
                Quoted(s.classic_default_text.empty() ? s.default_text : s.classic_default_text) +
                ",\"choices\":[";
        for (size_t i = 0; i < s.choices.size(); ++i) json += (i ? "," : "") + Quoted(s.choices[i]);
        json += "]}";
    }
    return json + "]";
}

namespace {

// "12", "-3", "1e3" as strtod reads it, finite; false for anything else.
bool ReadNumber(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

// "R,G,B" with each part a whole number in 0 .. 255, or "#rrggbb".
bool ReadColour(const std::string& text) {
    if (text.size() == 7 && text[0] == '#') {
        return text.find_first_not_of("0123456789abcdefABCDEF", 1) == std::string::npos;
    }
    size_t start = 0;
    for (int c = 0; c < 3; ++c) {
        const size_t comma = text.find(',', start);
        if ((c < 2) == (comma == std::string::npos)) return false;
        const std::string part = text.substr(start, c < 2 ? comma - start : std::string::npos);
        double v = 0;
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos ||
            !ReadNumber(part, &v) || v > 255)
            return false;
        start = comma + 1;
    }
    return true;
}

std::string Range(double lo, double hi) {
    char text[64];
    snprintf(text, sizeof(text), "%.10g .. %.10g", lo, hi);
    return text;
}

}  // namespace

std::string OptionValueProblem(const OptionEntry& entry, const std::string& text) {
    const std::string quoted = "'" + text + "' is not ";
    double v = 0;
    Length length;
    CentreSpec centre;
    switch (entry.kind) {
        case kOptionWhole:
            if (ReadNumber(text, &v) && text.find_first_not_of("+-0123456789") == std::string::npos &&
                v >= entry.min && v <= entry.max)
                return std::string();
            return quoted + "a whole number in " + Range(entry.min, entry.max);
        case kOptionNumber:
            if (entry.name == std::string("angle"))
                return ParseAngle(text, &v) ? std::string() : quoted + kAngleRule;
            if (ReadNumber(text, &v) && v >= entry.min && v <= entry.max) return std::string();
            return quoted + "a number in " + Range(entry.min, entry.max);
        case kOptionLength:
            if (entry.name == std::string("ring")) {
                return ParseLength(text, &length) && RingLengthUsable(length) ? std::string()
                                                                              : quoted + kRingRule;
            }
            return ParseLength(text, &length) && LineWidthUsable(length) ? std::string()
                                                                         : quoted + kLineWidthRule;
        case kOptionChoice:
            for (const std::string& choice : entry.choices) {
                if (text == choice) return std::string();
            }
            {
                std::string list;
                for (const std::string& choice : entry.choices) list += (list.empty() ? "" : ", ") + choice;
                return "unknown " + std::string(entry.name) + (entry.value_name == "STYLE" ? " style" : "") +
                       " '" + text + "' (" + list + ")";
            }
        case kOptionFlag:
            return text.empty() ? std::string() : "'" + text + "': the option takes no value";
        case kOptionColour:
            return ReadColour(text)
                       ? std::string()
                       : quoted + "a colour (#rrggbb, R,G,B with 0 .. 255, or a CSS colour name)";
        case kOptionCentre:
            return ParseCentre(text, &centre) ? std::string() : quoted + kCentreRule;
    }
    return quoted + "a value of this option";
}

std::string OptionLimitsText(const OptionEntry& entry) {
    std::string limits;
    switch (entry.kind) {
        case kOptionWhole:
        case kOptionNumber:
            limits = Range(entry.min, entry.max);
            break;
        case kOptionLength:
            limits = "up to " + Number(entry.max) + " pixels or " + Number(entry.max_percent) + "%";
            break;
        case kOptionChoice:
            for (const std::string& choice : entry.choices) limits += (limits.empty() ? "" : ", ") + choice;
            break;
        default:
            break;
    }
    if (entry.kind == kOptionFlag) return limits;
    std::string text = limits.empty() ? std::string() : limits + "; ";
    text += "default " + entry.default_text;
    if (!entry.classic_default_text.empty()) text += ", classic " + entry.classic_default_text;
    return text;
}

}  // namespace polarmosaic
