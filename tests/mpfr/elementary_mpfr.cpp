// Checks the module's sine, cosine and arctangent of single-precision
// arguments against MPFR's correctly rounded double results.
//
//   polarmosaic_elementary_mpfr sincos|atan COUNT SHARD SHARDS
//
// Each shard draws COUNT / SHARDS random arguments (a fixed seed per shard,
// so a failure repeats), spread over every binade of both signs, with a
// denser share where the driver's passes work (angles in [0, 2 pi], ratios
// of pixel offsets in [2^-12, 2^12]); shard 0 adds the hard cases. Any
// result that is not the correctly rounded double fails the run.
#include <mpfr.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "shared/floathelpers_internal.h"

namespace {

float floatFromBits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

uint32_t bitsOf(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

uint64_t bitsOf(double d) {
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Random arguments: a quarter uniform over all finite floats of both signs
// by bit pattern (every binade equally often, subnormals included), the rest
// uniform in value inside the range the driver uses.
struct ArgumentSource {
    std::mt19937_64 rng;
    double focusLow, focusHigh;
    bool logarithmic;

    float next() {
        const uint64_t r = rng();
        if ((r & 3) == 0) {
            for (;;) {
                const uint32_t bits = static_cast<uint32_t>(rng());
                if ((bits & 0x7F800000u) != 0x7F800000u) return floatFromBits(bits);
            }
        }
        const double unit = static_cast<double>(r >> 11) * 0x1p-53;
        const double v = logarithmic ? focusLow * std::pow(focusHigh / focusLow, unit)
                                     : focusLow + (focusHigh - focusLow) * unit;
        return static_cast<float>(v);
    }
};

// Floats closest to multiples of pi / 2 in every binade, where the argument
// reduction cancels the most bits: the convergents of 2^(e-23) / (pi / 2)
// give the mantissas m with m 2^(e-23) nearest a multiple of pi / 2.
void addReductionHardCases(std::vector<float>* out) {
    mpfr_t halfPi, alpha, frac, inv;
    mpfr_inits2(400, halfPi, alpha, frac, inv, static_cast<mpfr_ptr>(nullptr));
    mpfr_const_pi(halfPi, MPFR_RNDN);
    mpfr_div_2ui(halfPi, halfPi, 1, MPFR_RNDN);
    for (int e = -20; e <= 127; ++e) {
        // alpha = 2^(e-23) / (pi/2); continued fraction of its fractional part.
        mpfr_set_ui_2exp(alpha, 1, e - 23, MPFR_RNDN);
        mpfr_div(alpha, alpha, halfPi, MPFR_RNDN);
        mpfr_frac(frac, alpha, MPFR_RNDN);
        // Denominators q_k of the convergents, kept while below 2^24.
        double qA = 0.0, qB = 1.0;  // q_{-1} and q_0
        for (int k = 0; k < 60 && mpfr_zero_p(frac) == 0; ++k) {
            mpfr_ui_div(inv, 1, frac, MPFR_RNDN);
            const double a = std::floor(mpfr_get_d(inv, MPFR_RNDZ));
            mpfr_frac(frac, inv, MPFR_RNDN);
            const double qNext = a * qB + qA;
            if (qNext >= 16777216.0) break;
            qA = qB;
            qB = qNext;
            // Scale the denominator into the mantissa range; its neighbours too.
            double m = qNext;
            while (m < 8388608.0) m *= 2.0;
            for (double d = -2.0; d <= 2.0; d += 1.0) {
                const double mantissa = m + d;
                if (mantissa < 8388608.0 || mantissa >= 16777216.0) continue;
                const float x = static_cast<float>(std::ldexp(mantissa, e - 23));
                out->push_back(x);
                out->push_back(-x);
            }
        }
    }
    mpfr_clears(halfPi, alpha, frac, inv, static_cast<mpfr_ptr>(nullptr));
}

// Every float in a window around points where a leading term of the series
// puts the result next to a rounding boundary of the double: sin x = x -
// x^3/6 and atan x = x - x^3/3 leave x by half a unit of the double near
// x^2 = 3 2^-53 and x^2 = 3 2^-54; cos x = 1 - x^2/2 crosses the midpoint
// below 1 near x^2 = 2^-53.
void addSeriesHardCases(std::vector<float>* out) {
    const double centres[] = {std::sqrt(3.0 * 0x1p-53), std::sqrt(6.0 * 0x1p-53), std::sqrt(3.0 * 0x1p-54),
                              std::sqrt(6.0 * 0x1p-54), std::sqrt(0x1p-53),       std::sqrt(0x1p-52)};
    for (double c : centres) {
        const uint32_t mid = bitsOf(static_cast<float>(c));
        for (uint32_t b = mid - 4096; b <= mid + 4096; ++b) {
            out->push_back(floatFromBits(b));
            out->push_back(-floatFromBits(b));
        }
    }
    // Special values, the limits of the float range and the boundaries of the
    // module's own code paths (argument reduction from pi/4, the quick
    // arctangent's range 2^-20 .. 2^20).
    const float specials[] = {0.0f,         1.0f,     0x1p-149f, 0x1p-126f,   0x1.fffffep+127f, 0.785398185f,
                              0.785398126f, 0x1p-20f, 0x1p20f,   6.28318548f, 3.14159274f,      1.57079637f};
    for (float s : specials) {
        for (int d = -8; d <= 8; ++d) {
            const uint32_t b = bitsOf(s) + static_cast<uint32_t>(d);
            const float x = floatFromBits(b);
            if (!std::isfinite(x)) continue;
            out->push_back(x);
            out->push_back(-x);
        }
    }
}

// Arguments on which common C libraries have been seen to round wrongly.
void addLibraryHardCases(std::vector<float>* out) {
    const float known[] = {0x1.9dc504p-2f,   0x1.12a994p+1f,  0x1.9b3fe2p-1f,  0x1.5bffdcp+1f,
                           0x1.822938p+2f,   0x1.0b67f4p+2f,  0x1.164d08p+9f,  0x1.81cd6cp+13f,
                           0x1.32cbd0p+17f,  0x1.2a05f2p+33f, 0x1.5af1d8p+66f, 0x1.93e594p+99f,
                           0x1.ff933cp+127f, 0x1.8p+104f,     -0x1.e848p+19f};
    for (float x : known) {
        out->push_back(x);
        out->push_back(-x);
    }
}

struct Checker {
    mpfr_t arg, s, c;
    uint64_t checked = 0;
    uint64_t wrong = 0;
    Checker() { mpfr_inits2(53, arg, s, c, static_cast<mpfr_ptr>(nullptr)); }
    ~Checker() { mpfr_clears(arg, s, c, static_cast<mpfr_ptr>(nullptr)); }

    void report(const char* fn, float x, double got, double want) {
        ++wrong;
        if (wrong <= 20) {
            std::printf("WRONG %s(%a) = %a, correctly rounded %a\n", fn, static_cast<double>(x), got, want);
        }
    }

    // MPFR rounds once to 53 bits; no result at a float argument is a
    // subnormal double, so that is the double nearest the exact value.
    void sinCos(float x) {
        double gotSin = 0.0, gotCos = 0.0;
        polarmosaic_detail::sinCosOfFloat(x, &gotSin, &gotCos);
        mpfr_set_flt(arg, x, MPFR_RNDN);
        mpfr_sin_cos(s, c, arg, MPFR_RNDN);
        const double wantSin = mpfr_get_d(s, MPFR_RNDN);
        const double wantCos = mpfr_get_d(c, MPFR_RNDN);
        checked += 2;
        if (bitsOf(gotSin) != bitsOf(wantSin)) report("sin", x, gotSin, wantSin);
        if (bitsOf(gotCos) != bitsOf(wantCos)) report("cos", x, gotCos, wantCos);
    }

    void atan(float x) {
        const double got = polarmosaic_detail::atanOfFloat(x);
        mpfr_set_flt(arg, x, MPFR_RNDN);
        mpfr_atan(s, arg, MPFR_RNDN);
        const double want = mpfr_get_d(s, MPFR_RNDN);
        checked += 1;
        if (bitsOf(got) != bitsOf(want)) report("atan", x, got, want);
        // The quick single-precision path must round the same value.
        const float quick = polarmosaic_detail::atanOfFloatToFloat(x);
        const float wantFloat = static_cast<float>(want);
        if (bitsOf(quick) != bitsOf(wantFloat)) report("atan-to-float", x, static_cast<double>(quick), want);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s sincos|atan COUNT SHARD SHARDS\n", argv[0]);
        return 2;
    }
    const std::string function = argv[1];
    const uint64_t count = std::strtoull(argv[2], nullptr, 10);
    const uint64_t shard = std::strtoull(argv[3], nullptr, 10);
    const uint64_t shards = std::strtoull(argv[4], nullptr, 10);
    if ((function != "sincos" && function != "atan") || shards == 0 || shard >= shards) {
        std::fprintf(stderr, "%s: bad arguments\n", argv[0]);
        return 2;
    }
    const bool sine = function == "sincos";

    Checker checker;
    if (shard == 0) {
        std::vector<float> hard;
        addReductionHardCases(&hard);
        addSeriesHardCases(&hard);
        addLibraryHardCases(&hard);
        for (float x : hard) sine ? checker.sinCos(x) : checker.atan(x);
        std::printf("%s: %zu hard cases\n", function.c_str(), hard.size());
    }
    ArgumentSource source{std::mt19937_64(0x5eed0000u + shard * 7919u + (sine ? 0u : 104729u)), 0.0, 0.0,
                          false};
    if (sine) {
        source.focusLow = 0.0;
        source.focusHigh = 6.283185307179586;
    } else {
        source.focusLow = 0x1p-12;
        source.focusHigh = 0x1p12;
        source.logarithmic = true;
    }
    const uint64_t mine = count / shards + (shard < count % shards ? 1 : 0);
    for (uint64_t i = 0; i < mine; ++i) {
        const float x = source.next();
        sine ? checker.sinCos(x) : checker.atan(x);
    }
    std::printf("%s shard %llu/%llu: %llu results checked, %llu not correctly rounded\n", function.c_str(),
                static_cast<unsigned long long>(shard), static_cast<unsigned long long>(shards),
                static_cast<unsigned long long>(checker.checked),
                static_cast<unsigned long long>(checker.wrong));
    return checker.wrong == 0 ? 0 : 1;
}
