#!/usr/bin/env bash
# The PowerPC part of the test command's kernel stage: builds (or finds
# cached) the board's kernel, builds the static init and its initramfs,
# makes the disc images, boots the guest with its drives and runs the
# chosen test programs of the PowerPC build (preset "board", statically
# linked) inside it, on the board's own word size and byte order.
#
#   scripts/kernel/stage-ppc.sh PPC_BUILD_DIR WORK_DIR [REGEX]
#   scripts/kernel/stage-ppc.sh --programs   (the programs it runs)
#
# REGEX picks test programs by name (default: all of $GUEST_PROGRAMS).
# Leaves WORK_DIR/counts ("PASSED FAILED", one per test program) and
# WORK_DIR/summary (lines for the test command's summary). The guest's
# console is copied to standard output and WORK_DIR/console.log.
# Environment: DVRPLAT_KERNEL_CACHE (default /var/cache/dvrplat/kernel),
# DVRPLAT_GUEST_TIMEOUT (seconds for the whole guest, default 900).
set -uo pipefail
# The device-layer programs, without the cases that start /bin/sh, rm,
# losetup, mkfs or genisoimage: those exist here only as the host's x86-64
# programs, and the cases run in the x86-64 guest (as do test_mount,
# test_real_filesystems, test_real_nfs and test_real_vlan, which need them
# throughout).
GUEST_PROGRAMS="test_real_drives test_scsi test_disc test_discovery"
FILTERS='FILTER_test_disc="-Disc.RefusedDvdPlusRwMountLeavesTheUsedCapacity:Disc.MeasurementRunsThroughTheMountRow:Disc.FinishedDvdPlusRwIsMeasuredByMounting"
FILTER_test_discovery="-HdStat.*"'
[ "${1:-}" = --programs ] && { echo "$GUEST_PROGRAMS"; exit 0; }
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?PowerPC build directory}" && pwd)
work=${2:?work directory}
filter=${3:-}
cache=${DVRPLAT_KERNEL_CACHE:-/var/cache/dvrplat/kernel}
limit=${DVRPLAT_GUEST_TIMEOUT:-900}


rm -rf "$work"
mkdir -p "$work/ppc/results"
work=$(cd "$work" && pwd)
x=$work/ppc
echo 0 1 >"$work/counts"
echo "[kernel] PowerPC guest did not run" >"$work/summary"

kdir=$("$here/build-ppc.sh" "$cache") || { echo "kernel: building the PowerPC kernel failed"; exit 1; }
release=$(cat "$kdir/version")

# The initramfs: the static init and the directories it mounts on.
mkdir -p "$work/initrd/proc" "$work/initrd/sys" "$work/initrd/dev" "$work/initrd/host"
powerpc-linux-gnu-g++ -std=c++20 -O2 -Wall -Wextra -Werror -static -o "$work/initrd/init" "$here/ppc-init.cpp" ||
  { echo "kernel: building the PowerPC init failed"; exit 1; }
(cd "$work/initrd" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initrd-ppc.gz" ||
  { echo "kernel: initramfs failed"; exit 1; }

# shellcheck source=scripts/kernel/stage-common.sh
. "$here/stage-common.sh"
make_media || exit 1
# shellcheck disable=SC2086
pick_programs "$filter" $GUEST_PROGRAMS
if [ -z "$programs" ]; then
  echo "0 0" >"$work/counts"
  echo "[kernel]   no PowerPC guest program matches: the guest was not booted" >"$work/summary"
  exit 0
fi
set_scsi_drives
cat >"$x/config" <<CFG
DRIVES="$SCSI_DRIVE_LIST"
PROGRAMS="${programs# }"
LIMIT=300
$FILTERS
CFG
# Inside the guest the exchange directory is /mnt/out.
sed -i "s,$x/,/mnt/out/,g" "$x/config"

# The guest's /tmp, /var, ... are scratch space; the checkout and the build
# stay visible wherever they lie (see ppc-init.cpp).
DVRPLAT_GUEST_KEEP="$(cd "$here/../.." && pwd):$build"
export DVRPLAT_GUEST_KEEP

boot_guest PowerPC "$here/run-ppc.sh" "$kdir/vmlinux" "$work/initrd-ppc.gz" "$x" "$limit" "${SCSI_DRIVES[@]}"

# shellcheck disable=SC2086
guest_results "$x/results" $programs
echo "$passed $failed" >"$work/counts"
{
  echo "[kernel]   PowerPC guest: kernel $release (32-bit big-endian, e500v2), cross-built from linux-source-6.1 $(dpkg-query -W -f '${Version}' linux-source-6.1 2>/dev/null), qemu-system-ppc ppce500, guest ${guest_time}s"
  guest_found
} >"$work/summary"
[ "$failed" = 0 ]
