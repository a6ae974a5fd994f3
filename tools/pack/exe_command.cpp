#include <cstdio>

#include "tools/pack/commands.h"

// Replaced by the resource-section writer; until then the subcommand says so plainly.
int run_exe_command(int, char**) {
  fprintf(stderr, "tavrin-pack: the exe subcommand is not available in this build\n");
  return 1;
}
