// The record views of drayline/jam_records.h, decoded field by field with
// the offsets of jam_format.h. Sizes are taken once, when the files are
// opened; every range is checked against them before it is read.

#include "drayline/jam_records.h"

#include <algorithm>
#include <cstring>

#include "jam/jam_format.h"
#include "support/coding.h"
#include "support/dates.h"
#include "support/env.h"
#include "support/file_access.h"

namespace drayline {

namespace {

using namespace jam;

struct SizedFile {
  std::string name;
  std::unique_ptr<File> file;
  uint64_t size = 0;
};

Status OpenSized(Env* env, std::string name, SizedFile* out) {
  out->name = std::move(name);
  IoResult code = RetryOpen(env, out->name, OpenMode::kReadOnly, &out->file);
  if (code == io::kOk) code = out->file->Size(&out->size);
  if (code == io::kOk) return Status();
  return Status(Status::FromIo(code).code(), code,
                "cannot read " + out->name + " (I/O result " + std::to_string(code) + ")");
}

// Reads len bytes at offset when they lie inside the file.
bool ReadRange(const SizedFile& f, uint64_t offset, size_t len, std::vector<uint8_t>* out) {
  if (offset > f.size || f.size - offset < len) return false;
  out->resize(len);
  return ReadExact(*f.file, offset, *out) == io::kOk;
}

Status Outside(std::string_view what, const SizedFile& f) {
  return Status::Damaged(std::string(what) + " lies outside " + f.name);
}

JamBaseHeaderRecord DecodeBaseHeader(const uint8_t* h) {
  JamBaseHeaderRecord r;
  std::memcpy(r.signature.data(), h + kBhSignature, 4);
  r.date_created = DecodeFixed32(h + kBhDateCreated);
  r.mod_counter = DecodeFixed32(h + kBhModCounter);
  r.active_msgs = DecodeFixed32(h + kBhActiveMsgs);
  r.password_crc = DecodeFixed32(h + kBhPasswordCrc);
  r.base_msg_num = DecodeFixed32(h + kBhBaseMsgNum);
  return r;
}

void DecodeFixedPart(const uint8_t* h, JamMessageHeaderRecord* r) {
  std::memcpy(r->signature.data(), h + kMhSignature, 4);
  r->revision = DecodeFixed16(h + kMhRevision);
  r->reserved_word = DecodeFixed16(h + kMhReservedWord);
  r->subfield_len = DecodeFixed32(h + kMhSubfieldLen);
  r->times_read = DecodeFixed32(h + kMhTimesRead);
  r->msgid_crc = DecodeFixed32(h + kMhMsgIdCrc);
  r->reply_crc = DecodeFixed32(h + kMhReplyCrc);
  r->reply_to = DecodeFixed32(h + kMhReplyTo);
  r->reply_1st = DecodeFixed32(h + kMhReply1st);
  r->reply_next = DecodeFixed32(h + kMhReplyNext);
  r->date_written = DecodeFixed32(h + kMhDateWritten);
  r->date_received = DecodeFixed32(h + kMhDateReceived);
  r->date_processed = DecodeFixed32(h + kMhDateProcessed);
  r->message_number = DecodeFixed32(h + kMhMessageNumber);
  r->attribute = DecodeFixed32(h + kMhAttribute);
  r->attribute2 = DecodeFixed32(h + kMhAttribute2);
  r->txt_offset = DecodeFixed32(h + kMhTxtOffset);
  r->txt_len = DecodeFixed32(h + kMhTxtLen);
  r->password_crc = DecodeFixed32(h + kMhPasswordCrc);
  r->cost = DecodeFixed32(h + kMhCost);
}

// Every record of area up to one whose data runs past it (whose kind is
// then kept as the overrun).
void DecodeSubfieldRecords(const std::vector<uint8_t>& area, JamMessageHeaderRecord* r) {
  size_t pos = 0;
  while (area.size() - pos >= kSubfieldHeaderSize) {
    JamSubfieldRecord sf;
    sf.lo_id = DecodeFixed16(&area[pos]);
    sf.hi_id = DecodeFixed16(&area[pos + 2]);
    const uint32_t len = DecodeFixed32(&area[pos + 4]);
    pos += kSubfieldHeaderSize;
    if (len > area.size() - pos) {
      r->overrun_id = sf.lo_id;
      return;
    }
    sf.data.assign(area.begin() + static_cast<long>(pos),
                   area.begin() + static_cast<long>(pos + len));
    r->subfields.push_back(std::move(sf));
    pos += len;
  }
}

}  // namespace

struct JamRecordReader::Files {
  SizedFile header, text, index;
};

LocalDateTime JamTime(uint32_t time) {
  const DateTimeRecord t = UnixToDateTime(time);
  return {t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second};
}

JamRecordReader::JamRecordReader(std::unique_ptr<Files> files,
                                 const JamBaseHeaderRecord& header)
    : files_(std::move(files)), base_header_(header) {}

JamRecordReader::~JamRecordReader() = default;

std::unique_ptr<JamRecordReader> JamRecordReader::Open(std::string_view path, Status* status) {
  Env* env = Env::Default();
  auto files = std::make_unique<Files>();
  const std::string base(path);
  *status = OpenSized(env, base + std::string(kHeaderExt), &files->header);
  if (status->ok()) *status = OpenSized(env, base + std::string(kTextExt), &files->text);
  if (status->ok()) *status = OpenSized(env, base + std::string(kIndexExt), &files->index);
  if (!status->ok()) return nullptr;
  std::vector<uint8_t> header;
  if (!ReadRange(files->header, 0, kBaseHeaderSize, &header)) {
    *status = Status(StatusCode::kDamaged, io::kReadPastEnd,
                     files->header.name + " has no whole base header");
    return nullptr;
  }
  return std::unique_ptr<JamRecordReader>(
      new JamRecordReader(std::move(files), DecodeBaseHeader(header.data())));
}

uint64_t JamRecordReader::index_count() const {
  return files_->index.size / kIndexRecordSize;
}

Status JamRecordReader::ReadIndex(uint64_t first, size_t count,
                                  std::vector<JamIndexRecord>* out) const {
  out->clear();
  const uint64_t n = std::min<uint64_t>(count, index_count() - std::min(first, index_count()));
  std::vector<uint8_t> raw;
  if (!ReadRange(files_->index, first * kIndexRecordSize,
                 static_cast<size_t>(n * kIndexRecordSize), &raw)) {
    return Status(StatusCode::kShortRead, io::kReadPastEnd, "cannot read " + files_->index.name);
  }
  for (uint64_t i = 0; i < n; ++i) {
    const IndexRecord r = DecodeIndexRecord(&raw[i * kIndexRecordSize]);
    out->push_back({r.UserCRC, r.HdrOffset});
  }
  return Status();
}

Status JamRecordReader::ReadMessageHeader(uint32_t offset, JamMessageHeaderRecord* out) const {
  std::vector<uint8_t> fixed;
  if (!ReadRange(files_->header, offset, kFixedHeaderSize, &fixed)) {
    return Outside("the header at offset " + std::to_string(offset), files_->header);
  }
  *out = JamMessageHeaderRecord();
  DecodeFixedPart(fixed.data(), out);
  std::vector<uint8_t> area;
  out->subfields_read =
      out->subfield_len <= kSubfieldAreaSize &&
      ReadRange(files_->header, uint64_t{offset} + kFixedHeaderSize, out->subfield_len, &area);
  if (out->subfields_read) DecodeSubfieldRecords(area, out);
  return Status();
}

Status JamRecordReader::ReadText(uint32_t offset, uint32_t length, std::string* out) const {
  std::vector<uint8_t> bytes;
  if (!ReadRange(files_->text, offset, length, &bytes)) {
    return Outside("the text at offset " + std::to_string(offset), files_->text);
  }
  out->assign(bytes.begin(), bytes.end());
  return Status();
}

}  // namespace drayline
