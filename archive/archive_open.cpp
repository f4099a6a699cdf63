// Opening the self-extractor as an archive, and its configuration block.
//
// The block has no signature and no length: it is the 514 bytes that end
// where the first member's local header begins, and the first member is the
// one the first central-directory record names (not the one that physically
// follows). Nothing in the executable's own headers is consulted, so the
// stub can be any program and the block may stand anywhere before the data.
#include <string.h>

#include "archive/archive.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "platform/start_value.h"

PlatformHandle archiveHandle ZARVEL_STARTS_AS(kNoHandle);
int64_t endRecordPos ZARVEL_STARTS_AS(kEndRecordUnknown);
EndRecord endRecord;
char archivePath[kArchivePathCapacity];
uint64_t firstMemberOffset = 0;
char defaultDirectory[kConfigFieldSize];
char command[kConfigFieldSize];

void ArchiveClose() {
  if (archiveHandle == kNoHandle) return;
  PlatformClose(archiveHandle);
  archiveHandle = kNoHandle;
}

uint64_t FindFirstMemberOffset() {
  FindEndRecord();
  if (errorCode != kStatusOk) return 0;
  errorCode = ReadEndRecordAndSeekDirectory();
  if (errorCode != kStatusOk) {
    ArchiveClose();
    return 0;
  }
  uint32_t signature;
  if (ReadSignature(&signature) != kStatusOk) {
    errorCode = kStatusFileError;
    return 0;
  }
  // A wrong signature leaves the strings empty; the directory walk of the
  // run reports the damage.
  if (signature != kCentralHeaderSignature) return 0;
  CentralHeader header;
  char name[kNameCapacity];
  char* comment;
  MemberExtent extent;
  errorCode = ReadCentralHeader(&header, name, &comment, nullptr, &extent);
  if (errorCode != kStatusOk) return 0;
  firstMemberOffset = extent.localHeaderOffset;
  return firstMemberOffset;
}

void ReadConfig() {
  uint64_t offset = FindFirstMemberOffset();
  // Below the block's size there is no room for it: the strings stay empty.
  if (offset < (uint64_t)kConfigBlockSize) return;
  PlatformStream* stream = PlatformStreamOpen(archivePath);
  if (stream == nullptr) return;
  if (PlatformStreamSeek(stream, (int64_t)offset - kConfigBlockSize)) {
    const int last = kConfigFieldSize - 1;  // byte 256 is always read as NUL
    if (PlatformStreamRead(stream, defaultDirectory, kConfigFieldSize) == (uint32_t)kConfigFieldSize) {
      defaultDirectory[last] = 0;
      PlatformStreamRead(stream, command, kConfigFieldSize);
      command[last] = 0;
    }
  }
  PlatformStreamClose(stream);
}

void ArchiveOpen(const char* path) {
  SetBeforeEntryCallback(nullptr);
  SetProgressCallback(nullptr);
  SetAfterEntryCallback(nullptr);
  outputBaseDirectory[0] = 0;
  memset(defaultDirectory, 0, sizeof defaultDirectory);
  memset(command, 0, sizeof command);
  ArchiveClose();  // one archive at a time: never leak an earlier handle
  // The path is held whole or not at all: a cut path would name another file.
  if (strlen(path) >= sizeof archivePath) {
    errorCode = kStatusFileError;
    return;
  }
  archiveHandle = PlatformOpenRead(path);
  if (archiveHandle == kNoHandle) {
    errorCode = kStatusFileError;
    return;
  }
  errorCode = kStatusOk;
  endRecordPos = kEndRecordUnknown;
  archiveLength = PlatformFileLength(archiveHandle);
  FindEndRecord();
  if (errorCode != kStatusOk) {
    ArchiveClose();
    return;
  }
  strcpy(archivePath, path);
  ReadConfig();
}
