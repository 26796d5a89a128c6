// Record checks, status texts and the version. Every stage indexes the
// caller's buffers from its record alone, so a record outside these bounds
// would make it read or write out of bounds; such a call returns without
// writing, and these functions tell the caller why.
#include "shared/internal.h"

using namespace polarmosaic_detail;

namespace {

// On an axis of size dim with nominal tile size tile: an exact fit allows at
// most dim / tile tiles, otherwise 2 .. dim / tile + 2.
bool tileCountUsable(int32_t dim, int32_t tile, int32_t count) {
    int32_t whole = dim / tile;
    if (dim - whole * tile == 0) return count <= whole;
    return count >= 2 && count <= whole + 2;
}

bool allPresent(uint8_t* const* planes, int count) {
    for (int i = 0; i < count; ++i) {
        if (planes[i] == nullptr) return false;
    }
    return true;
}

}  // namespace

namespace polarmosaic_detail {

int checkPlaneGeometry(const PolarMosaicParam& p) {
    if (!allPresent(p.outPlane, 3) || !allPresent(p.inPlane, 3)) return POLARMOSAIC_NULL_PLANE;
    if (p.width < 2 || p.height < 2 || p.width > 32752) return POLARMOSAIC_BAD_SIZE;
    if (p.lineBytes != lcw16(p.width)) return POLARMOSAIC_BAD_LINE_BYTES;
    if (static_cast<int64_t>(p.planeBytes) < static_cast<int64_t>(p.height) * p.lineBytes) {
        return POLARMOSAIC_PLANE_TOO_SMALL;
    }
    return POLARMOSAIC_OK;
}

bool rampsFilled(const PolarMosaicParam& p) {
    return p.borderMode != POLARMOSAIC_BORDER_NONE && p.borderWidth >= 2;
}

int checkRamps(const PolarMosaicParam& p) {
    return rampsFilled(p) && !allPresent(p.ramp, 12) ? POLARMOSAIC_NULL_RAMP : POLARMOSAIC_OK;
}

}  // namespace polarmosaic_detail

extern "C" int checkPolarMosaicParam(const PolarMosaicParam* param) {
    if (param == nullptr) return POLARMOSAIC_NULL_RECORD;
    const PolarMosaicParam& p = *param;
    const int geometry = checkPlaneGeometry(p);
    if (geometry != POLARMOSAIC_OK) return geometry;
    if (p.tileWidth <= 0 || p.tileHeight <= 0) return POLARMOSAIC_BAD_TILE_SIZE;
    if (!tileCountUsable(p.width, p.tileWidth, p.tileCols) ||
        !tileCountUsable(p.height, p.tileHeight, p.tileRows)) {
        return POLARMOSAIC_BAD_TILE_COUNT;
    }
    if (p.tileWidths == nullptr || p.tileHeights == nullptr) return POLARMOSAIC_NULL_TILE_ARRAY;
    return checkRamps(p);
}

extern "C" int checkPolarMapParam(const PolarMapParam* param) {
    if (param == nullptr) return POLARMOSAIC_NULL_RECORD;
    if (!planesPresent(param->srcPlane) || !planesPresent(param->dstPlane)) return POLARMOSAIC_NULL_PLANE;
    if (param->width <= 0 || param->height <= 0) return POLARMOSAIC_BAD_SIZE;
    if (param->lineBytes < param->width) return POLARMOSAIC_BAD_LINE_BYTES;
    return POLARMOSAIC_OK;
}

extern "C" int checkTurnParam(const TurnParam* param, int transposing) {
    if (param == nullptr) return POLARMOSAIC_NULL_RECORD;
    const TurnParam& p = *param;
    if (transposing == 0 && (p.turnMode < POLARMOSAIC_TURN_CCW || p.turnMode > POLARMOSAIC_TURN_CW)) {
        return POLARMOSAIC_BAD_TURN_MODE;
    }
    if (!planesPresent(p.srcPlane) || !planesPresent(p.dstPlane)) return POLARMOSAIC_NULL_PLANE;
    if (p.srcWidth <= 0 || p.srcHeight <= 0) return POLARMOSAIC_BAD_SIZE;
    if (p.srcLineBytes < p.srcWidth) return POLARMOSAIC_BAD_LINE_BYTES;
    // Quarter turns and the transposing copy put source rows into destination
    // columns, so each destination row needs room for srcHeight samples.
    const bool rowsIntoColumns = transposing != 0 || p.turnMode != POLARMOSAIC_TURN_HALF;
    if (rowsIntoColumns && p.dstLineBytes < p.srcHeight) return POLARMOSAIC_BAD_LINE_BYTES;
    return POLARMOSAIC_OK;
}

extern "C" const char* polarMosaicStatusText(int status) {
    switch (status) {
        case POLARMOSAIC_OK:
            return "ok";
        case POLARMOSAIC_NULL_RECORD:
            return "no parameter record";
        case POLARMOSAIC_NULL_PLANE:
            return "a plane pointer is missing";
        case POLARMOSAIC_BAD_SIZE:
            return "width or height out of range";
        case POLARMOSAIC_BAD_LINE_BYTES:
            return "line width does not fit the rows";
        case POLARMOSAIC_PLANE_TOO_SMALL:
            return "planes smaller than height times line width";
        case POLARMOSAIC_BAD_TILE_SIZE:
            return "tile width or height not positive";
        case POLARMOSAIC_BAD_TILE_COUNT:
            return "tile count out of range for the tile size";
        case POLARMOSAIC_NULL_TILE_ARRAY:
            return "a tile size array is missing";
        case POLARMOSAIC_NULL_RAMP:
            return "borders need all twelve shading ramps";
        case POLARMOSAIC_BAD_TURN_MODE:
            return "turn mode outside 0 to 2";
        case POLARMOSAIC_BAD_RANGE:
            return "row range outside the image";
        case POLARMOSAIC_BAD_TILE_GRID:
            return "tile sizes that leave the image";
        case POLARMOSAIC_RUNNER_FAILED:
            return "the parallel runner failed";
        default:
            return "unknown status";
    }
}

extern "C" uint32_t polarMosaicVersion(void) { return POLARMOSAIC_VERSION; }
