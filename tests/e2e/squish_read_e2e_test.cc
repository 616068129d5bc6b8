// End to end through the real programs on a Squish base (record 1 of the
// sample board, msgs/chatter): what drayline posts is what draybase list,
// show, mail, delete and lastread show, plain and --json, with the same
// exit statuses as on a JAM base; damaged files never crash draybase.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e_board.h"
#include "squish/squish_format.h"
#include "squish/squish_test_util.h"
#include "support/clock.h"
#include "support/coding.h"
#include "support/dates.h"
#include "support/env.h"

namespace drayline {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

class SquishDraybaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    before_ = UnixToDateTime(NowUnix());
    board_.WriteText("welcome.txt", "Welcome to the board!\n\nA second paragraph.\n");
    board_.WriteText("note.txt", "Just a note.\n");
    for (const std::vector<std::string>& post : std::vector<std::vector<std::string>>{
             {"1", "Sysop", "All", "Welcome", "welcome.txt"},
             {"1", "Ann", "Sysop", "A_note", "note.txt"},
             {"1", "Bob", "sysop", "Hi_there", "note.txt"}}) {
      RunResult r = board_.Post(post);
      ASSERT_EQ(r.status, 0) << r.out;
    }
    after_ = UnixToDateTime(NowUnix());
  }

  RunResult Draybase(const std::string& args) const {
    return RunCommand(ShellQuote(DRAYBASE_BIN) + " " + args + " 2>/dev/null",
                      board_.root());
  }

  // Date and time texts of a message posted during SetUp: the posting
  // command stores whole minutes, and draybase shows month/day/year.
  bool PostedAt(const std::string& date, const std::string& time) const {
    for (const DateTimeRecord& t : {before_, after_}) {
      if (date == TwoDigitText(t.Month) + "/" + TwoDigitText(t.Day) + "/" +
                      TwoDigitText(t.Year % 100) &&
          time == TwoDigitText(t.Hour) + ":" + TwoDigitText(t.Minute) + ":00") {
        return true;
      }
    }
    return false;
  }

  std::string Base() const { return board_.Base("chatter"); }

  E2eBoard board_;
  DateTimeRecord before_, after_;
};

TEST_F(SquishDraybaseTest, ListShowsWhatWasPosted) {
  RunResult list = Draybase("list msgs/chatter");
  ASSERT_EQ(list.status, 0);
  std::vector<std::string> lines = SplitLines(list.out);
  ASSERT_EQ(lines.size(), 4u) << list.out;
  // Columns line up: every field starts where its heading does.
  const size_t from_at = lines[0].find("From");
  const size_t subject_at = lines[0].find("Subject");
  ASSERT_NE(from_at, std::string::npos);
  const std::vector<std::vector<std::string>> want = {
      {"1", "Sysop", "Welcome"}, {"2", "Ann", "A note"}, {"3", "Bob", "Hi there"}};
  for (size_t i = 0; i < want.size(); ++i) {
    const std::string& line = lines[i + 1];
    EXPECT_EQ(line.substr(0, 3), "  " + want[i][0]) << line;
    EXPECT_TRUE(PostedAt(line.substr(5, 8), line.substr(14, 8))) << line;
    EXPECT_EQ(line.substr(from_at, want[i][1].size()), want[i][1]) << list.out;
    EXPECT_EQ(line.substr(subject_at, want[i][2].size()), want[i][2]) << list.out;
    EXPECT_EQ(line.back(), 'L');
  }

  RunResult json = Draybase("list msgs/chatter --json");
  ASSERT_EQ(json.status, 0);
  EXPECT_NE(json.out.find(R"({"number": 2, "from": "Ann", "to": "Sysop", )"
                          R"("subject": "A note", "date": ")"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find(R"("local": true, "private": false, "received": false, )"
                          R"("deleted": false, "length": 13})"),
            std::string::npos)
      << json.out;
}

TEST_F(SquishDraybaseTest, ShowGivesTheTextLineByLine) {
  RunResult show = Draybase("show msgs/chatter 1");
  ASSERT_EQ(show.status, 0);
  const std::string head =
      "Message: 1\nFrom:    Sysop\nTo:      All\nSubject: Welcome\nDate:    ";
  ASSERT_EQ(show.out.substr(0, head.size()), head) << show.out;
  EXPECT_TRUE(PostedAt(show.out.substr(head.size(), 8),
                       show.out.substr(head.size() + 9, 8)))
      << show.out;
  EXPECT_EQ(show.out.substr(head.size() + 17),
            "\nAttr:    L\nLength:  43\n\nWelcome to the board!\n\nA second "
            "paragraph.\n");
  RunResult json = Draybase("show msgs/chatter 1 --json --width 12");
  ASSERT_EQ(json.status, 0);
  EXPECT_NE(json.out.find(R"("lines": [)" "\n"
                          R"(  "Welcome to ",)" "\n" R"(  "the board!",)" "\n"
                          R"(  "",)" "\n" R"(  "A second ",)" "\n"
                          R"(  "paragraph.")" "\n]}\n"),
            std::string::npos)
      << json.out;
}

TEST_F(SquishDraybaseTest, MailDeleteAndLastRead) {
  EXPECT_EQ(Draybase("mail msgs/chatter SYSOP --json").out, "[\n  2,\n  3\n]\n");
  EXPECT_EQ(Draybase("mail msgs/chatter Nobody ann --json").out, "[]\n");
  RunResult deleted = Draybase("delete msgs/chatter 2 --json");
  ASSERT_EQ(deleted.status, 0);
  EXPECT_EQ(deleted.out, "{\"deleted\": 2}\n");
  EXPECT_EQ(Draybase("mail msgs/chatter Sysop --json").out, "[\n  3\n]\n");
  EXPECT_EQ(Draybase("list msgs/chatter").out.find("\n  2 "), std::string::npos);
  EXPECT_EQ(Draybase("show msgs/chatter 2").status, 2);
  EXPECT_EQ(Draybase("delete msgs/chatter 2").status, 2);
  BaseContents contents = ReadBase(Base());
  EXPECT_EQ(contents.error, "");
  EXPECT_EQ(contents.free_frames.size(), 1u);

  EXPECT_EQ(Draybase("lastread msgs/chatter 2 --json").out,
            "{\"user\": 2, \"lastread\": 0}\n");
  EXPECT_EQ(Draybase("lastread msgs/chatter 2 3").out, "User 2 last read set to 3\n");
  EXPECT_EQ(Draybase("lastread msgs/chatter 2 --json").out,
            "{\"user\": 2, \"lastread\": 3}\n");
  EXPECT_EQ(ReadFileBytes(Base() + ".sql"), (Bytes{0, 0, 0, 0, 3, 0, 0, 0}));

  // A later, smaller post goes into the freed frame and reads back.
  board_.WriteText("ok.txt", "Ok.\n");
  ASSERT_EQ(board_.Post({"1", "Cy", "Sysop", "Later", "ok.txt"}).status, 0);
  EXPECT_EQ(Draybase("mail msgs/chatter Sysop --json").out, "[\n  3,\n  4\n]\n");
  contents = ReadBase(Base());
  EXPECT_EQ(contents.error, "");
  EXPECT_EQ(contents.free_frames.size(), 0u);
  EXPECT_NE(Draybase("show msgs/chatter 4").out.find("\n\nOk.\n"), std::string::npos);
}

TEST_F(SquishDraybaseTest, UsageErrorsAndFailures) {
  EXPECT_EQ(Draybase("show msgs/chatter 9").status, 2);
  EXPECT_EQ(Draybase("show msgs/chatter 1 --width 0").status, 2);
  EXPECT_EQ(Draybase("lastread msgs/chatter 0").status, 2);
  RunResult missing = Draybase("list msgs/nothing --json");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.out, "");
  // A base whose index cannot be opened is a failure, not a usage error.
  ASSERT_EQ(Env::Default()->Remove(Base() + ".sqi"), 0);
  RunResult failed = Draybase("list msgs/chatter --json");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "");
}

TEST_F(SquishDraybaseTest, DeleteThatCannotTakeTheLockIsAFailure) {
  // Hold the lock on byte 0 of the data file, as a busy writer would.
  std::unique_ptr<File> holder;
  ASSERT_EQ(Env::Default()->Open(Base() + ".sqd", OpenMode::kReadWrite, &holder), 0);
  ASSERT_EQ(holder->Lock(0, 1), 0);
  RunResult r = Draybase("delete msgs/chatter 2 --json");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  holder.reset();
  EXPECT_EQ(Draybase("show msgs/chatter 2").status, 0);  // still there
}

TEST_F(SquishDraybaseTest, DamagedFilesNeverCrashDraybase) {
  const Bytes sqd = ReadFileBytes(Base() + ".sqd");
  const Bytes sqi = ReadFileBytes(Base() + ".sqi");
  const std::vector<std::string> commands = {
      "list msgs/chatter --json", "show msgs/chatter 1 --json",
      "show msgs/chatter 3", "mail msgs/chatter Sysop All --json",
      "delete msgs/chatter 3 --json"};
  // Damage spread over control record, frame headers, message headers and
  // texts; the index pointed into the middle of a frame and past the end.
  for (size_t at = 0; at < sqd.size(); at += 37) {
    Bytes damaged = sqd;
    damaged[at] ^= 0xFF;
    damaged[(at * 7) % sqd.size()] = 0x7F;
    WriteFileBytes(Base() + ".sqd", damaged);
    Bytes index = sqi;
    EncodeFixed32(index.data() + 12, uint32_t(at * 13));
    WriteFileBytes(Base() + ".sqi", index);
    for (const std::string& command : commands) {
      RunResult r = Draybase(command);
      EXPECT_LE(r.status, 2) << command << " with byte " << at << " damaged";
    }
  }
  // Truncated files.
  for (size_t length : {size_t{0}, size_t{100}, size_t{300}, sqd.size() - 5}) {
    WriteFileBytes(Base() + ".sqd", Bytes(sqd.begin(), sqd.begin() + length));
    WriteFileBytes(Base() + ".sqi", Bytes(sqi.begin(), sqi.begin() + 17));
    for (const std::string& command : commands) {
      EXPECT_LE(Draybase(command).status, 2) << command << " cut at " << length;
    }
  }
}

}  // namespace
}  // namespace drayline
