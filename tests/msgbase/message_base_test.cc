// What a message base does the same in both formats, tested once through
// the interface for each storage engine.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "drayline/message.h"
#include "fault_env.h"
#include "msgbase/factory.h"
#include "test_util.h"

namespace drayline {
namespace {

using Lines = std::vector<std::string>;

std::string FormatName(const testing::TestParamInfo<BaseFormat>& info) {
  return info.param == BaseFormat::kJam ? "Jam" : "Squish";
}

class MessageBaseTest : public testing::TestWithParam<BaseFormat> {
 protected:
  MessageBaseTest() : clock_({2024, 5, 6, 12, 34, 56}), env_(&clock_) {}

  std::unique_ptr<MessageBase> Open() {
    std::unique_ptr<MessageBase> base = NewMessageBase(GetParam(), &env_);
    base->SetPath(path_);
    // No failed step before the test's own: a Squish base keeps the last.
    if (!base->BaseExists()) {
      EXPECT_TRUE(base->CreateBase(0, 0));
    }
    EXPECT_TRUE(base->OpenBase());
    return base;
  }

  static uint16_t Post(MessageBase& base, const std::string& to,
                       const std::string& text) {
    base.StartNewMessage();
    base.SetFrom("Sysop");
    base.SetTo(to);
    base.SetSubject("About " + to);
    base.SetDate("05-06-24");
    base.SetTime("12:34");
    for (char c : text) base.AddChar(static_cast<uint8_t>(c));
    return base.WriteMessage();
  }

  static Lines Read(MessageBase& base, int32_t num, uint16_t width,
                    bool visible = false) {
    base.SeekFirst(num);
    base.ReadHeader();
    base.BeginTextRead();
    Lines lines;
    while (!base.EndOfText() && lines.size() < 100) {
      lines.push_back(visible ? base.GetVisibleLine(width)
                              : base.GetTextLine(width));
    }
    return lines;
  }

  static std::vector<int32_t> Numbers(MessageBase& base) {
    std::vector<int32_t> numbers;
    for (base.SeekFirst(1); base.SeekFound(); base.SeekNext()) {
      base.ReadHeader();
      numbers.push_back(base.GetMsgNum());
    }
    return numbers;
  }

  TempDir dir_;
  const std::string path_ = dir_ / "general";
  ClockEnv clock_;
  FaultEnv env_;
};

TEST_P(MessageBaseTest, ComposedMessagesReadBack) {
  auto base = Open();
  base->StartNewMessage();
  base->SetFrom("Sysop");
  base->SetTo("All");
  base->SetSubject(std::string(300, 's'));  // cut to the format's field
  base->SetOrig({2, 250, 10, 0});
  base->SetDest({2, 250, 20, 3});
  base->SetReplyTo(7);
  base->AddTextLine("Hello there, wide world");
  base->AddTextLine("");
  ASSERT_EQ(base->WriteMessage(), 0);
  EXPECT_TRUE(base->LastStatus().ok());
  ASSERT_EQ(Post(*base, "Bob", "second\r"), 0);

  auto reader = Open();
  EXPECT_EQ(reader->NumberOfMessages(), 2);
  EXPECT_EQ(Numbers(*reader), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(Read(*reader, 1, 13),
            (Lines{"Hello there, ", "wide world", ""}));
  EXPECT_EQ(reader->GetFrom(), "Sysop");
  EXPECT_EQ(reader->GetTo(), "All");
  EXPECT_GE(reader->GetSubject().size(), 70u);
  EXPECT_EQ(reader->GetSubject(), std::string(reader->GetSubject().size(), 's'));
  NetAddress orig, dest;
  reader->GetOrig(orig);
  reader->GetDest(dest);
  EXPECT_EQ(orig, (NetAddress{2, 250, 10, 0}));
  EXPECT_EQ(dest, (NetAddress{2, 250, 20, 3}));
  EXPECT_EQ(reader->GetReplyTo(), 7);
  EXPECT_EQ(Read(*reader, 2, 79), (Lines{"second"}));
  EXPECT_EQ(reader->GetTo(), "Bob");
}

TEST_P(MessageBaseTest, ControlLinesAreSkippedAndCrLfEndsNothingMore) {
  auto base = Open();
  ASSERT_EQ(Post(*base, "All", "\x01MSGID: 1\rwords\r\x01PATH: 1\r"), 0);
  ASSERT_EQ(Post(*base, "All", "one\r\ntwo\r\n"), 0);
  EXPECT_EQ(Read(*base, 1, 79, /*visible=*/true), (Lines{"words", "\x01PATH: 1"}));
  EXPECT_EQ(Read(*base, 2, 79), (Lines{"one", "two"}));
}

TEST_P(MessageBaseTest, AttributesTheFormatsShareRoundTrip) {
  auto base = Open();
  base->StartNewMessage();
  for (auto set : {&MessageBase::SetLocal, &MessageBase::SetReceived,
                   &MessageBase::SetPrivate, &MessageBase::SetCrash,
                   &MessageBase::SetKillSent, &MessageBase::SetSent,
                   &MessageBase::SetFileAttach, &MessageBase::SetReceiptRequest,
                   &MessageBase::SetConfirmRequest, &MessageBase::SetFileRequest}) {
    ((*base).*set)(true);
  }
  base->SetTo("All");
  base->SetSubject("file.zip");
  ASSERT_EQ(base->WriteMessage(), 0);
  ASSERT_EQ(Post(*base, "All", "plain\r"), 0);

  auto reader = Open();
  for (int32_t num : {1, 2}) {
    SCOPED_TRACE(num);
    const bool on = num == 1;
    reader->SeekFirst(num);
    reader->ReadHeader();
    EXPECT_EQ(reader->IsLocal(), on);
    EXPECT_EQ(reader->IsReceived(), on);
    EXPECT_EQ(reader->IsPrivate(), on);
    EXPECT_EQ(reader->IsCrash(), on);
    EXPECT_EQ(reader->IsKillSent(), on);
    EXPECT_EQ(reader->IsSent(), on);
    EXPECT_EQ(reader->IsFileAttach(), on);
    EXPECT_EQ(reader->IsReceiptRequest(), on);
    EXPECT_EQ(reader->IsConfirmRequest(), on);
    EXPECT_EQ(reader->IsFileRequest(), on);
    EXPECT_FALSE(reader->IsDeleted());
  }
}

TEST_P(MessageBaseTest, SearchFindsUnreceivedMailByNameOrAlias) {
  // 40 characters: longer than a Squish name field keeps.
  const std::string longer = "Bartholomew Fitzgerald-Montgomery Esq.XY";
  auto base = Open();
  ASSERT_EQ(Post(*base, "alice", "1\r"), 0);
  ASSERT_EQ(Post(*base, "Bob", "2\r"), 0);
  ASSERT_EQ(Post(*base, "Ally", "3\r"), 0);
  ASSERT_EQ(Post(*base, "ALICE", "4\r"), 0);
  ASSERT_EQ(Post(*base, longer, "5\r"), 0);
  // Message 4, once received, is no longer mail.
  base->SeekFirst(4);
  base->ReadHeader();
  base->SetReceived(true);
  base->RewriteHeader();
  ASSERT_TRUE(base->LastStatus().ok()) << base->LastStatus().text();

  auto reader = Open();
  std::vector<int32_t> found;
  for (reader->SeekFirstForUser("Alice", "ally"); reader->ForUserFound();
       reader->SeekNextForUser()) {
    reader->ReadHeader();
    found.push_back(reader->GetMsgNum());
  }
  EXPECT_EQ(found, (std::vector<int32_t>{1, 3}));
  reader->SeekFirstForUser(longer, "");
  ASSERT_TRUE(reader->ForUserFound());
  reader->ReadHeader();
  EXPECT_EQ(reader->GetMsgNum(), 5);
  reader->SeekFirstForUser("Nobody", "");
  EXPECT_FALSE(reader->ForUserFound());
}

TEST_P(MessageBaseTest, DeletedMessagesLeaveTheWalk) {
  auto base = Open();
  for (const char* to : {"A", "B", "C"}) ASSERT_EQ(Post(*base, to, "x\r"), 0);
  base->SeekFirst(3);
  base->ReadHeader();
  base->DeleteMessage();
  ASSERT_TRUE(base->LastStatus().ok()) << base->LastStatus().text();
  EXPECT_EQ(base->GetHighActiveMsgNum(), 2);
  base->SeekFirst(1);
  base->ReadHeader();
  base->DeleteMessage();

  auto reader = Open();
  EXPECT_EQ(Numbers(*reader), (std::vector<int32_t>{2}));
  EXPECT_EQ(reader->NumberOfMessages(), 1);
  EXPECT_EQ(reader->GetHighMsgNum(), 3);
  EXPECT_EQ(reader->GetHighActiveMsgNum(), 2);
}

TEST_P(MessageBaseTest, LastReadPointersPerUser) {
  auto base = Open();
  ASSERT_EQ(Post(*base, "All", "x\r"), 0);
  EXPECT_EQ(base->GetLastRead(3), 0);
  base->SetLastRead(3, 1);
  base->SetLastRead(9, 42);
  base->SetLastRead(3, 5);
  auto reader = Open();
  EXPECT_EQ(reader->GetLastRead(3), 5);
  EXPECT_EQ(reader->GetLastRead(9), 42);
  EXPECT_EQ(reader->GetLastRead(4), 0);
  EXPECT_TRUE(reader->LastStatus().ok()) << reader->LastStatus().text();
}

TEST_P(MessageBaseTest, ALockHeldElsewhereIsReportedAsSuch) {
  auto base = Open();
  env_.FailLock("", io::kLockViolation);
  EXPECT_EQ(Post(*base, "All", "x\r"), io::kAccessDenied);
  EXPECT_EQ(base->LastStatus().code(), StatusCode::kLocked);
  EXPECT_NE(base->LastStatus().text().find("the base is locked by another"),
            std::string::npos)
      << base->LastStatus().text();
  env_.Clear();
  EXPECT_EQ(base->WriteMessage(), 0);  // the text stayed composed
  EXPECT_EQ(Read(*base, 1, 79), (Lines{"x"}));
}

TEST_P(MessageBaseTest, TheFacadeStoresAndReadsMessagesAsValues) {
  Status status;
  std::unique_ptr<Base> base = Base::OpenOrCreate(path_, GetParam(), &status);
  ASSERT_NE(base, nullptr) << status.text();
  Message m;
  m.from = "Sysop";
  m.to = "All";
  m.subject = "Exact";
  m.written = {1999, 12, 31, 23, 59, 58};
  m.processed = {2001, 2, 3, 4, 5, 6};
  m.Set(AttributeBit::kPrivate, true);
  m.orig = {1, 2, 3, 4};
  m.reply_to = 9;
  m.text = "line one\rline two";
  int32_t number = 0;
  ASSERT_TRUE(base->Store(m, &number).ok());
  EXPECT_EQ(number, 1);
  m.subject = "Second";
  ASSERT_TRUE(base->Store(m, &number).ok());
  EXPECT_EQ(number, 2);

  std::unique_ptr<Base> reopened = Base::Open(path_, &status);
  ASSERT_NE(reopened, nullptr) << status.text();
  EXPECT_EQ(reopened->format(), GetParam());
  Message read;
  ASSERT_TRUE(reopened->Read(1, &read).ok());
  EXPECT_EQ(read.number, 1);
  EXPECT_EQ(read.written, m.written);
  EXPECT_EQ(read.processed, m.processed);
  EXPECT_TRUE(read.Has(AttributeBit::kPrivate));
  EXPECT_FALSE(read.Has(AttributeBit::kCrash));
  EXPECT_EQ(read.orig, m.orig);
  EXPECT_EQ(read.reply_to, 9);
  EXPECT_EQ(SplitLines(read.text), (Lines{"line one", "line two"}));

  ASSERT_TRUE(reopened->Delete(1).ok());
  EXPECT_EQ(reopened->Read(1, &read).code(), StatusCode::kNoSuchMessage);
  EXPECT_EQ(reopened->Delete(7).code(), StatusCode::kNoSuchMessage);
  std::vector<std::string> subjects;
  for (MessageIterator it = reopened->Messages(); it.Next(&read);) {
    subjects.push_back(read.subject);
  }
  EXPECT_EQ(subjects, (Lines{"Second"}));

  int32_t last = -1;
  ASSERT_TRUE(reopened->SetLastRead(5, 2).ok());
  ASSERT_TRUE(reopened->GetLastRead(5, &last).ok());
  EXPECT_EQ(last, 2);
}

TEST_P(MessageBaseTest, AHeaderOnlyWalkReadsEverythingButTheText) {
  Status status;
  std::unique_ptr<Base> base = Base::OpenOrCreate(path_, GetParam(), &status);
  ASSERT_NE(base, nullptr) << status.text();
  Message m;
  m.from = "Sysop";
  m.subject = "First";
  m.text = "twelve bytes";
  for (const char* to : {"All", "Ann", "Bob"}) {
    m.to = to;
    ASSERT_TRUE(base->Store(m).ok());
  }
  // From the second message on; the previous message's text never stays.
  Message read;
  read.text = "left over";
  std::vector<std::string> seen;
  for (MessageIterator it(&base->Raw(), ReadParts::kHeader, 2); it.Next(&read);) {
    EXPECT_EQ(read.text, "");
    EXPECT_EQ(read.text_length, 12);
    EXPECT_EQ(read.subject, "First");
    seen.push_back(read.to);
  }
  EXPECT_EQ(seen, (Lines{"Ann", "Bob"}));
  // Viewed, the same fields; the dates only when asked for. (Walks share
  // the base's cursor: the messages are read first.)
  std::vector<Message> messages;
  for (MessageIterator it(&base->Raw(), ReadParts::kHeader, 2); it.Next(&read);) {
    messages.push_back(read);
  }
  for (HeaderDates dates : {HeaderDates::kSkip, HeaderDates::kRead}) {
    HeaderView view;
    MessageIterator views(&base->Raw(), ReadParts::kHeader, 2);
    for (const Message& m : messages) {
      ASSERT_TRUE(views.Next(&view, dates));
      EXPECT_EQ(view.number, m.number);
      EXPECT_EQ(std::vector<std::string_view>({view.from, view.to, view.subject, view.date_text,
                                               view.time_text}),
                std::vector<std::string_view>(
                    {m.from, m.to, m.subject, m.date_text, m.time_text}));
      EXPECT_EQ(view.attributes, m.attributes);
      EXPECT_EQ(view.text_length, m.text_length);
      const bool with = dates == HeaderDates::kRead;
      EXPECT_EQ(view.written, with ? m.written : LocalDateTime());
      EXPECT_EQ(view.processed, with ? m.processed : LocalDateTime());
    }
    EXPECT_FALSE(views.Next(&view, dates));
  }
  // The header of a search's match, read where the cursor stands.
  MessageBase& raw = base->Raw();
  raw.SeekFirstForUser("Bob", "");
  ASSERT_TRUE(raw.ForUserFound());
  ASSERT_TRUE(base->ReadLoadedHeader(&read).ok());
  EXPECT_EQ(read.number, 3);
  EXPECT_EQ(read.to, "Bob");
  HeaderView view;
  ASSERT_TRUE(base->ViewLoadedHeader(&view, HeaderDates::kSkip).ok());
  EXPECT_EQ(view.to, "Bob");
  raw.SeekNextForUser();
  EXPECT_FALSE(raw.ForUserFound());
}

TEST_P(MessageBaseTest, TheLoadedTextIsReadWholeAsItReadsByteByByte) {
  Status status;
  std::unique_ptr<Base> base = Base::OpenOrCreate(path_, GetParam(), &status);
  ASSERT_NE(base, nullptr) << status.text();
  // Texts shorter and longer than a window of the text file, one of them
  // beginning with bytes above 127.
  const std::vector<std::string> texts = {"short\r", std::string(9000, 'x') + "\r",
                                          "\x81\xfe" + std::string(4100, 'y') + "end\r"};
  Message m;
  for (const std::string& text : texts) {
    m.text = text;
    ASSERT_TRUE(base->Store(m).ok());
  }
  Message read;
  std::string whole;
  for (MessageIterator it(&base->Raw(), ReadParts::kHeader, 1); it.Next(&read);) {
    ASSERT_TRUE(base->ReadLoadedText(&whole).ok());
    std::string bytes;
    MessageBase& raw = base->Raw();
    for (raw.BeginTextRead(); !raw.EndOfText();) bytes.push_back(static_cast<char>(raw.GetChar()));
    EXPECT_EQ(whole, bytes);
    EXPECT_EQ(whole.substr(0, texts[static_cast<size_t>(read.number - 1)].size()),
              texts[static_cast<size_t>(read.number - 1)]);
  }
  // After a viewed step too (which may leave the header unloaded); the
  // 93 operations see the message once they read its header.
  HeaderView view;
  for (MessageIterator it(&base->Raw(), ReadParts::kHeader, 1); it.Next(&view, HeaderDates::kSkip);) {
    const std::string& text = texts[static_cast<size_t>(view.number - 1)];
    ASSERT_TRUE(base->ReadLoadedText(&whole).ok());
    EXPECT_EQ(whole.substr(0, text.size()), text);
    base->Raw().ReadHeader();
    EXPECT_EQ(base->Raw().GetMsgNum(), view.number);
  }
}

INSTANTIATE_TEST_SUITE_P(BothFormats, MessageBaseTest,
                         testing::Values(BaseFormat::kJam, BaseFormat::kSquish),
                         FormatName);

TEST(OpenMessageBase, RecognisesTheFormatByItsFiles) {
  TempDir dir;
  Status status;
  EXPECT_EQ(OpenMessageBase(dir / "none", &status), nullptr);
  EXPECT_EQ(status.code(), StatusCode::kNotFound);
  for (BaseFormat format : {BaseFormat::kJam, BaseFormat::kSquish}) {
    auto base = NewMessageBase(format);
    base->SetPath(dir / "both");
    ASSERT_TRUE(base->CreateBase(0, 0));
  }
  EXPECT_EQ(OpenMessageBase(dir / "both", &status), nullptr);
  EXPECT_EQ(status.code(), StatusCode::kInvalidArgument);
  ASSERT_NE(Base::OpenOrCreate(dir / "sq", BaseFormat::kSquish, &status), nullptr);
  EXPECT_EQ(Base::OpenOrCreate(dir / "sq", BaseFormat::kJam, &status), nullptr);
  std::unique_ptr<MessageBase> opened = OpenMessageBase(dir / "sq", &status);
  ASSERT_NE(opened, nullptr) << status.text();
  EXPECT_TRUE(opened->LastStatus().ok());
}

TEST(Address, TextFormAndParsing) {
  EXPECT_EQ(FormatAddress({1, 234, 56, 7}), "1:234/56.7");
  EXPECT_EQ(FormatAddress({1, 234, 56, 0}), "1:234/56");
  EXPECT_EQ(FormatAddress({65535, 65535, 65535, 65535}), "65535:65535/65535.65");
  NetAddress a{9, 9, 9, 9};
  EXPECT_TRUE(ParseAddress("1:234/56", &a));
  EXPECT_EQ(a, (NetAddress{1, 234, 56, 0}));
  EXPECT_TRUE(ParseAddress("1:234/56.7", &a));
  EXPECT_EQ(a.point, 7);
  NetAddress b{9, 9, 9, 9};
  EXPECT_FALSE(ParseAddress("1:234", &b));
  EXPECT_EQ(b, (NetAddress{9, 9, 9, 9}));
  EXPECT_TRUE(ParseAddress("1:234/x", &b));
  EXPECT_EQ(b.node, 0);
  // Texts just off the plain digits form read as the general rule reads
  // them: blanks stripped, '$' hexadecimal, an empty or odd part zero, a
  // value above 65535 cut to its low 16 bits.
  const std::pair<std::string_view, NetAddress> near_plain[] = {
      {" 1:2/3", {1, 2, 3, 0}},
      {"$10:2/3", {16, 2, 3, 0}},
      {"1:2/3.", {1, 2, 3, 0}},
      {"1:2/3.4/5", {1, 2, 3, 0}},
      {std::string_view("1:2/3\0", 6), {1, 2, 0, 0}},
      {"65537:1/2.3", {1, 1, 2, 3}},
      {"1:2/", {1, 2, 0, 0}},
  };
  for (const auto& [text, want] : near_plain) {
    NetAddress got{9, 9, 9, 9};
    EXPECT_TRUE(ParseAddress(text, &got)) << text;
    EXPECT_EQ(got, want) << text;
  }
}

}  // namespace
}  // namespace drayline
