// Squish base files: naming, opening, creating and closing them, and the
// control record.

#include "squish/squish_files.h"

#include <algorithm>

#include "squish/squish_path.h"
#include "support/coding.h"
#include "support/file_access.h"
#include "support/strings.h"

namespace drayline::squish {

namespace {

// The control record's length as a file declares it (0 means 256).
uint16_t DeclaredHeaderLength(const uint8_t* bytes) {
  uint16_t length = DecodeFixed16(bytes + kBhHeaderLength);
  return length == 0 ? kBaseHeaderSize : length;
}

SquishBaseHeader FreshControlRecord(const std::string& path, uint16_t max_msgs,
                                    uint16_t keep_days) {
  SquishBaseHeader fresh;
  fresh.HeaderLength = kBaseHeaderSize;
  fresh.FrameHeaderSize = kFrameHeaderSize;
  fresh.NextUid = 1;
  StrToCStr(path, kBaseNameMax + 1, fresh.BaseName);
  fresh.MaxMessages = max_msgs;
  fresh.KeepDays = keep_days;
  fresh.EndFrame = kBaseHeaderSize;
  return fresh;
}

}  // namespace

std::array<uint8_t, kHeaderAreaSize> ControlRecord::Encoded() const {
  std::array<uint8_t, kHeaderAreaSize> bytes = area;
  EncodeBaseHeader(fields, bytes.data());
  return bytes;
}

// Values that fail here would steer writes outside the frames.
bool ParseControlRecord(std::span<const uint8_t> bytes, size_t got,
                        SquishBaseHeader* header, uint16_t* length) {
  if (got < 2) return false;
  uint16_t declared = DeclaredHeaderLength(bytes.data());
  if (declared < kMinHeaderLength || declared > kHeaderAreaSize) return false;
  if (got < declared) return false;
  SquishBaseHeader h = DecodeBaseHeader(bytes.data());
  if (h.FrameHeaderSize != 0 && h.FrameHeaderSize < kFrameHeaderSize) {
    return false;
  }
  if (h.EndFrame < declared) return false;
  *header = h;
  *length = declared;
  return true;
}

void SquishFiles::SetPath(std::string_view path) {
  path_ = ExpandBasePath(env_, path);
}

bool SquishFiles::DataExists() const {
  return FileExists(env_, Name(kDataExt));
}

Status SquishFiles::Opened(IoResult code, std::string_view ext) {
  return Status::FromIo(code, "opening " + Name(ext));
}

Status SquishFiles::OpenIndex() {
  if (index_ != nullptr) return Status::Ok();
  IoResult code = RetryOpen(env_, Name(kIndexExt), OpenMode::kReadWrite, &index_);
  if (code != io::kOk) index_.reset();
  return Opened(code, kIndexExt);
}

Status SquishFiles::OpenData() {
  if (data_ != nullptr) return Status::Ok();
  IoResult code = RetryOpen(env_, Name(kDataExt), OpenMode::kReadWrite, &data_);
  if (code != io::kOk) {
    data_.reset();
    return Opened(code, kDataExt);
  }
  // Each base object learns its own sizes from its own file.
  control_.length = kBaseHeaderSize;
  control_.frame_header_size = kFrameHeaderSize;
  Status s = ReadControl();
  if (!s.ok()) CloseData();
  return s;
}

void SquishFiles::CloseData() {
  if (data_ == nullptr) return;
  data_->Close();  // the result is read and dropped
  data_.reset();
  control_.read_status = Status(StatusCode::kNotOpen, io::kNotOpen, "closed");
}

void SquishFiles::CloseIndex() {
  if (index_ == nullptr) return;
  index_->Close();
  index_.reset();
}

Status SquishFiles::ReadControl() {
  control_.read_status = ReadControlRecord();
  return control_.read_status;
}

Status SquishFiles::ReadControlRecord() {
  if (data_ == nullptr) {
    return Status(StatusCode::kNotOpen, io::kNotOpen, Name(kDataExt) + " is not open");
  }
  // One read of the whole area; the declared length says how much of it
  // is the control record.
  std::array<uint8_t, kHeaderAreaSize> area{};
  size_t got = 0;
  IoResult code = RetryRead(*data_, 0, area, &got);
  if (code != io::kOk) {
    return Status::FromIo(code, "reading the control record of " + Name(kDataExt));
  }
  SquishBaseHeader header;
  uint16_t length = 0;
  if (!ParseControlRecord(area, got, &header, &length)) {
    if (got < kMinHeaderLength) {
      return Status(StatusCode::kShortRead, io::kReadPastEnd,
                    Name(kDataExt) + " is too short for a control record (" +
                        std::to_string(got) + " bytes)");
    }
    return Status::Damaged("the control record of " + Name(kDataExt) +
                           " is not sound (HeaderLength " +
                           std::to_string(DecodeFixed16(area.data())) + ")");
  }
  std::fill(area.begin() + length, area.end(), 0);
  if (header.FrameHeaderSize == 0) header.FrameHeaderSize = kFrameHeaderSize;
  control_.area = area;
  control_.fields = header;
  control_.length = length;
  control_.frame_header_size = header.FrameHeaderSize;
  return Status::Ok();
}

Status SquishFiles::Create(uint16_t max_msgs, uint16_t keep_days) {
  if (data_ != nullptr) {
    return Status::InvalidArgument("the base is open: " + Name(kDataExt));
  }
  // Created if missing, never truncated: another post may have just made
  // it and stored into it.
  std::unique_ptr<File> data;
  IoResult code = RetryOpen(env_, Name(kDataExt), OpenMode::kOpenOrCreate, &data);
  if (code != io::kOk) return Opened(code, kDataExt);
  std::unique_ptr<Change> change;
  Status s = Change::Begin(env_, *data, &change);
  bool holds_messages = false;
  if (s.ok()) s = PrepareControlRecord(*change, *data, max_msgs, keep_days,
                                       &holds_messages);
  if (s.ok()) s = PrepareIndexFile(holds_messages);
  // The last-read file is not needed to post; its result is not looked at.
  if (s.ok()) SaveFile(env_, Name(kLastReadExt), {});
  if (s.ok()) s = change->Commit();
  change.reset();  // undoes what is not committed, releases the lock
  data->Close();
  return s;
}

Status SquishFiles::PrepareControlRecord(Change& change, File& data,
                                         uint16_t max_msgs, uint16_t keep_days,
                                         bool* holds_messages) {
  const std::string name = Name(kDataExt);
  uint64_t size = 0;
  IoResult code = data.Size(&size);
  if (code != io::kOk) return Status::FromIo(code, "sizing " + name);
  std::array<uint8_t, kHeaderAreaSize> area{};
  size_t got = 0;
  code = RetryRead(data, 0, area, &got);
  if (code != io::kOk) return Status::FromIo(code, "reading " + name);
  SquishBaseHeader existing;
  uint16_t length = 0;
  if (ParseControlRecord(area, got, &existing, &length)) {
    // A whole control record is kept as it is.
    *holds_messages = existing.MessageCount != 0 || existing.FirstFrame != 0 ||
                      existing.EndFrame > length || size > length;
    return Status::Ok();
  }
  if (size >= kBaseHeaderSize) {
    // Not a control record we can read, and long enough to hold frames:
    // never written over.
    return Status::Damaged(name + " holds no sound control record; not "
                           "written over");
  }
  std::array<uint8_t, kBaseHeaderSize> bytes{};
  EncodeBaseHeader(FreshControlRecord(path_, max_msgs, keep_days), bytes.data());
  *holds_messages = false;
  return change.Overwrite(data, 0, bytes,
                          std::span(area).first(std::min<size_t>(got, bytes.size())));
}

Status SquishFiles::PrepareIndexFile(bool holds_messages) {
  if (index_ != nullptr) return Status::Ok();
  const std::string name = Name(kIndexExt);
  if (holds_messages) {
    // The base holds messages whose index is gone or unreadable: creating
    // an empty index would lose them all. Left for the sysop to repair.
    std::unique_ptr<File> index;
    return Opened(RetryOpen(env_, name, OpenMode::kReadWrite, &index),
                  kIndexExt);
  }
  return Status::FromIo(SaveFile(env_, name, {}), "creating " + name);
}

}  // namespace drayline::squish
