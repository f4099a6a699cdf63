// The one C runtime piece the stub needs beyond the system's msvcrt. The
// toolchain's headers route snprintf to a C99 formatter from its own static
// library, which would bring a complete printf of its own (tens of KiB) into
// the stub; the system's bounded formatter serves the core's short texts.
// Unlike the C99 call, it leaves a full buffer unterminated, so the shim
// terminates it and reports the truncation as the C99 call would, roughly:
// as a count of at least the buffer's size.
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

extern "C" int __cdecl __ms_vsnprintf(char* buffer, size_t capacity, const char* format,
                                      va_list arguments) {
  if (capacity == 0) return 0;
  int written = _vsnprintf(buffer, capacity, format, arguments);
  if (written < 0 || (size_t)written >= capacity) {
    buffer[capacity - 1] = 0;
    return (int)capacity;
  }
  return written;
}
