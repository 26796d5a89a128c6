// Tile borders with bevel shading, and the shading ramps they are drawn
// with.
#include "shared/internal.h"

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
        for (int c = 0; c < 3; ++c)
            calcCArray(p.ramp[3 * s + c], lowHalf16(halfWidth + 1), p.borderValue[c], shade[s]);
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

// The lines of one axis: line n lies at the sum of sizes 0 .. n, for n below
// count - 1 (the first tile has no line before it). Walked in order, so the
// positions need no array.
struct LineWalk {
    const int16_t* sizes;
    int32_t lines;  // count - 1, or 0
    int32_t index;  // the line at `position`
    int32_t position;
    LineWalk(const int16_t* s, int32_t count)
        : sizes(s), lines(count > 1 ? count - 1 : 0), index(0), position(0) {
        if (lines > 0) position = sizes[0];
    }
    bool valid() const { return index < lines; }
    void next() {
        ++index;
        if (index < lines) position += sizes[index];
    }
};

// The phases below write what the whole-image loops (every line, every
// offset k from 1 to h, later lines over earlier ones) leave in each pixel,
// but write each pixel at most once per phase: a pixel's last writer is the
// line with the highest index whose band covers it. The cost is the pixels
// drawn plus the lines, not pixels times the line width.

// Rings: a whole row takes the colour of the last line within h of it.
void drawRingRows(const BorderCanvas& canvas, const PolarTileGrid& grid, const BorderRamps& ramps,
                  Colour plain, int32_t h, const RowBand& band) {
    LineWalk line(grid.tileHeights, grid.tileRows);
    if (!line.valid()) return;
    const int32_t lastColumn = canvas.width - 1;
    // The last line within reach of row y is the last one at or above y + h.
    int32_t last = -1;
    int32_t lastPosition = 0;
    const int32_t firstRow = band.first < 0 ? 0 : band.first;
    // Rows that start past the plane hold nothing to draw.
    const int64_t rowsInPlane = (canvas.planeBytes + canvas.lineBytes - 1) / canvas.lineBytes;
    const int64_t endRow = band.end < rowsInPlane ? band.end : rowsInPlane;
    for (int64_t y64 = firstRow; y64 < endRow; ++y64) {
        const int32_t y = static_cast<int32_t>(y64);
        while (line.valid() && line.position <= y + h) {
            last = line.index;
            lastPosition = line.position;
            line.next();
        }
        if (last < 0 || lastPosition < y - h) {
            if (!line.valid()) return;  // no line can reach this row or any below
            continue;
        }
        const int32_t k = lastPosition - y;
        const Colour colour = k == 0 ? plain : k > 0 ? ramps.entry(kAbove, k) : ramps.entry(kBelow, -k);
        fillRowGuarded(canvas, y, 0, lastColumn, colour);
    }
}

// Spokes: every row of the image gets the same runs, one per line: line i
// is the last writer from its band's left end up to where line i + 1's band
// begins.
void drawSpokeRows(const BorderCanvas& canvas, const PolarTileGrid& grid, uint8_t* const* ramp, Colour plain,
                   int32_t h, const RowBand& band) {
    const int32_t firstRow = band.first < 0 ? 0 : band.first;
    const int32_t endRow = band.end > canvas.height ? canvas.height : band.end;
    const int32_t lastColumn = canvas.width - 1;
    for (int32_t row = firstRow; row < endRow; ++row) {
        const int64_t start = static_cast<int64_t>(row) * canvas.lineBytes;
        for (LineWalk line(grid.tileWidths, grid.tileCols); line.valid();) {
            const int32_t column = line.position;
            int32_t runEnd = column + h;
            line.next();
            if (line.valid() && line.position - h - 1 < runEnd) runEnd = line.position - h - 1;
            if (runEnd > lastColumn) runEnd = lastColumn;
            const int32_t runStart = column - h < 0 ? 0 : column - h;
            for (int c = 0; c < 3; ++c) {
                uint8_t* out = canvas.planes[c] + start;
                const uint8_t* left = ramp[3 * kLeft + c];
                const uint8_t* right = ramp[3 * kRight + c];
                const int32_t leftEnd = runEnd < column - 1 ? runEnd : column - 1;
                for (int32_t x = runStart; x <= leftEnd; ++x) out[x] = left[column - x];
                if (runStart <= column && column <= runEnd) out[column] = plain.c[c];
                for (int32_t x = runStart > column + 1 ? runStart : column + 1; x <= runEnd; ++x) {
                    out[x] = right[x - column];
                }
            }
        }
    }
}

// Crossings: the ring bands take back the pixels at ring offset k that lie
// at least k and at most h from a spoke. For a row y that is no ring line,
// the last writer of pixel x is the line with the highest index among the
// ring lines whose offset k = |line - y| is at most reach(x), the largest
// spoke distance up to h at x: the last ring line at or above y + reach(x)
// when that lies below y, otherwise the nearest ring line above y.
//
// The ring lines below y within h are kept in a small table; with more of
// them than it holds, the row is done in several sweeps, each for the
// pixels whose reach ends in the table's share of the lines.
const int32_t kRingTable = 256;

struct SpokeReach {
    // Sweeps x upwards; reach(x) is -1 when no spoke lies within h.
    LineWalk nearest;   // first spoke at or right of x - h
    LineWalk farthest;  // one past the last spoke at or left of x + h
    int32_t lastPosition;
    bool any;
    SpokeReach(const PolarTileGrid& grid)
        : nearest(grid.tileWidths, grid.tileCols),
          farthest(grid.tileWidths, grid.tileCols),
          lastPosition(0),
          any(false) {}
    int32_t at(int32_t x, int32_t h) {
        while (nearest.valid() && nearest.position < x - h) nearest.next();
        while (farthest.valid() && farthest.position <= x + h) {
            lastPosition = farthest.position;
            any = true;
            farthest.next();
        }
        if (!nearest.valid() || !any || nearest.position > x + h) return -1;
        const int32_t left = x - nearest.position;
        const int32_t right = lastPosition - x;
        return left > right ? left : right;
    }
};

// Pixel x of drawCrossingRow, with its spoke reach r.
void drawCrossingPixel(const BorderCanvas& canvas, const BorderRamps& ramps, int32_t y, int32_t x, int32_t r,
                       const int32_t* below, int32_t count, bool firstSweep, int32_t nextFirst, int32_t above,
                       int64_t rowStart) {
    if (r < 0) return;
    const int64_t farthest = static_cast<int64_t>(y) + r;
    Colour colour;
    if (count > 0 && farthest >= below[0]) {
        if (farthest >= nextFirst) return;  // a later sweep's line
        int32_t lo = 0;
        int32_t hi = count - 1;
        while (lo < hi) {
            const int32_t mid = (lo + hi + 1) / 2;
            if (below[mid] <= farthest) {
                lo = mid;
            } else {
                hi = mid - 1;
            }
        }
        colour = ramps.entry(kAbove, below[lo] - y);
    } else if (firstSweep && above >= 0 && r >= y - above) {
        colour = ramps.entry(kBelow, y - above);
    } else {
        return;
    }
    const int64_t at = rowStart + x;
    if (at < 0 || at > canvas.planeBytes - 1) return;
    for (int c = 0; c < 3; ++c) canvas.planes[c][at] = colour.c[c];
}

// One sweep of row y over the ring lines below[0 .. count - 1] (ascending,
// all below y within h). nextFirst is the first such line after the table
// (INT32_MAX when none); the first sweep also draws the pixels whose last
// writer is the ring line above y (above, or -1 when out of reach).
void drawCrossingRow(const BorderCanvas& canvas, const PolarTileGrid& grid, const BorderRamps& ramps,
                     int32_t h, int32_t y, const int32_t* below, int32_t count, bool firstSweep,
                     int32_t nextFirst, int32_t above) {
    const int32_t lastColumn = canvas.width - 1;
    const int64_t rowStart = static_cast<int64_t>(y) * canvas.lineBytes;
    SpokeReach reach(grid);
    // Only the columns within h of a spoke, window by window, left to right.
    int32_t x = 0;
    for (LineWalk spoke(grid.tileWidths, grid.tileCols); spoke.valid(); spoke.next()) {
        if (x < spoke.position - h) x = spoke.position - h;
        const int32_t windowEnd = spoke.position + h < lastColumn ? spoke.position + h : lastColumn;
        for (; x <= windowEnd; ++x)
            drawCrossingPixel(canvas, ramps, y, x, reach.at(x, h), below, count, firstSweep, nextFirst, above,
                              rowStart);
    }
}

void drawCrossings(const BorderCanvas& canvas, const PolarTileGrid& grid, const BorderRamps& ramps, int32_t h,
                   const RowBand& band) {
    if (grid.tileRows < 2 || grid.tileCols < 2 || h < 1) return;
    const int32_t firstRow = band.first < 0 ? 0 : band.first;
    LineWalk next(grid.tileHeights, grid.tileRows);  // first ring line below y
    int32_t above = -1;                              // last ring line at or above y
    int32_t below[kRingTable];
    // Rows that start past the plane hold nothing to draw.
    const int64_t rowsInPlane = (canvas.planeBytes + canvas.lineBytes - 1) / canvas.lineBytes;
    const int64_t endRow = band.end < rowsInPlane ? band.end : rowsInPlane;
    for (int64_t y64 = firstRow; y64 < endRow; ++y64) {
        const int32_t y = static_cast<int32_t>(y64);
        while (next.valid() && next.position <= y) {
            above = next.position;
            next.next();
        }
        if (above == y) continue;  // a ring line: its centre line is put back after
        if (!next.valid() && (above < 0 || y - above > h)) return;  // nothing reaches further down
        const int32_t aboveInReach = above >= 0 && y - above <= h ? above : -1;
        if (aboveInReach < 0 && !(next.valid() && next.position <= y + h)) continue;  // no ring band here
        LineWalk walk = next;
        bool firstSweep = true;
        for (;;) {
            int32_t count = 0;
            while (walk.valid() && walk.position <= y + h && count < kRingTable) {
                below[count++] = walk.position;
                walk.next();
            }
            const bool more = walk.valid() && walk.position <= y + h;
            drawCrossingRow(canvas, grid, ramps, h, y, below, count, firstSweep,
                            more ? walk.position : INT32_MAX, aboveInReach);
            if (!more) break;
            firstSweep = false;
        }
    }
}

void drawBorders(const PolarMosaicParam& p, const PolarTileGrid& grid, const RowBand& band) {
    const int32_t h = p.borderWidth / 2;
    const Colour plain = plainColour(p);
    const int32_t mode = p.borderMode;
    const BorderCanvas canvas = {
        {p.inPlane[0], p.inPlane[1], p.inPlane[2]}, p.width, p.height, p.lineBytes, p.planeBytes};
    const BorderRamps ramps = {p.ramp};
    // Lines lie on the first row of every tile row but the first, and on the
    // first column of every tile column but the first. The phases run in
    // this order on the band's rows only, so every pixel ends as the
    // whole-image order would leave it, whatever the bands.
    if (mode == POLARMOSAIC_BORDER_GRID || mode == POLARMOSAIC_BORDER_RINGS) {
        drawRingRows(canvas, grid, ramps, plain, h, band);
    }
    if (mode == POLARMOSAIC_BORDER_GRID || mode == POLARMOSAIC_BORDER_SPOKES) {
        drawSpokeRows(canvas, grid, p.ramp, plain, h, band);
    }
    if (mode == POLARMOSAIC_BORDER_GRID) {
        // Mitred crossings, then the ring centre lines, which the spokes
        // covered, put back.
        drawCrossings(canvas, grid, ramps, h, band);
        for (LineWalk line(grid.tileHeights, grid.tileRows); line.valid(); line.next()) {
            if (band.has(line.position)) fillRow(canvas, line.position, 0, canvas.width - 1, plain);
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
    // Mode 1 draws no line, so its ramps are never read: they may be NULL.
    if (!rampsFilled(p)) return;
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

extern "C" int iBorderRows0(const PolarMosaicParam* param, const PolarTileGrid* grid, int32_t first,
                            int32_t end) {
    int status = checkGrid(param, grid);
    if (status == POLARMOSAIC_OK) status = checkRamps(*param);
    if (status != POLARMOSAIC_OK) return status;
    if (first < 0 || end > param->height) return POLARMOSAIC_BAD_RANGE;
    if (first < end) drawBorderRows(*param, *grid, first, end);
    return POLARMOSAIC_OK;
}
