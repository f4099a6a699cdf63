// Match copies on long streams, where the decoder's fast path does the work:
// short distances that repeat a pattern, sources one window back (up to the
// window's end and exactly one window back), and matches right after short
// ones, whose word copies run past their end into bytes that are still
// history. The streams are random symbol sequences in the fixed code; the
// expected output comes from a byte-by-byte model of the circular window.
#include <stdint.h>

#include <string>

#include <gtest/gtest.h>

#include "common/test_support.h"
#include "inflate/inflate.h"
#include "tests/inflate/inflate_harness.h"

namespace {

// The window as the format defines it: every match copied byte by byte from
// (position - distance) modulo the window size, so distances past the
// member's start read whatever the window held.
struct WindowModel {
  std::string window = std::string(kWindowSize, '\0');
  uint32_t pos = 0;
  std::string output;
  void Put(char c) {
    window[pos] = c;
    pos = (pos + 1) % kWindowSize;
    output.push_back(c);
  }
  void Match(unsigned length, unsigned distance) {
    for (unsigned i = 0; i < length; i++) Put(window[(pos + kWindowSize - distance) % kWindowSize]);
  }
};

struct Random {
  uint32_t state;
  uint32_t Next() {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
};

// A member of one fixed block with `symbols` random literals and matches,
// mirrored into `model`. Matches of every distance class are mixed in,
// including distances that reach before the member's start.
std::string RandomMember(Random& random, WindowModel& model, unsigned symbols) {
  BitWriter w;
  w.Block(true, 1);
  for (unsigned i = 0; i < symbols; i++) {
    uint32_t kind = random.Below(10);
    if (kind < 4) {
      char c = (char)('a' + random.Below(6));
      w.FixedSymbol((uint8_t)c);
      model.Put(c);
      continue;
    }
    // Short lengths dominate, as in real data; some reach the longest.
    unsigned length = random.Below(4) ? 3 + random.Below(14) : 3 + random.Below(256);
    unsigned distance;
    switch (kind) {
      case 4: distance = 1 + random.Below(7); break;               // a repeated pattern
      case 5: distance = 8 + random.Below(40); break;              // close, overlapping
      case 6: distance = kWindowSize - random.Below(33); break;    // the bytes just ahead
      case 7: distance = kWindowSize - 300 + random.Below(300); break;
      default: distance = 1 + random.Below(kWindowSize); break;
    }
    w.FixedMatch(length, distance);
    model.Match(length, distance);
  }
  w.FixedEnd();
  return w.Bytes();
}

TEST(MatchCopies, RandomMatchesOfEveryDistanceClassGiveTheModelsBytes) {
  // Both builds of the fast path: the one this processor gets (0 asks it),
  // and the plain one (-1).
  struct AskAgainAfter {
    ~AskAgainAfter() { fastPathBmi2 = 0; }
  } askAgainAfter;
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    fastPathBmi2 = seed % 2 ? 0 : -1;
    Random random{seed};
    WindowModel model;
    std::string member = RandomMember(random, model, 60000);
    InflateRun run = RunInflate(member);
    ASSERT_EQ(run.result, 0) << seed;
    ASSERT_EQ(run.output.size(), model.output.size()) << seed;
    for (size_t i = 0; i < model.output.size(); i++) {
      ASSERT_EQ(run.output[i], model.output[i]) << "seed " << seed << " byte " << i;
    }
    EXPECT_EQ(run.crc, ReferenceCrc(model.output));
    EXPECT_EQ(run.progress.size(), model.output.size() / kWindowSize + 1);
  }
}

TEST(MatchCopies, AFarMatchRightAfterAShortOneReadsTheOldBytesBehindIt) {
  // Old bytes that differ from everything written now, then short matches
  // each followed by a match of distance 32737..32768: it starts on the
  // bytes that the short match's word copies ran over.
  WindowModel model;
  BitWriter w;
  w.Block(true, 1);
  std::string old = testing_support::RandomBytes(kWindowSize, 9);
  for (char c : old) {
    w.FixedSymbol((uint8_t)c);
    model.Put(c);
  }
  w.FixedLiterals("0123456789abcdef");
  for (char c : std::string("0123456789abcdef")) model.Put(c);
  for (unsigned i = 0; i < 2000; i++) {
    unsigned shortDistance = i % 3 == 0 ? 2 + i % 6 : 16;
    w.FixedMatch(3 + i % 4, shortDistance);
    model.Match(3 + i % 4, shortDistance);
    unsigned far = kWindowSize - i % 32;
    w.FixedMatch(5 + i % 20, far);
    model.Match(5 + i % 20, far);
  }
  w.FixedEnd();
  InflateRun run = RunInflate(w.Bytes());
  ASSERT_EQ(run.result, 0);
  ASSERT_TRUE(run.output == model.output);
}

TEST(MatchCopies, ANewMemberReadsThePreviousMembersBytesBeforeItsStart) {
  // Distances past the start of a member copy the window as the last member
  // left it, in the fast path as in the careful one.
  Random random{77};
  WindowModel model;
  std::string first = RandomMember(random, model, 20000);
  ASSERT_EQ(RunInflate(first).result, 0);
  model.pos = 0;
  model.output.clear();
  std::string second = RandomMember(random, model, 20000);
  InflateOptions options;
  options.keepWindow = true;
  InflateRun run = RunInflate(second, options);
  ASSERT_EQ(run.result, 0);
  ASSERT_TRUE(run.output == model.output);
}

}  // namespace
