#!/usr/bin/python3
"""Trains the spectral separator's mask network on synthetic multitracks.

    train_mask_network.py --tool BUILD/bench/trackloom_mask_cues --out WEIGHTS.cpp SETDIR...
    train_mask_network.py --fixture tests/dsp/separation/spectral/trainer_fixture.h

Every SETDIR is a set made by tools/separation/render_set.py (track_NNN/mix.wav beside
its true stems). For every track the tool writes the cues the separator computes for every
fourth frame, with the frame's band context; the targets are the stems' phase-sensitive
ratios of the mix in the same frames and bins, Re(X conj S) / |X|^2 clipped to 0..1, each
stem's errors weighed by the mix's power over the stem's energy in the track, so that every
stem and every track counts alike, as in an SDR averaged over stems and tracks. Rows are
drawn at random in proportion to that weight (--rows per track); one track in four also
goes in as a mono downmix, and with --part-every some remixed from one to three of their
stems; --weigh SETDIR=F makes a set's rows weigh F times as much. The network (with
--context a band-context network whose values join each bin's cues, rectified hidden
layers, a softmax over the four stems) is fitted with PyTorch by Adam on the weighted
squared error, and written as C++ (--out) and as a weight file the tool reads (--bin).
Every random choice is seeded. The stems, and so the order of the
network's outputs, are the engine's own, as the tool lists them (`trackloom_mask_cues stems`).

Needs python3-numpy, python3-soundfile and python3-torch.
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
    cues + frame cues, columns), the columns' bins, their bands and the band context
    (frames, bands, context inputs)."""
    raw = np.fromfile(path, dtype=np.uint8)
    F, G, cols, n, hop, C, B, D = np.frombuffer(raw[:32].tobytes(), dtype="<i4")
    at = 32
    columns = np.frombuffer(raw[at:at + 4 * cols].tobytes(), dtype="<u4").astype(np.int64)
    bands = np.frombuffer(raw[at + 4 * cols:at + 8 * cols].tobytes(), dtype="<u4").astype(np.int64)
    at += 8 * cols
    per = 8 + 4 * G + 4 * B * D + 4 * F * cols
    body = raw[at:]
    nf = len(body) // per
    body = body[: nf * per].reshape(nf, per)
    frames = np.frombuffer(body[:, :8].tobytes(), dtype="<u8").astype(np.int64)
    shared = np.frombuffer(body[:, 8:8 + 4 * G].tobytes(), dtype="<f4").reshape(nf, G, 1)
    at = 8 + 4 * G
    context = np.frombuffer(body[:, at:at + 4 * B * D].tobytes(), dtype="<f4").reshape(nf, D, B)
    cues = np.frombuffer(body[:, at + 4 * B * D:].tobytes(), dtype="<f4").reshape(nf, F, cols)
    cues = np.concatenate([cues, np.repeat(shared, cols, axis=2)], axis=1)
    return int(n), int(hop), frames, cues, columns, bands, context.transpose(0, 2, 1)


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


def track_rows(tdir, stems, every, rows, rng, mono=False, part=False):
    """Rows of one track; `mono` mixed down to mono, `part` remixed from one to three of its
    sounding stems (as a song's intro, break or a-cappella passage has only some of them)."""
    mix, sr = sf.read(os.path.join(tdir, "mix.wav"), dtype="float64", always_2d=True)
    truth = {s: sf.read(os.path.join(tdir, f"{s}.wav"), dtype="float64", always_2d=True)[0]
             for s in stems}
    # A stem that is silent in the mix (an instrumental's vocals) weighs as one 20 dB under
    # the mix in a remix, rather than without bound.
    least_energy = 1e-12
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tdir, "mix.wav")
        if part:
            sounding = [s for s in stems if np.max(np.abs(truth[s])) >= 1e-5]
            if len(sounding) >= 2:
                count = int(rng.integers(1, min(3, len(sounding)) + 1))
                kept = set(rng.choice(sounding, count, replace=False))
                truth = {s: v if s in kept else np.zeros_like(v) for s, v in truth.items()}
                mix = sum(truth.values())
                least_energy = 0.01 * float(np.sum(mix ** 2)) + 1e-12
        if mono:
            mix = mix.mean(axis=1, keepdims=True)
            truth = {s: v.mean(axis=1, keepdims=True) for s, v in truth.items()}
        if mono or part:
            src = os.path.join(tmp, "mix.wav")
            sf.write(src, mix.astype(np.float32), sr, subtype="FLOAT")
        out = os.path.join(tmp, "cues.bin")
        subprocess.run([tool(), "cues", src, out, str(every)], check=True)
        n, hop, frames, cues, columns, bands, context = read_cues(out)
    X = spectra(mix, n, hop, frames)[:, :, columns]
    P = np.sum(np.abs(X) ** 2, axis=1)            # nf, bins
    tg, wt = [], []
    for s in stems:
        S = spectra(truth[s], n, hop, frames)[:, :, columns]
        cross = np.sum((X * np.conj(S)).real, axis=1)
        t = np.where(P > 0, cross / np.maximum(P, 1e-30), 0.25)
        E = max(float(np.sum(np.abs(S) ** 2)) + 1e-12, least_energy)
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
    # Each row's band context: its frame's, in its column's band. Only the contexts some kept
    # row reads are kept (about 56 % of them): they take as much memory as the rows.
    nb = context.shape[1]
    row_context = (np.arange(len(q)) // len(columns)) * nb + bands[np.arange(len(q)) % len(columns)]
    used, row_context = np.unique(row_context[keep], return_inverse=True)
    return (x[keep].astype(np.float32), tg[keep].astype(np.float32), w.astype(np.float32),
            context.reshape(-1, context.shape[2])[used].astype(np.float32), row_context)


def _track_job(job):
    d, i, stems, every, rows, seed, mono, part, weight = job
    # Per track: any number of workers draws the same.
    rng = np.random.default_rng([seed, i, int(mono)] + ([7] if part else []))
    x, t, w, k, row_context = track_rows(d, stems, every, rows, rng, mono=mono, part=part)
    return x, t, w * np.float32(weight), k, row_context


def gather(dirs, stems, every, rows, seed, mono_every=0, part_every=0, workers=None, weights=None):
    """Cues, targets (one column per stem, in the order of `stems`) and weights of rows drawn
    from every track (and from a mono downmix of every mono_every-th track, and a remix of
    some of the stems of every part_every-th, counting from the second); `weights[i]`
    (1 by default) scales track i's rows, its mono and remixed ones with them."""
    weights = weights or [1.0] * len(dirs)
    jobs = [(d, i, stems, every, rows, seed, False, False, weights[i]) for i, d in enumerate(dirs)]
    if mono_every:
        jobs += [(d, i, stems, every, rows, seed, True, False, weights[i])
                 for i, d in enumerate(dirs) if i % mono_every == 0]
    if part_every:
        jobs += [(d, i, stems, every, rows, seed, False, True, weights[i])
                 for i, d in enumerate(dirs) if i % part_every == 1]
    from multiprocessing import Pool
    with Pool(workers or os.cpu_count()) as pool:
        parts = pool.map(_track_job, jobs, chunksize=1)
    X, T, W, K = (np.concatenate([p[j] for p in parts]) for j in range(4))
    starts = np.cumsum([0] + [len(p[3]) for p in parts[:-1]])
    I = np.concatenate([p[4] + s for p, s in zip(parts, starts)])
    return X, T, W, K, I


class Network:
    """The band context's layers and the mask network's, as the engine evaluates them."""

    def __init__(self, inputs, hidden, context_inputs, context_hidden, seed):
        import torch
        torch.manual_seed(seed)
        self.torch = torch
        nn = torch.nn
        sizes = [context_inputs] + list(context_hidden)
        self.context = nn.ModuleList(nn.Linear(sizes[i], sizes[i + 1])
                                     for i in range(len(sizes) - 1))
        sizes = [inputs + (sizes[-1] if context_hidden else 0)] + list(hidden)
        self.layers = nn.ModuleList(nn.Linear(sizes[i], sizes[i + 1])
                                    for i in range(len(sizes) - 1))
        self.out = nn.Linear(sizes[-1], MASK_OUTPUTS)
        self.inputs = inputs

    def parameters(self):
        return (list(self.context.parameters()) + list(self.layers.parameters())
                + list(self.out.parameters()))

    def forward(self, x, context):
        """Rows of cues (x) and each row's band context -> masks."""
        F = self.torch.nn.functional
        if len(self.context):
            e = context
            for layer in self.context:
                e = F.relu(layer(e))
            x = self.torch.cat([x, e], 1)
        for layer in self.layers:
            x = F.relu(layer(x))
        return F.softmax(self.out(x), 1)

    def flat(self):
        """The weights in the engine's order: per layer its rows and then its biases, the
        mask network's layers (MaskNetwork::weights) and then the context's
        (MaskNetwork::contextWeights)."""
        main, context = [], []
        for layer in list(self.layers) + [self.out]:
            main += [layer.weight, layer.bias]
        for layer in self.context:
            context += [layer.weight, layer.bias]
        as_list = lambda ts: [float(v) for t in ts for v in t.detach().float().reshape(-1)]
        return as_list(main), as_list(context)

    def sizes(self):
        return ([self.inputs] + [l.out_features for l in self.layers],
                [l.in_features for l in self.context[:1]] + [l.out_features for l in self.context])


def train(data, hidden, context_hidden, epochs, seed, valid=None, lr=3e-3, batch=4096):
    import torch
    torch.set_num_threads(len(os.sched_getaffinity(0)))  # the cores it may run on
    X, T, W, K, I = (torch.from_numpy(np.ascontiguousarray(a)) for a in data)
    net = Network(X.shape[1], hidden, K.shape[1], context_hidden, seed)
    opt = torch.optim.Adam(net.parameters(), lr=lr)
    sched = torch.optim.lr_scheduler.LambdaLR(
        opt, lambda ep: 0.5 * (1 + math.cos(math.pi * ep / epochs)))
    gen = torch.Generator().manual_seed(seed)
    N = len(X)
    for ep in range(epochs):
        order = torch.randperm(N, generator=gen)
        tot = 0.0
        for s in range(0, N, batch):
            b = order[s:s + batch]
            m = net.forward(X[b], K[I[b]])
            loss = torch.sum(W[b] * (m - T[b]) ** 2)
            opt.zero_grad()
            loss.backward()
            opt.step()
            tot += float(loss)
        sched.step()
        msg = f"epoch {ep} train {tot / float(W.sum()):.5f}"
        if valid is not None:
            Xv, Tv, Wv, Kv, Iv = (torch.from_numpy(np.ascontiguousarray(a)) for a in valid)
            with torch.no_grad():
                m = net.forward(Xv, Kv[Iv])
            msg += f" valid {float(torch.sum(Wv * (m - Tv) ** 2) / Wv.sum()):.5f}"
        print(msg, flush=True)
    return net


def save_bin(net, path):
    """int32 layer count, the sizes (inputs, hidden...), int32 context count, the context's
    sizes (inputs, layers...), then the weights and the context's weights as float32."""
    sizes, context_sizes = net.sizes()
    main, context = net.flat()
    with open(path, "wb") as f:
        f.write(np.array([len(sizes)] + sizes + [len(context_sizes)] + context_sizes,
                         "<i4").tobytes())
        f.write(np.array(main + context, "<f4").tobytes())


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


def float_literals(values):
    """C++ float literals, exact, four to a line."""
    lits = [float(v).hex() + "f" for v in values]
    return ["    " + ", ".join(lits[i:i + 4]) + "," for i in range(0, len(lits), 4)]


def save_fixture(path, seed=5):
    """A small seeded network with a band context, inputs (the last ones shared, as the frame
    cues are) and the masks its forward pass gives them, as a C++ header: the engine's
    evaluation is tested against the training framework's own."""
    import torch
    sizes, shared, rows, bands, context_sizes = [9, 7, 5], 3, 6, 3, [4, 6, 3]
    context_inputs = context_sizes[0]
    net = Network(sizes[0], sizes[1:], context_inputs, context_sizes[1:], seed)
    with torch.no_grad():
        for p in net.parameters():
            p.copy_(torch.randn(p.shape, generator=torch.Generator().manual_seed(seed + p.numel())))
    rng = np.random.default_rng(seed)
    x = rng.random((rows, sizes[0])).astype(np.float32)
    x[:, sizes[0] - shared:] = x[0, sizes[0] - shared:]
    context = (rng.random((bands, context_inputs)) * 2 - 1).astype(np.float32)
    band = rng.integers(0, bands, rows)
    with torch.no_grad():
        m = net.forward(torch.from_numpy(x), torch.from_numpy(context)[band]).numpy()
    main, context_weights = net.flat()
    own = x[:, :sizes[0] - shared].T.ravel()          # one row per input, one column per bin
    with open(path, "w") as f:
        f.write("// Generated by tools/mask_training/train_mask_network.py --fixture; do not edit.\n"
                "// A seeded network, its inputs and the masks the trainer's forward pass gives.\n"
                "#pragma once\n\n#include <cstddef>\n#include <cstdint>\n\n// clang-format off\n"
                "namespace TrackloomTest::trainer_fixture {\n\n")
        f.write(f"constexpr size_t kInputs = {sizes[0]}, kShared = {shared}, kBins = {rows};\n")
        f.write(f"constexpr size_t kLayers = {len(sizes) - 1}, kWidths[] = {{{', '.join(map(str, sizes[1:]))}}};\n")
        f.write(f"constexpr size_t kBands = {bands}, kContextInputs = {context_inputs}, "
                f"kContextLayers = {len(context_sizes) - 1}, "
                f"kContextWidths[] = {{{', '.join(map(str, context_sizes[1:]))}}};\n")
        f.write(f"const uint32_t kBinBands[] = {{{', '.join(str(int(b)) for b in band)}}};\n")
        for name, values in (("kWeights", main), ("kContextWeights", context_weights),
                             ("kOwnInputs", own), ("kSharedInputs", x[0, sizes[0] - shared:]),
                             ("kContextInputsByBand", context.T.ravel()), ("kMasks", m.T.ravel())):
            f.write(f"const float {name}[] = {{\n" + "\n".join(float_literals(values)) + "\n};\n")
        f.write("\n}  // namespace TrackloomTest::trainer_fixture\n// clang-format on\n")


def save_cpp(net, path, note):
    sizes, context_sizes = net.sizes()
    main, context = net.flat()
    widths = ", ".join(str(w) for w in sizes[1:])
    context_widths = ", ".join(str(w) for w in context_sizes[1:])
    with open(path, "w") as f:
        f.write("// Generated by tools/mask_training/train_mask_network.py; do not edit.\n")
        for line in comment_lines(note):
            f.write(line + "\n")
        f.write('#include "dsp/separation/spectral/mask_network.h"\n\n'
                'namespace Trackloom::separation::spectral {\nnamespace {\n\n')
        f.write("// clang-format off\n")
        f.write(f"const float kWeights[{len(main)}] = {{\n" + "\n".join(float_literals(main)) + "\n};\n")
        if context:
            f.write(f"const float kContextWeights[{len(context)}] = {{\n"
                    + "\n".join(float_literals(context)) + "\n};\n")
        f.write("// clang-format on\n\n}  // namespace\n\n")
        f.write("const MaskNetwork& TrainedMaskNetwork() {\n")
        with_context = (f", {context_sizes[0]}, {len(context_sizes) - 1}, {{{context_widths}}}, "
                        "kContextWeights" if context else "")
        f.write(f"    static const MaskNetwork net{{{sizes[0]}, {len(sizes) - 1}, {{{widths}}}, kWeights"
                f"{with_context}}};\n")
        f.write("    return net;\n}\n\n}  // namespace Trackloom::separation::spectral\n")


def recorded_arguments(args):
    """The command line as the weights file records it: without the tool's place and the
    scratch files, which do not change the weights."""
    out, skip = [], False
    for a in sys.argv[1:]:
        if skip:
            skip = False
            continue
        name = a.split("=")[0]
        if name in ("--tool", "--bin", "--rows-cache"):
            skip = "=" not in a
            continue
        out.append(a)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("sets", nargs="*")
    ap.add_argument("--fixture", help="only write the test fixture (a C++ header) here")
    ap.add_argument("--tool", help="the trackloom_mask_cues program")
    ap.add_argument("--out", help="C++ file to write")
    ap.add_argument("--bin", help="weight file to write as well")
    ap.add_argument("--hidden", default="128,64", help="widths of the hidden layers")
    ap.add_argument("--context", default="",
                    help="widths of the band context's layers (none by default, as in the tree)")
    ap.add_argument("--epochs", type=int, default=12)
    ap.add_argument("--rows", type=int, default=16000, help="rows drawn per track")
    ap.add_argument("--valid", type=int, default=8, help="tracks held out to watch the fit")
    ap.add_argument("--part-every", type=int, default=0,
                    help="one track in this many also goes in remixed from some of its stems "
                    "(none by default, as in the tree)")
    ap.add_argument("--weigh", action="append", default=[], metavar="SETDIR=F",
                    help="the rows of this set's tracks weigh F times as much (repeatable)")
    ap.add_argument("--seed", type=int, default=0,
                    help="seed of the network's starting weights and of the order of its rows")
    ap.add_argument("--rows-cache", help="keep the rows drawn in this .npz file, and take them "
                    "from it when it is there (the same sets and settings are the caller's care)")
    args = ap.parse_args()
    if args.fixture:
        save_fixture(args.fixture)
        return
    if not (args.sets and args.tool and args.out):
        ap.error("SETDIR..., --tool and --out are needed to train")
    weigh = {}
    for a in args.weigh:
        s, _, f = a.rpartition("=")
        if s not in args.sets:
            ap.error(f"--weigh {a}: {s} is not one of the sets")
        try:
            weigh[s] = float(f)
        except ValueError:
            ap.error(f"--weigh {a}: {f} is not a number")
        if not 0 < weigh[s] < math.inf:
            ap.error(f"--weigh {a}: the weight must be a number above 0")
    os.environ["TRACKLOOM_MASK_CUES"] = args.tool
    stems = engine_stems()
    listed = [(t, weigh.get(s, 1.0)) for s in args.sets for t in tracks(s)]
    dirs, weights = [t for t, _ in listed], [w for _, w in listed]
    valid, train_dirs = dirs[:args.valid], dirs[args.valid:]
    if args.rows_cache and os.path.isfile(args.rows_cache):
        cached = np.load(args.rows_cache)
        data = tuple(cached[f"train{j}"] for j in range(5))
        held = tuple(cached[f"held{j}"] for j in range(5)) if valid else None
    else:
        data = gather(train_dirs, stems, 4, args.rows, 10, mono_every=4, part_every=args.part_every,
                      weights=weights[args.valid:])
        held = gather(valid, stems, 4, args.rows, 2) if valid else None
        if args.rows_cache:
            np.savez(args.rows_cache, **{f"train{j}": a for j, a in enumerate(data)},
                     **{f"held{j}": a for j, a in enumerate(held or ())})
    print(f"{len(data[0])} rows from {len(train_dirs)} tracks", flush=True)
    hidden = [int(v) for v in args.hidden.split(",")]
    context = [int(v) for v in args.context.split(",")] if args.context else []
    net = train(data, hidden, context, args.epochs, args.seed, held)
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
                        f"hidden {args.hidden}, context {args.context}, {args.epochs} epochs, "
                        f"{args.rows} rows per track;",
                        f"every random choice seeded (rows 10, held-out rows 2, weights {args.seed}). Command:",
                        "  tools/mask_training/train_mask_network.py " + " ".join(recorded_arguments(args))])
    save_cpp(net, args.out, note)
    if args.bin:
        save_bin(net, args.bin)


if __name__ == "__main__":
    main()
