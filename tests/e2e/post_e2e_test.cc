// drayline run as a sysop runs it: refusals, the command line, the text
// file, and how a base record marks the message.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "e2e/e2e_board.h"
#include "e2e/jam_files.h"
#include "jam/jam_format.h"
#include "post/test_board.h"

namespace drayline {
namespace {

using Args = std::vector<std::string>;

// The base's messages, decoded from its files (none when it has no files).
std::vector<StoredJamMessage> Messages(const std::string& base_path) {
  if (!PathExists(base_path + ".jhr")) return {};
  StoredJamBase base;
  EXPECT_TRUE(LoadJamBase(base_path, &base));
  return base.messages;
}

void ExpectRefused(const E2eBoard& board, const Args& args,
                   const std::string& line) {
  RunResult r = board.Post(args);
  EXPECT_EQ(r.status, 0) << line;
  EXPECT_EQ(r.out, std::string(kBanner) + line + "\n");
}

TEST(PostE2e, EveryRefusalPrintsItsLineExitsZeroAndTouchesNoBase) {
  E2eBoard board;
  board.WriteText("hello.txt", "Hello\n");
  const Args post = {"0", "Sysop", "All", "Hi", "hello.txt"};

  // Outside the board's root, even with wrong arguments.
  RunResult r = RunCommand(E2eBoard::PostCommand({}), board / "msgs");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(kBanner) +
                       "DRAYLINE must be ran from your root TRVK directory!\n");

  ExpectRefused(board, {"0", "Sysop", "All", "Hi"},
                "Usage: DRAYLINE.EXE  [base #]  [from]  [to]  [subj]  [text "
                "file name]");
  ExpectRefused(board, {"0", "Sysop", "All", "Hi", "nothing.txt"},
                "Unable to open text file: nothing.txt");
  ExpectRefused(board, {"0", "Sysop", "All", "Hi", "msgs"},
                "Unable to open text file: msgs");  // a directory
  for (const char* bad : {"2", "3", "-1", "99999"}) {
    ExpectRefused(board, {bad, "Sysop", "All", "Hi", "hello.txt"},
                  std::string("Invalid base number: ") + bad);
  }
  EXPECT_TRUE(Messages(board.Base()).empty());
  EXPECT_FALSE(PathExists(board.Base() + ".jhr"));

  // A base that cannot be created where its record says.
  MessageBaseRecord nowhere = JamBaseRecord("general");
  nowhere.BasePath = "no/such/dir/";
  WriteBaseRecords(board / "data/mbases.dat",
                   {nowhere, JamBaseRecord("net", kNetMail)});
  ExpectRefused(board, post, "Unable to open/create message base.");
  ExpectRefused(board, {"1", "Sysop", "All", "Hi", "hello.txt"},
                "DRAYLINE does not support netmail posts.");
  EXPECT_FALSE(PathExists(board.Base("net") + ".jhr"));

  std::remove((board / "data/mbases.dat").c_str());
  ExpectRefused(board, post, "Unable to locate message base definitions.");
}

TEST(PostE2e, StopsNonZeroOnRuntimeErrorsAndUnknownFormats) {
  E2eBoard board;
  board.WriteText("hello.txt", "Hello\n");
  MessageBaseRecord odd = JamBaseRecord("odd");
  odd.BaseFormat = 9;
  WriteBaseRecords(board / "data/mbases.dat", {odd});
  RunResult r = board.Post({"0", "Sysop", "All", "Hi", "hello.txt"});
  EXPECT_EQ(r.status, 78);
  EXPECT_EQ(r.out, std::string(kBanner) +
                       "Unknown message base format 9 in mbases.dat.\n");
  EXPECT_FALSE(PathExists(board.Base("odd") + ".jhr"));

  std::vector<uint8_t> system = ReadFileBytes(board / "tarvik.dat");
  system.resize(kSystemConfigRecordSize - 1);
  WriteFileBytes(board / "tarvik.dat", system);
  r = board.Post({"0", "Sysop", "All", "Hi", "hello.txt"});
  EXPECT_EQ(r.status, 100);
  EXPECT_EQ(r.out, std::string(kBanner) +
                       "Runtime error 100 while reading tarvik.dat.\n");
}

TEST(PostE2e, BaseNumberChoosesTheRecord) {
  E2eBoard board;
  board.WriteText("t.txt", "x\n");
  WriteBaseRecords(board / "data/mbases.dat",
                   {JamBaseRecord("zero"), JamBaseRecord("one"),
                    JamBaseRecord("two")});
  for (const char* arg : {"abc", "5x", "0", " 2 ", "  1", "2  "}) {
    RunResult r = board.Post({arg, "a", "b", "c", "t.txt"});
    EXPECT_EQ(r.status, 0) << arg;
    EXPECT_EQ(r.out, std::string(kBanner) + "Posting message ... DONE\n");
  }
  EXPECT_EQ(Messages(board.Base("zero")).size(), 3u);
  EXPECT_EQ(Messages(board.Base("one")).size(), 1u);
  EXPECT_EQ(Messages(board.Base("two")).size(), 2u);
  // The record count and anything beyond, or below 0, is refused.
  for (const char* bad : {"3", "4", "-1", "+3"}) {
    ExpectRefused(board, {bad, "a", "b", "c", "t.txt"},
                  std::string("Invalid base number: ") + bad);
  }
}

TEST(PostE2e, NamesTextAndLineEnds) {
  E2eBoard board;
  std::string text;
  for (int i = 1; i <= 250; ++i) text += "line " + std::to_string(i) + "\n";
  text.replace(0, 6, std::string(300, 'w'));  // a first line of 300 chars
  board.WriteText("long_text.txt", text);
  board.WriteText("crlf.txt", "one\r\n\r\nthree\r\nno end");
  RunResult r = board.Post(
      {"0", "Board_Operator", "___", "A_long_text", "long_text.txt"});
  EXPECT_EQ(r.out, std::string(kBanner) + "Posting message ... DONE\n");
  r = board.Post({"0", "a", "b", "c", "crlf.txt"});
  EXPECT_EQ(r.status, 0);
  // An empty file name reads standard input.
  r = board.Post({"0", "a", "b", "from stdin", ""}, " < crlf.txt");
  EXPECT_EQ(r.out, std::string(kBanner) + "Posting message ... DONE\n");

  std::vector<StoredJamMessage> m = Messages(board.Base());
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].Subfield(jam::kSfSenderName), "Board Operator");
  EXPECT_EQ(m[0].Subfield(jam::kSfReceiverName), "   ");
  EXPECT_EQ(m[0].Subfield(jam::kSfSubject), "A long text");
  std::string expected = std::string(78, 'w') + "\r";
  for (int i = 2; i <= 200; ++i) expected += "line " + std::to_string(i) + "\r";
  EXPECT_EQ(m[0].text, expected);
  EXPECT_EQ(m[1].text, "one\r\rthree\rno end\r");
  EXPECT_EQ(m[2].text, m[1].text);
  EXPECT_EQ(m[2].Subfield(jam::kSfSubject), "from stdin");
}

TEST(PostE2e, BaseRecordMarksTheMessage) {
  E2eBoard board;
  board.WriteText("t.txt", "x\n");
  const struct {
    uint8_t net_type, post_type;
    uint32_t attribute;
  } cases[] = {
      {kNetLocal, 0, jam::kAttrLocal | jam::kAttrTypeLocal},
      {kNetEcho, 1, jam::kAttrLocal | jam::kAttrPrivate | jam::kAttrTypeEcho},
      {kNetEchoOther, 2, jam::kAttrLocal | jam::kAttrTypeEcho},
      // No SetMailType: the base's own setting (local) stands.
      {4, 0, jam::kAttrLocal | jam::kAttrTypeLocal},
  };
  std::vector<MessageBaseRecord> records;
  for (const auto& c : cases) {
    records.push_back(JamBaseRecord("b" + std::to_string(records.size()),
                                    c.net_type, c.post_type));
  }
  WriteBaseRecords(board / "data/mbases.dat", records);
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(board.Post({std::to_string(i), "a", "b", "c", "t.txt"}).status,
              0);
    std::vector<StoredJamMessage> m = Messages(board.Base(records[i].BaseFileName));
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].Field(jam::kMhAttribute), cases[i].attribute) << i;
  }
}

}  // namespace
}  // namespace drayline
