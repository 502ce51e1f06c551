#!/usr/bin/env bash
# Renders DIR/*.mid (from bench/make_eval_set.py) to 30-second 16-bit stereo WAV files beside
# them, as the labelled development tracks are rendered. Needs Debian's fluidsynth,
# fluid-soundfont-gm and sox. Usage: bench/render_eval_set.sh DIR
set -eu
dir=${1:?usage: bench/render_eval_set.sh DIR}
sf=/usr/share/sounds/sf2/FluidR3_GM.sf2
for m in "$dir"/*.mid; do
  n=${m%.mid}
  [ -f "$n.wav" ] && continue
  nice -n 10 fluidsynth -ni -g 0.6 -r 44100 -F "$n.raw.wav" "$sf" "$m" >/dev/null 2>&1
  nice -n 10 sox -V1 -R -D "$n.raw.wav" -b 16 -e signed-integer "$n.wav" pad 0 30 trim 0 30
  rm -f "$n.raw.wav"
done
