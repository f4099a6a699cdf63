// Start-up decisions and the shared helpers: the path split (both
// separators, drives, double-byte names, the 255-character cut), the floppy
// rule with the configured defaults, and the centring arithmetic.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "archive/archive.h"
#include "shell/shell.h"
#include "shell/shell_test_support.h"

namespace {

struct Parts {
  std::string directory, name;
};

Parts Split(const std::string& path) {
  char directory[kDirectoryPartCapacity];
  char name[kNamePartCapacity];
  memset(directory, 'x', sizeof directory);
  memset(name, 'x', sizeof name);
  SplitPath(path.c_str(), directory, name);
  return {directory, name};
}

// Shift-JIS lead bytes: 0x81-0x9F and 0xE0-0xFC.
bool ShiftJisLeadByte(uint8_t byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    shell_test::ResetShell();
    memset(defaultDirectory, 0, kConfigFieldSize);
    memset(command, 0, kConfigFieldSize);
  }
  void Configure(const char* directory, const char* followUp) {
    strcpy(defaultDirectory, directory);
    strcpy(command, followUp);
  }
};

TEST_F(StartupTest, SplitPathTakesDriveDirectoryAndNameWithEitherSeparator) {
  EXPECT_EQ(Split("C:\\TEMP\\PKG.EXE").directory, "C:\\TEMP\\");
  EXPECT_EQ(Split("C:\\TEMP\\PKG.EXE").name, "PKG.EXE");
  EXPECT_EQ(Split("c:/a\\b/setup.tar.gz").directory, "c:/a\\b/");
  EXPECT_EQ(Split("c:/a\\b/setup.tar.gz").name, "setup.tar.gz");
  EXPECT_EQ(Split("D:PKG.EXE").directory, "D:");
  EXPECT_EQ(Split("D:PKG.EXE").name, "PKG.EXE");
  EXPECT_EQ(Split("PKG.EXE").directory, "");
  EXPECT_EQ(Split("PKG.EXE").name, "PKG.EXE");
  EXPECT_EQ(Split("C:\\OUT\\").directory, "C:\\OUT\\");
  EXPECT_EQ(Split("C:\\OUT\\").name, "");
  EXPECT_EQ(Split("\\\\server\\share\\x").directory, "\\\\server\\share\\");
  EXPECT_EQ(Split("C:\\dir.d\\README").name, "README");
  EXPECT_EQ(Split("").directory, "");
  EXPECT_EQ(Split("").name, "");
}

TEST_F(StartupTest, SplitPathCutsEachPartTo255Characters) {
  std::string longDirectory = "C:\\" + std::string(300, 'd') + "\\";
  std::string base(300, 'b');
  Parts parts = Split(longDirectory + base + ".txt");
  EXPECT_EQ(parts.directory, longDirectory.substr(0, 255));
  EXPECT_EQ(parts.name, base.substr(0, 255) + ".txt");
  std::string extension = "." + std::string(300, 'e');
  EXPECT_EQ(Split("f" + extension).name, "f" + extension.substr(0, 255));
}

TEST_F(StartupTest, SplitPathNeverTakesATrailByteForASeparator) {
  // 0x83 0x5C is one Shift-JIS character whose second byte is a backslash.
  const std::string path = "C:\\A\x83\x5C.TXT";
  Parts single = Split(path);
  EXPECT_EQ(single.directory, "C:\\A\x83\\");
  EXPECT_EQ(single.name, ".TXT");
  shellHooks.isLeadByte = ShiftJisLeadByte;
  Parts dbcs = Split(path);
  EXPECT_EQ(dbcs.directory, "C:\\");
  EXPECT_EQ(dbcs.name, "A\x83\x5C.TXT");
  // A lead byte at the very end has no trail byte to protect.
  EXPECT_EQ(Split("C:\\x\\\x83").name, "\x83");
}

TEST_F(StartupTest, EmptyConfigurationProposesTheExecutablesDirectory) {
  ComputeStartupSettings("C:\\TEMP\\PKG.EXE", kStatusOk);
  EXPECT_STREQ(executableDirectory, "C:\\TEMP\\");
  EXPECT_STREQ(targetDirectory, "C:\\TEMP\\");
  EXPECT_STREQ(followUpCommand, "");
  EXPECT_FALSE(startedFromFloppy);
}

TEST_F(StartupTest, FloppyStartWithoutConfigurationLeavesTheFieldEmpty) {
  for (const char* path : {"a:\\PKG.EXE", "A:\\PKG.EXE", "B:\\PKG.EXE", "b:\\SUB\\PKG.EXE"}) {
    SetUp();
    ComputeStartupSettings(path, kStatusOk);
    EXPECT_TRUE(startedFromFloppy) << path;
    EXPECT_STREQ(targetDirectory, "") << path;
  }
  // Only the first character counts: C: and network paths are never floppies.
  ComputeStartupSettings("\\\\a\\share\\PKG.EXE", kStatusOk);
  EXPECT_FALSE(startedFromFloppy);
  EXPECT_STREQ(targetDirectory, "\\\\a\\share\\");
  ComputeStartupSettings("C:\\A\\PKG.EXE", kStatusOk);
  EXPECT_FALSE(startedFromFloppy);
}

TEST_F(StartupTest, ConfiguredDirectoryAndCommandAreTakenAlsoFromAFloppy) {
  Configure("C:\\PROGRAM\\TOOL", "setup.exe /q");
  ComputeStartupSettings("A:\\PKG.EXE", kStatusOk);
  EXPECT_TRUE(startedFromFloppy);
  EXPECT_STREQ(targetDirectory, "C:\\PROGRAM\\TOOL");
  EXPECT_STREQ(followUpCommand, "setup.exe /q");
}

TEST_F(StartupTest, FailedOpeningIgnoresTheConfiguredTexts) {
  Configure("C:\\PROGRAM\\TOOL", "setup.exe");
  ComputeStartupSettings("C:\\TEMP\\PKG.EXE", kStatusNoEndRecord);
  EXPECT_STREQ(targetDirectory, "C:\\TEMP\\");
  EXPECT_STREQ(followUpCommand, "");
  ComputeStartupSettings("B:\\PKG.EXE", kStatusFileError);
  EXPECT_STREQ(targetDirectory, "");
}

TEST_F(StartupTest, ConfiguredTextsOfFullLengthFit) {
  std::string full(256, 'c');
  Configure(full.c_str(), full.c_str());
  ComputeStartupSettings("C:\\PKG.EXE", kStatusOk);
  EXPECT_EQ(std::string(targetDirectory), full);
  EXPECT_EQ(std::string(followUpCommand), full);
}

TEST_F(StartupTest, CenteringPlacesTheWindowInTheMiddleAndClampsToTheScreen) {
  int32_t x = -1, y = -1;
  ComputeCenteredPosition({0, 0, 1024, 768}, {5, 5, 105, 55}, 1024, 768, &x, &y);
  EXPECT_EQ(x, 462);
  EXPECT_EQ(y, 359);
  // Larger than the screen: the upper bound goes negative and 0 wins.
  ComputeCenteredPosition({0, 0, 640, 480}, {0, 0, 800, 600}, 640, 480, &x, &y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  // The division truncates toward zero: -1 / 2 is 0, not -1.
  ComputeCenteredPosition({10, 20, 110, 120}, {0, 0, 101, 101}, 1000, 1000, &x, &y);
  EXPECT_EQ(x, 10);
  EXPECT_EQ(y, 20);
  // A desktop wider than the screen metric: the screen bound applies.
  ComputeCenteredPosition({0, 0, 2000, 768}, {0, 0, 200, 100}, 1024, 768, &x, &y);
  EXPECT_EQ(x, 824);
  EXPECT_EQ(y, 334);
}

}  // namespace
