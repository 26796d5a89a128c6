// Single-precision helpers of the resampling passes. Every conversion is
// written out with saturation so that NaN and out-of-range values give the
// same bits on every processor (a bare float-to-int cast is undefined there).
#include "polarmosaic/polarmosaic.h"

static const double kTwoPow31 = 2147483648.0;

// Truncation toward zero to signed 32 bits, saturating at both ends; NaN
// gives INT32_MIN.
static int32_t truncSaturated32(double x) {
    if (x >= kTwoPow31) return INT32_MAX;
    if (!(x > -kTwoPow31)) return INT32_MIN;  // also NaN
    return static_cast<int32_t>(x);
}

extern "C" float fmod33(float x) {
    uint32_t integerPart;
    if (static_cast<double>(x) >= kTwoPow31) {
        // Upper half of the unsigned range: 2^31 plus the truncation of the
        // rest, which saturates, so every x >= 2^32 gives 2^32 - 1.
        int32_t rest = truncSaturated32(static_cast<double>(x) - kTwoPow31);
        integerPart = 2147483648u + static_cast<uint32_t>(rest);
    } else {
        integerPart = static_cast<uint32_t>(truncSaturated32(static_cast<double>(x)));
    }
    float integerAsFloat = static_cast<float>(static_cast<double>(integerPart));
    return x - integerAsFloat;
}

extern "C" float fabs33(float x) {
    if (static_cast<double>(x) < 0.0) return static_cast<float>(0.0 - static_cast<double>(x));
    return x;  // -0 and NaN come back unchanged
}

// ---------------------------------------------------------------------------
// Elementary functions in double-double arithmetic. A value is hi + lo with
// |lo| at most half a unit in the last place of hi. Every step is an IEEE
// operation on doubles in a fixed order; the library is built without
// multiply-add contraction, which would change these error terms.

#include "shared/internal.h"

#include <cstring>

namespace {

using polarmosaic_detail::DoubleDouble;
using polarmosaic_detail::kAtanCoefficients;
using polarmosaic_detail::kAtanOfSixteenths;
using polarmosaic_detail::kHalfPi;

DoubleDouble twoSum(double a, double b) {
    const double s = a + b;
    const double bPart = s - a;
    const double err = (a - (s - bPart)) + (b - bPart);
    return {s, err};
}

// Requires |a| >= |b| (or a == 0).
DoubleDouble quickTwoSum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// Veltkamp split into two halves of 26 bits each.
void splitDouble(double a, double* hi, double* lo) {
    const double t = 134217729.0 * a;  // 2^27 + 1
    *hi = t - (t - a);
    *lo = a - *hi;
}

DoubleDouble twoProduct(double a, double b) {
    const double p = a * b;
    double aHi, aLo, bHi, bLo;
    splitDouble(a, &aHi, &aLo);
    splitDouble(b, &bHi, &bLo);
    const double err = ((aHi * bHi - p) + aHi * bLo + aLo * bHi) + aLo * bLo;
    return {p, err};
}

DoubleDouble add(DoubleDouble a, DoubleDouble b) {
    DoubleDouble s = twoSum(a.hi, b.hi);
    const DoubleDouble t = twoSum(a.lo, b.lo);
    s.lo += t.hi;
    s = quickTwoSum(s.hi, s.lo);
    s.lo += t.lo;
    return quickTwoSum(s.hi, s.lo);
}

DoubleDouble negate(DoubleDouble a) { return {-a.hi, -a.lo}; }

DoubleDouble multiply(DoubleDouble a, DoubleDouble b) {
    DoubleDouble p = twoProduct(a.hi, b.hi);
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return quickTwoSum(p.hi, p.lo);
}

DoubleDouble divide(DoubleDouble a, DoubleDouble b) {
    const double q1 = a.hi / b.hi;
    DoubleDouble r = add(a, negate(multiply(b, {q1, 0.0})));
    const double q2 = r.hi / b.hi;
    r = add(r, negate(multiply(b, {q2, 0.0})));
    const double q3 = r.hi / b.hi;
    return add(quickTwoSum(q1, q2), {q3, 0.0});
}

}  // namespace

// Shared with the vector kernels, which repeat the quick arctangent.
namespace polarmosaic_detail {
const DoubleDouble kHalfPi = {1.5707963267948966, 6.123233995736766e-17};
}  // namespace polarmosaic_detail

namespace {

// 2 / pi in 32-bit words, most significant first: enough bits to reduce any
// single-precision argument (exponent up to 2^104) with 192 bits to spare.
const uint32_t kTwoOverPiWords[12] = {
    0xA2F9836E, 0x4E441529, 0xFC2757D1, 0xF534DDC0, 0xDB629599, 0x3C439041,
    0xFE5163AB, 0xDEBBC561, 0xB7246E3A, 0x424DD2E0, 0x06492EEA, 0x09D1921C,
};

// (-1)^k / (2k + 1)! and (-1)^k / (2k)! as double-doubles, k = 0 .. 14.
const DoubleDouble kSineCoefficients[15] = {
    {1.0, 0.0},
    {-0.16666666666666666, -9.25185853854297e-18},
    {0.008333333333333333, 1.1564823173178714e-19},
    {-0.0001984126984126984, -1.7209558293420705e-22},
    {2.7557319223985893e-06, -1.858393274046472e-22},
    {-2.505210838544172e-08, 1.448814070935912e-24},
    {1.6059043836821613e-10, 1.2585294588752098e-26},
    {-7.647163731819816e-13, -7.03872877733453e-30},
    {2.8114572543455206e-15, 1.6508842730861433e-31},
    {-8.22063524662433e-18, -2.2141894119604265e-34},
    {1.9572941063391263e-20, -1.3643503830087908e-36},
    {-3.868170170630684e-23, 8.843177655482344e-40},
    {6.446950284384474e-26, -1.9330404233703465e-42},
    {-9.183689863795546e-29, -1.4303150396787322e-45},
    {1.1309962886447716e-31, 1.0498015412959506e-47},
};
const DoubleDouble kCosineCoefficients[15] = {
    {1.0, 0.0},
    {-0.5, 0.0},
    {0.041666666666666664, 2.3129646346357427e-18},
    {-0.001388888888888889, 5.300543954373577e-20},
    {2.48015873015873e-05, 2.1511947866775882e-23},
    {-2.755731922398589e-07, -2.3767714622250297e-23},
    {2.08767569878681e-09, -1.20734505911326e-25},
    {-1.1470745597729725e-11, -2.0655512752830745e-28},
    {4.779477332387385e-14, 4.399205485834081e-31},
    {-1.5619206968586225e-16, -1.1910679660273754e-32},
    {4.110317623312165e-19, 1.4412973378659527e-36},
    {-8.896791392450574e-22, 7.911402614872376e-38},
    {1.6117375710961184e-24, -3.6846573564509766e-41},
    {-2.4795962632247976e-27, 1.2953730964765229e-43},
    {3.279889237069838e-30, 1.5117542744029879e-46},
};

// Sum of coefficient[k] * r^(2k) for |r| <= pi / 4, by Horner's rule.
DoubleDouble evenSeries(const DoubleDouble* coefficient, int count, DoubleDouble rSquared) {
    DoubleDouble sum = coefficient[count - 1];
    for (int k = count - 2; k >= 0; --k) sum = add(multiply(sum, rSquared), coefficient[k]);
    return sum;
}

// Bits [position, position + 32) of a little-endian array of 32-bit limbs.
uint32_t bitsAt(const uint32_t* limbs, int count, int position) {
    const int limb = position >> 5;
    const int shift = position & 31;
    const uint64_t low = limb >= 0 && limb < count ? limbs[limb] : 0;
    const uint64_t high = limb + 1 >= 0 && limb + 1 < count ? limbs[limb + 1] : 0;
    return static_cast<uint32_t>(((high << 32) | low) >> shift);
}

// Reduces a finite x with |x| >= pi / 4 to x = (4n + quadrant) * pi / 2 + r,
// |r| <= pi / 4, exactly up to about 2^-128 in the multiple of pi / 2.
DoubleDouble reduceByHalfPi(float x, int* quadrant) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int32_t exponent = static_cast<int32_t>((bits >> 23) & 0xFFu) - 150;  // x = M * 2^exponent
    const uint64_t mantissa = (bits & 0x7FFFFFu) | 0x800000u;
    // Bits of 2 / pi whose products with M are multiples of 4 do not matter:
    // start at the word that holds the first bit that can.
    const int32_t firstWord = exponent >= 2 ? (exponent - 2) / 32 : 0;
    uint32_t product[7];
    uint64_t carry = 0;
    for (int t = 5; t >= 0; --t) {
        const uint64_t term = mantissa * kTwoOverPiWords[firstWord + t] + carry;
        product[5 - t] = static_cast<uint32_t>(term);
        carry = term >> 32;
    }
    product[6] = static_cast<uint32_t>(carry);
    // x * 2 / pi = product * 2^-point.
    const int point = 32 * (firstWord + 6) - exponent;
    int q = static_cast<int>(bitsAt(product, 7, point) & 3u);
    uint32_t fraction[4];  // 128 bits below the point, least significant first
    for (int k = 0; k < 4; ++k) fraction[k] = bitsAt(product, 7, point - 32 * (4 - k));
    bool negative = false;
    if ((fraction[3] & 0x80000000u) != 0) {
        // Fraction of one half or more: take the next multiple, r < 0.
        q = (q + 1) & 3;
        negative = true;
        uint64_t borrowCarry = 1;
        for (int k = 0; k < 4; ++k) {
            const uint64_t v = static_cast<uint64_t>(~fraction[k]) + borrowCarry;
            fraction[k] = static_cast<uint32_t>(v);
            borrowCarry = v >> 32;
        }
    }
    DoubleDouble f = {0.0, 0.0};
    double scale = 1.0 / 4294967296.0 / 4294967296.0 / 4294967296.0 / 4294967296.0;
    for (int k = 0; k < 4; ++k, scale *= 4294967296.0)
        f = add(f, {static_cast<double>(fraction[k]) * scale, 0.0});
    if (negative) f = negate(f);
    *quadrant = q;
    return multiply(f, kHalfPi);
}

}  // namespace

namespace polarmosaic_detail {

const DoubleDouble kAtanOfSixteenths[17] = {
    {0.0, 0.0},
    {0.06241880999595735, -1.5490756308295046e-18},
    {0.12435499454676144, -3.1253241424539383e-18},
    {0.18534794999569476, 4.180692268843079e-18},
    {0.24497866312686414, 1.0698755618734451e-17},
    {0.3028848683749714, -1.1010827903001369e-17},
    {0.35877067027057225, -2.4623815582638635e-17},
    {0.4124104415973873, -1.587652227770689e-17},
    {0.4636476090008061, 2.2698777452961687e-17},
    {0.5123894603107377, -2.5462781472855804e-17},
    {0.5585993153435624, -5.4556305485916264e-18},
    {0.6022873461349642, 2.950430737228402e-17},
    {0.6435011087932844, 1.5834785051444286e-17},
    {0.6823165548747481, 6.943223671560008e-18},
    {0.7188299996216245, -2.1478388444456983e-17},
    {0.7531512809621944, -2.4256934659182068e-17},
    {0.7853981633974483, 3.061616997868383e-17},
};

// (-1)^k / (2k + 1), k = 0 .. 12.
const DoubleDouble kAtanCoefficients[13] = {
    {1.0, 0.0},
    {-0.3333333333333333, -1.850371707708594e-17},
    {0.2, -1.1102230246251566e-17},
    {-0.14285714285714285, -7.93016446160826e-18},
    {0.1111111111111111, 6.1679056923619804e-18},
    {-0.09090909090909091, 2.523234146875356e-18},
    {0.07692307692307693, -4.270088556250602e-18},
    {-0.06666666666666667, -9.251858538542971e-19},
    {0.058823529411764705, 8.163404592832033e-19},
    {-0.05263157894736842, -2.921639538487254e-18},
    {0.047619047619047616, 2.64338815386942e-18},
    {-0.043478260869565216, -1.206764157201257e-18},
    {0.04, -8.326672684688674e-19},
};

}  // namespace polarmosaic_detail

namespace {

// atan of a finite z >= 0 given as a double-double no larger than 1:
// atan(z) = atan(c) + atan((z - c) / (1 + z c)) with c the nearest
// sixteenth, which leaves an argument below 1/32 for the series.
DoubleDouble atanUpToOne(DoubleDouble z) {
    const int k = static_cast<int>(z.hi * 16.0 + 0.5);
    const double c = static_cast<double>(k) * 0.0625;
    const DoubleDouble numerator = add(z, {-c, 0.0});
    const DoubleDouble denominator = add({1.0, 0.0}, multiply(z, {c, 0.0}));
    const DoubleDouble w = divide(numerator, denominator);
    const DoubleDouble series = multiply(w, evenSeries(kAtanCoefficients, 13, multiply(w, w)));
    return add(kAtanOfSixteenths[k], series);
}

}  // namespace

namespace polarmosaic_detail {

void sinCosOfFloat(float x, double* sine, double* cosine) {
    if (x != x || x - x != 0.0f) {  // NaN or infinite
        *sine = *cosine = static_cast<double>(x - x);
        return;
    }
    if (x == 0.0f) {  // keeps the sign of zero, which the series would lose
        *sine = static_cast<double>(x);
        *cosine = 1.0;
        return;
    }
    const float magnitude = x < 0.0f ? -x : x;
    int quadrant = 0;
    DoubleDouble r = {static_cast<double>(magnitude), 0.0};
    if (static_cast<double>(magnitude) >= 0.7853981633974483) r = reduceByHalfPi(magnitude, &quadrant);
    const DoubleDouble rSquared = multiply(r, r);
    const DoubleDouble sinR = multiply(r, evenSeries(kSineCoefficients, 15, rSquared));
    const DoubleDouble cosR = evenSeries(kCosineCoefficients, 15, rSquared);
    double s, c;
    switch (quadrant) {
        case 0:
            s = sinR.hi + sinR.lo;
            c = cosR.hi + cosR.lo;
            break;
        case 1:
            s = cosR.hi + cosR.lo;
            c = -(sinR.hi + sinR.lo);
            break;
        case 2:
            s = -(sinR.hi + sinR.lo);
            c = -(cosR.hi + cosR.lo);
            break;
        default:
            s = -(cosR.hi + cosR.lo);
            c = sinR.hi + sinR.lo;
            break;
    }
    *sine = x < 0.0f ? -s : s;
    *cosine = c;
}

double atanOfFloat(float x) {
    if (x != x || x == 0.0f) return static_cast<double>(x);  // NaN, +0 and -0 come back
    const bool negative = x < 0.0f;
    const double magnitude = negative ? -static_cast<double>(x) : static_cast<double>(x);
    double result;
    if (magnitude - magnitude != 0.0) {
        result = kHalfPi.hi;  // infinite
    } else if (magnitude > 1.0) {
        const DoubleDouble inverse = divide({1.0, 0.0}, {magnitude, 0.0});
        const DoubleDouble a = add(kHalfPi, negate(atanUpToOne(inverse)));
        result = a.hi + a.lo;
    } else {
        const DoubleDouble a = atanUpToOne({magnitude, 0.0});
        result = a.hi + a.lo;
    }
    return negative ? -result : result;
}

float atanOfFloatToFloat(float x) {
    // Plain double estimate, the same reduction as above: its error is a few
    // units in the last place of a double, far below the margin used below.
    if (x != x || x == 0.0f) return x;
    const double magnitude = x < 0.0f ? -static_cast<double>(x) : static_cast<double>(x);
    if (magnitude - magnitude != 0.0 || magnitude > 1048576.0 || magnitude < 9.5367431640625e-07) {
        return static_cast<float>(atanOfFloat(x));
    }
    const bool inverted = magnitude > 1.0;
    const double z = inverted ? 1.0 / magnitude : magnitude;
    const int k = static_cast<int>(z * 16.0 + 0.5);
    const double c = static_cast<double>(k) * 0.0625;
    const double w = (z - c) / (1.0 + z * c);
    const double w2 = w * w;
    double series = kAtanCoefficients[6].hi;
    for (int i = 5; i >= 1; --i) series = kAtanCoefficients[i].hi + w2 * series;
    double estimate = kAtanOfSixteenths[k].hi + (w + w * (w2 * series));
    if (inverted) estimate = kHalfPi.hi - estimate;
    const float rounded = static_cast<float>(estimate);
    // Midpoints between the rounded value and its neighbours: the estimate
    // must stay clear of both by far more than its own error.
    uint32_t bits;
    std::memcpy(&bits, &rounded, sizeof bits);
    const uint32_t upBits = bits + 1u;
    const uint32_t downBits = bits - 1u;
    float up, down;
    std::memcpy(&up, &upBits, sizeof up);
    std::memcpy(&down, &downBits, sizeof down);
    const double margin = estimate * (1.0 / 1099511627776.0);  // 2^-40
    const double upperMid = (static_cast<double>(rounded) + static_cast<double>(up)) * 0.5;
    const double lowerMid = (static_cast<double>(rounded) + static_cast<double>(down)) * 0.5;
    const bool clear = upperMid - estimate > margin && estimate - lowerMid > margin;
    const float result = clear ? rounded : static_cast<float>(atanOfFloat(static_cast<float>(magnitude)));
    return x < 0.0f ? -result : result;
}

}  // namespace polarmosaic_detail
