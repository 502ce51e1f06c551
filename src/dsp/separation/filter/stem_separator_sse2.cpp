// The separator's SSE2 kernels, four floats to a register: the one-pass 16-bit kernel, the
// mix of any channel count eight samples at a time, the stereo low-pass in strands and the
// envelope read from its table. Each does, lane by lane, the scalar arithmetic in the same
// order, so the bytes are those of the sample-by-sample recurrence. Where the compiler
// offers no SSE2 they are stubs that do nothing, and the separator never relies on them.
#include <algorithm>

#include "dsp/separation/filter/stem_lowpass.h"
#include "dsp/separation/filter/stem_mix.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Trackloom::separation::filter {

#if defined(__SSE2__)

namespace {

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
    // kRegisterRange that is exactly the encoder's clamp-then-truncate.
    static void encode(Floats a, Floats b, unsigned char* to) {
        const Floats full = _mm_set1_ps(32767.0f);
        const __m128i packed = _mm_packs_epi32(_mm_cvttps_epi32(_mm_mul_ps(a, full)),
                                               _mm_cvttps_epi32(_mm_mul_ps(b, full)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                         _mm_max_epi16(packed, _mm_set1_epi16(-32767)));
    }
};

}  // namespace

template <size_t C>
size_t EncodeOnePassSse2(OnePassPiece& piece) {
    return EncodeOnePass<Sse2, C>(piece);
}

size_t MixEncodeSse2(const float* x, const float* env, const float* lowpass,
                     const std::array<unsigned char*, 4>& out, size_t at, size_t count) {
    const std::array<unsigned char*, 4> to = out;  // a local copy: the stores cannot reach it
    size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m128 v[2] = {_mm_loadu_ps(x + k), _mm_loadu_ps(x + k + 4)};
        const __m128 e[2] = {_mm_loadu_ps(env + k), _mm_loadu_ps(env + k + 4)};
        MixEncode<Sse2>(v, e, lowpass + k, to, at + k);
    }
    return k;
}

// Between transients a channel's envelope is the table read in order, so four frames of
// mono or stereo without a transient are copied from it whole (the table runs a piece past
// the counts a piece can start from).
template <size_t C>
size_t TrackEnvelopeSse2(const uint32_t* keep, size_t frames, const float* envelope,
                         uint32_t* sinceTransient, float* env) {
    static_assert(C == 1 || C == 2, "mono or stereo");
    uint32_t since[C];  // locals, so that stores through `env` cannot be taken to change them
    for (size_t c = 0; c < C; ++c) since[c] = sinceTransient[c];
    size_t f = 0;
    for (; f + 4 <= frames; f += 4) {
        const uint32_t* k = keep + f * C;
        __m128i none = _mm_loadu_si128(reinterpret_cast<const __m128i*>(k));
        if (C == 2) {
            none = _mm_and_si128(none, _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4)));
        }
        if (_mm_movemask_ps(_mm_castsi128_ps(none)) != 15) {
            for (size_t i = f * C; i < (f + 4) * C; ++i) {
                uint32_t& count = since[i % C];
                count = (count + 1) & keep[i];
                env[i] = envelope[count];
            }
            continue;
        }
        const __m128 a = _mm_loadu_ps(envelope + since[0] + 1);
        since[0] += 4;
        if constexpr (C == 1) {
            _mm_storeu_ps(env + f, a);
        } else {
            const __m128 b = _mm_loadu_ps(envelope + since[1] + 1);
            since[1] += 4;
            _mm_storeu_ps(env + 2 * f, _mm_unpacklo_ps(a, b));
            _mm_storeu_ps(env + 2 * f + 4, _mm_unpackhi_ps(a, b));
        }
    }
    for (size_t c = 0; c < C; ++c) sinceTransient[c] = since[c];
    return f;
}

// Lanes 0 and 1 hold the left and right low-pass of strand 2j, lanes 2 and 3 those of
// strand 2j + 1. The arithmetic is the scalar one lane by lane; the registers only let more
// strands run side by side.
void LowPassStereoPieceSse2(const float* in, size_t warm, float alpha, float* state, float* out) {
    constexpr size_t S = kSse2StereoStrands;
    constexpr size_t V = S / 2;
    static_assert(S % 2 == 0, "strands come in pairs");
    constexpr size_t kStride = StrandFrames(S) * 2;
    using Pair = const __m64*;  // one frame, as the loads and stores of half a register want it
    const __m128 a = _mm_set1_ps(alpha);
    const __m128 zero = _mm_setzero_ps();
    __m128 lp[V];
    for (size_t j = 0; j < V; ++j) lp[j] = zero;
    // Every strand but the first warms up on the frames before it; the first has none
    // before it in this piece, and keeps the true state.
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
    lp[0] =
        _mm_shuffle_ps(_mm_setr_ps(state[0], state[1], 0.0f, 0.0f), lp[0], _MM_SHUFFLE(3, 2, 1, 0));
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
    FinishPiece<2, S>(in, alpha, last + 2, state, out);
}

#else

template <size_t C>
size_t EncodeOnePassSse2(OnePassPiece& /*piece*/) {
    return 0;
}

size_t MixEncodeSse2(const float*, const float*, const float*, const std::array<unsigned char*, 4>&,
                     size_t, size_t) {
    return 0;
}

template <size_t C>
size_t TrackEnvelopeSse2(const uint32_t*, size_t, const float*, uint32_t*, float*) {
    return 0;
}

void LowPassStereoPieceSse2(const float*, size_t, float, float*, float*) {}

#endif

template size_t EncodeOnePassSse2<1>(OnePassPiece&);
template size_t EncodeOnePassSse2<2>(OnePassPiece&);
template size_t TrackEnvelopeSse2<1>(const uint32_t*, size_t, const float*, uint32_t*, float*);
template size_t TrackEnvelopeSse2<2>(const uint32_t*, size_t, const float*, uint32_t*, float*);

}  // namespace Trackloom::separation::filter
