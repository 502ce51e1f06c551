"""Bare tones: a song's parts played by plain harmonic oscillators, with no instrument,
room or production.  The lead is the voice stripped to what remains of it without words or
formants: one harmonic tone that glides and wavers (a vibrato of a tenth of a semitone to
half a semitone); chords are steady tones, the bass a few low partials, the drums clicks
or an electronic kit.  Any part may be missing, so a sound is also heard alone.  In such
tracks nothing but how its pitch moves tells the voice from the band.
"""
import numpy as np

from . import drums as dr
from . import instruments as ins
from . import music, production as pr
from .tables import VOICE_RANGE

SR = ins.SR


def harmonic(f0, partials, tilt):
    """Partials falling 1/h**tilt on a pitch track `f0` (Hz per sample), below 0.45 SR."""
    phase = 2 * np.pi * np.cumsum(f0 / SR)
    y = np.zeros(len(f0))
    for h in range(1, partials + 1):
        y += np.where(h * f0 < 0.45 * SR, np.sin(h * phase), 0.0) / h ** tilt
    return y


def pitch_track(notes, n, glide, held):
    """Hz per sample following `notes` (held between them), each change a glide of `glide`
    seconds; and where the notes sound (all of it when `held`)."""
    p = np.full(n, float(notes[0].pitch))
    on = np.zeros(n)
    for nt in notes:
        a, b = int(nt.start * SR), min(n, int((nt.start + nt.dur) * SR))
        p[a:] = nt.pitch
        on[a:b] = 1.0
    k = max(1, int(glide * SR))
    p = np.convolve(np.pad(p, (k - 1, 0), mode="edge"), np.ones(k) / k, mode="valid")
    if held:
        on[:] = 1.0
    fade = np.ones(int(0.02 * SR)) / int(0.02 * SR)
    on = np.convolve(on, fade, mode="same")
    return ins.hz(p), on


def render_tones(rng, song, n, style, instrumental, meta, under=False, panned=False):
    """The four stems (each (n, 2)) of a track of bare tones; `under`: the chords above the
    lead's highest note, and the lead held on one note in half the tracks (the lowest
    wavering tone under steady ones, where the lead is hardest to tell from the band);
    `panned`: the lead centred and the chord notes panned apart, to alternate sides (a
    centred wavering tone between steady ones at the sides is still the voice)."""
    u = rng.uniform
    present = {s: rng.random() < 0.7 for s in ("drums", "bass", "other")}
    if instrumental and not any(present.values()):
        present["other"] = True
    stems = {s: np.zeros((n, 2)) for s in ("vocals", "drums", "bass", "other")}
    desc = {}
    if not instrumental:
        low, high = VOICE_RANGE[str(rng.choice(list(VOICE_RANGE)))]
        notes = music.melody(rng, song, low, high, density=u(0.5, 0.95)) or \
            [music.Note(0.0, song.seconds, (low + high) // 2, 100)]
        held = rng.random() < (0.5 if under else 0.3)
        if held:
            notes = notes[:1]
        f0, on = pitch_track(notes, n, u(0.02, 0.15), held)
        rate, depth = u(4.0, 7.0), u(0.006, 0.03)
        t = np.arange(n) / SR
        f0 = f0 * (1 + depth * np.sin(2 * np.pi * rate * t + u(0, 2 * np.pi)))
        partials = int(rng.integers(6, 17))
        x = harmonic(f0, partials, u(0.8, 1.5)) * on
        stems["vocals"] = pr.pan_mono(x, 0.0 if panned else u(-0.2, 0.2))
        desc["vocals"] = f"tone{partials} vib{rate:.1f}/{depth:.3f}" + (" held" if held else "")
    if present["other"]:
        held = rng.random() < 0.4
        # two to six notes from G2 to C5 upwards, over, under or around the lead; some
        # notes from another bar's chord, so that two chords may sound at once
        voicing, low = int(rng.integers(2, 7)), int(rng.integers(43, 73))
        if under and not instrumental:
            low = min(84, max(nt.pitch for nt in notes) + int(rng.integers(1, 6)))
        for k in range(voicing):
            pan = u(0.6, 1.0) * (1 if k % 2 else -1) if panned else u(-1, 1)
            partials, tilt = int(rng.integers(3, 11)), u(0.8, 1.6)
            bounds = [0.0, song.seconds] if held else \
                list(np.arange(0.0, song.seconds, song.bar * float(rng.choice([0.5, 1, 2])))) + [song.seconds]
            shift = song.bar * int(rng.integers(1, 4)) if rng.random() < 0.3 else 0.0
            for a, b in zip(bounds[:-1], bounds[1:]):
                pcs, _ = song.chord_at((a + shift) % song.seconds)
                pitch = low + (pcs[k % len(pcs)] - low) % 12 + 12 * (k // len(pcs))
                i, j = int(a * SR), min(n, int(b * SR))
                seg = harmonic(np.full(j - i, float(ins.hz(pitch))), partials, tilt)
                ramp = np.minimum(1, np.minimum(np.arange(j - i), np.arange(j - i)[::-1]) / (0.01 * SR))
                stems["other"][i:j] += pr.pan_mono(seg * ramp, pan)
        desc["other"] = f"chords{voicing}" + (" held" if held else "")
    if present["bass"]:
        low = int(rng.choice([28, 31, 33, 36, 38, 40]))
        line, notes = music.bass_line(rng, song, low, "whole" if rng.random() < 0.5 else None)
        f0, on = pitch_track(notes, n, 0.005, False)
        stems["bass"] = pr.pan_mono(harmonic(f0, int(rng.integers(1, 5)), u(0.8, 2)) * on, 0.0)
        desc["bass"] = line
    if present["drums"]:
        if rng.random() < 0.5:
            period, burst = u(0.125, 0.6), int(u(0.002, 0.01) * SR)
            x = np.zeros(n)
            for s in np.arange(u(0, period), n / SR, period):
                i = int(s * SR)
                m = min(burst, n - i)
                x[i:i + m] += rng.standard_normal(m) * np.exp(-5 * np.arange(m) / burst)
            stems["drums"] = pr.pan_mono(x, 0.0)
            desc["drums"] = f"clicks {period:.2f}"
        else:
            hits = dr.hits_for(rng, song, style)
            stems["drums"] = dr.render_samples(rng, dr.synth_kit(rng), hits, n, dr.kit_pans(rng))
            desc["drums"] = "synth"
    for s in ("drums", "bass", "other"):
        r = np.sqrt(np.mean(stems[s] ** 2))
        if r > 1e-9:
            stems[s] *= 10 ** ((-20 + u(-8, 2)) / 20) / r
    v = stems["vocals"]
    if v.any():
        # the lead from 8 dB under the band to 4 dB over it, where it sounds
        act = np.abs(v[:, 0]) + np.abs(v[:, 1]) > 0
        band = sum(stems[s] for s in ("drums", "bass", "other"))
        ref = max(np.sqrt(np.mean(band[act] ** 2)), 10 ** (-26 / 20))
        stems["vocals"] = v * (ref * 10 ** (u(-8, 4) / 20) / np.sqrt(np.mean(v[act] ** 2)))
    meta.update(vocals=desc.get("vocals", "none"), drums=desc.get("drums", "none"),
                bass=desc.get("bass", "none"), other=desc.get("other", "none"))
    return stems
