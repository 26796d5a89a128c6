// codec_jpeg.cpp - JPEG (libjpeg): reading and writing.
//
// libjpeg reports errors by longjmp; as in codec_png.cpp the library work
// runs in functions that own nothing with a destructor.
#include <limits.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <jerror.h>

#include "codec_internal.h"
#include "exif.h"

namespace polarmosaic {
namespace codec {

namespace {

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

}  // namespace

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

namespace {

// ------------------------------------------------------------- JPEG write

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

}  // namespace

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

}  // namespace codec
}  // namespace polarmosaic
