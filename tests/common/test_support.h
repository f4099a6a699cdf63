// Helpers shared by the test programs, natively and under Wine: fixtures, scratch folders, whole-file reads and
// writes, folder listings, paths in the core's form.
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
// The files and folders below `dir`, relative, sorted and joined by spaces; with `sizes`, each file as "name(size)".
std::string TreeOf(const std::filesystem::path& dir, bool sizes = false);
std::string RandomBytes(size_t count, uint32_t seed);
// Closes the archive, clears errorCode, the callbacks and every planned fault.
void ResetCoreState();

}  // namespace testing_support
