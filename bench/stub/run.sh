#!/usr/bin/env bash
# The stub's speed. First its decoder: the decoder benchmark built as the stub
# builds the core (bench/inflate, inflate_bench_stub) against the tool's build,
# natively, on the same inputs (goal: the stub's time within 1.2 x the tool's).
# Then the real stub under 64-bit Wine (the x86_64 build; 32-bit Wine does not
# run everywhere) against `zarvel extract`, unzip and 7z on the same
# self-extractors, made by `zarvel pack`: one 300 MB file and 5,000 small
# files (goal: within 2.5 x zarvel on the 300 MB file), and a self-extractor
# of one tiny file, whose time is the stub's start under Wine and the driver's
# polling (every 50 ms here), to be taken off the others. The corpora are kept in
# ZARVEL_BENCH_WORK for reruns. Needs scripts/build-all.sh native x86_64 first.
# Usage: bench/stub/run.sh [--runs N]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=${ZARVEL_BENCH_WORK:-/tmp/zarvel-bench-stub}
zarvel=$root/build/native/zarvel stub=$root/build/x86_64/zarvel-stub.exe driver=$root/build/x86_64/gui/gui_driver.exe
for f in "$zarvel" "$stub" "$driver"; do [ -f "$f" ] || { echo "missing $f: run scripts/build-all.sh" >&2; exit 2; }; done

echo "== decoder: the stub's build against the tool's (MB/s, natively)"
build=${ZARVEL_BENCH_BUILD:-$root/build/bench-release}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZARVEL_TESTS=OFF >/dev/null
ninja -C "$build" -j2 inflate_bench inflate_bench_stub >/dev/null
speeds() { "$build/bench/inflate/$1" --ours-only --size-mb 32 --rounds 5 | awk 'NR > 2 {print $1 "/" $2, $5}'; }
join <(speeds inflate_bench) <(speeds inflate_bench_stub) | awk '
  { ratio = $2 / $3; total += log(ratio); n++; printf "%-14s tool %7.1f  stub %7.1f  stub time / tool time %.2f\n", $1, $2, $3, ratio }
  END { printf "geometric mean of stub time / tool time: %.2f (goal at most 1.2)\n", exp(total / n) }'

echo "== the stub under Wine against zarvel extract, unzip and 7z"
if [ ! -e "$work/corpus.done" ]; then
  echo "building the corpora in $work (once)..." >&2
  python3 "$root/bench/extract/make_corpus.py" "$work/corpus" big=300 small=5000 only=big,small
  mkdir -p "$work/corpus/tiny" && echo tiny >"$work/corpus/tiny/tiny.txt" && touch "$work/corpus.done"
fi
for name in big small tiny; do  # packed again whenever the stub is newer
  [ "$work/$name.exe" -nt "$stub" ] || "$zarvel" pack -o "$work/$name.exe" --stub "$stub" "$work/corpus/$name" >/dev/null
done
source "$root/tests/gui/gui-env.sh"
wine_work=$(mktemp -d /tmp/zarvel-bench-wine.XXXXXX)  # a display and a fresh prefix, gone at the end
trap 'gui_env_stop || true; rm -rf "$wine_work"' EXIT  # set -e would end the trap early
gui_env_start "$wine_work"
ZARVEL_DRIVER_POLL_MS=50 python3 "$root/bench/extract/compare.py" "$zarvel" "$work" --only stub,zarvel,unzip,7z \
  --stub-driver "$driver" --cases "tiny.exe=start-up: one tiny file;big.exe=one 300 MB file;small.exe=5,000 small files" "$@"
