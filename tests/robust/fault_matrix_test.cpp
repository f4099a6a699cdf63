// Fault-injection matrix over a whole extraction.
//
// A clean run of a multi-member archive (stored and deflated members, nested
// folders, one member that replaces an existing file) is counted first: how
// many opens, reads, seeks, writes, make-directories, deletes and renames it
// makes, and which of those calls belong to opening the archive, to reading
// the directory, or to which member. Then every call of every kind is made to
// fail in turn, one run per call, with and without an AfterEntryCallback, and
// every read is made to come back short. Each run must end with the code the
// failure tables give for where the call stands, leave no partial or
// temporary file, and leave the existing file as it was unless the member
// replacing it completed. Deletes and renames happen only on the failure and
// replace paths, so they are counted in the failing runs and failed there.
#include <stdio.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/engine_support.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "platform/fault.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const char kOldContent[] = "the old content, which must survive\n";
const char kExisting[] = "existing.txt";
const char* const kKindNames[kFaultKindCount] = {"open", "read", "seek", "write",
                                                 "make-directory", "delete", "rename"};

// Calls counted up to a moment of the run, per kind.
struct Counts {
  uint32_t calls[kFaultKindCount];
};
Counts Now() {
  Counts c;
  for (int k = 0; k < kFaultKindCount; k++) c.calls[k] = faultPlan.calls[k];
  return c;
}

// What one run saw.
struct RunRecord {
  uint16_t status = 0;
  bool opened = false;
  Counts afterOpen{};
  std::vector<std::string> members;    // in the order BeforeEntryCallback saw them
  std::vector<uint16_t> methods;
  std::vector<Counts> before, after;   // counts at each member's two callbacks
  std::map<std::string, uint16_t> outcome;  // per member, from AfterEntryCallback
  Counts total{};
};
RunRecord* recording = nullptr;

int32_t OnBefore(const CentralHeader* header, const char*) {
  recording->members.push_back(EntryNameOf(header));
  recording->methods.push_back(CentralField16(*header, kCentralMethod));
  recording->before.push_back(Now());
  return kAnswerExtract;
}

bool OnAfter(const CentralHeader* header, const char*, uint16_t outcome) {
  recording->after.push_back(Now());
  recording->outcome[EntryNameOf(header)] = outcome;
  return true;
}

struct Fault {
  int kind = -1;     // -1: none
  uint32_t at = 0;
  uint32_t deleteAt = 0;  // a second fault on the delete that cleans up
  uint32_t shortReadAt = 0;
  bool shortAlways = false;
};

std::string Describe(const Fault& f) {
  std::string s = f.kind < 0 ? "no fault" : std::string(kKindNames[f.kind]) + " #" + std::to_string(f.at);
  if (f.deleteAt) s += " + delete #" + std::to_string(f.deleteAt);
  if (f.shortReadAt) s += "short read #" + std::to_string(f.shortReadAt);
  if (f.shortAlways) s += "every read short";
  return s;
}

class FaultMatrix : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    archive = new std::string(FixturePath("robust/matrix.zip"));
  }
  static void TearDownTestSuite() { delete archive; }

  void SetUp() override {
    ResetCoreState();
    // The reference: what a clean run writes, and where its calls fall.
    clean = Run(Fault(), true);
    ASSERT_EQ(clean.status, kStatusOk);
    ASSERT_EQ(clean.members.size(), 5u);
    for (const std::string& name : clean.members) {
      ASSERT_EQ(clean.outcome[name], kStatusOk) << name;
      reference[name] = ReadFileBytes(Out() / name);
    }
    ASSERT_NE(reference[kExisting], kOldContent);
  }
  void TearDown() override { ResetCoreState(); }

  fs::path Out() const { return dir.path() / "out"; }

  void PrepareOut() {
    std::error_code ec;
    fs::remove_all(Out(), ec);
    fs::create_directory(Out());
    WriteFileBytes(Out() / kExisting, kOldContent);
  }

  RunRecord Run(const Fault& f, bool withAfter) {
    PrepareOut();
    RunRecord r;
    recording = &r;
    FaultReset();
    if (f.kind >= 0) faultPlan.failAt[f.kind] = f.at;
    if (f.deleteAt) faultPlan.failAt[kFaultDelete] = f.deleteAt;
    faultPlan.shortReadAt = f.shortReadAt;
    faultPlan.shortReadAlways = f.shortAlways;
    ArchiveOpen(archive->c_str());
    r.afterOpen = Now();
    r.opened = errorCode == kStatusOk;
    if (r.opened) {
      SetBeforeEntryCallback(OnBefore);
      if (withAfter) SetAfterEntryCallback(OnAfter);
      SetOutputBaseDirectory(dir.Core("out").c_str());
      ExtractAll();
    }
    r.status = errorCode;
    ArchiveClose();
    r.total = Now();
    FaultReset();
    recording = nullptr;
    return r;
  }

  // Where the n-th call of a kind stood in the clean run: -2 opening the
  // archive, -1 reading the directory, else the member's index.
  int PhaseOf(int kind, uint32_t n) const {
    if (n <= clean.afterOpen.calls[kind]) return -2;
    for (size_t i = 0; i < clean.members.size(); i++) {
      if (n > clean.before[i].calls[kind] && n <= clean.after[i].calls[kind]) return (int)i;
    }
    return -1;
  }

  bool Deflated(int member) const { return clean.methods[member] == kMethodDeflated; }

  // The codes the failure tables allow for a failed call of `kind` there.
  std::set<uint16_t> Allowed(int kind, int phase) const {
    if (phase == -2) return {kStatusFileError, kStatusOk};  // 0: the block's second opening
    if (phase == -1) return {kStatusFileError};
    switch (kind) {
      // The directory walk retries the open after every folder it finds.
      case kFaultOpen: return {kStatusCannotCreate, kStatusOk};
      case kFaultRead:
        if (Deflated(phase)) return {kStatusFileError, kStatusDamaged};
        return {kStatusFileError};
      case kFaultMakeDirectory: return {kStatusCannotCreate};
      default: return {kStatusFileError};
    }
  }

  // Each member's outcome: from AfterEntryCallback, or without it, the run's
  // status for the last member attempted and success for the ones before.
  std::map<std::string, uint16_t> Outcomes(const RunRecord& r, bool withAfter) const {
    if (withAfter) return r.outcome;
    std::map<std::string, uint16_t> o;
    for (size_t i = 0; i < r.members.size(); i++) {
      o[r.members[i]] = i + 1 == r.members.size() ? r.status : kStatusOk;
    }
    return o;
  }

  // The disk agrees with the outcomes: a member that succeeded is there
  // whole, any other is absent (the existing file keeps its old content),
  // and nothing else is there, no partial file and no temporary one.
  // `leftover` names the one file a failed clean-up may leave ("~zv" for a
  // temporary file).
  void CheckDisk(const RunRecord& r, bool withAfter, const std::string& leftover = "") {
    std::map<std::string, uint16_t> outcomes = Outcomes(r, withAfter);
    std::set<std::string> expected;
    for (auto& [name, content] : reference) {
      auto it = outcomes.find(name);
      bool done = it != outcomes.end() && it->second == kStatusOk;
      if (name == kExisting) {
        expected.insert(name);
        std::string now = ReadFileBytes(Out() / name);
        if (done) {
          EXPECT_EQ(now, content) << "the replacing member completed";
        } else {
          EXPECT_EQ(now, kOldContent) << "the existing file was harmed";
        }
      } else if (done) {
        expected.insert(name);
        EXPECT_EQ(ReadFileBytes(Out() / name), content) << name;
      }
    }
    for (const std::string& entry : engine_test::TreeOf(Out())) {
      if (entry == "docs" || entry == "docs/deep") continue;  // folders made on the way stay
      if (expected.count(entry) || entry == leftover) continue;
      if (leftover == "~zv" && entry.rfind("~zv", 0) == 0) continue;
      ADD_FAILURE() << "left on disk: " << entry;
    }
  }

  // One failing call of `kind`, every position; collects the failing runs
  // that went on to call delete (for the double-fault pass). Deletes are
  // failed in that pass: a clean run makes none.
  void Sweep(int kind, bool withAfter, std::vector<Fault>* deleting) {
    uint32_t count = clean.total.calls[kind];
    for (uint32_t n = 1; n <= count; n++) {
      Fault f;
      f.kind = kind;
      f.at = n;
      SCOPED_TRACE(Describe(f) + (withAfter ? " with AfterEntryCallback" : ""));
      RunRecord r = Run(f, withAfter);
      int phase = PhaseOf(kind, n);
      // The failure belongs where the clean run had the call.
      std::set<uint16_t> allowed = Allowed(kind, phase);
      uint16_t code = phase >= 0 && withAfter ? Outcomes(r, true)[clean.members[phase]] : r.status;
      EXPECT_TRUE(allowed.count(code)) << "code " << code << " in phase " << phase;
      if (phase == -2) {
        if (code == kStatusOk) {
          EXPECT_EQ(r.members.size(), 5u);
        } else {
          EXPECT_TRUE(r.members.empty());
        }
      }
      if (phase == -1) {
        EXPECT_TRUE(r.members.empty());
      }
      if (withAfter && r.opened && phase != -1) {
        EXPECT_EQ(r.status, kStatusOk);
      }
      if (!withAfter && phase >= 0 && code != kStatusOk) {
        EXPECT_EQ(r.members.size(), (size_t)phase + 1) << "the first failure ends the run";
      }
      CheckDisk(r, withAfter);
      if (r.total.calls[kFaultDelete] > 0 && deleting != nullptr) deleting->push_back(f);
    }
  }

  static std::string* archive;
  TempDir dir;
  RunRecord clean;
  std::map<std::string, std::string> reference;
};
std::string* FaultMatrix::archive = nullptr;

TEST_F(FaultMatrix, CleanRunMakesEveryKindOfCall) {
  // The matrix is only as good as the calls it reaches.
  for (int kind : {kFaultOpen, kFaultRead, kFaultSeek, kFaultWrite, kFaultMakeDirectory, kFaultRename}) {
    EXPECT_GT(clean.total.calls[kind], 0u) << kKindNames[kind];
  }
  EXPECT_EQ(clean.total.calls[kFaultMakeDirectory], 2u);  // docs, docs/deep
  EXPECT_EQ(clean.total.calls[kFaultRename], 1u);         // the temporary file over existing.txt
  EXPECT_EQ(clean.total.calls[kFaultDelete], 0u);
  std::string counts;
  for (int kind = 0; kind < kFaultKindCount; kind++) {
    counts += std::string(" ") + kKindNames[kind] + " " + std::to_string(clean.total.calls[kind]);
  }
  printf("clean run:%s\n", counts.c_str());
}

TEST_F(FaultMatrix, EveryCallFailsInTurnWithoutAfterCallback) {
  for (int kind = 0; kind < kFaultKindCount; kind++) Sweep(kind, false, nullptr);
}

TEST_F(FaultMatrix, EveryCallFailsInTurnWithAfterCallbackGoingOn) {
  std::vector<Fault> deleting;
  for (int kind = 0; kind < kFaultKindCount; kind++) Sweep(kind, true, &deleting);
  ASSERT_FALSE(deleting.empty()) << "no failing run cleaned up a partial file";

  // The same failures with the clean-up delete failing too: the member's
  // status becomes 5 and its partial file stays (a temporary file beside the
  // existing one stays instead, and the existing file is still unharmed).
  for (Fault f : deleting) {
    f.deleteAt = 1;
    SCOPED_TRACE(Describe(f));
    RunRecord r = Run(f, true);
    int phase = PhaseOf(f.kind, f.at);
    ASSERT_GE(phase, 0);
    const std::string& member = clean.members[phase];
    EXPECT_EQ(r.outcome[member], kStatusFileError);
    EXPECT_EQ(r.status, kStatusOk);
    bool replacing = member == kExisting;
    if (!replacing) {
      EXPECT_TRUE(fs::exists(Out() / member)) << "the partial file stays";
    }
    CheckDisk(r, true, replacing ? "~zv" : member);
  }
}

TEST_F(FaultMatrix, ShortReadsEverywhere) {
  // Every read short: the end-record scan needs whole reads, so the archive
  // does not open, and nothing is written.
  Fault always;
  always.shortAlways = true;
  RunRecord r = Run(always, false);
  EXPECT_EQ(r.status, kStatusFileError);
  EXPECT_FALSE(r.opened);
  CheckDisk(r, false);

  // One short read at a time: records need whole reads (5); member data and
  // the configuration block take what comes and read on, so the run succeeds.
  for (bool withAfter : {false, true}) {
    for (uint32_t n = 1; n <= clean.total.calls[kFaultRead]; n++) {
      Fault f;
      f.shortReadAt = n;
      SCOPED_TRACE(Describe(f) + (withAfter ? " with AfterEntryCallback" : ""));
      RunRecord s = Run(f, withAfter);
      int phase = PhaseOf(kFaultRead, n);
      uint16_t code = phase >= 0 && withAfter ? s.outcome[clean.members[phase]] : s.status;
      EXPECT_TRUE(code == kStatusOk || code == kStatusFileError) << "code " << code;
      CheckDisk(s, withAfter);
    }
  }
}

}  // namespace
