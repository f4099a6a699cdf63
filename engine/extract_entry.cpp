// One member to one file.
//
// Everything the engine knows about a member comes from its central record;
// the local header only tells where the data begins. The member is checked
// before anything is created (version, method, encryption), written, its
// file deleted again on failure, its CRC compared, and its time set.
//
// A member goes to a temporary file in its target's directory and takes its
// name only once its data is complete, so a file under a member's name is
// always whole: an old file survives every failure of the member that was to
// replace it, a damaged one included, and a process killed mid-member leaves
// only a temporary file. Where nothing existed, the move never replaces what
// appeared meanwhile, and data with a wrong CRC is kept, as other tools keep
// it.
//
// Temporary names are unpredictable (a mixed sequence seeded from the
// platform) and created exclusively, never through an existence test that
// follows links: whatever holds a name, a stale file or a link, costs one
// attempt of many.
#include <stdlib.h>
#include <string.h>

#include "engine/extract.h"
#include "engine/status.h"
#include "inflate/inflate.h"
#include "platform/start_value.h"

CentralHeader currentHeader;
MemberExtent currentExtent;
PlatformHandle outputHandle ZARVEL_STARTS_AS(kNoHandle);
uint64_t bytesWritten = 0;

namespace {

// Room for the target path plus a short temporary name beside it.
const int kTempPathCapacity = kNameCapacity + 16;
// Temporary names keep to 8.3: "~zv", five digits of base 32 (25 bits of the
// generator; one case only, as Windows compares names), ".tmp".
const char kTempPrefix[] = "~zv";
const char kTempSuffix[] = ".tmp";
const char kTempDigitChars[] = "0123456789abcdefghijklmnopqrstuv";
const int kTempDigits = 5;
const int kTempDigitBits = 5;
static_assert(sizeof kTempPrefix - 1 + kTempDigits + sizeof kTempSuffix == kTemporaryNameSize, "name size");
const unsigned kTempAttempts = 400;
// The generator's step: an odd constant, so the states run through all 2^32
// values before one comes back.
const uint32_t kTempStep = 0x9E3779B9;

uint16_t CheckSupported(const CentralHeader& header) {
  uint16_t method = CentralField16(header, kCentralMethod);
  uint8_t version = (uint8_t)CentralField16(header, kCentralVersionNeeded);
  if (version > kHighestVersionNeeded && version != kVersionZip64) return kStatusUnsupported;
  // An encrypted member says so whatever its method: the password is what is
  // missing first.
  if (CentralField16(header, kCentralFlags) & kFlagEncrypted) return kStatusEncrypted;
  // Only stored and deflated data can be produced; anything else is refused
  // before a file exists, never written as an empty file.
  if (method != kMethodStored && method != kMethodDeflated) return kStatusUnsupported;
  return kStatusOk;
}

// A bijection of 32 bits in which every input bit reaches every output bit
// (two multiply and shift rounds): consecutive states give unrelated names.
uint32_t Mix(uint32_t x) {
  x = (x ^ (x >> 16)) * 0x7FEB352D;
  x = (x ^ (x >> 15)) * 0x846CA68B;
  return x ^ (x >> 16);
}

// A temporary file beside `target`: same directory, a fresh name per attempt,
// created only where nothing (not even a dangling link) holds the name. The
// first attempt makes the directories on the way; a later one needs none.
bool OpenTemporaryBeside(const char* target, char* tempPath) {
  // Byte by byte: a trail byte 0x5C taken for the last separator only puts
  // the temporary name after its character, in the same directory.
  size_t directoryLength = 0;
  for (size_t i = 0; target[i] != 0; i++) {
    if (target[i] == '\\') directoryLength = i + 1;
  }
  memcpy(tempPath, target, directoryLength);
  for (unsigned attempt = 0; attempt < kTempAttempts; attempt++) {
    NextTemporaryName(tempPath + directoryLength);
    if (attempt == 0) {
      CreateOutputFile(tempPath);
    } else {
      outputHandle = PlatformOpenNew(tempPath);
    }
    if (outputHandle != kNoHandle) {
      errorCode = kStatusOk;
      return true;
    }
  }
  return false;
}

}  // namespace

uint32_t temporaryNameState;

void NextTemporaryName(char* name) {
  if (temporaryNameState == 0) temporaryNameState = PlatformSeed();
  temporaryNameState += kTempStep;
  uint32_t number = Mix(temporaryNameState);
  memcpy(name, kTempPrefix, sizeof kTempPrefix - 1);
  name += sizeof kTempPrefix - 1;
  for (int digit = 0; digit < kTempDigits; digit++) {
    name[digit] = kTempDigitChars[number & ((1u << kTempDigitBits) - 1)];
    number >>= kTempDigitBits;
  }
  memcpy(name + kTempDigits, kTempSuffix, sizeof kTempSuffix);
}

namespace {

const unsigned kDosEpochYear = 1980;
const unsigned kCenturyWithoutLeapDay = 2100;  // the one in DOS dates' reach

// True when the DOS date names a day that exists. A conversion would move
// February 30 or April 31 quietly into the next month: such a date sets no
// time, on every platform alike.
bool DosDateExists(uint16_t dosDate) {
  static const uint8_t kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  unsigned year = kDosEpochYear + (dosDate >> 9), month = (dosDate >> 5) & 0x0F, day = dosDate & 0x1F;
  if (month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1]) return false;
  return month != 2 || day < 29 || (year % 4 == 0 && year != kCenturyWithoutLeapDay);
}

}  // namespace

void SetOutputFileTime(const char* path, uint16_t dosDate, uint16_t dosTime) {
  if (DosDateExists(dosDate)) PlatformSetFileTime(path, dosDate, dosTime);
}

void CopyStoredData() {
  CompressedInputState& in = *Based(&CompressedInput);
  do {
    uint32_t want = in.remaining < (uint64_t)kInputBufferSize ? (uint32_t)in.remaining : kInputBufferSize;
    int32_t got = want == 0 ? 0 : PlatformRead(archiveHandle, in.buffer, want);
    // A read that fails, or the end of the file before the member's end.
    if (got < 0 || (got == 0 && want != 0)) {
      errorCode = kStatusFileError;
      return;
    }
    in.fill = got;
    in.remaining -= (uint32_t)got;
    if (!HandOnOutput(in.buffer, (uint32_t)got)) return;
  } while (in.remaining != 0);
}

namespace {

// Steps common to extracting and testing: check the member, allocate the
// input buffer, position the archive at the member's data. Returns the
// buffer, or null with errorCode set.
uint8_t* BeginEntry(const CentralDirEntry* entry) {
  errorCode = kStatusOk;
  currentHeader = entry->header;
  currentExtent = EntryExtent(entry);
  Crc32 = 0xFFFFFFFF;
  bytesWritten = 0;
  errorCode = CheckSupported(currentHeader);
  if (errorCode != kStatusOk) return nullptr;
  uint8_t* buffer = (uint8_t*)malloc(kInputBufferSize);
  if (buffer == nullptr) {
    errorCode = kStatusOutOfMemory;
    return nullptr;
  }
  ResetCompressedInput(buffer, currentExtent.compressedSize);
  int64_t localHeader = (int64_t)currentExtent.localHeaderOffset;
  LocalFileHeader local;
  char localName[kNameCapacity];
  if (PlatformSeek(archiveHandle, localHeader + kSignatureSize, kSeekSet) < 0) {
    errorCode = kStatusFileError;
  } else {
    errorCode = ReadLocalHeader(&local, localName);
  }
  if (errorCode != kStatusOk) {
    free(buffer);
    return nullptr;
  }
  return buffer;
}

void ProduceData() {
  if (CentralField16(currentHeader, kCentralMethod) == kMethodStored) {
    CopyStoredData();
  } else {
    InflateEntry();
  }
  // Data that ends before the recorded size is damaged even when its CRC
  // matches what there is: a member is all of its recorded bytes or nothing.
  if (errorCode == kStatusOk && bytesWritten != currentExtent.uncompressedSize) {
    errorCode = kStatusDamaged;
  }
}

bool CrcMatches() { return ~Crc32 == CentralField32(currentHeader, kCentralCrc); }

}  // namespace

namespace {

// Writes the member whose input is ready to `targetPath` and settles its
// status; BeginEntry's buffer is the caller's to free.
void WriteEntry(const char* targetPath) {
  char temporary[kTempPathCapacity];
  bool replacing = FileExists(targetPath);
  // A directory or a read-only file cannot be replaced; nothing is created.
  if ((replacing && (PlatformIsDirectory(targetPath) || PlatformIsReadOnly(targetPath))) ||
      !OpenTemporaryBeside(targetPath, temporary)) {
    errorCode = kStatusCannotCreate;
    return;
  }
  ProduceData();
  PlatformClose(outputHandle);
  outputHandle = kNoHandle;
  if (errorCode == kStatusOk && !CrcMatches()) errorCode = kStatusCrcMismatch;

  // Complete data takes the member's name; a wrong CRC only where it
  // replaces nothing.
  bool keep = errorCode == kStatusOk || (errorCode == kStatusCrcMismatch && !replacing);
  bool moved = keep && (replacing ? PlatformRename(temporary, targetPath)
                                  : PlatformMoveToFreeName(temporary, targetPath));
  if (!moved) {
    // A temporary file that cannot be removed is left alone.
    if (!PlatformDelete(temporary) || keep) errorCode = kStatusFileError;
    return;
  }
  SetOutputFileTime(targetPath, CentralField16(currentHeader, kCentralDate),
                    CentralField16(currentHeader, kCentralTime));
}

}  // namespace

void ExtractEntry(const CentralDirEntry* entry, const char* targetPath) {
  uint8_t* buffer = BeginEntry(entry);
  if (buffer == nullptr) return;
  WriteEntry(targetPath);
  free(buffer);
}

void TestEntry(const CentralDirEntry* entry) {
  uint8_t* buffer = BeginEntry(entry);
  if (buffer == nullptr) return;
  outputHandle = PlatformOpenNullSink();
  if (outputHandle == kNoHandle) {
    errorCode = kStatusCannotCreate;
    free(buffer);
    return;
  }
  ProduceData();
  PlatformClose(outputHandle);
  outputHandle = kNoHandle;
  if (errorCode == kStatusOk && !CrcMatches()) errorCode = kStatusCrcMismatch;
  free(buffer);
}
