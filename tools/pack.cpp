// zarvel pack: makes a self-extractor from folders and files, or from one
// existing ZIP, whose members are then copied without recompression.
//
// The output is the stub, the 514-byte configuration block (--dir, --run)
// and a ZIP archive whose first local header directly follows the block and
// whose offsets are absolute positions in the output. The same inputs and
// options always give the same bytes, whatever the number of threads.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <iterator>
#include <thread>

#include "tools/commands.h"
#include "tools/pack_internal.h"
#include "tools/pe_resources.h"

namespace pack {

namespace {

const char kUsage[] =
    "usage: zarvel pack -o OUT.exe [--dir DEFAULT_DIR] [--run COMMAND [--run-unchecked]]\n"
    "                   [--icon FILE.ico] [--version-info KEY=VALUE]... [--elevation LEVEL]\n"
    "                   [--stub STUB.exe] [--level N] [--jobs N] INPUT...\n"
    "\n"
    "Makes a self-extractor OUT.exe: the stub, a configuration block and a ZIP archive.\n"
    "INPUTs are files and folders (folders are packed with everything in them, under\n"
    "their own name), or a single existing .zip whose members are copied without\n"
    "recompressing them.\n"
    "\n"
    "  -o, --output OUT   the self-extractor to write (replaced only when packing succeeds)\n"
    "  --dir DIR          target folder the self-extractor proposes (at most 256 characters)\n"
    "  --run COMMAND      command started in the target folder after a successful\n"
    "                     extraction, such as setup.exe (at most 256 characters); its\n"
    "                     program must be in the archive, an absolute path or a program\n"
    "                     of the Windows system directory\n"
    "  --run-unchecked    accept a --run program that none of these holds\n"
    "  --icon FILE.ico    the self-extractor's icon (all the images of FILE.ico)\n"
    "  --version-info KEY=VALUE\n"
    "                     a version string; KEY is one of\n"
    "                     %s\n"
    "  --elevation LEVEL  the rights it asks for: asInvoker, highestAvailable or\n"
    "                     requireAdministrator (default: what the --run program's\n"
    "                     manifest asks for, else asInvoker)\n"
    "  --stub STUB.exe    the self-extractor program to use%s\n"
    "  --level N          compression level, 0 (store) to 12 (smallest, default %d); files\n"
    "                     of 16 MiB and more are compressed in 4 MiB pieces on every\n"
    "                     thread with a scale that ends at 9, which levels 10 to 12 use\n"
    "  --jobs N           threads compressing members (default: one per core; at most\n"
    "                     16 at levels 10 to 12 and 80 below, to bound memory)\n"
    "  -h, --help         show this help\n";

[[noreturn]] void UsageError(const std::string& message) {
  fprintf(stderr, "zarvel pack: %s\n(see 'zarvel pack --help')\n", message.c_str());
  exit(2);
}

// An icon file larger than this is not an icon.
const size_t kMaxIconFileSize = 16u << 20;

int ParseNumber(const std::string& option, const std::string& text, int low, int high) {
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != 0 || value < low || value > high) {
    UsageError(option + " takes a number from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return (int)value;
}

std::pair<std::string, std::string> ParseVersionString(const std::string& text) {
  size_t equals = text.find('=');
  if (equals == std::string::npos) UsageError("--version-info takes KEY=VALUE, not '" + text + "'");
  std::pair<std::string, std::string> entry(text.substr(0, equals), text.substr(equals + 1));
  std::string problem = pe::VersionStringProblem(entry.first, entry.second);
  if (!problem.empty()) UsageError("--version-info " + entry.first + ": " + problem);
  return entry;
}

std::string ParseElevation(const std::string& text) {
  for (const char* level : pe::kExecutionLevels) {
    if (text == level) return text;
  }
  UsageError("--elevation takes asInvoker, highestAvailable or requireAdministrator, not '" + text + "'");
}

// The keys, four to a line of the help text.
std::string VersionKeyList() {
  const size_t kKeysPerLine = 4;
  std::string list;
  for (size_t i = 0; i < std::size(pe::kVersionKeys); i++) {
    if (i > 0) list += i % kKeysPerLine == 0 ? ",\n                     " : ", ";
    list += pe::kVersionKeys[i];
  }
  return list;
}

// Returns false when --help was asked for.
bool ParseOptions(int argc, char** argv, PackOptions& options) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      options.inputs.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") return false;
    std::string name = arg, value;
    bool inlineValue = false;
    size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      inlineValue = true;
    }
    if (arg == "--run-unchecked") {
      options.runUnchecked = true;
      continue;
    }
    static const char* const kWithValue[] = {"-o",     "--output", "--dir",  "--run",          "--stub",
                                             "--level", "--jobs",  "--icon", "--version-info", "--elevation"};
    bool known = false;
    for (const char* option : kWithValue) known = known || name == option;
    if (!known) UsageError("unknown option '" + arg + "'");
    if (!inlineValue) {
      if (i + 1 >= argc) UsageError(name + " needs a value");
      value = argv[++i];
    }
    if (name == "-o" || name == "--output") {
      options.output = value;
    } else if (name == "--dir") {
      options.defaultDirectory = value;
    } else if (name == "--run") {
      options.command = value;
    } else if (name == "--stub") {
      options.stubPath = value;
    } else if (name == "--icon") {
      options.iconPath = value;
    } else if (name == "--version-info") {
      options.versionStrings.push_back(ParseVersionString(value));
    } else if (name == "--elevation") {
      options.elevation = ParseElevation(value);
    } else if (name == "--level") {
      options.level = ParseNumber(name, value, 0, kMaxLevel);
    } else {
      options.jobs = ParseNumber(name, value, 1, 1024);
    }
  }
  if (options.output.empty()) UsageError("no output: give -o OUT.exe");
  if (options.inputs.empty()) UsageError("nothing to pack: give at least one file or folder");
  if (options.jobs == 0) {
    unsigned cores = std::thread::hardware_concurrency();
    options.jobs = cores == 0 ? 1 : (int)cores;
  }
  return true;
}

void PrintSummary(const PackTotals& totals, uint64_t bytesOut, const std::string& output) {
  double ratio = totals.bytesIn == 0 ? 0.0 : 100.0 * (double)bytesOut / (double)totals.bytesIn;
  printf("%s: %llu files, %llu folders, %llu bytes in, %llu bytes out (%.1f%%)\n", output.c_str(),
         (unsigned long long)totals.files, (unsigned long long)totals.directories,
         (unsigned long long)totals.bytesIn, (unsigned long long)bytesOut, ratio);
}

// The payload as the follow-up command sees it: member names, and a reader
// of one member's first bytes.
struct Payload {
  std::vector<std::string> names;
  std::function<std::vector<uint8_t>(const std::string& name, uint64_t limit)> read;
};

Payload PayloadOf(const PackOptions& options, bool repack, const std::vector<SourceEntry>& entries) {
  Payload payload;
  if (repack) {
    const std::string zipPath = options.inputs[0];
    payload.names = ZipMemberNames(zipPath);
    payload.read = [zipPath](const std::string& name, uint64_t limit) { return ReadZipMember(zipPath, name, limit); };
    return payload;
  }
  for (const SourceEntry& entry : entries) payload.names.push_back(entry.name);
  payload.read = [&entries](const std::string& name, uint64_t limit) {
    for (const SourceEntry& entry : entries) {
      if (entry.name == name && !entry.isDirectory) return ReadFileHead(entry.sourcePath, limit);
    }
    return std::vector<uint8_t>();
  };
  return payload;
}

// The stub with the publisher's resources and the chosen execution level;
// `note` receives what the summary says about the level.
std::vector<uint8_t> PrepareStub(const PackOptions& options, const Payload& payload, std::string* note) {
  std::vector<uint8_t> stub = LoadStub(options.stubPath);
  std::string problem = pe::StubProblem(stub);
  if (!problem.empty()) throw PackError{"'" + (options.stubPath.empty() ? "built-in stub" : options.stubPath) + "': " + problem};
  FollowUpProgram found = ResolveFollowUpProgram(options.command, payload.names);
  CheckFollowUpProgram(found, options.runUnchecked);
  pe::StubEdits edits;
  std::string programLevel;
  edits.executionLevel = ChooseExecutionLevel(
      options.elevation, found, [&](uint64_t limit) { return payload.read(found.member, limit); }, &programLevel);
  if (options.elevation.empty() && !edits.executionLevel.empty()) {
    *note = "the self-extractor asks for " + edits.executionLevel + ", as " + found.member + "'s manifest does";
  }
  if (!options.iconPath.empty()) {
    edits.icon = ReadFileHead(options.iconPath, kMaxIconFileSize + 1);
    if (edits.icon.empty()) throw PackError{"--icon '" + options.iconPath + "': cannot read it, or it is empty"};
    if (edits.icon.size() > kMaxIconFileSize) throw PackError{"--icon '" + options.iconPath + "': larger than 16 MiB"};
  }
  edits.versionStrings = options.versionStrings;
  bool edited = !edits.icon.empty() || !edits.versionStrings.empty() || !edits.executionLevel.empty();
  return edited ? pe::EditStub(stub, edits) : stub;
}

int Pack(const PackOptions& options) {
  // Everything that can be checked is checked before the output is created.
  std::vector<uint8_t> block = BuildConfigBlock(options.defaultDirectory, options.command);
  CheckOutputNotInput(options.inputs, options.output);
  bool repack = IsZipInput(options.inputs);
  std::vector<SourceEntry> entries;
  if (!repack) entries = GatherInputs(options.inputs);
  std::string levelNote;
  std::vector<uint8_t> stub = PrepareStub(options, PayloadOf(options, repack, entries), &levelNote);

  OutputFile out(options.output);
  out.Write(stub.data(), stub.size());
  out.Write(block.data(), block.size());
  PackTotals totals = repack ? RepackZip(options.inputs[0], out) : WriteMembers(entries, options.level, options.jobs, out);
  uint64_t bytesOut = out.Position();
  out.Commit();
  PrintSummary(totals, bytesOut, options.output);
  if (!levelNote.empty()) printf("%s\n", levelNote.c_str());
  return 0;
}

}  // namespace

}  // namespace pack

int PackCommand(int argc, char** argv) {
  pack::PackOptions options;
  if (!pack::ParseOptions(argc, argv, options)) {
    printf(pack::kUsage, pack::VersionKeyList().c_str(),
           pack::HaveEmbeddedStub() ? " (default: the built-in stub)" : " (required: no stub is built in)",
           pack::kDefaultLevel);
    return 0;
  }
  try {
    return pack::Pack(options);
  } catch (const pack::PackError& error) {
    fprintf(stderr, "zarvel pack: %s\n", error.message.c_str());
    return 1;
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "zarvel pack: out of memory\n");
    return 1;
  } catch (const std::exception& error) {
    fprintf(stderr, "zarvel pack: %s\n", error.what());
    return 1;
  }
}
