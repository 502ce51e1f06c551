#include "dsp/analysis/windowed_frames.h"

#include "dsp/core/portable_math.h"

namespace Trackloom::analysis {

using core::PortableCos;

namespace {

constexpr double kPi = 3.14159265358979323846;

}  // namespace

WindowedFrames::WindowedFrames(int32_t inRate, int32_t channels, int32_t analysisRate,
                               size_t frameSize, size_t hop)
    : analyzed_(IsAnalyzedRate(inRate)),
      channels_(channels > 0 ? static_cast<size_t>(channels) : 1),
      frameSize_(frameSize),
      hop_(hop),
      resampler_(analyzed_ ? inRate : analysisRate, channels > 0 ? channels : 1, analysisRate),
      window_(frameSize),
      frame_(frameSize) {
    for (size_t i = 0; i < frameSize; ++i) {
        window_[i] = 0.5 - 0.5 * PortableCos(2.0 * kPi * static_cast<double>(i) /
                                             static_cast<double>(frameSize));
    }
}

void WindowedFrames::reset() {
    resampler_.reset();
    pending_.clear();
    heardSignal_ = false;
    stopped_ = false;
}

bool AnyNonZero(const float* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (samples[i] != 0.0f) return true;
    }
    return false;
}

}  // namespace Trackloom::analysis
