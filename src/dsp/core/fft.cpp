#include "dsp/core/fft.h"

#include <stdexcept>
#include <utility>

#include "dsp/core/portable_math.h"

namespace Trackloom::core {

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

}  // namespace Trackloom::core
