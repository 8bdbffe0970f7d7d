# shellcheck shell=bash
# Sourced by the kernel stage's guest scripts: reads what the guest left
# in RESULTS_DIR (NAME.log, NAME.status) for each program, prints one line
# per program (and the output of a failed one) and sets $passed and
# $failed, one count per program.
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
