#!/usr/bin/env bash
# firmware-boot.sh MACHINE TAVREL-HOST [OUTPUT-FOLDER]: one virtual machine
# network-boots from tavrel-host with Debian's own firmware and loaders,
# under TCG, in a network namespace made here (tap0 = 192.0.2.1/24).
# Passes when the machine prints its marker. MACHINE is one of
#   secure_boot  OVMF with Secure Boot on and Microsoft's keys: signed shim,
#                signed network GRUB and signed kernel over TFTP; the guest
#                checks that the kernel saw Secure Boot on
#   http_boot    OVMF's UEFI HTTP Boot entry alone (PXE switched off): the
#                firmware fetches iPXE over HTTP, which asks again as iPXE
#                and runs the script it is given
#   arm64        AAVMF on qemu-system-aarch64 (architecture 11): Debian's
#                signed arm64 network GRUB, which reads its grub.cfg
# Packages are downloaded to ${TAVREL_VM_CACHE:-build/vm-cache} once and
# never installed. VM_TIMEOUT (seconds) bounds the boot.
set -euo pipefail
machine=${1:?machine}
host=${2:?tavrel-host binary}
top=$(cd "$(dirname "$0")/../.." && pwd)
cache=${TAVREL_VM_CACHE:-$top/build/vm-cache}
fetch="$top/tests/vm/fetch-debs $cache"
keep=${3:-}
if [ -n "$keep" ]; then
  work=$keep
  rm -rf "$work" && mkdir -p "$work"
else
  work=$(mktemp -d)
fi
ns=tavrel-vm-$$
marker=TAVREL-$(echo "$machine" | tr a-z_ A-Z-)-OK
qemu="" served=""
cleanup() {
  [ -n "$qemu" ] && kill "$qemu" 2>/dev/null && wait "$qemu" 2>/dev/null
  [ -n "$served" ] && kill "$served" 2>/dev/null && wait "$served" 2>/dev/null
  ip netns del "$ns" 2>/dev/null || true
  [ -n "$keep" ] || rm -rf "$work"
}
trap cleanup EXIT
tftp=$work/tftp
mkdir -p "$tftp/grub" "$work/initramfs"

# A guest user space of one shell script: CHECK decides between the marker
# and a failure line on the serial console, then the machine powers off.
make_initrd() {
  local busybox=$1 check=$2 ir=$work/initramfs
  mkdir -p "$ir/bin" "$ir/proc" "$ir/sys" "$ir/dev"
  cp "$busybox" "$ir/bin/busybox"
  for applet in sh mount dmesg grep cat echo poweroff; do ln -sf busybox "$ir/bin/$applet"; done
  cat > "$ir/init" <<INIT
#!/bin/sh
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
echo "guest: user space started" > /dev/console
if $check; then echo "$marker" > /dev/console; else echo "TAVREL-VM-FAILED" > /dev/console; fi
poweroff -f
INIT
  chmod +x "$ir/init"
  (cd "$ir" && find . | cpio -o -H newc --quiet | gzip -1 > "$tftp/initrd.img")
}

rules="" firmware=() versions="" installed=""
case $machine in
secure_boot)
  versions=$($fetch amd64 shim-signed grub-efi-amd64-signed linux-image-amd64)
  kernel=$(echo "$versions" | awk '/^linux-image/ {print $1}')
  cp "$cache/amd64/shim-signed/usr/lib/shim/shimx64.efi.signed" "$tftp/shimx64.efi"
  # Shim loads grubx64.efi from the folder it came from, on the server siaddr names.
  cp "$cache/amd64/grub-efi-amd64-signed/usr/lib/grub/x86_64-efi-signed/grubnetx64.efi.signed" "$tftp/grubx64.efi"
  cp "$cache/amd64/$kernel/boot/vmlinuz-${kernel#linux-image-}" "$tftp/vmlinuz"
  # The kernel reads the SecureBoot variable itself and says so.
  make_initrd /bin/busybox "dmesg | grep 'Secure boot enabled' > /dev/console"
  cat > "$tftp/grub/grub.cfg" <<CFG
echo "grub: grub.cfg read from \$prefix"
linux /vmlinuz console=ttyS0 panic=-1 quiet
initrd /initrd.img
boot
CFG
  installed="ovmf qemu-system-x86"
  rules='[[boot]]
arch = "efi-x64"
file = "shimx64.efi"'
  cp /usr/share/OVMF/OVMF_VARS_4M.ms.fd "$work/vars.fd"
  firmware=(qemu-system-x86_64 -machine q35,smm=on -global driver=cfi.pflash01,property=secure,value=on
            -drive if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.ms.fd
            -drive if=pflash,format=raw,unit=1,file="$work/vars.fd"
            -fw_cfg name=opt/org.tianocore/IPv6PXESupport,string=n)
  ;;
http_boot)
  installed="ovmf ipxe qemu-system-x86"
  cp /usr/lib/ipxe/ipxe.efi "$tftp/"
  printf '#!ipxe\necho %s\n' "$marker" > "$tftp/boot.ipxe"
  rules='[[boot]]
user_class = "iPXE"
file = "boot.ipxe"

[[boot]]
vendor_class = "HTTPClient"
file = "http://192.0.2.1/ipxe.efi"'
  cp /usr/share/OVMF/OVMF_VARS_4M.fd "$work/vars.fd"
  firmware=(qemu-system-x86_64 -machine q35
            -drive if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd
            -drive if=pflash,format=raw,unit=1,file="$work/vars.fd"
            -fw_cfg name=opt/org.tianocore/IPv4PXESupport,string=n
            -fw_cfg name=opt/org.tianocore/IPv6PXESupport,string=n
            -fw_cfg name=opt/org.tianocore/IPv6Support,string=n)
  ;;
arm64)
  installed="qemu-efi-aarch64 qemu-system-arm"
  versions=$($fetch arm64 grub-efi-arm64-signed)
  cp "$cache/arm64/grub-efi-arm64-signed/usr/lib/grub/arm64-efi-signed/grubnetaa64.efi.signed" "$tftp/grubaa64.efi"
  printf 'echo "grub: grub.cfg read from $prefix"\necho %s\nhalt\n' "$marker" > "$tftp/grub/grub.cfg"
  rules='[[boot]]
arch = "efi-arm64"
file = "grubaa64.efi"'
  cp /usr/share/AAVMF/AAVMF_VARS.fd "$work/vars.fd"
  firmware=(qemu-system-aarch64 -machine virt -cpu cortex-a57
            -drive if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/AAVMF/AAVMF_CODE.fd
            -drive if=pflash,format=raw,unit=1,file="$work/vars.fd")
  ;;
*) echo "unknown machine $machine"; exit 2 ;;
esac
versions+=$'\n'$(dpkg-query -W -f='${Package} ${Version}\n' $installed)

cat > "$work/host.toml" <<TOML
[server]
address = "192.0.2.1"
netmask = "255.255.255.0"
dhcp_mode = "dynamic"
boot_file = "none.efi"
boot_directory = "$tftp"
relay_text1 = "-"
relay_text2 = "-"
[policy]
database = "$work/host.db"
[http]
listen = "192.0.2.1:80"
$rules
[[range]]
begin = "192.0.2.100"
end = "192.0.2.150"
netmask = "255.255.255.0"
gateway = "192.0.2.1"
dns1 = "192.0.2.1"
class = "boot"
[[range]]                  # HTTP Boot firmware says "HTTPClient", neither PXE nor Linux
begin = "192.0.2.200"
end = "192.0.2.220"
netmask = "255.255.255.0"
gateway = "192.0.2.1"
dns1 = "192.0.2.1"
class = "other"
TOML
ip netns add "$ns"
ip -n "$ns" link set lo up
ip -n "$ns" tuntap add dev tap0 mode tap
ip -n "$ns" addr add 192.0.2.1/24 dev tap0
ip -n "$ns" link set tap0 up
ip netns exec "$ns" "$host" run "$work/host.toml" > "$work/host.log" 2>&1 &
served=$!
for _ in $(seq 100); do grep -q serving "$work/host.log" && break; sleep 0.1; done
grep -q serving "$work/host.log" || { cat "$work/host.log"; exit 1; }

started=$(date +%s)
ip netns exec "$ns" "${firmware[@]}" -accel tcg -m 512 -display none -no-reboot \
  -netdev tap,id=net0,ifname=tap0,script=no,downscript=no \
  -device virtio-net-pci,netdev=net0,mac=52:54:00:de:ad:22,romfile=,bootindex=0 \
  -serial file:"$work/serial.log" 2> "$work/qemu.log" &
qemu=$!
deadline=$((started + ${VM_TIMEOUT:-420}))
result=1
while [ "$(date +%s)" -lt "$deadline" ] && kill -0 "$qemu" 2>/dev/null; do
  if grep -aq "$marker" "$work/serial.log" 2>/dev/null; then result=0; break; fi
  # A guest failure, GRUB's prompt (no grub.cfg) or the UEFI shell (no boot entry worked) ends the wait.
  grep -aqE "TAVREL-VM-FAILED|grub> |Shell> " "$work/serial.log" 2>/dev/null && break
  sleep 1
done
grep -aq "$marker" "$work/serial.log" 2>/dev/null && result=0
echo "$machine: $(( $(date +%s) - started )) s from power-on, with:"
echo "$versions" | sed '/^$/d; s/^/  /'
if [ "$result" = 0 ]; then
  grep -a "gets .* from boot\[" "$work/host.log" | head -3
  echo "ok: $machine reached $marker"
  exit 0
fi
echo "--- serial console (last lines)"; tr -d '\r' < "$work/serial.log" | strings | tail -25
echo "--- qemu"; tail -5 "$work/qemu.log"
echo "--- tavrel-host"; tail -25 "$work/host.log"
echo "FAIL: $machine did not reach $marker"
exit 1
