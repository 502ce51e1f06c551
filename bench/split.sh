#!/usr/bin/env bash
# Times a whole split of a long mix against two yardsticks measured in the same run:
#   - the disk floor: copying the input into four files with cat, which is the least any
#     tool writing four full-length stems must spend;
#   - sox running one 250 Hz low-pass over the same file, one stem's worth of filtering.
# The split must stay within 1.3x the floor and beat sox. For reference it is also timed
# against dd copying through a user-space buffer: cat hands the copy to the kernel
# (copy_file_range), which a program producing new bytes cannot do. Peak memory comes from
# /usr/bin/time -v. Both are timed twice: as the command returns (outputs in the page cache,
# which on a machine with memory to spare is mostly a memory copy), and until the outputs
# are on the disk (the command followed by sync, timed together). With LONG_HOURS set (e.g. 3), a mix that long is built from the
# generated one and split once more, to show memory does not grow with length.
#
# Usage: bench/split.sh [input.wav]
#   TRACKLOOM   program to measure (default: build-bench/trackloom, then build/trackloom)
#   MINUTES     length of the generated input (default 30)
#   REPEAT      runs of each command, taken in turns; the fastest counts (default 7: on a
#               shared machine single runs of either side can take two or three times as long)
#   WORK        scratch directory (default: a new one under /tmp, removed afterwards)
#   LONG_HOURS  also split a mix this many hours long and report its peak memory
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
minutes="${MINUTES:-30}"
repeat="${REPEAT:-7}"
exe="${TRACKLOOM:-}"
if [ -z "$exe" ]; then
    for candidate in "$root/build-bench/trackloom" "$root/build/trackloom"; do
        if [ -x "$candidate" ]; then exe="$candidate"; break; fi
    done
fi
[ -n "$exe" ] && [ -x "$exe" ] || { echo "no trackloom binary; run make bench or set TRACKLOOM" >&2; exit 2; }
for tool in sox /usr/bin/time python3; do
    command -v "$tool" >/dev/null || { echo "$tool is required" >&2; exit 2; }
done

if [ -n "${WORK:-}" ]; then
    work="$WORK"
    mkdir -p "$work"
else
    work="$(mktemp -d /tmp/trackloom-bench.XXXXXX)"
    trap 'rm -rf "$work"' EXIT
fi

input="${1:-}"
if [ -z "$input" ]; then
    input="$work/mix.wav"
    echo "generating ${minutes} min of 44.1 kHz 16-bit stereo..."
    # Pink noise under a bass line and a pulse: broadband, with low end and transients.
    sox -q -n -r 44100 -c 2 -b 16 "$input" synth "$((minutes * 60))" pinknoise \
        synth sine mix 55 synth square amod 2 0 vol 0.5
fi
bytes=$(stat -c %s "$input")
echo "input: $input ($((bytes / 1048576)) MiB)"
echo "program: $exe"

now() { date +%s.%N; }
seconds() { python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.3f}')" "$1" "$2"; }
ratio() { python3 -c "import sys; print(f'{float(sys.argv[1]) / float(sys.argv[2]):.2f}')" "$1" "$2"; }
best() { python3 -c "import sys; print(min(float(x) for x in sys.argv[1:]))" "$@"; }
# Peak RSS in KiB from a /usr/bin/time -v log.
peak_kb() { awk -F': ' '/Maximum resident set size/ {print $2}' "$1"; }
# User plus system seconds from a /usr/bin/time -v log: on a busy machine the wall clock
# also counts time spent waiting for a processor, this does not.
cpu_s() { awk -F': ' '/User time|System time/ {t += $2} END {printf "%.3f", t}' "$1"; }

# Each run starts alike: the input in the page cache, earlier outputs gone and flushed,
# so no run pays for another's writeback.
settle() {
    rm -rf "$work/out" && mkdir -p "$work/out"
    sync
    cat "$input" >/dev/null
}

split_runs=() cat_runs=() dd_runs=() sox_runs=() split_cpu=() cat_cpu=() dd_cpu=()
split_disk=() cat_disk=()
split_rss=0
for ((i = 1; i <= repeat; i++)); do
    settle
    t0=$(now)
    /usr/bin/time -v -o "$work/split.time" "$exe" --split "$input" "$work/out" >/dev/null
    t1=$(now)
    split_runs+=("$(seconds "$t0" "$t1")")
    split_cpu+=("$(cpu_s "$work/split.time")")
    rss=$(peak_kb "$work/split.time")
    [ "$rss" -gt "$split_rss" ] && split_rss=$rss

    settle
    t0=$(now)
    /usr/bin/time -v -o "$work/cat.time" sh -c 'for stem in vocals drums bass other; do
        cat "$1" >"$2/$stem.wav"; done' sh "$input" "$work/out"
    t1=$(now)
    cat_runs+=("$(seconds "$t0" "$t1")")
    cat_cpu+=("$(cpu_s "$work/cat.time")")

    settle
    t0=$(now)
    /usr/bin/time -v -o "$work/dd.time" sh -c 'for stem in vocals drums bass other; do
        dd if="$1" of="$2/$stem.wav" bs=128K status=none; done' sh "$input" "$work/out"
    t1=$(now)
    dd_runs+=("$(seconds "$t0" "$t1")")
    dd_cpu+=("$(cpu_s "$work/dd.time")")

    settle
    t0=$(now)
    sox -q "$input" "$work/out/low.wav" lowpass -1 250
    t1=$(now)
    sox_runs+=("$(seconds "$t0" "$t1")")
    settle
    t0=$(now)
    "$exe" --split "$input" "$work/out" >/dev/null
    sync
    t1=$(now)
    split_disk+=("$(seconds "$t0" "$t1")")

    settle
    t0=$(now)
    for stem in vocals drums bass other; do cat "$input" >"$work/out/$stem.wav"; done
    sync
    t1=$(now)
    cat_disk+=("$(seconds "$t0" "$t1")")

    echo "run $i: split ${split_runs[-1]} s (cpu ${split_cpu[-1]} s)," \
        "cat x4 ${cat_runs[-1]} s (cpu ${cat_cpu[-1]} s)," \
        "dd x4 ${dd_runs[-1]} s (cpu ${dd_cpu[-1]} s), sox ${sox_runs[-1]} s;" \
        "to the disk: split ${split_disk[-1]} s, cat x4 ${cat_disk[-1]} s"
done
rm -rf "$work/out"

split_s=$(best "${split_runs[@]}")
cat_s=$(best "${cat_runs[@]}")
dd_s=$(best "${dd_runs[@]}")
sox_s=$(best "${sox_runs[@]}")
split_over_cat=$(ratio "$split_s" "$cat_s")
split_over_sox=$(ratio "$split_s" "$sox_s")
echo
echo "fastest of $repeat:"
echo "  split        ${split_s} s (cpu $(best "${split_cpu[@]}") s), peak RSS $((split_rss / 1024)) MiB"
echo "  cat x4       ${cat_s} s (cpu $(best "${cat_cpu[@]}") s)"
echo "  dd x4        ${dd_s} s (cpu $(best "${dd_cpu[@]}") s)"
echo "  sox lowpass  ${sox_s} s"
echo "  split / cat  ${split_over_cat}  (limit 1.30)"
echo "  split / dd   $(ratio "$split_s" "$dd_s")"
echo "  split / sox  ${split_over_sox}  (must be below 1)"
split_disk_s=$(best "${split_disk[@]}")
cat_disk_s=$(best "${cat_disk[@]}")
echo "until on the disk (with sync):"
echo "  split        ${split_disk_s} s"
echo "  cat x4       ${cat_disk_s} s"
echo "  split / cat  $(ratio "$split_disk_s" "$cat_disk_s")"

status=0
python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) <= 1.3 else 1)" "$split_over_cat" ||
    { echo "FAIL: split is more than 1.3x the disk floor"; status=1; }
python3 -c "import sys; sys.exit(0 if float(sys.argv[1]) < 1.0 else 1)" "$split_over_sox" ||
    { echo "FAIL: split is not faster than sox"; status=1; }

if [ -n "${LONG_HOURS:-}" ]; then
    # The generated mix repeated to length, behind a header for the whole: input plus four
    # stems of the same size must fit with room to spare.
    data=$((bytes - 44))
    copies=$(((LONG_HOURS * 60 + minutes - 1) / minutes))
    need=$((5 * copies * data + (1 << 30)))
    avail=$(($(df -B1 --output=avail "$work" | tail -1)))
    if [ "$need" -gt "$avail" ] || [ $((copies * data + 36)) -gt 4294967295 ]; then
        echo "skipping the ${LONG_HOURS} h mix: needs $((need >> 30)) GiB, or is past 4 GiB"
    else
        long="$work/long.wav"
        python3 - "$input" "$long" "$copies" <<'EOF'
import struct, sys
src, dst, copies = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(src, "rb") as f:
    head = bytearray(f.read(44))
    assert head[36:40] == b"data", "expects the 44-byte header sox writes"
    size = struct.unpack_from("<I", head, 40)[0] * copies
    struct.pack_into("<I", head, 4, 36 + size)
    struct.pack_into("<I", head, 40, size)
    with open(dst, "wb") as out:
        out.write(head)
        for _ in range(copies):
            f.seek(44)
            while chunk := f.read(1 << 24):
                out.write(chunk)
EOF
        settle
        t0=$(now)
        /usr/bin/time -v -o "$work/long.time" "$exe" --split "$long" "$work/out" >/dev/null
        t1=$(now)
        echo "  $((copies * minutes / 60)) h $((copies * minutes % 60)) min mix: split $(seconds "$t0" "$t1") s, peak RSS $(($(peak_kb "$work/long.time") / 1024)) MiB"
        rm -rf "$work/out" "$long"
    fi
fi
exit "$status"
