#!/bin/sh
# The Windows crash report under wine64: a host that loaded Tavrel.dll
# writes through a null pointer; the report lands beside it and the process
# ends with the exception code (its low byte, as Linux sees it).
set -u
host=${1:?crash_host_win.exe} dll=${2:?Tavrel.dll}
export WINEPREFIX=${TAVREL_WINE_PREFIX:?} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
trap 'wineserver -w 2>/dev/null; /usr/lib/wine/wineserver -w; rm -rf "$work"' EXIT
cp "$host" "$work/crash_host.exe"
windll="Z:$(echo "$dll" | tr / '\\')"
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
for round in 1 2; do
  /usr/lib/wine/wine64 "$work/crash_host.exe" "$windll" null >/dev/null 2>&1
  status=$?
  [ "$status" = 5 ] || fail "exit status $status, expected 5 (0xC0000005)"
done
report="$work/crash_host.RPT"
[ -f "$report" ] || { fail "no report"; exit 1; }
[ "$(grep -c '^// ' "$report")" = 2 ] || fail "two crashes, two reports"
grep -q "$(printf '^// [0-9-]* [0-9:]* =*//\r\r$')" "$report" || fail "header line"
grep -q '^Exception code: C0000005 ACCESS_VIOLATION' "$report" || fail "code line"
grep -q '^Fault address:  [0-9A-F]\{16\} [0-9A-F][0-9A-F]:[0-9A-F]\{16\} .*crash_host.exe' "$report" || fail "fault line"
for reg in RAX RBX RCX RDX RSI RDI CS:RIP SS:RSP DS Flags; do grep -q "^$reg:" "$report" || fail "register $reg"; done
grep -q '^PDB Search Path:' "$report" || fail "search path"
grep -q '^Call stack:' "$report" || fail "call stack"
grep -A1 '^Address   Frame' "$report" | grep -q 'crash_host.exe' || fail "faulting frame's module"
/usr/lib/wine/wine64 "$work/crash_host.exe" "$windll" filters || fail "filter not restored after unload"
[ "$failures" = 0 ] && echo "ok   Windows crash report" || head -40 "$report"
exit $failures
