// Helpers shared by the benchmark programs: running a program and timing
// it, medians, fixed-point text and counting an strace log's calls.

#ifndef DRAYLINE_BENCH_BENCH_UTIL_H_
#define DRAYLINE_BENCH_BENCH_UTIL_H_

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <map>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "support/env.h"
#include "support/file_access.h"

extern char** environ;

namespace drayline::bench {

struct ChildRun {
  double ms = 0;
  long max_rss_kib = 0;  // see StartAfresh
  int status = -1;
};

// Runs this benchmark again from its start, in this process (argv as main
// got it). A spawned child runs in its parent's memory until it starts its
// program, and its peak resident memory counts the parent's: a benchmark
// that has just made a large base in memory starts afresh before it
// measures any child. Returns only when the restart fails.
inline void StartAfresh(char** argv) { execv("/proc/self/exe", argv); }

// Runs argv in cwd with standard output and error going to out_file.
inline ChildRun RunChild(const std::vector<std::string>& argv,
                         const std::string& cwd,
                         const std::string& out_file = "/dev/null") {
  std::vector<char*> cargv;
  for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  ChildRun run;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) ==
      0) {
    struct rusage usage = {};
    int status = 0;
    wait4(pid, &status, 0, &usage);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.max_rss_kib = usage.ru_maxrss;
  }
  run.ms = std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now() - start)
               .count();
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

// The baseline of the reading benchmarks: one sequential read of a whole
// file through the file layer, in large chunks, into a buffer of the file's
// size. Open sizes the file and allocates the buffer, so that only Read is
// timed.
class WholeFileRead {
 public:
  // False when the file cannot be opened or sized.
  bool Open(const std::string& name) {
    uint64_t size = 0;
    if (Env::Default()->Open(name, OpenMode::kReadOnly, &file_) != io::kOk ||
        file_->Size(&size) != io::kOk) {
      return false;
    }
    buffer_.assign(static_cast<size_t>(size), 0);
    return true;
  }
  // False unless the whole file was read.
  bool Read() {
    constexpr size_t kChunk = size_t{1} << 20;
    for (size_t at = 0; at < buffer_.size();) {
      const size_t want = std::min(kChunk, buffer_.size() - at);
      size_t done = 0;
      if (file_->Read(at, std::span(buffer_.data() + at, want), &done) != io::kOk ||
          done != want) {
        return false;
      }
      at += done;
    }
    return true;
  }
  uint64_t size() const { return buffer_.size(); }

 private:
  std::unique_ptr<File> file_;
  std::vector<uint8_t> buffer_;
};

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

inline std::string Fixed(double v, int digits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

// Counts the lines of an strace log after the first call main makes (it
// ignores SIGXFSZ first), by system call name.
inline bool CountTracedCalls(Env* env, const std::string& log, int* total,
                             std::map<std::string, int>* by_name) {
  const int64_t size = SizeOfFile(env, log);
  if (size <= 0) return false;
  std::string bytes(static_cast<size_t>(size), '\0');
  if (LoadFile(env, log, std::span(reinterpret_cast<uint8_t*>(bytes.data()),
                                   bytes.size())) != io::kOk) {
    return false;
  }
  std::istringstream lines(bytes);
  std::string line;
  bool in_main = false;
  while (std::getline(lines, line)) {
    line.erase(0, line.find_first_not_of("0123456789 "));  // pid prefix
    if (line.empty() || line[0] == '+' || line[0] == '-') continue;
    if (!in_main) {
      in_main = line.rfind("rt_sigaction(SIGXFSZ", 0) == 0;
      continue;
    }
    ++*total;
    ++(*by_name)[line.substr(0, line.find('('))];
  }
  return in_main;
}

// The path of a program found in the usual directories, or "" when it is
// not installed.
inline std::string FindProgram(Env* env, const std::string& name) {
  for (const char* dir : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
    const std::string path = std::string(dir) + name;
    if (env->Exists(path)) return path;
  }
  return "";
}

// Runs argv under strace in cwd; false when strace is not installed or the
// run failed.
inline bool TraceSystemCalls(Env* env, const std::vector<std::string>& argv,
                             const std::string& cwd, const std::string& log,
                             int* total, std::map<std::string, int>* by_name) {
  const std::string strace = FindProgram(env, "strace");
  if (strace.empty()) return false;
  std::vector<std::string> args = {strace, "-f", "-qq", "-o", log};
  args.insert(args.end(), argv.begin(), argv.end());
  return RunChild(args, cwd).status == 0 &&
         CountTracedCalls(env, log, total, by_name);
}

// The instructions a whole run of argv executes in cwd, from process start
// (the dynamic loader included) to exit, counted by valgrind's callgrind;
// 0 when valgrind is not installed or the run failed. Counts are the same
// on a busy machine, so one run is a measurement.
inline uint64_t CountInstructions(Env* env, const std::vector<std::string>& argv,
                                  const std::string& cwd,
                                  const std::string& log) {
  const std::string valgrind = FindProgram(env, "valgrind");
  if (valgrind.empty()) return 0;
  std::vector<std::string> args = {valgrind, "--tool=callgrind",
                                   "--callgrind-out-file=/dev/null",
                                   "--log-file=" + log};
  args.insert(args.end(), argv.begin(), argv.end());
  RunChild(args, cwd);
  const int64_t size = SizeOfFile(env, log);
  if (size <= 0) return 0;
  std::string text(static_cast<size_t>(size), '\0');
  if (LoadFile(env, log, std::span(reinterpret_cast<uint8_t*>(text.data()),
                                   text.size())) != io::kOk) {
    return 0;
  }
  const std::string key = "Collected : ";
  const size_t at = text.rfind(key);
  if (at == std::string::npos) return 0;
  return std::strtoull(text.c_str() + at + key.size(), nullptr, 10);
}

// The programs of the code before the performance work, built by
// bench/reference.sh into BUILD_DIR/reference, so that a benchmark can set
// today's figures beside the ones it was measured against; "" when that
// build is missing (the benchmark then prints what it can without it).
inline std::string ReferenceProgram(Env* env, const std::string& build_dir,
                                    const std::string& name) {
  const std::string path = build_dir + "/reference/build/" + name;
  return env->Exists(path) ? path : "";
}

// "<what> peak RSS: ... MiB vs banner-only ... MiB; difference ..." with
// the 1 MiB target.
inline std::string PeakRssLine(const std::string& what, long post_kib,
                               long banner_kib) {
  return what + " peak RSS: " + Fixed(post_kib / 1024.0, 2) +
         " MiB vs banner-only " + Fixed(banner_kib / 1024.0, 2) +
         " MiB; difference " + Fixed((post_kib - banner_kib) / 1024.0, 2) +
         " MiB (target <= 1.00)";
}

inline std::string CallsByName(const std::map<std::string, int>& by_name) {
  std::string detail;
  for (const auto& [name, n] : by_name) {
    detail += (detail.empty() ? "" : ", ") + name + " " + std::to_string(n);
  }
  return detail;
}

}  // namespace drayline::bench

#endif  // DRAYLINE_BENCH_BENCH_UTIL_H_
