// The border stage writes each pixel once per phase instead of once per line
// and offset; its bytes must stay those of the whole-image loops of the
// straightforward version, also where many lines lie within one band's
// reach and the bands run past the image into the rest of the plane.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include <polarmosaic/polarmosaic.h>
#include "support/harness.h"
#include "support/reference.h"

namespace {

using harness::MosaicCase;
using harness::MosaicRun;

TEST(BorderStage, DenseGridsAndWideLinesEqualTheWholeImageLoops) {
    struct Shape {
        int16_t width, height, tileWidth, tileHeight, borderWidth;
    } shapes[] = {
        {12, 700, 3, 2, 1201},  // 300 ring lines below a row within reach: several sweeps
        {12, 300, 1, 1, 600},   // every row and column a line
        {40, 60, 1, 2, 9},     {60, 40, 7, 1, 520}, {33, 35, 5, 4, 33}, {9, 400, 4, 2, 1200},
        {2, 2, 1, 1, 7},       {17, 3, 16, 1, 1},   {300, 7, 1, 3, 64},
    };
    std::mt19937 rng(41);
    for (const Shape& s : shapes) {
        for (int16_t mode : {2, 3, 4}) {
            MosaicCase mc;
            mc.width = s.width;
            mc.height = s.height;
            mc.tileWidth = s.tileWidth;
            mc.tileHeight = s.tileHeight;
            auto count = [](int16_t d, int16_t t) {
                return static_cast<int16_t>(d % t == 0 ? d / t : d / t + 2);
            };
            mc.tileCols = count(s.width, s.tileWidth);
            mc.tileRows = count(s.height, s.tileHeight);
            mc.splitRemainder = static_cast<int16_t>(rng() % 2);
            mc.borderMode = mode;
            mc.borderWidth = s.borderWidth;
            for (auto& v : mc.borderValue) v = static_cast<int16_t>(rng() % 256);
            for (auto& f : mc.shade) f = static_cast<float>(rng() % 250) / 100.0f;
            mc.planeBytesExtra = static_cast<int32_t>(rng() % 3) * 5 * ref::lcw16(s.width) + 7;
            MosaicRun input(mc);
            input.randomize(rng);
            PolarTileGrid grid;
            ASSERT_EQ(iTileGrid0(&input.param, &grid), POLARMOSAIC_OK);

            MosaicRun expected(input);
            ref::drawBorders(&expected.param, grid.tileCols, grid.tileRows);

            MosaicRun actual(input);
            PolarTileGrid own = {actual.tileW.data(), actual.tileH.data(), grid.tileCols, grid.tileRows};
            ASSERT_EQ(iBorderRamps0(&actual.param), POLARMOSAIC_OK);
            // Bands of random heights, drawn in random order.
            std::vector<std::pair<int32_t, int32_t>> bands;
            for (int32_t first = 0; first < s.height;) {
                const int32_t end = std::min<int32_t>(s.height, first + 1 + static_cast<int32_t>(rng() % 50));
                bands.push_back({first, end});
                first = end;
            }
            std::shuffle(bands.begin(), bands.end(), rng);
            for (const auto& b : bands)
                ASSERT_EQ(iBorderRows0(&actual.param, &own, b.first, b.second), POLARMOSAIC_OK);
            ASSERT_EQ(actual.diff(expected), "") << harness::describe(mc);
        }
    }
}

}  // namespace
