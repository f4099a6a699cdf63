// Opening a self-extractor: the backward scan for the end record, and the
// configuration block read in front of the first member. Fixtures are made by
// real tools (tests/fixtures/gen-archive.sh).
#include <string.h>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "common/test_support.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "platform/fault.h"

using namespace testing_support;

namespace {

std::string Fixture(const std::string& name) { return FixturePath("archive/" + name); }

// Where the scan must put endRecordPos: just past the last signature in the file.
int64_t LastSignatureEnd(const std::string& path) {
  std::string bytes = ReadFileBytes(path);
  size_t at = bytes.rfind(std::string("PK\x05\x06", 4));
  return at == std::string::npos ? -1 : (int64_t)at + 4;
}

class ArchiveOpenTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override { ResetCoreState(); }
};

TEST_F(ArchiveOpenTest, ReadsTheConfigurationInFrontOfTheFirstMember) {
  ArchiveOpen(Fixture("basic.exe").c_str());
  ASSERT_EQ(errorCode, kStatusOk);
  EXPECT_NE(archiveHandle, kNoHandle);
  EXPECT_STREQ(defaultDirectory, "C:\\Program Files\\Demo");
  EXPECT_STREQ(command, "setup.exe /quiet");
  EXPECT_EQ(firstMemberOffset, 6000u + kConfigBlockSize);
  EXPECT_EQ(strcmp(archivePath, Fixture("basic.exe").c_str()), 0);
  ArchiveClose();
  EXPECT_EQ(archiveHandle, kNoHandle);
  ArchiveClose();  // harmless when closed
}

TEST_F(ArchiveOpenTest, ConfigurationFieldsEmptyAndFull) {
  ArchiveOpen(Fixture("empty-config.exe").c_str());
  ASSERT_EQ(errorCode, kStatusOk);
  EXPECT_STREQ(defaultDirectory, "");
  EXPECT_STREQ(command, "");

  // 257 non-NUL bytes: the first 256 stay, the 257th reads as NUL.
  ArchiveOpen(Fixture("full-config.exe").c_str());
  ASSERT_EQ(errorCode, kStatusOk);
  EXPECT_EQ(std::string(defaultDirectory), std::string(256, 'D'));
  EXPECT_EQ(std::string(command), std::string(256, 'C'));
}

TEST_F(ArchiveOpenTest, CentralOrderDecidesWhereTheBlockIs) {
  // The first central record names the member that is physically second;
  // the 514 bytes in front of it hold DIR-B and CMD-B.
  ArchiveOpen(Fixture("reordered.exe").c_str());
  ASSERT_EQ(errorCode, kStatusOk);
  EXPECT_STREQ(defaultDirectory, "DIR-B");
  EXPECT_STREQ(command, "CMD-B");
}

TEST_F(ArchiveOpenTest, NoRoomForTheBlockGivesEmptyStrings) {
  // A plain ZIP's first member starts at offset 0.
  ArchiveOpen(Fixture("plain.zip").c_str());
  ASSERT_EQ(errorCode, kStatusOk);
  EXPECT_EQ(firstMemberOffset, 0u);
  EXPECT_STREQ(defaultDirectory, "");
  EXPECT_STREQ(command, "");
}

TEST_F(ArchiveOpenTest, FewerThan257BytesForTheDirectory) {
  // Point the first central record at a member 100 bytes before the end of
  // the file: only 100 bytes can be read for the directory, none for the command.
  TempDir dir;
  std::string bytes = ReadFileBytes(Fixture("basic.exe"));
  size_t central = bytes.find(std::string("PK\x01\x02", 4));
  ASSERT_NE(central, std::string::npos);
  uint32_t offset = (uint32_t)bytes.size() - 100 + kConfigBlockSize;
  for (int i = 0; i < 4; i++) bytes[central + 42 + i] = (char)(offset >> (8 * i));
  WriteFileBytes(dir.path() / "short.exe", bytes);
  ArchiveOpen(dir.Core("short.exe").c_str());
  ASSERT_EQ(errorCode, kStatusOk);
  EXPECT_EQ(std::string(defaultDirectory), bytes.substr(bytes.size() - 100, strlen(defaultDirectory)));
  EXPECT_LE(strlen(defaultDirectory), 100u);
  EXPECT_STREQ(command, "");
}

TEST_F(ArchiveOpenTest, FindsTheEndRecordBehindCommentsOfAnyLength) {
  // 0 and 42: in the first window; 44: the signature straddles two reads;
  // 61 and 5000: found by the backward steps.
  for (const char* name : {"comment-0.exe", "comment-42.exe", "comment-44.exe", "comment-61.exe",
                           "comment-5000.exe"}) {
    SCOPED_TRACE(name);
    ArchiveOpen(Fixture(name).c_str());
    ASSERT_EQ(errorCode, kStatusOk);
    EXPECT_EQ(endRecordPos, LastSignatureEnd(Fixture(name)));
    EXPECT_NE(strstr(defaultDirectory, "comment"), nullptr);
  }
}

TEST_F(ArchiveOpenTest, FirstWindowHoldsARecordWithoutComment) {
  FaultReset();
  ArchiveOpen(Fixture("comment-0.exe").c_str());
  ASSERT_EQ(errorCode, kStatusOk);
  // A second search in the same open only seeks.
  uint32_t reads = faultPlan.calls[kFaultRead], seeks = faultPlan.calls[kFaultSeek];
  FindEndRecord();
  EXPECT_EQ(errorCode, kStatusOk);
  EXPECT_EQ(faultPlan.calls[kFaultRead], reads);
  EXPECT_EQ(faultPlan.calls[kFaultSeek], seeks + 1);
}

TEST_F(ArchiveOpenTest, SignatureInsideALaterCommentWindowIsTaken) {
  // The scan looks from the end of the file: the false signature in the
  // comment stands nearer the end and is taken as the end record.
  std::string path = Fixture("false-signature.exe");
  std::string bytes = ReadFileBytes(path);
  size_t falseAt = bytes.rfind(std::string("PK\x05\x06", 4));
  size_t realAt = bytes.rfind(std::string("PK\x05\x06", 4), falseAt - 1);
  ASSERT_NE(realAt, std::string::npos);
  ArchiveOpen(path.c_str());
  EXPECT_EQ(endRecordPos, (int64_t)falseAt + 4);
}

TEST_F(ArchiveOpenTest, NoEndRecord) {
  ArchiveOpen(Fixture("nothing-appended.exe").c_str());
  EXPECT_EQ(errorCode, kStatusNoEndRecord);
  EXPECT_EQ(archiveHandle, kNoHandle);
  EXPECT_EQ(endRecordPos, -1);
  EXPECT_STREQ(defaultDirectory, "");

  ArchiveOpen(Fixture("short-no-record.bin").c_str());  // shorter than the first window
  EXPECT_EQ(errorCode, kStatusNoEndRecord);
}

TEST_F(ArchiveOpenTest, MissingFileAndOverlongPath) {
  strcpy(archivePath, "previous");
  ArchiveOpen(Fixture("no-such-file.exe").c_str());
  EXPECT_EQ(errorCode, kStatusFileError);
  EXPECT_STREQ(archivePath, "previous");

  std::string longPath(kArchivePathCapacity + 10, 'a');
  ArchiveOpen(longPath.c_str());
  EXPECT_EQ(errorCode, kStatusFileError);
  EXPECT_STREQ(archivePath, "previous");
}

TEST_F(ArchiveOpenTest, LongArchivePathIsHeldWhole) {
  // 300 characters: more than the 255 a name holds, all kept.
  TempDir dir;
  std::filesystem::path deep = dir.path();
  std::string component(60, 'd');
  while (CorePath(deep).size() < 300) deep /= component;
  std::filesystem::create_directories(deep);
  std::filesystem::copy_file(Fixture("basic.exe"), deep / "basic.exe");
  std::string path = CorePath(deep / "basic.exe");
  ArchiveOpen(path.c_str());
  if (errorCode == kStatusFileError && path.size() >= 260) {
#ifdef _WIN32
    GTEST_SKIP() << "this system limits paths to 260 characters";
#endif
  }
  ASSERT_EQ(errorCode, kStatusOk);
  EXPECT_EQ(std::string(archivePath), path);
  EXPECT_STREQ(command, "setup.exe /quiet");
}

TEST_F(ArchiveOpenTest, OpeningEmptiesCallbacksAndBaseDirectory) {
  SetProgressCallback([](uint32_t, uint32_t) { return true; });
  SetBeforeEntryCallback([](const CentralHeader*, const char*) { return 0; });
  SetAfterEntryCallback([](const CentralHeader*, const char*, uint16_t) { return true; });
  SetOutputBaseDirectory("C:\\OUT");
  ArchiveOpen(Fixture("basic.exe").c_str());
  EXPECT_EQ(ProgressCallback, nullptr);
  EXPECT_EQ(BeforeEntryCallback, nullptr);
  EXPECT_EQ(AfterEntryCallback, nullptr);
  EXPECT_STREQ(outputBaseDirectory, "");
  // A second open of the same file scans again.
  int64_t first = endRecordPos;
  endRecordPos = 12345;
  ArchiveOpen(Fixture("basic.exe").c_str());
  EXPECT_EQ(endRecordPos, first);
}

// Each read of a clean open, made to fail in turn, gives the outcome the
// failure table asks for: reads 1-2 are the scan and the end record (the
// archive is closed), 3-5 the first central record (it stays open), 6-7 the
// block (not an error: the strings stay empty).
TEST_F(ArchiveOpenTest, EveryFailedReadOfAnOpen) {
  struct Row {
    uint32_t read;
    uint16_t code;
    bool open;
    const char* directory;
    const char* command;
  };
  const Row rows[] = {
      {1, kStatusFileError, false, "", ""},
      {2, kStatusFileError, false, "", ""},
      {3, kStatusFileError, true, "", ""},
      {4, kStatusFileError, true, "", ""},
      {5, kStatusFileError, true, "", ""},
      {6, kStatusOk, true, "", ""},
      {7, kStatusOk, true, "C:\\Program Files\\Demo", ""},
      {8, kStatusOk, true, "C:\\Program Files\\Demo", "setup.exe /quiet"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.read);
    ResetCoreState();
    faultPlan.failAt[kFaultRead] = row.read;
    ArchiveOpen(Fixture("basic.exe").c_str());
    EXPECT_EQ(errorCode, row.code);
    EXPECT_EQ(archiveHandle != kNoHandle, row.open);
    EXPECT_STREQ(defaultDirectory, row.directory);
    EXPECT_STREQ(command, row.command);
  }
}

TEST_F(ArchiveOpenTest, FailedOpensSeeksAndShortReads) {
  faultPlan.failAt[kFaultOpen] = 1;
  ArchiveOpen(Fixture("basic.exe").c_str());
  EXPECT_EQ(errorCode, kStatusFileError);
  EXPECT_EQ(archiveHandle, kNoHandle);

  // The second opening, for the block, fails quietly.
  ResetCoreState();
  faultPlan.failAt[kFaultOpen] = 2;
  ArchiveOpen(Fixture("basic.exe").c_str());
  EXPECT_EQ(errorCode, kStatusOk);
  EXPECT_NE(archiveHandle, kNoHandle);
  EXPECT_STREQ(defaultDirectory, "");

  // Seeks: the scan's, the final one to the record, the directory's.
  for (uint32_t seek : {1u, 2u, 4u}) {
    SCOPED_TRACE(seek);
    ResetCoreState();
    faultPlan.failAt[kFaultSeek] = seek;
    ArchiveOpen(Fixture("basic.exe").c_str());
    EXPECT_EQ(errorCode, kStatusFileError);
    EXPECT_EQ(archiveHandle, kNoHandle);
  }

  // A read that comes back short is a failed read.
  ResetCoreState();
  faultPlan.shortReadAlways = true;
  ArchiveOpen(Fixture("basic.exe").c_str());
  EXPECT_EQ(errorCode, kStatusFileError);
}

TEST_F(ArchiveOpenTest, WrongFirstCentralSignatureLeavesStringsEmpty) {
  TempDir dir;
  std::string bytes = ReadFileBytes(Fixture("basic.exe"));
  size_t central = bytes.find(std::string("PK\x01\x02", 4));
  bytes[central + 3] = 0x09;
  WriteFileBytes(dir.path() / "bad.exe", bytes);
  ArchiveOpen(dir.Core("bad.exe").c_str());
  EXPECT_EQ(errorCode, kStatusOk);
  EXPECT_NE(archiveHandle, kNoHandle);
  EXPECT_STREQ(defaultDirectory, "");
  // The walk of a run then reports the damage.
  EntryList list;
  InitEntryList(&list);
  ReadCentralDirectory(&list);
  EXPECT_EQ(errorCode, kStatusDamaged);
  FreeEntryList(&list);
}

}  // namespace
