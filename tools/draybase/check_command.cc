// draybase check BASE... [--json]: whether each base keeps every
// structural rule of its format, and where it does not.
//
// Plain text, one line each:
//   BASE: FILE offset N message M: PROBLEM   (offset, message when known)
//   BASE: note: NOTE
//   BASE: sound (N messages)
//   BASE: cannot be checked: WHY
// --json prints one array with one object per base, whatever the outcome.
// Exit status 0 when every base is sound, 1 when one is damaged or cannot
// be read, 2 for a usage error.

#include "draybase/output.h"
#include <string>
#include <vector>

#include "draybase/arguments.h"
#include "draybase/commands.h"
#include "draybase/json.h"
#include "drayline/check.h"

namespace draybase {
namespace {

using drayline::CheckReport;
using drayline::Problem;

std::string ProblemLine(const std::string& base, const Problem& p) {
  std::string line = base + ": ";
  if (!p.file.empty()) {
    line += p.file;
    if (p.offset >= 0) line += " offset " + std::to_string(p.offset);
    if (p.message >= 0) line += " message " + std::to_string(p.message);
    line += ": ";
  }
  return line + p.problem;
}

void PrintText(const CheckReport& r) {
  if (!r.status.ok()) {
    Out() << r.base << ": cannot be checked: " << r.status.text() << "\n";
    return;
  }
  for (const Problem& p : r.problems) Out() << ProblemLine(r.base, p) << "\n";
  for (const std::string& note : r.notes)
    Out() << r.base << ": note: " << note << "\n";
  if (r.sound()) {
    Out() << r.base << ": sound (" << r.messages
              << (r.messages == 1 ? " message)\n" : " messages)\n");
  }
}

// A number, or null for the -1 of "does not apply".
std::string NumberOrNull(int64_t n) { return n < 0 ? "null" : std::to_string(n); }

std::string InlineArray(const std::vector<std::string>& elements) {
  std::string out = "[";
  for (size_t i = 0; i < elements.size(); ++i) {
    out += (i > 0 ? ", " : "") + elements[i];
  }
  return out + "]";
}

std::string ReportJson(const CheckReport& r) {
  std::vector<std::string> problems, notes;
  for (const Problem& p : r.problems) {
    problems.push_back(JsonObject()
                           .AddString("file", p.file)
                           .AddRaw("offset", NumberOrNull(p.offset))
                           .AddRaw("message", NumberOrNull(p.message))
                           .AddString("problem", p.problem)
                           .str());
  }
  for (const std::string& note : r.notes) notes.push_back(JsonString(note));
  const char* format = !r.format.has_value()                     ? "null"
                       : *r.format == drayline::BaseFormat::kJam ? "\"jam\""
                                                                 : "\"squish\"";
  JsonObject object;
  object.AddString("base", r.base)
      .AddRaw("format", format)
      .AddNumber("messages", r.messages)
      .AddRaw("problems", InlineArray(problems))
      .AddRaw("notes", InlineArray(notes));
  if (!r.status.ok()) object.AddString("error", r.status.text());
  return object.str();
}

}  // namespace

int RunCheck(CommandArgs args) {
  Arguments a;
  if (!ParseArguments("check", args, 1, SIZE_MAX, 0, &a)) return kExitUsage;
  const bool json = a.json;
  const std::vector<std::string>& bases = a.positional;
  int status = kExitOk;
  std::vector<std::string> objects;
  for (const std::string& base : bases) {
    const CheckReport report = drayline::CheckBase(base);
    if (!report.sound()) status = kExitFailed;
    if (json) {
      objects.push_back(ReportJson(report));
    } else {
      PrintText(report);
    }
  }
  if (json) Out() << JsonArray(objects) << "\n";
  return status;
}

}  // namespace draybase
