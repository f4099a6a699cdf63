// Unit tests of the packer's rules that the end-to-end tests cannot pin down
// exactly: DOS times and their clamping, the member order, how a name is
// stored (CP437 or UTF-8, with the Unicode path extra field), which names are
// refused, the configuration block, and the output file's all-or-nothing
// behaviour.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>
#include <libdeflate.h>

#include "archive/zip_format.h"
#include "common/test_support.h"
#include "tools/pack_internal.h"

namespace fs = std::filesystem;
using pack::PackError;

namespace {

// Unix time of a UTC calendar time.
int64_t Utc(int year, int month, int day, int hour, int minute, int second) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return (int64_t)timegm(&t);
}

class UtcZone : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("TZ");
    saved_ = old ? old : "";
    hadZone_ = old != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (hadZone_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::string saved_;
  bool hadZone_ = false;
};

struct DosTime {
  uint16_t date, time;
  bool clamped;
};

DosTime ToDos(int64_t unixTime) {
  DosTime d;
  pack::UnixTimeToDos(unixTime, &d.date, &d.time, &d.clamped);
  return d;
}

uint16_t DosDate(int year, int month, int day) { return (uint16_t)(((year - 1980) << 9) | (month << 5) | day); }
uint16_t DosClock(int hour, int minute, int second) { return (uint16_t)((hour << 11) | (minute << 5) | (second / 2)); }

TEST_F(UtcZone, DosTimeKeepsEvenSecondsAndClampsOutsideItsRange) {
  DosTime odd = ToDos(Utc(2001, 2, 3, 4, 5, 7));
  EXPECT_EQ(odd.date, DosDate(2001, 2, 3));
  EXPECT_EQ(odd.time, DosClock(4, 5, 6));
  EXPECT_FALSE(odd.clamped);

  DosTime first = ToDos(Utc(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(first.date, DosDate(1980, 1, 1));
  EXPECT_FALSE(first.clamped);
  DosTime last = ToDos(Utc(2107, 12, 31, 23, 59, 59));
  EXPECT_EQ(last.date, DosDate(2107, 12, 31));
  EXPECT_EQ(last.time, DosClock(23, 59, 58));
  EXPECT_FALSE(last.clamped);

  DosTime before = ToDos(Utc(1979, 12, 31, 23, 59, 59));
  EXPECT_TRUE(before.clamped);
  EXPECT_EQ(before.date, DosDate(1980, 1, 1));
  EXPECT_EQ(before.time, 0);
  DosTime negative = ToDos(-86400);
  EXPECT_TRUE(negative.clamped);
  EXPECT_EQ(negative.date, DosDate(1980, 1, 1));
  DosTime after = ToDos(Utc(2108, 1, 1, 0, 0, 0));
  EXPECT_TRUE(after.clamped);
  EXPECT_EQ(after.date, DosDate(2107, 12, 31));
  EXPECT_EQ(after.time, DosClock(23, 59, 58));
}

TEST(MemberOrder, FoldersPrecedeTheirContentsAndSiblingsSortByBytes) {
  // "a/b/c" before "a/b c": components compare first, and "b" is a prefix of "b c".
  std::vector<std::string> names = {"b.txt", "a/z", "a-b/x", "a/", "a/b/", "a/b/c", "a", "B", "a/b c"};
  std::sort(names.begin(), names.end(), pack::MemberNameLess);
  std::vector<std::string> expected = {"B", "a", "a/", "a/b/", "a/b/c", "a/b c", "a/z", "a-b/x", "b.txt"};
  EXPECT_EQ(names, expected);
  EXPECT_FALSE(pack::MemberNameLess("a/b", "a/b"));
}

pack::SourceEntry Encoded(const std::string& name) {
  pack::SourceEntry entry;
  entry.name = name;
  pack::EncodeMemberName(entry);
  return entry;
}

TEST(MemberNames, Cp437WhenEveryCharacterFitsElseUtf8) {
  pack::SourceEntry ascii = Encoded("dir/plain name.txt");
  EXPECT_EQ(ascii.storedName, "dir/plain name.txt");
  EXPECT_FALSE(ascii.utf8);
  EXPECT_TRUE(ascii.extra.empty());

  pack::SourceEntry cafe = Encoded("caf\xC3\xA9/\xC3\xBC" "ber");  // café/über
  EXPECT_EQ(cafe.storedName, "caf\x82/\x81" "ber");
  EXPECT_FALSE(cafe.utf8);
  // Unicode path extra field: id, size, version 1, CRC of the stored name, UTF-8 name.
  const uint8_t* extra = (const uint8_t*)cafe.extra.data();
  ASSERT_EQ(cafe.extra.size(), 4 + 5 + cafe.name.size());
  EXPECT_EQ(ReadLe16(extra), 0x7075);
  EXPECT_EQ(ReadLe16(extra + 2), 5 + cafe.name.size());
  EXPECT_EQ(extra[4], 1);
  EXPECT_EQ(ReadLe32(extra + 5), libdeflate_crc32(0, cafe.storedName.data(), cafe.storedName.size()));
  EXPECT_EQ(cafe.extra.substr(9), cafe.name);

  pack::SourceEntry omega = Encoded("\xCE\xA9/\xE6\x97\xA5\xE6\x9C\xAC.txt");  // Ω/日本.txt
  EXPECT_EQ(omega.storedName, omega.name);
  EXPECT_TRUE(omega.utf8);
  EXPECT_TRUE(omega.extra.empty());

  EXPECT_THROW(Encoded("bad\xFF.txt"), PackError);
}

TEST(MemberNames, RefusesWhatTheStubOrWindowsWouldRefuse) {
  const char* refused[] = {"../up.txt", "a/../b", "x:y", "a/con.txt", "LPT1", "dot./x", "space /x",
                           "q?", "s*", "p|q", "lt<", "gt>", "quote\"", "back\\slash", "tab\tx",
                           "del\x7F", "/absolute", "//server/share", ""};
  for (const char* name : refused) EXPECT_NE(pack::MemberNameProblem(name), "") << name;
  const char* accepted[] = {"a/b/c.txt", "name with spaces", "caf\x82", ".hidden", "dir/", "a.b.c"};
  for (const char* name : accepted) EXPECT_EQ(pack::MemberNameProblem(name), "") << name;

  EXPECT_EQ(pack::MemberNameProblem(std::string(255, 'n')), "");
  EXPECT_NE(pack::MemberNameProblem(std::string(256, 'n')), "");
}

TEST(ConfigBlock, TwoNulPaddedFieldsOfAtMost256Characters) {
  std::vector<uint8_t> block = pack::BuildConfigBlock("C:\\Apps", "setup.exe");
  ASSERT_EQ(block.size(), 514u);
  EXPECT_EQ(std::string((const char*)block.data()), "C:\\Apps");
  EXPECT_EQ(std::string((const char*)block.data() + 257), "setup.exe");
  EXPECT_TRUE(std::all_of(block.begin() + 7, block.begin() + 257, [](uint8_t b) { return b == 0; }));

  std::vector<uint8_t> full = pack::BuildConfigBlock(std::string(256, 'd'), std::string(256, 'r'));
  EXPECT_EQ(full[255], 'd');
  EXPECT_EQ(full[256], 0);
  EXPECT_EQ(full[257 + 255], 'r');
  EXPECT_EQ(full[513], 0);

  EXPECT_THROW(pack::BuildConfigBlock(std::string(257, 'd'), ""), PackError);
  EXPECT_THROW(pack::BuildConfigBlock("", std::string(257, 'r')), PackError);
  EXPECT_TRUE(pack::BuildConfigBlock("", "") == std::vector<uint8_t>(514, 0));
}

size_t EntriesIn(const fs::path& folder) {
  return (size_t)std::distance(fs::directory_iterator(folder), fs::directory_iterator());
}

TEST(OutputFile, AppearsOnlyWhenCommitted) {
  testing_support::TempDir dir;
  fs::path target = dir.path() / "out.exe";
  {
    pack::OutputFile out(target.string());
    out.Write("abc", 3);
    EXPECT_EQ(EntriesIn(dir.path()), 1u);  // the temporary file
  }
  EXPECT_EQ(EntriesIn(dir.path()), 0u);

  testing_support::WriteFileBytes(target, "old");
  {
    pack::OutputFile out(target.string());
    out.Write("new bytes", 9);
    EXPECT_EQ(out.Position(), 9u);
    EXPECT_EQ(testing_support::ReadFileBytes(target), "old");
    out.Commit();
  }
  EXPECT_EQ(testing_support::ReadFileBytes(target), "new bytes");
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

TEST(OutputFile, RefusesToGrowPastItsLimitAndLeavesNothing) {
  testing_support::TempDir dir;
  fs::path target = dir.path() / "out.exe";
  {
    pack::OutputFile out(target.string(), 10);
    out.Write("0123456789", 10);
    EXPECT_THROW(out.Write("x", 1), PackError);
  }
  EXPECT_EQ(EntriesIn(dir.path()), 0u);
}

}  // namespace
