#!/usr/bin/env bash
# End-to-end tests of the self-extractor stub: real self-extractors (stub,
# configuration block, a ZIP made by `zip`, offsets fixed by `zip -A`) run
# under 64-bit Wine inside a private Xvfb display and are worked by
# gui_driver.exe. Each test then checks the files on disk. Screenshots of the
# main dialog, the replace prompt and the browser land in OUTDIR/shots.
#
# Usage: run-gui-tests.sh BUILD_DIR [OUTDIR]
#   BUILD_DIR: a Windows build (x86_64) holding zarvel-stub.exe and gui/.
# Prints "gui (x86_64 under Wine): N passed, M failed". The i686 stub runs the
# same tests only when 32-bit Wine really runs a 32-bit program here
# (I686_BUILD_DIR names its build).
set -uo pipefail
build=$(cd "${1:?usage: run-gui-tests.sh BUILD_DIR [OUTDIR]}" && pwd)
out=${2:-$build/gui-results}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
driver=$build/gui/gui_driver.exe
record=$build/gui/record_start.exe
for f in "$build/zarvel-stub.exe" "$driver" "$record"; do
  [ -f "$f" ] || { echo "gui: missing $f (build the Windows targets first)"; exit 1; }
done
mkdir -p "$out/shots" "$out/logs"
rm -f "$out"/shots/* "$out"/logs/*
work=$(mktemp -d /tmp/zarvel-gui.XXXXXX)

# --- Display and Wine -------------------------------------------------------
source "$here/gui-env.sh"
watcher_pid=""
cleanup() {
  [ -n "$watcher_pid" ] && kill "$watcher_pid" 2>/dev/null
  gui_env_stop
  rm -rf "$work"
}
trap cleanup EXIT
gui_env_start "$work"

# Screenshots on request: the driver writes NAME.ready and waits for NAME.taken.
shots=$out/shots
export ZARVEL_SHOTS
ZARVEL_SHOTS=$(win "$shots")
(
  while true; do
    for ready in "$shots"/*.ready; do
      [ -e "$ready" ] || continue
      name=$(basename "$ready" .ready)
      sleep 0.3
      import -window root "$shots/$name.png" 2>/dev/null
      rm -f "$ready"
      touch "$shots/$name.taken"
    done
    sleep 0.1
  done
) &
watcher_pid=$!

# --- Helpers -----------------------------------------------------------------
stub=$build/zarvel-stub.exe
arch_label="x86_64"
sample=$work/sample
mkdir -p "$sample/sub"
printf 'alpha\n' >"$sample/a.txt"
printf 'bravo bravo\n' >"$sample/sub/b.txt"
head -c 200000 /dev/urandom >"$sample/sub/noise.bin"
cp "$record" "$sample/record.exe"
touch -d '2021-03-04 05:06:08' "$sample/a.txt" "$sample/sub/b.txt" "$sample/sub/noise.bin"
big=$work/big
mkdir -p "$big"
head -c 48000000 /dev/urandom >"$big/big.bin"
printf 'zulu\n' >"$big/z.txt"
printf 'alpha\n' >"$big/a.txt"

# fresh NAME: a test directory; sets $t
fresh() { t=$work/$1; rm -rf "$t"; mkdir -p "$t/out"; }
# sfx SOURCE [DIR [COMMAND [ZIP_OPTIONS]]]: makes $t/pkg.exe
sfx() { bash "$here/make-sfx.sh" "$stub" "$t/pkg.exe" "$@"; }
# drive NAME STEP...: runs the driver on $t/pkg.exe from $t; true on DRIVER OK
drive() {
  local name=$1; shift
  local log=$out/logs/$name.log
  timeout 180 wine "$driver" "$(win "$t/pkg.exe")" "$(win "$t")" -- "$@" >"$log" 2>&1
  grep -q '^DRIVER OK' "$log" || { echo "    driver: $(grep -m1 '^FAIL' "$log" || tail -n 3 "$log")"; return 1; }
}
same_tree() { diff -r "$1" "$2" >/dev/null || { echo "    trees differ: $(diff -rq "$1" "$2" | head -3)"; return 1; }; }
same_time() {
  [ "$(stat -c %Y "$1")" = "$(stat -c %Y "$2")" ] || { echo "    time of $2 differs from $1"; return 1; }
}
# Files written by Windows programs may end their lines in CR LF.
content() {
  local text
  text=$(tr -d '\r' <"$1" 2>/dev/null)
  [ "$text" = "$2" ] || { echo "    $1 holds '$text', not '$2'"; return 1; }
}
absent() { [ ! -e "$1" ] || { echo "    $1 exists"; return 1; }; }

# --- Tests -------------------------------------------------------------------
test_extract_to_new_directory() {
  fresh extract_new && sfx "$sample" || return 1
  drive extract_new main shot:main "field:$(win "$t/out/new/deeper")" click:1 \
    "status:pkg.exe successfully extracted." \
    "box:Zarvel|The files were successfully extracted." exit:0 || return 1
  same_tree "$sample" "$t/out/new/deeper" &&
    same_time "$sample/a.txt" "$t/out/new/deeper/a.txt" &&
    same_time "$sample/sub/b.txt" "$t/out/new/deeper/sub/b.txt"
}

test_configured_directory_is_proposed() {
  fresh configured && sfx "$sample" "$(win "$t/out/conf")" || return 1
  drive configured main "expect-field:$(win "$t/out/conf")" click:1 \
    "box:Zarvel|The files were successfully extracted." exit:0 || return 1
  same_tree "$sample" "$t/out/conf"
}

test_empty_configuration_proposes_own_directory() {
  fresh own_dir && sfx "$sample" || return 1
  drive own_dir main "expect-field:$(win "$t")\\" close-main exit:0
}

prompt_text() { printf 'In the directory %s\\ exists already a file \n%s. Replace the file ?' "$(win "$t/out")" "$1"; }

test_replace_yes() {
  fresh replace_yes && sfx "$sample" || return 1
  printf 'old\n' >"$t/out/a.txt"
  drive replace_yes main "field:$(win "$t/out")" click:1 "prompt:$(prompt_text a.txt)" shot:prompt \
    answer:1 "box:Zarvel|The files were successfully extracted." exit:0 || return 1
  content "$t/out/a.txt" alpha && same_time "$sample/a.txt" "$t/out/a.txt"
}

test_replace_no() {
  fresh replace_no && sfx "$sample" || return 1
  printf 'old\n' >"$t/out/a.txt"
  drive replace_no main "field:$(win "$t/out")" click:1 "prompt:$(prompt_text a.txt)" answer:7 \
    "status:pkg.exe successfully extracted." "box:Zarvel|The files were successfully extracted." exit:0 || return 1
  content "$t/out/a.txt" old && content "$t/out/sub/b.txt" "bravo bravo"
}

test_replace_all() {
  fresh replace_all && sfx "$sample" || return 1
  mkdir -p "$t/out/sub"
  printf 'old\n' >"$t/out/a.txt"
  printf 'old\n' >"$t/out/sub/b.txt"
  drive replace_all main "field:$(win "$t/out")" click:1 "prompt-has:exists already a file" answer:1003 \
    "box:Zarvel|The files were successfully extracted." exit:0 || return 1
  content "$t/out/a.txt" alpha && content "$t/out/sub/b.txt" "bravo bravo"
}

replace_cancel_with() {
  local name=$1 how=$2
  fresh "$name" && sfx "$sample" || return 1
  printf 'old\n' >"$t/out/a.txt"
  drive "$name" main "field:$(win "$t/out")" click:1 "prompt:$(prompt_text a.txt)" "$how" \
    "status:pkg.exe : Canceled by user." still-open:1500 close-main exit:0 || return 1
  content "$t/out/a.txt" old
}
test_replace_cancel() { replace_cancel_with replace_cancel answer:2; }
test_replace_close_box() { replace_cancel_with replace_close close-prompt; }

test_cancel_during_large_member() {
  fresh cancel_large && SFX_FILES="big.bin z.txt" sfx "$big" "" "" -0 || return 1
  drive cancel_large main "field:$(win "$t/out")" click:1 "status-has:big.bin " click:2 \
    "status:pkg.exe : Canceled by user." still-open:1500 close-main exit:0 || return 1
  absent "$t/out/big.bin" && absent "$t/out/z.txt"
}

test_cancel_during_last_member_is_no_success() {
  fresh cancel_last && cp "$record" "$big/record.exe" &&
    SFX_FILES="record.exe a.txt big.bin" sfx "$big" "" "record.exe" -0 || return 1
  drive cancel_last main "field:$(win "$t/out")" click:1 "status-has:big.bin " click:2 \
    "status:pkg.exe : Canceled by user." still-open:1500 close-main exit:0 || return 1
  absent "$t/out/big.bin" && absent "$t/out/started-from.txt" && content "$t/out/a.txt" alpha
}

test_corrupt_member() {
  fresh corrupt && sfx "$sample" "" "record.exe" -0 || return 1
  # Flip one byte of a stored member's data: its CRC no longer matches.
  python3 - "$t/pkg.exe" <<'PY' || return 1
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.rfind(b'bravo bravo')
assert at > 0
data[at] ^= 0x20
open(sys.argv[1], 'wb').write(data)
PY
  drive corrupt main "field:$(win "$t/out")" click:1 "status:Error (19962) in pkg.exe." \
    still-open:1500 close-main exit:0 || return 1
  # The damaged member's file stays (its data is all there is); the command does not run.
  absent "$t/out/started-from.txt" && content "$t/out/a.txt" alpha
}

test_follow_up_command_runs_in_target() {
  fresh follow_up && sfx "$sample" "" "record.exe" || return 1
  # A program of the same name beside the self-extractor must not be the one started.
  cp "$record" "$t/record.exe"
  drive follow_up main "field:$(win "$t/out")" click:1 exit:0 || return 1
  for _ in $(seq 100); do [ -s "$t/out/started-from.txt" ] && break; sleep 0.1; done
  local expected
  expected=$(printf '%s\n%s' "$(win "$t/out")" "$(win "$t/out/record.exe")")
  content "$t/out/started-from.txt" "$expected" && absent "$t/started-from.txt" &&
    content "$t/out/sub/b.txt" "bravo bravo"
}

test_missing_command() {
  fresh missing_command && sfx "$sample" "" "nothere.exe /x" || return 1
  drive missing_command main "field:$(win "$t/out")" click:1 \
    "box:Zarvel Self Extractor|Couldn't run nothere.exe /x." exit:0 || return 1
  content "$t/out/a.txt" alpha
}

test_about_and_close() {
  fresh about && sfx "$sample" || return 1
  drive about main click:3 "box:Zarvel Self Extractor|Zarvel" still-open:500 close-main exit:0
}

test_extract_pressed_twice() {
  fresh twice && SFX_FILES="a.txt big.bin" sfx "$big" "" "" -0 || return 1
  # A second run would find the files of the first and raise the prompt:
  # the success box must come first and alone.
  drive twice main "field:$(win "$t/out")" click:1 click:1 "status-has:big.bin " click:1 \
    "box:Zarvel|The files were successfully extracted." exit:0 || return 1
  same_tree "$big/big.bin" "$t/out/big.bin"
}

test_browse() {
  fresh browse && sfx "$sample" || return 1
  drive browse main field:typed click:1014 browse shot:browse browse-cancel expect-field:typed \
    click:1014 browse browse-ok "expect-field:$(win "$t")\\" close-main exit:0
}

test_archive_missing() {
  fresh bare && cp "$stub" "$t/pkg.exe" || return 1
  drive bare main "field:$(win "$t/out")" click:1 "status-has:Error (" still-open:500 close-main exit:0
}

# --- Run ----------------------------------------------------------------------
passed=0
failed=0
run_suite() {
  local tests
  tests=$(declare -F | awk '{print $3}' | grep '^test_')
  for test in $tests; do
    if $test; then
      passed=$((passed + 1)); echo "gui: ${test#test_} passed"
    else
      failed=$((failed + 1)); echo "gui: ${test#test_} FAILED"
      wineserver -k 2>/dev/null; wineserver -p 2>/dev/null
    fi
  done
}
run_suite
echo "gui ($arch_label under Wine): $passed passed, $failed failed"
echo "gui: screenshots in $shots"
all_failed=$failed

# The i686 stub only where a 32-bit program really runs.
i686_status="not run: 32-bit Wine is not available"
if wine32_runs; then
  i686_build=${I686_BUILD_DIR:-$root/build/i686}
  if [ -f "$i686_build/zarvel-stub.exe" ]; then
    stub=$i686_build/zarvel-stub.exe
    arch_label="i686"
    passed=0; failed=0
    run_suite
    echo "gui (i686 under Wine): $passed passed, $failed failed"
    all_failed=$((all_failed + failed))
    i686_status="ran"
  else
    i686_status="not run: no i686 stub in $i686_build"
  fi
fi
echo "gui: i686 stub $i686_status"
[ "$all_failed" -eq 0 ] && [ "$passed" -gt 0 ]
