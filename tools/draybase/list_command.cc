// draybase list BASE: every message, in cursor order.
// draybase mail BASE NAME [ALIAS]: the messages a user has not received.

#include <iostream>
#include <string>
#include <vector>

#include "draybase/arguments.h"
#include "draybase/base_access.h"
#include "draybase/commands.h"
#include "draybase/json.h"
#include "draybase/listing.h"

namespace draybase {

int RunList(CommandArgs args) {
  Arguments a;
  if (!ParseArguments("list", args, 1, 1, false, &a)) return kExitUsage;
  int status = kExitOk;
  const auto opened = OpenBase(a.positional[0], &status);
  if (opened == nullptr) return status;
  drayline::MessageBase& base = opened->Raw();
  std::vector<MessageSummary> messages;
  for (base.SeekFirst(1); base.SeekFound(); base.SeekNext()) {
    base.ReadHeader();
    messages.push_back(Summarize(base));
  }
  if (a.json) {
    std::vector<std::string> objects;
    for (const MessageSummary& m : messages) objects.push_back(SummaryJson(m).str());
    std::cout << JsonArray(objects) << "\n";
  } else {
    std::cout << ListingText(messages);
  }
  return kExitOk;
}

int RunMail(CommandArgs args) {
  Arguments a;
  if (!ParseArguments("mail", args, 2, 3, false, &a)) return kExitUsage;
  int status = kExitOk;
  const auto opened = OpenBase(a.positional[0], &status);
  if (opened == nullptr) return status;
  drayline::MessageBase& base = opened->Raw();
  const std::string alias = a.positional.size() > 2 ? a.positional[2] : "";
  std::vector<MessageSummary> messages;
  for (base.SeekFirstForUser(a.positional[1], alias); base.ForUserFound();
       base.SeekNextForUser()) {
    base.ReadHeader();
    messages.push_back(Summarize(base));
  }
  if (a.json) {
    std::vector<std::string> numbers;
    for (const MessageSummary& m : messages) numbers.push_back(std::to_string(m.number));
    std::cout << JsonArray(numbers) << "\n";
  } else {
    std::cout << ListingText(messages);
  }
  return kExitOk;
}

}  // namespace draybase
