// The engine-wide status word and the three callback slots.
//
// Every operation of the archive reader, the decoder and the engine reports
// its outcome by setting errorCode; the caller reads it after the call. The
// numbers are shown to the person in decimal, so they are part of the
// external behaviour and never change. The shell meets the engine only here:
// through the three callbacks it installs and the final status.
#pragma once

#include <stdint.h>

struct CentralHeader;

// The status codes. No other value is ever stored in errorCode.
const uint16_t kStatusOk = 0;
const uint16_t kStatusFileError = 5;  // a file operation failed
const uint16_t kStatusOutOfMemory = 8;
const uint16_t kStatusCancelled = 2926;  // cancelled by the user
const uint16_t kStatusDamaged = 9964;  // damaged archive data
const uint16_t kStatusNoEndRecord = 9966;  // no end of central directory record
const uint16_t kStatusNoEntries = 19906;  // the archive holds no entries
const uint16_t kStatusUnsupported = 19960;  // version, method not supported
const uint16_t kStatusEncrypted = 19961;
const uint16_t kStatusCrcMismatch = 19962;
const uint16_t kStatusCannotCreate = 19963;  // output file cannot be created (or name refused)

extern uint16_t errorCode;

// What a status code means, in a few words, for messages of the tools.
const char* StatusMeaning(uint16_t code);
// True for the codes of the table above (the fuzz targets check every outcome).
bool IsKnownStatus(uint16_t code);

// BeforeEntryCallback answers.
const int32_t kAnswerExtract = 0;
const int32_t kAnswerSkip = 1;
const int32_t kAnswerCancel = 2;

// The callbacks are the system's own functions, never the platform's: in the
// i686 stub they take their arguments in registers, as every internal call
// there does.
#if defined(ZARVEL_STUB) && defined(__i386__)
#define ZARVEL_CALLBACK __attribute__((regparm(3)))
#else
#define ZARVEL_CALLBACK
#endif

// Called before each member that names a file. `header` is the member's
// CentralHeader (its entry's name follows it in memory); `targetPath` is valid
// during the call only. 1 skips the member, 2 cancels the run, anything else
// extracts it.
typedef int32_t(ZARVEL_CALLBACK* BeforeEntryFunction)(const CentralHeader* header,
                                                      const char* targetPath);
// Called after every block of output. False cancels the member.
typedef bool(ZARVEL_CALLBACK* ProgressFunction)(uint64_t written, uint64_t total);
// Called after each member that was attempted, with its outcome. False stops
// the run and keeps the outcome; true forgets it and goes on.
typedef bool(ZARVEL_CALLBACK* AfterEntryFunction)(const CentralHeader* header,
                                                  const char* targetPath, uint16_t outcome);

extern BeforeEntryFunction BeforeEntryCallback;
extern ProgressFunction ProgressCallback;
extern AfterEntryFunction AfterEntryCallback;

void SetBeforeEntryCallback(BeforeEntryFunction function);
void SetProgressCallback(ProgressFunction function);
void SetAfterEntryCallback(AfterEntryFunction function);
