// The output window's flush (CRC, write, count, progress, cancel) and the
// CRC-32 itself.
#include <string.h>

#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "inflate/inflate.h"
#include "tests/inflate/inflate_harness.h"

namespace {

std::vector<uint32_t> seen;
bool Progress(uint32_t written, uint32_t total) {
  seen.push_back(written);
  return true;
}

TEST(Crc32, KnownValuesAndSplitUpdates) {
  EXPECT_EQ(ReferenceCrc("123456789"), 0xCBF43926u);
  EXPECT_EQ(ReferenceCrc(""), 0u);
  std::string data = testing_support::RandomBytes(1000, 99);
  // Every split, including ones that leave an odd tail for the word loop.
  uint32_t whole = 0xFFFFFFFFu;
  Crc32Update(&whole, (const uint8_t*)data.data(), (uint32_t)data.size());
  EXPECT_EQ(~whole, ReferenceCrc(data));
  for (size_t split = 0; split <= 40; split++) {
    uint32_t crc = 0xFFFFFFFFu;
    Crc32Update(&crc, (const uint8_t*)data.data(), (uint32_t)split);
    Crc32Update(&crc, (const uint8_t*)data.data() + split, (uint32_t)(data.size() - split));
    ASSERT_EQ(crc, whole) << split;
  }
  uint32_t crc = 0x12345678u;
  Crc32Update(&crc, nullptr, 10);
  Crc32Update(&crc, (const uint8_t*)data.data(), 0);
  EXPECT_EQ(crc, 0x12345678u);
}

// Crc32Update takes wide steps on long buffers (groups of 16 or 64 bytes,
// depending on the processor); every length and starting alignment around
// their edges must give what the byte-at-a-time reference gives.
TEST(Crc32, WideStepsAgreeWithTheByteStepOnEveryLengthAndAlignment) {
  std::string data = testing_support::RandomBytes(40000, 17);
  const uint8_t* bytes = (const uint8_t*)data.data();
  auto reference = [&](size_t offset, size_t length, uint32_t start) {
    uint32_t c = start;
    for (size_t i = 0; i < length; i++) c = Crc32Step(bytes[offset + i], c);
    return c;
  };
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 700; n++) lengths.push_back(n);
  for (size_t n : {1023, 1024, 1025, 4095, 4096, 4097, 32767, 32768, 39000}) lengths.push_back(n);
  for (size_t offset = 0; offset < 17; offset++) {
    for (size_t n : lengths) {
      if (offset + n > data.size()) continue;
      // A register other than the initial one checks that it enters the
      // first group the way the byte step takes it.
      uint32_t start = offset % 2 ? 0xFFFFFFFFu : 0x9E3779B9u;
      uint32_t crc = start;
      Crc32Update(&crc, bytes + offset, (uint32_t)n);
      ASSERT_EQ(crc, reference(offset, n, start)) << "offset " << offset << " length " << n;
    }
  }
  // Long runs of one value, where a wrong fold constant is easily masked.
  std::string zeros(8192, '\0'), ones(8192, '\xff');
  EXPECT_EQ(~[&] { uint32_t c = 0xFFFFFFFFu; Crc32Update(&c, (const uint8_t*)zeros.data(), 8192); return c; }(),
            ReferenceCrc(zeros));
  EXPECT_EQ(~[&] { uint32_t c = 0xFFFFFFFFu; Crc32Update(&c, (const uint8_t*)ones.data(), 8192); return c; }(),
            ReferenceCrc(ones));
}

TEST(FlushWindow, AnEmptyFlushStillReportsProgressButChangesNothingElse) {
  testing_support::TempDir dir;
  testing_support::ResetCoreState();
  outputHandle = PlatformOpenWrite(dir.Core("out").c_str());
  ASSERT_NE(outputHandle, kNoHandle);
  Crc32 = 0xFFFFFFFFu;
  bytesWritten = 0;
  seen.clear();
  SetProgressCallback(Progress);
  FlushWindow(0);
  EXPECT_EQ(Crc32, 0xFFFFFFFFu);
  EXPECT_EQ(bytesWritten, 0u);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], 0u);
  memcpy(window, "abc", 3);
  FlushWindow(3);
  EXPECT_EQ(~Crc32, ReferenceCrc("abc"));
  EXPECT_EQ(bytesWritten, 3u);
  PlatformClose(outputHandle);
  outputHandle = kNoHandle;
  EXPECT_EQ(testing_support::ReadFileBytes(dir.path() / "out"), "abc");
  testing_support::ResetCoreState();
}

TEST(FlushWindow, AFailedWriteSetsFiveAndStopsProgress) {
  testing_support::ResetCoreState();
  outputHandle = kNoHandle;  // every write fails
  Crc32 = 0xFFFFFFFFu;
  bytesWritten = 0;
  seen.clear();
  SetProgressCallback(Progress);
  memcpy(window, "xyz", 3);
  FlushWindow(3);
  EXPECT_EQ(errorCode, kStatusFileError);
  EXPECT_EQ(bytesWritten, 3u);  // counted all the same
  EXPECT_EQ(~Crc32, ReferenceCrc("xyz"));
  EXPECT_TRUE(seen.empty());
  testing_support::ResetCoreState();
}

std::string StoredMember(const std::string& data) {
  BitWriter w;
  for (size_t at = 0; at < data.size() || at == 0; at += 65535) {
    size_t n = data.size() - at < 65535 ? data.size() - at : 65535;
    w.Stored(at + n >= data.size(), data.substr(at, n));
    if (data.empty()) break;
  }
  return w.Bytes();
}

TEST(FlushWindow, AMemberOfExactlyOneWindowFlushesTwice) {
  std::string data = testing_support::RandomBytes(32768, 3);
  InflateRun run = RunInflate(StoredMember(data));
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.progress, (std::vector<uint32_t>{32768, 32768}));
  EXPECT_EQ(run.output, data);
  EXPECT_EQ(run.crc, ReferenceCrc(data));
}

TEST(FlushWindow, AnEmptyMemberHasCrcZeroAndOneProgressCall) {
  InflateRun run = RunInflate(StoredMember(""));
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.crc, 0u);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.progress, (std::vector<uint32_t>{0}));
}

TEST(FlushWindow, AfterACancelDecodingGoesOnWithoutFurtherProgressCalls) {
  std::string data = testing_support::RandomBytes(5 * 32768 + 100, 4);
  InflateOptions options;
  options.cancelAtCall = 2;
  InflateRun run = RunInflate(StoredMember(data), options);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.status, kStatusCancelled);
  EXPECT_EQ(run.progress.size(), 2u);
  // The whole member is still decoded, written and counted.
  EXPECT_EQ(run.output, data);
  EXPECT_EQ(run.bytesWritten, data.size());
  EXPECT_EQ(run.crc, ReferenceCrc(data));
}

}  // namespace
