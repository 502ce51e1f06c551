#!/usr/bin/python3
"""score_set.py: SDR of separated stems against a set's true stems.

    score_set.py SETDIR ESTDIR [ESTDIR ...]

Each ESTDIR holds ESTDIR/track_NNN/{vocals,drums,bass,other}.wav for the tracks of SETDIR.
Per track and stem, over every sample of every channel (s the truth, e the estimate cut
or zero-padded to the truth's length; a missing file counts as silence):

    SDR = 10 log10((sum s^2 + 1e-7) / (sum (s - e)^2 + 1e-7))

Prints per method the median over tracks of each stem and 'avg', the mean of the four
medians.  A stem whose truth is silent (peak below 1e-5, an instrumental's vocals) is left
out of its median, as in the separation kit's scorer.
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
    per = {s: [] for s in STEMS}
    tracks = sorted(t for t in os.listdir(setdir) if os.path.isfile(os.path.join(setdir, t, "mix.wav")))
    for t in tracks:
        for s in STEMS:
            truth = read(os.path.join(setdir, t, f"{s}.wav"))
            if np.max(np.abs(truth)) < 1e-5:
                continue
            p = os.path.join(estdir, t, f"{s}.wav")
            e = read(p) if os.path.isfile(p) else np.zeros_like(truth)
            if e.shape[1] != truth.shape[1]:
                raise SystemExit(f"{p}: {e.shape[1]} channels, the truth has {truth.shape[1]}")
            e = e[:len(truth)] if len(e) >= len(truth) else np.vstack([e, np.zeros((len(truth) - len(e), e.shape[1]))])
            per[s].append(sdr(truth, e))
    return {s: float(np.median(v)) if v else float("nan") for s, v in per.items()}, len(tracks)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    setdir = sys.argv[1]
    print(f"{'method':24s}" + "".join(f"{s:>9s}" for s in STEMS) + f"{'avg':>9s}")
    for d in sys.argv[2:]:
        med, n = score(setdir, d)
        avg = float(np.mean([med[s] for s in STEMS]))
        print(f"{os.path.basename(os.path.normpath(d))[:24]:24s}" + "".join(f"{med[s]:9.2f}" for s in STEMS)
              + f"{avg:9.2f}")
    print(f"SDR medians over {n} tracks of {setdir} (dB)")


if __name__ == "__main__":
    main()
