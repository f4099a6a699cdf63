// One member to one file (being written).
#include "engine/extract.h"

CentralHeader currentHeader;
PlatformHandle outputHandle = kNoHandle;
uint32_t bytesWritten = 0;
