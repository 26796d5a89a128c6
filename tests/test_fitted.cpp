// The fitted geometry: compared byte for byte with the straightforward
// version, and measured from its output over many sizes and aspect ratios.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fitted.h"
#include "support/fitted_reference.h"

extern "C" int headerCCheckFitted(void);

namespace {

using ref::FittedOptions;
using ref::Picture;

constexpr double kTwoPi = 6.283185307179586;

struct Size {
    int width, height;
};

// 16:9, 4:3, 1:1, 9:16, panorama, thin both ways, tiny.
const Size kAspects[] = {{320, 180}, {200, 150}, {161, 161}, {90, 160}, {600, 80},
                         {300, 4},   {4, 300},   {2, 2},     {3, 2},    {17, 17}};

// ---------------------------------------------------------------- running

// Every buffer of one module call; the scratch planes start with garbage so
// that a stage reading bytes no earlier stage wrote shows up.
struct FittedCall {
    PolarFittedParam p{};
    std::vector<uint8_t> planes[12];  // 0..2 src, 3..5 dst, 6..8 polar, 9..11 tiles
    std::vector<int16_t> widths, heights;
    std::vector<uint8_t> ramps[12];

    FittedCall(const Picture& in, const FittedOptions& o, uint32_t garbageSeed = 1) {
        EXPECT_EQ(polarFittedLayout(&p, in.width, in.height, o.sectors, o.ringWidth), POLARMOSAIC_OK);
        std::mt19937 rng(garbageSeed);
        const size_t pictureBytes = static_cast<size_t>(p.height) * p.lineBytes;
        const size_t polarBytes = static_cast<size_t>(p.polarRows) * p.polarLineBytes;
        for (int k = 0; k < 12; ++k) {
            planes[k].resize(k < 6 ? pictureBytes : polarBytes);
            for (auto& b : planes[k]) b = static_cast<uint8_t>(rng());
        }
        for (int c = 0; c < 3; ++c) {
            for (int y = 0; y < in.height; ++y) {
                for (int x = 0; x < in.width; ++x)
                    planes[c][static_cast<size_t>(y) * p.lineBytes + x] = in.at(c, x, y);
            }
            p.srcPlane[c] = planes[c].data();
            p.dstPlane[c] = planes[3 + c].data();
            p.polarPlane[c] = planes[6 + c].data();
            p.tilePlane[c] = planes[9 + c].data();
        }
        p.planeBytes = static_cast<int32_t>(pictureBytes);
        p.polarPlaneBytes = static_cast<int32_t>(polarBytes);
        widths.assign(static_cast<size_t>(p.sectors) + 1, -1);
        heights.assign(static_cast<size_t>(p.rings), -1);
        p.tileWidths = widths.data();
        p.tileHeights = heights.data();
        for (int r = 0; r < 12; ++r) {
            ramps[r].assign(static_cast<size_t>(o.borderWidth / 2 + 1), 0xEE);
            p.ramp[r] = ramps[r].data();
        }
        for (int s = 0; s < 4; ++s) p.shade[s] = o.shade[s];
        p.borderMode = static_cast<int16_t>(o.borderMode);
        p.borderWidth = static_cast<int16_t>(o.borderWidth);
        for (int c = 0; c < 3; ++c) p.borderValue[c] = static_cast<int16_t>(o.borderValue[c]);
    }

    Picture result() const {
        Picture out(p.width, p.height);
        for (int c = 0; c < 3; ++c) {
            for (int y = 0; y < p.height; ++y) {
                for (int x = 0; x < p.width; ++x) {
                    out.at(c, x, y) = planes[3 + c][static_cast<size_t>(y) * p.lineBytes + x];
                }
            }
        }
        return out;
    }
};

Picture runFitted(const Picture& in, const FittedOptions& o, PolarMosaicRunner runner = nullptr,
                  void* runnerData = nullptr, uint32_t garbageSeed = 1) {
    FittedCall call(in, o, garbageSeed);
    EXPECT_EQ(iPolarFittedRun0(&call.p, runner, runnerData), POLARMOSAIC_OK);
    return call.result();
}

// Runners that run every job once, in other orders or on other threads.
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

int threadRunner(void*, void* jobData, PolarMosaicJob job, uint32_t count) {
    std::atomic<uint32_t> next{0};
    auto work = [&] {
        for (uint32_t i; (i = next.fetch_add(1)) < count;) job(jobData, i);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back(work);
    for (auto& t : threads) t.join();
    return 0;
}

// ---------------------------------------------------------------- pictures

Picture noise(int w, int h, uint32_t seed) {
    Picture p(w, h);
    std::mt19937 rng(seed);
    for (auto& plane : p.plane) {
        for (auto& b : plane) b = static_cast<uint8_t>(rng());
    }
    return p;
}

Picture flat(int w, int h, const uint8_t rgb[3]) {
    Picture p(w, h);
    for (int c = 0; c < 3; ++c) std::fill(p.plane[c].begin(), p.plane[c].end(), rgb[c]);
    return p;
}

// Smooth waves with a period of about 70 pixels, in absolute pixel units.
Picture smooth(int w, int h) {
    Picture p(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) {
                const double v = 128.0 + 90.0 * std::sin(x * 0.09 + c) * std::cos(y * 0.08 - c);
                p.at(c, x, y) = static_cast<uint8_t>(std::lround(v));
            }
        }
    }
    return p;
}

// Colour by angle around the centre (a colour wheel), never pure magenta.
Picture wheel(int w, int h) {
    Picture p(w, h);
    const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double a = std::atan2(cy - y, x - cx);
            for (int c = 0; c < 3; ++c) {
                p.at(c, x, y) =
                    static_cast<uint8_t>(std::lround(120.0 + 100.0 * std::cos(a - c * kTwoPi / 3)));
            }
        }
    }
    return p;
}

double psnr(const Picture& a, const Picture& b) {
    double sum = 0;
    size_t n = 0;
    for (int c = 0; c < 3; ++c) {
        for (size_t i = 0; i < a.plane[c].size(); ++i, ++n) {
            const double d = static_cast<double>(a.plane[c][i]) - b.plane[c][i];
            sum += d * d;
        }
    }
    return sum == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / (sum / static_cast<double>(n)));
}

// The finest grid: one polar column per sector, rings of one pixel.
FittedOptions finest(int w, int h) {
    FittedOptions o;
    const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0;
    o.sectors = std::min(32752, static_cast<int>(std::ceil(kTwoPi * std::sqrt(cx * cx + cy * cy))));
    o.ringWidth = 1;
    o.borderMode = 1;
    return o;
}

// Flat lines in a colour no test picture holds.
FittedOptions flatLines(int sectors, int ring, int mode, int width) {
    FittedOptions o;
    o.sectors = sectors;
    o.ringWidth = ring;
    o.borderMode = mode;
    o.borderWidth = width;
    o.borderValue[0] = 255;
    o.borderValue[1] = 0;
    o.borderValue[2] = 255;
    for (float& s : o.shade) s = 0.0f;
    return o;
}

bool isLine(const Picture& p, int x, int y) {
    return p.at(0, x, y) == 255 && p.at(1, x, y) == 0 && p.at(2, x, y) == 255;
}

// ---------------------------------------------------------------- layout

TEST(FittedLayout, WorkedExamples) {
    // Half diagonal of 1920 x 1080: sqrt(959.5^2 + 539.5^2) = 1100.77, so
    // 1101 polar rows; 2 pi 1100.77 / 36 = 192.1 -> 193 columns per sector.
    struct Case {
        int w, h, sectors, ring;
        int rows, sectorCols, cols, rings;
    } cases[] = {
        {1920, 1080, 36, 28, 1101, 193, 6948, 40},
        {2, 2, 36, 28, 2, 1, 36, 1},                       // half diagonal 0.71; at least 2 rows
        {640, 480, 12, 1, 400, 210, 2520, 400},            // 399.30 -> 400 rows; 2 pi 399.30 / 12 = 209.1
        {100, 100, 32752, 5, 71, 1, 32752, 15},            // 70.0; column cap
        {32752, 32767, 2, 100, 23164, 16376, 32752, 232},  // 23163.76; cap 32752 / 2
    };
    for (const Case& c : cases) {
        PolarFittedParam p{};
        ASSERT_EQ(polarFittedLayout(&p, c.w, c.h, c.sectors, c.ring), POLARMOSAIC_OK) << c.w << "x" << c.h;
        EXPECT_EQ(p.polarRows, c.rows) << c.w << "x" << c.h;
        EXPECT_EQ(p.sectorCols, c.sectorCols) << c.w << "x" << c.h;
        EXPECT_EQ(p.polarCols, c.cols) << c.w << "x" << c.h;
        EXPECT_EQ(p.rings, c.rings) << c.w << "x" << c.h;
        EXPECT_EQ(p.polarLineBytes, lcw16(static_cast<int16_t>(c.cols)));
        const ref::FittedLayout l = ref::fittedLayout(c.w, c.h, c.sectors, c.ring);
        EXPECT_EQ(l.polarCols, c.cols);
    }
    EXPECT_EQ(headerCCheckFitted(), 1);  // the same from C
}

TEST(FittedLayout, RefusesOutOfRangeAndBrokenRecords) {
    PolarFittedParam p{};
    EXPECT_EQ(polarFittedLayout(&p, 1, 10, 4, 4), POLARMOSAIC_BAD_SIZE);
    EXPECT_EQ(polarFittedLayout(&p, 32753, 10, 4, 4), POLARMOSAIC_BAD_SIZE);
    EXPECT_EQ(polarFittedLayout(&p, 10, 10, 0, 4), POLARMOSAIC_BAD_TILE_SIZE);
    EXPECT_EQ(polarFittedLayout(&p, 10, 10, 32753, 4), POLARMOSAIC_BAD_TILE_SIZE);
    EXPECT_EQ(polarFittedLayout(&p, 10, 10, 4, 0), POLARMOSAIC_BAD_TILE_SIZE);
    EXPECT_EQ(p.width, 0);  // nothing written on refusal

    const Picture in = noise(40, 30, 3);
    const FittedOptions o;
    struct Mutation {
        const char* name;
        void (*apply)(PolarFittedParam*);
        int status;
    } mutations[] = {
        {"null plane", [](PolarFittedParam* q) { q->tilePlane[1] = nullptr; }, POLARMOSAIC_NULL_PLANE},
        {"short picture", [](PolarFittedParam* q) { q->planeBytes -= 1; }, POLARMOSAIC_PLANE_TOO_SMALL},
        {"short polar", [](PolarFittedParam* q) { q->polarPlaneBytes -= 1; }, POLARMOSAIC_PLANE_TOO_SMALL},
        {"stale layout", [](PolarFittedParam* q) { q->sectors = 35; }, POLARMOSAIC_BAD_TILE_GRID},
        {"null tiles", [](PolarFittedParam* q) { q->tileHeights = nullptr; }, POLARMOSAIC_NULL_TILE_ARRAY},
        {"null ramp", [](PolarFittedParam* q) { q->ramp[11] = nullptr; }, POLARMOSAIC_NULL_RAMP},
        {"line bytes", [](PolarFittedParam* q) { q->lineBytes = 39; }, POLARMOSAIC_BAD_LINE_BYTES},
    };
    for (const Mutation& m : mutations) {
        FittedCall call(in, o);
        m.apply(&call.p);
        const std::vector<uint8_t> before = call.planes[3];
        EXPECT_EQ(iPolarFittedRun0(&call.p, nullptr, nullptr), m.status) << m.name;
        EXPECT_EQ(call.planes[3], before) << m.name;
    }
    // Ramps are not needed for one-pixel lines or without borders.
    FittedOptions thin = o;
    thin.borderWidth = 1;
    FittedCall call(in, thin);
    call.p.ramp[0] = nullptr;
    EXPECT_EQ(iPolarFittedRun0(&call.p, nullptr, nullptr), POLARMOSAIC_OK);
}

// Ramps are needed exactly when lines are drawn (mode 2, 3 or 4) at a width of
// 2 or more. Otherwise NULL ramps run, through the whole effect and through
// iBorderRamps0 on the tile record, with the bytes of the same call with
// ramps; when needed, NULL ramps are refused before anything is written.
TEST(FittedLayout, NullRampsRunWheneverTheCheckAcceptsThem) {
    const Picture in = noise(40, 30, 5);
    for (int mode : {0, 1, 2, 3, 4, 5}) {
        for (bool flat : {true, false}) {
            for (int width : {0, 1, 2, 6}) {
                FittedOptions o = flatLines(6, 5, mode, width);
                if (!flat) {
                    const float shades[4] = {2.0f, 0.25f, 1.5f, 0.5f};
                    std::copy(shades, shades + 4, o.shade);
                }
                const std::string name = "mode " + std::to_string(mode) + (flat ? " flat" : " shaded") +
                                         ", width " + std::to_string(width);
                const bool needsRamps = mode >= 2 && mode <= 4 && width >= 2;
                const int expected = needsRamps ? POLARMOSAIC_NULL_RAMP : POLARMOSAIC_OK;

                FittedCall none(in, o);
                for (auto& r : none.p.ramp) r = nullptr;
                EXPECT_EQ(checkPolarFittedParam(&none.p), expected) << name;
                const std::vector<uint8_t> before = none.planes[3];
                EXPECT_EQ(iPolarFittedRun0(&none.p, nullptr, nullptr), expected) << name;
                if (needsRamps) {
                    EXPECT_EQ(none.planes[3], before) << name << ": refused, nothing written";
                    continue;
                }
                FittedCall given(in, o);
                EXPECT_EQ(iPolarFittedRun0(&given.p, nullptr, nullptr), POLARMOSAIC_OK) << name;
                EXPECT_TRUE(none.result() == given.result()) << name;

                PolarMosaicParam tiles;
                PolarTileGrid centre, rings;
                ASSERT_EQ(iFittedTileRecords0(&none.p, &tiles, &centre, &rings), POLARMOSAIC_OK) << name;
                // Modes outside 1 .. 4 still fill the ramps of the tile record.
                const bool stageNeedsRamps = mode != POLARMOSAIC_BORDER_NONE && width >= 2;
                EXPECT_EQ(iBorderRamps0(&tiles), stageNeedsRamps ? POLARMOSAIC_NULL_RAMP : POLARMOSAIC_OK)
                    << name;
            }
        }
    }
}

// ---------------------------------------------------------------- exactness

TEST(FittedExact, MatchesTheStraightforwardVersion) {
    const Size sizes[] = {{2, 2},   {3, 2},    {2, 5},    {17, 17},  {64, 36},
                          {40, 52}, {120, 90}, {90, 120}, {200, 24}, {5, 80}};
    FittedOptions options[8];
    options[1].sectors = 12, options[1].ringWidth = 10, options[1].borderMode = 3, options[1].borderWidth = 4;
    options[2].sectors = 7, options[2].ringWidth = 6, options[2].borderMode = 4, options[2].borderWidth = 1;
    options[3].sectors = 1, options[3].ringWidth = 5, options[3].borderWidth = 3;
    options[4] = flatLines(2, 8, 2, 6);
    options[5] = finest(60, 40);
    options[5].sectors = 200;
    options[6].sectors = 5, options[6].ringWidth = 3, options[6].borderWidth = 9;
    options[6].shade[0] = 1.5f, options[6].shade[3] = 0.0f, options[6].borderValue[1] = 200;
    options[7].sectors = 3, options[7].ringWidth = 4, options[7].borderMode = 0;  // draws nothing
    uint32_t seed = 10;
    for (const Size& s : sizes) {
        for (const FittedOptions& o : options) {
            const Picture in = noise(s.width, s.height, ++seed);
            EXPECT_TRUE(runFitted(in, o) == ref::fittedMosaic(in, o))
                << s.width << "x" << s.height << " sectors " << o.sectors << " ring " << o.ringWidth
                << " mode " << o.borderMode << " width " << o.borderWidth;
        }
    }
}

TEST(FittedExact, SameBytesForEveryRunnerAndSplit) {
    const Picture in = noise(331, 187, 5);
    FittedOptions o;
    o.sectors = 24;
    o.ringWidth = 9;
    const Picture expected = runFitted(in, o);
    uint32_t seed = 77;
    EXPECT_TRUE(runFitted(in, o, reverseRunner, nullptr, 2) == expected);
    EXPECT_TRUE(runFitted(in, o, shuffledRunner, &seed, 3) == expected);
    EXPECT_TRUE(runFitted(in, o, threadRunner, nullptr, 4) == expected);

    // The stages by hand, in uneven pieces, the last ones first.
    FittedCall call(in, o, 6);
    PolarMosaicParam tiles;
    PolarTileGrid centreGrid, ringGrid;
    ASSERT_EQ(iFittedTileRecords0(&call.p, &tiles, &centreGrid, &ringGrid), POLARMOSAIC_OK);
    for (int32_t end = call.p.polarRows; end > 0; end -= 7) {
        ASSERT_EQ(iFittedForwardRows0(&call.p, std::max(0, end - 7), end), POLARMOSAIC_OK);
    }
    ASSERT_EQ(iTileAverageRows0(&tiles, &centreGrid, 0, 1), POLARMOSAIC_OK);
    for (int32_t first = ringGrid.tileRows - 1; first >= 1; --first) {
        ASSERT_EQ(iTileAverageRows0(&tiles, &ringGrid, first, first + 1), POLARMOSAIC_OK);
    }
    ASSERT_EQ(iBorderRamps0(&tiles), POLARMOSAIC_OK);
    for (int32_t first = call.p.height - 1; first >= 0; first -= 13) {
        ASSERT_EQ(iFittedInverseRows0(&call.p, std::max(0, first - 12), first + 1), POLARMOSAIC_OK);
    }
    EXPECT_TRUE(call.result() == expected);
    EXPECT_EQ(iFittedForwardRows0(&call.p, 0, call.p.polarRows + 1), POLARMOSAIC_BAD_RANGE);
    EXPECT_EQ(iFittedInverseRows0(&call.p, -1, 3), POLARMOSAIC_BAD_RANGE);
}

// ---------------------------------------------------------------- properties

TEST(FittedProperties, FlatPicturesStayFlat) {
    const uint8_t colours[][3] = {{0, 0, 0}, {255, 255, 255}, {1, 128, 254}, {37, 200, 99}};
    const FittedOptions grids[] = {finest(40, 40), flatLines(36, 28, 1, 5), flatLines(9, 7, 2, 5),
                                   flatLines(50, 3, 2, 2), flatLines(1, 4, 4, 3)};
    for (const Size& s : kAspects) {
        for (const FittedOptions& o : grids) {
            for (const auto& colour : colours) {
                const Picture out = runFitted(flat(s.width, s.height, colour), o);
                int lines = 0;
                for (int y = 0; y < s.height; ++y) {
                    for (int x = 0; x < s.width; ++x) {
                        if (isLine(out, x, y)) {
                            ++lines;
                            continue;
                        }
                        for (int c = 0; c < 3; ++c) {
                            ASSERT_EQ(out.at(c, x, y), colour[c]) << s.width << "x" << s.height << " at " << x
                                                                  << "," << y << " mode " << o.borderMode;
                        }
                    }
                }
                if (o.borderMode == 1) {
                    EXPECT_EQ(lines, 0) << s.width << "x" << s.height;
                }
            }
        }
    }
}

TEST(FittedProperties, RegisteredWithTheFinestGrid) {
    for (const Size& s : kAspects) {
        const Picture in = smooth(s.width, s.height);
        const double db = psnr(runFitted(in, finest(s.width, s.height)), in);
        EXPECT_GE(db, 30.0) << s.width << "x" << s.height;
    }
}

// The classic geometry rescales a 16:9 picture by about 1.28 around its
// centre, so even its finest grid is far from the input.
TEST(FittedProperties, ClassicIsNotRegisteredAt16By9) {
    const int w = 320, h = 180;
    const Picture in = smooth(w, h);
    const int16_t line = lcw16(w);
    std::vector<uint8_t> planes[6];
    PolarMosaicParam p{};
    for (int c = 0; c < 3; ++c) {
        planes[c].assign(static_cast<size_t>(h) * line, 0);
        planes[3 + c].assign(static_cast<size_t>(h) * line, 0);
        for (int y = 0; y < h; ++y) {
            std::copy_n(&in.plane[c][static_cast<size_t>(y) * w], w,
                        &planes[3 + c][static_cast<size_t>(y) * line]);
        }
        p.outPlane[c] = planes[c].data();
        p.inPlane[c] = planes[3 + c].data();
    }
    std::vector<int16_t> widths(w), heights(h);
    p.planeBytes = h * line;
    p.tileWidths = widths.data();
    p.tileHeights = heights.data();
    p.width = w, p.height = h, p.lineBytes = line;
    p.tileWidth = 1, p.tileHeight = 1, p.tileCols = w, p.tileRows = h;
    p.borderMode = POLARMOSAIC_BORDER_NONE;
    iPolarMosaic0(&p);
    Picture out(w, h);
    for (int c = 0; c < 3; ++c) {
        for (int y = 0; y < h; ++y)
            std::copy_n(&planes[c][static_cast<size_t>(y) * line], w, &out.plane[c][y * w]);
    }
    EXPECT_LT(psnr(out, in), 20.0);  // about 12 dB
    EXPECT_GE(psnr(runFitted(in, finest(w, h)), in), 30.0);
}

TEST(FittedProperties, NoWrap) {
    for (const Size& s : kAspects) {
        if (s.height < 8) continue;  // no room for a strip and a half apart
        // Channel 0 is 255 in the top tenth and 0 everywhere else.
        Picture in = smooth(s.width, s.height);
        const int strip = std::max(1, s.height / 10);
        for (int y = 0; y < s.height; ++y) {
            for (int x = 0; x < s.width; ++x) in.at(0, x, y) = y < strip ? 255 : 0;
        }
        FittedOptions grids[3] = {finest(s.width, s.height), FittedOptions(), flatLines(24, 5, 2, 3)};
        grids[1].borderValue[0] = 0, grids[1].shade[0] = grids[1].shade[2] = 0.0f;  // lines without red
        grids[2].borderValue[0] = 0;
        grids[2].ringWidth = std::max(1, s.height / 8);
        for (const FittedOptions& o : grids) {
            const Picture out = runFitted(in, o);
            for (int y = s.height / 2 + std::max(1, o.ringWidth / 2); y < s.height; ++y) {
                for (int x = 0; x < s.width; ++x) {
                    ASSERT_EQ(out.at(0, x, y), 0)
                        << s.width << "x" << s.height << " at " << x << "," << y << " ring " << o.ringWidth;
                }
            }
        }
    }
}

// Along a circle in the middle of a ring: the colour changes exactly at the
// N equal angles 2 pi k / N (the closure included), and spokes lie there.
TEST(FittedProperties, SectorsMeasuredFromTheOutput) {
    const Size sizes[] = {{320, 180}, {161, 161}, {180, 320}, {400, 300}};
    for (const Size& s : sizes) {
        for (int sectors : {3, 4, 12, 36, 61}) {
            const int ring = 16;
            const double cx = (s.width - 1) / 2.0, cy = (s.height - 1) / 2.0;
            const double radius = ring * (std::floor((std::min(cx, cy) - ring) / ring) - 0.5);
            ASSERT_GT(radius, ring);
            const double tolerance = 1.5 / radius;  // radians: a pixel and a half
            FittedOptions none;
            none.sectors = sectors, none.ringWidth = ring, none.borderMode = 1;
            const Picture tiles = runFitted(wheel(s.width, s.height), none);
            const uint8_t grey[3] = {100, 100, 100};
            const Picture spokes = runFitted(flat(s.width, s.height, grey), flatLines(sectors, ring, 4, 3));
            const int steps = 40000;
            auto pixelAt = [&](double a) {
                const int x = static_cast<int>(std::lround(cx + radius * std::cos(a)));
                const int y = static_cast<int>(std::lround(cy - radius * std::sin(a)));
                return std::make_pair(x, y);
            };
            auto nearSpoke = [&](double a) {
                const double k = std::round(a * sectors / kTwoPi);
                return std::fabs(a - k * kTwoPi / sectors) < tolerance;
            };
            std::vector<double> changes;
            std::vector<double> runCentres;
            const double start = -kTwoPi / (2 * sectors);  // mid-sector, off every spoke
            auto [px, py] = pixelAt(start);
            double runStart = -1;
            for (int i = 1; i <= steps; ++i) {
                const double a = start + kTwoPi * i / steps;
                const auto [x, y] = pixelAt(a);
                for (int c = 0; c < 3; ++c) {
                    if (tiles.at(c, x, y) != tiles.at(c, px, py)) {
                        changes.push_back(a);
                        break;
                    }
                }
                const bool line = isLine(spokes, x, y);
                if (line && runStart < 0) runStart = a;
                if (!line && runStart >= 0) {
                    runCentres.push_back((runStart + a) / 2);
                    runStart = -1;
                }
                px = x, py = y;
            }
            SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << " sectors " << sectors);
            ASSERT_EQ(changes.size(), static_cast<size_t>(sectors));
            ASSERT_EQ(runCentres.size(), static_cast<size_t>(sectors));
            for (size_t k = 0; k < changes.size(); ++k) {
                EXPECT_TRUE(nearSpoke(changes[k])) << "colour change at " << changes[k];
                EXPECT_TRUE(nearSpoke(runCentres[k])) << "spoke at " << runCentres[k];
            }
            EXPECT_LT(std::fabs(runCentres[0]), tolerance);  // the closure has its spoke
        }
    }
}

// Line widths measured across the lines, and ring pitch, within one pixel.
TEST(FittedProperties, LineWidthsAndRingThickness) {
    const Size sizes[] = {{480, 270}, {300, 300}, {200, 360}};
    for (const Size& s : sizes) {
        for (int width : {1, 2, 3, 5, 8}) {
            for (int ring : {12, 25}) {
                SCOPED_TRACE(testing::Message()
                             << s.width << "x" << s.height << " width " << width << " ring " << ring);
                const uint8_t grey[3] = {100, 100, 100};
                const Picture plain = flat(s.width, s.height, grey);
                const double cx = (s.width - 1) / 2.0, cy = (s.height - 1) / 2.0;
                // Rings: along the row through the centre, to the right.
                const Picture rings = runFitted(plain, flatLines(8, ring, 3, width));
                const int y = static_cast<int>(std::floor(cy));
                std::vector<double> centres;
                int x = static_cast<int>(std::ceil(cx));
                while (x < s.width) {
                    if (!isLine(rings, x, y)) {
                        ++x;
                        continue;
                    }
                    int end = x;
                    while (end < s.width && isLine(rings, end, y)) ++end;
                    if (end < s.width) {
                        EXPECT_NEAR(end - x, width, 1.0) << "ring line at x " << x;
                        centres.push_back((x + end - 1) / 2.0);
                    }
                    x = end;
                }
                ASSERT_GE(centres.size(), 2u);
                for (size_t k = 1; k < centres.size(); ++k)
                    EXPECT_NEAR(centres[k] - centres[k - 1], ring, 1.0);
                EXPECT_NEAR(centres[0] - cx, ring, 1.0);

                // Spokes: across each spoke, along a pixel row or column.
                const int sectors = 7;
                const Picture spokes = runFitted(plain, flatLines(sectors, ring, 4, width));
                for (int k = 0; k < sectors; ++k) {
                    const double a = kTwoPi * k / sectors;
                    const double along = std::min(cx, cy) - width - 2;
                    const double sx = cx + along * std::cos(a), sy = cy - along * std::sin(a);
                    const bool rows = std::fabs(std::sin(a)) >= std::fabs(std::cos(a));
                    int x0 = static_cast<int>(std::lround(sx)), y0 = static_cast<int>(std::lround(sy));
                    auto on = [&](int i) {
                        const int x = rows ? x0 + i : x0, y = rows ? y0 : y0 + i;
                        return x >= 0 && y >= 0 && x < s.width && y < s.height && isLine(spokes, x, y);
                    };
                    int lo = 0, hi = 0;
                    if (!on(0)) {  // the rounded point may miss a one-pixel line
                        if (on(1))
                            lo = hi = 1;
                        else if (on(-1))
                            lo = hi = -1;
                    }
                    ASSERT_TRUE(on(lo)) << "spoke " << k;
                    while (on(lo - 1)) --lo;
                    while (on(hi + 1)) ++hi;
                    const double scale = rows ? std::fabs(std::sin(a)) : std::fabs(std::cos(a));
                    EXPECT_NEAR((hi - lo + 1) * scale, width, 1.0) << "spoke " << k;
                }
            }
        }
    }
}

// Every pixel shows its own tile's colour or the line colour: no stray
// pixel from a neighbouring tile, the far edge or the buffers.
TEST(FittedProperties, NoStrayPixels) {
    for (const Size& s : kAspects) {
        for (const FittedOptions& o :
             {flatLines(12, 9, 2, 3), flatLines(5, 20, 4, 4), flatLines(40, 6, 1, 0)}) {
            const Picture in = smooth(s.width, s.height);
            const Picture out = runFitted(in, o);
            const double cx = (s.width - 1) / 2.0, cy = (s.height - 1) / 2.0;
            auto tileAt = [&](double d, double a) {
                const int ring = static_cast<int>(d) / o.ringWidth;
                if (ring == 0) return std::make_pair(0, 0);
                a = std::fmod(a + kTwoPi, kTwoPi);
                return std::make_pair(ring, static_cast<int>(a * o.sectors / kTwoPi) % o.sectors);
            };
            // Candidate tiles of a pixel: a hair around its distance and angle.
            std::vector<std::set<std::pair<int, int>>> candidates(static_cast<size_t>(s.width) * s.height);
            std::map<std::pair<int, int>, std::map<uint32_t, int>> seen;
            auto colourAt = [&](int x, int y) {
                return uint32_t(out.at(0, x, y)) << 16 | uint32_t(out.at(1, x, y)) << 8 | out.at(2, x, y);
            };
            for (int y = 0; y < s.height; ++y) {
                for (int x = 0; x < s.width; ++x) {
                    const double dx = x - cx, dy = cy - y, d = std::hypot(dx, dy), a = std::atan2(dy, dx);
                    auto& set = candidates[static_cast<size_t>(y) * s.width + x];
                    for (double ed : {-1e-6, 1e-6}) {
                        for (double ea : {-1e-6, 1e-6}) set.insert(tileAt(std::max(0.0, d + ed), a + ea));
                    }
                    if (set.size() == 1 && !isLine(out, x, y)) ++seen[*set.begin()][colourAt(x, y)];
                }
            }
            std::map<std::pair<int, int>, uint32_t> tileColour;
            for (const auto& [tile, colours] : seen) {
                EXPECT_EQ(colours.size(), 1u) << "tile " << tile.first << "," << tile.second << " of "
                                              << s.width << "x" << s.height << " shows several colours";
                tileColour[tile] = colours.begin()->first;
            }
            for (int y = 0; y < s.height; ++y) {
                for (int x = 0; x < s.width; ++x) {
                    if (isLine(out, x, y)) continue;
                    bool own = false;
                    for (const auto& tile : candidates[static_cast<size_t>(y) * s.width + x]) {
                        const auto it = tileColour.find(tile);
                        own = own || it == tileColour.end() || it->second == colourAt(x, y);
                    }
                    ASSERT_TRUE(own) << "stray pixel at " << x << "," << y << " of " << s.width << "x"
                                     << s.height;
                }
            }
        }
    }
}

}  // namespace
