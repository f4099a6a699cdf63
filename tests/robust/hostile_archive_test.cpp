// Hostile archives: real archives made by zip and Python's zipfile, mutated
// in memory into the shapes an attacker or a broken transfer produces
// (truncation anywhere, corrupted bytes, lengths of 65,535, directories and
// headers pointing past the end, overlapping members, sizes of 4 GiB, ZIP64
// records, entry counts that disagree with the records).
//
// Every run extracts with an AfterEntryCallback that goes on, into a target
// folder nested two levels inside a scratch folder; afterwards the scratch
// folder must hold nothing but the archive and that target tree, and the
// target no temporary file. A crash or a hang fails the whole program.
#include <gtest/gtest.h>

#include <string.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "engine/engine_support.h"
#include "engine/extract.h"
#include "engine/status.h"

using namespace testing_support;
using engine_test::CentralRecord;
using engine_test::Patch16;
using engine_test::Patch32;
namespace fs = std::filesystem;

namespace {

const std::set<uint16_t> kEveryCode = {
    kStatusOk,           kStatusFileError,   kStatusOutOfMemory, kStatusCancelled,
    kStatusDamaged,      kStatusNoEndRecord, kStatusNoEntries,   kStatusUnsupported,
    kStatusEncrypted,    kStatusCrcMismatch, kStatusCannotCreate};

std::vector<uint16_t> outcomes;
bool targetExisted = false;

int32_t NoteTarget(const CentralHeader*, const char* targetPath) {
  targetExisted = FileExists(targetPath);
  return kAnswerExtract;
}

// A member that failed leaves no file of its own behind: only a CRC
// mismatch keeps the written file, and 19963 means nothing was created.
bool GoOn(const CentralHeader*, const char* targetPath, uint16_t outcome) {
  outcomes.push_back(outcome);
  if (outcome != kStatusOk && outcome != kStatusCrcMismatch && outcome != kStatusCannotCreate &&
      !targetExisted) {
    EXPECT_FALSE(FileExists(targetPath)) << "partial file left: " << targetPath << " after " << outcome;
  }
  targetExisted = false;
  return true;
}

uint32_t Le32(const std::string& s, size_t at) {
  return (uint32_t)(uint8_t)s[at] | (uint32_t)(uint8_t)s[at + 1] << 8 |
         (uint32_t)(uint8_t)s[at + 2] << 16 | (uint32_t)(uint8_t)s[at + 3] << 24;
}
uint16_t Le16(const std::string& s, size_t at) { return (uint16_t)((uint8_t)s[at] | (uint8_t)s[at + 1] << 8); }

size_t EndRecord(const std::string& zip) { return zip.rfind(std::string("PK\x05\x06", 4)); }

size_t CentralRecordSize(const std::string& zip, size_t at) {
  return 46 + Le16(zip, at + 28) + Le16(zip, at + 30) + Le16(zip, at + 32);
}

// Appends a central record at the end of the directory; the directory's
// offset stays, its size and counts follow.
void AppendCentral(std::string& zip, const std::string& record) {
  size_t end = EndRecord(zip);
  zip.insert(end, record);
  end += record.size();
  Patch16(zip, end + 8, Le16(zip, end + 8) + 1);
  Patch16(zip, end + 10, Le16(zip, end + 10) + 1);
  Patch32(zip, end + 12, Le32(zip, end + 12) + (uint32_t)record.size());
}

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override { ResetCoreState(); }

  static std::string Load(const std::string& name) { return ReadFileBytes(FixturePath("robust/" + name)); }

  fs::path Target() const { return dir.path() / "a" / "b"; }

  // Writes the archive, extracts it everything-goes, checks the scratch
  // folder, empties the target again. Returns the run's status (the archive
  // opening's when it fails).
  uint16_t Extract(const std::string& bytes) {
    WriteFileBytes(dir.path() / "hostile.zip", bytes);
    fs::create_directories(Target());
    outcomes.clear();
    ArchiveOpen(dir.Core("hostile.zip").c_str());
    uint16_t status = errorCode;
    if (status == kStatusOk) {
      SetBeforeEntryCallback(NoteTarget);
      SetAfterEntryCallback(GoOn);
      SetOutputBaseDirectory(CorePath(Target()).c_str());
      ExtractAll();
      status = errorCode;
    }
    // The configuration texts are always whole strings.
    EXPECT_LT(strlen(defaultDirectory), (size_t)kConfigFieldSize);
    EXPECT_LT(strlen(command), (size_t)kConfigFieldSize);
    ArchiveClose();
    EXPECT_TRUE(kEveryCode.count(status)) << "status " << status;
    for (uint16_t o : outcomes) EXPECT_TRUE(kEveryCode.count(o)) << "outcome " << o;
    CheckScratch();
    return status;
  }

  void CheckScratch() {
    for (const std::string& entry : engine_test::TreeOf(dir.path())) {
      bool inside = entry == "hostile.zip" || entry == "a" || entry == "a/b" || entry.rfind("a/b/", 0) == 0;
      EXPECT_TRUE(inside) << "written outside the target: " << entry;
      EXPECT_FALSE(std::regex_match(fs::path(entry).filename().string(), std::regex("~zv[0-9]{4}\\.tmp")))
          << "temporary file left: " << entry;
    }
    std::error_code ec;
    fs::remove_all(dir.path() / "a", ec);
  }

  TempDir dir;
};

TEST_F(Hostile, SelfExtractorTruncatedAtEveryOffset) {
  std::string sfx = Load("small-sfx.exe");
  ASSERT_EQ(Extract(sfx), kStatusOk);
  size_t end = EndRecord(sfx);
  for (size_t cut = 0; cut < sfx.size(); cut++) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    uint16_t status = Extract(sfx.substr(0, cut));
    // Without its signature the end record is gone (9966); with the
    // signature but not all of the record after it, the reads fail (5).
    EXPECT_EQ(status, cut < end + 4 ? kStatusNoEndRecord : kStatusFileError);
  }
}

TEST_F(Hostile, SelfExtractorWithEveryByteCorrupted) {
  // Every byte in turn replaced by its complement: any code of the table, no
  // crash, nothing outside the target, no temporary file.
  std::string sfx = Load("small-sfx.exe");
  size_t firstMember = 700 + kConfigBlockSize;
  for (size_t at = firstMember; at < sfx.size(); at++) {
    SCOPED_TRACE("byte " + std::to_string(at));
    std::string bad = sfx;
    bad[at] = (char)~bad[at];
    Extract(bad);
  }
}

TEST_F(Hostile, CentralDirectoryPastTheEnd) {
  std::string zip = Load("small-payload.zip");
  size_t end = EndRecord(zip);
  for (uint32_t offset : {(uint32_t)zip.size(), (uint32_t)zip.size() + 1000, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
    std::string bad = zip;
    Patch32(bad, end + 16, offset);
    EXPECT_EQ(Extract(bad), kStatusFileError) << offset;
  }
  // A directory that starts inside the last record runs off the end.
  std::string bad = zip;
  Patch32(bad, end + 16, (uint32_t)end - 10);
  uint16_t status = Extract(bad);
  EXPECT_TRUE(status == kStatusDamaged || status == kStatusFileError) << status;
}

TEST_F(Hostile, LengthsOf65535) {
  std::string zip = Load("small-payload.zip");
  size_t first = CentralRecord(zip, 0);
  // Name, extra and comment of the central record: the walk reads or skips
  // past the end of the file and stops with 5, nothing extracted.
  for (size_t field : {28, 30, 32}) {
    std::string bad = zip;
    Patch16(bad, first + field, 0xFFFF);
    EXPECT_EQ(Extract(bad), kStatusFileError) << "field " << field;
  }
  // The archive comment length.
  std::string bad = zip;
  Patch16(bad, EndRecord(bad) + 20, 0xFFFF);
  EXPECT_EQ(Extract(bad), kStatusFileError);
  // Local name and extra lengths: only that member fails; the name is cut
  // at 255 bytes and the data start lands somewhere else.
  for (size_t field : {26, 28}) {
    std::string local = zip;
    Patch16(local, Le32(zip, first + 42) + field, 0xFFFF);
    EXPECT_EQ(Extract(local), kStatusOk);
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_NE(outcomes[0], kStatusOk) << "field " << field;
    EXPECT_EQ(outcomes[1], kStatusOk);
    EXPECT_EQ(outcomes[2], kStatusOk);
  }
}

TEST_F(Hostile, EntryCountsAreNotTrusted) {
  std::string zip = Load("small-payload.zip");
  size_t end = EndRecord(zip);
  for (uint16_t count : {0, 1, 0xFFFF}) {
    std::string odd = zip;
    Patch16(odd, end + 8, count);
    Patch16(odd, end + 10, count);
    EXPECT_EQ(Extract(odd), kStatusOk) << count;
    EXPECT_EQ(outcomes, std::vector<uint16_t>(3, kStatusOk));
  }
}

TEST_F(Hostile, DirectoryOfMoreThan65535Records) {
  // 65,536 folder records: a 16-bit count would wrap to 0 and report 19906.
  std::string zip = Load("small-payload.zip");
  size_t first = CentralRecord(zip, 0);
  std::string folder = zip.substr(first, 46);
  Patch16(folder, 28, 2);
  Patch16(folder, 30, 0);
  Patch16(folder, 32, 0);
  folder += "d/";
  std::string many;
  for (int i = 0; i < 65536; i++) many += folder;
  size_t end = EndRecord(zip);
  std::string big = zip.substr(0, first) + many + zip.substr(end);
  Patch32(big, big.size() - 22 + 12, (uint32_t)many.size());
  EXPECT_EQ(Extract(big), kStatusOk);
  EXPECT_TRUE(outcomes.empty());
}

TEST_F(Hostile, TwoRecordsForOneLocalHeader) {
  std::string zip = Load("small-payload.zip");
  size_t first = CentralRecord(zip, 0);
  std::string copy = zip.substr(first, CentralRecordSize(zip, first));
  copy[46] = 'z';  // "a.txt" becomes "z.txt", same member data
  AppendCentral(zip, copy);
  EXPECT_EQ(Extract(zip), kStatusOk);
  EXPECT_EQ(outcomes, std::vector<uint16_t>(4, kStatusOk));
}

TEST_F(Hostile, LocalHeaderInsideAnotherMembersData) {
  // "sub/b.bin" is stored; a new record points into the middle of its data,
  // where no local header stands: whatever is read there, the member fails
  // or produces a CRC mismatch, and the run goes on.
  std::string zip = Load("small-payload.zip");
  size_t second = CentralRecord(zip, 1);
  size_t data = engine_test::MemberData(zip, 1);
  std::string inner = zip.substr(second, CentralRecordSize(zip, second));
  inner[46] = 'x';
  Patch32(inner, 42, (uint32_t)data + 20);
  AppendCentral(zip, inner);
  EXPECT_EQ(Extract(zip), kStatusOk);
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_NE(outcomes[3], kStatusOk);
  // And a record whose local header overlaps the central directory itself.
  std::string overlap = Load("small-payload.zip");
  std::string rec = overlap.substr(CentralRecord(overlap, 0), CentralRecordSize(overlap, CentralRecord(overlap, 0)));
  rec[46] = 'y';
  Patch32(rec, 42, (uint32_t)CentralRecord(overlap, 0));
  AppendCentral(overlap, rec);
  EXPECT_EQ(Extract(overlap), kStatusOk);
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_NE(outcomes[3], kStatusOk);
}

TEST_F(Hostile, CompressedSizeOf4GiB) {
  std::string zip = Load("small-payload.zip");
  for (int member = 0; member < 3; member++) {
    std::string bad = zip;
    size_t record = CentralRecord(bad, member);
    bool stored = Le16(bad, record + 10) == kMethodStored;
    Patch32(bad, record + 20, 0xFFFFFFFF);
    SCOPED_TRACE("member " + std::to_string(member));
    EXPECT_EQ(Extract(bad), kStatusOk);
    ASSERT_EQ(outcomes.size(), 3u);
    // A stored copy runs into the following records and the end of the
    // file (5); the decoder stops at the member's last block and never
    // reads the rest, so a deflated member is extracted as it is.
    EXPECT_EQ(outcomes[member], stored ? kStatusFileError : kStatusOk);
  }
}

TEST_F(Hostile, Zip64Records) {
  std::string zip = Load("zip64.zip");
  // As the tool wrote it: the end record's directory offset is 0xFFFFFFFF.
  EXPECT_EQ(Extract(zip), kStatusFileError);
  // With the real offset the walk meets the ZIP64 end record after the
  // central record: damaged archive.
  size_t z64 = zip.find(std::string("PK\x06\x06", 4));
  ASSERT_NE(z64, std::string::npos);
  uint32_t realOffset = Le32(zip, z64 + 48);
  Patch32(zip, EndRecord(zip) + 16, realOffset);
  EXPECT_EQ(Extract(zip), kStatusDamaged);
}

TEST_F(Hostile, LocalHeaderOffsetBeyondTheFile) {
  std::string zip = Load("small-payload.zip");
  for (uint32_t offset : {(uint32_t)zip.size(), (uint32_t)zip.size() - 10, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    std::string bad = zip;
    Patch32(bad, CentralRecord(bad, 2) + 42, offset);
    EXPECT_EQ(Extract(bad), kStatusOk);
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[2], kStatusFileError) << offset;
  }
}

}  // namespace
