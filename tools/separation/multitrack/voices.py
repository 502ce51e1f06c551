"""The vocal stem's sources: speech from espeak-ng and festival (many voices, pitches and
speeds, placed phrase by phrase on the song's vocal phrases), a General MIDI voice patch
singing the melody, and a singer synthesised here: glottal pulses with jitter and shimmer
through moving vowel formants, vibrato, glides, breath and consonant noise.  Doubling and
choirs are built from any of them.
"""
import os
import subprocess
import tempfile

import numpy as np
import soundfile as sf
from scipy.signal import istft, resample_poly, stft

from . import instruments as ins
from .tables import FORMANTS, VOICE_RANGE, VOWELS

SR = ins.SR

WORDS = ("love night light heart fire rain away alone tonight forever dream baby higher "
         "river shadow golden morning city falling burning world home again never maybe "
         "feel know wait stay run hold open sky ocean silver wild free slow under over "
         "echo summer winter fade ghost window road time money dance shine broken moon "
         "star tell me you we they go come back down up only every little old new young "
         "cry smile call name sweet hello goodbye yeah oh la na hey ooh").split()

ESPEAK_LANGS = ["en", "en-us", "en-gb-x-rp", "en-gb-scotland", "en-029", "de", "fr", "es",
                "it", "pt", "nl", "sv", "da", "pl", "cs", "fi", "hu", "ro", "id", "sw"]
ESPEAK_VARIANTS = ["m1", "m2", "m3", "m4", "m5", "m6", "m7", "m8", "f1", "f2", "f3", "f4", "f5",
                   "klatt", "klatt2", "klatt3", "klatt4", "croak", "Andy", "Annie", "belinda",
                   "benjamin", "david", "edward", "steph", "travis", "zac", "linda", "paul",
                   "robert", "shelby", "whisperf"]
# festival voices this generator may use; checked by name when a voice is selected, so a
# missing one fails instead of falling back to the installation's default voice
FESTIVAL_VOICES = ["ked_diphone", "lp_diphone", "pc_diphone", "hy_fi_mv_diphone",
                   "suo_fi_lj_diphone", "czech_dita", "czech_krb", "czech_ph",
                   "msu_ru_nsh_clunits", "upc_ca_ona_hts"]


def lyrics(rng, n_words):
    return " ".join(str(rng.choice(WORDS)) for _ in range(n_words))


def festival_voices():
    have = set()
    for d, _, _ in os.walk("/usr/share/festival/voices"):
        have.add(os.path.basename(d))
    return [v for v in FESTIVAL_VOICES if v in have]


def _read_mono(path):
    x, sr = sf.read(path, dtype="float64", always_2d=True)
    x = x.mean(axis=1)
    if sr != SR:
        x = resample_poly(x, SR, sr)
    return x


def espeak(text, voice, pitch, speed, gap):
    with tempfile.TemporaryDirectory(prefix="tl-gen-") as d:
        w = os.path.join(d, "s.wav")
        subprocess.run(["espeak-ng", "-v", voice, "-p", str(pitch), "-s", str(speed),
                        "-g", str(gap), "-w", w, text], check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return _read_mono(w)


def festival(texts, voice, stretch):
    """Every phrase in one festival process (its start-up is most of the cost)."""
    with tempfile.TemporaryDirectory(prefix="tl-gen-") as d:
        lines = [f"(voice_{voice})",
                 f"(if (not (equal? current-voice '{voice})) (error \"voice not selected\"))",
                 f"(Parameter.set 'Duration_Stretch {stretch:.3f})"]
        for k, t in enumerate(texts):
            safe = "".join(c for c in t if c.isalpha() or c == " ")
            lines.append(f'(utt.save.wave (utt.synth (Utterance Text "{safe}")) "{d}/{k}.wav" \'riff)')
        scm = os.path.join(d, "s.scm")
        open(scm, "w").write("\n".join(lines) + "\n")
        r = subprocess.run(["festival", "--batch", scm], capture_output=True, text=True, timeout=300)
        paths = [os.path.join(d, f"{k}.wav") for k in range(len(texts))]
        if r.returncode != 0 or "SIOD ERROR" in r.stderr + r.stdout or not all(map(os.path.isfile, paths)):
            raise RuntimeError(f"festival voice {voice} failed: {(r.stderr + r.stdout)[-300:]}")
        return [_read_mono(p) for p in paths]


def shift(x, semitones):
    """Pitch and formants together by resampling (length changes too)."""
    if abs(semitones) < 0.05:
        return x
    ratio = 2 ** (semitones / 12)
    up, down = 1000, int(round(1000 * ratio))
    return resample_poly(x, up, down)


def place(chunks, starts, ends, n, fade=0.01):
    """Chunks laid at the phrase starts, each cut at its phrase's end."""
    out = np.zeros(n)
    for x, s, e in zip(chunks, starts, ends):
        a = int(s * SR)
        m = min(len(x), int((e - s) * SR), n - a)
        if m <= 0:
            continue
        y = x[:m].copy()
        f = min(int(fade * SR), m // 2)
        if f > 0:
            y[-f:] *= np.linspace(1, 0, f)
        out[a:a + m] += y
    return out


def phrases(notes, gap=0.35):
    """(start, end, notes) of the melody's phrases: runs of notes without long rests."""
    out = []
    for nt in notes:
        if out and nt.start - out[-1][1] < gap:
            out[-1][1] = max(out[-1][1], nt.start + nt.dur)
            out[-1][2].append(nt)
        else:
            out.append([nt.start, nt.start + nt.dur, [nt]])
    return out


def speech_part(rng, engine, notes, n):
    """Speech phrase by phrase on the melody's phrases; each phrase's pitch follows its
    first note a little (espeak's pitch setting, or a resampling shift)."""
    ph = phrases(notes)
    chunks, starts, ends = [], [], []
    if engine == "espeak":
        voice = f"{rng.choice(ESPEAK_LANGS)}+{rng.choice(ESPEAK_VARIANTS)}"
        base_p, speed = int(rng.integers(10, 90)), int(rng.integers(110, 220))
        desc = f"espeak {voice} p{base_p} s{speed}"
    else:
        voice = str(rng.choice(festival_voices()))
        stretch = float(rng.uniform(0.8, 1.5))
        desc = f"festival {voice} x{stretch:.2f}"
    semis = float(rng.uniform(-3, 3))
    mel0 = np.mean([nt.pitch for nt in notes]) if notes else 60
    texts = [lyrics(rng, max(1, int((e - s) * rng.uniform(1.5, 3.0)))) for s, e, _ in ph]
    mel_shift = [pn[0].pitch - mel0 for _, _, pn in ph]
    if engine == "espeak":
        gap = int(rng.integers(0, 4))
        raw = [espeak(t, voice, int(np.clip(base_p + 4 * dp, 0, 99)), speed, gap)
               for t, dp in zip(texts, mel_shift)]
    else:
        raw = [shift(x, float(np.clip(dp * 0.5, -4, 4)))
               for x, dp in zip(festival(texts, voice, stretch), mel_shift)]
    for x, (s, e, _) in zip(raw, ph):
        x = shift(x, semis)
        nz = np.flatnonzero(np.abs(x) > 1e-3 * (np.max(np.abs(x)) + 1e-12))
        if len(nz):
            x = x[nz[0]:nz[-1] + 1]
        chunks.append(x / (np.max(np.abs(x)) + 1e-9))
        starts.append(s)
        ends.append(e + 0.6)
    return desc + f" shift{semis:+.1f}", place(chunks, starts, ends, n)


# ---------------------------------------------------------------- the singer

def _rosenberg(phase, oq, sq):
    """Glottal flow derivative of a Rosenberg-like pulse; phase in [0, 1) per period."""
    tp = oq * sq / (1 + sq)          # opening part
    tn = oq - tp                     # closing part
    g = np.where(phase < tp, 0.5 * (1 - np.cos(np.pi * phase / tp)),
                 np.where(phase < oq, np.cos(0.5 * np.pi * (phase - tp) / tn), 0.0))
    return np.diff(g, prepend=g[0])


def _control(values_at, times, n, hop):
    idx = np.arange(0, n + hop, hop)
    return np.interp(np.arange(n), idx[:len(values_at)], values_at)


def singer(rng, notes, n, vrange, formant_scale=1.0, breath=0.05, vib_rate=5.5, vib_depth=0.4,
           glide=0.05, jitter=0.005, shimmer=0.08, cons_prob=0.6):
    """A synthetic singer -> (n,) mono.  vib_depth in semitones, glide a time constant in s."""
    hop = 64
    nc = n // hop + 2
    tc = np.arange(nc) * hop / SR
    # pitch target and gate at control rate
    target = np.full(nc, np.nan)
    gate = np.zeros(nc)
    vowel_idx = np.zeros(nc, dtype=int)
    onset = np.full(nc, -1.0)
    vowels = [int(rng.choice(5, p=[0.3, 0.2, 0.15, 0.25, 0.1])) for _ in notes]
    for k, nt in enumerate(notes):
        a, b = int(nt.start * SR / hop), int((nt.start + nt.dur) * SR / hop)
        target[a:b] = nt.pitch
        gate[a:b] = (nt.vel / 127.0)
        vowel_idx[a:b] = vowels[k]
        onset[a:b] = nt.start
    # hold the last pitch through rests so glides start from it
    last = notes[0].pitch if notes else 60
    for i in range(nc):
        if np.isnan(target[i]):
            target[i] = last
        else:
            last = target[i]
    # portamento: one-pole smoothing of the pitch at control rate
    a = np.exp(-hop / SR / max(glide, 1e-3))
    p = np.empty(nc)
    acc = target[0]
    for i in range(nc):
        acc = a * acc + (1 - a) * target[i]
        p[i] = acc
    since = np.where(onset >= 0, tc - onset, 0)
    vib = vib_depth * np.minimum(1, np.maximum(0, since - 0.15) / 0.3) \
        * np.sin(2 * np.pi * vib_rate * tc + rng.uniform(0, 6.28))
    drift = np.cumsum(rng.standard_normal(nc)) * 0.002
    drift -= np.convolve(drift, np.ones(200) / 200, mode="same")
    jit = rng.standard_normal(nc) * jitter * 12
    f0 = 440 * 2 ** ((p + vib + drift + jit - 69) / 12)
    # amplitude: smoothed gate with shimmer
    att = np.exp(-hop / SR / rng.uniform(0.02, 0.06))
    amp = np.empty(nc)
    acc = 0.0
    for i in range(nc):
        acc = att * acc + (1 - att) * gate[i]
        amp[i] = acc
    amp *= 1 + shimmer * rng.standard_normal(nc) * 0.5
    f0s = np.interp(np.arange(n), np.arange(nc) * hop, f0)
    amps = np.interp(np.arange(n), np.arange(nc) * hop, np.maximum(amp, 0))
    phase = np.cumsum(f0s / SR) % 1.0
    oq = rng.uniform(0.45, 0.7)
    src = _rosenberg(phase, oq, rng.uniform(1.5, 3.5)) * f0s / 200.0
    noise = rng.standard_normal(n)
    src = src + breath * noise * (0.3 + (phase < oq))
    src *= amps
    # vowel formants, interpolated between notes, applied frame by frame in the STFT domain
    nfft = 1024
    f, _, X = stft(src, fs=SR, nperseg=nfft, noverlap=nfft - 256, boundary="zeros", padded=True)
    nfr = X.shape[1]
    fr_t = np.arange(nfr) * 256 / SR
    table = FORMANTS[vrange]
    F = np.array([table[v][0] for v in VOWELS], dtype=float) * formant_scale   # (5 vowels, 5)
    L = 10 ** (np.array([table[v][1] for v in VOWELS], dtype=float) / 20)
    B = np.array([table[v][2] for v in VOWELS], dtype=float)
    vi = vowel_idx[np.minimum((fr_t * SR / hop).astype(int), nc - 1)]
    oh = np.eye(5)[vi]                               # (frames, 5)
    k = max(1, int(0.05 * SR / 256))                 # 50 ms transitions
    oh = np.apply_along_axis(lambda c: np.convolve(c, np.ones(k) / k, mode="same"), 0, oh)
    Ff, Lf, Bf = oh @ F, oh @ L, oh @ B              # (frames, 5)
    env = np.zeros((len(f), nfr))
    for j in range(5):
        env += Lf[:, j][None, :] / (1 + ((f[:, None] - Ff[:, j][None, :]) / (Bf[:, j][None, :] / 2)) ** 2)
    env *= 1 / (1 + (f[:, None] / 5000) ** 2)
    _, y = istft(X * env, fs=SR, nperseg=nfft, noverlap=nfft - 256, boundary=True)
    y = y[:n]
    if len(y) < n:
        y = np.concatenate([y, np.zeros(n - len(y))])
    # consonants: a fricative or plosive burst at some note starts
    for nt in notes:
        if rng.random() > cons_prob:
            continue
        kind = rng.choice(["s", "sh", "f", "t", "k"])
        dur = {"s": 0.09, "sh": 0.1, "f": 0.08, "t": 0.02, "k": 0.025}[kind] * rng.uniform(0.7, 1.4)
        m = int(dur * SR)
        a = int(nt.start * SR) - m
        if a < 0 or a + m > n:
            continue
        bz = rng.standard_normal(m)
        lo, hi = {"s": (4000, 10000), "sh": (2000, 6000), "f": (1500, 9000), "t": (2500, 8000),
                  "k": (1200, 4000)}[kind]
        bz = ins.lowpass(ins.highpass(bz, lo), hi) * np.hanning(m) ** 0.5
        y[a:a + m] += bz * rng.uniform(0.05, 0.2) * (np.std(y) + 1e-6) / (np.std(bz) + 1e-9) * 4
    return y


def singer_params(rng, vrange=None):
    vr = vrange or str(rng.choice(list(VOICE_RANGE)))
    return vr, dict(formant_scale=float(rng.uniform(0.93, 1.07)), breath=float(rng.uniform(0.01, 0.15)),
                    vib_rate=float(rng.uniform(4.5, 6.5)), vib_depth=float(rng.uniform(0.1, 0.8)),
                    glide=float(rng.uniform(0.01, 0.12)), jitter=float(rng.uniform(0.001, 0.01)),
                    shimmer=float(rng.uniform(0.02, 0.15)), cons_prob=float(rng.uniform(0.2, 0.8)))


def transpose_diatonic(notes, scale_pcs, steps):
    """The melody moved by scale steps (a third is 2, a sixth 5, negative goes down)."""
    from .music import Note
    out = []
    for nt in notes:
        p = nt.pitch
        cand = [q for q in range(p - 24, p + 25) if q % 12 in scale_pcs]
        i = min(range(len(cand)), key=lambda j: abs(cand[j] - p))
        out.append(Note(nt.start, nt.dur, cand[int(np.clip(i + steps, 0, len(cand) - 1))], nt.vel))
    return out
