// Reading a JAM base: the cursor over the index, headers and subfields.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jam/jam_format.h"
#include "jam/jam_subfields.h"
#include "jam/jam_test_files.h"
#include "msgbase/factory.h"
#include "test_util.h"

namespace drayline {
namespace {

using jamtest::JamFiles;
using jamtest::TestMessage;

class JamReadTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_ / "base"; }

  std::unique_ptr<MessageBase> Open(const JamFiles& files) {
    files.Write(path_);
    auto base = NewJamMessageBase();
    base->SetPath(path_);
    EXPECT_TRUE(base->OpenBase());
    return base;
  }

  // Numbers the cursor visits from SeekFirst(first) on, read from headers.
  static std::vector<int32_t> Forward(MessageBase& base, int32_t first) {
    std::vector<int32_t> seen;
    for (base.SeekFirst(first); base.SeekFound(); base.SeekNext()) {
      base.ReadHeader();
      seen.push_back(base.GetMsgNum());
    }
    return seen;
  }
  static std::vector<int32_t> Backward(MessageBase& base) {
    std::vector<int32_t> seen;
    for (base.SeekPrior(); base.SeekFound(); base.SeekPrior()) {
      base.ReadHeader();
      seen.push_back(base.GetMsgNum());
    }
    return seen;
  }

  TempDir dir_;
  std::string path_;
};

TEST_F(JamReadTest, EmptyBaseHasNoMessages) {
  auto base = Open(JamFiles());
  EXPECT_EQ(base->GetHighMsgNum(), 0);
  base->SeekFirst(1);
  EXPECT_FALSE(base->SeekFound());
  EXPECT_EQ(base->GetHighActiveMsgNum(), 0);
  base->ReadHeader();  // nothing to read: stays quiet
  EXPECT_EQ(base->GetFrom(), "");
}

TEST_F(JamReadTest, CursorWalksOverDeletedMessagesBothWays) {
  JamFiles files;
  for (int i = 0; i < 5; ++i) files.Add(TestMessage());
  files.Delete(2);
  auto base = Open(files);
  EXPECT_EQ(Forward(*base, 1), (std::vector<int32_t>{1, 2, 4, 5}));
  // The walk ended one past the end; back from there.
  EXPECT_EQ(Backward(*base), (std::vector<int32_t>{5, 4, 2, 1}));
  EXPECT_EQ(Forward(*base, 3), (std::vector<int32_t>{4, 5}));
  EXPECT_EQ(base->GetHighMsgNum(), 5);
  EXPECT_EQ(base->NumberOfMessages(), 4);
}

TEST_F(JamReadTest, HighestMessageDeletedAndCursorBeyondTheEnd) {
  JamFiles files;
  for (int i = 0; i < 4; ++i) files.Add(TestMessage());
  files.Delete(3);
  auto base = Open(files);
  EXPECT_EQ(base->GetHighMsgNum(), 4);
  EXPECT_EQ(base->GetHighActiveMsgNum(), 3);
  base->SetMsgLoc(1000);  // far past the end: back to the last message
  EXPECT_EQ(Backward(*base), (std::vector<int32_t>{3, 2, 1}));
  base->SetMsgLoc(-50);  // below the base: forward from the first
  base->SeekNext();
  base->ReadHeader();
  EXPECT_EQ(base->GetMsgNum(), 1);
}

TEST_F(JamReadTest, BaseMsgNumOtherThanOne) {
  JamFiles files(100);
  for (int i = 0; i < 3; ++i) files.Add(TestMessage());
  auto base = Open(files);
  EXPECT_EQ(base->GetHighMsgNum(), 102);
  EXPECT_EQ(Forward(*base, 0), (std::vector<int32_t>{100, 101, 102}));
  EXPECT_EQ(Forward(*base, 101), (std::vector<int32_t>{101, 102}));
  EXPECT_EQ(Backward(*base), (std::vector<int32_t>{102, 101, 100}));
  base->SeekFirst(103);
  EXPECT_FALSE(base->SeekFound());
}

TEST_F(JamReadTest, ExtremeBaseMsgNumsNeverOverflowTheCursor) {
  for (uint32_t base_num : {0x7FFFFFFEu, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0u}) {
    JamFiles files(base_num);
    for (int i = 0; i < 3; ++i) files.Add(TestMessage());
    auto base = Open(files);
    int steps = 0;
    for (base->SeekFirst(INT32_MIN); base->SeekFound() && steps < 10; base->SeekNext()) {
      ++steps;
    }
    EXPECT_LE(steps, 3) << base_num;
    base->SeekPrior();
    base->SeekPrior();
    base->GetHighMsgNum();
  }
}

TEST_F(JamReadTest, IndexWindowReloadsOnLongJumpsAndLongDeletedRuns) {
  JamFiles files;
  for (int i = 0; i < 700; ++i) {
    TestMessage m;
    m.subject = "Subject " + std::to_string(i + 1);
    files.Add(m);
  }
  for (size_t r = 100; r < 450; ++r) files.Delete(r);  // spans two windows
  auto base = Open(files);
  base->SeekFirst(10);
  base->ReadHeader();
  EXPECT_EQ(base->GetSubject(), "Subject 10");
  base->SeekFirst(500);
  base->ReadHeader();
  EXPECT_EQ(base->GetSubject(), "Subject 500");
  base->SeekFirst(10);
  base->ReadHeader();
  EXPECT_EQ(base->GetSubject(), "Subject 10");

  base->SeekFirst(100);  // messages 101..450 are deleted
  base->ReadHeader();
  EXPECT_EQ(base->GetMsgNum(), 100);
  base->SeekNext();
  base->ReadHeader();
  EXPECT_EQ(base->GetMsgNum(), 451);
  base->SeekPrior();
  base->ReadHeader();
  EXPECT_EQ(base->GetMsgNum(), 100);
  EXPECT_EQ(Forward(*base, 1).size(), 350u);
}

TEST_F(JamReadTest, WalkingReadsOneCallPerHeaderAndPerIndexWindow) {
  JamFiles files;
  for (int i = 0; i < 1000; ++i) files.Add(TestMessage());
  auto base = Open(files);
  Env* env = Env::Default();
  env->ResetCounters();
  EXPECT_EQ(Forward(*base, 1).size(), 1000u);
  // One read per header and one per window of index records (a window
  // holds 200); a read that meets the end of its file takes one call more,
  // as it does for the 36 headers within a buffer's length of the end.
  EXPECT_LE(env->Counters().reads, 1000u + 36u + 2 * 7u);
  EXPECT_LE(env->Counters().calls(), 1000u + 36u + 2 * 7u + 5u);
}

TEST_F(JamReadTest, EmptyRecipientIsALiveMessage) {
  // Stored with UserCRC 0xFFFFFFFF, like a deleted record's checksum.
  JamFiles files;
  files.Add(TestMessage());
  TestMessage nobody;
  nobody.to = "";
  files.Add(nobody);
  auto base = Open(files);
  EXPECT_EQ(Forward(*base, 1), (std::vector<int32_t>{1, 2}));
  base->SeekFirst(2);
  base->ReadHeader();
  EXPECT_EQ(base->GetTo(), "");
  EXPECT_FALSE(base->IsDeleted());
}

TEST_F(JamReadTest, HeaderOfTheWorkedExample) {
  ClockEnv clock({2001, 6, 15, 14, 30, 8});
  auto made = NewJamMessageBase(&clock);
  MessageBase& base = *made;
  base.SetPath(path_);
  ASSERT_TRUE(base.CreateBase(0, 0));
  ASSERT_TRUE(base.OpenBase());
  jamtest::ComposeWorkedExample(base);
  ASSERT_EQ(base.WriteMessage(), 0);

  base.SeekFirst(1);
  ASSERT_TRUE(base.SeekFound());
  base.ReadHeader();
  EXPECT_EQ(base.LastStatus().io_result(), 0);
  EXPECT_EQ(base.GetFrom(), "Sysop");
  EXPECT_EQ(base.GetTo(), "All");
  EXPECT_EQ(base.GetSubject(), "Hello");
  EXPECT_EQ(base.GetDate(), "06-15-01");
  EXPECT_EQ(base.GetTime(), "14:30");
  EXPECT_EQ(base.GetMsgNum(), 1);
  EXPECT_EQ(base.GetMsgLoc(), 1);
  EXPECT_EQ(base.GetTextLength(), 5);
  EXPECT_TRUE(base.IsLocal());
  EXPECT_FALSE(base.IsPrivate());
  EXPECT_FALSE(base.IsReceived());
  EXPECT_FALSE(base.IsDeleted());
  EXPECT_FALSE(base.IsReceipt());
  EXPECT_TRUE(base.IsEchoed());
  EXPECT_EQ(base.GetAuxNumber(), 0);
  base.BeginTextRead();
  EXPECT_EQ(base.GetTextLine(79), "Test");
  EXPECT_TRUE(base.EndOfText());
}

TEST_F(JamReadTest, FieldsAddressesAndAttributesRoundTrip) {
  auto made = NewJamMessageBase();
  MessageBase& base = *made;
  base.SetPath(path_);
  ASSERT_TRUE(base.CreateBase(0, 0));
  ASSERT_TRUE(base.OpenBase());
  base.StartNewMessage();
  base.SetDest({2, 250, 0, 0});
  base.SetOrig({1, 2, 3, 4});
  base.SetCost(65535);
  base.SetReplyTo(7);
  base.SetFirstReply(8);
  base.SetNextReply(9);
  for (auto set : {&MessageBase::SetCrash, &MessageBase::SetKillSent, &MessageBase::SetSent,
                   &MessageBase::SetReceiptRequest, &MessageBase::SetConfirmRequest,
                   &MessageBase::SetReceived, &MessageBase::SetPrivate}) {
    (base.*set)(true);
  }
  base.SetTo("Someone");
  ASSERT_EQ(base.WriteMessage(), 0);
  base.SeekFirst(1);
  base.ReadHeader();
  NetAddress dest, orig;
  base.GetDest(dest);
  base.GetOrig(orig);
  EXPECT_EQ(dest, (NetAddress{2, 250, 0, 0}));
  EXPECT_EQ(orig, (NetAddress{1, 2, 3, 4}));
  EXPECT_EQ(base.GetCost(), 65535);
  EXPECT_EQ(base.GetReplyTo(), 7);
  EXPECT_EQ(base.GetFirstReply(), 8);
  EXPECT_EQ(base.GetNextReply(), 9);
  EXPECT_TRUE(base.IsCrash() && base.IsKillSent() && base.IsSent() &&
              base.IsReceiptRequest() && base.IsConfirmRequest() &&
              base.IsReceived() && base.IsPrivate());
  EXPECT_FALSE(base.IsLocal() || base.IsFileAttach() || base.IsFileRequest());
}

TEST_F(JamReadTest, SubjectFromFileSubfieldsOnlyWithTheirAttribute) {
  JamFiles files;
  TestMessage attach;
  attach.attribute |= jam::kAttrFileAttach;
  attach.extra = {{jam::kSfAttachedFile, "FILE.ZIP"}};
  files.Add(attach);
  TestMessage plain;
  plain.extra = {{jam::kSfAttachedFile, "FILE.ZIP"}, {jam::kSfRequestedFile, "REQ.TXT"}};
  files.Add(plain);
  TestMessage request;
  request.subject = "";
  request.attribute |= jam::kAttrFileRequest;
  request.extra = {{jam::kSfRequestedFile, "REQ.TXT"}};
  files.Add(request);
  auto base = Open(files);
  std::vector<std::string> subjects;
  for (base->SeekFirst(1); base->SeekFound(); base->SeekNext()) {
    base->ReadHeader();
    subjects.push_back(base->GetSubject());
  }
  EXPECT_EQ(subjects, (std::vector<std::string>{"FILE.ZIP", "Hello", "REQ.TXT"}));
}

TEST_F(JamReadTest, LongSubfieldsAreCutToTheirFields) {
  JamFiles files;
  TestMessage m;
  m.from = std::string(300, 'f');  // longer than a short string
  m.to = std::string(70, 't');
  m.subject = std::string(256, 's');
  files.Add(m);
  auto base = Open(files);
  base->SeekFirst(1);
  base->ReadHeader();
  EXPECT_EQ(base->GetFrom(), std::string(65, 'f'));
  EXPECT_EQ(base->GetTo(), std::string(65, 't'));
  EXPECT_EQ(base->GetSubject(), std::string(100, 's'));
}

// The control line a view hands on for the set: the first kludge record
// with a line naming one (in any case, or after a byte 1 within), whether
// its name is known or not; no other kind of record counts.
TEST_F(JamReadTest, AViewFindsTheFirstKludgeThatNamesASet) {
  auto area = [](const std::vector<std::pair<uint16_t, std::string>>& records) {
    jamtest::Bytes bytes;
    for (const auto& [kind, data] : records) {
      const jamtest::Bytes record = jamtest::Subfield(kind, data);
      bytes.insert(bytes.end(), record.begin(), record.end());
    }
    return std::string(jam::ViewSubfieldTexts(bytes, 0).charset_control);
  };
  const uint16_t kKludge = jam::kSfControlLine;
  EXPECT_EQ(area({{jam::kSfSubject, "CHRS: CP866 2"}, {kKludge, "PID: x"},
                  {kKludge, "chrs: KOI8-Q 2"}, {kKludge, "CHRS: CP866 2"}}),
            "chrs: KOI8-Q 2");
  EXPECT_EQ(area({{kKludge, "TZUTC: 0100\x01" "CHARSET: LATIN-1"}}),
            "TZUTC: 0100\x01" "CHARSET: LATIN-1");
  EXPECT_EQ(area({{kKludge, "PID: CHRS: CP866"}, {jam::kSfSenderName, "Sysop"}}), "");
}

}  // namespace
}  // namespace drayline
