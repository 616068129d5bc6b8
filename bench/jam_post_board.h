// A board for the benchmarks that post with drayline: JAM bases written
// straight into their files (bench_bases.h), and a snapshot that puts a
// base back after each post so that every run meets the same base.

#ifndef DRAYLINE_BENCH_JAM_POST_BOARD_H_
#define DRAYLINE_BENCH_JAM_POST_BOARD_H_

#include <stdlib.h>

#include <array>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench_bases.h"
#include "drayline/board.h"
#include "jam/jam_format.h"
#include "support/env.h"
#include "support/file_access.h"

namespace drayline::bench {

inline bool WriteWholeFile(Env* env, const std::string& name,
                           std::span<const uint8_t> bytes) {
  env->Remove(name);
  return SaveFile(env, name, bytes) == io::kOk;
}

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

// A new board in a fresh directory under /tmp (its name in *board): base
// record i is the JAM base msgs/<bases[i].first> of bases[i].second
// messages (WriteJamBenchBase), and bench.txt is a post of a few lines.
inline bool MakeJamPostBoard(
    Env* env, const std::vector<std::pair<std::string, uint32_t>>& bases,
    std::string* board) {
  char pattern[] = "/tmp/drayline-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  *board = pattern;
  SystemConfigRecord system;
  system.DataPath = "data/";
  std::vector<MessageBaseRecord> records;
  for (const auto& [name, n] : bases) {
    MessageBaseRecord r;
    r.BaseFileName = name;
    r.BasePath = "msgs/";
    records.push_back(r);
  }
  if (!CreateBoard(*board, system, records).ok()) return false;
  for (const auto& [name, n] : bases) {
    if (!WriteJamBenchBase(env, *board + "/msgs/" + name, n)) return false;
  }
  const std::string_view text =
      "A benchmark post.\nIt has a few lines of text,\n\nlike most posts.\n";
  return WriteWholeFile(env, *board + "/bench.txt",
                        std::span(reinterpret_cast<const uint8_t*>(text.data()),
                                  text.size()));
}

}  // namespace drayline::bench

#endif  // DRAYLINE_BENCH_JAM_POST_BOARD_H_
