// Fuzz target for calcCArray with any length, value and shade factor. The
// ramp is allocated at exactly what the call may write: length entries, two
// for a length of 1, one (entry 0) for a length of 0 or less.
#include <string.h>

#include "fuzz_input.h"
#include <polarmosaic/polarmosaic.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t flags = in.u8();
    const int16_t length = in.signed16();
    const int16_t value = in.signed16();
    const float shade = in.f32();
    const size_t entries = length >= 2 ? static_cast<size_t>(length) : length == 1 ? 2 : 1;
    fuzz::Block ramp(entries);
    memset(ramp.data(), 0x5A, entries);
    calcCArray((flags & 1) ? nullptr : ramp.data(), length, value, shade);
    if ((flags & 1) == 0 && ramp.data()[0] != static_cast<uint8_t>(value))
        fuzz::fail("entry 0 is not the value's low 8 bits");
    return 0;
}
