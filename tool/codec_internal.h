// codec_internal.h - the codecs (codec_*.cpp) and what they share, for
// the format registry (format_registry.cpp).
#ifndef POLARMOSAIC_TOOL_CODEC_INTERNAL_H
#define POLARMOSAIC_TOOL_CODEC_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "image.h"

namespace polarmosaic {
namespace codec {

std::string SizeText(uint64_t width, uint64_t height);
std::string TooLargeText(uint64_t width, uint64_t height, const LoadSettings& settings);
bool TooLarge(uint64_t width, uint64_t height, const LoadSettings& settings);

// Converts 1..4 channel 8-bit rows (grey, grey+alpha, RGB, RGBA) to RGB,
// alpha laid over background.
void ToRgb(const uint8_t* src, size_t src_stride, int channels, int width, int height,
           const uint8_t background[3], uint8_t* dst);

// Extra decoder bytes of turning an image upright (its orientation and
// channels must be known).
uint64_t OrientationBytes(const Image& image, const LoadSettings& settings, uint64_t width, uint64_t height);

// The EXIF block to write: the image's, with its orientation tag set to
// the orientation and its pixel size to those of the pixels written, and
// no thumbnail.
std::string OutputExif(const Image& image);

// Bytes a JPEG marker segment holds after its length field.
constexpr size_t kJpegMarkerBytes = 65533;
// A profile is cut into at most 255 APP2 markers of 65519 bytes (the marker
// less its "ICC_PROFILE\0", sequence number and count).
constexpr size_t kJpegIccBytes = size_t(255) * 65519;

// The decoders: data of their format (sniffed) into *image, or false with
// the reason.
bool LoadPng(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
             std::string* error);
bool LoadJpeg(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
              std::string* error);
bool LoadPnm(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
             std::string* error);
bool LoadWebp(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
              std::string* error);
bool LoadTiff(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
              std::string* error);
// The encoders; icc is the profile to write (empty: none), warnings what
// was left out.
bool EncodePng(const Image& image, const std::string& icc, ByteBuffer* out, std::string* error);
bool EncodeJpeg(const Image& image, const std::string& icc, int quality, ByteBuffer* out, std::string* error,
                std::vector<std::string>* warnings);
// PGM keeps the luma only.
void EncodePnm(const Image& image, bool grey, ByteBuffer* out);
bool EncodeWebp(const Image& image, const std::string& icc, const EncodeSettings& settings, ByteBuffer* out,
                std::string* error);
bool EncodeTiff(const Image& image, const std::string& icc, ByteBuffer* out, std::string* error,
                std::vector<std::string>* warnings);

// Warning texts shared by the encoders and decoders.
extern const char kExifTooLargeWarning[];

}  // namespace codec
}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_CODEC_INTERNAL_H
