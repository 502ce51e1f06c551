// Analysis frames: the front end the tempo and key estimators share, and the range of input
// rates they analyze.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/analysis/mono_resampler.h"

namespace Trackloom::analysis {

// Input rates the estimators analyze. Audio at any other rate gives no evidence, so the
// estimators keep their answers for silence: far outside this range the resampler's kernel
// (too high a rate) or its output (too low a rate) would grow without bound.
constexpr int32_t kMinAnalyzedRate = 4000;    // Hz
constexpr int32_t kMaxAnalyzedRate = 768000;  // Hz
inline bool IsAnalyzedRate(int32_t rate) {
    return rate >= kMinAnalyzedRate && rate <= kMaxAnalyzedRate;
}

// True if any of the `count` samples is not zero: digital silence carries no evidence.
bool AnyNonZero(const float* samples, size_t count);

// The front end both estimators share: interleaved input mixed to mono, resampled to the
// analysis rate and cut into Hann-windowed frames of `frameSize` samples every `hop`.
// Input at a rate outside the analyzed range gives no frames at all.
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
    bool analyzed_;
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
    if (frames == 0 || interleaved == nullptr || !analyzed_ || stopped_) return;
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

}  // namespace Trackloom::analysis
