// AVX-512 kernels of the two resampling passes: the AVX2 kernels' steps on
// eight pixels at a time, the single-precision work in 256-bit registers and
// the double-precision work (fold sums, roots, arctangent, blend) in 512-bit
// ones. Every lane still takes the scalar code's IEEE operations in the same
// order and precision, with no fused multiply-add (the file is built without
// contraction and no fused intrinsic is used). Lanes that need more than the
// plain fold rounds, and any NaN or infinite coordinate, go back to the exact
// scalar code, as with the AVX2 kernels.
//
// The functions carry their own target attribute and are called only after
// a run-time check, so the rest of the module stays baseline x86-64.
#include "floathelpers_internal.h"
#include "polarmap_simd.h"

#if POLARMAP_HAVE_AVX2_KERNELS

// GCC 12 reports the deliberately undefined upper halves inside its own
// AVX-512 conversion intrinsics as possibly uninitialized.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

namespace polarmap_simd {

namespace {

#define AVX512_TARGET "avx2,avx512f,avx512vl,avx512dq,avx512bw"
#define AVX512_FN __attribute__((target(AVX512_TARGET))) inline

const double kPi = 3.141592653589793;
const float kHalfPiF = 1.5707963705062866f;
const float kTwoPiF = 6.2831854820251465f;

// Same layout as the AVX2 kernels' blend: a 32-bit word at the top-left
// offset holds the top-left and top-right samples; words are pulled back so
// that none reaches past the last byte the exact code may read.
struct Blend8 {
    __m256i topLeft;
    __m256i right;
    __m256i below;
    __m256 fx;
    __m256 fy;
};

#ifdef POLARMAP_HW_GATHER
AVX512_FN __m256i gatherWords8(const uint8_t* base, __m256i at) {
    return _mm256_i32gather_epi32(reinterpret_cast<const int*>(base), at, 1);
}
#else
AVX512_FN __m256i gatherWords8(const uint8_t* base, __m256i at) {
    alignas(32) int32_t offset[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(offset), at);
    int32_t w[8];
    for (int k = 0; k < 8; ++k) __builtin_memcpy(&w[k], base + offset[k], 4);
    return _mm256_setr_epi32(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
}
#endif

AVX512_FN __m256i blendChannels8(const KernelPlanes& planes, const Blend8& b, __m256i* out1, __m256i* out2) {
    const __m256i lastWord = _mm256_set1_epi32(planes.lastRead - 3);
    const __m256i top = b.topLeft;
    const __m256i bottom = _mm256_add_epi32(top, b.below);
    const __m256i topAt = _mm256_min_epi32(top, lastWord);
    const __m256i bottomAt = _mm256_min_epi32(bottom, lastWord);
    const __m256i topShift = _mm256_slli_epi32(_mm256_sub_epi32(top, topAt), 3);
    const __m256i bottomShift = _mm256_slli_epi32(_mm256_sub_epi32(bottom, bottomAt), 3);
    const __m256i rightShift = _mm256_slli_epi32(b.right, 3);
    const __m256i topRightShift = _mm256_add_epi32(topShift, rightShift);
    const __m256i bottomRightShift = _mm256_add_epi32(bottomShift, rightShift);
    const __m256i byteMask = _mm256_set1_epi32(0xFF);

    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d oneMinusFx = _mm512_sub_pd(one, _mm512_cvtps_pd(b.fx));
    const __m512d fyD = _mm512_cvtps_pd(b.fy);
    const __m512d oneMinusFy = _mm512_sub_pd(one, fyD);

    __m256i result[3];
    for (int c = 0; c < 3; ++c) {
        const __m256i topWord = gatherWords8(planes.src[c], topAt);
        const __m256i bottomWord = gatherWords8(planes.src[c], bottomAt);
        const __m256i tl = _mm256_and_si256(_mm256_srlv_epi32(topWord, topShift), byteMask);
        const __m256i tr = _mm256_and_si256(_mm256_srlv_epi32(topWord, topRightShift), byteMask);
        const __m256i bl = _mm256_and_si256(_mm256_srlv_epi32(bottomWord, bottomShift), byteMask);
        const __m256i br = _mm256_and_si256(_mm256_srlv_epi32(bottomWord, bottomRightShift), byteMask);
        const __m256 rightTop = _mm256_mul_ps(b.fx, _mm256_cvtepi32_ps(tr));
        const __m256 rightBottom = _mm256_mul_ps(b.fx, _mm256_cvtepi32_ps(br));
        const __m512d upper = _mm512_add_pd(_mm512_mul_pd(oneMinusFx, _mm512_cvtepi32_pd(tl)),
                                            _mm512_cvtps_pd(rightTop));
        const __m512d lower = _mm512_add_pd(_mm512_mul_pd(oneMinusFx, _mm512_cvtepi32_pd(bl)),
                                            _mm512_cvtps_pd(rightBottom));
        const __m512d value = _mm512_add_pd(_mm512_mul_pd(oneMinusFy, upper), _mm512_mul_pd(fyD, lower));
        result[c] = _mm256_and_si256(_mm512_cvttpd_epi32(value), byteMask);
    }
    *out1 = result[1];
    *out2 = result[2];
    return result[0];
}

AVX512_FN __m256 foldRound8(__m256 x, __m512d delta) {
    return _mm512_cvtpd_ps(_mm512_add_pd(_mm512_cvtps_pd(x), delta));
}

AVX512_FN __m256 integerPartNotPositive8(__m256 x) {
    const __m256i whole = _mm256_cvttps_epi32(x);
    const __m256i low = _mm256_srai_epi32(_mm256_slli_epi32(whole, 16), 16);
    return _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(1), low));
}

AVX512_FN int laneBits8(__m256 m) { return _mm256_movemask_ps(m); }

AVX512_FN __m256 foldPlain8(__m256 x, const KernelFold& rule, __m256 active, __m256* exact) {
    const __m256 magnitude = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), x);
    const __m256 near = _mm256_cmp_ps(magnitude, _mm256_set1_ps(rule.nearBelow), _CMP_LT_OQ);
    *exact = _mm256_or_ps(*exact, _mm256_andnot_ps(near, active));
    const __m256 lanes = _mm256_and_ps(active, near);
    const __m256 downAbove = _mm256_set1_ps(rule.downAbove);
    if (laneBits8(_mm256_and_ps(lanes, _mm256_or_ps(_mm256_cmp_ps(x, downAbove, _CMP_GT_OQ),
                                                    integerPartNotPositive8(x)))) == 0) {
        return x;
    }
    const __m512d down = _mm512_set1_pd(-rule.period);
    const __m512d up = _mm512_set1_pd(rule.period);
    int rounds = 0;
    for (;;) {
        const __m256 m = _mm256_and_ps(lanes, _mm256_cmp_ps(x, downAbove, _CMP_GT_OQ));
        if (laneBits8(m) == 0) break;
        if (++rounds > 64) {
            *exact = _mm256_or_ps(*exact, m);
            return x;
        }
        x = _mm256_blendv_ps(x, foldRound8(x, down), m);
    }
    for (;;) {
        const __m256 m = _mm256_and_ps(lanes, integerPartNotPositive8(x));
        if (laneBits8(m) == 0) break;
        if (++rounds > 64) {
            *exact = _mm256_or_ps(*exact, m);
            return x;
        }
        x = _mm256_blendv_ps(x, foldRound8(x, up), m);
    }
    return x;
}

AVX512_FN __m256 notNaN8(__m256 x) { return _mm256_cmp_ps(x, x, _CMP_ORD_Q); }

AVX512_FN __m256 placeSample8(const KernelPlanes& planes, __m256 u, __m256 v, __m256 active, Blend8* b) {
    const __m256 columnLimit = _mm256_set1_ps(static_cast<float>(planes.width - 1));
    const __m256 rowLimit = _mm256_set1_ps(static_cast<float>(planes.height));
    const __m256 zero = _mm256_setzero_ps();
    __m256 inside = _mm256_and_ps(_mm256_cmp_ps(u, zero, _CMP_GE_OQ), _mm256_cmp_ps(u, columnLimit, _CMP_LE_OQ));
    inside = _mm256_and_ps(inside, _mm256_and_ps(_mm256_cmp_ps(v, zero, _CMP_GE_OQ),
                                                 _mm256_cmp_ps(v, rowLimit, _CMP_LE_OQ)));
    inside = _mm256_and_ps(inside, active);
    // Inside the range both coordinates lie in 0 .. 32767, where truncation
    // is exact and fmod33 is the plain fractional part.
    const __m256 safeU = _mm256_and_ps(u, inside);
    const __m256 safeV = _mm256_and_ps(v, inside);
    const __m256i column = _mm256_cvttps_epi32(safeU);
    __m256i row = _mm256_cvttps_epi32(safeV);
    b->fx = _mm256_sub_ps(safeU, _mm256_cvtepi32_ps(column));
    b->fy = _mm256_sub_ps(safeV, _mm256_cvtepi32_ps(row));
    row = _mm256_min_epi32(row, _mm256_set1_epi32(planes.height - 1));  // v on the lower edge
    b->topLeft = _mm256_add_epi32(_mm256_mullo_epi32(row, _mm256_set1_epi32(planes.lineBytes)), column);
    b->right = _mm256_and_si256(_mm256_castps_si256(_mm256_cmp_ps(safeU, columnLimit, _CMP_LT_OQ)),
                                _mm256_set1_epi32(1));
    const __m256 hasRowBelow =
        _mm256_cmp_ps(safeV, _mm256_set1_ps(static_cast<float>(planes.height - 1)), _CMP_LT_OQ);
    b->below = _mm256_and_si256(_mm256_castps_si256(hasRowBelow), _mm256_set1_epi32(planes.lineBytes));
    return inside;
}

// Reverses the order of the low eight bits.
inline unsigned reverse8(unsigned m) {
    m = ((m & 0xF0u) >> 4) | ((m & 0x0Fu) << 4);
    m = ((m & 0xCCu) >> 2) | ((m & 0x33u) << 2);
    m = ((m & 0xAAu) >> 1) | ((m & 0x55u) << 1);
    return m;
}

// Stores the written lanes of one group of eight pixels; `step` is +1 when
// lane k goes to at + k and -1 when it goes to at - k. `full` says that all
// eight positions lie inside the row, so a masked vector store may be used.
AVX512_FN void storeLanes8(const KernelPlanes& planes, int32_t at, int32_t step, bool full, int written,
                           __m256i c0, __m256i c1, __m256i c2) {
    __m128i b0 = _mm256_cvtepi32_epi8(c0);
    __m128i b1 = _mm256_cvtepi32_epi8(c1);
    __m128i b2 = _mm256_cvtepi32_epi8(c2);
    if (full) {
        int32_t first = at;
        unsigned mask = static_cast<unsigned>(written);
        if (step < 0) {
            const __m128i reverse = _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 8, 9, 10, 11, 12, 13, 14, 15);
            b0 = _mm_shuffle_epi8(b0, reverse);
            b1 = _mm_shuffle_epi8(b1, reverse);
            b2 = _mm_shuffle_epi8(b2, reverse);
            first = at - 7;
            mask = reverse8(mask);
        }
        if (mask == 0xFFu) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(planes.dst[0] + first), b0);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(planes.dst[1] + first), b1);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(planes.dst[2] + first), b2);
        } else {
            const __mmask16 m = static_cast<__mmask16>(mask);
            _mm_mask_storeu_epi8(planes.dst[0] + first, m, b0);
            _mm_mask_storeu_epi8(planes.dst[1] + first, m, b1);
            _mm_mask_storeu_epi8(planes.dst[2] + first, m, b2);
        }
        return;
    }
    alignas(16) uint8_t bytes[3][16];
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes[0]), b0);
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes[1]), b1);
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes[2]), b2);
    for (int k = 0; k < 8; ++k) {
        if ((written >> k & 1) == 0) continue;
        const int32_t to = at + step * k;
        planes.dst[0][to] = bytes[0][k];
        planes.dst[1][to] = bytes[1][k];
        planes.dst[2][to] = bytes[2][k];
    }
}

// The AVX2 kernels' arctangent, eight lanes wide: a table of atan(k / 16)
// and a short series, used only where its value lies clearly away from every
// point where rounding to single changes; the other lanes call the exact
// helper.
const double kAtanTable8[17] = {
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

AVX512_FN __m512d atanApprox8(__m512d q) {
    const __m512d one = _mm512_set1_pd(1.0);
    const __mmask8 inverted = _mm512_cmp_pd_mask(q, one, _CMP_GT_OQ);
    const __m512d z = _mm512_mask_blend_pd(inverted, q, _mm512_div_pd(one, q));  // 0 .. 1
    const __m512d k = _mm512_roundscale_pd(_mm512_mul_pd(z, _mm512_set1_pd(16.0)),
                                           _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m512d c = _mm512_mul_pd(k, _mm512_set1_pd(0.0625));
    const __m512d w = _mm512_div_pd(_mm512_sub_pd(z, c), _mm512_add_pd(one, _mm512_mul_pd(z, c)));
    const __m512d w2 = _mm512_mul_pd(w, w);
    __m512d series = _mm512_set1_pd(1.0 / 11.0);
    series = _mm512_sub_pd(_mm512_set1_pd(1.0 / 9.0), _mm512_mul_pd(w2, series));
    series = _mm512_sub_pd(_mm512_set1_pd(1.0 / 7.0), _mm512_mul_pd(w2, series));
    series = _mm512_sub_pd(_mm512_set1_pd(1.0 / 5.0), _mm512_mul_pd(w2, series));
    series = _mm512_sub_pd(_mm512_set1_pd(1.0 / 3.0), _mm512_mul_pd(w2, series));
    series = _mm512_mul_pd(_mm512_mul_pd(w, w2), series);
    const __m256i index = _mm512_cvtpd_epi32(k);
    const __m512d base = _mm512_i32gather_pd(index, kAtanTable8, 8);
    const __m512d small = _mm512_add_pd(base, _mm512_sub_pd(w, series));
    return _mm512_mask_blend_pd(inverted, small, _mm512_sub_pd(_mm512_set1_pd(1.5707963267948966), small));
}

AVX512_FN __m256 referenceAngles8(__m256 q) {
    const __m512d qd = _mm512_cvtps_pd(q);
    // Quotients in 2^-20 .. 2^20 (NaN fails both tests); the others take 0
    // into the approximation, so that its table index stays in range.
    const __mmask8 inRange = static_cast<__mmask8>(
        _mm512_cmp_pd_mask(qd, _mm512_set1_pd(9.5367431640625e-07), _CMP_GE_OQ) &
        _mm512_cmp_pd_mask(qd, _mm512_set1_pd(1048576.0), _CMP_LE_OQ));
    const __m512d approx = atanApprox8(_mm512_maskz_mov_pd(inRange, qd));
    const __m256 rounded = _mm512_cvtpd_ps(approx);
    const __m256i bits = _mm256_castps_si256(rounded);
    const __m256 next = _mm256_castsi256_ps(_mm256_add_epi32(bits, _mm256_set1_epi32(1)));
    const __m256 previous = _mm256_castsi256_ps(_mm256_sub_epi32(bits, _mm256_set1_epi32(1)));
    const __m512d roundedD = _mm512_cvtps_pd(rounded);
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512d upperMid = _mm512_mul_pd(_mm512_add_pd(roundedD, _mm512_cvtps_pd(next)), half);
    const __m512d lowerMid = _mm512_mul_pd(_mm512_add_pd(roundedD, _mm512_cvtps_pd(previous)), half);
    const __m512d margin = _mm512_mul_pd(approx, _mm512_set1_pd(1.0 / 68719476736.0));  // 2^-36
    const unsigned good = static_cast<unsigned>(
        _mm512_cmp_pd_mask(_mm512_sub_pd(upperMid, approx), margin, _CMP_GT_OQ) &
        _mm512_cmp_pd_mask(_mm512_sub_pd(approx, lowerMid), margin, _CMP_GT_OQ) & inRange);
    if (good == 0xFFu) return rounded;
    alignas(32) float out[8];
    alignas(32) float in[8];
    _mm256_store_ps(out, rounded);
    _mm256_store_ps(in, q);
    for (int k = 0; k < 8; ++k) {
        if ((good >> k & 1u) != 0) continue;
        out[k] = polarmosaic_detail::atanOfFloatToFloat(in[k]);
    }
    return _mm256_load_ps(out);
}

AVX512_FN __m256 negate8(__m256 x) { return _mm256_xor_ps(x, _mm256_set1_ps(-0.0f)); }

AVX512_FN __m256 activeLanes8(int32_t lanes) {
    return _mm256_castsi256_ps(
        _mm256_cmpgt_epi32(_mm256_set1_epi32(lanes), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
}

}  // namespace

bool avx512Usable() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("avx512f") != 0 &&
           __builtin_cpu_supports("avx512vl") != 0 && __builtin_cpu_supports("avx512dq") != 0 &&
           __builtin_cpu_supports("avx512bw") != 0;
}

__attribute__((target(AVX512_TARGET))) uint64_t forwardRunAvx512(const KernelPlanes& planes,
                                                                 const ForwardRun& run) {
    uint64_t exactMask = 0;
    const __m512d radius = _mm512_set1_pd(static_cast<double>(run.radius));
    const __m512d cx = _mm512_set1_pd(static_cast<double>(run.cx));
    const __m512d cy = _mm512_set1_pd(static_cast<double>(run.cy));
    for (int32_t k = 0; k < run.count; k += 8) {
        const int32_t lanes = run.count - k < 8 ? run.count - k : 8;
        const __m256 active = activeLanes8(lanes);
        const __m512d sine = _mm512_loadu_pd(run.sinTable + k);
        const __m512d cosine = _mm512_loadu_pd(run.cosTable + k);
        __m256 x = _mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(radius, sine), cx));
        __m256 y = _mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(radius, cosine), cy));
        __m256 exact = _mm256_andnot_ps(_mm256_and_ps(notNaN8(x), notNaN8(y)), active);
        __m256 live = _mm256_andnot_ps(exact, active);
        if (run.wrap) {
            x = foldPlain8(x, run.foldX, live, &exact);
            live = _mm256_andnot_ps(exact, active);
            y = foldPlain8(y, run.foldY, live, &exact);
            live = _mm256_andnot_ps(exact, active);
        }
        exactMask |= static_cast<uint64_t>(laneBits8(exact)) << k;
        Blend8 b;
        const __m256 written = placeSample8(planes, x, y, live, &b);
        const int writtenBits = laneBits8(written);
        if (writtenBits == 0) continue;
        __m256i c1, c2;
        const __m256i c0 = blendChannels8(planes, b, &c1, &c2);
        storeLanes8(planes, run.at - k, -1, lanes == 8, writtenBits, c0, c1, c2);
    }
    return exactMask;
}

__attribute__((target(AVX512_TARGET))) uint64_t inverseRunAvx512(const KernelPlanes& planes,
                                                                 const InverseSetup& setup,
                                                                 const InverseRun& run) {
    uint64_t exactMask = 0;
    const __m256 step = _mm256_set1_ps(setup.pixelStep);
    const float dyScalar = setup.pixelStep * (static_cast<float>(run.y) - setup.cy);
    const __m256 dy = _mm256_set1_ps(dyScalar);
    const __m256 zero = _mm256_setzero_ps();
    const int32_t mirrorRow = planes.height - run.y;
    for (int32_t k = 0; k < run.count; k += 8) {
        const int32_t lanes = run.count - k < 8 ? run.count - k : 8;
        const __m256 active = activeLanes8(lanes);
        const int32_t x0 = run.x + k;
        const __m256 columns = _mm256_cvtepi32_ps(
            _mm256_add_epi32(_mm256_set1_epi32(x0), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
        const __m256 dx = _mm256_mul_ps(step, _mm256_sub_ps(columns, _mm256_set1_ps(setup.cx)));
        // Radius: the sum of squares in single, the root in double.
        const __m256 sumOfSquares = _mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy));
        const __m256 radius = _mm512_cvtpd_ps(_mm512_sqrt_pd(_mm512_cvtps_pd(sumOfSquares)));
        // Reference angle from |dy| / |dx| (a sign flip of negative values,
        // -0 staying -0); pi / 2 where dx is 0.
        const __m256 absDx = _mm256_blendv_ps(dx, negate8(dx), _mm256_cmp_ps(dx, zero, _CMP_LT_OQ));
        const __m256 absDy = _mm256_blendv_ps(dy, negate8(dy), _mm256_cmp_ps(dy, zero, _CMP_LT_OQ));
        const __m256 dxZero = _mm256_cmp_ps(dx, zero, _CMP_EQ_OQ);
        const __m256 quotient = _mm256_blendv_ps(_mm256_div_ps(absDy, absDx), _mm256_set1_ps(1.0f), dxZero);
        const __m256 reference = _mm256_blendv_ps(referenceAngles8(quotient), _mm256_set1_ps(kHalfPiF), dxZero);
        // The radial position and its fold are shared by the four mirrors.
        __m256 u = _mm256_mul_ps(_mm256_add_ps(radius, _mm256_set1_ps(setup.radiusOffset)),
                                 _mm256_set1_ps(setup.radialScale));
        __m256 exactU = _mm256_andnot_ps(notNaN8(u), active);
        __m256 liveU = _mm256_andnot_ps(exactU, active);
        if (setup.wrap) {
            u = foldPlain8(u, setup.foldU, liveU, &exactU);
            liveU = _mm256_andnot_ps(exactU, active);
        }
        const __m512d referenceD = _mm512_cvtps_pd(reference);
        const __m512d pi = _mm512_set1_pd(kPi);
        const __m256 piMinus = _mm512_cvtpd_ps(_mm512_sub_pd(pi, referenceD));
        const __m256 piPlus = _mm512_cvtpd_ps(_mm512_add_pd(pi, referenceD));
        const __m256 twoPiMinus = _mm256_sub_ps(_mm256_set1_ps(kTwoPiF), reference);
        for (int mirror = 0; mirror < 4; ++mirror) {
            if ((run.mirrorMask >> mirror & 1u) == 0) continue;
            const __m256 mdx = (mirror & 1) != 0 ? negate8(dx) : dx;
            const __m256 mdy = (mirror & 2) != 0 ? negate8(dy) : dy;
            const __m256 dxNonNegative = _mm256_cmp_ps(mdx, zero, _CMP_GE_OQ);
            const __m256 dyNegative = _mm256_cmp_ps(mdy, zero, _CMP_LT_OQ);
            // dx >= 0, dy < 0: t; dx < 0, dy < 0: pi - t; dx < 0, dy >= 0:
            // pi + t; otherwise 2 pi - t.
            const __m256 left = _mm256_blendv_ps(piPlus, piMinus, dyNegative);
            const __m256 right = _mm256_blendv_ps(twoPiMinus, reference, dyNegative);
            const __m256 angle = _mm256_blendv_ps(left, right, dxNonNegative);
            __m256 v = _mm256_mul_ps(_mm256_add_ps(angle, _mm256_set1_ps(setup.angleOffset)),
                                     _mm256_set1_ps(setup.angularScale));
            __m256 exact = _mm256_or_ps(exactU, _mm256_andnot_ps(notNaN8(v), active));
            const __m256 live = _mm256_andnot_ps(exact, active);
            v = foldPlain8(v, setup.foldV, live, &exact);
            const __m256 liveBoth = _mm256_andnot_ps(exact, active);
            const int exactBits = laneBits8(exact);
            for (int lane = 0; lane < 8; ++lane) {
                if ((exactBits >> lane & 1) != 0) exactMask |= uint64_t{1} << (4 * (k + lane) + mirror);
            }
            Blend8 b;
            const __m256 written = placeSample8(planes, u, v, liveBoth, &b);
            const int writtenBits = laneBits8(written);
            if (writtenBits == 0) continue;
            __m256i c1, c2;
            const __m256i c0 = blendChannels8(planes, b, &c1, &c2);
            const int32_t row = (mirror & 2) != 0 ? mirrorRow : run.y;
            if ((mirror & 1) != 0) {
                storeLanes8(planes, row * planes.lineBytes + (planes.width - x0), -1, lanes == 8, writtenBits, c0,
                            c1, c2);
            } else {
                storeLanes8(planes, row * planes.lineBytes + x0, 1, lanes == 8, writtenBits, c0, c1, c2);
            }
        }
    }
    return exactMask;
}

}  // namespace polarmap_simd

#endif
