# shellcheck shell=bash
# Sourced by stage.sh and run.sh: reads guests.tab.
#
#   guest_field ARCH FIELD   prints the field's value for ARCH (x86 or
#                            ppc), empty for "-"; fails on an unknown
#                            architecture or field
guest_field() {
  local arch=$1 field=$2 col
  case "$arch" in
    x86) col=2 ;;
    ppc) col=3 ;;
    *) echo "kernel: unknown guest architecture '$arch' (x86 or ppc)" >&2; return 1 ;;
  esac
  awk -F'|' -v f="$field" -v c="$col" '
    /^#/ { next }
    { split($1, k, " "); if (k[1] != f) next
      v = $c; gsub(/^ +| +$/, "", v); if (v == "-") v = ""
      print v; found = 1; exit }
    END { exit !found }' "$(dirname "${BASH_SOURCE[0]}")/guests.tab" ||
    { echo "kernel: guests.tab has no field '$field'" >&2; return 1; }
}
