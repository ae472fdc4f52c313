#!/usr/bin/env bash
# Start-up under Wine: the time from starting the process to its first painted window, for the
# launcher (bench-startup-launcher: the launcher's own main) against a bare Qt window of the
# same size built the same way (bench-startup-bare), alternating, RUNS times each (default 11).
# Prints the medians and their ratio. Needs tools/windows/build.sh first.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$PWD/build-windows
runs=${RUNS:-11}
if [ -z "${EMBERCREST_WINE_DISPLAY:-}" ]; then
    exec env EMBERCREST_WINE_DISPLAY=1 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
export WINEPREFIX=$build/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
trap '"$wineserver" -k 2>/dev/null || true; "$wineserver" -w 2>/dev/null || true' EXIT
mkdir -p "$WINEPREFIX"
"$wineserver" -w 2>/dev/null || true
"$wineserver" -p
[ -e "$WINEPREFIX/system.reg" ] || "$wine" wineboot --init >/dev/null 2>&1 || true
work=$(mktemp -d)
trap 'rm -rf "$work"; "$wineserver" -k 2>/dev/null || true; "$wineserver" -w 2>/dev/null || true' EXIT
cd "$work"
printf '[ClientVersion]\nWOTLK=0.0\n' >config.conf # not a first run
export EMBERCREST_MANIFEST_URL=http://127.0.0.1:9/none.json

timed() { # prints the wall time of one run in ms
    local start end
    start=$(date +%s%N)
    "$wine" "$1" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}
"$wine" "$build/bench/bench-startup-bare.exe" >/dev/null 2>&1 || true # warm the caches
bare=() launcher=()
for _ in $(seq "$runs"); do
    bare+=("$(timed "$build/bench/bench-startup-bare.exe")")
    launcher+=("$(timed "$build/bench/bench-startup-launcher.exe")")
done
median() { printf '%s\n' "$@" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
b=$(median "${bare[@]}")
l=$(median "${launcher[@]}")
echo "start-up under Wine, median of $runs: bare window $b ms, launcher $l ms, ratio $(awk -v l="$l" -v b="$b" 'BEGIN { printf "%.2f", l / b }')"
