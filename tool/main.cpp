// main.cpp - the polarmosaic command-line tool.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "demo_image.h"
#include "file_io.h"
#include "image_io.h"
#include "mosaic_host.h"
#include "polarmosaic_version.h"

namespace polarmosaic {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFileFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kDemoName = "(built-in picture)";
constexpr const char* kDefaultDemoOutput = "polarmosaic-demo.png";

// Defaults of the tool; the host layer's defaults are only the fallback.
constexpr int kDefaultSectors = 36;
constexpr double kDefaultRing = 28.0;
constexpr double kRadiusPerRow = 0.8;  // output pixels per polar row

const char kHelp[] =
    "Usage: polarmosaic [options] INPUT OUTPUT\n"
    "       polarmosaic [options] -d FOLDER INPUT...\n"
    "       polarmosaic [options] --demo [OUTPUT]\n"
    "\n"
    "Turns a picture into a polar mosaic: ring-sector tiles around the centre,\n"
    "each filled with its average colour, with optional bevelled borders along\n"
    "the rings and spokes.\n"
    "\n"
    "INPUT is a PNG, JPEG or binary PPM/PGM file, recognised by its content.\n"
    "OUTPUT's format comes from its extension (.png, .jpg/.jpeg, .ppm, .pgm)\n"
    "unless --format is given. '-' reads standard input or writes standard\n"
    "output (PNG unless --format says otherwise). Grey input is used as three\n"
    "equal channels, 16-bit input is reduced to 8 bits, and transparent\n"
    "pixels are laid over the background colour. PGM output keeps the luma.\n"
    "\n"
    "Tile geometry. The picture is unrolled around its centre into a polar\n"
    "image of the same size: each polar row is one radius (row 0 the outermost,\n"
    "0.8 * (height - 1) pixels from the centre; one row = 0.8 pixel of radius)\n"
    "and each polar column one angle (width - 1 columns per full turn). Tiles\n"
    "are rectangles there and ring sectors in the result.\n"
    "  -s, --sectors N        about N tiles around the circle (default 36): tile\n"
    "                         width = round((width - 1) / N) polar columns, or\n"
    "                         the nearest width within 15% that divides the\n"
    "                         image width (no thin sector where the turn closes)\n"
    "  -r, --ring PIXELS      ring thickness in output pixels (default 28): tile\n"
    "                         height = round(PIXELS / 0.8) polar rows\n"
    "      --tile-width N     tile width in polar columns; overrides --sectors\n"
    "      --tile-height N    tile height in polar rows; overrides --ring\n"
    "      --cols N           number of tile columns (default 0: cover the\n"
    "                         whole image)\n"
    "      --rows N           number of tile rows (default 0: cover the image)\n"
    "      --split            split the part of an axis left over by whole tiles\n"
    "                         between a first and a last tile\n"
    "      --no-split         let the last tile take the left-over part: the\n"
    "                         innermost ring and the sector where the turn\n"
    "                         closes grow a little (default)\n"
    "\n"
    "Borders:\n"
    "  -b, --border STYLE     none, grid (rings and spokes), rings or spokes;\n"
    "                         or 1, 2, 3, 4 (default grid)\n"
    "  -w, --border-width N   line width in pixels, 0 .. 1024 (default 5); lines\n"
    "                         are 2 * (N / 2) + 1 pixels thick\n"
    "  -c, --border-color C   #rrggbb or R,G,B (default #303030)\n"
    "      --shade-outer F    shade factor of the outer side of each ring\n"
    "      --shade-inner F    shade factor of the inner side of each ring\n"
    "      --shade-ccw F      shade factor of the counter-clockwise side of\n"
    "                         each spoke\n"
    "      --shade-cw F       shade factor of the clockwise side of each spoke\n"
    "                         A side's band runs from the border colour at the\n"
    "                         line's centre to the colour times F at its edge;\n"
    "                         F in 0 .. 255; all four 0 give flat lines.\n"
    "                         Defaults: outer 3, inner 0.3, ccw 3, cw 0.3.\n"
    "\n"
    "Input and output:\n"
    "  -f, --format FMT       output format: png, jpg, ppm or pgm\n"
    "  -q, --quality N        JPEG quality 1 .. 100 (default 90)\n"
    "      --background C     colour under transparent pixels (default #ffffff)\n"
    "      --no-effect        write the input unchanged (format conversion)\n"
    "      --demo             use the built-in picture as input; OUTPUT defaults\n"
    "                         to polarmosaic-demo.png\n"
    "\n"
    "Batch:\n"
    "  -d, --out-dir FOLDER   process every INPUT into FOLDER, each output named\n"
    "                         after its input with the output format's extension\n"
    "                         (PNG unless --format says otherwise)\n"
    "  -j, --jobs N           images processed at once (default: all cores)\n"
    "\n"
    "  -Q, --quiet            print nothing but errors\n"
    "  -h, --help             show this help\n"
    "  -V, --version          show the version\n"
    "\n"
    "Every output is written to a temporary file beside it and renamed into\n"
    "place only when complete; an input file is never overwritten.\n"
    "\n"
    "Exit status: 0 when every output was written, 1 when an input or output\n"
    "file failed (the others are still processed), 2 on bad usage.\n"
    "\n"
    "Examples:\n"
    "  polarmosaic --demo                       write polarmosaic-demo.png\n"
    "  polarmosaic photo.jpg mosaic.png         default mosaic of a photo\n"
    "  polarmosaic -s 12 -r 60 -b rings photo.jpg rings.jpg\n"
    "  polarmosaic -b none --sectors 64 in.png out.ppm\n"
    "  polarmosaic -c 255,255,255 --shade-outer 0.5 --shade-inner 0.5 \\\n"
    "              --shade-ccw 0.5 --shade-cw 0.5 in.png out.png\n"
    "  polarmosaic -j 2 -d mosaics/ *.jpg       batch into mosaics/\n"
    "  cat in.ppm | polarmosaic -f png - - > out.png\n";

struct ToolOptions {
  MosaicOptions mosaic;
  int sectors = kDefaultSectors;
  double ring = kDefaultRing;
  int tile_width = 0;   // 0: from sectors
  int tile_height = 0;  // 0: from ring
  ImageFormat format = ImageFormat::kUnknown;
  int quality = 90;
  uint8_t background[3] = {255, 255, 255};
  bool no_effect = false;
  bool demo = false;
  std::string out_dir;
  bool batch = false;
  int jobs = 0;
  bool quiet = false;
  std::vector<std::string> positional;
};

struct UsageError {
  std::string message;
};

[[noreturn]] void Fail(const std::string& message) { throw UsageError{message}; }

bool ParseInt(const std::string& text, long lo, long hi, int* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *value = static_cast<int>(v);
  return true;
}

bool ParseFloat(const std::string& text, double lo, double hi, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  double v = strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
  *value = v;
  return true;
}

// "#rrggbb" or "R,G,B".
bool ParseColour(const std::string& text, int rgb[3]) {
  if (text.size() == 7 && text[0] == '#') {
    for (int c = 0; c < 3; ++c) {
      std::string hex = text.substr(1 + 2 * c, 2);
      if (!isxdigit(static_cast<unsigned char>(hex[0])) ||
          !isxdigit(static_cast<unsigned char>(hex[1]))) {
        return false;
      }
      rgb[c] = static_cast<int>(strtol(hex.c_str(), nullptr, 16));
    }
    return true;
  }
  size_t start = 0;
  for (int c = 0; c < 3; ++c) {
    size_t comma = text.find(',', start);
    bool last = c == 2;
    if (last != (comma == std::string::npos)) return false;
    std::string part = text.substr(start, last ? std::string::npos
                                               : comma - start);
    if (!ParseInt(part, 0, 255, &rgb[c])) return false;
    start = comma + 1;
  }
  return true;
}

int ParseBorderStyle(const std::string& text) {
  if (text == "none" || text == "1") return kBorderNone;
  if (text == "grid" || text == "2") return kBorderGrid;
  if (text == "rings" || text == "3") return kBorderRings;
  if (text == "spokes" || text == "4") return kBorderSpokes;
  return 0;
}

ToolOptions ParseArguments(int argc, char** argv, bool* exit_now) {
  ToolOptions options;
  // The tool's own defaults: dark lines with a light outer/ccw bevel.
  options.mosaic.splitRemainder = false;
  options.mosaic.borderMode = kBorderGrid;
  options.mosaic.borderWidth = 5;
  options.mosaic.borderColor[0] = options.mosaic.borderColor[1] =
      options.mosaic.borderColor[2] = 0x30;
  options.mosaic.shade[kShadeOuter] = 3.0f;
  options.mosaic.shade[kShadeInner] = 0.3f;
  options.mosaic.shade[kShadeCcw] = 3.0f;
  options.mosaic.shade[kShadeCw] = 0.3f;
  *exit_now = false;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
      options.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    std::string name = arg;
    std::string value;
    bool has_value = false;
    size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      has_value = true;
    } else if (arg.size() > 2 && arg[1] != '-') {
      name = arg.substr(0, 2);  // -j4
      value = arg.substr(2);
      has_value = true;
    }
    auto take = [&]() -> std::string {
      if (has_value) {
        has_value = false;
        return value;
      }
      if (i + 1 >= argc) Fail("option " + name + " needs a value");
      return argv[++i];
    };
    auto take_int = [&](long lo, long hi) {
      std::string text = take();
      int v = 0;
      if (!ParseInt(text, lo, hi, &v)) {
        Fail("option " + name + ": '" + text + "' is not a whole number in " +
             std::to_string(lo) + " .. " + std::to_string(hi));
      }
      return v;
    };
    auto take_shade = [&]() {
      std::string text = take();
      double v = 0;
      if (!ParseFloat(text, 0, kMaxShadeFactor, &v)) {
        Fail("option " + name + ": '" + text + "' is not a number in 0 .. " +
             std::to_string(kMaxShadeFactor));
      }
      return static_cast<float>(v);
    };
    auto take_colour = [&](int rgb[3]) {
      std::string text = take();
      if (!ParseColour(text, rgb)) {
        Fail("option " + name + ": '" + text +
             "' is not a colour (#rrggbb or R,G,B with 0 .. 255)");
      }
    };
    if (name == "-h" || name == "--help") {
      fputs(kHelp, stdout);
      *exit_now = true;
      return options;
    } else if (name == "-V" || name == "--version") {
      printf("polarmosaic %s\n", POLARMOSAIC_TOOL_VERSION);
      *exit_now = true;
      return options;
    } else if (name == "-s" || name == "--sectors") {
      options.sectors = take_int(1, 32767);
    } else if (name == "-r" || name == "--ring") {
      std::string text = take();
      if (!ParseFloat(text, 0.8, 32767 * kRadiusPerRow, &options.ring)) {
        Fail("option " + name + ": '" + text +
             "' is not a ring thickness in 0.8 .. 26213 pixels");
      }
    } else if (name == "--tile-width") {
      options.tile_width = take_int(1, 32767);
    } else if (name == "--tile-height") {
      options.tile_height = take_int(1, 32767);
    } else if (name == "--cols") {
      options.mosaic.tileCols = take_int(0, 32767);
    } else if (name == "--rows") {
      options.mosaic.tileRows = take_int(0, 32767);
    } else if (name == "--split") {
      options.mosaic.splitRemainder = true;
    } else if (name == "--no-split") {
      options.mosaic.splitRemainder = false;
    } else if (name == "-b" || name == "--border") {
      std::string text = take();
      options.mosaic.borderMode = ParseBorderStyle(text);
      if (options.mosaic.borderMode == 0) {
        Fail("option " + name + ": unknown border style '" + text +
             "' (none, grid, rings, spokes)");
      }
    } else if (name == "-w" || name == "--border-width") {
      options.mosaic.borderWidth = take_int(0, kMaxBorderWidth);
    } else if (name == "-c" || name == "--border-color" ||
               name == "--border-colour") {
      take_colour(options.mosaic.borderColor);
    } else if (name == "--shade-outer") {
      options.mosaic.shade[kShadeOuter] = take_shade();
    } else if (name == "--shade-inner") {
      options.mosaic.shade[kShadeInner] = take_shade();
    } else if (name == "--shade-ccw") {
      options.mosaic.shade[kShadeCcw] = take_shade();
    } else if (name == "--shade-cw") {
      options.mosaic.shade[kShadeCw] = take_shade();
    } else if (name == "-f" || name == "--format") {
      std::string text = take();
      options.format = FormatFromName(text);
      if (options.format == ImageFormat::kUnknown) {
        Fail("option " + name + ": unknown format '" + text +
             "' (png, jpg, ppm, pgm)");
      }
    } else if (name == "-q" || name == "--quality") {
      options.quality = take_int(1, 100);
    } else if (name == "--background") {
      int rgb[3];
      take_colour(rgb);
      for (int c = 0; c < 3; ++c) {
        options.background[c] = static_cast<uint8_t>(rgb[c]);
      }
    } else if (name == "--no-effect") {
      options.no_effect = true;
    } else if (name == "--demo") {
      options.demo = true;
    } else if (name == "-d" || name == "--out-dir") {
      options.out_dir = take();
      options.batch = true;
      if (options.out_dir.empty()) Fail("option " + name + ": empty folder");
    } else if (name == "-j" || name == "--jobs") {
      options.jobs = take_int(1, 1024);
    } else if (name == "-Q" || name == "--quiet") {
      options.quiet = true;
    } else {
      Fail("unknown option '" + arg + "'");
    }
    if (has_value) Fail("option " + name + " takes no value");
  }
  return options;
}

// ------------------------------------------------------------ one image

struct Job {
  std::string input;   // path, "-" or kDemoName
  std::string output;  // path or "-"
  ImageFormat format = ImageFormat::kUnknown;
  std::string error;   // "FILE: reason" when it failed
  bool ok = false;
  int width = 0;
  int height = 0;
};

// Tile width for about `sectors` tiles around the circle. The width - 1
// columns of a full turn rarely divide evenly, and the left-over columns
// would form a thin extra sector where the turn closes; a tile width that
// divides the width exactly avoids it, so one within 15% is preferred.
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

// The host options for one image: the polar terms depend on its width.
MosaicOptions OptionsForImage(const ToolOptions& options, int width) {
  MosaicOptions mosaic = options.mosaic;
  if (options.tile_width > 0) {
    mosaic.tileWidth = options.tile_width;
  } else {
    mosaic.tileWidth = SectorTileWidth(width, options.sectors);
  }
  if (options.tile_height > 0) {
    mosaic.tileHeight = options.tile_height;
  } else {
    long h = std::lround(options.ring / kRadiusPerRow);
    mosaic.tileHeight = static_cast<int>(h < 1 ? 1 : h);
  }
  return mosaic;
}

void RunJob(const ToolOptions& options, Job* job) {
  const std::string& name = job->input;
  try {
    Image image;
    std::string reason;
    if (options.demo) {
      image = MakeDemoImage();
    } else {
      std::vector<uint8_t> bytes;
      if (!ReadWholeFile(job->input, &bytes, &reason)) {
        job->error = name + ": " + reason;
        return;
      }
      LoadSettings settings;
      memcpy(settings.background, options.background, 3);
      if (!LoadImage(bytes.data(), bytes.size(), settings, &image, &reason)) {
        job->error = name + ": " + reason;
        return;
      }
    }
    if (!options.no_effect) {
      MosaicOptions mosaic = OptionsForImage(options, image.width);
      MosaicHost host;
      if (!host.Prepare(image.width, image.height, mosaic, &reason)) {
        job->error = name + ": " + reason;
        return;
      }
      ptrdiff_t stride = static_cast<ptrdiff_t>(image.width) * 3;
      host.Apply(image.rgb.data(), stride, image.rgb.data(), stride);
    }
    std::vector<uint8_t> encoded;
    if (!EncodeImage(image, job->format, options.quality, &encoded, &reason) ||
        !WriteFileAtomically(job->output, encoded, &reason)) {
      job->error = job->output + ": " + reason;
      return;
    }
    job->ok = true;
    job->width = image.width;
    job->height = image.height;
  } catch (const std::bad_alloc&) {
    job->error = name + ": out of memory";
  }
}

// ------------------------------------------------------------ batch

std::string OutputNameIn(const std::string& folder, const std::string& input,
                         ImageFormat format) {
  size_t slash = input.find_last_of('/');
  std::string base = slash == std::string::npos ? input : input.substr(slash + 1);
  size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && dot > 0) base = base.substr(0, dot);
  std::string path = folder;
  if (path.back() != '/') path += '/';
  return path + base + FormatExtension(format);
}

class Progress {
 public:
  Progress(size_t total, bool shown) : total_(total), shown_(shown) {}

  void Report(const Job& job) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    if (!job.ok) {
      if (shown_) fputs("\r\033[K", stderr);
      fprintf(stderr, "polarmosaic: %s\n", job.error.c_str());
    }
    Draw();
  }

  void Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) fputs("\r\033[K", stderr);
  }

 private:
  void Draw() {
    if (!shown_) return;
    constexpr int kBarWidth = 30;
    int filled = static_cast<int>(done_ * kBarWidth / total_);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '.');
    fprintf(stderr, "\r[%s] %zu/%zu", bar.c_str(), done_, total_);
    fflush(stderr);
  }

  std::mutex mutex_;
  size_t total_;
  size_t done_ = 0;
  bool shown_;
};

int RunBatch(const ToolOptions& options) {
  if (options.positional.empty()) Fail("no INPUT files given for -d");
  if (!IsDirectory(options.out_dir)) {
    Fail(options.out_dir + ": not a folder (create it first)");
  }
  ImageFormat format = options.format == ImageFormat::kUnknown
                           ? ImageFormat::kPng
                           : options.format;
  std::vector<Job> jobs(options.positional.size());
  std::vector<bool> pending(jobs.size(), true);
  std::map<std::string, size_t> output_owner;
  for (size_t i = 0; i < jobs.size(); ++i) {
    Job& job = jobs[i];
    job.input = options.positional[i];
    job.format = format;
    if (job.input == "-") Fail("standard input cannot be part of a batch");
    job.output = OutputNameIn(options.out_dir, job.input, format);
    auto owner = output_owner.find(job.output);
    if (owner != output_owner.end()) {
      job.error = job.input + ": output " + job.output +
                  " would also be written from " + jobs[owner->second].input;
      pending[i] = false;
      continue;
    }
    output_owner[job.output] = i;
  }
  // No output may replace an input of the same run.
  for (size_t i = 0; i < jobs.size(); ++i) {
    for (const std::string& input : options.positional) {
      if (pending[i] && IsSameFile(jobs[i].output, input)) {
        jobs[i].error = jobs[i].output + ": refusing to overwrite input file " +
                        input;
        pending[i] = false;
      }
    }
  }

  Progress progress(jobs.size(), !options.quiet && isatty(STDERR_FILENO));
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (!pending[i]) progress.Report(jobs[i]);
  }
  size_t workers = options.jobs > 0 ? static_cast<size_t>(options.jobs)
                                    : std::thread::hardware_concurrency();
  if (workers == 0) workers = 1;
  if (workers > jobs.size()) workers = jobs.size();
  std::atomic<size_t> next{0};
  auto work = [&]() {
    for (;;) {
      size_t i = next.fetch_add(1);
      if (i >= jobs.size()) return;
      if (!pending[i]) continue;
      RunJob(options, &jobs[i]);
      progress.Report(jobs[i]);
    }
  };
  std::vector<std::thread> threads;
  for (size_t t = 1; t < workers; ++t) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();
  progress.Finish();

  size_t written = 0;
  for (const Job& job : jobs) written += job.ok ? 1 : 0;
  size_t failed = jobs.size() - written;
  if (!options.quiet || failed > 0) {
    fprintf(stderr, "polarmosaic: %zu of %zu images written to %s", written,
            jobs.size(), options.out_dir.c_str());
    if (failed > 0) fprintf(stderr, "; %zu failed", failed);
    fputc('\n', stderr);
  }
  return failed == 0 ? kExitOk : kExitFileFailed;
}

int RunSingle(const ToolOptions& options) {
  Job job;
  size_t wanted = options.demo ? 1 : 2;
  if (options.positional.size() > wanted ||
      options.positional.size() + (options.demo ? 1 : 0) < wanted) {
    Fail(options.demo ? "--demo takes at most one OUTPUT"
                      : "expected INPUT and OUTPUT (or -d FOLDER for a batch)");
  }
  if (options.demo) {
    job.input = kDemoName;
    job.output = options.positional.empty() ? kDefaultDemoOutput
                                            : options.positional[0];
  } else {
    job.input = options.positional[0];
    job.output = options.positional[1];
  }
  job.format = options.format;
  if (job.format == ImageFormat::kUnknown) {
    job.format = job.output == "-" ? ImageFormat::kPng
                                   : FormatFromExtension(job.output);
  }
  if (job.format == ImageFormat::kUnknown) {
    Fail(job.output + ": unknown output format (use .png, .jpg, .ppm, .pgm "
         "or --format)");
  }
  if (!options.demo && job.output != "-" && job.input != "-" &&
      IsSameFile(job.input, job.output)) {
    fprintf(stderr, "polarmosaic: %s: refusing to overwrite the input file\n",
            job.output.c_str());
    return kExitFileFailed;
  }
  RunJob(options, &job);
  if (!job.ok) {
    fprintf(stderr, "polarmosaic: %s\n", job.error.c_str());
    return kExitFileFailed;
  }
  if (!options.quiet && job.output != "-") {
    // The full path, so a run from anywhere says where the picture is.
    char* full = realpath(job.output.c_str(), nullptr);
    printf("polarmosaic: wrote %s (%d x %d %s)\n", full ? full : job.output.c_str(),
           job.width, job.height, FormatName(job.format));
    free(full);
  }
  return kExitOk;
}

int Main(int argc, char** argv) {
  try {
    bool exit_now = false;
    ToolOptions options = ParseArguments(argc, argv, &exit_now);
    if (exit_now) return kExitOk;
    if (options.demo && options.batch) Fail("--demo cannot be used with -d");
    InstallCleanupOnSignal();
    return options.batch ? RunBatch(options) : RunSingle(options);
  } catch (const UsageError& error) {
    fprintf(stderr, "polarmosaic: %s (see polarmosaic --help)\n",
            error.message.c_str());
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    fputs("polarmosaic: out of memory\n", stderr);
    return kExitFileFailed;
  }
}

}  // namespace
}  // namespace polarmosaic

int main(int argc, char** argv) { return polarmosaic::Main(argc, argv); }
