// draybase: the sysop's companion tool for the board's message bases.
//
//   draybase COMMAND ARGS...
//
// Commands are listed in kCommands; each is a function of commands.h.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "draybase/commands.h"
#include "draybase/output.h"
#include "draybase/signal_hold.h"
#include "drayline/version.h"

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
    {"list", "BASE [--charset NAME] [--json]", "one line per message of a base",
     RunList},
    {"show", "BASE NUM [--width W] [--charset NAME] [--json]",
     "a message's header and text, lines at most W wide (79)", RunShow},
    {"mail", "BASE NAME [ALIAS] [--charset NAME] [--json]",
     "the messages a user has not received", RunMail},
    {"delete", "BASE NUM [--json]", "delete a message", RunDelete},
    {"lastread", "BASE USER [NUM] [--json]",
     "show a user's last-read pointer, or set it to NUM", RunLastRead},
    {"check", "BASE... [--json]",
     "verify every structural rule of each base (exit 1 when one is damaged)",
     RunCheck},
    {"repair", "BASE [--no-backup]",
     "bring a damaged base back to a sound one, after a backup beside it", RunRepair},
    {"export", "BASE [--format json|text] [--charset NAME]", "every message, whole, one JSON object a line", RunExport},
    {"import", "BASE FILE [--to jam|squish] [--lossy]", "store an export's messages into BASE as new ones", RunImport},
    {"convert", "SRC DST --to jam|squish [--lossy]", "a new base DST with every message of SRC", RunConvert},
    {"pack", "BASE|--board DIR [--renumber] [--dry-run] [--json]", "remove deleted messages and reclaim their space, in place; first stop programs that keep file offsets across the lock or take no lock", RunPack},
    {"purge", "BASE|--board DIR [--max-age DAYS] [--max-msgs N] [--keep-unreceived] [--dry-run] [--json]", "delete old and surplus messages, then pack (stop the same programs first)", RunPurge},
    {"link", "BASE|--board DIR [--dry-run] [--json]", "rebuild reply links from MSGID/REPLY and subjects", RunLink},
};

// The list of commands, on out; answers status.
int Usage(TextOut& out, int status) {
  out << "usage: draybase COMMAND ARGS...\n\ncommands:\n";
  for (const Command& command : kCommands) {
    out << "  " << command.name << " " << command.usage << "\n      " << command.help << "\n";
  }
  out << "\nBASE is a message base's path without extension; list, show,\n"
         "mail, delete and lastread serve JAM and Squish bases alike.\n"
         "A valued option is given as --width 40 or --width=40; -- ends the options.\n"
         "list, show and mail take --charset NAME (CP437, CP850, CP866, LATIN-1,\n"
         "ISO-8859-5, UTF-8, raw); by default each message's CHRS line, else CP437.\n"
         "--sync flushes every change to the disk. pack, purge, link, import and\n"
         "convert first check that the disk has room for what they write.\n";
  return status;
}

// Whether args ask for help: --help before any "--".
bool AsksForHelp(CommandArgs args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--help") return true;
  }
  return false;
}

int Dispatch(std::string_view name, CommandArgs args) {
  if (name == "--version") {
    Out() << "draybase " << drayline::kVersion << "\n";
    return kExitOk;
  }
  if (name == "--help" || name == "help") return Usage(Out(), kExitOk);
  for (const Command& command : kCommands) {
    if (command.name != name) continue;
    if (!AsksForHelp(args)) return command.run(args);
    Out() << "usage: draybase " << command.name << " " << command.usage << "\n  "
              << command.help << "\n";
    return kExitOk;
  }
  Err() << "draybase: unknown command " << name << "\n";
  return Usage(Err(), kExitUsage);
}

}  // namespace
}  // namespace draybase

int main(int argc, char** argv) {
  using namespace draybase;
  ProcessSignalHold();  // before any change: SIGXFSZ is ignored from here on
  // --sync before the command or among its options (not after "--")
  // applies to every change the command makes.
  std::vector<std::string> all(argv + 1, argv + argc);
  const auto options_end = std::find(all.begin(), all.end(), "--");
  const auto sync_end = std::remove(all.begin(), options_end, "--sync");
  if (sync_end != options_end) {
    ProcessChangeOptions().sync = true;
    all.erase(sync_end, options_end);
  }
  if (all.empty()) return Usage(Err(), kExitUsage);
  const std::vector<std::string> args(all.begin() + 1, all.end());
  return FinishOutput(Dispatch(all.front(), args));
}
