#!/usr/bin/python3
"""score_set.py: SDR of separated stems against a set's true stems.

    score_set.py SETDIR ESTDIR [ESTDIR ...]

Each ESTDIR holds ESTDIR/track_NNN/{vocals,drums,bass,other}.wav for the tracks of SETDIR.
Per track and stem, over every sample of every channel (s the truth, e the estimate cut
or zero-padded to the truth's length; a missing file counts as silence):

    SDR = 10 log10((sum s^2 + 1e-7) / (sum (s - e)^2 + 1e-7))

Prints per method the median over tracks of each stem and 'avg', the mean of the four
medians.  A stem whose truth is silent (peak below 1e-5, an instrumental's vocals) is left
out of its median, as in the separation kit's scorer; an instrumental's vocal stem is
measured instead by how far its energy lies under the mix's. Also the mono tracks' vocal
median and how closely the four stems add up to the mix.
"""
import os
import sys

import numpy as np
import soundfile as sf

STEMS = ("vocals", "drums", "bass", "other")
DELTA = 1e-7


def read(p):
    return sf.read(p, dtype="float64", always_2d=True)[0]


def sdr(s, e):
    return 10 * np.log10((np.sum(s * s) + DELTA) / (np.sum((s - e) ** 2) + DELTA))


def score(setdir, estdir):
    """Per stem the median SDR; the median of the mono tracks' vocals; per instrumental how
    far the vocal stem lies under the mix (dB of energy); the median of how closely the four
    stems add up to the mix (dB)."""
    per = {s: [] for s in STEMS}
    mono_vocals, under, adds_up = [], [], []
    tracks = sorted(t for t in os.listdir(setdir) if os.path.isfile(os.path.join(setdir, t, "mix.wav")))
    for t in tracks:
        mix = read(os.path.join(setdir, t, "mix.wav"))
        total = np.zeros_like(mix)
        for s in STEMS:
            truth = read(os.path.join(setdir, t, f"{s}.wav"))
            p = os.path.join(estdir, t, f"{s}.wav")
            e = read(p) if os.path.isfile(p) else np.zeros_like(truth)
            if e.shape[1] != truth.shape[1]:
                raise SystemExit(f"{p}: {e.shape[1]} channels, the truth has {truth.shape[1]}")
            e = e[:len(truth)] if len(e) >= len(truth) else np.vstack([e, np.zeros((len(truth) - len(e), e.shape[1]))])
            total += e
            if np.max(np.abs(truth)) < 1e-5:
                if s == "vocals":
                    under.append(10 * np.log10(np.sum(mix * mix) / (np.sum(e * e) + 1e-30)))
                continue
            per[s].append(sdr(truth, e))
            if s == "vocals" and truth.shape[1] == 1:
                mono_vocals.append(per[s][-1])
        adds_up.append(sdr(mix, total))
    med = {s: float(np.median(v)) if v else float("nan") for s, v in per.items()}
    return dict(medians=med, tracks=len(tracks), mono_vocals=mono_vocals, under=under, adds_up=adds_up)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    setdir = sys.argv[1]
    print(f"{'method':24s}" + "".join(f"{s:>9s}" for s in STEMS) + f"{'avg':>9s}"
          + f"{'mono voc':>10s}{'instr. under mix':>18s}{'sum=mix':>9s}")
    for d in sys.argv[2:]:
        r = score(setdir, d)
        med = r["medians"]
        avg = float(np.mean([med[s] for s in STEMS]))
        mono = f"{np.median(r['mono_vocals']):10.2f}" if r["mono_vocals"] else f"{'-':>10s}"
        under = (f"{np.median(r['under']):9.1f} ({np.min(r['under']):5.1f})" if r["under"]
                 else f"{'-':>17s}")
        cells = "".join(f"{v:9.2f}" if v == v else f"{'-':>9s}" for v in [med[s] for s in STEMS] + [avg])
        print(f"{os.path.basename(os.path.normpath(d))[:24]:24s}{cells}{mono} {under}"
              f"{np.median(r['adds_up']):9.1f}")
    print(f"SDR medians over {r['tracks']} tracks of {setdir} (dB). mono voc: the vocals' median over "
          "the mono tracks; instr. under mix: how far the vocal stem of an instrumental lies under "
          "the mix (median, and worst in brackets); sum=mix: how closely the four stems add up to "
          "the mix (median).")


if __name__ == "__main__":
    main()
