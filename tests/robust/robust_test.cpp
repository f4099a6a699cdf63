// Whole extractions under every fault the platform seam can plant, and of tool-made archives mutated into what an
// attacker or a broken transfer makes.
#include <string.h>

#include <functional>
#include <map>
#include <set>

#include "engine/engine_support.h"

using namespace testing_support;
using namespace engine_test;
namespace fs = std::filesystem;

namespace {

using Counts = std::vector<uint32_t>;
Counts Now() { return Counts(faultPlan.calls, faultPlan.calls + kFaultKindCount); }

struct Member {
  std::string name, path;
  Counts at;  // calls made up to the callback
  uint16_t outcome;
  bool deflated;
};
struct Record {
  uint16_t status = 0;
  bool opened = false;
  Counts opening{}, total{};
  std::vector<Member> before, after;  // without AfterEntryCallback, the last one attempted has the run's status
} * rec;

int32_t OnBefore(const CentralHeader* h, const char* path) {
  rec->before.push_back({EntryNameOf(h), path, Now(), 0, CentralField16(*h, kCentralMethod) == kMethodDeflated});
  return kAnswerExtract;
}
bool OnAfter(const CentralHeader* h, const char* path, uint16_t outcome) {
  rec->after.push_back({EntryNameOf(h), path, Now(), outcome, false});
  return true;
}

// The n-th call of `kind` fails, or the n-th read (every read) comes back short.
enum Mode { kFail, kShort, kFailThenDelete, kAllShort };

class Robust : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(Out("")); }
  fs::path Out(const std::string& name) const { return dir.path() / "a" / "b" / name; }

  // Extracts `archive` into a/b of the scratch folder under the fault planned.
  Record Run(const std::string& archive, bool withAfter, int kind = -1, uint32_t n = 0, Mode mode = kFail) {
    Record r;
    rec = &r;
    ResetCoreState();
    if (mode == kShort) faultPlan.shortReadAt = n;
    if (mode != kShort && kind >= 0) faultPlan.failAt[kind] = n;
    if (mode == kFailThenDelete) faultPlan.failAt[kFaultDelete] = 1;  // the clean-up after it
    faultPlan.shortReadAlways = mode == kAllShort;
    ArchiveOpen(archive.c_str());
    r.opening = Now();
    if ((r.opened = errorCode == kStatusOk)) {
      SetBeforeEntryCallback(OnBefore);
      if (withAfter) SetAfterEntryCallback(OnAfter);
      SetOutputBaseDirectory(dir.Core("a/b").c_str());
      ExtractAll();
    }
    r.status = errorCode;
    EXPECT_TRUE(strlen(defaultDirectory) < kConfigFieldSize && strlen(command) < kConfigFieldSize);  // whole strings
    ArchiveClose();
    r.total = Now();
    ResetCoreState();
    if (!withAfter) r.after = r.before;
    if (!withAfter && !r.after.empty()) r.after.back().outcome = r.status;
    EXPECT_TRUE(IsKnownStatus(r.status)) << r.status;
    for (const Member& m : r.after) EXPECT_TRUE(IsKnownStatus(m.outcome)) << m.outcome;
    return r;
  }

  // Nothing outside the target; in it only folders, existing.txt, the files of members that succeeded (or failed
  // their CRC) and the `leftover` of a failed clean-up: no partial or temporary file. The member files are counted
  // and looked up by the engine's own paths, whatever their encoding.
  void CheckScratch(const Record& r, const std::string& leftover = "") {
    size_t files = 0;
    std::set<std::string> kept;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
      std::string e = entry.path().lexically_relative(dir.path()).generic_string();
      bool extra = e == "hostile.zip" || e == "a/b/existing.txt" || (!leftover.empty() && e.rfind("a/b/" + leftover, 0) == 0);
      if (e != "hostile.zip" && e != "a" && e != "a/b" && e.rfind("a/b/", 0) != 0) ADD_FAILURE() << "outside: " << e;
      files += !entry.is_directory() && !extra;
    }
    for (const Member& m : r.after) {
      if ((m.outcome == kStatusOk || m.outcome == kStatusCrcMismatch) && m.name != "existing.txt") kept.insert(m.path);
      EXPECT_FALSE(PlatformIsDirectory(m.path.c_str())) << m.path;  // never a folder under a file's name
    }
    for (const std::string& path : kept) EXPECT_TRUE(FileExists(path.c_str())) << path;
    EXPECT_EQ(files, kept.size()) << "a partial or temporary file stays";
    fs::remove_all(dir.path() / "a");
    fs::create_directories(Out(""));
  }

  TempDir dir;
};

// robust/matrix.zip: five members, stored and deflated, two folder levels; existing.txt replaces a file put there.
const char kOld[] = "the old content, which must survive\n";
const struct { const char* what; int kind; Mode mode; } kFaultRows[] = {
    {"open", kFaultOpen, kFail}, {"read", kFaultRead, kFail}, {"seek", kFaultSeek, kFail}, {"write", kFaultWrite, kFail},
    {"make-directory", kFaultMakeDirectory, kFail}, {"rename", kFaultRename, kFail}, {"short read", kFaultRead, kShort},
    {"read, then delete", kFaultRead, kFailThenDelete}, {"write, then delete", kFaultWrite, kFailThenDelete},
};

// Where the n-th call of a kind stood in the clean run: -2 opening the archive, -1 reading the directory, or a member.
int PhaseOf(const Record& clean, int kind, uint32_t n) {
  if (n <= clean.opening[kind]) return -2;
  for (size_t i = 0; i < clean.before.size(); i++) {
    if (n > clean.before[i].at[kind] && n <= clean.after[i].at[kind]) return (int)i;
  }
  return -1;
}

// The codes a failed call may give where it stood.
std::set<uint16_t> Allowed(int kind, Mode mode, int phase, bool deflated) {
  if (phase == -2 || mode == kShort) return {kStatusFileError, kStatusOk};  // ok: the block's second opening
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
  for (const Member& m : clean.after) reference[m.name] = ReadFileBytes(Out(m.name));
  ASSERT_NE(reference["existing.txt"], kOld);
  // Every kind is reached: two folders, one rename over existing.txt, deletes only after failures.
  for (int kind : {kFaultOpen, kFaultRead, kFaultSeek, kFaultWrite}) EXPECT_GT(clean.total[kind], 0u);
  EXPECT_EQ(clean.total[kFaultMakeDirectory], 2u);
  EXPECT_EQ(clean.total[kFaultRename], 1u);
  EXPECT_EQ(clean.total[kFaultDelete], 0u);
  CheckScratch(clean);

  for (const auto& row : kFaultRows) {
    int cleanUps = 0;
    for (bool withAfter : {false, true}) {
      for (uint32_t n = 1; n <= clean.total[row.kind]; n++) {
        SCOPED_TRACE(std::string(row.what) + " #" + std::to_string(n) + (withAfter ? " going on" : ""));
        int phase = PhaseOf(clean, row.kind, n);
        const std::string member = phase >= 0 ? clean.before[phase].name : "";
        WriteFileBytes(Out("existing.txt"), kOld);
        Record r = Run(archive, withAfter, row.kind, n, row.mode);
        uint16_t code = phase >= 0 && withAfter ? r.after[phase].outcome : r.status;
        std::string leftover;
        if (row.mode == kFailThenDelete && r.total[kFaultDelete] > 0) {
          // The clean-up failed too: the partial file (or the temporary one) stays.
          cleanUps++;
          EXPECT_EQ(code, kStatusFileError);
          leftover = member == "existing.txt" ? "~zv" : member;
          EXPECT_TRUE(member == "existing.txt" || fs::exists(Out(member)));
        } else {
          EXPECT_TRUE(Allowed(row.kind, row.mode, phase, phase >= 0 && clean.before[phase].deflated).count(code))
              << "code " << code << " in phase " << phase;
        }
        if (phase < 0 && code != kStatusOk) { EXPECT_TRUE(r.before.empty()); }
        if (withAfter && r.opened && phase != -1) { EXPECT_EQ(r.status, kStatusOk); }
        if (!withAfter && phase >= 0 && code != kStatusOk) { EXPECT_EQ(r.before.size(), (size_t)phase + 1); }
        // Members that succeeded are whole; existing.txt is unharmed unless replaced.
        bool replaced = false;
        for (const Member& m : r.after) {
          if (m.outcome == kStatusOk) { EXPECT_EQ(ReadFileBytes(Out(m.name)), reference[m.name]) << m.name; }
          replaced = replaced || (m.outcome == kStatusOk && m.name == "existing.txt");
        }
        if (!replaced) { EXPECT_EQ(ReadFileBytes(Out("existing.txt")), kOld); }
        CheckScratch(r, leftover);
      }
    }
    if (row.mode == kFailThenDelete) { EXPECT_GT(cleanUps, 0) << row.what << ": no failure cleaned up"; }
  }
  // Every read short: the end-record scan needs whole reads.
  Record r = Run(archive, false, -1, 0, kAllShort);
  EXPECT_TRUE(r.status == kStatusFileError && !r.opened);
}

// Hostile archives: robust/small-payload.zip (a.txt deflated, sub/b.bin stored, sub/c.txt deflated) mutated in
// memory; the record walk's own refusals (counts, ZIP64, record lengths) are the archive tests' business.
using Mutation = std::function<void(std::string&)>;
size_t EndOf(const std::string& zip) { return zip.rfind(std::string("PK\x05\x06", 4)); }
enum Where { kEnd, kCentral, kLocal };
const int64_t kFromEnd = 1LL << 40;  // kFromEnd + d stands for the file's size + d

// Sets a field of the end record, or of member m's central record or local header.
Mutation Set(Where where, int m, int field, int width, int64_t value) {
  return [=](std::string& z) {
    size_t at = where == kEnd ? EndOf(z) : CentralRecord(z, m);
    if (where == kLocal) at = ReadLe32((const uint8_t*)z.data() + at + 4 + kCentralLocalHeaderOffset);
    uint32_t v = (uint32_t)(value >= kFromEnd / 2 ? (int64_t)z.size() + value - kFromEnd : value);
    width == 2 ? Patch16(z, at + 4 + field, (uint16_t)v) : Patch32(z, at + 4 + field, v);
  };
}
// Sets the end record's entry counts and makes its directory size match.
void Fix(std::string& z, uint16_t count) {
  for (int field : {kEndEntriesOnDisk, kEndEntriesTotal}) Set(kEnd, 0, field, 2, count)(z);
  Set(kEnd, 0, kEndCentralSize, 4, EndOf(z) - CentralRecord(z, 0))(z);
}
Mutation Rename(const std::string& name) {  // member 0, in its central record
  return [=](std::string& z) {
    std::string record = z.substr(CentralRecord(z, 0), 4 + kCentralHeaderSize) + name;
    Patch16(record, 4 + kCentralNameLength, (uint16_t)name.size());
    Patch32(record, 4 + kCentralExtraLength, 0);  // and the comment length
    z = z.substr(0, CentralRecord(z, 0)) + record + z.substr(CentralRecord(z, 1));
    Fix(z, 3);
  };
}
// A fourth record: a copy of member m's, renamed "z...", its local header at local(z).
Mutation AddCopy(int m, uint32_t (*local)(const std::string&)) {
  return [=](std::string& z) {
    std::string copy = z.substr(CentralRecord(z, m), CentralRecord(z, m + 1) - CentralRecord(z, m));
    copy[4 + kCentralHeaderSize] = 'z';
    if (local) Patch32(copy, 4 + kCentralLocalHeaderOffset, local(z));
    z.insert(EndOf(z), copy);
    Fix(z, 4);
  };
}

const int F = -1;                          // any failure
const uint16_t kNo = kStatusCannotCreate;  // the name is refused
const struct {
  const char* what;
  Mutation mutate;
  uint16_t status;
  std::vector<int> outcomes;  // of each member the walk reached
} kHostileRows[] = {
    {"directory past the end", Set(kEnd, 0, kEndCentralOffset, 4, kFromEnd + 1000), kStatusFileError, {}},
    {"directory offset wrapping", Set(kEnd, 0, kEndCentralOffset, 4, 0xFFFFFFF0u), kStatusFileError, {}},
    {"directory inside the end record", Set(kEnd, 0, kEndCentralOffset, 4, kFromEnd - 32), kStatusDamaged, {}},
    {"entry counts 65535", [](std::string& z) { Fix(z, 0xFFFF); }, kStatusOk, {0, 0, 0}},
    // The local name is cut at 255 bytes and the data start lands elsewhere.
    {"local name length 65535", Set(kLocal, 0, kLocalNameLength, 2, 0xFFFF), kStatusOk, {F, 0, 0}},
    {"two records for one local header", AddCopy(0, nullptr), kStatusOk, {0, 0, 0, 0}},
    {"local header inside stored data", AddCopy(1, [](const std::string& z) {
       return (uint32_t)MemberData(z, 1) + 20; }), kStatusOk, {0, 0, 0, F}},
    {"local header at the directory", AddCopy(0, [](const std::string& z) {
       return (uint32_t)CentralRecord(z, 0); }), kStatusOk, {0, 0, 0, F}},
    // A stored copy runs into the records after it; the decoder stops at the last block.
    {"stored size 4 GiB", Set(kCentral, 1, kCentralCompressedSize, 4, 0xFFFFFFFF), kStatusOk, {0, 5, 0}},
    {"deflated size 4 GiB", Set(kCentral, 0, kCentralCompressedSize, 4, 0xFFFFFFFF), kStatusOk, {0, 0, 0}},
    {"local header in the end record", Set(kCentral, 2, kCentralLocalHeaderOffset, 4, kFromEnd - 10), kStatusOk, {0, 0, 5}},
    {"local header at 4 GiB - 1", Set(kCentral, 2, kCentralLocalHeaderOffset, 4, 0xFFFFFFFF), kStatusOk, {0, 0, 5}},
    {"overlong name", Rename(std::string(300, 'n')), kStatusOk, {kNo, 0, 0}},
    {"absolute path, taken as relative", Rename("/evil.txt"), kStatusOk, {0, 0, 0}},
};

TEST_F(Robust, HostileArchives) {
  const std::string sfx = ReadFileBytes(FixturePath("robust/small-sfx.exe"));
  auto extract = [&](const std::string& bytes) {
    WriteFileBytes(dir.path() / "hostile.zip", bytes);
    Record r = Run(dir.Core("hostile.zip"), true);
    CheckScratch(r);
    return r;
  };
  for (const auto& row : kHostileRows) {
    SCOPED_TRACE(row.what);
    std::string zip = ReadFileBytes(FixturePath("robust/small-payload.zip"));
    row.mutate(zip);
    Record r = extract(zip);
    EXPECT_EQ(r.status, row.status);
    ASSERT_EQ(r.after.size(), row.outcomes.size());
    for (size_t i = 0; i < r.after.size(); i++) {
      uint16_t got = r.after[i].outcome;
      EXPECT_TRUE(row.outcomes[i] == F ? got != kStatusOk : got == row.outcomes[i]) << "member " << i << ": " << got;
    }
  }
  // The self-extractor cut anywhere: without its signature the end record is gone, with it the record fails to read.
  ASSERT_EQ(extract(sfx).status, kStatusOk);
  for (size_t cut = 0; cut < sfx.size(); cut++) {
    EXPECT_EQ(extract(sfx.substr(0, cut)).status, cut < EndOf(sfx) + 4 ? kStatusNoEndRecord : kStatusFileError) << cut;
  }
}

}  // namespace
