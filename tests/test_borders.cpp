// Border stage: the 12 x 12 worked examples on the module's border stage
// (iBorderRamps0, iBorderRows0), and the module's whole pipeline with
// borders against the reference pipeline.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include <polarmosaic/polarmosaic.h>
#include "support/harness.h"
#include "support/reference.h"

namespace {

// A 12 x 12 image (rows 16 bytes apart, as lcw16(12) says) and a given
// grid, drawn by the module's border stage: iBorderRamps0 when
// iPolarMosaic0 would run it, then iBorderRows0 over all rows.
struct Border12 {
    static constexpr int kLine = 16;
    std::vector<uint8_t> planes[3];
    std::vector<uint8_t> scratch[3];  // outPlane: present, never drawn on
    std::vector<uint8_t> ramps[12];
    std::vector<int16_t> tw, th;
    PolarMosaicParam p{};

    Border12(std::vector<int16_t> widths, std::vector<int16_t> heights, int16_t mode, int16_t bw,
             int16_t value, float shade, uint8_t fill = 50)
        : tw(std::move(widths)), th(std::move(heights)) {
        for (auto& pl : planes) pl.assign(12 * kLine, fill);
        for (auto& pl : scratch) pl.assign(12 * kLine, 0);
        for (auto& r : ramps) r.assign(8, 0xC3);
        for (int c = 0; c < 3; ++c) {
            p.inPlane[c] = planes[c].data();
            p.outPlane[c] = scratch[c].data();
            p.borderValue[c] = value;
        }
        for (int i = 0; i < 12; ++i) p.ramp[i] = ramps[i].data();
        for (float& s : p.shade) s = shade;
        p.planeBytes = 12 * kLine;
        p.width = 12;
        p.height = 12;
        p.lineBytes = kLine;
        p.tileWidths = tw.data();
        p.tileHeights = th.data();
        p.borderMode = mode;
        p.borderWidth = bw;
    }
    void draw() {
        const PolarTileGrid grid = {tw.data(), th.data(), static_cast<int16_t>(tw.size()),
                                    static_cast<int16_t>(th.size())};
        if (p.borderMode != POLARMOSAIC_BORDER_NONE && p.borderWidth > 0) {
            ASSERT_EQ(iBorderRamps0(&p), POLARMOSAIC_OK);
        }
        ASSERT_EQ(iBorderRows0(&p, &grid, 0, 12), POLARMOSAIC_OK);
    }
    // The 12 x 12 pixels of channel c, row by row.
    std::vector<uint8_t> visible(int c) const {
        std::vector<uint8_t> v;
        for (int y = 0; y < 12; ++y) {
            v.insert(v.end(), planes[c].begin() + y * kLine, planes[c].begin() + y * kLine + 12);
        }
        return v;
    }
    uint8_t at(int c, int y, int x) const { return planes[c][static_cast<size_t>(y) * kLine + x]; }
    std::vector<uint8_t> rampHead(int i, int n) const {
        return std::vector<uint8_t>(ramps[i].begin(), ramps[i].begin() + n);
    }
};

// Expected image as 12 strings of 12 symbols, decoded through a legend.
std::vector<uint8_t> image(const std::vector<const char*>& rows) {
    std::vector<uint8_t> out;
    for (const char* r : rows) {
        for (int x = 0; x < 12; ++x) {
            switch (r[x]) {
                case '.':
                    out.push_back(50);
                    break;
                case 'W':
                    out.push_back(200);
                    break;
                case 'a':
                    out.push_back(167);
                    break;
                case 'b':
                    out.push_back(133);
                    break;
                case 'h':
                    out.push_back(150);
                    break;
                case 'c':
                    out.push_back(100);
                    break;
                case '0':
                    out.push_back(0);
                    break;
                default:
                    out.push_back(1);
                    break;
            }
        }
    }
    return out;
}

TEST(BorderStage, NothingHappensWhenGatedOff) {
    struct Gate {
        int16_t mode, bw;
    } gates[] = {{1, 4}, {1, 1}, {1, 0}, {2, 0}, {2, -3}, {0, 0}, {3, -1}};
    for (const auto& g : gates) {
        Border12 b({6, 6}, {6, 6}, g.mode, g.bw, 200, 0.5f);
        const Border12 before({6, 6}, {6, 6}, g.mode, g.bw, 200, 0.5f);
        b.draw();
        for (int c = 0; c < 3; ++c) EXPECT_EQ(b.planes[c], before.planes[c]);
        for (int i = 0; i < 12; ++i) EXPECT_EQ(b.ramps[i], before.ramps[i]);
    }
}

TEST(BorderStage, OtherModesOnlyFillTheRamps) {
    for (int16_t mode : {int16_t(0), int16_t(7), int16_t(-2), int16_t(5)}) {
        Border12 b({6, 6}, {6, 6}, mode, 4, 200, 0.5f);
        b.draw();
        for (int c = 0; c < 3; ++c) EXPECT_EQ(b.visible(c), std::vector<uint8_t>(144, 50));
        for (int i = 0; i < 12; ++i) {
            EXPECT_EQ(b.rampHead(i, 3), (std::vector<uint8_t>{200, 150, 100}));
            EXPECT_EQ(b.ramps[i][3], 0xC3);  // h + 1 entries only
        }
    }
}

TEST(BorderStage, WidthOneDrawsPlainLinesAndLeavesTheRamps) {
    Border12 b({6, 6}, {6, 6}, 2, 1, 200, 0.5f);
    b.draw();
    std::vector<uint8_t> want(144, 50);
    for (int i = 0; i < 12; ++i) want[6 * 12 + i] = want[i * 12 + 6] = 200;
    for (int c = 0; c < 3; ++c) EXPECT_EQ(b.visible(c), want);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(b.ramps[i], std::vector<uint8_t>(8, 0xC3));
}

TEST(BorderStage, WidthTwoEqualsWidthThree) {
    Border12 a({6, 6}, {6, 6}, 2, 2, 200, 0.3f), b({6, 6}, {6, 6}, 2, 3, 200, 0.3f);
    a.draw();
    b.draw();
    for (int c = 0; c < 3; ++c) EXPECT_EQ(a.visible(c), b.visible(c));
}

TEST(BorderStage, RingsShadedAndFlat) {
    struct Case {
        const char* name;
        float shade[4];
        uint8_t near, far;
    } cases[] = {
        {"shaded 0.5", {0.5f, 0.5f, 0.5f, 0.5f}, 150, 100},
        {"all zero: flat", {0, 0, 0, 0}, 200, 200},
        {"all negative: flat", {-1, -0.5f, -2, -3}, 200, 200},
        {"all below 0.0001: flat", {0.00009f, 0, 0.00005f, -1}, 200, 200},
        {"nearest single to 0.0001 is below it: flat", {0.0001f, 0.0001f, 0.0001f, 0.0001f}, 200, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Border12 b({12}, {6, 6}, 3, 4, 200, 0.0f);
        for (int s = 0; s < 4; ++s) b.p.shade[s] = c.shade[s];
        b.draw();
        std::vector<uint8_t> want(144, 50);
        const uint8_t rowValue[5] = {c.far, c.near, 200, c.near, c.far};
        for (int y = 4; y <= 8; ++y) {
            for (int x = 0; x < 12; ++x) want[y * 12 + x] = rowValue[y - 4];
        }
        for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(b.visible(ch), want);
        EXPECT_EQ(b.rampHead(0, 3), (std::vector<uint8_t>{200, c.near, c.far}));
    }
}

TEST(BorderStage, OneShadeAtZeroStillShades) {
    Border12 b({6, 6}, {6, 6}, 2, 4, 200, 1.0f);
    b.p.shade[3] = 0.0f;
    b.draw();
    for (int c = 0; c < 3; ++c) {
        for (int s = 0; s < 3; ++s)
            EXPECT_EQ(b.rampHead(3 * s + c, 3), (std::vector<uint8_t>{200, 200, 200}));
        EXPECT_EQ(b.rampHead(9 + c, 3), (std::vector<uint8_t>{200, 100, 0}));
    }
}

TEST(BorderStage, MitredCrossing) {
    Border12 b({6, 6}, {6, 6}, 2, 4, 200, 1.0f);
    b.p.shade[2] = b.p.shade[3] = 0.0f;
    b.draw();
    const std::vector<uint8_t> want = image({
        "....0cWc0...",  // rows 0-3
        "....0cWc0...",
        "....0cWc0...",
        "....0cWc0...",
        "WWWWWcWcWWWW",  // row 4
        "WWWWWWWWWWWW",  // row 5
        "WWWWWWWWWWWW",  // row 6
        "WWWWWWWWWWWW",  // row 7
        "WWWWWcWcWWWW",  // row 8
        "....0cWc0...",
        "....0cWc0...",
        "....0cWc0...",
    });
    for (int c = 0; c < 3; ++c) EXPECT_EQ(b.visible(c), want);
    EXPECT_EQ(b.rampHead(0, 3), (std::vector<uint8_t>{200, 200, 200}));
    EXPECT_EQ(b.rampHead(3, 3), (std::vector<uint8_t>{200, 200, 200}));
    EXPECT_EQ(b.rampHead(6, 3), (std::vector<uint8_t>{200, 100, 0}));
    EXPECT_EQ(b.rampHead(9, 3), (std::vector<uint8_t>{200, 100, 0}));
}

TEST(BorderStage, SpokesOnly) {
    Border12 b({6, 6}, {6, 6}, 4, 4, 200, 1.0f);
    b.p.shade[2] = b.p.shade[3] = 0.0f;
    b.draw();
    std::vector<const char*> rows(12, "....0cWc0...");
    for (int c = 0; c < 3; ++c) EXPECT_EQ(b.visible(c), image(rows));
}

TEST(BorderStage, RampsPerChannelAndSide) {
    Border12 b({6, 6}, {6, 6}, 2, 4, 0, 0.0f);
    b.p.borderValue[0] = 255;
    b.p.borderValue[1] = 128;
    b.p.borderValue[2] = 0;
    const float shades[4] = {0.5f, 1.0f, 0.0f, 2.0f};
    for (int s = 0; s < 4; ++s) b.p.shade[s] = shades[s];
    b.draw();
    EXPECT_EQ(b.rampHead(0, 3), (std::vector<uint8_t>{255, 191, 128}));
    EXPECT_EQ(b.rampHead(1, 3), (std::vector<uint8_t>{128, 96, 64}));
    EXPECT_EQ(b.rampHead(2, 3), (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_EQ(b.rampHead(3, 3), (std::vector<uint8_t>{255, 255, 255}));
    EXPECT_EQ(b.rampHead(6, 3), (std::vector<uint8_t>{255, 128, 0}));
    EXPECT_EQ(b.rampHead(7, 3), (std::vector<uint8_t>{128, 64, 0}));
    EXPECT_EQ(b.rampHead(9, 3), (std::vector<uint8_t>{255, 255, 255}));
    EXPECT_EQ(b.rampHead(10, 3), (std::vector<uint8_t>{128, 192, 255}));
}

TEST(BorderStage, LineNearTheImageEdges) {
    Border12 b({10, 2}, {1, 11}, 2, 6, 200, 0.5f);
    b.draw();
    EXPECT_EQ(b.rampHead(0, 4), (std::vector<uint8_t>{200, 167, 133, 100}));
    const std::vector<uint8_t> want = image({
        "aaaaaaaaaaWa",  // row 0
        "WWWWWWWWWWWW",  // row 1
        "aaaaaaaaaaWa",  // row 2
        "bbbbbbbbbaWa",  // row 3
        "ccccccccbaWa",  // row 4
        ".......cbaWa",  // rows 5-11
        ".......cbaWa",
        ".......cbaWa",
        ".......cbaWa",
        ".......cbaWa",
        ".......cbaWa",
        ".......cbaWa",
    });
    for (int c = 0; c < 3; ++c) EXPECT_EQ(b.visible(c), want);
}

TEST(BorderStage, SingleTileRowDrawsSpokesOnly) {
    Border12 a({6, 6}, {12}, 2, 4, 200, 0.5f), b({6, 6}, {12}, 4, 4, 200, 0.5f);
    a.draw();
    b.draw();
    for (int c = 0; c < 3; ++c) EXPECT_EQ(a.visible(c), b.visible(c));
}

TEST(BorderStage, ThinTilesLaterBandCoversEarlierCentreRow) {
    // Tile rows of 2: the side-0 band of line 1 (k = 2) lands on the centre
    // row of line 0 in mode 3; mode 2 draws the centre rows again last.
    Border12 m3({12}, {2, 2, 2, 2, 2, 2}, 3, 4, 200, 0.5f);
    Border12 m2({6, 6}, {2, 2, 2, 2, 2, 2}, 2, 4, 200, 0.5f);
    m3.draw();
    m2.draw();
    EXPECT_EQ(m3.at(0, 2, 0), 100);
    EXPECT_EQ(m3.at(0, 10, 0), 200);  // the last line's centre stays
    for (int r : {2, 4, 6, 8, 10}) EXPECT_EQ(m2.at(0, r, 0), 200) << r;
}

// The module's pipeline with borders against the reference pipeline.
harness::MosaicCase borderCase(int16_t w, int16_t h, int16_t tw, int16_t th, int16_t mode, int16_t bw) {
    harness::MosaicCase mc;
    mc.width = w;
    mc.height = h;
    mc.tileWidth = tw;
    mc.tileHeight = th;
    mc.tileCols = static_cast<int16_t>(w % tw == 0 ? w / tw : w / tw + 2);
    mc.tileRows = static_cast<int16_t>(h % th == 0 ? h / th : h / th + 2);
    mc.splitRemainder = 1;
    mc.borderMode = mode;
    mc.borderWidth = bw;
    mc.borderValue[0] = 240;
    mc.borderValue[1] = 30;
    mc.borderValue[2] = 128;
    mc.shade[0] = 0.3f;
    mc.shade[1] = 1.4f;
    mc.shade[2] = 0.0f;
    mc.shade[3] = 0.7f;
    return mc;
}

TEST(BorderPipeline, EveryModeAgainstTheReference) {
    for (int16_t mode : {int16_t(2), int16_t(3), int16_t(4), int16_t(0), int16_t(9), int16_t(-1)}) {
        for (int16_t bw : {int16_t(1), int16_t(2), int16_t(5), int16_t(9)}) {
            const harness::MosaicCase mc = borderCase(80, 60, 12, 9, mode, bw);
            harness::MosaicRun run(mc);
            std::mt19937 rng(static_cast<uint32_t>(mode * 100 + bw));
            run.randomize(rng);
            const auto cmp = harness::runAndCompare(run);
            EXPECT_EQ(cmp.diff, "") << harness::describe(mc);
            EXPECT_TRUE(cmp.recordUnchanged);
        }
    }
}

TEST(BorderPipeline, GateSkipsTheStage) {
    harness::MosaicRun base(borderCase(48, 40, 8, 7, 1, 0));
    std::mt19937 rng(31);
    base.randomize(rng);
    harness::MosaicRun plain(base);
    iPolarMosaic0(&plain.param);
    struct Gate {
        int16_t mode, bw;
    } gates[] = {{1, 5}, {1, 1}, {2, 0}, {3, -4}, {0, -1}};
    for (const auto& g : gates) {
        harness::MosaicRun r(base);
        r.param.borderMode = g.mode;
        r.param.borderWidth = g.bw;
        iPolarMosaic0(&r.param);
        EXPECT_EQ(r.diff(plain), "") << "mode " << g.mode << " width " << g.bw;
    }
}

TEST(BorderPipeline, ThinTilesAndWideLines) {
    struct Case {
        int16_t w, h, tw, th, mode, bw;
    } cases[] = {{60, 50, 2, 2, 3, 6},  {60, 50, 2, 2, 2, 6},    {60, 50, 3, 1, 2, 4},  {60, 50, 1, 3, 4, 8},
                 {33, 47, 5, 4, 2, 11}, {40, 40, 39, 39, 2, 30}, {17, 90, 4, 30, 2, 40}};
    for (const auto& c : cases) {
        const harness::MosaicCase mc = borderCase(c.w, c.h, c.tw, c.th, c.mode, c.bw);
        harness::MosaicRun run(mc);
        std::mt19937 rng(37);
        run.randomize(rng);
        EXPECT_EQ(harness::runAndCompare(run).diff, "") << harness::describe(mc);
    }
}

// Bands of horizontal lines near the bottom reach below the last image row;
// they are drawn only within planeBytes. The bytes past planeBytes must
// stay as they were, and those inside must match the reference.
TEST(BorderPipeline, BandsStopAtPlaneBytes) {
    for (int32_t extra : {0, 5, 48, 200}) {
        harness::MosaicCase mc = borderCase(40, 30, 8, 2, 2, 12);
        mc.tileRows = 15;
        mc.planeBytesExtra = extra;
        mc.slack = 300;
        harness::MosaicRun run(mc);
        std::mt19937 rng(41);
        run.randomize(rng);
        harness::MosaicRun mod(run);
        iPolarMosaic0(&mod.param);
        const size_t planeBytes = static_cast<size_t>(mod.param.planeBytes);
        for (int i = 0; i < 6; ++i) {
            EXPECT_TRUE(std::equal(mod.planes[i].begin() + static_cast<long>(planeBytes), mod.planes[i].end(),
                                   run.planes[i].begin() + static_cast<long>(planeBytes)))
                << "plane " << i << " written past planeBytes (extra " << extra << ")";
        }
        EXPECT_EQ(harness::runAndCompare(run).diff, "") << "extra " << extra;
    }
}

}  // namespace
