#!/bin/sh
# The shipped DLL: PE32 for i386, and every import a system DLL.
set -eu
dll=${1:?path of Tavrel.dll}
[ -f "$dll" ] || { echo "missing $dll: build the win32 preset first"; exit 1; }
dump=$(i686-w64-mingw32-objdump -p "$dll")
echo "$dump" | grep -q 'file format pei-i386' || { echo "not PE32/i386"; exit 1; }
echo "$dump" | grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' || { echo "optional header is not PE32"; exit 1; }
imports=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'a-z' 'A-Z' | sort -u)
echo "imports: $(echo $imports)"
allowed='^(KERNEL32|WS2_32|USER32|SHELL32|MSVCRT|ADVAPI32|API-MS-WIN-[A-Z0-9-]+)\.DLL$'
bad=$(echo "$imports" | grep -Ev "$allowed" || true)
[ -z "$bad" ] || { echo "non-system imports: $bad"; exit 1; }
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
echo "exports: $exports"
[ "$exports" = "RefreshPXE RegisterSelectPxeCallback StartPXE StopPXE " ] || { echo "exports differ"; exit 1; }
exit 0
