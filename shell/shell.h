// The stub's user interface: start-up settings, the main dialog's commands,
// the engine callbacks with the status line, the replace prompt and the run
// with its follow-up command.
//
// The decisions live in portable files (startup.cpp, progress.cpp, run.cpp)
// that never touch Win32. Every window operation they need goes through the
// small table `shellHooks`, which shell_win32.cpp fills with the real calls
// and the unit tests fill with recorders. A table of plain function pointers
// keeps the stub free of virtual classes; an empty slot is simply not called.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engine/status.h"
#include "resources/resource_ids.h"

// Text capacities, with the terminator.
const int kModulePathCapacity = 280;  // at most 279 bytes requested from the system
const int kModulePathRequest = 279;
const int kDirectoryTextCapacity = 261;  // directories: at most 260 characters
const int kDirectoryTextLimit = kDirectoryTextCapacity - 1;
const int kPathPartLimit = 255;             // each part SplitPath yields is cut to this
const int kDirectoryPartCapacity = 256;     // drive and directory part
const int kNamePartCapacity = 2 * kPathPartLimit + 1;  // base name and extension, each cut to 255
const int kPromptTextCapacity = 350;
const int kBeforeEntryTextCapacity = 261;
const int kProgressTextCapacity = 350;
const int kResultTextCapacity = 500;
// One more than a directory may hold, so a longer field is seen and refused
// instead of being cut to another directory's name.
const int kFieldReadCapacity = kDirectoryTextCapacity + 1;
// The follow-up command with the target directory in front and two quotes.
const int kCommandLineCapacity = kDirectoryTextCapacity + kDirectoryTextCapacity + 4;
const int kMessageTextCapacity = kCommandLineCapacity + 32;

// The run's result when the follow-up command was started.
const int kRunCommandStarted = 33;
// WinExec results from this value on mean the program was started.
const uint32_t kCommandStartedMinimum = 32;
// Dialog results of the main dialog.
const int kDialogExtracted = 1;
const int kDialogCancelled = 2;

// Message box styles (the platform's MB_OK and MB_ICONINFORMATION).
const uint32_t kMessageOk = 0x0;
const uint32_t kMessageInformation = 0x40;

// The texts the person sees.
extern const char kDialogCaption[];
extern const char kShortCaption[];
extern const char kFloppyText[];
extern const char kDirectoryTooLongText[];
extern const char kAboutText[];
extern const char kSuccessBoxText[];
extern const char kCouldNotRunFormat[];
extern const char kPromptFormat[];
extern const char kExtractingFormat[];
extern const char kProgressFormat[];
extern const char kSuccessFormat[];
extern const char kCancelledFormat[];
extern const char kErrorFormat[];
extern const char kDummyFileName[];

// The user interface's part of the process-wide state. The window handles are
// kept opaque here; shell_win32.cpp casts them.
extern void* instance;
extern void* mainWindow;
extern char modulePath[kModulePathCapacity];
// The same path as the person sees it, where it differs (a name outside the
// ANSI code page opens by its short form); empty otherwise.
extern char moduleShownPath[kModulePathCapacity];
extern char executableDirectory[kDirectoryPartCapacity];
extern char targetDirectory[kDirectoryTextCapacity];
extern char followUpCommand[kDirectoryTextCapacity];
extern bool startedFromFloppy;
extern bool busy;
extern bool cancelRequested;
extern bool replaceAll;
extern char currentFileName[kDirectoryTextCapacity];
extern char promptText[kPromptTextCapacity];
// What the status line shows now.
extern char shownStatusText[kResultTextCapacity];
// The first non-zero member outcome of the current run (0 = none yet). A
// failed member must not let the run pass for a success.
extern uint16_t firstFailedOutcome;

// The window operations the portable logic needs.
struct ShellHooks {
  // Dispatches every pending message of the thread.
  void (*pumpMessages)();
  // Shows the replace prompt with promptText; returns the id of the button
  // that closed it, or anything else when it could not be shown.
  int (*showReplacePrompt)();
  void (*setStatusText)(const char* text);
  void (*messageBox)(const char* text, const char* caption, uint32_t style);
  // Reads the main dialog's edit field, at most capacity - 1 characters.
  void (*readTargetField)(char* buffer, int capacity);
  void (*setTargetField)(const char* text);
  // Shows the directory browser; on OK returns 1 and the composed path.
  int (*browseForDirectory)(char* path, int capacity);
  void (*endMainDialog)(int result);
  bool (*setCurrentDirectory)(const char* path);
  // Starts a command line with the normal show state; the WinExec result.
  uint32_t (*startCommand)(const char* commandLine);
  // True when the text, drawn as the dialogs' static texts draw it (with
  // their font, wrapping at blanks), fits a box of the given size in dialog
  // units.
  bool (*textFits)(const char* text, int width, int height);
  // The system directory and the Windows directory: the length written, or
  // the capacity needed when it is too small, or 0 on a failure.
  uint32_t (*systemDirectory)(char* buffer, uint32_t capacity);
  uint32_t (*windowsDirectory)(char* buffer, uint32_t capacity);
};
extern ShellHooks shellHooks;

// The placement rectangles of CenterWindow, in pixels.
struct ShellRect {
  int32_t left, top, right, bottom;
};

// Formats into a zero-filled buffer; never writes past capacity, always ends
// in a terminator.
void FormatText(char* buffer, size_t capacity, const char* format, ...);
// Copies at most capacity - 1 characters and the terminator.
void CopyText(char* destination, const char* source, size_t capacity);

// Start-up (startup.cpp).
void SplitPath(const char* path, char* directory, char* name);
void CopyConfiguredDefaults(char* target, char* followUp);
void ComputeStartupSettings(const char* path, uint16_t openStatus);
void ComputeCenteredPosition(const ShellRect& desktop, const ShellRect& window,
                             int32_t screenWidth, int32_t screenHeight, int32_t* x, int32_t* y);

// Progress, status line and the engine callbacks (progress.cpp).
// Copies `piece` with `cut` bytes of its middle replaced by "...", the kept
// head and tail ending on whole characters of the ANSI code page.
void CutMiddle(const char* piece, size_t cut, char* out, size_t capacity);
// Fills `out` with the least cut of `piece` (CutMiddle) for which the text
// that compose() makes of it, with `other`, fits a box of width x height
// dialog units; out is the piece itself when that fits or nothing can tell.
typedef void (*ComposeText)(char* text, const char* piece, const char* other);
void FitPiece(const char* piece, const char* other, ComposeText compose, int width, int height, char* out,
              size_t capacity);
void PumpMessages();
uint32_t ComputePerMille(uint64_t done, uint64_t total);
void FormatRunResult(char* buffer, uint16_t code, const char* archiveName);
void ShowRunResult(uint16_t code, const char* archiveName);
ZARVEL_CALLBACK int32_t OnBeforeEntry(const CentralHeader* header, const char* targetPath);
ZARVEL_CALLBACK bool OnProgress(uint64_t written, uint64_t total);
ZARVEL_CALLBACK bool OnAfterEntry(const CentralHeader* header, const char* targetPath,
                                  uint16_t outcome);
// The run's status once the walk is over: the first member that failed, else
// the walk's own failure, else a Cancel that came too late to stop the walk.
uint16_t SettleRunStatus(uint16_t walkStatus);

// The run and the main dialog's commands (run.cpp).
// The command line that starts the follow-up command's program by its full
// path; false when the program is found nowhere or the line does not fit.
bool BuildFollowUpCommandLine(const char* command, const char* directory, char* commandLine,
                              size_t capacity);
bool StartFollowUpCommand(const char* command, const char* directory);
int RunExtraction(const char* archivePath, const char* directory, const char* command);
void OnExtractCommand();
void OnCancelCommand();
void OnBrowseCommand();
void OnAboutCommand();
