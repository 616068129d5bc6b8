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
#include <array>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "drayline/board.h"
#include "jam/jam_format.h"
#include "post/posting_run.h"
#include "support/coding.h"
#include "support/env.h"
#include "support/file_access.h"

namespace drayline {
namespace {

using bench::CallsByName;
using bench::ChildRun;
using bench::Fixed;
using bench::Median;
using bench::RunChild;
using bench::TraceSystemCalls;

constexpr uint32_t kLargeBase = 1000000;
constexpr int kRounds = 101;

bool WriteWholeFile(Env* env, const std::string& name,
                    std::span<const uint8_t> bytes) {
  env->Remove(name);
  return SaveFile(env, name, bytes) == io::kOk;
}

// A JAM base of n messages "Bench" from Sysop to All, written in large
// blocks straight into its four files.
class BaseWriter {
 public:
  BaseWriter(Env* env, std::string path) : env_(env), path_(std::move(path)) {}

  bool Write(uint32_t n) {
    for (auto ext : {jam::kHeaderExt, jam::kTextExt, jam::kIndexExt,
                     jam::kLastReadExt}) {
      const std::string name = path_ + std::string(ext);
      env_->Remove(name);
      std::unique_ptr<File> file;
      if (env_->Open(name, OpenMode::kCreateExclusive, &file) != io::kOk) {
        return false;
      }
      files_.push_back(std::move(file));
    }
    if (!Put(0, BaseHeader(n))) return false;
    for (uint32_t first = 0; first < n; first += kChunk) {
      if (!WriteChunk(first, std::min(kChunk, n - first))) return false;
    }
    files_.clear();
    return true;
  }

 private:
  static constexpr uint32_t kChunk = 8192;
  static constexpr char kText[] = "Bench text\r";
  static constexpr uint32_t kTextLen = sizeof(kText) - 1;
  static constexpr uint32_t kSubfieldLen = 11 + 13 + 13;  // All, Sysop, Bench
  static constexpr uint32_t kHeaderLen = jam::kFixedHeaderSize + kSubfieldLen;

  static std::vector<uint8_t> BaseHeader(uint32_t n) {
    std::vector<uint8_t> h(jam::kBaseHeaderSize, 0);
    std::copy_n("JAM", 4, h.begin());
    EncodeFixed32(&h[jam::kBhModCounter], n);
    EncodeFixed32(&h[jam::kBhActiveMsgs], n);
    EncodeFixed32(&h[jam::kBhPasswordCrc], jam::kNoCrc);
    EncodeFixed32(&h[jam::kBhBaseMsgNum], 1);
    return h;
  }

  static void AppendSubfield(std::vector<uint8_t>& out, uint16_t kind,
                             std::string_view data) {
    uint8_t head[jam::kSubfieldHeaderSize] = {};
    EncodeFixed16(head, kind);
    EncodeFixed32(head + 4, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), head, head + sizeof head);
    out.insert(out.end(), data.begin(), data.end());
  }

  bool WriteChunk(uint32_t first, uint32_t count) {
    std::vector<uint8_t> headers, texts, index;
    for (uint32_t i = first; i < first + count; ++i) {
      std::vector<uint8_t> h(jam::kFixedHeaderSize, 0);
      std::copy_n("JAM", 4, h.begin());
      EncodeFixed16(&h[jam::kMhRevision], 1);
      EncodeFixed32(&h[jam::kMhSubfieldLen], kSubfieldLen);
      EncodeFixed32(&h[jam::kMhMessageNumber], i + 1);
      EncodeFixed32(&h[jam::kMhAttribute], jam::kAttrLocal | jam::kAttrTypeLocal);
      EncodeFixed32(&h[jam::kMhTxtOffset], i * kTextLen);
      EncodeFixed32(&h[jam::kMhTxtLen], kTextLen);
      AppendSubfield(h, jam::kSfReceiverName, "All");
      AppendSubfield(h, jam::kSfSenderName, "Sysop");
      AppendSubfield(h, jam::kSfSubject, "Bench");
      headers.insert(headers.end(), h.begin(), h.end());
      texts.insert(texts.end(), kText, kText + kTextLen);
      uint8_t record[jam::kIndexRecordSize];
      jam::EncodeIndexRecord(
          {jam::NameChecksum("All"),
           static_cast<uint32_t>(jam::kBaseHeaderSize + uint64_t{i} * kHeaderLen)},
          record);
      index.insert(index.end(), record, record + sizeof record);
    }
    return Put(0, headers, jam::kBaseHeaderSize + uint64_t{first} * kHeaderLen) &&
           Put(1, texts, uint64_t{first} * kTextLen) &&
           Put(2, index, uint64_t{first} * jam::kIndexRecordSize);
  }

  bool Put(size_t file, const std::vector<uint8_t>& bytes, uint64_t at = 0) {
    return RetryWrite(*files_[file], at, bytes) == io::kOk;
  }

  Env* env_;
  std::string path_;
  std::vector<std::unique_ptr<File>> files_;
};

// The three files of a base as they were, to be put back after each post.
class BaseSnapshot {
 public:
  BaseSnapshot(Env* env, std::string path) : env_(env), path_(std::move(path)) {
    for (auto ext : {jam::kHeaderExt, jam::kTextExt, jam::kIndexExt}) {
      sizes_.push_back(SizeOfFile(env_, path_ + std::string(ext)));
    }
    LoadFile(env_, path_ + std::string(jam::kHeaderExt), header_);
  }

  void Restore() {
    size_t i = 0;
    for (auto ext : {jam::kHeaderExt, jam::kTextExt, jam::kIndexExt}) {
      std::unique_ptr<File> file;
      if (env_->Open(path_ + std::string(ext), OpenMode::kReadWrite, &file) ==
          io::kOk) {
        file->Truncate(static_cast<uint64_t>(sizes_[i]));
        if (i == 0) file->Write(0, header_);
      }
      ++i;
    }
  }

 private:
  Env* env_;
  std::string path_;
  std::vector<int64_t> sizes_;
  std::array<uint8_t, jam::kBaseHeaderSize> header_{};
};

struct Bench {
  Env* env = Env::Default();
  std::string drayline, draybase, board;

  bool MakeBoard();
  std::vector<std::string> PostArgs(const char* base_number) const {
    return {drayline, base_number, "Sysop", "All", "Bench_post", "bench.txt"};
  }
  void CountSystemCalls();
  void TimeAndMeasure();
};

bool Bench::MakeBoard() {
  char pattern[] = "/tmp/drayline-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  board = pattern;
  if (RunChild({draybase, "newboard", board}, "/").status != 0) return false;
  std::vector<uint8_t> records(2 * kMessageBaseRecordSize);
  MessageBaseRecord empty, large;
  empty.BaseFileName = "empty";
  large.BaseFileName = "large";
  empty.BasePath = large.BasePath = "msgs/";
  EncodeMessageBaseRecord(empty, records);
  EncodeMessageBaseRecord(large,
                          std::span(records).subspan(kMessageBaseRecordSize));
  const std::string text =
      "A benchmark post.\nIt has a few lines of text,\n\nlike most posts.\n";
  return WriteWholeFile(env, board + "/data/mbases.dat", records) &&
         WriteWholeFile(env, board + "/bench.txt",
                        std::span(reinterpret_cast<const uint8_t*>(text.data()),
                                  text.size())) &&
         BaseWriter(env, board + "/msgs/empty").Write(0) &&
         BaseWriter(env, board + "/msgs/large").Write(kLargeBase);
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
  env->ResetCounters();
  std::ostringstream out;
  std::vector<std::string> post_args = PostArgs("0");
  post_args.erase(post_args.begin());
  RunPostingCommand(post_args, out, env);
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
  bench.draybase = build + "/draybase";
  if (!bench.MakeBoard()) {
    std::cerr << "post_bench: cannot make the benchmark board\n";
    return 1;
  }
  bench.CountSystemCalls();
  bench.TimeAndMeasure();
  std::filesystem::remove_all(bench.board);
  return 0;
}
