// gif_codec.cpp - animated GIF through giflib's record-by-record API, and
// frames quantised to a palette each with libimagequant.
#include <gif_lib.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <vector>

#include "animation_codec.h"

namespace polarmosaic {
namespace anim {
std::string GifErrorText(int code) {
    const char* text = GifErrorString(code);
    return text ? text : "error " + std::to_string(code);
}

namespace {

std::string FrameText(int frame) { return "frame " + std::to_string(frame); }

// ------------------------------------------------------------------ reading

struct MemoryInput {
    const uint8_t* data;
    size_t size;
    size_t position;
};

int ReadMemory(GifFileType* gif, GifByteType* bytes, int length) {
    auto* input = static_cast<MemoryInput*>(gif->UserData);
    size_t count = std::min(static_cast<size_t>(length), input->size - input->position);
    memcpy(bytes, input->data + input->position, count);
    input->position += count;
    return static_cast<int>(count);
}

struct GifCloser {
    void operator()(GifFileType* gif) const {
        int ignored;
        DGifCloseFile(gif, &ignored);
    }
};
using GifHandle = std::unique_ptr<GifFileType, GifCloser>;

// What the extensions before an image say about it.
struct FrameControl {
    int disposal = 0;  // none given
    int delay_cs = 0;
    int transparent = NO_TRANSPARENT_COLOR;
};

bool OpenGif(MemoryInput* input, GifHandle* gif, std::string* error) {
    int code = 0;
    gif->reset(DGifOpen(input, ReadMemory, &code));
    if (*gif) return true;
    if (code == D_GIF_ERR_NOT_GIF_FILE) {
        *error = "not a GIF image";
    } else if (code == D_GIF_ERR_READ_FAILED || input->position == input->size) {
        *error = "truncated GIF data (header)";
    } else if (code == D_GIF_ERR_NOT_ENOUGH_MEM) {
        throw std::bad_alloc();
    } else {
        *error = "corrupt GIF header (" + GifErrorText(code) + ")";
    }
    return false;
}

// giflib keeps a record of every image it has seen, with a copy of its
// colour map; the copy is dropped so that memory stays bounded by a small
// record per frame.
void DropSavedColorMap(GifFileType* gif) {
    if (gif->ImageCount <= 0 || !gif->SavedImages) return;
    SavedImage& saved = gif->SavedImages[gif->ImageCount - 1];
    if (saved.ImageDesc.ColorMap) {
        GifFreeMapObject(saved.ImageDesc.ColorMap);
        saved.ImageDesc.ColorMap = nullptr;
    }
}

// Reads one extension record; GCE fields go to *control, a NETSCAPE2.0 or
// ANIMEXTS1.0 loop count to *loop (as stored: repeats after the first play).
bool ReadExtension(GifFileType* gif, FrameControl* control, int* loop) {
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return false;
    bool application = false;
    bool first = true;
    while (block) {
        if (code == GRAPHICS_EXT_FUNC_CODE && first) {
            GraphicsControlBlock gcb;
            if (DGifExtensionToGCB(block[0], block + 1, &gcb) == GIF_OK) {
                control->disposal = gcb.DisposalMode;
                control->delay_cs = gcb.DelayTime;
                control->transparent = gcb.TransparentColor;
            }
        } else if (code == APPLICATION_EXT_FUNC_CODE && first) {
            application = block[0] == 11 && (memcmp(block + 1, "NETSCAPE2.0", 11) == 0 ||
                                             memcmp(block + 1, "ANIMEXTS1.0", 11) == 0);
        } else if (application && block[0] >= 3 && block[1] == 1) {
            *loop = block[2] | block[3] << 8;
            application = false;
        }
        first = false;
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return false;
    }
    return true;
}

// Skips an image's compressed data without decoding it.
bool SkipImageData(GifFileType* gif) {
    int code_size = 0;
    GifByteType* block = nullptr;
    if (DGifGetCode(gif, &code_size, &block) == GIF_ERROR) return false;
    while (block) {
        if (DGifGetCodeNext(gif, &block) == GIF_ERROR) return false;
    }
    return true;
}

class GifReader : public FrameReader {
public:
    bool Scan(const uint8_t* data, size_t size, AnimationInfo* info, std::string* error) override;
    uint64_t WorkingBytes() const override;
    bool Next(const uint8_t** canvas, int* duration_ms, std::string* error) override;

private:
    bool DrawFrame(const FrameControl& control, std::string* error);

    MemoryInput input_ = {};
    GifHandle gif_;
    int width_ = 0;
    int height_ = 0;
    int frame_ = 0;  // frames decoded
    ByteBuffer canvas_;
    ByteBuffer previous_;  // the canvas before a frame with disposal 3
    std::vector<GifByteType> line_;
    // How the last frame leaves the canvas for the next one.
    int pending_disposal_ = 0;
    int pending_left_ = 0, pending_top_ = 0, pending_right_ = 0, pending_bottom_ = 0;
};

bool GifReader::Scan(const uint8_t* data, size_t size, AnimationInfo* info, std::string* error) {
    MemoryInput input = {data, size, 0};
    GifHandle gif;
    if (!OpenGif(&input, &gif, error)) return false;
    info->width = gif->SWidth;
    info->height = gif->SHeight;
    int loop = -1;
    int frames = 0;
    int64_t duration_ms = 0;
    FrameControl control;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR) {
            // A missing trailer after a whole frame is common and harmless.
            if (input.position == input.size && frames > 0) break;
            *error = (input.position == input.size ? "truncated GIF data in " : "corrupt GIF data in ") +
                     FrameText(frames + 1) + " (" + GifErrorText(gif->Error) + ")";
            return false;
        }
        if (type == TERMINATE_RECORD_TYPE) break;
        bool ok = true;
        if (type == EXTENSION_RECORD_TYPE) {
            ok = ReadExtension(gif.get(), &control, &loop);
        } else if (type == IMAGE_DESC_RECORD_TYPE) {
            ok = DGifGetImageDesc(gif.get()) != GIF_ERROR;
            if (ok) DropSavedColorMap(gif.get());
            ok = ok && SkipImageData(gif.get());
            if (ok) {
                if (++frames > kMaxAnimationFrames) {
                    *error = "GIF has more than " + std::to_string(kMaxAnimationFrames) + " frames";
                    return false;
                }
                duration_ms += control.delay_cs * 10;
                control = FrameControl();
            }
        }
        if (!ok) {
            *error = (input.position == input.size ? "truncated GIF data in " : "corrupt GIF data in ") +
                     FrameText(frames + 1) + " (" + GifErrorText(gif->Error) + ")";
            return false;
        }
    }
    if (frames == 0) {
        *error = "GIF holds no frame";
        return false;
    }
    if (duration_ms > kMaxTotalDurationMs) {
        *error = "GIF plays longer than " + std::to_string(kMaxTotalDurationMs / 1000) + " seconds";
        return false;
    }
    info->frames = frames;
    // Stored is the number of repeats; absent means a single play.
    info->loop_count = loop < 0 ? 1 : loop == 0 ? 0 : std::min(loop + 1, 65535);
    width_ = info->width;
    height_ = info->height;
    input_ = {data, size, 0};
    return true;
}

uint64_t GifReader::WorkingBytes() const {
    // The composed canvas and the one disposal 3 restores, plus a line.
    return static_cast<uint64_t>(width_) * height_ * 8 + 65536;
}

bool GifReader::Next(const uint8_t** canvas, int* duration_ms, std::string* error) {
    if (!gif_) {
        if (!OpenGif(&input_, &gif_, error)) return false;
        canvas_.assign(static_cast<size_t>(width_) * height_ * 4, 0);  // transparent to start
    }
    FrameControl control;
    int ignored_loop = 0;
    for (;;) {
        GifRecordType type;
        std::string what = "corrupt GIF data in " + FrameText(frame_ + 1);
        if (DGifGetRecordType(gif_.get(), &type) == GIF_ERROR) {
            *error = what + " (" + GifErrorText(gif_->Error) + ")";
            return false;
        }
        if (type == TERMINATE_RECORD_TYPE) {
            *error = "GIF ended before " + FrameText(frame_ + 1);
            return false;
        }
        if (type == EXTENSION_RECORD_TYPE) {
            if (!ReadExtension(gif_.get(), &control, &ignored_loop)) {
                *error = what + " (" + GifErrorText(gif_->Error) + ")";
                return false;
            }
        } else if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif_.get()) == GIF_ERROR) {
                *error = what + " (" + GifErrorText(gif_->Error) + ")";
                return false;
            }
            DropSavedColorMap(gif_.get());
            if (!DrawFrame(control, error)) return false;
            ++frame_;
            *canvas = canvas_.data();
            *duration_ms = control.delay_cs * 10;
            return true;
        }
    }
}

bool GifReader::DrawFrame(const FrameControl& control, std::string* error) {
    const GifImageDesc& desc = gif_->Image;
    const size_t stride = static_cast<size_t>(width_) * 4;
    // What the frame before asked for, now that the next one comes.
    if (pending_disposal_ == DISPOSE_BACKGROUND) {
        // Browsers clear to transparent, not to the background colour.
        for (int y = pending_top_; y < pending_bottom_; ++y) {
            memset(&canvas_[y * stride + pending_left_ * 4], 0, (pending_right_ - pending_left_) * 4);
        }
    } else if (pending_disposal_ == DISPOSE_PREVIOUS) {
        for (int y = pending_top_; y < pending_bottom_; ++y) {
            size_t at = y * stride + pending_left_ * 4;
            memcpy(&canvas_[at], &previous_[at], (pending_right_ - pending_left_) * 4);
        }
    }
    // The part of the frame on the canvas: frames may reach beyond it.
    int left = std::min(desc.Left, width_);
    int top = std::min(desc.Top, height_);
    int right = static_cast<int>(std::min<int64_t>(int64_t{desc.Left} + desc.Width, width_));
    int bottom = static_cast<int>(std::min<int64_t>(int64_t{desc.Top} + desc.Height, height_));
    pending_disposal_ = control.disposal;
    pending_left_ = left;
    pending_top_ = top;
    pending_right_ = std::max(left, right);
    pending_bottom_ = std::max(top, bottom);
    if (control.disposal == DISPOSE_PREVIOUS) {
        if (previous_.empty()) previous_.resize(canvas_.size());
        for (int y = top; y < bottom; ++y) {
            size_t at = y * stride + left * 4;
            memcpy(&previous_[at], &canvas_[at], (right - left) * 4);
        }
    }
    std::string what = "GIF " + FrameText(frame_ + 1);
    if (right <= left || bottom <= top) {
        if (SkipImageData(gif_.get())) return true;
        *error = "corrupt data in " + what + " (" + GifErrorText(gif_->Error) + ")";
        return false;
    }
    const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : gif_->SColorMap;
    if (!map) {
        *error = what + " has no colour map";
        return false;
    }
    line_.resize(desc.Width);
    // Rows in the order they are stored: interlaced images in four passes.
    static const int kPassStart[4] = {0, 4, 2, 1};
    static const int kPassStep[4] = {8, 8, 4, 2};
    int passes = desc.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        int start = desc.Interlace ? kPassStart[pass] : 0;
        int step = desc.Interlace ? kPassStep[pass] : 1;
        for (int row = start; row < desc.Height; row += step) {
            int y = desc.Top + row;
            // Rows below the canvas come last when not interlaced: skip them
            // undecoded, so a huge frame on a small canvas costs little.
            if (!desc.Interlace && y >= height_) {
                GifByteType* block = nullptr;
                bool ok = DGifGetCodeNext(gif_.get(), &block) != GIF_ERROR;
                while (ok && block) ok = DGifGetCodeNext(gif_.get(), &block) != GIF_ERROR;
                if (ok) return true;
                *error = "corrupt data in " + what + " (" + GifErrorText(gif_->Error) + ")";
                return false;
            }
            if (DGifGetLine(gif_.get(), line_.data(), desc.Width) == GIF_ERROR) {
                *error = "corrupt data in " + what + " (" + GifErrorText(gif_->Error) + ")";
                return false;
            }
            if (y >= height_) continue;
            uint8_t* out = &canvas_[y * stride];
            for (int x = left; x < right; ++x) {
                int index = line_[x - desc.Left];
                // Indices beyond the map show nothing, as transparent ones.
                if (index == control.transparent || index >= map->ColorCount) continue;
                const GifColorType& colour = map->Colors[index];
                uint8_t* px = out + x * 4;
                px[0] = colour.Red;
                px[1] = colour.Green;
                px[2] = colour.Blue;
                px[3] = 255;
            }
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<FrameReader> MakeGifReader() { return std::make_unique<GifReader>(); }

}  // namespace anim
}  // namespace polarmosaic
