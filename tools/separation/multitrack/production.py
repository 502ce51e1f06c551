"""Mixing and mastering applied to each stem before the sum: equalisers, compression,
reverbs from impulse responses generated here, echoes, panning and stereo width, and the
bus limiter.  Real records are produced this way, and a separator must learn that the
reverb and echo of a voice belong to the voice.  The limiter works as one gain curve,
computed from the sum and multiplied into every stem, so the stems still add up to the
mix.
"""
import numpy as np
from scipy.ndimage import maximum_filter1d
from scipy.signal import lfilter, oaconvolve, sosfilt

SR = 44100


def _biquad(kind, f0, gain_db, q):
    """RBJ cookbook biquad as one second-order section."""
    a = 10 ** (gain_db / 40)
    w = 2 * np.pi * min(f0, SR * 0.45) / SR
    cw, sw = np.cos(w), np.sin(w)
    al = sw / (2 * q)
    if kind == "peak":
        b = [1 + al * a, -2 * cw, 1 - al * a]
        d = [1 + al / a, -2 * cw, 1 - al / a]
    elif kind == "low":
        s = 2 * np.sqrt(a) * al
        b = [a * ((a + 1) - (a - 1) * cw + s), 2 * a * ((a - 1) - (a + 1) * cw), a * ((a + 1) - (a - 1) * cw - s)]
        d = [(a + 1) + (a - 1) * cw + s, -2 * ((a - 1) + (a + 1) * cw), (a + 1) + (a - 1) * cw - s]
    else:  # high shelf
        s = 2 * np.sqrt(a) * al
        b = [a * ((a + 1) + (a - 1) * cw + s), -2 * a * ((a - 1) + (a + 1) * cw), a * ((a + 1) + (a - 1) * cw - s)]
        d = [(a + 1) - (a - 1) * cw + s, 2 * ((a - 1) - (a + 1) * cw), (a + 1) - (a - 1) * cw - s]
    return np.array([b[0] / d[0], b[1] / d[0], b[2] / d[0], 1.0, d[1] / d[0], d[2] / d[0]])


def random_eq(rng, low=(60, 250), high=(3000, 12000)):
    bands = [("low", rng.uniform(*low), rng.uniform(-6, 6), 0.7),
             ("high", rng.uniform(*high), rng.uniform(-6, 6), 0.7)]
    for _ in range(int(rng.integers(0, 3))):
        bands.append(("peak", float(np.exp(rng.uniform(np.log(150), np.log(8000)))),
                      rng.uniform(-8, 6), rng.uniform(0.5, 3)))
    return bands


def eq(x, bands):
    if not bands:
        return x
    sos = np.stack([_biquad(k, f, g, q) for k, f, g, q in bands])
    return sosfilt(sos, x, axis=0)


def compress(x, thr_db, ratio, attack=0.005, release=0.12, makeup=True):
    """Feed-forward compressor on the level of all channels together (RMS detector)."""
    p = np.mean(x * x, axis=1)
    a = np.exp(-1 / (attack * SR))
    lev = lfilter([1 - a], [1, -a], p)
    db = 10 * np.log10(lev + 1e-12)
    over = np.maximum(db - thr_db, 0)
    gdb = -over * (1 - 1 / ratio)
    r = np.exp(-1 / (release * SR))
    g = 10 ** (lfilter([1 - r], [1, -r], gdb) / 20)
    y = x * g[:, None]
    if makeup:
        y *= np.sqrt(np.mean(x * x) / (np.mean(y * y) + 1e-20))
    return y


def make_ir(rng, rt60, predelay=0.01, early=12, width=1.0, damp=6000):
    """Stereo room impulse response: early reflections as sparse taps, then exponentially
    decaying noise whose high band dies faster; the channels get independent noise."""
    n = int(SR * (predelay + rt60 * 1.1 + 0.05))
    t = np.arange(n) / SR
    ir = np.zeros((n, 2))
    tail = rng.standard_normal((n, 2))
    tail[:, 1] = width * tail[:, 1] + (1 - width) * tail[:, 0]
    lo = sosfilt(_biquad("low", 800, 0, 0.7)[None, :], tail, axis=0)
    from scipy.signal import butter
    sos_l = butter(2, damp, "low", fs=SR, output="sos")
    lo = sosfilt(sos_l, tail, axis=0)
    hi = tail - lo
    dec_lo = np.exp(-6.9 * np.maximum(t - predelay, 0) / rt60)
    dec_hi = np.exp(-6.9 * np.maximum(t - predelay, 0) / (rt60 * rng.uniform(0.3, 0.8)))
    onset = np.clip((t - predelay) / 0.02, 0, 1)
    ir += (lo * dec_lo[:, None] + hi * dec_hi[:, None]) * onset[:, None]
    for _ in range(early):
        d = predelay * rng.uniform(0.2, 1.0) + rng.uniform(0.001, 0.06)
        k = int(d * SR)
        if k < n:
            ir[k, 0] += rng.uniform(-1, 1) * 3
            ir[min(n - 1, k + int(rng.integers(0, 40))), 1] += rng.uniform(-1, 1) * 3
    ir[0] *= 0
    return ir / np.sqrt(np.sum(ir ** 2) / 2)


def reverb(x, ir, wet):
    """x (n, 2) through the stereo IR; wet is the wet level relative to the dry."""
    n = len(x)
    y = np.stack([oaconvolve(x[:, 0], ir[:, 0])[:n], oaconvolve(x[:, 1], ir[:, 1])[:n]], 1)
    return x + wet * y


def delay(x, seconds, feedback, mix, pingpong, tone=5000, repeats=6):
    """Echoes summed tap by tap; each repeat darker; ping-pong swaps the channels."""
    from scipy.signal import butter
    n = len(x)
    d = int(seconds * SR)
    out = x.copy()
    tap = x
    sos = butter(1, tone, "low", fs=SR, output="sos")
    for k in range(1, repeats + 1):
        if k * d >= n:
            break
        tap = sosfilt(sos, tap, axis=0) * feedback
        t2 = tap[:, ::-1] if pingpong and k % 2 == 1 else tap
        out[k * d:] += mix * t2[:n - k * d]
    return out


def pan_mono(x, pos):
    """Constant-power pan of a mono signal, pos in [-1, 1]."""
    a = (pos + 1) * np.pi / 4
    return np.stack([x * np.cos(a), x * np.sin(a)], 1) * np.sqrt(2)


def width(x, w):
    """Mid/side width: 0 mono, 1 unchanged, above 1 wider."""
    m = 0.5 * (x[:, 0] + x[:, 1])
    s = 0.5 * (x[:, 0] - x[:, 1]) * w
    return np.stack([m + s, m - s], 1)


def double(rng, x, copies, spread, cents=12, max_delay=0.03):
    """Several detuned and delayed copies of a mono part panned across the stereo field."""
    from .voices import shift
    n = len(x)
    out = pan_mono(x, 0.0)
    for c in range(copies):
        y = shift(x, rng.uniform(-cents, cents) / 100)
        d = int(rng.uniform(0.008, max_delay) * SR)
        z = np.zeros(n)
        m = min(n - d, len(y))
        z[d:d + m] = y[:m]
        out += pan_mono(z, spread * (1 if c % 2 == 0 else -1) * rng.uniform(0.5, 1)) * rng.uniform(0.5, 0.9)
    return out / np.sqrt(1 + copies * 0.5)


def limiter_gain(mix, ceiling, release=0.08, lookahead=0.003):
    """Gain curve that keeps |mix| under the ceiling: the peak held over the lookahead on
    both sides, instant attack, exponential release, then a short moving average (which
    cannot rise above the needed gain, the hold being wider than the average)."""
    pk = np.max(np.abs(mix), axis=1)
    la = max(2, int(lookahead * SR))
    held = maximum_filter1d(pk, size=2 * la + 1)
    need = np.minimum(1.0, ceiling / np.maximum(held, 1e-12))
    # gain reduction red = 1 - need; y[i] = max_j<=i red[j] r^(i-j), done in the log domain:
    # log y[i] = i log r + cummax_j(log red[j] - j log r)
    lr = -1.0 / (release * SR)
    i = np.arange(len(need))
    red = np.maximum(1 - need, 1e-30)
    y = np.exp(i * lr + np.maximum.accumulate(np.log(red) - i * lr))
    g = 1 - np.minimum(y, 1 - 1e-9)
    k = la
    g = np.convolve(np.pad(g, (k, k), mode="edge"), np.ones(k) / k, mode="same")[k:-k]
    return np.minimum(g, need)
