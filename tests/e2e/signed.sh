#!/usr/bin/env bash
# Signed manifests with real parts: embercrest-publish writes the key pair, the manifest and
# its signature, python's http.server serves them on 127.0.0.1, and the real launcher checks
# them with the public key (given at run time, as a build with the key built in would have it).
#   1. A manifest without a signature is refused: nothing but the manifest and the signature
#      is requested, no file changes, the installed version stays. The server did not serve
#      the signature: the bar blames the server, as for any failed check.
#   2. The same with a signature made by another key. The log names the key that signed and the
#      key the launcher trusts, and the bar says that the update was refused.
#   3. A manifest signed with the right key is read and the update goes through.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

enter_update_scratch

manifest=$work/server/ClientUpdates.json
export EMBERCREST_DELAY_MS=200
export EMBERCREST_MANIFEST_URL=$base/ClientUpdates.json

mkdir -p "$updates/enGB" "$client/Data/enGB"
head -c 200000 /dev/urandom >"$updates/enGB/patch-enGB-5.MPQ"
printf 'set realmlist 127.0.0.1\n' >"$client/Data/enGB/realmlist.wtf"
: >"$client/Wow.exe"
"$publisher" keygen realm >/dev/null
"$publisher" keygen intruder >/dev/null
EMBERCREST_MANIFEST_PUBKEY=$(cat realm.pub)
export EMBERCREST_MANIFEST_PUBKEY

# Appended to, so that each case can empty the log.
serve http.log python3 -u -m http.server "$port" --bind 127.0.0.1 --directory "$work/server"

write_client_config 0.0 enGB

publish() {
    "$publisher" --output "$manifest" "$@" "$updates" 1.1 "$base/updates/" >/dev/null 2>&1
}

# expect_refused NAME REASON: the manifest was refused for REASON and nothing else happened.
expect_refused() {
    : >http.log
    run_launcher "$1" "OnGetJSON: manifest refused: $2"
    grep -q "Online version\|Checking download queue\|=> " "$1.log" &&
        fail "$1: a refused manifest was read: $(cat "$1.log")"
    [ "$(grep -c '"GET ' http.log)" = 2 ] &&
        grep -q '"GET /ClientUpdates.json HTTP' http.log &&
        grep -q '"GET /ClientUpdates.json.sig HTTP' http.log ||
        fail "$1: requests: $(cat http.log)"
    [ "$(installed_version)" = 0.0 ] || fail "$1: the installed version changed"
    [ "$(ls "$client/Data/enGB")" = realmlist.wtf ] || fail "$1: files changed: $(ls "$client/Data/enGB")"
}

# fingerprint FILE: the fingerprint of the public key in FILE, as the log shows it.
fingerprint() { printf '%s...' "$(head -c 8 "$1")"; }
refused_text="Status: Update refused: please update the launcher"

# 1. No signature on the server.
publish
[ ! -e "$manifest.sig" ] || fail "an unsigned publish left a signature"
expect_refused missing "no signature file"
grep -qF "$refused_text" missing.log && fail "missing: the bar did not blame the server"

# 2. Signed with a key the launcher does not trust.
publish --sign intruder.key
expect_refused wrong "signed by key $(fingerprint intruder.pub), this launcher trusts $(fingerprint realm.pub): "
grep -qxF "$refused_text" wrong.log ||
    fail "wrong: the bar does not say that the update was refused: $(cat wrong.log)"

# 3. Signed with the realm's key.
publish --sign realm.key
run_launcher signed "files downloaded successfully"
grep -qxF "OnGetJSON: manifest signature verified" signed.log || fail "signed: $(cat signed.log)"
grep -qxF "1 / 1 files downloaded successfully" signed.log || fail "signed: $(cat signed.log)"
cmp -s "$updates/enGB/patch-enGB-5.MPQ" "$client/Data/enGB/patch-enGB-5.MPQ" ||
    fail "signed: the file was not saved"
[ "$(installed_version)" = 1.1 ] || fail "signed: the installed version did not advance"
echo "signed: ok"
