// The FFT and its real-input wrapper, each checked against a direct DFT.
#include "dsp/core/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

namespace Trackloom::core {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<std::complex<double>> directDft(const std::vector<std::complex<double>>& x) {
    const size_t n = x.size();
    std::vector<std::complex<double>> out(n);
    for (size_t k = 0; k < n; ++k) {
        std::complex<double> s = 0.0;
        for (size_t t = 0; t < n; ++t) {
            const double a = -2.0 * kPi * static_cast<double>((k * t) % n) / static_cast<double>(n);
            s += x[t] * std::complex<double>(std::cos(a), std::sin(a));
        }
        out[k] = s;
    }
    return out;
}

std::vector<std::complex<double>> testSignal(size_t n) {
    std::vector<std::complex<double>> x(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i);
        x[i] = {std::sin(0.37 * t) + 0.25 * std::cos(1.9 * t * t / 7.0),
                std::cos(0.11 * t + 1.0) - 0.5};
    }
    return x;
}

TEST(Fft, MatchesDirectDftAtEverySize) {
    for (size_t n : {1u, 2u, 4u, 8u, 16u, 64u, 256u, 1024u}) {
        auto x = testSignal(n);
        const auto expected = directDft(x);
        core::Fft fft(n);
        fft.forward(x.data());
        for (size_t k = 0; k < n; ++k) {
            EXPECT_NEAR(x[k].real(), expected[k].real(), 1e-9 * static_cast<double>(n))
                << n << ":" << k;
            EXPECT_NEAR(x[k].imag(), expected[k].imag(), 1e-9 * static_cast<double>(n))
                << n << ":" << k;
        }
    }
}

TEST(Fft, InverseUndoesForwardUpToSize) {
    const size_t n = 512;
    const auto original = testSignal(n);
    auto x = original;
    core::Fft fft(n);
    fft.forward(x.data());
    fft.inverse(x.data());
    for (size_t i = 0; i < n; ++i) {
        EXPECT_NEAR(x[i].real() / n, original[i].real(), 1e-12);
        EXPECT_NEAR(x[i].imag() / n, original[i].imag(), 1e-12);
    }
}

TEST(Fft, RejectsSizesThatAreNotPowersOfTwo) {
    EXPECT_THROW(core::Fft(12), std::invalid_argument);
    EXPECT_THROW(core::Fft(0), std::invalid_argument);
    EXPECT_THROW(core::RealFft(1), std::invalid_argument);
    EXPECT_THROW(core::RealFft(96), std::invalid_argument);
}

TEST(Fft, RealInputMatchesDirectDft) {
    for (size_t n : {2u, 4u, 8u, 32u, 512u, 4096u}) {
        const auto signal = testSignal(n);
        std::vector<double> real(n);
        std::vector<std::complex<double>> asComplex(n);
        for (size_t i = 0; i < n; ++i) {
            real[i] = signal[i].real();
            asComplex[i] = {real[i], 0.0};
        }
        const auto expected = directDft(asComplex);
        std::vector<std::complex<double>> out(n / 2 + 1);
        core::RealFft fft(n);
        fft.forward(real.data(), out.data());
        for (size_t k = 0; k <= n / 2; ++k) {
            EXPECT_NEAR(out[k].real(), expected[k].real(), 1e-9 * static_cast<double>(n))
                << n << ":" << k;
            EXPECT_NEAR(out[k].imag(), expected[k].imag(), 1e-9 * static_cast<double>(n))
                << n << ":" << k;
        }
    }
}

}  // namespace
}  // namespace Trackloom::core
