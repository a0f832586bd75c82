#!/bin/sh
# Both DLLs carry the version resource: FileVersion and ProductVersion
# 1.0.0.3, product name Tavrel (UTF-16 strings in .rsrc).
set -eu
for dll in "$@"; do
  [ -f "$dll" ] || { echo "missing $dll"; exit 1; }
  objdump=i686-w64-mingw32-objdump
  $objdump -f "$dll" >/dev/null 2>&1 || objdump=x86_64-w64-mingw32-objdump
  text=$($objdump -s -j .rsrc "$dll" | sed -n 's/^ [0-9a-f]* \(\([0-9a-f]\{2,8\} \)\{1,4\}\).*/\1/p' | tr -d ' \n' \
    | python3 -c 'import sys,binascii; print(binascii.unhexlify(sys.stdin.read().strip()).decode("utf-16-le", "replace"))')
  for needle in "FileVersion" "ProductVersion" "1.0.0.3" "ProductName" "Tavrel"; do
    echo "$text" | grep -q "$needle" || { echo "$dll: no $needle in its version resource"; exit 1; }
  done
  # The fixed part holds 1,0,0,3 as two DWORDs: 0x00010000 0x00030000.
  $objdump -s -j .rsrc "$dll" | tr -d ' \n' | grep -q "bd04effe00000100000001000300" \
    || { echo "$dll: VS_FIXEDFILEINFO is not 1.0.0.3"; exit 1; }
  echo "ok   $dll"
done
