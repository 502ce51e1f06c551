#include "dsp/fft.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "dsp/portable_math.h"

namespace Trackloom {
namespace dsp {

namespace {

constexpr double kPi = 3.14159265358979323846;

bool isPowerOfTwo(size_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

// e^{-2 pi i k / n} built from the first octant so that the table is exactly symmetric
// (cos and sin of mirrored angles come out bit-identical, whatever the C library does).
std::complex<double> unitRoot(size_t k, size_t n) {
    // Reduce to an angle in [0, pi/4] measured in units of 2 pi / n, using n divisible by 8
    // when possible; small sizes fall back to the direct formula.
    if (n % 8 != 0) {
        double a = -2.0 * kPi * static_cast<double>(k) / static_cast<double>(n);
        return {PortableCos(a), PortableSin(a)};
    }
    const size_t eighth = n / 8;
    size_t octant = k / eighth;
    size_t r = k % eighth;
    auto cs = [n](size_t m) {
        double a = 2.0 * kPi * static_cast<double>(m) / static_cast<double>(n);
        return std::complex<double>(PortableCos(a), PortableSin(a));  // angle in [0, pi/4]
    };
    std::complex<double> v;  // e^{+i theta} for theta = 2 pi k / n
    switch (octant % 8) {
        case 0:
            v = cs(r);
            break;
        case 1: {
            auto w = cs(eighth - r);
            v = {w.imag(), w.real()};
            break;
        }
        case 2: {
            auto w = cs(r);
            v = {-w.imag(), w.real()};
            break;
        }
        case 3: {
            auto w = cs(eighth - r);
            v = {-w.real(), w.imag()};
            break;
        }
        case 4: {
            auto w = cs(r);
            v = {-w.real(), -w.imag()};
            break;
        }
        case 5: {
            auto w = cs(eighth - r);
            v = {-w.imag(), -w.real()};
            break;
        }
        case 6: {
            auto w = cs(r);
            v = {w.imag(), -w.real()};
            break;
        }
        default: {
            auto w = cs(eighth - r);
            v = {w.real(), -w.imag()};
            break;
        }
    }
    return std::conj(v);
}

}  // namespace

WindowedFrames::WindowedFrames(int32_t inRate, int32_t channels, int32_t analysisRate,
                               size_t frameSize, size_t hop)
    : analysed_(IsAnalysedRate(inRate)),
      channels_(channels > 0 ? static_cast<size_t>(channels) : 1),
      frameSize_(frameSize),
      hop_(hop),
      resampler_(analysed_ ? inRate : analysisRate, channels > 0 ? channels : 1, analysisRate),
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

Fft::Fft(size_t n) : n_(n) {
    if (!isPowerOfTwo(n)) throw std::invalid_argument("Fft size must be a power of two");
    bitReverse_.resize(n);
    size_t bits = 0;
    while ((size_t{1} << bits) < n) ++bits;
    for (size_t i = 0; i < n; ++i) {
        size_t r = 0;
        for (size_t b = 0; b < bits; ++b) r |= ((i >> b) & 1u) << (bits - 1 - b);
        bitReverse_[i] = r;
    }
    // Stage with butterflies of length 2h keeps its h twiddles e^{-2 pi i k / 2h} at offset
    // h - 1, so the inner loop reads them contiguously.
    stageTwiddle_.resize(n > 1 ? n - 1 : 0);
    stageTwiddleInverse_.resize(stageTwiddle_.size());
    for (size_t half = 1; half < n; half <<= 1) {
        for (size_t k = 0; k < half; ++k) {
            const std::complex<double> w = unitRoot(k * (n / (2 * half)), n);
            stageTwiddle_[half - 1 + k] = w;
            stageTwiddleInverse_[half - 1 + k] = std::conj(w);
        }
    }
}

void Fft::forward(std::complex<double>* data) const {
    transform(data, false);
}

void Fft::inverse(std::complex<double>* data) const {
    transform(data, true);
}

void Fft::transform(std::complex<double>* data, bool inverse) const {
    for (size_t i = 0; i < n_; ++i) {
        const size_t j = bitReverse_[i];
        if (i < j) std::swap(data[i], data[j]);
    }
    const std::complex<double>* table =
        inverse ? stageTwiddleInverse_.data() : stageTwiddle_.data();
    for (size_t len = 2; len <= n_; len <<= 1) {
        const size_t half = len / 2;
        const std::complex<double>* w = table + (half - 1);  // this stage's half twiddles
        for (size_t start = 0; start < n_; start += len) {
            std::complex<double>* lo = data + start;
            std::complex<double>* hi = lo + half;
            for (size_t k = 0; k < half; ++k) {
                // Written out rather than through std::complex's operator*, whose special
                // cases for infinities cost time and whose form varies between libraries.
                const double br = hi[k].real(), bi = hi[k].imag();
                const double wr = w[k].real(), wi = w[k].imag();
                const double re = br * wr - bi * wi;
                const double im = br * wi + bi * wr;
                const double ar = lo[k].real(), ai = lo[k].imag();
                lo[k] = {ar + re, ai + im};
                hi[k] = {ar - re, ai - im};
            }
        }
    }
}

RealFft::RealFft(size_t n) : n_(n), half_(n >= 2 ? n / 2 : 1) {
    if (n < 2 || !isPowerOfTwo(n)) throw std::invalid_argument("RealFft size must be 2^k >= 2");
    work_.resize(n / 2);
    twiddle_.resize(n / 4 + 1);
    for (size_t k = 0; k <= n / 4; ++k) twiddle_[k] = unitRoot(k, n);
}

void RealFft::forward(const double* in, std::complex<double>* out) {
    const size_t h = n_ / 2;
    for (size_t i = 0; i < h; ++i) work_[i] = {in[2 * i], in[2 * i + 1]};
    half_.forward(work_.data());
    // Split the packed transform Z into the spectra of the even and odd samples, then
    // combine: X[k] = E[k] + w^k O[k], with w^k taken from the quarter table by symmetry.
    out[0] = {work_[0].real() + work_[0].imag(), 0.0};
    out[h] = {work_[0].real() - work_[0].imag(), 0.0};
    for (size_t k = 1; k < h; ++k) {
        const std::complex<double> z = work_[k];
        const std::complex<double> zc = std::conj(work_[h - k]);
        const std::complex<double> e = {0.5 * (z.real() + zc.real()), 0.5 * (z.imag() + zc.imag())};
        // O = (z - zc) / (2i)
        const std::complex<double> o = {0.5 * (z.imag() - zc.imag()),
                                        -0.5 * (z.real() - zc.real())};
        std::complex<double> w;
        if (k <= n_ / 4) {
            w = twiddle_[k];
        } else {
            // e^{-2 pi i k / n} = -conj(e^{-2 pi i (h - k) / n})
            const std::complex<double> m = twiddle_[h - k];
            w = {-m.real(), m.imag()};
        }
        const double re = o.real() * w.real() - o.imag() * w.imag();
        const double im = o.real() * w.imag() + o.imag() * w.real();
        out[k] = {e.real() + re, e.imag() + im};
    }
}

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
    phases_ = 256;
    const int taps = 2 * halfTaps_;
    paddedTaps_ = (taps + 7) / 8 * 8;
    kernel_.assign(static_cast<size_t>(phases_) * static_cast<size_t>(paddedTaps_), 0.0f);
    std::vector<double> row(static_cast<size_t>(taps));
    for (int p = 0; p < phases_; ++p) {
        double sum = 0.0;
        for (int j = 0; j < taps; ++j) {
            const double d = static_cast<double>(j - halfTaps_ + 1) -
                             static_cast<double>(p) / static_cast<double>(phases_);
            const double x = 2.0 * fc * d;
            const double sinc = std::fabs(x) < 1e-12 ? 1.0 : PortableSin(kPi * x) / (kPi * x);
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
            static_cast<int32_t>((r * phases_ + outRate_ / 2) / outRate_);
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
        if (phase == phases_) {
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

}  // namespace dsp
}  // namespace Trackloom
