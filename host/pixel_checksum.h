// pixel_checksum.h - a checksum of result pixels, the same in every host.
//
// FNV-1a 64 over the interleaved 8-bit RGB bytes, row by row, left to right,
// without any row padding: start from 0xcbf29ce484222325, and for each byte
// xor it in and multiply by 0x100000001b3 (modulo 2^64). Printed as 16
// lower-case hexadecimal digits. The tool (--checksum) and the web page show
// it, so that pixels made on two platforms can be compared at a glance.
#ifndef POLARMOSAIC_HOST_PIXEL_CHECKSUM_H
#define POLARMOSAIC_HOST_PIXEL_CHECKSUM_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace polarmosaic {

constexpr uint64_t kChecksumOffsetBasis = 0xcbf29ce484222325ull;
constexpr uint64_t kChecksumPrime = 0x100000001b3ull;

// Folds size bytes into a running checksum (start from kChecksumOffsetBasis).
uint64_t ChecksumUpdate(uint64_t checksum, const uint8_t* bytes, size_t size);

// Checksum of width x height RGB pixels whose rows are stride bytes apart.
uint64_t PixelChecksum(const uint8_t* rgb, int width, int height, ptrdiff_t stride);

// The same over RGBA pixels (alpha skipped), rows stride bytes apart: equal
// to PixelChecksum of the RGB bytes alone.
uint64_t PixelChecksumRgba(const uint8_t* rgba, int width, int height, ptrdiff_t stride);

// 16 lower-case hexadecimal digits.
std::string ChecksumHex(uint64_t checksum);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_HOST_PIXEL_CHECKSUM_H
