// Benchmark of what a short drayline run costs from process start to exit,
// against the C library's own floor and against today's build.
//
//   start_bench BUILD_DIR
//
// Workloads, one line each (today = the reference build of bench_util.h):
//   - instructions of a banner-only run (no arguments on a board: the banner
//     and the usage refusal) against banner_c, a C program that prints the
//     same text and is linked against the C library as drayline is;
//   - instructions of a whole JAM post, now against today;
//   - wall time of a whole JAM post, now against today: the median of the
//     ratios of interleaved pairs, with the 25th and 75th percentiles;
//   - the post's own instructions (the whole post minus the banner-only
//     run, the journal included), now against today.
// Instructions are counted by callgrind (the same on a busy machine). Every
// post meets the same empty base: it is put back after each one.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bench_util.h"
#include "jam_post_board.h"

namespace drayline {
namespace {

using bench::BaseSnapshot;
using bench::CountInstructions;
using bench::Fixed;
using bench::RunChild;

constexpr int kPairs = 61;

struct Programs {
  std::string now, today, banner_c;
};

class StartBench {
 public:
  StartBench(Programs programs, std::string board)
      : programs_(std::move(programs)),
        board_(std::move(board)),
        base_(env_, board_ + "/msgs/empty") {}

  void BannerLine();
  void InstructionLines();
  void WallLine();

 private:
  std::vector<std::string> PostArgs(const std::string& program) const {
    return {program, "0", "Sysop", "All", "Bench_post", "bench.txt"};
  }
  uint64_t Count(const std::vector<std::string>& argv) {
    const uint64_t n =
        CountInstructions(env_, argv, board_, board_ + "/callgrind.log");
    base_.Restore();
    return n;
  }
  std::string Output(const std::string& program) {
    const std::string file = board_ + "/banner.out";
    RunChild({program}, board_, file);
    const int64_t size = std::max<int64_t>(0, SizeOfFile(env_, file));
    std::string text(static_cast<size_t>(size), '\0');
    LoadFile(env_, file,
             std::span(reinterpret_cast<uint8_t*>(text.data()), text.size()));
    return text;
  }

  Env* const env_ = Env::Default();
  const Programs programs_;
  const std::string board_;
  BaseSnapshot base_;
  uint64_t banner_now_ = 0, banner_today_ = 0;
};

std::string Ratio(double a, double b) { return b > 0 ? Fixed(a / b, 2) : "-"; }

void StartBench::BannerLine() {
  if (Output(programs_.banner_c) != Output(programs_.now)) {
    std::printf("start: banner_c does not print what drayline prints\n");
  }
  const uint64_t c = Count({programs_.banner_c});
  banner_now_ = Count({programs_.now});
  if (!programs_.today.empty()) banner_today_ = Count({programs_.today});
  if (c == 0 || banner_now_ == 0) {
    std::printf("start: banner-only run: valgrind not installed; skipped\n");
    return;
  }
  std::printf(
      "start: banner-only run vs C banner program (instructions, C %llu): "
      "today %llu = %sx, now %llu = %sx (target <= 2.00)\n",
      static_cast<unsigned long long>(c),
      static_cast<unsigned long long>(banner_today_),
      Ratio(double(banner_today_), double(c)).c_str(),
      static_cast<unsigned long long>(banner_now_),
      Ratio(double(banner_now_), double(c)).c_str());
}

void StartBench::InstructionLines() {
  if (programs_.today.empty() || banner_now_ == 0 || banner_today_ == 0) {
    std::printf(
        "start: whole JAM post: no reference build or valgrind; skipped\n");
    return;
  }
  const uint64_t now = Count(PostArgs(programs_.now));
  const uint64_t today = Count(PostArgs(programs_.today));
  std::printf(
      "start: whole JAM post (instructions): today %llu, now %llu; ratio %s "
      "(target <= 0.25)\n",
      static_cast<unsigned long long>(today),
      static_cast<unsigned long long>(now),
      Ratio(double(now), double(today)).c_str());
  const double own_now = double(now) - double(banner_now_);
  const double own_today = double(today) - double(banner_today_);
  std::printf(
      "start: JAM post's own instructions (post minus banner-only, journal "
      "included): today %.0f, now %.0f; ratio %s (target <= 1.20)\n",
      own_today, own_now, Ratio(own_now, own_today).c_str());
}

void StartBench::WallLine() {
  if (programs_.today.empty()) return;
  std::vector<double> ratios, now_ms, today_ms;
  for (int pair = 0; pair < kPairs; ++pair) {
    // Alternating which goes first, so that neither always meets a warmer
    // cache.
    double ms[2];
    for (int k = 0; k < 2; ++k) {
      const bool run_now = (k == 0) == (pair % 2 == 0);
      const std::string& program = run_now ? programs_.now : programs_.today;
      ms[run_now ? 0 : 1] = RunChild(PostArgs(program), board_).ms;
      base_.Restore();
    }
    now_ms.push_back(ms[0]);
    today_ms.push_back(ms[1]);
    ratios.push_back(ms[0] / ms[1]);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf(
      "start: whole JAM post (wall, median of %d pairs): today %s ms, now %s "
      "ms; ratio %s [p25 %s, p75 %s] (target <= 0.80)\n",
      kPairs, Fixed(bench::Median(today_ms), 3).c_str(),
      Fixed(bench::Median(now_ms), 3).c_str(),
      Fixed(ratios[ratios.size() / 2], 2).c_str(),
      Fixed(ratios[ratios.size() / 4], 2).c_str(),
      Fixed(ratios[ratios.size() * 3 / 4], 2).c_str());
}

}  // namespace
}  // namespace drayline

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: start_bench BUILD_DIR\n");
    return 2;
  }
  drayline::Env* env = drayline::Env::Default();
  const std::string build = std::filesystem::absolute(argv[1]);
  drayline::Programs programs{
      build + "/drayline",
      drayline::bench::ReferenceProgram(env, build, "drayline"),
      build + "/banner_c"};
  if (!env->Exists(programs.banner_c)) {
    std::fprintf(stderr, "start_bench: %s is not built\n",
                 programs.banner_c.c_str());
    return 1;
  }
  std::string board;
  if (!drayline::bench::MakeJamPostBoard(env, {{"empty", 0}}, &board)) {
    std::fprintf(stderr, "start_bench: cannot make the benchmark board\n");
    return 1;
  }
  {
    drayline::StartBench bench(programs, board);
    bench.BannerLine();
    bench.InstructionLines();
    bench.WallLine();
  }
  std::filesystem::remove_all(board);
  return 0;
}
