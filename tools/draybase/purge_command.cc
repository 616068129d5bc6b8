// draybase purge: the limits come from the options, or with --board from
// each base's record (MaxMsgs, MaxAge), or from a Squish base itself.

#include "draybase/maintenance_run.h"
#include "draybase/signal_hold.h"

namespace draybase {

int RunPurge(CommandArgs args) {
  MaintenanceArgs a;
  if (!ParseMaintenanceArgs("purge", args, kTakesPurgeLimits, &a)) return kExitUsage;
  return RunMaintenance("purge", a, [&](const std::string& path,
                                        const drayline::MessageBaseRecord* record,
                                        const drayline::ProgressFn& progress) {
    drayline::PurgeOptions options;
    options.max_age_days = a.max_age;
    options.max_msgs = a.max_msgs;
    options.keep_unreceived = a.keep_unreceived;
    options.dry_run = a.dry_run;
    options.progress = progress;
    options.change = ProcessChangeOptions();
    if (record != nullptr && !a.max_age && !a.max_msgs) {
      options.use_base_limits = false;
      if (record->MaxAge == 0 && record->MaxMsgs == 0) {
        drayline::MaintenanceReport left_alone;
        left_alone.base = path;
        left_alone.note = "no MaxMsgs or MaxAge in mbases.dat: left alone";
        return left_alone;
      }
      options.max_age_days = record->MaxAge;
      options.max_msgs = record->MaxMsgs;
    }
    return drayline::PurgeBase(path, options);
  });
}

}  // namespace draybase
