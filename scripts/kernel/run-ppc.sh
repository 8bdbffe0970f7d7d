#!/usr/bin/env bash
# Boots the PowerPC guest (the board's 32-bit big-endian e500v2 on QEMU's
# ppce500 machine): the kernel of build-ppc.sh, an initramfs holding the
# static init, the host's root read-only over 9p and OUT_DIR writable as
# the exchange directory (the init reads OUT_DIR/config). The guest's
# console goes to standard output. A guest that has not powered itself off
# after TIMEOUT seconds is ended.
#
#   scripts/kernel/run-ppc.sh VMLINUX INITRD OUT_DIR TIMEOUT [QEMU_ARG...]
#
# Extra arguments (drives, controllers) go to qemu-system-ppc as they are.
set -uo pipefail
kernel=${1:?vmlinux}; initrd=${2:?initrd}; out=${3:?exchange directory}; limit=${4:?timeout}
shift 4
timeout -k 10 "$limit" nice -n 10 qemu-system-ppc -M ppce500 -cpu e500v2 -m 512 -smp 1 \
  -nodefaults -nographic -no-reboot -serial mon:stdio -display none \
  -kernel "$kernel" -initrd "$initrd" \
  -append "console=ttyS0 panic=-1 quiet loglevel=3 dvrplat_keep=${DVRPLAT_GUEST_KEEP:-}" \
  -fsdev local,id=hostroot,path=/,readonly=on,security_model=none,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -fsdev local,id=out,path="$out",security_model=none \
  -device virtio-9p-pci,fsdev=out,mount_tag=out \
  "$@" </dev/null
status=$?
[ $status = 124 ] && echo "run-ppc: the guest did not power off within $limit s: ended"
exit $status
