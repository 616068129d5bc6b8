// What drayline leaves in a JAM base: the bytes of a post, posts made at
// the same time by several processes, and a store that fails.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "e2e/e2e_board.h"
#include "e2e/jam_files.h"
#include "jam/jam_format.h"
#include "support/coding.h"
#include "support/env.h"

namespace drayline {
namespace {

using Bytes = std::vector<uint8_t>;

const std::string kDone = std::string(kBanner) + "Posting message ... DONE\n";

void Put32(Bytes& bytes, size_t offset, uint32_t value) {
  EncodeFixed32(&bytes[offset], value);
}

void AppendSubfield(Bytes& bytes, uint16_t kind, const std::string& data) {
  Bytes sub(jam::kSubfieldHeaderSize);
  EncodeFixed16(&sub[0], kind);
  Put32(sub, 4, static_cast<uint32_t>(data.size()));
  sub.insert(sub.end(), data.begin(), data.end());
  bytes.insert(bytes.end(), sub.begin(), sub.end());
}

// The header of the first message of a fresh base: sender Sysop, recipient
// All, subject Hello, text "Test", local and public. The time stamps are 0
// here and checked apart.
Bytes FirstHeader() {
  Bytes h(jam::kFixedHeaderSize, 0);
  std::copy_n("JAM", 4, h.begin());
  EncodeFixed16(&h[jam::kMhRevision], 1);
  Put32(h, jam::kMhSubfieldLen, 37);
  Put32(h, jam::kMhMsgIdCrc, jam::kNoCrc);
  Put32(h, jam::kMhReplyCrc, jam::kNoCrc);
  Put32(h, jam::kMhMessageNumber, 1);
  Put32(h, jam::kMhAttribute, jam::kAttrLocal | jam::kAttrTypeLocal);
  Put32(h, jam::kMhTxtLen, 5);
  Put32(h, jam::kMhPasswordCrc, jam::kNoCrc);
  AppendSubfield(h, jam::kSfReceiverName, "All");
  AppendSubfield(h, jam::kSfSenderName, "Sysop");
  AppendSubfield(h, jam::kSfSubject, "Hello");
  return h;
}

// Checks the stamp at offset of bytes lies in [low, high] and is a multiple
// of step, then overwrites it with the stamp of expected so that the rest
// can be compared byte for byte.
void CheckStamp(Bytes& bytes, size_t offset, UnixTime low, UnixTime high,
                UnixTime step, const Bytes& expected) {
  const UnixTime stamp = DecodeFixed32(&bytes[offset]);
  EXPECT_GE(stamp, low - low % step) << "stamp at " << offset;
  EXPECT_LE(stamp, high) << "stamp at " << offset;
  EXPECT_EQ(stamp % step, 0u) << "stamp at " << offset;
  std::copy_n(expected.begin() + static_cast<long>(offset), 4,
              bytes.begin() + static_cast<long>(offset));
}

TEST(PostStoreE2e, FirstPostIsStoredByteForByte) {
  E2eBoard board;
  board.WriteText("hello.txt", "Test\n");
  const UnixTime before = NowUnix();
  RunResult r = board.Post({"0", "Sysop", "All", "Hello", "hello.txt"});
  const UnixTime after = NowUnix();
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kDone);

  EXPECT_EQ(ReadFileBytes(board.Base() + ".jdt"), Bytes({'T', 'e', 's', 't', 13}));
  EXPECT_EQ(ReadFileBytes(board.Base() + ".jdx"),
            Bytes({0x22, 0x8E, 0xE7, 0xC4, 0x00, 0x04, 0x00, 0x00}));
  EXPECT_EQ(FileSizeOf(board.Base() + ".jlr"), 0);
  Bytes jhr = ReadFileBytes(board.Base() + ".jhr");
  ASSERT_EQ(jhr.size(), jam::kBaseHeaderSize + 113);

  Bytes base_header(jam::kBaseHeaderSize, 0);
  std::copy_n("JAM", 4, base_header.begin());
  Put32(base_header, jam::kBhModCounter, 1);
  Put32(base_header, jam::kBhActiveMsgs, 1);
  Put32(base_header, jam::kBhPasswordCrc, jam::kNoCrc);
  Put32(base_header, jam::kBhBaseMsgNum, 1);
  Bytes actual_base(jhr.begin(), jhr.begin() + jam::kBaseHeaderSize);
  CheckStamp(actual_base, jam::kBhDateCreated, before, after, 2, base_header);
  EXPECT_EQ(actual_base, base_header);

  const Bytes expected = FirstHeader();
  Bytes message(jhr.begin() + jam::kBaseHeaderSize, jhr.end());
  CheckStamp(message, jam::kMhDateWritten, before, after, 60, expected);
  CheckStamp(message, jam::kMhDateProcessed, before, after, 2, expected);
  EXPECT_EQ(message, expected);
}

TEST(PostStoreE2e, PostWaitsForTheLockHeldByAnotherProgram) {
  E2eBoard board;
  board.WriteText("t.txt", "first\n");
  ASSERT_EQ(board.Post({"0", "a", "b", "one", "t.txt"}).out, kDone);

  // Another program holds the lock on byte 0 of the header file.
  std::unique_ptr<File> holder;
  ASSERT_EQ(Env::Default()->Open(board.Base() + ".jhr", OpenMode::kReadWrite,
                                 &holder),
            io::kOk);
  ASSERT_EQ(holder->Lock(0, 1), io::kOk);
  std::atomic<bool> finished{false};
  RunResult waiting;
  std::thread post([&] {
    waiting = board.Post({"0", "a", "b", "two", "t.txt"});
    finished = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(finished);
  EXPECT_EQ(FileSizeOf(board.Base() + ".jdx"), 8);  // nothing stored yet
  ASSERT_EQ(holder->Unlock(0, 1), io::kOk);
  post.join();
  EXPECT_EQ(waiting.out, kDone);

  StoredJamBase base;
  ASSERT_TRUE(LoadJamBase(board.Base(), &base));
  ASSERT_EQ(base.messages.size(), 2u);
  EXPECT_EQ(base.messages[1].Subfield(jam::kSfSubject), "two");
  EXPECT_EQ(base.BaseField(jam::kBhActiveMsgs), 2u);
  EXPECT_EQ(base.BaseField(jam::kBhModCounter), 2u);
}

// The text writer p's post i stores. Every tenth is longer than the
// composing buffer, so it goes through a spill file of its own.
std::string TextOf(int p, int i) {
  std::string text = "writer " + std::to_string(p) + " post " +
                     std::to_string(i) + "\r";
  if (i % 10 == 0) {
    for (int line = 0; line < 60; ++line) {
      text += std::string(70, static_cast<char>('a' + (p + i + line) % 26)) +
              std::to_string(line) + "\r";
    }
  }
  return text;
}

TEST(PostStoreE2e, EightWritersAtOnceLoseNothing) {
  constexpr int kWriters = 8;
  constexpr int kPosts = 50;
  E2eBoard board;
  for (int p = 1; p <= kWriters; ++p) {
    for (int i = 1; i <= kPosts; ++i) {
      std::string text = TextOf(p, i);
      for (char& c : text) c = c == '\r' ? '\n' : c;
      board.WriteText("t_" + std::to_string(p) + "_" + std::to_string(i), text);
    }
  }
  // Each writer posts its messages one after the other; every run that
  // does not end in DONE is reported.
  const std::string script =
      "for p in $(seq 1 " + std::to_string(kWriters) + "); do ( for i in $(seq 1 " +
      std::to_string(kPosts) + "); do out=$(" + ShellQuote(DRAYLINE_BIN) +
      " 0 Writer_$p To_$i Post_$p.$i t_${p}_$i); s=$?; case \"$out\" in "
      "*'Posting message ... DONE') [ $s = 0 ] || echo \"$p.$i: $s\";; "
      "*) echo \"$p.$i: $out\";; esac; done ) & done; wait";
  RunResult r = RunCommand(script, board.root());
  EXPECT_EQ(r.out, "");

  StoredJamBase base;
  ASSERT_TRUE(LoadJamBase(board.Base(), &base));
  ASSERT_EQ(base.messages.size(), size_t{kWriters * kPosts});
  EXPECT_EQ(base.BaseField(jam::kBhActiveMsgs), uint32_t{kWriters * kPosts});
  EXPECT_EQ(base.BaseField(jam::kBhModCounter), uint32_t{kWriters * kPosts});
  std::set<std::string> seen;
  for (const StoredJamMessage& m : base.messages) {
    int p = 0, i = 0;
    const std::string subject = m.Subfield(jam::kSfSubject);
    ASSERT_EQ(std::sscanf(subject.c_str(), "Post %d.%d", &p, &i), 2) << subject;
    EXPECT_EQ(m.text, TextOf(p, i)) << subject;
    EXPECT_EQ(m.Subfield(jam::kSfSenderName), "Writer " + std::to_string(p));
    EXPECT_EQ(m.user_crc, jam::NameChecksum("To " + std::to_string(i)));
    seen.insert(subject);
  }
  EXPECT_EQ(seen.size(), size_t{kWriters * kPosts});
}

TEST(PostStoreE2e, SixPostsIntoAMissingBaseAllStore) {
  E2eBoard board;
  board.WriteText("t.txt", "hello\n");
  const std::string script =
      "for i in 1 2 3 4 5 6; do " + ShellQuote(DRAYLINE_BIN) +
      " 0 a b S$i t.txt > out$i & done; wait; cat out1 out2 out3 out4 out5 out6";
  RunResult r = RunCommand(script, board.root());
  std::string expected;
  for (int i = 0; i < 6; ++i) expected += kDone;
  EXPECT_EQ(r.out, expected);

  StoredJamBase base;
  ASSERT_TRUE(LoadJamBase(board.Base(), &base));
  EXPECT_EQ(base.messages.size(), 6u);
  EXPECT_EQ(base.BaseField(jam::kBhActiveMsgs), 6u);
  EXPECT_EQ(base.BaseField(jam::kBhModCounter), 6u);
  EXPECT_EQ(base.BaseField(jam::kBhBaseMsgNum), 1u);
}

// A file size limit set by the sysop's shell makes the header write fail
// after the text and the index record were appended: the post says so, and
// the base is left exactly as it was.
TEST(PostStoreE2e, FailedStoreReportsAndLeavesTheBaseAsItWas) {
  E2eBoard board;
  board.WriteText("t.txt", "short\n");
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(board.Post({"0", "a", "b", "c", "t.txt"}).out, kDone);
  }
  const std::map<std::string, Bytes> before = {
      {".jhr", ReadFileBytes(board.Base() + ".jhr")},
      {".jdt", ReadFileBytes(board.Base() + ".jdt")},
      {".jdx", ReadFileBytes(board.Base() + ".jdx")}};
  ASSERT_GT(before.at(".jhr").size(), 1024u);  // beyond a 1 KiB limit
  ASSERT_LT(before.at(".jdt").size() + 20, 1024u);  // text still fits

  // bash counts the limit in KiB.
  RunResult r = RunCommand(
      "bash -c " + ShellQuote("ulimit -f 1 && exec " +
                              E2eBoard::PostCommand({"0", "a", "b", "c", "t.txt"})),
      board.root());
  EXPECT_EQ(r.status, 1);
  const std::string failed =
      std::string(kBanner) + "Posting message ... FAILED\nMessage base error 101.\n";
  EXPECT_EQ(r.out.substr(0, failed.size()), failed);
  // Then one line more, saying why in the words of the base's status.
  const std::string why = r.out.substr(std::min(failed.size(), r.out.size()));
  EXPECT_TRUE(why.size() > 1 && why.find('\n') == why.size() - 1) << r.out;
  for (const auto& [ext, bytes] : before) {
    EXPECT_EQ(ReadFileBytes(board.Base() + ext), bytes) << ext;
  }
  StoredJamBase base;
  ASSERT_TRUE(LoadJamBase(board.Base(), &base));
  EXPECT_EQ(base.messages.size(), 3u);
}

}  // namespace
}  // namespace drayline
