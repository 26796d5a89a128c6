// Fitted geometry: one frame on a plan. Pass one sums each row's groups of
// pixels, the sums go to their tiles, and pass two writes every run and
// blended pixel from the tile and line colours. Integer sums: any split and
// any order give the same bytes.
#include <string.h>

#include "fitted/plan_internal.h"

using namespace polarmosaic_detail;

namespace {

constexpr int32_t kLineSides = 4;

uint64_t alignUp(uint64_t n) { return (n + 15) & ~uint64_t(15); }

struct ScratchLayout {
    uint64_t lineColours;  // uint8_t[(lastBand + 1) * sides][4]: RGBA by band << 2 | side
    uint64_t groupSums;    // uint32_t[groups][4]
    uint64_t tileSums;     // uint64_t[tiles][4]
    uint64_t tileColours;  // uint8_t[tiles][4]: RGBA
    uint64_t bytes;
};

ScratchLayout scratchLayout(const PlanHead* head) {
    ScratchLayout l;
    uint64_t at = 0;
    l.lineColours = at;
    at = alignUp(at + 4u * kLineSides * static_cast<uint64_t>(head->lastBand + 1));
    l.groupSums = at;
    at = alignUp(at + 16u * head->groups);
    l.tileSums = at;
    at = alignUp(at + 32u * static_cast<uint64_t>(head->tiles));
    l.tileColours = at;
    at = alignUp(at + 4u * static_cast<uint64_t>(head->tiles));
    l.bytes = at;
    return l;
}

struct FrameJobs {
    const PlanHead* head;
    const void* plan;
    const PolarPlanFrame* frame;
    unsigned char* scratch;
    ScratchLayout layout;
    bool alpha;
};

uint32_t sumBytes(const uint8_t* p, int32_t n) {
    uint32_t sum = 0;
    for (int32_t i = 0; i < n; ++i) sum += p[i];
    return sum;
}

// The three planes' sums in one loop: groups are short, and one loop
// costs less than three.
void sumThree(const uint8_t* p0, const uint8_t* p1, const uint8_t* p2, int32_t n, uint32_t* sums) {
    uint32_t s0 = 0, s1 = 0, s2 = 0;
    for (int32_t i = 0; i < n; ++i) {
        s0 += p0[i];
        s1 += p1[i];
        s2 += p2[i];
    }
    sums[0] = s0;
    sums[1] = s1;
    sums[2] = s2;
}

// Byte sums 16 at a time where the target has vectors in its baseline
// (x86-64, AArch64, WebAssembly SIMD128). A group's last, partial chunk is
// read as the 16 bytes that end where the group ends, with the bytes before
// the group masked off, so nothing outside the row is read.
#if defined(__SSE2__)
#include <emmintrin.h>
#define POLARMOSAIC_WIDE_SUMS 1
using Chunk = __m128i;
using ChunkSums = __m128i;  // two 64-bit sums
inline Chunk loadChunk(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline Chunk lastBytes(Chunk v, int32_t keep) {  // the last `keep` (1 .. 15) bytes
    const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_and_si128(v, _mm_cmpgt_epi8(index, _mm_set1_epi8(static_cast<char>(15 - keep))));
}
inline ChunkSums noSums() { return _mm_setzero_si128(); }
inline ChunkSums addChunk(ChunkSums sums, Chunk v) {
    return _mm_add_epi64(sums, _mm_sad_epu8(v, _mm_setzero_si128()));
}
inline uint32_t totalOf(ChunkSums sums) {
    return static_cast<uint32_t>(_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
}
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define POLARMOSAIC_WIDE_SUMS 1
using Chunk = uint8x16_t;
using ChunkSums = uint32x4_t;
inline Chunk loadChunk(const uint8_t* p) { return vld1q_u8(p); }
inline Chunk lastBytes(Chunk v, int32_t keep) {
    static const uint8_t kIndex[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    return vandq_u8(v, vcgtq_u8(vld1q_u8(kIndex), vdupq_n_u8(static_cast<uint8_t>(15 - keep))));
}
inline ChunkSums noSums() { return vdupq_n_u32(0); }
inline ChunkSums addChunk(ChunkSums sums, Chunk v) { return vpadalq_u16(sums, vpaddlq_u8(v)); }
inline uint32_t totalOf(ChunkSums sums) { return vaddvq_u32(sums); }
#elif defined(__wasm_simd128__)
#include <wasm_simd128.h>
#define POLARMOSAIC_WIDE_SUMS 1
using Chunk = v128_t;
using ChunkSums = v128_t;  // four 32-bit sums
inline Chunk loadChunk(const uint8_t* p) { return wasm_v128_load(p); }
inline Chunk lastBytes(Chunk v, int32_t keep) {
    const v128_t index = wasm_u8x16_make(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return wasm_v128_and(v, wasm_u8x16_gt(index, wasm_u8x16_splat(static_cast<uint8_t>(15 - keep))));
}
inline ChunkSums noSums() { return wasm_i32x4_splat(0); }
inline ChunkSums addChunk(ChunkSums sums, Chunk v) {
    return wasm_i32x4_add(sums, wasm_u32x4_extadd_pairwise_u16x8(wasm_u16x8_extadd_pairwise_u8x16(v)));
}
inline uint32_t totalOf(ChunkSums sums) {
    return wasm_u32x4_extract_lane(sums, 0) + wasm_u32x4_extract_lane(sums, 1) +
           wasm_u32x4_extract_lane(sums, 2) + wasm_u32x4_extract_lane(sums, 3);
}
#else
#define POLARMOSAIC_WIDE_SUMS 0
#endif

#if POLARMOSAIC_WIDE_SUMS
// sumThree of n bytes at p0 + x, p1 + x, p2 + x, when x + n >= 16: the
// partial chunk's 16 bytes start inside the row.
void sumThreeWide(const uint8_t* p0, const uint8_t* p1, const uint8_t* p2, int32_t n, uint32_t* sums) {
    ChunkSums s0 = noSums(), s1 = noSums(), s2 = noSums();
    int32_t i = 0;
    for (; i + 16 <= n; i += 16) {
        s0 = addChunk(s0, loadChunk(p0 + i));
        s1 = addChunk(s1, loadChunk(p1 + i));
        s2 = addChunk(s2, loadChunk(p2 + i));
    }
    const int32_t rest = n - i;
    if (rest > 0) {
        s0 = addChunk(s0, lastBytes(loadChunk(p0 + n - 16), rest));
        s1 = addChunk(s1, lastBytes(loadChunk(p1 + n - 16), rest));
        s2 = addChunk(s2, lastBytes(loadChunk(p2 + n - 16), rest));
    }
    sums[0] = totalOf(s0);
    sums[1] = totalOf(s1);
    sums[2] = totalOf(s2);
}
#endif

uint32_t sumWeighted(const uint8_t* p, const uint8_t* a, int32_t n) {
    uint32_t sum = 0;
    for (int32_t i = 0; i < n; ++i) sum += static_cast<uint32_t>(p[i]) * a[i];
    return sum;
}

void sumJob(void* data, uint32_t index) {
    const FrameJobs* jobs = static_cast<const FrameJobs*>(data);
    const PlanHead* head = jobs->head;
    const uint64_t* rowGroups = planArray<uint64_t>(jobs->plan, head->rowGroupsOffset);
    const PlanGroup* groups = planArray<PlanGroup>(jobs->plan, head->groupsOffset);
    uint32_t* sums = reinterpret_cast<uint32_t*>(jobs->scratch + jobs->layout.groupSums);
    const PolarPlanFrame& f = *jobs->frame;
    for (int32_t row = static_cast<int32_t>(index) * kPlanRowsPerJob;
         row < planJobEnd(head->settings.height, index); ++row) {
        const ptrdiff_t at = static_cast<ptrdiff_t>(row) * f.srcLineBytes;
        const uint8_t* plane[4] = {f.srcPlane[0] + at, f.srcPlane[1] + at, f.srcPlane[2] + at,
                                   jobs->alpha ? f.srcPlane[3] + at : nullptr};
        // A row's groups cover it from left to right.
        int32_t x = 0;
        for (uint64_t group = rowGroups[row]; group < rowGroups[row + 1]; ++group) {
            const int32_t n = static_cast<int32_t>(groups[group].pixels);
            uint32_t* g = sums + 4 * group;
            if (jobs->alpha) {
                for (int c = 0; c < 3; ++c) g[c] = sumWeighted(plane[c] + x, plane[3] + x, n);
                g[3] = sumBytes(plane[3] + x, n);
            } else {
#if POLARMOSAIC_WIDE_SUMS
                if (x + n >= 16)
                    sumThreeWide(plane[0] + x, plane[1] + x, plane[2] + x, n, g);
                else
#endif
                    sumThree(plane[0] + x, plane[1] + x, plane[2] + x, n, g);
                g[3] = 0;
            }
            x += n;
        }
    }
}

// Tile colours from the group sums (on one thread: few groups per row).
void colourTiles(const FrameJobs& jobs) {
    const PlanHead* head = jobs.head;
    const PlanGroup* groups = planArray<PlanGroup>(jobs.plan, head->groupsOffset);
    const uint32_t* tilePixels = planArray<uint32_t>(jobs.plan, head->tilePixelsOffset);
    const uint32_t* groupSums = reinterpret_cast<const uint32_t*>(jobs.scratch + jobs.layout.groupSums);
    uint64_t* tileSums = reinterpret_cast<uint64_t*>(jobs.scratch + jobs.layout.tileSums);
    uint8_t* colours = jobs.scratch + jobs.layout.tileColours;
    memset(tileSums, 0, 32u * static_cast<size_t>(head->tiles));
    for (uint64_t i = 0; i < head->groups; ++i) {
        uint64_t* t = tileSums + 4 * static_cast<uint64_t>(groups[i].tile);
        for (uint64_t c = 0; c < 4; ++c) t[c] += groupSums[4 * i + c];
    }
    for (int32_t tile = 0; tile < head->tiles; ++tile) {
        const uint64_t* t = tileSums + 4 * static_cast<uint64_t>(tile);
        uint8_t* out = colours + 4 * static_cast<size_t>(tile);
        const uint64_t n = tilePixels[tile];
        if (n == 0) {
            memset(out, 0, 4);
            continue;
        }
        if (jobs.alpha) {
            const uint64_t alphaSum = t[3];
            for (int c = 0; c < 3; ++c)
                out[c] = static_cast<uint8_t>(alphaSum == 0 ? 0 : (t[c] + alphaSum / 2) / alphaSum);
            out[3] = static_cast<uint8_t>((alphaSum + n / 2) / n);
        } else {
            for (int c = 0; c < 3; ++c) out[c] = static_cast<uint8_t>((t[c] + n / 2) / n);
            out[3] = 255;
        }
    }
}

// The RGBA colour of a source: a line's, or a tile's (a tile without pixels
// takes the colour of the tile that holds the pixel's centre).
inline const uint8_t* colourOf(const FrameJobs& jobs, uint32_t source, uint32_t centreTile,
                               const uint32_t* tilePixels) {
    if (source & kLineSource)
        return jobs.scratch + jobs.layout.lineColours + 4 * static_cast<size_t>(source & ~kLineSource);
    if (tilePixels[source] == 0) source = centreTile;
    return jobs.scratch + jobs.layout.tileColours + 4 * static_cast<size_t>(source);
}

// n >= 2 bytes of one value. Runs are mostly short, where a call to memset
// costs more than the stores: up to 32 bytes, 8-byte stores that may
// overlap (the last one ends at the run's end).
inline void fillRun(uint8_t* p, uint8_t value, uint32_t n) {
    if (n > 32) {
        memset(p, value, n);
        return;
    }
    if (n < 8) {
        for (uint32_t i = 0; i < n; ++i) p[i] = value;
        return;
    }
    const uint64_t word = 0x0101010101010101ull * value;
    for (uint32_t i = 0; i + 8 < n; i += 8) memcpy(p + i, &word, 8);
    memcpy(p + n - 8, &word, 8);
}

// Three planes from the slots directly: most segments are tile and line
// runs whose colour is one load, and only blends can name a tile without
// pixels.
void writeRowsOpaque(const FrameJobs& jobs, int32_t firstRow, int32_t endRow) {
    const PlanHead* head = jobs.head;
    const uint64_t* rowSlots = planArray<uint64_t>(jobs.plan, head->rowSlotsOffset);
    const PlanSlot* slots = planArray<PlanSlot>(jobs.plan, head->slotsOffset);
    const uint32_t* tilePixels = planArray<uint32_t>(jobs.plan, head->tilePixelsOffset);
    const uint8_t* tileColours = jobs.scratch + jobs.layout.tileColours;
    const uint8_t* lineColours = jobs.scratch + jobs.layout.lineColours;
    const PolarPlanFrame& f = *jobs.frame;
    for (int32_t row = firstRow; row < endRow; ++row) {
        const ptrdiff_t at = static_cast<ptrdiff_t>(row) * f.dstLineBytes;
        uint8_t* const p0 = f.dstPlane[0] + at;
        uint8_t* const p1 = f.dstPlane[1] + at;
        uint8_t* const p2 = f.dstPlane[2] + at;
        uint32_t x = 0;
        const uint64_t end = rowSlots[row + 1];
        for (uint64_t i = rowSlots[row]; i < end;) {
            const PlanSlot slot = slots[i];
            const uint32_t kind = slot.head & kSlotKindMask;
            if (kind != kBlendSlot) {
                const uint8_t* colour = kind == kLineRunSlot
                                            ? lineColours + 4 * static_cast<size_t>(slot.tail >> 16)
                                            : tileColours + 4 * static_cast<size_t>(slot.head);
                const uint32_t n = kind == kLineRunSlot ? slot.tail & 0xffffu : slot.tail;
                if (n == 1) {
                    p0[x] = colour[0];
                    p1[x] = colour[1];
                    p2[x] = colour[2];
                } else {
                    fillRun(p0 + x, colour[0], n);
                    fillRun(p1 + x, colour[1], n);
                    fillRun(p2 + x, colour[2], n);
                }
                x += n;
                ++i;
                continue;
            }
            const uint32_t tile = slot.head & kSlotTileMask;
            const uint8_t* a = colourOf(jobs, slots[i + 1].head, tile, tilePixels);
            const uint8_t* b = colourOf(jobs, slots[i + 1].tail, tile, tilePixels);
            const uint32_t wb = slot.tail;
            const uint32_t wa = 16 - wb;
            p0[x] = static_cast<uint8_t>((wa * a[0] + wb * b[0] + 8) >> 4);
            p1[x] = static_cast<uint8_t>((wa * a[1] + wb * b[1] + 8) >> 4);
            p2[x] = static_cast<uint8_t>((wa * a[2] + wb * b[2] + 8) >> 4);
            ++x;
            i += 2;
        }
    }
}

// Four planes: blends weigh colour by alpha.
void writeRowsWithAlpha(const FrameJobs& jobs, int32_t firstRow, int32_t endRow) {
    const PlanHead* head = jobs.head;
    const uint64_t* rowSlots = planArray<uint64_t>(jobs.plan, head->rowSlotsOffset);
    const PlanSlot* slots = planArray<PlanSlot>(jobs.plan, head->slotsOffset);
    const uint32_t* tilePixels = planArray<uint32_t>(jobs.plan, head->tilePixelsOffset);
    const PolarPlanFrame& f = *jobs.frame;
    for (int32_t row = firstRow; row < endRow; ++row) {
        const ptrdiff_t at = static_cast<ptrdiff_t>(row) * f.dstLineBytes;
        uint8_t* plane[4] = {f.dstPlane[0] + at, f.dstPlane[1] + at, f.dstPlane[2] + at, f.dstPlane[3] + at};
        int32_t x = 0;
        for (uint64_t i = rowSlots[row]; i < rowSlots[row + 1];) {
            PlanSegment s;
            i += static_cast<uint64_t>(decodeSegment(slots, i, &s));
            const uint8_t* a = colourOf(jobs, s.a, s.tile, tilePixels);
            if (s.weight == 0) {
                if (s.length == 1) {
                    for (int c = 0; c < 4; ++c) plane[c][x] = a[c];
                } else {
                    for (int c = 0; c < 4; ++c) fillRun(plane[c] + x, a[c], s.length);
                }
            } else {
                const uint8_t* b = colourOf(jobs, s.b, s.tile, tilePixels);
                const uint32_t wb = s.weight;
                const uint32_t wa = 16 - wb;
                const uint32_t den = wa * a[3] + wb * b[3];
                for (int c = 0; c < 3; ++c) {
                    const uint32_t num = wa * a[3] * a[c] + wb * b[3] * b[c];
                    plane[c][x] = static_cast<uint8_t>(den == 0 ? 0 : (num + den / 2) / den);
                }
                plane[3][x] = static_cast<uint8_t>((den + 8) >> 4);
            }
            x += static_cast<int32_t>(s.length);
        }
    }
}

void writeJob(void* data, uint32_t index) {
    const FrameJobs& jobs = *static_cast<const FrameJobs*>(data);
    const int32_t first = static_cast<int32_t>(index) * kPlanRowsPerJob;
    const int32_t end = planJobEnd(jobs.head->settings.height, index);
    if (jobs.alpha)
        writeRowsWithAlpha(jobs, first, end);
    else
        writeRowsOpaque(jobs, first, end);
}

void fillLineColours(const FrameJobs& jobs) {
    const int32_t bands = jobs.head->lastBand + 1;
    uint8_t* out = jobs.scratch + jobs.layout.lineColours;
    // Negative factors count as 0, as in PolarMosaicParam.
    float shade[kLineSides];
    bool flat = true;
    for (int s = 0; s < kLineSides; ++s) {
        shade[s] = jobs.frame->shade[s] < 0.0f ? 0.0f : jobs.frame->shade[s];
        if (!(static_cast<double>(shade[s]) < 0.0001)) flat = false;
    }
    uint8_t ramp[POLARMOSAIC_FITTED_MAX_LINE_WIDTH / 2 + 2];
    for (int s = 0; s < kLineSides; ++s) {
        for (int c = 0; c < 3; ++c) {
            // All factors (near) zero mean plain lines, not lines fading to black.
            if (flat) {
                memset(ramp, static_cast<uint8_t>(jobs.frame->borderValue[c]), sizeof(ramp));
            } else {
                calcCArray(ramp, static_cast<int16_t>(bands), jobs.frame->borderValue[c], shade[s]);
            }
            for (int32_t b = 0; b < bands; ++b) out[4 * (b << 2 | s) + c] = ramp[b];
        }
        for (int32_t b = 0; b < bands; ++b) out[4 * (b << 2 | s) + 3] = 255;
    }
}

}  // namespace

extern "C" size_t polarPlanScratchBytes(const void* plan) {
    const PlanHead* head = measuredPlanHead(plan);
    if (head == nullptr) return 0;
    return static_cast<size_t>(scratchLayout(head).bytes);
}

extern "C" int polarPlanFrame(const void* plan, const PolarPlanFrame* frame, void* scratch,
                              size_t scratchBytes, PolarMosaicRunner runner, void* runnerData) {
    const PlanHead* head = measuredPlanHead(plan);
    if (head == nullptr || head->measured != 2) return POLARMOSAIC_BAD_PLAN;
    if (frame == nullptr || scratch == nullptr) return POLARMOSAIC_NULL_RECORD;
    const bool alpha = frame->srcPlane[3] != nullptr;
    for (int c = 0; c < 3; ++c) {
        if (frame->srcPlane[c] == nullptr || frame->dstPlane[c] == nullptr) return POLARMOSAIC_NULL_PLANE;
    }
    if (alpha && frame->dstPlane[3] == nullptr) return POLARMOSAIC_NULL_PLANE;
    const int32_t width = head->settings.width;
    if (frame->srcLineBytes < width || frame->dstLineBytes < width) return POLARMOSAIC_BAD_LINE_BYTES;
    const ScratchLayout layout = scratchLayout(head);
    if (scratchBytes < layout.bytes) return POLARMOSAIC_PLAN_TOO_SMALL;
    FrameJobs jobs = {head, plan, frame, static_cast<unsigned char*>(scratch), layout, alpha};
    const uint32_t count = planJobs(head->settings.height);
    fillLineColours(jobs);
    int status = runPlanJobs(runner, runnerData, &jobs, sumJob, count);
    if (status != POLARMOSAIC_OK) return status;
    colourTiles(jobs);
    return runPlanJobs(runner, runnerData, &jobs, writeJob, count);
}
