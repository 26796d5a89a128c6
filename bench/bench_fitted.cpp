// Times the fitted geometry on one thread, next to the classic effect of
// bench_polarmosaic.cpp (same sizes, same picture, -s 36 -r 28 and the
// tool's borders):
//   Fitted/module/<size>/borders:<0|1>   iPolarFittedRun0, whole effect
//   Fitted/forward/<size>                iFittedForwardRows0 over all rows
//   Fitted/inverse/<size>                iFittedInverseRows0 with borders
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_images.h"
#include "fitted.h"

namespace {

struct FittedCall {
    bench::Planes input;
    std::vector<uint8_t> out[3], polar[3], tiles[3], ramps[12];
    std::vector<int16_t> widths, heights;
    PolarFittedParam p{};

    FittedCall(int width, int height, bool borders) {
        polarFittedLayout(&p, width, height, 36, 28);
        input = bench::MakePhoto(width, height, p.lineBytes);
        const size_t polarBytes = static_cast<size_t>(p.polarRows) * p.polarLineBytes;
        for (int c = 0; c < 3; ++c) {
            out[c].assign(input.plane[c].size(), 0);
            polar[c].assign(polarBytes, 0);
            tiles[c].assign(polarBytes, 0);
            p.srcPlane[c] = input.plane[c].data();
            p.dstPlane[c] = out[c].data();
            p.polarPlane[c] = polar[c].data();
            p.tilePlane[c] = tiles[c].data();
            p.borderValue[c] = 48;
        }
        p.planeBytes = static_cast<int32_t>(input.plane[0].size());
        p.polarPlaneBytes = static_cast<int32_t>(polarBytes);
        widths.assign(static_cast<size_t>(p.sectors) + 1, 0);
        heights.assign(static_cast<size_t>(p.rings), 0);
        p.tileWidths = widths.data();
        p.tileHeights = heights.data();
        for (int k = 0; k < 12; ++k) {
            ramps[k].assign(8, 0);
            p.ramp[k] = ramps[k].data();
        }
        const float shade[4] = {3.0f, 0.3f, 3.0f, 0.3f};
        for (int k = 0; k < 4; ++k) p.shade[k] = shade[k];
        p.borderMode = borders ? POLARMOSAIC_BORDER_GRID : POLARMOSAIC_BORDER_NONE;
        p.borderWidth = borders ? 5 : 0;
    }
};

void SetRate(benchmark::State& state, int width, int height) {
    state.counters["MPix/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * width * height / 1e6, benchmark::Counter::kIsRate);
}

enum class Part { kWhole, kForward, kInverse };

void BM_Fitted(benchmark::State& state, int width, int height, bool borders, Part part) {
    FittedCall call(width, height, borders);
    iPolarFittedRun0(&call.p, nullptr, nullptr);  // tile image and ramps for the inverse stage
    for (auto _ : state) {
        switch (part) {
            case Part::kWhole:
                iPolarFittedRun0(&call.p, nullptr, nullptr);
                break;
            case Part::kForward:
                iFittedForwardRows0(&call.p, 0, call.p.polarRows);
                break;
            case Part::kInverse:
                iFittedInverseRows0(&call.p, 0, call.p.height);
                break;
        }
        benchmark::ClobberMemory();
    }
    SetRate(state, width, height);
}

int RegisterFitted() {
    const int sizes[][2] = {{640, 480}, {1024, 768}, {1920, 1080}};
    for (const auto& s : sizes) {
        const std::string size = std::to_string(s[0]) + "x" + std::to_string(s[1]);
        for (int borders = 0; borders <= 1; ++borders) {
            benchmark::RegisterBenchmark(
                ("Fitted/module/" + size + "/borders:" + std::to_string(borders)).c_str(), BM_Fitted, s[0],
                s[1], borders != 0, Part::kWhole)
                ->Unit(benchmark::kMillisecond);
        }
        benchmark::RegisterBenchmark(("Fitted/forward/" + size).c_str(), BM_Fitted, s[0], s[1], true,
                                     Part::kForward)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Fitted/inverse/" + size).c_str(), BM_Fitted, s[0], s[1], true,
                                     Part::kInverse)
            ->Unit(benchmark::kMillisecond);
    }
    return 0;
}

const int kRegistered = RegisterFitted();

}  // namespace
