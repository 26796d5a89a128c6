// Elementary functions shared by the resampling passes.
//
// The passes need sin, cos and atan of single-precision arguments in double
// precision. C libraries disagree in the last bit of these (glibc alone runs
// different builds on x86-64 processors with and without FMA), and one bit
// of the double can move a rounded single-precision coordinate. These
// versions use only IEEE additions, multiplications and divisions in a fixed
// order, evaluated in double-double arithmetic (about 100 bits), so they
// return the correctly rounded result for all practical purposes and the
// same bits on every processor.
#ifndef POLARMOSAIC_FLOATHELPERS_INTERNAL_H
#define POLARMOSAIC_FLOATHELPERS_INTERNAL_H

namespace polarmosaic_detail {

// sin and cos of x, rounded to double. NaN and infinities give NaN.
void sinCosOfFloat(float x, double* sine, double* cosine);

// atan of x, rounded to double.
double atanOfFloat(float x);

// (float)atanOfFloat(x), usually without the double-double evaluation: a
// plain double estimate is used when it lies clearly away from every point
// where the rounding to single could go either way.
float atanOfFloatToFloat(float x);

}  // namespace polarmosaic_detail

#endif
