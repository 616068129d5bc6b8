// Helpers shared by the tests: temporary directories, whole-file reads and
// writes, and a clock that tests set.

#ifndef DRAYLINE_TESTS_TEST_UTIL_H_
#define DRAYLINE_TESTS_TEST_UTIL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "support/clock.h"

namespace drayline {

// A fresh directory under $TMPDIR, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

std::vector<uint8_t> ReadFileBytes(const std::string& name);
void WriteFileBytes(const std::string& name, const std::vector<uint8_t>& bytes);
bool PathExists(const std::string& name);
int64_t FileSizeOf(const std::string& name);

// Installs a fixed local time for as long as the object lives.
class FixedClock {
 public:
  explicit FixedClock(const DateTimeRecord& now);
  ~FixedClock();
  static void Set(const DateTimeRecord& now);

 private:
  LocalClock previous_;
};

// Runs a shell command line; returns its exit status and captures stdout.
struct RunResult {
  int status = -1;
  std::string out;
};
RunResult RunCommand(const std::string& command_line,
                     const std::string& cwd = "");
std::string ShellQuote(const std::string& s);

}  // namespace drayline

#endif  // DRAYLINE_TESTS_TEST_UTIL_H_
