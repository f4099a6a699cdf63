// Shared pieces (and headers) of the archive, engine and robustness tests: runs with recording callbacks, patches of tool-made archives.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "common/test_support.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "platform/fault.h"

namespace engine_test {

std::string Fixture(const std::string& name);  // engine/NAME

// What the callbacks saw, in order: "before NAME", "progress W/T", "after NAME CODE".
extern std::vector<std::string> events;
extern int32_t defaultAnswer;      // BeforeEntryCallback's answer
extern uint32_t cancelAtProgress;  // progress answers false from this call on; 0 = never
extern bool afterAnswer;
// When set, RecordBefore skips the other members and arms `armedFault` at the `armedAt`-th call from its start.
extern std::string onlyMember;
extern int armedFault;
extern uint32_t armedAt;
int32_t RecordBefore(const CentralHeader* header, const char* targetPath);
bool RecordProgress(uint32_t written, uint32_t total);
bool RecordAfter(const CentralHeader* header, const char* targetPath, uint16_t outcome);
std::string Summary();  // the events as "B" (before), "p" (a run of progress) and the outcomes

enum Callbacks { kNoCallbacks = 0, kBefore = 1, kProgress = 2, kAfter = 4, kAllCallbacks = 7 };
// Opens `archive`, installs the callbacks named, extracts into `target` (core form), closes; returns errorCode.
uint16_t ExtractArchive(const std::string& archive, const std::string& target, int callbacks = kAllCallbacks);

// In a ZIP held in memory: the n-th central record's signature, the first data byte of its member.
size_t CentralRecord(const std::string& zip, int index);
size_t MemberData(const std::string& zip, int index);
void Patch16(std::string& zip, size_t at, uint16_t value);
void Patch32(std::string& zip, size_t at, uint32_t value);

// The files and folders below `dir`, relative, sorted; a list joined by spaces.
std::vector<std::string> TreeOf(const std::filesystem::path& dir);
std::string Joined(const std::vector<std::string>& items);

// A scratch directory with an empty out/; core state and recording callbacks reset around each test.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  testing_support::TempDir dir;
};

}  // namespace engine_test
