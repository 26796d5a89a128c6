// polarmosaic_web.cpp - the web page's entry points: one picture in RGBA (as
// a canvas gives it), the effect with the tool's settings (its long option
// names and values, its defaults from the host layer) and the host layer's
// checks, the result in RGBA and its pixel checksum. The result is byte for
// byte the tool's on opaque pictures: the tests compare the checksums. The
// fitted geometry keeps alpha (the tool lays it over white); the classic
// one lays it over white as the tool does. Both run through the host
// layer's MosaicHost, as the tool does.
//
// Everything here is single-threaded and keeps its buffers between calls,
// so a live preview allocates only when the picture size changes.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "demo_image.h"
#include "mosaic_host.h"
#include "option_table.h"
#include "pixel_checksum.h"

#if defined(__wasm__)
#define PM_EXPORT(name) extern "C" __attribute__((export_name(#name)))
#else
#define PM_EXPORT(name) extern "C"
#endif

// Milliseconds from the page's clock (performance.now); a native build for
// timing comparisons supplies its own.
#if defined(__wasm__)
extern "C" __attribute__((import_module("env"), import_name("now_ms"))) double now_ms(void);
#else
extern "C" double now_ms(void);
#endif

namespace polarmosaic {
namespace {

// The buffers of one picture; the host keeps the fitted geometry's plan
// between frames.
struct WebState {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> input;       // RGBA as decoded by the browser
    std::vector<uint8_t> over_white;  // the input laid over white (classic, translucent pictures)
    bool over_white_valid = false;    // opaque and over_white are for this input
    bool opaque = true;
    std::vector<uint8_t> output;  // RGBA
    std::vector<uint8_t> shrunk;  // RGBA, the input or output made smaller (pm_shrink)
    MosaicHost host;              // the fitted geometry
    MosaicHost classic_host;      // the classic geometry
    std::string settings;         // the next frame's settings text
    std::string error;
    char checksum[17] = {0};  // of the output; empty until pm_checksum asks
    double effect_ms = 0;
};

WebState& State() {
    static WebState state;
    return state;
}

// Alpha laid over white exactly as the tool's loader does it.
inline uint8_t OverWhite(uint32_t colour, uint32_t alpha) {
    return polarmosaic::AlphaOver(colour, alpha, 255);
}

// The RGBA the classic geometry reads: the input itself when it is opaque,
// otherwise a copy laid over white (both found once per picture).
const uint8_t* ClassicInput(WebState& s) {
    const size_t bytes = s.input.size();
    if (!s.over_white_valid) {
        s.opaque = true;
        for (size_t i = 3; i < bytes && s.opaque; i += 4) s.opaque = s.input[i] == 255;
    }
    if (s.opaque) {
        s.over_white_valid = true;
        return s.input.data();
    }
    if (!s.over_white_valid) {
        s.over_white.resize(bytes);
        for (size_t i = 0; i < bytes; i += 4) {
            const uint32_t alpha = s.input[i + 3];
            for (int c = 0; c < 3; ++c) s.over_white[i + c] = OverWhite(s.input[i + c], alpha);
            s.over_white[i + 3] = 255;
        }
        s.over_white_valid = true;
    }
    return s.over_white.data();
}

// The settings of one frame as the page sends them: one "name=value" per
// line, the names and values those of the tool's long options (booleans 0
// or 1, the colour R,G,B, the geometry "fitted" or "classic"). A length or
// setting left out takes the host's default for the geometry.
struct PageSettings {
    bool classic = false;
    MosaicOptions options;  // the host's defaults
    bool ring_given = false;
    Length ring;
    bool line_given = false;
    Length line;
    CentreSpec centre;
    std::string fitted_only;  // a fitted option given with the classic geometry
};

bool ParseNumber(const std::string& text, double lo, double hi, double* value) {
    char* end = nullptr;
    const double v = strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || !(v >= lo && v <= hi)) return false;
    *value = v;
    return true;
}

bool ParseWhole(const std::string& text, int lo, int hi, int* value) {
    double v = 0;
    if (!ParseNumber(text, lo, hi, &v) || v != static_cast<int>(v)) return false;
    *value = static_cast<int>(v);
    return true;
}

bool ParseFlag(const std::string& text, bool* flag) {
    if (text != "0" && text != "1") return false;
    *flag = text == "1";
    return true;
}

int BorderModeByName(const std::string& text) {
    static const char* const kNames[] = {"none", "grid", "rings", "spokes"};
    for (int i = 0; i < 4; ++i) {
        if (text == kNames[i] || text == std::to_string(kBorderNone + i)) return kBorderNone + i;
    }
    return 0;
}

// One setting into *s; false when the name is unknown or the value is not
// one the tool takes for that option.
bool ParseSetting(const std::string& name, const std::string& value, PageSettings* s) {
    MosaicOptions& o = s->options;
    if (name == "geometry") {
        s->classic = value == "classic";
        return value == "classic" || value == "fitted";
    }
    // Numbers and lengths within the option table's limits.
    const OptionEntry* entry = FindOption(name);
    static const char* const kShades[4] = {"shade-outer", "shade-inner", "shade-ccw", "shade-cw"};
    for (int side = 0; side < 4; ++side) {
        if (name != kShades[side]) continue;
        double f = 0;
        if (!ParseNumber(value, entry->min, entry->max, &f)) return false;
        o.shade[side] = static_cast<float>(f);
        return true;
    }
    if (name == "sectors") {
        return ParseWhole(value, static_cast<int>(entry->min), static_cast<int>(entry->max), &o.sectors);
    }
    // A ring of 0 is refused; the table's smallest lengths are those a
    // control offers.
    if (name == "ring") {
        s->ring_given = ParseLength(value, &s->ring) && s->ring.value > 0.0 &&
                        s->ring.value <= (s->ring.relative ? entry->max_percent : entry->max);
        return s->ring_given;
    }
    if (name == "border-width") {
        s->line_given = ParseLength(value, &s->line) &&
                        (s->line.relative ? s->line.value <= entry->max_percent
                                          : s->line.value <= entry->max &&
                                                s->line.value == static_cast<int>(s->line.value));
        return s->line_given;
    }
    if (name == "border") {
        o.borderMode = BorderModeByName(value);
        return o.borderMode != 0;
    }
    if (name == "border-colour") {
        int rgb[3];
        size_t start = 0;
        for (int c = 0; c < 3; ++c) {
            const size_t comma = value.find(',', start);
            if ((c < 2) == (comma == std::string::npos)) return false;
            if (!ParseWhole(value.substr(start, comma - start), 0, 255, &rgb[c])) return false;
            start = comma + 1;
        }
        for (int c = 0; c < 3; ++c) o.borderColor[c] = rgb[c];
        return true;
    }
    if (name == "split") return ParseFlag(value, &o.splitRemainder);
    if (name == "centre" || name == "angle" || name == "hard-edges") s->fitted_only = name;
    if (name == "centre") return ParseCentre(value, &s->centre);
    if (name == "angle") return ParseNumber(value, entry->min, entry->max, &o.angle);
    if (name == "hard-edges") return ParseFlag(value, &o.hardEdges);
    return false;
}

// The settings text into *s, or false with the reason in *error.
bool ParseSettings(const std::string& text, PageSettings* s, std::string* error) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        const size_t equals = line.find('=');
        const std::string name = line.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : line.substr(equals + 1);
        if (equals == std::string::npos || !ParseSetting(name, value, s)) {
            *error = "setting " + name + ": '" + value + "' is not a value the tool takes";
            return false;
        }
    }
    if (s->classic && !s->fitted_only.empty()) {
        *error = "setting " + s->fitted_only + " is for the fitted geometry";
        return false;
    }
    return true;
}

// The host's options for this picture, as the tool makes them from the
// same settings: lengths resolved on the picture's half-diagonal, the
// fitted geometry's centre in doubled pixels, the classic one's tiles in
// polar terms.
bool ResolveSettings(PageSettings* s, int width, int height, std::string* error) {
    UserSettings u;
    u.classic = s->classic;
    u.sectors = s->options.sectors;
    if (s->ring_given) u.ring = s->ring;
    u.line_width_given = s->line_given;
    u.line_width = s->line;
    u.centre = s->centre;
    u.mosaic = s->options;
    u.mosaic.threads = 1;  // the page's worker is the only thread
    error->clear();
    s->options = polarmosaic::ResolveSettings(u, width, height, error);
    if (!error->empty()) return false;
    *error = CheckOptions(s->options, width, height);
    return error->empty();
}

// Area averaging: each pixel of the dst_width x dst_height picture is the
// mean of the source area it covers (fractions of source pixels weighted by
// the part they cover), colours weighted by alpha. Only for making a
// picture smaller (or keeping its size).
struct Span {
    int first = 0;
    std::vector<float> weights;
};

std::vector<Span> AreaSpans(int src, int dst) {
    std::vector<Span> spans(static_cast<size_t>(dst));
    const double scale = static_cast<double>(src) / dst;
    for (int i = 0; i < dst; ++i) {
        const double start = i * scale;
        const double end = (i + 1) * scale;
        Span& span = spans[static_cast<size_t>(i)];
        span.first = static_cast<int>(start);
        for (int j = span.first; j < src && j < end; ++j) {
            const double cover = std::min<double>(j + 1, end) - std::max<double>(j, start);
            if (cover > 0) span.weights.push_back(static_cast<float>(cover / scale));
        }
    }
    return spans;
}

void AreaAverage(const uint8_t* src, int src_width, int src_height, uint8_t* dst, int dst_width,
                 int dst_height) {
    const std::vector<Span> xs = AreaSpans(src_width, dst_width);
    const std::vector<Span> ys = AreaSpans(src_height, dst_height);
    std::vector<float> row(static_cast<size_t>(dst_width) * 4);
    std::vector<float> sum(row.size());
    for (int y = 0; y < dst_height; ++y) {
        std::fill(sum.begin(), sum.end(), 0.0f);
        const Span& vy = ys[static_cast<size_t>(y)];
        for (size_t k = 0; k < vy.weights.size(); ++k) {
            const uint8_t* line = src + static_cast<size_t>(vy.first + static_cast<int>(k)) * src_width * 4;
            for (int x = 0; x < dst_width; ++x) {
                const Span& hx = xs[static_cast<size_t>(x)];
                float r = 0, g = 0, b = 0, a = 0;
                const uint8_t* p = line + static_cast<size_t>(hx.first) * 4;
                for (float w : hx.weights) {
                    const float wa = w * p[3];
                    r += wa * p[0];
                    g += wa * p[1];
                    b += wa * p[2];
                    a += wa;
                    p += 4;
                }
                float* q = &row[static_cast<size_t>(x) * 4];
                q[0] = r;
                q[1] = g;
                q[2] = b;
                q[3] = a;
            }
            const float wy = vy.weights[k];
            for (size_t i = 0; i < row.size(); ++i) sum[i] += wy * row[i];
        }
        uint8_t* d = dst + static_cast<size_t>(y) * dst_width * 4;
        for (int x = 0; x < dst_width; ++x, d += 4) {
            const float* q = &sum[static_cast<size_t>(x) * 4];
            const float a = q[3];
            for (int c = 0; c < 3; ++c) {
                d[c] = a > 0 ? static_cast<uint8_t>(std::min(255.0f, q[c] / a + 0.5f)) : 0;
            }
            d[3] = static_cast<uint8_t>(std::min(255.0f, a + 0.5f));
        }
    }
}

}  // namespace
}  // namespace polarmosaic

using namespace polarmosaic;

// Sizes the input for a width x height picture and returns its RGBA buffer
// (rows width * 4 bytes), or 0 with pm_error set when the size is refused.
PM_EXPORT(pm_input) uint8_t* pm_input(int width, int height) {
    WebState& s = State();
    s.error = CheckImageSize(width, height);
    if (!s.error.empty()) return nullptr;
    size_t pixels = static_cast<size_t>(width) * height;
    s.width = width;
    s.height = height;
    s.input.assign(pixels * 4, 255);
    s.output.assign(pixels * 4, 255);
    s.checksum[0] = '\0';
    s.over_white_valid = false;
    return s.input.data();
}

// Fills the input with the tool's built-in picture (--demo) at its size.
PM_EXPORT(pm_fill_demo) void pm_fill_demo() {
    WebState& s = State();
    DemoImage demo = MakeDemoImage(s.width, s.height);
    const uint8_t* src = demo.rgb.data();
    uint8_t* dst = s.input.data();
    for (size_t i = 0, n = static_cast<size_t>(s.width) * s.height; i < n; ++i) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
        dst[3] = 255;
        src += 3;
        dst += 4;
    }
    s.over_white_valid = false;
}

// A buffer of size bytes for the settings text of the next pm_render (see
// PageSettings); its pointer stays valid until the next call. The settings
// cross into the module as this one record.
PM_EXPORT(pm_settings_buffer) char* pm_settings_buffer(int size) {
    WebState& s = State();
    s.settings.assign(static_cast<size_t>(size < 0 ? 0 : size), '\0');
    return &s.settings[0];
}

// Runs the effect on the input with the settings text in
// pm_settings_buffer, through the host layer (ResolveSettings, then a
// MosaicHost per geometry: the fitted one keeps its plan while a classic
// frame comes in between). Returns 1 with the result in pm_output and its
// checksum from pm_checksum, or 0 with pm_error set.
PM_EXPORT(pm_render) int pm_render() {
    WebState& s = State();
    if (s.input.empty()) {
        s.error = "no picture";
        return 0;
    }
    PageSettings settings;
    if (!ParseSettings(s.settings.c_str(), &settings, &s.error)) return 0;
    if (!ResolveSettings(&settings, s.width, s.height, &s.error)) return 0;
    const MosaicOptions& options = settings.options;
    MosaicHost& host = settings.classic ? s.classic_host : s.host;
    const double start = now_ms();
    if (!host.Prepare(s.width, s.height, options, &s.error)) return 0;
    const ptrdiff_t stride = static_cast<ptrdiff_t>(s.width) * 4;
    if (settings.classic) {
        // Alpha laid over white as the tool lays it; the result is opaque.
        for (size_t i = 3; i < s.output.size(); i += 4) s.output[i] = 255;
        host.Apply(ClassicInput(s), stride, s.output.data(), stride, 4);
    } else {
        host.Apply(s.input.data(), stride, s.output.data(), stride, 4);
    }
    s.effect_ms = now_ms() - start;
    s.checksum[0] = '\0';
    s.error.clear();
    return 1;
}
PM_EXPORT(pm_output) const uint8_t* pm_output() { return State().output.data(); }

// The input (which 0) or the last result (which 1) made width x height
// (no larger than the picture) by area averaging, for the screen and for
// frames at a working size; 0 when the size is not that.
PM_EXPORT(pm_shrink) const uint8_t* pm_shrink(int which, int width, int height) {
    WebState& s = State();
    if (width < 1 || height < 1 || width > s.width || height > s.height || s.input.empty()) return nullptr;
    s.shrunk.resize(static_cast<size_t>(width) * height * 4);
    const uint8_t* src = which ? s.output.data() : s.input.data();
    if (width == s.width && height == s.height) {
        memcpy(s.shrunk.data(), src, s.shrunk.size());
    } else {
        AreaAverage(src, s.width, s.height, s.shrunk.data(), width, height);
    }
    return s.shrunk.data();
}

// The options as the host layer's table gives them, as JSON (names, kinds,
// limits, defaults).
PM_EXPORT(pm_options) const char* pm_options() {
    static const std::string json = OptionTableJson();
    return json.c_str();
}
// Plans the fitted geometry has built so far: a plan is built for a new
// picture size or new geometry settings, and kept while only colours,
// shades or the picture change.
PM_EXPORT(pm_plan_builds) int pm_plan_builds() { return State().host.plan_builds(); }
// The last result's pixel checksum, worked out when first asked for (a
// preview frame, never shown with one, does without: a pass over every
// byte that cannot run in parallel).
PM_EXPORT(pm_checksum) const char* pm_checksum() {
    WebState& s = State();
    if (s.checksum[0] == '\0' && !s.output.empty()) {
        const std::string hex = ChecksumHex(
            PixelChecksumRgba(s.output.data(), s.width, s.height, static_cast<ptrdiff_t>(s.width) * 4));
        memcpy(s.checksum, hex.c_str(), 17);
    }
    return s.checksum;
}
PM_EXPORT(pm_error) const char* pm_error() { return State().error.c_str(); }
// Time of the last render without option checks and checksum: the
// host's Prepare (a plan when one is built) and Apply.
PM_EXPORT(pm_effect_ms) double pm_effect_ms() { return State().effect_ms; }
