// The subcommands of the zarvel tool. Each returns the process exit status:
// 0 when everything succeeded, non-zero when anything failed.
#pragma once

int PackCommand(int argc, char** argv);
int ListCommand(int argc, char** argv);
int TestCommand(int argc, char** argv);
int ExtractCommand(int argc, char** argv);
int InfoCommand(int argc, char** argv);
