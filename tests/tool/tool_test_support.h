// tool_test_support.h - fixtures for the host-layer and tool tests: images
// made and read with libpng's and libjpeg's plain APIs (not the tool's own
// loaders), a direct call of the module, and a way to run the tool.
#ifndef POLARMOSAIC_TESTS_TOOL_TEST_SUPPORT_H
#define POLARMOSAIC_TESTS_TOOL_TEST_SUPPORT_H

#include <stdint.h>

#include <string>
#include <vector>

#include <polarmosaic/polarmosaic.h>

namespace pmtest {

using Bytes = std::vector<uint8_t>;

// Interleaved 8-bit RGB.
struct Rgb {
    int width = 0;
    int height = 0;
    Bytes px;
    bool operator==(const Rgb& o) const { return width == o.width && height == o.height && px == o.px; }
};

// Gradients plus hashed noise and a few hard edges.
Rgb Pattern(int width, int height, unsigned seed);

Bytes PpmBytes(const Rgb& image);
Bytes PgmBytes(int width, int height, const Bytes& grey);
// P6 or P5 with maxval 255; P5 is expanded to three equal channels.
bool ParsePnm(const Bytes& data, Rgb* image, bool* was_grey = nullptr);

// png_format is a PNG_FORMAT_* value of libpng's simplified API; data has
// its layout. colormap only for the *_COLORMAP formats.
Bytes PngBytes(int width, int height, uint32_t png_format, const void* data, const Bytes& colormap = Bytes(),
               int colormap_entries = 0);
bool DecodePng(const Bytes& data, Rgb* image);

enum class JpegCoding { kBaseline, kProgressive, kArithmetic };

// components 1 (grey), 3 (RGB) or 4 (CMYK).
Bytes JpegBytes(int width, int height, int components, const Bytes& data, int quality,
                JpegCoding coding = JpegCoding::kBaseline);

// A palette PNG through libpng's full API: bit_depth 1, 2, 4 or 8, one
// index per byte in indices, an optional tEXt chunk.
Bytes PalettePngBytes(int width, int height, int bit_depth, const Bytes& indices, const Bytes& palette,
                      const std::string& text = std::string());
bool DecodeJpeg(const Bytes& data, Rgb* image);

// The module called directly on planes filled the documented way: inPlane
// the input, outPlane a copy of it, row padding 0.
Rgb DirectModuleResult(const Rgb& input, const PolarMosaicParam& settings);

// The tile count wanted when none is given: D / T on an exact fit,
// otherwise D / T + 2 with the split and D / T + 1 without, at least 2.
int CoveringCount(int dimension, int tile, bool split);

// The module's tile layout of one axis, from its documented rules: the tile
// sizes of the working count.
std::vector<int> TileLayout(int dimension, int tile, int count, bool split);

struct ToolRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> List() const;

private:
    std::string path_;
};

// Runs the tool in folder with args; stdin_path empty for no input. shell
// runs first in the same shell (e.g. "umask 027; ulimit -f 20;").
ToolRun RunTool(const std::string& folder, const std::vector<std::string>& args,
                const std::string& stdin_path = std::string(), const std::string& shell = std::string());

// Single-quotes text for the shell.
std::string ShellQuote(const std::string& text);

Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& data);
bool FileExists(const std::string& path);

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace pmtest

#endif  // POLARMOSAIC_TESTS_TOOL_TEST_SUPPORT_H
