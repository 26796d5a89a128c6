// option_rows.cpp - the tool's option table: each option once, with what it
// sets. Effect options are the host's entries; the rest are the tool's own.
#include <errno.h>
#include <stdlib.h>

#include <string>

#include "css_colours.h"
#include "memory_budget.h"
#include "tool_options.h"

namespace polarmosaic {

void Fail(const std::string& message) { throw UsageError{message}; }

namespace {

// The host's verdict on an effect option's value, as the tool's message.
void CheckEffect(const std::string& typed, const char* name, const std::string& text) {
    const std::string problem = OptionValueProblem(*FindOption(name), text);
    if (!problem.empty()) Fail("option " + typed + ": " + problem);
}

int WholeNumber(const std::string& typed, const std::string& text, long lo, long hi) {
    errno = 0;
    char* end = nullptr;
    const long v = text.empty() ? 0 : strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || v < lo || v > hi) {
        Fail("option " + typed + ": '" + text + "' is not a whole number in " + std::to_string(lo) + " .. " +
             std::to_string(hi));
    }
    return static_cast<int>(v);
}

// The whole-number limits of a tool option, from its row.
int ToolWhole(const char* name, const std::string& typed, const std::string& text) {
    for (const ToolOption& row : ToolOptionTable()) {
        if (std::string(row.long_name) == name) return WholeNumber(typed, text, row.min, row.max);
    }
    return 0;
}

void FittedOnly(const std::string& typed, ToolOptions* o) { o->fitted_only = typed; }
void ClassicOnly(const std::string& typed, ToolOptions* o) { o->classic_only = typed; }

void Colour(const std::string& typed, const std::string& text, int rgb[3]) {
    // What ParseColour refuses the host refuses too, with the reason.
    if (!ParseColour(text, rgb)) CheckEffect(typed, "border-colour", text);
}

// ---------------------------------------------------------------- effect

void Geometry(const std::string& typed, const std::string& v, ToolOptions* o) {
    CheckEffect(typed, "geometry", v);
    o->effect.classic = v == "classic";
}
void Sectors(const std::string& typed, const std::string& v, ToolOptions* o) {
    CheckEffect(typed, "sectors", v);
    o->effect.sectors = atoi(v.c_str());
}
void Ring(const std::string& typed, const std::string& v, ToolOptions* o) {
    CheckEffect(typed, "ring", v);
    ParseLength(v, &o->effect.ring);
}
void Border(const std::string& typed, const std::string& v, ToolOptions* o) {
    // The module's mode numbers are taken too (1 none .. 4 spokes).
    static const char* const kByNumber[] = {"none", "grid", "rings", "spokes"};
    std::string name = v.size() == 1 && v[0] >= '1' && v[0] <= '4' ? kByNumber[v[0] - '1'] : v;
    CheckEffect(typed, "border", name);
    for (int i = 0; i < 4; ++i) {
        if (name == kByNumber[i]) o->effect.mosaic.borderMode = kBorderNone + i;
    }
}
void BorderWidth(const std::string& typed, const std::string& v, ToolOptions* o) {
    CheckEffect(typed, "border-width", v);
    ParseLength(v, &o->effect.line_width);
    o->effect.line_width_given = true;
}
void BorderColour(const std::string& typed, const std::string& v, ToolOptions* o) {
    Colour(typed, v, o->effect.mosaic.borderColor);
}
template <int kSide>
void Shade(const std::string& typed, const std::string& v, ToolOptions* o) {
    static const char* const kNames[4] = {"shade-outer", "shade-inner", "shade-ccw", "shade-cw"};
    CheckEffect(typed, kNames[kSide], v);
    o->effect.mosaic.shade[kSide] = static_cast<float>(strtod(v.c_str(), nullptr));
}
void Centre(const std::string& typed, const std::string& v, ToolOptions* o) {
    CheckEffect(typed, "centre", v);
    ParseCentre(v, &o->effect.centre);
    FittedOnly(typed, o);
}
void Angle(const std::string& typed, const std::string& v, ToolOptions* o) {
    CheckEffect(typed, "angle", v);
    ParseAngle(v, &o->effect.mosaic.angle);
    FittedOnly(typed, o);
}
void HardEdges(const std::string& typed, const std::string&, ToolOptions* o) {
    o->effect.mosaic.hardEdges = true;
    FittedOnly(typed, o);
}
void Split(const std::string& typed, const std::string&, ToolOptions* o) {
    o->effect.mosaic.splitRemainder = true;
    ClassicOnly(typed, o);
}

// ------------------------------------------------------------ tool's own

void Classic(const std::string&, const std::string&, ToolOptions* o) { o->effect.classic = true; }
void NoSplit(const std::string& typed, const std::string&, ToolOptions* o) {
    o->effect.mosaic.splitRemainder = false;
    ClassicOnly(typed, o);
}
void TileWidth(const std::string& typed, const std::string& v, ToolOptions* o) {
    o->effect.tile_width = ToolWhole("tile-width", typed, v);
    ClassicOnly(typed, o);
}
void TileHeight(const std::string& typed, const std::string& v, ToolOptions* o) {
    o->effect.tile_height = ToolWhole("tile-height", typed, v);
    ClassicOnly(typed, o);
}
void Cols(const std::string& typed, const std::string& v, ToolOptions* o) {
    o->effect.mosaic.tileCols = ToolWhole("cols", typed, v);
    ClassicOnly(typed, o);
}
void Rows(const std::string& typed, const std::string& v, ToolOptions* o) {
    o->effect.mosaic.tileRows = ToolWhole("rows", typed, v);
    ClassicOnly(typed, o);
}
void Format(const std::string& typed, const std::string& v, ToolOptions* o) {
    o->format = FormatFromName(v);
    if (o->format == ImageFormat::kUnknown) {
        Fail("option " + typed + ": unknown format '" + v + "' (png, jpg, webp, tif, gif, ppm, pgm)");
    }
}
void Quality(const std::string& typed, const std::string& v, ToolOptions* o) {
    o->encode.quality = ToolWhole("quality", typed, v);
    o->quality_given = true;
}
void Lossless(const std::string&, const std::string&, ToolOptions* o) { o->encode.lossless = true; }
void Background(const std::string& typed, const std::string& v, ToolOptions* o) {
    int rgb[3];
    Colour(typed, v, rgb);
    for (int c = 0; c < 3; ++c) o->background[c] = static_cast<uint8_t>(rgb[c]);
}
void NoAutoOrient(const std::string&, const std::string&, ToolOptions* o) { o->auto_orient = false; }
void Srgb(const std::string&, const std::string&, ToolOptions* o) { o->srgb = true; }
void NoEffect(const std::string&, const std::string&, ToolOptions* o) { o->no_effect = true; }
void Demo(const std::string&, const std::string&, ToolOptions* o) { o->demo = true; }
void Frames(const std::string&, const std::string&, ToolOptions* o) { o->frames = true; }
void OutDir(const std::string& typed, const std::string& v, ToolOptions* o) {
    if (v.empty()) Fail("option " + typed + ": empty folder");
    o->out_dir = v;
    o->batch = true;
}
void Output(const std::string& typed, const std::string& v, ToolOptions* o) {
    const size_t mark = v.find("%s");
    if (mark == std::string::npos || v.find("%s", mark + 2) != std::string::npos ||
        v.find('/') != std::string::npos) {
        Fail("option " + typed + ": '" + v + "' needs one %s and no folder (use -d for the folder)");
    }
    o->name_template = v;
    o->batch = true;
}
void Jobs(const std::string& typed, const std::string& v, ToolOptions* o) {
    o->jobs = ToolWhole("jobs", typed, v);
}
void Threads(const std::string& typed, const std::string& v, ToolOptions* o) {
    o->threads = ToolWhole("threads", typed, v);
}
void Memory(const std::string& typed, const std::string& v, ToolOptions* o) {
    if (!ParseMemorySize(v, &o->memory)) {
        Fail("option " + typed + ": '" + v + "' is not a memory size such as 512M or 2G (at least 1M)");
    }
}
void Quiet(const std::string&, const std::string&, ToolOptions* o) { o->quiet = true; }
void Checksum(const std::string&, const std::string&, ToolOptions* o) { o->checksum = true; }
void Help(const std::string&, const std::string&, ToolOptions* o) { o->help = true; }
void Version(const std::string&, const std::string&, ToolOptions* o) { o->version = true; }

constexpr int kNoLimits = 1, kNoMax = 0;  // min > max: not a whole number

std::vector<ToolOption> MakeRows() {
    using G = OptionGroup;
    const int tile_max = kMaxTileSize;
    auto effect = [](G group, const char* name,
                     void (*apply)(const std::string&, const std::string&, ToolOptions*)) {
        const OptionEntry* entry = FindOption(name);
        const bool flag = entry->kind == kOptionFlag;
        return ToolOption{group,
                          entry->name,
                          entry->short_name,
                          flag ? nullptr : entry->value_name.c_str(),
                          nullptr,
                          entry,
                          kNoLimits,
                          kNoMax,
                          nullptr,
                          nullptr,
                          apply};
    };
    auto tool = [](G group, const char* name, char short_name, const char* value_name, const char* help,
                   void (*apply)(const std::string&, const std::string&, ToolOptions*), int min = kNoLimits,
                   int max = kNoMax, const char* default_text = nullptr) {
        return ToolOption{group, name, short_name,   value_name, help, nullptr,
                          min,   max,  default_text, nullptr,    apply};
    };
    auto alias = [](const char* name, const char* replaced_by, const char* value_name,
                    void (*apply)(const std::string&, const std::string&, ToolOptions*)) {
        return ToolOption{G::kDeprecated, name,   '\0',    value_name,  nullptr, nullptr,
                          kNoLimits,      kNoMax, nullptr, replaced_by, apply};
    };
    return {
        effect(G::kGeometry, "sectors", Sectors),
        effect(G::kGeometry, "ring", Ring),
        effect(G::kGeometry, "centre", Centre),
        effect(G::kGeometry, "angle", Angle),
        effect(G::kGeometry, "hard-edges", HardEdges),
        effect(G::kGeometry, "geometry", Geometry),
        tool(G::kGeometry, "classic", '\0', nullptr, "the same as --geometry classic (see below)", Classic),
        tool(G::kClassic, "tile-width", '\0', "N", "tile width in polar columns; overrides --sectors",
             TileWidth, 1, tile_max),
        tool(G::kClassic, "tile-height", '\0', "N", "tile height in polar rows; overrides --ring", TileHeight,
             1, tile_max),
        tool(G::kClassic, "cols", '\0', "N", "number of tile columns; 0 covers the whole image", Cols, 0,
             tile_max, "0"),
        tool(G::kClassic, "rows", '\0', "N", "number of tile rows; 0 covers the whole image", Rows, 0,
             tile_max, "0"),
        effect(G::kClassic, "split", Split),
        tool(G::kClassic, "no-split", '\0', nullptr,
             "let the last tile take the left-over part: the innermost ring and the sector where the turn "
             "closes grow a little (default)",
             NoSplit),
        effect(G::kBorders, "border", Border),
        effect(G::kBorders, "border-width", BorderWidth),
        effect(G::kBorders, "border-colour", BorderColour),
        effect(G::kBorders, "shade-outer", Shade<kShadeOuter>),
        effect(G::kBorders, "shade-inner", Shade<kShadeInner>),
        effect(G::kBorders, "shade-ccw", Shade<kShadeCcw>),
        effect(G::kBorders, "shade-cw", Shade<kShadeCw>),
        tool(G::kInputOutput, "format", 'f', "FMT", "output format: png, jpg, webp, tif, gif, ppm or pgm",
             Format),
        tool(G::kInputOutput, "quality", 'q', "N", "JPEG and WebP quality", Quality, 1, 100, "90"),
        tool(G::kInputOutput, "lossless", '\0', nullptr, "lossless WebP", Lossless),
        tool(G::kInputOutput, "background", '\0', "C",
             "colour under transparent pixels where the output keeps no alpha", Background, kNoLimits, kNoMax,
             "#ffffff"),
        tool(G::kInputOutput, "no-auto-orient", '\0', nullptr,
             "keep the pixels as stored, ignoring the EXIF orientation (which then goes unchanged to the "
             "output)",
             NoAutoOrient),
        tool(G::kInputOutput, "srgb", '\0', nullptr,
             "convert pictures with an ICC profile to sRGB (the output then has no profile)", Srgb),
        tool(G::kInputOutput, "no-effect", '\0', nullptr, "write the input unchanged (format conversion)",
             NoEffect),
        tool(G::kInputOutput, "demo", '\0', nullptr,
             "use the built-in picture as input; OUTPUT defaults to polarmosaic-demo.png", Demo),
        tool(G::kInputOutput, "frames", '\0', nullptr,
             "video through a pipe: INPUT and OUTPUT are streams of binary PPM frames, as ffmpeg's "
             "-f image2pipe -vcodec ppm writes and reads them ('-': standard input or output); one plan per "
             "frame size",
             Frames),
        tool(G::kBatch, "out-dir", 'd', "FOLDER",
             "process every INPUT into FOLDER (made if missing), each output named after its input with the "
             "output format's extension (the input's own format unless --format or -o says otherwise)",
             OutDir),
        tool(G::kBatch, "output", 'o', "TEMPLATE",
             "name of each output, %s standing for the input's name without its last extension, e.g. "
             "'%s-mosaic.jpg'; the extension gives the format; in FOLDER with -d, else beside each input",
             Output),
        tool(G::kBatch, "jobs", 'j', "N", "images processed at once", Jobs, 1, kMaxThreads, "all cores"),
        tool(G::kBatch, "threads", 't', "N", "threads per image; 0 = every core", Threads, 0, kMaxThreads,
             "every core for one image, cores / jobs in a batch"),
        tool(G::kBatch, "memory", '\0', "SIZE",
             "memory all images in progress may take together, e.g. 2G or 512M (default: half the physical "
             "memory, less under a lower ulimit -v); an image that needs more fails, the others wait their "
             "turn",
             Memory),
        tool(G::kOther, "quiet", 'Q', nullptr, "print nothing but errors", Quiet),
        tool(G::kOther, "checksum", '\0', nullptr,
             "print each output's pixel checksum (FNV-1a 64 of its RGB bytes, as the web page shows it) and "
             "name on standard output, even with --quiet",
             Checksum),
        tool(G::kOther, "help", 'h', nullptr, "show this help", Help),
        tool(G::kOther, "version", 'V', nullptr, "show the version", Version),
        alias("center", "centre", "X,Y", Centre),
        alias("border-color", "border-colour", "C", BorderColour),
    };
}

}  // namespace

const std::vector<ToolOption>& ToolOptionTable() {
    static const std::vector<ToolOption> table = MakeRows();
    return table;
}

bool ParseColour(const std::string& text, int rgb[3]) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    uint32_t named = 0;
    if (FindCssColour(lower, &named)) {
        for (int c = 0; c < 3; ++c) rgb[c] = static_cast<int>((named >> (16 - 8 * c)) & 0xff);
        return true;
    }
    if (!OptionValueProblem(*FindOption("border-colour"), text).empty()) return false;
    if (text[0] == '#') {
        for (int c = 0; c < 3; ++c)
            rgb[c] = static_cast<int>(strtol(text.substr(1 + 2 * c, 2).c_str(), nullptr, 16));
        return true;
    }
    size_t start = 0;
    for (int c = 0; c < 3; ++c) {
        rgb[c] = atoi(text.c_str() + start);
        start = text.find(',', start) + 1;
    }
    return true;
}

}  // namespace polarmosaic
