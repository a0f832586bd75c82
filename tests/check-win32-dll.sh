#!/bin/sh
# The shipped DLL: PE32 for i386, every import a system DLL, and exactly the
# exports its Tavrel.def lists.
set -eu
dll=${1:?path of Tavrel.dll}
def=${2:?path of Tavrel.def}
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
listed=$(sed -n '/^EXPORTS/,$p' "$def" | sed -n 's/^[[:space:]]\+\([A-Za-z_][A-Za-z0-9_]*\).*/\1/p' | sort | tr '\n' ' ')
[ "$exports" = "$listed" ] || { echo "exports differ from $def: $listed"; exit 1; }
# The entry points every host relies on.
for name in RegisterSelectPxeCallback RegisterSelectBootFileCallback RegisterBootEventCallback StartPXE RefreshPXE StopPXE RegisterBootEventCallbackV6 StartPXEV6 \
    RegisterSelectBootFileCallbackEx RegisterRenderTftpFileCallback RegisterBootEventCallbackEx; do
  echo "$exports" | grep -qw "$name" || { echo "$name not exported"; exit 1; }
done
exit 0
