#!/usr/bin/env python3
"""Writes labelled General-MIDI tracks for scoring the tempo and key estimators.

Usage: [ROTATE=0.3] bench/make_eval_set.py OUTDIR [COUNT] [SEED]
       bench/render_eval_set.sh OUTDIR      (renders OUTDIR/*.mid to 30-second WAV files)

Each track is a multi-instrument arrangement in one of the styles the estimators are judged
on (pop/rock backbeat, four-on-the-floor dance, half-time, shuffle, 3/4 waltz, bossa, ballad,
no drums), with its tempo and key known by construction; OUTDIR/labels.csv has
file,bpm,tonic,mode,style,channels like bench/analysis.sh expects. Arrangements follow the
conventions of the tracks the project is developed on: a four-chord loop laid from the first
bar (one chord a bar, two in bossa), parts entering over the first bars, drum fills closing
every fourth bar, a lead whose phrases lean on the tonic, humanised timing and velocity.
Tempo labels are the notated beat (half-time carries its notated tempo, waltzes the quarter
note, ballads the notated beat under eighth-note hi-hats). Standard library only.
"""
import os
import random
import struct
import sys

DIV = 960
# Share of loops that open on a chord other than their first (environment ROTATE, default 0;
# sets made without it are unchanged).
ROTATE = float(os.environ.get("ROTATE", "0"))
NAMES = "C Db D Eb E F F# G Ab A Bb B".split()
MAJOR = [0, 2, 4, 5, 7, 9, 11]
MINOR = [0, 2, 3, 5, 7, 8, 10]

# Tempo ranges (notated beat) and beats per bar.
STYLES = {
    "poprock": ((100, 180), 4), "dance": ((116, 142), 4), "halftime": ((118, 165), 4),
    "shuffle": ((70, 165), 4), "waltz": ((100, 190), 3), "bossa": ((125, 145), 4),
    "ballad": ((60, 90), 4), "nodrums": ((70, 130), 4),
}

# Loops as (root offset from the tonic, quality); qualities: M, m, 7 (dominant), M7, m7.
MAJOR_LOOPS = [
    ([(0, "M"), (5, "M"), (7, "M"), (0, "M")], 2),
    ([(0, "M"), (7, "M"), (9, "m"), (5, "M")], 3),
    ([(0, "M"), (9, "m"), (5, "M"), (7, "M")], 2),
    ([(2, "m7"), (7, "7"), (0, "M7"), (0, "M7")], 4),
]
MINOR_LOOPS = [
    ([(0, "m"), (5, "m"), (7, "M"), (0, "m")], 1),
    ([(0, "m"), (8, "M"), (3, "M"), (10, "M")], 5),
    ([(0, "m"), (10, "M"), (8, "M"), (7, "M")], 3),
    ([(0, "m"), (5, "m"), (8, "M"), (7, "M")], 2),
]
QUALITY = {"M": [0, 4, 7], "m": [0, 3, 7], "7": [0, 4, 7, 10], "M7": [0, 4, 7, 11],
           "m7": [0, 3, 7, 10]}

COMP_PROGRAMS = [0, 1, 2, 4, 5, 16, 24, 25, 26, 27, 88]
BASS_PROGRAMS = [32, 33, 34, 38, 39]
LEAD_PROGRAMS = [11, 12, 17, 18, 21, 40, 65, 68, 71, 73, 80, 81]
PAD_PROGRAMS = [48, 49, 88, 89, 91]
KITS = [0, 8, 16, 24, 25, 32, 40]


def vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.insert(0, (n & 0x7F) | 0x80)
        n >>= 7
    return bytes(out)


def chunk(events):
    # Note-offs before note-ons at the same tick, so repeated notes retrigger.
    order = {0x80: 1, 0x90: 2}
    events.sort(key=lambda e: (e[0], order.get(e[1][0] & 0xF0, 0)))
    data, last = b"", 0
    for t, ev in events:
        data += vlq(max(0, t - last)) + ev
        last = max(last, t)
    data += b"\x00\xff\x2f\x00"
    return b"MTrk" + struct.pack(">I", len(data)) + data


class Part:
    def __init__(self, rng, name, channel, program, volume):
        self.rng, self.ch, self.ev = rng, channel, []
        self.ev.append((0, b"\xff\x03" + vlq(len(name)) + name.encode()))
        if channel != 9:
            self.ev.append((0, bytes([0xC0 | channel, program])))
        else:
            self.ev.append((0, bytes([0xC9, program])))
        pan = 64 if channel == 9 or name == "bass" else rng.randint(30, 96)
        for cc, v in ((7, volume), (10, pan), (91, rng.randint(15, 80)),
                      (93, 0 if channel == 9 or name == "bass" else rng.randint(0, 30))):
            self.ev.append((0, bytes([0xB0 | channel, cc, v])))

    def note(self, tick, pitch, vel, length, jitter=10):
        t = max(0, int(tick) + self.rng.randint(-jitter, jitter))
        v = max(1, min(127, int(vel) + self.rng.randint(-6, 6)))
        length = max(30, int(length) - self.rng.randint(0, 40))
        self.ev.append((t, bytes([0x90 | self.ch, pitch, v])))
        self.ev.append((t + length, bytes([0x80 | self.ch, pitch, 0])))


def voicing(root_pc, quality, low=52):
    """Close-position chord tones from `low` up, within an octave."""
    return sorted(low + (root_pc + i - low) % 12 for i in QUALITY[quality])


def drums_bar(part, rng, style, t0, beat, bar_index, fill, hats16, pattern_variant):
    def hit(pos, n, vel):
        part.note(t0 + pos * beat, n, vel, beat // 4, jitter=6)

    if style == "poprock":
        for pos in ((0, 2.5, 2) if pattern_variant == 0 else (0, 1.5, 2)):
            hit(pos, 36, 100)
        for pos in (1, 3):
            hit(pos, 38, 105)
        cym = 51 if pattern_variant == 1 else 42
        for k in range(8):
            hit(k * 0.5, cym, 80 if k % 2 == 0 else 60)
        if rng.random() < 0.5:
            for pos in (1, 3):
                hit(pos, 54, 65)
    elif style == "dance":
        for k in range(4):
            hit(k, 36, 110)
            hit(k + 0.5, 46, 80)
        clap = 39 if pattern_variant else 38
        hit(1, clap, 100)
        hit(3, clap, 100)
        if hats16:
            for k in range(16):
                if k % 4 != 2:
                    hit(k * 0.25, 42, 60 if k % 2 == 0 else 45)
        for k in range(8):
            hit(k * 0.5, 70, 65 if k % 2 == 0 else 50)
    elif style == "halftime":
        hit(0, 36, 105)
        hit(2.5 if pattern_variant == 0 else 3, 36, 90)
        if pattern_variant == 1:
            hit(1.5, 36, 85)
        hit(2, 38, 110)
        step = 0.25 if hats16 else 0.5
        for k in range(int(4 / step)):
            hit(k * step, 42, 75 if (k * step) % 1 == 0 else 55)
    elif style == "shuffle":
        hit(0, 36, 100)
        hit(2, 36, 95)
        if pattern_variant:
            hit(2 + 2 / 3, 36, 75)
        hit(1, 38, 100)
        hit(3, 38, 100)
        for k in range(4):
            hit(k, 42, 80)
            hit(k + 2 / 3, 42, 55)
    elif style == "waltz":
        hit(0, 36, 100)
        for pos in (1, 2):
            hit(pos, 37 if pattern_variant else 38, 65)
        for pos in (0, 1, 2):
            hit(pos, 42, 70)
    elif style == "bossa":
        for pos, v in ((0, 80), (1.5, 65), (2, 85), (3.5, 65)):
            hit(pos, 36, v)
        clave = (0, 1.5, 3) if bar_index % 2 == 0 else (1, 2.5)
        for pos in clave:
            hit(pos, 37, 85)
        hit(1, 44, 55)
        hit(3, 44, 55)
        shaker = 70 if pattern_variant else 69
        for k in range(8):
            hit(k * 0.5, shaker, 65 if k % 2 == 0 else 45)
    elif style == "ballad":
        hit(0, 36, 85)
        if pattern_variant:
            hit(2.5, 36, 65)
        for pos in (1, 3):
            hit(pos, 37 if rng.random() < 0.8 else 38, 70)
        for k in range(8):
            hit(k * 0.5, 42, 60 if k % 2 == 0 else 42)
    if fill and style not in ("waltz", "bossa"):
        # Tom fill over the last beat of the phrase.
        hit(3 if style != "shuffle" else 3, 50, 95)
        hit(3.25 if style != "shuffle" else 3 + 1 / 3, 47, 95)
        hit(3.5 if style != "shuffle" else 3 + 2 / 3, 45, 100)
        if style != "shuffle":
            hit(3.75, 43, 100)


def make_track(rng, style):
    (lo, hi), beats = STYLES[style]
    bpm = rng.uniform(lo, hi)
    bpm = float(round(bpm)) if rng.random() < 0.5 else round(bpm, 2)
    tonic = rng.randrange(12)
    minor = rng.random() < 0.5
    loops = MINOR_LOOPS if minor else MAJOR_LOOPS
    loop = rng.choices([l for l, _ in loops], [w for _, w in loops])[0]
    if minor and rng.random() < 0.3:
        # The dominant is minor in some minor loops.
        loop = [(o, "m" if (o == 7 and q == "M") else q) for o, q in loop]
    if ROTATE > 0.0 and rng.random() < ROTATE:
        # The loop opens on another of its chords (III-VII-i-VI, VI-III-VII-i...); the tonic
        # is still the chord the music resolves to.
        turn = rng.randrange(1, 4)
        loop = loop[turn:] + loop[:turn]
    sevenths = rng.random() < 0.3
    if sevenths:
        loop = [(o, {"M": "M7" if o in (0, 5, 3, 8) else "7", "m": "m7"}.get(q, q)) for o, q in loop]
    chord_bars = 2 if style == "bossa" and rng.random() < 0.8 else 1
    beat = DIV
    bar = beats * beat
    nbars = int(32.2 * bpm / 60.0 / beats) + 1
    scale = MINOR if minor else MAJOR

    def chord_at(b):
        off, q = loop[(b // chord_bars) % 4]
        return (tonic + off) % 12, q

    # Entry bars: the loop runs from bar 0 whatever enters when.
    def entry(choices):
        return rng.choice(choices)

    has_drums = style != "nodrums"
    drum_in = entry([0, 0, 0, 0, 2]) if has_drums else None
    comp_in = entry([0, 0, 0, 2, 4])
    bass_in = entry([0, 0, 0, 2, 2])
    if min(x for x in (drum_in, comp_in, bass_in) if x is not None) > 0:
        comp_in = 0
    lead_in = None if rng.random() < 0.2 else entry([0, 1, 2, 3, 4, 4, 5, 7])
    pad = style not in ("nodrums",) and rng.random() < 0.35

    tempo_ev = [(0, b"\xff\x51\x03" + int(round(60e6 / bpm)).to_bytes(3, "big")),
                (0, b"\xff\x58\x04" + bytes([beats, 2, 24, 8]))]
    sf = [0, -5, 2, -3, 4, -1, 6, 1, -4, 3, -2, 5][tonic] if not minor else \
        [-3, 4, -1, -6, 1, -4, 3, -2, 5, 0, -5, 2][tonic]
    tempo_ev.append((0, b"\xff\x59\x02" + bytes([sf & 0xFF, 1 if minor else 0])))
    parts = []

    # Accompaniment.
    nylon = style == "nodrums"
    comp = Part(rng, "guitar" if nylon else "comp", 0,
                rng.choice([24, 25]) if nylon else rng.choice(COMP_PROGRAMS), rng.randint(80, 105))
    swing = style == "shuffle"
    comp_variant = rng.randrange(3)
    for b in range(comp_in, nbars):
        t0 = b * bar
        root, q = chord_at(b)
        notes = voicing(root, q, rng.choice([52, 55, 57]) if not nylon else 55)
        vel = rng.randint(70, 90)
        if style == "poprock":
            pos = [(0, 1.4), (1.5, 1.4), (3, 0.9)] if comp_variant < 2 else \
                [(k * 0.5, 0.45) for k in range(8)]
        elif style == "dance":
            if comp_variant == 0:
                arp = [(k * 0.25, 0.25, notes[k % len(notes)]) for k in range(16)]
                for p, d, n in arp:
                    comp.note(t0 + p * beat, n, vel - 10, d * beat)
                continue
            pos = [(0, 3.8)] if comp_variant == 1 else [(k + 0.5, 0.4) for k in range(4)]
        elif style == "halftime":
            pos = [(0, 1.9), (2, 1.9)] if comp_variant < 2 else [(0, 3.8)]
        elif style == "shuffle":
            pos = [(1, 0.6), (3, 0.6), (3 + 2 / 3, 0.3)] if comp_variant < 2 else \
                [(0, 1.5), (1 + 2 / 3, 0.9), (3 + 2 / 3, 0.3)]
        elif style == "waltz":
            pos = [(0, 2.8)] if comp_variant < 2 else [(1, 0.9), (2, 0.9)]
        elif style == "bossa":
            pos = [(0, 0.9), (1, 0.5), (1.5, 1.4), (3, 0.9)] if b % 2 == 0 else \
                [(0, 0.9), (1, 1.4), (2.5, 1.4)]
        elif style == "ballad":
            if comp_variant < 2:
                arp = notes + [n + 12 for n in notes]
                seq = [arp[0], arp[1], arp[2], arp[3], arp[4 % len(arp)], arp[3], arp[2], arp[1]]
                for k, n in enumerate(seq):
                    comp.note(t0 + k * 0.5 * beat, n, vel - 10, 0.5 * beat)
                continue
            pos = [(0, 3.9)]
        else:  # fingerpicked guitar, thumb on the bass part below
            seq = [notes[0], notes[1], notes[2], notes[1]] * 2
            for k, n in enumerate(seq):
                comp.note(t0 + k * 0.5 * beat, n, vel - 5, 0.5 * beat)
            continue
        for p, d in pos:
            if p >= beats:
                continue
            for n in notes:
                comp.note(t0 + p * beat, n, vel, min(d, beats - p) * beat)
    parts.append(comp)

    # Bass.
    bass = Part(rng, "guitar-thumb" if nylon else "bass", 1,
                comp.ev[1][1][1] if nylon else rng.choice(BASS_PROGRAMS), rng.randint(95, 112))
    bass_variant = rng.randrange(3)
    for b in range(bass_in, nbars):
        t0 = b * bar
        root, q = chord_at(b)
        r = 36 + (root - 36) % 12
        if r > 45:
            r -= 12
        if nylon:
            r += 12
        fifth = r + 7
        if style in ("poprock", "dance"):
            if bass_variant == 0:
                pat = [(k * 0.5, r, 0.45) for k in range(8)]
            elif bass_variant == 1 and style == "dance":
                pat = [(k * 0.5, r + 12 * (k % 2), 0.45) for k in range(8)]
            else:
                pat = [(0, r, 1.4), (1.5, r, 0.45), (2, r, 0.9), (3, fifth, 0.45), (3.5, r + 12, 0.45)]
        elif style == "halftime":
            pat = [(0, r, 1.4), (1.5, r, 0.9), (2.5, r, 1.4)] if bass_variant < 2 else \
                [(k * 0.5, fifth if k == 6 else r, 0.45) for k in range(8)]
        elif style == "shuffle":
            if bass_variant == 0:
                pat = [(0, r, 0.9), (1, fifth, 0.9), (2, r + 12, 0.9), (3, fifth, 0.9)]
            else:
                pat = [(0, r, 0.6), (2 / 3, r, 0.3), (1, fifth, 0.6), (1 + 2 / 3, fifth, 0.3),
                       (2, r + 12, 0.6), (2 + 2 / 3, r + 12, 0.3), (3, fifth, 0.6),
                       (3 + 2 / 3, fifth, 0.3)]
        elif style == "waltz":
            pat = [(0, r, 1.9), (2, fifth, 0.9)] if bass_variant < 2 else [(0, r, 2.8)]
        elif style == "bossa":
            pat = [(0, r, 1.4), (1.5, fifth, 0.45), (2, fifth, 1.4), (3.5, r, 0.45)]
        elif style == "ballad":
            pat = [(0, r, 3.8)] if bass_variant == 0 else [(0, r, 2.9), (3, fifth, 0.9)]
        else:
            pat = [(0, r, 1.9), (2, fifth, 1.9)]
        for p, n, d in pat:
            bass.note(t0 + p * beat, n, rng.randint(90, 105), d * beat)
    parts.append(bass)

    # Pad.
    if pad:
        pp = Part(rng, "pad", 3, rng.choice(PAD_PROGRAMS), rng.randint(55, 80))
        for b in range(max(comp_in, 0), nbars):
            root, q = chord_at(b)
            for n in voicing(root, q, 57)[:3]:
                pp.note(b * bar, n, 60, bar - 20)
        parts.append(pp)

    # Lead: phrases of four bars, stepwise through the scale, chord tones on strong beats,
    # many phrases closing on a long tonic.
    if lead_in is not None:
        lead = Part(rng, "lead", 2, rng.choice(LEAD_PROGRAMS), rng.randint(90, 110))
        low = 67 + rng.randint(-3, 4)
        pitches = [low + ((tonic - low) % 12) + o + 12 * k for k in (-1, 0, 1) for o in scale]
        pitches = sorted(p for p in pitches if low - 2 <= p <= low + 17)
        idx = rng.randrange(len(pitches))
        cells4 = [[(0, 1.5), (1.5, 0.5), (2, 2)], [(0.5, 0.5), (1, 0.5), (1.5, 1.5), (3, 1)],
                  [(0, 1), (1, 1), (2, 1), (3, 1)], [(1, 1), (2, 0.5), (2.5, 1.5)],
                  [(0, 2), (2, 1), (3, 1)], [(0, 0.5), (0.5, 0.5), (1, 1), (2, 2)]]
        cells3 = [[(0, 1.5), (1.5, 0.5), (2, 1)], [(0, 1), (1, 1), (2, 1)], [(0, 3)],
                  [(0, 2), (2, 1)]]
        for b in range(lead_in, nbars):
            t0 = b * bar
            phrase_pos = (b - lead_in) % 4
            if phrase_pos == 3 and rng.random() < 0.25:
                continue  # breath
            root, q = chord_at(b)
            chord_pcs = {(root + i) % 12 for i in QUALITY[q]}
            if phrase_pos == 3 and (b - lead_in) % 8 == 7 and rng.random() < 0.6:
                target = [i for i, p in enumerate(pitches) if p % 12 == tonic]
                idx = min(target, key=lambda i: abs(i - idx))
                lead.note(t0, pitches[idx], 95, (beats - 0.2) * beat)
                continue
            cells = cells3 if beats == 3 else cells4
            for p, d in rng.choice(cells):
                step = rng.choice([-2, -1, -1, 0, 1, 1, 2])
                idx = max(0, min(len(pitches) - 1, idx + step))
                if p % 1 == 0 and pitches[idx] % 12 not in chord_pcs and rng.random() < 0.7:
                    near = [i for i, x in enumerate(pitches) if x % 12 in chord_pcs]
                    idx = min(near, key=lambda i: abs(i - idx))
                lead.note(t0 + p * beat, pitches[idx], 95, d * beat * 0.95)
        parts.append(lead)

    if has_drums:
        dr = Part(rng, "drums", 9, rng.choice(KITS), rng.randint(88, 105))
        fills = rng.random() < 0.7
        hats16 = rng.random() < 0.4
        variant = rng.randrange(2)
        for b in range(drum_in, nbars):
            if b == drum_in or (b % 8 == 0 and rng.random() < 0.5):
                dr.note(b * bar, 49, 100, beat)
            drums_bar(dr, rng, style, b * bar, beat, b, fills and b % 4 == 3, hats16, variant)
        parts.append(dr)

    header = b"MThd" + struct.pack(">IHHH", 6, 1, 1 + len(parts), DIV)
    data = header + chunk(tempo_ev) + b"".join(chunk(p.ev) for p in parts)
    return data, bpm, NAMES[tonic], "minor" if minor else "major"


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 120
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    rng = random.Random(seed)
    os.makedirs(out, exist_ok=True)
    rows = []
    styles = list(STYLES)
    for i in range(count):
        style = styles[i % len(styles)]
        data, bpm, tonic, mode = make_track(rng, style)
        name = "e%03d" % i
        with open(os.path.join(out, name + ".mid"), "wb") as f:
            f.write(data)
        rows.append("%s.wav,%.3f,%s,%s,%s,2" % (name, bpm, tonic, mode, style))
    with open(os.path.join(out, "labels.csv"), "w") as f:
        f.write("file,bpm,tonic,mode,style,channels\n" + "\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
