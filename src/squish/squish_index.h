// SquishIndex: the index file of a Squish base held in memory.
//
// The table holds the index file's entries, oldest first, with room for
// 100 more (never more than 5200 entries), so that posts need not grow it.
// It also keeps the file's bytes as last read, so that writing the table
// back writes only the entries that differ from the file: the file ends
// byte for byte as if the whole table had been written.
//
// The cost of a change does not grow with the index: a read is one read
// of the file and decodes nothing; an entry is decoded when it is first
// used, and the table knows from which entry on it may differ from the
// file, so that a write compares and encodes only from there and a mark
// copies only the entries from there on (a post: none, then the one
// appended).
//
// Entry k is counted from 1. The entries that may be used are those the
// control record counts and the file held (Entries); nothing reads or
// writes the table outside them. Memory is obtained without exceptions: a
// table that cannot be had leaves the index absent (Read's status says so).

#ifndef DRAYLINE_SQUISH_SQUISH_INDEX_H_
#define DRAYLINE_SQUISH_SQUISH_INDEX_H_

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drayline/status.h"
#include "squish/squish_format.h"
#include "support/change.h"
#include "support/env.h"

namespace drayline::squish {

class SquishIndex {
 public:
  // Loads the index file (named name) into the table, in one read. The
  // table is kept while it has room for another entry. Writable() is true
  // only when the whole file was loaded.
  Status Read(File* file, const std::string& name);
  // Writes the first message_count entries through change, from the first
  // one that differs from the file, then cuts the file there. Refuses
  // (writes nothing) unless the whole file was loaded and message_count
  // lies within the loaded entries.
  Status Write(Change& change, File* file, int32_t message_count,
               const std::string& name) const;

  // What the table was at a point, to go back to it (Restore): the count
  // and the entries that may differ from the file. Only valid until the
  // next Read.
  struct Mark {
    uint16_t count = 0;
    uint16_t changed_from = 0;
    std::vector<SquishIndexEntry> entries;  // changed_from..count-1
  };

  // The status of the last Read: ok when the whole file was loaded.
  const Status& read_status() const { return read_status_; }
  bool present() const { return table_ != nullptr; }
  uint16_t capacity() const { return capacity_; }
  uint16_t count() const { return count_; }
  // Entries that may be used: 1..min(message_count, loaded).
  uint16_t Entries(int32_t message_count) const;
  // Entry k, or nullptr outside 1..Entries(message_count).
  const SquishIndexEntry* At(int64_t k, int32_t message_count) const;
  SquishIndexEntry* MutableAt(int64_t k, int32_t message_count);
  // Position of the first entry with that Uid, 0 when none.
  uint16_t FindUid(int32_t uid, int32_t message_count) const;

  // Forgets the entries from n on (n <= count()).
  void KeepFirst(uint16_t n) {
    count_ = n;
    changed_from_ = std::min(changed_from_, n);
  }
  // Makes room for one more entry (growing by 100, up to 5200); false when
  // the table is full or its memory cannot be had.
  bool Grow();
  // Appends an entry; the caller has made room.
  void Append(const SquishIndexEntry& entry) { table_[count_++] = entry; }
  // Removes entry k (1..count()), closing the gap.
  void Remove(uint16_t k);

  Mark Snapshot() const;
  void Restore(const Mark& mark);

 private:
  bool Reserve(uint16_t capacity);
  void Drop();
  // Entry at 0-based position i, decoded from the image when not yet.
  SquishIndexEntry& Entry(size_t i) const;
  // Entries from `from` on may now differ from the file: those between it
  // and the old mark are decoded first, as they stop being the image's.
  void ChangeFrom(uint16_t from);

  // The table's memory is not initialised: an entry is an aggregate that
  // comes to life as it is written, and none is read before (entries are
  // decoded, appended or put back first). A table of 5200 entries is so
  // had for the cost of the allocation, at every open.
  struct RawDelete {
    void operator()(SquishIndexEntry* p) const { ::operator delete[](p); }
  };
  std::unique_ptr<SquishIndexEntry[], RawDelete> table_;
  std::unique_ptr<uint8_t[]> image_;  // the file's bytes as last read
  uint16_t capacity_ = 0;
  uint16_t count_ = 0;       // entries loaded or added
  // Entries before changed_from_ are the image's, unchanged; of those the
  // first decoded_ are in the table. From changed_from_ on the table holds
  // every entry. decoded_ may pass changed_from_.
  uint16_t changed_from_ = 0;
  mutable uint16_t decoded_ = 0;
  size_t image_size_ = 0;    // bytes of image_ that the file held
  uint64_t file_size_ = 0;   // the file's length as last read
  Status read_status_ = Status(StatusCode::kNotOpen, io::kNotOpen, "not read");
};

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_INDEX_H_
