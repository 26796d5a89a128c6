// Tile grid and tile averaging: the polar picture cut into rectangles, each
// filled with its average colour.
#include "shared/internal.h"

#if defined(__x86_64__) && defined(__SSE2__) && !defined(POLARMOSAIC_PORTABLE_ONLY)
#include <emmintrin.h>
#define POLARMOSAIC_SUM_BYTES_SSE2 1
#else
#define POLARMOSAIC_SUM_BYTES_SSE2 0
#endif

using namespace polarmosaic_detail;

namespace {

// ---------------------------------------------------------------------------
// Tile grid: lays out one axis into sizes[] and returns the working count.
// Entries 0 .. count - 1 add up to dim whenever dim is not a multiple of tile.
int32_t layOutAxis(int16_t* sizes, int32_t dim, int32_t tile, int32_t count, bool split) {
    const int16_t nominal = lowHalf16(tile);
    const int32_t remainder = dim - (dim / tile) * tile;
    if (remainder == 0) {
        for (int32_t k = 0; k < count; ++k) sizes[k] = nominal;
        return count;
    }
    if (split) {
        int16_t first = lowHalf16(remainder / 2);
        if (first == 0) first = 1;
        sizes[0] = first;
        for (int32_t k = 1; k <= count - 2; ++k) sizes[k] = nominal;
        const int16_t last = lowHalf16(dim - first - (count - 2) * tile);
        sizes[count - 1] = last;
        // A last tile of nothing is dropped from the working count; the 0
        // stays in the array.
        return last == 0 ? count - 1 : count;
    }
    // Without the split the count is lowered first and the last tile takes
    // whatever the nominal tiles leave.
    const int32_t lowered = count - 1;
    for (int32_t k = 0; k <= lowered - 2; ++k) sizes[k] = nominal;
    sizes[lowered - 1] = lowHalf16(dim - (lowered - 1) * tile);
    return lowered;
}

// Fills one tile of the three destination planes with the floor of the mean
// of the same tile in the source planes. Sums are 64-bit so that no tile size
// the geometry allows can overflow them.
//
// The sum of one tile row, at most 32767 x 255, fits 32 bits. On x86-64 the
// row is summed 16 bytes at a time with the sum-of-absolute-differences
// instruction against zero (part of the baseline), which adds the bytes of
// each half into a 64-bit lane; only the row's own bytes are read.
uint32_t rowSum(const uint8_t* s, int32_t w) {
    uint32_t sum = 0;
    int32_t x = 0;
#if POLARMOSAIC_SUM_BYTES_SSE2
    const __m128i zero = _mm_setzero_si128();
    __m128i lanes = zero;
    for (; x + 16 <= w; x += 16) {
        lanes = _mm_add_epi64(lanes,
                              _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x)), zero));
    }
    sum = static_cast<uint32_t>(_mm_cvtsi128_si32(lanes)) +
          static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(lanes, 8)));
#endif
    for (; x < w; ++x) sum += s[x];
    return sum;
}

void averageTile(uint8_t* const src[3], uint8_t* const dst[3], int32_t start, int32_t w, int32_t h,
                 int32_t lineBytes) {
    uint64_t sum0 = 0, sum1 = 0, sum2 = 0;
    const uint8_t* s0 = src[0] + start;
    const uint8_t* s1 = src[1] + start;
    const uint8_t* s2 = src[2] + start;
    for (int32_t row = 0; row < h; ++row, s0 += lineBytes, s1 += lineBytes, s2 += lineBytes) {
        sum0 += rowSum(s0, w);
        sum1 += rowSum(s1, w);
        sum2 += rowSum(s2, w);
    }
    const uint64_t pixels = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
    const uint8_t mean0 = static_cast<uint8_t>(sum0 / pixels);
    const uint8_t mean1 = static_cast<uint8_t>(sum1 / pixels);
    const uint8_t mean2 = static_cast<uint8_t>(sum2 / pixels);
    uint8_t* d0 = dst[0] + start;
    uint8_t* d1 = dst[1] + start;
    uint8_t* d2 = dst[2] + start;
    for (int32_t row = 0; row < h; ++row, d0 += lineBytes, d1 += lineBytes, d2 += lineBytes) {
        for (int32_t x = 0; x < w; ++x) {
            d0[x] = mean0;
            d1[x] = mean1;
            d2[x] = mean2;
        }
    }
}

// Sizes 1 .. dim that add up to at most dim: every tile lies in the image.
// A count of 0 or less is an axis without tiles.
bool axisInside(const int16_t* sizes, int32_t count, int32_t dim) {
    if (count <= 0) return true;
    if (sizes == nullptr) return false;
    int32_t total = 0;
    for (int32_t k = 0; k < count; ++k) {
        if (sizes[k] <= 0) return false;
        total += sizes[k];
        if (total > dim) return false;
    }
    return true;
}

}  // namespace

namespace polarmosaic_detail {

int checkGrid(const PolarMosaicParam* param, const PolarTileGrid* grid) {
    if (param == nullptr || grid == nullptr) return POLARMOSAIC_NULL_RECORD;
    const int geometry = checkPlaneGeometry(*param);
    if (geometry != POLARMOSAIC_OK) return geometry;
    if (!axisInside(grid->tileWidths, grid->tileCols, param->width) ||
        !axisInside(grid->tileHeights, grid->tileRows, param->height)) {
        return POLARMOSAIC_BAD_TILE_GRID;
    }
    return POLARMOSAIC_OK;
}

void averageTileRows(const PolarMosaicParam& p, const PolarTileGrid& grid, int32_t first, int32_t end) {
    const int32_t lineBytes = p.lineBytes;
    int32_t rowStart = 0;
    for (int32_t r = 0; r < first; ++r) rowStart += grid.tileHeights[r];
    for (int32_t r = first; r < end; ++r) {
        const int32_t h = grid.tileHeights[r];
        int32_t columnStart = 0;
        for (int32_t c = 0; c < grid.tileCols; ++c) {
            const int32_t w = grid.tileWidths[c];
            if (w > 0 && h > 0)
                averageTile(p.outPlane, p.inPlane, rowStart * lineBytes + columnStart, w, h, lineBytes);
            columnStart += w;
        }
        rowStart += h;
    }
}

void layOutGrid(const PolarMosaicParam& p, PolarTileGrid* grid) {
    const bool split = p.splitRemainder != 0;
    grid->tileWidths = p.tileWidths;
    grid->tileHeights = p.tileHeights;
    // The working counts stay local: the caller's record is never written.
    grid->tileCols = lowHalf16(layOutAxis(p.tileWidths, p.width, p.tileWidth, p.tileCols, split));
    grid->tileRows = lowHalf16(layOutAxis(p.tileHeights, p.height, p.tileHeight, p.tileRows, split));
}

}  // namespace polarmosaic_detail

extern "C" int iTileGrid0(const PolarMosaicParam* param, PolarTileGrid* grid) {
    const int status = checkPolarMosaicParam(param);
    if (status != POLARMOSAIC_OK) return status;
    if (grid == nullptr) return POLARMOSAIC_NULL_RECORD;
    layOutGrid(*param, grid);
    return POLARMOSAIC_OK;
}

extern "C" int iTileAverageRows0(const PolarMosaicParam* param, const PolarTileGrid* grid, int32_t first,
                                 int32_t end) {
    const int status = checkGrid(param, grid);
    if (status != POLARMOSAIC_OK) return status;
    if (first < 0 || end > grid->tileRows) return POLARMOSAIC_BAD_RANGE;
    if (first < end) averageTileRows(*param, *grid, first, end);
    return POLARMOSAIC_OK;
}
