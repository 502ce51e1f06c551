#!/usr/bin/env bash
# How well the key confidence ranks its answers: tonal tracks in a known key against inputs
# that hold no key at all (white, pink and brown noise, speech, drums alone), and right keys
# against wrong ones.
#
# Usage: bench/key_confidence.sh [WORKDIR]      (default: build-bench/key-confidence)
#   Makes the set once in WORKDIR, then prints each file's key, key confidence and class, and
#   two areas under the ROC curve: tonal-and-right vs non-tonal (1: every tonal track with
#   its key right scores above every non-tonal input; 0.5: no better than chance) and
#   right vs wrong keys among the tonal tracks. Silence must score 0 and is checked too.
# The tonal tracks are the labelled development tracks (../shared/bench/tempo-key-dev, when
# present) and 2 x COUNT (default 40) more from bench/make_eval_set.py, half of them with
# loops that open off the tonic; the drum-only inputs are the drum parts of the first COUNT,
# rendered alone. Making the set takes a few minutes, once. Needs python3, sox, espeak-ng, fluidsynth and
# fluid-soundfont-gm (Debian). TRACKLOOM overrides the binary (default: build/trackloom).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
work=${1:-$root/build-bench/key-confidence}
bin=${TRACKLOOM:-$root/build/trackloom}
count=${COUNT:-40}
[ -x "$bin" ] || { echo "no executable at $bin (build first, or set TRACKLOOM)" >&2; exit 1; }
for tool in python3 sox espeak-ng fluidsynth; do
    command -v "$tool" >/dev/null || { echo "$tool is needed (apt-get install $tool)" >&2; exit 1; }
done
mkdir -p "$work/tonal" "$work/drums" "$work/other"

# Tonal: the labelled development tracks and a generated set, rendered once.
dev=$root/../shared/bench/tempo-key-dev
if [ -d "$dev" ] && [ ! -f "$work/tonal/dev/labels.csv" ]; then
    bash "$dev/render.sh" "$work/tonal/dev" >/dev/null
fi
if [ ! -f "$work/tonal/gen/labels.csv" ]; then
    python3 "$here/make_eval_set.py" "$work/tonal/gen" "$count" 7
    bash "$here/render_eval_set.sh" "$work/tonal/gen"
fi
# Half of these loops open on a chord other than the tonic's: harder, so that some keys come
# out wrong and the confidence can be judged on telling them from the right ones.
if [ ! -f "$work/tonal/rot/labels.csv" ]; then
    ROTATE=0.5 python3 "$here/make_eval_set.py" "$work/tonal/rot" "$count" 8
    bash "$here/render_eval_set.sh" "$work/tonal/rot"
fi

# Drums alone: each generated track's tempo map and drum part, nothing else.
if ! ls "$work/drums"/*.wav >/dev/null 2>&1; then
    python3 - "$work/tonal/gen" "$work/drums" <<'EOF'
import glob, os, struct, sys
src, dst = sys.argv[1], sys.argv[2]
for path in sorted(glob.glob(os.path.join(src, "*.mid"))):
    data = open(path, "rb").read()
    fmt, ntrk, div = struct.unpack(">HHH", data[8:14])
    chunks, at = [], 14
    while at < len(data):
        size = struct.unpack(">I", data[at + 4:at + 8])[0]
        chunks.append(data[at:at + 8 + size])
        at += 8 + size
    kept = [chunks[0]] + [c for c in chunks[1:] if b"\xff\x03\x05drums" in c]
    if len(kept) < 2:
        continue  # a track without drums
    head = b"MThd" + struct.pack(">IHHH", 6, 1, len(kept), div)
    open(os.path.join(dst, "d" + os.path.basename(path)), "wb").write(head + b"".join(kept))
EOF
    bash "$here/render_eval_set.sh" "$work/drums"
fi

# Noise of three colours at two levels, speech in several voices, and silence.
if [ ! -f "$work/other/silence.wav" ]; then
    for colour in white pink brown; do
        for level in 0.5 0.05; do
            sox -n -r 44100 -c 2 -b 16 "$work/other/$colour-$level.wav" synth 30 "${colour}noise" \
                vol "$level"
        done
    done
    text="The quick brown fox jumps over the lazy dog. A key estimate needs music in it, \
and speech is not music: its pitch glides, and its vowels move from one formant to the next. \
Numbers follow: one, two, three, four, five, six, seven, eight, nine, ten."
    for voice in en en-us+f3 de fr es en+m7; do
        espeak-ng -v "$voice" -s 150 -w "$work/other/raw.wav" "$text $text"
        sox -V1 "$work/other/raw.wav" -r 44100 -c 2 -b 16 "$work/other/speech-$voice.wav" \
            pad 0 30 trim 0 30
    done
    rm -f "$work/other/raw.wav"
    sox -n -r 44100 -c 2 -b 16 "$work/other/silence.wav" trim 0 30
fi

# One JSON line per file, then the scores.
results=$work/results.jsonl
files=()
for d in "$work/tonal/dev" "$work/tonal/gen" "$work/tonal/rot" "$work/drums" "$work/other"; do
    [ -d "$d" ] && for f in "$d"/*.wav; do files+=("$f"); done
done
"$bin" --bpm --json -j 2 "${files[@]}" 2>/dev/null >"$results" || true

python3 - "$results" "$work" <<'EOF'
import csv, json, os, sys
results, work = sys.argv[1], sys.argv[2]
NAMES = {"C": 0, "C#": 1, "Db": 1, "D": 2, "D#": 3, "Eb": 3, "E": 4, "F": 5, "F#": 6,
         "Gb": 6, "G": 7, "G#": 8, "Ab": 8, "A": 9, "A#": 10, "Bb": 10, "B": 11}
labels = {}
for sub in ("dev", "gen", "rot"):
    path = os.path.join(work, "tonal", sub, "labels.csv")
    if os.path.exists(path):
        for row in csv.DictReader(open(path)):
            labels[os.path.join(work, "tonal", sub, row["file"])] = (NAMES[row["tonic"]], row["mode"])

right, wrong, none, silence = [], [], [], []
for line in open(results):
    j = json.loads(line)
    if "error" in j:
        print("failed:", j["file"], j["error"])
        continue
    f, c = j["file"], j["key_confidence"]
    tonic, mode = j["key"].split()
    if f in labels:
        ok = labels[f] == (NAMES[tonic], mode.lower())
        (right if ok else wrong).append(c)
        kind = "right" if ok else "wrong"
    elif f.endswith("silence.wav"):
        silence.append(c)
        kind = "silence"
    else:
        none.append(c)
        kind = "non-tonal"
    print("%-10s %5.3f  %-9s %s" % (kind, c, j["key"], os.path.relpath(f, work)))

def auc(pos, neg):
    if not pos or not neg:
        return float("nan")
    wins = sum(1.0 if p > n else 0.5 if p == n else 0.0 for p in pos for n in neg)
    return wins / (len(pos) * len(neg))

mean = lambda x: sum(x) / len(x) if x else float("nan")
print()
print("tonal, key right: %d (mean confidence %.3f)" % (len(right), mean(right)))
print("tonal, key wrong: %d (mean confidence %.3f)" % (len(wrong), mean(wrong)))
print("non-tonal:        %d (mean confidence %.3f)" % (len(none), mean(none)))
print("silence:          %s" % ", ".join("%.3f" % s for s in silence))
print("AUC tonal-and-right vs non-tonal: %.3f" % auc(right, none))
print("AUC right vs wrong key:           %.3f" % auc(right, wrong))
EOF
