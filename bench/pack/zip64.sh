#!/usr/bin/env bash
# Benchmark of `zarvel pack` past 4 GiB: one file of SIZE_MIB (default 6 GiB),
# a 3 KiB random block repeated, so that the file is varied data to the
# compressor yet the archive stays small. The member needs ZIP64 sizes.
# Reports wall time, peak resident memory (goal: under 512 MiB, the bound at
# the top of tools/pack_compress.cpp, however large the file) and the
# archive's size, then tests the archive with unzip.
#
# usage: bench/pack/zip64.sh [BUILD_DIR] [SIZE_MIB] [LEVEL]
#   BUILD_DIR  holds the zarvel binary, with a stub built in (default build/native)
#   SIZE_MIB   size of the file (default 6144)
#   LEVEL      --level (default: the packer's own)
# Needs SIZE_MIB free in $TMPDIR (default /tmp).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build/native}
size=$((${2:-6144} << 20))
level=${3:+--level $3}
zarvel=$(cd "$build" && pwd)/zarvel
[ -x "$zarvel" ] || { echo "no zarvel binary in $build" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/in"
echo "building a file of $size bytes in $work ..."
python3 - "$work/in/large.bin" "$size" <<'EOF'
import random, sys
block = random.Random(3).randbytes(3 << 10)
chunk = block * ((8 << 20) // len(block))
left = int(sys.argv[2])
with open(sys.argv[1], "wb") as out:
    while left > 0:
        left -= out.write(chunk[:left])
EOF
echo "file: $(stat -c %s "$work/in/large.bin") bytes, $(nproc) cores"

# shellcheck disable=SC2086  # $level is empty or two words
(cd "$work/in" && /usr/bin/time -v -o "$work/time" "$zarvel" pack $level -o "$work/out.exe" large.bin >/dev/null)
seconds=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' "$work/time")
kib=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time")
printf 'zarvel pack %-10s %8.1f s  %6d MiB resident  %12d bytes out\n' "${level:-(default)}" "$seconds" \
  $((kib >> 10)) "$(stat -c %s "$work/out.exe")"
unzip -tq "$work/out.exe"
