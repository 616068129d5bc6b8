// Helpers shared by the tests: temporary directories, whole-file reads and
// writes, and an Env whose clock the test sets.

#ifndef DRAYLINE_TESTS_TEST_UTIL_H_
#define DRAYLINE_TESTS_TEST_UTIL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "support/clock.h"
#include "support/env.h"

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
// The extensions of the files of a base of format: the header or data file
// first, then the index, then the rest.
const std::vector<std::string>& BaseExtensions(BaseFormat format);
int64_t FileSizeOf(const std::string& name);

// An Env whose clock shows the time the test sets; every other call goes
// to target (which must outlive it). Pass it to the code under test, or
// wrap it (FaultEnv) to inject failures as well.
class ClockEnv final : public EnvWrapper {
 public:
  explicit ClockEnv(const DateTimeRecord& now, Env* target = Env::Default())
      : EnvWrapper(target), now_(now) {}
  void Set(const DateTimeRecord& now) { now_ = now; }
  DateTimeRecord LocalNow() override { return now_; }

 private:
  DateTimeRecord now_;
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
