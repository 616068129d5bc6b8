// What pack, purge and link share: their options, and running one of them
// over a base or over every base of a board, with progress on a terminal,
// one line (or one JSON object) per base and the exit status.

#ifndef DRAYBASE_MAINTENANCE_RUN_H_
#define DRAYBASE_MAINTENANCE_RUN_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "draybase/board_bases.h"
#include "draybase/commands.h"
#include "drayline/maintenance.h"

namespace draybase {

// The options a maintenance command takes beside --board, --dry-run and
// --json, as bits.
enum MaintenanceOptionBits : unsigned {
  kTakesRenumber = 1,        // --renumber
  kTakesPurgeLimits = 2,     // --max-age DAYS, --max-msgs N, --keep-unreceived
};

struct MaintenanceArgs {
  std::optional<std::string> base;   // BASE
  std::optional<std::string> board;  // --board DIR
  bool json = false, dry_run = false, renumber = false, keep_unreceived = false;
  std::optional<uint32_t> max_age, max_msgs;
};

// Fills *out from args: exactly one of BASE and --board DIR; valued
// options as "--max-age 30" or "--max-age=30". False (after a line on
// standard error) for anything else.
bool ParseMaintenanceArgs(std::string_view command, CommandArgs args, unsigned options,
                          MaintenanceArgs* out);

// Runs one base: path, its board record (null without --board) and the
// progress display to pass on.
using RunOne = std::function<drayline::MaintenanceReport(
    const std::string& path, const drayline::MessageBaseRecord* record,
    const drayline::ProgressFn& progress)>;

// Runs over the base or every base of the board and reports each: 0 when
// every run succeeded, 1 when one failed or was refused.
int RunMaintenance(std::string_view command, const MaintenanceArgs& args, const RunOne& run);

}  // namespace draybase

#endif  // DRAYBASE_MAINTENANCE_RUN_H_
