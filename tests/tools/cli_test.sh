#!/usr/bin/env bash
# zarvel list, test, extract and info on tool-made archives: output, messages
# that name the member and the reason, and exit statuses.
# Usage: cli_test.sh ZARVEL FIXTURES_DIR
set -u
zarvel=$1
fixtures=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

check() {  # check DESCRIPTION COMMAND...: the command must succeed
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
run() {  # run EXPECTED_STATUS ARGS...: runs zarvel, keeps stdout and stderr
  local expected=$1
  shift
  "$zarvel" "$@" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "zarvel $*: exit $status, expected $expected"; cat "$work/err"
    return 1
  fi
}
has() { grep -qF -- "$1" "$work/$2"; }

basic=$fixtures/archive/basic.exe
members=$fixtures/engine/members.zip

# list: every member, its method, size, CRC and time; self-extractor and plain ZIP.
check "list a self-extractor" run 0 list "$basic"
check "list shows names and sizes" has "docs/deep/zeros.bin" out
check "list shows method, time and CRC" has "13 Stored  2021-06-15 13:45:30 f4247453  readme.txt" out
check "list a plain ZIP" run 0 list "$members"
check "list counts members" has "4 members" out
check "list of a file with no archive fails" run 1 list "$fixtures/archive/nothing-appended.exe"
check "the reason is the code and its meaning" has "error 9966 (no end of central directory record)" err

# info: the configuration block and a summary.
check "info" run 0 info "$basic"
check "info shows the default directory" has 'C:\Program Files\Demo' out
check "info shows the command" has "setup.exe /quiet" out
check "info of a plain ZIP" run 0 info "$members"
check "a plain ZIP has no block" has "none (a plain ZIP archive)" out

# test: decodes everything, writes nothing; damage is reported per member.
check "test passes" run 0 test "$members"
python3 - "$members" "$work/crc.zip" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
end = data.rfind(b"PK\x05\x06")
central = struct.unpack("<I", data[end + 16:end + 20])[0]
data[central + 16] ^= 0xFF  # the first member's CRC
open(sys.argv[2], "wb").write(bytes(data))
PY
check "test finds a CRC mismatch" run 1 test "$work/crc.zip"
check "the member and the reason are named" has "stored.bin: error 19962 (CRC mismatch)" err
check "test reports unsafe names" run 1 test "$fixtures/engine/hostile.zip"
check "unsafe names are named" has "../evil.txt: error 19963" err
check "control characters are not printed raw" has "bell?.txt" err
check "test wrote nothing" test -z "$(ls -A "$work" | grep -v -e out -e err -e crc.zip)"

# extract: into -d, refusing to replace unless told.
check "extract" run 0 extract "$members" -d "$work/x"
check "extracted file" cmp -s <(printf 'nested\n%.0s' 1 2 3 4 5 6 7 8 9 10) "$work/x/a/b/c/nested.txt"
check "recorded time set" test "$(date -r "$work/x/text/deflated.txt" '+%Y-%m-%d %H:%M:%S')" = "2019-07-04 21:30:58"
echo changed > "$work/x/empty.txt"
check "existing files are refused by default" run 1 extract "$members" -d "$work/x"
check "and the refusal is said" has "empty.txt: exists, not replaced" err
check "the existing file is untouched" test "$(cat "$work/x/empty.txt")" = changed
check "--skip-existing" run 0 extract "$members" -d "$work/x" --skip-existing
check "--skip-existing keeps the file" test "$(cat "$work/x/empty.txt")" = changed
check "--overwrite" run 0 extract "$members" -d "$work/x" --overwrite
check "--overwrite replaces" test ! -s "$work/x/empty.txt"
check "both policies at once are refused" run 2 extract "$members" --overwrite --skip-existing
(cd "$work" && mkdir cwd && cd cwd && "$zarvel" extract "$fixtures/engine/dotfiles.zip" >/dev/null)
check "-d defaults to the current directory" test -f "$work/cwd/.gitignore"
check "empty folders appear" run 0 extract "$fixtures/engine/dirs-only.zip" -d "$work/dirs"
check "folder made" test -d "$work/dirs/d1/d2"
check "hostile archive fails" run 1 extract "$fixtures/engine/hostile.zip" -d "$work/h/target"
check "nothing outside the target" test "$(cd "$work/h" && find . | sort | tr '\n' ' ')" = ". ./target ./target/good.txt "

# help for each command, and usage errors.
for c in list test extract info; do
  check "$c --help" run 0 "$c" --help
  check "$c --help says usage" has "usage: zarvel $c" out
done
check "no command" run 2
check "unknown command" run 2 frobnicate

echo "cli: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
