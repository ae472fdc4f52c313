#!/usr/bin/env bash
# Files with integrity data that the manifest's mirrors also serve. The files' own host A
# answers 500 to everything; mirror B serves other bytes under the same names (one file cut
# short); C serves the right files, slowly (the bench's slow proxy, about 200 KB/s); D serves
# them fast. The manifest itself comes from a fifth server.
#   1. The update completes byte for byte (nothing of B's is in a target): B is not asked again
#      after its first wrong file, A not after its third error, and most of the bytes come
#      from D.
#   2. All four down: the run fails, the old files and version stay, and the log names each
#      host's last failure.
#   3. Mirrors in a manifest without integrity data are not used: each file comes from its own
#      URL, once.
#   4. Signed: with the manifest's own host down, the manifest and its signature come from the
#      mirror that the last accepted manifest named; a stale manifest there is refused.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

here=$(cd "$(dirname "$0")" && pwd)
enter_update_scratch
export EMBERCREST_DELAY_MS=200
export EMBERCREST_MANIFEST_URL=$base/engine/files/LauncherData/ClientUpdates.json
manifest=$work/server/engine/files/LauncherData/ClientUpdates.json

mkdir -p "$updates/ruRU" "$work/stale/updates/ruRU" "$client/Data/ruRU" "$(dirname "$manifest")"
head -c 3000000 /dev/urandom >"$updates/ruRU/a-big.MPQ"
for name in b c d e; do head -c 300000 /dev/urandom >"$updates/ruRU/$name.MPQ"; done
# B: the same names and sizes with other bytes, and one file cut short.
for name in a-big b c d e; do
    head -c "$(stat -c %s "$updates/ruRU/$name.MPQ")" /dev/urandom >"$work/stale/updates/ruRU/$name.MPQ"
done
head -c 1000 "$updates/ruRU/b.MPQ" >"$work/stale/updates/ruRU/b.MPQ"
: >"$client/Wow.exe"
write_client_config 1.0 ruRU

port_a=$(free_port)
port_b=$(free_port)
port_c=$(free_port)
port_d=$(free_port)
# listen PORT LOG COMMAND...: a server of this script's, once it listens.
listen() {
    local listen_port=$1 log=$2
    shift 2
    spawn "$@" >>"$log" 2>&1
    wait_for 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$listen_port" 2>/dev/null ||
        fail "the server on $listen_port did not start"
}
serve manifest.log python3 -u "$here/rangeserver.py" "$work/server" "$port"
pid_m=$!
listen "$port_a" a.log python3 -u "$here/statusserver.py" "$port_a" 500
pid_a=$!
listen "$port_b" b.log python3 -u "$here/rangeserver.py" "$work/stale" "$port_b"
pid_b=$!
listen "$port_d" d.log python3 -u "$here/rangeserver.py" "$work/server" "$port_d"
pid_d=$!
listen "$port_c" c.log python3 -u "$here/../../bench/slowproxy.py" "$port_c" "$port_d" 0 1.6
pid_c=$!

host() { echo "http://127.0.0.1:$1"; }
publish() {
    "$publisher" --date 2026-12-01 --output "$manifest" \
        --mirror "$(host "$port_b")/updates/" --mirror "$(host "$port_c")/updates/" \
        --mirror "$(host "$port_d")/updates/" "$updates" "$1" "$(host "$port_a")/updates/" >/dev/null
}
same() { cmp -s "$updates/ruRU/$1" "$client/Data/ruRU/$1"; }
gets() { grep -c "^GET /updates/" "$1" || true; }

# 1. Every file whole, from the hosts that serve it right.
publish 1.1
run_launcher mirrors "files downloaded successfully"
grep -qxF "5 / 5 files downloaded successfully" mirrors.log || fail "mirrors: $(grep downloaded mirrors.log)"
for name in a-big b c d e; do same "$name.MPQ" || fail "mirrors: $name.MPQ differs"; done
[ "$(installed_version)" = 1.1 ] || fail "mirrors: installed version is $(installed_version)"
[ "$(gets b.log)" = 1 ] || fail "mirrors: B was asked $(gets b.log) times: $(cat b.log)"
grep -q "instead of $(host "$port_b"): .*; not used again in this run" mirrors.log ||
    fail "mirrors: B's quarantine not logged"
[ "$(gets a.log)" = 3 ] || fail "mirrors: A was asked $(gets a.log) times"
grep -q "instead of $(host "$port_a"): HTTP status 500; 3 errors, not used again in this run" mirrors.log ||
    fail "mirrors: A's end not logged"
grep -q "from $(host "$port_d") instead of $(host "$port_c"): .* bytes/s" mirrors.log ||
    fail "mirrors: the slow host kept the file"
[ "$(gets d.log)" -ge 5 ] || fail "mirrors: D served $(gets d.log) requests"
found=$(cd "$client/Data/ruRU" && ls -A | tr '\n' ' ')
[ "$found" = "a-big.MPQ b.MPQ c.MPQ d.MPQ e.MPQ " ] || fail "mirrors: leftovers: $found"

# 2. All four down: nothing saved, the old files and version kept, each host named.
for name in b c; do head -c 300000 /dev/urandom >"$updates/ruRU/$name.MPQ"; done
cp "$client/Data/ruRU/b.MPQ" "$work/b.old"
publish 1.2
kill "$pid_a" "$pid_b" "$pid_c" "$pid_d"
run_launcher down "files downloaded successfully"
# The unchanged files count; the two new ones fail.
grep -qxF "3 / 5 files downloaded successfully" down.log || fail "down: $(grep downloaded down.log)"
cmp -s "$work/b.old" "$client/Data/ruRU/b.MPQ" || fail "down: the old file was not kept"
[ "$(installed_version)" = 1.1 ] || fail "down: installed version is $(installed_version)"
for p in "$port_a" "$port_b" "$port_c" "$port_d"; do
    grep -q "No host could serve .*b.MPQ: .*$(host "$p") (" down.log || fail "down: $(host "$p") not named"
done

# 3. No integrity data: the mirrors are not used, each file comes from its own URL once.
cat >"$manifest" <<EOF
{
    "wsection": [
        { "date": "2026-12-01", "version": "1.3" },
        { "ruRU": { "b": "$base/updates/ruRU/b.MPQ", "c": "$base/updates/ruRU/c.MPQ" } }
    ],
    "mirrors": { "base": "$base/updates/", "urls": ["$(host "$port_b")/updates/"] }
}
EOF
: >manifest.log
run_launcher plain "files downloaded successfully"
grep -qxF "2 / 2 files downloaded successfully" plain.log || fail "plain: $(grep downloaded plain.log)"
[ "$(grep "^GET /updates/" manifest.log | cut -d' ' -f2,3,5 | tr '\n' ' ')" = \
    "/updates/ruRU/b.MPQ 200 - /updates/ruRU/c.MPQ 200 - " ] || fail "plain: $(cat manifest.log)"
grep -q "instead of" plain.log && fail "plain: a host switch: $(grep "instead of" plain.log)"
for name in b c; do same "$name.MPQ" || fail "plain: $name.MPQ differs"; done

# 4. The manifest from a mirror, when its host is down.
"$publisher" keygen realm >/dev/null
EMBERCREST_MANIFEST_PUBKEY=$(cat realm.pub)
export EMBERCREST_MANIFEST_PUBKEY
export EMBERCREST_MANIFEST_URL=$base/updates/ClientUpdates.json
port_e=$(free_port)
listen "$port_e" e.log python3 -u "$here/rangeserver.py" "$work/mirror" "$port_e"
# sign VERSION [OPTIONS...]
sign() {
    local version=$1
    shift
    "$publisher" --sign realm.key --date 2026-12-01 --mirror "$(host "$port_e")/updates/" "$@" \
        "$updates" "$version" "$base/updates/" >/dev/null
    rm -rf "$work/mirror" && cp -a "$work/server" "$work/mirror"
}
sign 1.4 --serial 1
cp "$updates/ClientUpdates.json" "$updates/ClientUpdates.json.sig" "$work/"
run_launcher signed "files downloaded successfully"
grep -qxF "5 / 5 files downloaded successfully" signed.log || fail "signed: $(grep downloaded signed.log)"
[ "$(ini_value config.conf ManifestMirrors Urls)" = "$(host "$port_e")/updates/" ] ||
    fail "signed: the mirrors were not kept: $(cat config.conf)"
head -c 300000 /dev/urandom >"$updates/ruRU/d.MPQ"
sign 1.5
kill "$pid_m"
run_launcher fallback "files downloaded successfully"
grep -q "the manifest did not come from $base/updates/ClientUpdates.json (.*); asking $(host "$port_e")/updates/ClientUpdates.json" fallback.log ||
    fail "fallback: $(cat fallback.log)"
grep -qxF "OnGetJSON: manifest signature verified" fallback.log || fail "fallback: not verified"
grep -qxF "5 / 5 files downloaded successfully" fallback.log || fail "fallback: $(grep downloaded fallback.log)"
same d.MPQ || fail "fallback: d.MPQ differs"
[ "$(installed_version)" = 1.5 ] || fail "fallback: installed version is $(installed_version)"
# A mirror that serves an older signed manifest cannot take the player back.
cp "$work/ClientUpdates.json" "$work/ClientUpdates.json.sig" "$work/mirror/updates/"
run_launcher stale "manifest refused"
grep -q "OnGetJSON: manifest refused: .*serial" stale.log || fail "stale: $(cat stale.log)"
[ "$(installed_version)" = 1.5 ] || fail "stale: installed version is $(installed_version)"
echo "mirrors: ok"
