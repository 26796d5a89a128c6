// option_table.h - the effect's user-facing options in one table: names
// (the tool's long option names), kinds, limits and defaults, all taken from
// the host layer's constants. The web page reads it (as JSON) for its
// address, its controls and the tool command it shows; the page's entry
// checks settings against it.
#ifndef POLARMOSAIC_HOST_OPTION_TABLE_H
#define POLARMOSAIC_HOST_OPTION_TABLE_H

#include <string>
#include <vector>

namespace polarmosaic {

enum OptionKind {
    kOptionWhole,   // integer in [min, max]
    kOptionNumber,  // real number in [min, max]
    kOptionLength,  // "N" pixels in [min, max] or "N%" in [min_percent, max_percent]
    kOptionChoice,  // one of choices
    kOptionFlag,    // 0 or 1
    kOptionColour,  // R,G,B, each 0 .. 255
    kOptionCentre,  // X,Y, each pixels or per cent (0 .. 100)
};

// Which geometry an option belongs to.
enum OptionScope { kScopeBoth, kScopeFitted, kScopeClassic };

struct OptionEntry {
    const char* name;
    OptionKind kind;
    OptionScope scope;
    double min, max;                                // pixels for lengths
    double step;                                    // smallest change a control makes (pixels for lengths)
    double min_percent, max_percent, step_percent;  // lengths in per cent
    double typical_lo, typical_hi;                  // a slider's range (pixels, or per cent for lengths)
    std::string default_text;                       // as the tool writes it
    std::string classic_default_text;               // the classic geometry's, when it differs
    std::vector<std::string> choices;
    // For command lines and their help: a one-letter short name ('\0' for
    // none), the value's placeholder ("N", "LENGTH"; empty for flags) and
    // what the option does (limits and defaults are added from the fields
    // above when the help is written).
    char short_name;
    std::string value_name;
    std::string help;
};

// Every option, in the order the tool lists them.
const std::vector<OptionEntry>& OptionTable();
// The entry named name, or nullptr.
const OptionEntry* FindOption(const std::string& name);
// Empty when text is a value the option takes (as the tool's command line
// and the page's address give it), otherwise the reason, e.g. "'0' is not a
// whole number in 1 .. 32752". Flags take no text; colours here are R,G,B or
// #rrggbb (the tool adds CSS names before asking).
std::string OptionValueProblem(const OptionEntry& entry, const std::string& text);
// The limits and defaults for a help line: "1 .. 32752; default 36".
std::string OptionLimitsText(const OptionEntry& entry);

// The table as JSON: [{"name": ..., "kind": "whole"|"number"|..., ...}].
std::string OptionTableJson();

}  // namespace polarmosaic

#endif  // POLARMOSAIC_HOST_OPTION_TABLE_H
