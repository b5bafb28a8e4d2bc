#!/usr/bin/env bash
# The uart layer: one small VM (qemu, TCG) with Debian's kernel, the host's
# root shared read-only, and four 16550 UARTs: ttyS0 the console, ttyS1 and
# ttyS2 a null modem, ttyS3 wired to an emulated FTDI adapter (ttyUSB0). It
# runs tests/uart/in_guest.sh there and ends with its "N passed, N failed".
#   run_vm.sh KERNEL_DIR BUILD_DIR
# DORLESK_VM_ACCEL=kvm where KVM can run the kernel. The VM is killed when
# it is not up after DORLESK_VM_BOOT_SECONDS, or when its checks outrun
# DORLESK_VM_SECONDS scaled by how much longer than usual (4 s) the boot
# took: a machine busy with other work runs boot and checks alike slower.
set -uo pipefail
kernel=$(cd "$1" && pwd) build=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
boot_limit=${DORLESK_VM_BOOT_SECONDS:-60} base=${DORLESK_VM_SECONDS:-300}
fail() {
  echo "FAIL uart: $*"
  echo "0 passed, 1 failed"
  exit 1
}
command -v qemu-system-x86_64 >/dev/null ||
  fail "step qemu: qemu-system-x86_64 is missing (scripts/install-deps installs qemu-system-x86)"
[ -f /usr/share/qemu/qboot.rom ] || fail "step firmware: /usr/share/qemu/qboot.rom is missing"
[ -x /bin/busybox ] || fail "step initramfs: /bin/busybox is missing (scripts/install-deps installs busybox-static)"
[ -f "$kernel/ready" ] || fail "step kernel: nothing in $kernel (make uart-kernel fetches it)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/initramfs/bin" "$work/initramfs/modules" "$work/initramfs/proc" \
  "$work/initramfs/sys" "$work/initramfs/dev"
cp /bin/busybox "$work/initramfs/bin/"
cp "$kernel"/modules/* "$work/initramfs/modules/"
cp "$here/init" "$work/initramfs/init"
(cd "$work/initramfs" && find . | busybox cpio -o -H newc 2>/dev/null) >"$work/initramfs.cpio" ||
  fail "step initramfs: cpio failed"
ms() { echo $((($(date +%s%N) - started) / 1000000)); }
started=$(date +%s%N)
timeout -k 5 $((boot_limit + base * 5)) qemu-system-x86_64 -accel "${DORLESK_VM_ACCEL:-tcg}" -M pc -m 2048 -smp 2 \
  -nodefaults -no-user-config -display none -no-reboot \
  -bios /usr/share/qemu/qboot.rom -kernel "$kernel/vmlinux" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 8250.nr_uarts=8 quiet panic=-1 dorlesk_script=$here/in_guest.sh dorlesk_build=$build dorlesk_keep=$(cd "$here/../.." && pwd),$build" \
  -fsdev local,id=root,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=root,mount_tag=hostroot \
  -chardev file,id=console,path="$work/console" -device isa-serial,chardev=console,iobase=0x3f8,irq=4 \
  -chardev socket,id=modemA,path="$work/modem",server=on,wait=off \
  -device isa-serial,chardev=modemA,iobase=0x2f8,irq=3 \
  -chardev socket,id=modemB,path="$work/modem" -device isa-serial,chardev=modemB,iobase=0x3e8,irq=5 \
  -chardev socket,id=usbA,path="$work/usb",server=on,wait=off \
  -device isa-serial,chardev=usbA,iobase=0x2e8,irq=7 \
  -chardev socket,id=usbB,path="$work/usb" -device qemu-xhci -device usb-serial,chardev=usbB,id=ftdi,serial=DL4711 \
  -qmp unix:"$work/qmp",server=on,wait=off &
vm=$!
# The guest asks on its console for the adapter to be unplugged or plugged
# back ("uart-vm: unplug", "uart-vm: plug"); qemu's monitor does it, with the
# same serial number each time, as a real adapter has.
qmp() {
  python3 - "$work/qmp" "$1" <<'PY'
import json, socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
f = s.makefile("rw")
f.readline()
for command in ({"execute": "qmp_capabilities"}, json.loads(sys.argv[2])):
    f.write(json.dumps(command) + "\n")
    f.flush()
    while True:
        reply = json.loads(f.readline())
        if "return" in reply or "error" in reply:
            break
print("uart: qemu", sys.argv[2], "->", json.dumps(reply))
PY
}
asked=0
limit=$boot_limit boot=
while kill -0 $vm 2>/dev/null; do
  requests=$(grep -a '^uart-vm: ' "$work/console" 2>/dev/null | tr -d '\r' | tail -n +$((asked + 1)))
  while read -r request; do
    [ -n "$request" ] || continue
    asked=$((asked + 1))
    case $request in
      "uart-vm: unplug") qmp '{"execute": "device_del", "arguments": {"id": "ftdi"}}' ;;
      "uart-vm: plug") qmp '{"execute": "device_add", "arguments": {"driver": "usb-serial", "chardev": "usbB", "id": "ftdi", "serial": "DL4711"}}' ;;
    esac
  done <<<"$requests"
  if [ -z "$boot" ] && grep -q '^init: up after' "$work/console" 2>/dev/null; then
    boot=$(ms)
    limit=$(((boot + base * (boot > 4000 ? boot : 4000) / 4) / 1000))
    echo "uart: up after $boot ms; the checks may take until $limit s"
  fi
  [ "$(ms)" -lt $((limit * 1000)) ] || { kill $vm; break; }
  sleep 0.1
done
wait $vm
status=$?
cat "$work/console" 2>/dev/null | tr -d '\r'
echo "uart: the VM ran $(ms) ms (qemu exit $status)"
[ $status = 124 ] || [ $status = 137 ] || [ $status = 143 ] &&
  fail "step VM: killed after $limit s ($(grep -o '^CHECK [^ ]*' "$work/console" | tail -n 1 || echo 'before the first check'))"
[ $status = 0 ] || fail "step VM: qemu exited with $status"
summary=$(tr -d '\r' <"$work/console" | grep -E '^uart: [0-9]+ passed, [0-9]+ failed$' | tail -n 1)
[ -n "$summary" ] || fail "step checks: the VM ended without a summary"
echo "${summary#uart: }"
[[ $summary == *" 0 failed" ]]
