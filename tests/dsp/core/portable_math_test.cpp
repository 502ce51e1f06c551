#include "dsp/core/portable_math.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

using namespace Trackloom;

// Against the C library where every C library is accurate: MinGW's sin and cos lose
// hundreds of ulp at large arguments, which is why these functions exist.
TEST(PortableMath, SinAndCosAgreeWithTheLibraryOnSmallAngles) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> angle(-4.0, 4.0);
    double worst = 0.0;
    for (int i = 0; i < 200000; ++i) {
        const double x = angle(rng);
        // Measured against 1 rather than the value, so zeros of the functions do not inflate it.
        worst =
            std::max(worst, std::fabs(core::PortableSin(x) - std::sin(x)) / 2.220446049250313e-16);
        worst =
            std::max(worst, std::fabs(core::PortableCos(x) - std::cos(x)) / 2.220446049250313e-16);
    }
    EXPECT_LE(worst, 2.0);
}

TEST(PortableMath, LargeArgumentsAreReducedAccurately) {
    // Reference values from an accurate C library (glibc), to 17 digits.
    const double cases[][3] = {
        {100.0, -0.5063656411097588, 0.8623188722876839},
        {1000.0, 0.8268795405320025, 0.5623790762907029},
        {12345.678, -0.7040813137533816, 0.7101193587160628},
        {54321.5, -0.2196217903584319, -0.9755850907018603},
        {99999.0, 0.860248280789742, -0.5098753724179009},
        {314159.26, -0.0053589536641196886, 0.9999856407047182},
        {765432.1, 0.9464587835593873, -0.32282467536309084},
        {-87654.3, 0.6619161506667082, -0.749577887538425},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(core::PortableSin(c[0]), c[1], 1e-15) << c[0];
        EXPECT_NEAR(core::PortableCos(c[0]), c[2], 1e-15) << c[0];
    }
}

TEST(PortableMath, ExactPointsAndSymmetry) {
    EXPECT_EQ(core::PortableSin(0.0), 0.0);
    EXPECT_EQ(core::PortableCos(0.0), 1.0);
    const double pi = 3.141592653589793;
    EXPECT_NEAR(core::PortableSin(pi / 2), 1.0, 1e-16);
    EXPECT_NEAR(core::PortableCos(pi), -1.0, 1e-16);
    EXPECT_NEAR(core::PortableSin(pi / 6), 0.5, 1e-16);
    for (double x : {0.1, 1.0, 2.5, 100.0, 12345.678}) {
        EXPECT_EQ(core::PortableSin(-x), -core::PortableSin(x)) << x;
        EXPECT_EQ(core::PortableCos(-x), core::PortableCos(x)) << x;
        EXPECT_NEAR(core::PortableSin(x) * core::PortableSin(x) +
                        core::PortableCos(x) * core::PortableCos(x),
                    1.0, 4e-16)
            << x;
    }
}

TEST(PortableLog, AgreesWithTheLibraryLogOverTheWholeRange) {
    for (double x = 1e-310; x < 1e306; x *= 1.37) {
        const double expected = std::log(x);
        EXPECT_NEAR(core::PortableLog(x), expected, 1e-8 * std::max(1.0, std::fabs(expected))) << x;
    }
    EXPECT_EQ(core::PortableLog(1.0), 0.0);
    EXPECT_LT(core::PortableLog(0.0), -1e299);
    EXPECT_LT(core::PortableLog(-2.0), -1e299);
}

TEST(PortableExp, AgreesWithTheLibraryBelowZero) {
    EXPECT_EQ(core::PortableExpNonPositive(0.0f), 1.0f);
    EXPECT_EQ(core::PortableExpNonPositive(-100.0f), 0.0f);
    EXPECT_EQ(core::PortableExpNonPositive(-std::numeric_limits<float>::infinity()), 0.0f);
    double worst = 0.0;
    for (float x = -86.0f; x <= 0.0f; x += 0.0137f) {
        const double want = std::exp(static_cast<double>(x));
        worst = std::max(worst, std::fabs(core::PortableExpNonPositive(x) - want) / want);
    }
    EXPECT_LT(worst, 4e-7);
}
