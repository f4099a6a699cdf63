// The decoder on streams written bit by bit, whose output comes from a byte model of the window; the two table
// builders and the CRC.
#include <algorithm>
#include <functional>

#include "inflate/huffman.h"
#include "tests/inflate/inflate_harness.h"

namespace {

using testing_support::RandomBytes;

struct Random {
  uint32_t state;
  uint32_t Below(uint32_t n) { return ((state = state * 1103515245u + 12345u) >> 8) % n; }
};

typedef int Builder(const uint8_t*, unsigned, unsigned, const uint16_t*, const uint16_t*, HuffmanEntry**, unsigned*);

// What a builder makes of `lengths`: result, root width and table count, then every entry, a link as its table's
// place in the chain.
std::vector<uint32_t> Build(Builder* builder, const std::vector<uint8_t>& lengths, unsigned simple, unsigned wanted) {
  uint16_t bases[kMaxSymbols], extras[kMaxSymbols];
  for (unsigned i = 0; i < kMaxSymbols; i++) bases[i] = (uint16_t)(500 + 3 * i), extras[i] = (uint16_t)(i % 14);
  HuffmanEntry* root;
  unsigned bits = wanted;
  int result = builder(lengths.data(), (unsigned)lengths.size(), simple, bases, extras, &root, &bits);
  std::vector<const HuffmanEntry*> chain;
  for (const HuffmanEntry* table = root; table != nullptr; table = table[-1].subTable) chain.push_back(table);
  std::vector<uint32_t> out = {(uint32_t)result, bits, (uint32_t)chain.size()};
  std::function<void(const HuffmanEntry*, unsigned)> walk = [&](const HuffmanEntry* table, unsigned width) {
    for (unsigned i = 0; table != nullptr && i < (1u << width); i++) {
      const HuffmanEntry& e = table[i];
      bool link = e.tag > kTagLinkBase && e.tag != kTagInvalid;
      size_t place = std::find(chain.begin(), chain.end(), e.subTable) - chain.begin();
      out.insert(out.end(), {e.tag, e.dropBits, link ? (uint32_t)place : e.tag == kTagInvalid ? 0u : e.value});
      if (link) walk(e.subTable, e.tag - kTagLinkBase);
    }
  };
  walk(root, bits);
  ReleaseHuffmanTable(root);
  return out;
}

// Both builders make the same tables. The root is as wide as wanted, but no narrower than the shortest code and no
// wider than the longest or the end-of-block code.
TEST(HuffmanTables, EdgeCodesTheFixedCodeAndRandomCodes) {
  auto runs = [](std::initializer_list<std::pair<uint8_t, unsigned>> counts) {
    std::vector<uint8_t> lengths;
    for (auto [length, count] : counts) lengths.insert(lengths.end(), count, length);
    return lengths;
  };
  const struct {
    std::vector<uint8_t> lengths;
    unsigned simple, wanted;
    std::vector<uint32_t> build;  // result, root width, tables
  } rows[] = {
      {runs({{8, 144}, {9, 112}, {7, 24}, {8, 8}}), 257, 7, {kHuffmanComplete, 7, 105}},  // fixed literal/length code
      {runs({{5, 30}}), 0, 5, {kHuffmanIncomplete, 5, 1}},                                // fixed distance code
      {{0, 0, 1, 0, 0}, 0, 6, {kHuffmanComplete, 1, 1}},
      {{2, 0, 2, 0}, 0, 6, {kHuffmanIncomplete, 2, 1}},
      {{1, 1, 1}, 0, 6, {kHuffmanOversubscribed, 6, 0}},
      {runs({{0, 19}}), 19, 7, {kHuffmanComplete, 0, 0}},
      {runs({{8, 256}}), 256, 5, {kHuffmanComplete, 8, 1}},
      {runs({{1, 1}, {4, 4}, {0, 251}, {2, 1}}), 257, 9, {kHuffmanComplete, 2, 2}},
  };
  for (const auto& row : rows) {
    std::vector<uint32_t> full = Build(BuildHuffmanTable, row.lengths, row.simple, row.wanted);
    EXPECT_TRUE(full == Build(BuildCompactHuffmanTable, row.lengths, row.simple, row.wanted)) << &row - rows;
    EXPECT_EQ(std::vector<uint32_t>(full.begin(), full.begin() + 3), row.build) << &row - rows;
  }
  // Complete codes made by splitting codes, then spoilt: codes dropped, one shortened, or lengths with no structure;
  // all kinds of roots.
  Random random{777};
  for (int round = 0; round < 600 && !HasFailure(); round++) {
    unsigned n = 1 + random.Below(288), maxLength = 1 + random.Below(15);
    std::vector<uint8_t> lengths(1, 0);
    while (lengths.size() < n) {
      uint8_t& split = lengths[random.Below((uint32_t)lengths.size())];
      if (split < maxLength) {
        lengths.push_back(++split);
      } else if (random.Below(8) == 0) {
        break;
      }
    }
    for (size_t i = lengths.size(); i > 1; i--) std::swap(lengths[i - 1], lengths[random.Below((uint32_t)i)]);
    for (unsigned k = round % 4 == 1 ? 3 : 0; k > 0; k--) lengths[random.Below((uint32_t)lengths.size())] = 0;
    if (round % 4 == 2 && lengths[0] > 1) lengths[0]--;
    for (uint8_t& l : lengths) l = round % 4 < 3 ? l : (uint8_t)(random.Below(8) ? 1 + random.Below(maxLength) : 0);
    lengths.resize(n, 0);
    unsigned simple = round % 3 == 0 ? 0 : round % 3 == 1 ? 257 : n, wanted = 1 + random.Below(10);
    std::vector<uint32_t> full = Build(BuildHuffmanTable, lengths, simple, wanted);
    EXPECT_TRUE(full == Build(BuildCompactHuffmanTable, lengths, simple, wanted)) << round;
  }
}

TEST(HuffmanTables, DerivedCodeTablesAreTheRfcOnes) {
  DeflateCodeTables tables;
  memset(&tables, 0xA5, sizeof tables);
  DeriveCodeTables(&tables);
  for (unsigned i = 0; i < 31; i++) {
    EXPECT_EQ(tables.lengthBase[i], i < 29 ? kRfcLengthBases[i] : 0u) << i;
    EXPECT_EQ(tables.lengthExtra[i], i < 29 ? kRfcLengthExtras[i] : kTagInvalid) << i;
    EXPECT_TRUE(i == 30 || tables.distanceBase[i] == kRfcDistanceBases[i]) << i;
    EXPECT_TRUE(i == 30 || tables.distanceExtra[i] == kRfcDistanceExtras[i]) << i;
  }
}

// The wide steps of Crc32Update against the byte step at every length and alignment around their edges, and on long
// runs of one value.
TEST(Crc32, WideStepsAgreeWithTheByteStep) {
  EXPECT_EQ(ReferenceCrc("123456789"), 0xCBF43926u);
  std::string data = RandomBytes(20000, 1) + std::string(8192, '\0') + std::string(8192, '\xff') + RandomBytes(4000, 2);
  const uint8_t* bytes = (const uint8_t*)data.data();
  std::vector<size_t> lengths = {1023, 1024, 1025, 4095, 4096, 4097, 32767, 32768, 40000};
  for (size_t n = 0; n <= 700; n++) lengths.push_back(n);
  for (size_t offset = 0; offset < 17; offset++) {
    for (size_t n : lengths) {
      uint32_t crc = offset % 2 ? 0xFFFFFFFFu : 0x9E3779B9u, reference = crc;
      Crc32Update(&crc, bytes + offset, (uint32_t)n);
      for (size_t i = 0; i < n; i++) reference = Crc32Step(bytes[offset + i], reference);
      ASSERT_EQ(crc, reference) << "offset " << offset << " length " << n;
    }
  }
}

// A fixed-code stream and the output it must give: matches copy byte by byte from (position - distance) modulo the
// window, reaching its old content too.
struct Member {
  BitWriter w;
  std::string window = std::string(kWindowSize, '\0'), output;
  uint32_t pos = 0;
  void Put(char c) { window[pos] = c, pos = (pos + 1) % kWindowSize, output.push_back(c); }
  Member& Literal(char c) { return w.FixedSymbol((uint8_t)c), Put(c), *this; }
  Member& Match(unsigned length, unsigned distance) {
    w.FixedMatch(length, distance);
    for (unsigned i = 0; i < length; i++) Put(window[(pos + kWindowSize - distance) % kWindowSize]);
    return *this;
  }
};

const uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
// A code-length code with room for every symbol: 0..12 in 4 bits, 13..18 in 5.
const uint8_t kFullLengthCode[19] = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5};
typedef std::vector<std::pair<uint32_t, unsigned>> CodeList;  // code and length

// A last dynamic block after `w`: HLIT and HDIST fields as given, the code-length symbols (16, 17 and 18 each
// followed by the value of its extra bits), the codes `after`, then zero bits that a damaged stream must not need.
std::string Dynamic(unsigned hlit, unsigned hdist, const std::vector<unsigned>& symbols, const CodeList& after = {},
                    const uint8_t* lengthCode = kFullLengthCode, BitWriter w = BitWriter()) {
  uint32_t codes[19];
  CanonicalCodes(lengthCode, 19, codes);
  w.Block(true, 2).Bits(hlit, 5).Bits(hdist, 5).Bits(19 - 4, 4);
  for (uint8_t s : kOrder) w.Bits(lengthCode[s], 3);
  for (size_t i = 0; i < symbols.size(); i++) {
    unsigned s = symbols[i];
    w.Code(codes[s], lengthCode[s]);
    if (s >= 16) w.Bits(symbols[++i], s == 16 ? 2 : s == 17 ? 3 : 7);
  }
  for (auto [code, length] : after) w.Code(code, length);
  return w.Bits(0, 32).Bytes();
}

struct Row {  // reads: archive reads, where they matter
  std::string name, stream;
  int result = 0;
  std::string output = "";
  InflateOptions options = {};
  uint32_t reads = 0;
};

TEST(Inflate, CraftedStreams) {
  std::string first = RandomBytes(20000, 1), second = RandomBytes(65535, 2);
  std::string big = RandomBytes(3 * 32768 + 100, 4), cancelled = RandomBytes(40000, 8);
  InflateOptions cancelSecond, cancelFirst, cut, failedRead;
  cancelSecond.cancelAtCall = 2, cancelFirst.cancelAtCall = 1, cut.compressedSize = 4000, failedRead.failReadAt = 2;
  // 'a', 'b', end of block and length 3 (257) in two bits each: codes 0 to 3.
  std::vector<unsigned> ab(258), repeat(258), over(258), firstRepeat(2 + 253);
  ab['a'] = ab['b'] = ab[256] = ab[257] = 2;
  auto with = [](std::vector<unsigned> lengths, std::initializer_list<unsigned> more) {
    lengths.insert(lengths.end(), more);
    return lengths;
  };
  auto aEnd = [](size_t literals, size_t distances) {  // 'a' and end of block in one bit each
    std::vector<unsigned> lengths(literals + distances);
    lengths['a'] = lengths[256] = 1;
    return lengths;
  };
  const CodeList aa = {{0, 1}, {0, 1}, {1, 1}};
  repeat['a'] = 1, repeat[256] = repeat[257] = 2;  // then 257's length into distance codes 0..2
  repeat.insert(repeat.end(), {16, 0});
  over['a'] = over[256] = 2, over[257] = 1;  // then 257's length three times into two distance codes
  over.insert(over.end(), {16, 0});
  firstRepeat[0] = 16, firstRepeat[1] = 3, firstRepeat[2] = firstRepeat[252] = 1;  // 16 first repeats length 0
  uint8_t twoCodes[19] = {2, 0, 2}, oneCode[19] = {0};
  oneCode[18] = 1;
  std::vector<Row> rows = {
      {"stored length after five padding bits",
       BitWriter().Block(true, 0).Bits(0x1F, 5).Bits(3, 16).Bits(0xFFFC, 16).Bits(0x7A7978, 24).Bytes(), 0, "xyz"},
      {"stored block after a fixed one ending inside a byte",
       BitWriter().Block(false, 1).FixedLiterals("ab").FixedEnd().Stored(true, "cdefghijklmnopqrstuvwxyz").Bytes(), 0,
       "abcdefghijklmnopqrstuvwxyz"},
      {"stored blocks across the window end", BitWriter().Stored(false, first).Stored(true, second).Bytes(), 0,
       first + second},
      {"decoding goes on after a cancel",
       BitWriter().Stored(false, big.substr(0, 65535)).Stored(true, big.substr(65535)).Bytes(), 0, big, cancelSecond},
      {"one 1-bit distance code", Dynamic(1, 0, with(ab, {1}), {{0, 2}, {1, 2}, {3, 2}, {0, 1}, {2, 2}}), 0, "abbbb"},
      {"HLIT 286 and HDIST 30", Dynamic(29, 29, aEnd(286, 30), aa), 0, "aa"},
      {"repeat across both lists", Dynamic(1, 3, with(repeat, {2}), {{0, 1}, {3, 2}, {3, 2}, {2, 2}}), 0,
       std::string("a\0\0\0", 4)},
      {"first repeat symbol",
       Dynamic(1, 0, firstRepeat, {{0, 1}, {0, 1}, {1, 1}}, kFullLengthCode,
               BitWriter().Block(false, 1).FixedLiterals("x").FixedEnd()), 0, "x\x06\x06"},
      {"no distance code, no match", Dynamic(1, 0, with(ab, {0}), {{0, 2}, {1, 2}, {2, 2}}), 0, "ab"},
      {"stored length complement", BitWriter().StoredHeader(true, 3, 0xFFFD).Bits(0x7A7978, 24).Bytes(), 1},
      {"block type 3", BitWriter().Block(true, 3).Bits(0, 16).Bytes(), 2},
      {"unused twin of a 1-bit distance code", Dynamic(1, 0, with(ab, {1}), {{0, 2}, {3, 2}, {1, 1}, {2, 2}}), 1},
      {"incomplete distance code", Dynamic(1, 1, with(ab, {2, 2}), {{2, 2}}), 1},
      {"over-subscribed distance code", Dynamic(1, 2, with(ab, {1, 1, 1}), {{2, 2}}), 2},
      {"match without a distance code", Dynamic(1, 0, with(ab, {0}), {{0, 2}, {3, 2}}), 1},
      {"incomplete code-length code", Dynamic(0, 0, {}, {}, twoCodes), 1},
      {"unused code of a 1-bit code-length code", Dynamic(0, 0, {}, {{1, 1}}, oneCode), 1},
      {"repeat past the end", Dynamic(1, 1, over, {{3, 2}}), 1},
      {"zero run past the end", Dynamic(0, 0, {18, 127, 18, 127}), 1},
      {"no literal/length code", Dynamic(0, 0, {17, 7, 18, 127, 18, 98}), 1},
      {"damage after a cancel", BitWriter().Stored(false, cancelled).Block(true, 3).Bits(0, 16).Bytes(), 2,
       cancelled.substr(0, 32768), cancelFirst},
      {"stored data cut", BitWriter().Stored(true, RandomBytes(5000, 1)).Bytes(), 1, "", cut},
      {"failed archive read", BitWriter().Stored(false, RandomBytes(50000, 6)).Block(true, 1).FixedEnd().Bytes(), 1, "",
       failedRead, 2},
  };
  for (unsigned field : {30u, 31u}) {
    rows.push_back({"HLIT field " + std::to_string(field), Dynamic(field, 0, aEnd(257 + field, 1), aa), 1});
    rows.push_back({"HDIST field " + std::to_string(field), Dynamic(0, field, aEnd(257, 1 + field), aa), 1});
  }
  for (const std::string& leadIn : {std::string("ab"), std::string(300, 'q')}) {  // careful and fast path
    for (unsigned symbol : {286u, 287u}) {
      BitWriter literal, distance;
      literal.Block(true, 1).FixedLiterals(leadIn).FixedSymbol(symbol).FixedLiterals(std::string(200, 'z'));
      distance.Block(true, 1).FixedLiterals(leadIn).FixedSymbol(257).FixedDistanceCode(symbol - 256);
      rows.push_back({"literal/length symbol " + std::to_string(symbol), literal.Bytes(), 1});
      rows.push_back({"distance code " + std::to_string(symbol - 256), distance.Bits(0, 1600).Bytes(), 1});
    }
  }
  // Past the data the decoder sees 1-bits (literal 255 here), never the trailer.
  std::string endless = BitWriter().Block(true, 1).FixedLiterals(RandomBytes(3000, 9)).Bytes();
  for (size_t size : {(size_t)0, (size_t)1, (size_t)2, endless.size() / 2, endless.size() - 1, endless.size()}) {
    InflateOptions options;
    options.compressedSize = (int64_t)size, options.trailer = std::string(100, '\xFF');
    rows.push_back({"input runs out after " + std::to_string(size), endless, 1, "", options});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    uint32_t reads = Inflate(row.stream, row.result, row.output, row.options);
    EXPECT_TRUE(row.reads == 0 || reads == row.reads);
  }
  EXPECT_EQ(fixedLiteralTable, nullptr);
}

// Long members of random literals and matches of every distance class, in both builds of the fast path; each member
// after the first starts on the window that the last one left. A far match right after a short one reads bytes that
// the short one's word copies ran over.
TEST(Inflate, RandomMatchesAgainstTheWindowModel) {
  AskAgainAfter askAgainAfter;
  Random random{1};
  Member m;
  for (int member = 0; member < 4; member++) {
    fastPathBmi2 = member % 2 ? -1 : 0;
    m.w = BitWriter(), m.pos = 0, m.output.clear();
    m.w.Block(true, 1);
    for (unsigned i = 0; i < 60000; i++) {
      unsigned kind = random.Below(10), length = random.Below(4) ? 3 + random.Below(14) : 3 + random.Below(256);
      unsigned near[] = {1 + random.Below(7), 8 + random.Below(40), kWindowSize - random.Below(300)};
      if (kind < 4) {
        m.Literal((char)('a' + random.Below(6)));
      } else if (kind == 7) {
        m.Match(3 + random.Below(4), 2 + random.Below(15)).Match(length, kWindowSize - random.Below(32));
      } else {
        m.Match(length, kind < 7 ? near[kind - 4] : 1 + random.Below(kWindowSize));
      }
    }
    m.w.FixedEnd();
    InflateOptions options;
    options.keepWindow = member > 0;
    SCOPED_TRACE(member);
    Inflate(m.w.Bytes(), 0, m.output, options);
  }
}

}  // namespace
