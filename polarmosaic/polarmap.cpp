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

#include <cmath>

namespace {

const double kPi = 3.141592653589793;
const double kTwoPi = 6.283185307179586;
const float kHalfPiF = 1.5707963705062866f;  // pi / 2 rounded to single
const float kTwoPiF = 6.2831854820251465f;   // 2 pi rounded to single
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

}  // namespace

extern "C" void iPolar2Cartesian0(const PolarMapParam* param) {
    if (param == nullptr) return;
    const PolarMapParam& p = *param;
    const int32_t width = p.width;
    const int32_t height = p.height;
    const int32_t lineBytes = p.lineBytes;
    if (width <= 0 || height <= 0) return;
    if (lineBytes < width || !planesPresent(p.srcPlane) || !planesPresent(p.dstPlane)) return;

    const float radiusStep = static_cast<float>(static_cast<double>(reciprocalZoom(p.zoom)) * 0.8);
    const float angleDivisor = static_cast<float>(static_cast<double>(static_cast<float>(width - 1)) / kTwoPi);
    const float cx = static_cast<float>(width) / 2.0f - 0.5f;
    const float cy = static_cast<float>(height) / 2.0f - 0.5f;
    const float columnLimit = static_cast<float>(width - 1);
    const float rowLimit = static_cast<float>((height - 1) + 1);
    const FoldRule foldX = makeFoldRule(static_cast<double>(width) - 1.2, static_cast<double>(width) - 0.1, false);
    const FoldRule foldY = makeFoldRule(static_cast<double>(height) - 1.2, static_cast<double>(height) - 0.1, false);

    // The destination is filled from its last pixel backwards.
    int32_t at = lineBytes * height - 1;
    for (int32_t i = 0; i < height; ++i) {
        at -= lineBytes - width;
        float radius = radiusStep * (static_cast<float>(i) + p.radiusOffset);
        if (radius < 0.0f) radius = -radius;
        for (int32_t j = 0; j < width; ++j, --at) {
            float angle = (static_cast<float>(j) + p.angleOffset) / angleDivisor;
            float x = static_cast<float>(static_cast<double>(radius) * std::sin(static_cast<double>(angle)) +
                                         static_cast<double>(cx));
            float y = static_cast<float>(static_cast<double>(radius) * std::cos(static_cast<double>(angle)) +
                                         static_cast<double>(cy));
            if (p.wrap != 0 && !(fold(&x, foldX) && fold(&y, foldY))) continue;
            if (x != x || y != y) continue;  // NaN passes every range comparison
            float fx = fmod33(x);
            float fy = fmod33(y);
            if (x < 0.0f || x > columnLimit || y < 0.0f || y > rowLimit) continue;
            writeBlend(p, at, neighboursOf(x, y, width, height, lineBytes), fx, fy);
        }
    }
}

extern "C" void iCartesian2Polar0(const PolarMapParam* param) {
    if (param == nullptr) return;
    const PolarMapParam& p = *param;
    const int32_t width = p.width;
    const int32_t height = p.height;
    const int32_t lineBytes = p.lineBytes;
    if (width <= 0 || height <= 0) return;
    if (lineBytes < width || !planesPresent(p.srcPlane) || !planesPresent(p.dstPlane)) return;

    const float pixelStep = 2.0f * reciprocalZoom(p.zoom);
    const float cx = static_cast<float>(width) / 2.0f;
    const float cy = static_cast<float>(height) / 2.0f;
    const float sumOfSquares = static_cast<float>(width) * static_cast<float>(width) +
                               static_cast<float>(height) * static_cast<float>(height);
    const float radialScale = static_cast<float>(static_cast<double>(static_cast<float>(width - 1)) /
                                                 std::sqrt(static_cast<double>(sumOfSquares)));
    const float angularScale = static_cast<float>(static_cast<double>(height - 2) / kTwoPi);
    const float angleOffset = static_cast<float>(static_cast<double>(p.angleOffset) * kPi / 180.0);
    const float columnLimit = static_cast<float>(width - 1);
    const float rowLimit = static_cast<float>(height);
    const FoldRule foldU = makeFoldRule(static_cast<double>(width - 1), static_cast<double>(width) - 0.5, true);
    const FoldRule foldV = makeFoldRule(static_cast<double>(height - 1), static_cast<double>(height) - 0.5, true);

    int32_t at = 0;
    for (int32_t y = 0; y < height; ++y, at += lineBytes - width) {
        const float dy = pixelStep * (static_cast<float>(y) - cy);
        for (int32_t x = 0; x < width; ++x, ++at) {
            const float dx = pixelStep * (static_cast<float>(x) - cx);
            const float radius = static_cast<float>(std::sqrt(static_cast<double>(dx * dx + dy * dy)));
            float reference = kHalfPiF;
            if (dx != 0.0f) {
                reference = static_cast<float>(std::atan(static_cast<double>(fabs33(dy) / fabs33(dx))));
            }
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
            float u = (radius + p.radiusOffset) * radialScale;
            float v = (angle + angleOffset) * angularScale;
            if (p.wrap != 0 && !fold(&u, foldU)) continue;
            if (!fold(&v, foldV)) continue;
            if (u != u) continue;  // NaN passes every range comparison
            float fx = fmod33(u);
            float fy = fmod33(v);
            if (u < 0.0f || u > columnLimit || v < 0.0f || v > rowLimit) continue;
            writeBlend(p, at, neighboursOf(u, v, width, height, lineBytes), fx, fy);
        }
    }
}

namespace {

// Shared by both copies: walks the source in memory order and writes each
// pixel of the three planes at the offset that `destination` gives.
template <typename DestinationOffset>
void copyPlanes(const TurnParam& p, DestinationOffset destination) {
    const int32_t width = p.srcWidth;
    const int32_t height = p.srcHeight;
    const int32_t skip = p.srcLineBytes - width;
    const uint8_t* s0 = p.srcPlane[0];
    const uint8_t* s1 = p.srcPlane[1];
    const uint8_t* s2 = p.srcPlane[2];
    uint8_t* d0 = p.dstPlane[0];
    uint8_t* d1 = p.dstPlane[1];
    uint8_t* d2 = p.dstPlane[2];
    int32_t at = 0;
    for (int32_t y = 0; y < height; ++y, at += skip) {
        for (int32_t x = 0; x < width; ++x, ++at) {
            int32_t d = destination(y, x);
            d0[d] = s0[at];
            d1[d] = s1[at];
            d2[d] = s2[at];
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
    const int32_t srcLine = p.srcLineBytes;
    if (mode == 0) {
        copyPlanes(p, [=](int32_t y, int32_t x) { return (width - 1 - x) * dstLine + y; });
    } else if (mode == 1) {
        copyPlanes(p, [=](int32_t y, int32_t x) { return (height - 1 - y) * srcLine + (width - 1 - x); });
    } else {
        copyPlanes(p, [=](int32_t y, int32_t x) { return x * dstLine + (height - 1 - y); });
    }
}

extern "C" void iTurn1(const TurnParam* param) {
    if (param == nullptr) return;
    const TurnParam& p = *param;
    if (!turnUsable(p) || p.dstLineBytes < p.srcHeight) return;
    const int32_t dstLine = p.dstLineBytes;
    copyPlanes(p, [=](int32_t y, int32_t x) { return x * dstLine + y; });
}

extern "C" int16_t lcw16(int16_t width) {
    int32_t w = width;
    int32_t quotient = w / 16;
    if ((w & 15) != 0) quotient = lowHalfSigned(quotient + 1);
    return static_cast<int16_t>(lowHalfSigned(quotient * 16));
}
