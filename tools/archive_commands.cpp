// zarvel list, test, extract and info: the archive side of the tool, on the
// same engine and platform layer as the stub, so what they report is what the
// stub will do with the file. Messages name the member and the reason (the
// status code and its meaning); the exit status is 0 only when everything
// succeeded.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "archive/archive.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "tools/commands.h"
#include "tools/pack_internal.h"

namespace {

const int kExitFailure = 1;
const int kExitUsage = 2;

// The core takes paths with backslash separators, but on Linux a backslash
// is a byte of a name like any other: FILE and DIR never reach the core as
// typed. The tool opens FILE itself and names the open file to the core
// (/dev/fd/N holds no backslash); it stays open for the command's life, as
// the core opens it again for the configuration block.
std::string OpenedFilePath(const char* file) {
  int fd = open(file, O_RDONLY | O_CLOEXEC);
  return fd < 0 ? std::string() : "/dev/fd/" + std::to_string(fd);
}

// Makes DIR and its missing parents, taken literally, and works inside it,
// so the core's target paths are relative to it.
bool EnterDirectory(const char* directory) {
  std::string path(directory);
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0777);
  }
  mkdir(directory, 0777);
  if (chdir(directory) == 0) return true;
  fprintf(stderr, "zarvel: %s: %s\n", directory, strerror(errno));
  return false;
}

bool WantsHelp(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

// For the commands that take one FILE: true when that is what was given;
// otherwise prints the usage (to stdout when asked for, to stderr after a
// mistake) and leaves the exit status in `status`.
bool TakesOneFile(int argc, char** argv, const char* usage, int* status) {
  bool asked = WantsHelp(argc, argv);
  if (!asked && argc == 2) return true;
  fputs(usage, asked ? stdout : stderr);
  *status = asked ? 0 : kExitUsage;
  return false;
}

void ReportStatus(const char* subject, uint16_t code) {
  fprintf(stderr, "zarvel: %s: error %u (%s)\n", subject, code, StatusMeaning(code));
}

// Opens the archive and reads its directory; false (with a message) on failure.
bool OpenAndRead(const char* file, EntryList* list) {
  InitEntryList(list);
  std::string path = OpenedFilePath(file);
  if (path.empty()) {
    errorCode = kStatusFileError;
  } else {
    ArchiveOpen(path.c_str());
  }
  if (errorCode == kStatusOk) ReadCentralDirectory(list);
  if (errorCode != kStatusOk) {
    ReportStatus(file, errorCode);
    FreeEntryList(list);
    ArchiveClose();
    return false;
  }
  return true;
}

bool IsDirectoryEntry(const CentralDirEntry* e) {
  size_t n = strlen(e->name);
  return n > 0 && (e->name[n - 1] == '/' || e->name[n - 1] == '\\');
}

// Text from an archive as it may be shown on a terminal (names, the
// configuration block): control characters become '?'.
std::string Printable(const char* text) {
  std::string shown(text);
  for (char& c : shown) {
    if ((unsigned char)c < 0x20 || c == 0x7F) c = '?';
  }
  return shown;
}

std::string DisplayName(const CentralDirEntry* e) {
  return e->nameUnusable ? "(name not representable here)" : Printable(e->name);
}

const char* MethodName(uint16_t method) {
  switch (method) {
    case kMethodStored: return "Stored";
    case kMethodDeflated: return "Deflate";
    default: return "Other";
  }
}

void FormatDosTime(uint16_t date, uint16_t time, char* out, size_t size) {
  snprintf(out, size, "%04u-%02u-%02u %02u:%02u:%02u", 1980u + (date >> 9), (date >> 5) & 0x0Fu,
           date & 0x1Fu, time >> 11, (time >> 5) & 0x3Fu, (time & 0x1Fu) * 2);
}

// Progress on stderr while a long member is written, when stderr is a terminal.
struct ProgressLine {
  bool enabled = false;
  const char* name = "";
  time_t lastShown = 0;
  bool shown = false;
};
ProgressLine progress;

bool ShowProgress(uint64_t written, uint64_t total) {
  time_t now = time(nullptr);
  if (progress.enabled && total > 0 && now != progress.lastShown) {
    progress.lastShown = now;
    progress.shown = true;
    fprintf(stderr, "\r%-60.60s %5.1f%%", progress.name, 100.0 * (double)written / (double)total);
  }
  return true;
}

void ClearProgress() {
  if (progress.shown) fprintf(stderr, "\r%-68s\r", "");
  progress.shown = false;
}

// Names a Unix tool stored in UTF-8 without the UTF-8 flag: every Windows
// reader, the stub among them, shows them as CP437. The engine reads names
// as the stub does, so the tool reads the raw records for this itself.
void WarnAboutUnflaggedUtf8(const char* file) {
  std::vector<pack::ArchivedName> names;
  try {
    names = pack::ReadArchivedNames(file);
  } catch (const pack::PackError&) {
    return;  // what the engine reads is all that matters to list and test
  }
  for (const pack::ArchivedName& name : names) {
    if (!name.restore) continue;
    std::string meant = Printable(name.name.c_str());
    const char* what = name.stored == name.name
                           ? "looks like UTF-8 without the UTF-8 flag"
                           : "is named by its Unicode path field but stored without the UTF-8 flag";
    fprintf(stderr,
            "zarvel: warning: '%s' %s: Windows tools and the self-extractor read it as code page 437, "
            "'%s' (repacking with zarvel pack fixes this)\n",
            meant.c_str(), what, Printable(pack::Cp437Text(name.stored).c_str()).c_str());
  }
}

}  // namespace

int ListCommand(int argc, char** argv) {
  int status;
  if (!TakesOneFile(argc, argv,
                   "usage: zarvel list FILE\n\nLists the members of a self-extractor or a ZIP archive:\n"
                   "size, compressed size, method, date and time, CRC-32 and name.\n",
                   &status)) {
    return status;
  }
  EntryList list;
  if (!OpenAndRead(argv[1], &list)) return kExitFailure;
  WarnAboutUnflaggedUtf8(argv[1]);
  printf("%10s %10s %-7s %-19s %-8s  %s\n", "Length", "Size", "Method", "Date       Time", "CRC-32",
         "Name");
  uint64_t totalLength = 0, totalSize = 0;
  for (CentralDirEntry* e = list.head; e != nullptr; e = e->next) {
    char when[32];
    FormatDosTime(CentralField16(e->header, kCentralDate), CentralField16(e->header, kCentralTime),
                  when, sizeof when);
    MemberExtent extent = EntryExtent(e);
    uint64_t length = extent.uncompressedSize, size = extent.compressedSize;
    printf("%10llu %10llu %-7s %-19s %08x  %s\n", (unsigned long long)length, (unsigned long long)size,
           MethodName(CentralField16(e->header, kCentralMethod)), when,
           CentralField32(e->header, kCentralCrc), DisplayName(e).c_str());
    totalLength += length;
    totalSize += size;
  }
  printf("%10llu %10llu %u members\n", (unsigned long long)totalLength,
         (unsigned long long)totalSize, list.count);
  FreeEntryList(&list);
  ArchiveClose();
  return 0;
}

int TestCommand(int argc, char** argv) {
  int status;
  if (!TakesOneFile(argc, argv,
                   "usage: zarvel test FILE\n\nDecodes every member and checks its CRC-32, writing "
                   "nothing.\nAlso reports members the self-extractor would refuse to write.\n",
                   &status)) {
    return status;
  }
  EntryList list;
  if (!OpenAndRead(argv[1], &list)) return kExitFailure;
  WarnAboutUnflaggedUtf8(argv[1]);
  progress.enabled = isatty(2);
  unsigned members = 0, failed = 0;  // a member fails once, whatever it fails of
  for (CentralDirEntry* e = list.head; e != nullptr; e = e->next) {
    if (IsDirectoryEntry(e)) continue;
    members++;
    if (e->nameUnusable || !MemberNameIsSafe(e->name)) {
      ClearProgress();
      fprintf(stderr, "zarvel: %s: error %u (unsafe or unrepresentable name)\n", DisplayName(e).c_str(),
              kStatusCannotCreate);
      failed++;
      continue;
    }
    progress.name = e->name;
    SetProgressCallback(ShowProgress);
    TestEntry(e);
    SetProgressCallback(nullptr);
    if (errorCode != kStatusOk) {
      ClearProgress();
      ReportStatus(Printable(e->name).c_str(), errorCode);
      failed++;
    }
  }
  ClearProgress();
  FreeEntryList(&list);
  ArchiveClose();
  if (failed > 0) {
    fprintf(stderr, "zarvel: %s: %u of %u members failed\n", argv[1], failed, members);
    return kExitFailure;
  }
  printf("%s: %u members OK\n", argv[1], members);
  return 0;
}

namespace {

enum ExistingPolicy { kRefuseExisting, kOverwriteExisting, kSkipExisting };

struct ExtractRun {
  ExistingPolicy existing = kRefuseExisting;
  unsigned extracted = 0;
  unsigned skipped = 0;
  unsigned failed = 0;
  mode_t umask = 0;  // the process's, read once
};
ExtractRun run;

int32_t BeforeExtract(const CentralHeader* header, const char* targetPath) {
  const char* name = EntryNameOf(header);
  if (FileExists(targetPath)) {
    if (run.existing == kSkipExisting) {
      run.skipped++;
      return kAnswerSkip;
    }
    if (run.existing == kRefuseExisting) {
      ClearProgress();
      fprintf(stderr, "zarvel: %s: exists, not replaced (use --overwrite or --skip-existing)\n",
              Printable(name).c_str());
      run.failed++;
      return kAnswerSkip;
    }
  }
  progress.name = name;
  return kAnswerExtract;
}

// A member made on a Unix host records its mode in the high half of the
// external attributes. A regular file gets its permission bits, but never
// set-user-ID, set-group-ID or sticky (as other tools drop them), and within the
// umask, as any file the tool makes. Other members keep what the file was
// made with (0666 less the umask).
const uint8_t kUnixHost = 3;
const uint32_t kPermissionBits = 0777;
const uint32_t kFileTypeBits = 0170000;
const uint32_t kRegularFile = 0100000;

void ApplyRecordedMode(const CentralHeader* header, const char* targetPath) {
  uint32_t mode = CentralField32(*header, kCentralExternalAttributes) >> 16;
  uint32_t type = mode & kFileTypeBits;
  if (CentralField16(*header, kCentralVersionMadeBy) >> 8 != kUnixHost || (type != 0 && type != kRegularFile)) return;
  PlatformSetPermissions(targetPath, mode & kPermissionBits & ~run.umask);
}

bool AfterExtract(const CentralHeader* header, const char* targetPath, uint16_t outcome) {
  if (outcome == kStatusOk) {
    ApplyRecordedMode(header, targetPath);
    run.extracted++;
  } else {
    ClearProgress();
    ReportStatus(Printable(EntryNameOf(header)).c_str(), outcome);
    run.failed++;
  }
  return true;
}

// Directory entries make no file, but a folder that is empty in the archive
// should still appear, as other tools make it; never through a link, by the
// engine's rule for files.
void CreateDirectoryEntries(const EntryList* list) {
  for (const CentralDirEntry* e = list->head; e != nullptr; e = e->next) {
    char path[kNameCapacity];
    if (!IsDirectoryEntry(e) || e->nameUnusable || !BuildTargetPath(e->name, path)) continue;
    if (PassesThroughLink(path)) {
      ReportStatus(DisplayName(e).c_str(), kStatusCannotCreate);
      run.failed++;
      continue;
    }
    for (char* p = path; *p; p++) {
      if (*p != '\\' || p == path) continue;
      *p = 0;
      if (!FileExists(path)) PlatformMakeDirectory(path);
      *p = '\\';
    }
  }
}

}  // namespace

int ExtractCommand(int argc, char** argv) {
  const char* file = nullptr;
  const char* directory = ".";
  int policies = 0;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "-d") == 0 && i + 1 < argc) {
      directory = argv[++i];
    } else if (strcmp(argv[i], "--overwrite") == 0) {
      run.existing = kOverwriteExisting;
      policies++;
    } else if (strcmp(argv[i], "--skip-existing") == 0) {
      run.existing = kSkipExisting;
      policies++;
    } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      file = nullptr;
      policies = -1;
      break;
    } else if (argv[i][0] != '-' && file == nullptr) {
      file = argv[i];
    } else {
      fprintf(stderr, "zarvel extract: unexpected argument '%s'\n", argv[i]);
      return kExitUsage;
    }
  }
  if (file == nullptr || policies > 1) {
    fprintf(policies < 0 ? stdout : stderr,
            "usage: zarvel extract FILE [-d DIR] [--overwrite | --skip-existing]\n\n"
            "Extracts every member into DIR (default: the current directory), creating\n"
            "folders as needed and setting the recorded modification times. An existing\n"
            "file is not replaced unless --overwrite is given; --skip-existing leaves it\n"
            "and goes on quietly.\n");
    return policies < 0 ? 0 : kExitUsage;
  }
  EntryList list;
  if (!OpenAndRead(file, &list)) return kExitFailure;
  if (!EnterDirectory(directory)) {
    FreeEntryList(&list);
    ArchiveClose();
    return kExitFailure;
  }
  // The engine reads the directory again for its run; this copy only serves
  // the folders that hold no file. Target paths are relative to DIR.
  SetOutputBaseDirectory("");
  run.umask = umask(0);
  umask(run.umask);
  CreateDirectoryEntries(&list);
  FreeEntryList(&list);
  progress.enabled = isatty(2);
  SetBeforeEntryCallback(BeforeExtract);
  SetProgressCallback(ShowProgress);
  SetAfterEntryCallback(AfterExtract);
  ExtractAll();
  ClearProgress();
  uint16_t status = errorCode;
  ArchiveClose();
  if (status != kStatusOk) {
    ReportStatus(file, status);
    return kExitFailure;
  }
  printf("%s: %u extracted, %u skipped, %u failed\n", file, run.extracted, run.skipped, run.failed);
  return run.failed > 0 ? kExitFailure : 0;
}

int InfoCommand(int argc, char** argv) {
  int status;
  if (!TakesOneFile(argc, argv,
                   "usage: zarvel info FILE\n\nShows the configuration block (default directory and\n"
                   "follow-up command) and a summary of the archive.\n",
                   &status)) {
    return status;
  }
  EntryList list;
  if (!OpenAndRead(argv[1], &list)) return kExitFailure;
  uint64_t totalLength = 0, totalSize = 0;
  unsigned files = 0, folders = 0;
  for (CentralDirEntry* e = list.head; e != nullptr; e = e->next) {
    if (IsDirectoryEntry(e)) {
      folders++;
    } else {
      files++;
    }
    MemberExtent extent = EntryExtent(e);
    totalLength += extent.uncompressedSize;
    totalSize += extent.compressedSize;
  }
  bool hasBlock = firstMemberOffset >= (uint64_t)kConfigBlockSize;
  printf("file:               %s\n", argv[1]);
  if (hasBlock) {
    printf("program image:      %llu bytes\n", (unsigned long long)(firstMemberOffset - kConfigBlockSize));
    printf("default directory:  %s\n", defaultDirectory[0] ? Printable(defaultDirectory).c_str() : "(none)");
    printf("follow-up command:  %s\n", command[0] ? Printable(command).c_str() : "(none)");
    pack::DescribeFollowUpProgram(argv[1], command, firstMemberOffset - kConfigBlockSize);
  } else {
    printf("configuration:      none (a plain ZIP archive)\n");
  }
  printf("members:            %u files, %u folders\n", files, folders);
  printf("size:               %llu bytes, %llu compressed\n", (unsigned long long)totalLength,
         (unsigned long long)totalSize);
  printf("central directory:  at %lld%s\n", (long long)centralDirectoryPos,
         zip64RecordPos != kNoZip64Record ? " (ZIP64)" : "");
  printf("archive comment:    %u bytes\n", ReadLe16(endRecord.bytes + kEndCommentLength));
  FreeEntryList(&list);
  ArchiveClose();
  return 0;
}
