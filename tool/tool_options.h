// tool_options.h - what the command line sets, and the one table of its
// options from which both the parser (parse_arguments.cpp) and --help
// (help.cpp) are made. The effect's options come from the host's option
// table (option_table.h): names, short names, limits, defaults and help.
#ifndef POLARMOSAIC_TOOL_TOOL_OPTIONS_H
#define POLARMOSAIC_TOOL_TOOL_OPTIONS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "image_io.h"
#include "mosaic_host.h"
#include "option_table.h"

namespace polarmosaic {

constexpr int kExitOk = 0;
constexpr int kExitFileFailed = 1;
constexpr int kExitUsage = 2;

struct ToolOptions {
    // The effect's settings as the user gave them (lengths unresolved).
    UserSettings effect;
    std::string fitted_only;   // a fitted geometry option that was given
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
    bool frames = false;  // INPUT and OUTPUT are streams of PPM frames
    std::string out_dir;
    bool batch = false;
    int jobs = 0;
    int threads = -1;     // -1: not given
    uint64_t memory = 0;  // 0: the default budget
    bool quiet = false;
    bool checksum = false;  // print the checksum of each output's pixels
    bool help = false;
    bool version = false;
    std::vector<std::string> positional;
};

struct UsageError {
    std::string message;
};

[[noreturn]] void Fail(const std::string& message);

// Sections of --help, in order.
enum class OptionGroup { kGeometry, kClassic, kBorders, kInputOutput, kBatch, kOther, kDeprecated };

// One command-line option. Effect options take their short name, value
// name, help, limits and defaults from their host entry.
struct ToolOption {
    OptionGroup group;
    const char* long_name;      // without the dashes
    char short_name;            // '\0': none
    const char* value_name;     // nullptr: a flag
    const char* help;           // nullptr for effect options
    const OptionEntry* effect;  // the host's entry, or nullptr
    int min, max;               // whole-number tool options (min > max: not one)
    const char* default_text;   // for the help line; nullptr: none shown
    const char* replaced_by;    // a deprecated spelling: the option it stands for
    // Sets the option; typed is the spelling on the command line (for
    // messages), value empty for flags.
    void (*apply)(const std::string& typed, const std::string& value, ToolOptions* options);
};

// Every option, in the order --help lists them.
const std::vector<ToolOption>& ToolOptionTable();

// "#rrggbb", "R,G,B" or a CSS colour name (any case); false for anything else.
bool ParseColour(const std::string& text, int rgb[3]);

// Parses the command line. Help and version are only flagged in the result.
ToolOptions ParseArguments(int argc, char** argv);

// The --help text, made from the option table.
std::string HelpText();

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_TOOL_OPTIONS_H
