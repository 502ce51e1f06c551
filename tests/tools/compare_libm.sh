#!/usr/bin/env bash
# Compares the C library's expf, sin, cos and log1p between the Linux build and the Windows
# build (under Wine), to the last bit, and prints how many blocks of arguments differ per
# function. Not part of the test suite: it reports, it does not judge.
#
# Usage: tests/tools/compare_libm.sh [STRIDE]     (after: cmake --build build --target libm_probe
#                                                  and cmake --build build-windows --target libm_probe)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
stride=${1:-64}
linux=$("$root/build/tests/libm_probe" "$stride")
windows=$("$root/cmake/wine-run.sh" "$root/build-windows/wineprefix" \
    "$root/build-windows/tests/libm_probe.exe" "$stride" | tr -d '\r')
diff <(echo "$linux") <(echo "$windows") | awk '$1 == "<" { n[$2]++ } END { for (f in n) print f ": " n[f] " blocks differ" }' | sort
echo "$(echo "$linux" | wc -l) blocks compared; details of one: libm_probe --detail NAME BLOCK STRIDE"
