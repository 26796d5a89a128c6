// Float fields of the driver's record outside their meaning: non-finite
// shade factors are not refused, and the header promises what the ramps
// then hold. The expected ramps follow from those rules by hand (ramp length
// 3 for a border width of 4): a NaN factor shades its side to 0, +infinity
// saturates it at 255 (0 for a border colour of 0 or below), -infinity
// counts as 0 and so fades linearly to 0, and only factors that are all
// below 0.0001 give flat ramps. Every plane and ramp sits before guard
// bytes that must survive the call.
//
// Ramps the record leaves NULL: every record the check accepts runs without
// touching them, whatever the border mode, width and shade factors.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <polarmosaic/polarmosaic.h>
#include "support/harness.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
const size_t kGuard = 64;
const uint8_t kGuardByte = 0xC3;

struct ShadeCase {
    const char* name;
    float shade[4];
    int16_t borderValue;
    uint8_t side0[3];  // ramp[0] (side 0, channel 0), entries 0 .. 2
};

const ShadeCase kCases[] = {
    {"nan shades its side to 0", {kNaN, 1, 1, 1}, 200, {200, 0, 0}},
    {"all nan is not flat", {kNaN, kNaN, kNaN, kNaN}, 200, {200, 0, 0}},
    {"+inf saturates", {kInf, 1, 1, 1}, 200, {200, 255, 255}},
    {"+inf on colour 0", {kInf, 1, 1, 1}, 0, {0, 0, 0}},
    {"+inf on a negative colour", {kInf, 1, 1, 1}, -5, {251, 0, 0}},
    {"-inf counts as 0", {-kInf, 1, 1, 1}, 200, {200, 100, 0}},
    {"all -inf is flat", {-kInf, -kInf, -kInf, -kInf}, 200, {200, 200, 200}},
};

TEST(Contract, NonFiniteShadeFactorsGiveTheDocumentedRamps) {
    const int16_t width = 24, height = 20, line = 32;
    const size_t planeBytes = static_cast<size_t>(height) * line;
    for (const ShadeCase& c : kCases) {
        std::vector<std::vector<uint8_t>> planes(6, std::vector<uint8_t>(planeBytes + kGuard, kGuardByte));
        for (auto& plane : planes) {
            for (size_t i = 0; i < planeBytes; ++i) plane[i] = static_cast<uint8_t>(i * 7);
        }
        std::vector<std::vector<uint8_t>> ramps(12, std::vector<uint8_t>(3 + kGuard, kGuardByte));
        std::vector<int16_t> tileWidths(3 + kGuard, 0x1234), tileHeights(2 + kGuard, 0x1234);

        PolarMosaicParam p;
        std::memset(&p, 0, sizeof p);
        for (int k = 0; k < 3; ++k) {
            p.outPlane[k] = planes[k].data();
            p.inPlane[k] = planes[3 + k].data();
        }
        p.planeBytes = static_cast<int32_t>(planeBytes);
        p.tileWidths = tileWidths.data();
        p.tileHeights = tileHeights.data();
        for (int k = 0; k < 12; ++k) p.ramp[k] = ramps[k].data();
        for (int s = 0; s < 4; ++s) p.shade[s] = c.shade[s];
        p.width = width;
        p.lineBytes = line;
        p.height = height;
        p.tileWidth = 8;    // 24 = 3 x 8: three columns
        p.tileHeight = 10;  // 20 = 2 x 10: two rows
        p.tileCols = 3;
        p.tileRows = 2;
        p.splitRemainder = 1;
        p.borderMode = 2;
        p.borderWidth = 4;
        for (int k = 0; k < 3; ++k) p.borderValue[k] = c.borderValue;
        PolarMosaicParam before;
        std::memcpy(&before, &p, sizeof p);

        iPolarMosaic0(&p);

        EXPECT_EQ(std::memcmp(&before, &p, sizeof p), 0) << c.name;
        for (int e = 0; e < 3; ++e) EXPECT_EQ(ramps[0][e], c.side0[e]) << c.name << ", entry " << e;
        for (auto& plane : planes) {
            for (size_t i = planeBytes; i < plane.size(); ++i) ASSERT_EQ(plane[i], kGuardByte) << c.name;
        }
        for (auto& ramp : ramps) {
            for (size_t i = 3; i < ramp.size(); ++i) ASSERT_EQ(ramp[i], kGuardByte) << c.name;
        }
        for (size_t i = 3; i < tileWidths.size(); ++i) ASSERT_EQ(tileWidths[i], 0x1234) << c.name;
        for (size_t i = 2; i < tileHeights.size(); ++i) ASSERT_EQ(tileHeights[i], 0x1234) << c.name;
    }
}

// Ramps are needed exactly when the border mode is not 1 (none) and the
// width is 2 or more: then every entry point refuses NULL ramps and writes
// nothing. Otherwise NULL ramps run, the bytes are those of the same record
// with ramps, and ramps that are given stay untouched.
TEST(Contract, NullRampsRunWheneverTheCheckAcceptsThem) {
    std::mt19937 rng(57);
    for (int16_t mode : {0, 1, 2, 3, 4, 5}) {
        for (bool flat : {true, false}) {
            for (int16_t width : {0, 1, 2, 6}) {
                harness::MosaicCase mc;
                mc.width = 24;
                mc.height = 20;
                mc.tileWidth = 8;
                mc.tileHeight = 10;
                mc.tileCols = 3;
                mc.tileRows = 2;
                mc.borderMode = mode;
                mc.borderWidth = width;
                const float shades[4] = {2.0f, 0.25f, 1.5f, 0.5f};
                for (int s = 0; s < 4; ++s) mc.shade[s] = flat ? 0.0f : shades[s];
                const std::string name = "mode " + std::to_string(mode) + (flat ? " flat" : " shaded") +
                                         ", width " + std::to_string(width);
                const bool needsRamps = mode != POLARMOSAIC_BORDER_NONE && width >= 2;
                const int expected = needsRamps ? POLARMOSAIC_NULL_RAMP : POLARMOSAIC_OK;

                harness::MosaicRun given(mc);
                given.randomize(rng);
                harness::MosaicRun none(given);
                for (auto& r : none.param.ramp) r = nullptr;
                EXPECT_EQ(checkPolarMosaicParam(&none.param), expected) << name;

                harness::MosaicRun stage(none);
                for (auto& r : stage.param.ramp) r = nullptr;
                EXPECT_EQ(iBorderRamps0(&stage.param), expected) << name;
                harness::MosaicRun stageGiven(given);
                EXPECT_EQ(iBorderRamps0(&stageGiven.param), POLARMOSAIC_OK) << name;
                if (!needsRamps) EXPECT_EQ(stageGiven.diff(given), "") << name;

                harness::MosaicRun whole(none);
                for (auto& r : whole.param.ramp) r = nullptr;
                iPolarMosaic0(&whole.param);
                harness::MosaicRun run(none);
                for (auto& r : run.param.ramp) r = nullptr;
                EXPECT_EQ(iPolarMosaicRun0(&run.param, nullptr, nullptr), expected) << name;
                if (needsRamps) {
                    EXPECT_EQ(whole.diff(given), "") << name << ": refused, nothing written";
                    EXPECT_EQ(run.diff(given), "") << name << ": refused, nothing written";
                } else {
                    harness::MosaicRun withRamps(given);
                    iPolarMosaic0(&withRamps.param);
                    EXPECT_NE(withRamps.diff(given), "") << name << ": the effect ran";
                    EXPECT_EQ(whole.diff(withRamps), "") << name;
                    EXPECT_EQ(run.diff(withRamps), "") << name;
                }
            }
        }
    }
}

}  // namespace
