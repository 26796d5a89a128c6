// Transparency through the tool: RGBA in gives RGBA out where the output
// holds alpha and the geometry is the fitted one, equal to the host run
// directly on the same pixels; elsewhere the picture is laid over the
// background as it always was.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <string>
#include <vector>

#include "mosaic_host.h"
#include "tool_test_support.h"

namespace {

using pmtest::Bytes;
using pmtest::Contains;
using pmtest::RunTool;
using pmtest::TempDir;
using pmtest::ToolRun;

struct Rgba {
    int width = 0;
    int height = 0;
    Bytes px;  // 4 bytes a pixel, straight alpha
};

// The pattern's colours under an alpha with every value: a transparent hole,
// opaque and half-transparent bands.
Rgba Transparent(int width, int height) {
    const pmtest::Rgb rgb = pmtest::Pattern(width, height, 11);
    Rgba out{width, height, Bytes(static_cast<size_t>(width) * height * 4)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const size_t i = static_cast<size_t>(y) * width + x;
            memcpy(&out.px[4 * i], &rgb.px[3 * i], 3);
            const int dx = x - width / 3, dy = y - height / 2;
            out.px[4 * i + 3] = static_cast<uint8_t>(dx * dx + dy * dy < 80 ? 0
                                                     : x < width / 2        ? 255
                                                                            : (x * 37 + y * 11) & 255);
        }
    }
    return out;
}

Bytes WriteTiffRgba(const TempDir& dir, const Rgba& image) {
    const std::string path = dir.File("made.tif");
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, image.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, image.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
    const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    for (int y = 0; y < image.height; ++y) {
        Bytes row(image.px.begin() + static_cast<ptrdiff_t>(y) * image.width * 4,
                  image.px.begin() + static_cast<ptrdiff_t>(y + 1) * image.width * 4);
        TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0);
    }
    TIFFClose(tif);
    return pmtest::ReadFileBytes(path);
}

// Each decoder of the library itself; false when the file is not RGBA.
bool ReadRgba(const std::string& path, const std::string& ext, Rgba* out) {
    const Bytes file = pmtest::ReadFileBytes(path);
    if (ext == "png") {
        png_image image;
        memset(&image, 0, sizeof(image));
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return false;
        const bool has_alpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
        image.format = PNG_FORMAT_RGBA;
        out->width = static_cast<int>(image.width);
        out->height = static_cast<int>(image.height);
        out->px.resize(PNG_IMAGE_SIZE(image));
        return png_image_finish_read(&image, nullptr, out->px.data(), 0, nullptr) && has_alpha;
    }
    if (ext == "webp") {
        WebPBitstreamFeatures features;
        if (WebPGetFeatures(file.data(), file.size(), &features) != VP8_STATUS_OK || !features.has_alpha)
            return false;
        uint8_t* px = WebPDecodeRGBA(file.data(), file.size(), &out->width, &out->height);
        if (!px) return false;
        out->px.assign(px, px + static_cast<size_t>(out->width) * out->height * 4);
        WebPFree(px);
        return true;
    }
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return false;
    uint32_t w = 0, h = 0;
    uint16_t samples = 0, extra_count = 0, *extra = nullptr;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
    bool ok = samples == 4 && extra_count == 1 && extra[0] == EXTRASAMPLE_UNASSALPHA;
    out->width = static_cast<int>(w);
    out->height = static_cast<int>(h);
    out->px.resize(static_cast<size_t>(w) * h * 4);
    for (uint32_t y = 0; ok && y < h; ++y)
        ok = TIFFReadScanline(tif, &out->px[static_cast<size_t>(y) * w * 4], y, 0) >= 0;
    TIFFClose(tif);
    return ok;
}

// The host on the pixels, default settings, RGBA kept.
Bytes HostRgba(const Rgba& input) {
    polarmosaic::UserSettings settings;
    std::string reason;
    polarmosaic::MosaicOptions options =
        polarmosaic::ResolveSettings(settings, input.width, input.height, &reason);
    polarmosaic::MosaicHost host;
    EXPECT_TRUE(host.Prepare(input.width, input.height, options, &reason)) << reason;
    Bytes out(input.px.size());
    host.Apply(input.px.data(), input.width * 4, out.data(), input.width * 4, 4);
    return out;
}

// The picture laid over white, straight alpha rounded to nearest.
pmtest::Rgb OverWhite(const Rgba& image) {
    pmtest::Rgb out{image.width, image.height, Bytes(static_cast<size_t>(image.width) * image.height * 3)};
    for (size_t i = 0; i < out.px.size() / 3; ++i) {
        const unsigned a = image.px[4 * i + 3];
        for (int c = 0; c < 3; ++c)
            out.px[3 * i + c] = static_cast<uint8_t>((image.px[4 * i + c] * a + 255 * (255 - a) + 127) / 255);
    }
    return out;
}

struct Input {
    const char* name;
    Bytes bytes;
    Rgba pixels;  // as the input's own library decodes them
};

std::vector<Input> Inputs(const TempDir& dir, const Rgba& picture) {
    std::vector<Input> inputs;
    inputs.push_back({"in.png",
                      pmtest::PngBytes(picture.width, picture.height, PNG_FORMAT_RGBA, picture.px.data()),
                      picture});
    // Grey and alpha: the grey in all three channels.
    Bytes ga(static_cast<size_t>(picture.width) * picture.height * 2);
    Rgba grey = picture;
    for (size_t i = 0; i < ga.size() / 2; ++i) {
        ga[2 * i] = picture.px[4 * i + 1];
        ga[2 * i + 1] = picture.px[4 * i + 3];
        grey.px[4 * i] = grey.px[4 * i + 2] = picture.px[4 * i + 1];
    }
    inputs.push_back(
        {"grey.png", pmtest::PngBytes(picture.width, picture.height, PNG_FORMAT_GA, ga.data()), grey});
    uint8_t* webp = nullptr;
    const size_t size =
        WebPEncodeLosslessRGBA(picture.px.data(), picture.width, picture.height, picture.width * 4, &webp);
    Bytes webp_bytes(webp, webp + size);
    WebPFree(webp);
    pmtest::WriteFileBytes(dir.File("in.webp"), webp_bytes);
    Rgba decoded;
    EXPECT_TRUE(ReadRgba(dir.File("in.webp"), "webp", &decoded));
    inputs.push_back({"in.webp", webp_bytes, decoded});
    inputs.push_back({"in.tif", WriteTiffRgba(dir, picture), picture});
    return inputs;
}

TEST(ToolAlpha, RgbaInRgbaOutAsTheHostKeepsIt) {
    TempDir dir;
    const Rgba picture = Transparent(61, 43);
    for (const Input& input : Inputs(dir, picture)) {
        pmtest::WriteFileBytes(dir.File(input.name), input.bytes);
        const Bytes expected = HostRgba(input.pixels);
        // Alpha kept where the output holds it.
        for (const char* ext : {"png", "webp", "tif"}) {
            SCOPED_TRACE(std::string(input.name) + " to " + ext);
            std::vector<std::string> args = {input.name, std::string("out.") + ext};
            if (ext[0] == 'w') args.insert(args.begin(), "--lossless");
            ToolRun run = RunTool(dir.path(), args);
            ASSERT_EQ(run.exit_code, 0) << run.err;
            Rgba got;
            ASSERT_TRUE(ReadRgba(dir.File(std::string("out.") + ext), ext, &got));
            ASSERT_EQ(got.width, picture.width);
            EXPECT_TRUE(got.px == expected);
            int transparent = 0;
            for (size_t i = 3; i < got.px.size(); i += 4) transparent += got.px[i] < 255;
            EXPECT_GT(transparent, 0);
        }
        // Without alpha in the output, or in the classic geometry, the picture is
        // laid over the background first: the same file as from that RGB picture.
        pmtest::WriteFileBytes(dir.File("flat.ppm"), pmtest::PpmBytes(OverWhite(input.pixels)));
        struct Flat {
            std::vector<std::string> args;
            const char* out;
        };
        for (const Flat& f : {Flat{{}, "o.jpg"}, Flat{{}, "o.ppm"}, Flat{{"--classic"}, "o.png"},
                              Flat{{"--classic"}, "o.tif"}}) {
            SCOPED_TRACE(std::string(input.name) + " to " + f.out);
            std::vector<std::string> args = f.args;
            args.push_back(input.name);
            args.push_back(f.out);
            ASSERT_EQ(RunTool(dir.path(), args).exit_code, 0);
            const Bytes from_rgba = pmtest::ReadFileBytes(dir.File(f.out));
            args[args.size() - 2] = "flat.ppm";
            ASSERT_EQ(RunTool(dir.path(), args).exit_code, 0);
            EXPECT_TRUE(from_rgba == pmtest::ReadFileBytes(dir.File(f.out)));
        }
    }
}

// Alpha that is opaque everywhere changes nothing: the same file as from
// the RGB pixels alone.
TEST(ToolAlpha, OpaqueAlphaGivesTheRgbBytes) {
    TempDir dir;
    Rgba picture = Transparent(40, 30);
    for (size_t i = 3; i < picture.px.size(); i += 4) picture.px[i] = 255;
    pmtest::WriteFileBytes(dir.File("rgba.png"),
                           pmtest::PngBytes(40, 30, PNG_FORMAT_RGBA, picture.px.data()));
    const pmtest::Rgb rgb = OverWhite(picture);
    pmtest::WriteFileBytes(dir.File("rgb.png"), pmtest::PngBytes(40, 30, PNG_FORMAT_RGB, rgb.px.data()));
    for (const char* out : {"a.png", "a.webp", "a.tif"}) {
        ASSERT_EQ(RunTool(dir.path(), {"rgba.png", out}).exit_code, 0);
        const Bytes from_rgba = pmtest::ReadFileBytes(dir.File(out));
        ASSERT_EQ(RunTool(dir.path(), {"rgb.png", out}).exit_code, 0);
        EXPECT_TRUE(from_rgba == pmtest::ReadFileBytes(dir.File(out))) << out;
    }
}

// The memory budget counts the fourth channel: the same picture needs more
// with alpha kept (its pixels, two alpha planes, the encoded bytes) than laid
// over the background.
TEST(ToolAlpha, MemoryNeedCountsTheAlpha) {
    TempDir dir;
    const int w = 1600, h = 1200;
    Rgba picture = Transparent(w, h);
    const Bytes file = pmtest::PngBytes(w, h, PNG_FORMAT_RGBA, picture.px.data());
    pmtest::WriteFileBytes(dir.File("big.png"), file);
    // Room for the file, not for the picture.
    const std::string budget = std::to_string(file.size() / 1024 + 2048) + "K";
    auto need = [&](const char* out) {
        ToolRun run = RunTool(dir.path(), {"--memory", budget, "big.png", out});
        EXPECT_EQ(run.exit_code, 1);
        const size_t at = run.err.find("needs ");
        EXPECT_NE(at, std::string::npos) << run.err;
        EXPECT_TRUE(Contains(run.err, " MiB")) << run.err;
        return at == std::string::npos ? 0.0 : atof(run.err.c_str() + at + 6);
    };
    const double kept = need("o.png"), flat = need("o.ppm");
    const double mib = 1024.0 * 1024.0;
    const double lcw = (w + 15) / 16 * 16;
    // One byte a pixel more in the picture and in the encoded bytes, and two planes.
    EXPECT_GE(kept - flat, (2.0 * w * h + 2 * lcw * h) / mib - 2) << kept << " against " << flat;
}

}  // namespace
