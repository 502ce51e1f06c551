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

namespace {

// The per-sample recurrences of `Lanes` channels side by side, channel `first` onwards:
// the low-pass goes to `bass` (already scaled) and the envelope to `env`. Each channel's
// low-pass is a chain of dependent operations, so taking several channels in one pass lets
// their chains overlap instead of running one after another.
template <size_t Lanes>
void runRecurrences(const float* in, size_t frames, size_t channels, size_t first, float alpha,
                    StemSeparator::ChannelState* state, float* bass, float* env) {
    float lp[Lanes], en[Lanes], prev[Lanes];
    for (size_t l = 0; l < Lanes; ++l) {
        lp[l] = state[first + l].lp;
        en[l] = state[first + l].env;
        prev[l] = state[first + l].prev;
    }
    for (size_t f = 0, i = first; f < frames; ++f, i += channels) {
        for (size_t l = 0; l < Lanes; ++l) {
            const float x = in[i + l];
            lp[l] = lp[l] + alpha * (x - lp[l]);
            bass[i + l] = lp[l] * kBassGain;
            // A select rather than a branch: hits in noisy material are unpredictable.
            // A NaN difference compares false and counts as no transient.
            const float decayed = en[l] * kEnvelopeDecay;
            en[l] = std::fabs(x - prev[l]) > kTransientThreshold ? 1.0f : decayed;
            env[i + l] = en[l];
            prev[l] = x;
        }
    }
    for (size_t l = 0; l < Lanes; ++l) state[first + l] = {lp[l], en[l], prev[l]};
}

}  // namespace

void StemSeparator::process(const float* in, size_t frames, float* vocals, float* drums,
                            float* bass, float* other) {
    const size_t channels = channels_;
    // The recurrences first, with the envelope parked in `drums`; then everything that
    // depends on nothing but the current sample, in one pass over the block that vectorises.
    size_t c = 0;
    for (; c + 4 <= channels; c += 4) {
        runRecurrences<4>(in, frames, channels, c, alpha_, state_.data(), bass, drums);
    }
    for (; c + 2 <= channels; c += 2) {
        runRecurrences<2>(in, frames, channels, c, alpha_, state_.data(), bass, drums);
    }
    if (c < channels)
        runRecurrences<1>(in, frames, channels, c, alpha_, state_.data(), bass, drums);

    for (size_t i = 0, end = frames * channels; i < end; ++i) {
        const float x = in[i];
        const float env = drums[i];
        vocals[i] = ((x - bass[i] * kBassRemoval) * (1.0f - env * kDucking)) * kVocalGain;
        drums[i] = (x * env) * kDrumGain;
        other[i] = x * kOtherGain;
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
