// polar_terms.h - tile sizes from the polar terms of the tool and the page:
// about N sectors around the circle, rings so many output pixels thick.
#ifndef POLARMOSAIC_HOST_POLAR_TERMS_H
#define POLARMOSAIC_HOST_POLAR_TERMS_H

namespace polarmosaic {

// Output pixels of radius per polar row of the classic geometry.
constexpr double kRadiusPerRow = 0.8;

// Tile width in polar columns for about `sectors` tiles around the circle of
// a width-column image (sectors >= 1). The width - 1 columns of a full turn
// rarely divide evenly, and the left-over columns would form a thin extra
// sector where the turn closes; a tile width that divides the width exactly
// avoids it, so one within 15% is preferred.
int SectorTileWidth(int width, int sectors);

// Tile height in polar rows for rings `ring` output pixels thick (at least 1).
int RingTileHeight(double ring);

// Ring width of the fitted geometry for rings `ring` output pixels thick:
// rounded, at least 1.
int FittedRingWidth(double ring);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_HOST_POLAR_TERMS_H
