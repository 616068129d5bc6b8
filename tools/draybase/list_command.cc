// draybase list BASE: every message, in cursor order.
// draybase mail BASE NAME [ALIAS]: the messages a user has not received.
//
// Both stream: each message's header is read into one reused value and
// its row goes straight into the output's blocks, so that memory stays
// the same whatever the size of the base.

#include <string>

#include "draybase/arguments.h"
#include "draybase/base_access.h"
#include "draybase/commands.h"
#include "draybase/listing.h"
#include "draybase/output.h"
#include "draybase/text_decoding.h"

namespace draybase {

namespace {

ListingStyle Style(const Arguments& a, bool numbers_only) {
  if (!a.json) return ListingStyle::kPlain;
  return numbers_only ? ListingStyle::kJsonNumbers : ListingStyle::kJson;
}

}  // namespace

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
  BlockOutput output;
  ListingWriter listing(Style(a, false), opened->format(), base.GetHighMsgNum(), &output);
  // A header that could not be read (damage the library saw again under
  // the lock) ends the command: no row is made of it. The block being
  // made is dropped; earlier blocks of a long listing have gone out.
  // The header is viewed where the base holds it; a JSON row shows the
  // dates too.
  const auto dates = a.json ? drayline::HeaderDates::kRead : drayline::HeaderDates::kSkip;
  drayline::HeaderView m;
  for (drayline::MessageIterator it(&base, drayline::ReadParts::kHeader, 1); it.Next(&m, dates);) {
    if (!ReadSucceeded(base, a.positional[0])) return kExitFailed;
    // The set is looked for only when a field needs one.
    listing.Add(m, [&] { return decoder.CharsetOf(m); });
  }
  if (!ReadSucceeded(base, a.positional[0])) return kExitFailed;
  listing.Finish();
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
  BlockOutput output;
  ListingWriter listing(Style(a, true), opened->format(), base.GetHighMsgNum(), &output);
  drayline::HeaderView m;
  // The search passes over headers it cannot read and says so: checked
  // after every step, before the match's header is read again. An array
  // of numbers shows no dates.
  for (base.SeekFirstForUser(a.positional[1], alias);
       ReadSucceeded(base, a.positional[0]) && base.ForUserFound(); base.SeekNextForUser()) {
    opened->ViewLoadedHeader(&m, drayline::HeaderDates::kSkip);
    if (!ReadSucceeded(base, a.positional[0])) return kExitFailed;
    // An array of numbers shows no text: no set is needed for it.
    listing.Add(m, [&] {
      return a.json ? drayline::Charset::kRaw : decoder.CharsetOf(m);
    });
  }
  if (!base.LastStatus().ok()) return kExitFailed;
  listing.Finish();
  return kExitOk;
}

}  // namespace draybase
