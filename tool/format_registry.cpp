// format_registry.cpp - the formats the tool reads and writes: recognised
// by content, named by extension or on the command line, and dispatched to
// their codecs (codec_*.cpp).
#include <string.h>

#include "animation.h"
#include "codec_internal.h"
#include "image_io.h"
#include "metadata.h"

namespace polarmosaic {

namespace {

using namespace codec;

// An alpha channel that is 255 everywhere shows nothing: the picture is
// made RGB in place, so that it comes out as an opaque one always has.
void DropOpaqueAlpha(Image* image) {
    if (image->channels != 4) return;
    const size_t pixels = static_cast<size_t>(image->width) * image->height;
    const uint8_t* p = image->rgb.data();
    for (size_t i = 0; i < pixels; ++i) {
        if (p[4 * i + 3] != 255) return;
    }
    uint8_t* d = image->rgb.data();
    for (size_t i = 0; i < pixels; ++i) memmove(d + 3 * i, p + 4 * i, 3);
    image->rgb.resize(pixels * 3);
    image->channels = 3;
}

std::string Lower(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

}  // namespace

ImageFormat SniffFormat(const uint8_t* data, size_t size) {
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (size >= 8 && memcmp(data, kPng, 8) == 0) return ImageFormat::kPng;
    if (size >= 3 && data[0] == 0xff && data[1] == 0xd8 && data[2] == 0xff) {
        return ImageFormat::kJpeg;
    }
    if (size >= 2 && data[0] == 'P' && data[1] == '6') return ImageFormat::kPpm;
    if (size >= 2 && data[0] == 'P' && data[1] == '5') return ImageFormat::kPgm;
    if (size >= 12 && memcmp(data, "RIFF", 4) == 0 && memcmp(data + 8, "WEBP", 4) == 0) {
        return ImageFormat::kWebp;
    }
    if (size >= 4 && (memcmp(data, "II*\0", 4) == 0 || memcmp(data, "MM\0*", 4) == 0 ||
                      memcmp(data, "II+\0", 4) == 0 || memcmp(data, "MM\0+", 4) == 0)) {
        return ImageFormat::kTiff;
    }
    if (size >= 6 && (memcmp(data, "GIF87a", 6) == 0 || memcmp(data, "GIF89a", 6) == 0)) {
        return ImageFormat::kGif;
    }
    return ImageFormat::kUnknown;
}

ImageFormat FormatFromName(const std::string& name) {
    std::string lower = Lower(name);
    if (lower == "png") return ImageFormat::kPng;
    if (lower == "jpg" || lower == "jpeg") return ImageFormat::kJpeg;
    if (lower == "ppm") return ImageFormat::kPpm;
    if (lower == "pgm") return ImageFormat::kPgm;
    if (lower == "webp") return ImageFormat::kWebp;
    if (lower == "tif" || lower == "tiff") return ImageFormat::kTiff;
    if (lower == "gif") return ImageFormat::kGif;
    return ImageFormat::kUnknown;
}

ImageFormat FormatFromExtension(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return ImageFormat::kUnknown;
    }
    return FormatFromName(path.substr(dot + 1));
}

const char* FormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::kPng:
            return "PNG";
        case ImageFormat::kJpeg:
            return "JPEG";
        case ImageFormat::kPpm:
            return "PPM";
        case ImageFormat::kPgm:
            return "PGM";
        case ImageFormat::kWebp:
            return "WebP";
        case ImageFormat::kTiff:
            return "TIFF";
        case ImageFormat::kGif:
            return "GIF";
        default:
            return "unknown";
    }
}

const char* FormatExtension(ImageFormat format) {
    switch (format) {
        case ImageFormat::kPng:
            return ".png";
        case ImageFormat::kJpeg:
            return ".jpg";
        case ImageFormat::kPpm:
            return ".ppm";
        case ImageFormat::kPgm:
            return ".pgm";
        case ImageFormat::kWebp:
            return ".webp";
        case ImageFormat::kTiff:
            return ".tif";
        case ImageFormat::kGif:
            return ".gif";
        default:
            return "";
    }
}

bool LoadImage(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
               std::string* error) {
    if (!CheckImageHead(data, size, error)) return false;
    ImageFormat format = SniffFormat(data, size);
    image->format = format;
    image->icc.clear();
    image->exif.clear();
    image->orientation = 1;
    image->channels = 3;
    image->warnings.clear();
    bool ok = false;
    switch (format) {
        case ImageFormat::kPng:
            ok = LoadPng(data, size, settings, image, error);
            break;
        case ImageFormat::kJpeg:
            ok = LoadJpeg(data, size, settings, image, error);
            break;
        case ImageFormat::kWebp:
            ok = LoadWebp(data, size, settings, image, error);
            break;
        case ImageFormat::kTiff:
            ok = LoadTiff(data, size, settings, image, error);
            break;
        case ImageFormat::kGif:
            ok = LoadFirstFrame(data, size, AnimationFormat::kGif, settings, image, error);
            break;
        default:
            ok = LoadPnm(data, size, settings, image, error);
            break;
    }
    if (ok) DropOpaqueAlpha(image);
    if (ok && settings.auto_orient) ApplyOrientation(image);
    return ok;
}

bool CheckImageHead(const uint8_t* data, size_t size, std::string* error) {
    if (size == 0) {
        *error = "empty file";
        return false;
    }
    if (SniffFormat(data, size) != ImageFormat::kUnknown) return true;
    if (size >= 2 && data[0] == 'P' && data[1] >= '1' && data[1] <= '4') {
        *error =
            "plain-text or bitmap PBM/PGM/PPM is not supported (use binary "
            "P5 or P6)";
    } else {
        *error = "not a PNG, JPEG, WebP, TIFF, GIF or PPM/PGM image";
    }
    return false;
}

bool FormatHasAlpha(ImageFormat format) {
    return format == ImageFormat::kPng || format == ImageFormat::kWebp || format == ImageFormat::kTiff ||
           format == ImageFormat::kGif;
}

bool FormatUsesQuality(ImageFormat format, const EncodeSettings& settings) {
    return format == ImageFormat::kJpeg || (format == ImageFormat::kWebp && !settings.lossless);
}

// The profile to write with the pixels in format: empty when there is none,
// when it does not describe RGB pixels, or when format cannot hold it.
std::string CarriedIcc(const Image& image, ImageFormat format, std::vector<std::string>* warnings) {
    if (image.icc.empty() || format == ImageFormat::kPpm || format == ImageFormat::kPgm) {
        return std::string();
    }
    auto drop = [&](const std::string& why) {
        if (warnings) warnings->push_back("ICC profile left out (" + why + ")");
        return std::string();
    };
    // Bytes 16 .. 19 of the header name the colour space the profile
    // describes; every output holds RGB pixels. A grey profile of a grey
    // input is not carried either: it would tell readers to take the three
    // channels as one.
    const size_t kHeaderBytes = 128;
    if (image.icc.size() < kHeaderBytes) return drop("too short to be a profile");
    std::string space = image.icc.substr(16, 4);
    if (space != "RGB ") {
        for (char& c : space) {
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
        }
        while (!space.empty() && space.back() == ' ') space.pop_back();
        return drop("a '" + space + "' profile does not describe the RGB pixels written");
    }
    if (format == ImageFormat::kJpeg && image.icc.size() > kJpegIccBytes) {
        return drop(std::to_string(image.icc.size()) + " bytes, more than JPEG holds (" +
                    std::to_string(kJpegIccBytes) + ")");
    }
    return image.icc;
}

bool EncodeImage(const Image& image, ImageFormat format, const EncodeSettings& settings, ByteBuffer* out,
                 std::string* error, std::vector<std::string>* warnings) {
    out->clear();
    if (image.channels != 3 && !(image.channels == 4 && FormatHasAlpha(format))) {
        *error = std::string("a picture with alpha cannot be written as ") + FormatName(format);
        return false;
    }
    std::string icc = CarriedIcc(image, format, warnings);
    switch (format) {
        case ImageFormat::kPng:
            return EncodePng(image, icc, out, error);
        case ImageFormat::kJpeg:
            return EncodeJpeg(image, icc, settings.quality, out, error, warnings);
        case ImageFormat::kWebp:
            return EncodeWebp(image, icc, settings, out, error);
        case ImageFormat::kTiff:
            return EncodeTiff(image, icc, out, error, warnings);
        case ImageFormat::kGif:
            return EncodeGifStill(image, out, error);
        case ImageFormat::kPpm:
        case ImageFormat::kPgm:
            EncodePnm(image, format == ImageFormat::kPgm, out);
            return true;
        default:
            *error = "no output format";
            return false;
    }
}

}  // namespace polarmosaic
