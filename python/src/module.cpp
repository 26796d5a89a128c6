// module.cpp - polarmosaic._polarmosaic, the Python extension over the host
// layer. Checks the array (TypeError), lets the host layer check the size and
// options (ValueError with its reason), then gathers the pixels from any
// strides, runs the effect and writes a new array, all without the GIL.
// Keyword parsing and the docstrings live in polarmosaic/__init__.py.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "mosaic_host.h"
#include "pixel_checksum.h"

namespace py = pybind11;

namespace {

// Settings already checked one by one on the Python side; what depends on
// the image (tile counts, sizes) is checked here by the host layer.
struct Settings {
    bool classic = false;
    int sectors = 36;
    double ring = 28.0;
    int tile_width = 0;   // 0: from sectors
    int tile_height = 0;  // 0: from ring
    int cols = 0;
    int rows = 0;
    bool split = false;
    int border = polarmosaic::kBorderGrid;
    int border_width = 5;
    std::array<int, 3> border_color = {48, 48, 48};
    std::array<float, 4> shades = {3.0f, 0.3f, 3.0f, 0.3f};  // outer inner ccw cw
    std::array<int, 3> background = {255, 255, 255};
    int threads = 0;          // 0: every core
    uint64_t max_memory = 0;  // bytes one call may take; 0: no limit
};

// Planes up to this size stay allocated between calls (see HostFor).
constexpr size_t kMaxKeptPlaneBytes = size_t{64} << 20;

// One host per Python thread, kept between calls so that a series of
// pictures reuses its planes and thread pool. A picture with larger planes
// gets a host of its own, freed after the call: one huge picture does not
// hold its memory for the rest of the process.
thread_local std::unique_ptr<polarmosaic::MosaicHost> kept_host;

// A forked child (multiprocessing's default on Linux) has none of the
// parent's pool threads: it starts with a host of its own. The parent's is
// left alone, since destroying it would join threads that do not exist.
void ForgetHostAfterFork() { (void)kept_host.release(); }

polarmosaic::MosaicHost* HostFor(int width, int height, std::unique_ptr<polarmosaic::MosaicHost>* own) {
    size_t plane_bytes = static_cast<size_t>(lcw16(static_cast<int16_t>(width))) * height * 6;
    if (plane_bytes > kMaxKeptPlaneBytes) {
        own->reset(new polarmosaic::MosaicHost);
        return own->get();
    }
    if (!kept_host) kept_host.reset(new polarmosaic::MosaicHost);
    return kept_host.get();
}

// Alpha compositing over the background, rounded to nearest (as the tool).
inline uint8_t Over(uint32_t colour, uint32_t alpha, uint32_t background) {
    return static_cast<uint8_t>((colour * alpha + background * (255 - alpha) + 127) / 255);
}

// Luma of an RGB pixel (as the tool's PGM output).
inline uint8_t Luma(const uint8_t* rgb) {
    return static_cast<uint8_t>((77 * rgb[0] + 150 * rgb[1] + 29 * rgb[2] + 128) >> 8);
}

// "1.5 GiB", "12 MiB", as the tool writes memory sizes.
std::string MemoryText(uint64_t bytes) {
    char text[64];
    if (bytes >= (uint64_t{1} << 30)) {
        snprintf(text, sizeof(text), "%.1f GiB", static_cast<double>(bytes) / 1073741824.0);
    } else {
        snprintf(text, sizeof(text), "%.0f MiB", std::ceil(static_cast<double>(bytes) / 1048576.0));
    }
    return text;
}

// Bytes one call takes for a width x height picture of `channels`
// channels, besides the fitted geometry's plan: the result array, the
// interleaved RGB copy and the host's two plane sets.
uint64_t CallBytes(int width, int height, int channels) {
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    uint64_t bytes = pixels * static_cast<uint64_t>(channels) + pixels * 3;
    bytes += 6 * static_cast<uint64_t>(lcw16(static_cast<int16_t>(width))) * static_cast<uint64_t>(height);
    return bytes;
}

std::string TooMuchMemory(int width, int height, uint64_t needed, uint64_t max_memory) {
    return "image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels needs " +
           std::to_string(needed) + " bytes (" + MemoryText(needed) +
           ") of memory with these options, more than max_memory=" + std::to_string(max_memory) + " (" +
           MemoryText(max_memory) + "); give a larger max_memory, or max_memory=0 for no limit";
}

int ClampedDimension(py::ssize_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

// The image layout the array has: how many channels, and whether it is a
// plain H x W array (grey without a channel axis).
struct Layout {
    int channels;
    bool two_dimensional;
};

Layout CheckArray(const py::array& image) {
    py::dtype dtype = image.dtype();
    if (dtype.kind() != 'u' || dtype.itemsize() != 1) {
        throw py::type_error("image must be a uint8 array; got dtype " + std::string(py::str(dtype)));
    }
    std::string shape = "(";
    for (py::ssize_t d = 0; d < image.ndim(); ++d) {
        shape += (d ? ", " : "") + std::to_string(image.shape(d));
    }
    shape += image.ndim() == 1 ? ",)" : ")";
    if (image.ndim() == 2) return {1, true};
    if (image.ndim() == 3) {
        py::ssize_t c = image.shape(2);
        if (c == 1 || c == 3 || c == 4) return {static_cast<int>(c), false};
    }
    throw py::type_error(
        "image must be H x W (grey), H x W x 1 (grey), H x W x 3 (RGB) or "
        "H x W x 4 (RGBA); got shape " +
        shape);
}

// Interleaved RGB from any strides: grey becomes three equal channels,
// alpha is laid over the background.
void Gather(const uint8_t* base, const py::ssize_t* strides, Layout layout, int width, int height,
            const std::array<int, 3>& background, uint8_t* rgb) {
    py::ssize_t sy = strides[0];
    py::ssize_t sx = strides[1];
    py::ssize_t sc = layout.two_dimensional ? 0 : strides[2];
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = base + y * sy;
        uint8_t* d = rgb + static_cast<size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x, d += 3) {
            const uint8_t* s = row + x * sx;
            if (layout.channels == 1) {
                d[0] = d[1] = d[2] = s[0];
            } else if (layout.channels == 3) {
                d[0] = s[0];
                d[1] = s[sc];
                d[2] = s[2 * sc];
            } else {
                uint32_t alpha = s[3 * sc];
                d[0] = Over(s[0], alpha, static_cast<uint32_t>(background[0]));
                d[1] = Over(s[sc], alpha, static_cast<uint32_t>(background[1]));
                d[2] = Over(s[2 * sc], alpha, static_cast<uint32_t>(background[2]));
            }
        }
    }
}

// The result in the input's kind: grey keeps the luma, RGBA gets an opaque
// alpha (the transparency was used up by laying the picture over the
// background).
void Scatter(const uint8_t* rgb, size_t pixels, int channels, uint8_t* out) {
    for (size_t i = 0; i < pixels; ++i, rgb += 3) {
        if (channels == 1) {
            out[i] = Luma(rgb);
        } else if (channels == 3) {
            out[3 * i] = rgb[0];
            out[3 * i + 1] = rgb[1];
            out[3 * i + 2] = rgb[2];
        } else {
            out[4 * i] = rgb[0];
            out[4 * i + 1] = rgb[1];
            out[4 * i + 2] = rgb[2];
            out[4 * i + 3] = 255;
        }
    }
}

// The tool's mapping of its options to the host layer's.
polarmosaic::MosaicOptions HostOptions(const Settings& s, int width) {
    polarmosaic::MosaicOptions options;
    if (s.classic) {
        options.geometry = polarmosaic::kGeometryClassic;
        options.tileWidth = s.tile_width > 0 ? s.tile_width : polarmosaic::SectorTileWidth(width, s.sectors);
        options.tileHeight = s.tile_height > 0 ? s.tile_height : polarmosaic::RingTileHeight(s.ring);
        options.tileCols = s.cols;
        options.tileRows = s.rows;
        options.splitRemainder = s.split;
    } else {
        options.geometry = polarmosaic::kGeometryFitted;
        options.sectors = s.sectors;
        long ring = std::lround(s.ring);
        options.ringWidth = static_cast<int>(ring < 1 ? 1 : ring);
    }
    options.borderMode = s.border;
    options.borderWidth = s.border_width;
    for (int c = 0; c < 3; ++c) options.borderColor[c] = s.border_color[c];
    options.shade[polarmosaic::kShadeOuter] = s.shades[0];
    options.shade[polarmosaic::kShadeInner] = s.shades[1];
    options.shade[polarmosaic::kShadeLeft] = s.shades[2];
    options.shade[polarmosaic::kShadeRight] = s.shades[3];
    options.threads = s.threads;
    return options;
}

py::array Apply(const py::array& image, const Settings& settings) {
    Layout layout = CheckArray(image);
    int height = ClampedDimension(image.shape(0));
    int width = ClampedDimension(image.shape(1));
    std::string reason = polarmosaic::CheckImageSize(width, height);
    if (!reason.empty()) throw py::value_error(reason);
    polarmosaic::MosaicOptions options = HostOptions(settings, width);
    reason = polarmosaic::CheckOptions(options, width, height);
    if (!reason.empty()) throw py::value_error(reason);
    const uint64_t needed = CallBytes(width, height, layout.channels);
    if (settings.max_memory > 0 && needed > settings.max_memory) {
        throw py::value_error(TooMuchMemory(width, height, needed, settings.max_memory));
    }

    std::vector<py::ssize_t> shape(image.shape(), image.shape() + image.ndim());
    py::array_t<uint8_t> result(shape);  // C-contiguous
    const uint8_t* src = static_cast<const uint8_t*>(image.data());
    uint8_t* dst = result.mutable_data();
    const py::ssize_t* strides = image.strides();
    {
        // Both arrays stay referenced by this frame, so their memory lives on.
        py::gil_scoped_release release;
        size_t pixels = static_cast<size_t>(width) * height;
        std::unique_ptr<polarmosaic::MosaicHost> own;
        polarmosaic::MosaicHost* host = HostFor(width, height, &own);
        // The fitted plan, measured before anything large is taken.
        const uint64_t plan = host->PlanBytes(width, height, options, &reason);
        if (reason.empty() && settings.max_memory > 0 && needed + plan > settings.max_memory) {
            reason = TooMuchMemory(width, height, needed + plan, settings.max_memory);
        }
        std::vector<uint8_t> rgb(reason.empty() ? pixels * 3 : 0);
        if (reason.empty()) Gather(src, strides, layout, width, height, settings.background, rgb.data());
        if (reason.empty() && host->Prepare(width, height, options, &reason)) {
            ptrdiff_t stride = static_cast<ptrdiff_t>(width) * 3;
            host->Apply(rgb.data(), stride, rgb.data(), stride);
            Scatter(rgb.data(), pixels, layout.channels, dst);
        }
    }
    if (!reason.empty()) throw py::value_error(reason);
    return std::move(result);
}

}  // namespace

PYBIND11_MODULE(_polarmosaic, m) {
    m.doc() = "Native part of polarmosaic; use polarmosaic.mosaic.";
    pthread_atfork(nullptr, nullptr, ForgetHostAfterFork);
    m.attr("__version__") = POLARMOSAIC_VERSION_STRING;
    // Ring thicknesses the tool takes: one to 32767 polar rows.
    m.attr("MIN_RING") = polarmosaic::kPixelsPerPolarRow;
    m.attr("MAX_RING") = 32767 * polarmosaic::kPixelsPerPolarRow;
    m.attr("MAX_BORDER_WIDTH") = polarmosaic::kMaxBorderWidth;
    m.attr("MAX_SHADE") = polarmosaic::kMaxShadeFactor;
    m.attr("MAX_THREADS") = polarmosaic::kMaxThreads;

    m.def(
        "apply",
        [](const py::array& image, bool classic, int sectors, double ring, int tile_width, int tile_height,
           int cols, int rows, bool split, int border, int border_width, std::array<int, 3> border_color,
           std::array<float, 4> shades, std::array<int, 3> background, int threads, uint64_t max_memory) {
            Settings s;
            s.classic = classic;
            s.sectors = sectors;
            s.ring = ring;
            s.tile_width = tile_width;
            s.tile_height = tile_height;
            s.cols = cols;
            s.rows = rows;
            s.split = split;
            s.border = border;
            s.border_width = border_width;
            s.border_color = border_color;
            s.shades = shades;
            s.background = background;
            s.threads = threads;
            s.max_memory = max_memory;
            return Apply(image, s);
        },
        py::arg("image").noconvert(), py::arg("classic"), py::arg("sectors"), py::arg("ring"),
        py::arg("tile_width"), py::arg("tile_height"), py::arg("cols"), py::arg("rows"), py::arg("split"),
        py::arg("border"), py::arg("border_width"), py::arg("border_color"), py::arg("shades"),
        py::arg("background"), py::arg("threads"), py::arg("max_memory"),
        "The effect on a checked array with checked settings (see "
        "polarmosaic.mosaic).");

    m.def(
        "checksum",
        [](const py::array_t<uint8_t, py::array::c_style>& rgb) {
            if (rgb.ndim() != 3 || rgb.shape(2) != 3) {
                throw py::type_error("checksum needs an H x W x 3 uint8 array");
            }
            const int height = static_cast<int>(rgb.shape(0));
            const int width = static_cast<int>(rgb.shape(1));
            uint64_t sum;
            {
                py::gil_scoped_release release;
                sum =
                    polarmosaic::PixelChecksum(rgb.data(), width, height, static_cast<ptrdiff_t>(width) * 3);
            }
            return polarmosaic::ChecksumHex(sum);
        },
        py::arg("rgb").noconvert(), "FNV-1a 64 checksum of contiguous RGB pixels, as 16 hex digits.");
}
