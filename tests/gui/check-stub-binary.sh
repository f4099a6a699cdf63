#!/usr/bin/env bash
# Checks a built stub as a file, as the loader, resource editors, signing tools and scanners see it: the linker's
# own sections and DOS program, imports with their lookup tables, PE flags, relocations, no time stamp, the checksum,
# the manifest, the version information, both icon groups, each dialog control as resources/sfx.rc places it, no
# end-record signature, and (i686) the size budget. Usage: check-stub-binary.sh BUILD ARCH, or check-stub-binary.sh EXE ARCH LEVEL ICON_SIZES
# [KEY=VALUE...] for a stub as the packer edits it (the image of a self-extractor: what follows its sections is left
# out), with that execution level, those sizes in icon group 108 and those version strings.
[ -d "${1:?usage: check-stub-binary.sh BUILD_DIR|EXE ARCH [LEVEL ICON_SIZES [KEY=VALUE...]]}" ] &&
  set -- "$1/zarvel-stub.exe" "${@:2}"
exec python3 - "$1" "${2:?ARCH}" "$(cd "$(dirname "$0")/../.." && pwd)" "${ZARVEL_STUB_SIZE_LIMIT:-31744}" "${@:3}" <<'PY'
import itertools, re, struct, sys, xml.etree.ElementTree as ET
path, arch, root, limit, edited = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5:]
level, icon_sizes = (edited or ['asInvoker', '16,32,48'])[:2]
image = open(path, 'rb').read()
u = lambda fmt, at: struct.unpack_from('<' + fmt, image, at)
pe = u('I', 0x3C)[0]
opt, count, stamp, (opt_size, flags) = pe + 24, u('H', pe + 6)[0], u('I', pe + 8)[0], u('HH', pe + 20)
pe32, entry, file_align = u('H', opt)[0] == 0x10B, u('I', opt + 16)[0], u('I', opt + 36)[0]
image_size, header_size, checksum, subsystem, dll_flags = u('IIIHH', opt + 56)
section_align = u('I', opt + 32)[0]
directory = lambda i: u('II', opt + (96 if pe32 else 112) + 8 * i)
sections = [(name.rstrip(b'\0').decode(), *rest) for name, *rest in  # name, vsize, va, rawsize, raw
            (u('8sIIII', opt + opt_size + 40 * i) for i in range(count))]
image = image[:max(raw + size for *_, size, raw in sections)]  # a self-extractor's stub: its sections' end
version = re.search(r'project\(zarvel VERSION (\d+)\.(\d+)\.(\d+)', open(root + '/CMakeLists.txt').read()).groups()

def at(rva, size=1, section=None):  # the file offset of rva .. rva + size
    for name, vsize, va, rawsize, raw in sections:
        if va <= rva and rva + size <= va + min(vsize, rawsize) and section in (None, name):
            return raw + rva - va
    raise ValueError('%#x + %d has no bytes in %s' % (rva, size, section or 'the file'))

def imports():  # system DLLs only, each with its lookup table naming what its address table names
    width, dlls = 4 if pe32 else 8, set()
    entries = lambda rva: list(itertools.takewhile(bool, (int.from_bytes(image[at(rva + width * k, width):][:width],
                                                                       'little') for k in itertools.count())))
    for lookup, _, _, name, thunks in itertools.takewhile(lambda d: d[3], (
            u('5I', at(directory(1)[0] + 20 * i, 20, '.idata')) for i in itertools.count())):
        dlls.add(image[at(name):image.index(b'\0', at(name))].decode().lower())
        assert lookup and entries(lookup) == entries(thunks), 'lookup table of %s' % dlls
    return dlls and dlls <= {'kernel32.dll', 'user32.dll', 'gdi32.dll', 'comdlg32.dll', 'msvcrt.dll'}

def layout():  # the linker's DOS program and sections, each inside the file
    assert image[:2] == b'MZ' and b'This program cannot be run in DOS mode' in image[0x40:pe], 'DOS program'
    names = [s[0] for s in sections]
    assert {'.text', '.rdata', '.bss', '.idata', '.rsrc', '.reloc'} <= set(names) <= \
        {'.text', '.rdata', '.data', '.bss', '.idata', '.rsrc', '.reloc', '.pdata', '.xdata', '.tls', '.CRT'}, names
    assert all(raw % file_align == 0 and raw + size <= len(image) for *_, size, raw in sections), 'raw data'
    spans = sorted((va, va + vsize) for _, vsize, va, *_ in sections)
    assert all(end <= next_va for (_, end), (next_va, _) in zip(spans, spans[1:])), 'sections overlap: %s' % spans
    assert image_size == -(-spans[-1][1] // section_align) * section_align, 'image size %#x' % image_size
    return at(*directory(2), '.rsrc') and at(*directory(12), '.idata')  # resources, import address table

def resources(offset=0, key=()):  # {(type, name): (file offset, size)}; every directory and block inside the file
    rva, found = directory(2)[0], {}
    named, numbered = u('HH', at(directory(2)[0] + offset, 16) + 12)
    for name, target in (u('II', at(rva + offset + 16 + 8 * k, 8)) for k in range(named + numbered)):
        assert len(key) < 3, 'resource tree deeper than type, name, language'
        data, size = u('II', at(rva + target, 8)) if target >> 31 == 0 else (0, 0)
        found.update({key[:2]: (at(data, size), size)} if size else resources(target & 0x7FFFFFFF, key + (name,)))
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
    statement = r'\b(?:CONTROL|ICON) (?:"[^"]*"|\w+), ([^,]+), (?:(\w+), [^,]+, )?(\w+), (\w+), (\w+), (\w+)'
    for name, body in templates:
        want = [(names[ident], names[kind or 'STATIC_CLASS'], *(int(names.get(v, v)) for v in box))
                for ident, kind, *box in re.findall(statement, re.sub(r'\s+', ' ', body))]
        got = controls(resources()[(5, names[name])][0])
        wrong = [row for row in got if row not in want or not row[4] * row[5]]
        assert got == want and not wrong, '%s: %s, not %s' % (name, wrong, [r for r in want if r not in got])
    return True

def manifest():  # run as the invoker, Windows 7 to 11, DPI aware, themed controls
    offset, size = resources()[(24, 1)]
    tree = ET.fromstring(image[offset:offset + size])
    tag = lambda name: [e for e in tree.iter() if e.tag.split('}')[-1] == name]
    assert [e.get('level') for e in tag('requestedExecutionLevel')] == [level], 'execution level'
    assert len(tag('supportedOS')) == 4 and tag('dpiAware') and tag('dpiAwareness'), 'supported systems, DPI'
    return any(e.get('name') == 'Microsoft.Windows.Common-Controls' and e.get('version') == '6.0.0.0'
               for e in tag('assemblyIdentity'))

def version_info():  # the project's version, our names, the fields the packer fills (present, empty, or as edited)
    offset, size = resources()[(16, 1)]
    block = image[offset:offset + size]
    fixed = block.index(b'\xbd\x04\xef\xfe')  # VS_FIXEDFILEINFO, then each string as its key, padding, its value
    strings = dict(re.findall(r'(\w+)\x00+([^\x00-\x1f]*)\x00', block[fixed + 52:].decode('utf-16-le')))
    want = {'FileDescription': 'Zarvel Self Extractor', 'ProductName': 'Zarvel SFX', 'FileVersion': '.'.join(version),
            'ProductVersion': '.'.join(version), 'CompanyName': '', 'LegalCopyright': ''}
    want.update(pair.split('=', 1) for pair in edited[2:])
    numbers = lambda text: [int(n) for n in (text + '.0.0.0').split('.')[:4]] if re.fullmatch(
        r'\d+(\.\d+){0,3}', text) else numbers('.'.join(version))  # the stub's own unless a dotted version
    halves = lambda a, b, c, d: ((a << 16) | b, (c << 16) | d)
    assert struct.unpack_from('<4I', block, fixed + 8) == halves(*numbers(want['FileVersion'])) + halves(
        *numbers(want['ProductVersion'])), 'numeric versions'
    assert all(strings.get(k) == v for k, v in want.items()) and strings.get('OriginalFilename'), strings
    return True

def icons():  # groups 108 and 109 (16, 32 and 48 pixels), 32-bit colour with alpha, each image as its entry says
    found = resources()
    for group, sizes in ((108, icon_sizes), (109, '16,32,48')):
        offset = found[(14, group)][0]
        entries = [u('BBBBHHIH', offset + 6 + 14 * k) for k in range(u('H', offset + 4)[0])]
        assert sorted(e[0] or 256 for e in entries) == sorted(map(int, sizes.split(','))), 'group sizes %s' % entries
        for width, height, _, _, _, bits, size, ident in ((w or 256, h or 256, *e) for w, h, *e in entries):
            data, data_size = found[(3, ident)]
            png = image[data:data + 8] == b'\x89PNG\r\n\x1a\n'
            got = struct.unpack_from('>IIBB', image, data + 16) if png else u('iiHH', data + 4)
            want = (width, height, 8, 6) if png else (width, 2 * height, 1, 32)
            assert bits == 32 and data_size == size and got == want, 'image %d: %s' % (ident, got)
    return True

def image_checksum():  # 16-bit words summed with end-around carry, the checksum field read as zero, plus the length
    words = struct.unpack('<%dH' % (len(image) // 2), image[:len(image) & ~1]) + (image[-1],) * (len(image) & 1)
    total = sum(words) - words[(opt + 64) // 2] - words[(opt + 66) // 2]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(image)

checks = [('imports system DLLs only, with lookup tables', imports), ('GUI subsystem', lambda: subsystem == 2),
          ('ASLR (dynamic base)', lambda: dll_flags & 0x40), ('DEP (NX compatible)', lambda: dll_flags & 0x100),
          ('relocations kept', lambda: not flags & 1 and directory(5)[1] > 8 and at(*directory(5), '.reloc')), ('sections as the linker makes them', layout),
          ('entry point inside .text', lambda: any(n == '.text' and va <= entry < va + vs for n, vs, va, *_ in sections)),
          ('no time stamp', lambda: stamp == 0), ('checksum absent or right', lambda: checksum in (0, image_checksum())),
          ('dialogs', dialogs), ('manifest', manifest), ('version information', version_info), ('icons', icons),
          ('no end-record signature, which the archive scan would find', lambda: b'PK\x05\x06' not in image)]
checks += [('at most %d bytes (%d)' % (limit, len(image)), lambda: len(image) <= limit)] * (arch == 'i686' and not edited)
failed = 0
for what, check in checks:
    try:
        result = check()
    except (AssertionError, ValueError, KeyError, IndexError, StopIteration, struct.error, ET.ParseError) as problem:
        result, what = False, '%s (%s)' % (what, problem)
    print('stub (%s): %s: %s' % (arch, what, 'ok' if result else 'FAILED'))
    failed += not result
print('stub (%s, %d bytes): %d passed, %d failed' % (arch, len(image), len(checks) - failed, failed))
sys.exit(failed > 0)
PY
