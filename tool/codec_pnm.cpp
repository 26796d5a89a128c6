// codec_pnm.cpp - binary PPM (P6) and PGM (P5): reading and writing.
#include <string.h>

#include "codec_internal.h"
#include "mosaic_host.h"

namespace polarmosaic {
namespace codec {

namespace {

// ------------------------------------------------------------ PPM/PGM read

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Reads one header number, skipping white space and # comments. Returns
// -1 at the end of the data, -2 on anything else or a value above limit.
int64_t ReadPnmNumber(const uint8_t* data, size_t size, size_t* pos, int64_t limit) {
    while (*pos < size) {
        if (IsSpace(data[*pos])) {
            ++*pos;
        } else if (data[*pos] == '#') {
            while (*pos < size && data[*pos] != '\n' && data[*pos] != '\r') ++*pos;
        } else {
            break;
        }
    }
    if (*pos >= size) return -1;
    if (data[*pos] < '0' || data[*pos] > '9') return -2;
    int64_t value = 0;
    while (*pos < size && data[*pos] >= '0' && data[*pos] <= '9') {
        value = value * 10 + (data[*pos] - '0');
        if (value > limit) return -2;
        ++*pos;
    }
    return value;
}

}  // namespace

bool LoadPnm(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
             std::string* error) {
    bool grey = data[1] == '5';
    const char* kind = grey ? "PGM" : "PPM";
    size_t pos = 2;
    // Large enough to report any claimed size as it stands (2^31 + 5 rows
    // too), small enough not to overflow.
    const int64_t kLimit = 1000000000000000;
    int64_t width = ReadPnmNumber(data, size, &pos, kLimit);
    int64_t height = width >= 0 ? ReadPnmNumber(data, size, &pos, kLimit) : 0;
    int64_t maxval = height >= 0 ? ReadPnmNumber(data, size, &pos, 65535) : 0;
    if (width == -1 || height == -1 || maxval == -1) {
        *error = std::string("truncated ") + kind + " header";
        return false;
    }
    if (width <= 0 || height <= 0 || maxval < 0) {
        *error = std::string("bad ") + kind + " header";
        return false;
    }
    if (maxval == 0 || pos >= size || !IsSpace(data[pos])) {
        *error = std::string("bad ") + kind + " header";
        return false;
    }
    ++pos;  // the single white-space byte before the samples
    if (TooLarge(static_cast<uint64_t>(width), static_cast<uint64_t>(height), settings)) {
        *error = TooLargeText(static_cast<uint64_t>(width), static_cast<uint64_t>(height), settings);
        return false;
    }
    int channels = grey ? 1 : 3;
    int sample_bytes = maxval > 255 ? 2 : 1;
    uint64_t needed = static_cast<uint64_t>(width) * height * channels * sample_bytes;
    if (size - pos < needed) {
        *error = std::string("truncated ") + kind + " data (" + std::to_string(size - pos) + " of " +
                 std::to_string(needed) + " sample bytes)";
        return false;
    }
    if (settings.reserve && !settings.reserve(static_cast<int>(width), static_cast<int>(height), 0, error)) {
        return false;
    }
    image->width = static_cast<int>(width);
    image->height = static_cast<int>(height);
    size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    image->rgb.resize(pixels * 3);
    const uint8_t* s = data + pos;
    uint32_t max = static_cast<uint32_t>(maxval);
    uint8_t* d = image->rgb.data();
    for (size_t i = 0; i < pixels * channels; ++i) {
        uint32_t v = sample_bytes == 2 ? (static_cast<uint32_t>(s[0]) << 8) | s[1] : s[0];
        s += sample_bytes;
        if (v > max) v = max;  // out-of-range samples are clamped
        uint8_t byte = max == 255 ? static_cast<uint8_t>(v) : static_cast<uint8_t>((v * 255 + max / 2) / max);
        if (grey) {
            d[0] = d[1] = d[2] = byte;
            d += 3;
        } else {
            *d++ = byte;
        }
    }
    return true;
}

// -------------------------------------------------------------- PNM write

void EncodePnm(const Image& image, bool grey, ByteBuffer* out) {
    std::string header = std::string(grey ? "P5\n" : "P6\n") + std::to_string(image.width) + " " +
                         std::to_string(image.height) + "\n255\n";
    size_t pixels = static_cast<size_t>(image.width) * image.height;
    out->resize(header.size() + pixels * (grey ? 1 : 3));
    memcpy(out->data(), header.data(), header.size());
    uint8_t* d = out->data() + header.size();
    if (!grey) {
        memcpy(d, image.rgb.data(), pixels * 3);
        return;
    }
    const uint8_t* s = image.rgb.data();
    for (size_t i = 0; i < pixels; ++i, s += 3) {
        d[i] = Luma(s[0], s[1], s[2]);
    }
}

}  // namespace codec
}  // namespace polarmosaic
