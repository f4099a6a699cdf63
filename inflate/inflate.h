// Public face of the decompression subsystem: the raw Deflate decoder
// (RFC 1951), the 32 KiB output window with its flush, and the ZIP CRC-32.
//
// The decoder pulls its input through FetchByte (archive/archive.h), writes
// into the window, and hands every full window, and the last partial one, to
// FlushWindow, which checks the recorded size, runs the CRC, writes to
// outputHandle, counts bytesWritten and asks ProgressCallback (engine/status.h).
#pragma once

#include <stdint.h>

const uint32_t kWindowSize = 32768;

extern uint8_t window[kWindowSize];
extern uint32_t windowPos;

// The ZIP CRC-32 register: 0xFFFFFFFF before each member, complemented at its end.
extern uint32_t Crc32;

uint32_t Crc32Step(uint8_t byte, uint32_t crc);
void Crc32Update(uint32_t* crc, const uint8_t* buffer, uint32_t count);

// Hands a member's next `count` output bytes on: size check, CRC, write,
// count, progress. False, with errorCode set, when the member must stop.
bool HandOnOutput(const uint8_t* data, uint32_t count);
// Hands the first `count` bytes of the window on; when the member must stop,
// empties the decoder's input so that it ends within the bits it holds.
void FlushWindow(uint32_t count);

// Decodes the current member (method 8) into outputHandle; the outcome is
// errorCode (9964 when the data is rejected).
void InflateEntry();
// Result codes: 0 success, 1 invalid data, 2 block type 3 or over-subscribed
// code, 3 out of memory. They stay inside the decoder; the rest of the system
// sees errorCode 9964 for any of 1 to 3.
const int kInflateOk = 0;
const int kInflateBadData = 1;
const int kInflateBadCode = 2;
const int kInflateNoMemory = 3;
int InflateMember();

// The length and distance codes of RFC 1951 section 3.2.5 as the table
// builder takes them: base values and extra-bit counts of length codes 257
// to 287 (286 and 287 carry the invalid tag) and of distance codes 0 to 29.
struct DeflateCodeTables {
  uint16_t lengthBase[31];
  uint16_t lengthExtra[31];
  uint16_t distanceBase[30];
  uint16_t distanceExtra[30];
};
// Derives them from their rule, at the start of every member.
void DeriveCodeTables(DeflateCodeTables* tables);
int ReleaseFixedTables();

// Which build of the decoder's fast path runs: 0 until the processor has been
// asked, then 1 for the one that uses BMI2 or -1 for the plain one. Setting 0
// asks again; tests set -1 to run the plain one on any processor.
extern int fastPathBmi2;

// The fixed code's tables, built at a member's first fixed block and kept
// until ReleaseFixedTables at its end.
struct HuffmanEntry;
extern HuffmanEntry* fixedLiteralTable;
extern HuffmanEntry* fixedDistanceTable;
