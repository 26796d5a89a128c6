// Times the polar mosaic effect and each public stage at three picture
// sizes, with borders on and off:
//   Effect/<impl>/<size>/borders:<0|1>   the whole effect, one thread
//   Effect/module/threads:<n>/<size>/borders:1   through the thread pool
//   Stage/<stage>/<impl>/<size>          forward pass, quarter turn, inverse
//                                         pass, transposing copy
// where <impl> is `module` (this library) or `straightforward` (the plain
// passes of the test suite, one sine and cosine, one root and arctangent per
// pixel). When OpenCV is installed, OpenCV/roundtrip/threads:<1|default>/<size>
// times warpPolar forward (linear), the tile mean by area resize and
// warpPolar inverse, on one thread and on OpenCV's default thread count.
// Times are wall time, with the CPU time of all threads beside it. Every benchmark reports time per call and
// megapixels per second (of the picture, width x height).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench_images.h"
#include "bench_opencv.h"
#include <polarmosaic/polarmosaic.h>
#include "thread_pool.h"
#include "support/reference.h"

#if POLARMOSAIC_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

struct Size {
    int width;
    int height;
};

const Size kSizes[] = {{640, 480}, {1024, 768}, {1920, 1080}};

std::string SizeName(const Size& s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

// Tiles of about 1/32 of the angle range by 1/24 of the radius range; the
// remainder split between the first and last tile, as a host typically does.
int16_t TileCount(int dim, int tile) {
    return static_cast<int16_t>(dim % tile == 0 ? dim / tile : dim / tile + 2);
}

// The caller's side of one effect call: input picture, the two plane sets,
// tile arrays and ramps, and the record pointing at them.
struct EffectCall {
    bench::Planes input;
    std::vector<uint8_t> in[3], out[3];
    std::vector<int16_t> tileWidths, tileHeights;
    std::vector<uint8_t> ramps[12];
    PolarMosaicParam param{};

    EffectCall(const Size& s, bool borders) {
        const int lineBytes = lcw16(static_cast<int16_t>(s.width));
        input = bench::MakePhoto(s.width, s.height, lineBytes);
        const size_t bytes = static_cast<size_t>(lineBytes) * s.height;
        for (int c = 0; c < 3; ++c) {
            in[c] = input.plane[c];
            out[c].assign(bytes, 0);
            param.inPlane[c] = in[c].data();
            param.outPlane[c] = out[c].data();
        }
        param.planeBytes = static_cast<int32_t>(bytes);
        param.width = static_cast<int16_t>(s.width);
        param.height = static_cast<int16_t>(s.height);
        param.lineBytes = static_cast<int16_t>(lineBytes);
        param.tileWidth = static_cast<int16_t>(s.width / 32);
        param.tileHeight = static_cast<int16_t>(s.height / 24);
        param.tileCols = TileCount(s.width, param.tileWidth);
        param.tileRows = TileCount(s.height, param.tileHeight);
        param.splitRemainder = 1;
        tileWidths.assign(static_cast<size_t>(param.tileCols) + 1, 0);
        tileHeights.assign(static_cast<size_t>(param.tileRows) + 1, 0);
        param.tileWidths = tileWidths.data();
        param.tileHeights = tileHeights.data();
        param.borderMode = borders ? 2 : 1;
        param.borderWidth = borders ? 5 : 0;
        const int16_t colour[3] = {32, 28, 24};
        for (int c = 0; c < 3; ++c) param.borderValue[c] = colour[c];
        const float shade[4] = {1.6f, 0.5f, 1.3f, 0.7f};
        for (int k = 0; k < 4; ++k) param.shade[k] = shade[k];
        for (int k = 0; k < 12; ++k) {
            ramps[k].assign(8, 0);
            param.ramp[k] = ramps[k].data();
        }
    }

    // The effect uses the input planes as scratch: put the picture back.
    void Restore() {
        for (int c = 0; c < 3; ++c) std::memcpy(in[c].data(), input.plane[c].data(), in[c].size());
    }
};

void SetRate(benchmark::State& state, const Size& s) {
    state.counters["MPix/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * s.width * s.height / 1e6, benchmark::Counter::kIsRate);
}

// threads 0: iPolarMosaic0 on this thread; otherwise iPolarMosaicRun0 with a
// pool of that many threads (this one included).
template <bool kStraightforward>
void BM_Effect(benchmark::State& state, Size s, bool borders, int threads) {
    EffectCall call(s, borders);
    polarmosaic::ThreadPool pool(threads > 0 ? threads : 1);
    for (auto _ : state) {
        state.PauseTiming();
        call.Restore();
        state.ResumeTiming();
        if (kStraightforward) {
            ref::polarMosaic(&call.param);
        } else if (threads == 0) {
            iPolarMosaic0(&call.param);
        } else {
            iPolarMosaicRun0(&call.param, polarmosaic::ThreadPool::Runner, &pool);
        }
        benchmark::DoNotOptimize(call.out[0].data());
        benchmark::ClobberMemory();
    }
    SetRate(state, s);
}

enum class Stage { kForward, kTurn0, kInverse, kTurn1 };

// Each stage runs on the data it meets inside the effect: the forward pass on
// the picture, the quarter turn on the polar image, the inverse pass on the
// turned polar image and the transposing copy on its result.
template <bool kStraightforward>
void BM_Stage(benchmark::State& state, Size s, Stage stage) {
    EffectCall call(s, true);
    const int16_t w = call.param.width, h = call.param.height, line = call.param.lineBytes;
    PolarMapParam forward{};
    forward.zoom = 1.0f;
    forward.lineBytes = line;
    forward.width = w;
    forward.height = h;
    forward.wrap = 1;
    TurnParam turn{};
    turn.srcWidth = w;
    turn.srcLineBytes = line;
    turn.srcHeight = h;
    turn.turnMode = 2;
    turn.dstWidth = h;
    turn.dstLineBytes = h;
    turn.dstHeight = w;
    PolarMapParam inverse = forward;
    inverse.lineBytes = h;
    inverse.width = h;
    inverse.height = w;
    TurnParam back{};
    back.srcWidth = h;
    back.srcLineBytes = h;
    back.srcHeight = w;
    back.dstWidth = w;
    back.dstLineBytes = line;
    back.dstHeight = h;
    for (int c = 0; c < 3; ++c) {
        forward.srcPlane[c] = call.in[c].data();
        forward.dstPlane[c] = call.out[c].data();
        turn.srcPlane[c] = call.out[c].data();
        turn.dstPlane[c] = call.in[c].data();
        inverse.srcPlane[c] = call.in[c].data();
        inverse.dstPlane[c] = call.out[c].data();
        back.srcPlane[c] = call.out[c].data();
        back.dstPlane[c] = call.in[c].data();
    }
    // Bring the buffers to the stage's input.
    iPolar2Cartesian0(&forward);
    if (stage != Stage::kForward) iTurn0(&turn);
    if (stage == Stage::kTurn1) iCartesian2Polar0(&inverse);
    if (stage == Stage::kTurn0) {
        // iTurn0 reads the polar image in `out`; its destination `in` is
        // scratch from here on.
    }
    for (auto _ : state) {
        switch (stage) {
            case Stage::kForward:
                kStraightforward ? (void)ref::polar2Cartesian(&forward) : iPolar2Cartesian0(&forward);
                break;
            case Stage::kTurn0:
                kStraightforward ? ref::turn0(&turn) : iTurn0(&turn);
                break;
            case Stage::kInverse:
                kStraightforward ? (void)ref::cartesian2Polar(&inverse) : iCartesian2Polar0(&inverse);
                break;
            case Stage::kTurn1:
                kStraightforward ? ref::turn1(&back) : iTurn1(&back);
                break;
        }
        benchmark::ClobberMemory();
    }
    SetRate(state, s);
}

#if POLARMOSAIC_BENCH_OPENCV
}  // namespace

namespace bench {

// The same round trip with OpenCV: warpPolar forward with linear
// interpolation into a polar image of the picture's pixel count, the tile
// mean as an area resize down to the tile grid and back up, warpPolar
// inverse. Interleaved BGR; `threads` threads, or OpenCV's default (0).
void OpenCvRoundTrip(benchmark::State& state, int width, int height, int threads) {
    cv::setNumThreads(threads > 0 ? threads : -1);  // -1: back to OpenCV's default
    const Size s = {width, height};
    const int lineBytes = lcw16(static_cast<int16_t>(s.width));
    const bench::Planes photo = bench::MakePhoto(s.width, s.height, lineBytes);
    cv::Mat src(s.height, s.width, CV_8UC3);
    for (int y = 0; y < s.height; ++y) {
        for (int x = 0; x < s.width; ++x) {
            const size_t at = static_cast<size_t>(y) * lineBytes + x;
            src.at<cv::Vec3b>(y, x) = cv::Vec3b(photo.plane[0][at], photo.plane[1][at], photo.plane[2][at]);
        }
    }
    const cv::Point2f centre(static_cast<float>(s.width) / 2.0f, static_cast<float>(s.height) / 2.0f);
    const double maxRadius = 0.8 * (s.height - 1);
    const cv::Size polarSize(s.height, s.width);  // radius along rows, angle down columns
    const cv::Size grid(s.height / (s.height / 24), s.width / (s.width / 32));
    cv::Mat polar, small, tiled, result;
    for (auto _ : state) {
        cv::warpPolar(src, polar, polarSize, centre, maxRadius, cv::INTER_LINEAR | cv::WARP_POLAR_LINEAR);
        cv::resize(polar, small, grid, 0, 0, cv::INTER_AREA);
        cv::resize(small, tiled, polarSize, 0, 0, cv::INTER_NEAREST);
        cv::warpPolar(tiled, result, src.size(), centre, maxRadius,
                      cv::INTER_LINEAR | cv::WARP_POLAR_LINEAR | cv::WARP_INVERSE_MAP);
        benchmark::DoNotOptimize(result.data);
        benchmark::ClobberMemory();
    }
    SetRate(state, s);
}

}  // namespace bench

namespace {

void BM_OpenCvRoundTrip(benchmark::State& state, Size s, int threads) {
    bench::OpenCvRoundTrip(state, s.width, s.height, threads);
}
#endif

// Wall time and the CPU time of the whole process (every thread), so that
// threaded runs compare fairly.
benchmark::internal::Benchmark* Timed(benchmark::internal::Benchmark* b) {
    return b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
}

void RegisterAll() {
    for (const Size& s : kSizes) {
        const std::string size = SizeName(s);
        for (int borders = 0; borders <= 1; ++borders) {
            const std::string suffix = size + "/borders:" + std::to_string(borders);
            Timed(benchmark::RegisterBenchmark(("Effect/module/" + suffix).c_str(), BM_Effect<false>, s,
                                               borders != 0, 0));
            Timed(benchmark::RegisterBenchmark(("Effect/straightforward/" + suffix).c_str(), BM_Effect<true>,
                                               s, borders != 0, 0));
        }
        const struct {
            const char* name;
            Stage stage;
        } stages[] = {{"forward", Stage::kForward},
                      {"turn0", Stage::kTurn0},
                      {"inverse", Stage::kInverse},
                      {"turn1", Stage::kTurn1}};
        for (const auto& st : stages) {
            Timed(benchmark::RegisterBenchmark((std::string("Stage/") + st.name + "/module/" + size).c_str(),
                                               BM_Stage<false>, s, st.stage));
            Timed(benchmark::RegisterBenchmark(
                (std::string("Stage/") + st.name + "/straightforward/" + size).c_str(), BM_Stage<true>, s,
                st.stage));
        }
    }
    // Threads and the peer, with borders, up to a 12-megapixel photo; the
    // runs of one size stand next to each other so that they share the
    // machine's state.
    const Size threadedSizes[] = {{1024, 768}, {1920, 1080}, {4000, 3000}};
    const int cores = polarmosaic::ThreadPool::CoreCount();
    for (const Size& s : threadedSizes) {
        const std::string size = SizeName(s);
        for (int threads = 1; threads <= cores; ++threads) {
            Timed(benchmark::RegisterBenchmark(
                ("Effect/module/threads:" + std::to_string(threads) + "/" + size + "/borders:1").c_str(),
                BM_Effect<false>, s, true, threads));
        }
#if POLARMOSAIC_BENCH_OPENCV
        Timed(benchmark::RegisterBenchmark(("OpenCV/roundtrip/threads:1/" + size).c_str(), BM_OpenCvRoundTrip,
                                           s, 1));
        Timed(benchmark::RegisterBenchmark(("OpenCV/roundtrip/threads:default/" + size).c_str(),
                                           BM_OpenCvRoundTrip, s, 0));
#endif
    }
}

}  // namespace

int main(int argc, char** argv) {
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
