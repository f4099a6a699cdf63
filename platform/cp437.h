// Code page 437, the OEM code page of the archives' DOS origins: the names of
// ZIP members without the UTF-8 flag are stored in it. Used on POSIX to turn
// such names into UTF-8, and by the packer to decide whether a name can be
// stored without the flag. Bytes below 0x80 are ASCII.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Unicode code points of the bytes 0x80 to 0xFF.
extern const uint16_t kCp437High[128];

// Converts NUL-terminated CP437 text to UTF-8. Returns false when the result
// and its NUL do not fit in `capacity` bytes.
bool Cp437ToUtf8(const char* text, char* out, size_t capacity);

// Decodes one UTF-8 sequence at `text` (strict: no overlong forms, no
// surrogates, nothing above U+10FFFF). Returns its length, 0 when invalid.
int DecodeUtf8(const unsigned char* text, uint32_t* codePoint);

// Converts NUL-terminated UTF-8 to CP437. Returns false when the text is not
// valid UTF-8, holds a character CP437 lacks, or does not fit.
bool Utf8ToCp437(const char* text, char* out, size_t capacity);
