// The FFT, the real-input wrapper, the portable logarithm and the resampler, each checked
// against a direct computation.
#include "dsp/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

namespace Trackloom {
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
        dsp::Fft fft(n);
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
    dsp::Fft fft(n);
    fft.forward(x.data());
    fft.inverse(x.data());
    for (size_t i = 0; i < n; ++i) {
        EXPECT_NEAR(x[i].real() / n, original[i].real(), 1e-12);
        EXPECT_NEAR(x[i].imag() / n, original[i].imag(), 1e-12);
    }
}

TEST(Fft, RejectsSizesThatAreNotPowersOfTwo) {
    EXPECT_THROW(dsp::Fft(12), std::invalid_argument);
    EXPECT_THROW(dsp::Fft(0), std::invalid_argument);
    EXPECT_THROW(dsp::RealFft(1), std::invalid_argument);
    EXPECT_THROW(dsp::RealFft(96), std::invalid_argument);
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
        dsp::RealFft fft(n);
        fft.forward(real.data(), out.data());
        for (size_t k = 0; k <= n / 2; ++k) {
            EXPECT_NEAR(out[k].real(), expected[k].real(), 1e-9 * static_cast<double>(n))
                << n << ":" << k;
            EXPECT_NEAR(out[k].imag(), expected[k].imag(), 1e-9 * static_cast<double>(n))
                << n << ":" << k;
        }
    }
}

std::vector<double> resampleInBlocks(const std::vector<float>& in, int32_t inRate, int32_t channels,
                                     int32_t outRate, size_t block) {
    dsp::MonoResampler r(inRate, channels, outRate);
    std::vector<double> out;
    const size_t frames = in.size() / static_cast<size_t>(channels);
    for (size_t done = 0; done < frames; done += block) {
        r.feed(in.data() + done * static_cast<size_t>(channels), std::min(block, frames - done),
               out);
    }
    return out;
}

TEST(MonoResampler, KeepsAPassbandSineInPlace) {
    // 440 Hz at 44.1 kHz to 8 kHz: output sample n must be the sine at time n / 8000.
    const int32_t in = 44100, out = 8000;
    std::vector<float> x(in);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<float>(0.5 * std::sin(2.0 * kPi * 440.0 * i / in));
    const auto y = resampleInBlocks(x, in, 1, out, x.size());
    ASSERT_GT(y.size(), 7900u);
    for (size_t n = 100; n < y.size(); ++n) {
        EXPECT_NEAR(y[n], 0.5 * std::sin(2.0 * kPi * 440.0 * n / out), 2e-3) << n;
    }
}

TEST(MonoResampler, RemovesWhatTheNewRateCannotHold) {
    // 6 kHz cannot exist at 8 kHz; it must not fold back down as a 2 kHz alias.
    const int32_t in = 48000;
    std::vector<float> x(in);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<float>(std::sin(2.0 * kPi * 6000.0 * i / in));
    const auto y = resampleInBlocks(x, in, 1, 8000, x.size());
    double peak = 0.0;
    for (size_t n = 100; n < y.size(); ++n) peak = std::max(peak, std::fabs(y[n]));
    EXPECT_LT(peak, 0.01);
}

TEST(MonoResampler, AveragesChannelsAndIgnoresBlockSize) {
    // The channels are averaged: the part they share survives, the opposed part cancels.
    std::vector<float> stereo(2 * 22050);
    for (size_t i = 0; i < 22050; ++i) {
        const float common = static_cast<float>(std::sin(0.05 * i));
        const float opposite = static_cast<float>(std::sin(0.013 * i));
        stereo[2 * i] = common + opposite;
        stereo[2 * i + 1] = common - opposite;
    }
    const auto whole = resampleInBlocks(stereo, 22050, 2, 12000, 22050);
    std::vector<float> mono(22050);
    for (size_t i = 0; i < mono.size(); ++i) mono[i] = static_cast<float>(std::sin(0.05 * i));
    const auto reference = resampleInBlocks(mono, 22050, 1, 12000, 22050);
    ASSERT_EQ(whole.size(), reference.size());
    for (size_t n = 0; n < whole.size(); ++n) EXPECT_NEAR(whole[n], reference[n], 1e-5);
    for (size_t block : {1u, 7u, 4096u}) {
        EXPECT_EQ(resampleInBlocks(stereo, 22050, 2, 12000, block), whole) << block;
    }
}

}  // namespace
}  // namespace Trackloom
