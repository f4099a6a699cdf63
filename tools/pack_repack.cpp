// Turning an existing ZIP into a self-extractor without recompressing it.
//
// Each member's local record (header, name, extra field, data and data
// descriptor, byte for byte) is copied in central-directory order, so the
// first central record names the local header that directly follows the
// configuration block. The central records are copied unchanged except for
// their local header offset, which becomes the absolute position in the
// output; the end record gets the new central directory offset and keeps its
// comment. Anything between members in the source is dropped.
//
// Offsets in the source may be relative to a prefix (an archive appended to
// something else): the shift is the difference between where the central
// directory really is (just before the end record) and where it claims to be.
//
// Refused: archives that need the 64-bit extensions (which the stub does not
// read), archives spanning disks, and strong or central-directory encryption.
#include <errno.h>
#include <stddef.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/zip_format.h"
#include "engine/extract.h"
#include "tools/pack_internal.h"

namespace pack {

namespace {

const uint32_t kZip64LocatorSignature = 0x07064B50;
const uint32_t kDataDescriptorSignature = 0x08074B50;
const size_t kZip64LocatorSize = 20;
const size_t kMaxComment = 0xFFFF;
const size_t kCopyChunk = 1 << 20;
const uint16_t kZip64ExtraId = 0x0001;
const uint16_t kFlagDataDescriptor = 0x0008;
const uint16_t kFlagStrongEncryption = 0x0040;
const uint16_t kFlagCentralEncrypted = 0x2000;
const uint16_t kAllOnes16 = 0xFFFF;
const uint32_t kAllOnes32 = 0xFFFFFFFF;
const int kCentralDiskStart = 30;

class SourceZip {
 public:
  explicit SourceZip(const std::string& path) : path_(path) {
    fd_ = open(path.c_str(), O_RDONLY);
    struct stat info;
    if (fd_ < 0 || fstat(fd_, &info) != 0) Fail(strerror(errno));
    size_ = (uint64_t)info.st_size;
  }
  ~SourceZip() {
    if (fd_ >= 0) close(fd_);
  }
  SourceZip(const SourceZip&) = delete;
  SourceZip& operator=(const SourceZip&) = delete;

  uint64_t size() const { return size_; }

  std::vector<uint8_t> Read(uint64_t offset, size_t count) {
    if (offset > size_ || count > size_ - offset) Fail("damaged: a record runs past the end of the file");
    std::vector<uint8_t> bytes(count);
    size_t got = 0;
    while (got < count) {
      ssize_t n = pread(fd_, bytes.data() + got, count - got, (off_t)(offset + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Fail(strerror(errno));
      if (n == 0) Fail("damaged: a record runs past the end of the file");
      got += (size_t)n;
    }
    return bytes;
  }

  void CopyTo(uint64_t offset, uint64_t count, OutputFile& out) {
    while (count > 0) {
      size_t chunk = count < kCopyChunk ? (size_t)count : kCopyChunk;
      std::vector<uint8_t> bytes = Read(offset, chunk);
      out.Write(bytes.data(), bytes.size());
      offset += chunk;
      count -= chunk;
    }
  }

  [[noreturn]] void Fail(const std::string& why) { throw PackError{"'" + path_ + "': " + why}; }

 private:
  std::string path_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

struct SourceMember {
  std::vector<uint8_t> central;  // signature, 42-byte header, name, extra, comment
  uint64_t localOffset = 0;      // where the local record stands in the source
};

// Position of the end record: the last signature whose comment reaches exactly
// to the end of the file, else the last signature whose comment fits in it.
uint64_t FindEndRecord(SourceZip& zip) {
  uint64_t tailSize = zip.size() < kEndRecordTotal + kMaxComment ? zip.size() : kEndRecordTotal + kMaxComment;
  uint64_t tailStart = zip.size() - tailSize;
  std::vector<uint8_t> tail = zip.Read(tailStart, (size_t)tailSize);
  bool found = false;
  uint64_t fallback = 0;
  for (size_t i = tail.size() >= kEndRecordTotal ? tail.size() - kEndRecordTotal + 1 : 0; i-- > 0;) {
    if (ReadLe32(tail.data() + i) != kEndRecordSignature) continue;
    size_t end = i + kEndRecordTotal + ReadLe16(tail.data() + i + kSignatureSize + kEndCommentLength);
    if (end == tail.size()) return tailStart + i;
    if (end < tail.size() && !found) {
      found = true;
      fallback = tailStart + i;
    }
  }
  if (!found) zip.Fail("not a ZIP archive (no end of central directory record)");
  return fallback;
}

bool HasZip64Extra(const uint8_t* extra, size_t length) {
  size_t at = 0;
  while (at + 4 <= length) {
    uint16_t id = ReadLe16(extra + at);
    uint16_t size = ReadLe16(extra + at + 2);
    if (id == kZip64ExtraId) return true;
    at += 4 + size;
  }
  return false;
}

// Checks one central record and warns about what the stub cannot extract.
void CheckMember(SourceZip& zip, const uint8_t* header, const std::string& name, const uint8_t* extra,
                 size_t extraLength) {
  uint16_t flags = ReadLe16(header + kCentralFlags);
  if (flags & (kFlagStrongEncryption | kFlagCentralEncrypted)) {
    zip.Fail("'" + name + "' uses strong encryption, which cannot be repacked");
  }
  if (ReadLe32(header + kCentralCompressedSize) == kAllOnes32 ||
      ReadLe32(header + kCentralUncompressedSize) == kAllOnes32 ||
      ReadLe32(header + kCentralLocalHeaderOffset) == kAllOnes32 || HasZip64Extra(extra, extraLength)) {
    zip.Fail("'" + name + "' uses 64-bit (ZIP64) extensions, which the self-extractor cannot read");
  }
  if (ReadLe16(header + kCentralDiskStart) != 0) zip.Fail("archives spanning several disks cannot be repacked");
  std::string problem = MemberNameProblem(name);
  if (!problem.empty()) zip.Fail("'" + name + "': " + problem);
  uint16_t method = ReadLe16(header + kCentralMethod);
  if (flags & kFlagEncrypted) Warn("'" + name + "' is encrypted; the self-extractor will not extract it");
  if (method != kMethodStored && method != kMethodDeflated) {
    Warn("'" + name + "' uses compression method " + std::to_string(method) +
         "; the self-extractor extracts only stored and deflated members");
  } else if ((ReadLe16(header + kCentralVersionNeeded) & 0xFF) > kHighestVersionNeeded) {
    Warn("'" + name + "' needs a newer extractor than version 2.0; the self-extractor will refuse it");
  }
}

std::vector<SourceMember> ReadCentralDirectory(SourceZip& zip, uint64_t centralStart, uint64_t centralEnd,
                                               int64_t shift) {
  std::vector<uint8_t> bytes = zip.Read(centralStart, (size_t)(centralEnd - centralStart));
  std::vector<SourceMember> members;
  size_t at = 0;
  while (at + kSignatureSize <= bytes.size() && ReadLe32(bytes.data() + at) == kCentralHeaderSignature) {
    if (at + kCentralRecordSize > bytes.size()) zip.Fail("damaged central directory");
    const uint8_t* header = bytes.data() + at + kSignatureSize;
    size_t nameLength = ReadLe16(header + kCentralNameLength);
    size_t extraLength = ReadLe16(header + kCentralExtraLength);
    size_t total = kCentralRecordSize + nameLength + extraLength + ReadLe16(header + kCentralCommentLength);
    if (at + total > bytes.size()) zip.Fail("damaged central directory");
    std::string name((const char*)header + kCentralHeaderSize, nameLength);
    CheckMember(zip, header, name, header + kCentralHeaderSize + nameLength, extraLength);
    SourceMember member;
    member.central.assign(bytes.begin() + (ptrdiff_t)at, bytes.begin() + (ptrdiff_t)(at + total));
    int64_t local = (int64_t)ReadLe32(header + kCentralLocalHeaderOffset) + shift;
    if (local < 0 || (uint64_t)local >= centralStart) zip.Fail("'" + name + "': local header outside the archive");
    member.localOffset = (uint64_t)local;
    members.push_back(member);
    at += total;
  }
  if (at != bytes.size()) Warn("records after the central directory (such as a signature) are dropped");
  if (members.empty()) zip.Fail("the archive has no members");
  if (members.size() > kMaxEntries) zip.Fail("more than 65535 members");
  return members;
}

// Length of a member's local record: header, name, extra, data, descriptor.
uint64_t LocalRecordLength(SourceZip& zip, const SourceMember& member, uint64_t limit) {
  std::vector<uint8_t> local = zip.Read(member.localOffset, kLocalRecordSize);
  if (ReadLe32(local.data()) != kLocalHeaderSignature) zip.Fail("damaged: a local header is missing");
  const uint8_t* centralHeader = member.central.data() + kSignatureSize;
  const uint8_t* header = local.data() + kSignatureSize;
  uint64_t length = kLocalRecordSize + ReadLe16(header + kLocalNameLength) + ReadLe16(header + kLocalExtraLength) +
                    ReadLe32(centralHeader + kCentralCompressedSize);
  if (ReadLe16(header + 2) & kFlagDataDescriptor) {
    // CRC and sizes follow the data, with or without their own signature.
    const uint64_t kDescriptorWithoutSignature = 12;
    uint64_t at = member.localOffset + length;
    bool signed_ = at + kSignatureSize <= limit && ReadLe32(zip.Read(at, kSignatureSize).data()) == kDataDescriptorSignature;
    length += kDescriptorWithoutSignature + (signed_ ? kSignatureSize : 0);
  }
  if (member.localOffset + length > limit) zip.Fail("damaged: member data runs into the central directory");
  return length;
}

}  // namespace

PackTotals RepackZip(const std::string& zipPath, OutputFile& out) {
  SourceZip zip(zipPath);
  uint64_t endPos = FindEndRecord(zip);
  std::vector<uint8_t> end = zip.Read(endPos, kEndRecordTotal);
  const uint8_t* record = end.data() + kSignatureSize;
  std::string comment;
  {
    std::vector<uint8_t> bytes = zip.Read(endPos + kEndRecordTotal, ReadLe16(record + kEndCommentLength));
    comment.assign(bytes.begin(), bytes.end());
  }
  bool zip64 = ReadLe16(record + kEndEntriesTotal) == kAllOnes16 || ReadLe32(record + kEndCentralSize) == kAllOnes32 ||
               ReadLe32(record + kEndCentralOffset) == kAllOnes32;
  if (endPos >= kZip64LocatorSize &&
      ReadLe32(zip.Read(endPos - kZip64LocatorSize, kSignatureSize).data()) == kZip64LocatorSignature) {
    zip64 = true;
  }
  if (zip64) zip.Fail("uses 64-bit (ZIP64) extensions, which the self-extractor cannot read");
  if (ReadLe16(record + kEndDiskNumber) != 0 || ReadLe16(record + kEndCentralDisk) != 0) {
    zip.Fail("archives spanning several disks cannot be repacked");
  }
  uint64_t centralSize = ReadLe32(record + kEndCentralSize);
  if (centralSize > endPos) zip.Fail("damaged end of central directory record");
  uint64_t centralStart = endPos - centralSize;
  int64_t shift = (int64_t)centralStart - (int64_t)ReadLe32(record + kEndCentralOffset);

  std::vector<SourceMember> members = ReadCentralDirectory(zip, centralStart, endPos, shift);
  PackTotals totals;
  std::vector<uint8_t> central;
  for (SourceMember& member : members) {
    uint64_t length = LocalRecordLength(zip, member, centralStart);
    uint8_t* header = member.central.data() + kSignatureSize;
    WriteLe32(header + kCentralLocalHeaderOffset, (uint32_t)out.Position());
    zip.CopyTo(member.localOffset, length, out);
    central.insert(central.end(), member.central.begin(), member.central.end());
    size_t nameLength = ReadLe16(header + kCentralNameLength);
    bool directory = nameLength > 0 && header[kCentralHeaderSize + nameLength - 1] == '/';
    if (directory) {
      totals.directories++;
    } else {
      totals.files++;
    }
    totals.bytesIn += ReadLe32(header + kCentralUncompressedSize);
  }
  uint64_t centralOffset = out.Position();
  out.Write(central.data(), central.size());
  std::vector<uint8_t> newEnd = EndRecordBytes(members.size(), central.size(), centralOffset, comment);
  out.Write(newEnd.data(), newEnd.size());
  return totals;
}

}  // namespace pack
