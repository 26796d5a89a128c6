// demo_image.h - the built-in picture of --demo.
#ifndef POLARMOSAIC_TOOL_DEMO_IMAGE_H
#define POLARMOSAIC_TOOL_DEMO_IMAGE_H

#include "image_io.h"

namespace polarmosaic {

constexpr int kDemoWidth = 800;
constexpr int kDemoHeight = 600;

// Colour gradients, fine stripes and checks, and hard straight edges, so
// that both the tile averaging and the borders have something to show.
// Integer arithmetic only: the same bytes on every machine.
Image MakeDemoImage(int width = kDemoWidth, int height = kDemoHeight);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_DEMO_IMAGE_H
