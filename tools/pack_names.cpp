// Member names and times as the packer stores them.
//
// A name is stored in code page 437 when every character has a place there,
// so the stub (which converts names from the OEM code page) shows it right;
// otherwise it is stored as UTF-8 with flag bit 11 set, which other tools
// read. Either way the stored bytes must pass the stub's own safety rule and
// must name something Windows can create, or the self-extractor would fail
// on the person's machine instead of here.
//
// A CP437 name with characters beyond ASCII also gets a Unicode path extra
// field (0x7075: version 1, the CRC-32 of the stored name, the UTF-8 name):
// tools on other systems that do not convert from CP437 take the name from
// it, and the stub, which skips extra fields, is not affected.
//
// Times are local DOS times: two-second steps from 1980 to 2107.
#include <time.h>

#include <string.h>

#include <libdeflate.h>

#include "engine/extract.h"
#include "platform/cp437.h"
#include "archive/zip_format.h"
#include "tools/pack_internal.h"

namespace pack {

namespace {

const int kDosEpochYear = 1980;
const uint16_t kUnicodePathExtraId = 0x7075;
const uint8_t kUnicodePathVersion = 1;
const int kDosLastYear = 2107;

// Characters that Windows does not allow in a file name, beyond the control
// characters and the colon that the stub's rule already refuses. A backslash
// inside a stored name would become a separator on Windows.
const char kWindowsForbidden[] = "<>\"|?*\\";

bool IsValidUtf8(const std::string& text) {
  const unsigned char* p = (const unsigned char*)text.c_str();
  while (*p) {
    uint32_t codePoint;
    int length = DecodeUtf8(p, &codePoint);
    if (length == 0) return false;
    p += length;
  }
  return true;
}

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::string UnicodePathExtra(const std::string& storedName, const std::string& utf8Name) {
  const size_t kFixedPart = 5;  // version and CRC-32
  uint8_t header[4 + kFixedPart];
  WriteLe16(header, kUnicodePathExtraId);
  WriteLe16(header + 2, (uint16_t)(kFixedPart + utf8Name.size()));
  header[4] = kUnicodePathVersion;
  WriteLe32(header + 5, (uint32_t)libdeflate_crc32(0, storedName.data(), storedName.size()));
  return std::string((const char*)header, sizeof header) + utf8Name;
}

}  // namespace

std::string MemberNameProblem(const std::string& storedName) {
  if (storedName.empty()) return "empty name";
  if (storedName.size() > kMaxStoredName) return "name longer than 255 bytes";
  if (storedName.find('\0') != std::string::npos) return "name holds a NUL byte";
  for (unsigned char c : storedName) {
    if (c < 0x20 || c == 0x7F) return "name holds a control character";
    if (strchr(kWindowsForbidden, c) != nullptr) {
      return std::string("name holds '") + (char)c + "', which Windows does not allow in file names";
    }
  }
  if (storedName[0] == '/') return "absolute name";
  if (!MemberNameIsSafe(storedName.c_str())) {
    return "name the self-extractor refuses as unsafe (a '..', a colon, a device name, or a part "
           "ending in a dot or a space)";
  }
  return "";
}

void EncodeMemberName(SourceEntry& entry) {
  if (!IsValidUtf8(entry.name)) throw PackError{"'" + entry.name + "': name is not valid UTF-8"};
  std::vector<char> cp437(entry.name.size() + 1);
  if (Utf8ToCp437(entry.name.c_str(), cp437.data(), cp437.size())) {
    entry.storedName = cp437.data();
    entry.utf8 = false;
    entry.extra = IsAscii(entry.storedName) ? "" : UnicodePathExtra(entry.storedName, entry.name);
  } else {
    entry.storedName = entry.name;
    entry.utf8 = true;
  }
  std::string problem = MemberNameProblem(entry.storedName);
  if (!problem.empty()) throw PackError{"'" + entry.name + "': " + problem};
}

void UnixTimeToDos(int64_t unixTime, uint16_t* dosDate, uint16_t* dosTime, bool* clamped) {
  time_t t = (time_t)unixTime;
  struct tm local;
  memset(&local, 0, sizeof local);
  bool known = localtime_r(&t, &local) != nullptr;
  int year = local.tm_year + 1900;
  *clamped = false;
  if (!known || year < kDosEpochYear) {
    *clamped = true;
    *dosDate = (uint16_t)((0 << 9) | (1 << 5) | 1);  // 1980-01-01
    *dosTime = 0;
    return;
  }
  if (year > kDosLastYear) {
    *clamped = true;
    *dosDate = (uint16_t)(((kDosLastYear - kDosEpochYear) << 9) | (12 << 5) | 31);
    *dosTime = (uint16_t)((23 << 11) | (59 << 5) | (58 / 2));
    return;
  }
  // A leap second (tm_sec 60) stays within the field as 30.
  *dosDate = (uint16_t)(((year - kDosEpochYear) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
  *dosTime = (uint16_t)((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
}

bool MemberNameLess(const std::string& a, const std::string& b) {
  // Compare component by component: "a/x" sorts before "a-b" because the
  // component "a" is a prefix of "a-b". A directory entry "a/" then comes
  // directly before everything inside it.
  size_t i = 0, j = 0;
  for (;;) {
    size_t endA = a.find('/', i);
    size_t endB = b.find('/', j);
    if (endA == std::string::npos) endA = a.size();
    if (endB == std::string::npos) endB = b.size();
    int order = a.compare(i, endA - i, b, j, endB - j);
    if (order != 0) return order < 0;
    bool lastA = endA >= a.size();
    bool lastB = endB >= b.size();
    if (lastA || lastB) return lastA && !lastB;
    i = endA + 1;
    j = endB + 1;
  }
}

}  // namespace pack
