// demo_image.h - the built-in picture: the tool's --demo and the page's
// first picture.
#ifndef POLARMOSAIC_HOST_DEMO_IMAGE_H
#define POLARMOSAIC_HOST_DEMO_IMAGE_H

#include <stdint.h>

#include <vector>

namespace polarmosaic {

constexpr int kDemoWidth = 800;
constexpr int kDemoHeight = 600;

// Interleaved 8-bit RGB, rows width * 3 bytes apart.
struct DemoImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

// Colour gradients, fine stripes and checks, and hard straight edges, so
// that both the tile averaging and the borders have something to show.
// Integer arithmetic only: the same bytes on every machine.
DemoImage MakeDemoImage(int width = kDemoWidth, int height = kDemoHeight);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_HOST_DEMO_IMAGE_H
