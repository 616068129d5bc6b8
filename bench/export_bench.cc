// Benchmark of `draybase export` on a JAM base of 100,000 messages (the
// real program, its output to /dev/null, the base's check included)
// against one read of the base's .jhr and .jdt; target at most 5 times.
//
//   export_bench BUILD_DIR
//
// The base is stored once through the library's transfer sink and kept
// under BUILD_DIR/export-bench for the next run. Each run pairs one whole
// read of the files (bench_util.h) with one export; the line gives the
// median of each and the median of the paired ratios.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench_util.h"
#include "drayline/transfer.h"
#include "jam/jam_transfer.h"

namespace drayline {
namespace {

constexpr int kRuns = 11;
constexpr int32_t kMessages = 100000;
constexpr double kTarget = 5;

bool MakeBase(const std::string& path) {
  Status s;
  std::unique_ptr<MessageSink> sink = MessageSink::Open(path, BaseFormat::kJam, {}, &s);
  if (!sink) return false;
  ExportedMessage m;
  for (int32_t n = 1; s.ok() && n <= kMessages; ++n) {
    m.from = "Writer " + std::to_string(n % 89);
    m.to = "Reader " + std::to_string(n % 997);
    m.subject = "Subject of message " + std::to_string(n);
    m.written = {2026, 12, 7, 10, 0, 0};
    m.attributes = 1;
    m.text = "Message number " + std::to_string(n) + " of the benchmark.\r";
    m.jam = JamPart{};
    jam::FillJamPart(&m);
    s = sink->Store(m);
  }
  return s.ok() && sink->Finish().ok();
}

double Milliseconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace
}  // namespace drayline

int main(int argc, char** argv) {
  using namespace drayline;
  namespace fs = std::filesystem;
  const std::string build = argc > 1 ? argv[1] : ".";
  const std::string dir = build + "/export-bench";
  const std::string path = fs::absolute(dir + "/jam100k").string();
  std::error_code error;
  fs::create_directories(dir, error);
  if (!fs::exists(path + ".jhr") && !MakeBase(path)) {
    std::printf("export JAM 100,000 messages: FAILED (the base could not be made)\n");
    return 1;
  }
  std::vector<bench::WholeFileRead> files(2);
  bool ok = files[0].Open(path + ".jhr") && files[1].Open(path + ".jdt");
  const auto read_all = [&] {
    for (bench::WholeFileRead& f : files) ok &= f.Read();
  };
  const std::vector<std::string> argv_export = {fs::absolute(build + "/draybase").string(),
                                                "export", path};
  const auto run_export = [&] { ok &= bench::RunChild(argv_export, dir).status == 0; };
  if (ok) read_all(), run_export();
  std::vector<double> reads, exports, ratios;
  for (int i = 0; ok && i < kRuns; ++i) {
    reads.push_back(Milliseconds(read_all));
    exports.push_back(Milliseconds(run_export));
    ratios.push_back(exports.back() / reads.back());
  }
  if (!ok) {
    std::printf("export JAM 100,000 messages: FAILED\n");
    return 1;
  }
  std::printf("export JAM 100,000 messages: median %s ms vs one read of .jhr+.jdt %s ms: %sx "
              "(paired median); target <= %sx\n",
              bench::Fixed(bench::Median(exports), 1).c_str(),
              bench::Fixed(bench::Median(reads), 1).c_str(),
              bench::Fixed(bench::Median(ratios), 2).c_str(), bench::Fixed(kTarget, 0).c_str());
  return 0;
}
