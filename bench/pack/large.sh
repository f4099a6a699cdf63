#!/usr/bin/env bash
# Benchmark of `zarvel pack` on one large file against `zip -9`: wall time,
# output size and peak resident memory. Goals: at most 512 MiB resident
# whatever the size, every core busy on the one file (default jobs faster
# than --jobs 1), the same bytes whatever the number of threads.
#
# The file is real data, not zeros: files from /usr/lib and /usr/share
# concatenated into a base of 256 MiB, then copies of the base, each rotated
# by a different number of bytes, until SIZE_MIB. Deflate sees 32 KiB back,
# so the copies compress like fresh data of the same kind.
#
# usage: bench/pack/large.sh [BUILD_DIR] [SIZE_MIB]
#   BUILD_DIR  holds the zarvel binary, with a stub built in (default build/native)
#   SIZE_MIB   size of the file (default 3072)
# Needs about four times SIZE_MIB free in $TMPDIR (default /tmp).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build/native}
size=$((${2:-3072} << 20))
zarvel=$(cd "$build" && pwd)/zarvel
[ -x "$zarvel" ] || { echo "no zarvel binary in $build" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
base=$((256 << 20))
mkdir "$work/in"
echo "building a file of $size bytes in $work ..."
{ find /usr/lib /usr/share -type f -size -8M -print0 2>/dev/null | LC_ALL=C sort -z |
    xargs -0 cat 2>/dev/null || true; } | head -c "$base" > "$work/base"
{
  for ((copy = 0; copy * base < size; copy++)); do
    shift_by=$((copy * 7919 % base))
    tail -c +$((shift_by + 1)) "$work/base"
    head -c "$shift_by" "$work/base"
  done || true
} | head -c "$size" > "$work/in/large.bin"
rm "$work/base"
echo "file: $(stat -c %s "$work/in/large.bin") bytes, $(nproc) cores"

measure() {  # LABEL OUTPUT COMMAND...
  local label=$1 output=$2
  shift 2
  rm -f "$output"
  (cd "$work/in" && /usr/bin/time -f '%e %M %P' -o "$work/time" "$@" >/dev/null)
  read -r seconds kib cpu < "$work/time"
  printf '%-24s %12d bytes  %7.1f s  %5s CPU  %6d MiB resident\n' "$label" "$(stat -c %s "$output")" "$seconds" \
    "$cpu" $((kib >> 10))
}

measure "zarvel pack (default)" "$work/zarvel.exe" "$zarvel" pack -o "$work/zarvel.exe" large.bin
measure "zarvel pack --jobs 1" "$work/zarvel1.exe" "$zarvel" pack --jobs 1 \
  -o "$work/zarvel1.exe" large.bin
cmp -s "$work/zarvel.exe" "$work/zarvel1.exe" && echo "jobs 1 and default: byte-identical" ||
  echo "jobs 1 and default: DIFFERENT"
rm "$work/zarvel1.exe"
"$zarvel" test "$work/zarvel.exe" | tail -1
rm "$work/zarvel.exe"
measure "zip -9" "$work/zip9.zip" zip -q -9 "$work/zip9.zip" large.bin
