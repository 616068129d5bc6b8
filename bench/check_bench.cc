// Benchmark of `draybase check`'s work (CheckBase, in-process, warm cache)
// against one read of the base's files.
//
//   check_bench BUILD_DIR
//
// Workloads, one line each: JAM bases of 100,000 and 1,000,000 messages
// (against one read of the .jhr and the .jdx; target at most 12 times) and
// a Squish base of 5,000 messages (against one read of the .sqd and the
// .sqi). The bases are written once, directly with the format codecs, and
// kept under BUILD_DIR/check-bench for the next run. Each run pairs one
// whole read of the files (bench_util.h) with one check; the line gives
// the median of each and the median of the paired ratios.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "drayline/check.h"
#include "jam/jam_format.h"
#include "squish/squish_format.h"
#include "support/coding.h"
#include "support/env.h"

namespace drayline {
namespace {

constexpr int kRuns = 7;
using Bytes = std::vector<uint8_t>;

void Append(Bytes& out, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  out.insert(out.end(), p, p + n);
}

void WriteWhole(const std::string& name, const Bytes& bytes) {
  std::unique_ptr<File> file;
  if (Env::Default()->Open(name, OpenMode::kOpenOrCreate, &file) != io::kOk ||
      file->Truncate(0) != io::kOk || file->Write(0, bytes) != io::kOk) {
    std::fprintf(stderr, "check_bench: cannot write %s\n", name.c_str());
    std::exit(1);
  }
}

void AppendSubfield(Bytes& out, uint16_t kind, const std::string& text) {
  uint8_t head[jam::kSubfieldHeaderSize];
  EncodeFixed16(head, kind);
  EncodeFixed16(head + 2, 0);
  EncodeFixed32(head + 4, static_cast<uint32_t>(text.size()));
  Append(out, head, sizeof head);
  Append(out, text.data(), text.size());
}

// One JAM message as the library stores it: header, index record, text.
void AddJamMessage(uint32_t n, Bytes& jhr, Bytes& jdx, Bytes& jdt) {
  const std::string to = "Reader " + std::to_string(n % 997);
  const std::string text = "Message number " + std::to_string(n) + " of the benchmark.\r";
  Bytes subfields;
  AppendSubfield(subfields, jam::kSfReceiverName, to);
  AppendSubfield(subfields, jam::kSfSenderName, "Writer " + std::to_string(n % 89));
  AppendSubfield(subfields, jam::kSfSubject, "Subject of message " + std::to_string(n));
  uint8_t fixed[jam::kFixedHeaderSize] = {};
  std::memcpy(fixed, "JAM", 4);
  EncodeFixed16(fixed + jam::kMhRevision, 1);
  EncodeFixed32(fixed + jam::kMhSubfieldLen, static_cast<uint32_t>(subfields.size()));
  EncodeFixed32(fixed + jam::kMhMessageNumber, n);
  EncodeFixed32(fixed + jam::kMhAttribute, jam::kAttrLocal | jam::kAttrTypeLocal);
  EncodeFixed32(fixed + jam::kMhTxtOffset, static_cast<uint32_t>(jdt.size()));
  EncodeFixed32(fixed + jam::kMhTxtLen, static_cast<uint32_t>(text.size()));
  uint8_t record[jam::kIndexRecordSize];
  jam::EncodeIndexRecord({jam::NameChecksum(to), static_cast<uint32_t>(jhr.size())},
                         record);
  Append(jdx, record, sizeof record);
  Append(jhr, fixed, sizeof fixed);
  Append(jhr, subfields.data(), subfields.size());
  Append(jdt, text.data(), text.size());
}

void MakeJamBase(const std::string& path, uint32_t messages) {
  Bytes jhr(jam::kBaseHeaderSize, 0), jdx, jdt;
  std::memcpy(jhr.data(), "JAM", 4);
  EncodeFixed32(jhr.data() + jam::kBhActiveMsgs, messages);
  EncodeFixed32(jhr.data() + jam::kBhModCounter, messages);
  EncodeFixed32(jhr.data() + jam::kBhPasswordCrc, jam::kNoCrc);
  EncodeFixed32(jhr.data() + jam::kBhBaseMsgNum, 1);
  for (uint32_t n = 1; n <= messages; ++n) AddJamMessage(n, jhr, jdx, jdt);
  WriteWhole(path + ".jdx", jdx);
  WriteWhole(path + ".jdt", jdt);
  WriteWhole(path + ".jlr", {});
  WriteWhole(path + ".jhr", jhr);  // last: its presence says the base is whole
}

// Appends message n's frame after the frame at prev (0: none), linked to
// the next one unless it is the last, and its index entry.
void AddSquishMessage(int32_t n, bool last, int32_t prev, Bytes& sqd, Bytes& sqi) {
  const std::string text =
      "Message number " + std::to_string(n) + ".\r" + std::string(1, '\0');
  const int32_t at = static_cast<int32_t>(sqd.size());
  const int32_t length = squish::kMessageHeaderSize + static_cast<int32_t>(text.size());
  squish::SquishFrameHeader frame;
  frame.FrameId = squish::kFrameId;
  frame.PrevFrame = prev;
  frame.NextFrame = last ? 0 : at + squish::kFrameHeaderSize + length;
  frame.FrameLength = frame.MessageLength = length;
  squish::SquishMessageHeader header;
  header.Attributes = squish::kAttrLocal;
  std::memcpy(header.ToName.data(), "All", 3);
  sqd.resize(sqd.size() + squish::kFrameHeaderSize + squish::kMessageHeaderSize);
  squish::EncodeFrameHeader(frame, sqd.data() + at);
  squish::EncodeMessageHeader(header, sqd.data() + at + squish::kFrameHeaderSize);
  Append(sqd, text.data(), text.size());
  uint8_t entry[squish::kIndexEntrySize];
  squish::EncodeIndexEntry({at, n, squish::NameHash("All")}, entry);
  Append(sqi, entry, sizeof entry);
}

// A Squish base of messages frames chained in order, each indexed.
void MakeSquishBase(const std::string& path, int32_t messages) {
  Bytes sqd(squish::kBaseHeaderSize, 0), sqi;
  int32_t prev = 0;
  for (int32_t n = 1; n <= messages; ++n) {
    const int32_t at = static_cast<int32_t>(sqd.size());
    AddSquishMessage(n, n == messages, prev, sqd, sqi);
    prev = at;
  }
  squish::SquishBaseHeader control;
  control.HeaderLength = squish::kBaseHeaderSize;
  control.MessageCount = control.HighMessage = messages;
  control.NextUid = messages + 1;
  control.FirstFrame = messages > 0 ? squish::kBaseHeaderSize : 0;
  control.LastFrame = prev;
  control.EndFrame = static_cast<int32_t>(sqd.size());
  control.FrameHeaderSize = squish::kFrameHeaderSize;
  squish::EncodeBaseHeader(control, sqd.data());
  WriteWhole(path + ".sqi", sqi);
  WriteWhole(path + ".sql", {});
  WriteWhole(path + ".sqd", sqd);
}

double Milliseconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                   start)
      .count();
}

struct Workload {
  const char* name;
  std::string path;
  std::vector<std::string> read;  // the files of the baseline read
  int64_t messages;
  double target;  // 0: none
};

// kRuns paired runs (after one of each to warm the cache): the medians
// of the whole read, of the check and of their ratios.
bool Measure(const Workload& w) {
  std::vector<bench::WholeFileRead> files(w.read.size());
  for (size_t i = 0; i < files.size(); ++i) {
    if (!files[i].Open(w.path + w.read[i])) return false;
  }
  bool ok = true;
  const auto read_all = [&] {
    for (bench::WholeFileRead& f : files) ok &= f.Read();
  };
  const auto check = [&] {
    const CheckReport r = CheckBase(w.path);
    ok &= r.sound() && r.messages == w.messages;
  };
  read_all();
  check();
  std::vector<double> reads, checks, ratios;
  for (int i = 0; ok && i < kRuns; ++i) {
    reads.push_back(Milliseconds(read_all));
    checks.push_back(Milliseconds(check));
    ratios.push_back(checks.back() / reads.back());
  }
  if (!ok) return false;
  std::string files_read;
  for (const std::string& ext : w.read)
    files_read += (files_read.empty() ? "" : "+") + ext;
  const std::string target =
      w.target > 0 ? "target <= " + bench::Fixed(w.target, 0) + "x" : "no target";
  std::printf("check %s: median %s ms vs one read of %s %s ms: %sx (paired median); %s\n",
              w.name, bench::Fixed(bench::Median(checks), 1).c_str(), files_read.c_str(),
              bench::Fixed(bench::Median(reads), 1).c_str(),
              bench::Fixed(bench::Median(ratios), 2).c_str(), target.c_str());
  return true;
}

}  // namespace
}  // namespace drayline

int main(int argc, char** argv) {
  using namespace drayline;
  namespace fs = std::filesystem;
  const std::string dir = std::string(argc > 1 ? argv[1] : ".") + "/check-bench";
  std::error_code error;
  fs::create_directories(dir, error);
  const std::vector<Workload> workloads = {
      {"JAM 100,000 messages", dir + "/jam100k", {".jhr", ".jdx"}, 100000, 12},
      {"JAM 1,000,000 messages", dir + "/jam1m", {".jhr", ".jdx"}, 1000000, 12},
      {"Squish 5,000 messages", dir + "/squish5k", {".sqd", ".sqi"}, 5000, 0},
  };
  int status = 0;
  for (const Workload& w : workloads) {
    if (!fs::exists(w.path + w.read[0])) {
      if (w.read[0] == ".jhr") {
        MakeJamBase(w.path, static_cast<uint32_t>(w.messages));
      } else {
        MakeSquishBase(w.path, static_cast<int32_t>(w.messages));
      }
    }
    if (!Measure(w)) {
      std::printf("check %s: FAILED (the base did not check sound)\n", w.name);
      status = 1;
    }
  }
  return status;
}
