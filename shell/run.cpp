// One extraction run, the completion rule, and the main dialog's commands.
//
// The run opens the archive afresh (which empties the engine's callback
// slots, so the callbacks go in after the opening), extracts everything,
// writes the result to the status line, closes the archive and, after a
// clean run only, starts the configured follow-up command from the target
// directory.
//
// The follow-up command names a program inside the extracted tree or a
// program of the system. A bare relative name would make the system search
// the stub's own directory (a download folder, typically) before the current
// one, so the system never gets one: a program with a directory part is
// started by its full path under the target directory; a bare name by its
// full path in the first of the target, the system and the Windows directory
// that holds it, and not at all when none does. When the target cannot be
// made the current directory, nothing is started either.
#include <string.h>

#include "archive/archive.h"
#include "engine/extract.h"
#include "platform/platform.h"
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

// The system ends an unquoted program at either blank.
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// True when the program has a directory part: a separator that is not the
// second byte of a double-byte character.
bool HasDirectoryPart(const char* program, size_t length) {
  for (size_t i = 0; i < length; i += CharacterSize(program + i)) {
    if (program[i] == '\\' || program[i] == '/') return true;
  }
  return false;
}

// The extension the system tries on a program named without one.
const char kProgramExtension[] = ".exe";

// Writes a quote, the directory, a separator when it ends in none, and the
// program into the command line, the path ending in a terminator with room
// behind it for the extension; the path's length, or 0 when there is no
// directory or it does not fit.
size_t StartQuotedPath(const char* directory, const char* program, size_t length, char* commandLine,
                       size_t capacity) {
  size_t directoryLength = strlen(directory);
  size_t separator = directoryLength != 0 && !EndsInSeparator(directory) ? 1 : 0;
  size_t total = directoryLength + separator + length;
  if (directoryLength == 0 || 1 + total + sizeof kProgramExtension > capacity) return 0;
  char* path = commandLine + 1;
  commandLine[0] = '"';
  memcpy(path, directory, directoryLength);
  path[directoryLength] = '\\';
  memcpy(path + directoryLength + separator, program, length);
  path[total] = 0;
  return total;
}

bool IsFile(const char* path) { return PlatformExists(path) && !PlatformIsDirectory(path); }

// A program is present as the system finds one: by the name as written, or,
// when that has no extension, with the extension the system then adds.
bool ProgramPresent(char* path, size_t pathLength, const char* program, size_t length) {
  if (IsFile(path)) return true;
  if (memchr(program, '.', length) != nullptr) return false;
  strcpy(path + pathLength, kProgramExtension);
  bool present = IsFile(path);
  path[pathLength] = 0;
  return present;
}

// Closes the quote after the path and appends the rest; false when it does
// not fit.
bool EndQuotedPath(char* commandLine, size_t pathLength, const char* rest, size_t capacity) {
  if (pathLength + 2 + strlen(rest) + 1 > capacity) return false;
  commandLine[pathLength + 1] = '"';
  strcpy(commandLine + pathLength + 2, rest);
  return true;
}

// What a directory hook answers, or an empty text when it has no answer that
// fits a directory.
void ReadSystemPlace(uint32_t (*hook)(char*, uint32_t), char* directory) {
  uint32_t length = hook != nullptr ? hook(directory, kDirectoryTextCapacity) : 0;
  if (length == 0 || length >= (uint32_t)kDirectoryTextCapacity) directory[0] = 0;
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
  while (IsBlank(*command)) command++;
  // The program is the quoted first part, or everything up to the first blank.
  bool quoted = command[0] == '"';
  const char* program = quoted ? command + 1 : command;
  size_t length = 0;
  for (char c; (c = program[length]) != 0; length++) {
    if (quoted ? c == '"' : IsBlank(c)) break;
  }
  // The closing quote is not part of the rest.
  const char* rest = program + length + (quoted && program[length] == '"' ? 1 : 0);
  if (length == 0) return false;
  if (IsAnchoredProgram(program, length)) {
    if (strlen(command) + 1 > capacity) return false;
    strcpy(commandLine, command);
    return true;
  }
  size_t pathLength;
  if (HasDirectoryPart(program, length)) {
    pathLength = StartQuotedPath(directory, program, length, commandLine, capacity);
    return pathLength != 0 && EndQuotedPath(commandLine, pathLength, rest, capacity);
  }
  char systemDirectory[kDirectoryTextCapacity], windowsDirectory[kDirectoryTextCapacity];
  ReadSystemPlace(shellHooks.systemDirectory, systemDirectory);
  ReadSystemPlace(shellHooks.windowsDirectory, windowsDirectory);
  // Never the stub's own directory nor the current one, where the system's
  // own search would look first.
  const char* const places[] = {directory, systemDirectory, windowsDirectory};
  for (const char* place : places) {
    pathLength = StartQuotedPath(place, program, length, commandLine, capacity);
    if (pathLength != 0 && ProgramPresent(commandLine + 1, pathLength, program, length)) {
      return EndQuotedPath(commandLine, pathLength, rest, capacity);
    }
  }
  return false;
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
