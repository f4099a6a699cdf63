// Start-up decisions: which directory the dialog proposes, whether the
// program runs from a floppy, and the two helpers every dialog shares: the
// path split and the centring arithmetic. No window call here; the one
// question about the code page (how long is this character?) is the
// platform's, which the tests can make a double-byte code page's.
#include <string.h>

#include "archive/archive.h"
#include "platform/platform.h"
#include "shell/shell.h"

void* instance = nullptr;
void* mainWindow = nullptr;
char modulePath[kModulePathCapacity];
char moduleShownPath[kModulePathCapacity];
char executableDirectory[kDirectoryPartCapacity];
char targetDirectory[kDirectoryTextCapacity];
char followUpCommand[kDirectoryTextCapacity];
bool startedFromFloppy = false;
bool busy = false;
bool cancelRequested = false;
bool replaceAll = false;
char currentFileName[kDirectoryTextCapacity];
char promptText[kPromptTextCapacity];
char shownStatusText[kResultTextCapacity];
uint16_t firstFailedOutcome = 0;
// The stub's table is filled at build time, in shell_win32.cpp; elsewhere
// (the unit tests) it starts empty.
#ifndef ZARVEL_STUB
ShellHooks shellHooks;
#endif

namespace {

const size_t kNoPosition = (size_t)-1;

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

// Appends at most `limit` bytes of [text, text + length) to `out` at *used.
void AppendCut(char* out, size_t* used, const char* text, size_t length, size_t limit) {
  if (length > limit) length = limit;
  memcpy(out + *used, text, length);
  *used += length;
  out[*used] = 0;
}

bool IsFloppyDrive(char c) { return c == 'A' || c == 'a' || c == 'B' || c == 'b'; }

}  // namespace

void SplitPath(const char* path, char* directory, char* name) {
  size_t driveLength = (path[0] != 0 && path[1] == ':') ? 2 : 0;
  const char* rest = path + driveLength;
  // Scan once from the left: the byte after a lead byte belongs to its
  // character and is never a separator or a dot.
  size_t nameStart = 0;
  size_t lastDot = kNoPosition;
  size_t i = 0;
  while (rest[i] != 0) {
    if (CharacterSize(rest + i) == 2) {
      i += 2;
      continue;
    }
    if (IsPathSeparator(rest[i])) {
      nameStart = i + 1;
      lastDot = kNoPosition;
    } else if (rest[i] == '.') {
      lastDot = i;
    }
    i++;
  }
  size_t end = i;
  size_t baseEnd = lastDot == kNoPosition ? end : lastDot;

  size_t used = 0;
  directory[0] = 0;
  AppendCut(directory, &used, path, driveLength, kPathPartLimit);
  AppendCut(directory, &used, rest, nameStart, kPathPartLimit - used);

  used = 0;
  name[0] = 0;
  AppendCut(name, &used, rest + nameStart, baseEnd - nameStart, kPathPartLimit);
  AppendCut(name, &used, rest + baseEnd, end - baseEnd, kPathPartLimit);
}

void CopyConfiguredDefaults(char* target, char* followUp) {
  strcpy(target, defaultDirectory);
  strcpy(followUp, command);
}

void ComputeStartupSettings(const char* path, uint16_t openStatus) {
  char name[kNamePartCapacity];
  SplitPath(path, executableDirectory, name);
  // Only the first character counts: a network path starts with a separator
  // and is never a floppy.
  startedFromFloppy = IsFloppyDrive(executableDirectory[0]);
  memset(targetDirectory, 0, sizeof targetDirectory);
  memset(followUpCommand, 0, sizeof followUpCommand);
  if (openStatus == kStatusOk) CopyConfiguredDefaults(targetDirectory, followUpCommand);
  // A floppy start with nothing configured leaves the field empty: the
  // person must choose a directory on a fixed disk.
  if (!startedFromFloppy && targetDirectory[0] == 0) {
    CopyText(targetDirectory, executableDirectory, sizeof targetDirectory);
  }
}

void ComputeCenteredPosition(const ShellRect& desktop, const ShellRect& window,
                             int32_t screenWidth, int32_t screenHeight, int32_t* x, int32_t* y) {
  int32_t width = window.right - window.left;
  int32_t height = window.bottom - window.top;
  int32_t left = desktop.left + ((desktop.right - desktop.left) - width) / 2;
  int32_t top = desktop.top + ((desktop.bottom - desktop.top) - height) / 2;
  // The upper bound first: a window larger than the screen lands at 0.
  if (left > screenWidth - width) left = screenWidth - width;
  if (top > screenHeight - height) top = screenHeight - height;
  *x = left < 0 ? 0 : left;
  *y = top < 0 ? 0 : top;
}
