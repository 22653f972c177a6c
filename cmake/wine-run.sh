#!/bin/sh
# Runs a Windows program under 64-bit Wine for ctest and test discovery:
#   wine-run.sh PREFIX PROGRAM [ARGS...]
#   wine-run.sh PREFIX --init          creates the prefix and runs nothing
# PREFIX belongs to one build tree, so tests never touch ~/.wine and two build
# trees never share Wine state. Wine's first start creates the prefix, which
# takes several seconds: it happens once, under a lock, so programs started at
# the same time wait for it instead of racing to create it.
#
# The program's standard output and error go to files, which are copied to
# this script's own once it has ended, so nothing depends on Wine passing a
# program's output through a pipe. About once in a few hundred starts under
# load, Wine itself fails before the program runs: status 1, nothing on
# standard output, and on standard error either nothing or only Wine's own
# "wine client error:" (its connection to the wineserver was reset). Every
# program the tests run writes something of its own whenever it ends with
# status 1, so such a run is that start failure, and it is started again (at
# most QUARN_WINE_STARTS times in all, default 3), with a note on standard
# error. Any other result stands as it is.
set -eu

if [ $# -lt 2 ]; then
    echo "usage: $0 PREFIX PROGRAM [ARGS...] | $0 PREFIX --init" >&2
    exit 2
fi
prefix=$1
shift

export WINEPREFIX="$prefix"
export WINEARCH=win64
export WINEDEBUG=-all
# Console programs only: no Mono or Gecko install prompts, no windows.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

wine=${QUARN_WINE:-wine}
if ! command -v "$wine" >/dev/null 2>&1; then
    echo "wine-run.sh: '$wine' not found; install Debian's wine and wine64" \
        "(scripts/install-deps.sh does)" >&2
    exit 1
fi

ready="$prefix/.quarn-ready"
if [ ! -e "$ready" ]; then
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -e "$ready" ]; then
            if ! timeout "${QUARN_WINEBOOT_TIMEOUT:-180}" "$wine" wineboot --init \
                >"$prefix.log" 2>&1; then
                echo "wine-run.sh: creating the Wine prefix $prefix failed or timed out;" \
                    "see $prefix.log" >&2
                exit 1
            fi
            touch "$ready"
        fi
    ) 9>"$prefix.lock"
fi

if [ "$1" = "--init" ]; then
    exit 0
fi

out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
starts=${QUARN_WINE_STARTS:-3}
start=1
while :; do
    status=0
    "$wine" "$@" >"$out" 2>"$err" || status=$?
    if [ "$status" -ne 1 ] || [ -s "$out" ] || grep -qv '^wine client error:' "$err" ||
        [ "$start" -ge "$starts" ]; then
        break
    fi
    echo "wine-run.sh: Wine failed before $1 ran (status 1, nothing on standard output," \
        "standard error: '$(cat "$err")'); starting it again ($((start + 1)) of $starts)" >&2
    start=$((start + 1))
done
cat "$out"
cat "$err" >&2
exit "$status"
