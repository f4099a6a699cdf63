#!/usr/bin/env bash
# Leak check of the native unit suite.
#   scripts/leaks.sh lsan      (default) LeakSanitizer through the ASan build
#                              of scripts/sanitize.sh: every test program in
#                              build/asan runs with detect_leaks=1.
#   scripts/leaks.sh valgrind  the plain build's GoogleTest programs under
#                              valgrind --leak-check=full --error-exitcode=1
#                              (slow: a few minutes).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-lsan}
case "$mode" in
  lsan)
    exec bash "$root/scripts/sanitize.sh"
    ;;
  valgrind)
    build=${ZARVEL_NATIVE_BUILD:-$root/build/native}
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    ninja -C "$build" -j2 >/dev/null
    bash "$root/tests/fixtures/make-fixtures.sh" "$build/fixtures" >/dev/null
    export ZARVEL_FIXTURES=$build/fixtures ZARVEL_SOURCE=$root ZARVEL_BUILD=$build
    passed=0
    failed=0
    # Every GoogleTest program ctest knows of (the scripted tests run tools, not leaks of ours).
    while read -r program; do
      [ -x "$program" ] || continue
      name=$(basename "$program")
      if valgrind -q --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=1 \
           "$program" >"$build/$name.valgrind.log" 2>&1; then
        passed=$((passed + 1))
        echo "valgrind: $name clean"
      else
        failed=$((failed + 1))
        echo "valgrind: $name FAILED"
        grep -m1 -B2 -A20 'definitely lost\|Invalid\|uninitialised' "$build/$name.valgrind.log" || tail -n 30 "$build/$name.valgrind.log"
      fi
    done < <(find "$build/tests" -type f -perm -u+x -name '*_test' | sort)
    echo "valgrind: $passed passed, $failed failed"
    [ $failed -eq 0 ]
    ;;
  *)
    echo "usage: leaks.sh [lsan|valgrind]" >&2
    exit 2
    ;;
esac
