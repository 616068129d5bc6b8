// RepairBase with the file layer given, for tests (which set the clock and
// inject failures through the Env), and what both formats' repairs share:
// writing through the repair's change only the bytes that differ.

#ifndef DRAYLINE_MSGBASE_REPAIR_INTERNAL_H_
#define DRAYLINE_MSGBASE_REPAIR_INTERNAL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <span>
#include <vector>
#include <string_view>

#include "drayline/repair.h"
#include "support/change.h"
#include "support/env.h"

namespace drayline {

// RepairBase of drayline/repair.h through env. env must outlive the call.
RepairReport RepairBase(Env* env, std::string_view path, const RepairOptions& options);

// Called by a format's repair once it holds the base's lock and before the
// first byte changes (the backup is made there).
using BeforeRepair = std::function<Status()>;

class RepairWriter;

// How a repair's change keeps its journal: the journal's path beside the
// base, the guard's first bytes that every change writes last (the
// journal's fingerprint), and the caller's options.
struct RepairJournal {
  std::string path;
  size_t fingerprint_size = 0;
  ChangeOptions options;
};

// The frame of both formats' repairs: opens guard_name (the file whose
// byte 0 is the lock) read-write into *guard, takes the lock as a change
// kept in journal, runs before, then body (which reads the base and writes
// through the writer, naming each file it opens), and commits. *changed
// tells whether a byte of the base changed for good. Any failure undoes
// what body wrote and is answered; a process killed half-way leaves the
// journal for the next opener to roll back.
Status RepairUnderLock(Env* env, const std::string& guard_name, const RepairJournal& journal,
                       std::unique_ptr<File>* guard, const BeforeRepair& before,
                       const std::function<Status(RepairWriter&)>& body, bool* changed);

// Opens name read-write for a repair: made empty when missing and create,
// else a missing file leaves *file null.
Status OpenForRepair(Env* env, const std::string& name, bool create,
                     std::unique_ptr<File>* file);

// Reads all of file (named name in failures) into *out; kDamaged when it
// is larger than limit bytes, as no offset of its format could reach.
Status ReadWholeFile(File& file, const std::string& name, uint64_t limit,
                     std::vector<uint8_t>* out);

// Writes a repair through its change, leaving alone what already holds
// the bytes wanted; changed() tells whether anything was written.
class RepairWriter {
 public:
  explicit RepairWriter(Change& change) : change_(change) {}

  // Makes the bytes at offset of file `now`, where the file holds old
  // (which the caller has read; shorter than now only where the file
  // ends). Only the span from the first to the last differing byte is
  // written.
  Status Put(File& file, uint64_t offset, std::span<const uint8_t> now,
             std::span<const uint8_t> old);
  // Cuts file to size, where it holds old (all of it).
  Status Cut(File& file, uint64_t size, std::span<const uint8_t> old);
  // Makes the whole file `now`, where it holds old: Put, then Cut.
  Status Replace(File& file, std::span<const uint8_t> now, std::span<const uint8_t> old);

  bool changed() const { return changed_; }
  // Names a file opened after the change began, for its journal (no-op
  // for a file that is not open).
  void Name(const std::unique_ptr<File>& file, const std::string& name) {
    if (file != nullptr) change_.Name(*file, name);
  }

 private:
  Change& change_;
  bool changed_ = false;
};

}  // namespace drayline

#endif  // DRAYLINE_MSGBASE_REPAIR_INTERNAL_H_
