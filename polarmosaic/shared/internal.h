// Declarations shared by the module's sources: the constants and tables,
// the helpers that both resampling passes inline, the interface of the
// vector kernels with the test of which instruction sets this processor
// runs, and the row sets of the range functions. Not part of the public
// interface.
#ifndef POLARMOSAIC_INTERNAL_H
#define POLARMOSAIC_INTERNAL_H

#include <cmath>
#include <cstdint>

#include "shared/floathelpers_internal.h"
#include "polarmosaic/polarmosaic.h"

// The vector kernels are written once with Highway and built for x86-64
// (AVX2, AVX-512), AArch64 (NEON) and WebAssembly SIMD128.
// Every other target, and a build with POLARMOSAIC_PORTABLE_ONLY, compiles
// the portable scalar passes alone.
#if defined(POLARMOSAIC_HAVE_HIGHWAY) && !defined(POLARMOSAIC_PORTABLE_ONLY) && \
    (defined(__GNUC__) || defined(__clang__)) &&                                \
    (defined(__x86_64__) || defined(__aarch64__) || defined(__wasm_simd128__))
#define POLARMAP_HAVE_VECTOR_KERNELS 1
#else
#define POLARMAP_HAVE_VECTOR_KERNELS 0
#endif

// ---------------------------------------------------------------------------
// The vector kernels (polarmap_kernels.cpp). A kernel handles the pixels
// whose coordinates need only the plain fold rounds and returns a bit mask
// of the pixels it left alone; the caller runs the exact scalar code on
// those. Each kernel works on at most 64 pixels per call, so one 64-bit mask
// covers them.
namespace polarmap_simd {

// One wrap rule as the kernels see it, with its bounds turned into single-
// precision thresholds that give the same answer for every single value: the
// first loop runs while x > downAbove, and the plain rounds apply only while
// |x| < nearBelow.
struct KernelFold {
    double period;
    float downAbove;
    float nearBelow;
};

// Sources and destination shared by both kernels.
struct KernelPlanes {
    const uint8_t* src[3];
    uint8_t* dst[3];
    int32_t lineBytes;
    int32_t width;
    int32_t height;
    int32_t lastRead;  // largest source offset the exact code can read
};

// One destination row of the forward pass, `count` (<= 64) angles starting at
// a column block. Pixel k is written at offset `at - k`.
struct ForwardRun {
    const double* sinTable;  // sine and cosine of each angle, padded to a
    const double* cosTable;  // multiple of 8 entries
    int32_t count;
    int32_t at;
    float radius;
    float cx;
    float cy;
    bool wrap;
    KernelFold foldX;
    KernelFold foldY;
};

// The inverse pass's per-call values.
struct InverseSetup {
    float pixelStep;
    float cx;
    float cy;
    float radiusOffset;
    float radialScale;
    float angularScale;
    float angleOffset;
    bool wrap;
    KernelFold foldU;
    KernelFold foldV;
};

// Up to 16 columns x, x + 1, ... (all in 1 .. width / 2) of row y (in
// 1 .. height / 2), each with its mirror images width - x and height - y: 64
// pixels. Bit 4 k + m of the result stands for column x + k and mirror m
// (0: (x, y), 1: (width - x, y), 2: (x, height - y), 3: both mirrored).
// Only mirrors whose bit is set in mirrorMask are written or reported.
struct InverseRun {
    int32_t x;
    int32_t count;
    int32_t y;
    uint32_t mirrorMask;
};

typedef uint64_t (*ForwardKernel)(const KernelPlanes& planes, const ForwardRun& run);
typedef uint64_t (*InverseKernel)(const KernelPlanes& planes, const InverseSetup& setup,
                                  const InverseRun& run);

// Dispatch levels. Level 0 is the portable scalar code; the others are the
// vector kernels this build holds for the processor family, narrowest
// first. The levels this processor can run, capped by the environment
// variable POLARMOSAIC_SIMD (read once: "scalar" or a level name, in any
// case; an unknown name means scalar), are 0 .. levelCount() - 1, and the
// passes use the last of them unless useLevel chose another.
int levelCount();
const char* levelName(int level);
// The kernels of a level, both null for level 0.
ForwardKernel forwardKernel(int level);
InverseKernel inverseKernel(int level);
// For tests and fuzz targets: run later calls at the given level (clamped
// to the usable ones); a negative level returns to the default.
void useLevel(int level);
// The level the passes use now.
int activeLevel();

}  // namespace polarmap_simd

namespace polarmosaic_detail {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr float kHalfPiF = 1.5707963705062866f;  // pi / 2 rounded to single
constexpr float kTwoPiF = 6.2831854820251465f;   // 2 pi rounded to single
constexpr double kTwoPow31 = 2147483648.0;

// A value hi + lo with |lo| at most half a unit in the last place of hi.
struct DoubleDouble {
    double hi;
    double lo;
};

// Tables of the elementary functions (floathelpers.cpp), also read by the
// vector kernels' quick arctangent: pi / 2; atan(k / 16) for k = 0 .. 16;
// (-1)^k / (2k + 1) for k = 0 .. 12.
extern const DoubleDouble kHalfPi;
extern const DoubleDouble kAtanOfSixteenths[17];
extern const DoubleDouble kAtanCoefficients[13];

// The low 16 bits of a 32-bit value as a signed 16-bit value.
inline int16_t lowHalf16(int32_t v) {
    uint32_t low = static_cast<uint32_t>(v) & 0xFFFFu;
    return static_cast<int16_t>(low >= 0x8000u ? static_cast<int32_t>(low) - 0x10000
                                               : static_cast<int32_t>(low));
}
// Truncation toward zero to signed 32 bits, saturating; NaN gives INT32_MIN.
inline int32_t truncSaturated32(float x) {
    double v = static_cast<double>(x);
    if (v >= kTwoPow31) return INT32_MAX;
    if (!(v > -kTwoPow31)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The low 16 bits of a 32-bit value, read as signed.
inline int32_t lowHalfSigned(int32_t v) {
    uint32_t low = static_cast<uint32_t>(v) & 0xFFFFu;
    return low >= 0x8000u ? static_cast<int32_t>(low) - 0x10000 : static_cast<int32_t>(low);
}

// The second fold loop runs while the integer part, read as 16 bits, is not
// positive.
inline bool integerPartNotPositive(float x) { return lowHalfSigned(truncSaturated32(x)) <= 0; }

// One round of a fold: the sum is formed in double and rounded to single.
// For the inverse pass the period is a whole number and both operands are
// exact singles, so this equals a single-precision sum (double rounding of a
// sum is harmless from 53 to 24 bits).
inline float foldRound(float x, double delta) { return static_cast<float>(static_cast<double>(x) + delta); }

// ---------------------------------------------------------------------------
// Folding coordinates back into the source (resample.cpp).

struct FoldRule {
    double period;        // amount taken off or added per round, > 0
    double upper;         // the first loop runs while x is above this
    bool upperInclusive;  // ... or equal to it
    double farLimit;      // from here on runs of rounds are taken at once
};

inline bool aboveUpper(float x, const FoldRule& rule) {
    double v = static_cast<double>(x);
    return rule.upperInclusive ? v >= rule.upper : v > rule.upper;
}

inline FoldRule makeFoldRule(double period, double upper, bool upperInclusive) {
    FoldRule rule;
    rule.period = period;
    rule.upper = upper;
    rule.upperInclusive = upperInclusive;
    rule.farLimit = 4.0 * (std::fabs(upper) + period + 2.0);
    return rule;
}

// The full fold: false when no number of rounds brings the coordinate in.
bool fold(float* coord, const FoldRule& rule);

inline bool planesPresent(uint8_t* const planes[3]) {
    return planes[0] != nullptr && planes[1] != nullptr && planes[2] != nullptr;
}

// Bilinear blend of one channel: the two right-hand products are single
// precision, every other step double; the result is truncated.
inline uint8_t blendSample(const uint8_t* plane, int32_t topLeft, int32_t topRight, int32_t bottomLeft,
                           int32_t bottomRight, float fx, double oneMinusFx, float fy, double oneMinusFy) {
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

inline Neighbours neighboursOf(float x, float y, int32_t width, int32_t height, int32_t lineBytes) {
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

inline void writeBlend(const PolarMapParam& p, int32_t at, const Neighbours& n, float fx, float fy) {
    double oneMinusFx = 1.0 - static_cast<double>(fx);
    double oneMinusFy = 1.0 - static_cast<double>(fy);
    for (int c = 0; c < 3; ++c) {
        p.dstPlane[c][at] = blendSample(p.srcPlane[c], n.topLeft, n.topRight, n.bottomLeft, n.bottomRight, fx,
                                        oneMinusFx, fy, oneMinusFy);
    }
}

inline float reciprocalZoom(float zoom) {
    return zoom == 0.0f ? 1.0f : static_cast<float>(1.0 / static_cast<double>(zoom));
}

// The fold for coordinates near the source: there the full fold takes its
// rounds one at a time, so the plain loops give the same bits. Anything else
// (far out, NaN, infinite, a period of zero or less) goes to the full fold.
inline bool foldNear(float* coord, const FoldRule& rule) {
    float x = *coord;
    if (!(rule.period > 0.0) || !(std::fabs(static_cast<double>(x)) < rule.farLimit))
        return fold(coord, rule);
    while (aboveUpper(x, rule)) x = foldRound(x, -rule.period);
    while (integerPartNotPositive(x)) x = foldRound(x, rule.period);
    *coord = x;
    return true;
}

#if POLARMAP_HAVE_VECTOR_KERNELS
// Offset of the last source byte that a pass may read: the last pixel of the
// last row.
inline int32_t lastSourceOffset(int32_t width, int32_t height, int32_t lineBytes) {
    return (height - 1) * lineBytes + width - 1;
}

polarmap_simd::KernelFold kernelFold(const FoldRule& rule);

// The vector kernels gather 32-bit words from the source, so they need at
// least four readable bytes. The kernels of the dispatch level in force are
// taken once per call.
struct Kernels {
    polarmap_simd::ForwardKernel forward;
    polarmap_simd::InverseKernel inverse;
};

bool kernelsApply(int32_t width, int32_t height, int32_t lineBytes, Kernels* kernels);

// The planes and geometry of a pass as the kernels take them.
polarmap_simd::KernelPlanes kernelPlanesOf(const PolarMapParam& p);
#endif

// Checks shared by the stage functions (checks.cpp): planes, size, line
// width and plane size of an effect record; the ramps its borders need.
int checkPlaneGeometry(const PolarMosaicParam& p);
// True when the ramps stage fills the twelve ramps: a border mode other than
// POLARMOSAIC_BORDER_NONE and a width of 2 or more. The check asks for the
// ramps exactly then, and the stage writes nothing otherwise.
bool rampsFilled(const PolarMosaicParam& p);
int checkRamps(const PolarMosaicParam& p);

// The tile stages (tiles.cpp, borders.cpp) on checked records.
int checkGrid(const PolarMosaicParam* param, const PolarTileGrid* grid);
void layOutGrid(const PolarMosaicParam& p, PolarTileGrid* grid);
void averageTileRows(const PolarMosaicParam& p, const PolarTileGrid& grid, int32_t first, int32_t end);
void buildRamps(const PolarMosaicParam& p);
void drawBorderRows(const PolarMosaicParam& p, const PolarTileGrid& grid, int32_t first, int32_t end);

// ---------------------------------------------------------------------------
// Row sets of the range functions: up to two half-open spans of rows.
struct RowSet {
    int32_t first[2];
    int32_t end[2];
    bool contains(int32_t row) const {
        return (row >= first[0] && row < end[0]) || (row >= first[1] && row < end[1]);
    }
};

inline RowSet singleSpan(int32_t first, int32_t end) { return RowSet{{first, 0}, {end, 0}}; }

// The forward pass over angle indices first .. end - 1, all rows
// (forward_pass.cpp).
void forwardAngles(const PolarMapParam& p, int32_t first, int32_t end);

// The inverse pass over the destination rows of a set (inverse_pass.cpp).
void inverseRows(const PolarMapParam& p, const RowSet& rows);

// The pair rows of the inverse pass: rows y and height - y share their
// square roots and arctangents, so the driver hands out rows 0 .. height / 2
// with their mirror rows. Band `first` .. `end` - 1 of those pair rows.
RowSet mirroredBand(int32_t height, int32_t first, int32_t end);

}  // namespace polarmosaic_detail

#endif
