// Benchmark of `draybase pack`'s work (the moves alone, without the check
// that comes first) on a JAM base of 1,000,000 messages of which every
// tenth is deleted, against a plain copy of the base's files.
//
//   pack_bench BUILD_DIR
//
// The base is written once with the format codecs and kept under
// BUILD_DIR/pack-bench. Each run copies it afresh (the copy is the
// baseline, timed) and packs the copy in a child process, whose peak
// resident memory is the one reported. One line: the medians and the
// median of the paired ratios (target at most 3 times), and the peak
// memory against 16 MiB + 8 bytes a message.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include "jam/jam_format.h"
#include "msgbase/maintenance_internal.h"
#include "support/coding.h"
#include "support/env.h"

namespace drayline {
namespace {

constexpr uint32_t kMessages = 1000000;
constexpr int kRuns = 3;
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

// The baseline: every file read in large chunks and written to the copy.
void Copy(const std::string& from, const std::string& to) {
  Bytes chunk(size_t{1} << 20);
  for (const char* ext : kExts) {
    std::unique_ptr<File> in, out;
    if (Env::Default()->Open(from + ext, OpenMode::kReadOnly, &in) != io::kOk ||
        Env::Default()->Open(to + ext, OpenMode::kOpenOrCreate, &out) != io::kOk ||
        out->Truncate(0) != io::kOk) {
      Fail("cannot copy " + from + ext);
    }
    for (uint64_t at = 0;; at += chunk.size()) {
      size_t done = 0;
      if (in->Read(at, chunk, &done) != io::kOk) Fail("cannot read " + from + ext);
      if (done > 0 && out->Write(at, std::span(chunk.data(), done)) != io::kOk) {
        Fail("cannot write " + to + ext);
      }
      if (done < chunk.size()) break;
    }
  }
}

double Milliseconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Packs path in a child process; its peak resident memory in KiB.
long PackInChild(const std::string& path) {
  const pid_t pid = fork();
  if (pid == 0) {
    StepLimits limits;
    limits.check_first = false;
    const MaintenanceReport r = PackBase(Env::Default(), path, {}, limits);
    _exit(r.status.ok() && r.kept == kMessages - kMessages / 10 ? 0 : 1);
  }
  struct rusage usage = {};
  int status = 0;
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    Fail("the pack failed");
  }
  return usage.ru_maxrss;
}

}  // namespace
}  // namespace drayline

int main(int argc, char** argv) {
  using namespace drayline;
  const std::string dir = std::string(argc > 1 ? argv[1] : "build") + "/pack-bench";
  std::filesystem::create_directories(dir);
  const std::string pristine = dir + "/pristine", work = dir + "/work";
  if (!std::filesystem::exists(pristine + ".jhr")) MakeBase(pristine);
  std::vector<double> copies, packs, ratios;
  long rss = 0;
  for (int i = 0; i < kRuns; ++i) {
    copies.push_back(Milliseconds([&] { Copy(pristine, work); }));
    packs.push_back(Milliseconds([&] { rss = std::max(rss, PackInChild(work)); }));
    ratios.push_back(packs.back() / copies.back());
  }
  const double limit_mib = 16 + 8.0 * kMessages / (1 << 20);
  std::printf("pack JAM 1,000,000 messages (10%% deleted): median %s ms vs a plain copy %s ms: "
              "%sx (paired median); target <= 3x; peak RSS %s MiB (limit %s MiB)\n",
              bench::Fixed(bench::Median(packs), 1).c_str(),
              bench::Fixed(bench::Median(copies), 1).c_str(),
              bench::Fixed(bench::Median(ratios), 2).c_str(),
              bench::Fixed(rss / 1024.0, 1).c_str(), bench::Fixed(limit_mib, 1).c_str());
  return 0;
}
