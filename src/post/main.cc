// drayline: posts one message into one message base of the board.
// See posting_command.h for the run and its exit statuses, and
// post_signals.h for how a signal ends it. No stream library: the output
// goes through the file layer, and the program starts without its set-up.

#include <string>
#include <vector>

#include "post_signals.h"
#include "posting_command.h"

int main(int argc, char** argv) {
  drayline::PostSignals signals;
  std::vector<std::string> args(argv + 1, argv + argc);
  return drayline::RunPostingCommand(args, &signals);
}
