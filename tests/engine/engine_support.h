// Shared pieces of the engine tests: running a whole extraction with
// recording callbacks, and patching fields of a tool-made archive's records.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "common/test_support.h"

namespace engine_test {

std::string Fixture(const std::string& name);

// What the callbacks saw, in order: "before NAME", "progress W/T", "after NAME CODE".
extern std::vector<std::string> events;
// BeforeEntryCallback's answer, per member name; members not listed get `defaultAnswer`.
extern int32_t defaultAnswer;
// ProgressCallback answers false from this call on (1-based; 0 = never).
extern uint32_t cancelAtProgress;
extern bool afterAnswer;

int32_t RecordBefore(const CentralHeader* header, const char* targetPath);
bool RecordProgress(uint32_t written, uint32_t total);
bool RecordAfter(const CentralHeader* header, const char* targetPath, uint16_t outcome);

enum Callbacks { kNoCallbacks = 0, kBefore = 1, kProgress = 2, kAfter = 4, kAllCallbacks = 7 };

// Opens `archive`, installs the recording callbacks named, extracts into
// `target` (core form) and closes; returns the run's errorCode.
uint16_t ExtractArchive(const std::string& archive, const std::string& target,
                        int callbacks = kAllCallbacks);

// The file offset of the n-th central record (0-based) of a ZIP held in memory.
size_t CentralRecord(const std::string& zip, int index);
void Patch16(std::string& zip, size_t at, uint16_t value);
void Patch32(std::string& zip, size_t at, uint32_t value);
// The offset of the first data byte of the member of the n-th central record.
size_t MemberData(const std::string& zip, int index);

// Names of the files and folders below `dir`, relative, sorted.
std::vector<std::string> TreeOf(const std::filesystem::path& dir);

// A scratch directory with an empty out/ in it, the core state reset and the
// recording callbacks back at their defaults, before and after each test.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  testing_support::TempDir dir;
};

}  // namespace engine_test
