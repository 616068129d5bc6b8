#include "support/change.h"

#include <algorithm>

#include "support/file_access.h"

namespace drayline {

Status Change::Begin(Env* env, File& guard, std::unique_ptr<Change>* out,
                     bool lock_held) {
  out->reset();
  if (!lock_held) {
    const IoResult code = LockWithRetry(env, guard, 0, 1);
    if (code == io::kLockViolation) return Status::Locked();
    if (code != io::kOk) return Status::FromIo(code, "taking the lock");
  }
  out->reset(new Change(guard, /*took_lock=*/!lock_held));
  return Status::Ok();
}

Change::~Change() {
  if (!finished_) Undo();
  Release();
}

Change::FileState& Change::State(File& file) {
  auto it = std::find_if(files_.begin(), files_.end(),
                         [&](const FileState& f) { return f.file == &file; });
  if (it != files_.end()) return *it;
  files_.push_back(FileState{&file, false, std::nullopt});
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
  journal_.push_back(Entry{&file, 0, {}, known_size});
  state.tracked = true;
  state.size = known_size;
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
  // Old bytes shorter than the write mean the file ends where they end.
  if (old.size() < data.size()) {
    if (Status s = Track(file, offset + old.size()); !s.ok()) return s;
  }
  if (!old.empty()) {
    journal_.push_back(
        Entry{&file, offset, std::vector<uint8_t>(old.begin(), old.end()), {}});
  }
  return WriteJournaled(file, offset, data);
}

Status Change::Write(File& file, uint64_t offset,
                     std::span<const uint8_t> data) {
  if (Status s = Usable(); !s.ok()) return s;
  std::vector<uint8_t> old(data.size());
  size_t done = 0;
  if (Status s = Result(RetryRead(file, offset, old, &done)); !s.ok()) return s;
  old.resize(done);
  return Overwrite(file, offset, data, old);
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
    std::vector<uint8_t> cut(removed.begin(), removed.end());
    if (removed.empty()) {
      cut.resize(static_cast<size_t>(end - size));
      size_t done = 0;
      if (Status s = Result(RetryRead(file, size, cut, &done)); !s.ok()) return s;
      cut.resize(done);
    } else if (removed.size() != end - size) {
      return Fail(Status::InvalidArgument("removed bytes do not reach the end"));
    }
    journal_.push_back(Entry{&file, size, std::move(cut), {}});
  }
  Status s = Result(file.Truncate(size));
  State(file).size = s.ok() ? std::optional<uint64_t>(size) : std::nullopt;
  return s;
}

void Change::UndoEntry(const Entry& entry) {
  // Best effort: what cannot be put back stays as it is, and the next
  // entries are still tried.
  FileState& state = State(*entry.file);
  if (entry.cut_to) {
    entry.file->Truncate(*entry.cut_to);
    state.tracked = false;
  } else {
    RetryWrite(*entry.file, entry.offset, entry.old_bytes);
  }
  state.size.reset();
}

void Change::UndoTo(const Point& mark) {
  while (journal_.size() > mark.entries) {
    UndoEntry(journal_.back());
    journal_.pop_back();
  }
  if (!mark.failed) failure_ = Status::Ok();
}

void Change::Undo() {
  if (finished_) return;
  UndoTo(Point{});
  finished_ = true;
}

Status Change::Commit() {
  if (finished_) return Status::InvalidArgument("the change is finished");
  const Status failure = failure_;
  if (!failure.ok()) Undo();
  finished_ = true;
  const Status released = Release();
  return failure.ok() ? released : failure;
}

Status Change::Release() {
  if (!took_lock_ || released_) return Status::Ok();
  released_ = true;
  return Status::FromIo(UnlockRegion(*guard_, 0, 1), "releasing the lock");
}

}  // namespace drayline
