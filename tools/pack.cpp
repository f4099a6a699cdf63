// zarvel pack (being written).
#include <stdio.h>

#include "tools/commands.h"

int PackCommand(int, char**) {
  fprintf(stderr, "zarvel pack: not available yet\n");
  return 2;
}
