// metadata.h - orientation and colour profiles of loaded pictures.
#ifndef POLARMOSAIC_TOOL_METADATA_H
#define POLARMOSAIC_TOOL_METADATA_H

#include <string>

#include "image.h"

namespace polarmosaic {

// Turns and mirrors the image so that it shows upright, as the EXIF
// orientation (2 .. 8) says, and sets image->orientation to 1. Orientations
// 5 to 8 swap width and height and need a second buffer of the image's size.
void ApplyOrientation(Image* image);

// Converts the pixels from image->icc to sRGB with Little CMS and drops the
// profile. False with the reason when the profile cannot be used.
bool ConvertToSrgb(Image* image, std::string* error);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_METADATA_H
