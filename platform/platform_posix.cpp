// The platform layer on POSIX (Linux): the core's backslash paths become '/'
// paths, OEM (code page 437) names become UTF-8, and DOS times are read as
// local time. Windows semantics the core relies on are kept: a file without
// any write permission is read-only for everyone, root included, and a path
// that names a directory cannot be opened as a file.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/cp437.h"
#include "platform/fault.h"

namespace {

const size_t kSystemPathCapacity = 4096;

// Copies a core path into `out` with every backslash turned into '/'.
bool ToSystemPath(const char* path, char* out) {
  size_t n = strlen(path);
  if (n + 1 > kSystemPathCapacity) return false;
  for (size_t i = 0; i <= n; i++) out[i] = path[i] == '\\' ? '/' : path[i];
  return true;
}

bool HasNoWritePermission(const struct stat& st) { return (st.st_mode & 0222) == 0; }

PlatformHandle OpenForWriting(const char* path, int extraFlags) {
  char system[kSystemPathCapacity];
  if (FaultHit(kFaultOpen) || !ToSystemPath(path, system)) return kNoHandle;
  // Most outputs are new files: one call makes them. Only when something is
  // already there do the read-only and directory rules need a look.
  int fd = open(system, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0 || errno != EEXIST || (extraFlags & O_EXCL)) return fd;
  struct stat st;
  if (stat(system, &st) == 0 && (S_ISDIR(st.st_mode) || HasNoWritePermission(st))) {
    errno = EACCES;
    return kNoHandle;
  }
  return open(system, O_RDWR | O_CREAT | O_CLOEXEC | extraFlags, 0666);
}

}  // namespace

PlatformHandle PlatformOpenRead(const char* path) {
  char system[kSystemPathCapacity];
  if (FaultHit(kFaultOpen) || !ToSystemPath(path, system)) return kNoHandle;
  int fd = open(system, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kNoHandle;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return kNoHandle;
  }
  return fd;
}

PlatformHandle PlatformOpenWrite(const char* path) { return OpenForWriting(path, O_TRUNC); }

PlatformHandle PlatformOpenNew(const char* path) { return OpenForWriting(path, O_EXCL); }

PlatformHandle PlatformOpenNullSink() {
  if (FaultHit(kFaultOpen)) return kNoHandle;
  return open("/dev/null", O_WRONLY | O_CLOEXEC);
}

int32_t PlatformRead(PlatformHandle handle, void* buffer, uint32_t count) {
  if (FaultHit(kFaultRead)) return -1;
  count = FaultShortenRead(count);
  uint32_t done = 0;
  // A regular file delivers everything up to its end in one call, but signals
  // can still split a read; keep going until the count or the end.
  while (done < count) {
    ssize_t n = read(handle, (char*)buffer + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? (int32_t)done : -1;
    }
    if (n == 0) break;
    done += (uint32_t)n;
  }
  return (int32_t)done;
}

int32_t PlatformWrite(PlatformHandle handle, const void* buffer, uint32_t count) {
  if (FaultHit(kFaultWrite)) return -1;
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = write(handle, (const char*)buffer + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += (uint32_t)n;
  }
  return (int32_t)done;
}

int64_t PlatformSeek(PlatformHandle handle, int64_t offset, SeekOrigin origin) {
  if (FaultHit(kFaultSeek)) return -1;
  static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  off_t result = lseek(handle, (off_t)offset, kWhence[origin]);
  return result < 0 ? -1 : (int64_t)result;
}

int64_t PlatformFileLength(PlatformHandle handle) {
  struct stat st;
  return fstat(handle, &st) == 0 ? (int64_t)st.st_size : -1;
}

int PlatformClose(PlatformHandle handle) { return handle < 0 ? -1 : close(handle); }

struct PlatformStream {
  FILE* file;
};

PlatformStream* PlatformStreamOpen(const char* path) {
  char system[kSystemPathCapacity];
  if (FaultHit(kFaultOpen) || !ToSystemPath(path, system)) return nullptr;
  FILE* file = fopen(system, "rb");
  if (file == nullptr) return nullptr;
  static PlatformStream streams[2];  // one is ever open; a second is spare
  for (PlatformStream& s : streams) {
    if (s.file == nullptr) {
      s.file = file;
      return &s;
    }
  }
  fclose(file);
  return nullptr;
}

bool PlatformStreamSeek(PlatformStream* stream, int64_t offset) {
  if (FaultHit(kFaultSeek)) return false;
  return fseeko(stream->file, (off_t)offset, SEEK_SET) == 0;
}

uint32_t PlatformStreamRead(PlatformStream* stream, void* buffer, uint32_t count) {
  if (FaultHit(kFaultRead)) return 0;
  return (uint32_t)fread(buffer, 1, FaultShortenRead(count), stream->file);
}

void PlatformStreamClose(PlatformStream* stream) {
  if (stream == nullptr || stream->file == nullptr) return;
  fclose(stream->file);
  stream->file = nullptr;
}

bool PlatformDelete(const char* path) {
  char system[kSystemPathCapacity];
  if (FaultHit(kFaultDelete) || !ToSystemPath(path, system)) return false;
  return unlink(system) == 0;
}

bool PlatformMakeDirectory(const char* path) {
  char system[kSystemPathCapacity];
  if (FaultHit(kFaultMakeDirectory) || !ToSystemPath(path, system)) return false;
  return mkdir(system, 0777) == 0;
}

bool PlatformExists(const char* path) {
  char system[kSystemPathCapacity];
  struct stat st;
  return ToSystemPath(path, system) && stat(system, &st) == 0;
}

bool PlatformRename(const char* from, const char* to) {
  char systemFrom[kSystemPathCapacity], systemTo[kSystemPathCapacity];
  if (FaultHit(kFaultRename) || !ToSystemPath(from, systemFrom) || !ToSystemPath(to, systemTo)) {
    return false;
  }
  return rename(systemFrom, systemTo) == 0;
}

bool PlatformIsDirectory(const char* path) {
  char system[kSystemPathCapacity];
  struct stat st;
  return ToSystemPath(path, system) && stat(system, &st) == 0 && S_ISDIR(st.st_mode);
}

bool PlatformIsReadOnly(const char* path) {
  char system[kSystemPathCapacity];
  struct stat st;
  return ToSystemPath(path, system) && stat(system, &st) == 0 && S_ISREG(st.st_mode) &&
         HasNoWritePermission(st);
}

bool PlatformIsLink(const char* path) {
  char system[kSystemPathCapacity];
  struct stat st;
  if (FaultIsLink(path)) return true;
  return ToSystemPath(path, system) && lstat(system, &st) == 0 && S_ISLNK(st.st_mode);
}

void PlatformSetPermissions(const char* path, uint32_t mode) {
  char system[kSystemPathCapacity];
  if (ToSystemPath(path, system)) chmod(system, (mode_t)mode);
}

void PlatformSetFileTime(const char* path, uint16_t dosDate, uint16_t dosTime) {
  char system[kSystemPathCapacity];
  if (!ToSystemPath(path, system)) return;
  struct tm local;
  memset(&local, 0, sizeof local);
  local.tm_year = ((dosDate >> 9) & 0x7F) + 80;
  local.tm_mon = ((dosDate >> 5) & 0x0F) - 1;
  local.tm_mday = dosDate & 0x1F;
  local.tm_hour = (dosTime >> 11) & 0x1F;
  local.tm_min = (dosTime >> 5) & 0x3F;
  local.tm_sec = (dosTime & 0x1F) * 2;
  local.tm_isdst = -1;  // let the time zone rules decide, as the local time it is
  // Invalid fields (month 0, day 0, hour 24...) make no time, as on Windows.
  if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_hour > 23 ||
      local.tm_min > 59 || local.tm_sec > 59) {
    return;
  }
  time_t when = mktime(&local);
  if (when == (time_t)-1) return;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // only the last-write time is set
  times[1].tv_sec = when;
  times[1].tv_nsec = 0;
  utimensat(AT_FDCWD, system, times, 0);
}

bool PlatformOemToAnsi(const char* oem, char* ansi, size_t capacity) {
  return Cp437ToUtf8(oem, ansi, capacity);
}

// UTF-8 has no lead byte in this sense: no byte of a character is 0x5C.
bool PlatformIsLeadByte(uint8_t byte) { return FaultLeadByte(byte) > 0; }

const char kAnsiSuperscriptLead[] = "\xC2";

bool PlatformUtf8ToAnsi(const char* utf8, char* ansi, size_t capacity) {
  size_t n = 0;
  const unsigned char* p = (const unsigned char*)utf8;
  while (p[n]) {
    uint32_t c;
    int length = DecodeUtf8(p + n, &c);
    if (length == 0) return false;
    n += (size_t)length;
  }
  if (n + 1 > capacity) return false;
  memcpy(ansi, utf8, n + 1);
  return true;
}

bool PlatformMoveToFreeName(const char* from, const char* to) {
  char systemFrom[kSystemPathCapacity], systemTo[kSystemPathCapacity];
  if (FaultHit(kFaultRename) || !ToSystemPath(from, systemFrom) || !ToSystemPath(to, systemTo)) {
    return false;
  }
  if (renameat2(AT_FDCWD, systemFrom, AT_FDCWD, systemTo, RENAME_NOREPLACE) == 0) return true;
  // A file system without the no-replace rename: a second link fails just
  // as surely where the name is taken, and dropping the first completes the
  // move (a failure to drop it leaves the file under both names, complete).
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (link(systemFrom, systemTo) != 0) return false;
  unlink(systemFrom);
  return true;
}

uint32_t PlatformSeed() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t address = (uint64_t)(uintptr_t)&now;  // the stack's place, randomised per process
  return (uint32_t)getpid() ^ (uint32_t)now.tv_nsec ^ (uint32_t)now.tv_sec * 0x01000193u ^
         (uint32_t)(address ^ address >> 32);
}
