#!/usr/bin/env bash
# Builds camsel and runs it on the board simulator: prints the selection,
# then the seventeen selection registers it left in the simulator file.
# Usage: scripts/camsel-demo.sh [camsel options...]   (default: -r 1 -m 6)
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq cmake g++ >/dev/null
  fi
fi
cmake -S . -B build-demo -DDVRPLAT_TESTS=OFF -DDVRPLAT_SIMULATOR=ON >/dev/null
cmake --build build-demo --target camsel -j"$(nproc)" >/dev/null
sim=${DVRPLAT_FPGA_SIM:-$PWD/build-demo/fpga.sim}
trace=$PWD/build-demo/fpga.trace
: > "$trace"
[ $# -gt 0 ] || set -- -r 1 -m 6
set +e
DVRPLAT_FPGA_SIM=$sim DVRPLAT_FPGA_TRACE=$trace ./build-demo/camsel "$@"
status=$?
set -e
echo "camsel exit status: $status"
echo "simulator file: $sim"
echo "registers (address offset: value):"
reg() { od -An -tu1 -j $(( $1 * 256 + $2 )) -N 1 "$sim" | tr -d ' '; }
printf '  0xB0 0x00: %s\n' "$(reg 0xB0 0)"
for b in 1 2 3 4; do
  line="  0xB$b:"
  for k in 0 1 2 3; do line+=" $(printf '0x%02X' $k)=$(reg $((0xB0 + b)) $k)"; done
  echo "$line"
done
echo "port accesses traced: $(wc -l < "$trace") (in $trace)"
# The same registers as the board viewer shows them.
if cmake --build build-demo --target fpgasim -j"$(nproc)" >/dev/null 2>&1; then
  echo "fpgasim show (recording selection part; full view: DVRPLAT_FPGA_SIM=$sim build-demo/tools/fpgasim/fpgasim show):"
  DVRPLAT_FPGA_SIM=$sim ./build-demo/tools/fpgasim/fpgasim show | sed -n '/^Recording selection/,/^Coaxial/p' | sed '$d'
fi
exit $status
