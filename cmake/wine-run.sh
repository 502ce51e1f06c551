#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of the build tree's own:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
#   wine-run.sh PREFIX --server-start | --server-stop
# The prefix is created on first use. A persistent wineserver (--server-start) saves
# the second or so that every Wine process otherwise spends starting Wine's services.
set -euo pipefail

prefix=$(realpath -m "$1")
shift
export WINEPREFIX=$prefix
export WINEDEBUG=-all
# No prompts to download Mono or Gecko; nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=${TRACKLOOM_WINE:-/usr/lib/wine/wine64}
wineserver=${TRACKLOOM_WINESERVER:-/usr/lib/wine/wineserver}
[ -x "$wineserver" ] || wineserver=wineserver
if [ ! -x "$wine" ]; then
    wine=$(command -v wine64 || command -v wine || true)
    if [ -z "$wine" ]; then
        echo "wine-run.sh: Wine not found (Debian package wine64)" >&2
        exit 127
    fi
fi

ensure_prefix() {
    [ -e "$prefix/.trackloom-ready" ] && return 0
    mkdir -p "$prefix"
    # Tests start in parallel; only one of them may create the prefix.
    (
        flock 9
        if [ ! -e "$prefix/.trackloom-ready" ]; then
            "$wine" wineboot --init >/dev/null 2>&1
            "$wineserver" -w
            touch "$prefix/.trackloom-ready"
        fi
    ) 9>"$prefix.lock"
}

case "${1:-}" in
--server-start)
    ensure_prefix
    # A server left lingering by an earlier run cannot be made persistent; replace it.
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w
    # The server and Wine's services outlive this script: they must not hold on to the
    # caller's output, or CTest would wait for them to close it.
    "$wineserver" -p </dev/null >/dev/null 2>&1
    # Start the services now rather than inside the first test.
    "$wine" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
    exit 0
    ;;
--server-stop)
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w
    exit 0
    ;;
esac

ensure_prefix
case " $* " in
*" --gtest_list_tests "*)
    # Windows console output ends lines with CR LF; CMake's test discovery expects LF.
    "$wine" "$@" | tr -d '\r'
    ;;
*)
    exec "$wine" "$@"
    ;;
esac
