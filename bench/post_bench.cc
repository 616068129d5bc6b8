// Benchmark of one JAM post by the real drayline program.
//
//   post_bench BUILD_DIR
//
// Workloads, one line each:
//   - system calls after main starts (strace when it is installed, else the
//     file layer's own count of an in-process run);
//   - wall time of a post into an empty base and into a base of 1,000,000
//     messages (written directly, not posted), ratio large/empty;
//   - wall time of a post against a run with no arguments, which prints
//     the banner and refuses;
//   - peak resident memory of a post against the banner-only run.
// Runs are interleaved in rounds (banner-only, empty, large); ratios are the
// medians of the ratios within a round. After each timed post the base is
// cut back to what it was, so every post meets the same base.

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "jam_post_board.h"
#include "post/posting_run.h"
#include "support/env.h"

namespace drayline {
namespace {

using bench::BaseSnapshot;
using bench::CallsByName;
using bench::ChildRun;
using bench::Fixed;
using bench::Median;
using bench::RunChild;
using bench::TraceSystemCalls;

constexpr uint32_t kLargeBase = 1000000;
constexpr int kRounds = 101;

struct Bench {
  Env* env = Env::Default();
  std::string drayline, board;

  bool MakeBoard();
  std::vector<std::string> PostArgs(const char* base_number) const {
    return {drayline, base_number, "Sysop", "All", "Bench_post", "bench.txt"};
  }
  void CountSystemCalls();
  void TimeAndMeasure();
};

bool Bench::MakeBoard() {
  return bench::MakeJamPostBoard(env, {{"empty", 0}, {"large", kLargeBase}},
                                 &board);
}

void Bench::CountSystemCalls() {
  BaseSnapshot snapshot(env, board + "/msgs/empty");
  int total = 0;
  std::map<std::string, int> by_name;
  const bool traced = TraceSystemCalls(env, PostArgs("0"), board,
                                       board + "/strace.log", &total, &by_name);
  snapshot.Restore();
  if (traced) {
    std::cout << "jam post: system calls after main starts: " << total
              << " (strace: " << CallsByName(by_name) << ")\n";
    return;
  }
  // No strace: the file layer's own count, from an in-process run.
  const std::string old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(board);
  // What the run prints is not the bench's to print.
  struct QuietEnv final : EnvWrapper {
    using EnvWrapper::EnvWrapper;
    IoResult WriteStandardOutput(std::string_view) override { return io::kOk; }
  } quiet(env);
  env->ResetCounters();
  std::vector<std::string> post_args = PostArgs("0");
  post_args.erase(post_args.begin());
  RunPostingCommand(post_args, &quiet);
  const IoCounters c = env->Counters();
  std::filesystem::current_path(old_cwd);
  snapshot.Restore();
  std::cout << "jam post: file-layer calls (strace not installed): "
            << c.calls() << " (opens " << c.opens << ", reads " << c.reads
            << ", writes " << c.writes << ", other " << c.other << ")\n";
}

void Bench::TimeAndMeasure() {
  BaseSnapshot empty_base(env, board + "/msgs/empty");
  BaseSnapshot large_base(env, board + "/msgs/large");
  std::vector<double> banner_ms, empty_ms, large_ms;
  long banner_rss = 0, post_rss = 0;
  for (int round = 0; round < kRounds; ++round) {
    ChildRun banner = RunChild({drayline}, board);
    ChildRun empty = RunChild(PostArgs("0"), board);
    empty_base.Restore();
    ChildRun large = RunChild(PostArgs("1"), board);
    large_base.Restore();
    if (banner.status != 0 || empty.status != 0 || large.status != 0) {
      std::cout << "jam post: a run failed (status " << empty.status << ", "
                << large.status << ")\n";
      return;
    }
    banner_ms.push_back(banner.ms);
    empty_ms.push_back(empty.ms);
    large_ms.push_back(large.ms);
    banner_rss = std::max(banner_rss, banner.max_rss_kib);
    post_rss = std::max({post_rss, empty.max_rss_kib, large.max_rss_kib});
  }
  // The machine may be shared: ratios are taken between the runs of one
  // round, which ran side by side, and their median is reported.
  std::vector<double> large_vs_empty, post_vs_banner;
  for (size_t i = 0; i < empty_ms.size(); ++i) {
    large_vs_empty.push_back(large_ms[i] / empty_ms[i]);
    post_vs_banner.push_back(empty_ms[i] / banner_ms[i]);
  }
  const double b = Median(banner_ms), e = Median(empty_ms), l = Median(large_ms);
  std::cout << "jam post: empty base " << Fixed(e, 3) << " ms, "
            << kLargeBase << "-message base " << Fixed(l, 3)
            << " ms (medians of " << kRounds << "); ratio large/empty "
            << Fixed(Median(large_vs_empty), 2) << " (target <= 1.10)\n";
  std::cout << "jam post vs banner-only run: " << Fixed(e, 3) << " ms / "
            << Fixed(b, 3) << " ms; ratio " << Fixed(Median(post_vs_banner), 2)
            << " (target <= 1.50)\n";
  std::cout << bench::PeakRssLine("jam post", post_rss, banner_rss) << "\n";
}

}  // namespace
}  // namespace drayline

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: post_bench BUILD_DIR\n";
    return 2;
  }
  drayline::Bench bench;
  const std::string build = std::filesystem::absolute(argv[1]);
  bench.drayline = build + "/drayline";
  if (!bench.MakeBoard()) {
    std::cerr << "post_bench: cannot make the benchmark board\n";
    return 1;
  }
  bench.CountSystemCalls();
  bench.TimeAndMeasure();
  std::filesystem::remove_all(bench.board);
  return 0;
}
