#include "dsp/portable_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace Trackloom::dsp;

// Against the C library over the range the analysis uses and beyond: the two may differ in
// the last bits, never by more than a few units there.
TEST(PortableMath, SinAndCosAgreeWithTheLibraryToAFewUlp) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> small(-4.0, 4.0), large(-1e5, 1e5);
    auto ulps = [](double a, double b) {
        const double scale = std::max(std::fabs(b), 1e-300);
        return std::fabs(a - b) / (scale * 2.220446049250313e-16);
    };
    double worst = 0.0;
    for (int i = 0; i < 200000; ++i) {
        const double x = i % 2 == 0 ? small(rng) : large(rng);
        // Near a zero of the function relative error is meaningless; measure against 1.
        const double s = std::sin(x), c = std::cos(x);
        worst = std::max(worst, std::fabs(s) > 1e-3 ? ulps(PortableSin(x), s)
                                                    : std::fabs(PortableSin(x) - s) / 2.2e-16);
        worst = std::max(worst, std::fabs(c) > 1e-3 ? ulps(PortableCos(x), c)
                                                    : std::fabs(PortableCos(x) - c) / 2.2e-16);
    }
    EXPECT_LT(worst, 4.0);
}

TEST(PortableMath, ExactPointsAndSymmetry) {
    EXPECT_EQ(PortableSin(0.0), 0.0);
    EXPECT_EQ(PortableCos(0.0), 1.0);
    const double pi = 3.141592653589793;
    EXPECT_NEAR(PortableSin(pi / 2), 1.0, 1e-16);
    EXPECT_NEAR(PortableCos(pi), -1.0, 1e-16);
    EXPECT_NEAR(PortableSin(pi / 6), 0.5, 1e-16);
    for (double x : {0.1, 1.0, 2.5, 100.0, 12345.678}) {
        EXPECT_EQ(PortableSin(-x), -PortableSin(x)) << x;
        EXPECT_EQ(PortableCos(-x), PortableCos(x)) << x;
        EXPECT_NEAR(PortableSin(x) * PortableSin(x) + PortableCos(x) * PortableCos(x), 1.0, 4e-16)
            << x;
    }
}

TEST(PortableLog, AgreesWithTheLibraryLogOverTheWholeRange) {
    for (double x = 1e-310; x < 1e306; x *= 1.37) {
        const double expected = std::log(x);
        EXPECT_NEAR(PortableLog(x), expected, 1e-8 * std::max(1.0, std::fabs(expected))) << x;
    }
    EXPECT_EQ(PortableLog(1.0), 0.0);
    EXPECT_LT(PortableLog(0.0), -1e299);
    EXPECT_LT(PortableLog(-2.0), -1e299);
}
