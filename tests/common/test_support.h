// Helpers shared by the test programs: fixture lookup, scratch directories,
// whole-file reads and writes, and paths in the core's backslash form.
// Works natively and under Wine (paths come from the environment there too).
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>

namespace testing_support {

// Path of a fixture made by tests/fixtures/make-fixtures.sh (ZARVEL_FIXTURES).
std::string FixturePath(const std::string& name);
bool HaveFixture(const std::string& name);

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // The directory or a file below it, in the core's form (backslash separators).
  std::string Core(const std::string& relative = "") const;

 private:
  std::filesystem::path path_;
};

// A path in the form the core takes: every '/' becomes '\'. On POSIX the
// platform layer maps them back when it calls the system.
std::string CorePath(const std::filesystem::path& path);

std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

// Last-write time of a file in seconds since 1970 (UTC); -1 when unknown.
int64_t FileModifiedTime(const std::filesystem::path& path);
// The moment a DOS date and time stand for, read as local time.
int64_t DosTimeToUnix(uint16_t dosDate, uint16_t dosTime);

// Runs a shell command natively (not under Wine); returns its exit status.
int RunShell(const std::string& command);

// Pseudo-random bytes from a fixed seed, for repeatable inputs.
std::string RandomBytes(size_t count, uint32_t seed);

// Resets the archive and engine state a test may have left behind: closes the
// archive, clears errorCode, the callbacks and every planned fault.
void ResetCoreState();

}  // namespace testing_support
