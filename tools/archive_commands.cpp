// zarvel list, test, extract and info (being written).
#include <stdio.h>

#include "tools/commands.h"

static int NotYet(const char* name) {
  fprintf(stderr, "zarvel %s: not available yet\n", name);
  return 2;
}
int ListCommand(int, char**) { return NotYet("list"); }
int TestCommand(int, char**) { return NotYet("test"); }
int ExtractCommand(int, char**) { return NotYet("extract"); }
int InfoCommand(int, char**) { return NotYet("info"); }
