// The tool's command line against the host's option table: every effect
// option taken with the table's default and limits, refused beyond them with
// the host's message, and listed in --help with them; former spellings;
// output names in a batch.
#include <stdio.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "option_table.h"
#include "tool_test_support.h"

namespace {

using pmtest::Contains;
using pmtest::RunTool;
using pmtest::TempDir;
using pmtest::ToolRun;
using polarmosaic::OptionEntry;

std::string Text(double value) {
    char text[32];
    snprintf(text, sizeof(text), "%.10g", value);
    return text;
}

// The arguments that run option name with value on in.ppm; classic options
// get --classic.
std::vector<std::string> Args(const OptionEntry& entry, const std::string& value) {
    std::vector<std::string> args;
    if (entry.scope == polarmosaic::kScopeClassic) args.push_back("--classic");
    args.push_back(std::string("--") + entry.name);
    if (entry.kind != polarmosaic::kOptionFlag) args.push_back(value);
    args.push_back("in.ppm");
    args.push_back("out.ppm");
    return args;
}

TEST(ToolOptions, EveryHostOptionTakesTheTableDefaultAndLimits) {
    TempDir dir;
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(40, 30, 5)));
    const std::string help = RunTool(dir.path(), {"--help"}).out;
    ASSERT_FALSE(polarmosaic::OptionTable().empty());
    for (const OptionEntry& entry : polarmosaic::OptionTable()) {
        SCOPED_TRACE(entry.name);
        // Listed in the help with its help text's start and its default.
        EXPECT_TRUE(Contains(help, std::string("--") + entry.name + " ")) << help;
        if (entry.kind != polarmosaic::kOptionFlag) {
            EXPECT_TRUE(Contains(help, "default " + entry.default_text)) << help;
        }
        std::vector<std::string> good = {entry.default_text};
        std::vector<std::string> bad;
        switch (entry.kind) {
            case polarmosaic::kOptionWhole:
            case polarmosaic::kOptionNumber:
                good.push_back(Text(entry.min));
                good.push_back(Text(entry.max));
                bad = {Text(entry.min - 1), Text(entry.max + 1), "x"};
                EXPECT_TRUE(Contains(help, Text(entry.min) + " .. " + Text(entry.max))) << help;
                break;
            case polarmosaic::kOptionLength:
                good.push_back(Text(entry.min_percent) + "%");
                good.push_back(Text(entry.max_percent) + "%");
                good.push_back(Text(entry.max));
                bad = {Text(entry.max + 1), Text(entry.max_percent + 1) + "%", "-1", "4 %"};
                break;
            case polarmosaic::kOptionChoice:
                good = entry.choices;
                bad = {"bogus"};
                break;
            case polarmosaic::kOptionColour:
                good.push_back("0,0,0");
                good.push_back("255,255,255");
                bad = {"256,0,0", "1,2", "#12345"};
                break;
            case polarmosaic::kOptionCentre:
                good.push_back("0%,100%");
                bad = {"10", "a,b"};
                break;
            case polarmosaic::kOptionFlag:
                good = {""};
                break;
        }
        for (const std::string& value : good) {
            ToolRun run = RunTool(dir.path(), Args(entry, value));
            EXPECT_EQ(run.exit_code, 0) << value << ": " << run.err;
        }
        for (const std::string& value : bad) {
            ToolRun run = RunTool(dir.path(), Args(entry, value));
            EXPECT_EQ(run.exit_code, 2) << value;
            const std::string problem = polarmosaic::OptionValueProblem(entry, value);
            EXPECT_FALSE(problem.empty()) << value;
            EXPECT_TRUE(
                Contains(run.err, "polarmosaic: option --" + std::string(entry.name) + ": " + problem + " ("))
                << value << ": " << run.err;
        }
        if (entry.kind == polarmosaic::kOptionFlag) {
            std::vector<std::string> args = Args(entry, "");
            args[args.size() - 3] += "=1";
            ToolRun run = RunTool(dir.path(), args);
            EXPECT_EQ(run.exit_code, 2);
            EXPECT_TRUE(Contains(run.err, "takes no value")) << run.err;
        }
    }
}

// A sector count the parser takes is one the effect takes: the largest
// runs, one more is refused before any file is read.
TEST(ToolOptions, SectorLimitIsTheEffects) {
    TempDir dir;
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(40, 30, 5)));
    ToolRun run = RunTool(dir.path(), {"-s", "32752", "in.ppm", "a.ppm"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    for (const char* classic : {"", "--classic"}) {
        std::vector<std::string> args = {"-s", "32753", "missing.ppm", "b.ppm"};
        if (*classic) args.insert(args.begin(), classic);
        run = RunTool(dir.path(), args);
        EXPECT_EQ(run.exit_code, 2) << run.err;
        EXPECT_TRUE(Contains(run.err, "option -s: '32753' is not a whole number in 1 .. 32752")) << run.err;
    }
}

// -w 0 draws no lines: the same picture as no borders at all.
TEST(ToolOptions, ZeroLineWidthDrawsNoLines) {
    TempDir dir;
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(64, 48, 9)));
    for (const char* geometry : {"fitted", "classic"}) {
        ASSERT_EQ(RunTool(dir.path(), {"--geometry", geometry, "-w", "0", "in.ppm", "w0.ppm"}).exit_code, 0);
        ASSERT_EQ(RunTool(dir.path(), {"--geometry", geometry, "-b", "none", "in.ppm", "none.ppm"}).exit_code,
                  0);
        ASSERT_EQ(RunTool(dir.path(), {"--geometry", geometry, "-w", "1", "in.ppm", "w1.ppm"}).exit_code, 0);
        EXPECT_EQ(pmtest::ReadFileBytes(dir.File("w0.ppm")), pmtest::ReadFileBytes(dir.File("none.ppm")))
            << geometry;
        EXPECT_NE(pmtest::ReadFileBytes(dir.File("w1.ppm")), pmtest::ReadFileBytes(dir.File("none.ppm")))
            << geometry;
    }
}

// Former spellings still work, warn, and are listed as such.
TEST(ToolOptions, FormerSpellingsWarnAndDoTheSame) {
    TempDir dir;
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(40, 30, 5)));
    struct Case {
        const char* former;
        const char* current;
        const char* value;
    };
    const std::string help = RunTool(dir.path(), {"--help"}).out;
    for (const Case& c :
         {Case{"--center", "--centre", "30%,60%"}, Case{"--border-color", "--border-colour", "navy"}}) {
        ToolRun run = RunTool(dir.path(), {c.former, c.value, "in.ppm", "old.ppm"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_TRUE(
            Contains(run.err, std::string("warning: ") + c.former + " is deprecated; use " + c.current))
            << run.err;
        ASSERT_EQ(RunTool(dir.path(), {c.current, c.value, "in.ppm", "new.ppm"}).exit_code, 0);
        EXPECT_EQ(pmtest::ReadFileBytes(dir.File("old.ppm")), pmtest::ReadFileBytes(dir.File("new.ppm")));
        EXPECT_TRUE(Contains(help, std::string(c.former) + " ")) << c.former;
        EXPECT_TRUE(Contains(help, std::string("former spelling of ") + c.current)) << c.former;
    }
    // Each long spelling has one line of its own in the help.
    for (const OptionEntry& entry : polarmosaic::OptionTable()) {
        const std::string name = std::string("--") + entry.name;
        int lines = 0;
        for (size_t at = help.find(name); at != std::string::npos; at = help.find(name, at + 1)) {
            const size_t start = help.rfind('\n', at) + 1;
            const std::string before = help.substr(start, at - start);
            const char after = help[at + name.size()];
            // "      --name" or "  -x, --name", not an example indented further.
            if (before == "      " || (before.size() == 6 && before[4] == ',')) {
                lines += after == ' ' || after == '\n' ? 1 : 0;
            }
        }
        EXPECT_EQ(lines, 1) << name;
    }
}

// A batch names each output after its input less the last extension only.
TEST(ToolBatch, OutputNamesKeepEveryDotButTheLast) {
    struct Case {
        const char* input;
        std::vector<std::string> args;
        const char* output;
    };
    const Case cases[] = {
        {"c.v2.png", {"-o", "%s-mosaic.webp"}, "c.v2-mosaic.webp"},
        {"a.b.c.ppm", {"-d", "out"}, "out/a.b.c.ppm"},
        {"x.y.ppm", {"-d", "out", "-o", "m-%s.png"}, "out/m-x.y.png"},
        {".hidden.ppm", {"-o", "%s-m.ppm"}, ".hidden-m.ppm"},
        {"dir.v1/pic.ppm", {"-o", "%s-m.png"}, "dir.v1/pic-m.png"},
        {"dir.v1/noext", {"-f", "ppm", "-d", "out"}, "out/noext.ppm"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        ASSERT_EQ(system(("mkdir -p " + pmtest::ShellQuote(dir.File("dir.v1"))).c_str()), 0);
        pmtest::WriteFileBytes(dir.File(c.input), pmtest::PpmBytes(pmtest::Pattern(20, 16, 2)));
        std::vector<std::string> args = c.args;
        args.push_back(c.input);
        ToolRun run = RunTool(dir.path(), args);
        EXPECT_EQ(run.exit_code, 0) << c.input << ": " << run.err;
        EXPECT_TRUE(pmtest::FileExists(dir.File(c.output))) << c.input << " should give " << c.output;
    }
}

}  // namespace
