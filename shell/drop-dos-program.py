#!/usr/bin/env python3
"""Moves a Windows image's headers down over its DOS program, when that
frees a whole 512-byte block of the file.

The linker puts a small DOS program ("This program cannot be run in DOS
mode") between the 64-byte DOS header and the PE headers. Windows reads only
two fields of the DOS header, the "MZ" mark and the offset of the PE headers,
so the PE headers may follow the DOS header directly. For the stub that is
the difference between headers of 536 or 576 bytes, padded to 1024 in the
file, and headers that fit in 512.

Only the headers move: the sections keep their bytes and their addresses in
memory, their positions in the file go down by the block that is freed, and
SizeOfHeaders shrinks with them, and the image checksum is computed afresh.
An image with a certificate table or a debug
directory is left alone, since those hold file positions too. When nothing
is gained the file is not touched.

Usage: drop-dos-program.py IMAGE
"""
import struct
import sys

from pe_image import *  # noqa: F401,F403 (the shared PE constants)


def drop_dos_program(image):
    if image[:2] != b'MZ':
        raise ValueError('not an executable image')
    pe = struct.unpack_from('<I', image, PE_OFFSET_FIELD)[0]
    if image[pe:pe + 4] != b'PE\0\0':
        raise ValueError('no PE signature')
    sections, = struct.unpack_from('<H', image, pe + 6)
    optional_size, = struct.unpack_from('<H', image, pe + 20)
    optional = pe + 4 + FILE_HEADER_SIZE
    magic, = struct.unpack_from('<H', image, optional)
    if magic not in (PE32_MAGIC, PE32_PLUS_MAGIC):
        raise ValueError('unknown optional header')
    file_alignment, = struct.unpack_from('<I', image, optional + 36)
    size_of_headers, = struct.unpack_from('<I', image, optional + 60)
    directories = optional + (96 if magic == PE32_MAGIC else 112)
    directory_count, = struct.unpack_from('<I', image, directories - 4)
    for index in (SECURITY_DIRECTORY, DEBUG_DIRECTORY):
        if index < directory_count and any(struct.unpack_from('<II', image, directories + 8 * index)):
            return None
    table = optional + optional_size
    headers_end = table + SECTION_HEADER_SIZE * sections
    shift = pe - DOS_HEADER_SIZE
    new_size_of_headers = align_up(headers_end - shift, file_alignment)
    if shift <= 0 or new_size_of_headers >= size_of_headers:
        return None
    freed = size_of_headers - new_size_of_headers

    out = bytearray(image[:DOS_HEADER_SIZE])
    struct.pack_into('<I', out, PE_OFFSET_FIELD, DOS_HEADER_SIZE)
    out += image[pe:headers_end]
    out += bytes(new_size_of_headers - len(out))
    out += image[size_of_headers:]
    struct.pack_into('<I', out, optional - shift + 60, new_size_of_headers)
    for i in range(sections):
        raw_pointer = table - shift + SECTION_HEADER_SIZE * i + 20
        position, = struct.unpack_from('<I', out, raw_pointer)
        if position != 0:
            struct.pack_into('<I', out, raw_pointer, position - freed)
    refresh_checksum(out, optional - shift + 64)
    return bytes(out)


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: drop-dos-program.py IMAGE')
    rewrite_image(sys.argv[1], drop_dos_program)


if __name__ == '__main__':
    main()
