#!/usr/bin/env bash
# Builds the launcher for release (Qt 5, no tests) in ./build-deb (or $BUILD_DIR) and makes the
# Debian package dist/embercrest-launcher_<version>_<arch>.deb with dpkg-deb, then checks it
# with lintian (no errors), appstreamcli and desktop-file-validate. Prints the package's path.
# See docs/linux.md.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/lib/common.sh

package=embercrest-launcher
# The menu entry's, icon's and AppStream id: reverse DNS, on the placeholder domain of the
# built-in manifest URL until the community has a domain of its own.
app_id=example.embercrest.launcher
build=$(realpath -m "${BUILD_DIR:-build-deb}")
dist=$PWD/dist

install_missing build-essential cmake ninja-build pkg-config \
    qtbase5-dev qttools5-dev qttools5-dev-tools libssl-dev zlib1g-dev \
    dpkg-dev lintian appstream desktop-file-utils

version=$(sed -n 's/^project(EmbercrestLauncher VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }
arch=$(dpkg --print-architecture)
# Dates and file times come from the last commit, so the same tree gives the same package.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH
maintainer="${DEBFULLNAME:-Embercrest Launcher developers} <${DEBEMAIL:-launcher@embercrest.example}>"

# Debian's hardening flags. libcrypto is linked as the shared library here: Debian's security
# updates of OpenSSL then reach the launcher without a new package.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    LDFLAGS=$(dpkg-buildflags --get LDFLAGS) BUILD_DIR=$build nice bash tools/build.sh \
    -DCMAKE_BUILD_TYPE=Release -DEMBERCREST_BUILD_TESTS=OFF -DOPENSSL_USE_STATIC_LIBS=OFF \
    -DEMBERCREST_PACKAGED=ON

umask 022
stage=$build/deb
root=$stage/root
rm -rf "$stage"
mkdir -p "$root/DEBIAN" "$root/usr/games" "$root/usr/lib/$package" "$root/usr/share/applications" \
    "$root/usr/share/metainfo" "$root/usr/share/man/man6" "$root/usr/share/doc/$package"

# The launcher itself, stripped as dh_strip does, and the wrapper that the menu entry runs
# (in /usr/games, as Debian has it for the games section).
strip --strip-unneeded --remove-section=.comment --remove-section=.note \
    -o "$root/usr/lib/$package/$package" "$build/src/embercrest-launcher"
install -m 755 resources/linux/embercrest-launcher.sh "$root/usr/games/$package"

install -m 644 resources/linux/embercrest-launcher.desktop "$root/usr/share/applications/$app_id.desktop"
sed -i "s/@APP_ID@/$app_id/g" "$root/usr/share/applications/$app_id.desktop"
date=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)
sed "s/@APP_ID@/$app_id/g; s/@VERSION@/$version/g; s/@DATE@/$date/g" \
    resources/linux/embercrest-launcher.metainfo.xml >"$root/usr/share/metainfo/$app_id.metainfo.xml"
for icon in resources/linux/icons/*/apps/embercrest-launcher.png; do
    size=$(basename "$(dirname "$(dirname "$icon")")")
    install -D -m 644 "$icon" "$root/usr/share/icons/hicolor/$size/apps/$app_id.png"
done

gzip -9n <resources/linux/embercrest-launcher.6 >"$root/usr/share/man/man6/$package.6.gz"
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
gzip -9n >"$root/usr/share/doc/$package/changelog.gz" <<EOF
$package ($version) unstable; urgency=medium

  * Built from commit $commit.

 -- $maintainer  $(date -u -R -d "@$SOURCE_DATE_EPOCH")
EOF
cat >"$root/usr/share/doc/$package/copyright" <<'EOF'
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Embercrest Launcher
Comment: The fonts are built into the launcher's executable.

Files: *
Copyright: The Embercrest Launcher developers
License: none-stated
 No licence has been stated for the launcher's own code.

Files: resources/font/*
Copyright: 2011 Google Inc.
License: Apache-2.0
 Roboto, under the file names the launcher's style sheet uses.
 .
 On Debian systems, the full text of the Apache License, Version 2.0 can be found in
 /usr/share/common-licenses/Apache-2.0.
EOF

# The shared libraries' packages, as dpkg-shlibdeps finds them (it wants a debian/control).
mkdir -p "$stage/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$package" "$package" >"$stage/debian/control"
depends=$(cd "$stage" && dpkg-shlibdeps -O "root/usr/lib/$package/$package" | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

cat >"$root/DEBIAN/control" <<EOF
Package: $package
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends
Recommends: wine
Section: games
Priority: optional
Description: keeps a game client up to date and starts it
 The Embercrest Launcher keeps the WOTLK (3.3.5) game client's content up
 to date from the community's update server and starts the chosen game
 client (WOTLK or LEGION), through Wine for a Windows client.
 .
 The menu entry and the embercrest-launcher command keep the settings and
 the log in ~/.local/share/embercrest/.
EOF
(cd "$root" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

mkdir -p "$dist"
deb=$dist/${package}_${version}_${arch}.deb
rm -f "$dist/${package}"_*.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null

desktop-file-validate "$root/usr/share/applications/$app_id.desktop"
appstreamcli validate --no-net --pedantic "$root/usr/share/metainfo/$app_id.metainfo.xml"
lintian --fail-on error --display-info --tag-display-limit 0 "$deb"
echo "$deb"
