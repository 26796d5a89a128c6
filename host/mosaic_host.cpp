// mosaic_host.cpp - buffers, checks and plane conversion around the module.
#include "mosaic_host.h"

#include <math.h>
#include <string.h>
#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>

namespace polarmosaic {

namespace {

constexpr int kMaxInt16 = 32767;

std::string Str(int value) { return std::to_string(value); }

bool FitsInt16(int value) { return value >= -32768 && value <= kMaxInt16; }

const char* AxisTileName(bool columns) { return columns ? "tile columns" : "tile rows"; }

// The module's check decides what it accepts; these messages only explain
// its answer in the options' terms. Its record check reads no buffer, only
// whether each pointer is present, so one placeholder byte stands for all.
uint8_t placeholder_byte;

// A record of a width x height image with the given grid, every pointer set.
PolarMosaicParam CheckRecord(int width, int height, int tile_width, int tile_height, int cols, int rows) {
    PolarMosaicParam p = PolarMosaicParam();
    for (int c = 0; c < 3; ++c) {
        p.inPlane[c] = &placeholder_byte;
        p.outPlane[c] = &placeholder_byte;
    }
    for (int r = 0; r < 12; ++r) p.ramp[r] = &placeholder_byte;
    p.tileWidths = reinterpret_cast<int16_t*>(&placeholder_byte);
    p.tileHeights = reinterpret_cast<int16_t*>(&placeholder_byte);
    p.width = static_cast<int16_t>(width);
    p.height = static_cast<int16_t>(height);
    p.lineBytes = lcw16(p.width);
    p.planeBytes = static_cast<int32_t>(height) * p.lineBytes;
    p.tileWidth = static_cast<int16_t>(tile_width);
    p.tileHeight = static_cast<int16_t>(tile_height);
    p.tileCols = static_cast<int16_t>(cols);
    p.tileRows = static_cast<int16_t>(rows);
    p.borderMode = POLARMOSAIC_BORDER_NONE;
    return p;
}

std::string ModuleSays(int status) { return std::string(" (") + polarMosaicStatusText(status) + ")"; }

// Checks one axis of a width x height image (a size the module takes):
// nominal tile size and tile count, the other axis set to one whole tile.
std::string CheckAxis(bool columns, int width, int height, int tile, int count) {
    const char* size_name = columns ? "tile width" : "tile height";
    const int dimension = columns ? width : height;
    const std::string tile_range = " is out of range (1 .. " + Str(kMaxTileSize) + ")";
    if (!FitsInt16(tile)) return std::string(size_name) + " " + Str(tile) + tile_range;
    // 0 is the host's "cover the axis", not a count for the module.
    const int used = count == 0 && tile > 0 ? CoveringTileCount(dimension, tile, true) : count;
    if (!FitsInt16(used)) {
        return std::string(AxisTileName(columns)) + " " + Str(count) + " is out of range";
    }
    const PolarMosaicParam p = columns ? CheckRecord(width, height, tile, height, used, 1)
                                       : CheckRecord(width, height, width, tile, 1, used);
    const int status = checkPolarMosaicParam(&p);
    if (status == POLARMOSAIC_BAD_TILE_SIZE) {
        return std::string(size_name) + " " + Str(tile) + tile_range + ModuleSays(status);
    }
    if (status == POLARMOSAIC_BAD_TILE_COUNT || (count < 0 && status == POLARMOSAIC_OK)) {
        return std::string(AxisTileName(columns)) + " " + Str(count) + " does not fit a " + Str(dimension) +
               "-" + (columns ? "column" : "row") + " polar image with " + size_name + " " + Str(tile) +
               ": allowed " + Str(MinTileCount(dimension, tile)) + " .. " +
               Str(MaxTileCount(dimension, tile)) + ", or 0 to cover the image" +
               (status == POLARMOSAIC_OK ? std::string() : ModuleSays(status));
    }
    if (status != POLARMOSAIC_OK) {
        return std::string("the effect refuses the ") + size_name + " and " + AxisTileName(columns) +
               ModuleSays(status);
    }
    return std::string();
}

}  // namespace

// The width - 1 columns of a full turn rarely divide evenly, and the
// left-over columns would form a thin extra sector where the turn closes; a
// tile width that divides the width exactly avoids it.
int SectorTileWidth(int width, int sectors) {
    if (sectors < 1) sectors = 1;  // no sectors is no division of the turn
    double ideal = static_cast<double>(width - 1) / sectors;
    int nearest = static_cast<int>(std::lround(ideal));
    if (nearest < 1) nearest = 1;
    if (width % nearest == 0) return nearest;
    int best = 0;
    int lo = std::max(1, static_cast<int>(std::floor(ideal * 0.85)));
    int hi = static_cast<int>(std::ceil(ideal * 1.15));
    for (int t = lo; t <= hi; ++t) {
        if (width % t == 0 && (best == 0 || std::fabs(t - ideal) < std::fabs(best - ideal))) {
            best = t;
        }
    }
    return best ? best : nearest;
}

int RingTileHeight(double ring_pixels) {
    long rows = std::lround(ring_pixels / kPixelsPerPolarRow);
    return static_cast<int>(rows < 1 ? 1 : rows);
}

namespace {

// "12.5" or "12.5%": the number and whether it was relative.
bool ParseNumberOrPercent(const std::string& text, double* value, bool* relative) {
    std::string number = text;
    *relative = !number.empty() && number.back() == '%';
    if (*relative) number.pop_back();
    if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos) return false;
    char* end = nullptr;
    const double v = strtod(number.c_str(), &end);
    if (end == nullptr || *end != '\0' || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

double HalfDiagonal(int width, int height) {
    return 0.5 * std::sqrt(static_cast<double>(width) * width + static_cast<double>(height) * height);
}

std::string NumberText(double value) {
    char text[32];
    snprintf(text, sizeof(text), "%g", value);
    return text;
}

}  // namespace

bool ParseLength(const std::string& text, Length* length) {
    Length l;
    if (!ParseNumberOrPercent(text, &l.value, &l.relative)) return false;
    *length = l;
    return true;
}

double LengthPixels(const Length& length, int width, int height) {
    return length.relative ? length.value / 100.0 * HalfDiagonal(width, height) : length.value;
}

int ResolveLength(const Length& length, int width, int height, int minimum) {
    const double pixels = LengthPixels(length, width, height);
    if (!(pixels < 1e9)) return 1000000000;
    const long rounded = std::lround(pixels);
    return static_cast<int>(rounded < minimum ? minimum : rounded);
}

std::string LengthText(const Length& length) {
    return NumberText(length.value) + (length.relative ? "%" : "");
}

bool ParseCentre(const std::string& text, CentreSpec* centre) {
    const size_t comma = text.find(',');
    if (comma == std::string::npos) return false;
    CentreSpec c;
    if (!ParseNumberOrPercent(text.substr(0, comma), &c.x, &c.x_relative) ||
        !ParseNumberOrPercent(text.substr(comma + 1), &c.y, &c.y_relative))
        return false;
    *centre = c;
    return true;
}

bool ResolveCentre(const CentreSpec& centre, int width, int height, int* x2, int* y2, std::string* error) {
    const double x = centre.x_relative ? centre.x / 100.0 * (width - 1) : centre.x;
    const double y = centre.y_relative ? centre.y / 100.0 * (height - 1) : centre.y;
    if (!(x >= 0.0 && x <= width - 1 && y >= 0.0 && y <= height - 1)) {
        if (error) {
            *error = "centre " + NumberText(centre.x) + (centre.x_relative ? "%" : "") + "," +
                     NumberText(centre.y) + (centre.y_relative ? "%" : "") + " lies outside the " +
                     Str(width) + " x " + Str(height) + " picture (0 .. " + Str(width - 1) + ", 0 .. " +
                     Str(height - 1) + ")";
        }
        return false;
    }
    *x2 = static_cast<int>(std::lround(2.0 * x));
    *y2 = static_cast<int>(std::lround(2.0 * y));
    return true;
}

const char kRingRule[] = "a ring thickness in pixels (up to 65535) or per cent (up to 200%)";
const char kLineWidthRule[] = "a line width in whole pixels (0 .. 1024) or per cent (up to 100%)";
const char kCentreRule[] = "X,Y in pixels or per cent, e.g. 30%,40%";
const char kAngleRule[] = "an angle in degrees";

bool RingLengthUsable(const Length& ring) {
    return ring.value > 0.0 && ring.value <= (ring.relative ? kMaxRingPercent : kMaxRingPixels);
}

bool LineWidthUsable(const Length& width) {
    if (width.relative) return width.value >= 0.0 && width.value <= kMaxLineWidthPercent;
    return width.value >= 0.0 && width.value <= kMaxBorderWidth && width.value == std::floor(width.value);
}

bool AngleUsable(double degrees) { return std::isfinite(degrees) && std::fabs(degrees) <= kMaxAngle; }

bool ParseAngle(const std::string& text, double* degrees) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = strtod(text.c_str(), &end);
    if (*end != '\0' || !AngleUsable(v)) return false;
    *degrees = v;
    return true;
}

void SetMosaicSettings(const MosaicOptions& options, int cols, int rows, PolarMosaicParam* param) {
    param->tileWidth = static_cast<int16_t>(options.tileWidth);
    param->tileHeight = static_cast<int16_t>(options.tileHeight);
    param->tileCols = static_cast<int16_t>(cols);
    param->tileRows = static_cast<int16_t>(rows);
    param->splitRemainder = options.splitRemainder ? 1 : 0;
    param->borderMode = static_cast<int16_t>(options.borderMode);
    param->borderWidth = static_cast<int16_t>(options.borderWidth);
    for (int c = 0; c < 3; ++c) param->borderValue[c] = static_cast<int16_t>(options.borderColor[c]);
    for (int s = 0; s < 4; ++s) param->shade[s] = options.shade[s];
}

int CoveringTileCount(int dimension, int tile, bool split) {
    int whole = dimension / tile;
    if (whole * tile == dimension) return whole;
    // Without the split the module drops one from the count before laying
    // the tiles, so an axis shorter than one tile still needs 2.
    int count = whole + (split ? 2 : 1);
    return count < 2 ? 2 : count;
}

// The range of counts checkPolarMosaicParam accepts, for messages (the host
// itself also refuses counts below 1, where the module takes any count up to
// the maximum on an exact fit). With an exact fit the module lays count
// nominal tiles, so any count up to dimension / tile stays inside the image;
// with a remainder it needs room for the edge tiles: 2 .. dimension / tile + 2.
int MinTileCount(int dimension, int tile) { return dimension % tile == 0 ? 1 : 2; }

int MaxTileCount(int dimension, int tile) {
    int whole = dimension / tile;
    return dimension % tile == 0 ? whole : whole + 2;
}

std::string CheckImageSize(int width, int height) {
    std::string size = Str(width) + " x " + Str(height);
    const PolarMosaicParam p = CheckRecord(width, height, width, height, 1, 1);
    const int status =
        FitsInt16(width) && FitsInt16(height) ? checkPolarMosaicParam(&p) : POLARMOSAIC_BAD_SIZE;
    if (status == POLARMOSAIC_OK) return std::string();
    if (width < kMinImageSize || height < kMinImageSize) {
        return "image is " + size + " pixels; the effect needs at least 2 x 2";
    }
    if (status == POLARMOSAIC_BAD_SIZE) {
        return "image is " + size + " pixels; the effect handles at most 32752 x 32767";
    }
    return "image is " + size + " pixels; the effect refuses it" + ModuleSays(status);
}

std::string CheckOptions(const MosaicOptions& options, int width, int height) {
    std::string error = CheckImageSize(width, height);
    if (!error.empty()) return error;
    if (options.geometry == kGeometryClassic) {
        error = CheckAxis(true, width, height, options.tileWidth, options.tileCols);
        if (error.empty()) {
            error = CheckAxis(false, width, height, options.tileHeight, options.tileRows);
        }
        if (!error.empty()) return error;
    } else if (options.geometry == kGeometryFitted) {
        if (options.sectors < 1 || options.sectors > POLARMOSAIC_FITTED_MAX_SECTORS) {
            return "sector count " + Str(options.sectors) + " is out of range (1 .. " +
                   Str(POLARMOSAIC_FITTED_MAX_SECTORS) + ")";
        }
        if (options.ringWidth < 1 || options.ringWidth > 65535) {
            return "ring width " + Str(options.ringWidth) + " is out of range (1 .. 65535 pixels)";
        }
        if (options.centreX2 > 2 * (width - 1) || options.centreY2 > 2 * (height - 1)) {
            return "centre lies outside the " + Str(width) + " x " + Str(height) + " picture";
        }
        if (!std::isfinite(options.angle)) return "angle is not a number";
    } else {
        return "geometry " + Str(options.geometry) + " is unknown";
    }
    // The module draws nothing for other modes; the host calls that a mistake.
    if (options.borderMode < kBorderNone || options.borderMode > kBorderSpokes) {
        return "border mode " + Str(options.borderMode) + " is unknown (1 none, 2 grid, 3 rings, 4 spokes)";
    }
    if (options.borderWidth < 0 || options.borderWidth > kMaxBorderWidth) {
        return "border width " + Str(options.borderWidth) + " is out of range (0 .. " + Str(kMaxBorderWidth) +
               ")";
    }
    for (int c = 0; c < 3; ++c) {
        if (options.borderColor[c] < 0 || options.borderColor[c] > 255) {
            return "border colour component " + Str(options.borderColor[c]) + " is out of range (0 .. 255)";
        }
    }
    static const char* const kSideNames[4] = {"outer", "inner", "ccw", "cw"};
    if (options.threads < 0 || options.threads > kMaxThreads) {
        return "thread count " + Str(options.threads) + " is out of range (0 .. " + Str(kMaxThreads) +
               ", 0 for every core)";
    }
    for (int s = 0; s < 4; ++s) {
        float f = options.shade[s];
        if (!(f >= 0.0f && f <= static_cast<float>(kMaxShadeFactor))) {
            return std::string(kSideNames[s]) + " shade factor is not a number in " + "0 .. " +
                   Str(kMaxShadeFactor);
        }
    }
    return std::string();
}

MosaicOptions ResolveSettings(const UserSettings& settings, int width, int height, std::string* reason) {
    MosaicOptions mosaic = settings.mosaic;
    const bool classic = settings.classic;
    const Length ring = settings.ring.value > 0.0 ? settings.ring : classic ? kClassicRing : kDefaultRing;
    const Length line = settings.line_width_given ? settings.line_width
                        : classic                 ? kClassicLineWidth
                                                  : kDefaultLineWidth;
    mosaic.borderWidth = std::min(ResolveLength(line, width, height, 0), kMaxBorderWidth);
    if (!classic) {
        mosaic.geometry = kGeometryFitted;
        mosaic.sectors = settings.sectors;
        mosaic.ringWidth = std::min(ResolveLength(ring, width, height, 1), 65535);
        ResolveCentre(settings.centre, width, height, &mosaic.centreX2, &mosaic.centreY2, reason);
        return mosaic;
    }
    mosaic.geometry = kGeometryClassic;
    if (settings.tile_width <= 0 && settings.sectors < 1) {
        *reason =
            "sector count " + Str(settings.sectors) + " is out of range (1 .. " + Str(kMaxSectors) + ")";
        return mosaic;
    }
    mosaic.tileWidth =
        settings.tile_width > 0 ? settings.tile_width : SectorTileWidth(width, settings.sectors);
    mosaic.tileHeight =
        settings.tile_height > 0 ? settings.tile_height : RingTileHeight(LengthPixels(ring, width, height));
    return mosaic;
}

uint8_t* MosaicHost::PlaneBuffer::Reserve(size_t size) {
    if (size > capacity) {
        bytes.reset();  // the old planes go before the new ones are taken
        capacity = 0;
        bytes.reset(new uint8_t[size]);  // default-initialised: not cleared
        capacity = size;
    }
    return bytes.get();
}

// Threads for the plan and the frames: 0 for one per core.
void MosaicHost::UseThreads(int requested) {
    const int threads = requested == 0 ? ThreadPool::CoreCount() : requested;
    if (threads <= 1) {
        pool_.reset();
    } else if (!pool_ || pool_->requested() != threads) {
        pool_.reset();
        pool_.reset(new ThreadPool(threads));
    }
}

uint8_t* MosaicHost::PlaneBuffer::ReserveTouched(size_t size) {
    const bool fresh = capacity < size;
    uint8_t* plane = Reserve(size);
    if (fresh) memset(plane, 0, size);
    return plane;
}

bool MosaicHost::Prepare(int width, int height, const MosaicOptions& options, std::string* error) {
    prepared_ = false;
    std::string reason = CheckOptions(options, width, height);
    if (!reason.empty()) {
        if (error) *error = reason;
        return false;
    }
    width_ = width;
    height_ = height;
    geometry_ = options.geometry;
    line_bytes_ = lcw16(static_cast<int16_t>(width));
    size_t plane_bytes = static_cast<size_t>(height) * line_bytes_;
    for (int c = 0; c < 3; ++c) {
        out_planes_[c].Reserve(plane_bytes);
        in_planes_[c].Reserve(plane_bytes);
    }
    UseThreads(options.threads);
    if (geometry_ == kGeometryFitted) return PrepareFitted(options, error);

    int cols = options.tileCols ? options.tileCols
                                : CoveringTileCount(width, options.tileWidth, options.splitRemainder);
    int rows = options.tileRows ? options.tileRows
                                : CoveringTileCount(height, options.tileHeight, options.splitRemainder);
    tile_widths_.assign(static_cast<size_t>(cols), 0);
    tile_heights_.assign(static_cast<size_t>(rows), 0);
    // Ramps are always allocated so no pointer in the record is ever NULL.
    size_t ramp_entries = static_cast<size_t>(options.borderWidth / 2 + 1);
    for (int r = 0; r < 12; ++r) ramps_[r].assign(ramp_entries, 0);

    param_ = PolarMosaicParam();
    param_.planeBytes = static_cast<int32_t>(plane_bytes);
    param_.width = static_cast<int16_t>(width);
    param_.lineBytes = static_cast<int16_t>(line_bytes_);
    param_.height = static_cast<int16_t>(height);
    SetMosaicSettings(options, cols, rows, &param_);
    for (int c = 0; c < 3; ++c) {
        param_.outPlane[c] = out_planes_[c].bytes.get();
        param_.inPlane[c] = in_planes_[c].bytes.get();
    }
    param_.tileWidths = tile_widths_.data();
    param_.tileHeights = tile_heights_.data();
    for (int r = 0; r < 12; ++r) param_.ramp[r] = ramps_[r].data();
    // The module's own check has the last word on the record it will get.
    const int status = checkPolarMosaicParam(&param_);
    if (status != POLARMOSAIC_OK) {
        if (error) {
            *error = std::string("the effect refuses these options (") + polarMosaicStatusText(status) + ")";
        }
        return false;
    }
    prepared_ = true;
    return true;
}

namespace {

// The module's plan settings for these options on a width x height picture.
PolarPlanSettings PlanSettingsFor(int width, int height, const MosaicOptions& options) {
    PolarPlanSettings settings;
    polarPlanDefaults(&settings, width, height, options.sectors, options.ringWidth, options.borderMode,
                      options.borderWidth);
    if (options.centreX2 >= 0) settings.centreX2 = options.centreX2;
    if (options.centreY2 >= 0) settings.centreY2 = options.centreY2;
    double turn = std::fmod(options.angle, 360.0);
    if (turn < 0.0) turn += 360.0;
    settings.angle = static_cast<int32_t>(std::lround(turn * 1000.0)) % 360000;
    settings.hardEdges = options.hardEdges ? 1 : 0;
    return settings;
}

bool SameSettings(const PolarPlanSettings& a, const PolarPlanSettings& b) {
    return memcmp(&a, &b, sizeof(a)) == 0;
}

std::string RefusedOptions(int status) {
    return std::string("the effect refuses these options (") + polarMosaicStatusText(status) + ")";
}

}  // namespace

void MosaicHost::KeepMeasured(std::unique_ptr<uint8_t[]> head, size_t head_bytes, size_t plan_bytes,
                              const PolarPlanSettings& settings) {
    measured_ = std::move(head);
    measured_head_bytes_ = head_bytes;
    measured_plan_bytes_ = plan_bytes;
    measured_settings_ = settings;
}

// Measures a plan for settings into measured_ (kept until Prepare builds it).
bool MosaicHost::MeasureInto(const PolarPlanSettings& settings, std::string* error) {
    if (measured_ && SameSettings(settings, measured_settings_)) return true;
    measured_.reset();
    int status = checkPolarPlanSettings(&settings);
    if (status == POLARMOSAIC_OK) {
        const size_t head_bytes = polarPlanHeadBytes(&settings);
        std::unique_ptr<uint8_t[]> head(new uint8_t[head_bytes]);
        size_t plan_bytes = 0;
        status = polarPlanMeasure(&settings, head.get(), head_bytes, pool_ ? ThreadPool::Runner : nullptr,
                                  pool_.get(), &plan_bytes);
        if (status == POLARMOSAIC_OK) {
            KeepMeasured(std::move(head), head_bytes, plan_bytes, settings);
            return true;
        }
    }
    if (error) *error = RefusedOptions(status);
    return false;
}

uint64_t MosaicHost::PlanBytes(int width, int height, const MosaicOptions& options, std::string* error,
                               uint64_t limit) {
    if (options.geometry != kGeometryFitted) return 0;
    std::string reason = CheckOptions(options, width, height);
    if (!reason.empty()) {
        if (error) *error = reason;
        return 0;
    }
    const PolarPlanSettings settings = PlanSettingsFor(width, height, options);
    if (plan_ready_ && SameSettings(settings, plan_settings_)) return plan_bytes_ + scratch_.size();
    const uint64_t head_bytes = polarPlanHeadBytes(&settings);
    if (head_bytes > limit) return head_bytes;
    UseThreads(options.threads);  // measured on the threads that will build it
    if (!MeasureInto(settings, error)) return 0;
    return measured_plan_bytes_ + polarPlanScratchBytes(measured_.get());
}

bool MosaicHost::BuildPlanHere(int width, int height, const MosaicOptions& options, uint64_t plan_bytes) {
    if (options.geometry != kGeometryFitted || !CheckOptions(options, width, height).empty()) return false;
    const PolarPlanSettings settings = PlanSettingsFor(width, height, options);
    if (plan_ready_ && SameSettings(settings, plan_settings_)) return true;
    if (checkPolarPlanSettings(&settings) != POLARMOSAIC_OK) return false;
    const size_t head_bytes = polarPlanHeadBytes(&settings);
    if (plan_bytes < head_bytes || plan_bytes > SIZE_MAX) return false;
    plan_ready_ = false;
    measured_.reset();
    uint8_t* plan = plan_.Reserve(static_cast<size_t>(plan_bytes));
    size_t needed = 0;
    const int status = polarPlanMeasureAndBuild(&settings, plan, static_cast<size_t>(plan_bytes), &needed);
    if (status == POLARMOSAIC_PLAN_TOO_SMALL) {
        // Measured: its head is kept for PlanBytes and Prepare.
        std::unique_ptr<uint8_t[]> head(new uint8_t[head_bytes]);
        memcpy(head.get(), plan, head_bytes);
        KeepMeasured(std::move(head), head_bytes, needed, settings);
        return false;
    }
    return PlanBuilt(status, settings, needed, nullptr);
}

// Builds the plan for settings on this thread, in one walk when the plan
// memory of the last build holds it; otherwise grows that memory (with a
// quarter to spare for the next geometry) and builds the measured plan.
bool MosaicHost::BuildInOneWalk(const PolarPlanSettings& settings, std::string* error) {
    int status = checkPolarPlanSettings(&settings);
    if (status != POLARMOSAIC_OK) {
        if (error) *error = RefusedOptions(status);
        return false;
    }
    const size_t head_bytes = polarPlanHeadBytes(&settings);
    plan_.Reserve(head_bytes);
    size_t plan_bytes = 0;
    status = polarPlanMeasureAndBuild(&settings, plan_.bytes.get(), plan_.capacity, &plan_bytes);
    if (status == POLARMOSAIC_PLAN_TOO_SMALL) {
        std::unique_ptr<uint8_t[]> head(new uint8_t[head_bytes]);
        memcpy(head.get(), plan_.bytes.get(), head_bytes);
        uint8_t* plan = plan_.Reserve(plan_bytes + plan_bytes / 4);
        memcpy(plan, head.get(), head_bytes);
        status = polarPlanBuild(plan, plan_bytes, nullptr, nullptr);
    }
    return PlanBuilt(status, settings, plan_bytes, error);
}

// After a build of the plan for settings in plan_: kept when it succeeded.
bool MosaicHost::PlanBuilt(int status, const PolarPlanSettings& settings, size_t plan_bytes,
                           std::string* error) {
    if (status != POLARMOSAIC_OK) {
        if (error) *error = RefusedOptions(status);
        return false;
    }
    plan_bytes_ = plan_bytes;
    plan_settings_ = settings;
    plan_ready_ = true;
    ++plan_builds_;
    scratch_.resize(polarPlanScratchBytes(plan_.bytes.get()));
    return true;
}

// The fitted geometry: the picture planes are the classic ones (the input in
// inPlane, the result in outPlane, as the conversions expect). The plan is
// kept while the size and the geometry settings stay the same.
bool MosaicHost::PrepareFitted(const MosaicOptions& options, std::string* error) {
    const PolarPlanSettings settings = PlanSettingsFor(width_, height_, options);
    const bool measured = measured_ && SameSettings(settings, measured_settings_);
    if ((!plan_ready_ || !SameSettings(settings, plan_settings_)) && !pool_ && !measured) {
        // On one thread: measure and build in one walk in the last plan's
        // memory (a new geometry of the same picture mostly fits).
        plan_ready_ = false;
        if (!BuildInOneWalk(settings, error)) return false;
    }
    if (!plan_ready_ || !SameSettings(settings, plan_settings_)) {
        plan_ready_ = false;
        if (!MeasureInto(settings, error)) return false;
        uint8_t* plan = plan_.Reserve(measured_plan_bytes_);
        memcpy(plan, measured_.get(), measured_head_bytes_);
        measured_.reset();
        const int status =
            polarPlanBuild(plan, measured_plan_bytes_, pool_ ? ThreadPool::Runner : nullptr, pool_.get());
        if (!PlanBuilt(status, settings, measured_plan_bytes_, error)) return false;
    }
    param_ = PolarMosaicParam();
    frame_ = PolarPlanFrame();
    for (int c = 0; c < 3; ++c) {
        param_.inPlane[c] = in_planes_[c].bytes.get();
        param_.outPlane[c] = out_planes_[c].bytes.get();
        frame_.srcPlane[c] = param_.inPlane[c];
        frame_.dstPlane[c] = param_.outPlane[c];
        frame_.borderValue[c] = static_cast<int16_t>(options.borderColor[c]);
    }
    frame_.srcLineBytes = line_bytes_;
    frame_.dstLineBytes = line_bytes_;
    for (int s = 0; s < 4; ++s) frame_.shade[s] = options.shade[s];
    prepared_ = true;
    return true;
}

namespace {

// Rows per job of the conversions to and from planes.
constexpr int kConversionRows = 64;

struct Conversion {
    const PolarMosaicParam* param;
    int width;
    int height;
    int line_bytes;
    const uint8_t* src;
    uint8_t* dst;
    ptrdiff_t stride;
    int channels;    // 3 or 4
    uint8_t* alpha;  // alpha plane when channels is 4 and the effect uses it
    bool both_sets;  // the classic passes read the input from both plane sets
    // Splitting: set when some alpha byte is below 255.
    std::atomic<bool>* translucent;
    // Merging without an alpha plane: alpha bytes 255 (else left as they are).
    bool opaque;
};

uint32_t ConversionJobs(int height) {
    return static_cast<uint32_t>((height + kConversionRows - 1) / kConversionRows);
}

}  // namespace

void MosaicHost::RunJobs(void* data, PolarMosaicJob job, uint32_t count) {
    if (pool_) {
        pool_->Run(data, job, count);
    } else {
        for (uint32_t i = 0; i < count; ++i) job(data, i);
    }
}

namespace {

// The row conversions are inlined into an AVX2 copy of their callers on
// x86-64 (chosen at run time).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define POLARMOSAIC_X86_ROWS 1
#define POLARMOSAIC_ROWS_INLINE inline __attribute__((always_inline))
#else
#define POLARMOSAIC_X86_ROWS 0
#define POLARMOSAIC_ROWS_INLINE inline
#endif

// One row between interleaved pixels of kStep bytes and planes; the step
// and the alpha plane fixed at compile time, so that compilers vectorise
// (the row and the planes never overlap).
#if defined(__wasm_simd128__)
// RGBA to planes and back, 16 pixels a step with byte shuffles: WebAssembly
// compilers do not vectorise these loops themselves, and the page's frames
// spend about as long in them as in the effect. They return the pixels done.
#define POLARMOSAIC_CHANNEL_OF_8(lo, hi, c)                                                                  \
    wasm_i8x16_shuffle(lo, hi, c, c + 4, c + 8, c + 12, c + 16, c + 20, c + 24, c + 28, 0, 0, 0, 0, 0, 0, 0, \
                       0)
int SplitRgba16(const uint8_t* s, uint8_t* in0, uint8_t* in1, uint8_t* in2, uint8_t* a, int width,
                uint8_t* opaque) {
    v128_t all = wasm_i8x16_splat(-1);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const v128_t v0 = wasm_v128_load(s + 4 * x), v1 = wasm_v128_load(s + 4 * x + 16);
        const v128_t v2 = wasm_v128_load(s + 4 * x + 32), v3 = wasm_v128_load(s + 4 * x + 48);
        v128_t channel[4];
        channel[0] =
            wasm_i8x16_shuffle(POLARMOSAIC_CHANNEL_OF_8(v0, v1, 0), POLARMOSAIC_CHANNEL_OF_8(v2, v3, 0), 0, 1,
                               2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
        channel[1] =
            wasm_i8x16_shuffle(POLARMOSAIC_CHANNEL_OF_8(v0, v1, 1), POLARMOSAIC_CHANNEL_OF_8(v2, v3, 1), 0, 1,
                               2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
        channel[2] =
            wasm_i8x16_shuffle(POLARMOSAIC_CHANNEL_OF_8(v0, v1, 2), POLARMOSAIC_CHANNEL_OF_8(v2, v3, 2), 0, 1,
                               2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
        wasm_v128_store(in0 + x, channel[0]);
        wasm_v128_store(in1 + x, channel[1]);
        wasm_v128_store(in2 + x, channel[2]);
        if (a) {
            channel[3] =
                wasm_i8x16_shuffle(POLARMOSAIC_CHANNEL_OF_8(v0, v1, 3), POLARMOSAIC_CHANNEL_OF_8(v2, v3, 3),
                                   0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
            wasm_v128_store(a + x, channel[3]);
            all = wasm_v128_and(all, channel[3]);
        }
    }
    *opaque = wasm_i8x16_all_true(wasm_i8x16_eq(all, wasm_i8x16_splat(-1))) ? 255 : 0;
    return x;
}
#undef POLARMOSAIC_CHANNEL_OF_8

// Alpha from its plane (a), 255 (opaque), or the destination's own.
int MergeRgba16(const uint8_t* p0, const uint8_t* p1, const uint8_t* p2, const uint8_t* a, bool opaque,
                uint8_t* d, int width) {
    const bool keep = !a && !opaque;
    const v128_t alphaBytes = wasm_i32x4_splat(static_cast<int32_t>(0xff000000u));
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const v128_t r = wasm_v128_load(p0 + x), g = wasm_v128_load(p1 + x), b = wasm_v128_load(p2 + x);
        const v128_t alpha = a ? wasm_v128_load(a + x) : wasm_i8x16_splat(-1);
        const v128_t rgLo = wasm_i8x16_shuffle(r, g, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        const v128_t rgHi =
            wasm_i8x16_shuffle(r, g, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
        const v128_t baLo =
            wasm_i8x16_shuffle(b, alpha, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        const v128_t baHi =
            wasm_i8x16_shuffle(b, alpha, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
        v128_t out[4] = {
            wasm_i8x16_shuffle(rgLo, baLo, 0, 1, 16, 17, 2, 3, 18, 19, 4, 5, 20, 21, 6, 7, 22, 23),
            wasm_i8x16_shuffle(rgLo, baLo, 8, 9, 24, 25, 10, 11, 26, 27, 12, 13, 28, 29, 14, 15, 30, 31),
            wasm_i8x16_shuffle(rgHi, baHi, 0, 1, 16, 17, 2, 3, 18, 19, 4, 5, 20, 21, 6, 7, 22, 23),
            wasm_i8x16_shuffle(rgHi, baHi, 8, 9, 24, 25, 10, 11, 26, 27, 12, 13, 28, 29, 14, 15, 30, 31)};
        for (int k = 0; k < 4; ++k) {
            uint8_t* at = d + 4 * x + 16 * k;
            if (keep) out[k] = wasm_v128_bitselect(wasm_v128_load(at), out[k], alphaBytes);
            wasm_v128_store(at, out[k]);
        }
    }
    return x;
}
#endif

// SplitRow returns the AND of the alpha bytes (255: the row is opaque).
template <int kStep, bool kAlpha>
POLARMOSAIC_ROWS_INLINE uint8_t SplitRow(const uint8_t* __restrict s, uint8_t* __restrict in0,
                                         uint8_t* __restrict in1, uint8_t* __restrict in2,
                                         uint8_t* __restrict a, int width) {
    uint8_t opaque = 255;
    int x = 0;
#if defined(__wasm_simd128__)
    if (kStep == 4) x = SplitRgba16(s, in0, in1, in2, kAlpha ? a : nullptr, width, &opaque);
#endif
    for (; x < width; ++x) {
        in0[x] = s[kStep * x];
        in1[x] = s[kStep * x + 1];
        in2[x] = s[kStep * x + 2];
        if (kAlpha) {
            a[x] = s[kStep * x + 3];
            opaque &= a[x];
        }
    }
    return opaque;
}

// kAlpha 1: alpha from its plane; 2: alpha 255; 0: none written.
template <int kStep, int kAlpha>
POLARMOSAIC_ROWS_INLINE void MergeRow(const uint8_t* __restrict p0, const uint8_t* __restrict p1,
                                      const uint8_t* __restrict p2, const uint8_t* __restrict a,
                                      uint8_t* __restrict d, int width) {
    int x = 0;
#if defined(__wasm_simd128__)
    if (kStep == 4) x = MergeRgba16(p0, p1, p2, kAlpha == 1 ? a : nullptr, kAlpha == 2, d, width);
#endif
    for (; x < width; ++x) {
        d[kStep * x] = p0[x];
        d[kStep * x + 1] = p1[x];
        d[kStep * x + 2] = p2[x];
        if (kAlpha == 1) d[kStep * x + 3] = a[x];
        if (kAlpha == 2) d[kStep * x + 3] = 255;
    }
}

// The classic geometry's input goes into both plane sets in the same pass
// (see the header).
POLARMOSAIC_ROWS_INLINE void SplitRows(const Conversion& job, int first, int end) {
    for (int y = first; y < end; ++y) {
        const uint8_t* s = job.src + y * job.stride;
        size_t row = static_cast<size_t>(y) * job.line_bytes;
        uint8_t* in0 = job.param->inPlane[0] + row;
        uint8_t* in1 = job.param->inPlane[1] + row;
        uint8_t* in2 = job.param->inPlane[2] + row;
        uint8_t* a = job.alpha && !job.both_sets ? job.alpha + row : nullptr;
        if (job.channels == 3) {
            SplitRow<3, false>(s, in0, in1, in2, nullptr, job.width);
        } else if (a) {
            if (SplitRow<4, true>(s, in0, in1, in2, a, job.width) != 255)
                job.translucent->store(true, std::memory_order_relaxed);
        } else {
            SplitRow<4, false>(s, in0, in1, in2, nullptr, job.width);
        }
        if (job.both_sets) {
            const size_t bytes = static_cast<size_t>(job.width);
            memcpy(job.param->outPlane[0] + row, in0, bytes);
            memcpy(job.param->outPlane[1] + row, in1, bytes);
            memcpy(job.param->outPlane[2] + row, in2, bytes);
        }
        const size_t pad = static_cast<size_t>(job.line_bytes - job.width);
        memset(in0 + job.width, 0, pad);
        memset(in1 + job.width, 0, pad);
        memset(in2 + job.width, 0, pad);
    }
}

POLARMOSAIC_ROWS_INLINE void MergeRows(const Conversion& job, int first, int end) {
    for (int y = first; y < end; ++y) {
        size_t row = static_cast<size_t>(y) * job.line_bytes;
        const uint8_t* p0 = job.param->outPlane[0] + row;
        const uint8_t* p1 = job.param->outPlane[1] + row;
        const uint8_t* p2 = job.param->outPlane[2] + row;
        const uint8_t* a = job.alpha ? job.alpha + row : nullptr;
        uint8_t* d = job.dst + y * job.stride;
        if (job.channels == 3)
            MergeRow<3, 0>(p0, p1, p2, nullptr, d, job.width);
        else if (a)
            MergeRow<4, 1>(p0, p1, p2, a, d, job.width);
        else if (job.opaque)
            MergeRow<4, 2>(p0, p1, p2, nullptr, d, job.width);
        else
            MergeRow<4, 0>(p0, p1, p2, nullptr, d, job.width);
    }
}

using ConversionRows = void (*)(const Conversion&, int, int);

#if POLARMOSAIC_X86_ROWS
// Baseline x86-64 has no byte shuffle, so compilers leave the three-byte
// steps scalar; with AVX2 they take 16 to 32 pixels a step (5x faster).
__attribute__((target("avx2"))) void SplitRowsAvx2(const Conversion& job, int first, int end) {
    SplitRows(job, first, end);
}
__attribute__((target("avx2"))) void MergeRowsAvx2(const Conversion& job, int first, int end) {
    MergeRows(job, first, end);
}
bool HasAvx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}
#endif

ConversionRows Splitter() {
#if POLARMOSAIC_X86_ROWS
    if (HasAvx2()) return SplitRowsAvx2;
#endif
    return SplitRows;
}

ConversionRows Merger() {
#if POLARMOSAIC_X86_ROWS
    if (HasAvx2()) return MergeRowsAvx2;
#endif
    return MergeRows;
}

void RunConversion(ConversionRows rows, void* data, uint32_t index) {
    const Conversion& job = *static_cast<const Conversion*>(data);
    const int first = static_cast<int>(index) * kConversionRows;
    const int end = first + kConversionRows < job.height ? first + kConversionRows : job.height;
    rows(job, first, end);
}

}  // namespace

void MosaicHost::SplitJob(void* data, uint32_t index) { RunConversion(Splitter(), data, index); }

void MosaicHost::MergeJob(void* data, uint32_t index) { RunConversion(Merger(), data, index); }

void MosaicHost::TakePicture(const uint8_t* src, ptrdiff_t src_stride, int width, int height, int channels) {
    taken_ = TakenPicture();
    if (width < 1 || height < 1 || width > 32752 || (channels != 3 && channels != 4)) return;
    const int line_bytes = lcw16(static_cast<int16_t>(width));
    const size_t plane_bytes = static_cast<size_t>(height) * static_cast<size_t>(line_bytes);
    // New planes get their first touch here rather than in Apply: the output
    // ones cleared, the input ones written by the conversion (or cleared).
    PolarMosaicParam planes = PolarMosaicParam();
    for (int c = 0; c < 3; ++c) {
        planes.inPlane[c] =
            src ? in_planes_[c].Reserve(plane_bytes) : in_planes_[c].ReserveTouched(plane_bytes);
        out_planes_[c].ReserveTouched(plane_bytes);
    }
    uint8_t* alpha = nullptr;
    if (channels == 4) {
        alpha = src ? alpha_planes_[0].Reserve(plane_bytes) : alpha_planes_[0].ReserveTouched(plane_bytes);
        alpha_planes_[1].ReserveTouched(plane_bytes);
    }
    if (src == nullptr) return;
    std::atomic<bool> translucent(false);
    const Conversion split = {&planes,    width,    height, line_bytes, src,          nullptr,
                              src_stride, channels, alpha,  false,      &translucent, false};
    Splitter()(split, 0, height);
    taken_.src = src;
    taken_.stride = src_stride;
    taken_.width = width;
    taken_.height = height;
    taken_.channels = channels;
    taken_.translucent = translucent.load();
}

void MosaicHost::Apply(const uint8_t* src, ptrdiff_t src_stride, uint8_t* dst, ptrdiff_t dst_stride,
                       int channels) {
    if (!prepared_ || (channels != 3 && channels != 4)) return;
    const bool fitted = geometry_ == kGeometryFitted;
    // Classic: the alpha bytes of dst stay as they were.
    const bool alpha = fitted && channels == 4;
    const size_t plane_bytes = static_cast<size_t>(height_) * line_bytes_;
    uint8_t* src_alpha = alpha ? alpha_planes_[0].Reserve(plane_bytes) : nullptr;
    uint8_t* dst_alpha = alpha ? alpha_planes_[1].Reserve(plane_bytes) : nullptr;
    const TakenPicture taken = taken_;
    taken_ = TakenPicture();
    std::atomic<bool> translucent(taken.translucent);
    if (!(fitted && taken.src == src && src != nullptr && taken.stride == src_stride &&
          taken.width == width_ && taken.height == height_ && taken.channels == channels)) {
        Conversion split = {&param_,    width_,   height_,   line_bytes_, src,          nullptr,
                            src_stride, channels, src_alpha, !fitted,     &translucent, false};
        RunJobs(&split, SplitJob, ConversionJobs(height_));
    }
    // An opaque picture gives the bytes of the frame without alpha (equal
    // weights), which takes less work.
    const bool opaque = alpha && !translucent.load();
    if (opaque) dst_alpha = nullptr;
    if (fitted) {
        frame_.srcPlane[3] = opaque ? nullptr : src_alpha;
        frame_.dstPlane[3] = dst_alpha;
        polarPlanFrame(plan_.bytes.get(), &frame_, scratch_.data(), scratch_.size(),
                       pool_ ? ThreadPool::Runner : nullptr, pool_.get());
    } else if (pool_) {
        iPolarMosaicRun0(&param_, ThreadPool::Runner, pool_.get());
    } else {
        iPolarMosaic0(&param_);
    }
    Conversion merge = {&param_,    width_,   height_,   line_bytes_, nullptr, dst,
                        dst_stride, channels, dst_alpha, !fitted,     nullptr, opaque};
    RunJobs(&merge, MergeJob, ConversionJobs(height_));
}

bool ApplyPolarMosaic(const uint8_t* rgb, int width, int height, const MosaicOptions& options,
                      std::vector<uint8_t>* dst, std::string* error) {
    MosaicHost host;
    if (!host.Prepare(width, height, options, error)) return false;
    dst->resize(static_cast<size_t>(width) * height * 3);
    host.Apply(rgb, static_cast<ptrdiff_t>(width) * 3, dst->data(), static_cast<ptrdiff_t>(width) * 3);
    return true;
}

}  // namespace polarmosaic
