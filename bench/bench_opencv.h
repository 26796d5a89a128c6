// The OpenCV yardstick of the benchmark: warpPolar forward (linear), the
// tile mean as an area resize down to a grid of about 24 x 32 tiles and a
// nearest resize back, warpPolar inverse, on interleaved BGR made from
// bench::MakePhoto. Defined only when OpenCV is found
// (POLARMOSAIC_BENCH_OPENCV).
#ifndef POLARMOSAIC_BENCH_OPENCV_H
#define POLARMOSAIC_BENCH_OPENCV_H

#include <benchmark/benchmark.h>

namespace bench {

// Times the round trip on a width x height picture with `threads` OpenCV
// threads (0: OpenCV's default); sets the MPix/s counter.
void OpenCvRoundTrip(benchmark::State& state, int width, int height, int threads);

}  // namespace bench

#endif
