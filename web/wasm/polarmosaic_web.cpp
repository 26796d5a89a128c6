// polarmosaic_web.cpp - the WebAssembly face of the host layer for the web
// page: one picture in RGBA (as a canvas gives it), the effect with the
// tool's polar terms, the result in RGBA and its pixel checksum.
//
// Everything here is single-threaded and keeps its buffers between calls,
// so a live preview allocates only when the picture size changes.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "demo_image.h"
#include "mosaic_host.h"
#include "pixel_checksum.h"
#include "polar_terms.h"

#if defined(__wasm__)
#define PM_EXPORT(name) extern "C" __attribute__((export_name(#name)))
#else
#define PM_EXPORT(name) extern "C"
#endif

// Milliseconds from the page's clock (performance.now); a native build for
// timing comparisons supplies its own.
#if defined(__wasm__)
extern "C" __attribute__((import_module("env"), import_name("now_ms")))
double now_ms(void);
#else
extern "C" double now_ms(void);
#endif

namespace polarmosaic {
namespace {

enum Geometry { kGeometryClassic = 0, kGeometryFitted = 1 };

struct WebState {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> input;   // RGBA as decoded by the browser
  std::vector<uint8_t> rgb;     // the picture the effect sees, then its result
  std::vector<uint8_t> output;  // RGBA, alpha 255
  MosaicHost host;
  std::string error;
  char checksum[17] = {0};
  double effect_ms = 0;
};

WebState& State() {
  static WebState state;
  return state;
}

// Alpha laid over white exactly as the tool's loader does it.
inline uint8_t OverWhite(uint32_t colour, uint32_t alpha) {
  return static_cast<uint8_t>((colour * alpha + 255 * (255 - alpha) + 127) / 255);
}

}  // namespace
}  // namespace polarmosaic

using namespace polarmosaic;

// Sizes the input for a width x height picture and returns its RGBA buffer
// (rows width * 4 bytes), or 0 with pm_error set when the size is refused.
PM_EXPORT(pm_input) uint8_t* pm_input(int width, int height) {
  WebState& s = State();
  s.error = CheckImageSize(width, height);
  if (!s.error.empty()) return nullptr;
  size_t pixels = static_cast<size_t>(width) * height;
  s.width = width;
  s.height = height;
  s.input.assign(pixels * 4, 255);
  s.rgb.assign(pixels * 3, 0);
  s.output.assign(pixels * 4, 255);
  return s.input.data();
}

// Fills the input with the tool's built-in picture (--demo) at its size.
PM_EXPORT(pm_fill_demo) void pm_fill_demo() {
  WebState& s = State();
  Image demo = MakeDemoImage(s.width, s.height);
  const uint8_t* src = demo.rgb.data();
  uint8_t* dst = s.input.data();
  for (size_t i = 0, n = static_cast<size_t>(s.width) * s.height; i < n; ++i) {
    dst[0] = src[0];
    dst[1] = src[1];
    dst[2] = src[2];
    dst[3] = 255;
    src += 3;
    dst += 4;
  }
}

// 1 when this build has the given geometry (0 classic, 1 fitted).
PM_EXPORT(pm_has_geometry) int pm_has_geometry(int geometry) {
  return geometry == kGeometryClassic ? 1 : 0;
}

// Runs the effect on the input with the tool's options (sectors and ring in
// its polar terms, border 1 none .. 4 spokes, colour, the four shade factors
// outer, inner, counter-clockwise, clockwise). Returns 1 with the result in
// pm_output and its checksum in pm_checksum, or 0 with pm_error set.
PM_EXPORT(pm_render) int pm_render(int geometry, int sectors, double ring,
                                   int border, int border_width, int red,
                                   int green, int blue, float shade_outer,
                                   float shade_inner, float shade_ccw,
                                   float shade_cw, int split) {
  WebState& s = State();
  if (s.input.empty()) {
    s.error = "no picture";
    return 0;
  }
  if (!pm_has_geometry(geometry)) {
    s.error = "this build has no geometry " + std::to_string(geometry);
    return 0;
  }
  if (sectors < 1 || !(ring >= kRadiusPerRow && ring <= 32767 * kRadiusPerRow)) {
    s.error = "sectors or ring out of range";
    return 0;
  }
  MosaicOptions options;
  options.tileWidth = SectorTileWidth(s.width, sectors);
  options.tileHeight = RingTileHeight(ring);
  options.splitRemainder = split != 0;
  options.borderMode = border;
  options.borderWidth = border_width;
  options.borderColor[0] = red;
  options.borderColor[1] = green;
  options.borderColor[2] = blue;
  options.shade[kShadeOuter] = shade_outer;
  options.shade[kShadeInner] = shade_inner;
  options.shade[kShadeLeft] = shade_ccw;
  options.shade[kShadeRight] = shade_cw;
  options.threads = 1;  // the page's worker is the only thread
  if (!s.host.Prepare(s.width, s.height, options, &s.error)) return 0;

  double start = now_ms();
  size_t pixels = static_cast<size_t>(s.width) * s.height;
  const uint8_t* in = s.input.data();
  uint8_t* rgb = s.rgb.data();
  for (size_t i = 0; i < pixels; ++i, in += 4, rgb += 3) {
    uint32_t alpha = in[3];
    if (alpha == 255) {
      rgb[0] = in[0];
      rgb[1] = in[1];
      rgb[2] = in[2];
    } else {
      rgb[0] = OverWhite(in[0], alpha);
      rgb[1] = OverWhite(in[1], alpha);
      rgb[2] = OverWhite(in[2], alpha);
    }
  }
  ptrdiff_t stride = static_cast<ptrdiff_t>(s.width) * 3;
  s.host.Apply(s.rgb.data(), stride, s.rgb.data(), stride);
  rgb = s.rgb.data();
  uint8_t* out = s.output.data();
  for (size_t i = 0; i < pixels; ++i, rgb += 3, out += 4) {
    out[0] = rgb[0];
    out[1] = rgb[1];
    out[2] = rgb[2];
  }
  s.effect_ms = now_ms() - start;
  std::string hex = ChecksumHex(PixelChecksum(s.rgb.data(), s.width, s.height, stride));
  memcpy(s.checksum, hex.c_str(), 17);
  s.error.clear();
  return 1;
}

PM_EXPORT(pm_output) const uint8_t* pm_output() { return State().output.data(); }
PM_EXPORT(pm_checksum) const char* pm_checksum() { return State().checksum; }
PM_EXPORT(pm_error) const char* pm_error() { return State().error.c_str(); }
// Time of the last render without option checks and checksum: the
// conversions to and from RGB and the effect.
PM_EXPORT(pm_effect_ms) double pm_effect_ms() { return State().effect_ms; }
