// Shapes of the decoding tables: the fixed code's tables, incomplete and
// over-subscribed codes, and a full round trip of every symbol of many codes.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "inflate/huffman.h"
#include "inflate/inflate.h"
#include "tests/inflate/rfc1951_tables.h"

namespace {

const uint16_t kBases[32] = {0};
const uint16_t kExtras[32] = {0};

// Follows the table with `code` (first code bit at bit 0) the way the
// decoder does; returns the entry found and the bits dropped on the way.
const HuffmanEntry* Decode(const HuffmanEntry* table, unsigned bits, uint32_t code, unsigned* dropped) {
  *dropped = 0;
  const HuffmanEntry* entry = table + (code & ((1u << bits) - 1));
  while (entry->tag > kTagLinkBase && entry->tag != kTagInvalid) {
    code >>= entry->dropBits;
    *dropped += entry->dropBits;
    unsigned sub = entry->tag - kTagLinkBase;
    entry = entry->subTable + (code & ((1u << sub) - 1));
  }
  *dropped += entry->dropBits;
  return entry;
}

unsigned ChainLength(const HuffmanEntry* table) {
  unsigned n = 0;
  for (; table != nullptr; table = table[-1].subTable) n++;
  return n;
}

// Canonical codes of RFC 1951 3.2.2, bit-reversed so the first bit is bit 0.
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lengths) {
  unsigned count[17] = {0}, next[17] = {0};
  for (uint8_t l : lengths) count[l]++;
  count[0] = 0;
  for (unsigned bits = 1, code = 0; bits <= 16; bits++) {
    code = (code + count[bits - 1]) << 1;
    next[bits] = code;
  }
  std::vector<uint32_t> codes(lengths.size());
  for (size_t s = 0; s < lengths.size(); s++) {
    unsigned len = lengths[s];
    if (len == 0) continue;
    uint32_t c = next[len]++, reversed = 0;
    for (unsigned i = 0; i < len; i++) reversed |= ((c >> i) & 1) << (len - 1 - i);
    codes[s] = reversed;
  }
  return codes;
}

std::vector<uint8_t> FixedLiteralLengths() {
  std::vector<uint8_t> lengths(288);
  for (int s = 0; s < 288; s++) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
  return lengths;
}

TEST(HuffmanTables, FixedLiteralCodeHasASevenBitRootAnd105Tables) {
  std::vector<uint8_t> lengths = FixedLiteralLengths();
  uint16_t bases[31], extras[31];
  for (int i = 0; i < 31; i++) {
    bases[i] = (uint16_t)(1000 + i);
    extras[i] = (uint16_t)(i < 29 ? i % 6 : kTagInvalid);
  }
  HuffmanEntry* table;
  unsigned bits = 7;
  ASSERT_EQ(BuildHuffmanTable(lengths.data(), 288, 257, bases, extras, &table, &bits), kHuffmanComplete);
  EXPECT_EQ(bits, 7u);
  EXPECT_EQ(ChainLength(table), 105u);
  unsigned oneBit = 0, twoBit = 0;
  for (unsigned i = 0; i < 128; i++) {
    if (table[i].tag == kTagLinkBase + 1) oneBit++;
    if (table[i].tag == kTagLinkBase + 2) twoBit++;
  }
  EXPECT_EQ(oneBit, 76u);
  EXPECT_EQ(twoBit, 28u);
  // 286 and 287 carry the invalid tag from the extra-bit list.
  std::vector<uint32_t> codes = CanonicalCodes(lengths);
  unsigned dropped;
  EXPECT_EQ(Decode(table, bits, codes[286], &dropped)->tag, kTagInvalid);
  EXPECT_EQ(Decode(table, bits, codes[256], &dropped)->tag, kTagEndOfBlock);
  const HuffmanEntry* length = Decode(table, bits, codes[260], &dropped);
  EXPECT_EQ(length->value, 1003);
  EXPECT_EQ(length->tag, 3);
  EXPECT_EQ(ReleaseHuffmanTable(table), 0);
}

TEST(HuffmanTables, FixedDistanceCodeIsIncompleteWithCodes30And31Invalid) {
  std::vector<uint8_t> lengths(30, 5);
  HuffmanEntry* table;
  unsigned bits = 5;
  ASSERT_EQ(BuildHuffmanTable(lengths.data(), 30, 0, kBases, kExtras, &table, &bits), kHuffmanIncomplete);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(bits, 5u);
  EXPECT_EQ(ChainLength(table), 1u);
  // Codes 30 (11110) and 31 (11111), bit-reversed: 01111 and 11111.
  EXPECT_EQ(table[0x0F].tag, kTagInvalid);
  EXPECT_EQ(table[0x1F].tag, kTagInvalid);
  unsigned invalid = 0;
  for (unsigned i = 0; i < 32; i++) invalid += table[i].tag == kTagInvalid;
  EXPECT_EQ(invalid, 2u);
  ReleaseHuffmanTable(table);
}

TEST(HuffmanTables, SmallIncompleteAndOversubscribedCodes) {
  HuffmanEntry* table;
  unsigned bits;
  // One 1-bit code: accepted, its unused twin is invalid.
  uint8_t single[5] = {0, 0, 1, 0, 0};
  bits = 6;
  ASSERT_EQ(BuildHuffmanTable(single, 5, 0, kBases, kExtras, &table, &bits), kHuffmanComplete);
  EXPECT_EQ(bits, 1u);
  EXPECT_EQ(table[0].dropBits, 1);
  EXPECT_NE(table[0].tag, kTagInvalid);
  EXPECT_EQ(table[1].tag, kTagInvalid);
  ReleaseHuffmanTable(table);
  // Two 2-bit codes: incomplete, built, result 1.
  uint8_t two[4] = {2, 0, 2, 0};
  bits = 6;
  ASSERT_EQ(BuildHuffmanTable(two, 4, 0, kBases, kExtras, &table, &bits), kHuffmanIncomplete);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(bits, 2u);
  ReleaseHuffmanTable(table);
  // Three 1-bit codes: over-subscribed, nothing built.
  uint8_t three[3] = {1, 1, 1};
  bits = 6;
  table = (HuffmanEntry*)1;
  EXPECT_EQ(BuildHuffmanTable(three, 3, 0, kBases, kExtras, &table, &bits), kHuffmanOversubscribed);
  EXPECT_EQ(table, nullptr);
  // All zero: no table, no bits; releasing nothing is allowed.
  uint8_t none[19] = {0};
  bits = 7;
  EXPECT_EQ(BuildHuffmanTable(none, 19, 19, nullptr, nullptr, &table, &bits), kHuffmanComplete);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(bits, 0u);
  EXPECT_EQ(ReleaseHuffmanTable(nullptr), 0);
}

TEST(HuffmanTables, RootWidthFollowsShortestCodeAndEndOfBlockLength) {
  // Shortest code 8 bits with 5 requested: the root takes at least 8 bits.
  std::vector<uint8_t> flat(256, 8);
  HuffmanEntry* table;
  unsigned bits = 5;
  ASSERT_EQ(BuildHuffmanTable(flat.data(), 256, 256, nullptr, nullptr, &table, &bits), kHuffmanComplete);
  EXPECT_EQ(bits, 8u);
  ReleaseHuffmanTable(table);
  // A literal/length code whose end of block has 2 bits gets a 2-bit root.
  std::vector<uint8_t> lengths(257, 0);
  lengths[256] = 2;
  lengths[0] = 1;
  for (int s = 1; s <= 4; s++) lengths[s] = 4;
  bits = 9;
  ASSERT_EQ(BuildHuffmanTable(lengths.data(), 257, 257, nullptr, nullptr, &table, &bits), kHuffmanComplete);
  EXPECT_EQ(bits, 2u);
  ReleaseHuffmanTable(table);
}

// Every symbol is found from its own code followed by any bits, dropping
// exactly its length, over many random complete codes up to 15 bits.
TEST(HuffmanTables, EverySymbolDecodesFromItsCodeFollowedByAnyBits) {
  uint32_t state = 12345;
  auto next = [&state]() { return state = state * 1664525u + 1013904223u; };
  for (int round = 0; round < 300; round++) {
    unsigned n = 2 + next() % 287;
    // Split codes until there are n of them: a complete code by construction.
    std::vector<uint8_t> lengths(1, 0);
    while (lengths.size() < n) {
      size_t pick = (next() >> 8) % lengths.size();
      if (lengths[pick] >= 15) continue;
      lengths[pick]++;
      lengths.push_back(lengths[pick]);
    }
    // Shuffle which symbol gets which length, and blank some symbols out.
    for (size_t i = lengths.size(); i > 1; i--) std::swap(lengths[i - 1], lengths[(next() >> 8) % i]);
    bool incomplete = round % 3 == 0 && lengths.size() > 2;
    if (incomplete) lengths[0] = 0;
    unsigned simple = round % 2 ? 257 : 0;
    std::vector<uint16_t> bases(300), extras(300);
    for (int i = 0; i < 300; i++) {
      bases[i] = (uint16_t)(7000 + i);
      extras[i] = (uint16_t)(i % 14);
    }
    HuffmanEntry* table;
    unsigned bits = 9;
    int result = BuildHuffmanTable(lengths.data(), (unsigned)lengths.size(), simple, bases.data(),
                                   extras.data(), &table, &bits);
    unsigned longest = 0;
    for (uint8_t l : lengths) longest = l > longest ? l : longest;
    ASSERT_EQ(result, incomplete && longest > 1 ? kHuffmanIncomplete : kHuffmanComplete) << round;
    std::vector<uint32_t> codes = CanonicalCodes(lengths);
    for (size_t s = 0; s < lengths.size(); s++) {
      if (lengths[s] == 0) continue;
      for (int trial = 0; trial < 3; trial++) {
        uint32_t word = codes[s] | (next() << lengths[s]);
        unsigned dropped;
        const HuffmanEntry* e = Decode(table, bits, word, &dropped);
        ASSERT_EQ(dropped, lengths[s]) << "round " << round << " symbol " << s;
        if (s < simple) {
          ASSERT_EQ(e->tag, s < 256 ? kTagLiteral : kTagEndOfBlock);
          ASSERT_EQ(e->value, s);
        } else {
          ASSERT_EQ(e->tag, extras[s - simple]);
          ASSERT_EQ(e->value, bases[s - simple]);
        }
      }
    }
    ReleaseHuffmanTable(table);
  }
}

}  // namespace

namespace {

// Compares two builds entry by entry, following links into sub-tables, and
// checks that the links of both name the same position in their chains.
void ExpectSameTables(const HuffmanEntry* a, const HuffmanEntry* b, unsigned bits,
                      const std::vector<const HuffmanEntry*>& chainA,
                      const std::vector<const HuffmanEntry*>& chainB, const std::string& where) {
  for (unsigned i = 0; i < (1u << bits); i++) {
    ASSERT_EQ(a[i].tag, b[i].tag) << where << " index " << i;
    ASSERT_EQ(a[i].dropBits, b[i].dropBits) << where << " index " << i;
    if (a[i].tag > kTagLinkBase && a[i].tag != kTagInvalid) {
      size_t posA = std::find(chainA.begin(), chainA.end(), a[i].subTable) - chainA.begin();
      size_t posB = std::find(chainB.begin(), chainB.end(), b[i].subTable) - chainB.begin();
      ASSERT_LT(posA, chainA.size()) << where;
      ASSERT_EQ(posA, posB) << where << " index " << i;
      ExpectSameTables(a[i].subTable, b[i].subTable, a[i].tag - kTagLinkBase, chainA, chainB,
                       where + "/" + std::to_string(i));
    } else if (a[i].tag != kTagInvalid) {
      ASSERT_EQ(a[i].value, b[i].value) << where << " index " << i;
    }
  }
}

std::vector<const HuffmanEntry*> Chain(const HuffmanEntry* table) {
  std::vector<const HuffmanEntry*> chain;
  for (; table != nullptr; table = table[-1].subTable) chain.push_back(table);
  return chain;
}

// Builds with both builders and expects the same result, root width and
// tables, chain order included.
void ExpectBuildersAgree(const std::vector<uint8_t>& lengths, unsigned simple, unsigned wanted,
                         const uint16_t* bases, const uint16_t* extras, const std::string& what) {
  HuffmanEntry *full = nullptr, *compact = nullptr;
  unsigned fullBits = wanted, compactBits = wanted;
  int fullResult = BuildHuffmanTable(lengths.data(), (unsigned)lengths.size(), simple, bases, extras,
                                     &full, &fullBits);
  int compactResult = BuildCompactHuffmanTable(lengths.data(), (unsigned)lengths.size(), simple,
                                               bases, extras, &compact, &compactBits);
  EXPECT_EQ(fullResult, compactResult) << what;
  EXPECT_EQ(fullBits, compactBits) << what;
  EXPECT_EQ(full == nullptr, compact == nullptr) << what;
  if (full != nullptr && compact != nullptr && fullBits == compactBits) {
    std::vector<const HuffmanEntry*> chainFull = Chain(full), chainCompact = Chain(compact);
    EXPECT_EQ(chainFull.size(), chainCompact.size()) << what;
    ExpectSameTables(full, compact, fullBits, chainFull, chainCompact, what);
  }
  ReleaseHuffmanTable(full);
  ReleaseHuffmanTable(compact);
}

}  // namespace

TEST(HuffmanTables, CompactBuilderMakesTheSameTablesForTheFixedCode) {
  std::vector<uint16_t> bases(31), extras(31);
  for (int i = 0; i < 31; i++) {
    bases[i] = (uint16_t)(3 + i);
    extras[i] = (uint16_t)(i < 29 ? i / 4 : kTagInvalid);
  }
  ExpectBuildersAgree(FixedLiteralLengths(), 257, 7, bases.data(), extras.data(), "fixed literals");
  ExpectBuildersAgree(std::vector<uint8_t>(30, 5), 0, 5, bases.data(), extras.data(), "fixed distances");
}

// Random codes of every kind: complete, incomplete (some codes left out),
// over-subscribed, with and without an end-of-block symbol, asked for root
// widths from 1 to 10 bits.
TEST(HuffmanTables, CompactBuilderMakesTheSameTablesForRandomCodes) {
  uint32_t state = 777;
  auto next = [&state]() { return (state = state * 1664525u + 1013904223u) >> 8; };
  std::vector<uint16_t> bases(300), extras(300);
  for (int i = 0; i < 300; i++) {
    bases[i] = (uint16_t)(500 + 3 * i);
    extras[i] = (uint16_t)(i % 14);
  }
  for (int round = 0; round < 600; round++) {
    unsigned n = 1 + next() % 288;
    unsigned maxLength = 1 + next() % 15;
    std::vector<uint8_t> lengths(1, 0);
    while (lengths.size() < n) {
      size_t pick = next() % lengths.size();
      if (lengths[pick] >= maxLength) {
        if (next() % 8 == 0) break;  // fewer symbols than asked
        continue;
      }
      lengths[pick]++;
      lengths.push_back(lengths[pick]);
    }
    for (size_t i = lengths.size(); i > 1; i--) std::swap(lengths[i - 1], lengths[next() % i]);
    switch (round % 4) {
      case 1:  // incomplete: drop a few codes
        for (unsigned k = 1 + next() % 3; k > 0; k--) lengths[next() % lengths.size()] = 0;
        break;
      case 2:  // over-subscribed, mostly: shorten one code
        if (lengths[0] > 1) lengths[0]--;
        break;
      case 3:  // lengths with no structure at all
        for (uint8_t& l : lengths) l = (uint8_t)(next() % 8 == 0 ? 0 : 1 + next() % maxLength);
        break;
    }
    while (lengths.size() < n) lengths.push_back(0);
    unsigned simple = round % 3 == 0 ? 0 : round % 3 == 1 ? 257 : (unsigned)lengths.size();
    unsigned wanted = 1 + next() % 10;
    ExpectBuildersAgree(lengths, simple, wanted, bases.data(), extras.data(),
                        "round " + std::to_string(round));
    if (HasFatalFailure()) return;
  }
}

// The small build derives the length and distance codes of RFC 1951 section
// 3.2.5 instead of carrying them; every entry must be the RFC's.
TEST(HuffmanTables, DerivedLengthAndDistanceCodesAreTheRfcTables) {
  DeflateCodeTables tables;
  memset(&tables, 0xA5, sizeof tables);  // every entry must be written
  DeriveCodeTables(&tables);
  for (int i = 0; i < 29; i++) {
    EXPECT_EQ(tables.lengthBase[i], kRfcLengthBases[i]) << "length code " << 257 + i;
    EXPECT_EQ(tables.lengthExtra[i], kRfcLengthExtras[i]) << "length code " << 257 + i;
  }
  for (int i = 29; i < 31; i++) {
    EXPECT_EQ(tables.lengthBase[i], 0) << "length code " << 257 + i;
    EXPECT_EQ(tables.lengthExtra[i], kTagInvalid) << "length code " << 257 + i;
  }
  for (int i = 0; i < 30; i++) {
    EXPECT_EQ(tables.distanceBase[i], kRfcDistanceBases[i]) << "distance code " << i;
    EXPECT_EQ(tables.distanceExtra[i], i < 4 ? 0 : i / 2 - 1) << "distance code " << i;
  }
}
