// The decoder against zlib as the independent control: streams of every level and strategy in both builds of the fast
// path, and every cut of them.
#include <zlib.h>

#include "tests/inflate/inflate_harness.h"

namespace {

using testing_support::RandomBytes;

std::string Deflate(const std::string& input, int level, int strategy, int memLevel = 8) {
  z_stream z{};
  std::string out(input.size() + input.size() / 8 + 1024, '\0');
  z.next_in = (Bytef*)input.data(), z.avail_in = (uInt)input.size();
  z.next_out = (Bytef*)&out[0], z.avail_out = (uInt)out.size();
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, memLevel, strategy), Z_OK);
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Text with long and short repeats, like source code.
std::string Repetitive(size_t size, uint32_t state) {
  static const char* words[] = {"inflate ", "window ", "the ", "of ", "Huffman\n", "{\n  ", "}\n", "return 0;", "  "};
  std::string out;
  while (out.size() < size) out += words[((state = state * 1103515245u + 12345u) >> 16) % 9];
  return out.substr(0, size);
}

// Output, progress, CRC (also zlib's), and whole 4096-byte refills that stop at the member's end.
TEST(InflateAgainstZlib, EveryLevelAndStrategyInBothFastPathBuilds) {
  // Byte values of halving frequencies: literal codes longer than any table's first level.
  std::string skewed;
  for (uint32_t state = 77, r; skewed.size() < 120000; skewed.push_back((char)(r * 5 + (state >> 28)))) {
    state = state * 1103515245u + 12345u;
    for (r = 0; (state >> (8 + r)) & 1 && r < 20;) r++;
  }
  const std::string inputs[] = {
      "", "x", RandomBytes(100000, 7), std::string(200000, '\0'), Repetitive(300000, 3), Repetitive(32768, 5),
      Repetitive(50000, 9) + RandomBytes(40000, 1) + std::string(9000, 'a'), skewed,
      testing_support::ReadFileBytes("/bin/bash").substr(0, 300000)};  // empty where missing
  AskAgainAfter askAgainAfter;
  InflateOptions options;
  options.trailer = std::string(5000, 'T');
  unsigned turn = 0;
  for (const std::string& bytes : inputs) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
      for (int level : {0, 1, 4, 6, 9}) {
        int memLevel = turn % 3 ? 8 : 1;  // 1 ends a block every few hundred symbols
        fastPathBmi2 = turn++ % 2 ? -1 : 0;
        SCOPED_TRACE(testing::Message() << "input " << &bytes - inputs << " strategy " << strategy << " level " << level
                                        << " memLevel " << memLevel << " build " << fastPathBmi2);
        std::string compressed = Deflate(bytes, level, strategy, memLevel);
        EXPECT_EQ(Inflate(compressed, 0, bytes, options), (compressed.size() + 4095) / 4096);
        EXPECT_EQ(ReferenceCrc(bytes), (uint32_t)crc32(0, (const Bytef*)bytes.data(), (uInt)bytes.size()));
        if (HasFailure()) return;
      }
    }
  }
}

// Dynamic, fixed and stored blocks cut at every byte; the bytes after the cut must not be used.
TEST(InflateAgainstZlib, EveryCutOfARealMemberIsDamaged) {
  std::string text = Repetitive(3000, 13) + RandomBytes(800, 5);
  for (const std::string& member : {Deflate(text, 9, Z_DEFAULT_STRATEGY), Deflate(text, 9, Z_FIXED),
                                    Deflate(RandomBytes(1500, 3), 0, Z_DEFAULT_STRATEGY)}) {
    InflateOptions options;
    options.trailer = member;
    for (size_t cut = 0; cut < member.size(); cut++) {
      options.compressedSize = (int64_t)cut;
      Inflate(member, kInflateBadData, "", options);
      ASSERT_FALSE(HasFailure()) << "cut at " << cut << " of " << member.size();
    }
  }
}

}  // namespace
