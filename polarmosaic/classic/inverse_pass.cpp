// Inverse polar resampling: every destination pixel looks up its radius and
// angle in the polar source.
#include "shared/internal.h"

using namespace polarmosaic_detail;

namespace {

struct InverseGeometry {
    int32_t width, height, lineBytes;
    float pixelStep, cx, cy, radialScale, angularScale, angleOffset, columnLimit, rowLimit;
    FoldRule foldU, foldV;
};

// Radius and reference angle of a pixel from its offsets to the centre.
inline float radiusOf(float dx, float dy) {
    return static_cast<float>(std::sqrt(static_cast<double>(dx * dx + dy * dy)));
}

inline float referenceAngle(float dx, float dy) {
    if (dx == 0.0f) return kHalfPiF;
    return polarmosaic_detail::atanOfFloatToFloat(fabs33(dy) / fabs33(dx));
}

// The rest of a pixel once its radius and reference angle are known. The
// quadrant rule looks only at the signs of dx and dy (-0 counting as 0).
inline void inversePixel(const PolarMapParam& p, const InverseGeometry& g, int32_t at, float dx, float dy,
                         float radius, float reference) {
    float angle;
    if (dx >= 0.0f && dy < 0.0f) {
        angle = reference;
    } else if (dx < 0.0f && dy < 0.0f) {
        angle = static_cast<float>(kPi - static_cast<double>(reference));
    } else if (dx < 0.0f && dy >= 0.0f) {
        angle = static_cast<float>(kPi + static_cast<double>(reference));
    } else {
        angle = kTwoPiF - reference;
    }
    float u = (radius + p.radiusOffset) * g.radialScale;
    float v = (angle + g.angleOffset) * g.angularScale;
    if (p.wrap != 0 && !foldNear(&u, g.foldU)) return;
    if (!foldNear(&v, g.foldV)) return;
    if (u != u) return;  // NaN passes every range comparison
    float fx = fmod33(u);
    float fy = fmod33(v);
    if (u < 0.0f || u > g.columnLimit || v < 0.0f || v > g.rowLimit) return;
    writeBlend(p, at, neighboursOf(u, v, g.width, g.height, g.lineBytes), fx, fy);
}

inline void inversePixelAt(const PolarMapParam& p, const InverseGeometry& g, int32_t x, int32_t y) {
    const float dx = g.pixelStep * (static_cast<float>(x) - g.cx);
    const float dy = g.pixelStep * (static_cast<float>(y) - g.cy);
    inversePixel(p, g, y * g.lineBytes + x, dx, dy, radiusOf(dx, dy), referenceAngle(dx, dy));
}

// Column x and column width - x lie the same distance either side of the
// centre cx = width / 2 (both differences are exact in single precision), so
// their dx are negatives of each other, and likewise the dy of rows y and
// height - y. The radius and the reference angle depend on |dx| and |dy| only,
// so one square root and one arctangent serve all four mirrored pixels; only
// the quadrant, and what follows from it, differs. (A zero offset mirrored
// becomes -0, which the quadrant rule and the reference angle treat as +0.)
const int32_t kQuarterTile = 16;  // at most 16: one kernel call per tile row

// Mirror m of (x, y): bit 0 mirrors the column, bit 1 the row. mirrors has
// bit m set for each mirror to write.
inline void inverseMirrored(const PolarMapParam& p, const InverseGeometry& g, int32_t x, int32_t y,
                            uint32_t mirrors) {
    const int32_t mx = g.width - x;
    const int32_t my = g.height - y;
    const float dx = g.pixelStep * (static_cast<float>(x) - g.cx);
    const float dy = g.pixelStep * (static_cast<float>(y) - g.cy);
    const float radius = radiusOf(dx, dy);
    const float reference = referenceAngle(dx, dy);
    if ((mirrors & 1u) != 0) inversePixel(p, g, y * g.lineBytes + x, dx, dy, radius, reference);
    if ((mirrors & 2u) != 0) inversePixel(p, g, y * g.lineBytes + mx, -dx, dy, radius, reference);
    if ((mirrors & 4u) != 0) inversePixel(p, g, my * g.lineBytes + x, dx, -dy, radius, reference);
    if ((mirrors & 8u) != 0) inversePixel(p, g, my * g.lineBytes + mx, -dx, -dy, radius, reference);
}

// The pair rows first .. last (within 1 .. height / 2) that can have y or
// height - y in the set; rows outside write nothing. last < first when none.
inline void pairRowBounds(const RowSet& rows, int32_t height, int32_t* first, int32_t* last) {
    const int32_t lastRow = height / 2;
    *first = lastRow + 1;
    *last = 0;
    for (int span = 0; span < 2; ++span) {
        if (rows.first[span] >= rows.end[span]) continue;
        // Direct rows first .. end - 1, mirrored rows height - end + 1 .. height - first.
        const int32_t lows[2] = {rows.first[span], height - rows.end[span] + 1};
        const int32_t highs[2] = {rows.end[span] - 1, height - rows.first[span]};
        for (int k = 0; k < 2; ++k) {
            const int32_t lo = lows[k] > 1 ? lows[k] : 1;
            const int32_t hi = highs[k] < lastRow ? highs[k] : lastRow;
            if (lo > hi) continue;
            if (lo < *first) *first = lo;
            if (hi > *last) *last = hi;
        }
    }
}

// The mirrors of pair row y (1 .. height / 2) whose rows lie in the set.
inline uint32_t mirrorsInSet(const RowSet& rows, int32_t y, int32_t height) {
    return (rows.contains(y) ? 3u : 0u) | (rows.contains(height - y) ? 12u : 0u);
}

}  // namespace

namespace polarmosaic_detail {

void inverseRows(const PolarMapParam& p, const RowSet& rows) {
    const int32_t width = p.width;
    const int32_t height = p.height;
    const int32_t lineBytes = p.lineBytes;

    InverseGeometry g;
    g.width = width;
    g.height = height;
    g.lineBytes = lineBytes;
    g.pixelStep = 2.0f * reciprocalZoom(p.zoom);
    g.cx = static_cast<float>(width) / 2.0f;
    g.cy = static_cast<float>(height) / 2.0f;
    const float sumOfSquares = static_cast<float>(width) * static_cast<float>(width) +
                               static_cast<float>(height) * static_cast<float>(height);
    g.radialScale = static_cast<float>(static_cast<double>(static_cast<float>(width - 1)) /
                                       std::sqrt(static_cast<double>(sumOfSquares)));
    g.angularScale = static_cast<float>(static_cast<double>(height - 2) / kTwoPi);
    g.angleOffset = static_cast<float>(static_cast<double>(p.angleOffset) * kPi / 180.0);
    g.columnLimit = static_cast<float>(width - 1);
    g.rowLimit = static_cast<float>(height);
    g.foldU = makeFoldRule(static_cast<double>(width - 1), static_cast<double>(width) - 0.5, true);
    g.foldV = makeFoldRule(static_cast<double>(height - 1), static_cast<double>(height) - 0.5, true);

    // Row 0 and column 0 have no mirror image inside the picture.
    if (rows.contains(0)) {
        for (int32_t x = 0; x < width; ++x) inversePixelAt(p, g, x, 0);
    }
    for (int span = 0; span < 2; ++span) {  // a pixel in both spans is written twice, the same way
        const int32_t end = rows.end[span] < height ? rows.end[span] : height;
        for (int32_t y = rows.first[span] > 1 ? rows.first[span] : 1; y < end; ++y)
            inversePixelAt(p, g, 0, y);
    }
    const int32_t lastColumn = width / 2;  // columns 1 .. width / 2 and their mirrors
    const int32_t lastRow = height / 2;    // cover 1 .. width - 1; rows alike
    // Only the tiles of pair rows (1, 17, 33, ...) that can hold a row of the set.
    int32_t firstPair = 0;
    int32_t lastPair = 0;
    pairRowBounds(rows, height, &firstPair, &lastPair);
    const int32_t firstTile = 1 + (firstPair - 1) / kQuarterTile * kQuarterTile;

#if POLARMAP_HAVE_VECTOR_KERNELS
    Kernels kernels = {nullptr, nullptr};
    if (kernelsApply(width, height, lineBytes, &kernels)) {
        const polarmap_simd::KernelPlanes planes = kernelPlanesOf(p);
        polarmap_simd::InverseSetup setup;
        setup.pixelStep = g.pixelStep;
        setup.cx = g.cx;
        setup.cy = g.cy;
        setup.radiusOffset = p.radiusOffset;
        setup.radialScale = g.radialScale;
        setup.angularScale = g.angularScale;
        setup.angleOffset = g.angleOffset;
        setup.wrap = p.wrap != 0;
        setup.foldU = kernelFold(g.foldU);
        setup.foldV = kernelFold(g.foldV);
        // Square tiles of the quarter: the pixels of a tile read a compact
        // patch of the source (a short range of radii and of angles), which
        // stays in the first-level cache across the tile's rows.
        for (int32_t y0 = firstTile; y0 <= lastPair; y0 += kQuarterTile) {
            const int32_t y1 = lastRow - y0 < kQuarterTile ? lastRow : y0 + kQuarterTile - 1;
            for (int32_t x = 1; x <= lastColumn; x += kQuarterTile) {
                for (int32_t y = y0; y <= y1; ++y) {
                    const uint32_t mirrors = mirrorsInSet(rows, y, height);
                    if (mirrors == 0) continue;
                    polarmap_simd::InverseRun run;
                    run.mirrorMask = mirrors;
                    run.x = x;
                    run.count = lastColumn - x + 1 < kQuarterTile ? lastColumn - x + 1 : kQuarterTile;
                    run.y = y;
                    uint64_t left = kernels.inverse(planes, setup, run);
                    while (left != 0) {
                        const int32_t bit = __builtin_ctzll(left);
                        left &= left - 1;
                        const int32_t column = x + bit / 4;
                        const int32_t mirror = bit % 4;
                        inversePixelAt(p, g, (mirror & 1) != 0 ? width - column : column,
                                       (mirror & 2) != 0 ? height - y : y);
                    }
                }
            }
        }
        return;
    }
#endif
    for (int32_t y0 = firstTile; y0 <= lastPair; y0 += kQuarterTile) {
        const int32_t y1 = lastRow - y0 < kQuarterTile ? lastRow : y0 + kQuarterTile - 1;
        for (int32_t x0 = 1; x0 <= lastColumn; x0 += kQuarterTile) {
            const int32_t x1 = lastColumn - x0 < kQuarterTile ? lastColumn : x0 + kQuarterTile - 1;
            for (int32_t y = y0; y <= y1; ++y) {
                const uint32_t mirrors = mirrorsInSet(rows, y, height);
                if (mirrors == 0) continue;
                for (int32_t x = x0; x <= x1; ++x) inverseMirrored(p, g, x, y, mirrors);
            }
        }
    }
}

RowSet mirroredBand(int32_t height, int32_t first, int32_t end) {
    // Pair rows first .. end - 1 (of 0 .. height / 2) and their mirror rows
    // height - (end - 1) .. height - first, without row height itself.
    int32_t mirrorEnd = height - first + 1;
    if (mirrorEnd > height) mirrorEnd = height;
    return RowSet{{first, height - end + 1}, {end, mirrorEnd}};
}

}  // namespace polarmosaic_detail

extern "C" int iCartesian2PolarRows0(const PolarMapParam* param, int32_t first, int32_t end) {
    const int status = checkPolarMapParam(param);
    if (status != POLARMOSAIC_OK) return status;
    if (first < 0 || end > param->height) return POLARMOSAIC_BAD_RANGE;
    if (first < end) inverseRows(*param, singleSpan(first, end));
    return POLARMOSAIC_OK;
}

extern "C" void iCartesian2Polar0(const PolarMapParam* param) {
    if (checkPolarMapParam(param) == POLARMOSAIC_OK) inverseRows(*param, singleSpan(0, param->height));
}
