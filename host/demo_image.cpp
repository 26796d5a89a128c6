// demo_image.cpp - a synthetic test card for --demo.
#include "demo_image.h"

#include <stddef.h>

namespace polarmosaic {

namespace {

// Hue 0..1535 (six 256-step segments) at full saturation.
void Hue(int hue, int value, uint8_t* rgb) {
    int segment = (hue / 256) % 6;
    int f = hue % 256;
    int up = f, down = 255 - f;
    int r = 0, g = 0, b = 0;
    switch (segment) {
        case 0:
            r = 255;
            g = up;
            break;
        case 1:
            r = down;
            g = 255;
            break;
        case 2:
            g = 255;
            b = up;
            break;
        case 3:
            g = down;
            b = 255;
            break;
        case 4:
            r = up;
            b = 255;
            break;
        default:
            r = 255;
            b = down;
            break;
    }
    rgb[0] = static_cast<uint8_t>(r * value / 255);
    rgb[1] = static_cast<uint8_t>(g * value / 255);
    rgb[2] = static_cast<uint8_t>(b * value / 255);
}

void Set(uint8_t* rgb, int r, int g, int b) {
    rgb[0] = static_cast<uint8_t>(r);
    rgb[1] = static_cast<uint8_t>(g);
    rgb[2] = static_cast<uint8_t>(b);
}

}  // namespace

DemoImage MakeDemoImage(int width, int height) {
    DemoImage image;
    image.width = width;
    image.height = height;
    image.rgb.resize(static_cast<size_t>(width) * height * 3);
    // Shapes are laid out in a 1000 x 1000 frame scaled to the image.
    for (int y = 0; y < height; ++y) {
        int v = y * 1000 / height;
        for (int x = 0; x < width; ++x) {
            int u = x * 1000 / width;
            uint8_t* p = &image.rgb[(static_cast<size_t>(y) * width + x) * 3];
            // Rainbow across, darkening downwards.
            Hue(x * 1535 / width, 255 - v * 150 / 1000, p);
            // Fine diagonal stripes in the upper-left quarter.
            if (u < 450 && v < 400 && ((x + y) / 3) % 2 == 0) {
                Set(p, p[0] / 3, p[1] / 3, p[2] / 3);
            }
            // Checkerboard panel, lower left.
            if (u >= 60 && u < 400 && v >= 560 && v < 920) {
                bool dark = ((x / 8) + (y / 8)) % 2 == 0;
                int grey = dark ? 30 : 230;
                Set(p, grey, grey, grey);
            }
            // Sun: a disc with a hard edge, upper right.
            int dx = x - width * 72 / 100, dy = y - height * 28 / 100;
            int sun = height * 20 / 100;
            if (dx * dx + dy * dy < sun * sun) {
                Set(p, 255, 220, 60);
            }
            // Dark blue bar and a white cross, straight horizontal and vertical
            // edges through the middle.
            if (v >= 470 && v < 530 && u >= 450) Set(p, 20, 30, 120);
            if ((u >= 495 && u < 505) || (v >= 495 && v < 505)) {
                if (u >= 450 && v >= 420 && v < 980) Set(p, 250, 250, 250);
            }
            // Green triangle: two diagonal edges, lower right.
            if (v >= 620 && v < 940 && u >= 560 && u < 960) {
                int half = (v - 620) * 200 / 320;
                if (u >= 760 - half && u < 760 + half) Set(p, 30, 170, 70);
            }
            // Fine vertical hairlines on the triangle's right.
            if (u >= 900 && v >= 560 && v < 940 && x % 4 == 0) Set(p, 0, 0, 0);
        }
    }
    return image;
}

}  // namespace polarmosaic
