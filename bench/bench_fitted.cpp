// Times the planned fitted geometry (fitted.h, the tool's default) at the
// tool's default settings: 36 sectors, rings 4% and lines 0.6% of the
// half-diagonal in whole pixels, grid lines in 48,48,48, shades 3, 0.3, 3,
// 0.3, smooth edges, centre in the middle; on bench::MakePhoto:
//   Planned/frame/threads:<n>/<size>       polarPlanFrame, the plan kept
//   Planned/plan+frame/threads:<n>/<size>  polarPlanMeasure, polarPlanBuild
//                                          and polarPlanFrame, in memory
//                                          sized beforehand (a host keeps it)
//   Planned/rebuilt+frame/threads:1/<size> polarPlanMeasureAndBuild (one walk
//                                          in that memory, as a host on one
//                                          thread does) and polarPlanFrame
//   Planned/opencv/threads:<n>/<size>      the OpenCV round trip of
//                                          bench_opencv.h, the yardstick
//   Planned/memory/<grid>/<size>           one measure and build on one
//                                          thread; counters plan_B/px,
//                                          scratch_B/px (defaults, and the
//                                          finest grid: 720 sectors, rings
//                                          of 1 pixel, no lines)
// One thread is the caller's (NULL runner); two threads go through
// polarmosaic::ThreadPool. Times are wall time with the CPU time of the
// whole process beside it.
//
// Every frame run compares its output with a frame made on one thread
// (plan and frame with the NULL runner); a difference, or any call that
// does not return POLARMOSAIC_OK, ends the program at once with exit
// status 1 and a message on stderr.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench_images.h"
#include "bench_opencv.h"
#include <polarmosaic/fitted.h>
#include "mosaic_host.h"
#include <polarmosaic/polarmosaic.h>
#include "thread_pool.h"

namespace {

struct Size {
    int width;
    int height;
};

std::string SizeName(const Size& s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

[[noreturn]] void Fail(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "\npolarmosaic_bench: FAILED: %s\n", what.c_str());
    std::fflush(stderr);
    std::exit(1);
}

void Check(int status, const std::string& call) {
    if (status != POLARMOSAIC_OK) Fail(call + " returned " + polarMosaicStatusText(status));
}

// The tool's default settings on a width x height picture.
PolarPlanSettings DefaultSettings(const Size& s) {
    const int ring = polarmosaic::ResolveLength(polarmosaic::kDefaultRing, s.width, s.height, 1);
    const int line = polarmosaic::ResolveLength(polarmosaic::kDefaultLineWidth, s.width, s.height, 0);
    PolarPlanSettings settings;
    polarPlanDefaults(&settings, s.width, s.height, polarmosaic::kDefaultSectors, ring,
                      POLARMOSAIC_BORDER_GRID, line);
    return settings;
}

// The finest grid: 720 sectors, rings of one pixel, no lines.
PolarPlanSettings FinestSettings(const Size& s) {
    PolarPlanSettings settings;
    polarPlanDefaults(&settings, s.width, s.height, 720, 1, POLARMOSAIC_BORDER_NONE, 0);
    return settings;
}

// A plan's memory, sized once (measured on this thread) and then reused by
// every build, as a host keeps it.
struct Plan {
    PolarPlanSettings settings;
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    std::vector<uint8_t> scratch;

    explicit Plan(const PolarPlanSettings& s) : settings(s) {
        const size_t head = polarPlanHeadBytes(&settings);
        if (head == 0) Fail("polarPlanHeadBytes refused the settings");
        std::unique_ptr<uint8_t[]> measured(new uint8_t[head]);
        Check(polarPlanMeasure(&settings, measured.get(), head, nullptr, nullptr, &size), "polarPlanMeasure");
        bytes.reset(new uint8_t[size]);
        scratch.assign(polarPlanScratchBytes(measured.get()), 0);
    }

    // Measures and builds the plan in place.
    void Build(PolarMosaicRunner runner, void* runner_data) {
        size_t measured = 0;
        Check(polarPlanMeasure(&settings, bytes.get(), size, runner, runner_data, &measured),
              "polarPlanMeasure");
        if (measured != size) Fail("the plan measured a different size on another thread count");
        Check(polarPlanBuild(bytes.get(), size, runner, runner_data), "polarPlanBuild");
    }

    // Measures and builds the plan in place in one walk, on this thread.
    void BuildInOneWalk() {
        size_t built = 0;
        Check(polarPlanMeasureAndBuild(&settings, bytes.get(), size, &built), "polarPlanMeasureAndBuild");
        if (built != size) Fail("the plan built in one walk has a different size");
    }
};

// The picture and the output planes of one frame, at the tool's colours.
struct FrameCall {
    bench::Planes input;
    std::vector<uint8_t> out[3];
    PolarPlanFrame frame{};

    explicit FrameCall(const Size& s) {
        const int line_bytes = lcw16(static_cast<int16_t>(s.width));
        input = bench::MakePhoto(s.width, s.height, line_bytes);
        for (int c = 0; c < 3; ++c) {
            out[c].assign(input.plane[c].size(), 0);
            frame.srcPlane[c] = input.plane[c].data();
            frame.dstPlane[c] = out[c].data();
            frame.borderValue[c] = 48;
        }
        frame.srcLineBytes = line_bytes;
        frame.dstLineBytes = line_bytes;
        const float shade[4] = {3.0f, 0.3f, 3.0f, 0.3f};
        for (int k = 0; k < 4; ++k) frame.shade[k] = shade[k];
    }

    void Run(const Plan& plan, PolarMosaicRunner runner, void* runner_data) {
        Check(polarPlanFrame(plan.bytes.get(), &frame, const_cast<uint8_t*>(plan.scratch.data()),
                             plan.scratch.size(), runner, runner_data),
              "polarPlanFrame");
    }
};

// The output of one size made on one thread: the plan and the frame with
// the NULL runner.
const FrameCall& Reference(const Size& s) {
    static std::map<std::pair<int, int>, std::unique_ptr<FrameCall>> made;
    std::unique_ptr<FrameCall>& call = made[{s.width, s.height}];
    if (!call) {
        Plan plan(DefaultSettings(s));
        plan.Build(nullptr, nullptr);
        call.reset(new FrameCall(s));
        call->Run(plan, nullptr, nullptr);
    }
    return *call;
}

// Ends the program when the frame's output differs from the one-thread frame.
void CheckSameBytes(const FrameCall& call, const Size& s, int threads, const char* what) {
    const FrameCall& reference = Reference(s);
    const size_t line = static_cast<size_t>(call.frame.dstLineBytes);
    for (int c = 0; c < 3; ++c) {
        for (int y = 0; y < s.height; ++y) {
            for (int x = 0; x < s.width; ++x) {
                const size_t at = static_cast<size_t>(y) * line + static_cast<size_t>(x);
                if (call.out[c][at] != reference.out[c][at]) {
                    Fail(std::string(what) + " on " + std::to_string(threads) + " threads at " + SizeName(s) +
                         " differs from the one-thread frame: first at x " + std::to_string(x) + ", y " +
                         std::to_string(y) + ", channel " + std::to_string(c) + " (" +
                         std::to_string(call.out[c][at]) + " against " +
                         std::to_string(reference.out[c][at]) + ")");
                }
            }
        }
    }
}

// One thread: the caller's (NULL runner); more: a pool of that many.
struct Threads {
    std::unique_ptr<polarmosaic::ThreadPool> pool;
    PolarMosaicRunner runner = nullptr;

    explicit Threads(int count) {
        if (count > 1) {
            pool.reset(new polarmosaic::ThreadPool(count));
            runner = polarmosaic::ThreadPool::Runner;
        }
    }
    void* data() { return pool.get(); }
};

void SetCounters(benchmark::State& state, const Size& s, const Plan& plan) {
    const double pixels = static_cast<double>(s.width) * s.height;
    state.counters["MPix/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * pixels / 1e6,
                                                  benchmark::Counter::kIsRate);
    state.counters["plan_B/px"] = static_cast<double>(plan.size) / pixels;
}

void BM_Frame(benchmark::State& state, Size s, int threads) {
    Threads t(threads);
    Plan plan(DefaultSettings(s));
    plan.Build(t.runner, t.data());
    FrameCall call(s);
    for (auto _ : state) {
        call.Run(plan, t.runner, t.data());
        benchmark::DoNotOptimize(call.out[0].data());
        benchmark::ClobberMemory();
    }
    CheckSameBytes(call, s, threads, "the frame with the plan kept");
    SetCounters(state, s, plan);
}

void BM_PlanFrame(benchmark::State& state, Size s, int threads) {
    Threads t(threads);
    Plan plan(DefaultSettings(s));
    FrameCall call(s);
    for (auto _ : state) {
        plan.Build(t.runner, t.data());
        call.Run(plan, t.runner, t.data());
        benchmark::DoNotOptimize(call.out[0].data());
        benchmark::ClobberMemory();
    }
    CheckSameBytes(call, s, threads, "the plan and frame");
    SetCounters(state, s, plan);
}

void BM_RebuiltFrame(benchmark::State& state, Size s) {
    Plan plan(DefaultSettings(s));
    FrameCall call(s);
    for (auto _ : state) {
        plan.BuildInOneWalk();
        call.Run(plan, nullptr, nullptr);
        benchmark::DoNotOptimize(call.out[0].data());
        benchmark::ClobberMemory();
    }
    CheckSameBytes(call, s, 1, "the plan built in one walk and frame");
    SetCounters(state, s, plan);
}

void BM_Memory(benchmark::State& state, Size s, bool finest) {
    Plan plan(finest ? FinestSettings(s) : DefaultSettings(s));
    for (auto _ : state) {
        plan.Build(nullptr, nullptr);
        benchmark::ClobberMemory();
    }
    const double pixels = static_cast<double>(s.width) * s.height;
    state.counters["plan_B/px"] = static_cast<double>(plan.size) / pixels;
    state.counters["scratch_B/px"] = static_cast<double>(plan.scratch.size()) / pixels;
    state.counters["plan_bytes"] = static_cast<double>(plan.size);
    state.counters["tiles"] = polarPlanTiles(plan.bytes.get());
}

#if POLARMOSAIC_BENCH_OPENCV
void BM_OpenCv(benchmark::State& state, Size s, int threads) {
    bench::OpenCvRoundTrip(state, s.width, s.height, threads);
}
#endif

benchmark::internal::Benchmark* Timed(benchmark::internal::Benchmark* b) {
    return b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
}

int RegisterPlanned() {
    const Size sizes[] = {{1024, 768}, {1920, 1080}, {4000, 3000}};
    for (const Size& s : sizes) {
        const std::string size = SizeName(s);
        for (int threads = 1; threads <= 2; ++threads) {
            const std::string t = "/threads:" + std::to_string(threads) + "/" + size;
            Timed(benchmark::RegisterBenchmark(("Planned/frame" + t).c_str(), BM_Frame, s, threads));
            Timed(benchmark::RegisterBenchmark(("Planned/plan+frame" + t).c_str(), BM_PlanFrame, s, threads));
            if (threads == 1)
                Timed(
                    benchmark::RegisterBenchmark(("Planned/rebuilt+frame" + t).c_str(), BM_RebuiltFrame, s));
#if POLARMOSAIC_BENCH_OPENCV
            Timed(benchmark::RegisterBenchmark(("Planned/opencv" + t).c_str(), BM_OpenCv, s, threads));
#endif
        }
        for (int finest = 0; finest <= 1; ++finest) {
            Timed(benchmark::RegisterBenchmark(
                      ("Planned/memory/" + std::string(finest ? "finest/" : "defaults/") + size).c_str(),
                      BM_Memory, s, finest != 0))
                ->Iterations(1);
        }
    }
    return 0;
}

const int kRegistered = RegisterPlanned();

}  // namespace
