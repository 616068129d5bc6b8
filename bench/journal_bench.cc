// Benchmark of the change journal: what a post costs with the journal on
// disk against the same post without it (ChangeOptions::journal = false),
// for each format, and what sync = true adds.
//
//   journal_bench BUILD_DIR
//
// Workloads, one line each per format:
//   - wall time of a post into an open base, with and without the journal,
//     in interleaved rounds (each round posts once into each of two bases
//     of the same size, in alternating order); the ratio is the median of
//     the ratios within a round;
//   - the instructions of the post itself, counted by valgrind's callgrind
//     with collection on only inside PostOnce (the bench runs itself under
//     it: journal_bench --posts FORMAT JOURNAL); skipped when valgrind is
//     not installed;
//   - the wall time of a post with sync = true.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "drayline/change_options.h"
#include "msgbase/factory.h"

namespace drayline {
namespace {

using bench::Fixed;
using bench::Median;

constexpr int kRounds = 301;
constexpr int kCountedPosts = 20;

std::unique_ptr<MessageBase> OpenBase(BaseFormat format, const std::string& path,
                                      const ChangeOptions& options) {
  std::unique_ptr<MessageBase> base = NewMessageBase(format);
  base->SetPath(path);
  base->SetChangeOptions(options);
  if (!base->OpenBase() && (!base->CreateBase(0, 0) || !base->OpenBase())) return nullptr;
  return base;
}

// One post of a few lines; kept out of line so that callgrind can count it
// alone.
__attribute__((noinline)) bool PostOnce(MessageBase& base) {
  base.StartNewMessage();
  base.SetFrom("Sysop");
  base.SetTo("All");
  base.SetSubject("Bench post");
  base.AddText("A benchmark post.\rIt has a few lines of text,\r\rlike most posts.\r");
  return base.WriteMessage() == 0;
}

double TimedPost(MessageBase& base, bool* ok) {
  const auto start = std::chrono::steady_clock::now();
  *ok = PostOnce(base) && *ok;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

std::string FormatName(BaseFormat format) {
  return format == BaseFormat::kJam ? "jam" : "squish";
}

// The child run under callgrind: kCountedPosts posts after a first one.
int CountedPosts(const std::string& format_name, bool journal) {
  const BaseFormat format = format_name == "jam" ? BaseFormat::kJam : BaseFormat::kSquish;
  char pattern[] = "/tmp/drayline-journal-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  ChangeOptions options;
  options.journal = journal;
  bool ok = true;
  {
    std::unique_ptr<MessageBase> base = OpenBase(format, std::string(pattern) + "/base", options);
    ok = base != nullptr && PostOnce(*base);
    for (int i = 0; ok && i < kCountedPosts; ++i) ok = PostOnce(*base);
  }
  std::filesystem::remove_all(pattern);
  return ok ? 0 : 1;
}

// Instructions per post from a callgrind run of this program; 0 when
// valgrind cannot be run.
double InstructionsPerPost(const std::string& self, const std::string& dir,
                           BaseFormat format, bool journal) {
  if (!std::filesystem::exists("/usr/bin/valgrind")) return 0;
  const std::string out = dir + "/callgrind." + FormatName(format) + (journal ? ".on" : ".off");
  const bench::ChildRun run = bench::RunChild(
      {"/usr/bin/valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
       "--collect-atstart=no", "--toggle-collect=*PostOnce*", self, "--posts",
       FormatName(format), journal ? "1" : "0"},
      dir);
  if (run.status != 0) return 0;
  std::ifstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("totals:", 0) == 0 || line.rfind("summary:", 0) == 0) {
      return std::strtod(line.c_str() + line.find(':') + 1, nullptr) / (kCountedPosts + 1);
    }
  }
  return 0;
}

void Measure(const std::string& self, const std::string& dir, BaseFormat format) {
  const std::string name = FormatName(format);
  ChangeOptions with, without, synced;
  without.journal = false;
  synced.sync = true;
  std::unique_ptr<MessageBase> a = OpenBase(format, dir + "/" + name + "-on", with);
  std::unique_ptr<MessageBase> b = OpenBase(format, dir + "/" + name + "-off", without);
  std::unique_ptr<MessageBase> c = OpenBase(format, dir + "/" + name + "-sync", synced);
  if (a == nullptr || b == nullptr || c == nullptr) {
    std::cout << name << " journal: cannot make the bases\n";
    return;
  }
  std::vector<double> on_ms, off_ms, ratios, sync_ms;
  bool ok = true;
  for (int round = 0; round < kRounds && ok; ++round) {
    double on = 0, off = 0;
    if (round % 2 == 0) {
      on = TimedPost(*a, &ok);
      off = TimedPost(*b, &ok);
    } else {
      off = TimedPost(*b, &ok);
      on = TimedPost(*a, &ok);
    }
    on_ms.push_back(on);
    off_ms.push_back(off);
    ratios.push_back(on / off);
    if (round % 10 == 0) sync_ms.push_back(TimedPost(*c, &ok));
  }
  if (!ok) {
    std::cout << name << " journal: a post failed\n";
    return;
  }
  std::cout << name << " post with journal vs without: " << Fixed(Median(on_ms), 4)
            << " ms / " << Fixed(Median(off_ms), 4) << " ms (medians of " << kRounds
            << " paired rounds); ratio " << Fixed(Median(ratios), 2) << " (target <= 1.05)\n";
  const double i_on = InstructionsPerPost(self, dir, format, true);
  const double i_off = InstructionsPerPost(self, dir, format, false);
  if (i_on > 0 && i_off > 0) {
    std::cout << name << " post instructions with journal vs without: " << Fixed(i_on, 0)
              << " / " << Fixed(i_off, 0) << " (callgrind, user space, the post alone); ratio "
              << Fixed(i_on / i_off, 2) << " (target <= 1.10)\n";
  } else {
    std::cout << name << " post instructions: not counted (valgrind not installed)\n";
  }
  std::cout << name << " post with sync=true: " << Fixed(Median(sync_ms), 3)
            << " ms vs " << Fixed(Median(on_ms), 4) << " ms without; ratio "
            << Fixed(Median(sync_ms) / Median(on_ms), 1) << " (no target)\n";
}

}  // namespace
}  // namespace drayline

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--posts") {
    return drayline::CountedPosts(argv[2], std::string(argv[3]) == "1");
  }
  if (argc != 2) {
    std::cerr << "usage: journal_bench BUILD_DIR\n";
    return 2;
  }
  char pattern[] = "/tmp/drayline-journal-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string self = std::filesystem::absolute(argv[0]);
  for (const drayline::BaseFormat format : {drayline::BaseFormat::kJam, drayline::BaseFormat::kSquish}) {
    drayline::Measure(self, pattern, format);
  }
  std::filesystem::remove_all(pattern);
  return 0;
}
