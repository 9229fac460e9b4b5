#!/bin/sh
# Runs a 64-bit Windows program under Wine: the cross build's test emulator.
#
# Uses its own Wine prefix (WINEPREFIX if set, else one per user under
# /tmp), created on first use, and keeps one wineserver alive across the
# many short processes of a test run; it goes away by itself a minute after
# the last one. Wine's own diagnostics are silenced unless WINEDEBUG is set.
set -e

WINEPREFIX=${WINEPREFIX:-${TMPDIR:-/tmp}/tolvak-wine-$(id -u)}
WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX WINEDEBUG

# Debian keeps the 64-bit loader and server outside PATH.
wine=${TOLVAK_WINE:-/usr/lib/wine/wine64}
wineserver=${TOLVAK_WINESERVER:-/usr/lib/wine/wineserver64}
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

mkdir -p "$WINEPREFIX"
# Succeeds only when no server for this prefix was running yet. Then start
# the prefix (creating it on first use) from a process of its own: Wine's
# background services outlive it and keep the output handles they inherit,
# which must not be a test runner's pipes, or the runner would wait for
# them until the server goes away.
if "$wineserver" -p60 </dev/null >/dev/null 2>&1; then
  "$wine" wineboot </dev/null >/dev/null 2>&1 || true
fi

exec "$wine" "$@"
