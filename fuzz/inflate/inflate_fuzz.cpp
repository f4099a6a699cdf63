// libFuzzer target: any bytes as one member's compressed data. The decoder must end (never run on past the data),
// never touch memory it does not own, and give either success or 9964 unless a file operation failed.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "archive/archive.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "inflate/inflate.h"

namespace {

std::string memberPath;
uint8_t* inputBuffer = nullptr;

void Setup() {
  memberPath = "/tmp/zarvel-inflate-fuzz-" + std::to_string(getpid());
  inputBuffer = (uint8_t*)malloc(kInputBufferSize);
  outputHandle = PlatformOpenWrite("/dev/null");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (inputBuffer == nullptr) Setup();
  FILE* file = fopen(memberPath.c_str(), "wb");
  if (file == nullptr) return 0;
  fwrite(data, 1, size, file);
  fclose(file);
  archiveHandle = PlatformOpenRead(memberPath.c_str());
  archiveLength = (int64_t)size;
  ResetCompressedInput(inputBuffer, (uint32_t)size);
  Crc32 = 0xFFFFFFFFu;
  bytesWritten = 0;
  errorCode = 0;
  InflateEntry();
  if (errorCode != kStatusOk && errorCode != kStatusDamaged) abort();
  // Each member costs at most a bounded amount of output per input bit.
  if (bytesWritten > 1032u * 8 * (size + 8)) abort();
  PlatformClose(archiveHandle);
  return 0;
}
