#!/usr/bin/env bash
# Builds the guest's initramfs: busybox (static), the guest init and the
# kernel modules the guest needs with everything they depend on, in load
# order.
#
#   scripts/kernel/mkinitramfs.sh KERNEL_TREE OUTPUT.cpio.gz MODULE...
#
# KERNEL_TREE is a directory made by fetch-x86.sh.
set -euo pipefail
tree=$(cd "${1:?kernel tree}" && pwd)
out=${2:?output}
shift 2
release=$(cat "$tree/version")
here=$(cd "$(dirname "$0")" && pwd)
bb=$(command -v busybox) || { echo "mkinitramfs: busybox-static is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"/{bin,dev,proc,sys,host,modules}
cp "$bb" "$work/bin/busybox"
cp "$here/init" "$work/init"
chmod 755 "$work/init"

: >"$work/modules/order"
for m in "$@"; do
  modprobe -d "$tree/root" -S "$release" --show-depends "$m" | while read -r kind path _; do
    [ "$kind" = insmod ] || continue
    base=$(basename "$path")
    grep -qx "$base" "$work/modules/order" && continue
    cp "$path" "$work/modules/$base"
    echo "$base" >>"$work/modules/order"
  done
done
(cd "$work" && find . | cpio -o -H newc --quiet) | gzip -1 >"$out"
