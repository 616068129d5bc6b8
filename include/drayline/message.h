// Messages as values, for programs written today: open a base by its path,
// walk its messages, store, delete, and keep last-read pointers, each step
// answering a Status.
//
//   drayline::Status s;
//   std::unique_ptr<drayline::Base> base = drayline::Base::Open("msgs/general", &s);
//   if (!base) { std::cerr << s.text() << "\n"; return 1; }
//   drayline::Message m;
//   for (auto it = base->Messages(); it.Next(&m);) std::cout << m.subject << "\n";
//
// Dates and times are the base's local values, never converted through a
// time zone. Strings are the stored bytes.

#ifndef DRAYLINE_MESSAGE_H_
#define DRAYLINE_MESSAGE_H_

#include <array>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/message_base.h"
#include "drayline/status.h"

namespace drayline {

// The twelve attribute flags of the interface (SetLocal ... SetFileRequest).
enum class AttributeBit : uint8_t {
  kLocal,
  kReceived,
  kPrivate,
  kCrash,
  kHold,
  kKillSent,
  kSent,
  kFileAttach,
  kReceiptRequest,
  kConfirmRequest,
  kIsReceipt,
  kFileRequest,
};

// A local date and time as stored (no time zone). All zero: none stored.
struct LocalDateTime {
  uint16_t year = 0, month = 0, day = 0;
  uint16_t hour = 0, minute = 0, second = 0;
  bool operator==(const LocalDateTime&) const = default;
};

struct Message {
  int32_t number = 0;
  std::string from, to, subject;
  LocalDateTime written;    // as the poster gave it
  LocalDateTime processed;  // JAM DateProcessed, Squish DateArrived
  std::string date_text, time_text;  // the base's own texts (GetDate, GetTime)
  uint32_t attributes = 0;  // bits 1 << AttributeBit
  bool deleted = false;
  NetAddress orig, dest;
  // Reply links the format has: JAM reply_to, reply_first and reply_next;
  // Squish reply_to and the nine replies (reply_first is replies[0]).
  int32_t reply_to = 0, reply_first = 0, reply_next = 0;
  std::array<int32_t, 9> replies{};
  std::string text;  // the stored text bytes
  // The text's length as GetTextLength answers it (as the header says,
  // also when the text itself is not read).
  int32_t text_length = 0;

  bool Has(AttributeBit bit) const {
    return attributes & (uint32_t{1} << static_cast<unsigned>(bit));
  }
  void Set(AttributeBit bit, bool on);
};

// The fields a listing shows of one message, as views of storage the base
// owns: no string is copied. The views stay valid until the next call on
// the base (the walk's next step, say).
struct HeaderView {
  int32_t number = 0;
  std::string_view from, to, subject;
  std::string_view date_text, time_text;  // the base's own texts
  // Read only when asked for (HeaderDates::kRead); else all zero.
  LocalDateTime written, processed;
  uint32_t attributes = 0;  // bits 1 << AttributeBit
  bool deleted = false;
  int32_t text_length = 0;  // as the header says
  // The first of the header's own control lines that has a line naming a
  // character set ("CHRS:" or "CHARSET:", any case; CharsetOfControl reads
  // it), viewed as stored; empty when none has. controls_viewed says
  // whether the format keeps its control lines in the header, so that
  // they were looked at (a JAM header's kludge subfields); a Squish frame
  // keeps them beside the text, and its view leaves both unset.
  std::string_view charset_control;
  bool controls_viewed = false;

  bool Has(AttributeBit bit) const {
    return attributes & (uint32_t{1} << static_cast<unsigned>(bit));
  }
};

// Whether a HeaderView gets the written and processed dates (which cost a
// conversion each) or leaves them zero.
enum class HeaderDates : uint8_t { kSkip, kRead };

// The lines of a text, split at CR (a LF after a CR is dropped with it).
// A text that ends in its line end has no empty line after it.
std::vector<std::string> SplitLines(std::string_view text);

// The text form of an address: zone:net/node, with .point only when the
// point is not 0; at most 20 characters.
std::string FormatAddress(const NetAddress& addr);
// Reads that form back into *addr (each number as the board reads numbers:
// no digits read as 0). False, with *addr unchanged, when the text has no
// ":" or no "/".
bool ParseAddress(std::string_view text, NetAddress* addr);

// What a walk reads of each message: all of it, or its header only (the
// fields but the text, which is then left empty: a listing reads no text).
enum class ReadParts : uint8_t { kWhole, kHeader };

// Walks a base's messages, first to last, reading each into a reused value
// (its strings keep their capacity from one message to the next). The walk
// starts at the first message numbered first or higher. Between two calls
// of Next the base's cursor stands on the message last read, so the 93
// operations (BeginTextRead, say) read that message.
class MessageIterator {
 public:
  explicit MessageIterator(MessageBase* base, ReadParts parts = ReadParts::kWhole,
                           int32_t first = INT32_MIN)
      : base_(base), first_(first), parts_(parts) {}
  // The next message into *out; false at the end or on a failure (then
  // status() says which).
  bool Next(Message* out);
  // The same step, the header viewed (whatever the walk's parts): the
  // fastest way through a base for a listing. The cursor stands on the
  // message, but its header may be left unloaded: the 93 operations see
  // it after ReadHeader (Base::ReadLoadedText reads its text as it is).
  bool Next(HeaderView* out, HeaderDates dates);
  const Status& status() const { return status_; }

 private:
  // Moves the cursor to the walk's next message; false at the end or on a
  // failure (in status_).
  bool Step();

  MessageBase* base_;
  int32_t first_;
  ReadParts parts_;
  bool started_ = false;
  Status status_;
};

class Base {
 public:
  // Opens the base at path (without extension) in the format whose files
  // exist. nullptr with *status set on failure.
  static std::unique_ptr<Base> Open(std::string_view path, Status* status);
  // Creates the base in that format when it does not exist, then opens it.
  static std::unique_ptr<Base> OpenOrCreate(std::string_view path,
                                            BaseFormat format, Status* status);

  BaseFormat format() const { return format_; }
  MessageIterator Messages(ReadParts parts = ReadParts::kWhole) {
    return MessageIterator(base_.get(), parts);
  }
  // Reads message number into *out.
  Status Read(int32_t number, Message* out);
  // Stores m as a new message: its number is ignored, its dates are kept
  // exactly (one left all zero is the current local date and time), its
  // text is stored as given. *number receives the number given to it when
  // not null.
  Status Store(const Message& m, int32_t* number = nullptr);
  Status Delete(int32_t number);
  Status GetLastRead(int32_t user, int32_t* number);
  Status SetLastRead(int32_t user, int32_t number);
  // Reads the header of the message Raw()'s cursor stands on (a search
  // step's match, say) into *out, its text left empty; the cursor stays.
  Status ReadLoadedHeader(Message* out);
  // The header at the cursor viewed, as MessageIterator::Next(HeaderView*)
  // gives it (and, as it does, maybe left unloaded).
  Status ViewLoadedHeader(HeaderView* out, HeaderDates dates);
  // Reads the stored text of the message whose header Raw() has loaded
  // (ReadLoadedHeader, a walk's step) or a view has viewed into *out,
  // whole, as the text reads byte by byte; a read that fails is the
  // answer, *out holding what came before it. control, when given,
  // receives the control lines a format keeps beside the text, read with
  // it (a Squish frame's control information, as stored); a JAM header
  // keeps them (HeaderView::charset_control), and *control stays empty.
  Status ReadLoadedText(std::string* out, std::string* control = nullptr);
  // The 93 operations, for what this facade does not cover.
  MessageBase& Raw() { return *base_; }

 private:
  Base(std::unique_ptr<MessageBase> base, BaseFormat format)
      : base_(std::move(base)), format_(format) {}
  std::unique_ptr<MessageBase> base_;
  BaseFormat format_;
};

}  // namespace drayline

#endif  // DRAYLINE_MESSAGE_H_
