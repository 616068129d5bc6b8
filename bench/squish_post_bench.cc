// Benchmark of one post into a Squish base.
//
//   squish_post_bench [BUILD_DIR]
//
// Three bases: an empty one, one of 5,000 messages, and one whose free
// chain holds 500 frames too short for the post (so every post loads the
// whole free list and appends). Workloads, one line each:
//   - file-layer calls of an in-process post into each base;
//   - wall time of an in-process post (construct, open, compose, store,
//     close) into each base, ratios against the empty base;
//   - with the drayline program of BUILD_DIR: the post's own instructions
//     (callgrind: a whole post minus a banner-only run) into the 5,000-
//     message base and into the base with free frames, each against the
//     post into the empty base, beside the same figures of the reference
//     build (bench_util.h ReferenceProgram) as today's; system calls after
//     main starts (strace), wall time of a post into each base against the
//     empty base and against a banner-only run, and peak resident memory
//     against the banner-only run.
// Runs are interleaved in rounds; ratios are medians of the ratios within a
// round. After each post the base is put back as it was.

#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "drayline/board.h"
#include "drayline/message_base.h"
#include "msgbase/factory.h"
#include "squish/squish_format.h"
#include "support/coding.h"
#include "support/env.h"
#include "support/file_access.h"

namespace drayline {
namespace {

using namespace squish;
using bench::CallsByName;
using bench::ChildRun;
using bench::Fixed;
using bench::Median;
using bench::RunChild;
using bench::TraceSystemCalls;

constexpr int kLargeBase = 5000;
constexpr int kFreeFrames = 500;
constexpr int kRounds = 101;
const char* const kBaseNames[] = {"empty", "large", "free"};
const std::vector<std::string> kText = {
    "A benchmark post.", "It has a few lines of text,", "",
    "like most posts."};

// Posts as the posting command does; 0 when stored.
uint16_t PostOnce(Env* env, const std::string& path,
                  const std::vector<std::string>& lines) {
  std::unique_ptr<MessageBase> base = NewSquishMessageBase(env);
  base->SetPath(path);
  if (!base->OpenBase()) return 0xFFFF;
  base->StartNewMessage();
  base->SetLocal(true);
  base->SetDate("12/06/26");
  base->SetTime("01:18");
  base->SetFrom("Sysop");
  base->SetTo("All");
  base->SetSubject("Bench");
  for (const std::string& line : lines) base->AddTextLine(line);
  uint16_t code = base->WriteMessage();
  base->CloseBase();
  base->Done();
  return code;
}

bool SetControlField(Env* env, const std::string& path, size_t offset,
                     int32_t value) {
  uint8_t bytes[4];
  EncodeFixed32Signed(bytes, value);
  return SaveFileAt(env, path + ".sqd", bytes, offset) == io::kOk;
}

// A base of n messages, stored under one lock (the index is written once).
bool MakeBase(Env* env, const std::string& path, int n,
              const std::vector<std::string>& lines) {
  std::unique_ptr<MessageBase> base = NewSquishMessageBase(env);
  base->SetPath(path);
  if (!base->CreateBase(0, 0) || !base->OpenBase() || !base->LockBase()) {
    return false;
  }
  for (int i = 0; i < n; ++i) {
    base->StartNewMessage();
    base->SetTo("All");
    for (const std::string& line : lines) base->AddTextLine(line);
    if (base->WriteMessage() != 0) return false;
  }
  return base->UnlockBase();
}

// 1000 one-character messages, of which the oldest 500 are then freed by
// the maximum-messages rule.
bool MakeFreeChainBase(Env* env, const std::string& path) {
  return MakeBase(env, path, 2 * kFreeFrames, {"x"}) &&
         SetControlField(env, path, kBhMaxMessages, kFreeFrames + 1) &&
         PostOnce(env, path, {"x"}) == 0 &&
         SetControlField(env, path, kBhMaxMessages, 0);
}

// What a post changes, to be put back: the two files' lengths, the control
// record and the last frame's header.
class BaseSnapshot {
 public:
  BaseSnapshot(Env* env, std::string path) : env_(env), path_(std::move(path)) {
    data_size_ = SizeOfFile(env_, path_ + ".sqd");
    index_size_ = SizeOfFile(env_, path_ + ".sqi");
    LoadFile(env_, path_ + ".sqd", header_);
    last_frame_ = DecodeFixed32(&header_[kBhLastFrame]);
    if (last_frame_ != 0) {
      LoadFileAt(env_, path_ + ".sqd", frame_, last_frame_);
    }
  }

  void Restore() {
    Cut(".sqi", index_size_);
    Cut(".sqd", data_size_);
    SaveFile(env_, path_ + ".sqd", header_);
    if (last_frame_ != 0) SaveFileAt(env_, path_ + ".sqd", frame_, last_frame_);
  }

 private:
  void Cut(const char* ext, int64_t size) {
    std::unique_ptr<File> file;
    if (env_->Open(path_ + ext, OpenMode::kReadWrite, &file) == io::kOk) {
      file->Truncate(uint64_t(size));
    }
  }

  Env* env_;
  std::string path_;
  int64_t data_size_ = 0;
  int64_t index_size_ = 0;
  std::array<uint8_t, kBaseHeaderSize> header_{};
  uint32_t last_frame_ = 0;
  std::array<uint8_t, kFrameHeaderSize> frame_{};
};

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now() - start)
      .count();
}

struct Bench {
  Env* env = Env::Default();
  std::string drayline, draybase, board;
  std::vector<std::string> paths;  // empty, large, free
  std::vector<std::unique_ptr<BaseSnapshot>> snapshots;

  bool MakeBoard();
  bool CanRunProgram();
  std::vector<std::string> PostArgs(int record) const {
    return {drayline, std::to_string(record), "Sysop", "All", "Bench_post",
            "bench.txt"};
  }
  void CountFileCalls();
  void TimeInProcess();
  void CountSystemCalls();
  void TimeProgram();
  // The post's own instructions into each base (whole run minus the
  // banner-only run) with program; empty when callgrind cannot count.
  std::vector<double> OwnInstructions(const std::string& program);
  void CountInstructions(const std::string& build);
};

bool Bench::MakeBoard() {
  char pattern[] = "/tmp/drayline-squish-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  board = pattern;
  std::filesystem::create_directories(board + "/msgs");
  for (const char* name : kBaseNames) paths.push_back(board + "/msgs/" + name);
  if (!MakeBase(env, paths[0], 0, {}) ||
      !MakeBase(env, paths[1], kLargeBase, kText) ||
      !MakeFreeChainBase(env, paths[2])) {
    return false;
  }
  for (const std::string& path : paths) {
    snapshots.push_back(std::make_unique<BaseSnapshot>(env, path));
  }
  return true;
}

void Bench::CountFileCalls() {
  std::cout << "squish post: file-layer calls of one in-process post:";
  for (size_t i = 0; i < paths.size(); ++i) {
    env->ResetCounters();
    PostOnce(env, paths[i], kText);
    const IoCounters c = env->Counters();
    snapshots[i]->Restore();
    std::cout << (i ? "; " : " ") << kBaseNames[i] << " " << c.calls()
              << " (opens " << c.opens << ", reads " << c.reads << ", writes "
              << c.writes << ", other " << c.other << ", "
              << c.bytes_read << " bytes read)";
  }
  std::cout << "\n";
}

void Bench::TimeInProcess() {
  std::vector<std::vector<double>> ms(paths.size());
  for (int round = 0; round < kRounds; ++round) {
    for (size_t i = 0; i < paths.size(); ++i) {
      const auto start = std::chrono::steady_clock::now();
      const uint16_t code = PostOnce(env, paths[i], kText);
      ms[i].push_back(MsSince(start));
      snapshots[i]->Restore();
      if (code != 0) {
        std::cout << "squish post: in-process post failed (" << code << ")\n";
        return;
      }
    }
  }
  std::vector<double> large_ratio, free_ratio;
  for (int r = 0; r < kRounds; ++r) {
    large_ratio.push_back(ms[1][r] / ms[0][r]);
    free_ratio.push_back(ms[2][r] / ms[0][r]);
  }
  std::cout << "squish post (in-process): empty base " << Fixed(Median(ms[0]), 3)
            << " ms, " << kLargeBase << "-message base "
            << Fixed(Median(ms[1]), 3) << " ms, " << kFreeFrames
            << " free frames " << Fixed(Median(ms[2]), 3) << " ms (medians of "
            << kRounds << ", library alone); ratio " << kLargeBase
            << "/empty " << Fixed(Median(large_ratio), 2) << ", free/empty "
            << Fixed(Median(free_ratio), 2) << "\n";
}

// The program posts into record 1 of the board; the record names each base
// in turn.
bool Bench::CanRunProgram() {
  if (!env->Exists(drayline) || !env->Exists(draybase)) return false;
  const std::string made = board + "/board";
  if (RunChild({draybase, "newboard", made}, "/").status != 0) return false;
  std::vector<uint8_t> records(3 * kMessageBaseRecordSize);
  for (int i = 0; i < 3; ++i) {
    MessageBaseRecord r;
    r.BaseFileName = kBaseNames[i];
    r.BasePath = "../msgs/";
    r.BaseFormat = kFormatSquish;
    EncodeMessageBaseRecord(
        r, std::span(records).subspan(i * kMessageBaseRecordSize));
  }
  std::string text;
  for (const std::string& line : kText) text += line + "\n";
  board = made;
  return SaveFile(env, board + "/data/mbases.dat", records) == io::kOk &&
         SaveFile(env, board + "/bench.txt",
                  std::span(reinterpret_cast<const uint8_t*>(text.data()),
                            text.size())) == io::kOk &&
         RunChild(PostArgs(0), board).status == 0 &&
         (snapshots[0]->Restore(), true);
}

void Bench::CountSystemCalls() {
  for (size_t i = 0; i < paths.size(); ++i) {
    int total = 0;
    std::map<std::string, int> by_name;
    const bool traced =
        TraceSystemCalls(env, PostArgs(int(i)), board, board + "/strace.log",
                         &total, &by_name);
    snapshots[i]->Restore();
    if (!traced) {
      std::cout << "squish post: strace not installed; see the file-layer "
                   "calls above\n";
      return;
    }
    std::cout << "squish post into the " << kBaseNames[i]
              << " base: system calls after main starts: " << total
              << " (strace: " << CallsByName(by_name) << ")\n";
  }
}

void Bench::TimeProgram() {
  std::vector<double> banner_ms;
  std::vector<std::vector<double>> ms(paths.size());
  long banner_rss = 0, post_rss = 0;
  for (int round = 0; round < kRounds; ++round) {
    ChildRun banner = RunChild({drayline}, board);
    banner_ms.push_back(banner.ms);
    banner_rss = std::max(banner_rss, banner.max_rss_kib);
    for (size_t i = 0; i < paths.size(); ++i) {
      ChildRun run = RunChild(PostArgs(int(i)), board);
      snapshots[i]->Restore();
      if (run.status != 0) {
        std::cout << "squish post: drayline failed (status " << run.status
                  << ")\n";
        return;
      }
      ms[i].push_back(run.ms);
      post_rss = std::max(post_rss, run.max_rss_kib);
    }
  }
  std::vector<double> large_vs_empty, large_vs_banner, free_vs_empty;
  for (int r = 0; r < kRounds; ++r) {
    large_vs_empty.push_back(ms[1][r] / ms[0][r]);
    large_vs_banner.push_back(ms[1][r] / banner_ms[r]);
    free_vs_empty.push_back(ms[2][r] / ms[0][r]);
  }
  std::cout << "squish post (drayline): empty base " << Fixed(Median(ms[0]), 3)
            << " ms, " << kLargeBase << "-message base "
            << Fixed(Median(ms[1]), 3) << " ms, " << kFreeFrames
            << " free frames " << Fixed(Median(ms[2]), 3)
            << " ms; ratio " << kLargeBase << "/empty "
            << Fixed(Median(large_vs_empty), 2)
            << " (target <= 1.50), free/empty " << Fixed(Median(free_vs_empty), 2)
            << "\n";
  std::cout << "squish post vs banner-only run: " << Fixed(Median(ms[1]), 3)
            << " ms / " << Fixed(Median(banner_ms), 3) << " ms; ratio "
            << Fixed(Median(large_vs_banner), 2) << " (target <= 2.00)\n";
  std::cout << bench::PeakRssLine("squish post", post_rss, banner_rss) << "\n";
}

std::vector<double> Bench::OwnInstructions(const std::string& program) {
  const std::string log = board + "/callgrind.log";
  const double banner =
      double(bench::CountInstructions(env, {program}, board, log));
  if (banner == 0) return {};
  std::vector<double> own;
  for (size_t i = 0; i < paths.size(); ++i) {
    std::vector<std::string> args = PostArgs(int(i));
    args[0] = program;
    const double whole = double(bench::CountInstructions(env, args, board, log));
    snapshots[i]->Restore();
    if (whole == 0) return {};
    own.push_back(whole - banner);
  }
  return own;
}

// Instructions are the same on a busy machine: one run of each is a
// measurement.
void Bench::CountInstructions(const std::string& build) {
  const std::vector<double> now = OwnInstructions(drayline);
  if (now.empty()) {
    std::cout << "squish post: valgrind not installed; instruction lines "
                 "skipped\n";
    return;
  }
  const std::string reference = bench::ReferenceProgram(env, build, "drayline");
  const std::vector<double> today =
      reference.empty() ? std::vector<double>{} : OwnInstructions(reference);
  auto ratio_line = [&](const std::string& what, size_t i, const char* target) {
    std::cout << "squish post's own instructions " << what << " vs into an "
              << "empty base: today "
              << (today.empty() ? std::string("(no reference build)")
                                : Fixed(today[i] / today[0], 2) + "x (" +
                                      Fixed(today[i], 0) + " / " +
                                      Fixed(today[0], 0) + ")")
              << " / now " << Fixed(now[i] / now[0], 2) << "x ("
              << Fixed(now[i], 0) << " / " << Fixed(now[0], 0)
              << "); target <= " << target << "\n";
  };
  ratio_line("into " + std::to_string(kLargeBase) + " messages", 1, "1.20x");
  ratio_line("with " + std::to_string(kFreeFrames) + " free frames", 2, "2.00x");
}

}  // namespace
}  // namespace drayline

int main(int argc, char** argv) {
  drayline::Bench bench;
  const std::string build =
      std::filesystem::absolute(argc > 1 ? argv[1] : "build");
  bench.drayline = build + "/drayline";
  bench.draybase = build + "/draybase";
  if (!bench.MakeBoard()) {
    std::cerr << "squish_post_bench: cannot make the benchmark bases\n";
    return 1;
  }
  const std::string root = bench.board;
  bench.CountFileCalls();
  bench.TimeInProcess();
  if (bench.CanRunProgram()) {
    bench.CountInstructions(build);
    bench.CountSystemCalls();
    bench.TimeProgram();
  } else {
    std::cout << "squish post: no drayline that posts into Squish bases in "
              << build << "; program runs skipped\n";
  }
  std::filesystem::remove_all(root);
  return 0;
}
