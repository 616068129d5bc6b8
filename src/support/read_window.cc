#include "support/read_window.h"

#include <algorithm>
#include <new>

#include "support/file_access.h"

namespace drayline {

std::span<const uint8_t> ReadWindow::Peek(uint64_t offset, size_t want) const {
  if (length_ == 0 || offset < start_ || offset - start_ >= length_) return {};
  const size_t skip = static_cast<size_t>(offset - start_);
  return std::span<const uint8_t>(buffer_.get() + skip,
                                  std::min(want, length_ - skip));
}

void ReadWindow::GrowForWalk(uint64_t offset) {
  // The walk has moved on from the start of a window it filled whole.
  if (size_ >= walk_capacity_ || length_ != size_ || offset <= start_) return;
  size_ = std::min(2 * size_, walk_capacity_);
  buffer_.reset();
}

IoResult ReadWindow::Refill(File& file, uint64_t offset, size_t size) {
  length_ = 0;
  if (buffer_ == nullptr) {
    // Allocated on first use: many objects that own a window never walk.
    buffer_.reset(new (std::nothrow) uint8_t[size_]);
    if (buffer_ == nullptr) return io::kNoZeroBlock;
  }
  start_ = offset;
  size_t done = 0;
  const IoResult code = RetryRead(file, offset,
                                  std::span(buffer_.get(), std::min(size, size_)),
                                  &done);
  if (code == io::kOk) length_ = done;
  return code;
}

IoResult ReadWindow::ReadUncached(File& file, uint64_t offset, std::span<uint8_t> buf,
                                  size_t* done) {
  *done = 0;
  const bool walk = ContinuesWalk(offset);
  next_ = offset + buf.size();
  bool windowed = Holds(offset, buf.size());
  if (!windowed && walk && buf.size() <= capacity_) {
    GrowForWalk(offset);
    windowed = Refill(file, offset, size_) == io::kOk;
  }
  if (!windowed) return RetryRead(file, offset, buf, done);
  // A window that holds less than asked for ends where the file ended.
  const std::span<const uint8_t> held = Peek(offset, buf.size());
  std::copy(held.begin(), held.end(), buf.begin());
  *done = held.size();
  return io::kOk;
}

IoResult ReadWindow::ReadThrough(File& file, uint64_t offset,
                                 std::span<uint8_t> buf, size_t* done) {
  next_ = offset + buf.size();
  return RetryRead(file, offset, buf, done);
}

IoResult ReadWindow::FillRest(File& file, size_t filled, size_t length) {
  size_t more = 0;
  const IoResult code =
      RetryRead(file, start_ + filled,
                std::span(buffer_.get() + filled, length - filled), &more);
  length_ = code == io::kOk ? filled + more : 0;
  return code;
}

IoResult ReadWindow::ReadRecordUncached(File& file, uint64_t offset, size_t first_read,
                                        RecordLength length_of,
                                        std::span<const uint8_t>* record) {
  *record = {};
  auto whole_length = [&](std::span<const uint8_t> held) {
    return std::min(length_of(held), capacity_);
  };
  std::span<const uint8_t> held = Peek(offset, capacity_);
  size_t length = whole_length(held);
  if (length == 0 || held.size() < length) {
    // A walk's next record fills the whole window; a record far from the
    // last one (a search's next match, a jump) takes only first_read bytes,
    // which hold most records whole, and the rest only when it needs more.
    const bool walk = ContinuesWalk(offset);
    if (walk) GrowForWalk(offset);
    const size_t size = walk ? size_ : first_read;
    IoResult code = Refill(file, offset, size);
    if (code != io::kOk) return code;
    const size_t filled = length_;
    length = whole_length(Peek(offset, capacity_));
    if (filled == std::min(size, size_) && length > filled &&
        (code = FillRest(file, filled, length)) != io::kOk) {
      return code;
    }
    held = Peek(offset, capacity_);
  }
  if (length == 0) return io::kReadPastEnd;
  *record = held.first(std::min(held.size(), length));
  next_ = offset + record->size();
  return io::kOk;
}

}  // namespace drayline
