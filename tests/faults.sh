#!/usr/bin/env bash
# Fault injection against the real program: a full disk, a kill in the middle of a split,
# a directory where a stem should go, inputs that are not files, and hostile headers.
# Needs root for the tmpfs mount; the CI script runs it only as root.
#
# Usage: tests/faults.sh [TRACKLOOM]     (default: build/trackloom)
# Prints one line per check and "N passed, N failed" last; exits 1 if anything failed.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
exe=$(realpath "${1:-$here/../build/trackloom}")
corpus=$here/fuzz/corpus
rss_limit_kb=$((64 * 1024))

passed=0
failed=0
work=$(mktemp -d "${TMPDIR:-/tmp}/trackloom-faults.XXXXXX")
mounted=()

cleanup() {
    local m
    for m in "${mounted[@]+"${mounted[@]}"}"; do umount "$m" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

check() {  # check NAME CONDITION-STATUS [DETAIL]
    if [ "$2" -eq 0 ]; then
        echo "ok   $1"
        passed=$((passed + 1))
    else
        echo "FAIL $1${3:+ — $3}"
        failed=$((failed + 1))
    fi
}

# Writes a 16-bit PCM file of FRAMES frames. With "sparse" the samples are a hole in the
# file (silence, no disk used); otherwise a noisy tone, so every stem has content.
make_wav() {  # make_wav PATH FRAMES CHANNELS [sparse]
    python3 - "$@" <<'EOF'
import math, struct, sys
path, frames, channels = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
sparse = len(sys.argv) > 4
rate = 44100
data = frames * channels * 2
with open(path, "wb") as f:
    f.write(b"RIFF" + struct.pack("<I", 36 + data) + b"WAVEfmt "
            + struct.pack("<IHHIIHH", 16, 1, channels, rate, rate * channels * 2, channels * 2, 16)
            + b"data" + struct.pack("<I", data))
    if sparse:
        f.truncate(44 + data)
    else:
        period = b"".join(struct.pack("<h", int(12000 * math.sin(i / 7.0) + (i * 7919 % 4001) - 2000))
                          for i in range(4410 * channels))
        whole, rest = divmod(data, len(period))
        for _ in range(whole):
            f.write(period)
        f.write(period[:rest])
EOF
}

# Exact size of a stem of FRAMES frames of CHANNELS channels: the writer's 44-byte header
# and 16-bit samples.
stem_bytes() { echo $((44 + $1 * $2 * 2)); }

# Old stems, each different, so a byte comparison tells them apart from new ones.
plant_old_stems() {  # plant_old_stems DIR
    local s
    for s in vocals drums bass other; do
        cp "$corpus/valid_s16_mono.wav" "$1/$s.wav"
        printf '%s' "$s" >>"$1/$s.wav"
        cp "$1/$s.wav" "$work/old-$s.wav"
    done
}

# Every stem is either the old file, byte for byte, or a complete new one; nothing else in
# the directory could be taken for a stem.
stems_old_or_complete() {  # stems_old_or_complete DIR FRAMES CHANNELS -> prints problems
    local dir=$1 expected s f name
    expected=$(stem_bytes "$2" "$3")
    for s in vocals drums bass other; do
        f=$dir/$s.wav
        if [ ! -f "$f" ]; then
            echo "$s.wav missing"
        elif ! cmp -s "$f" "$work/old-$s.wav" &&
            { [ "$(stat -c %s "$f")" -ne "$expected" ] || [ "$(head -c 4 "$f")" != RIFF ]; }; then
            echo "$s.wav is neither the old file nor complete ($(stat -c %s "$f") bytes)"
        fi
    done
    for f in "$dir"/*; do
        name=$(basename "$f")
        case $name in
            vocals.wav | drums.wav | bass.wav | other.wav) ;;
            *.wav.[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f].partial) ;;
            *) echo "unexpected file $name" ;;
        esac
    done
}

# Runs the program bounded in time, recording status, output and peak memory.
run() {  # run SECONDS ARGS... -> $status, $work/out, $work/err, $rss_kb
    /usr/bin/time -f %M -o "$work/rss" timeout "$1" "$exe" "${@:2}" >"$work/out" 2>"$work/err"
    status=$?
    rss_kb=$(tail -n 1 "$work/rss")
    # time reports the child's death, not a number, when the program is killed.
    [[ $rss_kb =~ ^[0-9]+$ ]] || rss_kb=999999999
}

explained() {  # explained TEXT: the program's stderr is that line and one indented reason
    [ "$(head -n 1 "$work/err")" = "$1" ] && [ "$(wc -l <"$work/err")" -eq 2 ] &&
        [ "$(tail -n 1 "$work/err" | cut -c1-2)" = "  " ] && [ -n "$(tail -n 1 "$work/err" | cut -c3-)" ]
}

echo "fault injection on $exe"

# (a) A full disk: no stem fits on a 2 MiB file system, so all four writes fail part way.
disk=$work/disk
mkdir "$disk"
if mount -t tmpfs -o size=2m tmpfs "$disk"; then
    mounted+=("$disk")
    # 3 MiB per mono stem: larger than the whole file system, so no stem can slip through
    # once the others have given their space back.
    frames=$((1536 * 1024))
    make_wav "$work/full.wav" $frames 1
    plant_old_stems "$disk"
    run 60 --split "$work/full.wav" "$disk"
    check "full disk: status 1" $((status != 1)) "status $status"
    named=$(grep -c "^Failed to write audio file: $disk/[a-z]*\.wav$" "$work/err")
    full=$(grep -c "^  the disk is full; " "$work/err")
    other=$(grep -v "^Failed to write audio file: $disk/[a-z]*\.wav$\|^  the disk is full; " "$work/err")
    check "full disk: write-failure lines, each saying the disk is full, and nothing else" \
        $((named == 0 || full != named || ${#other} != 0)) "$(head -c 300 "$work/err")"
    left=$(find "$disk" -name '*.partial')
    check "full disk: no temporary file left" $((${#left} != 0)) "$left"
    problems=$(for s in vocals drums bass other; do
        cmp -s "$disk/$s.wav" "$work/old-$s.wav" || echo "$s.wav changed"; done)
    check "full disk: old stems untouched" $((${#problems} != 0)) "$problems"
else
    check "full disk: mount a 2 MiB tmpfs" 1
fi

# (b) kill -9 in the middle of a long split, at several points of the writing. The input is
# a sparse file, so only the stems cost disk space, and the kill points are set by how far
# the temporaries have grown, so a faster machine does not finish first. The four stems
# together may take half the free space, and at most 1 GiB each: a nearly full disk would
# otherwise end the split before the last kill point.
kill_dir=$work/kill
mkdir "$kill_dir"
free_kb=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
stem_kb=$((free_kb / 8))
[ $stem_kb -gt 1048576 ] && stem_kb=1048576
frames=$((stem_kb / 4 * 1024))  # stereo 16-bit: 4 bytes a frame
plant_old_stems "$kill_dir"
if [ $stem_kb -lt 65536 ]; then
    check "kill -9 in the middle of a split: at least 512 MiB free on $work" 1 "$((free_kb / 1024)) MiB free"
else
    make_wav "$work/long.wav" $frames 2 sparse
    for share in 0 64 8 2; do  # the stem's fraction written at the kill: none, 1/64, 1/8, 1/2
        grown_kb=$((share == 0 ? 0 : stem_kb / share))
        "$exe" --split "$work/long.wav" "$kill_dir" >/dev/null 2>"$work/err" &
        pid=$!
        for _ in $(seq 1500); do
            [ -n "$(find "$kill_dir" -name '*.partial' -size +${grown_kb}k)" ] && break
            kill -0 $pid 2>/dev/null || break
            sleep 0.02
        done
        if kill -0 $pid 2>/dev/null; then
            kill -9 $pid
            wait $pid 2>/dev/null
            problems=
        else
            wait $pid
            problems="the split ended before the kill, status $? $(head -c 300 "$work/err")"
        fi
        problems+=$(stems_old_or_complete "$kill_dir" $frames 2)
        check "kill -9 once a stem has $((grown_kb / 1024)) of $((stem_kb / 1024)) MiB written: stems old or complete" \
            $((${#problems} != 0)) "$problems"
        # The last kill's leftovers stay for the next split to remove.
        [ $share -ne 2 ] && rm -f "$kill_dir"/*.partial
    done
fi
rm -f "$work/long.wav"
# Leftovers younger than two seconds may be a live run's that has not locked them yet.
sleep 2.1

# A split that runs to the end replaces every stem with a complete one.
make_wav "$work/short.wav" 44100 2
run 60 --split "$work/short.wav" "$kill_dir"
problems=$(stems_old_or_complete "$kill_dir" 44100 2
    for s in vocals drums bass other; do
        cmp -s "$kill_dir/$s.wav" "$work/old-$s.wav" && echo "$s.wav not replaced"; done
    find "$kill_dir" -name '*.partial')
check "uninterrupted split: status 0, four complete stems, a killed run's leftovers gone" \
    $((status != 0 || ${#problems} != 0)) "status $status $problems"

# (c) A directory where one stem should go: that stem fails by name, and the set is not
# written: every stem new or every stem as it was.
dir_out=$work/dirstem
mkdir -p "$dir_out/drums.wav"
run 60 --split "$work/short.wav" "$dir_out"
check "directory as stem: status 1" $((status != 1)) "status $status"
explained "Failed to write audio file: $dir_out/drums.wav"
check "directory as stem: one error line naming it, and its reason" $? "$(cat "$work/err")"
problems=$(for s in vocals bass other; do
        [ -e "$dir_out/$s.wav" ] && echo "$s.wav written beside the failure"
    done
    [ -d "$dir_out/drums.wav" ] || echo "drums.wav directory replaced"
    find "$dir_out" -name '*.partial')
check "directory as stem: no stem of the set written, nothing left over" $((${#problems} != 0)) "$problems"

# Stems another user planted in a shared folder (a world-writable vocals.wav, a setuid
# drums.wav): the new ones, written by root, take none of their bits, only the umask's mode.
planted=$work/planted
mkdir -p "$planted"
chmod 1777 "$planted"
: >"$planted/vocals.wav"
: >"$planted/drums.wav"
chown nobody "$planted/vocals.wav" "$planted/drums.wav"
chmod 0666 "$planted/vocals.wav"
chmod 04755 "$planted/drums.wav"
saved_umask=$(umask)
umask 022
run 60 --split "$work/short.wav" "$planted"
umask "$saved_umask"
modes=$(stat -c '%n %a %U' "$planted"/*.wav | sed "s|$planted/||" | tr '\n' ' ')
check "stems planted by another user: the split replaces them, status 0" \
    $((status != 0)) "status $status"
[ "$modes" = "bass.wav 644 root drums.wav 644 root other.wav 644 root vocals.wav 644 root " ]
check "stems planted by another user: no bits taken over" $? "$modes"

# (d) Inputs that are not audio files at all are refused at once, without reading forever.
empty_out=$work/none
mkdir "$empty_out"
for input in "$work" /dev/zero /dev/urandom /dev/null "$work/does-not-exist.wav"; do
    run 5 --split "$input" "$empty_out"
    explained "Failed to read audio file: $input"
    ok=$?
    check "input $input: refused, status 1, under 64 MiB" \
        $((status != 1 || ok != 0 || rss_kb >= rss_limit_kb)) \
        "status $status, ${rss_kb} KiB, stderr: $(head -c 200 "$work/err")"
done

# (e) Hostile headers, including every input that ever crashed the fuzzer: the error line and
# its reason, status 1, no output, within a second and 64 MiB.
for input in "$corpus"/*.wav; do
    case $(basename "$input") in valid_*) continue ;; esac
    run 1 --split "$input" "$empty_out"
    explained "Failed to read audio file: $input"
    ok=$?
    made=$(ls -A "$empty_out")
    check "hostile $(basename "$input")" \
        $((status != 1 || ok != 0 || rss_kb >= rss_limit_kb || ${#made} != 0)) \
        "status $status, ${rss_kb} KiB, output: $made, stderr: $(head -c 200 "$work/err")"
    rm -rf "${empty_out:?}"/*
done

# The odd but valid files next to them must still split.
for input in "$corpus"/valid_*.wav; do
    run 5 --split "$input" "$empty_out"
    made=$(ls -A "$empty_out" | tr '\n' ' ')
    [ "$made" = "bass.wav drums.wav other.wav vocals.wav " ]
    four=$?
    check "valid $(basename "$input")" $((status != 0 || four != 0)) \
        "status $status, output: $made, stderr: $(head -c 200 "$work/err")"
    rm -rf "${empty_out:?}"/*
done

# The analysis reads the same files: every hostile one is refused the same way, and every
# valid one, whatever its rate or channel count, is answered within a second and 64 MiB.
for input in "$corpus"/*.wav; do
    run 1 --bpm "$input"
    case $(basename "$input") in
        valid_*)
            lines=$(grep -c '^Estimated \(BPM\|Key\): ' "$work/out")
            check "--bpm valid $(basename "$input")" \
                $((status != 0 || lines != 2 || rss_kb >= rss_limit_kb)) \
                "status $status, ${rss_kb} KiB, stdout: $(head -c 200 "$work/out")"
            ;;
        *)
            explained "Failed to read audio file: $input"
            ok=$?
            check "--bpm hostile $(basename "$input")" \
                $((status != 1 || ok != 0 || rss_kb >= rss_limit_kb)) \
                "status $status, ${rss_kb} KiB, stderr: $(head -c 200 "$work/err")"
            ;;
    esac
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
