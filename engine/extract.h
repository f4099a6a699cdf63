// The extraction engine: target paths, one member to one file, and the
// driver that walks the whole entry list with the shell's callbacks.
#pragma once

#include <stdint.h>

#include "archive/archive.h"
#include "platform/platform.h"

// Per-member state, valid during ExtractEntry.
extern CentralHeader currentHeader;
extern MemberExtent currentExtent;
extern PlatformHandle outputHandle;
extern uint64_t bytesWritten;

// The directory that target paths are formed under; ends in a backslash when set.
const int kDirectoryCapacity = 261;
extern char outputBaseDirectory[kDirectoryCapacity];

void SetOutputBaseDirectory(const char* directory);
// True when the last character (not byte) of the text is a backslash.
bool EndsInSeparator(const char* text);
// False for a name that could write outside the target directory or
// somewhere other than it says (see target_path.cpp for the rules).
bool MemberNameIsSafe(const char* name);
// Fills `buffer` (kNameCapacity bytes) with the member's target path. Returns
// false when the name is refused as unsafe or the path would not fit: the
// member then fails with 19963 before anything is created.
bool BuildTargetPath(const char* name, char* buffer);
// True when a component of the target path below the base directory, or the
// path itself, is a link (see target_path.cpp): the member fails with 19963.
bool PassesThroughLink(const char* targetPath);
void CreateOutputFile(const char* path);
bool FileExists(const char* path);
char* AddTrailingSeparator(char* text);

// The newest format a member may need (the low byte of "version needed",
// 20 for 2.0: stored and deflated data); a member needing more is refused,
// except for 4.5 (ZIP64), which is read.
const uint8_t kHighestVersionNeeded = 20;

// A member is written to a temporary file in its target's directory and
// moved to its name once complete. The names come from a process-wide
// generator, seeded from the platform by the first name while it is zero
// (so the same seed replays the same names).
extern uint32_t temporaryNameState;
const int kTemporaryNameSize = 13;  // "~zv" + five base-32 digits + ".tmp" + NUL
void NextTemporaryName(char* name);

void ExtractEntry(const CentralDirEntry* entry, const char* targetPath);
void CopyStoredData();
// Decodes a member and checks its CRC without writing a file (for testing an
// archive); the outcome is errorCode, as for ExtractEntry.
void TestEntry(const CentralDirEntry* entry);
void SetOutputFileTime(const char* path, uint16_t dosDate, uint16_t dosTime);

void ExtractAll();
