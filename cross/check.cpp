// check.cpp - runs a fixed set of cases through the module and prints one
// digest line per case: "<case> <64-bit FNV-1a in hex>".
//
// The digests are formed over output bytes in a fixed order (plane 0, 1, 2,
// each from its first byte to its last; 16-bit values low byte first; float
// and double results by their bit patterns, low byte first), so the text is
// the same on a little-endian and a big-endian processor exactly when the
// module's outputs are. run.sh diffs the output of an x86-64 build against
// that of a 32-bit big-endian MIPS build.
//
// The inputs come from a 32-bit integer generator, so they are the same on
// every processor as well. Besides the module's functions, a few cases hash
// the standard sin, cos, atan and sqrt on arguments like the passes' (the
// "libm-" lines): the module computes its own sine, cosine and arctangent and
// does not depend on them, so these lines only show, for information, whether
// the two C libraries agree.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include <polarmosaic/fitted.h>
#include "shared/internal.h"  // the dispatch level, reported on standard error
#include <polarmosaic/polarmosaic.h>

namespace {

struct Digest {
    uint64_t h = 1469598103934665603ull;
    void byte(uint8_t b) {
        h ^= b;
        h *= 1099511628211ull;
    }
    void bytes(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) byte(p[i]);
    }
    void u16(uint16_t v) {
        byte(static_cast<uint8_t>(v));
        byte(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v) {
        for (int s = 0; s < 32; s += 8) byte(static_cast<uint8_t>(v >> s));
    }
    void u64(uint64_t v) {
        for (int s = 0; s < 64; s += 8) byte(static_cast<uint8_t>(v >> s));
    }
    // A NaN counts as one value: the bit pattern of a NaN produced by an
    // operation differs between processors (x86-64 makes 0xFFC00000, MIPS
    // 0x7FBFFFFF) and carries no information.
    void f32(float f) {
        uint32_t bits = 0x7FC00000u;
        if (f == f) memcpy(&bits, &f, sizeof bits);
        u32(bits);
    }
    void f64(double d) {
        uint64_t bits = 0x7FF8000000000000ull;
        if (d == d) memcpy(&bits, &d, sizeof bits);
        u64(bits);
    }
};

void report(const char* name, const Digest& d) {
    printf("%s %016llx\n", name, static_cast<unsigned long long>(d.h));
}

// xorshift32: the same sequence everywhere.
struct Generator {
    uint32_t s;
    explicit Generator(uint32_t seed) : s(seed ? seed : 1u) {}
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
};

// A picture with smooth gradients, edges and noise, so that the bilinear
// blends see fractional weights on varied neighbours.
void paint(std::vector<uint8_t>& plane, int width, int height, int lineBytes, int channel, uint32_t seed) {
    Generator g(seed * 7919u + static_cast<uint32_t>(channel) * 104729u);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < lineBytes; ++x) {
            uint32_t noise = g.next();
            uint32_t v;
            if (x >= width) {
                v = noise;  // padding: whatever a caller may leave there
            } else if ((x / 9 + y / 7 + channel) % 5 == 0) {
                v = noise;
            } else {
                v = static_cast<uint32_t>(x * (3 + channel) + y * (5 - channel)) + (noise & 7u);
            }
            plane[static_cast<size_t>(y) * lineBytes + x] = static_cast<uint8_t>(v);
        }
    }
}

struct MosaicCase {
    const char* name;
    int width, height, tileWidth, tileHeight, tileCols, tileRows, split;
    int borderMode, borderWidth, border0, border1, border2;
    float shade[4];
};

void runMosaic(const MosaicCase& c) {
    const int16_t line = lcw16(static_cast<int16_t>(c.width));
    const size_t planeBytes = static_cast<size_t>(c.height) * static_cast<size_t>(line);
    std::vector<std::vector<uint8_t>> planes(6, std::vector<uint8_t>(planeBytes));
    for (int k = 0; k < 3; ++k)
        paint(planes[3 + k], c.width, c.height, line, k, static_cast<uint32_t>(c.width * 131 + c.height));
    for (int k = 0; k < 3; ++k) paint(planes[k], c.width, c.height, line, k + 3, 77u);
    std::vector<int16_t> tileWidths(c.tileCols > 0 ? c.tileCols : 1, -1);
    std::vector<int16_t> tileHeights(c.tileRows > 0 ? c.tileRows : 1, -1);
    const int half = c.borderWidth / 2;
    std::vector<std::vector<uint8_t>> ramps(12, std::vector<uint8_t>(half + 1 > 0 ? half + 1 : 1, 0xEE));

    PolarMosaicParam p;
    memset(&p, 0, sizeof p);
    for (int k = 0; k < 3; ++k) {
        p.outPlane[k] = planes[k].data();
        p.inPlane[k] = planes[3 + k].data();
    }
    p.planeBytes = static_cast<int32_t>(planeBytes);
    p.tileWidths = tileWidths.data();
    p.tileHeights = tileHeights.data();
    for (int k = 0; k < 12; ++k) p.ramp[k] = ramps[k].data();
    for (int s = 0; s < 4; ++s) p.shade[s] = c.shade[s];
    p.width = static_cast<int16_t>(c.width);
    p.lineBytes = line;
    p.height = static_cast<int16_t>(c.height);
    p.tileWidth = static_cast<int16_t>(c.tileWidth);
    p.tileHeight = static_cast<int16_t>(c.tileHeight);
    p.tileCols = static_cast<int16_t>(c.tileCols);
    p.tileRows = static_cast<int16_t>(c.tileRows);
    p.splitRemainder = static_cast<int16_t>(c.split);
    p.borderMode = static_cast<int16_t>(c.borderMode);
    p.borderWidth = static_cast<int16_t>(c.borderWidth);
    p.borderValue[0] = static_cast<int16_t>(c.border0);
    p.borderValue[1] = static_cast<int16_t>(c.border1);
    p.borderValue[2] = static_cast<int16_t>(c.border2);
    iPolarMosaic0(&p);

    Digest d;
    for (int k = 0; k < 6; ++k) d.bytes(planes[k].data(), planeBytes);
    for (int16_t v : tileWidths) d.u16(static_cast<uint16_t>(v));
    for (int16_t v : tileHeights) d.u16(static_cast<uint16_t>(v));
    for (auto& r : ramps) d.bytes(r.data(), r.size());
    report(c.name, d);
}

const float kNaN = NAN;

const MosaicCase kMosaicCases[] = {
    {"mosaic-20x16-grid", 20, 16, 5, 4, 4, 4, 1, 2, 3, 200, 120, 40, {0.5f, 1.5f, 0.0f, 2.0f}},
    {"mosaic-100x100-grid", 100, 100, 30, 30, 5, 5, 1, 2, 5, 255, 128, 0, {0.5f, 1.0f, 0.0f, 2.0f}},
    {"mosaic-100x100-nosplit", 100, 100, 30, 30, 5, 5, 0, 2, 4, 200, 200, 200, {0.3f, 0.3f, 0.3f, 0.3f}},
    {"mosaic-101x99-rings", 101, 99, 16, 9, 8, 11, 1, 3, 6, 10, 90, 250, {2.0f, 0.4f, 2.0f, 0.4f}},
    {"mosaic-99x101-spokes", 99, 101, 9, 16, 13, 8, 0, 4, 7, 30, 60, 90, {1.0f, 1.0f, 0.25f, 0.75f}},
    {"mosaic-320x240-grid", 320, 240, 32, 32, 10, 9, 1, 2, 5, 40, 40, 40, {2.0f, 0.4f, 2.0f, 0.4f}},
    {"mosaic-320x240-flat", 320, 240, 40, 24, 8, 10, 0, 2, 9, 300, -5, 128, {0.0f, -1.0f, 0.00009f, 0.0f}},
    {"mosaic-128x96-noborder", 128, 96, 16, 16, 8, 6, 1, 1, 5, 0, 0, 0, {1.0f, 1.0f, 1.0f, 1.0f}},
    {"mosaic-176x144-mode0", 176, 144, 22, 18, 8, 8, 1, 0, 4, 100, 100, 100, {0.5f, 0.5f, 0.5f, 0.5f}},
    {"mosaic-176x144-thin", 176, 144, 3, 2, 60, 74, 1, 2, 1, 255, 0, 255, {1.0f, 1.0f, 1.0f, 1.0f}},
    {"mosaic-97x61-edges", 97, 61, 30, 10, 5, 7, 1, 2, 12, 180, 20, 220, {kNaN, 3.0f, 0.1f, 1e30f}},
    {"mosaic-5x3-tiny", 5, 3, 30, 2, 2, 2, 1, 2, 2, 90, 91, 92, {0.5f, 0.5f, 0.5f, 0.5f}},
    {"mosaic-64x48-dark-bevel", 64, 48, 16, 12, 4, 4, 1, 2, 14, 1, 2, 3, {0.5f, 0.5f, 0.25f, 0.0f}},
    {"mosaic-640x480-grid", 640, 480, 64, 48, 10, 10, 1, 2, 5, 250, 250, 250, {0.2f, 1.8f, 0.6f, 1.2f}},
};

struct MapCase {
    const char* name;
    bool inverse;
    int width, height, lineBytes;
    float zoom, radiusOffset, angleOffset;
    uint8_t wrap;
};

const MapCase kMapCases[] = {
    {"forward-20x16-driver", false, 20, 16, 24, 1.0f, 0.0f, 0.0f, 1},
    {"forward-20x16-nowrap", false, 20, 16, 24, 1.0f, 0.0f, 0.0f, 0},
    {"forward-64x48-zoom", false, 64, 48, 64, 1.7f, -3.25f, 5.5f, 1},
    {"forward-64x48-zoom0", false, 64, 48, 80, 0.0f, 2.0f, -7.0f, 1},
    {"forward-33x17-far", false, 33, 17, 40, 0.001f, 123456.0f, 9999.0f, 1},
    {"forward-33x17-huge", false, 33, 17, 40, 1.0f, 3e9f, -1e8f, 1},
    {"forward-33x17-nan", false, 33, 17, 40, 1.0f, kNaN, 0.0f, 1},
    {"forward-200x150-driver", false, 200, 150, 208, 1.0f, 0.0f, 0.0f, 1},
    {"inverse-16x20-driver", true, 16, 20, 16, 1.0f, 0.0f, 0.0f, 1},
    {"inverse-99x101-driver", true, 99, 101, 99, 1.0f, 0.0f, 0.0f, 1},
    {"inverse-101x99-driver", true, 101, 99, 101, 1.0f, 0.0f, 0.0f, 1},
    {"inverse-64x48-nowrap", true, 64, 48, 70, 0.6f, 4.0f, 90.0f, 0},
    {"inverse-64x48-offsets", true, 64, 48, 64, 2.5f, -10.0f, 360.0f, 1},
    {"inverse-33x17-far", true, 33, 17, 40, 1e-4f, 1e7f, -72000.0f, 1},
    {"inverse-33x17-nan", true, 33, 17, 40, 1.0f, 0.0f, kNaN, 1},
    {"inverse-150x200-driver", true, 150, 200, 150, 1.0f, 0.0f, 0.0f, 1},
};

void runMap(const MapCase& c) {
    const size_t bytes = static_cast<size_t>(c.height) * static_cast<size_t>(c.lineBytes);
    std::vector<std::vector<uint8_t>> planes(6, std::vector<uint8_t>(bytes));
    for (int k = 0; k < 6; ++k)
        paint(planes[k], c.width, c.height, c.lineBytes, k, static_cast<uint32_t>(c.width + 7 * c.height));
    PolarMapParam p;
    memset(&p, 0, sizeof p);
    p.zoom = c.zoom;
    p.radiusOffset = c.radiusOffset;
    p.angleOffset = c.angleOffset;
    for (int k = 0; k < 3; ++k) {
        p.srcPlane[k] = planes[k].data();
        p.dstPlane[k] = planes[3 + k].data();
    }
    p.lineBytes = static_cast<int16_t>(c.lineBytes);
    p.width = static_cast<int16_t>(c.width);
    p.height = static_cast<int16_t>(c.height);
    p.wrap = c.wrap;
    if (c.inverse)
        iCartesian2Polar0(&p);
    else
        iPolar2Cartesian0(&p);
    Digest d;
    for (int k = 3; k < 6; ++k) d.bytes(planes[k].data(), bytes);
    report(c.name, d);
}

void runTurns() {
    const int widths[] = {1, 3, 17, 64};
    const int heights[] = {1, 2, 13, 48};
    for (int mode = 0; mode < 4; ++mode) {  // mode 3: iTurn1
        Digest d;
        for (int w : widths) {
            for (int h : heights) {
                const int srcLine = w + 5;
                const int dstCols = mode == 1 ? w : h;
                const int dstRows = mode == 1 ? h : w;
                const int dstLine = mode == 1 ? srcLine : h + 3;
                std::vector<std::vector<uint8_t>> src(3,
                                                      std::vector<uint8_t>(static_cast<size_t>(h) * srcLine));
                std::vector<std::vector<uint8_t>> dst(
                    3, std::vector<uint8_t>(static_cast<size_t>(dstRows) * dstLine, 0x11));
                TurnParam p;
                memset(&p, 0, sizeof p);
                for (int k = 0; k < 3; ++k) {
                    paint(src[k], w, h, srcLine, k, static_cast<uint32_t>(w * 1000 + h));
                    p.srcPlane[k] = src[k].data();
                    p.dstPlane[k] = dst[k].data();
                }
                p.srcWidth = static_cast<int16_t>(w);
                p.srcLineBytes = static_cast<int16_t>(srcLine);
                p.srcHeight = static_cast<int16_t>(h);
                p.turnMode = static_cast<int16_t>(mode == 3 ? 0 : mode);
                p.dstWidth = static_cast<int16_t>(dstCols);
                p.dstLineBytes = static_cast<int16_t>(dstLine);
                p.dstHeight = static_cast<int16_t>(dstRows);
                if (mode == 3)
                    iTurn1(&p);
                else
                    iTurn0(&p);
                for (int k = 0; k < 3; ++k) d.bytes(dst[k].data(), dst[k].size());
            }
        }
        const char* names[] = {"turn0-mode0", "turn0-mode1", "turn0-mode2", "turn1"};
        report(names[mode], d);
    }
}

void runRamps() {
    const int16_t lengths[] = {-3, 0, 1, 2, 3, 4, 5, 9, 33, 200};
    const int16_t values[] = {0, 10, 100, 128, 200, 255, 300, -7};
    const float shades[] = {0.0f, 0.25f, 0.3f, 0.5f, 1.0f, 1.5f, 2.0f, 200.0f, 0.0001f, kNaN, INFINITY};
    Digest d;
    for (int16_t length : lengths) {
        for (int16_t value : values) {
            for (float shade : shades) {
                uint8_t ramp[256];
                memset(ramp, 0xCD, sizeof ramp);
                calcCArray(ramp, length, value, shade);
                d.bytes(ramp, sizeof ramp);
            }
        }
    }
    report("calcCArray", d);

    // Every 8-bit value over a fine grid of shades and the lengths that
    // borders up to 33 pixels wide give: many entries of these ramps lie
    // within one rounding of a half, where a fused multiply-add flips them.
    Digest sweep;
    for (int value = 0; value <= 255; ++value) {
        for (int16_t length = 2; length <= 17; ++length) {
            for (int k = 0; k <= 60; ++k) {
                uint8_t ramp[17];
                calcCArray(ramp, length, static_cast<int16_t>(value), static_cast<float>(k) / 20.0f);
                sweep.bytes(ramp, static_cast<size_t>(length));
            }
        }
    }
    report("calcCArray-sweep", sweep);
}

void runHelpers() {
    Digest dm, da, dl;
    Generator g(12345u);
    for (int i = 0; i < 20000; ++i) {
        uint32_t bits = g.next();
        float x;
        memcpy(&x, &bits, sizeof x);
        float scaled = static_cast<float>(static_cast<int32_t>(bits)) / 4096.0f;
        dm.f32(fmod33(x));
        dm.f32(fmod33(scaled));
        da.f32(fabs33(x));
        da.f32(fabs33(scaled));
    }
    for (int w = -32768; w <= 32767; ++w) dl.u16(static_cast<uint16_t>(lcw16(static_cast<int16_t>(w))));
    report("fmod33", dm);
    report("fabs33", da);
    report("lcw16", dl);
}

// The C library functions on the arguments the passes give them at the
// driver's values, for the sizes of the mosaic cases.
void runLibm() {
    Digest dsin, dcos, datan, dsqrt;
    const int sizes[][2] = {{20, 16}, {100, 100}, {101, 99}, {320, 240}, {640, 480}, {176, 144}};
    for (auto& s : sizes) {
        const int width = s[0], height = s[1];
        const float divisor =
            static_cast<float>(static_cast<double>(static_cast<float>(width - 1)) / 6.283185307179586);
        for (int j = 0; j < width; ++j) {
            const float angle = static_cast<float>(j) / divisor;
            dsin.f64(sin(static_cast<double>(angle)));
            dcos.f64(cos(static_cast<double>(angle)));
        }
        // The inverse pass runs on the turned image: height columns, width rows.
        const int w = height, h = width;
        for (int y = 0; y < h; ++y) {
            const float dy = 2.0f * (static_cast<float>(y) - static_cast<float>(h) / 2.0f);
            for (int x = 0; x < w; ++x) {
                const float dx = 2.0f * (static_cast<float>(x) - static_cast<float>(w) / 2.0f);
                dsqrt.f64(sqrt(static_cast<double>(dx * dx + dy * dy)));
                if (dx != 0.0f) datan.f64(atan(static_cast<double>(fabs33(dy) / fabs33(dx))));
            }
        }
    }
    report("libm-sin", dsin);
    report("libm-cos", dcos);
    report("libm-atan", datan);
    report("libm-sqrt", dsqrt);
}

// The fitted geometry: plan and frame on the caller's thread, smooth and hard
// edges, off-centre, turned, with and without alpha. The digest covers the
// plan's bytes too.
struct FittedCase {
    const char* name;
    int width, height, sectors, ringWidth, borderMode, borderWidth;
    int centreX2, centreY2, angle, hardEdges;
    bool alpha;
};

const FittedCase kFittedCases[] = {
    {"fitted-320x180-grid", 320, 180, 36, 28, 2, 5, -1, -1, 0, 0, false},
    {"fitted-90x160-rings", 90, 160, 7, 9, 3, 4, 20, 300, 123456, 0, true},
    {"fitted-61x61-spokes", 61, 61, 5, 6, 4, 1, 60, 60, 30000, 0, false},
    {"fitted-240x30-finest", 240, 30, 720, 1, 1, 0, -1, -1, 0, 0, false},
    {"fitted-200x120-hard", 200, 120, 12, 10, 2, 3, 0, 238, 359999, 1, true},
    {"fitted-2x2-grid", 2, 2, 3, 1, 2, 3, -1, -1, 0, 0, false},
};

void runFitted(const FittedCase& c) {
    PolarPlanSettings s;
    polarPlanDefaults(&s, c.width, c.height, c.sectors, c.ringWidth, c.borderMode, c.borderWidth);
    if (c.centreX2 >= 0) s.centreX2 = c.centreX2;
    if (c.centreY2 >= 0) s.centreY2 = c.centreY2;
    s.angle = c.angle;
    s.hardEdges = c.hardEdges;
    const size_t headBytes = polarPlanHeadBytes(&s);
    std::vector<uint8_t> plan(headBytes);
    size_t planBytes = 0;
    if (headBytes == 0 ||
        polarPlanMeasure(&s, plan.data(), headBytes, nullptr, nullptr, &planBytes) != POLARMOSAIC_OK) {
        printf("%s refused\n", c.name);
        return;
    }
    plan.resize(planBytes);
    Digest d;
    d.u32(static_cast<uint32_t>(polarPlanBuild(plan.data(), planBytes, nullptr, nullptr)));
    const size_t pictureBytes = static_cast<size_t>(c.width) * static_cast<size_t>(c.height);
    std::vector<std::vector<uint8_t>> planes(8, std::vector<uint8_t>(pictureBytes));
    PolarPlanFrame f = {};
    for (int k = 0; k < 4; ++k) {
        paint(planes[k], c.width, c.height, c.width, k, static_cast<uint32_t>(c.width * 17 + c.height));
        if (k < 3 || c.alpha) {
            f.srcPlane[k] = planes[k].data();
            f.dstPlane[k] = planes[4 + k].data();
        }
    }
    for (int k = 0; k < 3; ++k) f.borderValue[k] = static_cast<int16_t>(40 + 60 * k);
    const float shade[4] = {3.0f, 0.3f, 1.7f, 0.45f};
    for (int k = 0; k < 4; ++k) f.shade[k] = shade[k];
    f.srcLineBytes = f.dstLineBytes = c.width;
    std::vector<uint8_t> scratch(polarPlanScratchBytes(plan.data()));
    d.u32(static_cast<uint32_t>(
        polarPlanFrame(plan.data(), &f, scratch.data(), scratch.size(), nullptr, nullptr)));
    // The plan's head holds native-order fields: digest the output only, and
    // the plan's size.
    d.u32(static_cast<uint32_t>(planBytes));
    for (int k = 4; k < 8; ++k) d.bytes(planes[k].data(), pictureBytes);
    report(c.name, d);
}

}  // namespace

int main() {
    fprintf(stderr, "level %s\n", polarmap_simd::levelName(polarmap_simd::activeLevel()));
    runLibm();
    runHelpers();
    runRamps();
    runTurns();
    for (const MapCase& c : kMapCases) runMap(c);
    for (const MosaicCase& c : kMosaicCases) runMosaic(c);
    for (const FittedCase& c : kFittedCases) runFitted(c);
    return 0;
}
