/*
 * Minimal C host: runs the polar mosaic effect on an in-memory picture and
 * prints a checksum of the result. Every buffer the call needs is spelled
 * out below; nothing else is allocated by the library.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <polarmosaic/polarmosaic.h>

enum { kWidth = 320, kHeight = 240, kTileWidth = 16, kTileHeight = 20, kBorderWidth = 4 };

/* FNV-1a over the visible pixels of the three planes, channel by channel,
 * row by row: the same value on every processor. */
static uint32_t checksum(uint8_t* const planes[3], int width, int height, int lineBytes) {
    uint32_t hash = 2166136261u;
    int c, y, x;
    for (c = 0; c < 3; ++c)
        for (y = 0; y < height; ++y)
            for (x = 0; x < width; ++x) {
                hash ^= planes[c][y * lineBytes + x];
                hash *= 16777619u;
            }
    return hash;
}

int main(void) {
    /* Rows of every plane are lcw16(width) bytes apart, in and out. */
    const int16_t lineBytes = lcw16(kWidth);
    const int32_t planeBytes = (int32_t)kHeight * lineBytes;

    /* Tile counts that cover the whole picture: D / T when T divides D,
     * otherwise D / T + 2 with the remainder split. */
    const int16_t tileCols = (kWidth % kTileWidth == 0) ? kWidth / kTileWidth : kWidth / kTileWidth + 2;
    const int16_t tileRows = (kHeight % kTileHeight == 0) ? kHeight / kTileHeight : kHeight / kTileHeight + 2;
    const int rampLength = kBorderWidth / 2 + 1;

    /* Six planes of planeBytes each, both tile arrays, twelve ramps. */
    uint8_t* block = (uint8_t*)calloc(6, (size_t)planeBytes);
    int16_t* tileWidths = (int16_t*)calloc((size_t)tileCols, sizeof(int16_t));
    int16_t* tileHeights = (int16_t*)calloc((size_t)tileRows, sizeof(int16_t));
    uint8_t* rampBlock = (uint8_t*)calloc(12, (size_t)rampLength);
    PolarMosaicParam param;
    uint32_t hash;
    int c, y, x;
    if (block == NULL || tileWidths == NULL || tileHeights == NULL || rampBlock == NULL) {
        fprintf(stderr, "c_host: out of memory\n");
        return 1;
    }

    memset(&param, 0, sizeof param);
    for (c = 0; c < 3; ++c) {
        param.inPlane[c] = block + (size_t)c * (size_t)planeBytes;
        param.outPlane[c] = block + (size_t)(3 + c) * (size_t)planeBytes;
    }
    for (c = 0; c < 12; ++c) param.ramp[c] = rampBlock + (size_t)c * (size_t)rampLength;

    /* The input: a colour gradient with a checker pattern, in inPlane. */
    for (y = 0; y < kHeight; ++y)
        for (x = 0; x < kWidth; ++x) {
            int checker = ((x / 20 + y / 20) & 1) ? 40 : 0;
            param.inPlane[0][y * lineBytes + x] = (uint8_t)(x * 255 / (kWidth - 1));
            param.inPlane[1][y * lineBytes + x] = (uint8_t)(y * 255 / (kHeight - 1));
            param.inPlane[2][y * lineBytes + x] = (uint8_t)(200 - checker);
        }

    param.planeBytes = planeBytes;
    param.tileWidths = tileWidths;
    param.tileHeights = tileHeights;
    param.width = kWidth;
    param.lineBytes = lineBytes;
    param.height = kHeight;
    param.tileWidth = kTileWidth;
    param.tileHeight = kTileHeight;
    param.tileCols = tileCols;
    param.tileRows = tileRows;
    param.splitRemainder = 1;
    param.borderMode = 2; /* rings and spokes */
    param.borderWidth = kBorderWidth;
    param.borderValue[0] = 255;
    param.borderValue[1] = 255;
    param.borderValue[2] = 255;
    param.shade[0] = param.shade[1] = param.shade[2] = param.shade[3] = 0.6f;

    iPolarMosaic0(&param);

    /* The result is in outPlane, upright, rows lineBytes apart. */
    hash = checksum(param.outPlane, kWidth, kHeight, lineBytes);
    printf("checksum %08x\n", (unsigned)hash);

    free(rampBlock);
    free(tileHeights);
    free(tileWidths);
    free(block);
    return 0;
}
