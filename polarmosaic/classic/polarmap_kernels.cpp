// Vector kernels of the two resampling passes (forward_pass.cpp,
// inverse_pass.cpp), written once with Highway and compiled for every
// instruction set in the dispatch table at the end.
//
// A kernel works on as many pixels as a vector holds doubles (2 with NEON
// and WebAssembly, 4 with AVX2, 8 with AVX-512): the single-precision steps in a
// float vector of that many lanes, the double-precision ones (fold sums,
// roots, arctangent, blend) in a full double vector. Every lane takes the
// scalar code's IEEE operations in the same order and precision: no fused
// multiply-add (the file is built without contraction, and the targets are
// compiled without FMA), no approximate reciprocal or root. Lanes that need
// more than the plain fold rounds, and any NaN or infinite coordinate, go
// back to the exact scalar code.
#include "shared/internal.h"

#if POLARMAP_HAVE_VECTOR_KERNELS

#ifndef POLARMAP_KERNELS_ONCE
#define POLARMAP_KERNELS_ONCE
// Targets whose vector length is not fixed at compile time, or which add
// nothing for these kernels, are left out; the x86 targets are compiled
// without FMA (and so without BMI2, which Highway couples to it) so that no
// multiply-add can appear, and without the crypto and half-float
// extensions, so that the processor test needs only the vector instruction
// sets. Highway is used header-only: no debug checks that would call into
// its library.
//
// SSSE3 and SSE4 are left out too: two pixels per step, with the shifts by
// lane that these sets lack emulated and the gathers done one word at a
// time, were no faster than the scalar code (SSSE3 slower), so a processor
// without AVX2 runs the scalar passes.
#define HWY_DISABLED_TARGETS \
    (HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128 | HWY_AVX3_DL | HWY_SSSE3 | HWY_SSE4)
#define HWY_DISABLE_BMI2_FMA
#define HWY_DISABLE_PCLMUL_AES
#define HWY_DISABLE_F16C
#define HWY_IS_DEBUG_BUILD 0
#include <string.h>
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "classic/polarmap_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

// Kernels only for the targets in the dispatch table; the portable
// fallback target of Highway is never called.
#if HWY_TARGET != HWY_EMU128 && HWY_TARGET != HWY_SCALAR

HWY_BEFORE_NAMESPACE();
namespace polarmap_simd {
namespace HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;
using polarmosaic_detail::kHalfPiF;
using polarmosaic_detail::kPi;
using polarmosaic_detail::kTwoPiF;

using DD = hn::ScalableTag<double>;  // one lane per pixel
using DF = hn::Rebind<float, DD>;
using DI = hn::Rebind<int32_t, DD>;
using DU = hn::Rebind<uint32_t, DD>;
using DB = hn::Rebind<uint8_t, DD>;
using VD = hn::Vec<DD>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;
using MF = hn::Mask<DF>;

constexpr size_t kMaxLanes = HWY_LANES(double);
static_assert(kMaxLanes <= 8, "a kernel call covers at most 64 pixels in groups of at most 8");

// Bit k set for lane k of the mask.
HWY_INLINE uint32_t laneBits(MF m) {
#if HWY_TARGET == HWY_AVX3
    return static_cast<uint32_t>(m.raw);
#elif HWY_TARGET == HWY_AVX2
    return static_cast<uint32_t>(_mm_movemask_ps(m.raw));
#else
    uint8_t bits[8] = {0};
    hn::StoreMaskBits(DF(), m, bits);
    return bits[0];
#endif
}

// Truncations of values known to fit in an int32 (|x| < 2^31, or lanes
// whose result is not used). Highway's general conversions add an overflow
// fix-up of three to four instructions on x86, which these values never
// need; elsewhere they are single instructions already.
HWY_INLINE VI truncateFloat(VF x) {
#if HWY_TARGET == HWY_AVX3
    return VI{_mm256_cvttps_epi32(x.raw)};
#elif HWY_TARGET == HWY_AVX2
    return VI{_mm_cvttps_epi32(x.raw)};
#else
    return hn::ConvertTo(DI(), x);
#endif
}

HWY_INLINE VI truncateDouble(VD x) {
#if HWY_TARGET == HWY_AVX3
    return VI{_mm512_cvttpd_epi32(x.raw)};
#elif HWY_TARGET == HWY_AVX2
    return VI{_mm256_cvttpd_epi32(x.raw)};
#else
    return hn::DemoteTo(DI(), x);
#endif
}

HWY_INLINE MF notNaN(VF x) { return hn::Eq(x, x); }

// The first `lanes` lanes (FirstN would need BMI2 on x86), given the lane
// indices 0, 1, ... (made once per call: GCC builds an Iota through the
// stack, which costs a store-forwarding stall each time).
HWY_INLINE MF firstLanes(VI laneIndex, int32_t lanes) {
    return hn::RebindMask(DF(), hn::Lt(laneIndex, hn::Set(DI(), lanes)));
}

// Source positions and weights of a group of pixels, shared by the three
// planes. A 32-bit word at the top-left offset holds the top-left and
// top-right samples (the right neighbour is the next byte or the same one).
struct Blend {
    VI topLeft;  // source offset, 0 for lanes not written
    VI right;    // 1, or 0 at the last column
    VI below;    // lineBytes, or 0 at the last row
    VF fx;
    VF fy;
    MF written;  // the lanes inside the source
};

// Range test, fractions and neighbours of the lanes in `active` whose
// coordinates are finite and folded. (Built as one aggregate: GCC on
// AArch64 does not give a defaulted constructor of the struct the target
// attribute of the vector types' constructors.)
HWY_INLINE Blend placeSample(const KernelPlanes& planes, VF u, VF v, MF active) {
    const DF df;
    const DI di;
    const VF columnLimit = hn::Set(df, static_cast<float>(planes.width - 1));
    const VF rowLimit = hn::Set(df, static_cast<float>(planes.height));
    const VF zero = hn::Zero(df);
    MF inside = hn::And(hn::Ge(u, zero), hn::Le(u, columnLimit));
    inside = hn::And(inside, hn::And(hn::Ge(v, zero), hn::Le(v, rowLimit)));
    inside = hn::And(inside, active);
    // Inside the range both coordinates lie in 0 .. 32767, where truncation
    // is exact and fmod33 is the plain fractional part.
    const VF safeU = hn::IfThenElseZero(inside, u);
    const VF safeV = hn::IfThenElseZero(inside, v);
    const VI column = truncateFloat(safeU);
    const VI row = truncateFloat(safeV);
    const VF fx = hn::Sub(safeU, hn::ConvertTo(df, column));
    const VF fy = hn::Sub(safeV, hn::ConvertTo(df, row));
    const VI rowRead = hn::Min(row, hn::Set(di, planes.height - 1));  // v on the lower edge
    const VI topLeft = hn::Add(hn::Mul(rowRead, hn::Set(di, planes.lineBytes)), column);
    const VI right = hn::IfThenElseZero(hn::RebindMask(di, hn::Lt(safeU, columnLimit)), hn::Set(di, 1));
    const MF hasRowBelow = hn::Lt(safeV, hn::Set(df, static_cast<float>(planes.height - 1)));
    const VI below = hn::IfThenElseZero(hn::RebindMask(di, hasRowBelow), hn::Set(di, planes.lineBytes));
    return Blend{topLeft, right, below, fx, fy, inside};
}

// 32-bit words at the given byte offsets of a plane.
HWY_INLINE hn::Vec<DU> gatherWords(const uint8_t* plane, VI at) {
#if HWY_TARGET == HWY_AVX3
    // Eight words in one gather instruction; with AVX2's four lanes the
    // gather was slower than the loads one by one.
    return hn::Vec<DU>{_mm256_i32gather_epi32(reinterpret_cast<const int*>(plane), at.raw, 1)};
#else
    HWY_ALIGN int32_t offset[kMaxLanes];
    HWY_ALIGN uint32_t word[kMaxLanes];
    hn::Store(at, DI(), offset);
    for (size_t k = 0; k < hn::Lanes(DI()); ++k) memcpy(&word[k], plane + offset[k], 4);
    return hn::Load(DU(), word);
#endif
}

// Bilinear blend of the group in the three planes:
//   value = (1 - fy) * ((1 - fx) * TL + fx * TR) + fy * ((1 - fx) * BL + fx * BR)
// with fx * TR and fx * BR in single precision and the rest in double, the
// value truncated. So that no word reaches past the last byte the exact code
// may read, a word's address is pulled back by up to three bytes and the
// samples are shifted out of it accordingly.
HWY_INLINE void blendChannels(const KernelPlanes& planes, const Blend& b, VI out[3]) {
    const DD dd;
    const DI di;
    const DU du;
    const VI lastWord = hn::Set(di, planes.lastRead - 3);
    const VI top = b.topLeft;
    const VI bottom = hn::Add(top, b.below);
    const VI topAt = hn::Min(top, lastWord);
    const VI bottomAt = hn::Min(bottom, lastWord);
    const auto topShift = hn::BitCast(du, hn::ShiftLeft<3>(hn::Sub(top, topAt)));
    const auto bottomShift = hn::BitCast(du, hn::ShiftLeft<3>(hn::Sub(bottom, bottomAt)));
    const auto rightShift = hn::BitCast(du, hn::ShiftLeft<3>(b.right));
    const auto topRightShift = hn::Add(topShift, rightShift);
    const auto bottomRightShift = hn::Add(bottomShift, rightShift);
    const auto byteMask = hn::Set(du, 0xFFu);

    const VD one = hn::Set(dd, 1.0);
    const VD oneMinusFx = hn::Sub(one, hn::PromoteTo(dd, b.fx));
    const VD fyD = hn::PromoteTo(dd, b.fy);
    const VD oneMinusFy = hn::Sub(one, fyD);
    for (int c = 0; c < 3; ++c) {
        const auto topWord = gatherWords(planes.src[c], topAt);
        const auto bottomWord = gatherWords(planes.src[c], bottomAt);
        const VI tl = hn::BitCast(di, hn::And((topWord >> topShift), byteMask));
        const VI tr = hn::BitCast(di, hn::And((topWord >> topRightShift), byteMask));
        const VI bl = hn::BitCast(di, hn::And((bottomWord >> bottomShift), byteMask));
        const VI br = hn::BitCast(di, hn::And((bottomWord >> bottomRightShift), byteMask));
        const VF rightTop = hn::Mul(b.fx, hn::ConvertTo(DF(), tr));
        const VF rightBottom = hn::Mul(b.fx, hn::ConvertTo(DF(), br));
        const VD upper = hn::Add(hn::Mul(oneMinusFx, hn::PromoteTo(dd, tl)), hn::PromoteTo(dd, rightTop));
        const VD lower = hn::Add(hn::Mul(oneMinusFx, hn::PromoteTo(dd, bl)), hn::PromoteTo(dd, rightBottom));
        const VD value = hn::Add(hn::Mul(oneMinusFy, upper), hn::Mul(fyD, lower));
        out[c] = hn::And(truncateDouble(value), hn::Set(di, 0xFF));
    }
}

// The low bytes of the lanes (values 0 .. 255), in lane order or reversed.
// On x86 one narrowing or shuffle instruction; Highway's saturating
// demotion takes four.
#if HWY_TARGET == HWY_AVX3
using LaneBytes = __m128i;  // the group's 8 bytes in the low half
HWY_INLINE LaneBytes laneBytes(VI v, bool reversed) {
    const __m128i bytes = _mm256_cvtepi32_epi8(v.raw);
    if (!reversed) return bytes;
    return _mm_shuffle_epi8(bytes, _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 8, 9, 10, 11, 12, 13, 14, 15));
}
HWY_INLINE void storeAllLanes(LaneBytes bytes, uint8_t* to) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(to), bytes);
}
#elif HWY_TARGET == HWY_AVX2
using LaneBytes = __m128i;  // the group's 4 bytes in the low word
HWY_INLINE LaneBytes laneBytes(VI v, bool reversed) {
    const __m128i order = reversed
                              ? _mm_setr_epi8(12, 8, 4, 0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)
                              : _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    return _mm_shuffle_epi8(v.raw, order);
}
HWY_INLINE void storeAllLanes(LaneBytes bytes, uint8_t* to) {
    const int32_t word = _mm_cvtsi128_si32(bytes);
    memcpy(to, &word, 4);
}
#else
using LaneBytes = hn::Vec<DB>;
HWY_INLINE LaneBytes laneBytes(VI v, bool reversed) {
    return hn::DemoteTo(DB(), reversed ? hn::Reverse(DI(), v) : v);
}
HWY_INLINE void storeAllLanes(LaneBytes bytes, uint8_t* to) { hn::StoreU(bytes, DB(), to); }
#endif

// Stores the written lanes of a group; `step` is +1 when lane k goes to
// at + k and -1 when it goes to at - k. `whole` says that the group has a
// pixel in every lane, so every lane's position lies inside the row.
HWY_INLINE void storeLanes(const KernelPlanes& planes, int32_t at, int32_t step, bool whole, uint32_t written,
                           const VI channel[3]) {
    const DI di;
    const size_t lanes = hn::Lanes(di);
    const int32_t first = step > 0 ? at : at - static_cast<int32_t>(lanes) + 1;
    if (written == (1u << lanes) - 1u) {
        for (int c = 0; c < 3; ++c) storeAllLanes(laneBytes(channel[c], step < 0), planes.dst[c] + first);
        return;
    }
#if HWY_TARGET == HWY_AVX3
    if (whole) {
        // A masked store writes only the lanes of the mask (and touches no other
        // byte, so jobs writing the neighbouring pixels may run meanwhile).
        uint32_t order = written;
        if (step < 0) {  // lane k goes to first + lanes - 1 - k: reverse the eight bits
            order = ((order & 0xF0u) >> 4) | ((order & 0x0Fu) << 4);
            order = ((order & 0xCCu) >> 2) | ((order & 0x33u) << 2);
            order = ((order & 0xAAu) >> 1) | ((order & 0x55u) << 1);
        }
        const __mmask16 mask = static_cast<__mmask16>(order);
        for (int c = 0; c < 3; ++c)
            _mm_mask_storeu_epi8(planes.dst[c] + first, mask, laneBytes(channel[c], step < 0));
        return;
    }
#else
    (void)whole;
#endif
    for (int c = 0; c < 3; ++c) {
        HWY_ALIGN int32_t value[kMaxLanes];
        hn::Store(channel[c], di, value);
        for (size_t k = 0; k < lanes; ++k) {
            if ((written >> k & 1u) == 0) continue;
            planes.dst[c][at + step * static_cast<int32_t>(k)] = static_cast<uint8_t>(value[k]);
        }
    }
}

// One fold round: the sum in double, rounded to single.
HWY_INLINE VF foldRound(VF x, VD delta) {
    const DD dd;
    return hn::DemoteTo(DF(), hn::Add(hn::PromoteTo(dd, x), delta));
}

// The integer part toward zero, taken as a signed 16-bit value, is 0 or less.
HWY_INLINE MF integerPartNotPositive(VF x) {
    const DI di;
    const VI whole = truncateFloat(x);
    const VI low = hn::ShiftRight<16>(hn::ShiftLeft<16>(whole));
    return hn::RebindMask(DF(), hn::Lt(low, hn::Set(di, 1)));
}

// The plain fold loops on the lanes in `active`. Lanes that start at or
// beyond the near limit (or are NaN), or that need more rounds than a
// coordinate near the source ever does, are added to *exact.
HWY_INLINE VF foldPlain(VF x, const KernelFold& rule, MF active, MF* exact) {
    const DF df;
    const DD dd;
    const MF near = hn::Lt(hn::Abs(x), hn::Set(df, rule.nearBelow));
    *exact = hn::Or(*exact, hn::AndNot(near, active));
    const MF lanes = hn::And(active, near);
    const VF downAbove = hn::Set(df, rule.downAbove);
    // Most coordinates need no round at all.
    if (hn::AllFalse(df, hn::And(lanes, hn::Or(hn::Gt(x, downAbove), integerPartNotPositive(x))))) return x;
    const VD down = hn::Set(dd, -rule.period);
    const VD up = hn::Set(dd, rule.period);
    int rounds = 0;
    for (;;) {
        const MF m = hn::And(lanes, hn::Gt(x, downAbove));
        if (hn::AllFalse(df, m)) break;
        if (++rounds > 64) {
            *exact = hn::Or(*exact, m);
            return x;
        }
        x = hn::IfThenElse(m, foldRound(x, down), x);
    }
    for (;;) {
        const MF m = hn::And(lanes, integerPartNotPositive(x));
        if (hn::AllFalse(df, m)) break;
        if (++rounds > 64) {
            *exact = hn::Or(*exact, m);
            return x;
        }
        x = hn::IfThenElse(m, foldRound(x, up), x);
    }
    return x;
}

// atanOfFloatToFloat of non-negative quotients (and NaN): its plain double
// estimate, step for step, and the rounded estimate wherever that lies
// clearly away from every point where rounding to single changes; the
// other lanes call the exact helper. Both take the same decisions, so the
// result is that helper's for every lane.
HWY_INLINE VF referenceAngles(VF q) {
    using polarmosaic_detail::kAtanCoefficients;
    using polarmosaic_detail::kAtanOfSixteenths;
    const DD dd;
    const DF df;
    const DI di;
    const VD qd = hn::PromoteTo(dd, q);
    // Quotients in 2^-20 .. 2^20 (NaN fails both tests); the others take 0
    // into the estimate, so that its table index stays in range.
    const auto inRange =
        hn::And(hn::Ge(qd, hn::Set(dd, 9.5367431640625e-07)), hn::Le(qd, hn::Set(dd, 1048576.0)));
    const VD magnitude = hn::IfThenElseZero(inRange, qd);
    const VD one = hn::Set(dd, 1.0);
    const auto inverted = hn::Gt(magnitude, one);
    const VD z = hn::IfThenElse(inverted, hn::Div(one, magnitude), magnitude);
    const VD k = hn::Trunc(hn::Add(hn::Mul(z, hn::Set(dd, 16.0)), hn::Set(dd, 0.5)));
    const VD c = hn::Mul(k, hn::Set(dd, 0.0625));
    const VD w = hn::Div(hn::Sub(z, c), hn::Add(one, hn::Mul(z, c)));
    const VD w2 = hn::Mul(w, w);
    VD series = hn::Set(dd, kAtanCoefficients[6].hi);
    for (int i = 5; i >= 1; --i) series = hn::Add(hn::Set(dd, kAtanCoefficients[i].hi), hn::Mul(w2, series));
    HWY_ALIGN int32_t index[kMaxLanes];
    HWY_ALIGN double base[kMaxLanes];
    hn::Store(truncateDouble(k), di, index);
    for (size_t lane = 0; lane < hn::Lanes(dd); ++lane) base[lane] = kAtanOfSixteenths[index[lane]].hi;
    VD estimate = hn::Add(hn::Load(dd, base), hn::Add(w, hn::Mul(w, hn::Mul(w2, series))));
    estimate =
        hn::IfThenElse(inverted, hn::Sub(hn::Set(dd, polarmosaic_detail::kHalfPi.hi), estimate), estimate);
    const VF rounded = hn::DemoteTo(df, estimate);
    // Midpoints to the single-precision neighbours of the rounded value
    // (positive here); the estimate must keep clear of both.
    const VI bits = hn::BitCast(di, rounded);
    const VF next = hn::BitCast(df, hn::Add(bits, hn::Set(di, 1)));
    const VF previous = hn::BitCast(df, hn::Sub(bits, hn::Set(di, 1)));
    const VD roundedD = hn::PromoteTo(dd, rounded);
    const VD half = hn::Set(dd, 0.5);
    const VD upperMid = hn::Mul(hn::Add(roundedD, hn::PromoteTo(dd, next)), half);
    const VD lowerMid = hn::Mul(hn::Add(roundedD, hn::PromoteTo(dd, previous)), half);
    const VD margin = hn::Mul(estimate, hn::Set(dd, 1.0 / 1099511627776.0));  // 2^-40
    const auto clear =
        hn::And(hn::Gt(hn::Sub(upperMid, estimate), margin), hn::Gt(hn::Sub(estimate, lowerMid), margin));
    const auto good = hn::And(clear, inRange);
    if (hn::AllTrue(dd, good)) return rounded;
    HWY_ALIGN float out[kMaxLanes];
    HWY_ALIGN float in[kMaxLanes];
    uint8_t goodBits[8] = {0};
    hn::StoreMaskBits(dd, good, goodBits);
    hn::Store(rounded, df, out);
    hn::Store(q, df, in);
    for (size_t lane = 0; lane < hn::Lanes(df); ++lane) {
        if ((goodBits[0] >> lane & 1u) != 0) continue;
        out[lane] = polarmosaic_detail::atanOfFloatToFloat(in[lane]);
    }
    return hn::Load(df, out);
}

}  // namespace

uint64_t ForwardRunKernel(const KernelPlanes& planes, const ForwardRun& run) {
    const DD dd;
    const DF df;
    const int32_t lanesPerGroup = static_cast<int32_t>(hn::Lanes(dd));
    uint64_t exactMask = 0;
    const VD radius = hn::Set(dd, static_cast<double>(run.radius));
    const VD cx = hn::Set(dd, static_cast<double>(run.cx));
    const VD cy = hn::Set(dd, static_cast<double>(run.cy));
    const VI laneIndex = hn::Iota(DI(), 0);
    for (int32_t k = 0; k < run.count; k += lanesPerGroup) {
        const int32_t lanes = run.count - k < lanesPerGroup ? run.count - k : lanesPerGroup;
        const MF active = firstLanes(laneIndex, lanes);
        // x = rho sin(theta) + cx and y = rho cos(theta) + cy in double,
        // rounded to single.
        const VD sine = hn::LoadU(dd, run.sinTable + k);
        const VD cosine = hn::LoadU(dd, run.cosTable + k);
        VF x = hn::DemoteTo(df, hn::Add(hn::Mul(radius, sine), cx));
        VF y = hn::DemoteTo(df, hn::Add(hn::Mul(radius, cosine), cy));
        MF exact = hn::AndNot(hn::And(notNaN(x), notNaN(y)), active);
        MF live = hn::AndNot(exact, active);
        if (run.wrap) {
            x = foldPlain(x, run.foldX, live, &exact);
            live = hn::AndNot(exact, active);
            y = foldPlain(y, run.foldY, live, &exact);
            live = hn::AndNot(exact, active);
        }
        exactMask |= static_cast<uint64_t>(laneBits(exact)) << k;
        const Blend b = placeSample(planes, x, y, live);
        const uint32_t written = laneBits(b.written);
        if (written == 0) continue;
        VI channel[3];
        blendChannels(planes, b, channel);
        storeLanes(planes, run.at - k, -1, lanes == lanesPerGroup, written, channel);
    }
    return exactMask;
}

uint64_t InverseRunKernel(const KernelPlanes& planes, const InverseSetup& setup, const InverseRun& run) {
    const DD dd;
    const DF df;
    const DI di;
    const int32_t lanesPerGroup = static_cast<int32_t>(hn::Lanes(dd));
    uint64_t exactMask = 0;
    const VF step = hn::Set(df, setup.pixelStep);
    const VF dy = hn::Set(df, setup.pixelStep * (static_cast<float>(run.y) - setup.cy));
    const VF zero = hn::Zero(df);
    const int32_t mirrorRow = planes.height - run.y;
    const VI laneIndex = hn::Iota(di, 0);
    for (int32_t k = 0; k < run.count; k += lanesPerGroup) {
        const int32_t lanes = run.count - k < lanesPerGroup ? run.count - k : lanesPerGroup;
        const MF active = firstLanes(laneIndex, lanes);
        const int32_t x0 = run.x + k;
        const VF columns = hn::ConvertTo(df, hn::Add(laneIndex, hn::Set(di, x0)));
        const VF dx = hn::Mul(step, hn::Sub(columns, hn::Set(df, setup.cx)));
        // Radius: the sum of squares in single, the root in double.
        const VF sumOfSquares = hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy));
        const VF radius = hn::DemoteTo(df, hn::Sqrt(hn::PromoteTo(dd, sumOfSquares)));
        // Reference angle: fabs33 is a sign flip of negative values (-0
        // stays -0); pi / 2 where dx is 0.
        const VF absDx = hn::IfThenElse(hn::Lt(dx, zero), hn::Neg(dx), dx);
        const VF absDy = hn::IfThenElse(hn::Lt(dy, zero), hn::Neg(dy), dy);
        const MF dxZero = hn::Eq(dx, zero);
        const VF quotient = hn::IfThenElse(dxZero, hn::Set(df, 1.0f), hn::Div(absDy, absDx));
        const VF reference = hn::IfThenElse(dxZero, hn::Set(df, kHalfPiF), referenceAngles(quotient));
        // The radial position and its fold are shared by the four mirrors.
        VF u = hn::Mul(hn::Add(radius, hn::Set(df, setup.radiusOffset)), hn::Set(df, setup.radialScale));
        MF exactU = hn::AndNot(notNaN(u), active);
        MF liveU = hn::AndNot(exactU, active);
        if (setup.wrap) {
            u = foldPlain(u, setup.foldU, liveU, &exactU);
            liveU = hn::AndNot(exactU, active);
        }
        const VD referenceD = hn::PromoteTo(dd, reference);
        const VD pi = hn::Set(dd, kPi);
        const VF piMinus = hn::DemoteTo(df, hn::Sub(pi, referenceD));
        const VF piPlus = hn::DemoteTo(df, hn::Add(pi, referenceD));
        const VF twoPiMinus = hn::Sub(hn::Set(df, kTwoPiF), reference);
        for (int mirror = 0; mirror < 4; ++mirror) {
            if ((run.mirrorMask >> mirror & 1u) == 0) continue;
            const VF mdx = (mirror & 1) != 0 ? hn::Neg(dx) : dx;
            const VF mdy = (mirror & 2) != 0 ? hn::Neg(dy) : dy;
            const MF dxNonNegative = hn::Ge(mdx, zero);
            const MF dyNegative = hn::Lt(mdy, zero);
            // dx >= 0, dy < 0: t; dx < 0, dy < 0: pi - t; dx < 0, dy >= 0:
            // pi + t; otherwise 2 pi - t.
            const VF left = hn::IfThenElse(dyNegative, piMinus, piPlus);
            const VF right = hn::IfThenElse(dyNegative, reference, twoPiMinus);
            const VF angle = hn::IfThenElse(dxNonNegative, right, left);
            VF v = hn::Mul(hn::Add(angle, hn::Set(df, setup.angleOffset)), hn::Set(df, setup.angularScale));
            MF exact = hn::Or(exactU, hn::AndNot(notNaN(v), active));
            const MF live = hn::AndNot(exact, active);
            v = foldPlain(v, setup.foldV, live, &exact);
            const MF liveBoth = hn::AndNot(exact, active);
            const uint32_t exactBits = laneBits(exact);
            for (int32_t lane = 0; lane < lanes; ++lane) {
                if ((exactBits >> lane & 1u) != 0) exactMask |= uint64_t{1} << (4 * (k + lane) + mirror);
            }
            const Blend b = placeSample(planes, u, v, liveBoth);
            const uint32_t written = laneBits(b.written);
            if (written == 0) continue;
            VI channel[3];
            blendChannels(planes, b, channel);
            const int32_t row = (mirror & 2) != 0 ? mirrorRow : run.y;
            if ((mirror & 1) != 0) {
                storeLanes(planes, row * planes.lineBytes + (planes.width - x0), -1, lanes == lanesPerGroup,
                           written, channel);
            } else {
                storeLanes(planes, row * planes.lineBytes + x0, 1, lanes == lanesPerGroup, written, channel);
            }
        }
    }
    return exactMask;
}

}  // namespace HWY_NAMESPACE
}  // namespace polarmap_simd
HWY_AFTER_NAMESPACE();

#endif  // HWY_TARGET != HWY_EMU128 && HWY_TARGET != HWY_SCALAR

#if HWY_ONCE

#include <stdlib.h>

namespace polarmap_simd {
namespace {

struct Level {
    const char* name;
    bool (*usable)();  // null: every processor of the family
    ForwardKernel forward;
    InverseKernel inverse;
};

#if HWY_ARCH_X86
// The instruction sets each Highway target is compiled for (without the
// extensions disabled above); __builtin_cpu_supports also checks that the
// operating system saves the wider registers.
bool avx2Usable() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") != 0 && __builtin_cpu_supports("sse4.1") != 0 &&
           __builtin_cpu_supports("sse4.2") != 0 && __builtin_cpu_supports("avx") != 0 &&
           __builtin_cpu_supports("avx2") != 0;
}
bool avx512Usable() {
    __builtin_cpu_init();
    return avx2Usable() && __builtin_cpu_supports("avx512f") != 0 &&
           __builtin_cpu_supports("avx512vl") != 0 && __builtin_cpu_supports("avx512dq") != 0 &&
           __builtin_cpu_supports("avx512bw") != 0;
}
#endif

// Narrowest first; level 0 (scalar) is not in the table.
const Level kLevels[] = {
#if HWY_TARGETS & HWY_AVX2
    {"avx2", avx2Usable, N_AVX2::ForwardRunKernel, N_AVX2::InverseRunKernel},
#endif
#if HWY_TARGETS & HWY_AVX3
    {"avx512", avx512Usable, N_AVX3::ForwardRunKernel, N_AVX3::InverseRunKernel},
#endif
#if (HWY_TARGETS & HWY_NEON) && HWY_ARCH_ARM_A64
    {"neon", nullptr, N_NEON::ForwardRunKernel, N_NEON::InverseRunKernel},  // every AArch64 processor
#endif
#if HWY_TARGETS & HWY_WASM
    {"wasm", nullptr, N_WASM::ForwardRunKernel, N_WASM::InverseRunKernel},  // built for SIMD128 only
#endif
};
const int kTableLevels = static_cast<int>(sizeof kLevels / sizeof kLevels[0]);

bool sameNameIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        if (ca != *b) return false;
        if (ca == '\0') return true;
    }
}

// Levels this processor runs (table entries are usable in order: each
// target's instruction sets include the previous one's), capped by
// POLARMOSAIC_SIMD.
int computeLevelCount() {
    int count = 1;
    while (count - 1 < kTableLevels && (kLevels[count - 1].usable == nullptr || kLevels[count - 1].usable()))
        ++count;
    const char* cap = getenv("POLARMOSAIC_SIMD");
    if (cap == nullptr || *cap == '\0') return count;
    for (int level = 0; level < count; ++level) {
        if (sameNameIgnoringCase(cap, levelName(level))) return level + 1;
    }
    // A known level this processor lacks leaves the others; anything else
    // means scalar.
    for (int level = count; level <= kTableLevels; ++level) {
        if (sameNameIgnoringCase(cap, kLevels[level - 1].name)) return count;
    }
    return 1;
}

// Atomic builtins rather than a guarded static: the module needs no C++
// runtime support. Computing the count twice in a race gives the same value.
int cachedLevelCount = 0;  // 0: not computed yet
int chosenLevel = -1;      // set by useLevel; negative: the widest usable

}  // namespace

int levelCount() {
    int count = __atomic_load_n(&cachedLevelCount, __ATOMIC_ACQUIRE);
    if (count == 0) {
        count = computeLevelCount();
        __atomic_store_n(&cachedLevelCount, count, __ATOMIC_RELEASE);
    }
    return count;
}

const char* levelName(int level) {
    if (level <= 0 || level > kTableLevels) return "scalar";
    return kLevels[level - 1].name;
}

ForwardKernel forwardKernel(int level) {
    if (level <= 0 || level >= levelCount()) return nullptr;
    return kLevels[level - 1].forward;
}

InverseKernel inverseKernel(int level) {
    if (level <= 0 || level >= levelCount()) return nullptr;
    return kLevels[level - 1].inverse;
}

void useLevel(int level) {
    const int chosen = level < 0 ? -1 : (level < levelCount() ? level : levelCount() - 1);
    __atomic_store_n(&chosenLevel, chosen, __ATOMIC_RELAXED);
}

int activeLevel() {
    const int chosen = __atomic_load_n(&chosenLevel, __ATOMIC_RELAXED);
    return chosen < 0 ? levelCount() - 1 : chosen;
}

}  // namespace polarmap_simd

#endif  // HWY_ONCE

#else  // !POLARMAP_HAVE_VECTOR_KERNELS

namespace polarmap_simd {

int levelCount() { return 1; }
const char* levelName(int) { return "scalar"; }
ForwardKernel forwardKernel(int) { return nullptr; }
InverseKernel inverseKernel(int) { return nullptr; }
void useLevel(int) {}
int activeLevel() { return 0; }

}  // namespace polarmap_simd

#endif  // POLARMAP_HAVE_VECTOR_KERNELS
