#!/usr/bin/env python3
"""Gives the stub's image one section with bytes in the file: the resource
tree and the base relocations are found through the data directory, so they
may live in the code section, and each section of their own would cost a
512-byte block of the file, mostly padding.

Resources: the linker script puts the resource tree at the very start of
the code section, but the linker fills the resource entry of the data
directory only for a section named .rsrc. This script walks the tree there,
checks that every directory, name and data entry lies inside the section,
and points the entry at it.

Relocations: the linker makes them last, in a .reloc section of their own
behind every section they describe. When they fit between the code
section's last byte and the next section in memory, their bytes move
there, the .reloc section goes (header, memory and file block), and the
relocation entry of the data directory follows them. They are not read
from anywhere else. The move is made only when the file gets smaller.

Run it after drop-lookup-tables.py (which ends the code section where the
lookup tables began) and before drop-dos-program.py (fewer section headers
may let the headers fit in one block). The image checksum, if there is
one, is computed afresh.

Usage: fold-sections.py IMAGE
"""
import struct
import sys

from pe_image import *  # noqa: F401,F403 (the shared PE constants)

RESOURCE_DIRECTORY = 2
BASE_RELOCATION_DIRECTORY = 5
RESOURCE_TABLE_SIZE = 16       # a directory table, before its entries
RESOURCE_ENTRY_SIZE = 8
RESOURCE_DATA_ENTRY_SIZE = 16
HIGH_BIT = 0x80000000
# Deeper than type, name and language only in a damaged tree.
RESOURCE_LEVELS = 3
RELOCATION_ALIGNMENT = 4       # each block starts on a 32-bit boundary


class Image:
    def __init__(self, data):
        self.data = bytearray(data)
        pe, = struct.unpack_from('<I', data, PE_OFFSET_FIELD)
        if data[:2] != b'MZ' or data[pe:pe + 4] != b'PE\0\0':
            raise ValueError('not an executable image')
        self.file_header = pe + 4
        self.count, = struct.unpack_from('<H', data, pe + 6)
        optional_size, = struct.unpack_from('<H', data, pe + 20)
        self.optional = pe + 4 + FILE_HEADER_SIZE
        magic, = struct.unpack_from('<H', data, self.optional)
        self.directories = self.optional + (96 if magic == PE32_MAGIC else 112)
        self.table = self.optional + optional_size
        self.section_alignment, self.file_alignment = struct.unpack_from('<II', data, self.optional + 32)

    def section(self, index):
        """name, header offset, virtual size, address, raw size, raw offset"""
        header = self.table + SECTION_HEADER_SIZE * index
        name = bytes(self.data[header:header + 8]).rstrip(b'\0').decode()
        return (name, header) + struct.unpack_from('<IIII', self.data, header + 8)

    def directory(self, index):
        return struct.unpack_from('<II', self.data, self.directories + 8 * index)

    def set_directory(self, index, rva, size):
        struct.pack_into('<II', self.data, self.directories + 8 * index, rva, size)


def resource_extent(data, start, limit):
    """The bytes the resource tree at file offset `start` spans, walking
    every directory, name and data entry; every piece must lie before
    `limit`, and a tree that loops or runs out is refused."""
    end = start
    seen = set()

    def piece(offset, size):
        nonlocal end
        if offset < start or offset + size > limit:
            raise ValueError('resource tree reaches outside the code section')
        end = max(end, offset + size)

    def walk(offset, level):
        if offset in seen or level > RESOURCE_LEVELS:
            raise ValueError('resource tree is not a tree')
        seen.add(offset)
        piece(offset, RESOURCE_TABLE_SIZE)
        characteristics, = struct.unpack_from('<I', data, offset)
        named, numbered = struct.unpack_from('<HH', data, offset + 12)
        if characteristics != 0 or named + numbered == 0:
            raise ValueError('no resource tree at the start of the code section')
        for i in range(named + numbered):
            entry = offset + RESOURCE_TABLE_SIZE + RESOURCE_ENTRY_SIZE * i
            piece(entry, RESOURCE_ENTRY_SIZE)
            name, target = struct.unpack_from('<II', data, entry)
            if name & HIGH_BIT:
                text = start + (name & ~HIGH_BIT)
                piece(text, 2)
                length, = struct.unpack_from('<H', data, text)
                piece(text, 2 + 2 * length)
            if target & HIGH_BIT:
                walk(start + (target & ~HIGH_BIT), level + 1)
            else:
                piece(start + target, RESOURCE_DATA_ENTRY_SIZE)
                data_entries.append(start + target)

    data_entries = []
    walk(start, 1)
    return end, data_entries


def set_resource_directory(image, code):
    """Points the resource entry at the tree that starts the code section."""
    _, _, vsize, va, rawsize, raw = code
    if image.directory(RESOURCE_DIRECTORY)[0] != 0:
        return
    limit = raw + min(vsize, rawsize)
    end, data_entries = resource_extent(image.data, raw, limit)
    for entry in data_entries:
        rva, size = struct.unpack_from('<II', image.data, entry)
        if rva < va or rva + size > va + min(vsize, rawsize):
            raise ValueError('resource data outside the code section')
        end = max(end, raw + rva - va + size)
    image.set_directory(RESOURCE_DIRECTORY, va, end - raw)


def fold_relocations(image, code):
    """Moves the .reloc section into the code section; False when it does
    not fit there or would not make the file smaller."""
    last = image.section(image.count - 1)
    name, header, vsize, va, rawsize, raw = last
    reloc_rva, reloc_size = image.directory(BASE_RELOCATION_DIRECTORY)
    if name != '.reloc' or reloc_rva != va or reloc_size > vsize or raw + rawsize != len(image.data):
        return False
    _, code_header, code_vsize, code_va, code_rawsize, code_raw = code
    others = [image.section(i) for i in range(image.count - 1)]
    next_va = min([s[3] for s in others if s[3] > code_va] + [va])
    new_rva = align_up(code_va + code_vsize, RELOCATION_ALIGNMENT)
    new_vsize = new_rva + reloc_size - code_va
    if new_rva + reloc_size > next_va:
        return False
    new_rawsize = align_up(new_vsize, image.file_alignment)
    if code_raw + code_rawsize != raw or new_rawsize >= code_rawsize + rawsize:
        return False  # something lies between them in the file, or nothing is gained
    relocations = bytes(image.data[raw:raw + reloc_size])

    data = image.data[:code_raw + code_rawsize]
    data += bytes(code_raw + new_rawsize - len(data))
    at = code_raw + new_rva - code_va
    data[at:at + reloc_size] = relocations
    image.data = data
    struct.pack_into('<I', data, code_header + 8, new_vsize)
    struct.pack_into('<I', data, code_header + 16, new_rawsize)
    data[header:header + SECTION_HEADER_SIZE] = bytes(SECTION_HEADER_SIZE)
    image.count -= 1
    struct.pack_into('<H', data, image.file_header + 2, image.count)
    # The image now ends with the last section left in memory.
    remaining = [image.section(i) for i in range(image.count)]
    size_of_image = max(align_up(s[3] + s[2], image.section_alignment) for s in remaining)
    struct.pack_into('<I', data, image.optional + 56, size_of_image)
    initialised, = struct.unpack_from('<I', data, image.optional + 8)
    struct.pack_into('<I', data, image.optional + 8, max(0, initialised - rawsize))
    image.set_directory(BASE_RELOCATION_DIRECTORY, new_rva, reloc_size)
    return True


def fold_sections(original):
    image = Image(original)
    for index in (SECURITY_DIRECTORY, DEBUG_DIRECTORY):
        if any(image.directory(index)):
            raise ValueError('the image holds file positions (certificates or debug data)')
    code = image.section(0)
    set_resource_directory(image, code)
    fold_relocations(image, code)
    refresh_checksum(image.data, image.optional + 64)
    return bytes(image.data)


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: fold-sections.py IMAGE')
    rewrite_image(sys.argv[1], fold_sections)


if __name__ == '__main__':
    main()
