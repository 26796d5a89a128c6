// Single-precision helpers of the resampling passes. Every conversion is
// written out with saturation so that NaN and out-of-range values give the
// same bits on every processor (a bare float-to-int cast is undefined there).
#include "polarmosaic.h"

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
