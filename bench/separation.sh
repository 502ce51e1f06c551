#!/usr/bin/env bash
# Scores both separation engines on a set of synthetic multitracks whose true stems are
# known: the per-sample filter engine and the spectral engine (--engine spectral). Prints
# their SDR table, then each engine's speed as seconds of audio per second of processor
# time, both engines measured in the same run.
#
# With the separation kit (../shared/bench/separation-dev) the kit runs and scores them,
# beside its classical reference and its ideal masks. Without it the project's own scorer
# (tools/separation/score_set.py) does, and adds the vocals of mono tracks, how far an
# instrumental's vocal stem lies under its mix, and how closely the stems add up (float
# stems then, so that the engine is measured rather than the rounding to 16 bits).
#
# Usage: bench/separation.sh [SETDIR]
#   SETDIR    a set made by tools/separation/render_set.py or the kit's gen.py; without one
#             the kit's development set is rendered into the scratch directory first (about
#             a minute), or without the kit a judging set of the project's generator (seed
#             3101, 16 tracks, a few minutes)
#   TRACKLOOM program to measure (default: build/trackloom)
#   KIT       the kit's directory (default: ../shared/bench/separation-dev beside the repository)
#   WORK      scratch directory (default: a new one under /tmp, removed afterwards)
#   METHODS   the kit's references to run besides the engines (default: peer_dsp oracle)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
exe="${TRACKLOOM:-$root/build/trackloom}"
kit="${KIT:-$root/../shared/bench/separation-dev}"
references="${METHODS-peer_dsp oracle}"
python="${PYTHON:-/usr/bin/python3}"
[ -x "$exe" ] || { echo "no program at $exe: build it first (make build)" >&2; exit 1; }
exe="$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")"
have_kit=0
[ -f "$kit/run.sh" ] && have_kit=1

if [ -n "${WORK:-}" ]; then
    work="$WORK"
    mkdir -p "$work"
else
    work="$(mktemp -d "${TMPDIR:-/tmp}/trackloom-separation.XXXXXX")"
    trap 'rm -rf "$work"' EXIT
fi

if [ $# -ge 1 ]; then
    set_dir="$(cd "$1" && pwd)"
elif [ "$have_kit" = 1 ]; then
    set_dir="$work/dev"
    echo "rendering the development set into $set_dir" >&2
    bash "$kit/make_dev.sh" "$set_dir" >&2
else
    set_dir="$work/judge-varied"
    echo "no separation kit at $kit: rendering a judging set into $set_dir" >&2
    "$python" "$root/tools/separation/render_set.py" "$set_dir" --seed 3101 --count 16 >&2
fi

audio=$("$python" -c '
import glob, sys, soundfile
print(sum(soundfile.info(f).duration for f in glob.glob(sys.argv[1] + "/track_*/mix.wav")))' "$set_dir")

# Each engine's processor time (user + system) over a whole set, from a TIMEFORMAT of '%U %S'.
speed() {
    awk -v e="$1" -v a="$audio" '{ printf "  %-9s %8.1fx  (%.1f s of audio in %.2f s)\n", e, a / ($1 + $2), a, $1 + $2 }'
}

if [ "$have_kit" = 0 ]; then
    echo "no separation kit at $kit: scoring with tools/separation/score_set.py" >&2
    TIMEFORMAT='%U %S'
    exec 3>&2  # the program's own messages still reach standard error, past the timing's file
    for engine in filter spectral; do
        echo "running the $engine engine" >&2
        mkdir -p "$work/own/$engine"
        { time for track in "$set_dir"/track_*/; do
            name=$(basename "$track")
            "$exe" --split "$track/mix.wav" "$work/own/$engine/$name" --engine "$engine" \
                --depth float --quiet >/dev/null 2>&3
        done; } 2>"$work/time-$engine.txt"
    done
    "$python" "$root/tools/separation/score_set.py" "$set_dir" "$work/own/spectral" "$work/own/filter"
    echo
    echo "Real-time factor (seconds of audio per second of processor time, one core):"
    for engine in filter spectral; do speed "$engine" <"$work/time-$engine.txt"; done
    exit 0
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
"$python" "$kit/score.py" "$set_dir" --out "$all" --methods $methods

echo
echo "Real-time factor (seconds of audio per second of processor time, one core):"
for engine in filter spectral; do
    awk -v e="$engine" '$1 == e { print $3, $4 }' "$all/times.txt" | speed "$engine"
done
