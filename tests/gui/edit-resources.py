#!/usr/bin/env python3
# What a publisher puts into a stub with the system's resource functions: the images of ICO as icon group 108 (icons
# 201 on), and version information naming a company. Usage: edit-resources.py ICO OUTDIR; writes one file per resource
# in OUTDIR and prints TYPE NAME FILE for each, as gui_driver --update takes them.
import struct, sys

ico, out = sys.argv[1], sys.argv[2]
data, group, items = open(ico, 'rb').read(), b'', []
for k in range(struct.unpack_from('<H', data, 4)[0]):
    width, height, colours, _, planes, bits, size, offset = struct.unpack_from('<BBBBHHII', data, 6 + 16 * k)
    group += struct.pack('<BBBBHHIH', width, height, colours, 0, planes, bits, size, 201 + k)
    items.append((3, 201 + k, data[offset:offset + size]))
items.append((14, 108, struct.pack('<HHH', 0, 1, len(items)) + group))

def block(key, value=b'', text=False, children=()):  # one node of VS_VERSIONINFO, children 4-byte aligned
    body = struct.pack('<HH', len(value) // 2 if text else len(value), text) + (key + '\0').encode('utf-16-le')
    body += b'\0' * (-(len(body) + 2) % 4) + value
    for child in children:
        body += b'\0' * (-(len(body) + 2) % 4) + child
    return struct.pack('<H', len(body) + 2) + body

strings = [block(k, (v + '\0').encode('utf-16-le'), True) for k, v in (('CompanyName', 'Example Publisher'),)]
fixed = struct.pack('<13I', 0xFEEF04BD, 0x10000, 0x20001, 0, 0x20001, 0, 0x3F, 0, 0x40004, 1, 0, 0, 0)
items.append((16, 1, block('VS_VERSION_INFO', fixed, False, [
    block('StringFileInfo', children=[block('040904B0', children=strings)]),
    block('VarFileInfo', children=[block('Translation', struct.pack('<HH', 0x409, 1200))])])))
for kind, name, content in items:
    open('%s/res-%d-%d' % (out, kind, name), 'wb').write(content)
    print(kind, name, 'res-%d-%d' % (kind, name))
