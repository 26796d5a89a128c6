// option_table.cpp - the option table from the host layer's constants.
#include "option_table.h"

#include <stdio.h>

#include "mosaic_host.h"

namespace polarmosaic {
namespace {

// The ring's smallest length in pixels: one polar row.
constexpr double kMinRingPixels = kPixelsPerPolarRow;
constexpr double kMaxRingPixels = 65535;
constexpr double kMaxRingPercent = 200;
constexpr double kMaxLinePercent = 100;
constexpr double kMaxAngle = 1e6;

std::string Number(double value) {
    char text[32];
    snprintf(text, sizeof(text), "%.6g", value);
    return text;
}

std::vector<OptionEntry> MakeTable() {
    const MosaicOptions o;
    const CentreSpec centre;
    static const char* const kBorders[] = {"none", "grid", "rings", "spokes"};
    const std::string colour = std::to_string(o.borderColor[0]) + "," + std::to_string(o.borderColor[1]) +
                               "," + std::to_string(o.borderColor[2]);
    std::vector<OptionEntry> t;
    auto add = [&t](OptionEntry entry) { t.push_back(std::move(entry)); };
    add({"geometry", kOptionChoice, kScopeBoth, 0, 0, 0, 0, 0, 0, 0, 0, "fitted", "", {"fitted", "classic"}});
    add({"sectors",
         kOptionWhole,
         kScopeBoth,
         1,
         kMaxSectors,
         1,
         0,
         0,
         0,
         1,
         180,
         std::to_string(kDefaultSectors),
         "",
         {}});
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
         {}});
    add({"border",
         kOptionChoice,
         kScopeBoth,
         0,
         0,
         0,
         0,
         0,
         0,
         0,
         0,
         kBorders[o.borderMode - kBorderNone],
         "",
         {"grid", "rings", "spokes", "none"}});
    add({"border-width",
         kOptionLength,
         kScopeBoth,
         0,
         kMaxBorderWidth,
         1,
         0,
         kMaxLinePercent,
         0.05,
         0,
         3,
         LengthText(kDefaultLineWidth),
         LengthText(kClassicLineWidth),
         {}});
    add({"border-colour", kOptionColour, kScopeBoth, 0, 255, 1, 0, 0, 0, 0, 0, colour, "", {}});
    static const char* const kShades[4] = {"shade-outer", "shade-inner", "shade-ccw", "shade-cw"};
    for (int side = 0; side < 4; ++side) {
        add({kShades[side],
             kOptionNumber,
             kScopeBoth,
             0,
             kMaxShadeFactor,
             0.05,
             0,
             0,
             0,
             0,
             6,
             Number(o.shade[side]),
             "",
             {}});
    }
    add({"centre",
         kOptionCentre,
         kScopeFitted,
         0,
         0,
         0,
         0,
         100,
         0.01,
         0,
         100,
         LengthText(Length{centre.x, centre.x_relative}) + "," +
             LengthText(Length{centre.y, centre.y_relative}),
         "",
         {}});
    add({"angle",
         kOptionNumber,
         kScopeFitted,
         -kMaxAngle,
         kMaxAngle,
         1,
         0,
         0,
         0,
         0,
         359,
         Number(o.angle),
         "",
         {}});
    add({"hard-edges", kOptionFlag, kScopeFitted, 0, 1, 1, 0, 0, 0, 0, 0, o.hardEdges ? "1" : "0", "", {}});
    add({"split", kOptionFlag, kScopeClassic, 0, 1, 1, 0, 0, 0, 0, 0, o.splitRemainder ? "1" : "0", "", {}});
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

}  // namespace polarmosaic
