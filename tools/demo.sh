#!/usr/bin/env bash
# Starts the built launcher against a local demo, all of it in ./demo-run (rebuilt each time):
#   server/updates/   demo update files for ruRU, enGB and deDE, published with embercrest-publish
#   server/engine/files/LauncherData/ClientUpdates.json   the manifest (version 1.1)
#   client/           a demo game client with Data/ruRU and Data/enGB and a stand-in game, Wow.sh
#   config.conf       the launcher's settings: that client, installed version 1.0
# server/ is served by python3 -m http.server on 127.0.0.1 on a free port, which stops when the
# launcher exits.
#
# Usage: bash tools/demo.sh [--screenshot FILE [--wait SECONDS]]
#   --screenshot FILE  take a screenshot of the display SECONDS (default 3) after the window
#                      shows, then close the launcher (for headless runs under xvfb-run)
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib/common.sh
build_programs
demo=$PWD/demo-run
published_version=1.1
installed_version=1.0

screenshot=""
wait_seconds=3
while [ $# -gt 0 ]; do
    case $1 in
    --screenshot)
        screenshot=${2:?--screenshot needs a file name}
        shift 2
        ;;
    --wait)
        wait_seconds=${2:?--wait needs a number of seconds}
        shift 2
        ;;
    *)
        echo "usage: bash tools/demo.sh [--screenshot FILE [--wait SECONDS]]" >&2
        exit 2
        ;;
    esac
done
[ -z "$screenshot" ] || screenshot=$(realpath -m "$screenshot")

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<'EOF'
demo: no display: $DISPLAY and $WAYLAND_DISPLAY are both empty, and the launcher needs one to
show its window. Run it from a desktop session, or try it headless in a virtual display and
look at a screenshot:
    xvfb-run -a -s "-screen 0 1280x800x24" bash tools/demo.sh --screenshot demo.png
EOF
    exit 1
fi
need_built demo "$launcher" "$publisher"

# fill FILE SIZE: deterministic content, a header line and then a SHA-256 chain seeded by the
# file's name.
fill() {
    python3 - "$1" "$2" <<'EOF'
import hashlib, os, sys
path, size = sys.argv[1], int(sys.argv[2])
name = os.path.basename(path)
data = bytearray(f"Embercrest demo update file {name}\n".encode())
block = hashlib.sha256(name.encode()).digest()
while len(data) < size:
    block = hashlib.sha256(block).digest()
    data += block
with open(path, "wb") as f:
    f.write(data[:size])
EOF
}

make_update_files() {
    local updates=$demo/server/updates
    mkdir -p "$updates/ruRU" "$updates/enGB" "$updates/deDE"
    fill "$updates/ruRU/patch-ruRU-4.MPQ" 2097152
    fill "$updates/ruRU/Звуки окружения.MPQ" 393216
    fill "$updates/enGB/patch-enGB-4.MPQ" 1572864
    fill "$updates/enGB/Interface Art.MPQ" 262144
    fill "$updates/deDE/patch-deDE-4.MPQ" 524288
    for locale in ruRU enGB deDE; do
        printf "set realmlist 127.0.0.1\n" >"$updates/$locale/realmlist.wtf"
    done
}

make_client() {
    local client=$demo/client
    mkdir -p "$client/Data/ruRU" "$client/Data/enGB"
    cat >"$client/Wow.sh" <<'EOF'
#!/bin/sh
# Stands in for the game client: the launcher's Play button starts it.
echo "demo game started $(date '+%Y-%m-%d %H:%M:%S')" | tee -a "$(dirname "$0")/game.log"
if [ -n "${DISPLAY:-}" ] && command -v xmessage >/dev/null 2>&1; then
    exec xmessage -center -title "Embercrest demo game" \
        "Demo game started: this stands in for the WOTLK client."
fi
EOF
    chmod +x "$client/Wow.sh"
}

start_server() {
    python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$demo/server" >"$demo/http.log" 2>&1 &
    server=$!
    trap 'kill "$server" 2>/dev/null || true' EXIT
    trap 'exit 130' INT TERM
    local deadline=$((SECONDS + 10))
    port=""
    until [ -n "$port" ]; do
        if ! kill -0 "$server" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; then
            echo "demo: the HTTP server did not start:" >&2
            cat "$demo/http.log" >&2
            exit 1
        fi
        sleep 0.1
        port=$(sed -n 's/^Serving HTTP on .* port \([0-9]*\).*/\1/p' "$demo/http.log")
    done
}

# Runs the launcher until its window has shown for wait_seconds, takes the screenshot and
# closes it.
run_for_screenshot() {
    command -v import >/dev/null || {
        echo "demo: --screenshot needs ImageMagick's import (apt-get install imagemagick)" >&2
        exit 1
    }
    "$launcher" >"$demo/launcher.log" 2>&1 &
    local pid=$!
    if ! timeout 20 xdotool search --sync --onlyvisible --name '^Embercrest Launcher$' >/dev/null; then
        echo "demo: the launcher's window did not show; see $demo/launcher.log" >&2
        kill "$pid" 2>/dev/null || true
        exit 1
    fi
    sleep "$wait_seconds"
    import -window root "$screenshot"
    kill "$pid"
    wait "$pid" || true
    echo "Screenshot: $screenshot (launcher output: $demo/launcher.log)"
}

rm -rf "$demo/server" "$demo/client"
mkdir -p "$demo"
make_update_files
make_client
write_config "$demo/config.conf" "$demo/client/Wow.sh" "$installed_version" ruRU enGB
start_server

base=http://127.0.0.1:$port
manifest=$demo/server/engine/files/LauncherData/ClientUpdates.json
"$publisher" "$demo/server/updates" "$published_version" "$base/updates/" \
    --date 2024-01-01 --output "$manifest"
export EMBERCREST_MANIFEST_URL=$base/engine/files/LauncherData/ClientUpdates.json

cat <<EOF
Demo update server: $base/ serving $demo/server (log: $demo/http.log)
Manifest: $EMBERCREST_MANIFEST_URL, version $published_version
Demo client: $demo/client, with Data/ruRU and Data/enGB, installed version $installed_version;
  Play starts $demo/client/Wow.sh
The launcher runs in $demo; the server stops when it exits.
EOF

cd "$demo"
if [ -n "$screenshot" ]; then
    run_for_screenshot
else
    status=0
    "$launcher" || status=$?
    exit "$status"
fi
