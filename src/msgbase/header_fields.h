// HeaderFields: one message's header as the message-base interface sees
// it. The layer keeps one: StartNewMessage starts it from the engine's
// NewHeader, the setters change it, ReadHeader fills it from the base, the
// getters answer from it, and WriteMessage, RewriteHeader and
// RewriteMessage hand it to the engine.
//
// The engine keeps whatever its format stores beyond these fields (its raw
// header, unknown attribute bits, subfields it does not interpret) and puts
// them back unchanged when it writes a header; it writes only the fields
// here that the format holds, each cut to the format's size.

#ifndef DRAYLINE_MSGBASE_HEADER_FIELDS_H_
#define DRAYLINE_MSGBASE_HEADER_FIELDS_H_

#include <array>
#include <cstdint>
#include <string>

#include "drayline/message.h"
#include "drayline/message_base.h"

namespace drayline {

struct HeaderFields {
  std::string from, to, subject;
  // The written date and time as the format's own texts (GetDate, GetTime).
  std::string date_text, time_text;
  // A header read from a base gets its texts and local dates on demand:
  // the engine leaves the dates as stored (stored_written,
  // stored_processed, in the format's own encoding) and sets the pending
  // flags; StorageEngine::MakeTexts / MakeDates fill date_text and
  // time_text / written and processed from them. texts_stored: the texts
  // are (or will be) the stored date's, so a new date style remakes them.
  uint32_t stored_written = 0, stored_processed = 0;
  bool texts_pending = false, dates_pending = false, texts_stored = false;
  NetAddress orig, dest;
  uint16_t cost = 0;
  int32_t reply_to = 0;
  int32_t first_reply = 0;
  int32_t next_reply = 0;
  // Bits of AttributeBit (drayline/message.h): the twelve flags of
  // SetLocal ... SetFileRequest.
  uint32_t attributes = 0;
  bool deleted = false;
  bool echoed = true;
  MailType mail_type = MailType::Local;
  int32_t text_length = 0;

  // Filled by ReadHeader for the facade; used by a store only when
  // exact_dates is set (a message given whole by a program).
  LocalDateTime written, processed;
  bool exact_dates = false;
  // Squish's nine Replies (Replies[0] is also first_reply).
  std::array<int32_t, 9> replies{};

  bool Has(AttributeBit bit) const { return attributes & Mask(bit); }
  void Set(AttributeBit bit, bool on) {
    attributes = on ? (attributes | Mask(bit)) : (attributes & ~Mask(bit));
  }
  static uint32_t Mask(AttributeBit bit) {
    return uint32_t{1} << static_cast<unsigned>(bit);
  }
};

}  // namespace drayline

#endif  // DRAYLINE_MSGBASE_HEADER_FIELDS_H_
