// libFuzzer target: any bytes as a self-extractor, extracted whole into a folder two levels inside a scratch folder,
// so an escape by a parent step or two shows up there. After each run the scratch folder holds only the archive and
// the target tree, no temporary file, and the status is a known code. The input's length picks the callbacks: none
// (after testing every member as the test command does), going on after failures, skips.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "archive/archive.h"
#include "engine/extract.h"
#include "engine/status.h"

namespace fs = std::filesystem;

namespace {

fs::path scratch;
uint32_t entriesSeen = 0;
// Members' last name components: a member may be named like a temporary file.
std::set<std::string> memberNames;
const std::regex kTemporaryName("~zv[0-9]{4}\\.tmp");

bool targetExisted = false;

int32_t SkipEverySecond(const CentralHeader*, const char* targetPath) {
  targetExisted = FileExists(targetPath);
  return (entriesSeen++ & 1) ? kAnswerSkip : kAnswerExtract;
}
bool KeepGoing(uint32_t, uint32_t) { return true; }
// A failed member leaves no file of its own but for a CRC mismatch; known where the before-entry callback looked.
bool GoOn(const CentralHeader*, const char* targetPath, uint16_t outcome) {
  if (!IsKnownStatus(outcome)) abort();
  if (BeforeEntryCallback != nullptr && outcome != kStatusOk && outcome != kStatusCrcMismatch &&
      outcome != kStatusCannotCreate && !targetExisted && FileExists(targetPath)) {
    fprintf(stderr, "partial file left: %s after %u\n", targetPath, outcome);
    abort();
  }
  targetExisted = false;
  return true;
}

void CheckScratch() {
  for (auto it = fs::recursive_directory_iterator(scratch); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = it->path().lexically_relative(scratch).generic_string();
    bool inside = rel == "archive.zip" || rel == "a" || rel == "a/b" || rel.rfind("a/b/", 0) == 0;
    if (!inside) {
      fprintf(stderr, "written outside the target: %s\n", rel.c_str());
      abort();
    }
    std::string leaf = it->path().filename().string();
    if (std::regex_match(leaf, kTemporaryName) && memberNames.count(leaf) == 0) {
      fprintf(stderr, "temporary file left: %s\n", rel.c_str());
      abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (scratch.empty()) scratch = fs::temp_directory_path() / ("zarvel-engine-fuzz-" + std::to_string(getpid()));
  std::error_code ec;
  fs::remove_all(scratch, ec);
  fs::create_directories(scratch / "a" / "b");
  std::string archive = (scratch / "archive.zip").string();
  FILE* file = fopen(archive.c_str(), "wb");
  if (file == nullptr) return 0;
  fwrite(data, 1, size, file);
  fclose(file);

  ArchiveOpen(archive.c_str());
  memberNames.clear();
  int mode = (int)(size % 4);
  if (errorCode == kStatusOk) {
    // The block's texts and the names are whole strings within their fields; the list counts what it holds.
    const size_t field = kConfigFieldSize, nameField = kNameCapacity;
    if (strnlen(defaultDirectory, field) >= field || strnlen(command, field) >= field) abort();
    EntryList list;
    InitEntryList(&list);
    ReadCentralDirectory(&list);
    uint32_t seen = 0;
    for (CentralDirEntry* e = list.head; e != nullptr; e = e->next, seen++) {
      if (strnlen(e->name, nameField) >= nameField) abort();
      std::string name = e->name;
      size_t cut = name.find_last_of("/\\");
      memberNames.insert(cut == std::string::npos ? name : name.substr(cut + 1));
      if (mode == 0) TestEntry(&e->header);  // the test command's path: every member to a null sink
      if (!IsKnownStatus(errorCode)) abort();
    }
    if (seen != list.count) abort();
    FreeEntryList(&list);
    entriesSeen = 0;
    if (mode >= 1) SetAfterEntryCallback(GoOn);
    if (mode >= 2) SetProgressCallback(KeepGoing);
    if (mode == 3) SetBeforeEntryCallback(SkipEverySecond);
    SetOutputBaseDirectory((scratch / "a" / "b").string().c_str());
    ExtractAll();
  }
  if (!IsKnownStatus(errorCode)) abort();
  ArchiveClose();
  CheckScratch();
  fs::remove_all(scratch, ec);
  return 0;
}
