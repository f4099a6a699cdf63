// The thin layer between the portable core and the operating system.
//
// The core works the way a small DOS-era runtime did: integer file handles,
// binary reads and writes, ANSI paths with backslash separators. This header
// is that runtime. platform_win32.cpp maps it onto Win32; platform_posix.cpp
// maps it onto POSIX (backslashes become '/', OEM names become UTF-8, DOS
// times are read as local time). Nothing outside platform/ and shell/ includes
// <windows.h>.
//
// Every call that can fail passes through the fault seam (fault.h), so tests
// can make the n-th open, read, seek, write, make-directory, delete or rename
// fail, or make reads come back short.
#pragma once

#include <stdint.h>
#include <stddef.h>

// An open file, as an integer the platform hands out; -1 means "no file".
typedef int PlatformHandle;
const PlatformHandle kNoHandle = -1;

enum SeekOrigin { kSeekSet = 0, kSeekCur = 1, kSeekEnd = 2 };

// Low-level binary file access.
PlatformHandle PlatformOpenRead(const char* path);
// Read and write, created when missing, truncated when present.
PlatformHandle PlatformOpenWrite(const char* path);
// Created only when nothing exists at the path (for temporary files).
PlatformHandle PlatformOpenNew(const char* path);
// A handle that takes any write and keeps nothing.
PlatformHandle PlatformOpenNullSink();
// Returns the bytes read (0 at the end of the file), or -1 on an error.
int32_t PlatformRead(PlatformHandle handle, void* buffer, uint32_t count);
// Returns the bytes written, or -1 on an error.
int32_t PlatformWrite(PlatformHandle handle, const void* buffer, uint32_t count);
// Returns the new absolute position, or -1 on an error.
int64_t PlatformSeek(PlatformHandle handle, int64_t offset, SeekOrigin origin);
int64_t PlatformFileLength(PlatformHandle handle);
int PlatformClose(PlatformHandle handle);

// Buffered read-only stream ("rb"), used for the configuration block.
struct PlatformStream;
PlatformStream* PlatformStreamOpen(const char* path);
bool PlatformStreamSeek(PlatformStream* stream, int64_t offset);
// Returns the number of bytes read; short at the end of the file or on an error.
uint32_t PlatformStreamRead(PlatformStream* stream, void* buffer, uint32_t count);
void PlatformStreamClose(PlatformStream* stream);

// Paths. Each returns true on success.
bool PlatformDelete(const char* path);
bool PlatformMakeDirectory(const char* path);
// True when a file or a directory exists at the path (any attributes).
bool PlatformExists(const char* path);
// Moves a file over another, replacing it when it exists.
bool PlatformRename(const char* from, const char* to);
// Moves a file to a name where nothing exists, and fails when something
// does, even something that appeared a moment before: the check and the move
// are one step of the file system.
bool PlatformMoveToFreeName(const char* from, const char* to);
bool PlatformIsDirectory(const char* path);
// True when the path names an existing file that may not be written.
bool PlatformIsReadOnly(const char* path);
// True when the path itself (not what it points to) is a symbolic link, or on
// Windows any reparse point (a junction too); false when nothing is there.
bool PlatformIsLink(const char* path);
// POSIX only (the tool): sets the permission bits of the file at `path`.
// Failures are not reported: the file keeps the mode it was made with.
void PlatformSetPermissions(const char* path, uint32_t mode);

// Sets the last-write time of the file at `path` from a DOS date and time read
// as local time. Failures are not reported: the file keeps its time.
void PlatformSetFileTime(const char* path, uint16_t dosDate, uint16_t dosTime);

// A number that differs from process to process and from call to call (a
// clock, and addresses placed at random for each process), unmixed: the seed
// of the temporary names, which must not be guessable, not a secret of any
// strength.
uint32_t PlatformSeed();

// Member names.
// OEM code page (437 on POSIX) to the ANSI code page (UTF-8 on POSIX).
// Returns false when the result does not fit in `capacity` bytes with its NUL.
bool PlatformOemToAnsi(const char* oem, char* ansi, size_t capacity);
// UTF-8 to the ANSI code page. Returns false when the text is not valid UTF-8,
// holds a character the ANSI code page cannot represent, or does not fit.
bool PlatformUtf8ToAnsi(const char* utf8, char* ansi, size_t capacity);
// True for the first byte of a two-byte character in the ANSI code page (the
// byte after it may be 0x5C, a backslash by itself).
bool PlatformIsLeadByte(uint8_t byte);
// The bytes of the character that starts at `text`: 2 for a lead byte with a
// byte after it, else 1. Every walk over a path steps by this, so a trail
// byte 0x5C is never taken for a separator.
inline size_t CharacterSize(const char* text) {
  return PlatformIsLeadByte((uint8_t)text[0]) && text[1] != 0 ? 2 : 1;
}
// What stands before the bytes 0xB9, 0xB2 and 0xB3 in the ANSI code page's
// superscript one, two and three: nothing in code page 1252, 0xC2 in UTF-8.
extern const char kAnsiSuperscriptLead[];
