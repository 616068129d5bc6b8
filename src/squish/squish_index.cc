#include "squish/squish_index.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "support/file_access.h"

namespace drayline::squish {

namespace {

Status NoTable(std::string_view why) {
  return Status(StatusCode::kNoMemory, kNoIndexTable, std::string(why));
}

}  // namespace

bool SquishIndex::Reserve(uint16_t capacity) {
  if (table_ != nullptr && capacity_ >= capacity) return true;
  std::unique_ptr<SquishIndexEntry[]> table(new (std::nothrow)
                                                SquishIndexEntry[capacity]);
  std::unique_ptr<uint8_t[]> image(
      new (std::nothrow) uint8_t[size_t{capacity} * kIndexEntrySize]);
  if (table == nullptr || image == nullptr) return false;
  if (table_ != nullptr) {
    std::copy_n(table_.get(), count_, table.get());
    std::copy_n(image_.get(), image_size_, image.get());
  }
  table_ = std::move(table);
  image_ = std::move(image);
  capacity_ = capacity;
  return true;
}

void SquishIndex::Drop() {
  table_.reset();
  image_.reset();
  capacity_ = 0;
}

Status SquishIndex::Read(File* file, const std::string& name) {
  count_ = 0;
  image_size_ = 0;
  file_size_ = 0;
  if (file == nullptr) {
    read_status_ = Status(StatusCode::kNotOpen, io::kNotOpen, name + " is not open");
    return read_status_;
  }
  uint64_t size = 0;
  IoResult code = file->Size(&size);
  if (code != io::kOk) return read_status_ = Status::FromIo(code, "sizing " + name);
  const uint64_t records = size / kIndexEntrySize;
  // Room for 100 more entries, so that posts need not grow the table; a
  // table that already has room for the next entry is kept.
  const bool room = table_ != nullptr &&
                    (capacity_ > records || capacity_ == kMaxIndexEntries);
  const uint16_t wanted = static_cast<uint16_t>(
      std::min<uint64_t>(records + kIndexSpare, kMaxIndexEntries));
  if (!room && !Reserve(wanted)) {
    Drop();
    return read_status_ = NoTable("no memory for the index of " + name);
  }
  std::span<uint8_t> image(image_.get(), size_t{capacity_} * kIndexEntrySize);
  size_t got = 0;
  code = RetryRead(*file, 0, image, &got);
  if (code != io::kOk) return read_status_ = Status::FromIo(code, "reading " + name);
  image_size_ = got;
  file_size_ = std::max<uint64_t>(size, got);
  count_ = static_cast<uint16_t>(got / kIndexEntrySize);
  for (uint16_t k = 0; k < count_; ++k) {
    table_[k] = DecodeIndexEntry(image.data() + k * kIndexEntrySize);
  }
  // Entries beyond the table were not loaded: nothing may rewrite the file.
  read_status_ = file_size_ > got
                     ? Status(StatusCode::kWriteFailed, kNoIndexTable,
                              name + " holds more than " +
                                  std::to_string(kMaxIndexEntries) + " entries")
                     : Status::Ok();
  return read_status_;
}

Status SquishIndex::Write(Change& change, File* file, int32_t message_count,
                          const std::string& name) const {
  if (table_ == nullptr) return NoTable("no index table for " + name);
  if (file == nullptr) {
    return Status(StatusCode::kNotOpen, io::kNotOpen, name + " is not open");
  }
  if (!read_status_.ok()) return read_status_;
  if (message_count < 0 || message_count > count_) {
    return Status::Damaged("the control record counts " +
                           std::to_string(message_count) + " messages, " + name +
                           " holds " + std::to_string(count_));
  }
  const size_t n = size_t(message_count);
  std::vector<uint8_t> bytes(n * kIndexEntrySize);
  for (size_t k = 0; k < n; ++k) {
    EncodeIndexEntry(table_[k], bytes.data() + k * kIndexEntrySize);
  }
  // Entries that the file already holds as they are need no write.
  size_t same = 0;
  const size_t held = std::min(n, image_size_ / kIndexEntrySize);
  while (same < held &&
         std::memcmp(bytes.data() + same * kIndexEntrySize,
                     image_.get() + same * kIndexEntrySize, kIndexEntrySize) == 0) {
    ++same;
  }
  // Entries first, then the cut: the file is never without its entries.
  // The file holds what was read under the lock: the image is its bytes.
  const std::span<const uint8_t> image(image_.get(), image_size_);
  if (same < n) {
    const size_t at = same * kIndexEntrySize;
    Status s = change.Overwrite(*file, at, std::span(bytes).subspan(at),
                                image.subspan(at, std::min(image.size() - at,
                                                           bytes.size() - at)));
    if (!s.ok()) return s;
  }
  if (file_size_ > bytes.size()) {
    Status s = change.Truncate(*file, bytes.size(),
                               file_size_ == image.size()
                                   ? image.subspan(bytes.size())
                                   : std::span<const uint8_t>());
    if (!s.ok()) {
      return Status(StatusCode::kWriteFailed, kIndexSeekFailed,
                    "cutting " + name + ": " + s.text());
    }
  }
  return Status::Ok();
}

uint16_t SquishIndex::Entries(int32_t message_count) const {
  if (table_ == nullptr || message_count <= 0) return 0;
  return static_cast<uint16_t>(std::min<int64_t>(message_count, count_));
}

const SquishIndexEntry* SquishIndex::At(int64_t k, int32_t message_count) const {
  if (k < 1 || k > Entries(message_count)) return nullptr;
  return &table_[k - 1];
}

SquishIndexEntry* SquishIndex::MutableAt(int64_t k, int32_t message_count) {
  if (k < 1 || k > Entries(message_count)) return nullptr;
  return &table_[k - 1];
}

uint16_t SquishIndex::FindUid(int32_t uid, int32_t message_count) const {
  for (uint16_t k = 1; k <= Entries(message_count); ++k) {
    if (table_[k - 1].Uid == uid) return k;
  }
  return 0;
}

bool SquishIndex::Grow() {
  if (count_ < capacity_) return true;
  const uint16_t wanted = static_cast<uint16_t>(
      std::min<int>(count_ + kIndexSpare, kMaxIndexEntries));
  return wanted > capacity_ && Reserve(wanted);
}

void SquishIndex::Remove(uint16_t k) {
  std::copy(table_.get() + k, table_.get() + count_, table_.get() + k - 1);
  --count_;
}

std::vector<SquishIndexEntry> SquishIndex::Snapshot() const {
  if (table_ == nullptr) return {};
  return std::vector<SquishIndexEntry>(table_.get(), table_.get() + count_);
}

void SquishIndex::Restore(const std::vector<SquishIndexEntry>& entries) {
  if (table_ == nullptr) return;
  std::copy(entries.begin(), entries.end(), table_.get());
  count_ = static_cast<uint16_t>(entries.size());
}

}  // namespace drayline::squish
