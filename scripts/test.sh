#!/usr/bin/env bash
# Runs the test suite in every configuration: installs what it needs (as
# root), then builds and tests each stage in its own build directory.
#
#   scripts/test.sh [options] [STAGE ...]
#
# Stages (default: native sanitize tsan ppc fuzz kernel):
#   native    the whole suite, native build; each test program runs its
#             cases twice, in shuffled order (--gtest_repeat=2 --gtest_shuffle);
#             then, without --tests and as root, a 2-minute soak (below)
#   sanitize  the whole suite built with AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan      the programs labelled "threads", built with ThreadSanitizer
#   ppc       the whole suite cross-built for 32-bit big-endian PowerPC, run under qemu-ppc
#             (preset "board"; its tests include the board staging archive)
#   fuzz      clang build of fuzz/fuzz_*.cpp, each run for --fuzz-seconds
#   bench     (only when named) release build of bench/bench_*.cpp, each run once
#   soak [MINUTES]  (only when named; default 10 minutes) 32 threads of mixed
#             calls against nginx, Apache and dnsmasq while the servers are
#             stopped and restarted, the writers' tmpfs filled and emptied,
#             a simulated drive failing; figures every 10 s in
#             build-native/soak.csv (or $DVRPLAT_SOAK_DIR/soak.csv), drawn
#             into soak.png beside it (gnuplot); as root
#   kernel    boots Debian's stock kernel in a virtual machine
#             (qemu-system-x86_64, software emulation) with QEMU's CD and DVD
#             drives and runs the device-layer test programs of the native
#             build inside it against the real sr and sg drivers and file
#             systems, NFS and VLAN devices; then the board's PowerPC kernel,
#             cross-built from linux-source-6.1 (cached), on qemu-system-ppc
#             with the static test programs of the PowerPC build; skipped
#             without root (see scripts/kernel/)
#
# Options:
#   --no-install        do not install the Debian packages of scripts/packages.txt
#   --jobs N            parallel build and test jobs (default 2)
#   --test-jobs N       parallel test jobs only (default: as --jobs)
#   --tests REGEX       run only the ctest tests matching REGEX (ctest -R)
#   --fuzz-seconds N    seconds per fuzz target (default 10, or $DVRPLAT_FUZZ_SECONDS)
#   --build-root DIR    where the build-<stage> directories go (default: the checkout)
#
# The last line is "N passed, N failed", summed over the stages from the
# ctest counts (a stage that fails to configure or build counts as one
# failure); the exit status is non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

install=1
jobs=2
test_jobs=
filter=
fuzz_seconds=${DVRPLAT_FUZZ_SECONDS:-10}
soak_minutes=10
build_root=$top
stages=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-install) install=0 ;;
    --jobs) jobs=$2; shift ;;
    --test-jobs) test_jobs=$2; shift ;;
    --tests) filter=$2; shift ;;
    --fuzz-seconds) fuzz_seconds=$2; shift ;;
    --build-root) build_root=$2; shift ;;
    -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    native|sanitize|tsan|ppc|fuzz|bench|kernel) stages+=("$1") ;;
    soak)
      stages+=(soak)
      if [[ ${2:-} =~ ^[0-9]+$ ]]; then soak_minutes=$2; shift; fi ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
[ ${#stages[@]} -gt 0 ] || stages=(native sanitize tsan ppc fuzz kernel)
[ -n "$test_jobs" ] || test_jobs=$jobs
mkdir -p "$build_root"
build_root=$(cd "$build_root" && pwd)

if [ "$install" = 1 ]; then
  if [ "$(id -u)" = 0 ]; then
    pkgs=$(grep -hv '^\s*#' scripts/packages.txt | tr -s ' \n' ' ')
    echo "== installing: $pkgs"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || echo "apt-get update failed; trying with the lists at hand" >&2
    if ! apt-get install -y -qq --no-install-recommends $pkgs >/dev/null; then
      echo "package installation failed" >&2
      exit 1
    fi
  else
    echo "== not root: skipping package installation"
  fi
fi

# A fixture the test machines provide (rpcbind, dnsmasq, namespaces, the
# tools of scripts/packages.txt) that does not come up fails its case here
# instead of skipping it (tests/support/fixtures.h).
export DVRPLAT_REQUIRE_FIXTURES=1

# Services the tests use are started by their own fixtures; this hook is
# for anything that must run before any test.
if [ -x scripts/services.sh ]; then
  scripts/services.sh
fi

# Ninja when there is one; either way the build goes on past the first
# error so that a failing stage shows every broken file at once.
generator=()
keep_going=(-- -k)
if command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
  keep_going=(-- -k 0)
fi

total_passed=0
total_failed=0
failed_stages=()
summary=()

# ctest's "NN% tests passed, F tests failed out of T" gives the counts.
add_counts() { # stage name, ctest log
  local line passed=0 failed=0 total
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$2" | tail -1)
  if [ -n "$line" ]; then
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((total - failed))
  elif ! grep -q 'No tests were found' "$2"; then
    failed=1 # ctest itself did not finish
  fi
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  summary+=("[$1] $passed passed, $failed failed ($(stage_time))")
  [ "$failed" = 0 ] || failed_stages+=("$1")
}

stage_fail() { # stage name, what failed
  total_failed=$((total_failed + 1))
  failed_stages+=("$1")
  summary+=("[$1] $2 failed ($(stage_time))")
}

stage_time() { echo "$(( $(date +%s) - stage_start ))s"; }

# Each stage configures, builds and tests with its CMake preset
# (CMakePresets.json), in its own directory under the build root.
# configure_and_build stage preset dir targets(comma list or "all") [extra cmake args...]
configure_and_build() {
  local name=$1 preset=$2 dir=$3 targets=$4; shift 4
  echo "== [$name] configure ($dir, preset $preset)"
  if ! cmake --preset "$preset" -B "$dir" "${generator[@]}" "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"
    stage_fail "$name" configure
    return 1
  fi
  grep 'dvrplat:' "$dir.configure.log" || true
  echo "== [$name] build"
  local targs=()
  if [ "$targets" != all ]; then
    local t
    for t in ${targets//,/ }; do targs+=(--target "$t"); done
  fi
  if ! cmake --build "$dir" -j"$jobs" "${targs[@]}" "${keep_going[@]}" >"$dir.build.log" 2>&1; then
    grep -E -B2 -A12 'error|FAILED|Error [0-9]' "$dir.build.log" | head -150
    echo "(full log: $dir.build.log)"
    stage_fail "$name" build
    return 1
  fi
}

run_ctest() { # stage name, test preset, dir
  local name=$1 preset=$2 dir=$3
  local fargs=()
  [ -z "$filter" ] || fargs=(-R "$filter")
  echo "== [$name] test"
  ctest --preset "$preset" --test-dir "$dir" --no-tests=ignore -j"$test_jobs" "${fargs[@]}" 2>&1 | tee "$dir.test.log"
  add_counts "$name" "$dir.test.log"
}

# The native stage runs every test program's cases twice in one process,
# each round in its own random order (GoogleTest reads its flags from the
# environment too): a case that leans on what an earlier one left behind,
# or leaves state that breaks a later one, fails here. The other stages
# keep the written order. A failing order is repeated with the seed the
# program prints ("Randomizing tests' orders with a seed of N"):
# --gtest_shuffle --gtest_repeat=2 --gtest_random_seed=N.
#
# After the tests, when all of them ran (no --tests) and as root, a short
# soak: two minutes, figures in build-native/soak-short/.
stage_native() {
  local dir=$build_root/build-native
  configure_and_build native native "$dir" all || return 0
  GTEST_REPEAT=2 GTEST_SHUFFLE=1 run_ctest native native "$dir"
  [ -z "$filter" ] && [ "$(id -u)" = 0 ] || return 0
  if ! cmake --build "$dir" -j"$jobs" --target soak >"$dir.build-soak.log" 2>&1; then
    cat "$dir.build-soak.log"
    stage_fail native "soak build"
  elif soak_run "$dir" "$dir/soak-short" 2; then
    summary+=("[native] soak of 2 minutes passed ($(tail -n 1 "$dir/soak-short/soak.log"))")
  else
    stage_fail native "soak of 2 minutes"
  fi
}

# The sanitizer builds do not turn warnings into errors: instrumented code
# gives GCC false warnings (maybe-uninitialized in particular), and the
# other stages already hold every file to -Werror.
stage_sanitize() {
  local dir=$build_root/build-sanitize
  configure_and_build sanitize sanitize "$dir" all || return 0
  # The install checks build uninstrumented programs against the installed
  # library: the test preset leaves them to the native stage.
  run_ctest sanitize sanitize "$dir"
}

stage_tsan() {
  # Only the programs labelled "threads" (and what they need) are built.
  local dir=$build_root/build-tsan targets=camsel f n
  for f in tests/test_*.cpp; do
    [ -e "$f" ] || continue
    if grep -qE '^// labels:.*\bthreads\b' "$f"; then
      n=$(basename "$f" .cpp)
      targets+=",$n"
    fi
  done
  configure_and_build tsan tsan "$dir" "$targets" || return 0
  run_ctest tsan tsan "$dir"
}

# Each test program of the ppc stage also leaves its cases' results in
# build-ppc/gtest-results/NAME.xml: the kernel stage's PowerPC guest counts
# the cases it runs against these.
stage_ppc() {
  local dir=$build_root/build-ppc
  configure_and_build ppc board "$dir" all || return 0
  rm -rf "$dir/gtest-results"
  GTEST_OUTPUT="xml:$dir/gtest-results/" run_ctest ppc board "$dir"
}

stage_fuzz() {
  local dir=$build_root/build-fuzz
  configure_and_build fuzz fuzz "$dir" all -DDVRPLAT_FUZZ_SECONDS="$fuzz_seconds" || return 0
  run_ctest fuzz fuzz "$dir"
}

stage_bench() {
  local dir=$build_root/build-bench b status=0
  configure_and_build bench bench "$dir" all || return 0
  echo "== [bench] run"
  for b in "$dir"/bench/bench_*; do
    [ -x "$b" ] && [ -f "$b" ] || continue
    echo "-- $(basename "$b")"
    "$b" || status=1
  done
  if [ "$status" = 0 ]; then summary+=("[bench] ran ($(stage_time))"); else stage_fail bench run; fi
}

# The device layer against a real kernel, real drivers and drives that QEMU
# emulates: the test programs run inside the guests (the host's root is
# their root, read-only). One count per test program.
stage_kernel() {
  if [ "$(id -u)" != 0 ]; then
    echo "== [kernel] skipped: booting the guest with its drives needs root"
    summary+=("[kernel] skipped: needs root")
    return 0
  fi
  if [ "$install" = 1 ]; then
    local pkgs
    pkgs=$(grep -hv '^\s*#' scripts/kernel/packages.txt | tr -s ' \n' ' ')
    echo "== [kernel] installing: $pkgs"
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $pkgs >/dev/null; then
      stage_fail kernel "package installation"
      return 0
    fi
  fi
  # Each guest (scripts/kernel/guests.tab) with the programs of its build:
  # Debian's x86-64 kernel with the native build's, then the board's own
  # PowerPC kernel with the PowerPC build's static programs.
  local passed=0 failed=0 p f lines=() arch preset dir work targets
  # shellcheck source=scripts/kernel/guests-tab.sh
  . scripts/kernel/guests-tab.sh
  for arch in x86 ppc; do
    preset=$(guest_field "$arch" preset)
    dir=$build_root/$(guest_field "$arch" build) work=$build_root/build-kernel-$arch
    targets=$(scripts/kernel/stage.sh "$arch" --programs | tr ' ' ,)
    [ "$targets" = "*" ] && targets=all
    echo "== [kernel] $(guest_field "$arch" name) guest"
    configure_and_build kernel "$preset" "$dir" "$targets" || continue
    scripts/kernel/stage.sh "$arch" "$dir" "$work" "$filter"
    read -r p f <"$work/counts" || { p=0; f=1; }
    passed=$((passed + p)) failed=$((failed + f))
    while IFS= read -r l; do lines+=("$l"); done <"$work/summary"
  done
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  summary+=("[kernel] $passed passed, $failed failed ($(stage_time))" "${lines[@]}")
  [ "$failed" = 0 ] || failed_stages+=(kernel)
}

# The soak: the native build's soak program for MINUTES, its figures in
# OUT/soak.csv, drawn into OUT/soak.png, its report in OUT/soak.log. It
# passes when every failure fell in a window of an injected fault and the
# descriptors, threads, zombies and resident size came back (see
# tests/soak/soak.cpp). soak_run dir out minutes
soak_run() {
  local dir=$1 out=$2 minutes=$3
  mkdir -p "$out"
  echo "== [soak] run ($minutes minutes; figures in $out)"
  local status=0
  "$dir/tests/soak/soak" "$minutes" "$out/soak.csv" 2>&1 | tee "$out/soak.log"
  [ "${PIPESTATUS[0]}" = 0 ] || status=1
  if command -v gnuplot >/dev/null && [ -s "$out/soak.csv" ]; then
    gnuplot <<EOF || true
set terminal png size 1200,900 noenhanced
set output '$out/soak.png'
set datafile separator ','
set key autotitle columnhead outside
set multiplot layout 3,1 title 'soak: $minutes minutes'
set ylabel 'calls/s'
plot '$out/soak.csv' using 1:2 with lines
set ylabel 'failures (cumulative)'
plot for [c=3:12] '$out/soak.csv' using 1:c with lines
set ylabel 'count'
set y2label 'resident kB'
set y2tics
plot '$out/soak.csv' using 1:13 with lines, '' using 1:15 with lines, '' using 1:16 with lines, \
     '' using 1:14 axes x1y2 with lines
unset multiplot
EOF
    echo "== [soak] chart: $out/soak.png"
  fi
  return $status
}

# The soak stage: soak_minutes (10 unless given), the figures beside the
# build unless DVRPLAT_SOAK_DIR names a directory of their own (one a
# rebuild does not touch).
stage_soak() {
  local dir=$build_root/build-native
  local out=${DVRPLAT_SOAK_DIR:-$dir}
  if [ "$(id -u)" != 0 ]; then
    echo "== [soak] skipped: the tmpfs and the servers' port 53 need root"
    summary+=("[soak] skipped: needs root")
    return 0
  fi
  configure_and_build soak native "$dir" soak || return 0
  if soak_run "$dir" "$out" "$soak_minutes"; then
    summary+=("[soak] passed ($(tail -n 1 "$out/soak.log"); $(stage_time))")
    total_passed=$((total_passed + 1))
  else
    stage_fail soak run
  fi
}

for s in "${stages[@]}"; do
  stage_start=$(date +%s)
  "stage_$s"
done

echo
echo "== summary"
for l in "${summary[@]}"; do echo "$l"; done
[ ${#failed_stages[@]} -eq 0 ] || echo "FAILED stages: ${failed_stages[*]}"
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" = 0 ] && [ ${#failed_stages[@]} -eq 0 ]
