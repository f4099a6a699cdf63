#!/usr/bin/env bash
# Extraction of one 5 GiB member: time and resident memory over the run for `zarvel extract`, unzip, 7z and the x86_64
# stub under 64-bit Wine (large.py prints the table). The input is the large test suite's (tests/large/make_input.py:
# random blocks repeated, so the archive is small and the time goes to decoding and writing), packed by `zarvel pack
# --level 1` into a self-extractor. Everything is made anew under ZARVEL_BENCH_TMP (default /tmp) and removed at the
# end: about 11 GB at the peak. A run takes about five minutes.
# Usage: bench/extract/large.sh [BUILD_NATIVE [BUILD_X86_64]] [--runs N] (default build/native, build/x86_64).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd) root=$(cd "$(dirname "$0")/../.." && pwd)
native=$root/build/native x86_64=$root/build/x86_64
[ $# -gt 0 ] && [[ $1 != --* ]] && native=$1 && shift
[ $# -gt 0 ] && [[ $1 != --* ]] && x86_64=$1 && shift
work=$(mktemp -d "${ZARVEL_BENCH_TMP:-/tmp}/zarvel-bench-large.XXXXXX")
source "$root/tests/gui/gui-env.sh"
trap 'gui_env_stop || true; rm -rf "$work"' EXIT  # set -e would end the trap at its first failure
python3 "$root/tests/large/make_input.py" "$work/big.bin" $((5 << 30)) >/dev/null
"$native/zarvel" pack --level 1 --stub "$x86_64/zarvel-stub.exe" -o "$work/big.exe" "$work/big.bin" >/dev/null
rm "$work/big.bin"
mkdir "$work/env" && gui_env_start "$work/env"
ZARVEL_DRIVER_LIMIT_MS=600000 python3 "$here/large.py" "$native/zarvel" "$work/big.exe" "$work" \
  --driver "$x86_64/gui/gui_driver.exe" "$@"
