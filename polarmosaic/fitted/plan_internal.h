// The fitted plan's memory layout, shared by the plan builder and the frame.
#ifndef POLARMOSAIC_FITTED_INTERNAL_H
#define POLARMOSAIC_FITTED_INTERNAL_H

#include <stdint.h>

#include "polarmosaic/fitted.h"

namespace polarmosaic_detail {

constexpr uint32_t kPlanMagic = 0x504d5032u;  // "PMP2"
// Rows of one job of the plan and frame passes.
constexpr int32_t kPlanRowsPerJob = 16;
// Fixed point of the spoke directions.
constexpr int64_t kDirectionOne = int64_t(1) << 30;
// Sources of a pixel's colour: a tile number, or a line with this flag,
// its ramp entry (band) and side: kLineSource | band << 2 | side.
constexpr uint32_t kLineSource = 0x80000000u;
// Largest tile and segment counts of one plan.
constexpr int64_t kMaxPlanTiles = (int64_t(1) << 30) - 1;
constexpr int64_t kMaxPlanSlots = int64_t(1) << 31;

struct PlanRing {
    int32_t sectors;   // n_j
    int32_t step;      // outer sectors per tile: sectors / n_j
    int32_t tileBase;  // number of the ring's first tile
    int32_t reserved;
};

struct PlanDirection {
    int64_t x, y;
};

// One run of pixels in a row: `length` pixels that show source `a`, or one
// pixel that blends a and b, b with weight / 16. `tile` holds the pixel
// centres (tile sums). In the plan a segment takes one or two slots:
//   tile run   head = tile                       tail = length
//   line run   head = kLineRunSlot | tile        tail = length | band << 18 | side << 16
//   blend      head = kBlendSlot | tile          tail = weight, then head = a, tail = b
struct PlanSegment {
    uint32_t tile;
    uint32_t a;
    uint32_t b;
    uint32_t length;
    uint32_t weight;
};

struct PlanSlot {
    uint32_t head;
    uint32_t tail;
};

constexpr uint32_t kSlotKindMask = 0xc0000000u;
constexpr uint32_t kLineRunSlot = 0x40000000u;
constexpr uint32_t kBlendSlot = 0x80000000u;
constexpr uint32_t kSlotTileMask = 0x3fffffffu;

// The segment that starts at slot i, and the slots it takes.
inline int decodeSegment(const PlanSlot* slots, uint64_t i, PlanSegment* s) {
    const PlanSlot& slot = slots[i];
    s->tile = slot.head & kSlotTileMask;
    switch (slot.head & kSlotKindMask) {
        case kBlendSlot:
            s->weight = slot.tail;
            s->a = slots[i + 1].head;
            s->b = slots[i + 1].tail;
            s->length = 1;
            return 2;
        case kLineRunSlot:
            s->weight = 0;
            s->a = s->b = kLineSource | slot.tail >> 16;
            s->length = slot.tail & 0xffffu;
            return 1;
        default:
            s->weight = 0;
            s->a = s->b = s->tile;
            s->length = slot.tail;
            return 1;
    }
}

// Consecutive segments of a row whose centres lie in one tile.
struct PlanGroup {
    uint32_t tile;
    uint32_t pixels;
};

// The head of a plan, at its first byte; the offsets are from there.
struct PlanHead {
    uint32_t magic;
    uint32_t measured;
    PolarPlanSettings settings;
    int32_t rings;  // rings that reach the picture, disc included
    int32_t tiles;
    int32_t halfLine8;  // half the line width in eighths of a pixel
    int32_t ringLines;  // ring lines drawn
    int32_t spokeLines;
    int32_t lastBand;           // borderWidth / 2
    uint64_t ringsOffset;       // PlanRing[rings + 1]
    uint64_t directionsOffset;  // PlanDirection[sectors + 1]
    uint64_t rowSlotsOffset;    // uint64_t[height + 1]: first slot of each row
    uint64_t rowGroupsOffset;   // uint64_t[height + 1]: first group of each row
    uint64_t tilePixelsOffset;  // uint32_t[tiles]
    uint64_t headBytes;
    uint64_t slots;
    uint64_t groups;
    uint64_t slotsOffset;   // PlanSlot[slots]
    uint64_t groupsOffset;  // PlanGroup[groups]
    uint64_t planBytes;
};

template <typename T>
inline T* planArray(void* plan, uint64_t offset) {
    return reinterpret_cast<T*>(static_cast<unsigned char*>(plan) + offset);
}
template <typename T>
inline const T* planArray(const void* plan, uint64_t offset) {
    return reinterpret_cast<const T*>(static_cast<const unsigned char*>(plan) + offset);
}

// The head when plan is a measured plan, else nullptr.
const PlanHead* measuredPlanHead(const void* plan);

// Rows of job `index`: [index * kPlanRowsPerJob, planJobEnd(...)).
inline int32_t planJobEnd(int32_t height, uint32_t index) {
    const int32_t end = static_cast<int32_t>(index + 1) * kPlanRowsPerJob;
    return end < height ? end : height;
}
inline uint32_t planJobs(int32_t height) {
    return static_cast<uint32_t>((height + kPlanRowsPerJob - 1) / kPlanRowsPerJob);
}

// Every job once through the caller's runner (NULL: in order, here).
inline int runPlanJobs(PolarMosaicRunner runner, void* runnerData, void* jobData, PolarMosaicJob job,
                       uint32_t count) {
    if (runner == nullptr) {
        for (uint32_t i = 0; i < count; ++i) job(jobData, i);
        return POLARMOSAIC_OK;
    }
    return runner(runnerData, jobData, job, count) == 0 ? POLARMOSAIC_OK : POLARMOSAIC_RUNNER_FAILED;
}

}  // namespace polarmosaic_detail

#endif
