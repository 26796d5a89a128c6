// Straightforward version of the fitted geometry, written from the rules in
// fitted.h: every pixel and every sample is placed on its own (ring by an
// exact integer square root, sector by testing every sector, lines by their
// half-open bands), tile colours by plain summing. Slow, and meant to be.
#ifndef POLARMOSAIC_TESTS_FITTED_REFERENCE_H
#define POLARMOSAIC_TESTS_FITTED_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include <polarmosaic/fitted.h>

namespace ref {

// Three or four tightly packed planes (rows `width` bytes apart); plane 3
// is alpha when `alpha` is set.
struct FittedPicture {
    int width = 0;
    int height = 0;
    bool alpha = false;
    std::vector<uint8_t> plane[4];

    FittedPicture() = default;
    FittedPicture(int w, int h, bool withAlpha);
    int planes() const { return alpha ? 4 : 3; }
    uint8_t& at(int c, int x, int y) { return plane[c][static_cast<size_t>(y) * width + x]; }
    uint8_t at(int c, int x, int y) const { return plane[c][static_cast<size_t>(y) * width + x]; }
};

// What a frame adds to the plan: the line colour and its shading.
struct FittedColours {
    int16_t borderValue[3] = {255, 255, 255};
    float shade[4] = {0.5f, 0.5f, 0.5f, 0.5f};
};

// Kinds of FittedPlace::line.
enum { kFittedNoLine = 0, kFittedRingLine = 1, kFittedSpokeLine = 2 };

// Where a point lies: ring, outer sector (-1 in the disc), tile, and the line
// it lies on (kind and ring line k or spoke k).
struct FittedPlace {
    int64_t ring = 0;
    int32_t sector = -1;
    int64_t tile = 0;
    int kind = kFittedNoLine;
    int64_t line = 0;
};

// Sectors of ring `ring` (>= 1) for an outer ring of `sectors`.
int32_t fittedRingSectors(int32_t sectors, int64_t ring);

class FittedGeometry {
public:
    explicit FittedGeometry(const PolarPlanSettings& settings);
    // Spoke k's direction, in units of 2^-30.
    int64_t spokeX(int32_t k) const { return ux_[k]; }
    int64_t spokeY(int32_t k) const { return uy_[k]; }
    // (x, y): eighths of a pixel from the centre, y upwards.
    FittedPlace locate(int64_t x, int64_t y) const;
    // Centre of pixel (col, row) in those coordinates.
    int64_t pixelX(int col) const { return 8 * int64_t(col) - 4 * int64_t(s_.centreX2); }
    int64_t pixelY(int row) const { return 4 * int64_t(s_.centreY2) - 8 * int64_t(row); }
    // First tile of ring `ring`.
    int64_t firstTile(int64_t ring) const;
    // Rings that some point of the picture's area reaches, disc included.
    int64_t ringsReached() const;

private:
    int32_t sectorOf(int64_t x, int64_t y) const;
    int64_t cross(int32_t k, int64_t x, int64_t y) const { return ux_[k] * y - uy_[k] * x; }
    int64_t dot(int32_t k, int64_t x, int64_t y) const { return ux_[k] * x + uy_[k] * y; }

    PolarPlanSettings s_;
    std::vector<int64_t> ux_, uy_;
    std::vector<int32_t> ringSectors_;  // per ring reached, [0] unused
    std::vector<int64_t> firstTile_;
    bool ringLines_ = false, spokeLines_ = false;
};

// The fitted geometry's output for the settings and picture.
FittedPicture fittedReference(const PolarPlanSettings& settings, const FittedPicture& in,
                              const FittedColours& colours);

}  // namespace ref

#endif
