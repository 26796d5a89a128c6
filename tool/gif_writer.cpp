// gif_writer.cpp - animated GIF written with giflib, each frame mapped to
// a palette of its own by libimagequant.
#include <gif_lib.h>
#include <libimagequant.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <vector>

#include "animation_codec.h"

namespace polarmosaic {
namespace anim {
namespace {

std::string FrameText(int frame) { return "frame " + std::to_string(frame); }

// ------------------------------------------------------------------ writing

int WriteMemory(GifFileType* gif, const GifByteType* bytes, int length) {
    auto* out = static_cast<ByteBuffer*>(gif->UserData);
    out->insert(out->end(), bytes, bytes + length);
    return length;
}

struct LiqAttrDeleter {
    void operator()(liq_attr* attr) const { liq_attr_destroy(attr); }
};
struct LiqImageDeleter {
    void operator()(liq_image* image) const { liq_image_destroy(image); }
};
struct LiqResultDeleter {
    void operator()(liq_result* result) const { liq_result_destroy(result); }
};

constexpr int kMaxDelayCs = 65535;

class GifWriter : public FrameWriter {
public:
    GifWriter(int width, int height, bool dither) : width_(width), height_(height), dither_(dither) {}
    ~GifWriter() override {
        if (gif_) {
            int ignored;
            EGifCloseFile(gif_, &ignored);
        }
    }
    bool Start(int loop_count, std::string* error);
    bool Add(uint8_t* rgba, int duration_ms, std::string* error) override;
    bool Finish(ByteBuffer* out, std::string* error) override;

private:
    bool Fail(const std::string& what, std::string* error) {
        *error = "cannot write GIF " + what + " (" + GifErrorText(gif_->Error) + ")";
        return false;
    }

    int width_;
    int height_;
    bool dither_;
    int frame_ = 0;
    ByteBuffer bytes_;
    GifFileType* gif_ = nullptr;
    std::unique_ptr<liq_attr, LiqAttrDeleter> attr_;
    ByteBuffer indices_;
};

bool GifWriter::Start(int loop_count, std::string* error) {
    attr_.reset(liq_attr_create());
    if (!attr_) throw std::bad_alloc();
    int code = 0;
    gif_ = EGifOpen(&bytes_, WriteMemory, &code);
    if (!gif_) {
        *error = "cannot write GIF (" + GifErrorText(code) + ")";
        return false;
    }
    EGifSetGifVersion(gif_, true);
    if (EGifPutScreenDesc(gif_, width_, height_, 8, 0, nullptr) == GIF_ERROR) return Fail("header", error);
    // A GIF without a loop extension plays once; the extension counts the
    // repeats after the first play, 0 for ever.
    if (loop_count != 1) {
        int repeats = loop_count == 0 ? 0 : std::min(loop_count - 1, 65535);
        const GifByteType loop[3] = {1, static_cast<GifByteType>(repeats & 0xff),
                                     static_cast<GifByteType>(repeats >> 8)};
        if (EGifPutExtensionLeader(gif_, APPLICATION_EXT_FUNC_CODE) == GIF_ERROR ||
            EGifPutExtensionBlock(gif_, 11, "NETSCAPE2.0") == GIF_ERROR ||
            EGifPutExtensionBlock(gif_, 3, loop) == GIF_ERROR || EGifPutExtensionTrailer(gif_) == GIF_ERROR) {
            return Fail("loop count", error);
        }
    }
    return true;
}

bool GifWriter::Add(uint8_t* rgba, int duration_ms, std::string* error) {
    ++frame_;
    const size_t pixels = static_cast<size_t>(width_) * height_;
    // GIF has one transparent index and no partial alpha: below half
    // transparent, otherwise opaque. Transparent pixels all become one
    // colour so that they share one palette entry.
    bool any_transparent = false;
    for (size_t i = 0; i < pixels; ++i) {
        uint8_t* px = rgba + i * 4;
        if (px[3] < 128) {
            memset(px, 0, 4);
            any_transparent = true;
        } else {
            px[3] = 255;
        }
    }
    std::unique_ptr<liq_image, LiqImageDeleter> image(
        liq_image_create_rgba(attr_.get(), rgba, width_, height_, 0));
    if (!image) {
        *error = "cannot quantise GIF " + FrameText(frame_) + ": too large for libimagequant";
        return false;
    }
    if (any_transparent) liq_image_add_fixed_color(image.get(), liq_color{0, 0, 0, 0});
    liq_result* raw_result = nullptr;
    liq_error status = liq_image_quantize(image.get(), attr_.get(), &raw_result);
    std::unique_ptr<liq_result, LiqResultDeleter> result(raw_result);
    if (status == LIQ_OUT_OF_MEMORY) throw std::bad_alloc();
    if (status != LIQ_OK) {
        *error = "cannot quantise GIF " + FrameText(frame_) + " (libimagequant error " +
                 std::to_string(static_cast<int>(status)) + ")";
        return false;
    }
    liq_set_dithering_level(result.get(), dither_ ? 1.0f : 0.0f);
    indices_.resize(pixels);
    status = liq_write_remapped_image(result.get(), image.get(), indices_.data(), indices_.size());
    if (status == LIQ_OUT_OF_MEMORY) throw std::bad_alloc();
    if (status != LIQ_OK) {
        *error = "cannot map GIF " + FrameText(frame_) + " to its palette (libimagequant error " +
                 std::to_string(static_cast<int>(status)) + ")";
        return false;
    }
    const liq_palette* palette = liq_get_palette(result.get());
    int count = static_cast<int>(palette->count);
    int transparent = NO_TRANSPARENT_COLOR;
    for (int i = 0; i < count && any_transparent; ++i) {
        if (palette->entries[i].a < 128) {
            transparent = i;
            break;
        }
    }
    // The fixed colour makes a transparent entry; the remap is made exact
    // here so that alpha never depends on the quantiser: transparent
    // pixels get that entry, opaque ones an opaque entry.
    for (size_t i = 0; i < pixels; ++i) {
        const uint8_t* px = rgba + i * 4;
        bool clear = px[3] == 0;
        if (clear && transparent != NO_TRANSPARENT_COLOR) {
            indices_[i] = static_cast<uint8_t>(transparent);
        } else if (!clear && palette->entries[indices_[i]].a < 128) {
            int best = 0, best_distance = INT32_MAX;
            for (int k = 0; k < count; ++k) {
                const liq_color& c = palette->entries[k];
                if (c.a < 128) continue;
                int dr = c.r - px[0], dg = c.g - px[1], db = c.b - px[2];
                int distance = dr * dr + dg * dg + db * db;
                if (distance < best_distance) best = k, best_distance = distance;
            }
            indices_[i] = static_cast<uint8_t>(best);
        }
    }
    // A GIF colour map has a power of two entries, at least 2.
    int map_size = 2;
    while (map_size < count) map_size *= 2;
    GifColorType colours[256] = {};
    for (int i = 0; i < count; ++i) {
        colours[i] = {palette->entries[i].r, palette->entries[i].g, palette->entries[i].b};
    }
    ColorMapObject* map = GifMakeMapObject(map_size, colours);
    if (!map) throw std::bad_alloc();
    // Full-canvas frames, each cleared when the next comes: disposal "none"
    // would let the frame before show through the next one's transparent
    // pixels.
    GraphicsControlBlock gcb = {};
    gcb.DisposalMode = DISPOSE_BACKGROUND;
    gcb.UserInputFlag = false;
    gcb.TransparentColor = transparent;
    // Delays beyond what one frame holds repeat the frame.
    int remaining_cs = (duration_ms + 5) / 10;
    bool ok = true;
    do {
        gcb.DelayTime = std::min(remaining_cs, kMaxDelayCs);
        remaining_cs -= gcb.DelayTime;
        GifByteType extension[4];
        EGifGCBToExtension(&gcb, extension);
        ok = EGifPutExtension(gif_, GRAPHICS_EXT_FUNC_CODE, 4, extension) != GIF_ERROR &&
             EGifPutImageDesc(gif_, 0, 0, width_, height_, false, map) != GIF_ERROR;
        for (int y = 0; ok && y < height_; ++y) {
            ok = EGifPutLine(gif_, &indices_[static_cast<size_t>(y) * width_], width_) != GIF_ERROR;
        }
    } while (ok && remaining_cs > 0);
    GifFreeMapObject(map);
    return ok || Fail(FrameText(frame_), error);
}

bool GifWriter::Finish(ByteBuffer* out, std::string* error) {
    int code = 0;
    int result = EGifCloseFile(gif_, &code);
    gif_ = nullptr;
    if (result == GIF_ERROR) {
        *error = "cannot write GIF (" + GifErrorText(code) + ")";
        return false;
    }
    out->swap(bytes_);
    return true;
}

}  // namespace

uint64_t GifWriterBytes(int width, int height) {
    // libimagequant keeps a frame as four floats a pixel, and the indices.
    return static_cast<uint64_t>(width) * height * 18;
}

std::unique_ptr<FrameWriter> MakeGifWriter(int width, int height, int loop_count,
                                           const AnimationSettings& settings, std::string* error) {
    auto writer = std::make_unique<GifWriter>(width, height, settings.dither);
    if (!writer->Start(loop_count, error)) return nullptr;
    return writer;
}

}  // namespace anim
}  // namespace polarmosaic
