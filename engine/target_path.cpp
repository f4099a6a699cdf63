// Target paths and directory creation.
//
// A member name becomes base directory + name with '/' turned into '\'.
// Names are refused before anything is created when they could write outside
// the target directory or somewhere other than they say: a ".." component, a
// colon (drive designators and alternate data streams), a leading double
// separator, a component Windows would silently change (ending in a space or
// a dot, or a device name such as NUL or COM1), a control character. A lone
// "." component is harmless and stays; as the last one it leaves no file name,
// and the path ends at the separator before it, as a directory entry's does.
// A path longer than 255 characters is refused too: a cut path names another
// file.
//
// A member is never written through a link below the base directory: a
// symbolic link or a junction there, left by an earlier archive or planted by
// someone else, would put the file outside the target or replace another one.
// The base and what is above it are the person's choice and may be links.
//
// Whether a directory already ends in a separator is read from its start: in a
// double-byte code page the second byte of a character may be 0x5C.
//
// CreateOutputFile creates a new file at the path (a temporary name: it never
// opens what is there, nor follows a link there) and, when that fails, walks
// it one directory level at a time (and character by character, for the same
// reason), creating what is missing and trying the open again after each
// level, so a path whose directories exist costs one open.
#include <string.h>

#include "engine/extract.h"
#include "engine/status.h"

char outputBaseDirectory[kDirectoryCapacity];

namespace {

const char kSeparator = '\\';

// The directories of the last target path found free of links, up to its last
// separator: members of one directory, the common case, then cost one question
// each. It holds for one base directory, set for each run.
char linkFreeDirectory[kNameCapacity];
const int kPathLimit = kNameCapacity - 1;  // 255 characters

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Windows opens a device instead of a file for these names, whatever the
// extension and whatever blanks stand before it ("NUL .txt" is NUL). Letters
// compare without case, as Windows compares them; other bytes stand for
// themselves. COM and LPT take one digit: 0 to 9, or a superscript one, two
// or three in the ANSI code page (kAnsiSuperscriptLead, then one byte).
const char kDeviceNames[] = "CON\0PRN\0AUX\0NUL\0CONIN$\0CONOUT$\0";
const char kNumberedDevices[] = "COM\0LPT\0";
const size_t kNumberedStem = 3;
const char kSuperscriptDigits[] = "\xB9\xB2\xB3";

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

// True when `text` spells one of the NUL-separated `names`.
bool SpellsOneOf(const char* text, size_t length, const char* names) {
  for (; *names != 0; names += strlen(names) + 1) {
    size_t i = 0;
    while (i < length && UpperAscii(text[i]) == names[i]) i++;
    if (i == length && names[i] == 0) return true;
  }
  return false;
}

bool IsDeviceDigit(const char* text, size_t length) {
  if (length == 1 && text[0] >= '0' && text[0] <= '9') return true;
  size_t lead = strlen(kAnsiSuperscriptLead);
  return length == lead + 1 && memcmp(text, kAnsiSuperscriptLead, lead) == 0 && text[lead] != 0 &&
         strchr(kSuperscriptDigits, text[lead]) != nullptr;
}

bool IsDeviceName(const char* component, size_t length) {
  size_t stem = 0;
  while (stem < length && component[stem] != '.') stem++;
  while (stem > 0 && component[stem - 1] == ' ') stem--;
  if (SpellsOneOf(component, stem, kDeviceNames)) return true;
  return stem > kNumberedStem && IsDeviceDigit(component + kNumberedStem, stem - kNumberedStem) &&
         SpellsOneOf(component, kNumberedStem, kNumberedDevices);
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

bool EndsInSeparator(const char* text) {
  bool separator = false;
  for (const char* p = text; *p != 0; p += CharacterSize(p)) separator = *p == kSeparator;
  return separator;
}

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
  linkFreeDirectory[0] = 0;
  strncpy(outputBaseDirectory, directory, kDirectoryCapacity - 1);
  outputBaseDirectory[kDirectoryCapacity - 1] = 0;
  size_t n = strlen(outputBaseDirectory);
  if (n > 0 && !EndsInSeparator(outputBaseDirectory)) {
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
  if (relativeLength > 0 && relative[relativeLength - 1] == '.' &&
      (relativeLength == 1 || relative[relativeLength - 2] == kSeparator)) {
    relativeLength--;
  }
  if (baseLength + relativeLength > (size_t)kPathLimit) return false;
  memcpy(buffer, outputBaseDirectory, baseLength);
  memcpy(buffer + baseLength, relative, relativeLength);
  return true;
}

bool PassesThroughLink(const char* targetPath) {
  char prefix[kNameCapacity];
  strcpy(prefix, targetPath);  // a target path, which fits
  size_t base = strlen(outputBaseDirectory);
  if (base > strlen(prefix)) return false;  // not a path under the base
  // Each component after the base, as a path of its own, then the whole path;
  // a component not made yet is no link and neither is anything below it.
  // The directories the last clean path shares with this one are passed over.
  size_t known = strlen(linkFreeDirectory), i = base, directories = 0;
  if (known > base && strncmp(prefix, linkFreeDirectory, known) == 0) i = known;
  for (;;) {
    char c = prefix[i];
    if (c != kSeparator && c != 0) {
      i += CharacterSize(prefix + i);
      continue;
    }
    prefix[i] = 0;
    if (i > base && PlatformIsLink(prefix)) return true;
    if (c == 0) break;
    prefix[i++] = c;
    directories = i;
  }
  if (directories > 0) {
    memcpy(linkFreeDirectory, prefix, directories);
    linkFreeDirectory[directories] = 0;
  }
  return false;
}

bool FileExists(const char* path) { return path[0] != 0 && PlatformExists(path); }

char* AddTrailingSeparator(char* text) {
  size_t n = strlen(text);
  if (n > 0 && !EndsInSeparator(text) && text[n - 1] != ':') {
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
    outputHandle = PlatformOpenNew(path);
    if (outputHandle != kNoHandle) {
      errorCode = kStatusOk;
      return;
    }
    errorCode = kStatusFileError;
    // Advance by one directory component; a drive designator or a leading
    // separator alone does not count as one.
    for (;;) {
      size_t separator = rest;
      while (path[separator] != 0 && path[separator] != kSeparator) {
        separator += CharacterSize(path + separator);
      }
      if (separator >= (size_t)kPathLimit || path[separator] == 0) return;
      size_t length = separator - rest;
      // As AddTrailingSeparator: none after a separator or a drive.
      prefix[used] = 0;
      if (used > 0 && !EndsInSeparator(prefix) && prefix[used - 1] != ':') prefix[used++] = kSeparator;
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
