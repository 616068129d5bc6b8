#include "jam/jam_text_source.h"

#include <algorithm>
#include <climits>
#include <string>

#include "support/file_access.h"

namespace drayline::jam {

namespace {

// A window reload starts this many bytes before the byte asked for.
constexpr int32_t kTextLead = 80;
// The longest rest of a text read whole in one read, past the window.
constexpr int64_t kDirectRead = 64 * 1024;

}  // namespace

JamTextSource::JamTextSource(const JamBaseFiles& files)
    : files_(files),
      window_(new uint8_t[kTextBufferSize]()),
      carry_over_(new uint8_t[kCarryOverSize]()) {}

void JamTextSource::Begin(uint32_t txt_offset, uint32_t txt_len) {
  // The file's size is asked again only for a text that reaches past the
  // size last known (the file grows as messages are stored), or once the
  // window is dropped: a listing begins a text for every message.
  uint64_t size = known_size_;
  if (uint64_t{txt_offset} + txt_len > known_size_) {
    File* file = files_.text_file();
    if (file == nullptr || file->Size(&size) != io::kOk) size = 0;
    known_size_ = size;
  }
  size = std::min<uint64_t>(size, INT32_MAX);
  const uint64_t first = std::min<uint64_t>(txt_offset, size);
  const uint64_t len = std::min<uint64_t>(txt_len, size - first);
  first_ = static_cast<int32_t>(first);
  last_ = static_cast<int32_t>(first + len) - 1;
  pos_ = carry_len_ > 0 ? -carry_len_ : first_;
}

void JamTextSource::DropWindow() {
  window_start_ = 0;
  window_len_ = 0;
  known_size_ = 0;
}

uint8_t JamTextSource::CarryOverChar() {
  // A position before the area (only SetPosition makes one) starts there.
  const int32_t carry = std::clamp<int32_t>(carry_len_, 0, kCarryOverSize);
  pos_ = std::max(pos_, -carry);
  const uint8_t c = carry_over_[static_cast<size_t>(carry + pos_)];
  if (++pos_ >= 0) pos_ = first_;
  return c;
}

void JamTextSource::Reload() {
  window_start_ = std::max(pos_ - kTextLead, 0);
  window_len_ = 0;
  size_t done = 0;
  File* file = files_.text_file();
  last_result_ = file == nullptr
                     ? io::kNotOpen
                     : RetryRead(*file, static_cast<uint64_t>(window_start_),
                                 std::span(window_.get(), kTextBufferSize), &done);
  window_len_ = static_cast<int32_t>(done);
}

uint8_t JamTextSource::GetChar() {
  if (pos_ < 0) {
    if (carry_len_ > 0) return CarryOverChar();
    pos_ = first_;
  }
  if (pos_ < window_start_ || int64_t{pos_} >= int64_t{window_start_} + window_len_) {
    Reload();
  }
  const int64_t at = int64_t{pos_} - window_start_;
  const uint8_t c = (at >= 0 && at < window_len_) ? window_[static_cast<size_t>(at)] : 0;
  if (pos_ < INT32_MAX) ++pos_;
  return c;
}

Status JamTextSource::ReadStatus() const {
  // Asked after every byte: success costs nothing.
  if (last_result_ == io::kOk) return Status();
  return Status::FromIo(last_result_, "reading " + files_.FileName(kTextExt));
}

bool JamTextSource::EndOfText() { return pos_ >= 0 && (pos_ < first_ || pos_ > last_); }

bool JamTextSource::Next(uint8_t* c) {
  if (EndOfText()) return false;
  // The line reader's step: a byte inside the window is taken at once.
  const int64_t at = int64_t{pos_} - window_start_;
  if (pos_ >= 0 && at >= 0 && at < window_len_ && pos_ < INT32_MAX) {
    *c = window_[static_cast<size_t>(at)];
    ++pos_;
    return true;
  }
  *c = GetChar();
  return true;
}

bool JamTextSource::ReadRestDirectly(std::string* out, Status* failed) {
  File* file = files_.text_file();
  const int64_t want = int64_t{last_} - pos_ + 1;
  if (file == nullptr || pos_ < 0 || want <= 0 || want > kDirectRead) return false;
  const size_t old = out->size();
  out->resize(old + static_cast<size_t>(want));
  size_t done = 0;
  const IoResult code =
      RetryRead(*file, static_cast<uint64_t>(pos_),
                std::span(reinterpret_cast<uint8_t*>(out->data() + old), static_cast<size_t>(want)),
                &done);
  if (code != io::kOk || done != static_cast<size_t>(want)) {
    if (code != io::kOk && failed->ok()) {
      *failed = Status::FromIo(code, "reading " + files_.FileName(kTextExt));
    }
    out->resize(old);  // read again byte by byte, as GetChar reads it
    return false;
  }
  pos_ = last_ + 1;
  return true;
}

Status JamTextSource::AppendRest(std::string* out) {
  Status failed;
  while (!EndOfText()) {
    const int64_t at = int64_t{pos_} - window_start_;
    if ((pos_ < window_start_ || at >= window_len_) && ReadRestDirectly(out, &failed)) break;
    if (pos_ >= 0 && at >= 0 && at < window_len_) {
      // Up to the window's end or the text's, whichever comes first.
      const int64_t run = std::min<int64_t>(window_len_ - at, int64_t{last_} - pos_ + 1);
      out->append(reinterpret_cast<const char*>(window_.get() + at), static_cast<size_t>(run));
      pos_ = static_cast<int32_t>(pos_ + run);
      continue;
    }
    // The carry-over area, or a reload (a failed one gives a 0).
    out->push_back(static_cast<char>(GetChar()));
    if (failed.ok()) failed = ReadStatus();
  }
  return failed;
}

}  // namespace drayline::jam
