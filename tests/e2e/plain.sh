#!/usr/bin/env bash
# A server that knows nothing of the launcher's additions: a hand-written manifest without
# "integrity", served by nginx as it comes (ETag, Last-Modified, connections kept alive, the
# JSON gzipped as many servers are set up to do), and no key built in. The launcher must behave as a plain one: each file asked for once by a plain
# GET (no Range, no If-Range), nothing in the game folder but the targets, and the log lines and
# counts of a plain run, in order. The same holds for a launcher run by its starter from an
# installation's versions folder, which could update itself if a signed manifest said so.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

enter_update_scratch
command -v nginx >/dev/null || fail "nginx is not installed (package nginx-light)"
unset EMBERCREST_MANIFEST_PUBKEY
export EMBERCREST_DELAY_MS=200
export EMBERCREST_MANIFEST_URL=$base/engine/files/LauncherData/ClientUpdates.json

www=$work/www
mkdir -p "$www/engine/files/LauncherData" "$www/updates/ruRU" "$www/updates/enGB" \
    "$client/Data/ruRU" "$client/Data/enGB"
head -c 2097152 /dev/urandom >"$www/updates/ruRU/patch-ruRU-4.MPQ"
head -c 70000 /dev/urandom >"$www/updates/ruRU/patch-ruRU-5.MPQ"
head -c 5000 /dev/urandom >"$www/updates/enGB/patch-enGB-4.MPQ"
printf 'set realmlist 127.0.0.1\n' >"$client/Data/ruRU/realmlist.wtf"
: >"$client/Wow.exe"
# As a server's admin writes it by hand: "date" sorts before "version", which is the online one.
cat >"$www/engine/files/LauncherData/ClientUpdates.json" <<EOF
{
    "wsection": [
        { "date": "2026-12-01", "version": "1.1" },
        {
            "ruRU": {
                "patch-4": "$base/updates/ruRU/patch-ruRU-4.MPQ",
                "patch-5": "$base/updates/ruRU/patch-ruRU-5.MPQ"
            },
            "enGB": { "patch-4": "$base/updates/enGB/patch-enGB-4.MPQ" }
        }
    ]
}
EOF
write_client_config 1.0 ruRU

# nginx as shipped, on 127.0.0.1 only; the access log gives each request's Range and If-Range.
nginx_config "$work/nginx" "$port" "$www" "
    log_format plain '\$request \$status range=\"\$http_range\" if-range=\"\$http_if_range\"';
    access_log $work/access.log plain;
    gzip on;
    gzip_types application/json;
    gzip_min_length 1;"
serve nginx.log "${nginx_command[@]}"
curl -sfI "$EMBERCREST_MANIFEST_URL" | grep -qi '^ETag:' || fail "nginx sends no ETag"
curl -sfI "$EMBERCREST_MANIFEST_URL" | grep -qi '^Last-Modified:' || fail "nginx sends no Last-Modified"
curl -sf -H 'Accept-Encoding: gzip, deflate' -D - -o /dev/null "$EMBERCREST_MANIFEST_URL" |
    grep -qi '^Content-Encoding: gzip' || fail "nginx does not gzip the manifest"
# grep -q leaves as soon as it matches: nginx may log the request it was reading after that.
wait_for 10 bash -c "[ \$(wc -l <'$work/access.log') -ge 3 ]" || fail "nginx logged no requests"
: >"$work/access.log"

# plain_run NAME: one start from a client at 1.0, and every check of it.
plain_run() {
    run_launcher "$1" "files downloaded successfully"

    # Every request: the manifest, then each file once, as plain GETs.
    expected_requests=$(printf '%s\n' \
        'GET /engine/files/LauncherData/ClientUpdates.json HTTP/1.1 200 range="-" if-range="-"' \
        'GET /updates/ruRU/patch-ruRU-4.MPQ HTTP/1.1 200 range="-" if-range="-"' \
        'GET /updates/ruRU/patch-ruRU-5.MPQ HTTP/1.1 200 range="-" if-range="-"')
    requests=$(cat "$work/access.log")
    [ "$requests" = "$expected_requests" ] || fail "requests: $(cat "$work/access.log")"

    # The files, and nothing else, in the game folder.
    for file in patch-ruRU-4.MPQ patch-ruRU-5.MPQ; do
        cmp -s "$www/updates/ruRU/$file" "$client/Data/ruRU/$file" || fail "$file differs"
    done
    found=$(cd "$client" && find . -mindepth 1 | sort | tr '\n' ' ')
    [ "$found" = "./Data ./Data/enGB ./Data/ruRU ./Data/ruRU/patch-ruRU-4.MPQ ./Data/ruRU/patch-ruRU-5.MPQ ./Data/ruRU/realmlist.wtf ./Wow.exe " ] ||
        fail "the game folder holds: $found"
    [ "$(installed_version)" = 1.1 ] || fail "installed version is $(installed_version)"

    # The log of a plain run, line by line. The file replies reach the manifest reader too, and
    # are left alone there.
    data=$client/Data/ruRU
    expected_log=$(printf '%s\n' \
        "AppConfig->Constructor: I'm called!" \
        "OnGetJSON: I'm called! Starting cheking content of this file... :D" \
        "OnGetJSON: Reading JSON" \
        "Local version -  10" \
        "Online version -  11" \
        "Locale  \"enGB\"  not found." \
        "\"ruRU\"  =>  \"$base/updates/ruRU/patch-ruRU-4.MPQ\"" \
        "\"ruRU\"  =>  \"$base/updates/ruRU/patch-ruRU-5.MPQ\"" \
        "\"$data/patch-ruRU-4.MPQ\"" \
        "Target -  QUrl(\"$base/updates/ruRU/patch-ruRU-4.MPQ\")" \
        "\"$data/patch-ruRU-5.MPQ\"" \
        "Target -  QUrl(\"$base/updates/ruRU/patch-ruRU-5.MPQ\")" \
        "Checking download queue..." \
        "OnGetJSON: I'm called! Starting cheking content of this file... :D" \
        "True? Okey i offline." \
        "Saved!" \
        "Checking download queue..." \
        "OnGetJSON: I'm called! Starting cheking content of this file... :D" \
        "True? Okey i offline." \
        "Saved!" \
        "Checking download queue..." \
        "2 / 2 files downloaded successfully")
    # Read from the launcher's own log file, without its times: its output may also carry a
    # sanitizer's or Wine's words. Qt's warning about a missing runtime folder is not the launcher's.
    log=$(sed -E 's/^[0-9-]+ [0-9:.]+ //' embercrest-launcher.log | grep -v '^QStandardPaths: ' |
        tr -d '\r')
    [ "$log" = "$expected_log" ] || fail "$1: log: $(diff <(echo "$expected_log") <(echo "$log"))"
}

plain_run plain
# Again, through the starter of an installation.
rm "$client/Data/ruRU/"*.MPQ embercrest-launcher.log
write_client_config 1.0 ruRU
: >"$work/access.log"
read -r -a run_prefix <<<"${EMBERCREST_E2E_RUN:-}"
exe=""
[ -z "${EMBERCREST_E2E_WINE:-}" ] || exe=.exe
mkdir -p inst/versions/1.0
cp "${EMBERCREST_STARTER_FILE:?}" "inst/embercrest-launcher$exe"
cp "${EMBERCREST_LAUNCHER_FILE:?}" "inst/versions/1.0/embercrest-launcher$exe"
: >inst/versions/1.0/healthy
launcher=("${run_prefix[@]}" "$work/inst/embercrest-launcher$exe")
plain_run plain-starter
[ "$(cd inst && find . | sort | tr '\n' ' ')" = ". ./embercrest-launcher$exe ./versions ./versions/1.0 ./versions/1.0/embercrest-launcher$exe ./versions/1.0/healthy " ] ||
    fail "the installation changed: $(cd inst && find . | sort)"
echo "plain: ok"
