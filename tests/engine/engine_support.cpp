// Engine test helpers (see engine_support.h).
#include "engine/engine_support.h"

#include <stdio.h>

#include <algorithm>

#include "engine/extract.h"
#include "engine/status.h"

namespace engine_test {

std::vector<std::string> events;
int32_t defaultAnswer = kAnswerExtract;
uint32_t cancelAtProgress = 0;
bool afterAnswer = true;
static uint32_t progressCalls = 0;

std::string Fixture(const std::string& name) { return testing_support::FixturePath("engine/" + name); }

int32_t RecordBefore(const CentralHeader* header, const char* targetPath) {
  events.push_back(std::string("before ") + EntryNameOf(header));
  return defaultAnswer;
}

bool RecordProgress(uint32_t written, uint32_t total) {
  events.push_back("progress " + std::to_string(written) + "/" + std::to_string(total));
  progressCalls++;
  return cancelAtProgress == 0 || progressCalls < cancelAtProgress;
}

bool RecordAfter(const CentralHeader* header, const char* targetPath, uint16_t outcome) {
  events.push_back(std::string("after ") + EntryNameOf(header) + " " + std::to_string(outcome));
  return afterAnswer;
}

uint16_t ExtractArchive(const std::string& archive, const std::string& target, int callbacks) {
  progressCalls = 0;
  ArchiveOpen(archive.c_str());
  if (errorCode != kStatusOk) return errorCode;
  if (callbacks & kBefore) SetBeforeEntryCallback(RecordBefore);
  if (callbacks & kProgress) SetProgressCallback(RecordProgress);
  if (callbacks & kAfter) SetAfterEntryCallback(RecordAfter);
  if (!target.empty()) SetOutputBaseDirectory(target.c_str());
  ExtractAll();
  uint16_t status = errorCode;
  ArchiveClose();
  return status;
}

static uint32_t Le32(const std::string& s, size_t at) {
  return (uint32_t)(uint8_t)s[at] | (uint32_t)(uint8_t)s[at + 1] << 8 |
         (uint32_t)(uint8_t)s[at + 2] << 16 | (uint32_t)(uint8_t)s[at + 3] << 24;
}
static uint16_t Le16(const std::string& s, size_t at) {
  return (uint16_t)((uint8_t)s[at] | (uint8_t)s[at + 1] << 8);
}

size_t CentralRecord(const std::string& zip, int index) {
  size_t end = zip.rfind(std::string("PK\x05\x06", 4));
  size_t at = Le32(zip, end + 16);
  for (int i = 0; i < index; i++) at += 46 + Le16(zip, at + 28) + Le16(zip, at + 30) + Le16(zip, at + 32);
  return at;
}

void Patch16(std::string& zip, size_t at, uint16_t value) {
  zip[at] = (char)value;
  zip[at + 1] = (char)(value >> 8);
}

void Patch32(std::string& zip, size_t at, uint32_t value) {
  for (int i = 0; i < 4; i++) zip[at + i] = (char)(value >> (8 * i));
}

size_t MemberData(const std::string& zip, int index) {
  size_t local = Le32(zip, CentralRecord(zip, index) + 42);
  return local + 30 + Le16(zip, local + 26) + Le16(zip, local + 28);
}

std::vector<std::string> TreeOf(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    names.push_back(e.path().lexically_relative(dir).generic_string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void EngineTest::SetUp() {
  testing_support::ResetCoreState();
  events.clear();
  defaultAnswer = kAnswerExtract;
  cancelAtProgress = 0;
  afterAnswer = true;
  std::filesystem::create_directory(dir.path() / "out");
}

void EngineTest::TearDown() { testing_support::ResetCoreState(); }

}  // namespace engine_test
