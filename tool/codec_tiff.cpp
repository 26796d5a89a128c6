// codec_tiff.cpp - TIFF (libtiff): reading and writing, with the ICC
// profile and the EXIF block.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>

#include <tiffio.h>

#include "codec_internal.h"
#include "exif.h"
#include "mosaic_host.h"

namespace polarmosaic {
namespace codec {

namespace {

// A TIFF file in memory, for reading or writing.
struct TiffStream {
    const uint8_t* data;  // reading
    ByteBuffer* out;      // writing
    uint64_t size;
    uint64_t pos;
    bool out_of_memory;
    char message[256];
};

tmsize_t TiffRead(thandle_t handle, void* buffer, tmsize_t count) {
    TiffStream* s = static_cast<TiffStream*>(handle);
    const uint8_t* base = s->out ? s->out->data() : s->data;
    if (count < 0 || s->pos >= s->size) return 0;
    uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(count), s->size - s->pos);
    memcpy(buffer, base + s->pos, n);
    s->pos += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t TiffWrite(thandle_t handle, void* buffer, tmsize_t count) {
    TiffStream* s = static_cast<TiffStream*>(handle);
    if (!s->out || count < 0) return -1;
    uint64_t end = s->pos + static_cast<uint64_t>(count);
    try {
        if (end > s->out->size()) {
            if (end > s->out->capacity()) s->out->reserve(std::max<uint64_t>(end, s->out->capacity() * 2));
            s->out->resize(end);
        }
    } catch (const std::bad_alloc&) {
        s->out_of_memory = true;
        return -1;
    }
    memcpy(s->out->data() + s->pos, buffer, static_cast<size_t>(count));
    s->pos = end;
    s->size = std::max(s->size, end);
    return count;
}

toff_t TiffSeek(thandle_t handle, toff_t offset, int whence) {
    TiffStream* s = static_cast<TiffStream*>(handle);
    uint64_t base = whence == SEEK_CUR ? s->pos : whence == SEEK_END ? s->size : 0;
    s->pos = base + offset;
    return s->pos;
}

int TiffClose(thandle_t) { return 0; }
toff_t TiffSize(thandle_t handle) { return static_cast<TiffStream*>(handle)->size; }
int TiffMap(thandle_t, void**, toff_t*) { return 0; }
void TiffUnmap(thandle_t, void*, toff_t) {}

// libtiff reports through handlers; these keep the first error per stream
// and drop the warnings (they would go to standard error).
int TiffErrorHandler(TIFF*, void* user, const char*, const char* format, va_list args) {
    TiffStream* s = static_cast<TiffStream*>(user);
    if (s->message[0] == '\0') vsnprintf(s->message, sizeof(s->message), format, args);
    return 1;
}

int TiffWarningHandler(TIFF*, void*, const char*, const char*, va_list) { return 1; }

TIFF* OpenTiff(TiffStream* stream, const char* mode) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options) throw std::bad_alloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, TiffErrorHandler, stream);
    TIFFOpenOptionsSetWarningHandlerExtR(options, TiffWarningHandler, stream);
    // libtiff's own bound on any single allocation (a strip, a tag), on top
    // of the memory budget that the pixels are counted against.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(1) << 31);
    TIFF* tif = TIFFClientOpenExt("TIFF", mode, stream, TiffRead, TiffWrite, TiffSeek, TiffClose, TiffSize,
                                  TiffMap, TiffUnmap, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

struct TiffGuard {
    TIFF* tif = nullptr;
    ~TiffGuard() {
        if (tif) TIFFClose(tif);
    }
};

struct RgbaGuard {
    TIFFRGBAImage* image = nullptr;
    ~RgbaGuard() {
        if (image) TIFFRGBAImageEnd(image);
    }
};

std::string TiffReason(const TiffStream& stream, const char* fallback) {
    return stream.message[0] ? std::string(fallback) + " (" + stream.message + ")" : std::string(fallback);
}

// Plain strips of 8- or 16-bit grey or RGB, with or without alpha: read
// row by row, 16-bit samples rounded to 8 bits (libtiff's RGBA reader
// truncates 16-bit grey). Everything else goes through that reader.
bool DirectTiffLayout(TIFF* tif) {
    uint16_t bits = 0, samples = 0, planar = 0, photometric = 0, extra_count = 0;
    uint16_t* extra = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
    int colours = photometric == PHOTOMETRIC_MINISBLACK ? 1 : photometric == PHOTOMETRIC_RGB ? 3 : 0;
    return !TIFFIsTiled(tif) && (bits == 8 || bits == 16) && planar == PLANARCONFIG_CONTIG && colours > 0 &&
           (samples == colours || (samples == colours + 1 && extra_count == 1));
}

// Straight colour of a premultiplied one, rounded to nearest (0 where
// nothing shows).
uint32_t Unpremultiplied(uint32_t colour, uint32_t alpha) {
    if (alpha == 0) return 0;
    const uint32_t straight = (colour * 255 + alpha / 2) / alpha;
    return straight > 255 ? 255 : straight;
}

bool LoadTiffScanlines(TIFF* tif, TiffStream* stream, const LoadSettings& settings, uint32_t width,
                       uint32_t height, Image* image, std::string* error) {
    uint16_t bits = 0, samples = 0, photometric = 0, extra_count = 0;
    uint16_t* extra = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
    bool associated = extra_count == 1 && extra[0] == EXTRASAMPLE_ASSOCALPHA;
    const bool has_alpha = samples == 2 || samples == 4;
    const bool keep_alpha = has_alpha && settings.keep_alpha;
    const int n = keep_alpha ? 4 : 3;
    image->channels = n;
    size_t line = static_cast<size_t>(TIFFScanlineSize64(tif));
    size_t pixels = static_cast<size_t>(width) * height;
    uint64_t decoder_bytes = line + (1 << 20) + OrientationBytes(*image, settings, width, height);
    if (settings.reserve &&
        !settings.reserve(static_cast<int>(width), static_cast<int>(height), decoder_bytes, error)) {
        return false;
    }
    image->rgb.resize(pixels * n);
    ByteBuffer row(line);
    const uint8_t* bg = settings.background;
    for (uint32_t y = 0; y < height; ++y) {
        if (TIFFReadScanline(tif, row.data(), y, 0) < 0) {
            *error = TiffReason(*stream, "corrupt TIFF data");
            return false;
        }
        uint8_t* d = image->rgb.data() + static_cast<size_t>(y) * width * n;
        for (uint32_t x = 0; x < width; ++x, d += n) {
            uint32_t v[4];
            for (int k = 0; k < samples; ++k) {
                size_t i = static_cast<size_t>(x) * samples + k;
                if (bits == 8) {
                    v[k] = row[i];
                } else {
                    uint16_t wide;
                    memcpy(&wide, &row[2 * i], 2);  // libtiff gives host byte order
                    v[k] = (wide * 255u + 32767u) / 65535u;
                }
            }
            uint32_t rgb[3] = {v[0], v[0], v[0]};
            if (photometric == PHOTOMETRIC_RGB) {
                rgb[1] = v[1];
                rgb[2] = v[2];
            }
            if (keep_alpha) {
                const uint32_t a = v[samples - 1];
                for (int c = 0; c < 3 && associated; ++c) rgb[c] = Unpremultiplied(rgb[c], a);
                d[3] = static_cast<uint8_t>(a);
            } else if (has_alpha) {
                uint32_t a = v[samples - 1];
                for (int c = 0; c < 3; ++c) {
                    rgb[c] = associated ? PremultipliedOver(rgb[c], a, bg[c]) : AlphaOver(rgb[c], a, bg[c]);
                }
            }
            d[0] = static_cast<uint8_t>(rgb[0]);
            d[1] = static_cast<uint8_t>(rgb[1]);
            d[2] = static_cast<uint8_t>(rgb[2]);
        }
    }
    image->width = static_cast<int>(width);
    image->height = static_cast<int>(height);
    return true;
}

}  // namespace

bool LoadTiff(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
              std::string* error) {
    TiffStream stream = {};
    stream.data = data;
    stream.size = size;
    TiffGuard guard;
    guard.tif = OpenTiff(&stream, "rm");
    if (!guard.tif) {
        *error = TiffReason(stream, "corrupt TIFF data");
        return false;
    }
    uint32_t width = 0, height = 0;
    TIFFGetField(guard.tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(guard.tif, TIFFTAG_IMAGELENGTH, &height);
    if (TooLarge(width, height, settings)) {
        *error = TooLargeText(width, height, settings);
        return false;
    }
    // Samples are read as unsigned integers (void: unspecified, taken as
    // such); signed or floating-point ones would come out as wrong colours,
    // whichever reader took them.
    uint16_t sample_format = SAMPLEFORMAT_UINT;
    TIFFGetFieldDefaulted(guard.tif, TIFFTAG_SAMPLEFORMAT, &sample_format);
    if (sample_format != SAMPLEFORMAT_UINT && sample_format != SAMPLEFORMAT_VOID) {
        *error = std::string("unsupported TIFF (") +
                 (sample_format == SAMPLEFORMAT_INT      ? "signed integer"
                  : sample_format == SAMPLEFORMAT_IEEEFP ? "floating-point"
                                                         : "complex") +
                 " samples)";
        return false;
    }
    uint32_t icc_size = 0;
    void* icc = nullptr;
    if (TIFFGetField(guard.tif, TIFFTAG_ICCPROFILE, &icc_size, &icc) && icc) {
        image->icc.assign(static_cast<const char*>(icc), icc_size);
    }
    bool exif_too_large = false;
    image->exif = ExifFromTiff(data, size, &exif_too_large);
    if (exif_too_large) image->warnings.push_back(kExifTooLargeWarning);
    uint16_t orientation = 1;
    TIFFGetFieldDefaulted(guard.tif, TIFFTAG_ORIENTATION, &orientation);
    image->orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
    if (DirectTiffLayout(guard.tif)) {
        return LoadTiffScanlines(guard.tif, &stream, settings, width, height, image, error);
    }
    char reason[1024] = "";
    if (!TIFFRGBAImageOK(guard.tif, reason)) {
        *error = std::string("unsupported TIFF (") + reason + ")";
        return false;
    }
    TIFFRGBAImage rgba;
    if (!TIFFRGBAImageBegin(&rgba, guard.tif, 1, reason)) {
        *error = std::string("unsupported TIFF (") + reason + ")";
        return false;
    }
    RgbaGuard rgba_guard;
    rgba_guard.image = &rgba;
    // Rows as stored, top row first: the orientation is applied afterwards,
    // the same way for every format.
    rgba.req_orientation = ORIENTATION_TOPLEFT;
    rgba.orientation = ORIENTATION_TOPLEFT;
    size_t pixels = static_cast<size_t>(width) * height;
    // The reader decodes a whole strip or tile at a time (one per plane when
    // the planes are separate), and a tile may be far larger than the image.
    uint16_t planar = PLANARCONFIG_CONTIG, samples = 1;
    TIFFGetFieldDefaulted(guard.tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(guard.tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    uint64_t block = TIFFIsTiled(guard.tif) ? TIFFTileSize64(guard.tif) : TIFFStripSize64(guard.tif);
    if (planar == PLANARCONFIG_SEPARATE) block *= samples;
    const bool keep_alpha = rgba.alpha != 0 && settings.keep_alpha;
    const int n = keep_alpha ? 4 : 3;
    image->channels = n;
    uint64_t decoder_bytes =
        pixels * 4 + block + (1 << 20) + OrientationBytes(*image, settings, width, height);
    if (settings.reserve &&
        !settings.reserve(static_cast<int>(width), static_cast<int>(height), decoder_bytes, error)) {
        return false;
    }
    ByteBuffer raster(pixels * 4);
    if (!TIFFRGBAImageGet(&rgba, reinterpret_cast<uint32_t*>(raster.data()), width, height)) {
        *error = TiffReason(stream, "corrupt TIFF data");
        return false;
    }
    // libtiff hands out premultiplied (associated) alpha.
    image->rgb.resize(pixels * n);
    const uint32_t* p = reinterpret_cast<const uint32_t*>(raster.data());
    uint8_t* d = image->rgb.data();
    const uint8_t* bg = settings.background;
    for (size_t i = 0; i < pixels; ++i, d += n) {
        uint32_t v = p[i];
        uint32_t a = TIFFGetA(v);
        uint32_t c[3] = {TIFFGetR(v), TIFFGetG(v), TIFFGetB(v)};
        if (keep_alpha) {
            for (int k = 0; k < 3; ++k) d[k] = static_cast<uint8_t>(Unpremultiplied(c[k], a));
            d[3] = static_cast<uint8_t>(a);
        } else {
            for (int k = 0; k < 3; ++k) d[k] = PremultipliedOver(c[k], a, bg[k]);
        }
    }
    image->width = static_cast<int>(width);
    image->height = static_cast<int>(height);
    return true;
}

bool EncodeTiff(const Image& image, const std::string& icc, ByteBuffer* out, std::string* error,
                std::vector<std::string>* warnings) {
    TiffStream stream = {};
    stream.out = out;
    out->clear();
    uint64_t raw = static_cast<uint64_t>(image.width) * image.height * image.channels;
    // Classic TIFF offsets are 32-bit; BigTIFF beyond. EXIF values are
    // copied as they stand, so the file takes the EXIF block's byte order.
    std::string exif = OutputExif(image);
    std::string mode = raw > (uint64_t(3) << 30) ? "w8m" : "wm";
    if (!exif.empty()) mode += ExifIsLittleEndian(exif) ? "l" : "b";
    TiffGuard guard;
    guard.tif = OpenTiff(&stream, mode.c_str());
    if (!guard.tif) {
        *error = TiffReason(stream, "cannot encode TIFF");
        return false;
    }
    TIFF* tif = guard.tif;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, image.channels);
    if (image.channels == 4) {
        const uint16_t unassociated = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &unassociated);
    }
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    // 1 once turned upright; under --no-auto-orient, the orientation the
    // pixels were stored with, which they still have.
    TIFFSetField(tif, TIFFTAG_ORIENTATION, static_cast<uint16_t>(image.orientation));
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    if (!icc.empty()) {
        TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(icc.size()), icc.data());
    }
    ByteBuffer row(static_cast<size_t>(image.width) * image.channels);
    for (int y = 0; y < image.height; ++y) {
        // TIFFWriteScanline may change the row it is given (the predictor).
        memcpy(row.data(), image.rgb.data() + static_cast<size_t>(y) * row.size(), row.size());
        if (TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0) < 0) {
            if (stream.out_of_memory) throw std::bad_alloc();
            *error = TiffReason(stream, "cannot encode TIFF");
            return false;
        }
    }
    if (!TIFFWriteDirectory(tif)) {
        if (stream.out_of_memory) throw std::bad_alloc();
        *error = TiffReason(stream, "cannot encode TIFF");
        return false;
    }
    TIFFClose(tif);
    guard.tif = nullptr;
    out->resize(stream.size);
    // A block that cannot be read cannot be carried; the picture still is.
    bool too_large = false;
    if (!exif.empty() && !AddExifToTiff(exif, out, &too_large) && too_large && warnings) {
        warnings->push_back(kExifTooLargeWarning);
    }
    return true;
}

}  // namespace codec
}  // namespace polarmosaic
