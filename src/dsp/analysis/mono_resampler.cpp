#include "dsp/analysis/mono_resampler.h"

#include <algorithm>
#include <cmath>

#include "dsp/core/portable_math.h"

namespace Trackloom::analysis {

using core::PortableCos;
using core::PortableSin;

namespace {

constexpr double kPi = 3.14159265358979323846;

}  // namespace

MonoResampler::MonoResampler(int32_t inRate, int32_t channels, int32_t outRate)
    : inRate_(inRate > 0 ? inRate : 1),
      outRate_(outRate > 0 ? outRate : 1),
      channels_(channels > 0 ? channels : 1) {
    // Cutoff at 45% of the lower rate leaves a transition band that the Blackman window's
    // five zero crossings per side can fit, keeping aliasing well below the analysis floor.
    const double cutoff = 0.45 * static_cast<double>(std::min(inRate_, outRate_));
    const double fc = cutoff / static_cast<double>(inRate_);  // cycles per input sample
    const double zeroCrossings = 5.0;
    halfTaps_ = static_cast<int>(std::ceil(zeroCrossings / (2.0 * fc)));
    const int taps = 2 * halfTaps_;
    paddedTaps_ = (taps + 7) / 8 * 8;
    kernel_.assign(static_cast<size_t>(kPhases) * static_cast<size_t>(paddedTaps_), 0.0f);
    std::vector<double> row(static_cast<size_t>(taps));
    for (int p = 0; p < kPhases; ++p) {
        double sum = 0.0;
        for (int j = 0; j < taps; ++j) {
            const double d = static_cast<double>(j - halfTaps_ + 1) -
                             static_cast<double>(p) / static_cast<double>(kPhases);
            const double x = 2.0 * fc * d;
            // sin(pi x) / (pi x), whose limit at the centre tap (x = 0) is 1.
            const double sinc = std::fabs(x) < 1e-12 ? 1.0 : PortableSin(kPi * x) / (kPi * x);
            // The Blackman window over the kernel's span.
            const double u = d / static_cast<double>(halfTaps_);
            const double w = std::fabs(u) >= 1.0 ? 0.0
                                                 : 0.42 + 0.5 * PortableCos(kPi * u) +
                                                       0.08 * PortableCos(2.0 * kPi * u);
            row[static_cast<size_t>(j)] = sinc * w;
            sum += row[static_cast<size_t>(j)];
        }
        for (int j = 0; j < taps; ++j) {
            kernel_[static_cast<size_t>(p * paddedTaps_ + j)] =
                static_cast<float>(row[static_cast<size_t>(j)] / sum);
        }
    }
    stepWhole_ = inRate_ / outRate_;
    stepRemainder_ = inRate_ % outRate_;
    phaseOfRemainder_.resize(static_cast<size_t>(outRate_));
    for (int64_t r = 0; r < outRate_; ++r) {
        phaseOfRemainder_[static_cast<size_t>(r)] =
            static_cast<int32_t>((r * kPhases + outRate_ / 2) / outRate_);
    }
    reset();
}

void MonoResampler::reset() {
    // Input before the first frame counts as silence, so the first output sits on frame 0.
    queue_.assign(static_cast<size_t>(halfTaps_), 0.0f);
    queueStart_ = -static_cast<int64_t>(halfTaps_);
    nextCentre_ = 0;
    nextRemainder_ = 0;
}

void MonoResampler::feed(const float* interleaved, size_t frames, std::vector<double>& out) {
    // Work through long blocks in slices so the queue stays small and warm in the cache.
    constexpr size_t kSlice = 4096;
    while (frames > kSlice) {
        feedSlice(interleaved, kSlice, out);
        interleaved += kSlice * static_cast<size_t>(channels_);
        frames -= kSlice;
    }
    feedSlice(interleaved, frames, out);
}

void MonoResampler::feedSlice(const float* interleaved, size_t frames, std::vector<double>& out) {
    if (frames == 0) return;
    const float scale = 1.0f / static_cast<float>(channels_);
    for (size_t f = 0; f < frames; ++f) {
        const float* s = interleaved + f * static_cast<size_t>(channels_);
        float m = s[0];
        for (int32_t c = 1; c < channels_; ++c) m += s[c];
        queue_.push_back(channels_ == 1 ? m : m * scale);
    }
    const int64_t available = queueStart_ + static_cast<int64_t>(queue_.size());  // one past last
    const int taps = paddedTaps_;
    for (;;) {
        // Output n sits at input position n * inRate / outRate; the remainder picks the
        // kernel phase through a table, keeping divisions out of the per-sample path.
        int64_t centre = nextCentre_;
        int64_t phase = phaseOfRemainder_[static_cast<size_t>(nextRemainder_)];
        if (phase == kPhases) {
            phase = 0;
            ++centre;
        }
        const int64_t first = centre - halfTaps_ + 1;
        if (first + taps > available) break;  // padding taps read real (weight-0) input too
        const float* x = queue_.data() + (first - queueStart_);
        const float* h = kernel_.data() + phase * taps;
        // Eight running sums in a fixed order: the compiler can map them onto vector lanes,
        // and the result stays reproducible.
        float acc[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
        for (int j = 0; j < taps; j += 8) {
            for (int q = 0; q < 8; ++q) acc[q] += x[j + q] * h[j + q];
        }
        const float sum =
            ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
        out.push_back(static_cast<double>(sum));
        nextCentre_ += stepWhole_;
        nextRemainder_ += stepRemainder_;
        if (nextRemainder_ >= outRate_) {
            nextRemainder_ -= outRate_;
            ++nextCentre_;
        }
    }
    // Drop input that no future output can reach, in large steps to keep this cheap.
    const int64_t nextFirst = nextCentre_ - halfTaps_;
    const int64_t drop = nextFirst - queueStart_;
    if (drop > 4096) {
        queue_.erase(queue_.begin(), queue_.begin() + drop);
        queueStart_ += drop;
    }
}

}  // namespace Trackloom::analysis
