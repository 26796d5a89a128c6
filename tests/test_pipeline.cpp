// The whole effect: pixels the inverse pass skips, the row-index fault at
// the end of the plane, far-out coordinates through the driver, a geometric
// property of the bordered result, and randomised comparison with the
// reference pipeline.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include <polarmosaic/polarmosaic.h>
#include "support/harness.h"
#include "support/reference.h"

namespace {

using harness::GuardedBuffer;
using harness::MosaicCase;
using harness::MosaicRun;
using Pixel = std::pair<int, int>;  // (row, column) of the result

MosaicCase plainCase(int16_t w, int16_t h) {
    MosaicCase mc;
    mc.width = w;
    mc.height = h;
    mc.tileWidth = static_cast<int16_t>(w > 24 ? 12 : 1);
    mc.tileHeight = static_cast<int16_t>(h > 24 ? 10 : 1);
    mc.tileCols = static_cast<int16_t>(w % mc.tileWidth == 0 ? w / mc.tileWidth : w / mc.tileWidth + 2);
    mc.tileRows = static_cast<int16_t>(h % mc.tileHeight == 0 ? h / mc.tileHeight : h / mc.tileHeight + 2);
    mc.splitRemainder = 1;
    mc.borderMode = 1;
    return mc;
}

// The inverse pass of the driver's fifth stage, on its own: result pixels
// it leaves untouched, found by running it with two destination prefills.
std::set<Pixel> stageFiveSkips(int16_t w, int16_t h) {
    const size_t bytes = static_cast<size_t>(w) * h;
    std::vector<uint8_t> src[3], a[3], b[3];
    std::mt19937 rng(static_cast<uint32_t>(w * 7 + h));
    PolarMapParam pa{}, pb{};
    for (int c = 0; c < 3; ++c) {
        src[c].resize(bytes);
        harness::fillRandom(src[c], rng);
        a[c].assign(bytes, 0x00);
        b[c].assign(bytes, 0xFF);
        pa.srcPlane[c] = pb.srcPlane[c] = src[c].data();
        pa.dstPlane[c] = a[c].data();
        pb.dstPlane[c] = b[c].data();
    }
    pa.zoom = pb.zoom = 1.0f;
    pa.lineBytes = pb.lineBytes = h;
    pa.width = pb.width = h;
    pa.height = pb.height = w;
    pa.wrap = pb.wrap = 1;
    iCartesian2Polar0(&pa);
    iCartesian2Polar0(&pb);
    std::set<Pixel> skips;
    for (int X = 0; X < w; ++X) {
        for (int Y = 0; Y < h; ++Y) {
            const size_t off = static_cast<size_t>(X) * h + Y;
            if (a[0][off] != b[0][off]) skips.insert({Y, X});
        }
    }
    return skips;
}

std::set<Pixel> maskToSet(const std::vector<uint8_t>& mask, int w) {
    std::set<Pixel> s;
    for (size_t i = 0; i < mask.size(); ++i) {
        if (mask[i]) s.insert({static_cast<int>(i) / w, static_cast<int>(i) % w});
    }
    return s;
}

TEST(Pipeline, PixelsTheInversePassSkips) {
    struct Case {
        int16_t w, h;
        std::set<Pixel> skipped;
    } cases[] = {
        {320, 240, {{0, 0}}},
        {99, 101, {{50, 49}, {50, 50}, {51, 49}, {51, 50}}},
        {101, 99, {{49, 50}, {49, 51}, {50, 50}, {50, 51}}},
        {640, 480, {}},
        {800, 600, {}},
        {1024, 768, {}},
        {352, 288, {}},
        {720, 576, {}},
        {128, 96, {}},
        {176, 144, {}},
        {100, 100, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
        EXPECT_EQ(stageFiveSkips(c.w, c.h), c.skipped) << "module's inverse pass";
        MosaicRun run(plainCase(c.w, c.h));
        std::mt19937 rng(43);
        run.randomize(rng);
        const auto cmp = harness::runAndCompare(run);
        EXPECT_EQ(maskToSet(cmp.report.inverseSkipsUpright, c.w), c.skipped) << "reference pipeline";
        EXPECT_EQ(cmp.diff, "") << "module pipeline vs reference";
        EXPECT_TRUE(cmp.recordUnchanged);
    }
}

TEST(Pipeline, ResultRowsAreLcw16Apart) {
    MosaicRun run(plainCase(100, 60));
    std::mt19937 rng(47);
    run.randomize(rng);
    ASSERT_EQ(run.param.lineBytes, 112);
    const auto cmp = harness::runAndCompare(run);
    EXPECT_EQ(cmp.diff, "");
}

// A sample row index equal to the row count after the angular wrap. The
// driver's fifth stage reads a turned image of `width` rows; with width 56
// and these heights some positions round up to exactly 56.
TEST(Pipeline, RowIndexEqualToHeightThroughTheDriver) {
    int64_t clamps = 0;
    for (int16_t h = 156; h <= 300; h = static_cast<int16_t>(h + 2)) {
        MosaicRun run(plainCase(56, h));
        std::mt19937 rng(static_cast<uint32_t>(h));
        run.randomize(rng);
        const auto cmp = harness::runAndCompare(run);
        clamps += cmp.report.inverse.lastRowClamps;
        ASSERT_EQ(cmp.diff, "") << "56 x " << h;
    }
    EXPECT_GT(clamps, 0) << "no case reached row index == height";
}

// 144 x 1854: lineBytes equals width, so the turned image fills the planes
// to their last byte and a read of row `width` would leave them. The six
// planes end exactly at height * lineBytes, next to an inaccessible page.
TEST(Pipeline, RowIndexEqualToHeightAtTheEndOfThePlanes) {
    MosaicCase mc = plainCase(144, 1854);
    mc.slack = 0;
    MosaicRun run(mc);
    std::mt19937 rng(53);
    run.randomize(rng);
    const size_t bytes = static_cast<size_t>(run.param.planeBytes);
    ASSERT_EQ(bytes, 144u * 1854u);

    std::vector<std::unique_ptr<GuardedBuffer>> bufs;
    PolarMosaicParam p = run.param;
    for (int i = 0; i < 6; ++i) {
        bufs.emplace_back(new GuardedBuffer(bytes, true));
        std::memcpy(bufs.back()->data(), run.planes[i].data(), bytes);
        if (i < 3)
            p.outPlane[i] = bufs.back()->data();
        else
            p.inPlane[i - 3] = bufs.back()->data();
    }
    iPolarMosaic0(&p);

    MosaicRun rf(run);
    const ref::PipelineReport rep = ref::polarMosaic(&rf.param);
    EXPECT_GT(rep.inverse.lastRowClamps, 0);
    for (int i = 0; i < 6; ++i) {
        const uint8_t* got = i < 3 ? p.outPlane[i] : p.inPlane[i - 3];
        EXPECT_EQ(std::memcmp(got, rf.planes[i].data(), bytes), 0) << "plane " << i;
    }
}

// Tall and thin: the forward pass's outer rows sample far outside a
// 4-pixel-wide source and are folded back over many periods.
TEST(Pipeline, FarOutWrapThroughTheDriver) {
    struct Size {
        int16_t w, h;
    } sizes[] = {{4, 3000}, {3000, 4}, {2, 2000}, {5, 1200}};
    for (const auto& s : sizes) {
        MosaicCase mc = plainCase(s.w, s.h);
        mc.borderMode = 2;
        mc.borderWidth = 3;
        MosaicRun run(mc);
        std::mt19937 rng(59);
        run.randomize(rng);
        ref::Options opt;
        opt.maxRounds = 100000000;
        const auto cmp = harness::runAndCompare(run, opt);
        EXPECT_EQ(cmp.diff, "") << s.w << " x " << s.h << " (forward rounds " << cmp.report.forward.rounds
                                << ", inverse rounds " << cmp.report.inverse.rounds << ")";
    }
}

// A 640 x 480 run with rings and spokes on a uniform picture: the pixels
// that come out near the border colour must lie at the radius of a ring
// line or at the angle of a spoke line, as the inverse mapping places them.
TEST(Pipeline, BorderPixelsLieOnRingsAndSpokes) {
    MosaicCase mc;
    mc.width = 640;
    mc.height = 480;
    mc.tileWidth = 160;
    mc.tileCols = 4;  // spokes at polar columns 160, 320, 480
    mc.tileHeight = 60;
    mc.tileRows = 8;  // rings at polar rows 60, 120, ..., 420
    mc.splitRemainder = 0;
    mc.borderMode = 2;
    mc.borderWidth = 1;
    mc.borderValue[0] = mc.borderValue[1] = mc.borderValue[2] = 255;
    MosaicRun run(mc);
    run.fillAll(32);  // a power of two survives blending exactly
    iPolarMosaic0(&run.param);

    const double w = 640, h = 480;
    // Inverse pass in the turned layout: width h (radius), height w (angle).
    const double q = (h - 1) / std::sqrt(w * w + h * h);
    const double p = (w - 2) / (2 * M_PI);
    std::vector<double> ringColumns;  // turned column = h - 1 - polar row
    for (int R = 60; R <= 420; R += 60) ringColumns.push_back(h - 1 - R);
    const double spokeRows[] = {160, 320, 480};

    int onRing = 0, onSpoke = 0, bright = 0;
    std::vector<int> perRing(ringColumns.size(), 0);
    for (int Y = 0; Y < 480; ++Y) {
        for (int X = 0; X < 640; ++X) {
            const uint8_t v = run.out(0)[Y * 640 + X];
            const double dx = 2.0 * (Y - h / 2), dy = 2.0 * (X - w / 2);
            const double dist = std::sqrt(dx * dx + dy * dy) / 2.0;
            if (dist < 8 || dist > 230) continue;  // centre and wrapped corners aside
            ASSERT_GE(v, 32) << "below the background at " << Y << "," << X;
            if (v < 200) continue;
            ++bright;
            const double u = 2.0 * dist * q;
            double theta = std::atan2(-dy, dx);
            if (theta <= 0) theta += 2 * M_PI;
            double vrow = theta * p;
            if (vrow < 1) vrow += w - 1;
            bool ring = false;
            for (size_t k = 0; k < ringColumns.size(); ++k) {
                if (std::fabs(u - ringColumns[k]) <= 0.6) {
                    ring = true;
                    ++perRing[k];
                }
            }
            bool spoke = false;
            for (double s : spokeRows) spoke = spoke || std::fabs(vrow - s) <= 0.6;
            onRing += ring;
            onSpoke += spoke && !ring;
            EXPECT_TRUE(ring || spoke)
                << "bright pixel at row " << Y << " col " << X << " u " << u << " v " << vrow;
            if (!(ring || spoke)) return;
        }
    }
    EXPECT_GT(onSpoke, 100);
    for (size_t k = 0; k < perRing.size(); ++k) {
        // A ring of radius r shows up all the way round: a few pixels per
        // unit of circumference at least.
        const double radius = ringColumns[k] / (2.0 * q);
        if (radius < 8 || radius > 230) continue;
        EXPECT_GT(perRing[k], static_cast<int>(radius)) << "ring " << k << " radius " << radius;
    }
    EXPECT_GT(bright, 0);
}

TEST(PipelineRandom, AgainstTheReference) {
    std::mt19937 rng(61);
    // The paths the random records must reach for the comparison to mean
    // something: a working count lowered by the grid, borders drawn, and
    // pixels the inverse pass leaves as they were.
    int lowered = 0, bordered = 0, inverseSkips = 0;
    for (int iter = 0; iter < 250; ++iter) {
        MosaicCase mc;
        const bool big = iter % 25 == 0;
        mc.width = static_cast<int16_t>(2 + rng() % (big ? 500 : 120));
        mc.height = static_cast<int16_t>(2 + rng() % (big ? 400 : 120));
        mc.tileWidth = static_cast<int16_t>(1 + rng() % (mc.width + 10));
        mc.tileHeight = static_cast<int16_t>(1 + rng() % (mc.height + 10));
        auto pickCount = [&](int16_t d, int16_t t) {
            if (d % t == 0) return static_cast<int16_t>(rng() % (d / t + 1));
            return static_cast<int16_t>(2 + rng() % (d / t + 1));
        };
        mc.tileCols = pickCount(mc.width, mc.tileWidth);
        mc.tileRows = pickCount(mc.height, mc.tileHeight);
        mc.splitRemainder = static_cast<int16_t>(rng() % 3);
        const int16_t modes[] = {1, 2, 2, 3, 4, 0, 5};
        mc.borderMode = modes[rng() % 7];
        mc.borderWidth = static_cast<int16_t>(static_cast<int>(rng() % 14) - 2);
        for (auto& v : mc.borderValue) v = static_cast<int16_t>(static_cast<int>(rng() % 300) - 20);
        for (auto& s : mc.shade) s = static_cast<float>(static_cast<int>(rng() % 260) - 30) / 100.0f;
        if (rng() % 5 == 0) {
            for (auto& s : mc.shade) s = 0.0f;
        }
        mc.planeBytesExtra = static_cast<int32_t>(rng() % 3 == 0 ? rng() % 400 : 0);
        MosaicRun run(mc);
        run.randomize(rng);
        ASSERT_EQ(checkPolarMosaicParam(&run.param), POLARMOSAIC_OK) << harness::describe(mc);
        const auto cmp = harness::runAndCompare(run);
        ASSERT_EQ(cmp.diff, "") << harness::describe(mc);
        ASSERT_TRUE(cmp.recordUnchanged) << harness::describe(mc);
        lowered += cmp.report.workingCols < mc.tileCols || cmp.report.workingRows < mc.tileRows;
        bordered += mc.borderMode >= 2 && mc.borderMode <= 4 && mc.borderWidth > 0;
        inverseSkips += cmp.report.inverse.skipped > 0;
    }
    EXPECT_GT(lowered, 40);
    EXPECT_GT(bordered, 60);
    EXPECT_GT(inverseSkips, 50);
}

}  // namespace
