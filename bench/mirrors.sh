#!/usr/bin/env bash
# A run against the manifest's mirrors, timed against a run against the fast host alone, in
# the same script, with the real launcher (offscreen) on 127.0.0.1. The files' own host A
# answers 500, mirror B serves other bytes under the same names, C serves the right ones at
# about 200 KB/s (slowproxy.py), D is nginx. Each measurement starts from an empty client;
# the runs of the two kinds take turns, and the medians are compared.
#
# Usage: bash bench/mirrors.sh        (after a build in build/, or EMBERCREST_BUILD_DIR)
# Environment: BENCH_MIRROR_FILES=40 files of BENCH_MIRROR_MIB=32 MiB; BENCH_RUNS=5
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib/common.sh
build_programs
files=${BENCH_MIRROR_FILES:-40}
mib=${BENCH_MIRROR_MIB:-32}
runs=${BENCH_RUNS:-5}
need_built bench "$launcher" "$publisher"

bench_scratch mbench

www=$work/www
mkdir -p "$www/set/enGB" "$work/stale/set/enGB" "$work/nginx/temp" "$work/run" "$work/client/Data/enGB"
echo "generating $files x $mib MiB under $work" >&2
for i in $(seq -w 1 "$files"); do
    head -c $((mib << 20)) /dev/urandom >"$www/set/enGB/part-$i.MPQ"
    head -c $((mib << 20)) /dev/urandom >"$work/stale/set/enGB/part-$i.MPQ"
done
: >"$work/client/Wow.exe"

port_d=$(free_port)
nginx_config "$work/nginx" "$port_d" "$www" "access_log off; sendfile on; tcp_nopush on;"
"${nginx_command[@]}" &
pids+=($!)
wait_port "$port_d"
port_a=$(free_port)
python3 tests/e2e/statusserver.py "$port_a" 500 >/dev/null 2>&1 &
pids+=($!)
wait_port "$port_a"
port_b=$(free_port)
python3 tests/e2e/rangeserver.py "$work/stale" "$port_b" >/dev/null 2>&1 &
pids+=($!)
wait_port "$port_b"
port_c=$(free_port)
python3 bench/slowproxy.py "$port_c" "$port_d" 0 1.6 >/dev/null 2>&1 &
pids+=($!)
wait_port "$port_c"

host() { echo "http://127.0.0.1:$1"; }
"$publisher" --date 2026-12-01 --output "$www/alone.json" "$www/set" 1.1 "$(host "$port_d")/set/" >/dev/null
"$publisher" --date 2026-12-01 --output "$www/mirrors.json" --mirror "$(host "$port_b")/set/" \
    --mirror "$(host "$port_c")/set/" --mirror "$(host "$port_d")/set/" \
    "$www/set" 1.1 "$(host "$port_a")/set/" >/dev/null

# run NAME: one whole run from an empty client against www/NAME.json; prints its seconds, from
# the first file's start to the run's end.
run() {
    rm -f "$work"/client/Data/enGB/* "$work/run/hashcache.dat" "$work/$1.log"
    write_config "$work/run/config.conf" "$work/client/Wow.exe" 1.0 enGB
    (cd "$work/run" && QT_QPA_PLATFORM=offscreen EMBERCREST_DELAY_MS=0 \
        QT_MESSAGE_PATTERN='%{time process} %{message}' \
        EMBERCREST_MANIFEST_URL="$(host "$port_d")/$1.json" exec "$launcher" >"$work/$1.log" 2>&1) &
    local pid=$! deadline=$((SECONDS + 600))
    until grep -q "files downloaded successfully" "$work/$1.log" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || { echo "bench: $1 did not end: $(tail "$work/$1.log")" >&2; exit 1; }
        sleep 0.05
    done
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    grep -q "[0-9.] $files / $files files downloaded successfully$" "$work/$1.log" ||
        { echo "bench: $1 failed: $(grep downloaded "$work/$1.log")" >&2; exit 1; }
    python3 - "$work/$1.log" <<'PY'
import sys
t0 = t1 = None
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    stamp, _, text = line.strip().partition(" ")
    if t0 is None and "Checking download queue..." in text:
        t0 = float(stamp)
    if "files downloaded successfully" in text:
        t1 = float(stamp)
print(f"{t1 - t0:.3f}")
PY
}

alone=()
mirrored=()
for i in $(seq "$runs"); do
    alone+=("$(run alone)")
    mirrored+=("$(run mirrors)")
    echo "run $i: D alone ${alone[-1]} s, four hosts ${mirrored[-1]} s" >&2
done
switches=$(grep -c "instead of" "$work/mirrors.log" || true)
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
a=$(median "${alone[@]}")
m=$(median "${mirrored[@]}")
ratio=$(python3 -c "print(f'{$m / $a:.3f}')")
verdict=$(python3 -c "print('met' if $m <= 1.25 * $a else 'MISSED')")
echo "$files x $mib MiB, medians of $runs: D alone $a s; A (500), B (other bytes), C (200 KB/s), D: $m s = $ratio x [$verdict, at most 1.25]; host switches in the last run: $switches"
