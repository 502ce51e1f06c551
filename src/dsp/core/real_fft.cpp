#include "dsp/core/real_fft.h"

#include <cassert>

#include "dsp/core/portable_math.h"

namespace Trackloom::core {

namespace {

constexpr double kPi = 3.14159265358979323846;

size_t bitReverse(size_t k, size_t n) {
    size_t r = 0;
    for (size_t bit = 1; bit < n; bit <<= 1) {
        r = (r << 1) | (k & 1);
        k >>= 1;
    }
    return r;
}

}  // namespace

RealFftFloat::RealFftFloat(size_t n)
    : n_(n),
      half_(n / 2),
      splitCos_(n / 2),
      splitSin_(n / 2),
      reverse_(n / 2),
      zr_(n / 2),
      zi_(n / 2) {
    assert(n >= 4 && (n & (n - 1)) == 0);
    // Decimation in frequency: a stage of half-length h multiplies the differences by
    // e^{-2 pi i j / (2h)}, j < h. Stages of h >= 4 keep their own table, largest first.
    for (size_t h = half_ / 2; h >= 4; h /= 2) {
        for (size_t j = 0; j < h; ++j) {
            const double a = -kPi * static_cast<double>(j) / static_cast<double>(h);
            stageCos_.push_back(static_cast<float>(PortableCos(a)));
            stageSin_.push_back(static_cast<float>(PortableSin(a)));
        }
    }
    for (size_t k = 0; k < half_; ++k) {
        const double a = -2.0 * kPi * static_cast<double>(k) / static_cast<double>(n);
        splitCos_[k] = static_cast<float>(PortableCos(a));
        splitSin_[k] = static_cast<float>(PortableSin(a));
        reverse_[k] = static_cast<uint32_t>(bitReverse(k, half_));
    }
}

void RealFftFloat::complexForward(float* zr, float* zi) const {
    const size_t m = half_;
    const float* cs = stageCos_.data();
    const float* sn = stageSin_.data();
    size_t h = m / 2;
    for (; h >= 4; h /= 2) {
        for (size_t b = 0; b < m; b += 2 * h) {
            float* ar = zr + b;
            float* ai = zi + b;
            float* cr = zr + b + h;
            float* ci = zi + b + h;
            for (size_t j = 0; j < h; ++j) {
                const float xr = ar[j] - cr[j];
                const float xi = ai[j] - ci[j];
                ar[j] = ar[j] + cr[j];
                ai[j] = ai[j] + ci[j];
                cr[j] = xr * cs[j] - xi * sn[j];
                ci[j] = xr * sn[j] + xi * cs[j];
            }
        }
        cs += h;
        sn += h;
    }
    // The last two stages as one radix-4 step: twiddles 1 and -i, then sums and differences.
    if (h == 2) {
        for (size_t b = 0; b < m; b += 4) {
            const float r0 = zr[b], r1 = zr[b + 1], r2 = zr[b + 2], r3 = zr[b + 3];
            const float i0 = zi[b], i1 = zi[b + 1], i2 = zi[b + 2], i3 = zi[b + 3];
            const float sr0 = r0 + r2, si0 = i0 + i2;
            const float sr1 = r1 + r3, si1 = i1 + i3;
            const float dr0 = r0 - r2, di0 = i0 - i2;
            // (r1 - r3) + i (i1 - i3) times -i
            const float dr1 = i1 - i3, di1 = r3 - r1;
            zr[b] = sr0 + sr1;
            zi[b] = si0 + si1;
            zr[b + 1] = sr0 - sr1;
            zi[b + 1] = si0 - si1;
            zr[b + 2] = dr0 + dr1;
            zi[b + 2] = di0 + di1;
            zr[b + 3] = dr0 - dr1;
            zi[b + 3] = di0 - di1;
        }
    } else if (h == 1) {
        for (size_t b = 0; b < m; b += 2) {
            const float r0 = zr[b], r1 = zr[b + 1], i0 = zi[b], i1 = zi[b + 1];
            zr[b] = r0 + r1;
            zi[b] = i0 + i1;
            zr[b + 1] = r0 - r1;
            zi[b + 1] = i0 - i1;
        }
    }
}

void RealFftFloat::forward(const float* in, float* re, float* im) {
    const size_t m = half_;
    float* zr = zr_.data();
    float* zi = zi_.data();
    for (size_t k = 0; k < m; ++k) {
        zr[k] = in[2 * k];
        zi[k] = in[2 * k + 1];
    }
    complexForward(zr, zi);
    // Z = E + iO, E and O the transforms of the even and odd samples; bin k of the whole is
    // E[k] + e^{-2 pi i k / n} O[k], with E[k] = (Z[k] + conj Z[m-k]) / 2 and
    // O[k] = (Z[k] - conj Z[m-k]) / 2i. Z sits in bit-reversed order.
    const uint32_t* rev = reverse_.data();
    re[0] = zr[0] + zi[0];
    im[0] = 0.0f;
    re[m] = zr[0] - zi[0];
    im[m] = 0.0f;
    for (size_t k = 1; k < m; ++k) {
        const float ar = zr[rev[k]], ai = zi[rev[k]];
        const float br = zr[rev[m - k]], bi = zi[rev[m - k]];
        const float er = 0.5f * (ar + br), ei = 0.5f * (ai - bi);
        const float orr = 0.5f * (ai + bi), oi = 0.5f * (br - ar);
        const float c = splitCos_[k], s = splitSin_[k];
        re[k] = er + (orr * c - oi * s);
        im[k] = ei + (orr * s + oi * c);
    }
}

void RealFftFloat::inverse(const float* re, const float* im, float* out) {
    const size_t m = half_;
    float* zr = zr_.data();
    float* zi = zi_.data();
    // E[k] = X[k] + conj X[m-k] and O[k] = (X[k] - conj X[m-k]) e^{+2 pi i k / n}, each
    // twice the transform of the even and odd samples; their sum E + iO, conjugated, is
    // taken through the forward transform, which conjugated again is the inverse.
    for (size_t k = 0; k < m; ++k) {
        const float ar = re[k], ai = k == 0 ? 0.0f : im[k];
        const float br = re[m - k], bi = k == 0 ? 0.0f : -im[m - k];
        const float er = ar + br, ei = ai + bi;
        const float dr = ar - br, di = ai - bi;
        const float c = splitCos_[k], s = -splitSin_[k];
        const float orr = dr * c - di * s, oi = dr * s + di * c;
        zr[k] = er - oi;
        zi[k] = -(ei + orr);
    }
    complexForward(zr, zi);
    const uint32_t* rev = reverse_.data();
    for (size_t k = 0; k < m; ++k) {
        out[2 * k] = zr[rev[k]];
        out[2 * k + 1] = -zi[rev[k]];
    }
}

}  // namespace Trackloom::core
