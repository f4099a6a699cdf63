// The decoder against zlib as an independent control: real streams from every
// level and strategy, and the same streams cut short at every byte.
#include <zlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "inflate/inflate.h"
#include "tests/inflate/inflate_harness.h"

namespace {

std::string RawDeflate(const std::string& input, int level, int strategy, int memLevel = 8) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, memLevel, strategy), Z_OK);
  std::string out(deflateBound(&z, input.size()) + 16, '\0');
  z.next_in = (Bytef*)input.data();
  z.avail_in = (uInt)input.size();
  z.next_out = (Bytef*)&out[0];
  z.avail_out = (uInt)out.size();
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

uint32_t ZlibCrc(const std::string& bytes) {
  return (uint32_t)crc32(0, (const Bytef*)bytes.data(), (uInt)bytes.size());
}

std::string FileOrEmpty(const char* path, size_t limit) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return std::string();
  std::string bytes = testing_support::ReadFileBytes(path);
  if (bytes.size() > limit) bytes.resize(limit);
  return bytes;
}

// Text with long and short repeats, like source code.
std::string Repetitive(size_t size, uint32_t seed) {
  static const char* words[] = {"inflate ", "window ", "the ", "of ", "Huffman\n", "{\n  ", "}\n",
                                "return 0;", "  ", "distance", "length "};
  std::string out;
  uint32_t state = seed;
  while (out.size() < size) {
    state = state * 1103515245u + 12345u;
    out += words[(state >> 16) % 11];
  }
  out.resize(size);
  return out;
}

struct NamedInput {
  std::string name;
  std::string bytes;
};

std::vector<NamedInput> Inputs() {
  std::vector<NamedInput> inputs = {
      {"empty", ""},
      {"one byte", "x"},
      {"random 100000", testing_support::RandomBytes(100000, 7)},
      {"zeros 200000", std::string(200000, '\0')},
      {"repetitive 300000", Repetitive(300000, 3)},
      {"exactly one window", Repetitive(32768, 5)},
      {"mixed", Repetitive(50000, 9) + testing_support::RandomBytes(40000, 11) + std::string(70000, 'a')},
  };
  // Byte values with halving frequencies: the literal codes run to the
  // longest lengths, past every table's first level.
  std::string skewed;
  uint32_t state = 77;
  while (skewed.size() < 120000) {
    state = state * 1103515245u + 12345u;
    unsigned value = 0;
    for (uint32_t r = state >> 8; (r & 1) && value < 40; r >>= 1) value++;
    skewed.push_back((char)(value * 5 + (state >> 28)));
  }
  inputs.push_back({"skewed", skewed});
  std::string binary = FileOrEmpty("/bin/bash", 400000);
  if (!binary.empty()) inputs.push_back({"bash", binary});
  std::string header = FileOrEmpty("/usr/include/stdio.h", 1 << 20);
  if (!header.empty()) inputs.push_back({"stdio.h", header});
  return inputs;
}

TEST(InflateAgainstZlib, EveryLevelAndStrategyDecodesToTheSameBytesAndCrc) {
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  for (const NamedInput& input : Inputs()) {
    for (int strategy : strategies) {
      for (int level = 0; level <= 9; level++) {
        SCOPED_TRACE(input.name + " level " + std::to_string(level) + " strategy " +
                     std::to_string(strategy));
        std::string compressed = RawDeflate(input.bytes, level, strategy);
        InflateRun run = RunInflate(compressed);
        ASSERT_EQ(run.result, 0);
        ASSERT_EQ(run.status, 0);
        ASSERT_EQ(run.output.size(), input.bytes.size());
        ASSERT_TRUE(run.output == input.bytes);
        ASSERT_EQ(run.crc, ZlibCrc(input.bytes));
        ASSERT_EQ(run.bytesWritten, input.bytes.size());
        // One flush per full window, then the final one.
        ASSERT_EQ(run.progress.size(), input.bytes.size() / 32768 + 1);
      }
    }
  }
}

TEST(InflateAgainstZlib, ThePlainFastPathDecodesTheSameAsTheProcessorsOwn) {
  // The test above runs whichever build of the fast path this processor
  // gets; this one forces the plain build on dynamic and fixed blocks.
  struct AskAgainAfter {
    ~AskAgainAfter() { fastPathBmi2 = 0; }
  } askAgainAfter;
  fastPathBmi2 = -1;
  for (const NamedInput& input : Inputs()) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
      for (int level : {1, 6, 9}) {
        SCOPED_TRACE(input.name + " level " + std::to_string(level));
        std::string compressed = RawDeflate(input.bytes, level, strategy);
        InflateRun run = RunInflate(compressed);
        ASSERT_EQ(run.result, 0);
        ASSERT_TRUE(run.output == input.bytes);
        ASSERT_EQ(run.crc, ZlibCrc(input.bytes));
      }
    }
  }
}

TEST(InflateAgainstZlib, SmallMemoryLevelsMakeManySmallBlocks) {
  // memLevel 1 makes zlib end a block every few hundred symbols, so block
  // boundaries fall everywhere relative to input refills and window flushes.
  std::string input = Repetitive(150000, 21) + testing_support::RandomBytes(30000, 4);
  for (int level : {1, 6, 9}) {
    std::string compressed = RawDeflate(input, level, Z_DEFAULT_STRATEGY, 1);
    InflateRun run = RunInflate(compressed);
    ASSERT_EQ(run.result, 0) << level;
    ASSERT_TRUE(run.output == input) << level;
    ASSERT_EQ(run.crc, ZlibCrc(input));
  }
}

TEST(InflateAgainstZlib, StoredBlocksBetweenCodedOnesTakeTheBufferedBytesFirst) {
  // Switching to level 0 mid-stream makes stored blocks right after coded
  // ones, whose last bits leave whole bytes of the stored block in the bit
  // buffer; ending on a partial window and on every refill edge alike.
  std::string pieces[] = {Repetitive(70000, 1), testing_support::RandomBytes(70001, 2),
                          Repetitive(5000, 3), testing_support::RandomBytes(9000, 4)};
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string compressed(400000, '\0'), input;
  z.next_out = (Bytef*)&compressed[0];
  z.avail_out = (uInt)compressed.size();
  for (int i = 0; i < 4; i++) {
    ASSERT_EQ(deflateParams(&z, i % 2 ? 0 : 6, Z_DEFAULT_STRATEGY), Z_OK);
    z.next_in = (Bytef*)pieces[i].data();
    z.avail_in = (uInt)pieces[i].size();
    ASSERT_EQ(deflate(&z, i == 3 ? Z_FINISH : Z_NO_FLUSH), i == 3 ? Z_STREAM_END : Z_OK);
    input += pieces[i];
  }
  compressed.resize(z.total_out);
  deflateEnd(&z);
  InflateRun run = RunInflate(compressed);
  ASSERT_EQ(run.result, 0);
  EXPECT_TRUE(run.output == input);
  EXPECT_EQ(run.crc, ZlibCrc(input));
  EXPECT_EQ(run.reads, (compressed.size() + 4095) / 4096);
  EXPECT_EQ(run.progress.size(), input.size() / 32768 + 1);
}

TEST(InflateAgainstZlib, ReadsTheArchiveInWhole4096ByteRefills) {
  std::string input = testing_support::RandomBytes(20000, 2) + Repetitive(100000, 8);
  std::string compressed = RawDeflate(input, 6, Z_DEFAULT_STRATEGY);
  InflateOptions options;
  options.trailer = std::string(5000, 'T');  // the next record of the archive
  InflateRun run = RunInflate(compressed, options);
  ASSERT_EQ(run.result, 0);
  EXPECT_TRUE(run.output == input);
  EXPECT_EQ(run.reads, (compressed.size() + 4095) / 4096);
}

TEST(InflateTruncated, EveryCutOfARealMemberIsDamagedAndEnds) {
  // Fixed, dynamic and stored blocks, so every kind of block is cut.
  std::string input = Repetitive(5000, 13) + testing_support::RandomBytes(1500, 5);
  std::vector<std::string> members = {RawDeflate(input, 9, Z_DEFAULT_STRATEGY),
                                      RawDeflate(input, 6, Z_FIXED),
                                      RawDeflate(testing_support::RandomBytes(2500, 3), 0, Z_DEFAULT_STRATEGY)};
  for (const std::string& member : members) {
    // Past the end the file holds more bytes that must never be used.
    InflateOptions options;
    options.trailer = member;
    for (size_t cut = 0; cut < member.size(); cut++) {
      options.compressedSize = (int64_t)cut;
      InflateRun run = RunInflate(member, options);
      ASSERT_NE(run.result, 0) << "cut at " << cut << " of " << member.size();
      ASSERT_EQ(run.status, 9964) << "cut at " << cut;
      ASSERT_LE(run.output.size(), input.size() + 5000);
    }
    options.compressedSize = (int64_t)member.size();
    EXPECT_EQ(RunInflate(member, options).result, 0);
  }
}

}  // namespace
