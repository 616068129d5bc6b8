// The read-only record views of drayline/squish_records.h.

#include "drayline/squish_records.h"

#include <algorithm>

#include "squish/squish_format.h"
#include "squish/squish_path.h"
#include "support/clock.h"
#include "support/env.h"
#include "support/file_access.h"
#include "support/strings.h"

namespace drayline {

using namespace squish;

struct SquishRecordReader::Files {
  std::string data_name, index_name;
  std::unique_ptr<File> data, index;
  uint64_t data_size = 0, index_size = 0;

  // Reads exactly buf.size() bytes at offset, which the caller has checked
  // to lie inside the file.
  Status Read(File& file, const std::string& name, uint64_t offset,
              std::span<uint8_t> buf) const {
    return Status::FromIo(ReadExact(file, offset, buf), "reading " + name);
  }
};

namespace {

Status OpenSized(Env* env, const std::string& name, std::unique_ptr<File>* file,
                 uint64_t* size) {
  IoResult code = RetryOpen(env, name, OpenMode::kReadOnly, file);
  if (code == io::kOk) code = (*file)->Size(size);
  return Status::FromIo(code, "cannot read " + name);
}

SquishControlRecord ControlOf(const SquishBaseHeader& h) {
  SquishControlRecord c;
  c.header_length = h.HeaderLength;
  c.message_count = h.MessageCount;
  c.high_message = h.HighMessage;
  c.protected_count = h.ProtectedCount;
  c.high_water = h.HighWater;
  c.next_uid = h.NextUid;
  c.base_name = CStrToStr(h.BaseName, kBaseNameSize);
  c.first_frame = h.FirstFrame;
  c.last_frame = h.LastFrame;
  c.first_free_frame = h.FirstFreeFrame;
  c.last_free_frame = h.LastFreeFrame;
  c.end_frame = h.EndFrame;
  c.max_messages = h.MaxMessages;
  c.keep_days = h.KeepDays;
  c.frame_header_size = h.FrameHeaderSize;
  return c;
}

SquishMessageHeaderRecord MessageOf(const SquishMessageHeader& h) {
  SquishMessageHeaderRecord m;
  m.attributes = h.Attributes;
  m.from = CStrToStr(h.FromName, kNameSize);
  m.to = CStrToStr(h.ToName, kNameSize);
  m.subject = CStrToStr(h.Subject, kSubjectSize);
  m.orig = h.OrigAddress;
  m.dest = h.DestAddress;
  m.date_written = h.DateWritten;
  m.date_arrived = h.DateArrived;
  m.utc_offset = h.UtcOffset;
  m.reply_to = h.ReplyTo;
  m.replies = h.Replies;
  m.message_uid = h.MessageUid;
  m.ftsc_date = CStrToStr(h.FtscDate, kFtscDateSize);
  return m;
}

void SetFrameFields(const SquishFrameHeader& h, SquishFrameRecord* out) {
  out->frame_id = h.FrameId;
  out->next_frame = h.NextFrame;
  out->prev_frame = h.PrevFrame;
  out->frame_length = h.FrameLength;
  out->message_length = h.MessageLength;
  out->control_length = h.ControlLength;
  out->frame_type = h.FrameType;
}

}  // namespace

LocalDateTime SquishTime(uint32_t stored) {
  if (stored == 0) return {};
  DateTimeRecord r = UnpackDateTime(SwapPackedHalves(stored));
  return LocalDateTime{r.Year, r.Month, r.Day, r.Hour, r.Minute, r.Second};
}

std::unique_ptr<SquishRecordReader> SquishRecordReader::Open(
    std::string_view path, Status* status) {
  Env* env = Env::Default();
  auto files = std::make_unique<Files>();
  const std::string base = ExpandBasePath(env, path);
  files->data_name = base + std::string(kDataExt);
  files->index_name = base + std::string(kIndexExt);
  *status = OpenSized(env, files->data_name, &files->data, &files->data_size);
  if (status->ok()) {
    *status = OpenSized(env, files->index_name, &files->index, &files->index_size);
  }
  if (!status->ok()) return nullptr;
  std::array<uint8_t, kMinHeaderLength> bytes{};
  if (files->data_size < bytes.size()) {
    *status = Status::Damaged(files->data_name + " has no whole control record");
    return nullptr;
  }
  *status = files->Read(*files->data, files->data_name, 0, bytes);
  if (!status->ok()) return nullptr;
  const SquishControlRecord control = ControlOf(DecodeBaseHeader(bytes.data()));
  return std::unique_ptr<SquishRecordReader>(
      new SquishRecordReader(std::move(files), control));
}

SquishRecordReader::SquishRecordReader(std::unique_ptr<Files> files,
                                       const SquishControlRecord& control)
    : files_(std::move(files)), control_(control) {}

SquishRecordReader::~SquishRecordReader() = default;

uint64_t SquishRecordReader::index_count() const {
  return files_->index_size / kIndexEntrySize;
}

Status SquishRecordReader::ReadIndex(uint64_t first, size_t count,
                                     std::vector<SquishIndexRecord>* out) const {
  out->clear();
  if (first >= index_count()) return Status::Ok();
  const uint64_t n = std::min<uint64_t>(count, index_count() - first);
  std::vector<uint8_t> bytes(static_cast<size_t>(n) * kIndexEntrySize);
  Status s = files_->Read(*files_->index, files_->index_name,
                          first * kIndexEntrySize, bytes);
  if (!s.ok()) return s;
  for (size_t k = 0; k < n; ++k) {
    SquishIndexEntry e = DecodeIndexEntry(bytes.data() + k * kIndexEntrySize);
    out->push_back(SquishIndexRecord{e.FrameOffset, e.Uid, e.NameHash});
  }
  return Status::Ok();
}

Status SquishRecordReader::ReadFrame(int64_t offset, SquishFrameRecord* out) const {
  const uint64_t size = files_->data_size;
  if (offset < 0 || uint64_t(offset) + kFrameHeaderSize > size) {
    return Status::Damaged("no frame header at offset " + std::to_string(offset) +
                           " of " + files_->data_name);
  }
  std::array<uint8_t, kFrameHeaderSize> frame;
  Status s = files_->Read(*files_->data, files_->data_name, uint64_t(offset), frame);
  if (!s.ok()) return s;
  SquishFrameRecord record;
  record.offset = static_cast<int32_t>(offset);
  const SquishFrameHeader h = DecodeFrameHeader(frame.data());
  SetFrameFields(h, &record);
  const uint64_t fhs =
      control_.frame_header_size == 0 ? kFrameHeaderSize : control_.frame_header_size;
  const uint64_t at = uint64_t(offset) + fhs;
  if (at + kMessageHeaderSize <= size) {
    std::array<uint8_t, kMessageHeaderSize> message;
    s = files_->Read(*files_->data, files_->data_name, at, message);
    if (!s.ok()) return s;
    record.message = MessageOf(DecodeMessageHeader(message.data()));
    record.message_read = true;
    // The control information, within the message and the file.
    const int64_t room = std::min<int64_t>(
        int64_t(h.MessageLength) - kMessageHeaderSize,
        int64_t(size - at - kMessageHeaderSize));
    const int64_t length = std::clamp<int64_t>(h.ControlLength, 0, std::max<int64_t>(room, 0));
    record.control.resize(static_cast<size_t>(length));
    std::span<uint8_t> bytes(reinterpret_cast<uint8_t*>(record.control.data()),
                             record.control.size());
    s = files_->Read(*files_->data, files_->data_name, at + kMessageHeaderSize, bytes);
    if (!s.ok()) return s;
  }
  *out = std::move(record);
  return Status::Ok();
}

}  // namespace drayline
