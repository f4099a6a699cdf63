// Archive access: the configuration block, the end record, the central
// directory with its entry list, and the low-level input on the one open
// archive handle (the self-extractor's own file).
//
// All state is process-wide, as one archive is open at a time; every failure
// is reported through errorCode (engine/status.h). Offsets in the ZIP records
// are absolute positions in the file, since the archive is appended to an
// executable and read in place.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/zip_format.h"
#include "engine/based.h"
#include "platform/platform.h"

// The appended configuration block: two NUL-padded texts of 257 bytes. It
// ends exactly where the first member's local header begins.
const int kConfigFieldSize = 257;
const int kConfigBlockSize = 2 * kConfigFieldSize;  // 514
struct SfxConfig {
  char defaultDirectory[kConfigFieldSize];
  char command[kConfigFieldSize];
};

// Member names and target paths hold at most 255 characters.
const int kNameCapacity = 256;
// The archive path is held whole; a longer one is refused with 5.
const int kArchivePathCapacity = 1024;
// The input buffer of one member's compressed data.
const int kInputBufferSize = 4096;

// Archive state.
extern PlatformHandle archiveHandle;  // kNoHandle when closed
extern int64_t endRecordPos;          // just past the end-record signature
const int64_t kEndRecordUnknown = -1;  // endRecordPos before the end record is found
extern EndRecord endRecord;
extern char archivePath[kArchivePathCapacity];
extern uint64_t firstMemberOffset;
extern char defaultDirectory[kConfigFieldSize];
extern char command[kConfigFieldSize];
// Where the central directory begins; in a ZIP64 archive, where its ZIP64
// end record stands (the directory ends there) and the entries it counts.
extern int64_t centralDirectoryPos;
extern int64_t zip64RecordPos;  // kNoZip64Record in an archive without one
const int64_t kNoZip64Record = -1;
extern uint64_t zip64EntryCount;

// A member's sizes and local-header offset at full width, in the order of
// the ZIP64 extra field.
struct MemberExtent {
  uint64_t uncompressedSize;
  uint64_t compressedSize;
  uint64_t localHeaderOffset;
};
static_assert(sizeof(MemberExtent) == 3 * sizeof(uint64_t), "the three values are read as one array");

// One central-directory record in memory.
struct CentralDirEntry {
  CentralDirEntry* next;
  CentralHeader header;
  char name[kNameCapacity];  // converted to the ANSI code page, at most 255 characters
  char* comment;             // always null: entry comments are skipped
  CentralDirEntry* byOffset;  // the next entry by local-header offset, once the ranges are checked
  uint8_t selected;          // 1 = extract this entry
  uint8_t nameUnusable;      // 1 = the name cannot be represented; the engine refuses it
  uint8_t wide;              // 1 = a MemberExtent from ZIP64 values follows the entry
};
// Only an entry with ZIP64 values is allocated with its extent behind it (as
// bytes: the entry's size need not be a multiple of the extent's alignment),
// so an archive without them costs no more memory per entry.
MemberExtent EntryExtent(const CentralDirEntry* entry);

// The converted name of the entry whose header this is: in an entry the name
// directly follows the header, which is how the callbacks find it.
inline const char* EntryNameOf(const CentralHeader* header) {
  return (const char*)header + sizeof(CentralHeader);
}
static_assert(offsetof(CentralDirEntry, name) == offsetof(CentralDirEntry, header) + sizeof(CentralHeader),
              "an entry's name follows its header");

struct EntryList {
  CentralDirEntry* head;
  CentralDirEntry* tail;
  uint32_t count;  // wide enough: each entry takes hundreds of bytes of memory
};

// Opening and configuration.
void ArchiveOpen(const char* path);
void ArchiveClose();
void ReadConfig();
uint64_t FindFirstMemberOffset();

// End record and central directory.
uint16_t FindBytes(const uint8_t* haystack, uint16_t haystackLength, const uint8_t* pattern,
                   uint16_t patternLength);
void FindEndRecord();
uint16_t ReadEndRecord(EndRecord* record, uint8_t** comment);
uint16_t ReadArchiveComment(uint8_t** comment, uint16_t length);
// From the end record in endRecord: finds the central directory, through the
// ZIP64 locator and end record where there are (9964 when they are damaged).
uint16_t LocateCentralDirectory();
uint16_t SeekCentralDirectory();
// After FindEndRecord: reads the end record into endRecord (its comment is
// dropped) and seeks to the central directory it names.
uint16_t ReadEndRecordAndSeekDirectory();
// Reads one record after its signature, and the member's extent (the ZIP64
// values of its extra field where its fields are saturated; 9964 when they
// are missing). `nameUnusable` (may be null) is set when the name cannot be
// represented in the ANSI code page.
uint16_t ReadCentralHeader(CentralHeader* header, char* name, char** comment, bool* nameUnusable,
                           MemberExtent* extent);
bool AppendEntry(EntryList* list, const CentralHeader* header, char* comment, const char* name,
                 const MemberExtent* extent);
void ReadCentralDirectory(EntryList* list);
void InitEntryList(EntryList* list);
void FreeEntryList(EntryList* list);

// The compressed data of the member being extracted.
struct CompressedInputState {
  uint8_t* buffer;     // kInputBufferSize bytes, owned by the entry extraction
  int32_t fill;        // valid bytes in the buffer after the last read
  int32_t nextPos;     // 1-based index of the next byte; above fill = used up
  uint64_t remaining;  // compressed bytes of the member not yet read
};
extern CompressedInputState CompressedInput;

// Length of the open archive, taken when it is opened.
extern int64_t archiveLength;

const int kEndOfData = -1;

// Low-level input.
uint16_t SkipBytes(int32_t delta);
uint16_t ReadSignature(uint32_t* signature);
// Reads exactly `count` bytes from the archive: 0, or 5 when the read fails or
// the file ends first.
uint16_t ReadArchiveBytes(void* buffer, uint32_t count);
// `flags` are the record's general purpose flags: bit 11 means UTF-8.
uint16_t ReadEntryName(uint16_t length, char* name, uint8_t limit, uint16_t flags,
                       bool* nameUnusable);
uint16_t ReadLocalHeader(LocalFileHeader* header, char* name);
// Prepares CompressedInput for a member's data.
void ResetCompressedInput(uint8_t* buffer, uint64_t compressedSize);
// Refills the buffer from the archive; returns the bytes now available (0 at
// the end of the member's data or after a failed read, which sets errorCode 5).
int32_t RefillCompressedInput();
// The next compressed byte, 0..255, or kEndOfData once the data is used up.
inline int FetchByte() {
  CompressedInputState* in = Based(&CompressedInput);
  if (in->fill >= in->nextPos) return in->buffer[in->nextPos++ - 1];
  if (RefillCompressedInput() <= 0) return kEndOfData;
  in->nextPos = 2;
  return in->buffer[0];
}
