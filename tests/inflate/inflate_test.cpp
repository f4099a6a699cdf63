// The decoder run as the entry extraction runs it, from a temporary file to another: on streams written bit by bit,
// whose output comes from a byte model of the window, and in native builds on zlib's streams as the independent
// control. Also the two table builders, the derived code tables and the CRC.
#include <string.h>

#include <random>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "common/test_support.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "inflate/huffman.h"
#include "inflate/inflate.h"
#include "platform/fault.h"
#include "tests/inflate/bit_writer.h"

namespace {

using namespace testing_support;

uint32_t Below(std::minstd_rand& random, uint32_t n) { return (uint32_t)(random() % n); }

uint32_t ReferenceCrc(const std::string& bytes, uint32_t crc = 0xFFFFFFFFu) {
  for (unsigned char c : bytes) crc = Crc32Step(c, crc);
  return ~crc;
}

// A member's stream, the result and the output wanted (for a damaged or cancelled one, what it writes before it
// stops), and how the run goes. A cancel or a failed read ends the data where it stops it: the result is then damage,
// the status what stopped it.
struct Member {
  std::string name, stream;
  int result = 0;
  std::string output = "";
  int64_t compressedSize = -1;  // -1: the whole stream
  uint32_t cancelAtCall = 0;    // progress answers false from this call on (1-based)
  uint32_t failReadAt = 0;      // this archive read fails (1-based), and is the last one made
  bool plainFastPath = false;   // the fast path's build without BMI2, else the one the processor takes
};

// Checks result and status, the output file, count and CRC, and progress: at every full window, then at the end of a
// good member, never after a cancel. Returns the archive reads made while decoding.
uint32_t Inflate(const Member& m) {
  SCOPED_TRACE(m.name);
  static std::vector<uint32_t> calls;
  static uint32_t cancelAt;
  calls.clear(), cancelAt = m.cancelAtCall;
  TempDir dir;
  // The stream twice: past the member's end come bytes that look like data, and must not be read.
  WriteFileBytes(dir.path() / "member", m.stream + m.stream);
  ResetCoreState();
  archiveHandle = PlatformOpenRead(dir.Core("member").c_str());
  archiveLength = (int64_t)(2 * m.stream.size());
  outputHandle = PlatformOpenWrite(dir.Core("output").c_str());
  std::vector<uint8_t> buffer(kInputBufferSize);
  ResetCompressedInput(buffer.data(), (uint64_t)(m.compressedSize < 0 ? m.stream.size() : m.compressedSize));
  Crc32 = 0xFFFFFFFFu, bytesWritten = 0;
  currentExtent.uncompressedSize = m.output.size();  // as recorded
  SetProgressCallback([](uint64_t written, uint64_t) {
    calls.push_back((uint32_t)written);
    return cancelAt == 0 || calls.size() < cancelAt;
  });
  faultPlan.failAt[kFaultRead] = m.failReadAt;
  fastPathBmi2 = m.plainFastPath ? -1 : 0;
  EXPECT_EQ(InflateMember(), m.result);
  ReleaseFixedTables();
  fastPathBmi2 = 0;  // asks the processor again
  uint32_t reads = faultPlan.calls[kFaultRead];
  EXPECT_TRUE(m.failReadAt == 0 || reads == m.failReadAt) << reads;
  EXPECT_EQ(errorCode, m.cancelAtCall ? kStatusCancelled : m.failReadAt ? kStatusFileError : m.result ? kStatusDamaged : 0);
  EXPECT_EQ(bytesWritten, m.output.size());
  EXPECT_TRUE(m.result != 0 || ~Crc32 == ReferenceCrc(m.output));
  PlatformClose(outputHandle);
  ResetCoreState();
  std::string written = ReadFileBytes(dir.path() / "output");
  EXPECT_TRUE(written == m.output) << written.size() << " bytes, not " << m.output.size();
  std::vector<uint32_t> progress;
  for (uint32_t n = kWindowSize; n <= m.output.size(); n += kWindowSize) progress.push_back(n);
  if (m.result == 0) progress.push_back((uint32_t)m.output.size());
  if (m.cancelAtCall != 0 && progress.size() > m.cancelAtCall) progress.resize(m.cancelAtCall);
  EXPECT_EQ(calls, progress);
  return reads;
}

// Every entry of a table and of the tables below it, depth first: tag, bits and value (but for links and unused codes).
void Walk(const HuffmanEntry* table, unsigned width, std::vector<uint32_t>& out) {
  for (unsigned i = 0; table != nullptr && i < (1u << width); i++) {
    const HuffmanEntry& e = table[i];
    bool link = e.tag > kTagLinkBase && e.tag != kTagInvalid;
    out.insert(out.end(), {e.tag, e.dropBits, link || e.tag == kTagInvalid ? 0u : e.value});
    if (link) Walk(e.subTable, e.tag - kTagLinkBase, out);
  }
}

// What a builder makes of `lengths`: result, root width and the count of tables in the chain that releases them, then
// every entry reached from the root.
std::vector<uint32_t> Build(decltype(BuildHuffmanTable)* builder, const std::string& lengths, unsigned simple,
                            unsigned wanted) {
  uint16_t bases[kMaxSymbols], extras[kMaxSymbols];
  for (unsigned i = 0; i < kMaxSymbols; i++) bases[i] = (uint16_t)(500 + 3 * i), extras[i] = (uint16_t)(i % 14);
  HuffmanEntry* root;
  unsigned bits = wanted, tables = 0;
  int result = builder((const uint8_t*)lengths.data(), (unsigned)lengths.size(), simple, bases, extras, &root, &bits);
  for (const HuffmanEntry* table = root; table != nullptr; table = table[-1].subTable) tables++;
  std::vector<uint32_t> out = {(uint32_t)result, bits, tables};
  Walk(root, bits, out);
  ReleaseHuffmanTable(root);
  return out;
}

// Both builders make the same tables. The root is as wide as wanted, but no narrower than the shortest code and no
// wider than the longest or the end-of-block code; no sub-table is wider than the root. And the decoder derives the
// RFC's length and distance tables.
TEST(HuffmanTables, EdgeCodesTheFixedCodeRandomCodesAndTheDerivedCodeTables) {
  const struct {
    std::string lengths;
    unsigned simple, wanted;
    std::vector<uint32_t> build;  // result, root width, tables
  } rows[] = {
      {std::string(144, 8) + std::string(112, 9) + std::string(24, 7) + std::string(8, 8), 257, 7,
       {kHuffmanComplete, 7, 105}},                            // the fixed literal/length code
      {std::string(30, 5), 0, 5, {kHuffmanIncomplete, 5, 1}},  // the fixed distance code
      {{0, 0, 1, 0, 0}, 0, 6, {kHuffmanComplete, 1, 1}},
      {{2, 0, 2, 0}, 0, 6, {kHuffmanIncomplete, 2, 1}},
      {{1, 1, 1}, 0, 6, {kHuffmanOversubscribed, 6, 0}},
      {std::string(19, 0), 19, 7, {kHuffmanComplete, 0, 0}},
      {std::string(256, 8), 256, 5, {kHuffmanComplete, 8, 1}},
      {std::string{1, 4, 4, 4, 4} + std::string(251, 0) + '\2', 257, 9, {kHuffmanComplete, 2, 2}},
      {{2, 2, 2, 3, 4, 5, 6, 6}, 0, 1, {kHuffmanComplete, 2, 3}},  // 2-bit tables under 11 and 1111, not 1-bit ones
  };
  for (const auto& row : rows) {
    std::vector<uint32_t> full = Build(BuildHuffmanTable, row.lengths, row.simple, row.wanted);
    EXPECT_TRUE(full == Build(BuildCompactHuffmanTable, row.lengths, row.simple, row.wanted)) << &row - rows;
    EXPECT_EQ(std::vector<uint32_t>(full.begin(), full.begin() + 3), row.build) << &row - rows;
  }
  // Complete codes made by splitting codes, every other one made incomplete by dropping codes; all kinds of roots.
  std::minstd_rand random(777);
  for (int round = 0; round < 600 && !HasFailure(); round++) {
    unsigned n = 1 + Below(random, 288), maxLength = 1 + Below(random, 15);
    std::string lengths(1, 0);
    for (unsigned tries = 0; lengths.size() < n && tries < 4 * n; tries++) {
      char& split = lengths[Below(random, (uint32_t)lengths.size())];
      if ((unsigned)split < maxLength) lengths.push_back(++split);
    }
    for (size_t i = lengths.size(); i > 1; i--) std::swap(lengths[i - 1], lengths[Below(random, (uint32_t)i)]);
    for (unsigned k = round % 2 ? 1 + Below(random, 8) : 0; k > 0; k--) lengths[Below(random, n) % lengths.size()] = 0;
    lengths.resize(n, 0);
    unsigned simple = round % 3 == 0 ? 0 : round % 3 == 1 ? 257 : n, wanted = 1 + Below(random, 10);
    std::vector<uint32_t> full = Build(BuildHuffmanTable, lengths, simple, wanted);
    EXPECT_TRUE(full == Build(BuildCompactHuffmanTable, lengths, simple, wanted)) << round;
    EXPECT_TRUE(round % 2 || full[0] == kHuffmanComplete) << round;
  }
  // The length and distance tables that the decoder derives from their rule are the RFC's.
  DeflateCodeTables tables;
  memset(&tables, 0xA5, sizeof tables);
  DeriveCodeTables(&tables);
  EXPECT_EQ(memcmp(&tables, &kRfcCodes, sizeof tables), 0);
}

// The wide steps of Crc32Update (16-byte slices, 64-byte folds from 256 bytes on) against the byte step at every
// length and alignment around their edges; whole windows are checked wherever the decoder runs.
TEST(Crc32, WideStepsAgreeWithTheByteStep) {
  EXPECT_EQ(ReferenceCrc("123456789"), 0xCBF43926u);
  std::string data = RandomBytes(1200, 1);
  for (size_t offset = 0; offset < 17; offset++) {
    const uint8_t* bytes = (const uint8_t*)data.data() + offset;
    uint32_t start = offset % 2 ? 0xFFFFFFFFu : 0x9E3779B9u, reference = start;
    for (size_t n = 0; n <= 1100; reference = Crc32Step(bytes[n++], reference)) {
      uint32_t crc = start;
      Crc32Update(&crc, bytes, (uint32_t)n);
      ASSERT_EQ(crc, reference) << "offset " << offset << " length " << n;
    }
  }
}

const uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
// A code-length code with room for every symbol: 0..12 in four bits (codes 0..12), 13..18 in five (codes 26..31).
const uint8_t kFullLengthCode[19] = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5};
typedef std::vector<std::pair<uint32_t, unsigned>> CodeList;  // code and length
typedef std::initializer_list<std::pair<unsigned, unsigned>> LengthSet;  // symbol and length

// A last dynamic block: HLIT and HDIST fields as given; the code-length symbols: `count` lengths, zero but for `set`,
// then `more` (16, 17 and 18 each followed by the value of its extra bits; in the full code-length code only); the
// codes `after`, then zero bits that a damaged stream must not need.
std::string Dynamic(unsigned hlit, unsigned hdist, size_t count, LengthSet set, std::initializer_list<unsigned> more,
                    const CodeList& after = {}, const uint8_t* lengthCode = kFullLengthCode) {
  std::vector<unsigned> symbols(count);
  for (auto [symbol, length] : set) symbols[symbol] = length;
  symbols.insert(symbols.end(), more);
  BitWriter w;
  w.Block(true, 2).Bits(hlit, 5).Bits(hdist, 5).Bits(19 - 4, 4);
  for (uint8_t s : kOrder) w.Bits(lengthCode[s], 3);
  for (size_t i = 0; i < symbols.size(); i++) {
    unsigned s = symbols[i];
    w.Code(s < 13 ? s : s + 13, s < 13 ? 4 : 5);
    if (s >= 16) w.Bits(symbols[++i], s == 16 ? 2 : s == 17 ? 3 : 7);
  }
  for (auto [code, length] : after) w.Code(code, length);
  return w.Bits(0, 32).Bytes();
}

TEST(Inflate, CraftedStreams) {
  std::string big = RandomBytes(3 * 32768 + 100, 4), chunk = RandomBytes(40000, 8);
  // 'a', 'b', end of block and length 3 (257) in two bits each: codes 0 to 3; or 'a' and end of block in one bit.
  const LengthSet ab = {{'a', 2}, {'b', 2}, {256, 2}, {257, 2}}, aEnd = {{'a', 1}, {256, 1}};
  const CodeList aa = {{0, 1}, {0, 1}, {1, 1}};
  // Two 'a's and the end of block, which alone fills the stream's last byte (but for the padding).
  std::string endInLastByte = Dynamic(1, 0, 259, aEnd, {}, aa);
  BitWriter matches = BitWriter().Block(true, 1).FixedSymbol('a');
  for (int i = 0; i < 1000; i++) matches.FixedMatch(258, 1);
  const uint8_t twoCodes[19] = {2, 0, 2}, oneCode[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  std::vector<Member> rows = {
      {.name = "a cancel stops a stored block at that flush",
       .stream = BitWriter().Stored(false, big.substr(0, 65535)).Stored(true, big.substr(65535)).Bytes(), .result = 1,
       .output = big.substr(0, 65536), .cancelAtCall = 2},
      {"one 1-bit distance code", Dynamic(1, 0, 258, ab, {1}, {{0, 2}, {1, 2}, {3, 2}, {0, 1}, {2, 2}}), 0, "abbbb"},
      {"HLIT 286 and HDIST 30", Dynamic(29, 29, 316, aEnd, {}, aa), 0, "aa"},
      {.name = "end of block in the byte cut off", .stream = endInLastByte, .result = 1,
       .compressedSize = (int64_t)endInLastByte.size() - 5},
      // 257's length 2 repeated into distance codes 0..2, then distance code 3 of length 2: a complete code
      {"repeat across both lists", Dynamic(1, 3, 258, {{'a', 1}, {256, 2}, {257, 2}}, {16, 0, 2},
                                           {{0, 1}, {3, 2}, {0, 2}, {2, 2}}), 0, "aaaa"},
      // 16 first repeats length 0 (six times); then symbol 6 and end of block in one bit each
      {"first repeat symbol", Dynamic(1, 0, 255, {{0, 16}, {1, 3}, {2, 1}, {252, 1}}, {}, aa), 0, "\x06\x06"},
      {"no distance code, no match", Dynamic(1, 0, 258, ab, {0}, {{0, 2}, {1, 2}, {2, 2}}), 0, "ab"},
      {"stored length complement", BitWriter().Stored(true, "xyz", 1).Bytes(), 1},
      {"block type 3", BitWriter().Block(true, 3).Bits(0, 16).Bytes(), 2},
      {"unused twin of a 1-bit distance code", Dynamic(1, 0, 258, ab, {1}, {{0, 2}, {3, 2}, {1, 1}}), 1},
      {"incomplete distance code", Dynamic(1, 1, 258, ab, {2, 2}, {{2, 2}}), 1},
      {"over-subscribed distance code", Dynamic(1, 2, 258, ab, {1, 1, 1}, {{2, 2}}), 2},
      {"match without a distance code", Dynamic(1, 0, 258, ab, {0}, {{0, 2}, {3, 2}}), 1},
      {"incomplete code-length code", Dynamic(0, 0, 0, {}, {}, {}, twoCodes), 1},
      {"unused code of a 1-bit code-length code", Dynamic(0, 0, 0, {}, {}, {{1, 1}}, oneCode), 1},
      // 257's length 1 repeated three times into two distance codes
      {"repeat past the end", Dynamic(1, 1, 258, {{'a', 2}, {256, 2}, {257, 1}}, {16, 0}, {{3, 2}}), 1},
      {"zero run past the end", Dynamic(0, 0, 0, {}, {18, 127, 18, 127}), 1},
      {"no literal/length code", Dynamic(0, 0, 0, {}, {17, 7, 18, 127, 18, 98}), 1},
      {.name = "a cancel stops a run of matches at that flush", .stream = matches.FixedSymbol(256).Bytes(), .result = 1,
       .output = std::string(32768, 'a'), .cancelAtCall = 1},
      {.name = "failed archive read", .stream = BitWriter().Stored(false, chunk).Stored(true, "").Bytes(), .result = 1,
       .failReadAt = 2},
  };
  // Fixed codes that no symbol owns (literal/length symbols 286 and 287, distance codes 30 and 31), near the end of the
  // input (the careful path) or far from it (the fast path).
  for (unsigned fast : {0, 1}) {
    for (unsigned code : {286u, 287u, 30u, 31u}) {
      BitWriter w = BitWriter().Block(true, 1).FixedSymbol('a').FixedMatch(3 + 255 * fast, 1);
      (code > 255 ? w.FixedSymbol(code) : w.FixedSymbol(257).Code(code, 5)).Bits(0, fast ? 1616 : 9);
      rows.push_back({"code " + std::to_string(code) + (fast ? " far from the end" : ""), w.Bytes(), 1});
    }
  }
  for (unsigned hlit : {0u, 30u}) rows.push_back({"HLIT or HDIST 30", Dynamic(hlit, 30 - hlit, 288, aEnd, {}, aa), 1});
  for (const Member& row : rows) Inflate(row);
  EXPECT_EQ(fixedLiteralTable, nullptr);
}

// Long members of random literals, matches of every distance class and stored blocks between fixed ones, in both
// builds of the fast path. Their output comes from a byte model of the window, where a match copies byte by byte from
// (position - distance) modulo the window; each member after the first starts on the window that the last one left,
// and reaches its old content. A far match right after a short one reads bytes that the short one's word copies ran
// over; a stored block after a fixed one finds its header, and some of its data, in the bit buffer.
TEST(Inflate, RandomMembersAgainstTheWindowModel) {
  std::minstd_rand random(1);
  std::string window((const char*)::window, kWindowSize);  // the first member starts on what the tests before left
  for (int member = 0; member < 4; member++) {
    BitWriter w;
    std::string output;
    uint32_t pos = 0;
    auto put = [&](char c) { window[pos] = c, pos = (pos + 1) % kWindowSize, output.push_back(c); };
    auto match = [&](unsigned length, unsigned distance) {
      w.FixedMatch(length, distance);
      for (unsigned i = 0; i < length; i++) put(window[(pos + kWindowSize - distance) % kWindowSize]);
    };
    w.Block(false, 1);
    for (unsigned i = 0; i < 60000; i++) {
      unsigned kind = Below(random, 10), length = Below(random, 4) ? 3 + Below(random, 14) : 3 + Below(random, 256);
      unsigned near[] = {1 + Below(random, 7), 8 + Below(random, 40), kWindowSize - Below(random, 300)};
      if (kind < 4) {
        put((char)('a' + Below(random, 6)));
        w.FixedSymbol((uint8_t)output.back());
      } else if (kind == 7) {
        match(3 + Below(random, 4), 2 + Below(random, 15));
        match(length, kWindowSize - Below(random, 32));
      } else if (kind == 9 && Below(random, 100) == 0) {  // mostly short, some across the window's end
        std::string data = RandomBytes(Below(random, 3) ? Below(random, 5) : Below(random, 65536), i);
        w.FixedSymbol(256).Stored(false, data).Block(false, 1);
        for (char c : data) put(c);
      } else {
        match(length, kind < 7 ? near[kind - 4] : 1 + Below(random, kWindowSize));
      }
    }
    Inflate({.name = std::to_string(member), .stream = w.FixedSymbol(256).Block(true, 1).FixedSymbol(256).Bytes(),
             .output = output, .plainFastPath = member % 2 == 1});
  }
}

}  // namespace

#ifndef _WIN32  // native builds link zlib
#include <zlib.h>

// zlib's streams of every level and strategy, in both builds of the fast path: output, progress, CRC (also zlib's),
// and whole 4096-byte refills that stop at the member's end. Cut short, a member of less than a window is damaged at
// every cut (at every byte of its first and last 50, every 13th byte between, in turn), the fast path's end included:
// past the cut the decoder sees 1-bits, never the bytes that follow (the member again).
TEST(InflateAgainstZlib, EveryLevelAndStrategyInBothFastPathBuilds) {
  // Byte values of halving frequencies: literal codes longer than any table's first level.
  std::string skewed;
  for (std::minstd_rand random(77); skewed.size() < 120000;)
    skewed.push_back((char)(__builtin_ctz(Below(random, 1u << 20) | 1u << 20) * 5 + Below(random, 16)));
  // Text with long and short repeats (this source file), and this program with its code, data and symbols.
  std::string text = ReadFileBytes(__FILE__), program = ReadFileBytes("/proc/self/exe");
  const std::string inputs[] = {
      "", "x", text.substr(0, 3000) + RandomBytes(800, 5), RandomBytes(100000, 7), std::string(200000, '\0'),
      program.substr(0, 300000), program.substr(0, kWindowSize), text + RandomBytes(40000, 1) + std::string(9000, 'a'),
      skewed};
  unsigned turn = 0;
  for (const std::string& bytes : inputs) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
      for (int level : {0, 1, 4, 6, 9}) {
        SCOPED_TRACE(testing::Message() << "input " << &bytes - inputs << ", turn " << turn);  // strategy, level
        // Every third stream with memLevel 1, which ends a block every few hundred symbols.
        z_stream z{};
        std::string compressed(bytes.size() + bytes.size() / 8 + 1024, '\0');
        z.next_in = (Bytef*)bytes.data(), z.avail_in = (uInt)bytes.size();
        z.next_out = (Bytef*)&compressed[0], z.avail_out = (uInt)compressed.size();
        ASSERT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, turn % 3 ? 8 : 1, strategy), Z_OK);
        ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        compressed.resize(z.total_out);
        deflateEnd(&z);
        bool plain = turn++ % 2;
        uint32_t reads = Inflate({.name = "whole", .stream = compressed, .output = bytes, .plainFastPath = plain});
        EXPECT_EQ(reads, (compressed.size() + 4095) / 4096);
        for (size_t cut = 0; bytes.size() < 5000 && cut < compressed.size(); cut++) {
          if (cut > 50 && cut + 50 < compressed.size() && cut % 13 != turn % 13) continue;
          Inflate({.name = "cut at " + std::to_string(cut), .stream = compressed, .result = kInflateBadData,
                   .compressedSize = (int64_t)cut, .plainFastPath = plain});
        }
        EXPECT_EQ(ReferenceCrc(bytes), (uint32_t)crc32(0, (const Bytef*)bytes.data(), (uInt)bytes.size()));
        if (HasFailure()) return;
      }
    }
  }
}

#endif
