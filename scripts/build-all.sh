#!/usr/bin/env bash
# Builds the three builds from the same sources:
#   build/native   Linux: core, zarvel tool, unit tests, benchmarks
#   build/i686     32-bit Windows: the release stub, and the core's tests for
#                  32-bit Wine
#   build/x86_64   64-bit Windows: the stub and the core's tests for Wine
# The i686 build comes first: its stub is built into the native zarvel tool
# as the default stub of `zarvel pack`.
# Usage: scripts/build-all.sh [i686|native|x86_64 ...]   (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(i686 native x86_64)
jobs=$(nproc)
for t in "${targets[@]}"; do
  case "$t" in
    native) args=(-DZARVEL_EMBED_STUB="$PWD/build/i686/zarvel-stub.exe") ;;
    i686) args=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake) ;;
    x86_64) args=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-mingw.cmake) ;;
    *) echo "build-all: unknown build '$t'" >&2; exit 2 ;;
  esac
  echo "== build $t"
  cmake -S . -B "build/$t" -G Ninja -DCMAKE_BUILD_TYPE=Release "${args[@]}" >/dev/null
  cmake --build "build/$t" -j "$jobs"
done
