# Shell helpers that tools/, bench/ and tests/e2e/ share; source this file.
# shellcheck shell=bash

# The repository this file belongs to, wherever the sourcing script runs from.
embercrest_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# install_missing PACKAGE...: installs with apt those of the Debian packages that are not
# installed yet (through sudo unless root); does nothing, not even apt-get update, when all are.
# The lock timeout lets it wait for another apt run instead of failing at once.
install_missing() {
    local missing=() package sudo=""
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y \
        --no-install-recommends "${missing[@]}"
}

# free_port: a free TCP port on 127.0.0.1.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# build_programs [DIR [SUFFIX]]: sets build to DIR (else $EMBERCREST_BUILD_DIR, else build/ in
# the repository) and launcher, publisher and screenshooter to the programs built there, each
# name ending in SUFFIX (.exe in a Windows build).
# shellcheck disable=SC2034 # set for the sourcing script
build_programs() {
    build=${1:-${EMBERCREST_BUILD_DIR:-$embercrest_root/build}}
    launcher=$build/src/embercrest-launcher${2:-}
    publisher=$build/tools/publish/embercrest-publish${2:-}
    screenshooter=$build/tools/screenshot/embercrest-screenshot${2:-}
}

# need_built NAME PROGRAM...: stops the script NAME when a PROGRAM has not been built.
need_built() {
    local program
    for program in "${@:2}"; do
        [ -x "$program" ] || { echo "$1: $program is missing; build first: bash tools/build.sh" >&2; exit 1; }
    done
}

# ini_quote TEXT: TEXT as QSettings writes an INI value: in double quotes (a comma would split
# it into a list), with "\x" escapes for UTF-16 code units outside ASCII and for a hex digit
# after one.
ini_quote() {
    python3 - "$1" <<'EOF'
import sys
raw = sys.argv[1].encode("utf-16-le")
out, after_escape = [], False
for i in range(0, len(raw), 2):
    unit = int.from_bytes(raw[i:i + 2], "little")
    ch = chr(unit) if unit < 0xD800 or unit > 0xDFFF else ""
    if unit < 0x20 or unit >= 0x7F or (after_escape and ch in "0123456789abcdefABCDEF"):
        out.append("\\x%x" % unit)
        after_escape = True
        continue
    out.append("\\" + ch if ch in '\\"' else ch)
    after_escape = False
print('"' + "".join(out) + '"')
EOF
}

# write_config FILE EXE VERSION [LOCALE...]: the launcher's config.conf, every key in the layout
# it writes itself, as the settings page leaves it once the WOTLK client EXE is chosen (its
# folder the client's), at VERSION, with these locales installed. LEGION stays unset.
write_config() {
    local file=$1 exe=$2 version=$3 locale flags=""
    shift 3
    for locale in ruRU enGB enUS esMX deDE frFR; do
        case " $* " in *" $locale "*) flags+="$locale=1"$'\n' ;; *) flags+="$locale=0"$'\n' ;; esac
    done
    {
        printf '[ClientLocation]\nWOTLK=%s\nLEGION=\n\n' "$(ini_quote "$exe")"
        printf '[ClientDir]\nWOTLK=%s\nLEGION=\n\n' "$(ini_quote "$(dirname "$exe")")"
        printf '[ClientExe]\nWOTLK=%s\nLEGION=\n\n[WClientLocale]\n%s\n' "$(basename "$exe")" "$flags"
        printf '[LClientLocale]\nruRU=0\nenGB=0\nenUS=0\nesMX=0\ndeDE=0\nfrFR=0\n\n'
        printf '[ClientVersion]\nWOTLK=%s\nLEGION=0.0\n' "$version"
    } >"$file"
}

# nginx_config DIR PORT ROOT [HTTP_LINES [SERVER_LINES]]: DIR/nginx.conf for an nginx of the
# script's own, started as "${nginx_command[@]}" (set here): in the foreground, one worker, on
# 127.0.0.1:PORT only, serving ROOT, with its pid, log and temporary files in DIR. HTTP_LINES
# and SERVER_LINES go into its http and server blocks. Started as root, its worker stays root:
# as "nobody" it may not read a scratch folder's files.
# shellcheck disable=SC2034 # nginx_command is for the sourcing script
nginx_config() {
    local dir=$1 port=$2 root=$3 user_line=""
    [ "$(id -u)" -ne 0 ] || user_line="user root;"
    mkdir -p "$dir/temp"
    cat >"$dir/nginx.conf" <<CONF
$user_line
daemon off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 64; }
http {
    default_type application/octet-stream;
    types { application/json json; }
    client_body_temp_path $dir/temp/body;
    proxy_temp_path $dir/temp/proxy;
    fastcgi_temp_path $dir/temp/fastcgi;
    uwsgi_temp_path $dir/temp/uwsgi;
    scgi_temp_path $dir/temp/scgi;
    ${4:-}
    server {
        listen 127.0.0.1:$port;
        root $root;
        ${5:-}
    }
}
CONF
    nginx_command=(nginx -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf")
}

# bench_scratch NAME: a scratch folder in $work for a benchmark, and $pids, the servers it
# starts; both go when the script ends.
bench_scratch() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/embercrest-$1.XXXXXX")
    pids=()
    trap bench_cleanup EXIT
    trap 'exit 130' INT TERM
}
bench_cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}

# wait_port PORT: waits up to 10 s for an HTTP answer on 127.0.0.1:PORT.
wait_port() {
    local deadline=$((SECONDS + 10))
    until curl -s -o /dev/null "http://127.0.0.1:$1/"; do
        [ "$SECONDS" -lt "$deadline" ] || { echo "bench: nothing listens on $1" >&2; exit 1; }
        sleep 0.1
    done
}
