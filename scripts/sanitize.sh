#!/usr/bin/env bash
# Builds the native unit suite with AddressSanitizer, UndefinedBehaviorSanitizer
# and LeakSanitizer (clang when present, else gcc) in build/asan and runs it
# through ctest. Any report fails the run: UBSan does not recover, and the
# leak check is on, so a leak fails the test program that made it.
# Usage: scripts/sanitize.sh [extra ctest arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZARVEL_ASAN_BUILD:-$root/build/asan}
if command -v clang++ >/dev/null; then
  export CC=clang CXX=clang++
fi
# The release stub, where it is built, goes into zarvel as in the native build.
stub=$root/build/i686/zarvel-stub.exe embed=()
[ -f "$stub" ] && embed=(-DZARVEL_EMBED_STUB="$stub")
cmake -S "$root" -B "$build" -G Ninja -DZARVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "${embed[@]}" >/dev/null
ninja -C "$build" -j2 >/dev/null
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=${LSAN_OPTIONS:-}
ctest --test-dir "$build" --output-on-failure -j2 "$@"
