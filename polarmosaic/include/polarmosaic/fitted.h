/*
 * fitted.h - the fitted geometry of the polar mosaic, for photographs.
 *
 * The classic effect (iPolarMosaic0) keeps its fixed framing. The fitted
 * geometry works in output space instead: a plan, built once for one
 * picture size and one set of geometry settings, holds every pixel's tile
 * and line; each frame is then two passes over the picture: tile sums, and
 * the output written from the tile colours and the lines. The plan and the
 * frames are exact integer arithmetic, so every processor, SIMD level,
 * thread count and split gives the same bytes.
 *
 * Geometry (version POLARMOSAIC_FITTED_VERSION):
 *  - Coordinates are measured in eighths of a pixel from the centre, with y
 *    growing upwards: pixel (x, y) lies at (8x - 4 centreX2, 4 centreY2 - 8y),
 *    where (centreX2 / 2, centreY2 / 2) is the centre in pixel coordinates.
 *  - Rings: ring j holds the points whose distance lies in
 *    [j ringWidth, (j + 1) ringWidth), compared as exact squares. Ring 0 is
 *    the centre disc, one tile.
 *  - Spokes: spoke k of `sectors` points along
 *    (round(2^30 cos a_k), round(2^30 sin a_k)), with
 *    a_k = 2 pi t rounded to single precision, t = k / sectors +
 *    angle / 360000 (in double precision) less its whole turns, and the
 *    module's correctly rounded sine and cosine (two sectors: spoke 1
 *    is exactly minus spoke 0). A point p lies in sector k when
 *    cross(u_k, p) >= 0 and cross(u_k+1, p) < 0 (two sectors: by the sign of
 *    cross(u_0, p), a point on the spoke's own ray in sector 0); one sector
 *    has no boundary.
 *  - Inner rings have fewer sectors, so that tiles stay about as wide as
 *    they are tall: ring j >= 1 takes n_j sectors from the chain
 *    sectors, sectors / p1, sectors / (p1 p2), ... 1 (dividing by the
 *    smallest prime factor each time), the member nearest 2 pi (j + 1/2) in
 *    ratio (the larger on a tie), never more than `sectors`. Its tiles are
 *    unions of sectors / n_j outer sectors, so every spoke runs on outwards.
 *  - Lines of width w (borderWidth): a ring line covers the signed
 *    distances [-w/2, w/2) from its circle (k ringWidth, k >= 1), a spoke
 *    line the signed perpendicular distances cross(u_k, p) / 2^30 in
 *    [-w/2, w/2) on the spoke's side of the centre. A point in ring j >= 1
 *    looks only at the lines that bound its own tile (ring lines j and
 *    j + 1, the two spokes of its tile); the disc only at ring line 1. Ring
 *    lines win over spoke lines; of two ring lines the nearer one (the outer
 *    on a tie), of two spoke lines the nearer one (the tile's clockwise
 *    spoke on a tie).
 *  - Shading: a line pixel takes ramp entry round(|d|) (at most w / 2) of
 *    the side of the line its centre lies on, d being its centre's signed
 *    distance to the line; entry 0 is the border colour.
 *  - Smooth edges: each pixel looks at 4 x 4 sample points at offsets
 *    (2i - 3) / 8 (i = 0 .. 3) in x and in y. Each sample takes the colour
 *    of its tile, or of the line it lies on (shaded for the pixel's centre,
 *    as above). The pixel blends the two most frequent colours (ties: the
 *    lower tile number, tiles before lines): the second with weight
 *    (16 - count of the first) / 16, in integers rounded half up, so equal
 *    colours blend to themselves and flat stays flat. Hard edges use the
 *    pixel centre alone.
 *  - Tile colours: every picture pixel counts once, in the tile that holds
 *    its centre; a tile is the rounded mean of its pixels (with an alpha
 *    plane: colour weighted by alpha, then alpha the rounded mean; a tile
 *    whose alpha adds up to 0 is colour 0). A tile that holds no pixel
 *    centre (a sliver beyond the picture's edge) is shown, where a pixel
 *    blends it in, in the colour of the tile that holds that pixel's centre.
 *    Blends with alpha weight each colour by its alpha; lines are opaque.
 *
 * Memory: the module allocates nothing. polarPlanHeadBytes gives the size
 * of the plan's head; polarPlanMeasure lays it out and measures the rows;
 * polarPlanBuild fills in the rows, in memory of at least the measured size
 * (the head may be moved or reallocated with its bytes in between).
 * polarPlanFrame needs scratch memory of polarPlanScratchBytes. A plan is
 * only read by frames, so several frames may share it at once (each with
 * its own scratch). Colours, shades and pictures never invalidate a plan.
 *
 * Compiles as C99 and as C++17; all functions have C linkage.
 */
#ifndef POLARMOSAIC_FITTED_H
#define POLARMOSAIC_FITTED_H

#include <stddef.h>

#include "polarmosaic.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Version of the fitted geometry's bytes: it changes whenever any output
 * byte of the same settings would. */
#define POLARMOSAIC_FITTED_VERSION 2

/* Largest picture side of the fitted geometry. */
#define POLARMOSAIC_FITTED_MAX_SIDE 32767
/* Largest sector count and line width. */
#define POLARMOSAIC_FITTED_MAX_SECTORS 32752
#define POLARMOSAIC_FITTED_MAX_LINE_WIDTH 1024

/* Status of the plan functions, beyond those of polarmosaic.h. */
enum {
    POLARMOSAIC_PLAN_TOO_SMALL = 20, /* the memory given is below the size needed */
    POLARMOSAIC_BAD_PLAN = 21,       /* not a plan laid out by polarPlanMeasure */
    POLARMOSAIC_BAD_CENTRE = 22,     /* centre outside the picture */
    POLARMOSAIC_PLAN_TOO_LARGE = 23  /* more tiles or segments than a plan holds */
};

/* What a plan depends on. */
typedef struct PolarPlanSettings {
    int32_t width;  /* picture, 1 .. 32767 */
    int32_t height; /* 1 .. 32767 */
    /* Centre in half pixels: 0 .. 2 (width - 1) and 0 .. 2 (height - 1);
     * width - 1 and height - 1 put it in the middle. */
    int32_t centreX2;
    int32_t centreY2;
    int32_t sectors;   /* outer ring, 1 .. 32752 */
    int32_t ringWidth; /* pixels, 1 .. 65535 */
    int32_t angle;     /* first spoke, thousandths of a degree counter-clockwise from 3 o'clock */
    /* Lines as in PolarMosaicParam: 1 none, 2 rings and spokes, 3 rings, 4
     * spokes; borderWidth 0 .. 1024 (0: none). */
    int32_t borderMode;
    int32_t borderWidth;
    int32_t hardEdges; /* nonzero: each pixel from its centre alone */
} PolarPlanSettings;

/* Fills *settings for a width x height picture with the centre in the
 * middle, hard edges off and the given tiles and lines. */
POLARMOSAIC_API void polarPlanDefaults(PolarPlanSettings* settings, int32_t width, int32_t height,
                                       int32_t sectors, int32_t ringWidth, int32_t borderMode,
                                       int32_t borderWidth);

/* POLARMOSAIC_OK when the settings are in range, otherwise the reason. */
POLARMOSAIC_API int checkPolarPlanSettings(const PolarPlanSettings* settings);

/* Bytes of the plan's head for these settings (0 when they are refused). */
POLARMOSAIC_API size_t polarPlanHeadBytes(const PolarPlanSettings* settings);

/* Lays out the head in plan (headBytes of at least polarPlanHeadBytes) and
 * measures every row through the runner (NULL: on the caller's thread).
 * *planBytes receives the size of the whole plan. */
POLARMOSAIC_API int polarPlanMeasure(const PolarPlanSettings* settings, void* plan, size_t headBytes,
                                     PolarMosaicRunner runner, void* runnerData, size_t* planBytes);

/* Fills in the rows of a measured plan (planBytes at least the measured
 * size) through the runner. */
POLARMOSAIC_API int polarPlanBuild(void* plan, size_t planBytes, PolarMosaicRunner runner, void* runnerData);

/* Measures and builds a plan in one walk over the rows, on the caller's
 * thread, when bytes are enough: POLARMOSAIC_OK and *planBytes its size.
 * Otherwise POLARMOSAIC_PLAN_TOO_SMALL and *planBytes the size needed: the
 * plan is then measured, and its first polarPlanHeadBytes bytes can go to
 * memory of *planBytes for polarPlanBuild. (When bytes do not hold the
 * head, *planBytes is the head's size and nothing is measured.) For
 * callers that rebuild plans of one picture size in the memory of the
 * last: mostly it fits, and the walk of polarPlanMeasure is saved. */
POLARMOSAIC_API int polarPlanMeasureAndBuild(const PolarPlanSettings* settings, void* plan, size_t bytes,
                                             size_t* planBytes);

/* Settings of a plan laid out by polarPlanMeasure (NULL if it is not one). */
POLARMOSAIC_API const PolarPlanSettings* polarPlanSettings(const void* plan);

/* Tiles of the plan, disc included, and tiles of ring `ring` (0: the disc;
 * 0 past the last ring). */
POLARMOSAIC_API int32_t polarPlanTiles(const void* plan);
POLARMOSAIC_API int32_t polarPlanRingSectors(const void* plan, int32_t ring);

/* Scratch bytes a frame on this plan needs (known once it is measured). */
POLARMOSAIC_API size_t polarPlanScratchBytes(const void* plan);

/* One frame: the picture and where it goes. Planes are height rows of
 * width bytes, rows lineBytes apart; source and destination distinct.
 * With srcPlane[3] (alpha) set, dstPlane[3] receives alpha and tiles
 * average colour weighted by alpha; lines are opaque. */
typedef struct PolarPlanFrame {
    const uint8_t* srcPlane[4];
    uint8_t* dstPlane[4];
    int32_t srcLineBytes;
    int32_t dstLineBytes;
    int16_t borderValue[3];
    /* Shade factors as in PolarMosaicParam: 0 outer side of a ring, 1 inner
     * side, 2 counter-clockwise side of a spoke, 3 clockwise side. */
    float shade[4];
} PolarPlanFrame;

/* Runs one frame through the runner. Returns POLARMOSAIC_OK, or the reason
 * nothing was written, or POLARMOSAIC_RUNNER_FAILED. */
POLARMOSAIC_API int polarPlanFrame(const void* plan, const PolarPlanFrame* frame, void* scratch,
                                   size_t scratchBytes, PolarMosaicRunner runner, void* runnerData);

#ifdef __cplusplus
}
#endif

#endif /* POLARMOSAIC_FITTED_H */
