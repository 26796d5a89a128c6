// Straightforward versions of every pass of the polar mosaic effect, written
// for the tests as plainly as possible: one sine and cosine per pixel, wrap
// loops that step one period at a time, no shortcuts. The module's own paths
// (which may be faster) are compared against these byte for byte.
//
// The reference works on the module's own record types and writes through the
// pointers they hold, so a test builds a second record that points at copies
// of the buffers and runs both.
//
// Choices for inputs whose outcome the effect leaves open (mirrored by the
// module):
//  - tile channel sums are 64-bit, so every tile average is exact;
//  - a sample row index equal to the row count (forward pass: y == height
//    without wrap; inverse pass: v == height after the angular wrap) samples
//    the last row instead (its weight fy is 0 there);
//  - a NaN coordinate, or a wrap loop that cannot end (NaN or infinite
//    coordinate, period <= 0, a step that leaves the value unchanged), skips
//    the pixel: the destination keeps its bytes;
//  - float -> 32-bit integer truncation saturates (NaN -> INT32_MIN); a
//    value "taken as signed 16-bit" is the low 16 bits of that 32-bit value.
#ifndef POLARMOSAIC_TESTS_REFERENCE_H
#define POLARMOSAIC_TESTS_REFERENCE_H

#include <cstdint>
#include <vector>

#include <polarmosaic/polarmosaic.h>

namespace ref {

enum class Outcome {
    kDone,      // ran to the end
    kRejected,  // record out of contract: nothing written
    kGaveUp,    // the wrap loops hit the round cap: buffers partly written
};

struct Options {
    // Total wrap-loop rounds (one period added or subtracted) allowed in one
    // resampling pass before the reference gives up.
    int64_t maxRounds = 200000000;
    // When non-null, receives one byte per destination pixel (row-major,
    // width per row): 1 where the pass left the pixel untouched.
    std::vector<uint8_t>* skipMask = nullptr;
};

struct PassReport {
    Outcome outcome = Outcome::kDone;
    int64_t rounds = 0;         // wrap-loop rounds taken
    int64_t skipped = 0;        // destination pixels left untouched
    int64_t stuck = 0;          // pixels skipped because a wrap loop cannot end
    int64_t nanSkipped = 0;     // pixels skipped for a NaN coordinate
    int64_t lastRowClamps = 0;  // row index == height, last row sampled
};

// Numeric helpers.
int32_t truncSat32(double x);  // toward zero, saturating, NaN -> INT32_MIN
int16_t low16(int32_t x);
float fmod33(float x);
float fabs33(float x);

// Plane turns and line width.
int16_t lcw16(int16_t width);
void turn0(const TurnParam* p);
void turn1(const TurnParam* p);

// Shading ramp.
void calcCArray(uint8_t* ramp, int16_t length, int16_t value, float shade);

// Polar resampling passes.
PassReport polar2Cartesian(const PolarMapParam* p, const Options& opt = Options());
PassReport cartesian2Polar(const PolarMapParam* p, const Options& opt = Options());

// Tile grid on one axis: fills sizes[] and returns the working count.
int16_t tileAxis(int16_t dim, int16_t nominal, int16_t count, int16_t splitRemainder, int16_t* sizes);

// Fills every tile of dst with the floor of its mean over src.
void averageTiles(uint8_t* const src[3], uint8_t* const dst[3], int16_t lineBytes, const int16_t* tileWidths,
                  int16_t cols, const int16_t* tileHeights, int16_t rows);

// Border stage on p->inPlane with the given grid (working counts).
void drawBorders(const PolarMosaicParam* p, int16_t cols, int16_t rows);

struct PipelineReport {
    Outcome outcome = Outcome::kDone;
    int16_t workingCols = 0;
    int16_t workingRows = 0;
    PassReport forward;
    PassReport inverse;
    // Stage-5 skip mask in result coordinates (height rows of width).
    std::vector<uint8_t> inverseSkipsUpright;
};

// The whole effect, six stages.
PipelineReport polarMosaic(const PolarMosaicParam* p, const Options& opt = Options());

}  // namespace ref

#endif
