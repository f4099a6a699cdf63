#!/usr/bin/env bash
# Checks a built stub as a file: imports, PE flags, a layout the loader accepts after the post-link steps, the
# checksum, each dialog control as resources/sfx.rc places it, (i686) 16 KiB. Usage: check-stub-binary.sh BUILD ARCH
exec python3 - "${1:?usage: check-stub-binary.sh BUILD_DIR ARCH}/zarvel-stub.exe" "${2:?ARCH}" \
  "$(cd "$(dirname "$0")/../.." && pwd)" "${ZARVEL_STUB_SIZE_LIMIT:-16384}" <<'PY'
import itertools, re, struct, sys
path, arch, root, limit = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
sys.path.insert(0, root + '/shell')
from pe_image import PE32_MAGIC, image_checksum
image = open(path, 'rb').read()
u = lambda fmt, at: struct.unpack_from('<' + fmt, image, at)
pe = u('I', 0x3C)[0]
opt, count, (opt_size, flags) = pe + 24, u('H', pe + 6)[0], u('HH', pe + 20)
pe32, entry, file_align = u('H', opt)[0] == PE32_MAGIC, u('I', opt + 16)[0], u('I', opt + 36)[0]
base = u('I', opt + 28)[0] if pe32 else u('Q', opt + 24)[0]
image_size, header_size, checksum, subsystem, dll_flags = u('IIIHH', opt + 56)
directory = lambda i: u('II', opt + (96 if pe32 else 112) + 8 * i)
sections = [(name.rstrip(b'\0').decode(), *rest) for name, *rest in  # name, vsize, va, rawsize, raw
            (u('8sIIII', opt + opt_size + 40 * i) for i in range(count))]

def at(rva, size=1):  # the file offset of rva .. rva + size
    for _, vsize, va, rawsize, raw in sections:
        if va <= rva and rva + size <= va + min(vsize, rawsize):
            return raw + rva - va
    raise ValueError('%#x + %d has no bytes in the file' % (rva, size))

def imports():
    names = itertools.takewhile(bool, (u('I', at(directory(1)[0] + 20 * i, 20) + 12)[0] for i in itertools.count()))
    dlls = {image[at(n):image.index(b'\0', at(n))].decode().lower() for n in names}
    return dlls and dlls <= {'kernel32.dll', 'user32.dll', 'comdlg32.dll', 'msvcrt.dll'}

def relocations():  # each of the image's own kind, at a place in the file, holding an address in the image
    rva, size = directory(5)
    here, total, width = at(rva, size), 0, 4 if pe32 else 8
    while here < at(rva, size) + size:
        page, block = u('II', here)
        assert block >= 8 and block % 4 == 0, 'block at %#x has size %d' % (page, block)
        for item in (item for (item,) in struct.iter_unpack('<H', image[here + 8:here + block]) if item >> 12):
            site = at(page + (item & 0xFFF), width)  # (type 0 pads a block)
            value = int.from_bytes(image[site:site + width], 'little')
            assert item >> 12 == (3 if pe32 else 10) and base <= value < base + image_size, 'at %#x' % site
            total += 1
        here += block
    return not flags & 1 and total

def layout():
    assert header_size >= opt + opt_size + 40 * count and header_size % file_align == 0, 'SizeOfHeaders'
    used = []
    for name, vsize, va, rawsize, raw in sections:
        assert name in ('.text', '.bss'), name + ': only code and zero-filled data belong in the stub'
        assert not rawsize or raw % file_align == 0 and header_size <= raw and raw + rawsize <= len(image), name
        assert not any(raw < end and start < raw + rawsize for start, end in used), name + ' overlaps'
        used += [(raw, raw + rawsize)] * bool(rawsize)
    return [at(*directory(index)) for index in (1, 2, 5, 12)]  # imports, resources, relocations, import table

def resources(offset=0, key=()):  # {(type, name): file offset}; every directory and block inside the file
    rva, found = directory(2)[0], {}
    named, numbered = u('HH', at(directory(2)[0] + offset, 16) + 12)
    for name, target in (u('II', at(rva + offset + 16 + 8 * k, 8)) for k in range(named + numbered)):
        assert len(key) < 3, 'resource tree deeper than type, name, language'
        leaf = {key[:2]: at(*u('II', at(rva + target, 8)))} if target >> 31 == 0 else None
        found.update(leaf or resources(target & 0x7FFFFFFF, key + (name,)))
    return found

def controls(here):  # (id, class, x, y, cx, cy) of each control of a DIALOG template
    def skip(here):  # an 0xFFFF ordinal, or a NUL-ended UTF-16 name: (value, offset after it)
        if u('H', here)[0] == 0xFFFF:
            return u('H', here + 2)[0], here + 4
        end = next(end for end in range(here, len(image), 2) if not u('H', end)[0])
        return image[here:end].decode('utf-16-le'), end + 2
    style, items, rows = u('I', here)[0], u('H', here + 8)[0], []
    here = skip(skip(skip(here + 18)[1])[1])[1]  # menu, class, caption; DS_SETFONT adds point size, typeface
    here = skip(here + 2)[1] if style & 0x40 else here
    for _ in range(items):
        here = (here + 3) & ~3
        kind, after = skip(here + 18)
        rows.append((u('H', here + 16)[0], kind, *u('hhhh', here + 8)))
        here = skip(after)[1] + 2 + u('H', skip(after)[1])[0]  # title, extra data
    return rows

def dialogs():  # every control where sfx.rc places it, and larger than 0 x 0
    rc, names = open(root + '/resources/sfx.rc').read(), {'IDOK': 1, 'IDCANCEL': 2, '-1': 0xFFFF}
    for source in (rc, open(root + '/resources/resource_ids.h').read()):
        names.update((k, int(v, 0)) for k, v in re.findall(r'#define (\w+) (\w+)\s', source))
    templates = re.findall(r'^(\w+) DIALOG .*?\nBEGIN\n(.*?)\nEND', rc, re.M | re.S)
    assert [names[name] for name, _ in templates] == [101, 102, 1541], 'dialogs of sfx.rc'
    statement = r'\b(?:CONTROL|ICON) (?:"[^"]*"|\w+), ([^,]+), (?:(\w+), [^,]+, )?(\d+), (\d+), (\d+), (\d+)'
    for name, body in templates:
        want = [(names[ident], names[kind or 'STATIC_CLASS'], *map(int, box))
                for ident, kind, *box in re.findall(statement, re.sub(r'\s+', ' ', body))]
        got = controls(resources()[(5, names[name])])
        wrong = [row for row in got if row not in want or not row[4] * row[5]]
        assert got == want and not wrong, '%s: %s, not %s' % (name, wrong, [r for r in want if r not in got])
    return {(14, 108), (14, 109)} <= set(resources())  # and the two icons

checks = [('imports system DLLs only', imports), ('GUI subsystem', lambda: subsystem == 2),
          ('ASLR (dynamic base)', lambda: dll_flags & 0x40), ('DEP (NX compatible)', lambda: dll_flags & 0x100),
          ('relocations kept and sound', relocations), ('section layout consistent', layout),
          ('entry point inside .text', lambda: any(n == '.text' and va <= entry < va + vs for n, vs, va, *_ in sections)),
          ('dialogs and icons', dialogs), ('checksum', lambda: checksum == image_checksum(image, opt + 64))]
checks += [('at most %d bytes (%d)' % (limit, len(image)), lambda: len(image) <= limit)] * (arch == 'i686')
failed = 0
for what, check in checks:
    try:
        result = check()
    except (AssertionError, ValueError, KeyError, IndexError, StopIteration, struct.error) as problem:
        result, what = False, '%s (%s)' % (what, problem)
    print('stub (%s): %s: %s' % (arch, what, 'ok' if result else 'FAILED'))
    failed += not result
print('stub (%s): %d passed, %d failed' % (arch, len(checks) - failed, failed))
sys.exit(failed > 0)
PY
