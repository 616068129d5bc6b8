// Change: one all-or-nothing change to a set of files, made under the lock
// on byte 0 of a guard file (the format's header file).
//
//   std::unique_ptr<Change> change;
//   Status s = Change::Begin(env, *header_file, &change);   // takes the lock
//   if (s.ok()) s = change->Append(*text_file, bytes, &offset);
//   if (s.ok()) s = change->Overwrite(*header_file, 0, fresh, stale);
//   ...
//   s = change->Commit();   // or let the destructor undo
//
// Before each step the change records what undoing it needs, in a journal
// kept in memory: the old bytes of every range it overwrites, and each
// file's size before the change first made it longer or shorter. Every
// such record is complete before the step's first byte changes, which is
// the seam for a journal kept on disk. Undo walks the journal newest first
// (so a range written twice ends with its oldest bytes), putting bytes back
// and cutting each file to its old size, best effort.
//
// A step that fails fails the change: later steps do nothing and answer
// that failure, and Commit undoes. UndoTo undoes back to a Mark and clears
// a failure made after it, so a caller can drop one part (one deletion of
// several) and go on under the same lock.
//
// Commit and the destructor release the lock only when Begin took it: a
// change begun while the caller already held the lock leaves it held. The
// change does not own its files; they must outlive it.

#ifndef DRAYLINE_SUPPORT_CHANGE_H_
#define DRAYLINE_SUPPORT_CHANGE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "drayline/status.h"
#include "support/env.h"

namespace drayline {

class Change {
 public:
  // Takes the lock on byte 0 of guard (waiting as the file layer's
  // retrying lock does) unless lock_held, and begins a change. On failure
  // *out is empty and nothing is locked (kLocked when another program
  // kept the lock).
  static Status Begin(Env* env, File& guard, std::unique_ptr<Change>* out,
                      bool lock_held = false);
  // Undoes unless committed, then releases the lock (when Begin took it).
  ~Change();
  Change(const Change&) = delete;
  Change& operator=(const Change&) = delete;

  // The size of file as this change has left it so far. The first answer
  // for a file is measured (one Size call) and becomes its old size.
  Status Size(File& file, uint64_t* size);

  // Writes data at offset over old: the bytes the file holds there now,
  // which the caller has read. old may be shorter than data only where the
  // file ends (at offset + old.size()); the write then makes it longer.
  Status Overwrite(File& file, uint64_t offset, std::span<const uint8_t> data,
                   std::span<const uint8_t> old);
  // Overwrite, reading first what it overwrites (one read).
  Status Write(File& file, uint64_t offset, std::span<const uint8_t> data);
  // Writes data where nothing needs to come back: at or past the file's
  // old end, or over bytes the format holds unused. Undo only cuts the
  // file to its old size (measured first when not yet known).
  Status WriteFresh(File& file, uint64_t offset, std::span<const uint8_t> data);
  // Writes data at the file's end (as this change has left it); *offset
  // receives where it went.
  Status Append(File& file, std::span<const uint8_t> data,
                uint64_t* offset = nullptr);
  // Cuts file to size. removed holds the bytes from size to the file's end
  // when the caller has them; when empty, they are read first.
  Status Truncate(File& file, uint64_t size,
                  std::span<const uint8_t> removed = {});

  // A point to undo back to. UndoTo undoes every step after it; when the
  // change had not failed at the mark, it has not failed after UndoTo.
  struct Point {
    size_t entries = 0;
    bool failed = false;
  };
  Point Mark() const { return Point{journal_.size(), !failure_.ok()}; }
  void UndoTo(const Point& mark);

  // The first failure of a step (success while none failed).
  const Status& status() const { return failure_; }
  // Makes the change final and releases the lock (when Begin took it);
  // after a failed step it undoes instead and answers that failure. Either
  // way the change is finished: the destructor does nothing more.
  Status Commit();
  // Undoes every step now and finishes the change, keeping the lock
  // (when Begin took it, the destructor releases it).
  void Undo();

 private:
  // One journal record: old bytes to write back at offset, or (with
  // cut_to set) the size to cut the file back to.
  struct Entry {
    File* file;
    uint64_t offset = 0;
    std::vector<uint8_t> old_bytes;
    std::optional<uint64_t> cut_to;
  };
  // What the change knows of one file.
  struct FileState {
    File* file;
    bool tracked = false;          // its old size is in the journal
    std::optional<uint64_t> size;  // its size as the change has left it
  };

  Change(File& guard, bool took_lock) : guard_(&guard), took_lock_(took_lock) {}
  FileState& State(File& file);
  // Fails with the change's failure, or when it is finished.
  Status Usable() const;
  // Records the file's old size (and the cut back to it) unless it is
  // recorded already; the size is measured when not given.
  Status Track(File& file, std::optional<uint64_t> known_size);
  // The answer of a file step: a failure fails the change.
  Status Result(IoResult code);
  Status Fail(Status status);
  // Writes data at offset, the journal entry for it made; the file's size
  // as left grows to cover it.
  Status WriteJournaled(File& file, uint64_t offset,
                        std::span<const uint8_t> data);
  void UndoEntry(const Entry& entry);
  Status Release();

  File* guard_;
  bool took_lock_;
  bool finished_ = false;
  bool released_ = false;
  Status failure_;
  std::vector<FileState> files_;
  std::vector<Entry> journal_;
};

}  // namespace drayline

#endif  // DRAYLINE_SUPPORT_CHANGE_H_
