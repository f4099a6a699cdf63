// The lowest layer on the open archive: exact reads, skips, record
// signatures, member names with their code-page conversion, local headers,
// and the buffered delivery of a member's compressed data.
//
// A read that ends early is a failure (5) like a read the system refuses:
// otherwise a central directory pointing past the end of the file would be
// walked until memory ran out, and a truncated member would be decoded from
// stale input.
#include <stdlib.h>
#include <string.h>

#include "archive/archive.h"
#include "engine/status.h"

CompressedInputState CompressedInput;
int64_t archiveLength = 0;

uint16_t SkipBytes(int32_t delta) {
  int64_t position = PlatformSeek(archiveHandle, delta, kSeekCur);
  if (position < 0 || position > archiveLength) return kStatusFileError;
  return kStatusOk;
}

uint16_t ReadArchiveBytes(void* buffer, uint32_t count) {
  int32_t n = PlatformRead(archiveHandle, buffer, count);
  return n == (int32_t)count ? kStatusOk : kStatusFileError;
}

uint16_t ReadSignature(uint32_t* signature) {
  uint8_t bytes[4];
  if (ReadArchiveBytes(bytes, sizeof bytes) != kStatusOk) return kStatusFileError;
  *signature = ReadLe32(bytes);
  return kStatusOk;
}

uint16_t ReadEntryName(uint16_t length, char* name, uint8_t limit, uint16_t flags,
                       bool* nameUnusable) {
  // Room for the longest name that is kept; the conversion stops at the
  // first NUL, so a name with an embedded NUL ends there.
  char scratch[261];
  unsigned kept = length < limit ? length : limit;
  uint16_t result = kStatusOk;
  scratch[kept] = 0;
  // A longer name is refused, never cut into another: the bytes kept serve
  // messages, the last of them the name's own last byte, so that a cut at a
  // separator does not turn a file into a folder that is passed over.
  if (kept > 0 && (ReadArchiveBytes(scratch, kept) != kStatusOk ||
                   (kept < length && (SkipBytes((int32_t)(length - kept - 1)) != kStatusOk ||
                                      ReadArchiveBytes(scratch + kept - 1, 1) != kStatusOk)))) {
    errorCode = kStatusFileError;
    result = kStatusFileError;
    scratch[0] = 0;
  }
  bool converted = (flags & kFlagUtf8Name) ? PlatformUtf8ToAnsi(scratch, name, (size_t)limit + 1)
                                           : PlatformOemToAnsi(scratch, name, (size_t)limit + 1);
  if (!converted) {
    // Never guess at a name: the engine refuses the member instead. The
    // stored bytes stay, for messages and to tell a folder from a file.
    memcpy(name, scratch, (size_t)limit + 1);
    name[limit] = 0;
  }
  if ((!converted || kept < length) && nameUnusable != nullptr) *nameUnusable = true;
  return result;
}

uint16_t ReadLocalHeader(LocalFileHeader* header, char* name) {
  if (ReadArchiveBytes(header->bytes, kLocalHeaderSize) != kStatusOk) return kStatusFileError;
  uint16_t flags = ReadLe16(header->bytes + 2);
  if (ReadEntryName(ReadLe16(header->bytes + kLocalNameLength), name, 255, flags, nullptr) !=
      kStatusOk) {
    return kStatusFileError;
  }
  return SkipBytes(ReadLe16(header->bytes + kLocalExtraLength));
}

void ResetCompressedInput(uint8_t* buffer, uint64_t compressedSize) {
  CompressedInput.buffer = buffer;
  CompressedInput.fill = 0;
  CompressedInput.nextPos = kInputBufferSize + 1;
  CompressedInput.remaining = compressedSize;
}

int32_t RefillCompressedInput() {
  CompressedInputState& in = *Based(&CompressedInput);
  if (in.remaining == 0) {
    in.nextPos = in.fill + 1;
    return 0;
  }
  uint32_t want = in.remaining < (uint64_t)kInputBufferSize ? (uint32_t)in.remaining : kInputBufferSize;
  int32_t got = PlatformRead(archiveHandle, in.buffer, want);
  if (got <= 0) {
    // A failed read, or the file ends inside the member: the data ends here.
    if (errorCode == kStatusOk) errorCode = kStatusFileError;
    in.remaining = 0;
    in.fill = 0;
    in.nextPos = 1;
    return 0;
  }
  in.fill = got;
  in.remaining -= (uint32_t)got;
  in.nextPos = 1;
  return got;
}
