// webp_animation.cpp - animated WebP through libwebp's WebPAnimDecoder and
// WebPAnimEncoder.
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

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
struct AnimEncoderDeleter {
    void operator()(WebPAnimEncoder* encoder) const { WebPAnimEncoderDelete(encoder); }
};

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

class WebpWriter : public FrameWriter {
public:
    bool Start(int width, int height, int loop_count, const AnimationSettings& settings, std::string* error);
    bool Add(uint8_t* rgba, int duration_ms, std::string* error) override;
    bool Finish(ByteBuffer* out, std::string* error) override;

private:
    std::string EncoderError() const {
        const char* text = WebPAnimEncoderGetError(encoder_.get());
        return text && *text ? text : "unknown error";
    }

    int width_ = 0;
    int height_ = 0;
    int frame_ = 0;
    int timestamp_ = 0;  // when the next frame starts
    WebPConfig config_;
    std::unique_ptr<WebPAnimEncoder, AnimEncoderDeleter> encoder_;
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
    WebPAnimEncoderOptions options;
    if (!WebPAnimEncoderOptionsInit(&options) || !WebPConfigInit(&config_)) {
        *error = "cannot encode WebP (library version mismatch)";
        return false;
    }
    options.anim_params.loop_count = loop_count;
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
    encoder_.reset(WebPAnimEncoderNew(width, height, &options));
    if (!encoder_) throw std::bad_alloc();
    return true;
}

bool WebpWriter::Add(uint8_t* rgba, int duration_ms, std::string* error) {
    ++frame_;
    WebPPicture picture;
    if (!WebPPictureInit(&picture)) {
        *error = "cannot encode WebP (library version mismatch)";
        return false;
    }
    picture.width = width_;
    picture.height = height_;
    picture.use_argb = 1;
    if (!WebPPictureImportRGBA(&picture, rgba, width_ * 4)) throw std::bad_alloc();
    bool ok = WebPAnimEncoderAdd(encoder_.get(), &picture, timestamp_, &config_);
    WebPPictureFree(&picture);
    if (!ok) {
        *error = "cannot encode WebP " + FrameText(frame_) + " (" + EncoderError() + ")";
        return false;
    }
    timestamp_ += duration_ms;
    return true;
}

bool WebpWriter::Finish(ByteBuffer* out, std::string* error) {
    WebPData assembled;
    WebPDataInit(&assembled);
    if (!WebPAnimEncoderAdd(encoder_.get(), nullptr, timestamp_, nullptr) ||
        !WebPAnimEncoderAssemble(encoder_.get(), &assembled)) {
        *error = "cannot assemble WebP animation (" + EncoderError() + ")";
        return false;
    }
    out->assign(assembled.bytes, assembled.bytes + assembled.size);
    WebPDataClear(&assembled);
    return true;
}

}  // namespace

std::unique_ptr<FrameReader> MakeWebpReader() { return std::make_unique<WebpReader>(); }

uint64_t WebpWriterBytes(int width, int height) {
    // The encoder's canvases (the frame, the previous one and its disposed
    // copy), the imported picture and up to four candidate sub-frames.
    return static_cast<uint64_t>(width) * height * 4 * 8;
}

std::unique_ptr<FrameWriter> MakeWebpWriter(int width, int height, int loop_count,
                                            const AnimationSettings& settings, std::string* error) {
    auto writer = std::make_unique<WebpWriter>();
    if (!writer->Start(width, height, loop_count, settings, error)) return nullptr;
    return writer;
}

}  // namespace anim
}  // namespace polarmosaic
