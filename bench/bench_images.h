// Test pictures for the benchmark: photo-like content made from integers, the
// same bytes on every run.
#ifndef POLARMOSAIC_BENCH_IMAGES_H
#define POLARMOSAIC_BENCH_IMAGES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

// Three planes of `height` rows, `lineBytes` apart, `width` pixels used.
struct Planes {
    int width = 0;
    int height = 0;
    int lineBytes = 0;
    std::vector<uint8_t> plane[3];
};

// A landscape-like picture: a sky gradient, a sun disc, rolling hills with
// texture, a few hard-edged buildings and fine sensor noise.
Planes MakePhoto(int width, int height, int lineBytes);

}  // namespace bench

#endif
