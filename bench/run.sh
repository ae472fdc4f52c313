#!/usr/bin/env bash
# Download and start-up benchmarks of the launcher against baselines measured in the same run:
# nginx (own config, 127.0.0.1, a free port) serves generated file sets, which curl, a bare Qt
# loop and the launcher's own download queue (bench-launcher) each download; then the time to
# the first painted window of the launcher is set against a bare Qt window. Prints a table of
# medians and ratios, and the launcher's targets.
#
# Usage: bash bench/run.sh
# Environment:
#   BENCH_RUNS=7              runs of each measurement (BENCH_RUNS=3 for a quick look)
#   BENCH_SETS=big,medium,small   BENCH_TOOLS=curl,qt-plain,qt-savefile,qt-renamesync,launcher
#   BENCH_STARTUP_RUNS=21     start-up runs (default 3 x BENCH_RUNS)
#   BENCH_BASE_BUILD=DIR      another build's bench programs, as the tool launcher-base (add it
#                             to BENCH_TOOLS), to compare a change with what it replaces
#   BENCH_NO_BUILD=1          use the programs in build/ as they are
#   BENCH_TIMEOUT_S=120       how long bench-launcher waits for the end of one download run
#   BENCH_CACHE=DIR           where the file sets are generated once (default build/bench-cache)
#   BENCH_PLAIN=1             manifests without their "integrity" member (plain GETs, nothing
#                             verified), as a publisher without the additions writes them
# The file sets take 1.4 GB in the cache and as much again under $TMPDIR while running.
set -euo pipefail
export PYTHONDONTWRITEBYTECODE=1
cd "$(dirname "$0")/.."
. tools/lib/common.sh
build_programs
cache=${BENCH_CACHE:-$build/bench-cache}
version=1.1

write_nginx_config() {
    nginx_config "$work/nginx" "$1" "$cache/www" \
        'access_log off; sendfile on; tcp_nopush on; keepalive_requests 100000;' \
        "location /manifests/ { alias $work/manifests/; }"
}

stop_nginx() {
    if [ -n "${nginx_pid:-}" ] && kill -0 "$nginx_pid" 2>/dev/null; then
        kill -TERM "$nginx_pid"
        wait "$nginx_pid" 2>/dev/null || true
    fi
    nginx_pid=""
}

# Starts nginx on a free port (another program may take the port first: then try another).
start_nginx() {
    local attempt deadline
    for attempt in 1 2 3 4 5; do
        port=$(free_port)
        write_nginx_config "$port"
        "${nginx_command[@]}" &
        nginx_pid=$!
        deadline=$((SECONDS + 10))
        while kill -0 "$nginx_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
            curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0
            sleep 0.1
        done
        stop_nginx
        echo "bench: nginx did not start on port $port (attempt $attempt):" >&2
        cat "$work/nginx/error.log" >&2 || true
    done
    exit 1
}

publish_manifests() {
    local name
    for name in big medium small; do
        "$publisher" "$cache/www/$name" "$version" "http://127.0.0.1:$port/$name/" \
            --date 2024-01-01 --output "$work/manifests/$name.json" >/dev/null
        [ -z "${BENCH_PLAIN:-}" ] || python3 - "$work/manifests/$name.json" <<'PY'
import json, sys
with open(sys.argv[1]) as f:
    manifest = json.load(f)
manifest.pop("integrity", None)
with open(sys.argv[1], "w") as f:
    json.dump(manifest, f)
PY
    done
}

install_missing nginx-light curl python3
if [ -z "${BENCH_NO_BUILD:-}" ]; then
    build_log=$(mktemp)
    BUILD_DIR=$build bash tools/build.sh -DEMBERCREST_BUILD_BENCH=ON >"$build_log" 2>&1 || {
        cat "$build_log" >&2
        exit 1
    }
    rm -f "$build_log"
fi
if [ ! -x "$build/bench/bench-launcher" ]; then
    echo "bench: no bench programs in $build/bench; build with -DEMBERCREST_BUILD_BENCH=ON" >&2
    exit 1
fi
mkdir -p "$cache"
python3 bench/sets.py "$cache"

work=$(mktemp -d "${TMPDIR:-/tmp}/embercrest-bench.XXXXXX")
nginx_pid=""
trap 'stop_nginx; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
mkdir -p "$work/manifests"
start_nginx
publish_manifests
echo "nginx $(nginx -v 2>&1 | sed 's/.*\///') on http://127.0.0.1:$port/, curl $(curl --version |
    sed -n '1s/^curl \([^ ]*\).*/\1/p'), runs: ${BENCH_RUNS:-7}, manifests: $([ -n "${BENCH_PLAIN:-}" ] &&
    echo plain || echo "with integrity data")"
python3 bench/measure.py "$cache" "$work" "$build" "http://127.0.0.1:$port" "$version"
