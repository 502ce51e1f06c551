// Signal-analysis primitives shared by the tempo and key estimators: a radix-2 FFT,
// a real-input wrapper over it, and a streaming resampler that mixes interleaved input
// down to one channel at a fixed analysis rate.
//
// Conventions: the forward transform is unnormalised, X[k] = sum_n x[n] e^{-2 pi i k n / N}.
// Sizes are powers of two. Everything runs in double so long sums keep their precision,
// and nothing here allocates after construction except the resampler's input queue.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Trackloom {
namespace dsp {

// Input rates the estimators analyse. Audio at any other rate gives no evidence, so the
// estimators keep their answers for silence: far outside this range the resampler's kernel
// (too high a rate) or its output (too low a rate) would grow without bound.
constexpr int32_t kMinAnalysedRate = 4000;    // Hz
constexpr int32_t kMaxAnalysedRate = 768000;  // Hz
inline bool IsAnalysedRate(int32_t rate) {
    return rate >= kMinAnalysedRate && rate <= kMaxAnalysedRate;
}

// True if any of the `count` samples is not zero: digital silence carries no evidence.
bool AnyNonZero(const float* samples, size_t count);

// In-place complex FFT of a fixed power-of-two size (>= 1).
class Fft {
  public:
    explicit Fft(size_t n);
    size_t size() const { return n_; }
    void forward(std::complex<double>* data) const;
    // Unnormalised inverse: forward followed by inverse multiplies by size().
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
    size_t size() const { return n_; }
    void forward(const double* in, std::complex<double>* out);

  private:
    size_t n_;
    Fft half_;
    std::vector<std::complex<double>> work_;
    std::vector<std::complex<double>> twiddle_;  // e^{-2 pi i k / n}, k <= n/4
};

// Mixes interleaved frames to mono (mean of the channels) and resamples them to
// `outRate` Hz with a windowed-sinc low-pass whose cutoff sits below both Nyquist limits.
// The output depends only on the sample sequence, never on how it was split into blocks.
// The first output sample is aligned with the first input frame; the last few input
// frames (the filter's half-length) produce no output until more input arrives.
class MonoResampler {
  public:
    MonoResampler(int32_t inRate, int32_t channels, int32_t outRate);
    // Appends the resampled output of `frames` interleaved frames to `out`.
    void feed(const float* interleaved, size_t frames, std::vector<double>& out);
    void reset();

  private:
    void feedSlice(const float* interleaved, size_t frames, std::vector<double>& out);

    int64_t inRate_;
    int64_t outRate_;
    int32_t channels_;
    int halfTaps_;
    int paddedTaps_;  // 2 * halfTaps_ rounded up to a multiple of 8, zero-weighted
    int phases_;
    std::vector<float> kernel_;              // phases_ rows of paddedTaps_ taps
    std::vector<float> queue_;               // mono input not yet fully consumed
    int64_t queueStart_ = 0;                 // input index of queue_[0]
    int64_t stepWhole_ = 0;                  // inRate_ / outRate_
    int64_t stepRemainder_ = 0;              // inRate_ % outRate_
    std::vector<int32_t> phaseOfRemainder_;  // kernel phase (0..phases_) per remainder
    int64_t nextCentre_ = 0;                 // floor of the next output's input position
    int64_t nextRemainder_ = 0;              // its fractional part, in units of 1 / outRate_
};

// The front end both estimators share: interleaved input mixed to mono, resampled to the
// analysis rate and cut into Hann-windowed frames of `frameSize` samples every `hop`.
// Input at a rate outside the analysed range gives no frames at all.
class WindowedFrames {
  public:
    WindowedFrames(int32_t inRate, int32_t channels, int32_t analysisRate, size_t frameSize,
                   size_t hop);

    // Takes `frames` interleaved frames and calls onFrame(const double* windowed) for each
    // frame completed. Once onFrame returns false no further input is taken until reset().
    template <class OnFrame>
    void feed(const float* interleaved, size_t frames, OnFrame onFrame);

    // Whether any non-zero sample was taken: digital silence carries no evidence.
    bool heardSignal() const { return heardSignal_; }
    void reset();

  private:
    bool analysed_;
    size_t channels_;
    size_t frameSize_;
    size_t hop_;
    MonoResampler resampler_;
    std::vector<double> window_;
    std::vector<double> pending_;  // resampled samples not yet consumed by a full frame
    std::vector<double> frame_;
    bool heardSignal_ = false;
    bool stopped_ = false;
};

template <class OnFrame>
void WindowedFrames::feed(const float* interleaved, size_t frames, OnFrame onFrame) {
    if (frames == 0 || interleaved == nullptr || !analysed_ || stopped_) return;
    if (!heardSignal_) heardSignal_ = AnyNonZero(interleaved, frames * channels_);
    // Slices keep the resampled backlog short however large the caller's block is.
    constexpr size_t kSlice = 8192;
    for (size_t done = 0; done < frames && !stopped_; done += kSlice) {
        const size_t n = frames - done < kSlice ? frames - done : kSlice;
        resampler_.feed(interleaved + done * channels_, n, pending_);
        size_t pos = 0;
        while (!stopped_ && pending_.size() - pos >= frameSize_) {
            for (size_t i = 0; i < frameSize_; ++i) frame_[i] = pending_[pos + i] * window_[i];
            stopped_ = !onFrame(static_cast<const double*>(frame_.data()));
            pos += hop_;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
    }
}

}  // namespace dsp
}  // namespace Trackloom
