// byte_buffer.h - a byte vector whose resize does not zero the new bytes.
//
// Decoders and encoders overwrite every byte they size a buffer for, so
// zero-filling it first only costs a pass over memory and a first touch of
// every page in the wrong place.
#ifndef POLARMOSAIC_TOOL_BYTE_BUFFER_H
#define POLARMOSAIC_TOOL_BYTE_BUFFER_H

#include <stdint.h>

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace polarmosaic {

template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() = default;
    template <typename U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using ByteBuffer = std::vector<uint8_t, DefaultInitAllocator<uint8_t>>;

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_BYTE_BUFFER_H
