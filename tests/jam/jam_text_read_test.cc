// Reading a JAM message's text: bytes, word-wrapped lines, long texts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drayline/message.h"
#include "fault_env.h"
#include "jam/jam_test_files.h"
#include "msgbase/factory.h"
#include "test_util.h"

namespace drayline {
namespace {

using jamtest::JamFiles;
using jamtest::TestMessage;
using Lines = std::vector<std::string>;

class JamTextReadTest : public ::testing::Test {
 protected:
  // Stores the texts as messages 1, 2, ... and opens the base.
  void Store(const std::vector<std::string>& texts) {
    JamFiles files;
    for (const std::string& text : texts) {
      TestMessage m;
      m.text = text;
      files.Add(m);
    }
    files.Write(dir_ / "base");
    base_.SetPath(dir_ / "base");
    ASSERT_TRUE(base_.OpenBase());
  }

  Lines ReadLines(int32_t num, uint16_t width) {
    base_.SeekFirst(num);
    base_.ReadHeader();
    base_.BeginTextRead();
    Lines lines;
    while (!base_.EndOfText() && lines.size() < 10000) lines.push_back(base_.GetTextLine(width));
    return lines;
  }

  Lines LinesOf(const std::string& text, uint16_t width) {
    Store({text});
    return ReadLines(1, width);
  }

  TempDir dir_;
  std::unique_ptr<MessageBase> made_ = NewJamMessageBase();
  MessageBase& base_ = *made_;
};

TEST_F(JamTextReadTest, WrapsAtTheLastSpaceThatFits) {
  const std::string text = "abc hello world xyz there\r";
  EXPECT_EQ(LinesOf(text, 20), (Lines{"abc hello world xyz ", "there"}));
  base_.CloseBase();
  EXPECT_EQ(LinesOf(text, 19), (Lines{"abc hello world ", "xyz there"}));
}

TEST_F(JamTextReadTest, FullLineBeforeItsLineEnd) {
  EXPECT_EQ(LinesOf("ABCDE\rXY\r", 5), (Lines{"ABCDE", "", "XY"}));
  base_.CloseBase();
  EXPECT_EQ(LinesOf("ABCDE\r", 5), (Lines{"ABCDE"}));
}

TEST_F(JamTextReadTest, WordLongerThanTheLineIsCut) {
  const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXY";
  EXPECT_EQ(LinesOf(letters, 10), (Lines{"ABCDEFGHIJ", "KLMNOPQRST", "UVWXY"}));
  base_.CloseBase();
  // The last byte arrives when the line is already full.
  EXPECT_EQ(LinesOf(letters.substr(0, 20), 10), (Lines{"ABCDEFGHIJ", "KLMNOPQRST"}));
}

TEST_F(JamTextReadTest, LastByteWithoutLineEndIsKept) {
  EXPECT_EQ(LinesOf("one\rtwo", 79), (Lines{"one", "two"}));
  base_.CloseBase();
  EXPECT_EQ(LinesOf("x", 79), (Lines{"x"}));
  base_.CloseBase();
  EXPECT_EQ(LinesOf("one\n", 79), (Lines{"one"}));  // a line end is not kept
}

TEST_F(JamTextReadTest, ContinuedLineDropsOneLeadingSpace) {
  EXPECT_EQ(LinesOf("aaaa  bbbb\r", 5), (Lines{"aaaa ", "bbbb"}));
  base_.CloseBase();
  EXPECT_EQ(LinesOf("aaaa   bbbb\r", 5), (Lines{"aaaa ", " bbbb"}));
  base_.CloseBase();
  // A line after a CR keeps its leading spaces.
  EXPECT_EQ(LinesOf("a\r  b\r", 5), (Lines{"a", "  b"}));
}

TEST_F(JamTextReadTest, CrLfReadsLikeCrAndFillerBytesNeverShow) {
  Store({"one\r\ntwo\r\n", "one\rtwo\r", std::string("o\0n\x8d" "e\rtwo\r", 9)});
  EXPECT_EQ(ReadLines(1, 79), (Lines{"one", "two"}));
  EXPECT_EQ(ReadLines(2, 79), (Lines{"one", "two"}));
  EXPECT_EQ(ReadLines(3, 79), (Lines{"one", "two"}));
}

TEST_F(JamTextReadTest, TextsLongerThanTheWindow) {
  std::string text;
  Lines expected;
  for (int i = 0; i < 600; ++i) {
    std::string line = "Line " + std::to_string(i) + " of a long text that goes on";
    expected.push_back(line);
    text += line + "\r";
  }
  ASSERT_GT(text.size(), 4001u * 4);
  Store({"short\r", text, "after\r"});
  EXPECT_EQ(ReadLines(2, 79), expected);
  EXPECT_EQ(ReadLines(1, 79), (Lines{"short"}));
  EXPECT_EQ(ReadLines(3, 79), (Lines{"after"}));

  // Byte by byte, the same bytes.
  base_.SeekFirst(2);
  base_.ReadHeader();
  base_.BeginTextRead();
  std::string bytes;
  while (!base_.EndOfText()) bytes += static_cast<char>(base_.GetChar());
  EXPECT_EQ(bytes, text);
}

TEST_F(JamTextReadTest, AWholeTextWithAFailedReadIsAFailure) {
  // Read whole, a text is taken a window at a time; a window that cannot
  // be read fails the read, as it does byte by byte.
  const std::string text = std::string(9000, 'x') + "\r";
  Store({text});
  FaultEnv env;
  auto faulty = NewJamMessageBase(&env);
  faulty->SetPath(dir_ / "base");
  ASSERT_TRUE(faulty->OpenBase());
  Message m;
  ASSERT_TRUE(MessageIterator(faulty.get(), ReadParts::kWhole, 1).Next(&m));
  EXPECT_EQ(m.text, text);
  env.FailRead(".jdt", io::kDiskWriteError, 1);
  MessageIterator it(faulty.get(), ReadParts::kWhole, 1);
  EXPECT_FALSE(it.Next(&m));
  EXPECT_EQ(it.status().io_result(), io::kDiskWriteError);
}

TEST_F(JamTextReadTest, ATextStoredWhileAWalkGoesOnReadsWhole) {
  // The walk knows the text file's size from its first text; a text that
  // another program stores after it lies past that size and is read whole.
  Store({"first\r"});
  Message m;
  MessageIterator walk(&base_, ReadParts::kWhole, 1);
  ASSERT_TRUE(walk.Next(&m));
  auto other = NewJamMessageBase();
  other->SetPath(dir_ / "base");
  ASSERT_TRUE(other->OpenBase());
  other->StartNewMessage();
  other->SetFrom("A");
  other->SetTo("B");
  other->SetSubject("S");
  other->AddTextLine("second, longer than the first");
  ASSERT_EQ(other->WriteMessage(), 0);
  ASSERT_TRUE(walk.Next(&m));
  EXPECT_EQ(m.text, "second, longer than the first\r");
}

TEST_F(JamTextReadTest, PositionsAndWidths) {
  Store({"hello world\r"});
  base_.SeekFirst(1);
  base_.ReadHeader();
  base_.BeginTextRead();
  const int32_t start = base_.GetTextPosition();
  EXPECT_EQ(base_.GetTextLine(79), "hello world");
  base_.SetTextPosition(start + 6);
  EXPECT_EQ(base_.GetTextLine(79), "world");
  base_.SetTextPosition(-1000);  // before any text: starts at the text
  EXPECT_EQ(base_.GetTextLine(79), "hello world");

  base_.BeginTextRead();
  EXPECT_EQ(base_.GetTextLine(1000), "hello world");  // wider than a line can be
  base_.CloseBase();
  Lines wide = LinesOf(std::string(600, 'x') + "\r", 65535);
  EXPECT_EQ(wide, (Lines{std::string(255, 'x'), std::string(255, 'x'), std::string(90, 'x')}));
}

TEST_F(JamTextReadTest, VisibleLinesSkipControlLines) {
  Store({"\x01MSGID: 1\rwords\r\x01PATH: 1\r"});
  base_.SeekFirst(1);
  base_.ReadHeader();
  base_.BeginTextRead();
  EXPECT_EQ(base_.GetVisibleLine(79), "words");
  EXPECT_EQ(base_.GetVisibleLine(79), "\x01PATH: 1");
  EXPECT_TRUE(base_.EndOfText());
}

TEST_F(JamTextReadTest, ReadingAfterStoringGivesTheStoredTexts) {
  // A text window loaded before a store must not stand for later texts.
  auto made = NewJamMessageBase();
  MessageBase& base = *made;
  base.SetPath(dir_ / "fresh");
  ASSERT_TRUE(base.CreateBase(0, 0));
  ASSERT_TRUE(base.OpenBase());
  for (int i = 1; i <= 3; ++i) {
    base.StartNewMessage();
    base.SetTo("All");
    base.AddTextLine("Text number " + std::to_string(i));
    ASSERT_EQ(base.WriteMessage(), 0);
    for (int j = 1; j <= i; ++j) {
      base.SeekFirst(j);
      base.ReadHeader();
      base.BeginTextRead();
      EXPECT_EQ(base.GetTextLine(79), "Text number " + std::to_string(j));
    }
  }
}

}  // namespace
}  // namespace drayline
