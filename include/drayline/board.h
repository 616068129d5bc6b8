// The board's configuration records: the system record of "tarvik.dat" (in
// the board's root directory) and the message-base records of "mbases.dat"
// (in the system record's DataPath).
//
//   drayline::Board board;
//   drayline::Status s = drayline::ReadBoard("/bbs", &board);
//   if (!s.ok()) std::cerr << s.text() << "\n";
//   for (const drayline::MessageBaseRecord& r : board.bases)
//     std::cout << r.BasePath + r.BaseFileName << "\n";
//
// Both files belong to the rest of the board; this code knows only the
// fields it uses. Decoding never reads outside the record: string fields
// are length-prefixed, and a length byte above the field's capacity is cut
// to the capacity. Encoders leave every other byte of a record zero.

#ifndef DRAYLINE_BOARD_H_
#define DRAYLINE_BOARD_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/status.h"

namespace drayline {

constexpr char kSystemRecordFileName[] = "tarvik.dat";
constexpr char kBaseRecordsFileName[] = "mbases.dat";

constexpr size_t kSystemConfigRecordSize = 1824;
constexpr size_t kMessageBaseRecordSize = 282;

// Field offsets and capacities (characters, not counting the length byte).
constexpr size_t kDataPathOffset = 82;
constexpr size_t kDataPathCapacity = 255;  // always fits inside the record
constexpr size_t kBaseFileNameOffset = 55;
constexpr size_t kBaseFileNameCapacity = 8;
constexpr size_t kBasePathOffset = 64;
constexpr size_t kBasePathCapacity = 40;
constexpr size_t kBaseFormatOffset = 105;
constexpr size_t kNetTypeOffset = 106;
constexpr size_t kPostTypeOffset = 107;
constexpr size_t kMaxMsgsOffset = 267;
constexpr size_t kMaxAgeOffset = 269;

// Values of MessageBaseRecord::BaseFormat (BaseFormat of message_base.h
// has the same numbers).
constexpr uint8_t kFormatJam = 0;
constexpr uint8_t kFormatSquish = 1;
// Values of MessageBaseRecord::NetType.
constexpr uint8_t kNetLocal = 0;
constexpr uint8_t kNetEcho = 1;
constexpr uint8_t kNetEchoOther = 2;  // a second networked kind, posted as echo
constexpr uint8_t kNetMail = 3;
// MessageBaseRecord::PostType of a base whose messages are private.
constexpr uint8_t kPostPrivate = 1;

struct SystemConfigRecord {
  // The board's data directory, ending with the directory separator;
  // "mbases.dat" is appended to it directly. Relative to the board's root.
  std::string DataPath;
};

struct MessageBaseRecord {
  std::string BaseFileName;  // without extension, at most 8 characters
  std::string BasePath;      // ends with the separator, at most 40 characters
  uint8_t BaseFormat = kFormatJam;
  uint8_t NetType = kNetLocal;
  uint8_t PostType = 0;
  uint16_t MaxMsgs = 0;  // 0: no limit
  uint16_t MaxAge = 0;   // days; 0: no limit
};

// ---- Records as bytes ----

// Decode one whole record; false (and *record untouched) when bytes is
// shorter than a record. Bytes beyond the record are ignored.
bool DecodeSystemConfigRecord(std::span<const uint8_t> bytes,
                              SystemConfigRecord* record);
bool DecodeMessageBaseRecord(std::span<const uint8_t> bytes,
                             MessageBaseRecord* record);
// Encode into a zero-filled record of exactly the record size (strings cut
// to their capacities). out must be at least one record long.
void EncodeSystemConfigRecord(const SystemConfigRecord& record,
                              std::span<uint8_t> out);
void EncodeMessageBaseRecord(const MessageBaseRecord& record,
                             std::span<uint8_t> out);

// ---- Record files ----

// One of the board's record files, open. It is opened for reading and
// writing, as the board's programs open it (a program that may not write
// it is not one the board runs), but only read. Each step answers its
// Status; the I/O result of a failed step is its io_result().
class BoardRecordFile {
 public:
  // Opens name (relative names from the current directory); nullptr with
  // *status set when it cannot be opened (kNotFound, kPermissionDenied...).
  static std::unique_ptr<BoardRecordFile> Open(const std::string& name,
                                               Status* status);
  virtual ~BoardRecordFile() = default;

  // Number of whole records of record_size bytes the file holds.
  virtual Status CountRecords(size_t record_size, int64_t* count) = 0;
  // Reads record n (from 0) of out.size() bytes whole; kShortRead when
  // the file ends inside it.
  virtual Status ReadRecord(int64_t n, std::span<uint8_t> out) = 0;
  // Closes the file; no step may follow.
  virtual Status Close() = 0;

  // The system record (record 0 of "tarvik.dat").
  Status ReadSystemRecord(SystemConfigRecord* record);
  // Message-base record n of "mbases.dat".
  Status ReadBaseRecord(int64_t n, MessageBaseRecord* record);
};

// A board's records as read from its root directory.
struct Board {
  SystemConfigRecord system;
  std::vector<MessageBaseRecord> bases;  // in record order, from 0
};

// Reads root/tarvik.dat and every whole record of its DataPath's
// mbases.dat (DataPath taken from root unless it starts with "/"); a
// partial record at the end is not counted. The status names the file
// that failed.
Status ReadBoard(std::string_view root, Board* board);

// Makes a new board in root ("" for the current directory): the
// directories root, its DataPath and each base's BasePath (in that order,
// kept when present; relative ones below root), then tarvik.dat holding
// system and DataPath's mbases.dat holding bases. An existing record file
// is never overwritten: kInvalidArgument when one exists before anything
// is made. Failures say in words what could not be made and the board's
// I/O result number: "cannot create directory D (I/O result 5)",
// "cannot write F: it exists already", "F exists already; not
// overwriting a board". What was made before a failure stays.
Status CreateBoard(std::string_view root, const SystemConfigRecord& system,
                   std::span<const MessageBaseRecord> bases);

}  // namespace drayline

#endif  // DRAYLINE_BOARD_H_
