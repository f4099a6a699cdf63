#!/usr/bin/env bash
# Builds the decoder benchmark in release mode and runs it.
# Usage: bench/inflate/run.sh [--size-mb N] [--rounds N] [--round-seconds S]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${ZARVEL_BENCH_BUILD:-$root/build/bench-release}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZARVEL_TESTS=OFF >/dev/null
ninja -C "$build" -j2 inflate_bench >/dev/null
"$build/bench/inflate/inflate_bench" "$@"
