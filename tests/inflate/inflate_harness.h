// Runs the decoder as the entry extraction does, from a temporary file to another, and checks the run against the
// output it must give.
#pragma once

#include <string.h>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "common/test_support.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "inflate/inflate.h"
#include "platform/fault.h"
#include "tests/inflate/bit_writer.h"

struct InflateOptions {
  int64_t compressedSize = -1;  // -1: the whole stream; the trailer follows it in the file
  std::string trailer;
  uint32_t cancelAtCall = 0;  // progress answers false from this call on (1-based)
  uint32_t failReadAt = 0;    // this archive read fails (1-based)
  bool keepWindow = false;    // else the window starts zeroed, as in a fresh process
};

// Tests set fastPathBmi2 to -1 for the plain build of the fast path; this asks the processor again.
struct AskAgainAfter {
  ~AskAgainAfter() { fastPathBmi2 = 0; }
};

inline uint32_t ReferenceCrc(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : bytes) crc = Crc32Step(c, crc);
  return ~crc;
}

// Checks result and status, the output file, count and CRC, and progress: at every full window, then at the end of a
// good member, never after a cancel. Returns the archive reads made while decoding.
inline uint32_t Inflate(const std::string& stream, int result, const std::string& output,
                        const InflateOptions& options = {}) {
  static std::vector<uint32_t> calls;
  static uint32_t cancelAt;
  calls.clear(), cancelAt = options.cancelAtCall;
  testing_support::TempDir dir;
  testing_support::WriteFileBytes(dir.path() / "member", stream + options.trailer);
  testing_support::ResetCoreState();
  archiveHandle = PlatformOpenRead(dir.Core("member").c_str());
  archiveLength = (int64_t)(stream.size() + options.trailer.size());
  outputHandle = PlatformOpenWrite(dir.Core("output").c_str());
  std::vector<uint8_t> buffer(kInputBufferSize);
  ResetCompressedInput(buffer.data(), (uint32_t)(options.compressedSize < 0 ? stream.size() : options.compressedSize));
  memset(&currentHeader, 0, sizeof currentHeader);
  if (!options.keepWindow) memset(window, 0, kWindowSize);
  Crc32 = 0xFFFFFFFFu, bytesWritten = 0;
  SetProgressCallback([](uint32_t written, uint32_t) {
    calls.push_back(written);
    return cancelAt == 0 || calls.size() < cancelAt;
  });
  uint32_t readsBefore = faultPlan.calls[kFaultRead];
  if (options.failReadAt != 0) faultPlan.failAt[kFaultRead] = readsBefore + options.failReadAt;
  EXPECT_EQ(InflateMember(), result);
  ReleaseFixedTables();
  uint32_t reads = faultPlan.calls[kFaultRead] - readsBefore;
  EXPECT_EQ(errorCode, result ? kStatusDamaged : options.cancelAtCall ? kStatusCancelled : kStatusOk);
  EXPECT_EQ(bytesWritten, output.size());
  EXPECT_TRUE(result != 0 || ~Crc32 == ReferenceCrc(output));
  PlatformClose(outputHandle);
  testing_support::ResetCoreState();
  std::string written = testing_support::ReadFileBytes(dir.path() / "output");
  EXPECT_TRUE(written == output) << written.size() << " bytes, not " << output.size();
  std::vector<uint32_t> progress;
  for (uint32_t n = kWindowSize; n <= output.size(); n += kWindowSize) progress.push_back(n);
  if (result == 0) progress.push_back((uint32_t)output.size());
  if (options.cancelAtCall != 0 && progress.size() > options.cancelAtCall) progress.resize(options.cancelAtCall);
  EXPECT_EQ(calls, progress);
  return reads;
}
