// fuzz_input.h - turns a fuzz input into record fields.
//
// Every target reads its record field by field from the front of the input;
// an exhausted input reads as zeros, so every input, however short, is a
// record. Sizes come in two flavours: a small value (most inputs, cheap to
// run) or the raw signed 16-bit value (the extremes: negative sizes, sizes
// beyond what lcw16 can express). Float fields come from a table of hostile
// values (NaN, infinities, tiny and huge magnitudes), small fractions, or raw
// bits.
#ifndef POLARMOSAIC_FUZZ_INPUT_H
#define POLARMOSAIC_FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "shared/internal.h"

namespace fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() {
        uint16_t hi = u8();
        return static_cast<uint16_t>((hi << 8) | u8());
    }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    uint32_t u32() {
        uint32_t hi = u16();
        return (hi << 16) | u16();
    }
    int32_t i32() { return static_cast<int32_t>(u32()); }

    // A size or count: 0 .. 127 when the selector's top bit is clear,
    // otherwise any signed 16-bit value.
    int16_t size16() {
        uint8_t sel = u8();
        if ((sel & 0x80) == 0) return static_cast<int16_t>(sel);
        return i16();
    }

    // A small signed value -64 .. 63, or any signed 16-bit value.
    int16_t signed16() {
        uint8_t sel = u8();
        if ((sel & 0x80) == 0) return static_cast<int16_t>(static_cast<int>(sel) - 64);
        return i16();
    }

    float f32() {
        static const float kTable[] = {
            0.0f,
            -0.0f,
            1.0f,
            -1.0f,
            0.5f,
            2.0f,
            0.0001f,
            1e-4f * 0.99f,
            std::numeric_limits<float>::quiet_NaN(),
            -std::numeric_limits<float>::quiet_NaN(),
            std::numeric_limits<float>::infinity(),
            -std::numeric_limits<float>::infinity(),
            std::numeric_limits<float>::max(),
            -std::numeric_limits<float>::max(),
            std::numeric_limits<float>::min(),
            std::numeric_limits<float>::denorm_min(),
            1e-30f,
            1e-7f,
            1e7f,
            1e10f,
            -1e10f,
            16777216.0f,
            2147483648.0f,
            4294967296.0f,
            -2147483648.0f,
            65535.5f,
            -32769.0f,
            -65535.0f,
            360.0f,
            90.0f,
            0.8f,
            255.0f,
        };
        const size_t count = sizeof kTable / sizeof kTable[0];
        uint8_t sel = u8();
        if (sel < 0x60) return kTable[sel % count];
        if (sel < 0xC0) return static_cast<float>(static_cast<int8_t>(u8())) / 8.0f;
        uint32_t bits = u32();
        float f;
        memcpy(&f, &bits, sizeof f);
        return f;
    }

    // The rest of the input, for pixel data.
    const uint8_t* rest() const { return data_ + pos_; }
    size_t restSize() const { return size_ - pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Where a block sits. AddressSanitizer sees every ordinary load and store,
// but not the vector gathers that the module's x86-64 kernels use, so a
// block can also be placed flush against an inaccessible page: a gather that
// reaches one byte past the end (or before the start) then faults.
enum class Placement { kHeap, kGuardAfter, kGuardBefore };

// A block of exactly `bytes` bytes (0 gives a block with no usable byte).
class Block {
public:
    explicit Block(size_t bytes, Placement placement = Placement::kHeap)
        : bytes_(bytes), placement_(placement) {
        if (placement == Placement::kHeap) {
            // malloc(0) under AddressSanitizer gives a pointer with no
            // accessible byte.
            p_ = static_cast<uint8_t*>(malloc(bytes));
            if (p_ == nullptr) abort();
            return;
        }
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t dataPages = (bytes + page - 1) / page;
        mapBytes_ = (dataPages + 1) * page;
        void* m = mmap(nullptr, mapBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) abort();
        map_ = static_cast<uint8_t*>(m);
        if (placement == Placement::kGuardAfter) {
            if (mprotect(map_ + dataPages * page, page, PROT_NONE) != 0) abort();
            p_ = map_ + dataPages * page - bytes;
        } else {
            if (mprotect(map_, page, PROT_NONE) != 0) abort();
            p_ = map_ + page;
        }
    }
    ~Block() {
        if (placement_ == Placement::kHeap)
            free(p_);
        else
            munmap(map_, mapBytes_);
    }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    uint8_t* data() { return p_; }
    size_t size() const { return bytes_; }

private:
    size_t bytes_;
    Placement placement_;
    uint8_t* p_ = nullptr;
    uint8_t* map_ = nullptr;
    size_t mapBytes_ = 0;
};

inline Placement placementFor(uint8_t selector) {
    switch (selector % 3) {
        case 1:
            return Placement::kGuardAfter;
        case 2:
            return Placement::kGuardBefore;
        default:
            return Placement::kHeap;
    }
}

// Bulk loops over pixel bytes carry no information for the fuzzer; leaving
// them out of the coverage instrumentation keeps a run fast.
#if defined(__clang__)
#define FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_NO_COVERAGE
#endif

// Fills a block from the pixel data of the input (cycled), or with a pattern
// when there is none.
FUZZ_NO_COVERAGE inline void fillFrom(uint8_t* dst, size_t bytes, const uint8_t* src, size_t srcBytes,
                                      uint8_t salt) {
    for (size_t i = 0; i < bytes; ++i) {
        dst[i] =
            srcBytes ? static_cast<uint8_t>(src[i % srcBytes] + salt) : static_cast<uint8_t>(i * 31u + salt);
    }
}

// Dispatch level of the resampling passes from three bits of the input: 0
// keeps the widest level this processor runs (as the committed seeds do),
// 1 .. 7 pick scalar, then each vector level, cycling.
inline void chooseLevel(unsigned selector) {
    const int levels = polarmap_simd::levelCount();
    polarmap_simd::useLevel(selector == 0 ? -1
                                          : static_cast<int>((selector - 1) % static_cast<unsigned>(levels)));
}

// Aborts with a message: a property of the call did not hold.
[[noreturn]] inline void fail(const char* what) {
    fprintf(stderr, "fuzz property failed: %s\n", what);
    abort();
}

}  // namespace fuzz

#endif  // POLARMOSAIC_FUZZ_INPUT_H
