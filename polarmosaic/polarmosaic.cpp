// The polar mosaic driver: entry point, tile grid, tile averaging, borders
// and the shading ramps.
#include "polarmosaic.h"

#if defined(__x86_64__) && defined(__SSE2__) && !defined(POLARMOSAIC_PORTABLE_ONLY)
#include <emmintrin.h>
#define POLARMOSAIC_SUM_BYTES_SSE2 1
#else
#define POLARMOSAIC_SUM_BYTES_SSE2 0
#endif

namespace {

int16_t lowHalf(int32_t v) {
    uint32_t low = static_cast<uint32_t>(v) & 0xFFFFu;
    return static_cast<int16_t>(low >= 0x8000u ? static_cast<int32_t>(low) - 0x10000 : static_cast<int32_t>(low));
}

// ---------------------------------------------------------------------------
// Record checks. The tile grid, the averaging and the turns index the caller's
// buffers from the record alone, so a record outside these bounds would make
// them read or write out of bounds; such a call returns without writing.

// On an axis of size dim with nominal tile size tile: an exact fit allows at
// most dim / tile tiles, otherwise 2 .. dim / tile + 2.
bool tileCountUsable(int32_t dim, int32_t tile, int32_t count) {
    int32_t whole = dim / tile;
    if (dim - whole * tile == 0) return count <= whole;
    return count >= 2 && count <= whole + 2;
}

bool allPresent(uint8_t* const* planes, int count) {
    for (int i = 0; i < count; ++i) {
        if (planes[i] == nullptr) return false;
    }
    return true;
}

bool bordersFillRamps(const PolarMosaicParam& p) { return p.borderMode != 1 && p.borderWidth >= 2; }

bool recordUsable(const PolarMosaicParam& p) {
    if (p.width < 2 || p.height < 2 || p.width > 32752) return false;
    if (p.lineBytes != lcw16(p.width)) return false;
    if (static_cast<int64_t>(p.planeBytes) < static_cast<int64_t>(p.height) * p.lineBytes) return false;
    if (p.tileWidth <= 0 || p.tileHeight <= 0) return false;
    if (!tileCountUsable(p.width, p.tileWidth, p.tileCols)) return false;
    if (!tileCountUsable(p.height, p.tileHeight, p.tileRows)) return false;
    if (!allPresent(p.outPlane, 3) || !allPresent(p.inPlane, 3)) return false;
    if (p.tileWidths == nullptr || p.tileHeights == nullptr) return false;
    if (bordersFillRamps(p) && !allPresent(p.ramp, 12)) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Tile grid: lays out one axis into sizes[] and returns the working count.
// Entries 0 .. count - 1 add up to dim whenever dim is not a multiple of tile.
int32_t layOutAxis(int16_t* sizes, int32_t dim, int32_t tile, int32_t count, bool split) {
    const int16_t nominal = lowHalf(tile);
    const int32_t remainder = dim - (dim / tile) * tile;
    if (remainder == 0) {
        for (int32_t k = 0; k < count; ++k) sizes[k] = nominal;
        return count;
    }
    if (split) {
        int16_t first = lowHalf(remainder / 2);
        if (first == 0) first = 1;
        sizes[0] = first;
        for (int32_t k = 1; k <= count - 2; ++k) sizes[k] = nominal;
        const int16_t last = lowHalf(dim - first - (count - 2) * tile);
        sizes[count - 1] = last;
        // A last tile of nothing is dropped from the working count; the 0
        // stays in the array.
        return last == 0 ? count - 1 : count;
    }
    // Without the split the count is lowered first and the last tile takes
    // whatever the nominal tiles leave.
    const int32_t lowered = count - 1;
    for (int32_t k = 0; k <= lowered - 2; ++k) sizes[k] = nominal;
    sizes[lowered - 1] = lowHalf(dim - (lowered - 1) * tile);
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
        lanes = _mm_add_epi64(lanes, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x)), zero));
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

struct TileGrid {
    const int16_t* widths;
    const int16_t* heights;
    int32_t cols;  // working counts, possibly one below the caller's
    int32_t rows;
};

void averageTiles(const PolarMosaicParam& p, const TileGrid& grid) {
    const int32_t lineBytes = p.lineBytes;
    int32_t rowStart = 0;
    for (int32_t r = 0; r < grid.rows; ++r) {
        const int32_t h = grid.heights[r];
        int32_t columnStart = 0;
        for (int32_t c = 0; c < grid.cols; ++c) {
            const int32_t w = grid.widths[c];
            if (w > 0 && h > 0) averageTile(p.outPlane, p.inPlane, rowStart * lineBytes + columnStart, w, h, lineBytes);
            columnStart += w;
        }
        rowStart += h;
    }
}

// ---------------------------------------------------------------------------
// Borders. Every pixel run writes the three planes in the same pass.

struct BorderCanvas {
    uint8_t* planes[3];
    int32_t width;
    int32_t height;
    int32_t lineBytes;
    int64_t planeBytes;
};

struct Colour {
    uint8_t c[3];
};

// Row `row`, columns first .. last, unguarded: the caller knows it lies in
// the image.
void fillRow(const BorderCanvas& canvas, int32_t row, int32_t first, int32_t last, Colour colour) {
    const int64_t start = static_cast<int64_t>(row) * canvas.lineBytes;
    for (int c = 0; c < 3; ++c) {
        uint8_t* p = canvas.planes[c] + start;
        for (int32_t x = first; x <= last; ++x) p[x] = colour.c[c];
    }
}

// The same run, but only the pixels whose byte lies inside the plane; a band
// row may lie above the image or below it, and only planeBytes bounds it.
void fillRowGuarded(const BorderCanvas& canvas, int32_t row, int32_t first, int32_t last, Colour colour) {
    const int64_t rowStart = static_cast<int64_t>(row) * canvas.lineBytes;
    int64_t from = rowStart + first;
    int64_t to = rowStart + last;
    if (from < 0) from = 0;
    if (to > canvas.planeBytes - 1) to = canvas.planeBytes - 1;
    for (int c = 0; c < 3; ++c) {
        uint8_t* p = canvas.planes[c];
        for (int64_t at = from; at <= to; ++at) p[at] = colour.c[c];
    }
}

enum Side { kAbove = 0, kBelow = 1, kLeft = 2, kRight = 3 };

struct BorderRamps {
    uint8_t* const* ramp;  // ramp[3 * side + channel]
    Colour entry(int side, int32_t k) const {
        Colour colour;
        for (int c = 0; c < 3; ++c) colour.c[c] = ramp[3 * side + c][k];
        return colour;
    }
};

void buildRamps(const PolarMosaicParam& p, int32_t halfWidth, const float shade[4], Colour plain) {
    const double flatBelow = 0.0001;
    bool flat = true;
    for (int s = 0; s < 4; ++s) {
        if (!(static_cast<double>(shade[s]) < flatBelow)) flat = false;
    }
    if (flat) {
        // All factors (near) zero mean plain lines, not lines fading to black.
        for (int32_t k = 0; k <= halfWidth; ++k) {
            for (int s = 0; s < 4; ++s) {
                for (int c = 0; c < 3; ++c) p.ramp[3 * s + c][k] = plain.c[c];
            }
        }
        return;
    }
    for (int s = 0; s < 4; ++s) {
        for (int c = 0; c < 3; ++c) calcCArray(p.ramp[3 * s + c], lowHalf(halfWidth + 1), p.borderValue[c], shade[s]);
    }
}

void drawBorders(const PolarMosaicParam& p, const TileGrid& grid) {
    float shade[4];
    for (int s = 0; s < 4; ++s) shade[s] = p.shade[s] < 0.0f ? 0.0f : p.shade[s];
    const int32_t h = p.borderWidth / 2;
    Colour plain;
    for (int c = 0; c < 3; ++c) plain.c[c] = static_cast<uint8_t>(p.borderValue[c]);
    if (p.borderWidth > 1) buildRamps(p, h, shade, plain);

    const int32_t mode = p.borderMode;
    const bool horizontal = mode == 2 || mode == 3;
    const bool vertical = mode == 2 || mode == 4;
    const bool crossings = mode == 2;
    const BorderCanvas canvas = {{p.inPlane[0], p.inPlane[1], p.inPlane[2]},
                                 p.width, p.height, p.lineBytes, p.planeBytes};
    const BorderRamps ramps = {p.ramp};
    const int32_t lastColumn = p.width - 1;

    // Lines lie on the first row of every tile row but the first, and on the
    // first column of every tile column but the first.
    if (horizontal) {
        int32_t row = 0;
        for (int32_t j = 0; j + 1 < grid.rows; ++j) {
            row += grid.heights[j];
            fillRow(canvas, row, 0, lastColumn, plain);
            for (int32_t k = 1; k <= h; ++k) fillRowGuarded(canvas, row - k, 0, lastColumn, ramps.entry(kAbove, k));
            for (int32_t k = 1; k <= h; ++k) fillRowGuarded(canvas, row + k, 0, lastColumn, ramps.entry(kBelow, k));
        }
    }
    if (vertical) {
        // Every column of a vertical band has one colour from top to bottom,
        // so the bands are written a row at a time, in memory order, instead
        // of a column at a time (one cache line per byte). Within a row the
        // columns are written in the same order as the column-wise loops
        // would write them, so where two bands overlap the same one wins.
        for (int c = 0; c < 3; ++c) {
            const uint8_t* left = p.ramp[3 * kLeft + c];
            const uint8_t* right = p.ramp[3 * kRight + c];
            uint8_t* line = canvas.planes[c];
            for (int32_t row = 0; row < canvas.height; ++row, line += canvas.lineBytes) {
                int32_t column = 0;
                for (int32_t i = 0; i + 1 < grid.cols; ++i) {
                    column += grid.widths[i];
                    line[column] = plain.c[c];
                    for (int32_t k = 1; k <= h; ++k) {
                        if (column - k >= 0) line[column - k] = left[k];
                    }
                    for (int32_t k = 1; k <= h; ++k) {
                        if (column + k < p.width) line[column + k] = right[k];
                    }
                }
            }
        }
    }
    if (crossings) {
        // Give the horizontal bands back their share of each crossing: at
        // distance k from the horizontal centre row, the columns at least k
        // away from the vertical centre column. The band boundary thus runs
        // along the diagonals (mitred corners).
        int32_t row = 0;
        for (int32_t j = 0; j + 1 < grid.rows; ++j) {
            row += grid.heights[j];
            int32_t column = 0;
            for (int32_t i = 0; i + 1 < grid.cols; ++i) {
                column += grid.widths[i];
                for (int32_t side = kAbove; side <= kBelow; ++side) {
                    for (int32_t k = 1; k <= h; ++k) {
                        const int32_t bandRow = side == kAbove ? row - k : row + k;
                        const Colour colour = ramps.entry(side, k);
                        int32_t leftFrom = column - h < 0 ? 0 : column - h;
                        int32_t leftTo = column - k > lastColumn ? lastColumn : column - k;
                        if (leftFrom <= leftTo) fillRowGuarded(canvas, bandRow, leftFrom, leftTo, colour);
                        int32_t rightFrom = column + k < 0 ? 0 : column + k;
                        int32_t rightTo = column + h > lastColumn ? lastColumn : column + h;
                        if (rightFrom <= rightTo) fillRowGuarded(canvas, bandRow, rightFrom, rightTo, colour);
                    }
                }
            }
        }
        // The vertical bands covered the horizontal centre lines; put them back.
        row = 0;
        for (int32_t j = 0; j + 1 < grid.rows; ++j) {
            row += grid.heights[j];
            fillRow(canvas, row, 0, lastColumn, plain);
        }
    }
}

// Rounds half up and clamps to 0 .. 255; NaN gives 0.
uint8_t roundToByte(float x) {
    const double shifted = static_cast<double>(x) + 0.5;
    if (shifted >= 256.0) return 255;
    if (!(shifted > -1.0)) return 0;
    const int32_t n = static_cast<int32_t>(shifted);
    return static_cast<uint8_t>(n < 0 ? 0 : n);
}

}  // namespace

extern "C" void calcCArray(uint8_t* ramp, int16_t length, int16_t value, float shade) {
    if (ramp == nullptr) return;
    ramp[0] = static_cast<uint8_t>(value);
    const float start = static_cast<float>(value);
    const float end = shade * start;
    if (length == 1) {
        ramp[1] = roundToByte(end);
        return;
    }
    const float step = (start - end) / static_cast<float>(length - 1);
    // Each entry is computed afresh from the start, not by adding steps.
    for (int32_t i = 1; i < length; ++i) ramp[i] = roundToByte(start - static_cast<float>(i) * step);
}

namespace {

// The driver's records for its four building-block calls: the resampling
// passes always run at zoom 1 without offsets and with wrapping.
PolarMapParam mapRecord(uint8_t* const src[3], uint8_t* const dst[3], int16_t lineBytes, int16_t width,
                        int16_t height) {
    PolarMapParam map;
    map.zoom = 1.0f;
    map.radiusOffset = 0.0f;
    map.angleOffset = 0.0f;
    for (int c = 0; c < 3; ++c) {
        map.srcPlane[c] = src[c];
        map.dstPlane[c] = dst[c];
    }
    map.lineBytes = lineBytes;
    map.width = width;
    map.height = height;
    map.wrap = 1;
    return map;
}

TurnParam turnRecord(uint8_t* const src[3], uint8_t* const dst[3], int16_t srcWidth, int16_t srcLineBytes,
                     int16_t srcHeight, int16_t turnMode, int16_t dstLineBytes) {
    TurnParam turn;
    for (int c = 0; c < 3; ++c) {
        turn.srcPlane[c] = src[c];
        turn.dstPlane[c] = dst[c];
    }
    turn.srcWidth = srcWidth;
    turn.srcLineBytes = srcLineBytes;
    turn.srcHeight = srcHeight;
    turn.turnMode = turnMode;
    turn.dstWidth = srcHeight;  // both turns used here put source rows into columns
    turn.dstLineBytes = dstLineBytes;
    turn.dstHeight = srcWidth;
    return turn;
}

}  // namespace

extern "C" void iPolarMosaic0(const PolarMosaicParam* param) {
    if (param == nullptr || !recordUsable(*param)) return;
    const PolarMosaicParam& p = *param;
    const int16_t uprightLine = lcw16(p.width);

    // 1. Unroll the picture onto the polar grid: one radius per row, one
    //    angle per column.
    const PolarMapParam forward = mapRecord(p.inPlane, p.outPlane, p.lineBytes, p.width, p.height);
    iPolar2Cartesian0(&forward);

    // 2. Tile grid and averages. The working counts stay local: the caller's
    //    record is never written.
    TileGrid grid;
    grid.widths = p.tileWidths;
    grid.heights = p.tileHeights;
    grid.cols = layOutAxis(p.tileWidths, p.width, p.tileWidth, p.tileCols, p.splitRemainder != 0);
    grid.rows = layOutAxis(p.tileHeights, p.height, p.tileHeight, p.tileRows, p.splitRemainder != 0);
    averageTiles(p, grid);

    // 3. Borders: rings between tile rows, spokes between tile columns.
    if (p.borderMode != 1 && p.borderWidth > 0) drawBorders(p, grid);

    // 4. Quarter turn clockwise, so that the inverse pass reads the radius
    //    along its rows: width rows of height bytes.
    const TurnParam turn = turnRecord(p.inPlane, p.outPlane, p.width, uprightLine, p.height, 2, p.height);
    iTurn0(&turn);

    // 5. Map the polar picture back, in the turned orientation.
    const PolarMapParam inverse = mapRecord(p.outPlane, p.inPlane, p.height, p.height, p.width);
    iCartesian2Polar0(&inverse);

    // 6. Transpose back upright, rows lcw16(width) apart.
    const TurnParam back = turnRecord(p.inPlane, p.outPlane, p.height, p.height, p.width, 0, uprightLine);
    iTurn1(&back);
}
