// image_io.cpp - PNG (libpng), JPEG (libjpeg) and binary PPM/PGM.
//
// libpng and libjpeg report errors by longjmp. Each decoder keeps its C++
// objects (vectors, strings) in the caller's frame and does the library work
// in a function that owns nothing with a destructor, so a longjmp never
// skips one.
#include "image_io.h"

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

#include <png.h>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <jerror.h>

namespace polarmosaic {

namespace {

std::string SizeText(uint64_t width, uint64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

std::string TooLargeText(uint64_t width, uint64_t height,
                         const LoadSettings& settings) {
  return "image is " + SizeText(width, height) +
         " pixels, larger than the effect can take (at most " +
         SizeText(settings.max_width, settings.max_height) + ")";
}

bool TooLarge(uint64_t width, uint64_t height, const LoadSettings& settings) {
  return width > static_cast<uint64_t>(settings.max_width) ||
         height > static_cast<uint64_t>(settings.max_height);
}

// Alpha compositing over the background, rounded to nearest.
inline uint8_t Over(uint32_t colour, uint32_t alpha, uint32_t background) {
  return static_cast<uint8_t>(
      (colour * alpha + background * (255 - alpha) + 127) / 255);
}

// Converts 1..4 channel 8-bit rows (grey, grey+alpha, RGB, RGBA) to RGB.
void ToRgb(const uint8_t* src, size_t src_stride, int channels, int width,
           int height, const uint8_t background[3], uint8_t* dst) {
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

struct PngDecode {
  PngSource source;
  const LoadSettings* settings;
  std::vector<uint8_t>* pixels;
  std::vector<png_bytep>* rows;
  png_uint_32 width;
  png_uint_32 height;
  int channels;
  size_t row_bytes;
  std::string* error;  // set only for failures found outside libpng
};

// libpng's side of the decode; nothing here has a destructor.
bool PngDecodeRows(png_structp png, png_infop info, PngDecode* job) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_read_fn(png, &job->source, PngRead);
  png_set_user_limits(png, 0x7fffffffu, 0x7fffffffu);
  png_read_info(png, info);
  job->width = png_get_image_width(png, info);
  job->height = png_get_image_height(png, info);
  if (TooLarge(job->width, job->height, *job->settings)) {
    *job->error = TooLargeText(job->width, job->height, *job->settings);
    return false;
  }
  int colour_type = png_get_color_type(png, info);
  int bit_depth = png_get_bit_depth(png, info);
  if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colour_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) {
    png_set_expand_gray_1_2_4_to_8(png);
  }
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (bit_depth == 16) png_set_scale_16(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  job->channels = png_get_channels(png, info);
  job->row_bytes = png_get_rowbytes(png, info);
  // Deflate expands at most about 1032:1, so data too short for the claimed
  // size is truncated: say so before taking memory for it.
  uint64_t raw = (static_cast<uint64_t>(job->row_bytes) + 1) * job->height;
  if (raw / 1032 > job->source.size + 1024) {
    job->source.truncated = true;
    return false;
  }
  job->pixels->resize(job->row_bytes * job->height);
  job->rows->resize(job->height);
  for (png_uint_32 y = 0; y < job->height; ++y) {
    (*job->rows)[y] = job->pixels->data() + y * job->row_bytes;
  }
  png_read_image(png, job->rows->data());
  // Up to the end chunk, so a file cut after its pixel data is caught too.
  png_read_end(png, nullptr);
  return true;
}

struct PngReadGuard {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngReadGuard() { png_destroy_read_struct(&png, &info, nullptr); }
};

bool LoadPng(const uint8_t* data, size_t size, const LoadSettings& settings,
             Image* image, std::string* error) {
  std::vector<uint8_t> pixels;
  std::vector<png_bytep> rows;
  std::string own_error;
  PngDecode job = {};
  job.source.data = data;
  job.source.size = size;
  job.settings = &settings;
  job.pixels = &pixels;
  job.rows = &rows;
  job.error = &own_error;
  PngReadGuard guard;
  guard.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job.source,
                                     PngError, PngWarning);
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
  image->rgb.resize(static_cast<size_t>(job.width) * job.height * 3);
  ToRgb(pixels.data(), job.row_bytes, job.channels, image->width,
        image->height, settings.background, image->rgb.data());
  return true;
}

// --------------------------------------------------------------- JPEG read

struct JpegErrorState {
  jpeg_error_mgr manager;  // first member: libjpeg passes its address
  jmp_buf jump;
  bool truncated;
  char message[JMSG_LENGTH_MAX];
};

void JpegErrorExit(j_common_ptr cinfo) {
  JpegErrorState* state = reinterpret_cast<JpegErrorState*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, state->message);
  longjmp(state->jump, 1);
}

// Warnings are ignored except running out of data, which libjpeg would
// paper over with grey rows.
void JpegEmitMessage(j_common_ptr cinfo, int level) {
  JpegErrorState* state = reinterpret_cast<JpegErrorState*>(cinfo->err);
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) {
    state->truncated = true;
    longjmp(state->jump, 1);
  }
}

struct JpegDecode {
  jpeg_decompress_struct cinfo;
  JpegErrorState error_state;
  const uint8_t* data;
  size_t size;
  const LoadSettings* settings;
  std::vector<uint8_t>* pixels;
  int width;
  int height;
  int channels;
  std::string* error;
};

bool JpegDecodeRows(JpegDecode* job) {
  jpeg_decompress_struct* cinfo = &job->cinfo;
  if (setjmp(job->error_state.jump)) return false;
  jpeg_mem_src(cinfo, job->data, static_cast<unsigned long>(job->size));
  jpeg_read_header(cinfo, TRUE);
  if (TooLarge(cinfo->image_width, cinfo->image_height, *job->settings)) {
    *job->error = TooLargeText(cinfo->image_width, cinfo->image_height,
                               *job->settings);
    return false;
  }
  if (cinfo->jpeg_color_space == JCS_CMYK ||
      cinfo->jpeg_color_space == JCS_YCCK) {
    *job->error = "CMYK JPEG is not supported (convert it to RGB first)";
    return false;
  }
  // Progressive and multi-scan files make libjpeg allocate coefficients for
  // the whole image before it reads any scan data. With Huffman coding the
  // DC value of every 8 x 8 block of every component costs at least one bit,
  // so a file too short for the size it claims is refused before that
  // allocation.
  if (!cinfo->arith_code) {
    uint64_t blocks = 0;
    for (int c = 0; c < cinfo->num_components; ++c) {
      blocks += static_cast<uint64_t>(cinfo->comp_info[c].width_in_blocks) *
                cinfo->comp_info[c].height_in_blocks;
    }
    if (static_cast<uint64_t>(job->size) < blocks / 8) {
      *job->error = "truncated JPEG data (" + std::to_string(job->size) +
                    " bytes cannot hold " +
                    std::to_string(cinfo->image_width) + " x " +
                    std::to_string(cinfo->image_height) + " pixels)";
      return false;
    }
  }
  cinfo->out_color_space =
      cinfo->jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(cinfo);
  job->width = static_cast<int>(cinfo->output_width);
  job->height = static_cast<int>(cinfo->output_height);
  job->channels = cinfo->output_components;
  size_t row_bytes = static_cast<size_t>(job->width) * job->channels;
  // Grow with the rows actually decoded, so a header that claims a huge
  // image over a few bytes of data costs little.
  while (cinfo->output_scanline < cinfo->output_height) {
    size_t y = cinfo->output_scanline;
    if (job->pixels->size() < (y + 1) * row_bytes) {
      size_t rows = std::min<size_t>(cinfo->output_height,
                                     std::max<size_t>(y * 2, 64));
      job->pixels->resize(rows * row_bytes);
    }
    JSAMPROW row = job->pixels->data() + y * row_bytes;
    jpeg_read_scanlines(cinfo, &row, 1);
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

bool LoadJpeg(const uint8_t* data, size_t size, const LoadSettings& settings,
              Image* image, std::string* error) {
  std::vector<uint8_t> pixels;
  std::string own_error;
  JpegDecode job;
  memset(&job, 0, sizeof(job));
  job.data = data;
  job.size = size;
  job.settings = &settings;
  job.pixels = &pixels;
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
      *error = std::string("corrupt JPEG data (") + job.error_state.message +
               ")";
    }
    return false;
  }
  image->width = job.width;
  image->height = job.height;
  image->rgb.resize(static_cast<size_t>(job.width) * job.height * 3);
  ToRgb(pixels.data(), static_cast<size_t>(job.width) * job.channels,
        job.channels, job.width, job.height, settings.background,
        image->rgb.data());
  return true;
}

// ------------------------------------------------------------ PPM/PGM read

bool IsSpace(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
         c == '\f';
}

// Reads one header number, skipping white space and # comments. Returns
// -1 at the end of the data, -2 on anything else or a value above limit.
int64_t ReadPnmNumber(const uint8_t* data, size_t size, size_t* pos,
                      int64_t limit) {
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

bool LoadPnm(const uint8_t* data, size_t size, const LoadSettings& settings,
             Image* image, std::string* error) {
  bool grey = data[1] == '5';
  const char* kind = grey ? "PGM" : "PPM";
  size_t pos = 2;
  // Large enough to report any claimed size, small enough not to overflow.
  const int64_t kLimit = 1000000000;
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
  if (TooLarge(static_cast<uint64_t>(width), static_cast<uint64_t>(height),
               settings)) {
    *error = TooLargeText(static_cast<uint64_t>(width),
                          static_cast<uint64_t>(height), settings);
    return false;
  }
  int channels = grey ? 1 : 3;
  int sample_bytes = maxval > 255 ? 2 : 1;
  uint64_t needed = static_cast<uint64_t>(width) * height * channels *
                    sample_bytes;
  if (size - pos < needed) {
    *error = std::string("truncated ") + kind + " data (" +
             std::to_string(size - pos) + " of " + std::to_string(needed) +
             " sample bytes)";
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
    uint32_t v = sample_bytes == 2 ? (static_cast<uint32_t>(s[0]) << 8) | s[1]
                                   : s[0];
    s += sample_bytes;
    if (v > max) v = max;  // out-of-range samples are clamped
    uint8_t byte =
        max == 255 ? static_cast<uint8_t>(v)
                   : static_cast<uint8_t>((v * 255 + max / 2) / max);
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
  std::vector<uint8_t>* out;
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

bool PngEncodeRows(png_structp png, png_infop info, const Image* image,
                   PngSink* sink) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, sink, PngWrite, PngFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image->width),
               static_cast<png_uint_32>(image->height), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < image->height; ++y) {
    png_write_row(png, const_cast<png_bytep>(image->rgb.data() +
                                             static_cast<size_t>(y) *
                                                 image->width * 3));
  }
  png_write_end(png, info);
  return true;
}

struct PngWriteGuard {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngWriteGuard() { png_destroy_write_struct(&png, &info); }
};

bool EncodePng(const Image& image, std::vector<uint8_t>* out,
               std::string* error) {
  PngSink sink = {};
  sink.out = out;
  PngWriteGuard guard;
  guard.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink,
                                      PngWriteError, PngWarning);
  if (guard.png) guard.info = png_create_info_struct(guard.png);
  if (!guard.png || !guard.info) throw std::bad_alloc();
  if (!PngEncodeRows(guard.png, guard.info, &image, &sink)) {
    if (sink.out_of_memory) throw std::bad_alloc();
    *error = std::string("cannot encode PNG (") + sink.message + ")";
    return false;
  }
  return true;
}

// ------------------------------------------------------------- JPEG write

struct JpegEncode {
  jpeg_compress_struct cinfo;
  JpegErrorState error_state;
  unsigned char* buffer;
  unsigned long buffer_size;
};

bool JpegEncodeRows(JpegEncode* job, const Image* image, int quality) {
  jpeg_compress_struct* cinfo = &job->cinfo;
  if (setjmp(job->error_state.jump)) return false;
  jpeg_mem_dest(cinfo, &job->buffer, &job->buffer_size);
  cinfo->image_width = static_cast<JDIMENSION>(image->width);
  cinfo->image_height = static_cast<JDIMENSION>(image->height);
  cinfo->input_components = 3;
  cinfo->in_color_space = JCS_RGB;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, quality, TRUE);
  jpeg_start_compress(cinfo, TRUE);
  while (cinfo->next_scanline < cinfo->image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(
        image->rgb.data() +
        static_cast<size_t>(cinfo->next_scanline) * image->width * 3);
    jpeg_write_scanlines(cinfo, &row, 1);
  }
  jpeg_finish_compress(cinfo);
  return true;
}

struct JpegEncodeGuard {
  JpegEncode* job = nullptr;
  ~JpegEncodeGuard() {
    if (!job) return;
    jpeg_destroy_compress(&job->cinfo);
    free(job->buffer);
  }
};

bool EncodeJpeg(const Image& image, int quality, std::vector<uint8_t>* out,
                std::string* error) {
  JpegEncode job;
  memset(&job, 0, sizeof(job));
  job.cinfo.err = jpeg_std_error(&job.error_state.manager);
  job.error_state.manager.error_exit = JpegErrorExit;
  JpegEncodeGuard guard;
  jpeg_create_compress(&job.cinfo);
  guard.job = &job;
  if (!JpegEncodeRows(&job, &image, quality)) {
    *error = std::string("cannot encode JPEG (") + job.error_state.message +
             ")";
    return false;
  }
  out->assign(job.buffer, job.buffer + job.buffer_size);
  return true;
}

// -------------------------------------------------------------- PNM write

void EncodePnm(const Image& image, bool grey, std::vector<uint8_t>* out) {
  std::string header = std::string(grey ? "P5\n" : "P6\n") +
                       std::to_string(image.width) + " " +
                       std::to_string(image.height) + "\n255\n";
  size_t pixels = static_cast<size_t>(image.width) * image.height;
  out->assign(header.begin(), header.end());
  out->reserve(header.size() + pixels * (grey ? 1 : 3));
  if (!grey) {
    out->insert(out->end(), image.rgb.begin(), image.rgb.end());
    return;
  }
  const uint8_t* s = image.rgb.data();
  for (size_t i = 0; i < pixels; ++i, s += 3) {
    out->push_back(static_cast<uint8_t>((77 * s[0] + 150 * s[1] + 29 * s[2] +
                                         128) >> 8));
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
  return ImageFormat::kUnknown;
}

ImageFormat FormatFromName(const std::string& name) {
  std::string lower = Lower(name);
  if (lower == "png") return ImageFormat::kPng;
  if (lower == "jpg" || lower == "jpeg") return ImageFormat::kJpeg;
  if (lower == "ppm") return ImageFormat::kPpm;
  if (lower == "pgm") return ImageFormat::kPgm;
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
    case ImageFormat::kPng: return "PNG";
    case ImageFormat::kJpeg: return "JPEG";
    case ImageFormat::kPpm: return "PPM";
    case ImageFormat::kPgm: return "PGM";
    default: return "unknown";
  }
}

const char* FormatExtension(ImageFormat format) {
  switch (format) {
    case ImageFormat::kPng: return ".png";
    case ImageFormat::kJpeg: return ".jpg";
    case ImageFormat::kPpm: return ".ppm";
    case ImageFormat::kPgm: return ".pgm";
    default: return "";
  }
}

bool LoadImage(const uint8_t* data, size_t size, const LoadSettings& settings,
               Image* image, std::string* error) {
  if (size == 0) {
    *error = "empty file";
    return false;
  }
  switch (SniffFormat(data, size)) {
    case ImageFormat::kPng:
      return LoadPng(data, size, settings, image, error);
    case ImageFormat::kJpeg:
      return LoadJpeg(data, size, settings, image, error);
    case ImageFormat::kPpm:
    case ImageFormat::kPgm:
      return LoadPnm(data, size, settings, image, error);
    default:
      break;
  }
  if (size >= 2 && data[0] == 'P' && data[1] >= '1' && data[1] <= '4') {
    *error = "plain-text or bitmap PBM/PGM/PPM is not supported (use binary "
             "P5 or P6)";
  } else {
    *error = "not a PNG, JPEG or PPM/PGM image";
  }
  return false;
}

bool EncodeImage(const Image& image, ImageFormat format, int jpeg_quality,
                 std::vector<uint8_t>* out, std::string* error) {
  out->clear();
  switch (format) {
    case ImageFormat::kPng:
      return EncodePng(image, out, error);
    case ImageFormat::kJpeg:
      return EncodeJpeg(image, jpeg_quality, out, error);
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
