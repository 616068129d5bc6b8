// JamMessageBase: the cursor over the index and loading a message's header.
//
// Everything here reads files that other programs write as well, so every
// number taken from them is bounded before use: cursor arithmetic is done
// in 64 bits, a header shorter than its fixed part is not loaded, and
// subfields are taken only whole and from inside the bytes read. The stored
// fields themselves are never changed here.

#include <algorithm>
#include <climits>
#include <cstring>

#include "jam/jam_message_base.h"
#include "jam/jam_subfields.h"
#include "support/coding.h"
#include "support/dates.h"
#include "support/file_access.h"
#include "support/strings.h"

namespace drayline {

using namespace jam;

namespace {

constexpr size_t kAddressTextMax = 128;
// The highest message number the cursor can stand on: one past it must
// still fit in the 32-bit cursor.
constexpr int64_t kHighestNumber = INT32_MAX - 1;
// A window reload starts this many records before the one asked for, so
// that small steps back stay inside it.
constexpr int64_t kWindowLead = 30;
// The read of a lone header; see LoadHeaderAt.
constexpr size_t kHeaderFirstRead = 1024;
static_assert(kHeaderFirstRead >= kFixedHeaderSize && kHeaderFirstRead <= kHeaderBufferSize);
// A header that starts within this many bytes after the end of the last
// one loaded is taken as the next step of a walk, and fills the whole
// header window. Farther apart, a window's worth would serve too few
// headers to pay for copying it.
constexpr uint64_t kReadAheadGap = kHeaderWindowSize / 8;

int32_t ToCursor(int64_t n) {
  return static_cast<int32_t>(std::clamp<int64_t>(n, INT32_MIN, INT32_MAX));
}

// At most a short string's worth of a subfield's data, then the field's
// length. A view: assigning it reuses the field's storage, so a list reads
// every header into the same strings.
std::string_view Text(std::span<const uint8_t> data, size_t max) {
  const size_t n = std::min({data.size(), kShortStringMax, max});
  return std::string_view(reinterpret_cast<const char*>(data.data()), n);
}

// Writes n (below 100) as two digits at out, as TwoDigitText does.
void PutTwoDigits(char* out, uint32_t n) {
  out[0] = static_cast<char>('0' + n / 10 % 10);
  out[1] = static_cast<char>('0' + n % 10);
}

// DateText (month-day-year, the year's third and fourth digits) and
// TimeText (hour:minute) of a DateWritten. A 32-bit time lies in the years
// 1970 to 2106, so every field has two digits and the year four, and the
// texts are 8 and 5 characters long. A list makes them for every message:
// they are written into the strings' own storage, without building others.
void SetWrittenTexts(uint32_t written, std::string* date, std::string* time) {
  const DateTimeRecord dt = UnixToDateTime(written);
  char text[8];
  PutTwoDigits(text, dt.Month);
  PutTwoDigits(text + 3, dt.Day);
  PutTwoDigits(text + 6, dt.Year % 100u);
  text[2] = text[5] = '-';
  date->assign(text, 8);
  PutTwoDigits(text, dt.Hour);
  PutTwoDigits(text + 3, dt.Minute);
  text[2] = ':';
  time->assign(text, 5);
}

}  // namespace

// ---- The index window ----

int64_t JamMessageBase::CursorBase() const {
  return std::max<int64_t>(BaseMsgNum(), int64_t{INT32_MIN} + 1);
}

bool JamMessageBase::InWindow(int64_t record) const {
  return record >= window_first_ && record < int64_t{window_first_} + window_count_;
}

int64_t JamMessageBase::CursorWindowEnd() const {
  const int64_t reachable = std::min<int64_t>(kHighestNumber - CursorBase(), INT32_MAX) + 1;
  return std::min<int64_t>(int64_t{window_first_} + window_count_, reachable);
}

IoResult JamMessageBase::LoadIndexWindow() {
  if (window_first_ < 0) window_first_ = 0;
  window_count_ = 0;
  if (index_file_ == nullptr) return io::kNotOpen;
  uint8_t raw[kIndexWindowRecords * kIndexRecordSize];
  size_t done = 0;
  if (!ReadWithRetry(*index_file_,
                     static_cast<uint64_t>(window_first_) * kIndexRecordSize, raw,
                     &done)) {
    return LastFileError();
  }
  window_count_ = static_cast<int32_t>(done / kIndexRecordSize);  // whole ones
  for (int32_t i = 0; i < window_count_; ++i) {
    index_window_[i] = DecodeIndexRecord(raw + i * kIndexRecordSize);
  }
  return io::kOk;
}

bool JamMessageBase::IndexPresent(int64_t record, IoResult* code) {
  *code = io::kOk;
  if (record < 0 || record > INT32_MAX || CursorBase() + record > kHighestNumber) {
    return false;
  }
  if (InWindow(record)) return true;
  window_first_ = static_cast<int32_t>(std::max<int64_t>(record - kWindowLead, 0));
  *code = LoadIndexWindow();
  return *code == io::kOk && InWindow(record);
}

IoResult JamMessageBase::LocateIndex() {
  // Fails unless the record of CurrentMsgNum was read whole.
  IoResult code = io::kOk;
  if (IndexPresent(int64_t{current_msg_num_} - CursorBase(), &code)) {
    return io::kOk;
  }
  return code != io::kOk ? code : io::kReadPastEnd;
}

IndexRecord& JamMessageBase::WindowRecord(int64_t record) {
  return index_window_[static_cast<size_t>(record - window_first_)];
}

IndexRecord& JamMessageBase::CurrentIndexRecord() {
  return WindowRecord(int64_t{current_msg_num_} - CursorBase());
}

IoResult JamMessageBase::StoreIndexRecord(int64_t record, const IndexRecord& entry) {
  uint8_t raw[kIndexRecordSize];
  EncodeIndexRecord(entry, raw);
  if (!WriteWithRetry(*index_file_, static_cast<uint64_t>(record) * kIndexRecordSize,
                      raw)) {
    return LastFileError();
  }
  if (InWindow(record)) WindowRecord(record) = entry;
  return io::kOk;
}

// ---- The cursor ----

int32_t JamMessageBase::GetHighMsgNum() {
  const int64_t base = CursorBase();
  return ToCursor(std::min(base + IndexRecordCount() - 1, kHighestNumber));
}

int32_t JamMessageBase::NumberOfMessages() {
  return static_cast<int32_t>(BaseField(kBhActiveMsgs));
}

bool JamMessageBase::SeekFound() {
  // A record held in the window exists; only a cursor outside it asks the
  // file, so walking a base costs no call per message.
  const int64_t base = CursorBase();
  const int64_t record = int64_t{current_msg_num_} - base;
  if (record < 0 || base + record > kHighestNumber) return false;
  return InWindow(record) || record < IndexRecordCount();
}

bool JamMessageBase::ForUserFound() { return SeekFound(); }

void JamMessageBase::SeekFirst(int32_t num) {
  DropHeaderWindow();  // a new walk reads headers afresh
  current_msg_num_ = ToCursor(std::max<int64_t>(int64_t{num} - 1, CursorBase() - 1));
  SeekNext();
}

void JamMessageBase::SeekNext() {
  const int64_t base = CursorBase();
  int64_t cur = std::max<int64_t>(current_msg_num_, base - 1);
  IoResult code = io::kOk;
  if (cur < base || IndexPresent(cur - base, &code)) ++cur;
  while (IndexPresent(cur - base, &code) && WindowRecord(cur - base).deleted()) ++cur;
  io_status_ = code;
  current_msg_num_ = ToCursor(cur);
}

void JamMessageBase::SeekPrior() {
  const int64_t base = CursorBase();
  int64_t cur = current_msg_num_;
  if (cur >= base) --cur;
  IoResult code = io::kOk;
  while (cur >= base) {
    if (!IndexPresent(cur - base, &code)) {
      // Beyond the end of the index: continue from the last message.
      const int64_t high = base + IndexRecordCount() - 1;
      if (code != io::kOk || cur <= high) break;
      cur = high;
      continue;
    }
    if (!WindowRecord(cur - base).deleted()) break;
    --cur;
  }
  io_status_ = code;
  current_msg_num_ = ToCursor(std::max(cur, base - 1));
}

int32_t JamMessageBase::GetMsgLoc() { return GetMsgNum(); }

void JamMessageBase::SetMsgLoc(int32_t loc) { current_msg_num_ = loc; }

// ---- The header ----

size_t JamMessageBase::HeaderLength(const uint8_t* fixed) {
  return static_cast<size_t>(std::min<uint64_t>(
      kFixedHeaderSize + uint64_t{DecodeFixed32(fixed + kMhSubfieldLen)}, kHeaderBufferSize));
}

IoResult JamMessageBase::FillHeaderWindow(uint64_t offset, size_t size) {
  // A full read whose header runs on past it is followed by one read of
  // the rest, so that a long header is never taken in part.
  uint8_t* window = header_window_.get();
  header_window_start_ = offset;
  header_window_len_ = 0;
  size_t done = 0;
  if (!ReadWithRetry(*header_file_, offset, std::span(window, size), &done)) {
    return LastFileError();
  }
  if (done == size) {
    const size_t wanted = HeaderLength(window);
    size_t more = 0;
    if (wanted > done &&
        !ReadWithRetry(*header_file_, offset + done,
                       std::span(window + done, wanted - done), &more)) {
      return LastFileError();
    }
    done += more;
  }
  header_window_len_ = done;
  return io::kOk;
}

size_t JamMessageBase::HeaderBytesInWindow(uint64_t offset, bool* whole) const {
  *whole = false;
  if (header_window_len_ == 0 || offset < header_window_start_ ||
      offset - header_window_start_ >= header_window_len_) {
    return 0;
  }
  const size_t skip = static_cast<size_t>(offset - header_window_start_);
  const size_t held = header_window_len_ - skip;
  if (held < kFixedHeaderSize) return held;
  const size_t length = HeaderLength(header_window_.get() + skip);
  *whole = held >= length;
  return std::min(held, length);
}

IoResult JamMessageBase::LoadHeaderAt(uint32_t offset) {
  header_valid_ = false;
  header_loaded_len_ = 0;
  if (header_file_ == nullptr || header_window_ == nullptr) return io::kNotOpen;
  // Every header comes through the window. One that is not wholly inside
  // is read afresh: a walk's next header fills the whole window; a header
  // far from the last one (the search's next match, a jump) takes only
  // the part that holds most headers, and the rest only when SubfieldLen
  // says there is more.
  bool whole = false;
  size_t length = HeaderBytesInWindow(offset, &whole);
  IoResult code = io::kOk;
  if (!whole) {
    const bool walk = offset >= header_next_ && offset - header_next_ < kReadAheadGap;
    code = FillHeaderWindow(offset, walk ? kHeaderWindowSize : kHeaderFirstRead);
    length = HeaderBytesInWindow(offset, &whole);
  }
  // A header without its whole fixed part is not loaded: its fields would
  // be partly another message's.
  uint8_t* buffer = header_buffer_.get();
  if (code == io::kOk && length < kFixedHeaderSize) code = io::kReadPastEnd;
  if (code != io::kOk) {
    std::memset(buffer, 0, kFixedHeaderSize);
    return code;
  }
  std::memcpy(buffer, header_window_.get() + (offset - header_window_start_), length);
  header_loaded_len_ = length;
  header_loaded_offset_ = offset;
  header_next_ = uint64_t{offset} + length;
  header_valid_ = true;
  return io::kOk;
}

std::span<const uint8_t> JamMessageBase::SubfieldArea() const {
  if (!header_valid_) return {};
  const size_t len = std::min({static_cast<size_t>(HeaderField(kMhSubfieldLen)),
                               header_loaded_len_ - kFixedHeaderSize,
                               kSubfieldAreaSize});
  return std::span(header_buffer_.get() + kFixedHeaderSize, len);
}

void JamMessageBase::ParseSubfields(bool to_name_only) {
  // With to_name_only (the mail search) only ToName is filled, and the walk
  // stops at a recipient that the search names match.
  ForEachSubfield(SubfieldArea(), [&](const Subfield& sf) {
    if (to_name_only) {
      if (sf.kind != kSfReceiverName) return true;
      to_name_ = Text(sf.data, kToMax);
      return !SearchMatches(to_name_);
    }
    switch (sf.kind) {
      case kSfOrigAddr:
        orig_addr_ = NetAddress();
        ParseAddress(Text(sf.data, kAddressTextMax), &orig_addr_);
        break;
      case kSfDestAddr:
        dest_addr_ = NetAddress();
        ParseAddress(Text(sf.data, kAddressTextMax), &dest_addr_);
        break;
      case kSfSenderName:
        from_name_ = Text(sf.data, kFromMax);
        break;
      case kSfReceiverName:
        to_name_ = Text(sf.data, kToMax);
        break;
      case kSfSubject:
        subject_ = Text(sf.data, kSubjectMax);
        break;
      case kSfAttachedFile:
        if (HasAttribute(kAttrFileAttach)) subject_ = Text(sf.data, kSubjectMax);
        break;
      case kSfRequestedFile:
        if (HasAttribute(kAttrFileRequest)) subject_ = Text(sf.data, kSubjectMax);
        break;
      default:
        break;
    }
    return true;
  });
}

void JamMessageBase::ReadHeader() {
  io_status_ = io::kOk;
  LineOpen = false;
  from_name_.clear();
  to_name_.clear();
  subject_.clear();
  // A header without address subfields has no addresses: the previous
  // message's must not show as this one's (or be stored by a rewrite).
  orig_addr_ = NetAddress();
  dest_addr_ = NetAddress();
  carry_len_ = 0;
  if (!SeekFound()) return;  // the previous header stays
  io_status_ = LocateIndex();
  if (io_status_ == io::kOk) {
    const IndexRecord entry = CurrentIndexRecord();
    io_status_ = entry.deleted() ? io::kReadPastEnd : LoadHeaderAt(entry.HdrOffset);
  }
  if (io_status_ != io::kOk) return;
  SetWrittenTexts(HeaderField(kMhDateWritten), &date_text_, &time_text_);
  ParseSubfields(false);
}

std::string JamMessageBase::GetFrom() { return from_name_; }
std::string JamMessageBase::GetTo() { return to_name_; }
std::string JamMessageBase::GetSubject() { return subject_; }
std::string JamMessageBase::GetDate() { return date_text_; }
std::string JamMessageBase::GetTime() { return time_text_; }
uint16_t JamMessageBase::GetCost() {
  return static_cast<uint16_t>(HeaderField(kMhCost));
}
int32_t JamMessageBase::GetReplyTo() {
  return static_cast<int32_t>(HeaderField(kMhReplyTo));
}
int32_t JamMessageBase::GetFirstReply() {
  return static_cast<int32_t>(HeaderField(kMhReply1st));
}
int32_t JamMessageBase::GetNextReply() {
  return static_cast<int32_t>(HeaderField(kMhReplyNext));
}
int32_t JamMessageBase::GetMsgNum() {
  return static_cast<int32_t>(HeaderField(kMhMessageNumber));
}
int32_t JamMessageBase::GetTextLength() {
  return static_cast<int32_t>(HeaderField(kMhTxtLen));
}
void JamMessageBase::GetOrig(NetAddress& addr) { addr = orig_addr_; }
void JamMessageBase::GetDest(NetAddress& addr) { addr = dest_addr_; }

bool JamMessageBase::IsLocal() { return HasAttribute(kAttrLocal); }
bool JamMessageBase::IsCrash() { return HasAttribute(kAttrCrash); }
bool JamMessageBase::IsKillSent() { return HasAttribute(kAttrKillSent); }
bool JamMessageBase::IsSent() { return HasAttribute(kAttrSent); }
bool JamMessageBase::IsFileAttach() { return HasAttribute(kAttrFileAttach); }
bool JamMessageBase::IsReceiptRequest() { return HasAttribute(kAttrReceiptRequest); }
bool JamMessageBase::IsConfirmRequest() { return HasAttribute(kAttrConfirmRequest); }
bool JamMessageBase::IsReceipt() { return false; }  // JAM has no such bit
bool JamMessageBase::IsFileRequest() { return HasAttribute(kAttrFileRequest); }
bool JamMessageBase::IsReceived() { return HasAttribute(kAttrReceived); }
bool JamMessageBase::IsPrivate() { return HasAttribute(kAttrPrivate); }
bool JamMessageBase::IsDeleted() { return HasAttribute(kAttrDeleted); }
bool JamMessageBase::IsEchoed() { return true; }
uint16_t JamMessageBase::GetAuxNumber() { return 0; }

}  // namespace drayline
