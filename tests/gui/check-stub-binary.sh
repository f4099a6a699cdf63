#!/usr/bin/env bash
# Checks a built stub as a file: it imports system DLLs only (kernel32,
# user32, comdlg32, msvcrt: never a compiler runtime DLL), is a GUI program
# with ASLR and DEP on, keeps its relocations (without them ASLR cannot move
# it), enters inside its code, has a layout the loader accepts after the
# post-link steps (headers moved down over the DOS program, resource tree
# and relocations folded into the code section: every section where its
# header says, only code and zero-filled data, the directories inside
# sections, every resource and relocation entry sound, the checksum right),
# and, for the i686 release stub, fits in 16 KiB with both icons. When the size is over, the sizes of the object
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
  local flags reloc_size
  flags=$(awk '/^Characteristics/ {print $2; exit}' <<<"$headers")
  flags=${flags#0x}
  reloc_size=$(awk '/^Entry 5 / {print $3}' <<<"$headers")
  (( (16#$flags & 0x1) == 0 && 16#${reloc_size:-0} > 0 ))
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
layout_consistent() {
  python3 - "$stub" <<'PY'
import struct, sys
image = open(sys.argv[1], 'rb').read()
problems = []
pe = struct.unpack_from('<I', image, 0x3C)[0]
if image[:2] != b'MZ' or image[pe:pe + 4] != b'PE\0\0':
    sys.exit('    no MZ or PE signature')
count, = struct.unpack_from('<H', image, pe + 6)
optional_size, = struct.unpack_from('<H', image, pe + 20)
optional = pe + 24
magic, = struct.unpack_from('<H', image, optional)
section_alignment, file_alignment = struct.unpack_from('<II', image, optional + 32)
size_of_image, size_of_headers, checksum = struct.unpack_from('<III', image, optional + 56)
table = optional + optional_size
if size_of_headers < table + 40 * count or size_of_headers % file_alignment:
    problems.append('SizeOfHeaders %#x does not hold the section table' % size_of_headers)
sections, used = [], []
for i in range(count):
    name, vsize, va, rawsize, raw = struct.unpack_from('<8sIIII', image, table + 40 * i)
    name = name.rstrip(b'\0').decode()
    sections.append((name, va, max(vsize, rawsize)))
    if name not in ('.text', '.bss'):
        problems.append('section %s: only code and zero-filled data belong in the stub' % name)
    if rawsize == 0:
        continue
    if raw % file_alignment or raw < size_of_headers or raw + rawsize > len(image):
        problems.append('%s: raw data at %#x + %#x outside the file' % (name, raw, rawsize))
    if any(raw < end and start < raw + rawsize for start, end in used):
        problems.append('%s: raw data overlaps another section' % name)
    used.append((raw, raw + rawsize))
directories = optional + (96 if magic == 0x10B else 112)
for index, what in ((1, 'import directory'), (2, 'resource directory'), (5, 'relocations'),
                    (12, 'import address table')):
    rva, size = struct.unpack_from('<II', image, directories + 8 * index)
    if rva == 0:
        if index != 5:
            problems.append('%s missing' % what)
        continue
    if not any(va <= rva and rva + size <= va + span for _, va, span in sections):
        problems.append('%s at %#x + %#x outside every section' % (what, rva, size))

def file_offset(rva, size):
    for i in range(count):
        vsize, va, rawsize, raw = struct.unpack_from('<IIII', image, table + 40 * i + 8)
        if va <= rva and rva + size <= va + min(vsize, rawsize):
            return raw + rva - va
    raise ValueError('%#x + %d has no bytes in the file' % (rva, size))

# The resource tree: every directory, entry and data block within the file's
# bytes of a section; dialogs 101, 102, 1541 and icon groups 108, 109 there.
def resources():
    rva, _ = struct.unpack_from('<II', image, directories + 16)
    found = set()
    def walk(offset, level, path):
        table_at = file_offset(rva + offset, 16)
        named, numbered = struct.unpack_from('<HH', image, table_at + 12)
        for k in range(named + numbered):
            name, target = struct.unpack_from('<II', image, file_offset(rva + offset + 16 + 8 * k, 8))
            key = path + (None if name & 0x80000000 else name,)
            if target & 0x80000000:
                if level >= 3:
                    raise ValueError('resource tree deeper than type, name, language')
                walk(target & 0x7FFFFFFF, level + 1, key)
            else:
                data_rva, size = struct.unpack_from('<II', image, file_offset(rva + target, 16))
                file_offset(data_rva, size)
                found.add(key[:2])
    walk(0, 1, ())
    wanted = {(5, 101), (5, 102), (5, 1541), (14, 108), (14, 109)}
    if not wanted <= found:
        raise ValueError('resources missing: %s' % sorted(wanted - found))
try:
    resources()
except ValueError as problem:
    problems.append('resource tree: %s' % problem)

# Every base relocation: of the image's own kind, at a place with bytes in
# the file, holding an address inside the image.
def relocations():
    rva, size = struct.unpack_from('<II', image, directories + 40)
    base = struct.unpack_from('<Q' if magic != 0x10B else '<I', image, optional + (24 if magic != 0x10B else 28))[0]
    kind, width = (3, 4) if magic == 0x10B else (10, 8)
    at, end, total = file_offset(rva, size), file_offset(rva, size) + size, 0
    while at < end:
        page, block = struct.unpack_from('<II', image, at)
        if block < 8 or block % 4 or at + block > end:
            raise ValueError('block at %#x has size %d' % (page, block))
        for (entry,) in struct.iter_unpack('<H', image[at + 8:at + block]):
            if entry >> 12 == 0:
                continue  # padding to the next 32-bit boundary
            if entry >> 12 != kind:
                raise ValueError('relocation of type %d' % (entry >> 12))
            site = page + (entry & 0xFFF)
            value = int.from_bytes(image[file_offset(site, width):file_offset(site, width) + width], 'little')
            if not base <= value < base + size_of_image:
                raise ValueError('relocation at %#x holds %#x, outside the image' % (site, value))
            total += 1
        at += block
    if total == 0:
        raise ValueError('no relocation')
    print('    %d relocations' % total)
try:
    relocations()
except ValueError as problem:
    problems.append('relocations: %s' % problem)
if checksum:
    data = bytearray(image)
    data[optional + 64:optional + 68] = bytes(4)
    if len(data) % 2:
        data += b'\0'
    total = 0
    for (word,) in struct.iter_unpack('<H', data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    if (total + len(image)) & 0xFFFFFFFF != checksum:
        problems.append('checksum %#x is wrong' % checksum)
print('    %d sections, headers %d bytes, PE header at %#x' % (count, size_of_headers, pe))
for problem in problems:
    print('    ' + problem)
sys.exit(1 if problems else 0)
PY
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
check "section layout consistent" layout_consistent
if [ "$arch" = i686 ]; then
  check "at most $size_limit bytes (goal 16384)" fits_in_16k
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
