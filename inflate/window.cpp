// The 32 KiB output window and its flush: the one place where decoded bytes
// leave the decoder.
//
// A flush never stops decoding. A failed write or a cancel only sets
// errorCode; the member is decoded to its end and the entry extraction acts
// on the status afterwards. Once errorCode is set the progress callback is
// not asked again for that member, so a cancel is answered exactly once.
#include "inflate/inflate.h"

#include "engine/extract.h"
#include "engine/status.h"
#include "platform/platform.h"

uint8_t window[kWindowSize];
uint32_t windowPos = 0;

void FlushWindow(uint32_t count) {
  Crc32Update(&Crc32, window, count);
  if (count > 0 && PlatformWrite(outputHandle, window, count) != (int32_t)count) {
    errorCode = kStatusFileError;
  }
  bytesWritten += count;
  if (errorCode == kStatusOk && ProgressCallback != nullptr &&
      !ProgressCallback(bytesWritten, CentralField32(currentHeader, kCentralUncompressedSize))) {
    errorCode = kStatusCancelled;
  }
}
