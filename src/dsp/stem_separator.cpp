#include "dsp/stem_separator.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dsp/stem_mix.h"
#include "dsp/wav_io.h"

namespace Trackloom {
namespace {

using namespace StemMix;

// 2^-32: an envelope this small changes no 16-bit sample of any stem (see the constructor).
constexpr float kNegligibleEnvelope = 1.0f / 4294967296.0f;

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

// Stretches a little short of an even split, so that they do not start a multiple of 4 KiB
// apart: the processor would take loads and stores at such distances for the same address
// and make them wait for each other. The last stretch takes the rest.
constexpr size_t StretchFrames(size_t stretches) {
    return kChunkFrames / stretches - 16;
}

template <size_t C, size_t S>
void FinishChunk(const float* in, float alpha, float* last, StemSeparator::ChannelState* state,
                 float* out);

template <size_t C, size_t Segments>
void LowPassChunk(const float* in, size_t warm, float alpha, StemSeparator::ChannelState* state,
                  float* out) {
    constexpr size_t S = Segments;
    constexpr size_t kStride = StretchFrames(S) * C;  // samples from one stretch to the next
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
    FinishChunk<C, S>(in, alpha, lp[S - 1], state, out);
}

// The last stretch of a chunk whose stretches have been worked on runs on to the chunk's
// end from `last`, its low-pass so far; then each stretch is checked from the end of the
// one before, and the state is left at the chunk's end.
template <size_t C, size_t S>
void FinishChunk(const float* in, float alpha, float* last, StemSeparator::ChannelState* state,
                 float* out) {
    constexpr size_t kStride = StretchFrames(S) * C;
    for (size_t i = S * kStride; i < kChunkFrames * C; i += C) {
        for (size_t c = 0; c < C; ++c) {
            last[c] = last[c] + alpha * (in[i + c] - last[c]);
            out[i + c] = last[c];
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

#if defined(__SSE2__)
// The same for stereo, two stretches to a register: lanes 0 and 1 hold the left and right
// low-pass of stretch 2j, lanes 2 and 3 those of stretch 2j + 1. The arithmetic is the
// scalar one lane by lane; the registers only let more stretches run side by side.
template <size_t Segments>
void LowPassChunkStereo(const float* in, size_t warm, float alpha,
                        StemSeparator::ChannelState* state, float* out) {
    constexpr size_t S = Segments;
    constexpr size_t V = S / 2;
    static_assert(S % 2 == 0, "stretches come in pairs");
    constexpr size_t kStride = StretchFrames(S) * 2;
    using Pair = const __m64*;  // one frame, as the loads and stores of half a register want it
    const __m128 a = _mm_set1_ps(alpha);
    const __m128 zero = _mm_setzero_ps();
    __m128 lp[V];
    for (size_t j = 0; j < V; ++j) lp[j] = zero;
    // Every stretch but the first warms up on the frames before it; the first has none
    // before it in this chunk, and keeps the true state.
    for (const float* x = in + kStride - warm * 2; x < in + kStride; x += 2) {
        const __m128 first = _mm_loadh_pi(zero, reinterpret_cast<Pair>(x));
        lp[0] = _mm_add_ps(lp[0], _mm_mul_ps(a, _mm_sub_ps(first, lp[0])));
        for (size_t j = 1; j < V; ++j) {
            const float* p = x + (2 * j - 1) * kStride;
            const __m128 v = _mm_loadh_pi(_mm_loadl_pi(zero, reinterpret_cast<Pair>(p)),
                                          reinterpret_cast<Pair>(p + kStride));
            lp[j] = _mm_add_ps(lp[j], _mm_mul_ps(a, _mm_sub_ps(v, lp[j])));
        }
    }
    lp[0] = _mm_shuffle_ps(_mm_setr_ps(state[0].lp, state[1].lp, 0.0f, 0.0f), lp[0],
                           _MM_SHUFFLE(3, 2, 1, 0));
    for (size_t f = 0; f < kStride; f += 2) {
        for (size_t j = 0; j < V; ++j) {
            const size_t i = f + 2 * j * kStride;
            const __m128 v = _mm_loadh_pi(_mm_loadl_pi(zero, reinterpret_cast<Pair>(in + i)),
                                          reinterpret_cast<Pair>(in + i + kStride));
            lp[j] = _mm_add_ps(lp[j], _mm_mul_ps(a, _mm_sub_ps(v, lp[j])));
            _mm_storel_pi(reinterpret_cast<__m64*>(out + i), lp[j]);
            _mm_storeh_pi(reinterpret_cast<__m64*>(out + i + kStride), lp[j]);
        }
    }
    float last[4];
    _mm_storeu_ps(last, lp[V - 1]);
    FinishChunk<2, S>(in, alpha, last + 2, state, out);
}
#endif

// The low-pass of a mono or stereo block, chunk by chunk, in as many stretches as pay for
// their warm-up; returns the frames done, whole chunks only.
template <size_t C>
size_t LowPassChunks(const float* in, size_t frames, size_t warm, float alpha,
                     StemSeparator::ChannelState* state, float* out) {
    // A stretch at least twice its warm-up keeps the extra work under a half.
    void (*chunk)(const float*, size_t, float, StemSeparator::ChannelState*, float*) = nullptr;
    if (C == 1 && warm <= kChunkFrames / 8 / 2) {
        chunk = LowPassChunk<C, 8>;
#if defined(__SSE2__)
    } else if (C == 2 && warm <= kChunkFrames / 8 / 2) {
        chunk = LowPassChunkStereo<8>;
#endif
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

#if defined(__SSE2__)
// The vector operations of the one-pass kernel, four lanes wide.
struct Sse2 {
    using Floats = __m128;
    static constexpr size_t kLanes = 4;
    static Floats load(const float* p) { return _mm_loadu_ps(p); }
    static Floats splat(float x) { return _mm_set1_ps(x); }
    static Floats sub(Floats a, Floats b) { return _mm_sub_ps(a, b); }
    static Floats mul(Floats a, Floats b) { return _mm_mul_ps(a, b); }
    static Floats abs(Floats a) {
        return _mm_and_ps(a, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff)));
    }
    static unsigned atMost(Floats a, Floats b) {
        return static_cast<unsigned>(_mm_movemask_ps(_mm_cmple_ps(a, b)));
    }
    static unsigned above(Floats a, Floats b) {
        return static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(a, b)));
    }
    static void interleave(Floats left, Floats right, Floats out[2]) {
        out[0] = _mm_unpacklo_ps(left, right);
        out[1] = _mm_unpackhi_ps(left, right);
    }
    // Truncated, saturated to 16 bits and lifted from -32768 to -32767: for values within
    // kPlainRange that is exactly the encoder's clamp-then-truncate.
    static void encode(Floats a, Floats b, unsigned char* to) {
        const Floats full = _mm_set1_ps(32767.0f);
        const __m128i packed = _mm_packs_epi32(_mm_cvttps_epi32(_mm_mul_ps(a, full)),
                                               _mm_cvttps_epi32(_mm_mul_ps(b, full)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                         _mm_max_epi16(packed, _mm_set1_epi16(-32767)));
    }
};
#endif

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
    void put(size_t at, size_t count, const float* x, bool /*plain*/) const {
        for (size_t k = 0; k < count; ++k) {
            MixSample(x[k], drums[at + k], bass[at + k], vocals[at + k], drums[at + k],
                      bass[at + k], other[at + k]);
        }
    }
};

// Stems encoded as 16-bit PCM. Where the input and the low-pass stay within kPlainRange
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

    void put(size_t at, size_t count, const float* x, bool plain) const {
        const float* lp = lowpassBuffer + at;
        size_t k = 0;
#if defined(__SSE2__)
        if (plain) k = putPlain(at, count, x, lp);
#endif
        if (k == count) return;
        const size_t n = count - k;
        float* stem[4] = {scratch, scratch + n, scratch + 2 * n, scratch + 3 * n};
        for (size_t j = 0; j < n; ++j) {
            MixSample(x[k + j], env[k + j], lp[k + j], stem[0][j], stem[1][j], stem[2][j],
                      stem[3][j]);
        }
        for (size_t s = 0; s < 4; ++s) EncodeS16(stem[s], n, out[s] + 2 * (at + k));
    }

#if defined(__SSE2__)
    // Eight samples at a time; returns the samples done.
    size_t putPlain(size_t at, size_t count, const float* x, const float* lp) const {
        const std::array<unsigned char*, 4> to = out;  // a local copy: the stores cannot reach it
        size_t k = 0;
        for (; k + 8 <= count; k += 8) {
            const __m128 v[2] = {_mm_loadu_ps(x + k), _mm_loadu_ps(x + k + 4)};
            const __m128 e[2] = {_mm_loadu_ps(env + k), _mm_loadu_ps(env + k + 4)};
            MixEncode<Sse2>(v, e, lp + k, to, at + k);
        }
        return k;
    }
#endif
};

}  // namespace

#if defined(__SSE2__)
namespace StemMix {

template <size_t C>
size_t SeparatePlainSse2(PlainPiece& piece) {
    return SeparatePlain<Sse2, C>(piece);
}
template size_t SeparatePlainSse2<1>(PlainPiece&);
template size_t SeparatePlainSse2<2>(PlainPiece&);

}  // namespace StemMix
#endif

StemSeparator::StemSeparator(int32_t sampleRate, int32_t channels)
    : channels_(channels > 0 ? static_cast<size_t>(channels) : 1), wide_(HasAvx2()) {
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

    // The one-pass 16-bit kernels read a copy in which values below 2^-32 are zero: there
    // they change no 16-bit sample. Inputs within kPlainRange times such a value make
    // drums below 2^-22, which truncate to 0 as zero does, and 1 - e * kDucking rounds to
    // exactly 1 either way. Most of those values are subnormal, which some processors
    // multiply at a hundred times the cost, and a quarter of a second without a hit
    // reaches them.
    plainEnvelope_ = envelope_;
    for (float& e : plainEnvelope_) {
        if (e < kNegligibleEnvelope) e = 0.0f;
    }
    reset();
}

void StemSeparator::useWideVectors(bool wide) {
    wide_ = wide && HasAvx2();
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
    auto step = [&](size_t frame) {
        const size_t i = first + frame * channels;
        for (size_t l = 0; l < Lanes; ++l) {
            hit[l] = (hit[l] + 1) & keep[i + l];
            env[i + l] = envelope[hit[l]];
        }
    };
    size_t f = 0;
#if defined(__SSE2__)
    // Between transients a channel's envelope is the table read in order, so four frames
    // of mono or stereo without a hit are copied from it whole (the table runs a piece
    // past the counts a piece can start from).
    if constexpr (Lanes <= 2) {
        if (channels == Lanes) {
            for (; f + 4 <= frames; f += 4) {
                const uint32_t* k = keep + f * Lanes;
                __m128i none = _mm_loadu_si128(reinterpret_cast<const __m128i*>(k));
                if (Lanes == 2) {
                    none = _mm_and_si128(none,
                                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4)));
                }
                if (_mm_movemask_ps(_mm_castsi128_ps(none)) != 15) {
                    for (size_t j = 0; j < 4; ++j) step(f + j);
                    continue;
                }
                const __m128 a = _mm_loadu_ps(envelope + hit[0] + 1);
                hit[0] += 4;
                if constexpr (Lanes == 1) {
                    _mm_storeu_ps(env + f, a);
                } else {
                    const __m128 b = _mm_loadu_ps(envelope + hit[1] + 1);
                    hit[1] += 4;
                    _mm_storeu_ps(env + 2 * f, _mm_unpacklo_ps(a, b));
                    _mm_storeu_ps(env + 2 * f + 4, _mm_unpackhi_ps(a, b));
                }
            }
        }
    }
#endif
    for (; f < frames; ++f) step(f);
    for (size_t l = 0; l < Lanes; ++l) state_[first + l].hit = hit[l];
}

size_t StemSeparator::separatePlain(const float* in, size_t start, size_t frames,
                                    const float* lowpass,
                                    const std::array<unsigned char*, 4>& out) {
#if defined(__SSE2__)
    uint32_t hit[2];
    float prev[2];
    for (size_t c = 0; c < channels_; ++c) {
        const uint32_t count = state_[c].hit;
        hit[c] = count >= never_ ? never_ : std::min(count, settled_);
        prev[c] = state_[c].prev;
    }
    PlainPiece piece{in, start, frames, lowpass, out, plainEnvelope_.data(), prev, hit};
    const bool mono = channels_ == 1;
    size_t done = 0;
    if (wide_) done = mono ? SeparatePlainAvx2<1>(piece) : SeparatePlainAvx2<2>(piece);
    done += mono ? SeparatePlainSse2<1>(piece) : SeparatePlainSse2<2>(piece);
    for (size_t c = 0; c < channels_; ++c) state_[c].hit = hit[c];
    return done;
#else
    (void)in, (void)start, (void)frames, (void)lowpass, (void)out;
    return 0;
#endif
}

template <class Stems>
void StemSeparator::separate(const float* in, size_t frames, Stems& stems) {
    if (frames == 0) return;
    const size_t channels = channels_;
    // Whether the input and the low-pass have stayed within kPlainRange so far in this
    // block, taken from the state before the block's low-pass moves it. The low-pass takes
    // each sample to a point between its last value and the input, so it stays within the
    // larger of the two give or take a rounding step a sample: within the bound of its
    // state at the start and of every input since, to a few per cent at most over a block.
    // A coefficient outside (0, 1] (a rate of zero or below) gives no such promise.
    bool plain = Stems::kWantsRange && alpha_ > 0.0f && alpha_ <= 1.0f;
    for (size_t c = 0; c < channels && plain; ++c) {
        plain = std::fabs(state_[c].lp) <= kPlainRange;
    }
    // The low-pass, unscaled, for the whole block.
    float* lowpass = stems.lowpass();
    const size_t chunked =
        channels == 1   ? LowPassChunks<1>(in, frames, warmUp_, alpha_, state_.data(), lowpass)
        : channels == 2 ? LowPassChunks<2>(in, frames, warmUp_, alpha_, state_.data(), lowpass)
                        : 0;
    if (chunked < frames) {
        const float* rest = in + chunked * channels;
        float* restOut = lowpass + chunked * channels;
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
    for (size_t start = 0, n = 0; start < frames; start += n) {
        n = std::min(pieceFrames, frames - start);
        if constexpr (Stems::kWantsRange) {
            // Mono and stereo within range go from the input to the encoded stems in one pass.
            if (plain && channels <= 2) {
                const size_t done = separatePlain(in, start, n, stems.lowpass(), stems.out);
                if (done == n) continue;
                // What is left: a short tail, or samples outside kPlainRange from here on.
                start += done;
                n -= done;
            }
        }
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
        // The same pass checks the input against kPlainRange where the stems want it.
        uint32_t outside = 0;
        if constexpr (Stems::kWantsRange) {
            for (size_t j = 0; j < i; ++j) outside |= !(std::fabs(x[j]) <= kPlainRange);
        }
        for (; i < count; ++i) {
            keep[i] = std::fabs(x[i] - in[at + i - channels]) > kTransientThreshold ? 0u : ~0u;
            if constexpr (Stems::kWantsRange) outside |= !(std::fabs(x[i]) <= kPlainRange);
        }
        plain = plain && outside == 0;

        float* env = stems.envelope(at);
        size_t c = 0;
        for (; c + 4 <= channels; c += 4) trackEnvelopes<4>(keep, n, c, env);
        for (; c + 2 <= channels; c += 2) trackEnvelopes<2>(keep, n, c, env);
        if (c < channels) trackEnvelopes<1>(keep, n, c, env);

        stems.put(at, count, x, plain);
    }
    for (size_t c = 0; c < channels; ++c) state_[c].prev = in[(frames - 1) * channels + c];
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

}  // namespace Trackloom
