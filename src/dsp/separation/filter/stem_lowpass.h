// The stem separator's one-pole low-pass, arranged so that independent chains of it
// overlap: several channels side by side, or several strands of one long piece of a channel
// side by side. Every arrangement gives the sample-by-sample recurrence to the bit. `state`
// is the low-pass's value per channel, carried from one call to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Trackloom::separation::filter {

// Frames in a piece of mono or stereo that the low-pass works on in strands.
constexpr size_t kLowPassPieceFrames = 16384;

inline bool SameBits(float a, float b) {
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
                     float* state, float* out) {
    float lp[Lanes];
    for (size_t l = 0; l < Lanes; ++l) lp[l] = state[first + l];
    for (size_t f = 0, i = first; f < frames; ++f, i += channels) {
        for (size_t l = 0; l < Lanes; ++l) {
            lp[l] = lp[l] + alpha * (in[i + l] - lp[l]);
            out[i + l] = lp[l];
        }
    }
    for (size_t l = 0; l < Lanes; ++l) state[first + l] = lp[l];
}

// The low-pass of a piece of kLowPassPieceFrames frames of one or two channels, cut into
// `Strands` strands worked on side by side, for the same reason; the fixed lengths let
// every strand be addressed from one pointer. Only the first strand starts from the true
// state; each later one starts from zero `warm` samples before its beginning, so that by
// then it has all but forgotten that guess. Then each strand is checked in order, from
// the exact end of the one before: the true low-pass is run until it meets the guessed
// one bit for bit, from where on the guess is exact. Usually that is at once; a strand
// that never meets (long digital silence can hold the two a step apart) is recomputed
// whole, so the result is always exactly the sample-by-sample low-pass.

// Strands a little short of an even split, so that they do not start a multiple of 4 KiB
// apart: the processor would take loads and stores at such distances for the same address
// and make them wait for each other. The last strand takes the rest.
constexpr size_t StrandFrames(size_t strands) {
    return kLowPassPieceFrames / strands - 16;
}

// The last strand of a piece whose strands have been worked on runs on to the piece's
// end from `last`, its low-pass so far; then each strand is checked from the end of the
// one before, and the state is left at the piece's end.
template <size_t C, size_t S>
void FinishPiece(const float* in, float alpha, float* last, float* state, float* out) {
    constexpr size_t kStride = StrandFrames(S) * C;
    for (size_t i = S * kStride; i < kLowPassPieceFrames * C; i += C) {
        for (size_t c = 0; c < C; ++c) {
            last[c] = last[c] + alpha * (in[i + c] - last[c]);
            out[i + c] = last[c];
        }
    }
    for (size_t s = 1; s < S; ++s) {
        const size_t end = s + 1 == S ? kLowPassPieceFrames * C : (s + 1) * kStride;
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
    for (size_t c = 0; c < C; ++c) state[c] = out[(kLowPassPieceFrames - 1) * C + c];
}

template <size_t C, size_t Strands>
void LowPassPiece(const float* in, size_t warm, float alpha, float* state, float* out) {
    constexpr size_t S = Strands;
    constexpr size_t kStride = StrandFrames(S) * C;  // samples from one strand to the next
    float lp[S][C];
    for (size_t s = 0; s < S; ++s) {
        for (size_t c = 0; c < C; ++c) lp[s][c] = s == 0 ? state[c] : 0.0f;
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
    FinishPiece<C, S>(in, alpha, lp[S - 1], state, out);
}

// The same for stereo in eight strands, two strands to an SSE2 register, in
// stem_separator_sse2.cpp; call only where kHasSse2 (stem_mix.h) holds: without SSE2 it does
// nothing.
void LowPassStereoPieceSse2(const float* in, size_t warm, float alpha, float* state, float* out);
constexpr size_t kSse2StereoStrands = 8;

}  // namespace Trackloom::separation::filter
