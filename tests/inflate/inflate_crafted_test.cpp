// Streams written bit by bit for the cases that catch real faults: stored
// blocks, window boundaries, long and far matches, dynamic headers at and
// past their limits, bad codes, and input that runs out or fails.
#include <string.h>

#include <vector>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "engine/status.h"
#include "inflate/inflate.h"
#include "platform/fault.h"
#include "tests/inflate/inflate_harness.h"

namespace {

const uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A code-length symbol with its extra bits (for 16, 17, 18).
struct LengthSymbol {
  unsigned symbol;
  unsigned extra;
};

// A dynamic block header: HLIT/HDIST fields as given, a code-length code
// from `codeLengthLengths`, and the code-length symbols of `sequence`.
void DynamicHeader(BitWriter& w, bool last, unsigned hlitField, unsigned hdistField,
                   const uint8_t (&codeLengthLengths)[19], const std::vector<LengthSymbol>& sequence) {
  w.Block(last, 2).Bits(hlitField, 5).Bits(hdistField, 5).Bits(19 - 4, 4);
  for (unsigned i = 0; i < 19; i++) w.Bits(codeLengthLengths[kOrder[i]], 3);
  uint32_t codes[19];
  CanonicalCodes(codeLengthLengths, 19, codes);
  for (const LengthSymbol& s : sequence) {
    w.Code(codes[s.symbol], codeLengthLengths[s.symbol]);
    if (s.symbol == 16) w.Bits(s.extra, 2);
    if (s.symbol == 17) w.Bits(s.extra, 3);
    if (s.symbol == 18) w.Bits(s.extra, 7);
  }
}

// Code-length code: 0..15 as 4-bit codes would fill it; give 16, 17, 18 room
// by making 0..12 four bits (13 codes), 13..15 five bits and 16..18 five bits.
const uint8_t kFullLengthCode[19] = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5};

// Lengths as a code-length sequence: plain symbols only, zero runs with 18/17.
std::vector<LengthSymbol> Plain(const std::vector<uint8_t>& lengths) {
  std::vector<LengthSymbol> out;
  for (size_t i = 0; i < lengths.size();) {
    size_t run = 0;
    while (i + run < lengths.size() && lengths[i + run] == 0 && run < 138) run++;
    if (run >= 11) {
      out.push_back({18, (unsigned)(run - 11)});
      i += run;
    } else if (run >= 3) {
      out.push_back({17, (unsigned)(run - 3)});
      i += run;
    } else {
      out.push_back({lengths[i], 0});
      i++;
    }
  }
  return out;
}

// A small dynamic block: literals 'a' and 'b', end of block, length 3 (257),
// each 2 bits; the distance lengths as given.
struct SmallDynamic {
  std::vector<uint8_t> literal = std::vector<uint8_t>(258, 0);
  std::vector<uint8_t> distance;
  uint32_t literalCodes[258];
  uint32_t distanceCodes[30];
  explicit SmallDynamic(std::vector<uint8_t> distanceLengths) : distance(distanceLengths) {
    literal['a'] = literal['b'] = literal[256] = literal[257] = 2;
    CanonicalCodes(literal.data(), 258, literalCodes);
    CanonicalCodes(distance.data(), (unsigned)distance.size(), distanceCodes);
  }
  void Header(BitWriter& w) {
    std::vector<uint8_t> all = literal;
    all.insert(all.end(), distance.begin(), distance.end());
    DynamicHeader(w, true, 258 - 257, (unsigned)distance.size() - 1, kFullLengthCode, Plain(all));
  }
  void Symbol(BitWriter& w, unsigned s) { w.Code(literalCodes[s], 2); }
};

// The output a sequence of literals and matches must give, with the window
// zero before the member.
struct Expected {
  std::string bytes;
  void Literals(const std::string& s) { bytes += s; }
  void Match(unsigned length, unsigned distance) {
    for (unsigned i = 0; i < length; i++) {
      bytes.push_back(bytes.size() >= distance ? bytes[bytes.size() - distance] : '\0');
    }
  }
};

void ExpectDamaged(const std::string& stream, int result) {
  InflateRun run = RunInflate(stream);
  EXPECT_EQ(run.result, result);
  EXPECT_EQ(run.status, kStatusDamaged);
}

TEST(StoredBlocks, ABlockCrossingTheWindowIsFlushedAtTheBoundary) {
  std::string first = testing_support::RandomBytes(20000, 1);
  std::string second = testing_support::RandomBytes(65535, 2);
  BitWriter w;
  w.Stored(false, first).Stored(true, second);
  InflateRun run = RunInflate(w.Bytes());
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.output, first + second);
  EXPECT_EQ(run.progress, (std::vector<uint32_t>{32768, 65536, 85535}));
}

TEST(StoredBlocks, LengthIsReadFromTheNextByteBoundaryAndCheckedAgainstItsComplement) {
  // The five bits after the header are ones: they must be skipped.
  BitWriter w;
  w.Block(true, 0).Bits(0x1F, 5).Bits(3, 16).Bits(0xFFFC, 16).Byte('x').Byte('y').Byte('z');
  InflateRun run = RunInflate(w.Bytes());
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.output, "xyz");
  // After a fixed block that ends inside a byte, with whole bytes already
  // looked at by the decoder.
  BitWriter mixed;
  mixed.Block(false, 1).FixedLiterals("ab").FixedEnd().Stored(true, "cdefghijklmnopqrstuvwxyz0123");
  run = RunInflate(mixed.Bytes());
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.output, "abcdefghijklmnopqrstuvwxyz0123");

  BitWriter bad;
  bad.StoredHeader(true, 3, 0xFFFD).Byte('x').Byte('y').Byte('z');
  ExpectDamaged(bad.Bytes(), 1);
}

TEST(Matches, DistanceOneRepeatsAndDistance32768ReachesOneWindowBack) {
  BitWriter w;
  w.Block(true, 1).FixedLiterals("a").FixedMatch(258, 1).FixedMatch(258, 1).FixedEnd();
  InflateRun run = RunInflate(w.Bytes());
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.output, std::string(517, 'a'));

  // 40000 bytes, then matches reaching exactly one window back.
  std::string data = testing_support::RandomBytes(40000, 5);
  BitWriter far;
  far.Stored(false, data).Block(true, 1).FixedMatch(258, 32768).FixedMatch(100, 32768).FixedEnd();
  Expected expected;
  expected.Literals(data);
  expected.Match(258, 32768);
  expected.Match(100, 32768);
  run = RunInflate(far.Bytes());
  ASSERT_EQ(run.result, 0);
  EXPECT_TRUE(run.output == expected.bytes);

  // Before a window's worth of output, the window's old content (zeros in
  // a fresh process) is copied; distances are not checked.
  BitWriter early;
  early.Block(true, 1).FixedLiterals("xy").FixedMatch(10, 32768).FixedEnd();
  run = RunInflate(early.Bytes());
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.output, std::string("xy") + std::string(10, '\0'));
}

TEST(Matches, RunsCrossingTheWindowEndAreSplit) {
  // Destination crossing: output reaches 32768 inside a match; source
  // crossing: the match reads from the end of the window into its start.
  for (size_t before : {32700u, 32767u, 32768u + 100u, 32768u + 1u, 2 * 32768u - 5u}) {
    std::string data = testing_support::RandomBytes(before, (uint32_t)before);
    BitWriter w;
    w.Stored(false, data.substr(0, 30000)).Stored(false, data.substr(30000)).Block(true, 1);
    Expected expected;
    expected.Literals(data);
    const unsigned matches[][2] = {{258, 200}, {258, 1000}, {50, 3}, {258, 7}, {258, 32000}, {258, 9}};
    for (auto& m : matches) {
      w.FixedMatch(m[0], m[1]);
      expected.Match(m[0], m[1]);
    }
    w.FixedEnd();
    InflateRun run = RunInflate(w.Bytes());
    ASSERT_EQ(run.result, 0) << before;
    ASSERT_TRUE(run.output == expected.bytes) << before;
    ASSERT_EQ(run.crc, ReferenceCrc(expected.bytes));
  }
}

TEST(FixedBlocks, UnusedCodesAreInvalidAndBlockType3IsRejected) {
  // A short member meets the bad code on the careful path; a long lead-in
  // and more data after the code make the fast path meet it.
  const std::string leadIns[] = {"ab", std::string(300, 'q') + "ab"};
  const std::string after(200, 'z');
  for (const std::string& leadIn : leadIns) {
    for (unsigned symbol : {286u, 287u}) {
      BitWriter w;
      w.Block(true, 1).FixedLiterals(leadIn).FixedSymbol(symbol).FixedLiterals(after).FixedEnd();
      ExpectDamaged(w.Bytes(), 1);
    }
    for (unsigned code : {30u, 31u}) {
      BitWriter w;
      w.Block(true, 1).FixedLiterals(leadIn).FixedSymbol(257).FixedDistanceCode(code);
      w.FixedLiterals(after).FixedEnd();
      ExpectDamaged(w.Bytes(), 1);
    }
  }
  BitWriter type3;
  type3.Block(true, 3).Bits(0, 16);
  ExpectDamaged(type3.Bytes(), 2);
}

TEST(FixedBlocks, TablesLastForTheMemberAndAreReleasedAfterIt) {
  BitWriter w;
  w.Block(false, 1).FixedLiterals("one ").FixedEnd().Stored(false, "two ");
  w.Block(true, 1).FixedLiterals("three").FixedMatch(3, 5).FixedEnd();
  InflateRun run = RunInflate(w.Bytes());
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.output, "one two threethr");
  EXPECT_EQ(fixedLiteralTable, nullptr);
  EXPECT_EQ(fixedDistanceTable, nullptr);
}

TEST(DynamicBlocks, ASingleOneBitDistanceCodeIsAcceptedAndItsTwinRejected) {
  SmallDynamic block(std::vector<uint8_t>{1});
  BitWriter w;
  block.Header(w);
  block.Symbol(w, 'a');
  block.Symbol(w, 'b');
  block.Symbol(w, 257);
  w.Code(0, 1);  // distance code 0: distance 1
  block.Symbol(w, 256);
  InflateRun run = RunInflate(w.Bytes());
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.output, "abbbb");

  BitWriter twin;
  block.Header(twin);
  block.Symbol(twin, 'a');
  block.Symbol(twin, 257);
  twin.Code(1, 1);  // the unused code
  block.Symbol(twin, 256);
  ExpectDamaged(twin.Bytes(), 1);
}

TEST(DynamicBlocks, IncompleteAndOversubscribedCodesAreRejected) {
  // Two 2-bit distance codes: incomplete with a longest code above 1 bit.
  SmallDynamic incomplete(std::vector<uint8_t>{2, 2});
  BitWriter w;
  incomplete.Header(w);
  incomplete.Symbol(w, 256);
  ExpectDamaged(w.Bytes(), 1);
  // Three 1-bit distance codes: over-subscribed.
  SmallDynamic over(std::vector<uint8_t>{1, 1, 1});
  BitWriter o;
  over.Header(o);
  over.Symbol(o, 256);
  ExpectDamaged(o.Bytes(), 2);
  // A code-length code of two 2-bit codes: incomplete.
  uint8_t lengthCode[19] = {0};
  lengthCode[0] = 2;
  lengthCode[2] = 2;
  BitWriter c;
  DynamicHeader(c, true, 0, 0, lengthCode, {});
  c.Bits(0, 32);
  ExpectDamaged(c.Bytes(), 1);
}

TEST(DynamicBlocks, CountsAtAndPastTheirLimits) {
  // HLIT 286 and HDIST 30 at their limits decode.
  std::vector<uint8_t> lengths(286 + 30, 0);
  lengths['a'] = lengths[256] = 1;
  lengths[286] = 1;
  BitWriter ok;
  DynamicHeader(ok, true, 29, 29, kFullLengthCode, Plain(lengths));
  ok.Code(0, 1).Code(0, 1).Code(1, 1);
  InflateRun run = RunInflate(ok.Bytes());
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.output, "aa");
  // HLIT fields 30, 31 and HDIST fields 30, 31.
  for (unsigned field : {30u, 31u}) {
    BitWriter lit, dist;
    DynamicHeader(lit, true, field, 0, kFullLengthCode, {});
    lit.Bits(0, 32);
    ExpectDamaged(lit.Bytes(), 1);
    DynamicHeader(dist, true, 0, field, kFullLengthCode, {});
    dist.Bits(0, 32);
    ExpectDamaged(dist.Bytes(), 1);
  }
}

TEST(DynamicBlocks, RepeatsRunAcrossBothListsButNotPastTheirEnd) {
  // 258 literal/length lengths ('a' 1 bit, 256 and 257 2 bits), then a
  // repeat that carries 257's length into distance codes 0..2, then code 3.
  std::vector<uint8_t> lengths(258, 0);
  lengths['a'] = 1;
  lengths[256] = 2;
  lengths[257] = 2;
  std::vector<LengthSymbol> sequence = Plain(lengths);
  sequence.push_back({16, 0});
  sequence.push_back({2, 0});
  uint32_t codes[258];
  CanonicalCodes(lengths.data(), 258, codes);
  BitWriter ok;
  DynamicHeader(ok, true, 1, 3, kFullLengthCode, sequence);
  ok.Code(codes['a'], 1).Code(codes[257], 2).Code(3, 2).Code(codes[256], 2);  // distance 4
  Expected expected;
  expected.Literals("a");
  expected.Match(3, 4);
  InflateRun run = RunInflate(ok.Bytes());
  ASSERT_EQ(run.result, 0);
  EXPECT_TRUE(run.output == expected.bytes);

  // With two distance lengths, the repeat runs one past the end.
  sequence.pop_back();
  BitWriter over;
  DynamicHeader(over, true, 1, 1, kFullLengthCode, sequence);
  over.Bits(0, 32);
  ExpectDamaged(over.Bytes(), 1);
  // A zero run past the end.
  BitWriter zeros;
  DynamicHeader(zeros, true, 0, 0, kFullLengthCode, {{18, 127}, {18, 127}});
  zeros.Bits(0, 32);
  ExpectDamaged(zeros.Bytes(), 1);
}

TEST(DynamicBlocks, AFirstRepeatSymbolRepeatsLengthZero) {
  // 16 first: symbols 0..5 get length 0, whatever came before in memory.
  std::vector<uint8_t> lengths(258, 0);
  lengths[6] = 1;
  lengths[256] = 1;
  std::vector<LengthSymbol> sequence = {{16, 3}};
  std::vector<LengthSymbol> rest = Plain(std::vector<uint8_t>(lengths.begin() + 6, lengths.end()));
  sequence.insert(sequence.end(), rest.begin(), rest.end());
  sequence.push_back({0, 0});
  // A previous block leaves nonzero lengths behind in the work array.
  BitWriter w;
  w.Block(false, 1).FixedLiterals("x").FixedEnd();
  DynamicHeader(w, true, 1, 0, kFullLengthCode, sequence);
  w.Code(0, 1).Code(0, 1).Code(1, 1);
  InflateRun run = RunInflate(w.Bytes());
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.output, "x\x06\x06");
}

TEST(DynamicBlocks, EmptyCodesAndTheUnusedCodeLengthCode) {
  // All literal/length lengths zero: the first lookup is an invalid code.
  BitWriter empty;
  DynamicHeader(empty, true, 0, 0, kFullLengthCode, {{18, 127}, {18, 108}});
  empty.Bits(0, 32);
  ExpectDamaged(empty.Bytes(), 1);
  // No distance code at all: fine without matches, invalid with one.
  std::vector<uint8_t> lengths(258, 0);
  lengths['q'] = lengths[256] = lengths[257] = 2;
  lengths['r'] = 2;
  std::vector<uint8_t> all = lengths;
  all.push_back(0);
  uint32_t codes[258];
  CanonicalCodes(lengths.data(), 258, codes);
  BitWriter literalsOnly, withMatch;
  DynamicHeader(literalsOnly, true, 1, 0, kFullLengthCode, Plain(all));
  literalsOnly.Code(codes['q'], 2).Code(codes['r'], 2).Code(codes[256], 2);
  InflateRun run = RunInflate(literalsOnly.Bytes());
  ASSERT_EQ(run.result, 0);
  EXPECT_EQ(run.output, "qr");
  DynamicHeader(withMatch, true, 1, 0, kFullLengthCode, Plain(all));
  withMatch.Code(codes['q'], 2).Code(codes[257], 2).Bits(0, 8).Code(codes[256], 2);
  ExpectDamaged(withMatch.Bytes(), 1);
  // A code-length code of one 1-bit code, then its unused code.
  uint8_t single[19] = {0};
  single[18] = 1;
  BitWriter one;
  DynamicHeader(one, true, 0, 0, single, {});
  one.Code(1, 1).Bits(0, 32);
  ExpectDamaged(one.Bytes(), 1);
}

TEST(Failures, ACancelledMemberThatFailsReportsDamage) {
  BitWriter w;
  w.Stored(false, testing_support::RandomBytes(40000, 8)).Block(true, 3).Bits(0, 16);
  InflateOptions options;
  options.cancelAtCall = 1;
  InflateRun run = RunInflate(w.Bytes(), options);
  EXPECT_EQ(run.result, 2);
  EXPECT_EQ(run.status, kStatusDamaged);
  EXPECT_EQ(run.progress.size(), 1u);
}

TEST(Failures, InputThatRunsOutEndsTheMember) {
  // A fixed block without its end: past the data, 1-bits read as literal 255.
  BitWriter w;
  w.Block(true, 1).FixedLiterals(testing_support::RandomBytes(3000, 9));
  std::string stream = w.Bytes();
  for (size_t cut : {(size_t)0, (size_t)1, (size_t)2, stream.size() / 2, stream.size() - 1, stream.size()}) {
    InflateOptions options;
    options.compressedSize = (int64_t)cut;
    options.trailer = std::string(100, '\xFF');
    InflateRun run = RunInflate(stream, options);
    EXPECT_EQ(run.status, kStatusDamaged) << cut;
    EXPECT_EQ(run.output, "") << cut;  // no full window was reached
  }
  // A stored block whose data is cut.
  BitWriter stored;
  stored.Stored(true, testing_support::RandomBytes(5000, 1));
  InflateOptions options;
  options.compressedSize = 4000;
  EXPECT_EQ(RunInflate(stored.Bytes(), options).status, kStatusDamaged);
}

TEST(Failures, AFailedArchiveReadEndsTheMember) {
  BitWriter w;
  w.Stored(false, testing_support::RandomBytes(50000, 6)).Block(true, 1).FixedLiterals("end").FixedEnd();
  InflateOptions options;
  options.failReadAt = 2;
  InflateRun run = RunInflate(w.Bytes(), options);
  EXPECT_EQ(run.status, kStatusDamaged);
  EXPECT_EQ(run.reads, 2u);  // no read after the failed one
  EXPECT_EQ(run.output, "");
}

}  // namespace
