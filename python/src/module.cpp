// module.cpp - polarmosaic._polarmosaic, the Python extension over the host
// layer. Checks the array (TypeError), lets the host layer check the size and
// options (ValueError with its reason), then runs the effect on the pixels
// from any strides and writes a new array, all without the GIL. Mosaic keeps
// a host, and so the fitted geometry's plan, from frame to frame. Keyword
// parsing and the docstrings live in polarmosaic/__init__.py; the defaults,
// limits and parsers of the settings come from the host layer.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "mosaic_host.h"
#include "option_table.h"
#include "pixel_checksum.h"

namespace py = pybind11;

namespace {

using polarmosaic::CentreSpec;
using polarmosaic::Length;

// The host options a default call has.
const polarmosaic::MosaicOptions& HostDefaults() {
    static const polarmosaic::MosaicOptions defaults;
    return defaults;
}

// Settings already checked one by one on the Python side; what depends on
// the image (lengths in per cent, the centre, tile counts, sizes) is
// resolved and checked here by the host layer.
struct Settings {
    bool classic = false;
    int sectors = polarmosaic::kDefaultSectors;
    std::optional<Length> ring;        // none: the geometry's default
    std::optional<Length> line_width;  // none: the geometry's default
    CentreSpec centre;                 // the middle
    double angle = 0.0;
    bool hard_edges = false;
    int tile_width = 0;   // 0: from sectors
    int tile_height = 0;  // 0: from ring
    int cols = 0;
    int rows = 0;
    bool split = false;
    int border = polarmosaic::kBorderGrid;
    // The host's defaults, not numbers of their own.
    std::array<int, 3> border_color = {HostDefaults().borderColor[0], HostDefaults().borderColor[1],
                                       HostDefaults().borderColor[2]};
    std::array<float, 4> shades = {HostDefaults().shade[0], HostDefaults().shade[1], HostDefaults().shade[2],
                                   HostDefaults().shade[3]};  // outer inner ccw cw
    std::array<int, 3> background = {255, 255, 255};
    int threads = 0;          // 0: every core
    uint64_t max_memory = 0;  // bytes one call may take; 0: no limit
};

// The keywords as the host's user settings, resolved for the picture.
polarmosaic::MosaicOptions HostOptions(const Settings& s, int width, int height, std::string* reason) {
    using namespace polarmosaic;
    UserSettings u;
    u.classic = s.classic;
    u.sectors = s.sectors;
    if (s.ring) u.ring = *s.ring;
    u.line_width_given = s.line_width.has_value();
    if (s.line_width) u.line_width = *s.line_width;
    u.centre = s.centre;
    u.tile_width = s.tile_width;
    u.tile_height = s.tile_height;
    MosaicOptions& o = u.mosaic;
    o.tileCols = s.cols;
    o.tileRows = s.rows;
    o.splitRemainder = s.split;
    o.angle = s.angle;
    o.hardEdges = s.hard_edges;
    o.borderMode = s.border;
    for (int c = 0; c < 3; ++c) o.borderColor[c] = s.border_color[c];
    for (int k = 0; k < 4; ++k) o.shade[k] = s.shades[k];
    o.threads = s.threads;
    return ResolveSettings(u, width, height, reason);
}

// Planes up to this size stay allocated between calls (see HostFor).
constexpr size_t kMaxKeptPlaneBytes = size_t{64} << 20;

// One host per Python thread, kept between calls so that a series of
// pictures reuses its planes, plan and thread pool. A picture with larger
// planes gets a host of its own, freed after the call: one huge picture
// does not hold its memory for the rest of the process.
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
    return polarmosaic::AlphaOver(colour, alpha, background);
}

// Luma of an RGB pixel (as the tool's PGM output).
inline uint8_t Luma(const uint8_t* rgb) { return polarmosaic::Luma(rgb[0], rgb[1], rgb[2]); }

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
// interleaved copy (RGBA when alpha is kept) and the host's plane sets
// (two alpha planes more when alpha is kept).
uint64_t CallBytes(int width, int height, int channels, bool keep_alpha) {
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    const uint64_t plane =
        static_cast<uint64_t>(lcw16(static_cast<int16_t>(width))) * static_cast<uint64_t>(height);
    return pixels * static_cast<uint64_t>(channels) + pixels * (keep_alpha ? 4 : 3) +
           plane * (keep_alpha ? 8 : 6);
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

// The pixels of an array: where they are and how they are laid out.
struct Pixels {
    const uint8_t* base;
    py::ssize_t sy, sx, sc;  // sc 0 for a plain H x W array
    Layout layout;
    int width, height;
};

Pixels PixelsOf(const py::array& image, Layout layout) {
    Pixels p;
    p.base = static_cast<const uint8_t*>(image.data());
    p.sy = image.strides(0);
    p.sx = image.strides(1);
    p.sc = layout.two_dimensional ? 0 : image.strides(2);
    p.layout = layout;
    p.height = ClampedDimension(image.shape(0));
    p.width = ClampedDimension(image.shape(1));
    return p;
}

// Interleaved RGB (or RGBA with keep_alpha) from any strides: grey becomes
// three equal channels; without keep_alpha, alpha is laid over the
// background.
void Gather(const Pixels& p, bool keep_alpha, const std::array<int, 3>& background, uint8_t* out) {
    const int step = keep_alpha ? 4 : 3;
    for (int y = 0; y < p.height; ++y) {
        const uint8_t* row = p.base + y * p.sy;
        uint8_t* d = out + static_cast<size_t>(y) * p.width * step;
        for (int x = 0; x < p.width; ++x, d += step) {
            const uint8_t* s = row + x * p.sx;
            if (p.layout.channels == 1) {
                d[0] = d[1] = d[2] = s[0];
            } else if (p.layout.channels == 3 || keep_alpha) {
                d[0] = s[0];
                d[1] = s[p.sc];
                d[2] = s[2 * p.sc];
                if (keep_alpha) d[3] = s[3 * p.sc];
            } else {
                uint32_t alpha = s[3 * p.sc];
                d[0] = Over(s[0], alpha, static_cast<uint32_t>(background[0]));
                d[1] = Over(s[p.sc], alpha, static_cast<uint32_t>(background[1]));
                d[2] = Over(s[2 * p.sc], alpha, static_cast<uint32_t>(background[2]));
            }
        }
    }
}

// The result of interleaved RGB in the input's kind: grey keeps the luma,
// RGBA gets an opaque alpha (the transparency was used up by laying the
// picture over the background).
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

// Runs a prepared host on the pixels into dst (C-contiguous, the input's
// shape), without the GIL. RGB and RGBA rows of packed pixels go to the
// host as they are; other layouts through *buffer.
void RunHost(polarmosaic::MosaicHost* host, const Pixels& p, bool keep_alpha,
             const std::array<int, 3>& background, std::vector<uint8_t>* buffer, uint8_t* dst) {
    const int channels = p.layout.channels;
    const size_t pixels = static_cast<size_t>(p.width) * p.height;
    const ptrdiff_t dst_stride = static_cast<ptrdiff_t>(p.width) * channels;
    const bool packed = !p.layout.two_dimensional && p.sx == channels && p.sc == 1;
    if (packed && channels == 3) {
        host->Apply(p.base, p.sy, dst, dst_stride, 3);
    } else if (packed && keep_alpha) {
        host->Apply(p.base, p.sy, dst, dst_stride, 4);
    } else if (keep_alpha) {
        buffer->resize(pixels * 4);
        Gather(p, true, background, buffer->data());
        host->Apply(buffer->data(), dst_stride, dst, dst_stride, 4);
    } else {
        buffer->resize(pixels * 3);
        Gather(p, false, background, buffer->data());
        const ptrdiff_t stride = static_cast<ptrdiff_t>(p.width) * 3;
        host->Apply(buffer->data(), stride, buffer->data(), stride, 3);
        Scatter(buffer->data(), pixels, channels, dst);
    }
}

py::array_t<uint8_t> ResultFor(const py::array& image) {
    std::vector<py::ssize_t> shape(image.shape(), image.shape() + image.ndim());
    return py::array_t<uint8_t>(shape);  // C-contiguous
}

py::array Apply(const py::array& image, const Settings& settings) {
    const Layout layout = CheckArray(image);
    const Pixels pixels = PixelsOf(image, layout);
    const int width = pixels.width;
    const int height = pixels.height;
    std::string reason = polarmosaic::CheckImageSize(width, height);
    if (!reason.empty()) throw py::value_error(reason);
    const polarmosaic::MosaicOptions options = HostOptions(settings, width, height, &reason);
    if (reason.empty()) reason = polarmosaic::CheckOptions(options, width, height);
    if (!reason.empty()) throw py::value_error(reason);
    const bool keep_alpha = !settings.classic && layout.channels == 4;
    const uint64_t needed = CallBytes(width, height, layout.channels, keep_alpha);
    std::unique_ptr<polarmosaic::MosaicHost> own;
    polarmosaic::MosaicHost* host = nullptr;
    {
        py::gil_scoped_release release;
        host = HostFor(width, height, &own);
        // The fitted plan, measured before anything large is taken, so that
        // a refusal names the whole need.
        const uint64_t plan = host->PlanBytes(width, height, options, &reason);
        if (reason.empty() && settings.max_memory > 0 && needed + plan > settings.max_memory) {
            reason = TooMuchMemory(width, height, needed + plan, settings.max_memory);
        }
    }
    if (!reason.empty()) throw py::value_error(reason);

    py::array_t<uint8_t> result = ResultFor(image);
    uint8_t* dst = result.mutable_data();
    {
        // Both arrays stay referenced by this frame, so their memory lives on.
        py::gil_scoped_release release;
        if (host->Prepare(width, height, options, &reason)) {
            std::vector<uint8_t> buffer;
            RunHost(host, pixels, keep_alpha, settings.background, &buffer, dst);
        }
    }
    if (!reason.empty()) throw py::value_error(reason);
    return std::move(result);
}

// A host prepared once for one picture size and settings (and so one
// fitted plan), applied to frame after frame. One frame at a time: a call
// from another thread waits for the one running.
class Mosaic {
public:
    Mosaic(int width, int height, const Settings& settings)
        : settings_(settings), width_(width), height_(height) {
        std::string reason = polarmosaic::CheckImageSize(width, height);
        if (reason.empty()) options_ = HostOptions(settings, width, height, &reason);
        if (reason.empty()) reason = polarmosaic::CheckOptions(options_, width, height);
        if (!reason.empty()) throw py::value_error(reason);
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            reason = PrepareLocked(CallBytes(width, height, 3, false));
        }
        if (!reason.empty()) throw py::value_error(reason);
    }

    py::array Apply(const py::array& image) {
        const Layout layout = CheckArray(image);
        const Pixels pixels = PixelsOf(image, layout);
        if (pixels.width != width_ || pixels.height != height_) {
            throw py::value_error("frame is " + std::to_string(image.shape(1)) + " x " +
                                  std::to_string(image.shape(0)) + " pixels; this Mosaic was made for " +
                                  std::to_string(width_) + " x " + std::to_string(height_));
        }
        const bool keep_alpha = !settings_.classic && layout.channels == 4;
        py::array_t<uint8_t> result = ResultFor(image);
        uint8_t* dst = result.mutable_data();
        std::string reason;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            const uint64_t needed = CallBytes(width_, height_, layout.channels, keep_alpha);
            if (getpid() != pid_) {
                reason = PrepareLocked(needed);  // a forked child: a host of its own
            } else if (settings_.max_memory > 0 && needed + plan_bytes_ > settings_.max_memory) {
                reason = TooMuchMemory(width_, height_, needed + plan_bytes_, settings_.max_memory);
            }
            if (reason.empty()) RunHost(host_.get(), pixels, keep_alpha, settings_.background, &buffer_, dst);
        }
        if (!reason.empty()) throw py::value_error(reason);
        return std::move(result);
    }

    int width() const { return width_; }
    int height() const { return height_; }
    int plan_builds() const { return builds_before_ + (host_ ? host_->plan_builds() : 0); }

private:
    // A new host, its plan measured against the memory limit and built.
    // Called with mutex_ held and without the GIL.
    std::string PrepareLocked(uint64_t needed) {
        if (host_) {
            builds_before_ += host_->plan_builds();
            // Another process's pool threads: the host is left, not destroyed.
            if (getpid() != pid_) (void)host_.release();
        }
        host_.reset(new polarmosaic::MosaicHost);
        pid_ = getpid();
        std::string reason;
        plan_bytes_ = host_->PlanBytes(width_, height_, options_, &reason);
        if (reason.empty() && settings_.max_memory > 0 && needed + plan_bytes_ > settings_.max_memory) {
            reason = TooMuchMemory(width_, height_, needed + plan_bytes_, settings_.max_memory);
        }
        if (reason.empty()) host_->Prepare(width_, height_, options_, &reason);
        return reason;
    }

    Settings settings_;
    polarmosaic::MosaicOptions options_;
    int width_;
    int height_;
    std::mutex mutex_;
    std::unique_ptr<polarmosaic::MosaicHost> host_;
    pid_t pid_ = 0;
    uint64_t plan_bytes_ = 0;
    int builds_before_ = 0;
    std::vector<uint8_t> buffer_;
};

std::pair<double, bool> LengthPair(const Length& length) { return {length.value, length.relative}; }

// The host's option table as Python dicts, the one source of the keywords'
// names, kinds, limits and defaults.
py::list OptionTableList() {
    static const char* const kKinds[] = {"whole", "number", "length", "choice", "flag", "colour", "centre"};
    static const char* const kScopes[] = {"both", "fitted", "classic"};
    py::list table;
    for (const polarmosaic::OptionEntry& entry : polarmosaic::OptionTable()) {
        py::dict d;
        d["name"] = entry.name;
        d["kind"] = kKinds[entry.kind];
        d["scope"] = kScopes[entry.scope];
        d["min"] = entry.min;
        d["max"] = entry.max;
        d["step"] = entry.step;
        d["min_percent"] = entry.min_percent;
        d["max_percent"] = entry.max_percent;
        d["default"] = entry.default_text;
        d["classic_default"] =
            entry.classic_default_text.empty() ? entry.default_text : entry.classic_default_text;
        d["choices"] = entry.choices;
        table.append(d);
    }
    return table;
}

// The host's reason for the values that do not depend on a picture (sector
// count of the fitted geometry, border mode, colour, shades, threads): its
// CheckOptions on a 2 x 2 picture, where lengths and the centre take values
// it always accepts. Empty when they are usable.
std::string SettingsReason(const Settings& s) {
    polarmosaic::MosaicOptions o;
    o.geometry = polarmosaic::kGeometryFitted;
    o.sectors = s.classic ? 1 : s.sectors;  // the classic geometry turns sectors into a tile width
    o.ringWidth = 1;
    o.borderWidth = 0;
    o.angle = std::isfinite(s.angle) ? s.angle : 0.0;
    o.borderMode = s.border;
    for (int c = 0; c < 3; ++c) o.borderColor[c] = s.border_color[c];
    for (int k = 0; k < 4; ++k) o.shade[k] = s.shades[k];
    o.threads = s.threads;
    return polarmosaic::CheckOptions(o, 2, 2);
}

std::optional<Length> LengthFrom(const std::optional<std::pair<double, bool>>& pair) {
    if (!pair) return std::nullopt;
    Length length;
    length.value = pair->first;
    length.relative = pair->second;
    return length;
}

}  // namespace

PYBIND11_MODULE(_polarmosaic, m) {
    using namespace polarmosaic;
    m.doc() = "Native part of polarmosaic; use polarmosaic.mosaic and polarmosaic.Mosaic.";
    pthread_atfork(nullptr, nullptr, ForgetHostAfterFork);
    m.attr("__version__") = POLARMOSAIC_VERSION_STRING;
    m.attr("MAX_BORDER_WIDTH") = kMaxBorderWidth;
    m.attr("MAX_SHADE") = kMaxShadeFactor;
    m.attr("MAX_THREADS") = kMaxThreads;
    m.attr("MAX_TILE_SIZE") = kMaxTileSize;
    // Defaults and rules of the settings, as the tool has them.
    m.attr("DEFAULT_SECTORS") = kDefaultSectors;
    m.attr("DEFAULT_RING") = LengthPair(kDefaultRing);
    m.attr("DEFAULT_LINE_WIDTH") = LengthPair(kDefaultLineWidth);
    m.attr("CLASSIC_RING") = LengthPair(kClassicRing);
    m.attr("CLASSIC_LINE_WIDTH") = LengthPair(kClassicLineWidth);
    m.attr("RING_RULE") = py::str(kRingRule);
    m.attr("LINE_WIDTH_RULE") = py::str(kLineWidthRule);
    m.attr("CENTRE_RULE") = py::str(kCentreRule);
    m.attr("ANGLE_RULE") = py::str(kAngleRule);

    m.def("option_table", &OptionTableList,
          "The host's option table: one dict per option (name as the tool's long option, kind, "
          "scope, limits, default, classic_default, choices), in the tool's order.");
    m.def("settings_reason", &SettingsReason, py::arg("settings"),
          "The host's reason for refusing the picture-independent settings, or ''.");

    m.def(
        "parse_length",
        [](const std::string& text) -> std::optional<std::pair<double, bool>> {
            Length length;
            if (!ParseLength(text, &length)) return std::nullopt;
            return LengthPair(length);
        },
        py::arg("text"), "(value, relative) of '28' or '4%', or None.");
    m.def(
        "ring_usable",
        [](double value, bool relative) {
            return RingLengthUsable(Length{value, relative});
        },
        py::arg("value"), py::arg("relative"));
    m.def(
        "line_width_usable",
        [](double value, bool relative) {
            return LineWidthUsable(Length{value, relative});
        },
        py::arg("value"), py::arg("relative"));
    m.def(
        "parse_centre",
        [](const std::string& text) -> std::optional<std::tuple<double, bool, double, bool>> {
            CentreSpec centre;
            if (!ParseCentre(text, &centre)) return std::nullopt;
            return std::make_tuple(centre.x, centre.x_relative, centre.y, centre.y_relative);
        },
        py::arg("text"), "(x, x_relative, y, y_relative) of 'X,Y', or None.");
    m.def(
        "parse_angle",
        [](const std::string& text) -> std::optional<double> {
            double degrees = 0.0;
            if (!ParseAngle(text, &degrees)) return std::nullopt;
            return degrees;
        },
        py::arg("text"));
    m.def("angle_usable", &AngleUsable, py::arg("degrees"));

    py::class_<Settings>(m, "Settings", "Settings checked by polarmosaic.check_options.")
        .def(py::init<>())
        .def_readwrite("classic", &Settings::classic)
        .def_readwrite("sectors", &Settings::sectors)
        .def_property(
            "ring",
            [](const Settings& s) { return s.ring ? std::optional(LengthPair(*s.ring)) : std::nullopt; },
            [](Settings& s, std::optional<std::pair<double, bool>> v) { s.ring = LengthFrom(v); })
        .def_property(
            "line_width",
            [](const Settings& s) {
                return s.line_width ? std::optional(LengthPair(*s.line_width)) : std::nullopt;
            },
            [](Settings& s, std::optional<std::pair<double, bool>> v) { s.line_width = LengthFrom(v); })
        .def_property(
            "centre",
            [](const Settings& s) {
                return std::make_tuple(s.centre.x, s.centre.x_relative, s.centre.y, s.centre.y_relative);
            },
            [](Settings& s, std::tuple<double, bool, double, bool> v) {
                std::tie(s.centre.x, s.centre.x_relative, s.centre.y, s.centre.y_relative) = v;
            })
        .def_readwrite("angle", &Settings::angle)
        .def_readwrite("hard_edges", &Settings::hard_edges)
        .def_readwrite("tile_width", &Settings::tile_width)
        .def_readwrite("tile_height", &Settings::tile_height)
        .def_readwrite("cols", &Settings::cols)
        .def_readwrite("rows", &Settings::rows)
        .def_readwrite("split", &Settings::split)
        .def_readwrite("border", &Settings::border)
        .def_readwrite("border_color", &Settings::border_color)
        .def_readwrite("shades", &Settings::shades)
        .def_readwrite("background", &Settings::background)
        .def_readwrite("threads", &Settings::threads)
        .def_readwrite("max_memory", &Settings::max_memory);

    m.def("apply", &Apply, py::arg("image").noconvert(), py::arg("settings"),
          "The effect on a checked array with checked settings (see polarmosaic.mosaic).");

    py::class_<Mosaic>(m, "Mosaic", "A host prepared for one picture size (see polarmosaic.Mosaic).")
        .def(py::init<int, int, const Settings&>(), py::arg("width"), py::arg("height"), py::arg("settings"))
        .def("apply", &Mosaic::Apply, py::arg("image").noconvert())
        .def_property_readonly("width", &Mosaic::width)
        .def_property_readonly("height", &Mosaic::height)
        .def_property_readonly("plan_builds", &Mosaic::plan_builds);

    m.def(
        "composite",
        [](const py::array& image, std::array<int, 3> background) {
            const Layout layout = CheckArray(image);
            if (layout.channels != 4) throw py::type_error("composite needs an H x W x 4 (RGBA) array");
            const Pixels pixels = PixelsOf(image, layout);
            py::array_t<uint8_t> result({image.shape(0), image.shape(1), py::ssize_t{3}});
            uint8_t* dst = result.mutable_data();
            {
                py::gil_scoped_release release;
                Gather(pixels, false, background, dst);
            }
            return result;
        },
        py::arg("image").noconvert(), py::arg("background"),
        "RGB of an RGBA array laid over the background, as mosaic's classic geometry and the tool do.");

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
