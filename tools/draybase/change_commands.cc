// draybase delete BASE NUM and draybase lastread BASE USER [NUM].
//
// Each change is confirmed by the status the base reports for it: a change
// that did not happen (a lock that could not be had, say) is a failure,
// never done.

#include "draybase/output.h"
#include <string>

#include "draybase/arguments.h"
#include "draybase/base_access.h"
#include "draybase/commands.h"
#include "draybase/json.h"

namespace draybase {

int RunDelete(CommandArgs args) {
  Arguments a;
  if (!ParseArguments("delete", args, 2, 2, false, &a)) return kExitUsage;
  const std::string& path = a.positional[0];
  const std::optional<int32_t> num = ParseNumber(a.positional[1]);
  if (!num) {
    Err() << "draybase delete: NUM must be a message number\n";
    return kExitUsage;
  }
  int status = kExitOk;
  const auto base = OpenBase(path, &status);
  if (base == nullptr) return status;
  if (!SeekMessage(base->Raw(), path, *num, &status)) return status;
  const drayline::Status deleted = base->Delete(*num);
  if (!deleted.ok()) {
    Err() << "draybase: message " << *num << " of " << path
              << " could not be deleted: " << deleted.text() << "\n";
    return kExitFailed;
  }
  if (a.json) {
    Out() << JsonObject().AddNumber("deleted", *num).str() << "\n";
  } else {
    Out() << "Deleted message " << *num << " of " << path << ".\n";
  }
  return kExitOk;
}

namespace {

struct LastReadArgs {
  std::string path;
  int32_t user = 0;
  std::optional<int32_t> num;  // the pointer to store, when given
};

// False (after a line on standard error) for a user below 1 or a NUM that
// is not a number.
bool ParseLastRead(const Arguments& a, LastReadArgs* out) {
  out->path = a.positional[0];
  const std::optional<int32_t> user = ParseNumber(a.positional[1]);
  if (!user || *user < 1) {
    Err() << "draybase lastread: USER must be a user number of 1 or more\n";
    return false;
  }
  out->user = *user;
  if (a.positional.size() > 2) {
    out->num = ParseNumber(a.positional[2]);
    if (!out->num) {
      Err() << "draybase lastread: NUM must be a message number\n";
      return false;
    }
  }
  return true;
}

}  // namespace

int RunLastRead(CommandArgs args) {
  Arguments a;
  LastReadArgs l;
  if (!ParseArguments("lastread", args, 2, 3, false, &a) || !ParseLastRead(a, &l)) {
    return kExitUsage;
  }
  int status = kExitOk;
  const auto base = OpenBase(l.path, &status);
  if (base == nullptr) return status;
  int32_t shown = 0;
  drayline::Status stored;
  if (l.num) {
    stored = base->SetLastRead(l.user, *l.num);
    shown = *l.num;
  } else {
    // Only a change is confirmed: a pointer that cannot be read shows as
    // the base answers it, as it always has.
    base->GetLastRead(l.user, &shown);
  }
  if (!stored.ok()) {
    Err() << "draybase: the last-read pointer of user " << l.user << " in " << l.path
              << " could not be stored: " << stored.text() << "\n";
    return kExitFailed;
  }
  if (a.json) {
    Out() << JsonObject().AddNumber("user", l.user).AddNumber("lastread", shown).str()
              << "\n";
  } else {
    Out() << "User " << l.user << (l.num ? " last read set to " : " last read ") << shown
              << "\n";
  }
  return kExitOk;
}

}  // namespace draybase
