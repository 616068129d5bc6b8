// Read-only views of the records of a Squish base, field by field as the
// files hold them, for tools that show or examine the files themselves.
//
//   drayline::Status s;
//   auto records = drayline::SquishRecordReader::Open("msgs/general", &s);
//   if (!records) { std::cerr << s.text() << "\n"; return 1; }
//   std::vector<drayline::SquishIndexRecord> index;
//   records->ReadIndex(0, 100, &index);
//   drayline::SquishFrameRecord frame;
//   if (!index.empty()) records->ReadFrame(index[0].frame_offset, &frame);
//
// Nothing here writes, locks or interprets a field beyond decoding it: a
// damaged base is shown as it is. Every offset and length taken from the
// files is checked against the file before it steers a read. Programs that
// read and write messages use message_base.h or message.h instead.

#ifndef DRAYLINE_SQUISH_RECORDS_H_
#define DRAYLINE_SQUISH_RECORDS_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/message.h"
#include "drayline/status.h"

namespace drayline {

// The control record, at the start of the data file (".sqd").
struct SquishControlRecord {
  uint16_t header_length = 0;  // as stored; 0 stands for 256
  int32_t message_count = 0;
  int32_t high_message = 0;
  int32_t protected_count = 0;
  int32_t high_water = 0;
  int32_t next_uid = 0;
  std::string base_name;  // up to its NUL
  int32_t first_frame = 0;
  int32_t last_frame = 0;
  int32_t first_free_frame = 0;
  int32_t last_free_frame = 0;
  int32_t end_frame = 0;
  int32_t max_messages = 0;
  uint16_t keep_days = 0;
  uint16_t frame_header_size = 0;  // as stored; 0 stands for 28
};

// One entry of the index file (".sqi"), oldest message first.
struct SquishIndexRecord {
  int32_t frame_offset = 0;  // where the message's frame starts in ".sqd"
  int32_t uid = 0;           // the message's number
  uint32_t name_hash = 0;    // of the recipient; 0 once received
};

// The message header that follows a message frame's header.
struct SquishMessageHeaderRecord {
  uint32_t attributes = 0;
  std::string from, to, subject;  // up to their NULs
  NetAddress orig, dest;
  // Packed dates with the date half first, as stored; Written and Arrived
  // give them as local dates and times.
  uint32_t date_written = 0;
  uint32_t date_arrived = 0;
  uint16_t utc_offset = 0;
  int32_t reply_to = 0;
  std::array<int32_t, 9> replies{};
  int32_t message_uid = 0;
  std::string ftsc_date;  // up to its NUL
};

// A frame: its header and, for a message frame whose header and message
// header lie inside the file, the message header and control information.
struct SquishFrameRecord {
  int32_t offset = 0;
  uint32_t frame_id = 0;  // 0xAFAE4453 in a sound frame
  int32_t next_frame = 0;
  int32_t prev_frame = 0;
  int32_t frame_length = 0;
  int32_t message_length = 0;
  int32_t control_length = 0;
  uint16_t frame_type = 0;  // 0 a message, 1 free
  bool message_read = false;  // message and control below were read
  SquishMessageHeaderRecord message;
  // The control information: ControlLength bytes after the message header,
  // cut to the message and to the file.
  std::string control;
};

// A stored packed date (date half first) as a local date and time; all
// zero for 0.
LocalDateTime SquishTime(uint32_t stored);

// The files of one base, open for reading until the reader is destroyed.
class SquishRecordReader {
 public:
  // Opens path's (without extension) data and index files and reads the
  // control record. nullptr on failure, with *status saying why: the I/O
  // result of a file that cannot be opened or sized, or kDamaged when the
  // data file is too short for a control record.
  static std::unique_ptr<SquishRecordReader> Open(std::string_view path,
                                                  Status* status);
  ~SquishRecordReader();
  SquishRecordReader(const SquishRecordReader&) = delete;
  SquishRecordReader& operator=(const SquishRecordReader&) = delete;

  const SquishControlRecord& control() const { return control_; }
  // The whole entries of the index file, as sized when opened.
  uint64_t index_count() const;

  // Index entries first .. first + count - 1 (no more than there are) into
  // *out. Fails when they cannot be read.
  Status ReadIndex(uint64_t first, size_t count,
                   std::vector<SquishIndexRecord>* out) const;
  // The frame at offset into *out. kDamaged when its header does not lie
  // inside the file (*out is then untouched).
  Status ReadFrame(int64_t offset, SquishFrameRecord* out) const;

 private:
  struct Files;  // the open files and their sizes
  SquishRecordReader(std::unique_ptr<Files> files,
                     const SquishControlRecord& control);

  std::unique_ptr<Files> files_;
  SquishControlRecord control_;
};

}  // namespace drayline

#endif  // DRAYLINE_SQUISH_RECORDS_H_
