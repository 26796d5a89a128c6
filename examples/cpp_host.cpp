// Minimal C++ host: the same effect as the C host with owning containers.
// It builds the same picture and prints the same checksum line, so the two
// can be compared.
#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <polarmosaic/polarmosaic.h>

namespace {

struct MosaicBuffers {
    // Two plane sets of height * lcw16(width) bytes each, the tile arrays and
    // twelve ramps of borderWidth / 2 + 1 entries: everything a call touches.
    std::array<std::vector<uint8_t>, 3> input, output;
    std::vector<int16_t> tileWidths, tileHeights;
    std::array<std::vector<uint8_t>, 12> ramps;
};

int16_t coveringCount(int dim, int tile) {
    return static_cast<int16_t>(dim % tile == 0 ? dim / tile : dim / tile + 2);
}

uint32_t checksum(const std::array<std::vector<uint8_t>, 3>& planes, int width, int height, int lineBytes) {
    uint32_t hash = 2166136261u;
    for (const auto& plane : planes)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                hash ^= plane[static_cast<size_t>(y * lineBytes + x)];
                hash *= 16777619u;
            }
    return hash;
}

}  // namespace

int main() {
    const int width = 320, height = 240, tileWidth = 16, tileHeight = 20, borderWidth = 4;
    const int16_t lineBytes = lcw16(static_cast<int16_t>(width));
    const size_t planeBytes = static_cast<size_t>(height) * static_cast<size_t>(lineBytes);

    MosaicBuffers buffers;
    for (int c = 0; c < 3; ++c) {
        buffers.input[c].assign(planeBytes, 0);
        buffers.output[c].assign(planeBytes, 0);
    }
    buffers.tileWidths.assign(static_cast<size_t>(coveringCount(width, tileWidth)), 0);
    buffers.tileHeights.assign(static_cast<size_t>(coveringCount(height, tileHeight)), 0);
    for (auto& ramp : buffers.ramps) ramp.assign(borderWidth / 2 + 1, 0);

    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const size_t at = static_cast<size_t>(y * lineBytes + x);
            const int checker = ((x / 20 + y / 20) & 1) ? 40 : 0;
            buffers.input[0][at] = static_cast<uint8_t>(x * 255 / (width - 1));
            buffers.input[1][at] = static_cast<uint8_t>(y * 255 / (height - 1));
            buffers.input[2][at] = static_cast<uint8_t>(200 - checker);
        }

    PolarMosaicParam param = {};
    for (int c = 0; c < 3; ++c) {
        param.inPlane[c] = buffers.input[c].data();
        param.outPlane[c] = buffers.output[c].data();
    }
    for (int i = 0; i < 12; ++i) param.ramp[i] = buffers.ramps[i].data();
    param.planeBytes = static_cast<int32_t>(planeBytes);
    param.tileWidths = buffers.tileWidths.data();
    param.tileHeights = buffers.tileHeights.data();
    param.width = static_cast<int16_t>(width);
    param.lineBytes = lineBytes;
    param.height = static_cast<int16_t>(height);
    param.tileWidth = static_cast<int16_t>(tileWidth);
    param.tileHeight = static_cast<int16_t>(tileHeight);
    param.tileCols = static_cast<int16_t>(buffers.tileWidths.size());
    param.tileRows = static_cast<int16_t>(buffers.tileHeights.size());
    param.splitRemainder = 1;
    param.borderMode = 2;
    param.borderWidth = static_cast<int16_t>(borderWidth);
    param.borderValue[0] = param.borderValue[1] = param.borderValue[2] = 255;
    for (float& s : param.shade) s = 0.6f;

    iPolarMosaic0(&param);

    std::printf("checksum %08x\n", static_cast<unsigned>(checksum(buffers.output, width, height, lineBytes)));
    return 0;
}
