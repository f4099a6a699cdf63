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
// A name that a Unix tool stored in UTF-8 without flag bit 11 (Windows
// readers and the stub take it as CP437) is stored anew, as packed names are:
// the local header, name and extra field are rewritten and the rest of the
// record is copied; the central record gets the same name, flag and extra.
// Such a member also loses its data descriptor (its CRC and sizes go into
// the rewritten header): some readers, finding a Unicode path field longer
// than the stored name in a local header that a descriptor follows, take the
// records for overlapping ones and refuse the archive. An encrypted member
// keeps its descriptor, on whose flag its password check depends.
// Every other member's bytes stay as they were.
//
// The same reading of the directory serves the tool's name warnings and the
// checks of the follow-up command, which need the names and a member's bytes.
//
// Offsets in the source may be relative to a prefix (an archive appended to
// something else): the shift is the difference between where the central
// directory really is (just before the end record, or before the ZIP64 end
// record) and where it claims to be.
//
// ZIP64: the locator before the end record leads to the ZIP64 end record,
// whose values the end record's fields must repeat or leave saturated, and a
// central record's saturated sizes and offset come from its ZIP64 extra
// field. The output's central records carry the sizes and the rebased offset
// as a packed member's do: in the fields where they fit, in a new ZIP64 extra
// field (the source's is dropped) where they do not, so that a member moved
// below 4 GiB loses the field and one moved past it gains it. Local records
// keep their bytes, a ZIP64 extra field included.
//
// Refused: damaged ZIP64 records, archives spanning disks, and strong or
// central-directory encryption.
#include <errno.h>
#include <stddef.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include <libdeflate.h>

#include "archive/zip_format.h"
#include "engine/extract.h"
#include "tools/pack_internal.h"

namespace pack {

namespace {

const uint32_t kDataDescriptorSignature = 0x08074B50;
const size_t kZip64LocatorTotal = kSignatureSize + kZip64LocatorSize;
const size_t kZip64EndTotal = kSignatureSize + kZip64EndSize;
const size_t kMaxComment = 0xFFFF;
const size_t kCopyChunk = 1 << 20;
const uint16_t kFlagDataDescriptor = 0x0008;
const uint16_t kFlagStrongEncryption = 0x0040;
const uint16_t kFlagCentralEncrypted = 0x2000;
const int kCentralDiskStart = 30;
const size_t kMaxExtra = 0xFFFF;
// A data descriptor after its optional signature: CRC and both sizes, in 8
// bytes each when the local header carries a ZIP64 extra field.
const uint64_t kDescriptorWithoutSignature = 12;
const uint64_t kWideDescriptorWithoutSignature = 20;

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
  uint64_t uncompressedSize = 0;
  uint64_t compressedSize = 0;
  ArchivedName name;

  const uint8_t* header() const { return central.data() + kSignatureSize; }
  std::string extra() const {
    size_t at = kCentralRecordSize + ReadLe16(header() + kCentralNameLength);
    return std::string((const char*)central.data() + at, ReadLe16(header() + kCentralExtraLength));
  }
};

// The central directory as the end records give it: its entries, size and
// offset, and where it really ends (at the end record, or the ZIP64 one).
struct DirectoryPlace {
  uint64_t entries = 0;
  uint64_t size = 0;
  uint64_t offset = 0;
  uint64_t end = 0;
};

struct SourceDirectory {
  uint64_t centralStart = 0;  // where the central directory really is
  std::string comment;
  std::vector<SourceMember> members;
  bool trailing = false;      // records follow the central directory
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

[[noreturn]] void FailZip64(SourceZip& zip, const std::string& why) { zip.Fail("damaged ZIP64 records: " + why); }

// A central record's sizes and local-header offset at full width: each
// saturated one from the ZIP64 extra field, in that order.
void ReadWideValues(SourceZip& zip, SourceMember& member) {
  const int fields[kWideFieldCount] = {kCentralUncompressedSize, kCentralCompressedSize, kCentralLocalHeaderOffset};
  uint64_t* values[kWideFieldCount] = {&member.uncompressedSize, &member.compressedSize, &member.localOffset};
  std::string extra = member.extra();
  size_t at = FindExtraField(extra, kZip64ExtraId);
  std::string wide;  // the field's data, as far as the extra field holds it
  if (at != std::string::npos) wide = extra.substr(at + kExtraHeaderSize, ReadLe16((const uint8_t*)&extra[at + 2]));
  size_t used = 0;
  for (int i = 0; i < kWideFieldCount; i++) {
    *values[i] = ReadLe32(member.header() + fields[i]);
    if (*values[i] != kSaturated32) continue;
    if (used + 8 > wide.size()) FailZip64(zip, "'" + member.name.name + "' lacks a 64-bit size or offset");
    *values[i] = ReadLe64((const uint8_t*)wide.data() + used);
    used += 8;
  }
}

std::vector<SourceMember> ReadCentralRecords(SourceZip& zip, const std::vector<uint8_t>& bytes, uint64_t centralStart,
                                             int64_t shift, size_t* used) {
  std::vector<SourceMember> members;
  size_t at = 0;
  while (at + kSignatureSize <= bytes.size() && ReadLe32(bytes.data() + at) == kCentralHeaderSignature) {
    if (at + kCentralRecordSize > bytes.size()) zip.Fail("damaged central directory");
    const uint8_t* header = bytes.data() + at + kSignatureSize;
    size_t nameLength = ReadLe16(header + kCentralNameLength);
    size_t total = kCentralRecordSize + nameLength + ReadLe16(header + kCentralExtraLength) +
                   ReadLe16(header + kCentralCommentLength);
    if (at + total > bytes.size()) zip.Fail("damaged central directory");
    SourceMember member;
    member.central.assign(bytes.begin() + (ptrdiff_t)at, bytes.begin() + (ptrdiff_t)(at + total));
    member.name = ReadArchivedName(ReadLe16(header + kCentralVersionMadeBy), ReadLe16(header + kCentralFlags),
                                   std::string((const char*)header + kCentralHeaderSize, nameLength), member.extra());
    ReadWideValues(zip, member);
    // A 64-bit offset past any file is held below the point where adding the shift could wrap: it fails the check.
    int64_t local = (int64_t)std::min<uint64_t>(member.localOffset, INT64_MAX / 2) + shift;
    if (local < 0 || (uint64_t)local >= centralStart) {
      zip.Fail("'" + member.name.name + "': local header outside the archive");
    }
    member.localOffset = (uint64_t)local;
    members.push_back(member);
    at += total;
  }
  *used = at;
  return members;
}

bool Agrees(uint64_t field, uint64_t saturated, uint64_t value) { return field == saturated || field == value; }

// The directory as the ZIP64 end record gives it, found through the locator
// before the end record at `endPos`.
DirectoryPlace ReadZip64Place(SourceZip& zip, uint64_t endPos, const uint8_t* end) {
  uint64_t locatorPos = endPos - kZip64LocatorTotal;
  std::vector<uint8_t> locator = zip.Read(locatorPos, kZip64LocatorTotal);
  const uint8_t* l = locator.data() + kSignatureSize;
  if (ReadLe32(l + kLocatorRecordDisk) != 0 || ReadLe32(l + kLocatorDiskCount) > 1) {
    zip.Fail("archives spanning several disks cannot be repacked");
  }
  uint64_t pointer = ReadLe64(l + kLocatorRecordOffset);
  auto recordAt = [&](uint64_t at) {
    return at <= locatorPos && locatorPos - at >= kZip64EndTotal &&
           ReadLe32(zip.Read(at, kSignatureSize).data()) == kZip64EndRecordSignature;
  };
  uint64_t at = pointer;
  // Behind a prefix, the record (without extensible data) stands directly before the locator.
  if (!recordAt(at)) at = locatorPos - std::min<uint64_t>(locatorPos, kZip64EndTotal);
  if (!recordAt(at)) FailZip64(zip, "the ZIP64 end record is missing");
  std::vector<uint8_t> record = zip.Read(at, kZip64EndTotal);
  const uint8_t* r = record.data() + kSignatureSize;
  DirectoryPlace place{ReadLe64(r + kZip64EndEntriesTotal), ReadLe64(r + kZip64EndCentralSize),
                       ReadLe64(r + kZip64EndCentralOffset), at};
  if (ReadLe32(r + kZip64EndDiskNumber) != 0 || ReadLe32(r + kZip64EndCentralDisk) != 0) {
    zip.Fail("archives spanning several disks cannot be repacked");
  }
  bool agrees = ReadLe64(r + kZip64EndEntriesOnDisk) == place.entries &&
                Agrees(ReadLe16(end + kEndEntriesOnDisk), kSaturated16, place.entries) &&
                Agrees(ReadLe16(end + kEndEntriesTotal), kSaturated16, place.entries) &&
                Agrees(ReadLe32(end + kEndCentralSize), kSaturated32, place.size) &&
                Agrees(ReadLe32(end + kEndCentralOffset), kSaturated32, place.offset);
  if (!agrees) FailZip64(zip, "the end record and the ZIP64 end record disagree");
  if (place.size > pointer || place.offset != pointer - place.size) {
    FailZip64(zip, "the central directory does not end at the ZIP64 end record");
  }
  return place;
}

// The end record and the central directory; PackError for what the stub
// cannot read at all (several disks) and for damage.
SourceDirectory ReadSourceDirectory(SourceZip& zip) {
  uint64_t endPos = FindEndRecord(zip);
  std::vector<uint8_t> end = zip.Read(endPos, kEndRecordTotal);
  const uint8_t* record = end.data() + kSignatureSize;
  SourceDirectory directory;
  std::vector<uint8_t> comment = zip.Read(endPos + kEndRecordTotal, ReadLe16(record + kEndCommentLength));
  directory.comment.assign(comment.begin(), comment.end());
  if (ReadLe16(record + kEndDiskNumber) != 0 || ReadLe16(record + kEndCentralDisk) != 0) {
    zip.Fail("archives spanning several disks cannot be repacked");
  }
  DirectoryPlace place{ReadLe16(record + kEndEntriesTotal), ReadLe32(record + kEndCentralSize),
                       ReadLe32(record + kEndCentralOffset), endPos};
  if (endPos >= kZip64LocatorTotal &&
      ReadLe32(zip.Read(endPos - kZip64LocatorTotal, kSignatureSize).data()) == kZip64LocatorSignature) {
    place = ReadZip64Place(zip, endPos, record);
  } else if (place.offset == kSaturated32) {
    FailZip64(zip, "the end record's central directory offset needs a ZIP64 locator, which is missing");
  }
  if (place.size > place.end || place.size > SIZE_MAX) zip.Fail("damaged end of central directory record");
  directory.centralStart = place.end - place.size;
  int64_t shift = (int64_t)directory.centralStart - (int64_t)std::min<uint64_t>(place.offset, INT64_MAX / 2);
  std::vector<uint8_t> bytes = zip.Read(directory.centralStart, (size_t)place.size);
  size_t used = 0;
  directory.members = ReadCentralRecords(zip, bytes, directory.centralStart, shift, &used);
  directory.trailing = used != bytes.size();
  return directory;
}

// The bytes the output holds for a member's name.
const std::string& OutputName(const SourceMember& member) {
  return member.name.restore ? member.name.form.bytes : member.name.stored;
}

// Checks one central record and warns about what the stub cannot extract.
void CheckMember(SourceZip& zip, const SourceMember& member) {
  const uint8_t* header = member.header();
  const std::string& name = member.name.name;
  uint16_t flags = ReadLe16(header + kCentralFlags);
  if (flags & (kFlagStrongEncryption | kFlagCentralEncrypted)) {
    zip.Fail("'" + name + "' uses strong encryption, which cannot be repacked");
  }
  if (ReadLe16(header + kCentralDiskStart) != 0) zip.Fail("archives spanning several disks cannot be repacked");
  std::string problem = MemberNameProblem(OutputName(member));
  if (!problem.empty()) zip.Fail("'" + name + "': " + problem);
  uint16_t method = ReadLe16(header + kCentralMethod);
  if (flags & kFlagEncrypted) Warn("'" + name + "' is encrypted; the self-extractor will not extract it");
  if (method != kMethodStored && method != kMethodDeflated) {
    Warn("'" + name + "' uses compression method " + std::to_string(method) +
         "; the self-extractor extracts only stored and deflated members");
  } else if (uint8_t version = ReadLe16(header + kCentralVersionNeeded) & 0xFF;
             version > kHighestVersionNeeded && version != kVersionZip64) {
    Warn("'" + name + "' needs a newer extractor than version 2.0; the self-extractor will refuse it");
  }
}

// Where a member's local record stands: its header with name and extra, and
// the whole record with data and data descriptor.
struct LocalRecord {
  std::vector<uint8_t> fixed;  // signature and 26-byte header
  uint64_t headerLength = 0;
  uint64_t descriptorLength = 0;
  uint64_t length = 0;
};

LocalRecord ReadLocalRecord(SourceZip& zip, const SourceMember& member, uint64_t limit) {
  LocalRecord local;
  local.fixed = zip.Read(member.localOffset, kLocalRecordSize);
  if (ReadLe32(local.fixed.data()) != kLocalHeaderSignature) zip.Fail("damaged: a local header is missing");
  const uint8_t* header = local.fixed.data() + kSignatureSize;
  local.headerLength = kLocalRecordSize + ReadLe16(header + kLocalNameLength) + ReadLe16(header + kLocalExtraLength);
  if (member.compressedSize > limit) zip.Fail("damaged: member data runs into the central directory");
  local.length = local.headerLength + member.compressedSize;
  if (ReadLe16(header + kLocalFlags) & kFlagDataDescriptor) {
    // CRC and sizes follow the data, with or without their own signature.
    uint64_t at = member.localOffset + local.length;
    bool signed_ = at + kSignatureSize <= limit && ReadLe32(zip.Read(at, kSignatureSize).data()) == kDataDescriptorSignature;
    size_t extraLength = ReadLe16(header + kLocalExtraLength);
    std::vector<uint8_t> extra = zip.Read(member.localOffset + local.headerLength - extraLength, extraLength);
    bool wide = FindExtraField(std::string(extra.begin(), extra.end()), kZip64ExtraId) != std::string::npos;
    local.descriptorLength =
        (wide ? kWideDescriptorWithoutSignature : kDescriptorWithoutSignature) + (signed_ ? kSignatureSize : 0);
    local.length += local.descriptorLength;
  }
  if (member.localOffset + local.length > limit) zip.Fail("damaged: member data runs into the central directory");
  return local;
}

bool DropsDescriptor(const LocalRecord& local) {
  uint16_t flags = ReadLe16(local.fixed.data() + kSignatureSize + kLocalFlags);
  return (flags & kFlagDataDescriptor) && !(flags & kFlagEncrypted);
}

// A record's fixed part for a name stored anew: the UTF-8 flag, the new
// lengths, and without a descriptor the CRC and the sizes as a local header
// holds them (a central record's sizes are set again with its offset).
// `fields` is where "version needed" stands, from which the local header and
// the central record share their layout.
std::vector<uint8_t> RenamedFixedPart(const uint8_t* record, size_t size, size_t fields, const SourceMember& member,
                                      size_t extraLength, bool dropDescriptor) {
  const StoredName& form = member.name.form;
  std::vector<uint8_t> out(record, record + size);
  uint8_t* at = out.data() + fields - kLocalVersionNeeded;
  uint16_t flags = ReadLe16(at + kLocalFlags) | (form.utf8 ? kFlagUtf8Name : 0);
  if (dropDescriptor) {
    flags &= (uint16_t)~kFlagDataDescriptor;
    WideFields sizes = WideFieldsOf(member.uncompressedSize, member.compressedSize, 0, RecordKind::kLocal);
    WriteLe32(at + kLocalCrc, ReadLe32(member.header() + kCentralCrc));
    WriteLe32(at + kLocalCompressedSize, sizes.compressedSize);
    WriteLe32(at + kLocalUncompressedSize, sizes.uncompressedSize);
  }
  WriteLe16(at + kLocalFlags, flags);
  WriteLe16(at + kLocalNameLength, (uint16_t)form.bytes.size());
  WriteLe16(at + kLocalExtraLength, (uint16_t)extraLength);
  out.insert(out.end(), form.bytes.begin(), form.bytes.end());
  return out;
}

// An extra field without the old name's Unicode path, with the new one's.
std::string RenamedExtra(SourceZip& zip, const SourceMember& member, const std::string& extra) {
  std::string renamed = WithoutUnicodePath(extra) + member.name.form.extra;
  if (renamed.size() > kMaxExtra) zip.Fail("'" + member.name.name + "': extra field too long for the new name");
  return renamed;
}

std::vector<uint8_t> RenamedCentral(SourceZip& zip, const SourceMember& member, bool dropDescriptor) {
  std::string extra = RenamedExtra(zip, member, member.extra());
  const size_t kFields = kSignatureSize + kCentralVersionNeeded;
  std::vector<uint8_t> out =
      RenamedFixedPart(member.central.data(), kCentralRecordSize, kFields, member, extra.size(), dropDescriptor);
  out.insert(out.end(), extra.begin(), extra.end());
  size_t commentAt = member.central.size() - ReadLe16(member.header() + kCentralCommentLength);
  out.insert(out.end(), member.central.begin() + (ptrdiff_t)commentAt, member.central.end());
  return out;
}

void CopyRenamedLocal(SourceZip& zip, const SourceMember& member, const LocalRecord& local, OutputFile& out) {
  size_t extraLength = ReadLe16(local.fixed.data() + kSignatureSize + kLocalExtraLength);
  std::vector<uint8_t> oldExtra = zip.Read(member.localOffset + local.headerLength - extraLength, extraLength);
  std::string extra(oldExtra.begin(), oldExtra.end());
  bool dropDescriptor = DropsDescriptor(local);
  if (dropDescriptor) {  // the sizes move into the header, with a ZIP64 extra field of their own where they need one
    extra = WideFieldsOf(member.uncompressedSize, member.compressedSize, 0, RecordKind::kLocal).extra +
            WithoutExtraField(extra, kZip64ExtraId);
  }
  extra = RenamedExtra(zip, member, extra);
  const size_t kFields = kSignatureSize + kLocalVersionNeeded;
  std::vector<uint8_t> header =
      RenamedFixedPart(local.fixed.data(), kLocalRecordSize, kFields, member, extra.size(), dropDescriptor);
  out.Write(header.data(), header.size());
  out.Write(extra.data(), extra.size());
  uint64_t rest = local.length - local.headerLength - (dropDescriptor ? local.descriptorLength : 0);
  zip.CopyTo(member.localOffset + local.headerLength, rest, out);
}

// The member's central record for a local header at `offset`: its sizes and
// offset where they fit, the others in a ZIP64 extra field in place of the
// source's, and "version needed" 4.5 with that field.
std::vector<uint8_t> RebasedCentral(SourceZip& zip, const SourceMember& member, uint64_t offset) {
  WideFields wide = WideFieldsOf(member.uncompressedSize, member.compressedSize, offset, RecordKind::kCentral);
  std::string extra = wide.extra + WithoutExtraField(member.extra(), kZip64ExtraId);
  if (extra.size() > kMaxExtra) zip.Fail("'" + member.name.name + "': extra field too long for its ZIP64 values");
  const uint8_t* source = member.header();
  size_t nameEnd = kCentralRecordSize + ReadLe16(source + kCentralNameLength);
  size_t commentAt = member.central.size() - ReadLe16(source + kCentralCommentLength);
  std::vector<uint8_t> out(member.central.begin(), member.central.begin() + (ptrdiff_t)nameEnd);
  uint8_t* header = out.data() + kSignatureSize;
  WriteLe16(header + kCentralVersionNeeded, VersionNeededFor(ReadLe16(source + kCentralVersionNeeded),
                                                             member.uncompressedSize, member.compressedSize, offset));
  WriteLe32(header + kCentralCompressedSize, wide.compressedSize);
  WriteLe32(header + kCentralUncompressedSize, wide.uncompressedSize);
  WriteLe32(header + kCentralLocalHeaderOffset, wide.localHeaderOffset);
  WriteLe16(header + kCentralExtraLength, (uint16_t)extra.size());
  out.insert(out.end(), extra.begin(), extra.end());
  out.insert(out.end(), member.central.begin() + (ptrdiff_t)commentAt, member.central.end());
  return out;
}

const SourceMember* FindMember(const SourceDirectory& directory, const std::string& name) {
  for (const SourceMember& member : directory.members) {
    if (member.name.name == name) return &member;
  }
  return nullptr;
}

// What a sound encoder's Deflate stream takes at most: an eighth more than
// its bytes (every literal in 9 bits), plus block headers. A member whose
// compressed size passes it is not read (Deflate allows more, but only a
// hostile or broken archive needs it).
uint64_t LargestDeflated(uint64_t size) {
  const uint64_t kBlockHeaders = 64;
  return size + size / 8 + kBlockHeaders;
}

std::vector<uint8_t> Inflate(const std::vector<uint8_t>& compressed, size_t size) {
  std::vector<uint8_t> out(size);
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  if (decompressor == nullptr) throw std::bad_alloc();
  size_t produced = 0;
  libdeflate_result result = libdeflate_deflate_decompress(decompressor, compressed.data(), compressed.size(),
                                                           out.data(), out.size(), &produced);
  libdeflate_free_decompressor(decompressor);
  if (result != LIBDEFLATE_SUCCESS || produced != size) out.clear();
  return out;
}

}  // namespace

PackTotals RepackZip(const std::string& zipPath, OutputFile& out) {
  SourceZip zip(zipPath);
  SourceDirectory directory = ReadSourceDirectory(zip);
  std::vector<SourceMember>& members = directory.members;
  if (members.empty()) zip.Fail("the archive has no members");
  for (const SourceMember& member : members) CheckMember(zip, member);
  if (directory.trailing) Warn("records after the central directory (such as a signature) are dropped");

  PackTotals totals;
  size_t renamed = 0;
  std::vector<uint8_t> central;
  for (SourceMember& member : members) {
    LocalRecord local = ReadLocalRecord(zip, member, directory.centralStart);
    uint64_t offset = out.Position();
    if (member.name.restore) {
      CopyRenamedLocal(zip, member, local, out);
      member.central = RenamedCentral(zip, member, DropsDescriptor(local));
      renamed++;
    } else {
      zip.CopyTo(member.localOffset, local.length, out);
    }
    member.central = RebasedCentral(zip, member, offset);
    central.insert(central.end(), member.central.begin(), member.central.end());
    const std::string& name = OutputName(member);
    if (!name.empty() && name.back() == '/') {
      totals.directories++;
    } else {
      totals.files++;
    }
    totals.bytesIn += member.uncompressedSize;
  }
  uint64_t centralOffset = out.Position();
  out.Write(central.data(), central.size());
  std::vector<uint8_t> newEnd = EndRecordBytes(members.size(), central.size(), centralOffset, directory.comment);
  out.Write(newEnd.data(), newEnd.size());
  if (renamed > 0) {
    printf("%zu name(s) converted from UTF-8 without the UTF-8 flag (as Unix tools store them) to forms "
           "Windows reads\n", renamed);
  }
  return totals;
}

std::vector<ArchivedName> ReadArchivedNames(const std::string& zipPath) {
  SourceZip zip(zipPath);
  std::vector<ArchivedName> names;
  for (const SourceMember& member : ReadSourceDirectory(zip).members) names.push_back(member.name);
  return names;
}

std::vector<std::string> ZipMemberNames(const std::string& zipPath) {
  std::vector<std::string> names;
  for (const ArchivedName& name : ReadArchivedNames(zipPath)) names.push_back(name.name);
  return names;
}

std::vector<uint8_t> ReadZipMember(const std::string& zipPath, const std::string& name, uint64_t limit) {
  try {
    SourceZip zip(zipPath);
    SourceDirectory directory = ReadSourceDirectory(zip);
    const SourceMember* member = FindMember(directory, name);
    if (member == nullptr) return {};
    const uint8_t* header = member->header();
    uint16_t method = ReadLe16(header + kCentralMethod);
    uint64_t size = member->uncompressedSize;
    uint64_t compressed = member->compressedSize;
    bool fits = method == kMethodStored ? compressed == size
                                        : method == kMethodDeflated && compressed <= LargestDeflated(size);
    if ((ReadLe16(header + kCentralFlags) & kFlagEncrypted) || !fits || size > limit) return {};
    LocalRecord local = ReadLocalRecord(zip, *member, directory.centralStart);
    std::vector<uint8_t> data = zip.Read(member->localOffset + local.headerLength, (size_t)compressed);
    if (method == kMethodDeflated) data = Inflate(data, (size_t)size);
    bool intact = data.size() == size &&
                  libdeflate_crc32(0, data.data(), data.size()) == ReadLe32(header + kCentralCrc);
    return intact ? data : std::vector<uint8_t>();
  } catch (const PackError&) {
    return {};
  }
}

}  // namespace pack
