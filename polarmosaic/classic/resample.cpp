// Folding of sample coordinates and the choice of vector kernels, shared by
// both resampling passes.
//
// Both passes fold coordinates that leave the source back into it by whole
// periods, one period per round. That rule defines the result to the last
// bit, so it is kept exactly; three things are added around it:
//   - a coordinate that no round can bring into range (NaN, infinite, a
//     period of zero or less, a round too small to change the value) skips
//     its pixel instead of looping for ever;
//   - a coordinate far outside the source is brought in with whole runs of
//     rounds at once, with the same result as round by round (see foldDown);
//   - a sample row index equal to the row count (a coordinate exactly on the
//     lower edge) reads the last row, whose weight is 0 there, instead of the
//     row past the plane.
#include "shared/internal.h"

#include <cmath>

namespace polarmosaic_detail {
namespace {

// Lower bound of the binade of a finite, non-zero magnitude.
double binadeFloor(double magnitude) {
    int exponent = 0;
    std::frexp(magnitude, &exponent);
    return std::ldexp(0.5, exponent);
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
    double firstStop =
        static_cast<double>(integerPart) + (low == 0 ? 1.0 : static_cast<double>(0x10000u - low) + 1.0);
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

}  // namespace

bool fold(float* coord, const FoldRule& rule) {
    if (!(rule.period > 0.0) || *coord != *coord) return false;
    return foldDown(coord, rule) && foldUp(coord, rule);
}

#if POLARMAP_HAVE_VECTOR_KERNELS
namespace {

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

}  // namespace

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

polarmap_simd::KernelPlanes kernelPlanesOf(const PolarMapParam& p) {
    polarmap_simd::KernelPlanes planes;
    for (int c = 0; c < 3; ++c) {
        planes.src[c] = p.srcPlane[c];
        planes.dst[c] = p.dstPlane[c];
    }
    planes.lineBytes = p.lineBytes;
    planes.width = p.width;
    planes.height = p.height;
    planes.lastRead = lastSourceOffset(p.width, p.height, p.lineBytes);
    return planes;
}

bool kernelsApply(int32_t width, int32_t height, int32_t lineBytes, Kernels* kernels) {
    if (lastSourceOffset(width, height, lineBytes) < 3) return false;
    const int level = polarmap_simd::activeLevel();
    kernels->forward = polarmap_simd::forwardKernel(level);
    kernels->inverse = polarmap_simd::inverseKernel(level);
    return kernels->forward != nullptr && kernels->inverse != nullptr;
}
#endif

}  // namespace polarmosaic_detail
