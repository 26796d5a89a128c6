// Internal interface between the resampling passes (forward_pass.cpp, inverse_pass.cpp) and their
// vector kernels (polarmap_avx2.cpp, polarmap_avx512.cpp). Not part of the public header.
//
// A kernel handles the pixels whose coordinates need only the plain fold
// rounds and returns a bit mask of the pixels it left alone; the caller runs
// the exact scalar code on those. Each kernel works on at most 64 pixels per
// call, so one 64-bit mask covers them.
#ifndef POLARMOSAIC_POLARMAP_SIMD_H
#define POLARMOSAIC_POLARMAP_SIMD_H

#include <stdint.h>

namespace polarmap_simd {

// The vector kernels exist only for x86-64 builds; every other target
// compiles the portable scalar passes alone, and so does an x86-64 build with
// POLARMOSAIC_PORTABLE_ONLY defined (to test those passes on this machine).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(POLARMOSAIC_PORTABLE_ONLY)
#define POLARMAP_HAVE_AVX2_KERNELS 1
#else
#define POLARMAP_HAVE_AVX2_KERNELS 0
#endif

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
struct InverseRun {
    int32_t x;
    int32_t count;
    int32_t y;
    uint32_t mirrorMask;  // bit m set: mirror m is written (others neither written nor reported)
};

#if POLARMAP_HAVE_AVX2_KERNELS
bool avx2Usable();
uint64_t forwardRunAvx2(const KernelPlanes& planes, const ForwardRun& run);
uint64_t inverseRunAvx2(const KernelPlanes& planes, const InverseSetup& setup, const InverseRun& run);
// The same kernels eight pixels wide with AVX-512 (F, VL, DQ, BW), in
// polarmap_avx512.cpp; the forward one reads the sine and cosine tables in
// whole groups of eight entries.
bool avx512Usable();
uint64_t forwardRunAvx512(const KernelPlanes& planes, const ForwardRun& run);
uint64_t inverseRunAvx512(const KernelPlanes& planes, const InverseSetup& setup, const InverseRun& run);
#endif

}  // namespace polarmap_simd

#endif
