// The extraction driver: one run over the open archive. The central
// directory is read afresh into an entry list, every member is turned into a
// target path, offered to the shell, extracted, and its outcome handed back.
//
// A member whose name is unsafe or cannot be represented, or whose target
// path passes through a link, fails with 19963 without any question to the
// shell and without touching the disk.
#include <string.h>

#include "engine/extract.h"
#include "engine/status.h"

namespace {

// Directory entries (names ending in a separator) have no file to write.
bool NamesNoFile(const char* path) {
  size_t n = strlen(path);
  return n == 0 || path[n - 1] == '\\' || path[n - 1] == '/';
}

void WalkEntries(EntryList* list) {
  errorCode = kStatusOk;
  for (CentralDirEntry* entry = list->head; entry != nullptr; entry = entry->next) {
    if (errorCode != kStatusOk) break;
    if (!entry->selected) continue;
    char targetPath[kNameCapacity];  // cleared and filled by BuildTargetPath
    bool usable = !entry->nameUnusable && BuildTargetPath(entry->name, targetPath) &&
                  !PassesThroughLink(targetPath);
    if (NamesNoFile(usable ? targetPath : entry->name)) continue;
    if (!usable) {
      errorCode = kStatusCannotCreate;
    } else {
      if (BeforeEntryCallback != nullptr) {
        int32_t answer = BeforeEntryCallback(&entry->header, targetPath);
        if (answer == kAnswerSkip) continue;
        if (answer == kAnswerCancel) errorCode = kStatusCancelled;
      }
      // A cancel before the member ends the walk without an outcome for it.
      if (errorCode != kStatusOk) continue;
      ExtractEntry(entry, targetPath);
    }
    if (AfterEntryCallback != nullptr) {
      if (!AfterEntryCallback(&entry->header, usable ? targetPath : entry->name, errorCode)) break;
      errorCode = kStatusOk;
    }
  }
}

}  // namespace

void ExtractAll() {
  EntryList list;
  InitEntryList(&list);
  errorCode = kStatusOk;
  ReadCentralDirectory(&list);
  if (errorCode == kStatusOk) WalkEntries(&list);
  FreeEntryList(&list);
}
