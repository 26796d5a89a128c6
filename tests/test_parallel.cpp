// The stage functions and the parallel runner: whatever the runner, the
// thread count, the order of the jobs or the split of the ranges, the bytes
// are those of one iPolarMosaic0 call. Also the refusals of the range
// functions and the check functions' reasons.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include <polarmosaic/polarmosaic.h>
#include "support/harness.h"

namespace {

using harness::MosaicCase;
using harness::MosaicRun;

// ---------------------------------------------------------------------------
// Runners.

struct OrderRunner {
    enum Order { kReverse, kShuffled } order;
    std::mt19937 rng;
};

int runInOrder(void* runnerData, void* jobData, PolarMosaicJob job, uint32_t count) {
    auto* runner = static_cast<OrderRunner*>(runnerData);
    std::vector<uint32_t> order(count);
    std::iota(order.begin(), order.end(), 0u);
    if (runner->order == OrderRunner::kReverse) {
        std::reverse(order.begin(), order.end());
    } else {
        std::shuffle(order.begin(), order.end(), runner->rng);
    }
    for (uint32_t i : order) job(jobData, i);
    return 0;
}

// Threads that take jobs from a shared counter: each call starts its own.
struct ThreadRunner {
    int threads;
};

int runOnThreads(void* runnerData, void* jobData, PolarMosaicJob job, uint32_t count) {
    const int threads = static_cast<ThreadRunner*>(runnerData)->threads;
    std::atomic<uint32_t> next{0};
    auto work = [&] {
        for (uint32_t i = next++; i < count; i = next++) job(jobData, i);
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (auto& t : pool) t.join();
    return 0;
}

int runnerThatFails(void*, void*, PolarMosaicJob, uint32_t) { return -1; }

// ---------------------------------------------------------------------------
// Records: the sizes the pipeline tests use, and random ones.

MosaicCase sizedCase(int16_t w, int16_t h, int16_t borderMode, int16_t borderWidth) {
    MosaicCase mc;
    mc.width = w;
    mc.height = h;
    mc.tileWidth = static_cast<int16_t>(w > 24 ? 12 : 1);
    mc.tileHeight = static_cast<int16_t>(h > 24 ? 10 : 1);
    mc.tileCols = static_cast<int16_t>(w % mc.tileWidth == 0 ? w / mc.tileWidth : w / mc.tileWidth + 2);
    mc.tileRows = static_cast<int16_t>(h % mc.tileHeight == 0 ? h / mc.tileHeight : h / mc.tileHeight + 2);
    mc.splitRemainder = 1;
    mc.borderMode = borderMode;
    mc.borderWidth = borderWidth;
    mc.borderValue[0] = 30;
    mc.borderValue[1] = 200;
    mc.borderValue[2] = 90;
    mc.shade[0] = 3.0f;
    mc.shade[2] = 1.7f;
    mc.planeBytesExtra = 3 * ref::lcw16(w);  // wide bands reach below the image
    return mc;
}

MosaicCase randomCase(std::mt19937& rng) {
    MosaicCase mc;
    mc.width = static_cast<int16_t>(2 + rng() % 150);
    mc.height = static_cast<int16_t>(2 + rng() % 150);
    mc.tileWidth = static_cast<int16_t>(1 + rng() % (mc.width + 5));
    mc.tileHeight = static_cast<int16_t>(1 + rng() % (mc.height + 5));
    auto pickCount = [&](int16_t d, int16_t t) {
        if (d % t == 0) return static_cast<int16_t>(rng() % (d / t + 1));
        return static_cast<int16_t>(2 + rng() % (d / t + 1));
    };
    mc.tileCols = pickCount(mc.width, mc.tileWidth);
    mc.tileRows = pickCount(mc.height, mc.tileHeight);
    mc.splitRemainder = static_cast<int16_t>(rng() % 2);
    const int16_t modes[] = {1, 2, 2, 3, 4, 0};
    mc.borderMode = modes[rng() % 6];
    mc.borderWidth = static_cast<int16_t>(rng() % 4 == 0 ? rng() % 60 : rng() % 9);
    for (auto& v : mc.borderValue) v = static_cast<int16_t>(rng() % 256);
    for (auto& s : mc.shade) s = static_cast<float>(rng() % 300) / 100.0f;
    mc.planeBytesExtra = static_cast<int32_t>(rng() % 2 == 0 ? rng() % 2000 : 0);
    return mc;
}

std::vector<MosaicCase> allCases() {
    std::vector<MosaicCase> cases;
    const int16_t sizes[][2] = {{640, 480}, {800, 600}, {320, 240}, {99, 101}, {101, 99}, {352, 288},
                                {128, 96},  {100, 100}, {2, 2},     {3, 2},    {17, 17},  {4, 300}};
    int k = 0;
    for (const auto& s : sizes) {
        const int16_t mode = static_cast<int16_t>(1 + k % 4);
        cases.push_back(sizedCase(s[0], s[1], mode, static_cast<int16_t>(mode == 1 ? 0 : 1 + 4 * (k % 3))));
        ++k;
    }
    std::mt19937 rng(2024);
    for (int i = 0; i < 40; ++i) cases.push_back(randomCase(rng));
    return cases;
}

// ---------------------------------------------------------------------------
// The effect through iPolarMosaicRun0.

TEST(ParallelRunner, EveryRunnerGivesTheBytesOfOneCall) {
    const auto cases = allCases();
    std::mt19937 rng(7);
    for (size_t i = 0; i < cases.size(); ++i) {
        MosaicRun input(cases[i]);
        input.randomize(rng);
        ASSERT_EQ(checkPolarMosaicParam(&input.param), POLARMOSAIC_OK) << harness::describe(cases[i]);
        MosaicRun expected(input);
        iPolarMosaic0(&expected.param);
        ASSERT_NE(expected.diff(input), "") << "the effect wrote nothing: " << harness::describe(cases[i]);

        OrderRunner reverse{OrderRunner::kReverse, std::mt19937(1)};
        OrderRunner shuffled{OrderRunner::kShuffled, std::mt19937(static_cast<uint32_t>(i))};
        ThreadRunner threads{1 + static_cast<int>(i % 8)};
        struct {
            const char* name;
            PolarMosaicRunner runner;
            void* data;
        } runners[] = {{"no runner", nullptr, nullptr},
                       {"reverse order", runInOrder, &reverse},
                       {"random order", runInOrder, &shuffled},
                       {"threads", runOnThreads, &threads}};
        for (const auto& r : runners) {
            MosaicRun actual(input);
            ASSERT_EQ(iPolarMosaicRun0(&actual.param, r.runner, r.data), POLARMOSAIC_OK);
            ASSERT_EQ(actual.diff(expected), "") << r.name << ", " << harness::describe(cases[i]);
        }
    }
}

TEST(ParallelRunner, OneToEightThreadsOnAPhotoSize) {
    MosaicRun input(sizedCase(1024, 768, 2, 5));
    std::mt19937 rng(3);
    input.randomize(rng);
    MosaicRun expected(input);
    iPolarMosaic0(&expected.param);
    for (int threads = 1; threads <= 8; ++threads) {
        ThreadRunner runner{threads};
        MosaicRun actual(input);
        ASSERT_EQ(iPolarMosaicRun0(&actual.param, runOnThreads, &runner), POLARMOSAIC_OK);
        ASSERT_EQ(actual.diff(expected), "") << threads << " threads";
    }
}

TEST(ParallelRunner, FailureIsReported) {
    MosaicRun run(sizedCase(64, 48, 2, 3));
    EXPECT_EQ(iPolarMosaicRun0(&run.param, runnerThatFails, nullptr), POLARMOSAIC_RUNNER_FAILED);
}

// ---------------------------------------------------------------------------
// The stage functions, composed by hand as the header documents, each range
// split at random points (from one row per piece up to the whole range) and
// the pieces run in random order.

// Random cut points of 0 .. total into pieces, in shuffled order.
std::vector<std::pair<int32_t, int32_t>> randomSplit(int32_t total, std::mt19937& rng) {
    std::vector<std::pair<int32_t, int32_t>> pieces;
    const int style = static_cast<int>(rng() % 3);  // whole, single rows, random lengths
    for (int32_t first = 0; first < total;) {
        int32_t length = style == 0 ? total : style == 1 ? 1 : 1 + static_cast<int32_t>(rng() % 40);
        const int32_t end = std::min(total, first + length);
        pieces.push_back({first, end});
        first = end;
    }
    std::shuffle(pieces.begin(), pieces.end(), rng);
    return pieces;
}

void runSplit(int32_t total, std::mt19937& rng, const std::function<int(int32_t, int32_t)>& stage) {
    for (const auto& piece : randomSplit(total, rng))
        ASSERT_EQ(stage(piece.first, piece.second), POLARMOSAIC_OK);
}

void composeFromStages(PolarMosaicParam& p, std::mt19937& rng) {
    const int16_t w = p.width;
    const int16_t h = p.height;
    const int16_t line = lcw16(w);
    PolarMapParam forward{};
    forward.zoom = 1.0f;
    forward.lineBytes = line;
    forward.width = w;
    forward.height = h;
    forward.wrap = 1;
    for (int c = 0; c < 3; ++c) {
        forward.srcPlane[c] = p.inPlane[c];
        forward.dstPlane[c] = p.outPlane[c];
    }
    runSplit(h, rng, [&](int32_t a, int32_t b) { return iPolar2CartesianRows0(&forward, a, b); });

    PolarTileGrid grid;
    ASSERT_EQ(iTileGrid0(&p, &grid), POLARMOSAIC_OK);
    runSplit(grid.tileRows, rng, [&](int32_t a, int32_t b) { return iTileAverageRows0(&p, &grid, a, b); });
    if (p.borderMode != POLARMOSAIC_BORDER_NONE && p.borderWidth > 0) {
        ASSERT_EQ(iBorderRamps0(&p), POLARMOSAIC_OK);
        runSplit(h, rng, [&](int32_t a, int32_t b) { return iBorderRows0(&p, &grid, a, b); });
    }

    TurnParam turn{};
    for (int c = 0; c < 3; ++c) {
        turn.srcPlane[c] = p.inPlane[c];
        turn.dstPlane[c] = p.outPlane[c];
    }
    turn.srcWidth = w;
    turn.srcLineBytes = line;
    turn.srcHeight = h;
    turn.turnMode = POLARMOSAIC_TURN_CW;
    turn.dstLineBytes = h;
    runSplit(w, rng, [&](int32_t a, int32_t b) { return iTurnRows0(&turn, a, b); });

    PolarMapParam inverse = forward;
    inverse.lineBytes = h;
    inverse.width = h;
    inverse.height = w;
    for (int c = 0; c < 3; ++c) {
        inverse.srcPlane[c] = p.outPlane[c];
        inverse.dstPlane[c] = p.inPlane[c];
    }
    runSplit(w, rng, [&](int32_t a, int32_t b) { return iCartesian2PolarRows0(&inverse, a, b); });

    TurnParam back{};
    for (int c = 0; c < 3; ++c) {
        back.srcPlane[c] = p.inPlane[c];
        back.dstPlane[c] = p.outPlane[c];
    }
    back.srcWidth = h;
    back.srcLineBytes = h;
    back.srcHeight = w;
    back.dstLineBytes = line;
    runSplit(h, rng, [&](int32_t a, int32_t b) { return iTurnRows1(&back, a, b); });
}

TEST(Stages, AnySplitOfTheRangesGivesTheBytesOfOneCall) {
    const auto cases = allCases();
    std::mt19937 rng(99);
    for (size_t i = 0; i < cases.size(); ++i) {
        MosaicRun input(cases[i]);
        input.randomize(rng);
        MosaicRun expected(input);
        iPolarMosaic0(&expected.param);
        for (int attempt = 0; attempt < 3; ++attempt) {
            MosaicRun actual(input);
            composeFromStages(actual.param, rng);
            ASSERT_EQ(actual.diff(expected), "")
                << "attempt " << attempt << ", " << harness::describe(cases[i]);
        }
    }
}

// The turns on their own, every mode, against a plain copy loop.
TEST(Stages, TurnRowsMoveEachByteWhereTheTurnSays) {
    std::mt19937 rng(5);
    const int16_t sizes[][2] = {{1, 1}, {5, 3}, {16, 16}, {37, 70}, {100, 33}};
    for (const auto& s : sizes) {
        const int16_t w = s[0], h = s[1];
        for (int mode = 0; mode <= 3; ++mode) {  // 3: the transposing copy
            const bool half = mode == POLARMOSAIC_TURN_HALF;
            const int16_t srcLine = static_cast<int16_t>(w + 3);
            const int16_t dstLine = static_cast<int16_t>(half ? srcLine : h + 5);
            const int32_t dstRows = half ? h : w;
            std::vector<uint8_t> src[3], dst[3];
            TurnParam turn{};
            for (int c = 0; c < 3; ++c) {
                src[c].resize(static_cast<size_t>(h) * srcLine);
                harness::fillRandom(src[c], rng);
                dst[c].assign(static_cast<size_t>(dstRows) * dstLine, 0xEE);
                turn.srcPlane[c] = src[c].data();
                turn.dstPlane[c] = dst[c].data();
            }
            turn.srcWidth = w;
            turn.srcLineBytes = srcLine;
            turn.srcHeight = h;
            turn.turnMode = static_cast<int16_t>(mode == 3 ? 0 : mode);
            turn.dstLineBytes = dstLine;
            runSplit(dstRows, rng, [&](int32_t a, int32_t b) {
                return mode == 3 ? iTurnRows1(&turn, a, b) : iTurnRows0(&turn, a, b);
            });
            for (int c = 0; c < 3; ++c) {
                for (int y = 0; y < h; ++y) {
                    for (int x = 0; x < w; ++x) {
                        size_t d;
                        if (mode == 0)
                            d = static_cast<size_t>(w - 1 - x) * dstLine + y;
                        else if (mode == 1)
                            d = static_cast<size_t>(h - 1 - y) * dstLine + (w - 1 - x);
                        else if (mode == 2)
                            d = static_cast<size_t>(x) * dstLine + (h - 1 - y);
                        else
                            d = static_cast<size_t>(x) * dstLine + y;
                        ASSERT_EQ(dst[c][d], src[c][static_cast<size_t>(y) * srcLine + x])
                            << "mode " << mode << " " << w << "x" << h << " at " << x << "," << y;
                    }
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Refusals: each returns its reason and writes nothing.

TEST(Stages, RefusedCallsNameTheReasonAndWriteNothing) {
    MosaicRun base(sizedCase(40, 30, 2, 5));
    std::mt19937 rng(11);
    base.randomize(rng);
    PolarTileGrid grid;  // laid out in base's arrays, which outlive every case
    ASSERT_EQ(iTileGrid0(&base.param, &grid), POLARMOSAIC_OK);
    PolarMapParam map{};
    map.zoom = 1.0f;
    map.width = 40;
    map.height = 30;
    map.lineBytes = 48;
    int16_t tooWide[] = {20, 21};
    int16_t zeroWide[] = {0, 40};
    PolarTileGrid outside = {tooWide, grid.tileHeights, 2, grid.tileRows};
    PolarTileGrid empty = {zeroWide, grid.tileHeights, 2, grid.tileRows};
    struct Case {
        const char* name;
        int expected;
        std::function<int(MosaicRun&)> call;
    } cases[] = {
        {"forward rows past the end", POLARMOSAIC_BAD_RANGE,
         [&](MosaicRun& r) {
             for (int c = 0; c < 3; ++c) map.srcPlane[c] = r.in(c), map.dstPlane[c] = r.out(c);
             return iPolar2CartesianRows0(&map, 0, 31);
         }},
        {"inverse rows before the start", POLARMOSAIC_BAD_RANGE,
         [&](MosaicRun& r) {
             for (int c = 0; c < 3; ++c) map.srcPlane[c] = r.in(c), map.dstPlane[c] = r.out(c);
             return iCartesian2PolarRows0(&map, -1, 3);
         }},
        {"inverse without a plane", POLARMOSAIC_NULL_PLANE,
         [&](MosaicRun& r) {
             for (int c = 0; c < 3; ++c) map.srcPlane[c] = r.in(c), map.dstPlane[c] = r.out(c);
             map.dstPlane[1] = nullptr;
             const int status = iCartesian2PolarRows0(&map, 0, 30);
             map.dstPlane[1] = r.out(1);
             return status;
         }},
        {"tiles past the image", POLARMOSAIC_BAD_TILE_GRID,
         [&](MosaicRun& r) { return iTileAverageRows0(&r.param, &outside, 0, outside.tileRows); }},
        {"a tile of no width", POLARMOSAIC_BAD_TILE_GRID,
         [&](MosaicRun& r) { return iTileAverageRows0(&r.param, &empty, 0, empty.tileRows); }},
        {"tile rows past the grid", POLARMOSAIC_BAD_RANGE,
         [&](MosaicRun& r) { return iTileAverageRows0(&r.param, &grid, 0, grid.tileRows + 1); }},
        {"border rows past the image", POLARMOSAIC_BAD_RANGE,
         [&](MosaicRun& r) { return iBorderRows0(&r.param, &grid, 0, 31); }},
        {"borders without ramps", POLARMOSAIC_NULL_RAMP,
         [&](MosaicRun& r) {
             r.param.ramp[7] = nullptr;
             return iBorderRows0(&r.param, &grid, 0, 30);
         }},
        {"turn mode 3", POLARMOSAIC_BAD_TURN_MODE,
         [&](MosaicRun& r) {
             TurnParam t{};
             for (int c = 0; c < 3; ++c) t.srcPlane[c] = r.in(c), t.dstPlane[c] = r.out(c);
             t.srcWidth = 40, t.srcLineBytes = 48, t.srcHeight = 30, t.turnMode = 3, t.dstLineBytes = 30;
             return iTurnRows0(&t, 0, 40);
         }},
        {"transpose into rows too short", POLARMOSAIC_BAD_LINE_BYTES,
         [&](MosaicRun& r) {
             TurnParam t{};
             for (int c = 0; c < 3; ++c) t.srcPlane[c] = r.in(c), t.dstPlane[c] = r.out(c);
             t.srcWidth = 40, t.srcLineBytes = 48, t.srcHeight = 30, t.dstLineBytes = 29;
             return iTurnRows1(&t, 0, 40);
         }},
        {"effect with a line width off lcw16", POLARMOSAIC_BAD_LINE_BYTES,
         [&](MosaicRun& r) {
             r.param.lineBytes = 40;
             return iPolarMosaicRun0(&r.param, nullptr, nullptr);
         }},
        {"effect with too many tile columns", POLARMOSAIC_BAD_TILE_COUNT,
         [&](MosaicRun& r) {
             r.param.tileCols = 40 / r.param.tileWidth + 3;
             return iPolarMosaicRun0(&r.param, nullptr, nullptr);
         }},
        {"effect with planes too small", POLARMOSAIC_PLANE_TOO_SMALL,
         [&](MosaicRun& r) {
             r.param.planeBytes = 30 * 48 - 1;
             return iPolarMosaicRun0(&r.param, nullptr, nullptr);
         }},
        {"effect one pixel wide", POLARMOSAIC_BAD_SIZE,
         [&](MosaicRun& r) {
             r.param.width = 1;
             r.param.lineBytes = 16;
             return iPolarMosaicRun0(&r.param, nullptr, nullptr);
         }},
        {"effect without tile arrays", POLARMOSAIC_NULL_TILE_ARRAY,
         [&](MosaicRun& r) {
             r.param.tileHeights = nullptr;
             return iPolarMosaicRun0(&r.param, nullptr, nullptr);
         }},
    };
    for (auto& c : cases) {
        MosaicRun run(base);
        const int status = c.call(run);
        EXPECT_EQ(status, c.expected) << c.name << ": " << polarMosaicStatusText(status);
        run.bind();
        EXPECT_EQ(run.diff(base), "") << c.name << " wrote";
    }
    // Every status has its own text.
    std::vector<std::string> texts;
    for (int s = POLARMOSAIC_OK; s <= POLARMOSAIC_RUNNER_FAILED; ++s)
        texts.push_back(polarMosaicStatusText(s));
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(std::unique(texts.begin(), texts.end()), texts.end());
    EXPECT_STREQ(polarMosaicStatusText(-5), "unknown status");
    EXPECT_EQ(polarMosaicVersion(), static_cast<uint32_t>(POLARMOSAIC_VERSION));
}

}  // namespace
