#!/usr/bin/env bash
# Runs a cross-built Windows program under Debian's wine64: CMake's cross-compiling emulator,
# so ctest in build-windows runs every suite this way. tools/windows/test.sh sets up the
# display and the Wine prefix.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
exec "$wine" "$@"
