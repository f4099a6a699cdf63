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
//
// Texts that name a member or a directory are made to fit their box: the
// name loses the middle of its bytes to "...", as few as the font allows,
// so that the percentage and the prompt's question always show.
#include <string.h>

#include "engine/extract.h"
#include "shell/shell.h"

namespace {

// The largest value that can be multiplied by 10 without leaving 32 bits.
const uint32_t kLargestTimesTen = 429496729;
const int kPerMilleDigits = 3;

// A text is set only when it differs from the one shown: each redraw of the
// line costs far more than the comparison, and progress comes per read.
void SetStatusText(const char* text) {
  if (strncmp(text, shownStatusText, sizeof shownStatusText - 1) == 0) return;
  CopyText(shownStatusText, text, sizeof shownStatusText);
  if (shellHooks.setStatusText != nullptr) shellHooks.setStatusText(text);
}

// The member's progress text at its widest, 100.0 %, which every
// percentage of the member must fit as well.
void ComposeWidestProgress(char* text, const char* name, const char*) {
  FormatText(text, kProgressTextCapacity, kProgressFormat, name, 100, 0);
}

void ComposePromptForDirectory(char* text, const char* directory, const char* name) {
  FormatText(text, kPromptTextCapacity, kPromptFormat, directory, name);
}

void ComposePromptForName(char* text, const char* name, const char* directory) {
  FormatText(text, kPromptTextCapacity, kPromptFormat, directory, name);
}

bool Fits(const char* text, int width, int height) {
  return shellHooks.textFits == nullptr || shellHooks.textFits(text, width, height);
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

// The directory is shortened first; only a name that does not fit beside
// "..." loses its own middle.
int AskReplace(const char* directory, const char* name) {
  char shownDirectory[kDirectoryPartCapacity];
  char shownName[kNamePartCapacity];
  FitPiece(directory, name, ComposePromptForDirectory, PROMPT_TEXT_WIDTH, PROMPT_TEXT_HEIGHT, shownDirectory,
           sizeof shownDirectory);
  FitPiece(name, shownDirectory, ComposePromptForName, PROMPT_TEXT_WIDTH, PROMPT_TEXT_HEIGHT, shownName,
           sizeof shownName);
  FormatText(promptText, sizeof promptText, kPromptFormat, shownDirectory, shownName);
  if (shellHooks.showReplacePrompt == nullptr) return 0;
  return shellHooks.showReplacePrompt();
}

}  // namespace

void CutMiddle(const char* piece, size_t cut, char* out, size_t capacity) {
  size_t length = strlen(piece);
  if (cut == 0) {
    CopyText(out, piece, capacity);
    return;
  }
  if (cut > length) cut = length;
  // The head ends on the last character boundary at or before its share,
  // the tail starts at the first one at or after the cut.
  size_t headShare = (length - cut + 1) / 2, tailFrom = headShare + cut;
  size_t head = 0, tail = length;
  for (size_t at = 0; at < length;) {
    size_t next = at + CharacterSize(piece + at);
    if (next <= headShare) head = next;
    if (at >= tailFrom) {
      tail = at;
      break;
    }
    at = next;
  }
  FormatText(out, capacity, "%.*s...%s", (int)head, piece, piece + tail);
}

void FitPiece(const char* piece, const char* other, ComposeText compose, int width, int height, char* out,
              size_t capacity) {
  char text[kResultTextCapacity];
  // The least cut that fits lies in [low, high]; a cut of the whole piece
  // is taken when nothing fits.
  size_t low = 0, high = strlen(piece);
  while (low < high) {
    size_t cut = low == 0 ? 0 : low + (high - low) / 2;
    CutMiddle(piece, cut, out, capacity);
    compose(text, out, other);
    if (Fits(text, width, height)) {
      high = cut;
    } else {
      low = cut + 1;
    }
  }
  CutMiddle(piece, low, out, capacity);
}

void PumpMessages() {
  if (shellHooks.pumpMessages != nullptr) shellHooks.pumpMessages();
}

uint32_t ComputePerMille(uint64_t wideDone, uint64_t wideTotal) {
  // Past 32 bits both are halved alike until they fit: the ratio keeps more
  // than 30 bits, far beyond the three digits shown, and 100.0 % stays exact.
  while ((wideDone | wideTotal) > UINT32_MAX) {
    wideDone >>= 1;
    wideTotal >>= 1;
  }
  uint32_t done = (uint32_t)wideDone, total = (uint32_t)wideTotal;
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
  FitPiece(name, nullptr, ComposeWidestProgress, STATUS_LINE_WIDTH, STATUS_LINE_HEIGHT, currentFileName,
           sizeof currentFileName);
  PumpMessages();
  char text[kBeforeEntryTextCapacity];
  FormatText(text, sizeof text, kExtractingFormat, currentFileName);
  SetStatusText(text);
  PumpMessages();
  // Last, so that a Cancel clicked at any point above turns every answer
  // into cancel.
  return cancelRequested ? kAnswerCancel : answer;
}

bool OnProgress(uint64_t written, uint64_t total) {
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
