// Gathering the members from the inputs.
//
// Each input is a file or a folder; a folder is walked recursively. Names are
// relative to the input's parent, so packing "a/b/site" gives "site/...".
// Folders get their own "name/" entries so that empty folders survive. The
// list is sorted by name, so the archive never depends on the order in which
// the file system returns directory entries, nor on the order of the inputs.
//
// Everything that would make the pack fail is found here, before the output
// is created: unreadable inputs, names the stub would refuse, duplicate
// names. Sizes and counts have no limit: the records take ZIP64 past 32 bits.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "tools/pack_internal.h"

namespace pack {

namespace {

std::string SystemError(const std::string& path) { return "'" + path + "': " + strerror(errno); }

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string LastComponent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return "";
  return resolved;
}

// The name an input gets in the archive: its last path component.
std::string InputBaseName(const std::string& input) {
  std::string base = LastComponent(StripTrailingSlashes(input));
  if (base.empty() || base == "." || base == ".." || base == "/") {
    base = LastComponent(RealPath(input));
  }
  if (base.empty()) throw PackError{"'" + input + "': cannot pack the root folder"};
  return base;
}

class Gatherer {
 public:
  std::vector<SourceEntry> entries;

  void AddInput(const std::string& input) {
    struct stat info;
    if (stat(input.c_str(), &info) != 0) throw PackError{SystemError(input)};
    Add(input, InputBaseName(input), info);
  }

 private:
  void Add(const std::string& path, const std::string& name, const struct stat& info) {
    if (S_ISDIR(info.st_mode)) {
      AddDirectory(path, name, info);
    } else if (S_ISREG(info.st_mode)) {
      AddFile(path, name, info);
    } else {
      throw PackError{"'" + path + "': not a regular file or a folder"};
    }
  }

  SourceEntry Describe(const std::string& name, const struct stat& info) {
    SourceEntry entry;
    entry.name = name;
    entry.mode = info.st_mode;
    bool clamped = false;
    UnixTimeToDos((int64_t)info.st_mtime, &entry.dosDate, &entry.dosTime, &clamped);
    if (clamped) {
      Warn("'" + name + "': modification time outside 1980..2107, stored as the nearest DOS time");
    }
    EncodeMemberName(entry);
    return entry;
  }

  void AddFile(const std::string& path, const std::string& name, const struct stat& info) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) throw PackError{SystemError(path)};
    close(fd);
    SourceEntry entry = Describe(name, info);
    entry.sourcePath = path;
    entry.size = (uint64_t)info.st_size;
    entries.push_back(entry);
  }

  void AddDirectory(const std::string& path, const std::string& name, const struct stat& info) {
    SourceEntry entry = Describe(name + "/", info);
    entry.isDirectory = true;
    entries.push_back(entry);

    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) throw PackError{SystemError(path)};
    std::vector<std::string> children;
    errno = 0;
    while (struct dirent* item = readdir(dir)) {
      if (strcmp(item->d_name, ".") != 0 && strcmp(item->d_name, "..") != 0) children.push_back(item->d_name);
    }
    int readError = errno;
    closedir(dir);
    if (readError != 0) {
      errno = readError;
      throw PackError{SystemError(path)};
    }
    for (const std::string& child : children) {
      std::string childPath = path + "/" + child;
      struct stat childInfo;
      if (lstat(childPath.c_str(), &childInfo) != 0) throw PackError{SystemError(childPath)};
      if (S_ISLNK(childInfo.st_mode)) {
        // A link to a file packs the file; a link to a folder is not followed,
        // since it could lead back into the tree.
        if (stat(childPath.c_str(), &childInfo) != 0) throw PackError{SystemError(childPath)};
        if (S_ISDIR(childInfo.st_mode)) {
          Warn("'" + childPath + "': link to a folder, not followed");
          continue;
        }
      }
      Add(childPath, name + "/" + child, childInfo);
    }
  }
};

std::string FoldCase(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) c = (char)tolower((unsigned char)c);
  return folded;
}

// Legal here, but awkward on the person's Windows: names that differ only in
// (ASCII) case land on the same file, where the stub asks before replacing;
// a UTF-8 name is written only where the ANSI code page holds its characters.
void WarnAboutWindowsNames(const std::vector<SourceEntry>& entries) {
  std::vector<std::pair<std::string, const SourceEntry*>> folded;
  size_t utf8Names = 0;
  const SourceEntry* firstUtf8 = nullptr;
  for (const SourceEntry& entry : entries) {
    folded.emplace_back(FoldCase(entry.name), &entry);
    if (entry.utf8 && utf8Names++ == 0) firstUtf8 = &entry;
  }
  std::sort(folded.begin(), folded.end());
  const size_t kTwinsShown = 3;
  size_t twins = 0;
  for (size_t i = 1; i < folded.size(); i++) {
    if (folded[i].first == folded[i - 1].first && twins++ < kTwinsShown) {
      Warn("'" + folded[i - 1].second->name + "' and '" + folded[i].second->name +
           "' differ only in case and are one file on Windows");
    }
  }
  if (twins > kTwinsShown) Warn(std::to_string(twins - kTwinsShown) + " more names differ from another only in case");
  if (utf8Names > 0) {
    Warn(std::to_string(utf8Names) + " name(s) need UTF-8, such as '" + firstUtf8->name +
         "'; the self-extractor writes them only where the Windows ANSI code page holds their characters");
  }
}

}  // namespace

bool IsZipInput(const std::vector<std::string>& inputs) {
  if (inputs.size() != 1) return false;
  const std::string& path = inputs[0];
  if (path.size() < 4) return false;
  std::string extension = path.substr(path.size() - 4);
  for (char& c : extension) c = (char)tolower((unsigned char)c);
  struct stat info;
  return extension == ".zip" && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void CheckOutputNotInput(const std::vector<std::string>& inputs, const std::string& output) {
  // The output may not exist yet: resolve its folder and append its name.
  std::string outputFolder = output.find('/') == std::string::npos ? "." : output.substr(0, output.rfind('/') + 1);
  std::string resolvedFolder = RealPath(outputFolder);
  if (resolvedFolder.empty()) throw PackError{"'" + outputFolder + "': " + strerror(errno)};
  std::string resolvedOutput = resolvedFolder + (resolvedFolder == "/" ? "" : "/") + LastComponent(output);
  for (const std::string& input : inputs) {
    std::string resolvedInput = RealPath(input);
    if (resolvedInput.empty()) continue;  // reported when the input is read
    bool inside = resolvedInput == "/" ||
                  resolvedOutput.compare(0, resolvedInput.size() + 1, resolvedInput + "/") == 0;
    if (resolvedOutput == resolvedInput || inside) {
      throw PackError{"the output '" + output + "' is the input '" + input + "' or lies inside it"};
    }
  }
}

std::vector<SourceEntry> GatherInputs(const std::vector<std::string>& inputs) {
  Gatherer gatherer;
  for (const std::string& input : inputs) gatherer.AddInput(input);
  std::vector<SourceEntry>& entries = gatherer.entries;
  std::sort(entries.begin(), entries.end(),
            [](const SourceEntry& a, const SourceEntry& b) { return MemberNameLess(a.name, b.name); });
  for (size_t i = 1; i < entries.size(); i++) {
    if (entries[i].name == entries[i - 1].name) {
      throw PackError{"'" + entries[i].name + "' would be stored twice (two inputs with the same name)"};
    }
  }
  WarnAboutWindowsNames(entries);
  return entries;
}

}  // namespace pack
