// ReadWindow: read-ahead over one file for walks that read small records
// one after another (headers of neighbouring messages, neighbouring
// frames), so that such a walk costs one read per window instead of one
// per record.
//
// A read continues a walk when it starts at or after the end of the
// previous read and less than `walk_gap` bytes after it. The walk position
// starts at offset 0 and survives Drop: whether a read continues a walk
// depends only on where the reads before it ended.
//
// Two ways to read, one per kind of record:
//   - Read: records of a size known in advance. Served from the window when
//     it holds all of the record; otherwise a walk's read (no larger than
//     the window) refills the window at its offset, and any other read goes
//     to the file directly and leaves the window as it was.
//   - ReadRecord: records whose first bytes tell their length. Served from
//     the window when it holds the whole record; otherwise the window is
//     refilled at the record's offset, with `capacity` bytes for a walk and
//     `first_read` bytes for any other read, and one more read brings the
//     rest of a record that a full first read did not hold.
//
// The window is a snapshot: callers Drop it whenever the file may have
// changed under them (a walk starts, the lock is taken, they write), and
// read past it (ReadThrough) while they hold the lock. The buffer is
// allocated at the first refill; when it cannot be had, Read goes to the
// file directly and ReadRecord fails. Not thread-safe; holds no file.

#ifndef DRAYLINE_SUPPORT_READ_WINDOW_H_
#define DRAYLINE_SUPPORT_READ_WINDOW_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "support/env.h"

namespace drayline {

class ReadWindow {
 public:
  // Tells a record's whole length from the bytes the window holds at its
  // offset (which may end early, at the end of the file); 0 when they are
  // too few to tell it. Answers above the window's capacity are cut to it.
  // A plain function: it is called for every record of a walk.
  using RecordLength = size_t (*)(std::span<const uint8_t> held);

  // A walk that goes on past a full window doubles the window, up to
  // walk_capacity bytes (when that is larger than capacity): a long walk
  // reads in large blocks, while other reads keep the small buffer.
  // Records stay cut to capacity whatever the window's size.
  ReadWindow(size_t capacity, uint64_t walk_gap, size_t walk_capacity = 0)
      : capacity_(capacity),
        size_(capacity),
        walk_capacity_(std::max(capacity, walk_capacity)),
        walk_gap_(walk_gap) {}

  // Reads up to buf.size() bytes of file at offset; *done receives the
  // bytes read (the end of the file is no error). The walk goes on at
  // offset + buf.size(), whatever the outcome. A refill that fails empties
  // the window and the read goes to the file directly; its I/O result is
  // the answer.
  IoResult Read(File& file, uint64_t offset, std::span<uint8_t> buf,
                size_t* done) {
    // Most reads of a walk are served from the window: inline, they cost
    // a copy and no call.
    if (buf.empty() || !Holds(offset, buf.size())) return ReadUncached(file, offset, buf, done);
    std::memcpy(buf.data(), buffer_.get() + (offset - start_), buf.size());
    *done = buf.size();
    next_ = offset + buf.size();
    return io::kOk;
  }
  // Read from the file itself, never from the window and without changing
  // it (for a caller that holds the lock); the walk goes on after it.
  IoResult ReadThrough(File& file, uint64_t offset, std::span<uint8_t> buf,
                       size_t* done);

  // The record at offset: *record views the bytes of it that the window
  // holds, as many as length_of tells (fewer where the file ends), valid
  // until the next call other than Peek. kReadPastEnd (*record empty) when
  // the bytes held are too few for length_of to tell the length;
  // kNoZeroBlock when the buffer cannot be had; else a failed read's I/O
  // result, and the window is empty. Only a record read without failure
  // moves the walk on, to the end of *record.
  IoResult ReadRecord(File& file, uint64_t offset, size_t first_read,
                      RecordLength length_of,
                      std::span<const uint8_t>* record) {
    // A record the window holds whole is served inline, as Read's are.
    if (length_ > 0 && offset >= start_ && offset - start_ < length_) {
      const size_t skip = static_cast<size_t>(offset - start_);
      const std::span<const uint8_t> held(buffer_.get() + skip,
                                          std::min(capacity_, length_ - skip));
      const size_t length = std::min(length_of(held), capacity_);
      if (length != 0 && held.size() >= length) {
        *record = held.first(length);
        next_ = offset + length;
        return io::kOk;
      }
    }
    return ReadRecordUncached(file, offset, first_read, length_of, record);
  }

  // The size bytes at offset when the window holds them all (valid until
  // the next call other than Peek), the walk going on after them as after
  // a Read; else empty, and nothing changes.
  std::span<const uint8_t> Take(uint64_t offset, size_t size) {
    if (size == 0 || !Holds(offset, size)) return {};
    next_ = offset + size;
    return std::span<const uint8_t>(buffer_.get() + (offset - start_), size);
  }

  // Bytes the window holds at offset (at most want), without reading.
  std::span<const uint8_t> Peek(uint64_t offset, size_t want) const;
  // Forgets what the window holds (the walk position stays).
  void Drop() { length_ = 0; }

 private:
  bool ContinuesWalk(uint64_t offset) const {
    return offset >= next_ && offset - next_ < walk_gap_;
  }
  // True when the window holds all size bytes at offset.
  bool Holds(uint64_t offset, size_t size) const {
    return length_ > 0 && offset >= start_ && offset - start_ < length_ &&
           length_ - (offset - start_) >= size;
  }
  // ReadRecord when the window does not hold the whole record.
  IoResult ReadRecordUncached(File& file, uint64_t offset, size_t first_read,
                              RecordLength length_of, std::span<const uint8_t>* record);
  // Read when the window does not hold all of buf.
  IoResult ReadUncached(File& file, uint64_t offset, std::span<uint8_t> buf, size_t* done);
  // Reads size bytes of file at offset into the window, emptying it
  // first: kNoZeroBlock when the buffer cannot be had, else the read's
  // I/O result (the window stays empty on failure).
  IoResult Refill(File& file, uint64_t offset, size_t size);
  // Reads the rest of a record of `length` bytes that a full refill of
  // `filled` bytes did not hold.
  IoResult FillRest(File& file, size_t filled, size_t length);
  // Before a walk's refill at offset: doubles the window (its buffer then
  // allocated anew) when the walk has moved on through a full one.
  void GrowForWalk(uint64_t offset);

  size_t capacity_;       // the longest record
  size_t size_;           // the window's size, capacity_ up to walk_capacity_
  size_t walk_capacity_;
  uint64_t walk_gap_;
  std::unique_ptr<uint8_t[]> buffer_;  // size_ bytes once allocated
  uint64_t start_ = 0;  // file offset of buffer_[0]
  size_t length_ = 0;   // bytes held; 0: the window holds nothing
  uint64_t next_ = 0;   // end of the last read: a walk goes on there
};

}  // namespace drayline

#endif  // DRAYLINE_SUPPORT_READ_WINDOW_H_
