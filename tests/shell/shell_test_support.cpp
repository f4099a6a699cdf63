// The recorder behind the shell's hooks (see shell_test_support.h).
#include "shell/shell_test_support.h"

#include <string.h>

#include <filesystem>

#include "common/test_support.h"

namespace shell_test {

UiRecorder ui;

namespace {

void Pump() {
  ui.pumps++;
  if (ui.onPump) ui.onPump(ui.pumps);
}

int Prompt() {
  ui.prompts.push_back(promptText);
  size_t index = ui.promptsShown++;
  return index < ui.promptButtons.size() ? ui.promptButtons[index] : 0;
}

void Status(const char* text) { ui.statusTexts.push_back(text); }

void Message(const char* text, const char* caption, uint32_t style) {
  ui.messages.push_back({text, caption, style});
}

void ReadField(char* buffer, int capacity) { CopyText(buffer, ui.field.c_str(), (size_t)capacity); }

void WriteField(const char* text) {
  ui.field = text;
  ui.fieldWrites.push_back(text);
}

int Browse(char* path, int capacity) {
  if (ui.browseResult == 1) CopyText(path, ui.browsePath.c_str(), (size_t)capacity);
  return ui.browseResult;
}

void EndDialog(int result) { ui.dialogEnds.push_back(result); }

bool ChangeDirectory(const char* path) {
  ui.directoryChanges.push_back(path);
  return ui.directoryChangeWorks;
}

uint32_t Start(const char* commandLine) {
  ui.startedCommands.push_back(commandLine);
  return ui.startResult;
}

}  // namespace

void ResetShell() {
  testing_support::ResetCoreState();
  ui = UiRecorder();
  shellHooks = ShellHooks{Pump, Prompt, Status, Message, ReadField, WriteField, Browse,
                          EndDialog, ChangeDirectory, Start, nullptr};
  instance = nullptr;
  mainWindow = nullptr;
  memset(modulePath, 0, sizeof modulePath);
  memset(executableDirectory, 0, sizeof executableDirectory);
  memset(targetDirectory, 0, sizeof targetDirectory);
  memset(followUpCommand, 0, sizeof followUpCommand);
  memset(currentFileName, 0, sizeof currentFileName);
  memset(promptText, 0, sizeof promptText);
  startedFromFloppy = busy = cancelRequested = replaceAll = false;
  firstFailedOutcome = 0;
}

void MakeZip(const std::string& zipPath, const std::vector<std::pair<std::string, std::string>>& files,
             const std::string& options) {
  testing_support::TempDir source;
  std::filesystem::remove(zipPath);
  for (const auto& [name, content] : files) {
    std::filesystem::path file = source.path() / name;
    std::filesystem::create_directories(file.parent_path());
    testing_support::WriteFileBytes(file, content);
  }
  std::string command = "cd '" + source.path().string() + "' && zip -q -X " + options + " '" +
                        zipPath + "'";
  for (const auto& file : files) command += " '" + file.first + "'";
  if (testing_support::RunShell(command) != 0) throw std::runtime_error("zip failed: " + command);
}

}  // namespace shell_test
