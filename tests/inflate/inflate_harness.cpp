// The decoder driver and the bit writer's code tables (see inflate_harness.h).
#include "tests/inflate/inflate_harness.h"

#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "common/test_support.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "inflate/inflate.h"
#include "platform/fault.h"
#include "tests/inflate/rfc1951_tables.h"

namespace {

InflateRun* currentRun = nullptr;
uint32_t cancelAt = 0;

bool RecordProgress(uint32_t written, uint32_t total) {
  currentRun->progress.push_back(written);
  return cancelAt == 0 || currentRun->progress.size() < cancelAt;
}

}  // namespace

void LengthCode(unsigned length, unsigned* symbol, unsigned* extraBits, unsigned* extraValue) {
  int i = 28;
  while (kRfcLengthBases[i] > length) i--;
  // 258 has its own code; 227 + 31 would also reach it but is not used.
  *symbol = 257 + i;
  *extraBits = kRfcLengthExtras[i];
  *extraValue = length - kRfcLengthBases[i];
}

void DistanceCode(unsigned distance, unsigned* code, unsigned* extraBits, unsigned* extraValue) {
  int i = 29;
  while (kRfcDistanceBases[i] > distance) i--;
  *code = i;
  *extraBits = i < 4 ? 0 : (i - 2) / 2;
  *extraValue = distance - kRfcDistanceBases[i];
}

uint32_t ReferenceCrc(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : bytes) crc = Crc32Step(c, crc);
  return ~crc;
}

InflateRun RunInflate(const std::string& compressed, const InflateOptions& options) {
  InflateRun run;
  testing_support::TempDir dir;
  testing_support::WriteFileBytes(dir.path() / "member", compressed + options.trailer);
  testing_support::ResetCoreState();

  archiveHandle = PlatformOpenRead(dir.Core("member").c_str());
  EXPECT_NE(archiveHandle, kNoHandle);
  archiveLength = (int64_t)(compressed.size() + options.trailer.size());
  outputHandle = PlatformOpenWrite(dir.Core("output").c_str());
  EXPECT_NE(outputHandle, kNoHandle);

  uint8_t* buffer = (uint8_t*)malloc(kInputBufferSize);
  int64_t size = options.compressedSize < 0 ? (int64_t)compressed.size() : options.compressedSize;
  ResetCompressedInput(buffer, (uint32_t)size);
  memset(&currentHeader, 0, sizeof currentHeader);
  WriteLe32(currentHeader.bytes + kCentralUncompressedSize, options.uncompressedSize);
  if (!options.keepWindow) memset(window, 0, kWindowSize);
  Crc32 = 0xFFFFFFFFu;
  bytesWritten = 0;
  currentRun = &run;
  cancelAt = options.cancelAtCall;
  SetProgressCallback(RecordProgress);
  uint32_t readsBefore = faultPlan.calls[kFaultRead];
  if (options.failReadAt != 0) faultPlan.failAt[kFaultRead] = readsBefore + options.failReadAt;

  run.result = InflateMember();
  ReleaseFixedTables();

  run.reads = faultPlan.calls[kFaultRead] - readsBefore;
  run.status = errorCode;
  run.crc = ~Crc32;
  run.bytesWritten = bytesWritten;
  free(buffer);
  PlatformClose(outputHandle);
  outputHandle = kNoHandle;
  PlatformClose(archiveHandle);
  archiveHandle = kNoHandle;
  run.output = testing_support::ReadFileBytes(dir.path() / "output");
  SetProgressCallback(nullptr);
  currentRun = nullptr;
  errorCode = 0;
  return run;
}
