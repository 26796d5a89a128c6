// main.cpp - the polarmosaic command-line tool.
#include <errno.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <utility>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "demo_image.h"
#include "file_io.h"
#include "image_io.h"
#include "memory_budget.h"
#include "metadata.h"
#include "mosaic_host.h"
#include "pixel_checksum.h"
#include "polarmosaic_version.h"

namespace polarmosaic {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFileFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kDemoName = "(built-in picture)";
constexpr const char* kDefaultDemoOutput = "polarmosaic-demo.png";

const char kHelp[] =
    "Usage: polarmosaic [options] INPUT OUTPUT\n"
    "       polarmosaic [options] -d FOLDER INPUT...\n"
    "       polarmosaic [options] -o TEMPLATE INPUT...\n"
    "       polarmosaic [options] --demo [OUTPUT]\n"
    "\n"
    "Turns a picture into a polar mosaic: ring-sector tiles around the centre,\n"
    "each filled with its average colour, with optional bevelled borders along\n"
    "the rings and spokes.\n"
    "\n"
    "INPUT is a PNG, JPEG, WebP, TIFF or binary PPM/PGM file, recognised by its\n"
    "content. OUTPUT's format comes from its extension (.png, .jpg/.jpeg, .webp,\n"
    ".tif/.tiff, .ppm, .pgm) unless --format is given. '-' reads standard input\n"
    "or writes standard output (PNG unless --format says otherwise). Grey input\n"
    "is used as three equal channels, 16-bit input is rounded to 8 bits, and\n"
    "transparent pixels are laid over the background colour. PGM output keeps\n"
    "the luma. The picture is turned upright as its EXIF orientation says; its\n"
    "ICC profile and EXIF data (orientation reset) go to JPEG, PNG and WebP\n"
    "outputs, the ICC profile to TIFF outputs. A profile that does not describe\n"
    "RGB (CMYK, grey) is left out, with a warning.\n"
    "\n"
    "Geometry. By default the mosaic is fitted to the picture: rings around\n"
    "the centre out to the farthest corner, so every feature stays where it\n"
    "was and nothing is cropped; a tile is the mean of the pixels it covers.\n"
    "The centre (radius below one ring) is one disc; inner rings have fewer\n"
    "sectors (a divisor of N), so that their tiles stay about square. Lines\n"
    "and tile edges are smooth (coverage-weighted). Lengths are pixels, or\n"
    "with % per cent of the half-diagonal, so a setting looks the same at any\n"
    "resolution.\n"
    "  -s, --sectors N        N sectors in the outer rings (default 36)\n"
    "  -r, --ring LENGTH      ring thickness (default 4%; classic 28 pixels);\n"
    "                         -s 720 -r 1 -b none is the finest grid\n"
    "      --centre X,Y       the centre, in pixels from the left and top edge\n"
    "                         or in per cent of the way across (default 50%,50%)\n"
    "      --angle DEG        direction of the first spoke, degrees counter-\n"
    "                         clockwise from 3 o'clock (default 0)\n"
    "      --hard-edges       no blending at tile and line edges (pixel art,\n"
    "                         or the look of earlier versions)\n"
    "      --classic          the module's classic framing (iPolarMosaic0): the\n"
    "                         picture is unrolled into a polar image of its own\n"
    "                         size, each polar row one radius (0.8 pixel, row 0\n"
    "                         the outermost at 0.8 * (height - 1)) and each polar\n"
    "                         column one angle (width - 1 columns per turn);\n"
    "                         the picture is scaled by its aspect ratio and\n"
    "                         wraps at the edges. -s gives a tile width of\n"
    "                         round((width - 1) / N) polar columns, or the\n"
    "                         nearest within 15% that divides the width; -r a\n"
    "                         tile height of round(PIXELS / 0.8) polar rows.\n"
    "  With --classic only:\n"
    "      --tile-width N     tile width in polar columns; overrides --sectors\n"
    "      --tile-height N    tile height in polar rows; overrides --ring\n"
    "      --cols N           number of tile columns (default 0: cover the\n"
    "                         whole image)\n"
    "      --rows N           number of tile rows (default 0: cover the image)\n"
    "      --split            split the part of an axis left over by whole tiles\n"
    "                         between a first and a last tile\n"
    "      --no-split         let the last tile take the left-over part: the\n"
    "                         innermost ring and the sector where the turn\n"
    "                         closes grow a little (default)\n"
    "\n"
    "Borders:\n"
    "  -b, --border STYLE     none, grid (rings and spokes), rings or spokes;\n"
    "                         or 1, 2, 3, 4 (default grid)\n"
    "  -w, --border-width LENGTH  line width, 0 .. 1024 pixels (default 0.6%;\n"
    "                         classic 5 pixels, drawn 2 * (N / 2) + 1 thick);\n"
    "                         0 draws no lines\n"
    "  -c, --border-color C   #rrggbb, R,G,B or a CSS colour name such as\n"
    "                         'navy' (default #303030)\n"
    "      --shade-outer F    shade factor of the outer side of each ring\n"
    "      --shade-inner F    shade factor of the inner side of each ring\n"
    "      --shade-ccw F      shade factor of the counter-clockwise side of\n"
    "                         each spoke\n"
    "      --shade-cw F       shade factor of the clockwise side of each spoke\n"
    "                         A side's band runs from the border colour at the\n"
    "                         line's centre to the colour times F at its edge;\n"
    "                         F in 0 .. 255; all four 0 give flat lines.\n"
    "                         Defaults: outer 3, inner 0.3, ccw 3, cw 0.3.\n"
    "\n"
    "Input and output:\n"
    "  -f, --format FMT       output format: png, jpg, webp, tif, ppm or pgm\n"
    "  -q, --quality N        JPEG and WebP quality 1 .. 100 (default 90)\n"
    "      --lossless         lossless WebP\n"
    "      --background C     colour under transparent pixels (default #ffffff)\n"
    "      --no-auto-orient   keep the pixels as stored, ignoring the EXIF\n"
    "                         orientation (which then goes unchanged to the output)\n"
    "      --srgb             convert pictures with an ICC profile to sRGB (the\n"
    "                         output then has no profile)\n"
    "      --no-effect        write the input unchanged (format conversion)\n"
    "      --demo             use the built-in picture as input; OUTPUT defaults\n"
    "                         to polarmosaic-demo.png\n"
    "\n"
    "Batch:\n"
    "  -d, --out-dir FOLDER   process every INPUT into FOLDER (made if missing),\n"
    "                         each output named after its input with the output\n"
    "                         format's extension\n"
    "                         (the input's own format unless --format or -o\n"
    "                         says otherwise)\n"
    "  -o, --output TEMPLATE  name of each output, %s standing for the input's\n"
    "                         name without its extension, e.g. '%s-mosaic.jpg';\n"
    "                         the extension gives the format; in FOLDER with -d,\n"
    "                         else beside each input\n"
    "  -j, --jobs N           images processed at once (default: all cores)\n"
    "  -t, --threads N        threads per image; 0 = every core (default: every\n"
    "                         core for one image, cores / jobs in a batch)\n"
    "      --memory SIZE      memory all images in progress may take together,\n"
    "                         e.g. 2G or 512M (default: half the physical memory,\n"
    "                         less under a lower ulimit -v); an image that needs\n"
    "                         more fails, the others wait their turn\n"
    "\n"
    "  -Q, --quiet            print nothing but errors\n"
    "      --checksum         print each output's pixel checksum (FNV-1a 64 of\n"
    "                         its RGB bytes, as the web page shows it) and name\n"
    "                         on standard output, even with --quiet\n"
    "  -h, --help             show this help\n"
    "  -V, --version          show the version\n"
    "\n"
    "Every output is written to a temporary file beside it and renamed into\n"
    "place only when complete; an input file is never overwritten, and an\n"
    "OUTPUT that exists but is not a regular file (a device, a FIFO) is refused.\n"
    "Interrupted, the tool removes its temporary files before it dies.\n"
    "\n"
    "Exit status: 0 when every output was written, 1 when an input or output\n"
    "file failed (the others are still processed), 2 on bad usage.\n"
    "\n"
    "Examples:\n"
    "  polarmosaic --demo                       write polarmosaic-demo.png\n"
    "  polarmosaic photo.jpg mosaic.png         default mosaic of a photo\n"
    "  polarmosaic -s 12 -r 60 -b rings photo.jpg rings.jpg\n"
    "  polarmosaic -b none --sectors 64 in.png out.ppm\n"
    "  polarmosaic --classic -s 24 photo.jpg classic.png\n"
    "  polarmosaic -c 255,255,255 --shade-outer 0.5 --shade-inner 0.5 \\\n"
    "              --shade-ccw 0.5 --shade-cw 0.5 in.png out.png\n"
    "  polarmosaic -j 2 -d mosaics/ *.jpg       batch into mosaics/\n"
    "  cat in.ppm | polarmosaic -f png - - > out.png\n";

struct ToolOptions {
    MosaicOptions mosaic;
    int sectors = kDefaultSectors;
    Length ring;  // unset (value 0): the geometry's default
    Length line_width;
    bool line_width_given = false;
    CentreSpec centre;
    std::string fitted_only;  // a fitted geometry option that was given
    int tile_width = 0;       // 0: from sectors
    int tile_height = 0;      // 0: from ring
    bool classic = false;
    std::string classic_only;  // a classic grid option that was given
    ImageFormat format = ImageFormat::kUnknown;
    EncodeSettings encode;
    bool quality_given = false;
    bool auto_orient = true;
    bool srgb = false;
    std::string name_template;
    uint8_t background[3] = {255, 255, 255};
    bool no_effect = false;
    bool demo = false;
    std::string out_dir;
    bool batch = false;
    int jobs = 0;
    int threads = -1;     // -1: not given
    uint64_t memory = 0;  // 0: the default budget
    bool quiet = false;
    bool checksum = false;  // print the checksum of each output's pixels
    std::vector<std::string> positional;
};

struct UsageError {
    std::string message;
};

[[noreturn]] void Fail(const std::string& message) { throw UsageError{message}; }

bool ParseInt(const std::string& text, long lo, long hi, int* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *value = static_cast<int>(v);
    return true;
}

bool ParseFloat(const std::string& text, double lo, double hi, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
    *value = v;
    return true;
}

// The CSS named colours (CSS Color Module Level 4), sorted by name.
struct NamedColour {
    const char* name;
    uint32_t rgb;
};
const NamedColour kCssColours[] = {
    {"aliceblue", 0xf0f8ff},
    {"antiquewhite", 0xfaebd7},
    {"aqua", 0x00ffff},
    {"aquamarine", 0x7fffd4},
    {"azure", 0xf0ffff},
    {"beige", 0xf5f5dc},
    {"bisque", 0xffe4c4},
    {"black", 0x000000},
    {"blanchedalmond", 0xffebcd},
    {"blue", 0x0000ff},
    {"blueviolet", 0x8a2be2},
    {"brown", 0xa52a2a},
    {"burlywood", 0xdeb887},
    {"cadetblue", 0x5f9ea0},
    {"chartreuse", 0x7fff00},
    {"chocolate", 0xd2691e},
    {"coral", 0xff7f50},
    {"cornflowerblue", 0x6495ed},
    {"cornsilk", 0xfff8dc},
    {"crimson", 0xdc143c},
    {"cyan", 0x00ffff},
    {"darkblue", 0x00008b},
    {"darkcyan", 0x008b8b},
    {"darkgoldenrod", 0xb8860b},
    {"darkgray", 0xa9a9a9},
    {"darkgreen", 0x006400},
    {"darkgrey", 0xa9a9a9},
    {"darkkhaki", 0xbdb76b},
    {"darkmagenta", 0x8b008b},
    {"darkolivegreen", 0x556b2f},
    {"darkorange", 0xff8c00},
    {"darkorchid", 0x9932cc},
    {"darkred", 0x8b0000},
    {"darksalmon", 0xe9967a},
    {"darkseagreen", 0x8fbc8f},
    {"darkslateblue", 0x483d8b},
    {"darkslategray", 0x2f4f4f},
    {"darkslategrey", 0x2f4f4f},
    {"darkturquoise", 0x00ced1},
    {"darkviolet", 0x9400d3},
    {"deeppink", 0xff1493},
    {"deepskyblue", 0x00bfff},
    {"dimgray", 0x696969},
    {"dimgrey", 0x696969},
    {"dodgerblue", 0x1e90ff},
    {"firebrick", 0xb22222},
    {"floralwhite", 0xfffaf0},
    {"forestgreen", 0x228b22},
    {"fuchsia", 0xff00ff},
    {"gainsboro", 0xdcdcdc},
    {"ghostwhite", 0xf8f8ff},
    {"gold", 0xffd700},
    {"goldenrod", 0xdaa520},
    {"gray", 0x808080},
    {"green", 0x008000},
    {"greenyellow", 0xadff2f},
    {"grey", 0x808080},
    {"honeydew", 0xf0fff0},
    {"hotpink", 0xff69b4},
    {"indianred", 0xcd5c5c},
    {"indigo", 0x4b0082},
    {"ivory", 0xfffff0},
    {"khaki", 0xf0e68c},
    {"lavender", 0xe6e6fa},
    {"lavenderblush", 0xfff0f5},
    {"lawngreen", 0x7cfc00},
    {"lemonchiffon", 0xfffacd},
    {"lightblue", 0xadd8e6},
    {"lightcoral", 0xf08080},
    {"lightcyan", 0xe0ffff},
    {"lightgoldenrodyellow", 0xfafad2},
    {"lightgray", 0xd3d3d3},
    {"lightgreen", 0x90ee90},
    {"lightgrey", 0xd3d3d3},
    {"lightpink", 0xffb6c1},
    {"lightsalmon", 0xffa07a},
    {"lightseagreen", 0x20b2aa},
    {"lightskyblue", 0x87cefa},
    {"lightslategray", 0x778899},
    {"lightslategrey", 0x778899},
    {"lightsteelblue", 0xb0c4de},
    {"lightyellow", 0xffffe0},
    {"lime", 0x00ff00},
    {"limegreen", 0x32cd32},
    {"linen", 0xfaf0e6},
    {"magenta", 0xff00ff},
    {"maroon", 0x800000},
    {"mediumaquamarine", 0x66cdaa},
    {"mediumblue", 0x0000cd},
    {"mediumorchid", 0xba55d3},
    {"mediumpurple", 0x9370db},
    {"mediumseagreen", 0x3cb371},
    {"mediumslateblue", 0x7b68ee},
    {"mediumspringgreen", 0x00fa9a},
    {"mediumturquoise", 0x48d1cc},
    {"mediumvioletred", 0xc71585},
    {"midnightblue", 0x191970},
    {"mintcream", 0xf5fffa},
    {"mistyrose", 0xffe4e1},
    {"moccasin", 0xffe4b5},
    {"navajowhite", 0xffdead},
    {"navy", 0x000080},
    {"oldlace", 0xfdf5e6},
    {"olive", 0x808000},
    {"olivedrab", 0x6b8e23},
    {"orange", 0xffa500},
    {"orangered", 0xff4500},
    {"orchid", 0xda70d6},
    {"palegoldenrod", 0xeee8aa},
    {"palegreen", 0x98fb98},
    {"paleturquoise", 0xafeeee},
    {"palevioletred", 0xdb7093},
    {"papayawhip", 0xffefd5},
    {"peachpuff", 0xffdab9},
    {"peru", 0xcd853f},
    {"pink", 0xffc0cb},
    {"plum", 0xdda0dd},
    {"powderblue", 0xb0e0e6},
    {"purple", 0x800080},
    {"rebeccapurple", 0x663399},
    {"red", 0xff0000},
    {"rosybrown", 0xbc8f8f},
    {"royalblue", 0x4169e1},
    {"saddlebrown", 0x8b4513},
    {"salmon", 0xfa8072},
    {"sandybrown", 0xf4a460},
    {"seagreen", 0x2e8b57},
    {"seashell", 0xfff5ee},
    {"sienna", 0xa0522d},
    {"silver", 0xc0c0c0},
    {"skyblue", 0x87ceeb},
    {"slateblue", 0x6a5acd},
    {"slategray", 0x708090},
    {"slategrey", 0x708090},
    {"snow", 0xfffafa},
    {"springgreen", 0x00ff7f},
    {"steelblue", 0x4682b4},
    {"tan", 0xd2b48c},
    {"teal", 0x008080},
    {"thistle", 0xd8bfd8},
    {"tomato", 0xff6347},
    {"turquoise", 0x40e0d0},
    {"violet", 0xee82ee},
    {"wheat", 0xf5deb3},
    {"white", 0xffffff},
    {"whitesmoke", 0xf5f5f5},
    {"yellow", 0xffff00},
    {"yellowgreen", 0x9acd32},
};

// "#rrggbb", "R,G,B" or a CSS colour name (any case).
bool ParseColour(const std::string& text, int rgb[3]) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    for (const NamedColour& colour : kCssColours) {
        if (lower == colour.name) {
            for (int c = 0; c < 3; ++c) rgb[c] = static_cast<int>((colour.rgb >> (16 - 8 * c)) & 0xff);
            return true;
        }
    }
    if (text.size() == 7 && text[0] == '#') {
        for (int c = 0; c < 3; ++c) {
            std::string hex = text.substr(1 + 2 * c, 2);
            if (!isxdigit(static_cast<unsigned char>(hex[0])) ||
                !isxdigit(static_cast<unsigned char>(hex[1]))) {
                return false;
            }
            rgb[c] = static_cast<int>(strtol(hex.c_str(), nullptr, 16));
        }
        return true;
    }
    size_t start = 0;
    for (int c = 0; c < 3; ++c) {
        size_t comma = text.find(',', start);
        bool last = c == 2;
        if (last != (comma == std::string::npos)) return false;
        std::string part = text.substr(start, last ? std::string::npos : comma - start);
        if (!ParseInt(part, 0, 255, &rgb[c])) return false;
        start = comma + 1;
    }
    return true;
}

int ParseBorderStyle(const std::string& text) {
    if (text == "none" || text == "1") return kBorderNone;
    if (text == "grid" || text == "2") return kBorderGrid;
    if (text == "rings" || text == "3") return kBorderRings;
    if (text == "spokes" || text == "4") return kBorderSpokes;
    return 0;
}

ToolOptions ParseArguments(int argc, char** argv, bool* exit_now) {
    ToolOptions options;
    // The tool's own defaults: dark lines with a light outer/ccw bevel.
    options.mosaic.splitRemainder = false;
    options.mosaic.borderMode = kBorderGrid;
    options.mosaic.borderWidth = 5;
    options.mosaic.borderColor[0] = options.mosaic.borderColor[1] = options.mosaic.borderColor[2] = 0x30;
    options.mosaic.shade[kShadeOuter] = 3.0f;
    options.mosaic.shade[kShadeInner] = 0.3f;
    options.mosaic.shade[kShadeCcw] = 3.0f;
    options.mosaic.shade[kShadeCw] = 0.3f;
    *exit_now = false;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
            options.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool has_value = false;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            has_value = true;
        } else if (arg.size() > 2 && arg[1] != '-') {
            name = arg.substr(0, 2);  // -j4
            value = arg.substr(2);
            has_value = true;
        }
        auto take = [&]() -> std::string {
            if (has_value) {
                has_value = false;
                return value;
            }
            if (i + 1 >= argc) Fail("option " + name + " needs a value");
            return argv[++i];
        };
        auto take_int = [&](long lo, long hi) {
            std::string text = take();
            int v = 0;
            if (!ParseInt(text, lo, hi, &v)) {
                Fail("option " + name + ": '" + text + "' is not a whole number in " + std::to_string(lo) +
                     " .. " + std::to_string(hi));
            }
            return v;
        };
        auto take_shade = [&]() {
            std::string text = take();
            double v = 0;
            if (!ParseFloat(text, 0, kMaxShadeFactor, &v)) {
                Fail("option " + name + ": '" + text + "' is not a number in 0 .. " +
                     std::to_string(kMaxShadeFactor));
            }
            return static_cast<float>(v);
        };
        auto take_colour = [&](int rgb[3]) {
            std::string text = take();
            if (!ParseColour(text, rgb)) {
                Fail("option " + name + ": '" + text +
                     "' is not a colour (#rrggbb, R,G,B with 0 .. 255, or a CSS "
                     "colour name)");
            }
        };
        if ((name == "-h" || name == "--help" || name == "-V" || name == "--version" || name == "-Q" ||
             name == "--quiet") &&
            has_value) {
            Fail("option " + name + " takes no value ('" + arg + "')");
        }
        if (name == "-h" || name == "--help") {
            fputs(kHelp, stdout);
            *exit_now = true;
            return options;
        } else if (name == "-V" || name == "--version") {
            printf("polarmosaic %s (fitted geometry version %d)\n", POLARMOSAIC_TOOL_VERSION,
                   POLARMOSAIC_FITTED_VERSION);
            *exit_now = true;
            return options;
        } else if (name == "-s" || name == "--sectors") {
            options.sectors = take_int(1, 32767);
        } else if (name == "-r" || name == "--ring") {
            std::string text = take();
            if (!ParseLength(text, &options.ring) || !RingLengthUsable(options.ring)) {
                Fail("option " + name + ": '" + text + "' is not " + kRingRule);
            }
        } else if (name == "--centre" || name == "--center") {
            std::string text = take();
            if (!ParseCentre(text, &options.centre)) {
                Fail("option " + name + ": '" + text + "' is not " + kCentreRule);
            }
            options.fitted_only = name;
        } else if (name == "--angle") {
            std::string text = take();
            if (!ParseAngle(text, &options.mosaic.angle)) {
                Fail("option " + name + ": '" + text + "' is not " + kAngleRule);
            }
            options.fitted_only = name;
        } else if (name == "--hard-edges") {
            options.mosaic.hardEdges = true;
            options.fitted_only = name;
        } else if (name == "--classic") {
            options.classic = true;
        } else if (name == "--tile-width") {
            options.tile_width = take_int(1, 32767);
            options.classic_only = name;
        } else if (name == "--tile-height") {
            options.tile_height = take_int(1, 32767);
            options.classic_only = name;
        } else if (name == "--cols") {
            options.mosaic.tileCols = take_int(0, 32767);
            options.classic_only = name;
        } else if (name == "--rows") {
            options.mosaic.tileRows = take_int(0, 32767);
            options.classic_only = name;
        } else if (name == "--split") {
            options.mosaic.splitRemainder = true;
            options.classic_only = name;
        } else if (name == "--no-split") {
            options.mosaic.splitRemainder = false;
            options.classic_only = name;
        } else if (name == "-b" || name == "--border") {
            std::string text = take();
            options.mosaic.borderMode = ParseBorderStyle(text);
            if (options.mosaic.borderMode == 0) {
                Fail("option " + name + ": unknown border style '" + text + "' (none, grid, rings, spokes)");
            }
        } else if (name == "-w" || name == "--border-width") {
            std::string text = take();
            if (!ParseLength(text, &options.line_width) || !LineWidthUsable(options.line_width)) {
                Fail("option " + name + ": '" + text + "' is not " + kLineWidthRule);
            }
            options.line_width_given = true;
        } else if (name == "-c" || name == "--border-color" || name == "--border-colour") {
            take_colour(options.mosaic.borderColor);
        } else if (name == "--shade-outer") {
            options.mosaic.shade[kShadeOuter] = take_shade();
        } else if (name == "--shade-inner") {
            options.mosaic.shade[kShadeInner] = take_shade();
        } else if (name == "--shade-ccw") {
            options.mosaic.shade[kShadeCcw] = take_shade();
        } else if (name == "--shade-cw") {
            options.mosaic.shade[kShadeCw] = take_shade();
        } else if (name == "-f" || name == "--format") {
            std::string text = take();
            options.format = FormatFromName(text);
            if (options.format == ImageFormat::kUnknown) {
                Fail("option " + name + ": unknown format '" + text + "' (png, jpg, webp, tif, ppm, pgm)");
            }
        } else if (name == "-q" || name == "--quality") {
            options.encode.quality = take_int(1, 100);
            options.quality_given = true;
        } else if (name == "--lossless") {
            options.encode.lossless = true;
        } else if (name == "--no-auto-orient") {
            options.auto_orient = false;
        } else if (name == "--srgb") {
            options.srgb = true;
        } else if (name == "-o" || name == "--output") {
            options.name_template = take();
            options.batch = true;
            size_t mark = options.name_template.find("%s");
            if (mark == std::string::npos ||
                options.name_template.find("%s", mark + 2) != std::string::npos ||
                options.name_template.find('/') != std::string::npos) {
                Fail("option " + name + ": '" + options.name_template +
                     "' needs one %s and no folder (use -d for the folder)");
            }
        } else if (name == "--background") {
            int rgb[3];
            take_colour(rgb);
            for (int c = 0; c < 3; ++c) {
                options.background[c] = static_cast<uint8_t>(rgb[c]);
            }
        } else if (name == "--no-effect") {
            options.no_effect = true;
        } else if (name == "--checksum") {
            options.checksum = true;
        } else if (name == "--demo") {
            options.demo = true;
        } else if (name == "-d" || name == "--out-dir") {
            options.out_dir = take();
            options.batch = true;
            if (options.out_dir.empty()) Fail("option " + name + ": empty folder");
        } else if (name == "-j" || name == "--jobs") {
            options.jobs = take_int(1, 1024);
        } else if (name == "-t" || name == "--threads") {
            options.threads = take_int(0, 1024);
        } else if (name == "--memory") {
            std::string text = take();
            if (!ParseMemorySize(text, &options.memory)) {
                Fail("option " + name + ": '" + text +
                     "' is not a memory size such as 512M or 2G (at least 1M)");
            }
        } else if (name == "-Q" || name == "--quiet") {
            options.quiet = true;
        } else {
            Fail("unknown option '" + arg + "'");
        }
        if (has_value) Fail("option " + name + " takes no value");
    }
    if (options.classic && !options.fitted_only.empty()) {
        Fail("option " + options.fitted_only + " is for the fitted geometry; leave out --classic");
    }
    if (!options.classic && !options.classic_only.empty()) {
        Fail("option " + options.classic_only +
             " sets the classic polar grid; add --classic (the fitted geometry "
             "takes -s and -r)");
    }
    return options;
}

// ------------------------------------------------------------ one image

struct Job {
    std::string input;   // path, "-" or kDemoName
    std::string output;  // path or "-"
    ImageFormat format = ImageFormat::kUnknown;
    std::string error;  // "FILE: reason" when it failed
    // "FILE: what was left out", for metadata that could not be carried.
    std::vector<std::string> warnings;
    bool ok = false;
    int width = 0;
    int height = 0;
};

// The host options for one image: lengths and the centre depend on its
// size, the classic polar terms on its width. Empty reason when usable.
MosaicOptions OptionsForImage(const ToolOptions& options, int width, int height, std::string* reason) {
    UserSettings settings;
    settings.classic = options.classic;
    settings.sectors = options.sectors;
    settings.ring = options.ring;
    settings.line_width_given = options.line_width_given;
    settings.line_width = options.line_width;
    settings.centre = options.centre;
    settings.tile_width = options.tile_width;
    settings.tile_height = options.tile_height;
    settings.mosaic = options.mosaic;
    return ResolveSettings(settings, width, height, reason);
}

// Memory one image takes, by buffer. A worker keeps its buffers for the
// next image, so it holds the largest of each part that it has needed.
struct MemoryParts {
    enum { kFile, kDecoder, kRgb, kPlanes, kPlan, kEncoded, kCount };
    uint64_t part[kCount] = {};
    uint64_t Sum() const {
        uint64_t sum = 0;
        for (uint64_t p : part) sum += p;
        return sum;
    }
    MemoryParts Max(const MemoryParts& other) const {
        MemoryParts result;
        for (int i = 0; i < kCount; ++i) {
            result.part[i] = std::max(part[i], other.part[i]);
        }
        return result;
    }
};

// Runs jobs one after another, reusing its buffers, within its share of
// the memory budget.
class Worker {
public:
    Worker(const ToolOptions& options, MemoryBudget* budget, int threads)
        : options_(options), budget_(budget), threads_(threads) {}
    ~Worker() { Drop(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void Run(Job* job) {
        try {
            RunOnce(job);
        } catch (const std::bad_alloc&) {
            Drop();
            job->error = job->input + ": out of memory";
        }
    }

private:
    // Holds enough budget for the buffers kept so far and need together;
    // false when that is not free now.
    bool TryHold(const MemoryParts& need) {
        MemoryParts target = retained_.Max(need);
        uint64_t sum = target.Sum();
        if (sum > held_ && !budget_->TryAcquire(sum - held_)) return false;
        if (sum > held_) held_ = sum;
        retained_ = target;
        return true;
    }

    // Like TryHold, but when the budget is short frees this worker's buffers
    // and waits for the whole amount while holding nothing.
    bool Hold(const MemoryParts& need, const std::string& name, std::string* error) {
        if (need.Sum() > budget_->total()) {
            *error = name + ": " + OverBudgetText(need.Sum(), budget_->total());
            return false;
        }
        if (TryHold(need)) return true;
        Drop();
        budget_->Acquire(need.Sum());
        held_ = need.Sum();
        retained_ = need;
        return true;
    }

    void Drop() {
        file_ = ByteBuffer();
        image_.rgb = ByteBuffer();
        encoded_ = ByteBuffer();
        host_ = MosaicHost();
        if (held_ > 0) budget_->Release(held_);
        held_ = 0;
        retained_ = MemoryParts();
    }

    MemoryParts ImageParts(MemoryParts need, int width, int height, uint64_t decoder_bytes) {
        uint64_t pixels = static_cast<uint64_t>(width) * height;
        need.part[MemoryParts::kDecoder] = decoder_bytes;
        need.part[MemoryParts::kRgb] = pixels * 3;
        need.part[MemoryParts::kPlanes] =
            options_.no_effect ? 0 : 6 * static_cast<uint64_t>((width + 15) & ~15) * height;
        // The fitted plan and a frame's scratch, measured for this size.
        need.part[MemoryParts::kPlan] = 0;
        if (!options_.no_effect && !options_.classic) {
            std::string ignored;  // the same reason comes again from Prepare
            MosaicOptions mosaic = OptionsForImage(options_, width, height, &ignored);
            // The rest of the budget bounds the plan's head, which measuring takes.
            const uint64_t others = need.Sum();
            const uint64_t room = budget_->total() > others ? budget_->total() - others : 0;
            if (ignored.empty())
                need.part[MemoryParts::kPlan] = host_.PlanBytes(width, height, mosaic, &ignored, room);
        }
        // Compressed output stays below the raw size but for a little framing.
        need.part[MemoryParts::kEncoded] = pixels * 3 + pixels / 32 + (1 << 20);
        return need;
    }

    void RunOnce(Job* job) {
        const std::string& name = job->input;
        std::string reason;
        MemoryParts need;
        if (options_.demo) {
            need = ImageParts(need, kDemoWidth, kDemoHeight, 0);
            if (!Hold(need, name, &job->error)) return;
            image_ = MakeDemoImage();
        } else {
            int64_t file_size = RegularFileSize(job->input);
            // What the file is decides before its size: a large file that is
            // no image is "not an image", not "needs 8 GiB".
            ByteBuffer head;
            if (file_size > 0 && ReadFileHead(job->input, 64, &head) &&
                !CheckImageHead(head.data(), head.size(), &reason)) {
                job->error = name + ": " + reason;
                return;
            }
            need.part[MemoryParts::kFile] = file_size > 0 ? file_size : 0;
            if (!Hold(need, name, &job->error)) return;
            // Set when the decoder found the image too big for what is free now:
            // then everything is freed, the whole need waited for, and the file
            // read again.
            bool retry = false;
            for (int attempt = 0; attempt < 2; ++attempt) {
                ReadOptions read;
                read.max_bytes = budget_->total();
                read.check_head = CheckImageHead;
                // A stream is counted as it is read: the memory taken for it is
                // held before the buffer grows.
                read.grow = [&](uint64_t bytes, std::string* error) {
                    MemoryParts more = need;
                    more.part[MemoryParts::kFile] = std::min(bytes, budget_->total());
                    if (TryHold(more)) {
                        need = more;
                        return true;
                    }
                    *error = "not enough of the memory budget free to read it (--memory)";
                    return false;
                };
                if (!ReadWholeFile(job->input, read, &file_, &reason)) {
                    job->error = name + ": " + reason;
                    return;
                }
                if (need.part[MemoryParts::kFile] < file_.size()) {  // standard input
                    need.part[MemoryParts::kFile] = file_.size();
                    if (!TryHold(need)) {
                        job->error = name + ": not enough of the memory budget free (--memory)";
                        return;
                    }
                }
                LoadSettings settings;
                memcpy(settings.background, options_.background, 3);
                settings.auto_orient = options_.auto_orient;
                settings.reserve = [&](int width, int height, uint64_t decoder_bytes, std::string* error) {
                    need = ImageParts(need, width, height, decoder_bytes);
                    if (need.Sum() > budget_->total()) {
                        *error = OverBudgetText(need.Sum(), budget_->total());
                        return false;
                    }
                    if (TryHold(need)) return true;
                    retry = true;
                    *error = "memory budget busy";
                    return false;
                };
                retry = false;
                if (LoadImage(file_.data(), file_.size(), settings, &image_, &reason)) {
                    for (const std::string& warning : image_.warnings)
                        job->warnings.push_back(name + ": " + warning);
                    break;
                }
                // A stream cannot be read a second time.
                if (!retry || attempt > 0 || file_size < 0) {
                    job->error = name + ": " + reason;
                    return;
                }
                Drop();
                budget_->Acquire(need.Sum());
                held_ = need.Sum();
                retained_ = need;
            }
        }
        if (options_.srgb && !ConvertToSrgb(&image_, &reason)) {
            job->error = name + ": " + reason;
            return;
        }
        if (!options_.no_effect) {
            reason.clear();
            MosaicOptions mosaic = OptionsForImage(options_, image_.width, image_.height, &reason);
            mosaic.threads = threads_;
            if (!reason.empty() || !host_.Prepare(image_.width, image_.height, mosaic, &reason)) {
                job->error = name + ": " + reason;
                return;
            }
            ptrdiff_t stride = static_cast<ptrdiff_t>(image_.width) * 3;
            host_.Apply(image_.rgb.data(), stride, image_.rgb.data(), stride);
        }
        encoded_.reserve(need.part[MemoryParts::kEncoded]);
        std::vector<std::string> left_out;
        if (!EncodeImage(image_, job->format, options_.encode, &encoded_, &reason, &left_out) ||
            !WriteFileAtomically(job->output, encoded_.data(), encoded_.size(), &reason)) {
            job->error = job->output + ": " + reason;
            return;
        }
        for (const std::string& warning : left_out) job->warnings.push_back(job->output + ": " + warning);
        if (options_.checksum) {
            // The pixels as computed, before encoding; "-" keeps stdout for them.
            std::string hex = ChecksumHex(PixelChecksum(image_.rgb.data(), image_.width, image_.height,
                                                        static_cast<ptrdiff_t>(image_.width) * 3));
            fprintf(job->output == "-" ? stderr : stdout, "%s  %s\n", hex.c_str(), job->output.c_str());
        }
        job->ok = true;
        job->width = image_.width;
        job->height = image_.height;
    }

    const ToolOptions& options_;
    MemoryBudget* budget_;
    int threads_;
    ByteBuffer file_;
    Image image_;
    MosaicHost host_;
    ByteBuffer encoded_;
    MemoryParts retained_;
    uint64_t held_ = 0;
};

int CoreCount() {
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

// ------------------------------------------------------------ batch

// The output of input in a batch: in folder (empty: beside the input),
// named by the template or after the input with format's extension.
std::string BatchOutputName(const std::string& folder, const std::string& name_template,
                            const std::string& input, ImageFormat format) {
    size_t slash = input.find_last_of('/');
    std::string base = slash == std::string::npos ? input : input.substr(slash + 1);
    size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot > 0) base = base.substr(0, dot);
    std::string path = folder.empty() ? (slash == std::string::npos ? "" : input.substr(0, slash + 1))
                                      : folder + (folder.back() == '/' ? "" : "/");
    if (name_template.empty()) return path + base + FormatExtension(format);
    std::string name = name_template;
    name.replace(name.find("%s"), 2, base);
    return path + name;
}

// The format of a file from its first bytes; unknown when unreadable.
ImageFormat SniffFile(const std::string& path) {
    ByteBuffer head;
    if (!ReadFileHead(path, 64, &head)) return ImageFormat::kUnknown;
    return SniffFormat(head.data(), head.size());
}

void WarnUnusedQuality(const ToolOptions& options, ImageFormat format) {
    if (options.quality_given && !FormatUsesQuality(format, options.encode)) {
        fprintf(stderr, "polarmosaic: warning: -q has no effect on %s%s output\n",
                options.encode.lossless && format == ImageFormat::kWebp ? "lossless " : "",
                FormatName(format));
    }
}

class Progress {
public:
    Progress(size_t total, bool shown) : total_(total), shown_(shown) {}

    void Report(const Job& job) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++done_;
        for (const std::string& warning : job.warnings) {
            if (shown_) fputs("\r\033[K", stderr);
            fprintf(stderr, "polarmosaic: warning: %s\n", warning.c_str());
        }
        if (!job.ok) {
            if (shown_) fputs("\r\033[K", stderr);
            fprintf(stderr, "polarmosaic: %s\n", job.error.c_str());
        }
        Draw();
    }

    void Finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shown_) fputs("\r\033[K", stderr);
    }

private:
    void Draw() {
        if (!shown_) return;
        constexpr int kBarWidth = 30;
        int filled = static_cast<int>(done_ * kBarWidth / total_);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kBarWidth - filled), '.');
        fprintf(stderr, "\r[%s] %zu/%zu", bar.c_str(), done_, total_);
        fflush(stderr);
    }

    std::mutex mutex_;
    size_t total_;
    size_t done_ = 0;
    bool shown_;
};

int RunBatch(const ToolOptions& options, MemoryBudget* budget) {
    if (options.positional.empty()) Fail("no INPUT files given for -d or -o");
    ImageFormat template_format = ImageFormat::kUnknown;
    if (!options.name_template.empty() && options.format == ImageFormat::kUnknown) {
        template_format = FormatFromExtension(options.name_template);
        if (template_format == ImageFormat::kUnknown) {
            Fail(options.name_template +
                 ": unknown output format (use .png, .jpg, "
                 ".webp, .tif, .ppm, .pgm or --format)");
        }
    }
    std::string folder_error;
    if (!options.out_dir.empty() && !MakeFolders(options.out_dir, &folder_error)) {
        fprintf(stderr, "polarmosaic: %s: %s\n", options.out_dir.c_str(), folder_error.c_str());
        return kExitFileFailed;
    }
    std::vector<Job> jobs(options.positional.size());
    std::vector<bool> warned(8, false);
    std::vector<bool> pending(jobs.size(), true);
    // Two outputs are the same file when their paths are (folders resolved:
    // "x-m.png" and "./x-m.png", "sub/../x.png" and "x.png"), or, for files
    // that exist, when their device and inode are (hard links).
    std::map<std::string, size_t> output_owner;
    std::map<std::pair<uint64_t, uint64_t>, size_t> existing_owner;
    for (size_t i = 0; i < jobs.size(); ++i) {
        Job& job = jobs[i];
        job.input = options.positional[i];
        if (job.input == "-") Fail("standard input cannot be part of a batch");
        // -f, then the template's extension, then the input's own format.
        job.format = options.format != ImageFormat::kUnknown ? options.format : template_format;
        if (job.format == ImageFormat::kUnknown) job.format = SniffFile(job.input);
        if (job.format == ImageFormat::kUnknown) job.format = ImageFormat::kPng;
        if (!warned[static_cast<int>(job.format)]) {
            warned[static_cast<int>(job.format)] = true;
            WarnUnusedQuality(options, job.format);
        }
        job.output = BatchOutputName(options.out_dir, options.name_template, job.input, job.format);
        std::string canonical = CanonicalOutputPath(job.output);
        auto owner = output_owner.find(canonical);
        size_t other = owner != output_owner.end() ? owner->second : jobs.size();
        std::pair<uint64_t, uint64_t> identity;
        bool exists = FileIdentity(job.output, &identity.first, &identity.second);
        if (other == jobs.size() && exists) {
            auto same = existing_owner.find(identity);
            if (same != existing_owner.end()) other = same->second;
        }
        if (other != jobs.size()) {
            job.error = job.input + ": output " + job.output + " would also be written from " +
                        jobs[other].input +
                        (jobs[other].output == job.output ? "" : " (as " + jobs[other].output + ")");
            pending[i] = false;
            continue;
        }
        output_owner[canonical] = i;
        if (exists) existing_owner[identity] = i;
        std::string refusal = CheckOutputPath(job.output);
        if (!refusal.empty()) {
            job.error = job.output + ": " + refusal;
            pending[i] = false;
        }
    }
    // No output may replace an input of the same run.
    for (size_t i = 0; i < jobs.size(); ++i) {
        for (const std::string& input : options.positional) {
            if (pending[i] && IsSameFile(jobs[i].output, input)) {
                jobs[i].error = jobs[i].output + ": refusing to overwrite input file " + input;
                pending[i] = false;
            }
        }
    }

    Progress progress(jobs.size(), !options.quiet && isatty(STDERR_FILENO));
    for (size_t i = 0; i < jobs.size(); ++i) {
        if (!pending[i]) progress.Report(jobs[i]);
    }
    size_t workers = options.jobs > 0 ? static_cast<size_t>(options.jobs) : static_cast<size_t>(CoreCount());
    if (workers > jobs.size()) workers = jobs.size();
    // The cores are shared between the pictures in progress.
    int threads =
        options.threads >= 0 ? options.threads : std::max(1, CoreCount() / static_cast<int>(workers));
    std::atomic<size_t> next{0};
    auto work = [&]() {
        Worker worker(options, budget, threads);
        for (;;) {
            size_t i = next.fetch_add(1);
            if (i >= jobs.size()) return;
            if (!pending[i]) continue;
            worker.Run(&jobs[i]);
            progress.Report(jobs[i]);
        }
    };
    std::vector<std::thread> others;
    for (size_t t = 1; t < workers; ++t) others.emplace_back(work);
    work();
    for (std::thread& thread : others) thread.join();
    progress.Finish();

    size_t written = 0;
    for (const Job& job : jobs) written += job.ok ? 1 : 0;
    size_t failed = jobs.size() - written;
    if (!options.quiet || failed > 0) {
        fprintf(stderr, "polarmosaic: %zu of %zu images written%s%s", written, jobs.size(),
                options.out_dir.empty() ? "" : " to ", options.out_dir.c_str());
        if (failed > 0) fprintf(stderr, "; %zu failed", failed);
        fputc('\n', stderr);
    }
    return failed == 0 ? kExitOk : kExitFileFailed;
}

int RunSingle(const ToolOptions& options, MemoryBudget* budget) {
    Job job;
    size_t wanted = options.demo ? 1 : 2;
    if (options.positional.size() > wanted || options.positional.size() + (options.demo ? 1 : 0) < wanted) {
        Fail(options.demo ? "--demo takes at most one OUTPUT"
                          : "expected INPUT and OUTPUT (or -d FOLDER for a batch)");
    }
    if (options.demo) {
        job.input = kDemoName;
        job.output = options.positional.empty() ? kDefaultDemoOutput : options.positional[0];
    } else {
        job.input = options.positional[0];
        job.output = options.positional[1];
    }
    job.format = options.format;
    if (job.format == ImageFormat::kUnknown) {
        job.format = job.output == "-" ? ImageFormat::kPng : FormatFromExtension(job.output);
    }
    if (job.format == ImageFormat::kUnknown) {
        Fail(job.output +
             ": unknown output format (use .png, .jpg, .webp, .tif, "
             ".ppm, .pgm or --format)");
    }
    WarnUnusedQuality(options, job.format);
    if (!options.demo && job.output != "-" && IsSameFile(job.input, job.output)) {
        fprintf(stderr, "polarmosaic: %s: refusing to overwrite the input file%s\n", job.output.c_str(),
                job.input == "-" ? " (standard input)" : "");
        return kExitFileFailed;
    }
    std::string refusal = CheckOutputPath(job.output);
    if (!refusal.empty()) {
        fprintf(stderr, "polarmosaic: %s: %s\n", job.output.c_str(), refusal.c_str());
        return kExitFileFailed;
    }
    {
        Worker worker(options, budget, options.threads >= 0 ? options.threads : 0);
        worker.Run(&job);
    }
    for (const std::string& warning : job.warnings)
        fprintf(stderr, "polarmosaic: warning: %s\n", warning.c_str());
    if (!job.ok) {
        fprintf(stderr, "polarmosaic: %s\n", job.error.c_str());
        return kExitFileFailed;
    }
    if (!options.quiet && job.output != "-") {
        // The full path, so a run from anywhere says where the picture is.
        char* full = realpath(job.output.c_str(), nullptr);
        printf("polarmosaic: wrote %s (%d x %d %s)\n", full ? full : job.output.c_str(), job.width,
               job.height, FormatName(job.format));
        free(full);
    }
    return kExitOk;
}

int Main(int argc, char** argv) {
    try {
        bool exit_now = false;
        ToolOptions options = ParseArguments(argc, argv, &exit_now);
        if (exit_now) return kExitOk;
        if (options.demo && options.batch) Fail("--demo cannot be used with -d");
        InstallCleanupOnSignal();
#if defined(__GLIBC__)
        // Image buffers are mapped and unmapped on their own, so that what a
        // finished picture freed goes back to the system at once instead of
        // staying in a worker thread's heap, where the memory budget cannot see it.
        mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
        MemoryBudget budget(options.memory ? options.memory : DefaultMemoryBudget());
        return options.batch ? RunBatch(options, &budget) : RunSingle(options, &budget);
    } catch (const UsageError& error) {
        fprintf(stderr, "polarmosaic: %s (see polarmosaic --help)\n", error.message.c_str());
        return kExitUsage;
    } catch (const std::bad_alloc&) {
        fputs("polarmosaic: out of memory\n", stderr);
        return kExitFileFailed;
    }
}

}  // namespace
}  // namespace polarmosaic

int main(int argc, char** argv) { return polarmosaic::Main(argc, argv); }
