#!/usr/bin/env bash
# Benchmarks of verified, incremental and resumed updates, with the real launcher executable
# (offscreen) against nginx on 127.0.0.1 (access log counts the bytes sent), rangeserver.py for
# transfers cut mid-way, and slowproxy.py for a slow link. Figures are ratios against baselines
# measured in the same run (the full download, curl).
#
# Usage: bash bench/integrity.sh            (after a build in build/, or EMBERCREST_BUILD_DIR)
# Environment (sizes in MiB; the defaults are the targets' sizes):
#   BENCH_FILE_MIB=100   size of each of the 10 files of the incremental set
#   BENCH_BIG_MIB=1024   size of the big file (hashing and resume)
#   BENCH_SLOW_MIB=10    size of each of the 10 files over the slow link
#   BENCH_SLOW_RTT_MS=50 BENCH_SLOW_MBIT=100
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib/common.sh
build_programs
file_mib=${BENCH_FILE_MIB:-100}
big_mib=${BENCH_BIG_MIB:-1024}
slow_mib=${BENCH_SLOW_MIB:-10}
rtt=${BENCH_SLOW_RTT_MS:-50}
mbit=${BENCH_SLOW_MBIT:-100}
need_built bench "$launcher" "$publisher"

bench_scratch ibench
random_file() { head -c $(($2 << 20)) /dev/urandom >"$1"; }

www=$work/www
mkdir -p "$www/inc/enGB" "$www/big/enGB" "$www/slow/enGB" "$work/nginx/temp" "$work/run"
echo "generating files under $work" >&2
for i in 0 1 2 3 4 5 6 7 8 9; do
    random_file "$www/inc/enGB/part-$i.MPQ" "$file_mib"
    random_file "$www/slow/enGB/slow-$i.MPQ" "$slow_mib"
done
random_file "$www/big/enGB/big.MPQ" "$big_mib"

# nginx with an access log of the bytes sent per request.
port=$(free_port)
nginx_config "$work/nginx" "$port" "$www" \
    "log_format bytes '\$request_uri \$status \$body_bytes_sent'; access_log $work/access.log bytes; sendfile on; tcp_nopush on;"
"${nginx_command[@]}" &
pids+=($!)
wait_port "$port"
range_port=$(free_port)
python3 -u tests/e2e/rangeserver.py "$www" "$range_port" --cut-file "$work/cuts" >"$work/range.log" 2>&1 &
pids+=($!)
wait_port "$range_port"
slow_port=$(free_port)
python3 -u bench/slowproxy.py "$slow_port" "$port" "$rtt" "$mbit" >/dev/null 2>&1 &
pids+=($!)
wait_port "$slow_port"

# publish SET VERSION BASE: the set's manifest (with the integrity member) at www/SET.json.
publish() {
    "$publisher" --date 2026-12-01 --output "$www/$1.json" "$www/$1" "$2" "$3/$1/" >/dev/null
}

# client SET VERSION: a fresh config.conf for a client at VERSION with enGB installed.
client() {
    mkdir -p "$work/client-$1/Data/enGB"
    : >"$work/client-$1/Wow.exe"
    write_config "$work/run/config.conf" "$work/client-$1/Wow.exe" "$2" enGB
}
set_version() { sed -i "s/^WOTLK=[0-9.]*$/WOTLK=$1/" "$work/run/config.conf"; }

# launch NAME MANIFEST-URL: starts the launcher; its log has the time of each line.
launch() {
    (cd "$work/run" && QT_QPA_PLATFORM=offscreen EMBERCREST_DELAY_MS=0 \
        QT_MESSAGE_PATTERN='%{time process} %{message}' EMBERCREST_MANIFEST_URL=$2 \
        exec "$launcher" >"$work/$1.log" 2>&1) &
    launcher_pid=$!
}
# run NAME MANIFEST-URL: a whole update run; ends the launcher after it.
run() {
    launch "$1" "$2"
    local deadline=$((SECONDS + 600))
    until grep -q "files downloaded successfully" "$work/$1.log" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || { echo "bench: $1 did not end: $(tail "$work/$1.log")" >&2; exit 1; }
        sleep 0.05
    done
    kill "$launcher_pid"
    wait "$launcher_pid" 2>/dev/null || true
    grep -q "files downloaded successfully" "$work/$1.log"
}
# seconds NAME FROM TO: time between the first line containing FROM and the first containing TO.
seconds() {
    python3 - "$work/$1.log" "$2" "$3" <<'PY'
import sys
path, start, end = sys.argv[1:]
t0 = t1 = None
for line in open(path, encoding="utf-8", errors="replace"):
    stamp, _, text = line.strip().partition(" ")
    if t0 is None and start in text:
        t0 = float(stamp)
    if t0 is not None and t1 is None and end in text:
        t1 = float(stamp)
print(f"{t1 - t0:.3f}")
PY
}
mark() { mark_at=$(wc -l <"$work/access.log"); }
# bytes SINCE-MARK [PATTERN]: body bytes nginx sent for requests matching PATTERN since the mark.
sent() {
    tail -n +$((mark_at + 1)) "$work/access.log" | awk -v p="${1:-}" '$1 ~ p { n += $3 } END { print n + 0 }'
}
curl_time() {
    local start end
    start=$(date +%s.%N)
    curl -s --fail "$@" >/dev/null
    end=$(date +%s.%N)
    python3 -c "print(f'{$end - $start:.3f}')"
}
ratio() { python3 -c "print(f'{$1 / $2:.3f}')"; }
le() { python3 -c "import sys; sys.exit(0 if $1 <= $2 else 1)"; }
verdict() { if le "$1" "$2"; then echo met; else echo MISSED; fi; }

base=http://127.0.0.1:$port
declare -a report
line() { report+=("$*"); echo "$*"; }

echo "== 10 x $file_mib MiB, one file changed between versions"
# Baseline: the same download from a manifest without integrity data (nothing hashed).
client inc 0.0
"$publisher" --date 2026-12-01 --output "$www/inc.json" "$www/inc" 1.1 "$base/inc/" >/dev/null
python3 -c 'import json, sys
doc = json.load(open(sys.argv[1])); doc.pop("integrity")
json.dump(doc, open(sys.argv[1], "w"))' "$www/inc.json"
run inc-plain "$base/inc.json"
plain=$(seconds inc-plain "Checking download queue..." "files downloaded successfully")
rm -f "$work"/client-inc/Data/enGB/*
client inc 0.0
publish inc 1.1 "$base"
mark
run inc-full "$base/inc.json"
full=$(seconds inc-full "Checking download queue..." "files downloaded successfully")
full_bytes=$(sent /inc/enGB/)
curl_args=()
for i in 0 1 2 3 4 5 6 7 8 9; do curl_args+=(-o "$work/curl-$i" "$base/inc/enGB/part-$i.MPQ"); done
start=$(date +%s.%N)
curl -s --fail "${curl_args[@]}"
curl_full=$(python3 -c "print(f'{$(date +%s.%N) - $start:.3f}')")
sync -f "$work/curl-0"
curl_sync=$(python3 -c "print(f'{$(date +%s.%N) - $start:.3f}')")
rm -f "$work"/curl-*
random_file "$www/inc/enGB/part-4.MPQ" "$file_mib"
publish inc 1.2 "$base"
mark
run inc-warm "$base/inc.json"
warm=$(seconds inc-warm "Checking download queue..." "files downloaded successfully")
warm_bytes=$(sent /inc/enGB/)
manifest_bytes=$(sent /inc.json)
random_file "$www/inc/enGB/part-7.MPQ" "$file_mib"
publish inc 1.3 "$base"
rm -f "$work/run/hashcache.dat"
mark
run inc-cold "$base/inc.json"
cold=$(seconds inc-cold "Checking download queue..." "files downloaded successfully")
cold_bytes=$(sent /inc/enGB/)
limit=$(python3 -c "print(int(1.05 * ($file_mib << 20)) + $manifest_bytes)")
line "full download: ${full} s, $full_bytes bytes; without integrity data ${plain} s (hashing costs $(ratio "$full" "$plain") x); curl ${curl_full} s, curl + sync ${curl_sync} s (launcher / curl+sync $(ratio "$full" "$curl_sync"))"
line "one changed, warm cache: ${warm} s = $(ratio "$warm" "$full") x full [$(verdict "$(ratio "$warm" "$full")" 0.2)], $warm_bytes bytes + manifest $manifest_bytes (limit $limit) [$(verdict $((warm_bytes + manifest_bytes)) "$limit")]"
line "one changed, cold cache: ${cold} s = $(ratio "$cold" "$full") x full [$(verdict "$(ratio "$cold" "$full")" 0.2)], $cold_bytes bytes + manifest"

echo "== deciding that an unchanged $big_mib MiB file needs nothing"
client big 0.0
publish big 1.1 "$base"
run big-full "$base/big.json"
big_full=$(seconds big-full "Checking download queue..." "files downloaded successfully")
set_version 1.0
rm -f "$work/run/hashcache.dat"
mark
run big-cold "$base/big.json"
big_cold=$(seconds big-cold "Checking download queue..." "Unchanged, not fetched")
set_version 1.0
run big-warm "$base/big.json"
big_warm=$(seconds big-warm "Checking download queue..." "Unchanged, not fetched")
gbps=$(python3 -c "print(f'{($big_mib << 20) / $big_cold / 1e9:.2f}')")
start=$(date +%s.%N)
openssl dgst -sha256 "$work/client-big/Data/enGB/big.MPQ" >/dev/null
openssl_time=$(python3 -c "print(f'{$(date +%s.%N) - $start:.3f}')")
line "download of $big_mib MiB: ${big_full} s; unchanged, cold cache: ${big_cold} s (SHA-256 at $gbps GB/s, file in the page cache; openssl dgst on it: ${openssl_time} s) [$(verdict "$big_cold" 1.0)]; warm cache: ${big_warm} s [$(verdict "$big_warm" 0.05)]; bytes fetched: $(sent /big/enGB/)"

echo "== $big_mib MiB cut at half"
half=$((big_mib << 19))
total=$((big_mib << 20))
rbase=http://127.0.0.1:$range_port
publish big 1.1 "$rbase"
rm -f "$work/client-big/Data/enGB/big.MPQ" "$work/run/hashcache.dat"
set_version 1.0
echo "/big/enGB/big.MPQ $half" >"$work/cuts"
: >"$work/range.log"
run cut "$rbase/big.json"
cut_time=$(seconds cut "Checking download queue..." "files downloaded successfully")
after=$(awk '$2 == "/big/enGB/big.MPQ" { n++; if (n > 1) s += $4 } END { print s + 0 }' "$work/range.log")
cmp -s "$www/big/enGB/big.MPQ" "$work/client-big/Data/enGB/big.MPQ" || { echo "bench: cut: file differs" >&2; exit 1; }
line "cut at half, same run: ${cut_time} s, $after bytes after the cut = $(ratio "$after" "$total") of the file [$(verdict "$after" "$(python3 -c "print(0.55 * $total)")")]"
rm -f "$work/client-big/Data/enGB/big.MPQ" "$work/run/hashcache.dat"
set_version 1.0
echo "/big/enGB/big.MPQ $half stall" >"$work/cuts"
: >"$work/range.log"
launch killed "$rbase/big.json"
partial=$work/client-big/Data/enGB/big.MPQ.partial
previous=-1
until [ "$(stat -c %s "$partial" 2>/dev/null || echo 0)" = "$previous" ] && [ "$previous" -gt 0 ]; do
    previous=$(stat -c %s "$partial" 2>/dev/null || echo 0)
    sleep 1
done
kill -9 "$launcher_pid"
wait "$launcher_pid" 2>/dev/null || true
: >"$work/range.log"
run restarted "$rbase/big.json"
after=$(awk '$2 == "/big/enGB/big.MPQ" { s += $4 } END { print s + 0 }' "$work/range.log")
restart_time=$(seconds restarted "Checking download queue..." "files downloaded successfully")
cmp -s "$www/big/enGB/big.MPQ" "$work/client-big/Data/enGB/big.MPQ" || { echo "bench: restarted: file differs" >&2; exit 1; }
line "killed at half ($previous bytes kept), next start: ${restart_time} s (hashing the kept part included), $after bytes fetched = $(ratio "$after" "$total") of the file [$(verdict "$after" "$(python3 -c "print(0.55 * $total)")")]"

echo "== slow link: ${rtt} ms round trip, $mbit Mbit/s, 10 x $slow_mib MiB"
sbase=http://127.0.0.1:$slow_port
client slow 0.0
publish slow 1.1 "$sbase"
run slow-full "$sbase/slow.json"
slow_full=$(seconds slow-full "Checking download queue..." "files downloaded successfully")
curl_slow=$(curl_time $(for i in 0 1 2 3 4 5 6 7 8 9; do printf -- "-o /dev/null %s " "$sbase/slow/enGB/slow-$i.MPQ"; done))
random_file "$www/slow/enGB/slow-3.MPQ" "$slow_mib"
publish slow 1.2 "$sbase"
run slow-one "$sbase/slow.json"
slow_one=$(seconds slow-one "Checking download queue..." "files downloaded successfully")
curl_one=$(curl_time -o /dev/null "$sbase/slow/enGB/slow-3.MPQ")
line "slow link, full: launcher ${slow_full} s, curl ${curl_slow} s (launcher/curl $(ratio "$slow_full" "$curl_slow")); one changed: launcher ${slow_one} s = $(ratio "$slow_one" "$slow_full") x full, curl of that file alone ${curl_one} s"

echo
echo "== summary ($(date -u +%F), $(nproc) CPUs, file sizes: $file_mib / $big_mib / $slow_mib MiB)"
printf '%s\n' "${report[@]}"
