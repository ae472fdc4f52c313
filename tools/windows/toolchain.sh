#!/usr/bin/env bash
# Builds (or reuses) the cross toolchain for Windows: a static Qt 5 qtbase for win32-g++ and
# OpenSSL's libcrypto, both from Debian's source packages, cached outside the repository under
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
    -no-opengl -no-dbus -no-icu -no-fontconfig -no-openssl
    -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz -qt-pcre
    # Debian's source package leaves out src/3rdparty/wintab and SQLite.
    -no-feature-tabletevent -no-sql-sqlite
    # Modules the launcher and its tests do not use.
    -no-feature-sql -no-feature-concurrent -no-feature-xml
)
OPENSSL_SRCPKG=openssl
OPENSSL_CONFIGURE_OPTIONS=(mingw64 no-shared no-tests "--cross-compile-prefix=$HOST-")

optionsHash() { printf '%s\n' "$@" | sha256sum | cut -c1-10; }
QT_CACHE="$CACHE_ROOT/qt-$QT_VERSION-win32-g++-static-$(optionsHash "${QT_CONFIGURE_OPTIONS[@]}")"
QT_PREFIX="$QT_CACHE/prefix"

die() {
    echo "toolchain: $*" >&2
    exit 1
}
log() { echo "toolchain: $*" >&2; }

# Debian's version of a source package, e.g. 5.15.8+dfsg-11+deb12u3 (empty without deb-src).
sourceVersion() {
    apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -V | tail -n1
}

ensureDebSrc() {
    if [ -n "$(sourceVersion "$1")" ]; then
        return
    fi
    if [ ! -e /etc/apt/sources.list.d/debian-src.sources ] && [ "$(id -u)" = 0 ]; then
        local codename
        codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
        [ -n "$codename" ] || die "cannot tell the Debian suite from /etc/os-release to add a deb-src entry"
        log "adding a deb-src entry for $codename (/etc/apt/sources.list.d/debian-src.sources)"
        cat >/etc/apt/sources.list.d/debian-src.sources <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $codename-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
        apt-get update -qq || true
    fi
    [ -n "$(sourceVersion "$1")" ] ||
        die "apt knows no source package '$1': add a 'deb-src' entry for this Debian suite (see /etc/apt/sources.list.d/) and run 'apt-get update'"
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
        "$src/configure" -prefix "$QT_PREFIX" "${QT_CONFIGURE_OPTIONS[@]}" >configure.log 2>&1 ||
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
    existing=$(find "$CACHE_ROOT" -mindepth 1 -maxdepth 1 -type d -name "openssl-*-mingw64-static-$(optionsHash "${OPENSSL_CONFIGURE_OPTIONS[@]}")" 2>/dev/null | head -n1)
    if [ -n "$existing" ] && [ -e "$existing/.complete" ]; then
        OPENSSL_CACHE=$existing
        OPENSSL_PREFIX="$existing/prefix"
        return
    fi
    [ -z "$existing" ] || { log "$existing holds an unfinished build: removing it"; rm -rf "$existing"; }
    needDisk "$CACHE_ROOT" 2 "OpenSSL's libcrypto"
    local src version
    src=$(fetchSource "$OPENSSL_SRCPKG" "3")
    version=$(basename "$src")
    version=${version#openssl-}
    opensslCachePaths "$version"
    log "building OpenSSL $version's libcrypto for Windows in $OPENSSL_CACHE"
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
    opensslCachePaths "*"
    OPENSSL_PREFIX=$(ls -d "$CACHE_ROOT"/openssl-*-mingw64-static-*/prefix 2>/dev/null | head -n1)
    return 0 2>/dev/null || exit 0
fi
case "${1:-all}" in
qt) buildQt ;;
openssl) buildOpenssl ;;
all)
    buildQt
    buildOpenssl
    ;;
*) die "usage: toolchain.sh [qt|openssl|all]" ;;
esac
echo "QT_PREFIX=$QT_PREFIX"
echo "OPENSSL_PREFIX=$OPENSSL_PREFIX"
