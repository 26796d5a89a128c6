// Fuzz target for the tool's image loading: arbitrary bytes as the content
// of an input file, through the same LoadImage the tool calls. The loader
// must come back with either an image of consistent size or a reason; libpng
// and libjpeg errors must not escape.
//
// A PPM header with a size of 0 ("P6 40 0 255") loads as an empty image;
// the tool then refuses it for its size, so only the image's consistency is
// checked here.
//
// The size limits are lowered from the tool's (32752 x 32767) to 4096 x 4096
// so that an input claiming a large but allowed size cannot make a single
// run take gigabytes; the refusal of sizes beyond a limit is the same code
// either way.
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
    polarmosaic::Image image;
    std::string error;
    const bool ok = polarmosaic::LoadImage(data, size, settings, &image, &error);
    if (ok) {
        const bool consistent = image.width >= 0 && image.height >= 0 && image.width <= settings.max_width &&
                                image.height <= settings.max_height &&
                                image.rgb.size() == static_cast<size_t>(image.width) * image.height * 3;
        if (!consistent) {
            fprintf(stderr, "loaded image of %d x %d with %zu bytes\n", image.width, image.height, image.rgb.size());
            abort();
        }
    } else if (error.empty()) {
        fprintf(stderr, "refused without a reason\n");
        abort();
    }
    return 0;
}
