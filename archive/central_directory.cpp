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

uint32_t LocalOffsetOf(const CentralDirEntry* entry) {
  return CentralField32(entry->header, kCentralLocalHeaderOffset);
}

// Where a member's record ends at the least: its local header with the name
// and the compressed data. The extra field is left out, since the local one
// may be shorter than the central one; data descriptors follow the data.
int64_t MinimalRecordEnd(const CentralDirEntry* entry) {
  return (int64_t)LocalOffsetOf(entry) + kSignatureSize + kLocalHeaderSize +
         CentralField16(entry->header, kCentralNameLength) +
         CentralField32(entry->header, kCentralCompressedSize);
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
  int64_t end = 0;  // of the previous record in the file
  for (CentralDirEntry* entry = SortByOffset(list->head); entry != nullptr; entry = entry->byOffset) {
    if (LocalOffsetOf(entry) < end) return false;
    end = MinimalRecordEnd(entry);
  }
  return end <= (int64_t)ReadLe32(endRecord.bytes + kEndCentralOffset);
}

}  // namespace

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

uint16_t SeekCentralDirectory(const EndRecord* record) {
  int64_t offset = ReadLe32(record->bytes + kEndCentralOffset);
  return PlatformSeek(archiveHandle, offset, kSeekSet) < 0 ? kStatusFileError : kStatusOk;
}

uint16_t ReadCentralHeader(CentralHeader* header, char* name, char** comment, bool* nameUnusable) {
  *comment = nullptr;
  if (ReadArchiveBytes(header->bytes, kCentralHeaderSize) != kStatusOk) return kStatusFileError;
  uint16_t flags = CentralField16(*header, kCentralFlags);
  if (ReadEntryName(CentralField16(*header, kCentralNameLength), name, 255, flags, nameUnusable) !=
      kStatusOk) {
    return kStatusFileError;
  }
  if (SkipBytes(CentralField16(*header, kCentralExtraLength)) != kStatusOk) return kStatusFileError;
  uint16_t commentLength = CentralField16(*header, kCentralCommentLength);
  return commentLength != 0 ? SkipBytes(commentLength) : kStatusOk;
}

bool AppendEntry(EntryList* list, const CentralHeader* header, char* comment, const char* name) {
  CentralDirEntry* entry = (CentralDirEntry*)malloc(sizeof(CentralDirEntry));
  if (entry == nullptr) return false;
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
  return status != kStatusOk ? status : SeekCentralDirectory(&endRecord);
}

void ReadCentralDirectory(EntryList* list) {
  FindEndRecord();
  if (errorCode != kStatusOk) return;
  errorCode = ReadEndRecordAndSeekDirectory();
  if (errorCode != kStatusOk) return;
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
      errorCode = ReadCentralHeader(&header, name, &comment, &nameUnusable);
      if (errorCode != kStatusOk) break;
      if (!AppendEntry(list, &header, comment, name)) {
        errorCode = kStatusOutOfMemory;
        break;
      }
      list->tail->nameUnusable = nameUnusable ? 1 : 0;
    } else if (signature == EndRecordSignature()) {
      errorCode = kStatusOk;
      break;
    } else {
      errorCode = kStatusDamaged;
      break;
    }
  }
  if (errorCode == kStatusOk && list->count == 0) errorCode = kStatusNoEntries;
  if (errorCode == kStatusOk && !MemberRecordsApart(list)) errorCode = kStatusDamaged;
}
