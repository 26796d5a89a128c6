// exif.h - EXIF blocks.
//
// JPEG, PNG and WebP hold EXIF as one block (a small TIFF structure of its
// own, starting with "II*\0" or "MM\0*"). A TIFF file holds it as tags of its
// own first directory plus Exif, GPS and interoperability sub-directories.
// The tool reads a block's orientation, updates the tags that describe the
// pixels written, and translates between the two forms.
#ifndef POLARMOSAIC_TOOL_EXIF_H
#define POLARMOSAIC_TOOL_EXIF_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "byte_buffer.h"

namespace polarmosaic {

// The Orientation tag (1 .. 8) of an EXIF block; 1 when there is none or it
// is out of range.
int ExifOrientation(const std::string& exif);

// Sets the Orientation tag of an EXIF block, when it has one.
void SetExifOrientation(std::string* exif, int orientation);

// Sets PixelXDimension and PixelYDimension of the Exif directory, when it
// has them, to the size of the picture written (a quarter turn swaps them).
void SetExifPixelSize(std::string* exif, int width, int height);

// Ends an EXIF block at its first directory: the second one holds the
// thumbnail, which would show the picture as it was before the effect.
// Its bytes stay (maker notes may point anywhere) but nothing reaches them.
void UnlinkExifThumbnail(std::string* exif);

// The EXIF block of a TIFF file (classic or BigTIFF): the EXIF tags of its
// first directory (make, model, dates, orientation, ...) with the Exif, GPS
// and interoperability sub-directories, in the file's byte order. Empty when
// the file has no such tags beyond orientation and resolution. Entries that
// cannot be read are left out, and so is a second pointer to a directory
// already read. The work is bounded: at most 32768 entries are looked at and
// 1 MiB of entries and values taken; beyond that the whole block is left
// out and *too_large (when given) set.
std::string ExifFromTiff(const uint8_t* data, size_t size, bool* too_large = nullptr);

// True when an EXIF block is little-endian ("II"). A TIFF that is to take
// the block must be written in the block's byte order.
bool ExifIsLittleEndian(const std::string& exif);

// Adds the EXIF tags and sub-directories of an EXIF block to the first
// directory of a TIFF file in the same byte order. The file gets a new first
// directory at its end and its header points there. Tags the file already
// has keep their values. False, with the file unchanged, when the block or
// the file cannot be read or their byte orders differ, or when the block is
// beyond the bounds of ExifFromTiff (then *too_large is set, when given).
bool AddExifToTiff(const std::string& exif, ByteBuffer* tiff, bool* too_large = nullptr);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_EXIF_H
