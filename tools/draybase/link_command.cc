// draybase link: rebuilds the reply links of a base, or of every base of
// a board.

#include "draybase/maintenance_run.h"
#include "draybase/signal_hold.h"

namespace draybase {

int RunLink(CommandArgs args) {
  MaintenanceArgs a;
  if (!ParseMaintenanceArgs("link", args, 0, &a)) return kExitUsage;
  return RunMaintenance("link", a, [&](const std::string& path, const drayline::MessageBaseRecord*,
                                       const drayline::ProgressFn& progress) {
    drayline::LinkOptions options;
    options.dry_run = a.dry_run;
    options.progress = progress;
    options.change = ProcessChangeOptions();
    return drayline::LinkBase(path, options);
  });
}

}  // namespace draybase
