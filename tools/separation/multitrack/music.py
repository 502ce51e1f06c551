"""The music itself, before any sound: key, tempo, meter, sections, chord progression,
melody, bass line and the accompaniment's note patterns.  Everything here is notes
(start and length in seconds, MIDI pitch, velocity), so that every sound source below
plays the same score and a stem's content never depends on how it is rendered.
"""
from dataclasses import dataclass, field

import numpy as np

SCALES = {
    "major": (0, 2, 4, 5, 7, 9, 11),
    "minor": (0, 2, 3, 5, 7, 8, 10),
    "dorian": (0, 2, 3, 5, 7, 9, 10),
    "mixolydian": (0, 2, 4, 5, 7, 9, 10),
    "harmonic_minor": (0, 2, 3, 5, 7, 8, 11),
}
NOTE_NAMES = ("C", "C#", "D", "Eb", "E", "F", "F#", "G", "Ab", "A", "Bb", "B")

# progressions as scale degrees (0 = tonic); major-flavoured and minor-flavoured
PROGRESSIONS = {
    "major": [(0, 4, 5, 3), (0, 5, 3, 4), (5, 3, 0, 4), (0, 3, 4, 3), (0, 3, 0, 4),
              (1, 4, 0, 5), (0, 2, 3, 4), (0, 4, 3, 0), (0, 0, 3, 3, 0, 0, 4, 3)],
    "minor": [(0, 5, 2, 6), (0, 3, 4, 0), (0, 6, 5, 6), (0, 3, 6, 2), (0, 5, 3, 4),
              (0, 0, 3, 4), (0, 6, 5, 4)],
}


@dataclass
class Note:
    start: float      # seconds
    dur: float        # seconds
    pitch: int        # MIDI note number
    vel: int          # 1..127


@dataclass
class Song:
    tonic: int                  # 0..11
    mode: str
    tempo: float                # beats per minute
    beats_per_bar: int
    n_bars: int
    seconds: float
    chords: list                # per bar: list of (start_beat_in_bar, [pitch classes], root pc)
    sections: list              # per bar: section name
    swing: float = 0.0
    extra: dict = field(default_factory=dict)

    @property
    def beat(self):
        return 60.0 / self.tempo

    @property
    def bar(self):
        return self.beat * self.beats_per_bar

    def scale_pcs(self):
        return [(self.tonic + s) % 12 for s in SCALES[self.mode]]

    def key_name(self):
        return NOTE_NAMES[self.tonic] + (" minor" if self.mode in ("minor", "dorian", "harmonic_minor")
                                         else " major")

    def chord_at(self, t):
        """(pitch classes, root pc) sounding at time t seconds."""
        b = min(int(t // self.bar), self.n_bars - 1)
        beat_in_bar = (t - b * self.bar) / self.beat
        cur = self.chords[b][0]
        for c in self.chords[b]:
            if c[0] <= beat_in_bar + 1e-9:
                cur = c
        return cur[1], cur[2]


def triad(scale_pcs, degree, seventh=False):
    pcs = [scale_pcs[(degree + k) % 7] for k in ((0, 2, 4, 6) if seventh else (0, 2, 4))]
    return pcs


def make_song(rng, seconds, tempo_range=(60, 180), beats_per_bar=4):
    tonic = int(rng.integers(12))
    mode = str(rng.choice(list(SCALES), p=[0.4, 0.3, 0.1, 0.12, 0.08]))
    tempo = float(rng.uniform(*tempo_range))
    bar = 60.0 / tempo * beats_per_bar
    n_bars = int(np.ceil(seconds / bar)) + 1
    flavour = "major" if mode in ("major", "mixolydian") else "minor"
    prog = PROGRESSIONS[flavour][int(rng.integers(len(PROGRESSIONS[flavour])))]
    per_bar = int(rng.choice([1, 1, 1, 2])) if beats_per_bar == 4 else 1
    sevenths = rng.random() < 0.3
    scale_pcs = [(tonic + s) % 12 for s in SCALES[mode]]
    chords = []
    k = 0
    for b in range(n_bars):
        row = []
        for j in range(per_bar):
            deg = prog[k % len(prog)]
            k += 1
            pcs = triad(scale_pcs, deg, sevenths and rng.random() < 0.6)
            row.append((j * beats_per_bar / per_bar, pcs, pcs[0]))
        chords.append(row)
    # sections: intro (maybe), verse, chorus ..., in blocks of 4 bars
    names = []
    plan = ["intro"] if rng.random() < 0.5 else []
    plan += ["verse", "chorus", "verse", "chorus", "bridge", "chorus"]
    block = int(rng.choice([2, 4, 4]))
    i = 0
    while len(names) < n_bars:
        names += [plan[min(i, len(plan) - 1)]] * block
        i += 1
    return Song(tonic, mode, tempo, beats_per_bar, n_bars, seconds, chords, names[:n_bars])


def _voice(pcs, low, high):
    """Chord tones of the pitch classes within [low, high], sorted."""
    return [p for p in range(low, high + 1) if p % 12 in pcs]


def melody(rng, song, low, high, density=0.6, active=None):
    """A vocal-like line: phrases of one or two bars separated by rests, stepwise motion
    in the scale with chord tones on strong beats.  `active(bar)` says which bars may sing."""
    scale = song.scale_pcs()
    notes_in = [p for p in range(low, high + 1) if p % 12 in scale]
    cur = len(notes_in) // 2
    out = []
    grid = song.beat / 2
    b = 0
    while b < song.n_bars:
        if active is not None and not active(b):
            b += 1
            continue
        plen = int(rng.choice([1, 2, 2, 4]))
        t = b * song.bar + grid * int(rng.integers(0, 3))
        end = min(b + plen, song.n_bars) * song.bar - grid * float(rng.choice([1, 2, 3]))
        while t < end - grid * 0.5:
            units = int(rng.choice([1, 1, 2, 2, 3, 4, 6], p=np.array([2, 2, 3, 3, 1, 2, 1]) / 14))
            dur = min(units * grid, end - t)
            if rng.random() > density and out:
                t += dur
                continue
            step = int(rng.choice([-2, -1, -1, 0, 1, 1, 2, 3, -3]))
            cur = int(np.clip(cur + step, 0, len(notes_in) - 1))
            p = notes_in[cur]
            pcs, _ = song.chord_at(t)
            if abs((t / song.beat) - round(t / song.beat)) < 1e-6 and p % 12 not in pcs:
                cand = [i for i, q in enumerate(notes_in) if q % 12 in pcs]
                if cand:
                    cur = min(cand, key=lambda i: abs(i - cur))
                    p = notes_in[cur]
            out.append(Note(t, dur * float(rng.uniform(0.8, 1.0)), p, int(rng.integers(70, 115))))
            t += dur
        b += plen + int(rng.choice([0, 0, 1]))
    return out


def bass_line(rng, song, low, style=None):
    styles = ["whole", "roots8", "root_fifth", "octaves", "syncopated", "walking", "pedal16"]
    style = style or str(rng.choice(styles))
    out = []
    beat = song.beat
    for b in range(song.n_bars):
        for ci, (sb, pcs, root) in enumerate(song.chords[b]):
            nxt = song.chords[b][ci + 1][0] if ci + 1 < len(song.chords[b]) else song.beats_per_bar
            span = nxt - sb
            r = low + ((root - low) % 12)
            fifth = r + 7 if r + 7 <= low + 19 else r - 5
            t0 = b * song.bar + sb * beat
            v = int(rng.integers(85, 120))
            if style == "whole":
                out.append(Note(t0, span * beat * 0.95, r, v))
            elif style == "roots8":
                for k in range(int(span * 2)):
                    out.append(Note(t0 + k * beat / 2, beat / 2 * 0.8, r, v - 10 * (k % 2)))
            elif style == "root_fifth":
                for k in range(int(span)):
                    out.append(Note(t0 + k * beat, beat * 0.9, r if k % 2 == 0 else fifth, v))
            elif style == "octaves":
                for k in range(int(span * 2)):
                    out.append(Note(t0 + k * beat / 2, beat / 2 * 0.7, r + 12 * (k % 2), v))
            elif style == "syncopated":
                for pos, ln in ((0, 0.75), (0.75, 0.5), (1.5, 0.5), (2.5, 0.5), (3.0, 0.9)):
                    if pos < span:
                        p = r if rng.random() < 0.7 else fifth
                        out.append(Note(t0 + pos * beat, min(ln, span - pos) * beat * 0.9, p, v))
            elif style == "walking":
                scale = [p for p in range(low, low + 20) if p % 12 in song.scale_pcs()]
                p = r
                for k in range(int(span)):
                    out.append(Note(t0 + k * beat, beat * 0.85, p, v - 8 * (k % 2)))
                    p = scale[int(np.clip(np.searchsorted(scale, p) + rng.choice([-1, 1, 2]), 0,
                                          len(scale) - 1))]
            else:  # pedal16
                for k in range(int(span * 4)):
                    out.append(Note(t0 + k * beat / 4, beat / 4 * 0.6, r, v - 15 * (k % 2)))
    return style, [n for n in out if n.start < song.seconds]


def comp_part(rng, song, low, high, style=None):
    """Accompaniment: block chords, arpeggios, strums, sustained pads or an offbeat skank."""
    styles = ["block", "arp_up", "arp_updown", "strum8", "pad", "offbeat", "broken"]
    style = style or str(rng.choice(styles))
    out = []
    beat = song.beat
    for b in range(song.n_bars):
        for ci, (sb, pcs, root) in enumerate(song.chords[b]):
            nxt = song.chords[b][ci + 1][0] if ci + 1 < len(song.chords[b]) else song.beats_per_bar
            span = (nxt - sb) * beat
            t0 = b * song.bar + sb * beat
            tones = _voice(pcs, low, high)
            if not tones:
                continue
            v = int(rng.integers(60, 105))
            chord = tones[:4] if len(tones) > 4 and rng.random() < 0.5 else tones[-4:]
            if style in ("block", "pad"):
                for p in chord:
                    out.append(Note(t0, span * (0.98 if style == "pad" else 0.8), p, v))
            elif style in ("arp_up", "arp_updown", "broken"):
                seq = list(tones)
                if style == "arp_updown":
                    seq = seq + seq[-2:0:-1]
                elif style == "broken":
                    seq = [seq[i] for i in rng.permutation(len(seq))]
                step = beat / float(rng.choice([2, 4])) if style != "broken" else beat / 2
                k = 0
                while k * step < span - 1e-6:
                    out.append(Note(t0 + k * step, step * 1.5, seq[k % len(seq)], v - 5 * (k % 2)))
                    k += 1
            elif style == "strum8":
                k = 0
                while k * beat / 2 < span - 1e-6:
                    for j, p in enumerate(chord):
                        out.append(Note(t0 + k * beat / 2 + j * 0.012, beat / 2 * 0.9, p, v - 12 * (k % 2)))
                    k += 1
            else:  # offbeat
                k = 0
                while k * beat < span - 1e-6:
                    for p in chord:
                        out.append(Note(t0 + (k + 0.5) * beat, beat * 0.3, p, v))
                    k += 1
    return style, [n for n in out if n.start < song.seconds]


def riff(rng, song, low, high):
    """A short repeated melodic figure from the scale, one bar long, transposed with the chord."""
    scale = [p for p in range(low, high + 1) if p % 12 in song.scale_pcs()]
    steps = int(rng.choice([4, 8]))
    pat = [(int(rng.integers(len(scale))), rng.random() < 0.75) for _ in range(steps)]
    out = []
    for b in range(song.n_bars):
        _, root = song.chords[b][0][1], song.chords[b][0][2]
        shift = (root - song.tonic) % 12
        shift = shift - 12 if shift > 6 else shift
        for k, (i, on) in enumerate(pat):
            if on:
                p = int(np.clip(scale[i] + shift, low, high))
                out.append(Note(b * song.bar + k * song.bar / steps, song.bar / steps * 0.9, p,
                                int(rng.integers(70, 110))))
    return [n for n in out if n.start < song.seconds]
