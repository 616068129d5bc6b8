#include "support/change.h"

#include <algorithm>

#include "support/file_access.h"
#include "support/journal.h"

namespace drayline {

Status Change::Begin(Env* env, File& guard, const ChangeSetup* setup,
                     std::unique_ptr<Change>* out, bool lock_held) {
  out->reset();
  ChangeObserver* observer = setup != nullptr ? setup->options.observer : nullptr;
  if (!lock_held) {
    const auto waiting = [observer] {
      if (observer != nullptr) observer->LockWaits();
    };
    const IoResult code = LockWithRetry(env, guard, 0, 1, waiting);
    if (code == io::kLockViolation) return Status::Locked();
    if (code != io::kOk) return Status::FromIo(code, "taking the lock");
  }
  std::unique_ptr<Change> change(new Change(env, guard, setup, /*took_lock=*/!lock_held));
  if (observer != nullptr) {
    observer->ChangeBegins();
    change->began_ = true;
  }
  if (setup == nullptr) {
    *out = std::move(change);
    return Status::Ok();
  }
  for (const ChangeFile& named : setup->files) {
    if (named.file != nullptr) change->Name(*named.file, named.name);
  }
  // A change cut short is taken back before this one reads anything: one
  // existence test per change.
  if (!setup->journal.empty() && env->Exists(setup->journal)) {
    Status s = RecoverJournal(env, setup->journal, guard, setup->options.sync);
    if (!s.ok()) return s;  // the destructor ends the change and unlocks
  }
  *out = std::move(change);
  return Status::Ok();
}

Change::~Change() {
  if (!finished_) Undo();
  End();
  Release();
}

void Change::Name(File& file, std::string_view name) {
  State(file).name = std::string(name);
}

Change::FileState& Change::State(File& file) {
  auto it = std::find_if(files_.begin(), files_.end(),
                         [&](const FileState& f) { return f.file == &file; });
  if (it != files_.end()) return *it;
  files_.push_back(FileState{&file, false, std::nullopt, {}, -1});
  return files_.back();
}

Status Change::Usable() const {
  if (finished_) return Status::InvalidArgument("the change is finished");
  return failure_;
}

Status Change::Fail(Status status) {
  if (failure_.ok()) failure_ = status;
  return status;
}

Status Change::Result(IoResult code) {
  return code == io::kOk ? Status::Ok() : Fail(Status::FromIo(code));
}

Status Change::Track(File& file, std::optional<uint64_t> known_size) {
  FileState& state = State(file);
  if (state.tracked) return Status::Ok();
  if (!known_size) {
    uint64_t size = 0;
    if (Status s = Result(file.Size(&size)); !s.ok()) return s;
    known_size = size;
  }
  if (Status s = Record(Entry{&file, 0, nullptr, 0, known_size}); !s.ok()) return s;
  FileState& recorded = State(file);
  recorded.tracked = true;
  recorded.size = known_size;
  return Status::Ok();
}

Status Change::Size(File& file, uint64_t* size) {
  if (Status s = Usable(); !s.ok()) return s;
  FileState& state = State(file);
  if (!state.size) {
    // Measured afresh after a partial undo; the old size stays recorded.
    uint64_t measured = 0;
    if (Status s = Result(file.Size(&measured)); !s.ok()) return s;
    if (Status s = Track(file, measured); !s.ok()) return s;
    State(file).size = measured;
  }
  *size = *State(file).size;
  return Status::Ok();
}

Status Change::WriteJournaled(File& file, uint64_t offset,
                              std::span<const uint8_t> data) {
  if (Status s = FlushJournal(); !s.ok()) return s;
  Status s = Result(RetryWrite(file, offset, data));
  // Even a failed write may have written part: the size becomes unknown.
  FileState& state = State(file);
  if (!s.ok()) {
    state.size.reset();
  } else if (state.size) {
    state.size = std::max<uint64_t>(*state.size, offset + data.size());
  }
  return s;
}

Status Change::Overwrite(File& file, uint64_t offset,
                         std::span<const uint8_t> data,
                         std::span<const uint8_t> old) {
  if (Status s = Usable(); !s.ok()) return s;
  if (old.size() > data.size()) {
    return Fail(Status::InvalidArgument("more old bytes than new ones"));
  }
  // The copy kept for the undo is made as the journal encodes the bytes.
  return OverwriteKept(file, offset, data, std::unique_ptr<uint8_t[]>(new uint8_t[old.size()]),
                       old.size(), old.data());
}

Status Change::OverwriteKept(File& file, uint64_t offset, std::span<const uint8_t> data,
                             std::unique_ptr<uint8_t[]> old, size_t size, const uint8_t* from) {
  // Old bytes shorter than the write mean the file ends where they end.
  if (size < data.size()) {
    if (Status s = Track(file, offset + size); !s.ok()) return s;
  }
  if (size > 0) {
    Status s = RecordBytes(file, offset, std::move(old), size, from);
    if (!s.ok()) return s;
  }
  return WriteJournaled(file, offset, data);
}

Status Change::Write(File& file, uint64_t offset,
                     std::span<const uint8_t> data) {
  if (Status s = Usable(); !s.ok()) return s;
  // Read straight into the memory the undo keeps.
  std::unique_ptr<uint8_t[]> old(new uint8_t[data.size()]);
  size_t done = 0;
  Status s = Result(RetryRead(file, offset, std::span(old.get(), data.size()), &done));
  if (!s.ok()) return s;
  return OverwriteKept(file, offset, data, std::move(old), done, nullptr);
}

Status Change::WriteFresh(File& file, uint64_t offset,
                          std::span<const uint8_t> data) {
  if (Status s = Usable(); !s.ok()) return s;
  if (Status s = Track(file, std::nullopt); !s.ok()) return s;
  return WriteJournaled(file, offset, data);
}

Status Change::Append(File& file, std::span<const uint8_t> data,
                      uint64_t* offset) {
  uint64_t end = 0;
  if (Status s = Size(file, &end); !s.ok()) return s;
  if (offset != nullptr) *offset = end;
  return WriteJournaled(file, end, data);
}

Status Change::Truncate(File& file, uint64_t size,
                        std::span<const uint8_t> removed) {
  if (Status s = Usable(); !s.ok()) return s;
  FileState& state = State(file);
  // Bytes the caller hands over tell where the file ends, sparing a Size.
  if (!state.size && !removed.empty()) {
    if (Status s = Track(file, size + removed.size()); !s.ok()) return s;
    State(file).size = size + removed.size();
  }
  uint64_t end = 0;
  if (Status s = Size(file, &end); !s.ok()) return s;
  if (end > size) {
    if (!removed.empty() && removed.size() != end - size) {
      return Fail(Status::InvalidArgument("removed bytes do not reach the end"));
    }
    const size_t want = static_cast<size_t>(end - size);
    std::unique_ptr<uint8_t[]> cut(new uint8_t[want]);
    size_t done = removed.size();
    if (removed.empty()) {
      Status s = Result(RetryRead(file, size, std::span(cut.get(), want), &done));
      if (!s.ok()) return s;
    }
    Status s = RecordBytes(file, size, std::move(cut), done,
                           removed.empty() ? nullptr : removed.data());
    if (!s.ok()) return s;
  }
  if (Status s = FlushJournal(); !s.ok()) return s;
  Status s = Result(file.Truncate(size));
  State(file).size = s.ok() ? std::optional<uint64_t>(size) : std::nullopt;
  return s;
}

bool Change::UndoEntry(const Entry& entry) {
  // Best effort: what cannot be put back stays as it is, and the next
  // entries are still tried.
  FileState& state = State(*entry.file);
  IoResult code;
  if (entry.cut_to) {
    code = entry.file->Truncate(*entry.cut_to);
    state.tracked = false;
  } else {
    code = RetryWrite(*entry.file, entry.offset,
                      std::span<const uint8_t>(entry.old_bytes.get(), entry.old_size));
  }
  state.size.reset();
  return code == io::kOk;
}

bool Change::UndoSteps(size_t mark) {
  bool whole = true;
  while (journal_.size() > mark) {
    whole = UndoEntry(journal_.back()) && whole;
    journal_.pop_back();
  }
  return whole;
}

void Change::UndoTo(const Point& mark) {
  // The journal on disk keeps the records undone here: rolled back again
  // after a crash, they put back the bytes the files hold now.
  UndoSteps(mark.entries);
  if (!mark.failed) failure_ = Status::Ok();
}

void Change::Undo() {
  if (finished_) return;
  // A journal is dropped only when every step came back; otherwise the
  // next program to open the base rolls it back from the disk.
  if (UndoSteps(0)) DropJournal();
  finished_ = true;
}

Status Change::Commit() {
  if (finished_) return Status::InvalidArgument("the change is finished");
  Status failure = failure_;
  if (failure.ok()) {
    failure = DropJournal();
    // A journal that stays would take the change back later: undone now.
    if (!failure.ok()) UndoSteps(0);
  } else {
    Undo();
  }
  finished_ = true;
  End();
  const Status released = Release();
  return failure.ok() ? released : failure;
}

// ---- The journal on disk ----

Status Change::OpenJournal() {
  std::vector<uint8_t> fingerprint(setup_->fingerprint_size);
  size_t done = 0;
  const IoResult code = RetryRead(*guard_, 0, fingerprint, &done);
  if (code != io::kOk) return Status::FromIo(code, "reading the fingerprint");
  fingerprint.resize(done);
  disk_ = std::make_unique<JournalWriter>(env_, setup_->journal, setup_->options.sync);
  disk_->pending().Head(fingerprint);
  // The guard is always id 0.
  FileState& guard = State(*guard_);
  guard.id = 0;
  disk_->pending().Name(0, NameOf(guard.name));
  return Status::Ok();
}

Status Change::RecordBytes(File& file, uint64_t offset, std::unique_ptr<uint8_t[]> old,
                           size_t size, const uint8_t* from) {
  return Record(Entry{&file, offset, std::move(old), size, std::nullopt}, from);
}

Status Change::Record(Entry entry, const uint8_t* from) {
  if (journaled()) {
    if (disk_ == nullptr) {
      if (Status s = OpenJournal(); !s.ok()) return Fail(s);
    }
    FileState& state = State(*entry.file);
    if (state.name.empty()) {
      return Fail(Status::InvalidArgument("a file of the change has no name"));
    }
    if (state.id < 0) {
      int next = 0;
      for (const FileState& f : files_) next = std::max(next, f.id + 1);
      state.id = next;
      disk_->pending().Name(static_cast<uint16_t>(next), NameOf(state.name));
    }
    const auto id = static_cast<uint16_t>(state.id);
    if (entry.cut_to) {
      disk_->pending().Size(id, *entry.cut_to);
    } else {
      // The copy for the undo is made in the pass that encodes the record.
      const std::span<const uint8_t> old(from != nullptr ? from : entry.old_bytes.get(),
                                         entry.old_size);
      disk_->pending().Bytes(id, entry.offset, old, from != nullptr ? entry.old_bytes.get()
                                                                     : nullptr);
    }
  } else if (from != nullptr) {
    std::copy(from, from + entry.old_size, entry.old_bytes.get());
  }
  journal_.push_back(std::move(entry));
  return Status::Ok();
}

Status Change::FlushJournal() {
  if (disk_ == nullptr) return Status::Ok();
  Status s = disk_->Flush();
  return s.ok() ? s : Fail(s);
}

Status Change::DropJournal() {
  if (disk_ == nullptr || !disk_->created()) {
    disk_.reset();
    return Status::Ok();
  }
  if (setup_->options.sync) {
    for (const FileState& f : files_) {
      if (f.id < 0) continue;
      if (IoResult code = env_->Sync(*f.file); code != io::kOk) {
        return Status::FromIo(code, "flushing " + f.name);
      }
    }
  }
  Status s = disk_->Remove();
  if (s.ok()) disk_.reset();
  return s;
}

void Change::End() {
  if (!began_) return;
  began_ = false;
  setup_->options.observer->ChangeEnds();
}

Status Change::Release() {
  if (!took_lock_ || released_) return Status::Ok();
  released_ = true;
  return Status::FromIo(UnlockRegion(*guard_, 0, 1), "releasing the lock");
}

}  // namespace drayline
