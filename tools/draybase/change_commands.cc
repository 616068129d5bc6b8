// draybase delete BASE NUM and draybase lastread BASE USER [NUM].
//
// DeleteMessage and SetLastRead report nothing, so both commands read the
// result back and call a change that did not happen (a lock that could not
// be had, say) a failure, never done.

#include <iostream>
#include <string>

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
    std::cerr << "draybase delete: NUM must be a message number\n";
    return kExitUsage;
  }
  int status = kExitOk;
  auto base = OpenMessageBase(path, &status);
  if (base == nullptr) return status;
  if (!SeekMessage(*base, path, *num)) return kExitUsage;
  base->DeleteMessage();
  // Read back from the files: the message must be gone from the cursor.
  base->CloseBase();
  bool gone = base->OpenBase();
  if (gone) {
    base->SeekFirst(*num);
    if (base->SeekFound()) {
      base->ReadHeader();
      gone = base->GetMsgNum() != *num;
    }
    base->CloseBase();
  }
  if (!gone) {
    std::cerr << "draybase: message " << *num << " of " << path << " could not be deleted\n";
    return kExitFailed;
  }
  if (a.json) {
    std::cout << JsonObject().AddNumber("deleted", *num).str() << "\n";
  } else {
    std::cout << "Deleted message " << *num << " of " << path << ".\n";
  }
  return kExitOk;
}

int RunLastRead(CommandArgs args) {
  Arguments a;
  if (!ParseArguments("lastread", args, 2, 3, false, &a)) return kExitUsage;
  const std::string& path = a.positional[0];
  const std::optional<int32_t> user = ParseNumber(a.positional[1]);
  std::optional<int32_t> num;
  if (a.positional.size() > 2) num = ParseNumber(a.positional[2]);
  if (!user || *user < 1) {
    std::cerr << "draybase lastread: USER must be a user number of 1 or more\n";
    return kExitUsage;
  }
  if (a.positional.size() > 2 && !num) {
    std::cerr << "draybase lastread: NUM must be a message number\n";
    return kExitUsage;
  }
  int status = kExitOk;
  auto base = OpenMessageBase(path, &status);
  if (base == nullptr) return status;
  if (num) base->SetLastRead(*user, *num);
  const int32_t stored = base->GetLastRead(*user);
  base->CloseBase();
  if (num && stored != *num) {
    std::cerr << "draybase: the last-read pointer of user " << *user << " in " << path
              << " could not be stored\n";
    return kExitFailed;
  }
  if (a.json) {
    std::cout << JsonObject().AddNumber("user", *user).AddNumber("lastread", stored).str()
              << "\n";
  } else {
    std::cout << "User " << *user << (num ? " last read set to " : " last read ") << stored
              << "\n";
  }
  return kExitOk;
}

}  // namespace draybase
