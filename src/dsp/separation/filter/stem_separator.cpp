#include "dsp/separation/filter/stem_separator.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "dsp/core/cpu_features.h"
#include "dsp/io/wav_io.h"
#include "dsp/separation/filter/stem_lowpass.h"
#include "dsp/separation/filter/stem_mix.h"

namespace Trackloom::separation::filter {

using io::EncodeS16;
namespace {

// 2^-32: an envelope this small changes no 16-bit sample of any stem (see the constructor).
constexpr float kNegligibleEnvelope = 1.0f / 4294967296.0f;

// A low-pass started from zero differs from the true one by its state times (1 - alpha)^n
// after n samples; e^-24 is far below a float's resolution, so after this many time
// constants the two agree to the last bit or within a few rounding steps of it.
constexpr float kWarmUpTimeConstants = 24.0f;

static_assert(StemSeparator::kFastBlockFrames == kLowPassPieceFrames,
              "blocks run fastest as whole pieces of the low-pass");

// The low-pass of a mono or stereo block, piece by piece, in as many strands as pay for
// their warm-up; returns the frames done, whole pieces only.
template <size_t C>
size_t LowPassPieces(const float* in, size_t frames, size_t warm, float alpha, float* state,
                     float* out) {
    // A strand at least twice its warm-up keeps the extra work under a half.
    void (*piece)(const float*, size_t, float, float*, float*) = nullptr;
    if (C == 1 && warm <= kLowPassPieceFrames / 8 / 2) {
        piece = LowPassPiece<C, 8>;
    } else if (C == 2 && kHasSse2 && warm <= kLowPassPieceFrames / kSse2StereoStrands / 2) {
        piece = LowPassStereoPieceSse2;
    } else if (warm <= kLowPassPieceFrames / 4 / 2) {
        piece = LowPassPiece<C, 4>;
    } else if (warm <= kLowPassPieceFrames / 2 / 2) {
        piece = LowPassPiece<C, 2>;
    } else {
        return 0;
    }
    size_t done = 0;
    for (; done + kLowPassPieceFrames <= frames; done += kLowPassPieceFrames) {
        piece(in + done * C, warm, alpha, state, out + done * C);
    }
    return done;
}

// Everything that depends on nothing but the current sample: the input, its envelope and
// its low-pass give the four stems.
inline void MixSample(float v, float e, float lowpass, float& vocals, float& drums, float& bass,
                      float& other) {
    const float b = lowpass * kBassGain;
    bass = b;
    vocals = ((v - b * kBassRemoval) * (1.0f - e * kDucking)) * kVocalGain;
    drums = (v * e) * kDrumGain;
    other = v * kOtherGain;
}

// Float stems. The low-pass is worked out in the bass stem and the envelope in the drums
// stem, both then turned into the stems in place: a separate envelope buffer would be one
// more array the compiler must prove apart from the four outputs before it vectorises.
struct FloatStems {
    static constexpr bool kWantsRange = false;
    float* vocals;
    float* drums;
    float* bass;
    float* other;

    float* lowpass() const { return bass; }
    float* envelope(size_t at) const { return drums + at; }

    // A piece of `count` samples from sample `at` of the block, in a pass that vectorises.
    void put(size_t at, size_t count, const float* x, bool /*inRange*/) const {
        for (size_t k = 0; k < count; ++k) {
            MixSample(x[k], drums[at + k], bass[at + k], vocals[at + k], drums[at + k],
                      bass[at + k], other[at + k]);
        }
    }
};

// Stems encoded as 16-bit PCM. Where the input and the low-pass stay within kRegisterRange
// (all decoded integer PCM, and float files that are not absurd) the stems are computed
// eight at a time and encoded in registers; elsewhere they go through floats and EncodeS16.
struct S16Stems {
    static constexpr bool kWantsRange = true;

    const std::array<unsigned char*, 4>& out;
    float* lowpassBuffer;  // the block's low-pass
    float* env;            // a piece's envelope
    float* scratch;        // four stems of a piece

    float* lowpass() const { return lowpassBuffer; }
    float* envelope(size_t /*at*/) const { return env; }

    void put(size_t at, size_t count, const float* x, bool inRange) const {
        const float* lp = lowpassBuffer + at;
        const size_t k = inRange ? MixEncodeSse2(x, env, lp, out, at, count) : 0;
        if (k == count) return;
        const size_t n = count - k;
        float* stem[4] = {scratch, scratch + n, scratch + 2 * n, scratch + 3 * n};
        for (size_t j = 0; j < n; ++j) {
            MixSample(x[k + j], env[k + j], lp[k + j], stem[0][j], stem[1][j], stem[2][j],
                      stem[3][j]);
        }
        for (size_t s = 0; s < 4; ++s) EncodeS16(stem[s], n, out[s] + 2 * (at + k));
    }
};

}  // namespace

StemSeparator::StemSeparator(int32_t sampleRate, int32_t channels)
    : channels_(channels > 0 ? static_cast<size_t>(channels) : 1), wide_(core::HasAvx2()) {
    const float dt = 1.0f / static_cast<float>(sampleRate);
    alpha_ = dt / (kTimeConstant + dt);
    // A NaN or vanishing coefficient (rate 0, absurd rates) never forgets: no strands.
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

    // The one-pass 16-bit kernels read a copy in which values below 2^-32 are zero: there
    // they change no 16-bit sample. Inputs within kRegisterRange times such a value make
    // drums below 2^-22, which truncate to 0 as zero does, and 1 - e * kDucking rounds to
    // exactly 1 either way. Most of those values are subnormal, which some processors
    // multiply at a hundred times the cost, and a quarter of a second without a transient
    // reaches them.
    flushedEnvelope_ = envelope_;
    for (float& e : flushedEnvelope_) {
        if (e < kNegligibleEnvelope) e = 0.0f;
    }
    reset();
}

void StemSeparator::useWideVectors(bool wide) {
    wide_ = wide && core::HasAvx2();
}

void StemSeparator::reset() {
    lowpassState_.assign(channels_, 0.0f);
    sinceTransient_.assign(channels_, never_);
    previous_.assign(channels_, 0.0f);
}

// A channel's count of samples since the last transient, brought into the envelope table's
// range at the start of a piece: counts past the settled value all read the settled value,
// and a channel that never had a transient reads zeros.
uint32_t StemSeparator::envelopeIndex(size_t channel) const {
    const uint32_t count = sinceTransient_[channel];
    return count >= never_ ? never_ : std::min(count, settled_);
}

// The envelope of a piece of `frames` frames (no more than kPieceSamples) for `Lanes`
// channels side by side, channel `first` onwards, given which samples are no transient.
// The count of samples since the last transient names the envelope; inside the piece it is
// just a count that a transient zeroes, and the table is long enough for it to run on.
template <size_t Lanes>
void StemSeparator::trackEnvelopes(const uint32_t* keep, size_t frames, size_t first, float* env) {
    // Locals, so that stores through the float pointers cannot be taken to change them.
    const size_t channels = channels_;
    const float* envelope = envelope_.data();
    uint32_t since[Lanes];
    for (size_t l = 0; l < Lanes; ++l) since[l] = envelopeIndex(first + l);
    size_t f = 0;
    if constexpr (Lanes <= 2) {
        if (channels == Lanes) f = TrackEnvelopeSse2<Lanes>(keep, frames, envelope, since, env);
    }
    for (; f < frames; ++f) {
        const size_t i = first + f * channels;
        for (size_t l = 0; l < Lanes; ++l) {
            since[l] = (since[l] + 1) & keep[i + l];
            env[i + l] = envelope[since[l]];
        }
    }
    for (size_t l = 0; l < Lanes; ++l) sinceTransient_[first + l] = since[l];
}

// A piece's envelope, the channels taken four, two and one at a time.
void StemSeparator::trackPieceEnvelope(size_t frames, float* env) {
    const uint32_t* keep = keep_.data();
    size_t c = 0;
    for (; c + 4 <= channels_; c += 4) trackEnvelopes<4>(keep, frames, c, env);
    for (; c + 2 <= channels_; c += 2) trackEnvelopes<2>(keep, frames, c, env);
    if (c < channels_) trackEnvelopes<1>(keep, frames, c, env);
}

// Mono or stereo within kRegisterRange, from the input to the encoded stems in one pass,
// sixteen samples at a time where the processor has AVX2 and eight after that; returns the
// frames done from `start` on.
size_t StemSeparator::encodeOnePass(const float* in, size_t start, size_t frames,
                                    const float* lowpass,
                                    const std::array<unsigned char*, 4>& out) {
    uint32_t since[2];
    float previous[2];
    for (size_t c = 0; c < channels_; ++c) {
        since[c] = envelopeIndex(c);
        previous[c] = previous_[c];
    }
    OnePassPiece piece{in, start, frames, lowpass, out, flushedEnvelope_.data(), previous, since};
    const bool mono = channels_ == 1;
    size_t done = 0;
    if (wide_) done = mono ? EncodeOnePassAvx2<1>(piece) : EncodeOnePassAvx2<2>(piece);
    done += mono ? EncodeOnePassSse2<1>(piece) : EncodeOnePassSse2<2>(piece);
    for (size_t c = 0; c < channels_; ++c) sinceTransient_[c] = since[c];
    return done;
}

// Whether the low-pass state is within kRegisterRange, read before the block's low-pass
// moves it. The low-pass takes each sample to a point between its last value and the
// input, so it stays within the larger of the two give or take a rounding step a sample:
// within the bound of its state at the start and of every input since, to a few per cent at
// most over a block. A coefficient outside (0, 1] (a rate of zero or below) gives no such
// promise.
bool StemSeparator::lowPassInRegisterRange() const {
    if (!(alpha_ > 0.0f && alpha_ <= 1.0f)) return false;
    for (float lp : lowpassState_) {
        if (!(std::fabs(lp) <= kRegisterRange)) return false;
    }
    return true;
}

// The low-pass, unscaled, of the whole block: mono and stereo in whole pieces of strands,
// then the rest (and every other channel count) a few channels side by side.
void StemSeparator::lowPassBlock(const float* in, size_t frames, float* lowpass) {
    const size_t channels = channels_;
    float* state = lowpassState_.data();
    const size_t pieced =
        channels == 1   ? LowPassPieces<1>(in, frames, warmUp_, alpha_, state, lowpass)
        : channels == 2 ? LowPassPieces<2>(in, frames, warmUp_, alpha_, state, lowpass)
                        : 0;
    if (pieced == frames) return;
    const float* rest = in + pieced * channels;
    float* restOut = lowpass + pieced * channels;
    const size_t n = frames - pieced;
    size_t c = 0;
    for (; c + 4 <= channels; c += 4)
        LowPassChannels<4>(rest, n, channels, c, alpha_, state, restOut);
    for (; c + 2 <= channels; c += 2)
        LowPassChannels<2>(rest, n, channels, c, alpha_, state, restOut);
    if (c < channels) LowPassChannels<1>(rest, n, channels, c, alpha_, state, restOut);
}

// Marks which samples of the `frames` frames from frame `start` of the block are no
// transient, as masks in keep_, in a pass that vectorises: a jump of more than the threshold
// from the channel's previous sample is a transient; a NaN difference compares false and
// counts as none. With CheckRange, the same pass returns whether every input is within
// kRegisterRange; without, it returns true.
template <bool CheckRange>
bool StemSeparator::markTransients(const float* in, size_t start, size_t frames) {
    const size_t channels = channels_;
    const size_t count = frames * channels;
    const float* x = in + start * channels;
    uint32_t* keep = keep_.data();
    size_t i = 0;
    if (start == 0) {
        for (; i < channels; ++i) {
            keep[i] = std::fabs(x[i] - previous_[i]) > kTransientThreshold ? 0u : ~0u;
        }
    }
    // The channel's previous sample is indexed from the block's start: the piece's first
    // frame reaches back into the previous piece, before `x`.
    const size_t at = start * channels;
    uint32_t outside = 0;
    if constexpr (CheckRange) {
        for (size_t j = 0; j < i; ++j) outside |= !(std::fabs(x[j]) <= kRegisterRange);
    }
    for (; i < count; ++i) {
        keep[i] = std::fabs(x[i] - in[at + i - channels]) > kTransientThreshold ? 0u : ~0u;
        if constexpr (CheckRange) outside |= !(std::fabs(x[i]) <= kRegisterRange);
    }
    return outside == 0;
}

template <class Stems>
void StemSeparator::separate(const float* in, size_t frames, Stems& stems) {
    if (frames == 0) return;
    const size_t channels = channels_;
    // Whether the input and the low-pass have stayed within kRegisterRange so far in this
    // block.
    bool inRange = Stems::kWantsRange && lowPassInRegisterRange();
    lowPassBlock(in, frames, stems.lowpass());

    // The rest goes piece by piece, so that each pass finds the previous one's results in
    // the nearest cache.
    const size_t pieceFrames = std::max<size_t>(1, kPieceSamples / channels);
    if (keep_.size() < pieceFrames * channels) keep_.resize(pieceFrames * channels);
    for (size_t start = 0, n = 0; start < frames; start += n) {
        n = std::min(pieceFrames, frames - start);
        if constexpr (Stems::kWantsRange) {
            if (inRange && channels <= 2) {
                const size_t done = encodeOnePass(in, start, n, stems.lowpass(), stems.out);
                if (done == n) continue;
                // What is left: a short tail, or samples outside kRegisterRange from here on.
                start += done;
                n -= done;
            }
        }
        inRange = markTransients<Stems::kWantsRange>(in, start, n) && inRange;
        const size_t at = start * channels;
        trackPieceEnvelope(n, stems.envelope(at));
        stems.put(at, n * channels, in + at, inRange);
    }
    for (size_t c = 0; c < channels; ++c) previous_[c] = in[(frames - 1) * channels + c];
}

void StemSeparator::process(const float* in, size_t frames, float* vocals, float* drums,
                            float* bass, float* other) {
    FloatStems stems{vocals, drums, bass, other};
    separate(in, frames, stems);
}

void StemSeparator::processS16(const float* in, size_t frames,
                               const std::array<unsigned char*, 4>& out) {
    const size_t samples = frames * channels_;
    if (lowpass_.size() < samples) lowpass_.resize(samples);
    // A piece holds kPieceSamples samples, or one frame when that is wider.
    const size_t piece = std::max<size_t>(kPieceSamples, channels_);
    if (env_.size() < piece) {
        env_.resize(piece);
        scratch_.resize(4 * piece);
    }
    S16Stems stems{out, lowpass_.data(), env_.data(), scratch_.data()};
    separate(in, frames, stems);
}

}  // namespace Trackloom::separation::filter
