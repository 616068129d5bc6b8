// Benchmark of draybase's listings (list, list --json, mail) as whole
// processes, against one read of the file a listing mostly reads by `cat`
// (output to /dev/null for both).
//
//   list_bench BUILD_DIR
//
// The bases (JAM of 100,000 and 1,000,000 messages, Squish of 5,000; see
// bench_bases.h) are made once and kept under BUILD_DIR/list-bench. Runs
// are interleaved (cat, draybase now, draybase of the reference build) and
// each ratio is the median of the ratios within a round. At 1,000,000
// messages the reference build takes seconds and gigabytes a run: it runs
// once, and its figures are kept beside the bases for later runs.
//
// One line per workload: today's ratio (reference build), now, now/today,
// the target, and the peak resident memory of each.

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_bases.h"
#include "bench_util.h"

namespace drayline {
namespace {

using bench::ChildRun;
using bench::Fixed;
using bench::Median;
using bench::RunChild;

struct Workload {
  std::string name;        // as printed
  std::vector<std::string> args;  // after the program
  std::string baseline;    // the file cat reads
  int rounds;
  double target;  // 0: none (a workload measured for its memory)
};

struct Figures {
  double ratio = 0, p25 = 0, p75 = 0, ms = 0;
  long rss_kib = 0;
  bool ran = false;
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "list_bench: %s\n", what.c_str());
  std::exit(1);
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

// Runs each program (an empty name is skipped) with w's arguments, and cat
// of w's baseline, interleaved in rounds: cat, then each program.
std::vector<Figures> Measure(const std::vector<std::string>& programs, const Workload& w,
                             const std::string& cwd, int rounds) {
  std::vector<Figures> figures(programs.size());
  std::vector<std::vector<double>> ratios(programs.size()), times(programs.size());
  for (int i = 0; i < rounds; ++i) {
    const ChildRun cat = RunChild({"/bin/cat", w.baseline}, cwd);
    for (size_t p = 0; p < programs.size(); ++p) {
      if (programs[p].empty()) continue;
      std::vector<std::string> argv = {programs[p]};
      argv.insert(argv.end(), w.args.begin(), w.args.end());
      const ChildRun run = RunChild(argv, cwd);
      if (run.status != 0) Fail(programs[p] + " failed on " + w.name);
      ratios[p].push_back(run.ms / cat.ms);
      times[p].push_back(run.ms);
      figures[p].rss_kib = std::max(figures[p].rss_kib, run.max_rss_kib);
    }
  }
  for (size_t p = 0; p < programs.size(); ++p) {
    if (programs[p].empty()) continue;
    Figures& f = figures[p];
    f.ratio = Median(ratios[p]);
    f.p25 = Percentile(ratios[p], 0.25);
    f.p75 = Percentile(ratios[p], 0.75);
    f.ms = Median(times[p]);
    f.ran = true;
  }
  return figures;
}

// Today's figures of a slow workload, measured once and kept in file.
Figures CachedToday(const std::string& file, const std::string& program, const Workload& w,
                    const std::string& cwd) {
  Figures f;
  std::ifstream in(file);
  if (in >> f.ratio >> f.ms >> f.rss_kib) {
    f.p25 = f.p75 = f.ratio;
    f.ran = true;
    return f;
  }
  f = Measure({program}, w, cwd, 1)[0];
  if (f.ran) std::ofstream(file) << f.ratio << " " << f.ms << " " << f.rss_kib << "\n";
  return f;
}

void Report(const Workload& w, const Figures& today, const Figures& now) {
  const std::string mib = " MiB";
  std::string line = "list_bench " + w.name + ": today " +
                     (today.ran ? Fixed(today.ratio, 1) + "x" : "n/a") + ", now " +
                     Fixed(now.ratio, 2) + "x (p25 " + Fixed(now.p25, 2) + ", p75 " +
                     Fixed(now.p75, 2) + ", " + Fixed(now.ms, 1) + " ms)";
  if (today.ran) line += ", now/today " + Fixed(now.ratio / today.ratio, 3);
  line += w.target > 0 ? "; target <= " + Fixed(w.target, 1) + "x" : "; no time target";
  line += "; peak RSS today " +
          (today.ran ? Fixed(today.rss_kib / 1024.0, 1) + mib : "n/a") + ", now " +
          Fixed(now.rss_kib / 1024.0, 1) + mib + " (target <= 16 MiB)";
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Makes the bases that are missing; a marker file says a base is whole.
// True when it made one.
bool MakeBases(const std::string& dir) {
  bool made = false;
  std::filesystem::create_directories(dir);
  for (const auto& [name, count] : {std::pair{"jam100k", 100000u}, std::pair{"jam1m", 1000000u}}) {
    const std::string done = dir + "/" + name + ".made";
    if (std::filesystem::exists(done)) continue;
    if (!bench::WriteJamBenchBase(Env::Default(), dir + "/" + name, count)) {
      Fail(std::string("cannot write ") + name);
    }
    std::ofstream(done) << "made\n";
    made = true;
  }
  if (!std::filesystem::exists(dir + "/sq5k.made")) {
    for (const char* ext : {".sqd", ".sqi", ".sql"}) {
      std::filesystem::remove(dir + "/sq5k" + ext);
    }
    if (!bench::WriteSquishBenchBase(dir + "/sq5k", 5000)) Fail("cannot write sq5k");
    std::ofstream(dir + "/sq5k.made") << "made\n";
    made = true;
  }
  return made;
}

}  // namespace
}  // namespace drayline

int main(int argc, char** argv) {
  using namespace drayline;
  const std::string build = std::filesystem::absolute(argc > 1 ? argv[1] : "build");
  const std::string dir = build + "/list-bench";
  if (MakeBases(dir)) bench::StartAfresh(argv);
  const std::string now = build + "/draybase";
  const std::string today = bench::ReferenceProgram(Env::Default(), build, "draybase");
  const std::vector<Workload> quick = {
      {"list JAM 100,000 vs cat .jhr", {"list", "jam100k"}, "jam100k.jhr", 7, 3},
      {"list --json JAM 100,000 vs cat .jhr", {"list", "jam100k", "--json"}, "jam100k.jhr", 5, 4},
      {"list Squish 5,000 vs cat .sqd", {"list", "sq5k"}, "sq5k.sqd", 21, 2},
      // A user with 241 of the 100,000 messages: the index is read whole,
      // each match's header once.
      {"mail JAM 100,000 vs cat .jdx", {"mail", "jam100k", "Al Ng"}, "jam100k.jdx", 21, 1.3},
  };
  for (const Workload& w : quick) {
    const std::vector<Figures> f = Measure({now, today}, w, dir, w.rounds);
    Report(w, f[1], f[0]);
  }
  const std::vector<Workload> large = {
      {"list JAM 1,000,000 vs cat .jhr", {"list", "jam1m"}, "jam1m.jhr", 3, 4},
      {"list --json JAM 1,000,000 vs cat .jhr", {"list", "jam1m", "--json"}, "jam1m.jhr", 1, 4},
      // For its memory at a million messages.
      {"mail (40% of the messages) JAM 1,000,000 vs cat .jdx", {"mail", "jam1m", "All"},
       "jam1m.jdx", 1, 0},
  };
  for (size_t i = 0; i < large.size(); ++i) {
    const Workload& w = large[i];
    const Figures t = CachedToday(dir + "/today-" + std::to_string(i) + ".txt", today, w, dir);
    Workload kept = w;
    kept.name += " (today measured once and kept)";
    Report(kept, t, Measure({now}, w, dir, w.rounds)[0]);
  }
  return 0;
}
