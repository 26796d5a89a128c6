// parse_arguments.cpp - the command line, parsed by CLI11 from the option
// table. Messages name each option as it was typed (-s or --sectors).
#include <stdio.h>

#include <CLI/CLI.hpp>
#include <map>
#include <string>
#include <vector>

#include "tool_options.h"

namespace polarmosaic {
namespace {

std::string Dashed(const ToolOption& row) { return std::string("--") + row.long_name; }

// The row a command-line word names ("-s", "-s12", "--sectors=12"), or
// nullptr; *name gets the option part and *attached whether a value follows
// in the same word.
const ToolOption* RowOf(const std::string& word, std::string* name, bool* attached) {
    *attached = false;
    if (word.size() < 2 || word[0] != '-' || word == "--") return nullptr;
    if (word[1] == '-') {
        const size_t equals = word.find('=');
        *name = word.substr(0, equals);
        *attached = equals != std::string::npos;
        for (const ToolOption& row : ToolOptionTable()) {
            if (*name == Dashed(row)) return &row;
        }
        return nullptr;
    }
    *name = word.substr(0, 2);
    *attached = word.size() > 2;
    for (const ToolOption& row : ToolOptionTable()) {
        if (row.short_name != '\0' && word[1] == row.short_name) return &row;
    }
    return nullptr;
}

// The words before "--" (after it everything is an operand).
std::vector<std::string> OptionWords(int argc, char** argv) {
    std::vector<std::string> words;
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) words.push_back(argv[i]);
    return words;
}

// The old grammar's refusals that CLI11 would read otherwise: a flag with a
// value (--split=yes, -hfoo; CLI11 takes the first as a setting and the
// second as -h -f oo).
void RefuseFlagValues(const std::vector<std::string>& words) {
    for (size_t i = 0; i < words.size(); ++i) {
        std::string name;
        bool attached = false;
        const ToolOption* row = RowOf(words[i], &name, &attached);
        if (row && attached && row->value_name == nullptr) {
            Fail("option " + name + " takes no value ('" + words[i] + "')");
        }
        if (row && row->value_name && !attached) ++i;  // its value
    }
}

// How each occurrence of each option was typed, in order.
std::map<const ToolOption*, std::vector<std::string>> TypedNames(const std::vector<std::string>& words) {
    std::map<const ToolOption*, std::vector<std::string>> typed;
    for (size_t i = 0; i < words.size(); ++i) {
        std::string name;
        bool attached = false;
        const ToolOption* row = RowOf(words[i], &name, &attached);
        if (!row) continue;
        typed[row].push_back(name);
        if (row->value_name && !attached) ++i;
    }
    return typed;
}

std::string CliNames(const ToolOption& row) {
    std::string names = Dashed(row);
    if (row.short_name != '\0') names = std::string("-") + row.short_name + "," + names;
    return names;
}

}  // namespace

ToolOptions ParseArguments(int argc, char** argv) {
    const std::vector<std::string> words = OptionWords(argc, argv);
    RefuseFlagValues(words);
    ToolOptions options;
    CLI::App app("polarmosaic");
    app.set_help_flag();  // the table's -h, and the help text its own
    app.allow_extras();
    std::map<CLI::Option*, const ToolOption*> rows;
    for (const ToolOption& row : ToolOptionTable()) {
        CLI::Option* option = row.value_name ? app.add_option(CliNames(row)) : app.add_flag(CliNames(row));
        if (row.value_name) option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)->expected(1);
        rows[option] = &row;
    }
    app.add_option("operands", options.positional);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch& error) {
        // A value option at the end, or followed by another option.
        const std::string what = error.what();
        for (const auto& entry : rows) {
            if (what.compare(0, entry.first->get_name().size() + 1, entry.first->get_name() + ":") == 0) {
                const std::vector<std::string> typed = TypedNames(words)[entry.second];
                Fail("option " + (typed.empty() ? Dashed(*entry.second) : typed.back()) + " needs a value");
            }
        }
        Fail(what);
    } catch (const CLI::ParseError& error) {
        Fail(error.what());
    }
    for (const std::string& extra : app.remaining()) {
        if (extra.size() > 1 && extra[0] == '-') Fail("unknown option '" + extra + "'");
        options.positional.push_back(extra);
    }
    // In the order given, so that the last of two settings wins.
    const std::map<const ToolOption*, std::vector<std::string>> typed = TypedNames(words);
    std::map<const ToolOption*, size_t> seen;
    for (CLI::Option* option : app.parse_order()) {
        auto row = rows.find(option);
        if (row == rows.end()) continue;
        const ToolOption& r = *row->second;
        const size_t index = seen[&r]++;
        auto spelled = typed.find(&r);
        const std::string name =
            spelled != typed.end() && index < spelled->second.size() ? spelled->second[index] : Dashed(r);
        const std::string value =
            r.value_name && index < option->results().size() ? option->results()[index] : "";
        if (r.replaced_by) {
            fprintf(stderr, "polarmosaic: warning: %s is deprecated; use --%s\n", name.c_str(),
                    r.replaced_by);
        }
        r.apply(name, value, &options);
    }
    if (options.help || options.version) return options;
    if (options.effect.classic && !options.fitted_only.empty()) {
        Fail("option " + options.fitted_only + " is for the fitted geometry; leave out --classic");
    }
    if (!options.effect.classic && !options.classic_only.empty()) {
        Fail("option " + options.classic_only +
             " sets the classic polar grid; add --classic (the fitted geometry takes -s and -r)");
    }
    return options;
}

}  // namespace polarmosaic
