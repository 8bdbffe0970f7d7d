#!/usr/bin/env bash
# Runs the whole test suite: installs what it needs, builds and runs every
# configuration. Usage:
#   scripts/test.sh [--no-install] [--jobs N] [STAGE ...]
# Stages (default: all): native sanitize tsan ppc fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

install=1
jobs=$(nproc)
stages=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-install) install=0 ;;
    --jobs) jobs=$2; shift ;;
    -h|--help) sed -n '2,6p' "$0"; exit 0 ;;
    native|sanitize|tsan|ppc|fuzz) stages+=("$1") ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done
[ ${#stages[@]} -gt 0 ] || stages=(native sanitize tsan ppc fuzz)

if [ "$install" = 1 ]; then
  if [ "$(id -u)" = 0 ]; then
    pkgs=$(grep -hv '^\s*#' scripts/packages.txt | tr -s ' \n' ' ')
    echo "== installing: $pkgs"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $pkgs >/dev/null
  else
    echo "== not root: skipping package installation"
  fi
fi

# Services the tests use are started by their own fixtures; this hook is
# for anything that must run before any test.
if [ -x scripts/services.sh ]; then
  scripts/services.sh
fi

failed=()
summary=()
run_stage() { # name, build dir, cmake args..., then "--" and ctest args
  local name=$1 dir=$2; shift 2
  local cargs=() targs=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do cargs+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  targs=("$@")
  echo "== [$name] configure"
  cmake -S "$top" -B "$dir" -DDVRPLAT_WERROR=ON "${cargs[@]}" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; failed+=("$name"); return; }
  grep 'dvrplat:' "$dir.configure.log" || true
  echo "== [$name] build"
  if ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
    tail -50 "$dir.build.log"; failed+=("$name"); return
  fi
  echo "== [$name] test"
  if ctest --test-dir "$dir" --output-on-failure -j"$jobs" "${targs[@]}" 2>&1 | tee "$dir.test.log"; then
    :
  fi
  local line
  line=$(grep -E 'tests passed|No tests were found' "$dir.test.log" | tail -1)
  summary+=("[$name] $line")
  grep -q '100% tests passed' "$dir.test.log" || failed+=("$name")
}

for s in "${stages[@]}"; do
  case "$s" in
    native) run_stage native build-native -DCMAKE_BUILD_TYPE=RelWithDebInfo -- ;;
    sanitize) [ -x scripts/stage-sanitize.sh ] && source scripts/stage-sanitize.sh ;;
    tsan) [ -x scripts/stage-tsan.sh ] && source scripts/stage-tsan.sh ;;
    ppc) [ -x scripts/stage-ppc.sh ] && source scripts/stage-ppc.sh ;;
    fuzz) [ -x scripts/stage-fuzz.sh ] && source scripts/stage-fuzz.sh ;;
  esac
done

echo
echo "== summary"
for l in "${summary[@]}"; do echo "$l"; done
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED stages: ${failed[*]}"
  exit 1
fi
echo "all stages passed"
