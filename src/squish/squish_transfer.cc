#include "squish/squish_transfer.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "squish/squish_change.h"
#include "squish/squish_files.h"
#include "squish/squish_frames.h"
#include "squish/squish_header.h"
#include "squish/squish_index.h"
#include "squish/squish_reader.h"
#include "support/change.h"
#include "support/coding.h"
#include "support/file_access.h"
#include "support/strings.h"

namespace drayline::squish {

namespace {

// A body longer than this is not taken from a file: no program writes
// one, and a damaged length must not steer a huge allocation.
constexpr int64_t kMostBodyRead = 16 * 1024 * 1024;

// The message of a header. *fields is room kept from one header to the
// next: the names and subject are swapped between it and *m, so that a
// walk that hands the same message again makes no string anew.
void FillFromHeader(const SquishMessageHeader& h, int32_t uid, HeaderFields* fields,
                    ExportedMessage* m) {
  FieldsOfHeader(h, 0, fields);
  MakeLocalDates(fields);
  const HeaderFields& f = *fields;
  m->format = BaseFormat::kSquish;
  m->number = uid;
  m->from.swap(fields->from);
  m->to.swap(fields->to);
  m->subject.swap(fields->subject);
  m->written = f.written;
  m->processed = f.processed;
  m->attributes = f.attributes;
  m->orig = f.orig;
  m->dest = f.dest;
  m->reply_to = f.reply_to;
  m->reply_first = f.first_reply;
  m->reply_next = 0;
  m->replies = f.replies;
  m->jam = JamPart{};
  SquishPart& p = m->squish;
  p.attributes = h.Attributes;
  p.date_written = h.DateWritten;
  p.date_arrived = h.DateArrived;
  p.utc_offset = h.UtcOffset;
  p.message_uid = h.MessageUid;
  p.ftsc_date.assign(CStrView(h.FtscDate, kFtscDateSize));  // in the room it has
}

// The message header m describes, links as given.
SquishMessageHeader BuildHeader(const ExportedMessage& m) {
  const SquishPart& p = m.squish;
  SquishMessageHeader h;
  h.Attributes = p.attributes;
  StrToCStr(m.from, kNameLimit, h.FromName);
  StrToCStr(m.to, kNameLimit, h.ToName);
  StrToCStr(m.subject, kSubjectLimit, h.Subject);
  h.OrigAddress = m.orig;
  h.DestAddress = m.dest;
  h.DateWritten = p.date_written;
  h.DateArrived = p.date_arrived;
  h.UtcOffset = p.utc_offset;
  h.ReplyTo = m.reply_to;
  h.Replies = m.replies;
  h.Replies[0] = m.reply_first;
  h.MessageUid = p.message_uid;
  StrToCStr(p.ftsc_date, kFtscDateSize, h.FtscDate);
  return h;
}

class SquishSource final : public MessageSource {
 public:
  explicit SquishSource(Env* env) : files_(env), reader_(files_) {}

  Status Open(std::string_view path) {
    files_.SetPath(path);
    Status s = files_.OpenIndex();
    if (s.ok()) s = files_.OpenData();
    if (s.ok()) s = index_.Read(files_.index(), files_.Name(kIndexExt));
    return s;
  }

  BaseFormat format() const override { return BaseFormat::kSquish; }
  BaseSettings settings() const override {
    const SquishBaseHeader& f = files_.control().fields;
    return {f.MaxMessages, f.KeepDays};
  }

  Status Numbers(std::vector<int32_t>* out) override {
    out->clear();
    for (uint16_t k = 1; k <= Entries(); ++k) out->push_back(index_.At(k, Count())->Uid);
    return Status::Ok();
  }

  bool Next(ExportedMessage* out) override {
    if (!status_.ok() || next_ >= Entries()) return false;
    const SquishIndexEntry entry = *index_.At(++next_, Count());
    status_ = Load(entry, out);
    return status_.ok();
  }

  const Status& status() const override { return status_; }

  Status LastReads(std::vector<LastReadValue>* out) override {
    out->clear();
    const std::string name = files_.Name(kLastReadExt);
    const int64_t size = SizeOfFile(files_.env(), name);
    if (size <= 0) return Status::Ok();
    std::vector<uint8_t> bytes(static_cast<size_t>(size) & ~size_t{3});
    const IoResult code = LoadFile(files_.env(), name, bytes);
    if (code != io::kOk) return Status::FromIo(code, "reading " + name);
    for (size_t at = 0; at < bytes.size(); at += 4) {
      const int32_t num = DecodeFixed32Signed(&bytes[at]);
      const auto user = static_cast<uint32_t>(at / 4 + 1);
      if (num != 0) out->push_back({user, user, num, num});
    }
    return Status::Ok();
  }

 private:
  int32_t Count() const { return files_.control().fields.MessageCount; }
  uint16_t Entries() const { return index_.Entries(Count()); }

  Status Load(const SquishIndexEntry& entry, ExportedMessage* out) {
    SquishFrameHeader frame;
    SquishMessageHeader header;
    Status s = reader_.LoadHeaders(entry.FrameOffset, false, &frame, &header);
    if (!s.ok()) return s;
    const int64_t body = int64_t{frame.MessageLength} - kMessageHeaderSize;
    if (frame.FrameType != kFrameTypeMessage || body < 0 || body > frame.FrameLength ||
        body > kMostBodyRead || frame.ControlLength < 0 || frame.ControlLength > body) {
      return Status::Damaged("the frame at offset " + std::to_string(entry.FrameOffset) +
                             " holds no whole message");
    }
    FillFromHeader(header, entry.Uid, &fields_, out);
    body_.resize(static_cast<size_t>(body));
    size_t done = 0;
    s = reader_.ReadBody(entry.FrameOffset, false, body_, &done);
    if (!s.ok()) return s;
    const auto* bytes = reinterpret_cast<const char*>(body_.data());
    const size_t control = static_cast<size_t>(frame.ControlLength);
    // Control information may end in a NUL of its own.
    const std::string_view info(bytes, control);
    out->squish.control.assign(info.substr(0, info.find('\0')));
    const std::string_view text(bytes + control, body_.size() - control);
    out->text.assign(text.substr(0, text.find('\0')));
    return Status::Ok();
  }

  SquishFiles files_;
  SquishIndex index_;
  FrameReader reader_;
  HeaderFields fields_;  // FillFromHeader's room
  std::vector<uint8_t> body_;
  uint16_t next_ = 0;
  Status status_;
};

class SquishSink final : public MessageSink {
 public:
  explicit SquishSink(Env* env) : files_(env), frames_(files_) {}
  void SetChangeOptions(const ChangeOptions& change) { files_.SetChangeOptions(change); }

  Status Open(std::string_view path, const BaseSettings& settings) {
    if (!free_.Allocate()) return Status(StatusCode::kNoMemory, io::kNoZeroBlock, "no memory for the free table");
    files_.SetPath(path);
    Status s;
    if (!files_.DataExists()) {
      s = files_.Create(static_cast<uint16_t>(std::clamp(settings.max_messages, 0, 65535)),
                        settings.keep_days);
    }
    if (s.ok()) s = files_.OpenIndex();
    if (s.ok()) s = files_.OpenData();
    if (s.ok()) s = Change::Begin(files_.env(), *files_.data(), files_.change_setup(), &change_);
    if (!s.ok()) return s;
    // Read under the lock: what another program stored before is kept.
    s = files_.ReadControl();
    if (s.ok()) s = index_.Read(files_.index(), files_.Name(kIndexExt));
    return s;
  }

  BaseFormat format() const override { return BaseFormat::kSquish; }
  int32_t NextNumber() const override { return files_.control().fields.NextUid; }

  Status Store(const ExportedMessage& m) override {
    if (change_ == nullptr || !failed_.ok()) return Refused();
    if (m.format != BaseFormat::kSquish) return Status::InvalidArgument("not a Squish message");
    std::string body = m.squish.control;
    body += m.text;
    body += '\0';
    const auto* bytes = reinterpret_cast<const uint8_t*>(body.data());
    Status s = Steps().Store(BuildHeader(m), {bytes, body.size()});
    if (s.ok() && !m.squish.control.empty()) s = MarkControl(m.squish.control.size());
    if (!s.ok()) failed_ = s;
    return s;
  }

  Status SetLastReads(const std::vector<LastReadValue>& values) override {
    if (change_ == nullptr || !failed_.ok()) return Refused();
    const std::string name = files_.Name(kLastReadExt);
    std::unique_ptr<File> file;
    uint64_t size = 0;
    Status s = Status::FromIo(
        RetryOpen(files_.env(), name, OpenMode::kOpenOrCreate | OpenMode::kNoFollow, &file),
        "opening " + name);
    if (s.ok()) change_->Name(*file, name);
    if (s.ok()) s = change_->Size(*file, &size);
    std::vector<uint8_t> image(static_cast<size_t>(size));
    if (s.ok() && size > 0) s = Status::FromIo(ReadExact(*file, 0, image), "reading " + name);
    for (const LastReadValue& v : values) {
      if (!s.ok()) break;
      if (v.user < 1 || v.user > kSquishMostUsers) {
        s = Status::InvalidArgument("user " + std::to_string(v.user) + " has no Squish record");
        break;
      }
      const size_t at = size_t{v.user - 1} * 4;
      if (image.size() < at + 4) image.resize(at + 4);
      EncodeFixed32Signed(&image[at], v.high_read);
    }
    const std::span<const uint8_t> all(image);
    if (s.ok() && size > 0) s = change_->Write(*file, 0, all.first(static_cast<size_t>(size)));
    if (s.ok() && image.size() > size) s = change_->WriteFresh(*file, size, all.subspan(size));
    if (s.ok()) last_read_ = std::move(file);
    if (!s.ok()) failed_ = s;
    return s;
  }

  Status Finish() override {
    if (change_ == nullptr) return Refused();
    Status s = failed_.ok() ? Steps().WriteBase() : failed_;
    s = s.ok() ? change_->Commit() : s;
    change_.reset();  // undoes what was not committed
    last_read_.reset();
    files_.CloseData();
    files_.CloseIndex();
    return s;
  }

  ~SquishSink() override {
    change_.reset();
    last_read_.reset();
  }

 private:
  SquishChange Steps() { return SquishChange(BaseParts{files_, index_, frames_, free_}, *change_); }
  Status Refused() const {
    return failed_.ok() ? Status::InvalidArgument("the sink is finished") : failed_;
  }

  // The frame just stored (the last of the message chain) says how much
  // of its body is control information.
  Status MarkControl(size_t length) {
    const int32_t offset = files_.control().fields.LastFrame;
    SquishFrameHeader old;
    Status s = frames_.Read(offset, &old);
    if (!s.ok()) return s;
    SquishFrameHeader marked = old;
    marked.ControlLength = static_cast<int32_t>(length);
    return frames_.Write(*change_, offset, marked, old);
  }

  SquishFiles files_;
  SquishIndex index_;
  FrameStore frames_;
  FreeTable free_;
  std::unique_ptr<Change> change_;
  std::unique_ptr<File> last_read_;
  Status failed_;
};

}  // namespace

std::unique_ptr<MessageSource> NewSquishSource(Env* env, std::string_view path,
                                               Status* status) {
  auto source = std::make_unique<SquishSource>(env);
  *status = source->Open(path);
  if (!status->ok()) return nullptr;
  return source;
}

std::unique_ptr<MessageSink> NewSquishSink(Env* env, std::string_view path,
                                           const BaseSettings& settings,
                                           const ChangeOptions& change, Status* status) {
  auto sink = std::make_unique<SquishSink>(env);
  sink->SetChangeOptions(change);
  *status = sink->Open(path, settings);
  if (!status->ok()) return nullptr;
  return sink;
}

void FillSquishPart(ExportedMessage* m) {
  HeaderFields fields;
  fields.attributes = m->attributes;
  fields.written = m->written;
  fields.processed = m->processed;
  fields.exact_dates = true;
  const SquishMessageHeader h = NewMessageHeader(fields, DateTimeRecord{});
  SquishPart& p = m->squish;
  p.attributes = h.Attributes;
  p.date_written = h.DateWritten;
  p.date_arrived = m->processed == LocalDateTime{} ? 0 : h.DateArrived;
  p.utc_offset = 0;
  p.message_uid = 0;
  p.ftsc_date = m->written == LocalDateTime{} ? std::string() : CStrToStr(h.FtscDate, kFtscDateSize);
  m->format = BaseFormat::kSquish;
  m->reply_next = 0;
  m->replies[0] = m->reply_first;
  m->jam = JamPart{};
}

}  // namespace drayline::squish
