#!/usr/bin/python3
"""set_stats.py SETDIR: a listen-free look at a rendered set.

Levels per stem (RMS dBFS over the whole track, silent stems left out), how much of each
vocal stem sounds (100 ms frames within 40 dB of its loudest), mix peaks, vocal-to-band
ratios, the shares of instrumental and mono tracks, the largest |mix - sum of stems|, and
how often each style, vocal kind, bank and kit was drawn.
"""
import csv
import os
import sys
from collections import Counter

import numpy as np
import soundfile as sf

STEMS = ("vocals", "drums", "bass", "other", "mix")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    d = sys.argv[1]
    rows = list(csv.DictReader(open(os.path.join(d, "meta.csv"))))
    n = len(rows)
    inst = sum(int(r["instrumental"]) for r in rows)
    mono = sum(int(r["mono"]) for r in rows)
    print(f"{n} tracks; instrumental {inst} ({inst / n:.0%}), mono {mono} ({mono / n:.0%}); "
          f"largest |mix - sum of stems| {max(float(r['sum_dev_lsb']) for r in rows):.3f} 16-bit steps")
    lv = {s: [] for s in STEMS}
    act, peaks = [], []
    for r in rows:
        t = os.path.join(d, r["track"])
        for s in STEMS:
            x = sf.read(os.path.join(t, s + ".wav"), always_2d=True)[0]
            if s == "mix":
                peaks.append(20 * np.log10(np.max(np.abs(x))))
            if not np.any(x):
                continue
            lv[s].append(10 * np.log10(np.mean(x ** 2)))
            if s == "vocals":
                fr = x[: len(x) // 4410 * 4410].reshape(-1, 4410, x.shape[1])
                e = 10 * np.log10(np.mean(fr ** 2, axis=(1, 2)) + 1e-20)
                act.append(float(np.mean(e > e.max() - 40)))
    for s, v in lv.items():
        if v:
            print(f"{s:7s} RMS dBFS over {len(v):3d} tracks: median {np.median(v):6.1f}, "
                  f"range {np.min(v):6.1f} to {np.max(v):6.1f}")
    if act:
        print(f"vocal stem sounding: median {np.median(act):.2f} of the track, range {min(act):.2f} to {max(act):.2f}")
    print(f"mix peaks: {min(peaks):.1f} to {max(peaks):.1f} dBFS")
    vb = [float(r["vbr_db"]) for r in rows if r.get("vbr_db")]
    if vb:
        print(f"vocal-to-band ratio: {min(vb):.1f} to {max(vb):.1f} dB")
    cpu = [float(r["cpu_s"]) for r in rows if r.get("cpu_s")]
    if cpu:
        print(f"processor time per track: mean {np.mean(cpu):.1f} s, max {np.max(cpu):.1f} s")
    for k, f in (("style", lambda r: r["style"]), ("vocal kind", lambda r: r["vocal_kind"]),
                 ("other stem bank", lambda r: r["soundfont"]),
                 ("drums", lambda r: r["drums"].split(":")[0].split()[0]),
                 ("bass", lambda r: r["bass"].split(":")[1])):
        print(f"{k}: " + ", ".join(f"{a} {b}" for a, b in Counter(map(f, rows)).most_common()))


if __name__ == "__main__":
    main()
