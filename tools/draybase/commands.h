// The commands of draybase, the sysop's companion tool. Each command lives
// in its own file and is listed in the table of main.cc.
//
// A command gets the arguments after its name, prints on standard output
// (errors on standard error) and returns the process's exit status: 0 on
// success, 1 when the work failed, 2 for a usage error.

#ifndef DRAYBASE_COMMANDS_H_
#define DRAYBASE_COMMANDS_H_

#include <span>
#include <string>

namespace draybase {

using CommandArgs = std::span<const std::string>;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// newboard DIR: writes a sample board into DIR (newboard.cc).
int RunNewBoard(CommandArgs args);
// dump BASE: the fields of a JAM base's files, BASE without extension
// (dump.cc).
int RunDump(CommandArgs args);

// Reading and changing the messages of a base (BASE is a path without
// extension; the library recognises its format from the files there).
// Each accepts --json.
// list BASE: one line per message (list_command.cc).
int RunList(CommandArgs args);
// show BASE NUM [--width W]: a message's header and text (show_command.cc).
int RunShow(CommandArgs args);
// mail BASE NAME [ALIAS]: the unreceived mail of a user (list_command.cc).
int RunMail(CommandArgs args);
// delete BASE NUM (change_commands.cc).
int RunDelete(CommandArgs args);
// lastread BASE USER [NUM]: a user's last-read pointer, or set it
// (change_commands.cc).
int RunLastRead(CommandArgs args);
// check BASE... [--json]: whether each base keeps its format's rules
// (check_command.cc).
int RunCheck(CommandArgs args);
// repair BASE [--no-backup]: a damaged base made sound again, after a
// backup of its files (repair_command.cc).
int RunRepair(CommandArgs args);
// export/import/convert: whole messages out of a base and into one
// (export_command.cc, import_command.cc, convert_command.cc).
int RunExport(CommandArgs args);
int RunImport(CommandArgs args);
int RunConvert(CommandArgs args);
// pack/purge/link BASE|--board DIR: packing, purging and relinking in
// place, in short steps under the lock (pack_command.cc, purge_command.cc,
// link_command.cc; maintenance_run.h).
int RunPack(CommandArgs args);
int RunPurge(CommandArgs args);
int RunLink(CommandArgs args);

}  // namespace draybase

#endif  // DRAYBASE_COMMANDS_H_
