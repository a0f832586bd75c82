#!/bin/sh
# Real DHCP clients across a veth pair (netns-run --pair): busybox udhcpc and
# ISC dhclient get an address from an ordinary-client range; ISC perfdhcp,
# which always acts as a relay, completes 1,000 four-way exchanges; a relayed
# DISCOVER whose giaddr lies in no range gets no answer.
set -eu
host=${1:?test_host binary}
ns=$(basename "${TAVREL_CLIENT_NETNS:?run under netns-run --pair}")
work=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/boot"
mkfifo "$work/in"
# Kind-2 ranges: one on the veth subnet, one /16 holding perfdhcp's giaddr.
"$host" 192.0.2.1 "$work/boot" 192.0.2.100,192.0.2.120,255.255.255.0,2 192.0.8.1,192.0.11.254,255.255.0.0,2 \
  < "$work/in" > "$work/host.out" 2>&1 &
exec 3> "$work/in"
for i in $(seq 50); do grep -q ready "$work/host.out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$work/host.out" || { cat "$work/host.out"; exit 1; }
in_client() { ip netns exec "$ns" "$@"; }

failures=0
result() { if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi; }

out=$(in_client timeout 20 busybox udhcpc -i tv1 -n -q -f -s /bin/true 2>&1) && rc=0 || rc=$?
echo "$out" | grep -q 'lease of 192.0.2.1[0-2][0-9] obtained' || rc=1
result $rc "busybox udhcpc"

out=$(in_client timeout 30 dhclient -1 -v -sf /bin/true -lf "$work/dhclient.leases" -pf "$work/dhclient.pid" tv1 2>&1) \
  && rc=0 || rc=$?
echo "$out" | grep -q 'bound to 192.0.2.1[0-2][0-9]' || rc=1
[ "$rc" = 0 ] || echo "$out"
result $rc "ISC dhclient"
[ -f "$work/dhclient.pid" ] && kill "$(cat "$work/dhclient.pid")" 2>/dev/null || true

out=$(in_client timeout 60 perfdhcp -4 -g single -r 200 -R 1000 -n 1000 -p 30 -W 1000000 -l tv1 192.0.2.1 2>&1) && rc=0 || rc=$?
echo "$out" | grep -E 'sent packets|received packets|drops' | head -8
sent=$(echo "$out" | sed -n 's/^sent packets: //p' | head -2 | tr '\n' ' ')
received=$(echo "$out" | sed -n 's/^received packets: //p' | head -2 | tr '\n' ' ')
[ "$sent" = "1000 1000 " ] && [ "$received" = "1000 1000 " ] && rc=0 || rc=1
result $rc "perfdhcp 1,000 DORA exchanges without loss"

# A relayed DISCOVER from a network the service has no range for.
in_client python3 - <<'PY' && rc=0 || rc=$?
import os, socket, struct, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("192.0.2.2", 67))
msg = bytearray(300)
msg[0:3] = b"\x01\x01\x06"
msg[4:8] = struct.pack("!I", 0xC0FFEE)
msg[24:28] = socket.inet_aton("10.99.0.1")
msg[28:34] = b"\x02\x00\x00\x00\x99\x01"
msg[236:240] = b"\x63\x82\x53\x63"
msg[240:244] = b"\x35\x01\x01\xff"
s.sendto(bytes(msg), ("192.0.2.1", 67))
s.settimeout(1.5)
try:
    s.recvfrom(2000)
    sys.exit(1)
except socket.timeout:
    sys.exit(0)
PY
result $rc "relayed DISCOVER from an unknown network is not answered"
exit $failures
