// animation.h - animated GIF and WebP, frame by frame.
//
// An animation is decoded one frame at a time into a whole-canvas RGBA
// picture, handed to an effect that works in place, and encoded again as a
// GIF or WebP animation with the same canvas size, frame durations and loop
// count. Only a few canvases are held at once (the composed canvas, the one
// GIF disposal 3 restores, the frame given to the effect, and the
// libraries' working buffers), whatever the number of frames.
#ifndef POLARMOSAIC_TOOL_ANIMATION_H
#define POLARMOSAIC_TOOL_ANIMATION_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>

#include "byte_buffer.h"
#include "image.h"

namespace polarmosaic {

enum class AnimationFormat { kGif, kWebp };

// Most frames an animation may have: the effect runs on every one, so more
// is taken for a hostile file rather than a picture.
constexpr int kMaxAnimationFrames = 100000;

// True when data holds a GIF (one frame or more), or a WebP with the
// animation flag.
bool IsAnimation(const uint8_t* data, size_t size);

struct AnimationInfo {
    int width = 0;
    int height = 0;
    int frames = 0;      // frames read (and given to the effect)
    int loop_count = 0;  // times the animation plays; 0 = forever
};

// Runs on each frame: the whole canvas, width * height * 4 bytes of
// unpremultiplied RGBA, rewritten in place. index counts from 0. Returning
// false stops the animation with *error.
using FrameEffect = std::function<bool(uint8_t* rgba, int width, int height, int index, std::string* error)>;

struct AnimationSettings {
    int quality = 90;       // lossy WebP, 1 .. 100
    bool lossless = false;  // WebP
    // GIF: error diffusion when a frame is mapped to its palette. Off: the
    // effect's flat tiles stay flat instead of turning grainy.
    bool dither = false;
    // Canvases beyond these sizes are refused before any pixel memory is
    // taken.
    int max_width = 32752;
    int max_height = 32767;
    // Called once the canvas size is known and before any pixel memory is
    // taken, with the bytes that decoding and encoding take (the effect's
    // own needs are not included). Returning false refuses the animation
    // with the reason given.
    std::function<bool(int width, int height, uint64_t bytes, std::string* error)> reserve;
};

// Decodes an animated GIF or WebP in data frame by frame, runs effect on
// each whole canvas and encodes the result into *out as an animation of
// out_format, keeping the canvas size, each frame's duration and the loop
// count. On failure returns false with the reason in *error (a frame's
// problem names the frame, counted from 1). *info, when given, is filled
// in as soon as the input's header has been read.
//
// Durations: GIF stores centiseconds and WebP milliseconds, so WebP to GIF
// rounds to 10 ms. GIF delays of 0 are kept (browsers show them as 100 ms).
// A WebP encoder merges a frame identical to the one before into it (the
// duration adds up), so the output may have fewer frames than the input.
bool TransformAnimation(const uint8_t* data, size_t size, AnimationFormat out_format,
                        const AnimationSettings& settings, const FrameEffect& effect, ByteBuffer* out,
                        std::string* error, AnimationInfo* info = nullptr);

// The first frame of a GIF or animated WebP as a still picture: RGBA when
// settings.keep_alpha, else laid over the background. A warning names the
// frames left out.
bool LoadFirstFrame(const uint8_t* data, size_t size, AnimationFormat format, const LoadSettings& settings,
                    Image* image, std::string* error);

// A still picture (RGB or RGBA) as a GIF of one frame.
bool EncodeGifStill(const Image& image, ByteBuffer* out, std::string* error);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_ANIMATION_H
