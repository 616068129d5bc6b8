// Read-only views of the records of a JAM base, field by field as the
// files hold them, for tools that show or examine the files themselves.
//
//   drayline::Status s;
//   auto records = drayline::JamRecordReader::Open("msgs/general", &s);
//   if (!records) { std::cerr << s.text() << "\n"; return 1; }
//   std::vector<drayline::JamIndexRecord> index;
//   records->ReadIndex(0, 100, &index);
//
// Nothing here writes, locks or interprets a field beyond decoding it:
// a damaged base is shown as it is. Every offset and length taken from the
// files is checked against the file before it steers a read. Programs that
// read and write messages use message_base.h or message.h instead.

#ifndef DRAYLINE_JAM_RECORDS_H_
#define DRAYLINE_JAM_RECORDS_H_

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/message.h"
#include "drayline/status.h"

namespace drayline {

// The base header, at the start of the header file (".jhr").
struct JamBaseHeaderRecord {
  std::array<uint8_t, 4> signature{};  // "JAM" and a 0 byte in a sound base
  uint32_t date_created = 0;           // a JAM time (JamTime)
  uint32_t mod_counter = 0;
  uint32_t active_msgs = 0;
  uint32_t password_crc = 0;
  uint32_t base_msg_num = 0;           // number of index record 0
};

// One record of the index file (".jdx"); record n belongs to message
// number base_msg_num + n.
struct JamIndexRecord {
  uint32_t user_crc = 0;    // checksum of the recipient's name
  uint32_t hdr_offset = 0;  // where the message's header starts in ".jhr"
  // A deleted message's record has a negative hdr_offset (0xFFFFFFFF).
  bool deleted() const { return static_cast<int32_t>(hdr_offset) < 0; }
};

struct JamSubfieldRecord {
  uint16_t lo_id = 0;  // the kind
  uint16_t hi_id = 0;
  std::string data;    // DatLen bytes, as stored
};

// A message header: its fixed part, then its subfields.
struct JamMessageHeaderRecord {
  std::array<uint8_t, 4> signature{};
  uint16_t revision = 0;
  uint16_t reserved_word = 0;
  uint32_t subfield_len = 0;
  uint32_t times_read = 0;
  uint32_t msgid_crc = 0;
  uint32_t reply_crc = 0;
  uint32_t reply_to = 0;
  uint32_t reply_1st = 0;
  uint32_t reply_next = 0;
  uint32_t date_written = 0;    // JAM times (JamTime)
  uint32_t date_received = 0;
  uint32_t date_processed = 0;
  uint32_t message_number = 0;
  uint32_t attribute = 0;
  uint32_t attribute2 = 0;
  uint32_t txt_offset = 0;      // the text in ".jdt"
  uint32_t txt_len = 0;
  uint32_t password_crc = 0;
  uint32_t cost = 0;
  // False when subfield_len bytes after the fixed part are not all inside
  // the header file, or are more than a header's subfield area (4000):
  // then no subfield was read.
  bool subfields_read = false;
  // The whole records within subfield_len, in order.
  std::vector<JamSubfieldRecord> subfields;
  // The kind of a record whose data runs past subfield_len, which ends
  // the walk; empty when none does.
  std::optional<uint16_t> overrun_id;
};

// A JAM time field as the local date and time it counts (JAM counts local
// time as if it were universal time; no time zone is applied).
LocalDateTime JamTime(uint32_t time);

// The files of one base, open for reading until the reader is destroyed.
class JamRecordReader {
 public:
  // Opens path's (without extension) header, text and index files and
  // reads the base header. nullptr on failure, with *status saying why:
  // "cannot read NAME (I/O result N)" for a file that cannot be opened or
  // sized, "NAME has no whole base header" (kDamaged) for a header file
  // too short, NAME being the file's path.
  static std::unique_ptr<JamRecordReader> Open(std::string_view path, Status* status);
  ~JamRecordReader();
  JamRecordReader(const JamRecordReader&) = delete;
  JamRecordReader& operator=(const JamRecordReader&) = delete;

  const JamBaseHeaderRecord& base_header() const { return base_header_; }
  // The whole records of the index file, as sized when opened.
  uint64_t index_count() const;

  // Index records first .. first + count - 1 (no more than there are)
  // into *out. Fails ("cannot read NAME") when they cannot be read.
  Status ReadIndex(uint64_t first, size_t count, std::vector<JamIndexRecord>* out) const;
  // The header at offset of the header file into *out. kDamaged when its
  // fixed part does not lie inside the file (*out is then untouched).
  Status ReadMessageHeader(uint32_t offset, JamMessageHeaderRecord* out) const;
  // length bytes of the text file at offset into *out. kDamaged when they
  // do not lie inside the file.
  Status ReadText(uint32_t offset, uint32_t length, std::string* out) const;

 private:
  struct Files;  // the open files and their sizes
  JamRecordReader(std::unique_ptr<Files> files, const JamBaseHeaderRecord& header);

  std::unique_ptr<Files> files_;
  JamBaseHeaderRecord base_header_;
};

}  // namespace drayline

#endif  // DRAYLINE_JAM_RECORDS_H_
