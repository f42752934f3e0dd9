#!/usr/bin/env bash
# Runs a Windows test program under wine64 in the build tree's own prefix.
# The prefix is booted on first use; scripts/test.sh removes it so that each
# test run starts from a fresh one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/../build/win64/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=/usr/lib/wine/wine64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w || true
  ) 9>"$(dirname "$WINEPREFIX")/.wineprefix.lock"
fi
exec "$wine" "$@"
