// How draybase ends on a signal: never between a change's first write and
// its end.
//
// SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE keep their default action
// (they end the process), but are blocked from the moment a change to a
// base begins until it is complete or undone; one that came meanwhile is
// delivered then, and the process ends as it asks. While a command waits
// for a base's lock no change has begun, and they end it at once. SIGXFSZ
// is ignored: a file-size limit makes a write fail and the change undo
// itself.
//
// Every base a command changes is given the process's SignalHold as the
// observer of its changes (base_access.cc). Header-only, for the tests.

#ifndef DRAYBASE_SIGNAL_HOLD_H_
#define DRAYBASE_SIGNAL_HOLD_H_

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "drayline/change_options.h"

namespace draybase {

class SignalHold final : public drayline::ChangeObserver {
 public:
  // Ignores SIGXFSZ for the process.
  SignalHold() {
    signal(SIGXFSZ, SIG_IGN);
    sigemptyset(&ending_);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&ending_, sig);
  }
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;

  void ChangeBegins() override {
    if (depth_++ == 0) sigprocmask(SIG_BLOCK, &ending_, &saved_mask_);
  }
  void ChangeEnds() override {
    if (depth_ > 0 && --depth_ == 0) sigprocmask(SIG_SETMASK, &saved_mask_, nullptr);
  }
  // Says once on a terminal why the command seems to hang; a script
  // reading standard error gets only the failure, if the wait fails.
  void LockWaits() override {
    if (told_of_wait_ || isatty(STDERR_FILENO) == 0) return;
    told_of_wait_ = true;
    static constexpr char kNotice[] =
        "draybase: waiting for the lock held by another program\n";
    std::fwrite(kNotice, 1, sizeof kNotice - 1, stderr);
  }

 private:
  sigset_t ending_;
  sigset_t saved_mask_;
  int depth_ = 0;  // changes begun and not yet ended
  bool told_of_wait_ = false;
};

// The process's hold, made at the first call (which ignores SIGXFSZ).
inline SignalHold& ProcessSignalHold() {
  static SignalHold hold;
  return hold;
}

// How every base this process opens makes its changes: under the
// process's signal hold, flushed to the disk when --sync was given.
inline drayline::ChangeOptions& ProcessChangeOptions() {
  static drayline::ChangeOptions options = [] {
    drayline::ChangeOptions o;
    o.observer = &ProcessSignalHold();
    return o;
  }();
  return options;
}

}  // namespace draybase

#endif  // DRAYBASE_SIGNAL_HOLD_H_
