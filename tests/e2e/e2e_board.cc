#include "e2e/e2e_board.h"

#include <gtest/gtest.h>

#include "support/env.h"

namespace drayline {

const char kBanner[] =
    "\nDRAYLINE v1.2 - posts a text file into a message base\n\n"
    "Compatible with Tarvik BBS v1.07.2\n\n";

E2eBoard::E2eBoard() {
  RunResult made = RunCommand(ShellQuote(DRAYBASE_BIN) + " newboard " +
                              ShellQuote(dir_.path()));
  EXPECT_EQ(made.status, 0) << made.out;
}

void E2eBoard::WriteText(const std::string& name,
                         const std::string& text) const {
  WriteFileBytes(dir_ / name, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string E2eBoard::PostCommand(const std::vector<std::string>& args) {
  std::string line = ShellQuote(DRAYLINE_BIN);
  for (const std::string& arg : args) line += " " + ShellQuote(arg);
  return line;
}

RunResult E2eBoard::Post(const std::vector<std::string>& args,
                         const std::string& shell_tail) const {
  return RunCommand(PostCommand(args) + shell_tail, dir_.path());
}

UnixTime NowUnix() {
  return PackedToUnix(CurrentPackedDateTime(Env::Default()));
}

}  // namespace drayline
