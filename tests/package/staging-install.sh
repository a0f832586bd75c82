#!/bin/sh
# A staging install (DESTDIR) of a build tree: examples/embed.c builds
# against it with find_package(Tavrel 1.0) and with pkg-config, binds to the
# library's SONAME, sees Tavrel.h and nothing of src/, and runs (StartPXE
# and StopPXE succeed). Run under netns-run: the example binds 192.0.2.1.
set -eu
build=${1:?build tree}
embed=${2:?examples/embed.c}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
DESTDIR=$stage cmake --install "$build" >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
root=$stage$prefix
pc=$(find "$root" -name tavrel.pc)
libdir=$(dirname "$(dirname "$pc")")
failures=0
result() { if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi; }

soname=$(readelf -d "$libdir/libTavrel.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libTavrel.so.1 ] && [ -L "$libdir/libTavrel.so.1" ] && rc=0 || rc=1
result $rc "SONAME $soname with its link"
! grep -rq "/src\b" "$(dirname "$(find "$root" -name TavrelConfig.cmake)")" "$pc" && rc=0 || rc=1
result $rc "consumers see include/ only"

mkdir "$work/cmake"
cp "$embed" "$work/cmake/embed.c"
cat > "$work/cmake/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(embed C)
find_package(Tavrel 1.0 REQUIRED)
add_executable(embed embed.c)
target_link_libraries(embed PRIVATE Tavrel::Tavrel)
CMAKE
cmake -S "$work/cmake" -B "$work/cmake/build" -DCMAKE_PREFIX_PATH="$root" -DCMAKE_C_FLAGS=-Wno-unused-parameter \
  > "$work/cmake.log" 2>&1 && cmake --build "$work/cmake/build" >> "$work/cmake.log" 2>&1 && rc=0 || rc=1
[ "$rc" = 0 ] || cat "$work/cmake.log"
result $rc "find_package(Tavrel 1.0) and Tavrel::Tavrel"

mkdir "$work/pc"
PKG_CONFIG_PATH=$(dirname "$pc") PKG_CONFIG_SYSROOT_DIR=$stage pkg-config --cflags --libs tavrel > "$work/pc/flags"
cc -Wall -Wextra -Werror -o "$work/pc/embed" "$embed" $(cat "$work/pc/flags") && rc=0 || rc=1
result $rc "pkg-config tavrel: $(cat "$work/pc/flags")"

# The example serves 192.0.2.1 until its input ends.
ip addr add 192.0.2.1/24 dev lo
for exe in "$work/cmake/build/embed" "$work/pc/embed"; do
  how=pkg-config; [ "$exe" = "$work/pc/embed" ] || how=find_package
  [ -x "$exe" ] || continue
  readelf -d "$exe" | grep -q 'NEEDED.*\[libTavrel.so.1\]' && rc=0 || rc=1
  [ "$rc" = 0 ] && LD_LIBRARY_PATH=$libdir ldd "$exe" | grep -q "$libdir/libTavrel.so.1" || rc=1
  [ "$rc" = 0 ] && LD_LIBRARY_PATH=$libdir "$exe" < /dev/null > "$work/run.log" 2>&1 || { rc=1; cat "$work/run.log"; }
  result $rc "the $how build runs against the staged libTavrel.so.1"
done
exit $failures
