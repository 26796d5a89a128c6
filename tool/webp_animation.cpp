// webp_animation.cpp - animated WebP through libwebp's WebPAnimDecoder, its
// still-picture encoder and WebPMux.
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <string.h>

#include <new>

#include "animation_codec.h"

namespace polarmosaic {
namespace anim {
namespace {

std::string FrameText(int frame) { return "frame " + std::to_string(frame); }

struct DemuxDeleter {
    void operator()(WebPDemuxer* demux) const { WebPDemuxDelete(demux); }
};
struct AnimDecoderDeleter {
    void operator()(WebPAnimDecoder* decoder) const { WebPAnimDecoderDelete(decoder); }
};
struct MuxDeleter {
    void operator()(WebPMux* mux) const { WebPMuxDelete(mux); }
};
// A frame's duration is a 24-bit field.
constexpr int kMaxWebpFrameMs = (1 << 24) - 1;

class WebpReader : public FrameReader {
public:
    bool Scan(const uint8_t* data, size_t size, AnimationInfo* info, std::string* error) override;
    uint64_t WorkingBytes() const override {
        // The decoder's canvas and its copy of the canvas before a frame.
        return static_cast<uint64_t>(width_) * height_ * 8;
    }
    bool Next(const uint8_t** canvas, int* duration_ms, std::string* error) override;

private:
    WebPData data_ = {};
    int width_ = 0;
    int height_ = 0;
    int frame_ = 0;
    int timestamp_ = 0;
    std::unique_ptr<WebPAnimDecoder, AnimDecoderDeleter> decoder_;
};

bool WebpReader::Scan(const uint8_t* data, size_t size, AnimationInfo* info, std::string* error) {
    // A partial demux tells how far the data goes, so a truncated file is
    // named by its first incomplete frame; it also gives the frame count
    // and durations before any canvas is taken.
    data_ = {data, size};
    WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
    std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemuxPartial(&data_, &state));
    if (!demux || state == WEBP_DEMUX_PARSE_ERROR) {
        *error = state == WEBP_DEMUX_PARSING_HEADER ? "truncated WebP data (header)" : "corrupt WebP data";
        return false;
    }
    info->width = static_cast<int>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH));
    info->height = static_cast<int>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT));
    uint32_t frames = WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT);
    info->loop_count = static_cast<int>(WebPDemuxGetI(demux.get(), WEBP_FF_LOOP_COUNT));
    if (frames > static_cast<uint32_t>(kMaxAnimationFrames)) {
        *error = "WebP has more than " + std::to_string(kMaxAnimationFrames) + " frames";
        return false;
    }
    int64_t duration_ms = 0;
    int complete = 0;
    WebPIterator iter;
    if (WebPDemuxGetFrame(demux.get(), 1, &iter)) {
        do {
            if (!iter.complete) break;
            ++complete;
            duration_ms += iter.duration;
        } while (WebPDemuxNextFrame(&iter));
        WebPDemuxReleaseIterator(&iter);
    }
    if (state != WEBP_DEMUX_DONE || complete < static_cast<int>(frames)) {
        *error = "truncated WebP data in " + FrameText(complete + 1);
        return false;
    }
    if (frames == 0) {
        *error = "WebP holds no frame";
        return false;
    }
    if (duration_ms > kMaxTotalDurationMs) {
        *error = "WebP plays longer than " + std::to_string(kMaxTotalDurationMs / 1000) + " seconds";
        return false;
    }
    info->frames = static_cast<int>(frames);
    width_ = info->width;
    height_ = info->height;
    return true;
}

bool WebpReader::Next(const uint8_t** canvas, int* duration_ms, std::string* error) {
    if (!decoder_) {
        WebPAnimDecoderOptions options;
        if (!WebPAnimDecoderOptionsInit(&options)) {
            *error = "cannot decode WebP (library version mismatch)";
            return false;
        }
        options.color_mode = MODE_RGBA;
        options.use_threads = 0;
        decoder_.reset(WebPAnimDecoderNew(&data_, &options));
        if (!decoder_) {
            *error = "corrupt WebP data";
            return false;
        }
    }
    ++frame_;
    uint8_t* pixels = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderHasMoreFrames(decoder_.get()) ||
        !WebPAnimDecoderGetNext(decoder_.get(), &pixels, &timestamp)) {
        *error = "corrupt WebP data in " + FrameText(frame_);
        return false;
    }
    // Timestamps are when each frame ends.
    *duration_ms = timestamp - timestamp_;
    timestamp_ = timestamp;
    *canvas = pixels;
    return true;
}

// Each frame is encoded whole on its own and put in the container as it
// stands: an animation encoder would fold a frame equal to the one before
// into it, and the frame count would change.
class WebpWriter : public FrameWriter {
public:
    bool Start(int width, int height, int loop_count, const AnimationSettings& settings, std::string* error);
    bool Add(uint8_t* rgba, int duration_ms, std::string* error) override;
    bool Finish(ByteBuffer* out, std::string* error) override;

private:
    int width_ = 0;
    int height_ = 0;
    int frame_ = 0;
    int loop_count_ = 0;
    WebPConfig config_;
    std::unique_ptr<WebPMux, MuxDeleter> mux_;
};

bool WebpWriter::Start(int width, int height, int loop_count, const AnimationSettings& settings,
                       std::string* error) {
    if (width > WEBP_MAX_DIMENSION || height > WEBP_MAX_DIMENSION) {
        *error = "WebP holds at most " + std::to_string(WEBP_MAX_DIMENSION) + " x " +
                 std::to_string(WEBP_MAX_DIMENSION) + " pixels";
        return false;
    }
    width_ = width;
    height_ = height;
    loop_count_ = loop_count;
    if (!WebPConfigInit(&config_)) {
        *error = "cannot encode WebP (library version mismatch)";
        return false;
    }
    if (settings.lossless) {
        // Level 4 of 9: the still-image encoder's 6 is slow for many frames.
        WebPConfigLosslessPreset(&config_, 4);
    } else {
        config_.quality = static_cast<float>(settings.quality);
    }
    if (!WebPValidateConfig(&config_)) {
        *error = "WebP quality " + std::to_string(settings.quality) + " is not within 1 .. 100";
        return false;
    }
    mux_.reset(WebPMuxNew());
    if (!mux_) throw std::bad_alloc();
    return true;
}

bool WebpWriter::Add(uint8_t* rgba, int duration_ms, std::string* error) {
    ++frame_;
    if (duration_ms > kMaxWebpFrameMs) {
        *error = "WebP holds frames of at most " + std::to_string(kMaxWebpFrameMs) + " ms; " +
                 FrameText(frame_) + " lasts " + std::to_string(duration_ms);
        return false;
    }
    WebPPicture picture;
    if (!WebPPictureInit(&picture)) {
        *error = "cannot encode WebP (library version mismatch)";
        return false;
    }
    picture.width = width_;
    picture.height = height_;
    picture.use_argb = 1;
    WebPMemoryWriter written;
    WebPMemoryWriterInit(&written);
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &written;
    if (!WebPPictureImportRGBA(&picture, rgba, width_ * 4)) throw std::bad_alloc();
    const bool encoded = WebPEncode(&config_, &picture) != 0;
    const WebPEncodingError code = picture.error_code;
    WebPPictureFree(&picture);
    if (!encoded) {
        WebPMemoryWriterClear(&written);
        if (code == VP8_ENC_ERROR_OUT_OF_MEMORY) throw std::bad_alloc();
        *error = "cannot encode WebP " + FrameText(frame_) + " (error " + std::to_string(code) + ")";
        return false;
    }
    WebPMuxFrameInfo info;
    memset(&info, 0, sizeof(info));
    info.bitstream.bytes = written.mem;
    info.bitstream.size = written.size;
    info.id = WEBP_CHUNK_ANMF;
    info.duration = duration_ms;
    info.dispose_method = WEBP_MUX_DISPOSE_NONE;
    info.blend_method = WEBP_MUX_NO_BLEND;  // each frame is the whole canvas
    const WebPMuxError pushed = WebPMuxPushFrame(mux_.get(), &info, 1);
    WebPMemoryWriterClear(&written);
    if (pushed == WEBP_MUX_MEMORY_ERROR) throw std::bad_alloc();
    if (pushed != WEBP_MUX_OK) {
        *error = "cannot add WebP " + FrameText(frame_) + " (error " + std::to_string(pushed) + ")";
        return false;
    }
    return true;
}

bool WebpWriter::Finish(ByteBuffer* out, std::string* error) {
    WebPMuxAnimParams params;
    params.bgcolor = 0x00000000;  // transparent
    params.loop_count = loop_count_;
    WebPData assembled;
    WebPDataInit(&assembled);
    WebPMuxError status = WebPMuxSetAnimationParams(mux_.get(), &params);
    if (status == WEBP_MUX_OK) status = WebPMuxAssemble(mux_.get(), &assembled);
    if (status == WEBP_MUX_MEMORY_ERROR) throw std::bad_alloc();
    if (status != WEBP_MUX_OK) {
        *error = "cannot assemble WebP animation (error " + std::to_string(status) + ")";
        return false;
    }
    out->assign(assembled.bytes, assembled.bytes + assembled.size);
    WebPDataClear(&assembled);
    return true;
}

}  // namespace

std::unique_ptr<FrameReader> MakeWebpReader() { return std::make_unique<WebpReader>(); }

uint64_t WebpWriterBytes(int width, int height) {
    // The imported picture and the encoder's working copies of one frame.
    return static_cast<uint64_t>(width) * height * 4 * 4;
}

std::unique_ptr<FrameWriter> MakeWebpWriter(int width, int height, int loop_count,
                                            const AnimationSettings& settings, std::string* error) {
    auto writer = std::make_unique<WebpWriter>();
    if (!writer->Start(width, height, loop_count, settings, error)) return nullptr;
    return writer;
}

}  // namespace anim
}  // namespace polarmosaic
