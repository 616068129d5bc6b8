// Benchmark of `draybase pack` on a JAM base of 1,000,000 messages of
// which every tenth is deleted, against `cp` of the base's files.
//
//   pack_bench BUILD_DIR
//
// The base is written once with the format codecs and kept under
// BUILD_DIR/pack-bench. Each round copies it afresh with cp (the baseline,
// timed) and packs the copy with this build's draybase, then does the same
// with the reference build's draybase (today's figure), each in a child
// process whose wall time and peak resident memory are taken. The first
// round also compares the two packed bases byte for byte. One line: the
// median pack of today and now over the median copy (target at most 3
// times), and the peak memory of both against 16 MiB + 8 bytes a message.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "jam/jam_format.h"
#include "support/coding.h"
#include "support/env.h"

namespace drayline {
namespace {

constexpr uint32_t kMessages = 1000000;
constexpr int kRuns = 5;
constexpr size_t kBufferSize = size_t{1} << 20;
const char* const kExts[] = {".jhr", ".jdt", ".jdx", ".jlr"};
using Bytes = std::vector<uint8_t>;

void Append(Bytes& out, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  out.insert(out.end(), p, p + n);
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "pack_bench: %s\n", what.c_str());
  std::exit(1);
}

void WriteWhole(const std::string& name, const Bytes& bytes) {
  std::unique_ptr<File> file;
  if (Env::Default()->Open(name, OpenMode::kOpenOrCreate, &file) != io::kOk ||
      file->Truncate(0) != io::kOk || file->Write(0, bytes) != io::kOk) {
    Fail("cannot write " + name);
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

// Message n as the library stores it; every tenth deleted as a delete
// leaves it (header bit, index record unused).
void AddMessage(uint32_t n, Bytes& jhr, Bytes& jdx, Bytes& jdt) {
  const bool deleted = n % 10 == 0;
  const std::string to = "Reader " + std::to_string(n % 997);
  const std::string text = "Message number " + std::to_string(n) + " of the pack benchmark, "
                           "with a line or two of text.\rAnd a second line.\r";
  Bytes subfields;
  AppendSubfield(subfields, jam::kSfReceiverName, to);
  AppendSubfield(subfields, jam::kSfSenderName, "Writer " + std::to_string(n % 89));
  AppendSubfield(subfields, jam::kSfSubject, "Subject of message " + std::to_string(n));
  uint8_t fixed[jam::kFixedHeaderSize] = {};
  std::memcpy(fixed, "JAM", 4);
  EncodeFixed16(fixed + jam::kMhRevision, 1);
  EncodeFixed32(fixed + jam::kMhSubfieldLen, static_cast<uint32_t>(subfields.size()));
  EncodeFixed32(fixed + jam::kMhMessageNumber, n);
  EncodeFixed32(fixed + jam::kMhAttribute,
                jam::kAttrLocal | jam::kAttrTypeLocal | (deleted ? jam::kAttrDeleted : 0));
  EncodeFixed32(fixed + jam::kMhTxtOffset, static_cast<uint32_t>(jdt.size()));
  EncodeFixed32(fixed + jam::kMhTxtLen, static_cast<uint32_t>(text.size()));
  uint8_t record[jam::kIndexRecordSize];
  jam::EncodeIndexRecord(deleted ? jam::IndexRecord{jam::kNoCrc, jam::kNoCrc}
                                 : jam::IndexRecord{jam::NameChecksum(to),
                                                    static_cast<uint32_t>(jhr.size())},
                         record);
  Append(jdx, record, sizeof record);
  Append(jhr, fixed, sizeof fixed);
  Append(jhr, subfields.data(), subfields.size());
  Append(jdt, text.data(), text.size());
}

void MakeBase(const std::string& path) {
  Bytes jhr(jam::kBaseHeaderSize, 0), jdx, jdt;
  std::memcpy(jhr.data(), "JAM", 4);
  EncodeFixed32(jhr.data() + jam::kBhActiveMsgs, kMessages - kMessages / 10);
  EncodeFixed32(jhr.data() + jam::kBhModCounter, kMessages);
  EncodeFixed32(jhr.data() + jam::kBhPasswordCrc, jam::kNoCrc);
  EncodeFixed32(jhr.data() + jam::kBhBaseMsgNum, 1);
  for (uint32_t n = 1; n <= kMessages; ++n) AddMessage(n, jhr, jdx, jdt);
  WriteWhole(path + ".jdx", jdx);
  WriteWhole(path + ".jdt", jdt);
  WriteWhole(path + ".jlr", {});
  WriteWhole(path + ".jhr", jhr);  // last: its presence says the base is whole
}

// The base's files copied with cp; the run's wall time.
double CopyWithCp(const std::string& cp, const std::string& from, const std::string& to) {
  std::vector<std::string> argv = {cp};
  for (const char* ext : kExts) argv.push_back(from + ext);
  argv.push_back(to);
  const bench::ChildRun run = bench::RunChild(argv, ".");
  if (run.status != 0) Fail("cp failed");
  for (const char* ext : kExts) {
    std::filesystem::rename(to + "/" + std::filesystem::path(from + ext).filename().string(),
                            to + "/b" + ext);
  }
  return run.ms;
}

bench::ChildRun Pack(const std::string& draybase, const std::string& base) {
  const bench::ChildRun run = bench::RunChild({draybase, "pack", base}, ".");
  if (run.status != 0) Fail(draybase + " pack failed");
  return run;
}

// How two packed bases differ: "" when they hold the same bytes, else
// where they differ first. The base header's ModCounter counts the steps,
// so it is told apart from the messages.
std::string Difference(const std::string& a, const std::string& b) {
  std::string found;
  for (const char* ext : kExts) {
    std::unique_ptr<File> x, y;
    if (Env::Default()->Open(a + ext, OpenMode::kReadOnly, &x) != io::kOk ||
        Env::Default()->Open(b + ext, OpenMode::kReadOnly, &y) != io::kOk) {
      return std::string("no ") + ext;
    }
    Bytes bx(kBufferSize), by(kBufferSize);
    for (uint64_t at = 0;; at += kBufferSize) {
      size_t nx = 0, ny = 0;
      if (x->Read(at, bx, &nx) != io::kOk || y->Read(at, by, &ny) != io::kOk || nx != ny) {
        return std::string("the sizes of ") + ext;
      }
      for (size_t i = 0; i < nx; ++i) {
        if (bx[i] == by[i]) continue;
        const bool counter = std::string(ext) == ".jhr" && at + i >= jam::kBhModCounter &&
                             at + i < jam::kBhModCounter + 4;
        if (!counter) return std::string(ext) + " at " + std::to_string(at + i);
        found = "the ModCounter";
      }
      if (nx < kBufferSize) break;
    }
  }
  return found;
}

// One program's runs. The ratio is of the medians: the copies are short
// and vary more than the packs, so each pack is set against them all.
struct Figures {
  std::vector<double> ms;
  long rss_kib = 0;
  void Add(const bench::ChildRun& run) {
    ms.push_back(run.ms);
    rss_kib = std::max(rss_kib, run.max_rss_kib);
  }
  std::string Line(double copy_ms) const {
    const double median = bench::Median(ms);
    return bench::Fixed(median / copy_ms, 2) + "x (" + bench::Fixed(median, 0) +
           " ms, peak RSS " + bench::Fixed(rss_kib / 1024.0, 1) + " MiB)";
  }
};

}  // namespace
}  // namespace drayline

int main(int argc, char** argv) {
  using namespace drayline;
  const std::string build = argc > 1 ? argv[1] : "build";
  const std::string dir = build + "/pack-bench";
  std::filesystem::create_directories(dir + "/now");
  std::filesystem::create_directories(dir + "/today");
  const std::string pristine = dir + "/pristine";
  if (!std::filesystem::exists(pristine + ".jhr")) {
    MakeBase(pristine);
    bench::StartAfresh(argv);
  }
  const std::string cp = bench::FindProgram(Env::Default(), "cp");
  const std::string now = build + "/draybase";
  const std::string today = bench::ReferenceProgram(Env::Default(), build, "draybase");
  if (cp.empty() || !Env::Default()->Exists(now)) Fail("cp or " + now + " is missing");
  std::vector<double> copies;
  Figures ours, theirs;
  std::string difference;
  for (int i = 0; i < kRuns; ++i) {
    copies.push_back(CopyWithCp(cp, pristine, dir + "/now"));
    ours.Add(Pack(now, dir + "/now/b"));
    if (today.empty()) continue;
    copies.push_back(CopyWithCp(cp, pristine, dir + "/today"));
    theirs.Add(Pack(today, dir + "/today/b"));
    if (i == 0) difference = Difference(dir + "/now/b", dir + "/today/b");
  }
  const double limit_mib = 16 + 8.0 * kMessages / (1 << 20);
  const double copy_ms = bench::Median(copies);
  std::printf("pack JAM 1,000,000 messages (10%% deleted), draybase pack vs cp of its files "
              "(%s ms): today %s, now %s; target <= 3x and peak RSS <= %s MiB; "
              "packed files %s\n",
              bench::Fixed(copy_ms, 0).c_str(),
              today.empty() ? "(no reference build)" : theirs.Line(copy_ms).c_str(),
              ours.Line(copy_ms).c_str(), bench::Fixed(limit_mib, 1).c_str(),
              difference.empty() ? "as today's"
              : difference == "the ModCounter"
                  ? "as today's but for the ModCounter (a count of steps)"
                  : ("DIFFER from today's: " + difference).c_str());
  const bool messages_differ = !difference.empty() && difference != "the ModCounter";
  return messages_differ ? 1 : 0;
}
