// Fuzz target for animated GIF and WebP: arbitrary bytes through the same
// TransformAnimation the tool calls, with an effect that leaves the frames
// as they are. It must come back with an animation or a reason; the
// effect must only ever see whole canvases of the size first announced.
// The last byte picks the output format (even: WebP, odd: GIF). Canvases
// are limited to 1024 x 1024 and 16 MiB of working memory, as a budget
// would, so that a large but allowed size is refused instead of decoded.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "animation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    polarmosaic::AnimationSettings settings;
    settings.max_width = 1024;
    settings.max_height = 1024;
    settings.lossless = true;
    int announced_width = -1, announced_height = -1;
    settings.reserve = [&](int width, int height, uint64_t bytes, std::string* reason) {
        announced_width = width;
        announced_height = height;
        if (bytes <= (uint64_t(16) << 20)) return true;
        *reason = "over the budget";
        return false;
    };
    const polarmosaic::FrameEffect effect = [&](uint8_t* rgba, int width, int height, int, std::string*) {
        if (width != announced_width || height != announced_height || rgba == nullptr) {
            fprintf(stderr, "frame of %d x %d after a canvas of %d x %d\n", width, height, announced_width,
                    announced_height);
            abort();
        }
        rgba[0] ^= 0;  // the first byte of the canvas is there to touch
        rgba[static_cast<size_t>(width) * height * 4 - 1] ^= 0;
        return true;
    };
    const polarmosaic::AnimationFormat format =
        data[size - 1] & 1 ? polarmosaic::AnimationFormat::kGif : polarmosaic::AnimationFormat::kWebp;
    polarmosaic::ByteBuffer out;
    std::string error;
    polarmosaic::AnimationInfo info;
    const bool ok =
        polarmosaic::TransformAnimation(data, size, format, settings, effect, &out, &error, &info);
    if (!ok && error.empty()) {
        fputs("refused without a reason\n", stderr);
        abort();
    }
    return 0;
}
