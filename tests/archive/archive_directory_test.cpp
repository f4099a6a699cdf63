// The central directory walk and the entry list: names as stored and as
// converted, lengths at and past the 255-character limit, counts beyond 16
// bits, and the codes of every way the walk can fail.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "common/test_support.h"
#include "engine/status.h"
#include "platform/fault.h"

using namespace testing_support;

namespace {

std::string Fixture(const std::string& name) { return FixturePath("archive/" + name); }

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    InitEntryList(&list);
  }
  void TearDown() override {
    FreeEntryList(&list);
    ResetCoreState();
  }
  // Opens `path` and reads its directory; returns errorCode.
  uint16_t Read(const std::string& path) {
    ArchiveOpen(path.c_str());
    if (errorCode != kStatusOk) return errorCode;
    FreeEntryList(&list);
    ReadCentralDirectory(&list);
    return errorCode;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (CentralDirEntry* e = list.head; e != nullptr; e = e->next) names.push_back(e->name);
    return names;
  }
  EntryList list;
};

TEST_F(DirectoryTest, ListsTheMembersInCentralOrder) {
  ASSERT_EQ(Read(Fixture("basic.exe")), kStatusOk);
  // The order zip wrote, as zipinfo lists it.
  std::vector<std::string> expected;
  std::string names = ReadFileBytes(Fixture("plain.names"));
  for (size_t at = 0, end; (end = names.find('\n', at)) != std::string::npos; at = end + 1) {
    expected.push_back(names.substr(at, end - at));
  }
  EXPECT_EQ(Names(), expected);
  EXPECT_EQ(list.count, 5u);
  const CentralDirEntry* readme = list.head;
  EXPECT_EQ(CentralField32(readme->header, kCentralUncompressedSize), 13u);
  EXPECT_EQ(readme->selected, 1);
  EXPECT_EQ(readme->comment, nullptr);
  EXPECT_EQ(readme->auxBuffer, nullptr);
  // 2021-06-15 13:45:30 as DOS date and time.
  EXPECT_EQ(CentralField16(readme->header, kCentralDate), ((2021 - 1980) << 9) | (6 << 5) | 15);
  EXPECT_EQ(CentralField16(readme->header, kCentralTime), (13 << 11) | (45 << 5) | 15);
  // The name the callbacks find behind the header.
  EXPECT_STREQ(EntryNameOf(&readme->header), "readme.txt");
}

TEST_F(DirectoryTest, NamesAtAndPastTheLimit) {
  ASSERT_EQ(Read(Fixture("names.zip")), kStatusOk);
  std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), 5u);
  EXPECT_EQ(names[0], std::string(255, 'n'));                // kept whole
  EXPECT_EQ(names[1], std::string(255, 'm'));                // 256: one byte skipped
  EXPECT_EQ(names[2], "dir/" + std::string(251, 'l'));       // 300: cut, walk goes on
  EXPECT_EQ(names[3], "");                                   // length 0
  EXPECT_EQ(names[4], "after.txt");
}

TEST_F(DirectoryTest, OneRecordIsHeadAndTail) {
  ASSERT_EQ(Read(Fixture("oem-name.zip")), kStatusOk);
  EXPECT_EQ(list.count, 1u);
  EXPECT_EQ(list.head, list.tail);
}

TEST_F(DirectoryTest, OemNamesConvertToTheAnsiCodePage) {
  ASSERT_EQ(Read(Fixture("oem-name.zip")), kStatusOk);
#ifdef _WIN32
  EXPECT_STREQ(list.head->name, "\xE4rger.txt");  // OEM 0x84 is ANSI 0xE4
#else
  EXPECT_STREQ(list.head->name, "\xC3\xA4rger.txt");  // and UTF-8 on POSIX
#endif
  EXPECT_EQ(list.head->nameUnusable, 0);
}

TEST_F(DirectoryTest, Utf8NamesConvertOrAreMarked) {
  ASSERT_EQ(Read(Fixture("utf8-names.zip")), kStatusOk);
  ASSERT_EQ(list.count, 2u);
  const CentralDirEntry* latin = list.head;
  const CentralDirEntry* greek = list.tail;
#ifdef _WIN32
  EXPECT_STREQ(latin->name, "caf\xE9.txt");
  EXPECT_EQ(latin->nameUnusable, 0);
  // The ANSI code page has no omega: the entry is marked, never guessed at.
  EXPECT_EQ(greek->nameUnusable, 1);
#else
  EXPECT_STREQ(latin->name, "caf\xC3\xA9.txt");
  EXPECT_STREQ(greek->name, "\xCE\xA9mega.txt");
  EXPECT_EQ(greek->nameUnusable, 0);
#endif
}

TEST_F(DirectoryTest, SeventyThousandEntries) {
  ASSERT_EQ(Read(Fixture("many.zip")), kStatusOk);
  EXPECT_EQ(list.count, 70000u);
  EXPECT_STREQ(list.head->name, "f00000");
  EXPECT_STREQ(list.tail->name, "f69999");
}

TEST_F(DirectoryTest, EmptyDirectoryAndForeignRecords) {
  EXPECT_EQ(Read(Fixture("empty.zip")), kStatusNoEntries);
  EXPECT_EQ(list.count, 0u);
  // A ZIP64 end record after the central records is damage to this reader.
  EXPECT_EQ(Read(Fixture("zip64-end.zip")), kStatusDamaged);
  EXPECT_EQ(list.count, 65600u);
  // A forced ZIP64 archive keeps its directory offset beyond reach.
  EXPECT_EQ(Read(Fixture("zip64.zip")), kStatusFileError);
}

TEST_F(DirectoryTest, WrongEndRecordCountsAreIgnored) {
  TempDir dir;
  std::string bytes = ReadFileBytes(Fixture("plain.zip"));
  size_t end = bytes.rfind(std::string("PK\x05\x06", 4));
  bytes[end + 4] = 3;    // disk number
  bytes[end + 8] = 99;   // entries on this disk
  bytes[end + 10] = 1;   // total entries
  WriteFileBytes(dir.path() / "counts.zip", bytes);
  ASSERT_EQ(Read(dir.Core("counts.zip")), kStatusOk);
  EXPECT_EQ(list.count, 5u);
}

// A directory that points past the end of the file ends with 5 instead of
// walking on: through its offset, and through a name length.
TEST_F(DirectoryTest, PointersPastTheEndOfTheFile) {
  TempDir dir;
  std::string bytes = ReadFileBytes(Fixture("plain.zip"));
  size_t end = bytes.rfind(std::string("PK\x05\x06", 4));
  std::string beyond = bytes;
  beyond[end + 4 + 12 + 3] = 0x70;  // central offset far beyond the file
  WriteFileBytes(dir.path() / "offset.zip", beyond);
  EXPECT_EQ(Read(dir.Core("offset.zip")), kStatusFileError);

  std::string longName = bytes;
  size_t last = longName.rfind(std::string("PK\x01\x02", 4));
  longName[last + 4 + kCentralNameLength] = (char)0xFF;
  longName[last + 4 + kCentralNameLength + 1] = (char)0xFF;
  WriteFileBytes(dir.path() / "name.zip", longName);
  EXPECT_EQ(Read(dir.Core("name.zip")), kStatusFileError);
  EXPECT_EQ(list.count, 4u);  // the entries before it stay in the list

  std::string longExtra = bytes;
  longExtra[last + 4 + kCentralExtraLength + 1] = (char)0xFF;
  WriteFileBytes(dir.path() / "extra.zip", longExtra);
  EXPECT_EQ(Read(dir.Core("extra.zip")), kStatusFileError);
}

TEST_F(DirectoryTest, EveryFailedReadAndSeekOfTheWalk) {
  ArchiveOpen(Fixture("plain.zip").c_str());
  ASSERT_EQ(errorCode, kStatusOk);
  FaultReset();
  ReadCentralDirectory(&list);
  ASSERT_EQ(errorCode, kStatusOk);
  uint32_t reads = faultPlan.calls[kFaultRead], seeks = faultPlan.calls[kFaultSeek];
  for (FaultKind kind : {kFaultRead, kFaultSeek}) {
    uint32_t total = kind == kFaultRead ? reads : seeks;
    uint32_t previousCount = 0;
    for (uint32_t n = 1; n <= total; n++) {
      SCOPED_TRACE(testing::Message() << (kind == kFaultRead ? "read " : "seek ") << n);
      FreeEntryList(&list);
      FaultReset();
      faultPlan.failAt[kind] = n;
      ReadCentralDirectory(&list);
      EXPECT_EQ(errorCode, kStatusFileError);
      // Entries read before the failure stay in the list for the caller.
      EXPECT_GE(list.count, previousCount);
      previousCount = list.count;
    }
  }
}

TEST_F(DirectoryTest, FindBytes) {
  const uint8_t hay[] = {1, 2, 3, 1, 2, 3};
  const uint8_t pattern[] = {2, 3};
  EXPECT_EQ(FindBytes(hay, 6, pattern, 2), 1);
  EXPECT_EQ(FindBytes(hay + 2, 4, pattern, 2), 2);
  EXPECT_EQ(FindBytes(hay, 1, pattern, 2), 0xFFFF);  // shorter than the pattern
  EXPECT_EQ(FindBytes(hay, 0, pattern, 2), 0xFFFF);
  EXPECT_EQ(FindBytes(nullptr, 6, pattern, 2), 0xFFFF);
  EXPECT_EQ(FindBytes(hay, 6, pattern, 0), 0xFFFF);
  const uint8_t absent[] = {3, 3};
  EXPECT_EQ(FindBytes(hay, 6, absent, 2), 0xFFFF);
}

TEST_F(DirectoryTest, FreeingResetsTheList) {
  ASSERT_EQ(Read(Fixture("plain.zip")), kStatusOk);
  FreeEntryList(&list);
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.tail, nullptr);
  EXPECT_EQ(list.count, 0u);
  FreeEntryList(&list);  // an empty list only gets its fields reset
  EXPECT_EQ(list.count, 0u);
}

}  // namespace
