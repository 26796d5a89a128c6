// The module's resampling passes and turns take shortcuts: sine and cosine
// once per column, one root and arctangent for four mirrored pixels, vector
// kernels (with a quick arctangent that must round like the module's own
// correctly rounded one), plain fold rounds near the
// source and tiled copies. These tests compare them byte for byte with the
// straightforward versions in support/reference on many random pictures,
// sizes and records, including the records far outside the driver's values,
// at every dispatch level this processor runs (scalar first).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "shared/internal.h"
#include <polarmosaic/polarmosaic.h>
#include "support/harness.h"
#include "support/reference.h"

namespace {

using harness::MapPlanes;

enum class Pass { kForward, kInverse };

const char* passName(Pass pass) { return pass == Pass::kForward ? "forward" : "inverse"; }

std::string describe(Pass pass, const PolarMapParam& p) {
    return std::string(passName(pass)) + " " + std::to_string(p.width) + "x" + std::to_string(p.height) +
           " line " + std::to_string(p.lineBytes) + " zoom " + std::to_string(p.zoom) + " radiusOffset " +
           std::to_string(p.radiusOffset) + " angleOffset " + std::to_string(p.angleOffset) + " wrap " +
           std::to_string(p.wrap);
}

// Runs module and reference on copies of `planes`; "" when every
// destination byte, guard byte and source byte agrees. *changed (when
// given) receives the number of destination bytes the module changed.
std::string compare(Pass pass, const MapPlanes& planes, size_t* changed = nullptr) {
    MapPlanes mod(planes), rf(planes);
    if (pass == Pass::kForward) {
        iPolar2Cartesian0(&mod.param);
        if (ref::polar2Cartesian(&rf.param).outcome == ref::Outcome::kGaveUp) return "reference gave up";
    } else {
        iCartesian2Polar0(&mod.param);
        if (ref::cartesian2Polar(&rf.param).outcome == ref::Outcome::kGaveUp) return "reference gave up";
    }
    if (!mod.guardsEqual(planes)) return "module wrote outside the planes";
    for (int c = 0; c < 3; ++c) {
        if (mod.store[c] != planes.store[c]) return "module wrote into the source";
    }
    if (changed != nullptr) {
        *changed = 0;
        for (int k = 3; k < 6; ++k) {
            for (size_t i = 0; i < planes.store[k].size(); ++i)
                *changed += mod.store[k][i] != planes.store[k][i];
        }
    }
    return mod.dstDiff(rf);
}

int16_t pick(std::mt19937& rng, int lo, int hi) {
    return static_cast<int16_t>(std::uniform_int_distribution<int>(lo, hi)(rng));
}

// A size from 2 to 2000: mostly small, some large; odd and even alike. The
// other side is kept so that a case stays under about 200 000 pixels.
void pickSize(std::mt19937& rng, int16_t* width, int16_t* height) {
    const int kind = pick(rng, 0, 9);
    *width = kind < 6 ? pick(rng, 2, 90) : pick(rng, 2, 2000);
    const int maxHeight = std::max(2, std::min(2000, 200000 / *width));
    *height = pick(rng, 0, 3) == 0 ? pick(rng, 2, maxHeight) : pick(rng, 2, std::min(maxHeight, 120));
}

// Records: mostly the driver's values, then zooms, offsets and wrap flags
// that move coordinates well outside the source.
void pickRecord(std::mt19937& rng, PolarMapParam* p) {
    p->zoom = 1.0f;
    p->radiusOffset = 0.0f;
    p->angleOffset = 0.0f;
    p->wrap = 1;
    switch (pick(rng, 0, 11)) {
        case 0:
            p->zoom = 0.0f;
            break;
        case 1:
            p->zoom = static_cast<float>(pick(rng, 1, 400)) / 100.0f;
            break;
        case 2:
            p->zoom = -static_cast<float>(pick(rng, 1, 400)) / 100.0f;
            break;
        case 3:
            p->radiusOffset = static_cast<float>(pick(rng, -5000, 5000)) / 7.0f;
            break;
        case 4:
            p->angleOffset = static_cast<float>(pick(rng, -1440, 1440)) / 3.0f;
            break;
        case 5:
            p->wrap = 0;
            break;
        case 6:
            p->wrap = 0;
            p->zoom = static_cast<float>(pick(rng, 30, 300)) / 100.0f;
            break;
        case 7:
            p->zoom = 0.02f;
            break;  // many fold rounds
        default:
            break;
    }
}

// Pictures for the kernel checks: random bytes, one flat value per plane, or
// flat blocks of random sizes (like the tiled picture the inverse pass reads
// in the effect), where blends land on or next to whole numbers.
void fillPicture(uint8_t* plane, int w, int h, int line, int kind, std::mt19937& rng) {
    if (kind == 0) {
        harness::fillRandom(plane, static_cast<size_t>(h - 1) * line + w, rng);
        return;
    }
    const int blockW = kind == 1 ? w : pick(rng, 1, 40);
    const int blockH = kind == 1 ? h : pick(rng, 1, 40);
    const int extremes[4] = {0, 255, 254, 1};
    std::vector<uint8_t> values(static_cast<size_t>((w / blockW + 1) * (h / blockH + 1)));
    for (uint8_t& v : values) {
        const int r = pick(rng, 0, 5);
        v = static_cast<uint8_t>(r < 4 ? extremes[r] : pick(rng, 0, 255));
    }
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            plane[static_cast<size_t>(y) * line + x] =
                values[static_cast<size_t>((y / blockH) * (w / blockW + 1) + x / blockW)];
        }
    }
}

// The fold thresholds as the passes hand them to the kernels: the first loop
// runs while x > downAbove (for an inclusive bound, the single just below the
// bound), the plain rounds only while |x| < nearBelow.
polarmap_simd::KernelFold foldFor(double period, double upper, bool inclusive) {
    polarmap_simd::KernelFold k;
    k.period = period;
    float bound = static_cast<float>(upper);
    if (inclusive) {
        if (static_cast<double>(bound) >= upper) bound = std::nextafter(bound, -HUGE_VALF);
    } else if (static_cast<double>(bound) > upper) {
        bound = std::nextafter(bound, -HUGE_VALF);
    }
    k.downAbove = bound;
    k.nearBelow = static_cast<float>(4.0 * (std::fabs(upper) + period + 2.0));
    return k;
}

float pickUnusual(std::mt19937& rng, float usual) {
    switch (pick(rng, 0, 30)) {
        case 0:
            return std::numeric_limits<float>::quiet_NaN();
        case 1:
            return std::numeric_limits<float>::infinity();
        case 2:
            return -1e9f;
        case 3:
            return 3e6f;
        default:
            return usual;
    }
}

// Each vector level's kernels beside the widest level's, run for run, on the
// same pictures and coordinates: the same pixels handed back and the same
// bytes written. The narrower level's inverse runs write a random subset of
// the four mirrors: only those pixels are written or handed back. The
// sources end right before an inaccessible page.
void expectKernelsMatchWidest(int level) {
    const int widest = polarmap_simd::levelCount() - 1;
    const polarmap_simd::ForwardKernel forwardNarrow = polarmap_simd::forwardKernel(level);
    const polarmap_simd::ForwardKernel forwardWide = polarmap_simd::forwardKernel(widest);
    const polarmap_simd::InverseKernel inverseNarrow = polarmap_simd::inverseKernel(level);
    const polarmap_simd::InverseKernel inverseWide = polarmap_simd::inverseKernel(widest);
    ASSERT_TRUE(forwardNarrow && forwardWide && inverseNarrow && inverseWide);
    std::mt19937 rng(424242u + static_cast<unsigned>(level));
    int runs = 0;
    for (int i = 0; i < 400; ++i) {
        const int w = pick(rng, 0, 3) == 0 ? pick(rng, 2, 9) : pick(rng, 2, 400);
        const int h = pick(rng, 0, 3) == 0 ? pick(rng, 2, 9) : pick(rng, 2, 300);
        const int line = w + (pick(rng, 0, 1) == 0 ? 0 : pick(rng, 1, 20));
        const size_t used = static_cast<size_t>(h - 1) * line + w;
        if (used < 4) continue;
        harness::GuardedBuffer src0(used, true), src1(used, true), src2(used, true);
        uint8_t* srcs[3] = {src0.data(), src1.data(), src2.data()};
        const int kind = pick(rng, 0, 2);
        for (uint8_t* s : srcs) fillPicture(s, w, h, line, kind, rng);
        std::vector<uint8_t> four[3], eight[3], before[3];
        for (int c = 0; c < 3; ++c) {
            four[c].resize(static_cast<size_t>(h) * line);
            harness::fillRandom(four[c], rng);
            eight[c] = four[c];
            before[c] = four[c];
        }
        polarmap_simd::KernelPlanes p4{}, p8{};
        for (int c = 0; c < 3; ++c) {
            p4.src[c] = p8.src[c] = srcs[c];
            p4.dst[c] = four[c].data();
            p8.dst[c] = eight[c].data();
        }
        p4.lineBytes = p8.lineBytes = line;
        p4.width = p8.width = w;
        p4.height = p8.height = h;
        p4.lastRead = p8.lastRead = static_cast<int32_t>(used) - 1;
        const bool wrap = pick(rng, 0, 3) != 0;
        for (int r = 0; r < 20; ++r) {
            if (i % 2 == 0) {
                double sines[72], cosines[72];
                for (int k = 0; k < 72; ++k) {
                    const double angle = std::uniform_real_distribution<double>(0.0, 6.3)(rng);
                    sines[k] = std::sin(angle);
                    cosines[k] = std::cos(angle);
                }
                polarmap_simd::ForwardRun run{};
                run.sinTable = sines;
                run.cosTable = cosines;
                const int first = pick(rng, 0, w - 1);
                run.count = pick(rng, 1, std::min(64, w - first));
                run.at = pick(rng, 0, h - 1) * line + (w - 1 - first);
                const float reach = 1.6f * static_cast<float>(std::max(w, h));
                run.radius = pickUnusual(rng, std::uniform_real_distribution<float>(0.0f, reach)(rng));
                run.cx = static_cast<float>(w) / 2.0f - 0.5f;
                run.cy = static_cast<float>(h) / 2.0f - 0.5f;
                run.wrap = wrap;
                run.foldX = foldFor(w - 1.2, w - 0.1, false);
                run.foldY = foldFor(h - 1.2, h - 0.1, false);
                const uint64_t m4 = forwardNarrow(p4, run);
                const uint64_t m8 = forwardWide(p8, run);
                ASSERT_EQ(m4, m8) << "forward " << w << "x" << h << " run " << r;
            } else {
                polarmap_simd::InverseSetup setup{};
                const float zooms[4] = {1.0f, 0.5f, 2.0f, 1.3f};
                setup.pixelStep = 2.0f / zooms[pick(rng, 0, 3)];
                setup.cx = static_cast<float>(w) / 2.0f;
                setup.cy = static_cast<float>(h) / 2.0f;
                setup.radiusOffset =
                    pick(rng, 0, 2) == 0 ? static_cast<float>(pick(rng, -50, 50)) / 3.0f : 0.0f;
                setup.radiusOffset = pickUnusual(rng, setup.radiusOffset);
                const float squares = static_cast<float>(w) * static_cast<float>(w) +
                                      static_cast<float>(h) * static_cast<float>(h);
                setup.radialScale =
                    static_cast<float>(static_cast<double>(w - 1) / std::sqrt(static_cast<double>(squares)));
                setup.angularScale = static_cast<float>(static_cast<double>(h - 2) / 6.283185307179586);
                setup.angleOffset =
                    pick(rng, 0, 2) == 0 ? static_cast<float>(pick(rng, -400, 400)) / 100.0f : 0.0f;
                setup.wrap = wrap;
                setup.foldU = foldFor(w - 1, w - 0.5, true);
                setup.foldV = foldFor(h - 1, h - 0.5, true);
                if (w < 2 || h < 2 || w / 2 < 1 || h / 2 < 1) continue;
                polarmap_simd::InverseRun run{};
                run.x = pick(rng, 1, w / 2);
                run.count = pick(rng, 1, std::min(16, w / 2 - run.x + 1));
                run.y = pick(rng, 1, h / 2);
                run.mirrorMask = 0xFu;
                polarmap_simd::InverseRun narrowRun = run;
                narrowRun.mirrorMask = static_cast<uint32_t>(pick(rng, 0, 15));
                // The run's pixels (with the mirror that reaches each) and
                // their bytes before it.
                std::vector<std::pair<size_t, int>> pixels;
                for (int k = 0; k < run.count; ++k) {
                    for (int m = 0; m < 4; ++m) {
                        const int x = (m & 1) != 0 ? w - (run.x + k) : run.x + k;
                        const int y = (m & 2) != 0 ? h - run.y : run.y;
                        pixels.emplace_back(static_cast<size_t>(y) * line + x, m);
                    }
                }
                std::vector<uint8_t> selectedAt(static_cast<size_t>(h) * line, 0);
                for (const auto& px : pixels) {
                    if ((narrowRun.mirrorMask >> px.second & 1u) != 0) selectedAt[px.first] = 1;
                }
                const uint64_t m4 = inverseNarrow(p4, setup, narrowRun);
                const uint64_t m8 = inverseWide(p8, setup, run);
                uint64_t selected = 0;
                for (int k = 0; k < 16; ++k)
                    selected |= static_cast<uint64_t>(narrowRun.mirrorMask) << (4 * k);
                ASSERT_EQ(m4, m8 & selected) << "inverse " << w << "x" << h << " run " << r;
                // Pixels of the mirrors left out keep their bytes; then both
                // sides agree again for the next run.
                for (const auto& px : pixels) {
                    for (int c = 0; c < 3; ++c) {
                        const uint8_t want =
                            selectedAt[px.first] != 0 ? eight[c][px.first] : before[c][px.first];
                        ASSERT_EQ(four[c][px.first], want) << "inverse " << w << "x" << h << " run " << r;
                        four[c][px.first] = eight[c][px.first];
                        before[c][px.first] = eight[c][px.first];
                    }
                }
            }
        }
        for (int c = 0; c < 3; ++c) ASSERT_EQ(four[c], eight[c]) << w << "x" << h << " line " << line;
    }
}

TEST(FastPaths, EveryVectorLevelMatchesTheWidestRunForRun) {
    if (polarmap_simd::levelCount() < 3) GTEST_SKIP() << "fewer than two vector levels here";
    for (int level = 1; level < polarmap_simd::levelCount() - 1; ++level) {
        SCOPED_TRACE(polarmap_simd::levelName(level));
        expectKernelsMatchWidest(level);
    }
}

// Runs each test at one dispatch level; the test name ends in the level.
class FastPathsAtLevel : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { polarmap_simd::useLevel(GetParam()); }
    void TearDown() override { polarmap_simd::useLevel(-1); }
};

INSTANTIATE_TEST_SUITE_P(Levels, FastPathsAtLevel, ::testing::Range(0, polarmap_simd::levelCount()),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(polarmap_simd::levelName(info.param));
                         });

TEST_P(FastPathsAtLevel, RandomPicturesSizesAndRecordsMatchTheStraightforwardPasses) {
    std::mt19937 rng(20240611u);
    // Cases in which the module changed destination bytes: the comparisons
    // must not be of planes that neither side touched.
    int written[2] = {0, 0};
    for (int i = 0; i < 120; ++i) {
        int16_t w, h;
        pickSize(rng, &w, &h);
        const int16_t lineBytes = static_cast<int16_t>(w + (pick(rng, 0, 2) == 0 ? 0 : pick(rng, 1, 20)));
        MapPlanes planes(w, h, lineBytes);
        planes.randomize(rng);
        pickRecord(rng, &planes.param);
        for (Pass pass : {Pass::kForward, Pass::kInverse}) {
            size_t changed = 0;
            EXPECT_EQ(compare(pass, planes, &changed), "") << describe(pass, planes.param);
            written[pass == Pass::kInverse] += changed > 0;
        }
    }
    // Every record here places most pixels (the far-out ones still land
    // somewhere after folding), so nearly every case writes.
    EXPECT_GE(written[0], 110) << "forward cases that wrote anything";
    EXPECT_GE(written[1], 110) << "inverse cases that wrote anything";
}

// Flat and tiled pictures, where every blend of equal samples lands on or
// just next to a whole number.
TEST_P(FastPathsAtLevel, FlatAndTiledPicturesMatch) {
    std::mt19937 rng(8086u);
    for (int i = 0; i < 80; ++i) {
        int16_t w, h;
        pickSize(rng, &w, &h);
        const int16_t lineBytes = static_cast<int16_t>(w + (pick(rng, 0, 2) == 0 ? 0 : pick(rng, 1, 20)));
        MapPlanes planes(w, h, lineBytes);
        planes.randomize(rng);
        const int kind = pick(rng, 1, 2);
        for (int c = 0; c < 3; ++c) fillPicture(planes.src(c), w, h, lineBytes, kind, rng);
        if (pick(rng, 0, 2) == 0) pickRecord(rng, &planes.param);
        for (Pass pass : {Pass::kForward, Pass::kInverse}) {
            EXPECT_EQ(compare(pass, planes), "") << describe(pass, planes.param) << " picture " << kind;
        }
    }
}

// Every size up to 40 x 40 with the driver's values: odd and even centres,
// self-mirrored middle rows and columns, and kernel runs with ragged ends.
TEST_P(FastPathsAtLevel, EverySmallSizeMatches) {
    std::mt19937 rng(7u);
    for (int16_t w = 2; w <= 40; ++w) {
        for (int16_t h = 2; h <= 40; h = static_cast<int16_t>(h + (w % 3) + 1)) {
            MapPlanes planes(w, h, w);
            planes.randomize(rng);
            for (Pass pass : {Pass::kForward, Pass::kInverse}) {
                ASSERT_EQ(compare(pass, planes), "") << describe(pass, planes.param);
            }
        }
    }
}

// Records whose outcome the effect leaves open: coordinates far out, NaN
// and infinite ones, sizes at which the wrap period is zero or negative, and
// a sample row exactly on the lower edge. The module must match the
// reference's choices here too.
TEST_P(FastPathsAtLevel, RecordsFarFromTheDriversValuesMatch) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        int16_t w, h, line;
        float zoom, radiusOffset, angleOffset;
        uint8_t wrap;
    };
    const Case cases[] = {
        {64, 48, 64, 1e-30f, 0.0f, 0.0f, 1},  // reciprocal overflows
        {64, 48, 64, 1e-3f, 0.0f, 0.0f, 1},   // far out: runs of rounds
        {64, 48, 64, 1.0f, 2e5f, 0.0f, 1},
        {64, 48, 64, 1.0f, 3e10f, 0.0f, 1},  // rounds that no longer change x
        {64, 48, 64, 1.0f, -3e5f, 0.0f, 1},  // negative, integer part past 16 bits
        {64, 48, 64, 1.0f, 0.0f, 1e6f, 1},
        {64, 48, 64, nan, 0.0f, 0.0f, 1},
        {64, 48, 64, 1.0f, nan, 0.0f, 1},
        {64, 48, 64, 1.0f, 0.0f, nan, 0},
        {64, 48, 64, 1.0f, inf, 0.0f, 1},
        {64, 48, 64, 1.0f, 0.0f, -inf, 1},
        {64, 48, 64, inf, 0.0f, 0.0f, 1},     // step 0: every offset is 0
        {64, 48, 64, 1e38f, 0.0f, 0.0f, 1},   // tiny step: quotients near 0
        {64, 48, 64, 0.7f, 0.0f, 0.0f, 0},    // samples on the lower edge
        {101, 99, 101, 1.0f, 0.0f, 0.0f, 1},  // centre pixels skipped
        {99, 101, 99, 1.0f, 0.0f, 0.0f, 1},
        {320, 240, 320, 1.0f, 0.0f, 0.0f, 1},
        {1, 30, 16, 1.0f, 0.0f, 0.0f, 1},  // wrap period below 0
        {30, 1, 32, 1.0f, 0.0f, 0.0f, 1},
        {1, 1, 1, 1.0f, 0.0f, 0.0f, 0},  // fewer than four source bytes
        {2, 1, 2, 1.0f, 0.0f, 0.0f, 0},
        {3, 1, 3, 1.0f, 0.0f, 0.0f, 1},
        {2, 2, 2, 1.0f, 0.0f, 0.0f, 1},
        {0, 10, 16, 1.0f, 0.0f, 0.0f, 1},
        {10, 0, 16, 1.0f, 0.0f, 0.0f, 1},
    };
    std::mt19937 rng(99u);
    for (const Case& c : cases) {
        MapPlanes planes(c.w, c.h, c.line);
        planes.randomize(rng);
        planes.param.zoom = c.zoom;
        planes.param.radiusOffset = c.radiusOffset;
        planes.param.angleOffset = c.angleOffset;
        planes.param.wrap = c.wrap;
        for (Pass pass : {Pass::kForward, Pass::kInverse}) {
            EXPECT_EQ(compare(pass, planes), "") << describe(pass, planes.param);
        }
    }
}

// The vector kernels read the source a 32-bit word at a time; with planes
// that end exactly at the last byte the passes may read (the last pixel of
// the last row) and an inaccessible page right behind it, any read past it
// faults. Rows as long as the width put samples on that last byte.
TEST_P(FastPathsAtLevel, NoReadPastTheLastSourcePixel) {
    struct Case {
        int16_t w, h, line;
    };
    const Case cases[] = {{2, 2, 2}, {3, 2, 3}, {5, 7, 5}, {64, 48, 64}, {97, 131, 100}, {768, 100, 768}};
    std::mt19937 rng(5u);
    for (const Case& c : cases) {
        const size_t used = static_cast<size_t>(c.h - 1) * c.line + c.w;
        for (Pass pass : {Pass::kForward, Pass::kInverse}) {
            for (bool alignEnd : {true, false}) {
                harness::GuardedBuffer src0(used, alignEnd), src1(used, alignEnd), src2(used, alignEnd);
                harness::fillRandom(src0.data(), used, rng);
                harness::fillRandom(src1.data(), used, rng);
                harness::fillRandom(src2.data(), used, rng);
                const size_t full = static_cast<size_t>(c.h) * c.line;
                std::vector<uint8_t> mod[3], rf[3];
                PolarMapParam p{};
                p.zoom = 1.0f;
                p.lineBytes = c.line;
                p.width = c.w;
                p.height = c.h;
                p.wrap = 0;  // without the fold, samples reach row and column 0 too
                p.srcPlane[0] = src0.data();
                p.srcPlane[1] = src1.data();
                p.srcPlane[2] = src2.data();
                for (uint8_t wrap : {uint8_t{0}, uint8_t{1}}) {
                    p.wrap = wrap;
                    PolarMapParam q = p;
                    for (int k = 0; k < 3; ++k) {
                        mod[k].assign(full, 0x5A);
                        rf[k] = mod[k];
                        p.dstPlane[k] = mod[k].data();
                        q.dstPlane[k] = rf[k].data();
                    }
                    if (pass == Pass::kForward) {
                        iPolar2Cartesian0(&p);
                        ref::polar2Cartesian(&q);
                    } else {
                        iCartesian2Polar0(&p);
                        ref::cartesian2Polar(&q);
                    }
                    for (int k = 0; k < 3; ++k) EXPECT_EQ(mod[k], rf[k]) << describe(pass, p);
                }
            }
        }
    }
}

// Turns: every mode and the transposing copy, on sizes around the copy's
// tile and block sizes (16 and 32) and odd strides, and on the effect's
// sizes with their power-of-two and multiple-of-16 strides, with guard bytes
// around each destination.
void checkTurns(const int16_t* sizes, size_t count, bool plainStrides, std::mt19937& rng);

TEST(FastPaths, TiledTurnsMatch) {
    std::mt19937 rng(11u);
    const int16_t sizes[] = {1, 2, 3, 15, 16, 17, 31, 32, 33, 47, 64, 65, 100, 257};
    checkTurns(sizes, sizeof sizes / sizeof sizes[0], false, rng);
}

TEST(FastPaths, TurnsAtTheEffectsSizesMatch) {
    std::mt19937 rng(12u);
    const int16_t sizes[] = {480, 640, 768, 1024, 1080};
    checkTurns(sizes, sizeof sizes / sizeof sizes[0], true, rng);
}

void checkTurns(const int16_t* sizes, size_t count, bool plainStrides, std::mt19937& rng) {
    for (size_t wi = 0; wi < count; ++wi) {
        const int16_t w = sizes[wi];
        for (size_t hi = 0; hi < count; ++hi) {
            const int16_t h = sizes[hi];
            for (int op = 0; op < 4; ++op) {  // iTurn0 modes 0, 1, 2; iTurn1
                const int16_t srcLine = plainStrides ? lcw16(w) : static_cast<int16_t>(w + (w % 7));
                const int16_t dstLine = static_cast<int16_t>(op == 1        ? srcLine
                                                             : plainStrides ? lcw16(h)
                                                                            : h + (h % 5));
                const int dstRows = op == 1 ? h : w;
                const size_t srcBytes = static_cast<size_t>(srcLine) * h;
                const size_t dstBytes = static_cast<size_t>(dstLine) * dstRows;
                const size_t guard = 32;
                std::vector<uint8_t> src[3], mod[3], rf[3];
                TurnParam p{}, q{};
                p.srcWidth = w;
                p.srcLineBytes = srcLine;
                p.srcHeight = h;
                p.turnMode = static_cast<int16_t>(op == 3 ? 0 : op);
                p.dstWidth = static_cast<int16_t>(op == 1 ? w : h);
                p.dstLineBytes = dstLine;
                p.dstHeight = static_cast<int16_t>(dstRows);
                q = p;
                for (int c = 0; c < 3; ++c) {
                    src[c].resize(srcBytes);
                    harness::fillRandom(src[c], rng);
                    mod[c].resize(dstBytes + 2 * guard);
                    harness::fillRandom(mod[c], rng);
                    rf[c] = mod[c];
                    p.srcPlane[c] = q.srcPlane[c] = src[c].data();
                    p.dstPlane[c] = mod[c].data() + guard;
                    q.dstPlane[c] = rf[c].data() + guard;
                }
                if (op == 3) {
                    iTurn1(&p);
                    ref::turn1(&q);
                } else {
                    iTurn0(&p);
                    ref::turn0(&q);
                }
                for (int c = 0; c < 3; ++c) {
                    ASSERT_EQ(mod[c], rf[c]) << "op " << op << " " << w << "x" << h << " channel " << c;
                }
            }
        }
    }
}

// The whole effect at sizes a host uses and at odd ones, borders on and off.
TEST_P(FastPathsAtLevel, WholeEffectMatches) {
    struct Case {
        int16_t w, h, tileW, tileH, mode, border;
    };
    const Case cases[] = {
        {1024, 768, 32, 32, 2, 5}, {640, 480, 20, 20, 1, 0}, {333, 251, 17, 9, 2, 3},
        {100, 100, 10, 10, 3, 2},  {99, 101, 7, 11, 4, 4},   {2, 2, 1, 1, 2, 1},
        {17, 3, 4, 1, 2, 2},       {3, 1000, 1, 40, 2, 3},   {1000, 3, 40, 1, 4, 2},
    };
    std::mt19937 rng(3u);
    for (const Case& c : cases) {
        harness::MosaicCase mc;
        mc.width = c.w;
        mc.height = c.h;
        mc.tileWidth = c.tileW;
        mc.tileHeight = c.tileH;
        auto count = [](int dim, int tile) {
            return static_cast<int16_t>(dim % tile == 0 ? dim / tile : dim / tile + 2);
        };
        mc.tileCols = count(c.w, c.tileW);
        mc.tileRows = count(c.h, c.tileH);
        mc.splitRemainder = 1;
        mc.borderMode = c.mode;
        mc.borderWidth = c.border;
        mc.shade[0] = 1.5f;
        mc.shade[1] = 0.4f;
        mc.shade[2] = 1.2f;
        mc.shade[3] = 0.8f;
        harness::MosaicRun run(mc);
        run.randomize(rng);
        const harness::MosaicComparison result = harness::runAndCompare(run);
        EXPECT_EQ(result.diff, "") << harness::describe(mc);
        EXPECT_TRUE(result.recordUnchanged) << harness::describe(mc);
    }
}

}  // namespace
