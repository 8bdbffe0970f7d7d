# shellcheck shell=bash
# Sourced by the kernel stage's guest scripts (stage-x86.sh, stage-ppc.sh):
# what both guests share. Each function uses the caller's $work (the work
# directory), $x (the guest's exchange directory) and $build.
# The functions set SCSI_DRIVES, SCSI_DRIVE_LIST, $programs, $guest_time,
# $passed and $failed for the caller (QEMU arguments hold commas).
# shellcheck disable=SC2154,SC2034,SC2054

# The media: a CD-sized ISO image and a DVD-sized one (the same kind of
# image, grown past the largest CD with a sparse tail, which is what makes
# QEMU's drive report a DVD), as $x/cd.iso and $x/dvd.iso.
make_media() {
  mkdir -p "$work/files/cd" "$work/files/dvd"
  echo "compact disc of the kernel stage" >"$work/files/cd/readme.txt"
  head -c 1048576 /dev/zero | tr '\0' 'c' >"$work/files/cd/video.bin"
  echo "digital versatile disc of the kernel stage" >"$work/files/dvd/readme.txt"
  genisoimage -quiet -V DVRCD -o "$x/cd.iso" "$work/files/cd" || return 1
  genisoimage -quiet -V DVRDVD -o "$x/dvd.iso" "$work/files/dvd" || return 1
  truncate -s 1G "$x/dvd.iso"
}

# Sets $programs to the built test programs among PROGRAM... whose names
# match REGEX (all when empty).
#
#   pick_programs REGEX PROGRAM...
pick_programs() {
  local filter=$1 p
  shift
  programs=
  for p in "$@"; do
    if [ -n "$filter" ] && ! grep -qE -- "$filter" <<<"$p"; then continue; fi
    [ -x "$build/tests/$p" ] || { echo "kernel: $build/tests/$p is not built"; continue; }
    programs+=" $build/tests/$p"
  done
}

# The drives both guests have, on one virtio SCSI bus: the CD, the DVD and
# an empty tray; as QEMU arguments in the array SCSI_DRIVES, and in the
# guest's terms (name:kind:bus:id:image) in $SCSI_DRIVE_LIST.
set_scsi_drives() {
  SCSI_DRIVES=(
    -device virtio-scsi-pci,id=scsi
    -drive if=none,id=cd,file="$x/cd.iso",format=raw,media=cdrom,readonly=on
    -device scsi-cd,bus=scsi.0,scsi-id=0,lun=0,drive=cd
    -drive if=none,id=dvd,file="$x/dvd.iso",format=raw,media=cdrom,readonly=on
    -device scsi-cd,bus=scsi.0,scsi-id=1,lun=0,drive=dvd
    -drive if=none,id=empty,media=cdrom
    -device scsi-cd,bus=scsi.0,scsi-id=2,lun=0,drive=empty
  )
  SCSI_DRIVE_LIST="scsi-cd:cd:virtio:0:$x/cd.iso scsi-dvd:dvd:virtio:1:$x/dvd.iso scsi-empty:empty:virtio:2:"
}

# Runs the guest's command, its console copied to $work/console.log and
# its own lines to standard output. Software emulation on a busy machine
# can miss the early boot checks: a guest that never reached its init is
# booted once more. Sets $guest_time (seconds).
#
#   boot_guest NAME COMMAND...
boot_guest() {
  local name=$1 attempt start
  shift
  start=$(date +%s)
  for attempt in 1 2; do
    "$@" 2>&1 | sed -u 's/\r//g' | tee "$work/console.log" | grep -a --line-buffered "^guest: \|^run-[a-z0-9]*: "
    grep -aq 'guest: .* up after' "$work/console.log" && break
    echo "kernel: the $name guest did not start (attempt $attempt); the end of its console:"
    tail -n 25 "$work/console.log"
  done
  guest_time=$(( $(date +%s) - start ))
}

# The summary's lines on what the guest found: its drives and file
# systems, and the differences between the real drives and the simulated
# ones that the tests recognise and report instead of failing.
guest_found() {
  local drives fss
  drives=$(sed -n 's/^guest: drives: //p' "$work/console.log" | tr -d '\r')
  fss=$(sed -n 's/^guest: file systems: //p' "$work/console.log" | tr -d '\r')
  echo "[kernel]   real drives: ${drives:-none appeared}"
  echo "[kernel]   file systems: ${fss:-unknown}"
  cat "$x"/results/*.log 2>/dev/null | grep -a '^known difference: \|^cross-check skipped: ' | sort -u |
    sed 's/^/[kernel]   /'
}

# Reads what the guest left in RESULTS_DIR (NAME.log, NAME.status) for each
# program, prints one line per program (and the output of a failed one)
# and sets $passed and $failed, one count per program.
#
#   guest_results RESULTS_DIR PROGRAM...
guest_results() {
  local dir=$1 p name status log line skipped
  shift
  passed=0 failed=0
  for p in "$@"; do
    name=${p##*/}
    status=$(cat "$dir/$name.status" 2>/dev/null || echo none)
    log=$dir/$name.log
    line=$(grep -a -E '^\[  PASSED  \]' "$log" 2>/dev/null | tail -1)
    skipped=$(grep -a -E '^\[  SKIPPED \] [0-9]+ test' "$log" 2>/dev/null | sed -E 's/.*\] ([0-9]+) test.*/\1/')
    if [ "$status" = 0 ]; then
      passed=$((passed + 1))
      echo "kernel: $name passed: ${line#\[  PASSED  \] }${skipped:+, $skipped skipped}"
      grep -a -A1 '^\[  SKIPPED \] [A-Za-z]' "$log" | grep -a -v '^--$' | sed 's/^/kernel:   /' || true
    else
      failed=$((failed + 1))
      echo "kernel: $name FAILED (exit status $status); its output:"
      cat "$log" 2>/dev/null
    fi
  done
}
