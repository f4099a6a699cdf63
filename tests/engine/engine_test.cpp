// Archive reader and engine on tool-made archives: opening and walking, one member to one file, target paths, the
// driver and its callbacks; whole extractions under every fault the platform seam can plant, and tool-made archives
// mutated into what an attacker or a broken transfer makes. Then the platform layer where the engine does not reach
// it, the same natively and under Wine: refusals, seeks from the end, short reads, closed handles, name conversions;
// on POSIX, reads a signal interrupts.
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "common/test_support.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "platform/cp437.h"
#include "platform/fault.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Names as the ANSI code page holds them (UTF-8 on POSIX); Windows' has no omega: such a name is marked, never guessed.
#ifdef _WIN32
const std::string kAe = "\xE4", kEAcute = "\xE9";
const bool kOmega = false;
#else
const std::string kAe = "\xC3\xA4", kEAcute = "\xC3\xA9";
const bool kOmega = true;
#endif
std::string Archive(const std::string& name) { return FixturePath("archive/" + name); }
std::string Engine(const std::string& name) { return FixturePath("engine/" + name); }

// In a ZIP held in memory: the end record's signature, the n-th central record's, the first data byte of its member.
uint32_t Le(const std::string& z, size_t at, int width) {
  return width == 2 ? ReadLe16((const uint8_t*)&z[at]) : ReadLe32((const uint8_t*)&z[at]);
}
void Patch(std::string& z, size_t at, int width, uint32_t v) {
  width == 2 ? WriteLe16((uint8_t*)&z[at], (uint16_t)v) : WriteLe32((uint8_t*)&z[at], v);
}
size_t EndOf(const std::string& z) { return z.rfind(std::string("PK\x05\x06", 4)); }
size_t Last(const std::string& z, uint32_t signature) {
  char bytes[4];
  return WriteLe32((uint8_t*)bytes, signature), z.rfind(std::string(bytes, 4));
}
size_t CentralRecord(const std::string& z, int index) {
  size_t at = Le(z, EndOf(z) + 16, 4);
  if (at == kSaturated32) at = Le(z, Last(z, kZip64EndRecordSignature) + 4 + kZip64EndCentralOffset, 4);
  for (int i = 0; i < index; i++) at += 46 + Le(z, at + 28, 2) + Le(z, at + 30, 2) + Le(z, at + 32, 2);
  return at;
}
size_t MemberData(const std::string& z, int index) {
  size_t local = Le(z, CentralRecord(z, index) + 42, 4);
  return local + 30 + Le(z, local + 26, 2) + Le(z, local + 28, 2);
}

// Tool-made archives mutated in memory into what an attacker or a broken transfer makes.
using Mutation = std::function<void(std::string&)>;
enum Where { kEnd, kCentral, kLocal, kExtra, kLocator, kZip64End };
const int64_t kFromEnd = 1LL << 40;  // kFromEnd + d stands for the file's size + d

// Sets a field of the end record, the ZIP64 locator or end record, or of member m's central record, local header or
// extra field (its fields count from the first block's id); a 64-bit field half by half.
Mutation Set(Where where, int m, int field, int width, int64_t value) {
  return [=](std::string& z) {
    size_t at = where == kEnd ? EndOf(z) : where == kLocator ? Last(z, kZip64LocatorSignature)
              : where == kZip64End ? Last(z, kZip64EndRecordSignature) : CentralRecord(z, m);
    if (where == kLocal) at = Le(z, at + 4 + kCentralLocalHeaderOffset, 4);
    if (where == kExtra) at += kCentralHeaderSize + Le(z, at + 4 + kCentralNameLength, 2);
    Patch(z, at + 4 + field, width, (uint32_t)(value >= kFromEnd / 2 ? (int64_t)z.size() + value - kFromEnd : value));
  };
}
// A fourth record: a copy of member m's, renamed "z...", its local header at local(z); the end record counts it.
Mutation AddCopy(int m, uint32_t (*local)(const std::string&)) {
  return [=](std::string& z) {
    std::string copy = z.substr(CentralRecord(z, m), CentralRecord(z, m + 1) - CentralRecord(z, m));
    copy[4 + kCentralHeaderSize] = 'z';
    if (local) Patch(copy, 4 + kCentralLocalHeaderOffset, 4, local(z));
    z.insert(EndOf(z), copy);
    for (int field : {kEndEntriesOnDisk, kEndEntriesTotal}) Set(kEnd, 0, field, 2, 4)(z);
    Set(kEnd, 0, kEndCentralSize, 4, EndOf(z) - CentralRecord(z, 0))(z);
  };
}

// In robust/small-zip64.zip each extra field is one ZIP64 block with all three values, counted from the block's id.
enum Extra64 { kBlockLength = 2, kWideSize = 4, kWideCompressed = 12, kWideOffset = 20, kHighHalf = 4 };

// Member m's ZIP64 extra field cut to the values of the fields in `kept` (bit 0 the uncompressed size, 1 the
// compressed size, 2 the offset), gone when none; the fields in `saturated` stay 0xFFFFFFFF, the others get their
// values. The bytes freed go to the record's comment: nothing else moves.
Mutation Keep64(int m, int saturated, int kept) {
  return [=](std::string& z) {
    const int fields[kWideFieldCount] = {kCentralUncompressedSize, kCentralCompressedSize, kCentralLocalHeaderOffset};
    const size_t at = CentralRecord(z, m) + 4, extra = at + kCentralHeaderSize + Le(z, at + kCentralNameLength, 2);
    std::string values;
    for (int i = 0; i < kWideFieldCount; i++) {
      const std::string value = z.substr(extra + kWideSize + 8 * i, 8);
      if (kept >> i & 1) values += value;
      Patch(z, at + fields[i], 4, saturated >> i & 1 ? kSaturated32 : Le(value, 0, 4));
    }
    const std::string block = values.empty() ? "" : std::string("\x01\x00", 2) + (char)values.size() + '\0' + values;
    z.replace(extra, block.size(), block);
    const uint32_t freed = Le(z, at + kCentralExtraLength, 2) - (uint32_t)block.size();
    Patch(z, at + kCentralCommentLength, 2, Le(z, at + kCentralCommentLength, 2) + freed);
    Patch(z, at + kCentralExtraLength, 2, (uint32_t)block.size());
  };
}

// One extraction as the callbacks saw it, each with the platform calls made up to it.
using Counts = std::vector<uint32_t>;
Counts Now() { return Counts(faultPlan.calls, faultPlan.calls + kFaultKindCount); }
struct Member { std::string name, path; Counts at; uint16_t outcome; bool deflated; };
struct Trace {
  uint16_t status = 0;
  bool opened = false;  // the archive
  Counts opening, total;
  std::vector<Member> before, after;  // without AfterEntryCallback the last one attempted has the run's status
  std::vector<std::string> progress;  // "WRITTEN/TOTAL"
  std::string summary;  // "B" before a member, "p" for a run of progress calls, "c" for one cancelling, an outcome
  void Note(const std::string& item) {
    if (item != "p" || summary.empty() || summary.back() != 'p') summary += (summary.empty() ? "" : " ") + item;
  }
} * trace;

// How the callbacks answer: skip every member but `only` (when set), cancel at the `cancelAt`-th progress call.
struct Answers { int32_t before = kAnswerExtract; std::string only; uint32_t cancelAt = 0; bool after = true; } answers;

int32_t OnBefore(const CentralHeader* h, const char* path) {
  trace->before.push_back({EntryNameOf(h), path, Now(), 0, CentralField16(*h, kCentralMethod) == kMethodDeflated});
  trace->Note("B");
  return !answers.only.empty() && answers.only != EntryNameOf(h) ? kAnswerSkip : answers.before;
}
bool OnProgress(uint64_t written, uint64_t total) {
  trace->progress.push_back(std::to_string(written) + "/" + std::to_string(total));
  bool go = answers.cancelAt == 0 || trace->progress.size() < answers.cancelAt;
  trace->Note(go ? "p" : "c");
  return go;
}
bool OnAfter(const CentralHeader* h, const char* path, uint16_t outcome) {
  trace->after.push_back({EntryNameOf(h), path, Now(), outcome, false});
  trace->Note(std::to_string(outcome));
  return answers.after;
}

enum Callbacks { kNoCallbacks = 0, kBefore = 1, kProgress = 2, kAfter = 4, kAllCallbacks = 7 };
// Faults: the n-th call of `kind` fails, or the n-th read (every read) comes back short.
enum Mode { kFail, kShort, kFailThenDelete, kAllShort };

// A scratch folder: the archive goes to a.zip, the members to a/b.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { answers = Answers(), Clear(); }
  fs::path Out(const std::string& name) const { return dir.path() / "a" / "b" / name; }
  void Clear() { fs::remove_all(dir.path() / "a"), fs::create_directories(Out("")); }
  std::string Put(const std::string& zip) { return WriteFileBytes(dir.path() / "a.zip", zip), dir.Core("a.zip"); }

  // Opens `archive`, installs the callbacks named, extracts into a/b under the fault planned, and closes.
  Trace Extract(const std::string& archive, int callbacks = kAllCallbacks, int kind = 0, uint32_t n = 0, Mode mode = kFail) {
    Trace r;
    trace = &r;
    ResetCoreState();
    (mode == kShort ? faultPlan.shortReadAt : faultPlan.failAt[kind]) = n;  // 0: none
    if (mode == kFailThenDelete) faultPlan.failAt[kFaultDelete] = 1;  // the clean-up after it
    faultPlan.shortReadAlways = mode == kAllShort;
    faultPlan.linkPath = link.empty() ? nullptr : link.c_str();
    ArchiveOpen(archive.c_str());
    r.opening = Now();
    if ((r.opened = errorCode == kStatusOk)) {
      SetBeforeEntryCallback(callbacks & kBefore ? OnBefore : nullptr);
      SetProgressCallback(callbacks & kProgress ? OnProgress : nullptr);
      SetAfterEntryCallback(callbacks & kAfter ? OnAfter : nullptr);
      SetOutputBaseDirectory(dir.Core("a/b").c_str());
      ExtractAll();
    }
    r.status = errorCode;
    ArchiveClose();
    r.total = Now();
    ResetCoreState();
    if (!(callbacks & kAfter)) r.after = r.before;
    if (!(callbacks & kAfter) && !r.after.empty()) r.after.back().outcome = r.status;
    EXPECT_TRUE(IsKnownStatus(r.status)) << r.status;
    for (const Member& m : r.after) EXPECT_TRUE(IsKnownStatus(m.outcome)) << m.outcome;
    return r;
  }

  // In a/b only folders, existing.txt, the files of members that succeeded and the `leftover` of a failed clean-up
  // (the start of a name): no partial or temporary file, and never a folder under a file's name. The callbacks
  // name each member's own file.
  const Trace& CheckScratch(const Trace& r, const std::string& leftover = "") {
    std::set<std::string> files, expected = {"existing.txt"};
    for (const auto& e : fs::recursive_directory_iterator(Out(""))) {
      std::string name = e.path().lexically_relative(Out("")).generic_string();
      if (!e.is_directory() && (leftover.empty() || name.rfind(leftover, 0) != 0)) files.insert(name);
    }
    for (const Member& m : r.after) {
      if (m.outcome == kStatusOk) expected.insert(m.name);
      EXPECT_TRUE(m.path == CorePath(Out(m.name)) && !fs::is_directory(Out(m.name))) << m.path;
    }
    EXPECT_EQ(files, expected) << "a partial or temporary file stays, or a member's file is missing";
    Clear();
    return r;
  }

  TempDir dir;
  std::string link;  // a core path the platform reports as a link
};

enum State { kClosed, kFound, kOpen };  // closed, archivePath untouched; closed once the end record was found; open

// Opening finds the last end signature and the block before the member the first central record names; the walk
// trusts no count of the end record and keeps the entries it read before damage.
TEST_F(EngineTest, OpenAndWalk) {
  struct Row { std::string path; uint16_t status; State state; std::string block;  // "directory|command"
               int fault = -1; uint32_t at = 0; Mutation patch = nullptr;
               int walk = -1; uint32_t count = 0; std::string names = ""; };  // the first names, "?" marks unusable
  const std::string basic = Archive("basic.exe"), demo = "C:\\Program Files\\Demo", setup = "setup.exe /quiet";
  std::vector<Row> rows = {
      {basic, kStatusOk, kOpen, demo + "|" + setup, -1, 0, Set(kEnd, 0, kEndDiskNumber, 4, 0x00630003), kStatusOk, 5,
       ReadFileBytes(Archive("plain.names"))},  // disk numbers are not read
      {Archive("full-config.exe"), kStatusOk, kOpen, std::string(256, 'D') + "|" + std::string(256, 'C')},
      {Archive("reordered.exe"), kStatusOk, kOpen, "DIR-B|CMD-B"},  // the first central record decides
      {Archive("plain.zip"), kStatusOk, kOpen, "|"},                // no room in front of the first member
      {basic, kStatusOk, kOpen, "|", -1, 0, [](std::string& z) { z[CentralRecord(z, 0) + 3] = 9; }, kStatusDamaged, 0},
      {Archive("false-signature.exe"), kStatusFileError, kFound, "|"},  // the scan takes the later one
      {basic, kStatusFileError, kFound, "|", -1, 0, [](std::string& z) { z.resize(EndOf(z) + 4); }},  // ends in one
      {Archive("nothing-appended.exe"), kStatusNoEndRecord, kClosed, "|"},
      {Archive("short-no-record.bin"), kStatusNoEndRecord, kClosed, "|"},
      {Archive("no-such-file.exe"), kStatusFileError, kClosed, "|"},
      // Reads: 1-2 end record, 3 the place of a ZIP64 locator, 4-6 central record, 7-8 block.
      {basic, kStatusFileError, kClosed, "|", kFaultRead, 1},
      {basic, kStatusFileError, kFound, "|", kFaultRead, 3},
      {basic, kStatusFileError, kOpen, "|", kFaultRead, 4},
      {basic, kStatusOk, kOpen, demo + "|", kFaultRead, 8},
      {basic, kStatusFileError, kClosed, "|", kFaultOpen, 1},
      {basic, kStatusOk, kOpen, "|", kFaultOpen, 2},  // the block's own open
      {basic, kStatusFileError, kFound, "|", kFaultSeek, 4},
      {Archive("names.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusOk, 5,  // 255, 256, 300 and 0 long
       std::string(255, 'n') + "\n?" + std::string(255, 'm') + "\n?dir/" + std::string(251, 'l') + "\n\nafter.txt\n"},
      {Archive("oem-name.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusOk, 1, kAe + "rger.txt\n"},
      {Archive("utf8-names.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusOk, 2,
       "caf" + kEAcute + ".txt\n" + (kOmega ? "" : "?") + "\xCE\xA9mega.txt\n"},
      {Archive("many.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusOk, 70000, "f00000\nf00001\n"},
      {Archive("empty.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusNoEntries, 0},
      {Archive("zip64-end.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusOk, 70000, "f00000\n"},  // ZIP64 end record
      {Archive("zip64.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusOk, 1, "z64.txt\n"},  // ZIP64 sizes
      {Archive("plain.zip"), kStatusOk, kOpen, "|", -1, 0, Set(kCentral, 4, kCentralNameLength, 2, 0xFFFF), kStatusFileError, 4},
      // The signature straddles two reads with three bytes in the first (the comment cut to 43 bytes).
      {Archive("comment-44.exe"), kStatusOk, kOpen, "comment 44|", -1, 0,
       [](std::string& z) { z.pop_back(), Set(kEnd, 0, kEndCommentLength, 2, 43)(z); }},
  };
  // 0 and 42 fit the first window, 61 and 5000 need steps.
  for (std::string n : {"0", "42", "61", "5000"})
    rows.push_back({Archive("comment-" + n + ".exe"), kStatusOk, kOpen, "comment " + n + "|"});
#ifndef _WIN32
  // The longest archive path that is held whole ("//" stands for "/"), and one character more: refused, never cut.
  rows.push_back({std::string(kArchivePathCapacity - 1 - basic.size(), '/') + basic, kStatusOk, kOpen, demo + "|" + setup});
  rows.push_back({"/" + rows.back().path, kStatusFileError, kClosed, "|"});
#endif
  for (const Row& row : rows) {
    std::string bytes = ReadFileBytes(row.path), path = row.patch ? dir.Core("p") : CorePath(row.path);
    if (row.patch) row.patch(bytes), WriteFileBytes(dir.path() / "p", bytes);
    SCOPED_TRACE(path.substr(path.size() > 60 ? path.size() - 60 : 0) + " fault " + std::to_string(row.fault));
    ResetCoreState();
    SetBeforeEntryCallback(OnBefore), SetOutputBaseDirectory("C:\\OUT"), strcpy(archivePath, "previous");
    endRecordPos = 12345;  // a new open scans again
    if (row.fault >= 0) faultPlan.failAt[row.fault] = row.at;
    ArchiveOpen(path.c_str());
    EXPECT_EQ(errorCode, row.status);
    EXPECT_EQ(archiveHandle != kNoHandle, row.state == kOpen);
    EXPECT_EQ(std::string(archivePath), row.state == kClosed ? "previous" : path);
    EXPECT_EQ(std::string(defaultDirectory) + "|" + command, row.block);
    EXPECT_TRUE(BeforeEntryCallback == nullptr && outputBaseDirectory[0] == 0);
    EXPECT_TRUE(row.status != kStatusOk || endRecordPos == (int64_t)EndOf(bytes) + 4) << endRecordPos;
    if (row.walk < 0) continue;
    EntryList list;
    InitEntryList(&list);
    ReadCentralDirectory(&list);
    EXPECT_EQ(errorCode, row.walk);
    std::string names;
    uint32_t n = 0;
    CentralDirEntry* tail = nullptr;
    for (CentralDirEntry* e = list.head; e != nullptr; tail = e, e = e->next, n++) {
      names += (e->nameUnusable ? "?" : "") + std::string(e->name) + "\n";
    }
    EXPECT_TRUE(n == row.count && list.count == row.count && tail == list.tail) << n;
    EXPECT_EQ(names.substr(0, row.names.size()), row.names);
    FreeEntryList(&list);
  }
  EXPECT_EQ(FindBytes((const uint8_t*)"PKPK", 4, nullptr, 2), 0xFFFF);  // without a pattern nothing is found
}

// engine/members.zip, in the order of its central directory.
const char* const kMembers[] = {"stored.bin", "text/deflated.txt", "empty.txt", "a/b/c/nested.txt"};
enum Existing { kOldFile, kReadOnly, kFolder };

// One member, to an empty target and over something: checked before anything is created; complete (with a wrong CRC
// too where nothing was) it gets its time; any other outcome leaves what was there as it was, and no partial or
// temporary file stays. A folder or a read-only file in the way cannot be replaced. Temporary names that are taken, by
// stale files or a dangling link, are passed over and stay. (Cancels are the driver's table, failures of the
// platform's calls the fault matrix's below.)
TEST_F(EngineTest, OneMemberToOneFile) {
  struct Row { const char* what; int member; uint16_t status; Mutation patch = nullptr; Existing existing = kOldFile;
               int taken = 0; };  // the first names the run draws, held by stale files, or by a link (a folder on Windows)
  const uint32_t kSeed = 0x5EED;
  const Row rows[] = {
      {"stored", 0, kStatusOk}, {"deflated", 1, kStatusOk}, {"empty", 2, kStatusOk},
      {"version 2.1", 0, kStatusUnsupported, Set(kCentral, 0, kCentralVersionNeeded, 2, 21)},
      {"version 2.0, high byte", 0, kStatusOk, Set(kCentral, 0, kCentralVersionNeeded, 2, 0x0314)},
      {"version 4.5", 0, kStatusOk, Set(kCentral, 0, kCentralVersionNeeded, 2, 45)},  // ZIP64 fields, none saturated
      {"version 4.6", 0, kStatusUnsupported, Set(kCentral, 0, kCentralVersionNeeded, 2, 46)},
      {"method 9", 0, kStatusUnsupported, Set(kCentral, 0, kCentralMethod, 2, 9)},
      {"encrypted", 1, kStatusEncrypted, Set(kCentral, 1, kCentralFlags, 2, kFlagEncrypted)},
      {"encrypted, method 6", 1, kStatusEncrypted, [](std::string& z) {
         Set(kCentral, 1, kCentralFlags, 2, kFlagEncrypted)(z), Set(kCentral, 1, kCentralMethod, 2, 6)(z);
       }},
      {"CRC", 0, kStatusCrcMismatch, Set(kCentral, 0, kCentralCrc, 4, 1)},
      {"damaged data", 1, kStatusDamaged, [](std::string& z) { z[MemberData(z, 1)] = (char)0xFF; }},  // block type 3
      // Output one byte past the recorded size (10000 and 200000) or short of it, with the CRC of what there is.
      {"stored, longer", 0, kStatusDamaged, Set(kCentral, 0, kCentralUncompressedSize, 4, 9999)},
      {"stored, shorter", 0, kStatusDamaged, Set(kCentral, 0, kCentralUncompressedSize, 4, 10001)},
      {"deflated, longer", 1, kStatusDamaged, Set(kCentral, 1, kCentralUncompressedSize, 4, 199999)},
      {"deflated, shorter", 1, kStatusDamaged, Set(kCentral, 1, kCentralUncompressedSize, 4, 200001)},
      {"300 names taken", 0, kStatusOk, nullptr, kOldFile, 300}, {"a link on a name", 0, kStatusOk, nullptr, kOldFile, 1},
      {"folder at target", 0, kStatusOk, nullptr, kFolder}, {"read-only target", 0, kStatusOk, nullptr, kReadOnly},
  };
  for (const Row& row : rows) {
    const fs::path target = Out(kMembers[row.member]);
    std::string zip = ReadFileBytes(Engine("members.zip"));
    const size_t central = CentralRecord(zip, row.member) + 4;  // the ZIP offsets of size, date and time
    const uint32_t size = Le(zip, central + kCentralUncompressedSize, 4), date = Le(zip, central + kCentralDate, 2),
                   clock = Le(zip, central + kCentralTime, 2);
    struct tm local = {};  // the moment the DOS date and time stand for, in local time
    local.tm_year = (date >> 9) + 80, local.tm_mon = ((date >> 5) & 0x0F) - 1, local.tm_mday = date & 0x1F;
    local.tm_hour = clock >> 11, local.tm_min = (clock >> 5) & 0x3F, local.tm_sec = (clock & 0x1F) * 2;
    local.tm_isdst = -1;
    const time_t time = mktime(&local);
    if (row.patch) row.patch(zip);
    for (bool existing : {false, true}) {
      SCOPED_TRACE(std::string(row.what) + (existing ? ", replacing" : ""));
      answers = {kAnswerExtract, kMembers[row.member]};
      fs::remove_all(dir.path() / "a");
      fs::create_directories(!existing ? Out("") : row.existing == kFolder ? target : target.parent_path());
      if (existing && row.existing != kFolder) WriteFileBytes(target, "old");
      if (existing && row.existing == kReadOnly) fs::permissions(target, fs::perms::owner_read | fs::perms::group_read);
      temporaryNameState = kSeed;
      for (int i = 0; i < row.taken; i++) {
        char name[kTemporaryNameSize];
        NextTemporaryName(name);
#ifdef _WIN32
        row.taken > 1 ? WriteFileBytes(Out(name), "stale") : (void)fs::create_directory(Out(name));
#else
        row.taken > 1 ? WriteFileBytes(Out(name), "stale") : fs::create_symlink("nowhere", Out(name));
#endif
      }
      temporaryNameState = kSeed;
      const auto before = existing ? fs::last_write_time(target) : fs::file_time_type();
      Trace r = Extract(Put(zip), kBefore | kProgress);
      EXPECT_EQ(r.status, existing && row.existing != kOldFile ? kStatusCannotCreate : row.status);
      std::string left = fs::is_directory(target) ? "folder" : fs::exists(target) ? ReadFileBytes(target) : "none";
      struct stat st;
      if (r.status == kStatusOk || (r.status == kStatusCrcMismatch && !existing)) {
        EXPECT_TRUE(left.size() == size && stat(target.string().c_str(), &st) == 0 && st.st_mtime == time) << left.size();
        EXPECT_EQ(std::count(r.progress.begin(), r.progress.end(), std::to_string(size) + "/" + std::to_string(size)), 1);
      } else {
        EXPECT_EQ(left, !existing ? "none" : row.existing == kFolder ? "folder" : "old");
        EXPECT_TRUE(!existing || fs::last_write_time(target) == before);
      }
      auto temporary = [](const fs::directory_entry& e) { return e.path().filename().string().rfind("~zv", 0) == 0; };
      EXPECT_EQ(std::count_if(fs::recursive_directory_iterator(dir.path() / "a"), {}, temporary), row.taken);
    }
  }
  std::set<std::string> fresh;  // a fresh seed draws a fresh name
  for (int run = 0; run < 20; run++, temporaryNameState = 0) {
    for (uint32_t seed = PlatformSeed(); PlatformSeed() == seed;) {}
    char name[kTemporaryNameSize];
    NextTemporaryName(name), fresh.insert(name);
  }
  EXPECT_EQ(fresh.size(), 20u);
}

TEST_F(EngineTest, TargetPaths) {
  char path[kNameCapacity];
  // Names that could write outside the target or elsewhere than they say (with those of engine/hostile.zip below).
  for (const char* name : {"..", ". /x", "/\\x", "x.", "PRN", "aux.c", "COM1", "con.txt", "line\nf"})
    EXPECT_FALSE(MemberNameIsSafe(name) || BuildTargetPath(name, path)) << name;
  for (const char* name : {"a..b", ".gitignore", "dir//x", "x.y.z", "COM10", "console.txt", "LPT", "nu", "CONIN",
                           "\xC3\xBC.txt", "dir/", "a b/c d.txt", "./x", "a/./b"})
    EXPECT_TRUE(MemberNameIsSafe(name)) << name;
  // What an accepted name becomes under a base (which gets one separator); past 255 characters it is refused. The base
  // ends in a separator when its last character is one: with 0x81-0x9F as lead bytes (as in code page 932) "\x95\x5C"
  // is one character, a lead byte at the very end has no second byte, and 0xA5 is a character of its own.
  const std::string b200(200, 'b');
  const std::string rows[][3] = {{"C:\\OUT", "DOCS/README.TXT", "C:\\OUT\\DOCS\\README.TXT"}, {"", "a/b", "a\\b"},
                                 {"C:\\OUT\\", "/NOTES.TXT", "C:\\OUT\\NOTES.TXT"}, {"C:", "x", "C:\\x"},
                                 {b200, std::string(54, 'n'), b200 + "\\" + std::string(54, 'n')},
                                 {b200, std::string(55, 'n'), "(refused)"}, {"C:\\\x95\\", "a", "C:\\\x95\\\\a"},
                                 {"C:\\\x95\\\\", "a", "C:\\\x95\\\\a"}, {"C:\\\x95", "a", "C:\\\x95\\a"},
                                 {"C:\\\xA5\\", "a", "C:\\\xA5\\a"}};
  faultPlan.leadBytesFrom = 0x81, faultPlan.leadBytesTo = 0x9F;
  for (auto& r : rows) {
    SetOutputBaseDirectory(r[0].c_str());
    EXPECT_EQ(BuildTargetPath(r[1].c_str(), path) ? path : "(refused)", r[2]);
  }
  FaultReset();
}

// The driver asks before each file (B), reports progress (p) and outcomes; answers steer the run, and a cancel (c)
// is the member's last progress call and write; a refused name fails with 19963 unasked and unwritten; without
// AfterEntryCallback the first failure ends the run. Mutated archives fail member by member, never outside one, but
// for records that overlap each other or the central directory: the run is refused before any member.
TEST_F(EngineTest, DriverCallbacksAndOutcomes) {
  struct Row { std::string archive; uint16_t status; std::string summary, tree; Mutation patch = nullptr;
               int callbacks = kAllCallbacks; int32_t answer = kAnswerExtract; uint32_t cancelAt = 0; bool after = true;
               uint32_t writes = 0; };  // when set, the run's write calls
  const std::string members = Engine("members.zip"), each = "B p 0 B p 0 B p 0 B p 0",
                    all = "a a/b a/b/c a/b/c/nested.txt empty.txt stored.bin text text/deflated.txt",
                    small = FixturePath("robust/small-payload.zip"), three = "a.txt sub sub/b.bin sub/c.txt";
  const Mutation badCrc = Set(kCentral, 0, kCentralCrc, 4, 0xDEADBEEF);  // of stored.bin
  std::vector<Row> rows = {
      {members, kStatusOk, each, all}, {members, kStatusOk, "", all, nullptr, kNoCallbacks},
      {members, kStatusOk, each, all, nullptr, kAllCallbacks, 3},
      {members, kStatusOk, "B B B B", "", nullptr, kAllCallbacks, kAnswerSkip},
      {members, kStatusCancelled, "B", "", nullptr, kAllCallbacks, kAnswerCancel},
      {members, kStatusOk, "B p c 2926 B c 2926 B c 2926 B c 2926", "a a/b a/b/c text", nullptr, kAllCallbacks,
       kAnswerExtract, 2, true, 4},  // two of stored.bin, one for each other member but empty.txt
      // text/deflated.txt recorded as 40000 bytes: its second window is not written.
      {members, kStatusOk, "B p 0 B p 9964 B p 0 B p 0", "a a/b a/b/c a/b/c/nested.txt empty.txt stored.bin text",
       Set(kCentral, 1, kCentralUncompressedSize, 4, 40000), kAllCallbacks, kAnswerExtract, 0, true, 5},
      {members, kStatusCrcMismatch, "B p", "stored.bin", badCrc, kBefore | kProgress},
      {members, kStatusOk, "B p 19962 B p 0 B p 0 B p 0", all, badCrc},
      {members, kStatusCrcMismatch, "B p 19962", "stored.bin", badCrc, kAllCallbacks, kAnswerExtract, 0, false},
      {Engine("dirs-only.zip"), kStatusOk, "", ""}, {Archive("zip64.zip"), kStatusOk, "B p 0", "z64.txt"},
      {Archive("plain.zip"), kStatusOk, "B p 0 B p 0 B p 0",  // its local extra fields are longer
       "docs docs/deep docs/deep/zeros.bin docs/numbers.txt readme.txt"},
      {Archive("utf8-names.zip"), kStatusOk, kOmega ? "B p 0 B p 0" : "B p 0 19963",
       kOmega ? "caf\xC3\xA9.txt \xCE\xA9mega.txt" : "caf\xC3\xA9.txt"},
      // robust/small-payload.zip (a.txt deflated, sub/b.bin stored, sub/c.txt deflated) mutated; the record walk's
      // own refusals (counts, ZIP64, record lengths) are OpenAndWalk's. The central directory past the end, or
      // inside the end record:
      {small, kStatusFileError, "", "", Set(kEnd, 0, kEndCentralOffset, 4, kFromEnd + 1000)},
      {small, kStatusDamaged, "", "", Set(kEnd, 0, kEndCentralOffset, 4, kFromEnd - 32)},
      // A local name 65535 long runs past the end.
      {small, kStatusOk, "B 5 B p 0 B p 0", "sub sub/b.bin sub/c.txt", Set(kLocal, 0, kLocalNameLength, 2, 0xFFFF)},
  };
  // Two records for one local header, a local header inside stored data, sizes of 4 GiB, a local header in the end
  // record or at 4 GiB - 1.
  for (const Mutation& overlap : {AddCopy(0, nullptr),
                                  AddCopy(1, [](const std::string& z) { return (uint32_t)MemberData(z, 1) + 20; }),
                                  Set(kCentral, 1, kCentralCompressedSize, 4, 0xFFFFFFFF),
                                  Set(kCentral, 0, kCentralCompressedSize, 4, 0xFFFFFFFF),
                                  Set(kCentral, 2, kCentralLocalHeaderOffset, 4, kFromEnd - 10),
                                  Set(kCentral, 2, kCentralLocalHeaderOffset, 4, 0xFFFFFFFF)})
    rows.push_back({small, kStatusDamaged, "", "", overlap});
  // robust/small-zip64.zip: the same members, every size and offset 0xFFFFFFFF with its value in a ZIP64 record. Read
  // as made and with fewer fields saturated; damaged (for the whole archive): a saturated field without its value
  // (each one; the extra field too short or its block longer), a value past the file, into the central directory or
  // 4 GiB off (right in its low half), a locator that leads nowhere, to no ZIP64 end record or to another disk, end
  // records that disagree, the central directory ending before the ZIP64 end record, a saturated offset without one.
  const std::string small64 = FixturePath("robust/small-zip64.zip");
  const int64_t kZip64Record = kFromEnd - 98;  // a ZIP64 end record, a locator and an end record end the file
  for (const Mutation& narrower : {Mutation(nullptr), Keep64(0, 2, 2), Keep64(1, 5, 5), Keep64(2, 4, 4)})
    rows.push_back({small64, kStatusOk, "B p 0 B p 0 B p 0", three, narrower});
  // a.txt 4 GiB longer: the member fails alone.
  rows.push_back({small64, kStatusOk, "B p 9964 B p 0 B p 0", "sub sub/b.bin sub/c.txt",
                  Set(kExtra, 0, kWideSize + kHighHalf, 4, 1)});
  for (const Mutation& damage : std::vector<Mutation>{
           Keep64(0, 1, 0), Keep64(1, 2, 0), Keep64(2, 4, 0), Keep64(1, 7, 3), Set(kExtra, 1, kBlockLength, 2, 32),
           Set(kExtra, 2, kWideOffset, 4, kFromEnd + 10), Set(kExtra, 2, kWideOffset, 4, kZip64Record - 2),
           Set(kExtra, 2, kWideOffset + kHighHalf, 4, 1), Set(kExtra, 0, kWideCompressed + kHighHalf, 4, 1),
           Set(kLocator, 0, kLocatorRecordOffset, 4, kFromEnd + 8), Set(kLocator, 0, kLocatorRecordOffset, 4, 0),
           Set(kLocator, 0, kLocatorDiskCount, 4, 2), Set(kZip64End, 0, -kSignatureSize, 4, kEndRecordSignature),
           Set(kEnd, 0, kEndEntriesTotal, 2, 2), Set(kEnd, 0, kEndCentralSize, 4, 1000),
           Set(kEnd, 0, kEndCentralOffset, 4, 0),
           [](std::string& z) {  // a stray ZIP64 end signature ends the directory, which is 4 bytes longer
             z.insert(Last(z, kZip64EndRecordSignature), std::string("PK\x06\x06", 4));
             Set(kLocator, 0, kLocatorRecordOffset, 4, kZip64Record)(z);
             const size_t size = Last(z, kZip64EndRecordSignature) + 4 + kZip64EndCentralSize;
             Set(kZip64End, 0, kZip64EndCentralSize, 4, Le(z, size, 4) + 4)(z);
           },
           Set(kCentral, 2, kCentralCommentLength, 2, 4), Set(kLocator, 0, -kSignatureSize, 4, 0),
           [](std::string& z) {  // an offset so near 2^64 that its record's end would wrap round
             Set(kExtra, 2, kWideOffset, 4, 0xFFFFFFF0)(z), Set(kExtra, 2, kWideOffset + kHighHalf, 4, 0xFFFFFFFF)(z);
           }})
    rows.push_back({small64, kStatusDamaged, "", "", damage});
  std::string names = ReadFileBytes(Engine("hostile.names")), hostile;  // all refused; "." and "d/." pass
  for (size_t i = std::count(names.begin(), names.end(), '\n'); i > 0; i--) hostile += "19963 ";
  rows.push_back({Engine("hostile.zip"), kStatusOk, hostile + "B p 0 B p 0", "d d/x.txt good.txt"});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.archive + " " + row.summary);
    std::string zip = ReadFileBytes(row.archive);
    if (row.patch) row.patch(zip);
    answers = {row.answer, "", row.cancelAt, row.after};
    Trace r = Extract(Put(zip), row.callbacks);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.summary, row.summary);
    EXPECT_EQ(TreeOf(Out("")), row.tree);
    EXPECT_TRUE(row.writes == 0 || r.total[kFaultWrite] == row.writes) << r.total[kFaultWrite];
    Clear();
  }
  // The self-extractor cut anywhere: without its signature the end record is gone, with it the record fails to read.
  const std::string sfx = ReadFileBytes(FixturePath("robust/small-sfx.exe"));
  for (size_t cut = 0; cut < sfx.size(); cut++)
    EXPECT_EQ(Extract(Put(sfx.substr(0, cut))).status, cut < EndOf(sfx) + 4 ? kStatusNoEndRecord : kStatusFileError) << cut;
  EXPECT_TRUE(TreeOf(Out("")).empty() && Extract(Put(sfx)).status == kStatusOk);
  // Bytes appended after the end record (a signature) are scanned over up to 64 KiB + 256 KiB back from the end.
  const size_t reach = 4 + kEndRecordSize + 0xFFFF + 256 * 1024 - (kEndRecordSize + 4);
  for (size_t tail : {reach, reach + 1}) {
    Clear();
    EXPECT_EQ(Extract(Put(sfx + std::string(tail, 'x'))).status, tail == reach ? kStatusOk : kStatusNoEndRecord);
  }
}

// No member is written through a link below the base (a component or the target itself): it fails with 19963, unasked
// and unwritten, and the others go on. The base itself may be one. The links are simulated through the platform seam,
// the same natively and under Wine, which makes none (PlatformTest asks the platform about real ones).
TEST_F(EngineTest, NeverThroughALink) {
  // The run after a/b finds text/ as the last folder checked: each run asks afresh.
  const std::string rows[][3] = {  // the link below a/b, the summary, the tree
      {"a/b", "B p 0 B p 0 B p 0 19963", "empty.txt stored.bin text text/deflated.txt"},
      {"text", "B p 0 19963 B p 0 B p 0", "a a/b a/b/c a/b/c/nested.txt empty.txt stored.bin"},
      {"stored.bin", "19963 B p 0 B p 0 B p 0", "a a/b a/b/c a/b/c/nested.txt empty.txt text text/deflated.txt"},
      {"", "B p 0 B p 0 B p 0 B p 0", "a a/b a/b/c a/b/c/nested.txt empty.txt stored.bin text text/deflated.txt"}};
  for (const auto& row : rows) {
    link = row[0].empty() ? dir.Core("a/b") : dir.Core("a/b/" + row[0]);
    Trace r = Extract(Put(ReadFileBytes(Engine("members.zip"))));
    EXPECT_EQ(r.summary, row[1]) << row[0];
    EXPECT_EQ(TreeOf(Out("")), row[2]) << row[0];
    Clear();
  }
}

const struct { const char* what; int kind; Mode mode; } kFaultRows[] = {
    {"open", kFaultOpen, kFail}, {"read", kFaultRead, kFail}, {"seek", kFaultSeek, kFail}, {"write", kFaultWrite, kFail},
    {"make-directory", kFaultMakeDirectory, kFail}, {"rename", kFaultRename, kFail}, {"short read", kFaultRead, kShort},
    {"read, then delete", kFaultRead, kFailThenDelete}, {"write, then delete", kFaultWrite, kFailThenDelete},
};

// Where the n-th call of a kind stood in the clean run: -2 opening the archive, -1 reading the directory, or a member.
int PhaseOf(const Trace& clean, int kind, uint32_t n) {
  if (n <= clean.opening[kind]) return -2;
  for (size_t i = 0; i < clean.before.size(); i++) {
    if (n > clean.before[i].at[kind] && n <= clean.after[i].at[kind]) return (int)i;
  }
  return -1;
}

// The codes a failed call may give where it stood (in member `m`).
std::set<uint16_t> Allowed(int kind, Mode mode, int phase, const Member* m) {
  if (phase == -2 || mode == kShort) return {kStatusFileError, kStatusOk};  // ok: the block's second opening
  if (phase == -1) return {kStatusFileError};
  // A failed create of a temporary file is tried again under another name.
  if (kind == kFaultOpen) return {kStatusOk};
  if (kind == kFaultMakeDirectory) return {kStatusCannotCreate};
  if (kind == kFaultRead && m->deflated) return {kStatusFileError, kStatusDamaged};
  return {kStatusFileError};
}

// robust/matrix.zip: five members, stored and deflated, two folder levels; existing.txt replaces a file put there.
TEST_F(EngineTest, EveryFaultPointInTurn) {
  const std::string archive = FixturePath("robust/matrix.zip"), kOld = "the old content, which must survive\n";
  WriteFileBytes(Out("existing.txt"), kOld);
  Trace clean = Extract(archive);
  ASSERT_EQ(clean.status, kStatusOk);
  std::map<std::string, std::string> reference;
  for (const Member& m : clean.after) reference[m.name] = ReadFileBytes(Out(m.name));
  ASSERT_NE(reference["existing.txt"], kOld);
  // Every kind is reached: two folders, no delete (only after failures), each member's move to its name.
  for (int kind : {kFaultOpen, kFaultRead, kFaultSeek, kFaultWrite}) EXPECT_GT(clean.total[kind], 0u);
  EXPECT_EQ(Counts(clean.total.begin() + kFaultMakeDirectory, clean.total.end()), (Counts{2, 0, 5}));
  CheckScratch(clean);

  for (const auto& row : kFaultRows) {
    for (bool withAfter : {false, true}) {
      for (uint32_t n = 1; n <= clean.total[row.kind]; n++) {
        SCOPED_TRACE(std::string(row.what) + " #" + std::to_string(n) + (withAfter ? " going on" : ""));
        int phase = PhaseOf(clean, row.kind, n);
        const Member* m = phase >= 0 ? &clean.before[phase] : nullptr;
        WriteFileBytes(Out("existing.txt"), kOld);
        const auto oldTime = fs::last_write_time(Out("existing.txt"));
        Trace r = Extract(archive, withAfter ? kAllCallbacks : kBefore | kProgress, row.kind, n, row.mode);
        uint16_t code = phase >= 0 && withAfter ? r.after[phase].outcome : r.status;
        std::string leftover;
        if (row.mode == kFailThenDelete && r.total[kFaultDelete] > 0) {
          // The clean-up failed too: the temporary file stays, and only that.
          EXPECT_EQ(code, kStatusFileError);
          leftover = (fs::path(m->name).parent_path() / "~zv").generic_string();
          EXPECT_NE(TreeOf(Out("")).find(leftover), std::string::npos) << TreeOf(Out(""));  // beside its target
        } else {
          EXPECT_TRUE(Allowed(row.kind, row.mode, phase, m).count(code)) << "code " << code << " in phase " << phase;
        }
        // Members that succeeded are whole; existing.txt keeps its content and time unless replaced.
        bool replaced = false;
        for (const Member& done : r.after) {
          if (done.outcome == kStatusOk) { EXPECT_EQ(ReadFileBytes(Out(done.name)), reference[done.name]) << done.name; }
          replaced = replaced || (done.outcome == kStatusOk && done.name == "existing.txt");
        }
        EXPECT_TRUE(replaced || (ReadFileBytes(Out("existing.txt")) == kOld &&
                                 fs::last_write_time(Out("existing.txt")) == oldTime));
        // A failed write is its member's last.
        EXPECT_TRUE(row.kind != kFaultWrite || phase < 0 || !withAfter || r.after[phase].at[kFaultWrite] == n);
        CheckScratch(r, leftover);
      }
    }
  }
  // Every read short: the end-record scan needs whole reads.
  Trace r = Extract(archive, kBefore, 0, 0, kAllShort);
  EXPECT_TRUE(r.status == kStatusFileError && !r.opened);
}

TEST(PlatformTest, FilesFoldersAndNames) {
  TempDir dir;
  const std::string a = dir.Core("a"), sub = dir.Core("sub");
  WriteFileBytes(dir.path() / "a", "0123456789");
  PlatformHandle h = PlatformOpenRead(a.c_str());
  char buffer[16];
  EXPECT_TRUE(PlatformSeek(h, -2, kSeekEnd) == 8 && PlatformSeek(h, -4, kSeekCur) == 4);
  EXPECT_TRUE(PlatformRead(h, buffer, 16) == 6 && PlatformRead(h, buffer, 16) == 0);  // short at the end, then none
  faultPlan.shortReadAt = faultPlan.calls[kFaultRead] + 1;  // that read only, halved
  EXPECT_TRUE(PlatformSeek(h, 0, kSeekSet) == 0 && PlatformRead(h, buffer, 8) == 4 && PlatformRead(h, buffer, 8) == 6);
  EXPECT_TRUE(PlatformClose(h) == 0 && PlatformOpenNew(a.c_str()) == kNoHandle);  // a new file only where none is
  EXPECT_EQ(PlatformRead(h, buffer, 4), -1);  // a closed handle: an error, never a retry
  EXPECT_TRUE(PlatformMakeDirectory(sub.c_str()) && PlatformIsDirectory(sub.c_str()) && !PlatformIsReadOnly(sub.c_str()));
  EXPECT_FALSE(PlatformMakeDirectory(sub.c_str()) || PlatformMakeDirectory(dir.Core("x/y").c_str()));
  EXPECT_FALSE(PlatformOpenRead(sub.c_str()) != kNoHandle || PlatformOpenWrite(sub.c_str()) != kNoHandle);
  std::filesystem::permissions(dir.path() / "a", std::filesystem::perms::owner_read);
  EXPECT_TRUE(PlatformIsReadOnly(a.c_str()) && PlatformOpenWrite(a.c_str()) == kNoHandle);
  const std::string b = dir.Core("b"), c = dir.Core("c");  // a move to a free name replaces nothing
  WriteFileBytes(dir.path() / "b", "b");
  EXPECT_TRUE(!PlatformMoveToFreeName(b.c_str(), a.c_str()) && PlatformMoveToFreeName(b.c_str(), c.c_str()));
  EXPECT_TRUE(ReadFileBytes(dir.path() / "a") == "0123456789" && ReadFileBytes(dir.path() / "c") == "b");
#ifndef _WIN32
  // A signal that arrives while a read waits is no failure: the read goes on and gets what the handler sent.
  static int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  struct sigaction action = {};
  action.sa_handler = [](int) { (void)!write(ends[1], "late", 4); };  // no SA_RESTART: read() fails with EINTR
  sigaction(SIGALRM, &action, nullptr);
  ualarm(100000, 0);  // while this read waits
  EXPECT_TRUE(PlatformRead(ends[0], buffer, 4) == 4 && PlatformClose(ends[0]) == 0 && PlatformClose(ends[1]) == 0);
#endif

  // Name conversions: out null means refused.
  struct Row { bool (*convert)(const char*, char*, size_t); const char* in; const char* out; };
  const Row rows[] = {
#ifdef _WIN32
      {PlatformOemToAnsi, "\x84\x94\x81", "\xE4\xF6\xFC"}, {PlatformUtf8ToAnsi, "caf\xC3\xA9", "caf\xE9"},
      {PlatformUtf8ToAnsi, "\xE6\x97\xA5", nullptr},  // no such ANSI character
#else
      {PlatformOemToAnsi, "\x84\x94\x81", "\xC3\xA4\xC3\xB6\xC3\xBC"}, {PlatformUtf8ToAnsi, "\xE6\x97\xA5", "\xE6\x97\xA5"},
      {PlatformOemToAnsi, "\x84\x84\x84\x84\x84\x84\x84\x84", nullptr},  // 16 bytes and a NUL do not fit
#endif
      {PlatformOemToAnsi, "plain-ASCII~", "plain-ASCII~"}, {Utf8ToCp437, "\xCE\xA9", "\xEA"},
      {Utf8ToCp437, "\xE6\x97\xA5", nullptr}, {PlatformUtf8ToAnsi, "bad\xC3", nullptr},  // none in CP437; cut,
      {PlatformUtf8ToAnsi, "\xC0\xAF", nullptr}, {PlatformUtf8ToAnsi, "\xED\xA0\x80", nullptr},  // overlong, surrogate
  };
  char out[16], back[8];
  for (const Row& r : rows) EXPECT_STREQ(r.convert(r.in, out, sizeof out) ? out : nullptr, r.out) << r.in;
  for (char one[2] = {(char)0x80, 0}; one[0] != 0; one[0]++)  // 0x80 to 0xFF there and back
    EXPECT_TRUE(Cp437ToUtf8(one, out, sizeof out) && Utf8ToCp437(out, back, sizeof back) && back == std::string(one));

  // DOS dates: the days that exist set the time, impossible ones (as Wine and mktime would move them) set none.
  struct Date { int year, month, day; bool exists; };
  const Date dates[] = {{2024, 2, 29, true}, {2096, 2, 29, true}, {2107, 12, 31, true}, {2023, 2, 29, false},
                        {2100, 2, 29, false}, {2021, 2, 30, false}, {2021, 4, 31, false}, {2021, 6, 31, false},
                        {2021, 13, 1, false}, {2021, 0, 1, false}, {2021, 1, 0, false}};
  const std::string file = dir.Core("dated");
  WriteFileBytes(dir.path() / "dated", "");
  for (const Date& d : dates) {
    SetOutputFileTime(file.c_str(), (1 << 5) | 1, 0);  // January 1, 1980, midnight
    const auto before = std::filesystem::last_write_time(dir.path() / "dated");
    SetOutputFileTime(file.c_str(), (uint16_t)((d.year - 1980) << 9 | d.month << 5 | d.day), 12 << 11);
    EXPECT_EQ(std::filesystem::last_write_time(dir.path() / "dated") != before, d.exists) << d.year << "-" << d.month << "-" << d.day;
  }
}

}  // namespace
