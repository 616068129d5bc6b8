// End-to-end tests run the real programs, as a sysop would, in a board
// made by `draybase newboard` in a fresh temporary directory.

#ifndef DRAYLINE_TESTS_E2E_E2E_BOARD_H_
#define DRAYLINE_TESTS_E2E_E2E_BOARD_H_

#include <string>
#include <vector>

#include "support/dates.h"
#include "test_util.h"

namespace drayline {

class E2eBoard {
 public:
  E2eBoard();

  const std::string& root() const { return dir_.path(); }
  std::string operator/(const std::string& name) const { return dir_ / name; }
  // The path of a base of the board, without extension.
  std::string Base(const std::string& name = "general") const {
    return dir_ / ("msgs/" + name);
  }
  void WriteText(const std::string& name, const std::string& text) const;

  // The shell command that runs drayline with args (each quoted).
  static std::string PostCommand(const std::vector<std::string>& args);
  // Runs drayline with args in the board's root; shell_tail is appended to
  // the command line (a redirection, for instance).
  RunResult Post(const std::vector<std::string>& args,
                 const std::string& shell_tail = "") const;

 private:
  TempDir dir_;
};

// The banner every run of drayline starts with.
extern const char kBanner[];

// The local time now, as the stamps of a JAM base count it (even seconds).
UnixTime NowUnix();

}  // namespace drayline

#endif  // DRAYLINE_TESTS_E2E_E2E_BOARD_H_
