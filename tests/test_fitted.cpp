// The fitted geometry (plans and frames): compared byte for byte with the
// straightforward version over many sizes and settings, and measured from
// its output: flat pictures, registration, line shares and widths, the
// closure spoke, the centre, smooth edges, splits and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <polarmosaic/fitted.h>
#include "support/fitted_reference.h"

extern "C" int headerCCheckFitted(void);

namespace {

using ref::FittedColours;
using ref::FittedPicture;

// ---------------------------------------------------------------- running

// Plan memory, aligned for the plan's 64-bit fields.
struct Plan {
    std::vector<uint64_t> words;
    void* data() { return words.data(); }
    const void* data() const { return words.data(); }
    size_t bytes() const { return words.size() * sizeof(uint64_t); }
};

std::vector<uint64_t> wordsFor(size_t bytes) { return std::vector<uint64_t>((bytes + 7) / 8, 0); }

// Measures in a head buffer of its own, moves the head into the whole plan
// (the header allows it) and builds there.
int makePlan(const PolarPlanSettings& s, Plan* plan, PolarMosaicRunner runner = nullptr,
             void* runnerData = nullptr) {
    const size_t headBytes = polarPlanHeadBytes(&s);
    if (headBytes == 0) return checkPolarPlanSettings(&s);
    std::vector<uint64_t> head = wordsFor(headBytes);
    size_t planBytes = 0;
    const int measured = polarPlanMeasure(&s, head.data(), headBytes, runner, runnerData, &planBytes);
    if (measured != POLARMOSAIC_OK) return measured;
    plan->words = wordsFor(planBytes);
    std::memcpy(plan->data(), head.data(), headBytes);
    return polarPlanBuild(plan->data(), planBytes, runner, runnerData);
}

// The planes of one frame, rows padded on both sides of the call, the
// destination prefilled so that a write outside the picture shows.
struct FrameBuffers {
    int width, height, srcStride, dstStride;
    bool alpha;
    std::vector<uint8_t> src[4], dst[4], dstBefore[4];
    PolarPlanFrame frame{};

    FrameBuffers(const FittedPicture& in, const FittedColours& colours, uint32_t seed)
        : width(in.width),
          height(in.height),
          srcStride(in.width + 3),
          dstStride(in.width + 5),
          alpha(in.alpha) {
        std::mt19937 rng(seed);
        for (int c = 0; c < 4; ++c) {
            src[c].resize(static_cast<size_t>(srcStride) * height);
            dst[c].resize(static_cast<size_t>(dstStride) * height);
            for (auto& b : src[c]) b = static_cast<uint8_t>(rng());
            for (auto& b : dst[c]) b = static_cast<uint8_t>(rng());
            dstBefore[c] = dst[c];
            if (c < in.planes()) {
                for (int y = 0; y < height; ++y) {
                    for (int x = 0; x < width; ++x)
                        src[c][static_cast<size_t>(y) * srcStride + x] = in.at(c, x, y);
                }
            }
        }
        for (int c = 0; c < 4; ++c) {
            frame.srcPlane[c] = c < in.planes() ? src[c].data() : nullptr;
            frame.dstPlane[c] = dst[c].data();  // plane 3 given even without alpha: it must stay
        }
        frame.srcLineBytes = srcStride;
        frame.dstLineBytes = dstStride;
        for (int c = 0; c < 3; ++c) frame.borderValue[c] = colours.borderValue[c];
        for (int s = 0; s < 4; ++s) frame.shade[s] = colours.shade[s];
    }
    FittedPicture result() const {
        FittedPicture out(width, height, alpha);
        for (int c = 0; c < out.planes(); ++c) {
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x)
                    out.at(c, x, y) = dst[c][static_cast<size_t>(y) * dstStride + x];
            }
        }
        return out;
    }
    // Every destination byte outside the picture (and the alpha plane
    // without an alpha source) as it was.
    bool untouchedOutside() const {
        for (int c = 0; c < 4; ++c) {
            for (size_t i = 0; i < dst[c].size(); ++i) {
                const bool inside = c < (alpha ? 4 : 3) && static_cast<int>(i % dstStride) < width;
                if (!inside && dst[c][i] != dstBefore[c][i]) return false;
            }
        }
        return true;
    }
    bool untouched() const {
        for (int c = 0; c < 4; ++c) {
            if (dst[c] != dstBefore[c]) return false;
        }
        return true;
    }
};

struct Outcome {
    int status = -1;
    FittedPicture out;
    bool outsideUntouched = false;
};

Outcome runModule(const PolarPlanSettings& s, const FittedPicture& in, const FittedColours& colours,
                  PolarMosaicRunner runner = nullptr, void* runnerData = nullptr) {
    Outcome o;
    Plan plan;
    o.status = makePlan(s, &plan, runner, runnerData);
    if (o.status != POLARMOSAIC_OK) return o;
    FrameBuffers buffers(in, colours, 7);
    std::vector<uint8_t> scratch(polarPlanScratchBytes(plan.data()));
    o.status =
        polarPlanFrame(plan.data(), &buffers.frame, scratch.data(), scratch.size(), runner, runnerData);
    o.out = buffers.result();
    o.outsideUntouched = buffers.untouchedOutside();
    return o;
}

FittedPicture runOk(const PolarPlanSettings& s, const FittedPicture& in, const FittedColours& colours) {
    const Outcome o = runModule(s, in, colours);
    EXPECT_EQ(o.status, POLARMOSAIC_OK);
    return o.out;
}

std::string firstDifference(const FittedPicture& module, const FittedPicture& reference) {
    for (int y = 0; y < reference.height; ++y) {
        for (int x = 0; x < reference.width; ++x) {
            for (int c = 0; c < reference.planes(); ++c) {
                if (module.at(c, x, y) != reference.at(c, x, y)) {
                    return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") plane " +
                           std::to_string(c) + ": module " + std::to_string(module.at(c, x, y)) +
                           ", reference " + std::to_string(reference.at(c, x, y));
                }
            }
        }
    }
    return "";
}

std::string describe(const PolarPlanSettings& s, const FittedPicture& in) {
    char text[256];
    snprintf(text, sizeof text, "%dx%d centre2 (%d, %d) sectors %d ring %d angle %d mode %d width %d %s%s",
             s.width, s.height, s.centreX2, s.centreY2, s.sectors, s.ringWidth, s.angle, s.borderMode,
             s.borderWidth, s.hardEdges ? "hard" : "smooth", in.alpha ? " alpha" : "");
    return text;
}

// ---------------------------------------------------------------- pictures

FittedPicture noise(int w, int h, bool alpha, uint32_t seed) {
    FittedPicture p(w, h, alpha);
    std::mt19937 rng(seed);
    for (int c = 0; c < p.planes(); ++c) {
        for (auto& b : p.plane[c]) b = static_cast<uint8_t>(rng());
    }
    if (alpha) {  // a quarter fully transparent: tiles of alpha 0 happen
        for (auto& b : p.plane[3]) b = rng() % 4 == 0 ? 0 : b;
    }
    return p;
}

FittedPicture flat(int w, int h, const uint8_t rgba[4], bool alpha) {
    FittedPicture p(w, h, alpha);
    for (int c = 0; c < p.planes(); ++c) std::fill(p.plane[c].begin(), p.plane[c].end(), rgba[c]);
    return p;
}

PolarPlanSettings settingsFor(int w, int h, int sectors, int ring, int mode, int width) {
    PolarPlanSettings s;
    polarPlanDefaults(&s, w, h, sectors, ring, mode, width);
    return s;
}

FittedColours plainLines(int16_t value) {
    FittedColours c;
    for (auto& v : c.borderValue) v = value;
    for (auto& f : c.shade) f = 0.0f;
    return c;
}

int64_t exactRoot(int64_t n) {
    int64_t r = static_cast<int64_t>(std::sqrt(static_cast<double>(n)));
    while (r * r > n) --r;
    while ((r + 1) * (r + 1) <= n) ++r;
    return r;
}

// Ring of pixel (x, y)'s centre.
int64_t ringOfPixel(const PolarPlanSettings& s, int x, int y) {
    const int64_t dx = 8 * int64_t(x) - 4 * int64_t(s.centreX2),
                  dy = 4 * int64_t(s.centreY2) - 8 * int64_t(y);
    return exactRoot(dx * dx + dy * dy) / (8 * int64_t(s.ringWidth));
}

// Compares the module with the reference; also the plan's tile counts.
void expectSameAsReference(const PolarPlanSettings& s, const FittedPicture& in,
                           const FittedColours& colours) {
    SCOPED_TRACE(describe(s, in));
    const Outcome o = runModule(s, in, colours);
    ASSERT_EQ(o.status, POLARMOSAIC_OK);
    EXPECT_TRUE(o.outsideUntouched);
    EXPECT_EQ(firstDifference(o.out, ref::fittedReference(s, in, colours)), "");

    Plan plan;
    ASSERT_EQ(makePlan(s, &plan), POLARMOSAIC_OK);
    const ref::FittedGeometry g(s);
    const int64_t rings = g.ringsReached();
    const int64_t tiles =
        rings == 1 ? 1 : g.firstTile(rings - 1) + ref::fittedRingSectors(s.sectors, rings - 1);
    EXPECT_EQ(polarPlanTiles(plan.data()), tiles);
    EXPECT_EQ(polarPlanRingSectors(plan.data(), 0), 1);
    for (int64_t j = 1; j < rings; ++j)
        EXPECT_EQ(polarPlanRingSectors(plan.data(), static_cast<int32_t>(j)),
                  ref::fittedRingSectors(s.sectors, j));
    EXPECT_EQ(polarPlanRingSectors(plan.data(), static_cast<int32_t>(rings)), 0);
    ASSERT_NE(polarPlanSettings(plan.data()), nullptr);
    EXPECT_EQ(std::memcmp(polarPlanSettings(plan.data()), &s, sizeof s), 0);
}

// ---------------------------------------------------------------- runners

int reverseRunner(void*, void* jobData, PolarMosaicJob job, uint32_t count) {
    for (uint32_t i = count; i-- > 0;) job(jobData, i);
    return 0;
}

int shuffledRunner(void* seed, void* jobData, PolarMosaicJob job, uint32_t count) {
    std::vector<uint32_t> order(count);
    std::iota(order.begin(), order.end(), 0u);
    std::mt19937 rng(*static_cast<uint32_t*>(seed));
    std::shuffle(order.begin(), order.end(), rng);
    for (uint32_t i : order) job(jobData, i);
    return 0;
}

int twoThreadRunner(void*, void* jobData, PolarMosaicJob job, uint32_t count) {
    std::atomic<uint32_t> next{0};
    auto work = [&] {
        for (uint32_t i; (i = next.fetch_add(1)) < count;) job(jobData, i);
    };
    std::thread other(work);
    work();
    other.join();
    return 0;
}

int failingRunner(void*, void* jobData, PolarMosaicJob job, uint32_t count) {
    if (count > 0) job(jobData, 0);
    return 1;
}

// ---------------------------------------------------------------- byte for byte

TEST(FittedExact, NamedCasesMatchTheReference) {
    struct Case {
        const char* name;
        int w, h, centreX2, centreY2;  // -1: the middle
        int sectors, ring, angle, mode, width;
        bool hard, alpha;
        FittedColours colours;
    };
    const FittedColours shaded{{200, 40, 90}, {1.5f, 0.25f, 2.0f, 0.5f}};
    const FittedColours flatLines{{10, 250, 128}, {0.0f, 0.00009f, -1.0f, 0.0f}};
    const FittedColours negative{{255, 128, 64}, {-1.0f, 0.5f, 2.0f, -0.25f}};
    const FittedColours odd{{300, -5, 1000}, {std::numeric_limits<float>::quiet_NaN(), 8.0f, 0.0f, 1.0f}};
    const Case cases[] = {
        {"16:9 grid", 64, 36, -1, -1, 36, 5, 0, 2, 2, false, false, shaded},
        {"4:3 rings wide", 48, 36, -1, -1, 36, 5, 0, 3, 16, false, false, shaded},
        {"1:1 spokes", 40, 40, -1, -1, 7, 5, 45000, 4, 5, false, false, shaded},
        {"9:16 corner", 27, 48, 0, 0, 4, 2, -30000, 2, 1, false, false, shaded},
        {"panorama ring 1", 300, 40, -1, -1, 36, 1, 0, 1, 0, false, false, shaded},
        {"finest grid", 40, 30, -1, -1, 720, 1, 0, 1, 0, false, false, shaded},
        {"finest grid hard", 40, 30, -1, -1, 720, 1, 0, 1, 0, true, false, shaded},
        {"half-pixel centre", 33, 21, 7, 30, 3, 2, 359999, 2, 5, false, false, shaded},
        {"far corner", 30, 20, 58, 38, 2, 5, 90000, 2, 2, false, false, shaded},
        {"one sector", 31, 31, -1, -1, 1, 4, 12345, 2, 3, false, false, shaded},
        {"ring past the picture", 24, 18, -1, -1, 36, 1000, 0, 2, 5, false, false, shaded},
        {"large angle", 36, 36, 11, 50, 12, 6, 1234567890, 2, 4, false, false, shaded},
        {"alpha smooth", 40, 30, -1, -1, 36, 3, 0, 2, 2, false, true, shaded},
        {"alpha hard", 40, 30, 9, 9, 7, 3, 1000, 2, 5, true, true, shaded},
        {"plain lines", 40, 30, -1, -1, 36, 5, 0, 2, 5, false, false, flatLines},
        {"negative shade", 40, 30, -1, -1, 36, 5, 0, 2, 9, false, false, negative},
        {"odd colours", 40, 30, -1, -1, 36, 5, 0, 2, 9, false, false, odd},
        {"lines wider than rings", 40, 40, -1, -1, 4, 2, 0, 2, 16, false, false, shaded},
        {"spokes meeting near the centre", 41, 41, -1, -1, 4, 1, 45000, 4, 16, true, false, shaded},
        {"two spokes beside the centre", 31, 31, -1, -1, 2, 2, 0, 4, 16, true, false, shaded},
        {"many smooth spokes meeting", 23, 176, 4, 119, 74, 10, 36109, 4, 8, false, true, shaded},
        {"crossings", 64, 48, -1, -1, 36, 3, 0, 2, 5, false, false, shaded},
        {"wide crossings", 64, 48, 20, 70, 12, 4, 7000, 2, 9, false, true, shaded},
        {"other mode draws nothing", 30, 20, -1, -1, 36, 3, 0, 7, 5, false, false, shaded},
        {"1 x 1", 1, 1, -1, -1, 36, 1, 0, 2, 5, false, false, shaded},
        {"2 x 2", 2, 2, 0, 2, 4, 1, 0, 2, 1, false, true, shaded},
        {"3 x 5", 3, 5, 1, 3, 7, 1, 45000, 2, 2, false, false, shaded},
        {"1 x N", 1, 40, -1, -1, 36, 2, 0, 2, 2, false, false, shaded},
        {"N x 1", 40, 1, 0, 0, 36, 2, 0, 2, 2, false, false, shaded},
    };
    uint32_t seed = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PolarPlanSettings s = settingsFor(c.w, c.h, c.sectors, c.ring, c.mode, c.width);
        if (c.centreX2 >= 0) s.centreX2 = c.centreX2;
        if (c.centreY2 >= 0) s.centreY2 = c.centreY2;
        s.angle = c.angle;
        s.hardEdges = c.hard;
        expectSameAsReference(s, noise(c.w, c.h, c.alpha, ++seed), c.colours);
    }
}

TEST(FittedExact, RandomSettingsMatchTheReference) {
    struct Size {
        int w, h;
    };
    const Size sizes[] = {{64, 36}, {48, 36}, {40, 40}, {27, 48}, {300, 40}, {1, 23},
                          {23, 1},  {1, 1},   {2, 2},   {3, 5},   {17, 9}};
    const int angles[] = {0, 45000, -30000, 359999, 90000, 1234567, -987654321, 2147483647};
    const int sectors[] = {1, 2, 3, 4, 5, 7, 12, 36, 720};
    const int rings[] = {1, 2, 5, 28, 1000};
    const int widths[] = {0, 1, 2, 5, 16};
    const float shades[][4] = {{0.5f, 0.5f, 0.5f, 0.5f},
                               {3.0f, 0.3f, 3.0f, 0.3f},
                               {0.0f, 0.0f, 0.0f, 0.0f},
                               {-1.0f, 0.5f, 2.0f, -0.25f},
                               {1.0f, 1.0f, 0.0f, 0.0001f}};
    std::mt19937 rng(2024);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
    for (int i = 0; i < 300; ++i) {
        const Size size = sizes[pick(11)];
        PolarPlanSettings s =
            settingsFor(size.w, size.h, sectors[pick(9)], rings[pick(5)], 1 + pick(4), widths[pick(5)]);
        s.hardEdges = pick(2);
        // Keep the reference's cost (every sector tested for every sample) small.
        while (int64_t(size.w) * size.h * (s.hardEdges ? 1 : 16) * s.sectors > 4000000)
            s.sectors = sectors[pick(8)];
        switch (pick(5)) {
            case 0:
                break;  // the middle
            case 1:
                s.centreX2 = 0, s.centreY2 = 0;
                break;
            case 2:
                s.centreX2 = 2 * (size.w - 1), s.centreY2 = 2 * (size.h - 1);
                break;
            case 3:
                s.centreX2 = 0, s.centreY2 = 2 * (size.h - 1);
                break;
            default:
                s.centreX2 = pick(2 * size.w - 1), s.centreY2 = pick(2 * size.h - 1);
        }
        s.angle = angles[pick(8)];
        FittedColours colours;
        std::memcpy(colours.shade, shades[pick(5)], sizeof colours.shade);
        for (auto& v : colours.borderValue) v = static_cast<int16_t>(pick(256));
        expectSameAsReference(s, noise(size.w, size.h, pick(3) == 0, 5000 + i), colours);
        if (HasFailure()) break;  // the first case that differs is enough
    }
}

// ---------------------------------------------------------------- properties

TEST(FittedProperties, FlatPicturesStayFlat) {
    struct Case {
        int w, h, sectors, ring, mode, width;
        bool hard, alpha;
    };
    const Case cases[] = {
        {64, 36, 36, 5, 1, 5, false, false}, {48, 36, 720, 1, 1, 0, false, true},
        {40, 40, 7, 3, 2, 0, false, false},  {64, 36, 36, 9, 2, 3, false, false},
        {48, 36, 12, 4, 3, 2, true, false},  {40, 40, 4, 6, 4, 4, false, true},
        {300, 40, 36, 3, 2, 1, false, true}, {17, 9, 2, 5, 2, 1, false, false},
    };
    const uint8_t colour[4] = {37, 180, 251, 140};
    const FittedColours lines{{255, 0, 0}, {0.5f, 2.0f, 0.3f, 1.5f}};
    for (const Case& c : cases) {
        PolarPlanSettings s = settingsFor(c.w, c.h, c.sectors, c.ring, c.mode, c.width);
        s.hardEdges = c.hard;
        s.centreX2 = c.w / 3;
        SCOPED_TRACE(describe(s, FittedPicture(1, 1, c.alpha)));
        const FittedPicture out = runOk(s, flat(c.w, c.h, colour, c.alpha), lines);
        const ref::FittedGeometry g(s);
        int offLine = 0;
        for (int y = 0; y < c.h; ++y) {
            for (int x = 0; x < c.w; ++x) {
                // Off the lines: neither the centre nor any sample on one.
                bool onLine = false;
                for (int i = 0; i < 16; ++i) {
                    const ref::FittedPlace p =
                        g.locate(g.pixelX(x) + 2 * (i % 4) - 3, g.pixelY(y) + 2 * (i / 4) - 3);
                    onLine = onLine || p.kind != ref::kFittedNoLine;
                }
                onLine = onLine || g.locate(g.pixelX(x), g.pixelY(y)).kind != ref::kFittedNoLine;
                if (onLine) continue;
                ++offLine;
                for (int ch = 0; ch < out.planes(); ++ch)
                    ASSERT_EQ(out.at(ch, x, y), colour[ch]) << x << ", " << y;
            }
        }
        if (c.mode == POLARMOSAIC_BORDER_NONE || c.width == 0) EXPECT_EQ(offLine, c.w * c.h);
        EXPECT_GT(offLine, c.w * c.h / 4);
    }
    // Flat colour under varying alpha: the colour stays, alpha averages.
    FittedPicture in = noise(48, 36, true, 3);
    for (int c = 0; c < 3; ++c) std::fill(in.plane[c].begin(), in.plane[c].end(), colour[c]);
    for (auto& a : in.plane[3]) a = static_cast<uint8_t>(a | 1);
    const FittedPicture out = runOk(settingsFor(48, 36, 36, 4, 1, 0), in, lines);
    for (int c = 0; c < 3; ++c) EXPECT_TRUE(out.plane[c] == in.plane[c]) << "plane " << c;
}

TEST(FittedProperties, FinestGridIsRegisteredWithThePicture) {
    // A smooth picture: at 720 sectors and rings of one pixel, every tile is
    // about a pixel, so the output stays close to the input.
    for (const auto& size : {std::pair<int, int>{160, 90}, {120, 120}, {60, 160}}) {
        const int w = size.first, h = size.second;
        FittedPicture in(w, h, false);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                in.at(0, x, y) = static_cast<uint8_t>(128 + 100 * std::sin(x / 9.0) * std::cos(y / 13.0));
                in.at(1, x, y) = static_cast<uint8_t>(255.0 * x / w);
                in.at(2, x, y) = static_cast<uint8_t>(255.0 * y / h);
            }
        }
        const FittedPicture out = runOk(settingsFor(w, h, 720, 1, 1, 0), in, FittedColours());
        double error = 0;
        for (int c = 0; c < 3; ++c) {
            for (size_t i = 0; i < in.plane[c].size(); ++i) {
                const double d = double(in.plane[c][i]) - out.plane[c][i];
                error += d * d;
            }
        }
        const double psnr = 10 * std::log10(255.0 * 255.0 / (error / (3.0 * w * h)));
        EXPECT_GE(psnr, 30.0) << w << "x" << h;
    }
}

TEST(FittedProperties, LinesTakeAtMostFortyPercentOfEveryRingAtTheDefaults) {
    // The host's defaults: 36 sectors, rings 4 % and lines 0.6 % of the half
    // diagonal. Black picture, white plain lines, hard edges: a white pixel
    // shows a line at its centre.
    for (const auto& size : {std::pair<int, int>{1024, 768}, {512, 512}, {1410, 793}, {793, 1410}}) {
        const int w = size.first, h = size.second;
        const double halfDiagonal = std::sqrt(double(w) * w + double(h) * h) / 2;
        const int ring = std::max(1, static_cast<int>(std::lround(0.04 * halfDiagonal)));
        const int line = static_cast<int>(std::lround(0.006 * halfDiagonal));
        PolarPlanSettings s = settingsFor(w, h, 36, ring, POLARMOSAIC_BORDER_GRID, line);
        s.hardEdges = 1;
        const uint8_t black[4] = {0, 0, 0, 0};
        const FittedPicture out = runOk(s, flat(w, h, black, false), plainLines(255));
        std::vector<int64_t> pixels, lines;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const size_t j = static_cast<size_t>(ringOfPixel(s, x, y));
                if (j >= pixels.size()) pixels.resize(j + 1, 0), lines.resize(j + 1, 0);
                ++pixels[j];
                lines[j] += out.at(0, x, y) == 255;
            }
        }
        // Rings the picture holds to their full depth. The last ring, cut
        // short by the corners, is left out: at the corners it can be a
        // sliver inside its outer ring line (half line at 1410 x 793).
        const double farthest = std::sqrt(double(w - 1) * (w - 1) + double(h - 1) * (h - 1)) / 2;
        for (size_t j = 0; (j + 1) * ring <= farthest; ++j) {
            EXPECT_LE(lines[j] * 100, pixels[j] * 40)
                << w << "x" << h << " ring " << j << ": " << lines[j] << " of " << pixels[j];
            if (j >= 1) EXPECT_GE(lines[j] * 100, pixels[j] * 5) << w << "x" << h << " ring " << j;
        }
    }
}

// Colour of the pixel nearest the point at `degrees` and distance `radius`
// from the centre.
const uint8_t* pixelAtPolar(const FittedPicture& out, const PolarPlanSettings& s, double degrees,
                            double radius, uint8_t rgb[3]) {
    const double a = degrees * M_PI / 180;
    const int x = static_cast<int>(std::lround(s.centreX2 / 2.0 + radius * std::cos(a)));
    const int y = static_cast<int>(std::lround(s.centreY2 / 2.0 - radius * std::sin(a)));
    for (int c = 0; c < 3; ++c) rgb[c] = out.at(c, x, y);
    return rgb;
}

TEST(FittedProperties, OuterRingHasTheSectorsAndTheClosureSpokeFollowsTheAngle) {
    // Columns and rows of distinct colours (none white): every tile of a ring
    // has its own mean. White plain lines of width 3, hard edges.
    const int w = 221, h = 221, ringWidth = 10;
    FittedPicture in(w, h, false);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            in.at(0, x, y) = static_cast<uint8_t>(x);
            in.at(1, x, y) = static_cast<uint8_t>(y);
            in.at(2, x, y) = 0;
        }
    }
    const int angles[] = {0, 10000, 45000, -30000, 359999, 123456};
    for (int sectors : {1, 2, 3, 4, 7, 12, 36}) {
        for (int angle : angles) {
            PolarPlanSettings s = settingsFor(w, h, sectors, ringWidth, POLARMOSAIC_BORDER_GRID, 3);
            s.angle = angle;
            s.hardEdges = 1;
            SCOPED_TRACE(describe(s, in));
            const FittedPicture out = runOk(s, in, plainLines(255));
            // The outermost ring inside the picture: ring 9 (90 .. 100 pixels).
            const int64_t outer = 9;
            std::set<std::vector<uint8_t>> colours;
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    if (ringOfPixel(s, x, y) != outer || out.at(0, x, y) == 255) continue;
                    colours.insert({out.at(0, x, y), out.at(1, x, y), out.at(2, x, y)});
                }
            }
            EXPECT_EQ(colours.size(), static_cast<size_t>(sectors));
            // Across the ring, the ray at `angle` lies on a spoke line and the
            // ray half a sector on does not.
            const double degrees = angle / 1000.0;
            uint8_t rgb[3];
            for (double radius : {93.0, 95.0, 97.0}) {
                EXPECT_EQ(pixelAtPolar(out, s, degrees, radius, rgb)[0], 255) << "radius " << radius;
                EXPECT_NE(pixelAtPolar(out, s, degrees + 180.0 / sectors, radius, rgb)[0], 255)
                    << "radius " << radius;
            }
        }
    }
}

TEST(FittedProperties, RingLinesAreAsWideAsAsked) {
    // Ring lines of width w, measured along the row through the centre, to
    // the right and to the left: each crossing covers w pixels (plus or
    // minus one for a centre between pixels).
    struct Case {
        int w, h, centreX2, centreY2, ring, width;
        bool hard;
    };
    const Case cases[] = {{161, 61, 160, 60, 20, 1, true},  {161, 61, 160, 60, 20, 2, true},
                          {161, 61, 160, 60, 20, 5, true},  {161, 61, 160, 60, 20, 8, true},
                          {161, 61, 160, 60, 20, 16, true}, {160, 60, 159, 60, 20, 5, true},
                          {160, 61, 100, 60, 17, 7, true},  {161, 61, 160, 60, 20, 6, false}};
    for (const Case& c : cases) {
        PolarPlanSettings s = settingsFor(c.w, c.h, 36, c.ring, POLARMOSAIC_BORDER_RINGS, c.width);
        s.centreX2 = c.centreX2;
        s.centreY2 = c.centreY2;
        s.hardEdges = c.hard;
        SCOPED_TRACE(describe(s, FittedPicture(1, 1, false)));
        const uint8_t black[4] = {0, 0, 0, 0};
        const FittedPicture out = runOk(s, flat(c.w, c.h, black, false), plainLines(255));
        const int row = c.centreY2 / 2;
        // Runs of non-black pixels along the row (a smooth edge counts from
        // half coverage on).
        std::vector<std::pair<int, int>> runs;  // first, length
        for (int x = 0; x < c.w; ++x) {
            const bool line = out.at(0, x, row) >= 128;
            if (line && (runs.empty() || runs.back().first + runs.back().second != x)) runs.push_back({x, 0});
            if (line) ++runs.back().second;
        }
        // Runs that do not touch the picture's edge: each lies on a circle
        // k ringWidth (k >= 1) from the centre, and every circle well inside
        // the row has its run on both sides.
        const double cx = c.centreX2 / 2.0;
        int complete = 0;
        for (const auto& r : runs) {
            if (r.first == 0 || r.first + r.second == c.w) continue;
            ++complete;
            const double middle = r.first + (r.second - 1) / 2.0;
            const double k = std::round(std::fabs(middle - cx) / c.ring);
            EXPECT_GE(k, 1) << "run at " << r.first;
            EXPECT_LE(std::fabs(std::fabs(middle - cx) - k * c.ring), 1.0) << "run at " << r.first;
            EXPECT_GE(r.second, c.width - 1) << "run at " << r.first;
            EXPECT_LE(r.second, c.width + 1) << "run at " << r.first;
        }
        int inside = 0;
        for (int k = 1; k * c.ring + c.width < c.w; ++k) {
            inside += cx + k * c.ring + c.width / 2.0 + 1 < c.w - 1;
            inside += cx - k * c.ring - c.width / 2.0 - 1 > 0;
        }
        EXPECT_GE(complete, inside);
        EXPECT_GT(inside, 2);
    }
}

TEST(FittedProperties, TheDiscIsTheMeanAroundTheCentre) {
    // A bright marker at the centre: the disc takes the mean of the pixels
    // whose centres lie within one ring width of it, and moving the centre
    // off the marker brings the disc back to the background.
    struct Case {
        int w, h, centreX2, centreY2, ring;
    };
    const Case cases[] = {{64, 36, 63, 35, 4}, {64, 36, 20, 50, 3}, {40, 40, 0, 0, 5},
                          {40, 40, 78, 78, 5}, {40, 30, 78, 0, 3},  {41, 29, 25, 31, 2}};
    for (const Case& c : cases) {
        FittedPicture in(c.w, c.h, false);
        for (int ch = 0; ch < 3; ++ch) std::fill(in.plane[ch].begin(), in.plane[ch].end(), 40 + 30 * ch);
        // The marker: the pixels within one pixel of the centre.
        for (int y = 0; y < c.h; ++y) {
            for (int x = 0; x < c.w; ++x) {
                if (std::abs(2 * x - c.centreX2) <= 2 && std::abs(2 * y - c.centreY2) <= 2) {
                    for (int ch = 0; ch < 3; ++ch) in.at(ch, x, y) = 250;
                }
            }
        }
        PolarPlanSettings s = settingsFor(c.w, c.h, 36, c.ring, 1, 0);
        s.centreX2 = c.centreX2;
        s.centreY2 = c.centreY2;
        s.hardEdges = 1;
        SCOPED_TRACE(describe(s, in));
        const FittedPicture out = runOk(s, in, FittedColours());
        int64_t sum[3] = {0, 0, 0}, n = 0;
        for (int y = 0; y < c.h; ++y) {
            for (int x = 0; x < c.w; ++x) {
                const int64_t dx = 2 * x - c.centreX2, dy = 2 * y - c.centreY2;
                if (dx * dx + dy * dy >= 4 * int64_t(c.ring) * c.ring) continue;
                for (int ch = 0; ch < 3; ++ch) sum[ch] += in.at(ch, x, y);
                ++n;
            }
        }
        const int x0 = c.centreX2 / 2, y0 = c.centreY2 / 2;
        for (int ch = 0; ch < 3; ++ch) {
            EXPECT_EQ(out.at(ch, x0, y0), (sum[ch] + n / 2) / n) << "channel " << ch;
            EXPECT_GT(out.at(ch, x0, y0), 40 + 30 * ch + 10) << "channel " << ch;
        }
        // The centre moved away by three ring widths: the disc there is the
        // background.
        PolarPlanSettings away = s;
        away.centreX2 = c.centreX2 < c.w ? c.centreX2 + 6 * c.ring : c.centreX2 - 6 * c.ring;
        const FittedPicture moved = runOk(away, in, FittedColours());
        EXPECT_EQ(moved.at(0, away.centreX2 / 2, y0), 40);
    }
}

TEST(FittedProperties, SmoothEdgesBlendAcrossASpoke) {
    // 12 sectors from angle 0 put a spoke at 30 degrees. The picture is 60
    // below the line through the centre at 30 degrees and 200 above it, so
    // the tiles on either side of that spoke are flat 60 and 200. Along every
    // row above the disc, the values fall monotonically from 200 to 60; with
    // smooth edges at least one pixel of each crossing lies strictly
    // between, with hard edges none.
    const int w = 321, h = 161, ring = 16;
    FittedPicture in(w, h, false);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double up = 80.0 - y, right = x - 160.0;
            for (int c = 0; c < 3; ++c) in.at(c, x, y) = up > right * std::tan(M_PI / 6) ? 200 : 60;
        }
    }
    for (int hard = 0; hard <= 1; ++hard) {
        PolarPlanSettings s = settingsFor(w, h, 12, ring, 1, 0);
        s.hardEdges = hard;
        const FittedPicture out = runOk(s, in, FittedColours());
        int rows = 0, blended = 0;
        for (int y = 0; y < 80 - 2 * ring; ++y) {
            // From the 60 degree spoke's right to the picture's edge: one
            // tile of 200, then one of 60.
            const int from = 160 + static_cast<int>((80 - y) / std::tan(M_PI / 3)) + 3;
            int between = 0;
            bool monotone = true;
            for (int x = from; x < w; ++x) {
                const uint8_t v = out.at(0, x, y);
                between += v > 60 && v < 200;
                if (x > from && v > out.at(0, x - 1, y)) monotone = false;
            }
            EXPECT_TRUE(monotone) << "row " << y;
            EXPECT_EQ(out.at(0, from, y), 200) << "row " << y;
            ++rows;
            blended += between > 0;
            if (hard) EXPECT_EQ(between, 0) << "row " << y;
        }
        if (!hard) EXPECT_EQ(blended, rows);
    }
}

// ---------------------------------------------------------------- splits and refusals

// Memory that no plan function laid out.
const uint64_t kNotAPlan[64] = {0x0123456789abcdefu, 0xfedcba9876543210u, 1, 2, 3};

TEST(FittedCalls, EveryRunnerGivesTheBytesOfNoRunner) {
    struct Case {
        int w, h, sectors, ring, mode, width;
        bool hard, alpha;
    };
    const Case cases[] = {{300, 200, 36, 12, 2, 5, false, false},
                          {97, 301, 7, 3, 2, 2, false, true},
                          {64, 36, 720, 1, 1, 0, true, false},
                          {1, 70, 4, 2, 3, 3, false, false}};
    for (const Case& c : cases) {
        PolarPlanSettings s = settingsFor(c.w, c.h, c.sectors, c.ring, c.mode, c.width);
        s.hardEdges = c.hard;
        s.angle = 1234;
        SCOPED_TRACE(describe(s, FittedPicture(1, 1, c.alpha)));
        const FittedPicture in = noise(c.w, c.h, c.alpha, 77);
        const FittedColours colours;
        const Outcome alone = runModule(s, in, colours);
        ASSERT_EQ(alone.status, POLARMOSAIC_OK);
        uint32_t seed = 5;
        const struct {
            PolarMosaicRunner runner;
            void* data;
        } runners[] = {{reverseRunner, nullptr}, {shuffledRunner, &seed}, {twoThreadRunner, nullptr}};
        for (const auto& r : runners) {
            const Outcome split = runModule(s, in, colours, r.runner, r.data);
            ASSERT_EQ(split.status, POLARMOSAIC_OK);
            EXPECT_EQ(firstDifference(split.out, alone.out), "");
        }
        // A runner that fails: measure, build and frame each say so.
        Plan plan;
        EXPECT_EQ(makePlan(s, &plan, failingRunner, nullptr), POLARMOSAIC_RUNNER_FAILED);
        size_t headBytes = polarPlanHeadBytes(&s), planBytes = 0;
        std::vector<uint64_t> head = wordsFor(headBytes);
        ASSERT_EQ(polarPlanMeasure(&s, head.data(), headBytes, nullptr, nullptr, &planBytes), POLARMOSAIC_OK);
        plan.words = wordsFor(planBytes);
        std::memcpy(plan.data(), head.data(), headBytes);
        EXPECT_EQ(polarPlanBuild(plan.data(), planBytes, failingRunner, nullptr), POLARMOSAIC_RUNNER_FAILED);
        ASSERT_EQ(polarPlanBuild(plan.data(), planBytes, nullptr, nullptr), POLARMOSAIC_OK);
        FrameBuffers buffers(in, colours, 1);
        std::vector<uint8_t> scratch(polarPlanScratchBytes(plan.data()));
        EXPECT_EQ(polarPlanFrame(plan.data(), &buffers.frame, scratch.data(), scratch.size(), failingRunner,
                                 nullptr),
                  POLARMOSAIC_RUNNER_FAILED);
    }
}

// One walk: in memory that holds the plan, the plan of measure and build,
// byte for byte; in less, the size needed and a measured head that builds
// that plan; never a byte past the memory given.
TEST(FittedCalls, OneWalkBuildsThePlanOfMeasureAndBuild) {
    std::mt19937 rng(31);
    auto pick = [&](int lo, int hi) {
        return lo + static_cast<int>(rng() % static_cast<uint32_t>(hi - lo + 1));
    };
    for (int i = 0; i < 60; ++i) {
        const int w = pick(1, i < 50 ? 200 : 700), h = pick(1, i < 50 ? 200 : 500);
        PolarPlanSettings s = settingsFor(w, h, pick(1, 4) == 1 ? pick(1, 6) : pick(1, 120), pick(1, 40),
                                          pick(1, 4), pick(1, 4) == 1 ? pick(0, 60) : pick(0, 8));
        s.centreX2 = pick(0, 2 * (w - 1)), s.centreY2 = pick(0, 2 * (h - 1));
        s.angle = pick(0, 359999);
        s.hardEdges = pick(0, 4) == 0;
        SCOPED_TRACE(describe(s, FittedPicture(1, 1, false)));
        Plan twoWalks;
        ASSERT_EQ(makePlan(s, &twoWalks), POLARMOSAIC_OK);
        const size_t headBytes = polarPlanHeadBytes(&s);
        size_t planBytes = 0;
        std::vector<uint64_t> head = wordsFor(headBytes);
        ASSERT_EQ(polarPlanMeasure(&s, head.data(), headBytes, nullptr, nullptr, &planBytes), POLARMOSAIC_OK);
        const size_t rooms[] = {planBytes + 40, planBytes, planBytes - 8,
                                planBytes / 2,  headBytes, headBytes - 8};
        for (size_t room : rooms) {
            std::vector<uint64_t> memory(room / 8 + 2, 0x5a5a5a5a5a5a5a5aull);
            size_t needed = 0;
            const int status = polarPlanMeasureAndBuild(&s, memory.data(), room, &needed);
            EXPECT_EQ(memory[room / 8], 0x5a5a5a5a5a5a5a5aull) << "room " << room;
            if (room >= planBytes) {
                ASSERT_EQ(status, POLARMOSAIC_OK) << "room " << room;
                ASSERT_EQ(needed, planBytes);
                // The gaps between the arrays differ: compare what a frame makes.
                const FittedPicture in = noise(w, h, false, 9);
                FrameBuffers a(in, FittedColours(), 3), b(in, FittedColours(), 3);
                std::vector<uint8_t> scratch(polarPlanScratchBytes(memory.data()));
                ASSERT_EQ(
                    polarPlanFrame(memory.data(), &a.frame, scratch.data(), scratch.size(), nullptr, nullptr),
                    POLARMOSAIC_OK);
                ASSERT_EQ(polarPlanFrame(twoWalks.data(), &b.frame, scratch.data(), scratch.size(), nullptr,
                                         nullptr),
                          POLARMOSAIC_OK);
                EXPECT_EQ(firstDifference(a.result(), b.result()), "") << "room " << room;
            } else {
                EXPECT_EQ(status, POLARMOSAIC_PLAN_TOO_SMALL) << "room " << room;
                EXPECT_EQ(needed, room < headBytes ? headBytes : planBytes) << "room " << room;
                if (room < headBytes) continue;
                Plan again;
                again.words = wordsFor(planBytes);
                std::memcpy(again.data(), memory.data(), headBytes);
                ASSERT_EQ(polarPlanBuild(again.data(), planBytes, nullptr, nullptr), POLARMOSAIC_OK);
                EXPECT_EQ(std::memcmp(again.data(), twoWalks.data(), planBytes), 0) << "room " << room;
            }
        }
        if (HasFailure()) break;
    }
}

TEST(FittedCalls, RefusalsWriteNothing) {
    const PolarPlanSettings good = settingsFor(40, 30, 36, 4, 2, 3);
    const FittedPicture in = noise(40, 30, true, 9);
    struct Case {
        const char* name;
        int status;
        void (*settings)(PolarPlanSettings&);
    };
    // Settings refused by every plan function.
    const Case settingsCases[] = {
        {"width 0", POLARMOSAIC_BAD_SIZE, [](PolarPlanSettings& s) { s.width = 0; }},
        {"width 32768", POLARMOSAIC_BAD_SIZE, [](PolarPlanSettings& s) { s.width = 32768; }},
        {"height -1", POLARMOSAIC_BAD_SIZE, [](PolarPlanSettings& s) { s.height = -1; }},
        {"centre right of the picture", POLARMOSAIC_BAD_CENTRE,
         [](PolarPlanSettings& s) { s.centreX2 = 79; }},
        {"centre above the picture", POLARMOSAIC_BAD_CENTRE, [](PolarPlanSettings& s) { s.centreY2 = -1; }},
        {"centre below the picture", POLARMOSAIC_BAD_CENTRE, [](PolarPlanSettings& s) { s.centreY2 = 59; }},
        {"sectors 0", POLARMOSAIC_BAD_TILE_SIZE, [](PolarPlanSettings& s) { s.sectors = 0; }},
        {"sectors 32753", POLARMOSAIC_BAD_TILE_SIZE, [](PolarPlanSettings& s) { s.sectors = 32753; }},
        {"ring 0", POLARMOSAIC_BAD_TILE_SIZE, [](PolarPlanSettings& s) { s.ringWidth = 0; }},
        {"line width 1025", POLARMOSAIC_BAD_TILE_SIZE, [](PolarPlanSettings& s) { s.borderWidth = 1025; }},
        {"line width -1", POLARMOSAIC_BAD_TILE_SIZE, [](PolarPlanSettings& s) { s.borderWidth = -1; }},
    };
    for (const Case& c : settingsCases) {
        SCOPED_TRACE(c.name);
        PolarPlanSettings s = good;
        c.settings(s);
        EXPECT_EQ(checkPolarPlanSettings(&s), c.status);
        EXPECT_EQ(polarPlanHeadBytes(&s), 0u);
        std::vector<uint8_t> head(4096, 0xA5);
        size_t planBytes = 12345;
        EXPECT_EQ(polarPlanMeasure(&s, head.data(), head.size(), nullptr, nullptr, &planBytes), c.status);
        EXPECT_EQ(planBytes, 12345u);
        EXPECT_TRUE(std::all_of(head.begin(), head.end(), [](uint8_t b) { return b == 0xA5; }));
    }
    // The largest settings are taken.
    PolarPlanSettings largest = good;
    largest.centreX2 = 78, largest.centreY2 = 58, largest.sectors = 32752, largest.borderWidth = 1024;
    EXPECT_EQ(checkPolarPlanSettings(&largest), POLARMOSAIC_OK);

    // Memory too small, and frames refused: the destination stays as it was.
    const size_t headBytes = polarPlanHeadBytes(&good);
    ASSERT_GT(headBytes, 0u);
    {
        std::vector<uint64_t> head = wordsFor(headBytes);
        size_t planBytes = 0;
        EXPECT_EQ(polarPlanMeasure(&good, head.data(), headBytes - 1, nullptr, nullptr, &planBytes),
                  POLARMOSAIC_PLAN_TOO_SMALL);
        EXPECT_TRUE(std::all_of(head.begin(), head.end(), [](uint64_t b) { return b == 0; }));
        EXPECT_EQ(polarPlanBuild(head.data(), headBytes, nullptr, nullptr), POLARMOSAIC_BAD_PLAN);
        ASSERT_EQ(polarPlanMeasure(&good, head.data(), headBytes, nullptr, nullptr, &planBytes),
                  POLARMOSAIC_OK);
        std::vector<uint64_t> plan = wordsFor(planBytes);
        std::memcpy(plan.data(), head.data(), headBytes);
        const std::vector<uint64_t> measured = plan;
        EXPECT_EQ(polarPlanBuild(plan.data(), planBytes - 1, nullptr, nullptr), POLARMOSAIC_PLAN_TOO_SMALL);
        EXPECT_TRUE(plan == measured);
        // Known once measured (a host reserves it before building), but a
        // frame needs the built plan.
        EXPECT_GT(polarPlanScratchBytes(plan.data()), 0u);
        FrameBuffers buffers(in, FittedColours(), 3);
        std::vector<uint8_t> scratch(1 << 16);
        EXPECT_EQ(
            polarPlanFrame(plan.data(), &buffers.frame, scratch.data(), scratch.size(), nullptr, nullptr),
            POLARMOSAIC_BAD_PLAN);
        EXPECT_TRUE(buffers.untouched());
    }
    Plan plan;
    ASSERT_EQ(makePlan(good, &plan), POLARMOSAIC_OK);
    const size_t scratchBytes = polarPlanScratchBytes(plan.data());
    ASSERT_GT(scratchBytes, 0u);
    struct FrameCase {
        const char* name;
        int status;
        void (*change)(PolarPlanFrame&, size_t&, const void*&);
    };
    const FrameCase frameCases[] = {
        {"scratch one byte short", POLARMOSAIC_PLAN_TOO_SMALL,
         [](PolarPlanFrame&, size_t& n, const void*&) { --n; }},
        {"no source plane 1", POLARMOSAIC_NULL_PLANE,
         [](PolarPlanFrame& f, size_t&, const void*&) { f.srcPlane[1] = nullptr; }},
        {"no destination plane 2", POLARMOSAIC_NULL_PLANE,
         [](PolarPlanFrame& f, size_t&, const void*&) { f.dstPlane[2] = nullptr; }},
        {"alpha without its destination", POLARMOSAIC_NULL_PLANE,
         [](PolarPlanFrame& f, size_t&, const void*&) { f.dstPlane[3] = nullptr; }},
        {"source rows too short", POLARMOSAIC_BAD_LINE_BYTES,
         [](PolarPlanFrame& f, size_t&, const void*&) { f.srcLineBytes = 39; }},
        {"destination rows too short", POLARMOSAIC_BAD_LINE_BYTES,
         [](PolarPlanFrame& f, size_t&, const void*&) { f.dstLineBytes = 0; }},
        {"not a plan", POLARMOSAIC_BAD_PLAN, [](PolarPlanFrame&, size_t&, const void*& p) { p = kNotAPlan; }},
        {"no plan", POLARMOSAIC_BAD_PLAN, [](PolarPlanFrame&, size_t&, const void*& p) { p = nullptr; }},
    };
    for (const FrameCase& c : frameCases) {
        SCOPED_TRACE(c.name);
        FrameBuffers buffers(in, FittedColours(), 4);
        std::vector<uint8_t> scratch(scratchBytes);
        size_t n = scratchBytes;
        const void* p = plan.data();
        c.change(buffers.frame, n, p);
        EXPECT_EQ(polarPlanFrame(p, &buffers.frame, scratch.data(), n, nullptr, nullptr), c.status);
        EXPECT_TRUE(buffers.untouched());
    }
    FrameBuffers buffers(in, FittedColours(), 4);
    std::vector<uint8_t> scratch(scratchBytes);
    EXPECT_EQ(polarPlanFrame(plan.data(), nullptr, scratch.data(), scratchBytes, nullptr, nullptr),
              POLARMOSAIC_NULL_RECORD);
    EXPECT_EQ(polarPlanFrame(plan.data(), &buffers.frame, nullptr, scratchBytes, nullptr, nullptr),
              POLARMOSAIC_NULL_RECORD);
    EXPECT_TRUE(buffers.untouched());
    EXPECT_EQ(polarPlanFrame(plan.data(), &buffers.frame, scratch.data(), scratchBytes, nullptr, nullptr),
              POLARMOSAIC_OK);
    EXPECT_FALSE(buffers.untouched());
}

TEST(FittedCalls, HeaderCompilesAsC) { EXPECT_EQ(headerCCheckFitted(), 1); }

}  // namespace

// The bytes of version POLARMOSAIC_FITTED_VERSION, pinned: a change here
// changes what users get, so it comes with a new version number, new
// values below and a line in CHANGELOG.md. (The values were recorded when
// version 2 was made; the reference comparisons above say they are right.)
TEST(FittedVersion, BytesArePinnedToTheVersion) {
    EXPECT_EQ(POLARMOSAIC_FITTED_VERSION, 2);
    const struct {
        int width, height, sectors, ring, mode, lineWidth, centreX2, centreY2, angle, hard;
        bool alpha;
        uint64_t checksum;
    } cases[] = {
        {160, 90, 36, 7, POLARMOSAIC_BORDER_GRID, 1, 159, 89, 0, 0, false, 9929277181298608250ull},
        {90, 160, 12, 9, POLARMOSAIC_BORDER_RINGS, 4, 30, 200, 45000, 0, true, 14803494979532905202ull},
        {120, 120, 7, 5, POLARMOSAIC_BORDER_SPOKES, 3, 0, 0, 12345, 1, false, 7193385692412766254ull},
    };
    for (const auto& c : cases) {
        PolarPlanSettings s = settingsFor(c.width, c.height, c.sectors, c.ring, c.mode, c.lineWidth);
        s.centreX2 = c.centreX2;
        s.centreY2 = c.centreY2;
        s.angle = c.angle;
        s.hardEdges = c.hard;
        FittedColours colours;
        colours.borderValue[0] = 48;
        colours.borderValue[1] = 90;
        colours.borderValue[2] = 200;
        const FittedPicture out = runOk(s, noise(c.width, c.height, c.alpha, 11), colours);
        uint64_t hash = 14695981039346656037ull;  // FNV-1a 64
        for (int p = 0; p < 4; ++p) {
            for (uint8_t v : out.plane[p]) hash = (hash ^ v) * 1099511628211ull;
        }
        EXPECT_EQ(hash, c.checksum) << describe(s, noise(c.width, c.height, c.alpha, 11));
    }
}
