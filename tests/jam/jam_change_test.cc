// Changes to stored JAM messages are all or nothing: whichever of their
// writes fails, every file is left as it was, the status says which
// failure it was, and the message reads as before.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_env.h"
#include "jam/jam_test_files.h"
#include "msgbase/factory.h"
#include "test_util.h"

namespace drayline {
namespace {

using jamtest::Bytes;
using jamtest::JamFiles;
using jamtest::TestMessage;

class JamChangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    JamFiles files;
    TestMessage m;
    m.extra = {{4, "1:2/3 abcd"}};
    files.Add(m);
    files.Add(TestMessage());
    files.Write(path_);
  }
  std::vector<Bytes> Files() const {
    std::vector<Bytes> all;
    for (const char* ext : {".jhr", ".jdt", ".jdx", ".jlr"}) {
      all.push_back(ReadFileBytes(path_ + ext));
    }
    return all;
  }
  std::unique_ptr<MessageBase> OpenAt(int32_t num) {
    auto base = NewJamMessageBase(&env_);
    base->SetPath(path_);
    EXPECT_TRUE(base->OpenBase());
    base->SeekFirst(num);
    base->ReadHeader();
    return base;
  }
  // Fails the nth write to files named like part during change, then
  // checks that nothing changed and that message 1 reads as before.
  template <typename Fn>
  void ExpectAllOrNothing(const char* part, int nth, Fn change) {
    SCOPED_TRACE(std::string(part) + " write " + std::to_string(nth));
    const std::vector<Bytes> before = Files();
    auto base = OpenAt(1);
    env_.FailWrite(part, nth, io::kDiskWriteError);
    change(*base);
    EXPECT_EQ(base->LastStatus().io_result(), io::kDiskWriteError);
    EXPECT_EQ(base->LastStatus().code(), StatusCode::kWriteFailed);
    env_.Clear();
    EXPECT_EQ(Files(), before);
    auto fresh = OpenAt(1);
    EXPECT_FALSE(fresh->IsDeleted());
    EXPECT_EQ(fresh->GetSubject(), "Hello");
  }

  TempDir dir_;
  const std::string path_ = dir_ / "base";
  FaultEnv env_;
};

TEST_F(JamChangeTest, EveryWriteOfADelete) {
  // The header's deleted bit, the index record, the base header.
  auto remove = [](MessageBase& base) { base.DeleteMessage(); };
  ExpectAllOrNothing(".jhr", 1, remove);
  ExpectAllOrNothing(".jdx", 1, remove);
  ExpectAllOrNothing(".jhr", 2, remove);
}

TEST_F(JamChangeTest, EveryWriteOfARewriteThatMovesTheHeader) {
  // The text, the header appended, the index record, the old header's
  // deleted bit.
  auto rewrite = [](MessageBase& base) {
    base.ResetText();
    base.SetSubject("A subject longer than the one stored");
    base.AddTextLine("New");
    base.RewriteMessage();
  };
  ExpectAllOrNothing(".jdt", 1, rewrite);
  ExpectAllOrNothing(".jhr", 1, rewrite);
  ExpectAllOrNothing(".jdx", 1, rewrite);
  ExpectAllOrNothing(".jhr", 2, rewrite);
}

TEST_F(JamChangeTest, RewriteHeaderAndLastRead) {
  ExpectAllOrNothing(".jhr", 1, [](MessageBase& base) {
    base.SetReceived(true);
    base.RewriteHeader();
  });
  ExpectAllOrNothing(".jlr", 1, [](MessageBase& base) { base.SetLastRead(7, 9); });
}

TEST_F(JamChangeTest, FailuresSayWhatAndWhere) {
  auto base = OpenAt(1);
  base->SetMsgLoc(5);  // past the index: nothing to change
  base->RewriteHeader();
  EXPECT_EQ(base->LastStatus().code(), StatusCode::kNoSuchMessage);
  EXPECT_EQ(base->LastStatus().io_result(), io::kReadPastEnd);

  env_.FailLock(".jhr", io::kLockViolation);
  base = OpenAt(2);
  base->DeleteMessage();
  EXPECT_EQ(base->LastStatus().code(), StatusCode::kLocked);
  EXPECT_EQ(base->LastStatus().io_result(), io::kAccessDenied);
  env_.Clear();

  // An index record that points past the header file is damage, and the
  // words say which record.
  JamFiles files;
  files.Add(TestMessage());
  files.SetIndex(0, 0, 0x7FFFFF00);
  files.Write(path_);
  base = OpenAt(1);
  EXPECT_EQ(base->LastStatus().code(), StatusCode::kDamaged);
  EXPECT_EQ(base->LastStatus().text(),
            "damaged: index record 0 points past the end of the header file");
}

}  // namespace
}  // namespace drayline
