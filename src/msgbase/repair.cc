// Repairing a base: a check first (a sound base is left alone), then the
// format's repair under the lock with the backup made once the lock is
// held, then a check of the result.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/check.h"
#include "jam/jam_format.h"
#include "jam/jam_repair.h"
#include "msgbase/check_internal.h"
#include "msgbase/factory.h"
#include "msgbase/repair_internal.h"
#include "squish/squish_format.h"
#include "squish/squish_repair.h"
#include "support/file_access.h"
#include "support/journal.h"

namespace drayline {
namespace {

constexpr size_t kCopyChunk = size_t{1} << 20;

// The files a base of the format may have, by extension.
std::vector<std::string_view> Extensions(BaseFormat format) {
  if (format == BaseFormat::kJam) {
    return {jam::kHeaderExt, jam::kTextExt, jam::kIndexExt, jam::kLastReadExt};
  }
  return {squish::kDataExt, squish::kIndexExt, squish::kLastReadExt};
}

// "YYYYMMDDhhmmss".
std::string Stamp(const DateTimeRecord& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u", unsigned{t.Year},
                unsigned{t.Month}, unsigned{t.Day}, unsigned{t.Hour}, unsigned{t.Minute},
                unsigned{t.Second});
  return text;
}

Status CopyFile(Env* env, const std::string& from, const std::string& to) {
  std::unique_ptr<File> in, out;
  IoResult r = RetryOpen(env, from, OpenMode::kReadOnly, &in);
  if (r != io::kOk) return Status::FromIo(r, "reading " + from);
  r = RetryOpen(env, to, OpenMode::kCreateExclusive, &out);
  uint64_t size = 0;
  if (r == io::kOk) r = in->Size(&size);
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(size, kCopyChunk)));
  for (uint64_t at = 0; r == io::kOk && at < size; at += chunk.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - at));
    r = ReadExact(*in, at, std::span(chunk.data(), n));
    if (r == io::kOk) r = RetryWrite(*out, at, std::span(chunk.data(), n));
  }
  if (r == io::kOk) r = out->Close();
  return Status::FromIo(r, "copying " + from + " to " + to);
}

// Copies every file of the base (and a pending journal) into a new
// directory beside it; *dir receives its path.
Status MakeBackup(Env* env, std::string_view path, BaseFormat format, std::string* dir) {
  const size_t slash = path.rfind('/');
  const std::string parent(slash == std::string_view::npos ? "" : path.substr(0, slash + 1));
  const std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
  *dir = parent + name + "-backup-" + Stamp(env->LocalNow());
  if (IoResult r = env->CreateDir(*dir); r != io::kOk) {
    return Status::FromIo(r, "making the backup directory " + *dir);
  }
  std::vector<std::string_view> extensions = Extensions(format);
  extensions.push_back(kJournalSuffix);
  for (std::string_view ext : extensions) {
    const std::string from = std::string(path) + std::string(ext);
    if (!env->Exists(from)) continue;
    if (Status s = CopyFile(env, from, *dir + "/" + name + std::string(ext)); !s.ok()) {
      return s;
    }
  }
  return Status::Ok();
}

// A change cut short is rolled back before anything else is looked at, so
// that the repair starts from the base as it was before that change.
Status ApplyPendingJournal(Env* env, std::string_view path, BaseFormat format) {
  const std::string journal = std::string(path) + std::string(kJournalSuffix);
  if (!env->Exists(journal)) return Status::Ok();
  const std::string guard_name = std::string(path) + std::string(Extensions(format).front());
  std::unique_ptr<File> guard;
  if (IoResult r = env->Open(guard_name, OpenMode::kReadWrite | OpenMode::kNoFollow, &guard); r != io::kOk) {
    return OpenFailure(r, guard_name);
  }
  bool pending = false;
  Status s = RecoverIfPending(env, journal, *guard, /*sync=*/false, &pending);
  if (s.ok() && pending) s = Status::Locked();
  return s;
}

}  // namespace

Status RepairWriter::Put(File& file, uint64_t offset, std::span<const uint8_t> now,
                         std::span<const uint8_t> old) {
  const size_t common = std::min(now.size(), old.size());
  size_t first = 0;
  while (first < common && now[first] == old[first]) ++first;
  if (first == now.size()) return Status::Ok();
  size_t last = now.size();
  if (now.size() <= old.size()) {
    while (last > first && now[last - 1] == old[last - 1]) --last;
  }
  changed_ = true;
  return change_.Overwrite(file, offset + first, now.subspan(first, last - first),
                           old.subspan(first, std::min(last, old.size()) - first));
}

Status RepairWriter::Cut(File& file, uint64_t size, std::span<const uint8_t> old) {
  if (size >= old.size()) return Status::Ok();
  changed_ = true;
  return change_.Truncate(file, size, old.subspan(static_cast<size_t>(size)));
}

Status RepairWriter::Replace(File& file, std::span<const uint8_t> now,
                             std::span<const uint8_t> old) {
  Status s = Put(file, 0, now, old.first(std::min(now.size(), old.size())));
  return s.ok() ? Cut(file, now.size(), old) : s;
}

Status RepairUnderLock(Env* env, const std::string& guard_name, const RepairJournal& journal,
                       std::unique_ptr<File>* guard, const BeforeRepair& before,
                       const std::function<Status(RepairWriter&)>& body, bool* changed) {
  *changed = false;
  Status s = Status::FromIo(RetryOpen(env, guard_name, OpenMode::kReadWrite, guard),
                            "opening " + guard_name);
  // The change keeps a pointer to its setup: declared first, it outlives it.
  ChangeSetup setup;
  setup.journal = journal.path;
  setup.fingerprint_size = journal.fingerprint_size;
  setup.options = journal.options;
  if (s.ok()) setup.files = {{guard->get(), guard_name}};
  std::unique_ptr<Change> change;
  if (s.ok()) s = Change::Begin(env, **guard, &setup, &change);
  if (s.ok()) s = before();
  if (!s.ok()) return s;
  RepairWriter writer(*change);
  s = body(writer);
  if (s.ok()) s = change->Commit();
  *changed = s.ok() && writer.changed();
  return s;
}

Status OpenForRepair(Env* env, const std::string& name, bool create,
                     std::unique_ptr<File>* file) {
  if (!create && !env->Exists(name)) return Status::Ok();
  const OpenMode mode = create ? OpenMode::kOpenOrCreate : OpenMode::kReadWrite;
  return Status::FromIo(RetryOpen(env, name, mode, file), "opening " + name);
}

Status ReadWholeFile(File& file, const std::string& name, uint64_t limit,
                     std::vector<uint8_t>* out) {
  uint64_t size = 0;
  IoResult r = file.Size(&size);
  if (r == io::kOk && size > limit) {
    return Status::Damaged(name + " is larger than its format's offsets reach");
  }
  if (r == io::kOk) {
    out->resize(static_cast<size_t>(size));
    r = ReadExact(file, 0, *out);
  }
  return Status::FromIo(r, "reading " + name);
}

RepairReport RepairBase(Env* env, std::string_view path, const RepairOptions& options) {
  RepairReport report;
  report.base = std::string(path);
  BaseFormat format = BaseFormat::kJam;
  report.status = DetectBaseFormat(env, path, &format);
  if (!report.status.ok()) return report;
  report.format = format;
  report.status = ApplyPendingJournal(env, path, format);
  if (!report.status.ok()) return report;
  if (CheckBase(env, path).sound()) {
    report.was_sound = true;
    return report;
  }
  const BeforeRepair backup = [&] {
    return options.backup ? MakeBackup(env, path, format, &report.backup_dir) : Status::Ok();
  };
  report.status = format == BaseFormat::kJam ? jam::RepairJam(env, path, options.change, backup, &report)
                                             : squish::RepairSquish(env, path, options.change, backup, &report);
  if (!report.status.ok()) return report;
  const CheckReport after = CheckBase(env, path);
  if (!after.status.ok()) {
    report.status = after.status;
  } else if (!after.problems.empty()) {
    const Problem& p = after.problems.front();
    report.status = Status::Damaged("still not sound after the repair: " + p.file +
                                    (p.offset >= 0 ? " offset " + std::to_string(p.offset) : "") +
                                    ": " + p.problem);
  }
  return report;
}

RepairReport RepairBase(std::string_view path, const RepairOptions& options) {
  return RepairBase(Env::Default(), path, options);
}

}  // namespace drayline
