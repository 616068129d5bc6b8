// The JSON Lines form of an export (draybase export, import): one object a
// line, written and read back here.
//
//   {"base": PATH, "format": "jam", "max_messages": 0, "keep_days": 0}
//   {"number": 1, "format": "jam", "charset": "CP437", "from": ..., "jam": {...}, "text": ...}
//   ...
//   {"lastread": [{"user": 1, "crc": 1, "last_read": 5, "high_read": 5}, ...]}
//
// Texts (names, subject, subfield data, control lines, the text) are
// decoded from the message's character set into UTF-8; where encoding the
// decoded text again would not give the stored bytes, KEY_base64 holds the
// bytes themselves, and import takes those.

#ifndef DRAYBASE_TRANSFER_JSON_H_
#define DRAYBASE_TRANSFER_JSON_H_

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "draybase/commands.h"
#include "draybase/json_reader.h"
#include "draybase/output.h"
#include "drayline/charset.h"
#include "drayline/transfer.h"

namespace draybase {

// Turns stored bytes of a character set into UTF-8 and back.
class TextCodec {
 public:
  explicit TextCodec(drayline::Charset charset);
  drayline::Charset charset() const { return charset_; }
  // Always valid UTF-8 (raw bytes are taken as UTF-8, bad ones as U+FFFD).
  std::string Decode(std::string_view bytes) const;
  // The bytes of utf8 in the set; a character the set lacks becomes '?'.
  std::string Encode(std::string_view utf8) const;

 private:
  drayline::Charset charset_;
  std::vector<std::string> upper_;  // the UTF-8 of bytes 128..255
};

// The name CharsetFromName reads back as charset.
std::string_view CharsetName(drayline::Charset charset);
std::string_view FormatName(drayline::BaseFormat format);
std::optional<drayline::BaseFormat> FormatFromName(std::string_view name);

// The set a message's texts are decoded from: forced when given, else its
// first CHRS control line (among its control lines, then in its text),
// else CP437.
drayline::Charset MessageCharset(const drayline::ExportedMessage& m,
                                 std::optional<drayline::Charset> forced);

std::string BaseLine(std::string_view path, drayline::BaseFormat format,
                     const drayline::BaseSettings& settings);
// Writes the line of message m and its newline to *out (which export
// hands to standard output a block at a time).
void PutMessageLine(const drayline::ExportedMessage& m, const TextCodec& codec, BlockOutput* out);
std::string LastReadLine(const std::vector<drayline::LastReadValue>& values);

// Read back from a line's object; false with *error set when a field is
// missing or malformed.
bool ReadBaseLine(const JsonValue& v, drayline::BaseFormat* format,
                  drayline::BaseSettings* settings, std::string* error);
bool ReadMessageLine(const JsonValue& v, drayline::ExportedMessage* m, std::string* error);
bool ReadLastReadLine(const JsonValue& v, std::vector<drayline::LastReadValue>* values,
                      std::string* error);

// Options of export, import and convert.
struct TransferOptions {
  std::vector<std::string> positional;
  bool json = false;
  bool lossy = false;
  bool text = false;  // --format text
  std::optional<drayline::Charset> charset;
  std::optional<drayline::BaseFormat> to;
};
// Fills *out from args, taking only the options named in allowed ("--json",
// "--lossy", "--format", "--charset", "--to"). False (after a line on
// standard error) for anything else, a bad value, or a number of
// positional arguments outside min..max.
bool ParseTransferOptions(std::string_view command, CommandArgs args, size_t min, size_t max,
                          std::initializer_list<std::string_view> allowed, TransferOptions* out);

// Refuses (with a line on standard error pointing to check and repair) a
// base that is not sound; *exit_status is kExitUsage when path names no
// base or two, else kExitFailed.
bool SourceIsSound(const std::string& path, int* exit_status);

// Writes line and a newline to standard output; false when it fails.
bool PutLine(std::string_view line);

}  // namespace draybase

#endif  // DRAYBASE_TRANSFER_JSON_H_
