// Plane turns: quarter turns, the half turn and the transposing copy of three
// planes at once, and the line-width helper.
#include "shared/internal.h"

#include <cstddef>

#if defined(__x86_64__) && defined(__SSE2__) && !defined(POLARMOSAIC_PORTABLE_ONLY)
#include <emmintrin.h>
#endif

using namespace polarmosaic_detail;

namespace {

// ---------------------------------------------------------------------------
// Turns. Every destination byte is a pure function of its source byte's
// position, so the copies may run in any order: they go through the image in
// square tiles, small enough that the source rows of a tile and the
// destination rows it writes stay in the first-level cache for all three
// planes, instead of striding across the whole destination for every pixel.
const int32_t kTurnTile = 32;

// Copies the source pixels of rows y0 .. y1 - 1 and columns x0 .. x1 - 1 to
// destination offset origin + x * alongX + y * alongY for all three planes,
// in square tiles. Inside a tile the inner loop runs down the source column,
// which is the direction the destination row runs when alongY is +1 or -1.
void copyRegionTiled(const TurnParam& p, int32_t origin, int32_t alongX, int32_t alongY, int32_t y0,
                     int32_t y1, int32_t x0, int32_t x1) {
    if (y0 >= y1 || x0 >= x1) return;
    const int32_t srcLine = p.srcLineBytes;
    for (int c = 0; c < 3; ++c) {
        const uint8_t* src = p.srcPlane[c];
        uint8_t* dst = p.dstPlane[c];
        for (int32_t ty = y0; ty < y1; ty += kTurnTile) {
            const int32_t tyEnd = y1 - ty < kTurnTile ? y1 : ty + kTurnTile;
            for (int32_t tx = x0; tx < x1; tx += kTurnTile) {
                const int32_t txEnd = x1 - tx < kTurnTile ? x1 : tx + kTurnTile;
                for (int32_t x = tx; x < txEnd; ++x) {
                    const uint8_t* s = src + ty * srcLine + x;
                    uint8_t* d = dst + origin + x * alongX + ty * alongY;
                    for (int32_t y = ty; y < tyEnd; ++y, s += srcLine, d += alongY) *d = *s;
                }
            }
        }
    }
}

#if defined(__x86_64__) && defined(__SSE2__) && !defined(POLARMOSAIC_PORTABLE_ONLY)
#define POLARMAP_HAVE_BLOCK_TRANSPOSE 1
// Transposes a block of 16 x 16 bytes in SSE2 registers (part of the
// x86-64 baseline): source row r is read at src + r * srcStep, and column j
// of the block is written as one row of 16 bytes at dst + j * dstStep. Four
// rounds of interleaving row i with row i + 8 turn rows into columns.
inline void transposeBlock16(const uint8_t* src, ptrdiff_t srcStep, uint8_t* dst, ptrdiff_t dstStep) {
    __m128i r[16];
    for (int i = 0; i < 16; ++i) r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * srcStep));
    for (int round = 0; round < 4; ++round) {
        __m128i t[16];
        for (int i = 0; i < 8; ++i) {
            t[2 * i] = _mm_unpacklo_epi8(r[i], r[i + 8]);
            t[2 * i + 1] = _mm_unpackhi_epi8(r[i], r[i + 8]);
        }
        for (int i = 0; i < 16; ++i) r[i] = t[i];
    }
    for (int j = 0; j < 16; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + j * dstStep), r[j]);
}
#else
#define POLARMAP_HAVE_BLOCK_TRANSPOSE 0
#endif

// Copies source pixel (y, x) to destination offset origin + x * alongX +
// y * alongY for all three planes; alongY is +1 or -1. Whole blocks of
// 16 x 16 pixels go through register transposes where available (with
// alongY = -1 the block's rows are read bottom up, so each transposed row
// comes out in destination order), the ragged right and bottom edges
// through the tiled byte loops. Only source columns columnFirst ..
// columnEnd - 1 are copied.
void copyPlanesTiled(const TurnParam& p, int32_t origin, int32_t alongX, int32_t alongY, int32_t columnFirst,
                     int32_t columnEnd) {
    const int32_t height = p.srcHeight;
#if POLARMAP_HAVE_BLOCK_TRANSPOSE
    const int32_t srcLine = p.srcLineBytes;
    const int32_t blockRows = height & ~15;
    const int32_t blockColumns = columnFirst + ((columnEnd - columnFirst) & ~15);
    for (int c = 0; c < 3; ++c) {
        const uint8_t* src = p.srcPlane[c];
        uint8_t* dst = p.dstPlane[c];
        // Bands of 32 source columns, run from top to bottom: the band's 32
        // destination rows fill up front to back, and with a power-of-two
        // destination stride 32 rows still fit the cache sets they share.
        for (int32_t band = columnFirst; band < blockColumns; band += 32) {
            const int32_t bandEnd = blockColumns - band < 32 ? blockColumns : band + 32;
            for (int32_t y0 = 0; y0 < blockRows; y0 += 16) {
                const int32_t firstRow = alongY > 0 ? y0 : y0 + 15;
                const ptrdiff_t srcStep = alongY > 0 ? srcLine : -static_cast<ptrdiff_t>(srcLine);
                for (int32_t x0 = band; x0 < bandEnd; x0 += 16) {
                    transposeBlock16(src + static_cast<ptrdiff_t>(firstRow) * srcLine + x0, srcStep,
                                     dst + origin + static_cast<ptrdiff_t>(x0) * alongX + firstRow * alongY,
                                     alongX);
                }
            }
        }
    }
    copyRegionTiled(p, origin, alongX, alongY, 0, blockRows, blockColumns, columnEnd);
    copyRegionTiled(p, origin, alongX, alongY, blockRows, height, columnFirst, columnEnd);
#else
    copyRegionTiled(p, origin, alongX, alongY, 0, height, columnFirst, columnEnd);
#endif
}

// The half turn reverses each row into another row: a plain row copy of
// source rows rowFirst .. rowEnd - 1.
void copyPlanesHalfTurn(const TurnParam& p, int32_t rowFirst, int32_t rowEnd) {
    const int32_t width = p.srcWidth;
    const int32_t height = p.srcHeight;
    const int32_t line = p.srcLineBytes;
    for (int c = 0; c < 3; ++c) {
        const uint8_t* src = p.srcPlane[c];
        uint8_t* dst = p.dstPlane[c];
        for (int32_t y = rowFirst; y < rowEnd; ++y) {
            const uint8_t* s = src + y * line;
            uint8_t* d = dst + (height - 1 - y) * line + (width - 1);
            for (int32_t x = 0; x < width; ++x) d[-x] = s[x];
        }
    }
}

// Destination rows first .. end - 1 of a checked record; iTurn1 is
// transposing.
void turnRows(const TurnParam& p, bool transposing, int32_t first, int32_t end) {
    const int32_t width = p.srcWidth;
    const int32_t height = p.srcHeight;
    const int32_t dstLine = p.dstLineBytes;
    if (transposing) {
        // d = x * dstLine + y: destination row x is source column x.
        copyPlanesTiled(p, 0, dstLine, 1, first, end);
    } else if (p.turnMode == POLARMOSAIC_TURN_CCW) {
        // d = (width - 1 - x) * dstLine + y
        copyPlanesTiled(p, (width - 1) * dstLine, -dstLine, 1, width - end, width - first);
    } else if (p.turnMode == POLARMOSAIC_TURN_HALF) {
        copyPlanesHalfTurn(p, height - end, height - first);
    } else {
        // d = x * dstLine + (height - 1 - y)
        copyPlanesTiled(p, height - 1, dstLine, -1, first, end);
    }
}

// Destination rows: srcHeight for the half turn, srcWidth otherwise.
int32_t destinationRows(const TurnParam& p, bool transposing) {
    return !transposing && p.turnMode == POLARMOSAIC_TURN_HALF ? p.srcHeight : p.srcWidth;
}

int turnRange(const TurnParam* param, bool transposing, int32_t first, int32_t end) {
    const int status = checkTurnParam(param, transposing ? 1 : 0);
    if (status != POLARMOSAIC_OK) return status;
    if (first < 0 || end > destinationRows(*param, transposing)) return POLARMOSAIC_BAD_RANGE;
    if (first < end) turnRows(*param, transposing, first, end);
    return POLARMOSAIC_OK;
}

}  // namespace

extern "C" int iTurnRows0(const TurnParam* param, int32_t first, int32_t end) {
    return turnRange(param, false, first, end);
}

extern "C" int iTurnRows1(const TurnParam* param, int32_t first, int32_t end) {
    return turnRange(param, true, first, end);
}

extern "C" void iTurn0(const TurnParam* param) {
    if (checkTurnParam(param, 0) == POLARMOSAIC_OK)
        turnRows(*param, false, 0, destinationRows(*param, false));
}

extern "C" void iTurn1(const TurnParam* param) {
    if (checkTurnParam(param, 1) == POLARMOSAIC_OK) turnRows(*param, true, 0, destinationRows(*param, true));
}

extern "C" int16_t lcw16(int16_t width) {
    int32_t w = width;
    int32_t quotient = w / 16;
    if ((w & 15) != 0) quotient = lowHalfSigned(quotient + 1);
    return static_cast<int16_t>(lowHalfSigned(quotient * 16));
}
