#!/usr/bin/env bash
# Broken or hostile config.conf files: the launcher starts, shows its window and closes cleanly
# with exit code 0 every time.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi

launcher=${EMBERCREST_LAUNCHER:?path of the launcher executable}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
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

for case in binary huge odd-keys directory empty; do
    dir="$root/$case"
    mkdir -p "$dir"
    cd "$dir"
    prepare "$case"
    "$launcher" >launcher.log 2>&1 &
    pid=$!
    window=$(launcher_window)
    [ -n "$window" ] || fail "$case: no window ($(tail -n 5 launcher.log))"
    click_in_window "$window" 1160 16
    wait_for 20 bash -c "! kill -0 $pid 2>/dev/null" || fail "$case: close did not end the launcher"
    status=0
    wait "$pid" || status=$?
    [ "$status" = 0 ] || fail "$case: exit code $status ($(tail -n 5 launcher.log))"
    echo "$case: ok"
done
