#!/usr/bin/env bash
# Broken or hostile config.conf files: the launcher starts, shows its window and closes cleanly
# with exit code 0 every time. A read-only config.conf and a working folder that cannot be
# written keep their content while the player changes a setting.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

ensure_display "$@"

launcher=${EMBERCREST_LAUNCHER:?path of the launcher executable}
root=$(mktemp -d)
remove_paths+=("$root")
# Nothing listens here: every update check fails fast.
export EMBERCREST_MANIFEST_URL="http://127.0.0.1:$(free_port)/ClientUpdates.json"

prepare() {
    case "$1" in
    binary) head -c 65536 /dev/urandom >config.conf ;;
    huge) { printf '[ClientVersion]\nWOTLK=0.0\n'; head -c 20000000 /dev/zero | tr '\0' 'x'; } >config.conf ;;
    odd-keys)
        printf '[Client%%20Location]\n%%00=\\x0\n[ClientLocation]\nWOTLK="C:\\\\a;b\\"\n' >config.conf
        printf 'LEGION=\\\\\\\n[\n]=]\n[ClientVersion]\nWOTLK=\xff\xfe\n[WClientLocale]\nruRU=1,2,3\n' >>config.conf
        ;;
    directory) mkdir config.conf ;;
    empty) : >config.conf ;;
    esac
}

# open_launcher LOG [COMMAND PREFIX...]: starts the launcher in the current folder and sets
# $pid and $window.
open_launcher() {
    launcher_log=$1
    shift
    spawn "$@" "$launcher" >"$launcher_log" 2>&1
    pid=$!
    window=$(launcher_window)
    [ -n "$window" ] || fail "$case: no window"
}

# Closes the window with the title bar's button and expects exit code 0.
close_launcher() {
    local log=$1
    close_launcher_window "$window" "$pid" || fail "$case: close did not end the launcher"
    local status=0
    wait "$pid" || status=$?
    [ "$status" = 0 ] || fail "$case: exit code $status ($(tail -n 5 "$log"))"
}

for case in binary huge odd-keys directory empty; do
    dir="$root/$case"
    mkdir -p "$dir"
    cd "$dir"
    prepare "$case"
    open_launcher "$dir/launcher.log"
    close_launcher "$dir/launcher.log"
    echo "$case: ok"
done

# Read-only cases. Root writes through file modes, so there they run as the unprivileged user
# nobody; where that is impossible too, they are skipped, never passed without a check.
player=()
if [ "$(id -u)" = 0 ]; then
    if command -v setpriv >/dev/null && id nobody >/dev/null 2>&1; then
        player=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
        # Changing the user drops the parent-death signal (see spawn): set it again after.
        [ ${#orphan_guard[@]} -eq 0 ] || player+=(--pdeathsig KILL)
        player+=(-- env HOME="$root/home")
        mkdir -p "$root/home"
        chown nobody "$root/home"
        chmod 755 "$root"
        # The display's cookie, readable for nobody.
        if [ -n "${XAUTHORITY:-}" ]; then
            cp "$XAUTHORITY" "$root/Xauthority"
            chmod 644 "$root/Xauthority"
            export XAUTHORITY="$root/Xauthority"
        fi
    fi
fi

# as_player COMMAND...: runs COMMAND as the user the launcher runs as.
as_player() {
    "${player[@]}" "$@"
}

# Can the player still write PATH (a file to append to, or a folder to create a file in)?
player_can_write() {
    if [ -d "$1" ]; then
        as_player sh -c "touch '$1/.probe' && rm -f '$1/.probe'" 2>/dev/null
    else
        as_player sh -c ": >>'$1'" 2>/dev/null
    fi
}

# A folder the player owns, so that only the modes set afterwards stop writes.
player_folder() {
    mkdir -p "$1"
    [ ${#player[@]} -eq 0 ] || chown nobody "$1"
}

# Opens the settings page, if it is not open yet, and ticks "Minimize on start game": the launcher
# writes Main/MinimizeOnPlay at once.
toggle_minimize() {
    [ "${1:-}" = page-open ] || click_in_window "$window" 235 680
    click_in_window "$window" 116 450
}

config_text='[ClientLocation]
WOTLK=
LEGION=

[ClientVersion]
WOTLK=1.0
'

# The same clicks on a writable file do write: the read-only check below cannot pass by a
# missed click.
case=writable
dir="$root/$case"
player_folder "$dir"
cd "$dir"
printf '%s' "$config_text" >config.conf
[ ${#player[@]} -eq 0 ] || chown nobody config.conf
if ! as_player test -x "$launcher"; then
    echo "SKIP read-only cases: the launcher cannot be run as nobody ($launcher)"
    exit 0
fi
open_launcher "$root/$case.log" "${player[@]}"
toggle_minimize
wait_for 20 grep -q '^MinimizeOnPlay=yes' config.conf || fail "$case: the setting was not stored"
close_launcher "$root/$case.log"
echo "$case: ok"

case=read-only-config
dir="$root/$case"
player_folder "$dir"
cd "$dir"
printf '%s' "$config_text" >config.conf
[ ${#player[@]} -eq 0 ] || chown nobody config.conf
chmod 444 config.conf
if player_can_write config.conf; then
    echo "SKIP $case: chmod does not stop this user's writes (root without a way to drop privileges)"
else
    open_launcher "$root/$case.log" "${player[@]}"
    toggle_minimize
    close_launcher "$root/$case.log"
    [ "$(cat config.conf)" = "$(printf '%s' "$config_text")" ] || fail "$case: config.conf changed"
    echo "$case: ok"
fi

# First run in a folder that cannot be written: the settings page opens, nothing is stored.
case=read-only-folder
dir="$root/$case"
player_folder "$dir"
chmod 555 "$dir"
cd "$dir"
if player_can_write "$dir"; then
    echo "SKIP $case: chmod does not stop this user's writes (root without a way to drop privileges)"
else
    open_launcher "$root/$case.log" "${player[@]}"
    toggle_minimize page-open
    close_launcher "$root/$case.log"
    [ -z "$(ls -A "$dir")" ] || fail "$case: files appeared: $(ls -A "$dir")"
    echo "$case: ok"
fi
