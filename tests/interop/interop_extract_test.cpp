// Archives made by other archivers, extracted in-process with ExtractAll as the
// stub runs it, against what unzip makes of the same archive: the same files
// with the same bytes and modification times, and the folders that hold them.
//
// The engine creates no folder for a folder entry (only for the files below
// it), so folders that are empty in the archive are the one expected
// difference. The archives and their source tree come from
// tests/fixtures/gen-interop.sh, made under the time zone it records.
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "common/test_support.h"
#include "engine/extract.h"
#include "engine/status.h"

namespace fs = std::filesystem;
using testing_support::FixturePath;
using testing_support::TempDir;

namespace {

// Files (relative path -> full path) and folders of an extracted tree.
struct Tree {
  std::map<std::string, fs::path> files;
  std::set<std::string> folders;
};

Tree ReadTree(const fs::path& root) {
  Tree tree;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string relative = fs::relative(item.path(), root).generic_string();
    if (item.is_directory()) {
      tree.folders.insert(relative);
    } else {
      tree.files[relative] = item.path();
    }
  }
  return tree;
}

// Every folder that holds a file, at any depth.
std::set<std::string> FoldersAboveFiles(const Tree& tree) {
  std::set<std::string> out;
  for (const auto& file : tree.files) {
    for (fs::path p = fs::path(file.first).parent_path(); !p.empty(); p = p.parent_path()) {
      out.insert(p.generic_string());
    }
  }
  return out;
}

void UseFixtureTimeZone() {
  std::string zone = testing_support::ReadFileBytes(FixturePath("interop/TZ"));
  while (!zone.empty() && (zone.back() == '\n' || zone.back() == '\r')) zone.pop_back();
  ASSERT_FALSE(zone.empty()) << "interop/TZ is missing";
  setenv("TZ", zone.c_str(), 1);
  tzset();
}

// What the engine reported for each member that was attempted.
std::vector<std::string> failures;
unsigned attempted = 0;

int32_t CountAttempt(const CentralHeader*, const char*) {
  attempted++;
  return kAnswerExtract;
}

bool RecordOutcome(const CentralHeader* header, const char*, uint16_t outcome) {
  if (outcome != kStatusOk) {
    failures.push_back(std::string(EntryNameOf(header)) + ": " + std::to_string(outcome));
  }
  return true;
}

// Extracts the archive as the stub does and leaves the run's status.
uint16_t ExtractInProcess(const std::string& archive, const TempDir& target) {
  testing_support::ResetCoreState();
  failures.clear();
  attempted = 0;
  ArchiveOpen(testing_support::CorePath(archive).c_str());
  if (errorCode != kStatusOk) return errorCode;
  SetOutputBaseDirectory(target.Core().c_str());
  SetBeforeEntryCallback(CountAttempt);
  SetAfterEntryCallback(RecordOutcome);
  ExtractAll();
  uint16_t status = errorCode;
  ArchiveClose();
  testing_support::ResetCoreState();
  return status;
}

void ExtractWithUnzip(const std::string& archive, const TempDir& target) {
  std::string command = "LC_ALL=C.UTF-8 unzip -q -o -d '" + target.path().string() + "' '" +
                        archive + "'";
  ASSERT_EQ(testing_support::RunShell(command), 0) << command;
}

class ArchiverInterop : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { UseFixtureTimeZone(); }
};

// The whole comparison for one archive.
void CompareWithUnzip(const std::string& name, bool timesMatchSource) {
  std::string archive = FixturePath("interop/" + name);
  ASSERT_TRUE(fs::exists(archive)) << archive;
  TempDir ours, theirs;
  ExtractWithUnzip(archive, theirs);
  EXPECT_EQ(ExtractInProcess(archive, ours), kStatusOk);
  EXPECT_TRUE(failures.empty()) << failures.size() << " members failed, first " << failures[0];

  Tree mine = ReadTree(ours.path());
  Tree reference = ReadTree(theirs.path());
  std::set<std::string> mineNames, referenceNames;
  for (const auto& f : mine.files) mineNames.insert(f.first);
  for (const auto& f : reference.files) referenceNames.insert(f.first);
  ASSERT_EQ(mineNames, referenceNames);
  EXPECT_EQ(attempted, reference.files.size()) << "one callback per file member";

  fs::path source = FixturePath("interop/tree");
  for (const auto& f : reference.files) {
    const fs::path& minePath = mine.files[f.first];
    EXPECT_EQ(fs::file_size(minePath), fs::file_size(f.second)) << f.first;
    EXPECT_TRUE(testing_support::ReadFileBytes(minePath) == testing_support::ReadFileBytes(f.second))
        << f.first << ": contents differ";
    int64_t mineTime = testing_support::FileModifiedTime(minePath);
    int64_t referenceTime = testing_support::FileModifiedTime(f.second);
    // DOS times hold even seconds; unzip may take an exact time from an extra field.
    EXPECT_LT(llabs(mineTime - referenceTime), 2) << f.first << ": ours " << mineTime
                                                  << ", unzip " << referenceTime;
    if (timesMatchSource) {
      EXPECT_EQ(mineTime, testing_support::FileModifiedTime(source / f.first)) << f.first;
    }
  }

  // Folders: exactly those that hold files; unzip also makes the empty ones.
  std::set<std::string> needed = FoldersAboveFiles(reference);
  EXPECT_EQ(mine.folders, needed);
  for (const std::string& folder : reference.folders) {
    if (needed.count(folder) == 0) {
      EXPECT_TRUE(fs::is_empty(theirs.path() / folder)) << folder;
    }
  }
}

TEST_P(ArchiverInterop, ExtractsLikeUnzip) {
  std::string name = GetParam();
  // p7zip turns a file's UTC time into a DOS time with the zone's offset of
  // today rather than of the file's date, so across a summer-time change its
  // DOS times are an hour off the source; unzip reads them the same way we do.
  bool timesMatchSource = name.rfind("7z-", 0) != 0;
  CompareWithUnzip(name, timesMatchSource);
}

INSTANTIATE_TEST_SUITE_P(Archivers, ArchiverInterop,
                         ::testing::Values("zip-default.zip", "zip-9.zip", "zip-store.zip",
                                           "zip-descriptors.zip", "zip-no-folders.zip",
                                           "zip-streamed.zip", "zip-comment.zip",
                                           "7z-default.zip", "7z-mx9.zip",
                                           "bsdtar-default.zip", "bsdtar-store.zip",
                                           "python-deflate1.zip", "python-deflate9.zip",
                                           "python-stored.zip"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string id = info.param;
                           id = id.substr(0, id.find('.'));
                           for (char& c : id) {
                             if (c == '-') c = '_';
                           }
                           return id;
                         });

// "./" in front of every name is what bsdtar writes for `bsdtar -cf x.zip .`;
// a "." component stays inside the target folder, so the members should
// extract as if it were not there.
TEST(DotPrefixNames, ExtractLikeUnzip) {
  UseFixtureTimeZone();
  CompareWithUnzip("bsdtar-dot-prefix.zip", true);
}

}  // namespace
