// draybase repair BASE [--no-backup]: brings a damaged base back to a
// sound one and says what it kept, dropped and renumbered.
//
// Plain text, one line each:
//   BASE: sound, nothing to repair             (nothing written, no backup)
//   BASE: backup in DIR
//   BASE: fixed: WHAT                          (counters, chains, records)
//   BASE: kept: MESSAGE                        (or "kept N messages")
//   BASE: renumbered: MESSAGE: WHY
//   BASE: dropped: MESSAGE: WHY
//   BASE: repaired (N messages kept, M dropped)
//   BASE: not repaired: WHY
// Exit status 0 when the base is sound afterwards, 1 when it is not or the
// repair failed, 2 for a usage error (also a BASE that is neither format
// or both).

#include "draybase/output.h"
#include <string>
#include <vector>

#include "draybase/commands.h"
#include "draybase/signal_hold.h"
#include "drayline/repair.h"

namespace draybase {
namespace {

// Kept messages are listed one by one up to this many, else counted.
constexpr size_t kKeptListed = 20;

void PrintLines(const std::string& base, const char* what,
                const std::vector<std::string>& lines) {
  for (const std::string& line : lines) Out() << base << ": " << what << line << "\n";
}

int Report(const drayline::RepairReport& r) {
  if (r.was_sound) {
    Out() << r.base << ": sound, nothing to repair\n";
    return kExitOk;
  }
  if (!r.backup_dir.empty()) Out() << r.base << ": backup in " << r.backup_dir << "\n";
  PrintLines(r.base, "fixed: ", r.fixed);
  if (r.kept.size() <= kKeptListed) {
    PrintLines(r.base, "kept: ", r.kept);
  } else {
    Out() << r.base << ": kept " << r.kept.size() << " messages\n";
  }
  PrintLines(r.base, "renumbered: ", r.renumbered);
  PrintLines(r.base, "dropped: ", r.dropped);
  if (!r.status.ok()) {
    Out() << r.base << ": not repaired: " << r.status.text() << "\n";
    return kExitFailed;
  }
  Out() << r.base << ": repaired (" << r.kept.size() << " messages kept, "
            << r.dropped.size() << " dropped)\n";
  return kExitOk;
}

}  // namespace

int RunRepair(CommandArgs args) {
  drayline::RepairOptions options;
  options.change = ProcessChangeOptions();
  std::vector<std::string> bases;
  for (const std::string& arg : args) {
    if (arg == "--no-backup") {
      options.backup = false;
    } else if (arg.starts_with("--")) {
      Err() << "draybase repair: unknown option " << arg << "\n";
      return kExitUsage;
    } else {
      bases.push_back(arg);
    }
  }
  if (bases.size() != 1) {
    Err() << "draybase repair: give one base (draybase repair BASE [--no-backup])\n";
    return kExitUsage;
  }
  const drayline::RepairReport report = drayline::RepairBase(bases[0], options);
  if (!report.format.has_value()) {
    Err() << "draybase repair: " << bases[0] << ": " << report.status.text() << "\n";
    return kExitUsage;
  }
  return Report(report);
}

}  // namespace draybase
