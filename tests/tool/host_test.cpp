// Host layer: tile counts, option and size checks, determinism, and the
// result against a direct call of the module.
#include <cmath>
#include <math.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <polarmosaic/mosaic_host.h>
#include "pixel_checksum.h"
#include "tool_test_support.h"

namespace {

using polarmosaic::CheckImageSize;
using polarmosaic::CheckOptions;
using polarmosaic::CoveringTileCount;
using polarmosaic::MosaicHost;
using polarmosaic::MosaicOptions;

struct CountCase {
    int dimension, tile;
    bool split;
    int expected;
};

TEST(HostTileCount, CoversTheAxisAsDocumented) {
    const CountCase cases[] = {
        {90, 30, true, 3}, {90, 30, false, 3},      {100, 30, true, 5},       {100, 30, false, 4},
        {91, 30, true, 5}, {97, 30, false, 4},      {5, 30, true, 2},         {5, 30, false, 2},
        {2, 1, true, 2},   {32767, 2, true, 16385}, {32752, 16, false, 2047},
    };
    for (const CountCase& c : cases) {
        EXPECT_EQ(CoveringTileCount(c.dimension, c.tile, c.split), c.expected)
            << c.dimension << "/" << c.tile << " split " << c.split;
    }
}

// Whatever the axis, the chosen count lays tiles that are all non-empty and
// add up to the whole axis under the module's layout rules.
TEST(HostTileCount, ChosenCountLeavesNothingUncovered) {
    for (int dimension = 2; dimension <= 130; ++dimension) {
        for (int tile = 1; tile <= 140; tile += (tile < 20 ? 1 : 7)) {
            for (bool split : {false, true}) {
                int count = CoveringTileCount(dimension, tile, split);
                std::vector<int> sizes = pmtest::TileLayout(dimension, tile, count, split);
                int sum = 0;
                for (int s : sizes) {
                    ASSERT_GT(s, 0) << dimension << "/" << tile << " split " << split;
                    sum += s;
                }
                ASSERT_EQ(sum, dimension) << dimension << "/" << tile << " split " << split;
                MosaicOptions options;
                options.geometry = polarmosaic::kGeometryClassic;
                options.tileWidth = tile;
                options.tileHeight = tile;
                options.splitRemainder = split;
                options.tileCols = count;  // an explicit count must also pass
                ASSERT_EQ(CheckOptions(options, dimension, dimension), "");
            }
        }
    }
}

// The ranges the host's messages quote are exactly the counts (1 and up)
// the module's own check accepts, on exact fits and with remainders.
TEST(HostChecks, QuotedTileCountRangesAreTheModules) {
    for (int dimension : {2, 3, 7, 16, 31, 64, 100, 257}) {
        for (int tile : {1, 2, 3, 5, 16, 30, 64, 100, 300}) {
            for (int count = 1; count <= dimension / tile + 4; ++count) {
                PolarMosaicParam p = PolarMosaicParam();
                uint8_t byte = 0;
                int16_t entry = 0;
                for (int c = 0; c < 3; ++c) p.inPlane[c] = p.outPlane[c] = &byte;
                p.tileWidths = p.tileHeights = &entry;
                p.width = static_cast<int16_t>(dimension);
                p.height = 2;
                p.lineBytes = lcw16(p.width);
                p.planeBytes = 2 * p.lineBytes;
                p.tileWidth = static_cast<int16_t>(tile);
                p.tileHeight = 2;
                p.tileCols = static_cast<int16_t>(count);
                p.tileRows = 1;
                p.borderMode = POLARMOSAIC_BORDER_NONE;
                const bool module_accepts = checkPolarMosaicParam(&p) == POLARMOSAIC_OK;
                const bool quoted = count >= polarmosaic::MinTileCount(dimension, tile) &&
                                    count <= polarmosaic::MaxTileCount(dimension, tile);
                ASSERT_EQ(quoted, module_accepts)
                    << "axis " << dimension << ", tile " << tile << ", count " << count;
            }
        }
    }
}

struct SizeCase {
    int width, height;
    bool ok;
};

TEST(HostChecks, ImageSizeLimits) {
    const SizeCase cases[] = {
        {2, 2, true},      {1, 5, false},        {5, 1, false},     {0, 0, false},
        {-3, 10, false},   {32752, 2, true},     {32753, 2, false}, {2, 32767, true},
        {2, 32768, false}, {32752, 32767, true}, {640, 480, true},
    };
    for (const SizeCase& c : cases) {
        std::string reason = CheckImageSize(c.width, c.height);
        EXPECT_EQ(reason.empty(), c.ok) << c.width << " x " << c.height << ": " << reason;
        if (!c.ok) {
            EXPECT_NE(reason.find(std::to_string(c.width) + " x " + std::to_string(c.height)),
                      std::string::npos)
                << reason;
        }
    }
}

struct OptionCase {
    const char* name;
    void (*change)(MosaicOptions*);
    const char* reason;  // nullptr: accepted
};

const OptionCase kOptionCases[] = {
    {"defaults", [](MosaicOptions*) {}, nullptr},
    {"tile width 0", [](MosaicOptions* o) { o->tileWidth = 0; }, "tile width 0"},
    {"tile height -4", [](MosaicOptions* o) { o->tileHeight = -4; }, "tile height -4"},
    {"tile width 32768", [](MosaicOptions* o) { o->tileWidth = 32768; }, "tile width"},
    {"tile width above image", [](MosaicOptions* o) { o->tileWidth = 500; }, nullptr},
    // 100 wide, tile 30: remainder 10, so 2 .. 5 columns.
    {"cols 5",
     [](MosaicOptions* o) {
         o->tileWidth = 30;
         o->tileCols = 5;
     },
     nullptr},
    {"cols 6",
     [](MosaicOptions* o) {
         o->tileWidth = 30;
         o->tileCols = 6;
     },
     "tile columns 6"},
    {"cols 1 with remainder",
     [](MosaicOptions* o) {
         o->tileWidth = 30;
         o->tileCols = 1;
     },
     "allowed 2 .. 5"},
    {"cols -1", [](MosaicOptions* o) { o->tileCols = -1; }, "tile columns -1"},
    // 80 rows, tile 20: exact fit, so 1 .. 4 rows.
    {"rows 4 exact",
     [](MosaicOptions* o) {
         o->tileHeight = 20;
         o->tileRows = 4;
     },
     nullptr},
    {"rows 1 exact",
     [](MosaicOptions* o) {
         o->tileHeight = 20;
         o->tileRows = 1;
     },
     nullptr},
    {"rows 5 exact",
     [](MosaicOptions* o) {
         o->tileHeight = 20;
         o->tileRows = 5;
     },
     "allowed 1 .. 4"},
    {"border mode 0", [](MosaicOptions* o) { o->borderMode = 0; }, "border mode 0"},
    {"border mode 5", [](MosaicOptions* o) { o->borderMode = 5; }, "border mode 5"},
    {"border mode 4", [](MosaicOptions* o) { o->borderMode = 4; }, nullptr},
    {"border width -1", [](MosaicOptions* o) { o->borderWidth = -1; }, "border width -1"},
    {"border width 0", [](MosaicOptions* o) { o->borderWidth = 0; }, nullptr},
    {"border width 1025", [](MosaicOptions* o) { o->borderWidth = 1025; }, "border width 1025"},
    {"colour 256", [](MosaicOptions* o) { o->borderColor[1] = 256; }, "256"},
    {"colour -1", [](MosaicOptions* o) { o->borderColor[2] = -1; }, "-1"},
    {"shade NaN", [](MosaicOptions* o) { o->shade[2] = NAN; }, "ccw shade"},
    {"shade negative", [](MosaicOptions* o) { o->shade[0] = -0.5f; }, "outer shade"},
    {"shade 256", [](MosaicOptions* o) { o->shade[1] = 256.0f; }, "inner shade"},
    {"shade infinite", [](MosaicOptions* o) { o->shade[3] = INFINITY; }, "cw shade"},
    {"shades 0",
     [](MosaicOptions* o) {
         for (float& f : o->shade) f = 0;
     },
     nullptr},
};

TEST(HostChecks, EachOptionProblemIsNamed) {
    for (const OptionCase& c : kOptionCases) {
        MosaicOptions options;
        options.geometry = polarmosaic::kGeometryClassic;
        c.change(&options);
        std::string reason = CheckOptions(options, 100, 80);
        if (!c.reason) {
            EXPECT_EQ(reason, "") << c.name;
        } else {
            EXPECT_NE(reason.find(c.reason), std::string::npos) << c.name << ": got '" << reason << "'";
        }
        // Prepare refuses exactly what the check refuses.
        MosaicHost host;
        std::string error;
        EXPECT_EQ(host.Prepare(100, 80, options, &error), c.reason == nullptr) << c.name;
        EXPECT_EQ(error, reason) << c.name;
    }
}

PolarMosaicParam SettingsFor(const MosaicOptions& o, int width, int height) {
    PolarMosaicParam p = {};
    p.tileWidth = static_cast<int16_t>(o.tileWidth);
    p.tileHeight = static_cast<int16_t>(o.tileHeight);
    p.tileCols = static_cast<int16_t>(
        o.tileCols ? o.tileCols : pmtest::CoveringCount(width, o.tileWidth, o.splitRemainder));
    p.tileRows = static_cast<int16_t>(
        o.tileRows ? o.tileRows : pmtest::CoveringCount(height, o.tileHeight, o.splitRemainder));
    p.splitRemainder = o.splitRemainder;
    p.borderMode = static_cast<int16_t>(o.borderMode);
    p.borderWidth = static_cast<int16_t>(o.borderWidth);
    for (int c = 0; c < 3; ++c) p.borderValue[c] = static_cast<int16_t>(o.borderColor[c]);
    for (int s = 0; s < 4; ++s) p.shade[s] = o.shade[s];
    return p;
}

struct ResultCase {
    int width, height, tile_w, tile_h, mode, border_width;
    bool split;
};

// 101 x 99 and 320 x 240 have pixels the inverse pass skips, which keep
// what the buffers held: the fill before the call decides them.
const ResultCase kResultCases[] = {
    {64, 48, 8, 6, 2, 3, true},     {101, 99, 10, 7, 2, 5, true}, {99, 101, 13, 9, 3, 4, false},
    {320, 240, 17, 30, 4, 5, true}, {2, 2, 1, 1, 1, 0, false},    {37, 5, 40, 2, 2, 1, true},
};

TEST(HostResult, EqualsDirectModuleCallAndRepeats) {
    for (const ResultCase& c : kResultCases) {
        MosaicOptions options;
        options.geometry = polarmosaic::kGeometryClassic;
        options.tileWidth = c.tile_w;
        options.tileHeight = c.tile_h;
        options.borderMode = c.mode;
        options.borderWidth = c.border_width;
        options.splitRemainder = c.split;
        pmtest::Rgb input = pmtest::Pattern(c.width, c.height, 7);
        pmtest::Rgb expected = pmtest::DirectModuleResult(input, SettingsFor(options, c.width, c.height));

        // One host for every thread count: Prepare keeps the buffers and
        // replaces the pool, and the bytes must not change.
        MosaicHost host;
        for (int threads : {1, 2, 3, 8}) {
            options.threads = threads;
            std::string error;
            // Dirty the buffers with another image first: the result must not
            // depend on what an earlier call left behind.
            pmtest::Rgb other = pmtest::Pattern(c.width, c.height, 99 + threads);
            ASSERT_TRUE(host.Prepare(c.width, c.height, options, &error)) << error;
            ASSERT_EQ(host.threads(), threads);
            std::vector<uint8_t> scratch(other.px.size());
            host.Apply(other.px.data(), c.width * 3, scratch.data(), c.width * 3);
            for (int round = 0; round < 2; ++round) {
                pmtest::Rgb got = input;
                host.Apply(got.px.data(), c.width * 3, got.px.data(), c.width * 3);
                EXPECT_TRUE(got == expected)
                    << c.width << " x " << c.height << " threads " << threads << " round " << round;
            }
        }
    }
}

// The module's fitted effect on planes taken from interleaved pixels.
std::vector<uint8_t> DirectFitted(const std::vector<uint8_t>& px, int channels, int width, int height,
                                  const PolarPlanSettings& settings, const MosaicOptions& options) {
    const size_t pixels = static_cast<size_t>(width) * height;
    std::vector<uint8_t> planes[8];
    for (auto& plane : planes) plane.assign(pixels, 0);
    for (size_t i = 0; i < pixels; ++i) {
        for (int k = 0; k < channels; ++k) planes[k][i] = px[i * channels + k];
    }
    size_t head_bytes = polarPlanHeadBytes(&settings);
    std::vector<uint8_t> plan(head_bytes);
    size_t plan_bytes = 0;
    EXPECT_EQ(polarPlanMeasure(&settings, plan.data(), head_bytes, nullptr, nullptr, &plan_bytes),
              POLARMOSAIC_OK);
    plan.resize(plan_bytes);
    EXPECT_EQ(polarPlanBuild(plan.data(), plan_bytes, nullptr, nullptr), POLARMOSAIC_OK);
    std::vector<uint8_t> scratch(polarPlanScratchBytes(plan.data()));
    PolarPlanFrame frame = {};
    for (int k = 0; k < channels; ++k) {
        frame.srcPlane[k] = planes[k].data();
        frame.dstPlane[k] = planes[4 + k].data();
    }
    for (int k = 0; k < 3; ++k) frame.borderValue[k] = static_cast<int16_t>(options.borderColor[k]);
    for (int k = 0; k < 4; ++k) frame.shade[k] = options.shade[k];
    frame.srcLineBytes = frame.dstLineBytes = width;
    EXPECT_EQ(polarPlanFrame(plan.data(), &frame, scratch.data(), scratch.size(), nullptr, nullptr),
              POLARMOSAIC_OK);
    std::vector<uint8_t> out(pixels * channels);
    for (size_t i = 0; i < pixels; ++i) {
        for (int k = 0; k < channels; ++k) out[i * channels + k] = planes[4 + k][i];
    }
    return out;
}

// The fitted geometry through the host: the module's plan and frame on the
// same pixels, with an asymmetric line colour (a channel mix-up shows), the
// centre and angle passed on in the module's units, RGBA kept; a plan that
// only colours change is not built again.
TEST(HostResult, FittedEqualsDirectModuleCall) {
    const struct {
        int width, height, sectors, ring, mode, border_width, centre_x2, centre_y2;
        double angle;
        bool hard;
        int channels;
    } cases[] = {
        {64, 48, 8, 6, 2, 3, -1, -1, 0.0, false, 3},    {101, 99, 10, 7, 2, 5, 10, 180, 30.5, false, 4},
        {99, 101, 13, 9, 3, 4, 196, 0, -90.0, true, 3}, {320, 240, 17, 30, 4, 5, 100, 300, 725.25, false, 3},
        {2, 2, 1, 1, 1, 0, -1, -1, 0.0, false, 4},      {37, 5, 40, 2, 2, 1, 0, 8, 359.9995, true, 3},
    };
    // One thread builds in one walk in the memory of the last plan (kept
    // across the cases, which grow and shrink it); two, measure and build.
    for (int threads : {1, 2}) {
        MosaicHost kept;
        for (const auto& c : cases) {
            MosaicOptions options;
            options.threads = threads;
            options.sectors = c.sectors;
            options.ringWidth = c.ring;
            options.borderMode = c.mode;
            options.borderWidth = c.border_width;
            options.borderColor[0] = 200;
            options.borderColor[1] = 40;
            options.borderColor[2] = 90;
            options.centreX2 = c.centre_x2;
            options.centreY2 = c.centre_y2;
            options.angle = c.angle;
            options.hardEdges = c.hard;
            PolarPlanSettings settings;
            polarPlanDefaults(&settings, c.width, c.height, c.sectors, c.ring, c.mode, c.border_width);
            if (c.centre_x2 >= 0) settings.centreX2 = c.centre_x2;
            if (c.centre_y2 >= 0) settings.centreY2 = c.centre_y2;
            // Degrees to thousandths, rounded, in 0 .. 360000.
            settings.angle = static_cast<int32_t>(
                                 std::lround(std::fmod(std::fmod(c.angle, 360.0) + 360.0, 360.0) * 1000.0)) %
                             360000;
            settings.hardEdges = c.hard;
            std::vector<uint8_t> input = pmtest::Pattern(c.width, c.height * c.channels, 3).px;
            input.resize(static_cast<size_t>(c.width) * c.height * c.channels);
            // With two threads, RGBA cases are opaque: the host then skips the
            // alpha plane, and must give the bytes of the frame with it.
            if (c.channels == 4 && threads == 2) {
                for (size_t i = 3; i < input.size(); i += 4) input[i] = 255;
            }
            const std::vector<uint8_t> expected =
                DirectFitted(input, c.channels, c.width, c.height, settings, options);

            MosaicHost host;
            std::string error;
            ASSERT_TRUE(host.Prepare(c.width, c.height, options, &error)) << error;
            std::vector<uint8_t> got = input;
            const ptrdiff_t stride = static_cast<ptrdiff_t>(c.width) * c.channels;
            host.Apply(got.data(), stride, got.data(), stride, c.channels);
            EXPECT_TRUE(got == expected) << c.width << " x " << c.height << ", " << threads << " threads";
            ASSERT_TRUE(kept.Prepare(c.width, c.height, options, &error)) << error;
            got = input;
            kept.Apply(got.data(), stride, got.data(), stride, c.channels);
            EXPECT_TRUE(got == expected)
                << c.width << " x " << c.height << ", " << threads << " threads, kept";
            // As the tool does while it decodes: the plan built in one walk on
            // another thread (in room for it, or in too little, when it is only
            // measured), the picture taken meanwhile; then a taken picture
            // that Apply is not given must not be used.
            MosaicHost ahead;
            const uint64_t room = threads == 1 ? 4u * c.width * c.height + (1u << 20) : 64u;
            got = input;
            std::thread walk([&] { ahead.BuildPlanHere(c.width, c.height, options, room); });
            ahead.TakePicture(got.data(), stride, c.width, c.height, c.channels);
            walk.join();
            ASSERT_TRUE(ahead.Prepare(c.width, c.height, options, &error)) << error;
            ahead.Apply(got.data(), stride, got.data(), stride, c.channels);
            EXPECT_TRUE(got == expected)
                << c.width << " x " << c.height << ", " << threads << " threads, ahead";
            std::vector<uint8_t> other(input.size(), 77);
            ahead.TakePicture(other.data(), stride, c.width, c.height, c.channels);
            got = input;
            ahead.Apply(got.data(), stride, got.data(), stride, c.channels);
            EXPECT_TRUE(got == expected)
                << c.width << " x " << c.height << ", " << threads << " threads, other";
            options.borderColor[1] = 41;
            ASSERT_TRUE(host.Prepare(c.width, c.height, options, &error)) << error;
            EXPECT_EQ(host.plan_builds(), 1);
            options.angle += 1.0;
            ASSERT_TRUE(host.Prepare(c.width, c.height, options, &error)) << error;
            EXPECT_EQ(host.plan_builds(), 2);
        }
    }
    const struct {
        int sectors, ring, centre_x2;
        const char* reason;
    } bad[] = {{0, 5, -1, "sector count 0"},
               {32753, 5, -1, "sector count 32753"},
               {4, 0, -1, "ring width 0"},
               {4, 5, 99, "centre lies outside"}};
    for (const auto& b : bad) {
        MosaicOptions options;
        options.sectors = b.sectors;
        options.ringWidth = b.ring;
        options.centreX2 = b.centre_x2;
        EXPECT_NE(CheckOptions(options, 50, 40).find(b.reason), std::string::npos) << b.reason;
    }
}

// Lengths and centres as users give them.
TEST(HostSettings, LengthsAndCentresResolveOnThePicture) {
    const struct {
        const char* text;
        bool ok;
        int width, height, pixels;
    } lengths[] = {{"28", true, 100, 100, 28}, {"4%", true, 1024, 768, 26}, {"0.6%", true, 1024, 768, 4},
                   {"12.5", true, 10, 10, 13}, {"0", true, 10, 10, 1},      {"-3", false, 0, 0, 0},
                   {"4 %", false, 0, 0, 0},    {"%", false, 0, 0, 0},       {"1e3", false, 0, 0, 0}};
    for (const auto& l : lengths) {
        polarmosaic::Length length;
        EXPECT_EQ(polarmosaic::ParseLength(l.text, &length), l.ok) << l.text;
        if (l.ok) EXPECT_EQ(polarmosaic::ResolveLength(length, l.width, l.height, 1), l.pixels) << l.text;
    }
    const struct {
        const char* text;
        int width, height, x2, y2;  // x2 -1: refused
    } centres[] = {{"50%,50%", 101, 51, 100, 50}, {"0,0", 10, 10, 0, 0},   {"9,4.5", 10, 10, 18, 9},
                   {"100%,0%", 7, 9, 12, 0},      {"10,3", 10, 10, -1, 0}, {"30%,101%", 10, 10, -1, 0}};
    for (const auto& c : centres) {
        polarmosaic::CentreSpec centre;
        ASSERT_TRUE(polarmosaic::ParseCentre(c.text, &centre)) << c.text;
        int x2 = 0, y2 = 0;
        std::string error;
        const bool ok = polarmosaic::ResolveCentre(centre, c.width, c.height, &x2, &y2, &error);
        EXPECT_EQ(ok, c.x2 >= 0) << c.text << ": " << error;
        if (ok) EXPECT_EQ(x2 * 1000 + y2, c.x2 * 1000 + c.y2) << c.text;
    }
    // No sectors is refused in both geometries, not divided by.
    for (bool classic : {false, true}) {
        polarmosaic::UserSettings settings;
        settings.classic = classic;
        settings.sectors = 0;
        std::string reason;
        polarmosaic::MosaicOptions options = polarmosaic::ResolveSettings(settings, 64, 48, &reason);
        if (reason.empty()) reason = polarmosaic::CheckOptions(options, 64, 48);
        EXPECT_NE(reason.find("sector count 0 is out of range"), std::string::npos)
            << classic << ": " << reason;
    }
}

TEST(HostResult, OneShotFormRefusesWithReason) {
    pmtest::Rgb input = pmtest::Pattern(1, 9, 1);
    std::vector<uint8_t> out;
    std::string error;
    EXPECT_FALSE(polarmosaic::ApplyPolarMosaic(input.px.data(), 1, 9, MosaicOptions(), &out, &error));
    EXPECT_NE(error.find("at least 2 x 2"), std::string::npos) << error;
    EXPECT_TRUE(out.empty());
}

// ------------------------------------------------------------ threads

// Address space in use now, from /proc (0 when unknown).
rlim_t AddressSpaceInUse() {
    FILE* status = fopen("/proc/self/status", "r");
    unsigned long kib = 0;
    char line[256];
    while (status && fgets(line, sizeof(line), status)) {
        if (sscanf(line, "VmSize: %lu kB", &kib) == 1) break;
    }
    if (status) fclose(status);
    return static_cast<rlim_t>(kib) * 1024;
}

// A system that refuses threads (here an address-space limit with room for
// a handful of 8 MiB stacks): the pool and the host run on the threads they
// got, every job exactly once and the bytes unchanged, instead of aborting
// on the refusal or waiting for threads that never started.
TEST(HostThreads, RefusedThreadsAreDoneWithout) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
#endif
    const int width = 97, height = 61;
    pmtest::Rgb input = pmtest::Pattern(width, height, 5);
    MosaicOptions options;
    options.threads = 1;
    pmtest::Rgb expected = input;
    std::string error;
    ASSERT_TRUE(polarmosaic::ApplyPolarMosaic(input.px.data(), width, height, options, &expected.px, &error))
        << error;
    for (int threads : {64, 1024}) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Each failed check is one bit of the exit status; a pool that
            // waits for threads that never started dies of the alarm.
            alarm(30);
            int failed = 0;
            struct rlimit limit;
            limit.rlim_cur = limit.rlim_max = AddressSpaceInUse() + (rlim_t(48) << 20);
            if (AddressSpaceInUse() == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(100);
            {
                polarmosaic::ThreadPool pool(threads);
                if (pool.threads() < 1 || pool.threads() >= threads) failed |= 1;
                const uint32_t count = 5000;
                std::vector<std::atomic<int>> runs(count);
                for (auto& r : runs) r = 0;
                struct Data {
                    std::vector<std::atomic<int>>* runs;
                } data = {&runs};
                pool.Run(
                    &data, [](void* d, uint32_t i) { ++(*static_cast<Data*>(d)->runs)[i]; }, count);
                for (auto& r : runs) failed |= r != 1 ? 2 : 0;
            }
            MosaicHost host;
            options.threads = threads;
            pmtest::Rgb got = input;
            if (!host.Prepare(width, height, options, &error)) {
                failed |= 4;
            } else {
                if (host.threads() >= threads) failed |= 8;
                host.Apply(got.px.data(), width * 3, got.px.data(), width * 3);
                if (!(got == expected)) failed |= 16;
            }
            _exit(failed);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << threads << " threads: killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0) << threads << " threads: failed checks (bits)";
    }
}

// ------------------------------------------------------------ checksum

struct ChecksumCase {
    const char* name;
    int width, height;
    ptrdiff_t stride;      // RGB rows; RGBA rows are 4 / 3 as long
    const char* rows;      // width * 3 bytes per row, rows back to back
    const char* expected;  // FNV-1a 64 of the rows' bytes, published test values
};

// Row padding and alpha never enter the checksum: the pixels are laid out
// with junk padding and junk alpha, and must give the published FNV-1a 64
// value of their RGB bytes alone ("" -> offset basis, "a", "foobar").
TEST(PixelChecksum, FnvOfTheRgbBytesWithoutPaddingOrAlpha) {
    const ChecksumCase cases[] = {
        {"empty", 0, 0, 0, "", "cbf29ce484222325"},
        {"two pixels in a row", 2, 1, 7, "foobar", "85944171f73967e8"},
        {"one pixel per row", 1, 2, 5, "foobar", "85944171f73967e8"},
    };
    for (const ChecksumCase& c : cases) {
        std::vector<uint8_t> rgb(static_cast<size_t>(c.stride) * c.height + 1, 0xEE);
        std::vector<uint8_t> rgba(static_cast<size_t>(c.width) * 4 * c.height + 1, 0x77);
        const char* src = c.rows;
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                for (int k = 0; k < 3; ++k, ++src) {
                    rgb[static_cast<size_t>(y * c.stride + x * 3 + k)] = static_cast<uint8_t>(*src);
                    rgba[static_cast<size_t>((y * c.width + x) * 4 + k)] = static_cast<uint8_t>(*src);
                }
            }
        }
        EXPECT_EQ(
            polarmosaic::ChecksumHex(polarmosaic::PixelChecksum(rgb.data(), c.width, c.height, c.stride)),
            c.expected)
            << c.name;
        EXPECT_EQ(polarmosaic::ChecksumHex(
                      polarmosaic::PixelChecksumRgba(rgba.data(), c.width, c.height, c.width * 4)),
                  c.expected)
            << c.name;
    }
    const uint8_t a = 'a';
    EXPECT_EQ(polarmosaic::ChecksumHex(polarmosaic::ChecksumUpdate(polarmosaic::kChecksumOffsetBasis, &a, 1)),
              "af63dc4c8601ec8c");
}

}  // namespace

// The fitted geometry measured from its output, as a user sets it (lengths in
// per cent through ResolveSettings): on a flat picture with flat ring lines,
// every pixel along the ray from the centre to the right edge is either the
// tile's grey or exactly the line colour given (a channel mix-up shows), and
// consecutive lines lie the rounded ring width apart. 10% of these pictures'
// half-diagonals has a fraction of at least one half, so a truncated width
// is a pixel short.
TEST(HostResult, FittedRingWidthAndLineColourMeasuredFromTheOutput) {
    const struct {
        int width, height;
        double ring_percent;
    } cases[] = {{101, 61, 10.0}, {151, 91, 7.5}, {81, 121, 12.0}};
    const uint8_t grey = 128;
    const int colour[3] = {200, 40, 10};
    for (const auto& c : cases) {
        const double half_diagonal = std::hypot(c.width, c.height) / 2.0;
        const double ring_pixels = c.ring_percent / 100.0 * half_diagonal;
        const int expected_ring = static_cast<int>(std::floor(ring_pixels + 0.5));
        ASSERT_NE(expected_ring, static_cast<int>(ring_pixels)) << "a case where truncation differs";
        polarmosaic::UserSettings settings;
        settings.ring = {c.ring_percent, true};
        settings.line_width_given = true;
        settings.line_width = {1.0, false};
        settings.mosaic.borderMode = polarmosaic::kBorderRings;
        settings.mosaic.hardEdges = true;
        for (int k = 0; k < 3; ++k) settings.mosaic.borderColor[k] = colour[k];
        for (float& shade : settings.mosaic.shade) shade = 0.0f;
        std::string reason;
        const MosaicOptions options = polarmosaic::ResolveSettings(settings, c.width, c.height, &reason);
        ASSERT_EQ(reason, "");
        std::vector<uint8_t> input(static_cast<size_t>(c.width) * c.height * 3, grey), output;
        ASSERT_TRUE(polarmosaic::ApplyPolarMosaic(input.data(), c.width, c.height, options, &output, &reason))
            << reason;
        // The centre is the middle pixel (odd sizes); line runs start where
        // the ray enters the line colour.
        const int y = (c.height - 1) / 2;
        std::vector<int> line_starts;
        bool in_line = false;
        for (int x = (c.width - 1) / 2; x < c.width; ++x) {
            const uint8_t* px = &output[(static_cast<size_t>(y) * c.width + x) * 3];
            const bool line = px[0] == colour[0] && px[1] == colour[1] && px[2] == colour[2];
            const bool tile = px[0] == grey && px[1] == grey && px[2] == grey;
            ASSERT_TRUE(line || tile) << c.width << " x " << c.height << " at x " << x << ": " << int(px[0])
                                      << "," << int(px[1]) << "," << int(px[2]);
            if (line && !in_line) line_starts.push_back(x);
            in_line = line;
        }
        ASSERT_GE(line_starts.size(), 3u) << c.width << " x " << c.height;
        for (size_t i = 1; i < line_starts.size(); ++i) {
            EXPECT_EQ(line_starts[i] - line_starts[i - 1], expected_ring)
                << c.width << " x " << c.height << ", line " << i;
        }
    }
}
