// Tile grid layouts and averaging, and the records the entry point refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include <polarmosaic/polarmosaic.h>
#include "support/harness.h"
#include "support/reference.h"

namespace {

using harness::MosaicCase;
using harness::MosaicRun;

constexpr int16_t kUntouchedW = 0x7777;  // sentinel the harness puts in tileWidths
constexpr int16_t kUntouchedH = 0x6666;

struct LayoutCase {
    const char* name;
    int16_t dim, nominal, count, split;
    std::vector<int16_t> expected;  // entries 0.. that must be written
    int16_t workingCount;
};

const LayoutCase kLayouts[] = {
    {"exact fit", 90, 30, 3, 0, {30, 30, 30}, 3},
    {"exact fit ignores split", 90, 30, 3, 1, {30, 30, 30}, 3},
    {"exact fit, fewer tiles than fit", 90, 30, 2, 1, {30, 30}, 2},
    {"split 100/30 x5", 100, 30, 5, 1, {5, 30, 30, 30, 5}, 5},
    {"no split 100/30 x5", 100, 30, 5, 0, {30, 30, 30, 10}, 4},
    {"no split 100/30 x4", 100, 30, 4, 0, {30, 30, 40}, 3},
    {"split, remainder 1 gives a zero last tile", 91, 30, 5, 1, {1, 30, 30, 30, 0}, 4},
    {"split, odd pixel to the last tile", 97, 30, 5, 1, {3, 30, 30, 30, 4}, 5},
    {"split, dimension below nominal", 5, 30, 2, 1, {2, 3}, 2},
    {"no split, dimension below nominal", 5, 30, 2, 0, {5}, 1},
    {"split, two tiles only", 100, 30, 2, 1, {5, 95}, 2},
    {"split, three tiles", 100, 30, 3, 1, {5, 30, 65}, 3},
    {"no split, two tiles", 100, 30, 2, 0, {100}, 1},
    {"unit tiles", 7, 1, 7, 0, {1, 1, 1, 1, 1, 1, 1}, 7},
};

MosaicCase caseForAxis(const LayoutCase& lc, bool columns) {
    MosaicCase mc;
    if (columns) {
        mc.width = lc.dim;
        mc.tileWidth = lc.nominal;
        mc.tileCols = lc.count;
        mc.height = 16;
        mc.tileHeight = 16;
        mc.tileRows = 1;
    } else {
        mc.height = lc.dim;
        mc.tileHeight = lc.nominal;
        mc.tileRows = lc.count;
        mc.width = 16;
        mc.tileWidth = 16;
        mc.tileCols = 1;
    }
    mc.splitRemainder = lc.split;
    return mc;
}

TEST(TileGrid, LayoutsOnBothAxes) {
    for (int axis = 0; axis < 2; ++axis) {
        const bool columns = axis == 0;
        for (const auto& lc : kLayouts) {
            SCOPED_TRACE(testing::Message() << (columns ? "columns: " : "rows: ") << lc.name);
            MosaicRun run(caseForAxis(lc, columns));
            std::mt19937 rng(lc.dim);
            run.randomize(rng);
            const harness::MosaicComparison cmp = harness::runAndCompare(run);
            EXPECT_TRUE(cmp.recordUnchanged);
            EXPECT_EQ(cmp.diff, "");
            EXPECT_EQ(columns ? cmp.report.workingCols : cmp.report.workingRows, lc.workingCount)
                << "reference working count";

            // The module's own arrays.
            iPolarMosaic0(&run.param);
            const std::vector<int16_t>& arr = columns ? run.tileW : run.tileH;
            const int16_t untouched = columns ? kUntouchedW : kUntouchedH;
            for (size_t k = 0; k < arr.size(); ++k) {
                const int16_t want = k < lc.expected.size() ? lc.expected[k] : untouched;
                EXPECT_EQ(arr[k], want) << "entry " << k;
            }
        }
    }
}

TEST(TileGrid, RecordUnchangedWhereTheCountIsLowered) {
    MosaicCase mc;
    mc.width = 100;
    mc.tileWidth = 30;
    mc.tileCols = 5;
    mc.height = 91;
    mc.tileHeight = 30;
    mc.tileRows = 5;
    mc.splitRemainder = 0;
    mc.borderMode = 2;
    mc.borderWidth = 3;
    for (int16_t split : {int16_t(0), int16_t(1)}) {
        mc.splitRemainder = split;
        MosaicRun run(mc);
        std::mt19937 rng(3);
        run.randomize(rng);
        const auto cmp = harness::runAndCompare(run);
        EXPECT_TRUE(cmp.recordUnchanged) << "split " << split;
        EXPECT_EQ(cmp.diff, "") << "split " << split;
        EXPECT_EQ(cmp.report.workingCols, split ? 5 : 4);
        EXPECT_EQ(cmp.report.workingRows, 4);
    }
}

TEST(TileGrid, ZeroCountOnAnExactFitAxisLaysNoTiles) {
    // An exact-fit axis allows any count up to D / T; 0 and negative counts
    // lay no tile and the averaging writes nothing.
    for (int16_t count : {int16_t(0), int16_t(-2)}) {
        MosaicCase mc;
        mc.width = 64;
        mc.tileWidth = 16;
        mc.tileCols = count;
        mc.height = 48;
        mc.tileHeight = 8;
        mc.tileRows = 6;
        MosaicRun run(mc);
        std::mt19937 rng(5);
        run.randomize(rng);
        const auto cmp = harness::runAndCompare(run);
        EXPECT_EQ(cmp.report.outcome, ref::Outcome::kDone);
        EXPECT_EQ(cmp.diff, "") << "count " << count;
    }
}

// Averaging is observable after the call in the inPlane rows that the
// inverse pass (which writes the first width * height bytes) leaves alone:
// there the averaged polar tiles survive. Channel values that are powers of
// two survive bilinear blending exactly, so with a uniform input the polar
// image holds that value wherever the forward pass sampled and the prefill
// of outPlane where it skipped a pixel.
TEST(TileAverage, FloorOfMeanWithOwnTileSize) {
    const int16_t w = 20, h = 16;  // lineBytes 32: rows 10..15 survive
    MosaicCase mc;
    mc.width = w;
    mc.height = h;
    mc.tileWidth = 6;
    mc.tileCols = 5;  // split: 1, 6, 6, 6, 1
    mc.tileHeight = 5;
    mc.tileRows = 5;  // split: 0 -> 1, 5, 5, 5, 0 -> count 4
    mc.splitRemainder = 1;
    MosaicRun run(mc);
    const uint8_t values[3] = {128, 64, 1};
    for (int c = 0; c < 3; ++c) {
        std::memset(run.in(c), values[c], run.planes[3 + c].size());
        std::memset(run.out(c), 0, run.planes[c].size());
    }

    // Which polar pixels does the forward pass skip? Ask the module's own
    // pass with two different destination prefills.
    PolarMapParam fwd{};
    std::vector<uint8_t> srcA(static_cast<size_t>(32) * h, 128), dstA(srcA.size(), 0), dstB(srcA.size(), 1);
    fwd.zoom = 1.0f;
    fwd.lineBytes = 32;
    fwd.width = w;
    fwd.height = h;
    fwd.wrap = 1;
    for (int c = 0; c < 3; ++c) {
        fwd.srcPlane[c] = srcA.data();
        fwd.dstPlane[c] = dstA.data();
    }
    // Three channels share one buffer here; the values written are equal.
    iPolar2Cartesian0(&fwd);
    for (int c = 0; c < 3; ++c) fwd.dstPlane[c] = dstB.data();
    iPolar2Cartesian0(&fwd);

    const MosaicRun input(run);
    iPolarMosaic0(&run.param);
    ASSERT_EQ(std::vector<int16_t>(run.tileW.begin(), run.tileW.begin() + 5),
              (std::vector<int16_t>{1, 6, 6, 6, 1}));
    ASSERT_EQ(std::vector<int16_t>(run.tileH.begin(), run.tileH.begin() + 5),
              (std::vector<int16_t>{1, 5, 5, 5, 0}));

    const int colStart[5] = {0, 1, 7, 13, 19};
    const int rowStart[4] = {0, 1, 6, 11};
    const int tw[5] = {1, 6, 6, 6, 1}, th[4] = {1, 5, 5, 5};
    const int firstSurvivingRow = (w * h + 31) / 32;  // 10
    for (int tr = 0; tr < 4; ++tr) {
        for (int tc = 0; tc < 5; ++tc) {
            int sampled = 0;
            for (int y = rowStart[tr]; y < rowStart[tr] + th[tr]; ++y) {
                for (int x = colStart[tc]; x < colStart[tc] + tw[tc]; ++x) {
                    if (dstA[static_cast<size_t>(y) * 32 + x] == dstB[static_cast<size_t>(y) * 32 + x])
                        ++sampled;
                }
            }
            for (int c = 0; c < 3; ++c) {
                const int expected = values[c] * sampled / (tw[tc] * th[tr]);
                for (int y = std::max(rowStart[tr], firstSurvivingRow); y < rowStart[tr] + th[tr]; ++y) {
                    for (int x = colStart[tc]; x < colStart[tc] + tw[tc]; ++x) {
                        ASSERT_EQ(run.in(c)[y * 32 + x], expected)
                            << "tile " << tr << "," << tc << " channel " << c << " sampled " << sampled;
                    }
                }
            }
        }
    }
    // Bytes past the last tile column keep the input.
    for (int c = 0; c < 3; ++c) {
        for (int y = firstSurvivingRow; y < h; ++y) {
            for (int x = w; x < 32; ++x) EXPECT_EQ(run.in(c)[y * 32 + x], values[c]);
        }
    }
    // And the whole call matches the reference.
    EXPECT_EQ(harness::runAndCompare(input).diff, "");
}

// Records the entry point must refuse: nothing at all may be written, and
// checkPolarMosaicParam names the reason the header gives for each.
struct Mutation {
    const char* name;
    int status;
    std::function<void(MosaicRun&)> apply;
};

MosaicCase validBase() {
    MosaicCase mc;
    mc.width = 40;  // lineBytes 48
    mc.height = 30;
    mc.tileWidth = 8;
    mc.tileCols = 5;  // exact fit: at most 5
    mc.tileHeight = 7;
    mc.tileRows = 6;  // remainder 2: 2 .. 6
    mc.splitRemainder = 1;
    mc.borderMode = 2;
    mc.borderWidth = 4;
    return mc;
}

TEST(EntryPoint, OutOfContractRecordsWriteNothing) {
    const std::vector<Mutation> mutations = {
        {"width 1", POLARMOSAIC_BAD_SIZE,
         [](MosaicRun& r) {
             r.param.width = 1;
             r.param.lineBytes = 16;
         }},
        {"width 0", POLARMOSAIC_BAD_SIZE,
         [](MosaicRun& r) {
             r.param.width = 0;
             r.param.lineBytes = 0;
         }},
        {"width -16", POLARMOSAIC_BAD_SIZE,
         [](MosaicRun& r) {
             r.param.width = -16;
             r.param.lineBytes = -16;
         }},
        {"height 1", POLARMOSAIC_BAD_SIZE, [](MosaicRun& r) { r.param.height = 1; }},
        {"height 0", POLARMOSAIC_BAD_SIZE, [](MosaicRun& r) { r.param.height = 0; }},
        {"height -30", POLARMOSAIC_BAD_SIZE, [](MosaicRun& r) { r.param.height = -30; }},
        {"width 32753", POLARMOSAIC_BAD_SIZE,
         [](MosaicRun& r) {
             r.param.width = 32753;
             r.param.lineBytes = -32768;
         }},
        {"width 32767", POLARMOSAIC_BAD_SIZE,
         [](MosaicRun& r) {
             r.param.width = 32767;
             r.param.lineBytes = -32768;
         }},
        {"lineBytes = width", POLARMOSAIC_BAD_LINE_BYTES, [](MosaicRun& r) { r.param.lineBytes = 40; }},
        {"lineBytes one row too long", POLARMOSAIC_BAD_LINE_BYTES,
         [](MosaicRun& r) { r.param.lineBytes = 64; }},
        {"planeBytes one short", POLARMOSAIC_PLANE_TOO_SMALL,
         [](MosaicRun& r) { r.param.planeBytes = 30 * 48 - 1; }},
        {"planeBytes negative", POLARMOSAIC_PLANE_TOO_SMALL, [](MosaicRun& r) { r.param.planeBytes = -1; }},
        {"tileWidth 0", POLARMOSAIC_BAD_TILE_SIZE, [](MosaicRun& r) { r.param.tileWidth = 0; }},
        {"tileWidth -8", POLARMOSAIC_BAD_TILE_SIZE, [](MosaicRun& r) { r.param.tileWidth = -8; }},
        {"tileHeight 0", POLARMOSAIC_BAD_TILE_SIZE, [](MosaicRun& r) { r.param.tileHeight = 0; }},
        {"exact fit, count above D/T", POLARMOSAIC_BAD_TILE_COUNT,
         [](MosaicRun& r) { r.param.tileCols = 6; }},
        {"remainder, count 1", POLARMOSAIC_BAD_TILE_COUNT, [](MosaicRun& r) { r.param.tileRows = 1; }},
        {"remainder, count 0", POLARMOSAIC_BAD_TILE_COUNT, [](MosaicRun& r) { r.param.tileRows = 0; }},
        {"remainder, count -1", POLARMOSAIC_BAD_TILE_COUNT, [](MosaicRun& r) { r.param.tileRows = -1; }},
        {"remainder, count D/T+3", POLARMOSAIC_BAD_TILE_COUNT, [](MosaicRun& r) { r.param.tileRows = 7; }},
        {"remainder on columns, count D/T+3", POLARMOSAIC_BAD_TILE_COUNT,
         [](MosaicRun& r) {
             r.param.tileWidth = 7;
             r.param.tileCols = 8;
         }},
        {"exact fit on rows, count above D/T", POLARMOSAIC_BAD_TILE_COUNT,
         [](MosaicRun& r) {
             r.param.tileHeight = 5;
             r.param.tileRows = 7;
         }},
        {"outPlane[1] NULL", POLARMOSAIC_NULL_PLANE, [](MosaicRun& r) { r.param.outPlane[1] = nullptr; }},
        {"outPlane[0] NULL", POLARMOSAIC_NULL_PLANE, [](MosaicRun& r) { r.param.outPlane[0] = nullptr; }},
        {"inPlane[2] NULL", POLARMOSAIC_NULL_PLANE, [](MosaicRun& r) { r.param.inPlane[2] = nullptr; }},
        {"inPlane[0] NULL", POLARMOSAIC_NULL_PLANE, [](MosaicRun& r) { r.param.inPlane[0] = nullptr; }},
        {"tileWidths NULL", POLARMOSAIC_NULL_TILE_ARRAY, [](MosaicRun& r) { r.param.tileWidths = nullptr; }},
        {"tileHeights NULL", POLARMOSAIC_NULL_TILE_ARRAY,
         [](MosaicRun& r) { r.param.tileHeights = nullptr; }},
        {"ramp[5] NULL with shaded borders", POLARMOSAIC_NULL_RAMP,
         [](MosaicRun& r) { r.param.ramp[5] = nullptr; }},
        {"ramp[11] NULL, mode 0 still fills ramps", POLARMOSAIC_NULL_RAMP,
         [](MosaicRun& r) {
             r.param.borderMode = 0;
             r.param.ramp[11] = nullptr;
         }},
        {"ramp[0] NULL, flat ramps", POLARMOSAIC_NULL_RAMP,
         [](MosaicRun& r) {
             for (float& s : r.param.shade) s = 0.0f;
             r.param.ramp[0] = nullptr;
         }},
    };
    for (const auto& m : mutations) {
        SCOPED_TRACE(m.name);
        MosaicRun run(validBase());
        std::mt19937 rng(17);
        run.randomize(rng);
        m.apply(run);
        const MosaicRun before(run);
        unsigned char recordBefore[sizeof(PolarMosaicParam)];
        std::memcpy(recordBefore, &run.param, sizeof recordBefore);
        const int status = checkPolarMosaicParam(&run.param);
        ASSERT_EQ(status, m.status) << polarMosaicStatusText(status);
        iPolarMosaic0(&run.param);
        EXPECT_EQ(std::memcmp(recordBefore, &run.param, sizeof recordBefore), 0);
        // Buffers compared through the copy, whose pointers are intact.
        for (int i = 0; i < 6; ++i) EXPECT_TRUE(run.planes[i] == before.planes[i]) << "plane " << i;
        EXPECT_TRUE(run.tileW == before.tileW);
        EXPECT_TRUE(run.tileH == before.tileH);
        for (int i = 0; i < 12; ++i) EXPECT_TRUE(run.ramps[i] == before.ramps[i]) << "ramp " << i;
    }
    iPolarMosaic0(nullptr);  // must simply return
    EXPECT_EQ(checkPolarMosaicParam(nullptr), POLARMOSAIC_NULL_RECORD);
}

TEST(EntryPoint, NullRampsAllowedWhenNoRampIsFilled) {
    struct Variant {
        const char* name;
        int16_t mode, width;
    } variants[] = {{"mode 1", 1, 4}, {"border width 1", 2, 1}, {"border width 0", 2, 0}};
    for (const auto& v : variants) {
        SCOPED_TRACE(v.name);
        MosaicCase mc = validBase();
        mc.borderMode = v.mode;
        mc.borderWidth = v.width;
        MosaicRun run(mc);
        std::mt19937 rng(19);
        run.randomize(rng);
        for (auto*& r : run.param.ramp) r = nullptr;
        ASSERT_EQ(checkPolarMosaicParam(&run.param), POLARMOSAIC_OK);
        MosaicRun mod(run);
        for (auto*& r : mod.param.ramp) r = nullptr;
        iPolarMosaic0(&mod.param);
        MosaicRun rf(run);
        for (auto*& r : rf.param.ramp) r = nullptr;
        ref::polarMosaic(&rf.param);
        EXPECT_EQ(mod.diff(rf), "");
        EXPECT_TRUE(mod.diff(run) != "") << "the call wrote nothing";
    }
}

TEST(EntryPoint, ReservedFieldsHaveNoEffect) {
    MosaicRun run(validBase());
    std::mt19937 rng(23);
    run.randomize(rng);
    MosaicRun a(run), b(run);
    b.param.reserved0 = -12345;
    b.param.reserved1 = 32767;
    iPolarMosaic0(&a.param);
    iPolarMosaic0(&b.param);
    EXPECT_EQ(a.diff(b), "");
}

}  // namespace

namespace {

// One tile of 4200 x 4200 = 17,640,000 pixels: 255 times that does not fit
// in 32 bits (a 32-bit sum would wrap and average to 11). A white picture
// must stay (nearly) white.
TEST(TileAverage, TileTooBigForA32BitSum) {
    const int16_t size = 4200;
    const int16_t lineBytes = lcw16(size);
    const size_t planeBytes = static_cast<size_t>(size) * static_cast<size_t>(lineBytes);
    std::vector<uint8_t> planes(6 * planeBytes, 255);
    int16_t tileWidths[1] = {0}, tileHeights[1] = {0};
    PolarMosaicParam param = {};
    for (int c = 0; c < 3; ++c) {
        param.inPlane[c] = planes.data() + static_cast<size_t>(c) * planeBytes;
        param.outPlane[c] = planes.data() + static_cast<size_t>(3 + c) * planeBytes;
    }
    param.planeBytes = static_cast<int32_t>(planeBytes);
    param.tileWidths = tileWidths;
    param.tileHeights = tileHeights;
    param.width = size;
    param.lineBytes = lineBytes;
    param.height = size;
    param.tileWidth = size;
    param.tileHeight = size;
    param.tileCols = 1;
    param.tileRows = 1;
    param.borderMode = 1;
    iPolarMosaic0(&param);
    ASSERT_EQ(tileWidths[0], size);
    // Bilinear truncation may take a white sample down by one per pass.
    uint8_t darkest = 255;
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                darkest = std::min(
                    darkest, param.outPlane[c][static_cast<size_t>(y) * lineBytes + static_cast<size_t>(x)]);
    EXPECT_GE(darkest, 252);
}

}  // namespace
