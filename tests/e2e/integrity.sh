#!/usr/bin/env bash
# Updates with the manifest's "integrity" member (each file's size and SHA-256), against a real
# server on 127.0.0.1 that speaks Range and can cut transfers (rangeserver.py):
#   1. A fresh client gets 1.1; the big file's connection is cut mid-way and the same run
#      continues it with a Range request: the server sends it about once, the file is whole.
#   2. 1.2 with one byte flipped on the server after publishing: the file is refused, the old
#      one stays byte for byte, the installed version stays 1.1.
#   3. 1.3 re-published with that one file changed: it alone is fetched.
#   4. A deleted data file comes back at the next start (same version).
#   5. 1.4 with a new big file: the launcher is killed half-way, and the next start continues
#      the partial file kept beside the target instead of starting again.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

here=$(cd "$(dirname "$0")" && pwd)
enter_update_scratch

manifest=$work/server/engine/files/LauncherData/ClientUpdates.json
export EMBERCREST_DELAY_MS=200
export EMBERCREST_MANIFEST_URL=$base/engine/files/LauncherData/ClientUpdates.json

mkdir -p "$updates/ruRU" "$client/Data/ruRU"
head -c 12582912 /dev/urandom >"$updates/ruRU/big.MPQ"
head -c 100000 /dev/urandom >"$updates/ruRU/small.MPQ"
head -c 5000 /dev/urandom >"$updates/ruRU/other.MPQ"
: >"$client/Wow.exe"

serve http.log python3 -u "$here/rangeserver.py" "$work/server" "$port" --cut-file "$work/cuts"

# The publisher lists every file's size and SHA-256 under "integrity".
publish() {
    "$publisher" --date 2026-12-01 --output "$manifest" "$updates" "$1" "$base/updates/" >/dev/null
}

write_client_config 0.0 ruRU

# Server log lines since the mark: "GET PATH STATUS SENT RANGE".
log_mark=0
mark_log() { log_mark=$(wc -l <http.log); }
since_mark() { tail -n +$((log_mark + 1)) http.log; }
data_gets() { since_mark | grep -c "^GET /updates/" || true; }
bytes_sent() { since_mark | awk -v p="$1" '$2 == p { n += $4 } END { print n + 0 }'; }
same() { cmp -s "$updates/ruRU/$1" "$client/Data/ruRU/$1"; }
listing() { (cd "$client/Data/ruRU" && ls -A | sort | tr '\n' ' '); }

# 1. The big file's connection is cut at 5 MB: the run continues it.
publish 1.1
echo "/updates/ruRU/big.MPQ 5000000" >cuts
mark_log
run_launcher fresh "files downloaded successfully"
grep -qxF "3 / 3 files downloaded successfully" fresh.log || fail "fresh: $(grep downloaded fresh.log)"
for f in big.MPQ small.MPQ other.MPQ; do same "$f" || fail "fresh: $f differs"; done
# Continued from what reached the disk (the framework may drop what it held at the cut).
from=$(since_mark | sed -n 's|^GET /updates/ruRU/big.MPQ 206 [0-9]* bytes=\([0-9]*\)-$|\1|p')
[ -n "$from" ] && [ "$from" -gt 0 ] && [ "$from" -le 5000000 ] ||
    fail "fresh: no continued request: $(since_mark)"
sent=$(bytes_sent /updates/ruRU/big.MPQ)
[ "$sent" = $((12582912 + 5000000 - from)) ] || fail "fresh: the big file cost $sent bytes"
grep -q "broke off after" fresh.log || fail "fresh: no resume logged"
[ "$(installed_version)" = 1.1 ] || fail "fresh: installed version is $(installed_version)"
[ "$(listing)" = "big.MPQ other.MPQ small.MPQ " ] || fail "fresh: leftovers: $(listing)"

# 2. Tampered on the server after publishing: refused, old file kept, version stays.
cp "$client/Data/ruRU/small.MPQ" "$work/small.old"
head -c 100000 /dev/urandom >"$updates/ruRU/small.MPQ"
publish 1.2
cp "$updates/ruRU/small.MPQ" "$work/small.published"
python3 -c 'import sys; p=sys.argv[1]; b=bytearray(open(p,"rb").read()); b[5000]^=1; open(p,"wb").write(b)' \
    "$updates/ruRU/small.MPQ"
mark_log
run_launcher tampered "files downloaded successfully"
grep -qxF "2 / 3 files downloaded successfully" tampered.log ||
    fail "tampered: $(grep downloaded tampered.log)"
cmp -s "$work/small.old" "$client/Data/ruRU/small.MPQ" || fail "tampered: the old file was not kept"
grep -q "^Error:  .*small.MPQ arrived with 100000 bytes and SHA-256" tampered.log ||
    fail "tampered: no integrity error logged"
[ "$(installed_version)" = 1.1 ] || fail "tampered: installed version is $(installed_version)"
[ "$(data_gets)" = 1 ] || fail "tampered: unchanged files were fetched: $(since_mark)"
[ "$(listing)" = "big.MPQ other.MPQ small.MPQ " ] || fail "tampered: leftovers: $(listing)"

# 3. Re-published with that one file set right: only it is fetched.
cp "$work/small.published" "$updates/ruRU/small.MPQ"
publish 1.3
mark_log
run_launcher republished "files downloaded successfully"
grep -qxF "3 / 3 files downloaded successfully" republished.log ||
    fail "republished: $(grep downloaded republished.log)"
[ "$(since_mark | grep '^GET /updates/' | cut -d' ' -f2)" = /updates/ruRU/small.MPQ ] ||
    fail "republished: fetched: $(since_mark)"
for f in big.MPQ small.MPQ other.MPQ; do same "$f" || fail "republished: $f differs"; done
[ "$(installed_version)" = 1.3 ] || fail "republished: installed version is $(installed_version)"

# 4. A deleted data file comes back at the next start, the version unchanged.
rm "$client/Data/ruRU/other.MPQ"
mark_log
run_launcher repair "files downloaded successfully"
grep -qxF "1 / 1 files downloaded successfully" repair.log || fail "repair: $(grep downloaded repair.log)"
same other.MPQ || fail "repair: other.MPQ did not come back"
[ "$(data_gets)" = 1 ] || fail "repair: fetched: $(since_mark)"
mark_log
run_launcher intact "Online version -  13"
sleep 1 # longer than the shortened pause before a queue would start
grep -q "Checking download queue" intact.log && fail "intact: a download run started"
[ "$(data_gets)" = 0 ] || fail "intact: fetched: $(since_mark)"

# 5. Killed half-way through a new big file; the next start continues the partial file.
head -c 12582912 /dev/urandom >"$updates/ruRU/big.MPQ"
publish 1.4
echo "/updates/ruRU/big.MPQ 6000000 stall" >cuts
mark_log
start_launcher killed
partial=$client/Data/ruRU/big.MPQ.partial
wait_for 60 bash -c "[ \"\$(stat -c %s '$partial' 2>/dev/null)\" = 6000000 ]" ||
    fail "killed: no partial file of 6000000 bytes: $(ls -la "$client/Data/ruRU"; cat killed.log)"
kill_launcher
[ -f "$partial.info" ] || fail "killed: no info beside the partial file"
[ "$(installed_version)" = 1.3 ] || fail "killed: installed version is $(installed_version)"
mark_log
run_launcher resumed "files downloaded successfully"
grep -qxF "3 / 3 files downloaded successfully" resumed.log || fail "resumed: $(grep downloaded resumed.log)"
grep -qF "Resuming $client/Data/ruRU/big.MPQ at 6000000 of 12582912 bytes" resumed.log ||
    fail "resumed: $(cat resumed.log)"
[ "$(since_mark | grep '^GET /updates/' | cut -d' ' -f2-)" = "/updates/ruRU/big.MPQ 206 6582912 bytes=6000000-" ] ||
    fail "resumed: requests: $(since_mark)"
for f in big.MPQ small.MPQ other.MPQ; do same "$f" || fail "resumed: $f differs"; done
[ "$(listing)" = "big.MPQ other.MPQ small.MPQ " ] || fail "resumed: leftovers: $(listing)"
[ "$(installed_version)" = 1.4 ] || fail "resumed: installed version is $(installed_version)"
echo "integrity: ok"
