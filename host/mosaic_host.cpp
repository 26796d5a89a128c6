// mosaic_host.cpp - buffers, checks and plane conversion around the module.
#include "mosaic_host.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <new>

namespace polarmosaic {

namespace {

constexpr int kMaxInt16 = 32767;

std::string Str(int value) { return std::to_string(value); }

const char* AxisTileName(bool columns) {
  return columns ? "tile columns" : "tile rows";
}

// Checks one axis: nominal tile size and tile count.
std::string CheckAxis(bool columns, int dimension, int tile, int count) {
  const char* size_name = columns ? "tile width" : "tile height";
  if (tile < 1 || tile > kMaxInt16) {
    return std::string(size_name) + " " + Str(tile) +
           " is out of range (1 .. 32767)";
  }
  if (count == 0) return std::string();  // chosen to cover the axis
  int lo = MinTileCount(dimension, tile);
  int hi = MaxTileCount(dimension, tile);
  if (count < lo || count > hi) {
    return std::string(AxisTileName(columns)) + " " + Str(count) +
           " does not fit a " + Str(dimension) + "-" +
           (columns ? "column" : "row") + " polar image with " + size_name +
           " " + Str(tile) + ": allowed " + Str(lo) + " .. " + Str(hi) +
           ", or 0 to cover the image";
  }
  return std::string();
}

}  // namespace

// The width - 1 columns of a full turn rarely divide evenly, and the
// left-over columns would form a thin extra sector where the turn closes; a
// tile width that divides the width exactly avoids it.
int SectorTileWidth(int width, int sectors) {
  double ideal = static_cast<double>(width - 1) / sectors;
  int nearest = static_cast<int>(std::lround(ideal));
  if (nearest < 1) nearest = 1;
  if (width % nearest == 0) return nearest;
  int best = 0;
  int lo = std::max(1, static_cast<int>(std::floor(ideal * 0.85)));
  int hi = static_cast<int>(std::ceil(ideal * 1.15));
  for (int t = lo; t <= hi; ++t) {
    if (width % t == 0 &&
        (best == 0 || std::fabs(t - ideal) < std::fabs(best - ideal))) {
      best = t;
    }
  }
  return best ? best : nearest;
}

int RingTileHeight(double ring_pixels) {
  long rows = std::lround(ring_pixels / kRadiusPerRow);
  return static_cast<int>(rows < 1 ? 1 : rows);
}

int CoveringTileCount(int dimension, int tile, bool split) {
  int whole = dimension / tile;
  if (whole * tile == dimension) return whole;
  // Without the split the module drops one from the count before laying
  // the tiles, so an axis shorter than one tile still needs 2.
  int count = whole + (split ? 2 : 1);
  return count < 2 ? 2 : count;
}

// With an exact fit the module lays count nominal tiles, so any count up to
// dimension / tile stays inside the image; with a remainder it needs room
// for the edge tiles: 2 .. dimension / tile + 2.
int MinTileCount(int dimension, int tile) {
  return dimension % tile == 0 ? 1 : 2;
}

int MaxTileCount(int dimension, int tile) {
  int whole = dimension / tile;
  return dimension % tile == 0 ? whole : whole + 2;
}

std::string CheckImageSize(int width, int height) {
  std::string size = Str(width) + " x " + Str(height);
  if (width < kMinImageSize || height < kMinImageSize) {
    return "image is " + size + " pixels; the effect needs at least 2 x 2";
  }
  if (width > kMaxImageWidth || height > kMaxImageHeight) {
    return "image is " + size +
           " pixels; the effect handles at most 32752 x 32767";
  }
  return std::string();
}

std::string CheckOptions(const MosaicOptions& options, int width,
                         int height) {
  std::string error = CheckImageSize(width, height);
  if (error.empty()) {
    error = CheckAxis(true, width, options.tileWidth, options.tileCols);
  }
  if (error.empty()) {
    error = CheckAxis(false, height, options.tileHeight, options.tileRows);
  }
  if (!error.empty()) return error;
  if (options.borderMode < kBorderNone || options.borderMode > kBorderSpokes) {
    return "border mode " + Str(options.borderMode) +
           " is unknown (1 none, 2 grid, 3 rings, 4 spokes)";
  }
  if (options.borderWidth < 0 || options.borderWidth > kMaxBorderWidth) {
    return "border width " + Str(options.borderWidth) +
           " is out of range (0 .. " + Str(kMaxBorderWidth) + ")";
  }
  for (int c = 0; c < 3; ++c) {
    if (options.borderColor[c] < 0 || options.borderColor[c] > 255) {
      return "border colour component " + Str(options.borderColor[c]) +
             " is out of range (0 .. 255)";
    }
  }
  static const char* const kSideNames[4] = {"outer", "inner", "left",
                                            "right"};
  for (int s = 0; s < 4; ++s) {
    float f = options.shade[s];
    if (!(f >= 0.0f && f <= static_cast<float>(kMaxShadeFactor))) {
      return std::string(kSideNames[s]) + " shade factor is not a number in " +
             "0 .. " + Str(kMaxShadeFactor);
    }
  }
  return std::string();
}

bool MosaicHost::Prepare(int width, int height, const MosaicOptions& options,
                         std::string* error) {
  prepared_ = false;
  std::string reason = CheckOptions(options, width, height);
  if (!reason.empty()) {
    if (error) *error = reason;
    return false;
  }
  width_ = width;
  height_ = height;
  line_bytes_ = lcw16(static_cast<int16_t>(width));
  size_t plane_bytes = static_cast<size_t>(height) * line_bytes_;
  for (int c = 0; c < 3; ++c) {
    out_planes_[c].assign(plane_bytes, 0);
    in_planes_[c].assign(plane_bytes, 0);
  }
  int cols = options.tileCols ? options.tileCols
                              : CoveringTileCount(width, options.tileWidth,
                                                  options.splitRemainder);
  int rows = options.tileRows ? options.tileRows
                              : CoveringTileCount(height, options.tileHeight,
                                                  options.splitRemainder);
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
  param_.tileWidth = static_cast<int16_t>(options.tileWidth);
  param_.tileHeight = static_cast<int16_t>(options.tileHeight);
  param_.tileCols = static_cast<int16_t>(cols);
  param_.tileRows = static_cast<int16_t>(rows);
  param_.splitRemainder = options.splitRemainder ? 1 : 0;
  param_.borderMode = static_cast<int16_t>(options.borderMode);
  param_.borderWidth = static_cast<int16_t>(options.borderWidth);
  for (int c = 0; c < 3; ++c) {
    param_.borderValue[c] = static_cast<int16_t>(options.borderColor[c]);
  }
  for (int s = 0; s < 4; ++s) param_.shade[s] = options.shade[s];
  prepared_ = true;
  return true;
}

void MosaicHost::SplitIntoPlanes(const uint8_t* src, ptrdiff_t src_stride) {
  uint8_t* planes[3] = {in_planes_[0].data(), in_planes_[1].data(),
                        in_planes_[2].data()};
  for (int y = 0; y < height_; ++y) {
    const uint8_t* s = src + y * src_stride;
    size_t row = static_cast<size_t>(y) * line_bytes_;
    uint8_t* p0 = planes[0] + row;
    uint8_t* p1 = planes[1] + row;
    uint8_t* p2 = planes[2] + row;
    for (int x = 0; x < width_; ++x) {
      p0[x] = s[0];
      p1[x] = s[1];
      p2[x] = s[2];
      s += 3;
    }
    size_t pad = static_cast<size_t>(line_bytes_ - width_);
    memset(p0 + width_, 0, pad);
    memset(p1 + width_, 0, pad);
    memset(p2 + width_, 0, pad);
  }
  for (int c = 0; c < 3; ++c) {
    memcpy(out_planes_[c].data(), in_planes_[c].data(), in_planes_[c].size());
  }
}

void MosaicHost::MergeResult(uint8_t* dst, ptrdiff_t dst_stride) const {
  for (int y = 0; y < height_; ++y) {
    size_t row = static_cast<size_t>(y) * line_bytes_;
    const uint8_t* p0 = out_planes_[0].data() + row;
    const uint8_t* p1 = out_planes_[1].data() + row;
    const uint8_t* p2 = out_planes_[2].data() + row;
    uint8_t* d = dst + y * dst_stride;
    for (int x = 0; x < width_; ++x) {
      d[0] = p0[x];
      d[1] = p1[x];
      d[2] = p2[x];
      d += 3;
    }
  }
}

void MosaicHost::Apply(const uint8_t* src, ptrdiff_t src_stride, uint8_t* dst,
                       ptrdiff_t dst_stride) {
  if (!prepared_) return;
  SplitIntoPlanes(src, src_stride);
  for (int c = 0; c < 3; ++c) {
    param_.outPlane[c] = out_planes_[c].data();
    param_.inPlane[c] = in_planes_[c].data();
  }
  param_.tileWidths = tile_widths_.data();
  param_.tileHeights = tile_heights_.data();
  for (int r = 0; r < 12; ++r) param_.ramp[r] = ramps_[r].data();
  iPolarMosaic0(&param_);
  MergeResult(dst, dst_stride);
}

bool ApplyPolarMosaic(const uint8_t* rgb, int width, int height,
                      const MosaicOptions& options, std::vector<uint8_t>* dst,
                      std::string* error) {
  MosaicHost host;
  if (!host.Prepare(width, height, options, error)) return false;
  dst->resize(static_cast<size_t>(width) * height * 3);
  host.Apply(rgb, static_cast<ptrdiff_t>(width) * 3, dst->data(),
             static_cast<ptrdiff_t>(width) * 3);
  return true;
}

}  // namespace polarmosaic
