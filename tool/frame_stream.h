// frame_stream.h - video through a pipe: binary PPM frames one after
// another (what `ffmpeg -f image2pipe -vcodec ppm` writes and reads), each
// run through the effect and written out as it arrives.
#ifndef POLARMOSAIC_TOOL_FRAME_STREAM_H
#define POLARMOSAIC_TOOL_FRAME_STREAM_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>

#include "byte_buffer.h"
#include "mosaic_host.h"

namespace polarmosaic {

// Reads P6 frames (maxval 255) from a file descriptor, one at a time, into
// a buffer that is reused from frame to frame.
class PpmFrameReader {
public:
    explicit PpmFrameReader(int fd) : fd_(fd) {}

    enum Result { kFrame, kEnd, kError };
    // The next frame's size and pixels (width * height * 3 bytes). kEnd when
    // the stream ends between frames; kError with a reason that names the
    // frame (counted from 1) when it ends inside one or is no P6 frame.
    // reserve sees each frame's size before its pixel memory is taken (only
    // when the size changes) and may refuse it with a reason.
    Result Next(int* width, int* height, ByteBuffer* rgb, std::string* error);

    // Frames read whole so far.
    int64_t frames() const { return frames_; }

    std::function<bool(int width, int height, std::string* error)> reserve;
    int max_width = 32752;
    int max_height = 32767;

private:
    bool Fill(std::string* error);
    // -1 at the end of the stream.
    int PeekByte(std::string* error);
    bool ReadHeaderNumber(const char* what, int64_t* value, std::string* error, bool* ended);

    int fd_;
    uint8_t buffer_[1 << 16];
    size_t begin_ = 0, end_ = 0;
    bool eof_ = false;
    int64_t frames_ = 0;
    int last_width_ = 0, last_height_ = 0;
};

// Writes one P6 frame; false with a reason ("Broken pipe", ...) when the
// reader has gone.
bool WritePpmFrame(int fd, int width, int height, const uint8_t* rgb, std::string* error);

// Runs the effect with settings over every frame of a PPM stream on in_fd
// and writes each result to out_fd as soon as it is done. The plan of a
// size is built once; a frame of another size starts a new one. reserve
// sees each new frame size (see PpmFrameReader). False with a reason that
// names the frame when the stream is bad or the settings do not fit a
// frame; every frame before it has been written. *frames_written counts
// them.
bool RunFrameStream(int in_fd, int out_fd, const UserSettings& settings, MosaicHost* host,
                    const std::function<bool(int width, int height, std::string* error)>& reserve,
                    std::string* error, int64_t* frames_written);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_FRAME_STREAM_H
