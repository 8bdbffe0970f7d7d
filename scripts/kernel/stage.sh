#!/usr/bin/env bash
# One guest of the test command's kernel stage, ARCH x86 (Debian's x86-64
# kernel, the native build's programs) or ppc (the board's 32-bit
# big-endian PowerPC kernel, cross-built, and the PowerPC build's static
# programs); what differs between the two is in guests.tab. Gets the
# kernel (fetched or built, cached), builds the static init (guest-init.cpp)
# and the initramfs, makes the disc images, boots the guest with its drives
# and runs the chosen test programs inside it.
#
#   scripts/kernel/stage.sh ARCH BUILD_DIR WORK_DIR [REGEX]
#   scripts/kernel/stage.sh ARCH --programs   (the programs it runs; "*": all)
#
# REGEX picks test programs by name (default: all of the guest's). Leaves
# WORK_DIR/counts ("PASSED FAILED", one per test program) and
# WORK_DIR/summary (lines for the test command's summary). The guest's
# console is copied to standard output and WORK_DIR/console.log.
# Environment: DVRPLAT_KERNEL_CACHE (default /var/cache/dvrplat/kernel),
# DVRPLAT_GUEST_TIMEOUT (seconds for the whole guest, default guests.tab's
# timeout; each program has its limit).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
arch=${1:?architecture (x86 or ppc)}
# shellcheck source=scripts/kernel/guests-tab.sh
. "$here/guests-tab.sh"
name=$(guest_field "$arch" name) || exit 2
[ "${2:-}" = --programs ] && { guest_field "$arch" programs; exit 0; }
build=$(cd "${2:?build directory}" && pwd)
work=${3:?work directory}
filter=${4:-}
cache=${DVRPLAT_KERNEL_CACHE:-/var/cache/dvrplat/kernel}
limit=${DVRPLAT_GUEST_TIMEOUT:-$(guest_field "$arch" timeout)}

rm -rf "$work"
mkdir -p "$work/$arch/results"
work=$(cd "$work" && pwd)
x=$work/$arch
echo 0 1 >"$work/counts"
echo "[kernel] $name guest did not run" >"$work/summary"

# The kernel, and the init built for it.
kdir=$("$here/$(guest_field "$arch" kernel)" "$cache") || { echo "kernel: getting the $name kernel failed"; exit 1; }
release=$(cat "$kdir/version")
image=$kdir/$(guest_field "$arch" image | sed "s/\$release/$release/")
"$(guest_field "$arch" compiler)" -std=c++20 -O2 -Wall -Wextra -Werror -static -o "$work/init" "$here/guest-init.cpp" ||
  { echo "kernel: building the $name init failed"; exit 1; }
modules=$(guest_field "$arch" modules)
# shellcheck disable=SC2086
"$here/mkinitramfs.sh" "$work/init" "$work/initrd.gz" ${modules:+"$kdir"} $modules ||
  { echo "kernel: initramfs failed"; exit 1; }

# The media: a CD-sized ISO image and a DVD-sized one (the same kind of
# image, grown past the largest CD with a sparse tail, which is what makes
# QEMU's drive report a DVD), as $x/cd.iso and $x/dvd.iso.
mkdir -p "$work/files/cd" "$work/files/dvd"
echo "compact disc of the kernel stage" >"$work/files/cd/readme.txt"
head -c 1048576 /dev/zero | tr '\0' 'c' >"$work/files/cd/video.bin"
echo "digital versatile disc of the kernel stage" >"$work/files/dvd/readme.txt"
genisoimage -quiet -V DVRCD -o "$x/cd.iso" "$work/files/cd" &&
  genisoimage -quiet -V DVRDVD -o "$x/dvd.iso" "$work/files/dvd" || exit 1
truncate -s 1G "$x/dvd.iso"

# The test programs: the guest's list, or "*" for every test program of
# the build; REGEX narrows them.
programs=
wanted=$(guest_field "$arch" programs)
if [ "$wanted" = "*" ]; then
  wanted=$(cd "$build/tests" && for f in test_*; do [ -f "$f" ] && [ -x "$f" ] && echo "$f"; done)
fi
for p in $wanted; do
  if [ -n "$filter" ] && ! grep -qE -- "$filter" <<<"$p"; then continue; fi
  [ -x "$build/tests/$p" ] || { echo "kernel: $build/tests/$p is not built"; continue; }
  programs+=" $build/tests/$p"
done
if [ -z "$programs" ]; then
  echo "0 0" >"$work/counts"
  echo "[kernel]   no $name guest program matches: the guest was not booted" >"$work/summary"
  exit 0
fi

# The drives: the CD, the DVD and an empty tray on one virtio SCSI bus, and
# where guests.tab says so the CD once more as an ATAPI drive on the IDE
# bus; as QEMU arguments, and in the init's terms (name:kind:bus:id:image).
# shellcheck disable=SC2054
drives=(
  -device virtio-scsi-pci,id=scsi
  -drive if=none,id=cd,file="$x/cd.iso",format=raw,media=cdrom,readonly=on
  -device scsi-cd,bus=scsi.0,scsi-id=0,lun=0,drive=cd
  -drive if=none,id=dvd,file="$x/dvd.iso",format=raw,media=cdrom,readonly=on
  -device scsi-cd,bus=scsi.0,scsi-id=1,lun=0,drive=dvd
  -drive if=none,id=empty,media=cdrom
  -device scsi-cd,bus=scsi.0,scsi-id=2,lun=0,drive=empty
)
drive_list="scsi-cd:cd:virtio:0:/mnt/out/cd.iso scsi-dvd:dvd:virtio:1:/mnt/out/dvd.iso scsi-empty:empty:virtio:2:"
ata=$(guest_field "$arch" ata_drive)
if [ -n "$ata" ]; then
  # shellcheck disable=SC2054
  drives+=(-drive if=ide,index=2,media=cdrom,file="$x/cd.iso",format=raw,readonly=on)
  drive_list+=" $ata:/mnt/out/cd.iso"
fi
cat >"$x/config" <<CFG
GUEST="$arch"
NETWORK="$(guest_field "$arch" network)"
LIBRARIES="$(guest_field "$arch" libraries)"
DRIVES="$drive_list"
PROGRAMS="${programs# }"
LIMIT=$(guest_field "$arch" limit)
CFG

# The guest's /tmp, /var, ... are scratch space; the checkout and the build
# stay visible wherever they lie (see guest-init.cpp).
DVRPLAT_GUEST_KEEP="$(cd "$here/../.." && pwd):$build"
export DVRPLAT_GUEST_KEEP

# Software emulation on a busy machine can miss the early boot checks: a
# guest that never reached its init is booted once more.
start=$(date +%s)
for attempt in 1 2; do
  "$here/run.sh" "$arch" "$image" "$work/initrd.gz" "$x" "$limit" "${drives[@]}" 2>&1 | sed -u 's/\r//g' |
    tee "$work/console.log" | grep -a --line-buffered "^guest: \|^run-[a-z0-9]*: "
  grep -aq 'guest: .* up after' "$work/console.log" && break
  echo "kernel: the $name guest did not start (attempt $attempt); the end of its console:"
  tail -n 25 "$work/console.log"
done
guest_time=$(( $(date +%s) - start ))

# "RAN SKIPPED" of a GoogleTest program's output on standard input (its
# last round). RAN is the cases that ran and were not skipped, failed ones
# included: what stage_ran counts in the ppc stage's results.
case_counts() {
  awk '/^\[==========\] [0-9]+ tests? from .* ran\./ { ran = $2; skipped = 0 }
       /^\[  SKIPPED \] [0-9]+ tests?,/ { skipped = $4 }
       END { if (ran == "") print "0 0"; else print ran - skipped, skipped }'
}
# The cases the build's own test stage ran of program NAME (the ppc stage
# leaves each program's results in BUILD/gtest-results/NAME.xml: a case
# run to its end, passed or failed, is "completed", a skipped one
# "skipped"), empty when it has not run.
stage_ran() {
  local xml=$build/gtest-results/$1.xml
  [ -f "$xml" ] && grep -o 'result="completed"' "$xml" | wc -l
}

# What the guest left in $x/results (NAME.log, NAME.status) for each
# program: one line per program (and the output of a failed one), the
# counts, and for the PowerPC guest the cases run against those of the ppc
# stage (under the user-mode emulator).
passed=0 failed=0 guest_cases=0 stage_cases=0 per_program=
for p in $programs; do
  n=${p##*/}
  status=$(cat "$x/results/$n.status" 2>/dev/null || echo none)
  log=$x/results/$n.log
  read -r ran skipped < <({ case_counts <"$log"; } 2>/dev/null || echo "0 0")
  there=$(stage_ran "$n")
  if [ "$arch" = ppc ]; then
    per_program+=" $n:${ran}/${there:-?}"
    if [ -n "$there" ]; then guest_cases=$((guest_cases + ran)); stage_cases=$((stage_cases + there)); fi
  fi
  if [ "$status" = 0 ]; then
    passed=$((passed + 1))
    echo "kernel: $n passed: $ran cases run$([ "$skipped" = 0 ] || echo ", $skipped skipped")${there:+ (the ppc stage: $there)}"
    grep -a -A1 '^\[  SKIPPED \] [A-Za-z]' "$log" | grep -a -v '^--$' | sed 's/^/kernel:   /' || true
  else
    failed=$((failed + 1))
    echo "kernel: $n FAILED (exit status $status); its output:"
    cat "$log" 2>/dev/null
  fi
done
echo "$passed $failed" >"$work/counts"
# Every other program of the ppc stage counts too, with no case run here:
# the share is of all the cases the ppc stage runs.
if [ "$arch" = ppc ] && [ -d "$build/gtest-results" ]; then
  for xml in "$build"/gtest-results/*.xml; do
    [ -f "$xml" ] || continue
    n=$(basename "$xml" .xml)
    case " $programs " in *"/$n "*) continue ;; esac
    there=$(stage_ran "$n")
    per_program+=" $n:-/$there"
    stage_cases=$((stage_cases + there))
  done
fi

drives_found=$(sed -n 's/^guest: drives: //p' "$work/console.log" | tr -d '\r')
fss=$(sed -n 's/^guest: file systems: //p' "$work/console.log" | tr -d '\r')
net=$(sed -n 's/^guest: network: //p' "$work/console.log" | tr -d '\r')
{
  echo "[kernel]   $name guest: kernel $release ($(basename "$kdir")), $(guest_field "$arch" describe), guest ${guest_time}s"
  echo "[kernel]   real drives: ${drives_found:-none appeared}"
  echo "[kernel]   file systems: ${fss:-unknown}"
  echo "[kernel]   network: ${net:-not reported}"
  if [ "$arch" = ppc ]; then
    if [ "$stage_cases" -gt 0 ]; then
      echo "[kernel]   cases run in the $name guest against those of every program of the ppc stage: $guest_cases of $stage_cases ($((guest_cases * 100 / stage_cases)) %)"
    else
      echo "[kernel]   cases run in the $name guest: the ppc stage has not run in $build (no gtest-results to compare with)"
    fi
    echo "[kernel]   per program (guest/ppc stage; \"-\": not run in the guest, \"?\": not run in the ppc stage):$per_program" | fold -s -w 110 | sed '2,$s/^/[kernel]     /'
  fi
  cat "$x"/results/*.log 2>/dev/null | grep -a '^known difference: \|^cross-check skipped: ' | sort -u |
    sed 's/^/[kernel]   /'
} >"$work/summary"
[ "$failed" = 0 ]
