#include "squish/squish_index.h"

#include <algorithm>
#include <array>
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
  std::unique_ptr<SquishIndexEntry[], RawDelete> table(
      static_cast<SquishIndexEntry*>(::operator new[](
          sizeof(SquishIndexEntry) * capacity, std::nothrow)));
  std::unique_ptr<uint8_t[]> image(
      new (std::nothrow) uint8_t[size_t{capacity} * kIndexEntrySize]);
  if (table == nullptr || image == nullptr) return false;
  if (table_ != nullptr) {
    // Only the entries written so far: the others are the image's.
    const uint16_t decoded = std::min(decoded_, changed_from_);
    std::copy_n(table_.get(), decoded, table.get());
    std::copy(table_.get() + changed_from_, table_.get() + count_,
              table.get() + changed_from_);
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
  changed_from_ = 0;
  decoded_ = 0;
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
  // Nothing is decoded yet: a post uses none of the entries read.
  changed_from_ = count_;
  decoded_ = 0;
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
  // Entries the file already holds as they are need no write; those
  // before changed_from_ are known to be so without a look.
  const size_t held = std::min(n, image_size_ / kIndexEntrySize);
  size_t same = std::min<size_t>(changed_from_, held);
  std::array<uint8_t, kIndexEntrySize> entry;
  for (; same < held; ++same) {
    EncodeIndexEntry(Entry(same), entry.data());
    if (std::memcmp(entry.data(), image_.get() + same * kIndexEntrySize,
                    kIndexEntrySize) != 0) {
      break;
    }
  }
  const size_t at = same * kIndexEntrySize;
  const size_t total = n * kIndexEntrySize;
  std::vector<uint8_t> bytes(total - at);
  for (size_t k = same; k < n; ++k) {
    EncodeIndexEntry(Entry(k), bytes.data() + (k - same) * kIndexEntrySize);
  }
  // Entries first, then the cut: the file is never without its entries.
  // The file holds what was read under the lock: the image is its bytes.
  const std::span<const uint8_t> image(image_.get(), image_size_);
  if (same < n) {
    Status s = change.Overwrite(
        *file, at, bytes,
        image.subspan(at, std::min(image.size() - at, bytes.size())));
    if (!s.ok()) return s;
  }
  if (file_size_ > total) {
    Status s = change.Truncate(*file, total,
                               file_size_ == image.size()
                                   ? image.subspan(total)
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

SquishIndexEntry& SquishIndex::Entry(size_t i) const {
  if (i >= changed_from_) return table_[i];
  // Entries are decoded in order, so that a walk decodes each once.
  for (; decoded_ <= i; ++decoded_) {
    table_[decoded_] =
        DecodeIndexEntry(image_.get() + size_t{decoded_} * kIndexEntrySize);
  }
  return table_[i];
}

void SquishIndex::ChangeFrom(uint16_t from) {
  if (from >= changed_from_) return;
  if (changed_from_ > 0) Entry(changed_from_ - 1u);
  changed_from_ = from;
}

const SquishIndexEntry* SquishIndex::At(int64_t k, int32_t message_count) const {
  if (k < 1 || k > Entries(message_count)) return nullptr;
  return &Entry(size_t(k - 1));
}

SquishIndexEntry* SquishIndex::MutableAt(int64_t k, int32_t message_count) {
  if (k < 1 || k > Entries(message_count)) return nullptr;
  ChangeFrom(static_cast<uint16_t>(k - 1));
  return &table_[k - 1];
}

uint16_t SquishIndex::FindUid(int32_t uid, int32_t message_count) const {
  const uint16_t entries = Entries(message_count);
  for (uint16_t k = 1; k <= entries; ++k) {
    if (Entry(k - 1u).Uid == uid) return k;
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
  ChangeFrom(k - 1u);
  std::copy(table_.get() + k, table_.get() + count_, table_.get() + k - 1);
  --count_;
}

SquishIndex::Mark SquishIndex::Snapshot() const {
  Mark mark{count_, changed_from_, {}};
  if (table_ != nullptr) {
    mark.entries.assign(table_.get() + changed_from_, table_.get() + count_);
  }
  return mark;
}

void SquishIndex::Restore(const Mark& mark) {
  if (table_ == nullptr || mark.count > capacity_) return;
  // Entries changed since the mark that were the image's then are decoded
  // again from it; those changed before it come back from the mark.
  decoded_ = std::min(decoded_, changed_from_);
  std::copy(mark.entries.begin(), mark.entries.end(),
            table_.get() + mark.changed_from);
  count_ = mark.count;
  changed_from_ = mark.changed_from;
}

}  // namespace drayline::squish
