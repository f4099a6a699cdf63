#!/usr/bin/env bash
# Extraction speed of `zarvel extract` (release build) against unzip, 7z and
# bsdtar on three archives made by `zip -6 -r`: one 200 MB file, about 8,000
# mixed files from /usr, and 20,000 small generated files. The corpora and
# archives are built once under /tmp (ZARVEL_BENCH_WORK) and kept for reruns;
# delete that folder to rebuild them. A full run takes a few minutes.
# Usage: bench/extract/run.sh [--runs N] [--only zarvel,unzip,...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${ZARVEL_BENCH_BUILD:-$root/build/extract-release}
work=${ZARVEL_BENCH_WORK:-/tmp/zarvel-bench-extract}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZARVEL_TESTS=OFF >/dev/null
ninja -C "$build" -j2 zarvel >/dev/null

mkdir -p "$work"
if [ ! -e "$work/archives.done" ]; then
  echo "building the corpora and archives in $work (once)..." >&2
  python3 "$here/make_corpus.py" "$work/corpus"
  rm -f "$work"/*.zip
  for name in big mixed small; do
    (cd "$work/corpus/$name" && zip -6 -r -q "$work/$name.zip" .)
  done
  touch "$work/archives.done"
fi
python3 "$here/compare.py" "$build/zarvel" "$work" "$@"
