#include "dsp/stem_separator.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "dsp/audio_dsp.h"

namespace Trackloom {
namespace {

constexpr float kTimeConstant = 0.00063661975f;  // 1 / (2*pi*250): a 250 Hz one-pole low-pass
constexpr float kBassGain = 1.4f;
constexpr float kTransientThreshold = 0.08f;  // sample-to-sample jump that counts as a hit
constexpr float kEnvelopeDecay = 0.992f;      // per sample, between hits
constexpr float kDrumGain = 0.9f;
constexpr float kBassRemoval = 0.7f;  // share of the bass taken out of the vocals
constexpr float kDucking = 0.6f;      // how far a hit ducks the vocals
constexpr float kVocalGain = 0.85f;
constexpr float kOtherGain = 0.5f;

}  // namespace

StemSeparator::StemSeparator(int32_t sampleRate, int32_t channels)
    : channels_(channels > 0 ? static_cast<size_t>(channels) : 1), state_(channels_) {
    const float dt = 1.0f / static_cast<float>(sampleRate);
    alpha_ = dt / (kTimeConstant + dt);
}

void StemSeparator::reset() {
    state_.assign(channels_, ChannelState{});
}

void StemSeparator::process(const float* in, size_t frames, float* vocals, float* drums,
                            float* bass, float* other) {
    const float alpha = alpha_;
    const size_t channels = channels_;
    for (size_t c = 0; c < channels; ++c) {
        ChannelState s = state_[c];
        for (size_t i = c, end = frames * channels; i < end; i += channels) {
            const float x = in[i];
            s.lp = s.lp + alpha * (x - s.lp);
            const float b = s.lp * kBassGain;
            bass[i] = b;
            // Written so that a NaN difference counts as no transient.
            if (std::fabs(x - s.prev) > kTransientThreshold) {
                s.env = 1.0f;
            } else {
                s.env = s.env * kEnvelopeDecay;
            }
            drums[i] = (x * s.env) * kDrumGain;
            vocals[i] = ((x - b * kBassRemoval) * (1.0f - s.env * kDucking)) * kVocalGain;
            other[i] = x * kOtherGain;
            s.prev = x;
        }
        state_[c] = s;
    }
}

namespace AudioDSP {

StemSet SeparateStems(const AudioBuffer& input) {
    StemSet stems;
    for (AudioBuffer* stem : {&stems.vocals, &stems.drums, &stems.bass, &stems.other}) {
        stem->sampleRate = input.sampleRate;
        stem->channels = input.channels;
        stem->samples.assign(input.samples.size(), 0.0f);
    }
    StemSeparator separator(input.sampleRate, input.channels);
    // Blocks keep each channel's strided pass inside the cache.
    constexpr size_t kBlockFrames = 4096;
    const size_t channels = input.channels > 0 ? static_cast<size_t>(input.channels) : 1;
    const size_t frames = input.samples.size() / channels;
    for (size_t f = 0; f < frames; f += kBlockFrames) {
        const size_t n = std::min(kBlockFrames, frames - f);
        const size_t at = f * channels;
        separator.process(input.samples.data() + at, n, stems.vocals.samples.data() + at,
                          stems.drums.samples.data() + at, stems.bass.samples.data() + at,
                          stems.other.samples.data() + at);
    }
    // A buffer that ends inside a frame: separate the leftover samples as a short frame.
    const size_t at = frames * channels;
    if (at < input.samples.size()) {
        std::vector<float> in(channels, 0.0f), v(channels), d(channels), b(channels), o(channels);
        std::copy(input.samples.begin() + static_cast<std::ptrdiff_t>(at), input.samples.end(),
                  in.begin());
        separator.process(in.data(), 1, v.data(), d.data(), b.data(), o.data());
        for (size_t i = at; i < input.samples.size(); ++i) {
            stems.vocals.samples[i] = v[i - at];
            stems.drums.samples[i] = d[i - at];
            stems.bass.samples[i] = b[i - at];
            stems.other.samples[i] = o[i - at];
        }
    }
    stems.bpm = EstimateBPM(input);
    stems.key = EstimateKey(input);
    return stems;
}

}  // namespace AudioDSP
}  // namespace Trackloom
