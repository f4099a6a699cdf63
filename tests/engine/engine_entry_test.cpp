// One member to one file: what is refused before anything is created, what
// a failure leaves on disk, the CRC check, the time stamp, and the rule that
// an existing file survives every failure of the member meant to replace it.
#include <gtest/gtest.h>

#include "engine/engine_support.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "platform/fault.h"

using namespace testing_support;
using namespace engine_test;
namespace fs = std::filesystem;

namespace {

// Members of members.zip, in central order.
const int kStored = 0;    // stored.bin, 10000 bytes, stored
const int kDeflated = 1;  // text/deflated.txt, deflated
const int kEmpty = 2;     // empty.txt, stored, empty

class EntryTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    zip = ReadFileBytes(Fixture("members.zip"));
  }

  // Writes the (patched) archive and extracts it into out/.
  uint16_t Run(int callbacks = kAllCallbacks) {
    WriteFileBytes(dir.path() / "a.zip", zip);
    return ExtractArchive(dir.Core("a.zip"), dir.Core("out"), callbacks);
  }
  // Extracts only member `index` (the others answer skip) and returns its outcome.
  uint16_t RunOne(int index) {
    WriteFileBytes(dir.path() / "a.zip", zip);
    ArchiveOpen(dir.Core("a.zip").c_str());
    EXPECT_EQ(errorCode, kStatusOk);
    EntryList list;
    InitEntryList(&list);
    ReadCentralDirectory(&list);
    CentralDirEntry* e = list.head;
    for (int i = 0; i < index; i++) e = e->next;
    SetOutputBaseDirectory(dir.Core("out").c_str());
    SetProgressCallback(RecordProgress);
    char path[kNameCapacity];
    EXPECT_TRUE(BuildTargetPath(e->name, path));
    ExtractEntry(&e->header, path);
    uint16_t outcome = errorCode;
    FreeEntryList(&list);
    ArchiveClose();
    return outcome;
  }
  void PutOld(const std::string& name) {
    fs::create_directories((dir.path() / "out" / name).parent_path());
    WriteFileBytes(dir.path() / "out" / name, "old");
  }
  std::string Out(const std::string& name) { return ReadFileBytes(dir.path() / "out" / name); }
  bool Exists(const std::string& name) { return fs::exists(dir.path() / "out" / name); }
  // No temporary file may be left anywhere below out/.
  void ExpectNoTemporaries() {
    for (const std::string& name : TreeOf(dir.path() / "out")) {
      EXPECT_EQ(name.find("~zv"), std::string::npos) << name;
    }
  }

  std::string zip;
};

TEST_F(EntryTest, ExtractsEveryMemberWithItsTime) {
  ASSERT_EQ(Run(), kStatusOk);
  std::string nested;
  for (int i = 0; i < 10; i++) nested += "nested\n";
  EXPECT_EQ(Out("a/b/c/nested.txt"), nested);
  EXPECT_TRUE(Exists("empty.txt"));
  const uint8_t* bytes = (const uint8_t*)zip.data();
  for (int i = 0; i < 4; i++) {
    const uint8_t* central = bytes + CentralRecord(zip, i) + 4;
    std::string name((const char*)central + 42, ReadLe16(central + kCentralNameLength));
    SCOPED_TRACE(name);
    EXPECT_EQ(Out(name).size(), ReadLe32(central + kCentralUncompressedSize));
    EXPECT_EQ(FileModifiedTime(dir.path() / "out" / name),
              DosTimeToUnix(ReadLe16(central + kCentralDate), ReadLe16(central + kCentralTime)));
  }
}

TEST_F(EntryTest, StoredMembersReportProgressPerChunk) {
  ASSERT_EQ(RunOne(kStored), kStatusOk);
  EXPECT_EQ(events, (std::vector<std::string>{"progress 4096/10000", "progress 8192/10000",
                                              "progress 10000/10000"}));
  events.clear();
  ASSERT_EQ(RunOne(kEmpty), kStatusOk);
  EXPECT_EQ(events, (std::vector<std::string>{"progress 0/0"}));
}

// Version, method and encryption are checked before anything is created:
// an existing file at the target path stays as it was.
TEST_F(EntryTest, UnsupportedMembersTouchNothing) {
  struct Case {
    const char* what;
    int offset;  // from the central signature
    uint16_t value;
    uint16_t expected;
  };
  const Case cases[] = {
      {"version 21", 6, 21, kStatusUnsupported},
      {"version 20 with a high byte", 6, 0x0314, kStatusOk},
      {"method 7", 10, 7, kStatusUnsupported},
      {"method 9", 10, 9, kStatusUnsupported},
      {"method 1", 10, 1, kStatusUnsupported},
      {"method 6", 10, 6, kStatusUnsupported},
      {"encrypted", 8, 1, kStatusEncrypted},
  };
  std::string original = zip;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool existing : {false, true}) {
      zip = original;
      fs::remove_all(dir.path() / "out");
      fs::create_directory(dir.path() / "out");
      if (existing) PutOld("stored.bin");
      Patch16(zip, CentralRecord(zip, kStored) + c.offset, c.value);
      EXPECT_EQ(RunOne(kStored), c.expected);
      if (c.expected != kStatusOk) {
        EXPECT_EQ(Exists("stored.bin"), existing);
        if (existing) {
          EXPECT_EQ(Out("stored.bin"), "old");
        }
      }
    }
  }
}

TEST_F(EntryTest, CrcMismatchKeepsTheWholeFileWithItsTime) {
  Patch32(zip, CentralRecord(zip, kStored) + 16, 0x12345678);
  EXPECT_EQ(RunOne(kStored), kStatusCrcMismatch);
  EXPECT_EQ(Out("stored.bin").size(), 10000u);
  EXPECT_EQ(FileModifiedTime(dir.path() / "out" / "stored.bin"),
            DosTimeToUnix(((2020 - 1980) << 9) | (2 << 5) | 29, (12 << 11) | (34 << 5) | 28));
  // An existing file is replaced by the complete data all the same.
  PutOld("stored.bin");
  EXPECT_EQ(RunOne(kStored), kStatusCrcMismatch);
  EXPECT_EQ(Out("stored.bin").size(), 10000u);
  ExpectNoTemporaries();
}

TEST_F(EntryTest, CancelThroughProgressDeletesThePartialFile) {
  for (int index : {kStored, kDeflated}) {
    SCOPED_TRACE(index);
    events.clear();
    cancelAtProgress = 1;
    EXPECT_EQ(RunOne(index), kStatusCancelled);
    EXPECT_FALSE(Exists(index == kStored ? "stored.bin" : "text/deflated.txt"));
    // The callback is not asked again once it said cancel.
    EXPECT_EQ(events.size(), 1u);
  }
}

TEST_F(EntryTest, StoredDataEndingEarlyFailsWith5) {
  // The recorded size runs past the end of the file.
  Patch32(zip, CentralRecord(zip, kStored) + 20, 0x7FFFFFFF);
  EXPECT_EQ(RunOne(kStored), kStatusFileError);
  EXPECT_FALSE(Exists("stored.bin"));
}

TEST_F(EntryTest, DamagedDeflateDataIs9964EvenAfterACancel) {
  zip[MemberData(zip, kDeflated)] = (char)0xFF;  // last block, type 3
  EXPECT_EQ(RunOne(kDeflated), kStatusDamaged);
  EXPECT_FALSE(Exists("text/deflated.txt"));
}

TEST_F(EntryTest, FailedDeleteLeavesThePartialFileWith5) {
  cancelAtProgress = 1;
  faultPlan.failAt[kFaultDelete] = 1;
  EXPECT_EQ(RunOne(kStored), kStatusFileError);
  EXPECT_TRUE(Exists("stored.bin"));
  EXPECT_EQ(Out("stored.bin").size(), 4096u);
}

TEST_F(EntryTest, ReadOnlyExistingFileIs19963AndUnchanged) {
  PutOld("stored.bin");
  fs::permissions(dir.path() / "out" / "stored.bin",
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  uint32_t directoriesBefore = faultPlan.calls[kFaultMakeDirectory];
  EXPECT_EQ(RunOne(kStored), kStatusCannotCreate);
  EXPECT_EQ(Out("stored.bin"), "old");
  EXPECT_EQ(faultPlan.calls[kFaultMakeDirectory], directoriesBefore);
  ExpectNoTemporaries();
}

TEST_F(EntryTest, DirectoryAtTheTargetPathIs19963) {
  fs::create_directories(dir.path() / "out" / "stored.bin" / "inside");
  EXPECT_EQ(RunOne(kStored), kStatusCannotCreate);
  EXPECT_TRUE(fs::is_directory(dir.path() / "out" / "stored.bin" / "inside"));
  ExpectNoTemporaries();
}

// The existing file survives every failure of the member that was to
// replace it, and no temporary file is left behind.
TEST_F(EntryTest, ReplaceIsSafeUnderEveryFailure) {
  struct Case {
    const char* what;
    int member;
    uint16_t expected;
  };
  const Case cases[] = {
      {"cancel, stored", kStored, kStatusCancelled},
      {"cancel, deflated", kDeflated, kStatusCancelled},
      {"write fails", kDeflated, kStatusFileError},
      {"read fails", kStored, kStatusFileError},
      {"data ends early", kStored, kStatusFileError},
      {"damaged data", kDeflated, kStatusDamaged},
      {"rename fails", kStored, kStatusFileError},
      {"delete fails", kStored, kStatusFileError},
      {"method 9", kStored, kStatusUnsupported},
      {"encrypted", kDeflated, kStatusEncrypted},
  };
  std::string original = zip;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetCoreState();
    zip = original;
    cancelAtProgress = 0;
    fs::remove_all(dir.path() / "out");
    std::string name = c.member == kStored ? "stored.bin" : "text/deflated.txt";
    PutOld(name);
    std::string what = c.what;
    if (what.rfind("cancel", 0) == 0 || what == "delete fails") cancelAtProgress = 1;
    if (what == "write fails") faultPlan.failAt[kFaultWrite] = 2;
    if (what == "data ends early") Patch32(zip, CentralRecord(zip, c.member) + 20, 0x7FFFFFFF);
    if (what == "damaged data") zip[MemberData(zip, c.member)] = (char)0xFF;
    if (what == "rename fails") faultPlan.failAt[kFaultRename] = 1;
    if (what == "delete fails") faultPlan.failAt[kFaultDelete] = 1;
    if (what == "method 9") Patch16(zip, CentralRecord(zip, c.member) + 10, 9);
    if (what == "encrypted") Patch16(zip, CentralRecord(zip, c.member) + 8, 1);
    if (what == "read fails") {
      // The member's first data read: count the reads of a clean run first.
      RunOne(c.member);
      PutOld(name);
      uint32_t reads = faultPlan.calls[kFaultRead];
      FaultReset();
      faultPlan.failAt[kFaultRead] = reads;  // the last read is the member's data
    }
    EXPECT_EQ(RunOne(c.member), c.expected);
    EXPECT_EQ(Out(name), "old");
    if (what != "delete fails") ExpectNoTemporaries();
  }
}

}  // namespace
