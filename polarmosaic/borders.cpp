// Tile borders with bevel shading, and the shading ramps they are drawn
// with.
#include "internal.h"

#include <cstdint>

using namespace polarmosaic_detail;

namespace {

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

void fillRamps(const PolarMosaicParam& p, int32_t halfWidth, const float shade[4], Colour plain) {
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
        for (int c = 0; c < 3; ++c) calcCArray(p.ramp[3 * s + c], lowHalf16(halfWidth + 1), p.borderValue[c], shade[s]);
    }
}

// Border colour at the centre line of every band: the low 8 bits.
Colour plainColour(const PolarMosaicParam& p) {
    Colour plain;
    for (int c = 0; c < 3; ++c) plain.c[c] = static_cast<uint8_t>(p.borderValue[c]);
    return plain;
}

// Rows first .. end - 1 of a band of work; the band that holds the last image
// row also holds the rows below the image (they exist only inside
// planeBytes, which fillRowGuarded checks).
struct RowBand {
    int32_t first;
    int32_t end;
    bool has(int32_t row) const { return row >= first && row < end; }
};

// The k in 1 .. h for which row - k (above) or row + k (below) lies in the
// band, as from .. to (empty when from > to).
void offsetsAbove(const RowBand& band, int32_t row, int32_t h, int32_t* from, int32_t* to) {
    const int64_t lowest = static_cast<int64_t>(row) - band.end + 1;
    const int64_t highest = static_cast<int64_t>(row) - band.first;
    *from = lowest > 1 ? static_cast<int32_t>(lowest) : 1;
    *to = highest < h ? static_cast<int32_t>(highest) : h;
}

void offsetsBelow(const RowBand& band, int32_t row, int32_t h, int32_t* from, int32_t* to) {
    const int64_t lowest = static_cast<int64_t>(band.first) - row;
    const int64_t highest = static_cast<int64_t>(band.end) - 1 - row;
    *from = lowest > 1 ? static_cast<int32_t>(lowest) : 1;
    *to = highest < h ? static_cast<int32_t>(highest) : h;
}

void drawBorders(const PolarMosaicParam& p, const PolarTileGrid& grid, const RowBand& band) {
    const int32_t h = p.borderWidth / 2;
    const Colour plain = plainColour(p);
    const int32_t mode = p.borderMode;
    const bool horizontal = mode == POLARMOSAIC_BORDER_GRID || mode == POLARMOSAIC_BORDER_RINGS;
    const bool vertical = mode == POLARMOSAIC_BORDER_GRID || mode == POLARMOSAIC_BORDER_SPOKES;
    const bool crossings = mode == POLARMOSAIC_BORDER_GRID;
    const BorderCanvas canvas = {{p.inPlane[0], p.inPlane[1], p.inPlane[2]},
                                 p.width, p.height, p.lineBytes, p.planeBytes};
    const BorderRamps ramps = {p.ramp};
    const int32_t lastColumn = p.width - 1;
    int32_t from = 0;
    int32_t to = 0;

    // Lines lie on the first row of every tile row but the first, and on the
    // first column of every tile column but the first. Each phase writes
    // only the band's rows, in the order of the whole-image loops, so every
    // pixel sees its writes in the same order whatever the bands.
    if (horizontal) {
        int32_t row = 0;
        for (int32_t j = 0; j + 1 < grid.tileRows; ++j) {
            row += grid.tileHeights[j];
            if (band.has(row)) fillRow(canvas, row, 0, lastColumn, plain);
            offsetsAbove(band, row, h, &from, &to);
            for (int32_t k = from; k <= to; ++k) {
                fillRowGuarded(canvas, row - k, 0, lastColumn, ramps.entry(kAbove, k));
            }
            offsetsBelow(band, row, h, &from, &to);
            for (int32_t k = from; k <= to; ++k) {
                fillRowGuarded(canvas, row + k, 0, lastColumn, ramps.entry(kBelow, k));
            }
        }
    }
    if (vertical) {
        // Every column of a vertical band has one colour from top to bottom,
        // so the bands are written a row at a time, in memory order, instead
        // of a column at a time (one cache line per byte). Within a row the
        // columns are written in the same order as the column-wise loops
        // would write them, so where two bands overlap the same one wins.
        const int32_t firstRow = band.first < 0 ? 0 : band.first;
        const int32_t endRow = band.end > canvas.height ? canvas.height : band.end;
        for (int c = 0; c < 3; ++c) {
            const uint8_t* left = p.ramp[3 * kLeft + c];
            const uint8_t* right = p.ramp[3 * kRight + c];
            uint8_t* line = canvas.planes[c] + static_cast<int64_t>(firstRow) * canvas.lineBytes;
            for (int32_t row = firstRow; row < endRow; ++row, line += canvas.lineBytes) {
                int32_t column = 0;
                for (int32_t i = 0; i + 1 < grid.tileCols; ++i) {
                    column += grid.tileWidths[i];
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
        for (int32_t j = 0; j + 1 < grid.tileRows; ++j) {
            row += grid.tileHeights[j];
            int32_t column = 0;
            for (int32_t i = 0; i + 1 < grid.tileCols; ++i) {
                column += grid.tileWidths[i];
                for (int32_t side = kAbove; side <= kBelow; ++side) {
                    if (side == kAbove) {
                        offsetsAbove(band, row, h, &from, &to);
                    } else {
                        offsetsBelow(band, row, h, &from, &to);
                    }
                    for (int32_t k = from; k <= to; ++k) {
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
        for (int32_t j = 0; j + 1 < grid.tileRows; ++j) {
            row += grid.tileHeights[j];
            if (band.has(row)) fillRow(canvas, row, 0, lastColumn, plain);
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

namespace polarmosaic_detail {

void buildRamps(const PolarMosaicParam& p) {
    if (p.borderWidth < 2) return;
    float shade[4];
    for (int s = 0; s < 4; ++s) shade[s] = p.shade[s] < 0.0f ? 0.0f : p.shade[s];
    fillRamps(p, p.borderWidth / 2, shade, plainColour(p));
}

void drawBorderRows(const PolarMosaicParam& p, const PolarTileGrid& grid, int32_t first, int32_t end) {
    if (p.borderMode == POLARMOSAIC_BORDER_NONE || p.borderWidth <= 0) return;
    const RowBand band = {first, end >= p.height ? INT32_MAX : end};
    drawBorders(p, grid, band);
}

}  // namespace polarmosaic_detail

extern "C" int iBorderRamps0(const PolarMosaicParam* param) {
    if (param == nullptr) return POLARMOSAIC_NULL_RECORD;
    const int status = checkRamps(*param);
    if (status != POLARMOSAIC_OK) return status;
    buildRamps(*param);
    return POLARMOSAIC_OK;
}

extern "C" int iBorderRows0(const PolarMosaicParam* param, const PolarTileGrid* grid, int32_t first, int32_t end) {
    int status = checkGrid(param, grid);
    if (status == POLARMOSAIC_OK) status = checkRamps(*param);
    if (status != POLARMOSAIC_OK) return status;
    if (first < 0 || end > param->height) return POLARMOSAIC_BAD_RANGE;
    if (first < end) drawBorderRows(*param, *grid, first, end);
    return POLARMOSAIC_OK;
}
