#!/usr/bin/env bash
# Checks a built stub as a file: it imports system DLLs only (kernel32,
# user32, comdlg32, msvcrt: never a compiler runtime DLL), is a GUI program
# with ASLR and DEP on, keeps its relocations (without them ASLR cannot move
# it), enters inside its code, and, for the i686 release stub, fits in
# 16 KiB with both icons. When the size is over, the sizes of the object
# files are listed so the largest parts can be trimmed.
# Usage: check-stub-binary.sh BUILD_DIR ARCH   (ARCH: i686 or x86_64)
set -uo pipefail
build=${1:?usage: check-stub-binary.sh BUILD_DIR ARCH}
arch=${2:?usage: check-stub-binary.sh BUILD_DIR ARCH}
stub=$build/zarvel-stub.exe
objdump=$arch-w64-mingw32-objdump
size_limit=${ZARVEL_STUB_SIZE_LIMIT:-16384}
passed=0
failed=0
check() {
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "stub ($arch): $what: ok"
  else failed=$((failed + 1)); echo "stub ($arch): $what: FAILED"; fi
}
[ -f "$stub" ] || { echo "stub ($arch): $stub missing"; exit 1; }
headers=$("$objdump" -p "$stub")
sections=$("$objdump" -h "$stub")
bytes=$(stat -c %s "$stub")

imports_are_system_only() {
  local dlls
  dlls=$(grep 'DLL Name:' <<<"$headers" | awk '{print tolower($3)}' | sort -u | tr '\n' ' ')
  echo "    imports: $dlls"
  local dll
  for dll in $dlls; do
    case "$dll" in kernel32.dll|user32.dll|comdlg32.dll|msvcrt.dll) ;; *) return 1 ;; esac
  done
  [ -n "$dlls" ]
}
characteristic() {  # DllCharacteristics holds the bit
  local value
  value=$(awk '/^DllCharacteristics/ {print $2}' <<<"$headers")
  (( (16#$value & $1) != 0 ))
}
gui_subsystem() { grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers"; }
relocations_kept() {
  local flags
  flags=$(awk '/^Characteristics/ {print $2; exit}' <<<"$headers")
  flags=${flags#0x}
  (( (16#$flags & 0x1) == 0 )) && grep -q ' \.reloc ' <<<"$sections"
}
entry_inside_code() {
  local entry base start length
  entry=$((16#$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")))
  base=$((16#$(awk '/^ImageBase/ {print $2}' <<<"$headers")))
  read -r length start < <(awk '$2 == ".text" {print $3, $4}' <<<"$sections")
  local first=$((16#$start - base)) size=$((16#$length))
  echo "    entry at RVA $(printf '%#x' "$entry"), .text at $(printf '%#x' "$first") + $size"
  (( entry > first && entry < first + size ))
}
fits_in_16k() {
  echo "    size: $bytes bytes (limit $size_limit)"
  (( bytes <= size_limit ))
}

check "imports system DLLs only" imports_are_system_only
check "GUI subsystem" gui_subsystem
check "ASLR (dynamic base)" characteristic 0x40
check "DEP (NX compatible)" characteristic 0x100
check "relocations kept" relocations_kept
check "entry point inside .text" entry_inside_code
if [ "$arch" = i686 ]; then
  check "at most 16 KiB" fits_in_16k
  if ! fits_in_16k >/dev/null; then
    echo "    sections:"; grep -E "^ +[0-9]" <<<"$sections" | awk '{printf "      %-8s %s\n", $2, $3}'
    echo "    object files (code and initialised data, bytes):"
    find "$build/shell/CMakeFiles/zarvel-stub.dir" -name '*.obj' -print0 |
      xargs -0 "$arch-w64-mingw32-size" 2>/dev/null | awk 'NR > 1 {printf "      %6d  %s\n", $1 + $2, $6}' |
      sed "s#$build/shell/CMakeFiles/zarvel-stub.dir/##; s#__/##" | sort -rn
  fi
else
  echo "stub ($arch): size $bytes bytes (the limit applies to the i686 stub)"
fi
echo "stub ($arch): $passed passed, $failed failed"
[ "$failed" -eq 0 ]
