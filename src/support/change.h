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
// such record is complete before the step's first byte changes. Undo walks
// the journal newest first (so a range written twice ends with its oldest
// bytes), putting bytes back and cutting each file to its old size, best
// effort.
//
// Given a ChangeSetup with a journal path, the same records also go to a
// journal on disk (journal.h), each one written there before the first
// base byte it protects changes; the journal is created at the change's
// first write and removed when the change commits or its undo completes.
// A change cut short leaves it behind, and the next change (Begin, under
// the lock) or the next open for writing rolls the base back with it.
// A journal that cannot be written fails the change ("cannot write the
// journal: ...").
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

#include "drayline/change_options.h"
#include "drayline/status.h"
#include "support/env.h"
#include "support/journal.h"

namespace drayline {

// A file a change may write, under the name it was opened by (it must sit
// in the journal's directory).
struct ChangeFile {
  File* file;
  std::string name;
};

// How a change records itself on disk; owned by the caller, it must
// outlive the change.
struct ChangeSetup {
  std::string journal;            // BASEPATH + ".drayjournal"; "" for none
  std::vector<ChangeFile> files;  // the guard first
  // The guard's first bytes, which every change that moves the format's
  // counters writes last: the journal's fingerprint.
  size_t fingerprint_size = 0;
  ChangeOptions options;
};

class Change {
 public:
  // Takes the lock on byte 0 of guard (waiting as the file layer's
  // retrying lock does) unless lock_held, and begins a change. On failure
  // *out is empty and nothing is locked (kLocked when another program
  // kept the lock).
  static Status Begin(Env* env, File& guard, std::unique_ptr<Change>* out,
                      bool lock_held = false) {
    return Begin(env, guard, nullptr, out, lock_held);
  }
  // The same with setup (not null: a journal on disk when setup->journal is
  // set and setup->options.journal): a journal left by a change cut short is
  // rolled back (or dropped when stale) first, under the lock; failing
  // that, Begin fails. The observer hears ChangeBegins once the lock is
  // held and ChangeEnds when the change is finished and its journal gone.
  static Status Begin(Env* env, File& guard, const ChangeSetup* setup,
                      std::unique_ptr<Change>* out, bool lock_held = false);
  // Undoes unless committed, then releases the lock (when Begin took it).
  ~Change();
  Change(const Change&) = delete;
  Change& operator=(const Change&) = delete;

  // Names a file the setup did not list (opened after Begin). With a
  // journal on disk every file written must be named.
  void Name(File& file, std::string_view name);

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
    std::unique_ptr<uint8_t[]> old_bytes;  // old_size bytes
    size_t old_size = 0;
    std::optional<uint64_t> cut_to;
  };
  // What the change knows of one file.
  struct FileState {
    File* file;
    bool tracked = false;          // its old size is in the journal
    std::optional<uint64_t> size;  // its size as the change has left it
    std::string name;              // "" when never named
    int id = -1;                   // its id in the journal on disk
  };

  Change(Env* env, File& guard, const ChangeSetup* setup, bool took_lock)
      : env_(env), guard_(&guard), setup_(setup), took_lock_(took_lock) {}
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
  // Keeps entry, and encodes it for the journal on disk; `from`, when
  // given, holds the old bytes to copy into entry.old_bytes first.
  Status Record(Entry entry, const uint8_t* from = nullptr);
  // Overwrite with the old bytes held by old (copied there from `from`
  // first when given), size of them.
  Status OverwriteKept(File& file, uint64_t offset, std::span<const uint8_t> data,
                       std::unique_ptr<uint8_t[]> old, size_t size, const uint8_t* from);
  // Records the size bytes at offset of file held by old (copied from
  // `from` first when given).
  Status RecordBytes(File& file, uint64_t offset, std::unique_ptr<uint8_t[]> old, size_t size,
                     const uint8_t* from);
  // Writes the records not yet on disk: before any base byte changes.
  Status FlushJournal();
  // The journal on disk, made at the first record (with its fingerprint).
  Status OpenJournal();
  // Removes the journal once the base needs nothing of it (after flushing
  // the base files when asked to).
  Status DropJournal();
  bool UndoEntry(const Entry& entry);
  // Undoes back to mark; false when a step could not be put back.
  bool UndoSteps(size_t mark);
  void End();
  Status Release();
  bool journaled() const {
    return setup_ != nullptr && !setup_->journal.empty() && setup_->options.journal;
  }

  Env* env_;
  File* guard_;
  const ChangeSetup* setup_;
  std::unique_ptr<JournalWriter> disk_;
  Status journal_failure_;
  bool began_ = false;
  bool took_lock_;
  bool finished_ = false;
  bool released_ = false;
  Status failure_;
  std::vector<FileState> files_;
  std::vector<Entry> journal_;
};

}  // namespace drayline

#endif  // DRAYLINE_SUPPORT_CHANGE_H_
