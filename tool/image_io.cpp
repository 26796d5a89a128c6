// image_io.cpp - PNG (libpng), JPEG (libjpeg) and binary PPM/PGM; WebP and
// TIFF are in image_formats.cpp.
//
// libpng and libjpeg report errors by longjmp. Each decoder keeps its C++
// objects (vectors, strings) in the caller's frame and does the library work
// in a function that owns nothing with a destructor, so a longjmp never
// skips one.
#include "image_io.h"

#include "codec_internal.h"
#include "exif.h"
#include "metadata.h"

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <limits.h>

#include <algorithm>
#include <new>

#include <png.h>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <jerror.h>

namespace polarmosaic {

namespace codec {

std::string SizeText(uint64_t width, uint64_t height) {
    return std::to_string(width) + " x " + std::to_string(height);
}

std::string TooLargeText(uint64_t width, uint64_t height, const LoadSettings& settings) {
    return "image is " + SizeText(width, height) + " pixels, larger than the effect can take (at most " +
           SizeText(settings.max_width, settings.max_height) + ")";
}

bool TooLarge(uint64_t width, uint64_t height, const LoadSettings& settings) {
    return width > static_cast<uint64_t>(settings.max_width) ||
           height > static_cast<uint64_t>(settings.max_height);
}

// Alpha compositing over the background, rounded to nearest.
inline uint8_t Over(uint32_t colour, uint32_t alpha, uint32_t background) {
    return static_cast<uint8_t>((colour * alpha + background * (255 - alpha) + 127) / 255);
}

// Converts 1..4 channel 8-bit rows (grey, grey+alpha, RGB, RGBA) to RGB.
void ToRgb(const uint8_t* src, size_t src_stride, int channels, int width, int height,
           const uint8_t background[3], uint8_t* dst) {
    for (int y = 0; y < height; ++y) {
        const uint8_t* s = src + y * src_stride;
        uint8_t* d = dst + static_cast<size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            switch (channels) {
                case 1:
                    d[0] = d[1] = d[2] = s[0];
                    break;
                case 2:
                    for (int c = 0; c < 3; ++c) d[c] = Over(s[0], s[1], background[c]);
                    break;
                case 3:
                    d[0] = s[0];
                    d[1] = s[1];
                    d[2] = s[2];
                    break;
                default:
                    for (int c = 0; c < 3; ++c) d[c] = Over(s[c], s[3], background[c]);
                    break;
            }
            s += channels;
            d += 3;
        }
    }
}

// Extra decoder bytes of turning an image upright.
uint64_t OrientationBytes(const Image& image, const LoadSettings& settings, uint64_t width, uint64_t height) {
    return settings.auto_orient && image.orientation >= 5 ? width * height * 3 : 0;
}

const char kExifTooLargeWarning[] = "EXIF data left out (more than 32768 entries or 1 MiB of values)";

std::string OutputExif(const Image& image) {
    std::string exif = image.exif;
    SetExifOrientation(&exif, image.orientation);
    SetExifPixelSize(&exif, image.width, image.height);
    UnlinkExifThumbnail(&exif);
    return exif;
}

}  // namespace codec

namespace {

using namespace codec;

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
    // Grey needs no arithmetic: libpng copies it into three channels, so
    // grey and RGB rows go straight into the image.
    if (!alpha && !(colour_type & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
    // Rounded to nearest, not truncated.
    if (bit_depth == 16) png_set_scale_16(png);
    bool interlaced = png_set_interlace_handling(png) > 1;
    png_read_update_info(png, info);
    int channels = png_get_channels(png, info);
    size_t row_bytes = png_get_rowbytes(png, info);
    uint64_t decoder_bytes = 1 << 20;
    if (channels != 3) decoder_bytes += interlaced ? row_bytes * job->height : row_bytes;
    if (interlaced) decoder_bytes += sizeof(png_bytep) * job->height;
    decoder_bytes += OrientationBytes(*job->image, *job->settings, job->width, job->height);
    if (job->settings->reserve &&
        !job->settings->reserve(static_cast<int>(job->width), static_cast<int>(job->height), decoder_bytes,
                                job->error)) {
        return false;
    }
    Image* image = job->image;
    size_t rgb_stride = static_cast<size_t>(job->width) * 3;
    image->rgb.resize(rgb_stride * job->height);
    const uint8_t* background = job->settings->background;
    if (!interlaced) {
        // One row at a time: with alpha through one row of scratch.
        if (channels != 3) job->scratch->resize(row_bytes);
        for (png_uint_32 y = 0; y < job->height; ++y) {
            uint8_t* out = image->rgb.data() + y * rgb_stride;
            if (channels == 3) {
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
        if (channels != 3) {
            job->scratch->resize(row_bytes * job->height);
            base = job->scratch->data();
            stride = row_bytes;
        }
        job->rows->resize(job->height);
        for (png_uint_32 y = 0; y < job->height; ++y) {
            (*job->rows)[y] = base + y * stride;
        }
        png_read_image(png, job->rows->data());
        if (channels != 3) {
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

// --------------------------------------------------------------- JPEG read

struct JpegErrorState {
    jpeg_error_mgr manager;  // first member: libjpeg passes its address
    jmp_buf jump;
    bool truncated;
    int code;  // libjpeg's message code of the error
    char message[JMSG_LENGTH_MAX];
};

void JpegErrorExit(j_common_ptr cinfo) {
    JpegErrorState* state = reinterpret_cast<JpegErrorState*>(cinfo->err);
    state->code = cinfo->err->msg_code;
    (*cinfo->err->format_message)(cinfo, state->message);
    longjmp(state->jump, 1);
}

// Warnings are ignored except those that say the data ran out or stopped
// at a marker too early; libjpeg would paper over both with grey rows.
void JpegEmitMessage(j_common_ptr cinfo, int level) {
    JpegErrorState* state = reinterpret_cast<JpegErrorState*>(cinfo->err);
    if (level < 0 && (cinfo->err->msg_code == JWRN_JPEG_EOF || cinfo->err->msg_code == JWRN_HIT_MARKER)) {
        state->truncated = true;
        longjmp(state->jump, 1);
    }
}

// Bytes of entropy-coded data: what follows each scan header up to the
// next marker other than a restart marker. Marker segments (comments,
// application data) are not counted, so padding cannot stand in for data.
uint64_t JpegEntropyBytes(const uint8_t* data, size_t size) {
    uint64_t total = 0;
    size_t pos = 2;
    while (pos + 4 <= size) {
        if (data[pos] != 0xff || data[pos + 1] == 0xff) {
            ++pos;
            continue;
        }
        uint8_t marker = data[pos + 1];
        if (marker == 0xd9) break;
        if (marker == 0x01 || marker == 0xd8 || (marker >= 0xd0 && marker <= 0xd7)) {
            pos += 2;
            continue;
        }
        size_t next = pos + 2 + ((static_cast<size_t>(data[pos + 2]) << 8) | data[pos + 3]);
        if (marker == 0xda && next < size) {
            size_t p = next;
            while (p + 1 < size && !(data[p] == 0xff && data[p + 1] != 0 && data[p + 1] != 0xff &&
                                     !(data[p + 1] >= 0xd0 && data[p + 1] <= 0xd7))) {
                ++p;
            }
            total += p - next;
            next = p;
        }
        pos = next;
    }
    return total;
}

struct JpegDecode {
    jpeg_decompress_struct cinfo;
    JpegErrorState error_state;
    const uint8_t* data;
    size_t size;
    const LoadSettings* settings;
    Image* image;
    int width;
    int height;
    std::string* error;
};

bool JpegDecodeRows(JpegDecode* job) {
    jpeg_decompress_struct* cinfo = &job->cinfo;
    if (setjmp(job->error_state.jump)) return false;
    jpeg_mem_src(cinfo, job->data, static_cast<unsigned long>(job->size));
    jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xffff);  // EXIF
    jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xffff);  // ICC profile
    jpeg_read_header(cinfo, TRUE);
    for (jpeg_saved_marker_ptr m = cinfo->marker_list; m; m = m->next) {
        if (m->marker == JPEG_APP0 + 1 && m->data_length > 6 && memcmp(m->data, "Exif\0\0", 6) == 0 &&
            job->image->exif.empty()) {
            job->image->exif.assign(reinterpret_cast<const char*>(m->data) + 6, m->data_length - 6);
            job->image->orientation = ExifOrientation(job->image->exif);
        }
    }
    JOCTET* profile = nullptr;
    unsigned int profile_size = 0;
    if (jpeg_read_icc_profile(cinfo, &profile, &profile_size)) {
        job->image->icc.assign(reinterpret_cast<const char*>(profile), profile_size);
        free(profile);
    }
    if (TooLarge(cinfo->image_width, cinfo->image_height, *job->settings)) {
        *job->error = TooLargeText(cinfo->image_width, cinfo->image_height, *job->settings);
        return false;
    }
    if (cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK) {
        *job->error = "CMYK JPEG is not supported (convert it to RGB first)";
        return false;
    }
    jpeg_calc_output_dimensions(cinfo);
    uint64_t blocks = 0;
    for (int c = 0; c < cinfo->num_components; ++c) {
        blocks +=
            static_cast<uint64_t>(cinfo->comp_info[c].width_in_blocks) * cinfo->comp_info[c].height_in_blocks;
    }
    // With Huffman coding the DC value of every 8 x 8 block of every
    // component costs at least one bit, so a file whose scans are too short
    // for the size it claims is refused before libjpeg allocates for it
    // (progressive files take coefficients for the whole image up front).
    // Arithmetic coding can code a flat image in almost nothing, so there the
    // memory budget is the guard.
    if (!cinfo->arith_code) {
        uint64_t entropy = JpegEntropyBytes(job->data, job->size);
        if (entropy < blocks / 8) {
            *job->error = "truncated JPEG data (" + std::to_string(entropy) +
                          " bytes of scan data cannot hold " + std::to_string(cinfo->image_width) + " x " +
                          std::to_string(cinfo->image_height) + " pixels)";
            return false;
        }
    }
    bool whole_image = jpeg_has_multiple_scans(cinfo);
    uint64_t decoder_bytes =
        (whole_image ? blocks * sizeof(JBLOCK) : 0) +
        static_cast<uint64_t>(cinfo->image_width) * cinfo->num_components * 64 +
        OrientationBytes(*job->image, *job->settings, cinfo->image_width, cinfo->image_height) + (4 << 20);
    if (job->settings->reserve &&
        !job->settings->reserve(static_cast<int>(cinfo->image_width), static_cast<int>(cinfo->image_height),
                                decoder_bytes, job->error)) {
        return false;
    }
    // libjpeg's own limit: it fails instead of growing past what was reserved.
    cinfo->mem->max_memory_to_use =
        static_cast<long>(std::min<uint64_t>(decoder_bytes + (16 << 20), LONG_MAX));
    cinfo->out_color_space = cinfo->jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(cinfo);
    // A progressive file has been read whole by now. Every encoder sends
    // each coefficient down to its last bit; a file that stops early (at an
    // end marker, say) leaves some never sent or unrefined.
    if (cinfo->progressive_mode && cinfo->coef_bits) {
        for (int c = 0; c < cinfo->num_components; ++c) {
            for (int k = 0; k < DCTSIZE2; ++k) {
                if (cinfo->coef_bits[c][k] != 0) {
                    job->error_state.truncated = true;
                    return false;
                }
            }
        }
    }
    job->width = static_cast<int>(cinfo->output_width);
    job->height = static_cast<int>(cinfo->output_height);
    bool grey = cinfo->output_components == 1;
    size_t stride = static_cast<size_t>(job->width) * 3;
    Image* image = job->image;
    image->rgb.resize(stride * job->height);
    // Rows are decoded straight into the image; grey rows into the first
    // third of their row, then spread over the row from its end backwards.
    while (cinfo->output_scanline < cinfo->output_height) {
        JSAMPROW rows[16];
        JDIMENSION first = cinfo->output_scanline;
        JDIMENSION count = std::min<JDIMENSION>(16, cinfo->output_height - first);
        for (JDIMENSION k = 0; k < count; ++k) {
            rows[k] = image->rgb.data() + (first + k) * stride;
        }
        JDIMENSION got = jpeg_read_scanlines(cinfo, rows, count);
        if (grey) {
            for (JDIMENSION k = 0; k < got; ++k) {
                uint8_t* row = rows[k];
                for (int x = job->width - 1; x >= 0; --x) {
                    row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = row[x];
                }
            }
        }
    }
    jpeg_finish_decompress(cinfo);
    return true;
}

struct JpegGuard {
    jpeg_decompress_struct* cinfo = nullptr;
    ~JpegGuard() {
        if (cinfo) jpeg_destroy_decompress(cinfo);
    }
};

std::string JpegFailure(const JpegErrorState& state) {
    switch (state.code) {
        case JERR_BAD_PRECISION:
            return "JPEG with other than 8 bits per sample is not supported (" + std::string(state.message) +
                   ")";
        case JERR_SOF_UNSUPPORTED:
        case JERR_NOT_COMPILED:
            return std::string("unsupported JPEG (") + state.message + ")";
        case JERR_OUT_OF_MEMORY:
            return "out of memory decoding the JPEG";
        case JERR_NO_BACKING_STORE:
            return "JPEG needs more memory than was reserved for it";
        default:
            return std::string("corrupt JPEG data (") + state.message + ")";
    }
}

bool LoadJpeg(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
              std::string* error) {
    std::string own_error;
    JpegDecode job;
    memset(&job, 0, sizeof(job));
    job.data = data;
    job.size = size;
    job.settings = &settings;
    job.image = image;
    job.error = &own_error;
    job.cinfo.err = jpeg_std_error(&job.error_state.manager);
    job.error_state.manager.error_exit = JpegErrorExit;
    job.error_state.manager.emit_message = JpegEmitMessage;
    JpegGuard guard;
    jpeg_create_decompress(&job.cinfo);
    guard.cinfo = &job.cinfo;
    if (!JpegDecodeRows(&job)) {
        if (!own_error.empty()) {
            *error = own_error;
        } else if (job.error_state.truncated) {
            *error = "truncated JPEG data";
        } else {
            *error = JpegFailure(job.error_state);
        }
        return false;
    }
    image->width = job.width;
    image->height = job.height;
    return true;
}

// ------------------------------------------------------------ PPM/PGM read

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Reads one header number, skipping white space and # comments. Returns
// -1 at the end of the data, -2 on anything else or a value above limit.
int64_t ReadPnmNumber(const uint8_t* data, size_t size, size_t* pos, int64_t limit) {
    while (*pos < size) {
        if (IsSpace(data[*pos])) {
            ++*pos;
        } else if (data[*pos] == '#') {
            while (*pos < size && data[*pos] != '\n' && data[*pos] != '\r') ++*pos;
        } else {
            break;
        }
    }
    if (*pos >= size) return -1;
    if (data[*pos] < '0' || data[*pos] > '9') return -2;
    int64_t value = 0;
    while (*pos < size && data[*pos] >= '0' && data[*pos] <= '9') {
        value = value * 10 + (data[*pos] - '0');
        if (value > limit) return -2;
        ++*pos;
    }
    return value;
}

bool LoadPnm(const uint8_t* data, size_t size, const LoadSettings& settings, Image* image,
             std::string* error) {
    bool grey = data[1] == '5';
    const char* kind = grey ? "PGM" : "PPM";
    size_t pos = 2;
    // Large enough to report any claimed size as it stands (2^31 + 5 rows
    // too), small enough not to overflow.
    const int64_t kLimit = 1000000000000000;
    int64_t width = ReadPnmNumber(data, size, &pos, kLimit);
    int64_t height = width >= 0 ? ReadPnmNumber(data, size, &pos, kLimit) : 0;
    int64_t maxval = height >= 0 ? ReadPnmNumber(data, size, &pos, 65535) : 0;
    if (width == -1 || height == -1 || maxval == -1) {
        *error = std::string("truncated ") + kind + " header";
        return false;
    }
    if (width <= 0 || height <= 0 || maxval < 0) {
        *error = std::string("bad ") + kind + " header";
        return false;
    }
    if (maxval == 0 || pos >= size || !IsSpace(data[pos])) {
        *error = std::string("bad ") + kind + " header";
        return false;
    }
    ++pos;  // the single white-space byte before the samples
    if (TooLarge(static_cast<uint64_t>(width), static_cast<uint64_t>(height), settings)) {
        *error = TooLargeText(static_cast<uint64_t>(width), static_cast<uint64_t>(height), settings);
        return false;
    }
    int channels = grey ? 1 : 3;
    int sample_bytes = maxval > 255 ? 2 : 1;
    uint64_t needed = static_cast<uint64_t>(width) * height * channels * sample_bytes;
    if (size - pos < needed) {
        *error = std::string("truncated ") + kind + " data (" + std::to_string(size - pos) + " of " +
                 std::to_string(needed) + " sample bytes)";
        return false;
    }
    if (settings.reserve && !settings.reserve(static_cast<int>(width), static_cast<int>(height), 0, error)) {
        return false;
    }
    image->width = static_cast<int>(width);
    image->height = static_cast<int>(height);
    size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    image->rgb.resize(pixels * 3);
    const uint8_t* s = data + pos;
    uint32_t max = static_cast<uint32_t>(maxval);
    uint8_t* d = image->rgb.data();
    for (size_t i = 0; i < pixels * channels; ++i) {
        uint32_t v = sample_bytes == 2 ? (static_cast<uint32_t>(s[0]) << 8) | s[1] : s[0];
        s += sample_bytes;
        if (v > max) v = max;  // out-of-range samples are clamped
        uint8_t byte = max == 255 ? static_cast<uint8_t>(v) : static_cast<uint8_t>((v * 255 + max / 2) / max);
        if (grey) {
            d[0] = d[1] = d[2] = byte;
            d += 3;
        } else {
            *d++ = byte;
        }
    }
    return true;
}

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
                 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
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
        png_write_row(png,
                      const_cast<png_bytep>(image->rgb.data() + static_cast<size_t>(y) * image->width * 3));
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

// ------------------------------------------------------------- JPEG write

// Bytes a marker segment holds after its length field.
constexpr size_t kJpegMarkerBytes = 65533;
// A profile is cut into at most 255 APP2 markers of 65519 bytes (the marker
// less its "ICC_PROFILE\0", sequence number and count).
constexpr size_t kJpegIccBytes = size_t(255) * 65519;

// Compressed data goes straight into the output buffer, grown by doubling.
struct JpegSink {
    jpeg_destination_mgr manager;  // first member: libjpeg passes its address
    ByteBuffer* out;
    bool out_of_memory;
};

void JpegSinkInit(j_compress_ptr cinfo) {
    JpegSink* sink = reinterpret_cast<JpegSink*>(cinfo->dest);
    sink->out->resize(std::max<size_t>(sink->out->capacity(), 65536));
    sink->manager.next_output_byte = sink->out->data();
    sink->manager.free_in_buffer = sink->out->size();
}

boolean JpegSinkGrow(j_compress_ptr cinfo) {
    JpegSink* sink = reinterpret_cast<JpegSink*>(cinfo->dest);
    size_t used = sink->out->size();
    // No exception may cross libjpeg's C frames.
    try {
        sink->out->resize(used * 2);
    } catch (const std::bad_alloc&) {
        sink->out_of_memory = true;
    }
    if (sink->out_of_memory) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    sink->manager.next_output_byte = sink->out->data() + used;
    sink->manager.free_in_buffer = sink->out->size() - used;
    return TRUE;
}

void JpegSinkTerm(j_compress_ptr cinfo) {
    JpegSink* sink = reinterpret_cast<JpegSink*>(cinfo->dest);
    sink->out->resize(sink->out->size() - sink->manager.free_in_buffer);
}

struct JpegEncode {
    jpeg_compress_struct cinfo;
    JpegErrorState error_state;
    JpegSink sink;
};

bool JpegEncodeRows(JpegEncode* job, const Image* image, int quality, const std::string* icc,
                    const std::string* exif) {
    jpeg_compress_struct* cinfo = &job->cinfo;
    if (setjmp(job->error_state.jump)) return false;
    job->sink.manager.init_destination = JpegSinkInit;
    job->sink.manager.empty_output_buffer = JpegSinkGrow;
    job->sink.manager.term_destination = JpegSinkTerm;
    cinfo->dest = &job->sink.manager;
    cinfo->image_width = static_cast<JDIMENSION>(image->width);
    cinfo->image_height = static_cast<JDIMENSION>(image->height);
    cinfo->input_components = 3;
    cinfo->in_color_space = JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    jpeg_start_compress(cinfo, TRUE);
    // A marker holds at most 65533 bytes; a larger EXIF block is left out
    // (EncodeJpeg warns).
    if (!exif->empty() && exif->size() + 6 <= kJpegMarkerBytes) {
        jpeg_write_m_header(cinfo, JPEG_APP0 + 1, static_cast<unsigned>(exif->size() + 6));
        for (char c : std::string("Exif\0\0", 6)) jpeg_write_m_byte(cinfo, c);
        for (char c : *exif) jpeg_write_m_byte(cinfo, static_cast<uint8_t>(c));
    }
    if (!icc->empty()) {
        jpeg_write_icc_profile(cinfo, reinterpret_cast<const JOCTET*>(icc->data()),
                               static_cast<unsigned>(icc->size()));
    }
    while (cinfo->next_scanline < cinfo->image_height) {
        JSAMPROW rows[16];
        JDIMENSION first = cinfo->next_scanline;
        JDIMENSION count = std::min<JDIMENSION>(16, cinfo->image_height - first);
        for (JDIMENSION k = 0; k < count; ++k) {
            rows[k] =
                const_cast<JSAMPROW>(image->rgb.data() + static_cast<size_t>(first + k) * image->width * 3);
        }
        jpeg_write_scanlines(cinfo, rows, count);
    }
    jpeg_finish_compress(cinfo);
    return true;
}

struct JpegEncodeGuard {
    JpegEncode* job = nullptr;
    ~JpegEncodeGuard() {
        if (job) jpeg_destroy_compress(&job->cinfo);
    }
};

bool EncodeJpeg(const Image& image, const std::string& icc, int quality, ByteBuffer* out, std::string* error,
                std::vector<std::string>* warnings) {
    std::string exif = OutputExif(image);
    if (exif.size() + 6 > kJpegMarkerBytes && warnings) {
        warnings->push_back("EXIF data left out (" + std::to_string(exif.size()) +
                            " bytes, more than a JPEG marker holds)");
    }
    JpegEncode job;
    memset(&job, 0, sizeof(job));
    job.sink.out = out;
    job.cinfo.err = jpeg_std_error(&job.error_state.manager);
    job.error_state.manager.error_exit = JpegErrorExit;
    JpegEncodeGuard guard;
    jpeg_create_compress(&job.cinfo);
    guard.job = &job;
    if (!JpegEncodeRows(&job, &image, quality, &icc, &exif)) {
        if (job.sink.out_of_memory) throw std::bad_alloc();
        *error = std::string("cannot encode JPEG (") + job.error_state.message + ")";
        return false;
    }
    return true;
}

// -------------------------------------------------------------- PNM write

void EncodePnm(const Image& image, bool grey, ByteBuffer* out) {
    std::string header = std::string(grey ? "P5\n" : "P6\n") + std::to_string(image.width) + " " +
                         std::to_string(image.height) + "\n255\n";
    size_t pixels = static_cast<size_t>(image.width) * image.height;
    out->resize(header.size() + pixels * (grey ? 1 : 3));
    memcpy(out->data(), header.data(), header.size());
    uint8_t* d = out->data() + header.size();
    if (!grey) {
        memcpy(d, image.rgb.data(), pixels * 3);
        return;
    }
    const uint8_t* s = image.rgb.data();
    for (size_t i = 0; i < pixels; ++i, s += 3) {
        d[i] = static_cast<uint8_t>((77 * s[0] + 150 * s[1] + 29 * s[2] + 128) >> 8);
    }
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
        default:
            ok = LoadPnm(data, size, settings, image, error);
            break;
    }
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
        *error = "not a PNG, JPEG, WebP, TIFF or PPM/PGM image";
    }
    return false;
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
