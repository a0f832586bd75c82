#!/bin/sh
# Creates the Wine prefix the Windows tests share, once per test run, inside
# a namespace (netns-run), and waits until its wineserver has ended.
set -eu
export WINEPREFIX=${TAVREL_WINE_PREFIX:?} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
/usr/lib/wine/wineserver -w
[ -f "$WINEPREFIX/system.reg" ]
