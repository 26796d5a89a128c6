// metadata.h - EXIF orientation and colour profiles of loaded pictures.
#ifndef POLARMOSAIC_TOOL_METADATA_H
#define POLARMOSAIC_TOOL_METADATA_H

#include <string>

#include "image_io.h"

namespace polarmosaic {

// The Orientation tag (1 .. 8) of an EXIF block (TIFF structure, starting
// with "II*\0" or "MM\0*"); 1 when there is none or it is out of range.
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

// Turns and mirrors the image so that it shows upright, as the EXIF
// orientation (2 .. 8) says, and sets image->orientation to 1. Orientations
// 5 to 8 swap width and height and need a second buffer of the image's size.
void ApplyOrientation(Image* image);

// Converts the pixels from image->icc to sRGB with Little CMS and drops the
// profile. False with the reason when the profile cannot be used.
bool ConvertToSrgb(Image* image, std::string* error);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_METADATA_H
