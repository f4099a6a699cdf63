// Whole runs through the shell with real archives made by `zip`, and the
// main dialog's commands: the field rules, the floppy refusal, Cancel,
// Browse, the completion rule and the follow-up command.
#include <gtest/gtest.h>
#include <string.h>

#include <filesystem>
#include <string>

#include "common/test_support.h"
#include "shell/shell.h"
#include "shell/shell_test_support.h"

namespace {

namespace fs = std::filesystem;
using shell_test::ui;

std::string CommandLine(const char* command, const char* directory) {
  char line[kCommandLineCapacity];
  memset(line, 0, sizeof line);
  if (!BuildFollowUpCommandLine(command, directory, line, sizeof line)) return "<refused>";
  return line;
}

TEST(FollowUpCommandTest, RelativeProgramsStartByTheirPathInTheTarget) {
  EXPECT_EQ(CommandLine("setup.exe", "C:\\OUT\\"), "\"C:\\OUT\\setup.exe\"");
  EXPECT_EQ(CommandLine("setup.exe /q x", "C:\\OUT\\"), "\"C:\\OUT\\setup.exe\" /q x");
  EXPECT_EQ(CommandLine("\"my setup.exe\" -a", "C:\\OUT\\"), "\"C:\\OUT\\my setup.exe\" -a");
  EXPECT_EQ(CommandLine("bin\\run.bat", "C:\\A B\\"), "\"C:\\A B\\bin\\run.bat\"");
  EXPECT_EQ(CommandLine("\"unclosed prog", "C:\\OUT\\"), "\"C:\\OUT\\unclosed prog\"");
  // A tab ends a bare program too; inside quotes blanks and tabs belong to it.
  EXPECT_EQ(CommandLine("setup.exe\t/q", "C:\\OUT\\"), "\"C:\\OUT\\setup.exe\"\t/q");
  EXPECT_EQ(CommandLine("\"a\tb c.exe\"x", "C:\\OUT\\"), "\"C:\\OUT\\a\tb c.exe\"x");
}

TEST(FollowUpCommandTest, AnchoredProgramsAreLeftAsConfigured) {
  EXPECT_EQ(CommandLine("C:\\WINDOWS\\notepad.exe a.txt", "C:\\OUT\\"), "C:\\WINDOWS\\notepad.exe a.txt");
  EXPECT_EQ(CommandLine("\\\\server\\share\\x.exe", "C:\\OUT\\"), "\\\\server\\share\\x.exe");
  EXPECT_EQ(CommandLine("\"D:\\x y\\s.exe\" 1", "C:\\OUT\\"), "\"D:\\x y\\s.exe\" 1");
  EXPECT_EQ(CommandLine("\\tools\\s.exe", "C:\\OUT\\"), "\\tools\\s.exe");
}

TEST(FollowUpCommandTest, ALineThatDoesNotFitIsRefused) {
  char line[16];
  EXPECT_FALSE(BuildFollowUpCommandLine("setup.exe", "C:\\OUT\\", line, sizeof line));
  std::string longest(256, 'c');
  std::string directory = "C:\\" + std::string(256, 'd') + "\\";
  EXPECT_NE(CommandLine(longest.c_str(), directory.c_str()), "<refused>");
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    shell_test::ResetShell();
    target = dir.Core("out") + "\\";
    archive = (dir.path() / "PKG.EXE").string();
    CopyText(modulePath, testing_support::CorePath(archive).c_str(), sizeof modulePath);
    CopyText(executableDirectory, (dir.Core() + "\\").c_str(), sizeof executableDirectory);
  }
  void MakeArchive(const std::string& options = "") {
    shell_test::MakeZip(archive, {{"a.txt", "alpha\n"}, {"sub/b.txt", "bravo bravo\n"}, {"c.txt", "charlie\n"}},
                        options);
  }
  // Flips a byte of a stored member's data: its CRC no longer matches.
  void DamageMember(const std::string& content) {
    std::string bytes = testing_support::ReadFileBytes(archive);
    size_t at = bytes.find(content);
    ASSERT_NE(at, std::string::npos);
    bytes[at] ^= 0x20;
    testing_support::WriteFileBytes(archive, bytes);
  }
  void PressExtract(const std::string& field) {
    ui.field = field;
    OnExtractCommand();
  }
  std::string LastStatus() const { return ui.statusTexts.empty() ? "" : ui.statusTexts.back(); }
  fs::path Out(const std::string& name) const { return dir.path() / "out" / name; }

  testing_support::TempDir dir;
  std::string target, archive;
};

TEST_F(RunTest, SuccessfulRunShowsTheBoxAndEndsTheDialog) {
  MakeArchive();
  PressExtract(dir.Core("out"));
  EXPECT_STREQ(targetDirectory, target.c_str());  // the separator was added
  EXPECT_EQ(LastStatus(), "PKG.EXE successfully extracted.");
  EXPECT_EQ(testing_support::ReadFileBytes(Out("sub/b.txt")), "bravo bravo\n");
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "The files were successfully extracted.");
  EXPECT_EQ(ui.messages[0].caption, "Zarvel");
  EXPECT_EQ(ui.messages[0].style, kMessageOk | kMessageInformation);
  EXPECT_EQ(ui.dialogEnds, std::vector<int>{kDialogExtracted});
  EXPECT_FALSE(busy);
}

TEST_F(RunTest, ADamagedMemberIsAFailureEvenThoughTheWalkGoesOn) {
  MakeArchive("-0");
  DamageMember("bravo bravo");
  CopyText(followUpCommand, "setup.exe", sizeof followUpCommand);
  PressExtract(target);
  EXPECT_EQ(LastStatus(), "Error (19962) in PKG.EXE.");
  EXPECT_EQ(errorCode, kStatusCrcMismatch);
  // The members after it were still written.
  EXPECT_EQ(testing_support::ReadFileBytes(Out("c.txt")), "charlie\n");
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_TRUE(ui.startedCommands.empty());
  EXPECT_TRUE(ui.directoryChanges.empty());
  EXPECT_TRUE(ui.dialogEnds.empty());
  EXPECT_FALSE(busy);
}

TEST_F(RunTest, CancelDuringAMemberEndsTheRunAsCancelled) {
  std::string big = testing_support::RandomBytes(300000, 7);
  shell_test::MakeZip(archive, {{"big.bin", big}, {"z.txt", "zulu\n"}}, "-0");
  // The first progress report of big.bin is followed by a click on Cancel.
  ui.onPump = [](int) {
    if (strstr(ui.statusTexts.empty() ? "" : ui.statusTexts.back().c_str(), "%") != nullptr) {
      OnCancelCommand();
    }
  };
  PressExtract(target);
  EXPECT_EQ(LastStatus(), "PKG.EXE : Canceled by user.");
  EXPECT_FALSE(fs::exists(Out("big.bin")));
  EXPECT_FALSE(fs::exists(Out("z.txt")));
  EXPECT_TRUE(ui.dialogEnds.empty());
}

TEST_F(RunTest, CancelWhileTheLastMemberIsWrittenIsNotASuccess) {
  std::string big = testing_support::RandomBytes(300000, 8);
  shell_test::MakeZip(archive, {{"a.txt", "alpha\n"}, {"last.bin", big}}, "-0");
  CopyText(followUpCommand, "setup.exe", sizeof followUpCommand);
  ui.onPump = [](int) {
    if (!ui.statusTexts.empty() && ui.statusTexts.back().find("last.bin ") != std::string::npos) {
      OnCancelCommand();
    }
  };
  PressExtract(target);
  EXPECT_EQ(LastStatus(), "PKG.EXE : Canceled by user.");
  EXPECT_FALSE(fs::exists(Out("last.bin")));
  EXPECT_TRUE(ui.startedCommands.empty());
  EXPECT_TRUE(ui.dialogEnds.empty());
}

TEST_F(RunTest, PromptAnswersDecideWhatIsWrittenAndReplaceAllLastsOneRun) {
  MakeArchive();
  fs::create_directories(Out("sub"));
  for (const char* name : {"a.txt", "sub/b.txt", "c.txt"}) testing_support::WriteFileBytes(Out(name), "old");
  ui.promptButtons = {IDC_PROMPT_NO, IDC_PROMPT_REPLACE_ALL};
  shellHooks.endMainDialog = nullptr;
  PressExtract(target);
  EXPECT_EQ(LastStatus(), "PKG.EXE successfully extracted.");  // No is not a failure
  EXPECT_EQ(ui.prompts.size(), 2u);
  EXPECT_EQ(testing_support::ReadFileBytes(Out("a.txt")), "old");
  EXPECT_EQ(testing_support::ReadFileBytes(Out("sub/b.txt")), "bravo bravo\n");
  EXPECT_EQ(testing_support::ReadFileBytes(Out("c.txt")), "charlie\n");
  // A second run asks again.
  ui.promptButtons.push_back(IDC_PROMPT_CANCEL);
  PressExtract(target);
  EXPECT_EQ(ui.prompts.size(), 3u);
  EXPECT_EQ(LastStatus(), "PKG.EXE : Canceled by user.");
}

TEST_F(RunTest, UnreadableArchiveKeepsTheDialogOpenAndCanBeRetried) {
  PressExtract(target);
  EXPECT_EQ(LastStatus(), "Error (5) in PKG.EXE.");
  EXPECT_TRUE(ui.dialogEnds.empty());
  testing_support::WriteFileBytes(archive, "no archive here");
  PressExtract(target);
  EXPECT_EQ(LastStatus(), "Error (9966) in PKG.EXE.");
  MakeArchive();
  PressExtract(target);
  EXPECT_EQ(LastStatus(), "PKG.EXE successfully extracted.");
  EXPECT_EQ(ui.dialogEnds.size(), 1u);
}

TEST_F(RunTest, FollowUpCommandStartsFromTheTargetWithoutTheSuccessBox) {
  MakeArchive();
  CopyText(followUpCommand, "setup.exe /q", sizeof followUpCommand);
  PressExtract(target);
  EXPECT_EQ(ui.directoryChanges, std::vector<std::string>{target});
  EXPECT_EQ(ui.startedCommands, std::vector<std::string>{"\"" + target + "setup.exe\" /q"});
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_EQ(ui.dialogEnds, std::vector<int>{kDialogExtracted});
}

TEST_F(RunTest, ACommandThatCannotStartIsReportedAndTheDialogStillEnds) {
  MakeArchive();
  CopyText(followUpCommand, "missing.exe -x", sizeof followUpCommand);
  ui.startResult = 2;
  PressExtract(target);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "Couldn't run missing.exe -x.");
  EXPECT_EQ(ui.messages[0].caption, "Zarvel Self Extractor");
  EXPECT_EQ(ui.messages[0].style, kMessageOk);
  EXPECT_EQ(ui.dialogEnds, std::vector<int>{kDialogExtracted});
}

TEST_F(RunTest, NoCommandStartsWhenTheTargetCannotBeEntered) {
  MakeArchive();
  CopyText(followUpCommand, "setup.exe", sizeof followUpCommand);
  ui.directoryChangeWorks = false;
  PressExtract(target);
  EXPECT_TRUE(ui.startedCommands.empty());
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "Couldn't run setup.exe.");
}

TEST_F(RunTest, EmptyFieldUsesTheExecutablesDirectoryOrRefusesOnAFloppy) {
  PressExtract("");
  EXPECT_STREQ(targetDirectory, (dir.Core() + "\\").c_str());
  startedFromFloppy = true;
  ui.statusTexts.clear();
  memset(targetDirectory, 0, sizeof targetDirectory);
  PressExtract("");
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text,
            "It seems that there is not sufficient space on the target floppy. Please choose a "
            "directory on your fixed disk drive.");
  EXPECT_EQ(ui.messages[0].caption, "Zarvel Self Extractor");
  EXPECT_TRUE(ui.statusTexts.empty());  // no run started
  EXPECT_FALSE(busy);
  EXPECT_TRUE(ui.dialogEnds.empty());
}

TEST_F(RunTest, ADirectoryWithoutRoomForItsSeparatorIsRefusedNotCut) {
  std::string fits = "C:\\" + std::string(256, 'd');  // 259 characters
  PressExtract(fits);
  EXPECT_EQ(std::string(targetDirectory), fits + "\\");
  for (const std::string& tooLong : {fits + "x", fits + "xy", fits + "xy\\", std::string(400, 'z')}) {
    ui.messages.clear();
    ui.statusTexts.clear();
    PressExtract(tooLong);
    ASSERT_EQ(ui.messages.size(), 1u) << tooLong.size();
    EXPECT_NE(ui.messages[0].text.find("too long"), std::string::npos);
    EXPECT_TRUE(ui.statusTexts.empty());
    EXPECT_FALSE(busy);
  }
  // 260 characters that already end in the separator are fine.
  PressExtract(fits + "\\");
  EXPECT_EQ(std::string(targetDirectory), fits + "\\");
}

TEST_F(RunTest, ExtractWhileBusyIsIgnoredAndCancelOnlySetsTheFlag) {
  busy = true;
  PressExtract(target);
  EXPECT_TRUE(ui.statusTexts.empty());
  EXPECT_STREQ(targetDirectory, "");
  OnCancelCommand();
  EXPECT_TRUE(cancelRequested);
  EXPECT_TRUE(ui.dialogEnds.empty());
  busy = false;
  OnCancelCommand();
  EXPECT_EQ(ui.dialogEnds, std::vector<int>{kDialogCancelled});
}

TEST_F(RunTest, ExtractClearsAnEarlierCancel) {
  MakeArchive();
  cancelRequested = true;
  PressExtract(target);
  EXPECT_EQ(LastStatus(), "PKG.EXE successfully extracted.");
}

TEST_F(RunTest, BrowseKeepsOnlyTheDirectoryOfTheChosenPath) {
  ui.field = "typed";
  ui.browseResult = 0;
  OnBrowseCommand();
  EXPECT_EQ(ui.field, "typed");
  ui.browseResult = 1;
  ui.browsePath = "C:\\OUT\\123.123";
  OnBrowseCommand();
  EXPECT_EQ(ui.field, "C:\\OUT\\");
  ui.browsePath = "D:\\123.123";
  OnBrowseCommand();
  EXPECT_EQ(ui.field, "D:\\");
  EXPECT_STREQ(targetDirectory, "");  // only Extract reads the field
}

TEST_F(RunTest, AboutShowsTheProductBox) {
  OnAboutCommand();
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].caption, "Zarvel Self Extractor");
  EXPECT_EQ(ui.messages[0].style, kMessageOk);
  EXPECT_FALSE(ui.messages[0].text.empty());
}

}  // namespace
