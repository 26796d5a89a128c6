// pixel_checksum.cpp - FNV-1a 64 over result pixels.
#include "pixel_checksum.h"

namespace polarmosaic {

uint64_t ChecksumUpdate(uint64_t checksum, const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        checksum ^= bytes[i];
        checksum *= kChecksumPrime;
    }
    return checksum;
}

uint64_t PixelChecksum(const uint8_t* rgb, int width, int height, ptrdiff_t stride) {
    uint64_t checksum = kChecksumOffsetBasis;
    size_t row_bytes = static_cast<size_t>(width) * 3;
    for (int y = 0; y < height; ++y) {
        checksum = ChecksumUpdate(checksum, rgb + y * stride, row_bytes);
    }
    return checksum;
}

uint64_t PixelChecksumRgba(const uint8_t* rgba, int width, int height, ptrdiff_t stride) {
    uint64_t checksum = kChecksumOffsetBasis;
    for (int y = 0; y < height; ++y) {
        const uint8_t* p = rgba + y * stride;
        for (int x = 0; x < width; ++x, p += 4) {
            checksum = ChecksumUpdate(checksum, p, 3);
        }
    }
    return checksum;
}

std::string ChecksumHex(uint64_t checksum) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex(16, '0');
    for (int i = 15; i >= 0; --i) {
        hex[static_cast<size_t>(i)] = kDigits[checksum & 15];
        checksum >>= 4;
    }
    return hex;
}

}  // namespace polarmosaic
