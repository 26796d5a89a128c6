// Geometry transforms: forward and inverse polar resampling, plane turns and
// the line-width helper.
//
// Both resampling passes fold coordinates that leave the source back into it
// by whole periods, one period per round. That rule defines the result to the
// last bit, so it is kept exactly; three things are added around it:
//   - a coordinate that no round can bring into range (NaN, infinite, a
//     period of zero or less, a round too small to change the value) skips
//     its pixel instead of looping for ever;
//   - a coordinate far outside the source is brought in with whole runs of
//     rounds at once, with the same result as round by round (see foldDown);
//   - a sample row index equal to the row count (a coordinate exactly on the
//     lower edge) reads the last row, whose weight is 0 there, instead of the
//     row past the plane.
#include "polarmosaic.h"
#include "floathelpers_internal.h"
#include "polarmap_simd.h"

#include <cmath>
#include <cstddef>

#if defined(__x86_64__) && defined(__SSE2__) && !defined(POLARMOSAIC_PORTABLE_ONLY)
#include <emmintrin.h>
#endif

namespace {

using polarmap_simd::kHalfPiF;
using polarmap_simd::kPi;
using polarmap_simd::kTwoPi;
using polarmap_simd::kTwoPiF;
const double kTwoPow31 = 2147483648.0;

// Truncation toward zero to signed 32 bits, saturating; NaN gives INT32_MIN.
int32_t truncSaturated32(float x) {
    double v = static_cast<double>(x);
    if (v >= kTwoPow31) return INT32_MAX;
    if (!(v > -kTwoPow31)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The low 16 bits of a 32-bit value, read as signed.
int32_t lowHalfSigned(int32_t v) {
    uint32_t low = static_cast<uint32_t>(v) & 0xFFFFu;
    return low >= 0x8000u ? static_cast<int32_t>(low) - 0x10000 : static_cast<int32_t>(low);
}

// The second fold loop runs while the integer part, read as 16 bits, is not
// positive.
bool integerPartNotPositive(float x) { return lowHalfSigned(truncSaturated32(x)) <= 0; }

// One round of a fold: the sum is formed in double and rounded to single.
// For the inverse pass the period is a whole number and both operands are
// exact singles, so this equals a single-precision sum (double rounding of a
// sum is harmless from 53 to 24 bits).
float foldRound(float x, double delta) {
    return static_cast<float>(static_cast<double>(x) + delta);
}

// Lower bound of the binade of a finite, non-zero magnitude.
double binadeFloor(double magnitude) {
    int exponent = 0;
    std::frexp(magnitude, &exponent);
    return std::ldexp(0.5, exponent);
}

struct FoldRule {
    double period;        // amount taken off or added per round, > 0
    double upper;         // the first loop runs while x is above this
    bool upperInclusive;  // ... or equal to it
    double farLimit;      // from here on runs of rounds are taken at once
};

bool aboveUpper(float x, const FoldRule& rule) {
    double v = static_cast<double>(x);
    return rule.upperInclusive ? v >= rule.upper : v > rule.upper;
}

FoldRule makeFoldRule(double period, double upper, bool upperInclusive) {
    FoldRule rule;
    rule.period = period;
    rule.upper = upper;
    rule.upperInclusive = upperInclusive;
    rule.farLimit = 4.0 * (std::fabs(upper) + period + 2.0);
    return rule;
}

// Runs of rounds. Inside one binade [2^e, 2^(e+1)) every value is a multiple
// of the binade's spacing, and a round that stays in the binade subtracts the
// period rounded onto that grid: the same number of spacings each time, except
// that a period falling exactly half-way may alternate once with ties-to-even.
// From the second round on the count is constant, so after two real rounds the
// rest of the binade can be crossed in one step, stopping a safety margin of
// two rounds before its floor; the real rounds then cross the boundary.
// The same holds mirrored for negative values moving up.
//
// How many further rounds of size `step` stay at least two rounds above the
// binade floor, starting from magnitude `magnitude`.
double roundsInsideBinade(double magnitude, double floorOfBinade, double step) {
    return std::floor((magnitude - floorOfBinade) / step) - 2.0;
}

// The first loop: while above the upper bound, take off one period. Returns
// false when the loop could never end.
bool foldDown(float* coord, const FoldRule& rule) {
    float x = *coord;
    while (aboveUpper(x, rule)) {
        float x1 = foldRound(x, -rule.period);
        if (!(x1 < x)) return false;  // infinite, or the round changes nothing
        if (static_cast<double>(x) >= rule.farLimit && aboveUpper(x1, rule)) {
            double floorOfBinade = binadeFloor(static_cast<double>(x));
            float x2 = foldRound(x1, -rule.period);
            if (static_cast<double>(x2) >= floorOfBinade) {
                double step = static_cast<double>(x1) - static_cast<double>(x2);
                double runs = roundsInsideBinade(static_cast<double>(x2), floorOfBinade, step);
                if (runs >= 1.0) x2 = static_cast<float>(static_cast<double>(x2) - runs * step);
            }
            x = x2;
            continue;
        }
        x = x1;
    }
    *coord = x;
    return true;
}

// For a negative x (above -2^31) and rounds of size step moving it up: how
// many rounds can be taken before the loop's stop test could first pass.
// The test passes once the integer part (toward zero) has its low 16 bits in
// 1 .. 32767.
double roundsBeforeStop(float x, double step) {
    int32_t integerPart = truncSaturated32(x);
    if (lowHalfSigned(integerPart) > 0) return 0.0;
    uint32_t low = static_cast<uint32_t>(integerPart) & 0xFFFFu;
    double firstStop = static_cast<double>(integerPart) +
                       (low == 0 ? 1.0 : static_cast<double>(0x10000u - low) + 1.0);
    // The integer part of a negative value reaches firstStop once the value
    // passes firstStop - 1.
    return std::floor((firstStop - 1.0 - static_cast<double>(x)) / step) - 2.0;
}

// The second loop: while the integer part is not positive, add one period.
bool foldUp(float* coord, const FoldRule& rule) {
    float x = *coord;
    while (integerPartNotPositive(x)) {
        float x1 = foldRound(x, rule.period);
        if (!(x1 > x)) return false;
        if (-static_cast<double>(x) >= rule.farLimit && integerPartNotPositive(x1)) {
            double floorOfBinade = binadeFloor(-static_cast<double>(x));
            float x2 = foldRound(x1, rule.period);
            if (-static_cast<double>(x2) >= floorOfBinade) {
                double step = static_cast<double>(x2) - static_cast<double>(x1);
                double runs = roundsInsideBinade(-static_cast<double>(x2), floorOfBinade, step);
                // Below -2^31 the integer part saturates and the test cannot
                // pass; above it, the run must stop short of the first value
                // where it does.
                if (static_cast<double>(x2) > -kTwoPow31) {
                    double untilStop = roundsBeforeStop(x2, step);
                    if (untilStop < runs) runs = untilStop;
                }
                if (runs >= 1.0) x2 = static_cast<float>(static_cast<double>(x2) + runs * step);
            }
            x = x2;
            continue;
        }
        x = x1;
    }
    *coord = x;
    return true;
}

bool fold(float* coord, const FoldRule& rule) {
    if (!(rule.period > 0.0) || *coord != *coord) return false;
    return foldDown(coord, rule) && foldUp(coord, rule);
}

bool planesPresent(uint8_t* const planes[3]) {
    return planes[0] != nullptr && planes[1] != nullptr && planes[2] != nullptr;
}

// Bilinear blend of one channel: the two right-hand products are single
// precision, every other step double; the result is truncated.
uint8_t blendSample(const uint8_t* plane, int32_t topLeft, int32_t topRight,
                    int32_t bottomLeft, int32_t bottomRight,
                    float fx, double oneMinusFx, float fy, double oneMinusFy) {
    float rightTop = fx * static_cast<float>(plane[topRight]);
    float rightBottom = fx * static_cast<float>(plane[bottomRight]);
    double top = oneMinusFx * static_cast<double>(plane[topLeft]) + static_cast<double>(rightTop);
    double bottom = oneMinusFx * static_cast<double>(plane[bottomLeft]) + static_cast<double>(rightBottom);
    double value = oneMinusFy * top + static_cast<double>(fy) * bottom;
    return static_cast<uint8_t>(static_cast<int32_t>(value));
}

// Positions of the four neighbours of an in-range sample point (x within
// 0 .. width - 1, y within 0 .. height), shared by all three planes.
struct Neighbours {
    int32_t topLeft, topRight, bottomLeft, bottomRight;
};

Neighbours neighboursOf(float x, float y, int32_t width, int32_t height, int32_t lineBytes) {
    int32_t column = static_cast<int32_t>(x);
    int32_t row = static_cast<int32_t>(y);
    if (row > height - 1) row = height - 1;  // y on the lower edge: its weight is 0
    Neighbours n;
    n.topLeft = row * lineBytes + column;
    n.topRight = x < static_cast<float>(width - 1) ? n.topLeft + 1 : n.topLeft;
    bool hasRowBelow = y < static_cast<float>(height - 1);
    n.bottomLeft = hasRowBelow ? n.topLeft + lineBytes : n.topLeft;
    n.bottomRight = hasRowBelow ? n.topRight + lineBytes : n.topRight;
    return n;
}

void writeBlend(const PolarMapParam& p, int32_t at, const Neighbours& n, float fx, float fy) {
    double oneMinusFx = 1.0 - static_cast<double>(fx);
    double oneMinusFy = 1.0 - static_cast<double>(fy);
    for (int c = 0; c < 3; ++c) {
        p.dstPlane[c][at] = blendSample(p.srcPlane[c], n.topLeft, n.topRight, n.bottomLeft,
                                        n.bottomRight, fx, oneMinusFx, fy, oneMinusFy);
    }
}

float reciprocalZoom(float zoom) {
    return zoom == 0.0f ? 1.0f : static_cast<float>(1.0 / static_cast<double>(zoom));
}

// The fold for coordinates near the source: there the full fold takes its
// rounds one at a time, so the plain loops give the same bits. Anything else
// (far out, NaN, infinite, a period of zero or less) goes to the full fold.
inline bool foldNear(float* coord, const FoldRule& rule) {
    float x = *coord;
    if (!(rule.period > 0.0) || !(std::fabs(static_cast<double>(x)) < rule.farLimit)) return fold(coord, rule);
    while (aboveUpper(x, rule)) x = foldRound(x, -rule.period);
    while (integerPartNotPositive(x)) x = foldRound(x, rule.period);
    *coord = x;
    return true;
}

#if POLARMAP_HAVE_VECTOR_KERNELS
// Offset of the last source byte that a pass may read: the last pixel of the
// last row.
int32_t lastSourceOffset(int32_t width, int32_t height, int32_t lineBytes) {
    return (height - 1) * lineBytes + width - 1;
}

// Largest single value not above v, and smallest not below it.
float singleAtOrBelow(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v) f = std::nextafter(f, -HUGE_VALF);
    return f;
}

float singleAtOrAbove(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) < v) f = std::nextafter(f, HUGE_VALF);
    return f;
}

polarmap_simd::KernelFold kernelFold(const FoldRule& rule) {
    polarmap_simd::KernelFold k;
    k.period = rule.period;
    // For a single x and a double bound b: x > b exactly when x > (largest
    // single <= b); x >= b exactly when x > (the single just below the
    // smallest single >= b); |x| < b exactly when |x| < (smallest single >= b).
    k.downAbove = rule.upperInclusive ? std::nextafter(singleAtOrAbove(rule.upper), -HUGE_VALF)
                                      : singleAtOrBelow(rule.upper);
    // The plain rounds need a positive period; with none, every lane goes
    // back to the exact code.
    k.nearBelow = rule.period > 0.0 ? singleAtOrAbove(rule.farLimit) : 0.0f;
    return k;
}

// The vector kernels gather 32-bit words from the source, so they need at
// least four readable bytes. The kernels of the dispatch level in force are
// taken once per call.
struct Kernels {
    polarmap_simd::ForwardKernel forward;
    polarmap_simd::InverseKernel inverse;
};

bool kernelsApply(int32_t width, int32_t height, int32_t lineBytes, Kernels* kernels) {
    if (lastSourceOffset(width, height, lineBytes) < 3) return false;
    const int level = polarmap_simd::activeLevel();
    kernels->forward = polarmap_simd::forwardKernel(level);
    kernels->inverse = polarmap_simd::inverseKernel(level);
    return kernels->forward != nullptr && kernels->inverse != nullptr;
}
#endif

// ---------------------------------------------------------------------------
// Forward pass.

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

// Both passes return without writing on records whose planes they cannot
// index safely: no record or plane, no pixels, or rows that would overlap.
bool mapRecordUsable(const PolarMapParam* p) {
    if (p == nullptr || p->width <= 0 || p->height <= 0 || p->lineBytes < p->width) return false;
    return planesPresent(p->srcPlane) && planesPresent(p->dstPlane);
}

// The angle of a destination pixel depends only on its column, so the pass
// takes the sine and cosine once per column, for a block of columns at a time
// (the table stays small enough for the stack), and then runs down every row
// of the block.
const int32_t kColumnBlock = 256;
const int32_t kColumnBand = 32;  // at most 64: one kernel call

}  // namespace

extern "C" void iPolar2Cartesian0(const PolarMapParam* param) {
    if (!mapRecordUsable(param)) return;
    const PolarMapParam& p = *param;
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
        for (int c = 0; c < 3; ++c) {
            planes.src[c] = p.srcPlane[c];
            planes.dst[c] = p.dstPlane[c];
        }
        planes.lineBytes = lineBytes;
        planes.width = width;
        planes.height = height;
        planes.lastRead = lastSourceOffset(width, height, lineBytes);
        run.cx = g.cx;
        run.cy = g.cy;
        run.wrap = p.wrap != 0;
        run.foldX = kernelFold(g.foldX);
        run.foldY = kernelFold(g.foldY);
    }
#endif

    double sines[kColumnBlock];
    double cosines[kColumnBlock];
    for (int32_t firstColumn = 0; firstColumn < width; firstColumn += kColumnBlock) {
        const int32_t columns = width - firstColumn < kColumnBlock ? width - firstColumn : kColumnBlock;
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
            for (int32_t i = 0; i < height; ++i) {
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

namespace {

// ---------------------------------------------------------------------------
// Inverse pass.

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

inline void inverseMirrored(const PolarMapParam& p, const InverseGeometry& g, int32_t x, int32_t y) {
    const int32_t mx = g.width - x;
    const int32_t my = g.height - y;
    const float dx = g.pixelStep * (static_cast<float>(x) - g.cx);
    const float dy = g.pixelStep * (static_cast<float>(y) - g.cy);
    const float radius = radiusOf(dx, dy);
    const float reference = referenceAngle(dx, dy);
    inversePixel(p, g, y * g.lineBytes + x, dx, dy, radius, reference);
    inversePixel(p, g, y * g.lineBytes + mx, -dx, dy, radius, reference);
    inversePixel(p, g, my * g.lineBytes + x, dx, -dy, radius, reference);
    inversePixel(p, g, my * g.lineBytes + mx, -dx, -dy, radius, reference);
}

}  // namespace

extern "C" void iCartesian2Polar0(const PolarMapParam* param) {
    if (!mapRecordUsable(param)) return;
    const PolarMapParam& p = *param;
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
    for (int32_t x = 0; x < width; ++x) inversePixelAt(p, g, x, 0);
    for (int32_t y = 1; y < height; ++y) inversePixelAt(p, g, 0, y);
    const int32_t lastColumn = width / 2;  // columns 1 .. width / 2 and their mirrors
    const int32_t lastRow = height / 2;    // cover 1 .. width - 1; rows alike

#if POLARMAP_HAVE_VECTOR_KERNELS
    Kernels kernels = {nullptr, nullptr};
    if (kernelsApply(width, height, lineBytes, &kernels)) {
        polarmap_simd::KernelPlanes planes;
        for (int c = 0; c < 3; ++c) {
            planes.src[c] = p.srcPlane[c];
            planes.dst[c] = p.dstPlane[c];
        }
        planes.lineBytes = lineBytes;
        planes.width = width;
        planes.height = height;
        planes.lastRead = lastSourceOffset(width, height, lineBytes);
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
        for (int32_t y0 = 1; y0 <= lastRow; y0 += kQuarterTile) {
            const int32_t y1 = lastRow - y0 < kQuarterTile ? lastRow : y0 + kQuarterTile - 1;
            for (int32_t x = 1; x <= lastColumn; x += kQuarterTile) {
                for (int32_t y = y0; y <= y1; ++y) {
                    polarmap_simd::InverseRun run;
                    run.x = x;
                    run.count = lastColumn - x + 1 < kQuarterTile ? lastColumn - x + 1 : kQuarterTile;
                    run.y = y;
                    run.mirrorMask = 0xFu;
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
    for (int32_t y0 = 1; y0 <= lastRow; y0 += kQuarterTile) {
        const int32_t y1 = lastRow - y0 < kQuarterTile ? lastRow : y0 + kQuarterTile - 1;
        for (int32_t x0 = 1; x0 <= lastColumn; x0 += kQuarterTile) {
            const int32_t x1 = lastColumn - x0 < kQuarterTile ? lastColumn : x0 + kQuarterTile - 1;
            for (int32_t y = y0; y <= y1; ++y) {
                for (int32_t x = x0; x <= x1; ++x) inverseMirrored(p, g, x, y);
            }
        }
    }
}

namespace {

// ---------------------------------------------------------------------------
// Turns. Every destination byte is a pure function of its source byte's
// position, so the copies may run in any order: they go through the image in
// square tiles, small enough that the source rows of a tile and the
// destination rows it writes stay in the first-level cache for all three
// planes, instead of striding across the whole destination for every pixel.
const int32_t kTurnTile = 32;

// Copies the source pixels of rows y0 .. y1 - 1 and columns x0 .. x1 - 1 to
// destination offset origin + x * alongX + y * alongY for all three planes,
// in square tiles. Inside a tile the inner loop runs down the source column,
// which is the direction the destination row runs when alongY is +1 or -1.
void copyRegionTiled(const TurnParam& p, int32_t origin, int32_t alongX, int32_t alongY, int32_t y0,
                     int32_t y1, int32_t x0, int32_t x1) {
    const int32_t srcLine = p.srcLineBytes;
    for (int c = 0; c < 3; ++c) {
        const uint8_t* src = p.srcPlane[c];
        uint8_t* dst = p.dstPlane[c];
        for (int32_t ty = y0; ty < y1; ty += kTurnTile) {
            const int32_t tyEnd = y1 - ty < kTurnTile ? y1 : ty + kTurnTile;
            for (int32_t tx = x0; tx < x1; tx += kTurnTile) {
                const int32_t txEnd = x1 - tx < kTurnTile ? x1 : tx + kTurnTile;
                for (int32_t x = tx; x < txEnd; ++x) {
                    const uint8_t* s = src + ty * srcLine + x;
                    uint8_t* d = dst + origin + x * alongX + ty * alongY;
                    for (int32_t y = ty; y < tyEnd; ++y, s += srcLine, d += alongY) *d = *s;
                }
            }
        }
    }
}

#if defined(__x86_64__) && defined(__SSE2__) && !defined(POLARMOSAIC_PORTABLE_ONLY)
#define POLARMAP_HAVE_BLOCK_TRANSPOSE 1
// Transposes a block of 16 x 16 bytes in SSE2 registers (part of the
// x86-64 baseline): source row r is read at src + r * srcStep, and column j
// of the block is written as one row of 16 bytes at dst + j * dstStep. Four
// rounds of interleaving row i with row i + 8 turn rows into columns.
inline void transposeBlock16(const uint8_t* src, ptrdiff_t srcStep, uint8_t* dst, ptrdiff_t dstStep) {
    __m128i r[16];
    for (int i = 0; i < 16; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * srcStep));
    for (int round = 0; round < 4; ++round) {
        __m128i t[16];
        for (int i = 0; i < 8; ++i) {
            t[2 * i] = _mm_unpacklo_epi8(r[i], r[i + 8]);
            t[2 * i + 1] = _mm_unpackhi_epi8(r[i], r[i + 8]);
        }
        for (int i = 0; i < 16; ++i) r[i] = t[i];
    }
    for (int j = 0; j < 16; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + j * dstStep), r[j]);
}
#else
#define POLARMAP_HAVE_BLOCK_TRANSPOSE 0
#endif

// Copies source pixel (y, x) to destination offset origin + x * alongX +
// y * alongY for all three planes; alongY is +1 or -1. Whole blocks of
// 16 x 16 pixels go through register transposes where available (with
// alongY = -1 the block's rows are read bottom up, so each transposed row
// comes out in destination order), the ragged right and bottom edges
// through the tiled byte loops.
void copyPlanesTiled(const TurnParam& p, int32_t origin, int32_t alongX, int32_t alongY) {
    const int32_t width = p.srcWidth;
    const int32_t height = p.srcHeight;
#if POLARMAP_HAVE_BLOCK_TRANSPOSE
    const int32_t srcLine = p.srcLineBytes;
    const int32_t blockRows = height & ~15;
    const int32_t blockColumns = width & ~15;
    for (int c = 0; c < 3; ++c) {
        const uint8_t* src = p.srcPlane[c];
        uint8_t* dst = p.dstPlane[c];
        // Bands of 32 source columns, run from top to bottom: the band's 32
        // destination rows fill up front to back, and with a power-of-two
        // destination stride 32 rows still fit the cache sets they share.
        for (int32_t band = 0; band < blockColumns; band += 32) {
            const int32_t bandEnd = blockColumns - band < 32 ? blockColumns : band + 32;
            for (int32_t y0 = 0; y0 < blockRows; y0 += 16) {
                const int32_t firstRow = alongY > 0 ? y0 : y0 + 15;
                const ptrdiff_t srcStep = alongY > 0 ? srcLine : -static_cast<ptrdiff_t>(srcLine);
                for (int32_t x0 = band; x0 < bandEnd; x0 += 16) {
                    transposeBlock16(src + static_cast<ptrdiff_t>(firstRow) * srcLine + x0, srcStep,
                                     dst + origin + static_cast<ptrdiff_t>(x0) * alongX + firstRow * alongY,
                                     alongX);
                }
            }
        }
    }
    if (blockColumns < width) copyRegionTiled(p, origin, alongX, alongY, 0, blockRows, blockColumns, width);
    if (blockRows < height) copyRegionTiled(p, origin, alongX, alongY, blockRows, height, 0, width);
#else
    copyRegionTiled(p, origin, alongX, alongY, 0, height, 0, width);
#endif
}

// The half turn reverses each row into another row: a plain row copy.
void copyPlanesHalfTurn(const TurnParam& p) {
    const int32_t width = p.srcWidth;
    const int32_t height = p.srcHeight;
    const int32_t line = p.srcLineBytes;
    for (int c = 0; c < 3; ++c) {
        const uint8_t* src = p.srcPlane[c];
        uint8_t* dst = p.dstPlane[c];
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* s = src + y * line;
            uint8_t* d = dst + (height - 1 - y) * line + (width - 1);
            for (int32_t x = 0; x < width; ++x) d[-x] = s[x];
        }
    }
}

// Geometry both copies can work with: positive sizes, source rows that do
// not overlap, and all six planes present.
bool turnUsable(const TurnParam& p) {
    if (p.srcWidth <= 0 || p.srcHeight <= 0) return false;
    if (p.srcLineBytes < p.srcWidth) return false;
    return planesPresent(p.srcPlane) && planesPresent(p.dstPlane);
}

}  // namespace

extern "C" void iTurn0(const TurnParam* param) {
    if (param == nullptr) return;
    const TurnParam& p = *param;
    const int32_t mode = p.turnMode;
    if (mode < 0 || mode > 2 || !turnUsable(p)) return;
    const int32_t width = p.srcWidth;
    const int32_t height = p.srcHeight;
    // Quarter turns put source rows into destination columns, so each
    // destination row needs room for srcHeight samples.
    if (mode != 1 && p.dstLineBytes < height) return;
    const int32_t dstLine = p.dstLineBytes;
    if (mode == 0) {
        // d = (width - 1 - x) * dstLine + y
        copyPlanesTiled(p, (width - 1) * dstLine, -dstLine, 1);
    } else if (mode == 1) {
        copyPlanesHalfTurn(p);
    } else {
        // d = x * dstLine + (height - 1 - y)
        copyPlanesTiled(p, height - 1, dstLine, -1);
    }
}

extern "C" void iTurn1(const TurnParam* param) {
    if (param == nullptr) return;
    const TurnParam& p = *param;
    if (!turnUsable(p) || p.dstLineBytes < p.srcHeight) return;
    // d = x * dstLine + y
    copyPlanesTiled(p, 0, p.dstLineBytes, 1);
}

extern "C" int16_t lcw16(int16_t width) {
    int32_t w = width;
    int32_t quotient = w / 16;
    if ((w & 15) != 0) quotient = lowHalfSigned(quotient + 1);
    return static_cast<int16_t>(lowHalfSigned(quotient * 16));
}
