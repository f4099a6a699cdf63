// The 32 KiB output window and its flush: the one place where decoded bytes
// leave the decoder, and, through HandOnOutput, the stored copy's bytes too.
//
// Output that would pass the member's recorded size is damage (9964): a
// member is never written past what its central record promises, so a small
// archive cannot fill the disk. A failed write, a cancel or such damage sets
// errorCode, and the member stops there: the flush empties the decoder's
// input, so the decoder finds its data ended within the bits it holds and
// gives up (keeping the status that stopped it) instead of decoding the rest
// of the member. Once errorCode is set nothing more is written and the
// progress callback is not asked again, so a cancel is answered exactly once.
#include "inflate/inflate.h"

#include "archive/archive.h"
#include "engine/extract.h"
#include "engine/status.h"
#include "platform/platform.h"

alignas(64) uint8_t window[kWindowSize];  // a cache line, whatever the build aligns data to
uint32_t windowPos = 0;

bool HandOnOutput(const uint8_t* data, uint32_t count) {
  if (errorCode != kStatusOk) return false;
  uint64_t total = currentExtent.uncompressedSize;
  // bytesWritten never passes total, so the difference cannot wrap.
  if (count > total - bytesWritten) {
    errorCode = kStatusDamaged;
    return false;
  }
  Crc32Update(&Crc32, data, count);
  if (count > 0 && PlatformWrite(outputHandle, data, count) != (int32_t)count) {
    errorCode = kStatusFileError;
    return false;
  }
  bytesWritten += count;
  if (ProgressCallback != nullptr && !ProgressCallback(bytesWritten, total)) {
    errorCode = kStatusCancelled;
    return false;
  }
  return true;
}

void FlushWindow(uint32_t count) {
  if (HandOnOutput(window, count)) return;
  CompressedInputState& in = CompressedInput;
  in.remaining = 0;
  in.fill = 0;
  in.nextPos = 1;
}
