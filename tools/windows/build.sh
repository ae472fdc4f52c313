#!/usr/bin/env bash
# Cross-builds the launcher for 64-bit Windows from Debian's packages and packages it:
#   build-windows/                       the CMake build (launcher, publisher, test suites)
#   dist/embercrest-launcher.exe         one self-contained executable (static Qt and runtime)
#   dist/embercrest-publish.exe          the manifest publisher, for server admins
#   dist/embercrest-launcher-setup.exe   per-user installer (NSIS)
#   dist/embercrest-launcher-<version>-win64.zip   the portable package
# The first run builds OpenSSL and a static Qt that links it into ~/.cache/embercrest/ (see toolchain.sh);
# later runs reuse them. JOBS (default 2) limits parallel jobs.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
: "${JOBS:=2}"
export JOBS
. tools/lib/common.sh

install_missing \
    g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 dpkg-dev libz-mingw-w64-dev \
    cmake ninja-build make perl python3 qttools5-dev-tools \
    wine wine64 xvfb xauth xdotool nsis zip openssl nginx-light curl

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

# Self-contained: only DLLs that every Windows has.
for exe in "$launcher" "$publisher"; do
    bad=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ { print $3 }' |
        grep -viE '^(kernel32|user32|gdi32|shell32|ole32|oleaut32|advapi32|ws2_32|winmm|imm32|uxtheme|dwmapi|comdlg32|version|netapi32|userenv|mpr|iphlpapi|secur32|crypt32|shlwapi|wtsapi32|msvcrt|rpcrt4|bcrypt|dnsapi|setupapi|winspool\.drv|comctl32|d3d9|dxgi|opengl32|shcore|api-ms-win-.*)\.dll$' || true)
    [ -z "$bad" ] || { echo "build.sh: $(basename "$exe") needs DLLs a player lacks: $bad" >&2; exit 1; }
done

version=$(sed -n 's/^project(EmbercrestLauncher VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
dist=$root/dist
rm -rf "$dist"
mkdir -p "$dist/stage"
x86_64-w64-mingw32-strip -o "$dist/embercrest-launcher.exe" "$launcher"
x86_64-w64-mingw32-strip -o "$dist/embercrest-publish.exe" "$publisher"
cp "$dist/embercrest-launcher.exe" "$dist/stage/"
cp resources/font/LICENSE-Apache-2.0.txt "$dist/stage/LICENSE-Roboto.txt"
(cd "$dist/stage" && zip -q -9 "../embercrest-launcher-$version-win64.zip" ./*)
makensis -V2 -DVERSION="$version" -DSTAGE="$dist/stage" -DOUTFILE="$dist/embercrest-launcher-setup.exe" \
    tools/windows/installer.nsi
rm -rf "$dist/stage"
ls -l "$dist"
