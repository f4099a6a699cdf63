#!/usr/bin/env bash
# Runs every cross-compiled test program of a Windows build under Wine and
# counts a program as passed only when GoogleTest itself says so: an exit
# status of 0 alone proves nothing (Wine exits 0 on a program it cannot run).
# Usage: scripts/run-wine-tests.sh BUILD_DIR FIXTURES_DIR
set -uo pipefail
build=$1
fixtures=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
source "$here/wine-path.sh"
ZARVEL_FIXTURES=$(win "$fixtures")
export ZARVEL_FIXTURES
passed=0
failed=0
for exe in "$build"/wine-tests/*.exe; do
  [ -e "$exe" ] || continue
  name=$(basename "$exe" .exe)
  log="$build/wine-tests/$name.log"
  wine "$exe" >"$log" 2>&1
  rc=$?
  if [ $rc -eq 0 ] && grep -q '^\[  PASSED  \]' "$log" && ! grep -q '^\[  FAILED  \]' "$log"; then
    passed=$((passed + 1))
    echo "wine: $name passed ($(grep '^\[  PASSED  \]' "$log" | tr -d '[]' | xargs))"
  else
    failed=$((failed + 1))
    echo "wine: $name FAILED (exit $rc)"
    tail -n 40 "$log"
  fi
done
echo "wine ($build): $passed passed, $failed failed"
[ $failed -eq 0 ] && [ $passed -gt 0 ]
