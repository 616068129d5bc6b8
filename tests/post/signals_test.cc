// The programs' signal handling, a child process per case: an ending
// signal that comes while a change runs waits for it (and for drayline's
// progress line to end), and SIGXFSZ is ignored.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstring>
#include <string>

#include "draybase/signal_hold.h"
#include "post/post_signals.h"

namespace drayline {
namespace {

void Mark(const char* text) {
  if (write(STDOUT_FILENO, text, strlen(text)) < 0) _exit(3);
}

// Runs step(sig) in a child: what it wrote, and the signal that ended it.
std::pair<std::string, int> InChild(void (*step)(int), int sig) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    step(sig);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[64];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return {out, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

TEST(Signals, EndingSignalsWaitForTheChangeAndTheProgressLine) {
  struct Case {
    const char* when;
    void (*step)(int);
    const char* out;  // written before the signal ended the child
  };
  const Case cases[] = {
      {"drayline waiting for the lock", [](int sig) {
         PostSignals s;
         s.LineShown();
         raise(sig);
       }, "FAILED\n"},
      {"drayline storing", [](int sig) {
         PostSignals s;
         s.LineShown();
         s.ChangeBegins();
         raise(sig);
         s.ChangeEnds();
         Mark("stored ");
         s.LineClosing();
         Mark("DONE\n");
         s.LineClosed();
         Mark("not reached");
       }, "stored DONE\n"},
      {"drayline creating the base", [](int sig) {
         PostSignals s;
         s.ChangeBegins();
         raise(sig);
         Mark("created");
         s.ChangeEnds();
         Mark("not reached");
       }, "created"},
      {"draybase changing a base", [](int sig) {
         draybase::SignalHold& hold = draybase::ProcessSignalHold();
         hold.ChangeBegins();
         hold.ChangeBegins();
         raise(sig);
         hold.ChangeEnds();
         Mark("inner ");
         hold.ChangeEnds();
         Mark("not reached");
       }, "inner "},
  };
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    for (const Case& c : cases) {
      EXPECT_EQ(InChild(c.step, sig), std::make_pair(std::string(c.out), sig))
          << strsignal(sig) << " " << c.when;
    }
  }
  auto ignored = [](int sig) {
    draybase::ProcessSignalHold();
    PostSignals s;
    raise(sig);
    Mark("alive");
  };
  EXPECT_EQ(InChild(ignored, SIGXFSZ), std::make_pair(std::string("alive"), 0));
}

}  // namespace
}  // namespace drayline
