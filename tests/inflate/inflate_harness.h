// Drives the decoder the way the entry extraction does, without an archive:
// the compressed bytes go to a temporary file opened as the archive, the
// output to another temporary file, and everything observable comes back.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tests/inflate/bit_writer.h"

struct InflateRun {
  int result = -1;          // InflateMember's result code
  uint16_t status = 0;      // errorCode afterwards
  uint32_t crc = 0;         // ~Crc32 afterwards
  uint32_t bytesWritten = 0;
  std::string output;       // what reached the output file
  std::vector<uint32_t> progress;  // bytesWritten at each progress call
  uint32_t reads = 0;       // platform reads of the archive during decoding
};

struct InflateOptions {
  // Bytes of the member's data; the file may hold more after it (`trailer`).
  int64_t compressedSize = -1;  // -1: the whole input
  std::string trailer;
  // Progress answers false from this call on (1-based); 0 = never.
  uint32_t cancelAtCall = 0;
  uint32_t uncompressedSize = 0;  // for the progress callback's total
  // The n-th archive read of the member fails (1-based); 0 = none.
  uint32_t failReadAt = 0;
  // Window content before the member (a fresh process has zeros).
  bool keepWindow = false;
};

InflateRun RunInflate(const std::string& compressed, const InflateOptions& options = InflateOptions());

// Plain CRC-32 of a string by the reference step, for comparisons.
uint32_t ReferenceCrc(const std::string& bytes);
