// Video through a pipe: a stream of binary PPM frames in, one out, each
// frame the tool's own result for that frame as a still picture.
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tool_test_support.h"

namespace {

using pmtest::Bytes;
using pmtest::Contains;
using pmtest::Rgb;
using pmtest::RunTool;
using pmtest::TempDir;
using pmtest::ToolRun;

// Frames of a P6 stream, read here with a parser of the test's own; false
// when the stream does not end on a frame boundary.
bool SplitStream(const Bytes& stream, std::vector<Rgb>* frames) {
    size_t at = 0;
    frames->clear();
    while (at < stream.size()) {
        int fields[3];
        size_t p = at + 2;
        if (stream.size() < at + 2 || stream[at] != 'P' || stream[at + 1] != '6') return false;
        for (int& field : fields) {
            while (p < stream.size() && isspace(stream[p])) ++p;
            field = 0;
            while (p < stream.size() && isdigit(stream[p])) field = field * 10 + (stream[p++] - '0');
        }
        ++p;  // the one white-space byte after the header
        const size_t bytes = static_cast<size_t>(fields[0]) * fields[1] * 3;
        if (fields[2] != 255 || p + bytes > stream.size()) return false;
        Rgb frame;
        frame.width = fields[0];
        frame.height = fields[1];
        frame.px.assign(stream.begin() + static_cast<ptrdiff_t>(p),
                        stream.begin() + static_cast<ptrdiff_t>(p + bytes));
        frames->push_back(frame);
        at = p + bytes;
    }
    return true;
}

Bytes Concatenate(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

bool HaveFfmpeg() { return system("ffmpeg -version >/dev/null 2>&1") == 0; }

// A short clip from ffmpeg's test source, as the PPM stream ffmpeg pipes.
Bytes TestClip(const TempDir& dir, int width, int height, int frames) {
    const std::string path = dir.File("clip-" + std::to_string(width) + ".ppm");
    const std::string command = "ffmpeg -v error -y -f lavfi -i testsrc=size=" + std::to_string(width) + "x" +
                                std::to_string(height) + ":rate=10 -frames:v " + std::to_string(frames) +
                                " -f image2pipe -vcodec ppm " + pmtest::ShellQuote(path);
    EXPECT_EQ(system(command.c_str()), 0) << command;
    return pmtest::ReadFileBytes(path);
}

// The tool's result for one frame written as a still PPM file.
Rgb StillResult(const TempDir& dir, const Rgb& frame, const std::vector<std::string>& settings) {
    pmtest::WriteFileBytes(dir.File("still-in.ppm"), pmtest::PpmBytes(frame));
    std::vector<std::string> args = settings;
    args.push_back("still-in.ppm");
    args.push_back("still-out.ppm");
    ToolRun run = RunTool(dir.path(), args);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    Rgb result;
    EXPECT_TRUE(pmtest::ParsePnm(pmtest::ReadFileBytes(dir.File("still-out.ppm")), &result));
    return result;
}

TEST(ToolFrames, EveryFrameIsTheStillResultAndFfmpegReadsTheStream) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    // Two sizes in one stream: the second size starts a plan of its own.
    const Bytes stream = Concatenate({TestClip(dir, 96, 64, 3), TestClip(dir, 50, 70, 2)});
    pmtest::WriteFileBytes(dir.File("in.ppm"), stream);
    std::vector<Rgb> inputs;
    ASSERT_TRUE(SplitStream(stream, &inputs));
    ASSERT_EQ(inputs.size(), 5u);
    const std::vector<std::vector<std::string>> settings = {
        {},
        {"--classic"},
        {"-s", "12", "-b", "rings", "-c", "200,40,10", "--centre", "30%,60%", "--angle", "20"},
        {"--hard-edges", "-r", "9", "-w", "0"},
    };
    for (const std::vector<std::string>& setting : settings) {
        std::vector<std::string> args = setting;
        args.insert(args.end(), {"--frames", "-", "-"});
        ToolRun run = RunTool(dir.path(), args, dir.File("in.ppm"));
        ASSERT_EQ(run.exit_code, 0) << run.err;
        std::vector<Rgb> outputs;
        ASSERT_TRUE(SplitStream(Bytes(run.out.begin(), run.out.end()), &outputs));
        ASSERT_EQ(outputs.size(), inputs.size());
        for (size_t i = 0; i < inputs.size(); ++i) {
            EXPECT_TRUE(outputs[i] == StillResult(dir, inputs[i], setting)) << "frame " << i + 1;
        }
        // ffmpeg reads what the tool writes, frame for frame.
        pmtest::WriteFileBytes(dir.File("out.ppm"), Bytes(run.out.begin(), run.out.end()));
        const std::string decode = "cd " + pmtest::ShellQuote(dir.path()) +
                                   " && ffmpeg -v error -y -f image2pipe -vcodec ppm -i out.ppm "
                                   "-vf scale=96:64 -f rawvideo -pix_fmt rgb24 out.raw";
        ASSERT_EQ(system(decode.c_str()), 0);
        EXPECT_EQ(pmtest::ReadFileBytes(dir.File("out.raw")).size(), 5u * 96 * 64 * 3);
    }
}

// Broken streams: the error names the frame, and every frame before it has
// been written whole.
TEST(ToolFrames, ABrokenStreamNamesTheFrameAfterWritingTheOnesBefore) {
    TempDir dir;
    const Rgb first = pmtest::Pattern(40, 30, 1), second = pmtest::Pattern(40, 30, 2);
    const Bytes good = Concatenate({pmtest::PpmBytes(first), pmtest::PpmBytes(second)});
    const Bytes third = pmtest::PpmBytes(pmtest::Pattern(40, 30, 3));
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    struct Case {
        const char* name;
        Bytes tail;  // after the two good frames
        std::string message;
    };
    const size_t third_header = third.size() - 40 * 30 * 3;
    const Case cases[] = {
        {"cut in the pixels", Bytes(third.begin(), third.begin() + 1000),
         "frame 3 is truncated: " + std::to_string(1000 - third_header) + " of 3600 pixel bytes"},
        {"cut in the header", text("P6\n40 3"), "frame 3 is truncated: the stream ends in its header"},
        {"not P6", text("P5\n40 30\n255\n"), "frame 3: not a binary PPM (P6) frame"},
        {"16-bit", text("P6\n40 30\n65535\n"), "frame 3: maximum value 65535"},
        {"no size", text("P6\n0 30\n255\n"), "frame 3: 0 x 30 is outside"},
        {"garbage", text("P6\nwide 30\n255\n"), "frame 3: no width"},
    };
    for (const Case& c : cases) {
        pmtest::WriteFileBytes(dir.File("in.ppm"), Concatenate({good, c.tail}));
        ToolRun run = RunTool(dir.path(), {"--frames", "-", "-"}, dir.File("in.ppm"));
        EXPECT_NE(run.exit_code, 0) << c.name;
        EXPECT_TRUE(Contains(run.err, c.message)) << c.name << ": " << run.err;
        std::vector<Rgb> outputs;
        ASSERT_TRUE(SplitStream(Bytes(run.out.begin(), run.out.end()), &outputs)) << c.name;
        ASSERT_EQ(outputs.size(), 2u) << c.name;
        EXPECT_TRUE(outputs[0] == StillResult(dir, first, {})) << c.name;
        EXPECT_TRUE(outputs[1] == StillResult(dir, second, {})) << c.name;
    }
    // Comments and any white space in headers are read as in a still file;
    // an empty stream is zero frames.
    pmtest::WriteFileBytes(dir.File("in.ppm"), text("P6 # made by hand\n40\t30\r255\n"));
    Bytes with_comment = pmtest::ReadFileBytes(dir.File("in.ppm"));
    with_comment.insert(with_comment.end(), first.px.begin(), first.px.end());
    pmtest::WriteFileBytes(dir.File("in.ppm"), with_comment);
    ToolRun run = RunTool(dir.path(), {"--frames", "-", "-"}, dir.File("in.ppm"));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    std::vector<Rgb> outputs;
    ASSERT_TRUE(SplitStream(Bytes(run.out.begin(), run.out.end()), &outputs));
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_TRUE(outputs[0] == StillResult(dir, first, {}));
    pmtest::WriteFileBytes(dir.File("empty.ppm"), Bytes());
    run = RunTool(dir.path(), {"--frames", "-", "-"}, dir.File("empty.ppm"));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(run.out.empty());
}

}  // namespace
