// help.cpp - the --help text: the prose around the options, and one line
// per option made from the option table (effect options with the host's
// limits and defaults).
#include <string>

#include "tool_options.h"

namespace polarmosaic {
namespace {

const char kUsage[] =
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
    "is used as three equal channels and 16-bit input is rounded to 8 bits.\n"
    "Transparency is kept in PNG, WebP and TIFF outputs of the fitted geometry\n"
    "(tiles average colour weighted by alpha); JPEG and PPM/PGM outputs and the\n"
    "classic geometry lay transparent pixels over the background colour. PGM\n"
    "output keeps the luma. The picture is turned upright as its EXIF\n"
    "orientation says; its ICC profile and EXIF data (orientation reset) go to\n"
    "JPEG, PNG and WebP outputs, the ICC profile to TIFF outputs. A profile that\n"
    "does not describe RGB (CMYK, grey) is left out, with a warning.\n";

// The prose that opens each section.
const char* SectionText(OptionGroup group) {
    switch (group) {
        case OptionGroup::kGeometry:
            return "Geometry. By default the mosaic is fitted to the picture: rings around\n"
                   "the centre out to the farthest corner, so every feature stays where it\n"
                   "was and nothing is cropped; a tile is the mean of the pixels it covers.\n"
                   "The centre (radius below one ring) is one disc; inner rings have fewer\n"
                   "sectors (a divisor of N), so that their tiles stay about square. Lines\n"
                   "and tile edges are smooth (coverage-weighted). Lengths are pixels, or\n"
                   "with % per cent of the half-diagonal, so a setting looks the same at any\n"
                   "resolution.\n";
        case OptionGroup::kClassic:
            return "The classic geometry (--classic) is the module's classic framing\n"
                   "(iPolarMosaic0): the picture is unrolled into a polar image of its own\n"
                   "size, each polar row one radius (0.8 pixel, row 0 the outermost at\n"
                   "0.8 * (height - 1)) and each polar column one angle (width - 1 columns\n"
                   "per turn); the picture is scaled by its aspect ratio and wraps at the\n"
                   "edges. -s gives a tile width of round((width - 1) / N) polar columns, or\n"
                   "the nearest within 15% that divides the width; -r a tile height of\n"
                   "round(PIXELS / 0.8) polar rows. With --classic only:\n";
        case OptionGroup::kBorders:
            return "Borders:\n";
        case OptionGroup::kInputOutput:
            return "Input and output:\n";
        case OptionGroup::kBatch:
            return "Batch:\n";
        case OptionGroup::kOther:
            return "";
        case OptionGroup::kDeprecated:
            return "Former spellings, still taken for this release (with a warning):\n";
    }
    return "";
}

const char kEnd[] =
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

constexpr size_t kHelpColumn = 25;
constexpr size_t kLineWidth = 79;

// text broken into lines of at most kLineWidth, each after kHelpColumn
// spaces but the first, which continues first_line.
std::string Wrapped(std::string first_line, std::string text) {
    // A range ("1 .. 100") and a default ("default 36") stay on one line.
    for (size_t at = text.find(" .. "); at != std::string::npos; at = text.find(" .. ", at))
        text[at] = text[at + 3] = '\1';
    for (size_t at = text.find("default "); at != std::string::npos; at = text.find("default ", at))
        text[at + 7] = '\1';
    std::string out;
    std::string line = first_line.size() + 1 < kHelpColumn
                           ? first_line + std::string(kHelpColumn - first_line.size(), ' ')
                           : first_line + "\n" + std::string(kHelpColumn, ' ');
    size_t line_start = line.rfind('\n') == std::string::npos ? 0 : line.rfind('\n') + 1;
    bool empty = true;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t space = text.find(' ', pos);
        if (space == std::string::npos) space = text.size();
        const std::string word = text.substr(pos, space - pos);
        pos = space + 1;
        if (!empty && line.size() - line_start + 1 + word.size() > kLineWidth) {
            line += "\n" + std::string(kHelpColumn, ' ');
            line_start = line.size() - kHelpColumn;
            empty = true;
        }
        line += (empty ? "" : " ") + word;
        empty = false;
    }
    out += line + "\n";
    for (char& c : out) c = c == '\1' ? ' ' : c;
    return out;
}

std::string OptionLine(const ToolOption& row) {
    std::string head =
        row.short_name != '\0' ? std::string("  -") + row.short_name + ", " : std::string("      ");
    head += std::string("--") + row.long_name;
    if (row.value_name) head += std::string(" ") + row.value_name;
    std::string text;
    if (row.replaced_by) {
        text = std::string("former spelling of --") + row.replaced_by;
    } else if (row.effect) {
        text = row.effect->help;
        const std::string limits = OptionLimitsText(*row.effect);
        if (!limits.empty()) text += " (" + limits + ")";
    } else {
        text = row.help;
        std::string limits;
        if (row.min <= row.max) limits = std::to_string(row.min) + " .. " + std::to_string(row.max);
        if (row.default_text)
            limits += std::string(limits.empty() ? "" : "; ") + "default " + row.default_text;
        if (!limits.empty()) text += " (" + limits + ")";
    }
    return Wrapped(head, text);
}

}  // namespace

std::string HelpText() {
    std::string help = kUsage;
    bool first = true;
    OptionGroup group = OptionGroup::kGeometry;
    for (const ToolOption& row : ToolOptionTable()) {
        if (first || row.group != group) {
            help += std::string("\n") + SectionText(row.group);
            group = row.group;
            first = false;
        }
        help += OptionLine(row);
    }
    return help + kEnd;
}

}  // namespace polarmosaic
