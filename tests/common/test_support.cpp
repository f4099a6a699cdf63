// Shared test helpers (see test_support.h).
#include "common/test_support.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <set>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "engine/status.h"
#include "platform/fault.h"

namespace fs = std::filesystem;

namespace testing_support {

std::string FixturePath(const std::string& name) {
  const char* dir = getenv("ZARVEL_FIXTURES");
  if (dir == nullptr || *dir == 0) ADD_FAILURE() << "ZARVEL_FIXTURES is not set: run the tests through ctest or the Wine runner";
  return dir == nullptr ? name : (fs::path(dir) / name).string();
}

TempDir::TempDir() {
  static unsigned counter = 0;
  std::error_code ec;
  do {  // creating the folder is the test: one that another program made first is passed over
    path_ = fs::temp_directory_path() / ("zarvel-test-" + std::to_string(counter++));
  } while (!fs::create_directory(path_, ec));
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files left by a test must not stop the removal.
  for (auto it = fs::recursive_directory_iterator(path_, ec); it != fs::recursive_directory_iterator(); it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string CorePath(const fs::path& path) {
  std::string text = path.string();
  for (char& c : text) c = c == '/' ? '\\' : c;
  return text;
}

std::string ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), (std::streamsize)bytes.size());
}

std::string TreeOf(const fs::path& dir, bool sizes) {
  std::set<std::string> items;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    std::string name = e.path().lexically_relative(dir).generic_string();
    items.insert(sizes && !e.is_directory() ? name + "(" + std::to_string(e.file_size()) + ")" : name);
  }
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
  return text;
}

std::string RandomBytes(size_t count, uint32_t seed) {
  std::string out(count, '\0');
  uint32_t x = seed ? seed : 1;
  for (char& c : out) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = (char)(x >> 24);
  }
  return out;
}

void ResetCoreState() {
  ArchiveClose();
  errorCode = 0;
  SetBeforeEntryCallback(nullptr), SetProgressCallback(nullptr), SetAfterEntryCallback(nullptr);
  FaultReset();
}

}  // namespace testing_support
