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
#include "draybase/text_decoding.h"

namespace draybase {

int RunList(CommandArgs args) {
  Arguments a;
  std::optional<drayline::Charset> charset;
  if (!ParseArguments("list", args, 1, 1, kTakesCharset, &a) ||
      !ParseCharsetOption("list", a.charset, &charset)) {
    return kExitUsage;
  }
  int status = kExitOk;
  const auto opened = OpenBase(a.positional[0], &status);
  if (opened == nullptr) return status;
  drayline::MessageBase& base = opened->Raw();
  MessageDecoder decoder(*opened, a.positional[0], charset);
  std::vector<MessageSummary> messages;
  // A header that could not be read (damage the library saw again under
  // the lock) ends the command: no row is made up of it.
  for (base.SeekFirst(1); base.SeekFound(); base.SeekNext()) {
    base.ReadHeader();
    if (!ReadSucceeded(base, a.positional[0])) return kExitFailed;
    messages.push_back(Summarize(base));
    decoder.Complete(&messages.back());
  }
  if (!ReadSucceeded(base, a.positional[0])) return kExitFailed;
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
  std::optional<drayline::Charset> charset;
  if (!ParseArguments("mail", args, 2, 3, kTakesCharset, &a) ||
      !ParseCharsetOption("mail", a.charset, &charset)) {
    return kExitUsage;
  }
  int status = kExitOk;
  const auto opened = OpenBase(a.positional[0], &status);
  if (opened == nullptr) return status;
  drayline::MessageBase& base = opened->Raw();
  MessageDecoder decoder(*opened, a.positional[0], charset);
  const std::string alias = a.positional.size() > 2 ? a.positional[2] : "";
  std::vector<MessageSummary> messages;
  // The search passes over headers it cannot read and says so: checked
  // after every step, before the match's header is read again.
  for (base.SeekFirstForUser(a.positional[1], alias);
       ReadSucceeded(base, a.positional[0]) && base.ForUserFound(); base.SeekNextForUser()) {
    base.ReadHeader();
    if (!ReadSucceeded(base, a.positional[0])) return kExitFailed;
    messages.push_back(Summarize(base));
    if (!a.json) decoder.Complete(&messages.back());
  }
  if (!base.LastStatus().ok()) return kExitFailed;
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
