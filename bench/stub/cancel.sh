#!/usr/bin/env bash
# How soon the stub stops after Cancel in the middle of a large member, stored and deflated:
# the time from the click to "Canceled by user." on the status line, and what
# was written meanwhile, for the x86_64 stub under 64-bit Wine. A cancel ends
# decoding at the next window flush (32 KiB of output), so the time should not
# grow with the member's size (goal: under 1 s). Usage: bench/stub/cancel.sh
# [GIB [STUB]] (default 2 GiB, build/x86_64/zarvel-stub.exe; ZARVEL_DRIVER another driver); needs
# scripts/build-all.sh native x86_64 first.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
gib=${1:-2} stub=${2:-$root/build/x86_64/zarvel-stub.exe} driver=${ZARVEL_DRIVER:-$root/build/x86_64/gui/gui_driver.exe}
work=$(mktemp -d /tmp/zarvel-cancel.XXXXXX)
source "$root/tests/gui/gui-env.sh"
trap 'gui_env_stop; rm -rf "$work"' EXIT
mkdir -p "$work/src" "$work/out" "$work/env"
{ yes 'a line of text that deflates well, as logs and tables do' || true; } | head -c $((gib << 30)) >"$work/src/big.txt"
gui_env_start "$work/env"
win() { winepath -w "$1" 2>/dev/null; }
for method in stored deflated; do
  rm -rf "$work/payload.zip" "$work/out"/* && (cd "$work/src" && zip -q -"$([ $method = stored ] && echo 0 || echo 1)" \
    "$work/payload.zip" big.txt)
  { cat "$stub"; head -c 514 /dev/zero; cat "$work/payload.zip"; } >"$work/pkg.exe" && zip -q -A "$work/pkg.exe"
  ZARVEL_DRIVER_POLL_MS=5 ZARVEL_DRIVER_TIMES=1 wine "$driver" "$(win "$work/pkg.exe")" "$(win "$work")" -- main \
    "field:$(win "$work/out")" click:1 "status-has:big.txt " click:2 "status:pkg.exe : Canceled by user." \
    close-main exit:0 | tr -d '\r' >"$work/log" || true
  grep -q '^DRIVER OK' "$work/log" || { cat "$work/log"; exit 1; }
  awk -v gib="$gib" -v method=$method '/^time/ { t[++n] = $2 } END {
    printf "cancel during a %d GiB %s member: %d ms from the click to \"Canceled by user.\"", gib, method, t[5] - t[4] }' \
    "$work/log"
  echo ", $(find "$work/out" -type f | wc -l) file(s) left in the target"
done
