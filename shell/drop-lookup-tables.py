#!/usr/bin/env python3
"""Cuts the import lookup tables off a Windows image.

Each import descriptor names two parallel lists of the imported functions:
the lookup table, which stays as linked, and the import address table,
which the loader overwrites with the functions' addresses. When a
descriptor's lookup table is 0, the loader (Windows and Wine alike) reads
the names from the address table itself before it overwrites it, so the
lookup tables are only a copy. The stub's linker script puts them at the
very end of the code section; this script sets every descriptor's lookup
table to 0 and ends the section where the tables began, in memory and in
the file.

By default the file changes only when that frees at least one 512-byte
block: the sections after the code move down by the freed blocks, and the
image checksum, if there is one, is computed afresh. An image whose lookup
tables are not the last bytes of their section, or not an exact copy of the
address tables, is left alone.

Usage: drop-lookup-tables.py [--always] IMAGE
  --always: drop the tables even when no block is freed. The stub's build
  does so: fold-sections.py then puts the relocations where the tables were.
"""
import struct
import sys

from pe_image import *  # noqa: F401,F403 (the shared PE constants)

DESCRIPTOR_SIZE = 20


def drop_lookup_tables(image, always=False):
    pe = struct.unpack_from('<I', image, PE_OFFSET_FIELD)[0]
    if image[:2] != b'MZ' or image[pe:pe + 4] != b'PE\0\0':
        raise ValueError('not an executable image')
    count, = struct.unpack_from('<H', image, pe + 6)
    optional_size, = struct.unpack_from('<H', image, pe + 20)
    optional = pe + 4 + FILE_HEADER_SIZE
    magic, = struct.unpack_from('<H', image, optional)
    entry_size = 4 if magic == PE32_MAGIC else 8
    file_alignment, = struct.unpack_from('<I', image, optional + 36)
    directories = optional + (96 if magic == PE32_MAGIC else 112)
    for index in (SECURITY_DIRECTORY, DEBUG_DIRECTORY):
        if any(struct.unpack_from('<II', image, directories + 8 * index)):
            return None  # they hold file positions, which would move
    table = optional + optional_size
    sections = []
    for i in range(count):
        header = table + SECTION_HEADER_SIZE * i
        vsize, va, rawsize, raw = struct.unpack_from('<IIII', image, header + 8)
        sections.append([header, vsize, va, rawsize, raw])

    def section_of(rva):
        for section in sections:
            if section[2] <= rva < section[2] + max(section[1], section[3]):
                return section
        raise ValueError('address %#x outside every section' % rva)

    def file_offset(rva):
        section = section_of(rva)
        return section[4] + rva - section[2]

    def entries(rva):
        """The entries of a thunk list up to its terminator, as bytes."""
        at = file_offset(rva)
        end = at
        while image[end:end + entry_size] != bytes(entry_size):
            end += entry_size
        return image[at:end + entry_size]

    import_rva, _ = struct.unpack_from('<II', image, directories + 8 * IMPORT_DIRECTORY)
    if import_rva == 0:
        return None
    descriptors = []
    at = file_offset(import_rva)
    while image[at:at + DESCRIPTOR_SIZE] != bytes(DESCRIPTOR_SIZE):
        descriptors.append(at)
        at += DESCRIPTOR_SIZE
    lookups = []
    for descriptor in descriptors:
        lookup, _, _, _, address = struct.unpack_from('<IIIII', image, descriptor)
        if lookup == 0:
            return None
        listed = entries(lookup)
        if listed != entries(address):
            return None  # not a plain copy: the names would be lost
        lookups.append((lookup, lookup + len(listed)))
    lookups.sort()
    start, end = lookups[0][0], lookups[-1][1]
    if any(a[1] != b[0] for a, b in zip(lookups, lookups[1:])):
        return None  # something else lies between the tables
    code = section_of(start)
    if section_of(end - 1) is not code or end != code[2] + code[1] or code[3] == 0:
        return None  # the tables are not the section's last bytes
    new_rawsize = align_up(start - code[2], file_alignment)
    freed = code[3] - new_rawsize
    if freed <= 0 and not always:
        return None

    out = bytearray(image)
    for descriptor in descriptors:
        struct.pack_into('<I', out, descriptor, 0)
    cut = code[4] + new_rawsize
    tail_from = code[4] + code[3]
    # What stays of the tables in the last block is zeroed: nothing names it.
    out[file_offset(start):cut] = bytes(cut - file_offset(start))
    out = out[:cut] + out[tail_from:]
    struct.pack_into('<I', out, code[0] + 8, start - code[2])
    struct.pack_into('<I', out, code[0] + 16, new_rawsize)
    for section in sections:
        if section[3] != 0 and section[4] > code[4]:
            struct.pack_into('<I', out, section[0] + 20, section[4] - freed)
    refresh_checksum(out, optional + 64)
    return bytes(out)


def main():
    args = sys.argv[1:]
    always = args[:1] == ['--always']
    if always:
        args = args[1:]
    if len(args) != 1:
        sys.exit('usage: drop-lookup-tables.py [--always] IMAGE')
    rewrite_image(args[0], lambda image: drop_lookup_tables(image, always))


if __name__ == '__main__':
    main()
