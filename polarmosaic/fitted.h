/*
 * fitted.h - the fitted geometry of the polar mosaic, for photographs.
 *
 * The classic effect (iPolarMosaic0) keeps its fixed framing. The fitted
 * geometry is built from the same stages and follows the picture instead:
 *
 *  - Registered: the polar grid is centred on ((width - 1) / 2,
 *    (height - 1) / 2) and reaches the farthest pixel (half the diagonal).
 *    Polar row i holds the output distances i .. i + 1, so a feature at
 *    distance r and angle theta shows in the tile at r and theta, for every
 *    aspect ratio, and nothing is cropped.
 *  - No wrap: a sample point beyond the picture takes the nearest edge pixel.
 *  - Exact tiles: sectors * sectorCols polar columns make one turn, so every
 *    ring has exactly `sectors` sectors of equal angle; rings are exactly
 *    ringWidth output pixels thick (the outermost one is cut by the corners);
 *    the centre (radius below ringWidth) is one disc.
 *  - Lines drawn in output space with a constant width: a ring line covers
 *    the pixels whose signed distance to the circle of radius
 *    k * ringWidth lies in [-borderWidth / 2, borderWidth / 2), a spoke the
 *    pixels from the first ring out whose signed perpendicular distance to
 *    the ray at angle 2 pi k / sectors does (half-open, so a line of width w
 *    is w pixels across an axis, even between two pixel rows); a spoke runs
 *    at the closure (angle 0, pointing right) like everywhere else. Each
 *    pixel takes ramp entry round(|distance|) (at most borderWidth / 2) of
 *    its side, as the classic bands do; where a ring and a spoke meet, the
 *    nearer centre line wins, the ring's on a tie.
 *  - Flat stays flat: resampling is an integer bilinear blend with weights
 *    in 1/256 steps, rounded, so one colour comes back exactly.
 *
 * Angles run counter-clockwise as the picture is displayed, from the
 * direction of increasing column; polar column j holds the angles
 * 2 pi j / polarCols .. 2 pi (j + 1) / polarCols, row i the distances
 * i .. i + 1 from the centre.
 *
 * Stages, in this order (each one must finish before the next starts; each
 * works on a range of rows, and any split of a stage's range run in any
 * order on any threads writes the same bytes as one call):
 *   iFittedForwardRows0   picture (srcPlane) -> polar samples (polarPlane),
 *                         polar rows first .. end - 1
 *   iFittedTileRecords0   lays the tile grid into tileWidths / tileHeights
 *                         and fills the record and the two grids of the
 *                         averaging calls
 *   iTileAverageRows0     polarPlane -> tilePlane: tile row 0 of the centre
 *                         grid (the disc), tile rows 1 .. rings - 1 of the
 *                         ring grid, in any split
 *   iBorderRamps0         on the same record (lines of width >= 2 only)
 *   iFittedInverseRows0   tile image and lines -> dstPlane,
 *                         output rows first .. end - 1
 * iPolarFittedRun0 runs them all through a caller-supplied runner.
 *
 * Every floating-point step has a fixed precision; the sines, cosines and
 * arctangents are the module's own correctly rounded ones, so the result is
 * the same on every processor and for every thread count.
 *
 * Compiles as C99 and as C++17; all functions have C linkage.
 */
#ifndef POLARMOSAIC_FITTED_H
#define POLARMOSAIC_FITTED_H

#include "polarmosaic.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Largest polar column count (its line width must stay a positive int16). */
#define POLARMOSAIC_FITTED_MAX_COLS 32752

/*
 * Record of the fitted effect. Fill the geometry with polarFittedLayout, then
 * the pointers and the border settings. The module only reads it.
 *
 * Buffers (all caller-owned, distinct):
 *   srcPlane[3]   the picture: height rows of width pixels, lineBytes apart
 *                 (planeBytes bytes each); only read.
 *   dstPlane[3]   the result, same geometry; of each row only the first
 *                 width bytes are written.
 *   polarPlane[3], tilePlane[3]  polarRows rows of polarCols samples,
 *                 polarLineBytes apart: polarPlaneBytes bytes each.
 *   tileWidths    sectors + 1 entries; tileHeights `rings` entries.
 *   ramp[12]      borderWidth / 2 + 1 entries each when lines are drawn
 *                 (borderMode 2, 3 or 4) with borderWidth >= 2; otherwise
 *                 never read or written, and any of them may be NULL.
 */
typedef struct PolarFittedParam {
    uint8_t* srcPlane[3];
    uint8_t* dstPlane[3];
    uint8_t* polarPlane[3];
    uint8_t* tilePlane[3];
    int32_t planeBytes;      /* picture planes: at least height * lineBytes */
    int32_t polarPlaneBytes; /* at least polarRows * polarLineBytes */
    int16_t* tileWidths;
    int16_t* tileHeights;
    uint8_t* ramp[12];
    /* Shade factors as in PolarMosaicParam: 0 outer side of a ring, 1 inner
     * side, 2 counter-clockwise side of a spoke, 3 clockwise side. */
    float shade[4];
    int16_t width;     /* picture, 2 .. 32752 */
    int16_t height;    /* 2 .. 32767 */
    int16_t lineBytes; /* >= width */
    int16_t sectors;   /* sectors per ring, 1 .. 32752 */
    int16_t ringWidth; /* ring thickness in output pixels, >= 1 */
    /* Derived by polarFittedLayout from the five fields above. */
    int16_t polarRows;      /* floor(half diagonal) + 1, at least 2 */
    int16_t polarCols;      /* sectors * sectorCols */
    int16_t polarLineBytes; /* lcw16(polarCols) */
    int16_t sectorCols;     /* polar columns per sector */
    int16_t rings;          /* ceil(polarRows / ringWidth), centre disc included */
    /* Borders as in PolarMosaicParam: 1 none, 2 rings and spokes, 3 rings,
     * 4 spokes (any other value draws nothing); borderWidth 0 or less: none. */
    int16_t borderMode;
    int16_t borderWidth;
    int16_t borderValue[3];
} PolarFittedParam;

/*
 * Fills the geometry of *param for a width x height picture with `sectors`
 * sectors and rings ringWidth pixels thick: width, height, lineBytes
 * (lcw16(width)), sectors, ringWidth and the derived fields. Leaves the
 * pointers and border settings alone. The polar grid has one row per output
 * pixel of radius and about one column per output pixel of arc at the rim
 * (sectorCols = ceil(2 pi * half diagonal / sectors), at most
 * POLARMOSAIC_FITTED_MAX_COLS / sectors). Returns POLARMOSAIC_OK or
 * POLARMOSAIC_BAD_SIZE / POLARMOSAIC_BAD_TILE_SIZE (sectors or ringWidth out
 * of range), writing nothing then.
 */
POLARMOSAIC_API int polarFittedLayout(PolarFittedParam* param, int32_t width, int32_t height, int32_t sectors,
                                      int32_t ringWidth);

/* POLARMOSAIC_OK when the stages run on the record (geometry consistent
 * with polarFittedLayout, no NULL buffer that is needed, sizes in range),
 * otherwise the reason they return without writing. */
POLARMOSAIC_API int checkPolarFittedParam(const PolarFittedParam* param);

/* Polar samples of rows first .. end - 1 (0 <= first, end <= polarRows). */
POLARMOSAIC_API int iFittedForwardRows0(const PolarFittedParam* param, int32_t first, int32_t end);

/*
 * Lays the tile grid into tileWidths (entry 0: the whole turn for the centre
 * disc, entries 1 .. sectors: sectorCols each) and tileHeights (ringWidth
 * each, the last ring the rest of the polar rows), and fills *tiles, the
 * record of iTileAverageRows0 (polarPlane -> tilePlane) and iBorderRamps0
 * (the border settings and ramps), with its two grids: *centreGrid, whose
 * tile row 0 is the disc, and *ringGrid, whose tile rows 1 .. rings - 1 are
 * the rings of `sectors` tiles (its row 0 is the disc's rows and is not
 * averaged with it). The record's tile fields only describe the grid.
 */
POLARMOSAIC_API int iFittedTileRecords0(const PolarFittedParam* param, PolarMosaicParam* tiles,
                                        PolarTileGrid* centreGrid, PolarTileGrid* ringGrid);

/* Output rows first .. end - 1 (0 <= first, end <= height): each pixel takes
 * the colour of its tile, or of the border line it lies on. Needs the tile
 * averages in tilePlane and, for borders of width >= 2, the ramps. */
POLARMOSAIC_API int iFittedInverseRows0(const PolarFittedParam* param, int32_t first, int32_t end);

/* The whole fitted effect through the runner (NULL: on the caller's thread,
 * jobs in order). The same bytes for every runner that runs every job once.
 * Returns the record's check status (nothing written unless POLARMOSAIC_OK)
 * or POLARMOSAIC_RUNNER_FAILED. */
POLARMOSAIC_API int iPolarFittedRun0(const PolarFittedParam* param, PolarMosaicRunner runner,
                                     void* runnerData);

#ifdef __cplusplus
}
#endif

#endif /* POLARMOSAIC_FITTED_H */
