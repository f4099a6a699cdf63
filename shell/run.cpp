// One extraction run, the completion rule, and the main dialog's commands.
//
// The run opens the archive afresh (which empties the engine's callback
// slots, so the callbacks go in after the opening), extracts everything,
// writes the result to the status line, closes the archive and, after a
// clean run only, starts the configured follow-up command from the target
// directory.
//
// The follow-up command names a program inside the extracted tree. A bare
// relative name would make the system search the stub's own directory (a
// download folder, typically) before the current one, so such a program is
// started by its full path under the target directory instead; and when the
// target cannot be made the current directory, nothing is started at all.
#include <string.h>

#include "archive/archive.h"
#include "engine/extract.h"
#include "shell/shell.h"

namespace {

void ShowMessage(const char* text, const char* caption, uint32_t style) {
  if (shellHooks.messageBox != nullptr) shellHooks.messageBox(text, caption, style);
}

void EndMainDialog(int result) {
  if (shellHooks.endMainDialog != nullptr) shellHooks.endMainDialog(result);
}

void ShowCouldNotRun(const char* command) {
  char text[kMessageTextCapacity];
  FormatText(text, sizeof text, kCouldNotRunFormat, command);
  ShowMessage(text, kDialogCaption, kMessageOk);
}

// True when the program part of a command line names a place of its own: a
// rooted path, a network path or anything with a drive.
bool IsAnchoredProgram(const char* program, size_t length) {
  if (length >= 1 && (program[0] == '\\' || program[0] == '/')) return true;
  return length >= 2 && program[1] == ':';
}

// Reads the edit field; false when it holds more than a directory may.
bool ReadTargetField(char* field) {
  memset(field, 0, kFieldReadCapacity);
  if (shellHooks.readTargetField != nullptr) shellHooks.readTargetField(field, kFieldReadCapacity);
  return strlen(field) <= (size_t)kDirectoryTextLimit;
}

}  // namespace

bool BuildFollowUpCommandLine(const char* command, const char* directory, char* commandLine,
                              size_t capacity) {
  // The program is the quoted first part, or everything up to the first blank.
  bool quoted = command[0] == '"';
  const char* program = quoted ? command + 1 : command;
  size_t length = 0;
  for (char c; (c = program[length]) != 0; length++) {
    if (quoted ? c == '"' : c == ' ' || c == '\t') break;
  }
  // The closing quote is not part of the rest.
  const char* rest = program + length + (quoted && program[length] == '"' ? 1 : 0);
  if (length == 0 || IsAnchoredProgram(program, length)) {
    if (strlen(command) + 1 > capacity) return false;
    strcpy(commandLine, command);
    return true;
  }
  size_t directoryLength = strlen(directory);
  size_t needed = 1 + directoryLength + length + 1 + strlen(rest) + 1;
  if (needed > capacity) return false;
  char* out = commandLine;
  *out++ = '"';
  memcpy(out, directory, directoryLength);
  out += directoryLength;
  memcpy(out, program, length);
  out += length;
  *out++ = '"';
  strcpy(out, rest);
  return true;
}

bool StartFollowUpCommand(const char* command, const char* directory) {
  char commandLine[kCommandLineCapacity];
  bool started = BuildFollowUpCommandLine(command, directory, commandLine, sizeof commandLine) &&
                 shellHooks.setCurrentDirectory != nullptr &&
                 shellHooks.setCurrentDirectory(directory) && shellHooks.startCommand != nullptr &&
                 shellHooks.startCommand(commandLine) >= kCommandStartedMinimum;
  if (!started) ShowCouldNotRun(command);
  return started;
}

int RunExtraction(const char* archivePath, const char* directory, const char* command) {
  replaceAll = false;
  firstFailedOutcome = kStatusOk;
  char archiveDirectory[kDirectoryPartCapacity];
  char archiveName[kNamePartCapacity];
  SplitPath(moduleShownPath[0] != 0 ? moduleShownPath : archivePath, archiveDirectory, archiveName);

  errorCode = kStatusOk;
  ArchiveOpen(archivePath);
  if (errorCode != kStatusOk) {
    uint16_t failure = errorCode;
    ShowRunResult(failure, archiveName);
    ArchiveClose();
    errorCode = failure;
    return failure;
  }
  SetAfterEntryCallback(OnAfterEntry);
  SetBeforeEntryCallback(OnBeforeEntry);
  SetProgressCallback(OnProgress);
  if (directory[0] != 0) SetOutputBaseDirectory(directory);
  ExtractAll();
  uint16_t outcome = SettleRunStatus(errorCode);
  ShowRunResult(outcome, archiveName);
  ArchiveClose();
  errorCode = outcome;
  if (command[0] != 0 && outcome == kStatusOk && StartFollowUpCommand(command, directory)) {
    return kRunCommandStarted;
  }
  return errorCode;
}

void OnExtractCommand() {
  // A second Extract while a run is going on is ignored.
  if (busy) return;
  cancelRequested = false;
  busy = true;
  char field[kFieldReadCapacity];
  bool fits = ReadTargetField(field);
  const char* refusal = nullptr;
  size_t length = 0;
  bool needsSeparator = false;
  if (fits && field[0] == 0 && startedFromFloppy) {
    refusal = kFloppyText;
  } else {
    if (fits && field[0] == 0) CopyText(field, executableDirectory, kDirectoryTextCapacity);
    length = strlen(field);
    needsSeparator = length == 0 || !EndsInSeparator(field);
    // The separator must fit too: a cut name would be another directory.
    if (!fits || length + (needsSeparator ? 1 : 0) > (size_t)kDirectoryTextLimit) {
      refusal = kDirectoryTooLongText;
    }
  }
  if (refusal != nullptr) {
    ShowMessage(refusal, kDialogCaption, kMessageOk);
    busy = false;
    return;
  }
  memset(targetDirectory, 0, sizeof targetDirectory);
  strcpy(targetDirectory, field);
  if (needsSeparator) targetDirectory[length] = '\\';

  int result = RunExtraction(modulePath, targetDirectory, followUpCommand);
  busy = false;
  if (result == kRunCommandStarted || errorCode == kStatusOk) {
    if (followUpCommand[0] == 0) ShowMessage(kSuccessBoxText, kShortCaption, kMessageOk | kMessageInformation);
    EndMainDialog(kDialogExtracted);
  }
}

void OnCancelCommand() {
  if (busy) {
    cancelRequested = true;
  } else {
    EndMainDialog(kDialogCancelled);
  }
}

void OnBrowseCommand() {
  if (shellHooks.browseForDirectory == nullptr) return;
  char path[kModulePathCapacity];
  memset(path, 0, sizeof path);
  if (shellHooks.browseForDirectory(path, sizeof path) != 1) return;
  char directory[kDirectoryPartCapacity];
  char name[kNamePartCapacity];
  SplitPath(path, directory, name);
  if (shellHooks.setTargetField != nullptr) shellHooks.setTargetField(directory);
}

void OnAboutCommand() { ShowMessage(kAboutText, kDialogCaption, kMessageOk); }
