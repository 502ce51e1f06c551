#!/usr/bin/env bash
# Runs a libFuzzer binary over a scratch copy of the seed corpus, so the inputs it finds
# never land in the source tree. Fails on any crash, leak, hang (10 s per input),
# allocation over 64 MiB or resident size over 256 MiB.
#
# Usage: run.sh FUZZER [SECONDS] [CORPUS]   (default corpus: corpus/ beside this script)
# A failing input is kept (its path is printed), everything else is removed.
set -euo pipefail

fuzzer=$1
seconds=${2:-60}
corpus=${3:-$(dirname "$0")/corpus}

work=$(mktemp -d "${TMPDIR:-/tmp}/trackloom-fuzz.XXXXXX")
mkdir "$work/corpus" "$work/artifacts"
cp "$corpus"/* "$work/corpus/"

# ASan keeps 256 MiB of freed blocks by default to catch late uses; that alone would reach
# the RSS limit on a long run, so keep less of it.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32}
# Leaks inside the libraries the decoders use, each explained in the file.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$(realpath "$(dirname "$0")")/lsan.supp}
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=256 -malloc_limit_mb=64 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" \
    >"$work/log" 2>&1 || status=$?

# The last progress line carries the execution count and coverage reached.
grep -E '^#[0-9]+' "$work/log" | tail -n 1 || true
grep -E '^stat::number_of_executed_units' "$work/log" || true

if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/artifacts")" ]; then
    tail -n 60 "$work/log"
    echo "fuzzing failed (status $status); inputs kept in $work/artifacts:" >&2
    ls -l "$work/artifacts" >&2
    exit 1
fi
rm -rf "$work"
