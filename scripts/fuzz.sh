#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan on, in build/fuzz)
# and runs each for SECONDS (default 60): the archive reader with the whole
# engine on the committed seed corpus of real archives (fuzz/corpus), the
# decoder on raw Deflate members made here with Python's zlib. New inputs go
# to a working corpus in the build folder, never into the repository; a
# crash, leak or hang leaves its input in build/fuzz/artifacts/TARGET/.
# FUZZ_JOBS=2 runs two targets at once (never more on this machine);
# FUZZ_TARGETS limits the run ("engine inflate" by default).
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${ZARVEL_FUZZ_BUILD:-$root/build/fuzz}
targets=${FUZZ_TARGETS:-engine inflate}
jobs=${FUZZ_JOBS:-1}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DZARVEL_FUZZ=ON -DZARVEL_SANITIZE=ON \
  -DZARVEL_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
for t in $targets; do ninja -C "$build" -j2 "${t}_fuzz" >/dev/null; done

seed() {  # seed TARGET DIR
  mkdir -p "$2"
  if [ "$1" = inflate ]; then
    python3 - "$2" <<'PY'
import os, random, sys, zlib
out = sys.argv[1]
rng = random.Random(5)
texts = [b"", b"a", b"hello hello hello hello", bytes(range(256)) * 4,
         bytes(rng.randrange(256) for _ in range(300)), b"abcabcabcabc" * 50 + b"xyz" * 30]
for i, t in enumerate(texts):
    for level in (0, 1, 6, 9):
        for strategy in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FIXED, zlib.Z_HUFFMAN_ONLY):
            c = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
            with open(os.path.join(out, f"seed-{i}-{level}-{strategy}"), "wb") as f:
                f.write(c.compress(t) + c.flush())
PY
  else
    cp "$root"/fuzz/corpus/* "$2"/
  fi
}

run() {  # run TARGET: prints one summary line, returns libFuzzer's status
  local t=$1 corpus=$build/corpus/$1 artifacts=$build/artifacts/$1 log=$build/fuzz-$1.log
  seed "$t" "$corpus"
  mkdir -p "$artifacts"
  local maxlen=8192
  [ "$t" = inflate ] && maxlen=4200
  local status=0
  nice "$build/fuzz/$t/${t}_fuzz" -max_total_time="$seconds" -max_len=$maxlen -timeout=20 \
    -rss_limit_mb=1024 -dict="$root/fuzz/dict/zip.dict" -artifact_prefix="$artifacts/" \
    -print_final_stats=1 "$corpus" >"$log" 2>&1 || status=$?
  local execs
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  if [ $status -eq 0 ]; then
    echo "fuzz: $t passed ($execs runs in ${seconds}s, corpus $(ls "$corpus" | wc -l))"
  else
    echo "fuzz: $t FAILED (status $status, $execs runs); log $log, inputs in $artifacts"
    grep -m1 -A12 'ERROR\|==ERROR\|deadly signal\|timeout' "$log" || tail -n 20 "$log"
  fi
  return $status
}

failed=0
passed=0
pids=()
for t in $targets; do
  if [ "$jobs" -ge 2 ]; then
    run "$t" & pids+=($!)
    if [ ${#pids[@]} -ge "$jobs" ]; then
      if wait "${pids[0]}"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
      pids=("${pids[@]:1}")
    fi
  elif run "$t"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
for p in "${pids[@]}"; do
  if wait "$p"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
