/*
 * polarmosaic.h - the polar mosaic effect and its building blocks.
 *
 * The effect unrolls a three-plane 8-bit image around its centre onto a
 * polar grid (one row per radius, one column per angle), cuts that grid into
 * rectangular tiles filled with their average colour, optionally draws
 * bevel-shaded borders along the tile boundaries, and maps the picture back,
 * so that the tiles become ring sectors and the borders rings and spokes.
 *
 * The module allocates nothing, does no I/O, keeps no state and runs on the
 * caller's thread. Results are bit-identical on every IEEE-754 target
 * (x86-64, 32-bit big-endian MIPS, ...): every floating-point step has a
 * fixed precision, and the library is built without contraction of
 * multiply-adds.
 *
 * Plane layout: sample (row y, column x) of a plane is the byte at
 * y * lineBytes + x from the plane's first byte; row 0 is the top row.
 * A plane set is three planes of one geometry (channels 0, 1, 2).
 *
 * Compiles as C99 and as C++17; all functions have C linkage.
 */
#ifndef POLARMOSAIC_H
#define POLARMOSAIC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

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
     * room for borderWidth / 2 + 1 entries. Filled only when the border stage
     * runs with borderWidth >= 2; otherwise untouched (and may be NULL). */
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
    uint8_t* srcPlane[3];  /* read only, srcHeight rows srcLineBytes apart */
    uint8_t* dstPlane[3];  /* written; distinct from the source */
    int16_t srcWidth;
    int16_t srcLineBytes;  /* >= srcWidth */
    int16_t srcHeight;
    int16_t turnMode;      /* iTurn0: 0 quarter turn counter-clockwise,
                              1 half turn, 2 quarter turn clockwise */
    int16_t dstWidth;
    int16_t dstLineBytes;  /* >= srcHeight for modes 0, 2 and iTurn1 */
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
void iPolarMosaic0(const PolarMosaicParam* param);

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
void iPolar2Cartesian0(const PolarMapParam* param);

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
void iCartesian2Polar0(const PolarMapParam* param);

/*
 * Copies three planes turned as turnMode says; any other mode copies nothing.
 * Out of contract: returns without writing on a NULL record or plane, sizes
 * of 0 or less, srcLineBytes below srcWidth, or (modes 0 and 2)
 * dstLineBytes below srcHeight.
 */
void iTurn0(const TurnParam* param);

/*
 * Copies three planes transposed: source row y becomes destination column y.
 * Out of contract: as iTurn0, with dstLineBytes below srcHeight refused.
 */
void iTurn1(const TurnParam* param);

/* width rounded up to a multiple of 16, as a signed 16-bit line width:
 * 0 -> 0, 100 -> 112, 32752 -> 32752, 32753 .. 32767 -> -32768; negative
 * values: a multiple of 16 stays, others go to the next multiple toward zero
 * plus 16 (-1 -> 16, -17 -> 0). */
int16_t lcw16(int16_t width);

/*
 * Fills one shading ramp: entry 0 is the low 8 bits of value, entries
 * 1 .. length - 1 fall or rise linearly to value * shade, each computed
 * afresh in single precision, rounded half up and clamped to 0..255 (NaN
 * gives 0). length 1 writes two entries (0 and 1); length 0 or negative
 * writes only entry 0. The ramp needs max(length, 2) entries of room.
 * A NULL ramp writes nothing.
 */
void calcCArray(uint8_t* ramp, int16_t length, int16_t value, float shade);

/* x minus its unsigned 32-bit integer part (truncated, saturating at both
 * ends), rounded once to single precision: the fractional part for
 * 0 <= x < 2^32; -1 < x < 0 gives x; NaN and infinities come back. */
float fmod33(float x);

/* Absolute value; -0 and NaN are returned unchanged. */
float fabs33(float x);

#ifdef __cplusplus
}
#endif

#endif /* POLARMOSAIC_H */
