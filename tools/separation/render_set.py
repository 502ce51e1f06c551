#!/usr/bin/python3
"""render_set.py: renders a set of synthetic multitracks whose true stems are known.

    render_set.py OUTDIR --seed S --count N [--start I]
                  [--kind varied|instrumental|mono-reverb|plain|tones|tones-under|tones-panned]
                  [--seconds SEC] [--mono-share 0.25] [--jobs 2] [--nice 10]

Writes OUTDIR/track_NNN/mix.wav (16-bit PCM, 44.1 kHz; 2 channels, or 1 for a track mixed
to mono), OUTDIR/track_NNN/{vocals,drums,bass,other}.wav (32-bit float, the same channels),
OUTDIR/track_NNN/meta.json, and OUTDIR/meta.csv (every choice per track, one row each) and
OUTDIR/set.txt.  Track NNN is a pure function of (seed, NNN, kind, seconds, mono share):
rendering a larger count later adds tracks and keeps the earlier ones; tracks already on
disk with their meta.json are kept (delete the folder to render anew).

Each mix is the sum of its four stems up to the 16-bit rounding of the mix; the largest
deviation, in 16-bit steps, is checked (at most half a step) and recorded per track.
"""
import argparse
import csv
import json
import os
import resource
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import soundfile as sf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from multitrack import render  # noqa: E402

SR = 44100


def write_track(outdir, seed, index, kind, seconds, mono_share):
    d = os.path.join(outdir, f"track_{index:03d}")
    mpath = os.path.join(d, "meta.json")
    if os.path.isfile(mpath):
        return json.load(open(mpath)), 0.0
    t0 = time.time()
    c0 = _cpu()
    stems, meta = render.render_track(seed, index, seconds, kind, mono_share)
    os.makedirs(d, exist_ok=True)
    stems32 = {s: stems[s].astype(np.float32) for s in render.STEMS}
    total = sum(stems32[s].astype(np.float64) for s in render.STEMS)
    q = np.clip(np.round(total * 32768.0), -32768, 32767).astype(np.int16)
    for s in render.STEMS:
        sf.write(os.path.join(d, f"{s}.wav"), stems32[s], SR, subtype="FLOAT")
    sf.write(os.path.join(d, "mix.wav"), q, SR, subtype="PCM_16")
    # read back what was written: the files themselves must add up
    mix = sf.read(os.path.join(d, "mix.wav"), dtype="float64", always_2d=True)[0]
    back = sum(sf.read(os.path.join(d, f"{s}.wav"), dtype="float64", always_2d=True)[0]
               for s in render.STEMS)
    dev = float(np.max(np.abs(mix - back))) * 32768.0
    if dev > 0.5 + 1e-3:
        raise RuntimeError(f"track {index}: mix differs from the sum of its stems by {dev:.3f} steps")
    meta["channels"] = int(q.shape[1])
    meta["sum_dev_lsb"] = f"{dev:.4f}"
    meta["render_s"] = f"{time.time() - t0:.2f}"
    meta["cpu_s"] = f"{_cpu() - c0:.2f}"
    with open(mpath + ".tmp", "w") as f:
        json.dump(meta, f)
    os.replace(mpath + ".tmp", mpath)
    return meta, time.time() - t0


def _cpu():
    """Processor seconds of this process and of the tools it has run and waited for."""
    a = resource.getrusage(resource.RUSAGE_SELF)
    b = resource.getrusage(resource.RUSAGE_CHILDREN)
    return a.ru_utime + a.ru_stime + b.ru_utime + b.ru_stime


def _job(a):
    return write_track(*a)


def _nice(k):
    try:
        os.nice(k)
    except OSError:
        pass


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("outdir")
    ap.add_argument("--seed", type=int, required=True)
    ap.add_argument("--count", type=int, required=True)
    ap.add_argument("--start", type=int, default=0, help="first track index [0]")
    ap.add_argument("--kind", choices=render.KINDS, default="varied")
    ap.add_argument("--seconds", type=float, default=None, help="track length [random 20-30 s]")
    ap.add_argument("--mono-share", type=float, default=0.25, help="share of tracks mixed to mono")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--nice", type=int, default=10, help="niceness added to this process [10]")
    a = ap.parse_args()
    if a.seed == 7:
        ap.error("seed 7 makes the separation kit's development set: use another seed")
    _nice(a.nice)
    os.makedirs(a.outdir, exist_ok=True)
    todo = [(a.outdir, a.seed, i, a.kind, a.seconds, a.mono_share)
            for i in range(a.start, a.start + a.count)]
    t0 = time.time()
    rows, rendered = [], 0
    if a.jobs > 1:
        with ProcessPoolExecutor(max_workers=a.jobs) as ex:
            for meta, dt in ex.map(_job, todo):
                rows.append(meta)
                rendered += dt > 0
                print(f"{meta['track']} {meta['render_s']} s  {meta['style']}  vocals: {meta['vocals']}",
                      flush=True)
    else:
        for t in todo:
            meta, dt = _job(t)
            rows.append(meta)
            rendered += dt > 0
            print(f"{meta['track']} {meta['render_s']} s  {meta['style']}  vocals: {meta['vocals']}", flush=True)
    wall = time.time() - t0
    # meta.csv covers every track in the folder (earlier runs included)
    allrows = []
    for name in sorted(os.listdir(a.outdir)):
        p = os.path.join(a.outdir, name, "meta.json")
        if name.startswith("track_") and os.path.isfile(p):
            allrows.append(json.load(open(p)))
    keys = []
    for r in allrows:
        keys += [k for k in r if k not in keys]
    with open(os.path.join(a.outdir, "meta.csv"), "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=keys, restval="")
        w.writeheader()
        w.writerows(allrows)
    n = len(allrows)
    inst = sum(int(r["instrumental"]) for r in allrows)
    mono = sum(int(r["mono"]) for r in allrows)
    dev = max(float(r["sum_dev_lsb"]) for r in allrows)
    audio = sum(float(r["seconds"]) for r in allrows)
    with open(os.path.join(a.outdir, "set.txt"), "w") as f:
        f.write(f"trackloom multitrack generator, seed {a.seed}, kind {a.kind}, {n} tracks, "
                f"{audio:.0f} s of audio; instrumental {inst}, mono {mono}; "
                f"largest |mix - sum of stems| {dev:.3f} 16-bit steps\n")
        f.write(" ".join(sys.argv) + "\n")
    speed = rendered / (wall / 60) if rendered else float("nan")
    new = [float(r["cpu_s"]) for r in rows if "cpu_s" in r]
    cpu = f"{np.mean(new):.1f} processor s a track, " if new else ""
    print(f"{rendered} tracks rendered in {wall:.0f} s ({speed:.2f} tracks/min, {a.jobs} jobs, "
          f"{cpu}on this machine's load); "
          f"set: {n} tracks, {inst} instrumental, {mono} mono, largest sum deviation {dev:.3f} steps")


if __name__ == "__main__":
    main()
