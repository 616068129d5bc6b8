// draybase: the sysop's companion tool for the board's message bases.
//
//   draybase COMMAND ARGS...
//
// Commands are listed in kCommands; each is a function of commands.h.

#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "draybase/commands.h"

namespace draybase {
namespace {

struct Command {
  std::string_view name;
  std::string_view usage;  // arguments, for the usage text
  std::string_view help;
  int (*run)(CommandArgs args);
};

constexpr Command kCommands[] = {
    {"newboard", "DIR", "write a sample board (tarvik.dat, data/mbases.dat)",
     RunNewBoard},
    {"dump", "BASE", "show the fields of a JAM base (BASE without extension)",
     RunDump},
    {"list", "BASE [--json]", "one line per message of a base", RunList},
    {"show", "BASE NUM [--width W] [--json]",
     "a message's header and text, lines at most W wide (79)", RunShow},
    {"mail", "BASE NAME [ALIAS] [--json]",
     "the messages a user has not received", RunMail},
    {"delete", "BASE NUM [--json]", "delete a message", RunDelete},
    {"lastread", "BASE USER [NUM] [--json]",
     "show a user's last-read pointer, or set it to NUM", RunLastRead},
    {"check", "BASE... [--json]",
     "verify every structural rule of each base (exit 1 when one is damaged)",
     RunCheck},
};

int Usage() {
  std::cerr << "usage: draybase COMMAND ARGS...\n\ncommands:\n";
  for (const Command& command : kCommands) {
    std::cerr << "  " << command.name << " " << command.usage << "\n      "
              << command.help << "\n";
  }
  std::cerr << "\nBASE is a message base's path without extension; list, show,\n"
               "mail, delete and lastread serve JAM and Squish bases alike.\n";
  return kExitUsage;
}

}  // namespace
}  // namespace draybase

int main(int argc, char** argv) {
  using namespace draybase;
  if (argc < 2) return Usage();
  const std::string_view name = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  for (const Command& command : kCommands) {
    if (command.name == name) return command.run(args);
  }
  std::cerr << "draybase: unknown command " << name << "\n";
  return Usage();
}
