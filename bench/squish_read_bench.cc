// Reading a Squish base: a full list (every header through the getters) and
// a mail search, over a base of 5,000 messages with texts of about 1 KiB.
//
// Both run in-process with a warm cache; each figure is the median of
// several runs. Reported per workload: file-layer calls and bytes read per
// message, and the time against one sequential read of the whole ".sqd" file
// (the goal is within 2 times).

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "drayline/message_base.h"
#include "support/env.h"

namespace drayline {
namespace {

constexpr int kMessages = 5000;
constexpr int kRuns = 9;
// One message in a hundred is for the user the mail search looks for.
constexpr int kMailEvery = 100;
const char* const kMailUser = "Bench Reader";

using Clock = std::chrono::steady_clock;

template <typename Fn>
double TimeMs(Fn&& fn) {
  std::vector<double> times;
  fn();  // warms the cache
  for (int i = 0; i < kRuns; ++i) {
    auto start = Clock::now();
    fn();
    times.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return bench::Median(times);
}

bool BuildBase(const std::string& path) {
  auto base = NewSquishMessageBase();
  if (base == nullptr) return false;
  base->SetPath(path);
  if (!base->CreateBase(0, 0) || !base->OpenBase() || !base->LockBase()) {
    return false;
  }
  const std::string line(70, 'x');
  for (int i = 0; i < kMessages; ++i) {
    base->StartNewMessage();
    base->SetLocal(true);
    base->SetDate("03/14/24");
    base->SetTime("12:34");
    base->SetFrom("Sender " + std::to_string(i % 37));
    base->SetTo(i % kMailEvery == 7 ? kMailUser
                                    : "Reader " + std::to_string(i % 97));
    base->SetSubject("Subject of message " + std::to_string(i));
    for (int l = 0; l < 14; ++l) base->AddTextLine(line);  // ~1 KiB
    if (base->WriteMessage() != 0) return false;
  }
  return base->UnlockBase();
}

struct Figures {
  double ms = 0;
  uint64_t calls = 0;
  uint64_t bytes = 0;
  int messages = 0;
};

// Runs body kRuns times after a warm-up; the counters are those of one run.
template <typename Body>
Figures Measure(Body&& body) {
  Env* env = Env::Default();
  Figures f;
  f.ms = TimeMs([&] { f.messages = body(); });
  env->ResetCounters();
  body();
  f.calls = env->Counters().calls();
  f.bytes = env->Counters().bytes_read;
  return f;
}

int ListAll(MessageBase& base) {
  int n = 0;
  size_t sink = 0;
  base.SeekFirst(1);
  while (base.SeekFound()) {
    base.ReadHeader();
    sink += base.GetFrom().size() + base.GetTo().size() +
            base.GetSubject().size() + base.GetDate().size() +
            base.GetTime().size();
    sink += base.IsLocal() + base.IsPrivate() + base.IsReceived();
    sink += static_cast<size_t>(base.GetTextLength() + base.GetMsgNum());
    ++n;
    base.SeekNext();
  }
  if (sink == 0) abort();
  return n;
}

int SearchMail(MessageBase& base) {
  int found = 0;
  base.SeekFirstForUser(kMailUser, "");
  while (base.ForUserFound()) {
    ++found;
    base.SeekNextForUser();
  }
  return found;
}

double SequentialReadMs(const std::string& name, uint64_t* size) {
  bench::WholeFileRead whole;
  if (!whole.Open(name)) abort();
  *size = whole.size();
  return TimeMs([&] {
    if (!whole.Read()) abort();
  });
}

void Report(const char* workload, const Figures& f, double baseline_ms) {
  printf("squish %-5s %d messages: %.2f calls/msg, %.0f bytes read/msg, "
         "%.2f ms, %.2fx one sequential read of .sqd (goal <= 2x)\n",
         workload, kMessages, double(f.calls) / kMessages,
         double(f.bytes) / kMessages, f.ms, f.ms / baseline_ms);
}

int Run() {
  std::string dir = std::filesystem::temp_directory_path() /
                    ("squish-read-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/bench";
  int status = 1;
  if (!BuildBase(path)) {
    fprintf(stderr, "squish_read_bench: could not build the base\n");
  } else {
    auto base = NewSquishMessageBase();
    base->SetPath(path);
    if (base->OpenBase()) {
      uint64_t size = 0;
      double baseline = SequentialReadMs(path + ".sqd", &size);
      Figures list = Measure([&] { return ListAll(*base); });
      Figures mail = Measure([&] { return SearchMail(*base); });
      if (list.messages == kMessages && mail.messages == kMessages / kMailEvery) {
        Report("list", list, baseline);
        Report("mail", mail, baseline);
        printf("squish read baseline: one read of %llu bytes, %.2f ms\n",
               static_cast<unsigned long long>(size), baseline);
        status = 0;
      } else {
        fprintf(stderr, "squish_read_bench: listed %d, found %d\n",
                list.messages, mail.messages);
      }
      base->CloseBase();
    }
  }
  std::filesystem::remove_all(dir);
  return status;
}

}  // namespace
}  // namespace drayline

int main() { return drayline::Run(); }
