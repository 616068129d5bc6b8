// Moving whole messages between bases: every stored field of a message as
// one value, read from a base in storage order and stored into another
// base (of the same format or the other one), with the list of what the
// other format cannot hold.
//
//   drayline::Status s;
//   auto source = drayline::MessageSource::Open("msgs/general", &s);
//   auto sink = drayline::MessageSink::Open("msgs/copy", drayline::BaseFormat::kJam,
//                                           source->settings(), &s);
//   drayline::ExportedMessage m;
//   while (source->Next(&m)) sink->Store(m);
//   s = sink->Finish();
//
// Strings are the stored bytes. Message numbers are those of the base the
// message came from; a sink gives new ones (see NumberMap for the links).

#ifndef DRAYLINE_TRANSFER_H_
#define DRAYLINE_TRANSFER_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/change_options.h"
#include "drayline/message.h"
#include "drayline/message_base.h"
#include "drayline/status.h"

namespace drayline {

// A JAM subfield as stored: its kind (LoID), HiID and data.
struct JamSubfieldValue {
  uint16_t kind = 0;
  uint16_t hi_id = 0;
  std::string data;
  bool operator==(const JamSubfieldValue&) const = default;
};

// What only a JAM header holds, as stored. The names, subject and
// addresses are among the subfields.
struct JamPart {
  uint16_t revision = 1, reserved_word = 0;
  uint32_t times_read = 0, msgid_crc = 0xFFFFFFFF, reply_crc = 0xFFFFFFFF;
  uint32_t date_written = 0, date_received = 0, date_processed = 0;  // JAM times
  uint32_t attribute = 0, attribute2 = 0;
  uint32_t password_crc = 0xFFFFFFFF, cost = 0;
  std::vector<JamSubfieldValue> subfields;
  bool operator==(const JamPart&) const = default;
};

// What only a Squish header holds, as stored.
struct SquishPart {
  uint32_t attributes = 0;
  uint32_t date_written = 0, date_arrived = 0;  // packed, date half first
  uint16_t utc_offset = 0;
  int32_t message_uid = 0;  // a number of the base, mapped like the links
  std::string ftsc_date;  // up to its NUL
  // The control information: control lines, each starting with byte 1,
  // one after the other, as stored (a closing NUL is not part of it).
  std::string control;
  bool operator==(const SquishPart&) const = default;
};

// One message with every field of its format. The fields above `jam` are
// the ones both formats know, filled from the format's own part; a store
// into a base of the message's own format writes the format's part (and,
// for Squish, the names and subject, which are header fields), so that the
// message comes back byte for byte but for its number and the links.
struct ExportedMessage {
  BaseFormat format{};
  int32_t number = 0;
  std::string from, to, subject;
  LocalDateTime written, processed;
  uint32_t attributes = 0;  // bits 1 << AttributeBit
  NetAddress orig, dest;
  // JAM: reply_to, reply_first, reply_next. Squish: reply_to and the nine
  // replies (replies[0] is reply_first).
  int32_t reply_to = 0, reply_first = 0, reply_next = 0;
  std::array<int32_t, 9> replies{};
  JamPart jam;        // JAM messages only
  SquishPart squish;  // Squish messages only
  // JAM: TxtLen bytes of the text file. Squish: the text up to its NUL.
  std::string text;
  bool operator==(const ExportedMessage&) const = default;
};

// A user's last-read pointer. JAM keeps a record per user (its checksum
// field, last read and highest read); Squish one number per user, which
// is high_read (last_read and crc are then equal to it and to the user).
struct LastReadValue {
  uint32_t user = 0;
  uint32_t crc = 0;
  int32_t last_read = 0, high_read = 0;
  bool operator==(const LastReadValue&) const = default;
};

// Values of a base as a whole that a new base of the format takes over.
struct BaseSettings {
  int32_t max_messages = 0;  // Squish; 0: no limit
  uint16_t keep_days = 0;    // Squish
};

// Reads a base's messages, oldest first (JAM: index order, deleted
// messages left out; Squish: index order), without the lock and without
// writing. The caller checks the base first (check.h): offsets that do not
// hold a message end the walk with a failure.
class MessageSource {
 public:
  // Opens the base at path in the format whose files exist. nullptr with
  // *status set on failure (kNotFound when no base is there).
  static std::unique_ptr<MessageSource> Open(std::string_view path, Status* status);
  virtual ~MessageSource() = default;

  virtual BaseFormat format() const = 0;
  virtual BaseSettings settings() const = 0;
  // The numbers of the messages Next gives, in its order.
  virtual Status Numbers(std::vector<int32_t>* out) = 0;
  // The next message into *out; false at the end or on a failure (then
  // status() says which).
  virtual bool Next(ExportedMessage* out) = 0;
  virtual const Status& status() const = 0;
  // Every user's last-read pointer, in the file's order (Squish: users
  // without a pointer, 0, left out).
  virtual Status LastReads(std::vector<LastReadValue>* out) = 0;
};

// How a sink makes its change, and the room it checks for first.
struct SinkOptions {
  ChangeOptions change;
  // The free bytes on the disk the stores will take, journal included (the
  // sum of StoreRoom of every message and LastReadRoom); Open refuses when
  // the disk of the base has less than that and 64 KiB more (the journal's
  // own records), before it creates or changes anything. 0: no check.
  uint64_t room = 0;
};

// The most room on the disk storing m (in its own format) takes, counted
// conservatively: the bytes the message adds (JAM: fixed header, each
// subfield with its 8-byte header, text, index record; Squish: frame
// header, message header, control information, text and NUL, index
// entry), twice over, since the journal may keep as many old bytes where
// a store reuses free space, and 256 bytes for the records that move with
// it (the base header, a neighbour's frame header).
uint64_t StoreRoom(const ExportedMessage& m);
// The same for setting these last-read pointers in format: the whole
// last-read file as it will be (JAM 16 bytes a user; Squish 4 bytes for
// every user up to the highest), twice over for its journal.
uint64_t LastReadRoom(const std::vector<LastReadValue>& values, BaseFormat format);

// Stores messages into a base as new messages. Every store of a sink is
// part of one change under the base's lock, held from Open to Finish: the
// numbers it gives follow one another, and a sink destroyed before Finish
// (or one whose store failed) leaves the base as it was.
class MessageSink {
 public:
  // Opens the base at path, or creates it in format with settings when no
  // base is there. A base of the other format is used in its own format
  // (format() says which). nullptr with *status set on failure.
  static std::unique_ptr<MessageSink> Open(std::string_view path, BaseFormat format,
                                           const BaseSettings& settings, Status* status,
                                           const SinkOptions& options = {});
  virtual ~MessageSink() = default;

  virtual BaseFormat format() const = 0;
  // The number the next message stored will get.
  virtual int32_t NextNumber() const = 0;
  // Stores m, which must be in this base's format (ConvertMessage), as the
  // next number; its number is ignored, its links are stored as given.
  virtual Status Store(const ExportedMessage& m) = 0;
  // Sets each user's pointer (values in this format, numbers of this base).
  virtual Status SetLastReads(const std::vector<LastReadValue>& values) = 0;
  // Commits every store and releases the lock; after a failed store it
  // undoes them all and answers that failure. The sink stores nothing
  // afterwards.
  virtual Status Finish() = 0;
};

// Most messages a Squish base holds, and most bytes of a Squish body
// (control information, text and its NUL).
inline constexpr size_t kSquishMostMessages = 5200;
inline constexpr size_t kSquishMostBody = 16000;
// Users a Squish last-read file is made for at most.
inline constexpr uint32_t kSquishMostUsers = 1000000;

// m in format `to`: the fields both formats hold carried over, and in
// *losses one line for each field or attribute of m that `to` cannot hold
// (a name cut to 34 characters, a JAM subfield with no control line, a
// Squish reply beyond the first, ...); empty when nothing is lost. m's
// own format gives m back unchanged.
ExportedMessage ConvertMessage(const ExportedMessage& m, BaseFormat to,
                               std::vector<std::string>* losses);
// A last-read pointer in format `to` (numbers unchanged). False when `to`
// cannot hold it (a Squish user number 0 or beyond kSquishMostUsers).
bool ConvertLastRead(const LastReadValue& value, BaseFormat to, LastReadValue* out);

// Old message numbers to new ones, for links and last-read pointers.
class NumberMap {
 public:
  // The i-th of old (in increasing or any order) becomes first_new + i.
  NumberMap(const std::vector<int32_t>& old, int32_t first_new);
  // The new number of old; 0 for 0 and for a number not carried over.
  int32_t Link(int32_t old) const;
  // A pointer: the new number of the highest old number at or below
  // pointer (0 when none is).
  int32_t Pointer(int32_t pointer) const;
  // m's links mapped (a JAM header's checksums and the like are kept).
  void MapLinks(ExportedMessage* m) const;

 private:
  std::vector<std::pair<int32_t, int32_t>> sorted_;  // old, new
};

}  // namespace drayline

#endif  // DRAYLINE_TRANSFER_H_
