// A single-precision FFT for real frames, the transform the spectral separator runs a few
// times per frame and channel. Spectra are kept split (real parts and imaginary parts in
// separate arrays) so the butterflies run over contiguous floats, several at a time.
//
// Conventions: forward X[k] = sum_n x[n] e^{-2 pi i k n / N}, bins 0..N/2; inverse takes
// those bins back to N samples multiplied by N (unnormalised, the caller folds 1/N into
// its window). Sizes are powers of two from 4 up. Nothing allocates after construction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Trackloom::core {

class RealFftFloat {
  public:
    explicit RealFftFloat(size_t n);
    size_t size() const { return n_; }
    size_t bins() const { return n_ / 2 + 1; }

    // `in` holds size() samples; `re` and `im` receive bins() values each. `in` may not
    // overlap the outputs.
    void forward(const float* in, float* re, float* im);
    // The inverse of forward() times size(): bins() values in `re` and `im` (the imaginary
    // parts of bins 0 and size()/2 are ignored) to size() samples in `out`.
    void inverse(const float* re, const float* im, float* out);

  private:
    // The half-size complex transform of zr + i zi in place, leaving it in bit-reversed order.
    void complexForward(float* zr, float* zi) const;

    size_t n_;
    size_t half_;
    std::vector<float> stageCos_;  // per stage of the complex transform, its twiddles
    std::vector<float> stageSin_;
    std::vector<float> splitCos_;  // e^{-2 pi i k / n}, k < n/2: joins the two halves
    std::vector<float> splitSin_;
    std::vector<uint32_t> reverse_;  // bit reversal of indices below n/2
    std::vector<float> zr_, zi_;     // the half-size transform's work
};

}  // namespace Trackloom::core
