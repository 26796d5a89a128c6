// Internal interface between the resampling passes (polarmap.cpp) and their
// vector kernels (polarmap_kernels.cpp). Not part of the public header.
//
// A kernel handles the pixels whose coordinates need only the plain fold
// rounds and returns a bit mask of the pixels it left alone; the caller runs
// the exact scalar code on those. Each kernel works on at most 64 pixels per
// call, so one 64-bit mask covers them.
#ifndef POLARMOSAIC_POLARMAP_SIMD_H
#define POLARMOSAIC_POLARMAP_SIMD_H

#include <stdint.h>

namespace polarmap_simd {

// The vector kernels are written once with Highway and built for x86-64
// (SSSE3, SSE4, AVX2, AVX-512), AArch64 (NEON) and WebAssembly SIMD128.
// Every other target, and a build with POLARMOSAIC_PORTABLE_ONLY, compiles
// the portable scalar passes alone.
#if defined(POLARMOSAIC_HAVE_HIGHWAY) && !defined(POLARMOSAIC_PORTABLE_ONLY) && \
    (defined(__GNUC__) || defined(__clang__)) &&                                \
    (defined(__x86_64__) || defined(__aarch64__) || defined(__wasm_simd128__))
#define POLARMAP_HAVE_VECTOR_KERNELS 1
#else
#define POLARMAP_HAVE_VECTOR_KERNELS 0
#endif

// Constants of both passes, in the precision each step uses.
const double kPi = 3.141592653589793;
const double kTwoPi = 6.283185307179586;
const float kHalfPiF = 1.5707963705062866f;  // pi / 2 rounded to single
const float kTwoPiF = 6.2831854820251465f;   // 2 pi rounded to single

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
typedef uint64_t (*InverseKernel)(const KernelPlanes& planes, const InverseSetup& setup, const InverseRun& run);

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

#endif
