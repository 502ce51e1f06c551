#include "dsp/core/portable_math.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace Trackloom::core {
namespace {

// pi/2 in two parts: the first has 33 significant bits, so k * kPio2Hi is exact for the
// quadrant counts below 2^20 that |x| < 1e6 gives.
constexpr double kPio2Hi = 1.57079632673412561417e+00;
constexpr double kPio2Lo = 6.07710050650619224932e-11;
constexpr double kTwoOverPi = 6.36619772367581382433e-01;

// Taylor series on |r| <= pi/4; the first omitted terms are below 1e-17.
double sinKernel(double r) {
    const double r2 = r * r;
    const double p =
        -1.0 / 6 +
        r2 * (1.0 / 120 + r2 * (-1.0 / 5040 +
                                r2 * (1.0 / 362880 + r2 * (-1.0 / 39916800 +
                                                           r2 * (1.0 / 6227020800.0 +
                                                                 r2 * (-1.0 / 1307674368000.0))))));
    return r + r * r2 * p;
}

double cosKernel(double r) {
    const double r2 = r * r;
    const double p =
        1.0 / 24 +
        r2 * (-1.0 / 720 + r2 * (1.0 / 40320 + r2 * (-1.0 / 3628800 +
                                                     r2 * (1.0 / 479001600.0 +
                                                           r2 * (-1.0 / 87178291200.0 +
                                                                 r2 * (1.0 / 20922789888000.0))))));
    return 1.0 - 0.5 * r2 + r2 * r2 * p;
}

// Reduces x to r in [-pi/4, pi/4] and the quadrant x lies in.
double reduce(double x, long& quadrant) {
    const double k = std::floor(x * kTwoOverPi + 0.5);
    quadrant = static_cast<long>(k);
    return (x - k * kPio2Hi) - k * kPio2Lo;
}

}  // namespace

double PortableSin(double x) {
    long q = 0;
    const double r = reduce(x, q);
    switch (q & 3) {
        case 0:
            return sinKernel(r);
        case 1:
            return cosKernel(r);
        case 2:
            return -sinKernel(r);
        default:
            return -cosKernel(r);
    }
}

double PortableCos(double x) {
    long q = 0;
    const double r = reduce(x, q);
    switch (q & 3) {
        case 0:
            return cosKernel(r);
        case 1:
            return -sinKernel(r);
        case 2:
            return -cosKernel(r);
        default:
            return sinKernel(r);
    }
}

double PortableLog(double x) {
    if (!(x > 0.0)) return -1e300;
    if (!(x <= 1.7976931348623157e308)) return 710.0;  // infinity
    // Split x = m * 2^e with m in [1, 2) straight from the IEEE-754 bits (denormals are
    // scaled up first), avoiding a library call in the per-bin loop.
    int bias = 0;
    if (x < 1e-300) {
        x *= 1e300;
        bias = -997;  // 1e300 ~ 2^996.6; corrected exactly below through the log of 1e300
    }
    uint64_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    int e = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
    bits = (bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL;
    double m = 0.0;
    std::memcpy(&m, &bits, sizeof m);
    constexpr double kSqrt2 = 1.41421356237309504880;
    if (m >= kSqrt2) {
        m *= 0.5;
        ++e;
    }
    // m in [sqrt(1/2), sqrt(2)): ln m = 2 atanh(s) with |s| < 0.172, so five odd terms of
    // the series are plenty.
    const double s = (m - 1.0) / (m + 1.0);
    const double s2 = s * s;
    const double series =
        s * (2.0 + s2 * (2.0 / 3.0 + s2 * (2.0 / 5.0 + s2 * (2.0 / 7.0 + s2 * (2.0 / 9.0)))));
    constexpr double kLn2 = 0.69314718055994530942;
    double result = static_cast<double>(e) * kLn2 + series;
    if (bias != 0) result -= 690.77552789821370521;  // ln(1e300)
    return result;
}

float PortableExpNonPositive(float x) {
    if (!(x > -87.0f)) return 0.0f;
    if (x >= 0.0f) return 1.0f;
    // x = n ln2 + r with |r| <= ln2 / 2; ln2 split so that n * kLn2High is exact.
    constexpr float kLog2e = 1.44269504088896341f;
    constexpr float kLn2High = 0.693145751953125f;
    constexpr float kLn2Low = 1.428606765330187e-06f;
    const float n = std::floor(x * kLog2e + 0.5f);
    const float r = (x - n * kLn2High) - n * kLn2Low;
    // Taylor series to r^7: the remainder is below 1e-8 for |r| <= 0.35.
    float p = 1.0f / 5040.0f;
    p = p * r + 1.0f / 720.0f;
    p = p * r + 1.0f / 120.0f;
    p = p * r + 1.0f / 24.0f;
    p = p * r + 1.0f / 6.0f;
    p = p * r + 0.5f;
    p = p * r + 1.0f;
    p = p * r + 1.0f;
    return std::ldexp(p, static_cast<int>(n));
}

}  // namespace Trackloom::core
