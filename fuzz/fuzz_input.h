// What the fuzz targets share: taking a fuzzer's input apart into the
// numbers and file contents of a message base, and a scratch directory to
// write those files into.
//
// A new format's target (say fuzz/squish_fuzz.cc) takes its files from a
// FuzzInput, writes them with FuzzDir::WriteFile, opens the base and calls
// ReadEveryMessage (read_every_message.h).

#ifndef DRAYLINE_FUZZ_FUZZ_INPUT_H_
#define DRAYLINE_FUZZ_FUZZ_INPUT_H_

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "support/env.h"

namespace drayline {

// Reads the input front to back; past its end every value is 0 and every
// piece empty, so any input is a valid one.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : rest_(data, size) {}

  uint8_t U8() { return static_cast<uint8_t>(Number(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Number(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Number(4)); }
  // The next n bytes (fewer at the end of the input).
  std::span<const uint8_t> Bytes(size_t n) {
    n = std::min(n, rest_.size());
    std::span<const uint8_t> piece = rest_.first(n);
    rest_ = rest_.subspan(n);
    return piece;
  }
  std::span<const uint8_t> Rest() { return Bytes(rest_.size()); }

 private:
  uint64_t Number(size_t bytes) {
    uint64_t value = 0;
    std::span<const uint8_t> piece = Bytes(bytes);
    for (size_t i = 0; i < piece.size(); ++i) value |= uint64_t{piece[i]} << (8 * i);
    return value;
  }
  std::span<const uint8_t> rest_;
};

// A directory made once per fuzzing process, removed at its end; its
// files are replaced for every input.
class FuzzDir {
 public:
  FuzzDir() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/drayline-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();  // no place to work: stop
    path_ = pattern;
  }
  ~FuzzDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  FuzzDir(const FuzzDir&) = delete;
  FuzzDir& operator=(const FuzzDir&) = delete;
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // Makes name hold exactly bytes.
  void WriteFile(const std::string& name, std::span<const uint8_t> bytes) const {
    std::unique_ptr<File> file;
    Env* env = Env::Default();
    if (env->Open(*this / name, OpenMode::kOpenOrCreate, &file) != io::kOk) abort();
    file->Truncate(0);
    if (!bytes.empty()) file->Write(0, bytes);
  }

 private:
  std::string path_;
};

}  // namespace drayline

#endif  // DRAYLINE_FUZZ_FUZZ_INPUT_H_
