// libFuzzer target: any bytes as one member's compressed data. The decoder must end (never run on past the data),
// never touch memory it does not own, and give either success or 9964 unless a file operation failed.
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "archive/archive.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "inflate/inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string memberPath = "/tmp/zarvel-inflate-fuzz-" + std::to_string(getpid());
  static uint8_t* const inputBuffer = (uint8_t*)malloc(kInputBufferSize);
  if (outputHandle == kNoHandle) outputHandle = PlatformOpenNullSink();
  std::ofstream(memberPath, std::ios::binary).write((const char*)data, (std::streamsize)size);
  archiveHandle = PlatformOpenRead(memberPath.c_str());
  archiveLength = (int64_t)size;
  ResetCompressedInput(inputBuffer, (uint32_t)size);
  bytesWritten = 0;
  errorCode = 0;
  // No recorded size to stop at: the decoder alone decides where the output ends.
  currentExtent.uncompressedSize = UINT64_MAX;
  InflateEntry();
  if (errorCode != kStatusOk && errorCode != kStatusDamaged) abort();
  // Each member costs at most a bounded amount of output per input bit.
  if (bytesWritten > 1032u * 8 * (size + 8)) abort();
  PlatformClose(archiveHandle);
  return 0;
}
