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
    const int n = image->channels;  // bytes a pixel
    uint8_t* px = image->rgb.data();
    auto swap_pixels = [n](uint8_t* a, uint8_t* b) {
        for (int c = 0; c < n; ++c) std::swap(a[c], b[c]);
    };
    if (o == 2 || o == 3) {  // mirror every row
        for (int y = 0; y < h; ++y) {
            uint8_t* row = px + static_cast<size_t>(y) * w * n;
            for (int x = 0; x < w / 2; ++x) swap_pixels(row + n * x, row + n * (w - 1 - x));
        }
    }
    if (o == 3 || o == 4) {  // rows upside down
        for (int y = 0; y < h / 2; ++y) {
            uint8_t* a = px + static_cast<size_t>(y) * w * n;
            uint8_t* b = px + static_cast<size_t>(h - 1 - y) * w * n;
            for (int i = 0; i < w * n; ++i) std::swap(a[i], b[i]);
        }
    }
    if (o <= 4) return;
    // Output is h wide and w high; output (X, Y) comes from stored (x, y).
    ByteBuffer turned(image->rgb.size());
    for (int Y = 0; Y < w; ++Y) {
        uint8_t* out = turned.data() + static_cast<size_t>(Y) * h * n;
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
            memcpy(out + n * X, px + (static_cast<size_t>(y) * w + x) * n, n);
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
    // Row by row, in place: input and output pixels are both 3 bytes; with
    // alpha, through one RGB row, the alpha bytes left as they are.
    const int n = image->channels;
    ByteBuffer rgb(n == 3 ? 0 : static_cast<size_t>(image->width) * 3);
    for (int y = 0; y < image->height; ++y) {
        uint8_t* row = image->rgb.data() + static_cast<size_t>(y) * image->width * n;
        if (n == 3) {
            cmsDoTransform(transform, row, row, static_cast<cmsUInt32Number>(image->width));
            continue;
        }
        for (int x = 0; x < image->width; ++x) memcpy(&rgb[3 * static_cast<size_t>(x)], row + 4 * x, 3);
        cmsDoTransform(transform, rgb.data(), rgb.data(), static_cast<cmsUInt32Number>(image->width));
        for (int x = 0; x < image->width; ++x) memcpy(row + 4 * x, &rgb[3 * static_cast<size_t>(x)], 3);
    }
    cmsDeleteTransform(transform);
    image->icc.clear();
    return true;
}

}  // namespace polarmosaic
