// Fitted geometry: layout of the polar grid, record checks, the tile grid
// records and the whole effect through a runner.
#include <math.h>

#include "fitted_internal.h"
#include "floathelpers_internal.h"

namespace polarmosaic_detail {

double fittedHalfDiagonal(int width, int height) {
    const double cx = fittedCentre(width);
    const double cy = fittedCentre(height);
    return sqrt(cx * cx + cy * cy);
}

double fittedFirstQuadrantAngle(double ax, double ay) {
    if (ax == 0.0 && ay == 0.0) return 0.0;
    if (ay <= ax) return static_cast<double>(atanOfFloatToFloat(static_cast<float>(ay / ax)));
    return kFittedHalfPi - static_cast<double>(atanOfFloatToFloat(static_cast<float>(ax / ay)));
}

}  // namespace polarmosaic_detail

using namespace polarmosaic_detail;

namespace {

constexpr int32_t kMaxWidth = 32752;
constexpr int32_t kMaxHeight = 32767;

struct Layout {
    int32_t polarRows, polarCols, polarLineBytes, sectorCols, rings;
};

// The derived geometry; false when the inputs are out of range.
bool computeLayout(int32_t width, int32_t height, int32_t sectors, int32_t ringWidth, Layout* out) {
    if (width < 2 || width > kMaxWidth || height < 2 || height > kMaxHeight) return false;
    if (sectors < 1 || sectors > POLARMOSAIC_FITTED_MAX_COLS || ringWidth < 1 || ringWidth > 32767) return false;
    const double halfDiagonal = fittedHalfDiagonal(width, height);
    Layout l;
    l.polarRows = static_cast<int32_t>(halfDiagonal) + 1;  // at most 23166
    // About one column per output pixel of arc at the rim.
    const double perSector = kFittedTwoPi * halfDiagonal / static_cast<double>(sectors);
    int32_t cols = static_cast<int32_t>(ceil(perSector));
    const int32_t most = POLARMOSAIC_FITTED_MAX_COLS / sectors;
    if (cols > most) cols = most;
    if (cols < 1) cols = 1;
    l.sectorCols = cols;
    l.polarCols = cols * sectors;
    l.polarLineBytes = (l.polarCols + 15) / 16 * 16;
    l.rings = (l.polarRows + ringWidth - 1) / ringWidth;
    *out = l;
    return true;
}

bool bordersDrawn(const PolarFittedParam* p) {
    return p->borderWidth > 0 && p->borderMode >= POLARMOSAIC_BORDER_GRID &&
           p->borderMode <= POLARMOSAIC_BORDER_SPOKES;
}

// Rows of the centre disc.
int32_t discRows(const PolarFittedParam* p) {
    return p->ringWidth < p->polarRows ? p->ringWidth : p->polarRows;
}

}  // namespace

extern "C" int polarFittedLayout(PolarFittedParam* param, int32_t width, int32_t height, int32_t sectors,
                                 int32_t ringWidth) {
    if (param == nullptr) return POLARMOSAIC_NULL_RECORD;
    if (width < 2 || width > kMaxWidth || height < 2 || height > kMaxHeight) return POLARMOSAIC_BAD_SIZE;
    Layout l;
    if (!computeLayout(width, height, sectors, ringWidth, &l)) return POLARMOSAIC_BAD_TILE_SIZE;
    param->width = static_cast<int16_t>(width);
    param->height = static_cast<int16_t>(height);
    param->lineBytes = lcw16(static_cast<int16_t>(width));
    param->sectors = static_cast<int16_t>(sectors);
    param->ringWidth = static_cast<int16_t>(ringWidth);
    param->polarRows = static_cast<int16_t>(l.polarRows);
    param->polarCols = static_cast<int16_t>(l.polarCols);
    param->polarLineBytes = static_cast<int16_t>(l.polarLineBytes);
    param->sectorCols = static_cast<int16_t>(l.sectorCols);
    param->rings = static_cast<int16_t>(l.rings);
    return POLARMOSAIC_OK;
}

extern "C" int checkPolarFittedParam(const PolarFittedParam* p) {
    if (p == nullptr) return POLARMOSAIC_NULL_RECORD;
    for (int c = 0; c < 3; ++c) {
        if (p->srcPlane[c] == nullptr || p->dstPlane[c] == nullptr || p->polarPlane[c] == nullptr ||
            p->tilePlane[c] == nullptr) {
            return POLARMOSAIC_NULL_PLANE;
        }
    }
    if (p->width < 2 || p->width > kMaxWidth || p->height < 2) return POLARMOSAIC_BAD_SIZE;
    if (p->lineBytes < p->width) return POLARMOSAIC_BAD_LINE_BYTES;
    if (p->planeBytes < static_cast<int32_t>(p->height) * p->lineBytes) return POLARMOSAIC_PLANE_TOO_SMALL;
    Layout l;
    if (!computeLayout(p->width, p->height, p->sectors, p->ringWidth, &l)) return POLARMOSAIC_BAD_TILE_SIZE;
    if (p->polarRows != l.polarRows || p->polarCols != l.polarCols || p->polarLineBytes != l.polarLineBytes ||
        p->sectorCols != l.sectorCols || p->rings != l.rings) {
        return POLARMOSAIC_BAD_TILE_GRID;
    }
    if (p->polarPlaneBytes < l.polarRows * l.polarLineBytes) return POLARMOSAIC_PLANE_TOO_SMALL;
    if (p->tileWidths == nullptr || p->tileHeights == nullptr) return POLARMOSAIC_NULL_TILE_ARRAY;
    if (bordersDrawn(p) && p->borderWidth >= 2) {
        for (int r = 0; r < 12; ++r) {
            if (p->ramp[r] == nullptr) return POLARMOSAIC_NULL_RAMP;
        }
    }
    return POLARMOSAIC_OK;
}

extern "C" int iFittedTileRecords0(const PolarFittedParam* p, PolarMosaicParam* centre, PolarTileGrid* centreGrid,
                                   PolarMosaicParam* outer, PolarTileGrid* outerGrid) {
    const int status = checkPolarFittedParam(p);
    if (status != POLARMOSAIC_OK) return status;
    if (centre == nullptr || centreGrid == nullptr || outer == nullptr || outerGrid == nullptr) {
        return POLARMOSAIC_NULL_RECORD;
    }
    const int32_t disc = discRows(p);
    const int32_t outerRows = p->polarRows - disc;
    p->tileWidths[0] = p->polarCols;
    for (int32_t s = 1; s <= p->sectors; ++s) p->tileWidths[s] = p->sectorCols;
    for (int32_t k = 0; k < p->rings; ++k) {
        const int32_t start = k * p->ringWidth;
        const int32_t rest = p->polarRows - start;
        p->tileHeights[k] = static_cast<int16_t>(rest < p->ringWidth ? rest : p->ringWidth);
    }

    PolarMosaicParam base = {};
    base.lineBytes = p->polarLineBytes;
    base.width = p->polarCols;
    base.splitRemainder = 0;
    base.borderMode = p->borderMode;
    base.borderWidth = p->borderWidth;
    for (int c = 0; c < 3; ++c) base.borderValue[c] = p->borderValue[c];
    for (int s = 0; s < 4; ++s) base.shade[s] = p->shade[s];
    for (int r = 0; r < 12; ++r) base.ramp[r] = p->ramp[r];

    // The disc: one tile over the whole turn.
    *centre = base;
    for (int c = 0; c < 3; ++c) {
        centre->outPlane[c] = p->polarPlane[c];
        centre->inPlane[c] = p->tilePlane[c];
    }
    centre->planeBytes = p->polarPlaneBytes;
    centre->height = static_cast<int16_t>(disc);
    centre->tileWidths = p->tileWidths;
    centre->tileHeights = p->tileHeights;
    centre->tileWidth = p->polarCols;
    centre->tileHeight = static_cast<int16_t>(disc);
    centre->tileCols = 1;
    centre->tileRows = 1;
    centreGrid->tileWidths = p->tileWidths;
    centreGrid->tileHeights = p->tileHeights;
    centreGrid->tileCols = 1;
    centreGrid->tileRows = 1;

    // The rings around it, on planes that start below the disc rows.
    *outer = base;
    const int32_t skip = disc * p->polarLineBytes;
    for (int c = 0; c < 3; ++c) {
        outer->outPlane[c] = p->polarPlane[c] + skip;
        outer->inPlane[c] = p->tilePlane[c] + skip;
    }
    outer->planeBytes = p->polarPlaneBytes - skip;
    outer->height = static_cast<int16_t>(outerRows);
    outer->tileWidths = p->tileWidths + 1;
    outer->tileHeights = p->tileHeights + 1;
    outer->tileWidth = p->sectorCols;
    outer->tileCols = p->sectors;
    // A count the module's own grid accepts for these rows: one partial
    // ring is an exact fit of its own height.
    outer->tileRows = static_cast<int16_t>(p->rings - 1);
    outer->tileHeight = p->rings == 2 ? static_cast<int16_t>(outerRows) : p->ringWidth;
    outerGrid->tileWidths = p->tileWidths + 1;
    outerGrid->tileHeights = p->tileHeights + 1;
    outerGrid->tileCols = p->sectors;
    outerGrid->tileRows = static_cast<int16_t>(p->rings - 1);
    return POLARMOSAIC_OK;
}

// ---------------------------------------------------------------------------
// The whole effect through a runner.

namespace {

constexpr int32_t kForwardRowsPerJob = 32;  // each job takes the column angles afresh
constexpr int32_t kInverseRowsPerJob = 16;
constexpr int32_t kRingsPerJob = 4;

enum class FittedStage { kForward, kAverage, kInverse };

struct FittedJobs {
    const PolarFittedParam* param;
    const PolarMosaicParam* outer;
    const PolarTileGrid* outerGrid;
    FittedStage stage;
    int32_t total;  // rows (forward, inverse) or tile rows (average)
    int32_t perJob;
};

void runFittedJob(void* data, uint32_t index) {
    const FittedJobs* jobs = static_cast<const FittedJobs*>(data);
    const int32_t first = static_cast<int32_t>(index) * jobs->perJob;
    int32_t end = first + jobs->perJob;
    if (end > jobs->total) end = jobs->total;
    // The record was checked before any job was made; the stages cannot
    // refuse a range inside it.
    switch (jobs->stage) {
        case FittedStage::kForward:
            iFittedForwardRows0(jobs->param, first, end);
            break;
        case FittedStage::kAverage:
            iTileAverageRows0(jobs->outer, jobs->outerGrid, first, end);
            break;
        case FittedStage::kInverse:
            iFittedInverseRows0(jobs->param, first, end);
            break;
    }
}

// The twelve shading ramps, as the border stage of the classic effect fills
// them: flat in the border colour when every shade factor is below 0.0001,
// otherwise calcCArray per side and channel.
void fillFittedRamps(const PolarFittedParam* p) {
    const int16_t length = static_cast<int16_t>(p->borderWidth / 2 + 1);
    float shade[4];
    bool flat = true;
    for (int s = 0; s < 4; ++s) {
        shade[s] = p->shade[s] < 0.0f ? 0.0f : p->shade[s];  // NaN stays
        if (!(static_cast<double>(shade[s]) < 0.0001)) flat = false;
    }
    for (int s = 0; s < 4; ++s) {
        for (int c = 0; c < 3; ++c) {
            uint8_t* ramp = p->ramp[3 * s + c];
            if (flat) {
                for (int k = 0; k < length; ++k) ramp[k] = static_cast<uint8_t>(p->borderValue[c]);
            } else {
                calcCArray(ramp, length, p->borderValue[c], shade[s]);
            }
        }
    }
}

int runStage(FittedJobs* jobs, PolarMosaicRunner runner, void* runnerData) {
    if (jobs->total <= 0) return 0;
    const uint32_t count = static_cast<uint32_t>((jobs->total + jobs->perJob - 1) / jobs->perJob);
    if (runner == nullptr) {
        for (uint32_t i = 0; i < count; ++i) runFittedJob(jobs, i);
        return 0;
    }
    return runner(runnerData, jobs, runFittedJob, count);
}

}  // namespace

extern "C" int iPolarFittedRun0(const PolarFittedParam* p, PolarMosaicRunner runner, void* runnerData) {
    PolarMosaicParam centre, outer;
    PolarTileGrid centreGrid, outerGrid;
    const int status = iFittedTileRecords0(p, &centre, &centreGrid, &outer, &outerGrid);
    if (status != POLARMOSAIC_OK) return status;

    FittedJobs jobs = {p, &outer, &outerGrid, FittedStage::kForward, p->polarRows, kForwardRowsPerJob};
    if (runStage(&jobs, runner, runnerData) != 0) return POLARMOSAIC_RUNNER_FAILED;

    iTileAverageRows0(&centre, &centreGrid, 0, 1);
    jobs.stage = FittedStage::kAverage;
    jobs.total = outerGrid.tileRows;
    jobs.perJob = kRingsPerJob;
    if (runStage(&jobs, runner, runnerData) != 0) return POLARMOSAIC_RUNNER_FAILED;

    if (bordersDrawn(p) && p->borderWidth >= 2) fillFittedRamps(p);

    jobs.stage = FittedStage::kInverse;
    jobs.total = p->height;
    jobs.perJob = kInverseRowsPerJob;
    if (runStage(&jobs, runner, runnerData) != 0) return POLARMOSAIC_RUNNER_FAILED;
    return POLARMOSAIC_OK;
}
