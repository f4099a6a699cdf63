// The status word, its meanings and the callback slots (see status.h).
#include "engine/status.h"

uint16_t errorCode = 0;

BeforeEntryFunction BeforeEntryCallback = nullptr;
ProgressFunction ProgressCallback = nullptr;
AfterEntryFunction AfterEntryCallback = nullptr;

void SetBeforeEntryCallback(BeforeEntryFunction function) { BeforeEntryCallback = function; }
void SetProgressCallback(ProgressFunction function) { ProgressCallback = function; }
void SetAfterEntryCallback(AfterEntryFunction function) { AfterEntryCallback = function; }

namespace {
const char kUnknownStatus[] = "unknown status";
}  // namespace

const char* StatusMeaning(uint16_t code) {
  switch (code) {
    case kStatusOk: return "success";
    case kStatusFileError: return "a file operation failed";
    case kStatusOutOfMemory: return "out of memory";
    case kStatusCancelled: return "cancelled by the user";
    case kStatusDamaged: return "damaged archive data";
    case kStatusNoEndRecord: return "no end of central directory record";
    case kStatusNoEntries: return "the archive holds no entries";
    case kStatusUnsupported: return "member not supported";
    case kStatusEncrypted: return "member is encrypted";
    case kStatusCrcMismatch: return "CRC mismatch";
    case kStatusCannotCreate: return "output file cannot be created";
    default: return kUnknownStatus;
  }
}

bool IsKnownStatus(uint16_t code) { return StatusMeaning(code) != kUnknownStatus; }
