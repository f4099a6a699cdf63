#!/usr/bin/env bash
# Builds the decoder fuzz target with clang and runs it for SECONDS (default
# 600) on a seed corpus of raw Deflate members made with Python's zlib.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-600}
build=${ZARVEL_FUZZ_BUILD:-$root/build/fuzz}
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DZARVEL_FUZZ=ON -DZARVEL_SANITIZE=ON \
  -DZARVEL_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" -j2 inflate_fuzz >/dev/null
corpus=$build/inflate-corpus
mkdir -p "$corpus"
python3 - "$corpus" <<'PY'
import os, sys, zlib
out = sys.argv[1]
texts = [b"", b"a", b"hello hello hello hello", bytes(range(256)) * 4, os.urandom(300),
         b"abcabcabcabc" * 50 + b"xyz" * 30]
for i, t in enumerate(texts):
    for level in (0, 1, 6, 9):
        for strategy in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FIXED, zlib.Z_HUFFMAN_ONLY):
            c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
            open(os.path.join(out, f"seed-{i}-{level}-{strategy}"), "wb").write(c.compress(t) + c.flush())
PY
"$build/fuzz/inflate/inflate_fuzz" -max_total_time="$seconds" -max_len=4200 "$corpus"
