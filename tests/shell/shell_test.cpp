// The stub's decisions, natively: the window operations go to a recorder that notes what the shell shows and answers
// from a script.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <set>

#include "archive/archive.h"
#include "common/test_support.h"
#include "shell/shell.h"

using namespace testing_support;
namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

namespace {

struct Ui {
  Texts status, prompts, messages, started;  // messages: "caption|text|style"; started: "cd DIR" and command lines
  std::vector<int> buttons, ends;            // the prompt's answers in order; past the end 0: not shown
  std::string field, browsePath;
  int browseResult = 0, pumps = 0;
  bool cdWorks = true;
  uint32_t startResult = 32;  // the least that means started
  std::function<void(int)> onPump;
} ui;

const ShellHooks kRecorder = {
    [] { if (ui.onPump) ui.onPump(++ui.pumps); else ui.pumps++; },
    [] {
      ui.prompts.push_back(promptText);
      return ui.prompts.size() <= ui.buttons.size() ? ui.buttons[ui.prompts.size() - 1] : 0;
    },
    [](const char* t) { ui.status.push_back(t); },
    [](const char* t, const char* c, uint32_t s) { ui.messages.push_back(std::string(c) + "|" + t + "|" + std::to_string(s)); },
    [](char* buffer, int n) { CopyText(buffer, ui.field.c_str(), n); },
    [](const char* t) { ui.field = t; },
    [](char* path, int n) { CopyText(path, ui.browsePath.c_str(), n); return ui.browseResult; },
    [](int result) { ui.ends.push_back(result); },
    [](const char* path) { ui.started.push_back("cd " + std::string(path)); return ui.cdWorks; },
    [](const char* line) { ui.started.push_back(line); return ui.startResult; },
    nullptr};

bool ShiftJisLead(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
const std::string kCaption = "Zarvel Self Extractor|";

class Shell : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    ui = Ui();
    shellHooks = kRecorder;
    for (char* text : {targetDirectory, followUpCommand, currentFileName, defaultDirectory, command, shownStatusText})
      text[0] = 0;
    startedFromFloppy = busy = cancelRequested = replaceAll = false;
    firstFailedOutcome = 0;
    CopyText(modulePath, CorePath(archive).c_str(), sizeof modulePath);
    CopyText(executableDirectory, (dir.Core() + "\\").c_str(), sizeof executableDirectory);
  }
  void TearDown() override { ResetCoreState(); }

  // PKG.EXE: a copy of an archive the fixtures made for these runs.
  void Use(const std::string& name) {
    fs::copy_file(FixturePath("shell/" + name), archive, fs::copy_options::overwrite_existing);
  }
  // What out/ holds, sorted: "name(size)" for a file, "name" for a folder.
  std::string Listing() {
    std::set<std::string> items;
    fs::create_directories(dir.path() / "out");
    for (const auto& e : fs::recursive_directory_iterator(dir.path() / "out")) {
      std::string name = fs::relative(e.path(), dir.path() / "out").generic_string();
      items.insert(e.is_directory() ? name : name + "(" + std::to_string(e.file_size()) + ")");
    }
    std::string joined;
    for (const std::string& item : items) joined += (joined.empty() ? "" : " ") + item;
    return joined;
  }

  TempDir dir;
  const std::string archive = (dir.path() / "PKG.EXE").string();
};

TEST_F(Shell, SplitPath) {
  const std::string d(300, 'd'), b(300, 'b'), e = "." + std::string(300, 'e');
  const struct { std::string path, directory, name; bool dbcs = false; } rows[] = {
      {"C:\\TEMP\\PKG.EXE", "C:\\TEMP\\", "PKG.EXE"}, {"c:/a\\b/setup.tar.gz", "c:/a\\b/", "setup.tar.gz"},
      {"D:PKG.EXE", "D:", "PKG.EXE"}, {"PKG.EXE", "", "PKG.EXE"}, {"C:\\OUT\\", "C:\\OUT\\", ""}, {"", "", ""},
      {"\\\\server\\share\\x", "\\\\server\\share\\", "x"}, {"C:\\dir.d\\README", "C:\\dir.d\\", "README"},
      // Each part is cut to 255 characters, the base name and the extension apart.
      {"C:\\" + d + "\\" + b + ".txt", ("C:\\" + d).substr(0, 255), b.substr(0, 255) + ".txt"},
      {"f" + e, "", "f" + e.substr(0, 255)},
      // 0x83 0x5C is one Shift-JIS character whose second byte is a backslash.
      {"C:\\A\x83\x5C.TXT", "C:\\A\x83\\", ".TXT"}, {"C:\\A\x83\x5C.TXT", "C:\\", "A\x83\x5C.TXT", true},
      {"C:\\x\\\x83", "C:\\x\\", "\x83", true},  // a last lead byte has no trail byte
  };
  for (const auto& row : rows) {
    char directory[kDirectoryPartCapacity], name[kNamePartCapacity];
    memset(directory, 'x', sizeof directory);
    memset(name, 'x', sizeof name);
    shellHooks.isLeadByte = row.dbcs ? ShiftJisLead : nullptr;
    SplitPath(row.path.c_str(), directory, name);
    EXPECT_EQ(directory + std::string("|") + name, row.directory + "|" + row.name) << row.path;
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
      {full, full, temp, 0, full, full, false},
  };
  for (const auto& row : rows) {
    strcpy(defaultDirectory, row.directory.c_str());
    strcpy(command, row.command.c_str());
    ComputeStartupSettings(row.path.c_str(), row.open);
    EXPECT_EQ(targetDirectory + std::string("|") + followUpCommand, row.target + "|" + row.followUp) << row.path;
    EXPECT_EQ(startedFromFloppy, row.floppy) << row.path;
  }
}

TEST_F(Shell, CenteredPositionIsClampedAndTruncatesTowardZero) {
  const struct { ShellRect desktop, window; int32_t width, height, x, y; } rows[] = {
      {{0, 0, 1024, 768}, {5, 5, 105, 55}, 1024, 768, 462, 359}, {{0, 0, 640, 480}, {0, 0, 800, 600}, 640, 480, 0, 0},
      {{10, 20, 110, 120}, {0, 0, 101, 101}, 1000, 1000, 10, 20}, {{0, 0, 2000, 768}, {0, 0, 200, 100}, 1024, 768, 824, 334},
  };
  for (const auto& row : rows) {
    int32_t x = -1, y = -1;
    ComputeCenteredPosition(row.desktop, row.window, row.width, row.height, &x, &y);
    EXPECT_EQ(std::make_pair(x, y), std::make_pair(row.x, row.y));
  }
}

TEST_F(Shell, PerMilleRoundsHalfUpWithoutOverflow) {
  const uint32_t rows[][3] = {
      {1, 3, 333}, {2, 3, 667}, {3, 3, 1000}, {1, 2000, 1}, {1, 2001, 0}, {0, 12345, 0}, {0, 0, 0}, {7, 0, 0},
      {500000000u, 600000000u, 833}, {4294967295u, 4294967295u, 1000}, {4294967294u, 4294967295u, 1000},
      {2147483648u, 4294967295u, 500}, {429496729u, 429496730u, 1000}, {429496730u, 4294967295u, 100},
  };
  for (const auto& row : rows) EXPECT_EQ(ComputePerMille(row[0], row[1]), row[2]) << row[0] << "/" << row[1];
}

TEST_F(Shell, BeforeEntryAnswers) {
  WriteFileBytes(dir.path() / "README.TXT", "old");
  fs::create_directory(dir.path() / "DOCS");  // a folder of that name counts as existing
  const int kNone = 0x7FFF;                    // no prompt may come
  // A prompt that cannot be shown (0, 1002) never leads to an overwrite; a Cancel clicked at any of the three pumps
  // turns any answer into cancel.
  const struct { const char* name; int button, cancelAtPump; int32_t answer; } rows[] = {
      {"NEW.TXT", kNone, 0, kAnswerExtract}, {"README.TXT", IDC_PROMPT_YES, 0, kAnswerExtract},
      {"README.TXT", IDC_PROMPT_NO, 0, kAnswerSkip}, {"DOCS", IDC_PROMPT_NO, 0, kAnswerSkip},
      {"README.TXT", IDC_PROMPT_CANCEL, 0, kAnswerCancel}, {"README.TXT", IDC_PROMPT_REPLACE_ALL, 0, kAnswerExtract},
      {"README.TXT", 0, 0, kAnswerCancel}, {"README.TXT", IDC_PROMPT_TEXT, 0, kAnswerCancel},
      {"README.TXT", IDC_PROMPT_YES, 1, kAnswerCancel}, {"README.TXT", IDC_PROMPT_YES, 2, kAnswerCancel},
      {"README.TXT", IDC_PROMPT_YES, 3, kAnswerCancel},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.button) + " " + std::to_string(row.cancelAtPump));
    SetUp();
    ui.buttons = {row.button};
    ui.onPump = [&](int n) { cancelRequested = cancelRequested || n == row.cancelAtPump; };
    EXPECT_EQ(OnBeforeEntry(nullptr, dir.Core(row.name).c_str()), row.answer);
    Texts prompt = {"In the directory " + dir.Core() + "\\ exists already a file \n" + row.name + ". Replace the file ?"};
    EXPECT_EQ(ui.prompts, row.button == kNone ? Texts{} : prompt);
    EXPECT_EQ(replaceAll, row.button == IDC_PROMPT_REPLACE_ALL);
    EXPECT_EQ(ui.status, Texts{std::string(" Extracting : ") + row.name});
    EXPECT_EQ(ui.pumps, 3);
  }
  shellHooks.showReplacePrompt = nullptr;
  EXPECT_EQ(OnBeforeEntry(nullptr, dir.Core("README.TXT").c_str()), kAnswerCancel);
}

// Stands in for the dialog font: a box holds a character per 4 dialog units across and a line per 8 down.
bool FitsByCount(const char* text, int width, int height) { return strlen(text) <= (size_t)(width / 4 * (height / 8)); }

TEST_F(Shell, LongNamesLoseTheirMiddle) {
  // The head keeps the larger half of what remains; neither side keeps half of a double-byte character.
  const struct { std::string piece; size_t cut; std::string out; } cuts[] = {
      {"abcdefghij", 0, "abcdefghij"}, {"abcdefghij", 4, "abc...hij"}, {"abcdefghij", 5, "abc...ij"},
      {"abcdefghij", 10, "..."}, {"abcdefghij", 99, "..."}, {"a\x82\xa0" "bcdef", 3, "a\x82\xa0...ef"},
      {"a\x82\xa0" "bcdef", 4, "a...ef"}, {"abcde\x82\xa0" "f", 3, "abc...f"},
  };
  shellHooks.isLeadByte = ShiftJisLead;
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
  const std::string r(37, 'r');
  for (const auto& row : {std::make_pair(std::string("README.TXT"), std::string("d...d")),
                          std::make_pair(std::string(200, 'r'), "directory ... exists already a file \n" + r + "..." + r)}) {
    fs::path folder = dir.path() / std::string(150, 'd');
    fs::create_directories(folder), WriteFileBytes(folder / row.first, "old");
    ui.prompts.clear(), ui.buttons = {IDC_PROMPT_NO};
    EXPECT_EQ(OnBeforeEntry(nullptr, CorePath(folder / row.first).c_str()), kAnswerSkip);
    const std::string prompt = ui.prompts.empty() ? "" : ui.prompts[0];
    EXPECT_TRUE(prompt.size() <= 141 && prompt.size() >= 139 && prompt.find(row.second) != std::string::npos) << prompt;
    EXPECT_EQ(prompt.substr(prompt.size() - 20), ". Replace the file ?");
  }
}

TEST_F(Shell, StatusTextsAndRunStatus) {
  const std::string name(255, 'n'), line = " Extracting : " + name;
  OnBeforeEntry(nullptr, dir.Core(name).c_str());
  for (uint32_t done : {1, 2, 3}) EXPECT_TRUE(OnProgress(done, 3));
  EXPECT_TRUE(OnProgress(0, 0));
  // The before-entry text is cut at 260 characters, the progress text is whole.
  EXPECT_EQ(ui.status, (Texts{line.substr(0, 260), line + " 33.3%", line + " 66.7%", line + " 100.0%", line + " 0.0%"}));
  ui.onPump = [](int) { cancelRequested = true; };
  EXPECT_FALSE(OnProgress(1, 2));
  // The longest module name fits a result text whole, a longer one is cut, never overrun.
  for (const std::string& archive : {std::string(kModulePathRequest - 1, 'n'), std::string(2 * kPathPartLimit, 'h')}) {
    char text[kResultTextCapacity];
    FormatRunResult(text, 65535, archive.c_str());
    EXPECT_EQ(text, ("Error (65535) in " + archive + ".").substr(0, kResultTextCapacity - 1));
  }
  // The run's status: the first member that failed, else the walk's failure, else a late Cancel.
  const struct { std::vector<uint16_t> outcomes; uint16_t walk; bool cancel; uint16_t status; } rows[] = {
      {{0, 0}, 0, false, 0}, {{0, 19962, 19963}, 0, false, 19962}, {{19962}, 2926, false, 19962},
      {{0}, 2926, false, 2926}, {{0}, 0, true, 2926}, {{5}, 0, true, 5},
  };
  for (const auto& row : rows) {
    firstFailedOutcome = 0;
    for (uint16_t outcome : row.outcomes) EXPECT_TRUE(OnAfterEntry(nullptr, "x", outcome));
    cancelRequested = row.cancel;
    EXPECT_EQ(SettleRunStatus(row.walk), row.status);
  }
}

TEST_F(Shell, FollowUpCommandLine) {
  // A bare program starts by its path in the target: a blank or a tab ends it, inside quotes both belong to it.
  // Anchored programs stay as they are.
  const std::string o = "C:\\OUT\\", longest(256, 'c'), deep = "C:\\" + std::string(256, 'd') + "\\";
  const struct { std::string command, directory, line; } rows[] = {
      {"setup.exe", o, "\"C:\\OUT\\setup.exe\""}, {"setup.exe /q x", o, "\"C:\\OUT\\setup.exe\" /q x"},
      {"\"my setup.exe\" -a", o, "\"C:\\OUT\\my setup.exe\" -a"}, {"bin\\r.bat", "C:\\A B\\", "\"C:\\A B\\bin\\r.bat\""},
      {"\"unclosed prog", o, "\"C:\\OUT\\unclosed prog\""}, {"setup.exe\t/q", o, "\"C:\\OUT\\setup.exe\"\t/q"},
      {"\"a\tb c.exe\"x", o, "\"C:\\OUT\\a\tb c.exe\"x"}, {"C:\\WIN\\np.exe a.txt", o, "C:\\WIN\\np.exe a.txt"},
      {"\\\\server\\x.exe", o, "\\\\server\\x.exe"}, {"\"D:\\x y\\s.exe\" 1", o, "\"D:\\x y\\s.exe\" 1"},
      {"\\tools\\s.exe", o, "\\tools\\s.exe"}, {longest, deep, "\"" + deep + longest + "\""},
  };
  for (const auto& row : rows) {
    char line[kCommandLineCapacity];
    EXPECT_TRUE(BuildFollowUpCommandLine(row.command.c_str(), row.directory.c_str(), line, sizeof line));
    EXPECT_EQ(line, row.line);
  }
  char small[16];  // a line that does not fit is refused
  EXPECT_FALSE(BuildFollowUpCommandLine("setup.exe", o.c_str(), small, sizeof small));
}

// One dialog session: Extract is pressed once per row and the shell's state is kept from row to row, so nothing of
// one run may leak into the next.
TEST_F(Shell, ExtractRuns) {
  const std::string out = dir.Core("out") + "\\", fits = "C:\\" + std::string(256, 'd');  // 259 characters
  const std::string box = "Zarvel|The files were successfully extracted.|64", ok = "PKG.EXE successfully extracted.";
  const std::string cancelled = "PKG.EXE : Canceled by user.", all = "a.txt(6) c.txt(8) sub sub/b.txt(12)";
  const std::string tooLong = kCaption + "The directory name is too long. Please choose a directory of at most 259 "
                              "characters.|0", floppy = kCaption + "It seems that there is not sufficient space on the "
                              "target floppy. Please choose a directory on your fixed disk drive.|0";
  auto old = [&] {
    fs::create_directories(dir.path() / "out" / "sub");
    for (const char* name : {"a.txt", "sub/b.txt", "c.txt"}) WriteFileBytes(dir.path() / "out" / name, "old");
  };
  auto cancelIn = [](const std::string& member) {  // at its first progress report
    ui.onPump = [member](int) {
      if (!ui.status.empty() && ui.status.back().find(member + " ") != std::string::npos) OnCancelCommand();
    };
  };
  const struct { const char* what; std::function<void()> setup; std::string field, target, status, files;
                 Texts messages = {}, started = {}; std::vector<int> ends = {}; } rows[] = {
      {"not an archive", [&] { WriteFileBytes(archive, "no archive here"); }, out, out, "Error (9966) in PKG.EXE.", ""},
      {"retried", [&] { Use("three.zip"); }, dir.Core("out"), out, ok, all, {box}, {}, {kDialogExtracted}},
      {"damaged member", [&] { Use("damaged.zip"); strcpy(followUpCommand, "setup.exe"); }, out, out,
       "Error (19962) in PKG.EXE.", all},
      {"follow-up", [&] { Use("three.zip"); strcpy(followUpCommand, "setup.exe /q"); }, out, out, ok, all, {},
       {"cd " + out, "\"" + out + "setup.exe\" /q"}, {kDialogExtracted}},
      {"follow-up fails", [&] { strcpy(followUpCommand, "nothere.exe -x"); ui.startResult = 2; }, out, out, ok, all,
       {kCaption + "Couldn't run nothere.exe -x.|0"}, {"cd " + out, "\"" + out + "nothere.exe\" -x"}, {kDialogExtracted}},
      {"target not entered", [&] { strcpy(followUpCommand, "setup.exe"); ui.cdWorks = false; }, out, out, ok, all,
       {kCaption + "Couldn't run setup.exe.|0"}, {"cd " + out}, {kDialogExtracted}},
      {"No, then Replace all", [&] { followUpCommand[0] = 0; old(); ui.buttons = {IDC_PROMPT_NO, IDC_PROMPT_REPLACE_ALL}; },
       out, out, ok, "a.txt(3) c.txt(8) sub sub/b.txt(12)", {box}, {}, {kDialogExtracted}},
      {"the next run asks again", [&] { old(); ui.buttons = {IDC_PROMPT_CANCEL}; }, out, out, cancelled,
       "a.txt(3) c.txt(3) sub sub/b.txt(3)"},
      {"an earlier Cancel is cleared", [&] { cancelRequested = true; }, out, out, ok, all, {box}, {}, {kDialogExtracted}},
      {"Cancel in the first member", [&] { Use("long.zip"); cancelIn("first.bin"); }, out, out, cancelled, ""},
      {"Cancel in the last member", [&] { strcpy(followUpCommand, "setup.exe"); cancelIn("last.bin"); }, out, out,
       cancelled, "a.txt(6) first.bin(300000)"},
      {"empty field", [&] { fs::remove(archive); }, "", dir.Core() + "\\", "Error (5) in PKG.EXE.", ""},
      {"259 characters", [] {}, fits, fits + "\\", "Error (5) in PKG.EXE.", ""},
      {"260 with the separator", [] {}, fits + "\\", fits + "\\", "Error (5) in PKG.EXE.", ""},
      // Refused fields: nothing starts.
      {"260 characters", [] {}, fits + "x", "", "", "", {tooLong}},
      {"261 with the separator", [] {}, fits + "x\\", "", "", "", {tooLong}},
      {"400 characters", [] {}, std::string(400, 'z'), "", "", "", {tooLong}},
      {"empty on a floppy", [] { startedFromFloppy = true; }, "", "", "", "", {floppy}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(dir.path() / "out");
    ui = Ui();
    targetDirectory[0] = shownStatusText[0] = 0;
    row.setup();
    ui.field = row.field;
    OnExtractCommand();
    EXPECT_EQ(ui.status.empty() ? "" : ui.status.back(), row.status);
    EXPECT_EQ(targetDirectory, row.target);
    EXPECT_EQ(Listing(), row.files);
    EXPECT_EQ(ui.messages, row.messages);
    EXPECT_EQ(ui.started, row.started);
    EXPECT_EQ(ui.ends, row.ends);
    EXPECT_FALSE(busy);
  }
}

TEST_F(Shell, DialogCommands) {
  busy = true;  // Extract while busy is ignored; Cancel then only sets the flag
  OnExtractCommand();
  OnCancelCommand();
  EXPECT_TRUE(ui.status.empty() && cancelRequested && ui.ends.empty() && targetDirectory[0] == 0);
  busy = false;
  OnCancelCommand();
  OnAboutCommand();
  EXPECT_EQ(ui.ends, std::vector<int>{kDialogCancelled});
  EXPECT_EQ(ui.messages, Texts{kCaption + "Zarvel Self Extractor\n\nUnpacks the ZIP archive inside this program.|0"});
  // Browse keeps the directory of the chosen path; only Extract reads the field.
  ui.field = "typed";
  for (auto [result, path, field] : {std::tuple<int, const char*, const char*>{0, "C:\\X\\1.1", "typed"},
                                     {1, "C:\\OUT\\123.123", "C:\\OUT\\"}}) {
    ui.browseResult = result;
    ui.browsePath = path;
    OnBrowseCommand();
    EXPECT_EQ(ui.field, field);
  }
  EXPECT_STREQ(targetDirectory, "");
}

}  // namespace
