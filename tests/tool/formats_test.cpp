// WebP and TIFF in and out, EXIF orientation, ICC profiles and EXIF carried
// to every output format, --srgb. Files are made and read back with the
// format libraries' plain APIs, not with the tool's loaders.
#include <setjmp.h>
#include <stdio.h>
#include <string.h>

#include <cmath>
#include <functional>
#include <map>

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <lcms2.h>
#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include "image_io.h"
#include "tool_test_support.h"

namespace {

using pmtest::Bytes;
using pmtest::Contains;
using pmtest::Rgb;
using pmtest::RunTool;
using pmtest::TempDir;
using pmtest::ToolRun;

Rgb ReadPpm(const std::string& path) {
    Rgb image;
    EXPECT_TRUE(pmtest::ParsePnm(pmtest::ReadFileBytes(path), &image)) << path;
    return image;
}

// ------------------------------------------------------- test-side codecs

Bytes WebpLossless(const Rgb& image) {
    uint8_t* out = nullptr;
    size_t size = WebPEncodeLosslessRGB(image.px.data(), image.width, image.height, image.width * 3, &out);
    Bytes bytes(out, out + size);
    WebPFree(out);
    return bytes;
}

bool DecodeWebp(const Bytes& data, Rgb* image) {
    int w = 0, h = 0;
    uint8_t* px = WebPDecodeRGB(data.data(), data.size(), &w, &h);
    if (!px) return false;
    image->width = w;
    image->height = h;
    image->px.assign(px, px + static_cast<size_t>(w) * h * 3);
    WebPFree(px);
    return true;
}

// A TIFF of samples (8 or 16 bits, 1 to 4 per pixel, 16-bit ones in host
// order), written by libtiff to path.
void WriteTiff(const std::string& path, int width, int height, int samples, int bits,
               const std::vector<uint16_t>& values, int orientation = 1,
               const std::string& icc = std::string()) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, orientation);
    if (samples == 2 || samples == 4) {
        uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (!icc.empty()) TIFFSetField(tif, TIFFTAG_ICCPROFILE, (uint32_t)icc.size(), icc.data());
    size_t row_values = static_cast<size_t>(width) * samples;
    std::vector<uint8_t> row(row_values * bits / 8);
    for (int y = 0; y < height; ++y) {
        for (size_t i = 0; i < row_values; ++i) {
            uint16_t v = values[y * row_values + i];
            if (bits == 8) {
                row[i] = static_cast<uint8_t>(v);
            } else {
                memcpy(&row[2 * i], &v, 2);
            }
        }
        ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, 0), 1);
    }
    TIFFClose(tif);
}

bool ReadTiff(const std::string& path, Rgb* image, std::string* icc) {
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return false;
    uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    std::vector<uint32_t> raster(static_cast<size_t>(w) * h);
    bool ok = TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 1);
    uint32_t icc_size = 0;
    void* icc_data = nullptr;
    icc->clear();
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &icc_size, &icc_data)) {
        icc->assign(static_cast<const char*>(icc_data), icc_size);
    }
    TIFFClose(tif);
    image->width = static_cast<int>(w);
    image->height = static_cast<int>(h);
    image->px.clear();
    for (uint32_t p : raster) {
        image->px.push_back(static_cast<uint8_t>(TIFFGetR(p)));
        image->px.push_back(static_cast<uint8_t>(TIFFGetG(p)));
        image->px.push_back(static_cast<uint8_t>(TIFFGetB(p)));
    }
    return ok;
}

// An EXIF block laid out by hand: a first directory with Make "PMTest",
// the orientation and an Exif sub-directory with ExposureTime 1/125,
// DateTimeOriginal and, when width > 0, PixelXDimension and
// PixelYDimension, in either byte order; optionally a second directory with
// a (4-byte) thumbnail.
std::string ExifBlock(int orientation, bool little = false, bool thumbnail = false, int width = 0,
                      int height = 0) {
    std::string b(little ? "II*\0" : "MM\0*", 4);
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(char(v >> (8 * (little ? i : n - 1 - i))));
    };
    auto entry = [&](int tag, int type, uint32_t count, uint32_t value) {
        put(tag, 2);
        put(type, 2);
        put(count, 4);
        put(value, type == 3 && count == 1 ? 2 : 4);
        if (type == 3 && count == 1) put(0, 2);
    };
    const uint32_t exif_entries = width > 0 ? 4 : 2;
    const uint32_t exposure_at = 58 + 2 + 12 * exif_entries + 4, date_at = exposure_at + 8;
    const uint32_t thumbnail_directory_at = date_at + 20, thumbnail_at = thumbnail_directory_at + 30;
    put(8, 4);
    put(3, 2);                // first directory, at 8: three entries
    entry(0x010f, 2, 7, 50);  // Make, ASCII, at 50
    entry(0x0112, 3, 1, orientation);
    entry(0x8769, 4, 1, 58);                         // Exif directory at 58
    put(thumbnail ? thumbnail_directory_at : 0, 4);  // the next (thumbnail) directory, at 46
    b += std::string("PMTest\0\0", 8);
    put(exif_entries, 2);
    entry(0x829a, 5, 1, exposure_at);  // ExposureTime, RATIONAL
    entry(0x9003, 2, 20, date_at);     // DateTimeOriginal, ASCII
    if (width > 0) {
        entry(0xa002, 3, 1, width);  // PixelXDimension, SHORT
        entry(0xa003, 3, 1, height);
    }
    put(0, 4);
    put(1, 4);
    put(125, 4);
    b += std::string("2026:12:09 10:00:00\0", 20);
    if (thumbnail) {
        put(2, 2);
        entry(0x0201, 4, 1, thumbnail_at);  // JPEGInterchangeFormat
        entry(0x0202, 4, 1, 4);             // its length
        put(0, 4);
        b += std::string("\xff\xd8\xff\xd9", 4);
    }
    return b;
}

// Every entry of an EXIF block, following its Exif, GPS and
// interoperability pointers, as "directory/tag" -> "type count value bytes";
// independent of where a writer put things.
std::map<std::string, std::string> ExifEntries(const std::string& b) {
    std::map<std::string, std::string> entries;
    if (b.size() < 8) return entries;
    bool little = b[0] == 'I';
    auto get = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v |= uint32_t(uint8_t(b.at(at + i))) << (8 * (little ? i : n - 1 - i));
        return v;
    };
    const int sizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    std::function<void(uint32_t, const std::string&)> read = [&](uint32_t at, const std::string& dir) {
        for (uint32_t i = 0, n = get(at, 2); i < n; ++i) {
            size_t e = at + 2 + 12 * i;
            uint32_t tag = get(e, 2), type = get(e + 2, 2), count = get(e + 4, 4);
            size_t bytes = (type < 13 ? sizes[type] : 0) * size_t(count);
            size_t value = bytes <= 4 ? e + 8 : get(e + 8, 4);
            if (tag == 0x8769 || tag == 0x8825 || tag == 0xa005) {
                read(get(e + 8, 4), dir + "/" + std::to_string(tag));
                continue;
            }
            entries[dir + "/" + std::to_string(tag)] =
                std::to_string(type) + " " + std::to_string(count) + " " + b.substr(value, bytes);
        }
    };
    read(get(4, 4), "");
    return entries;
}

// A PNG with optional iCCP and eXIf chunks, through libpng.
void PngWriteData(png_structp png, png_bytep data, png_size_t size) {
    Bytes* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + size);
}
void PngFlushNothing(png_structp) {}

Bytes PngWithMetadata(const Rgb& image, const std::string& icc, const std::string& exif) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, PngWriteData, PngFlushNothing);
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!icc.empty()) {
        png_set_iCCP(png, info, "test", 0, reinterpret_cast<png_const_bytep>(icc.data()),
                     static_cast<png_uint_32>(icc.size()));
    }
    std::string exif_copy = exif;
    if (!exif.empty()) {
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(exif_copy.size()),
                       reinterpret_cast<png_bytep>(&exif_copy[0]));
    }
    png_write_info(png, info);
    for (int y = 0; y < image.height; ++y) {
        png_write_row(png, image.px.data() + static_cast<size_t>(y) * image.width * 3);
    }
    png_write_end(png, nullptr);  // with the info, libpng writes eXIf a second time
    png_destroy_write_struct(&png, &info);
    return out;
}

// A 16-bit grey PNG of one row (big-endian samples, as PNG stores them).
Bytes Png16Grey(const std::vector<uint16_t>& values) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, PngWriteData, PngFlushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(values.size()), 1, 16, PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    Bytes row;
    for (uint16_t v : values) {
        row.push_back(static_cast<uint8_t>(v >> 8));
        row.push_back(static_cast<uint8_t>(v));
    }
    png_write_row(png, row.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

struct Metadata {
    std::string icc;
    std::string exif;
};

struct PngReadBuffer {
    const Bytes* data;
    size_t pos;
};

void PngReadData(png_structp png, png_bytep out, png_size_t size) {
    PngReadBuffer* b = static_cast<PngReadBuffer*>(png_get_io_ptr(png));
    if (b->pos + size > b->data->size()) png_error(png, "short");
    memcpy(out, b->data->data() + b->pos, size);
    b->pos += size;
}

Metadata PngMetadata(const Bytes& file) {
    Metadata m;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    PngReadBuffer buffer = {&file, 0};
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_set_read_fn(png, &buffer, PngReadData);
        png_read_info(png, info);
        png_charp name;
        int compression;
        png_bytep profile;
        png_uint_32 size;
        if (png_get_iCCP(png, info, &name, &compression, &profile, &size)) {
            m.icc.assign(reinterpret_cast<char*>(profile), size);
        }
        png_bytep exif;
        if (png_get_eXIf_1(png, info, &size, &exif)) m.exif.assign(reinterpret_cast<char*>(exif), size);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return m;
}

struct JpegTestErr {
    jpeg_error_mgr manager;
    jmp_buf jump;
};

void JpegTestExit(j_common_ptr cinfo) { longjmp(reinterpret_cast<JpegTestErr*>(cinfo->err)->jump, 1); }

Metadata JpegMetadata(const Bytes& file) {
    Metadata m;
    jpeg_decompress_struct cinfo;
    JpegTestErr err;
    cinfo.err = jpeg_std_error(&err.manager);
    err.manager.error_exit = JpegTestExit;
    jpeg_create_decompress(&cinfo);
    if (setjmp(err.jump) == 0) {
        jpeg_mem_src(&cinfo, file.data(), file.size());
        jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xffff);
        jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xffff);
        jpeg_read_header(&cinfo, TRUE);
        for (jpeg_saved_marker_ptr p = cinfo.marker_list; p; p = p->next) {
            if (p->marker == JPEG_APP0 + 1 && p->data_length > 6 && memcmp(p->data, "Exif\0\0", 6) == 0) {
                m.exif.assign(reinterpret_cast<char*>(p->data) + 6, p->data_length - 6);
            }
        }
        JOCTET* icc = nullptr;
        unsigned int size = 0;
        if (jpeg_read_icc_profile(&cinfo, &icc, &size)) {
            m.icc.assign(reinterpret_cast<char*>(icc), size);
            free(icc);
        }
    }
    jpeg_destroy_decompress(&cinfo);
    return m;
}

Metadata WebpMetadata(const Bytes& file) {
    Metadata m;
    WebPData data = {file.data(), file.size()};
    WebPDemuxer* demux = WebPDemux(&data);
    if (!demux) return m;
    WebPChunkIterator it;
    if (WebPDemuxGetChunk(demux, "ICCP", 1, &it)) {
        m.icc.assign(reinterpret_cast<const char*>(it.chunk.bytes), it.chunk.size);
        WebPDemuxReleaseChunkIterator(&it);
    }
    if (WebPDemuxGetChunk(demux, "EXIF", 1, &it)) {
        m.exif.assign(reinterpret_cast<const char*>(it.chunk.bytes), it.chunk.size);
        WebPDemuxReleaseChunkIterator(&it);
    }
    WebPDemuxDelete(demux);
    return m;
}

// An RGB profile with the sRGB primaries and white point but linear tone
// curves, so that its conversion to sRGB is the sRGB transfer function.
std::string LinearSrgbProfile() {
    cmsCIExyY white = {0.3127, 0.3290, 1.0};
    cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* curves[3] = {linear, linear, linear};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, &bytes[0], &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(linear);
    return bytes;
}

// ---------------------------------------------------------------- formats

TEST(ToolFormats, WebpAndTiffInputs) {
    TempDir dir;
    const int w = 24, h = 16;
    Rgb rgb = pmtest::Pattern(w, h, 4);
    // 16-bit samples chosen off the 257 grid, rounded (not truncated) to 8
    // bits: round(v * 255 / 65535).
    std::vector<uint16_t> wide(w * h * 3), grey16(w * h), rgba8(w * h * 4),
        rgb8(rgb.px.begin(), rgb.px.end());
    Rgb wide_rgb{w, h, Bytes(w * h * 3)}, grey_rgb = wide_rgb, rgba_rgb = wide_rgb;
    const int bg[3] = {10, 20, 250};
    for (int i = 0; i < w * h; ++i) {
        for (int c = 0; c < 3; ++c) {
            uint16_t v = static_cast<uint16_t>(rgb.px[3 * i + c] * 257 + 128);
            wide[3 * i + c] = v;
            wide_rgb.px[3 * i + c] = static_cast<uint8_t>(std::lround(v * 255.0 / 65535));
        }
        uint16_t g = static_cast<uint16_t>((i * 997) % 65536);
        grey16[i] = g;
        for (int c = 0; c < 3; ++c)
            grey_rgb.px[3 * i + c] = static_cast<uint8_t>(std::lround(g * 255.0 / 65535));
        // Alpha 0 or 255 only: exact either way.
        int a = (i % 3) ? 255 : 0;
        for (int c = 0; c < 3; ++c) {
            rgba8[4 * i + c] = rgb.px[3 * i + c];
            rgba_rgb.px[3 * i + c] = a ? rgb.px[3 * i + c] : static_cast<uint8_t>(bg[c]);
        }
        rgba8[4 * i + 3] = static_cast<uint16_t>(a);
    }
    // 16-bit PNG: rounded as well (0x01c0 is 1.74 in 8 bits: 2, not 1).
    const std::vector<uint16_t> png16 = {0x0180, 0x01c0, 0x7fc0, 0xff7f, 0x00ff, 0x0081, 0x8080, 0};
    pmtest::WriteFileBytes(dir.File("grey16.png"), Png16Grey(png16));
    Rgb png16_rgb{8, 1, Bytes(24)};
    for (int i = 0; i < 8; ++i) {
        for (int c = 0; c < 3; ++c) {
            png16_rgb.px[3 * i + c] = static_cast<uint8_t>(std::lround(png16[i] * 255.0 / 65535));
        }
    }
    WriteTiff(dir.File("rgb8.tif"), w, h, 3, 8, rgb8);
    WriteTiff(dir.File("rgb16.tif"), w, h, 3, 16, wide);
    WriteTiff(dir.File("grey16.tif"), w, h, 1, 16, grey16);
    WriteTiff(dir.File("rgba8.tif"), w, h, 4, 8, rgba8);
    pmtest::WriteFileBytes(dir.File("lossless.webp"), WebpLossless(rgb));
    const std::pair<const char*, const Rgb*> cases[] = {
        {"rgb8.tif", &rgb},       {"rgb16.tif", &wide_rgb}, {"grey16.tif", &grey_rgb},
        {"rgba8.tif", &rgba_rgb}, {"lossless.webp", &rgb},  {"grey16.png", &png16_rgb},
    };
    for (const auto& c : cases) {
        ToolRun run = RunTool(dir.path(), {"--no-effect", "--background", "10,20,250", c.first, "out.ppm"});
        ASSERT_EQ(run.exit_code, 0) << c.first << ": " << run.err;
        Rgb got = ReadPpm(dir.File("out.ppm"));
        size_t wrong = 0, first = 0;
        for (size_t i = got.px.size(); i-- > 0;) {
            if (got.px[i] != c.second->px[i]) ++wrong, first = i;
        }
        EXPECT_TRUE(got == *c.second) << c.first << ": " << wrong << " bytes differ, first at " << first
                                      << ": " << int(got.px[first]) << " for " << int(c.second->px[first]);
    }
    // What libtiff cannot read is refused with its reason; cut files say so.
    std::vector<uint16_t> twelve(w * h, 100);
    WriteTiff(dir.File("twelve.tif"), w, h, 1, 16, twelve);
    {
        TIFF* tif = TIFFOpen(dir.File("bits12.tif").c_str(), "w");
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 8);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 8);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 12);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        std::vector<uint8_t> row(12, 0);
        for (int y = 0; y < 8; ++y) TIFFWriteScanline(tif, row.data(), y, 0);
        TIFFClose(tif);
    }
    Bytes webp = WebpLossless(pmtest::Pattern(64, 64, 1));
    pmtest::WriteFileBytes(dir.File("cut.webp"), Bytes(webp.begin(), webp.begin() + webp.size() / 2));
    Bytes tiff = pmtest::ReadFileBytes(dir.File("rgb8.tif"));
    pmtest::WriteFileBytes(dir.File("cut.tif"), Bytes(tiff.begin(), tiff.begin() + 200));
    const std::pair<const char*, const char*> refused[] = {
        {"bits12.tif", "bits12.tif: unsupported TIFF ("},
        {"cut.webp", "cut.webp: truncated WebP data"},
        {"cut.tif", "cut.tif: corrupt TIFF data"},
    };
    for (const auto& c : refused) {
        ToolRun run = RunTool(dir.path(), {c.first, "out.png"});
        EXPECT_EQ(run.exit_code, 1) << c.first;
        EXPECT_TRUE(Contains(run.err, std::string("polarmosaic: ") + c.second)) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
}

TEST(ToolFormats, WebpAndTiffOutputsHoldTheResult) {
    TempDir dir;
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(64, 48, 6)));
    ASSERT_EQ(RunTool(dir.path(), {"in.ppm", "ref.ppm"}).exit_code, 0);
    Rgb reference = ReadPpm(dir.File("ref.ppm"));
    ASSERT_EQ(RunTool(dir.path(), {"in.ppm", "out.tiff"}).exit_code, 0);
    Rgb got;
    std::string icc;
    ASSERT_TRUE(ReadTiff(dir.File("out.tiff"), &got, &icc));
    EXPECT_TRUE(got == reference);
    ASSERT_EQ(RunTool(dir.path(), {"--lossless", "in.ppm", "out.webp"}).exit_code, 0);
    ASSERT_TRUE(DecodeWebp(pmtest::ReadFileBytes(dir.File("out.webp")), &got));
    EXPECT_TRUE(got == reference);
    // Lossy: close, and smaller at a lower quality.
    ASSERT_EQ(RunTool(dir.path(), {"-q", "90", "in.ppm", "hi.webp"}).exit_code, 0);
    ASSERT_EQ(RunTool(dir.path(), {"-q", "20", "in.ppm", "lo.webp"}).exit_code, 0);
    ASSERT_TRUE(DecodeWebp(pmtest::ReadFileBytes(dir.File("hi.webp")), &got));
    double sum = 0;
    for (size_t i = 0; i < got.px.size(); ++i) sum += std::fabs(double(got.px[i]) - reference.px[i]);
    EXPECT_LT(sum / got.px.size(), 6.0);
    EXPECT_LT(pmtest::ReadFileBytes(dir.File("lo.webp")).size(),
              pmtest::ReadFileBytes(dir.File("hi.webp")).size());
}

// ------------------------------------------------------------ orientation

// The stored picture that shows as upright under EXIF orientation o,
// from the EXIF definition: where the stored first row and first column
// are seen (top, bottom, left or right).
Rgb StoredFor(const Rgb& upright, int o) {
    const char* row0[9] = {"", "top", "top", "bottom", "bottom", "left", "right", "right", "left"};
    const char* col0[9] = {"", "left", "right", "right", "left", "top", "top", "bottom", "bottom"};
    const int W = upright.width, H = upright.height;
    bool turned = o >= 5;
    Rgb stored{turned ? H : W, turned ? W : H, Bytes(upright.px.size())};
    for (int y = 0; y < stored.height; ++y) {
        for (int x = 0; x < stored.width; ++x) {
            int X = 0, Y = 0;
            std::string r = row0[o], c = col0[o];
            if (r == "top") Y = y;
            if (r == "bottom") Y = H - 1 - y;
            if (r == "left") X = y;
            if (r == "right") X = W - 1 - y;
            if (c == "left") X = x;
            if (c == "right") X = W - 1 - x;
            if (c == "top") Y = x;
            if (c == "bottom") Y = H - 1 - x;
            memcpy(&stored.px[(static_cast<size_t>(y) * stored.width + x) * 3],
                   &upright.px[(static_cast<size_t>(Y) * W + X) * 3], 3);
        }
    }
    return stored;
}

TEST(ToolOrientation, AllEightComeOutUpright) {
    TempDir dir;
    Rgb upright = pmtest::Pattern(30, 20, 7);
    for (int o = 1; o <= 8; ++o) {
        Rgb stored = StoredFor(upright, o);
        std::string name = "o" + std::to_string(o);
        pmtest::WriteFileBytes(dir.File(name + ".png"), PngWithMetadata(stored, "", ExifBlock(o)));
        std::vector<uint16_t> values(stored.px.begin(), stored.px.end());
        WriteTiff(dir.File(name + ".tif"), stored.width, stored.height, 3, 8, values, o);
        for (const char* ext : {".png", ".tif"}) {
            ToolRun run = RunTool(dir.path(), {"--no-effect", name + ext, "out.ppm"});
            ASSERT_EQ(run.exit_code, 0) << run.err;
            EXPECT_TRUE(ReadPpm(dir.File("out.ppm")) == upright) << "orientation " << o << ext;
        }
        // Turned off, the pixels stay as stored and the tag goes out as it was.
        ASSERT_EQ(
            RunTool(dir.path(), {"--no-effect", "--no-auto-orient", name + ".png", "kept.png"}).exit_code, 0);
        Rgb kept;
        ASSERT_TRUE(pmtest::DecodePng(pmtest::ReadFileBytes(dir.File("kept.png")), &kept));
        EXPECT_TRUE(kept == stored) << o;
        EXPECT_EQ(PngMetadata(pmtest::ReadFileBytes(dir.File("kept.png"))).exif, ExifBlock(o)) << o;
    }
    // A JPEG camera picture turned a quarter (orientation 6), through APP1:
    // the same pixels as libjpeg decodes them, put upright.
    Rgb stored = StoredFor(upright, 6);
    Bytes jpeg = pmtest::JpegBytes(stored.width, stored.height, 3, stored.px, 95);
    Rgb decoded;
    ASSERT_TRUE(pmtest::DecodeJpeg(jpeg, &decoded));
    std::string exif = ExifBlock(6);
    Bytes app1 = {0xff,
                  0xe1,
                  static_cast<uint8_t>((exif.size() + 8) >> 8),
                  static_cast<uint8_t>(exif.size() + 8),
                  'E',
                  'x',
                  'i',
                  'f',
                  0,
                  0};
    app1.insert(app1.end(), exif.begin(), exif.end());
    jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
    pmtest::WriteFileBytes(dir.File("camera.jpg"), jpeg);
    ASSERT_EQ(RunTool(dir.path(), {"--no-effect", "camera.jpg", "camera.ppm"}).exit_code, 0);
    Rgb got = ReadPpm(dir.File("camera.ppm"));
    // Where StoredFor took each stored pixel from, the decoded one goes back.
    Rgb index{upright.width, upright.height, Bytes(upright.px.size())};
    Rgb expected = index;
    for (size_t i = 0; i < upright.px.size() / 3; ++i) {
        index.px[3 * i] = static_cast<uint8_t>(i % 256);
        index.px[3 * i + 1] = static_cast<uint8_t>(i / 256);
    }
    Rgb where = StoredFor(index, 6);
    for (size_t j = 0; j < where.px.size() / 3; ++j) {
        size_t i = where.px[3 * j] + 256 * where.px[3 * j + 1];
        memcpy(&expected.px[3 * i], &decoded.px[3 * j], 3);
    }
    EXPECT_TRUE(got == expected);
}

// ------------------------------------------------------------ metadata

// How many chunks of a type a PNG file holds.
int PngChunkCount(const Bytes& png, const char* type) {
    int count = 0;
    for (size_t at = 8; at + 8 <= png.size();) {
        size_t length = size_t(png[at]) << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3];
        count += memcmp(&png[at + 4], type, 4) == 0;
        at += 12 + length;
    }
    return count;
}

// Make, orientation and DateTimeOriginal of a TIFF file, read by libtiff.
struct TiffExif {
    std::string make, date;
    uint16_t orientation = 0;
};

TiffExif ReadTiffExif(const std::string& path) {
    TiffExif got;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return got;
    char* text = nullptr;
    if (TIFFGetField(tif, TIFFTAG_MAKE, &text)) got.make = text;
    TIFFGetField(tif, TIFFTAG_ORIENTATION, &got.orientation);
    toff_t exif_dir = 0;
    if (TIFFGetField(tif, TIFFTAG_EXIFIFD, &exif_dir) && TIFFReadEXIFDirectory(tif, exif_dir) &&
        TIFFGetField(tif, EXIFTAG_DATETIMEORIGINAL, &text)) {
        got.date = text;
    }
    TIFFClose(tif);
    return got;
}

// The loader reserves memory for turning a picture upright before it takes
// any: orientations 5 to 8 swap width and height, which needs a second
// buffer of the picture's size (3 bytes a pixel); 2 to 4 mirror in place.
TEST(ToolOrientation, TurningIsReservedForEveryOrientation) {
    TempDir dir;
    const Rgb picture = pmtest::Pattern(30, 20, 4);
    const uint64_t second_buffer = uint64_t{30} * 20 * 3;
    for (const char* format : {"png", "tif"}) {
        uint64_t upright_bytes = 0;
        for (int o = 1; o <= 8; ++o) {
            Bytes file;
            if (format[0] == 'p') {
                file = PngWithMetadata(picture, "", ExifBlock(o));
            } else {
                std::vector<uint16_t> values(picture.px.begin(), picture.px.end());
                WriteTiff(dir.File("o.tif"), picture.width, picture.height, 3, 8, values, o);
                file = pmtest::ReadFileBytes(dir.File("o.tif"));
            }
            for (bool auto_orient : {true, false}) {
                polarmosaic::LoadSettings settings;
                settings.auto_orient = auto_orient;
                uint64_t reserved = 0;
                settings.reserve = [&](int, int, uint64_t decoder_bytes, std::string*) {
                    reserved = decoder_bytes;
                    return true;
                };
                polarmosaic::Image image;
                std::string error;
                ASSERT_TRUE(polarmosaic::LoadImage(file.data(), file.size(), settings, &image, &error))
                    << error;
                if (o == 1 && auto_orient) upright_bytes = reserved;
                const uint64_t extra = reserved - upright_bytes;
                const bool turns = auto_orient && o >= 5;
                EXPECT_EQ(extra, turns ? second_buffer : 0)
                    << format << " orientation " << o << " auto " << auto_orient;
                EXPECT_EQ(image.width, turns ? picture.height : picture.width) << format << " " << o;
            }
        }
    }
}

TEST(ToolMetadata, IccAndExifSurviveARoundTripThroughEveryOutputFormat) {
    TempDir dir;
    std::string icc = LinearSrgbProfile();
    Rgb upright = pmtest::Pattern(30, 20, 8);
    struct Case {
        const char* output;
        Metadata (*read)(const Bytes&);
    };
    const Case cases[] = {
        {"out.jpg", JpegMetadata},       {"out.png", PngMetadata}, {"out.webp", WebpMetadata},
        {"lossless.webp", WebpMetadata}, {"out.tif", nullptr},
    };
    for (bool little : {false, true}) {
        pmtest::WriteFileBytes(dir.File("in.png"), PngWithMetadata(StoredFor(upright, 6), icc,
                                                                   ExifBlock(6, little, true, 20, 30)));
        // Turned upright, so the orientation written is 1 and the pixel
        // size 30 x 20; the thumbnail, of the picture before the effect, is
        // no longer linked (the first directory's next-directory offset, at
        // 46, is 0); everything else as read.
        std::string expected_exif = ExifBlock(1, little, true, 30, 20);
        expected_exif.replace(46, 4, 4, '\0');
        for (const Case& c : cases) {
            std::string where = std::string(c.output) + (little ? ", little-endian" : ", big-endian");
            std::vector<std::string> args = {"in.png", c.output};
            if (std::string(c.output) == "lossless.webp") args.insert(args.begin(), "--lossless");
            ToolRun run = RunTool(dir.path(), args);
            ASSERT_EQ(run.exit_code, 0) << where << ": " << run.err;
            Metadata m;
            if (c.read) {
                m = c.read(pmtest::ReadFileBytes(dir.File(c.output)));
                EXPECT_EQ(m.exif, expected_exif) << where;
            } else {
                // TIFF holds EXIF as tags of its own and an Exif directory.
                Rgb ignored;
                ASSERT_TRUE(ReadTiff(dir.File(c.output), &ignored, &m.icc));
                TiffExif tags = ReadTiffExif(dir.File(c.output));
                EXPECT_EQ(tags.make, "PMTest") << where;
                EXPECT_EQ(tags.orientation, 1) << where;
                EXPECT_EQ(tags.date, "2026:12:09 10:00:00") << where;
            }
            EXPECT_EQ(m.icc, icc) << where;
            // And back in again: the second run finds the same profile and tags.
            ASSERT_EQ(RunTool(dir.path(), {c.output, "again.png"}).exit_code, 0) << where;
            Bytes again_png = pmtest::ReadFileBytes(dir.File("again.png"));
            EXPECT_EQ(PngChunkCount(again_png, "eXIf"), 1) << where;
            Metadata again = PngMetadata(again_png);
            EXPECT_EQ(again.icc, icc) << where;
            EXPECT_EQ(ExifEntries(again.exif), ExifEntries(expected_exif)) << where;
        }
    }
}

// A profile is carried only where it describes the pixels written (RGB)
// and fits the format; otherwise it is left out with a warning, and the
// picture is still written.
TEST(ToolMetadata, ProfilesGoOnlyWhereTheyDescribeThePixels) {
    TempDir dir;
    const std::string rgb = LinearSrgbProfile();
    auto with_space = [&](const char* space) {
        std::string profile = rgb;
        profile.replace(16, 4, space);
        return profile;
    };
    std::string huge = rgb;
    huge.resize(size_t(255) * 65519 + 1, '\0');
    struct Case {
        const char* name;
        std::string profile;
        const char* output;
        const char* warning;  // nullptr: the profile is carried
    };
    const char* kCmyk = "ICC profile left out (a 'CMYK' profile does not describe the RGB pixels written)";
    const Case cases[] = {
        {"RGB to JPEG", rgb, "out.jpg", nullptr},
        {"CMYK to JPEG", with_space("CMYK"), "out.jpg", kCmyk},
        {"CMYK to PNG", with_space("CMYK"), "out.png", kCmyk},
        {"CMYK to WebP", with_space("CMYK"), "out.webp", kCmyk},
        {"CMYK to TIFF", with_space("CMYK"), "out.tif", kCmyk},
        {"grey to PNG", with_space("GRAY"), "out.png",
         "ICC profile left out (a 'GRAY' profile does not describe the RGB pixels written)"},
        {"too large for JPEG", huge, "out.jpg",
         "ICC profile left out (16707346 bytes, more than JPEG holds (16707345))"},
    };
    std::vector<uint16_t> values(8 * 6 * 3);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<uint16_t>(i * 5 % 256);
    for (const Case& c : cases) {
        WriteTiff(dir.File("in.tif"), 8, 6, 3, 8, values, 1, c.profile);
        ToolRun run = RunTool(dir.path(), {"--no-effect", "in.tif", c.output});
        ASSERT_EQ(run.exit_code, 0) << c.name << ": " << run.err;
        Bytes file = pmtest::ReadFileBytes(dir.File(c.output));
        std::string extension = std::string(c.output).substr(4);
        Metadata m;
        Rgb pixels;
        if (extension == "jpg") {
            m = JpegMetadata(file);
            EXPECT_TRUE(pmtest::DecodeJpeg(file, &pixels)) << c.name;
        } else if (extension == "png") {
            m = PngMetadata(file);
        } else if (extension == "webp") {
            m = WebpMetadata(file);
        } else {
            EXPECT_TRUE(ReadTiff(dir.File(c.output), &pixels, &m.icc)) << c.name;
        }
        EXPECT_EQ(m.icc, c.warning ? std::string() : c.profile) << c.name;
        EXPECT_EQ(run.err, c.warning
                               ? "polarmosaic: warning: " + std::string(c.output) + ": " + c.warning + "\n"
                               : std::string())
            << c.name;
    }
}

// Under --no-auto-orient the pixels stay as stored, so every output keeps
// the stored orientation (TIFF in its own tag, the others in EXIF); turned
// upright, every output says 1.
TEST(ToolOrientation, OutputsKeepTheOrientationOfThePixelsWritten) {
    TempDir dir;
    Rgb upright = pmtest::Pattern(30, 20, 4);
    pmtest::WriteFileBytes(dir.File("in.png"),
                           PngWithMetadata(StoredFor(upright, 6), "", ExifBlock(6, true, false, 20, 30)));
    struct Case {
        bool auto_orient;
        const char* output;
        int orientation;
        int width;
    };
    const Case cases[] = {{false, "out.tif", 6, 20},
                          {true, "out.tif", 1, 30},
                          {false, "out.jpg", 6, 20},
                          {true, "out.jpg", 1, 30}};
    for (const Case& c : cases) {
        std::string where = std::string(c.output) + (c.auto_orient ? "" : " --no-auto-orient");
        std::vector<std::string> args = {"--no-effect", "in.png", c.output};
        if (!c.auto_orient) args.insert(args.begin(), "--no-auto-orient");
        ToolRun run = RunTool(dir.path(), args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        int orientation = 0, width = 0;
        if (std::string(c.output) == "out.tif") {
            TIFF* tif = TIFFOpen(dir.File(c.output).c_str(), "r");
            ASSERT_NE(tif, nullptr);
            uint16_t value = 0;
            uint32_t w = 0;
            TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &value);
            TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
            TIFFClose(tif);
            orientation = value;
            width = static_cast<int>(w);
        } else {
            Bytes file = pmtest::ReadFileBytes(dir.File(c.output));
            std::string entry =
                ExifEntries(JpegMetadata(file).exif)["/274"];  // "3 1 " and a little-endian SHORT
            ASSERT_EQ(entry.size(), 6u) << where;
            orientation = static_cast<uint8_t>(entry[4]) | static_cast<uint8_t>(entry[5]) << 8;
            Rgb pixels;
            ASSERT_TRUE(pmtest::DecodeJpeg(file, &pixels));
            width = pixels.width;
        }
        EXPECT_EQ(orientation, c.orientation) << where;
        EXPECT_EQ(width, c.width) << where;
    }
}

// TIFF samples other than unsigned integers are refused with the reason,
// in strips and in tiles alike, instead of coming out as wrong colours.
TEST(ToolFormats, TiffSampleFormats) {
    TempDir dir;
    struct Case {
        const char* name;
        int bits;
        uint16_t format;
        bool tiled;
        uint32_t sample;     // every sample, in its bits
        const char* reason;  // nullptr: loads, grey 128
    };
    const Case cases[] = {
        {"half-float strips", 16, SAMPLEFORMAT_IEEEFP, false, 0x3800, "floating-point samples"},
        {"half-float tiles", 16, SAMPLEFORMAT_IEEEFP, true, 0x3800, "floating-point samples"},
        {"float strips", 32, SAMPLEFORMAT_IEEEFP, false, 0x3F000000, "floating-point samples"},
        {"signed 8-bit strips", 8, SAMPLEFORMAT_INT, false, 0x9C, "signed integer samples"},
        {"signed 16-bit strips", 16, SAMPLEFORMAT_INT, false, 0xFC18, "signed integer samples"},
        {"signed 16-bit tiles", 16, SAMPLEFORMAT_INT, true, 0xFC18, "signed integer samples"},
        {"unsigned 16-bit strips", 16, SAMPLEFORMAT_UINT, false, 0x8080, nullptr},
    };
    const int size = 16;
    for (const Case& c : cases) {
        TIFF* tif = TIFFOpen(dir.File("in.tif").c_str(), "w");
        ASSERT_NE(tif, nullptr);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, size);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, size);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, c.bits);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, c.format);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        std::vector<uint8_t> samples(size * size * c.bits / 8);
        for (size_t i = 0; i < samples.size(); i += c.bits / 8) memcpy(&samples[i], &c.sample, c.bits / 8);
        if (c.tiled) {
            TIFFSetField(tif, TIFFTAG_TILEWIDTH, size);
            TIFFSetField(tif, TIFFTAG_TILELENGTH, size);
            ASSERT_GT(TIFFWriteEncodedTile(tif, 0, samples.data(), static_cast<tmsize_t>(samples.size())), 0);
        } else {
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, size);
            ASSERT_GT(TIFFWriteEncodedStrip(tif, 0, samples.data(), static_cast<tmsize_t>(samples.size())),
                      0);
        }
        TIFFClose(tif);
        ToolRun run = RunTool(dir.path(), {"--no-effect", "in.tif", "out.ppm"});
        if (c.reason) {
            EXPECT_EQ(run.exit_code, 1) << c.name;
            EXPECT_EQ(run.err, "polarmosaic: in.tif: unsupported TIFF (" + std::string(c.reason) + ")\n")
                << c.name;
        } else {
            ASSERT_EQ(run.exit_code, 0) << c.name << ": " << run.err;
            Rgb out = ReadPpm(dir.File("out.ppm"));
            EXPECT_EQ(out.px, Bytes(size * size * 3, 128)) << c.name;
        }
    }
}

TEST(ToolMetadata, SrgbConvertsThroughTheProfile) {
    TempDir dir;
    // Linear values; sRGB encodes v as 255 * (1.055 * (v / 255)^(1 / 2.4) - 0.055)
    // (v / 255 above 0.0031308).
    const int levels[4] = {32, 64, 128, 200};
    Rgb flat{4, 2, Bytes(4 * 2 * 3)};
    for (int i = 0; i < 8; ++i) {
        for (int c = 0; c < 3; ++c) flat.px[3 * i + c] = static_cast<uint8_t>(levels[i % 4]);
    }
    pmtest::WriteFileBytes(dir.File("linear.png"), PngWithMetadata(flat, LinearSrgbProfile(), ""));
    ToolRun run = RunTool(dir.path(), {"--no-effect", "--srgb", "linear.png", "srgb.png"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    Rgb got;
    ASSERT_TRUE(pmtest::DecodePng(pmtest::ReadFileBytes(dir.File("srgb.png")), &got));
    for (int i = 0; i < 8; ++i) {
        double v = levels[i % 4] / 255.0;
        double encoded = 255.0 * (1.055 * std::pow(v, 1 / 2.4) - 0.055);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(got.px[3 * i + c], encoded, 1.0) << levels[i % 4];
    }
    EXPECT_TRUE(PngMetadata(pmtest::ReadFileBytes(dir.File("srgb.png"))).icc.empty());
    // Without --srgb the values and the profile pass through unchanged.
    ASSERT_EQ(RunTool(dir.path(), {"--no-effect", "linear.png", "same.png"}).exit_code, 0);
    ASSERT_TRUE(pmtest::DecodePng(pmtest::ReadFileBytes(dir.File("same.png")), &got));
    EXPECT_TRUE(got == flat);
}

// ----------------------------------------------------------------- batch

TEST(ToolBatch, FormatsTemplatesColourNamesAndQualityWarning) {
    TempDir dir;
    Rgb rgb = pmtest::Pattern(40, 30, 3);
    pmtest::WriteFileBytes(dir.File("a.jpg"), pmtest::JpegBytes(40, 30, 3, rgb.px, 90));
    pmtest::WriteFileBytes(dir.File("b.png"), pmtest::PngBytes(40, 30, PNG_FORMAT_RGB, rgb.px.data()));
    // Each output keeps its input's format.
    ToolRun run = RunTool(dir.path(), {"-q", "80", "-d", "out", "a.jpg", "b.png"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    Rgb got;
    EXPECT_TRUE(pmtest::DecodeJpeg(pmtest::ReadFileBytes(dir.File("out/a.jpg")), &got));
    EXPECT_TRUE(pmtest::DecodePng(pmtest::ReadFileBytes(dir.File("out/b.png")), &got));
    EXPECT_TRUE(Contains(run.err, "warning: -q has no effect on PNG output")) << run.err;
    EXPECT_FALSE(Contains(run.err, "on JPEG")) << run.err;
    // A template: beside the inputs, format from its extension.
    run = RunTool(dir.path(), {"-o", "%s-mosaic.webp", "a.jpg", "b.png"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(DecodeWebp(pmtest::ReadFileBytes(dir.File("a-mosaic.webp")), &got));
    EXPECT_TRUE(DecodeWebp(pmtest::ReadFileBytes(dir.File("b-mosaic.webp")), &got));
    run = RunTool(dir.path(), {"-o", "mosaic.png", "a.jpg"});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_TRUE(Contains(run.err, "needs one %s")) << run.err;
    // CSS colour names, any case, equal the same colour given in hex.
    ASSERT_EQ(RunTool(dir.path(), {"-c", "NavajoWhite", "b.png", "named.ppm"}).exit_code, 0);
    ASSERT_EQ(RunTool(dir.path(), {"-c", "#ffdead", "b.png", "hex.ppm"}).exit_code, 0);
    EXPECT_EQ(pmtest::ReadFileBytes(dir.File("named.ppm")), pmtest::ReadFileBytes(dir.File("hex.ppm")));
    run = RunTool(dir.path(), {"-c", "notacolour", "b.png", "x.ppm"});
    EXPECT_EQ(run.exit_code, 2);
}

// The thread count shares out the work, never changes the bytes.
TEST(ToolThreads, ThreadCountsGiveTheSameFile) {
    TempDir dir;
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(120, 90, 5)));
    ASSERT_EQ(RunTool(dir.path(), {"-t", "1", "in.ppm", "one.ppm"}).exit_code, 0);
    Bytes one = pmtest::ReadFileBytes(dir.File("one.ppm"));
    for (const char* threads : {"3", "0"}) {
        ASSERT_EQ(RunTool(dir.path(), {"-t", threads, "in.ppm", "many.ppm"}).exit_code, 0);
        EXPECT_EQ(pmtest::ReadFileBytes(dir.File("many.ppm")), one) << threads;
    }
    ASSERT_EQ(RunTool(dir.path(), {"-Q", "-j", "2", "-d", "batch", "in.ppm"}).exit_code, 0);
    EXPECT_EQ(pmtest::ReadFileBytes(dir.File("batch/in.ppm")), one);
}

}  // namespace
