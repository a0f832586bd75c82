#!/bin/sh
# Crashes a host that loaded the library in four ways and reads the reports
# the library appended beside the host executable.
set -u
host=${1:?crash_host binary} library=${2:?libTavrel.so}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$host" "$work/crash_host"
report="$work/crash_host.RPT"   # no extension: the name gains ".RPT"
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

crash() {  # crash MODE SIGNAL CODE NAME
  mode=$1 signal=$2 code=$3 name=$4
  before=$(grep -c '^// ' "$report" 2>/dev/null || echo 0)
  ulimit -c 0
  "$work/crash_host" "$library" "$mode" >/dev/null 2>&1
  status=$?
  [ "$status" = $((128 + signal)) ] || fail "$mode: exit status $status, expected signal $signal"
  after=$(grep -c '^// ' "$report" 2>/dev/null || echo 0)
  [ "$after" = $((before + 1)) ] || { fail "$mode: no new report"; return; }
  last=$(awk '/^\/\/ /{n++} n=='"$after" "$report")
  printf '%s' "$last" | head -1 | grep -q "$(printf '^// [0-9]\\{4\\}-[0-9][0-9]-[0-9][0-9] [0-9:]\\{8\\} =*//\r\r$')" \
    || fail "$mode: header line"
  printf '%s' "$last" | grep -q "^Exception code: $code $name" || fail "$mode: code line"
  printf '%s' "$last" | grep -q '^Fault address:  [0-9A-F]\{16\} [0-9A-F][0-9A-F]:[0-9A-F]\{16\} /' || fail "$mode: fault line"
  for reg in RAX RBX RCX RDX RSI RDI CS:RIP SS:RSP Flags; do
    printf '%s' "$last" | grep -q "^$reg:" || fail "$mode: register $reg"
  done
  printf '%s' "$last" | grep -q '^Call stack:' || fail "$mode: call stack"
  printf '%s' "$last" | grep -A1 '^Address   Frame' | tail -1 | grep -q 'crash_host' || fail "$mode: faulting frame's module"
  echo "ok   $mode"
}

crash null 11 C0000005 ACCESS_VIOLATION
crash divide 8 C0000094 INT_DIVIDE_BY_ZERO
crash recursion 11 C00000FD STACK_OVERFLOW
crash trap 4 C000001D ILLEGAL_INSTRUCTION
[ "$(grep -c '^// ' "$report")" = 4 ] || fail "reports do not accumulate in one file"
"$work/crash_host" "$library" handlers || fail "a host's handler replaced, or ours not put back at unload"
echo "ok   handlers restored"
# A host that handles SIGSEGV itself keeps recovering, and no report is written.
"$work/crash_host" "$library" recover | grep -q recovered || fail "the host's own handler lost the signal"
[ "$(grep -c '^// ' "$report")" = 4 ] || fail "a report for a signal the host handled"
echo "ok   host's own handler keeps its signals"
exit $failures
