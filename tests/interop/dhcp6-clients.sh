#!/bin/sh
# Real DHCPv6 clients across a veth pair (netns-run --pair): ISC dhclient -6
# binds an address from the range (stateful) and gets an answer to its
# INFORMATION-REQUEST (-S, stateless); dhcpcd (and busybox udhcpc6 where
# the busybox has it) gets a lease. IPv6
# alone: the documentation prefix 2001:db8::/32 and link-local addresses.
set -eu
host=${1:?test_host binary}
ns=$(basename "${TAVREL_CLIENT_NETNS:?run under netns-run --pair}")
work=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/boot"
in_client() { ip netns exec "$ns" "$@"; }
ip addr add 2001:db8::1/64 dev tv0 nodad
in_client ip addr add 2001:db8::2/64 dev tv1 nodad
# Link-local addresses past duplicate detection on both sides.
for i in $(seq 100); do
  [ -z "$(ip -6 addr show tentative)$(in_client ip -6 addr show tentative)" ] && break
  sleep 0.1
done
mkfifo "$work/in"
"$host" --ipv6 2001:db8::1,tv0,2001:db8::100,2001:db8::1ff 192.0.2.1 "$work/boot" \
  < "$work/in" > "$work/host.out" 2>&1 &
exec 3> "$work/in"
for i in $(seq 50); do grep -q ready "$work/host.out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$work/host.out" || { cat "$work/host.out"; exit 1; }

failures=0
result() { if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi; }

out=$(in_client timeout 30 dhclient -6 -1 -v -sf /bin/true -lf "$work/d6.leases" -pf "$work/d6.pid" tv1 2>&1) \
  && rc=0 || rc=$?
echo "$out" | grep -Eq 'Bound to lease|bound to 2001:db8::1[0-9a-f]{2}' || rc=1
grep -Eq 'iaaddr 2001:db8::1[0-9a-f]{2} ' "$work/d6.leases" 2>/dev/null || rc=1
[ "$rc" = 0 ] || echo "$out"
result $rc "ISC dhclient -6 (stateful)"
[ -f "$work/d6.pid" ] && kill "$(cat "$work/d6.pid")" 2>/dev/null || true

out=$(in_client timeout 30 dhclient -6 -S -1 -v -sf /bin/true -lf "$work/s6.leases" -pf "$work/s6.pid" tv1 2>&1) \
  && rc=0 || rc=$?
echo "$out" | grep -q 'Reply message on' || rc=1
[ "$rc" = 0 ] || echo "$out"
result $rc "ISC dhclient -6 -S (stateless)"
[ -f "$work/s6.pid" ] && kill "$(cat "$work/s6.pid")" 2>/dev/null || true

# Debian's busybox builds (1.35) leave the udhcpc6 applet out; a busybox
# that has it is tried, and dhcpcd, Debian's other DHCPv6 client, always.
if busybox udhcpc6 --help >/dev/null 2>&1; then
  out=$(in_client timeout 20 busybox udhcpc6 -i tv1 -n -q -f -s /bin/true 2>&1) && rc=0 || rc=$?
  echo "$out" | grep -Eiq 'lease.*obtained|IPv6 obtained' || rc=1
  [ "$rc" = 0 ] || echo "$out"
  result $rc "busybox udhcpc6"
else
  echo "skip busybox udhcpc6: this busybox has no udhcpc6 applet"
fi

# No router here: dhcpcd is told to ask for an address without waiting for
# an advertisement's managed flag.
printf 'noipv6rs\nia_na 1\nscript /bin/true\n' > "$work/dhcpcd.conf"
out=$(in_client timeout 30 dhcpcd -6 -1 -B -d -f "$work/dhcpcd.conf" tv1 2>&1) && rc=0 || rc=$?
echo "$out" | grep -Eq 'adding address 2001:db8::1[0-9a-f]{2}' || rc=1
[ "$rc" = 0 ] || echo "$out"
result $rc "dhcpcd -6"
in_client dhcpcd -6 -x -f "$work/dhcpcd.conf" tv1 >/dev/null 2>&1 || true
rm -f /var/lib/dhcpcd/tv1.lease6

exec 3>&-
wait
[ "$failures" = 0 ]
