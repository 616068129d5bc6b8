// What drayline leaves in a Squish base (record 1 of the sample board):
// the bytes of a post, many posts at once, and a store that fails.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "e2e/e2e_board.h"
#include "squish/squish_format.h"
#include "squish/squish_test_util.h"
#include "support/clock.h"
#include "support/coding.h"
#include "support/strings.h"

namespace drayline {
namespace {

using namespace squish;
using Bytes = std::vector<uint8_t>;

const std::string kDone = std::string(kBanner) + "Posting message ... DONE\n";

UnixTime StampOf(uint32_t swapped) {
  return PackedToUnix(SwapPackedHalves(swapped));
}

TEST(SquishPostE2e, FirstPostIsStoredByteForByte) {
  E2eBoard board;
  board.WriteText("hi.txt", "Hi\n");
  const UnixTime before = NowUnix();
  RunResult r = board.Post({"1", "Sysop", "All", "Hello", "hi.txt"});
  const UnixTime after = NowUnix();
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kDone);

  const std::string path = board.Base("chatter");
  Bytes data = ReadFileBytes(path + ".sqd");
  ASSERT_EQ(data.size(), 526u);
  // The control record of a new base made from the record (MaxMsgs 500,
  // MaxAge 30), after one post.
  Bytes want(256, 0);
  want[kBhHeaderLength + 1] = 1;
  want[kBhMessageCount] = want[kBhHighMessage] = 1;
  want[kBhNextUid] = 2;
  std::copy(path.begin(), path.begin() + std::min<size_t>(path.size(), 77),
            want.begin() + kBhBaseName);
  want[kBhFirstFrame + 1] = want[kBhLastFrame + 1] = 1;  // 256
  EncodeFixed32(&want[kBhEndFrame], 526);
  EncodeFixed32(&want[kBhMaxMessages], 500);
  want[kBhKeepDays] = 30;
  want[kBhFrameHeaderSize] = 28;
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 256), want);

  BaseContents c = ReadBase(path);
  ASSERT_EQ(c.error, "");
  const StoredMessage& m = c.messages.at(0);
  EXPECT_EQ(m.offset, 256);
  EXPECT_EQ(m.frame.FrameLength, 242);
  EXPECT_EQ(m.text, std::string("Hi\r\0", 4));
  EXPECT_EQ(m.header.Attributes, kAttrLocal);
  EXPECT_EQ(m.to(), "All");
  // The write date holds whole minutes, the arrival even seconds.
  const UnixTime written = StampOf(m.header.DateWritten);
  EXPECT_GE(written, before - before % 60);
  EXPECT_LE(written, after);
  EXPECT_GE(StampOf(m.header.DateArrived), before);
  EXPECT_LE(StampOf(m.header.DateArrived), after);
  SquishMessageHeader fixed = m.header;
  fixed.DateWritten = fixed.DateArrived = 0;
  fixed.FtscDate = {};
  Bytes header(kMessageHeaderSize);
  EncodeMessageHeader(fixed, header.data());
  Bytes expected(kMessageHeaderSize, 0);
  expected[kMhAttributes + 1] = 1;
  std::copy_n("Sysop", 5, expected.begin() + kMhFromName);
  std::copy_n("All", 3, expected.begin() + kMhToName);
  std::copy_n("Hello", 5, expected.begin() + kMhSubject);
  EXPECT_EQ(header, expected);
  EXPECT_EQ(m.header.FtscDate[10], ' ');
  EXPECT_EQ(m.header.FtscDate[19], 0);
  EXPECT_EQ(ReadFileBytes(path + ".sqi"),
            Bytes({0, 1, 0, 0, 1, 0, 0, 0, 0x2C, 0x68, 0, 0}));
  EXPECT_EQ(FileSizeOf(path + ".sql"), 0);
}

// Eight writers post fifty messages each (the first ones into a base that
// does not exist yet); every run ends in DONE and nothing is lost.
TEST(SquishPostE2e, EightWritersAtOnceIntoAMissingBase) {
  constexpr int kWriters = 8;
  constexpr int kPosts = 50;
  E2eBoard board;
  board.WriteText("t.txt", "the same text\nfor every post\n");
  const std::string script =
      "for p in $(seq 1 " + std::to_string(kWriters) +
      "); do ( for i in $(seq 1 " + std::to_string(kPosts) + "); do out=$(" +
      ShellQuote(DRAYLINE_BIN) +
      " 1 Writer_$p To_$i Post_$p.$i t.txt); s=$?; case \"$out\" in "
      "*'Posting message ... DONE') [ $s = 0 ] || echo \"$p.$i: $s\";; "
      "*) echo \"$p.$i: $out\";; esac; done ) & done; wait";
  RunResult r = RunCommand(script, board.root());
  EXPECT_EQ(r.out, "");

  BaseContents c = ReadBase(board.Base("chatter"));
  ASSERT_EQ(c.error, "");
  ASSERT_EQ(c.messages.size(), size_t{kWriters * kPosts});
  std::set<std::string> subjects;
  for (const StoredMessage& m : c.messages) {
    EXPECT_EQ(m.text, std::string("the same text\rfor every post\r\0", 30));
    subjects.insert(CStrToStr(m.header.Subject, kSubjectLimit));
  }
  EXPECT_EQ(subjects.size(), size_t{kWriters * kPosts});
  EXPECT_EQ(c.header.NextUid, kWriters * kPosts + 1);
}

// A file size limit set by the sysop's shell stops the frame's writes (the
// frame header itself, or the message header after it): the post says so
// and the base is left exactly as it was.
TEST(SquishPostE2e, FailedStoreReportsAndLeavesTheBaseAsItWas) {
  for (int earlier : {2, 3}) {
    SCOPED_TRACE(earlier);
    E2eBoard board;
    board.WriteText("t.txt", "short\n");
    for (int i = 0; i < earlier; ++i) {
      ASSERT_EQ(board.Post({"1", "a", "b", "c", "t.txt"}).out, kDone);
    }
    const std::string path = board.Base("chatter");
    const Bytes data = ReadFileBytes(path + ".sqd");
    const Bytes index = ReadFileBytes(path + ".sqi");
    // bash counts the limit in KiB.
    RunResult r = RunCommand(
        "bash -c " +
            ShellQuote("ulimit -f 1 && exec " +
                       E2eBoard::PostCommand({"1", "a", "b", "c", "t.txt"})),
        board.root());
    EXPECT_EQ(r.status, 1);
    const std::string failed =
        std::string(kBanner) + "Posting message ... FAILED\nMessage base error 101.\n";
    EXPECT_EQ(r.out.substr(0, failed.size()), failed);
    // Then one line more, saying why in the words of the base's status.
    const std::string why = r.out.substr(std::min(failed.size(), r.out.size()));
    EXPECT_TRUE(why.size() > 1 && why.find('\n') == why.size() - 1) << r.out;
    EXPECT_EQ(ReadFileBytes(path + ".sqd"), data);
    EXPECT_EQ(ReadFileBytes(path + ".sqi"), index);
    BaseContents c = ReadBase(path);
    ASSERT_EQ(c.error, "");
    EXPECT_EQ(c.messages.size(), size_t(earlier));
  }
}

}  // namespace
}  // namespace drayline
