// SquishMessageBase: the cursor over the in-memory index, the message
// headers and their getters, and the text read character by character or
// as wrapped lines.
//
// Reading never steers a read by an unchecked value: the cursor stays within
// the entries that were loaded, a frame without the frame id is not used,
// and the text read is bounded by the frame, the buffer and the bytes that
// the file actually holds.

#include <algorithm>
#include <new>

#include "squish/squish_message_base.h"
#include "support/clock.h"
#include "support/coding.h"
#include "support/file_access.h"
#include "support/strings.h"

namespace drayline {

using namespace squish;

namespace {

constexpr uint8_t kCr = 13;
constexpr uint8_t kLf = 10;
constexpr uint8_t kSoftCr = 141;
// Read-ahead window of the data file: two dozen average messages.
constexpr size_t kReadWindowSize = 32768;

}  // namespace

// ---- Cursor ----

const SquishIndexEntry* SquishMessageBase::CursorEntry() const {
  return IndexEntryAt(cursor_index_);
}

void SquishMessageBase::ReloadIndexForWalk() {
  DropReadWindow();
  if (locked_) return;
  // The control record too, so that messages stored by other programs
  // since the base was opened are counted.
  ReadBaseHeader();
  ReadIndex();
}

void SquishMessageBase::SeekFirst(int32_t num) {
  cursor_index_ = 1;
  ReloadIndexForWalk();
  for (const SquishIndexEntry* e = CursorEntry(); e != nullptr && e->Uid < num;
       e = CursorEntry()) {
    ++cursor_index_;
  }
}

void SquishMessageBase::SeekNext() {
  // Past the last entry the cursor stops one beyond it, so that it never
  // wraps however often it is moved on.
  if (cursor_index_ <= IndexEntries()) ++cursor_index_;
}

void SquishMessageBase::SeekPrior() {
  cursor_index_ = cursor_index_ > 1 ? cursor_index_ - 1 : 0;
}

bool SquishMessageBase::SeekFound() { return CursorEntry() != nullptr; }

int32_t SquishMessageBase::GetMsgNum() {
  const SquishIndexEntry* e = CursorEntry();
  return e != nullptr ? e->Uid : -1;
}

int32_t SquishMessageBase::GetMsgLoc() { return GetMsgNum(); }

void SquishMessageBase::SetMsgLoc(int32_t loc) { SeekFirst(loc); }

int32_t SquishMessageBase::GetMsgDisplayNum() { return cursor_index_; }

int32_t SquishMessageBase::GetHighMsgNum() { return base_.NextUid - 1; }

int32_t SquishMessageBase::GetIndexOffset() {
  const SquishIndexEntry* e = CursorEntry();
  return e != nullptr ? e->FrameOffset : -1;
}

int32_t SquishMessageBase::GetIndexHash() {
  const SquishIndexEntry* e = CursorEntry();
  return e != nullptr ? static_cast<int32_t>(e->NameHash) : 0;
}

int32_t SquishMessageBase::GetHighestUid() {
  int32_t highest = 0;
  for (uint16_t k = 1; k <= IndexEntries(); ++k) {
    highest = std::max(highest, IndexEntryAt(k)->Uid);
  }
  return highest;
}

// ---- Headers ----

void SquishMessageBase::ForgetHeaders() {
  frame_header_ = SquishFrameHeader{};
  msg_header_ = SquishMessageHeader{};
  header_loaded_ = false;
}

bool SquishMessageBase::FillReadWindow(uint64_t offset) {
  if (read_window_ == nullptr) {
    read_window_.reset(new (std::nothrow) uint8_t[kReadWindowSize]);
    if (read_window_ == nullptr) return false;  // read directly instead
  }
  read_window_start_ = offset;
  if (!ReadWithRetry(*data_file_, offset,
                     std::span(read_window_.get(), kReadWindowSize),
                     &read_window_len_)) {
    read_window_len_ = 0;
    return false;
  }
  return true;
}

IoResult SquishMessageBase::ReadData(uint64_t offset, std::span<uint8_t> buf,
                                     size_t* done) {
  *done = 0;
  if (data_file_ == nullptr) return io::kNotOpen;
  const uint64_t last_end = read_next_;
  read_next_ = offset + buf.size();
  auto inside = [&] {
    return read_window_len_ > 0 && offset >= read_window_start_ &&
           offset - read_window_start_ < read_window_len_;
  };
  bool windowed = !locked_ && inside() &&
                  read_window_len_ - (offset - read_window_start_) >= buf.size();
  // Read ahead only for a walk forward over neighbouring frames; a read
  // far from the last one (a search's next match) reads just what it needs.
  if (!windowed && !locked_ && buf.size() <= kReadWindowSize &&
      offset >= last_end && offset - last_end < kReadWindowSize) {
    windowed = FillReadWindow(offset);
  }
  if (!windowed) {
    return ReadWithRetry(*data_file_, offset, buf, done) ? io::kOk
                                                         : LastFileError();
  }
  // A window that holds less than asked for ends where the file ended.
  const size_t skip = static_cast<size_t>(offset - read_window_start_);
  *done = std::min(buf.size(), read_window_len_ - skip);
  std::copy_n(read_window_.get() + skip, *done, buf.begin());
  return io::kOk;
}

IoResult SquishMessageBase::LoadHeaders(int64_t offset) {
  ForgetHeaders();
  if (data_file_ == nullptr) return io::kNotOpen;
  // An offset inside the control record is no frame.
  if (offset < header_length_) return kDamagedBase;
  // Frame header and message header together; a frame-header size larger
  // than ours leaves bytes between them that are not used.
  std::array<uint8_t, kFrameHeaderSize + kMessageHeaderSize> bytes{};
  const uint64_t at = static_cast<uint64_t>(offset);
  std::span<uint8_t> frame = std::span(bytes).first(kFrameHeaderSize);
  std::span<uint8_t> message = std::span(bytes).subspan(kFrameHeaderSize);
  size_t got = 0;
  IoResult code;
  if (frame_header_size_ == kFrameHeaderSize) {
    code = ReadData(at, bytes, &got);
  } else {
    code = ReadData(at, frame, &got);
    if (code == io::kOk && got == frame.size()) {
      code = ReadData(at + frame_header_size_, message, &got);
      got += frame.size();
    }
  }
  if (code != io::kOk) return code;
  if (got != bytes.size()) return io::kReadPastEnd;
  if (DecodeFixed32(bytes.data() + kFhFrameId) != kFrameId) return kDamagedBase;
  frame_header_ = DecodeFrameHeader(frame.data());
  msg_header_ = DecodeMessageHeader(message.data());
  header_loaded_ = true;
  return io::kOk;
}

void SquishMessageBase::ReadHeader() {
  // Off a message there is nothing to load: the object stays as it was.
  const SquishIndexEntry* e = CursorEntry();
  if (e == nullptr) return;
  current_frame_ = e->FrameOffset;
  current_uid_ = e->Uid;
  IoResult code = LoadHeaders(current_frame_);
  if (code != io::kOk) Fail(code);
}

std::string SquishMessageBase::GetFrom() {
  return CStrToStr(msg_header_.FromName, kNameLimit);
}

std::string SquishMessageBase::GetTo() {
  return CStrToStr(msg_header_.ToName, kNameLimit);
}

std::string SquishMessageBase::GetSubject() {
  return CStrToStr(msg_header_.Subject, kSubjectLimit);
}

std::string SquishMessageBase::GetDate() {
  return DateString(SwapPackedHalves(msg_header_.DateWritten), 0);
}

std::string SquishMessageBase::GetTime() {
  return TimeString(SwapPackedHalves(msg_header_.DateWritten), false);
}

int32_t SquishMessageBase::GetReplyTo() { return msg_header_.ReplyTo; }
int32_t SquishMessageBase::GetFirstReply() { return msg_header_.Replies[0]; }
void SquishMessageBase::GetOrig(NetAddress& addr) { addr = msg_header_.OrigAddress; }
void SquishMessageBase::GetDest(NetAddress& addr) { addr = msg_header_.DestAddress; }
uint16_t SquishMessageBase::GetAuxNumber() { return 0; }

int64_t SquishMessageBase::LoadedBodyLength() const {
  if (!header_loaded_) return 0;
  int64_t used = std::min(frame_header_.MessageLength, frame_header_.FrameLength);
  return std::max<int64_t>(0, used - kMessageHeaderSize);
}

int32_t SquishMessageBase::GetTextLength() {
  // The text without its closing NUL.
  return static_cast<int32_t>(std::max<int64_t>(0, LoadedBodyLength() - 1));
}

bool SquishMessageBase::IsPrivate() { return msg_header_.Attributes & kAttrPrivate; }
bool SquishMessageBase::IsCrash() { return msg_header_.Attributes & kAttrCrash; }
bool SquishMessageBase::IsReceived() { return msg_header_.Attributes & kAttrReceived; }
bool SquishMessageBase::IsSent() { return msg_header_.Attributes & kAttrSent; }
bool SquishMessageBase::IsFileAttach() { return msg_header_.Attributes & kAttrFileAttach; }
bool SquishMessageBase::IsKillSent() { return msg_header_.Attributes & kAttrKillSent; }
bool SquishMessageBase::IsLocal() { return msg_header_.Attributes & kAttrLocal; }
bool SquishMessageBase::IsFileRequest() {
  return msg_header_.Attributes & kAttrFileRequest;
}
bool SquishMessageBase::IsReceiptRequest() {
  return msg_header_.Attributes & kAttrReceiptRequest;
}
bool SquishMessageBase::IsReceipt() { return msg_header_.Attributes & kAttrIsReceipt; }
bool SquishMessageBase::IsConfirmRequest() {
  return msg_header_.Attributes & kAttrConfirmRequest;
}
// A deleted message leaves the index, so the cursor never stands on one.
bool SquishMessageBase::IsDeleted() { return false; }
bool SquishMessageBase::IsEchoed() {
  return (msg_header_.Attributes & kAttrNotEchoed) == 0;
}

// ---- Text ----

IoResult SquishMessageBase::ReadMsgTextAt(int64_t offset) {
  text_loaded_ = 0;
  text_end_ = false;
  LineOpen = false;
  const int64_t body = LoadedBodyLength();
  const size_t want = static_cast<size_t>(
      std::min<int64_t>(body, static_cast<int64_t>(kTextBufferSize)));
  IoResult code = io::kOk;
  if (want > 0 && data_file_ != nullptr) {
    size_t done = 0;
    uint64_t at = static_cast<uint64_t>(offset) + frame_header_size_ +
                  kMessageHeaderSize;
    code = ReadData(at, std::span(text_buffer_.get() + 1, want), &done);
    if (code == io::kOk && done < want) {
      code = io::kReadPastEnd;  // the file ends inside the text
    }
    // Only bytes that were read are ever delivered.
    text_loaded_ = static_cast<uint16_t>(done);
  } else if (want > 0) {
    code = io::kNotOpen;
  }
  // Control information is skipped; a ControlLength beyond the text leaves
  // nothing to read.
  int64_t control = std::clamp<int64_t>(frame_header_.ControlLength, 0,
                                        static_cast<int64_t>(text_loaded_));
  text_pos_ = static_cast<uint16_t>(control + 1);
  if (code != io::kOk) Fail(code);
  return code;
}

void SquishMessageBase::BeginTextRead() { ReadMsgTextAt(current_frame_); }

void SquishMessageBase::ResetText() { text_pos_ = 0; }

bool SquishMessageBase::EndOfText() {
  return text_pos_ < 1 || text_pos_ > text_loaded_ ||
         text_buffer_[text_pos_] == 0;
}

uint8_t SquishMessageBase::GetChar() {
  if (EndOfText()) {
    text_end_ = true;
    return 0;
  }
  return text_buffer_[text_pos_++];
}

std::string SquishMessageBase::GetTextLine(uint16_t max_len) {
  const size_t limit = std::min<size_t>(max_len, kShortStringMax);
  bool skip = LineOpen;  // one leading space of a continued line is dropped
  LineOpen = true;
  std::string line;
  bool ended = false;
  size_t wrap_len = 0;    // length up to and including the last space
  uint16_t wrap_pos = 0;  // text position just after it (0: none)
  while (!ended && line.size() < limit && !text_end_) {
    uint8_t c = GetChar();
    if (c == 0 || c == kCr) {
      ended = true;
      LineOpen = false;
    } else if (c == kLf || c == kSoftCr) {
      continue;
    } else if (c == ' ' && line.empty() && skip) {
      skip = false;
    } else {
      line.push_back(static_cast<char>(c));
      if (c == ' ') {
        wrap_len = line.size();
        wrap_pos = text_pos_;
      }
    }
  }
  if (!ended && !text_end_ && wrap_pos != 0) {
    // The line is full: cut it after its last space and read the words
    // after that space again for the next line.
    line.resize(wrap_len);
    text_pos_ = wrap_pos;
  }
  return line;
}

int32_t SquishMessageBase::GetTextPosition() { return text_pos_; }

void SquishMessageBase::SetTextPosition(int32_t pos) {
  // Positions outside the buffer read as the end of the text. Coming back
  // to an earlier position makes the text readable again from there.
  text_pos_ = static_cast<uint16_t>(
      std::clamp<int32_t>(pos, 0, static_cast<int32_t>(kTextBufferSize) + 1));
  text_end_ = false;
}

}  // namespace drayline
