#include "draybase/maintenance_run.h"

#include <unistd.h>

#include <algorithm>
#include "draybase/output.h"
#include <vector>

#include "draybase/arguments.h"
#include "draybase/json.h"

namespace draybase {

namespace {

// Takes the value of a valued option, from "--name=value" or the next
// argument; false when it has none.
bool TakeValue(CommandArgs args, size_t* i, std::string_view name, std::string* value) {
  const std::string_view arg = args[*i];
  if (arg.size() > name.size() && arg[name.size()] == '=') {
    *value = std::string(arg.substr(name.size() + 1));
    return true;
  }
  if (*i + 1 >= args.size()) return false;
  *value = args[++*i];
  return true;
}

bool Count(std::string_view command, std::string_view name, const std::string& text,
           std::optional<uint32_t>* out) {
  const std::optional<int32_t> n = ParseNumber(text);
  if (!n || *n < 0) {
    Err() << "draybase " << command << ": " << name << " takes a number of 0 or more\n";
    return false;
  }
  *out = static_cast<uint32_t>(*n);
  return true;
}

bool Named(std::string_view arg, std::string_view name) {
  return arg == name || (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=');
}

// One option at args[*i]; false (after a line) when it is not one command takes.
bool ParseOption(std::string_view command, CommandArgs args, size_t* i, unsigned options,
                 MaintenanceArgs* out) {
  const std::string_view arg = args[*i];
  const bool purge = (options & kTakesPurgeLimits) != 0;
  std::string value;
  if (arg == "--json") return out->json = true;
  if (arg == "--dry-run") return out->dry_run = true;
  if (arg == "--renumber" && (options & kTakesRenumber)) return out->renumber = true;
  if (arg == "--keep-unreceived" && purge) return out->keep_unreceived = true;
  if (Named(arg, "--board")) {
    if (!TakeValue(args, i, "--board", &value)) return false;
    out->board = value;
    return true;
  }
  for (const auto& [name, field] : {std::pair{"--max-age", &out->max_age},
                                    std::pair{"--max-msgs", &out->max_msgs}}) {
    if (purge && Named(arg, name)) {
      return TakeValue(args, i, name, &value) && Count(command, name, value, field);
    }
  }
  Err() << "draybase " << command << ": unknown option or missing value: " << arg << "\n";
  return false;
}

}  // namespace

bool ParseMaintenanceArgs(std::string_view command, CommandArgs args, unsigned options,
                          MaintenanceArgs* out) {
  std::vector<std::string> positional;
  bool only_positional = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (only_positional || !arg.starts_with("--")) {
      positional.push_back(arg);
    } else if (arg == "--") {
      only_positional = true;
    } else if (!ParseOption(command, args, &i, options, out)) {
      return false;
    }
  }
  if (positional.size() + (out->board ? 1 : 0) != 1) {
    Err() << "draybase " << command << ": give one BASE, or --board DIR\n";
    return false;
  }
  if (!positional.empty()) out->base = positional[0];
  return true;
}

namespace {

std::string Summary(const drayline::MaintenanceReport& r, bool dry_run) {
  if (!r.note.empty()) return r.base + ": " + r.note;
  std::string line = r.base + ": " + std::to_string(r.kept) + " kept, " +
                     std::to_string(r.removed) + " removed";
  if (r.purged > 0) line += " (" + std::to_string(r.purged) + " purged)";
  line += ", " + std::to_string(r.renumbered) + " renumbered, " + std::to_string(r.relinked) +
          " relinked, " + std::to_string(r.bytes_reclaimed) + " bytes reclaimed";
  if (r.links_left_out > 0) {
    line += ", " + std::to_string(r.links_left_out) + " replies past the nine kept";
  }
  if (dry_run) line += ", " + std::to_string(r.room_needed) + " bytes free needed";
  return line + (dry_run ? " (dry run: nothing changed)" : "");
}

std::string Json(const drayline::MaintenanceReport& r, bool dry_run) {
  JsonObject o;
  o.AddString("base", r.base)
      .AddNumber("kept", r.kept)
      .AddNumber("removed", r.removed)
      .AddNumber("purged", r.purged)
      .AddNumber("renumbered", r.renumbered)
      .AddNumber("relinked", r.relinked)
      .AddNumber("links_left_out", r.links_left_out)
      .AddNumber("bytes_reclaimed", static_cast<int64_t>(r.bytes_reclaimed));
  if (dry_run) o.AddNumber("room_needed", static_cast<int64_t>(r.room_needed));
  if (!r.status.ok()) o.AddString("error", r.status.text());
  if (!r.note.empty()) o.AddString("note", r.note);
  return o.str();
}

// A percentage on standard error, rewritten in place, when it is a terminal.
drayline::ProgressFn Progress(const std::string& path) {
  if (isatty(STDERR_FILENO) == 0) return nullptr;
  return [path, last = -1](uint64_t done, uint64_t total) mutable {
    const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
    if (percent == last) return;
    last = percent;
    Err() << "\r" << path << ": " << percent << "%";
  };
}

}  // namespace

int RunMaintenance(std::string_view command, const MaintenanceArgs& args, const RunOne& run) {
  std::vector<BoardBase> bases;
  if (args.board) {
    const drayline::Status s = ReadBoardBases(*args.board, &bases);
    if (!s.ok()) {
      Err() << "draybase " << command << ": " << s.text() << "\n";
      return kExitFailed;
    }
  } else {
    bases.push_back(BoardBase{0, *args.base, {}});
  }
  int status = kExitOk;
  std::vector<std::string> objects;
  for (const BoardBase& b : bases) {
    const drayline::ProgressFn progress = Progress(b.path);
    const drayline::MaintenanceReport r = run(b.path, args.board ? &b.record : nullptr, progress);
    if (progress) Err() << "\r";
    if (args.board && r.status.code() == drayline::StatusCode::kNotFound) {
      if (!args.json) Out() << b.path << ": no base yet\n";  // nothing posted there
      continue;
    }
    if (!r.status.ok()) {
      Err() << "draybase " << command << ": " << b.path << ": " << r.status.text() << "\n";
      // A path that names no base (or one of each format) is the caller's
      // mistake, as for the other commands.
      const bool no_base = r.status.code() == drayline::StatusCode::kNotFound ||
                           r.status.code() == drayline::StatusCode::kInvalidArgument;
      status = !args.board && no_base ? kExitUsage : std::max(status, kExitFailed);
    } else if (!args.json) {
      Out() << Summary(r, args.dry_run) << "\n";
    }
    objects.push_back(Json(r, args.dry_run));
  }
  // A single base that failed prints no document; a board's array holds
  // every outcome.
  if (args.json && args.board) Out() << JsonArray(objects) << "\n";
  if (args.json && !args.board && status == kExitOk) Out() << objects[0] << "\n";
  return status;
}

}  // namespace draybase
