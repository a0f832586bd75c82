#!/usr/bin/env bash
# An OVMF (EDK II) virtual machine network-boots iPXE's snponly.efi from
# tavrel-host: EDK II probes with tsize, aborts with ERROR 8, then reads the
# file with blksize 1468 and windowsize 4. Passes when iPXE runs, which it
# does only from an intact image. Runs in a network namespace of its own.
set -euo pipefail
host=${1:?tavrel-host binary}
work=$(mktemp -d)
ns=tavrel-uefi-$$
qemu=""
cleanup() {
  [ -n "$qemu" ] && kill "$qemu" 2>/dev/null && wait "$qemu" 2>/dev/null
  [ -n "${served:-}" ] && kill "$served" 2>/dev/null && wait "$served" 2>/dev/null
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/tftp"
cp /usr/lib/ipxe/snponly.efi "$work/tftp/"
cp /usr/share/OVMF/OVMF_VARS_4M.fd "$work/vars.fd"
cat > "$work/host.toml" <<TOML
[server]
address = "192.0.2.1"
netmask = "255.255.255.0"
dhcp_mode = "dynamic"
boot_file = "snponly.efi"
boot_directory = "$work/tftp"
relay_text1 = "-"
relay_text2 = "-"
[policy]
database = "$work/host.db"
[[range]]
begin = "192.0.2.100"
end = "192.0.2.150"
netmask = "255.255.255.0"
gateway = "192.0.2.1"
dns1 = "192.0.2.1"
class = "boot"
TOML
ip netns add "$ns"
ip -n "$ns" link set lo up
ip -n "$ns" tuntap add dev tap0 mode tap
ip -n "$ns" addr add 192.0.2.1/24 dev tap0
ip -n "$ns" link set tap0 up
ip netns exec "$ns" "$host" run "$work/host.toml" > "$work/host.log" 2>&1 &
served=$!
sleep 1
ip netns exec "$ns" qemu-system-x86_64 -accel tcg -m 512 -display none -no-reboot -boot n -device virtio-rng-pci \
  -drive if=pflash,format=raw,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd \
  -drive if=pflash,format=raw,file="$work/vars.fd" \
  -netdev tap,id=net0,ifname=tap0,script=no,downscript=no \
  -device virtio-net-pci,netdev=net0,mac=52:54:00:de:ad:07,romfile= -serial file:"$work/serial.log" &
qemu=$!
for _ in $(seq 240); do
  grep -aq "iPXE initialising devices...ok" "$work/serial.log" 2>/dev/null && { echo "ok: EDK II loaded snponly.efi"; exit 0; }
  sleep 0.5
done
strings "$work/serial.log" | tail -20
tail -20 "$work/host.log"
echo "FAIL: iPXE did not start"
exit 1
