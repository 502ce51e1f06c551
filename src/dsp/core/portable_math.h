// Elementary functions computed by a fixed sequence of double operations, so that every
// platform gets the same bits. C libraries differ in the last bits of sin and cos (glibc and
// MinGW's disagree on about one argument in five hundred), which would let the Windows and
// Linux builds reach different analysis results from the same audio.
#pragma once

namespace Trackloom::core {

// sin and cos of x (radians), |x| < 1e6, to within about 2 ulp of the true value.
double PortableSin(double x);
double PortableCos(double x);

// Natural logarithm of x > 0 built from frexp and a short series, so that it is cheap and
// returns the same bits on every platform (C libraries differ in the last bits of log).
// Relative error below 1e-8; non-positive x gives a large negative number.
double PortableLog(double x);

// e^x for x <= 0 in single precision by a fixed sequence of float operations, within about
// 2e-7 relative; 0 below -87 and for NaN.
float PortableExpNonPositive(float x);

}  // namespace Trackloom::core
