// How a base makes its changes: whether each is flushed to the device, and
// who is told when one begins and ends.
//
//   drayline::ChangeOptions options;
//   options.sync = true;           // survive a power loss, not only a crash
//   options.observer = &guard;     // holds off signals while a change runs
//   base->SetChangeOptions(options);
//
// Every change of a base (a store, a deletion, a rewrite, a last-read
// pointer) is recorded in a journal beside the base (BASEPATH.drayjournal)
// before it touches the base; a change cut short is rolled back by the next
// program that opens the base for writing.

#ifndef DRAYLINE_CHANGE_OPTIONS_H_
#define DRAYLINE_CHANGE_OPTIONS_H_

#include <string_view>

namespace drayline {

// Told when a change to a base begins and ends; a program uses it to hold
// off signals.
class ChangeObserver {
 public:
  virtual ~ChangeObserver() = default;
  // The lock is held, before the change's first write (journal included).
  virtual void ChangeBegins() = 0;
  // The change is complete or undone and its journal gone.
  virtual void ChangeEnds() = 0;
  // Another program has held the lock for about a second and the change
  // goes on waiting for it (as long as about 15 s in all); told once per
  // wait, so that a program can say why it seems to hang.
  virtual void LockWaits() {}
};

struct ChangeOptions {
  // Flush the journal (and its directory after it is created or removed)
  // before the first write to the base, and the base before the journal is
  // removed.
  bool sync = false;
  // Benchmarks only: false makes no journal on disk.
  bool journal = true;
  // Not owned; must outlive the base.
  ChangeObserver* observer = nullptr;
};

// True when a change to the base at path (without extension) was cut short
// and its journal still waits for a program that may write to roll it
// back. Readers then see the base as it was before that change.
bool ChangeJournalPending(std::string_view path);

}  // namespace drayline

#endif  // DRAYLINE_CHANGE_OPTIONS_H_
