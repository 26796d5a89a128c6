// frame_stream.cpp - binary PPM frames through a pipe.
#include "frame_stream.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace polarmosaic {
namespace {

std::string FrameName(int64_t index) { return "frame " + std::to_string(index); }

bool IsSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Reads until size bytes are in or the stream ends; the bytes read.
size_t ReadFull(int fd, uint8_t* data, size_t size, int* error_number) {
    size_t done = 0;
    while (done < size) {
        ssize_t got = read(fd, data + done, size - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            *error_number = errno;
            break;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

}  // namespace

bool PpmFrameReader::Fill(std::string* error) {
    if (begin_ < end_ || eof_) return true;
    begin_ = end_ = 0;
    for (;;) {
        ssize_t got = read(fd_, buffer_, sizeof(buffer_));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *error = FrameName(frames_ + 1) + ": cannot read (" + strerror(errno) + ")";
            return false;
        }
        if (got == 0) eof_ = true;
        end_ = static_cast<size_t>(got);
        return true;
    }
}

int PpmFrameReader::PeekByte(std::string* error) {
    if (!Fill(error)) return -2;
    return begin_ < end_ ? buffer_[begin_] : -1;
}

// A header number after optional white space and comments. *ended is set
// when the stream ends before it.
bool PpmFrameReader::ReadHeaderNumber(const char* what, int64_t* value, std::string* error, bool* ended) {
    const std::string frame = FrameName(frames_ + 1);
    int c;
    for (;;) {
        c = PeekByte(error);
        if (c == -2) return false;
        if (c == -1) {
            *ended = true;
            *error = frame + " is truncated: the stream ends in its header";
            return false;
        }
        if (IsSpace(c)) {
            ++begin_;
        } else if (c == '#') {
            while ((c = PeekByte(error)) >= 0 && c != '\n') ++begin_;
            if (c == -2) return false;
        } else {
            break;
        }
    }
    if (c < '0' || c > '9') {
        *error = frame + ": no " + what + " in its PPM header";
        return false;
    }
    int64_t v = 0;
    while ((c = PeekByte(error)) >= '0' && c <= '9') {
        ++begin_;
        v = v * 10 + (c - '0');
        if (v > 1000000000) {
            *error = frame + ": " + what + " is out of range";
            return false;
        }
    }
    if (c == -2) return false;
    *value = v;
    return true;
}

PpmFrameReader::Result PpmFrameReader::Next(int* width, int* height, ByteBuffer* rgb, std::string* error) {
    const std::string frame = FrameName(frames_ + 1);
    int c = PeekByte(error);
    if (c == -2) return kError;
    if (c == -1) return kEnd;
    uint8_t magic[2];
    for (uint8_t& m : magic) {
        c = PeekByte(error);
        if (c == -2) return kError;
        if (c == -1) {
            *error = frame + " is truncated: the stream ends in its header";
            return kError;
        }
        m = static_cast<uint8_t>(c);
        ++begin_;
    }
    if (magic[0] != 'P' || magic[1] != '6') {
        *error = frame + ": not a binary PPM (P6) frame";
        return kError;
    }
    int64_t w = 0, h = 0, maxval = 0;
    bool ended = false;
    if (!ReadHeaderNumber("width", &w, error, &ended) || !ReadHeaderNumber("height", &h, error, &ended) ||
        !ReadHeaderNumber("maximum value", &maxval, error, &ended))
        return kError;
    // Exactly one white-space byte ends the header.
    c = PeekByte(error);
    if (c == -2) return kError;
    if (c == -1) {
        *error = frame + " is truncated: the stream ends in its header";
        return kError;
    }
    if (!IsSpace(c)) {
        *error = frame + ": no white space after its PPM header";
        return kError;
    }
    ++begin_;
    if (maxval != 255) {
        *error = frame + ": maximum value " + std::to_string(maxval) +
                 ", but only 8-bit frames (255) are read (ffmpeg: -pix_fmt rgb24)";
        return kError;
    }
    if (w < 1 || h < 1 || w > max_width || h > max_height) {
        *error = frame + ": " + std::to_string(w) + " x " + std::to_string(h) + " is outside 1 x 1 .. " +
                 std::to_string(max_width) + " x " + std::to_string(max_height);
        return kError;
    }
    if ((w != last_width_ || h != last_height_) && reserve &&
        !reserve(static_cast<int>(w), static_cast<int>(h), error)) {
        *error = frame + ": " + *error;
        return kError;
    }
    last_width_ = static_cast<int>(w);
    last_height_ = static_cast<int>(h);
    const size_t bytes = static_cast<size_t>(w) * static_cast<size_t>(h) * 3;
    rgb->resize(bytes);
    const size_t buffered = std::min(bytes, end_ - begin_);
    memcpy(rgb->data(), buffer_ + begin_, buffered);
    begin_ += buffered;
    int error_number = 0;
    const size_t got = buffered + ReadFull(fd_, rgb->data() + buffered, bytes - buffered, &error_number);
    if (got < bytes) {
        *error = error_number != 0 ? frame + ": cannot read (" + strerror(error_number) + ")"
                                   : frame + " is truncated: " + std::to_string(got) + " of " +
                                         std::to_string(bytes) + " pixel bytes";
        return kError;
    }
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    ++frames_;
    return kFrame;
}

bool WritePpmFrame(int fd, int width, int height, const uint8_t* rgb, std::string* error) {
    const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    const uint8_t* parts[2] = {reinterpret_cast<const uint8_t*>(header.data()), rgb};
    const size_t sizes[2] = {header.size(), bytes};
    for (int i = 0; i < 2; ++i) {
        size_t done = 0;
        while (done < sizes[i]) {
            ssize_t put = write(fd, parts[i] + done, sizes[i] - done);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                *error = std::string("cannot write (") + strerror(put < 0 ? errno : EIO) + ")";
                return false;
            }
            done += static_cast<size_t>(put);
        }
    }
    return true;
}

bool RunFrameStream(int in_fd, int out_fd, const UserSettings& settings, MosaicHost* host,
                    const std::function<bool(int width, int height, std::string* error)>& reserve,
                    std::string* error, int64_t* frames_written) {
    PpmFrameReader reader(in_fd);
    reader.reserve = reserve;
    ByteBuffer frame;
    int width = 0, height = 0;
    int prepared_width = 0, prepared_height = 0;
    *frames_written = 0;
    for (;;) {
        const PpmFrameReader::Result result = reader.Next(&width, &height, &frame, error);
        if (result == PpmFrameReader::kEnd) return true;
        if (result == PpmFrameReader::kError) return false;
        const std::string name = FrameName(reader.frames());
        if (width != prepared_width || height != prepared_height) {
            std::string reason;
            const MosaicOptions options = ResolveSettings(settings, width, height, &reason);
            if (!reason.empty() || !host->Prepare(width, height, options, &reason)) {
                *error = name + ": " + reason;
                return false;
            }
            prepared_width = width;
            prepared_height = height;
        }
        const ptrdiff_t stride = static_cast<ptrdiff_t>(width) * 3;
        host->Apply(frame.data(), stride, frame.data(), stride);
        if (!WritePpmFrame(out_fd, width, height, frame.data(), error)) {
            *error = name + ": " + *error;
            return false;
        }
        ++*frames_written;
    }
}

}  // namespace polarmosaic
