// The board's configuration records that the posting command reads: the
// system record of "tarvik.dat" and the message-base records of
// "mbases.dat". Both files belong to the rest of the board; this code only
// decodes the fields it uses (and encodes them, for tools that make sample
// boards). Every other byte is the board's and is left as zero by the
// encoders.
//
// String fields are length-prefixed: one length byte, then the characters.
// A length byte above the field's capacity is cut to the capacity, so a
// damaged record can never make us read into a neighbouring field.

#ifndef DRAYLINE_POST_BOARD_RECORDS_H_
#define DRAYLINE_POST_BOARD_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace drayline {

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

// Values of MessageBaseRecord::BaseFormat.
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
  // "mbases.dat" is appended to it directly.
  std::string DataPath;
};

struct MessageBaseRecord {
  std::string BaseFileName;  // without extension, at most 8 characters
  std::string BasePath;      // ends with the separator, at most 40 characters
  uint8_t BaseFormat = kFormatJam;
  uint8_t NetType = kNetLocal;
  uint8_t PostType = 0;
  uint16_t MaxMsgs = 0;
  uint16_t MaxAge = 0;
};

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

}  // namespace drayline

#endif  // DRAYLINE_POST_BOARD_RECORDS_H_
