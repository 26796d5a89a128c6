// Fuzz target for one polar resampling pass (built twice: FUZZ_INVERSE
// selects iCartesian2Polar0, otherwise iPolar2Cartesian0). The record comes
// from the input, float fields included (NaN, infinities, a zoom near 0,
// offsets far out), so the coordinate folding is driven far outside the
// driver's values; a slow call is reported by libFuzzer's -timeout.
//
// Planes are allocated at exactly the geometry: (height - 1) rows of
// lineBytes bytes plus a last row of width bytes. Checked besides memory
// safety (planes on the heap or flush against an inaccessible page, which
// catches vector gathers that AddressSanitizer does not see): the source planes are never written,
// destination bytes beyond width in a row are never written, and a record that checkPolarMapParam refuses
// leaves the destination untouched.
#include <string.h>

#include <memory>
#include <vector>

#include "fuzz_input.h"
#include <polarmosaic/polarmosaic.h>

namespace {

// Pictures up to about 64 x 64 (with row padding), for thousands of calls
// per second; geometries beyond are refused before the planes are made.
const int64_t kMaxPlaneBytes = 90 * 64;

enum Flags : uint8_t {
    kFixLineBytes = 1u << 0,  // lineBytes = width + a little
    kDropPointer = 1u << 1,
    kSharedSource = 1u << 2,  // all three source planes are one buffer
    // bits 5 .. 7: the dispatch level (fuzz::chooseLevel)
};

// True when no byte of a row beyond its first width bytes changed.
FUZZ_NO_COVERAGE bool paddingKept(const uint8_t* now, const uint8_t* was, size_t bytes, int32_t lineBytes,
                                  int32_t width) {
    for (size_t at = 0; at < bytes; ++at) {
        const int32_t column = static_cast<int32_t>(at % static_cast<size_t>(lineBytes));
        if (column >= width && now[at] != was[at]) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t flags = in.u8();
    fuzz::chooseLevel(flags >> 5);
    PolarMapParam p;
    memset(&p, 0, sizeof p);
    p.width = in.size16();
    p.height = in.size16();
    const uint8_t pad = in.u8() % 20;
    p.lineBytes = (flags & kFixLineBytes) ? static_cast<int16_t>(p.width + pad) : in.signed16();
    p.zoom = in.f32();
    p.radiusOffset = in.f32();
    p.angleOffset = in.f32();
    p.wrap = in.u8() & 3;  // 0 or one of a few non-zero values
    const uint8_t dropWhich = in.u8();
    const fuzz::Placement placement = fuzz::placementFor(in.u8());

    const bool usable = p.width > 0 && p.height > 0 && p.lineBytes >= p.width;
    const int64_t bytes64 = usable ? static_cast<int64_t>(p.height - 1) * p.lineBytes + p.width : 0;
    if (bytes64 > kMaxPlaneBytes) return 0;
    const size_t bytes = static_cast<size_t>(bytes64);

    std::vector<std::unique_ptr<fuzz::Block>> planes;
    for (int k = 0; k < 6; ++k) {
        planes.emplace_back(new fuzz::Block(bytes, placement));
        fuzz::fillFrom(planes[k]->data(), bytes, in.rest(), in.restSize(), static_cast<uint8_t>(k * 71));
    }
    for (int c = 0; c < 3; ++c) {
        p.srcPlane[c] = planes[(flags & kSharedSource) ? 0 : c]->data();
        p.dstPlane[c] = planes[3 + c]->data();
    }
    if (flags & kDropPointer) {
        if (dropWhich & 1)
            p.srcPlane[dropWhich / 2 % 3] = nullptr;
        else
            p.dstPlane[dropWhich / 2 % 3] = nullptr;
    }

    const bool refused = checkPolarMapParam(&p) != POLARMOSAIC_OK;
    PolarMapParam before;
    memcpy(&before, &p, sizeof p);
    std::vector<std::vector<uint8_t>> copies;
    for (int k = 0; k < 6; ++k) copies.emplace_back(planes[k]->data(), planes[k]->data() + bytes);

#ifdef FUZZ_INVERSE
    iCartesian2Polar0(&p);
#else
    iPolar2Cartesian0(&p);
#endif

    if (memcmp(&before, &p, sizeof p) != 0) fuzz::fail("the record was written");
    for (int k = 0; k < 3; ++k) {
        if (bytes && memcmp(copies[k].data(), planes[k]->data(), bytes) != 0)
            fuzz::fail("a source plane was written");
    }
    for (int k = 3; k < 6; ++k) {
        if (refused && bytes && memcmp(copies[k].data(), planes[k]->data(), bytes) != 0) {
            fuzz::fail("a record that checkPolarMapParam refuses changed a destination plane");
        }
        if (!paddingKept(planes[k]->data(), copies[k].data(), bytes, p.lineBytes, p.width)) {
            fuzz::fail("a byte beyond the row width was written");
        }
    }
    return 0;
}
