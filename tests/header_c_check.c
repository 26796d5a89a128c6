/* Compiled as C99: the public header must stay plain C. Called from a test. */
#include <polarmosaic/polarmosaic.h>

#include <stddef.h>

int headerCCheckTurn(void) {
    uint8_t src[3][6] = {{1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}};
    uint8_t dst[3][6] = {{0}};
    TurnParam turn;
    int c;
    for (c = 0; c < 3; ++c) {
        turn.srcPlane[c] = src[c];
        turn.dstPlane[c] = dst[c];
    }
    turn.srcWidth = 3;
    turn.srcLineBytes = 3;
    turn.srcHeight = 2;
    turn.turnMode = 2;
    turn.dstWidth = 2;
    turn.dstLineBytes = 2;
    turn.dstHeight = 3;
    iTurn0(&turn);
    /* Quarter turn clockwise of (1 2 3 / 4 5 6) is (4 1 / 5 2 / 6 3). */
    return dst[0][0] == 4 && dst[0][1] == 1 && dst[2][4] == 6 && dst[2][5] == 3 && lcw16(100) == 112;
}

size_t headerCCheckMosaicSize(void) { return sizeof(PolarMosaicParam); }
size_t headerCCheckOffsetOfBorderValue(void) { return offsetof(PolarMosaicParam, borderValue); }

#include <polarmosaic/fitted.h>

/* The fitted plan's settings from C: defaults put the centre in the middle
 * (in half pixels) and are accepted; a centre outside the picture is not. */
int headerCCheckFitted(void) {
    PolarPlanSettings s;
    polarPlanDefaults(&s, 4, 3, 36, 28, POLARMOSAIC_BORDER_GRID, 2);
    if (s.centreX2 != 3 || s.centreY2 != 2 || s.hardEdges != 0) return 0;
    if (checkPolarPlanSettings(&s) != POLARMOSAIC_OK || polarPlanHeadBytes(&s) == 0) return 0;
    s.centreX2 = 7;
    return checkPolarPlanSettings(&s) == POLARMOSAIC_BAD_CENTRE && polarPlanHeadBytes(&s) == 0;
}
