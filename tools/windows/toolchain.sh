#!/usr/bin/env bash
# Builds (or reuses) the cross toolchain for Windows: OpenSSL's static libssl and libcrypto, then
# a static Qt 5 qtbase for win32-g++ with OpenSSL linked in (HTTPS, certificates checked against
# the Windows certificate store), both from Debian's source packages, cached outside the repository under
# ~/.cache/embercrest/<name-version-options>/. A cache folder is trusted only once its
# .complete stamp exists; the stamp is written last, so an interrupted build is thrown away
# and rebuilt from scratch on the next run.
#
#   bash tools/windows/toolchain.sh          build what is missing, print nothing else on success
#   source tools/windows/toolchain.sh --env  only set QT_PREFIX and OPENSSL_PREFIX
set -euo pipefail

: "${JOBS:=2}"
CACHE_ROOT="${EMBERCREST_CACHE:-$HOME/.cache/embercrest}"
HOST=x86_64-w64-mingw32
QT_VERSION=5.15.8
QT_SRCPKG=qtbase-opensource-src
QT_CONFIGURE_OPTIONS=(
    -opensource -confirm-license
    -xplatform win32-g++ -device-option CROSS_COMPILE=$HOST-
    -static -release -nomake examples -nomake tests
    -no-opengl -no-dbus -no-icu -no-fontconfig -openssl-linked
    -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz -qt-pcre
    # Debian's source package leaves out src/3rdparty/wintab and SQLite.
    -no-feature-tabletevent -no-sql-sqlite
    # Modules the launcher and its tests do not use.
    -no-feature-sql -no-feature-concurrent -no-feature-xml
)
OPENSSL_SRCPKG=openssl
OPENSSL_CONFIGURE_OPTIONS=(mingw64 no-shared no-tests "--cross-compile-prefix=$HOST-")

# What a static libssl and libcrypto need from Windows when linked into Qt's network module.
OPENSSL_WINDOWS_LIBS="-lws2_32 -lgdi32 -lcrypt32 -luser32 -ladvapi32"

optionsHash() { printf '%s\n' "$@" | sha256sum | cut -c1-10; }
# Qt's folder names the OpenSSL build it links, so a new OpenSSL gets a new Qt.
QT_CACHE=""
QT_PREFIX=""
qtCachePaths() { # OpenSSL's cache folder
    QT_CACHE="$CACHE_ROOT/qt-$QT_VERSION-win32-g++-static-$(optionsHash "${QT_CONFIGURE_OPTIONS[@]}" "$(basename "$1")")"
    QT_PREFIX="$QT_CACHE/prefix"
}

die() {
    echo "toolchain: $*" >&2
    exit 1
}
log() { echo "toolchain: $*" >&2; }

# Debian's version of a source package, e.g. 5.15.8+dfsg-11+deb12u3 (empty without deb-src).
sourceVersion() {
    apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -V | tail -n1
}

# The machine's own binary entries as source entries, with the same URIs, suites, components
# and options: never a host of our choosing, which another machine may not reach. Comments and
# disabled stanzas ("Enabled: no") are left out; nothing is printed when there is nothing to copy.
debSrcFromList() { # files in the one-line format
    awk '
        { sub(/#.*/, "") }
        $1 == "deb" { sub(/^[ \t]*deb/, "deb-src"); print }
    ' "$@" 2>/dev/null || true
}
debSrcFromSources() { # files in the deb822 format
    awk '
        function flush() {
            if (isDeb && !hasSrc && enabled && body != "") {
                printf "%sTypes: deb-src\n%s", sep, body
                sep = "\n"
            }
            isDeb = 0; hasSrc = 0; enabled = 1; body = ""
        }
        BEGIN { enabled = 1 }
        /^[ \t]*#/ { next }
        /^[ \t]*$/ { flush(); next }
        tolower($1) == "types:" {
            for (i = 2; i <= NF; i++) { if ($i == "deb") isDeb = 1; if ($i == "deb-src") hasSrc = 1 }
            next
        }
        tolower($1) == "enabled:" { enabled = tolower($2) != "no"; next }
        { body = body $0 "\n" }
        END { flush() }
    ' "$@" 2>/dev/null || true
}

APT_SOURCES=${EMBERCREST_APT_SOURCES:-/etc/apt}
ensureDebSrc() {
    if [ -n "$(sourceVersion "$1")" ]; then
        return
    fi
    local lists=() sources=() file
    for file in "$APT_SOURCES/sources.list" "$APT_SOURCES"/sources.list.d/*.list; do
        [ -f "$file" ] && lists+=("$file")
    done
    for file in "$APT_SOURCES"/sources.list.d/*.sources; do
        [ -f "$file" ] && sources+=("$file")
    done
    local oneLine="" deb822=""
    [ ${#lists[@]} -eq 0 ] || oneLine=$(debSrcFromList "${lists[@]}")
    [ ${#sources[@]} -eq 0 ] || deb822=$(debSrcFromSources "${sources[@]}")
    if [ -z "$oneLine$deb822" ]; then
        die "apt knows no source package '$1', and $APT_SOURCES lists no 'deb' entry to copy: add a 'deb-src' entry for this Debian suite to $APT_SOURCES/sources.list.d/ and run 'apt-get update'"
    fi
    [ "$(id -u)" = 0 ] ||
        die "apt knows no source package '$1': as root, add 'deb-src' entries beside this machine's 'deb' entries and run 'apt-get update'"
    if [ -n "$oneLine" ]; then
        log "adding deb-src entries copied from this machine's one-line entries ($APT_SOURCES/sources.list.d/embercrest-src.list)"
        printf '%s\n' "$oneLine" >"$APT_SOURCES/sources.list.d/embercrest-src.list"
    fi
    if [ -n "$deb822" ]; then
        log "adding deb-src entries copied from this machine's deb822 entries ($APT_SOURCES/sources.list.d/embercrest-src.sources)"
        printf '%s\n' "$deb822" >"$APT_SOURCES/sources.list.d/embercrest-src.sources"
    fi
    apt-get update -qq || true
    [ -n "$(sourceVersion "$1")" ] ||
        die "apt knows no source package '$1' even with the copied deb-src entries: add a 'deb-src' entry for this Debian suite and run 'apt-get update'"
}

needDisk() { # folder, GiB
    local avail
    mkdir -p "$1"
    avail=$(df -Pk "$1" | awk 'NR == 2 { print int($4 / 1048576) }')
    [ "$avail" -ge "$2" ] ||
        die "$1 has $avail GiB free; building $3 needs about $2 GiB. Free some space or point EMBERCREST_CACHE elsewhere."
}

# Every version of a source package that apt knows, newest first.
sourceVersions() {
    apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -Vru
}

# Unpacks Debian's source package (patches applied) into $CACHE_ROOT/src/ once. A mirror may
# list a version it no longer serves: older ones of the same upstream release line are tried.
fetchSource() { # package, expected upstream version prefix; prints the folder
    local pkg=$1 want=$2 version dir
    mkdir -p "$CACHE_ROOT/src"
    dir=$(find "$CACHE_ROOT/src" -mindepth 1 -maxdepth 1 -type d -name "$pkg-$want*" | head -n1)
    if [ -n "$dir" ] && [ -e "$dir/.unpacked" ]; then
        echo "$dir"
        return
    fi
    ensureDebSrc "$pkg"
    [ -z "$dir" ] || rm -rf "$dir"
    local fetched=""
    for version in $(sourceVersions "$pkg"); do
        case "$version" in "$want"*) ;; *) continue ;; esac
        log "fetching Debian's $pkg $version source"
        if (cd "$CACHE_ROOT/src" && apt-get source -qq "$pkg=$version" >&2); then
            fetched=$version
            break
        fi
        find "$CACHE_ROOT/src" -mindepth 1 -maxdepth 1 -type d -name "$pkg-$want*" -exec rm -rf {} +
    done
    [ -n "$fetched" ] ||
        die "could not fetch Debian's $pkg source ($want): is there a deb-src entry, and did 'apt-get update' run?"
    dir=$(find "$CACHE_ROOT/src" -mindepth 1 -maxdepth 1 -type d -name "$pkg-$want*" | head -n1)
    [ -n "$dir" ] || die "apt-get source $pkg unpacked nothing under $CACHE_ROOT/src"
    touch "$dir/.unpacked"
    echo "$dir"
}

buildQt() {
    qtCachePaths "$OPENSSL_CACHE"
    if [ -e "$QT_CACHE/.complete" ]; then
        return
    fi
    if [ -e "$QT_CACHE" ]; then
        log "$QT_CACHE holds an unfinished build: removing it and starting again"
        rm -rf "$QT_CACHE"
    fi
    needDisk "$CACHE_ROOT" 8 "a static Qt"
    local src
    src=$(fetchSource "$QT_SRCPKG" "$QT_VERSION")
    local started=$SECONDS
    log "building static Qt $QT_VERSION for Windows in $QT_CACHE (about 30-60 minutes on two cores)"
    mkdir -p "$QT_CACHE/build"
    printf '%s\n' "${QT_CONFIGURE_OPTIONS[@]}" >"$QT_CACHE/configure-options"
    (
        cd "$QT_CACHE/build"
        # Qt's OpenSSL test reads OPENSSL_LIBS from the environment, the library set-up from
        # the command line: both get it.
        local libs="-L$OPENSSL_PREFIX/lib -lssl -lcrypto $OPENSSL_WINDOWS_LIBS"
        OPENSSL_LIBS=$libs "$src/configure" -prefix "$QT_PREFIX" "${QT_CONFIGURE_OPTIONS[@]}" \
            -I "$OPENSSL_PREFIX/include" OPENSSL_LIBS="$libs" >configure.log 2>&1 ||
            { tail -n 40 configure.log >&2; exit 1; }
        nice -n 19 make -j"$JOBS" >make.log 2>&1 || { tail -n 60 make.log >&2; exit 1; }
        make install >install.log 2>&1 || { tail -n 40 install.log >&2; exit 1; }
    ) || die "the Qt build failed; logs in $QT_CACHE/build"
    rm -rf "$QT_CACHE/build"
    echo "$((SECONDS - started))" >"$QT_CACHE/build-seconds"
    touch "$QT_CACHE/.complete"
    log "Qt built in $(((SECONDS - started) / 60)) minutes"
}

OPENSSL_CACHE=""
OPENSSL_PREFIX=""
opensslCachePaths() {
    local version=$1
    OPENSSL_CACHE="$CACHE_ROOT/openssl-$version-mingw64-static-$(optionsHash "${OPENSSL_CONFIGURE_OPTIONS[@]}")"
    OPENSSL_PREFIX="$OPENSSL_CACHE/prefix"
}

buildOpenssl() {
    local existing
    # A new machine has no cache folder yet, and find fails on a missing one.
    mkdir -p "$CACHE_ROOT"
    existing=$(find "$CACHE_ROOT" -mindepth 1 -maxdepth 1 -type d -name "openssl-*-mingw64-static-$(optionsHash "${OPENSSL_CONFIGURE_OPTIONS[@]}")" | head -n1)
    if [ -n "$existing" ] && [ -e "$existing/.complete" ]; then
        OPENSSL_CACHE=$existing
        OPENSSL_PREFIX="$existing/prefix"
        return
    fi
    [ -z "$existing" ] || { log "$existing holds an unfinished build: removing it"; rm -rf "$existing"; }
    needDisk "$CACHE_ROOT" 2 "OpenSSL"
    local src version
    src=$(fetchSource "$OPENSSL_SRCPKG" "3")
    version=$(basename "$src")
    version=${version#openssl-}
    opensslCachePaths "$version"
    log "building OpenSSL $version's libssl and libcrypto for Windows in $OPENSSL_CACHE"
    mkdir -p "$OPENSSL_CACHE/build"
    (
        cd "$OPENSSL_CACHE/build"
        "$src/Configure" "${OPENSSL_CONFIGURE_OPTIONS[@]}" --prefix="$OPENSSL_PREFIX" --libdir=lib \
            >configure.log 2>&1 || { tail -n 40 configure.log >&2; exit 1; }
        nice -n 19 make -j"$JOBS" build_libs >make.log 2>&1 || { tail -n 60 make.log >&2; exit 1; }
        make install_dev >install.log 2>&1 || { tail -n 40 install.log >&2; exit 1; }
    ) || die "the OpenSSL build failed; logs in $OPENSSL_CACHE/build"
    rm -rf "$OPENSSL_CACHE/build"
    touch "$OPENSSL_CACHE/.complete"
}

if [ "${1:-}" = "--env" ]; then
    OPENSSL_PREFIX=$(ls -d "$CACHE_ROOT"/openssl-*-mingw64-static-*/prefix 2>/dev/null | head -n1 || true)
    qtCachePaths "$(dirname "$OPENSSL_PREFIX")"
    return 0 2>/dev/null || exit 0
fi
case "${1:-all}" in
openssl) buildOpenssl ;;
qt | all)
    # Qt links OpenSSL, so OpenSSL comes first.
    buildOpenssl
    buildQt
    ;;
*) die "usage: toolchain.sh [qt|openssl|all]" ;;
esac
echo "QT_PREFIX=$QT_PREFIX"
echo "OPENSSL_PREFIX=$OPENSSL_PREFIX"
