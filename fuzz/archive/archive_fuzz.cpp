// libFuzzer target: any bytes as a whole self-extractor file. Opening it (end-record scan, configuration block),
// reading its central directory and testing every member against a null sink must end, stay inside memory the reader
// owns, and report only codes of the status table.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "archive/archive.h"
#include "engine/extract.h"
#include "engine/status.h"

namespace {

std::string archiveFile;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (archiveFile.empty()) archiveFile = "/tmp/zarvel-archive-fuzz-" + std::to_string(getpid());
  FILE* file = fopen(archiveFile.c_str(), "wb");
  if (file == nullptr) return 0;
  fwrite(data, 1, size, file);
  fclose(file);

  ArchiveOpen(archiveFile.c_str());
  if (!IsKnownStatus(errorCode)) abort();
  if (errorCode == kStatusOk) {
    // The block's texts are always whole strings within their fields.
    if (strnlen(defaultDirectory, kConfigFieldSize) >= (size_t)kConfigFieldSize) abort();
    if (strnlen(command, kConfigFieldSize) >= (size_t)kConfigFieldSize) abort();
    EntryList list;
    InitEntryList(&list);
    ReadCentralDirectory(&list);
    if (!IsKnownStatus(errorCode)) abort();
    uint32_t seen = 0;
    for (CentralDirEntry* e = list.head; e != nullptr; e = e->next) {
      seen++;
      if (strnlen(e->name, kNameCapacity) >= (size_t)kNameCapacity) abort();
      char target[kNameCapacity];
      BuildTargetPath(e->name, target);
      TestEntry(&e->header);
      if (!IsKnownStatus(errorCode)) abort();
    }
    if (seen != list.count) abort();
    FreeEntryList(&list);
  }
  ArchiveClose();
  return 0;
}
