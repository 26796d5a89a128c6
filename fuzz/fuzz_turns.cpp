// Fuzz target for iTurn0 (every turnMode, in range or not) and iTurn1.
// Source and destination are allocated at exactly their geometry: rows - 1
// full strides plus one last row of the written columns, so a read of source
// padding past the last row, or a write one byte past the destination, is
// caught. The destination geometry follows the turn: srcWidth rows of
// srcHeight columns, dstLineBytes apart (half turn: srcHeight rows of
// srcWidth columns, srcLineBytes apart).
//
// The copies are simple enough to check in full: every destination pixel is
// compared with the source pixel the turn puts there, and bytes outside the
// written columns must keep their value.
#include <string.h>

#include <memory>
#include <vector>

#include "fuzz_input.h"
#include <polarmosaic/polarmosaic.h>

namespace {

// Small planes (about 128 x 128 at most) keep a run fast; the tiled copies
// work in blocks of 16 x 16 and bands of 32 columns, all reached here.
const int64_t kMaxPlaneBytes = 1 << 14;

enum Flags : uint8_t {
    kFixSrcLine = 1u << 0,  // srcLineBytes = srcWidth + a little
    kFixDstLine = 1u << 1,  // dstLineBytes = the destination width + a little
    kFixMode = 1u << 2,     // turnMode 0 .. 2
    kTranspose = 1u << 3,   // iTurn1 instead of iTurn0
    kDropPointer = 1u << 4,
};

int64_t tightBytes(int32_t rows, int32_t columns, int32_t stride) {
    if (rows <= 0 || columns <= 0 || stride < columns) return 0;
    return static_cast<int64_t>(rows - 1) * stride + columns;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t flags = in.u8();
    TurnParam p;
    memset(&p, 0, sizeof p);
    p.srcWidth = in.size16();
    p.srcHeight = in.size16();
    const uint8_t srcPad = in.u8() % 20;
    const uint8_t dstPad = in.u8() % 20;
    p.srcLineBytes = (flags & kFixSrcLine) ? static_cast<int16_t>(p.srcWidth + srcPad) : in.signed16();
    const uint8_t modePick = in.u8();
    p.turnMode = (flags & kFixMode) ? static_cast<int16_t>(modePick % 3) : in.signed16();
    const bool transpose = (flags & kTranspose) != 0;
    const bool half = !transpose && p.turnMode == 1;
    p.dstLineBytes = (flags & kFixDstLine) ? static_cast<int16_t>((half ? p.srcWidth : p.srcHeight) + dstPad)
                                           : in.signed16();
    p.dstWidth = in.i16();  // not read by either copy
    p.dstHeight = in.i16();
    const uint8_t dropWhich = in.u8();

    const bool modeValid = transpose || (p.turnMode >= 0 && p.turnMode <= 2);
    const int32_t dstRows = half ? p.srcHeight : p.srcWidth;
    const int32_t dstColumns = half ? p.srcWidth : p.srcHeight;
    const int32_t dstStride = half ? p.srcLineBytes : p.dstLineBytes;
    const int64_t srcBytes64 = tightBytes(p.srcHeight, p.srcWidth, p.srcLineBytes);
    const int64_t dstBytes64 = srcBytes64 > 0 && modeValid ? tightBytes(dstRows, dstColumns, dstStride) : 0;
    if (srcBytes64 > kMaxPlaneBytes || dstBytes64 > kMaxPlaneBytes) return 0;
    const size_t srcBytes = static_cast<size_t>(srcBytes64);
    const size_t dstBytes = static_cast<size_t>(dstBytes64);

    std::vector<std::unique_ptr<fuzz::Block>> src, dst;
    for (int c = 0; c < 3; ++c) {
        src.emplace_back(new fuzz::Block(srcBytes));
        dst.emplace_back(new fuzz::Block(dstBytes));
        fuzz::fillFrom(src[c]->data(), srcBytes, in.rest(), in.restSize(), static_cast<uint8_t>(c * 97));
        memset(dst[c]->data(), 0xA5, dstBytes);
        p.srcPlane[c] = src[c]->data();
        p.dstPlane[c] = dst[c]->data();
    }
    if (flags & kDropPointer) {
        if (dropWhich & 1)
            p.srcPlane[dropWhich / 2 % 3] = nullptr;
        else
            p.dstPlane[dropWhich / 2 % 3] = nullptr;
    }

    // The module's own check says whether the copy may write anything.
    const bool copies = checkTurnParam(&p, transpose ? 1 : 0) == POLARMOSAIC_OK;
    if (copies && (srcBytes == 0 || dstBytes == 0)) fuzz::fail("checkTurnParam accepts an empty geometry");
    TurnParam before;
    memcpy(&before, &p, sizeof p);
    if (transpose)
        iTurn1(&p);
    else
        iTurn0(&p);
    if (memcmp(&before, &p, sizeof p) != 0) fuzz::fail("the record was written");

    for (int c = 0; c < 3; ++c) {
        std::vector<uint8_t> expected(dstBytes, 0xA5);
        if (copies) {
            for (int32_t y = 0; y < p.srcHeight; ++y) {
                for (int32_t x = 0; x < p.srcWidth; ++x) {
                    int32_t row, column;
                    if (transpose) {
                        row = x;
                        column = y;
                    } else if (p.turnMode == 0) {
                        row = p.srcWidth - 1 - x;
                        column = y;
                    } else if (p.turnMode == 1) {
                        row = p.srcHeight - 1 - y;
                        column = p.srcWidth - 1 - x;
                    } else {
                        row = x;
                        column = p.srcHeight - 1 - y;
                    }
                    expected[static_cast<size_t>(row) * static_cast<size_t>(dstStride) +
                             static_cast<size_t>(column)] =
                        src[c]->data()[static_cast<size_t>(y) * static_cast<size_t>(p.srcLineBytes) +
                                       static_cast<size_t>(x)];
                }
            }
        }
        if (dstBytes && memcmp(expected.data(), dst[c]->data(), dstBytes) != 0)
            fuzz::fail("wrong destination bytes");
    }
    return 0;
}
