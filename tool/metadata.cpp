// metadata.cpp - orientation and colour profiles of loaded pictures.
#include "metadata.h"

#include <string.h>

#include <algorithm>

#include <lcms2.h>

namespace polarmosaic {

namespace {

cmsHPROFILE SrgbProfile() { return cmsCreate_sRGBProfile(); }

}  // namespace

void ApplyOrientation(Image* image) {
    const int o = image->orientation;
    image->orientation = 1;
    if (o < 2 || o > 8) return;
    const int w = image->width, h = image->height;
    uint8_t* px = image->rgb.data();
    auto swap_pixels = [](uint8_t* a, uint8_t* b) {
        for (int c = 0; c < 3; ++c) std::swap(a[c], b[c]);
    };
    if (o == 2 || o == 3) {  // mirror every row
        for (int y = 0; y < h; ++y) {
            uint8_t* row = px + static_cast<size_t>(y) * w * 3;
            for (int x = 0; x < w / 2; ++x) swap_pixels(row + 3 * x, row + 3 * (w - 1 - x));
        }
    }
    if (o == 3 || o == 4) {  // rows upside down
        for (int y = 0; y < h / 2; ++y) {
            uint8_t* a = px + static_cast<size_t>(y) * w * 3;
            uint8_t* b = px + static_cast<size_t>(h - 1 - y) * w * 3;
            for (int i = 0; i < w * 3; ++i) std::swap(a[i], b[i]);
        }
    }
    if (o <= 4) return;
    // Output is h wide and w high; output (X, Y) comes from stored (x, y).
    ByteBuffer turned(image->rgb.size());
    for (int Y = 0; Y < w; ++Y) {
        uint8_t* out = turned.data() + static_cast<size_t>(Y) * h * 3;
        for (int X = 0; X < h; ++X) {
            int x, y;
            switch (o) {
                case 5:
                    x = Y;
                    y = X;
                    break;  // transpose
                case 6:
                    x = Y;
                    y = h - 1 - X;
                    break;  // turn clockwise
                case 7:
                    x = w - 1 - Y;
                    y = h - 1 - X;
                    break;  // transverse
                default:
                    x = w - 1 - Y;
                    y = X;
                    break;  // turn anticlockwise
            }
            memcpy(out + 3 * X, px + (static_cast<size_t>(y) * w + x) * 3, 3);
        }
    }
    image->rgb.swap(turned);
    image->width = h;
    image->height = w;
}

bool ConvertToSrgb(Image* image, std::string* error) {
    if (image->icc.empty()) return true;
    cmsHPROFILE input =
        cmsOpenProfileFromMem(image->icc.data(), static_cast<cmsUInt32Number>(image->icc.size()));
    if (!input) {
        *error = "its ICC profile cannot be read (--srgb)";
        return false;
    }
    cmsColorSpaceSignature space = cmsGetColorSpace(input);
    // Grey pixels were spread over three channels: read the first, skip two.
    cmsUInt32Number in_format = space == cmsSigGrayData ? (TYPE_GRAY_8 | EXTRA_SH(2)) : TYPE_RGB_8;
    if (space != cmsSigGrayData && space != cmsSigRgbData) {
        cmsCloseProfile(input);
        *error = "its ICC profile is not for RGB or grey pixels (--srgb)";
        return false;
    }
    cmsHPROFILE srgb = SrgbProfile();
    cmsHTRANSFORM transform = cmsCreateTransform(input, in_format, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
    cmsCloseProfile(input);
    cmsCloseProfile(srgb);
    if (!transform) {
        *error = "its ICC profile cannot be converted to sRGB (--srgb)";
        return false;
    }
    // Row by row, in place: input and output pixels are both 3 bytes.
    for (int y = 0; y < image->height; ++y) {
        uint8_t* row = image->rgb.data() + static_cast<size_t>(y) * image->width * 3;
        cmsDoTransform(transform, row, row, static_cast<cmsUInt32Number>(image->width));
    }
    cmsDeleteTransform(transform);
    image->icc.clear();
    return true;
}

}  // namespace polarmosaic
