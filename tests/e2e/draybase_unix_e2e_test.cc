// The programs as tools of a Unix shell: --help and --version, option
// syntax, failed writes to standard output, and stored 8-bit text shown to
// a reader as UTF-8 (names, subjects and text, plain and --json).

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "drayline/charset.h"
#include "drayline/version.h"
#include "e2e/e2e_board.h"

namespace drayline {
namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs shell_line (which names the programs through $DRAYBASE and
// $DRAYLINE) in dir, standard error kept apart.
Outcome Shell(const std::string& shell_line, const std::string& dir) {
  const std::string err = dir + "/stderr";
  RunResult r = RunCommand("DRAYBASE=" + ShellQuote(DRAYBASE_BIN) + " DRAYLINE=" +
                               ShellQuote(DRAYLINE_BIN) + " bash -c " +
                               ShellQuote(shell_line) + " 2>" + ShellQuote(err),
                           dir);
  const std::vector<uint8_t> bytes = ReadFileBytes(err);
  return {r.status, r.out, std::string(bytes.begin(), bytes.end())};
}

// --help and --version answer on standard output with status 0, and read
// nothing: they run in an empty directory, where drayline finds no board.
TEST(UnixToolE2e, HelpAndVersion) {
  TempDir empty;
  const std::string version(kVersion);
  const std::string posting_usage =
      "Usage: DRAYLINE.EXE  [base #]  [from]  [to]  [subj]  [text file name]\n";
  struct Case {
    std::string line;
    int status;
    std::string out_start;  // the start of standard output
    bool err_empty;
  } cases[] = {
      {"$DRAYBASE --help", 0, "usage: draybase COMMAND ARGS...\n", true},
      {"$DRAYBASE help", 0, "usage: draybase COMMAND ARGS...\n", true},
      {"$DRAYBASE show --help", 0, "usage: draybase show BASE NUM [--width W]", true},
      {"$DRAYBASE list x --json --help", 0, "usage: draybase list BASE", true},
      {"$DRAYBASE --version", 0, "draybase " + version + "\n", true},
      {"$DRAYBASE", 2, "", false},
      {"$DRAYBASE frobnicate", 2, "", false},
      // After "--" it is a base's name, and there is no such base.
      {"$DRAYBASE list -- --help", 2, "", false},
      {"$DRAYLINE --help", 0, std::string(kBanner) + posting_usage, true},
      {"$DRAYLINE --version", 0, std::string(kBanner) + "drayline " + version + "\n", true},
      // Not alone: an argument list as any other, which needs the board.
      {"$DRAYLINE --help 1 2 3 4", 0,
       std::string(kBanner) + "DRAYLINE must be ran from your root TRVK directory!\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Outcome o = Shell(c.line, empty.path());
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_EQ(o.out.substr(0, c.out_start.size()), c.out_start);
    if (c.out_start.empty()) {
      EXPECT_EQ(o.out, "");
    }
    EXPECT_EQ(o.err.empty(), c.err_empty) << o.err;
  }
  // drayline's answers are whole: nothing after the line.
  EXPECT_EQ(Shell("$DRAYLINE --version", empty.path()).out,
            std::string(kBanner) + "drayline " + version + "\n");
}

// Neither program starts the C++ stream library: its set-up (and the
// relocations it brings) costs a short run such as a mail check more than
// the run's own work. One file that includes <iostream> brings it back.
TEST(UnixToolE2e, ProgramsStartWithoutTheStreamLibrary) {
  const std::string init = "_ZNSt8ios_base4InitC1Ev";
  for (const char* program : {DRAYBASE_BIN, DRAYLINE_BIN}) {
    const std::vector<uint8_t> bytes = ReadFileBytes(program);
    EXPECT_EQ(std::search(bytes.begin(), bytes.end(), init.begin(), init.end()), bytes.end())
        << program;
  }
}

class UnixBoardTest : public ::testing::Test {
 protected:
  Outcome Run(const std::string& shell_line) const { return Shell(shell_line, board_.root()); }
  void Post(const std::string& base, const std::string& subject, const std::string& text) {
    board_.WriteText("t.txt", text);
    RunResult r = board_.Post({base, "Sysop", "All", subject, "t.txt"});
    ASSERT_EQ(r.status, 0) << r.out;
  }
  E2eBoard board_;
};

TEST_F(UnixBoardTest, OptionsTakeTheirValueEitherWayAndDashDashEndsThem) {
  Post("0", "Hello", "one two three four five\n");
  const Outcome spaced = Run("$DRAYBASE show msgs/general 1 --width 10 --charset cp437");
  ASSERT_EQ(spaced.status, 0) << spaced.err;
  for (const std::string line :
       {"$DRAYBASE show msgs/general 1 --width=10 --charset=cp437",
        "$DRAYBASE show --width=10 -- msgs/general 1",
        "$DRAYBASE show msgs/general --charset CP437 --width=10 -- 1"}) {
    SCOPED_TRACE(line);
    const Outcome o = Run(line);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, spaced.out);
  }
  // A base whose name looks like an option is reached after "--".
  ASSERT_EQ(Run("cp msgs/general.jhr ./--odd.jhr && cp msgs/general.jdt ./--odd.jdt && "
                "cp msgs/general.jdx ./--odd.jdx")
                .status,
            0);
  EXPECT_EQ(Run("$DRAYBASE list -- --odd").out, Run("$DRAYBASE list msgs/general").out);
  for (const std::string line :
       {"$DRAYBASE list --odd", "$DRAYBASE show msgs/general 1 --width=",
        "$DRAYBASE show msgs/general 1 --width", "$DRAYBASE list msgs/general --charset=EBCDIC",
        "$DRAYBASE delete msgs/general 1 --charset=cp437"}) {
    SCOPED_TRACE(line);
    const Outcome o = Run(line);
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err, "");
  }
  const Outcome checked = Run("$DRAYBASE check -- --json");
  EXPECT_EQ(checked.status, 1);
  EXPECT_EQ(checked.out.substr(0, 25), "--json: cannot be checked");
}

// A failed write to standard output is said and fails the command; a
// reader that went away ends it quietly.
TEST_F(UnixBoardTest, WriteErrorsOnStandardOutput) {
  Post("0", "Hello", "text\n");
  struct Case {
    std::string redirection;
    std::string reason;
  } cases[] = {{"> /dev/full", "No space left on device"}, {">&-", "Bad file descriptor"}};
  for (const Case& c : cases) {
    for (const std::string command : {"list msgs/general", "show msgs/general 1 --json",
                                       "--help", "--version"}) {
      SCOPED_TRACE(command + " " + c.redirection);
      const Outcome o = Run("$DRAYBASE " + command + " " + c.redirection);
      EXPECT_EQ(o.status, 1);
      EXPECT_EQ(o.err, "draybase: write error: " + c.reason + "\n");
    }
  }
  const Outcome piped =
      Run("{ sleep 0.3; $DRAYBASE list msgs/general 2>quiet.txt; } | true; cat quiet.txt");
  EXPECT_EQ(piped.out, "");
  EXPECT_EQ(piped.err, "");
}

// Stored 8-bit text as a reader expects it, the same in both formats.
class UnixTextTest : public UnixBoardTest,
                     public ::testing::WithParamInterface<const char*> {
 protected:
  std::string Base() const { return GetParam() == std::string("0") ? "msgs/general" : "msgs/chatter"; }
  Outcome Draybase(const std::string& args) const { return Run("$DRAYBASE " + args); }
};

TEST_P(UnixTextTest, EightBitTextIsShownAsUtf8) {
  // CP437 by default: 0x82 is é, 0xC9 0xCD 0xBB a box's top.
  Post(GetParam(), "Caf\x82", "caf\x82 \xc9\xcd\xbb\n");
  // The text names its set in a CHRS control line: UTF-8 (whose "э" holds
  // byte 141, which the library's line reader takes for a soft return).
  Post(GetParam(), "\xd0\xad\xd1\x85\xd0\xbe",
       "\x01" "CHRS: UTF-8 4\n"
       "\xd1\x8d\xd1\x85\xd0\xbe \xd1\x8d\xd1\x85\xd0\xbe \xd1\x8d\xd1\x85\xd0\xbe "
       "\xd1\x8d\xd1\x85\xd0\xbe \xd1\x8d\xd1\x85\xd0\xbe \xd1\x8d\xd1\x85\xd0\xbe\n");
  const std::string echo = "эхо";
  struct Case {
    std::string args;
    std::vector<std::string> wanted;  // each somewhere in standard output
  } cases[] = {
      {"list " + Base() + " --json", {R"("subject": "Café")", R"("subject": "Эхо")"}},
      {"show " + Base() + " 1 --json", {R"("subject": "Café")", R"("café ╔═╗")"}},
      {"show " + Base() + " 2 --json --width=20",
       {R"("subject": "Эхо")", "\"\\u0001CHRS: UTF-8 4\",",
        "\"" + echo + " " + echo + " " + echo + " " + echo + " " + echo + " \",",
        "\"" + echo + "\"\n]}"}},
      {"show " + Base() + " 1", {"Subject: Café\n", "\ncafé ╔═╗\n"}},
      {"list " + Base() + " --json --charset raw", {R"("subject": "Caf\u0082")"}},
      {"show " + Base() + " 1 --json --charset=latin-1", {"\"caf\xc2\x82 ÉÍ»\""}},
      {"show " + Base() + " 2 --charset raw", {"Subject: \xd0\xad\xd1\x85\xd0\xbe\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome o = Draybase(c.args);
    ASSERT_EQ(o.status, 0) << o.err;
    for (const std::string& wanted : c.wanted) {
      EXPECT_NE(o.out.find(wanted), std::string::npos) << wanted << "\n" << o.out;
    }
  }
  // list pads by characters: every message's attributes start in one
  // column, however many bytes its subject takes.
  const Outcome list = Draybase("list " + Base());
  std::vector<size_t> attribute_columns;
  for (size_t at = list.out.find('\n') + 1; at < list.out.size();) {
    const size_t end = list.out.find('\n', at);
    attribute_columns.push_back(Utf8Length(list.out.substr(at, end - at)));
    at = end + 1;
  }
  EXPECT_EQ(attribute_columns, std::vector<size_t>(2, attribute_columns.at(0))) << list.out;
}

TEST_P(UnixTextTest, JsonGivesWrittenAndProcessedTimes) {
  Post(GetParam(), "Hello", "text\n");
  const std::regex times(
      R"re("time": "[^"]*", ("written": "\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d", )re"
      R"re("processed": "\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d"), "local")re");
  std::smatch in_list, in_show;
  const Outcome list = Draybase("list " + Base() + " --json");
  const Outcome show = Draybase("show " + Base() + " 1 --json");
  ASSERT_TRUE(std::regex_search(list.out, in_list, times)) << list.out;
  ASSERT_TRUE(std::regex_search(show.out, in_show, times)) << show.out;
  EXPECT_EQ(in_list[1], in_show[1]);
  // The write time is the one the base's date text shows (MM-DD-YY; a
  // Squish base writes MM/DD/YY).
  std::string date = show.out.substr(show.out.find("\"date\": \"") + 9, 8);
  std::replace(date.begin(), date.end(), '/', '-');
  const std::string written = in_show[1].str().substr(12, 10);  // YYYY-MM-DD
  EXPECT_EQ(written.substr(5, 2) + "-" + written.substr(8, 2) + "-" + written.substr(2, 2), date);
}

INSTANTIATE_TEST_SUITE_P(BothFormats, UnixTextTest, ::testing::Values("0", "1"),
                         [](const auto& info) {
                           return std::string(info.param) == "0" ? "Jam" : "Squish";
                         });

}  // namespace
}  // namespace drayline
