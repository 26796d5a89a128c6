// codec_webp.cpp - WebP (libwebp): reading and writing, with the ICC
// profile and EXIF block in their chunks.
#include <string.h>

#include <new>

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include "animation.h"
#include "codec_internal.h"
#include "exif.h"

namespace polarmosaic {
namespace codec {

namespace {

// The payload of a metadata chunk ("ICCP", "EXIF"), empty when absent.
std::string WebpChunk(WebPDemuxer* demux, const char* fourcc) {
    WebPChunkIterator chunk;
    std::string payload;
    if (WebPDemuxGetChunk(demux, fourcc, 1, &chunk)) {
        payload.assign(reinterpret_cast<const char*>(chunk.chunk.bytes), chunk.chunk.size);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    return payload;
}

}  // namespace

bool LoadWebp(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
              std::string* error) {
    WebPBitstreamFeatures features;
    VP8StatusCode status = WebPGetFeatures(data, size, &features);
    if (status == VP8_STATUS_NOT_ENOUGH_DATA) {
        *error = "truncated WebP data";
        return false;
    }
    if (status != VP8_STATUS_OK) {
        *error = "corrupt WebP data";
        return false;
    }
    if (features.has_animation)
        return LoadFirstFrame(data, size, AnimationFormat::kWebp, settings, image, error);
    const int width = features.width, height = features.height;
    if (TooLarge(width, height, settings)) {
        *error = TooLargeText(width, height, settings);
        return false;
    }
    WebPData whole = {data, size};
    if (WebPDemuxer* demux = WebPDemux(&whole)) {
        image->icc = WebpChunk(demux, "ICCP");
        image->exif = WebpChunk(demux, "EXIF");
        WebPDemuxDelete(demux);
    }
    // Some writers keep the JPEG-style "Exif\0\0" in front of the block.
    if (image->exif.compare(0, 6, std::string("Exif\0\0", 6)) == 0) image->exif.erase(0, 6);
    image->orientation = ExifOrientation(image->exif);
    size_t pixels = static_cast<size_t>(width) * height;
    // Kept alpha is decoded straight into the image; laid over, through RGBA
    // scratch.
    const bool keep_alpha = features.has_alpha && settings.keep_alpha;
    const bool scratch = features.has_alpha && !keep_alpha;
    image->channels = keep_alpha ? 4 : 3;
    uint64_t decoder_bytes =
        (scratch ? pixels * 4 : 0) + (1 << 20) + OrientationBytes(*image, settings, width, height);
    if (settings.reserve && !settings.reserve(width, height, decoder_bytes, error)) {
        return false;
    }
    image->rgb.resize(pixels * image->channels);
    ByteBuffer rgba;
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) throw std::bad_alloc();
    config.output.is_external_memory = 1;
    if (scratch) {
        rgba.resize(pixels * 4);
        config.output.colorspace = MODE_RGBA;
        config.output.u.RGBA.rgba = rgba.data();
        config.output.u.RGBA.stride = width * 4;
        config.output.u.RGBA.size = rgba.size();
    } else {
        config.output.colorspace = keep_alpha ? MODE_RGBA : MODE_RGB;
        config.output.u.RGBA.rgba = image->rgb.data();
        config.output.u.RGBA.stride = width * image->channels;
        config.output.u.RGBA.size = image->rgb.size();
    }
    status = WebPDecode(data, size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status == VP8_STATUS_OUT_OF_MEMORY) throw std::bad_alloc();
    if (status != VP8_STATUS_OK) {
        *error = status == VP8_STATUS_NOT_ENOUGH_DATA ? "truncated WebP data" : "corrupt WebP data";
        return false;
    }
    if (scratch) {
        ToRgb(rgba.data(), static_cast<size_t>(width) * 4, 4, width, height, settings.background,
              image->rgb.data());
    }
    image->width = width;
    image->height = height;
    return true;
}

bool EncodeWebp(const Image& image, const std::string& icc_profile, const EncodeSettings& settings,
                ByteBuffer* out, std::string* error) {
    if (image.width > WEBP_MAX_DIMENSION || image.height > WEBP_MAX_DIMENSION) {
        *error = "WebP holds at most " + SizeText(WEBP_MAX_DIMENSION, WEBP_MAX_DIMENSION) +
                 " pixels (this is " + SizeText(image.width, image.height) + ")";
        return false;
    }
    WebPConfig config;
    WebPPicture picture;
    if (!WebPConfigInit(&config) || !WebPPictureInit(&picture)) {
        *error = "cannot encode WebP (library version mismatch)";
        return false;
    }
    if (settings.lossless) {
        WebPConfigLosslessPreset(&config, 6);
    } else {
        config.quality = static_cast<float>(settings.quality);
    }
    picture.use_argb = settings.lossless ? 1 : 0;
    // Colour under transparent pixels is kept as computed, not tidied away.
    if (image.channels == 4) config.exact = 1;
    picture.width = image.width;
    picture.height = image.height;
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &writer;
    bool ok = (image.channels == 4 ? WebPPictureImportRGBA(&picture, image.rgb.data(), image.width * 4)
                                   : WebPPictureImportRGB(&picture, image.rgb.data(), image.width * 3)) &&
              WebPEncode(&config, &picture);
    int code = picture.error_code;
    WebPPictureFree(&picture);
    if (!ok) {
        WebPMemoryWriterClear(&writer);
        if (code == VP8_ENC_ERROR_OUT_OF_MEMORY) throw std::bad_alloc();
        *error = "cannot encode WebP (error " + std::to_string(code) + ")";
        return false;
    }
    std::string exif = OutputExif(image);
    WebPData assembled = {writer.mem, writer.size};
    WebPData with_metadata = {nullptr, 0};
    if (!icc_profile.empty() || !exif.empty()) {
        WebPMux* mux = WebPMuxCreate(&assembled, 1);
        if (mux) {
            WebPData icc = {reinterpret_cast<const uint8_t*>(icc_profile.data()), icc_profile.size()};
            WebPData exif_data = {reinterpret_cast<const uint8_t*>(exif.data()), exif.size()};
            bool set = (icc_profile.empty() || WebPMuxSetChunk(mux, "ICCP", &icc, 1) == WEBP_MUX_OK) &&
                       (exif.empty() || WebPMuxSetChunk(mux, "EXIF", &exif_data, 1) == WEBP_MUX_OK);
            if (set && WebPMuxAssemble(mux, &with_metadata) == WEBP_MUX_OK) {
                assembled = with_metadata;
            }
            WebPMuxDelete(mux);
        }
    }
    out->assign(assembled.bytes, assembled.bytes + assembled.size);
    WebPDataClear(&with_metadata);
    WebPMemoryWriterClear(&writer);
    return true;
}

}  // namespace codec
}  // namespace polarmosaic
