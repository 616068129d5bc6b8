// How draybase shows what a message stores: the character set each
// message's bytes are decoded from, its stored times, and its text lines
// as UTF-8.
//
// The set is the one --charset names; else the one the message's first
// CHRS control line names: among the control lines the format keeps for
// it (a JAM header's kludge subfields, a Squish frame's control
// information), else in its text; else CP437, the board's own code page.
// --charset raw shows the stored bytes as they are.

#ifndef DRAYBASE_TEXT_DECODING_H_
#define DRAYBASE_TEXT_DECODING_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "draybase/listing.h"
#include "drayline/charset.h"
#include "drayline/message.h"

namespace draybase {

// The set --charset names into *out; empty (each message's own) when the
// option was not given. False, after a line on standard error naming
// command, for a name that is no known set.
bool ParseCharsetOption(std::string_view command, const std::optional<std::string>& name,
                        std::optional<drayline::Charset>* out);

// The lines of a UTF-8 text as a reader sees them at width characters:
// split at CR (LF and NUL never show), a longer line cut after its last
// space that fits (or where it is full, when none does), the next line
// then dropping one leading space. A character is never cut in two.
std::vector<std::string> WrapUtf8(std::string_view text, size_t width);

// Reads, for each message a command shows, what the 93 operations do not
// give: the stored times and the control lines kept beside the text. The
// base's files are opened once more, read-only, on first need; a record
// that cannot be read leaves the times unknown, never fails the command.
class MessageDecoder {
 public:
  // base was opened from path; forced is the --charset set, if any.
  MessageDecoder(drayline::Base& base, std::string path,
                 std::optional<drayline::Charset> forced);
  ~MessageDecoder();
  MessageDecoder(const MessageDecoder&) = delete;
  MessageDecoder& operator=(const MessageDecoder&) = delete;

  // Completes *s, summarized from the header the base has loaded: its
  // times, and (for every set but raw) its texts decoded to UTF-8. Reads
  // the loaded message's text. Answers the set the message is shown in.
  drayline::Charset Complete(MessageSummary* s);

  // The set the loaded message, viewed as m, is shown in (the one
  // Complete answers), found without its times: a listing takes those
  // from the header it has read. Reads the message's text only when the
  // set was not forced and its control lines name none.
  drayline::Charset CharsetOf(const drayline::HeaderView& m);

  // The loaded message's text, wrapped at width, decoded from charset
  // (the answer of Complete for it).
  std::vector<std::string> TextLines(uint16_t width, drayline::Charset charset);

  // Each format's reader of the records (text_decoding.cc).
  struct Records;

 private:

  // The reader of the base's records; nullptr when they do not open.
  Records* OpenRecords();
  // The loaded message's stored text bytes.
  std::string StoredText();

  drayline::Base& base_;
  const std::string path_;
  const std::optional<drayline::Charset> forced_;
  std::unique_ptr<Records> records_;
  bool records_tried_ = false;
};

}  // namespace draybase

#endif  // DRAYBASE_TEXT_DECODING_H_
