// JamMessageBase: composing a message and storing it.

#include <algorithm>
#include <cstring>

#include "jam/jam_message_base.h"
#include "support/clock.h"
#include "support/coding.h"
#include "support/dates.h"
#include "support/file_access.h"
#include "support/strings.h"

namespace drayline {

using namespace jam;

void JamMessageBase::StartNewMessage() {
  text_pos_ = 0;
  buf_start_ = 0;
  spill_file_.reset();
  spill_error_ = io::kOk;
  std::memset(header_buffer_.get(), 0, kHeaderBufferSize);
  SetHeaderField(kMhMsgIdCrc, kNoCrc);
  SetHeaderField(kMhReplyCrc, kNoCrc);
  SetHeaderField(kMhPasswordCrc, kNoCrc);
  to_name_.clear();
  from_name_.clear();
  subject_.clear();
  orig_addr_ = NetAddress();
  dest_addr_ = NetAddress();
  // One reading of the clock for both texts.
  const PackedDateTime now = CurrentPackedDateTime();
  date_text_ = Fit(DateString(now, 0), kDateMax);
  time_text_ = Fit(TimeString(now, false), kTimeMax);
}

void JamMessageBase::SetFrom(std::string_view name) { from_name_ = Fit(name, kFromMax); }
void JamMessageBase::SetTo(std::string_view name) { to_name_ = Fit(name, kToMax); }
void JamMessageBase::SetSubject(std::string_view subject) {
  subject_ = Fit(subject, kSubjectMax);
}
void JamMessageBase::SetDate(std::string_view date) { date_text_ = Fit(date, kDateMax); }
void JamMessageBase::SetTime(std::string_view time) { time_text_ = Fit(time, kTimeMax); }
void JamMessageBase::SetCost(uint16_t cost) { SetHeaderField(kMhCost, cost); }
void JamMessageBase::SetReplyTo(int32_t num) {
  SetHeaderField(kMhReplyTo, static_cast<uint32_t>(num));
}
void JamMessageBase::SetFirstReply(int32_t num) {
  SetHeaderField(kMhReply1st, static_cast<uint32_t>(num));
}
void JamMessageBase::SetNextReply(int32_t num) {
  SetHeaderField(kMhReplyNext, static_cast<uint32_t>(num));
}
void JamMessageBase::SetDest(const NetAddress& addr) { dest_addr_ = addr; }
void JamMessageBase::SetOrig(const NetAddress& addr) { orig_addr_ = addr; }
void JamMessageBase::SetMailType(MailType kind) { mail_kind_ = kind; }

void JamMessageBase::SetLocal(bool on) { SetAttribute(kAttrLocal, on); }
void JamMessageBase::SetReceived(bool on) { SetAttribute(kAttrReceived, on); }
void JamMessageBase::SetPrivate(bool on) { SetAttribute(kAttrPrivate, on); }
void JamMessageBase::SetCrash(bool on) { SetAttribute(kAttrCrash, on); }
void JamMessageBase::SetHold(bool on) { SetAttribute(kAttrHold, on); }
void JamMessageBase::SetKillSent(bool on) { SetAttribute(kAttrKillSent, on); }
void JamMessageBase::SetSent(bool on) { SetAttribute(kAttrSent, on); }
void JamMessageBase::SetFileAttach(bool on) { SetAttribute(kAttrFileAttach, on); }
void JamMessageBase::SetReceiptRequest(bool on) {
  SetAttribute(kAttrReceiptRequest, on);
}
void JamMessageBase::SetConfirmRequest(bool on) {
  SetAttribute(kAttrConfirmRequest, on);
}
void JamMessageBase::SetIsReceipt(bool /*on*/) {}  // JAM has no such bit
void JamMessageBase::SetFileRequest(bool on) { SetAttribute(kAttrFileRequest, on); }

void JamMessageBase::AddText(std::string_view s) {
  for (char c : s.substr(0, kShortStringMax)) AddChar(static_cast<uint8_t>(c));
}

void JamMessageBase::AddTextLine(std::string_view s) {
  AddText(s);
  AddChar(13);
}

IoResult JamMessageBase::SpillBuffer() {
  // The spill file is unnamed: no other process can open or plant it, and
  // it vanishes with the descriptor, whatever happens to the store.
  if (spill_file_ == nullptr) {
    IoResult code = env_->OpenTemporary("", &spill_file_);
    if (code != io::kOk) return code;
  }
  const size_t pending = static_cast<size_t>(text_pos_ - buf_start_);
  if (!WriteWithRetry(*spill_file_, static_cast<uint64_t>(buf_start_),
                      std::span(text_buffer_.get(), pending))) {
    return LastFileError();
  }
  buf_start_ = text_pos_;
  return io::kOk;
}

void JamMessageBase::AddChar(uint8_t c) {
  if (c == 13) {
    LineOpen = false;
  } else if (c != 10) {
    LineOpen = true;
  }
  if (spill_error_ != io::kOk) return;  // the store will fail; keep nothing
  if (text_pos_ - buf_start_ >= static_cast<int32_t>(kComposeChunk)) {
    spill_error_ = SpillBuffer();
    if (spill_error_ != io::kOk) {
      io_status_ = spill_error_;
      spill_file_.reset();
      return;
    }
  }
  if (text_pos_ == INT32_MAX) {
    spill_error_ = io::kDiskWriteError;
    return;
  }
  text_buffer_[static_cast<size_t>(text_pos_ - buf_start_)] = c;
  ++text_pos_;
}

void JamMessageBase::ResetText() {
  buf_start_ = 0;
  text_pos_ = 0;
  spill_file_.reset();
  spill_error_ = io::kOk;
  SetHeaderField(kMhSubfieldLen, 0);
  std::memset(header_buffer_.get() + kFixedHeaderSize, 0, kSubfieldAreaSize);
}

void JamMessageBase::ForgetTextWindow() {
  buf_start_ = -10;
  buf_len_ = 0;
}

void JamMessageBase::AddSubfield(uint16_t kind, std::string_view text) {
  const uint32_t used = HeaderField(kMhSubfieldLen);
  if (used + kSubfieldHeaderSize + text.size() >= kSubfieldAreaSize) return;
  uint8_t* at = header_buffer_.get() + kFixedHeaderSize + used;
  EncodeFixed16(at, kind);
  EncodeFixed16(at + 2, 0);
  EncodeFixed32(at + 4, static_cast<uint32_t>(text.size()));
  std::memcpy(at + kSubfieldHeaderSize, text.data(), text.size());
  SetHeaderField(kMhSubfieldLen,
                 used + static_cast<uint32_t>(kSubfieldHeaderSize + text.size()));
}

void JamMessageBase::AddComposedSubfields() {
  const NetAddress none;
  if (!to_name_.empty()) AddSubfield(kSfReceiverName, to_name_);
  if (!from_name_.empty()) AddSubfield(kSfSenderName, from_name_);
  if (!subject_.empty()) {
    AddSubfield(HasAttribute(kAttrFileRequest) ? kSfRequestedFile : kSfSubject,
                subject_);
  }
  if (!(dest_addr_ == none)) AddSubfield(kSfDestAddr, AddressText(dest_addr_));
  if (!(orig_addr_ == none)) AddSubfield(kSfOrigAddr, AddressText(orig_addr_));
}

IoResult JamMessageBase::AppendText(uint32_t* offset) {
  uint64_t size = 0;
  IoResult code = text_file_->Size(&size);
  if (code != io::kOk) return code;
  // Offsets and lengths are 32-bit fields of the header.
  if (size + static_cast<uint64_t>(text_pos_) > UINT32_MAX) {
    return io::kDiskWriteError;
  }
  *offset = static_cast<uint32_t>(size);
  if (spill_file_ == nullptr) {
    if (!WriteWithRetry(*text_file_, size,
                        std::span(text_buffer_.get(),
                                  static_cast<size_t>(text_pos_)))) {
      return LastFileError();
    }
    return io::kOk;
  }
  // Long text: the rest goes to the spill file, which is then copied in
  // buffer-sized pieces. Any failure fails the store.
  if ((code = SpillBuffer()) != io::kOk) return code;
  uint64_t copied = 0;
  const uint64_t total = static_cast<uint64_t>(text_pos_);
  while (copied < total) {
    size_t want = static_cast<size_t>(
        std::min<uint64_t>(kTextBufferSize, total - copied));
    std::span<uint8_t> piece(text_buffer_.get(), want);
    if ((code = ReadExact(*spill_file_, copied, piece)) != io::kOk) break;
    if (!WriteWithRetry(*text_file_, size + copied, piece)) {
      code = LastFileError();
      break;
    }
    copied += want;
  }
  spill_file_.reset();
  return code;
}

void JamMessageBase::RollBack(uint64_t text_len, uint64_t index_len,
                              uint64_t header_len) {
  // Best effort: a failure here leaves bytes past the old ends that no
  // index record refers to.
  text_file_->Truncate(text_len);
  index_file_->Truncate(index_len);
  DropHeaderWindow();
  header_file_->Truncate(header_len);
}

namespace {

uint16_t Field(const std::string& text, size_t pos) {
  return static_cast<uint16_t>(StrToInt(pos < text.size() ? text.substr(pos, 2) : ""));
}

// DateWritten from the composed texts (MM?DD?YY and HH?MM; the separators
// are not looked at). Years below 80 are taken as 20xx.
UnixTime DateWrittenFrom(const std::string& date, const std::string& time) {
  DateTimeRecord dt;
  dt.Month = Field(date, 0);
  dt.Day = Field(date, 3);
  uint16_t year = Field(date, 6);
  dt.Year = static_cast<uint16_t>(year < 80 ? 2000 + year : 1900 + year);
  dt.Hour = Field(time, 0);
  dt.Minute = Field(time, 3);
  return DateTimeToUnix(dt);
}

}  // namespace

uint16_t JamMessageBase::WriteMessage() {
  if (LineOpen) {
    AddChar(13);
    AddChar(10);
  }
  std::memcpy(header_buffer_.get() + kMhSignature, "JAM", 4);
  uint32_t attr = HeaderField(kMhAttribute);
  if (mail_kind_ == MailType::Local) attr |= kAttrTypeLocal;
  if (mail_kind_ == MailType::Echo) attr |= kAttrTypeEcho;
  if (mail_kind_ == MailType::Net) attr |= kAttrTypeNet;
  SetHeaderField(kMhAttribute, attr);
  EncodeFixed16(header_buffer_.get() + kMhRevision, 1);
  SetHeaderField(kMhDateProcessed, PackedToUnix(CurrentPackedDateTime()));
  SetHeaderField(kMhDateWritten, DateWrittenFrom(date_text_, time_text_));
  // The subfields are built afresh for every store.
  SetHeaderField(kMhSubfieldLen, 0);
  AddComposedSubfields();

  if (spill_error_ != io::kOk) return spill_error_;
  if (header_file_ == nullptr || text_file_ == nullptr || index_file_ == nullptr) {
    return io::kNotOpen;
  }
  if (!LockBase()) return io::kAccessDenied;
  uint64_t text_len = 0, index_len = 0, header_len = 0;
  IoResult code = text_file_->Size(&text_len);
  if (code == io::kOk) code = index_file_->Size(&index_len);
  if (code == io::kOk) code = header_file_->Size(&header_len);
  if (code == io::kOk && header_len > UINT32_MAX) code = io::kDiskWriteError;
  if (code != io::kOk) {
    ReleaseLock(/*write_header=*/false);
    return code;
  }
  const uint64_t records = index_len / kIndexRecordSize;
  SetHeaderField(kMhMessageNumber,
                 static_cast<uint32_t>(records + BaseField(kBhBaseMsgNum)));
  SetHeaderField(kMhTxtLen, static_cast<uint32_t>(text_pos_));

  uint32_t txt_offset = 0;
  code = AppendText(&txt_offset);
  SetHeaderField(kMhTxtOffset, txt_offset);
  if (code == io::kOk) {
    uint8_t record[kIndexRecordSize];
    EncodeIndexRecord({NameChecksum(to_name_), static_cast<uint32_t>(header_len)},
                      record);
    if (!WriteWithRetry(*index_file_, records * kIndexRecordSize, record)) {
      code = LastFileError();
    }
  }
  if (code == io::kOk) {
    const size_t length = kFixedHeaderSize + HeaderField(kMhSubfieldLen);
    if (!WriteHeaderFile(header_len,
                        std::span(header_buffer_.get(), length))) {
      code = LastFileError();
    }
  }
  if (code == io::kOk) code = CommitStore();
  if (code != io::kOk) {
    RollBack(text_len, index_len, header_len);
    ReleaseLock(/*write_header=*/false);
    io_status_ = code;
  }
  text_pos_ = 0;
  buf_start_ = 0;
  ForgetTextWindow();
  return code;
}

IoResult JamMessageBase::CommitStore() {
  // Raise the counters and write the base header while still holding the
  // lock; if that write fails, the old header goes back (best effort) and
  // the caller rolls the files back.
  const std::array<uint8_t, kBaseHeaderSize> before = base_header_image_;
  SetBaseField(kBhActiveMsgs, BaseField(kBhActiveMsgs) + 1);
  SetBaseField(kBhModCounter, BaseField(kBhModCounter) + 1);
  if (lock_count_ > 1) {  // the outer UnlockBase writes the header
    --lock_count_;
    return io::kOk;
  }
  if (WriteHeaderFile(0, base_header_image_)) {
    lock_count_ = 0;
    UnlockRegion(*header_file_, 0, 1);
    return io::kOk;
  }
  const IoResult code = LastFileError();
  base_header_image_ = before;
  WriteHeaderFile(0, base_header_image_);
  return code;
}

}  // namespace drayline
