// Target paths and the directory walk of CreateOutputFile: what a member
// name becomes, which names are refused, and which directories are made.
#include <string.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "engine/engine_support.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "platform/fault.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class PathsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override {
    if (outputHandle != kNoHandle) PlatformClose(outputHandle);
    outputHandle = kNoHandle;
    ResetCoreState();
  }
  std::string Target(const char* name) {
    char path[kNameCapacity];
    return BuildTargetPath(name, path) ? std::string(path) : std::string("(refused)");
  }
  TempDir dir;
};

TEST_F(PathsTest, BaseDirectoryGetsOneSeparator) {
  SetOutputBaseDirectory("C:\\OUT");
  EXPECT_STREQ(outputBaseDirectory, "C:\\OUT\\");
  SetOutputBaseDirectory("C:\\OUT\\");
  EXPECT_STREQ(outputBaseDirectory, "C:\\OUT\\");
  SetOutputBaseDirectory("C:");
  EXPECT_STREQ(outputBaseDirectory, "C:\\");
}

TEST_F(PathsTest, NamesBecomePathsUnderTheBase) {
  SetOutputBaseDirectory("C:\\OUT");
  EXPECT_EQ(Target("DOCS/README.TXT"), "C:\\OUT\\DOCS\\README.TXT");
  EXPECT_EQ(Target("/NOTES.TXT"), "C:\\OUT\\NOTES.TXT");
  EXPECT_EQ(Target("a..b/.gitignore"), "C:\\OUT\\a..b\\.gitignore");
  outputBaseDirectory[0] = 0;
  EXPECT_EQ(Target("DOCS/README.TXT"), "DOCS\\README.TXT");
}

TEST_F(PathsTest, UnsafeNamesAreRefused) {
  const char* refused[] = {
      "../x", "..\\x", "a/../../x", "a/..", "..", ".. /x", "... /x", "a/.../x", ". /x",
      "C:/x", "C:x", "a.txt:stream", "//server/share/x", "\\\\server\\x", "/\\x", "dir /x",
      "dir./x", "x.", "x ", "CON", "con.txt", "sub/NUL", "aux.c", "COM1", "lpt9.log", "PRN",
      "bell\x07", "tab\there", "del\x7f", "line\nfeed",
  };
  for (const char* name : refused) {
    EXPECT_FALSE(MemberNameIsSafe(name)) << name;
    EXPECT_EQ(Target(name), "(refused)") << name;
  }
  const char* accepted[] = {
      "a/b.txt", "/lead.txt", "a..b", ".gitignore", "dir//x", "x.y.z", "COM10", "console.txt",
      "LPT0", "nu", "\xC3\xBC.txt", "dir/", "a b/c d.txt", "./x", "a/./b",
  };
  for (const char* name : accepted) EXPECT_TRUE(MemberNameIsSafe(name)) << name;
}

TEST_F(PathsTest, PathsLongerThan255AreRefusedNotCut) {
  std::string base(200, 'b');
  SetOutputBaseDirectory(base.c_str());  // 201 with its separator
  EXPECT_EQ(Target(std::string(54, 'n').c_str()).size(), 255u);
  EXPECT_EQ(Target(std::string(55, 'n').c_str()), "(refused)");
}

TEST_F(PathsTest, WalkCreatesOneLevelAtATime) {
  std::string target = dir.Core("A/B/C.TXT");
  FaultReset();
  CreateOutputFile(target.c_str());
  ASSERT_EQ(errorCode, kStatusOk);
  EXPECT_TRUE(fs::is_directory(dir.path() / "A" / "B"));
  EXPECT_EQ(faultPlan.calls[kFaultMakeDirectory], 2u);
  // One open at first, then one after each directory found (every level of
  // the temporary directory) or made (A and B).
  std::string base = dir.Core();
  uint32_t levels = (uint32_t)std::count(base.begin(), base.end(), '\\');
  EXPECT_EQ(faultPlan.calls[kFaultOpen], 1 + levels + 2);
  PlatformClose(outputHandle);
  outputHandle = kNoHandle;

  // All directories there: one open, nothing made.
  FaultReset();
  CreateOutputFile(dir.Core("A/B/D.TXT").c_str());
  EXPECT_EQ(errorCode, kStatusOk);
  EXPECT_EQ(faultPlan.calls[kFaultOpen], 1u);
  EXPECT_EQ(faultPlan.calls[kFaultMakeDirectory], 0u);
}

TEST_F(PathsTest, DirectoriesMadeBeforeAFailureStay) {
  faultPlan.failAt[kFaultMakeDirectory] = 2;
  CreateOutputFile(dir.Core("A/B/C.TXT").c_str());
  EXPECT_EQ(errorCode, kStatusFileError);
  EXPECT_TRUE(fs::is_directory(dir.path() / "A"));
  EXPECT_FALSE(fs::exists(dir.path() / "A" / "B"));
}

TEST_F(PathsTest, AFileWhereADirectoryIsNeeded) {
  WriteFileBytes(dir.path() / "A", "file");
  CreateOutputFile(dir.Core("A/B.TXT").c_str());
  EXPECT_EQ(errorCode, kStatusFileError);
  EXPECT_EQ(ReadFileBytes(dir.path() / "A"), "file");
}

#ifdef _WIN32
TEST_F(PathsTest, MissingDrive) {
  CreateOutputFile("Q:\\OUT\\X.TXT");
  EXPECT_EQ(errorCode, kStatusFileError);
}
#endif

TEST_F(PathsTest, ExistenceAndSeparators) {
  EXPECT_FALSE(FileExists(""));
  EXPECT_TRUE(FileExists(dir.Core().c_str()));
  EXPECT_FALSE(FileExists(dir.Core("nothing").c_str()));
  char text[8];
  strcpy(text, "");
  EXPECT_STREQ(AddTrailingSeparator(text), "");
  strcpy(text, "a");
  EXPECT_STREQ(AddTrailingSeparator(text), "a\\");
  EXPECT_STREQ(AddTrailingSeparator(text), "a\\");
  strcpy(text, "C:");
  EXPECT_STREQ(AddTrailingSeparator(text), "C:");
}

}  // namespace
