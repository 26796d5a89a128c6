// Fuzz target for the tool's image loading: arbitrary bytes as the content
// of an input file, through the same LoadImage the tool calls. The loader
// must come back with either an image of consistent size or a reason; libpng
// and libjpeg errors must not escape.
//
// A PPM header with a size of 0 ("P6 40 0 255") loads as an empty image;
// the tool then refuses it for its size, so only the image's consistency is
// checked here.
//
// The size limits are lowered from the tool's (32752 x 32767) to 4096 x 4096,
// and a memory budget of 32 MiB per image is offered the way the tool
// offers its own, so that an input claiming a large but allowed size is
// decoded or refused within bounds (and within the per-input time limit
// under the sanitizers) instead of making a run take gigabytes. The seeds
// include such bombs (flat arithmetic-coded JPEGs of 1000 x 1000 and
// 4000 x 4000 in about 120 bytes, a progressive JPEG padded with a 40 KB
// comment, a 1-bit palette PNG of 4000 x 4000 with text); the 40 KB seed
// also raises libFuzzer's default input cap so that padded inputs can be
// reached.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "image_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    polarmosaic::LoadSettings settings;
    settings.max_width = 4096;
    settings.max_height = 4096;
    settings.reserve = [](int width, int height, uint64_t decoder_bytes, std::string* reason) {
        const uint64_t need = static_cast<uint64_t>(width) * height * 3 + decoder_bytes;
        if (need <= (uint64_t(32) << 20)) return true;
        *reason = "over the budget";
        return false;
    };
    polarmosaic::Image image;
    std::string error;
    const bool ok = polarmosaic::LoadImage(data, size, settings, &image, &error);
    if (ok) {
        const bool consistent = image.width >= 0 && image.height >= 0 && image.width <= settings.max_width &&
                                image.height <= settings.max_height &&
                                image.rgb.size() == static_cast<size_t>(image.width) * image.height * 3;
        if (!consistent) {
            fprintf(stderr, "loaded image of %d x %d with %zu bytes\n", image.width, image.height,
                    image.rgb.size());
            abort();
        }
        // Whatever EXIF came in is written into a TIFF's directories, which
        // must read back; small images only, to keep each run short.
        if (!image.exif.empty() && image.width > 0 && image.height > 0 &&
            image.width * image.height <= 4096) {
            polarmosaic::ByteBuffer tiff;
            polarmosaic::Image again;
            if (!polarmosaic::EncodeImage(image, polarmosaic::ImageFormat::kTiff, {}, &tiff, &error) ||
                !polarmosaic::LoadImage(tiff.data(), tiff.size(), settings, &again, &error) ||
                again.rgb != image.rgb) {
                fprintf(stderr, "TIFF with EXIF did not come back: %s\n", error.c_str());
                abort();
            }
        }
    } else if (error.empty()) {
        fprintf(stderr, "refused without a reason\n");
        abort();
    }
    return 0;
}
