# Helpers shared by the end-to-end scripts. Each script runs the real launcher in a display of
# its own (Xvfb through xvfb-run) and in a scratch working directory.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# wait_for SECONDS COMMAND...: polls until COMMAND succeeds.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# The launcher's window id, once it is shown (empty after 30 s without one).
launcher_window() {
    timeout 30 xdotool search --sync --onlyvisible --name '^Embercrest Launcher$' 2>/dev/null |
        head -n 1 || true
}

# click_in_window WINDOW X Y: a left click at window coordinates.
click_in_window() {
    xdotool mousemove --window "$1" "$2" "$3" click 1
}

# close_launcher_window WINDOW PID: clicks the title bar's close button until the process ends
# (at most 20 s). Under Wine a click that comes right after the window appeared can be lost,
# so it is repeated every 2 s; on Linux the first one ends it.
close_launcher_window() {
    local deadline=$((SECONDS + 20))
    while kill -0 "$2" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        click_in_window "$1" 1160 16
        wait_for 2 bash -c "! kill -0 $2 2>/dev/null" || true
    done
}

# A free TCP port on 127.0.0.1.
free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# ensure_display "$@": re-runs the calling script in a virtual display of its own when there is
# none, so a test never opens windows on the desktop of whoever runs it.
ensure_display() {
    if [ -z "${DISPLAY:-}" ]; then
        exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
    fi
}

# installed_version: the WOTLK version in ./config.conf (CR LF line ends on Windows).
installed_version() {
    sed -n '/^\[ClientVersion\]/,/^\[/s/^WOTLK=//p' config.conf | tr -d '\r'
}

# start_launcher NAME: starts $launcher in the background, its output in $work/NAME.log and its
# process id in launcher_pid.
start_launcher() {
    "$launcher" >"$work/$1.log" 2>&1 &
    launcher_pid=$!
}

# kill_launcher: ends the launcher started by start_launcher at once, as a crash would. Under
# Wine that process is a wrapper: the Wine server ends the Windows program itself.
kill_launcher() {
    [ -z "${EMBERCREST_E2E_WINE:-}" ] || wineserver -k
    kill -9 "$launcher_pid" 2>/dev/null || true
    wait "$launcher_pid" 2>/dev/null || true
    launcher_pid=""
}

# run_launcher NAME LINE: starts the launcher, waits for LINE in its log, then closes it through
# the title bar's close button and expects exit code 0.
run_launcher() {
    local log=$work/$1.log
    start_launcher "$1"
    local window
    window=$(launcher_window)
    [ -n "$window" ] || fail "$1: no launcher window ($(tail -n 5 "$log"))"
    wait_for 60 grep -qF -- "$2" "$log" || fail "$1: no line '$2' in: $(cat "$log")"
    close_launcher_window "$window" "$launcher_pid" || fail "$1: close did not end the launcher"
    local status=0
    wait "$launcher_pid" || status=$?
    launcher_pid=""
    [ "$status" = 0 ] || fail "$1: exit code $status"
}

# enter_scratch: the programs under test from the environment, and a scratch folder to work in,
# removed on exit with the launcher and the server that the script started.
enter_scratch() {
    launcher=${EMBERCREST_LAUNCHER:?path of the launcher executable}
    publisher=${EMBERCREST_PUBLISH:?path of embercrest-publish}
    work=$(mktemp -d)
    server_pid=""
    launcher_pid=""
    trap leave_scratch EXIT
    cd "$work"
}

leave_scratch() {
    [ -z "$launcher_pid" ] || kill -9 "$launcher_pid" 2>/dev/null || true
    [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}

# serve COMMAND...: starts an HTTP server for 127.0.0.1:$port and waits until it listens.
serve() {
    "$@" &
    server_pid=$!
    wait_for 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null || fail "HTTP server did not start"
}
