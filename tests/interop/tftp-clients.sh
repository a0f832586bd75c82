#!/bin/sh
# Real TFTP clients download from the service: curl, atftp, busybox and
# tftp-hpa, each byte for byte; a 40 MB file at 512-byte blocks needs block
# numbers past 65535. Runs inside a namespace of its own (netns-run).
set -eu
host=${1:?test_host binary}
work=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/boot" "$work/bin"
head -c 5242880 /dev/urandom > "$work/boot/five.bin"
head -c 41943040 /dev/urandom > "$work/boot/forty.bin"
mkfifo "$work/in"
"$host" 127.0.0.1 "$work/boot" < "$work/in" > "$work/host.out" 2>&1 &
exec 3> "$work/in"
for i in $(seq 50); do grep -q ready "$work/host.out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$work/host.out" || { cat "$work/host.out"; exit 1; }

failures=0
check() {
  name=$1 file=$2 out=$3
  if cmp -s "$work/boot/$file" "$out"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
  rm -f "$out"
}
cd "$work"
curl -s -o c1 tftp://127.0.0.1/five.bin || true; check "curl default" five.bin c1
curl -s --tftp-blksize 1468 -o c2 tftp://127.0.0.1/five.bin || true; check "curl blksize 1468" five.bin c2
curl -s --tftp-no-options -o c3 tftp://127.0.0.1/five.bin || true; check "curl no options" five.bin c3
atftp -g -r five.bin -l a1 127.0.0.1 >/dev/null 2>&1 || true; check "atftp" five.bin a1
atftp --option "blksize 1428" -g -r five.bin -l a2 127.0.0.1 >/dev/null 2>&1 || true; check "atftp blksize 1428" five.bin a2
atftp --option "windowsize 8" -g -r five.bin -l a3 127.0.0.1 >/dev/null 2>&1 || true; check "atftp windowsize 8" five.bin a3
atftp --option "blksize 1468" --option "windowsize 16" -g -r forty.bin -l a4 127.0.0.1 >/dev/null 2>&1 || true
check "atftp 40 MB blksize 1468 windowsize 16" forty.bin a4
# curl names tsize first, then blksize and timeout: all three come back.
curl -sv --tftp-blksize 1468 -o c5 tftp://127.0.0.1/five.bin 2> c5.log || true
acked=$(grep -Eo 'got option=\((tsize|blksize|timeout)\)' c5.log | sort -u | wc -l)
[ "$acked" = 3 ] || { echo "curl options acknowledged: $acked of 3"; cat c5.log | head -20; failures=$((failures + 1)); }
check "curl tsize, blksize 1468 and timeout in one OACK" five.bin c5
# Transfers are told apart by port: four at once from one address.
pids=""
for i in 1 2 3 4; do curl -s --tftp-blksize 1468 -o "p$i" tftp://127.0.0.1/five.bin & pids="$pids $!"; done
for pid in $pids; do wait "$pid" || true; done
for i in 1 2 3 4; do check "curl $i of 4 at once from one address" five.bin "p$i"; done
busybox tftp -g -b 1024 -r five.bin -l b1 127.0.0.1 >/dev/null 2>&1 || true; check "busybox tftp -b 1024" five.bin b1
tftp 127.0.0.1 -m binary -c get five.bin h1 >/dev/null 2>&1 || true; check "tftp-hpa" five.bin h1
tftp 127.0.0.1 -m binary -c get forty.bin h2 >/dev/null 2>&1 || true; check "tftp-hpa 40 MB at 512 (rollover)" forty.bin h2
curl -s --tftp-blksize 512 -o c4 tftp://127.0.0.1/forty.bin || true; check "curl 40 MB at 512 (rollover)" forty.bin c4
exit $failures
