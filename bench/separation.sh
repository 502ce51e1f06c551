#!/usr/bin/env bash
# Scores both separation engines on a set of synthetic multitracks whose true stems are
# known, with the separation kit in ../shared/bench/separation-dev: the per-sample filter
# engine, the spectral engine (--engine spectral), the kit's classical reference and its
# ideal masks. Prints the kit's SDR table over all of them, then each engine's speed as
# seconds of audio per second of processor time, both engines measured in the same run.
#
# Usage: bench/separation.sh [SETDIR]
#   SETDIR    a set made by the kit's gen.py; without one the development set is rendered
#             into the scratch directory first (about a minute)
#   TRACKLOOM program to measure (default: build/trackloom)
#   KIT       the kit's directory (default: ../shared/bench/separation-dev beside the repository)
#   WORK      scratch directory (default: a new one under /tmp, removed afterwards)
#   METHODS   the kit's references to run besides the engines (default: peer_dsp oracle)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
exe="${TRACKLOOM:-$root/build/trackloom}"
kit="${KIT:-$root/../shared/bench/separation-dev}"
references="${METHODS-peer_dsp oracle}"
[ -x "$exe" ] || { echo "no program at $exe: build it first (make build)" >&2; exit 1; }
[ -f "$kit/run.sh" ] || { echo "no separation kit at $kit (set KIT)" >&2; exit 1; }
exe="$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")"

if [ -n "${WORK:-}" ]; then
    work="$WORK"
    mkdir -p "$work"
else
    work="$(mktemp -d "${TMPDIR:-/tmp}/trackloom-separation.XXXXXX")"
    trap 'rm -rf "$work"' EXIT
fi

if [ $# -ge 1 ]; then
    set_dir="$(cd "$1" && pwd)"
else
    set_dir="$work/dev"
    echo "rendering the development set into $set_dir" >&2
    bash "$kit/make_dev.sh" "$set_dir" >&2
fi

# The kit names its outputs for the program it runs; each engine gets a run of its own and
# the outputs are gathered under one roof to be scored together.
all="$work/all"
rm -rf "$all"
mkdir -p "$all"
: >"$all/times.txt"
for engine in filter spectral; do
    echo "running the $engine engine" >&2
    OUTDIR="$work/out-$engine" RESULTS="$work/results-$engine.txt" METHODS=trackloom \
        TRACKLOOM_ARGS="--engine $engine" bash "$kit/run.sh" "$set_dir" "$exe" >/dev/null
    mv "$work/out-$engine/trackloom" "$all/$engine"
    sed "s/^trackloom /$engine /" "$work/out-$engine/times.txt" >>"$all/times.txt"
done
methods="spectral filter"
if [ -n "$references" ]; then
    echo "running the kit's references: $references" >&2
    OUTDIR="$work/out-ref" RESULTS="$work/results-ref.txt" METHODS="$references" \
        bash "$kit/run.sh" "$set_dir" "$exe" >/dev/null
    for m in peer_dsp oracle_p1 oracle_p2; do
        if [ -d "$work/out-ref/$m" ]; then
            mv "$work/out-ref/$m" "$all/$m"
            methods="$methods $m"
        fi
    done
    grep -v '^trackloom ' "$work/out-ref/times.txt" >>"$all/times.txt" || true
fi

# shellcheck disable=SC2086
"${PYTHON:-/usr/bin/python3}" "$kit/score.py" "$set_dir" --out "$all" --methods $methods

# Speed per engine: audio seconds over the processor time the split took (user + system).
audio=$("${PYTHON:-/usr/bin/python3}" -c '
import glob, sys, soundfile
print(sum(soundfile.info(f).duration for f in glob.glob(sys.argv[1] + "/track_*/mix.wav")))' "$set_dir")
echo
echo "Real-time factor (seconds of audio per second of processor time, one core):"
for engine in filter spectral; do
    awk -v e="$engine" -v a="$audio" '$1 == e { printf "  %-9s %8.1fx  (%.1f s of audio in %.2f s)\n", e, a / ($3 + $4), a, $3 + $4 }' \
        "$all/times.txt"
done
