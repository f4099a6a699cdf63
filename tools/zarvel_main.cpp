// zarvel: makes and checks self-extractors. One binary, one subcommand per
// job, all on the same engine as the stub.
#include <stdio.h>
#include <string.h>

#include "tools/commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

const Command kCommands[] = {
    {"pack", PackCommand, "make a self-extractor from folders, files or a ZIP"},
    {"list", ListCommand, "list the members of a self-extractor or a ZIP"},
    {"test", TestCommand, "decode every member and check its CRC, writing nothing"},
    {"extract", ExtractCommand, "extract the members into a directory"},
    {"info", InfoCommand, "show the configuration block and a summary"},
};

void Usage(FILE* out) {
  fprintf(out, "usage: zarvel COMMAND [OPTIONS] ...\n\ncommands:\n");
  for (const Command& c : kCommands) fprintf(out, "  %-8s %s\n", c.name, c.summary);
  fprintf(out, "\n'zarvel COMMAND --help' describes each command.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
    Usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  for (const Command& c : kCommands) {
    if (strcmp(argv[1], c.name) == 0) return c.run(argc - 1, argv + 1);
  }
  fprintf(stderr, "zarvel: unknown command '%s'\n", argv[1]);
  Usage(stderr);
  return 2;
}
