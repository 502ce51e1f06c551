#include "dsp/separation/filter/stem_recurrence.h"

#include <cmath>

#include "dsp/separation/filter/stem_mix.h"

namespace Trackloom::separation::filter {

std::array<std::vector<float>, 4> SeparateSampleBySample(const std::vector<float>& in,
                                                         size_t channels, int32_t sampleRate) {
    std::array<std::vector<float>, 4> out;
    for (auto& stem : out) stem.assign(in.size(), 0.0f);
    if (channels == 0) return out;
    const float dt = 1.0f / static_cast<float>(sampleRate);
    const float alpha = dt / (kTimeConstant + dt);
    for (size_t c = 0; c < channels; ++c) {
        float lowpass = 0.0f, envelope = 0.0f, previous = 0.0f;
        for (size_t i = c; i < in.size(); i += channels) {
            const float x = in[i];
            lowpass = lowpass + alpha * (x - lowpass);
            const float bass = lowpass * kBassGain;
            // A NaN jump compares false: no transient.
            envelope =
                std::fabs(x - previous) > kTransientThreshold ? 1.0f : envelope * kEnvelopeDecay;
            out[0][i] = ((x - bass * kBassRemoval) * (1.0f - envelope * kDucking)) * kVocalGain;
            out[1][i] = (x * envelope) * kDrumGain;
            out[2][i] = bass;
            out[3][i] = x * kOtherGain;
            previous = x;
        }
    }
    return out;
}

}  // namespace Trackloom::separation::filter
