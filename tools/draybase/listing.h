// A message's header fields as draybase shows them: a summary of the
// loaded message, its aligned listing line and its JSON object, and the
// terminal-safe form of stored bytes.

#ifndef DRAYBASE_LISTING_H_
#define DRAYBASE_LISTING_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "draybase/json.h"
#include "drayline/message_base.h"

namespace draybase {

// The header fields of one message, for listings and JSON.
struct MessageSummary {
  int32_t number = 0;
  std::string from, to, subject, date, time;
  bool local = false, is_private = false, received = false, deleted = false;
  int32_t length = 0;
  // Letters, for a listing: L local, P private, R received, S sent,
  // C crash, K kill when sent, A file attached, F file request, D deleted.
  std::string attributes;
  // Filled by MessageDecoder::Complete (text_decoding.h): whether from, to
  // and subject are UTF-8 text rather than stored bytes, and the stored
  // times (all zero when none is stored).
  bool utf8 = false;
  drayline::LocalDateTime written, processed;
};

// The fields of the message whose header base has loaded (ReadHeader).
MessageSummary Summarize(drayline::MessageBase& base);

// The keys of a listing's JSON object: number, from, to, subject, date,
// time, written, processed, local, private, received, deleted, length.
JsonObject SummaryJson(const MessageSummary& summary);

// Aligned listing lines under a heading line, each ending in '\n'.
std::string ListingText(const std::vector<MessageSummary>& messages);

// The bytes of s with control characters (below 32, and 127) shown as '?',
// for a terminal; every other byte as stored.
std::string Printable(std::string_view s);

}  // namespace draybase

#endif  // DRAYBASE_LISTING_H_
