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

#include <thread>

#include "tools/commands.h"
#include "tools/pack_internal.h"

namespace pack {

namespace {

const char kUsage[] =
    "usage: zarvel pack -o OUT.exe [--dir DEFAULT_DIR] [--run COMMAND] [--stub STUB.exe]\n"
    "                   [--level N] [--jobs N] INPUT...\n"
    "\n"
    "Makes a self-extractor OUT.exe: the stub, a configuration block and a ZIP archive.\n"
    "INPUTs are files and folders (folders are packed with everything in them, under\n"
    "their own name), or a single existing .zip whose members are copied unchanged.\n"
    "\n"
    "  -o, --output OUT   the self-extractor to write (replaced only when packing succeeds)\n"
    "  --dir DIR          target folder the self-extractor proposes (at most 256 characters)\n"
    "  --run COMMAND      command started in the target folder after a successful\n"
    "                     extraction, such as setup.exe (at most 256 characters)\n"
    "  --stub STUB.exe    the self-extractor program to use%s\n"
    "  --level N          compression level, 0 (store) to 12 (smallest, default %d)\n"
    "  --jobs N           threads compressing members (default: one per core)\n"
    "  -h, --help         show this help\n";

[[noreturn]] void UsageError(const std::string& message) {
  fprintf(stderr, "zarvel pack: %s\n(see 'zarvel pack --help')\n", message.c_str());
  exit(2);
}

int ParseNumber(const std::string& option, const std::string& text, int low, int high) {
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != 0 || value < low || value > high) {
    UsageError(option + " takes a number from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return (int)value;
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
    static const char* const kWithValue[] = {"-o", "--output", "--dir", "--run", "--stub", "--level", "--jobs"};
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

int Pack(const PackOptions& options) {
  // Everything that can be checked is checked before the output is created.
  std::vector<uint8_t> block = BuildConfigBlock(options.defaultDirectory, options.command);
  std::vector<uint8_t> stub = LoadStub(options.stubPath);
  CheckOutputNotInput(options.inputs, options.output);
  bool repack = IsZipInput(options.inputs);
  std::vector<SourceEntry> entries;
  if (!repack) entries = GatherInputs(options.inputs);

  OutputFile out(options.output);
  out.Write(stub.data(), stub.size());
  out.Write(block.data(), block.size());
  PackTotals totals = repack ? RepackZip(options.inputs[0], out) : WriteMembers(entries, options.level, options.jobs, out);
  uint64_t bytesOut = out.Position();
  out.Commit();
  PrintSummary(totals, bytesOut, options.output);
  return 0;
}

}  // namespace

}  // namespace pack

int PackCommand(int argc, char** argv) {
  pack::PackOptions options;
  if (!pack::ParseOptions(argc, argv, options)) {
    printf(pack::kUsage,
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
  }
}
