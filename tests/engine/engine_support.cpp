// Engine test helpers (see engine_support.h).
#include "engine/engine_support.h"

#include <algorithm>

namespace engine_test {

std::vector<std::string> events;
int32_t defaultAnswer = kAnswerExtract;
uint32_t cancelAtProgress = 0, armedAt = 0;
static uint32_t progressCalls = 0;
bool afterAnswer = true;
std::string onlyMember;
int armedFault = -1;

std::string Fixture(const std::string& name) { return testing_support::FixturePath("engine/" + name); }

int32_t RecordBefore(const CentralHeader* header, const char*) {
  events.push_back(std::string("before ") + EntryNameOf(header));
  if (!onlyMember.empty() && onlyMember != EntryNameOf(header)) return kAnswerSkip;
  if (armedFault >= 0) faultPlan.failAt[armedFault] = faultPlan.calls[armedFault] + armedAt;
  return defaultAnswer;
}

bool RecordProgress(uint32_t written, uint32_t total) {
  events.push_back("progress " + std::to_string(written) + "/" + std::to_string(total));
  return cancelAtProgress == 0 || ++progressCalls < cancelAtProgress;
}

bool RecordAfter(const CentralHeader* header, const char*, uint16_t outcome) {
  events.push_back(std::string("after ") + EntryNameOf(header) + " " + std::to_string(outcome));
  return afterAnswer;
}

std::string Summary() {
  std::vector<std::string> items;
  for (const std::string& e : events) {
    std::string item = e[0] == 'b' ? "B" : e[0] == 'p' ? "p" : e.substr(e.rfind(' ') + 1);
    if (item != "p" || items.empty() || items.back() != "p") items.push_back(item);
  }
  return Joined(items);
}

uint16_t ExtractArchive(const std::string& archive, const std::string& target, int callbacks) {
  progressCalls = 0;
  ArchiveOpen(archive.c_str());
  if (errorCode != kStatusOk) return errorCode;
  SetBeforeEntryCallback(callbacks & kBefore ? RecordBefore : nullptr);
  SetProgressCallback(callbacks & kProgress ? RecordProgress : nullptr);
  SetAfterEntryCallback(callbacks & kAfter ? RecordAfter : nullptr);
  if (!target.empty()) SetOutputBaseDirectory(target.c_str());
  ExtractAll();
  ArchiveClose();
  return errorCode;
}

static uint32_t Le(const std::string& s, size_t at, int bytes) {
  return bytes == 2 ? ReadLe16((const uint8_t*)&s[at]) : ReadLe32((const uint8_t*)&s[at]);
}

size_t CentralRecord(const std::string& zip, int index) {
  size_t at = Le(zip, zip.rfind(std::string("PK\x05\x06", 4)) + 16, 4);
  for (int i = 0; i < index; i++) at += 46 + Le(zip, at + 28, 2) + Le(zip, at + 30, 2) + Le(zip, at + 32, 2);
  return at;
}

size_t MemberData(const std::string& zip, int index) {
  size_t local = Le(zip, CentralRecord(zip, index) + 42, 4);
  return local + 30 + Le(zip, local + 26, 2) + Le(zip, local + 28, 2);
}

void Patch16(std::string& zip, size_t at, uint16_t value) { WriteLe16((uint8_t*)&zip[at], value); }
void Patch32(std::string& zip, size_t at, uint32_t value) { WriteLe32((uint8_t*)&zip[at], value); }

std::vector<std::string> TreeOf(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::recursive_directory_iterator(dir)) names.push_back(e.path().lexically_relative(dir).generic_string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
  return text;
}

void EngineTest::SetUp() {
  testing_support::ResetCoreState();
  events.clear(), onlyMember.clear();
  defaultAnswer = kAnswerExtract, cancelAtProgress = progressCalls = 0, afterAnswer = true, armedFault = -1;
  std::filesystem::create_directory(dir.path() / "out");
}

void EngineTest::TearDown() { testing_support::ResetCoreState(); }

}  // namespace engine_test
