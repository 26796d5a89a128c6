// codec_png.cpp - PNG (libpng): reading and writing.
//
// libpng reports errors by longjmp. The decoder keeps its C++ objects
// (vectors, strings) in the caller's frame and does the library work in a
// function that owns nothing with a destructor, so a longjmp never skips one.
#include <setjmp.h>
#include <stdio.h>
#include <string.h>

#include <new>

#include <png.h>

#include "codec_internal.h"
#include "exif.h"

namespace polarmosaic {
namespace codec {

namespace {

// ---------------------------------------------------------------- PNG read

struct PngSource {
    const uint8_t* data;
    size_t size;
    size_t pos;
    bool truncated;
    char message[256];
};

void PngError(png_structp png, png_const_charp message) {
    PngSource* source = static_cast<PngSource*>(png_get_error_ptr(png));
    snprintf(source->message, sizeof(source->message), "%s", message);
    png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

void PngRead(png_structp png, png_bytep out, png_size_t count) {
    PngSource* source = static_cast<PngSource*>(png_get_io_ptr(png));
    if (source->size - source->pos < count) {
        source->truncated = true;
        png_error(png, "unexpected end of data");
    }
    memcpy(out, source->data + source->pos, count);
    source->pos += count;
}

// The chunks of a PNG file, walked without libpng: the total length of its
// IDAT chunks (the only data the rows come from), and whether a chunk claims
// more bytes than follow it. libpng allocates (and clears) a chunk's claimed
// length before reading it, so such a file must not reach libpng.
struct PngChunks {
    uint64_t idat_bytes = 0;
    bool overrun = false;
};

PngChunks WalkPngChunks(const uint8_t* data, size_t size) {
    PngChunks chunks;
    size_t pos = 8;
    while (pos < size) {
        if (size - pos < 12) {
            chunks.overrun = true;
            break;
        }
        uint64_t length = (uint64_t(data[pos]) << 24) | (uint64_t(data[pos + 1]) << 16) |
                          (uint64_t(data[pos + 2]) << 8) | data[pos + 3];
        if (length > size - pos - 12) {
            chunks.overrun = true;
            break;
        }
        if (memcmp(data + pos + 4, "IDAT", 4) == 0) chunks.idat_bytes += length;
        if (memcmp(data + pos + 4, "IEND", 4) == 0) break;
        pos += 12 + static_cast<size_t>(length);
    }
    return chunks;
}

struct PngDecode {
    PngSource source;
    const LoadSettings* settings;
    uint64_t idat_bytes;
    Image* image;
    ByteBuffer* scratch;  // rows that need compositing, or interlaced ones
    std::vector<png_bytep>* rows;
    png_uint_32 width;
    png_uint_32 height;
    std::string* error;  // set only for failures found outside libpng
};

// libpng's side of the decode; nothing here has a destructor.
bool PngDecodeRows(png_structp png, png_infop info, PngDecode* job) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, &job->source, PngRead);
    png_set_user_limits(png, 0x7fffffffu, 0x7fffffffu);
    // Only the profile and EXIF are used: other ancillary chunks (text that
    // may inflate to megabytes each, and a thousand of them) are skipped
    // unread.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    static const png_byte kUsedChunks[] = "iCCP\0eXIf\0tRNS";
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_AS_DEFAULT, kUsedChunks, 3);
    png_read_info(png, info);
    job->width = png_get_image_width(png, info);
    job->height = png_get_image_height(png, info);
    if (TooLarge(job->width, job->height, *job->settings)) {
        *job->error = TooLargeText(job->width, job->height, *job->settings);
        return false;
    }
    // Deflate expands at most 1032:1, so IDAT data too short for the rows as
    // stored (before palette or bit-depth expansion) cannot be genuine: say
    // so before taking memory for them.
    uint64_t stored_row =
        (static_cast<uint64_t>(job->width) * png_get_channels(png, info) * png_get_bit_depth(png, info) + 7) /
            8 +
        1;
    uint64_t stored = stored_row * job->height;
    if (stored / 1032 > job->idat_bytes + 64) {
        job->source.truncated = true;
        return false;
    }
    int colour_type = png_get_color_type(png, info);
    int bit_depth = png_get_bit_depth(png, info);
    {
        png_charp name = nullptr;
        int compression = 0;
        png_bytep profile = nullptr;
        png_uint_32 profile_size = 0;
        if (png_get_iCCP(png, info, &name, &compression, &profile, &profile_size)) {
            job->image->icc.assign(reinterpret_cast<const char*>(profile), profile_size);
        }
        png_bytep exif = nullptr;
        png_uint_32 exif_size = 0;
        if (png_get_eXIf_1(png, info, &exif_size, &exif)) {
            job->image->exif.assign(reinterpret_cast<const char*>(exif), exif_size);
            job->image->orientation = ExifOrientation(job->image->exif);
        }
    }
    if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colour_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) {
        png_set_expand_gray_1_2_4_to_8(png);
    }
    bool alpha = png_get_valid(png, info, PNG_INFO_tRNS) || (colour_type & PNG_COLOR_MASK_ALPHA);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    // Kept alpha comes as RGBA whatever the colour type.
    const bool keep_alpha = alpha && job->settings->keep_alpha;
    // Grey needs no arithmetic: libpng copies it into three channels, so
    // grey and RGB rows (and kept grey and alpha) go straight into the image.
    if ((!alpha || keep_alpha) && !(colour_type & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
    // Rounded to nearest, not truncated.
    if (bit_depth == 16) png_set_scale_16(png);
    bool interlaced = png_set_interlace_handling(png) > 1;
    png_read_update_info(png, info);
    int channels = png_get_channels(png, info);
    const int kept = keep_alpha ? 4 : 3;  // the image's channels
    job->image->channels = kept;
    size_t row_bytes = png_get_rowbytes(png, info);
    uint64_t decoder_bytes = 1 << 20;
    if (channels != kept) decoder_bytes += interlaced ? row_bytes * job->height : row_bytes;
    if (interlaced) decoder_bytes += sizeof(png_bytep) * job->height;
    decoder_bytes += OrientationBytes(*job->image, *job->settings, job->width, job->height);
    if (job->settings->reserve &&
        !job->settings->reserve(static_cast<int>(job->width), static_cast<int>(job->height), decoder_bytes,
                                job->error)) {
        return false;
    }
    Image* image = job->image;
    size_t rgb_stride = static_cast<size_t>(job->width) * kept;
    image->rgb.resize(rgb_stride * job->height);
    const uint8_t* background = job->settings->background;
    if (!interlaced) {
        // One row at a time: with alpha through one row of scratch.
        if (channels != kept) job->scratch->resize(row_bytes);
        for (png_uint_32 y = 0; y < job->height; ++y) {
            uint8_t* out = image->rgb.data() + y * rgb_stride;
            if (channels == kept) {
                png_read_row(png, out, nullptr);
            } else {
                png_read_row(png, job->scratch->data(), nullptr);
                ToRgb(job->scratch->data(), row_bytes, channels, static_cast<int>(job->width), 1, background,
                      out);
            }
        }
    } else {
        uint8_t* base = image->rgb.data();
        size_t stride = rgb_stride;
        if (channels != kept) {
            job->scratch->resize(row_bytes * job->height);
            base = job->scratch->data();
            stride = row_bytes;
        }
        job->rows->resize(job->height);
        for (png_uint_32 y = 0; y < job->height; ++y) {
            (*job->rows)[y] = base + y * stride;
        }
        png_read_image(png, job->rows->data());
        if (channels != kept) {
            ToRgb(base, stride, channels, static_cast<int>(job->width), static_cast<int>(job->height),
                  background, image->rgb.data());
        }
    }
    // Up to the end chunk, so a file cut after its pixel data is caught too.
    png_read_end(png, nullptr);
    return true;
}

struct PngReadGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngReadGuard() { png_destroy_read_struct(&png, &info, nullptr); }
};

}  // namespace

bool LoadPng(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
             std::string* error) {
    ByteBuffer scratch;
    std::vector<png_bytep> rows;
    std::string own_error;
    PngChunks chunks = WalkPngChunks(data, size);
    if (chunks.overrun) {
        *error = "truncated PNG data";
        return false;
    }
    PngDecode job = {};
    job.source.data = data;
    job.source.size = size;
    job.idat_bytes = chunks.idat_bytes;
    job.settings = &settings;
    job.image = image;
    job.scratch = &scratch;
    job.rows = &rows;
    job.error = &own_error;
    PngReadGuard guard;
    guard.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job.source, PngError, PngWarning);
    if (guard.png) guard.info = png_create_info_struct(guard.png);
    if (!guard.png || !guard.info) throw std::bad_alloc();
    if (!PngDecodeRows(guard.png, guard.info, &job)) {
        if (!own_error.empty()) {
            *error = own_error;
        } else if (job.source.truncated) {
            *error = "truncated PNG data";
        } else {
            *error = std::string("corrupt PNG data (") + job.source.message + ")";
        }
        return false;
    }
    image->width = static_cast<int>(job.width);
    image->height = static_cast<int>(job.height);
    return true;
}

namespace {

// -------------------------------------------------------------- PNG write

struct PngSink {
    ByteBuffer* out;
    bool out_of_memory;
    char message[256];
};

void PngWriteError(png_structp png, png_const_charp message) {
    PngSink* sink = static_cast<PngSink*>(png_get_error_ptr(png));
    snprintf(sink->message, sizeof(sink->message), "%s", message);
    png_longjmp(png, 1);
}

void PngWrite(png_structp png, png_bytep data, png_size_t count) {
    PngSink* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    // No exception may cross libpng's C frames.
    try {
        sink->out->insert(sink->out->end(), data, data + count);
    } catch (const std::bad_alloc&) {
        sink->out_of_memory = true;
        png_error(png, "out of memory");
    }
}

void PngFlush(png_structp) {}

bool PngEncodeRows(png_structp png, png_infop info, const Image* image, const std::string* icc,
                   std::string* exif, PngSink* sink) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, sink, PngWrite, PngFlush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image->width), static_cast<png_uint_32>(image->height),
                 8, image->channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // A profile libpng finds unusable is left out with a warning.
    png_set_benign_errors(png, 1);
    if (!icc->empty()) {
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE,
                     reinterpret_cast<png_const_bytep>(icc->data()), static_cast<png_uint_32>(icc->size()));
    }
    if (!exif->empty()) {
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(exif->size()),
                       reinterpret_cast<png_bytep>(&(*exif)[0]));
    }
    png_write_info(png, info);
    for (int y = 0; y < image->height; ++y) {
        png_write_row(png, const_cast<png_bytep>(image->rgb.data() +
                                                 static_cast<size_t>(y) * image->width * image->channels));
    }
    // Nothing follows the pixels; given the info, libpng would write eXIf twice.
    png_write_end(png, nullptr);
    return true;
}

struct PngWriteGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriteGuard() { png_destroy_write_struct(&png, &info); }
};

}  // namespace

bool EncodePng(const Image& image, const std::string& icc, ByteBuffer* out, std::string* error) {
    std::string exif = OutputExif(image);
    PngSink sink = {};
    sink.out = out;
    PngWriteGuard guard;
    guard.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, PngWriteError, PngWarning);
    if (guard.png) guard.info = png_create_info_struct(guard.png);
    if (!guard.png || !guard.info) throw std::bad_alloc();
    if (!PngEncodeRows(guard.png, guard.info, &image, &icc, &exif, &sink)) {
        if (sink.out_of_memory) throw std::bad_alloc();
        *error = std::string("cannot encode PNG (") + sink.message + ")";
        return false;
    }
    return true;
}

}  // namespace codec
}  // namespace polarmosaic
