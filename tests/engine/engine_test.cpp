// Archive reader and engine on tool-made archives: opening and walking, one member, target paths, the driver.
#include <string.h>

#include <algorithm>

#include "engine/engine_support.h"

using namespace testing_support;
using namespace engine_test;
namespace fs = std::filesystem;

namespace {

typedef void (*PatchFn)(std::string&);
std::string Archive(const std::string& name) { return FixturePath("archive/" + name); }
size_t EndAt(const std::string& z) { return z.rfind(std::string("PK\x05\x06", 4)) + 4; }
void BreakFirstSignature(std::string& z) { z[CentralRecord(z, 0) + 3] = 9; }
void LongLastName(std::string& z) { Patch16(z, z.rfind(std::string("PK\x01\x02", 4)) + 4 + kCentralNameLength, 0xFFFF); }
enum State { kClosed, kFound, kOpen };  // closed, archivePath untouched; closed once the end record was found; open

// Opening finds the last end signature and the block before the member the first central record names; the walk
// trusts no count of the end record and keeps the entries it read before damage.
TEST_F(EngineTest, OpenAndWalk) {
  struct Row { std::string path; uint16_t status; State state; std::string block;  // "directory|command"
               int fault = -1; uint32_t at = 0; PatchFn patch = nullptr;
               int walk = -1; uint32_t count = 0; std::string names = ""; int unusable = -1; };  // names: the first ones
#ifdef _WIN32
  const std::string ae = "\xE4", eAcute = "\xE9";  // and no omega in the ANSI code page: marked, never guessed at
  const int omegaUnusable = 1;
#else
  const std::string ae = "\xC3\xA4", eAcute = "\xC3\xA9";
  const int omegaUnusable = -1;
#endif
  const std::string basic = Archive("basic.exe"), demo = "C:\\Program Files\\Demo", setup = "setup.exe /quiet";
  std::vector<Row> rows = {
      {basic, kStatusOk, kOpen, demo + "|" + setup, -1, 0, nullptr, kStatusOk, 5, ReadFileBytes(Archive("plain.names"))},
      {Archive("empty-config.exe"), kStatusOk, kOpen, "|"},
      {Archive("full-config.exe"), kStatusOk, kOpen, std::string(256, 'D') + "|" + std::string(256, 'C')},
      {Archive("reordered.exe"), kStatusOk, kOpen, "DIR-B|CMD-B"},  // the first central record decides
      {Archive("plain.zip"), kStatusOk, kOpen, "|"},                // no room in front of the first member
      {basic, kStatusOk, kOpen, "|", -1, 0, BreakFirstSignature, kStatusDamaged, 0},
      {Archive("false-signature.exe"), kStatusFileError, kFound, "|"},  // the scan takes the later one
      {basic, kStatusFileError, kFound, "|", -1, 0, [](std::string& z) { z.resize(EndAt(z)); }},  // ends in a signature
      {Archive("nothing-appended.exe"), kStatusNoEndRecord, kClosed, "|"},
      {Archive("short-no-record.bin"), kStatusNoEndRecord, kClosed, "|"},
      {Archive("no-such-file.exe"), kStatusFileError, kClosed, "|"},
      {std::string(kArchivePathCapacity, 'a'), kStatusFileError, kClosed, "|"},
      {basic, kStatusFileError, kClosed, "|", kFaultRead, 1},  // reads: 1-2 end record, 3-5 central record, 6-7 block
      {basic, kStatusFileError, kOpen, "|", kFaultRead, 3},
      {basic, kStatusOk, kOpen, demo + "|", kFaultRead, 7},
      {basic, kStatusFileError, kClosed, "|", kFaultOpen, 1},
      {basic, kStatusOk, kOpen, "|", kFaultOpen, 2},  // the block's own open
      {basic, kStatusFileError, kFound, "|", kFaultSeek, 4},
      {Archive("names.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusOk, 5,  // 255, 256, 300 and 0 long
       std::string(255, 'n') + "\n" + std::string(255, 'm') + "\ndir/" + std::string(251, 'l') + "\n\nafter.txt\n"},
      {Archive("oem-name.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusOk, 1, ae + "rger.txt\n"},
      {Archive("utf8-names.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusOk, 2,
       "caf" + eAcute + ".txt\n\xCE\xA9mega.txt\n", omegaUnusable},
      {Archive("many.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusOk, 70000, "f00000\nf00001\n"},
      {Archive("empty.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusNoEntries, 0},
      {Archive("zip64-end.zip"), kStatusOk, kOpen, "|", -1, 0, nullptr, kStatusDamaged, 65600},  // a ZIP64 end record
      {Archive("zip64.zip"), kStatusFileError, kOpen, "|", -1, 0, nullptr, kStatusFileError, 0},  // offset out of reach
      {Archive("plain.zip"), kStatusOk, kOpen, "|", -1, 0, [](std::string& z) { Patch32(z, EndAt(z), 0x00630003); },
       kStatusOk, 5, "readme.txt\n"},  // disk number and counts
      {Archive("plain.zip"), kStatusOk, kOpen, "|", -1, 0, LongLastName, kStatusFileError, 4},
  };
  // 0 and 42 fit the first window, 44 straddles two reads, 61 and 5000 need steps.
  for (std::string n : {"0", "42", "44", "61", "5000"})
    rows.push_back({Archive("comment-" + n + ".exe"), kStatusOk, kOpen, "comment " + n + "|"});
  for (const Row& row : rows) {
    std::string bytes = ReadFileBytes(row.path), path = row.patch ? dir.Core("p") : CorePath(row.path);
    if (row.patch) row.patch(bytes), WriteFileBytes(dir.path() / "p", bytes);
    SCOPED_TRACE(path.substr(path.size() > 60 ? path.size() - 60 : 0) + " fault " + std::to_string(row.fault));
    ResetCoreState();
    SetBeforeEntryCallback(RecordBefore), SetOutputBaseDirectory("C:\\OUT"), strcpy(archivePath, "previous");
    endRecordPos = 12345;  // a new open scans again
    if (row.fault >= 0) faultPlan.failAt[row.fault] = row.at;
    ArchiveOpen(path.c_str());
    EXPECT_EQ(errorCode, row.status);
    EXPECT_EQ(archiveHandle != kNoHandle, row.state == kOpen);
    EXPECT_EQ(std::string(archivePath), row.state == kClosed ? "previous" : path);
    EXPECT_EQ(std::string(defaultDirectory) + "|" + command, row.block);
    EXPECT_TRUE(BeforeEntryCallback == nullptr && outputBaseDirectory[0] == 0);
    EXPECT_TRUE(row.status != kStatusOk || endRecordPos == (int64_t)EndAt(bytes)) << endRecordPos;
    if (row.walk < 0) continue;
    EntryList list;
    InitEntryList(&list);
    ReadCentralDirectory(&list);
    EXPECT_EQ(errorCode, row.walk);
    std::string names;
    uint32_t n = 0;
    CentralDirEntry* tail = nullptr;
    for (CentralDirEntry* e = list.head; e != nullptr; tail = e, e = e->next, n++) {
      EXPECT_EQ(e->nameUnusable, (int)n == row.unusable) << n;
      names += std::string(e->name) + "\n";
    }
    EXPECT_TRUE(n == row.count && list.count == row.count && tail == list.tail) << n;
    EXPECT_EQ(names.substr(0, row.names.size()), row.names);
    FreeEntryList(&list);
  }
  EXPECT_EQ(FindBytes((const uint8_t*)"PKPK", 4, nullptr, 2), 0xFFFF);  // without a pattern nothing is found
}

const char* const kMembers[] = {"stored.bin", "text/deflated.txt", "empty.txt", "a/b/c/nested.txt"};  // of members.zip
int IndexOf(const std::string& zip, const std::string& name) {  // the central record of that name
  for (int i = 0;; i++) if (zip.compare(CentralRecord(zip, i) + 46, name.size(), name) == 0) return i;
}
enum Existing { kOldFile, kReadOnly, kFolder };
const int kFirstDataByte = -1;

// One member, to an empty target and over something: checked before anything is created; complete (even with a wrong
// CRC) it gets its time; any other outcome leaves what was there, and no temporary file stays.
TEST_F(EngineTest, OneMemberToOneFile) {
  struct Row { const char* what; int member; uint16_t fresh, replacing; int field = 0; uint32_t value = 0;
               int fault = -1; uint32_t at = 0; bool cancel = false; Existing existing = kOldFile; };
  const Row rows[] = {
      {"stored", 0, kStatusOk, kStatusOk}, {"deflated", 1, kStatusOk, kStatusOk}, {"empty", 2, kStatusOk, kStatusOk},
      {"version 2.1", 0, kStatusUnsupported, kStatusUnsupported, kCentralVersionNeeded, 21},
      {"version 2.0, high byte", 0, kStatusOk, kStatusOk, kCentralVersionNeeded, 0x0314},
      {"method 9", 0, kStatusUnsupported, kStatusUnsupported, kCentralMethod, 9},
      {"encrypted", 1, kStatusEncrypted, kStatusEncrypted, kCentralFlags, kFlagEncrypted},
      {"CRC", 0, kStatusCrcMismatch, kStatusCrcMismatch, kCentralCrc, 1},
      {"stored data ends early", 0, kStatusFileError, kStatusFileError, kCentralCompressedSize, 0x7FFFFFFF},
      {"damaged data", 1, kStatusDamaged, kStatusDamaged, kFirstDataByte, 0xFF},  // block type 3
      {"cancel stored", 0, kStatusCancelled, kStatusCancelled, 0, 0, -1, 0, true},
      {"cancel deflated", 1, kStatusCancelled, kStatusCancelled, 0, 0, -1, 0, true},
      {"delete fails", 0, kStatusFileError, kStatusFileError, 0, 0, kFaultDelete, 1, true},
      {"write fails", 1, kStatusFileError, kStatusFileError, 0, 0, kFaultWrite, 2},
      {"read fails", 0, kStatusFileError, kStatusFileError, 0, 0, kFaultRead, 3},  // after header and name
      {"open fails", 0, kStatusOk, kStatusCannotCreate, 0, 0, kFaultOpen, 1},     // a fresh one is retried
      {"rename fails", 0, kStatusOk, kStatusFileError, 0, 0, kFaultRename, 1},
      {"second folder fails", 3, kStatusCannotCreate, kStatusOk, 0, 0, kFaultMakeDirectory, 2},  // a/b of a/b/c/
      {"folder at target", 0, kStatusOk, kStatusCannotCreate, 0, 0, -1, 0, false, kFolder},
      {"read-only target", 0, kStatusOk, kStatusCannotCreate, 0, 0, -1, 0, false, kReadOnly},  // last: it stays
  };
  for (const Row& row : rows) {
    const fs::path target = dir.path() / "out" / kMembers[row.member];
    std::string zip = ReadFileBytes(Fixture("members.zip"));
    const int index = IndexOf(zip, kMembers[row.member]);
    const uint8_t* central = (const uint8_t*)zip.data() + CentralRecord(zip, index) + 4;
    const uint32_t size = ReadLe32(central + 20);  // the ZIP offsets of size, date and time
    const int64_t time = DosTimeToUnix(ReadLe16(central + 10), ReadLe16(central + 8));
    size_t at = row.field == kFirstDataByte ? MemberData(zip, index) : CentralRecord(zip, index) + 4 + row.field;
    if (row.field == kFirstDataByte) zip[at] = (char)row.value;
    if (row.field > 0) row.field < kCentralCrc ? Patch16(zip, at, (uint16_t)row.value) : Patch32(zip, at, row.value);
    WriteFileBytes(dir.path() / "a.zip", zip);
    for (bool existing : {false, true}) {
      SCOPED_TRACE(std::string(row.what) + (existing ? ", replacing" : ""));
      ResetCoreState(), events.clear();
      onlyMember = kMembers[row.member], armedFault = row.fault, armedAt = row.at, cancelAtProgress = row.cancel ? 1 : 0;
      fs::remove_all(dir.path() / "out");
      fs::create_directories(!existing ? dir.path() / "out" : row.existing == kFolder ? target : target.parent_path());
      if (existing && row.existing != kFolder) WriteFileBytes(target, "old");
      if (existing && row.existing == kReadOnly) fs::permissions(target, fs::perms::owner_read | fs::perms::group_read);
      uint16_t outcome = ExtractArchive(dir.Core("a.zip"), dir.Core("out"), kBefore | kProgress);
      EXPECT_EQ(outcome, existing ? row.replacing : row.fresh);
      std::string left = fs::is_directory(target) ? "folder" : fs::exists(target) ? ReadFileBytes(target) : "none";
      if (outcome == kStatusOk || outcome == kStatusCrcMismatch) {
        EXPECT_TRUE(left.size() == size && FileModifiedTime(target) == time) << left.size();
        EXPECT_EQ(std::count(events.begin(), events.end(), "progress " + std::to_string(size) + "/" + std::to_string(size)), 1);
      } else if (existing) {
        EXPECT_EQ(left, row.existing == kFolder ? "folder" : "old");
      } else {
        EXPECT_EQ(left != "none", row.fault == kFaultDelete);  // a partial file that cannot be removed stays
      }
      EXPECT_TRUE(!row.cancel || std::count_if(events.begin(), events.end(), [](const std::string& e) { return e[0] == 'p'; }) == 1);
      EXPECT_TRUE(row.fault == kFaultDelete || Joined(TreeOf(dir.path() / "out")).find("~zv") == std::string::npos);
    }
  }
}

TEST_F(EngineTest, TargetPaths) {
  char path[kNameCapacity];
  // Names that could write outside the target or elsewhere than they say.
  for (const char* name : {"../x", "..\\x", "a/../../x", "a/..", "..", ".. /x", "... /x", "a/.../x", ". /x", "C:/x", "C:x",
                           "a.txt:stream", "//server/share/x", "\\\\server\\x", "/\\x", "dir /x", "dir./x", "x.", "x ", "CON",
                           "con.txt", "sub/NUL", "aux.c", "COM1", "lpt9.log", "PRN", "bell\x07", "tab\there", "del\x7f", "line\nf"})
    EXPECT_FALSE(MemberNameIsSafe(name) || BuildTargetPath(name, path)) << name;
  for (const char* name : {"a..b", ".gitignore", "dir//x", "x.y.z", "COM10", "console.txt", "LPT0", "nu",
                           "\xC3\xBC.txt", "dir/", "a b/c d.txt", "./x", "a/./b"})
    EXPECT_TRUE(MemberNameIsSafe(name)) << name;
  // What an accepted name becomes under a base (which gets one separator); past 255 characters it is refused.
  const std::string b200(200, 'b');
  const std::string rows[][3] = {{"C:\\OUT", "DOCS/README.TXT", "C:\\OUT\\DOCS\\README.TXT"}, {"", "a/b", "a\\b"},
                                 {"C:\\OUT\\", "/NOTES.TXT", "C:\\OUT\\NOTES.TXT"}, {"C:", "x", "C:\\x"},
                                 {b200, std::string(54, 'n'), b200 + "\\" + std::string(54, 'n')},
                                 {b200, std::string(55, 'n'), "(refused)"}};
  for (auto& r : rows) {
    SetOutputBaseDirectory(r[0].c_str());
    EXPECT_EQ(BuildTargetPath(r[1].c_str(), path) ? path : "(refused)", r[2]);
  }
}

// The driver asks before each file (B), reports progress (p) and outcomes; answers steer the run; a refused name
// fails with 19963 unasked and unwritten; without AfterEntryCallback the first failure ends the run.
TEST_F(EngineTest, DriverCallbacksAndOutcomes) {
  struct Row { std::string archive; uint16_t status; std::string summary, tree; int callbacks = kAllCallbacks;
               int32_t answer = kAnswerExtract; uint32_t cancelAt = 0; bool after = true;
               bool badCrc = false; };  // of the first member, stored.bin
  const std::string members = Fixture("members.zip"), each = "B p 0 B p 0 B p 0 B p 0",
                    all = "a a/b a/b/c a/b/c/nested.txt empty.txt stored.bin text text/deflated.txt";
  std::vector<Row> rows = {
      {members, kStatusOk, each, all}, {members, kStatusOk, "", all, kNoCallbacks},
      {members, kStatusOk, each, all, kAllCallbacks, 3}, {members, kStatusOk, "B B B B", "", kAllCallbacks, kAnswerSkip},
      {members, kStatusCancelled, "B", "", kAllCallbacks, kAnswerCancel},
      {members, kStatusOk, "B p 0 B p 2926 B p 2926 B p 2926", "a a/b a/b/c stored.bin text", kAllCallbacks,
       kAnswerExtract, 4},
      {members, kStatusCrcMismatch, "B p", "stored.bin", kBefore | kProgress, kAnswerExtract, 0, true, true},
      {members, kStatusOk, "B p 19962 B p 0 B p 0 B p 0", all, kAllCallbacks, kAnswerExtract, 0, true, true},
      {members, kStatusCrcMismatch, "B p 19962", "stored.bin", kAllCallbacks, kAnswerExtract, 0, false, true},
      {Fixture("dirs-only.zip"), kStatusOk, "", ""}, {FixturePath("archive/zip64-end.zip"), kStatusDamaged, "", ""},
      {FixturePath("archive/plain.zip"), kStatusOk, "B p 0 B p 0 B p 0",  // its local extra fields are longer
       "docs docs/deep docs/deep/zeros.bin docs/numbers.txt readme.txt"},
#ifdef _WIN32
      {FixturePath("archive/utf8-names.zip"), kStatusOk, "B p 0 19963", "caf\xC3\xA9.txt"},
#else
      {FixturePath("archive/utf8-names.zip"), kStatusOk, "B p 0 B p 0", "caf\xC3\xA9.txt \xCE\xA9mega.txt"},
#endif
  };
  std::string names = ReadFileBytes(Fixture("hostile.names")), hostile;  // all refused; good.txt comes last
  for (size_t i = std::count(names.begin(), names.end(), '\n'); i > 0; i--) hostile += "19963 ";
  rows.push_back({Fixture("hostile.zip"), kStatusOk, hostile + "B p 0", "good.txt"});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.archive + " " + row.summary);
    std::string zip = ReadFileBytes(row.archive);
    if (row.badCrc) Patch32(zip, CentralRecord(zip, 0) + 4 + kCentralCrc, 0xDEADBEEF);
    fs::create_directories(dir.path() / "out" / "t");
    WriteFileBytes(dir.path() / "out" / "a.zip", zip);
    ResetCoreState(), events.clear();
    defaultAnswer = row.answer, cancelAtProgress = row.cancelAt, afterAnswer = row.after;
    EXPECT_EQ(ExtractArchive(dir.Core("out/a.zip"), dir.Core("out/t"), row.callbacks), row.status);
    EXPECT_EQ(Summary(), row.summary);
    EXPECT_EQ(Joined(TreeOf(dir.path() / "out" / "t")), row.tree);
    EXPECT_EQ(TreeOf(dir.path()).size(), 3 + TreeOf(dir.path() / "out" / "t").size());  // out, a.zip, t: nothing else
    fs::remove_all(dir.path() / "out");
  }
}

}  // namespace
