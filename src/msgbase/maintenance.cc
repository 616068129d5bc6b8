// PackBase, PurgeBase and LinkBase: the base is recognised and checked
// once here, then each format's code does the work.

#include <algorithm>
#include <vector>

#include "jam/jam_pack.h"
#include "msgbase/check_internal.h"
#include "msgbase/factory.h"
#include "msgbase/maintenance_internal.h"
#include "squish/squish_pack.h"
#include "support/clock.h"
#include "support/journal.h"

namespace drayline {

namespace {

// The report of a run about to start: the format found, the room it
// needs, and a status that refuses a base that is not there or not sound,
// or (unless a dry run) one whose disk lacks the room.
MaintenanceReport Start(Env* env, std::string_view path, const StepLimits& limits,
                        bool dry_run) {
  MaintenanceReport report;
  report.base = std::string(path);
  BaseFormat format = BaseFormat::kJam;
  report.status = DetectBaseFormat(env, path, &format);
  if (!report.status.ok()) return report;
  report.format = format;
  report.room_needed = MaintenanceRoom(env, path, format, limits);
  if (!dry_run) report.status = CheckRoom(env, path, report.room_needed);
  if (!report.status.ok() || !limits.check_first) return report;
  const CheckReport check = CheckBase(env, path);
  if (!check.status.ok()) {
    report.status = check.status;
  } else if (!check.sound()) {
    report.status = Status::Damaged(
        "the base is damaged (" + std::to_string(check.problems.size()) +
        " problems); see draybase check " + std::string(path) + ", then draybase repair " +
        std::string(path));
  }
  return report;
}

bool IsJam(const MaintenanceReport& r) { return r.format == BaseFormat::kJam; }

Status Pack(Env* env, std::string_view path, const PackOptions& options,
            const StepLimits& limits, const std::vector<uint32_t>& removed,
            MaintenanceReport* report) {
  return IsJam(*report) ? jam::PackJam(env, path, options, limits, report)
                        : squish::PackSquish(env, path, options, limits, removed, report);
}

int64_t Today(Env* env) {
  const DateTimeRecord now = env->LocalNow();
  return DayNumber(now.Year, now.Month, now.Day);
}

uint64_t FileSize(Env* env, const std::string& name) {
  uint64_t size = 0;
  return env->GetFileSize(name, &size) == io::kOk ? size : 0;
}

}  // namespace

uint64_t MaintenanceRoom(Env* env, std::string_view path, BaseFormat format,
                         const StepLimits& limits) {
  const std::string base(path);
  const bool jam = format == BaseFormat::kJam;
  // The last-read file is rewritten whole in one step.
  const uint64_t last_read = FileSize(env, base + (jam ? ".jlr" : ".sql"));
  uint64_t whole = last_read;
  for (const char* ext : jam ? std::vector<const char*>{".jhr", ".jdt", ".jdx"}
                             : std::vector<const char*>{".sqd", ".sqi"}) {
    whole += FileSize(env, base + ext);
  }
  return std::min(whole, 4 * limits.bytes + last_read) + kJournalSlack;
}

Status CheckRoom(Env* env, std::string_view path, uint64_t bytes) {
  if (bytes == 0) return Status::Ok();
  uint64_t free = 0;
  if (env->FreeSpace(DirectoryOf(std::string(path)), &free) != io::kOk || free >= bytes) {
    return Status::Ok();
  }
  return Status(StatusCode::kWriteFailed, io::kDiskWriteError,
                "no room on the disk: the run needs " + std::to_string(bytes) +
                    " bytes free (journal included) and the disk has " +
                    std::to_string(free) + "; nothing was changed");
}

MaintenanceReport PackBase(Env* env, std::string_view path, const PackOptions& options,
                           const StepLimits& limits) {
  MaintenanceReport report = Start(env, path, limits, options.dry_run);
  if (report.status.ok()) report.status = Pack(env, path, options, limits, {}, &report);
  return report;
}

MaintenanceReport PurgeBase(Env* env, std::string_view path, const PurgeOptions& options,
                            const StepLimits& limits) {
  MaintenanceReport report = Start(env, path, limits, options.dry_run);
  if (!report.status.ok()) return report;
  std::vector<PurgeCandidate> candidates;
  squish::SquishLimits own;
  Status s = IsJam(report) ? jam::ListJamForPurge(env, path, &candidates)
                           : squish::ListSquishForPurge(env, path, &candidates, &own);
  uint32_t max_age = options.max_age_days.value_or(0);
  uint32_t max_msgs = options.max_msgs.value_or(0);
  if (!options.max_age_days && !options.max_msgs && options.use_base_limits) {
    max_age = own.keep_days;  // JAM keeps no limits: both stay 0
    max_msgs = own.max_messages;
  }
  const std::vector<uint32_t> purged =
      SelectPurged(candidates, Today(env), max_age, max_msgs, options.keep_unreceived,
                   own.protected_count);
  PackOptions pack;
  pack.dry_run = options.dry_run;
  pack.progress = options.progress;
  pack.change = options.change;
  if (s.ok() && options.dry_run) {
    report.purged = static_cast<int64_t>(purged.size());
  } else if (s.ok() && !purged.empty()) {
    s = IsJam(report)
            ? jam::DeleteJamMessages(env, path, purged, limits, options.change, &report.purged)
            : squish::DeleteSquishMessages(env, path, purged, limits, options.change,
                                           &report.purged);
  }
  if (s.ok()) s = Pack(env, path, pack, limits, purged, &report);
  // A dry run's pack saw the purged messages still there.
  if (options.dry_run) report.kept -= report.purged;
  report.removed = std::max(report.removed, report.purged);
  report.status = s;
  return report;
}

MaintenanceReport LinkBase(Env* env, std::string_view path, const LinkOptions& options,
                           const StepLimits& limits) {
  MaintenanceReport report = Start(env, path, limits, options.dry_run);
  if (!report.status.ok()) return report;
  report.status = IsJam(report) ? jam::LinkJam(env, path, options, limits, &report)
                                : squish::LinkSquish(env, path, options, limits, &report);
  return report;
}

MaintenanceReport PackBase(std::string_view path, const PackOptions& options) {
  return PackBase(Env::Default(), path, options);
}
MaintenanceReport PurgeBase(std::string_view path, const PurgeOptions& options) {
  return PurgeBase(Env::Default(), path, options);
}
MaintenanceReport LinkBase(std::string_view path, const LinkOptions& options) {
  return LinkBase(Env::Default(), path, options);
}

}  // namespace drayline
