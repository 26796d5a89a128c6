// mosaic_host.h - host layer of the polar mosaic effect.
//
// The effect module allocates nothing and starts no thread. This layer owns
// what it needs (two plane sets, the tile arrays, the twelve shading ramps,
// a thread pool), refuses every option or image size the module cannot
// handle with a message that says why (the module's checkPolarMosaicParam
// decides; the message adds its reason), and converts interleaved 8-bit RGB
// to planes and back. It never calls the module with a record outside its
// contract.
//
// Determinism: the module's forward pass leaves a few output-plane pixels
// as they were, and those pixels feed the tile averages. Before every call
// MosaicHost::Apply therefore writes the input image into both plane sets in
// one pass, so a skipped pixel shows the input pixel at the same row and
// column. The inverse pass, likewise, leaves a few pixels showing what the
// input set held at their offset in the turned layout, which includes upright
// row padding (columns width .. lcw16(width) - 1): that padding is set to 0
// in the input set. Nothing else is read into a result, so the buffers are
// allocated without being cleared. The same input and options always give
// the same output bytes, whatever an earlier call left in the buffers, and
// whatever the thread count.
#ifndef POLARMOSAIC_HOST_MOSAIC_HOST_H
#define POLARMOSAIC_HOST_MOSAIC_HOST_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include <polarmosaic/fitted.h>
#include <polarmosaic/polarmosaic.h>
#include "thread_pool.h"

namespace polarmosaic {

// Pixel formulas every front end (tool, Python, page) shares.
// Colour laid over a background by straight (unassociated) alpha, rounded to
// nearest.
constexpr uint8_t AlphaOver(uint32_t colour, uint32_t alpha, uint32_t background) {
    return static_cast<uint8_t>((colour * alpha + background * (255 - alpha) + 127) / 255);
}
// The same for premultiplied (associated) colour; clamped, since a file may
// hold colour above its alpha.
constexpr uint8_t PremultipliedOver(uint32_t colour, uint32_t alpha, uint32_t background) {
    return static_cast<uint8_t>(colour + (background * (255 - alpha) + 127) / 255 > 255
                                    ? 255
                                    : colour + (background * (255 - alpha) + 127) / 255);
}
// BT.601 luma in 8-bit fixed point (the tool's PGM output, Python's grey).
constexpr uint8_t Luma(uint32_t r, uint32_t g, uint32_t b) {
    return static_cast<uint8_t>((77 * r + 150 * g + 29 * b + 128) >> 8);
}

// Image sizes the module accepts.
constexpr int kMinImageSize = 2;
constexpr int kMaxImageWidth = 32752;   // lcw16(width) must stay positive
constexpr int kMaxImageHeight = 32767;  // heights are signed 16-bit

// The module's border modes and shade sides, by the host layer's names.
enum BorderMode {
    kBorderNone = POLARMOSAIC_BORDER_NONE,
    kBorderGrid = POLARMOSAIC_BORDER_GRID,      // rings and spokes
    kBorderRings = POLARMOSAIC_BORDER_RINGS,    // lines between tile rows
    kBorderSpokes = POLARMOSAIC_BORDER_SPOKES,  // lines between tile columns
};

// Shade factor index of each side of a border line. In the polar image a
// tile row is a ring and a tile column a sector.
enum ShadeSide {
    kShadeOuter = POLARMOSAIC_SIDE_OUTER,  // outer side of a ring
    kShadeInner = POLARMOSAIC_SIDE_INNER,  // inner side of a ring
    kShadeCcw = POLARMOSAIC_SIDE_CCW,      // side of a spoke towards larger angles
    kShadeCw = POLARMOSAIC_SIDE_CW,        // side of a spoke towards smaller angles
    // Former names, kept for one release.
    kShadeLeft = kShadeCcw,
    kShadeRight = kShadeCw,
};

// Geometry of the effect. Fitted (fitted.h): the polar grid follows the
// picture, registered and without wrap, with exactly `sectors` sectors and
// rings `ringWidth` pixels thick. Classic: iPolarMosaic0's fixed framing,
// with the tile grid in polar columns and rows (tileWidth .. splitRemainder).
enum Geometry { kGeometryFitted, kGeometryClassic };

// The classic geometry's tile sizes and counts are signed 16-bit.
constexpr int kMaxTileSize = 32767;
constexpr int kMaxShadeFactor = 255;  // colour * factor clamps at 255 anyway
constexpr int kMaxBorderWidth = 1024;

// A length as a user gives it: pixels, or per cent of the picture's
// half-diagonal (so a setting looks the same at any resolution).
struct Length {
    double value = 0.0;
    bool relative = false;
};

// "28" (pixels) or "4%" (of the half-diagonal); false when text is neither.
bool ParseLength(const std::string& text, Length* length);
// The length in whole pixels on a width x height picture: rounded, at least
// minimum.
int ResolveLength(const Length& length, int width, int height, int minimum);
// The length in pixels, unrounded.
double LengthPixels(const Length& length, int width, int height);
std::string LengthText(const Length& length);

// A centre as a user gives it: each coordinate in pixels from the left or
// top edge, or per cent of the way across (50% is the middle).
struct CentreSpec {
    double x = 50.0, y = 50.0;
    bool x_relative = true, y_relative = true;
};

// "X,Y" with each part "120" or "30%"; false when it is not that.
bool ParseCentre(const std::string& text, CentreSpec* centre);
// Doubled pixel coordinates of the centre (rounded to half pixels), or -1
// with the reason in *error when it lies outside the picture.
bool ResolveCentre(const CentreSpec& centre, int width, int height, int* x2, int* y2, std::string* error);

// What users may give, as the tool's -r, -w and --angle and the Python
// package's keywords take them. A message reads "'TEXT' is not " + rule.
constexpr double kMaxRingPixels = 65535.0;
constexpr double kMaxRingPercent = 200.0;
constexpr double kMaxLineWidthPercent = 100.0;
constexpr double kMaxAngle = 1e6;
extern const char kRingRule[];
extern const char kLineWidthRule[];
extern const char kCentreRule[];
extern const char kAngleRule[];
// A ring thickness above 0 up to kMaxRingPixels or kMaxRingPercent.
bool RingLengthUsable(const Length& ring);
// A line width in whole pixels up to kMaxBorderWidth, or up to
// kMaxLineWidthPercent.
bool LineWidthUsable(const Length& width);
// "-45", "12.5" (as strtod reads it): degrees, finite, within kMaxAngle.
bool ParseAngle(const std::string& text, double* degrees);
bool AngleUsable(double degrees);

// Defaults of the fitted geometry (the tool's default) and of the classic
// one, whose lengths stay in pixels so that its output never moves.
constexpr int kDefaultSectors = 36;
// Sectors a user may ask for (the classic geometry; the fitted one takes up
// to POLARMOSAIC_FITTED_MAX_SECTORS).
constexpr int kMaxSectors = 32767;
constexpr Length kDefaultRing = {4.0, true};
constexpr Length kDefaultLineWidth = {0.6, true};
constexpr Length kClassicRing = {28.0, false};
constexpr Length kClassicLineWidth = {5.0, false};

struct MosaicOptions {
    Geometry geometry = kGeometryFitted;
    // Fitted geometry: sectors of the outer rings (1 .. 32752; inner rings
    // take fewer, see fitted.h) and ring thickness in output pixels
    // (1 .. 65535).
    int sectors = kDefaultSectors;
    int ringWidth = 28;
    // Fitted geometry: the centre in doubled pixel coordinates (-1: the
    // middle of that axis), the first spoke's angle in degrees
    // counter-clockwise from 3 o'clock, and hard (unblended) edges.
    int centreX2 = -1;
    int centreY2 = -1;
    double angle = 0.0;
    bool hardEdges = false;
    // Classic geometry: nominal tile size in polar columns (angle) and polar rows (radius).
    int tileWidth = 32;
    int tileHeight = 32;
    // Tile counts; 0 picks the count that covers the whole axis.
    int tileCols = 0;
    int tileRows = 0;
    // Split the part of an axis left over by the nominal tiles between a first
    // and a last tile instead of giving it all to the last tile.
    bool splitRemainder = false;
    int borderMode = kBorderGrid;
    int borderWidth = 5;
    int borderColor[3] = {48, 48, 48};
    float shade[4] = {3.0f, 0.3f, 3.0f, 0.3f};
    // Threads that run the effect, the caller's included: 1 runs everything on
    // the caller's thread, 0 uses every core. The bytes never depend on it.
    int threads = 0;
};

constexpr int kMaxThreads = 1024;

// Tiles in polar terms, as the tool's --sectors and --ring give them. One
// polar row is 0.8 output pixel of radius; a full turn is width - 1 columns.
constexpr double kPixelsPerPolarRow = 0.8;

// Tile width for about `sectors` tiles around the circle of a width-column
// polar image: round((width - 1) / sectors), or the width within 15% of it
// nearest to it that divides width (no thin sector where the turn closes).
int SectorTileWidth(int width, int sectors);

// Tile height of rings ring_pixels output pixels thick: at least 1 row.
int RingTileHeight(double ring_pixels);

// Number of tiles of nominal size tile that covers an axis of size dimension
// completely: dimension / tile when tile divides it, otherwise
// dimension / tile + 2 with the split and dimension / tile + 1 without (but
// at least 2, the smallest count the module takes on such an axis).
int CoveringTileCount(int dimension, int tile, bool split);

// Copies the tile and border settings of options into a module record for
// a grid of cols x rows tiles; buffers, sizes and grid tables stay the
// caller's.
void SetMosaicSettings(const MosaicOptions& options, int cols, int rows, PolarMosaicParam* param);

// Smallest and largest tile counts the module accepts on such an axis (for
// messages: checkPolarMosaicParam decides).
int MinTileCount(int dimension, int tile);
int MaxTileCount(int dimension, int tile);

// Empty when width x height is an image size the effect can take (asked of
// the module's checkPolarMosaicParam), otherwise the reason.
std::string CheckImageSize(int width, int height);

// Empty when the options are usable on a width x height image (the image
// size itself included), otherwise the reason for the first problem found.
// Sizes and tile grids are checked by the module's checkPolarMosaicParam;
// border mode, width, colours, shades and threads by the host's own limits.
std::string CheckOptions(const MosaicOptions& options, int width, int height);

// Settings as a user gives them (the tool's options, Python's keywords, the
// page's address): lengths in pixels or per cent, the centre in pixels or per
// cent, and each geometry's defaults where a length is not given.
struct UserSettings {
    bool classic = false;
    int sectors = kDefaultSectors;
    Length ring;  // value 0: the geometry's default
    bool line_width_given = false;
    Length line_width;
    CentreSpec centre;    // fitted only
    int tile_width = 0;   // classic: 0 from sectors
    int tile_height = 0;  // classic: 0 from ring
    // Everything else as the host takes it: border mode and colour, shades,
    // threads, the classic tile counts and split, the angle and hard edges.
    MosaicOptions mosaic;
};

// The host options for a width x height picture: lengths and the centre
// depend on its size, the classic polar terms on its width. The reason is
// left empty when they are usable (CheckOptions still has the last word).
MosaicOptions ResolveSettings(const UserSettings& settings, int width, int height, std::string* reason);

// Owns the buffers of one image size and runs the effect on it. Reusable:
// Prepare again for another size or other options.
class MosaicHost {
public:
    // Checks the options and size, then sizes every buffer (keeping the ones
    // that are large enough already, so a batch reuses them) and the thread
    // pool. On failure returns false with the reason in *error and leaves the
    // host unprepared. Throws std::bad_alloc when the planes do not fit in
    // memory.
    bool Prepare(int width, int height, const MosaicOptions& options, std::string* error);

    // Runs the effect on interleaved RGB (3 bytes per pixel, rows src_stride
    // bytes apart) and writes the result to dst (rows dst_stride apart).
    // src and dst may be the same buffer. Requires a successful Prepare.
    // One Apply at a time per host. With channels 4 (RGBA; fitted geometry
    // only), tiles average colour weighted by alpha and alpha is kept.
    void Apply(const uint8_t* src, ptrdiff_t src_stride, uint8_t* dst, ptrdiff_t dst_stride,
               int channels = 3);

    // Fitted geometry: the bytes that the plan and a frame's scratch take for
    // this size and these options (beyond the planes), or 0 with the reason
    // when they are refused. The measurement is kept, so a Prepare with the
    // same settings does not measure again. Classic geometry: 0. When the
    // plan's head alone (which a measurement needs) is above limit, nothing
    // is taken and the head's size is returned: the need is at least that.
    uint64_t PlanBytes(int width, int height, const MosaicOptions& options, std::string* error,
                       uint64_t limit = UINT64_MAX);

    // Fitted geometry: builds the plan for this size and these options on
    // the calling thread in one walk, in plan memory of plan_bytes (the walk
    // that measures also builds). False when the plan needs more memory, or
    // the options are refused: a plan that needs more has been measured, so
    // PlanBytes gives its size at once and Prepare builds it. True when the
    // plan is ready (Prepare then keeps it). For a caller with other work to
    // do meanwhile, such as decoding the picture.
    bool BuildPlanHere(int width, int height, const MosaicOptions& options, uint64_t plan_bytes);

    // Takes the planes for a width x height picture of `channels` (3, or 4
    // with alpha kept) and converts the picture at src into them (null src:
    // only takes them), so that Apply pays neither for that nor for the
    // planes' first touch. The next Apply of the fitted geometry with this
    // src, stride, size and channels uses the conversion: src must not
    // change in between. Touches nothing that BuildPlanHere does: the two
    // may run at once on two threads.
    void TakePicture(const uint8_t* src, ptrdiff_t src_stride, int width, int height, int channels);

    // A Prepare with the same size and geometry settings keeps the plan
    // (colours and shades never invalidate it).
    size_t plan_bytes() const { return plan_bytes_; }
    size_t scratch_bytes() const { return scratch_.size(); }
    int plan_builds() const { return plan_builds_; }

    bool prepared() const { return prepared_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int line_bytes() const { return line_bytes_; }
    int tile_cols() const { return param_.tileCols; }
    int tile_rows() const { return param_.tileRows; }
    int threads() const { return pool_ ? pool_->threads() : 1; }
    // Tile sizes of the last Apply (the module's working grid; classic only).
    const std::vector<int16_t>& tile_widths() const { return tile_widths_; }
    const std::vector<int16_t>& tile_heights() const { return tile_heights_; }

private:
    bool prepared_ = false;
    int width_ = 0;
    int height_ = 0;
    int line_bytes_ = 0;
    // A byte buffer that is not cleared when it grows.
    struct PlaneBuffer {
        std::unique_ptr<uint8_t[]> bytes;
        size_t capacity = 0;
        uint8_t* Reserve(size_t size);
        uint8_t* ReserveTouched(size_t size);  // new memory cleared
    };

    bool PrepareFitted(const MosaicOptions& options, std::string* error);
    void RunJobs(void* data, PolarMosaicJob job, uint32_t count);
    static void SplitJob(void* host_and_source, uint32_t index);
    static void MergeJob(void* host_and_destination, uint32_t index);

    PlaneBuffer out_planes_[3];
    PlaneBuffer in_planes_[3];
    std::unique_ptr<ThreadPool> pool_;
    std::vector<int16_t> tile_widths_;
    std::vector<int16_t> tile_heights_;
    std::vector<uint8_t> ramps_[12];
    PolarMosaicParam param_ = {};
    Geometry geometry_ = kGeometryFitted;
    // Fitted geometry: the plan of the last Prepare and a frame's scratch.
    PlaneBuffer plan_;
    size_t plan_bytes_ = 0;
    bool plan_ready_ = false;
    int plan_builds_ = 0;
    PolarPlanSettings plan_settings_ = {};
    // A measured plan head that Prepare has not built yet.
    std::unique_ptr<uint8_t[]> measured_;
    size_t measured_head_bytes_ = 0;
    size_t measured_plan_bytes_ = 0;
    PolarPlanSettings measured_settings_ = {};
    void UseThreads(int requested);
    void KeepMeasured(std::unique_ptr<uint8_t[]> head, size_t head_bytes, size_t plan_bytes,
                      const PolarPlanSettings& settings);
    bool MeasureInto(const PolarPlanSettings& settings, std::string* error);
    bool BuildInOneWalk(const PolarPlanSettings& settings, std::string* error);
    bool PlanBuilt(int status, const PolarPlanSettings& settings, size_t plan_bytes, std::string* error);
    std::vector<uint8_t> scratch_;
    PlaneBuffer alpha_planes_[2];
    // A picture converted into the input planes by TakePicture.
    struct TakenPicture {
        const uint8_t* src = nullptr;
        ptrdiff_t stride = 0;
        int width = 0, height = 0, channels = 0;
        bool translucent = false;
    };
    TakenPicture taken_;
    PolarPlanFrame frame_ = {};
};

// One-shot form: checks, allocates, runs. dst gets width * height * 3 bytes
// of interleaved RGB. Returns false with the reason when the options or the
// size are refused.
bool ApplyPolarMosaic(const uint8_t* rgb, int width, int height, const MosaicOptions& options,
                      std::vector<uint8_t>* dst, std::string* error);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_HOST_MOSAIC_HOST_H
