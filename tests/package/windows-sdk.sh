#!/bin/sh
# The Windows SDK zip of the win32 build: its files; the DLL exports exactly
# what Tavrel.def lists; both import libraries define the __cdecl import
# symbols of every listed name; and a MinGW host (examples/embed.c) links
# against each import library and imports its entry points from Tavrel.dll.
set -eu
zip=${1:?Tavrel-VERSION-win32.zip}
embed=${2:?examples/embed.c}
[ -f "$zip" ] || { echo "missing $zip: build the win32 preset first"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unzip -q "$zip" -d "$work"
sdk=$(echo "$work"/Tavrel-*)
failures=0
result() { if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi; }

rc=0
for f in bin/Tavrel.dll include/Tavrel.h lib/Tavrel.def lib/Tavrel.lib lib/libTavrel.dll.a README-Windows.txt; do
  [ -f "$sdk/$f" ] || { echo "no $f"; rc=1; }
done
result $rc "contents"

names=$(sed -n '/^EXPORTS/,$p' "$sdk/lib/Tavrel.def" | sed -n 's/^[[:space:]]\+\([A-Za-z_][A-Za-z0-9_]*\).*/\1/p' | sort)
exports=$(i686-w64-mingw32-objdump -p "$sdk/bin/Tavrel.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
  | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
[ -n "$names" ] && [ "$names" = "$exports" ] && rc=0 || rc=1
result $rc "Tavrel.dll exports the names of Tavrel.def: $(echo $names)"

# 32-bit __cdecl: the caller's symbol is _NAME, its import slot __imp__NAME.
for lib in Tavrel.lib libTavrel.dll.a; do
  symbols=$(i686-w64-mingw32-nm "$sdk/lib/$lib" 2>/dev/null || true)
  rc=0
  for name in $names; do
    echo "$symbols" | grep -Eq "^[0-9a-f]* +[A-Z] __imp__$name\$" || { echo "$lib: no __imp__$name"; rc=1; }
    echo "$symbols" | grep -Eq "^[0-9a-f]* +T _$name\$" || { echo "$lib: no _$name"; rc=1; }
  done
  result $rc "$lib defines the import symbols"
  exe=$work/embed-$lib.exe
  i686-w64-mingw32-gcc -Wno-unused-parameter -I"$sdk/include" -o "$exe" "$embed" "$sdk/lib/$lib" && rc=0 || rc=1
  if [ "$rc" = 0 ]; then
    imports=$(i686-w64-mingw32-objdump -p "$exe" | sed -n '/DLL Name: Tavrel.dll/,/^$/p')
    for name in RegisterSelectPxeCallback StartPXE StopPXE; do
      echo "$imports" | grep -Eq "[[:space:]]$name\$" || { echo "$exe does not import $name"; rc=1; }
    done
  fi
  result $rc "a MinGW host links against $lib and imports from Tavrel.dll"
done
exit $failures
