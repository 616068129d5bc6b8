// A message's header fields as draybase shows them: a summary of the
// loaded message and its JSON object (show), the streamed rows of a
// listing (list, mail), and the terminal-safe form of stored bytes.

#ifndef DRAYBASE_LISTING_H_
#define DRAYBASE_LISTING_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "draybase/json.h"
#include "draybase/output.h"
#include "drayline/charset.h"
#include "drayline/message.h"
#include "drayline/message_base.h"

namespace draybase {

// The header fields of one message, for show.
struct MessageSummary {
  int32_t number = 0;
  std::string from, to, subject, date, time;
  bool local = false, is_private = false, received = false, deleted = false;
  int32_t length = 0;
  // Letters, as a listing shows them (ListingWriter).
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

// The bytes of s with control characters (below 32, and 127) shown as '?',
// for a terminal; every other byte as stored.
std::string Printable(std::string_view s);

// How a listing shows its messages.
enum class ListingStyle : uint8_t {
  kPlain,        // a heading line, then a line per message
  kJson,         // a JSON array of objects with SummaryJson's keys
  kJsonNumbers,  // a JSON array of the messages' numbers
};

// Writes a listing one message at a time into out, in out's blocks; nothing
// is kept per message.
//
// A plain line holds the number (right-aligned, as wide as the base's
// highest number), the date and time texts (as wide as the format writes
// them: 8 and 5 for JAM, 8 and 8 for Squish), the sender and recipient
// (kNameWidth characters) and the subject (kSubjectWidth characters), each
// padded with spaces and cut where longer, then the attribute letters: L
// local, P private, R received, S sent, C crash, K kill when sent, A file
// attached, F file request, D deleted. Control characters show as '?'; a
// line ends without trailing spaces.
class ListingWriter {
 public:
  static constexpr size_t kNameWidth = 20;
  // The date's width, and the time's without and with seconds.
  static constexpr size_t kDateWidth = 8, kShortTimeWidth = 5, kLongTimeWidth = 8;
  static constexpr size_t kSubjectWidth = 34;

  ListingWriter(ListingStyle style, drayline::BaseFormat format, int32_t high_number,
                BlockOutput* out);
  ListingWriter(const ListingWriter&) = delete;
  ListingWriter& operator=(const ListingWriter&) = delete;

  // Adds m (its header's stored bytes, viewed). Its texts are shown in
  // the set charset_of() answers (kRaw: the stored bytes; any other set:
  // their UTF-8 decoding); it is asked only when a text holds bytes above
  // 127, since ASCII reads the same in every set. A JSON listing shows the
  // written and processed dates: view them (HeaderDates::kRead).
  template <typename CharsetOf>
  void Add(const drayline::HeaderView& m, CharsetOf&& charset_of) {
    if ((this->*add_usual_)(m)) {
      ++count_;
      out_.Step();
      return;
    }
    if (Look(m)) {
      AddLooked(m, drayline::Charset::kCp437);
    } else {
      AddLooked(m, charset_of());
    }
  }
  // Ends the listing; then nothing more is added.
  void Finish();

  // One of the five texts of the message being added (date, time, from,
  // to, subject), as shown.
  struct Field {
    std::string_view text;
    bool ascii = true;  // no byte above 127 (or, shown raw: bytes count as characters)
    bool clean = true;  // no control character
    bool plain = true;  // no '"' or '\\', which a JSON string escapes
    std::string decoded;  // the UTF-8 decoding, when text views it
  };

 private:
  // Writes m's row when its texts hold only bytes 32..126 (and, in JSON,
  // no '"' or '\\') as AddLooked would, in one pass over each text that
  // copies and looks at once; false, with nothing written, when one holds
  // another byte or the row is one the general way writes.
  using AddUsualFunction = bool (ListingWriter::*)(const drayline::HeaderView& m);
  bool AddUsualPlain(const drayline::HeaderView& m);
  bool AddUsualJson(const drayline::HeaderView& m);
  bool AddNone(const drayline::HeaderView& m);  // kJsonNumbers: none is usual
  static AddUsualFunction UsualWay(ListingStyle style);
  // Bytes AddUsualPlain fills with spaces: a number of at most 16 bytes,
  // the cells at their widths, and the separators.
  static constexpr size_t kUsualPlainRoom = 128;
  static_assert(16 + 2 + kDateWidth + 1 + kLongTimeWidth + 2 * (2 + kNameWidth) + 2 +
                    kSubjectWidth + 2 <= kUsualPlainRoom);
  // Bytes a JSON row of usual texts takes at most, but for the texts: the
  // keys, numbers, dates and flags, and 32 written beyond the end.
  static constexpr size_t kUsualJsonRoom = 320 + 2 * kJsonTimeRoom;
  // Looks at m's texts; true when all are ASCII.
  bool Look(const drayline::HeaderView& m);
  void AddLooked(const drayline::HeaderView& m, drayline::Charset charset);
  void AddPlain(const drayline::HeaderView& m);
  // A plain line of the looked-at texts, after number, ending in letters.
  void AddPlain(std::string_view number, std::string_view letters);
  // Bytes a plain row of the looked-at texts takes at most, but for its
  // number's digits and its letters.
  size_t RowRoom() const;
  // Writes the separator and the five cells of the looked-at texts at p;
  // the end, and in *subject_end the end of the subject's text.
  char* PutCells(char* p, char** subject_end);
  // Ends the row begun at begin at end, less trailing spaces.
  void EndRow(char* begin, char* end);
  void AddJson(const drayline::HeaderView& m, bool utf8);

  const ListingStyle style_;
  const AddUsualFunction add_usual_;  // chosen once for the style
  BlockOutput& out_;
  size_t number_width_ = 3, time_width_ = kShortTimeWidth;
  size_t count_ = 0;
  Field fields_[5];
};

}  // namespace draybase

#endif  // DRAYBASE_LISTING_H_
