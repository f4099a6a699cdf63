// Target paths and directory creation.
//
// A member name becomes base directory + name with '/' turned into '\'.
// Names are refused before anything is created when they could write outside
// the target directory or somewhere other than they say: a ".." component, a
// colon (drive designators and alternate data streams), a leading double
// separator, a component Windows would silently change (ending in a space or
// a dot, or a device name such as NUL or COM1), a control character. A lone
// "." component is harmless and stays. A path
// longer than 255 characters is refused too: a cut path names another file.
//
// CreateOutputFile opens the path and, when that fails, walks it one
// directory level at a time, creating what is missing and trying the open
// again after each level, so a path whose directories exist costs one open.
#include <string.h>

#include "engine/extract.h"
#include "engine/status.h"

char outputBaseDirectory[kDirectoryCapacity];

namespace {

const char kSeparator = '\\';
const int kPathLimit = kNameCapacity - 1;  // 255 characters

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Windows opens a device instead of a file for these names, whatever the
// extension: CON, PRN, AUX, NUL, COM1..COM9, LPT1..LPT9. Letters compare
// without case, as Windows compares them; other bytes stand for themselves.
const char kDeviceNames[] = "CONPRNAUXNULCOMLPT";
const size_t kDeviceStem = 3;
const size_t kNumberedDevicesFrom = 12;  // COM and LPT take a digit 1..9

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

bool IsDeviceName(const char* component, size_t length) {
  size_t stem = 0;
  while (stem < length && component[stem] != '.') stem++;
  if (stem != kDeviceStem && stem != kDeviceStem + 1) return false;
  if (stem == kDeviceStem + 1 && (component[kDeviceStem] < '1' || component[kDeviceStem] > '9')) {
    return false;
  }
  size_t first = stem == kDeviceStem ? 0 : kNumberedDevicesFrom;
  size_t end = stem == kDeviceStem ? kNumberedDevicesFrom : sizeof kDeviceNames - 1;
  for (size_t name = first; name < end; name += kDeviceStem) {
    size_t i = 0;
    while (i < kDeviceStem && UpperAscii(component[i]) == kDeviceNames[name + i]) i++;
    if (i == kDeviceStem) return true;
  }
  return false;
}

bool ComponentIsSafe(const char* component, size_t length) {
  // Repeated separators collapse, and "." names the directory itself (some
  // tools store "./name").
  if (length == 0 || (length == 1 && component[0] == '.')) return true;
  char last = component[length - 1];
  if (last == '.' || last == ' ') return false;  // also "..", "...", ".. "
  return !IsDeviceName(component, length);
}

}  // namespace

bool MemberNameIsSafe(const char* name) {
  if (IsSeparator(name[0]) && IsSeparator(name[1])) return false;
  const char* component = name;
  for (const char* p = name;; p++) {
    unsigned char c = (unsigned char)*p;
    if (c == 0 || IsSeparator((char)c)) {
      if (!ComponentIsSafe(component, (size_t)(p - component))) return false;
      if (c == 0) return true;
      component = p + 1;
    } else if (c < 0x20 || c == 0x7F || c == ':') {
      return false;
    }
  }
}

void SetOutputBaseDirectory(const char* directory) {
  strncpy(outputBaseDirectory, directory, kDirectoryCapacity - 1);
  outputBaseDirectory[kDirectoryCapacity - 1] = 0;
  size_t n = strlen(outputBaseDirectory);
  if (n > 0 && outputBaseDirectory[n - 1] != kSeparator) {
    if (n + 1 < (size_t)kDirectoryCapacity) {
      outputBaseDirectory[n] = kSeparator;
      outputBaseDirectory[n + 1] = 0;
    }
  }
}

bool BuildTargetPath(const char* name, char* buffer) {
  char work[kNameCapacity];
  memset(buffer, 0, kNameCapacity);
  if (!MemberNameIsSafe(name)) return false;
  strncpy(work, name, kNameCapacity - 1);
  work[kNameCapacity - 1] = 0;
  for (char* p = work; *p; p++) {
    if (*p == '/') *p = kSeparator;
  }
  const char* relative = work[0] == kSeparator ? work + 1 : work;
  size_t baseLength = strlen(outputBaseDirectory);
  size_t relativeLength = strlen(relative);
  if (baseLength + relativeLength > (size_t)kPathLimit) return false;
  memcpy(buffer, outputBaseDirectory, baseLength);
  memcpy(buffer + baseLength, relative, relativeLength + 1);
  return true;
}

bool FileExists(const char* path) { return path[0] != 0 && PlatformExists(path); }

char* AddTrailingSeparator(char* text) {
  size_t n = strlen(text);
  if (n > 0 && text[n - 1] != kSeparator && text[n - 1] != ':') {
    text[n] = kSeparator;
    text[n + 1] = 0;
  }
  return text;
}

void CreateOutputFile(const char* path) {
  // The walk: the directories made so far, and the rest of the path after
  // them (its first 255 characters count). The prefix has room for one
  // separator more.
  size_t rest = 0;
  char prefix[kNameCapacity + 1];
  size_t used = 0;  // the prefix's length
  for (;;) {
    outputHandle = PlatformOpenWrite(path);
    if (outputHandle != kNoHandle) {
      errorCode = kStatusOk;
      return;
    }
    errorCode = kStatusFileError;
    // Advance by one directory component; a drive designator or a leading
    // separator alone does not count as one.
    for (;;) {
      size_t separator = rest;
      while (separator < (size_t)kPathLimit && path[separator] != 0 && path[separator] != kSeparator) {
        separator++;
      }
      if (separator == (size_t)kPathLimit || path[separator] == 0) return;
      size_t length = separator - rest;
      // As AddTrailingSeparator: none after a separator or a drive.
      if (used > 0 && prefix[used - 1] != kSeparator && prefix[used - 1] != ':') prefix[used++] = kSeparator;
      if (used + length >= sizeof prefix) return;
      memcpy(prefix + used, path + rest, length);
      used += length;
      rest = separator + 1;
      // The root of the path, or of a drive: the separator goes with it.
      if (used == 0 || prefix[used - 1] == ':') {
        prefix[used++] = kSeparator;
        continue;
      }
      break;
    }
    prefix[used] = 0;
    if (!FileExists(prefix) && !PlatformMakeDirectory(prefix)) return;
  }
}
