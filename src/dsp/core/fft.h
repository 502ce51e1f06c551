// The discrete Fourier transform the estimators are built on: a radix-2 complex FFT and a
// real-input wrapper over it.
//
// Conventions: the forward transform is unnormalised, X[k] = sum_n x[n] e^{-2 pi i k n / N}.
// Sizes are powers of two. The transforms run in double: the autocorrelations taken through
// them sum minutes of onset envelope, which single precision would blur. Nothing allocates
// after construction.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace Trackloom::core {

// In-place complex FFT of a fixed power-of-two size (>= 1).
class Fft {
  public:
    explicit Fft(size_t n);
    void forward(std::complex<double>* data) const;
    // Unnormalised inverse: forward followed by inverse multiplies by n.
    void inverse(std::complex<double>* data) const;

  private:
    void transform(std::complex<double>* data, bool inverse) const;
    size_t n_;
    std::vector<size_t> bitReverse_;
    std::vector<std::complex<double>> stageTwiddle_;         // per stage, see constructor
    std::vector<std::complex<double>> stageTwiddleInverse_;  // their conjugates
};

// Forward FFT of real input of a fixed power-of-two size n >= 2, done as one complex
// transform of half the size. Produces the n/2 + 1 non-negative-frequency bins.
class RealFft {
  public:
    explicit RealFft(size_t n);
    void forward(const double* in, std::complex<double>* out);

  private:
    size_t n_;
    Fft half_;
    std::vector<std::complex<double>> work_;
    std::vector<std::complex<double>> twiddle_;  // e^{-2 pi i k / n}, k <= n/4
};

}  // namespace Trackloom::core
