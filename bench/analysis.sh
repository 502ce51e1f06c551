#!/usr/bin/env bash
# Scores tempo and key estimates on a folder of labelled WAV files.
#
# Usage: bench/analysis.sh DIR
#   DIR holds the WAV files and labels.csv (file,bpm,tonic,mode,style,channels); tonics may
#   be spelled with sharps or flats.
# Prints one line per file, then for trackloom: tempo Acc1 (within 4% of the label), Acc2
# (within 4% of the label times 1, 2, 1/2, 3 or 1/3), key exact and the MIREX weighted
# key score (1 exact, 0.5 a fifth above, 0.3 relative, 0.2 parallel), and the seconds per
# file.
# TRACKLOOM overrides the binary (default: build/trackloom beside this script's parent).
set -euo pipefail

dir=${1:?usage: bench/analysis.sh DIR}
here=$(cd "$(dirname "$0")" && pwd)
bin=${TRACKLOOM:-$here/../build/trackloom}
labels=$dir/labels.csv
[ -x "$bin" ] || { echo "no executable at $bin (build first, or set TRACKLOOM)" >&2; exit 1; }
[ -f "$labels" ] || { echo "no labels.csv in $dir" >&2; exit 1; }

results=$(mktemp)
trap 'rm -f "$results"' EXIT

# One row per file: file label_bpm tonic mode est_bpm est_tonic est_mode seconds
tail -n +2 "$labels" | tr -d '\r' | while IFS=, read -r file bpm tonic mode _style _channels; do
    [ -n "$file" ] || continue
    wav=$dir/$file
    if [ ! -f "$wav" ]; then
        echo "missing $wav" >&2
        continue
    fi
    start=$(date +%s.%N)
    out=$("$bin" --bpm "$wav" 2>/dev/null || true)
    end=$(date +%s.%N)
    est_bpm=$(printf '%s\n' "$out" | sed -n 's/^Estimated BPM: *//p')
    est_key=$(printf '%s\n' "$out" | sed -n 's/^Estimated Key: *//p')
    est_tonic=$(printf '%s\n' "$est_key" | awk '{print $1}')
    est_mode=$(printf '%s\n' "$est_key" | awk '{print tolower($2)}')
    echo "$file $bpm $tonic $mode ${est_bpm:-NA} ${est_tonic:-NA} ${est_mode:-NA} $(echo "$end - $start" | bc)"
done > "$results"

awk '
function pc(t) {
    if (t in PC) return PC[t]
    return -100
}
function within(e, l) { return e != "NA" && l > 0 && (e / l - 1 <= 0.04) && (1 - e / l <= 0.04) }
function acc2(e, l) {
    return within(e, l) || within(e, 2 * l) || within(e, l / 2) || within(e, 3 * l) || within(e, l / 3)
}
function mirex(et, em, rt, rm,    d) {
    if (et < 0 || rt < 0) return 0
    if (et == rt && em == rm) return 1
    d = (et - rt + 12) % 12
    if (em == rm && d == 7) return 0.5
    if (rm == "major" && em == "minor" && d == 9) return 0.3
    if (rm == "minor" && em == "major" && d == 3) return 0.3
    if (d == 0 && em != rm) return 0.2
    return 0
}
BEGIN {
    split("C C# D D# E F F# G G# A A# B", S, " ")
    split("C Db D Eb E F Gb G Ab A Bb B", F, " ")
    for (i = 1; i <= 12; ++i) { PC[S[i]] = i - 1; PC[F[i]] = i - 1 }
    PC["Cb"] = 11; PC["B#"] = 0; PC["Fb"] = 4; PC["E#"] = 5
    printf "%-16s %8s %8s  %-12s %-12s %6s\n", "file", "label", "bpm", "key label", "key est", "secs"
}
{
    n++
    rt = pc($3); rm = tolower($4); et = pc($6); em = tolower($7)
    a1 += within($5, $2); a2 += acc2($5, $2)
    s = mirex(et, em, rt, rm); mx += s; ex += (s == 1)
    secs += $8
    printf "%-16s %8.2f %8s  %-12s %-12s %6.3f%s\n", $1, $2, $5, $3 " " rm, $6 " " em, $8, \
        (within($5, $2) ? "" : "  tempo") (s == 1 ? "" : "  key")
}
END {
    if (n == 0) { print "no files scored"; exit 1 }
    printf "\ntrackloom: %d files  Acc1 %.1f%%  Acc2 %.1f%%  key exact %.1f%%  MIREX %.3f  %.3f s per file\n", \
        n, 100 * a1 / n, 100 * a2 / n, 100 * ex / n, mx / n, secs / n
}' "$results"
