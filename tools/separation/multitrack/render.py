"""One track, as a pure function of (seed, index, options): the score, the stems played
and produced one by one, the bus limiter and the final level.  Returns the four true
stems (each (frames, channels) float64, summing to the mix) and a row of every choice.
"""
import subprocess

import numpy as np

from . import drums as dr
from . import instruments as ins
from . import music, production as pr
from . import tones as tn
from . import voices as vo
from .tables import DRUM_STYLES, VOICE_RANGE

SR = ins.SR
STEMS = ("vocals", "drums", "bass", "other")
KINDS = ("varied", "instrumental", "mono-reverb", "plain", "tones", "tones-under", "tones-panned")
# "plain": General MIDI banks for every part, a GM voice patch or speech for the lead, dry
# and centred, over a band in the synthesiser's own reverb and chorus; no production, no
# limiter, stereo: the kind of set the engine was first measured on.
# "tones": bare harmonic tones, clicks and an electronic kit, some parts missing, half the
# tracks mono (see tones.py); "tones-under": the same with the chords above the lead;
# "tones-panned": that, in stereo, the lead centred and the chord notes panned apart.


def _db(x):
    return 10 * np.log10(np.mean(x * x) + 1e-20)


def _norm(x, db=-20.0):
    """Scales to an RMS of `db` dBFS (a silent part stays silent)."""
    r = np.sqrt(np.mean(x * x))
    return x * (10 ** (db / 20) / r) if r > 1e-9 else x


def _stereo(x):
    return x if x.ndim == 2 else pr.pan_mono(x, 0.0)


def _bank_or_synth(rng, sources, p_bank):
    return str(rng.choice(sources)) if sources and rng.random() < p_bank else "synth"


def _band_space(rng, x):
    return pr.eq(x, pr.random_eq(rng))


def render_other(rng, song, n, sources, meta, plain=False):
    """1 to 3 accompaniment parts: comping, a riff or arpeggio, a pad."""
    n_parts = int(rng.choice([1, 2, 2, 3, 3]))
    bank = _bank_or_synth(rng, sources, 1.0 if plain else 0.65)
    roles = ["comp"] + list(rng.choice(["riff", "comp2", "pad", "arp"], n_parts - 1, replace=False))
    out = np.zeros((n, 2))
    descs, bank_parts = [], []
    for k, role in enumerate(roles):
        low = int(rng.integers(45, 60))
        high = low + int(rng.integers(14, 26))
        if role == "riff":
            notes = music.riff(rng, song, low + 7, high + 7)
            style = "riff"
        elif role == "pad":
            style, notes = music.comp_part(rng, song, low, high, "pad")
        elif role == "arp":
            style, notes = music.comp_part(rng, song, low + 5, high + 5, str(rng.choice(["arp_up", "arp_updown", "broken"])))
        else:
            style, notes = music.comp_part(rng, song, low, high)
        use_bank = bank != "synth" and (plain or rng.random() < 0.75)
        gain = rng.uniform(-6, 0)
        if use_bank:
            prog = ins.pick_program(rng, bank, ins.BAND_PROGRAMS)
            cc = {7: int(100 * 10 ** (gain / 40)), 10: int(rng.integers(20, 108))}
            if plain:
                cc.update({91: int(rng.integers(25, 71)), 93: int(rng.integers(0, 41))})
            bank_parts.append((len(bank_parts) if len(bank_parts) < 9 else 10, prog, 0, notes, cc))
            descs.append(f"{style}:{bank}:{prog}")
        else:
            kind = str(rng.choice(ins.SYNTH_BAND))
            if role == "pad" and rng.random() < 0.6:
                kind = "pad"
            p = ins.synth_params(kind, rng)
            x = ins.render_synth(kind, p, notes, n, rng)
            x = _norm(x, -20 + gain)
            if rng.random() < 0.3:
                part = pr.double(rng, x, 1, rng.uniform(0.3, 1.0), cents=8)
            else:
                part = pr.pan_mono(x, rng.uniform(-0.8, 0.8))
            out += part
            descs.append(f"{style}:synth-{kind}")
    if bank_parts:
        chorus = rng.random() < 0.3
        y = ins.render_midi(bank, song.tempo, bank_parts, n, chorus=chorus, room=plain)
        out += _norm(y, -20 + rng.uniform(-3, 3))
    if plain:
        meta.update(soundfont=bank if bank_parts else "synth", other="|".join(descs), other_reverb="")
        return out
    out = _band_space(rng, out)
    if rng.random() < 0.5:
        out = pr.compress(out, rng.uniform(-30, -15), rng.uniform(1.5, 4))
    out = pr.width(out, rng.uniform(0.5, 1.5))
    rt = rng.uniform(0.2, 2.5)
    wet = rng.uniform(0.05, 0.5)
    out = pr.reverb(out, pr.make_ir(rng, rt, predelay=rng.uniform(0.0, 0.03)), wet)
    meta.update(soundfont=bank if bank_parts else "synth", other="|".join(descs),
                other_reverb=f"{rt:.2f}/{wet:.2f}")
    return out


def render_bass(rng, song, n, sources, meta, plain=False):
    low = int(rng.choice([28, 31, 33, 36, 38, 40]))
    style, notes = music.bass_line(rng, song, low)
    bank = _bank_or_synth(rng, sources, 1.0 if plain else 0.5)
    if bank != "synth":
        prog = ins.pick_program(rng, bank, ins.BASS_PROGRAMS)
        cc = {91: int(rng.integers(0, 21)), 93: 0} if plain else {}
        x = ins.render_midi(bank, song.tempo, [(0, prog, 0, notes, cc)], n, room=plain)
        x = x.mean(axis=1)
        desc = f"{style}:{bank}:{prog}"
    else:
        kind = str(rng.choice(ins.SYNTH_BASS))
        x = ins.render_synth(kind, ins.synth_params(kind, rng, bass=True), notes, n, rng)
        if rng.random() < 0.3:
            x = np.tanh(rng.uniform(1, 4) * x / (np.max(np.abs(x)) + 1e-9))
        desc = f"{style}:synth-{kind}"
    x = _norm(x)
    if plain:
        meta.update(bass=desc, bass_low=low)
        return pr.pan_mono(x, 0.0)
    x = pr.pan_mono(x, rng.uniform(-0.15, 0.15))
    x = pr.eq(x, pr.random_eq(rng, low=(40, 120), high=(1500, 6000)))
    if rng.random() < 0.7:
        x = pr.compress(x, rng.uniform(-30, -18), rng.uniform(2, 6))
    if rng.random() < 0.2:
        x = pr.reverb(x, pr.make_ir(rng, rng.uniform(0.2, 0.8)), rng.uniform(0.03, 0.15))
    meta.update(bass=desc, bass_low=low)
    return x


def render_drums(rng, song, n, sources, style, meta, plain=False):
    soft = style == "ballad" or rng.random() < 0.1
    hits = dr.hits_for(rng, song, style, soft=soft)
    kinds = ["gm", "hydrogen", "synth"]
    kind = "gm" if plain else str(rng.choice(kinds, p=[0.35, 0.4, 0.25]))
    if kind == "gm" and sources:
        bank = str(rng.choice(sources))
        prog, x = dr.render_gm(rng, bank, song, hits, n, room=plain)
        desc = f"gm:{bank}:{prog}"
    elif kind == "hydrogen" and dr.hydrogen_kits():
        kits = dr.hydrogen_kits()
        kdir = str(kits[int(rng.integers(len(kits)))])
        kit = dr.load_kit(kdir)
        if style == "ballad" and rng.random() < 0.5:
            kit = dr.brushes_kit(rng, kit)
        x = dr.render_samples(rng, kit, hits, n, dr.kit_pans(rng))
        desc = "hydrogen:" + kdir.rsplit("/", 1)[-1].replace(",", " ")
    else:
        kit = dr.synth_kit(rng)
        if style == "ballad" and rng.random() < 0.5:
            kit = dr.brushes_kit(rng, kit)
        x = dr.render_samples(rng, kit, hits, n, dr.kit_pans(rng))
        desc = "synth"
    x = _norm(x)
    if plain:
        meta.update(drums=desc + (" soft" if soft else ""), drum_hits=len(hits))
        return x
    x = pr.eq(x, pr.random_eq(rng, low=(50, 150), high=(4000, 12000)))
    if rng.random() < 0.7:
        x = pr.compress(x, rng.uniform(-30, -14), rng.uniform(2, 8), attack=rng.uniform(0.001, 0.02))
    rt = rng.uniform(0.2, 1.5)
    x = pr.reverb(x, pr.make_ir(rng, rt), rng.uniform(0.03, 0.35))
    meta.update(drums=desc + (" soft" if soft else ""), drum_hits=len(hits))
    return x


def vocal_plan(rng, song):
    """Which bars sing: a late entry, a pause or two, sometimes no bridge."""
    start = int(rng.integers(0, min(4, max(1, song.n_bars // 3))))
    rests = set(int(b) for b in rng.choice(song.n_bars, int(rng.integers(0, 3)), replace=False))
    skip_bridge = rng.random() < 0.5
    return lambda b: b >= start and b not in rests and not (skip_bridge and song.sections[b] == "bridge")


def render_vocals(rng, song, n, sources, heavy_space, meta, plain=False):
    if plain:
        kind = str(rng.choice(["espeak", "gm"], p=[0.4, 0.6]))
    else:
        kind = str(rng.choice(["singer", "espeak", "festival", "gm"], p=[0.4, 0.22, 0.2, 0.18]))
    if kind == "festival" and not vo.festival_voices():
        kind = "espeak"
    vrange = str(rng.choice(list(VOICE_RANGE), p=[0.2, 0.25, 0.2, 0.25, 0.1]))
    low, high = VOICE_RANGE[vrange]
    notes = music.melody(rng, song, low, high, density=rng.uniform(0.5, 0.95), active=vocal_plan(rng, song))
    if not notes:
        notes = music.melody(rng, song, low, high, density=0.9)
    harm = []
    if kind == "singer":
        vr, p = vo.singer_params(rng, vrange)
        x = vo.singer(rng, notes, n, vr, **p)
        desc = f"singer {vr} vib{p['vib_rate']:.1f}/{p['vib_depth']:.2f}"
        if rng.random() < 0.35:
            steps = int(rng.choice([2, -2, 4, -3, 5]))
            for s in ([steps] if rng.random() < 0.6 else [steps, -steps]):
                _, p2 = vo.singer_params(rng, vrange)
                harm.append(vo.singer(rng, vo.transpose_diatonic(notes, song.scale_pcs(), s), n, vr, **p2))
            desc += f" harm{len(harm)}"
    elif kind == "gm" and sources:
        bank = str(rng.choice(sources))
        prog = ins.pick_program(rng, bank, ins.VOCAL_PROGRAMS)
        x = ins.render_midi(bank, song.tempo, [(0, prog, 0, notes, {})], n).mean(axis=1)
        desc = f"gm {bank}:{prog}"
    else:
        if kind == "gm":
            kind = "espeak"
        try:
            d, x = vo.speech_part(rng, kind, notes, n)
            desc = "speech " + d
        except (OSError, RuntimeError, subprocess.SubprocessError) as e:
            # a speech tool that fails fails the same way every time: the singer stands in,
            # and the track is still a function of its seed
            vr, p = vo.singer_params(rng, vrange)
            x = vo.singer(rng, notes, n, vr, **p)
            desc = f"singer {vr} (for {kind}: {type(e).__name__})"
            kind = "singer"
    x = _norm(x)
    active = np.zeros(n, bool)
    for nt in notes:
        active[int(nt.start * SR):int((nt.start + nt.dur) * SR)] = True
    if plain:
        meta.update(vocals=desc, vocal_kind=kind, vocal_range=vrange, vocal_echo="none",
                    vocal_reverb="", vocal_notes=len(notes))
        return pr.pan_mono(x, 0.0), active
    copies = int(rng.choice([0, 0, 0, 1, 2, 4])) if kind != "gm" else 0
    if copies:
        lead = pr.double(rng, x, copies, rng.uniform(0.2, 0.9), cents=rng.uniform(5, 20))
        desc += f" double{copies}"
    else:
        lead = pr.pan_mono(x, rng.uniform(-0.2, 0.2))
    for k, h in enumerate(harm):
        lead += pr.pan_mono(_norm(h), (-1) ** k * rng.uniform(0.2, 0.7)) * 10 ** (rng.uniform(-9, -3) / 20)
    lead = pr.eq(lead, pr.random_eq(rng, low=(80, 250), high=(4000, 12000)))
    if rng.random() < 0.75:
        lead = pr.compress(lead, rng.uniform(-32, -16), rng.uniform(2, 6))
    echo = "none"
    if rng.random() < (0.6 if heavy_space else 0.35):
        d = song.beat * float(rng.choice([0.5, 0.75, 1.0, 0.375]))
        fb, mx = rng.uniform(0.2, 0.6), rng.uniform(0.15, 0.5)
        lead = pr.delay(lead, d, fb, mx, pingpong=rng.random() < 0.5, tone=rng.uniform(2000, 8000))
        echo = f"{d:.3f}/{fb:.2f}/{mx:.2f}"
    rt = rng.uniform(1.2, 3.0) if heavy_space else rng.uniform(0.2, 3.0)
    wet = rng.uniform(0.3, 0.9) if heavy_space else rng.uniform(0.03, 0.5)
    lead = pr.reverb(lead, pr.make_ir(rng, rt, predelay=rng.uniform(0, 0.06), width=rng.uniform(0.5, 1)), wet)
    meta.update(vocals=desc, vocal_kind=kind, vocal_range=vrange, vocal_echo=echo,
                vocal_reverb=f"{rt:.2f}/{wet:.2f}", vocal_notes=len(notes))
    return lead, active


def _render_band_and_voice(rng, song, n, sources, style, kind, instrumental, meta):
    plain = kind == "plain"
    stems = {}
    stems["drums"] = render_drums(rng, song, n, sources, style, meta, plain)
    stems["bass"] = render_bass(rng, song, n, sources, meta, plain) * 10 ** (rng.uniform(-6, 2) / 20)
    stems["other"] = render_other(rng, song, n, sources, meta, plain) * 10 ** (rng.uniform(-6, 2) / 20)
    band = stems["drums"] + stems["bass"] + stems["other"]
    if instrumental:
        stems["vocals"] = np.zeros((n, 2))
        meta.update(vocals="none", vocal_kind="none", vocal_range="", vocal_echo="", vocal_reverb="",
                    vocal_notes=0, vbr_db="")
    else:
        heavy = kind == "mono-reverb" or rng.random() < 0.2
        v, active = render_vocals(rng, song, n, sources, heavy, meta, plain)
        vbr = float(rng.uniform(-8, 4))
        act = active if active.any() else np.ones(n, bool)
        g = 10 ** ((vbr - (_db(v[act]) - _db(band[act]))) / 20)
        stems["vocals"] = v * g
        meta["vbr_db"] = f"{vbr:.1f}"
    return stems


def render_track(seed, index, seconds=None, kind="varied", mono_share=0.25):
    rng = np.random.default_rng([int(seed), int(index)])
    if kind not in KINDS:
        raise ValueError(kind)
    seconds = float(seconds) if seconds else float(rng.uniform(20, 30))
    n = int(seconds * SR)
    style = str(rng.choice(list(DRUM_STYLES)))
    steps, bpb, trange, _ = DRUM_STYLES[style]
    song = music.make_song(rng, seconds, trange, bpb)
    if style in ("shuffle", "hiphop", "funk") and steps == 16:
        song.swing = float(rng.uniform(0, 0.3))
    sources = ins.available_sources()
    meta = dict(track=f"track_{index:03d}", seed=seed, index=index, kind=kind, seconds=f"{seconds:.2f}",
                style=style, tempo=f"{song.tempo:.1f}", meter=bpb, key=song.key_name(), mode=song.mode)
    plain = kind == "plain"
    tones = kind.startswith("tones")
    instrumental = kind == "instrumental" or ((kind in ("varied", "plain") or tones) and rng.random() < 0.15)
    panned = kind == "tones-panned"
    mono = rng.random() < (0.8 if kind == "mono-reverb" else 0.5 if tones else mono_share) \
        and not (plain or panned)
    if tones:
        stems = tn.render_tones(rng, song, n, style, instrumental, meta, under=kind != "tones", panned=panned)
    else:
        stems = _render_band_and_voice(rng, song, n, sources, style, kind, instrumental, meta)
    # the end of the track: a short fade in every stem alike
    f = int(0.02 * SR)
    ramp = np.ones(n)
    ramp[-f:] = np.linspace(1, 0, f)
    for s in STEMS:
        stems[s] = stems[s] * ramp[:, None]
    if mono:
        for s in STEMS:
            stems[s] = stems[s].mean(axis=1, keepdims=True)
    mix = sum(stems[s] for s in STEMS)
    lim_db = 0.0
    if rng.random() < 0.7 and not plain and not tones:
        lim_db = float(rng.uniform(0.5, 8))
        peak = np.max(np.abs(mix)) + 1e-12
        g = pr.limiter_gain(mix / peak * 10 ** (lim_db / 20), 1.0)
        for s in STEMS:
            stems[s] = stems[s] * g[:, None]
        mix = sum(stems[s] for s in STEMS)
    peak_db = float(rng.uniform(-12, -0.3))
    scale = 10 ** (peak_db / 20) / (np.max(np.abs(mix)) + 1e-12)
    for s in STEMS:
        stems[s] = stems[s] * scale
    meta.update(mono=int(mono), instrumental=int(instrumental), limiter_db=f"{lim_db:.1f}",
                peak_dbfs=f"{peak_db:.2f}")
    for s in STEMS:
        meta[f"{s}_rms_db"] = f"{_db(stems[s]):.1f}" if np.any(stems[s]) else "-inf"
    return stems, meta
