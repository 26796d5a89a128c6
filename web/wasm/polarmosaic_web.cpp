// polarmosaic_web.cpp - the web page's entry points: one picture in RGBA (as
// a canvas gives it), the effect with the tool's polar terms and the host
// layer's checks, the result in RGBA and its pixel checksum. The result is
// byte for byte the tool's: the tests compare the checksums.
//
// Everything here is single-threaded and keeps its buffers between calls,
// so a live preview allocates only when the picture size changes.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "demo_image.h"
#include "mosaic_host.h"
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

// The page's geometry numbers.
enum PageGeometry { kPageClassic = 0, kPageFitted = 1 };

// The planes of one picture. A live preview changes the settings, not the
// picture, and the first stage of the effect (the forward pass) reads only
// the picture: its result is kept and each later frame starts from it, with
// exactly the planes that one whole call would have at that point.
struct WebState {
    int width = 0;
    int height = 0;
    int line = 0;
    std::vector<uint8_t> input;      // RGBA as decoded by the browser
    std::vector<uint8_t> output;     // RGBA, alpha 255
    std::vector<uint8_t> source[3];  // the picture as planes, padding 0
    std::vector<uint8_t> polar[3];   // outPlane after the forward pass
    std::vector<uint8_t> in[3];      // the effect's two plane sets
    std::vector<uint8_t> out[3];
    bool polar_valid = false;
    bool reuse_polar = true;
    std::vector<int16_t> tile_widths;
    std::vector<int16_t> tile_heights;
    std::vector<uint8_t> ramps[12];
#ifdef POLARMOSAIC_WEB_FITTED
    std::vector<uint8_t> rgb;  // the fitted geometry runs through the host layer
    MosaicHost host;
#endif
    std::string error;
    char checksum[17] = {0};
    double effect_ms = 0;
};

WebState& State() {
    static WebState state;
    return state;
}

// Alpha laid over white exactly as the tool's loader does it.
inline uint8_t OverWhite(uint32_t colour, uint32_t alpha) {
    return static_cast<uint8_t>((colour * alpha + 255 * (255 - alpha) + 127) / 255);
}

PolarMapParam MapRecord(uint8_t* const src[3], uint8_t* const dst[3], int line, int width, int height) {
    PolarMapParam map = {};
    map.zoom = 1.0f;  // iPolarMosaic0's passes: zoom 1, no offsets, wrapping
    for (int c = 0; c < 3; ++c) {
        map.srcPlane[c] = src[c];
        map.dstPlane[c] = dst[c];
    }
    map.lineBytes = static_cast<int16_t>(line);
    map.width = static_cast<int16_t>(width);
    map.height = static_cast<int16_t>(height);
    map.wrap = 1;
    return map;
}

TurnParam TurnRecord(uint8_t* const src[3], uint8_t* const dst[3], int src_width, int src_line,
                     int src_height, int mode, int dst_line) {
    TurnParam turn = {};
    for (int c = 0; c < 3; ++c) {
        turn.srcPlane[c] = src[c];
        turn.dstPlane[c] = dst[c];
    }
    turn.srcWidth = static_cast<int16_t>(src_width);
    turn.srcLineBytes = static_cast<int16_t>(src_line);
    turn.srcHeight = static_cast<int16_t>(src_height);
    turn.turnMode = static_cast<int16_t>(mode);
    turn.dstWidth = static_cast<int16_t>(src_height);
    turn.dstLineBytes = static_cast<int16_t>(dst_line);
    turn.dstHeight = static_cast<int16_t>(src_width);
    return turn;
}

// The picture as planes in both plane sets (as the host layer fills them),
// then the forward pass; its result is kept in polar.
void RunForwardPass(WebState& s) {
    const size_t pixels = static_cast<size_t>(s.width) * s.height;
    (void)pixels;
    for (int y = 0; y < s.height; ++y) {
        const uint8_t* p = s.input.data() + static_cast<size_t>(y) * s.width * 4;
        size_t row = static_cast<size_t>(y) * s.line;
        for (int x = 0; x < s.width; ++x, p += 4) {
            uint32_t alpha = p[3];
            for (int c = 0; c < 3; ++c) {
                s.source[c][row + x] = alpha == 255 ? p[c] : OverWhite(p[c], alpha);
            }
        }
    }
    uint8_t* in[3];
    uint8_t* out[3];
    for (int c = 0; c < 3; ++c) {
        s.in[c] = s.source[c];
        s.out[c] = s.source[c];
        in[c] = s.in[c].data();
        out[c] = s.out[c].data();
    }
    PolarMapParam forward = MapRecord(in, out, s.line, s.width, s.height);
    iPolar2CartesianRows0(&forward, 0, s.height);
    for (int c = 0; c < 3; ++c) s.polar[c] = s.out[c];
    s.polar_valid = true;
}

// iPolarMosaic0 from its stages, the forward pass taken from polar.
// Returns a module status.
int RunEffect(WebState& s, PolarMosaicParam* p) {
    if (!s.polar_valid || !s.reuse_polar) {
        RunForwardPass(s);
    } else {
        for (int c = 0; c < 3; ++c) {
            memcpy(s.in[c].data(), s.source[c].data(), s.source[c].size());
            memcpy(s.out[c].data(), s.polar[c].data(), s.polar[c].size());
        }
    }
    PolarTileGrid grid;
    int status = iTileGrid0(p, &grid);
    if (status == POLARMOSAIC_OK) status = iTileAverageRows0(p, &grid, 0, grid.tileRows);
    if (status != POLARMOSAIC_OK) return status;
    if (p->borderMode != POLARMOSAIC_BORDER_NONE && p->borderWidth > 0) {
        status = iBorderRamps0(p);
        if (status == POLARMOSAIC_OK) status = iBorderRows0(p, &grid, 0, p->height);
        if (status != POLARMOSAIC_OK) return status;
    }
    TurnParam turn =
        TurnRecord(p->inPlane, p->outPlane, s.width, s.line, s.height, POLARMOSAIC_TURN_CW, s.height);
    status = iTurnRows0(&turn, 0, s.width);
    if (status != POLARMOSAIC_OK) return status;
    PolarMapParam inverse = MapRecord(p->outPlane, p->inPlane, s.height, s.height, s.width);
    status = iCartesian2PolarRows0(&inverse, 0, s.width);
    if (status != POLARMOSAIC_OK) return status;
    TurnParam back =
        TurnRecord(p->inPlane, p->outPlane, s.height, s.height, s.width, POLARMOSAIC_TURN_CCW, s.line);
    return iTurnRows1(&back, 0, s.height);
}

#ifdef POLARMOSAIC_WEB_FITTED
// The fitted geometry through the host layer, on RGB: the tool's path.
bool RunFitted(WebState& s, MosaicOptions options, int sectors, double ring) {
    options.geometry = kGeometryFitted;
    options.splitRemainder = false;  // a classic option
    options.sectors = sectors;
    options.ringWidth = ResolveLength(Length{ring, false}, s.width, s.height, 1);
    if (!s.host.Prepare(s.width, s.height, options, &s.error)) return false;
    const size_t pixels = static_cast<size_t>(s.width) * s.height;
    s.rgb.resize(pixels * 3);
    const uint8_t* p = s.input.data();
    uint8_t* q = s.rgb.data();
    for (size_t i = 0; i < pixels; ++i, p += 4, q += 3) {
        for (int c = 0; c < 3; ++c) q[c] = p[3] == 255 ? p[c] : OverWhite(p[c], p[3]);
    }
    const ptrdiff_t stride = static_cast<ptrdiff_t>(s.width) * 3;
    s.host.Apply(s.rgb.data(), stride, s.rgb.data(), stride);
    q = s.rgb.data();
    uint8_t* d = s.output.data();
    for (size_t i = 0; i < pixels; ++i, q += 3, d += 4) {
        d[0] = q[0];
        d[1] = q[1];
        d[2] = q[2];
    }
    return true;
}
#endif

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
    s.line = lcw16(static_cast<int16_t>(width));
    size_t plane = static_cast<size_t>(height) * s.line;
    s.input.assign(pixels * 4, 255);
    s.output.assign(pixels * 4, 255);
    for (int c = 0; c < 3; ++c) {
        s.source[c].assign(plane, 0);
        s.polar[c].assign(plane, 0);
        s.in[c].assign(plane, 0);
        s.out[c].assign(plane, 0);
    }
    s.polar_valid = false;
    return s.input.data();
}

// Fills the input with the tool's built-in picture (--demo) at its size.
PM_EXPORT(pm_fill_demo) void pm_fill_demo() {
    WebState& s = State();
    Image demo = MakeDemoImage(s.width, s.height);
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
    s.polar_valid = false;
}

// 1 (the default): frames after the first on one picture start from the
// kept forward pass; 0: every frame runs the whole effect (for timing).
PM_EXPORT(pm_reuse_forward_pass) void pm_reuse_forward_pass(int reuse) { State().reuse_polar = reuse != 0; }

// 1 when this build has the given geometry (0 classic, 1 fitted).
PM_EXPORT(pm_has_geometry) int pm_has_geometry(int geometry) {
#ifdef POLARMOSAIC_WEB_FITTED
    if (geometry == kPageFitted) return 1;
#endif
    return geometry == kPageClassic ? 1 : 0;
}

// Runs the effect on the input with the tool's options (sectors and ring in
// its polar terms, border 1 none .. 4 spokes, colour, the four shade factors
// outer, inner, counter-clockwise, clockwise). Returns 1 with the result in
// pm_output and its checksum in pm_checksum, or 0 with pm_error set.
PM_EXPORT(pm_render)
int pm_render(int geometry, int sectors, double ring, int border, int border_width, int red, int green,
              int blue, float shade_outer, float shade_inner, float shade_ccw, float shade_cw, int split) {
    WebState& s = State();
    if (s.input.empty()) {
        s.error = "no picture";
        return 0;
    }
    if (!pm_has_geometry(geometry)) {
        s.error = "this build has no geometry " + std::to_string(geometry);
        return 0;
    }
    if (sectors < 1 || !(ring >= kPixelsPerPolarRow && ring <= 32767 * kPixelsPerPolarRow)) {
        s.error = "sectors or ring out of range";
        return 0;
    }
    MosaicOptions options;
    options.tileWidth = SectorTileWidth(s.width, sectors);
    options.tileHeight = RingTileHeight(ring);
    options.splitRemainder = split != 0;
    options.borderMode = border;
    options.borderWidth = border_width;
    options.borderColor[0] = red;
    options.borderColor[1] = green;
    options.borderColor[2] = blue;
    options.shade[kShadeOuter] = shade_outer;
    options.shade[kShadeInner] = shade_inner;
    options.shade[kShadeLeft] = shade_ccw;
    options.shade[kShadeRight] = shade_cw;
    options.threads = 1;  // the page's worker is the only thread
#ifdef POLARMOSAIC_WEB_FITTED
    if (geometry == kPageFitted) {
        double start = now_ms();
        if (!RunFitted(s, options, sectors, ring)) return 0;
        s.effect_ms = now_ms() - start;
        std::string hex = ChecksumHex(
            PixelChecksumRgba(s.output.data(), s.width, s.height, static_cast<ptrdiff_t>(s.width) * 4));
        memcpy(s.checksum, hex.c_str(), 17);
        s.error.clear();
        return 1;
    }
    options.geometry = kGeometryClassic;
#endif
    s.error = CheckOptions(options, s.width, s.height);
    if (!s.error.empty()) return 0;

    // The record MosaicHost::Prepare builds for these options.
    PolarMosaicParam p = {};
    int cols = CoveringTileCount(s.width, options.tileWidth, options.splitRemainder);
    int rows = CoveringTileCount(s.height, options.tileHeight, options.splitRemainder);
    s.tile_widths.assign(static_cast<size_t>(cols), 0);
    s.tile_heights.assign(static_cast<size_t>(rows), 0);
    for (int r = 0; r < 12; ++r) s.ramps[r].assign(static_cast<size_t>(options.borderWidth / 2 + 1), 0);
    for (int c = 0; c < 3; ++c) {
        p.inPlane[c] = s.in[c].data();
        p.outPlane[c] = s.out[c].data();
    }
    for (int r = 0; r < 12; ++r) p.ramp[r] = s.ramps[r].data();
    p.tileWidths = s.tile_widths.data();
    p.tileHeights = s.tile_heights.data();
    p.planeBytes = static_cast<int32_t>(s.in[0].size());
    p.width = static_cast<int16_t>(s.width);
    p.lineBytes = static_cast<int16_t>(s.line);
    p.height = static_cast<int16_t>(s.height);
    SetMosaicSettings(options, cols, rows, &p);
    int status = checkPolarMosaicParam(&p);
    if (status != POLARMOSAIC_OK) {
        s.error = polarMosaicStatusText(status);
        return 0;
    }

    double start = now_ms();
    status = RunEffect(s, &p);
    if (status != POLARMOSAIC_OK) {
        s.error = polarMosaicStatusText(status);
        return 0;
    }
    for (int y = 0; y < s.height; ++y) {
        size_t row = static_cast<size_t>(y) * s.line;
        const uint8_t* r = s.out[0].data() + row;
        const uint8_t* g = s.out[1].data() + row;
        const uint8_t* b = s.out[2].data() + row;
        uint8_t* d = s.output.data() + static_cast<size_t>(y) * s.width * 4;
        for (int x = 0; x < s.width; ++x, d += 4) {
            d[0] = r[x];
            d[1] = g[x];
            d[2] = b[x];
        }
    }
    s.effect_ms = now_ms() - start;
    std::string hex = ChecksumHex(
        PixelChecksumRgba(s.output.data(), s.width, s.height, static_cast<ptrdiff_t>(s.width) * 4));
    memcpy(s.checksum, hex.c_str(), 17);
    s.error.clear();
    return 1;
}

PM_EXPORT(pm_output) const uint8_t* pm_output() { return State().output.data(); }
PM_EXPORT(pm_checksum) const char* pm_checksum() { return State().checksum; }
PM_EXPORT(pm_error) const char* pm_error() { return State().error.c_str(); }
// Time of the last render without option checks and checksum: the
// effect and the conversion to RGBA.
PM_EXPORT(pm_effect_ms) double pm_effect_ms() { return State().effect_ms; }
