// The tool against crafted files, signals and hostile outputs: streams too
// short or padded for the size they claim, highly compressible valid
// files, the memory budget, devices and FIFOs as outputs, interrupted
// batches, file-size limits, closed pipes, long names.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include "image_io.h"
#include "tool_test_support.h"

namespace {

using pmtest::Bytes;
using pmtest::Contains;
using pmtest::JpegCoding;
using pmtest::Rgb;
using pmtest::RunTool;
using pmtest::TempDir;
using pmtest::ToolRun;
using polarmosaic::Image;
using polarmosaic::LoadImage;
using polarmosaic::LoadSettings;

// Offset of the first marker `code` (0xff, code) in a JPEG, or 0.
size_t FindMarker(const Bytes& jpeg, uint8_t code) {
    for (size_t i = 2; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xff && jpeg[i + 1] == code) return i;
    }
    return 0;
}

// Sets the frame size in the SOF segment at sof.
void SetJpegSize(Bytes* jpeg, size_t sof, int width, int height) {
    (*jpeg)[sof + 5] = static_cast<uint8_t>(height >> 8);
    (*jpeg)[sof + 6] = static_cast<uint8_t>(height);
    (*jpeg)[sof + 7] = static_cast<uint8_t>(width >> 8);
    (*jpeg)[sof + 8] = static_cast<uint8_t>(width);
}

// The first 60 % of a file, closed with an end-of-image marker.
Bytes CutWithEoi(const Bytes& jpeg) {
    Bytes cut(jpeg.begin(), jpeg.begin() + jpeg.size() * 6 / 10);
    cut.push_back(0xff);
    cut.push_back(0xd9);
    return cut;
}

Bytes Grey(int width, int height, uint8_t value) { return Bytes(static_cast<size_t>(width) * height, value); }

struct LoadResult {
    bool ok = false;
    std::string error;
    int reserve_calls = 0;
    Image image;
};

LoadResult Load(const Bytes& file) {
    LoadResult result;
    LoadSettings settings;
    settings.reserve = [&](int, int, uint64_t, std::string*) {
        ++result.reserve_calls;
        return true;
    };
    result.ok = LoadImage(file.data(), file.size(), settings, &result.image, &result.error);
    return result;
}

// ------------------------------------------------------- refused streams

struct RefusedCase {
    const char* name;
    Bytes file;
    const char* reason;
    bool before_memory;  // refused before the size was offered for memory
};

std::vector<RefusedCase> RefusedCases() {
    Rgb photo = pmtest::Pattern(64, 64, 9);
    std::vector<RefusedCase> cases;
    // A 16 x 16 progressive picture claiming 4000 x 4000, padded with a
    // comment so that the file is as long as the scans would need to be.
    Bytes padded = pmtest::JpegBytes(16, 16, 1, Grey(16, 16, 99), 90, JpegCoding::kProgressive);
    SetJpegSize(&padded, FindMarker(padded, 0xc2), 4000, 4000);
    Bytes comment = {0xff, 0xfe, 0x9c, 0x42};  // 40002-byte segment
    comment.resize(4 + 40000, 'x');
    padded.insert(padded.begin() + 2, comment.begin(), comment.end());
    cases.push_back({"progressive padded with a comment", padded, "truncated JPEG", true});
    cases.push_back({"baseline cut, ending in EOI", CutWithEoi(pmtest::JpegBytes(64, 64, 3, photo.px, 90)),
                     "truncated JPEG", false});
    cases.push_back({"progressive cut, ending in EOI",
                     CutWithEoi(pmtest::JpegBytes(64, 64, 3, photo.px, 90, JpegCoding::kProgressive)),
                     "truncated JPEG", false});
    Bytes deep = pmtest::JpegBytes(16, 16, 3, Bytes(16 * 16 * 3, 50), 90);
    deep[FindMarker(deep, 0xc0) + 4] = 12;
    cases.push_back(
        {"12-bit samples", deep, "JPEG with other than 8 bits per sample is not supported", true});
    return cases;
}

TEST(HostileLoader, ShortPaddedOrUnsupportedStreamsAreRefused) {
    for (const RefusedCase& c : RefusedCases()) {
        LoadResult result = Load(c.file);
        EXPECT_FALSE(result.ok) << c.name;
        EXPECT_TRUE(Contains(result.error, c.reason)) << c.name << ": " << result.error;
        if (c.before_memory) {
            EXPECT_EQ(result.reserve_calls, 0) << c.name;
            EXPECT_EQ(result.image.rgb.capacity(), 0u) << c.name;
        }
    }
}

// Files that compress far beyond the usual ratios, all genuine.
TEST(HostileLoader, HighlyCompressibleValidFilesLoad) {
    struct Case {
        const char* name;
        Bytes file;
        uint8_t rgb[3];
    };
    const int n = 2000;
    Bytes zeros(static_cast<size_t>(n) * n, 0);
    const Bytes red = {255, 0, 0, 0, 0, 255};
    const Case cases[] = {
        {"solid 8-bit palette", pmtest::PalettePngBytes(n, n, 8, zeros, red), {255, 0, 0}},
        {"solid 1-bit palette with text",
         pmtest::PalettePngBytes(n, n, 1, zeros, red, std::string(3000, 't')),
         {255, 0, 0}},
        {"flat arithmetic-coded JPEG",
         pmtest::JpegBytes(n, n, 1, Grey(n, n, 128), 90, JpegCoding::kArithmetic),
         {128, 128, 128}},
    };
    for (const Case& c : cases) {
        LoadResult result = Load(c.file);
        ASSERT_TRUE(result.ok) << c.name << " (" << c.file.size() << " bytes): " << result.error;
        ASSERT_EQ(result.image.width, n);
        ASSERT_EQ(result.image.height, n);
        EXPECT_EQ(result.reserve_calls, 1) << c.name;
        size_t wrong = 0;
        for (size_t i = 0; i < result.image.rgb.size(); ++i) {
            wrong += result.image.rgb[i] != c.rgb[i % 3];
        }
        EXPECT_EQ(wrong, 0u) << c.name;
    }
}

// Every decoder offers the size before it takes pixel memory, and takes
// none when refused.
TEST(HostileLoader, NothingIsAllocatedWhenTheSizeIsRefused) {
    Rgb rgb = pmtest::Pattern(40, 30, 1);
    const std::pair<const char*, Bytes> files[] = {
        {"png", pmtest::PngBytes(40, 30, PNG_FORMAT_RGB, rgb.px.data())},
        {"jpeg", pmtest::JpegBytes(40, 30, 3, rgb.px, 90)},
        {"progressive jpeg", pmtest::JpegBytes(40, 30, 3, rgb.px, 90, JpegCoding::kProgressive)},
        {"ppm", pmtest::PpmBytes(rgb)},
    };
    for (const auto& file : files) {
        LoadSettings settings;
        int seen_width = 0, seen_height = 0;
        settings.reserve = [&](int width, int height, uint64_t, std::string* error) {
            seen_width = width;
            seen_height = height;
            *error = "no room";
            return false;
        };
        Image image;
        std::string error;
        EXPECT_FALSE(LoadImage(file.second.data(), file.second.size(), settings, &image, &error));
        EXPECT_EQ(error, "no room") << file.first;
        EXPECT_EQ(seen_width, 40) << file.first;
        EXPECT_EQ(seen_height, 30) << file.first;
        EXPECT_EQ(image.rgb.capacity(), 0u) << file.first;
    }
}

// A PNG chunk: length, type, data, CRC.
Bytes PngChunk(const char* type, const Bytes& data) {
    Bytes chunk(12 + data.size());
    for (int i = 0; i < 4; ++i) {
        chunk[i] = static_cast<uint8_t>(data.size() >> (24 - 8 * i));
        chunk[4 + i] = static_cast<uint8_t>(type[i]);
    }
    std::copy(data.begin(), data.end(), chunk.begin() + 8);
    uLong crc = crc32(0, chunk.data() + 4, static_cast<uInt>(4 + data.size()));
    for (int i = 0; i < 4; ++i) chunk[8 + data.size() + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    return chunk;
}

// Loads a file in a child process; returns its peak memory growth in KiB,
// with whether it loaded and the reason when not.
long LoadPeakGrowthKiB(const Bytes& file, bool* loaded, std::string* error) {
    int out[2];
    if (pipe(out) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        LoadResult result = Load(file);
        getrusage(RUSAGE_SELF, &after);
        std::string report = std::to_string(after.ru_maxrss - before.ru_maxrss) + " " +
                             (result.ok ? "ok" : "refused") + " " + result.error;
        ssize_t written = write(out[1], report.data(), report.size());
        _exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    close(out[1]);
    std::string report;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof(buffer))) > 0;) report.append(buffer, n);
    close(out[0]);
    waitpid(child, nullptr, 0);
    size_t space = report.find(' '), second = report.find(' ', space + 1);
    if (space == std::string::npos || second == std::string::npos) return -1;
    *loaded = report.compare(space + 1, second - space - 1, "ok") == 0;
    *error = report.substr(second + 1);
    return std::stol(report.substr(0, space));
}

// Chunks that the picture does not need cost no memory: a 100-byte file
// whose text chunk claims 1.35 GB, and 300 compressed text chunks of 8 KB
// that each inflate to 7.9 MB.
TEST(HostileLoader, PngMetadataChunksCannotTakeMemory) {
    const Bytes signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    const Bytes header = {0, 0, 0, 8, 0, 0, 0, 8, 8, 2, 0, 0, 0};  // 8 x 8 RGB
    Bytes rows(8 * (1 + 8 * 3), 0);
    uLongf packed_size = compressBound(static_cast<uLong>(rows.size()));
    Bytes packed(packed_size);
    compress(packed.data(), &packed_size, rows.data(), static_cast<uLong>(rows.size()));
    packed.resize(packed_size);
    Bytes claims = signature;
    for (const Bytes& chunk : {PngChunk("IHDR", header), PngChunk("tEXt", Bytes(40, 't'))}) {
        claims.insert(claims.end(), chunk.begin(), chunk.end());
    }
    claims[8 + 25] = 0x50;  // the text chunk's length, after the signature and IHDR: 0x50000028
    Bytes text(7900000, 'a');
    uLongf deflated_size = compressBound(static_cast<uLong>(text.size()));
    Bytes deflated(deflated_size);
    compress2(deflated.data(), &deflated_size, text.data(), static_cast<uLong>(text.size()), 9);
    deflated.resize(deflated_size);
    Bytes bomb = signature;
    Bytes ihdr = PngChunk("IHDR", header);
    bomb.insert(bomb.end(), ihdr.begin(), ihdr.end());
    Bytes ztxt = {'k', 0, 0};
    ztxt.insert(ztxt.end(), deflated.begin(), deflated.end());
    Bytes ztxt_chunk = PngChunk("zTXt", ztxt);
    for (int i = 0; i < 300; ++i) bomb.insert(bomb.end(), ztxt_chunk.begin(), ztxt_chunk.end());
    for (const Bytes& chunk : {PngChunk("IDAT", packed), PngChunk("IEND", {})}) {
        bomb.insert(bomb.end(), chunk.begin(), chunk.end());
    }
    struct Case {
        const char* name;
        const Bytes& file;
        bool loads;
    };
    const Case cases[] = {{"text chunk claiming 1.35 GB", claims, false},
                          {"300 compressed text chunks of 7.9 MB each", bomb, true}};
    for (const Case& c : cases) {
        bool loaded = false;
        std::string error;
        long growth = LoadPeakGrowthKiB(c.file, &loaded, &error);
        ASSERT_GE(growth, 0) << c.name;
        EXPECT_LT(growth, 64 * 1024) << c.name;
        EXPECT_EQ(loaded, c.loads) << c.name << ": " << error;
        if (!c.loads) EXPECT_EQ(error, "truncated PNG data") << c.name;
    }
}

// ------------------------------------------------------------ the tool

std::vector<std::string> TempFilesIn(const std::string& folder) {
    std::vector<std::string> found;
    std::string command = "ls -A " + pmtest::ShellQuote(folder) + " 2>/dev/null";
    FILE* list = popen(command.c_str(), "r");
    char line[4096];
    while (list && fgets(line, sizeof(line), list)) {
        std::string name(line);
        if (Contains(name, ".tmp-")) found.push_back(name);
    }
    if (list) pclose(list);
    return found;
}

// ------------------------------------------------------------ EXIF

struct TiffEntry {
    uint16_t tag, type;
    uint32_t count, value;  // value kDirectory + k: the offset of directory k
};
constexpr uint32_t kDirectory = 0xFFFF0000u;

// A little-endian TIFF structure: the header, `data` at offset 8, then the
// directories one after another, the first the root.
Bytes TiffStructure(const Bytes& data, const std::vector<std::vector<TiffEntry>>& directories) {
    std::vector<uint32_t> offsets;
    uint32_t at = 8 + static_cast<uint32_t>(data.size());
    for (const auto& directory : directories) {
        offsets.push_back(at);
        at += 2 + 12 * static_cast<uint32_t>(directory.size()) + 4;
    }
    Bytes out = {'I', 'I', 42, 0};
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(offsets[0], 4);
    out.insert(out.end(), data.begin(), data.end());
    for (const auto& directory : directories) {
        put(static_cast<uint32_t>(directory.size()), 2);
        for (const TiffEntry& e : directory) {
            put(e.tag, 2);
            put(e.type, 2);
            put(e.count, 4);
            put(e.value >= kDirectory ? offsets[e.value - kDirectory] : e.value, 4);
        }
        put(0, 4);
    }
    return out;
}

// At offset 8: a 2 x 2 grey picture, then the camera maker's name.
const Bytes kPixelsAndMaker = {10, 60, 120, 250, 'F', 'a', 'n', 'M', 'a', 'k', 'e', 'r', 0, 0};
const TiffEntry kMaker = {0x010F, 2, 9, 12};

std::vector<TiffEntry> PictureTags() {
    return {{256, 3, 1, 2}, {257, 3, 1, 2}, {258, 3, 1, 8}, {259, 3, 1, 1}, {262, 3, 1, 1},
            kMaker,         {273, 4, 1, 8}, {277, 3, 1, 1}, {278, 3, 1, 2}, {279, 4, 1, 4}};
}

// n pointers to directory 1 from the root, n pointers to directory 2 from
// that one, and n entries in the last: n^3 entries when every pointer is
// followed.
std::vector<std::vector<TiffEntry>> DuplicatePointers(std::vector<TiffEntry> root, int n) {
    root.insert(root.end(), n, {0x8769, 4, 1, kDirectory + 1});
    return {root, std::vector<TiffEntry>(n, {0xA005, 4, 1, kDirectory + 2}),
            std::vector<TiffEntry>(n, {0x0001, 2, 4, 0x00383952})};
}

// An Exif and a GPS directory of 20000 small entries each.
std::vector<std::vector<TiffEntry>> ManyInlineEntries() {
    std::vector<TiffEntry> root = PictureTags();
    root.push_back({0x8769, 4, 1, kDirectory + 1});
    root.push_back({0x8825, 4, 1, kDirectory + 2});
    return {root, std::vector<TiffEntry>(20000, {0x9000, 7, 4, 0x30333230}),
            std::vector<TiffEntry>(20000, {0x0001, 2, 2, 'N'})};
}

// A JPEG carrying block in an APP1 marker.
Bytes JpegWithExif(const Bytes& block) {
    Bytes jpeg = pmtest::JpegBytes(2, 2, 1, Grey(2, 2, 90), 90);
    Bytes app1 = {0xff,
                  0xe1,
                  static_cast<uint8_t>((block.size() + 8) >> 8),
                  static_cast<uint8_t>(block.size() + 8),
                  'E',
                  'x',
                  'i',
                  'f',
                  0,
                  0};
    app1.insert(app1.end(), block.begin(), block.end());
    jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
    return jpeg;
}

// A few KB of EXIF can describe billions of entries, through pointers to
// one directory again and again, or hold more entries than any EXIF block:
// each directory is read once and the work is bounded, so the picture is
// written with its EXIF at its real size, or without it and a warning.
TEST(ToolExif, DirectoriesThatFanOutAreReadOnceAndBounded) {
    const Bytes block = TiffStructure({'F', 'a', 'n', 'M', 'a', 'k', 'e', 'r', 0, 0},
                                      DuplicatePointers({{0x010F, 2, 9, 8}}, 60));
    ASSERT_LT(block.size(), 65000u);
    struct Case {
        const char* name;
        const char* input;
        Bytes file;
        const char* output;
        bool kept;  // the EXIF (with its maker) is carried, without a warning
    };
    const Case cases[] = {
        {"TIFF with duplicate pointers to PNG", "dup.tif",
         TiffStructure(kPixelsAndMaker, DuplicatePointers(PictureTags(), 60)), "dup.png", true},
        {"TIFF with duplicate pointers to JPEG", "dup.tif",
         TiffStructure(kPixelsAndMaker, DuplicatePointers(PictureTags(), 60)), "dup.jpg", true},
        {"JPEG with duplicate pointers to TIFF", "dup.jpg", JpegWithExif(block), "dup.tif", true},
        {"TIFF with 40000 EXIF entries to PNG", "many.tif",
         TiffStructure(kPixelsAndMaker, ManyInlineEntries()), "many.png", false},
        {"TIFF with 40000 EXIF entries to TIFF", "many.tif",
         TiffStructure(kPixelsAndMaker, ManyInlineEntries()), "many2.tif", false},
    };
    TempDir dir;
    for (const Case& c : cases) {
        pmtest::WriteFileBytes(dir.File(c.input), c.file);
        ToolRun run = RunTool(dir.path(), {"--no-effect", "--memory", "64M", c.input, c.output});
        ASSERT_EQ(run.exit_code, 0) << c.name << ": " << run.err;
        Bytes out = pmtest::ReadFileBytes(dir.File(c.output));
        EXPECT_LT(out.size(), 64u * 1024) << c.name;
        std::string text(out.begin(), out.end());
        EXPECT_EQ(Contains(text, "FanMaker"), c.kept) << c.name;
        EXPECT_EQ(Contains(run.err, "warning: "), !c.kept) << c.name << ": " << run.err;
        if (!c.kept) {
            EXPECT_TRUE(Contains(run.err, "EXIF data left out (more than 32768 entries or 1 MiB of values)"))
                << c.name << ": " << run.err;
        }
    }
}

TEST(ToolMemory, BudgetRefusesWhatCannotFitAndTheOthersGoOn) {
    TempDir dir;
    // 215 bytes that are a valid 2000 x 2000 picture.
    pmtest::WriteFileBytes(dir.File("flat.jpg"), pmtest::JpegBytes(2000, 2000, 1, Grey(2000, 2000, 128), 90,
                                                                   JpegCoding::kArithmetic));
    for (int i = 0; i < 3; ++i) {
        pmtest::WriteFileBytes(dir.File("p" + std::to_string(i) + ".ppm"),
                               pmtest::PpmBytes(pmtest::Pattern(300, 300, i)));
    }
    ToolRun run = RunTool(dir.path(), {"--memory", "16M", "flat.jpg", "out.png"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(Contains(run.err, "flat.jpg: needs ")) << run.err;
    EXPECT_TRUE(Contains(run.err, "more than the budget of 16 MiB (--memory)")) << run.err;
    EXPECT_FALSE(pmtest::FileExists(dir.File("out.png")));
    // Each 300 x 300 picture needs about 4 MiB: with 6 MiB they go one at a
    // time, however many jobs run. The missing folders are made.
    run = RunTool(dir.path(),
                  {"--memory", "6M", "-j", "4", "-d", "made/out", "flat.jpg", "p0.ppm", "p1.ppm", "p2.ppm"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(Contains(run.err, "3 of 4 images written")) << run.err;
    for (int i = 0; i < 3; ++i) {
        std::string name = "p" + std::to_string(i);
        ASSERT_EQ(RunTool(dir.path(), {name + ".ppm", name + "-single.ppm"}).exit_code, 0);
        EXPECT_EQ(pmtest::ReadFileBytes(dir.File("made/out/" + name + ".ppm")),
                  pmtest::ReadFileBytes(dir.File(name + "-single.ppm")));
    }
    // With the default budget the flat picture is just a picture.
    run = RunTool(dir.path(), {"flat.jpg", "out.png"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
}

// The fitted plan is built while the picture decodes, in memory estimated
// before it is measured. Whatever the budget makes of that (the estimate
// held, too small for the plan, or not held so that the plan is measured
// first), the bytes are the same, and a budget below the need is refused
// with the exact need.
TEST(ToolMemory, PlansBuiltWhileDecodingGiveTheSameBytesUnderAnyBudget) {
    TempDir dir;
    const Rgb picture = pmtest::Pattern(1200, 900, 7);
    pmtest::WriteFileBytes(dir.File("in.jpg"), pmtest::JpegBytes(1200, 900, 3, picture.px, 90));
    struct Case {
        const char* name;
        std::vector<std::string> options;  // the plan's bytes a pixel: under the estimate, or far over it
    };
    const Case cases[] = {{"defaults", {}}, {"finest grid", {"-s", "720", "-r", "1", "-b", "none"}}};
    for (const Case& c : cases) {
        auto run = [&](const std::string& budget, const std::string& out) {
            std::vector<std::string> args = c.options;
            if (!budget.empty()) args.insert(args.end(), {"--memory", budget});
            args.insert(args.end(), {"in.jpg", out});
            return RunTool(dir.path(), args);
        };
        ASSERT_EQ(run("", "free.ppm").exit_code, 0) << c.name;
        const Bytes free = pmtest::ReadFileBytes(dir.File("free.ppm"));
        // The need, as refusals report it: a budget too small for the
        // plan's head reports the need without the plan, a lower bound.
        int need = 4;
        for (int tries = 0; tries < 3; ++tries) {
            const ToolRun refused = run(std::to_string(need) + "M", "refused.ppm");
            if (refused.exit_code == 0) break;
            const size_t at = refused.err.find("needs ");
            ASSERT_NE(at, std::string::npos) << c.name << ": " << refused.err;
            need = atoi(refused.err.c_str() + at + 6);
        }
        for (int extra : {0, 1, 2, 8}) {
            const std::string out = "at" + std::to_string(extra) + ".ppm";
            const ToolRun r = run(std::to_string(need + extra) + "M", out);
            ASSERT_EQ(r.exit_code, 0) << c.name << ", budget " << need + extra << " MiB: " << r.err;
            EXPECT_TRUE(pmtest::ReadFileBytes(dir.File(out)) == free)
                << c.name << ", budget " << need + extra;
        }
        const ToolRun below = run(std::to_string(need - 1) + "M", "below.ppm");
        EXPECT_EQ(below.exit_code, 1) << c.name;
        EXPECT_TRUE(Contains(below.err, "needs " + std::to_string(need) + " MiB"))
            << c.name << ": " << below.err;
    }
}

// What a message says about memory must be what is wrong: a file that is
// no image is that, however large; amounts close to the budget differ
// visibly; a stream larger than the budget is not given a size it does
// not have.
TEST(ToolMemory, MessagesNameTheRealProblem) {
    TempDir dir;
    const std::string png_head = "\x89PNG\r\n\x1a\n";
    struct Case {
        const char* name;
        std::string head;  // first bytes of a sparse file of `size` bytes
        uint64_t size;
        const char* memory;
        const char* message;
    };
    const Case cases[] = {
        {"zeros.bin", "", uint64_t(8) << 30, "64M",
         "zeros.bin: not a PNG, JPEG, WebP, TIFF, GIF or PPM/PGM image"},
        {"close.png", png_head, (uint64_t(3) << 29) + (uint64_t(1) << 20), "1.5G",
         "close.png: needs 1.501 GiB of memory, more than the budget of 1.500 GiB (--memory)"},
        {"byte.png", png_head, (uint64_t(3) << 29) + 1, "1.5G",
         "byte.png: needs 1610612737 bytes of memory, more than the budget of 1610612736 bytes (--memory)"},
    };
    for (const Case& c : cases) {
        pmtest::WriteFileBytes(dir.File(c.name), Bytes(c.head.begin(), c.head.end()));
        ASSERT_EQ(truncate(dir.File(c.name).c_str(), static_cast<off_t>(c.size)), 0);
        ToolRun run = RunTool(dir.path(), {"--memory", c.memory, c.name, "out.png"});
        EXPECT_EQ(run.exit_code, 1) << c.name;
        EXPECT_EQ(run.err, std::string("polarmosaic: ") + c.message + "\n") << c.name;
        unlink(dir.File(c.name).c_str());
    }
}

// A tile may be far larger than its image, and the reader decodes a whole
// tile at once: a 2 x 2 TIFF with one 32768 x 16384 tile needs 512 MiB,
// which the budget must see before it is taken.
// The fitted geometry's plan is measured and counted before it is built: a
// 32752 x 2 picture (the widest) runs at the default grid within a small
// address space, and the finest grid, whose plan does not fit the budget,
// is refused before anything large is taken.
TEST(ToolMemory, FittedPlanIsCountedBeforeItIsBuilt) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under ulimit -v";
#endif
    TempDir dir;
    const Bytes pixels(32752 * 2 * 3, 90);
    pmtest::WriteFileBytes(dir.File("wide.png"), pmtest::PngBytes(32752, 2, PNG_FORMAT_RGB, pixels.data()));
    const struct {
        std::vector<std::string> args;
        const char* message;  // nullptr: written
    } cases[] = {
        {{"--memory", "64M", "wide.png", "out.png"}, nullptr},
        {{"--memory", "64M", "-s", "720", "-r", "1", "-b", "none", "wide.png", "out.png"},
         "wide.png: needs 4"},  // hundreds of MiB, more than the budget of 64 MiB
    };
    for (const auto& c : cases) {
        ToolRun run = RunTool(dir.path(), c.args, "", "ulimit -v 300000;");
        if (c.message == nullptr) {
            EXPECT_EQ(run.exit_code, 0) << run.err;
            EXPECT_TRUE(pmtest::FileExists(dir.File("out.png")));
        } else {
            EXPECT_EQ(run.exit_code, 1) << run.err;
            EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
            EXPECT_TRUE(Contains(run.err, "more than the budget of 64 MiB (--memory)")) << run.err;
        }
    }
}

TEST(ToolMemory, TiffTileBuffersAreCounted) {
    TempDir dir;
    Bytes zeros(4096, 0), packed(compressBound(4096));
    uLongf packed_size = packed.size();
    ASSERT_EQ(compress(packed.data(), &packed_size, zeros.data(), zeros.size()), Z_OK);
    packed.resize(packed_size);
    struct Case {
        const char* name;
        uint32_t tile_width, tile_length;
        const char* message;  // nullptr: written
    };
    const Case cases[] = {
        {"huge.tif", 32768, 16384,
         "huge.tif: needs 515 MiB of memory, more than the budget of 64 MiB (--memory)"},
        {"small.tif", 16, 16, nullptr},
    };
    for (const Case& c : cases) {
        const std::vector<TiffEntry> tags = {{256, 3, 1, 2},
                                             {257, 3, 1, 2},
                                             {258, 3, 1, 8},
                                             {259, 3, 1, 8},
                                             {262, 3, 1, 1},
                                             {277, 3, 1, 1},
                                             {322, 4, 1, c.tile_width},
                                             {323, 4, 1, c.tile_length},
                                             {324, 4, 1, 8},
                                             {325, 4, 1, static_cast<uint32_t>(packed.size())}};
        Bytes data = packed;
        if (data.size() % 2) data.push_back(0);
        pmtest::WriteFileBytes(dir.File(c.name), TiffStructure(data, {tags}));
        ToolRun run = RunTool(dir.path(), {"--memory", "64M", "--no-effect", c.name, "out.png"});
        if (c.message) {
            EXPECT_EQ(run.exit_code, 1) << c.name;
            EXPECT_EQ(run.err, std::string("polarmosaic: ") + c.message + "\n") << c.name;
        } else {
            EXPECT_EQ(run.exit_code, 0) << c.name << ": " << run.err;
        }
    }
}

// Streams in a batch (named pipes: no size before they are read) are
// counted against the budget as they are read, not only once read whole:
// three streams of 400 MB at --memory 96M stay within an address space
// that three budgets' worth of buffers would not fit.
TEST(ToolMemory, StreamsAreCountedWhileTheyAreRead) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under ulimit -v";
#endif
    TempDir dir;
    // Writers that give up after a minute if the tool never opens their pipe.
    std::string feed = "{ ";
    for (const char* name : {"a.ppm", "b.ppm", "c.ppm"}) {
        ASSERT_EQ(mkfifo(dir.File(name).c_str(), 0600), 0);
        feed += std::string(
                    "timeout 60 sh -c \"(printf 'P6 30000 30000 255\\\\n'; head -c 400000000 /dev/zero) >") +
                name + "\" >/dev/null 2>&1 & ";
    }
    feed += "};";
    ToolRun run =
        RunTool(dir.path(), {"-j", "3", "-t", "1", "--memory", "96M", "-d", "out", "a.ppm", "b.ppm", "c.ppm"},
                "", feed + "ulimit -v 400000;");
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_FALSE(Contains(run.err, "out of memory")) << run.err;
    EXPECT_FALSE(Contains(run.err, "file is")) << run.err;
    // Which stream finds the budget taken by the others depends on timing;
    // each is refused with one of the two reasons, never after the memory ran out.
    for (const char* name : {"a.ppm", "b.ppm", "c.ppm"}) {
        const std::string whole =
            std::string(name) + ": input is larger than the memory budget of 96 MiB (--memory)";
        const std::string busy =
            std::string(name) + ": not enough of the memory budget free to read it (--memory)";
        EXPECT_TRUE(Contains(run.err, whole) || Contains(run.err, busy)) << run.err;
    }
    EXPECT_TRUE(Contains(run.err, "0 of 3 images written")) << run.err;
}

// libjpeg running out of memory (here under an address-space limit far
// below the budget given) is reported as such, not as corrupt data.
TEST(ToolMemory, DecoderOutOfMemoryIsNamed) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under ulimit -v";
#endif
    TempDir dir;
    // A progressive decoder keeps every coefficient: 72 MB here.
    pmtest::WriteFileBytes(dir.File("big.jpg"), pmtest::JpegBytes(6000, 6000, 1, Grey(6000, 6000, 128), 90,
                                                                  JpegCoding::kProgressive));
    ToolRun run =
        RunTool(dir.path(), {"-t", "1", "--memory", "64G", "big.jpg", "out.png"}, "", "ulimit -v 60000;");
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(Contains(run.err, "big.jpg: out of memory decoding the JPEG")) << run.err;
}

// The first bytes decide: an endless stream that is no image is refused
// at once instead of being read to the end.
TEST(ToolInput, EndlessNonImageStreamIsRefusedFromItsFirstBytes) {
    TempDir dir;
    std::string command = "cd " + pmtest::ShellQuote(dir.path()) + " && yes | timeout 20 " +
                          pmtest::ShellQuote(POLARMOSAIC_TOOL_PATH) + " - out.png 2>err";
    int status = system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);  // 124 when the timeout stopped it
    Bytes err = pmtest::ReadFileBytes(dir.File("err"));
    EXPECT_TRUE(
        Contains(std::string(err.begin(), err.end()), "-: not a PNG, JPEG, WebP, TIFF, GIF or PPM/PGM"));
}

TEST(ToolOutput, OutputsThatAreNotRegularFilesAreRefused) {
    TempDir dir;
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(30, 20, 1)));
    ASSERT_EQ(mkfifo(dir.File("fifo.png").c_str(), 0600), 0);
    ASSERT_EQ(symlink("fifo.png", dir.File("link.png").c_str()), 0);
    mkdir(dir.File("out").c_str(), 0700);
    ASSERT_EQ(mkfifo(dir.File("out/in.png").c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"in.ppm", "fifo.png"}, "fifo.png: refusing to replace a FIFO (not a regular file)"},
        {{"in.ppm", "link.png"}, "link.png: refusing to replace a FIFO (not a regular file)"},
        {{"-f", "png", "-d", "out", "in.ppm"}, "out/in.png: refusing to replace a FIFO (not a regular file)"},
    };
    for (const Case& c : cases) {
        ToolRun run = RunTool(dir.path(), c.args);
        EXPECT_EQ(run.exit_code, 1) << c.message;
        EXPECT_TRUE(Contains(run.err, "polarmosaic: " + c.message)) << run.err;
    }
    struct stat info;
    ASSERT_EQ(lstat(dir.File("fifo.png").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    ASSERT_EQ(lstat(dir.File("link.png").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(lstat(dir.File("out/in.png").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_TRUE(TempFilesIn(dir.path()).empty());
    EXPECT_TRUE(TempFilesIn(dir.File("out")).empty());
}

TEST(ToolOutput, StandardInputIsNotOverwritten) {
    TempDir dir;
    Bytes png = pmtest::PngBytes(30, 20, PNG_FORMAT_RGB, pmtest::Pattern(30, 20, 2).px.data());
    pmtest::WriteFileBytes(dir.File("in.png"), png);
    ToolRun run = RunTool(dir.path(), {"-", "in.png"}, dir.File("in.png"));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(Contains(run.err, "in.png: refusing to overwrite the input file (standard input)"))
        << run.err;
    EXPECT_EQ(pmtest::ReadFileBytes(dir.File("in.png")), png);
}

mode_t ModeOf(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 0777) : 0;
}

TEST(ToolOutput, PermissionsFollowTheUmaskOrTheReplacedFile) {
    TempDir dir;
    std::vector<std::string> args = {"-j", "8", "-f", "png", "-d", "out"};
    for (int i = 0; i < 24; ++i) {
        std::string name = "in" + std::to_string(i) + ".ppm";
        pmtest::WriteFileBytes(dir.File(name), pmtest::PpmBytes(pmtest::Pattern(40, 30, i)));
        args.push_back(name);
    }
    mkdir(dir.File("out").c_str(), 0700);
    ToolRun run = RunTool(dir.path(), args, "", "umask 027;");
    ASSERT_EQ(run.exit_code, 0) << run.err;
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(ModeOf(dir.File("out/in" + std::to_string(i) + ".png")), 0640u) << i;
    }
    // A replaced file keeps its permissions; the umask is left alone.
    pmtest::WriteFileBytes(dir.File("kept.png"), Bytes{1});
    chmod(dir.File("kept.png").c_str(), 0604);
    ASSERT_EQ(RunTool(dir.path(), {"in0.ppm", "kept.png"}, "", "umask 077;").exit_code, 0);
    EXPECT_EQ(ModeOf(dir.File("kept.png")), 0604u);
    ASSERT_EQ(RunTool(dir.path(), {"in0.ppm", "new.png"}, "", "umask 077;").exit_code, 0);
    EXPECT_EQ(ModeOf(dir.File("new.png")), 0600u);
}

TEST(ToolOutput, FileSizeLimitAndClosedPipeAreReportedErrors) {
    TempDir dir;
    std::vector<std::string> args = {"-j", "2", "-f", "ppm", "-d", "out"};
    for (int i = 0; i < 3; ++i) {
        std::string name = "in" + std::to_string(i) + ".ppm";
        pmtest::WriteFileBytes(dir.File(name), pmtest::PpmBytes(pmtest::Pattern(400, 300, i)));
        args.push_back(name);
    }
    mkdir(dir.File("out").c_str(), 0700);
    // 360 KB outputs against a 16 KiB file-size limit.
    ToolRun run = RunTool(dir.path(), args, "", "ulimit -f 16;");
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 4) << run.err;
    EXPECT_TRUE(Contains(run.err, "out/in2.ppm: cannot write (File too large)")) << run.err;
    EXPECT_TRUE(Contains(run.err, "0 of 3 images written")) << run.err;
    EXPECT_TRUE(TempFilesIn(dir.File("out")).empty());

    // A reader that stops early: a one-line error and status 1, not a
    // silent death by SIGPIPE.
    std::string command = "cd " + pmtest::ShellQuote(dir.path()) + " && (" +
                          pmtest::ShellQuote(POLARMOSAIC_TOOL_PATH) +
                          " -f ppm in0.ppm - 2>err; echo $? >status) | head -c 10 >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
    Bytes status = pmtest::ReadFileBytes(dir.File("status"));
    Bytes err = pmtest::ReadFileBytes(dir.File("err"));
    EXPECT_EQ(std::string(status.begin(), status.end()), "1\n");
    EXPECT_TRUE(
        Contains(std::string(err.begin(), err.end()), "cannot write to standard output (Broken pipe)"));
}

TEST(ToolOutput, NamesUpToTheFileSystemLimit) {
    TempDir dir;
    pmtest::WriteFileBytes(dir.File("in.ppm"), pmtest::PpmBytes(pmtest::Pattern(30, 20, 3)));
    for (size_t length : {243u, 250u, 255u}) {
        std::string name = std::string(length - 4, 'n') + ".png";
        ToolRun run = RunTool(dir.path(), {"-Q", "in.ppm", name});
        EXPECT_EQ(run.exit_code, 0) << length << ": " << run.err;
        EXPECT_TRUE(pmtest::FileExists(dir.File(name))) << length;
    }
    EXPECT_TRUE(TempFilesIn(dir.path()).empty());
}

// Batches interrupted at many moments, at every job count: whatever the
// moment, no temporary file may be left. The moments are fractions of the
// batch's own uninterrupted time, so a fast or a loaded machine still cuts
// every batch short.
TEST(ToolSignals, InterruptedBatchesLeaveNoTemporaryFile) {
    TempDir dir;
    std::vector<std::string> inputs;
    for (int i = 0; i < 48; ++i) {
        inputs.push_back("in" + std::to_string(i) + ".ppm");
        pmtest::WriteFileBytes(dir.File(inputs.back()), pmtest::PpmBytes(pmtest::Pattern(240, 180, i)));
    }
    // Starts the batch into OUT; returns the child's pid.
    auto start_batch = [&](int jobs, const std::string& out) {
        mkdir(dir.File(out).c_str(), 0700);
        std::vector<std::string> args = {POLARMOSAIC_TOOL_PATH, "-Q", "-j", std::to_string(jobs), "-d", out};
        args.insert(args.end(), inputs.begin(), inputs.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.path().c_str()) != 0) _exit(99);
            // A shell starts background jobs with SIGINT ignored, and the tool
            // rightly keeps an ignored signal ignored: give it the defaults.
            for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) signal(signal_number, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execv(argv[0], argv.data());
            _exit(98);
        }
        return pid;
    };
    int interrupted = 0;
    for (int jobs : {1, 2, 8, 64}) {
        // The shorter of two whole runs: the first may pay for a cold cache.
        long long batch_us = 0;
        for (int whole_run = 0; whole_run < 2; ++whole_run) {
            auto begin = std::chrono::steady_clock::now();
            pid_t whole = start_batch(jobs, "whole" + std::to_string(jobs) + "-" + std::to_string(whole_run));
            ASSERT_GT(whole, 0);
            int status = 0;
            ASSERT_EQ(waitpid(whole, &status, 0), whole);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            long long took = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - begin)
                                 .count();
            batch_us = whole_run == 0 ? took : std::min(batch_us, took);
        }
        for (int run = 0; run < 10; ++run) {
            std::string out = "out" + std::to_string(jobs) + "-" + std::to_string(run);
            pid_t pid = start_batch(jobs, out);
            ASSERT_GT(pid, 0);
            // From 2% to 50% of the batch, spread over the runs.
            usleep(static_cast<useconds_t>(batch_us * (2 + (run * 37 + jobs) % 49) / 100));
            int signal_number = run % 3 == 0 ? SIGTERM : run % 3 == 1 ? SIGINT : SIGHUP;
            kill(pid, signal_number);
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            if (WIFSIGNALED(status)) {
                EXPECT_EQ(WTERMSIG(status), signal_number);
                ++interrupted;
            } else {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            }
            std::vector<std::string> left = TempFilesIn(dir.File(out));
            EXPECT_TRUE(left.empty()) << "-j " << jobs << " run " << run << ": " << left.size()
                                      << " temporary files, first " << left[0];
        }
    }
    // Most runs must really have been cut short for the test to mean anything.
    EXPECT_GE(interrupted, 30);
}

}  // namespace
