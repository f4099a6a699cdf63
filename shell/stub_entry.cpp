// The stub's entry point. The stub links no C runtime start-up code (it is
// what keeps the program small), so this takes its place: it calls WinMain
// with the module handle and ends the process with WinMain's code, which is
// always 0. There are no static constructors to run: the shell's state is
// plain data, and the few variables that do not start at zero get their
// start values here.
#include <windows.h>

#include "archive/archive.h"
#include "engine/extract.h"
#include "shell/shell_win32.h"

#ifdef _WIN64
// The 64-bit code reaches everything relative to the instruction pointer,
// so the 64-bit stub would have no base relocation at all, hence no
// relocation directory, and Windows loads such an image only at its
// preferred address: no ASLR. This one absolute address keeps the directory.
extern "C" void StubEntry();
extern "C" __attribute__((used)) void (*const stubEntryAddress)() = StubEntry;
#endif

// The image's own DOS header, placed by the linker: the module handle of the
// program, without asking the system for it.
extern "C" IMAGE_DOS_HEADER __ImageBase;

// The process-wide variables that do not start at zero (start_value.h).
void SetStartValues() {
  archiveHandle = kNoHandle;
  endRecordPos = kEndRecordUnknown;
  outputHandle = kNoHandle;
}

extern "C" void StubEntry() {
  SetStartValues();
  ExitProcess((UINT)WinMain((HINSTANCE)&__ImageBase, nullptr, nullptr, SW_SHOWDEFAULT));
}
