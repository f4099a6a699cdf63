// Every text the stub shows, in one place, and the two bounded text helpers
// the shell composes them with. The texts are fixed byte for byte, leading
// blanks included, because people and scripts read them off the screen.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "shell/shell.h"

const char kDialogCaption[] = "Zarvel Self Extractor";
const char kShortCaption[] = "Zarvel";
const char kFloppyText[] =
    "It seems that there is not sufficient space on the target floppy. Please choose a "
    "directory on your fixed disk drive.";
const char kDirectoryTooLongText[] =
    "The directory name is too long. Please choose a directory of at most 259 characters.";
const char kAboutText[] = "Zarvel Self Extractor\n\nUnpacks the ZIP archive inside this program.";
const char kSuccessBoxText[] = "The files were successfully extracted.";
const char kCouldNotRunFormat[] = "Couldn't run %s.";
const char kPromptFormat[] = "In the directory %s exists already a file \n%s. Replace the file ?";
const char kExtractingFormat[] = " Extracting : %s";
const char kProgressFormat[] = " Extracting : %s %d.%d%%";
const char kSuccessFormat[] = "%s successfully extracted.";
const char kCancelledFormat[] = "%s : Canceled by user.";
const char kErrorFormat[] = "Error (%u) in %s.";
const char kDummyFileName[] = "123.123";

void FormatText(char* buffer, size_t capacity, const char* format, ...) {
  // The system runtime's bounded formatter leaves a full buffer unterminated;
  // it is given one byte less, and that last byte is the terminator.
  buffer[capacity - 1] = 0;
  va_list arguments;
  va_start(arguments, format);
#ifdef _WIN32
  _vsnprintf(buffer, capacity - 1, format, arguments);
#else
  vsnprintf(buffer, capacity, format, arguments);
#endif
  va_end(arguments);
}

void CopyText(char* destination, const char* source, size_t capacity) {
  size_t length = strlen(source);
  if (length > capacity - 1) length = capacity - 1;
  memcpy(destination, source, length);
  destination[length] = 0;
}
