#!/usr/bin/python3
"""Trains the spectral separator's mask network on synthetic multitracks.

    train_mask_network.py --tool BUILD/bench/trackloom_mask_cues --out WEIGHTS.cpp SETDIR...
    train_mask_network.py --fixture tests/dsp/separation/spectral/trainer_fixture.h

Every SETDIR is a set made by tools/separation/render_set.py (track_NNN/mix.wav beside
its true stems). For every track the tool writes the cues the separator computes for every
fourth frame; the targets are the stems' phase-sensitive ratios of the mix in the same
frames and bins, Re(X conj S) / |X|^2 clipped to 0..1, each stem's errors weighed by the
mix's power over the stem's energy in the track, so that every stem and every track counts
alike, as in an SDR averaged over stems and tracks. Rows are drawn at random in proportion
to that weight (--rows per track); one track in four also goes in as a mono downmix. The
network (rectified hidden layers, a softmax over the four stems) is fitted by Adam on the
weighted squared error, and written as C++ (--out) and as a weight file the tool reads
(--bin). Every random choice is seeded. The stems, and so the order of the network's
outputs, are the engine's own, as the tool lists them (`trackloom_mask_cues stems`).

Needs python3-numpy and python3-soundfile.
"""
import argparse
import math
import os
import subprocess
import sys
import tempfile
import textwrap

import numpy as np
import soundfile as sf

# The network's outputs: one mask per stem (the engine's kMaskOutputs).
MASK_OUTPUTS = 4


def tool():
    """The cue program, passed to the workers through the environment."""
    return os.environ["TRACKLOOM_MASK_CUES"]


def engine_stems():
    """The stems whose masks the network gives, in the order the engine takes them, as the
    tool names them: a target in another order would teach each output another stem."""
    listed = subprocess.run([tool(), "stems"], check=True, capture_output=True,
                            text=True).stdout.split()
    if len(listed) != MASK_OUTPUTS:
        sys.exit(f"{tool()} lists {len(listed)} stems ({' '.join(listed)}), "
                 f"but the network gives {MASK_OUTPUTS} masks")
    return tuple(listed)


def read_cues(path):
    """A cue file (see mask_cues.cpp) -> frame length, hop, frame numbers, cues (frames,
    cues + frame cues, columns) and the columns' bins."""
    raw = np.fromfile(path, dtype=np.uint8)
    F, G, cols, n, hop, C = np.frombuffer(raw[:24].tobytes(), dtype="<i4")
    columns = np.frombuffer(raw[24:24 + 4 * cols].tobytes(), dtype="<u4").astype(np.int64)
    per = 8 + 4 * G + 4 * F * cols
    body = raw[24 + 4 * cols:]
    nf = len(body) // per
    body = body[: nf * per].reshape(nf, per)
    frames = np.frombuffer(body[:, :8].tobytes(), dtype="<u8").astype(np.int64)
    shared = np.frombuffer(body[:, 8:8 + 4 * G].tobytes(), dtype="<f4").reshape(nf, G, 1)
    cues = np.frombuffer(body[:, 8 + 4 * G:].tobytes(), dtype="<f4").reshape(nf, F, cols)
    cues = np.concatenate([cues, np.repeat(shared, cols, axis=2)], axis=1)
    return int(n), int(hop), frames, cues, columns


def spectra(x, n, hop, frames):
    """x (T, C) -> complex (nf, C, bins) for the given frame numbers."""
    T = len(x)
    pad = n - hop
    last = int(frames.max()) * hop + n
    xp = np.zeros((max(last, T + pad), x.shape[1]))
    xp[pad:pad + T] = x
    w = 0.5 - 0.5 * np.cos(2 * np.pi * np.arange(n) / n)
    idx = frames[:, None] * hop + np.arange(n)[None, :]
    seg = xp[idx] * w[None, :, None]          # nf, n, C
    return np.fft.rfft(seg, axis=1).transpose(0, 2, 1)


def track_rows(tdir, stems, every, rows, rng, mono=False):
    mix, sr = sf.read(os.path.join(tdir, "mix.wav"), dtype="float64", always_2d=True)
    truth = {s: sf.read(os.path.join(tdir, f"{s}.wav"), dtype="float64", always_2d=True)[0]
             for s in stems}
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tdir, "mix.wav")
        if mono:
            mix = mix.mean(axis=1, keepdims=True)
            truth = {s: v.mean(axis=1, keepdims=True) for s, v in truth.items()}
            src = os.path.join(tmp, "mono.wav")
            sf.write(src, mix.astype(np.float32), sr, subtype="FLOAT")
        out = os.path.join(tmp, "cues.bin")
        subprocess.run([tool(), "cues", src, out, str(every)], check=True)
        n, hop, frames, cues, columns = read_cues(out)
    X = spectra(mix, n, hop, frames)[:, :, columns]
    P = np.sum(np.abs(X) ** 2, axis=1)            # nf, bins
    tg, wt = [], []
    for s in stems:
        S = spectra(truth[s], n, hop, frames)[:, :, columns]
        cross = np.sum((X * np.conj(S)).real, axis=1)
        t = np.where(P > 0, cross / np.maximum(P, 1e-30), 0.25)
        E = float(np.sum(np.abs(S) ** 2)) + 1e-12
        tg.append(np.clip(t, 0.0, 1.0))
        wt.append(P / E)
    tg = np.stack(tg, -1).reshape(-1, MASK_OUTPUTS)
    wt = np.stack(wt, -1).reshape(-1, MASK_OUTPUTS)
    x = cues.transpose(0, 2, 1).reshape(-1, cues.shape[1])
    imp = wt.sum(1)
    # Keep each row with probability q = min(1, c * importance), c found by bisection so
    # that about `rows` rows are kept; the kept rows' weights are divided by q.
    lo, hi = 0.0, 1e12
    for _ in range(60):
        c = math.sqrt(max(lo, 1e-30) * hi) if lo > 0 else hi / 1e6
        k = np.minimum(1, c * imp).sum()
        if k > rows:
            hi = c
        else:
            lo = c
        if hi / max(lo, 1e-300) < 1.01:
            break
    q = np.minimum(1, lo * imp)
    keep = rng.random(len(q)) < q
    w = wt[keep] / q[keep, None]
    w /= w.sum() / MASK_OUTPUTS  # each track weighs the same
    return x[keep].astype(np.float32), tg[keep].astype(np.float32), w.astype(np.float32)


def _track_job(job):
    d, i, stems, every, rows, seed, mono = job
    rng = np.random.default_rng([seed, i, int(mono)])   # per track: any number of workers
    return track_rows(d, stems, every, rows, rng, mono=mono)


def gather(dirs, stems, every, rows, seed, mono_every=0, workers=None):
    """Cues, targets (one column per stem, in the order of `stems`) and weights of rows drawn
    from every track (and from a mono downmix of every mono_every-th track)."""
    jobs = [(d, i, stems, every, rows, seed, False) for i, d in enumerate(dirs)]
    if mono_every:
        jobs += [(d, i, stems, every, rows, seed, True)
                 for i, d in enumerate(dirs) if i % mono_every == 0]
    from multiprocessing import Pool
    with Pool(workers or os.cpu_count()) as pool:
        parts = pool.map(_track_job, jobs, chunksize=1)
    return tuple(np.concatenate([p[j] for p in parts]) for j in range(3))


def forward(p, x):
    hs = [x]
    h = x
    for i in range(p["depth"]):
        h = np.maximum(h @ p[f"W{i}"].T + p[f"b{i}"], 0)
        hs.append(h)
    z = h @ p["Wo"].T + p["bo"]
    z -= z.max(1, keepdims=True)
    e = np.exp(z)
    m = e / e.sum(1, keepdims=True)
    return hs, m


def loss_grad(p, x, t, w):
    hs, m = forward(p, x)
    d = m - t
    L = float(np.sum(w * d * d))
    gm = 2 * w * d
    gz = m * (gm - np.sum(gm * m, 1, keepdims=True))
    g = {"Wo": gz.T @ hs[-1], "bo": gz.sum(0)}
    gh = gz @ p["Wo"]
    for i in reversed(range(p["depth"])):
        gh[hs[i + 1] <= 0] = 0
        g[f"W{i}"] = gh.T @ hs[i]
        g[f"b{i}"] = gh.sum(0)
        if i > 0:
            gh = gh @ p[f"W{i}"]
    return L, g


def train(X, T, W, hidden, epochs, seed, Xv=None, Tv=None, Wv=None, lr=3e-3, batch=4096):
    rng = np.random.default_rng(seed)
    sizes = [X.shape[1]] + (list(hidden) if isinstance(hidden, (list, tuple)) else [hidden])
    p = {"depth": len(sizes) - 1}
    for i in range(len(sizes) - 1):
        p[f"W{i}"] = (rng.standard_normal((sizes[i + 1], sizes[i])) * math.sqrt(2 / sizes[i])).astype(np.float32)
        p[f"b{i}"] = np.zeros(sizes[i + 1], np.float32)
    p["Wo"] = (rng.standard_normal((MASK_OUTPUTS, sizes[-1])) * math.sqrt(1 / sizes[-1])).astype(np.float32)
    p["bo"] = np.zeros(MASK_OUTPUTS, np.float32)
    keys = [k for k in p if k != "depth"]
    mo = {k: np.zeros_like(p[k]) for k in keys}
    ve = {k: np.zeros_like(p[k]) for k in keys}
    step = 0
    N = len(X)
    for ep in range(epochs):
        order = rng.permutation(N)
        tot = 0.0
        rate = lr * (0.5 * (1 + math.cos(math.pi * ep / epochs)))
        for s in range(0, N, batch):
            b = order[s:s + batch]
            L, g = loss_grad(p, X[b], T[b], W[b])
            tot += L
            step += 1
            for k in keys:
                mo[k] = 0.9 * mo[k] + 0.1 * g[k]
                ve[k] = 0.999 * ve[k] + 0.001 * g[k] ** 2
                mh = mo[k] / (1 - 0.9 ** step)
                vh = ve[k] / (1 - 0.999 ** step)
                p[k] -= (rate * mh / (np.sqrt(vh) + 1e-8)).astype(np.float32)
        msg = f"epoch {ep} train {tot / W.sum():.5f}"
        if Xv is not None:
            _, m = forward(p, Xv)
            msg += f" valid {np.sum(Wv * (m - Tv) ** 2) / Wv.sum():.5f}"
        print(msg, flush=True)
    return p


def save_bin(p, path):
    """int32 layer count L, int32 sizes (inputs, hidden...), then per hidden layer its
    weights and biases, then the output layer's, as float32."""
    sizes = [p["W0"].shape[1]] + [p[f"W{i}"].shape[0] for i in range(p["depth"])]
    with open(path, "wb") as f:
        f.write(np.array([len(sizes)] + sizes, "<i4").tobytes())
        for i in range(p["depth"]):
            f.write(np.ascontiguousarray(p[f"W{i}"], "<f4").tobytes())
            f.write(np.ascontiguousarray(p[f"b{i}"], "<f4").tobytes())
        f.write(np.ascontiguousarray(p["Wo"], "<f4").tobytes())
        f.write(np.ascontiguousarray(p["bo"], "<f4").tobytes())


def tracks(setdir):
    return sorted(os.path.join(setdir, d) for d in os.listdir(setdir)
                  if os.path.isfile(os.path.join(setdir, d, "mix.wav")))


def comment_lines(note):
    """The note as C++ comment lines of at most 100 columns, long lines wrapped at spaces
    and their continuations indented."""
    out = []
    for line in note.strip().splitlines():
        indent = " " * (len(line) - len(line.lstrip()))
        out += textwrap.wrap(line.strip(), 97, initial_indent="// " + indent if indent else "// ",
                             subsequent_indent="// " + indent + "    ",
                             break_long_words=False, break_on_hyphens=False) or ["//"]
    return out


def flat_weights(p):
    """The weights in the engine's order (MaskNetwork::weights): per hidden layer its rows
    and then its biases, then the output layer's."""
    flat = []
    for i in range(p["depth"]):
        flat += list(p[f"W{i}"].astype(np.float32).ravel()) + list(p[f"b{i}"].astype(np.float32))
    flat += list(p["Wo"].astype(np.float32).ravel()) + list(p["bo"].astype(np.float32))
    return flat


def float_literals(values):
    """C++ float literals, exact, four to a line."""
    lits = [float(v).hex() + "f" for v in values]
    return ["    " + ", ".join(lits[i:i + 4]) + "," for i in range(0, len(lits), 4)]


def save_fixture(path, seed=5):
    """A small seeded network, inputs (the last ones shared, as the frame cues are) and the
    masks forward() gives them, as a C++ header: the engine's evaluation is tested against
    this trainer's own."""
    rng = np.random.default_rng(seed)
    sizes, shared, rows = [9, 7, 5], 3, 6
    p = {"depth": len(sizes) - 1}
    for i in range(len(sizes) - 1):
        p[f"W{i}"] = rng.standard_normal((sizes[i + 1], sizes[i])).astype(np.float32)
        p[f"b{i}"] = rng.standard_normal(sizes[i + 1]).astype(np.float32) * 0.3
    p["Wo"] = rng.standard_normal((MASK_OUTPUTS, sizes[-1])).astype(np.float32)
    p["bo"] = rng.standard_normal(MASK_OUTPUTS).astype(np.float32) * 0.3
    x = rng.random((rows, sizes[0])).astype(np.float32)
    x[:, sizes[0] - shared:] = x[0, sizes[0] - shared:]
    _, m = forward(p, x)
    own = x[:, :sizes[0] - shared].T.ravel()          # one row per input, one column per bin
    with open(path, "w") as f:
        f.write("// Generated by tools/mask_training/train_mask_network.py --fixture; do not edit.\n"
                "// A seeded network, its inputs and the masks the trainer's forward() gives.\n"
                "#pragma once\n\n#include <cstddef>\n\n// clang-format off\n"
                "namespace TrackloomTest::trainer_fixture {\n\n")
        f.write(f"constexpr size_t kInputs = {sizes[0]}, kShared = {shared}, kBins = {rows};\n")
        f.write(f"constexpr size_t kLayers = {len(sizes) - 1}, kWidths[] = {{{', '.join(map(str, sizes[1:]))}}};\n")
        for name, values in (("kWeights", flat_weights(p)), ("kOwnInputs", own),
                             ("kSharedInputs", x[0, sizes[0] - shared:]), ("kMasks", m.T.ravel())):
            f.write(f"const float {name}[] = {{\n" + "\n".join(float_literals(values)) + "\n};\n")
        f.write("\n}  // namespace TrackloomTest::trainer_fixture\n// clang-format on\n")


def save_cpp(p, path, note):
    sizes = [p["W0"].shape[1]] + [p[f"W{i}"].shape[0] for i in range(p["depth"])]
    flat = flat_weights(p)
    lines = float_literals(flat)
    widths = ", ".join(str(w) for w in sizes[1:])
    with open(path, "w") as f:
        f.write("// Generated by tools/mask_training/train_mask_network.py; do not edit.\n")
        for line in comment_lines(note):
            f.write(line + "\n")
        f.write('#include "dsp/separation/spectral/mask_network.h"\n\n'
                'namespace Trackloom::separation::spectral {\nnamespace {\n\n')
        f.write("// clang-format off\n")
        f.write(f"const float kWeights[{len(flat)}] = {{\n" + "\n".join(lines) + "\n};\n")
        f.write("// clang-format on\n\n}  // namespace\n\n")
        f.write("const MaskNetwork& TrainedMaskNetwork() {\n")
        f.write(f"    static const MaskNetwork net{{{sizes[0]}, {len(sizes) - 1}, {{{widths}}}, kWeights}};\n")
        f.write("    return net;\n}\n\n}  // namespace Trackloom::separation::spectral\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("sets", nargs="*")
    ap.add_argument("--fixture", help="only write the test fixture (a C++ header) here")
    ap.add_argument("--tool", help="the trackloom_mask_cues program")
    ap.add_argument("--out", help="C++ file to write")
    ap.add_argument("--bin", help="weight file to write as well")
    ap.add_argument("--hidden", default="128,64", help="widths of the hidden layers")
    ap.add_argument("--epochs", type=int, default=12)
    ap.add_argument("--rows", type=int, default=16000, help="rows drawn per track")
    ap.add_argument("--valid", type=int, default=8, help="tracks held out to watch the fit")
    args = ap.parse_args()
    if args.fixture:
        save_fixture(args.fixture)
        return
    if not (args.sets and args.tool and args.out):
        ap.error("SETDIR..., --tool and --out are needed to train")
    os.environ["TRACKLOOM_MASK_CUES"] = args.tool
    stems = engine_stems()
    dirs = [t for s in args.sets for t in tracks(s)]
    valid, train_dirs = dirs[:args.valid], dirs[args.valid:]
    X, T, W = gather(train_dirs, stems, 4, args.rows, 10, mono_every=4)
    Xv, Tv, Wv = gather(valid, stems, 4, args.rows, 2) if valid else (None, None, None)
    print(f"{len(X)} rows from {len(train_dirs)} tracks", flush=True)
    hidden = [int(v) for v in args.hidden.split(",")]
    p = train(X, T, W, hidden, args.epochs, 0, Xv, Tv, Wv)
    made = []
    for s in args.sets:
        try:
            with open(os.path.join(s, "set.txt")) as f:
                made += [line.strip() for line in f.readlines()[:2]]
        except OSError:
            made.append(os.path.basename(os.path.normpath(s)))
    note = "\n".join(["Trained on these sets of tools/separation/render_set.py, each with the command that made it:"]
                     + [f"  {m}" for m in made]
                     + [f"the first {len(valid)} tracks held out, {len(train_dirs)} trained on; "
                        f"hidden {args.hidden}, {args.epochs} epochs, {args.rows} rows per track;",
                        "every random choice seeded (rows 10, held-out rows 2, weights 0). Command:",
                        "  tools/mask_training/train_mask_network.py "
                        + " ".join(a for a in sys.argv[1:] if not a.startswith("--tool") and a != args.tool)])
    save_cpp(p, args.out, note)
    if args.bin:
        save_bin(p, args.bin)


if __name__ == "__main__":
    main()
