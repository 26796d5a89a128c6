// expected_pixels.cpp - the GIMP test's reference: what the plug-in must
// give for pictures the tool cannot take as GIMP does (alpha kept, the
// effect on a selection's bounds only), made the tool's way: the tool's
// option syntax, the host's UserSettings and ResolveSettings, MosaicHost.
// Nothing of the plug-in's own code is used.
//
//   expected_pixels add-alpha IN.png OUT.png
//       RGB to RGBA with an alpha pattern (a clear block, ramps, opaque).
//   expected_pixels apply IN.png OUT.png [--select X,Y,W,H]... OPTIONS
//       The effect on IN (RGBA when IN has alpha, else RGB), limited to the
//       bounding box of the rectangles given, whose outside stays IN; OPTIONS
//       as the tool takes them: --sectors --ring --border --border-width
//       --border-colour R,G,B --centre --angle --shade-outer/inner/ccw/cw.
//   expected_pixels diff A.png B.png
//       Exit 1 (naming the first differences) unless both decode to the
//       same RGBA pixels.
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mosaic_host.h"

namespace polarmosaic {
namespace {

struct Picture {
    int width = 0, height = 0;
    bool alpha = false;
    std::vector<uint8_t> rgba;  // always 4 bytes per pixel
};

[[noreturn]] void Fail(const std::string& message) {
    fprintf(stderr, "expected_pixels: %s\n", message.c_str());
    exit(2);
}

Picture Read(const std::string& path) {
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) Fail(path + ": " + image.message);
    Picture p;
    p.width = static_cast<int>(image.width);
    p.height = static_cast<int>(image.height);
    p.alpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    image.format = PNG_FORMAT_RGBA;
    p.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, p.rgba.data(), 0, nullptr)) Fail(path + ": " + image.message);
    return p;
}

void Write(const std::string& path, const Picture& p) {
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(p.width);
    image.height = static_cast<png_uint_32>(p.height);
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> rgb;
    const void* data = p.rgba.data();
    if (!p.alpha) {
        image.format = PNG_FORMAT_RGB;
        for (size_t i = 0; i < p.rgba.size(); i += 4) rgb.insert(rgb.end(), &p.rgba[i], &p.rgba[i] + 3);
        data = rgb.data();
    }
    if (!png_image_write_to_file(&image, path.c_str(), 0, data, 0, nullptr))
        Fail(path + ": " + image.message);
}

struct Rect {
    int x, y, w, h;
    bool Contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }
};

MosaicOptions ParseOptions(int argc, char** argv, int first, int width, int height,
                           std::vector<Rect>* rects) {
    UserSettings s;
    for (int i = first; i < argc; i += 2) {
        const std::string name = argv[i];
        if (i + 1 >= argc) Fail("option " + name + " needs a value");
        const std::string value = argv[i + 1];
        bool ok = true;
        if (name == "--select") {
            Rect r;
            ok = sscanf(value.c_str(), "%d,%d,%d,%d", &r.x, &r.y, &r.w, &r.h) == 4;
            rects->push_back(r);
        } else if (name == "--sectors") {
            s.sectors = atoi(value.c_str());
        } else if (name == "--ring") {
            ok = ParseLength(value, &s.ring);
        } else if (name == "--border-width") {
            ok = ParseLength(value, &s.line_width);
            s.line_width_given = true;
        } else if (name == "--border") {
            static const char* const kNames[] = {"none", "grid", "rings", "spokes"};
            static const int kModes[] = {kBorderNone, kBorderGrid, kBorderRings, kBorderSpokes};
            ok = false;
            for (int m = 0; m < 4; ++m) {
                if (value == kNames[m]) ok = (s.mosaic.borderMode = kModes[m], true);
            }
        } else if (name == "--border-colour") {
            int* c = s.mosaic.borderColor;
            ok = sscanf(value.c_str(), "%d,%d,%d", &c[0], &c[1], &c[2]) == 3;
        } else if (name == "--centre") {
            ok = ParseCentre(value, &s.centre);
        } else if (name == "--angle") {
            ok = ParseAngle(value, &s.mosaic.angle);
        } else if (name == "--shade-outer" || name == "--shade-inner" || name == "--shade-ccw" ||
                   name == "--shade-cw") {
            const int side = name == "--shade-outer"   ? kShadeOuter
                             : name == "--shade-inner" ? kShadeInner
                             : name == "--shade-ccw"   ? kShadeCcw
                                                       : kShadeCw;
            s.mosaic.shade[side] = static_cast<float>(strtod(value.c_str(), nullptr));
        } else {
            Fail("unknown option " + name);
        }
        if (!ok) Fail("option " + name + ": '" + value + "' is not usable");
    }
    std::string reason;
    MosaicOptions options = ResolveSettings(s, width, height, &reason);
    if (!reason.empty()) Fail(reason);
    options.threads = 1;
    return options;
}

void Apply(int argc, char** argv) {
    Picture p = Read(argv[2]);
    std::vector<Rect> rects;
    // The box first (its size resolves the lengths), so parse twice.
    ParseOptions(argc, argv, 4, p.width, p.height, &rects);
    Rect box = {0, 0, p.width, p.height};
    if (!rects.empty()) {
        int x0 = p.width, y0 = p.height, x1 = 0, y1 = 0;
        for (const Rect& r : rects) {
            x0 = std::min(x0, r.x), y0 = std::min(y0, r.y);
            x1 = std::max(x1, r.x + r.w), y1 = std::max(y1, r.y + r.h);
        }
        box = {x0, y0, x1 - x0, y1 - y0};
    }
    rects.clear();
    const MosaicOptions options = ParseOptions(argc, argv, 4, box.w, box.h, &rects);
    const int channels = p.alpha ? 4 : 3;
    std::vector<uint8_t> crop(static_cast<size_t>(box.w) * box.h * channels);
    for (int y = 0; y < box.h; ++y) {
        for (int x = 0; x < box.w; ++x) {
            const uint8_t* in = &p.rgba[(static_cast<size_t>(box.y + y) * p.width + box.x + x) * 4];
            std::copy_n(in, channels, &crop[(static_cast<size_t>(y) * box.w + x) * channels]);
        }
    }
    MosaicHost host;
    std::string reason;
    if (!host.Prepare(box.w, box.h, options, &reason)) Fail(reason);
    host.Apply(crop.data(), box.w * channels, crop.data(), box.w * channels, channels);
    for (int y = 0; y < box.h; ++y) {
        for (int x = 0; x < box.w; ++x) {
            bool selected = rects.empty();
            for (const Rect& r : rects) selected = selected || r.Contains(box.x + x, box.y + y);
            if (!selected) continue;
            uint8_t* out = &p.rgba[(static_cast<size_t>(box.y + y) * p.width + box.x + x) * 4];
            std::copy_n(&crop[(static_cast<size_t>(y) * box.w + x) * channels], channels, out);
        }
    }
    Write(argv[3], p);
}

void AddAlpha(const char* in, const char* out) {
    Picture p = Read(in);
    p.alpha = true;
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            // A clear block, a ramp across, opaque at the bottom.
            int a = x < p.width / 4 && y < p.height / 4 ? 0
                    : y > p.height * 3 / 4              ? 255
                                                        : x * 255 / (p.width - 1);
            p.rgba[(static_cast<size_t>(y) * p.width + x) * 4 + 3] = static_cast<uint8_t>(a);
        }
    }
    Write(out, p);
}

int Diff(const char* a_path, const char* b_path) {
    const Picture a = Read(a_path), b = Read(b_path);
    if (a.width != b.width || a.height != b.height) {
        fprintf(stderr, "%s is %d x %d, %s %d x %d\n", a_path, a.width, a.height, b_path, b.width, b.height);
        return 1;
    }
    long differing = 0;
    for (int i = 0; i < a.width * a.height; ++i) {
        if (memcmp(&a.rgba[i * 4ull], &b.rgba[i * 4ull], 4) == 0) continue;
        if (++differing <= 5) {
            const uint8_t *p = &a.rgba[i * 4ull], *q = &b.rgba[i * 4ull];
            fprintf(stderr, "(%d,%d): %s %d,%d,%d,%d, %s %d,%d,%d,%d\n", i % a.width, i / a.width, a_path,
                    p[0], p[1], p[2], p[3], b_path, q[0], q[1], q[2], q[3]);
        }
    }
    if (differing) fprintf(stderr, "%ld of %d pixels differ\n", differing, a.width * a.height);
    return differing ? 1 : 0;
}

}  // namespace
}  // namespace polarmosaic

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "add-alpha" && argc == 4) {
        polarmosaic::AddAlpha(argv[2], argv[3]);
        return 0;
    }
    if (command == "apply" && argc >= 4) {
        polarmosaic::Apply(argc, argv);
        return 0;
    }
    if (command == "diff" && argc == 4) return polarmosaic::Diff(argv[2], argv[3]);
    fprintf(stderr, "usage: expected_pixels add-alpha|apply|diff ...\n");
    return 2;
}
