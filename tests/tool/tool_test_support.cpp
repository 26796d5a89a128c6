// tool_test_support.cpp - see tool_test_support.h.
#include "tool_test_support.h"

#include <dirent.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <png.h>
#include <jpeglib.h>

namespace pmtest {

Rgb Pattern(int width, int height, unsigned seed) {
    Rgb image;
    image.width = width;
    image.height = height;
    image.px.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &image.px[(static_cast<size_t>(y) * width + x) * 3];
            unsigned h = (x * 73856093u) ^ (y * 19349663u) ^ (seed * 83492791u);
            h = (h ^ (h >> 13)) * 0x5bd1e995u;
            int noise = static_cast<int>((h >> 24) % 32);
            p[0] = static_cast<uint8_t>(x * 200 / width + noise);
            p[1] = static_cast<uint8_t>(y * 200 / height + noise);
            p[2] = static_cast<uint8_t>((x > width / 3 && y < height / 2) ? 220 : 30);
        }
    }
    return image;
}

Bytes PpmBytes(const Rgb& image) {
    std::string header =
        "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
    Bytes out(header.begin(), header.end());
    out.insert(out.end(), image.px.begin(), image.px.end());
    return out;
}

Bytes PgmBytes(int width, int height, const Bytes& grey) {
    std::string header = "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    Bytes out(header.begin(), header.end());
    out.insert(out.end(), grey.begin(), grey.end());
    return out;
}

bool ParsePnm(const Bytes& data, Rgb* image, bool* was_grey) {
    std::string text(data.begin(), data.begin() + std::min<size_t>(data.size(), 64));
    std::istringstream in(text);
    std::string magic;
    int maxval = 0;
    in >> magic >> image->width >> image->height >> maxval;
    if (!in || (magic != "P6" && magic != "P5") || maxval != 255) return false;
    size_t start = static_cast<size_t>(in.tellg()) + 1;
    bool grey = magic == "P5";
    if (was_grey) *was_grey = grey;
    size_t pixels = static_cast<size_t>(image->width) * image->height;
    if (data.size() != start + pixels * (grey ? 1 : 3)) return false;
    image->px.resize(pixels * 3);
    for (size_t i = 0; i < pixels * 3; ++i) {
        image->px[i] = grey ? data[start + i / 3] : data[start + i];
    }
    return true;
}

Bytes PngBytes(int width, int height, uint32_t png_format, const void* data, const Bytes& colormap,
               int colormap_entries) {
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = png_format;
    image.colormap_entries = static_cast<png_uint_32>(colormap_entries);
    png_alloc_size_t size = 0;
    const void* map = colormap.empty() ? nullptr : colormap.data();
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, data, 0, map)) {
        throw std::runtime_error(image.message);
    }
    Bytes out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, data, 0, map)) {
        throw std::runtime_error(image.message);
    }
    out.resize(size);
    return out;
}

bool DecodePng(const Bytes& data, Rgb* out) {
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) {
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    out->width = static_cast<int>(image.width);
    out->height = static_cast<int>(image.height);
    out->px.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, out->px.data(), 0, nullptr) != 0;
}

namespace {

struct JpegTestError {
    jpeg_error_mgr manager;
    jmp_buf jump;
};

void JpegTestErrorExit(j_common_ptr cinfo) { longjmp(reinterpret_cast<JpegTestError*>(cinfo->err)->jump, 1); }

}  // namespace

Bytes JpegBytes(int width, int height, int components, const Bytes& data, int quality, JpegCoding coding) {
    jpeg_compress_struct cinfo;
    JpegTestError error;
    cinfo.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = JpegTestErrorExit;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&cinfo);
        free(buffer);
        throw std::runtime_error("jpeg encode failed");
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = components;
    cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (coding == JpegCoding::kProgressive) jpeg_simple_progression(&cinfo);
    if (coding == JpegCoding::kArithmetic) cinfo.arith_code = TRUE;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(data.data() + static_cast<size_t>(cinfo.next_scanline) * width * components);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes out(buffer, buffer + size);
    jpeg_destroy_compress(&cinfo);
    free(buffer);
    return out;
}

namespace {

void PngTestWrite(png_structp png, png_bytep data, png_size_t size) {
    Bytes* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + size);
}

void PngTestFlush(png_structp) {}

}  // namespace

Bytes PalettePngBytes(int width, int height, int bit_depth, const Bytes& indices, const Bytes& palette,
                      const std::string& text) {
    Bytes out;
    // libpng's own error handling: valid input cannot fail, anything else
    // aborts the test.
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, PngTestWrite, PngTestFlush);
    png_set_compression_level(png, 9);
    png_set_IHDR(png, info, width, height, bit_depth, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_PLTE(png, info, reinterpret_cast<png_const_colorp>(palette.data()),
                 static_cast<int>(palette.size() / 3));
    png_text chunk = {};
    std::string key = "Comment";
    std::vector<char> value(text.begin(), text.end());
    value.push_back('\0');
    if (!text.empty()) {
        chunk.compression = PNG_TEXT_COMPRESSION_NONE;
        chunk.key = &key[0];
        chunk.text = value.data();
        png_set_text(png, info, &chunk, 1);
    }
    png_write_info(png, info);
    png_set_packing(png);
    for (int y = 0; y < height; ++y) {
        png_write_row(png, indices.data() + static_cast<size_t>(y) * width);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

bool DecodeJpeg(const Bytes& data, Rgb* out) {
    jpeg_decompress_struct cinfo;
    JpegTestError error;
    cinfo.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = JpegTestErrorExit;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    out->width = static_cast<int>(cinfo.output_width);
    out->height = static_cast<int>(cinfo.output_height);
    out->px.resize(static_cast<size_t>(out->width) * out->height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out->px.data() + static_cast<size_t>(cinfo.output_scanline) * out->width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

Rgb DirectModuleResult(const Rgb& input, const PolarMosaicParam& settings) {
    int width = input.width, height = input.height;
    int line = lcw16(static_cast<int16_t>(width));
    size_t plane_bytes = static_cast<size_t>(line) * height;
    std::vector<Bytes> in(3, Bytes(plane_bytes, 0)), out(3, Bytes(plane_bytes, 0));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                uint8_t v = input.px[(static_cast<size_t>(y) * width + x) * 3 + c];
                in[c][static_cast<size_t>(y) * line + x] = v;
                out[c][static_cast<size_t>(y) * line + x] = v;
            }
        }
    }
    PolarMosaicParam param = settings;
    std::vector<int16_t> widths(static_cast<size_t>(std::max<int>(1, param.tileCols)));
    std::vector<int16_t> heights(static_cast<size_t>(std::max<int>(1, param.tileRows)));
    std::vector<Bytes> ramps(12, Bytes(static_cast<size_t>(param.borderWidth / 2 + 1)));
    for (int c = 0; c < 3; ++c) {
        param.inPlane[c] = in[c].data();
        param.outPlane[c] = out[c].data();
    }
    for (int r = 0; r < 12; ++r) param.ramp[r] = ramps[r].data();
    param.tileWidths = widths.data();
    param.tileHeights = heights.data();
    param.width = static_cast<int16_t>(width);
    param.height = static_cast<int16_t>(height);
    param.lineBytes = static_cast<int16_t>(line);
    param.planeBytes = static_cast<int32_t>(plane_bytes);
    // A refused record would leave the input copy in place of a result.
    const int status = checkPolarMosaicParam(&param);
    if (status != POLARMOSAIC_OK) {
        ADD_FAILURE() << "settings refused by the module: " << polarMosaicStatusText(status);
    }
    iPolarMosaic0(&param);
    Rgb result;
    result.width = width;
    result.height = height;
    result.px.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                result.px[(static_cast<size_t>(y) * width + x) * 3 + c] =
                    out[c][static_cast<size_t>(y) * line + x];
            }
        }
    }
    return result;
}

int CoveringCount(int dimension, int tile, bool split) {
    if (dimension % tile == 0) return dimension / tile;
    return std::max(2, dimension / tile + (split ? 2 : 1));
}

std::vector<int> TileLayout(int dimension, int tile, int count, bool split) {
    std::vector<int> sizes;
    int remainder = dimension % tile;
    if (remainder == 0) {
        sizes.assign(static_cast<size_t>(count), tile);
    } else if (split) {
        int first = remainder / 2 == 0 ? 1 : remainder / 2;
        sizes.push_back(first);
        for (int k = 1; k <= count - 2; ++k) sizes.push_back(tile);
        int last = dimension - first - (count - 2) * tile;
        if (last != 0) sizes.push_back(last);
    } else {
        int n = count - 1;
        for (int k = 0; k < n - 1; ++k) sizes.push_back(tile);
        sizes.push_back(dimension - (n - 1) * tile);
    }
    return sizes;
}

TempDir::TempDir() {
    char name[] = "/tmp/polarmosaic-test-XXXXXX";
    if (!mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0) perror("rm");
}

std::vector<std::string> TempDir::List() const {
    std::vector<std::string> names;
    DIR* dir = opendir(path_.c_str());
    if (!dir) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
}

namespace {

std::string Quote(const std::string& text) { return ShellQuote(text); }

}  // namespace

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

namespace {

std::string ReadText(const std::string& path) {
    Bytes bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

ToolRun RunTool(const std::string& folder, const std::vector<std::string>& args,
                const std::string& stdin_path, const std::string& shell) {
    // Captures go to a folder of their own so they never show up in the
    // folder under test.
    static TempDir captures;
    std::string out_path = captures.File("stdout");
    std::string err_path = captures.File("stderr");
    std::string command = "cd " + Quote(folder) + " && " + shell + " " + Quote(POLARMOSAIC_TOOL_PATH);
    for (const std::string& arg : args) command += " " + Quote(arg);
    command += stdin_path.empty() ? " </dev/null" : " <" + Quote(stdin_path);
    command += " >" + Quote(out_path) + " 2>" + Quote(err_path);
    int status = system(command.c_str());
    ToolRun run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadText(out_path);
    run.err = ReadText(err_path);
    return run;
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

bool FileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

}  // namespace pmtest
