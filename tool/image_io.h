// image_io.h - the format registry: decoding and encoding of PNG, JPEG,
// WebP, TIFF and binary PPM/PGM, with their ICC profile and EXIF block.
//
// Everything works on memory so the loader can be fed arbitrary bytes (a
// fuzz target needs nothing else). Library errors never abort: libpng and
// libjpeg report through setjmp/longjmp handlers and come back as messages.
#ifndef POLARMOSAIC_TOOL_IMAGE_IO_H
#define POLARMOSAIC_TOOL_IMAGE_IO_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "image.h"

namespace polarmosaic {

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

// True when format holds alpha (PNG, WebP, TIFF): RGBA images go only there.
bool FormatHasAlpha(ImageFormat format);

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
