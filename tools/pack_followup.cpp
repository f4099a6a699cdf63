// What the follow-up command will start, checked when the self-extractor is
// made rather than on the person's machine.
//
// The stub takes the program as the quoted first part of the command, or
// everything up to the first blank, and starts a relative program by its
// full path in the target folder; the packer reads the command the same way.
// A program that is neither in the payload, nor given by an absolute path,
// nor one of the well-known programs of the Windows system directory would
// only ever end in "Couldn't run", so it is refused (unless the publisher
// says otherwise).
//
// The stub starts the command with a call that cannot elevate the child: a
// program whose manifest asks for administrator rights fails to start from
// a stub that runs as the invoking user. So the stub asks for the level the
// program asks for.
#include <stdio.h>

#include <algorithm>
#include <functional>

#include "tools/pack_internal.h"
#include "tools/pe_resources.h"

namespace pack {

namespace {

// Programs a command may name bare because every Windows has them in the
// system directory (or the Windows directory): installers, shells, script
// hosts and the usual helpers of setup scripts.
const char* const kSystemPrograms[] = {
    "cmd.exe",     "msiexec.exe",  "notepad.exe",  "regsvr32.exe", "rundll32.exe", "reg.exe",
    "regedit.exe", "wscript.exe",  "cscript.exe",  "xcopy.exe",    "robocopy.exe", "expand.exe",
    "explorer.exe", "hh.exe",      "control.exe",  "sc.exe",       "schtasks.exe", "netsh.exe",
    "icacls.exe",  "mshta.exe",    "dism.exe",     "pnputil.exe",  "certutil.exe", "wusa.exe",
    "taskkill.exe", "timeout.exe", "shutdown.exe", "attrib.exe",   "net.exe",      "write.exe",
};

// A program named without an extension is found as NAME.exe.
const char kDefaultExtension[] = ".exe";
// The largest program whose manifest is read: installers carrying their own
// payload can be huge, and their resources sit in the first part.
const uint64_t kProgramReadLimit = 256ull << 20;

char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

bool HasExtension(const std::string& program) {
  size_t slash = program.find_last_of("/\\");
  size_t dot = program.rfind('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

// The names a program may be found under: as written, and with .exe added
// when it has no extension.
std::vector<std::string> Candidates(const std::string& program) {
  std::vector<std::string> names{program};
  if (!HasExtension(program)) names.push_back(program + kDefaultExtension);
  return names;
}

std::string PayloadForm(std::string program) {
  for (char& c : program) {
    if (c == '\\') c = '/';
  }
  while (program.compare(0, 2, "./") == 0) program.erase(0, 2);
  return program;
}

}  // namespace

std::string CommandProgram(const std::string& command) {
  size_t start = command.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  bool quoted = command[start] == '"';
  if (quoted) start++;
  size_t end = command.find_first_of(quoted ? "\"" : " \t", start);
  return command.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool IsAnchoredProgram(const std::string& program) {
  return (!program.empty() && (program[0] == '\\' || program[0] == '/')) ||
         (program.size() >= 2 && program[1] == ':');
}

bool IsSystemProgram(const std::string& program) {
  if (program.find_first_of("/\\") != std::string::npos) return false;
  for (const std::string& name : Candidates(program)) {
    for (const char* known : kSystemPrograms) {
      if (SameIgnoringCase(name, known)) return true;
    }
  }
  return false;
}

std::vector<uint8_t> ReadFileHead(const std::string& path, uint64_t limit) {
  std::vector<uint8_t> bytes;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  uint8_t buffer[1 << 16];
  size_t n;
  while (bytes.size() < limit &&
         (n = fread(buffer, 1, (size_t)std::min<uint64_t>(sizeof buffer, limit - bytes.size()), file)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  fclose(file);
  return bytes;
}

FollowUpProgram ResolveFollowUpProgram(const std::string& command, const std::vector<std::string>& payloadNames) {
  FollowUpProgram found;
  found.program = CommandProgram(command);
  // A command whose program part is empty (blanks only, or "" first) starts
  // nothing: the command itself is the program that is not found.
  if (found.program.empty()) found.program = command;
  if (found.program.empty()) return found;
  if (IsAnchoredProgram(found.program)) {
    found.kind = FollowUpProgram::kAbsolute;
    return found;
  }
  for (const std::string& candidate : Candidates(PayloadForm(found.program))) {
    for (const std::string& name : payloadNames) {
      if (name == candidate) {
        found.kind = FollowUpProgram::kInPayload;
        found.member = name;
        return found;
      }
      if (found.member.empty() && SameIgnoringCase(name, candidate)) found.member = name;
    }
  }
  if (!found.member.empty()) {
    found.kind = FollowUpProgram::kInPayload;
    found.caseDiffers = true;
  } else if (IsSystemProgram(found.program)) {
    found.kind = FollowUpProgram::kSystem;
  }
  return found;
}

void CheckFollowUpProgram(const FollowUpProgram& found, bool unchecked) {
  if (found.program.empty()) return;
  if (found.caseDiffers) {
    Warn("--run names '" + found.program + "' and the archive holds '" + found.member +
         "', in another letter case: Windows finds it all the same, a case-sensitive copy of the files would not");
  }
  if (found.kind == FollowUpProgram::kNotFound && !unchecked) {
    throw PackError{"--run: '" + found.program +
                    "' is not in the archive, not an absolute path and not a program of the Windows system "
                    "directory, so the self-extractor could not start it (give --run-unchecked to use it anyway)"};
  }
}

std::string ChooseExecutionLevel(const std::string& requested, const FollowUpProgram& found,
                                 const std::function<std::vector<uint8_t>(uint64_t)>& readProgram,
                                 std::string* programLevel) {
  programLevel->clear();
  if (found.kind == FollowUpProgram::kInPayload) *programLevel = pe::ManifestExecutionLevel(readProgram(kProgramReadLimit));
  bool programNeedsMore = !programLevel->empty() && *programLevel != pe::kExecutionLevels[0];
  if (!requested.empty()) {
    if (programNeedsMore && requested != *programLevel) {
      Warn("'" + found.member + "' asks for " + *programLevel + " in its manifest; with --elevation " + requested +
           " the self-extractor may fail to start it");
    }
    return requested;
  }
  return programNeedsMore ? *programLevel : "";
}

void DescribeFollowUpProgram(const std::string& file, const std::string& command, uint64_t imageSize) {
  std::string stubLevel = pe::ManifestExecutionLevel(ReadFileHead(file, imageSize));
  printf("stub asks for:      %s\n", stubLevel.empty() ? "(no manifest level)" : stubLevel.c_str());
  if (command.empty()) return;
  FollowUpProgram found = ResolveFollowUpProgram(command, ZipMemberNames(file));
  std::string where;
  switch (found.kind) {
    case FollowUpProgram::kInPayload: {
      std::string level = pe::ManifestExecutionLevel(ReadZipMember(file, found.member, kProgramReadLimit));
      where = "'" + found.member + "' in the archive, which asks for " + (level.empty() ? "no level" : level);
      break;
    }
    case FollowUpProgram::kAbsolute:
      where = "an absolute path";
      break;
    case FollowUpProgram::kSystem:
      where = "a program of the Windows system directory";
      break;
    default:
      where = "not in the archive: the self-extractor cannot start it";
  }
  printf("command's program:  %s, %s\n", found.program.c_str(), where.c_str());
}

}  // namespace pack
