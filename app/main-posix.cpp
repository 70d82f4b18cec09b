// The Linux program: the command-line batch only (there is no dialog here, so
// without arguments it shows the help and ends with code 2).
#include "cli/run_command_line.h"
#include "engine/machine.h"

int main(int argc, char** argv) {
  ReturnLargeBlocksToTheSystem();
  return RunCommandLine(argc, argv);
}
