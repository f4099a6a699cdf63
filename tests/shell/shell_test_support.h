// A recorder in place of the stub's window operations: the shell's hooks
// write what they were asked into `ui`, and answer from a script the test
// sets up (prompt buttons, field text, browser result, command start).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "shell/shell.h"

namespace shell_test {

struct MessageRecord {
  std::string text;
  std::string caption;
  uint32_t style;
};

struct UiRecorder {
  std::vector<std::string> statusTexts;
  std::vector<MessageRecord> messages;
  std::vector<std::string> prompts;        // promptText at each prompt
  std::vector<int> promptButtons;          // answers, in order; missing = 0 (cannot show)
  size_t promptsShown = 0;
  std::string field;                       // what the edit field holds
  std::vector<std::string> fieldWrites;
  int browseResult = 0;
  std::string browsePath;
  std::vector<int> dialogEnds;
  std::vector<std::string> directoryChanges;
  bool directoryChangeWorks = true;
  std::vector<std::string> startedCommands;
  uint32_t startResult = 33;
  int pumps = 0;
  std::function<void(int)> onPump;         // called with the pump's number
};

extern UiRecorder ui;

// Resets the shell's and the core's state and installs the recorder.
void ResetShell();

// Builds a ZIP with the `zip` tool from the files given (relative name and
// content) into `zipPath`, replacing whatever is there; `options` go to zip (e.g. "-0" to store).
void MakeZip(const std::string& zipPath, const std::vector<std::pair<std::string, std::string>>& files,
             const std::string& options = "");

}  // namespace shell_test
