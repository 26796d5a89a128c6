// animation_codec.h - the frame readers and writers behind animation.cpp.
#ifndef POLARMOSAIC_TOOL_ANIMATION_CODEC_H
#define POLARMOSAIC_TOOL_ANIMATION_CODEC_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "animation.h"
#include "byte_buffer.h"

namespace polarmosaic {
namespace anim {

class FrameReader {
public:
    virtual ~FrameReader() = default;
    // Reads the header and walks the frames' structure without decoding
    // pixels: fills in width, height, frames and loop_count, and refuses
    // truncated data (naming the frame), too many frames or a total
    // duration beyond INT_MAX ms. Takes no canvas memory.
    virtual bool Scan(const uint8_t* data, size_t size, AnimationInfo* info, std::string* error) = 0;
    // Bytes that decoding will take beyond the compressed data.
    virtual uint64_t WorkingBytes() const = 0;
    // Decodes the next frame: *canvas points at width * height * 4 bytes
    // of RGBA owned by the reader, valid until the next call.
    virtual bool Next(const uint8_t** canvas, int* duration_ms, std::string* error) = 0;
};

class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    // rgba may be changed (a GIF writer thresholds its alpha).
    virtual bool Add(uint8_t* rgba, int duration_ms, std::string* error) = 0;
    virtual bool Finish(ByteBuffer* out, std::string* error) = 0;
};

// Total duration an animation may have: WebP timestamps are int
// milliseconds.
constexpr int64_t kMaxTotalDurationMs = 0x7fffffff;

// giflib's text for an error code.
std::string GifErrorText(int code);

std::unique_ptr<FrameReader> MakeGifReader();
std::unique_ptr<FrameReader> MakeWebpReader();

// Bytes the writers take while encoding a width x height canvas (beyond
// the output).
uint64_t GifWriterBytes(int width, int height);
uint64_t WebpWriterBytes(int width, int height);

// Both return null with *error when the library cannot start.
std::unique_ptr<FrameWriter> MakeGifWriter(int width, int height, int loop_count,
                                           const AnimationSettings& settings, std::string* error);
std::unique_ptr<FrameWriter> MakeWebpWriter(int width, int height, int loop_count,
                                            const AnimationSettings& settings, std::string* error);

}  // namespace anim
}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_ANIMATION_CODEC_H
