// AVX2 kernels of the two resampling passes. Each works on four pixels at a
// time and repeats the scalar code's steps lane by lane: the same IEEE
// operations, in the same order and precision, single where the scalar code
// is single and double where it is double, and no fused multiply-add (the
// functions enable AVX2 only, and the file is built without contraction).
// Lanes that need more than the plain fold rounds, and any NaN or infinite
// coordinate, are handed back to the exact scalar code.
//
// The functions carry their own target attribute and are called only after
// a run-time check, so the rest of the module stays baseline x86-64.
#include "floathelpers_internal.h"
#include "polarmap_simd.h"

#if POLARMAP_HAVE_AVX2_KERNELS

#include <immintrin.h>

#include <cmath>

namespace polarmap_simd {

namespace {

#define AVX2_FN __attribute__((target("avx2"))) inline

const double kPi = 3.141592653589793;
const float kHalfPiF = 1.5707963705062866f;
const float kTwoPiF = 6.2831854820251465f;

// Bilinear blend of four pixels in all three planes; the scalar blend is
//   value = (1 - fy) * ((1 - fx) * TL + fx * TR) + fy * ((1 - fx) * BL + fx * BR)
// with fx * TR and fx * BR in single precision and the rest in double.
//
// A 32-bit gather at the top-left offset brings the top-left and top-right
// samples in one word (the right neighbour is the next byte or the same one).
// So that no word reaches past the last byte the exact code may read, the
// gather address is pulled back by up to three bytes and the samples are
// shifted out of the word accordingly.
struct Blend {
    __m128i topLeft;  // source offset, 0 for lanes not written
    __m128i right;    // 1, or 0 at the last column
    __m128i below;    // lineBytes, or 0 at the last row
    __m128 fx;
    __m128 fy;
};

#ifndef POLARMAP_HW_GATHER
AVX2_FN __m128i gatherWords(const int* plane, __m128i at) {
    const uint8_t* base = reinterpret_cast<const uint8_t*>(plane);
    int32_t w[4];
    __builtin_memcpy(&w[0], base + _mm_extract_epi32(at, 0), 4);
    __builtin_memcpy(&w[1], base + _mm_extract_epi32(at, 1), 4);
    __builtin_memcpy(&w[2], base + _mm_extract_epi32(at, 2), 4);
    __builtin_memcpy(&w[3], base + _mm_extract_epi32(at, 3), 4);
    return _mm_setr_epi32(w[0], w[1], w[2], w[3]);
}
#else
AVX2_FN __m128i gatherWords(const int* plane, __m128i at) {
    return _mm_mask_i32gather_epi32(_mm_setzero_si128(), plane, at, _mm_set1_epi32(-1), 1);
}
#endif

AVX2_FN __m128i blendChannels(const KernelPlanes& planes, const Blend& b, __m128i* out1, __m128i* out2) {
    const __m128i lastWord = _mm_set1_epi32(planes.lastRead - 3);
    const __m128i top = b.topLeft;
    const __m128i bottom = _mm_add_epi32(top, b.below);
    const __m128i topAt = _mm_min_epi32(top, lastWord);
    const __m128i bottomAt = _mm_min_epi32(bottom, lastWord);
    const __m128i topShift = _mm_slli_epi32(_mm_sub_epi32(top, topAt), 3);
    const __m128i bottomShift = _mm_slli_epi32(_mm_sub_epi32(bottom, bottomAt), 3);
    const __m128i rightShift = _mm_slli_epi32(b.right, 3);
    const __m128i topRightShift = _mm_add_epi32(topShift, rightShift);
    const __m128i bottomRightShift = _mm_add_epi32(bottomShift, rightShift);
    const __m128i byteMask = _mm_set1_epi32(0xFF);

    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d oneMinusFx = _mm256_sub_pd(one, _mm256_cvtps_pd(b.fx));
    const __m256d fyD = _mm256_cvtps_pd(b.fy);
    const __m256d oneMinusFy = _mm256_sub_pd(one, fyD);

    __m128i result[3];
    for (int c = 0; c < 3; ++c) {
        const int* plane = reinterpret_cast<const int*>(planes.src[c]);
        const __m128i topWord = gatherWords(plane, topAt);
        const __m128i bottomWord = gatherWords(plane, bottomAt);
        const __m128i tl = _mm_and_si128(_mm_srlv_epi32(topWord, topShift), byteMask);
        const __m128i tr = _mm_and_si128(_mm_srlv_epi32(topWord, topRightShift), byteMask);
        const __m128i bl = _mm_and_si128(_mm_srlv_epi32(bottomWord, bottomShift), byteMask);
        const __m128i br = _mm_and_si128(_mm_srlv_epi32(bottomWord, bottomRightShift), byteMask);
        const __m128 rightTop = _mm_mul_ps(b.fx, _mm_cvtepi32_ps(tr));
        const __m128 rightBottom = _mm_mul_ps(b.fx, _mm_cvtepi32_ps(br));
        const __m256d upper = _mm256_add_pd(_mm256_mul_pd(oneMinusFx, _mm256_cvtepi32_pd(tl)),
                                            _mm256_cvtps_pd(rightTop));
        const __m256d lower = _mm256_add_pd(_mm256_mul_pd(oneMinusFx, _mm256_cvtepi32_pd(bl)),
                                            _mm256_cvtps_pd(rightBottom));
        const __m256d value = _mm256_add_pd(_mm256_mul_pd(oneMinusFy, upper), _mm256_mul_pd(fyD, lower));
        result[c] = _mm_and_si128(_mm256_cvttpd_epi32(value), byteMask);
    }
    *out1 = result[1];
    *out2 = result[2];
    return result[0];
}

// One fold round: the sum in double, rounded to single.
AVX2_FN __m128 foldRound(__m128 x, __m256d delta) {
    return _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(x), delta));
}

// Integer part toward zero, taken as a signed 16-bit value, is 0 or less.
AVX2_FN __m128 integerPartNotPositive(__m128 x) {
    const __m128i whole = _mm_cvttps_epi32(x);
    const __m128i low = _mm_srai_epi32(_mm_slli_epi32(whole, 16), 16);
    return _mm_castsi128_ps(_mm_cmpgt_epi32(_mm_set1_epi32(1), low));
}

// The plain fold loops on the lanes in `active`. Lanes that start at or
// beyond the near limit (or are NaN), or that need more rounds than a
// coordinate near the source ever does, are added to *exact.
AVX2_FN __m128 foldPlain(__m128 x, const KernelFold& rule, __m128 active, __m128* exact) {
    const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), x);
    const __m128 near = _mm_cmplt_ps(magnitude, _mm_set1_ps(rule.nearBelow));
    *exact = _mm_or_ps(*exact, _mm_andnot_ps(near, active));
    const __m128 lanes = _mm_and_ps(active, near);
    const __m128 downAbove = _mm_set1_ps(rule.downAbove);
    // Most coordinates need no round at all.
    if (_mm_movemask_ps(_mm_and_ps(lanes, _mm_or_ps(_mm_cmpgt_ps(x, downAbove), integerPartNotPositive(x)))) == 0) {
        return x;
    }
    const __m256d down = _mm256_set1_pd(-rule.period);
    const __m256d up = _mm256_set1_pd(rule.period);
    int rounds = 0;
    for (;;) {
        const __m128 m = _mm_and_ps(lanes, _mm_cmpgt_ps(x, downAbove));
        if (_mm_movemask_ps(m) == 0) break;
        if (++rounds > 64) {
            *exact = _mm_or_ps(*exact, m);
            return x;
        }
        x = _mm_blendv_ps(x, foldRound(x, down), m);
    }
    for (;;) {
        const __m128 m = _mm_and_ps(lanes, integerPartNotPositive(x));
        if (_mm_movemask_ps(m) == 0) break;
        if (++rounds > 64) {
            *exact = _mm_or_ps(*exact, m);
            return x;
        }
        x = _mm_blendv_ps(x, foldRound(x, up), m);
    }
    return x;
}

AVX2_FN __m128 notNaN(__m128 x) { return _mm_cmpord_ps(x, x); }

// Bit mask of the four lanes of a float comparison.
AVX2_FN int laneBits(__m128 m) { return _mm_movemask_ps(m); }

// Range test, fractions and neighbours of the lanes in `active` whose
// coordinates are finite and folded; returns the lanes that are written.
AVX2_FN __m128 placeSample(const KernelPlanes& planes, __m128 u, __m128 v, __m128 active, Blend* b) {
    const __m128 columnLimit = _mm_set1_ps(static_cast<float>(planes.width - 1));
    const __m128 rowLimit = _mm_set1_ps(static_cast<float>(planes.height));
    const __m128 zero = _mm_setzero_ps();
    __m128 inside = _mm_and_ps(_mm_cmpge_ps(u, zero), _mm_cmple_ps(u, columnLimit));
    inside = _mm_and_ps(inside, _mm_and_ps(_mm_cmpge_ps(v, zero), _mm_cmple_ps(v, rowLimit)));
    inside = _mm_and_ps(inside, active);
    // Inside the range both coordinates lie in 0 .. 32767, where the
    // truncation is exact and fmod33 is the plain fractional part.
    const __m128 safeU = _mm_and_ps(u, inside);
    const __m128 safeV = _mm_and_ps(v, inside);
    const __m128i column = _mm_cvttps_epi32(safeU);
    __m128i row = _mm_cvttps_epi32(safeV);
    b->fx = _mm_sub_ps(safeU, _mm_cvtepi32_ps(column));
    b->fy = _mm_sub_ps(safeV, _mm_cvtepi32_ps(row));
    row = _mm_min_epi32(row, _mm_set1_epi32(planes.height - 1));  // v on the lower edge
    b->topLeft = _mm_add_epi32(_mm_mullo_epi32(row, _mm_set1_epi32(planes.lineBytes)), column);
    b->right = _mm_and_si128(_mm_castps_si128(_mm_cmplt_ps(safeU, columnLimit)), _mm_set1_epi32(1));
    const __m128 hasRowBelow = _mm_cmplt_ps(safeV, _mm_set1_ps(static_cast<float>(planes.height - 1)));
    b->below = _mm_and_si128(_mm_castps_si128(hasRowBelow), _mm_set1_epi32(planes.lineBytes));
    return inside;
}

// Stores the written lanes of one pixel group; `step` is +1 when lane k goes
// to at + k and -1 when it goes to at - k.
AVX2_FN void storeLanes(const KernelPlanes& planes, int32_t at, int32_t step, int written, __m128i c0,
                        __m128i c1, __m128i c2) {
    const __m128i packed = _mm_packus_epi16(_mm_packus_epi32(c0, c1), _mm_packus_epi32(c2, c2));
    alignas(16) uint8_t bytes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes), packed);
    uint8_t* d0 = planes.dst[0];
    uint8_t* d1 = planes.dst[1];
    uint8_t* d2 = planes.dst[2];
    if (written == 15 && step == 1) {
        __builtin_memcpy(d0 + at, bytes, 4);
        __builtin_memcpy(d1 + at, bytes + 4, 4);
        __builtin_memcpy(d2 + at, bytes + 8, 4);
        return;
    }
    if (written == 15) {
        const int32_t first = at - 3;
        const uint8_t r0[4] = {bytes[3], bytes[2], bytes[1], bytes[0]};
        const uint8_t r1[4] = {bytes[7], bytes[6], bytes[5], bytes[4]};
        const uint8_t r2[4] = {bytes[11], bytes[10], bytes[9], bytes[8]};
        __builtin_memcpy(d0 + first, r0, 4);
        __builtin_memcpy(d1 + first, r1, 4);
        __builtin_memcpy(d2 + first, r2, 4);
        return;
    }
    for (int k = 0; k < 4; ++k) {
        if ((written >> k & 1) == 0) continue;
        const int32_t to = at + step * k;
        d0[to] = bytes[k];
        d1[to] = bytes[4 + k];
        d2[to] = bytes[8 + k];
    }
}

// Arctangent of the reference angle, rounded to single, equal to the
// module's correctly rounded atanOfFloatToFloat(q) (floathelpers.cpp). The
// vector value comes from a table of atan(k / 16) and a short series,
// accurate to a few units in the last place of a double; it is used only
// when it lies clearly away from every point where rounding to single
// changes, by far more than its own error, so that it rounds as the exact
// value does. Other lanes, and quotients outside 2^-20 .. 2^20 other than 0,
// call atanOfFloatToFloat.
const double kAtanTable[17] = {
    0.0,
    0.06241880999595735,
    0.12435499454676144,
    0.18534794999569476,
    0.24497866312686414,
    0.3028848683749714,
    0.35877067027057225,
    0.4124104415973873,
    0.4636476090008061,
    0.5123894603107377,
    0.5585993153435624,
    0.6022873461349642,
    0.6435011087932844,
    0.6823165548747481,
    0.7188299996216245,
    0.7531512809621944,
    0.7853981633974483,
};

AVX2_FN __m256d atanApprox(__m256d q) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d inverted = _mm256_cmp_pd(q, one, _CMP_GT_OQ);
    const __m256d z = _mm256_blendv_pd(q, _mm256_div_pd(one, q), inverted);  // 0 .. 1
    const __m256d k = _mm256_round_pd(_mm256_mul_pd(z, _mm256_set1_pd(16.0)), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256d c = _mm256_mul_pd(k, _mm256_set1_pd(0.0625));
    // atan z = atan c + atan((z - c) / (1 + z c)), |(z - c) / (1 + z c)| <= 1/32
    const __m256d w = _mm256_div_pd(_mm256_sub_pd(z, c), _mm256_add_pd(one, _mm256_mul_pd(z, c)));
    const __m256d w2 = _mm256_mul_pd(w, w);
    __m256d series = _mm256_set1_pd(1.0 / 11.0);
    series = _mm256_sub_pd(_mm256_set1_pd(1.0 / 9.0), _mm256_mul_pd(w2, series));
    series = _mm256_sub_pd(_mm256_set1_pd(1.0 / 7.0), _mm256_mul_pd(w2, series));
    series = _mm256_sub_pd(_mm256_set1_pd(1.0 / 5.0), _mm256_mul_pd(w2, series));
    series = _mm256_sub_pd(_mm256_set1_pd(1.0 / 3.0), _mm256_mul_pd(w2, series));
    series = _mm256_mul_pd(_mm256_mul_pd(w, w2), series);
    const __m128i index = _mm256_cvtpd_epi32(k);
    const __m256d base = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), kAtanTable, index,
                                                  _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
    const __m256d small = _mm256_add_pd(base, _mm256_sub_pd(w, series));
    return _mm256_blendv_pd(small, _mm256_sub_pd(_mm256_set1_pd(1.5707963267948966), small), inverted);
}

AVX2_FN __m128 referenceAngles(__m128 q) {
    const __m256d qd = _mm256_cvtps_pd(q);
    // Quotients in 2^-20 .. 2^20 (NaN fails both tests); the others take 0
    // into the approximation, so that its table index stays in range.
    const __m256d inRange = _mm256_and_pd(_mm256_cmp_pd(qd, _mm256_set1_pd(9.5367431640625e-07), _CMP_GE_OQ),
                                          _mm256_cmp_pd(qd, _mm256_set1_pd(1048576.0), _CMP_LE_OQ));
    const __m256d approx = atanApprox(_mm256_and_pd(qd, inRange));
    const __m128 rounded = _mm256_cvtpd_ps(approx);
    // Midpoints to the single-precision neighbours of the rounded value
    // (positive here); the value must keep clear of both.
    const __m128i bits = _mm_castps_si128(rounded);
    const __m128 next = _mm_castsi128_ps(_mm_add_epi32(bits, _mm_set1_epi32(1)));
    const __m128 previous = _mm_castsi128_ps(_mm_sub_epi32(bits, _mm_set1_epi32(1)));
    const __m256d roundedD = _mm256_cvtps_pd(rounded);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d upperMid = _mm256_mul_pd(_mm256_add_pd(roundedD, _mm256_cvtps_pd(next)), half);
    const __m256d lowerMid = _mm256_mul_pd(_mm256_add_pd(roundedD, _mm256_cvtps_pd(previous)), half);
    const __m256d margin = _mm256_mul_pd(approx, _mm256_set1_pd(1.0 / 68719476736.0));  // 2^-36
    const __m256d clear = _mm256_and_pd(_mm256_cmp_pd(_mm256_sub_pd(upperMid, approx), margin, _CMP_GT_OQ),
                                        _mm256_cmp_pd(_mm256_sub_pd(approx, lowerMid), margin, _CMP_GT_OQ));
    const int good = _mm256_movemask_pd(_mm256_and_pd(clear, inRange));
    if (good == 15) return rounded;
    alignas(16) float out[4];
    alignas(16) float in[4];
    _mm_store_ps(out, rounded);
    _mm_store_ps(in, q);
    for (int k = 0; k < 4; ++k) {
        if ((good >> k & 1) != 0) continue;
        // 0 and -0 come back unchanged, as from atanOfFloatToFloat.
        out[k] = polarmosaic_detail::atanOfFloatToFloat(in[k]);
    }
    return _mm_load_ps(out);
}

AVX2_FN __m128 negate(__m128 x) { return _mm_xor_ps(x, _mm_set1_ps(-0.0f)); }

}  // namespace

// Plain baseline code: it runs before anything is known about the processor.
bool avx2Usable() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

__attribute__((target("avx2"))) uint64_t forwardRunAvx2(const KernelPlanes& planes, const ForwardRun& run) {
    uint64_t exactMask = 0;
    const __m256d radius = _mm256_set1_pd(static_cast<double>(run.radius));
    const __m256d cx = _mm256_set1_pd(static_cast<double>(run.cx));
    const __m256d cy = _mm256_set1_pd(static_cast<double>(run.cy));
    for (int32_t k = 0; k < run.count; k += 4) {
        const int32_t lanes = run.count - k < 4 ? run.count - k : 4;
        const __m128 active = _mm_castsi128_ps(
            _mm_cmpgt_epi32(_mm_set1_epi32(lanes), _mm_setr_epi32(0, 1, 2, 3)));
        // x = rho sin(theta) + cx and y = rho cos(theta) + cy in double,
        // rounded to single.
        const __m256d sine = _mm256_loadu_pd(run.sinTable + k);
        const __m256d cosine = _mm256_loadu_pd(run.cosTable + k);
        __m128 x = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(radius, sine), cx));
        __m128 y = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(radius, cosine), cy));
        __m128 exact = _mm_andnot_ps(_mm_and_ps(notNaN(x), notNaN(y)), active);
        __m128 live = _mm_andnot_ps(exact, active);
        if (run.wrap) {
            x = foldPlain(x, run.foldX, live, &exact);
            live = _mm_andnot_ps(exact, active);
            y = foldPlain(y, run.foldY, live, &exact);
            live = _mm_andnot_ps(exact, active);
        }
        exactMask |= static_cast<uint64_t>(laneBits(exact)) << k;
        Blend b;
        const __m128 written = placeSample(planes, x, y, live, &b);
        const int writtenBits = laneBits(written);
        if (writtenBits == 0) continue;
        __m128i c1, c2;
        const __m128i c0 = blendChannels(planes, b, &c1, &c2);
        storeLanes(planes, run.at - k, -1, writtenBits, c0, c1, c2);
    }
    return exactMask;
}

__attribute__((target("avx2"))) uint64_t inverseRunAvx2(const KernelPlanes& planes, const InverseSetup& setup,
                                                         const InverseRun& run) {
    uint64_t exactMask = 0;
    const __m128 step = _mm_set1_ps(setup.pixelStep);
    const float dyScalar = setup.pixelStep * (static_cast<float>(run.y) - setup.cy);
    const __m128 dy = _mm_set1_ps(dyScalar);
    const __m128 zero = _mm_setzero_ps();
    const int32_t mirrorRow = planes.height - run.y;
    for (int32_t k = 0; k < run.count; k += 4) {
        const int32_t lanes = run.count - k < 4 ? run.count - k : 4;
        const __m128 active = _mm_castsi128_ps(
            _mm_cmpgt_epi32(_mm_set1_epi32(lanes), _mm_setr_epi32(0, 1, 2, 3)));
        const int32_t x0 = run.x + k;
        const __m128 columns = _mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(x0), _mm_setr_epi32(0, 1, 2, 3)));
        const __m128 dx = _mm_mul_ps(step, _mm_sub_ps(columns, _mm_set1_ps(setup.cx)));
        // Radius: the sum of squares in single, the root in double.
        const __m128 sumOfSquares = _mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy));
        const __m128 radius = _mm256_cvtpd_ps(_mm256_sqrt_pd(_mm256_cvtps_pd(sumOfSquares)));
        // Reference angle: fabs33 is a sign flip of negative values (-0
        // stays -0); pi / 2 where dx is 0.
        const __m128 absDx = _mm_blendv_ps(dx, negate(dx), _mm_cmplt_ps(dx, zero));
        const __m128 absDy = _mm_blendv_ps(dy, negate(dy), _mm_cmplt_ps(dy, zero));
        const __m128 dxZero = _mm_cmpeq_ps(dx, zero);
        const __m128 quotient = _mm_blendv_ps(_mm_div_ps(absDy, absDx), _mm_set1_ps(1.0f), dxZero);
        const __m128 reference = _mm_blendv_ps(referenceAngles(quotient), _mm_set1_ps(kHalfPiF), dxZero);
        // The radial position and its fold are shared by the four mirrors.
        __m128 u = _mm_mul_ps(_mm_add_ps(radius, _mm_set1_ps(setup.radiusOffset)), _mm_set1_ps(setup.radialScale));
        __m128 exactU = _mm_andnot_ps(notNaN(u), active);
        __m128 liveU = _mm_andnot_ps(exactU, active);
        if (setup.wrap) {
            u = foldPlain(u, setup.foldU, liveU, &exactU);
            liveU = _mm_andnot_ps(exactU, active);
        }
        const __m256d referenceD = _mm256_cvtps_pd(reference);
        const __m256d pi = _mm256_set1_pd(kPi);
        const __m128 piMinus = _mm256_cvtpd_ps(_mm256_sub_pd(pi, referenceD));
        const __m128 piPlus = _mm256_cvtpd_ps(_mm256_add_pd(pi, referenceD));
        const __m128 twoPiMinus = _mm_sub_ps(_mm_set1_ps(kTwoPiF), reference);
        for (int mirror = 0; mirror < 4; ++mirror) {
            if ((run.mirrorMask >> mirror & 1u) == 0) continue;
            const __m128 mdx = (mirror & 1) != 0 ? negate(dx) : dx;
            const __m128 mdy = (mirror & 2) != 0 ? negate(dy) : dy;
            const __m128 dxNonNegative = _mm_cmpge_ps(mdx, zero);
            const __m128 dyNegative = _mm_cmplt_ps(mdy, zero);
            // dx >= 0, dy < 0: t; dx < 0, dy < 0: pi - t; dx < 0, dy >= 0:
            // pi + t; otherwise 2 pi - t.
            const __m128 left = _mm_blendv_ps(piPlus, piMinus, dyNegative);
            const __m128 right = _mm_blendv_ps(twoPiMinus, reference, dyNegative);
            const __m128 angle = _mm_blendv_ps(left, right, dxNonNegative);
            __m128 v = _mm_mul_ps(_mm_add_ps(angle, _mm_set1_ps(setup.angleOffset)), _mm_set1_ps(setup.angularScale));
            __m128 exact = _mm_or_ps(exactU, _mm_andnot_ps(notNaN(v), active));
            const __m128 live = _mm_andnot_ps(exact, active);
            v = foldPlain(v, setup.foldV, live, &exact);
            const __m128 liveBoth = _mm_andnot_ps(exact, active);
            const int exactBits = laneBits(exact);
            for (int lane = 0; lane < 4; ++lane) {
                if ((exactBits >> lane & 1) != 0) exactMask |= uint64_t{1} << (4 * (k + lane) + mirror);
            }
            Blend b;
            const __m128 written = placeSample(planes, u, v, liveBoth, &b);
            const int writtenBits = laneBits(written);
            if (writtenBits == 0) continue;
            __m128i c1, c2;
            const __m128i c0 = blendChannels(planes, b, &c1, &c2);
            const int32_t row = (mirror & 2) != 0 ? mirrorRow : run.y;
            if ((mirror & 1) != 0) {
                storeLanes(planes, row * planes.lineBytes + (planes.width - x0), -1, writtenBits, c0, c1, c2);
            } else {
                storeLanes(planes, row * planes.lineBytes + x0, 1, writtenBits, c0, c1, c2);
            }
        }
    }
    return exactMask;
}

}  // namespace polarmap_simd

#endif
