// One member to one file.
//
// Everything the engine knows about a member comes from its central record;
// the local header only tells where the data begins. The member is checked
// before anything is created (version, method, encryption), written, its
// file deleted again on failure, its CRC compared, and its time set.
//
// No data is lost on replace: when something already exists at the target
// path, the member goes to a temporary file in the same directory and is
// moved over the target only once its data is complete, so the old file
// survives every failure of the member that was to replace it.
#include <stdlib.h>
#include <string.h>

#include "engine/extract.h"
#include "engine/status.h"
#include "inflate/inflate.h"
#include "platform/start_value.h"

CentralHeader currentHeader;
PlatformHandle outputHandle ZARVEL_STARTS_AS(kNoHandle);
uint32_t bytesWritten = 0;

namespace {

// Room for the target path plus a short temporary name beside it.
const int kTempPathCapacity = kNameCapacity + 16;
// Temporary names: "~zv0000.tmp" to "~zv0099.tmp".
const char kTempPrefix[] = "~zv";
const char kTempSuffix[] = ".tmp";
const unsigned kTempAttempts = 100;
const int kTempDigits = 4;

uint16_t CheckSupported(const CentralHeader& header) {
  uint16_t method = CentralField16(header, kCentralMethod);
  if ((CentralField16(header, kCentralVersionNeeded) & 0xFF) > kHighestVersionNeeded) {
    return kStatusUnsupported;
  }
  // An encrypted member says so whatever its method: the password is what is
  // missing first.
  if (CentralField16(header, kCentralFlags) & kFlagEncrypted) return kStatusEncrypted;
  // Only stored and deflated data can be produced; anything else is refused
  // before a file exists, never written as an empty file.
  if (method != kMethodStored && method != kMethodDeflated) return kStatusUnsupported;
  return kStatusOk;
}

// The temporary name of one attempt, after the directory part of tempPath.
void FormatTempName(char* name, unsigned attempt) {
  memcpy(name, kTempPrefix, sizeof kTempPrefix - 1);
  name += sizeof kTempPrefix - 1;
  for (int digit = kTempDigits - 1; digit >= 0; digit--) {
    name[digit] = (char)('0' + attempt % 10);
    attempt /= 10;
  }
  memcpy(name + kTempDigits, kTempSuffix, sizeof kTempSuffix);
}

// A temporary file beside `target`: same directory, short unique name.
bool OpenTemporaryBeside(const char* target, char* tempPath) {
  size_t directoryLength = 0;
  for (size_t i = 0; target[i] != 0; i++) {
    if (target[i] == '\\') directoryLength = i + 1;
  }
  memcpy(tempPath, target, directoryLength);
  for (unsigned attempt = 0; attempt < kTempAttempts; attempt++) {
    FormatTempName(tempPath + directoryLength, attempt);
    if (PlatformExists(tempPath)) continue;
    outputHandle = PlatformOpenNew(tempPath);
    if (outputHandle != kNoHandle) return true;
    // The open may fail because of the fault seam or a full directory: try
    // the next name only when this one appeared meanwhile.
    if (!PlatformExists(tempPath)) return false;
  }
  return false;
}

// Opens the member's output: the target itself when nothing is there, else
// a temporary file beside it. `written` receives the path actually written,
// `replacing` whether that is a temporary file.
bool OpenOutput(const char* target, char* written, bool* replacing) {
  *replacing = FileExists(target);
  if (*replacing) {
    // A directory or a read-only file cannot be replaced; nothing is created.
    if (PlatformIsDirectory(target) || PlatformIsReadOnly(target)) return false;
    return OpenTemporaryBeside(target, written);
  }
  strcpy(written, target);
  CreateOutputFile(target);
  return errorCode == kStatusOk;
}

}  // namespace

void SetOutputFileTime(const char* path, uint16_t dosDate, uint16_t dosTime) {
  PlatformSetFileTime(path, dosDate, dosTime);
}

void CopyStoredData() {
  CompressedInputState& in = *Based(&CompressedInput);
  do {
    uint32_t want = in.remaining < (uint32_t)kInputBufferSize ? in.remaining : kInputBufferSize;
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
uint8_t* BeginEntry(const CentralHeader* header) {
  errorCode = kStatusOk;
  currentHeader = *header;
  Crc32 = 0xFFFFFFFF;
  bytesWritten = 0;
  errorCode = CheckSupported(currentHeader);
  if (errorCode != kStatusOk) return nullptr;
  uint8_t* buffer = (uint8_t*)malloc(kInputBufferSize);
  if (buffer == nullptr) {
    errorCode = kStatusOutOfMemory;
    return nullptr;
  }
  ResetCompressedInput(buffer, CentralField32(currentHeader, kCentralCompressedSize));
  int64_t localHeader = (int64_t)CentralField32(currentHeader, kCentralLocalHeaderOffset);
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
  if (errorCode == kStatusOk && bytesWritten != CentralField32(currentHeader, kCentralUncompressedSize)) {
    errorCode = kStatusDamaged;
  }
}

bool CrcMatches() { return ~Crc32 == CentralField32(currentHeader, kCentralCrc); }

}  // namespace

namespace {

// Writes the member whose input is ready to `targetPath` and settles its
// status; BeginEntry's buffer is the caller's to free.
void WriteEntry(const char* targetPath) {
  char written[kTempPathCapacity];
  bool replacing;
  if (!OpenOutput(targetPath, written, &replacing)) {
    errorCode = kStatusCannotCreate;
    return;
  }
  ProduceData();
  PlatformClose(outputHandle);
  outputHandle = kNoHandle;

  if (errorCode != kStatusOk) {
    if (PlatformDelete(written)) return;
    errorCode = kStatusFileError;
    // A partial file that cannot be removed keeps its time stamp as a sign
    // of what it is; a temporary one is left alone.
    if (replacing) return;
  } else {
    if (!CrcMatches()) errorCode = kStatusCrcMismatch;
    // The data is complete (a CRC mismatch keeps the file): now it may
    // replace what was there.
    if (replacing && !PlatformRename(written, targetPath)) {
      PlatformDelete(written);
      errorCode = kStatusFileError;
      return;
    }
  }
  SetOutputFileTime(targetPath, CentralField16(currentHeader, kCentralDate),
                    CentralField16(currentHeader, kCentralTime));
}

}  // namespace

void ExtractEntry(const CentralHeader* header, const char* targetPath) {
  uint8_t* buffer = BeginEntry(header);
  if (buffer == nullptr) return;
  WriteEntry(targetPath);
  free(buffer);
}

void TestEntry(const CentralHeader* header) {
  uint8_t* buffer = BeginEntry(header);
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
