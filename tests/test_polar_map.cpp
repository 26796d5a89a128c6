// Forward and inverse polar resampling: worked examples, skipped pixels,
// bounds, robustness and far-out coordinates against the reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include <polarmosaic/polarmosaic.h>
#include "support/harness.h"
#include "support/reference.h"

namespace {

using harness::GuardedBuffer;
using harness::MapPlanes;

enum class Pass { kForward, kInverse };

void runModule(Pass pass, const PolarMapParam* p) {
    if (pass == Pass::kForward)
        iPolar2Cartesian0(p);
    else
        iCartesian2Polar0(p);
}

ref::PassReport runRef(Pass pass, const PolarMapParam* p, const ref::Options& opt = ref::Options()) {
    return pass == Pass::kForward ? ref::polar2Cartesian(p, opt) : ref::cartesian2Polar(p, opt);
}

// Runs module and reference on copies of `planes`; returns the first
// difference ("" if none) and checks the guards and the sources.
std::string compareWithRef(Pass pass, const MapPlanes& planes, ref::PassReport* rep = nullptr,
                           const ref::Options& opt = ref::Options()) {
    MapPlanes mod(planes), rf(planes);
    runModule(pass, &mod.param);
    const ref::PassReport r = runRef(pass, &rf.param, opt);
    if (rep) *rep = r;
    if (r.outcome == ref::Outcome::kGaveUp) return "reference gave up";
    if (!mod.guardsEqual(planes)) return "module wrote outside the planes";
    for (int c = 0; c < 3; ++c) {
        if (mod.store[c] != planes.store[c]) return "module wrote into the source";
    }
    return mod.dstDiff(rf);
}

// The forward pass's worked example: 20 x 16, lineBytes 24, source 10 x column + row.
MapPlanes workedExample() {
    MapPlanes mp(20, 16, 24);
    for (int c = 0; c < 3; ++c) {
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 24; ++x) mp.src(c)[y * 24 + x] = static_cast<uint8_t>(10 * x + y);
        }
    }
    std::mt19937 rng(1);
    for (int c = 0; c < 3; ++c) harness::fillRandom(mp.dst(c), mp.planeSize, rng);
    return mp;
}

TEST(Forward, WorkedExample) {
    for (uint8_t wrap : {uint8_t(0), uint8_t(1)}) {
        SCOPED_TRACE(testing::Message() << "wrap " << int(wrap));
        MapPlanes mp = workedExample();
        mp.param.wrap = wrap;
        const MapPlanes before(mp);
        iPolar2Cartesian0(&mp.param);
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(mp.dst(c)[5 * 24 + 14], 181);
            EXPECT_EQ(mp.dst(c)[12 * 24 + 19], 104);
            // i = 15, j = 12: skipped with and without wrap.
            EXPECT_EQ(mp.dst(c)[0 * 24 + 7], before.store[3 + c][before.guard + 7]);
            // Bytes past the width in every row are never written.
            for (int y = 0; y < 16; ++y) {
                for (int x = 20; x < 24; ++x) {
                    ASSERT_EQ(mp.dst(c)[y * 24 + x], before.store[3 + c][before.guard + y * 24 + x]);
                }
            }
        }
        EXPECT_EQ(compareWithRef(Pass::kForward, before), "");
    }
}

// The same worked example through the row-range stage, in two ranges run
// in reverse order: the same two worked values, and every byte as the whole
// call writes it.
TEST(Forward, RowRangesReproduceTheWorkedExample) {
    MapPlanes whole = workedExample();
    MapPlanes ranges(whole);
    iPolar2Cartesian0(&whole.param);
    ASSERT_EQ(iPolar2CartesianRows0(&ranges.param, 9, 16), POLARMOSAIC_OK);
    ASSERT_EQ(iPolar2CartesianRows0(&ranges.param, 0, 9), POLARMOSAIC_OK);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(ranges.dst(c)[5 * 24 + 14], 181);
        EXPECT_EQ(ranges.dst(c)[12 * 24 + 19], 104);
    }
    EXPECT_EQ(ranges.dstDiff(whole), "");
    EXPECT_TRUE(ranges.guardsEqual(whole));
}

TEST(Forward, ZoomZeroIsZoomOne) {
    for (Pass pass : {Pass::kForward, Pass::kInverse}) {
        MapPlanes mp(37, 29, 48);
        std::mt19937 rng(2);
        mp.randomize(rng);
        MapPlanes a(mp), b(mp);
        a.param.zoom = 0.0f;
        b.param.zoom = 1.0f;
        runModule(pass, &a.param);
        runModule(pass, &b.param);
        EXPECT_EQ(a.dstDiff(b), "");
    }
}

TEST(Forward, NegativeRadiusIsMirrored) {
    // radiusOffset -(height - 1) makes row i sample the radius of row
    // height - 1 - i, so the image comes out flipped top to bottom.
    MapPlanes mp(33, 21, 48);
    std::mt19937 rng(3);
    mp.randomize(rng);
    for (int c = 0; c < 3; ++c) std::memset(mp.dst(c), 0x33, mp.planeSize);  // skipped pixels agree
    MapPlanes a(mp), b(mp);
    b.param.radiusOffset = -20.0f;
    iPolar2Cartesian0(&a.param);
    iPolar2Cartesian0(&b.param);
    for (int c = 0; c < 3; ++c) {
        for (int y = 0; y < 21; ++y) {
            ASSERT_EQ(std::memcmp(a.dst(c) + y * 48, b.dst(c) + (20 - y) * 48, 33), 0) << "row " << y;
        }
    }
}

TEST(Forward, LastRowIsTheCentreRing) {
    for (int16_t w : {int16_t(3), int16_t(20), int16_t(64)}) {
        MapPlanes mp(w, 17, static_cast<int16_t>(w + 3));
        std::mt19937 rng(4);
        mp.randomize(rng);
        iPolar2Cartesian0(&mp.param);
        for (int c = 0; c < 3; ++c) {
            for (int x = 1; x < w; ++x) ASSERT_EQ(mp.dst(c)[16 * (w + 3) + x], mp.dst(c)[16 * (w + 3)]);
        }
    }
}

TEST(Forward, RowIndexEqualToHeightSamplesTheLastRow) {
    // zoom 0.8 gives a radius step of exactly 1; at height 15 the ray at
    // angle 0 of row i = 8 hits y = 8 + 7 = 15 = height. The planes end
    // right at lineBytes * height, next to an inaccessible page.
    const int16_t w = 21, h = 15, lb = 32;
    const size_t bytes = static_cast<size_t>(lb) * h;
    std::vector<std::unique_ptr<GuardedBuffer>> bufs;
    PolarMapParam p{};
    p.zoom = 0.8f;
    p.lineBytes = lb;
    p.width = w;
    p.height = h;
    p.wrap = 0;
    std::mt19937 rng(5);
    MapPlanes rf(w, h, lb);
    for (int c = 0; c < 3; ++c) {
        bufs.emplace_back(new GuardedBuffer(bytes, true));
        p.srcPlane[c] = bufs.back()->data();
        harness::fillRandom(p.srcPlane[c], bytes, rng);
        std::memcpy(rf.src(c), p.srcPlane[c], bytes);
        bufs.emplace_back(new GuardedBuffer(bytes, true));
        p.dstPlane[c] = bufs.back()->data();
        std::memset(p.dstPlane[c], 0x11, bytes);
        std::memset(rf.dst(c), 0x11, bytes);
    }
    rf.param.zoom = p.zoom;
    rf.param.wrap = 0;
    iPolar2Cartesian0(&p);
    const ref::PassReport rep = ref::polar2Cartesian(&rf.param);
    EXPECT_GT(rep.lastRowClamps, 0);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(std::memcmp(p.dstPlane[c], rf.dst(c), bytes), 0) << "channel " << c;
    }
}

TEST(Inverse, CentrePixelOfEightBySix) {
    // Columns of distinct values, equal down each column.
    for (uint8_t wrap : {uint8_t(1), uint8_t(0)}) {
        MapPlanes mp(8, 6, 8);
        for (int c = 0; c < 3; ++c) {
            for (int y = 0; y < 6; ++y) {
                for (int x = 0; x < 8; ++x) mp.src(c)[y * 8 + x] = static_cast<uint8_t>(20 * x + 10);
            }
        }
        mp.param.wrap = wrap;
        const MapPlanes before(mp);
        iCartesian2Polar0(&mp.param);
        const int got = mp.dst(0)[3 * 8 + 4];
        // Read from column 7 (wrap: u = 0 wraps to 7) or column 0; a blend
        // of two equal samples may truncate to one below.
        const int want = wrap ? 150 : 10;
        EXPECT_TRUE(got == want || got == want - 1) << "wrap " << int(wrap) << ": " << got;
        EXPECT_EQ(compareWithRef(Pass::kInverse, before), "");
    }
}

// Pixels a pass leaves untouched: run it twice with different destination
// prefills and see where the results differ.
std::vector<uint8_t> skippedByModule(Pass pass, const MapPlanes& mp) {
    MapPlanes a(mp), b(mp);
    for (int c = 0; c < 3; ++c) {
        std::memset(a.dst(c), 0x00, a.planeSize);
        std::memset(b.dst(c), 0xFF, b.planeSize);
    }
    runModule(pass, &a.param);
    runModule(pass, &b.param);
    const int w = mp.param.width, h = mp.param.height, lb = mp.param.lineBytes;
    std::vector<uint8_t> mask(static_cast<size_t>(w) * h, 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (a.dst(0)[y * lb + x] != b.dst(0)[y * lb + x]) mask[static_cast<size_t>(y) * w + x] = 1;
        }
    }
    return mask;
}

TEST(Inverse, FourCentrePixelsSkippedAt101By99) {
    MapPlanes mp(101, 99, 112);
    std::mt19937 rng(6);
    mp.randomize(rng);
    const std::vector<uint8_t> mask = skippedByModule(Pass::kInverse, mp);
    std::vector<uint8_t> expected(mask.size(), 0);
    for (int y : {49, 50}) {
        for (int x : {50, 51}) expected[static_cast<size_t>(y) * 101 + x] = 1;
    }
    EXPECT_EQ(mask, expected);
    std::vector<uint8_t> refMask;
    ref::Options opt;
    opt.skipMask = &refMask;
    MapPlanes rf(mp);
    ref::cartesian2Polar(&rf.param, opt);
    EXPECT_EQ(refMask, expected);
    EXPECT_EQ(compareWithRef(Pass::kInverse, mp), "");
}

TEST(Inverse, WithWrapColumnZeroAndRowZeroAreNeverRead) {
    for (auto size : {std::pair<int16_t, int16_t>{101, 99}, {64, 48}, {37, 80}, {8, 6}}) {
        const int16_t w = size.first, h = size.second, lb = static_cast<int16_t>(w + 5);
        MapPlanes mp(w, h, lb);
        std::mt19937 rng(7);
        mp.randomize(rng);
        MapPlanes poisoned(mp);
        for (int c = 0; c < 3; ++c) {
            for (int y = 0; y < h; ++y)
                poisoned.src(c)[y * lb] = static_cast<uint8_t>(~poisoned.src(c)[y * lb]);
            for (int x = 0; x < w; ++x) poisoned.src(c)[x] = static_cast<uint8_t>(x * 37 + 1);
        }
        iCartesian2Polar0(&mp.param);
        iCartesian2Polar0(&poisoned.param);
        EXPECT_EQ(mp.dstDiff(poisoned), "") << w << "x" << h;
    }
}

TEST(Inverse, RadialPositionsPastTheLastColumnSkippedWithoutWrap) {
    MapPlanes mp(40, 30, 48);
    std::mt19937 rng(8);
    mp.randomize(rng);
    mp.param.wrap = 0;
    mp.param.radiusOffset = 10.0f;
    const std::vector<uint8_t> mask = skippedByModule(Pass::kInverse, mp);
    size_t skipped = 0;
    for (uint8_t m : mask) skipped += m;
    EXPECT_GT(skipped, 0u);
    EXPECT_EQ(compareWithRef(Pass::kInverse, mp), "");
}

// v == height after the angular wrap: v just below 1 plus the period
// rounds up to height. Planes end exactly at lineBytes * height, next to an
// inaccessible page, so a read of row `height` would fault.
TEST(Inverse, RowIndexEqualToHeightAfterWrapStaysInsideThePlane) {
    int64_t clamps = 0;
    for (int16_t w = 156; w <= 300; w = static_cast<int16_t>(w + 2)) {
        const int16_t h = 56;
        const size_t bytes = static_cast<size_t>(w) * h;
        std::vector<std::unique_ptr<GuardedBuffer>> bufs;
        PolarMapParam p{};
        p.zoom = 1.0f;
        p.lineBytes = w;
        p.width = w;
        p.height = h;
        p.wrap = 1;
        MapPlanes rf(w, h, w);
        std::mt19937 rng(static_cast<uint32_t>(w));
        for (int c = 0; c < 3; ++c) {
            bufs.emplace_back(new GuardedBuffer(bytes, true));
            p.srcPlane[c] = bufs.back()->data();
            harness::fillRandom(p.srcPlane[c], bytes, rng);
            std::memcpy(rf.src(c), p.srcPlane[c], bytes);
            bufs.emplace_back(new GuardedBuffer(bytes, true));
            p.dstPlane[c] = bufs.back()->data();
            std::memset(p.dstPlane[c], 0x22, bytes);
            std::memset(rf.dst(c), 0x22, bytes);
        }
        iCartesian2Polar0(&p);
        const ref::PassReport rep = ref::cartesian2Polar(&rf.param);
        clamps += rep.lastRowClamps;
        for (int c = 0; c < 3; ++c) {
            ASSERT_EQ(std::memcmp(p.dstPlane[c], rf.dst(c), bytes), 0) << "width " << w << " channel " << c;
        }
    }
    EXPECT_GT(clamps, 0) << "no case reached row index == height";
}

// Sizes, zooms and offsets that make coordinates NaN, infinite or useless:
// the pass must return and write nothing outside its planes. Every plane
// sits next to an inaccessible page on one side and between guard bytes.
TEST(PolarMapRobustness, DegenerateRecordsStayInsideThePlanes) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float values[] = {nan, inf, -inf, 1e30f, -1e30f, 1e-30f, -1e-30f, 3e38f, 1e-45f};
    struct Size {
        int16_t w, h, lb;
    };
    const Size sizes[] = {{0, 0, 0},  {0, 5, 16}, {5, 0, 16}, {1, 1, 16},  {1, 5, 16}, {5, 1, 16},
                          {2, 2, 16}, {2, 5, 2},  {5, 2, 5},  {-3, 4, 16}, {4, -3, 16}};
    std::mt19937 rng(9);
    for (Pass pass : {Pass::kForward, Pass::kInverse}) {
        for (const Size& s : sizes) {
            for (uint8_t wrap : {uint8_t(0), uint8_t(1)}) {
                for (int field = -1; field < 3; ++field) {
                    for (float v : values) {
                        if (field == -1 && v != values[0]) continue;  // plain record once
                        MapPlanes mp(s.w, s.h, s.lb, 32);
                        mp.randomize(rng);
                        mp.param.wrap = wrap;
                        if (field == 0) mp.param.zoom = v;
                        if (field == 1) mp.param.radiusOffset = v;
                        if (field == 2) mp.param.angleOffset = v;
                        const MapPlanes before(mp);
                        runModule(pass, &mp.param);
                        ASSERT_TRUE(mp.guardsEqual(before))
                            << (pass == Pass::kForward ? "forward " : "inverse ") << s.w << "x" << s.h
                            << " wrap " << int(wrap) << " field " << field << " value " << v;
                        for (int c = 0; c < 3; ++c) ASSERT_TRUE(mp.store[c] == before.store[c]);
                    }
                }
            }
        }
    }
}

// The same values on a real size, every plane flush against an inaccessible
// page (after its last byte, then before its first), where a stray access
// faults. Besides not faulting: the source stays as it was, and both
// placements give the same destination bytes, so nothing outside the planes
// was read into the result.
TEST(PolarMapRobustness, DegenerateValuesOnRealSizesNextToGuardPages) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float values[] = {nan, inf, -inf, 1e30f, -1e30f, 1e-30f, 1e-39f, 1e9f, -1e9f};
    const int16_t w = 23, h = 17, lb = 23;
    const size_t bytes = static_cast<size_t>(lb) * h;
    std::vector<std::vector<uint8_t>> firstPlacement;  // destination bytes, case by case
    for (bool alignEnd : {true, false}) {
        size_t index = 0;
        for (Pass pass : {Pass::kForward, Pass::kInverse}) {
            for (uint8_t wrap : {uint8_t(0), uint8_t(1)}) {
                for (int field = 0; field < 3; ++field) {
                    for (float v : values) {
                        SCOPED_TRACE(testing::Message()
                                     << (pass == Pass::kForward ? "forward" : "inverse") << " wrap "
                                     << int(wrap) << " field " << field << " value " << v << " guard "
                                     << (alignEnd ? "after" : "before"));
                        std::vector<std::unique_ptr<GuardedBuffer>> bufs;
                        PolarMapParam p{};
                        p.zoom = 1.0f;
                        p.lineBytes = lb;
                        p.width = w;
                        p.height = h;
                        p.wrap = wrap;
                        if (field == 0) p.zoom = v;
                        if (field == 1) p.radiusOffset = v;
                        if (field == 2) p.angleOffset = v;
                        for (int c = 0; c < 3; ++c) {
                            bufs.emplace_back(new GuardedBuffer(bytes, alignEnd));
                            p.srcPlane[c] = bufs.back()->data();
                            for (size_t i = 0; i < bytes; ++i) {
                                p.srcPlane[c][i] = static_cast<uint8_t>(i * 7 + 40 * c);
                            }
                            bufs.emplace_back(new GuardedBuffer(bytes, alignEnd));
                            p.dstPlane[c] = bufs.back()->data();
                            std::memset(p.dstPlane[c], 0x5A, bytes);
                        }
                        runModule(pass, &p);  // a stray access faults
                        std::vector<uint8_t> result;
                        for (int c = 0; c < 3; ++c) {
                            for (size_t i = 0; i < bytes; ++i) {
                                ASSERT_EQ(p.srcPlane[c][i], static_cast<uint8_t>(i * 7 + 40 * c))
                                    << "source written, channel " << c << " byte " << i;
                            }
                            result.insert(result.end(), p.dstPlane[c], p.dstPlane[c] + bytes);
                        }
                        if (alignEnd) {
                            firstPlacement.push_back(result);
                        } else {
                            ASSERT_LT(index, firstPlacement.size());
                            EXPECT_EQ(result, firstPlacement[index]) << "the placement changed the result";
                        }
                        ++index;
                    }
                }
            }
        }
    }
}

// The same degenerate values, where the reference can say what happens:
// pixels whose wrap loop cannot end, or whose coordinate is NaN, keep their
// bytes; the rest is sampled as usual.
TEST(PolarMapRobustness, DegenerateValuesMatchTheReference) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float values[] = {nan, inf, -inf, 1e-30f, 1e-39f, 3e38f, -3e38f, 1e12f, -1e12f};
    std::mt19937 rng(10);
    for (Pass pass : {Pass::kForward, Pass::kInverse}) {
        for (uint8_t wrap : {uint8_t(0), uint8_t(1)}) {
            for (int field = 0; field < 3; ++field) {
                for (float v : values) {
                    MapPlanes mp(19, 13, 32);
                    mp.randomize(rng);
                    mp.param.wrap = wrap;
                    if (field == 0) mp.param.zoom = v;
                    if (field == 1) mp.param.radiusOffset = v;
                    if (field == 2) mp.param.angleOffset = v;
                    ref::Options opt;
                    opt.maxRounds = 20000000;
                    ref::PassReport rep;
                    const std::string d = compareWithRef(pass, mp, &rep, opt);
                    // Every case is within reach of the plain loops (far-out
                    // folds are PolarMapFarOut's), so every case is compared.
                    ASSERT_NE(rep.outcome, ref::Outcome::kGaveUp)
                        << "reference gave up: field " << field << " value " << v;
                    EXPECT_EQ(d, "") << (pass == Pass::kForward ? "forward" : "inverse") << " wrap "
                                     << int(wrap) << " field " << field << " value " << v;
                }
            }
        }
    }
}

// Far-out coordinates: the module may bring them into range by whole runs
// of periods, but must land exactly where the one-period loops land.
struct FarCase {
    int16_t w, h;
    float zoom, radiusOffset, angleOffset;
    uint8_t wrap;
};

TEST(PolarMapFarOut, ForwardMatchesThePlainLoops) {
    const FarCase cases[] = {
        {40, 30, 1.0f, 1e4f, 0.0f, 1},   {40, 30, 1.0f, -1e4f, 0.0f, 1},  {40, 30, 1.0f, 3e4f, 7.5f, 1},
        {40, 30, 0.01f, 0.0f, 0.0f, 1},  {40, 30, 0.003f, 5.0f, 0.0f, 1}, {40, 30, 0.001f, 0.0f, 0.0f, 1},
        {40, 30, -0.01f, 0.0f, 0.0f, 1}, {16, 200, 0.02f, 0.0f, 0.0f, 1}, {200, 16, 0.02f, 0.0f, 0.0f, 1},
        {3, 3, 0.0005f, 0.0f, 0.0f, 1},  {40, 30, 1.0f, 1e5f, 0.0f, 1},   {40, 30, 1.0f, -81920.0f, 0.0f, 1},
        {40, 30, 1.0f, 1e4f, 1e6f, 1},   {40, 30, 1.0f, 1e4f, 0.0f, 0},   {25, 25, 0.0001f, 0.0f, 0.0f, 1},
    };
    for (const auto& fc : cases) {
        MapPlanes mp(fc.w, fc.h, static_cast<int16_t>(fc.w + 7));
        std::mt19937 rng(12);
        mp.randomize(rng);
        mp.param.zoom = fc.zoom;
        mp.param.radiusOffset = fc.radiusOffset;
        mp.param.angleOffset = fc.angleOffset;
        mp.param.wrap = fc.wrap;
        ref::Options opt;
        opt.maxRounds = 30000000;
        ref::PassReport rep;
        const std::string d = compareWithRef(Pass::kForward, mp, &rep, opt);
        EXPECT_NE(rep.outcome, ref::Outcome::kGaveUp);
        EXPECT_EQ(d, "") << fc.w << "x" << fc.h << " zoom " << fc.zoom << " radiusOffset " << fc.radiusOffset
                         << " angleOffset " << fc.angleOffset << " (rounds " << rep.rounds << ")";
    }
}

TEST(PolarMapFarOut, InverseMatchesThePlainLoops) {
    const FarCase cases[] = {
        {40, 30, 1.0f, 1e4f, 0.0f, 1},   {40, 30, 1.0f, -1e4f, 0.0f, 1},   {40, 30, 1.0f, 1e5f, 0.0f, 1},
        {40, 30, 1.0f, -7e4f, 0.0f, 1},  {40, 30, 0.01f, 0.0f, 0.0f, 1},   {40, 30, 0.001f, 3.0f, 0.0f, 1},
        {40, 30, 1.0f, 0.0f, 1e5f, 1},   {40, 30, 1.0f, 0.0f, -1e5f, 1},   {40, 30, 1.0f, 0.0f, 3e6f, 0},
        {40, 30, 1.0f, 0.0f, -4e6f, 0},  {16, 200, 0.005f, 0.0f, 0.0f, 1}, {200, 16, 1.0f, 0.0f, 2e6f, 1},
        {40, 30, -0.02f, 0.0f, 0.0f, 1}, {40, 30, 1.0f, 1e5f, 1e5f, 1},
    };
    for (const auto& fc : cases) {
        MapPlanes mp(fc.w, fc.h, static_cast<int16_t>(fc.w + 9));
        std::mt19937 rng(13);
        mp.randomize(rng);
        mp.param.zoom = fc.zoom;
        mp.param.radiusOffset = fc.radiusOffset;
        mp.param.angleOffset = fc.angleOffset;
        mp.param.wrap = fc.wrap;
        ref::Options opt;
        opt.maxRounds = 30000000;
        ref::PassReport rep;
        const std::string d = compareWithRef(Pass::kInverse, mp, &rep, opt);
        EXPECT_NE(rep.outcome, ref::Outcome::kGaveUp);
        EXPECT_EQ(d, "") << fc.w << "x" << fc.h << " zoom " << fc.zoom << " radiusOffset " << fc.radiusOffset
                         << " angleOffset " << fc.angleOffset << " (rounds " << rep.rounds << ")";
    }
}

TEST(PolarMapRandom, BothPassesMatchTheReference) {
    std::mt19937 rng(14);
    std::uniform_real_distribution<float> zoomDist(0.25f, 4.0f), offDist(-60.0f, 60.0f);
    for (int iter = 0; iter < 600; ++iter) {
        const Pass pass = iter % 2 ? Pass::kForward : Pass::kInverse;
        const int16_t w = static_cast<int16_t>(2 + rng() % 90);
        const int16_t h = static_cast<int16_t>(2 + rng() % 90);
        MapPlanes mp(w, h, static_cast<int16_t>(w + rng() % 20));
        mp.randomize(rng);
        const unsigned kind = rng() % 4;
        mp.param.zoom = kind == 0 ? 1.0f : zoomDist(rng);
        mp.param.radiusOffset = kind <= 1 ? 0.0f : offDist(rng);
        mp.param.angleOffset = kind <= 1 ? 0.0f : offDist(rng) * 6.0f;
        mp.param.wrap = static_cast<uint8_t>(rng() % 3);  // 2 counts as set
        const std::string d = compareWithRef(pass, mp);
        ASSERT_EQ(d, "") << (pass == Pass::kForward ? "forward " : "inverse ") << w << "x" << h << " lb "
                         << mp.param.lineBytes << " zoom " << mp.param.zoom << " ro " << mp.param.radiusOffset
                         << " ao " << mp.param.angleOffset << " wrap " << int(mp.param.wrap);
    }
}

}  // namespace
