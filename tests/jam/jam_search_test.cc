// The mail search, deleting, rewriting and last-read pointers of a JAM base.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "drayline/message.h"
#include "fault_env.h"
#include "jam/jam_format.h"
#include "jam/jam_test_files.h"
#include "msgbase/factory.h"
#include "test_util.h"

namespace drayline {
namespace {

using jamtest::Bytes;
using jamtest::Get32;
using jamtest::JamFiles;
using jamtest::TestMessage;
using Numbers = std::vector<int32_t>;

class JamSearchTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_ / "base"; }

  std::unique_ptr<MessageBase> Open(Env* env = nullptr) {
    auto base = NewJamMessageBase(env);
    base->SetPath(path_);
    EXPECT_TRUE(base->OpenBase());
    return base;
  }
  // Messages to each recipient in turn.
  void Write(const std::vector<std::string>& recipients, JamFiles* files = nullptr) {
    JamFiles local;
    JamFiles& f = files != nullptr ? *files : local;
    for (const std::string& to : recipients) {
      TestMessage m;
      m.to = to;
      f.Add(m);
    }
    f.Write(path_);
  }
  static Numbers Mail(MessageBase& base, const std::string& name,
                      const std::string& alias = "") {
    Numbers found;
    for (base.SeekFirstForUser(name, alias); base.ForUserFound(); base.SeekNextForUser()) {
      base.ReadHeader();
      found.push_back(base.GetMsgNum());
    }
    return found;
  }
  static void Load(MessageBase& base, int32_t num) {
    base.SeekFirst(num);
    base.ReadHeader();
    ASSERT_EQ(base.GetMsgNum(), num);
  }
  Bytes File(const char* ext) const { return ReadFileBytes(path_ + ext); }

  TempDir dir_;
  std::string path_;
};

TEST_F(JamSearchTest, FindsUnreceivedMailByFullNameIgnoringCase) {
  JamFiles files;
  TestMessage received;
  received.to = "Sysop";
  received.attribute |= jam::kAttrReceived;
  Write({"SYSOP", "Sysop2", "All", "sysop"}, &files);
  files.Add(received);
  files.Write(path_);
  auto base = Open();
  EXPECT_EQ(Mail(*base, "Sysop"), (Numbers{1, 4}));
  EXPECT_EQ(Mail(*base, "nobody", "sysop2"), (Numbers{2}));
  EXPECT_EQ(Mail(*base, "Nobody"), Numbers{});
}

TEST_F(JamSearchTest, FindsMatchesAtEveryPlaceOfTheScan) {
  // The scan passes over blocks of records: matches at a block's first and
  // last record, next to each other across a block's end, and in the
  // short run the index ends with.
  const Numbers wanted = {1, 16, 17, 18, 32, 33, 47, 50};
  std::vector<std::string> recipients(50, "All");
  for (int32_t n : wanted) recipients[static_cast<size_t>(n - 1)] = n % 2 ? "Sysop" : "Alias";
  Write(recipients);
  auto base = Open();
  EXPECT_EQ(Mail(*base, "Sysop", "Alias"), wanted);
  EXPECT_EQ(Mail(*base, "Alias"), (Numbers{16, 18, 32, 50}));
}

TEST_F(JamSearchTest, DeletedMessagesNeverEndTheSearch) {
  // An empty alias has the checksum of a deleted record.
  JamFiles files;
  Write({"Sysop", "Sysop", "Sysop", ""}, &files);
  files.Delete(1);
  files.Write(path_);
  auto base = Open();
  EXPECT_EQ(Mail(*base, "Sysop", ""), (Numbers{1, 3}));
  EXPECT_EQ(base->LastStatus().io_result(), 0);
  // An empty name matches no message, not even one to nobody.
  EXPECT_EQ(Mail(*base, "", ""), Numbers{});
}

TEST_F(JamSearchTest, UnreadableHeaderIsPassedOver) {
  JamFiles files;
  Write({"Sysop", "Sysop", "Sysop"}, &files);
  files.SetIndex(1, jam::NameChecksum("Sysop"), 0x7FFFFFF0);  // past the file
  files.Write(path_);
  auto base = Open();
  EXPECT_EQ(Mail(*base, "Sysop"), (Numbers{1, 3}));
}

TEST_F(JamSearchTest, NamesLongerThanThirtyFiveCharacters) {
  const std::string name(50, 'n');
  const std::string longer(80, 'm');  // cut to 65 when it is stored
  Write({name});
  auto base = Open();
  base->StartNewMessage();
  base->SetTo(longer);
  ASSERT_EQ(base->WriteMessage(), 0);
  EXPECT_EQ(Mail(*base, name), (Numbers{1}));
  EXPECT_EQ(Mail(*base, longer), (Numbers{2}));
}

TEST_F(JamSearchTest, SearchReadsHeadersOnlyForChecksumMatches) {
  std::vector<std::string> recipients(500, "All");
  recipients[100] = recipients[400] = "Sysop";
  Write(recipients);
  auto base = Open();
  Env::Default()->ResetCounters();
  base->SeekFirstForUser("Sysop", "");
  base->SeekNextForUser();
  base->SeekNextForUser();
  EXPECT_FALSE(base->ForUserFound());
  // 2 headers, and the index in one large window (its 4000 bytes read
  // once, however many checksums match) and the reads that find its end.
  EXPECT_LE(Env::Default()->Counters().reads, 2u + 3u);
  EXPECT_LE(Env::Default()->Counters().bytes_read, 4000u + 2u * 1024u);
}

TEST_F(JamSearchTest, DeleteMarksHeaderAndIndexAndCounts) {
  Write({"A", "B", "C"});
  const Bytes jdx_before = File(".jdx");
  const Bytes jhr_before = File(".jhr");
  auto base = Open();
  Load(*base, 2);
  base->DeleteMessage();
  EXPECT_EQ(base->LastStatus().io_result(), 0);
  EXPECT_TRUE(base->IsDeleted());

  const Bytes jdx = File(".jdx");
  const Bytes jhr = File(".jhr");
  ASSERT_EQ(jdx.size(), jdx_before.size());
  EXPECT_EQ(Bytes(jdx.begin() + 8, jdx.begin() + 16), Bytes(8, 0xFF));
  EXPECT_EQ(Bytes(jdx.begin(), jdx.begin() + 8), Bytes(jdx_before.begin(), jdx_before.begin() + 8));
  const uint32_t at = Get32(jdx_before, 12);
  EXPECT_EQ(Get32(jhr, at + jam::kMhAttribute),
            Get32(jhr_before, at + jam::kMhAttribute) | jam::kAttrDeleted);
  EXPECT_EQ(Get32(jhr, jam::kBhActiveMsgs), 2u);
  EXPECT_EQ(Get32(jhr, jam::kBhModCounter), 4u);
  EXPECT_EQ(base->GetHighMsgNum(), 3);

  // Deleting it again changes nothing, in this object or a fresh one.
  base->DeleteMessage();
  auto other = Open();
  other->SetMsgLoc(2);
  other->ReadHeader();
  other->DeleteMessage();
  EXPECT_EQ(File(".jhr"), jhr);
  EXPECT_EQ(File(".jdx"), jdx);

  // The cursor stays on it; the next step skips it.
  base->SeekNext();
  base->ReadHeader();
  EXPECT_EQ(base->GetMsgNum(), 3);
  base->SeekPrior();
  base->ReadHeader();
  EXPECT_EQ(base->GetMsgNum(), 1);
}

TEST_F(JamSearchTest, DeleteActsOnTheStoredRecordsNotTheCachedWindow) {
  Write({"A", "B", "C"});
  auto first = Open();
  auto second = Open();
  Load(*first, 2);
  Load(*second, 2);
  first->DeleteMessage();
  // The second object's window still shows message 2 live; the stored
  // record is deleted, so its delete changes nothing (no counter twice).
  const Bytes jhr = File(".jhr");
  second->DeleteMessage();
  EXPECT_EQ(File(".jhr"), jhr);
  // Deleting 3 writes its own record only: 2 stays deleted.
  Load(*second, 3);
  second->DeleteMessage();
  const Bytes jdx = File(".jdx");
  EXPECT_EQ(Bytes(jdx.begin() + 8, jdx.end()), Bytes(16, 0xFF));
  EXPECT_EQ(Get32(File(".jhr"), jam::kBhActiveMsgs), 1u);
  EXPECT_EQ(Get32(File(".jhr"), jam::kBhModCounter), 5u);
}

TEST_F(JamSearchTest, WithoutTheLockNothingIsWritten) {
  Write({"A", "B"});
  const Bytes jhr = File(".jhr");
  const Bytes jdx = File(".jdx");
  FaultEnv env;
  auto base = Open(&env);
  Load(*base, 1);
  env.FailLock(".jhr", io::kLockViolation);
  base->DeleteMessage();
  EXPECT_EQ(base->LastStatus().io_result(), io::kAccessDenied);
  base->SetReceived(true);
  base->RewriteHeader();
  EXPECT_EQ(base->LastStatus().io_result(), io::kAccessDenied);
  base->SetLastRead(7, 120);
  base->StartNewMessage();
  base->RewriteMessage();
  EXPECT_EQ(File(".jhr"), jhr);
  EXPECT_EQ(File(".jdx"), jdx);
  EXPECT_EQ(FileSizeOf(path_ + ".jlr"), 0);
  EXPECT_FALSE(base->UnlockBase());  // no lock was left counted
}

TEST_F(JamSearchTest, FailedIndexWriteLeavesTheMessageLive) {
  Write({"A", "B"});
  const Bytes jhr = File(".jhr");
  FaultEnv env;
  auto base = Open(&env);
  Load(*base, 2);
  env.FailWrite(".jdx", 1, io::kDiskWriteError);
  base->DeleteMessage();
  EXPECT_EQ(base->LastStatus().io_result(), io::kDiskWriteError);
  EXPECT_FALSE(base->IsDeleted());
  EXPECT_EQ(File(".jhr"), jhr);  // header bit put back, counters unchanged
}

TEST_F(JamSearchTest, RewriteHeaderWritesTheFixedPartInPlace) {
  Write({"A", "B"});
  auto base = Open();
  Load(*base, 1);
  base->SetReceived(true);
  base->RewriteHeader();
  EXPECT_EQ(base->LastStatus().io_result(), 0);
  auto fresh = Open();
  Load(*fresh, 1);
  EXPECT_TRUE(fresh->IsReceived());
  EXPECT_EQ(fresh->GetTo(), "A");
  Load(*fresh, 2);
  EXPECT_FALSE(fresh->IsReceived());

  // Moved on without loading (a step, or a viewed step): the header in
  // the buffer is not message 2's.
  const Bytes jhr = File(".jhr");
  base->SeekNext();
  base->RewriteHeader();
  EXPECT_NE(base->LastStatus().io_result(), 0);
  EXPECT_EQ(File(".jhr"), jhr);
  Load(*base, 1);
  HeaderView view;
  MessageIterator views(base.get(), ReadParts::kHeader, 2);
  ASSERT_TRUE(views.Next(&view, HeaderDates::kSkip));
  EXPECT_EQ(view.number, 2);
  base->RewriteHeader();
  EXPECT_NE(base->LastStatus().io_result(), 0);
  EXPECT_EQ(File(".jhr"), jhr);
}

TEST_F(JamSearchTest, RewriteMessageOfTheSameLengthStaysInPlace) {
  JamFiles files;
  Write({"Sysop", "All"}, &files);
  auto base = Open();
  Load(*base, 1);
  const size_t jhr_size = File(".jhr").size();
  base->ResetText();
  base->SetTo("SYSOP");
  base->AddTextLine("A new text");
  base->RewriteMessage();
  EXPECT_EQ(base->LastStatus().io_result(), 0);
  EXPECT_EQ(File(".jhr").size(), jhr_size);
  const Bytes jdx = File(".jdx");
  EXPECT_EQ(Get32(jdx, 0), jam::NameChecksum("SYSOP"));
  EXPECT_EQ(Get32(jdx, 4), files.HeaderOffset(0));

  auto fresh = Open();
  Load(*fresh, 1);
  EXPECT_EQ(fresh->GetTo(), "SYSOP");
  fresh->BeginTextRead();
  EXPECT_EQ(fresh->GetTextLine(79), "A new text");
  // The rewriting object reads the new text too.
  Load(*base, 1);
  base->BeginTextRead();
  EXPECT_EQ(base->GetTextLine(79), "A new text");
}

TEST_F(JamSearchTest, RewrittenMessageAnswersItsNewTextLength) {
  Write({"Sysop", "All"});
  auto base = Open();
  Load(*base, 1);
  base->ResetText();
  base->AddTextLine("A longer text than before");
  base->RewriteMessage();
  ASSERT_EQ(base->LastStatus().io_result(), 0);
  EXPECT_EQ(base->GetTextLength(), 26);  // the line and its CR
}

TEST_F(JamSearchTest, LongerRewriteIsAppendedAndKeepsForeignSubfields) {
  JamFiles files;
  TestMessage first;
  first.extra = {{4, "1:2/3 1234abcd"}, {2000, "\x01" "CHRS: LATIN-1 2"}, {1, "2:250/0"}};
  files.Add(first);
  files.Add(TestMessage());
  files.Write(path_);
  const Bytes second_header_before(files.jhr.begin() + files.HeaderOffset(1),
                                   files.jhr.end());
  auto base = Open();
  Load(*base, 1);
  base->ResetText();
  base->SetSubject("A much longer subject than the one it had before");
  base->AddTextLine("New");
  base->RewriteMessage();
  EXPECT_EQ(base->LastStatus().io_result(), 0);

  const Bytes jhr = File(".jhr");
  const Bytes jdx = File(".jdx");
  const uint32_t moved = Get32(jdx, 4);
  EXPECT_EQ(moved, files.jhr.size());  // appended at the end
  EXPECT_TRUE(Get32(jhr, files.HeaderOffset(0) + jam::kMhAttribute) & jam::kAttrDeleted);
  EXPECT_EQ(Bytes(jhr.begin() + files.HeaderOffset(1), jhr.begin() + files.jhr.size()),
            second_header_before);

  // Names rebuilt from the loaded fields, foreign kinds carried in order.
  Bytes expected;
  for (const auto& [kind, data] : std::vector<std::pair<uint16_t, std::string>>{
           {3, "All"}, {2, "Sysop"}, {6, "A much longer subject than the one it had before"},
           {1, "2:250/0"}, {4, "1:2/3 1234abcd"}, {2000, "\x01" "CHRS: LATIN-1 2"}}) {
    Bytes sf = jamtest::Subfield(kind, data);
    expected.insert(expected.end(), sf.begin(), sf.end());
  }
  EXPECT_EQ(Bytes(jhr.begin() + moved + jam::kFixedHeaderSize, jhr.end()), expected);
  EXPECT_EQ(Get32(jhr, jam::kBhActiveMsgs), 2u);

  auto fresh = Open();
  EXPECT_EQ(Mail(*fresh, "All").size(), 2u);
  Load(*fresh, 1);
  EXPECT_FALSE(fresh->IsDeleted());
  fresh->BeginTextRead();
  EXPECT_EQ(fresh->GetTextLine(79), "New");
}

TEST_F(JamSearchTest, FailedRewriteLeavesTheBaseAsItWas) {
  Write({"A", "B"});
  const Bytes jhr = File(".jhr"), jdx = File(".jdx"), jdt = File(".jdt");
  FaultEnv env;
  auto base = Open(&env);
  Load(*base, 1);
  base->ResetText();
  base->SetSubject("Longer than it was, so appended");
  base->AddTextLine("New");
  env.FailWrite(".jdx", 1, io::kDiskWriteError);
  base->RewriteMessage();
  EXPECT_EQ(base->LastStatus().io_result(), io::kDiskWriteError);
  EXPECT_EQ(File(".jhr"), jhr);
  EXPECT_EQ(File(".jdx"), jdx);
  EXPECT_EQ(File(".jdt"), jdt);
}

TEST_F(JamSearchTest, LastReadRecords) {
  Write({"A"});
  std::remove((path_ + ".jlr").c_str());
  auto base = Open();
  EXPECT_EQ(base->GetLastRead(7), 0);
  base->SetLastRead(7, 120);
  EXPECT_EQ(File(".jlr"), (Bytes{7, 0, 0, 0, 7, 0, 0, 0, 120, 0, 0, 0, 120, 0, 0, 0}));
  EXPECT_EQ(base->GetLastRead(7), 120);
  EXPECT_EQ(base->GetLastRead(8), 0);

  // An existing record is rewritten in place; its UserCRC stays.
  Bytes jlr = File(".jlr");
  jlr[0] = 0x55;
  Bytes other{9, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
  jlr.insert(jlr.end(), other.begin(), other.end());
  jlr.push_back(0xEE);  // a torn record at the end
  WriteFileBytes(path_ + ".jlr", jlr);
  base->SetLastRead(7, 300);
  EXPECT_EQ(base->GetLastRead(7), 300);
  EXPECT_EQ(base->GetLastRead(9), 2);
  Bytes now = File(".jlr");
  EXPECT_EQ(now[0], 0x55);
  EXPECT_EQ(Get32(now, 8), 300u);
  base->SetLastRead(11, 5);  // appended after the whole records
  now = File(".jlr");
  ASSERT_EQ(now.size(), 48u);
  EXPECT_EQ(Get32(now, 36), 11u);

  // Without the base open, the pointers work from the path alone.
  auto closed = NewJamMessageBase();
  closed->SetPath(path_);
  closed->SetLastRead(7, 301);
  EXPECT_EQ(closed->GetLastRead(7), 301);
}

TEST_F(JamSearchTest, LastReadFindsUsersAcrossChunks) {
  Write({"A"});
  Bytes jlr;
  for (uint32_t user = 1; user <= 250; ++user) {
    Bytes r(16, 0);
    jamtest::Put32(r, 0, user);
    jamtest::Put32(r, 4, user);
    jamtest::Put32(r, 12, user * 10);
    jlr.insert(jlr.end(), r.begin(), r.end());
  }
  WriteFileBytes(path_ + ".jlr", jlr);
  auto base = Open();
  EXPECT_EQ(base->GetLastRead(250), 2500);
  EXPECT_EQ(base->GetLastRead(101), 1010);
  base->SetLastRead(250, 1);
  EXPECT_EQ(File(".jlr").size(), jlr.size());
  EXPECT_EQ(base->GetLastRead(250), 1);
}

}  // namespace
}  // namespace drayline
