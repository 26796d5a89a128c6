// metadata.cpp - EXIF orientation and colour profiles of loaded pictures.
#include "metadata.h"

#include <string.h>

#include <algorithm>

#include <lcms2.h>

namespace polarmosaic {

namespace {

// Reads and writes the TIFF structure of an EXIF block in its byte order;
// every offset is checked against the block's size.
struct ExifBlock {
    const std::string& data;
    bool little;

    static bool Order(const std::string& exif, bool* little) {
        if (exif.size() < 8) return false;
        *little = exif.compare(0, 4, "II*\0", 4) == 0;
        return *little || exif.compare(0, 4, "MM\0*", 4) == 0;
    }
    uint32_t U16(size_t at) const {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data()) + at;
        return little ? p[0] | (p[1] << 8) : (p[0] << 8) | p[1];
    }
    uint32_t U32(size_t at) const {
        return little ? U16(at) | (U16(at + 2) << 16) : (U16(at) << 16) | U16(at + 2);
    }
    void Put(std::string* out, size_t at, uint32_t value, int bytes) const {
        for (int i = 0; i < bytes; ++i) {
            (*out)[at + i] = static_cast<char>(value >> (8 * (little ? i : bytes - 1 - i)));
        }
    }
    // The number of entries of the directory at ifd, 0 when it lies outside.
    uint32_t Entries(uint64_t ifd) const {
        if (ifd < 8 || ifd + 2 > data.size()) return 0;
        uint32_t count = U16(static_cast<size_t>(ifd));
        return ifd + 2 + 12ull * count + 4 <= data.size() ? count : 0;
    }
    // Offset of the entry for tag in the directory at ifd, or 0.
    size_t Find(uint64_t ifd, uint32_t tag) const {
        for (uint32_t i = 0, n = Entries(ifd); i < n; ++i) {
            size_t entry = static_cast<size_t>(ifd + 2 + 12ull * i);
            if (U16(entry) == tag) return entry;
        }
        return 0;
    }
    uint64_t First() const { return U32(4); }
};

constexpr uint32_t kTypeShort = 3, kTypeLong = 4;

// Offset of the Orientation entry (SHORT) of the first directory, or 0.
size_t OrientationEntry(const ExifBlock& block) {
    size_t entry = block.Find(block.First(), 0x0112);
    return entry && block.U16(entry + 2) == kTypeShort ? entry : 0;
}

cmsHPROFILE SrgbProfile() { return cmsCreate_sRGBProfile(); }

}  // namespace

int ExifOrientation(const std::string& exif) {
    bool little = false;
    if (!ExifBlock::Order(exif, &little)) return 1;
    ExifBlock block{exif, little};
    size_t entry = OrientationEntry(block);
    uint32_t value = entry ? block.U16(entry + 8) : 1;
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
}

void SetExifOrientation(std::string* exif, int orientation) {
    bool little = false;
    if (!ExifBlock::Order(*exif, &little)) return;
    ExifBlock block{*exif, little};
    size_t entry = OrientationEntry(block);
    if (entry) block.Put(exif, entry + 8, static_cast<uint32_t>(orientation), 2);
}

void SetExifPixelSize(std::string* exif, int width, int height) {
    bool little = false;
    if (!ExifBlock::Order(*exif, &little)) return;
    ExifBlock block{*exif, little};
    size_t pointer = block.Find(block.First(), 0x8769);
    if (!pointer || block.U16(pointer + 2) != kTypeLong) return;
    const uint32_t tags[2] = {0xA002, 0xA003};  // PixelXDimension, PixelYDimension
    const int sizes[2] = {width, height};
    for (int k = 0; k < 2; ++k) {
        size_t entry = block.Find(block.U32(pointer + 8), tags[k]);
        uint32_t type = entry ? block.U16(entry + 2) : 0;
        if ((type != kTypeShort && type != kTypeLong) || block.U32(entry + 4) != 1) continue;
        // Sizes fit either type; the entry keeps its own.
        block.Put(exif, entry + 8, static_cast<uint32_t>(sizes[k]), type == kTypeShort ? 2 : 4);
    }
}

void UnlinkExifThumbnail(std::string* exif) {
    bool little = false;
    if (!ExifBlock::Order(*exif, &little)) return;
    ExifBlock block{*exif, little};
    uint64_t first = block.First();
    uint32_t entries = block.Entries(first);
    if (entries) block.Put(exif, static_cast<size_t>(first + 2 + 12ull * entries), 0, 4);
}

void ApplyOrientation(Image* image) {
    const int o = image->orientation;
    image->orientation = 1;
    if (o < 2 || o > 8) return;
    const int w = image->width, h = image->height;
    uint8_t* px = image->rgb.data();
    auto swap_pixels = [](uint8_t* a, uint8_t* b) {
        for (int c = 0; c < 3; ++c) std::swap(a[c], b[c]);
    };
    if (o == 2 || o == 3) {  // mirror every row
        for (int y = 0; y < h; ++y) {
            uint8_t* row = px + static_cast<size_t>(y) * w * 3;
            for (int x = 0; x < w / 2; ++x) swap_pixels(row + 3 * x, row + 3 * (w - 1 - x));
        }
    }
    if (o == 3 || o == 4) {  // rows upside down
        for (int y = 0; y < h / 2; ++y) {
            uint8_t* a = px + static_cast<size_t>(y) * w * 3;
            uint8_t* b = px + static_cast<size_t>(h - 1 - y) * w * 3;
            for (int i = 0; i < w * 3; ++i) std::swap(a[i], b[i]);
        }
    }
    if (o <= 4) return;
    // Output is h wide and w high; output (X, Y) comes from stored (x, y).
    ByteBuffer turned(image->rgb.size());
    for (int Y = 0; Y < w; ++Y) {
        uint8_t* out = turned.data() + static_cast<size_t>(Y) * h * 3;
        for (int X = 0; X < h; ++X) {
            int x, y;
            switch (o) {
                case 5:
                    x = Y;
                    y = X;
                    break;  // transpose
                case 6:
                    x = Y;
                    y = h - 1 - X;
                    break;  // turn clockwise
                case 7:
                    x = w - 1 - Y;
                    y = h - 1 - X;
                    break;  // transverse
                default:
                    x = w - 1 - Y;
                    y = X;
                    break;  // turn anticlockwise
            }
            memcpy(out + 3 * X, px + (static_cast<size_t>(y) * w + x) * 3, 3);
        }
    }
    image->rgb.swap(turned);
    image->width = h;
    image->height = w;
}

bool ConvertToSrgb(Image* image, std::string* error) {
    if (image->icc.empty()) return true;
    cmsHPROFILE input =
        cmsOpenProfileFromMem(image->icc.data(), static_cast<cmsUInt32Number>(image->icc.size()));
    if (!input) {
        *error = "its ICC profile cannot be read (--srgb)";
        return false;
    }
    cmsColorSpaceSignature space = cmsGetColorSpace(input);
    // Grey pixels were spread over three channels: read the first, skip two.
    cmsUInt32Number in_format = space == cmsSigGrayData ? (TYPE_GRAY_8 | EXTRA_SH(2)) : TYPE_RGB_8;
    if (space != cmsSigGrayData && space != cmsSigRgbData) {
        cmsCloseProfile(input);
        *error = "its ICC profile is not for RGB or grey pixels (--srgb)";
        return false;
    }
    cmsHPROFILE srgb = SrgbProfile();
    cmsHTRANSFORM transform = cmsCreateTransform(input, in_format, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
    cmsCloseProfile(input);
    cmsCloseProfile(srgb);
    if (!transform) {
        *error = "its ICC profile cannot be converted to sRGB (--srgb)";
        return false;
    }
    // Row by row, in place: input and output pixels are both 3 bytes.
    for (int y = 0; y < image->height; ++y) {
        uint8_t* row = image->rgb.data() + static_cast<size_t>(y) * image->width * 3;
        cmsDoTransform(transform, row, row, static_cast<cmsUInt32Number>(image->width));
    }
    cmsDeleteTransform(transform);
    image->icc.clear();
    return true;
}

}  // namespace polarmosaic
