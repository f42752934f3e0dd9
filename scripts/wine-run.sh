#!/usr/bin/env bash
# Runs a Windows test program under Wine in the build tree's own prefix, at
# the bitness the tests ask for: WINEARCH=win32 is the 32-bit loader in a
# pure 32-bit prefix in build/win32, anything else wine64 in build/win64
# (called by its own name: where wine32 is installed, "wine" is the 32-bit
# one). The prefix is booted on first use; scripts/test.sh removes it so that
# each test run starts from a fresh one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${WINEARCH:-}" = win32 ]; then
  build=$here/../build/win32 wine=/usr/lib/wine/wine
else
  build=$here/../build/win64 wine=/usr/lib/wine/wine64
fi
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w || true
  ) 9>"$(dirname "$WINEPREFIX")/.wineprefix.lock"
fi
exec "$wine" "$@"
