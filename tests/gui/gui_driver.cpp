// Drives a self-extractor's windows from the outside, under Wine, the way a
// person would: it starts the program, waits for its dialogs, types into the
// edit field, clicks buttons, answers the replace prompt and message boxes,
// reads the status line, and checks the exit code.
//
// Usage: gui_driver PROGRAM [WORKDIR] -- STEP...
// Each STEP is VERB or VERB:ARGUMENT, run in order:
//   main                    wait for the visible main dialog
//   field:TEXT              put TEXT into the edit field
//   expect-field:TEXT       the edit field holds TEXT
//   click:ID                click button ID of the main dialog
//   status:TEXT             wait until the status line reads TEXT
//   status-has:TEXT         wait until the status line contains TEXT
//   box:CAPTION|TEXT        wait for a message box with that caption whose
//                           text contains TEXT, and press its OK
//   prompt:TEXT             wait for the replace prompt showing TEXT
//   prompt-has:TEXT         wait for the replace prompt, its text containing TEXT
//   answer:ID               click button ID of the replace prompt
//   close-prompt            close the replace prompt with its close box
//   browse                  wait for the directory browser
//   browse-ok, browse-cancel
//   still-open:MS           for MS milliseconds: the main dialog stays and no
//                           other window of the program appears
//   shot:NAME               hold still while the harness takes a screenshot
//                           (writes NAME.ready in $ZARVEL_SHOTS, waits for
//                           NAME.taken)
//   close-main              close the main dialog with its close box
//   exit:CODE               wait for the program to end with CODE
//   sleep:MS
// Clicks are posted, never sent: a sent click would block for as long as the
// message box it opens stays open. On the first failed step the program is
// killed and the driver prints FAIL; after the last step it prints DRIVER OK.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

const DWORD kWaitMs = 45000;
const DWORD kPollMs = 5;
const int kEditId = 1000;
const int kStatusId = 1005;
const int kPromptTextId = 1002;
const int kBrowseTreeId = 1121;
const char kMainCaption[] = "Zarvel Self Extractor";

PROCESS_INFORMATION child;
std::string failure;

std::string WindowText(HWND window) {
  char text[2048] = "";
  // WM_GETTEXT works across processes for the standard controls.
  SendMessageA(window, WM_GETTEXT, sizeof text, (LPARAM)text);
  return text;
}

std::string ClassOf(HWND window) {
  char name[256] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

bool OwnedByChild(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process == child.dwProcessId;
}

BOOL CALLBACK CollectChildWindow(HWND window, LPARAM list) {
  if (OwnedByChild(window) && IsWindowVisible(window)) ((std::vector<HWND>*)list)->push_back(window);
  return TRUE;
}

std::vector<HWND> ChildWindows() {
  std::vector<HWND> found;
  EnumWindows(CollectChildWindow, (LPARAM)&found);
  return found;
}

enum WindowKind { kMain, kPrompt, kBrowse, kMessageBox, kOther };

WindowKind KindOf(HWND window) {
  if (ClassOf(window) == "SfxClass") return kMain;
  if (ClassOf(window) != "#32770") return kOther;
  if (GetDlgItem(window, kPromptTextId) != nullptr) return kPrompt;
  if (GetDlgItem(window, kBrowseTreeId) != nullptr) return kBrowse;
  return kMessageBox;
}

HWND Find(WindowKind kind) {
  for (HWND window : ChildWindows()) {
    if (KindOf(window) == kind) return window;
  }
  return nullptr;
}

bool ChildEnded() { return WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0; }

// Polls `ready` until it holds or the time is up.
template <typename Ready>
bool WaitFor(Ready ready, DWORD limit = kWaitMs) {
  DWORD start = GetTickCount();
  while (GetTickCount() - start < limit) {
    if (ready()) return true;
    Sleep(kPollMs);
  }
  return ready();
}

HWND WaitWindow(WindowKind kind) {
  HWND window = nullptr;
  WaitFor([&] { return (window = Find(kind)) != nullptr || ChildEnded(); });
  return window;
}

// All static texts of a message box, joined: the text control's id differs
// between systems.
std::string MessageText(HWND box) {
  std::string text;
  for (HWND control = GetWindow(box, GW_CHILD); control != nullptr; control = GetWindow(control, GW_HWNDNEXT)) {
    if (ClassOf(control) == "Static") text += WindowText(control) + "\n";
  }
  return text;
}

void Click(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

bool Fail(const std::string& why) {
  failure = why;
  return false;
}

bool Step(const std::string& step) {
  size_t colon = step.find(':');
  std::string verb = step.substr(0, colon);
  std::string arg = colon == std::string::npos ? "" : step.substr(colon + 1);
  if (verb == "main") {
    HWND main = WaitWindow(kMain);
    if (main == nullptr) return Fail("no main dialog");
    if (WindowText(main) != kMainCaption) return Fail("main caption is '" + WindowText(main) + "'");
    return true;
  }
  if (verb == "sleep") {
    Sleep((DWORD)atoi(arg.c_str()));
    return true;
  }
  if (verb == "exit") {
    if (WaitForSingleObject(child.hProcess, kWaitMs) != WAIT_OBJECT_0) return Fail("program still running");
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    if (code != (DWORD)atoi(arg.c_str())) return Fail("exit code " + std::to_string(code));
    return true;
  }
  if (verb == "shot") {
    const char* shots = getenv("ZARVEL_SHOTS");
    if (shots == nullptr) return true;
    std::string base = std::string(shots) + "\\" + arg;
    FILE* ready = fopen((base + ".ready").c_str(), "w");
    if (ready != nullptr) fclose(ready);
    WaitFor([&] { return GetFileAttributesA((base + ".taken").c_str()) != INVALID_FILE_ATTRIBUTES; }, 20000);
    return true;
  }
  if (verb == "box") {
    size_t bar = arg.find('|');
    std::string caption = arg.substr(0, bar), text = arg.substr(bar + 1);
    HWND box = WaitWindow(kMessageBox);
    if (box == nullptr) return Fail("no message box");
    WaitFor([&] { return MessageText(box).find(text) != std::string::npos; }, 2000);
    if (WindowText(box) != caption) return Fail("box caption '" + WindowText(box) + "'");
    if (MessageText(box).find(text) == std::string::npos) return Fail("box text '" + MessageText(box) + "'");
    Click(box, IDOK);
    WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 10000);
    return true;
  }
  if (verb == "prompt" || verb == "prompt-has") {
    HWND prompt = WaitWindow(kPrompt);
    if (prompt == nullptr) return Fail("no replace prompt");
    if (WindowText(prompt) != kMainCaption) return Fail("prompt caption '" + WindowText(prompt) + "'");
    std::string shown = WindowText(GetDlgItem(prompt, kPromptTextId));
    bool matches = verb == "prompt" ? shown == arg : shown.find(arg) != std::string::npos;
    if (!matches) return Fail("prompt text '" + shown + "'");
    return true;
  }
  if (verb == "answer" || verb == "close-prompt") {
    HWND prompt = Find(kPrompt);
    if (prompt == nullptr) return Fail("no replace prompt to answer");
    if (verb == "answer") {
      Click(prompt, atoi(arg.c_str()));
    } else {
      PostMessageA(prompt, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    if (!WaitFor([&] { return !IsWindow(prompt); }, 10000)) return Fail("prompt did not close");
    return true;
  }
  if (verb == "browse") {
    HWND browse = WaitWindow(kBrowse);
    if (browse == nullptr) return Fail("no browse dialog");
    if (WindowText(browse) != "Browse") return Fail("browse caption '" + WindowText(browse) + "'");
    return true;
  }
  if (verb == "browse-ok" || verb == "browse-cancel") {
    HWND browse = Find(kBrowse);
    if (browse == nullptr) return Fail("no browse dialog to close");
    Click(browse, verb == "browse-ok" ? IDOK : IDCANCEL);
    if (!WaitFor([&] { return !IsWindow(browse); }, 10000)) return Fail("browse dialog did not close");
    return true;
  }

  HWND main = Find(kMain);
  if (main == nullptr) return Fail("main dialog gone before '" + step + "'");
  if (verb == "field") {
    SendMessageA(GetDlgItem(main, kEditId), WM_SETTEXT, 0, (LPARAM)arg.c_str());
    return true;
  }
  if (verb == "expect-field") {
    if (!WaitFor([&] { return WindowText(GetDlgItem(main, kEditId)) == arg; }, 3000)) {
      return Fail("field holds '" + WindowText(GetDlgItem(main, kEditId)) + "'");
    }
    return true;
  }
  if (verb == "click") {
    Click(main, atoi(arg.c_str()));
    return true;
  }
  if (verb == "close-main") {
    PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    return true;
  }
  if (verb == "status" || verb == "status-has") {
    HWND line = GetDlgItem(main, kStatusId);
    bool seen = WaitFor([&] {
      std::string text = WindowText(line);
      return verb == "status" ? text == arg : text.find(arg) != std::string::npos;
    });
    if (!seen) return Fail("status line reads '" + WindowText(line) + "'");
    return true;
  }
  if (verb == "still-open") {
    DWORD limit = (DWORD)atoi(arg.c_str());
    bool intruder = WaitFor(
        [&] {
          if (!IsWindow(main) || ChildEnded()) return true;
          for (HWND window : ChildWindows()) {
            if (window != main && KindOf(window) != kOther) return true;
          }
          return false;
        },
        limit);
    if (intruder) return Fail("main dialog closed or another window appeared");
    return true;
  }
  return Fail("unknown step");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: gui_driver PROGRAM [WORKDIR] -- STEP...\n");
    return 2;
  }
  int first = 2;
  const char* workdir = nullptr;
  if (std::string(argv[2]) != "--") {
    workdir = argv[2];
    first = 3;
  }
  if (first < argc && std::string(argv[first]) == "--") first++;
  std::string commandLine = std::string("\"") + argv[1] + "\" ignored arguments";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (!CreateProcessA(argv[1], &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, workdir, &startup,
                      &child)) {
    printf("FAIL start: error %lu\n", GetLastError());
    return 1;
  }
  for (int i = first; i < argc; i++) {
    if (!Step(argv[i])) {
      printf("FAIL step %d '%s': %s\n", i - first + 1, argv[i], failure.c_str());
      fflush(stdout);
      TerminateProcess(child.hProcess, 99);
      return 1;
    }
  }
  if (!ChildEnded()) {
    printf("FAIL program still running after the last step\n");
    TerminateProcess(child.hProcess, 99);
    return 1;
  }
  printf("DRIVER OK\n");
  return 0;
}
