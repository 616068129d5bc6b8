// draybase show BASE NUM [--width W]: a message's header fields, then its
// text as GetTextLine(W) gives it, line after line.

#include "draybase/output.h"
#include <string>
#include <vector>

#include "draybase/arguments.h"
#include "draybase/base_access.h"
#include "draybase/commands.h"
#include "draybase/json.h"
#include "draybase/listing.h"
#include "draybase/text_decoding.h"
#include "drayline/message.h"

namespace draybase {

namespace {

constexpr int32_t kDefaultWidth = 79;
// Lines of a short string; a width of 0 would never reach the end.
constexpr int32_t kMaxWidth = 255;

// The address in its zone:net/node.point text; "" when none is stored.
std::string Address(drayline::MessageBase& base, bool origin) {
  drayline::NetAddress addr;
  origin ? base.GetOrig(addr) : base.GetDest(addr);
  return addr == drayline::NetAddress() ? "" : drayline::FormatAddress(addr);
}

void PrintHeader(drayline::MessageBase& base, const MessageSummary& m) {
  auto field = [](const char* name, const std::string& value) {
    if (!value.empty()) Out() << name << Printable(value) << "\n";
  };
  Out() << "Message: " << m.number << "\n";
  field("From:    ", m.from);
  field("Origin:  ", Address(base, true));
  field("To:      ", m.to);
  field("Dest:    ", Address(base, false));
  field("Subject: ", m.subject);
  Out() << "Date:    " << Printable(m.date) << " " << Printable(m.time) << "\n";
  field("Attr:    ", m.attributes);
  Out() << "Length:  " << m.length << "\n\n";
}

}  // namespace

int RunShow(CommandArgs args) {
  Arguments a;
  std::optional<drayline::Charset> charset;
  if (!ParseArguments("show", args, 2, 2, kTakesWidth | kTakesCharset, &a) ||
      !ParseCharsetOption("show", a.charset, &charset)) {
    return kExitUsage;
  }
  const std::optional<int32_t> num = ParseNumber(a.positional[1]);
  std::optional<int32_t> width = kDefaultWidth;
  if (a.width) width = ParseNumber(*a.width);
  if (!num) {
    Err() << "draybase show: NUM must be a message number\n";
    return kExitUsage;
  }
  if (!width || *width < 1 || *width > kMaxWidth) {
    Err() << "draybase show: the width must be a number from 1 to " << kMaxWidth << "\n";
    return kExitUsage;
  }
  int status = kExitOk;
  const auto opened = OpenBase(a.positional[0], &status);
  if (opened == nullptr) return status;
  drayline::MessageBase& base = opened->Raw();
  if (!SeekMessage(base, a.positional[0], *num, &status)) return status;
  MessageSummary summary = Summarize(base);
  MessageDecoder decoder(*opened, a.positional[0], charset);
  const drayline::Charset shown = decoder.Complete(&summary);
  const std::vector<std::string> lines =
      decoder.TextLines(static_cast<uint16_t>(*width), shown);
  if (!ReadSucceeded(base, a.positional[0])) return kExitFailed;
  if (a.json) {
    std::vector<std::string> texts;
    for (const std::string& line : lines) {
      texts.push_back(JsonString(line, summary.utf8 ? JsonText::kUtf8 : JsonText::kBytes));
    }
    Out() << SummaryJson(summary).AddRaw("lines", JsonArray(texts)).str() << "\n";
  } else {
    PrintHeader(base, summary);
    for (const std::string& line : lines) Out() << Printable(line) << "\n";
  }
  return kExitOk;
}

}  // namespace draybase
