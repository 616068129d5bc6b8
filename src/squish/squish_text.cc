#include "squish/squish_text.h"

#include <algorithm>
#include <new>

namespace drayline::squish {

bool SquishText::Allocate() {
  buffer_.reset(new (std::nothrow) uint8_t[kTextBufferSize + 1]);
  return buffer_ != nullptr;
}

bool SquishText::EndOfText() {
  return pos_ < 1 || pos_ > loaded_ || buffer_[pos_] == 0;
}

uint8_t SquishText::GetChar() {
  if (EndOfText()) return 0;
  return buffer_[pos_++];
}

bool SquishText::Next(uint8_t* c) {
  if (EndOfText()) return false;
  *c = buffer_[pos_++];
  return true;
}

void SquishText::SetPosition(int32_t pos) {
  pos_ = static_cast<uint16_t>(
      std::clamp<int32_t>(pos, 0, static_cast<int32_t>(kTextBufferSize) + 1));
}

std::span<uint8_t> SquishText::Space(size_t want) {
  return std::span<uint8_t>(buffer_.get() + 1, std::min(want, kTextBufferSize));
}

void SquishText::Loaded(size_t done, int64_t control_length) {
  loaded_ = static_cast<uint16_t>(std::min(done, kTextBufferSize));
  // A ControlLength beyond the text leaves nothing to read.
  pos_ = static_cast<uint16_t>(
      std::clamp<int64_t>(control_length, 0, static_cast<int64_t>(loaded_)) + 1);
  text_start_ = pos_;
}

void SquishText::Forget() {
  loaded_ = 0;
  pos_ = 1;
  text_start_ = 1;
}

std::string_view SquishText::Control() const {
  if (buffer_ == nullptr) return {};
  return std::string_view(reinterpret_cast<const char*>(buffer_.get()) + 1, text_start_ - 1u);
}

Status SquishText::Compose(const ComposedText& text,
                           std::span<const uint8_t>* out) {
  Forget();
  // The composing buffer has always held 16000 bytes: the excess, and the
  // closing NUL when the buffer is full, are dropped.
  const size_t n = static_cast<size_t>(
      std::min<uint64_t>(text.Size(), kTextBufferSize));
  Status s = text.ReadAt(0, std::span<uint8_t>(buffer_.get() + 1, n));
  if (!s.ok()) return s;
  size_t length = n;
  if (length < kTextBufferSize) buffer_[++length] = 0;
  *out = std::span<const uint8_t>(buffer_.get() + 1, length);
  return Status::Ok();
}

}  // namespace drayline::squish
