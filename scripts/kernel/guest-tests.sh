#!/bin/sh
# Runs inside the guest (started by the guest init as /mnt/out/guest.sh,
# as root, in the host's root file system). Reads /mnt/out/config:
#   DRIVES    entries "LABEL:KIND:BUS:TARGET:IMAGE" (BUS virtio or ata,
#             TARGET the SCSI target number on that bus)
#   PROGRAMS  the test programs to run, absolute paths
#   LIMIT     seconds one program may take
# waits for the drives' nodes, prints what the guest has, runs each
# program with DVRPLAT_REAL_DRIVES naming the drives' nodes and leaves its
# output in /mnt/out/results/NAME.log and its exit status in NAME.status.
. /mnt/out/config
results=/mnt/out/results
mkdir -p "$results"

# The generic node and block node of a drive, from the kernel's device
# paths: "/sys/.../virtio2/host0/target0:0:1/0:0:1:0" or ".../ata2/host1/...".
nodes_of() { # bus target
  for s in /sys/class/scsi_generic/sg*; do
    [ -e "$s" ] || continue
    p=$(readlink -f "$s/device")
    case "$p" in
      */"$1"*/host*/*:*:"$2":0)
        b=$(ls "$s/device/block" 2>/dev/null | head -1)
        [ -n "$b" ] || continue
        echo "/dev/${s##*/}:/dev/$b"
        return 0 ;;
    esac
  done
  return 1
}

real=
waited=0
for d in $DRIVES; do
  IFS=: read -r label kind bus target image <<END
$d
END
  while ! n=$(nodes_of "$bus" "$target"); do
    if [ $waited -ge 60 ]; then
      echo "guest: drive $label ($bus target $target) did not appear"
      break
    fi
    sleep 1
    waited=$((waited + 1))
  done
  [ -n "$n" ] && real="$real $label:$kind:$n:$image"
  n=
done
real=${real# }
echo "guest: drives: $real"
echo "guest: file systems: $(grep -v nodev /proc/filesystems | tr -d '\t' | tr '\n' ' ')"
for s in /sys/class/scsi_generic/sg*; do
  echo "guest: ${s##*/} -> $(readlink -f "$s/device" | sed 's,.*/devices/,,')"
done

mkdir -p /tmp/run
for p in $PROGRAMS; do
  name=${p##*/}
  rm -rf "/tmp/run/$name"; mkdir -p "/tmp/run/$name"
  echo "guest: running $name"
  (cd "/tmp/run/$name" && DVRPLAT_REAL_DRIVES="$real" timeout -k 5 "$LIMIT" "$p") >"$results/$name.log" 2>&1
  echo $? >"$results/$name.status"
done
echo "guest: done"
