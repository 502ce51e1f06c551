// Sample-rate conversion for the analysis front end: interleaved input mixed down to one
// channel and resampled to a fixed rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Trackloom::analysis {

// Mixes interleaved frames to mono (mean of the channels) and resamples them to
// `outRate` Hz with a windowed-sinc low-pass whose cutoff sits below both Nyquist limits.
// The filter works on float samples, as the input is; its output is handed on as double
// for the transforms that follow. The output depends only on the sample sequence, never on
// how it was split into blocks. The first output sample is aligned with the first input
// frame; the last few input frames (the filter's half-length) produce no output until more
// input arrives. Nothing allocates after construction except the input queue and `out`.
class MonoResampler {
  public:
    MonoResampler(int32_t inRate, int32_t channels, int32_t outRate);
    // Appends the resampled output of `frames` interleaved frames to `out`.
    void feed(const float* interleaved, size_t frames, std::vector<double>& out);
    void reset();

  private:
    void feedSlice(const float* interleaved, size_t frames, std::vector<double>& out);

    // Kernel positions between two input samples: an output is placed within 1/512 of a
    // sample of where it belongs, an error of at most -45 dB on a tone at the cutoff.
    static constexpr int kPhases = 256;

    int64_t inRate_;
    int64_t outRate_;
    int32_t channels_;
    int halfTaps_;
    int paddedTaps_;             // 2 * halfTaps_ rounded up to a multiple of 8, zero-weighted
    std::vector<float> kernel_;  // kPhases rows of paddedTaps_ taps
    std::vector<float> queue_;   // mono input not yet fully consumed
    int64_t queueStart_ = 0;     // input index of queue_[0]
    int64_t stepWhole_ = 0;      // inRate_ / outRate_
    int64_t stepRemainder_ = 0;  // inRate_ % outRate_
    std::vector<int32_t> phaseOfRemainder_;  // kernel phase (0..kPhases) per remainder
    int64_t nextCentre_ = 0;                 // floor of the next output's input position
    int64_t nextRemainder_ = 0;              // its fractional part, in units of 1 / outRate_
};

}  // namespace Trackloom::analysis
