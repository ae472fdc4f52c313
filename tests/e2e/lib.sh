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

# A free TCP port on 127.0.0.1.
free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
