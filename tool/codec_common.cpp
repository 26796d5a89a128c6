// codec_common.cpp - what the decoders and encoders share: size checks,
// conversion to RGB, the orientation's memory, the EXIF block written.
#include "codec_internal.h"
#include "exif.h"
#include "mosaic_host.h"

namespace polarmosaic {
namespace codec {

std::string SizeText(uint64_t width, uint64_t height) {
    return std::to_string(width) + " x " + std::to_string(height);
}

std::string TooLargeText(uint64_t width, uint64_t height, const LoadSettings& settings) {
    return "image is " + SizeText(width, height) + " pixels, larger than the effect can take (at most " +
           SizeText(settings.max_width, settings.max_height) + ")";
}

bool TooLarge(uint64_t width, uint64_t height, const LoadSettings& settings) {
    return width > static_cast<uint64_t>(settings.max_width) ||
           height > static_cast<uint64_t>(settings.max_height);
}

// Converts 1..4 channel 8-bit rows (grey, grey+alpha, RGB, RGBA) to RGB.
void ToRgb(const uint8_t* src, size_t src_stride, int channels, int width, int height,
           const uint8_t background[3], uint8_t* dst) {
    for (int y = 0; y < height; ++y) {
        const uint8_t* s = src + y * src_stride;
        uint8_t* d = dst + static_cast<size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            switch (channels) {
                case 1:
                    d[0] = d[1] = d[2] = s[0];
                    break;
                case 2:
                    for (int c = 0; c < 3; ++c) d[c] = AlphaOver(s[0], s[1], background[c]);
                    break;
                case 3:
                    d[0] = s[0];
                    d[1] = s[1];
                    d[2] = s[2];
                    break;
                default:
                    for (int c = 0; c < 3; ++c) d[c] = AlphaOver(s[c], s[3], background[c]);
                    break;
            }
            s += channels;
            d += 3;
        }
    }
}

// Extra decoder bytes of turning an image upright.
uint64_t OrientationBytes(const Image& image, const LoadSettings& settings, uint64_t width, uint64_t height) {
    return settings.auto_orient && image.orientation >= 5 ? width * height * image.channels : 0;
}

const char kExifTooLargeWarning[] = "EXIF data left out (more than 32768 entries or 1 MiB of values)";

std::string OutputExif(const Image& image) {
    std::string exif = image.exif;
    SetExifOrientation(&exif, image.orientation);
    SetExifPixelSize(&exif, image.width, image.height);
    UnlinkExifThumbnail(&exif);
    return exif;
}

}  // namespace codec
}  // namespace polarmosaic
