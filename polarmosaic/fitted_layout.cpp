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
    if (sectors < 1 || sectors > POLARMOSAIC_FITTED_MAX_COLS || ringWidth < 1 || ringWidth > 32767)
        return false;
    const double halfDiagonal = fittedHalfDiagonal(width, height);
    Layout l;
    // At most 23166; at least 2, the smallest height of the averaging stage
    // (a row beyond the farthest pixel is never shown).
    l.polarRows = static_cast<int32_t>(halfDiagonal) + 1;
    if (l.polarRows < 2) l.polarRows = 2;
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

extern "C" int iFittedTileRecords0(const PolarFittedParam* p, PolarMosaicParam* tiles,
                                   PolarTileGrid* centreGrid, PolarTileGrid* ringGrid) {
    const int status = checkPolarFittedParam(p);
    if (status != POLARMOSAIC_OK) return status;
    if (tiles == nullptr || centreGrid == nullptr || ringGrid == nullptr) return POLARMOSAIC_NULL_RECORD;
    p->tileWidths[0] = p->polarCols;
    for (int32_t s = 1; s <= p->sectors; ++s) p->tileWidths[s] = p->sectorCols;
    for (int32_t k = 0; k < p->rings; ++k) {
        const int32_t rest = p->polarRows - k * p->ringWidth;
        p->tileHeights[k] = static_cast<int16_t>(rest < p->ringWidth ? rest : p->ringWidth);
    }

    *tiles = PolarMosaicParam();
    for (int c = 0; c < 3; ++c) {
        tiles->outPlane[c] = p->polarPlane[c];
        tiles->inPlane[c] = p->tilePlane[c];
    }
    tiles->planeBytes = p->polarPlaneBytes;
    tiles->width = p->polarCols;
    tiles->height = p->polarRows;
    tiles->lineBytes = p->polarLineBytes;
    tiles->tileWidths = p->tileWidths + 1;
    tiles->tileHeights = p->tileHeights;
    tiles->tileWidth = p->sectorCols;
    tiles->tileHeight = p->ringWidth;
    tiles->tileCols = p->sectors;
    tiles->tileRows = p->rings;
    tiles->borderMode = p->borderMode;
    tiles->borderWidth = p->borderWidth;
    for (int c = 0; c < 3; ++c) tiles->borderValue[c] = p->borderValue[c];
    for (int s = 0; s < 4; ++s) tiles->shade[s] = p->shade[s];
    for (int r = 0; r < 12; ++r) tiles->ramp[r] = p->ramp[r];

    centreGrid->tileWidths = p->tileWidths;
    centreGrid->tileHeights = p->tileHeights;
    centreGrid->tileCols = 1;
    centreGrid->tileRows = 1;
    ringGrid->tileWidths = p->tileWidths + 1;
    ringGrid->tileHeights = p->tileHeights;
    ringGrid->tileCols = p->sectors;
    ringGrid->tileRows = p->rings;
    return POLARMOSAIC_OK;
}

// ---------------------------------------------------------------------------
// The whole effect through a runner.

namespace {

constexpr int32_t kForwardRowsPerJob = 64;  // each job takes the column angles afresh
constexpr int32_t kInverseRowsPerJob = 16;
constexpr int32_t kRingsPerJob = 4;

enum class FittedStage { kForward, kAverage, kInverse };

struct FittedJobs {
    const PolarFittedParam* param;
    const PolarMosaicParam* tiles;
    const PolarTileGrid* ringGrid;
    FittedStage stage;
    int32_t first;  // rows (forward, inverse) or tile rows (average)
    int32_t total;
    int32_t perJob;
};

void runFittedJob(void* data, uint32_t index) {
    const FittedJobs* jobs = static_cast<const FittedJobs*>(data);
    const int32_t first = jobs->first + static_cast<int32_t>(index) * jobs->perJob;
    int32_t end = first + jobs->perJob;
    if (end > jobs->total) end = jobs->total;
    // The record was checked before any job was made; the stages cannot
    // refuse a range inside it.
    switch (jobs->stage) {
        case FittedStage::kForward:
            iFittedForwardRows0(jobs->param, first, end);
            break;
        case FittedStage::kAverage:
            iTileAverageRows0(jobs->tiles, jobs->ringGrid, first, end);
            break;
        case FittedStage::kInverse:
            iFittedInverseRows0(jobs->param, first, end);
            break;
    }
}

int runStage(FittedJobs* jobs, PolarMosaicRunner runner, void* runnerData) {
    if (jobs->total <= jobs->first) return 0;
    const int32_t rows = jobs->total - jobs->first;
    const uint32_t count = static_cast<uint32_t>((rows + jobs->perJob - 1) / jobs->perJob);
    if (runner == nullptr) {
        for (uint32_t i = 0; i < count; ++i) runFittedJob(jobs, i);
        return 0;
    }
    return runner(runnerData, jobs, runFittedJob, count);
}

}  // namespace

extern "C" int iPolarFittedRun0(const PolarFittedParam* p, PolarMosaicRunner runner, void* runnerData) {
    PolarMosaicParam tiles;
    PolarTileGrid centreGrid, ringGrid;
    const int status = iFittedTileRecords0(p, &tiles, &centreGrid, &ringGrid);
    if (status != POLARMOSAIC_OK) return status;

    FittedJobs jobs = {p, &tiles, &ringGrid, FittedStage::kForward, 0, p->polarRows, kForwardRowsPerJob};
    if (runStage(&jobs, runner, runnerData) != 0) return POLARMOSAIC_RUNNER_FAILED;

    iTileAverageRows0(&tiles, &centreGrid, 0, 1);
    jobs.stage = FittedStage::kAverage;
    jobs.first = 1;
    jobs.total = ringGrid.tileRows;
    jobs.perJob = kRingsPerJob;
    if (runStage(&jobs, runner, runnerData) != 0) return POLARMOSAIC_RUNNER_FAILED;

    if (bordersDrawn(p) && p->borderWidth >= 2) iBorderRamps0(&tiles);

    jobs.stage = FittedStage::kInverse;
    jobs.first = 0;
    jobs.total = p->height;
    jobs.perJob = kInverseRowsPerJob;
    if (runStage(&jobs, runner, runnerData) != 0) return POLARMOSAIC_RUNNER_FAILED;
    return POLARMOSAIC_OK;
}
