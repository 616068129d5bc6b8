// An Env that forwards to another (the real file system unless given) and
// fails chosen calls, so tests can see how the code above the file layer
// handles a write that fails, a disk that fills, an open that is denied or
// a lock held elsewhere. Wrap a ClockEnv (test_util.h) to set the time too.

#ifndef DRAYLINE_TESTS_FAULT_ENV_H_
#define DRAYLINE_TESTS_FAULT_ENV_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/env.h"

namespace drayline {

class FaultEnv final : public EnvWrapper {
 public:
  explicit FaultEnv(Env* target = Env::Default()) : EnvWrapper(target) {}

  // The nth write (1-based, counted from this call) to a file whose name
  // contains name_part fails with code; with sticky, every later one too.
  void FailWrite(const std::string& name_part, int nth, IoResult code,
                 bool sticky = false);
  // Writes to matching files fail once the file would grow beyond limit
  // bytes (a full disk): the bytes that fit are written, then code.
  void LimitSize(const std::string& name_part, uint64_t limit,
                 IoResult code = io::kDiskWriteError);
  // The next `times` opens of matching names fail with code (-1: all).
  void FailOpen(const std::string& name_part, IoResult code, int times = -1);
  // The next `times` reads of matching files fail with code (-1: all).
  void FailRead(const std::string& name_part, IoResult code, int times = -1);
  // The next `times` lock attempts on matching files answer code (-1: all).
  void FailLock(const std::string& name_part, IoResult code, int times = -1);
  // FreeSpace answers at most bytes (a disk nearly full), until Clear.
  void LimitFreeSpace(uint64_t bytes) { free_space_ = bytes; }
  void Clear();

  // Writes seen so far on matching files.
  int WritesTo(const std::string& name_part) const;
  int locks_attempted() const { return locks_attempted_; }
  unsigned slept_ms() const { return slept_ms_; }

  IoResult Open(const std::string& name, OpenMode mode,
                std::unique_ptr<File>* file, bool* exists_out) override;
  IoResult OpenTemporary(const std::string& dir,
                         std::unique_ptr<File>* file) override;
  void SleepMs(unsigned ms) override { slept_ms_ += ms; }
  IoResult FreeSpace(const std::string& dir, uint64_t* bytes) override;

  struct Rule {
    enum Kind { kWrite, kSize, kOpen, kRead, kLock } kind;
    std::string name_part;
    IoResult code;
    int countdown;   // kWrite: the nth write; others: remaining uses (-1 all)
    bool sticky;
    uint64_t limit;
  };
  // Used by the wrapped files.
  IoResult OnWrite(const std::string& name, uint64_t end_offset,
                   uint64_t* allowed_end);
  IoResult OnRead(const std::string& name);
  IoResult OnLock(const std::string& name);

 private:
  std::vector<Rule> rules_;
  std::vector<std::string> write_log_;
  int locks_attempted_ = 0;
  unsigned slept_ms_ = 0;
  uint64_t free_space_ = UINT64_MAX;
};

}  // namespace drayline

#endif  // DRAYLINE_TESTS_FAULT_ENV_H_
