// plugin_settings.cpp - the GIMP plug-in's settings and pixels, without GIMP.
#include "plugin_settings.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>

#include <sstream>

namespace polarmosaic {
namespace {

std::string Rejected(const OptionEntry& entry, const std::string& text, const std::string& rule) {
    return "option " + std::string(entry.name) + ": '" + text + "' is not " + rule;
}

std::string Range(double lo, double hi, const char* unit = "") {
    std::ostringstream out;
    out << lo << unit << " .. " << hi << unit;
    return out.str();
}

bool ParseWhole(const std::string& text, double lo, double hi, int* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || v < lo || v > hi) return false;
    *value = static_cast<int>(v);
    return true;
}

bool ParseReal(const std::string& text, double lo, double hi, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
    *value = v;
    return true;
}

// A length within the entry's pixel or per cent limits.
bool LengthInTable(const OptionEntry& entry, const Length& length) {
    return length.relative ? length.value >= entry.min_percent && length.value <= entry.max_percent
                           : length.value >= entry.min && length.value <= entry.max;
}

int BorderModeOfName(const std::string& name) {
    static const struct {
        const char* name;
        int mode;
    } kModes[] = {
        {"none", kBorderNone}, {"grid", kBorderGrid}, {"rings", kBorderRings}, {"spokes", kBorderSpokes}};
    for (const auto& m : kModes) {
        if (name == m.name) return m.mode;
    }
    return -1;
}

// Sets one value into *settings; false with the reason when it is refused.
bool ApplyValue(const OptionEntry& entry, const std::string& text, UserSettings* s, std::string* reason) {
    const std::string name = entry.name;
    switch (entry.kind) {
        case kOptionWhole: {
            int v = 0;
            if (!ParseWhole(text, entry.min, entry.max, &v)) {
                *reason = Rejected(entry, text, "a whole number in " + Range(entry.min, entry.max));
                return false;
            }
            if (name == "sectors") {
                s->sectors = v;
                return true;
            }
            break;
        }
        case kOptionNumber: {
            double v = 0;
            if (!ParseReal(text, entry.min, entry.max, &v)) {
                *reason = Rejected(entry, text, "a number in " + Range(entry.min, entry.max));
                return false;
            }
            static const char* const kShades[4] = {"shade-outer", "shade-inner", "shade-ccw", "shade-cw"};
            static const int kSides[4] = {kShadeOuter, kShadeInner, kShadeCcw, kShadeCw};
            for (int i = 0; i < 4; ++i) {
                if (name == kShades[i]) {
                    s->mosaic.shade[kSides[i]] = static_cast<float>(v);
                    return true;
                }
            }
            if (name == "angle") {
                if (!AngleUsable(v)) break;
                s->mosaic.angle = v;
                return true;
            }
            break;
        }
        case kOptionLength: {
            Length length;
            const bool ring = name == "ring";
            if (!ParseLength(text, &length) || !LengthInTable(entry, length) ||
                !(ring ? RingLengthUsable(length) : LineWidthUsable(length))) {
                *reason = Rejected(entry, text,
                                   "a length of " + Range(entry.min, entry.max, " pixels") + " or " +
                                       Range(entry.min_percent, entry.max_percent, "%") +
                                       (ring ? "" : " (whole pixels)"));
                return false;
            }
            if (ring) {
                s->ring = length;
                return true;
            }
            if (name == "border-width") {
                s->line_width = length;
                s->line_width_given = true;
                return true;
            }
            break;
        }
        case kOptionChoice: {
            bool listed = false;
            for (const std::string& choice : entry.choices) listed = listed || choice == text;
            if (!listed) {
                std::string list;
                for (const std::string& choice : entry.choices) list += (list.empty() ? "" : ", ") + choice;
                *reason = Rejected(entry, text, "one of " + list);
                return false;
            }
            if (name == "geometry") {
                s->classic = text == "classic";
                return true;
            }
            if (name == "border" && BorderModeOfName(text) >= 0) {
                s->mosaic.borderMode = BorderModeOfName(text);
                return true;
            }
            break;
        }
        case kOptionFlag: {
            if (text != "0" && text != "1") {
                *reason = Rejected(entry, text, "0 or 1");
                return false;
            }
            if (name == "hard-edges") {
                s->mosaic.hardEdges = text == "1";
                return true;
            }
            if (name == "split") {
                s->mosaic.splitRemainder = text == "1";
                return true;
            }
            break;
        }
        case kOptionColour: {
            int rgb[3];
            std::istringstream in(text);
            std::string part;
            int count = 0;
            bool ok = true;
            while (ok && std::getline(in, part, ',')) {
                ok = count < 3 && ParseWhole(part, entry.min, entry.max, &rgb[count]);
                ++count;
            }
            if (!ok || count != 3 || text.empty() || text.back() == ',') {
                *reason = Rejected(entry, text, "R,G,B with each in " + Range(entry.min, entry.max));
                return false;
            }
            if (name == "border-colour") {
                for (int c = 0; c < 3; ++c) s->mosaic.borderColor[c] = rgb[c];
                return true;
            }
            break;
        }
        case kOptionCentre: {
            CentreSpec centre;
            const bool inside =
                ParseCentre(text, &centre) &&
                (!centre.x_relative || (centre.x >= entry.min_percent && centre.x <= entry.max_percent)) &&
                (!centre.y_relative || (centre.y >= entry.min_percent && centre.y <= entry.max_percent));
            if (!inside) {
                *reason = Rejected(entry, text, kCentreRule);
                return false;
            }
            if (name == "centre") {
                s->centre = centre;
                return true;
            }
            break;
        }
    }
    // A table entry this plug-in does not know: a new option needs a place here.
    *reason = "option " + name + " is not known to the GIMP plug-in";
    return false;
}

}  // namespace

const std::string& DefaultText(const OptionEntry& entry, bool classic) {
    return classic && !entry.classic_default_text.empty() ? entry.classic_default_text : entry.default_text;
}

SettingValues DefaultValues(bool classic) {
    SettingValues values;
    for (const OptionEntry& entry : OptionTable()) values[entry.name] = DefaultText(entry, classic);
    values["geometry"] = classic ? "classic" : "fitted";
    return values;
}

bool IsClassic(const SettingValues& values) {
    auto it = values.find("geometry");
    return it != values.end() && it->second == "classic";
}

bool ValuesToSettings(const SettingValues& values, UserSettings* settings, std::string* reason) {
    const bool classic = IsClassic(values);
    UserSettings s;
    for (const OptionEntry& entry : OptionTable()) {
        auto it = values.find(entry.name);
        const std::string& text =
            it == values.end() || it->second.empty() ? DefaultText(entry, classic) : it->second;
        if (!ApplyValue(entry, text, &s, reason)) return false;
    }
    *settings = s;
    return true;
}

std::string SerializeValues(const SettingValues& values) {
    std::string text;
    for (const auto& value : values) text += value.first + "=" + value.second + "\n";
    return text;
}

SettingValues ParseSerializedValues(const std::string& text) {
    SettingValues values;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = line.substr(0, equals);
        if (FindOption(name)) values[name] = line.substr(equals + 1);
    }
    return values;
}

int GreyOfColour(const int rgb[3]) {
    // Rec. 709 weights in ten-thousandths, rounded half up.
    return (rgb[0] * 2126 + rgb[1] * 7152 + rgb[2] * 722 + 5000) / 10000;
}

bool PixelRunner::Run(uint8_t* pixels, int width, int height, ptrdiff_t stride, int channels,
                      MosaicOptions options, std::string* reason) {
    if (channels < 1 || channels > 4) {
        *reason = "pixels of " + std::to_string(channels) + " channels";
        return false;
    }
    const bool grey = channels <= 2;
    if (grey) {
        const int level = GreyOfColour(options.borderColor);
        for (int& c : options.borderColor) c = level;
    }
    if (!host_.Prepare(width, height, options, reason)) return false;
    if (!grey) {
        host_.Apply(pixels, stride, pixels, stride, channels);
        return true;
    }
    // Grey: R = G = B (alpha after them), then the red channel back.
    const int colour_channels = channels + 2;
    const ptrdiff_t colour_stride = static_cast<ptrdiff_t>(width) * colour_channels;
    colour_.resize(static_cast<size_t>(colour_stride) * height);
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = pixels + y * stride;
        uint8_t* out = colour_.data() + y * colour_stride;
        for (int x = 0; x < width; ++x, in += channels, out += colour_channels) {
            out[0] = out[1] = out[2] = in[0];
            if (channels == 2) out[3] = in[1];
        }
    }
    host_.Apply(colour_.data(), colour_stride, colour_.data(), colour_stride, colour_channels);
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = colour_.data() + y * colour_stride;
        uint8_t* out = pixels + y * stride;
        for (int x = 0; x < width; ++x, in += colour_channels, out += channels) {
            out[0] = in[0];
            if (channels == 2) out[1] = in[3];
        }
    }
    return true;
}

}  // namespace polarmosaic
