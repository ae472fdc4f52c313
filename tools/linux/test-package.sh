#!/usr/bin/env bash
# Installs the Debian package made by tools/linux/package.sh into a clean Debian root
# (debootstrap, minbase, from this machine's own apt mirror and suite), and there, as a player:
#   1. the menu's command makes ~/.local/share/embercrest/ on first start and starts in it;
#   2. against a local update server (on the host, 127.0.0.1, which the chroot shares), the
#      launcher brings a client from 1.0 to 1.1 under Qt's offscreen platform;
#   3. the launcher itself, started from a shell, keeps the folder it was started in;
#   4. a signed manifest offering a newer launcher: it is left to the package manager, unfetched;
#   5. apt-get remove, then purge, take the package's files and leave the player's alone.
# Run by hand (debootstrap takes minutes): bash tools/linux/test-package.sh [PACKAGE.deb]
set -euo pipefail
. "$(dirname "$0")/../../tests/e2e/lib.sh"
cd "$embercrest_root"

deb=${1:-$(ls dist/embercrest-launcher_*.deb 2>/dev/null | tail -n 1 || true)}
[ -n "$deb" ] && [ -f "$deb" ] || fail "no package: run bash tools/linux/package.sh first"
deb=$(realpath "$deb")
build_programs "${BUILD_DIR:-build-deb}"
need_built test-package "$publisher"
install_missing debootstrap python3

# The first enabled "deb" entry of this machine's apt sources for its own Debian suite, as
# "URI SUITE KEYRING": never a mirror of this script's choosing.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$codename" ] || fail "/etc/os-release names no Debian suite"
apt_source() {
    local lists=() sources=() file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] && lists+=("$file")
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] && sources+=("$file")
    done
    {
        [ ${#lists[@]} -eq 0 ] || awk -v suite="$codename" '
            { sub(/#.*/, "") }
            $1 == "deb" {
                keyring = ""; i = 2
                if ($2 ~ /^\[/) {
                    for (; i <= NF; i++) {
                        if ($i ~ /^\[?signed-by=/) { keyring = $i; sub(/^\[?signed-by=/, "", keyring); sub(/\]$/, "", keyring) }
                        if ($i ~ /\]$/) { i++; break }
                    }
                }
                if ($(i + 1) == suite) print $i, suite, keyring
            }' "${lists[@]}"
        [ ${#sources[@]} -eq 0 ] || awk -v suite="$codename" '
            function flush() {
                if (isDeb && enabled && hasSuite && uri != "") print uri, suite, keyring
                isDeb = 0; enabled = 1; hasSuite = 0; uri = ""; keyring = ""
            }
            BEGIN { enabled = 1 }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            tolower($1) == "types:" { for (i = 2; i <= NF; i++) if ($i == "deb") isDeb = 1; next }
            tolower($1) == "enabled:" { enabled = tolower($2) != "no"; next }
            tolower($1) == "uris:" { uri = $2; next }
            tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == suite) hasSuite = 1; next }
            tolower($1) == "signed-by:" { if (NF == 2 && $2 ~ /^\//) keyring = $2; next }
            END { flush() }' "${sources[@]}"
    } | head -n 1
}
read -r mirror suite keyring <<<"$(apt_source)" || true
[ -n "${mirror:-}" ] ||
    fail "no enabled 'deb' entry for $codename in /etc/apt/sources.list or sources.list.d/"
keyring_option=()
[ -z "${keyring:-}" ] || [ ! -f "$keyring" ] || keyring_option=(--keyring="$keyring")

# The Debian root, and what is mounted in it, go at exit, after lib.sh's leave has ended the
# launchers and the server. A mount that does not go keeps the root from being removed: rm
# would reach through a bind mount of /dev into the host's.
# Under $TMPDIR (default /tmp), which must allow device files and programs.
root=$(mktemp -d "${TMPDIR:-/tmp}/embercrest-debroot.XXXXXX")
# The root's "/" must be open to the player and to apt's own user.
chmod 755 "$root"
remove_root() {
    local mounts
    mounts=$(awk -v root="$root" '$2 == root || index($2, root "/") == 1 { print $2 }' \
        /proc/self/mounts | sort -r)
    [ -z "$mounts" ] || echo "$mounts" | while read -r mount; do
        umount "$mount" 2>/dev/null || umount -l "$mount"
    done
    if awk -v root="$root" 'index($2, root "/") == 1 { found = 1 } END { exit !found }' \
        /proc/self/mounts; then
        echo "test-package: $root still has mounts; left in place" >&2
        return
    fi
    rm -rf --one-file-system "$root"
    rm -f "$root.debootstrap.log"
}
trap 'leave; remove_root' EXIT

echo "test-package: debootstrap $suite from $mirror into $root"
start=$SECONDS
nice debootstrap --variant=minbase "${keyring_option[@]}" "$suite" "$root" "$mirror" \
    >"$root.debootstrap.log" 2>&1 || { tail -n 30 "$root.debootstrap.log" >&2; fail "debootstrap failed"; }
echo "test-package: debootstrap took $((SECONDS - start)) s"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
# No service of a dependency may start inside the root.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"

in_root() {
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}

cp "$deb" "$root/tmp/"
start=$SECONDS
in_root apt-get update -q >/dev/null
# Without Wine: it is only recommended, and it alone would take longer than all the rest.
in_root sh -c 'cd /tmp && apt-get install -y -q --no-install-recommends ./embercrest-launcher_*.deb' \
    >"$root/tmp/install.log" 2>&1 || { tail -n 30 "$root/tmp/install.log" >&2; fail "apt-get install failed"; }
echo "test-package: apt-get install took $((SECONDS - start)) s"
[ "$(dpkg-deb -f "$deb" Recommends)" = wine ] || fail "the package does not recommend wine"
package_files=$(in_root dpkg -L embercrest-launcher)
for path in /usr/games/embercrest-launcher /usr/lib/embercrest-launcher/embercrest-launcher; do
    [ -x "$root$path" ] || fail "$path is not installed"
done

# The player, and the game client in a folder of its own.
player_uid=4321
in_root useradd --create-home --uid "$player_uid" --user-group player
home=$root/home/player
data=$home/.local/share/embercrest
client=/home/player/Games/Embercrest
work=$(mktemp -d)
remove_paths+=("$work")

# as_player DIR LOG COMMAND...: starts COMMAND in the root as the player, in DIR, offscreen,
# against the local server; its output goes to LOG, its id to launcher_pid.
as_player() {
    launcher_log=$2
    spawn chroot "$root" setpriv --reuid="$player_uid" --regid="$player_uid" --clear-groups -- \
        env -i HOME=/home/player PATH=/usr/local/bin:/usr/bin:/bin:/usr/games LANG=C.UTF-8 \
        QT_QPA_PLATFORM=offscreen EMBERCREST_DELAY_MS=200 EMBERCREST_MANIFEST_PUBKEY="${pubkey:-}" \
        EMBERCREST_MANIFEST_URL="http://127.0.0.1:$port/engine/files/LauncherData/ClientUpdates.json" \
        sh -c 'cd "$1" && shift && exec "$@"' - "$1" "${@:3}" >"$2" 2>&1
    launcher_pid=$!
}
# wait_launcher SECONDS COMMAND...: polls until COMMAND succeeds; gives up early when the
# launcher has ended.
wait_launcher() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        kill -0 "$launcher_pid" 2>/dev/null || { "$@"; return; }
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}
stop_launcher() {
    kill "$launcher_pid" 2>/dev/null || true
    wait "$launcher_pid" 2>/dev/null || true
}

# The update server on the host, with version 1.1 of three files.
port=$(free_port)
updates=$work/server/updates
mkdir -p "$updates/ruRU" "$updates/enGB" "$updates/deDE"
head -c 1048576 /dev/urandom >"$updates/ruRU/patch-ruRU-4.MPQ"
head -c 100000 /dev/urandom >"$updates/enGB/patch-enGB-4.MPQ"
head -c 5000 /dev/urandom >"$updates/enGB/Interface Art.MPQ"
head -c 4096 /dev/urandom >"$updates/deDE/patch-deDE-4.MPQ" # not installed: never fetched
serve "$work/http.log" python3 -u -m http.server "$port" --bind 127.0.0.1 --directory "$work/server"
"$publisher" --date 2026-12-01 --output "$work/server/engine/files/LauncherData/ClientUpdates.json" \
    "$updates" 1.1 "http://127.0.0.1:$port/updates/" >/dev/null

# 1. First start through the menu's command, from the home folder: the launcher writes its
#    default config.conf and its log into the folder made for it, private, and nowhere else.
[ ! -e "$data" ] || fail "first: $data exists before the first start"
as_player /home/player "$work/first.log" /usr/games/embercrest-launcher
wait_launcher 60 test -s "$data/config.conf" || fail "first: no config.conf in ~/.local/share/embercrest"
wait_launcher 60 test -s "$data/embercrest-launcher.log" || fail "first: no log in ~/.local/share/embercrest"
stop_launcher
[ "$(stat -c %a "$data")" = 700 ] || fail "first: the folder's mode is $(stat -c %a "$data")"
[ "$(stat -c %u "$data/config.conf")" = "$player_uid" ] || fail "first: config.conf is not the player's"
[ ! -e "$home/config.conf" ] || fail "first: config.conf was written into the home folder"

# 2. The client at 1.0 with ruRU and enGB is brought to 1.1.
mkdir -p "$root$client/Data/ruRU" "$root$client/Data/enGB"
: >"$root$client/Wow.exe"
printf 'set realmlist 127.0.0.1\n' >"$root$client/Data/enGB/realmlist.wtf"
write_config "$data/config.conf" "$client/Wow.exe" 1.0 ruRU enGB
chown -R "$player_uid:$player_uid" "$home/Games" "$data/config.conf"
# Only this run's lines of the log count.
since=$(($(wc -l <"$data/embercrest-launcher.log") + 1))
run_lines() { tail -n "+$since" "$data/embercrest-launcher.log"; }
as_player /home/player "$work/update.log" /usr/games/embercrest-launcher
wait_launcher 120 bash -c "tail -n +$since '$data/embercrest-launcher.log' | grep -qF 'files downloaded successfully'" ||
    fail "update: no outcome in the log"
stop_launcher
run_lines | grep -qF "3 / 3 files downloaded successfully" ||
    fail "update: $(run_lines | grep "files downloaded")"
[ "$(ini_value "$data/config.conf" ClientVersion WOTLK)" = 1.1 ] ||
    fail "update: installed version is $(ini_value "$data/config.conf" ClientVersion WOTLK)"
for locale in ruRU enGB; do
    for file in "$updates/$locale"/*; do
        cmp -s "$file" "$root$client/Data/$locale/${file##*/}" ||
            fail "update: $locale/${file##*/} differs from the server's"
    done
done
[ ! -e "$root$client/Data/deDE" ] || fail "update: a locale that is not installed got a folder"

# 3. The launcher itself keeps the folder it is started in.
mkdir -p "$home/portable"
chown "$player_uid:$player_uid" "$home/portable"
log_lines=$(wc -l <"$data/embercrest-launcher.log")
as_player /home/player/portable "$work/portable.log" /usr/lib/embercrest-launcher/embercrest-launcher
wait_launcher 60 test -s "$home/portable/config.conf" || fail "portable: no config.conf in its folder"
wait_launcher 60 test -s "$home/portable/embercrest-launcher.log" || fail "portable: no log in its folder"
stop_launcher
[ "$(wc -l <"$data/embercrest-launcher.log")" = "$log_lines" ] ||
    fail "portable: it wrote to the menu entry's log"

# 4. A signed manifest that offers a newer launcher: the package's launcher leaves it to the
#    package manager, says so, and fetches nothing.
"$publisher" keygen "$work/realm" >/dev/null
pubkey=$(cat "$work/realm.pub")
printf 'MZ' >"$work/embercrest-launcher"
"$publisher" --date 2026-12-01 --output "$work/server/engine/files/LauncherData/ClientUpdates.json" \
    --sign "$work/realm.key" --serial 2 --launcher-version 99.0 \
    --launcher-file "linux-x86_64=$work/embercrest-launcher" \
    "$updates" 1.1 "http://127.0.0.1:$port/updates/" >/dev/null
since=$(($(wc -l <"$data/embercrest-launcher.log") + 1))
as_player /home/player "$work/release.log" /usr/games/embercrest-launcher
wait_launcher 60 bash -c "tail -n +$since '$data/embercrest-launcher.log' | grep -qF 'Launcher update: 99.0 refused'" ||
    fail "release: no line on the launcher release: $(run_lines | tail -n 5)"
stop_launcher
run_lines | grep -qF "installed by a package: its package manager updates it" ||
    fail "release: $(run_lines | grep 'Launcher update')"
grep -q "/launcher/" "$work/http.log" && fail "release: the launcher release was fetched"
pubkey=""

# 5. Removing, and purging after installing again (the package has no conffiles, so a removed
#    one is gone from dpkg's view): its files go, the player's stay as they were.
player_files() {
    (cd "$home" && find . -printf '%y %m %u %p\n' | LC_ALL=C sort &&
        find . -type f -exec sha256sum {} + | LC_ALL=C sort)
}
before=$(player_files)
for action in remove purge; do
    [ "$action" = remove ] ||
        in_root sh -c 'cd /tmp && apt-get install -y -q --no-install-recommends ./embercrest-launcher_*.deb' \
            >"$work/reinstall.log" 2>&1 || { cat "$work/reinstall.log" >&2; fail "installing again failed"; }
    in_root apt-get "$action" -y -q embercrest-launcher >"$work/$action.log" 2>&1 ||
        { cat "$work/$action.log" >&2; fail "apt-get $action failed"; }
    in_root dpkg-query -W -f='${Status}\n' embercrest-launcher 2>/dev/null | grep -qv 'not-installed$' &&
        fail "$action: dpkg still knows the package: $(in_root dpkg-query -W -f='${Status}' embercrest-launcher)"
    while read -r path; do
        [ -d "$root$path" ] || [ ! -e "$root$path" ] || fail "$action left $path"
    done <<<"$package_files"
    [ "$(player_files)" = "$before" ] || fail "$action: the player's files changed"
done
[ -s "$data/config.conf" ] && [ -s "$data/embercrest-launcher.log" ] && [ -f "$root$client/Wow.exe" ] ||
    fail "the player's files are gone"
echo "test-package: ok"
