"""What the stub's post-link steps share about the PE file format: the
header constants, alignment, the image checksum that Windows checks for
some images and that the binary check compares, and the step of rewriting
an image file in place."""
import struct
import sys

DOS_HEADER_SIZE = 64
PE_OFFSET_FIELD = 0x3C
FILE_HEADER_SIZE = 20
SECTION_HEADER_SIZE = 40
PE32_MAGIC = 0x10B
PE32_PLUS_MAGIC = 0x20B
IMPORT_DIRECTORY = 1
SECURITY_DIRECTORY = 4
DEBUG_DIRECTORY = 6


def align_up(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def image_checksum(image, checksum_field):
    """The PE checksum: 16-bit words summed with end-around carry, the
    checksum field read as zero, plus the length of the file."""
    data = bytearray(image)
    data[checksum_field:checksum_field + 4] = bytes(4)
    if len(data) % 2:
        data += b'\0'
    total = 0
    for (word,) in struct.iter_unpack('<H', data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def refresh_checksum(image, checksum_field):
    """Computes the checksum of a changed image afresh, in place; an image
    without one (0) keeps none."""
    if struct.unpack_from('<I', image, checksum_field)[0] != 0:
        struct.pack_into('<I', image, checksum_field, image_checksum(image, checksum_field))


def rewrite_image(path, transform):
    """Replaces the image at path with what transform makes of its bytes;
    None (nothing gained) or the same bytes leave the file untouched. A
    ValueError ends the program with its message."""
    with open(path, 'rb') as f:
        original = f.read()
    try:
        changed = transform(original)
    except ValueError as problem:
        sys.exit('%s: %s' % (path, problem))
    if changed is not None and changed != original:
        with open(path, 'wb') as f:
            f.write(changed)
