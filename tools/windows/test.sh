#!/usr/bin/env bash
# Runs the Windows build (tools/windows/build.sh) under Debian's Wine in a virtual display:
#   1. every test suite, cross-built, through ctest (Wine is CMake's emulator in build-windows),
#      including the end-to-end scripts against the Windows launcher and publisher;
#   2. signing (tools/windows/test-signing.sh): a build signed with a token made for the run,
#      every executable in it checked, into build-windows/signed-dist/;
#   3. the installer, from dist/ and then the signed one: a silent per-user install (the starter
#      at the top, the launcher in versions/<version>/, trusted), the Start menu entry, an
#      install over the layout from before versions/ (one executable beside config.conf), then
#      the uninstaller, which must remove versions/ with whatever the self-update put there and
#      leave config.conf, the log and a game folder alone.
# The Wine prefix lives in build-windows/wineprefix. Extra arguments go to ctest (-R, -E, ...).
# Leaves no process behind: the Wine server and the display end with the script.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$root/build-windows
dist=$root/dist
[ -f "$build/CTestTestfile.cmake" ] && [ -f "$dist/embercrest-launcher-setup.exe" ] ||
    { echo "test.sh: run tools/windows/build.sh first" >&2; exit 1; }

if [ -z "${EMBERCREST_WINE_DISPLAY:-}" ]; then
    # Wider than the 1176-pixel window: on a 1024-pixel screen its right end, with the title
    # bar's buttons, lies beyond the screen's edge and the scripts' clicks there miss.
    exec env EMBERCREST_WINE_DISPLAY=1 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi

export WINEPREFIX=$build/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# The e2e scripts also run the launcher as "nobody", who needs a prefix of its own.
as_nobody=()
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null && id nobody >/dev/null 2>&1; then
    as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups -- env HOME=/tmp WINEPREFIX="$WINEPREFIX-nobody")
fi
cleanup() {
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
    if [ ${#as_nobody[@]} -gt 0 ]; then
        "${as_nobody[@]}" "$wineserver" -k 2>/dev/null || true
        "${as_nobody[@]}" "$wineserver" -w 2>/dev/null || true
    fi
}
trap cleanup EXIT
mkdir -p "$WINEPREFIX"
"$wineserver" -w 2>/dev/null || true # one left from an earlier program in this prefix
"$wineserver" -p # one server for every program of the run, ended by cleanup
if [ ! -e "$WINEPREFIX/system.reg" ]; then
    echo "test.sh: creating the Wine prefix $WINEPREFIX"
    "$wine" wineboot --init >/dev/null 2>&1 || true
fi

if [ ${#as_nobody[@]} -gt 0 ] && [ ! -e "$WINEPREFIX-nobody/system.reg" ]; then
    echo "test.sh: creating the Wine prefix $WINEPREFIX-nobody"
    mkdir -p "$WINEPREFIX-nobody"
    chown nobody "$WINEPREFIX-nobody"
    chmod 755 "$build"
    "${as_nobody[@]}" "$wine" wineboot --init >/dev/null 2>&1 || true
fi
# The first program of a server session starts Wine's own services; one that is a test may
# hang there (seen with the first suite of a run). A trivial program takes that turn.
timeout 120 "$wine" cmd /c exit >/dev/null 2>&1 || true

status=0
echo "== test suites under Wine"
ctest --test-dir "$build" --output-on-failure --timeout 300 "$@" || status=1

echo "== signing"
bash tools/windows/test-signing.sh || status=1

installer_failed() {
    echo "FAIL installer ($where): $*" >&2
    installer_ok=0
    status=1
}
version=$(sed -n 's/^project(EmbercrestLauncher VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
appdata=$("$wine" cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')
programs=$("$wine" winepath -u "$("$wine" cmd /c echo %APPDATA% 2>/dev/null | tr -d '\r')\\Microsoft\\Windows\\Start Menu\\Programs" 2>/dev/null)
target=$("$wine" winepath -u "$appdata\\Programs\\Embercrest Launcher" 2>/dev/null)
# installed_layout: the starter that the shortcut runs at the top of the folder, the launcher in
# versions/<version>/, marked healthy and nothing else: the starter runs it as trusted.
installed_layout() {
    local folder=$target/versions/$version
    [ -f "$target/embercrest-launcher.exe" ] || installer_failed "no starter in $target"
    cmp -s "$target/embercrest-launcher.exe" "$from/embercrest-starter.exe" ||
        installer_failed "the installed starter differs from $where's embercrest-starter.exe"
    cmp -s "$folder/embercrest-launcher.exe" "$from/embercrest-launcher.exe" ||
        installer_failed "the launcher in versions/$version differs from $where's"
    [ -f "$folder/healthy" ] || installer_failed "versions/$version has no healthy mark"
    [ "$(cd "$folder" 2>/dev/null && ls -A | tr '\n' ' ')" = "embercrest-launcher.exe healthy " ] ||
        installer_failed "versions/$version holds more than the launcher and its mark: $(ls -A "$folder" 2>/dev/null | tr '\n' ' ')"
}
# check_installer DIR: installs DIR's installer silently, installs it again over the layout
# from before versions/, then uninstalls it.
check_installer() {
    from=$1
    where=${from#"$root"/}
    installer_ok=1
    echo "== installer from $where"
    rm -rf "$target"
    # Marks that the starter left on a copy of this version that a self-update fetched and
    # that failed here: the installed one must run all the same.
    mkdir -p "$target/versions/$version"
    touch "$target/versions/$version/try-1" "$target/versions/$version/try-2" "$target/versions/$version/blocked"
    "$wine" "$from/embercrest-launcher-setup.exe" /S || installer_failed "setup exit code $?"
    installed_layout
    [ -f "$programs/Embercrest Launcher.lnk" ] || installer_failed "no Start menu entry in $programs"
    "$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\EmbercrestLauncher' \
        /v UninstallString >/dev/null 2>&1 || installer_failed "no uninstall entry for the user"
    # The layout from before versions/: the launcher itself at the top, with the player's
    # settings beside it. The new install keeps them and puts the starter in its place.
    rm -rf "$target/versions"
    cp "$from/embercrest-launcher.exe" "$target/embercrest-launcher.exe"
    printf '[ClientVersion]\nWOTLK=1.1\n' >"$target/config.conf"
    "$wine" "$from/embercrest-launcher-setup.exe" /S || installer_failed "setup over the old layout: exit code $?"
    installed_layout
    [ "$(cat "$target/config.conf" 2>/dev/null)" = "$(printf '[ClientVersion]\nWOTLK=1.1')" ] ||
        installer_failed "the install over the old layout touched config.conf"
    # What the player and the game leave in the folder, and what the self-update adds to
    # versions/: another version and the staging folder of one being fetched.
    printf 'line\n' >"$target/embercrest-launcher.log"
    mkdir -p "$target/World of Warcraft/Data"
    printf 'game\n' >"$target/World of Warcraft/Data/patch.MPQ"
    mkdir -p "$target/versions/9.9" "$target/versions/9.9.staging"
    cp "$from/embercrest-launcher.exe" "$target/versions/9.9/embercrest-launcher.exe"
    printf 'part\n' >"$target/versions/9.9.staging/x"
    # The uninstaller copies itself away and returns at once: wait for its work to show.
    "$wine" "$target/uninstall.exe" /S || installer_failed "uninstall exit code $?"
    for _ in $(seq 120); do
        [ -e "$target/uninstall.exe" ] || break
        sleep 0.5
    done
    [ ! -e "$target/embercrest-launcher.exe" ] || installer_failed "the starter stayed"
    [ ! -e "$target/versions" ] || installer_failed "versions/ stayed: $(cd "$target" && find versions | tr '\n' ' ')"
    [ ! -e "$programs/Embercrest Launcher.lnk" ] || installer_failed "the Start menu entry stayed"
    [ "$(cat "$target/config.conf" 2>/dev/null)" = "$(printf '[ClientVersion]\nWOTLK=1.1')" ] ||
        installer_failed "config.conf was touched"
    [ -f "$target/embercrest-launcher.log" ] || installer_failed "the log was removed"
    [ "$(cat "$target/World of Warcraft/Data/patch.MPQ" 2>/dev/null)" = game ] ||
        installer_failed "the game folder was touched"
    "$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\EmbercrestLauncher' \
        >/dev/null 2>&1 && installer_failed "the uninstall entry stayed"
    rm -rf "$target"
    [ "$installer_ok" = 0 ] || echo "installer from $where: ok"
}
check_installer "$dist"
# The signed uninstaller, changed after NSIS wrote it, must still run.
[ ! -f "$build/signed-dist/embercrest-launcher-setup.exe" ] || check_installer "$build/signed-dist"

exit "$status"
