// drayline: posts one message into one message base of the board.
// See posting_command.h for the run and its exit statuses.

#include <signal.h>

#include <iostream>
#include <string>
#include <vector>

#include "posting_command.h"

int main(int argc, char** argv) {
  // A file size limit set by the sysop's shell must make a write fail (and
  // the store roll back), not kill the process in the middle of a store.
  signal(SIGXFSZ, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  return drayline::RunPostingCommand(args, std::cout);
}
