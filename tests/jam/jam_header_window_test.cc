// The read-ahead window of the header file: walks read it a window at a
// time, yet a header that matters is never served stale, and long or
// damaged headers at its edges are read whole or not at all.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "jam/jam_format.h"
#include "jam/jam_test_files.h"
#include "msgbase/factory.h"
#include "test_util.h"

namespace drayline {
namespace {

using jamtest::JamFiles;
using jamtest::Put32;
using jamtest::TestMessage;

class JamHeaderWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_ / "base"; }

  // A base of n messages, each with its number in the subject; messages
  // first_target to last_target are for "Target", the others for "All".
  void WriteBase(int n, int first_target = 0, int last_target = -1) {
    JamFiles files;
    for (int i = 1; i <= n; ++i) {
      TestMessage m;
      m.subject = "Subject " + std::to_string(i);
      if (i >= first_target && i <= last_target) m.to = "Target";
      files.Add(m);
    }
    files.Write(path_);
  }
  std::unique_ptr<MessageBase> Open() {
    auto base = NewJamMessageBase();
    base->SetPath(path_);
    EXPECT_TRUE(base->OpenBase());
    return base;
  }
  static void Load(MessageBase& base, int32_t num) {
    base.SetMsgLoc(num);
    base.ReadHeader();
    ASSERT_EQ(base.GetMsgNum(), num);
  }
  // Reads the first n headers, so that the window holds those after them.
  static void ReadFirst(MessageBase& base, int n) {
    base.SeekFirst(1);
    for (int i = 0; i < n && base.SeekFound(); ++i, base.SeekNext()) base.ReadHeader();
  }
  // Walks the base; the numbers of the messages read as live.
  static std::vector<int32_t> LiveMessages(MessageBase& base) {
    std::vector<int32_t> live;
    for (base.SeekFirst(1); base.SeekFound(); base.SeekNext()) {
      base.ReadHeader();
      if (!base.IsDeleted()) live.push_back(base.GetMsgNum());
    }
    return live;
  }

  TempDir dir_;
  std::string path_;
};

TEST_F(JamHeaderWindowTest, ChangesByAnotherObjectAreSeenByTheNextWalk) {
  WriteBase(300);
  auto reader = Open();
  ReadFirst(*reader, 3);

  auto writer = Open();
  Load(*writer, 7);
  writer->SetPrivate(true);
  writer->RewriteHeader();
  ASSERT_EQ(writer->LastStatus().io_result(), 0);
  Load(*writer, 9);
  writer->DeleteMessage();
  ASSERT_EQ(writer->LastStatus().io_result(), 0);

  const std::vector<int32_t> live = LiveMessages(*reader);
  EXPECT_EQ(live.size(), 299u);
  EXPECT_EQ(std::count(live.begin(), live.end(), 9), 0);
  reader->SeekFirst(7);
  reader->ReadHeader();
  EXPECT_TRUE(reader->IsPrivate());
}

TEST_F(JamHeaderWindowTest, TheMailSearchReadsHeadersAfresh) {
  WriteBase(300, 15, 30);
  auto reader = Open();
  ReadFirst(*reader, 12);  // the window holds every message for Target
  auto writer = Open();
  Load(*writer, 20);
  writer->SetReceived(true);
  writer->RewriteHeader();
  ASSERT_EQ(writer->LastStatus().io_result(), 0);
  std::vector<int32_t> mail;
  for (reader->SeekFirstForUser("Target", ""); reader->ForUserFound();
       reader->SeekNextForUser()) {
    mail.push_back(reader->GetMsgLoc());
  }
  EXPECT_EQ(mail.size(), 15u);
  EXPECT_EQ(std::count(mail.begin(), mail.end(), 20), 0);
}

TEST_F(JamHeaderWindowTest, HeadersReadUnderTheLockAreFresh) {
  WriteBase(50);
  auto reader = Open();
  ReadFirst(*reader, 10);
  auto writer = Open();
  Load(*writer, 12);  // within the window the reader has read ahead
  writer->SetReceived(true);
  writer->RewriteHeader();
  ASSERT_EQ(writer->LastStatus().io_result(), 0);

  ASSERT_TRUE(reader->LockBase());
  Load(*reader, 12);
  EXPECT_TRUE(reader->IsReceived());
  EXPECT_TRUE(reader->UnlockBase());
}

TEST_F(JamHeaderWindowTest, OwnWritesUnderOneLockAreReadBack) {
  // Inside one LockBase the window may be filled and read again; every
  // write of the object's own must be seen by its next read.
  WriteBase(50);
  auto base = Open();
  ASSERT_TRUE(base->LockBase());
  ASSERT_EQ(LiveMessages(*base).size(), 50u);

  Load(*base, 5);
  base->SetPrivate(true);
  base->RewriteHeader();
  Load(*base, 6);
  base->DeleteMessage();
  Load(*base, 7);
  base->ResetText();
  base->SetTo("Xyz");  // as long as "All": rewritten in place
  base->SetFrom("Sysop");
  base->SetSubject("Subject 7");
  base->AddTextLine("New");
  base->RewriteMessage();
  ASSERT_EQ(base->LastStatus().io_result(), 0);

  Load(*base, 4);
  Load(*base, 5);
  EXPECT_TRUE(base->IsPrivate());
  Load(*base, 7);
  EXPECT_EQ(base->GetTo(), "Xyz");
  const std::vector<int32_t> live = LiveMessages(*base);
  EXPECT_EQ(std::count(live.begin(), live.end(), 6), 0);
  EXPECT_EQ(live.size(), 49u);
  EXPECT_TRUE(base->UnlockBase());
}

TEST_F(JamHeaderWindowTest, WalksReadAWindowAtATime) {
  WriteBase(5000);
  const uint64_t jhr_size = FileSizeOf(path_ + ".jhr");
  ASSERT_GT(jhr_size, 2 * jam::kHeaderWalkWindowSize);
  auto base = Open();
  Env* env = Env::Default();
  env->ResetCounters();
  ASSERT_EQ(LiveMessages(*base).size(), 5000u);
  // The first header alone, then a window at a time, doubling from the
  // smallest to the largest; the index the same way, from 200 records
  // (a reload starts 30 back) to 8192; and the calls meeting the ends.
  const uint64_t header_reads = 1 + 4 + jhr_size / jam::kHeaderWalkWindowSize + 1;
  const uint64_t index_reads = 6;  // 200, 400, ... 6400 records
  EXPECT_LE(env->Counters().reads, header_reads + index_reads + 4);

  // A header read alone afterwards reads no window's worth.
  env->ResetCounters();
  Load(*base, 2500);
  EXPECT_LE(env->Counters().bytes_read, 1024u + 200 * jam::kIndexRecordSize);

  // A found message read again by ReadHeader costs no second read.
  auto search = [&](bool read_header) {
    env->ResetCounters();
    int found = 0;
    for (base->SeekFirstForUser("All", ""); base->ForUserFound() && found < 300;
         base->SeekNextForUser()) {
      if (read_header) base->ReadHeader();
      ++found;
    }
    return env->Counters().reads;
  };
  search(false);  // the index window is in place from here on
  EXPECT_EQ(search(true), search(false));
}

TEST_F(JamHeaderWindowTest, LongAndDamagedHeadersAtTheWindowEdges) {
  // Headers of 3 KiB straddle the window's edges: each is read whole (the
  // subject is their last subfield). One claims every byte a header can
  // have, the last runs past the file's end.
  JamFiles files;
  for (int i = 1; i <= 40; ++i) {
    TestMessage m;
    m.subject.clear();
    m.extra = {{2000, std::string(3000 + i, 'z')},
               {jam::kSfSubject, "Subject " + std::to_string(i)}};
    files.Add(m);
  }
  Put32(files.jhr, files.HeaderOffset(19) + jam::kMhSubfieldLen, 0xFFFFFFFF);
  Put32(files.jhr, files.HeaderOffset(39) + jam::kMhSubfieldLen, 50000);
  files.Write(path_);
  auto base = Open();
  int read = 0;
  for (base->SeekFirst(1); base->SeekFound(); base->SeekNext()) {
    base->ReadHeader();
    ASSERT_EQ(base->LastStatus().io_result(), 0);
    ASSERT_EQ(base->GetMsgNum(), ++read);
    EXPECT_EQ(base->GetSubject(), "Subject " + std::to_string(read));
  }
  EXPECT_EQ(read, 40);

  // The same headers read one by one, backwards, give the same.
  for (int32_t num = 40; num >= 1; --num) {
    Load(*base, num);
    EXPECT_EQ(base->GetSubject(), "Subject " + std::to_string(num));
  }
}

}  // namespace
}  // namespace drayline
