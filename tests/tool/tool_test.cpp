// The polarmosaic executable: formats in and out, the result against the
// module called directly, error paths, nothing left behind, batches, usage.
#include <math.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>
#include <png.h>

#include "mosaic_host.h"
#include "pixel_checksum.h"
#include "tool_test_support.h"

namespace {

using pmtest::Bytes;
using pmtest::Contains;
using pmtest::Rgb;
using pmtest::RunTool;
using pmtest::TempDir;
using pmtest::ToolRun;

// Nothing but the given files may be in the folder: no output, no temporary.
void ExpectOnly(const TempDir& dir, std::vector<std::string> names) {
    std::vector<std::string> listed = dir.List();
    std::sort(listed.begin(), listed.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(listed, names);
}

Rgb ReadPnmFile(const std::string& path) {
    Rgb image;
    EXPECT_TRUE(pmtest::ParsePnm(pmtest::ReadFileBytes(path), &image)) << path;
    return image;
}

double MeanAbsDiff(const Rgb& a, const Rgb& b) {
    if (a.px.size() != b.px.size()) return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.px.size(); ++i) sum += fabs(double(a.px[i]) - b.px[i]);
    return sum / a.px.size();
}

// ------------------------------------------------------- result vs module

struct DirectCase {
    std::vector<std::string> args;
    int tile_w, tile_h, cols, rows, split, mode, width;
    int color[3];
    float shade[4];
};

TEST(ToolResult, EqualsTheModuleCalledDirectly) {
    TempDir dir;
    Rgb input = pmtest::Pattern(101, 99, 5);
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(input));
    const DirectCase cases[] = {
        {{"--split", "--tile-width", "9", "--tile-height", "11", "-b", "grid", "-w", "5", "-c", "#ff8000",
          "--shade-outer", "0.5", "--shade-inner", "1", "--shade-ccw", "0", "--shade-cw", "2"},
         9,
         11,
         0,
         0,
         1,
         2,
         5,
         {255, 128, 0},
         {0.5f, 1, 0, 2}},
        {{"--tile-width", "20", "--tile-height", "7", "--no-split", "-b", "rings", "-w", "4", "-c",
          "10,200,30", "--shade-outer", "0", "--shade-inner", "0", "--shade-ccw", "0", "--shade-cw", "0"},
         20,
         7,
         0,
         0,
         0,
         3,
         4,
         {10, 200, 30},
         {0, 0, 0, 0}},
        {{"--split", "--tile-width",
          "12",      "--tile-height",
          "12",      "--cols",
          "4",       "--rows",
          "3",       "-b",
          "spokes",  "-w",
          "1",       "-c",
          "#000000", "--shade-outer",
          "1",       "--shade-inner",
          "1",       "--shade-ccw",
          "1",       "--shade-cw",
          "1"},
         12,
         12,
         4,
         3,
         1,
         4,
         1,
         {0, 0, 0},
         {1, 1, 1, 1}},
        // Polar terms, no split by default: 25 sectors on 100 columns of a
        // turn = 4 columns (101 is prime, no exact divisor), 6.4 px rings = 8 rows.
        {{"--sectors", "25", "--ring", "6.4", "-b", "none", "-c", "1,2,3", "--shade-outer", "1",
          "--shade-inner", "1", "--shade-ccw", "1", "--shade-cw", "1"},
         4,
         8,
         0,
         0,
         0,
         1,
         5,
         {1, 2, 3},
         {1, 1, 1, 1}},
    };
    for (const DirectCase& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--classic");
        args.push_back("in.ppm");
        args.push_back("out.ppm");
        ToolRun run = RunTool(dir.path(), args);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        PolarMosaicParam p = {};
        p.tileWidth = static_cast<int16_t>(c.tile_w);
        p.tileHeight = static_cast<int16_t>(c.tile_h);
        p.tileCols = static_cast<int16_t>(c.cols ? c.cols : pmtest::CoveringCount(101, c.tile_w, c.split));
        p.tileRows = static_cast<int16_t>(c.rows ? c.rows : pmtest::CoveringCount(99, c.tile_h, c.split));
        p.splitRemainder = static_cast<int16_t>(c.split);
        p.borderMode = static_cast<int16_t>(c.mode);
        p.borderWidth = static_cast<int16_t>(c.width);
        for (int k = 0; k < 3; ++k) p.borderValue[k] = static_cast<int16_t>(c.color[k]);
        for (int s = 0; s < 4; ++s) p.shade[s] = c.shade[s];
        Rgb expected = pmtest::DirectModuleResult(input, p);
        EXPECT_TRUE(ReadPnmFile(dir.File("out.ppm")) == expected) << c.args[2];
    }
}

// Without --classic the tool runs the fitted geometry: the host layer's
// result with the tool's defaults, and registered with the finest grid
// (a 16:9 picture comes back whole, not cropped or scaled).
TEST(ToolResult, FittedIsTheDefaultAndRegistered) {
    TempDir dir;
    const int w = 192, h = 108;
    Rgb input;
    input.width = w;
    input.height = h;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) {
                input.px.push_back(
                    static_cast<uint8_t>(lround(128 + 90 * sin(x * 0.09 + c) * cos(y * 0.08 - c))));
            }
        }
    }
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(input));
    // The tool's settings against the host's options in pixels and doubled
    // centre coordinates, worked out by hand for 192 x 108 (half-diagonal
    // 110.15): 4% is 4.41 -> 4 pixels, 0.6% 0.66 -> 1, 10% 11.0 -> 11.
    const struct {
        std::vector<std::string> args;
        int sectors, ring, width, centre_x2, centre_y2;
        double angle;
        bool hard;
        int colour[3];
    } cases[] = {
        {{}, 36, 4, 1, -1, -1, 0.0, false, {48, 48, 48}},
        {{"-r", "10%", "-w", "3", "--centre", "20,30.5", "--angle", "-45", "-c", "#c81e5a"},
         36,
         11,
         3,
         40,
         61,
         -45.0,
         false,
         {200, 30, 90}},
        {{"-r", "9", "-w", "2%", "--centre", "100%,0%", "--hard-edges", "-s", "5"},
         5,
         9,
         2,
         382,
         0,
         0.0,
         true,
         {48, 48, 48}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("in.ppm");
        args.push_back("out.ppm");
        ASSERT_EQ(RunTool(dir.path(), args).exit_code, 0);
        polarmosaic::MosaicOptions options;
        options.sectors = c.sectors;
        options.ringWidth = c.ring;
        options.borderWidth = c.width;
        options.centreX2 = c.centre_x2;
        options.centreY2 = c.centre_y2;
        options.angle = c.angle;
        options.hardEdges = c.hard;
        for (int k = 0; k < 3; ++k) options.borderColor[k] = c.colour[k];
        Rgb expected = input;
        std::string error;
        ASSERT_TRUE(polarmosaic::ApplyPolarMosaic(input.px.data(), w, h, options, &expected.px, &error))
            << error;
        EXPECT_TRUE(ReadPnmFile(dir.File("out.ppm")) == expected)
            << (c.args.empty() ? "defaults" : c.args[1]);
    }

    ASSERT_EQ(RunTool(dir.path(), {"-s", "800", "-r", "1", "-b", "none", "in.ppm", "fine.ppm"}).exit_code, 0);
    Rgb fine = ReadPnmFile(dir.File("fine.ppm"));
    ASSERT_EQ(fine.px.size(), input.px.size());
    double squares = 0;
    for (size_t i = 0; i < fine.px.size(); ++i) {
        const double d = double(fine.px[i]) - input.px[i];
        squares += d * d;
    }
    EXPECT_GE(10 * log10(255.0 * 255.0 * double(fine.px.size()) / squares), 30.0);
}

struct SectorCase {
    int width, sectors, tile_width;
};

// --sectors picks the tile width nearest (width - 1) / sectors, preferring
// one within 15% that divides the width. Expected widths worked out by hand.
TEST(ToolResult, SectorsMapToTileWidth) {
    const SectorCase cases[] = {
        {120, 7, 15},  // 17 ideal, 120 = 8 x 15 (20 is further away)
        {101, 25, 4},  // 4 ideal, 101 has no divisor near it
        {97, 2, 48},   // 48 ideal, 97 is prime
        {64, 9, 8},    // 7 ideal, 64 = 8 x 8
        {50, 100, 1},  // below one column: 1
    };
    TempDir dir;
    for (const SectorCase& c : cases) {
        pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(c.width, 30, 3)));
        ASSERT_EQ(
            RunTool(dir.path(), {"--classic", "-s", std::to_string(c.sectors), "in.ppm", "a.ppm"}).exit_code,
            0);
        ASSERT_EQ(RunTool(dir.path(),
                          {"--classic", "--tile-width", std::to_string(c.tile_width), "in.ppm", "b.ppm"})
                      .exit_code,
                  0);
        EXPECT_EQ(pmtest::ReadFileBytes(dir.File("a.ppm")), pmtest::ReadFileBytes(dir.File("b.ppm")))
            << c.width << " / " << c.sectors;
    }
}

// ------------------------------------------------------------ formats in

struct InputCase {
    const char* name;
    Bytes file;
    Rgb expected;
    double tolerance;  // mean absolute difference allowed (JPEG is lossy)
};

std::vector<InputCase> InputCases() {
    const int w = 24, h = 16;
    Rgb rgb = pmtest::Pattern(w, h, 11);
    Bytes grey(w * h), grey_alpha(w * h * 2), rgba(w * h * 4), wide16(w * h * 3 * 2);
    Rgb grey_rgb{w, h, Bytes(w * h * 3)}, grey_alpha_rgb = grey_rgb, rgba_rgb = grey_rgb;
    Rgb wide_rgb = grey_rgb;
    const int bg[3] = {10, 20, 250};  // passed as --background
    for (int i = 0; i < w * h; ++i) {
        uint8_t g = static_cast<uint8_t>(i * 7);
        uint8_t a = static_cast<uint8_t>((i * 13) % 256);
        grey[i] = g;
        grey_alpha[2 * i] = g;
        grey_alpha[2 * i + 1] = a;
        for (int c = 0; c < 3; ++c) {
            grey_rgb.px[3 * i + c] = g;
            grey_alpha_rgb.px[3 * i + c] =
                static_cast<uint8_t>(lround((g * a + bg[c] * (255.0 - a)) / 255.0));
            uint8_t v = rgb.px[3 * i + c];
            rgba[4 * i + c] = v;
            rgba_rgb.px[3 * i + c] = static_cast<uint8_t>(lround((v * a + bg[c] * (255.0 - a)) / 255.0));
            // 16-bit samples k * 257 are exactly k in 8 bits.
            uint16_t v16 = static_cast<uint16_t>(v * 257);
            wide16[6 * i + 2 * c] = static_cast<uint8_t>(v16 >> 8);
            wide16[6 * i + 2 * c + 1] = static_cast<uint8_t>(v16);
            wide_rgb.px[3 * i + c] = v;
        }
        rgba[4 * i + 3] = a;
    }
    // Palette: 4 colours indexed by position.
    Bytes palette = {255, 0, 0, 0, 255, 0, 0, 0, 255, 200, 200, 50};
    Bytes indices(w * h);
    Rgb palette_rgb = grey_rgb;
    for (int i = 0; i < w * h; ++i) {
        indices[i] = static_cast<uint8_t>(i % 4);
        for (int c = 0; c < 3; ++c) palette_rgb.px[3 * i + c] = palette[3 * (i % 4) + c];
    }
    // 16-bit PNG through the simplified API's linear format would change the
    // values, so the 16-bit case is the PPM with maxval 65535.
    std::string header16 = "P6\n24 16\n65535\n";
    Bytes ppm16(header16.begin(), header16.end());
    ppm16.insert(ppm16.end(), wide16.begin(), wide16.end());
    std::vector<InputCase> cases;
    cases.push_back({"ppm", pmtest::PpmBytes(rgb), rgb, 0});
    cases.push_back({"pgm", pmtest::PgmBytes(w, h, grey), grey_rgb, 0});
    cases.push_back({"ppm 16-bit", ppm16, wide_rgb, 0});
    cases.push_back({"png rgb", pmtest::PngBytes(w, h, PNG_FORMAT_RGB, rgb.px.data()), rgb, 0});
    cases.push_back({"png grey", pmtest::PngBytes(w, h, PNG_FORMAT_GRAY, grey.data()), grey_rgb, 0});
    cases.push_back(
        {"png grey+alpha", pmtest::PngBytes(w, h, PNG_FORMAT_GA, grey_alpha.data()), grey_alpha_rgb, 0});
    cases.push_back({"png rgba", pmtest::PngBytes(w, h, PNG_FORMAT_RGBA, rgba.data()), rgba_rgb, 0});
    cases.push_back({"png palette",
                     pmtest::PngBytes(w, h, PNG_FORMAT_RGB_COLORMAP, indices.data(), palette, 4), palette_rgb,
                     0});
    Rgb smooth{w, h, Bytes(w * h * 3)};
    for (int i = 0; i < w * h * 3; ++i)
        smooth.px[i] = static_cast<uint8_t>(60 + (i / 3) % w * 4 + i % 3 * 30);
    cases.push_back({"jpeg rgb", pmtest::JpegBytes(w, h, 3, smooth.px, 95), smooth, 3.0});
    cases.push_back({"jpeg grey", pmtest::JpegBytes(w, h, 1, grey, 100), grey_rgb, 2.0});
    return cases;
}

TEST(ToolFormats, EachInputFormatIsReadByContent) {
    TempDir dir;
    for (const InputCase& c : InputCases()) {
        // A misleading extension: the content decides.
        pmtest::WriteFileBytes(dir.File("input.dat"), c.file);
        ToolRun run =
            RunTool(dir.path(), {"--no-effect", "--background", "10,20,250", "input.dat", "out.ppm"});
        ASSERT_EQ(run.exit_code, 0) << c.name << ": " << run.err;
        Rgb got = ReadPnmFile(dir.File("out.ppm"));
        if (c.tolerance == 0) {
            EXPECT_TRUE(got == c.expected) << c.name;
        } else {
            EXPECT_LT(MeanAbsDiff(got, c.expected), c.tolerance) << c.name;
        }
    }
}

TEST(ToolFormats, GreyJpegGivesEqualChannels) {
    TempDir dir;
    Bytes grey(30 * 20);
    for (size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<uint8_t>(i);
    pmtest::WriteFileBytes(dir.File("g.jpg"), pmtest::JpegBytes(30, 20, 1, grey, 80));
    ASSERT_EQ(RunTool(dir.path(), {"--no-effect", "g.jpg", "g.ppm"}).exit_code, 0);
    Rgb got = ReadPnmFile(dir.File("g.ppm"));
    for (size_t i = 0; i < got.px.size(); i += 3) {
        ASSERT_EQ(got.px[i], got.px[i + 1]);
        ASSERT_EQ(got.px[i], got.px[i + 2]);
    }
}

// ----------------------------------------------------------- formats out

TEST(ToolFormats, EachOutputFormatHoldsTheSameResult) {
    TempDir dir;
    Rgb input = pmtest::Pattern(64, 48, 2);
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(input));
    ASSERT_EQ(RunTool(dir.path(), {"in.ppm", "ref.ppm"}).exit_code, 0);
    Rgb reference = ReadPnmFile(dir.File("ref.ppm"));
    EXPECT_FALSE(reference == input);  // the effect did something

    ASSERT_EQ(RunTool(dir.path(), {"in.ppm", "out.PNG"}).exit_code, 0);
    Rgb png;
    ASSERT_TRUE(pmtest::DecodePng(pmtest::ReadFileBytes(dir.File("out.PNG")), &png));
    EXPECT_TRUE(png == reference);

    // --format wins over the extension.
    ASSERT_EQ(RunTool(dir.path(), {"-f", "png", "in.ppm", "out.jpg"}).exit_code, 0);
    ASSERT_TRUE(pmtest::DecodePng(pmtest::ReadFileBytes(dir.File("out.jpg")), &png));
    EXPECT_TRUE(png == reference);

    for (const char* quality : {"95", "30"}) {
        ASSERT_EQ(RunTool(dir.path(), {"-q", quality, "in.ppm", "out.jpeg"}).exit_code, 0);
        Rgb jpeg;
        ASSERT_TRUE(pmtest::DecodeJpeg(pmtest::ReadFileBytes(dir.File("out.jpeg")), &jpeg));
        EXPECT_LT(MeanAbsDiff(jpeg, reference), 12.0) << quality;
    }
    Bytes high = pmtest::ReadFileBytes(dir.File("out.jpeg"));
    ASSERT_EQ(RunTool(dir.path(), {"-q", "95", "in.ppm", "out.jpeg"}).exit_code, 0);
    EXPECT_GT(pmtest::ReadFileBytes(dir.File("out.jpeg")).size(), high.size());

    ASSERT_EQ(RunTool(dir.path(), {"in.ppm", "out.pgm"}).exit_code, 0);
    Rgb grey;
    bool was_grey = false;
    ASSERT_TRUE(pmtest::ParsePnm(pmtest::ReadFileBytes(dir.File("out.pgm")), &grey, &was_grey));
    EXPECT_TRUE(was_grey);
    for (size_t i = 0; i < grey.px.size(); i += 3) {
        const uint8_t* p = &reference.px[i];
        double luma = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
        ASSERT_NEAR(grey.px[i], luma, 1.0) << i / 3;
    }
}

TEST(ToolFormats, StandardInputAndOutput) {
    TempDir dir;
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(40, 30, 4)));
    ASSERT_EQ(RunTool(dir.path(), {"in.ppm", "ref.ppm"}).exit_code, 0);
    ToolRun run = RunTool(dir.path(), {"-f", "ppm", "-", "-"}, dir.File("in.ppm"));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    Bytes ref = pmtest::ReadFileBytes(dir.File("ref.ppm"));
    EXPECT_EQ(Bytes(run.out.begin(), run.out.end()), ref);
    // Without --format standard output gets PNG.
    run = RunTool(dir.path(), {"-", "-"}, dir.File("in.ppm"));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    Rgb png, ppm;
    ASSERT_TRUE(pmtest::DecodePng(Bytes(run.out.begin(), run.out.end()), &png));
    ASSERT_TRUE(pmtest::ParsePnm(ref, &ppm));
    EXPECT_TRUE(png == ppm);
}

// ---------------------------------------------------------------- errors

struct ErrorCase {
    const char* name;
    Bytes input;  // written as the input file unless empty
    std::vector<std::string> args;
    int exit_code;
    std::string message;  // must appear in the one-line error
};

std::vector<ErrorCase> ErrorCases() {
    Rgb rgb = pmtest::Pattern(40, 30, 8);
    Bytes ppm = pmtest::PpmBytes(rgb);
    Bytes png = pmtest::PngBytes(40, 30, PNG_FORMAT_RGB, rgb.px.data());
    Bytes jpeg = pmtest::JpegBytes(40, 30, 3, rgb.px, 90);
    Bytes cmyk = pmtest::JpegBytes(8, 8, 4, Bytes(8 * 8 * 4, 100), 90);
    std::string text = "hello, not a picture\n";
    std::string tiny = "P6\n1 1\n255\nabc";
    std::string huge = "P6\n40000 100\n255\n";
    std::string tall = "P6\n4 2147483653\n255\n";
    std::string ascii = "P3\n2 2\n255\n0 0 0 0 0 0 0 0 0 0 0 0\n";
    Bytes half_png(png.begin(), png.begin() + png.size() / 2);
    Bytes half_jpeg(jpeg.begin(), jpeg.begin() + jpeg.size() / 2);
    Bytes short_ppm(ppm.begin(), ppm.end() - 5);
    return {
        {"missing input",
         {},
         {"missing.png", "out.png"},
         1,
         "missing.png: cannot open (No such file or directory)"},
        {"not an image",
         Bytes(text.begin(), text.end()),
         {"in.dat", "out.png"},
         1,
         "in.dat: not a PNG, JPEG, WebP, TIFF, GIF or PPM/PGM image"},
        {"empty file", Bytes{}, {"in.dat", "out.png"}, 1, "in.dat: empty file"},
        {"truncated png", half_png, {"in.dat", "out.png"}, 1, "in.dat: truncated PNG data"},
        {"truncated jpeg", half_jpeg, {"in.dat", "out.png"}, 1, "in.dat: truncated JPEG data"},
        {"truncated ppm", short_ppm, {"in.dat", "out.png"}, 1, "in.dat: truncated PPM data"},
        {"ascii ppm",
         Bytes(ascii.begin(), ascii.end()),
         {"in.dat", "out.png"},
         1,
         "in.dat: plain-text or bitmap"},
        {"cmyk jpeg", cmyk, {"in.dat", "out.png"}, 1, "in.dat: CMYK JPEG is not supported"},
        {"too small",
         Bytes(tiny.begin(), tiny.end()),
         {"in.dat", "out.png"},
         1,
         "in.dat: image is 1 x 1 pixels; the effect needs at least 2 x 2"},
        {"too large",
         Bytes(huge.begin(), huge.end()),
         {"in.dat", "out.png"},
         1,
         "in.dat: image is 40000 x 100 pixels, larger than the effect can take"},
        {"rows beyond 31 bits",
         Bytes(tall.begin(), tall.end()),
         {"in.dat", "out.png"},
         1,
         "in.dat: image is 4 x 2147483653 pixels, larger than the effect can take"},
        {"tile count for this image",
         ppm,
         {"--classic", "--tile-width", "30", "--cols", "9", "in.dat", "out.png"},
         1,
         "in.dat: tile columns 9 does not fit a 40-column polar image"},
        {"cannot write",
         ppm,
         {"in.dat", "no/such/folder/out.png"},
         1,
         "no/such/folder/out.png: cannot write (No such file or directory)"},
        {"output is input",
         ppm,
         {"in.dat", "in.dat", "-f", "png"},
         1,
         "in.dat: refusing to overwrite the input file"},
        {"no arguments", {}, {}, 2, "expected INPUT and OUTPUT"},
        {"one argument", ppm, {"in.dat"}, 2, "expected INPUT and OUTPUT"},
        {"unknown option", ppm, {"--frobnicate", "in.dat", "out.png"}, 2, "unknown option '--frobnicate'"},
        {"unknown extension", ppm, {"in.dat", "out.xyz"}, 2, "out.xyz: unknown output format"},
        {"unknown format", ppm, {"-f", "bmp", "in.dat", "out.png"}, 2, "option -f: unknown format 'bmp'"},
        {"border style",
         ppm,
         {"-b", "dots", "in.dat", "out.png"},
         2,
         "option -b: unknown border style 'dots'"},
        {"border width", ppm, {"-w", "-1", "in.dat", "out.png"}, 2, "option -w: '-1'"},
        {"border width big",
         ppm,
         {"--border-width=2000", "in.dat", "out.png"},
         2,
         "option --border-width: '2000'"},
        {"colour", ppm, {"-c", "#12345", "in.dat", "out.png"}, 2, "option -c: '#12345' is not a colour"},
        {"colour range",
         ppm,
         {"-c", "1,2,300", "in.dat", "out.png"},
         2,
         "option -c: '1,2,300' is not a colour"},
        {"shade nan", ppm, {"--shade-outer", "nan", "in.dat", "out.png"}, 2, "option --shade-outer: 'nan'"},
        {"shade negative", ppm, {"--shade-cw", "-1", "in.dat", "out.png"}, 2, "option --shade-cw: '-1'"},
        {"sectors 0", ppm, {"-s", "0", "in.dat", "out.png"}, 2, "option -s: '0'"},
        {"ring 0", ppm, {"--ring", "0", "in.dat", "out.png"}, 2, "option --ring: '0'"},
        {"tile width 0", ppm, {"--tile-width", "0", "in.dat", "out.png"}, 2, "option --tile-width: '0'"},
        {"classic grid option",
         ppm,
         {"--cols", "4", "in.dat", "out.png"},
         2,
         "option --cols sets the classic polar grid; add --classic"},
        {"quality 0", ppm, {"-q", "0", "in.dat", "out.jpg"}, 2, "option -q: '0'"},
        {"jobs 0", ppm, {"-j", "0", "-d", ".", "in.dat"}, 2, "option -j: '0'"},
        {"missing value", ppm, {"in.dat", "out.png", "--quality"}, 2, "option --quality needs a value"},
        {"value on a flag", ppm, {"--split=yes", "in.dat", "out.png"}, 2, "option --split takes no value"},
        {"batch folder is a file", ppm, {"-d", "in.dat", "in.dat"}, 1, "in.dat: not a folder"},
        {"demo with batch", {}, {"--demo", "-d", "."}, 2, "--demo cannot be used with -d"},
        {"value on help", ppm, {"-hfoo"}, 2, "option -h takes no value ('-hfoo')"},
        {"value on version", ppm, {"--version=1"}, 2, "option --version takes no value"},
        {"memory size",
         ppm,
         {"--memory", "lots", "in.dat", "out.png"},
         2,
         "option --memory: 'lots' is not a memory size"},
        {"threads", ppm, {"-t", "-1", "in.dat", "out.png"}, 2, "option -t: '-1'"},
        {"ring percent", ppm, {"-r", "4 %", "in.dat", "out.png"}, 2, "option -r: '4 %'"},
        {"width fraction", ppm, {"-w", "2.5", "in.dat", "out.png"}, 2, "option -w: '2.5'"},
        {"centre", ppm, {"--centre", "10", "in.dat", "out.png"}, 2, "option --centre: '10' is not X,Y"},
        {"centre outside",
         ppm,
         {"--centre", "40,10", "in.dat", "out.png"},
         1,
         "in.dat: centre 40,10 lies outside the 40 x 30 picture (0 .. 39, 0 .. 29)"},
        {"angle", ppm, {"--angle", "east", "in.dat", "out.png"}, 2, "option --angle: 'east'"},
        {"fitted option with classic",
         ppm,
         {"--classic", "--hard-edges", "in.dat", "out.png"},
         2,
         "option --hard-edges is for the fitted geometry"},
    };
}

TEST(ToolErrors, OneLineNamingFileAndReasonNothingWritten) {
    for (const ErrorCase& c : ErrorCases()) {
        TempDir dir;
        std::vector<std::string> present;
        if (c.name != std::string("missing input") && c.name != std::string("no arguments") &&
            c.name != std::string("demo with batch")) {
            pmtest::WriteFileBytes(dir.File("in.dat"), c.input);
            present.push_back("in.dat");
        }
        ToolRun run = RunTool(dir.path(), c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name << ": " << run.err;
        EXPECT_TRUE(Contains(run.err, "polarmosaic: " + c.message)) << c.name << ": got '" << run.err << "'";
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.name << ": " << run.err;
        if (c.exit_code == 2) EXPECT_TRUE(Contains(run.err, "see polarmosaic --help")) << c.name;
        EXPECT_EQ(run.out, "") << c.name;
        ExpectOnly(dir, present);
        if (!present.empty()) {
            EXPECT_EQ(pmtest::ReadFileBytes(dir.File("in.dat")), c.input) << c.name;
        }
    }
}

TEST(ToolErrors, FailureKeepsAnExistingOutputAsItWas) {
    TempDir dir;
    std::string text = "not an image";
    pmtest::WriteFileBytes(dir.File("bad.txt"), Bytes(text.begin(), text.end()));
    Bytes old = {'o', 'l', 'd'};
    pmtest::WriteFileBytes(dir.File("out.png"), old);
    ToolRun run = RunTool(dir.path(), {"bad.txt", "out.png"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(pmtest::ReadFileBytes(dir.File("out.png")), old);
    ExpectOnly(dir, {"bad.txt", "out.png"});
}

TEST(ToolErrors, OutputBelowAFileIsRefused) {
    TempDir dir;
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(20, 20, 1)));
    ToolRun run = RunTool(dir.path(), {"in.ppm", "in.ppm/out.png"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(Contains(run.err, "polarmosaic: in.ppm/out.png: cannot write (Not a directory)")) << run.err;
    ExpectOnly(dir, {"in.ppm"});
}

TEST(ToolErrors, OutputThatIsAFolderIsRefused) {
    TempDir dir;
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(20, 20, 1)));
    mkdir(dir.File("sub.png").c_str(), 0700);
    ToolRun run = RunTool(dir.path(), {"in.ppm", "sub.png"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(Contains(run.err, "polarmosaic: sub.png: cannot write")) << run.err;
    ExpectOnly(dir, {"in.ppm", "sub.png"});
}

// ----------------------------------------------------------------- batch

TEST(ToolBatch, OneBadFileDoesNotStopTheOthers) {
    TempDir dir;
    Rgb a = pmtest::Pattern(50, 40, 1), b = pmtest::Pattern(30, 60, 2);
    pmtest::WriteFileBytes(dir.File("a.ppm"), pmtest::PpmBytes(a));
    pmtest::WriteFileBytes(dir.File("b.png"), pmtest::PngBytes(30, 60, PNG_FORMAT_RGB, b.px.data()));
    std::string text = "garbage";
    pmtest::WriteFileBytes(dir.File("c.jpg"), Bytes(text.begin(), text.end()));
    mkdir(dir.File("out").c_str(), 0700);
    ToolRun run = RunTool(dir.path(), {"-j", "2", "-d", "out", "a.ppm", "c.jpg", "b.png", "missing.ppm"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(Contains(run.err, "polarmosaic: c.jpg: not a PNG, JPEG, WebP, TIFF, GIF or PPM/PGM image"))
        << run.err;
    EXPECT_TRUE(Contains(run.err, "polarmosaic: missing.ppm: cannot open")) << run.err;
    EXPECT_TRUE(Contains(run.err, "2 of 4 images written to out; 2 failed")) << run.err;
    // Each good output equals a single run of the same file, in the
    // input's format.
    ASSERT_EQ(RunTool(dir.path(), {"a.ppm", "a_single.ppm"}).exit_code, 0);
    EXPECT_EQ(pmtest::ReadFileBytes(dir.File("out/a.ppm")), pmtest::ReadFileBytes(dir.File("a_single.ppm")));
    ASSERT_EQ(RunTool(dir.path(), {"b.png", "b_single.png"}).exit_code, 0);
    EXPECT_EQ(pmtest::ReadFileBytes(dir.File("out/b.png")), pmtest::ReadFileBytes(dir.File("b_single.png")));
    EXPECT_FALSE(pmtest::FileExists(dir.File("out/c.jpg")));
    EXPECT_FALSE(pmtest::FileExists(dir.File("out/missing.ppm")));
}

TEST(ToolBatch, AllGoodExitsZeroAndKeepsOutputsApart) {
    TempDir dir;
    mkdir(dir.File("x").c_str(), 0700);
    mkdir(dir.File("y").c_str(), 0700);
    pmtest::WriteFileBytes(dir.File("x/p.ppm"), pmtest::PpmBytes(pmtest::Pattern(20, 20, 1)));
    pmtest::WriteFileBytes(dir.File("y/p.ppm"), pmtest::PpmBytes(pmtest::Pattern(20, 20, 2)));
    pmtest::WriteFileBytes(dir.File("q.ppm"), pmtest::PpmBytes(pmtest::Pattern(20, 20, 3)));
    ToolRun run = RunTool(dir.path(), {"-f", "ppm", "-d", "x", "x/p.ppm", "y/p.ppm"});
    // x/p.ppm would be overwritten by its own output; y/p.ppm would land on it.
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(Contains(run.err, "x/p.ppm: refusing to overwrite input file x/p.ppm")) << run.err;
    EXPECT_TRUE(Contains(run.err, "y/p.ppm: output x/p.ppm would also be written from x/p.ppm")) << run.err;
    mkdir(dir.File("out").c_str(), 0700);
    run = RunTool(dir.path(), {"-f", "png", "-d", "out/", "x/p.ppm", "q.ppm"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(Contains(run.err, "2 of 2 images written to out/")) << run.err;
    Rgb png;
    EXPECT_TRUE(pmtest::DecodePng(pmtest::ReadFileBytes(dir.File("out/p.png")), &png));
    EXPECT_TRUE(pmtest::DecodePng(pmtest::ReadFileBytes(dir.File("out/q.png")), &png));
}

// Two inputs whose outputs are one file, however the paths are written:
// the second is refused before anything is written, naming both inputs and
// the output, instead of silently replacing the first one's result.
TEST(ToolBatch, InputsThatMeetInOneOutputAreRefused) {
    TempDir dir;
    mkdir(dir.File("sub").c_str(), 0700);
    mkdir(dir.File("real").c_str(), 0700);
    ASSERT_EQ(symlink("real", dir.File("alias").c_str()), 0);
    for (const char* name : {"x.png", "x.jpg", "real/y.png", "alias/y.jpg", "a.png", "b.png"}) {
        pmtest::WriteFileBytes(dir.File(name), pmtest::PpmBytes(pmtest::Pattern(20, 20, 1)));
    }
    // Outputs that exist as two names of one file.
    pmtest::WriteFileBytes(dir.File("a-m.png"), Bytes{1});
    ASSERT_EQ(link(dir.File("a-m.png").c_str(), dir.File("b-m.png").c_str()), 0);
    struct Case {
        std::vector<std::string> inputs;
        const char* first_output;
        const char* message;
    };
    const Case cases[] = {
        {{"x.png", "./x.jpg"},
         "x-m.png",
         "./x.jpg: output ./x-m.png would also be written from x.png (as x-m.png)"},
        {{"x.png", "sub/../x.jpg"},
         "x-m.png",
         "sub/../x.jpg: output sub/../x-m.png would also be written from x.png (as x-m.png)"},
        {{"real/y.png", "alias/y.jpg"},
         "real/y-m.png",
         "alias/y.jpg: output alias/y-m.png would also be written from real/y.png (as real/y-m.png)"},
        {{"a.png", "b.png"},
         "a-m.png",
         "b.png: output b-m.png would also be written from a.png (as a-m.png)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-o", "%s-m.png"};
        args.insert(args.end(), c.inputs.begin(), c.inputs.end());
        unlink(dir.File(c.first_output).c_str());
        if (std::string(c.first_output) == "a-m.png") {
            pmtest::WriteFileBytes(dir.File("a-m.png"), Bytes{1});
            unlink(dir.File("b-m.png").c_str());
            ASSERT_EQ(link(dir.File("a-m.png").c_str(), dir.File("b-m.png").c_str()), 0);
        }
        ToolRun run = RunTool(dir.path(), args);
        EXPECT_EQ(run.exit_code, 1) << c.message;
        EXPECT_TRUE(Contains(run.err, "polarmosaic: " + std::string(c.message) + "\n")) << run.err;
        EXPECT_TRUE(Contains(run.err, "1 of 2 images written; 1 failed")) << run.err;
        Rgb png;
        EXPECT_TRUE(pmtest::DecodePng(pmtest::ReadFileBytes(dir.File(c.first_output)), &png)) << c.message;
    }
}

// -------------------------------------------------------- help and demo

TEST(ToolUsage, HelpVersionAndDemo) {
    TempDir dir;
    ToolRun run = RunTool(dir.path(), {"--help"});
    EXPECT_EQ(run.exit_code, 0);
    for (const char* part :
         {"Examples:", "Exit status", "--sectors", "--shade-outer", "default #ffffff", "--demo"}) {
        EXPECT_TRUE(Contains(run.out, part)) << part;
    }
    run = RunTool(dir.path(), {"--version"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out,
              std::string("polarmosaic ") + POLARMOSAIC_EXPECTED_VERSION + " (fitted geometry version 2)\n");

    run = RunTool(dir.path(), {"--demo"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "polarmosaic: wrote " + dir.path() + "/polarmosaic-demo.png (800 x 600 PNG)\n");
    Rgb demo;
    ASSERT_TRUE(pmtest::DecodePng(pmtest::ReadFileBytes(dir.File("polarmosaic-demo.png")), &demo));
    EXPECT_EQ(demo.width, 800);
    EXPECT_EQ(demo.height, 600);
    // The demo result is the effect applied to the demo picture.
    ASSERT_EQ(RunTool(dir.path(), {"--demo", "--no-effect", "plain.ppm"}).exit_code, 0);
    ASSERT_EQ(RunTool(dir.path(), {"plain.ppm", "again.png"}).exit_code, 0);
    EXPECT_EQ(pmtest::ReadFileBytes(dir.File("again.png")),
              pmtest::ReadFileBytes(dir.File("polarmosaic-demo.png")));
}

// --checksum prints the FNV-1a 64 of the written pixels (checked against
// the published test values in host_test) and the output's name, on
// standard output even with --quiet, and on standard error when the picture
// itself goes to standard output.
TEST(ToolUsage, ChecksumOfTheWrittenPixels) {
    TempDir dir;
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(90, 70, 4)));
    auto checksum_of = [&](const std::string& name) {
        Rgb out = ReadPnmFile(dir.File(name));
        return polarmosaic::ChecksumHex(
            polarmosaic::PixelChecksum(out.px.data(), out.width, out.height, out.width * 3));
    };
    ToolRun run = RunTool(dir.path(), {"--checksum", "-Q", "-s", "12", "in.ppm", "out.ppm"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, checksum_of("out.ppm") + "  out.ppm\n");
    run = RunTool(dir.path(), {"--checksum", "--demo", "demo.ppm"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, 27), checksum_of("demo.ppm") + "  demo.ppm\n") << run.out;
    run = RunTool(dir.path(), {"--checksum", "-f", "ppm", "in.ppm", "-"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    pmtest::WriteFileBytes(dir.File("piped.ppm"), Bytes(run.out.begin(), run.out.end()));
    EXPECT_EQ(run.err, checksum_of("piped.ppm") + "  -\n");
}

}  // namespace
