// The files of a Squish base and its control record: naming the base,
// opening, creating and closing ".sqd" and ".sqi", and reading the control
// record at the head of ".sqd".
//
// The control record is checked before any of its values is used: a
// HeaderLength that cannot hold the fields in use or exceeds the 356-byte
// area, a file shorter than its own record, a FrameHeaderSize below 28 or
// an EndFrame inside the record make it unsound, and an unsound record
// steers nothing (ControlRecord::sound() stays false).

#ifndef DRAYLINE_SQUISH_SQUISH_FILES_H_
#define DRAYLINE_SQUISH_SQUISH_FILES_H_

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "drayline/status.h"
#include "squish/squish_format.h"
#include "support/change.h"
#include "support/env.h"

namespace drayline::squish {

// The control record as last read. The bytes of the area beyond the known
// fields are kept as read and written back with them.
struct ControlRecord {
  std::array<uint8_t, kHeaderAreaSize> area{};  // the bytes as read
  SquishBaseHeader fields;
  uint16_t length = kBaseHeaderSize;            // bytes read and written
  uint16_t frame_header_size = kFrameHeaderSize;
  // Ok when fields came whole and sound from the file (ReadControl);
  // otherwise why not.
  Status read_status = Status(StatusCode::kNotOpen, io::kNotOpen, "not read");

  bool sound() const { return read_status.ok(); }

  // The record's bytes with fields encoded into them (length bytes used).
  std::array<uint8_t, kHeaderAreaSize> Encoded() const;
  // The bytes the file held when the record was read.
  std::span<const uint8_t> AsRead() const { return std::span(area).first(length); }
};

// Decodes a control record from the first `got` bytes of a data file; false
// when they do not hold a whole, sound one (see the file comment).
bool ParseControlRecord(std::span<const uint8_t> bytes, size_t got,
                        SquishBaseHeader* header, uint16_t* length);

class SquishFiles {
 public:
  explicit SquishFiles(Env* env) : env_(env) {}
  SquishFiles(const SquishFiles&) = delete;
  SquishFiles& operator=(const SquishFiles&) = delete;

  Env* env() const { return env_; }
  // Expands path to a full path (squish_path.h); never cut for length.
  void SetPath(std::string_view path);
  // How every later change records and flushes itself.
  void SetChangeOptions(const ChangeOptions& options) { setup_.options = options; }
  // What a change records on disk: the journal beside the base, the open
  // files by name, the control record's first bytes as fingerprint (every
  // change that moves the counters writes the control record last).
  const ChangeSetup* change_setup() const { return &setup_; }
  const std::string& path() const { return path_; }
  std::string Name(std::string_view ext) const { return path_ + std::string(ext); }
  bool DataExists() const;

  // Opens ".sqi" (a no-op when open).
  Status OpenIndex();
  // Opens ".sqd", rolls back a change cut short (under the lock), and
  // reads a whole, sound control record; when it cannot,
  // the file is closed again (so CreateBase may complete a data file too
  // short for its record) and the status says why.
  Status OpenData();
  void CloseData();
  void CloseIndex();
  // Creates the files that are missing; never writes over a base that
  // holds messages nor over a data file that is no control record. A new
  // base is written under temporary names and linked into place, the data
  // file last. Fails (writes nothing) while the data file is open.
  Status Create(uint16_t max_msgs, uint16_t keep_days);

  File* data() const { return data_.get(); }
  File* index() const { return index_.get(); }
  ControlRecord& control() { return control_; }
  const ControlRecord& control() const { return control_; }
  // Re-reads the control record at offset 0. On failure the fields stay as
  // they were and control().sound() is false.
  Status ReadControl();

 private:
  Status PrepareControlRecord(Change& change, File& data, uint16_t max_msgs,
                              uint16_t keep_days, bool* holds_messages);
  Status PrepareIndexFile(bool holds_messages);
  Status Opened(IoResult code, std::string_view ext);
  Status ReadControlRecord();
  // Points the change setup at the open files.
  void NameFilesForChange();

  Env* env_;
  ChangeSetup setup_;
  std::string path_;
  std::unique_ptr<File> data_;
  std::unique_ptr<File> index_;
  ControlRecord control_;
};

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_FILES_H_
