#!/bin/sh
# Two services on one LAN, the arrangement the host's choice exists for: two
# hosts on one bridge split the MACs between them (even last byte: 192.0.2.1,
# odd: 192.0.2.3). Every client (busybox udhcpc, ISC dhclient, a captured
# PXE DISCOVER, a 4455 address request) is answered by exactly one server,
# neither takes the other's 4455 answer for a report, and nothing loops.
# Run under netns-run: the bridge and three namespaces are made here.
set -eu
host=${1:?test_host binary}
captures=${2:?folder of the captures}
tag=$$
work=$(mktemp -d)
cleanup() {
  for pid in $(cat "$work"/*.pid 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
  for n in a b c; do ip netns del "tv2s-$n-$tag" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
ip link add tvbr type bridge
ip link set tvbr up
for n in a b c; do
  ip netns add "tv2s-$n-$tag"
  ip link add "tvp$n" type veth peer name eth0 netns "tv2s-$n-$tag"
  ip link set "tvp$n" master tvbr up
  ip -n "tv2s-$n-$tag" link set lo up
  ip -n "tv2s-$n-$tag" link set eth0 up
done
ip -n "tv2s-a-$tag" addr add 192.0.2.1/24 dev eth0
ip -n "tv2s-b-$tag" addr add 192.0.2.3/24 dev eth0
ip -n "tv2s-c-$tag" addr add 192.0.2.2/24 dev eth0
in_client() { ip netns exec "tv2s-c-$tag" "$@"; }

# Each server has a boot-stage range and an ordinary range of its own.
serve() {  # serve NAME ADDRESS FIRST_OCTET
  mkdir -p "$work/$1"
  mkfifo "$work/$1.in"
  ip netns exec "tv2s-$1-$tag" "$host" --split 192.0.2.1,192.0.2.3 "$2" "$work/$1" \
    "192.0.2.$3,192.0.2.$(($3 + 40)),255.255.255.0,1" "192.0.2.$(($3 + 100)),192.0.2.$(($3 + 140)),255.255.255.0,2" \
    < "$work/$1.in" > "$work/$1.out" 2>&1 &
  echo $! > "$work/$1.pid"
}
serve a 192.0.2.1 10
serve b 192.0.2.3 50
exec 3> "$work/a.in" 4> "$work/b.in"
for i in $(seq 50); do grep -q ready "$work/a.out" && grep -q ready "$work/b.out" && break; sleep 0.1; done
grep -q ready "$work/a.out" && grep -q ready "$work/b.out" || { cat "$work/a.out" "$work/b.out"; exit 1; }

failures=0
result() { if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi; }
mac() { in_client ip link set eth0 address "$1"; }

for last in 02 03; do
  mac "02:00:00:00:00:$last"
  [ "$last" = 02 ] && server=192.0.2.1 || server=192.0.2.3
  out=$(in_client timeout 20 busybox udhcpc -i eth0 -n -q -f -s /bin/true 2>&1) && rc=0 || rc=$?
  echo "$out" | grep -q "obtained from $server" || rc=1
  [ "$rc" = 0 ] || echo "$out"
  result $rc "busybox udhcpc, MAC ...:$last, served by $server"

  rm -f "$work/dhclient.leases"
  out=$(in_client timeout 30 dhclient -1 -v -sf /bin/true -lf "$work/dhclient.leases" -pf "$work/dhclient.pid" eth0 2>&1) \
    && rc=0 || rc=$?
  # dhclient goes on in the background holding port 68, and may write its
  # pid file only after the command returned: end every process of the
  # client's namespace before going on.
  for i in $(seq 50); do
    pids=$(ip netns pids "tv2s-c-$tag")
    [ -z "$pids" ] && break
    kill $pids 2>/dev/null || true
    sleep 0.1
  done
  offers=$(echo "$out" | grep -c 'DHCPOFFER' || true)
  echo "$out" | grep -q "DHCPOFFER of .* from $server" && [ "$offers" = 1 ] || rc=1
  [ "$rc" = 0 ] || echo "$out"
  result $rc "ISC dhclient, MAC ...:$last, one offer, from $server"
done

# A captured PXE DISCOVER under both MACs, then a 4455 address request for
# each: one answer each, from the chosen server; then a quiet LAN.
in_client python3 - "$captures/ipxe-bios-dhcp-boot.pcap" <<'PY' && rc=0 || rc=$?
import socket, struct, sys, time
data = open(sys.argv[1], "rb").read()
discover, at = None, 24
while at + 16 <= len(data) and discover is None:
    length = struct.unpack_from("<I", data, at + 8)[0]
    frame = data[at + 16:at + 16 + length]
    at += 16 + length
    ip = frame[14:]
    udp = ip[(ip[0] & 15) * 4:]
    if struct.unpack_from("!H", udp, 2)[0] == 67 and b"\x35\x01\x01" in udp[8 + 240:]:
        discover = bytearray(udp[8:])
dhcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
dhcp.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
dhcp.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"eth0")
dhcp.bind(("0.0.0.0", 68))
select = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
select.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
select.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"eth0")
select.bind(("0.0.0.0", 4455))

def collect(sock, seconds):
    got, end = [], time.time() + seconds
    while time.time() < end:
        sock.settimeout(max(0.01, end - time.time()))
        try:
            got.append(sock.recvfrom(2000))
        except socket.timeout:
            pass
    return got

failed = False
for last, server in ((0x10, "192.0.2.1"), (0x11, "192.0.2.3")):
    discover[33] = last
    discover[4:8] = struct.pack("!I", 0x7000 + last)
    dhcp.sendto(bytes(discover), ("255.255.255.255", 67))
    offers = [(m, f) for m, f in collect(dhcp, 1.0) if m[0] == 2 and m[4:8] == discover[4:8]]
    ok = len(offers) == 1 and offers[0][1][0] == server
    print("%s PXE DISCOVER ...:%02x: %s" % ("ok  " if ok else "FAIL", last, [f[0] for m, f in offers]))
    failed |= not ok
    pack = bytearray(292)
    pack[0:2] = b"\x75\x6d"
    pack[4:10] = b"\x02\x00\x00\x00\x00" + bytes([last])
    pack[12] = 1
    select.sendto(bytes(pack), ("192.0.2.255", 4455))
    answers = [(m, f) for m, f in collect(select, 1.0) if f[0] != "192.0.2.2"]
    ok = len(answers) == 1 and answers[0][1][0] == server and len(answers[0][0]) == 292
    print("%s 4455 request ...:%02x: %s" % ("ok  " if ok else "FAIL", last, [(f[0], len(m)) for m, f in answers]))
    failed |= not ok
quiet = [f for m, f in collect(select, 1.5) + collect(dhcp, 0.5) if f[0] != "192.0.2.2"]
print("%s quiet LAN afterwards: %s" % ("ok  " if not quiet else "FAIL", quiet))
sys.exit(1 if failed or quiet else 0)
PY
result $rc "captured PXE DISCOVER and 4455 requests answered once each, nothing loops"

if grep -h '^report' "$work/a.out" "$work/b.out"; then rc=1; else rc=0; fi
result $rc "no server took the other's 4455 answer for a report"
exit $failures
