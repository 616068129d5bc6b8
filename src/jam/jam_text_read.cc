// JamMessageBase: delivering the text of the message loaded by ReadHeader,
// a byte at a time or as word-wrapped lines, through a window of the text
// file.
//
// The text is cut to the text file whatever TxtOffset and TxtLen say, and
// every byte is taken from inside the window or the carry-over area.

#include <algorithm>
#include <climits>

#include "jam/jam_message_base.h"
#include "support/file_access.h"
#include "support/strings.h"

namespace drayline {

using namespace jam;

namespace {
// A text window starts this many bytes before the byte asked for, so that
// GetTextLine can step back to a recent space without a new read.
constexpr int32_t kTextLead = 80;
}  // namespace

void JamMessageBase::BeginTextRead() {
  LineOpen = false;
  // The text is cut to the text file: whatever TxtOffset and TxtLen say,
  // nothing outside the file is ever delivered.
  uint64_t size = 0;
  if (text_file_ == nullptr || text_file_->Size(&size) != io::kOk) size = 0;
  size = std::min<uint64_t>(size, INT32_MAX);
  const uint64_t first = std::min<uint64_t>(HeaderField(kMhTxtOffset), size);
  const uint64_t len = std::min<uint64_t>(HeaderField(kMhTxtLen), size - first);
  text_first_ = static_cast<int32_t>(first);
  text_last_ = static_cast<int32_t>(first + len) - 1;
  text_pos_ = carry_len_ > 0 ? -carry_len_ : text_first_;
}

uint8_t JamMessageBase::GetChar() {
  if (text_pos_ < 0) {
    // Characters before the text come from the carry-over area; a position
    // before that area (only SetTextPosition makes one) starts there.
    const int32_t carry = std::clamp<int32_t>(carry_len_, 0, kCarryOverSize);
    if (carry == 0) {
      text_pos_ = text_first_;
    } else {
      text_pos_ = std::max(text_pos_, -carry);
      const uint8_t c = carry_over_[static_cast<size_t>(carry + text_pos_)];
      if (++text_pos_ >= 0) text_pos_ = text_first_;
      return c;
    }
  }
  if (text_pos_ < buf_start_ || int64_t{text_pos_} >= int64_t{buf_start_} + buf_len_) {
    buf_start_ = std::max(text_pos_ - kTextLead, 0);
    buf_len_ = 0;
    size_t done = 0;
    io_status_ = io::kNotOpen;
    if (text_file_ != nullptr) {
      io_status_ = ReadWithRetry(*text_file_, static_cast<uint64_t>(buf_start_),
                                 std::span(text_buffer_.get(), kTextBufferSize), &done)
                       ? io::kOk
                       : LastFileError();
    }
    buf_len_ = static_cast<int32_t>(done);
  }
  // A byte the window could not supply reads as 0, which lines skip.
  const int64_t at = int64_t{text_pos_} - buf_start_;
  const uint8_t c = (at >= 0 && at < buf_len_) ? text_buffer_[static_cast<size_t>(at)] : 0;
  if (text_pos_ < INT32_MAX) ++text_pos_;
  return c;
}

bool JamMessageBase::EndOfText() {
  return text_pos_ >= 0 && (text_pos_ < text_first_ || text_pos_ > text_last_);
}

int32_t JamMessageBase::GetTextPosition() { return text_pos_; }

void JamMessageBase::SetTextPosition(int32_t pos) { text_pos_ = pos; }

namespace {

// Bytes a line never holds: they are skipped wherever they stand.
bool Filler(uint8_t c) { return c == 0 || c == 10 || c == 141; }

}  // namespace

std::string JamMessageBase::GetTextLine(uint16_t max_len) {
  // A line is a short string: a wider limit could not be returned.
  const size_t limit = std::min<size_t>(max_len, kShortStringMax);
  bool was_open = LineOpen;
  LineOpen = true;
  std::string line;
  bool done = false;
  bool spaced = false;  // a space was taken into the line
  size_t space_len = 0;
  int32_t after_space = 0;
  auto take = [&](uint8_t c) {
    if (Filler(c)) return;
    if (c == 13) {
      done = true;
      LineOpen = false;
    } else if (c == ' ' && line.empty() && was_open) {
      was_open = false;  // one leading space of a continued line is dropped
    } else {
      line += static_cast<char>(c);
      if (c == ' ') {
        spaced = true;
        space_len = line.size();
        after_space = text_pos_;
      }
    }
  };
  uint8_t c = GetChar();
  int32_t at = text_pos_ - 1;  // where c was read
  while (!done && line.size() < limit && !EndOfText()) {
    take(c);
    if (!done) {
      c = GetChar();
      at = text_pos_ - 1;
    }
  }
  if (done) {
    SkipFinalLineFeed();
    return line;
  }
  // The byte whose reading ended the text is its last byte: a text that
  // does not end in a line end keeps it.
  const bool last_byte = EndOfText() && at == text_last_ && !Filler(c);
  if (EndOfText() && !last_byte) return line;
  if (last_byte && (line.size() < limit || c == 13)) {
    take(c);
    return line;
  }
  // The line is full and text follows: cut it after its last space, or
  // else read the byte that did not fit again on the next call.
  if (!spaced) {
    text_pos_ = at;
    return line;
  }
  line.resize(space_len);
  text_pos_ = after_space;
  return line;
}

void JamMessageBase::SkipFinalLineFeed() {
  // A text whose lines end in CR LF reads as one whose lines end in CR:
  // the LF left alone after the last line would make an empty line more.
  if (text_pos_ != text_last_) return;
  const int32_t at = text_pos_;
  if (GetChar() != 10) text_pos_ = at;
}

}  // namespace drayline
