/*
 * polarmosaic.h - the polar mosaic effect and its building blocks.
 *
 * The effect unrolls a three-plane 8-bit image around its centre onto a
 * polar grid (one row per radius, one column per angle), cuts that grid into
 * rectangular tiles filled with their average colour, optionally draws
 * bevel-shaded borders along the tile boundaries, and maps the picture back,
 * so that the tiles become ring sectors and the borders rings and spokes.
 *
 * The module allocates nothing, does no I/O and keeps no state. Results are
 * bit-identical on every IEEE-754 target (x86-64, AArch64, 32-bit big-endian
 * MIPS, WebAssembly, ...) and for every thread count: every floating-point
 * step has a fixed precision, and the library is built without contraction
 * of multiply-adds.
 *
 * Plane layout: sample (row y, column x) of a plane is the byte at
 * y * lineBytes + x from the plane's first byte; row 0 is the top row.
 * A plane set is three planes of one geometry (channels 0, 1, 2).
 *
 * Thread safety: every function works only on the record and the buffers it
 * is given. Calls on separate buffers may run at the same time on any
 * threads; the row-range stage functions may also run at the same time on
 * one record as long as their ranges do not overlap (see each function).
 *
 * Quick start (one picture, on the caller's thread):
 *
 *     #include <polarmosaic/polarmosaic.h>
 *     int16_t line = lcw16(width);               // row stride of every plane
 *     PolarMosaicParam p = {0};
 *     for (int c = 0; c < 3; ++c) {
 *         p.inPlane[c] = input_plane[c];         // height * line bytes each
 *         p.outPlane[c] = result_plane[c];       // the same size
 *     }
 *     p.planeBytes = height * line;
 *     p.width = width; p.height = height; p.lineBytes = line;
 *     p.tileWidth = 32; p.tileHeight = 32;
 *     p.tileCols = width / 32 + 1; p.tileRows = height / 32 + 1;
 *     p.tileWidths = col_sizes; p.tileHeights = row_sizes;   // counts above
 *     p.borderMode = POLARMOSAIC_BORDER_NONE;
 *     int status = checkPolarMosaicParam(&p);
 *     if (status != POLARMOSAIC_OK) puts(polarMosaicStatusText(status));
 *     else iPolarMosaic0(&p);                    // result in p.outPlane
 *
 * With a thread pool, call iPolarMosaicRun0(&p, runner, pool) instead: the
 * same bytes, every core.
 *
 * Compiles as C99 and as C++17; all functions have C linkage.
 */
#ifndef POLARMOSAIC_H
#define POLARMOSAIC_H

#include <stddef.h>
#include <stdint.h>

#define POLARMOSAIC_VERSION_MAJOR 2
#define POLARMOSAIC_VERSION_MINOR 0
#define POLARMOSAIC_VERSION_PATCH 0
/* major * 10000 + minor * 100 + patch */
#define POLARMOSAIC_VERSION \
    (POLARMOSAIC_VERSION_MAJOR * 10000 + POLARMOSAIC_VERSION_MINOR * 100 + POLARMOSAIC_VERSION_PATCH)

/* Marks the public functions; a shared build hides every other symbol. */
#if defined(_WIN32) && defined(POLARMOSAIC_SHARED_BUILD)
#define POLARMOSAIC_API __declspec(dllexport)
#elif defined(__GNUC__) || defined(__clang__)
#define POLARMOSAIC_API __attribute__((visibility("default")))
#else
#define POLARMOSAIC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* borderMode values. Any other value draws nothing but still fills the
 * ramps when borderWidth >= 2 (and so needs them). */
enum {
    POLARMOSAIC_BORDER_NONE = 1,
    POLARMOSAIC_BORDER_GRID = 2,  /* rings and spokes, mitred crossings */
    POLARMOSAIC_BORDER_RINGS = 3, /* lines between tile rows */
    POLARMOSAIC_BORDER_SPOKES = 4 /* lines between tile columns */
};

/* Index of shade[] and of ramp[3 * side + channel]: the four sides of a
 * border line in the polar image. */
enum {
    POLARMOSAIC_SIDE_OUTER = 0, /* above a horizontal line: outer side of a ring */
    POLARMOSAIC_SIDE_INNER = 1, /* below it: inner side of a ring */
    POLARMOSAIC_SIDE_CCW = 2,   /* left of a vertical line: towards larger angles */
    POLARMOSAIC_SIDE_CW = 3     /* right of it: towards smaller angles */
};

/* TurnParam.turnMode values of iTurn0. */
enum {
    POLARMOSAIC_TURN_CCW = 0,  /* quarter turn counter-clockwise */
    POLARMOSAIC_TURN_HALF = 1, /* half turn */
    POLARMOSAIC_TURN_CW = 2    /* quarter turn clockwise */
};

/* Status codes of the check functions and of the functions that return int.
 * polarMosaicStatusText names each. */
enum {
    POLARMOSAIC_OK = 0,
    POLARMOSAIC_NULL_RECORD = 1,     /* the record pointer is NULL */
    POLARMOSAIC_NULL_PLANE = 2,      /* a plane pointer is NULL */
    POLARMOSAIC_BAD_SIZE = 3,        /* width or height out of range */
    POLARMOSAIC_BAD_LINE_BYTES = 4,  /* a line width that does not fit the rows */
    POLARMOSAIC_PLANE_TOO_SMALL = 5, /* planeBytes below height * lineBytes */
    POLARMOSAIC_BAD_TILE_SIZE = 6,   /* tileWidth or tileHeight of 0 or less */
    POLARMOSAIC_BAD_TILE_COUNT = 7,  /* tileCols or tileRows out of range */
    POLARMOSAIC_NULL_TILE_ARRAY = 8, /* tileWidths or tileHeights is NULL */
    POLARMOSAIC_NULL_RAMP = 9,       /* borders need the twelve ramps */
    POLARMOSAIC_BAD_TURN_MODE = 10,  /* turnMode outside 0 .. 2 */
    POLARMOSAIC_BAD_RANGE = 11,      /* a row range outside the image */
    POLARMOSAIC_BAD_TILE_GRID = 12,  /* tile sizes that leave the image */
    POLARMOSAIC_RUNNER_FAILED = 13   /* the parallel runner reported failure */
};

/*
 * Parameter record of iPolarMosaic0. The module only reads it: no field is
 * ever written, not even tileCols and tileRows (the working counts that the
 * tile grid may lower stay inside the call).
 */
typedef struct PolarMosaicParam {
    /* First plane set: scratch during the call, the result at its end,
     * upright, height rows of width pixels, rows lcw16(width) apart. */
    uint8_t* outPlane[3];
    /* Second plane set: the input image at the start (rows lineBytes
     * apart), scratch during the call; it does not hold the input after. */
    uint8_t* inPlane[3];
    /* Size in bytes of each of the six planes; at least height * lineBytes.
     * The border stage never writes a band pixel outside this range. */
    int32_t planeBytes;
    /* Caller-owned arrays that receive the width of every tile column and
     * the height of every tile row: room for tileCols and tileRows entries. */
    int16_t* tileWidths;
    int16_t* tileHeights;
    /* Twelve caller-owned shading ramps, ramp[3 * side + channel], each with
     * room for borderWidth / 2 + 1 entries. Needed and filled exactly when
     * borderMode is not POLARMOSAIC_BORDER_NONE and borderWidth >= 2 (the
     * check refuses NULL ramps then); otherwise never read or written, and
     * any of them may be NULL. */
    uint8_t* ramp[12];
    /* Shade factor of each border side: 0 above a horizontal line (outer side
     * of a ring), 1 below it (inner side), 2 left of a vertical line (towards
     * larger angles), 3 right of it (towards smaller angles). The band colour
     * goes from the border colour at the centre line to the border colour
     * times the factor at its outer edge. Negative factors count as 0; when
     * all four are below 0.0001 the lines are flat, in the border colour. */
    float shade[4];
    int16_t width;      /* pixels per row, 2 .. 32752 */
    int16_t lineBytes;  /* bytes between input rows; must equal lcw16(width) */
    int16_t height;     /* rows, 2 .. 32767 */
    int16_t tileWidth;  /* nominal tile width in polar columns (angle), > 0 */
    int16_t tileHeight; /* nominal tile height in polar rows (radius), > 0 */
    int16_t reserved0;  /* not read */
    int16_t reserved1;  /* not read */
    /* Tile counts. On an axis of size D with nominal tile size T:
     * when T divides D, the count is at most D / T (D / T covers the axis);
     * otherwise it lies in 2 .. D / T + 2 (D / T + 2 with splitRemainder,
     * D / T + 1 without, covers the axis). */
    int16_t tileCols;
    int16_t tileRows;
    /* Non-zero: the part of an axis left over by the nominal tiles is split
     * between a first and a last tile; zero: the last tile takes it. */
    int16_t splitRemainder;
    /* 1: no borders. 2: rings and spokes with mitred crossings. 3: rings
     * (lines between tile rows) only. 4: spokes (lines between tile columns)
     * only. Any other value draws nothing but still fills the ramps. */
    int16_t borderMode;
    /* Line width in pixels; a line is 2 * (borderWidth / 2) + 1 pixels thick.
     * 0 or negative: no borders. */
    int16_t borderWidth;
    /* Border colour per channel, meant to lie in 0..255 (low 8 bits used on
     * the centre lines and flat ramps, shaded entries clamped to 0..255). */
    int16_t borderValue[3];
} PolarMosaicParam;

/*
 * Record of both polar resampling passes. Source and destination share one
 * geometry: height rows of width pixels, rows lineBytes apart; every plane
 * holds at least lineBytes * height bytes, and source and destination are
 * distinct buffers. The passes only read the record. Of each row only the
 * first width bytes are read or written.
 */
typedef struct PolarMapParam {
    /* Divisor of the radial scale (larger values magnify); 0 counts as 1.
     * Forward: 0.8 / zoom source pixels per destination row.
     * Inverse: 2 / zoom units of distance per destination pixel. */
    float zoom;
    /* Forward: added to the row index before it is scaled to a radius.
     * Inverse: added to the scaled distance from the centre. */
    float radiusOffset;
    /* Forward: added to the column index, in columns (width - 1 columns make
     * a full turn). Inverse: in degrees. */
    float angleOffset;
    uint8_t* srcPlane[3]; /* read only */
    uint8_t* dstPlane[3]; /* written only; rejected pixels keep their bytes */
    int16_t lineBytes;    /* row stride of source and destination, >= width */
    int16_t width;        /* forward: angles; inverse: output columns and radii */
    int16_t height;       /* forward: radii; inverse: output rows and angles */
    /* Non-zero: a sample coordinate that leaves the source is folded back by
     * whole periods (forward: width - 1.2 and height - 1.2; inverse: width - 1
     * on the radius). The inverse pass always folds the angle. */
    uint8_t wrap;
} PolarMapParam;

/*
 * Record of iTurn0 and iTurn1. Only srcPlane, dstPlane, srcWidth,
 * srcLineBytes, srcHeight, turnMode (iTurn0 only) and dstLineBytes are read;
 * dstWidth and dstHeight describe the destination for the caller.
 *
 * Destination geometry: modes 0 and 2 and iTurn1 write srcWidth rows of
 * srcHeight samples, rows dstLineBytes apart; mode 1 writes srcHeight rows of
 * srcWidth samples, rows srcLineBytes apart (dstLineBytes is not used).
 * Destination bytes beyond the written columns are left untouched.
 */
typedef struct TurnParam {
    uint8_t* srcPlane[3]; /* read only, srcHeight rows srcLineBytes apart */
    uint8_t* dstPlane[3]; /* written; distinct from the source */
    int16_t srcWidth;
    int16_t srcLineBytes; /* >= srcWidth */
    int16_t srcHeight;
    int16_t turnMode; /* iTurn0: 0 quarter turn counter-clockwise,
                         1 half turn, 2 quarter turn clockwise */
    int16_t dstWidth;
    int16_t dstLineBytes; /* >= srcHeight for modes 0, 2 and iTurn1 */
    int16_t dstHeight;
} TurnParam;

/*
 * The polar mosaic effect: forward polar resampling (inPlane -> outPlane),
 * tile grid and averaging (outPlane -> inPlane), borders (in inPlane), quarter
 * turn (inPlane -> outPlane), inverse polar resampling (outPlane -> inPlane),
 * transposing copy (inPlane -> outPlane). The result is left in outPlane,
 * height rows of width pixels, rows lcw16(width) apart; inPlane no longer
 * holds the input. tileWidths and tileHeights describe the grid that was
 * used (a lowered working count leaves its extra entry in the array).
 *
 * Memory: six planes of planeBytes >= height * lcw16(width) bytes,
 * tileCols + tileRows int16_t entries, and with borders of width >= 2 twelve
 * ramps of borderWidth / 2 + 1 bytes. Nothing else is allocated; the stack
 * use is small and fixed.
 *
 * Left untouched: bytes of every row beyond width; pixels the forward pass
 * cannot place keep what outPlane held before the call (and feed the tile
 * averages), so fill outPlane the same way before every call for repeatable
 * output.
 *
 * Out of contract: the call returns without writing anything when any of
 * these holds: a NULL record or plane pointer, a NULL tile array, width or
 * height below 2, width above 32752, lineBytes different from lcw16(width),
 * planeBytes below height * lineBytes, tileWidth or tileHeight of 0 or less,
 * a tile count outside the ranges given at tileCols / tileRows, or (when the
 * border stage fills ramps) a NULL ramp pointer. These checks cost nothing
 * per pixel, and every record that passes them keeps every write inside the
 * buffers it describes.
 * Float and colour fields are never refused, since every value stays inside
 * the buffers: a shade factor of -infinity counts as 0 like any negative one;
 * a NaN factor is not below 0.0001, so the ramps are shaded, and its band
 * entries are 0; +infinity gives band entries of 255 where the border
 * colour is above 0 and 0 where it is 0 or below. borderValue outside
 * 0..255 uses its low 8 bits on the centre lines and clamps shaded band
 * entries. reserved0 and reserved1 may hold anything. Plane sets that
 * overlap are not detected: the result is then meaningless, but no byte
 * outside the six planes is touched.
 *
 * The tile averages are exact for every tile size the geometry allows (the
 * channel sums are 64-bit).
 */
POLARMOSAIC_API void iPolarMosaic0(const PolarMosaicParam* param);

/*
 * Forward polar resampling: destination row R shows radius
 * |0.8 / zoom * (height - 1 - R + radiusOffset)| around the source centre
 * ((width - 1) / 2, (height - 1) / 2), column C the angle
 * 2 pi (width - 1 - C + angleOffset) / (width - 1) (angle 0 points down the
 * rows, pi / 2 along them). Each destination pixel is the bilinear blend of
 * the four source pixels around its sample point, truncated. Pixels whose
 * sample point lies outside the source are left untouched.
 *
 * Choices at the edges: a sample point exactly on the lower edge
 * (y == height, possible without wrap) reads the last row, whose weight is 0
 * there. A NaN sample point (width 1, NaN or infinite fields), or one that
 * folding can never bring into range (infinite, a period of zero or less for
 * width or height below 2 with wrap, a period too small to change it), skips
 * its pixel. Far-out points are folded a binade at a time with exactly the
 * result of one period per round, so every call returns promptly.
 *
 * Out of contract: returns without writing on a NULL record or plane,
 * width or height of 0 or less, or lineBytes below width.
 */
POLARMOSAIC_API void iPolar2Cartesian0(const PolarMapParam* param);

/*
 * Inverse polar resampling: each destination pixel samples the polar source
 * at column (r + radiusOffset) * q, where r is its distance from
 * (width / 2, height / 2) in units of 2 / zoom and q maps half the diagonal to
 * the last column, and row (theta + angleOffset) * (height - 2) / 2 pi, where
 * theta in (0, 2 pi] runs counter-clockwise from the direction of increasing
 * column. Rejected pixels are left untouched.
 *
 * Choices at the edges: an angular position that the fold leaves exactly at
 * height reads the last row (weight 0 there) instead of the row past the
 * plane. NaN or unfoldable positions skip their pixel, as in the forward
 * pass, and far-out positions are folded a binade at a time.
 *
 * Out of contract: returns without writing on a NULL record or plane,
 * width or height of 0 or less, or lineBytes below width.
 */
POLARMOSAIC_API void iCartesian2Polar0(const PolarMapParam* param);

/*
 * Copies three planes turned as turnMode says; any other mode copies nothing.
 * Out of contract: returns without writing on a NULL record or plane, sizes
 * of 0 or less, srcLineBytes below srcWidth, or (modes 0 and 2)
 * dstLineBytes below srcHeight.
 */
POLARMOSAIC_API void iTurn0(const TurnParam* param);

/*
 * Copies three planes transposed: source row y becomes destination column y.
 * Out of contract: as iTurn0, with dstLineBytes below srcHeight refused.
 */
POLARMOSAIC_API void iTurn1(const TurnParam* param);

/* width rounded up to a multiple of 16, as a signed 16-bit line width:
 * 0 -> 0, 100 -> 112, 32752 -> 32752, 32753 .. 32767 -> -32768; negative
 * values: a multiple of 16 stays, others go to the next multiple toward zero
 * plus 16 (-1 -> 16, -17 -> 0). */
POLARMOSAIC_API int16_t lcw16(int16_t width);

/*
 * Fills one shading ramp: entry 0 is the low 8 bits of value, entries
 * 1 .. length - 1 fall or rise linearly to value * shade, each computed
 * afresh in single precision, rounded half up and clamped to 0..255 (NaN
 * gives 0). length 1 writes two entries (0 and 1); length 0 or negative
 * writes only entry 0. The ramp needs max(length, 2) entries of room.
 * A NULL ramp writes nothing.
 */
POLARMOSAIC_API void calcCArray(uint8_t* ramp, int16_t length, int16_t value, float shade);

/* x minus an integer part n, in single precision: n is x truncated toward
 * zero as an unsigned 32-bit value (at most 2^32 - 1 for large x; for
 * x <= -1 the signed truncation, saturated at -2^31, wraps to 2^32 - |n|),
 * n is rounded to single precision, and x - n is one single-precision
 * subtraction. So: the exact fractional part for 0 <= x <= 2^32 (every
 * single from 2^24 up is whole); x - 2^32 above that; -1 < x < 0 gives x;
 * x <= -1 gives about x - 2^32; NaN and infinities come back. */
POLARMOSAIC_API float fmod33(float x);

/* Absolute value; -0 and NaN are returned unchanged. */
POLARMOSAIC_API float fabs33(float x);

/* ------------------------------------------------------------------------
 * Version, record checks.
 */

/* The library's POLARMOSAIC_VERSION, which may differ from the header's
 * when a shared library is swapped. */
POLARMOSAIC_API uint32_t polarMosaicVersion(void);

/* A short English text for a status code ("unknown status" for others). */
POLARMOSAIC_API const char* polarMosaicStatusText(int status);

/* POLARMOSAIC_OK when iPolarMosaic0 runs the effect on the record, otherwise
 * the reason it returns without writing (the first problem found). */
POLARMOSAIC_API int checkPolarMosaicParam(const PolarMosaicParam* param);

/* POLARMOSAIC_OK when iPolar2Cartesian0 and iCartesian2Polar0 work on the
 * record, otherwise the reason they return without writing. */
POLARMOSAIC_API int checkPolarMapParam(const PolarMapParam* param);

/* POLARMOSAIC_OK when iTurn0 (transposing 0) or iTurn1 (transposing non-zero)
 * copies with the record, otherwise the reason it copies nothing. */
POLARMOSAIC_API int checkTurnParam(const TurnParam* param, int transposing);

/* ------------------------------------------------------------------------
 * Stages. iPolarMosaic0 is these, in this order:
 *   iPolar2CartesianRows0 (inPlane -> outPlane), iTileGrid0,
 *   iTileAverageRows0 (outPlane -> inPlane), iBorderRamps0 and
 *   iBorderRows0 (on inPlane; only when borderMode != 1 and borderWidth > 0),
 *   iTurnRows0 mode 2 (inPlane -> outPlane), iCartesian2PolarRows0
 *   (outPlane -> inPlane), iTurnRows1 (inPlane -> outPlane).
 * Each stage function works on a range of rows. Running a stage's ranges in
 * any order, on any threads at once, split in any way that covers the whole
 * range once, writes the same bytes as one call over the whole range. A
 * stage must finish on every range before the next stage starts.
 * Each returns POLARMOSAIC_OK, or without writing anything the reason it
 * refused. An empty range (first >= end) writes nothing and is not an error.
 */

/* The working tile grid: sizes of the tile columns (angle) and rows
 * (radius) in the polar image, and their counts. */
typedef struct PolarTileGrid {
    const int16_t* tileWidths;
    const int16_t* tileHeights;
    int16_t tileCols;
    int16_t tileRows;
} PolarTileGrid;

/* iPolar2Cartesian0 restricted to destination rows first .. end - 1
 * (0 <= first, end <= height). */
POLARMOSAIC_API int iPolar2CartesianRows0(const PolarMapParam* param, int32_t first, int32_t end);

/* iCartesian2Polar0 restricted to destination rows first .. end - 1. */
POLARMOSAIC_API int iCartesian2PolarRows0(const PolarMapParam* param, int32_t first, int32_t end);

/* iTurn0 and iTurn1 restricted to destination rows first .. end - 1 (in the
 * destination geometry given at TurnParam). */
POLARMOSAIC_API int iTurnRows0(const TurnParam* param, int32_t first, int32_t end);
POLARMOSAIC_API int iTurnRows1(const TurnParam* param, int32_t first, int32_t end);

/* Lays out the tile grid of the record into tileWidths and tileHeights and
 * returns the working counts in *grid (which may be one below the record's
 * tileCols / tileRows). Checks the record as iPolarMosaic0 does. */
POLARMOSAIC_API int iTileGrid0(const PolarMosaicParam* param, PolarTileGrid* grid);

/* Fills tile rows first .. end - 1 of the grid in inPlane with the floor of
 * the mean of the same tile in outPlane (per channel). The grid may come
 * from iTileGrid0 or from the caller: its sizes must be positive and add up
 * to at most width and height. Uses width, height, lineBytes, planeBytes
 * and the plane pointers of the record. */
POLARMOSAIC_API int iTileAverageRows0(const PolarMosaicParam* param, const PolarTileGrid* grid, int32_t first,
                                      int32_t end);

/* Fills the twelve shading ramps of the record for its borderWidth, shade[]
 * and borderValue[]; writes nothing for mode POLARMOSAIC_BORDER_NONE or a
 * borderWidth below 2 (the ramps may then be NULL). Run it once before
 * iBorderRows0. */
POLARMOSAIC_API int iBorderRamps0(const PolarMosaicParam* param);

/* Draws the border lines of the grid on inPlane rows first .. end - 1, as
 * borderMode and borderWidth say (nothing for mode 1 or width <= 0). A wide
 * band can reach past the last image row into the rest of the plane (inside
 * planeBytes): the range that holds row height - 1 draws those rows too. */
POLARMOSAIC_API int iBorderRows0(const PolarMosaicParam* param, const PolarTileGrid* grid, int32_t first,
                                 int32_t end);

/* ------------------------------------------------------------------------
 * Parallel runner, the caller's thread pool. The module hands it a job
 * function and a job count; the runner calls job(jobData, i) exactly once
 * for every i in 0 .. jobCount - 1, on any threads, in any order, and
 * returns 0 when all have run (any other value: failure). A job never
 * blocks on another job.
 */
typedef void (*PolarMosaicJob)(void* jobData, uint32_t jobIndex);
typedef int (*PolarMosaicRunner)(void* runnerData, void* jobData, PolarMosaicJob job, uint32_t jobCount);

/* iPolarMosaic0 with every stage split into jobs for the runner: the same
 * bytes as iPolarMosaic0 for every runner that runs every job once. A NULL
 * runner runs the jobs in order on the caller's thread. Returns the record's
 * check status (nothing written unless POLARMOSAIC_OK), or
 * POLARMOSAIC_RUNNER_FAILED when the runner did (the planes are then
 * undefined). */
POLARMOSAIC_API int iPolarMosaicRun0(const PolarMosaicParam* param, PolarMosaicRunner runner,
                                     void* runnerData);

#ifdef __cplusplus
}
#endif

#endif /* POLARMOSAIC_H */
