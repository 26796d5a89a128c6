// image.h - a decoded picture and the settings its loading and encoding
// take. The codecs, the metadata code and the tool share these; nothing
// here knows a file format.
#ifndef POLARMOSAIC_TOOL_IMAGE_H
#define POLARMOSAIC_TOOL_IMAGE_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "byte_buffer.h"
#include "mosaic_host.h"

namespace polarmosaic {

enum class ImageFormat { kUnknown, kPng, kJpeg, kPpm, kPgm, kWebp, kTiff, kGif };

// 8-bit interleaved RGB, or RGBA with straight (unassociated) alpha when
// loaded with LoadSettings::keep_alpha; rows width * channels bytes apart.
struct Image {
    int width = 0;
    int height = 0;
    int channels = 3;  // 3 or 4
    ByteBuffer rgb;    // the pixels; resized without zero-filling, reused by a batch
    ImageFormat format = ImageFormat::kUnknown;  // what it was read from
    std::string icc;                             // ICC profile, empty when none
    std::string exif;                            // EXIF block from its TIFF header on, empty when none
    // EXIF (or TIFF) orientation of the pixels as stored: 1 is upright.
    // Written back into the EXIF block of the output.
    int orientation = 1;
    // What the loader left out and why ("EXIF data left out (...)"), for
    // the user; the picture itself loaded.
    std::vector<std::string> warnings;
};

struct LoadSettings {
    // Colour that alpha is composited over.
    uint8_t background[3] = {255, 255, 255};
    // Pictures with alpha (PNG, WebP, TIFF; grey and alpha too) load as RGBA
    // instead of being laid over the background; an alpha that is opaque
    // everywhere is dropped (RGB, as with keep_alpha off).
    bool keep_alpha = false;
    // Images beyond these sizes are refused before any pixel memory is taken.
    int max_width = kMaxImageWidth;
    int max_height = kMaxImageHeight;
    // Turn the pixels upright as the EXIF orientation says.
    bool auto_orient = true;
    // Called once the header has been read and before any pixel memory is
    // taken, with the image size and the bytes the decoder needs beyond the
    // image's pixels (image->channels is set by then). Returning false
    // refuses the image with the reason given.
    std::function<bool(int width, int height, uint64_t decoder_bytes, std::string* error)> reserve;
};

struct EncodeSettings {
    int quality = 90;       // JPEG and lossy WebP, 1 .. 100
    bool lossless = false;  // WebP
};

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_IMAGE_H
