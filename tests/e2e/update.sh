#!/usr/bin/env bash
# The whole update path with real parts: embercrest-publish writes the manifest, python's
# http.server serves it on 127.0.0.1, and the real launcher updates a client folder.
#   1. A fresh client at 0.0 gets every file of its installed locales, byte for byte, and 1.1.
#   2. A second start finds equal versions and fetches nothing but the manifest.
#   3. Version 1.2 is published with one file missing on the server: every old file stays as
#      it was (the missing one included) and the installed version stays 1.1.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

enter_update_scratch

manifest=$work/server/engine/files/LauncherData/ClientUpdates.json
# The 5 s pauses of the product, shortened; the order of events stays the same.
export EMBERCREST_DELAY_MS=200
export EMBERCREST_MANIFEST_URL=$base/engine/files/LauncherData/ClientUpdates.json

mkdir -p "$updates/ruRU" "$updates/enGB" "$updates/deDE" "$client/Data/ruRU" "$client/Data/enGB"
head -c 3145728 /dev/urandom >"$updates/ruRU/patch-ruRU-4.MPQ"
head -c 100000 /dev/urandom >"$updates/ruRU/Звуки окружения.MPQ"
head -c 1048576 /dev/urandom >"$updates/enGB/patch-enGB-4.MPQ"
head -c 5000 /dev/urandom >"$updates/enGB/Interface Art.MPQ"
head -c 4096 /dev/urandom >"$updates/deDE/patch-deDE-4.MPQ" # not installed: never fetched
printf 'set realmlist 127.0.0.1\n' >"$client/Data/enGB/realmlist.wtf"
: >"$client/Wow.exe"

serve http.log python3 -u -m http.server "$port" --bind 127.0.0.1 --directory "$work/server"

publish() {
    "$publisher" --date 2026-12-01 --output "$manifest" "$updates" "$1" "$base/updates/" >/dev/null
}

# A client folder set up the way the settings page leaves it: ruRU and enGB installed.
write_client_config 0.0 ruRU enGB

requests_since() {
    grep -c '"GET ' http.log || true
}

# 1. A fresh client is brought to 1.1.
publish 1.1
run_launcher fresh "files downloaded successfully"
grep -qxF "4 / 4 files downloaded successfully" fresh.log || fail "fresh: $(grep downloaded fresh.log)"
grep -qF "4 / 4 files downloaded successfully" embercrest-launcher.log ||
    fail "fresh: the log beside config.conf lacks the outcome"
for locale in ruRU enGB; do
    for file in "$updates/$locale"/*; do
        cmp -s "$file" "$client/Data/$locale/${file##*/}" ||
            fail "fresh: $locale/${file##*/} differs from the server's"
    done
done
[ ! -e "$client/Data/deDE" ] || fail "fresh: a locale that is not installed got a folder"
cmp -s <(printf 'set realmlist 127.0.0.1\n') "$client/Data/enGB/realmlist.wtf" ||
    fail "fresh: a file the manifest does not list was touched"
[ "$(installed_version)" = 1.1 ] || fail "fresh: installed version is $(installed_version)"
expected=$(printf '%s\n' enGB/"Interface Art.MPQ" enGB/patch-enGB-4.MPQ enGB/realmlist.wtf \
    ruRU/patch-ruRU-4.MPQ ruRU/"Звуки окружения.MPQ" | sort)
found=$(cd "$client/Data" && find . -type f | sed 's|^\./||' | sort)
[ "$found" = "$expected" ] || fail "fresh: the client holds other files than expected: $found"
requests=$(requests_since)

# 2. Up to date: only the manifest is fetched.
run_launcher again "Online version -  11"
grep -qxF "Local version -  11" again.log || fail "again: $(grep version again.log)"
sleep 1 # longer than the shortened pause before a queue would start
grep -q "Checking download queue" again.log && fail "again: a download run started"
[ "$(requests_since)" = $((requests + 1)) ] || fail "again: requests: $(tail -n 3 http.log)"

# 3. 1.2 with a file missing on the server: nothing of 1.1 is lost, the version stays.
mkdir -p "$work/old"
cp -a "$client/Data" "$work/old/"
printf 'new content of 1.2\n' >"$updates/enGB/Interface Art.MPQ"
# Changed in 1.2, so the launcher must fetch it (an unchanged file is not asked for).
printf 'patch of 1.2\n' >"$updates/ruRU/patch-ruRU-4.MPQ"
publish 1.2
rm "$updates/ruRU/patch-ruRU-4.MPQ"
run_launcher broken "files downloaded successfully"
grep -qxF "3 / 4 files downloaded successfully" broken.log || fail "broken: $(grep downloaded broken.log)"
cmp -s "$work/old/Data/ruRU/patch-ruRU-4.MPQ" "$client/Data/ruRU/patch-ruRU-4.MPQ" ||
    fail "broken: the file missing on the server lost its old content"
cmp -s "$work/old/Data/ruRU/Звуки окружения.MPQ" "$client/Data/ruRU/Звуки окружения.MPQ" ||
    fail "broken: an unchanged file came back different"
cmp -s "$updates/enGB/Interface Art.MPQ" "$client/Data/enGB/Interface Art.MPQ" ||
    fail "broken: a file that did arrive was not saved"
[ "$(installed_version)" = 1.1 ] || fail "broken: installed version is $(installed_version)"
echo "update: ok"
