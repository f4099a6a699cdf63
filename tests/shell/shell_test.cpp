// The stub's decisions, natively: the window operations go to a recorder that notes what the shell shows and answers
// from a script.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include "archive/archive.h"
#include "common/test_support.h"
#include "platform/fault.h"
#include "shell/shell.h"

using namespace testing_support;
namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

namespace {

struct Ui {
  Texts status, prompts, calls;  // calls: "caption|text|style" of a message box, "cd DIR", "run LINE", "end RESULT"
  std::vector<int> buttons;      // the prompt's answers in order; past the end 0: not shown
  std::string field, browsePath;
  std::string cancelAt;  // a Cancel click comes in the first pump after the status line shows this text
  int browseResult = 0;
  bool cdWorks = true;
  uint32_t startResult = 32;  // the least that means started
  std::string system, windows;  // the system and Windows directories (short, as in the tests); none when empty
} ui;

const ShellHooks kRecorder = {
    [] { if (!ui.status.empty() && ui.status.back() == ui.cancelAt) OnCancelCommand(); },
    [] {
      ui.prompts.push_back(promptText);
      return ui.prompts.size() <= ui.buttons.size() ? ui.buttons[ui.prompts.size() - 1] : 0;
    },
    [](const char* t) { ui.status.push_back(t); },
    [](const char* t, const char* c, uint32_t s) { ui.calls.push_back(std::string(c) + "|" + t + "|" + std::to_string(s)); },
    [](char* buffer, int n) { CopyText(buffer, ui.field.c_str(), n); },
    [](const char* t) { ui.field = t; },
    [](char* path, int n) { CopyText(path, ui.browsePath.c_str(), n); return ui.browseResult; },
    [](int result) { ui.calls.push_back("end " + std::to_string(result)); },
    [](const char* path) { ui.calls.push_back("cd " + std::string(path)); return ui.cdWorks; },
    [](const char* line) { ui.calls.push_back("run " + std::string(line)); return ui.startResult; },
    nullptr,  // textFits: none, or set by a test
    [](char* buffer, uint32_t n) { return CopyText(buffer, ui.system.c_str(), n), (uint32_t)ui.system.size(); },
    [](char* buffer, uint32_t n) { return CopyText(buffer, ui.windows.c_str(), n), (uint32_t)ui.windows.size(); }};

// Code page 932's first range of lead bytes, simulated through the platform's test seam.
void ShiftJis(bool on) { faultPlan.leadBytesFrom = 0x81, faultPlan.leadBytesTo = on ? 0x9F : 0; }
const std::string kCaption = std::string(kDialogCaption) + "|";

class Shell : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    ui = Ui();
    shellHooks = kRecorder;
    for (char* text : {targetDirectory, followUpCommand, shownStatusText}) text[0] = 0;
    startedFromFloppy = busy = cancelRequested = replaceAll = false;
    CopyText(modulePath, CorePath(archive).c_str(), sizeof modulePath);
    CopyText(executableDirectory, (dir.Core() + "\\").c_str(), sizeof executableDirectory);
  }

  TempDir dir;
  const std::string archive = (dir.path() / "PKG.EXE").string();
};

TEST_F(Shell, SplitPath) {
  const std::string d(300, 'd'), b(300, 'b'), e = "." + std::string(300, 'e');
  const struct { std::string path, directory, name; bool dbcs = false; } rows[] = {
      {"C:\\TEMP\\PKG.EXE", "C:\\TEMP\\", "PKG.EXE"}, {"c:/a\\b/setup.tar.gz", "c:/a\\b/", "setup.tar.gz"},
      {"D:PKG.EXE", "D:", "PKG.EXE"}, {"C:\\OUT\\", "C:\\OUT\\", ""}, {"", "", ""}, {"C:\\v1.0\\A", "C:\\v1.0\\", "A"},
      // Each part is cut to 255 characters, the base name and the extension apart.
      {"C:\\" + d + "\\" + b + ".txt", ("C:\\" + d).substr(0, 255), b.substr(0, 255) + ".txt"},
      {"f" + e, "", "f" + e.substr(0, 255)},
      // 0x83 0x5C is one Shift-JIS character whose second byte is a backslash; a last lead byte has no trail byte.
      {"C:\\A\x83\x5C.TXT", "C:\\A\x83\\", ".TXT"}, {"C:\\A\x83\x5C.TXT", "C:\\", "A\x83\x5C.TXT", true},
      {"C:\\x\\\x83", "C:\\x\\", "\x83", true}};
  for (const auto& row : rows) {
    std::string directory(kDirectoryPartCapacity, 'x'), name(kNamePartCapacity, 'x');  // each gets its terminator
    ShiftJis(row.dbcs);
    SplitPath(row.path.c_str(), directory.data(), name.data());
    EXPECT_EQ(directory.c_str() + std::string("|") + name.c_str(), row.directory + "|" + row.name) << row.path;
  }
}

TEST_F(Shell, StartupSettings) {
  // A floppy start with nothing configured leaves the field empty; a failed opening ignores the configured texts.
  const std::string full(256, 'c'), temp = "C:\\TEMP\\PKG.EXE";
  const struct { std::string directory, command, path; uint16_t open; std::string target, followUp; bool floppy; } rows[] = {
      {"", "", temp, 0, "C:\\TEMP\\", "", false}, {"", "", "a:\\PKG.EXE", 0, "", "", true},
      {"", "", "B:\\SUB\\PKG.EXE", 0, "", "", true}, {"", "", "\\\\a\\share\\PKG.EXE", 0, "\\\\a\\share\\", "", false},
      {"C:\\TOOL", "setup.exe /q", "A:\\PKG.EXE", 0, "C:\\TOOL", "setup.exe /q", true},
      {"C:\\TOOL", "setup.exe", temp, kStatusNoEndRecord, "C:\\TEMP\\", "", false},
      {"C:\\TOOL", "setup.exe", "b:\\PKG.EXE", kStatusFileError, "", "", true},
      {full, full, temp, 0, full, full, false}};
  for (const auto& row : rows) {
    strcpy(defaultDirectory, row.directory.c_str());
    strcpy(command, row.command.c_str());
    ComputeStartupSettings(row.path.c_str(), row.open);
    EXPECT_EQ(targetDirectory + std::string("|") + followUpCommand, row.target + "|" + row.followUp) << row.path;
    EXPECT_EQ(startedFromFloppy, row.floppy) << row.path;
  }
}

TEST_F(Shell, CenteredPositionIsClampedAndTruncatesTowardZero) {
  // Centred; larger than the screen; half a pixel left over; a desktop larger than the screen.
  const struct { ShellRect desktop, window; int32_t width, height, x, y; } rows[] = {
      {{0, 0, 1024, 768}, {5, 5, 105, 55}, 1024, 768, 462, 359}, {{0, 0, 640, 480}, {0, 0, 800, 600}, 640, 480, 0, 0},
      {{10, 20, 110, 120}, {0, 0, 101, 101}, 999, 999, 10, 20}, {{0, 0, 2000, 1600}, {0, 0, 200, 100}, 1024, 768, 824, 668}};
  for (const auto& row : rows) {
    int32_t x = -1, y = -1;
    ComputeCenteredPosition(row.desktop, row.window, row.width, row.height, &x, &y);
    EXPECT_EQ(std::make_pair(x, y), std::make_pair(row.x, row.y));
  }
}

TEST_F(Shell, PerMilleRoundsHalfUpWithoutOverflow) {
  const uint64_t k5GiB = 5ull << 30, kTop = UINT64_MAX;
  const uint64_t rows[][3] = {
      {1, 3, 333}, {2, 3, 667}, {3, 3, 1000}, {1, 2000, 1}, {1, 2001, 0}, {0, 12345, 0}, {0, 0, 0}, {7, 0, 0},
      {500000000u, 600000000u, 833}, {4294967295u, 4294967295u, 1000}, {4294967294u, 4294967295u, 1000},
      {2147483648u, 4294967295u, 500}, {429496729u, 429496730u, 1000}, {429496730u, 4294967295u, 100},
      // Past 32 bits: a whole member is 100.0 %, halves and thirds round as below, nothing overflows.
      {k5GiB, k5GiB, 1000}, {k5GiB - 1, k5GiB, 1000}, {k5GiB / 2, k5GiB, 500}, {3ull << 30, 2000ull << 30, 2},
      {1ull << 32, 1ull << 33, 500}, {1, 1ull << 40, 0}, {kTop, kTop, 1000}, {kTop / 3, kTop, 333},
      {1ull << 63, kTop, 500}, {4294967296u, 4294967296u * 999, 1}};
  for (const auto& row : rows) EXPECT_EQ(ComputePerMille(row[0], row[1]), row[2]) << row[0] << "/" << row[1];
  // Random wide pairs agree with the exact ratio wherever it is not within a thousandth of a half.
  std::minstd_rand random(7);
  for (int i = 0; i < 10000; i++) {
    uint64_t total = ((uint64_t)random() << 31 ^ random()) >> (random() % 28);
    uint64_t done = std::min(total, (uint64_t)((double)total * random() / std::minstd_rand::max()));
    double exact = 1000.0 * (double)done / (double)total, fraction = exact - floor(exact);
    if (total > UINT32_MAX && fabs(fraction - 0.5) > 0.001) {
      EXPECT_EQ(ComputePerMille(done, total), (uint32_t)(exact + 0.5)) << done << "/" << total;
    }
  }
}

// Stands in for the dialog font: a box holds a character per 4 dialog units across and a line per 8 down.
bool FitsByCount(const char* text, int width, int height) { return strlen(text) <= (size_t)(width / 4 * (height / 8)); }

TEST_F(Shell, LongNamesLoseTheirMiddle) {
  // The head keeps the larger half of what remains; neither side keeps half of a double-byte character.
  const struct { std::string piece; size_t cut; std::string out; } cuts[] = {
      {"abcdefghij", 0, "abcdefghij"}, {"abcdefghij", 4, "abc...hij"}, {"abcdefghij", 5, "abc...ij"},
      {"abcdefghij", 10, "..."}, {"abcdefghij", 99, "..."}, {"a\x82\xa0" "bcdef", 3, "a\x82\xa0...ef"},
      {"a\x82\xa0" "bcdef", 4, "a...ef"}, {"abcde\x82\xa0" "f", 3, "abc...f"}};
  ShiftJis(true);
  for (const auto& row : cuts) {
    char out[64];
    CutMiddle(row.piece.c_str(), row.cut, out, sizeof out);
    EXPECT_EQ(out, row.out) << row.piece << " " << row.cut;
  }
  // The status line holds 39 characters: the name loses as little as lets the widest percentage fit, and a text
  // already shown is not set again.
  shellHooks.textFits = FitsByCount;
  const std::string name = std::string(50, 'a') + std::string(50, 'b'), shown = " Extracting : aaaaaaaa...bbbbbbb";
  OnBeforeEntry(nullptr, dir.Core(name).c_str());
  for (uint32_t done : {1, 1, 2}) EXPECT_TRUE(OnProgress(done, 2));
  EXPECT_EQ(ui.status, (Texts{shown, shown + " 50.0%", shown + " 100.0%"}));
  // The prompt holds 141: the directory is shortened first, then a name too long beside "...".
  const fs::path folder = dir.path() / std::string(150, 'd');
  const std::string r(37, 'r');
  fs::create_directories(folder);
  ui.buttons = {IDC_PROMPT_NO, IDC_PROMPT_NO};
  for (const auto& [name, part] : {std::pair<std::string, std::string>{"README.TXT", "d...d"},
                                   {std::string(200, 'r'), "directory ... exists already a file \n" + r + "..." + r}}) {
    WriteFileBytes(folder / name, "old");
    ASSERT_EQ(OnBeforeEntry(nullptr, CorePath(folder / name).c_str()), kAnswerSkip);
    const std::string& prompt = ui.prompts.back();
    EXPECT_TRUE(prompt.size() <= 141 && prompt.size() >= 139 && prompt.find(part) != std::string::npos) << prompt;
    EXPECT_EQ(prompt.substr(prompt.size() - 20), ". Replace the file ?");
  }
}

TEST_F(Shell, StatusTextsAndRunStatus) {
  const std::string name(255, 'n'), line = " Extracting : " + name;
  // A Cancel clicked in a run at the last pump of the before-entry callback still turns its answer into cancel, and
  // every progress report after it.
  busy = true;
  ui.cancelAt = line.substr(0, 260);
  EXPECT_EQ(OnBeforeEntry(nullptr, dir.Core(name).c_str()), kAnswerCancel);
  for (uint32_t done : {1, 2, 3}) EXPECT_FALSE(OnProgress(done, 3));
  EXPECT_FALSE(OnProgress(0, 0));
  // The before-entry text is cut at 260 characters, the progress text is whole.
  EXPECT_EQ(ui.status, (Texts{line.substr(0, 260), line + " 33.3%", line + " 66.7%", line + " 100.0%", line + " 0.0%"}));
  // The longest module name fits a result text whole, a longer one is cut, never overrun.
  for (const std::string& archive : {std::string(kModulePathRequest - 1, 'n'), std::string(2 * kPathPartLimit, 'h')}) {
    char text[kResultTextCapacity];
    FormatRunResult(text, 65535, archive.c_str());
    EXPECT_EQ(text, ("Error (65535) in " + archive + ".").substr(0, kResultTextCapacity - 1));
  }
  // The run's status: the first member that failed, else the walk's failure, else a late Cancel.
  const struct { std::vector<uint16_t> outcomes; uint16_t walk; bool cancel; uint16_t status; } rows[] = {
      {{0, 0}, 0, false, 0}, {{0, 19962, 19963}, 0, false, 19962}, {{19962}, 2926, false, 19962},
      {{0}, 2926, false, 2926}, {{0}, 0, true, 2926}, {{5}, 0, true, 5}};
  for (const auto& row : rows) {
    firstFailedOutcome = 0;
    for (uint16_t outcome : row.outcomes) EXPECT_TRUE(OnAfterEntry(nullptr, "x", outcome));
    cancelRequested = row.cancel;
    EXPECT_EQ(SettleRunStatus(row.walk), row.status);
  }
}

TEST_F(Shell, FollowUpCommandLine) {
  // Leading blanks go; a blank or a tab ends the program, inside quotes both belong to it. A program with a directory
  // part starts by its path in the target; a bare name by its path in the first of the target, the system and the
  // Windows directory holding it (as written, or with ".exe" when it has none; a folder does not count), or not at
  // all. Anchored programs stay as they are.
  const std::string t = dir.Core("t") + "\\", s = dir.Core("s") + "\\", w = dir.Core("w"), o = "C:\\OUT\\";
  const std::string longest = std::string(254, 'c') + "\\c", deep = "C:\\" + std::string(256, 'd') + "\\";
  for (const char* place : {"t/folder.exe", "s", "w"}) fs::create_directories(dir.path() / place);
  for (const char* file : {"t/setup.exe", "t/my setup.exe", "t/unclosed prog", "t/a\tb c.exe", "t/both.exe",
                           "s/both.exe", "s/cmd.exe", "w/cmd.exe", "w/notepad.exe", "w/x.bat.exe", "w/put"}) {
    WriteFileBytes(dir.path() / file, "");
  }
  ui.system = s;
  ui.windows = w;
  const struct { std::string command, directory, line; } rows[] = {
      {"setup.exe /q x", t, "\"" + t + "setup.exe\" /q x"}, {" \t setup\t/q", t, "\"" + t + "setup\"\t/q"},
      {"\"my setup.exe\" -a", t, "\"" + t + "my setup.exe\" -a"}, {"\"unclosed prog", t, "\"" + t + "unclosed prog\""},
      {"\"a\tb c.exe\"x", t, "\"" + t + "a\tb c.exe\"x"}, {"bin\\r.bat", o, "\"" + o + "bin\\r.bat\""},
      {"both /x", t, "\"" + t + "both\" /x"}, {"cmd /c a.bat", t, "\"" + s + "cmd\" /c a.bat"},
      {"notepad.exe r.txt", t, "\"" + w + "\\notepad.exe\" r.txt"}, {"put", t, "\"" + w + "\\put\""},
      {"x.bat", t, ""}, {"nothere.exe", t, ""}, {"folder.exe", t, ""}, {"\t ", t, ""}, {"\"\" x", t, ""},
      {"C:\\WIN\\np.exe a.txt", o, "C:\\WIN\\np.exe a.txt"}, {"\"D:\\x y\\s.exe\" 1", o, "\"D:\\x y\\s.exe\" 1"},
      {"\\\\server\\x.exe", o, "\\\\server\\x.exe"}, {longest, deep, "\"" + deep + longest + "\""},
      {"\x83\x5C.exe", t, ""},  // one Shift-JIS character: a bare name found nowhere, not a folder's file
      {"setup.exe", "", ""}};     // never the current directory, which holds one
  ShiftJis(true);
  const fs::path before = fs::current_path();
  fs::current_path(dir.path() / "t");
  for (const auto& row : rows) {
    char line[kCommandLineCapacity];
    bool built = BuildFollowUpCommandLine(row.command.c_str(), row.directory.c_str(), line, sizeof line);
    EXPECT_EQ(built ? line : "", row.line) << row.command;
  }
  fs::current_path(before);
  char small[16];  // a line that does not fit is refused
  EXPECT_FALSE(BuildFollowUpCommandLine("setup.exe", t.c_str(), small, sizeof small));
}

// One dialog session: Extract is pressed once per row and the shell's state is kept from row to row, so nothing of
// one run may leak into the next.
TEST_F(Shell, ExtractRuns) {
  const fs::path outDir = dir.path() / "out";
  const std::string out = dir.Core("out") + "\\", system = dir.Core() + "\\", fits = "C:\\" + std::string(256, 'd');  // 259 characters
  const std::string ok = "PKG.EXE successfully extracted.", cancelled = "PKG.EXE : Canceled by user.", end = "end 1";
  const std::string box = "Zarvel|" + std::string(kSuccessBoxText) + "|64", error5 = "Error (5) in PKG.EXE.";
  const std::string tooLong = kCaption + kDirectoryTooLongText + "|0", all = "a.txt(6) c.txt(8) sub sub/b.txt(12)";
  auto use = [&](const std::string& name) {  // PKG.EXE: a copy of an archive the fixtures made for these runs
    fs::copy_file(FixturePath("shell/" + name), archive, fs::copy_options::overwrite_existing);
  };
  auto old = [&] {
    fs::create_directories(outDir / "sub");
    for (const char* name : {"a.txt", "sub/b.txt", "c.txt"}) WriteFileBytes(outDir / name, "old");
  };
  const struct { const char* what; std::function<void()> setup; std::string field, target, status, files;
                 Texts calls = {}; } rows[] = {
      {"no separator typed", [&] { use("three.zip"); }, dir.Core("out"), out, ok, all, {box, end}},
      {"damaged member", [&] { use("damaged.zip"); strcpy(followUpCommand, "setup.exe"); }, out, out,
       "Error (19962) in PKG.EXE.", all},
      {"follow-up", [&] { use("three.zip"); strcpy(followUpCommand, "PKG.EXE /q"); }, out, out, ok, all,
       {"cd " + out, "run \"" + system + "PKG.EXE\" /q", end}},
      {"follow-up fails", [&] { strcpy(followUpCommand, "PKG.EXE -x"); ui.startResult = 2; }, out, out, ok, all,
       {"cd " + out, "run \"" + system + "PKG.EXE\" -x", kCaption + "Couldn't run PKG.EXE -x.|0", end}},
      {"program found nowhere", [&] { strcpy(followUpCommand, "nothere.exe -x"); }, out, out, ok, all,
       {kCaption + "Couldn't run nothere.exe -x.|0", end}},
      {"target not entered", [&] { strcpy(followUpCommand, "PKG.EXE"); ui.cdWorks = false; }, out, out, ok, all,
       {"cd " + out, kCaption + "Couldn't run PKG.EXE.|0", end}},
      {"No, then Replace all", [&] { followUpCommand[0] = 0; old(); ui.buttons = {IDC_PROMPT_NO, IDC_PROMPT_REPLACE_ALL}; },
       out, out, ok, "a.txt(3) c.txt(8) sub sub/b.txt(12)", {box, end}},
      {"the next run asks again", [&] { old(); ui.buttons = {IDC_PROMPT_YES, IDC_PROMPT_CANCEL}; }, out, out, cancelled,
       "a.txt(6) c.txt(3) sub sub/b.txt(3)"},
      // A prompt that cannot be shown never leads to an overwrite; a folder of a member's name counts as existing.
      {"no prompt", [&] { old(); shellHooks.showReplacePrompt = nullptr; }, out, out, cancelled,
       "a.txt(3) c.txt(3) sub sub/b.txt(3)"},
      {"a folder in the way", [&] { fs::create_directories(outDir / "a.txt"); ui.buttons = {IDC_PROMPT_NO}; }, out, out,
       ok, "a.txt c.txt(8) sub sub/b.txt(12)", {box, end}},
      {"an earlier Cancel is cleared", [&] { cancelRequested = true; }, out, out, ok, all, {box, end}},
      {"Cancel at c.txt", [&] { ui.cancelAt = " Extracting : c.txt"; }, out, out, cancelled, "a.txt(6) sub sub/b.txt(12)"},
      {"empty field", [&] { fs::remove(archive); }, "", dir.Core() + "\\", error5, ""},
      {"259 characters", [] {}, fits, fits + "\\", error5, ""},
      {"260 with the separator", [] {}, fits + "\\", fits + "\\", error5, ""},
      // Refused fields: nothing starts. A field of 261 is refused, not cut to the directory its first 260 name.
      {"260 characters", [] {}, fits + "x", "", "", "", {tooLong}},
      {"261 characters", [] {}, fits + "\\y", "", "", "", {tooLong}},
      {"empty on a floppy", [] { startedFromFloppy = true; }, "", "", "", "", {kCaption + kFloppyText + "|0"}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(outDir);
    ui = Ui();
    ui.system = system;  // where the archive is: the follow-up commands start it
    shellHooks = kRecorder;
    targetDirectory[0] = shownStatusText[0] = 0;
    row.setup();
    ui.field = row.field;
    OnExtractCommand();
    fs::create_directories(outDir);  // for the listing, when nothing made it
    EXPECT_EQ(ui.status.empty() ? "" : ui.status.back(), row.status);
    EXPECT_EQ(targetDirectory, row.target);
    EXPECT_EQ(TreeOf(outDir, true), row.files);
    EXPECT_EQ(ui.calls, row.calls);
    EXPECT_FALSE(busy);
  }
}

TEST_F(Shell, DialogCommands) {
  busy = true;  // Extract while busy is ignored; Cancel then only sets the flag
  OnExtractCommand();
  OnCancelCommand();
  EXPECT_TRUE(ui.status.empty() && cancelRequested && ui.calls.empty() && targetDirectory[0] == 0);
  busy = false;
  OnCancelCommand();
  OnAboutCommand();
  EXPECT_EQ(ui.calls, (Texts{"end 2", kCaption + kAboutText + "|0"}));
  // Browse puts the directory of the chosen path in the field, and only when the browser says OK.
  ui.field = "typed";
  ui.browsePath = "C:\\OUT\\123.123";
  OnBrowseCommand();
  EXPECT_EQ(ui.field, "typed");
  ui.browseResult = 1;
  OnBrowseCommand();
  EXPECT_EQ(ui.field, "C:\\OUT\\");
}

}  // namespace
