// End to end through the real programs: messages posted with drayline into
// a board made by draybase newboard are what draybase list, show, mail,
// delete and lastread show, plain and --json.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e_board.h"
#include "support/clock.h"
#include "support/dates.h"

namespace drayline {
namespace {

class DraybasePostedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    before_ = UnixToDateTime(NowUnix());
    board_.WriteText("welcome.txt", "Welcome to the board!\n\nA second paragraph.\n");
    board_.WriteText("note.txt", "Just a note.\n");
    for (const std::vector<std::string>& post :
         std::vector<std::vector<std::string>>{{"0", "Sysop", "All", "Welcome", "welcome.txt"},
                                               {"0", "Ann", "Sysop", "A_note", "note.txt"},
                                               {"0", "Bob", "sysop", "Hi_there", "note.txt"}}) {
      RunResult r = board_.Post(post);
      ASSERT_EQ(r.status, 0) << r.out;
    }
    after_ = UnixToDateTime(NowUnix());
  }

  RunResult Draybase(const std::string& args) const {
    return RunCommand(ShellQuote(DRAYBASE_BIN) + " " + args + " 2>/dev/null", board_.root());
  }

  // The date and time texts a message posted during SetUp reads with.
  bool PostedAt(const std::string& date, const std::string& time) const {
    for (const DateTimeRecord& t : {before_, after_}) {
      const std::string d = TwoDigitText(t.Month) + "-" + TwoDigitText(t.Day) + "-" +
                            TwoDigitText(t.Year % 100);
      if (date == d && time == TwoDigitText(t.Hour) + ":" + TwoDigitText(t.Minute)) return true;
    }
    return false;
  }

  E2eBoard board_;
  DateTimeRecord before_, after_;
};

TEST_F(DraybasePostedTest, ListShowsWhatWasPosted) {
  RunResult list = Draybase("list msgs/general");
  ASSERT_EQ(list.status, 0);
  std::vector<std::string> lines;
  for (size_t at = 0; at < list.out.size();) {
    const size_t end = list.out.find('\n', at);
    lines.push_back(list.out.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(lines.size(), 4u) << list.out;
  EXPECT_EQ(lines[0].substr(0, 24), "Num  Date     Time   Fro");
  EXPECT_TRUE(PostedAt(lines[1].substr(5, 8), lines[1].substr(14, 5))) << lines[1];
  // Number, then (after the date and time) names in 20 columns, the
  // subject in 34, the letters.
  auto row = [](const std::string& n, std::string from, std::string to, std::string subject) {
    from.resize(20, ' ');
    to.resize(20, ' ');
    subject.resize(34, ' ');
    return "  " + n + "    " + from + "  " + to + "  " + subject + "  L";
  };
  EXPECT_EQ(lines[1].substr(0, 5) + lines[1].substr(19), row("1", "Sysop", "All", "Welcome"));
  EXPECT_EQ(lines[2].substr(0, 5) + lines[2].substr(19), row("2", "Ann", "Sysop", "A note"));
  EXPECT_EQ(lines[3].substr(0, 5) + lines[3].substr(19), row("3", "Bob", "sysop", "Hi there"));

  RunResult json = Draybase("list msgs/general --json");
  ASSERT_EQ(json.status, 0);
  EXPECT_NE(json.out.find(R"({"number": 2, "from": "Ann", "to": "Sysop", "subject": "A note", )"
                          R"("date": ")"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find(R"("local": true, "private": false, "received": false, )"
                          R"("deleted": false, "length": 13})"),
            std::string::npos)
      << json.out;
}

TEST_F(DraybasePostedTest, ShowGivesTheTextLineByLine) {
  RunResult show = Draybase("show msgs/general 1");
  ASSERT_EQ(show.status, 0);
  const std::string head = "Message: 1\nFrom:    Sysop\nTo:      All\nSubject: Welcome\nDate:    ";
  ASSERT_EQ(show.out.substr(0, head.size()), head);
  EXPECT_TRUE(PostedAt(show.out.substr(head.size(), 8), show.out.substr(head.size() + 9, 5)));
  EXPECT_EQ(show.out.substr(head.size() + 14),
            "\nAttr:    L\nLength:  43\n\nWelcome to the board!\n\nA second paragraph.\n");
  RunResult json = Draybase("show msgs/general 1 --json --width 12");
  ASSERT_EQ(json.status, 0);
  EXPECT_NE(json.out.find(R"("lines": [)" "\n"
                          R"(  "Welcome to ",)" "\n" R"(  "the board!",)" "\n"
                          R"(  "",)" "\n" R"(  "A second ",)" "\n" R"(  "paragraph.")" "\n]}\n"),
            std::string::npos)
      << json.out;
}

TEST_F(DraybasePostedTest, MailDeleteAndLastRead) {
  EXPECT_EQ(Draybase("mail msgs/general Sysop --json").out, "[\n  2,\n  3\n]\n");
  RunResult deleted = Draybase("delete msgs/general 2 --json");
  ASSERT_EQ(deleted.status, 0);
  EXPECT_EQ(deleted.out, "{\"deleted\": 2}\n");
  EXPECT_EQ(Draybase("mail msgs/general Sysop --json").out, "[\n  3\n]\n");
  EXPECT_EQ(Draybase("list msgs/general").out.find("\n  2 "), std::string::npos);
  EXPECT_EQ(Draybase("show msgs/general 2").status, 2);

  EXPECT_EQ(Draybase("lastread msgs/general 1 --json").out, "{\"user\": 1, \"lastread\": 0}\n");
  EXPECT_EQ(Draybase("lastread msgs/general 1 3").out, "User 1 last read set to 3\n");
  EXPECT_EQ(Draybase("lastread msgs/general 1 --json").out, "{\"user\": 1, \"lastread\": 3}\n");

  // Posting goes on after the changes, and the new message reads back.
  ASSERT_EQ(board_.Post({"0", "Cy", "Sysop", "Later", "note.txt"}).status, 0);
  EXPECT_EQ(Draybase("mail msgs/general Sysop --json").out, "[\n  3,\n  4\n]\n");
}

}  // namespace
}  // namespace drayline
