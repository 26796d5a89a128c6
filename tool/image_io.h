// image_io.h - decoding and encoding of PNG, JPEG, WebP, TIFF and binary
// PPM/PGM, with their ICC profile and EXIF block.
//
// Everything works on memory so the loader can be fed arbitrary bytes (a
// fuzz target needs nothing else). Library errors never abort: libpng and
// libjpeg report through setjmp/longjmp handlers and come back as messages.
#ifndef POLARMOSAIC_TOOL_IMAGE_IO_H
#define POLARMOSAIC_TOOL_IMAGE_IO_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "byte_buffer.h"

namespace polarmosaic {

enum class ImageFormat { kUnknown, kPng, kJpeg, kPpm, kPgm, kWebp, kTiff };

// 8-bit interleaved RGB, rows width * 3 bytes apart.
struct Image {
    int width = 0;
    int height = 0;
    ByteBuffer rgb;                              // resized without zero-filling; reused by a batch
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
    // Images beyond these sizes are refused before any pixel memory is taken.
    int max_width = 32752;
    int max_height = 32767;
    // Turn the pixels upright as the EXIF orientation says.
    bool auto_orient = true;
    // Called once the header has been read and before any pixel memory is
    // taken, with the image size and the bytes the decoder needs beyond the
    // RGB image. Returning false refuses the image with the reason given.
    std::function<bool(int width, int height, uint64_t decoder_bytes, std::string* error)> reserve;
};

// Format by content: the first bytes of the data.
ImageFormat SniffFormat(const uint8_t* data, size_t size);

// False with the reason when the first bytes of a file (up to 64) show it
// is no image the loader reads.
bool CheckImageHead(const uint8_t* data, size_t size, std::string* error);

// Format by the extension of a file name (case-insensitive), kUnknown if none
// matches.
ImageFormat FormatFromExtension(const std::string& path);
// Format by name as given on the command line ("png", "jpg", ...).
ImageFormat FormatFromName(const std::string& name);
const char* FormatName(ImageFormat format);
const char* FormatExtension(ImageFormat format);

// Decodes data into *image. On failure returns false and puts a short reason
// ("not a PNG, JPEG or PPM/PGM image", "truncated PNG data", ...) into *error;
// *image is then unspecified. Throws std::bad_alloc only when memory runs
// out for an image within the size limits.
bool LoadImage(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
               std::string* error);

struct EncodeSettings {
    int quality = 90;       // JPEG and lossy WebP, 1 .. 100
    bool lossless = false;  // WebP
};

// True when settings.quality changes the output of format.
bool FormatUsesQuality(ImageFormat format, const EncodeSettings& settings);

// Encodes image in format into *out, with its ICC profile and EXIF block
// where the format holds them (PPM/PGM hold neither). PGM keeps the luma
// (BT.601) only. The profile goes only where it describes the pixels
// written: an RGB profile ('RGB ' colour space); a grey, CMYK or other
// profile is left out, and so is one too large for the format. Metadata
// left out is named in *warnings (when given); the picture is still
// written.
bool EncodeImage(const Image& image, ImageFormat format, const EncodeSettings& settings, ByteBuffer* out,
                 std::string* error, std::vector<std::string>* warnings = nullptr);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_IMAGE_IO_H
