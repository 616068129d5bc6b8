// Squish base files: naming, opening, creating and closing them, and the
// control record.

#include "squish/squish_files.h"

#include <algorithm>

#include "drayline/check.h"
#include "squish/squish_path.h"
#include "support/coding.h"
#include "support/file_access.h"
#include "support/file_set.h"
#include "support/journal.h"
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
  setup_.journal = path_ + std::string(kJournalSuffix);
  setup_.fingerprint_size = kBaseHeaderSize;
  setup_.files = {{nullptr, Name(kDataExt)}, {nullptr, Name(kIndexExt)}};
  NameFilesForChange();
}

void SquishFiles::NameFilesForChange() {
  if (setup_.files.size() != 2) return;
  setup_.files[0].file = data_.get();
  setup_.files[1].file = index_.get();
}

bool SquishFiles::DataExists() const {
  return FileExists(env_, Name(kDataExt));
}

Status SquishFiles::Opened(IoResult code, std::string_view ext) {
  return code == io::kOk ? Status::Ok() : OpenFailure(code, Name(ext));
}

Status SquishFiles::OpenIndex() {
  if (index_ != nullptr) return Status::Ok();
  IoResult code = RetryOpen(env_, Name(kIndexExt),
                            OpenMode::kReadWrite | OpenMode::kNoFollow, &index_);
  if (code != io::kOk) index_.reset();
  NameFilesForChange();
  return Opened(code, kIndexExt);
}

Status SquishFiles::OpenData() {
  if (data_ != nullptr) return Status::Ok();
  IoResult code = RetryOpen(env_, Name(kDataExt),
                            OpenMode::kReadWrite | OpenMode::kNoFollow, &data_);
  if (code != io::kOk) {
    data_.reset();
    return Opened(code, kDataExt);
  }
  NameFilesForChange();
  // Each base object learns its own sizes from its own file.
  control_.length = kBaseHeaderSize;
  control_.frame_header_size = kFrameHeaderSize;
  // Nothing is read before a change cut short is taken back.
  Status s = RecoverIfPending(env_, setup_.journal, *data_, setup_.options.sync);
  if (s.ok()) s = ReadControl();
  if (!s.ok()) CloseData();
  return s;
}

void SquishFiles::CloseData() {
  if (data_ == nullptr) return;
  data_->Close();  // the result is read and dropped
  data_.reset();
  NameFilesForChange();
  control_.read_status = Status(StatusCode::kNotOpen, io::kNotOpen, "closed");
}

void SquishFiles::CloseIndex() {
  if (index_ == nullptr) return;
  index_->Close();
  index_.reset();
  NameFilesForChange();
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
  if (!env_->Exists(Name(kDataExt))) {
    std::array<uint8_t, kBaseHeaderSize> bytes{};
    EncodeBaseHeader(FreshControlRecord(path_, max_msgs, keep_days), bytes.data());
    const NewFile files[] = {{Name(kIndexExt), {}},
                             {Name(kLastReadExt), {}, /*keep_existing=*/true},
                             {Name(kDataExt), {bytes.begin(), bytes.end()}}};
    bool raced = false;
    Status s = CreateLinked(env_, files, setup_.options.sync, &raced);
    // Another creator's data file is completed and checked as one found.
    if (!s.ok() || !raced) return s;
  }
  // Created if missing, never truncated: another post may have just made
  // it and stored into it.
  std::unique_ptr<File> data;
  IoResult code = RetryOpen(env_, Name(kDataExt),
                            OpenMode::kOpenOrCreate | OpenMode::kNoFollow, &data);
  if (code != io::kOk) return Opened(code, kDataExt);
  ChangeSetup setup = setup_;
  setup.files = {{data.get(), Name(kDataExt)}};
  std::unique_ptr<Change> change;
  Status s = Change::Begin(env_, *data, &setup, &change);
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
    return Opened(RetryOpen(env_, name, OpenMode::kReadWrite | OpenMode::kNoFollow, &index),
                  kIndexExt);
  }
  return Status::FromIo(SaveFile(env_, name, {}), "creating " + name);
}

}  // namespace drayline::squish
