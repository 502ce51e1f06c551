#!/usr/bin/env bash
# The Windows program must write the very same bytes as the Linux one. Runs --demo, --split
# (with each engine) and --bpm with both and compares every file they write with cmp, and what they print.
#
# Usage: tests/cross_build_identical.sh LINUX_TRACKLOOM WINDOWS_TRACKLOOM.exe RUNNER...
#   RUNNER... runs a Windows program here (cmake/wine-run.sh PREFIX).
# Run by the Windows build's test suite (make windows-test), which builds the Linux program first.
set -uo pipefail

# Everything runs from scratch directories, so paths given relative to here are made absolute.
absolute() { if [ -e "$1" ]; then realpath "$1"; else printf '%s\n' "$1"; fi; }
linux_exe=$(absolute "$1")
windows_exe=$(absolute "$2")
shift 2
runner=()
for word in "$@"; do runner+=("$(absolute "$word")"); done

if [ ! -x "$linux_exe" ]; then
    echo "Linux program $linux_exe not found; build it first (make build)"
    exit 1
fi
if [ ! -f "$windows_exe" ]; then
    echo "Windows program $windows_exe not found"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/trackloom-cross.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

passed=0
failed=0
check() {  # check NAME STATUS [DETAIL]
    if [ "$2" -eq 0 ]; then
        echo "ok   $1"
        passed=$((passed + 1))
    else
        echo "FAIL $1${3:+: $3}"
        failed=$((failed + 1))
    fi
}

run_linux() { "$linux_exe" "$@"; }
run_windows() { "${runner[@]}" "$windows_exe" "$@"; }

# Console output of a Windows program ends its lines with CR LF; the text must match otherwise.
same_text() { cmp -s <(tr -d '\r' <"$1") "$2"; }

# The demo writes to fixed names under /tmp, which Wine maps to the same Linux directory,
# so each run's files are moved away before the next run (this test runs alone). Stale
# files are removed first, so a run that writes nothing cannot pass on the other's output.
demo_names=(demo_mix demo_vocals demo_drums demo_bass demo_other)
run_demo() {  # run_demo SIDE
    local side=$1 name status
    mkdir -p "$side"
    for name in "${demo_names[@]}"; do rm -f "/tmp/$name.wav"; done
    "run_$side" --demo >"$side/demo.out" 2>"$side/demo.err"
    status=$?
    for name in "${demo_names[@]}"; do
        [ -f "/tmp/$name.wav" ] && mv "/tmp/$name.wav" "$side/$name.wav"
    done
    return $status
}

run_demo linux
check "linux --demo" $? "$(cat linux/demo.err)"
run_demo windows
check "windows --demo" $? "$(cat windows/demo.err)"
for name in "${demo_names[@]}"; do
    if [ ! -f "linux/$name.wav" ] || [ ! -f "windows/$name.wav" ]; then
        check "demo $name.wav written by both" 1
        continue
    fi
    check "demo $name.wav identical" "$(cmp linux/$name.wav windows/$name.wav >/dev/null; echo $?)" \
        "$(cmp linux/$name.wav windows/$name.wav 2>&1)"
done
same_text windows/demo.out linux/demo.out
check "demo output text identical" $? "$(diff <(tr -d '\r' <windows/demo.out) linux/demo.out | head -5)"

# Split inputs, given by relative paths: the demo track (mono) and, when sox is around,
# a stereo 48 kHz 24-bit file that takes other paths through the reader and resampling,
# long enough for the spectral engine's stereo filter to have a history.
inputs=()
if [ -f linux/demo_mix.wav ]; then
    cp linux/demo_mix.wav mix.wav
    inputs+=(mix.wav)
fi
if command -v sox >/dev/null; then
    sox -q -n -r 48000 -c 2 -b 24 stereo.wav synth 2.5 pluck A2 pluck E4 tremolo 4 40 gain -3 \
        && inputs+=(stereo.wav)
    # The same through libsndfile and libFLAC, which each program carries its own build of.
    [ -f stereo.wav ] && sox stereo.wav stereo.flac && inputs+=(stereo.flac)
fi
# Lossy inputs whose decoders (mpg123, libopus) give the same floats on both builds. Ogg
# Vorbis does not: a few stem samples in ten thousand differ by one step.
if [ -f stereo.wav ] && command -v ffmpeg >/dev/null; then
    ffmpeg -v error -i stereo.wav -c:a libmp3lame stereo.mp3 && inputs+=(stereo.mp3)
    ffmpeg -v error -i stereo.wav -c:a libopus stereo.opus && inputs+=(stereo.opus)
fi
[ ${#inputs[@]} -gt 0 ]
check "split inputs prepared" $?

# Each program works in a directory of its own, on the same relative names, so that what
# they print can be compared as well.
stems=(vocals drums bass other)
for input in "${inputs[@]}"; do
    base=${input//./_}
    # Each engine's split, into a directory of its own: the per-sample filters (the default)
    # and the spectral engine, whose transforms and masks must come out to the same bits too.
    for engine in filter spectral; do
        out=$base-$engine
        mkdir -p "linux/$out" "windows/$out"
        (cd linux && run_linux --split "../$input" "$out" --engine $engine >"$out.out" 2>&1)
        check "linux --split $input --engine $engine" $?
        (cd windows && run_windows --split "../$input" "$out" --engine $engine >"$out.out" 2>&1)
        check "windows --split $input --engine $engine" $? "$(tr -d '\r' <"windows/$out.out" | tail -4)"
        for stem in "${stems[@]}"; do
            a=linux/$out/$stem.wav
            b=windows/$out/$stem.wav
            if [ ! -f "$a" ] || [ ! -f "$b" ]; then
                check "split $input ($engine) $stem.wav written by both" 1
                continue
            fi
            check "split $input ($engine) $stem.wav identical" "$(cmp "$a" "$b" >/dev/null; echo $?)" "$(cmp "$a" "$b" 2>&1)"
        done
        same_text "windows/$out.out" "linux/$out.out"
        check "split $input ($engine) output text identical" $? "$(diff <(tr -d '\r' <"windows/$out.out") "linux/$out.out" | head -5)"
    done

    (cd linux && run_linux --bpm "../$input" >"$base.bpm" 2>&1)
    (cd windows && run_windows --bpm "../$input" >"$base.bpm" 2>&1)
    same_text "windows/$base.bpm" "linux/$base.bpm"
    check "bpm $input identical" $? "$(diff <(tr -d '\r' <"windows/$base.bpm") "linux/$base.bpm" | head -5)"
done

# Standard input in binary mode: the Windows program reads a pipe as the Linux one reads the
# file (a text-mode read would turn CR LF into LF and stop at the first Ctrl-Z).
for input in stereo.wav stereo.flac; do
    [ -f "$input" ] || continue
    name=pipe_${input//./_}
    mkdir -p "windows/$name"
    (cd windows && run_windows --split - "$name" <"../$input" >/dev/null 2>&1)
    check "windows --split - <$input" $?
    # Against the Linux program reading the same standard input: a stem whose length is not
    # known in advance keeps room for RF64 sizes, which one from a file does not need.
    (cd linux && run_linux --split - "$name" <"../$input" >/dev/null 2>&1)
    check "linux --split - <$input" $?
    for stem in "${stems[@]}"; do
        a=linux/$name/$stem.wav
        b=windows/$name/$stem.wav
        check "split - <$input $stem.wav identical" "$(cmp "$a" "$b" >/dev/null 2>&1; echo $?)"
    done
done

# Stems written through libsndfile: 24-bit FLAC and float WAV.
if [ -f stereo.wav ]; then
    for option in "--format flac --depth 24:flac" "--depth float:wav"; do
        args=${option%%:*}
        ext=${option##*:}
        name=out_${ext}_${args//[ -]/}
        mkdir -p "linux/$name" "windows/$name"
        (cd linux && run_linux --split ../stereo.wav "$name" $args >/dev/null 2>&1)
        check "linux --split $args" $?
        (cd windows && run_windows --split ../stereo.wav "$name" $args >/dev/null 2>&1)
        check "windows --split $args" $?
        for stem in "${stems[@]}"; do
            a=linux/$name/$stem.$ext
            b=windows/$name/$stem.$ext
            if [ "$ext" = flac ]; then
                # libFLAC's encoder picks its predictors with floating point that differs
                # between the builds, so the files may differ in size; the samples may not.
                same=$(cmp <(sox "$a" -t s32 - 2>/dev/null) <(sox "$b" -t s32 - 2>/dev/null) >/dev/null; echo $?)
                [ -s "$a" ] && [ -s "$b" ] || same=1
                check "split $args $stem.$ext decodes identically" "$same"
            else
                check "split $args $stem.$ext identical" "$(cmp "$a" "$b" >/dev/null 2>&1; echo $?)" \
                    "$(cmp "$a" "$b" 2>&1)"
            fi
        done
    done
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
