// What the stem separator shares with its one-pass 16-bit kernels: the gains, the bound
// within which stems are encoded in registers, and a piece of a block as a kernel sees it.
// The kernels for each instruction set live in files of their own: stem_separator_sse2.cpp
// and stem_separator_avx2.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Trackloom::separation::filter {

constexpr float kTimeConstant = 0.00063661975f;  // 1 / (2*pi*250): a 250 Hz one-pole low-pass
constexpr float kBassGain = 1.4f;
constexpr float kTransientThreshold = 0.08f;  // sample-to-sample jump that counts as a transient
constexpr float kEnvelopeDecay = 0.992f;      // per sample, between hits
constexpr float kDrumGain = 0.9f;
constexpr float kBassRemoval = 0.7f;  // share of the bass taken out of the vocals
constexpr float kDucking = 0.6f;      // how far a transient ducks the vocals
constexpr float kVocalGain = 0.85f;
constexpr float kOtherGain = 0.5f;

// Inputs and low-pass values within this bound keep every stem times 32767 far inside an
// int32 (the vocals reach at most 1.7 times the bound), so the float-to-integer conversion
// cannot overflow and its truncation, saturated to 16 bits and lifted to -32767, is
// exactly the 16-bit encoder's clamp-then-truncate. NaN and infinity are outside.
constexpr float kRegisterRange = 1024.0f;

// Mono or stereo frames of a block, from frame `start` on, whose low-pass is already
// worked out, and where the low-pass and every input before them stayed within
// kRegisterRange. A kernel encodes their four stems, transient test and envelope included,
// and stops before a step (two registers of samples) that reaches outside kRegisterRange, or
// before a tail shorter than a step; it returns the frames done and moves `start`, `frames`
// and `sinceTransient` on.
struct OnePassPiece {
    const float* in;                    // the block, interleaved
    size_t start;                       // frames before the piece in the block
    size_t frames;                      // frames in the piece
    const float* lowpass;               // the block's low-pass, unscaled
    std::array<unsigned char*, 4> out;  // the block's vocals, drums, bass and other
    const float* envelope;     // the envelope by count of samples since the last transient,
                               // long enough for a piece's counts to run on
    const float* prev;         // per channel: the sample before the block
    uint32_t* sinceTransient;  // per channel: samples since the last transient, brought into
                               // the table's range at the start
};

#if defined(__SSE2__)
constexpr bool kHasSse2 = true;
#else
constexpr bool kHasSse2 = false;
#endif

// Eight samples at a time, in stem_separator_sse2.cpp; where there is no SSE2 (kHasSse2 is
// false) the SSE2 functions do nothing and return 0.
template <size_t Channels>
size_t EncodeOnePassSse2(OnePassPiece& piece);

// The four stems of `count` samples of any channel count from sample `at` of the block, eight
// at a time, given the input `x`, the envelope `env` and the low-pass `lowpass` from there on;
// returns the samples done, a multiple of eight.
size_t MixEncodeSse2(const float* x, const float* env, const float* lowpass,
                     const std::array<unsigned char*, 4>& out, size_t at, size_t count);

// The envelope of `frames` frames of mono or stereo, four frames at a time, as the separator
// tracks it one sample at a time (see StemSeparator::trackEnvelopes); returns the frames done,
// a multiple of four, and moves `sinceTransient` on. `keep` holds all ones per sample that is
// no transient.
template <size_t Channels>
size_t TrackEnvelopeSse2(const uint32_t* keep, size_t frames, const float* envelope,
                         uint32_t* sinceTransient, float* env);

// Sixteen at a time, in a file compiled for AVX2; call only where core::HasAvx2().
template <size_t Channels>
size_t EncodeOnePassAvx2(OnePassPiece& piece);

// The kernels' one body, for a set of vector operations V on V::Floats, a register of
// V::kLanes floats: load (unaligned), splat, sub, mul, abs; atMost(a, b) and above(a, b),
// a bit per lane where a <= b or a > b (never for NaN); interleave(left, right, out), two
// registers of frames of two channels; encode(a, b, to), two registers of stems within
// kRegisterRange to 16-bit samples. Each file that uses it defines its V in an unnamed
// namespace, so that what it compiles for its instruction set stays its own.

// The four stems of two registers of samples, from sample `at` of the block, encoded: the
// same operations in the same order as the separator's sample-by-sample mix.
template <class V>
inline void MixEncode(const typename V::Floats v[2], const typename V::Floats e[2], const float* lp,
                      const std::array<unsigned char*, 4>& out, size_t at) {
    using F = typename V::Floats;
    F bass[2], vocals[2], drums[2], other[2];
    for (size_t h = 0; h < 2; ++h) {
        bass[h] = V::mul(V::load(lp + h * V::kLanes), V::splat(kBassGain));
        vocals[h] = V::mul(V::mul(V::sub(v[h], V::mul(bass[h], V::splat(kBassRemoval))),
                                  V::sub(V::splat(1.0f), V::mul(e[h], V::splat(kDucking)))),
                           V::splat(kVocalGain));
        drums[h] = V::mul(V::mul(v[h], e[h]), V::splat(kDrumGain));
        other[h] = V::mul(v[h], V::splat(kOtherGain));
    }
    V::encode(vocals[0], vocals[1], out[0] + 2 * at);
    V::encode(drums[0], drums[1], out[1] + 2 * at);
    V::encode(bass[0], bass[1], out[2] + 2 * at);
    V::encode(other[0], other[1], out[3] + 2 * at);
}

template <class V, size_t C>
size_t EncodeOnePass(OnePassPiece& piece) {
    static_assert(C == 1 || C == 2, "mono or stereo");
    using F = typename V::Floats;
    constexpr size_t kLanes = V::kLanes;
    constexpr size_t kSamples = 2 * kLanes;       // a step: two registers
    constexpr size_t kStepFrames = kSamples / C;  // frames in a step
    constexpr unsigned kEveryLane = (1u << kLanes) - 1;
    // Local copies: the byte stores cannot be taken to change them.
    const float* const in = piece.in;
    const float* const envelope = piece.envelope;
    const float* const lowpass = piece.lowpass;
    const std::array<unsigned char*, 4> out = piece.out;
    const size_t start = piece.start;
    uint32_t sinceTransient[C];
    for (size_t c = 0; c < C; ++c) sinceTransient[c] = piece.sinceTransient[c];
    const F threshold = V::splat(kTransientThreshold);
    const F range = V::splat(kRegisterRange);
    size_t f = 0;
    for (; f + kStepFrames <= piece.frames; f += kStepFrames) {
        const size_t at = (start + f) * C;
        const float* x = in + at;
        const F v[2] = {V::load(x), V::load(x + kLanes)};
        // NaN compares false and leaves.
        if ((V::atMost(V::abs(v[0]), range) & V::atMost(V::abs(v[1]), range)) != kEveryLane) break;
        // The samples a frame before; the block's first frame has its own from the last block.
        float first[kSamples];
        const float* before = x - C;
        if (at == 0) {
            for (size_t c = 0; c < C; ++c) first[c] = piece.prev[c];
            std::memcpy(first + C, x, (kSamples - C) * sizeof(float));
            before = first;
        }
        const unsigned transients =
            V::above(V::abs(V::sub(v[0], V::load(before))), threshold) |
            V::above(V::abs(V::sub(v[1], V::load(before + kLanes))), threshold) << kLanes;
        F e[2];
        if (transients == 0) {
            // No transient: the envelope is the table read on from each channel's count.
            if constexpr (C == 1) {
                e[0] = V::load(envelope + sinceTransient[0] + 1);
                e[1] = V::load(envelope + sinceTransient[0] + 1 + kLanes);
            } else {
                V::interleave(V::load(envelope + sinceTransient[0] + 1),
                              V::load(envelope + sinceTransient[1] + 1), e);
            }
            for (size_t c = 0; c < C; ++c) sinceTransient[c] += kStepFrames;
        } else {
            float env[kSamples];
            for (size_t j = 0; j < kSamples; ++j) {
                uint32_t& count = sinceTransient[j % C];
                count = (transients >> j & 1) != 0 ? 0 : count + 1;
                env[j] = envelope[count];
            }
            e[0] = V::load(env);
            e[1] = V::load(env + kLanes);
        }
        MixEncode<V>(v, e, lowpass + at, out, at);
    }
    for (size_t c = 0; c < C; ++c) piece.sinceTransient[c] = sinceTransient[c];
    piece.start += f;
    piece.frames -= f;
    return f;
}

}  // namespace Trackloom::separation::filter
