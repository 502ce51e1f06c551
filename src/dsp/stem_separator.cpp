#include "dsp/stem_separator.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#include "dsp/analysis.h"
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

// A low-pass started from zero differs from the true one by its state times (1 - alpha)^n
// after n samples; e^-24 is far below a float's resolution, so after this many time
// constants the two agree to the last bit or within a few rounding steps of it.
constexpr float kWarmUpTimeConstants = 24.0f;

bool SameBits(float a, float b) {
    uint32_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

// The low-pass of `Lanes` channels side by side, channel `first` onwards, one block in
// one go. Each channel's low-pass is a chain of dependent operations; taking several
// channels in one pass lets their chains overlap instead of running one after another.
template <size_t Lanes>
void LowPassChannels(const float* in, size_t frames, size_t channels, size_t first, float alpha,
                     StemSeparator::ChannelState* state, float* out) {
    float lp[Lanes];
    for (size_t l = 0; l < Lanes; ++l) lp[l] = state[first + l].lp;
    for (size_t f = 0, i = first; f < frames; ++f, i += channels) {
        for (size_t l = 0; l < Lanes; ++l) {
            lp[l] = lp[l] + alpha * (in[i + l] - lp[l]);
            out[i + l] = lp[l];
        }
    }
    for (size_t l = 0; l < Lanes; ++l) state[first + l].lp = lp[l];
}

// The low-pass of a chunk of kChunkFrames frames of one or two channels, cut into
// `Segments` stretches worked on side by side, for the same reason; the fixed lengths let
// every stretch be addressed from one pointer. Only the first stretch starts from the true
// state; each later one starts from zero `warm` samples before its beginning, so that by
// then it has all but forgotten that guess. Then each stretch is checked in order, from
// the exact end of the one before: the true low-pass is run until it meets the guessed
// one bit for bit, from where on the guess is exact. Usually that is at once; a stretch
// that never meets (long digital silence can hold the two a step apart) is recomputed
// whole, so the result is always exactly the plain sample-by-sample low-pass.
constexpr size_t kChunkFrames = StemSeparator::kChunkFrames;

template <size_t C, size_t Segments>
void LowPassChunk(const float* in, size_t warm, float alpha, StemSeparator::ChannelState* state,
                  float* out) {
    constexpr size_t S = Segments;
    // Stretches a little short of an even split, so that they do not start a multiple of
    // 4 KiB apart: the processor would take loads and stores at such distances for the
    // same address and make them wait for each other. The last stretch takes the rest.
    constexpr size_t kLength = kChunkFrames / S - 16;
    constexpr size_t kStride = kLength * C;  // samples from one stretch to the next
    float lp[S][C];
    for (size_t s = 0; s < S; ++s) {
        for (size_t c = 0; c < C; ++c) lp[s][c] = s == 0 ? state[c].lp : 0.0f;
    }
    for (const float* x = in + kStride - warm * C; x < in + kStride; x += C) {
        for (size_t s = 1; s < S; ++s) {
            for (size_t c = 0; c < C; ++c) {
                lp[s][c] = lp[s][c] + alpha * (x[(s - 1) * kStride + c] - lp[s][c]);
            }
        }
    }
    float* y = out;
    for (const float* x = in; x < in + kStride; x += C, y += C) {
        for (size_t s = 0; s < S; ++s) {
            for (size_t c = 0; c < C; ++c) {
                lp[s][c] = lp[s][c] + alpha * (x[s * kStride + c] - lp[s][c]);
                y[s * kStride + c] = lp[s][c];
            }
        }
    }
    for (size_t i = S * kStride; i < kChunkFrames * C; i += C) {
        for (size_t c = 0; c < C; ++c) {
            lp[S - 1][c] = lp[S - 1][c] + alpha * (in[i + c] - lp[S - 1][c]);
            out[i + c] = lp[S - 1][c];
        }
    }
    for (size_t s = 1; s < S; ++s) {
        const size_t end = s + 1 == S ? kChunkFrames * C : (s + 1) * kStride;
        for (size_t c = 0; c < C; ++c) {
            const size_t begin = s * kStride + c;
            float exact = out[begin - C];
            for (size_t i = begin; i < end; i += C) {
                exact = exact + alpha * (in[i] - exact);
                if (SameBits(exact, out[i])) break;
                out[i] = exact;
            }
        }
    }
    for (size_t c = 0; c < C; ++c) state[c].lp = out[(kChunkFrames - 1) * C + c];
}

// The low-pass of a mono or stereo block, chunk by chunk, in as many stretches as pay for
// their warm-up; returns the frames done, whole chunks only.
template <size_t C>
size_t LowPassChunks(const float* in, size_t frames, size_t warm, float alpha,
                     StemSeparator::ChannelState* state, float* out) {
    // A stretch at least twice its warm-up keeps the extra work under a half.
    void (*chunk)(const float*, size_t, float, StemSeparator::ChannelState*, float*) = nullptr;
    if (C == 1 && warm <= kChunkFrames / 8 / 2) {
        chunk = LowPassChunk<C, 8>;
    } else if (warm <= kChunkFrames / 4 / 2) {
        chunk = LowPassChunk<C, 4>;
    } else if (warm <= kChunkFrames / 2 / 2) {
        chunk = LowPassChunk<C, 2>;
    } else {
        return 0;
    }
    size_t done = 0;
    for (; done + kChunkFrames <= frames; done += kChunkFrames) {
        chunk(in + done * C, warm, alpha, state, out + done * C);
    }
    return done;
}

}  // namespace

StemSeparator::StemSeparator(int32_t sampleRate, int32_t channels)
    : channels_(channels > 0 ? static_cast<size_t>(channels) : 1) {
    const float dt = 1.0f / static_cast<float>(sampleRate);
    alpha_ = dt / (kTimeConstant + dt);
    // A NaN or vanishing coefficient (rate 0, absurd rates) never forgets: no stretches.
    const float warm = kWarmUpTimeConstants / alpha_;
    warmUp_ = warm > 0.0f && warm < 1e6f ? static_cast<size_t>(warm) + 1 : SIZE_MAX;

    // Between transients the envelope only decays, 1, 0.992, 0.992^2..., rounded at each
    // step, until it sinks to a tiny value that 0.992 no longer changes. Every envelope
    // value is thus one of these, named by the samples since the last transient: the
    // per-sample work is a count, not a chain of multiplications that ends up crawling
    // through subnormal numbers. The settled value repeats for a piece's worth of counts,
    // and a piece's worth of zeros follows for a channel that has never had a transient.
    envelope_.push_back(1.0f);
    while (true) {
        const float next = envelope_.back() * kEnvelopeDecay;
        if (SameBits(next, envelope_.back())) break;
        envelope_.push_back(next);
    }
    settled_ = static_cast<uint32_t>(envelope_.size() - 1);
    envelope_.resize(envelope_.size() + kPieceSamples, envelope_.back());
    never_ = static_cast<uint32_t>(envelope_.size());
    envelope_.resize(envelope_.size() + kPieceSamples + 1, 0.0f);
    reset();
}

void StemSeparator::reset() {
    state_.assign(channels_, ChannelState{0.0f, never_, 0.0f});
}

// The envelope of a piece of `frames` frames (no more than kPieceSamples) for `Lanes`
// channels side by side, channel `first` onwards, given which samples are no transient.
// The count of samples since the last transient names the envelope. It is brought into
// the table's range at the start of the piece; inside the piece it is just a count that
// a transient zeroes, and the table is long enough for it to run on.
template <size_t Lanes>
void StemSeparator::trackEnvelopes(const uint32_t* keep, size_t frames, size_t first, float* env) {
    // Locals, so that stores through the float pointers cannot be taken to change them.
    const size_t channels = channels_;
    const float* envelope = envelope_.data();
    uint32_t hit[Lanes];
    for (size_t l = 0; l < Lanes; ++l) {
        const uint32_t count = state_[first + l].hit;
        hit[l] = count >= never_ ? never_ : std::min(count, settled_);
    }
    for (size_t i = first, end = frames * channels; i < end; i += channels) {
        for (size_t l = 0; l < Lanes; ++l) {
            hit[l] = (hit[l] + 1) & keep[i + l];
            env[i + l] = envelope[hit[l]];
        }
    }
    for (size_t l = 0; l < Lanes; ++l) state_[first + l].hit = hit[l];
}

void StemSeparator::process(const float* in, size_t frames, float* vocals, float* drums,
                            float* bass, float* other) {
    if (frames == 0) return;
    const size_t channels = channels_;
    // The low-pass, unscaled, into `bass`.
    const size_t chunked =
        channels == 1   ? LowPassChunks<1>(in, frames, warmUp_, alpha_, state_.data(), bass)
        : channels == 2 ? LowPassChunks<2>(in, frames, warmUp_, alpha_, state_.data(), bass)
                        : 0;
    if (chunked < frames) {
        const float* rest = in + chunked * channels;
        float* restOut = bass + chunked * channels;
        const size_t n = frames - chunked;
        size_t c = 0;
        for (; c + 4 <= channels; c += 4) {
            LowPassChannels<4>(rest, n, channels, c, alpha_, state_.data(), restOut);
        }
        for (; c + 2 <= channels; c += 2) {
            LowPassChannels<2>(rest, n, channels, c, alpha_, state_.data(), restOut);
        }
        if (c < channels) LowPassChannels<1>(rest, n, channels, c, alpha_, state_.data(), restOut);
    }

    // The rest goes piece by piece, so that each pass finds the previous one's results in
    // the nearest cache.
    const size_t pieceFrames = std::max<size_t>(1, kPieceSamples / channels);
    if (keep_.size() < pieceFrames * channels) keep_.resize(pieceFrames * channels);
    uint32_t* keep = keep_.data();
    for (size_t start = 0; start < frames; start += pieceFrames) {
        const size_t n = std::min(pieceFrames, frames - start);
        const size_t count = n * channels;
        const float* x = in + start * channels;

        // Which samples are no transient, as masks, in a pass that vectorises: a jump of
        // more than the threshold from the channel's previous sample is a hit. A NaN
        // difference compares false and counts as no transient.
        size_t i = 0;
        if (start == 0) {
            for (; i < channels; ++i) {
                keep[i] = std::fabs(x[i] - state_[i].prev) > kTransientThreshold ? 0u : ~0u;
            }
        }
        // The channel's previous sample is indexed from the block's start: the piece's
        // first frame reaches back into the previous piece, before `x`.
        const size_t at = start * channels;
        for (; i < count; ++i) {
            keep[i] = std::fabs(x[i] - in[at + i - channels]) > kTransientThreshold ? 0u : ~0u;
        }

        // The envelope, into `drums`.
        float* env = drums + start * channels;
        size_t c = 0;
        for (; c + 4 <= channels; c += 4) trackEnvelopes<4>(keep, n, c, env);
        for (; c + 2 <= channels; c += 2) trackEnvelopes<2>(keep, n, c, env);
        if (c < channels) trackEnvelopes<1>(keep, n, c, env);

        // Everything that depends on nothing but the current sample, in a pass that
        // vectorises.
        for (size_t k = start * channels, end = k + count; k < end; ++k) {
            const float v = in[k];
            const float e = drums[k];
            const float b = bass[k] * kBassGain;
            bass[k] = b;
            vocals[k] = ((v - b * kBassRemoval) * (1.0f - e * kDucking)) * kVocalGain;
            drums[k] = (v * e) * kDrumGain;
            other[k] = v * kOtherGain;
        }
    }
    for (size_t c = 0; c < channels; ++c) state_[c].prev = in[(frames - 1) * channels + c];
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
    // Blocks long enough for the low-pass to be worked on in stretches, short enough to
    // stay in the cache.
    constexpr size_t kBlockFrames = StemSeparator::kChunkFrames;
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
    // EstimateBPM and EstimateKey in one pass: they share the harmony's loop.
    dsp::TempoAndKey estimates = dsp::EstimateTempoAndKey(input);
    stems.bpm = estimates.bpm;
    stems.key = std::move(estimates.key);
    return stems;
}

}  // namespace AudioDSP
}  // namespace Trackloom
