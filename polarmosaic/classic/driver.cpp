// The polar mosaic driver: one call is six stages in a row, each split into
// jobs that a caller-supplied runner may run on any threads in any order.
//
//   1. forward pass      inPlane  -> outPlane   bands of angles
//   2. tile averages     outPlane -> inPlane    tile rows
//   3. borders           inPlane, in place      bands of rows
//   4. quarter turn      inPlane  -> outPlane   bands of destination rows
//   5. inverse pass      outPlane -> inPlane    bands of mirrored row pairs
//   6. transposing copy  inPlane  -> outPlane   bands of destination rows
//
// Within a stage the jobs write disjoint pixels (or, for the borders, the
// same pixels in the same order as one call would), so the bytes do not
// depend on the runner. A stage ends before the next begins.
#include "shared/internal.h"

using namespace polarmosaic_detail;

namespace {

// Job sizes: large enough that a job's fixed cost (kernel setup, the sine
// table of its angles) is small, small enough to share two to a few dozen
// cores evenly on common picture sizes.
const int32_t kAnglesPerJob = 64;
const int32_t kTileRowsPerJob = 1;
const int32_t kBorderRowsPerJob = 32;
const int32_t kTurnRowsPerJob = 64;
const int32_t kPairRowsPerJob = 16;

uint32_t jobsFor(int32_t items, int32_t perJob) {
    return items <= 0 ? 0u : static_cast<uint32_t>((items + perJob - 1) / perJob);
}

// The span of items of job `index`, clipped to `items`.
void jobSpan(uint32_t index, int32_t perJob, int32_t items, int32_t* first, int32_t* end) {
    *first = static_cast<int32_t>(index) * perJob;
    *end = items - *first < perJob ? items : *first + perJob;
}

// The records of one call: built once, read by every job.
struct Pipeline {
    const PolarMosaicParam* param;
    PolarTileGrid grid;
    PolarMapParam forward;
    TurnParam turn;
    PolarMapParam inverse;
    TurnParam back;
};

// Resampling passes always run at zoom 1 without offsets and with wrapping.
PolarMapParam mapRecord(uint8_t* const src[3], uint8_t* const dst[3], int16_t lineBytes, int16_t width,
                        int16_t height) {
    PolarMapParam map;
    map.zoom = 1.0f;
    map.radiusOffset = 0.0f;
    map.angleOffset = 0.0f;
    for (int c = 0; c < 3; ++c) {
        map.srcPlane[c] = src[c];
        map.dstPlane[c] = dst[c];
    }
    map.lineBytes = lineBytes;
    map.width = width;
    map.height = height;
    map.wrap = 1;
    return map;
}

TurnParam turnRecord(uint8_t* const src[3], uint8_t* const dst[3], int16_t srcWidth, int16_t srcLineBytes,
                     int16_t srcHeight, int16_t turnMode, int16_t dstLineBytes) {
    TurnParam turn;
    for (int c = 0; c < 3; ++c) {
        turn.srcPlane[c] = src[c];
        turn.dstPlane[c] = dst[c];
    }
    turn.srcWidth = srcWidth;
    turn.srcLineBytes = srcLineBytes;
    turn.srcHeight = srcHeight;
    turn.turnMode = turnMode;
    turn.dstWidth = srcHeight;  // both turns used here put source rows into columns
    turn.dstLineBytes = dstLineBytes;
    turn.dstHeight = srcWidth;
    return turn;
}

void forwardJob(void* data, uint32_t index) {
    const Pipeline& pipe = *static_cast<const Pipeline*>(data);
    int32_t first, end;
    jobSpan(index, kAnglesPerJob, pipe.forward.width, &first, &end);
    forwardAngles(pipe.forward, first, end);
}

void averageJob(void* data, uint32_t index) {
    const Pipeline& pipe = *static_cast<const Pipeline*>(data);
    int32_t first, end;
    jobSpan(index, kTileRowsPerJob, pipe.grid.tileRows, &first, &end);
    averageTileRows(*pipe.param, pipe.grid, first, end);
}

void borderJob(void* data, uint32_t index) {
    const Pipeline& pipe = *static_cast<const Pipeline*>(data);
    int32_t first, end;
    jobSpan(index, kBorderRowsPerJob, pipe.param->height, &first, &end);
    drawBorderRows(*pipe.param, pipe.grid, first, end);
}

void turnJob(void* data, uint32_t index) {
    const Pipeline& pipe = *static_cast<const Pipeline*>(data);
    int32_t first, end;
    jobSpan(index, kTurnRowsPerJob, pipe.turn.srcWidth, &first, &end);
    iTurnRows0(&pipe.turn, first, end);
}

void inverseJob(void* data, uint32_t index) {
    const Pipeline& pipe = *static_cast<const Pipeline*>(data);
    int32_t first, end;
    jobSpan(index, kPairRowsPerJob, pipe.inverse.height / 2 + 1, &first, &end);
    inverseRows(pipe.inverse, mirroredBand(pipe.inverse.height, first, end));
}

void backJob(void* data, uint32_t index) {
    const Pipeline& pipe = *static_cast<const Pipeline*>(data);
    int32_t first, end;
    jobSpan(index, kTurnRowsPerJob, pipe.back.srcWidth, &first, &end);
    iTurnRows1(&pipe.back, first, end);
}

// Runs every job of one stage, through the runner or in order here.
bool runStage(PolarMosaicRunner runner, void* runnerData, Pipeline* pipe, PolarMosaicJob job,
              uint32_t count) {
    if (count == 0) return true;
    if (runner == nullptr) {
        for (uint32_t i = 0; i < count; ++i) job(pipe, i);
        return true;
    }
    return runner(runnerData, pipe, job, count) == 0;
}

}  // namespace

extern "C" int iPolarMosaicRun0(const PolarMosaicParam* param, PolarMosaicRunner runner, void* runnerData) {
    const int status = checkPolarMosaicParam(param);
    if (status != POLARMOSAIC_OK) return status;
    const PolarMosaicParam& p = *param;
    const int16_t uprightLine = lcw16(p.width);

    Pipeline pipe;
    pipe.param = param;
    // 1. Unroll the picture onto the polar grid: one radius per row, one
    //    angle per column.
    pipe.forward = mapRecord(p.inPlane, p.outPlane, p.lineBytes, p.width, p.height);
    if (!runStage(runner, runnerData, &pipe, forwardJob, jobsFor(p.width, kAnglesPerJob))) {
        return POLARMOSAIC_RUNNER_FAILED;
    }

    // 2. Tile grid and averages.
    layOutGrid(p, &pipe.grid);
    if (!runStage(runner, runnerData, &pipe, averageJob, jobsFor(pipe.grid.tileRows, kTileRowsPerJob))) {
        return POLARMOSAIC_RUNNER_FAILED;
    }

    // 3. Borders: rings between tile rows, spokes between tile columns.
    if (p.borderMode != POLARMOSAIC_BORDER_NONE && p.borderWidth > 0) {
        buildRamps(p);
        if (!runStage(runner, runnerData, &pipe, borderJob, jobsFor(p.height, kBorderRowsPerJob))) {
            return POLARMOSAIC_RUNNER_FAILED;
        }
    }

    // 4. Quarter turn clockwise, so that the inverse pass reads the radius
    //    along its rows: width rows of height bytes.
    pipe.turn =
        turnRecord(p.inPlane, p.outPlane, p.width, uprightLine, p.height, POLARMOSAIC_TURN_CW, p.height);
    if (!runStage(runner, runnerData, &pipe, turnJob, jobsFor(p.width, kTurnRowsPerJob))) {
        return POLARMOSAIC_RUNNER_FAILED;
    }

    // 5. Map the polar picture back, in the turned orientation (height
    //    columns, width rows).
    pipe.inverse = mapRecord(p.outPlane, p.inPlane, p.height, p.height, p.width);
    if (!runStage(runner, runnerData, &pipe, inverseJob, jobsFor(p.width / 2 + 1, kPairRowsPerJob))) {
        return POLARMOSAIC_RUNNER_FAILED;
    }

    // 6. Transpose back upright, rows lcw16(width) apart.
    pipe.back =
        turnRecord(p.inPlane, p.outPlane, p.height, p.height, p.width, POLARMOSAIC_TURN_CCW, uprightLine);
    if (!runStage(runner, runnerData, &pipe, backJob, jobsFor(p.height, kTurnRowsPerJob))) {
        return POLARMOSAIC_RUNNER_FAILED;
    }
    return POLARMOSAIC_OK;
}

extern "C" void iPolarMosaic0(const PolarMosaicParam* param) { iPolarMosaicRun0(param, nullptr, nullptr); }
