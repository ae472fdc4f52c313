#!/usr/bin/env bash
# First run in an empty folder: the window shows, the default config.conf is written there, no
# update request is made, and the title bar's close button ends the process with exit code 0.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

ensure_display "$@"

launcher=${EMBERCREST_LAUNCHER:?path of the launcher executable}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Anything that tries to fetch the manifest would reach this port and leave a trace.
port=$(free_port)
python3 -m http.server "$port" --bind 127.0.0.1 >"$work/http.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; rm -rf "$work"' EXIT
wait_for 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null || fail "demo server did not start"

EMBERCREST_MANIFEST_URL="http://127.0.0.1:$port/engine/files/LauncherData/ClientUpdates.json" \
    "$launcher" >"$work/launcher.log" 2>&1 &
pid=$!

wait_for 20 test -f config.conf || fail "config.conf was not written"
window=$(launcher_window)
[ -n "$window" ] || fail "no launcher window"
read -r _ width height < <(xdotool getwindowgeometry --shell "$window" |
    awk -F= '/WIDTH/{w=$2} /HEIGHT/{h=$2} END{print "x", w, h}')
[ "$width" = 1176 ] && [ "$height" = 720 ] || fail "window is ${width}x${height}"

keys=$(grep -c '=' config.conf)
[ "$keys" = 20 ] || fail "config.conf holds $keys keys, expected 20"
grep -q '^\[Main\]' config.conf && fail "config.conf has a Main group"
wait_for 10 grep -q 'AppConfig->Constructor: I'"'"'m called!' "$work/launcher.log" || fail "updater not built"

sleep 1 # the launcher must keep running on its own
kill -0 "$pid" 2>/dev/null || fail "launcher exited by itself"
grep -q '"GET ' "$work/http.log" && fail "a request was made on the first run: $(cat "$work/http.log")"

close_launcher_window "$window" "$pid" || fail "close button did not end the launcher"
status=0
wait "$pid" || status=$?
[ "$status" = 0 ] || fail "exit code $status"
echo "first run: ok"
