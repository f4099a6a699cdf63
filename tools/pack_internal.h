// The pieces of `zarvel pack`, shared between its source files.
//
// A pack is: gather the members (walk the inputs, or read an existing ZIP),
// check every name and size before a byte is written, then write the stub,
// the 514-byte configuration block and the archive into a temporary file
// beside the output, renamed into place only when everything succeeded.
// Every offset in the archive is an absolute position in the output file,
// because the stub reads the archive in place from its own executable.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"

namespace pack {

// A failure that ends the pack; `message` is shown after "zarvel pack: ".
struct PackError {
  std::string message;
};

// The output's offsets reach the system as off_t.
const uint64_t kMaxOutputSize = INT64_MAX;
const size_t kMaxStoredName = kNameCapacity - 1;         // the stub keeps 255 bytes of a name
const size_t kConfigTextLimit = kConfigFieldSize - 1;  // the block's texts, NUL-padded

// The ZIP64 end record's fields before its counts (archive/zip_format.h
// has the rest of the ZIP64 layout), and the locator's first.
const int kZip64EndRecordLength = 0;  // 8 bytes: the record's size after this field
const int kZip64EndVersionMadeBy = 8;
const int kZip64EndVersionNeeded = 10;
const int kZip64EndDiskNumber = 12;   // 4 bytes
const int kZip64EndCentralDisk = 16;  // 4 bytes
const int kLocatorRecordDisk = 0;     // 4 bytes: the disk holding the ZIP64 end record

// Whole records, signature included, without their variable parts.
const size_t kLocalRecordSize = kSignatureSize + kLocalHeaderSize;
const size_t kCentralRecordSize = kSignatureSize + kCentralHeaderSize;
const size_t kEndRecordTotal = kSignatureSize + kEndRecordSize;

// Versions in the records: the stub refuses a member needing more than 2.0.
const uint16_t kVersionDeflated = 20;
const uint16_t kVersionStored = 10;
// Made by Unix (high byte 3), format 2.0: external attributes carry the mode.
const uint16_t kVersionMadeByUnix = 0x0314;
const uint32_t kDosDirectoryAttribute = 0x10;

// libdeflate's levels 10 to 12 search for near-optimal parses; 10 already
// beats `zip -9` by several percent and runs about three times faster than 12,
// which gains only a few tenths of a percent more.
const int kDefaultLevel = 10;
const int kMaxLevel = 12;

struct PackOptions {
  std::string output;
  std::string defaultDirectory;
  std::string command;
  std::string stubPath;
  int level = kDefaultLevel;
  int jobs = 0;  // 0: one per core
  std::vector<std::string> inputs;
  std::string iconPath;
  std::vector<std::pair<std::string, std::string>> versionStrings;
  std::string elevation;  // "" lets the packer choose
  bool runUnchecked = false;
};

// One member to be written from the file system.
struct SourceEntry {
  std::string sourcePath;  // path to read; empty for a directory entry
  std::string name;        // the member name in UTF-8, '/' separators, "dir/" for directories
  std::string storedName;  // the bytes written: CP437 when every character fits, else UTF-8
  bool utf8 = false;       // general purpose flag bit 11
  std::string extra;       // extra field: the UTF-8 form of a non-ASCII CP437 name
  bool isDirectory = false;
  uint64_t size = 0;
  uint32_t mode = 0;       // Unix st_mode
  uint16_t dosTime = 0;
  uint16_t dosDate = 0;
};

// ---- names and times (pack_names.cpp) ----

// How a UTF-8 name is stored: CP437 when every character fits (with a Unicode
// path field when beyond ASCII), else UTF-8 with flag bit 11.
struct StoredName {
  std::string bytes;
  bool utf8 = false;
  std::string extra;
};
StoredName StoreName(const std::string& name);
// Sets storedName and utf8 from name; PackError when the name cannot be stored.
void EncodeMemberName(SourceEntry& entry);
// A member name of an existing ZIP: its bytes, and what they mean.
struct ArchivedName {
  std::string stored;    // the bytes in the archive
  std::string name;      // in UTF-8, as a repack stores it
  bool restore = false;  // UTF-8 from a Unix host without the flag: a repack stores it as `form`
  StoredName form;
};
ArchivedName ReadArchivedName(uint16_t versionMadeBy, uint16_t flags, const std::string& stored,
                              const std::string& extra);
// A name stored without the UTF-8 flag as readers take it, in UTF-8.
std::string Cp437Text(const std::string& storedName);
// Offset of the first extra field with this id whose header fits, or npos.
size_t FindExtraField(const std::string& extra, uint16_t id);
std::string WithoutExtraField(std::string extra, uint16_t id);
std::string WithoutUnicodePath(std::string extra);
// Why the stub would refuse this stored name, or "" when it is acceptable.
std::string MemberNameProblem(const std::string& storedName);
// Local DOS date and time of a Unix time; `clamped` tells whether the time
// fell outside 1980..2107 and was moved to the nearest end.
void UnixTimeToDos(int64_t unixTime, uint16_t* dosDate, uint16_t* dosTime, bool* clamped);
// Orders member names component by component, so a folder's members follow it.
bool MemberNameLess(const std::string& a, const std::string& b);

// ---- inputs (pack_inputs.cpp) ----

// Walks the inputs into a sorted member list, refusing what cannot be packed.
std::vector<SourceEntry> GatherInputs(const std::vector<std::string>& inputs);
bool IsZipInput(const std::vector<std::string>& inputs);
// PackError when `output` is an input or lies inside an input folder.
void CheckOutputNotInput(const std::vector<std::string>& inputs, const std::string& output);

// ---- output file (pack_output.cpp) ----

// The output under construction: a temporary file beside the target, removed
// unless Commit renames it into place.
class OutputFile {
 public:
  // `limit`: the largest size the file may reach (tests lower it).
  explicit OutputFile(const std::string& target, uint64_t limit = kMaxOutputSize);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  void Write(const void* data, size_t size);
  // Rewrites bytes already written (a header completed after its data);
  // the next Write still goes to the end.
  void WriteAt(uint64_t offset, const void* data, size_t size);
  // Drops everything from `size` on; the next Write goes there.
  void Truncate(uint64_t size);
  uint64_t Position() const { return position_; }
  void Commit();

 private:
  std::string target_;
  std::string tempPath_;
  FILE* file_ = nullptr;
  uint64_t position_ = 0;
  uint64_t limit_;
  bool committed_ = false;
};

// The 514-byte block: two NUL-padded texts. PackError when one is too long.
std::vector<uint8_t> BuildConfigBlock(const std::string& defaultDirectory, const std::string& command);

struct MemberRecord {
  uint16_t versionNeeded = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dosTime = 0;
  uint16_t dosDate = 0;
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  uint32_t externalAttributes = 0;
  uint64_t localHeaderOffset = 0;
  std::string storedName;
  std::string extra;  // without the ZIP64 field, which the headers add where they need it
};
// The records, with the ZIP64 extra field and "version needed" 4.5 where WideFieldsOf asks for them.
std::vector<uint8_t> LocalHeaderBytes(const MemberRecord& record);
std::vector<uint8_t> CentralHeaderBytes(const MemberRecord& record);
// The end of the central directory: a ZIP64 end record and its locator when there are more than 65,535 entries or
// the directory's size or offset does not fit 32 bits (the end record's fields that fit keep their values, the
// others are saturated), then the end record.
std::vector<uint8_t> EndRecordBytes(uint64_t entries, uint64_t centralSize, uint64_t centralOffset,
                                    const std::string& comment);

// A member's sizes and local-header offset as a record's 32-bit fields hold them, and the ZIP64 extra field that
// then carries the values which do not fit: a field whose value is 0xFFFFFFFF or more holds 0xFFFFFFFF. A central
// record carries each such value, in the order uncompressed size, compressed size, offset; a local header, which
// has no offset, carries both sizes when either does not fit. `extra` is empty when every value fits.
struct WideFields {
  uint32_t uncompressedSize = 0;
  uint32_t compressedSize = 0;
  uint32_t localHeaderOffset = 0;
  std::string extra;
};
enum class RecordKind { kLocal, kCentral };
WideFields WideFieldsOf(uint64_t uncompressedSize, uint64_t compressedSize, uint64_t localHeaderOffset,
                        RecordKind kind);
// "version needed" of a member, raised to 4.5 when its central record carries the ZIP64 extra field.
uint16_t VersionNeededFor(uint16_t version, uint64_t uncompressedSize, uint64_t compressedSize,
                          uint64_t localHeaderOffset);

// ---- compression and writing (pack_compress.cpp) ----

struct PackTotals {
  uint64_t files = 0;
  uint64_t directories = 0;
  uint64_t bytesIn = 0;
};
// Compresses the members on `jobs` threads and writes them in list order,
// followed by the central directory and the end record.
PackTotals WriteMembers(const std::vector<SourceEntry>& entries, int level, int jobs, OutputFile& out);

// Deflate's window: no match reaches further back than this.
const size_t kDeflateWindow = 32768;

// One piece of a raw Deflate stream cut into pieces that are compressed
// apart and joined by plain concatenation (zlib's deflate). `history` is the
// input just before the piece, up to kDeflateWindow bytes, given as preset
// dictionary so that matches reach across the cut; every piece but the last
// ends with a sync flush (an empty stored block: byte-aligned, final bit
// clear) and the last one with the final block.
class PieceCompressor {
 public:
  // `level` is the packer's 0..12; zlib's scale ends at 9, which 10..12 use.
  explicit PieceCompressor(int level);
  ~PieceCompressor();
  PieceCompressor(const PieceCompressor&) = delete;
  PieceCompressor& operator=(const PieceCompressor&) = delete;
  std::vector<uint8_t> Compress(const uint8_t* history, size_t historySize, const uint8_t* data, size_t size,
                                bool last);

 private:
  struct State;  // zlib's stream, kept out of this header
  State* state_;
};

// ---- repacking an existing ZIP (pack_repack.cpp) ----

PackTotals RepackZip(const std::string& zipPath, OutputFile& out);
// The member names of a ZIP in central-directory order. PackError when its
// directory cannot be read.
std::vector<ArchivedName> ReadArchivedNames(const std::string& zipPath);
// The names as the repack stores them, in UTF-8 with '/' separators.
std::vector<std::string> ZipMemberNames(const std::string& zipPath);
// The uncompressed bytes of a stored or deflated member of at most `limit`
// bytes; empty when it is missing, encrypted, larger, damaged or otherwise
// compressed.
std::vector<uint8_t> ReadZipMember(const std::string& zipPath, const std::string& name, uint64_t limit);

// ---- the stub (pack_stub.cpp) ----

// The stub's bytes: the --stub file, else the one built into the tool.
// PackError when neither is available.
std::vector<uint8_t> LoadStub(const std::string& stubPath);
bool HaveEmbeddedStub();

// ---- the follow-up command (pack_followup.cpp) ----

struct FollowUpProgram {
  enum Kind { kNotFound, kInPayload, kAbsolute, kSystem };
  std::string program;  // as the command names it; empty without a command
  Kind kind = kNotFound;
  std::string member;   // the payload member it resolves to
  bool caseDiffers = false;
};
// The program part of a command line: the quoted first part, or everything
// up to the first blank, after leading blanks.
std::string CommandProgram(const std::string& command);
FollowUpProgram ResolveFollowUpProgram(const std::string& command, const std::vector<std::string>& payloadNames);
// PackError when the program cannot be started (unless `unchecked`); a
// warning when its name differs in case from the payload's.
void CheckFollowUpProgram(const FollowUpProgram& found, bool unchecked);
// The execution level the stub is to ask for ("" keeps the stub's own):
// `requested` when given, else the level the program's manifest asks for
// when that is more than the invoking user's. `readProgram(limit)` gives the
// program's first bytes; `programLevel` receives what its manifest asks for.
std::string ChooseExecutionLevel(const std::string& requested, const FollowUpProgram& found,
                                 const std::function<std::vector<uint8_t>(uint64_t)>& readProgram,
                                 std::string* programLevel);
// Prints what `zarvel info` says of the stub's execution level and of the
// program the self-extractor `file` (whose stub image has `imageSize`
// bytes) starts after extracting.
void DescribeFollowUpProgram(const std::string& file, const std::string& command, uint64_t imageSize);
// The first bytes of a file, at most `limit`; empty when it cannot be read.
std::vector<uint8_t> ReadFileHead(const std::string& path, uint64_t limit);

// ---- messages ----

void Warn(const std::string& message);
// True when progress lines go to a terminal.
bool ProgressEnabled();

}  // namespace pack
