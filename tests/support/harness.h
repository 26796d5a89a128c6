// Buffers and records shared by the tests: plane sets with slack and
// sentinels, page-guarded buffers, and a self-contained mosaic call setup
// that can be deep-copied so that module and reference run on equal inputs.
#ifndef POLARMOSAIC_TESTS_HARNESS_H
#define POLARMOSAIC_TESTS_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <polarmosaic/polarmosaic.h>
#include "support/reference.h"

namespace harness {

uint32_t floatBits(float f);
float bitsFloat(uint32_t b);

// A buffer of n usable bytes directly next to an inaccessible page: after
// the last byte (alignEnd) or before the first one, so that any access past
// that end faults.
class GuardedBuffer {
public:
    GuardedBuffer(size_t n, bool alignEnd);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    uint8_t* data() { return data_; }
    size_t size() const { return size_; }

private:
    uint8_t* base_ = nullptr;
    size_t mapped_ = 0;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

void fillRandom(std::vector<uint8_t>& v, std::mt19937& rng);
void fillRandom(uint8_t* p, size_t n, std::mt19937& rng);

// Three source and three destination planes of one geometry for a
// resampling pass, each surrounded by `guard` sentinel bytes.
struct MapPlanes {
    MapPlanes(int16_t width, int16_t height, int16_t lineBytes, size_t guard = 64);
    MapPlanes(const MapPlanes& o);
    MapPlanes& operator=(const MapPlanes&) = delete;

    PolarMapParam param{};
    std::vector<uint8_t> store[6];  // 0..2 source, 3..5 destination, with guards
    size_t guard;
    size_t planeSize;

    uint8_t* src(int c) { return store[c].data() + guard; }
    uint8_t* dst(int c) { return store[3 + c].data() + guard; }
    void bind();
    void randomize(std::mt19937& rng);  // planes and guards
    bool guardsEqual(const MapPlanes& o) const;
    // First differing byte of the destination planes, or "" when equal.
    std::string dstDiff(const MapPlanes& o) const;
};

struct MosaicCase {
    int16_t width = 64;
    int16_t height = 48;
    int16_t tileWidth = 8;
    int16_t tileHeight = 8;
    int16_t tileCols = 8;
    int16_t tileRows = 6;
    int16_t splitRemainder = 0;
    int16_t borderMode = 1;
    int16_t borderWidth = 0;
    int16_t borderValue[3] = {255, 255, 255};
    float shade[4] = {0.5f, 0.5f, 0.5f, 0.5f};
    int32_t planeBytesExtra = 0;  // planeBytes = height * lineBytes + this
    size_t slack = 64;            // bytes allocated past planeBytes
    int rampRoom = 0;             // ramp entries; 0: borderWidth / 2 + 1
};

// One self-contained call of the entry point: the record and every buffer
// it points to. Copying makes a deep copy pointing at its own buffers.
struct MosaicRun {
    explicit MosaicRun(const MosaicCase& mc);
    MosaicRun(const MosaicRun& o);
    MosaicRun& operator=(const MosaicRun&) = delete;

    PolarMosaicParam param{};
    std::vector<uint8_t> planes[6];  // 0..2 outPlane, 3..5 inPlane
    std::vector<int16_t> tileW, tileH;
    std::vector<uint8_t> ramps[12];

    void bind();
    uint8_t* out(int c) { return planes[c].data(); }
    uint8_t* in(int c) { return planes[3 + c].data(); }
    void randomize(std::mt19937& rng);  // every plane byte, sentinels in arrays
    void fillAll(uint8_t value);
    // First difference in any buffer, or "" when all are equal.
    std::string diff(const MosaicRun& o) const;
};

std::string describe(const MosaicCase& mc);

// Runs the module on one copy of `input` and the reference on another and
// compares every buffer; also checks the module left the record unchanged.
struct MosaicComparison {
    std::string diff;  // "" when every buffer matches
    bool recordUnchanged = true;
    ref::PipelineReport report;
};
MosaicComparison runAndCompare(const MosaicRun& input, const ref::Options& opt = ref::Options());

}  // namespace harness

#endif
