// draybase pack, purge and link: each parses its options and hands every
// base to the library (drayline/maintenance.h) through RunMaintenance.

#include "draybase/maintenance_run.h"
#include "draybase/signal_hold.h"

namespace draybase {

int RunPack(CommandArgs args) {
  MaintenanceArgs a;
  if (!ParseMaintenanceArgs("pack", args, kTakesRenumber, &a)) return kExitUsage;
  return RunMaintenance("pack", a, [&](const std::string& path, const drayline::MessageBaseRecord*,
                                       const drayline::ProgressFn& progress) {
    drayline::PackOptions options;
    options.renumber = a.renumber;
    options.dry_run = a.dry_run;
    options.progress = progress;
    options.change = ProcessChangeOptions();
    return drayline::PackBase(path, options);
  });
}

}  // namespace draybase
