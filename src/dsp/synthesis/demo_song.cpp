#include <cmath>
#include <limits>

#include "dsp/audio_dsp.h"

namespace Trackloom {
namespace AudioDSP {

// The arithmetic below fixes every rounding step (single precision where the values are
// float, double where a sine argument or product is widened), so the track is reproducible
// to the bit on every platform whose expf and sin agree.
AudioBuffer CreateDemoSong(float durationSeconds, int32_t sampleRate) {
    AudioBuffer track;
    track.sampleRate = sampleRate;
    track.channels = 1;
    const float product = durationSeconds * static_cast<float>(sampleRate);
    // Negative, NaN or absurd lengths give an empty track rather than a wrapped count.
    if (sampleRate <= 0 || !(product >= 1.0f) ||
        product >= static_cast<float>(std::numeric_limits<int32_t>::max())) {
        return track;
    }
    const auto count = static_cast<uint64_t>(product);
    track.samples.assign(static_cast<size_t>(count), 0.0f);

    constexpr double kTwoPi = 6.283185307179586;
    constexpr double kBassOmega = 517.7344788989778;    // 2*pi * 82.4 Hz (E2, 82.4 as a float)
    constexpr double kBassLevel = 0.699999988079071;    // 0.7f widened
    constexpr double kLeadLevel = 0.30000001192092896;  // 0.3f widened
    constexpr double kOmegaA = 2764.601535159018;       // 2*pi * 440 Hz
    constexpr double kOmegaC = 3287.6767119817187;      // 2*pi * 523.25 Hz
    const float rate = static_cast<float>(sampleRate);

    for (uint64_t i = 0; i < count; ++i) {
        const float t = static_cast<float>(i) / rate;
        const float p = std::fmod(t, 0.5f);  // phase within the half-second beat

        float kick = 0.0f;
        if (p < 0.15f) {
            const float f = 40.0f + 110.0f * std::exp(-30.0f * p);  // pitch sweep
            kick = static_cast<float>(
                static_cast<double>(std::exp(-15.0f * p)) *
                std::sin((static_cast<double>(f) * kTwoPi) * static_cast<double>(p)));
        }

        float bassNote = 0.0f;
        if (p >= 0.25f) {
            const float q = p - 0.25f;
            bassNote = static_cast<float>((static_cast<double>(std::exp(-5.0f * q)) *
                                           std::sin(static_cast<double>(q) * kBassOmega)) *
                                          kBassLevel);
        }

        const float m = std::fmod(t, 1.0f);
        const double omega = m < 0.5f ? kOmegaA : kOmegaC;
        const double lead = std::sin(static_cast<double>(t) * omega);

        float mix = static_cast<float>(lead * kLeadLevel) * 0.4f + (bassNote * 0.6f + kick * 0.8f);
        if (mix < -1.0f) mix = -1.0f;
        if (mix > 1.0f) mix = 1.0f;
        track.samples[static_cast<size_t>(i)] = mix;
    }
    return track;
}

}  // namespace AudioDSP
}  // namespace Trackloom
