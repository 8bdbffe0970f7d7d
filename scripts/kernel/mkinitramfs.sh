#!/usr/bin/env bash
# Builds a guest's initramfs: the static init program and, for a kernel
# with modules, the modules the guest needs with everything they depend on,
# listed in load order in modules/order (which the init reads).
#
#   scripts/kernel/mkinitramfs.sh INIT OUTPUT.cpio.gz [KERNEL_TREE MODULE...]
#
# KERNEL_TREE is a directory made by fetch-x86.sh.
set -euo pipefail
init=${1:?init program}
out=${2:?output}
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"/{dev,proc,sys,host}
cp "$init" "$work/init"
chmod 755 "$work/init"

if [ $# -gt 0 ]; then
  tree=$(cd "$1" && pwd)
  shift
  release=$(cat "$tree/version")
  mkdir -p "$work/modules"
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
fi
(cd "$work" && find . | cpio -o -H newc --quiet) | gzip -1 >"$out"
