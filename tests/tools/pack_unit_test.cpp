// The packer's output file: it replaces the target only when committed, and refuses to grow past its limit (4 GiB in
// use, lowered here).
#include <gtest/gtest.h>

#include "common/test_support.h"
#include "tools/pack_internal.h"

TEST(PackOutput, AppearsOnlyWhenCommittedAndNeverPastItsLimit) {
  namespace fs = std::filesystem;
  testing_support::TempDir dir;
  fs::path target = dir.path() / "out.exe";
  auto entries = [&] { return std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()); };
  testing_support::WriteFileBytes(target, "old");
  for (bool commit : {false, true}) {
    pack::OutputFile out(target.string(), 10);
    out.Write("new bytes!", 10);
    EXPECT_THROW(out.Write("x", 1), pack::PackError);
    EXPECT_EQ(entries(), 2);  // the old output and the temporary file
    EXPECT_EQ(testing_support::ReadFileBytes(target), "old");
    if (commit) out.Commit();
  }
  EXPECT_EQ(testing_support::ReadFileBytes(target), "new bytes!");
  EXPECT_EQ(entries(), 1);
}
