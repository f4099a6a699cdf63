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
// Names in an existing ZIP are read back the same way. Unix tools store the
// bytes of the file system's name, nowadays UTF-8, without flag bit 11, so
// every Windows reader (and the stub) shows them as CP437 mojibake; such a
// name is stored anew in the packer's own form. A Unicode path field whose
// CRC-32 matches the stored bytes says what they mean; without one, a name
// from a Unix host that is valid UTF-8 is taken as UTF-8, since a CP437 name
// with characters beyond ASCII is rarely valid UTF-8 by chance.
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
const size_t kUnicodePathFixedPart = 5;  // version and CRC-32
const uint16_t kHostUnix = 3;            // high byte of "version made by"

// Characters that Windows does not allow in a file name, beyond the control
// characters and the colon that the stub's rule already refuses. A backslash
// inside a stored name would become a separator on Windows.
const char kWindowsForbidden[] = "<>\"|?*\\";

bool IsValidUtf8(const std::string& text) {
  if (text.find('\0') != std::string::npos) return false;
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

uint32_t NameCrc(const std::string& storedName) {
  return (uint32_t)libdeflate_crc32(0, storedName.data(), storedName.size());
}

std::string UnicodePathExtra(const std::string& storedName, const std::string& utf8Name) {
  uint8_t header[kExtraHeaderSize + kUnicodePathFixedPart];
  WriteLe16(header, kUnicodePathExtraId);
  WriteLe16(header + 2, (uint16_t)(kUnicodePathFixedPart + utf8Name.size()));
  header[kExtraHeaderSize] = kUnicodePathVersion;
  WriteLe32(header + kExtraHeaderSize + 1, NameCrc(storedName));
  return std::string((const char*)header, sizeof header) + utf8Name;
}

// The UTF-8 name of a Unicode path field that still describes `storedName`:
// a field whose CRC differs was written for a name since changed.
bool UnicodePathName(const std::string& storedName, const std::string& extra, std::string* name) {
  size_t at = FindExtraField(extra, kUnicodePathExtraId);
  if (at == std::string::npos) return false;
  const uint8_t* field = (const uint8_t*)extra.data() + at;
  size_t size = ReadLe16(field + 2);
  if (size < kUnicodePathFixedPart || at + kExtraHeaderSize + size > extra.size()) return false;
  if (field[kExtraHeaderSize] != kUnicodePathVersion || ReadLe32(field + kExtraHeaderSize + 1) != NameCrc(storedName)) {
    return false;
  }
  *name = extra.substr(at + kExtraHeaderSize + kUnicodePathFixedPart, size - kUnicodePathFixedPart);
  return !name->empty() && IsValidUtf8(*name);
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

std::string Cp437Text(const std::string& storedName) {
  std::vector<char> text(storedName.size() * 3 + 1);  // every CP437 character takes at most 3 UTF-8 bytes
  return Cp437ToUtf8(storedName.c_str(), text.data(), text.size()) ? text.data() : storedName;
}

size_t FindExtraField(const std::string& extra, uint16_t id) {
  for (size_t at = 0; at + kExtraHeaderSize <= extra.size();
       at += kExtraHeaderSize + ReadLe16((const uint8_t*)extra.data() + at + 2)) {
    if (ReadLe16((const uint8_t*)extra.data() + at) == id) return at;
  }
  return std::string::npos;
}

std::string WithoutExtraField(std::string extra, uint16_t id) {
  size_t at;
  while ((at = FindExtraField(extra, id)) != std::string::npos) {
    extra.erase(at, kExtraHeaderSize + ReadLe16((const uint8_t*)extra.data() + at + 2));
  }
  return extra;
}

std::string WithoutUnicodePath(std::string extra) { return WithoutExtraField(extra, kUnicodePathExtraId); }

StoredName StoreName(const std::string& name) {
  StoredName form;
  std::vector<char> cp437(name.size() + 1);
  if (Utf8ToCp437(name.c_str(), cp437.data(), cp437.size())) {
    form.bytes = cp437.data();
    form.extra = IsAscii(form.bytes) ? "" : UnicodePathExtra(form.bytes, name);
  } else {
    form.bytes = name;
    form.utf8 = true;
  }
  return form;
}

ArchivedName ReadArchivedName(uint16_t versionMadeBy, uint16_t flags, const std::string& stored,
                              const std::string& extra) {
  ArchivedName read;
  read.stored = stored;
  if ((flags & kFlagUtf8Name) || IsAscii(stored)) {
    read.name = stored;
    return read;
  }
  bool fromUnix = (versionMadeBy >> 8) == kHostUnix;
  std::string fromField;
  bool named = fromUnix && UnicodePathName(stored, extra, &fromField);
  if (named || (fromUnix && IsValidUtf8(stored))) {
    read.name = named ? fromField : stored;
    read.form = StoreName(read.name);
    // A name already in the packer's form (CP437 with its Unicode path) stays.
    read.restore = read.form.utf8 || read.form.bytes != stored;
    return read;
  }
  read.name = Cp437Text(stored);
  return read;
}

void EncodeMemberName(SourceEntry& entry) {
  if (!IsValidUtf8(entry.name)) throw PackError{"'" + entry.name + "': name is not valid UTF-8"};
  StoredName form = StoreName(entry.name);
  entry.storedName = form.bytes;
  entry.utf8 = form.utf8;
  entry.extra = form.extra;
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
