#include "support/harness.h"
#include "support/reference.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace harness {

uint32_t floatBits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

float bitsFloat(uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

GuardedBuffer::GuardedBuffer(size_t n, bool alignEnd) : size_(n) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t body = (n + page - 1) / page * page;
    mapped_ = body + 2 * page;
    void* m = mmap(nullptr, mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) std::abort();
    base_ = static_cast<uint8_t*>(m);
    if (body > 0 && mprotect(base_ + page, body, PROT_READ | PROT_WRITE) != 0) std::abort();
    data_ = alignEnd ? base_ + page + body - n : base_ + page;
}

GuardedBuffer::~GuardedBuffer() { munmap(base_, mapped_); }

void fillRandom(uint8_t* p, size_t n, std::mt19937& rng) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(rng());
}

void fillRandom(std::vector<uint8_t>& v, std::mt19937& rng) { fillRandom(v.data(), v.size(), rng); }

MapPlanes::MapPlanes(int16_t width, int16_t height, int16_t lineBytes, size_t g) : guard(g) {
    const long rows = height > 0 ? height : 0;
    const long lb = lineBytes > 0 ? lineBytes : 0;
    planeSize = static_cast<size_t>(rows * lb);
    for (auto& s : store) s.assign(planeSize + 2 * guard, 0xA5);
    param.zoom = 1.0f;
    param.radiusOffset = 0.0f;
    param.angleOffset = 0.0f;
    param.lineBytes = lineBytes;
    param.width = width;
    param.height = height;
    param.wrap = 1;
    bind();
}

MapPlanes::MapPlanes(const MapPlanes& o) : param(o.param), guard(o.guard), planeSize(o.planeSize) {
    for (int i = 0; i < 6; ++i) store[i] = o.store[i];
    bind();
}

void MapPlanes::bind() {
    for (int c = 0; c < 3; ++c) {
        param.srcPlane[c] = src(c);
        param.dstPlane[c] = dst(c);
    }
}

void MapPlanes::randomize(std::mt19937& rng) {
    for (auto& s : store) fillRandom(s, rng);
}

bool MapPlanes::guardsEqual(const MapPlanes& o) const {
    for (int i = 0; i < 6; ++i) {
        if (std::memcmp(store[i].data(), o.store[i].data(), guard) != 0) return false;
        if (std::memcmp(store[i].data() + guard + planeSize, o.store[i].data() + guard + planeSize, guard) !=
            0)
            return false;
    }
    return true;
}

std::string MapPlanes::dstDiff(const MapPlanes& o) const {
    for (int c = 0; c < 3; ++c) {
        const auto& a = store[3 + c];
        const auto& b = o.store[3 + c];
        for (size_t i = 0; i < a.size(); ++i) {
            if (a[i] != b[i]) {
                std::ostringstream s;
                const long off = static_cast<long>(i) - static_cast<long>(guard);
                s << "channel " << c << " offset " << off;
                if (param.lineBytes > 0 && off >= 0)
                    s << " (row " << off / param.lineBytes << ", col " << off % param.lineBytes << ")";
                s << ": " << int(a[i]) << " vs " << int(b[i]);
                return s.str();
            }
        }
    }
    return "";
}

MosaicRun::MosaicRun(const MosaicCase& mc) {
    const int16_t lb = ref::lcw16(mc.width);
    const int64_t minBytes = static_cast<int64_t>(mc.height) * (lb > 0 ? lb : 0);
    const int64_t planeBytes = minBytes + mc.planeBytesExtra;
    const size_t alloc = static_cast<size_t>((planeBytes > 0 ? planeBytes : 0)) + mc.slack;
    for (auto& p : planes) p.assign(alloc, 0x5A);
    tileW.assign(static_cast<size_t>((mc.tileCols > 0 ? mc.tileCols : 0) + 4), int16_t(0x7777));
    tileH.assign(static_cast<size_t>((mc.tileRows > 0 ? mc.tileRows : 0) + 4), int16_t(0x6666));
    const int room = mc.rampRoom > 0 ? mc.rampRoom : (mc.borderWidth > 0 ? mc.borderWidth / 2 + 1 : 1);
    for (auto& r : ramps) r.assign(static_cast<size_t>(room) + 4, 0xC3);

    param.planeBytes = static_cast<int32_t>(planeBytes);
    for (int s = 0; s < 4; ++s) param.shade[s] = mc.shade[s];
    param.width = mc.width;
    param.lineBytes = lb;
    param.height = mc.height;
    param.tileWidth = mc.tileWidth;
    param.tileHeight = mc.tileHeight;
    param.reserved0 = 0;
    param.reserved1 = 0;
    param.tileCols = mc.tileCols;
    param.tileRows = mc.tileRows;
    param.splitRemainder = mc.splitRemainder;
    param.borderMode = mc.borderMode;
    param.borderWidth = mc.borderWidth;
    for (int c = 0; c < 3; ++c) param.borderValue[c] = mc.borderValue[c];
    bind();
}

MosaicRun::MosaicRun(const MosaicRun& o) : param(o.param), tileW(o.tileW), tileH(o.tileH) {
    for (int i = 0; i < 6; ++i) planes[i] = o.planes[i];
    for (int i = 0; i < 12; ++i) ramps[i] = o.ramps[i];
    bind();
}

void MosaicRun::bind() {
    for (int c = 0; c < 3; ++c) {
        param.outPlane[c] = planes[c].data();
        param.inPlane[c] = planes[3 + c].data();
    }
    param.tileWidths = tileW.data();
    param.tileHeights = tileH.data();
    for (int i = 0; i < 12; ++i) param.ramp[i] = ramps[i].data();
}

void MosaicRun::randomize(std::mt19937& rng) {
    for (auto& p : planes) fillRandom(p, rng);
}

void MosaicRun::fillAll(uint8_t value) {
    for (auto& p : planes) std::memset(p.data(), value, p.size());
}

std::string MosaicRun::diff(const MosaicRun& o) const {
    static const char* kNames[6] = {"outPlane[0]", "outPlane[1]", "outPlane[2]",
                                    "inPlane[0]",  "inPlane[1]",  "inPlane[2]"};
    std::ostringstream s;
    for (int i = 0; i < 6; ++i) {
        const auto& a = planes[i];
        const auto& b = o.planes[i];
        for (size_t k = 0; k < a.size(); ++k) {
            if (a[k] != b[k]) {
                s << kNames[i] << " byte " << k << ": " << int(a[k]) << " vs " << int(b[k]);
                if (param.lineBytes > 0) {
                    s << " (upright row " << k / size_t(param.lineBytes) << " col "
                      << k % size_t(param.lineBytes);
                    if (param.height > 0)
                        s << "; turned row " << k / size_t(param.height) << " col "
                          << k % size_t(param.height);
                    s << ")";
                }
                return s.str();
            }
        }
    }
    if (tileW != o.tileW) return "tileWidths differ";
    if (tileH != o.tileH) return "tileHeights differ";
    for (int i = 0; i < 12; ++i) {
        if (ramps[i] != o.ramps[i]) {
            s << "ramp[" << i << "] differs";
            return s.str();
        }
    }
    return "";
}

std::string describe(const MosaicCase& mc) {
    std::ostringstream s;
    s << mc.width << "x" << mc.height << " tile " << mc.tileWidth << "x" << mc.tileHeight << " count "
      << mc.tileCols << "x" << mc.tileRows << " split " << mc.splitRemainder << " mode " << mc.borderMode
      << " bw " << mc.borderWidth << " value " << mc.borderValue[0] << "," << mc.borderValue[1] << ","
      << mc.borderValue[2] << " shade " << mc.shade[0] << "," << mc.shade[1] << "," << mc.shade[2] << ","
      << mc.shade[3] << " planeBytes+" << mc.planeBytesExtra;
    return s.str();
}

MosaicComparison runAndCompare(const MosaicRun& input, const ref::Options& opt) {
    MosaicComparison result;
    MosaicRun mod(input), rf(input);
    unsigned char before[sizeof(PolarMosaicParam)];
    std::memcpy(before, &mod.param, sizeof before);
    iPolarMosaic0(&mod.param);
    result.recordUnchanged = std::memcmp(before, &mod.param, sizeof before) == 0;
    result.report = ref::polarMosaic(&rf.param, opt);
    if (result.report.outcome == ref::Outcome::kGaveUp) {
        result.diff = "reference gave up (round cap)";
        return result;
    }
    result.diff = mod.diff(rf);
    return result;
}

}  // namespace harness
