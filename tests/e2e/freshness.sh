#!/usr/bin/env bash
# Rollback and freeze with real parts: embercrest-publish writes signed manifests with serials
# (and an expiry), python's http.server serves them on 127.0.0.1, and the real launcher checks
# them with the public key given at run time.
#   1. Version 1.2 (serial 2) installs; the launcher remembers serial 2.
#   2. Rollback: the validly signed manifest of 1.1 (serial 1) and its file are served again.
#      It is refused: nothing but the manifest and its signature is requested, the file and
#      the installed version stay those of 1.2.
#   3. Freeze: a manifest published three days ago with --expires 1 is refused, and the log
#      line names both times.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

enter_update_scratch

manifest=$work/server/ClientUpdates.json
file=patch-enGB-5.MPQ
export EMBERCREST_DELAY_MS=200
export EMBERCREST_MANIFEST_URL=$base/ClientUpdates.json

mkdir -p "$updates/enGB" "$client/Data/enGB"
: >"$client/Wow.exe"
"$publisher" keygen realm >/dev/null
EMBERCREST_MANIFEST_PUBKEY=$(cat realm.pub)
export EMBERCREST_MANIFEST_PUBKEY

serve http.log python3 -u -m http.server "$port" --bind 127.0.0.1 --directory "$work/server"

write_client_config 1.0 enGB

# publish VERSION [OPTIONS...]
publish() {
    local version=$1
    shift
    "$publisher" --sign realm.key --output "$manifest" "$@" "$updates" "$version" \
        "$base/updates/" >/dev/null 2>&1 || fail "publishing $version failed"
}

# remembered_serial: the serial in ./config.conf.
remembered_serial() { ini_value config.conf ManifestSecurity HighestSerial; }

# expect_refused NAME REASON: the manifest was refused for REASON and nothing else happened.
expect_refused() {
    : >http.log
    run_launcher "$1" "OnGetJSON: manifest refused: $2"
    grep -q "Online version\|Checking download queue\|=> " "$1.log" &&
        fail "$1: a refused manifest was read: $(cat "$1.log")"
    [ "$(grep -c '"GET ' http.log)" = 2 ] || fail "$1: requests: $(cat http.log)"
    [ "$(installed_version)" = 1.2 ] || fail "$1: the installed version changed"
    cmp -s "$client/Data/enGB/$file" v1.2.MPQ || fail "$1: the file changed"
}

# 1. 1.1 is published (serial 1, the first) and kept, as an attacker would keep it; then 1.2
#    (serial 2).
head -c 100000 /dev/urandom >"$updates/enGB/$file"
publish 1.1 --serial 1
grep -q '"serial": 1$' "$manifest" || fail "1.1: no serial 1 in $(cat "$manifest")"
mkdir old
cp -p "$manifest" "$manifest.sig" "$updates/enGB/$file" old/
head -c 100000 /dev/urandom >"$updates/enGB/$file"
cp "$updates/enGB/$file" v1.2.MPQ
publish 1.2
run_launcher current "files downloaded successfully"
grep -qxF "1 / 1 files downloaded successfully" current.log || fail "current: $(cat current.log)"
[ "$(installed_version)" = 1.2 ] || fail "current: the installed version did not advance"
[ "$(remembered_serial)" = 2 ] || fail "current: serial 2 not remembered: $(cat config.conf)"

# 2. The old manifest, its signature and its file, served again.
cp -p old/ClientUpdates.json old/ClientUpdates.json.sig "$work/server/"
cp -p "old/$file" "$updates/enGB/$file"
expect_refused rollback "serial 1 is lower than serial 2, accepted before"

# 3. Published three days ago, valid for one day: expired two days ago, beyond the day of skew.
#    The publisher refuses to write an expired manifest unless told to.
SOURCE_DATE_EPOCH=$(($(date +%s) - 3 * 86400)) publish 1.3 --serial 3 --expires 1 --allow-expired
expect_refused freeze "the manifest expired at "
grep -q "manifest expired at [0-9T:Z-]*, and it is now [0-9T:Z-]* (24 hours" freeze.log ||
    fail "freeze: both times not named: $(cat freeze.log)"
[ "$(remembered_serial)" = 2 ] || fail "freeze: an expired serial was remembered"
echo "freshness: ok"
