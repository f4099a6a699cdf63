// The status line and the engine callbacks: the per-mille arithmetic, the
// result texts, and the answers OnBeforeEntry gives for every prompt button,
// for a prompt that cannot be shown, and for a Cancel clicked meanwhile.
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <random>
#include <string>

#include "common/test_support.h"
#include "shell/shell.h"
#include "shell/shell_test_support.h"

namespace {

using shell_test::ui;

std::string ResultText(uint16_t code, const char* name) {
  char text[kResultTextCapacity];
  FormatRunResult(text, code, name);
  return text;
}

TEST(PerMilleTest, RoundsHalfUpAtTheEdgesTheStatusLineShows) {
  EXPECT_EQ(ComputePerMille(1, 3), 333u);
  EXPECT_EQ(ComputePerMille(2, 3), 667u);
  EXPECT_EQ(ComputePerMille(3, 3), 1000u);
  EXPECT_EQ(ComputePerMille(1, 2000), 1u);  // exactly 0.05% rounds up to 0.1%
  EXPECT_EQ(ComputePerMille(1, 2001), 0u);
  EXPECT_EQ(ComputePerMille(0, 12345), 0u);
  EXPECT_EQ(ComputePerMille(0, 0), 0u);
  EXPECT_EQ(ComputePerMille(7, 0), 0u);
}

TEST(PerMilleTest, LargeValuesDivideTheTotalInsteadOfOverflowing) {
  EXPECT_EQ(ComputePerMille(500000000u, 600000000u), 833u);
  EXPECT_EQ(ComputePerMille(4294967295u, 4294967295u), 1000u);
  EXPECT_EQ(ComputePerMille(4294967294u, 4294967295u), 1000u);
  EXPECT_EQ(ComputePerMille(2147483648u, 4294967295u), 500u);
  EXPECT_EQ(ComputePerMille(429496729u, 429496730u), 1000u);
  EXPECT_EQ(ComputePerMille(429496730u, 4294967295u), 100u);
}

TEST(PerMilleTest, AgreesWithExactRoundingWhereTheProductFits) {
  std::mt19937 random(20240611);
  for (int i = 0; i < 20000; i++) {
    uint32_t total = random() % 400000 + 1;
    uint32_t done = random() % (total + 1);
    uint64_t exact = ((uint64_t)done * 2000 + total) / (2 * (uint64_t)total);
    ASSERT_EQ(ComputePerMille(done, total), exact) << done << "/" << total;
  }
}

TEST(ResultTextTest, SuccessCancelAndErrorTexts) {
  EXPECT_EQ(ResultText(0, "PKG.EXE"), "PKG.EXE successfully extracted.");
  EXPECT_EQ(ResultText(2926, "PKG.EXE"), "PKG.EXE : Canceled by user.");
  EXPECT_EQ(ResultText(19962, "PKG.EXE"), "Error (19962) in PKG.EXE.");
  EXPECT_EQ(ResultText(5, "a b.exe"), "Error (5) in a b.exe.");
  EXPECT_EQ(ResultText(65535, "X"), "Error (65535) in X.");
  // The longest name a module path can give still fits whole; a longer one
  // is cut at the buffer's end, never written past it.
  std::string name(kModulePathRequest - 1, 'n');
  EXPECT_EQ(ResultText(9964, name.c_str()), "Error (9964) in " + name + ".");
  std::string huge(2 * kPathPartLimit, 'h');
  EXPECT_EQ(ResultText(9964, huge.c_str()).size(), (size_t)kResultTextCapacity - 1);
}

class CallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    shell_test::ResetShell();
    existing = dir.Core("README.TXT");
    fresh = dir.Core("NEW.TXT");
    testing_support::WriteFileBytes(dir.path() / "README.TXT", "old");
    std::filesystem::create_directory(dir.path() / "DOCS");
  }
  int32_t Before(const std::string& path) { return OnBeforeEntry(nullptr, path.c_str()); }

  testing_support::TempDir dir;
  std::string existing, fresh;
};

TEST_F(CallbackTest, NothingThereMeansExtractWithoutAPrompt) {
  EXPECT_EQ(Before(fresh), kAnswerExtract);
  EXPECT_TRUE(ui.prompts.empty());
  ASSERT_EQ(ui.statusTexts.size(), 1u);
  EXPECT_EQ(ui.statusTexts[0], " Extracting : NEW.TXT");
  EXPECT_STREQ(currentFileName, "NEW.TXT");
  EXPECT_EQ(ui.pumps, 3);
}

TEST_F(CallbackTest, PromptTextNamesDirectoryAndFileOnTwoLines) {
  ui.promptButtons = {IDC_PROMPT_YES};
  EXPECT_EQ(Before(existing), kAnswerExtract);
  ASSERT_EQ(ui.prompts.size(), 1u);
  EXPECT_EQ(ui.prompts[0],
            "In the directory " + dir.Core() + "\\ exists already a file \nREADME.TXT. Replace the file ?");
}

TEST_F(CallbackTest, EachPromptButtonGivesItsAnswer) {
  ui.promptButtons = {IDC_PROMPT_NO, IDC_PROMPT_CANCEL, IDC_PROMPT_YES};
  EXPECT_EQ(Before(existing), kAnswerSkip);
  EXPECT_EQ(Before(existing), kAnswerCancel);
  EXPECT_EQ(Before(existing), kAnswerExtract);
  EXPECT_FALSE(replaceAll);
  // A skipped member still shows its name.
  EXPECT_EQ(ui.statusTexts[0], " Extracting : README.TXT");
}

TEST_F(CallbackTest, ReplaceAllSilencesLaterPrompts) {
  ui.promptButtons = {IDC_PROMPT_REPLACE_ALL};
  EXPECT_EQ(Before(existing), kAnswerExtract);
  EXPECT_TRUE(replaceAll);
  EXPECT_EQ(Before(existing), kAnswerExtract);
  EXPECT_EQ(Before(dir.Core("DOCS")), kAnswerExtract);
  EXPECT_EQ(ui.prompts.size(), 1u);
}

TEST_F(CallbackTest, ADirectoryOfThatNameCountsAsExisting) {
  ui.promptButtons = {IDC_PROMPT_NO};
  EXPECT_EQ(Before(dir.Core("DOCS")), kAnswerSkip);
  EXPECT_EQ(ui.prompts.size(), 1u);
}

TEST_F(CallbackTest, APromptThatCannotBeShownNeverLeadsToAnOverwrite) {
  for (int failure : {0, -1, 3, 1002}) {
    ui.promptButtons = {failure};
    ui.promptsShown = 0;
    EXPECT_EQ(Before(existing), kAnswerCancel) << failure;
  }
  shellHooks.showReplacePrompt = nullptr;
  EXPECT_EQ(Before(existing), kAnswerCancel);
}

TEST_F(CallbackTest, CancelClickedDuringTheCallbackTurnsAnyAnswerIntoCancel) {
  for (int pump = 1; pump <= 3; pump++) {
    SetUp();
    ui.promptButtons = {IDC_PROMPT_YES};
    ui.onPump = [pump](int n) {
      if (n == pump) cancelRequested = true;
    };
    EXPECT_EQ(Before(existing), kAnswerCancel) << "pump " << pump;
    // The prompt is still asked; only the answer changes.
    EXPECT_EQ(ui.prompts.size(), 1u);
  }
}

TEST_F(CallbackTest, ProgressShowsTenthsAndStopsOnCancel) {
  CopyText(currentFileName, "PKG.EXE", sizeof currentFileName);
  EXPECT_TRUE(OnProgress(1, 3));
  EXPECT_TRUE(OnProgress(2, 3));
  EXPECT_TRUE(OnProgress(3, 3));
  EXPECT_TRUE(OnProgress(0, 0));
  ASSERT_EQ(ui.statusTexts.size(), 4u);
  EXPECT_EQ(ui.statusTexts[0], " Extracting : PKG.EXE 33.3%");
  EXPECT_EQ(ui.statusTexts[1], " Extracting : PKG.EXE 66.7%");
  EXPECT_EQ(ui.statusTexts[2], " Extracting : PKG.EXE 100.0%");
  EXPECT_EQ(ui.statusTexts[3], " Extracting : PKG.EXE 0.0%");
  ui.onPump = [](int n) { cancelRequested = true; };
  EXPECT_FALSE(OnProgress(1, 2));
}

TEST_F(CallbackTest, LongNamesNeverOverflowTheStatusTexts) {
  std::string name(255, 'n');
  EXPECT_EQ(Before(dir.Core(name)), kAnswerExtract);
  // The before-entry buffer holds 260 characters: the text is cut, not overrun.
  EXPECT_EQ(ui.statusTexts.back(), (" Extracting : " + name).substr(0, 260));
  EXPECT_TRUE(OnProgress(1, 1));
  EXPECT_EQ(ui.statusTexts.back(), " Extracting : " + name + " 100.0%");
}

TEST_F(CallbackTest, AfterEntryGoesOnButRemembersTheFirstFailure) {
  EXPECT_TRUE(OnAfterEntry(nullptr, "a", kStatusOk));
  EXPECT_EQ(SettleRunStatus(kStatusOk), kStatusOk);
  EXPECT_TRUE(OnAfterEntry(nullptr, "b", kStatusCrcMismatch));
  EXPECT_TRUE(OnAfterEntry(nullptr, "c", kStatusCannotCreate));
  EXPECT_EQ(SettleRunStatus(kStatusOk), kStatusCrcMismatch);
  EXPECT_EQ(SettleRunStatus(kStatusCancelled), kStatusCrcMismatch);
  firstFailedOutcome = kStatusOk;
  EXPECT_EQ(SettleRunStatus(kStatusCancelled), kStatusCancelled);
  // A Cancel that came after the last member was announced still counts.
  cancelRequested = true;
  EXPECT_EQ(SettleRunStatus(kStatusOk), kStatusCancelled);
}

}  // namespace
