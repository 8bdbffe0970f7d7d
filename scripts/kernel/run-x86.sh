#!/usr/bin/env bash
# Boots the x86-64 guest: the kernel of a tree made by fetch-x86.sh, the
# initramfs of mkinitramfs.sh, the host's root read-only over 9p and OUT_DIR
# writable as the exchange directory (the guest runs OUT_DIR/guest.sh).
# The guest's console goes to standard output. A guest that has not
# powered itself off after TIMEOUT seconds is ended.
#
#   scripts/kernel/run-x86.sh TREE INITRD OUT_DIR TIMEOUT [QEMU_ARG...]
#
# Extra arguments (drives, controllers) go to qemu-system-x86_64 as they
# are. Software emulation (TCG) unless DVRPLAT_KVM=1 asks for hardware
# acceleration, which these build machines cannot give.
set -uo pipefail
tree=${1:?tree}; initrd=${2:?initrd}; out=${3:?exchange directory}; limit=${4:?timeout}
shift 4
release=$(cat "$tree/version")
accel=(-accel tcg -cpu max)
if [ "${DVRPLAT_KVM:-0}" = 1 ] && [ -w /dev/kvm ]; then
  accel=(-accel kvm -cpu host)
fi
timeout -k 10 "$limit" nice -n 10 qemu-system-x86_64 "${accel[@]}" -M pc -m 1024 -smp 1 \
  -nodefaults -nographic -no-reboot -serial mon:stdio -display none \
  -kernel "$tree/root/boot/vmlinuz-$release" -initrd "$initrd" \
  -append "console=ttyS0 panic=-1 quiet loglevel=3 no_timer_check dvrplat_keep=${DVRPLAT_GUEST_KEEP:-}" \
  -fsdev local,id=hostroot,path=/,readonly=on,security_model=none,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -fsdev local,id=out,path="$out",security_model=none \
  -device virtio-9p-pci,fsdev=out,mount_tag=out \
  "$@" </dev/null
status=$?
[ $status = 124 ] && echo "run-x86: the guest did not power off within $limit s: ended"
exit $status
