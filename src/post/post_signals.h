// How drayline ends on a signal: never between a change's first write and
// its end, and never leaving the progress line without its ending.
//
// SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE end the process as they
// always have (their default action), except:
//   - while "Posting message ... " is shown and no change has begun (the
//     wait for the base's lock, say), "FAILED" ends the line first:
//     nothing was stored;
//   - from the moment a change to the base begins, they are held: blocked
//     while it runs, so that no write of it is cut off, then kept until the
//     run has printed "DONE" or "FAILED" as the store went; the process
//     then ends as the signal asks. A change made before the line is shown
//     (creating the base) holds them only while it runs.
// SIGXFSZ is ignored: a file-size limit makes a write fail, and the change
// undoes itself instead of the process dying half-way.
//
// The state the handler reads is the process's (a program's, never the
// library's): one PostSignals per process, made by main before the run.
// Header-only, so that main and its tests share it without the library
// holding it.

#ifndef DRAYLINE_POST_POST_SIGNALS_H_
#define DRAYLINE_POST_POST_SIGNALS_H_

#include <signal.h>
#include <unistd.h>

#include "posting_command.h"  // beside this header: main has no src/ path

namespace drayline {

namespace post_signals {

inline constexpr int kEnding[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

enum Phase : int {
  kQuiet,     // no progress line open: a signal ends the process at once
  kLineOpen,  // "FAILED" ends the line, then the process
  kHolding,   // a change runs or the line's ending is being printed
};

inline volatile sig_atomic_t phase = kQuiet;
inline volatile sig_atomic_t held = 0;  // the first signal held, 0 for none

// Ends the process as sig asks. Async-signal-safe.
inline void EndFor(int sig) {
  signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  raise(sig);  // pending while blocked (in the handler), delivered below
  sigprocmask(SIG_UNBLOCK, &one, nullptr);
}

inline void OnSignal(int sig) {
  if (phase == kHolding) {
    if (held == 0) held = sig;
    return;
  }
  if (phase == kLineOpen) {
    static const char kFailed[] = "FAILED\n";
    if (write(STDOUT_FILENO, kFailed, sizeof kFailed - 1) < 0) {
      // Nothing more can be said; the process ends all the same.
    }
  }
  EndFor(sig);
}

}  // namespace post_signals

class PostSignals final : public PostingProgress {
 public:
  PostSignals() {
    signal(SIGXFSZ, SIG_IGN);
    sigemptyset(&ending_);
    struct sigaction action {};
    action.sa_handler = post_signals::OnSignal;
    action.sa_flags = SA_RESTART;  // a held signal must not fail a read
    sigemptyset(&action.sa_mask);
    for (int sig : post_signals::kEnding) sigaddset(&action.sa_mask, sig);
    for (int sig : post_signals::kEnding) {
      sigaddset(&ending_, sig);
      sigaction(sig, &action, nullptr);
    }
  }
  PostSignals(const PostSignals&) = delete;
  PostSignals& operator=(const PostSignals&) = delete;

  void LineShown() override { post_signals::phase = post_signals::kLineOpen; }
  void ChangeBegins() override {
    if (depth_++ > 0) return;
    outer_ = post_signals::phase;
    post_signals::phase = post_signals::kHolding;
    sigprocmask(SIG_BLOCK, &ending_, &saved_mask_);
  }
  void ChangeEnds() override {
    if (depth_ == 0 || --depth_ > 0) return;
    // A signal that came meanwhile reaches the handler now and is held.
    sigprocmask(SIG_SETMASK, &saved_mask_, nullptr);
    // With the line open its ending tells how the store went; before it,
    // nothing waits for the signal.
    if (outer_ == post_signals::kQuiet) {
      post_signals::phase = post_signals::kQuiet;
      if (post_signals::held != 0) post_signals::EndFor(post_signals::held);
    }
  }
  void LineClosing() override { post_signals::phase = post_signals::kHolding; }
  void LineClosed() override {
    post_signals::phase = post_signals::kQuiet;
    if (post_signals::held != 0) post_signals::EndFor(post_signals::held);
  }

 private:
  sigset_t ending_;
  sigset_t saved_mask_;
  int depth_ = 0;
  int outer_ = post_signals::kQuiet;  // the phase before the change began
};

}  // namespace drayline

#endif  // DRAYLINE_POST_POST_SIGNALS_H_
