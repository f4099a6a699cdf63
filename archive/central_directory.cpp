// The end of central directory record and the central directory itself.
//
// The end record is found by scanning backwards from the end of the file: a
// 64-byte window first (an archive without a comment is found with one read),
// then 60-byte steps that carry the first four bytes of the previous read, so
// a signature straddling two reads is still seen. The scan reaches back as far
// as a real archive can need: the end record, a comment of 65,535 bytes, and
// an Authenticode signature appended after the archive when the self-extractor
// is signed after packing (a three-certificate chain with a timestamp takes
// about 11 KB, a dual signature about 23 KB; 256 KiB leaves room for ten such).
// A truncated or foreign file then fails at once, not after reading itself
// back to its start.
//
// The end record's signature never stands in the program as a constant: a
// file with nothing appended is the stub's own image, and the scan would find
// it there and read its code as an end record.
//
// The directory walk starts at the recorded offset (absolute in the file) and
// stops only at an end-record signature; the counts in the end record are
// never trusted.
//
// ZIP64: a locator directly before the end record names the ZIP64 end record,
// which holds the central directory's offset, size and entry count at full
// width. The walk then must end exactly at that record, after as many entries
// as it counts, and a field of the end record that is not saturated must say
// the same as the ZIP64 record. A member's saturated sizes and offset come
// from its ZIP64 extra field, in the application note's order. Anything
// missing or contradicting is damage: a value is never guessed.
//
// Every member's record must lie before the central directory and apart from
// every other: records that share data would let a small archive decode
// without bound (many records naming one long stream). The entries are
// chained a second time, through byOffset, and that chain is merge-sorted by
// local-header offset in place, so the check costs no memory and stays fast
// for tens of thousands of entries while the list keeps its own order.
#include <stdlib.h>
#include <string.h>

#include "archive/archive.h"
#include "engine/based.h"
#include "engine/status.h"
#include "platform/start_value.h"

namespace {

const uint16_t kNotFound = 0xFFFF;
const int kFirstWindow = 64;
const int kStep = 60;
const int kCarry = 4;
const int64_t kMaxCommentLength = 0xFFFF;
const int64_t kSignatureAllowance = 256 * 1024;
const int64_t kScanReach = kSignatureSize + kEndRecordSize + kMaxCommentLength + kSignatureAllowance;

uint32_t EndRecordSignature() {
  return Opaque(kCentralHeaderSignature) + (kEndRecordSignature - kCentralHeaderSignature);
}

// Reads exactly `count` bytes at `pos`; the scan's reads must deliver what
// the file holds there.
bool ReadAt(int64_t pos, uint8_t* buffer, uint32_t count) {
  if (PlatformSeek(archiveHandle, pos, kSeekSet) < 0) return false;
  return PlatformRead(archiveHandle, buffer, count) == (int32_t)count;
}

uint64_t LocalOffsetOf(const CentralDirEntry* entry) { return EntryExtent(entry).localHeaderOffset; }

// Where a member's record ends at the least: its local header with the name
// and the compressed data. The extra field is left out, since the local one
// may be shorter than the central one; data descriptors follow the data.
// Saturating: a ZIP64 size near 2^64 cannot wrap round to a small end.
uint64_t MinimalRecordEnd(const CentralDirEntry* entry) {
  MemberExtent extent = EntryExtent(entry);
  uint64_t end = extent.localHeaderOffset + kSignatureSize + kLocalHeaderSize +
                 CentralField16(entry->header, kCentralNameLength);
  return end + extent.compressedSize < end ? UINT64_MAX : end + extent.compressedSize;
}

// Sorts the chain that starts at `head` and runs through byOffset by local
// offset: merges of neighbouring runs, the runs doubling each pass.
CentralDirEntry* SortByOffset(CentralDirEntry* head) {
  for (uint32_t run = 1;; run *= 2) {
    CentralDirEntry* left = head;
    CentralDirEntry** link = &head;
    uint32_t merges = 0;
    while (left != nullptr) {
      merges++;
      CentralDirEntry* right = left;
      uint32_t leftCount = 0;
      while (right != nullptr && leftCount < run) {
        right = right->byOffset;
        leftCount++;
      }
      uint32_t rightCount = run;
      while (leftCount > 0 || (rightCount > 0 && right != nullptr)) {
        CentralDirEntry* taken;
        if (leftCount == 0 || (rightCount > 0 && right != nullptr && LocalOffsetOf(right) < LocalOffsetOf(left))) {
          taken = right;
          right = right->byOffset;
          rightCount--;
        } else {
          taken = left;
          left = left->byOffset;
          leftCount--;
        }
        *link = taken;
        link = &taken->byOffset;
      }
      left = right;
    }
    *link = nullptr;
    if (merges <= 1) return head;
  }
}

bool MemberRecordsApart(const EntryList* list) {
  for (CentralDirEntry* entry = list->head; entry != nullptr; entry = entry->next) entry->byOffset = entry->next;
  uint64_t end = 0;  // of the previous record in the file
  for (CentralDirEntry* entry = SortByOffset(list->head); entry != nullptr; entry = entry->byOffset) {
    // A record starts before the directory, so its header's end cannot wrap.
    uint64_t offset = LocalOffsetOf(entry);
    if (offset < end || offset >= (uint64_t)centralDirectoryPos) return false;
    end = MinimalRecordEnd(entry);
  }
  return end <= (uint64_t)centralDirectoryPos;
}

// The end record's fields that the ZIP64 end record repeats at full width.
// A field that is not saturated must say the same (compared in the end
// record's width: the 16-bit counts as 32-bit reads masked to 16 bits).
struct RepeatedField {
  uint8_t endOffset, zip64Offset;
  uint32_t saturated;
};
const RepeatedField kRepeatedFields[] = {{kEndCentralOffset, kZip64EndCentralOffset, kSaturated32},
                                         {kEndCentralSize, kZip64EndCentralSize, kSaturated32},
                                         {kEndEntriesTotal, kZip64EndEntriesTotal, kSaturated16},
                                         {kEndEntriesOnDisk, kZip64EndEntriesOnDisk, kSaturated16}};

// Reads the ZIP64 end record that the locator names; 9964 when it is not
// there or contradicts the end record.
uint16_t ReadZip64EndRecord(const uint8_t* locator, int64_t locatorPos) {
  uint64_t recordPos = ReadLe64(locator + kLocatorRecordOffset);
  uint8_t record[kSignatureSize + kZip64EndSize];
  // One disk only (some writers count none), and the record wholly before
  // the locator.
  if (ReadLe32(locator + kLocatorDiskCount) > 1 || (uint64_t)locatorPos < sizeof record ||
      recordPos > (uint64_t)locatorPos - sizeof record) {
    return kStatusDamaged;
  }
  if (!ReadAt((int64_t)recordPos, record, sizeof record)) return kStatusFileError;
  const uint8_t* fields = record + kSignatureSize;
  for (const RepeatedField& field : kRepeatedFields) {
    uint32_t value = ReadLe32(endRecord.bytes + field.endOffset) & field.saturated;
    if (value != field.saturated && value != ReadLe64(fields + field.zip64Offset)) return kStatusDamaged;
  }
  uint64_t start = ReadLe64(fields + kZip64EndCentralOffset);
  zip64EntryCount = ReadLe64(fields + kZip64EndEntriesTotal);
  // The directory fills the space up to the record.
  if (ReadLe32(record) != kZip64EndRecordSignature || start > recordPos ||
      ReadLe64(fields + kZip64EndCentralSize) != recordPos - start) {
    return kStatusDamaged;
  }
  centralDirectoryPos = (int64_t)start;
  zip64RecordPos = (int64_t)recordPos;
  return kStatusOk;
}

// The record's sizes and offset as far as its 32-bit fields tell them;
// returns how many are saturated.
unsigned LoadExtent(const CentralHeader& header, MemberExtent* extent) {
  static const uint8_t kFields[kWideFieldCount] = {kCentralUncompressedSize, kCentralCompressedSize,
                                                   kCentralLocalHeaderOffset};
  unsigned saturated = 0;
  for (int i = 0; i < kWideFieldCount; i++) {
    uint32_t value = CentralField32(header, kFields[i]);
    (&extent->uncompressedSize)[i] = value;
    saturated += value == kSaturated32;
  }
  return saturated;
}

// Reads the ZIP64 values of the saturated fields of `extent` (which holds
// the record's 32-bit fields) from the extra field, the handle at its start,
// and leaves the handle after it. `remaining` is the extra field's length; a
// block must fit in it.
uint16_t ReadWideFields(uint32_t remaining, MemberExtent* extent) {
  uint64_t* values = &extent->uncompressedSize;
  bool found = false;
  while (remaining >= (uint32_t)kExtraHeaderSize) {
    uint8_t block[kExtraHeaderSize + kWideFieldCount * 8];
    if (ReadArchiveBytes(block, kExtraHeaderSize) != kStatusOk) return kStatusFileError;
    uint32_t length = ReadLe16(block + 2);
    remaining -= kExtraHeaderSize;
    if (length > remaining) return kStatusDamaged;
    remaining -= length;
    if (ReadLe16(block) == kZip64ExtraId && !found) {
      found = true;
      uint8_t* value = block;
      uint32_t used = 0;
      for (int i = 0; i < kWideFieldCount; i++) {
        if (values[i] != kSaturated32) continue;
        if (length - used < 8) return kStatusDamaged;
        if (ReadArchiveBytes(value, 8) != kStatusOk) return kStatusFileError;
        values[i] = ReadLe64(value);
        used += 8;
      }
      length -= used;
    }
    if (SkipBytes((int32_t)length) != kStatusOk) return kStatusFileError;
  }
  if (!found) return kStatusDamaged;
  return SkipBytes((int32_t)remaining);
}

}  // namespace

int64_t centralDirectoryPos = 0;
int64_t zip64RecordPos ZARVEL_STARTS_AS(kNoZip64Record);
uint64_t zip64EntryCount = 0;

MemberExtent EntryExtent(const CentralDirEntry* entry) {
  MemberExtent extent;
  if (entry->wide) {
    memcpy(&extent, entry + 1, sizeof extent);
  } else {
    LoadExtent(entry->header, &extent);
  }
  return extent;
}

uint16_t LocateCentralDirectory() {
  uint32_t offset = ReadLe32(endRecord.bytes + kEndCentralOffset);
  centralDirectoryPos = offset;
  zip64RecordPos = kNoZip64Record;
  uint8_t locator[kSignatureSize + kZip64LocatorSize];
  int64_t locatorPos = endRecordPos - kSignatureSize - (int64_t)sizeof locator;
  if (locatorPos >= 0) {
    if (!ReadAt(locatorPos, locator, sizeof locator)) return kStatusFileError;
    if (ReadLe32(locator) == kZip64LocatorSignature) return ReadZip64EndRecord(locator + kSignatureSize, locatorPos);
  }
  return offset == kSaturated32 ? kStatusDamaged : kStatusOk;
}

uint16_t FindBytes(const uint8_t* haystack, uint16_t haystackLength, const uint8_t* pattern,
                   uint16_t patternLength) {
  if (haystack == nullptr || pattern == nullptr || haystackLength == 0 || patternLength == 0) {
    return kNotFound;
  }
  if (haystackLength < patternLength) return kNotFound;
  for (uint32_t i = 0; i + patternLength <= haystackLength; i++) {
    uint16_t same = 0;
    while (same < patternLength && haystack[i + same] == pattern[same]) same++;
    if (same == patternLength) return (uint16_t)i;
  }
  return kNotFound;
}

void FindEndRecord() {
  if (endRecordPos == kEndRecordUnknown) {
    uint8_t window[kFirstWindow];
    uint8_t signature[kSignatureSize];
    WriteLe32(signature, EndRecordSignature());
    int64_t end = PlatformFileLength(archiveHandle);
    if (end < 0) {
      errorCode = kStatusFileError;
      return;
    }
    int64_t limit = end > kScanReach ? end - kScanReach : 0;
    // Each read ends where the previous one began; the first four bytes of
    // the previous read follow its bytes in the window.
    uint32_t want = kFirstWindow;
    uint32_t carry = 0;
    for (;;) {
      int64_t pos = end - limit > want ? end - want : limit;
      uint32_t n = (uint32_t)(end - pos);
      memmove(window + n, window, carry);
      if (!ReadAt(pos, window, n)) {
        errorCode = kStatusFileError;
        return;
      }
      uint16_t index = FindBytes(window, (uint16_t)(n + carry), signature, sizeof signature);
      if (index != kNotFound) {
        endRecordPos = pos + index + sizeof signature;
        break;
      }
      if (pos <= limit) {
        errorCode = kStatusNoEndRecord;
        return;
      }
      end = pos;
      want = kStep;
      carry = kCarry;
    }
  }
  errorCode = PlatformSeek(archiveHandle, endRecordPos, kSeekSet) < 0 ? kStatusFileError : kStatusOk;
}

uint16_t ReadArchiveComment(uint8_t** comment, uint16_t length) {
  uint8_t* buffer = (uint8_t*)malloc(length);
  if (buffer == nullptr) return kStatusOutOfMemory;
  *comment = buffer;
  if (ReadArchiveBytes(buffer, length) != kStatusOk) {
    free(buffer);
    *comment = nullptr;
    return kStatusFileError;
  }
  return kStatusOk;
}

uint16_t ReadEndRecord(EndRecord* record, uint8_t** comment) {
  *comment = nullptr;
  if (ReadArchiveBytes(record->bytes, kEndRecordSize) != kStatusOk) return kStatusFileError;
  uint16_t commentLength = ReadLe16(record->bytes + kEndCommentLength);
  return commentLength != 0 ? ReadArchiveComment(comment, commentLength) : kStatusOk;
}

uint16_t SeekCentralDirectory() {
  return PlatformSeek(archiveHandle, centralDirectoryPos, kSeekSet) < 0 ? kStatusFileError : kStatusOk;
}

uint16_t ReadCentralHeader(CentralHeader* header, char* name, char** comment, bool* nameUnusable,
                           MemberExtent* extent) {
  *comment = nullptr;
  if (ReadArchiveBytes(header->bytes, kCentralHeaderSize) != kStatusOk) return kStatusFileError;
  uint16_t flags = CentralField16(*header, kCentralFlags);
  if (ReadEntryName(CentralField16(*header, kCentralNameLength), name, 255, flags, nameUnusable) !=
      kStatusOk) {
    return kStatusFileError;
  }
  uint16_t extraLength = CentralField16(*header, kCentralExtraLength);
  uint16_t status = LoadExtent(*header, extent) != 0 ? ReadWideFields(extraLength, extent) : SkipBytes(extraLength);
  if (status != kStatusOk) return status;
  uint16_t commentLength = CentralField16(*header, kCentralCommentLength);
  return commentLength != 0 ? SkipBytes(commentLength) : kStatusOk;
}

bool AppendEntry(EntryList* list, const CentralHeader* header, char* comment, const char* name,
                 const MemberExtent* extent) {
  // Only a record with a saturated field has values that its header lacks.
  MemberExtent narrow;
  bool wide = LoadExtent(*header, &narrow) != 0;
  CentralDirEntry* entry = (CentralDirEntry*)malloc(sizeof(CentralDirEntry) + (wide ? sizeof(MemberExtent) : 0));
  if (entry == nullptr) return false;
  entry->wide = wide ? 1 : 0;
  if (wide) memcpy(entry + 1, extent, sizeof *extent);
  entry->header = *header;
  strncpy(entry->name, name, kNameCapacity - 1);
  entry->name[kNameCapacity - 1] = 0;
  entry->comment = comment;
  entry->byOffset = nullptr;
  entry->next = nullptr;
  entry->selected = 1;
  entry->nameUnusable = 0;
  if (list->head == nullptr) {
    list->head = entry;
  } else {
    list->tail->next = entry;
  }
  list->count++;
  list->tail = entry;
  return true;
}

void InitEntryList(EntryList* list) {
  list->head = nullptr;
  list->tail = nullptr;
  list->count = 0;
}

void FreeEntryList(EntryList* list) {
  CentralDirEntry* entry = list->head;
  while (entry != nullptr) {
    CentralDirEntry* next = entry->next;
    free(entry->comment);
    free(entry);
    entry = next;
  }
  InitEntryList(list);
}

uint16_t ReadEndRecordAndSeekDirectory() {
  uint8_t* archiveComment = nullptr;
  uint16_t status = ReadEndRecord(&endRecord, &archiveComment);
  free(archiveComment);
  if (status == kStatusOk) status = LocateCentralDirectory();
  return status != kStatusOk ? status : SeekCentralDirectory();
}

void ReadCentralDirectory(EntryList* list) {
  FindEndRecord();
  if (errorCode != kStatusOk) return;
  errorCode = ReadEndRecordAndSeekDirectory();
  if (errorCode != kStatusOk) return;
  bool zip64 = zip64RecordPos != kNoZip64Record;
  uint32_t last = zip64 ? kZip64EndRecordSignature : EndRecordSignature();
  for (;;) {
    uint32_t signature;
    if (ReadSignature(&signature) != kStatusOk) {
      errorCode = kStatusFileError;
      break;
    }
    if (signature == kCentralHeaderSignature) {
      CentralHeader header;
      char name[kNameCapacity];
      char* comment;
      bool nameUnusable = false;
      MemberExtent extent;
      errorCode = ReadCentralHeader(&header, name, &comment, &nameUnusable, &extent);
      if (errorCode != kStatusOk) break;
      if (!AppendEntry(list, &header, comment, name, &extent)) {
        errorCode = kStatusOutOfMemory;
        break;
      }
      list->tail->nameUnusable = nameUnusable ? 1 : 0;
    } else if (signature == last) {
      // A ZIP64 directory ends exactly at its ZIP64 end record.
      bool ends = !zip64 || (PlatformSeek(archiveHandle, 0, kSeekCur) == zip64RecordPos + kSignatureSize &&
                             list->count == zip64EntryCount);
      errorCode = ends ? kStatusOk : kStatusDamaged;
      break;
    } else {
      errorCode = kStatusDamaged;
      break;
    }
  }
  if (errorCode == kStatusOk && list->count == 0) errorCode = kStatusNoEntries;
  if (errorCode == kStatusOk && !MemberRecordsApart(list)) errorCode = kStatusDamaged;
}
