// The stub's Win32 side: the entry function WinMain, the main dialog and the
// replace prompt procedures, the directory browser, the message pump and the
// window placement. Each window operation the portable logic needs is put
// into shellHooks here; the decisions themselves stay in the portable files.
//
// Everything runs on the one thread that enters WinMain. During a run the
// engine calls back into progress.cpp, which pumps messages, and the clicks
// that arrive re-enter MainDialogProc.
#include <windows.h>
#include <commdlg.h>
#include <stddef.h>
#include <string.h>

#include "archive/archive.h"
#include "engine/based.h"
#include "engine/status.h"
#include "shell/shell.h"
#include "shell/shell_win32.h"

namespace {

// Window class of the main dialog: double clicks, saved bits beneath it,
// byte-aligned, with the extra bytes the dialog manager keeps per window.
const UINT kMainClassStyle = CS_DBLCLKS | CS_SAVEBITS | CS_BYTEALIGNWINDOW;
const char kMainClassName[] = "SfxClass";
const UINT kCenterFlags = SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE;

// The browser's buffers and request, filled afresh on every call.
const int kBrowseBufferSize = 265;
const DWORD kBrowseFlags = OFN_HIDEREADONLY | OFN_ENABLETEMPLATE;
const char kBrowseTitle[] = "Browse";
char browseFile[kBrowseBufferSize];
char browseFileTitle[kBrowseBufferSize];
OPENFILENAMEA browseRequest;

// Loading libraries only from the system directory; older systems lack the
// call, so it is looked up rather than imported.
const DWORD kSearchSystemDirectoryOnly = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);

HWND MainWindowHandle() { return (HWND)mainWindow; }
HINSTANCE InstanceHandle() { return (HINSTANCE)instance; }

void RestrictLibrarySearch() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  SetDefaultDllDirectoriesFunction restrict =
      (SetDefaultDllDirectoriesFunction)(void*)GetProcAddress(kernel, "SetDefaultDllDirectories");
  if (restrict != nullptr) restrict(kSearchSystemDirectoryOnly);
}

void SetStatusLine(const char* text) { SetDlgItemTextA(MainWindowHandle(), IDC_STATUS_LINE, text); }

void ShowMessageBox(const char* text, const char* caption, uint32_t style) {
  MessageBoxA(MainWindowHandle(), text, caption, style);
}

void ReadTargetField(char* buffer, int capacity) {
  GetDlgItemTextA(MainWindowHandle(), IDC_TARGET_EDIT, buffer, capacity);
}

void SetTargetField(const char* text) { SetDlgItemTextA(MainWindowHandle(), IDC_TARGET_EDIT, text); }

int BrowseInto(char* path, int capacity) {
  int result = BrowseForDirectory(MainWindowHandle());
  if (result == 1) CopyText(path, browseFile, (size_t)capacity);
  return result;
}

void EndMainDialog(int result) { EndDialog(MainWindowHandle(), result); }

bool SetCurrentDirectoryTo(const char* path) { return SetCurrentDirectoryA(path) != FALSE; }

uint32_t StartCommand(const char* commandLine) { return WinExec(commandLine, SW_SHOWNORMAL); }

uint32_t SystemDirectory(char* buffer, uint32_t capacity) { return GetSystemDirectoryA(buffer, capacity); }

uint32_t WindowsDirectory(char* buffer, uint32_t capacity) { return GetWindowsDirectoryA(buffer, capacity); }

// Measured as a static text control draws its text, with the main dialog's
// font and dialog units: the prompt uses the same font.
bool TextFits(const char* text, int width, int height) {
  HWND dialog = MainWindowHandle();
  RECT box = {0, 0, width, height};
  MapDialogRect(dialog, &box);
  RECT need = {0, 0, box.right, 0};
  HDC context = GetDC(dialog);
  HGDIOBJ previous = SelectObject(context, (HGDIOBJ)SendMessageA(dialog, WM_GETFONT, 0, 0));
  DrawTextA(context, text, -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
  SelectObject(context, previous);
  ReleaseDC(dialog, context);
  return need.right <= box.right && need.bottom <= box.bottom;
}

void RegisterMainClass() {
  WNDCLASSA windowClass;
  memset(&windowClass, 0, sizeof windowClass);
  windowClass.style = kMainClassStyle;
  windowClass.lpfnWndProc = DefDlgProcA;
  windowClass.cbWndExtra = DLGWINDOWEXTRA;
  windowClass.hInstance = InstanceHandle();
  windowClass.hIcon = LoadIconA(InstanceHandle(), MAKEINTRESOURCEA(IDI_APPLICATION_ICON));
  windowClass.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
  windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kMainClassName;
  RegisterClassA(&windowClass);
}

}  // namespace

// The window operations of the portable logic: a constant table in the
// image, copied into shellHooks when the stub starts, so that the stub has no
// variable that starts with a value other than zero.
const ShellHooks kWin32Hooks = {
    PumpWindowMessages,  ReplacePrompt,         SetStatusLine,          ShowMessageBox,
    ReadTargetField,     SetTargetField,        BrowseInto,             EndMainDialog,
    SetCurrentDirectoryTo, StartCommand,        TextFits,               SystemDirectory,
    WindowsDirectory,
};
ShellHooks shellHooks;

// The system fills ShellRect directly: it has RECT's layout.
static_assert(sizeof(ShellRect) == sizeof(RECT) && offsetof(RECT, left) == offsetof(ShellRect, left) &&
                  offsetof(RECT, top) == offsetof(ShellRect, top) &&
                  offsetof(RECT, right) == offsetof(ShellRect, right) &&
                  offsetof(RECT, bottom) == offsetof(ShellRect, bottom),
              "ShellRect is laid out as RECT");

void CenterWindow(HWND window) {
  ShellRect desktop, own;
  GetWindowRect(GetDesktopWindow(), reinterpret_cast<RECT*>(&desktop));
  GetWindowRect(window, reinterpret_cast<RECT*>(&own));
  int32_t x, y;
  ComputeCenteredPosition(desktop, own, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                          &x, &y);
  SetWindowPos(window, nullptr, x, y, 0, 0, kCenterFlags);
}

// The engine calls back every 4 KiB read or 32 KiB written, far more often
// than a person can click or see: the queue is emptied at most once per
// interval, which keeps the window live and Cancel prompt while a large
// member no longer spends its time asking the system for messages.
const DWORD kPumpIntervalMs = 10;
DWORD lastPumpTick;

void PumpWindowMessages() {
  DWORD now = GetTickCount();
  if (now - lastPumpTick < kPumpIntervalMs) return;
  lastPumpTick = now;
  MSG message;
  // Straight to the windows, without the dialog manager's keyboard handling.
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

INT_PTR CALLBACK ReplacePromptProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    CenterWindow(dialog);
    SetDlgItemTextA(dialog, IDC_PROMPT_TEXT, promptText);
    return TRUE;
  }
  if (message == WM_COMMAND) {
    int id = LOWORD(wParam);
    if (id == IDC_PROMPT_YES || id == IDC_PROMPT_NO || id == IDC_PROMPT_REPLACE_ALL ||
        id == IDC_PROMPT_CANCEL) {
      EndDialog(dialog, id);
      return TRUE;
    }
  }
  return FALSE;
}

int ReplacePrompt() {
  return (int)DialogBoxParamA(InstanceHandle(), MAKEINTRESOURCEA(IDD_REPLACE), MainWindowHandle(),
                              ReplacePromptProc, 0);
}

int BrowseForDirectory(HWND owner) {
  strcpy(browseFile, kDummyFileName);
  strcpy(browseFileTitle, kDummyFileName);
  OPENFILENAMEA* request = Based(&browseRequest);
  memset(request, 0, sizeof *request);
  // The size of the structure as first published: the template-based
  // dialog needs none of the later fields.
  request->lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  request->hwndOwner = owner;
  request->hInstance = InstanceHandle();
  request->lpstrFile = browseFile;
  request->nMaxFile = kBrowseBufferSize;
  request->lpstrFileTitle = browseFileTitle;
  request->nMaxFileTitle = 0;
  request->lpstrTitle = kBrowseTitle;
  request->Flags = kBrowseFlags;
  request->lpTemplateName = MAKEINTRESOURCEA(IDD_BROWSE);
  return GetSaveFileNameA(request) ? 1 : 0;
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    CenterWindow(dialog);
    if (targetDirectory[0] != 0) SetDlgItemTextA(dialog, IDC_TARGET_EDIT, targetDirectory);
    mainWindow = dialog;
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wParam)) {
    case IDC_EXTRACT: OnExtractCommand(); return TRUE;
    case IDC_CANCEL: OnCancelCommand(); return TRUE;
    case IDC_ABOUT: OnAboutCommand(); return TRUE;
    case IDC_BROWSE: OnBrowseCommand(); return TRUE;
    default: return FALSE;
  }
}

// A module whose name holds a character outside the ANSI code page cannot be
// opened by the name the system gives in that code page ('?' or a look-alike
// stands in its place). Its short name can: the person still sees the long
// one, as well as the code page can show it. False when there is no such
// name to try.
bool UseShortModulePath(HINSTANCE module) {
  WCHAR wide[kModulePathCapacity];
  if (GetModuleFileNameW(module, wide, kModulePathRequest) == 0 ||
      GetShortPathNameW(wide, wide, kModulePathRequest) == 0) {
    return false;
  }
  strcpy(moduleShownPath, modulePath);
  memset(modulePath, 0, sizeof modulePath);
  return WideCharToMultiByte(CP_ACP, 0, wide, -1, modulePath, kModulePathRequest, nullptr, nullptr) != 0;
}

void StartUp(HINSTANCE module) {
  instance = module;
  busy = false;
  // The target directory and the follow-up command are zero-filled by
  // ComputeStartupSettings, which sets them.
  memset(modulePath, 0, sizeof modulePath);
  GetModuleFileNameA(module, modulePath, kModulePathRequest);
  ArchiveOpen(modulePath);
  if (errorCode == kStatusFileError && UseShortModulePath(module)) ArchiveOpen(modulePath);
  ComputeStartupSettings(modulePath, errorCode);
  ArchiveClose();
}

int WINAPI WinMain(HINSTANCE module, HINSTANCE previous, LPSTR commandLine, int show) {
  // Before anything can load a library: never from the stub's own folder.
  RestrictLibrarySearch();
  shellHooks = kWin32Hooks;
  StartUp(module);
  RegisterMainClass();
  DialogBoxParamA(InstanceHandle(), MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
  PostQuitMessage(0);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;  // the code the quit message carries, always
}
