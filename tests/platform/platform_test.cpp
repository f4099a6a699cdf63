// The platform layer's contract, natively and under Wine: the same calls
// must have the same effect on both systems, backslash paths included.
#include <string.h>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "platform/cp437.h"
#include "platform/fault.h"
#include "platform/platform.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { FaultReset(); }
  void TearDown() override { FaultReset(); }
  TempDir dir;
};

TEST_F(PlatformTest, ReadWriteSeekAndLength) {
  std::string path = dir.Core("a.bin");
  PlatformHandle out = PlatformOpenWrite(path.c_str());
  ASSERT_NE(out, kNoHandle);
  EXPECT_EQ(PlatformWrite(out, "0123456789", 10), 10);
  EXPECT_EQ(PlatformWrite(out, "", 0), 0);
  EXPECT_EQ(PlatformFileLength(out), 10);
  EXPECT_EQ(PlatformClose(out), 0);

  PlatformHandle in = PlatformOpenRead(path.c_str());
  ASSERT_NE(in, kNoHandle);
  char buffer[16] = {0};
  EXPECT_EQ(PlatformSeek(in, 3, kSeekSet), 3);
  EXPECT_EQ(PlatformRead(in, buffer, 4), 4);
  EXPECT_STREQ(buffer, "3456");
  EXPECT_EQ(PlatformSeek(in, -2, kSeekCur), 5);
  EXPECT_EQ(PlatformSeek(in, -1, kSeekEnd), 9);
  EXPECT_EQ(PlatformRead(in, buffer, 16), 1);  // short at the end
  EXPECT_EQ(PlatformRead(in, buffer, 16), 0);
  PlatformClose(in);

  // Opening for writing truncates; a new-only open refuses an existing file.
  out = PlatformOpenWrite(path.c_str());
  EXPECT_EQ(PlatformFileLength(out), 0);
  PlatformClose(out);
  EXPECT_EQ(PlatformOpenNew(path.c_str()), kNoHandle);
  EXPECT_EQ(PlatformOpenRead(dir.Core("missing").c_str()), kNoHandle);
}

TEST_F(PlatformTest, DirectoriesDeleteRenameAndReadOnly) {
  std::string sub = dir.Core("sub");
  EXPECT_FALSE(PlatformExists(sub.c_str()));
  EXPECT_TRUE(PlatformMakeDirectory(sub.c_str()));
  EXPECT_FALSE(PlatformMakeDirectory(sub.c_str()));  // exists already
  EXPECT_FALSE(PlatformMakeDirectory(dir.Core("x/y").c_str()));  // parent missing
  EXPECT_TRUE(PlatformExists(sub.c_str()));
  EXPECT_TRUE(PlatformIsDirectory(sub.c_str()));
  // A directory cannot be opened as a file, for reading or writing.
  EXPECT_EQ(PlatformOpenRead(sub.c_str()), kNoHandle);
  EXPECT_EQ(PlatformOpenWrite(sub.c_str()), kNoHandle);

  WriteFileBytes(dir.path() / "sub" / "old.txt", "old");
  WriteFileBytes(dir.path() / "sub" / "new.txt", "new");
  EXPECT_TRUE(PlatformRename(dir.Core("sub/new.txt").c_str(), dir.Core("sub/old.txt").c_str()));
  EXPECT_EQ(ReadFileBytes(dir.path() / "sub" / "old.txt"), "new");
  EXPECT_FALSE(PlatformExists(dir.Core("sub/new.txt").c_str()));

  fs::permissions(dir.path() / "sub" / "old.txt", fs::perms::owner_write | fs::perms::group_write |
                  fs::perms::others_write, fs::perm_options::remove);
  EXPECT_TRUE(PlatformIsReadOnly(dir.Core("sub/old.txt").c_str()));
  EXPECT_EQ(PlatformOpenWrite(dir.Core("sub/old.txt").c_str()), kNoHandle);
  EXPECT_EQ(ReadFileBytes(dir.path() / "sub" / "old.txt"), "new");
  EXPECT_FALSE(PlatformIsReadOnly(sub.c_str()));

  fs::permissions(dir.path() / "sub" / "old.txt", fs::perms::owner_write, fs::perm_options::add);
  EXPECT_TRUE(PlatformDelete(dir.Core("sub/old.txt").c_str()));
  EXPECT_FALSE(PlatformDelete(dir.Core("sub/old.txt").c_str()));
}

TEST_F(PlatformTest, FileTimeIsTheDosTimeReadAsLocalTime) {
  WriteFileBytes(dir.path() / "t.txt", "t");
  const uint16_t date = ((2019 - 1980) << 9) | (7 << 5) | 4;  // 2019-07-04
  const uint16_t time = (21 << 11) | (30 << 5) | 29;          // 21:30:58
  PlatformSetFileTime(dir.Core("t.txt").c_str(), date, time);
  EXPECT_EQ(FileModifiedTime(dir.path() / "t.txt"), DosTimeToUnix(date, time));
  // Winter as well as summer: the rules of the day itself apply.
  const uint16_t winter = ((2020 - 1980) << 9) | (1 << 5) | 15;
  PlatformSetFileTime(dir.Core("t.txt").c_str(), winter, 0);
  EXPECT_EQ(FileModifiedTime(dir.path() / "t.txt"), DosTimeToUnix(winter, 0));
  // A missing file is not an error the caller sees.
  PlatformSetFileTime(dir.Core("missing.txt").c_str(), date, time);
}

TEST_F(PlatformTest, NameConversions) {
  char out[16];
  ASSERT_TRUE(PlatformOemToAnsi("plain-ASCII~", out, sizeof out));
  EXPECT_STREQ(out, "plain-ASCII~");
  ASSERT_TRUE(PlatformOemToAnsi("\x84\x94\x81", out, sizeof out));  // OEM a, o, u umlauts
#ifdef _WIN32
  EXPECT_STREQ(out, "\xE4\xF6\xFC");
#else
  EXPECT_STREQ(out, "\xC3\xA4\xC3\xB6\xC3\xBC");
  EXPECT_FALSE(PlatformOemToAnsi("\x84\x84\x84\x84\x84\x84\x84\x84", out, sizeof out));  // too long
#endif
  ASSERT_TRUE(PlatformUtf8ToAnsi("caf\xC3\xA9", out, sizeof out));
#ifdef _WIN32
  EXPECT_STREQ(out, "caf\xE9");
  EXPECT_FALSE(PlatformUtf8ToAnsi("\xE6\x97\xA5", out, sizeof out));  // no such ANSI character
#else
  EXPECT_STREQ(out, "caf\xC3\xA9");
#endif
  EXPECT_FALSE(PlatformUtf8ToAnsi("bad\xC3", out, sizeof out));       // cut sequence
  EXPECT_FALSE(PlatformUtf8ToAnsi("\xC0\xAF", out, sizeof out));      // overlong '/'
  EXPECT_FALSE(PlatformUtf8ToAnsi("\xED\xA0\x80", out, sizeof out));  // surrogate
}

TEST_F(PlatformTest, Cp437BothWays) {
  char out[64], back[64];
  for (int b = 0x80; b <= 0xFF; b++) {
    char one[2] = {(char)b, 0};
    ASSERT_TRUE(Cp437ToUtf8(one, out, sizeof out));
    ASSERT_TRUE(Utf8ToCp437(out, back, sizeof back)) << b;
    EXPECT_EQ((uint8_t)back[0], b);
  }
  EXPECT_FALSE(Utf8ToCp437("\xCE\xA9\xE6\x97\xA5", out, sizeof out));  // no such CP437 character
}

TEST_F(PlatformTest, FaultSeamCountsAndFails) {
  std::string path = dir.Core("f.bin");
  WriteFileBytes(dir.path() / "f.bin", "abcdef");
  faultPlan.failAt[kFaultOpen] = 2;
  PlatformHandle first = PlatformOpenRead(path.c_str());
  EXPECT_NE(first, kNoHandle);
  EXPECT_EQ(PlatformOpenRead(path.c_str()), kNoHandle);
  PlatformHandle third = PlatformOpenRead(path.c_str());
  EXPECT_NE(third, kNoHandle);
  EXPECT_EQ(faultPlan.calls[kFaultOpen], 3u);

  char buffer[8];
  faultPlan.shortReadAt = faultPlan.calls[kFaultRead] + 1;
  EXPECT_EQ(PlatformRead(first, buffer, 6), 3);
  faultPlan.failAt[kFaultRead] = faultPlan.calls[kFaultRead] + 1;
  EXPECT_EQ(PlatformRead(first, buffer, 2), -1);
  faultPlan.failAt[kFaultSeek] = faultPlan.calls[kFaultSeek] + 1;
  EXPECT_EQ(PlatformSeek(first, 0, kSeekSet), -1);
  PlatformClose(first);
  PlatformClose(third);

  faultPlan.failAt[kFaultMakeDirectory] = 1;
  EXPECT_FALSE(PlatformMakeDirectory(dir.Core("d").c_str()));
  EXPECT_FALSE(PlatformExists(dir.Core("d").c_str()));
  faultPlan.failAt[kFaultDelete] = 1;
  EXPECT_FALSE(PlatformDelete(path.c_str()));
  EXPECT_TRUE(PlatformExists(path.c_str()));
  faultPlan.failAt[kFaultRename] = 1;
  EXPECT_FALSE(PlatformRename(path.c_str(), dir.Core("g.bin").c_str()));
  faultPlan.failAt[kFaultWrite] = 1;
  PlatformHandle out = PlatformOpenWrite(dir.Core("w.bin").c_str());
  EXPECT_EQ(PlatformWrite(out, "x", 1), -1);
  PlatformClose(out);
}

}  // namespace
