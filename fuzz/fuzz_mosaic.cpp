// Fuzz target: iPolarMosaic0 on records built from the input, in or out of
// contract. Every buffer is allocated at exactly the size the record gives
// it: six planes of planeBytes bytes, tileCols and tileRows tile entries,
// ramps of borderWidth / 2 + 1 entries, so one byte out of bounds is caught
// (planes on the heap or flush against an inaccessible page, for the vector
// gathers that AddressSanitizer does not see).
// Checked besides memory safety: the record is never written, and a record
// that checkPolarMosaicParam refuses leaves every buffer as it was.
#include <string.h>

#include <memory>
#include <vector>

#include "fuzz_input.h"
#include <polarmosaic/polarmosaic.h>

namespace {

// Bytes of one plane beyond which the input is not run: pictures up to
// 64 x 64 (or as thin as 2 rows of 2048), so that a run makes thousands of
// calls per second. Sizes far beyond that still reach the record checks
// through planeBytes values that are too small for them. Large pictures are
// the test suite's (tests/test_pipeline.cpp).
const int64_t kMaxPlaneBytes = 64 * 64 + 16;

enum Flags : uint16_t {
    kFixLineBytes = 1u << 0,   // lineBytes = lcw16(width)
    kFixPlaneBytes = 1u << 1,  // planeBytes = height * lineBytes + a little
    kFixTileCols = 1u << 2,    // tileCols inside the grid's range
    kFixTileRows = 1u << 3,
    kDropPointer = 1u << 4,  // one pointer of the record is NULL
    kShortPlane = 1u << 5,   // with kFixPlaneBytes: a little below instead
    kPlainShades = 1u << 6,  // shade factors from 0 .. 2.5 only
    // bits 13 .. 15: the dispatch level (fuzz::chooseLevel)
};

// Tile-count range of an axis, to pick counts near the valid ones: an exact
// fit allows up to dim / tile tiles, otherwise 2 .. dim / tile + 2.
void countRange(int32_t dim, int32_t tile, int32_t* low, int32_t* high) {
    *high = dim % tile == 0 ? dim / tile : dim / tile + 2;
    *low = dim % tile == 0 ? -3 : 2;  // a few counts of 0 and below as well
}

size_t entriesFor(int32_t count) { return count > 0 ? static_cast<size_t>(count) : 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint16_t flags = in.u16();
    fuzz::chooseLevel(static_cast<unsigned>(flags >> 13));

    PolarMosaicParam p;
    memset(&p, 0, sizeof p);
    p.width = in.size16();
    p.height = in.size16();
    p.lineBytes =
        (flags & kFixLineBytes) && p.width >= 2 && p.width <= 32752 ? lcw16(p.width) : in.signed16();
    const int32_t extra = in.u8() % 17;
    if ((flags & kFixPlaneBytes) != 0) {
        int64_t need = static_cast<int64_t>(p.height) * p.lineBytes;
        int64_t bytes = (flags & kShortPlane) ? need - 1 - extra : need + extra;
        if (bytes < INT32_MIN || bytes > INT32_MAX) return 0;
        p.planeBytes = static_cast<int32_t>(bytes);
    } else {
        p.planeBytes = in.i32();
    }
    if (p.planeBytes > kMaxPlaneBytes) return 0;

    p.tileWidth = in.signed16();
    p.tileHeight = in.signed16();
    p.reserved0 = in.i16();
    p.reserved1 = in.i16();
    const uint8_t colPick = in.u8();
    const uint8_t rowPick = in.u8();
    p.tileCols = in.signed16();
    p.tileRows = in.signed16();
    if ((flags & kFixTileCols) && p.tileWidth > 0 && p.width > 0) {
        int32_t low, high;
        countRange(p.width, p.tileWidth, &low, &high);
        p.tileCols = static_cast<int16_t>(low + colPick % (high - low + 1));
    }
    if ((flags & kFixTileRows) && p.tileHeight > 0 && p.height > 0) {
        int32_t low, high;
        countRange(p.height, p.tileHeight, &low, &high);
        p.tileRows = static_cast<int16_t>(low + rowPick % (high - low + 1));
    }
    p.splitRemainder = static_cast<int16_t>(in.u8() % 3 == 0 ? 0 : in.i16() | 1);
    p.borderMode = static_cast<int16_t>(in.u8() % 8 - 1);
    p.borderWidth = in.signed16();
    for (int c = 0; c < 3; ++c) p.borderValue[c] = in.i16();
    for (int s = 0; s < 4; ++s) {
        p.shade[s] = (flags & kPlainShades) ? static_cast<float>(in.u8() % 11) / 4.0f : in.f32();
    }
    const uint8_t dropWhich = in.u8();
    const fuzz::Placement placement = fuzz::placementFor(in.u8());

    // Buffers at exactly the declared sizes.
    const size_t planeBytes = p.planeBytes > 0 ? static_cast<size_t>(p.planeBytes) : 0;
    std::vector<std::unique_ptr<fuzz::Block>> planes;
    for (int k = 0; k < 6; ++k) {
        planes.emplace_back(new fuzz::Block(planeBytes, placement));
        fuzz::fillFrom(planes[k]->data(), planeBytes, in.rest(), in.restSize(), static_cast<uint8_t>(k * 53));
    }
    for (int c = 0; c < 3; ++c) {
        p.outPlane[c] = planes[c]->data();
        p.inPlane[c] = planes[3 + c]->data();
    }
    fuzz::Block tileWidths(entriesFor(p.tileCols) * sizeof(int16_t));
    fuzz::Block tileHeights(entriesFor(p.tileRows) * sizeof(int16_t));
    memset(tileWidths.data(), 0x7E, tileWidths.size());
    memset(tileHeights.data(), 0x7E, tileHeights.size());
    p.tileWidths = reinterpret_cast<int16_t*>(tileWidths.data());
    p.tileHeights = reinterpret_cast<int16_t*>(tileHeights.data());
    const size_t rampBytes = p.borderWidth >= 2 ? static_cast<size_t>(p.borderWidth / 2 + 1) : 0;
    std::vector<std::unique_ptr<fuzz::Block>> ramps;
    for (int k = 0; k < 12; ++k) {
        ramps.emplace_back(new fuzz::Block(rampBytes));
        memset(ramps[k]->data(), 0x3C, rampBytes);
        p.ramp[k] = ramps[k]->data();
    }
    if (flags & kDropPointer) {
        switch (dropWhich % 5) {
            case 0:
                p.inPlane[dropWhich / 5 % 3] = nullptr;
                break;
            case 1:
                p.outPlane[dropWhich / 5 % 3] = nullptr;
                break;
            case 2:
                p.tileWidths = nullptr;
                break;
            case 3:
                p.tileHeights = nullptr;
                break;
            default:
                p.ramp[dropWhich / 5 % 12] = nullptr;
                break;
        }
    }

    // Snapshots for the checks after the call.
    // The module's own check says whether the call may write anything.
    const bool expectRefusal = checkPolarMosaicParam(&p) != POLARMOSAIC_OK;
    PolarMosaicParam before;
    memcpy(&before, &p, sizeof p);
    std::vector<std::vector<uint8_t>> planeCopies;
    std::vector<uint8_t> tileCopy;
    if (expectRefusal) {
        for (int k = 0; k < 6; ++k)
            planeCopies.emplace_back(planes[k]->data(), planes[k]->data() + planeBytes);
        tileCopy.assign(tileWidths.data(), tileWidths.data() + tileWidths.size());
        tileCopy.insert(tileCopy.end(), tileHeights.data(), tileHeights.data() + tileHeights.size());
    }

    iPolarMosaic0(&p);

    if (memcmp(&before, &p, sizeof p) != 0) fuzz::fail("the record was written");
    if (expectRefusal) {
        for (int k = 0; k < 6; ++k) {
            if (planeBytes && memcmp(planeCopies[k].data(), planes[k]->data(), planeBytes) != 0) {
                fuzz::fail("a refused record changed a plane");
            }
        }
        std::vector<uint8_t> tilesAfter(tileWidths.data(), tileWidths.data() + tileWidths.size());
        tilesAfter.insert(tilesAfter.end(), tileHeights.data(), tileHeights.data() + tileHeights.size());
        if (tilesAfter != tileCopy) fuzz::fail("a refused record changed a tile array");
        const std::vector<uint8_t> untouchedRamp(rampBytes, 0x3C);
        for (int k = 0; k < 12; ++k) {
            if (rampBytes && memcmp(ramps[k]->data(), untouchedRamp.data(), rampBytes) != 0) {
                fuzz::fail("a refused record changed a ramp");
            }
        }
    }
    return 0;
}
