"""The drummer and three kinds of kit.  Hits (time, role, velocity) are written from a
style's bar patterns with variations, ghost notes, fills and crashes at section starts;
then played by a General MIDI kit of a sound bank (channel 10), by a recorded Hydrogen
kit sequenced here from its samples, or by an electronic kit synthesised here.
"""
import functools
import glob
import os
import re
import xml.etree.ElementTree as ET

import numpy as np
import soundfile as sf
from scipy.signal import resample_poly

from . import instruments as ins
from .music import Note
from .tables import DRUM_STYLES, GM_DRUM_KEYS

SR = ins.SR
HYDROGEN_DIR = "/usr/share/hydrogen/data/drumkits"
VEL = {"x": 112, "o": 88, "g": 42}


def hits_for(rng, song, style, soft=False):
    steps, _, _, parts = DRUM_STYLES[style]
    step_s = song.bar / steps
    human = rng.uniform(0.0, 0.012)
    choice = {r: int(rng.integers(len(v))) for r, v in parts.items()}
    out = []
    fill_every = int(rng.choice([4, 8, 0]))
    drop_prob = rng.uniform(0, 0.08)
    for b in range(song.n_bars):
        sec = song.sections[b]
        if b > 0 and sec != song.sections[b - 1] or b == 0 and rng.random() < 0.5:
            out.append((b * song.bar, "crash", int(rng.integers(90, 120))))
        if rng.random() < 0.2:
            choice = {r: int(rng.integers(len(v))) for r, v in parts.items()}
        fill = fill_every and (b % fill_every == fill_every - 1) and b < song.n_bars - 1
        for role, pats in parts.items():
            pat = pats[choice[role]]
            if sec == "intro" and role not in ("hh_closed", "ride", "kick") and rng.random() < 0.5:
                continue
            for k, c in enumerate(pat):
                if c == "." or rng.random() < drop_prob:
                    continue
                if fill and k >= steps // 2 and role != "kick":
                    continue
                swing = song.swing * step_s if k % 2 == 1 and steps == 16 else 0.0
                t = b * song.bar + k * step_s + swing + rng.normal(0, human)
                v = VEL[c] + int(rng.integers(-10, 10))
                out.append((max(0.0, t), role, v))
        if fill:
            toms = ["tom_hi", "tom_mid", "tom_low", "snare"]
            k0 = steps // 2
            order = [toms[min(3, int(i * 4 / (steps - k0)))] if rng.random() < 0.7 else "snare"
                     for i in range(steps - k0)]
            for i, role in enumerate(order):
                if rng.random() < 0.85:
                    out.append((b * song.bar + (k0 + i) * step_s, role, int(rng.integers(80, 120))))
    if soft:
        out = [(t, r, int(v * 0.55)) for t, r, v in out]
    out = [(t, r, int(np.clip(v, 1, 127))) for t, r, v in out if t < song.seconds]
    return sorted(out)


# ---------------------------------------------------------------- General MIDI kits

GM_KITS = [0, 8, 16, 24, 25, 32, 40, 48]


def render_gm(rng, source, song, hits, n, room=False):
    have = ins.presets(source)
    kits = [k for k in GM_KITS if (128, k) in have] or [0]
    kit = int(rng.choice(kits))
    notes = [Note(t, 0.2, GM_DRUM_KEYS[r], v) for t, r, v in hits]
    cc = {91: int(rng.integers(0, 41)), 93: 0} if room else {}
    return kit, ins.render_midi(source, song.tempo, [(9, kit, 128, notes, cc)], n, room=room)


# ---------------------------------------------------------------- Hydrogen kits

ROLE_RULES = [
    ("hh_pedal", r"pedal|pd\b"),
    ("hh_open", r"open|op\b|ohh|semi|swish|tambourine|maraca"),
    ("hh_closed", r"closed|hat.*cl|\bchh|hat|hh|shaker|snaps"),
    ("ride", r"ride"),
    ("crash", r"crash|splash|china|cymbal"),
    ("clap", r"clap"),
    ("rim", r"stick|rim click|rim$|clave|woodblock"),
    ("kick", r"kick|bass ?drum|bassdrum|\bbd\b|thump|djembe\d? bass|dununba\d? head hit"),
    ("snare", r"snare|slap"),
    ("tom_low", r"floor|tom low|low tom|tom 3|bongo lo|conga 2|djembe\d? tone|sangban\d? head hit"),
    ("tom_mid", r"tom mid|mid|tom 2|tom$|conga"),
    ("tom_hi", r"tom hi|high|tom 1|bongo hi|kenkeni\d? head hit"),
    ("cowbell", r"cowbell|bell"),
]


def hydrogen_kits():
    return sorted(d for d in glob.glob(os.path.join(HYDROGEN_DIR, "*"))
                  if os.path.isfile(os.path.join(d, "drumkit.xml")))


def _tag(e):
    return e.tag.rsplit("}", 1)[-1]


@functools.lru_cache(maxsize=4)
def load_kit(kdir):
    """{role: [(min_vel, max_vel, (frames, 2) sample), ...]} from the kit's drumkit.xml."""
    root = ET.parse(os.path.join(kdir, "drumkit.xml")).getroot()
    roles = {}
    for inst in root.iter():
        if _tag(inst) != "instrument":
            continue
        name = next((c.text or "" for c in inst if _tag(c) == "name"), "").strip().lower()
        role = next((r for r, pat in ROLE_RULES if re.search(pat, name)), None)
        if role is None or role in roles:
            continue
        layers = []
        for lay in inst.iter():
            if _tag(lay) == "layer":
                f = {_tag(c): (c.text or "") for c in lay}
                layers.append((float(f.get("min", 0)), float(f.get("max", 1)), f.get("filename", "")))
        if not layers:
            fn = next((c.text for c in inst if _tag(c) == "filename"), None)
            if fn:
                layers = [(0.0, 1.0, fn)]
        samples = []
        for lo, hi, fn in layers:
            path = os.path.join(kdir, fn)
            if not fn or not os.path.isfile(path):
                continue
            try:
                x, sr = sf.read(path, dtype="float64", always_2d=True)
            except RuntimeError:
                continue
            if sr != SR:
                x = resample_poly(x, SR, sr, axis=0)
            x = np.repeat(x[:, :1], 2, axis=1) if x.shape[1] == 1 else x[:, :2]
            x = x[:int(SR * 2.5)]
            if np.max(np.abs(x)) > 1e-4:
                samples.append((lo, hi, x / np.max(np.abs(x))))
        if samples:
            roles[role] = samples
    return roles


SUBSTITUTE = {"clap": "snare", "rim": "snare", "snare": "clap", "ride": "hh_closed",
              "hh_pedal": "hh_closed", "hh_open": "hh_closed", "hh_closed": "ride",
              "tom_hi": "tom_mid", "tom_mid": "tom_low", "tom_low": "tom_mid", "crash": "hh_open",
              "cowbell": "rim", "tamb": "hh_open", "shaker": "hh_closed", "kick": "tom_low"}


def render_samples(rng, kit, hits, n, pans):
    out = np.zeros((n + SR * 3, 2))
    for t, role, v in hits:
        r = role
        for _ in range(4):
            if r in kit:
                break
            r = SUBSTITUTE.get(r, "snare")
        if r not in kit:
            continue
        vel = v / 127.0
        layers = [s for lo, hi, s in kit[r] if lo <= vel <= hi + 1e-9] or [kit[r][-1][2]]
        x = layers[int(rng.integers(len(layers)))]
        g = vel ** 1.3
        pl = pans.get(role, 0.0)
        s = int(t * SR)
        if s >= n:
            continue
        m = min(len(x), len(out) - s)
        out[s:s + m, 0] += g * x[:m, 0] * np.cos((pl + 1) * np.pi / 4) * 1.414
        out[s:s + m, 1] += g * x[:m, 1] * np.sin((pl + 1) * np.pi / 4) * 1.414
    return out[:n]


def kit_pans(rng):
    w = rng.uniform(0, 0.8)
    return {"hh_closed": 0.5 * w, "hh_open": 0.5 * w, "hh_pedal": 0.5 * w, "ride": -0.6 * w,
            "crash": -0.4 * w, "tom_hi": 0.4 * w, "tom_mid": 0.0, "tom_low": -0.6 * w,
            "cowbell": 0.3 * w, "tamb": 0.6 * w, "shaker": -0.5 * w}


# ---------------------------------------------------------------- synthesised kits

def synth_kit(rng):
    """One electronic kit: each role a short sample made from sines and filtered noise."""
    u = rng.uniform
    t = np.arange(int(SR * 1.2)) / SR
    k_f0, k_f1, k_dec = u(40, 65), u(100, 300), u(0.15, 0.9)
    kick = np.sin(2 * np.pi * (k_f0 * t + (k_f1 - k_f0) * 0.03 * (1 - np.exp(-t / 0.03)))) \
        * np.exp(-t / k_dec * 3)
    kick += u(0, 0.4) * rng.standard_normal(len(t)) * np.exp(-t / 0.004)
    if rng.random() < 0.4:
        kick = np.tanh(u(1.5, 5) * kick)
    noise = rng.standard_normal(len(t))
    sn_tone = u(150, 260)
    snare = u(0.3, 0.8) * np.sin(2 * np.pi * sn_tone * t) * np.exp(-t / 0.04) \
        + ins.highpass(noise, u(800, 2500)) * np.exp(-t / u(0.05, 0.25)) * 0.6
    clap = np.zeros(len(t))
    for k in range(int(rng.integers(3, 5))):
        d = int(k * u(0.008, 0.014) * SR)
        clap[d:] += np.exp(-t[:len(t) - d] / (0.007 if k < 3 else u(0.05, 0.2)))
    clap = ins.lowpass(ins.highpass(noise * clap, 900), 5000) * 0.7
    metal = sum(np.sign(np.sin(2 * np.pi * f * t)) for f in (205.3, 304.4, 369.6, 522.7, 359.4, 540.0))
    hat_src = ins.highpass(u(0, 1) * metal / 6 + noise, u(6000, 9000))
    hh_c = hat_src * np.exp(-t / u(0.015, 0.05))
    hh_o = hat_src * np.exp(-t / u(0.15, 0.5))
    ride = ins.highpass(metal / 6 + 0.3 * noise, 3000) * np.exp(-t / 0.8) * 0.5
    crash = ins.highpass(noise, 3000) * np.exp(-t / 1.0) * 0.7
    toms = {}
    for role, f in (("tom_hi", u(180, 260)), ("tom_mid", u(120, 170)), ("tom_low", u(70, 110))):
        toms[role] = np.sin(2 * np.pi * f * t * (1 + 0.3 * np.exp(-t / 0.05))) * np.exp(-t / 0.25)
    rim = np.sin(2 * np.pi * u(1500, 2500) * t) * np.exp(-t / 0.01)
    cow = (np.sign(np.sin(2 * np.pi * 540 * t)) + np.sign(np.sin(2 * np.pi * 800 * t))) \
        * np.exp(-t / 0.08) * 0.3
    d = {"kick": kick, "snare": snare, "clap": clap, "hh_closed": hh_c, "hh_open": hh_o,
         "hh_pedal": hh_c * 0.7, "ride": ride, "crash": crash, "rim": rim, "cowbell": cow, **toms}
    return {r: [(0.0, 1.0, np.stack([x, x], 1) / (np.max(np.abs(x)) + 1e-9))] for r, x in d.items()}


def brushes_kit(rng, base):
    """Softer kit for ballads: the snare replaced by a swish of band-passed noise."""
    t = np.arange(int(SR * 0.6)) / SR
    sw = ins.lowpass(ins.highpass(rng.standard_normal(len(t)), 1500), 6000) \
        * np.sin(np.pi * np.minimum(t / 0.35, 1)) ** 2
    kit = dict(base)
    kit["snare"] = [(0.0, 1.0, np.stack([sw, sw], 1) / np.max(np.abs(sw)))]
    return kit
