// Helpers shared by the test programs, natively and under Wine: fixtures, scratch folders, whole-file reads and
// writes, paths in the core's form.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>

namespace testing_support {

// A fixture made by tests/fixtures/make-fixtures.sh (folder in ZARVEL_FIXTURES).
std::string FixturePath(const std::string& name);
// The core takes backslash separators; on POSIX its platform layer maps them back.
std::string CorePath(const std::filesystem::path& path);

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string Core(const std::string& relative = "") const { return CorePath(relative.empty() ? path_ : path_ / relative); }

 private:
  std::filesystem::path path_;
};

std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);
// Last-write time in seconds since 1970 (-1 when unknown); the moment a DOS date and time stand for, in local time.
int64_t FileModifiedTime(const std::filesystem::path& path);
int64_t DosTimeToUnix(uint16_t dosDate, uint16_t dosTime);
int RunShell(const std::string& command);
std::string RandomBytes(size_t count, uint32_t seed);
// Closes the archive, clears errorCode, the callbacks and every planned fault.
void ResetCoreState();

}  // namespace testing_support
