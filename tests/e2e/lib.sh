# Helpers shared by the end-to-end scripts. Each script runs the real launcher in a display of
# its own (Xvfb) and in a scratch working directory.
#
# Every process a script starts (launchers, the HTTP server, the display) ends when the script
# ends, whatever the reason: the EXIT trap below ends them, HUP, INT and TERM lead to it, and
# each one is started with a parent-death signal, so that even a script killed outright takes
# them along. A script that fails shows the end of the launcher's and the server's logs first,
# so that its output alone tells what happened.

started_pids=()  # launchers and servers started by spawn, still to be ended
display_pid=""   # the Xvfb of ensure_display
remove_paths=()  # scratch folders and files, removed at exit
launcher_log=""  # the output of the launcher started last
server_log=""    # the log of the HTTP server

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# A process that this script started and has not reaped: safe to signal by its id.
is_own_child() {
    [ "$(ps -o ppid= -p "$1" 2>/dev/null | tr -d ' ')" = "$$" ]
}

# show_tail TITLE FILE: the last lines of FILE on standard error.
show_tail() {
    [ -n "$2" ] && [ -f "$2" ] || return 0
    echo "--- $1, last lines of $2:" >&2
    tail -n 40 "$2" >&2
    echo "--- end of $1" >&2
}

leave() {
    local status=$?
    set +e
    local pid ended=""
    {
        for pid in "${started_pids[@]}"; do
            is_own_child "$pid" && kill -9 "$pid" && ended=1
        done
        # Under Wine a launcher is a wrapper: the Wine server ends the Windows program itself.
        [ -z "${EMBERCREST_E2E_WINE:-}" ] || [ -z "$ended" ] || wineserver -k
        for pid in "${started_pids[@]}"; do
            wait "$pid"
        done
    } 2>/dev/null
    if [ "$status" != 0 ]; then
        show_tail "launcher output" "$launcher_log"
        show_tail "server log" "$server_log"
    fi
    if [ -n "$display_pid" ] && is_own_child "$display_pid"; then
        kill "$display_pid" 2>/dev/null
        wait "$display_pid" 2>/dev/null
    fi
    local path
    for path in "${remove_paths[@]}"; do
        chmod -R u+w "$path" 2>/dev/null
        rm -rf "$path"
    done
    return "$status"
}
trap leave EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# With a parent-death signal where setpriv can set one: the process gets SIGKILL when the
# script ends in any way, even by SIGKILL.
if setpriv --pdeathsig KILL -- true 2>/dev/null; then
    orphan_guard=(setpriv --pdeathsig KILL --)
else
    orphan_guard=()
fi

# spawn COMMAND...: starts COMMAND in the background (its id in $!), to be ended at exit.
spawn() {
    "${orphan_guard[@]}" "$@" &
    started_pids+=("$!")
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

# The launcher's window id, once it is shown (empty after 30 s without one). xdotool gives up
# at once on an X error, such as a window that vanished while it looked at it (Wine makes and
# drops helper windows as a program starts): it is asked again until the time is up.
launcher_window() {
    local deadline=$((SECONDS + 30)) id
    while [ "$SECONDS" -lt "$deadline" ]; do
        id=$(timeout $((deadline - SECONDS)) xdotool search --sync --onlyvisible \
            --name '^Embercrest Launcher$' 2>/dev/null | head -n 1 || true)
        [ -z "$id" ] || { echo "$id"; return 0; }
        sleep 0.2
    done
}

# click_in_window WINDOW X Y: a left click at window coordinates.
click_in_window() {
    xdotool mousemove --window "$1" "$2" "$3" click 1
}

# close_launcher_window WINDOW PID: clicks the title bar's close button until the process ends
# (at most 20 s). Under Wine a click that comes right after the window appeared can be lost,
# so it is repeated every 2 s; on Linux the first one ends it. Made frameless after it was
# first shown, the window can be made anew under another id: a click on the old one fails
# (BadWindow), and the window is looked up again.
close_launcher_window() {
    local deadline=$((SECONDS + 20)) window=$1
    while kill -0 "$2" 2>/dev/null; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        click_in_window "$window" 1160 16 2>/dev/null || window=$(launcher_window)
        wait_for 2 bash -c "! kill -0 $2 2>/dev/null" || true
    done
}

# free_port, nginx_config and write_config.
. "$(dirname "${BASH_SOURCE[0]}")/../../tools/lib/common.sh"

# ensure_display: starts a virtual display of the script's own when there is none, so a test
# never opens windows on the desktop of whoever runs it. Like xvfb-run, with a cookie of its
# own, but ended by this script's EXIT trap (xvfb-run's display outlives a signal).
ensure_display() {
    [ -z "${DISPLAY:-}" ] || return 0
    local dir cookie number
    dir=$(mktemp -d)
    remove_paths+=("$dir")
    cookie=$(mcookie)
    # The server takes every cookie in its file; clients look one up by display number.
    : >"$dir/auth"
    : >"$dir/display"
    xauth -q -f "$dir/auth" add :0 . "$cookie"
    "${orphan_guard[@]}" Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -auth "$dir/auth" \
        3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
    display_pid=$!
    wait_for 20 grep -q '[0-9]' "$dir/display" ||
        fail "the virtual display did not start: $(cat "$dir/xvfb.log")"
    number=$(tr -dc 0-9 <"$dir/display")
    xauth -q -f "$dir/auth" add ":$number" . "$cookie"
    export DISPLAY=:$number XAUTHORITY=$dir/auth
}

# write_client_config VERSION LOCALE...: ./config.conf for the client in $client (its Wow.exe
# chosen), at VERSION, with these locales installed.
write_client_config() {
    write_config config.conf "$client/Wow.exe" "$@"
}

# ini_value FILE GROUP KEY: a value of an INI file such as config.conf (which has CR LF line
# ends when a Windows launcher wrote it).
ini_value() {
    sed -n "/^\[$2\]/,/^\[/s/^$3=//p" "$1" | tr -d '\r'
}

# installed_version: the WOTLK version in ./config.conf.
installed_version() { ini_value config.conf ClientVersion WOTLK; }

# start_launcher NAME [VARIABLE=VALUE...]: starts $launcher in the background, with these
# variables in its environment, its output in $work/NAME.log and its process id in launcher_pid.
start_launcher() {
    launcher_log=$work/$1.log
    spawn env "${@:2}" "${launcher[@]}" >"$launcher_log" 2>&1
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
    [ -n "$window" ] || fail "$1: no launcher window"
    wait_for 60 grep -qF -- "$2" "$log" || fail "$1: no line '$2' in its output"
    close_launcher_window "$window" "$launcher_pid" || fail "$1: close did not end the launcher"
    local status=0
    wait "$launcher_pid" || status=$?
    launcher_pid=""
    [ "$status" = 0 ] || fail "$1: exit code $status"
}

# enter_scratch: the programs under test from the environment, and a scratch folder to work in,
# removed at exit.
enter_scratch() {
    launcher=${EMBERCREST_LAUNCHER:?path of the launcher executable}
    publisher=${EMBERCREST_PUBLISH:?path of embercrest-publish}
    work=$(mktemp -d)
    remove_paths+=("$work")
    launcher_pid=""
    cd "$work"
}

# enter_update_scratch [SCHEME]: the display, the scratch folder (enter_scratch), a free port on
# 127.0.0.1 with its base URL ($port, $base; http unless SCHEME says otherwise), and the
# folders the update scripts use: the server's files under $updates, the client in $client.
enter_update_scratch() {
    ensure_display
    enter_scratch
    port=$(free_port)
    base=${1:-http}://127.0.0.1:$port
    updates=$work/server/updates
    client=$work/client
}

# serve LOG COMMAND...: starts an HTTP server for 127.0.0.1:$port, its output appended to LOG,
# and waits until it listens.
serve() {
    server_log=$(realpath -m "$1")
    shift
    spawn "$@" >>"$server_log" 2>&1
    wait_for 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null || fail "HTTP server did not start"
}
