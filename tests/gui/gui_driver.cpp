// Works a self-extractor's windows from outside, as a person would: gui_driver PROGRAM [WORKDIR] -- STEP... Steps:
// main, field:T, expect-field:T, click:ID, status[-has]:T, box:CAPTION|T, prompt[-has]:T, answer:ID, close-prompt,
// browse, browse-ok, browse-cancel, still-open:MS, shot:KIND, close-main, exit:CODE, status-fits:GLOB and
// prompt-fits:GLOB (a text with the pieces between the *s in order, drawn whole in its control). Clicks are posted (a
// sent one would block while its box is open).
// gui_driver --resources EXE: prints what the system reads from EXE's resources. Without arguments: writes its folder
// and path to a file.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

const int kEditId = 1000, kStatusId = 1005, kPromptTextId = 1002, kBrowseTreeId = 1121;
enum Kind { kMain, kPrompt, kBrowse, kMessageBox, kOther };
PROCESS_INFORMATION child;
std::string failure, program;

bool Fail(const std::string& why) { return failure = why, false; }
bool Ended() { return WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0; }

std::string TextOf(HWND window, bool className = false) {  // WM_GETTEXT works across processes for controls
  char text[2048] = "";
  className ? GetClassNameA(window, text, sizeof text) : SendMessageA(window, WM_GETTEXT, sizeof text, (LPARAM)text);
  return text;
}
std::string BoxText(HWND box) { return TextOf(GetDlgItem(box, 0xFFFF)); }  // a message box's text control

std::vector<HWND> Windows() {  // the program's visible top-level windows
  std::vector<HWND> found;
  for (HWND window = GetTopWindow(nullptr); window; window = GetWindow(window, GW_HWNDNEXT)) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == child.dwProcessId && IsWindowVisible(window)) found.push_back(window);
  }
  return found;
}

Kind KindOf(HWND window) {
  if (TextOf(window, true) != "#32770") return TextOf(window, true) == "SfxClass" ? kMain : kOther;
  return GetDlgItem(window, kPromptTextId) ? kPrompt : GetDlgItem(window, kBrowseTreeId) ? kBrowse : kMessageBox;
}

// Polls every 5 ms, or every ZARVEL_DRIVER_POLL_MS (benchmarks: each poll costs the program under test time).
const DWORD kPoll = getenv("ZARVEL_DRIVER_POLL_MS") ? atoi(getenv("ZARVEL_DRIVER_POLL_MS")) : 5;
// A step waits up to 45 s for its window or text, or ZARVEL_DRIVER_LIMIT_MS (members of several GiB take longer).
const DWORD kLimit = getenv("ZARVEL_DRIVER_LIMIT_MS") ? atoi(getenv("ZARVEL_DRIVER_LIMIT_MS")) : 45000;
template <typename Ready>
bool WaitFor(Ready ready, DWORD limit = kLimit) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < limit; Sleep(kPoll)) if (ready()) return true;
  return ready();
}

HWND Find(Kind kind, DWORD wait = 0) {  // the program's window of that kind, waiting up to `wait` ms for it
  HWND found = nullptr;
  WaitFor([&] {
    for (HWND window : Windows()) if (KindOf(window) == kind) return (found = window) != nullptr;
    return Ended();
  }, wait);
  return found;
}

void Click(HWND dialog, int id) { PostMessageA(dialog, WM_COMMAND, id, (LPARAM)GetDlgItem(dialog, id)); }

// Another process's dialog cannot be asked for its font or dialog units: a hidden copy made here from the program's
// own template has the same.
INT_PTR CALLBACK Quiet(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
HWND TemplateCopy(int id, const DLGTEMPLATE** dialog) {
  HMODULE image = LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  HRSRC found = image ? FindResourceA(image, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5)) : nullptr;
  *dialog = found ? (const DLGTEMPLATE*)LockResource(LoadResource(image, found)) : nullptr;
  WNDCLASSA sfxClass = {};  // the main dialog's class, so that its template makes a window here too
  sfxClass.lpfnWndProc = DefDlgProcA, sfxClass.cbWndExtra = DLGWINDOWEXTRA, sfxClass.lpszClassName = "SfxClass";
  RegisterClassA(&sfxClass);
  return *dialog ? CreateDialogIndirectA(nullptr, *dialog, nullptr, Quiet) : nullptr;
}

// The text as a static control of the template draws it (its font, wrapped at blanks) fits the control.
bool DrawnWhole(int dialogId, int controlId, const std::string& text) {
  const DLGTEMPLATE* dialog;
  HWND copy = TemplateCopy(dialogId, &dialog), control = GetDlgItem(copy, controlId);
  RECT box = {}, need = {};
  HDC context = GetDC(control);
  SelectObject(context, (HFONT)SendMessageA(control, WM_GETFONT, 0, 0));
  GetClientRect(control, &box), need.right = box.right;
  DrawTextA(context, text.c_str(), -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
  ReleaseDC(control, context), DestroyWindow(copy);
  return (control && need.right <= box.right && need.bottom <= box.bottom) ||
         Fail("'" + text + "' takes " + std::to_string(need.right) + "x" + std::to_string(need.bottom) + " of " +
              std::to_string(box.right) + "x" + std::to_string(box.bottom));
}

// The client area is what the program's own template gives in dialog units with the dialog's font.
bool SizedByTemplate(HWND window, int id) {
  const DLGTEMPLATE* dialog;
  HWND copy = TemplateCopy(id, &dialog);
  RECT want = {0, 0, dialog ? dialog->cx : 0, dialog ? dialog->cy : 0}, got = {};
  bool mapped = copy && MapDialogRect(copy, &want) && DestroyWindow(copy) && GetClientRect(window, &got);
  return (mapped && EqualRect(&want, &got)) ||
         Fail("client " + std::to_string(got.right) + "x" + std::to_string(got.bottom) + ", template gives " +
              std::to_string(want.right) + "x" + std::to_string(want.bottom));
}

// Once the window is painted and the program idle, writes KIND.ready in $ZARVEL_SHOTS (the window's rectangle and the
// one around all the program's windows) and waits for the harness to take the screenshot (KIND.taken).
bool Shot(const std::string& kind) {
  HWND window = Find(kind == "main" ? kMain : kind == "prompt" ? kPrompt : kind == "browse" ? kBrowse : kOther);
  const char* shots = getenv("ZARVEL_SHOTS");
  if (window == nullptr || shots == nullptr) return Fail("nothing to shoot");
  if (!SizedByTemplate(window, kind == "main" ? 101 : kind == "prompt" ? 102 : 1541)) return false;
  bool painted = WaitFor([&] {
    for (HWND item = GetWindow(window, GW_CHILD); item; item = GetWindow(item, GW_HWNDNEXT)) {
      if (GetUpdateRect(item, nullptr, FALSE)) return false;
    }
    return !GetUpdateRect(window, nullptr, FALSE);
  }, 10000);
  if (!painted) return Fail("window not painted");
  WaitForInputIdle(child.hProcess, 5000);
  RECT frame, all = {}, box;
  GetWindowRect(window, &frame);
  for (HWND other : Windows()) UnionRect(&all, &all, (GetWindowRect(other, &box), &box));
  std::string base = std::string(shots) + "\\" + kind;
  FILE* ready = fopen((base + ".ready").c_str(), "wb");  // the harness reads it once this program has ended
  if (ready == nullptr) return Fail("cannot write " + base + ".ready");
  fprintf(ready, "%ld %ld %ld %ld %ld %ld %ld %ld\n", frame.left, frame.top, frame.right, frame.bottom, all.left,
          all.top, all.right, all.bottom);
  fclose(ready);
  return WaitFor([&] { return GetFileAttributesA((base + ".taken").c_str()) != INVALID_FILE_ATTRIBUTES; }, 20000) ||
         Fail("no screenshot taken");
}

bool Step(const std::string& step) {
  size_t colon = step.find(':');
  std::string verb = step.substr(0, colon), arg = colon == std::string::npos ? "" : step.substr(colon + 1);
  int number = atoi(arg.c_str());
  bool has = verb.size() > 4 && verb.substr(verb.size() - 4) == "-has";  // the text contains the argument
  bool glob = verb.size() > 5 && verb.substr(verb.size() - 5) == "-fits";  // the pieces between *s, in order
  auto matches = [&](const std::string& text) {
    for (size_t at = 0, from = 0, star; glob; from = star + 1) {
      std::string piece = arg.substr(from, (star = arg.find('*', from)) == std::string::npos ? star : star - from);
      if ((at = text.find(piece, at)) == std::string::npos) return false;
      if (at += piece.size(), star == std::string::npos) return true;
    }
    return has ? text.find(arg) != std::string::npos : text == arg;
  };
  DWORD code = STILL_ACTIVE;
  if (verb == "exit" && WaitFor(Ended) && GetExitCodeProcess(child.hProcess, &code) && (int)code == number) return true;
  if (verb == "exit") return Fail(code == STILL_ACTIVE ? "program still running" : "exit code " + std::to_string(code));
  if (verb == "shot") return Shot(arg);
  if (verb == "box") {
    std::string caption = arg.substr(0, arg.find('|')), text = arg.substr(arg.find('|') + 1);
    HWND box = Find(kMessageBox, kLimit);
    if (box == nullptr) return Fail("no message box");
    if (!WaitFor([&] { return TextOf(box) == caption && BoxText(box).find(text) != std::string::npos; }, 2000)) {
      return Fail("box '" + TextOf(box) + "': " + BoxText(box));
    }
    Click(box, IDOK);
    return WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 10000), true;
  }
  if (verb == "main" || verb == "prompt" || verb == "prompt-has" || verb == "prompt-fits" || verb == "browse") {
    Kind kind = verb == "main" ? kMain : verb == "browse" ? kBrowse : kPrompt;
    HWND window = Find(kind, kLimit);
    if (window == nullptr) return Fail("no " + verb + " window");
    std::string caption = TextOf(window), shown = TextOf(GetDlgItem(window, kPromptTextId));
    bool right = caption == (kind == kBrowse ? "Browse" : "Zarvel Self Extractor");
    if (!right || (kind == kPrompt && !matches(shown))) return Fail("'" + caption + "': '" + shown + "'");
    return !glob || DrawnWhole(102, kPromptTextId, shown);
  }
  if (verb == "answer" || verb == "close-prompt" || verb == "browse-ok" || verb == "browse-cancel") {
    HWND dialog = Find(verb[0] == 'b' ? kBrowse : kPrompt);
    if (dialog == nullptr) return Fail("no dialog to close");
    if (verb == "close-prompt") PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    else Click(dialog, verb == "answer" ? number : verb == "browse-ok" ? IDOK : IDCANCEL);
    return WaitFor([&] { return !IsWindow(dialog); }, 10000) || Fail("dialog did not close");
  }
  HWND main = Find(kMain);
  if (main == nullptr) return Fail("main dialog gone");
  HWND edit = GetDlgItem(main, kEditId), line = GetDlgItem(main, kStatusId);
  if (verb == "field") return SendMessageA(edit, WM_SETTEXT, 0, (LPARAM)arg.c_str()), true;
  if (verb == "click") return Click(main, number), true;
  if (verb == "close-main") return PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0), true;
  if (verb == "expect-field") {
    return WaitFor([&] { return TextOf(edit) == arg; }, 3000) || Fail("field holds '" + TextOf(edit) + "'");
  }
  if (verb == "status" || verb == "status-has" || verb == "status-fits") {
    std::string shown;
    if (!WaitFor([&] { return matches(shown = TextOf(line)); })) return Fail("status reads '" + shown + "'");
    return !glob || DrawnWhole(101, kStatusId, shown);
  }
  if (verb != "still-open") return Fail("unknown step");
  bool intruder = WaitFor([&] {  // the main dialog closes, or another window of the program appears
    if (!IsWindow(main) || Ended()) return true;
    for (HWND window : Windows()) if (window != main && KindOf(window) != kOther) return true;
    return false;
  }, (DWORD)number);
  return !intruder || Fail("main dialog closed or another window appeared");
}

// --resources EXE: what the system itself reads from EXE, a line each: every version string of the translation it
// names, the fixed file and product versions, the width of the icon the system makes of each image of icon group 108,
// and the level its manifest requests.
int ShowResources(const char* exe) {
  DWORD ignored, size = GetFileVersionInfoSizeA(exe, &ignored);
  std::vector<char> info(size + 1);
  WORD* translation = nullptr;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoA(exe, 0, size, info.data()) || !VerQueryValueA(info.data(), "\\", (void**)&fixed, &length) ||
      !VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", (void**)&translation, &length))
    return printf("FAIL version information\n");
  for (const char* key : {"FileVersion", "ProductVersion", "ProductName", "FileDescription", "CompanyName",
                          "LegalCopyright", "OriginalFilename", "Comments"}) {
    wchar_t query[100], *value = nullptr;
    char text[1024] = "";
    swprintf(query, 100, L"\\StringFileInfo\\%04x%04x\\%hs", translation[0], translation[1], key);
    if (VerQueryValueW(info.data(), query, (void**)&value, &length))
      WideCharToMultiByte(CP_UTF8, 0, value, -1, text, sizeof text, nullptr, nullptr);
    printf("%s: %s\n", key, text);
  }
  printf("fixed: %d.%d.%d.%d %d.%d.%d.%d\nicons:", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
         HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS), HIWORD(fixed->dwProductVersionMS),
         LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
  HMODULE image = LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  auto load = [&](int id, LPCSTR type, DWORD* bytes) {
    HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(id), type);
    *bytes = found ? SizeofResource(image, found) : 0;
    return found ? (BYTE*)LockResource(LoadResource(image, found)) : nullptr;
  };
  BYTE* group = load(108, RT_GROUP_ICON, &size);
  for (int k = 0; group && k < *(WORD*)(group + 4); k++) {  // GRPICONDIR: 6 bytes, then 14 per image, width first
    int width = group[6 + 14 * k] ? group[6 + 14 * k] : 256;
    int id = LookupIconIdFromDirectoryEx(group, TRUE, width, width, 0);
    BYTE* data = load(id, RT_ICON, &size);
    HICON icon = data ? CreateIconFromResourceEx(data, size, TRUE, 0x30000, 0, 0, 0) : nullptr;
    ICONINFO parts = {};
    BITMAP bitmap = {};
    if (icon && GetIconInfo(icon, &parts)) GetObjectA(parts.hbmColor, sizeof bitmap, &bitmap);
    printf(" %ld", bitmap.bmWidth);
  }
  const char* manifest = (const char*)load(1, RT_MANIFEST, &size);
  std::string xml(manifest ? manifest : "", manifest ? size : 0);
  size_t at = xml.find("level=\"", xml.find("requestedExecutionLevel")), from = at + 7;
  printf("\nlevel: %s\n", at == std::string::npos ? "" : xml.substr(from, xml.find('"', from) - from).c_str());
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--resources") return ShowResources(argv[2]);
  if (argc < 3) {
    char directory[MAX_PATH] = "", self[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof directory, directory);
    GetModuleFileNameA(nullptr, self, sizeof self);
    FILE* record = fopen("started-from.txt", "w");
    return record == nullptr || fprintf(record, "%s\n%s\n", directory, self) < 0 || fclose(record) != 0;
  }
  int first = std::string(argv[2]) == "--" ? 3 : 4;
  // Started by its wide name, which may hold characters the ANSI code page lacks.
  int count;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::wstring commandLine = L"\"" + std::wstring(wide[1]) + L"\" ignored arguments";
  program = argv[1];
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!CreateProcessW(wide[1], &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, first == 4 ? wide[2] : nullptr,
                      &startup, &child))
    failure = "start: error " + std::to_string(GetLastError());
  bool timed = getenv("ZARVEL_DRIVER_TIMES") != nullptr;  // benchmarks: when each step ended
  for (int i = first; i < argc && failure.empty(); i++) {
    if (!Step(argv[i])) failure = "step " + std::to_string(i - first + 1) + " '" + argv[i] + "': " + failure;
    if (timed) printf("time %lu ms: %s\n", GetTickCount(), argv[i]);
  }
  if (failure.empty() && !Ended()) failure = "program still running after the last step";
  if (!failure.empty()) TerminateProcess(child.hProcess, 99);
  printf("%s%s\n", failure.empty() ? "DRIVER OK" : "FAIL ", failure.c_str());
  return !failure.empty();
}
