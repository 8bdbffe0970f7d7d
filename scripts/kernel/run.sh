#!/usr/bin/env bash
# Boots a kernel stage guest (ARCH x86 or ppc, see guests.tab): KERNEL, an
# initramfs holding the static init (guest-init.cpp), the host's root
# read-only over 9p and OUT_DIR writable as the exchange directory (the
# init reads OUT_DIR/config). The guest's console goes to standard output.
# A guest that has not powered itself off after TIMEOUT seconds is ended.
#
#   scripts/kernel/run.sh ARCH KERNEL INITRD OUT_DIR TIMEOUT [QEMU_ARG...]
#
# Extra arguments (drives, controllers) go to QEMU as they are. Software
# emulation (TCG); for x86-64 DVRPLAT_KVM=1 asks for hardware acceleration,
# which these build machines cannot give.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
arch=${1:?architecture}; kernel=${2:?kernel}; initrd=${3:?initrd}; out=${4:?exchange directory}; limit=${5:?timeout}
shift 5
# shellcheck source=scripts/kernel/guests-tab.sh
. "$here/guests-tab.sh"
qemu=$(guest_field "$arch" qemu) || exit 2
read -ra machine <<<"$(guest_field "$arch" machine)"
read -ra accel <<<"$(guest_field "$arch" accel)"
if [ "${DVRPLAT_KVM:-0}" = 1 ] && [ -w /dev/kvm ] && [ -n "$(guest_field "$arch" kvm)" ]; then
  read -ra accel <<<"$(guest_field "$arch" kvm)"
fi
append="console=ttyS0 panic=-1 quiet loglevel=3 $(guest_field "$arch" append) dvrplat_keep=${DVRPLAT_GUEST_KEEP:-}"
timeout -k 10 "$limit" nice -n 10 "$qemu" "${accel[@]}" "${machine[@]}" \
  -nodefaults -nographic -no-reboot -serial mon:stdio -display none \
  -kernel "$kernel" -initrd "$initrd" -append "$append" \
  -fsdev local,id=hostroot,path=/,readonly=on,security_model=none,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -fsdev local,id=out,path="$out",security_model=none \
  -device virtio-9p-pci,fsdev=out,mount_tag=out \
  "$@" </dev/null
status=$?
[ $status = 124 ] && echo "run-$arch: the guest did not power off within $limit s: ended"
exit $status
