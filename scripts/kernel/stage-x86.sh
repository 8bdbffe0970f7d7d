#!/usr/bin/env bash
# The x86-64 part of the test command's kernel stage: fetches the kernel,
# builds the initramfs, makes the disc images, boots the guest with its
# drives and runs the chosen test programs of a native build inside it.
#
#   scripts/kernel/stage-x86.sh NATIVE_BUILD_DIR WORK_DIR [REGEX]
#
# REGEX picks test programs by name (default: all of $GUEST_PROGRAMS).
# Leaves WORK_DIR/counts ("PASSED FAILED", one per test program) and
# WORK_DIR/summary (lines for the test command's summary). The guest's
# console is copied to standard output and WORK_DIR/console.log.
# Environment: DVRPLAT_KERNEL_CACHE (default /var/cache/dvrplat/kernel),
# DVRPLAT_GUEST_TIMEOUT (seconds for the whole guest, default 900).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?native build directory}" && pwd)
work=${2:?work directory}
filter=${3:-}
cache=${DVRPLAT_KERNEL_CACHE:-/var/cache/dvrplat/kernel}
limit=${DVRPLAT_GUEST_TIMEOUT:-900}

# The programs that meet the real kernel: the real drives themselves, and
# the programs whose cases skip on a kernel without iso9660, vfat, udf,
# loop partitions or SCSI generic nodes.
GUEST_PROGRAMS="test_real_drives test_real_filesystems test_real_vlan test_real_nfs test_scsi test_disc test_discovery test_mount"
# The guest's modules (with what they depend on).
MODULES="virtio_pci 9pnet_virtio 9p virtio_scsi ata_piix sr_mod sg loop ext4 isofs udf vfat nls_cp437
  nls_ascii nls_utf8 nls_iso8859-1 8021q dummy nfs nfsv3 nfsd"

rm -rf "$work"
mkdir -p "$work/x86/results"
work=$(cd "$work" && pwd)
x=$work/x86
echo 0 1 >"$work/counts"
echo "[kernel] x86-64 guest did not run" >"$work/summary"

tree=$("$here/fetch-x86.sh" "$cache") || { echo "kernel: fetching the kernel failed"; exit 1; }
release=$(cat "$tree/version")
# shellcheck disable=SC2086
"$here/mkinitramfs.sh" "$tree" "$work/initrd-x86.gz" $MODULES || { echo "kernel: initramfs failed"; exit 1; }

# The media: a CD-sized ISO image and a DVD-sized one (the same kind of
# image, grown past the largest CD with a sparse tail, which is what makes
# QEMU's drive report a DVD).
mkdir -p "$work/files/cd" "$work/files/dvd"
echo "compact disc of the kernel stage" >"$work/files/cd/readme.txt"
head -c 1048576 /dev/zero | tr '\0' 'c' >"$work/files/cd/video.bin"
echo "digital versatile disc of the kernel stage" >"$work/files/dvd/readme.txt"
genisoimage -quiet -V DVRCD -o "$x/cd.iso" "$work/files/cd" || exit 1
genisoimage -quiet -V DVRDVD -o "$x/dvd.iso" "$work/files/dvd" || exit 1
truncate -s 1G "$x/dvd.iso"

programs=
for p in $GUEST_PROGRAMS; do
  if [ -n "$filter" ] && ! grep -qE -- "$filter" <<<"$p"; then continue; fi
  [ -x "$build/tests/$p" ] || { echo "kernel: $build/tests/$p is not built"; continue; }
  programs+=" $build/tests/$p"
done
if [ -z "$programs" ]; then
  echo "0 0" >"$work/counts"
  echo "[kernel]   no guest program matches: the guest was not booted" >"$work/summary"
  exit 0
fi
cat >"$x/config" <<CFG
DRIVES="scsi-cd:cd:virtio:0:$x/cd.iso scsi-dvd:dvd:virtio:1:$x/dvd.iso scsi-empty:empty:virtio:2: ide-atapi:cd:ata:0:$x/cd.iso"
PROGRAMS="${programs# }"
LIMIT=300
CFG
# Inside the guest the exchange directory is /mnt/out.
sed -i "s,$x/,/mnt/out/,g" "$x/config"
cp "$here/guest-tests.sh" "$x/guest.sh"

# The guest's /tmp, /var, ... are scratch space; the checkout and the build
# stay visible wherever they lie (see init).
export DVRPLAT_GUEST_KEEP="$(cd "$here/../.." && pwd):$build"

start=$(date +%s)
# Software emulation on a busy machine can miss the early boot checks; a
# guest that never reached its init is booted once more.
for attempt in 1 2; do
  "$here/run-x86.sh" "$tree" "$work/initrd-x86.gz" "$x" "$limit" \
    -device virtio-scsi-pci,id=scsi \
    -drive if=none,id=cd,file="$x/cd.iso",format=raw,media=cdrom,readonly=on \
    -device scsi-cd,bus=scsi.0,scsi-id=0,lun=0,drive=cd \
    -drive if=none,id=dvd,file="$x/dvd.iso",format=raw,media=cdrom,readonly=on \
    -device scsi-cd,bus=scsi.0,scsi-id=1,lun=0,drive=dvd \
    -drive if=none,id=empty,media=cdrom \
    -device scsi-cd,bus=scsi.0,scsi-id=2,lun=0,drive=empty \
    -drive if=ide,index=2,media=cdrom,file="$x/cd.iso",format=raw,readonly=on \
    2>&1 | sed -u 's/\r//g' | tee "$work/console.log" | grep -a --line-buffered "^guest: \|^run-x86: "
  grep -aq 'guest: .* up after' "$work/console.log" && break
  echo "kernel: the guest did not start (attempt $attempt); the end of its console:"
  tail -n 25 "$work/console.log"
done
guest_time=$(( $(date +%s) - start ))

# shellcheck source=scripts/kernel/results.sh
. "$here/results.sh"
# shellcheck disable=SC2086
guest_results "$x/results" $programs
echo "$passed $failed" >"$work/counts"

drives=$(sed -n 's/^guest: drives: //p' "$work/console.log" | tr -d '\r')
fss=$(sed -n 's/^guest: file systems: //p' "$work/console.log" | tr -d '\r')
{
  echo "[kernel]   x86-64 guest: Debian $(basename "$tree" | sed 's/^x86-//'), kernel $release, qemu-system-x86_64 TCG, guest ${guest_time}s"
  echo "[kernel]   real drives: ${drives:-none appeared}"
  echo "[kernel]   file systems: ${fss:-unknown}"
  # Differences between the real drives and the simulated ones that the
  # tests recognise and report instead of failing.
  cat "$x"/results/*.log 2>/dev/null | grep -a '^known difference: ' | sort -u | sed 's/^/[kernel]   /'
} >"$work/summary"
[ "$failed" = 0 ]
