"""Pitched instruments: General MIDI programs played from several sound banks, and
synthesisers written here in numpy.  Many timbres for the same part are what keep a
trained separator from learning one soundfont's sound instead of the instrument class.

Banks: four Debian SoundFonts rendered with fluidsynth, and the freepats patch set (a
timidity configuration, which fluidsynth cannot load) rendered with timidity.  Both
tools are run with fixed settings on MIDI written here, so their output is repeatable.
"""
import functools
import os
import re
import subprocess
import tempfile

import mido
import numpy as np
import soundfile as sf
from scipy.signal import butter, resample_poly, sosfilt

SR = 44100

# Debian's FluidR3_GS.sf2 holds only the GS variation presets (banks 1-8, sound effects
# 120-127, one effects kit): not a band on its own, so it is not among the banks.
SOUNDFONTS = {
    "FluidR3_GM": "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "TimGM6mb": "/usr/share/sounds/sf2/TimGM6mb.sf2",
    "OPL3": "/usr/share/sounds/sf2/OPL-3_FM_128M.sf2",
}
FREEPATS_CFG = "/etc/timidity/freepats.cfg"

# GM programs by family; voices (52-54, 85) are kept out of the band so that no sung
# sound ever lands outside the vocal stem, and unpitched percussion (agogo, woodblock,
# taiko, toms, reverse cymbal) out of the other stem, where a listener would not put it
BASS_PROGRAMS = [32, 33, 34, 35, 36, 37, 38, 39, 43, 58, 87]
VOCAL_PROGRAMS = [52, 53, 54, 85]
BAND_PROGRAMS = [p for p in range(0, 120) if p not in VOCAL_PROGRAMS and p not in range(32, 40)
                 and p not in (113, 115, 116, 117, 118, 119)]


# ---------------------------------------------------------------- sound banks

def available_sources():
    """Sound banks installed here: SoundFont names, plus 'freepats' if timidity can play it."""
    out = [k for k, p in SOUNDFONTS.items() if os.path.isfile(p)]
    if os.path.isfile(FREEPATS_CFG) and _which("timidity"):
        out.append("freepats")
    return out


def _which(name):
    return any(os.access(os.path.join(d, name), os.X_OK) for d in os.environ.get("PATH", "").split(":"))


@functools.lru_cache(maxsize=None)
def presets(source):
    """Set of (bank, program) a bank defines (freepats: bank 0 programs and kit 0)."""
    if source == "freepats":
        progs, cur = set(), None
        for line in open(FREEPATS_CFG):
            s = line.split("#")[0].strip()
            if s.startswith("bank"):
                cur = 0
            elif s.startswith("drumset"):
                cur = 128
            elif cur is not None and re.match(r"^\d+\s+\S+\.pat", s):
                progs.add((cur, int(s.split()[0])) if cur == 0 else (128, 0))
        return frozenset(progs)
    r = subprocess.run(["fluidsynth", "-n", "-a", "file", "-o", "audio.file.name=/dev/null",
                        SOUNDFONTS[source]], input="inst 1\nquit\n", capture_output=True,
                       text=True, timeout=120)
    return frozenset((int(m.group(1)), int(m.group(2)))
                     for m in re.finditer(r"^(\d+)-(\d+) ", r.stdout, re.M))


def pick_program(rng, source, candidates):
    have = presets(source)
    ok = [p for p in candidates if (0, p) in have]
    return int(rng.choice(ok if ok else candidates))


def write_midi(path, tempo, parts):
    """parts: list of (channel, program, bank, notes, extra_cc dict)."""
    mf = mido.MidiFile(ticks_per_beat=480)
    beat = 60.0 / tempo
    meta = mido.MidiTrack()
    meta.append(mido.MetaMessage("set_tempo", tempo=int(round(beat * 1e6)), time=0))
    mf.tracks.append(meta)
    for ch, prog, bank, notes, cc in parts:
        tr = mido.MidiTrack()
        ev = []
        if bank:
            ev.append((0, 0, mido.Message("control_change", channel=ch, control=0, value=min(bank, 127))))
        ev.append((0, 1, mido.Message("program_change", channel=ch, program=prog)))
        for c, v in (cc or {}).items():
            ev.append((0, 2, mido.Message("control_change", channel=ch, control=c, value=int(v))))
        for n in notes:
            t0 = int(round(n.start / beat * 480))
            t1 = max(t0 + 1, int(round((n.start + n.dur) / beat * 480)))
            ev.append((t0, 4, mido.Message("note_on", channel=ch, note=int(n.pitch), velocity=int(n.vel))))
            ev.append((t1, 3, mido.Message("note_off", channel=ch, note=int(n.pitch), velocity=0)))
        ev.sort(key=lambda e: (e[0], e[1]))
        last = 0
        for t, _, m in ev:
            tr.append(m.copy(time=t - last))
            last = t
        mf.tracks.append(tr)
    mf.save(path)


def render_midi(source, tempo, parts, n, chorus=False, room=False):
    """Renders the parts with one bank -> (n, 2) float64 at SR. room: fluidsynth's own
    reverb and chorus, sent to by each part's controllers 91 and 93 (timidity stays dry)."""
    with tempfile.TemporaryDirectory(prefix="tl-gen-") as d:
        mid, wav = os.path.join(d, "p.mid"), os.path.join(d, "p.wav")
        write_midi(mid, tempo, parts)
        if source == "freepats":
            # -k 0: no automatic voice reduction, which depends on how fast the machine is
            # and made timidity's output differ from run to run; its chorus does too
            cmd = ["timidity", "-c", FREEPATS_CFG, "-Ow", "-o", wav, "-s", str(SR), "-EFreverb=0",
                   "-EFchorus=0", "-k", "0", "--quiet=2", mid]
        else:
            cmd = ["fluidsynth", "-n", "-i", "-q", "-F", wav, "-r", str(SR), "-g", "0.5",
                   "-R", "1" if room else "0", "-C", "1" if chorus or room else "0",
                   "-o", "synth.cpu-cores=1",
                   "-o", "audio.file.format=float", SOUNDFONTS[source], mid]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300)
        x, sr = sf.read(wav, dtype="float64", always_2d=True)
    if sr != SR:
        x = resample_poly(x, SR, sr, axis=0)
    if x.shape[1] == 1:
        x = np.repeat(x, 2, axis=1)
    out = np.zeros((n, 2))
    m = min(n, len(x))
    out[:m] = x[:m, :2]
    return out


# ---------------------------------------------------------------- synthesisers

def hz(p):
    return 440.0 * 2 ** ((np.asarray(p, dtype=float) - 69) / 12)


def _blep(t, dt):
    """PolyBLEP residual for a saw with phase t in [0,1) and increment dt."""
    r = np.zeros_like(t)
    a = t < dt
    x = t[a] / dt[a] if np.ndim(dt) else t[a] / dt
    r[a] = 2 * x - x * x - 1
    b = t > 1 - (dt if not np.ndim(dt) else dt)
    x = (t[b] - 1) / (dt[b] if np.ndim(dt) else dt)
    r[b] = x * x + 2 * x + 1
    return r


def saw(freq, n, phase0=0.0):
    dt = np.broadcast_to(np.asarray(freq, dtype=float) / SR, (n,))
    ph = (phase0 + np.cumsum(dt)) % 1.0
    return 2 * ph - 1 - _blep(ph, dt.copy())


def pulse(freq, n, width=0.5, phase0=0.0):
    return 0.5 * (saw(freq, n, phase0) - saw(freq, n, phase0 + width))


def sine(freq, n, phase0=0.0):
    dt = np.broadcast_to(np.asarray(freq, dtype=float) / SR, (n,))
    return np.sin(2 * np.pi * (phase0 + np.cumsum(dt)))


def env_adsr(n_on, n, a, d, s, r):
    """Attack/decay/sustain while held (n_on samples), then release; times in seconds."""
    t = np.arange(n) / SR
    on = n_on / SR
    e = np.where(t < a, t / max(a, 1e-4), s + (1 - s) * np.exp(-(t - a) / max(d, 1e-4)))
    level_off = e[min(n_on, n - 1)]
    e = np.where(t < on, e, level_off * np.exp(-(t - on) / max(r, 1e-4)))
    return e


def lowpass(x, fc, order=2):
    fc = float(np.clip(fc, 30, SR * 0.45))
    return sosfilt(butter(order, fc, "low", fs=SR, output="sos"), x)


def highpass(x, fc, order=2):
    fc = float(np.clip(fc, 10, SR * 0.45))
    return sosfilt(butter(order, fc, "high", fs=SR, output="sos"), x)


def karplus(freq, n, t60, bright, rng):
    """Plucked string: a noise burst circulating in a delay line with an averaging filter,
    computed one period at a time (each period depends only on the one before)."""
    per = max(2, int(round(SR / freq - 0.5)))
    g = 10 ** (-3 * (per / SR) / max(t60, 0.05))
    y = np.zeros(n + per + 1)
    burst = rng.uniform(-1, 1, per)
    if bright < 1:
        burst = lowpass(burst, 500 + 12000 * bright, 1)
    y[1:per + 1] = burst
    s = per + 1
    while s < len(y):
        e = min(s + per, len(y))
        y[s:e] = g * 0.5 * (y[s - per:e - per] + y[s - per - 1:e - per - 1])
        s = e
    return y[1:n + 1]


def _note_len(note, release):
    return int((note.dur + release) * SR)


def synth_note(kind, p, note, rng):
    """One note of a synthesiser voice -> mono array; p holds the voice's fixed settings."""
    f = float(hz(note.pitch))
    v = (note.vel / 127.0) ** 1.5
    n_on = int(note.dur * SR)
    if kind == "subtractive":
        n = _note_len(note, p["release"])
        x = sum(saw(f * 2 ** (dc / 1200), n, rng.random()) for dc in p["detune"]) / len(p["detune"])
        if p["square"]:
            x = 0.5 * x + 0.5 * pulse(f, n, p["pw"], rng.random())
        e = env_adsr(n_on, n, p["attack"], p["decay"], p["sustain"], p["release"])
        bright = lowpass(x, p["cut_hi"], 2)
        dark = lowpass(x, p["cut_lo"], 2)
        fe = env_adsr(n_on, n, p["attack"] * 0.5, p["fdecay"], 0.2, p["release"])
        return v * e * (dark * (1 - fe) + bright * fe)
    if kind in ("fm", "epiano", "fmbass"):
        n = _note_len(note, p["release"])
        t = np.arange(n) / SR
        idx = p["index"] * (p["index_floor"] + (1 - p["index_floor"]) * np.exp(-t / p["index_decay"]))
        mod = np.sin(2 * np.pi * f * p["ratio"] * t + rng.random() * 6.28)
        x = np.sin(2 * np.pi * f * t + idx * v ** 0.5 * mod)
        if kind == "epiano":
            x *= 1 + p["trem"] * np.sin(2 * np.pi * p["trem_rate"] * t)
        e = env_adsr(n_on, n, p["attack"], p["decay"], p["sustain"], p["release"])
        return v * e * x
    if kind in ("pluck", "guitar", "picked"):
        n = _note_len(note, 0.08)
        x = karplus(f, n, p["t60"], p["bright"], rng)
        if kind == "picked":   # a pick near the bridge: comb from the pluck position
            k = max(1, int(SR / f * p["pos"]))
            x = x - np.concatenate([np.zeros(k), x[:-k]])
        damp = np.ones(n)
        damp[n_on:] = np.exp(-np.arange(n - n_on) / (0.02 * SR))
        return v * x * damp
    if kind == "pad":
        n = _note_len(note, p["release"])
        x = sum(saw(f * 2 ** (dc / 1200), n, rng.random()) for dc in p["detune"]) / np.sqrt(len(p["detune"]))
        x = lowpass(x, p["cut_hi"], 2)
        e = env_adsr(n_on, n, p["attack"], 1.0, 0.8, p["release"])
        return v * e * x
    if kind == "organ":
        n = _note_len(note, 0.05)
        t = np.arange(n) / SR
        vib = 1 + 0.003 * np.sin(2 * np.pi * p["rate"] * t)
        x = sum(lv * sine(f * h * vib, n) for h, lv in zip((0.5, 1, 1.5, 2, 3, 4, 5, 6, 8), p["bars"]))
        return v * env_adsr(n_on, n, 0.005, 0.1, 1.0, 0.03) * x / max(1e-9, sum(p["bars"]))
    if kind == "sub":
        n = _note_len(note, p["release"])
        x = sine(f, n) + p["h2"] * sine(2 * f, n)
        return v * env_adsr(n_on, n, 0.005, p["decay"], p["sustain"], p["release"]) * x
    raise ValueError(kind)


SYNTH_BAND = ["subtractive", "fm", "epiano", "pluck", "guitar", "pad", "organ"]
SYNTH_BASS = ["sub", "subtractive", "fmbass", "picked"]


def synth_params(kind, rng, bass=False):
    u = rng.uniform
    p = dict(release=u(0.05, 0.4))
    if kind == "subtractive":
        p.update(detune=list(u(-15, 15, int(rng.integers(1, 4)))), square=rng.random() < 0.4,
                 pw=u(0.1, 0.5), attack=u(0.002, 0.05 if bass else 0.2), decay=u(0.1, 0.8),
                 sustain=u(0.3, 0.9), cut_lo=u(150, 600) if bass else u(300, 1500),
                 cut_hi=u(600, 3000) if bass else u(2000, 9000), fdecay=u(0.05, 0.5))
    elif kind in ("fm", "fmbass", "epiano"):
        ratio = 1.0 if kind == "epiano" and rng.random() < 0.5 else float(
            rng.choice([0.5, 1, 2, 3, 1.414, 3.5, 7] if kind == "fm" else [0.5, 1, 2]))
        p.update(ratio=ratio, index=u(0.5, 4 if kind == "fmbass" else 6), index_floor=u(0, 0.4),
                 index_decay=u(0.05, 1.0), attack=u(0.001, 0.02), decay=u(0.3, 2.0),
                 sustain=u(0.0, 0.7) if kind != "fmbass" else u(0.4, 0.9), trem=u(0, 0.3),
                 trem_rate=u(3, 7))
    elif kind in ("pluck", "guitar", "picked"):
        p.update(t60=u(0.5, 4.0), bright=u(0.3, 1.0), pos=u(0.08, 0.3),
                 drive=u(3, 40) if kind == "guitar" and rng.random() < 0.8 else 0.0,
                 cab=u(2500, 5500))
    elif kind == "pad":
        p.update(detune=list(u(-20, 20, int(rng.integers(3, 7)))), cut_hi=u(800, 6000),
                 attack=u(0.2, 1.2), release=u(0.3, 1.5))
    elif kind == "organ":
        p.update(bars=list(rng.choice([0, 0, 0.3, 0.6, 1.0], 9)), rate=u(4, 7))
        p["bars"][1] = 1.0
    elif kind == "sub":
        p.update(h2=u(0, 0.4), decay=u(0.2, 2), sustain=u(0.4, 1.0))
    return p


def render_synth(kind, params, notes, n, rng):
    """A part played on one of the synthesisers -> (n,) mono; guitars get an amp."""
    out = np.zeros(n + SR * 4)
    for note in notes:
        s = int(note.start * SR)
        if s >= n:
            continue
        x = synth_note("picked" if kind == "picked" else kind, params, note, rng)
        out[s:s + len(x)] += x[:len(out) - s]
    out = out[:n]
    if kind == "guitar" and params.get("drive", 0) > 0:
        out = highpass(out, 90)
        out = np.tanh(params["drive"] * out / (np.max(np.abs(out)) + 1e-9))
        out = lowpass(out, params["cab"], 4)
    return out
