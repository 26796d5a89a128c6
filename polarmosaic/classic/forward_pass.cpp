// Forward polar resampling: the source picture unrolled around its centre,
// one radius per destination row and one angle per column.
#include "shared/internal.h"

using namespace polarmosaic_detail;

namespace {

struct ForwardGeometry {
    int32_t width, height, lineBytes;
    float radiusStep, angleDivisor, cx, cy, columnLimit, rowLimit;
    FoldRule foldX, foldY;
};

// One destination pixel: radius index row, angle given by its sine and
// cosine (which depend on the column only).
inline void forwardPixel(const PolarMapParam& p, const ForwardGeometry& g, int32_t at, float radius,
                         double sine, double cosine) {
    float x = static_cast<float>(static_cast<double>(radius) * sine + static_cast<double>(g.cx));
    float y = static_cast<float>(static_cast<double>(radius) * cosine + static_cast<double>(g.cy));
    if (p.wrap != 0 && !(foldNear(&x, g.foldX) && foldNear(&y, g.foldY))) return;
    if (x != x || y != y) return;  // NaN passes every range comparison
    float fx = fmod33(x);
    float fy = fmod33(y);
    if (x < 0.0f || x > g.columnLimit || y < 0.0f || y > g.rowLimit) return;
    writeBlend(p, at, neighboursOf(x, y, g.width, g.height, g.lineBytes), fx, fy);
}

// The angle of a destination pixel depends only on its column, so the pass
// takes the sine and cosine once per column, for a block of columns at a time
// (the table stays small enough for the stack), and then runs down every row
// of the block.
const int32_t kColumnBlock = 256;
const int32_t kColumnBand = 32;  // at most 64: one kernel call

// Destination rows first .. end - 1 of the angles angleFirst .. angleEnd - 1
// (angle index j lands in destination column width - 1 - j); checked by the
// caller. Every pixel depends only on its own position, so any split of rows
// or angles gives the same bytes.
void forwardRegion(const PolarMapParam& p, int32_t first, int32_t end, int32_t angleFirst, int32_t angleEnd) {
    const int32_t width = p.width;
    const int32_t height = p.height;
    const int32_t lineBytes = p.lineBytes;

    ForwardGeometry g;
    g.width = width;
    g.height = height;
    g.lineBytes = lineBytes;
    g.radiusStep = static_cast<float>(static_cast<double>(reciprocalZoom(p.zoom)) * 0.8);
    g.angleDivisor = static_cast<float>(static_cast<double>(static_cast<float>(width - 1)) / kTwoPi);
    g.cx = static_cast<float>(width) / 2.0f - 0.5f;
    g.cy = static_cast<float>(height) / 2.0f - 0.5f;
    g.columnLimit = static_cast<float>(width - 1);
    g.rowLimit = static_cast<float>((height - 1) + 1);
    g.foldX = makeFoldRule(static_cast<double>(width) - 1.2, static_cast<double>(width) - 0.1, false);
    g.foldY = makeFoldRule(static_cast<double>(height) - 1.2, static_cast<double>(height) - 0.1, false);

#if POLARMAP_HAVE_VECTOR_KERNELS
    Kernels kernels = {nullptr, nullptr};
    const bool vector = kernelsApply(width, height, lineBytes, &kernels);
    polarmap_simd::KernelPlanes planes;
    polarmap_simd::ForwardRun run;
    if (vector) {
        planes = kernelPlanesOf(p);
        run.cx = g.cx;
        run.cy = g.cy;
        run.wrap = p.wrap != 0;
        run.foldX = kernelFold(g.foldX);
        run.foldY = kernelFold(g.foldY);
    }
#endif

    double sines[kColumnBlock];
    double cosines[kColumnBlock];
    for (int32_t firstColumn = angleFirst; firstColumn < angleEnd; firstColumn += kColumnBlock) {
        const int32_t columns = angleEnd - firstColumn < kColumnBlock ? angleEnd - firstColumn : kColumnBlock;
        for (int32_t k = 0; k < columns; ++k) {
            const float angle = (static_cast<float>(firstColumn + k) + p.angleOffset) / g.angleDivisor;
            polarmosaic_detail::sinCosOfFloat(angle, &sines[k], &cosines[k]);
        }
        for (int32_t k = columns; k < kColumnBlock && (k & 7) != 0; ++k) sines[k] = cosines[k] = 0.0;
        // Pixel (i, j) goes to destination row height - 1 - i, column
        // width - 1 - j: the destination is filled from its end backwards.
        // Neighbouring radii sample neighbouring arcs, so the rows are run
        // over a narrow band of columns at a time: the source lines that one
        // arc touches are still in the first-level cache for the next.
        for (int32_t band = 0; band < columns; band += kColumnBand) {
            const int32_t bandEnd = columns - band < kColumnBand ? columns : band + kColumnBand;
            for (int32_t i = height - end; i < height - first; ++i) {
                float radius = g.radiusStep * (static_cast<float>(i) + p.radiusOffset);
                if (radius < 0.0f) radius = -radius;
                const int32_t rowAt = (height - 1 - i) * lineBytes + (width - 1 - firstColumn);
#if POLARMAP_HAVE_VECTOR_KERNELS
                if (vector) {
                    run.radius = radius;
                    run.sinTable = sines + band;
                    run.cosTable = cosines + band;
                    run.count = bandEnd - band;
                    run.at = rowAt - band;
                    uint64_t left = kernels.forward(planes, run);
                    while (left != 0) {
                        const int32_t k = band + __builtin_ctzll(left);
                        left &= left - 1;
                        forwardPixel(p, g, rowAt - k, radius, sines[k], cosines[k]);
                    }
                    continue;
                }
#endif
                for (int32_t k = band; k < bandEnd; ++k) {
                    forwardPixel(p, g, rowAt - k, radius, sines[k], cosines[k]);
                }
            }
        }
    }
}

}  // namespace

extern "C" int iPolar2CartesianRows0(const PolarMapParam* param, int32_t first, int32_t end) {
    const int status = checkPolarMapParam(param);
    if (status != POLARMOSAIC_OK) return status;
    if (first < 0 || end > param->height) return POLARMOSAIC_BAD_RANGE;
    if (first < end) forwardRegion(*param, first, end, 0, param->width);
    return POLARMOSAIC_OK;
}

extern "C" void iPolar2Cartesian0(const PolarMapParam* param) {
    if (checkPolarMapParam(param) == POLARMOSAIC_OK) forwardRegion(*param, 0, param->height, 0, param->width);
}

namespace polarmosaic_detail {

// The driver splits the pass by angles: each column's sine and cosine are
// then taken once in all.
void forwardAngles(const PolarMapParam& p, int32_t angleFirst, int32_t angleEnd) {
    forwardRegion(p, 0, p.height, angleFirst, angleEnd);
}

}  // namespace polarmosaic_detail
