#!/usr/bin/env bash
# Cross-builds the launcher for 64-bit Windows from Debian's packages and packages it:
#   build-windows/                       the CMake build (launcher, starter, publisher, test suites)
#   dist/embercrest-launcher.exe         the launcher: one self-contained executable (static Qt and
#                                        runtime), also what a self-update release publishes
#   dist/embercrest-starter.exe          the starter, which players run: it runs the newest version
#                                        under versions/ (packed as embercrest-launcher.exe)
#   dist/embercrest-publish.exe          the manifest publisher, for server admins
#   dist/embercrest-launcher-setup.exe   per-user installer (NSIS)
#   dist/embercrest-launcher-<version>-win64.zip   the portable package
#   dist/SHA256SUMS                      the SHA-256 of each of the files above
# The zip and the installer hold the same layout: the starter as embercrest-launcher.exe (the name
# that shortcuts to the single executable of earlier releases run), beside it LICENSE-Roboto.txt,
# and versions/<version>/ with the launcher and an empty "healthy" mark (an installed version is
# trusted, not on trial).
# With a certificate configured (the EMBERCREST_SIGN_* variables, see tools/windows/sign.sh and
# docs/windows.md) every executable that ships is signed, the installer's uninstaller too.
# The first run builds OpenSSL and a static Qt that links it into ~/.cache/embercrest/ (see toolchain.sh);
# later runs reuse them. JOBS (default 2) limits parallel jobs. EMBERCREST_DIST_DIR, an empty or
# missing folder, replaces dist/.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
: "${JOBS:=2}"
export JOBS
. tools/lib/common.sh

install_missing \
    g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 dpkg-dev libz-mingw-w64-dev \
    cmake ninja-build make perl python3 qttools5-dev-tools \
    wine wine64 xvfb xauth xdotool nsis zip openssl nginx-light curl \
    osslsigncode libengine-pkcs11-openssl

# Signing variables set wrongly stop the build now, not after it.
sign_state=0
bash tools/windows/sign.sh --configured || sign_state=$?
case $sign_state in
0) signing=1 ;;
1) signing=0 ;;
*) exit 1 ;;
esac

# Only dist/ itself is emptied: a folder named by EMBERCREST_DIST_DIR may hold anything.
dist=$root/dist
if [ -n "${EMBERCREST_DIST_DIR:-}" ]; then
    mkdir -p "$EMBERCREST_DIST_DIR"
    dist=$(cd "$EMBERCREST_DIST_DIR" && pwd)
    [ -z "$(ls -A "$dist")" ] || { echo "build.sh: EMBERCREST_DIST_DIR ($dist) is not empty" >&2; exit 1; }
fi

# The cached toolchain (built on the first run).
# Its own messages go to stderr; a failure stops the build here, not at the first use of its paths.
toolchain=$(bash tools/windows/toolchain.sh all) || {
    echo "build.sh: the Windows toolchain could not be built (its messages are above)" >&2
    exit 1
}
eval "$(grep -E '^(QT|OPENSSL)_PREFIX=' <<<"$toolchain")"
[ -d "${QT_PREFIX:-}" ] && [ -d "${OPENSSL_PREFIX:-}" ] || { echo "build.sh: no toolchain" >&2; exit 1; }

build=$root/build-windows
mkdir -p "$build"
# Qt's CMake files name some Windows import libraries in mixed case (Secur32, Crypt32) while
# MinGW's are lower case; on a case-sensitive file system the linker needs both spellings.
cases=$build/mingw-case
mkdir -p "$cases"
for name in $(grep -rhoE '\b(-l)?[A-Z][A-Za-z0-9_]*32\b' "$QT_PREFIX/lib/cmake" "$QT_PREFIX"/lib/*.prl \
    "$QT_PREFIX"/plugins/*/*.prl 2>/dev/null | sed 's/^-l//' | sort -u); do
    lower=$(echo "$name" | tr 'A-Z' 'a-z')
    [ -e "/usr/x86_64-w64-mingw32/lib/lib$lower.a" ] &&
        ln -sf "/usr/x86_64-w64-mingw32/lib/lib$lower.a" "$cases/lib$name.a"
done

cmake -S . -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/tools/windows/mingw-w64.cmake" \
    -DEMBERCREST_QT_PREFIX="$QT_PREFIX" -DEMBERCREST_OPENSSL_PREFIX="$OPENSSL_PREFIX" \
    -DCMAKE_PREFIX_PATH="$QT_PREFIX" -DCMAKE_LIBRARY_PATH="$cases" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/tools/windows/wine-run.sh" \
    -DCMAKE_BUILD_TYPE=Release -DEMBERCREST_WERROR=ON -DEMBERCREST_BUILD_BENCH=ON >"$build/configure.log" ||
    { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" --parallel "$JOBS"

build_programs "$build" .exe
starter=$build/src/embercrest-starter.exe

# Self-contained: only DLLs that every Windows has.
for exe in "$launcher" "$starter" "$publisher"; do
    bad=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }' |
        grep -viE '^(kernel32|user32|gdi32|shell32|ole32|oleaut32|advapi32|ws2_32|winmm|imm32|uxtheme|dwmapi|comdlg32|version|netapi32|userenv|mpr|iphlpapi|secur32|crypt32|shlwapi|wtsapi32|msvcrt|rpcrt4|bcrypt|dnsapi|setupapi|winspool\.drv|comctl32|d3d9|dxgi|opengl32|shcore|api-ms-win-.*)\.dll$' || true)
    [ -z "$bad" ] || { echo "build.sh: $(basename "$exe") needs DLLs a player lacks: $bad" >&2; exit 1; }
done

# PROJECT_VERSION, the launcher's own version: its folder under versions/ must bear it.
version=$(sed -n 's/^project(EmbercrestLauncher VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "build.sh: no project version in CMakeLists.txt" >&2; exit 1; }

# signature_size FILE: the size of FILE's Authenticode signature (0 when it has none).
signature_size() {
    echo $((16#$(x86_64-w64-mingw32-objdump -p "$1" | awk '/Security Directory/ { print $4; exit }')))
}
# check_signed FILE...: stops the build at a file without a signature, when signing.
check_signed() {
    local file
    [ "$signing" = 1 ] || return 0
    for file in "$@"; do
        [ "$(signature_size "$file")" -gt 0 ] || { echo "build.sh: $file is not signed" >&2; exit 1; }
    done
}

# Packaging, in this order: a signature changes a file's bytes, so every executable is signed
# before anything packs or hashes it (the zip, the installer, SHA256SUMS).
[ -n "${EMBERCREST_DIST_DIR:-}" ] || rm -rf "$dist"
mkdir -p "$dist"
# 1. Each executable that ships goes into dist/ first; step 2 signs all of them.
x86_64-w64-mingw32-strip -o "$dist/embercrest-launcher.exe" "$launcher"
x86_64-w64-mingw32-strip -o "$dist/embercrest-starter.exe" "$starter"
x86_64-w64-mingw32-strip -o "$dist/embercrest-publish.exe" "$publisher"
shipped=("$dist"/*.exe)
# 2. Signed in place.
[ "$signing" = 0 ] || bash tools/windows/sign.sh "${shipped[@]}"
check_signed "${shipped[@]}"
# 3. The zip, from the signed files; the installer takes the same folder.
stage=$dist/stage
mkdir -p "$stage/versions/$version"
cp "$dist/embercrest-starter.exe" "$stage/embercrest-launcher.exe"
cp "$dist/embercrest-launcher.exe" "$stage/versions/$version/embercrest-launcher.exe"
: >"$stage/versions/$version/healthy"
cp resources/font/LICENSE-Apache-2.0.txt "$stage/LICENSE-Roboto.txt"
mapfile -t staged < <(find "$stage" -type f -iname '*.exe' -o -type f -iname '*.dll')
check_signed "${staged[@]}"
(cd "$stage" && zip -q -r -9 "$dist/embercrest-launcher-$version-win64.zip" ./*)
# 4. The installer. It also carries NSIS's plug-in DLLs, which it unpacks and loads at run
#    time: signed copies replace Debian's (!addplugindir). NSIS has sign.sh sign the uninstaller
#    it writes before it packs it in (!uninstfinalize); then the installer itself is signed.
nsis_sign=()
if [ "$signing" = 1 ]; then
    plugins=$build/nsis-plugins
    rm -rf "$plugins"
    mkdir -p "$plugins"
    cp /usr/share/nsis/Plugins/amd64-unicode/*.dll "$plugins/"
    bash tools/windows/sign.sh "$plugins"/*.dll
    nsis_sign=(-DSIGN="$root/tools/windows/sign.sh" -DSIGNED_PLUGINS="$plugins")
fi
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$dist/embercrest-launcher-setup.exe" \
    "${nsis_sign[@]}" tools/windows/installer.nsi
[ "$signing" = 0 ] || bash tools/windows/sign.sh "$dist/embercrest-launcher-setup.exe"
check_signed "$dist/embercrest-launcher-setup.exe"
rm -rf "$stage"
# 5. Hashes last, of the files as they ship.
(cd "$dist" && sha256sum -- *.exe *.zip >SHA256SUMS)
ls -l "$dist"
[ "$signing" = 1 ] ||
    echo "build.sh: no certificate configured (EMBERCREST_SIGN_*, docs/windows.md): the executables in $dist are unsigned"
