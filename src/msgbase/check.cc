// Checking a base: one reading without the lock, then a second look under
// the lock at what the problems were found in. Both formats' checkers have
// the same shape (Open, Fingerprint, Scan, ReadAt, Lock, Unlock), so the
// procedure is written once over them.

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "jam/jam_check.h"
#include "msgbase/check_internal.h"
#include "msgbase/factory.h"
#include "squish/squish_check.h"

namespace drayline {
namespace {

// One reading of a base: what it found, the bytes each problem was found
// in, and the fingerprint taken before it began.
struct Reading {
  CheckReport report;
  std::vector<std::vector<uint8_t>> seen;
  std::vector<uint8_t> fingerprint;
  uint64_t unlisted = 0;  // problems past options.max_problems
};

template <class Checker>
Status ReadOnce(Checker& checker, const CheckOptions& options, Reading* reading) {
  Status s = checker.Fingerprint(&reading->fingerprint);
  if (!s.ok()) return s;
  const auto sink = [&](Problem problem, std::span<const uint8_t> seen) {
    if (reading->report.problems.size() >= options.max_problems) {
      ++reading->unlisted;
      return;
    }
    reading->report.problems.push_back(std::move(problem));
    reading->seen.emplace_back(seen.begin(), seen.end());
  };
  return checker.Scan(sink, &reading->report);
}

// Takes the lock, retrying while another program holds it, for at most
// options.lock_wait_ms.
template <class Checker>
IoResult LockWithin(Env* env, Checker& checker, const CheckOptions& options) {
  for (unsigned waited = 0;; waited += options.lock_retry_ms) {
    const IoResult r = checker.Lock();
    if (r != io::kLockViolation || waited >= options.lock_wait_ms) return r;
    env->SleepMs(options.lock_retry_ms);
  }
}

// Under the lock: true when the fingerprint and the bytes of every problem
// read as the reading saw them. A read that fails counts as a change (the
// next reading will meet the failure and report it).
template <class Checker>
bool Unchanged(Checker& checker, const Reading& reading) {
  std::vector<uint8_t> now;
  if (!checker.Fingerprint(&now).ok() || now != reading.fingerprint) return false;
  for (size_t i = 0; i < reading.seen.size(); ++i) {
    const std::vector<uint8_t>& seen = reading.seen[i];
    if (seen.empty()) continue;
    const Problem& p = reading.report.problems[i];
    std::vector<uint8_t> bytes(seen.size());
    if (!checker.ReadAt(p.file, static_cast<uint64_t>(p.offset), bytes).ok() ||
        bytes != seen) {
      return false;
    }
  }
  return true;
}

enum class SecondLook { kStillThere, kChanged, kNotLocked };

// The second look: kNotLocked (with a note saying why) when the lock could
// not be had; the problems then stand as read.
template <class Checker>
SecondLook LookAgain(Env* env, Checker& checker, const CheckOptions& options,
                     Reading* reading) {
  const char* why = nullptr;
  IoResult r = io::kOk;
  if (!checker.lockable()) {
    why = "its header file is read-only for this user";
  } else if (r = LockWithin(env, checker, options); r == io::kLockViolation) {
    why = "another program held its lock all along";
  } else if (r != io::kOk) {
    why = "its lock could not be taken";
  }
  if (why != nullptr) {
    reading->report.notes.push_back(std::string("the problems were not read again under "
                                                "the base's lock: ") +
                                    why);
    return SecondLook::kNotLocked;
  }
  const bool same = Unchanged(checker, *reading);
  checker.Unlock();
  return same ? SecondLook::kStillThere : SecondLook::kChanged;
}

// The report of a reading that stands: problems in file and offset order,
// then the count of those not listed.
CheckReport Finish(CheckReport head, Reading& reading) {
  std::vector<Problem>& problems = reading.report.problems;
  std::stable_sort(problems.begin(), problems.end(),
                   [](const Problem& a, const Problem& b) {
                     return std::tie(a.file, a.offset, a.message) <
                            std::tie(b.file, b.offset, b.message);
                   });
  if (reading.unlisted > 0) {
    problems.push_back(
        {"", -1, -1, std::to_string(reading.unlisted) + " more problems not listed"});
  }
  head.messages = reading.report.messages;
  head.problems = std::move(problems);
  head.notes = std::move(reading.report.notes);
  return head;
}

template <class Checker>
CheckReport Run(Env* env, std::string_view path, BaseFormat format,
                const CheckOptions& options) {
  CheckReport report;
  report.base = std::string(path);
  report.format = format;
  std::unique_ptr<Checker> checker;
  report.status = Checker::Open(env, path, &checker);
  for (int attempt = 0; report.status.ok() && attempt < options.attempts; ++attempt) {
    Reading reading;
    report.status = ReadOnce(*checker, options, &reading);
    if (!report.status.ok()) break;
    if (reading.report.problems.empty() && reading.unlisted == 0) {
      return Finish(std::move(report), reading);
    }
    if (LookAgain(env, *checker, options, &reading) != SecondLook::kChanged) {
      return Finish(std::move(report), reading);
    }
  }
  if (report.status.ok()) {
    report.status = Status(StatusCode::kLocked, io::kLockViolation,
                           "the base changed each time it was read; check it again");
  }
  return report;
}

}  // namespace

CheckReport CheckBase(Env* env, std::string_view path, const CheckOptions& options) {
  BaseFormat format = BaseFormat::kJam;
  if (Status s = DetectBaseFormat(env, path, &format); !s.ok()) {
    CheckReport report;
    report.base = std::string(path);
    report.status = s;
    return report;
  }
  return format == BaseFormat::kJam
             ? Run<jam::JamChecker>(env, path, format, options)
             : Run<squish::SquishChecker>(env, path, format, options);
}

CheckReport CheckBase(std::string_view path) { return CheckBase(Env::Default(), path); }

}  // namespace drayline
