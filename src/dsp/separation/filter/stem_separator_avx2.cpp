// The separator's one-pass 16-bit kernel, sixteen samples at a time. This file alone is
// compiled for AVX2, without FMA, so every product and difference is rounded on its own
// as everywhere else, and the kernel runs only where the processor has AVX2. Each lane
// does what a lane of the eight-sample kernel does, so the bytes are the same. All that is
// compiled here must stay this file's own: its operations are in an unnamed namespace, and
// a function the rest of the program shares, inlined or not, does not belong here, since
// the linker could pick this file's AVX2 copy for callers on any processor.
#include "dsp/separation/filter/stem_mix.h"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace Trackloom::separation::filter {

#if defined(__AVX2__)

namespace {

// The vector operations of the one-pass kernel, eight lanes wide.
struct Avx2 {
    using Floats = __m256;
    static constexpr size_t kLanes = 8;
    static Floats load(const float* p) { return _mm256_loadu_ps(p); }
    static Floats splat(float x) { return _mm256_set1_ps(x); }
    static Floats sub(Floats a, Floats b) { return _mm256_sub_ps(a, b); }
    static Floats mul(Floats a, Floats b) { return _mm256_mul_ps(a, b); }
    static Floats abs(Floats a) {
        return _mm256_and_ps(a, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff)));
    }
    static unsigned atMost(Floats a, Floats b) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_LE_OQ)));
    }
    static unsigned above(Floats a, Floats b) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_GT_OQ)));
    }
    // Interleaving works within each half of a register, giving frames 0, 1, 4, 5 and
    // 2, 3, 6, 7; exchanging halves puts them in order.
    static void interleave(Floats left, Floats right, Floats out[2]) {
        const Floats low = _mm256_unpacklo_ps(left, right);
        const Floats high = _mm256_unpackhi_ps(left, right);
        out[0] = _mm256_permute2f128_ps(low, high, 0x20);
        out[1] = _mm256_permute2f128_ps(low, high, 0x31);
    }
    // As the four-lane encoding. The pack also works within each half, giving a's first
    // four, b's first four, a's last four and b's last four; the permutation orders them.
    static void encode(Floats a, Floats b, unsigned char* to) {
        const Floats full = _mm256_set1_ps(32767.0f);
        const __m256i packed = _mm256_packs_epi32(_mm256_cvttps_epi32(_mm256_mul_ps(a, full)),
                                                  _mm256_cvttps_epi32(_mm256_mul_ps(b, full)));
        const __m256i ordered = _mm256_permute4x64_epi64(packed, 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                            _mm256_max_epi16(ordered, _mm256_set1_epi16(-32767)));
    }
};

}  // namespace

template <size_t C>
size_t EncodeOnePassAvx2(OnePassPiece& piece) {
    return EncodeOnePass<Avx2, C>(piece);
}

#else

template <size_t C>
size_t EncodeOnePassAvx2(OnePassPiece& /*piece*/) {
    return 0;
}

#endif

template size_t EncodeOnePassAvx2<1>(OnePassPiece&);
template size_t EncodeOnePassAvx2<2>(OnePassPiece&);

}  // namespace Trackloom::separation::filter
