#!/usr/bin/env bash
# Benchmark of `zarvel pack` against `zip -9 -r` and `7z a -tzip -mx=9` on one
# mixed corpus: about 8,000 files and 150 MB of headers (text), files from
# /usr/share (documents, data, images) and shared libraries (binaries), copied
# into a temporary folder in a fixed order, so every run packs the same tree.
# Goal: smaller than zip -9 and faster than it (wall time).
#
# usage: bench/pack/run.sh [BUILD_DIR] [LEVEL...]
#   BUILD_DIR  holds the zarvel binary, with a stub built in (default build/native)
#   LEVEL      extra --level values to time besides the default
# Environment: ZARVEL_BENCH_CORPUS=DIR reuses (or keeps) the corpus there.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build/native}
shift || true
zarvel=$(cd "$build" && pwd)/zarvel
[ -x "$zarvel" ] || { echo "no zarvel binary in $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
corpus=${ZARVEL_BENCH_CORPUS:-$work/corpus}

# Regular files with plain names, in sorted order, until each source's share
# of the corpus is reached. Names are limited to what every tool and the
# stub accept.
pick() {  # SOURCE MAX_FILES MAX_BYTES MAX_FILE_BYTES [find filters...]
  local source=$1 maxFiles=$2 maxBytes=$3 maxFile=$4
  shift 4
  { find "$source" -type f -size -"$maxFile"c "$@" -printf '%p\t%s\n' 2>/dev/null || true; } |
    LC_ALL=C sort | awk -F '\t' -v maxFiles="$maxFiles" -v maxBytes="$maxBytes" '
      $1 !~ /^[A-Za-z0-9\/._+-]+$/ || $1 ~ /\/\.|\.\/|\.$/ || length($1) > 180 { next }
      full || n >= maxFiles || total + $2 > maxBytes { full = 1; next }
      { n++; total += $2; print $1 }'
}

if [ ! -d "$corpus/usr" ]; then
  echo "building the corpus in $corpus ..."
  mkdir -p "$corpus"
  {
    pick /usr/include 3500 45000000 2000000
    pick /usr/share 3700 40000000 4000000 -not -path '*/mime/*'
    pick /usr/lib 1000 92000000 8000000 -name '*.so*'
  } > "$work/list"
  (cd / && tr '\n' '\0' < "$work/list" | sed 's|\x00/|\x00|g; s|^/||' |
     xargs -0 cp --parents --preserve=timestamps -t "$corpus")
fi
files=$(find "$corpus" -type f | wc -l)
bytes=$(find "$corpus" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
echo "corpus: $files files, $bytes bytes, $(nproc) cores"

measure() {  # LABEL OUTPUT COMMAND...
  local label=$1 output=$2
  shift 2
  rm -f "$output"
  local start end
  start=$(date +%s.%N)
  (cd "$corpus" && "$@" >/dev/null 2>&1)
  end=$(date +%s.%N)
  printf '%-28s %12d bytes  %7.2f s  %6.2f%%\n' "$label" "$(stat -c %s "$output")" \
    "$(echo "$end - $start" | bc)" "$(echo "100 * $(stat -c %s "$output") / $bytes" | bc -l)"
}

measure "zip -9 -r" "$work/zip9.zip" zip -q -9 -r "$work/zip9.zip" usr
if command -v 7z >/dev/null; then
  measure "7z a -tzip -mx=9" "$work/7z.zip" 7z a -tzip -mx=9 "$work/7z.zip" usr
fi
measure "zarvel pack (default)" "$work/zarvel.exe" "$zarvel" pack -o "$work/zarvel.exe" usr
measure "zarvel pack --jobs 1" "$work/zarvel1.exe" "$zarvel" pack --jobs 1 -o "$work/zarvel1.exe" usr
cmp -s "$work/zarvel.exe" "$work/zarvel1.exe" && echo "jobs 1 and default: byte-identical" || echo "jobs 1 and default: DIFFERENT"
for level in "$@"; do
  measure "zarvel pack --level $level" "$work/zarvel-l$level.exe" \
    "$zarvel" pack --level "$level" -o "$work/zarvel-l$level.exe" usr
done
