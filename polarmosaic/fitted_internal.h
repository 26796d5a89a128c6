// Shared steps of the fitted geometry: the numbers that the layout and the
// two resampling stages must agree on.
#ifndef POLARMOSAIC_FITTED_INTERNAL_H
#define POLARMOSAIC_FITTED_INTERNAL_H

#include "fitted.h"

namespace polarmosaic_detail {

constexpr double kFittedTwoPi = 6.283185307179586;
constexpr double kFittedPi = 3.141592653589793;
constexpr double kFittedHalfPi = 1.5707963267948966;

// Centre of the picture in pixel coordinates: (n - 1) / 2, exact.
inline double fittedCentre(int n) { return static_cast<double>(n - 1) * 0.5; }

// Distance from the centre to the farthest pixel (a corner), rounded once.
double fittedHalfDiagonal(int width, int height);

// Angle of an output pixel at offset (dx, dy) from the centre (dy grows
// upwards), counter-clockwise from the direction of increasing column, in
// [0, 2 pi] (2 pi only by rounding just below a full turn), in two steps:
// the angle of (|dx|, |dy|) from the x axis, from the arctangent of the
// smaller over the larger offset rounded to single, then the quadrant. The
// first step is shared by pixels mirrored about the centre.
double fittedFirstQuadrantAngle(double ax, double ay);

inline double fittedAngleInQuadrant(double t, double dx, double dy) {
    if (dx >= 0.0) return dy >= 0.0 ? t : kFittedTwoPi - t;
    return dy >= 0.0 ? kFittedPi - t : kFittedPi + t;
}

// Angle at the middle of polar column j of `cols`, rounded to single: the
// argument of the column's sine and cosine.
inline float fittedColumnAngle(int j, int cols) {
    const double step = kFittedTwoPi / static_cast<double>(cols);
    return static_cast<float>((static_cast<double>(j) + 0.5) * step);
}

// Direction of spoke k of `sectors`, rounded to single.
inline float fittedSpokeAngle(int k, int sectors) {
    const double step = kFittedTwoPi / static_cast<double>(sectors);
    return static_cast<float>(static_cast<double>(k) * step);
}

// Bilinear weight of a fraction in [0, 1): 0 .. 256, rounded half up.
inline int fittedWeight(double fraction) { return static_cast<int>(fraction * 256.0 + 0.5); }

}  // namespace polarmosaic_detail

#endif
