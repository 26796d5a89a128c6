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
 * distinct buffers. The passes only read the record.
 */
typedef struct PolarMapParam {
    float zoom;         /* divisor of the radial scale; 0 counts as 1 */
    float radiusOffset; /* added to the radius before it is scaled */
    float angleOffset;  /* forward: in columns; inverse: in degrees */
    uint8_t* srcPlane[3];
    uint8_t* dstPlane[3];
    int16_t lineBytes;
    int16_t width;
    int16_t height;
    uint8_t wrap;       /* non-zero: fold coordinates that leave the source */
} PolarMapParam;

/*
 * Record of iTurn0 and iTurn1. Only srcPlane, dstPlane, srcWidth,
 * srcLineBytes, srcHeight, turnMode (iTurn0 only) and dstLineBytes are read;
 * dstWidth and dstHeight describe the destination for the caller.
 */
typedef struct TurnParam {
    uint8_t* srcPlane[3];
    uint8_t* dstPlane[3];
    int16_t srcWidth;
    int16_t srcLineBytes;
    int16_t srcHeight;
    int16_t turnMode;   /* iTurn0: 0 quarter turn counter-clockwise,
                           1 half turn, 2 quarter turn clockwise */
    int16_t dstWidth;
    int16_t dstLineBytes;
    int16_t dstHeight;
} TurnParam;

/*
 * The polar mosaic effect: forward polar resampling (inPlane -> outPlane),
 * tile grid and averaging (outPlane -> inPlane), borders (in inPlane), quarter
 * turn (inPlane -> outPlane), inverse polar resampling (outPlane -> inPlane),
 * transposing copy (inPlane -> outPlane). The result is left in outPlane.
 *
 * Out of contract: the call returns without writing anything when any of
 * these holds: a NULL record or plane pointer, a NULL tile array, width or
 * height below 2, width above 32752, lineBytes different from lcw16(width),
 * planeBytes below height * lineBytes, tileWidth or tileHeight of 0 or less,
 * a tile count outside the ranges given at tileCols / tileRows, or (when the
 * border stage would fill ramps) a NULL ramp pointer.
 *
 * The tile averages are exact for every tile size the geometry allows (the
 * channel sums are 64-bit).
 */
void iPolarMosaic0(const PolarMosaicParam* param);

/*
 * Forward polar resampling: destination row R shows radius
 * |0.8 / zoom * (height - 1 - R + radiusOffset)| around the source centre,
 * column C the angle 2 pi (width - 1 - C + angleOffset) / (width - 1).
 * Pixels whose sample point lies outside the source are left untouched.
 * See polarmap.cpp for the out-of-range choices.
 */
void iPolar2Cartesian0(const PolarMapParam* param);

/*
 * Inverse polar resampling: each destination pixel samples the polar source
 * at column (distance from the centre) and row (angle, counter-clockwise
 * from the direction of increasing column). Rejected pixels are left
 * untouched.
 */
void iCartesian2Polar0(const PolarMapParam* param);

/* Copies three planes turned as turnMode says; any other mode copies nothing. */
void iTurn0(const TurnParam* param);

/* Copies three planes transposed: source row y becomes destination column y. */
void iTurn1(const TurnParam* param);

/* width rounded up to a multiple of 16, as a signed 16-bit line width
 * (-32768 for 32753 .. 32767). */
int16_t lcw16(int16_t width);

/*
 * Fills one shading ramp: entry 0 is the low 8 bits of value, entries
 * 1 .. length - 1 fall or rise linearly to value * shade, each rounded half
 * up and clamped to 0..255 (NaN gives 0). length 1 writes two entries
 * (0 and 1); length 0 or negative writes only entry 0.
 */
void calcCArray(uint8_t* ramp, int16_t length, int16_t value, float shade);

/* x minus its unsigned 32-bit integer part (saturating), in single precision:
 * the fractional part for 0 <= x < 2^32. */
float fmod33(float x);

/* Absolute value; -0 and NaN are returned unchanged. */
float fabs33(float x);

#ifdef __cplusplus
}
#endif

#endif /* POLARMOSAIC_H */
