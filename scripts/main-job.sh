#!/usr/bin/env bash
# The whole road once, end to end: install, build everything, pack a sample
# folder into a self-extractor with `zarvel pack`, list, test and extract it
# with `zarvel`, then run the x86_64 self-extractor under Wine, worked by the
# GUI driver like a person would, and compare both extracted trees with the
# sample. Prints a summary; exits non-zero when any step fails.
# ZARVEL_MAIN_JOB_PREBUILT=1 skips the install and the build and uses what is
# there: build/native/zarvel, build/x86_64 and build/i686, or the builds
# named by ZARVEL_NATIVE_BUILD, ZARVEL_X86_64_BUILD and ZARVEL_I686_BUILD.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
results=()
failures=0
step() {  # step NAME COMMAND...: runs it, records the outcome
  local name=$1; shift
  echo "== $name"
  if "$@"; then results+=("ok      $name"); else results+=("FAILED  $name"); failures=$((failures + 1)); fi
}
summary() {
  echo
  echo "== main job summary"
  printf '  %s\n' "${results[@]}"
  echo "  $((${#results[@]} - failures)) of ${#results[@]} steps passed"
}

if [ "${ZARVEL_MAIN_JOB_PREBUILT:-0}" != 1 ]; then
  step "install dependencies" bash scripts/install-deps.sh
  step "build native, i686 and x86_64" bash scripts/build-all.sh
fi
native=$(cd "${ZARVEL_NATIVE_BUILD:-build/native}" 2>/dev/null && pwd)
x86_64=$(cd "${ZARVEL_X86_64_BUILD:-build/x86_64}" 2>/dev/null && pwd)
i686=$(cd "${ZARVEL_I686_BUILD:-build/i686}" 2>/dev/null && pwd)
zarvel=$native/zarvel
stub64=$x86_64/zarvel-stub.exe
stub32=$i686/zarvel-stub.exe
driver=$x86_64/gui/gui_driver.exe
if [ ! -x "$zarvel" ] || [ ! -f "$stub64" ] || [ ! -f "$driver" ]; then
  results+=("FAILED  build products present (zarvel, x86_64 stub, GUI driver)")
  summary
  exit 1
fi

work=$(mktemp -d /tmp/zarvel-main-job.XXXXXX)
source tests/gui/gui-env.sh
trap 'gui_env_stop; rm -rf "$work"' EXIT

# The sample: a few documents, a nested folder, a binary file and an empty
# file, with fixed modification times (even seconds, as a ZIP keeps them).
sample=$work/sample
make_sample() {
  mkdir -p "$sample/docs/nested" &&
    cp README.md "$sample/README.md" &&
    cp shell/shell.h resources/sfx.rc "$sample/docs/" &&
    head -c 300000 /dev/urandom >"$sample/docs/nested/random.bin" &&
    : >"$sample/docs/nested/empty.txt" &&
    find "$sample" -type f -exec touch -d '2022-02-22 22:22:22' {} +
}
same_tree() { diff -r "$sample" "$1" && same_times "$1"; }
same_times() {
  local file
  while IFS= read -r file; do
    [ "$(stat -c %Y "$sample/$file")" = "$(stat -c %Y "$1/$file")" ] || { echo "time differs: $file"; return 1; }
  done < <(cd "$sample" && find . -type f)
}
step "make the sample folder" make_sample

sfx64=$work/sample-x86_64.exe
sfx32=$work/sample-i686.exe
pack_both() {
  (cd "$sample" && "$zarvel" pack -o "$sfx64" --stub "$stub64" ./*) &&
    { [ ! -f "$stub32" ] || (cd "$sample" && "$zarvel" pack -o "$sfx32" --stub "$stub32" ./*); }
}
step "zarvel pack (x86_64 and i686 stubs)" pack_both
step "zarvel list" "$zarvel" list "$sfx64"
step "zarvel info" "$zarvel" info "$sfx64"
step "zarvel test" "$zarvel" test "$sfx64"
step "zarvel extract equals the sample" bash -c "'$zarvel' extract '$sfx64' -d '$work/by-tool' && $(declare -f same_tree same_times); sample='$sample' same_tree '$work/by-tool'"

# run_under_wine SFX NAME: the self-extractor, worked by the driver, extracts
# the sample into a new folder NAME.
run_under_wine() {
  local sfx=$1 out=$work/$2
  timeout 300 wine "$driver" "$(win "$sfx")" "$(win "$work")" -- main "field:$(win "$out")" click:1 \
    "status-has:successfully extracted." "box:Zarvel|The files were successfully extracted." exit:0 \
    >"$work/$2.log" 2>&1
  cat "$work/$2.log"
  grep -q '^DRIVER OK' "$work/$2.log" && same_tree "$out"
}
if gui_env_start "$work"; then
  step "x86_64 self-extractor under Wine extracts the sample" run_under_wine "$sfx64" by-stub64
  if [ -f "$sfx32" ] && wine32_runs; then
    step "i686 self-extractor under 32-bit Wine extracts the sample" run_under_wine "$sfx32" by-stub32
  else
    echo "(the i686 self-extractor is not run: 32-bit Wine is not available)"
  fi
else
  step "start Xvfb and Wine" false
fi

summary
[ "$failures" -eq 0 ]
