// Straightforward version of the fitted geometry, the definition the
// module's stages are compared with byte for byte: one sine and cosine per
// polar sample, one per spoke test, tile averages by plain summing over the
// polar image, every output pixel classified on its own.
#ifndef POLARMOSAIC_TESTS_FITTED_REFERENCE_H
#define POLARMOSAIC_TESTS_FITTED_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ref {

// Three tightly packed planes (rows `width` bytes apart).
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> plane[3];

    Picture() = default;
    Picture(int w, int h) : width(w), height(h) {
        for (auto& p : plane) p.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
    }
    uint8_t& at(int c, int x, int y) { return plane[c][static_cast<std::size_t>(y) * width + x]; }
    uint8_t at(int c, int x, int y) const { return plane[c][static_cast<std::size_t>(y) * width + x]; }
    bool operator==(const Picture& o) const {
        return width == o.width && height == o.height && plane[0] == o.plane[0] && plane[1] == o.plane[1] &&
               plane[2] == o.plane[2];
    }
};

struct FittedOptions {
    int sectors = 36;
    int ringWidth = 28;
    int borderMode = 2;
    int borderWidth = 5;
    int borderValue[3] = {48, 48, 48};
    float shade[4] = {3.0f, 0.3f, 3.0f, 0.3f};
};

struct FittedLayout {
    int polarRows = 0;
    int polarCols = 0;
    int sectorCols = 0;
    int rings = 0;
};

FittedLayout fittedLayout(int width, int height, int sectors, int ringWidth);

// The fitted effect on a picture.
Picture fittedMosaic(const Picture& in, const FittedOptions& options);

}  // namespace ref

#endif
