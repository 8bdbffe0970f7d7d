#!/usr/bin/env bash
# Cross-builds the board's PowerPC kernel (32-bit big-endian, e500v2) from
# Debian's linux-source-6.1: mpc85xx_defconfig plus the fragment ppc.config
# beside this script, modules off. The result is cached in CACHE_DIR under
# a key made of the fragment, the source package's version and the cross
# compiler's version, so a second run with the same inputs only prints it.
#
#   scripts/kernel/build-ppc.sh CACHE_DIR
#
# Prints the result's directory: "vmlinux", "config" (the whole
# configuration), "version" (the kernel release) and "build.log".
# Environment: DVRPLAT_KERNEL_JOBS (parallel jobs, default: the cores).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${1:?cache directory}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
jobs=${DVRPLAT_KERNEL_JOBS:-$(nproc)}
cross=powerpc-linux-gnu-
tarball=/usr/src/linux-source-6.1.tar.xz
[ -f "$tarball" ] || { echo "build-ppc: $tarball is missing (package linux-source-6.1)" >&2; exit 1; }
command -v "${cross}gcc" >/dev/null || { echo "build-ppc: ${cross}gcc is missing (package gcc-powerpc-linux-gnu)" >&2; exit 1; }

srcver=$(dpkg-query -W -f '${Version}' linux-source-6.1)
ccver=$("${cross}gcc" -dumpfullversion)
key=$( { cat "$here/ppc.config"; echo "source $srcver"; echo "compiler $ccver"; } | sha256sum | cut -c1-16)
out=$cache/ppc-6.1-$key
# One build at a time per cache: a second kernel stage waits for the first
# one's kernel instead of removing its half-built tree and starting over.
exec 9>"$out.lock"
flock 9
if [ -f "$out/vmlinux" ] && [ -f "$out/version" ]; then
  echo "$out"
  exit 0
fi

part=$out.part
rm -rf "$part"
mkdir -p "$part"
log=$part/build.log
echo "build-ppc: building the kernel (linux-source-6.1 $srcver, ${cross}gcc $ccver, key $key); log $log" >&2
tar -xJf "$tarball" -C "$part"
src=$part/linux-source-6.1
obj=$part/obj
mkdir -p "$obj"
mk=(make -C "$src" O="$obj" ARCH=powerpc CROSS_COMPILE="$cross" -j"$jobs")
{
  "${mk[@]}" mpc85xx_defconfig
  # Later assignments win: the fragment is appended and the rest of the
  # configuration follows from it.
  grep -v '^#' "$here/ppc.config" | sed 's/^\(CONFIG_[A-Z0-9_]*\)=n$/# \1 is not set/' >>"$obj/.config"
  "${mk[@]}" olddefconfig
} >"$log" 2>&1 || { tail -n 30 "$log" >&2; exit 1; }
# Every line of the fragment must have survived the dependencies.
missing=0
while IFS= read -r line; do
  case "$line" in ''|'#'*) continue ;; esac
  name=${line%%=*} want=${line#*=}
  if [ "$want" = n ]; then
    if grep -q "^$name=[ym]" "$obj/.config"; then echo "build-ppc: $name is still set" >&2; missing=1; fi
  elif ! grep -qx "$line" "$obj/.config"; then
    echo "build-ppc: $line did not hold ($(grep "^$name=\|# $name " "$obj/.config" || echo absent))" >&2
    missing=1
  fi
done <"$here/ppc.config"
[ "$missing" = 0 ] || exit 1
"${mk[@]}" vmlinux >>"$log" 2>&1 || { tail -n 40 "$log" >&2; exit 1; }
cp "$obj/vmlinux" "$part/vmlinux"
cp "$obj/.config" "$part/config"
"${mk[@]}" -s kernelrelease 2>/dev/null | tail -1 >"$part/version"
rm -rf "$src" "$obj"
mv "$part" "$out"
echo "$out"
