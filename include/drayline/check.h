// Checking a message base: every structural rule of its format, verified
// from the bytes of its files, without writing anything.
//
//   drayline::CheckReport r = drayline::CheckBase("msgs/general");
//   if (!r.status.ok()) std::cerr << r.base << ": " << r.status.text() << "\n";
//   for (const drayline::Problem& p : r.problems) std::cerr << p.problem << "\n";
//   return r.sound() ? 0 : 1;
//
// The base is read without its lock, so that a check never holds up the
// board. When that reading finds problems, the check takes the lock on
// byte 0 of the header file (the ".jhr" or the ".sqd"; for about a second
// at most) and reads again the bytes that each problem was found in: only
// problems still there are reported, so that a base that another program
// was changing under its lock is not called damaged.

#ifndef DRAYLINE_CHECK_H_
#define DRAYLINE_CHECK_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/message_base.h"
#include "drayline/status.h"

namespace drayline {

// One broken rule, and where: the file's name (without its directory), the
// byte offset of the record or field in it, and the message it belongs to
// (JAM: the message number; Squish: the message's Uid). offset and message
// are -1 when they do not apply.
struct Problem {
  std::string file;
  int64_t offset = -1;
  int64_t message = -1;
  std::string problem;
  bool operator==(const Problem&) const = default;
};

struct CheckReport {
  std::string base;                  // the path as given
  std::optional<BaseFormat> format;  // empty when no base was recognised
  int64_t messages = 0;              // JAM: live messages; Squish: entries
  std::vector<Problem> problems;     // by file name, then offset
  // Facts that break no rule (a JAM user with two last-read records), and
  // why problems could not be read again under the lock.
  std::vector<std::string> notes;
  // Whether the check could be made at all: kNotFound when the path names
  // no base, kInvalidArgument when it names one of each format, the
  // failure of a file step when a file could not be read, kLocked when the
  // base changed each time it was read. When not ok, problems is empty.
  Status status;

  bool sound() const { return status.ok() && problems.empty(); }
};

// Checks the base at path (without extension). Its format is the one whose
// header file exists: ".jhr" JAM, ".sqd" Squish.
CheckReport CheckBase(std::string_view path);

// The name of the file that records a change while it is being made
// (path + this suffix); its presence means that a change was cut short.
inline constexpr std::string_view kJournalSuffix = ".drayjournal";

}  // namespace drayline

#endif  // DRAYLINE_CHECK_H_
