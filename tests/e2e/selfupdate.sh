#!/usr/bin/env bash
# The launcher updating itself, with the real starter, launcher and publisher and a server on
# 127.0.0.1 that sends ETag and Last-Modified and can stall a transfer (rangeserver.py). The
# installation is laid out as the installer lays it out: the starter, and versions/1.0/.
#   1. 1.0 -> 1.1: the first start fetches 1.1 in the background, the second runs it on trial,
#      and it declares itself healthy.
#   2. Killed (kill -9) at 10 points of the download, the staging and the switch: every next
#      start shows the window, and in the end 1.1 runs, healthy.
#   3. A 1.2 that exits before it is healthy: the second start of it runs 1.1 again, and 1.2 is
#      not fetched again; a 1.3 is.
#   4. Refused, with nothing started and the reason in the log: a flipped byte, a wrong size, a
#      lower or equal version, an unsigned manifest, no key built in, a system below the minimum.
# Under Wine the kill points are left out: killing Windows processes there is the Wine
# server's business, not a power cut's.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

enter_update_scratch
launcher_file=${EMBERCREST_LAUNCHER_FILE:?path of the launcher executable itself}
starter_file=${EMBERCREST_STARTER_FILE:?path of embercrest-starter}
publisher_file=${EMBERCREST_PUBLISH_FILE:?path of embercrest-publish itself}
read -r -a run_prefix <<<"${EMBERCREST_E2E_RUN:-}"
if [ -n "${EMBERCREST_E2E_WINE:-}" ]; then
    exe=.exe platform=windows-x86_64
else
    exe="" platform=linux-x86_64
fi
name=embercrest-launcher$exe
export EMBERCREST_DELAY_MS=200
export EMBERCREST_MANIFEST_URL=$base/ClientUpdates.json

mkdir -p "$updates/enGB" "$client/Data/enGB"
head -c 20000 /dev/urandom >"$updates/enGB/patch-enGB-5.MPQ"
cp "$updates/enGB/patch-enGB-5.MPQ" "$client/Data/enGB/"
: >"$client/Wow.exe"
"$publisher" keygen realm >/dev/null
EMBERCREST_MANIFEST_PUBKEY=$(cat realm.pub)
export EMBERCREST_MANIFEST_PUBKEY
# The game is up to date: each start's check ends at once, and a release is fetched then.
write_client_config 1.1 enGB

: >cuts
serve server.log python3 -u "$(dirname "$0")/rangeserver.py" "$work/server" "$port" \
    --cut-file "$work/cuts"

inst=$work/inst
launcher=("${run_prefix[@]}" "$inst/$name")
# install: a fresh installation of version 1.0.
install() {
    rm -rf "$inst"
    mkdir -p "$inst/versions/1.0"
    cp "$starter_file" "$inst/$name"
    cp "$launcher_file" "$inst/versions/1.0/$name"
    : >"$inst/versions/1.0/healthy"
}

serial=0
# release VERSION FILE [OPTION...]: publishes the game at 1.1 and launcher VERSION as FILE.
release() {
    local version=$1 file=$2
    shift 2
    serial=$((serial + 1))
    "$publisher" --output "$work/server/ClientUpdates.json" --sign realm.key --serial "$serial" \
        --launcher-version "$version" --launcher-file "$platform=$file" "$@" \
        "$updates" 1.1 "$base/updates/" >publish.log 2>&1 || fail "publish: $(cat publish.log)"
}
release_path() { echo "/updates/launcher/$1/$platform/$name"; }
gets_of() { grep -c "^GET $1 " server.log || true; }

# start NAME: starts the installed launcher through its starter and waits for its window.
start() {
    start_launcher "$1"
    window=$(launcher_window)
    [ -n "$window" ] || fail "$1: no launcher window"
}
# expect NAME LINE: LINE appears in the log of the launcher started as NAME.
expect() {
    wait_for 60 grep -qF -- "$2" "$work/$1.log" || fail "$1: no line '$2' in its output"
}
# crash: kill -9 of the starter and of the launcher it runs, as a power cut would end both.
crash() {
    pkill -KILL -P "$launcher_pid" 2>/dev/null || true
    kill_launcher
}
# runs_version NAME VERSION: the launcher started as NAME is VERSION (it says so of a release).
runs_version() {
    grep -qF "(this launcher is $2)" "$work/$1.log" ||
        fail "$1: not version $2: $(grep 'Launcher update' "$work/$1.log")"
}

# 1. 1.0 -> 1.1.
install
release 1.1 "$launcher_file"
run_launcher fetch "Launcher update: 1.1 is ready, used from the next start"
runs_version fetch 1.0
cmp -s "$launcher_file" "$inst/versions/1.1/$name" || fail "1.1 differs from the release"
[ ! -e "$inst/versions/1.1.staging" ] || fail "the staging folder is left"
[ "$(gets_of "$(release_path 1.1)")" = 1 ] || fail "1.1 fetched $(gets_of "$(release_path 1.1)") times"
run_launcher switch "Launcher 1.1 is healthy: kept"
expect switch "Starter: trying 1.1 (start 1 of 2)"
runs_version switch 1.1
[ -e "$inst/versions/1.1/healthy" ] && [ -e "$inst/versions/1.0/$name" ] ||
    fail "after the switch: $(cd "$inst" && find versions | sort | tr '\n' ' ')"
[ "$(gets_of "$(release_path 1.1)")" = 1 ] || fail "1.1 fetched again"

# 2. Kill points. Each start must show the window, of 1.0 or 1.1.
if [ -z "${EMBERCREST_E2E_WINE:-}" ]; then
    install
    size=$(stat -c %s "$launcher_file")
    # stalled_kill NAME URL-PATH BYTES: the transfer of URL-PATH stops after BYTES; then the kill.
    stalled_kill() {
        local before
        before=$(gets_of "$2")
        echo "$2 $3 stall" >cuts
        start "$1"
        wait_for 30 bash -c "[ \$(grep -c '^GET $2 ' server.log) -gt $before ]" ||
            fail "$1: $2 not asked for"
        sleep 0.5
        crash
        : >cuts
        [ ! -e "$inst/versions/1.1" ] || fail "$1: 1.1 in place before it was whole"
    }
    stalled_kill kill-check /ClientUpdates.json 100
    stalled_kill kill-at-0 "$(release_path 1.1)" 0
    stalled_kill kill-at-1M "$(release_path 1.1)" 1048576
    stalled_kill kill-at-9M "$(release_path 1.1)" 9437184
    # A large file's partial download is kept across starts, and continued from where it ended.
    kept=$(cat "$inst/versions/1.1.staging/$name.partial" 2>/dev/null | wc -c)
    stalled_kill kill-at-end "$(release_path 1.1)" $((size - kept - 1))
    # Right after the rename into place.
    start kill-staged
    expect kill-staged "Launcher update: 1.1 is ready"
    crash
    cmp -s "$launcher_file" "$inst/versions/1.1/$name" || fail "kill-staged: 1.1 differs"
    # The trial start, before its check has ended: one of its two tries is used.
    echo "/ClientUpdates.json 100 stall" >cuts
    start kill-trial
    expect kill-trial "Starter: trying 1.1 (start 1 of 2)"
    crash
    : >cuts
    # The second try, killed once it is healthy; then the start that tidies up after it.
    start kill-healthy
    expect kill-healthy "Launcher 1.1 is healthy: kept"
    crash
    start kill-tidy
    crash
    start kill-last
    sleep 0.3
    crash
    run_launcher after-kills "Launcher update: 1.1 refused (this launcher is 1.1): not newer"
    grep -q "Starter:" after-kills.log && fail "after-kills: $(grep Starter: after-kills.log)"
    [ -e "$inst/versions/1.1/healthy" ] && [ ! -e "$inst/versions/1.1/blocked" ] ||
        fail "after the kills: $(cd "$inst" && find versions | sort | tr '\n' ' ')"
    leftovers=$(cd "$inst/versions" && find . -name '*.staging' -o -name '*emberpart*' -o -name '*.partial*')
    [ -z "$leftovers" ] || fail "left behind: $leftovers"
fi

# 3. A release that cannot start: here the publisher under the launcher's name, which exits
# with an error at once (no arguments).
install
release 1.1 "$launcher_file"
run_launcher r-fetch11 "Launcher update: 1.1 is ready"
run_launcher r-switch11 "Launcher 1.1 is healthy: kept"
mkdir -p broken
cp "$publisher_file" "broken/$name"
release 1.2 "broken/$name"
run_launcher r-fetch12 "Launcher update: 1.2 is ready"
# tried_and_failed NAME: a start that runs 1.2, which ends at once: no window, an error.
tried_and_failed() {
    start_launcher "$1"
    local status=0
    wait "$launcher_pid" || status=$?
    launcher_pid=""
    [ "$status" != 0 ] || fail "$1: the broken release exited with 0"
    [ -e "$inst/versions/1.2/try-1" ] || fail "$1: 1.2 was not tried"
}
tried_and_failed r-try1
# The second failed try: the starter blocks 1.2 and runs 1.1 at once, in the same start.
run_launcher r-try2 "Launcher update: 1.2 refused (this launcher is 1.1): it failed to start here twice; waiting for a newer version"
expect r-try2 "Starter: 1.2 ended before it was healthy (exit code 2) in 2 starts, blocked"
runs_version r-try2 1.1
run_launcher r-blocked "Launcher update: 1.2 refused (this launcher is 1.1): it failed to start here twice"
[ "$(gets_of "$(release_path 1.2)")" = 1 ] || fail "1.2 fetched again"
release 1.3 "$launcher_file"
run_launcher r-fetch13 "Launcher update: 1.3 is ready"
run_launcher r-switch13 "Launcher 1.3 is healthy: kept"
runs_version r-switch13 1.3
# Kept: this version and the one a rollback would run; an older one that an installer left is
# removed at the next start.
[ "$(cd "$inst/versions" && ls | tr '\n' ' ')" = "1.1 1.3 " ] ||
    fail "r-switch13: versions holds $(cd "$inst/versions" && ls | tr '\n' ' ')"
cp -r "$inst/versions/1.1" "$inst/versions/0.5"
run_launcher r-tidy "Launcher update: 1.3 refused (this launcher is 1.3): not newer"
[ "$(cd "$inst/versions" && ls | tr '\n' ' ')" = "1.1 1.3 " ] ||
    fail "r-tidy: versions holds $(cd "$inst/versions" && ls | tr '\n' ' ')"

# 4. Refusals: nothing fetched or started, and the reason in the log.
# refused NAME LINE: 1.0 runs, logs LINE, and no other version appears.
refused() {
    run_launcher "$1" "$2"
    grep -q "Starter:" "$work/$1.log" && fail "$1: $(grep Starter: "$work/$1.log")"
    local found
    found=$(cd "$inst/versions" && ls)
    [ "$found" = 1.0 ] || fail "$1: versions holds $found"
}
tamper() { # tamper VERSION COMMAND...: changes the published file of VERSION
    local file=$updates/launcher/$1/$platform/$name
    shift
    "$@" "$file"
}
flip_byte() { printf '\x55' | dd of="$1" bs=1 seek=1000 count=1 conv=notrunc 2>/dev/null; }
append_byte() { printf 'x' >>"$1"; }
install
release 1.1 "$launcher_file"
tamper 1.1 flip_byte
refused r-flipped "Launcher update: 1.1 not fetched: $name: "
grep -q "SHA-256" r-flipped.log || fail "r-flipped: $(grep 'Launcher update' r-flipped.log)"
release 1.1 "$launcher_file"
tamper 1.1 append_byte
refused r-size "Launcher update: 1.1 not fetched: $name: "
release 0.9 "$launcher_file"
refused r-lower "Launcher update: 0.9 refused (this launcher is 1.0): not newer"
release 1.0 "$launcher_file"
refused r-equal "Launcher update: 1.0 refused (this launcher is 1.0): not newer"
release 1.1 "$launcher_file" --launcher-minimum-os "$platform=999"
refused r-system "Launcher update: 1.1 refused (this launcher is 1.0): it needs system version 999 or newer"
release 1.1 "$launcher_file"
mv "$work/server/ClientUpdates.json.sig" unsigned.sig
refused r-unsigned "OnGetJSON: manifest refused: no signature file"
grep -q "Launcher update" r-unsigned.log && fail "r-unsigned: the release was read"
mv unsigned.sig "$work/server/ClientUpdates.json.sig"
(
    unset EMBERCREST_MANIFEST_PUBKEY
    refused r-nokey "Launcher update: 1.1 refused: the manifest is not signed (no key is built in)"
)
# An installation that the player cannot write (installed by an administrator): root writes
# through file modes, so this runs as nobody, and is skipped where that is impossible.
if [ -z "${EMBERCREST_E2E_WINE:-}" ] && [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null &&
    id nobody >/dev/null 2>&1; then
    player=$work/player
    mkdir -p "$player"
    cp config.conf "$player/"
    chown -R nobody "$player"
    chmod 755 "$work"
    if [ -n "${XAUTHORITY:-}" ]; then
        cp "$XAUTHORITY" "$work/Xauthority"
        chmod 644 "$work/Xauthority"
        export XAUTHORITY=$work/Xauthority
    fi
    as_player=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    [ ${#orphan_guard[@]} -eq 0 ] || as_player+=(--pdeathsig KILL)
    launcher=("${as_player[@]}" -- env HOME="$player" "$inst/$name")
    cd "$player"
    refused r-readonly "Launcher update: 1.1 refused (this launcher is 1.0): $inst/versions is not writable"
    cd "$work"
else
    echo "selfupdate: the installation that cannot be written is skipped (not root, or no setpriv)"
fi
[ "$(gets_of "$(release_path 0.9)")$(gets_of "$(release_path 1.0)")" = 00 ] ||
    fail "a release that is not newer was fetched"
echo "selfupdate: ok"
