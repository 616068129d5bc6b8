// Reading a Squish base: the cursor over the index, headers and getters,
// and the text by characters and by wrapped lines.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "squish/squish_image.h"
#include "drayline/message.h"
#include "msgbase/factory.h"
#include "squish/squish_test_util.h"
#include "test_util.h"

namespace drayline {
namespace {

using namespace squish;

class SquishReadTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_ / "general"; }

  // Lays out a base and opens it.
  std::unique_ptr<MessageBase> OpenImage(
      const std::vector<ImageMessage>& messages) {
    SquishImage(messages).Save(path_);
    auto base = NewSquishMessageBase(&clock_);
    base->SetPath(path_);
    EXPECT_TRUE(base->OpenBase());
    return base;
  }

  // The lines GetTextLine(width) gives for the message at the cursor.
  static std::vector<std::string> Lines(MessageBase& base, uint16_t width) {
    std::vector<std::string> lines;
    base.ReadHeader();
    base.BeginTextRead();
    while (!base.EndOfText() && lines.size() < 100) {
      lines.push_back(base.GetTextLine(width));
    }
    return lines;
  }

  std::vector<std::string> LinesOf(const std::string& text, uint16_t width) {
    auto base = OpenImage({TextMessage(1, text)});
    base->SeekFirst(1);
    return Lines(*base, width);
  }

  ClockEnv clock_{{2026, 12, 6, 1, 18, 30}};
  TempDir dir_;
  std::string path_;
};

TEST_F(SquishReadTest, CursorWalksUniqueNumbersWithGaps) {
  auto base = OpenImage(
      {TextMessage(1, "a"), TextMessage(2, "b"), TextMessage(5, "c")});
  EXPECT_EQ(base->GetHighMsgNum(), 5);

  base->SeekFirst(3);
  EXPECT_TRUE(base->SeekFound());
  EXPECT_EQ(base->GetMsgNum(), 5);
  EXPECT_EQ(base->GetMsgDisplayNum(), 3);  // its position in the index
  EXPECT_EQ(base->GetMsgLoc(), 5);

  base->SeekFirst(6);
  EXPECT_FALSE(base->SeekFound());
  EXPECT_EQ(base->GetMsgNum(), -1);

  std::vector<int32_t> seen;
  for (base->SeekFirst(0); base->SeekFound(); base->SeekNext()) {
    seen.push_back(base->GetMsgNum());
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 2, 5}));

  // Moving on past the end many times never wraps; one step back is the
  // last message again.
  for (int i = 0; i < 70000; ++i) base->SeekNext();
  EXPECT_FALSE(base->SeekFound());
  base->SeekPrior();
  EXPECT_EQ(base->GetMsgNum(), 5);
  base->SeekPrior();
  EXPECT_EQ(base->GetMsgNum(), 2);
  base->SeekPrior();
  EXPECT_EQ(base->GetMsgNum(), 1);
  base->SeekPrior();
  EXPECT_FALSE(base->SeekFound());
  EXPECT_EQ(base->GetMsgNum(), -1);
  base->SeekPrior();
  EXPECT_EQ(base->GetMsgDisplayNum(), 0);

  base->SetMsgLoc(2);
  EXPECT_EQ(base->GetMsgNum(), 2);
  EXPECT_EQ(base->GetHighActiveMsgNum(), 5);
}

TEST_F(SquishReadTest, EmptyBaseHasNoMessageUnderTheCursor) {
  auto base = OpenImage({});
  base->SeekFirst(1);
  EXPECT_FALSE(base->SeekFound());
  EXPECT_EQ(base->GetHighMsgNum(), 0);
  EXPECT_EQ(base->GetHighActiveMsgNum(), 0);
  // Off a message, ReadHeader leaves the object as it was.
  base->ReadHeader();
  base->BeginTextRead();
  EXPECT_TRUE(base->EndOfText());
  EXPECT_EQ(base->GetChar(), 0);
  EXPECT_EQ(base->GetTextLength(), 0);
}

TEST_F(SquishReadTest, ReadsBackThePostedExample) {
  auto owned = NewSquishMessageBase(&clock_);
  MessageBase& base = *owned;
  ASSERT_TRUE(OpenOrCreate(base, path_));
  base.StartNewMessage();
  base.SetLocal(true);
  base.SetPrivate(true);
  base.SetDate("12/06/26");
  base.SetTime("01:18");
  base.SetFrom("Sysop");
  base.SetTo("All");
  base.SetSubject("Greeting");
  base.AddTextLine("Hi");
  ASSERT_EQ(base.WriteMessage(), 0);
  base.CloseBase();

  auto owned_reader = NewSquishMessageBase(&clock_);
  MessageBase& reader = *owned_reader;
  reader.SetPath(path_);
  ASSERT_TRUE(reader.OpenBase());
  reader.SeekFirst(1);
  ASSERT_TRUE(reader.SeekFound());
  reader.ReadHeader();
  EXPECT_EQ(reader.GetFrom(), "Sysop");
  EXPECT_EQ(reader.GetTo(), "All");
  EXPECT_EQ(reader.GetSubject(), "Greeting");
  EXPECT_TRUE(reader.IsLocal());
  EXPECT_TRUE(reader.IsPrivate());
  EXPECT_FALSE(reader.IsReceived());
  EXPECT_FALSE(reader.IsDeleted());
  EXPECT_TRUE(reader.IsEchoed());
  EXPECT_EQ(reader.GetCost(), 0);
  EXPECT_EQ(reader.GetTextLength(), 3);

  // Dates come in the object's date style; with none set, no text.
  reader.SetDateStyle(DateStyle::kNone);
  EXPECT_EQ(reader.GetDate(), "");
  reader.SetDateStyle(DateStyle::kMonthDayYear);
  EXPECT_EQ(reader.GetDate(), "12/06/26");
  reader.SetDateStyle(DateStyle::kDayMonthYear);
  EXPECT_EQ(reader.GetDate(), "06/12/26");
  reader.SetDateStyle(DateStyle::kNone);
  EXPECT_EQ(reader.GetTime(), "01:18:00");
  Status status;
  std::unique_ptr<Base> facade = Base::Open(path_, &status);
  ASSERT_NE(facade, nullptr) << status.text();
  Message message;
  ASSERT_TRUE(facade->Read(1, &message).ok());
  EXPECT_EQ(message.written, (LocalDateTime{2026, 12, 6, 1, 18, 0}));
  EXPECT_EQ(message.processed, (LocalDateTime{2026, 12, 6, 1, 18, 30}));

  reader.BeginTextRead();
  EXPECT_FALSE(reader.EndOfText());
  EXPECT_EQ(reader.GetChar(), 'H');
  EXPECT_EQ(reader.GetChar(), 'i');
  EXPECT_EQ(reader.GetChar(), 13);
  EXPECT_TRUE(reader.EndOfText());
  EXPECT_EQ(reader.GetChar(), 0);
  EXPECT_EQ(reader.GetChar(), 0);
}

TEST_F(SquishReadTest, HeaderFieldsAndAttributes) {
  ImageMessage m = TextMessage(9, "x");
  m.from = "A sender name of thirty-four chars";  // 34: the most stored
  m.subject = std::string(71, 's');
  m.attributes = kAttrCrash | kAttrReceived | kAttrSent | kAttrFileAttach |
                 kAttrKillSent | kAttrFileRequest | kAttrReceiptRequest |
                 kAttrIsReceipt | kAttrConfirmRequest | kAttrNotEchoed;
  auto base = OpenImage({m});
  base->SeekFirst(1);
  base->ReadHeader();
  EXPECT_EQ(base->GetFrom(), m.from);
  EXPECT_EQ(base->GetSubject(), m.subject);
  EXPECT_FALSE(base->IsLocal());
  EXPECT_FALSE(base->IsPrivate());
  EXPECT_TRUE(base->IsCrash() && base->IsReceived() && base->IsSent() &&
              base->IsFileAttach() && base->IsKillSent() &&
              base->IsFileRequest() && base->IsReceiptRequest() &&
              base->IsReceipt() && base->IsConfirmRequest());
  EXPECT_FALSE(base->IsEchoed());
}

TEST_F(SquishReadTest, TextLinesWrapAtTheLastSpace) {
  EXPECT_EQ(LinesOf("abc defg\rhij", 5),
            (std::vector<std::string>{"abc ", "defg", "hij"}));
  // The continued line drops one leading space, and only one.
  EXPECT_EQ(LinesOf("abcde fgh", 5), (std::vector<std::string>{"abcde", "fgh"}));
  EXPECT_EQ(LinesOf("abcde  fgh", 5),
            (std::vector<std::string>{"abcde", " fgh"}));
  EXPECT_EQ(LinesOf("abcdefgh", 4), (std::vector<std::string>{"abcd", "efgh"}));
  // The five words of 3, 5, 5, 3 and 5 letters.
  EXPECT_EQ(LinesOf("abc defgh ijklm nop qrstu\r", 20),
            (std::vector<std::string>{"abc defgh ijklm nop ", "qrstu"}));
  EXPECT_EQ(LinesOf("abc defgh ijklm nop qrstu\r", 19),
            (std::vector<std::string>{"abc defgh ijklm ", "nop qrstu"}));
}

TEST_F(SquishReadTest, TextLinesIgnoreLineFeedsAndSoftReturns) {
  // A line feed after the last CR ends nothing more.
  EXPECT_EQ(LinesOf("one\r\ntwo\r\n", 79),
            (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(LinesOf("so\x8D" "ft\r\r", 79), (std::vector<std::string>{"soft", ""}));
  // A full line whose CR comes next gives an empty line after it.
  EXPECT_EQ(LinesOf("ABCDE\rXY\r", 5),
            (std::vector<std::string>{"ABCDE", "", "XY"}));
  // A width above 255 still gives at most 255 characters.
  std::vector<std::string> lines = LinesOf(std::string(300, 'w'), 1000);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 255u);
  EXPECT_EQ(lines[1].size(), 45u);
}

TEST_F(SquishReadTest, TextWithoutClosingNulKeepsItsLastCharacter) {
  ImageMessage m = TextMessage(1, "");
  m.body = "last line\rend";  // stored by another program without a NUL
  auto base = OpenImage({m});
  base->SeekFirst(1);
  EXPECT_EQ(Lines(*base, 79), (std::vector<std::string>{"last line", "end"}));
  EXPECT_EQ(base->GetTextLength(), 12);
}

TEST_F(SquishReadTest, ControlInformationIsSkipped) {
  ImageMessage m = TextMessage(1, "");
  m.body = std::string("\x01MSGID: 1:2/3 4\0", 16) + "Body\r" +
           std::string(1, '\0');
  m.control_length = 16;
  auto base = OpenImage({m});
  base->SeekFirst(1);
  EXPECT_EQ(Lines(*base, 79), (std::vector<std::string>{"Body"}));
}

TEST_F(SquishReadTest, TextPositionCanBeSavedAndRestored) {
  auto base = OpenImage({TextMessage(1, "first\rsecond\r")});
  base->SeekFirst(1);
  base->ReadHeader();
  base->BeginTextRead();
  EXPECT_EQ(base->GetTextPosition(), 1);
  EXPECT_EQ(base->GetTextLine(79), "first");
  const int32_t mark = base->GetTextPosition();
  EXPECT_EQ(base->GetTextLine(79), "second");
  EXPECT_TRUE(base->EndOfText());
  base->SetTextPosition(mark);
  EXPECT_EQ(base->GetTextLine(79), "second");
  // Positions outside the text read as its end.
  base->SetTextPosition(-5);
  EXPECT_TRUE(base->EndOfText());
  base->SetTextPosition(100000);
  EXPECT_TRUE(base->EndOfText());
  EXPECT_EQ(base->GetChar(), 0);
}

TEST_F(SquishReadTest, SeesMessagesStoredByAnotherProgramSinceOpening) {
  auto owned_reader = NewSquishMessageBase(&clock_);
  MessageBase& reader = *owned_reader;
  ASSERT_TRUE(OpenOrCreate(reader, path_));
  auto owned_writer = NewSquishMessageBase(&clock_);
  MessageBase& writer = *owned_writer;
  ASSERT_TRUE(OpenOrCreate(writer, path_));
  ASSERT_EQ(Post(writer, "All", {"one"}), 0);
  ASSERT_EQ(Post(writer, "All", {"two"}), 0);
  reader.SeekFirst(1);
  int n = 0;
  for (; reader.SeekFound(); reader.SeekNext()) ++n;
  EXPECT_EQ(n, 2);
  EXPECT_EQ(reader.GetHighMsgNum(), 2);
}

TEST_F(SquishReadTest, ReadsAfterItsOwnChangesSeeTheNewBytes) {
  auto owned = NewSquishMessageBase(&clock_);
  MessageBase& base = *owned;
  ASSERT_TRUE(OpenOrCreate(base, path_));
  ASSERT_EQ(Post(base, "All", {"first"}), 0);
  ASSERT_EQ(Post(base, "All", {std::string(200, 'b')}), 0);
  ASSERT_EQ(Post(base, "All", {"third"}), 0);
  base.SeekFirst(2);
  base.ReadHeader();
  base.DeleteMessage();

  // Read the first message: what follows it is read ahead.
  base.SeekFirst(1);
  base.ReadHeader();
  base.BeginTextRead();
  EXPECT_EQ(base.GetTextLine(79), "first");
  // The freed frame, read ahead above, takes a new message.
  ASSERT_EQ(Post(base, "Bob", {"reused"}, "Newcomer"), 0);
  ASSERT_EQ(base.GetMsgNum(), 4);
  base.ReadHeader();
  EXPECT_EQ(base.GetFrom(), "Newcomer");
  base.BeginTextRead();
  EXPECT_EQ(base.GetTextLine(79), "reused");

  // A rewritten header reads back changed, without a new walk.
  base.SeekPrior();
  base.ReadHeader();
  base.SetSubject("Changed");
  base.RewriteHeader();
  base.SeekNext();
  base.ReadHeader();
  base.SeekPrior();
  base.ReadHeader();
  EXPECT_EQ(base.GetSubject(), "Changed");
}

TEST_F(SquishReadTest, NumberOfMessagesWithTheBaseClosed) {
  auto owned = NewSquishMessageBase(&clock_);
  MessageBase& base = *owned;
  base.SetPath(path_);
  EXPECT_EQ(base.NumberOfMessages(), 0);  // no files at all
  SquishImage({TextMessage(1, "a"), TextMessage(4, "b")}).Save(path_);
  EXPECT_EQ(base.NumberOfMessages(), 2);
  WriteFileBytes(path_ + ".sqd", {0, 1, 0, 0, 7});  // too short to count
  EXPECT_EQ(base.NumberOfMessages(), 0);
}

}  // namespace
}  // namespace drayline
