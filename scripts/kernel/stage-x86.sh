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

# shellcheck source=scripts/kernel/stage-common.sh
. "$here/stage-common.sh"
make_media || exit 1
# shellcheck disable=SC2086
pick_programs "$filter" $GUEST_PROGRAMS
if [ -z "$programs" ]; then
  echo "0 0" >"$work/counts"
  echo "[kernel]   no guest program matches: the guest was not booted" >"$work/summary"
  exit 0
fi
set_scsi_drives
cat >"$x/config" <<CFG
DRIVES="$SCSI_DRIVE_LIST ide-atapi:cd:ata:0:$x/cd.iso"
PROGRAMS="${programs# }"
LIMIT=300
CFG
# Inside the guest the exchange directory is /mnt/out.
sed -i "s,$x/,/mnt/out/,g" "$x/config"
cp "$here/guest-tests.sh" "$x/guest.sh"

# The guest's /tmp, /var, ... are scratch space; the checkout and the build
# stay visible wherever they lie (see init).
DVRPLAT_GUEST_KEEP="$(cd "$here/../.." && pwd):$build"
export DVRPLAT_GUEST_KEEP

boot_guest x86-64 "$here/run-x86.sh" "$tree" "$work/initrd-x86.gz" "$x" "$limit" "${SCSI_DRIVES[@]}" \
  -drive if=ide,index=2,media=cdrom,file="$x/cd.iso",format=raw,readonly=on

# shellcheck disable=SC2086
guest_results "$x/results" $programs
echo "$passed $failed" >"$work/counts"
{
  echo "[kernel]   x86-64 guest: Debian $(basename "$tree" | sed 's/^x86-//'), kernel $release, qemu-system-x86_64 TCG, guest ${guest_time}s"
  guest_found
} >"$work/summary"
[ "$failed" = 0 ]
