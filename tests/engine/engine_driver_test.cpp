// The extraction driver: the order and answers of the callbacks, how a run
// ends, and that hostile member names are refused with nothing written
// outside the target directory.
#include <gtest/gtest.h>

#include "engine/engine_support.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "platform/fault.h"

using namespace testing_support;
using namespace engine_test;
namespace fs = std::filesystem;

namespace {

class DriverTest : public EngineTest {
 protected:
  uint16_t Run(const std::string& archive, int callbacks = kAllCallbacks) {
    return ExtractArchive(archive, dir.Core("out"), callbacks);
  }
  uint16_t RunPatched(const std::string& zip, int callbacks = kAllCallbacks) {
    WriteFileBytes(dir.path() / "patched.zip", zip);
    return Run(dir.Core("patched.zip"), callbacks);
  }
  std::vector<std::string> Out() { return TreeOf(dir.path() / "out"); }
  std::vector<std::string> Only(const std::string& prefix) {
    std::vector<std::string> kept;
    for (const std::string& e : events) {
      if (e.rfind(prefix, 0) == 0) kept.push_back(e);
    }
    return kept;
  }
};

TEST_F(DriverTest, CallbacksInOrder) {
  ASSERT_EQ(Run(Fixture("members.zip")), kStatusOk);
  EXPECT_EQ(Only("before"), (std::vector<std::string>{"before stored.bin", "before text/deflated.txt",
                                                      "before empty.txt", "before a/b/c/nested.txt"}));
  EXPECT_EQ(Only("after"), (std::vector<std::string>{"after stored.bin 0", "after text/deflated.txt 0",
                                                     "after empty.txt 0", "after a/b/c/nested.txt 0"}));
  // Each member's progress comes between its before and after calls.
  EXPECT_EQ(events[0], "before stored.bin");
  EXPECT_EQ(events[1], "progress 4096/10000");
}

TEST_F(DriverTest, WithoutCallbacksEverythingIsExtractedAndReplaced) {
  WriteFileBytes(dir.path() / "out" / "empty.txt", "old contents");
  ASSERT_EQ(Run(Fixture("members.zip"), kNoCallbacks), kStatusOk);
  EXPECT_EQ(ReadFileBytes(dir.path() / "out" / "empty.txt"), "");
  EXPECT_TRUE(fs::exists(dir.path() / "out" / "a" / "b" / "c" / "nested.txt"));
}

TEST_F(DriverTest, SkipAllWritesNothing) {
  defaultAnswer = kAnswerSkip;
  EXPECT_EQ(Run(Fixture("members.zip")), kStatusOk);
  EXPECT_TRUE(Out().empty());
  EXPECT_TRUE(Only("after").empty());
  EXPECT_EQ(Only("before").size(), 4u);
}

TEST_F(DriverTest, CancelTheFirstMember) {
  defaultAnswer = kAnswerCancel;
  EXPECT_EQ(Run(Fixture("members.zip")), kStatusCancelled);
  EXPECT_TRUE(Out().empty());
  EXPECT_EQ(events, (std::vector<std::string>{"before stored.bin"}));
}

TEST_F(DriverTest, AnyOtherAnswerExtracts) {
  for (int32_t answer : {3, -1}) {
    SCOPED_TRACE(answer);
    fs::remove_all(dir.path() / "out");
    defaultAnswer = answer;
    EXPECT_EQ(Run(Fixture("members.zip")), kStatusOk);
    EXPECT_EQ(Out().size(), 8u);  // 4 files and the folders text, a, a/b, a/b/c
  }
}

TEST_F(DriverTest, WithoutAfterCallbackTheFirstFailureEndsTheRun) {
  std::string zip = ReadFileBytes(Fixture("members.zip"));
  Patch32(zip, CentralRecord(zip, 1) + 16, 0xDEADBEEF);  // CRC of the second member
  EXPECT_EQ(RunPatched(zip, kBefore | kProgress), kStatusCrcMismatch);
  EXPECT_TRUE(fs::exists(dir.path() / "out" / "text" / "deflated.txt"));  // a mismatch keeps it
  EXPECT_FALSE(fs::exists(dir.path() / "out" / "empty.txt"));            // not considered
  EXPECT_EQ(Only("before").size(), 2u);

  // With AfterEntryCallback answering true, the run goes on and ends with 0.
  events.clear();
  fs::remove_all(dir.path() / "out");
  EXPECT_EQ(RunPatched(zip), kStatusOk);
  EXPECT_TRUE(fs::exists(dir.path() / "out" / "a" / "b" / "c" / "nested.txt"));
  EXPECT_EQ(Only("after")[1], "after text/deflated.txt 19962");

  // Answering false stops it and keeps the member's code.
  events.clear();
  afterAnswer = false;
  EXPECT_EQ(RunPatched(zip), kStatusOk);  // the first member succeeded and said stop
  EXPECT_EQ(Only("after").size(), 1u);
}

TEST_F(DriverTest, CancelDuringTheLastMember) {
  // big.zip: first.txt, big-deflated.txt, big-stored.bin. The stored member
  // makes 74 progress calls; cancel in its middle.
  std::string zip = ReadFileBytes(Fixture("big.zip"));
  ASSERT_EQ(Run(Fixture("big.zip"), kProgress), kStatusOk);
  size_t total = events.size();
  fs::remove_all(dir.path() / "out");
  events.clear();
  cancelAtProgress = (uint32_t)total - 10;
  EXPECT_EQ(Run(Fixture("big.zip")), kStatusOk);
  EXPECT_FALSE(fs::exists(dir.path() / "out" / "big-stored.bin"));
  EXPECT_TRUE(fs::exists(dir.path() / "out" / "big-deflated.txt"));
  EXPECT_EQ(Only("after").back(), "after big-stored.bin 2926");
}

TEST_F(DriverTest, FoldersOnlyCallNothingAndWriteNothing) {
  EXPECT_EQ(Run(Fixture("dirs-only.zip")), kStatusOk);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(Out().empty());
}

TEST_F(DriverTest, DotFilesAreExtracted) {
  EXPECT_EQ(Run(Fixture("dotfiles.zip")), kStatusOk);
  EXPECT_EQ(ReadFileBytes(dir.path() / "out" / ".gitignore"), "*.o\n");
  EXPECT_EQ(ReadFileBytes(dir.path() / "out" / "src" / ".hidden"), "hidden\n");
}

TEST_F(DriverTest, DirectoryFailureCallsNothing) {
  EXPECT_EQ(Run(FixturePath("archive/zip64-end.zip")), kStatusDamaged);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(Out().empty());
}

// Every hostile name fails with 19963 before any question and before any
// file; the only file written is the harmless one, inside the target.
TEST_F(DriverTest, HostileNamesAreRefusedAndNothingLeavesTheTarget) {
  fs::create_directories(dir.path() / "root" / "target");
  uint16_t status =
      ExtractArchive(Fixture("hostile.zip"), dir.Core("root/target"), kAllCallbacks);
  EXPECT_EQ(status, kStatusOk);
  std::string names = ReadFileBytes(Fixture("hostile.names"));
  size_t hostile = 0;
  for (size_t at = 0, end; (end = names.find('\n', at)) != std::string::npos; at = end + 1) hostile++;
  std::vector<std::string> after = Only("after");
  ASSERT_EQ(after.size(), hostile + 1);
  for (size_t i = 0; i < hostile; i++) {
    EXPECT_EQ(after[i].substr(after[i].size() - 6), " 19963") << after[i];
  }
  EXPECT_EQ(after.back(), "after good.txt 0");
  EXPECT_EQ(Only("before"), (std::vector<std::string>{"before good.txt"}));
  EXPECT_EQ(TreeOf(dir.path() / "root"), (std::vector<std::string>{"target", "target/good.txt"}));
  EXPECT_EQ(TreeOf(dir.path() / "out"), std::vector<std::string>{});
}

TEST_F(DriverTest, NamesTheAnsiCodePageCannotHold) {
  EXPECT_EQ(Run(FixturePath("archive/utf8-names.zip")), kStatusOk);
  std::vector<std::string> after = Only("after");
  ASSERT_EQ(after.size(), 2u);
#ifdef _WIN32
  EXPECT_EQ(after[1].substr(after[1].size() - 6), " 19963");
  EXPECT_EQ(Out().size(), 1u);
#else
  EXPECT_EQ(after[1], "after \xCE\xA9mega.txt 0");
  EXPECT_EQ(Out().size(), 2u);
#endif
}

}  // namespace
