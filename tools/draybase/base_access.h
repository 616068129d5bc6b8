// What the reading commands of draybase share: their arguments, opening a
// base in the format whose files exist, and a message's fields for a
// listing line or a JSON object. Everything goes through the MessageBase
// interface, so the commands serve every format.

#ifndef DRAYBASE_BASE_ACCESS_H_
#define DRAYBASE_BASE_ACCESS_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "draybase/commands.h"
#include "draybase/json.h"
#include "drayline/message_base.h"

namespace draybase {

// A command's arguments: the positional ones, --json, and --width W where
// the command takes it.
struct Arguments {
  std::vector<std::string> positional;
  bool json = false;
  std::optional<std::string> width;
};

// False (after a line on standard error) for an unknown option, a missing
// option value, or a number of positional arguments outside min..max.
bool ParseArguments(std::string_view command, CommandArgs args, size_t min, size_t max,
                    bool takes_width, Arguments* out);

// A whole decimal number that fits in 32 bits.
std::optional<int32_t> ParseNumber(std::string_view text);

// Opens the base at path (without extension) in the format whose files
// exist. On failure prints why on standard error, sets *status to the exit
// status (kExitUsage when the path is neither format or both) and returns
// nullptr.
std::unique_ptr<drayline::MessageBase> OpenMessageBase(const std::string& path,
                                                       int* status);

// Puts the cursor on message num and loads its header; false (after a line
// on standard error) when no message has that number.
bool SeekMessage(drayline::MessageBase& base, const std::string& path, int32_t num);

// The header fields of the loaded message, for listings and JSON.
struct MessageSummary {
  int32_t number = 0;
  std::string from, to, subject, date, time;
  bool local = false, is_private = false, received = false, deleted = false;
  int32_t length = 0;
  // Letters, for a listing: L local, P private, R received, S sent,
  // C crash, K kill when sent, A file attached, F file request, D deleted.
  std::string attributes;
};
MessageSummary Summarize(drayline::MessageBase& base);
// The keys of a listing's JSON object: number, from, to, subject, date,
// time, local, private, received, deleted, length.
JsonObject SummaryJson(const MessageSummary& summary);

// Aligned listing lines under a heading line.
std::string ListingText(const std::vector<MessageSummary>& messages);
// The bytes of s with control characters shown as '?', for a terminal.
std::string Printable(std::string_view s);

}  // namespace draybase

#endif  // DRAYBASE_BASE_ACCESS_H_
