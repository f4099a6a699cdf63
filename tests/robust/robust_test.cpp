// Whole extractions under every fault the platform seam can plant, and on
// tool-made archives mutated into what an attacker or a broken transfer makes.
// A crash or a hang fails the program; nothing may land outside the target.
#include <gtest/gtest.h>
#include <string.h>

#include <array>
#include <functional>
#include <map>
#include <regex>
#include <set>

#include "engine/engine_support.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "platform/fault.h"

using namespace testing_support;
using engine_test::CentralRecord;
namespace fs = std::filesystem;

namespace {

using Counts = std::array<uint32_t, kFaultKindCount>;
Counts Now() {
  Counts c;
  std::copy(faultPlan.calls, faultPlan.calls + kFaultKindCount, c.begin());
  return c;
}

struct Member {
  std::string name;
  Counts at;  // calls made up to the callback
  uint16_t outcome;
  bool deflated;
};
struct Record {
  uint16_t status = 0;
  bool opened = false;
  Counts opening{}, total{};
  std::vector<Member> before, after;
};
Record* rec = nullptr;
bool keepPartial = false, existed = false;

int32_t OnBefore(const CentralHeader* h, const char* target) {
  rec->before.push_back({EntryNameOf(h), Now(), 0, CentralField16(*h, kCentralMethod) == kMethodDeflated});
  existed = FileExists(target);
  return kAnswerExtract;
}

// A failed member leaves no file of its own: a CRC mismatch keeps what was
// written, a refused name (19963) names no file.
bool OnAfter(const CentralHeader* h, const char* target, uint16_t outcome) {
  rec->after.push_back({EntryNameOf(h), Now(), outcome, false});
  EXPECT_TRUE(IsKnownStatus(outcome)) << outcome;
  bool mayStay = outcome == kStatusOk || outcome == kStatusCrcMismatch || outcome == kStatusCannotCreate;
  if (!mayStay && !existed && !keepPartial) { EXPECT_FALSE(FileExists(target)) << target << " after " << outcome; }
  existed = false;
  return true;
}

struct Fault {
  int kind = -1;  // the n-th call of this kind fails (-1: none)
  uint32_t at = 0, shortAt = 0;
  bool shortAlways = false, deleteFails = false;
};

class Robust : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    fs::create_directories(Out(""));
  }
  void TearDown() override { ResetCoreState(); }
  fs::path Out(const std::string& name) const { return dir.path() / "a" / "b" / name; }

  // Extracts `archive` into a/b of the scratch folder under the fault planned.
  Record Run(const std::string& archive, bool withAfter, const Fault& f = {}) {
    Record r;
    rec = &r;
    keepPartial = f.deleteFails;
    FaultReset();
    if (f.kind >= 0) faultPlan.failAt[f.kind] = f.at;
    if (f.deleteFails) faultPlan.failAt[kFaultDelete] = 1;  // the clean-up after it
    faultPlan.shortReadAt = f.shortAt;
    faultPlan.shortReadAlways = f.shortAlways;
    ArchiveOpen(archive.c_str());
    r.opening = Now();
    r.opened = errorCode == kStatusOk;
    if (r.opened) {
      SetBeforeEntryCallback(OnBefore);
      if (withAfter) SetAfterEntryCallback(OnAfter);
      SetOutputBaseDirectory(dir.Core("a/b").c_str());
      ExtractAll();
    }
    r.status = errorCode;
    EXPECT_TRUE(IsKnownStatus(r.status)) << r.status;
    EXPECT_LT(strlen(defaultDirectory), (size_t)kConfigFieldSize);  // whole strings, always
    EXPECT_LT(strlen(command), (size_t)kConfigFieldSize);
    ArchiveClose();
    r.total = Now();
    ResetCoreState();
    return r;
  }

  // Every path in the scratch folder is the archive, the target, or one below
  // it that `fine` accepts; then the target is emptied for the next run.
  void CheckScratch(const std::function<bool(const std::string&)>& fine) {
    for (const std::string& entry : engine_test::TreeOf(dir.path())) {
      if (entry == "hostile.zip" || entry == "a" || entry == "a/b") continue;
      if (entry.rfind("a/b/", 0) != 0) {
        ADD_FAILURE() << "written outside the target: " << entry;
      } else if (!fine(entry.substr(4))) {
        ADD_FAILURE() << "left on disk: " << entry;
      }
    }
    fs::remove_all(dir.path() / "a");
    fs::create_directories(Out(""));
  }

  // Extracts `bytes` going on after every member; no temporary file may stay.
  Record Extract(const std::string& bytes) {
    WriteFileBytes(dir.path() / "hostile.zip", bytes);
    Record r = Run(dir.Core("hostile.zip"), true);
    CheckScratch([](const std::string& e) {
      return !std::regex_match(fs::path(e).filename().string(), std::regex("~zv[0-9]{4}\\.tmp"));
    });
    return r;
  }

  TempDir dir;
};

// ---- The fault matrix over robust/matrix.zip: five members, stored and
// deflated, two folder levels, and existing.txt, which replaces a file.
const char kOld[] = "the old content, which must survive\n";
enum Mode { kFail, kShort, kFailThenDelete };
struct FaultRow {
  const char* what;
  int kind;
  Mode mode;
};
const FaultRow kFaultRows[] = {
    {"open", kFaultOpen, kFail},         {"read", kFaultRead, kFail},
    {"seek", kFaultSeek, kFail},         {"write", kFaultWrite, kFail},
    {"make-directory", kFaultMakeDirectory, kFail}, {"rename", kFaultRename, kFail},
    {"short read", kFaultRead, kShort},  {"read, then delete", kFaultRead, kFailThenDelete},
    {"write, then delete", kFaultWrite, kFailThenDelete}, {"rename, then delete", kFaultRename, kFailThenDelete},
};

// Where the n-th call of a kind stood in the clean run: -2 opening the
// archive, -1 reading the directory, else the member's index.
int PhaseOf(const Record& clean, int kind, uint32_t n) {
  if (n <= clean.opening[kind]) return -2;
  for (size_t i = 0; i < clean.before.size(); i++) {
    if (n > clean.before[i].at[kind] && n <= clean.after[i].at[kind]) return (int)i;
  }
  return -1;
}

// The codes a failed call may give where it stood.
std::set<uint16_t> Allowed(int kind, int phase, bool deflated) {
  if (phase == -2) return {kStatusFileError, kStatusOk};  // ok: the block's second opening
  if (phase == -1) return {kStatusFileError};
  if (kind == kFaultOpen) return {kStatusCannotCreate, kStatusOk};  // the walk retries after a folder
  if (kind == kFaultMakeDirectory) return {kStatusCannotCreate};
  if (kind == kFaultRead && deflated) return {kStatusFileError, kStatusDamaged};
  return {kStatusFileError};
}

TEST_F(Robust, EveryFaultPointInTurn) {
  const std::string archive = FixturePath("robust/matrix.zip");
  WriteFileBytes(Out("existing.txt"), kOld);
  Record clean = Run(archive, true);
  ASSERT_EQ(clean.status, kStatusOk);
  ASSERT_EQ(clean.after.size(), 5u);
  std::map<std::string, std::string> reference;
  for (const Member& m : clean.after) {
    EXPECT_EQ(m.outcome, kStatusOk) << m.name;
    reference[m.name] = ReadFileBytes(Out(m.name));
  }
  ASSERT_NE(reference["existing.txt"], kOld);
  // The matrix reaches every kind: two folders, one rename over existing.txt.
  for (int kind : {kFaultOpen, kFaultRead, kFaultSeek, kFaultWrite}) EXPECT_GT(clean.total[kind], 0u);
  EXPECT_EQ(clean.total[kFaultMakeDirectory], 2u);
  EXPECT_EQ(clean.total[kFaultRename], 1u);
  EXPECT_EQ(clean.total[kFaultDelete], 0u);
  CheckScratch([](const std::string&) { return true; });

  for (const FaultRow& row : kFaultRows) {
    int cleanUps = 0;
    for (bool withAfter : {false, true}) {
      for (uint32_t n = 1; n <= clean.total[row.kind]; n++) {
        SCOPED_TRACE(std::string(row.what) + " #" + std::to_string(n) + (withAfter ? " going on" : ""));
        int phase = PhaseOf(clean, row.kind, n);
        const std::string member = phase >= 0 ? clean.before[phase].name : "";
        WriteFileBytes(Out("existing.txt"), kOld);
        Record r = row.mode == kShort ? Run(archive, withAfter, {-1, 0, n})
                                      : Run(archive, withAfter, {row.kind, n, 0, false, row.mode == kFailThenDelete});
        // Each member's outcome; without AfterEntryCallback the last one
        // attempted carries the run's status.
        std::map<std::string, uint16_t> outcome;
        for (const Member& m : withAfter ? r.after : r.before) outcome[m.name] = m.outcome;
        if (!withAfter && !r.before.empty()) outcome[r.before.back().name] = r.status;
        uint16_t code = phase >= 0 && withAfter ? outcome[member] : r.status;
        std::string leftover;  // the file a failed clean-up leaves
        if (row.mode == kShort) {
          EXPECT_TRUE(code == kStatusOk || code == kStatusFileError) << code;
        } else if (row.mode == kFailThenDelete && r.total[kFaultDelete] > 0) {
          cleanUps++;
          EXPECT_EQ(code, kStatusFileError);
          leftover = member == "existing.txt" ? "~zv" : member;
          EXPECT_TRUE(member == "existing.txt" || fs::exists(Out(member)));
        } else {
          EXPECT_TRUE(Allowed(row.kind, phase, phase >= 0 && clean.before[phase].deflated).count(code))
              << "code " << code << " in phase " << phase;
        }
        if (phase < 0 && code != kStatusOk) { EXPECT_TRUE(r.before.empty()); }
        if (withAfter && r.opened && phase != -1) { EXPECT_EQ(r.status, kStatusOk); }
        if (!withAfter && phase >= 0 && code != kStatusOk) { EXPECT_EQ(r.before.size(), (size_t)phase + 1); }
        // Members that succeeded are whole, existing.txt is old or new, nothing else is there.
        auto done = [&](const std::string& name) { return outcome.count(name) && outcome[name] == kStatusOk; };
        for (auto& [name, content] : reference) {
          if (done(name) || name == "existing.txt") {
            EXPECT_EQ(ReadFileBytes(Out(name)), done(name) ? content : kOld) << name;
          }
        }
        CheckScratch([&](const std::string& e) {
          return e == "docs" || e == "docs/deep" || e == "existing.txt" || done(e) || e == leftover ||
                 (leftover == "~zv" && e.rfind("~zv", 0) == 0);
        });
      }
    }
    if (row.mode == kFailThenDelete) { EXPECT_GT(cleanUps, 0) << row.what << ": no failure cleaned up"; }
  }
  // Every read short: the end-record scan needs whole reads.
  Record r = Run(archive, false, {-1, 0, 0, true});
  EXPECT_EQ(r.status, kStatusFileError);
  EXPECT_FALSE(r.opened);
}

// ---- Hostile archives: robust/small-payload.zip (a.txt deflated, sub/b.bin
// stored, sub/c.txt deflated) or robust/zip64.zip, mutated in memory.
using Mutation = std::function<void(std::string&)>;
size_t EndOf(const std::string& zip) { return zip.rfind(std::string("PK\x05\x06", 4)); }
uint32_t Get32(const std::string& s, size_t at) { return ReadLe32((const uint8_t*)s.data() + at); }

enum Where { kEnd, kCentral, kLocal };
const int64_t kFromEnd = 1LL << 40;  // a value of kFromEnd + d stands for the file's size + d
// Sets a field of the end record or of member m's central record or local header.
Mutation Set(Where where, int m, int field, int width, int64_t value) {
  return [=](std::string& z) {
    size_t at = where == kEnd ? EndOf(z) : CentralRecord(z, m);
    if (where == kLocal) at = Get32(z, at + 4 + kCentralLocalHeaderOffset);
    uint32_t v = (uint32_t)(value >= kFromEnd / 2 ? (int64_t)z.size() + value - kFromEnd : value);
    if (width == 2) engine_test::Patch16(z, at + 4 + field, (uint16_t)v);
    else engine_test::Patch32(z, at + 4 + field, v);
  };
}
// Sets the end record's entry counts and makes its directory size match.
void Entries(std::string& z, uint16_t count) {
  for (int field : {kEndEntriesOnDisk, kEndEntriesTotal}) Set(kEnd, 0, field, 2, count)(z);
  Set(kEnd, 0, kEndCentralSize, 4, EndOf(z) - CentralRecord(z, 0))(z);
}
Mutation Count(uint16_t count) {
  return [=](std::string& z) { Entries(z, count); };
}
// Gives member 0 another name in its central record.
Mutation Rename(const std::string& name) {
  return [=](std::string& z) {
    size_t at = CentralRecord(z, 0) + 4;
    z.replace(at + kCentralHeaderSize, ReadLe16((const uint8_t*)z.data() + at + kCentralNameLength), name);
    Set(kCentral, 0, kCentralNameLength, 2, name.size())(z);
    Entries(z, 3);
  };
}
// A fourth record: member m's, renamed "z...", with its local header at local(z).
Mutation AppendCopy(int m, uint32_t (*local)(const std::string&)) {
  return [=](std::string& z) {
    size_t at = CentralRecord(z, m);
    std::string copy = z.substr(at, CentralRecord(z, m + 1) - at);
    copy[4 + kCentralHeaderSize] = 'z';
    if (local) engine_test::Patch32(copy, 4 + kCentralLocalHeaderOffset, local(z));
    z.insert(EndOf(z), copy);
    Entries(z, 4);
  };
}
// 65,536 folder records: a 16-bit count would wrap to 0 and report 19906.
void ManyFolders(std::string& z) {
  size_t first = CentralRecord(z, 0);
  std::string folder = z.substr(first, 4 + kCentralHeaderSize) + "d/";
  engine_test::Patch16(folder, 4 + kCentralNameLength, 2);
  engine_test::Patch32(folder, 4 + kCentralExtraLength, 0);  // and the comment length
  std::string many;
  for (int i = 0; i < 65536; i++) many += folder;
  z = z.substr(0, first) + many + z.substr(EndOf(z));
  Entries(z, 0xFFFF);
}

const int F = -1;  // any failure
const uint16_t kRefused = kStatusCannotCreate;
struct HostileRow {
  const char* what;
  Mutation mutate;
  uint16_t status;
  std::vector<int> outcomes;  // of each member the walk reached
  const char* fixture = "small-payload.zip";
};
const HostileRow kHostileRows[] = {
    {"as made", nullptr, kStatusOk, {0, 0, 0}},
    {"directory at the file's end", Set(kEnd, 0, kEndCentralOffset, 4, kFromEnd), kStatusFileError, {}},
    {"directory past the end", Set(kEnd, 0, kEndCentralOffset, 4, kFromEnd + 1000), kStatusFileError, {}},
    {"directory offset wrapping", Set(kEnd, 0, kEndCentralOffset, 4, 0xFFFFFFF0u), kStatusFileError, {}},
    {"directory inside the end record", Set(kEnd, 0, kEndCentralOffset, 4, kFromEnd - 32), kStatusDamaged, {}},
    {"central name length 65535", Set(kCentral, 0, kCentralNameLength, 2, 0xFFFF), kStatusFileError, {}},
    {"central extra length 65535", Set(kCentral, 0, kCentralExtraLength, 2, 0xFFFF), kStatusFileError, {}},
    {"central comment length 65535", Set(kCentral, 0, kCentralCommentLength, 2, 0xFFFF), kStatusFileError, {}},
    {"archive comment length 65535", Set(kEnd, 0, kEndCommentLength, 2, 0xFFFF), kStatusFileError, {}},
    // The local name is cut at 255 bytes and the data start lands elsewhere.
    {"local name length 65535", Set(kLocal, 0, kLocalNameLength, 2, 0xFFFF), kStatusOk, {F, 0, 0}},
    {"local extra length 65535", Set(kLocal, 0, kLocalExtraLength, 2, 0xFFFF), kStatusOk, {F, 0, 0}},
    {"entry counts 0", Count(0), kStatusOk, {0, 0, 0}},
    {"entry counts 1", Count(1), kStatusOk, {0, 0, 0}},
    {"entry counts 65535", Count(0xFFFF), kStatusOk, {0, 0, 0}},
    {"65,536 folder records", ManyFolders, kStatusOk, {}},
    {"two records for one local header", AppendCopy(0, nullptr), kStatusOk, {0, 0, 0, 0}},
    {"local header inside stored data", AppendCopy(1, [](const std::string& z) {
       return (uint32_t)engine_test::MemberData(z, 1) + 20; }), kStatusOk, {0, 0, 0, F}},
    {"local header at the directory", AppendCopy(0, [](const std::string& z) {
       return (uint32_t)CentralRecord(z, 0); }), kStatusOk, {0, 0, 0, F}},
    // A stored copy runs into the records after it; the decoder stops at the
    // last block and never reads the rest.
    {"stored size 4 GiB", Set(kCentral, 1, kCentralCompressedSize, 4, 0xFFFFFFFF), kStatusOk, {0, 5, 0}},
    {"deflated size 4 GiB", Set(kCentral, 0, kCentralCompressedSize, 4, 0xFFFFFFFF), kStatusOk, {0, 0, 0}},
    {"local header in the end record", Set(kCentral, 2, kCentralLocalHeaderOffset, 4, kFromEnd - 10), kStatusOk, {0, 0, 5}},
    {"local header at 2 GiB", Set(kCentral, 2, kCentralLocalHeaderOffset, 4, 0x7FFFFFFF), kStatusOk, {0, 0, 5}},
    {"local header at 4 GiB - 1", Set(kCentral, 2, kCentralLocalHeaderOffset, 4, 0xFFFFFFFF), kStatusOk, {0, 0, 5}},
    {"traversal", Rename("../../evil.txt"), kStatusOk, {kRefused, 0, 0}},
    {"backslash traversal", Rename("..\\..\\evil.txt"), kStatusOk, {kRefused, 0, 0}},
    {"inner traversal", Rename("x/../../../evil.txt"), kStatusOk, {kRefused, 0, 0}},
    {"drive letter", Rename("C:/evil.txt"), kStatusOk, {kRefused, 0, 0}},
    {"drive-relative", Rename("C:evil.txt"), kStatusOk, {kRefused, 0, 0}},
    {"server path", Rename("//server/share/evil.txt"), kStatusOk, {kRefused, 0, 0}},
    {"device name", Rename("sub/CON.txt"), kStatusOk, {kRefused, 0, 0}},
    {"overlong name", Rename(std::string(300, 'n')), kStatusOk, {kRefused, 0, 0}},
    {"absolute path, taken as relative", Rename("/evil.txt"), kStatusOk, {0, 0, 0}},
    {"ZIP64 as written", nullptr, kStatusFileError, {}, "zip64.zip"},
    // With the real offset the walk meets the ZIP64 end record.
    {"ZIP64 with the real directory offset", [](std::string& z) {
       Set(kEnd, 0, kEndCentralOffset, 4, Get32(z, z.find(std::string("PK\x06\x06", 4)) + 48))(z); },
     kStatusDamaged, {}, "zip64.zip"},
};

TEST_F(Robust, HostileArchives) {
  for (const HostileRow& row : kHostileRows) {
    SCOPED_TRACE(row.what);
    std::string zip = ReadFileBytes(FixturePath(std::string("robust/") + row.fixture));
    if (row.mutate) row.mutate(zip);
    Record r = Extract(zip);
    EXPECT_EQ(r.status, row.status);
    ASSERT_EQ(r.after.size(), row.outcomes.size());
    for (size_t i = 0; i < r.after.size(); i++) {
      if (row.outcomes[i] == F) {
        EXPECT_NE(r.after[i].outcome, kStatusOk) << i;
      } else {
        EXPECT_EQ(r.after[i].outcome, row.outcomes[i]) << i;
      }
    }
  }
}

TEST_F(Robust, SelfExtractorCutOrCorruptedAnywhere) {
  std::string sfx = ReadFileBytes(FixturePath("robust/small-sfx.exe"));
  ASSERT_EQ(Extract(sfx).status, kStatusOk);
  size_t end = EndOf(sfx);
  // Without its signature the end record is gone; with it, the short record fails to read.
  for (size_t cut = 0; cut < sfx.size(); cut++) {
    EXPECT_EQ(Extract(sfx.substr(0, cut)).status, cut < end + 4 ? kStatusNoEndRecord : kStatusFileError) << cut;
  }
  // Every byte after the image stand-in complemented in turn (Extract checks the rest).
  for (size_t at = 700; at < sfx.size(); at++) {
    SCOPED_TRACE("byte " + std::to_string(at));
    std::string bad = sfx;
    bad[at] = (char)~bad[at];
    Extract(bad);
  }
}

}  // namespace
