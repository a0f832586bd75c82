#!/bin/sh
# The Debian packages of a build tree configured for /usr (the linux preset):
# lintian reports no errors; dpkg installs them into a throw-away root (an
# overlay of this machine's root in a private mount namespace, so the
# machine itself is never changed); systemd-analyze verifies the unit; and
# tavrel-host, started as the unit starts it (its command lines, user,
# capabilities and no-new-privileges, nothing more), serves one DHCP
# exchange and one TFTP download across the veth pair of netns-run --pair,
# re-reads its file on the unit's reload command, and writes its log and
# crash report where the package says. Finally the packages purge cleanly.
set -eu
build=${1:?build tree}
here=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

if [ "${2:-}" != --inside ]; then
  ns=${TAVREL_CLIENT_NETNS:?run under netns-run --pair}
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$build" && cpack -G DEB -B "$work/debs") > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
  rm -rf "$work/debs/_CPack_Packages"
  ls "$work"/debs/*.deb
  lintian --tag-display-limit 0 "$work"/debs/*.deb > "$work/lintian.txt" 2>&1 || true
  cat "$work/lintian.txt"
  echo "lintian: $(grep -c '^E:' "$work/lintian.txt" || true) errors, $(grep -c '^W:' "$work/lintian.txt" || true) warnings"
  status=0
  grep -q '^E:' "$work/lintian.txt" && { echo "FAIL lintian errors"; status=1; }
  unshare --mount --propagation private "$here" "$build" --inside "$work" || status=1
  exit $status
fi

work=${3:?}
ns=$(basename "$TAVREL_CLIENT_NETNS")
root=$work/root
failures=0
result() { if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi; }

mkdir -p "$work/layers" "$root"
mount -t tmpfs tmpfs "$work/layers"
mkdir "$work/layers/upper" "$work/layers/work"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/layers/upper,workdir=$work/layers/work" "$root"
mount --rbind /dev "$root/dev"
mount -t proc proc "$root/proc"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
in_root() { chroot "$root" "$@"; }
cp "$work"/debs/*.deb "$root/tmp/"
debs=$(cd "$root/tmp" && ls libtavrel1_*.deb libtavrel-dev_*.deb tavrel-host_*.deb | sed 's|^|/tmp/|')

in_root dpkg -i $debs > "$work/dpkg.log" 2>&1 \
  && rc=0 || { rc=1; cat "$work/dpkg.log"; }
result $rc "dpkg -i of the three packages"
[ "$rc" = 0 ] || exit 1
in_root dpkg-query -W -f='${Conffiles}\n' tavrel-host | grep -q ' /etc/tavrel/tavrel.toml ' && rc=0 || rc=1
result $rc "/etc/tavrel/tavrel.toml is a conffile"
[ "$(in_root stat -c %U:%G /var/lib/tavrel /var/log/tavrel | sort -u)" = tavrel:tavrel ] && rc=0 || rc=1
result $rc "system user tavrel owns /var/lib/tavrel and /var/log/tavrel"

unit=/lib/systemd/system/tavrel.service
in_root systemd-analyze verify "$unit" > "$work/verify.log" 2>&1 && rc=0 || rc=1
cat "$work/verify.log"
result $rc "systemd-analyze verify $unit"

# The unit's own lines decide how the service starts.
key() { sed -n "s/^$1=//p" "$root$unit"; }
caps() { echo "$1" | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g'; }
user=$(key User)
ambient=$(caps "$(key AmbientCapabilities)")
bounding=$(caps "$(key CapabilityBoundingSet)")
[ "$(key NoNewPrivileges)" = true ] && nnp=--no-new-privs || nnp=
as_unit="chroot $root setpriv --reuid=$user --regid=$(key Group) --init-groups --bounding-set=-all,$bounding
  --inh-caps=-all,$ambient --ambient-caps=-all,$ambient $nnp"
for bind in $(key BindPaths); do
  from=${bind%%:*}
  [ -e "$root${from#-}" ] || [ "${from#-}" = "$from" ] || continue
  mount --bind "$root${from#-}" "$root${bind#*:}"
  binds="$root${bind#*:} ${binds:-}"
done
head -c 70000 /dev/urandom > "$root/srv/tftp/boot.ipxe"
$as_unit $(key ExecStartPre) && rc=0 || rc=1
result $rc "ExecStartPre: the shipped configuration checks"
$as_unit $(key ExecStart) > "$work/host.out" 2>&1 &
pid=$!
for i in $(seq 50); do grep -q serving "$work/host.out" 2>/dev/null && break; sleep 0.1; done
grep -q serving "$work/host.out" && rc=0 || { rc=1; cat "$work/host.out"; }
result $rc "ExecStart as $user with $ambient only"
grep -q '^CapBnd:[[:space:]]*0*400$' "/proc/$pid/status" && grep -q '^CapEff:[[:space:]]*0*400$' "/proc/$pid/status" \
  && [ "$(sed -n 's/^Uid:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$pid/status")" = "$(in_root id -u "$user")" ] \
  && rc=0 || { rc=1; grep -E '^(Uid|Cap)' "/proc/$pid/status"; }
result $rc "the running service holds CAP_NET_BIND_SERVICE alone"

in_client() { ip netns exec "$ns" "$@"; }
out=$(in_client timeout 20 busybox udhcpc -i tv1 -n -q -f -s /bin/true 2>&1) && rc=0 || rc=1
echo "$out" | grep -q 'lease of 192.0.2.2[0-5][0-9] obtained' || { rc=1; echo "$out"; }
result $rc "DHCP exchange with busybox udhcpc"
in_client timeout 20 busybox tftp -g -r boot.ipxe -l "$work/boot.ipxe" 192.0.2.1 && cmp -s "$work/boot.ipxe" \
  "$root/srv/tftp/boot.ipxe" && rc=0 || rc=1
result $rc "TFTP download of /srv/tftp/boot.ipxe"

MAINPID=$pid sh -c "$(key ExecReload)"
for i in $(seq 30); do grep -q 're-read' "$work/host.out" && break; sleep 0.1; done
grep -q 're-read' "$work/host.out" && rc=0 || rc=1
result $rc "ExecReload re-reads the configuration"
kill -TERM "$pid"
wait "$pid" && rc=0 || rc=1
result $rc "SIGTERM stops the service"
$as_unit $(key ExecStart) > "$work/crashing.out" 2>&1 &
pid=$!
for i in $(seq 50); do grep -q serving "$work/crashing.out" 2>/dev/null && break; sleep 0.1; done
kill -SEGV "$pid"
{ wait "$pid"; } 2>/dev/null || true
grep -q "Exception code" "$root/var/log/tavrel/tavrel-host.RPT" && rc=0 || rc=1
result $rc "a crash report lands in /var/log/tavrel/tavrel-host.RPT"

log=$(ls "$root"/var/log/tavrel/murboot_*.log 2>/dev/null | head -1)
[ -n "$log" ] && [ "$(in_root stat -c %U "${log#"$root"}")" = "$user" ] && rc=0 || rc=1
result $rc "the library's log lands in /var/log/tavrel"
[ -s "$root/var/lib/tavrel/tavrel.db" ] && rc=0 || rc=1
result $rc "the policy database lives in /var/lib/tavrel"

for bind in ${binds:-}; do umount "$bind"; done
in_root dpkg --purge tavrel-host libtavrel-dev libtavrel1 > "$work/purge.log" 2>&1 \
  && [ ! -e "$root/var/lib/tavrel" ] && [ ! -e "$root/usr/lib/tavrel" ] && rc=0 || { rc=1; cat "$work/purge.log"; }
result $rc "dpkg --purge removes the packages and their folders"
exit $failures
