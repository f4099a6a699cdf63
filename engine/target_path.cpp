// Target paths and directory creation (being written).
#include "engine/extract.h"

char outputBaseDirectory[kDirectoryCapacity];
