// The platform layer on Win32. Files are opened with CreateFileA and the
// core holds their handles as integers, as it would a C runtime's, without
// pulling one in; names convert from the OEM code page or UTF-8 to the
// ANSI code page through UTF-16, refusing what does not fit; times go through DosDateTimeToFileTime,
// LocalFileTimeToFileTime and SetFileTime, as local time.
#include "platform/platform.h"

#include <string.h>
#include <windows.h>

#include "platform/fault.h"

namespace {

// A handle is the system's own file handle. Windows keeps handle values
// within 32 bits, for 64-bit programs too, so an int holds one whole, and
// INVALID_HANDLE_VALUE is -1, the core's "no file".
static_assert(kNoHandle == -1, "no file is the system's invalid handle");

PlatformHandle AsPlatformHandle(HANDLE file) { return (PlatformHandle)(intptr_t)file; }

HANDLE AsSystemHandle(PlatformHandle handle) { return (HANDLE)(intptr_t)handle; }

PlatformHandle OpenFile(const char* path, DWORD access, DWORD disposition) {
  if (FaultHit(kFaultOpen)) return kNoHandle;
  return AsPlatformHandle(CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

PlatformHandle PlatformOpenRead(const char* path) { return OpenFile(path, GENERIC_READ, OPEN_EXISTING); }

PlatformHandle PlatformOpenWrite(const char* path) {
  // Windows refuses to replace a read-only file; a process with backup
  // rights (or Wine run by root) would not, so the rule is applied here.
  if (PlatformIsReadOnly(path)) {
    FaultHit(kFaultOpen);
    return kNoHandle;
  }
  return OpenFile(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
}

PlatformHandle PlatformOpenNew(const char* path) {
  return OpenFile(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
}

PlatformHandle PlatformOpenNullSink() { return OpenFile("NUL", GENERIC_WRITE, OPEN_EXISTING); }

int32_t PlatformRead(PlatformHandle handle, void* buffer, uint32_t count) {
  HANDLE file = AsSystemHandle(handle);
  if (FaultHit(kFaultRead) || file == INVALID_HANDLE_VALUE) return -1;
  DWORD done = 0;
  if (!ReadFile(file, buffer, FaultShortenRead(count), &done, nullptr)) return -1;
  return (int32_t)done;
}

int32_t PlatformWrite(PlatformHandle handle, const void* buffer, uint32_t count) {
  HANDLE file = AsSystemHandle(handle);
  if (FaultHit(kFaultWrite) || file == INVALID_HANDLE_VALUE) return -1;
  DWORD done = 0;
  if (count == 0) return 0;
  if (!WriteFile(file, buffer, count, &done, nullptr) || done != count) return -1;
  return (int32_t)done;
}

int64_t PlatformSeek(PlatformHandle handle, int64_t offset, SeekOrigin origin) {
  HANDLE file = AsSystemHandle(handle);
  if (FaultHit(kFaultSeek) || file == INVALID_HANDLE_VALUE) return -1;
  static_assert(kSeekSet == FILE_BEGIN && kSeekCur == FILE_CURRENT && kSeekEnd == FILE_END,
                "the origins are the system's move methods");
  LARGE_INTEGER distance, result;
  distance.QuadPart = offset;
  if (!SetFilePointerEx(file, distance, &result, (DWORD)origin)) return -1;
  return result.QuadPart;
}

int64_t PlatformFileLength(PlatformHandle handle) {
  LARGE_INTEGER size;
  HANDLE file = AsSystemHandle(handle);
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) return -1;
  return size.QuadPart;
}

int PlatformClose(PlatformHandle handle) {
  HANDLE file = AsSystemHandle(handle);
  if (file == INVALID_HANDLE_VALUE) return -1;
  return CloseHandle(file) ? 0 : -1;
}

// The configuration block is read once per opening; a handle serves as the
// stream, and the system's own caching does the buffering. There is one
// stream, open or not; it starts closed as zero, so it needs no start value.
struct PlatformStream {
  PlatformHandle handle;
  bool open;
};

PlatformStream* PlatformStreamOpen(const char* path) {
  static PlatformStream stream;
  if (stream.open) return nullptr;
  stream.handle = PlatformOpenRead(path);
  stream.open = stream.handle != kNoHandle;
  return stream.open ? &stream : nullptr;
}

bool PlatformStreamSeek(PlatformStream* stream, int64_t offset) {
  return PlatformSeek(stream->handle, offset, kSeekSet) >= 0;
}

uint32_t PlatformStreamRead(PlatformStream* stream, void* buffer, uint32_t count) {
  int32_t n = PlatformRead(stream->handle, buffer, count);
  return n < 0 ? 0 : (uint32_t)n;
}

void PlatformStreamClose(PlatformStream* stream) {
  if (stream == nullptr || !stream->open) return;
  PlatformClose(stream->handle);
  stream->open = false;
}

bool PlatformDelete(const char* path) { return !FaultHit(kFaultDelete) && DeleteFileA(path); }

bool PlatformMakeDirectory(const char* path) {
  return !FaultHit(kFaultMakeDirectory) && CreateDirectoryA(path, nullptr);
}

namespace {

// The path's attributes, or none when nothing is there: the questions below
// are one bit each (an existing file always has one, FILE_ATTRIBUTE_NORMAL at
// the least).
DWORD AttributesOf(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes;
}

}  // namespace

bool PlatformExists(const char* path) { return AttributesOf(path) != 0; }

bool PlatformRename(const char* from, const char* to) {
  return !FaultHit(kFaultRename) && MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING);
}

bool PlatformIsDirectory(const char* path) { return AttributesOf(path) & FILE_ATTRIBUTE_DIRECTORY; }

bool PlatformIsReadOnly(const char* path) {
  return (AttributesOf(path) & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == FILE_ATTRIBUTE_READONLY;
}

bool PlatformIsLink(const char* path) {
  return FaultIsLink(path) || (AttributesOf(path) & FILE_ATTRIBUTE_REPARSE_POINT);
}

void PlatformSetFileTime(const char* path, uint16_t dosDate, uint16_t dosTime) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  FILETIME local, utc;
  if (DosDateTimeToFileTime(dosDate, dosTime, &local) && LocalFileTimeToFileTime(&local, &utc)) {
    SetFileTime(file, nullptr, nullptr, &utc);
  }
  CloseHandle(file);
}

namespace {

// A name in `codePage` in the ANSI code page, through UTF-16; false when a
// byte is not valid there or a character has no place in the ANSI code page.
// The system's best fit would otherwise write a near match (Omega for the
// Greek letter), a name the archive does not hold.
bool ToAnsiCodePage(UINT codePage, const char* text, char* ansi, size_t capacity) {
  const int kWideCapacity = 1024;
  WCHAR wide[kWideCapacity];
  int wideLength = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, -1, wide, kWideCapacity);
  if (wideLength <= 0) return false;
  BOOL usedDefault = FALSE;
  UINT ansiCodePage = GetACP();
  // The UTF-8 code page takes no default character: every character fits.
  bool utf8 = ansiCodePage == CP_UTF8;
  int n = WideCharToMultiByte(ansiCodePage, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, wideLength, ansi,
                              (int)capacity, nullptr, utf8 ? nullptr : &usedDefault);
  return n > 0 && !usedDefault;
}

}  // namespace

bool PlatformOemToAnsi(const char* oem, char* ansi, size_t capacity) {
  return ToAnsiCodePage(CP_OEMCP, oem, ansi, capacity);
}

bool PlatformUtf8ToAnsi(const char* utf8, char* ansi, size_t capacity) {
  return ToAnsiCodePage(CP_UTF8, utf8, ansi, capacity);
}

bool PlatformIsLeadByte(uint8_t byte) {
  int simulated = FaultLeadByte(byte);
  return simulated >= 0 ? simulated != 0 : IsDBCSLeadByte(byte) != FALSE;
}

const char kAnsiSuperscriptLead[] = "";

bool PlatformMoveToFreeName(const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails where the name is taken.
  return !FaultHit(kFaultRename) && MoveFileExA(from, to, 0);
}

uint32_t PlatformSeed() {
  // The clock, and where the stack and the code lie (both placed at random
  // for each process): nothing the stub does not import already.
  uint32_t stack = (uint32_t)(uintptr_t)&stack;
  return GetTickCount() ^ stack ^ (uint32_t)(uintptr_t)&PlatformSeed;
}
