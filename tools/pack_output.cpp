// The output file and the records written into it.
//
// The self-extractor is written to a temporary file in the output's folder
// and renamed over the output only at the end, so a refused or failed pack
// (or one stopped with Ctrl-C) never leaves a half-written self-extractor
// behind, nor destroys an older one of the same name. Being our own file,
// it can be rewritten in place: a member compressed in pieces gets its local
// header completed after its last piece, or its data replaced by a stored
// copy when it did not shrink.
//
// The records are the ZIP application note's, little-endian, with no extra
// field but the Unicode path of non-ASCII CP437 names and, only where a
// value does not fit its 32- or 16-bit field, the ZIP64 records: an archive
// that needs none of them is the plain ZIP every reader knows. The packer
// writes nothing that depends on the time of packing.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/zip_format.h"
#include "tools/pack_internal.h"

namespace pack {

namespace {

const size_t kWriteBufferSize = 1 << 20;
// The temporary file to remove if the process is interrupted. One pack runs
// per process, so one slot is enough.
char interruptedTempPath[4096];

void RemoveTempAndExit(int signalNumber) {
  if (interruptedTempPath[0] != 0) unlink(interruptedTempPath);
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

void WatchInterrupts(const std::string& tempPath) {
  strncpy(interruptedTempPath, tempPath.c_str(), sizeof interruptedTempPath - 1);
  signal(SIGINT, RemoveTempAndExit);
  signal(SIGTERM, RemoveTempAndExit);
  signal(SIGHUP, RemoveTempAndExit);
}

void StopWatchingInterrupts() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  interruptedTempPath[0] = 0;
}

// The ZIP64 end record as written: version 4.5 made on Unix, like the central records' host.
const uint16_t kZip64VersionMadeBy = (kVersionMadeByUnix & 0xFF00) | kVersionZip64;
const size_t kZip64EndTotal = kSignatureSize + kZip64EndSize;
const size_t kZip64LocatorTotal = kSignatureSize + kZip64LocatorSize;
const uint32_t kSingleDisk = 1;

void Put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) { WriteLe16(bytes.data() + offset, value); }
void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) { WriteLe32(bytes.data() + offset, value); }
void Put64(std::vector<uint8_t>& bytes, size_t offset, uint64_t value) {
  Put32(bytes, offset, (uint32_t)value);
  Put32(bytes, offset + 4, (uint32_t)(value >> 32));
}

// A 32-bit field holds 0xFFFFFFFF ("see ZIP64") for every value from there on.
bool Fits32(uint64_t value) { return value < kSaturated32; }
uint32_t Field32(uint64_t value) { return Fits32(value) ? (uint32_t)value : kSaturated32; }
// A count of 65,535 is written as it is: without a locator, readers take 0xFFFF for the count itself.
bool FitsCount(uint64_t count) { return count <= kSaturated16; }

}  // namespace

OutputFile::OutputFile(const std::string& target, uint64_t limit) : target_(target), limit_(limit) {
  std::vector<char> pattern(target.begin(), target.end());
  const char suffix[] = ".tmp-XXXXXX";
  pattern.insert(pattern.end(), suffix, suffix + sizeof suffix);
  int fd = mkstemp(pattern.data());
  if (fd < 0) throw PackError{"'" + target + "': cannot create the output: " + strerror(errno)};
  tempPath_ = pattern.data();
  WatchInterrupts(tempPath_);
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  file_ = fdopen(fd, "wb");
  if (file_ == nullptr) {
    close(fd);
    unlink(tempPath_.c_str());
    throw PackError{"'" + target + "': cannot create the output: " + strerror(errno)};
  }
  setvbuf(file_, nullptr, _IOFBF, kWriteBufferSize);
}

OutputFile::~OutputFile() {
  if (file_ != nullptr) fclose(file_);
  if (!committed_) unlink(tempPath_.c_str());
  StopWatchingInterrupts();
}

void OutputFile::Write(const void* data, size_t size) {
  if (size == 0) return;
  if (position_ + size > limit_) {
    throw PackError{"the self-extractor would pass " + std::to_string(limit_) + " bytes"};
  }
  if (fwrite(data, 1, size, file_) != size) {
    throw PackError{"'" + target_ + "': write failed: " + strerror(errno)};
  }
  position_ += size;
}

void OutputFile::WriteAt(uint64_t offset, const void* data, size_t size) {
  if (offset + size > position_) throw PackError{"internal error: a rewrite past the end of the output"};
  bool failed = fseeko(file_, (off_t)offset, SEEK_SET) != 0 || fwrite(data, 1, size, file_) != size ||
                fseeko(file_, (off_t)position_, SEEK_SET) != 0;
  if (failed) throw PackError{"'" + target_ + "': write failed: " + strerror(errno)};
}

void OutputFile::Truncate(uint64_t size) {
  if (size > position_) throw PackError{"internal error: a truncation past the end of the output"};
  bool failed = fflush(file_) != 0 || ftruncate(fileno(file_), (off_t)size) != 0 ||
                fseeko(file_, (off_t)size, SEEK_SET) != 0;
  if (failed) throw PackError{"'" + target_ + "': write failed: " + strerror(errno)};
  position_ = size;
}

void OutputFile::Commit() {
  bool failed = fflush(file_) != 0 || ferror(file_) != 0;
  int error = errno;
  failed = (fclose(file_) != 0) || failed;
  file_ = nullptr;
  if (failed) throw PackError{"'" + target_ + "': write failed: " + strerror(error)};
  if (rename(tempPath_.c_str(), target_.c_str()) != 0) {
    throw PackError{"'" + target_ + "': cannot replace the output: " + strerror(errno)};
  }
  committed_ = true;
}

std::vector<uint8_t> BuildConfigBlock(const std::string& defaultDirectory, const std::string& command) {
  std::vector<uint8_t> block(kConfigBlockSize, 0);
  const std::string* texts[2] = {&defaultDirectory, &command};
  const char* options[2] = {"--dir", "--run"};
  for (int i = 0; i < 2; i++) {
    const std::string& text = *texts[i];
    if (text.size() > kConfigTextLimit) {
      throw PackError{std::string(options[i]) + " holds " + std::to_string(text.size()) +
                      " characters; the self-extractor keeps at most 256"};
    }
    if (text.find('\0') != std::string::npos) throw PackError{std::string(options[i]) + " holds a NUL"};
    memcpy(block.data() + i * kConfigFieldSize, text.data(), text.size());
  }
  return block;
}

WideFields WideFieldsOf(uint64_t uncompressedSize, uint64_t compressedSize, uint64_t localHeaderOffset,
                        RecordKind kind) {
  const uint64_t values[kWideFieldCount] = {uncompressedSize, compressedSize, localHeaderOffset};
  bool wide[kWideFieldCount];
  for (int i = 0; i < kWideFieldCount; i++) wide[i] = !Fits32(values[i]);
  if (kind == RecordKind::kLocal) {
    wide[0] = wide[1] = wide[0] || wide[1];
    wide[2] = false;
  }
  std::vector<uint8_t> data;
  for (int i = 0; i < kWideFieldCount; i++) {
    if (!wide[i]) continue;
    data.resize(data.size() + 8);
    Put64(data, data.size() - 8, values[i]);
  }
  WideFields fields;
  fields.uncompressedSize = wide[0] ? kSaturated32 : (uint32_t)uncompressedSize;
  fields.compressedSize = wide[1] ? kSaturated32 : (uint32_t)compressedSize;
  fields.localHeaderOffset = wide[2] ? kSaturated32 : (uint32_t)localHeaderOffset;
  if (data.empty()) return fields;
  std::vector<uint8_t> header(kExtraHeaderSize);
  Put16(header, 0, kZip64ExtraId);
  Put16(header, 2, (uint16_t)data.size());
  fields.extra.assign(header.begin(), header.end());
  fields.extra.append(data.begin(), data.end());
  return fields;
}

uint16_t VersionNeededFor(uint16_t version, uint64_t uncompressedSize, uint64_t compressedSize,
                          uint64_t localHeaderOffset) {
  bool zip64 = !WideFieldsOf(uncompressedSize, compressedSize, localHeaderOffset, RecordKind::kCentral).extra.empty();
  return zip64 && version < kVersionZip64 ? kVersionZip64 : version;
}

// A record of `fixedSize` bytes (signature included) followed by the name
// and the extra field, with the fields both headers share written from
// `shared` on, at their local-header offsets: the central record repeats
// that stretch of the local header, after its "version made by". Both
// records of a member say the same version, the one its central record needs.
std::vector<uint8_t> HeaderBytes(const MemberRecord& record, RecordKind kind, uint32_t signature, size_t fixedSize,
                                 size_t shared) {
  WideFields wide = WideFieldsOf(record.uncompressedSize, record.compressedSize, record.localHeaderOffset, kind);
  std::string extra = wide.extra + record.extra;
  std::vector<uint8_t> bytes(fixedSize + record.storedName.size() + extra.size(), 0);
  Put32(bytes, 0, signature);
  Put16(bytes, shared + kLocalVersionNeeded, VersionNeededFor(record.versionNeeded, record.uncompressedSize,
                                                              record.compressedSize, record.localHeaderOffset));
  Put16(bytes, shared + kLocalFlags, record.flags);
  Put16(bytes, shared + kLocalMethod, record.method);
  Put16(bytes, shared + kLocalTime, record.dosTime);
  Put16(bytes, shared + kLocalDate, record.dosDate);
  Put32(bytes, shared + kLocalCrc, record.crc);
  Put32(bytes, shared + kLocalCompressedSize, wide.compressedSize);
  Put32(bytes, shared + kLocalUncompressedSize, wide.uncompressedSize);
  Put16(bytes, shared + kLocalNameLength, (uint16_t)record.storedName.size());
  Put16(bytes, shared + kLocalExtraLength, (uint16_t)extra.size());
  memcpy(bytes.data() + fixedSize, record.storedName.data(), record.storedName.size());
  memcpy(bytes.data() + fixedSize + record.storedName.size(), extra.data(), extra.size());
  if (kind == RecordKind::kCentral) Put32(bytes, kSignatureSize + kCentralLocalHeaderOffset, wide.localHeaderOffset);
  return bytes;
}

std::vector<uint8_t> LocalHeaderBytes(const MemberRecord& record) {
  return HeaderBytes(record, RecordKind::kLocal, kLocalHeaderSignature, kLocalRecordSize, kSignatureSize);
}

std::vector<uint8_t> CentralHeaderBytes(const MemberRecord& record) {
  const size_t h = kSignatureSize;
  std::vector<uint8_t> bytes =
      HeaderBytes(record, RecordKind::kCentral, kCentralHeaderSignature, kCentralRecordSize, h + kCentralVersionNeeded);
  Put16(bytes, h + kCentralVersionMadeBy, kVersionMadeByUnix);
  Put32(bytes, h + kCentralExternalAttributes, record.externalAttributes);
  return bytes;
}

// The ZIP64 end record (without extensible data) directly after the central
// directory, and the locator that points to it.
std::vector<uint8_t> Zip64EndBytes(uint64_t entries, uint64_t centralSize, uint64_t centralOffset) {
  std::vector<uint8_t> bytes(kZip64EndTotal + kZip64LocatorTotal, 0);
  const size_t h = kSignatureSize;
  Put32(bytes, 0, kZip64EndRecordSignature);
  Put64(bytes, h + kZip64EndRecordLength, kZip64EndTotal - (h + kZip64EndVersionMadeBy));
  Put16(bytes, h + kZip64EndVersionMadeBy, kZip64VersionMadeBy);
  Put16(bytes, h + kZip64EndVersionNeeded, kVersionZip64);
  Put64(bytes, h + kZip64EndEntriesOnDisk, entries);
  Put64(bytes, h + kZip64EndEntriesTotal, entries);
  Put64(bytes, h + kZip64EndCentralSize, centralSize);
  Put64(bytes, h + kZip64EndCentralOffset, centralOffset);
  const size_t locator = kZip64EndTotal;
  Put32(bytes, locator, kZip64LocatorSignature);
  Put64(bytes, locator + h + kLocatorRecordOffset, centralOffset + centralSize);
  Put32(bytes, locator + h + kLocatorDiskCount, kSingleDisk);
  return bytes;
}

std::vector<uint8_t> EndRecordBytes(uint64_t entries, uint64_t centralSize, uint64_t centralOffset,
                                    const std::string& comment) {
  std::vector<uint8_t> bytes;
  if (!FitsCount(entries) || !Fits32(centralSize) || !Fits32(centralOffset)) {
    bytes = Zip64EndBytes(entries, centralSize, centralOffset);
  }
  size_t at = bytes.size();
  bytes.resize(at + kEndRecordTotal + comment.size(), 0);
  const size_t h = at + kSignatureSize;
  uint16_t count = FitsCount(entries) ? (uint16_t)entries : kSaturated16;
  Put32(bytes, at, kEndRecordSignature);
  Put16(bytes, h + kEndEntriesOnDisk, count);
  Put16(bytes, h + kEndEntriesTotal, count);
  Put32(bytes, h + kEndCentralSize, Field32(centralSize));
  Put32(bytes, h + kEndCentralOffset, Field32(centralOffset));
  Put16(bytes, h + kEndCommentLength, (uint16_t)comment.size());
  memcpy(bytes.data() + at + kEndRecordTotal, comment.data(), comment.size());
  return bytes;
}

void Warn(const std::string& message) { fprintf(stderr, "zarvel pack: warning: %s\n", message.c_str()); }

bool ProgressEnabled() { return isatty(STDERR_FILENO) != 0; }

}  // namespace pack
