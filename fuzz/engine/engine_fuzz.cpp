// libFuzzer target: any bytes as a self-extractor, extracted whole into a folder two levels inside a scratch folder,
// so an escape by a parent step or two shows up there. After each run the scratch folder holds only the archive and
// the target tree, no temporary file, and the status is a known code. The input's length picks the callbacks: none
// (after testing every member as the test command does), going on after failures, skips.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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
const std::regex kTemporaryName("~zv[0-9a-v]{5}\\.tmp");
bool targetExisted = false;

// Stops the run where libFuzzer shows why.
void Fail(bool failed, const char* what, const std::string& detail = "") {
  if (!failed) return;
  fprintf(stderr, "%s %s\n", what, detail.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (scratch.empty()) scratch = fs::temp_directory_path() / ("zarvel-engine-fuzz-" + std::to_string(getpid()));
  std::error_code ec;
  fs::remove_all(scratch, ec);
  fs::create_directories(scratch / "a" / "b");
  std::ofstream(scratch / "archive.zip", std::ios::binary).write((const char*)data, (std::streamsize)size);
  ArchiveOpen((scratch / "archive.zip").string().c_str());
  memberNames.clear();
  int mode = (int)(size % 4);
  if (errorCode == kStatusOk) {
    // The block's texts and the names are whole strings within their fields; the list counts what it holds.
    Fail(strnlen(defaultDirectory, kConfigFieldSize) >= (size_t)kConfigFieldSize, "default directory unterminated");
    Fail(strnlen(command, kConfigFieldSize) >= (size_t)kConfigFieldSize, "command unterminated");
    EntryList list;
    InitEntryList(&list);
    ReadCentralDirectory(&list);
    uint32_t seen = 0;
    for (CentralDirEntry* e = list.head; e != nullptr; e = e->next, seen++) {
      Fail(strnlen(e->name, kNameCapacity) >= (size_t)kNameCapacity, "name unterminated");
      std::string name = e->name;
      memberNames.insert(name.substr(name.find_last_of("/\\") + 1));  // npos + 1 is 0: the whole name
      if (mode == 0) TestEntry(e);  // the test command's path: every member to a null sink
      Fail(!IsKnownStatus(errorCode), "unknown status after a test", std::to_string(errorCode));
    }
    Fail(seen != list.count, "miscounted list");
    FreeEntryList(&list);
    entriesSeen = 0;
    // Going on after failures: a failed member leaves no file of its own but for a CRC mismatch; known where the
    // before-entry callback looked.
    if (mode >= 1) SetAfterEntryCallback([](const CentralHeader*, const char* targetPath, uint16_t outcome) {
      Fail(!IsKnownStatus(outcome), "unknown status", std::to_string(outcome));
      Fail(BeforeEntryCallback != nullptr && outcome != kStatusOk && outcome != kStatusCrcMismatch &&
               outcome != kStatusCannotCreate && !targetExisted && FileExists(targetPath),
           "partial file left:", targetPath + (" after " + std::to_string(outcome)));
      targetExisted = false;
      return true;
    });
    if (mode >= 2) SetProgressCallback([](uint64_t, uint64_t) { return true; });
    if (mode == 3) SetBeforeEntryCallback([](const CentralHeader*, const char* targetPath) {  // skips every second
      targetExisted = FileExists(targetPath);
      return (entriesSeen++ & 1) ? kAnswerSkip : kAnswerExtract;
    });
    SetOutputBaseDirectory((scratch / "a" / "b").string().c_str());
    ExtractAll();
  }
  Fail(!IsKnownStatus(errorCode), "unknown status", std::to_string(errorCode));
  ArchiveClose();
  for (const fs::directory_entry& item : fs::recursive_directory_iterator(scratch)) {
    std::string rel = item.path().lexically_relative(scratch).generic_string(), leaf = item.path().filename().string();
    Fail(rel != "archive.zip" && rel != "a" && rel != "a/b" && rel.rfind("a/b/", 0) != 0, "written outside:", rel);
    Fail(std::regex_match(leaf, kTemporaryName) && memberNames.count(leaf) == 0, "temporary file left:", rel);
  }
  fs::remove_all(scratch, ec);
  return 0;
}
