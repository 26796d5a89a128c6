// Fitted geometry: the forward stage (picture -> polar samples) and the
// inverse stage (tile image and lines -> picture).
#include <math.h>

#include "fitted_internal.h"
#include "floathelpers_internal.h"

using namespace polarmosaic_detail;

namespace {

// Columns whose sine and cosine are taken together, on the stack.
constexpr int kAngleBlock = 256;

bool rangeInside(int32_t first, int32_t end, int32_t count) { return first >= 0 && end <= count; }

// One sample point, clamped into the picture (a point beyond an edge takes
// the nearest edge pixel), blended with integer weights in 1/256 steps:
// the four weights add up to 65536, so a flat area stays exactly flat.
struct Blend {
    int32_t offset00, stepX, stepY;
    int32_t w00, w01, w10, w11;
};

Blend blendAt(double sx, double sy, int32_t width, int32_t height, int32_t lineBytes) {
    const double lastX = static_cast<double>(width - 1);
    const double lastY = static_cast<double>(height - 1);
    if (sx < 0.0) sx = 0.0;
    if (sx > lastX) sx = lastX;
    if (sy < 0.0) sy = 0.0;
    if (sy > lastY) sy = lastY;
    const int32_t x0 = static_cast<int32_t>(sx);
    const int32_t y0 = static_cast<int32_t>(sy);
    const int32_t wx = fittedWeight(sx - static_cast<double>(x0));
    const int32_t wy = fittedWeight(sy - static_cast<double>(y0));
    Blend b;
    b.offset00 = y0 * lineBytes + x0;
    b.stepX = x0 < width - 1 ? 1 : 0;
    b.stepY = y0 < height - 1 ? lineBytes : 0;
    b.w00 = (256 - wx) * (256 - wy);
    b.w01 = wx * (256 - wy);
    b.w10 = (256 - wx) * wy;
    b.w11 = wx * wy;
    return b;
}

inline uint8_t blendPlane(const uint8_t* plane, const Blend& b) {
    const uint8_t* p = plane + b.offset00;
    const int32_t sum = p[0] * b.w00 + p[b.stepX] * b.w01 + p[b.stepY] * b.w10 + p[b.stepY + b.stepX] * b.w11;
    return static_cast<uint8_t>((sum + 32768) >> 16);
}

}  // namespace

extern "C" int iFittedForwardRows0(const PolarFittedParam* p, int32_t first, int32_t end) {
    const int status = checkPolarFittedParam(p);
    if (status != POLARMOSAIC_OK) return status;
    if (!rangeInside(first, end, p->polarRows)) return POLARMOSAIC_BAD_RANGE;
    if (first >= end) return POLARMOSAIC_OK;
    const double cx = fittedCentre(p->width);
    const double cy = fittedCentre(p->height);
    const int32_t cols = p->polarCols;
    double sines[kAngleBlock];
    double cosines[kAngleBlock];
    for (int32_t block = 0; block < cols; block += kAngleBlock) {
        const int32_t blockEnd = block + kAngleBlock < cols ? block + kAngleBlock : cols;
        for (int32_t j = block; j < blockEnd; ++j) {
            sinCosOfFloat(fittedColumnAngle(j, cols), &sines[j - block], &cosines[j - block]);
        }
        for (int32_t i = first; i < end; ++i) {
            const double radius = static_cast<double>(i) + 0.5;
            const int32_t row = i * p->polarLineBytes;
            for (int32_t j = block; j < blockEnd; ++j) {
                const double sx = cx + radius * cosines[j - block];
                const double sy = cy - radius * sines[j - block];
                const Blend b = blendAt(sx, sy, p->width, p->height, p->lineBytes);
                for (int c = 0; c < 3; ++c) p->polarPlane[c][row + j] = blendPlane(p->srcPlane[c], b);
            }
        }
    }
    return POLARMOSAIC_OK;
}

// ---------------------------------------------------------------------------
// Inverse stage.

namespace {

struct LineHit {
    bool on;
    int band;  // 0 on the centre of the line, up to borderWidth / 2
    int side;  // shade side: 0 outer, 1 inner, 2 counter-clockwise, 3 clockwise
};

// A line covers the signed distances -halfWidth <= distance < halfWidth
// from its centre: half-open, so that a line lying exactly between two pixel
// rows covers one of them, and a line of width w is w pixels across an axis.
// Band b (the ramp entry) holds the distances that round to b, the outermost
// band also the half-pixel beyond.
inline LineHit lineHit(double distance, double halfWidth, int lastBand, int positiveSide) {
    LineHit hit;
    const double a = distance < 0.0 ? -distance : distance;
    hit.on = distance >= -halfWidth && distance < halfWidth;
    hit.band = static_cast<int>(a + 0.5);
    if (hit.band > lastBand) hit.band = lastBand;
    hit.side = distance >= 0.0 ? positiveSide : positiveSide + 1;
    return hit;
}

}  // namespace

extern "C" int iFittedInverseRows0(const PolarFittedParam* p, int32_t first, int32_t end) {
    const int status = checkPolarFittedParam(p);
    if (status != POLARMOSAIC_OK) return status;
    if (!rangeInside(first, end, p->height)) return POLARMOSAIC_BAD_RANGE;
    if (first >= end) return POLARMOSAIC_OK;
    const double cx = fittedCentre(p->width);
    const double cy = fittedCentre(p->height);
    const int32_t cols = p->polarCols;
    const int32_t lastRow = p->polarRows - 1;
    const double colsPerRadian = static_cast<double>(cols) / kFittedTwoPi;
    const double sectorsPerRadian = static_cast<double>(p->sectors) / kFittedTwoPi;
    const double ringWidth = static_cast<double>(p->ringWidth);
    const bool lines = p->borderWidth > 0 && p->borderMode >= POLARMOSAIC_BORDER_GRID &&
                       p->borderMode <= POLARMOSAIC_BORDER_SPOKES;
    const bool rings = lines && p->borderMode != POLARMOSAIC_BORDER_SPOKES && p->rings >= 2;
    const bool spokes = lines && p->borderMode != POLARMOSAIC_BORDER_RINGS;
    const double halfWidth = static_cast<double>(p->borderWidth) * 0.5;
    const int lastBand = p->borderWidth / 2;
    // Direction of the last spoke looked at, one for each half of a row: a
    // half row crosses few spokes.
    struct SpokeCache {
        int32_t index;
        double sine, cosine;
    };
    SpokeCache leftSpoke = {-1, 0.0, 1.0};
    SpokeCache rightSpoke = {-1, 0.0, 1.0};

    // One output pixel, given its offset, distance and first-quadrant angle.
    auto pixel = [&](int32_t at, double dx, double dy, double distance, double t, SpokeCache& spoke0) {
        const double angle = fittedAngleInQuadrant(t, dx, dy);
        int32_t row = static_cast<int32_t>(distance);
        if (row > lastRow) row = lastRow;
        int32_t col = static_cast<int32_t>(angle * colsPerRadian);
        if (col >= cols) col = cols - 1;
        const int32_t tile = row * p->polarLineBytes + col;
        uint8_t value[3] = {p->tilePlane[0][tile], p->tilePlane[1][tile], p->tilePlane[2][tile]};

        LineHit ring = {false, 0, 0};
        if (rings) {
            int32_t k = static_cast<int32_t>(distance / ringWidth + 0.5);
            if (k < 1) k = 1;
            if (k > p->rings - 1) k = p->rings - 1;
            ring = lineHit(distance - static_cast<double>(k) * ringWidth, halfWidth, lastBand, 0);
        }
        LineHit spoke = {false, 0, 0};
        if (spokes && distance >= ringWidth) {
            const double u = angle * sectorsPerRadian;
            int32_t k = static_cast<int32_t>(u);
            if (u - static_cast<double>(k) >= 0.5) ++k;
            if (k >= p->sectors) k -= p->sectors;
            if (k != spoke0.index) {
                sinCosOfFloat(fittedSpokeAngle(k, p->sectors), &spoke0.sine, &spoke0.cosine);
                spoke0.index = k;
            }
            const double along = spoke0.cosine * dx + spoke0.sine * dy;
            if (along > 0.0) spoke = lineHit(spoke0.cosine * dy - spoke0.sine * dx, halfWidth, lastBand, 2);
        }
        // Where a ring and a spoke meet, the nearer centre line wins, the
        // ring's on a tie, and both centre lines run through (as the mitred
        // crossings of the classic borders).
        const LineHit* hit = nullptr;
        if (ring.on && spoke.on) {
            if (ring.band == 0)
                hit = &ring;
            else if (spoke.band == 0)
                hit = &spoke;
            else
                hit = ring.band <= spoke.band ? &ring : &spoke;
        } else if (ring.on) {
            hit = &ring;
        } else if (spoke.on) {
            hit = &spoke;
        }
        if (hit != nullptr) {
            for (int c = 0; c < 3; ++c) {
                value[c] = hit->band == 0 ? static_cast<uint8_t>(p->borderValue[c])
                                          : p->ramp[3 * hit->side + c][hit->band];
            }
        }
        for (int c = 0; c < 3; ++c) p->dstPlane[c][at] = value[c];
    };

    // Pixels x and width - 1 - x lie mirrored about the centre: one root and
    // one arctangent serve both.
    const int32_t width = p->width;
    for (int32_t y = first; y < end; ++y) {
        const double dy = cy - static_cast<double>(y);
        const double ay = dy < 0.0 ? -dy : dy;
        const int32_t outRow = y * p->lineBytes;
        for (int32_t x = 0; x <= width - 1 - x; ++x) {
            const double ax = cx - static_cast<double>(x);  // >= 0 on the left half
            const double distance = sqrt(ax * ax + ay * ay);
            const double t = fittedFirstQuadrantAngle(ax, ay);
            pixel(outRow + x, -ax, dy, distance, t, leftSpoke);
            if (width - 1 - x != x) pixel(outRow + width - 1 - x, ax, dy, distance, t, rightSpoke);
        }
    }
    return POLARMOSAIC_OK;
}
