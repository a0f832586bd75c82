#!/bin/sh
# The Debian packages of a build tree configured for /usr (the linux preset):
# lintian reports no errors; dpkg installs them into a throw-away root (an
# overlay of this machine's root in a private mount namespace, so the
# machine itself is never changed); systemd-analyze verifies the unit; and
# tavrel-host, started as the unit starts it (its command lines, user,
# capabilities and no-new-privileges, nothing more), serves one DHCP
# exchange and one TFTP download across the veth pair of netns-run --pair,
# re-reads its file on the unit's reload command, keeps a lease across a
# restart, and writes its log and crash report where the package says. The
# shipped configuration is readable by root and the service only, serves
# booting clients only, a first install enables nothing, a reinstall (an
# upgrade) restarts a running unit unless the new program refuses the kept
# file, and a purge removes the packages, their folders and the unit's enable links.
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
  # A first upload closes no bug report: the one warning that stays.
  grep '^W:' "$work/lintian.txt" | grep -qv 'initial-upload-closes-no-bugs' && { echo "FAIL lintian warnings"; status=1; }
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
# Each release that changes behaviour has a version of its own, newer than
# the first package's, and the program names it with the commit it was built from.
version=$(in_root dpkg-query -W -f='${Version}' tavrel-host)
dpkg --compare-versions "$version" gt 1.0.0.3-1 \
  && in_root tavrel-host --version | grep -q "^tavrel-host ${version%-*} (library 1\.0\.0\.3, commit [0-9a-f]" \
  && rc=0 || rc=1
result $rc "version $version is newer than 1.0.0.3-1 and tavrel-host --version names it and its commit"
wants=/etc/systemd/system/multi-user.target.wants/tavrel.service
[ ! -e "$root$wants" ] && rc=0 || rc=1
result $rc "a first install enables no unit"
in_root dpkg-query -W -f='${Conffiles}\n' tavrel-host | grep -q ' /etc/tavrel/tavrel.toml ' && rc=0 || rc=1
result $rc "/etc/tavrel/tavrel.toml is a conffile"
[ "$(in_root stat -c %U:%G /var/lib/tavrel /var/lib/tavrel/leases /var/log/tavrel | sort -u)" = tavrel:tavrel ] \
  && rc=0 || rc=1
result $rc "system user tavrel owns /var/lib/tavrel, its leases folder and /var/log/tavrel"
[ "$(in_root stat -c %a:%U:%G /etc/tavrel/tavrel.toml)" = 640:root:tavrel ] && rc=0 || rc=1
result $rc "/etc/tavrel/tavrel.toml is 0640 root:tavrel"
[ -d "$root/usr/share/doc/tavrel-host/examples" ] && [ -e "$root/usr/share/doc/tavrel-host/examples/farm.toml" ] \
  && [ -e "$root/usr/share/man/man8/tavrel-host.8.gz" ] && [ -e "$root/usr/share/man/man5/tavrel.toml.5.gz" ] \
  && rc=0 || rc=1
result $rc "examples and the manual pages tavrel-host(8) and tavrel.toml(5) are installed"
[ -e "$root/usr/share/tavrel-host/sbat-levels.txt" ] && rc=0 || rc=1
result $rc "the SBAT revocation table is installed where tavrel-host looks for it"

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
# The shipped file serves booting clients only.
udhcpc() { in_client timeout 20 busybox udhcpc -i tv1 -n -q -f -s /bin/true "$@" 2>&1; }
out=$(udhcpc -t 2 -T 1) && rc=1 || rc=0
result $rc "a client that is not booting gets no answer"
out=$(udhcpc -V PXEClient) && rc=0 || rc=1
echo "$out" | grep -q 'lease of 192.0.2.1[0-9][0-9] obtained' || { rc=1; echo "$out"; }
result $rc "DHCP exchange with busybox udhcpc as a PXE client"
first_ip=$(echo "$out" | sed -n 's/.*lease of \([0-9.]*\) obtained.*/\1/p')
first_mac=$(in_client cat /sys/class/net/tv1/address)
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

# A lease survives a restart: after it another client gets another address,
# and the lease file under /var/lib/tavrel still names the first.
$as_unit $(key ExecStart) > "$work/again.out" 2>&1 &
pid=$!
for i in $(seq 50); do grep -q serving "$work/again.out" 2>/dev/null && break; sleep 0.1; done
in_client ip link set tv1 address 02:00:00:00:77:01
out=$(udhcpc -V PXEClient) && rc=0 || rc=1
echo "$out" | grep -q 'lease of 192.0.2.1[0-9][0-9] obtained' && ! echo "$out" | grep -q "lease of $first_ip obtained" \
  || { rc=1; echo "$out"; }
leases=$($as_unit /usr/bin/tavrel-host leases 2>&1) || rc=1
echo "$leases" | grep -q "^$first_mac  *$first_ip " || { rc=1; echo "$leases"; }
[ -s "$root/var/lib/tavrel/leases/leases.journal" ] || rc=1
result $rc "a lease survives a restart, in /var/lib/tavrel/leases"
kill -TERM "$pid"
wait "$pid" || true
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

# Under systemd (here a stand-in systemctl that notes its calls) a reinstall,
# as an upgrade, restarts the running unit.
mkdir -p "$root/run/systemd/system" "$root/usr/local/sbin"
printf '#!/bin/sh\necho "$*" >> /tmp/systemctl.calls\n' > "$root/usr/local/sbin/systemctl"
chmod 755 "$root/usr/local/sbin/systemctl"
# This machine's policy-rc.d may forbid starting services; the root's lets them.
[ -e "$root/usr/sbin/policy-rc.d" ] && mv "$root/usr/sbin/policy-rc.d" "$work/policy-rc.d"
in_root env PATH=/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin dpkg -i $debs > "$work/upgrade.log" 2>&1 \
  && grep -q 'try-restart tavrel.service' "$root/tmp/systemctl.calls" && rc=0 || { rc=1; cat "$work/upgrade.log"; }
result $rc "an upgrade restarts a running tavrel.service"
# A kept file the new program refuses leaves the running service alone, and says why.
cp "$root/etc/tavrel/tavrel.toml" "$work/kept.toml"
echo 'not toml [' >> "$root/etc/tavrel/tavrel.toml"
: > "$root/tmp/systemctl.calls"
in_root env PATH=/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin dpkg -i $debs > "$work/refused.log" 2>&1 \
  && ! grep -q 'restart tavrel.service' "$root/tmp/systemctl.calls" \
  && grep -q 'does not pass this release.s check' "$work/refused.log" && rc=0 || { rc=1; cat "$work/refused.log"; }
result $rc "an upgrade whose kept file fails the check leaves the running service alone"
cp "$work/kept.toml" "$root/etc/tavrel/tavrel.toml"
rm -rf "$root/run/systemd/system" "$root/usr/local/sbin/systemctl"
[ -e "$work/policy-rc.d" ] && mv "$work/policy-rc.d" "$root/usr/sbin/policy-rc.d"

in_root env DPKG_MAINTSCRIPT_PACKAGE=tavrel-host DPKG_MAINTSCRIPT_NAME=postinst deb-systemd-helper enable tavrel.service
[ -L "$root$wants" ] || echo "note: enabling made no $wants"
in_root dpkg --purge tavrel-host libtavrel-dev libtavrel1 > "$work/purge.log" 2>&1 \
  && [ ! -e "$root/var/lib/tavrel" ] && [ ! -e "$root/usr/lib/tavrel" ] && [ ! -L "$root$wants" ] \
  && [ ! -e "$root/var/lib/systemd/deb-systemd-helper-enabled/tavrel.service.dsh-also" ] \
  && rc=0 || { rc=1; cat "$work/purge.log"; ls -l "$root$wants" 2>&1; }
result $rc "dpkg --purge removes the packages, their folders and the unit's enable links"

# An upgrade from 1.0.0.3-1 (built from 8fdccf3) keeps a farm member serving.
# Its file has what that release accepted: a [farm] without key, a key of no
# meaning. A stand-in systemctl runs the unit as systemd would: try-restart
# stops the service, then runs ExecStartPre and ExecStart of the unit on disk.
old_debs=$(dirname "$here")/../fixtures/debs-1.0.0.3-1
mkdir "$root/tmp/old"
cp "$old_debs"/*.deb "$root/tmp/old/"
in_root dpkg -i /tmp/old/libtavrel1_1.0.0.3-1_amd64.deb /tmp/old/libtavrel-dev_1.0.0.3-1_amd64.deb \
  /tmp/old/tavrel-host_1.0.0.3-1_amd64.deb > "$work/old.log" 2>&1 && rc=0 || { rc=1; cat "$work/old.log"; }
result $rc "dpkg -i of the 1.0.0.3-1 packages"
chmod 755 "$work"
mkdir "$work/pg" && chown postgres:postgres "$work/pg"
pg() { runuser -u postgres -- /usr/lib/postgresql/15/bin/"$@" > /dev/null; }
pg initdb -D "$work/pg" -U postgres --auth=trust -N && pg pg_ctl -D "$work/pg" -l "$work/pg/log" -w \
  -o "-c listen_addresses=127.0.0.1 -c unix_socket_directories=$work/pg -c fsync=off" start
conf=$root/etc/tavrel/tavrel.toml
sed -i 's|^database = .*|database = "postgresql://postgres@127.0.0.1/postgres"|' "$conf"
printf '[farm]\nname = "rack-1"\ncolour = "blue"\n' >> "$conf"
cat > "$root/usr/local/sbin/systemctl" <<'STANDIN'
#!/bin/sh
unit=/lib/systemd/system/tavrel.service
key() { sed -n "s/^$1=//p" $unit; }
caps() { echo "$(key "$1")" | tr 'A-Z' 'a-z' | sed 's/cap_/+/g; s/ /,/g'; }
as_unit() {
  echo --reuid="$(key User)" --regid="$(key Group)" --init-groups --bounding-set=-all,"$(caps CapabilityBoundingSet)" \
    --inh-caps=-all,"$(caps AmbientCapabilities)" --ambient-caps=-all,"$(caps AmbientCapabilities)" --no-new-privs
}
[ "$1" = exec-unit ] && exec setpriv $(as_unit) $(key "$2")
pid=$(cat /run/tavrel.pid 2>/dev/null || true)
active() { [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; }
echo "$*" >> /tmp/systemctl.calls
case " $* " in
*" is-active "*) active ;;
*" try-restart "*)
  active || exit 0
  kill -TERM "$pid"
  for i in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  rm -f /run/tavrel.pid
  setpriv $(as_unit) $(key ExecStartPre) > /tmp/pre.out 2>&1 || exit 1
  setsid -f sh -c 'echo $$ > /run/tavrel.pid; exec "$@"' sh setpriv $(as_unit) $(key ExecStart) \
    > /tmp/restarted.out 2>&1 < /dev/null
  for i in $(seq 50); do [ -s /run/tavrel.pid ] && break; sleep 0.1; done ;;
esac
STANDIN
chmod 755 "$root/usr/local/sbin/systemctl"
mkdir -p "$root/run/systemd/system"
[ -e "$root/usr/sbin/policy-rc.d" ] && mv "$root/usr/sbin/policy-rc.d" "$work/policy-rc.d"
in_root /usr/local/sbin/systemctl exec-unit ExecStartPre > "$work/oldcheck.out" 2>&1 && rc=0 || { rc=1; cat "$work/oldcheck.out"; }
# Detached, as systemd's service is: its own session, no file of this script open.
setsid -f sh -c 'echo $$ > "$1/run/tavrel.pid"; exec chroot "$1" /usr/local/sbin/systemctl exec-unit ExecStart' \
  sh "$root" > "$work/old.out" 2>&1 < /dev/null
for i in $(seq 50); do [ -s "$root/run/tavrel.pid" ] && break; sleep 0.1; done
old_pid=$(cat "$root/run/tavrel.pid")
trap 'kill -TERM $(cat "$root/run/tavrel.pid" 2>/dev/null) "$old_pid" 2>/dev/null || true
  pg pg_ctl -D "$work/pg" -m fast -w stop || true' EXIT
for i in $(seq 50); do grep -q serving "$work/old.out" && break; sleep 0.1; done
grep -q serving "$work/old.out" || { rc=1; cat "$work/old.out"; }
result $rc "1.0.0.3-1 checks and serves as a farm member with [farm] without key and an unknown key"
# The file the admin changed is kept, as an unattended upgrade keeps it.
in_root env PATH=/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin dpkg --force-confold -i $debs > "$work/over.log" 2>&1 \
  && rc=0 || rc=1
pid=$(cat "$root/run/tavrel.pid" 2>/dev/null || true)
[ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || rc=1
if [ "$pid" != "$old_pid" ]; then
  for i in $(seq 50); do grep -q serving "$root/tmp/restarted.out" && break; sleep 0.1; done
  grep -q serving "$root/tmp/restarted.out" || rc=1
  how="restarted as the new program"
else
  grep -q 'does not pass this release.s check' "$work/over.log" || rc=1
  how="the old program kept, the upgrade said why"
fi
in_client ip link set tv1 address 02:00:00:00:77:02
out=$(udhcpc -V PXEClient) && echo "$out" | grep -q 'lease of 192.0.2.1[0-9][0-9] obtained' || { rc=1; echo "$out"; }
[ "$(in_root dpkg -l tavrel-host libtavrel1 | grep -cE "^ii +[a-z0-9-]+(:amd64)? +$version ")" = 2 ] || rc=1
[ "$rc" = 0 ] || { cat "$work/over.log" "$root/tmp/systemctl.calls" "$root/tmp/pre.out" "$root/tmp/restarted.out" 2>&1; \
  in_root dpkg -l 'tavrel*' 'libtavrel*'; }
result $rc "an upgrade from 1.0.0.3-1 keeps the farm member serving ($how), and dpkg -l shows $version"
grep -q '^tavrel-host: warning: .*farm.key: missing' "$work/over.log" && grep -q 'farm.colour: unknown key' "$work/over.log" \
  && rc=0 || { rc=1; cat "$work/over.log"; }
result $rc "the upgrade warns of what the next release refuses: the missing farm.key, the unknown key"
[ -e "$work/policy-rc.d" ] && mv "$work/policy-rc.d" "$root/usr/sbin/policy-rc.d"
exit $failures
