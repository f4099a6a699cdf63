// The three engine callbacks of the user interface and the status line.
//
// A run has no thread of its own: the engine works inside the Extract
// command, and every callback empties the message queue so that clicks reach
// the main dialog meanwhile. A click on Cancel only sets cancelRequested;
// the callbacks turn it into the engine's cancel answers.
//
// The engine forgets a member's outcome once the after-entry callback says
// "go on". The first failing outcome is kept here, so that a run with a
// damaged member, or one cancelled while its last member was written, is
// never reported as a success.
#include <string.h>

#include "engine/extract.h"
#include "shell/shell.h"

namespace {

// The largest value that can be multiplied by 10 without leaving 32 bits.
const uint32_t kLargestTimesTen = 429496729;
const int kPerMilleDigits = 3;

void SetStatusText(const char* text) {
  if (shellHooks.setStatusText != nullptr) shellHooks.setStatusText(text);
}

// Yes, No, Replace all and Cancel of the prompt, as the engine's answers.
// Anything else means the prompt could not be shown: nothing is written
// over an existing file without consent, so that ends the run.
int32_t AnswerFromPrompt(int button) {
  switch (button) {
    case IDC_PROMPT_YES: return kAnswerExtract;
    case IDC_PROMPT_NO: return kAnswerSkip;
    case IDC_PROMPT_REPLACE_ALL:
      replaceAll = true;
      return kAnswerExtract;
    default: return kAnswerCancel;
  }
}

int AskReplace(const char* directory, const char* name) {
  FormatText(promptText, sizeof promptText, kPromptFormat, directory, name);
  if (shellHooks.showReplacePrompt == nullptr) return 0;
  return shellHooks.showReplacePrompt();
}

}  // namespace

void PumpMessages() {
  if (shellHooks.pumpMessages != nullptr) shellHooks.pumpMessages();
}

uint32_t ComputePerMille(uint32_t done, uint32_t total) {
  for (int digit = 0; digit < kPerMilleDigits; digit++) {
    if (done <= kLargestTimesTen) {
      done *= 10;
    } else {
      total /= 10;
    }
  }
  if (done > UINT32_MAX - total / 2) {
    done /= 2;
    total /= 2;
  }
  if (total == 0) return 0;
  return (done + total / 2) / total;
}

void FormatRunResult(char* buffer, uint16_t code, const char* archiveName) {
  if (code == kStatusOk || code == kStatusCancelled) {
    FormatText(buffer, kResultTextCapacity, code == kStatusOk ? kSuccessFormat : kCancelledFormat,
               archiveName);
  } else {
    FormatText(buffer, kResultTextCapacity, kErrorFormat, (unsigned)code, archiveName);
  }
}

void ShowRunResult(uint16_t code, const char* archiveName) {
  char text[kResultTextCapacity];
  FormatRunResult(text, code, archiveName);
  SetStatusText(text);
}

int32_t OnBeforeEntry(const CentralHeader* header, const char* targetPath) {
  PumpMessages();
  char directory[kDirectoryPartCapacity];
  char name[kNamePartCapacity];
  SplitPath(targetPath, directory, name);
  int32_t answer = kAnswerExtract;
  // Something of that name, file or directory, is never replaced unasked.
  if (FileExists(targetPath) && !replaceAll) answer = AnswerFromPrompt(AskReplace(directory, name));
  CopyText(currentFileName, name, sizeof currentFileName);
  PumpMessages();
  char text[kBeforeEntryTextCapacity];
  FormatText(text, sizeof text, kExtractingFormat, currentFileName);
  SetStatusText(text);
  PumpMessages();
  // Last, so that a Cancel clicked at any point above turns every answer
  // into cancel.
  return cancelRequested ? kAnswerCancel : answer;
}

bool OnProgress(uint32_t written, uint32_t total) {
  PumpMessages();
  uint32_t perMille = ComputePerMille(written, total);
  char text[kProgressTextCapacity];
  FormatText(text, sizeof text, kProgressFormat, currentFileName, (int)(perMille / 10),
             (int)(perMille % 10));
  SetStatusText(text);
  PumpMessages();
  return !cancelRequested;
}

bool OnAfterEntry(const CentralHeader* header, const char* targetPath, uint16_t outcome) {
  if (outcome != kStatusOk && firstFailedOutcome == kStatusOk) firstFailedOutcome = outcome;
  return true;
}

uint16_t SettleRunStatus(uint16_t walkStatus) {
  if (firstFailedOutcome != kStatusOk) return firstFailedOutcome;
  if (walkStatus != kStatusOk) return walkStatus;
  return cancelRequested ? kStatusCancelled : kStatusOk;
}
