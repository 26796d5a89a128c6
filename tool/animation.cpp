// animation.cpp - the frame loop: read a frame, copy it for the effect,
// write it.
#include "animation.h"

#include <string.h>

#include "animation_codec.h"
#include "codec_internal.h"

namespace polarmosaic {
namespace {

bool IsGif(const uint8_t* data, size_t size) {
    return size >= 6 && (memcmp(data, "GIF87a", 6) == 0 || memcmp(data, "GIF89a", 6) == 0);
}

bool IsWebp(const uint8_t* data, size_t size) {
    return size >= 12 && memcmp(data, "RIFF", 4) == 0 && memcmp(data + 8, "WEBP", 4) == 0;
}

std::string SizeText(int width, int height) { return std::to_string(width) + " x " + std::to_string(height); }

}  // namespace

bool IsAnimation(const uint8_t* data, size_t size) {
    if (IsGif(data, size)) return true;
    // The extended header (VP8X) carries the animation flag in its first
    // byte of flags.
    return IsWebp(data, size) && size >= 21 && memcmp(data + 12, "VP8X", 4) == 0 && (data[20] & 0x02) != 0;
}

bool TransformAnimation(const uint8_t* data, size_t size, AnimationFormat out_format,
                        const AnimationSettings& settings, const FrameEffect& effect, ByteBuffer* out,
                        std::string* error, AnimationInfo* info) {
    std::unique_ptr<anim::FrameReader> reader;
    if (IsGif(data, size)) {
        reader = anim::MakeGifReader();
    } else if (IsWebp(data, size)) {
        reader = anim::MakeWebpReader();
    } else {
        *error = "not a GIF or WebP animation";
        return false;
    }
    AnimationInfo scanned;
    if (!reader->Scan(data, size, &scanned, error)) return false;
    if (info) *info = scanned;
    const int width = scanned.width;
    const int height = scanned.height;
    if (width < 1 || height < 1) {
        *error = "animation canvas " + SizeText(width, height) + " has no pixels";
        return false;
    }
    if (width > settings.max_width || height > settings.max_height) {
        *error = "animation canvas " + SizeText(width, height) + " is larger than " +
                 SizeText(settings.max_width, settings.max_height);
        return false;
    }
    const uint64_t canvas_bytes = static_cast<uint64_t>(width) * height * 4;
    const uint64_t writer_bytes = out_format == AnimationFormat::kGif ? anim::GifWriterBytes(width, height)
                                                                      : anim::WebpWriterBytes(width, height);
    const uint64_t bytes = reader->WorkingBytes() + canvas_bytes + writer_bytes;
    if (settings.reserve && !settings.reserve(width, height, bytes, error)) return false;

    std::unique_ptr<anim::FrameWriter> writer =
        out_format == AnimationFormat::kGif
            ? anim::MakeGifWriter(width, height, scanned.loop_count, settings, error)
            : anim::MakeWebpWriter(width, height, scanned.loop_count, settings, error);
    if (!writer) return false;
    // The reader's canvas stays as decoded (the next frame is composed on
    // it); the effect works on a copy.
    ByteBuffer frame(canvas_bytes);
    for (int index = 0; index < scanned.frames; ++index) {
        const uint8_t* canvas = nullptr;
        int duration_ms = 0;
        if (!reader->Next(&canvas, &duration_ms, error)) return false;
        memcpy(frame.data(), canvas, frame.size());
        std::string effect_error;
        if (!effect(frame.data(), width, height, index, &effect_error)) {
            *error = "frame " + std::to_string(index + 1) + ": " + effect_error;
            return false;
        }
        if (!writer->Add(frame.data(), duration_ms, error)) return false;
    }
    return writer->Finish(out, error);
}

bool LoadFirstFrame(const uint8_t* data, size_t size, AnimationFormat format, const LoadSettings& settings,
                    Image* image, std::string* error) {
    std::unique_ptr<anim::FrameReader> reader =
        format == AnimationFormat::kGif ? anim::MakeGifReader() : anim::MakeWebpReader();
    AnimationInfo info;
    if (!reader->Scan(data, size, &info, error)) return false;
    if (info.width > settings.max_width || info.height > settings.max_height) {
        *error = codec::TooLargeText(info.width, info.height, settings);
        return false;
    }
    image->channels = settings.keep_alpha ? 4 : 3;
    if (settings.reserve && !settings.reserve(info.width, info.height, reader->WorkingBytes(), error))
        return false;
    const uint8_t* canvas = nullptr;
    int duration_ms = 0;
    if (!reader->Next(&canvas, &duration_ms, error)) return false;
    image->width = info.width;
    image->height = info.height;
    const size_t pixels = static_cast<size_t>(info.width) * static_cast<size_t>(info.height);
    image->rgb.resize(pixels * static_cast<size_t>(image->channels));
    if (image->channels == 4) {
        memcpy(image->rgb.data(), canvas, pixels * 4);
    } else {
        codec::ToRgb(canvas, static_cast<size_t>(info.width) * 4, 4, info.width, info.height,
                     settings.background, image->rgb.data());
    }
    if (info.frames > 1) {
        image->warnings.push_back("an animation of " + std::to_string(info.frames) +
                                  " frames: only the first is written (GIF or WebP output keeps them all)");
    }
    return true;
}

bool EncodeGifStill(const Image& image, ByteBuffer* out, std::string* error) {
    AnimationSettings settings;
    std::unique_ptr<anim::FrameWriter> writer =
        anim::MakeGifWriter(image.width, image.height, 1, settings, error);
    if (!writer) return false;
    const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    ByteBuffer rgba(pixels * 4);
    for (size_t i = 0; i < pixels; ++i) {
        for (int c = 0; c < 3; ++c) rgba[4 * i + c] = image.rgb[static_cast<size_t>(image.channels) * i + c];
        rgba[4 * i + 3] = image.channels == 4 ? image.rgb[4 * i + 3] : 255;
    }
    return writer->Add(rgba.data(), 0, error) && writer->Finish(out, error);
}

}  // namespace polarmosaic
