#include "jam/jam_transfer.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "jam/jam_base_files.h"
#include "jam/jam_header.h"
#include "jam/jam_header_reader.h"
#include "jam/jam_subfields.h"
#include "support/change.h"
#include "support/file_access.h"
#include "support/read_window.h"

namespace drayline::jam {

namespace {

// Index records read at a time, and the read-ahead of the text file: a
// walk in storage order reads texts one after another.
constexpr size_t kIndexChunk = 1024;
constexpr size_t kTextWindowSize = 64 * 1024;

// *s becomes bytes, in the room it has when that is enough (a walk's
// message has it after the first few): appended to an emptied string,
// which takes fewer steps than an assignment.
void SetBytes(std::string* s, std::string_view bytes) {
  s->clear();
  s->append(bytes);
}

// The common fields, the JAM part and the subfields of a loaded header.
// The strings of *m are written over, so that a walk that hands the same
// message again makes none anew; *fields is room for the header's fields.
void FillFromHeader(const JamHeader& header, HeaderFields* fields, ExportedMessage* m) {
  header.ToFields(fields);
  header.ToDates(fields);
  header.MakeDates(fields);
  const std::span<const uint8_t> area = header.Subfields();
  // The names, subject and addresses as the engine reads them
  // (DecodeSubfields), viewed in the header; the addresses come from the
  // walk over the subfields below.
  const SubfieldTexts texts = ViewSubfieldTexts(area, header.Field(kMhAttribute));
  SetBytes(&m->from, texts.from);
  SetBytes(&m->to, texts.to);
  SetBytes(&m->subject, texts.subject);
  m->orig = {};
  m->dest = {};
  m->format = BaseFormat::kJam;
  m->number = static_cast<int32_t>(header.MessageNumber());
  m->written = fields->written;
  m->processed = fields->processed;
  m->attributes = fields->attributes;
  m->reply_to = fields->reply_to;
  m->reply_first = fields->first_reply;
  m->reply_next = fields->next_reply;
  m->replies = {};
  m->squish = SquishPart{};
  JamPart& p = m->jam;
  const std::span<const uint8_t> fixed = header.fixed();
  p.revision = DecodeFixed16(fixed.data() + kMhRevision);
  p.reserved_word = DecodeFixed16(fixed.data() + kMhReservedWord);
  p.times_read = header.Field(kMhTimesRead);
  p.msgid_crc = header.Field(kMhMsgIdCrc);
  p.reply_crc = header.Field(kMhReplyCrc);
  p.date_written = header.Field(kMhDateWritten);
  p.date_received = header.Field(kMhDateReceived);
  p.date_processed = header.Field(kMhDateProcessed);
  p.attribute = header.Field(kMhAttribute);
  p.attribute2 = header.Field(kMhAttribute2);
  p.password_crc = header.Field(kMhPasswordCrc);
  p.cost = header.Field(kMhCost);
  size_t count = 0;
  ForEachSubfield(area, [&](const Subfield& sf) {
    if (count == p.subfields.size()) p.subfields.emplace_back();
    JamSubfieldValue& value = p.subfields[count++];
    value.kind = sf.kind;
    value.hi_id = DecodeFixed16(sf.record.data() + 2);
    SetBytes(&value.data, {reinterpret_cast<const char*>(sf.data.data()), sf.data.size()});
    if (sf.kind == kSfOrigAddr || sf.kind == kSfDestAddr) {
      // A later record replaces an earlier one.
      DecodeAddress(sf.data, sf.kind == kSfOrigAddr ? &m->orig : &m->dest);
    }
    return true;
  });
  p.subfields.resize(count);
}

// Builds the header m->jam describes (links and all) into *header; false
// when its subfields do not fit in a header.
bool BuildHeader(const ExportedMessage& m, JamHeader* header) {
  const JamPart& p = m.jam;
  header->StartNew();
  uint8_t* fixed = header->fixed().data();
  std::memcpy(fixed + kMhSignature, "JAM", 4);
  EncodeFixed16(fixed + kMhRevision, p.revision);
  EncodeFixed16(fixed + kMhReservedWord, p.reserved_word);
  header->SetField(kMhTimesRead, p.times_read);
  header->SetField(kMhMsgIdCrc, p.msgid_crc);
  header->SetField(kMhReplyCrc, p.reply_crc);
  header->SetField(kMhReplyTo, static_cast<uint32_t>(m.reply_to));
  header->SetField(kMhReply1st, static_cast<uint32_t>(m.reply_first));
  header->SetField(kMhReplyNext, static_cast<uint32_t>(m.reply_next));
  header->SetField(kMhDateWritten, p.date_written);
  header->SetField(kMhDateReceived, p.date_received);
  header->SetField(kMhDateProcessed, p.date_processed);
  // A stored message is live whatever its source said.
  header->SetField(kMhAttribute, p.attribute & ~kAttrDeleted);
  header->SetField(kMhAttribute2, p.attribute2);
  header->SetField(kMhPasswordCrc, p.password_crc);
  header->SetField(kMhCost, p.cost);
  SubfieldWriter writer(header->subfield_area());
  std::vector<uint8_t> record;
  for (const JamSubfieldValue& sf : p.subfields) {
    record.resize(kSubfieldHeaderSize + sf.data.size());
    EncodeFixed16(record.data(), sf.kind);
    EncodeFixed16(record.data() + 2, sf.hi_id);
    EncodeFixed32(record.data() + 4, static_cast<uint32_t>(sf.data.size()));
    std::memcpy(record.data() + kSubfieldHeaderSize, sf.data.data(), sf.data.size());
    if (!writer.AddRecord(record)) return false;
  }
  header->SetField(kMhSubfieldLen, writer.used());
  return true;
}

class JamSource final : public MessageSource {
 public:
  explicit JamSource(Env* env) : files_(env), text_window_(kTextWindowSize, kTextWindowSize / 8) {}

  Status Open(std::string_view path) {
    files_.SetPath(path);
    Status s = files_.Open();
    uint64_t size = 0;
    if (s.ok()) s = Status::FromIo(files_.index_file()->Size(&size), "sizing the index");
    records_ = size / kIndexRecordSize;
    return s;
  }

  BaseFormat format() const override { return BaseFormat::kJam; }
  BaseSettings settings() const override { return {}; }

  Status Numbers(std::vector<int32_t>* out) override {
    out->clear();
    for (uint64_t r = 0; r < records_; ++r) {
      IndexRecord entry;
      Status s = Entry(r, &entry);
      if (!s.ok()) return s;
      if (!entry.deleted()) out->push_back(Number(r));
    }
    return Status::Ok();
  }

  bool Next(ExportedMessage* out) override {
    while (status_.ok() && next_ < records_) {
      const uint64_t r = next_++;
      IndexRecord entry;
      status_ = Entry(r, &entry);
      if (status_.ok() && !entry.deleted()) {
        status_ = Load(r, entry, out);
        return status_.ok();
      }
    }
    return false;
  }

  const Status& status() const override { return status_; }

  Status LastReads(std::vector<LastReadValue>* out) override {
    out->clear();
    const std::string name = files_.FileName(kLastReadExt);
    const int64_t size = SizeOfFile(files_.env(), name);
    if (size <= 0) return Status::Ok();  // no pointer yet
    std::vector<uint8_t> bytes(static_cast<size_t>(size) - static_cast<size_t>(size) % kLastReadRecordSize);
    const IoResult code = LoadFile(files_.env(), name, bytes);
    if (code != io::kOk) return Status::FromIo(code, "reading " + name);
    for (size_t at = 0; at < bytes.size(); at += kLastReadRecordSize) {
      const LastReadRecord r = DecodeLastReadRecord(&bytes[at]);
      out->push_back({r.UserID, r.UserCRC, static_cast<int32_t>(r.LastReadMsg),
                      static_cast<int32_t>(r.HighReadMsg)});
    }
    return Status::Ok();
  }

 private:
  int32_t Number(uint64_t record) const {
    return static_cast<int32_t>(record + files_.BaseField(kBhBaseMsgNum));
  }

  Status Entry(uint64_t record, IndexRecord* entry) {
    if (record < chunk_first_ || record >= chunk_first_ + chunk_.size() / kIndexRecordSize) {
      chunk_first_ = record;
      chunk_.resize(std::min<uint64_t>(kIndexChunk, records_ - record) * kIndexRecordSize);
      const IoResult code = ReadExact(*files_.index_file(), record * kIndexRecordSize, chunk_);
      if (code != io::kOk) {
        chunk_.clear();
        return Status::FromIo(code, "reading " + files_.FileName(kIndexExt));
      }
    }
    *entry = DecodeIndexRecord(&chunk_[(record - chunk_first_) * kIndexRecordSize]);
    return Status::Ok();
  }

  Status Load(uint64_t record, const IndexRecord& entry, ExportedMessage* out) {
    Status s = reader_.Load(files_.header_file(), entry.HdrOffset,
                            static_cast<int64_t>(record), &header_);
    if (!s.ok()) return s;
    const auto which = [&] { return "the header of message " + std::to_string(Number(record)); };
    if (std::memcmp(header_.fixed().data(), "JAM", 4) != 0 ||
        header_.MessageNumber() != static_cast<uint32_t>(Number(record))) {
      return Status::Damaged(which() + " is not where its index record points");
    }
    if (header_.Subfields().size() != header_.Field(kMhSubfieldLen)) {
      return Status::Damaged(which() + " has subfields past its end");
    }
    FillFromHeader(header_, &fields_, out);
    return ReadText(header_.Field(kMhTxtOffset), header_.Field(kMhTxtLen), &out->text);
  }

  Status ReadText(uint32_t offset, uint32_t length, std::string* text) {
    text->resize(length);
    size_t done = 0;
    const std::span<uint8_t> bytes(reinterpret_cast<uint8_t*>(text->data()), length);
    const IoResult code = text_window_.Read(*files_.text_file(), offset, bytes, &done);
    if (code != io::kOk) return Status::FromIo(code, "reading " + files_.FileName(kTextExt));
    if (done != length) {
      return Status::Damaged("the text at offset " + std::to_string(offset) + " runs past the end of " +
                             files_.FileName(kTextExt));
    }
    return Status::Ok();
  }

  JamBaseFiles files_;
  JamHeaderReader reader_;
  JamHeader header_;
  HeaderFields fields_;  // FillFromHeader's room for the header's fields
  ReadWindow text_window_;
  uint64_t records_ = 0, next_ = 0;
  uint64_t chunk_first_ = 0;
  std::vector<uint8_t> chunk_;
  Status status_;
};

// All stores are one change, begun by Open and committed by Finish, so an
// import is whole or leaves nothing behind, and the numbers follow one
// another.
class JamSink final : public MessageSink {
 public:
  explicit JamSink(Env* env) : files_(env) {}
  void SetChangeOptions(const ChangeOptions& change) { files_.SetChangeOptions(change); }

  Status Open(std::string_view path) {
    files_.SetPath(path);
    Status s = files_.Exists() ? Status::Ok() : files_.Create();
    if (s.ok()) s = files_.Open();
    if (s.ok()) s = files_.BeginChange(&change_);
    uint64_t size = 0;
    if (s.ok()) s = change_->Size(*files_.index_file(), &size);
    records_ = size / kIndexRecordSize;  // a torn record is overwritten
    return s;
  }

  BaseFormat format() const override { return BaseFormat::kJam; }
  int32_t NextNumber() const override {
    return static_cast<int32_t>(records_ + files_.BaseField(kBhBaseMsgNum));
  }

  Status Store(const ExportedMessage& m) override {
    if (change_ == nullptr || !failed_.ok()) return Refused();
    Status s = StoreOne(m);
    if (!s.ok()) failed_ = s;
    return s;
  }

  Status SetLastReads(const std::vector<LastReadValue>& values) override {
    if (change_ == nullptr || !failed_.ok()) return Refused();
    Status s = AppendLastReads(values);
    if (!s.ok()) failed_ = s;
    return s;
  }

  Status Finish() override {
    if (change_ == nullptr) return Refused();
    Status s = failed_.ok() ? WriteCounters() : failed_;
    s = s.ok() ? change_->Commit() : s;
    change_.reset();  // undoes what was not committed
    last_read_.reset();
    files_.Close();
    return s;
  }

  ~JamSink() override {
    change_.reset();  // undoes what Finish did not commit
    last_read_.reset();
  }

 private:
  Status Refused() const {
    return failed_.ok() ? Status::InvalidArgument("the sink is finished") : failed_;
  }

  Status StoreOne(const ExportedMessage& m) {
    if (m.format != BaseFormat::kJam) return Status::InvalidArgument("not a JAM message");
    if (!BuildHeader(m, &header_)) {
      return Status::InvalidArgument("the subfields of message " + std::to_string(m.number) +
                                     " do not fit in a header");
    }
    Change& change = *change_;
    uint64_t text_end = 0, header_end = 0;
    Status s = change.Size(*files_.text_file(), &text_end);
    if (s.ok()) s = change.Size(*files_.header_file(), &header_end);
    if (s.ok() && (text_end + m.text.size() > UINT32_MAX || header_end > INT32_MAX)) {
      s = Status::FromIo(io::kDiskWriteError, "the base would pass the 32-bit offsets");
    }
    if (!s.ok()) return s;
    header_.SetField(kMhMessageNumber, static_cast<uint32_t>(NextNumber()));
    header_.SetField(kMhTxtOffset, static_cast<uint32_t>(text_end));
    header_.SetField(kMhTxtLen, static_cast<uint32_t>(m.text.size()));
    const auto* text = reinterpret_cast<const uint8_t*>(m.text.data());
    if (!m.text.empty()) s = change.WriteFresh(*files_.text_file(), text_end, {text, m.text.size()});
    HeaderFields fields;
    DecodeSubfields(header_.Subfields(), header_.Field(kMhAttribute), &fields);
    uint8_t raw[kIndexRecordSize];
    EncodeIndexRecord({NameChecksum(fields.to), static_cast<uint32_t>(header_end)}, raw);
    const uint64_t at = records_ * kIndexRecordSize;
    uint64_t index_end = 0;
    if (s.ok()) s = change.Size(*files_.index_file(), &index_end);
    if (s.ok()) {
      s = at == index_end ? change.WriteFresh(*files_.index_file(), at, raw)
                          : change.Write(*files_.index_file(), at, raw);
    }
    if (s.ok()) s = change.WriteFresh(*files_.header_file(), header_end, header_.Stored());
    if (s.ok()) ++records_, ++stored_;
    return s;
  }

  Status AppendLastReads(const std::vector<LastReadValue>& values) {
    std::unique_ptr<File> file;
    const std::string name = files_.FileName(kLastReadExt);
    IoResult code =
        RetryOpen(files_.env(), name, OpenMode::kOpenOrCreate | OpenMode::kNoFollow, &file);
    uint64_t size = 0;
    Status s = Status::FromIo(code, "opening " + name);
    if (s.ok()) change_->Name(*file, name);
    if (s.ok()) s = change_->Size(*file, &size);
    if (!s.ok()) return s;
    // Every record is appended; a user who has one already keeps the first
    // (it is the one found first).
    std::vector<uint8_t> bytes(values.size() * kLastReadRecordSize);
    for (size_t i = 0; i < values.size(); ++i) {
      const LastReadValue& v = values[i];
      EncodeLastReadRecord({v.crc, v.user, static_cast<uint32_t>(v.last_read),
                            static_cast<uint32_t>(v.high_read)},
                           &bytes[i * kLastReadRecordSize]);
    }
    s = change_->WriteFresh(*file, size - size % kLastReadRecordSize, bytes);
    if (s.ok()) last_read_ = std::move(file);  // open until the change ends
    return s;
  }

  // ActiveMsgs and ModCounter of the base header, as read under the lock,
  // moved by the messages stored.
  Status WriteCounters() {
    if (stored_ == 0) return Status::Ok();
    std::array<uint8_t, kBaseHeaderSize> image{};
    const IoResult code = ReadExact(*files_.header_file(), 0, image);
    if (code != io::kOk) return Status::FromIo(code, "reading the base header");
    EncodeFixed32(image.data() + kBhActiveMsgs, DecodeFixed32(image.data() + kBhActiveMsgs) + stored_);
    EncodeFixed32(image.data() + kBhModCounter, DecodeFixed32(image.data() + kBhModCounter) + stored_);
    return change_->Write(*files_.header_file(), 0, image);
  }

  JamBaseFiles files_;
  std::unique_ptr<Change> change_;
  std::unique_ptr<File> last_read_;
  JamHeader header_;
  uint64_t records_ = 0;
  uint32_t stored_ = 0;
  Status failed_;
};

}  // namespace

std::unique_ptr<MessageSource> NewJamSource(Env* env, std::string_view path, Status* status) {
  auto source = std::make_unique<JamSource>(env);
  *status = source->Open(path);
  if (!status->ok()) return nullptr;
  return source;
}

std::unique_ptr<MessageSink> NewJamSink(Env* env, std::string_view path,
                                        const ChangeOptions& change, Status* status) {
  auto sink = std::make_unique<JamSink>(env);
  sink->SetChangeOptions(change);
  *status = sink->Open(path);
  if (!status->ok()) return nullptr;
  return sink;
}

void FillJamPart(ExportedMessage* m) {
  HeaderFields fields;
  fields.from = m->from;
  fields.to = m->to;
  fields.subject = m->subject;
  fields.orig = m->orig;
  fields.dest = m->dest;
  fields.attributes = m->attributes;
  JamHeader header;
  header.StartNew();
  header.ApplyFields(fields);
  JamPart& p = m->jam;
  p.attribute = header.Field(kMhAttribute);
  p.date_written = UnixFromLocal(m->written);
  p.date_processed = UnixFromLocal(m->processed);
  SubfieldWriter writer(header.subfield_area());
  WriteComposedSubfields(fields, &writer);
  std::vector<JamSubfieldValue> composed;
  ForEachSubfield(header.subfield_area().first(writer.used()), [&](const Subfield& sf) {
    composed.push_back({sf.kind, 0, std::string(sf.data.begin(), sf.data.end())});
    return true;
  });
  std::erase_if(p.subfields, [](const JamSubfieldValue& sf) { return IsComposedKind(sf.kind); });
  p.subfields.insert(p.subfields.begin(), composed.begin(), composed.end());
  m->format = BaseFormat::kJam;
  m->squish = SquishPart{};
}

}  // namespace drayline::jam
