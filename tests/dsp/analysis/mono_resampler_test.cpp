// The analysis resampler on tones whose right output is known, and on blocks of any size.
#include "dsp/analysis/mono_resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace Trackloom::analysis {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<double> resampleInBlocks(const std::vector<float>& in, int32_t inRate, int32_t channels,
                                     int32_t outRate, size_t block) {
    analysis::MonoResampler r(inRate, channels, outRate);
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
}  // namespace Trackloom::analysis
