#!/usr/bin/env bash
# Runs a cross-built Windows program under Debian's wine64: CMake's cross-compiling emulator,
# so ctest in build-windows runs every suite this way. tools/windows/test.sh sets up the
# display and the Wine prefix.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Wine refuses a prefix that another user owns (the e2e scripts also run the launcher as
# "nobody"): such a user gets the prefix test.sh made for it beside the first one.
if [ -n "${WINEPREFIX:-}" ] && [ -e "$WINEPREFIX" ] && [ ! -O "$WINEPREFIX" ]; then
    export WINEPREFIX=$WINEPREFIX-$(id -un)
fi
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
exec "$wine" "$@"
