#!/usr/bin/env bash
# Members past 4 GiB end to end: one 5 GiB file (tests/large/make_input.py) and a small one, packed by `zarvel pack`
# at its fastest level with the x86_64 stub, then read by zarvel, unzip, 7z, Python's zipfile and bsdtar; packed
# stored, so that the small member's header and the central directory lie past 4 GiB (ZIP64 offsets and end record);
# the same file zipped by 7z and read by zarvel; the self-extractor run under 64-bit Wine in a private Xvfb display.
# Every extracted copy must have the input's SHA-256 (taken while the input was written) and its modification time.
# Usage: run-large-tests.sh BUILD_NATIVE BUILD_X86_64 (zarvel, then zarvel-stub.exe and gui/gui_driver.exe). Needs about
# 11 GB free under ZARVEL_LARGE_TMP (default /tmp): the input and the stored archive, then that archive and one
# extracted copy at a time; all of it is removed.
set -uo pipefail
usage="usage: run-large-tests.sh BUILD_NATIVE BUILD_X86_64"
native=$(cd "${1:?$usage}" && pwd) x86_64=$(cd "${2:?$usage}" && pwd) here=$(cd "$(dirname "$0")" && pwd)
zarvel=$native/zarvel stub=$x86_64/zarvel-stub.exe driver=$x86_64/gui/gui_driver.exe
work=$(mktemp -d "${ZARVEL_LARGE_TMP:-/tmp}/zarvel-large.XXXXXX") readers=""
source "$here/../gui/gui-env.sh"
trap '[ -z "$readers" ] || { pkill -P $readers; kill $readers; }; gui_env_stop; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
export TZ=UTC  # DOS times are local: one zone for the packer, the checks and Wine
size=$((5 << 30)) stamp='2019-11-23 07:41:58'  # an even second: DOS times keep seconds in steps of two
in=$work/in sfx=$work/big.exe results=$work/results
mkdir -p "$in" && printf 'zulu\n' >"$in/z.txt"
free=$(df -Pk "$work" | awk 'NR == 2 {print $4}')
[ "$free" -ge $((11 << 20)) ] || { echo "large: FAILED: $((free >> 20)) GB free in $work, 11 needed"; exit 1; }

check() {  # NAME COMMAND...: one line each, the command's output in NAME.log
  if "${@:2}" >"$work/$1.log" 2>&1; then echo "large: $1 passed" | tee -a "$results"
  else echo "large: $1 FAILED" | tee -a "$results" && tail -5 "$work/$1.log" | sed 's/^/    /'; fi
}
digest() { python3 -c 'import hashlib, sys; print(hashlib.file_digest(open(sys.argv[1], "rb"), "sha256").hexdigest())' "$1"; }
same_as_input() {  # DIR: DIR/big.bin has the input's bytes and time, DIR/z.txt its text; then DIR is removed
  local got; got=$(digest "$1/big.bin")
  [ "$got" = "$sha" ] || { echo "big.bin: SHA-256 $got, not $sha"; return 1; }
  [ "$(stat -c %Y "$1/big.bin")" = "$(date -d "$stamp" +%s)" ] || { echo "big.bin: time $(stat -c %y "$1/big.bin")"; return 1; }
  [ ! -e "$1/z.txt" ] || [ "$(cat "$1/z.txt")" = zulu ] || { echo "z.txt: $(cat "$1/z.txt")"; return 1; }
  rm -rf "$1"
}
listed() {  # FILE: zarvel list shows big.bin at its full size
  "$zarvel" list "$1" | grep -E "^ *$size +[0-9]+ Deflate .* big\.bin$"
}
past_4_gib() {  # FILE: z.txt's local header and the directory past 4 GiB, found through the ZIP64 records
  python3 - "$1" <<'PY'
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
assert z.getinfo("z.txt").header_offset > 1 << 32 and z.start_dir > 1 << 32, (z.getinfo("z.txt").header_offset, z.start_dir)
PY
}
python_test() { [ "$(python3 -m zipfile -t "$1")" = "Done testing" ]; }  # it names a bad member but exits 0
bsdtar_lists() { bsdtar -tvf "$1" | grep -E " $size .* big\.bin$"; }
driven() {  # the stub asks before replacing z.txt, right after big.bin: its progress line then reads 100.0%
  local steps=(main "field:$(win "$work/wine")" click:1 "status-has:big.bin " "prompt-has:z.txt"
    "status: Extracting : big.bin 100.0%" answer:1 "box:Zarvel|The files were successfully extracted." exit:0)
  mkdir -p "$work/wine" && printf 'old\n' >"$work/wine/z.txt"
  ZARVEL_DRIVER_LIMIT_MS=240000 timeout 300 wine "$driver" "$(win "$sfx")" "$(win "$work")" -- "${steps[@]}" |
    tr -d '\r' | tee "$work/driver.log" && grep -q '^DRIVER OK' "$work/driver.log"
}

sha=$(python3 "$here/make_input.py" "$in/big.bin" "$size") && touch -d "$stamp" "$in/big.bin" "$in/z.txt"
echo "large: input of $size bytes, SHA-256 $sha"
check pack "$zarvel" pack --level 1 --stub "$stub" -o "$sfx" "$in/big.bin" "$in/z.txt"
check pack_stored "$zarvel" pack --level 0 --stub "$stub" -o "$work/stored.exe" "$in/big.bin" "$in/z.txt"
# The same input zipped by 7z (ZIP64 sizes in the local and central extra fields). Its SHA-256 matching the input's
# proves zarvel's copy byte for byte the same as unzip's would be, so unzip need not extract it too.
check 7z_pack eval '(cd "$in" && 7z a -tzip -mx=1 -mmt=2 "$work/7z.zip" big.bin)'
rm -rf "$in"
# The other readers take turns in the background while zarvel and Wine work (two cores, mostly one thread each).
{ check unzip_test unzip -tq "$sfx"; check 7z_test 7z t "$sfx"; check python_test python_test "$sfx"
  check bsdtar_list bsdtar_lists "$sfx"; } & readers=$!
check zarvel_list listed "$sfx"
check zarvel_test "$zarvel" test "$sfx"
check zarvel_extract eval '"$zarvel" extract "$sfx" -d "$work/own" && same_as_input "$work/own"'
check stored_layout past_4_gib "$work/stored.exe"
check stored_unzip_test unzip -tq "$work/stored.exe" & stored_reader=$!  # beside zarvel, from the same cached pages
check stored_zarvel_extract eval '"$zarvel" extract "$work/stored.exe" -d "$work/stored" && same_as_input "$work/stored"'
wait $stored_reader
rm "$work/stored.exe"
check 7z_zarvel_list listed "$work/7z.zip"
check 7z_zarvel_test "$zarvel" test "$work/7z.zip"
check 7z_zarvel_extract eval '"$zarvel" extract "$work/7z.zip" -d "$work/from7z" && same_as_input "$work/from7z"'
mkdir "$work/env" && gui_env_start "$work/env"
check stub_extract eval 'driven && same_as_input "$work/wine"'
wait $readers
readers=""
echo "large: $(grep -c passed "$results") passed, $(grep -c FAILED "$results") failed in ${SECONDS}s"
! grep -q FAILED "$results"
