#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_env.h"
#include "jam/jam_format.h"
#include "jam/jam_test_files.h"
#include "msgbase/factory.h"
#include "support/coding.h"
#include "test_util.h"

namespace drayline {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le32(const Bytes& b, size_t at) { return DecodeFixed32(b.data() + at); }

class JamWriteTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_ / "general"; }

  // A base on env (the test's clock when none is given).
  std::unique_ptr<MessageBase> NewBase(Env* env = nullptr) {
    auto base = NewJamMessageBase(env != nullptr ? env : &clock_);
    base->SetPath(path_);
    if (!base->OpenBase()) {
      EXPECT_TRUE(base->CreateBase(0, 0));
      EXPECT_TRUE(base->OpenBase());
    }
    return base;
  }

  // Composes the message of the worked example.
  static void ComposeExample(MessageBase& base) {
    jamtest::ComposeWorkedExample(base);
  }

  Bytes File(const char* ext) { return ReadFileBytes(path_ + ext); }

  TempDir dir_;
  std::string path_;
  ClockEnv clock_{{2001, 6, 15, 14, 30, 8}};
};

TEST_F(JamWriteTest, CreateBaseWritesAnEmptyBase) {
  auto base = NewBase();
  Bytes jhr = File(".jhr");
  ASSERT_EQ(jhr.size(), 1024u);
  Bytes expected(1024, 0);
  expected[0] = 'J';
  expected[1] = 'A';
  expected[2] = 'M';
  EncodeFixed32(expected.data() + 4, 992615408);
  EncodeFixed32(expected.data() + 16, 0xFFFFFFFF);
  EncodeFixed32(expected.data() + 20, 1);
  EXPECT_EQ(jhr, expected);
  for (const char* ext : {".jdt", ".jdx", ".jlr"}) {
    EXPECT_EQ(FileSizeOf(path_ + ext), 0) << ext;
  }
}

TEST_F(JamWriteTest, FirstMessageMatchesTheWorkedExampleByteForByte) {
  auto base = NewBase();
  ComposeExample(*base);
  ASSERT_EQ(base->WriteMessage(), 0);
  base->CloseBase();

  EXPECT_EQ(File(".jdt"), (Bytes{0x54, 0x65, 0x73, 0x74, 0x0D}));
  EXPECT_EQ(File(".jdx"), (Bytes{0x22, 0x8E, 0xE7, 0xC4, 0x00, 0x04, 0x00, 0x00}));
  Bytes jhr = File(".jhr");
  ASSERT_EQ(jhr.size(), 1024u + 113u);
  const Bytes header{
      0x4A, 0x41, 0x4D, 0x00, 0x01, 0x00, 0x00, 0x00, 0x25, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0xE8, 0x1B, 0x2A, 0x3B, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x1B, 0x2A, 0x3B,
      0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
      0x00, 0x00, 0x00, 0x00,
      0x03, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x41, 0x6C, 0x6C,
      0x02, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x53, 0x79, 0x73, 0x6F, 0x70,
      0x06, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x48, 0x65, 0x6C, 0x6C, 0x6F};
  EXPECT_EQ(Bytes(jhr.begin() + 1024, jhr.end()), header);
  EXPECT_EQ(Le32(jhr, jam::kBhModCounter), 1u);
  EXPECT_EQ(Le32(jhr, jam::kBhActiveMsgs), 1u);
  EXPECT_EQ(Le32(jhr, jam::kBhBaseMsgNum), 1u);
}

TEST_F(JamWriteTest, SecondMessageFollowsTheFirst) {
  auto base = NewBase();
  ComposeExample(*base);
  ASSERT_EQ(base->WriteMessage(), 0);
  ComposeExample(*base);
  ASSERT_EQ(base->WriteMessage(), 0);
  Bytes jhr = File(".jhr");
  Bytes jdx = File(".jdx");
  ASSERT_EQ(jdx.size(), 16u);
  EXPECT_EQ(Le32(jdx, 12), 1137u);
  EXPECT_EQ(Le32(jhr, 1137 + jam::kMhMessageNumber), 2u);
  EXPECT_EQ(Le32(jhr, 1137 + jam::kMhTxtOffset), 5u);
  EXPECT_EQ(Le32(jhr, 1137 + jam::kMhSubfieldLen), 37u);  // not appended twice
  EXPECT_EQ(Le32(jhr, jam::kBhModCounter), 2u);
  EXPECT_EQ(Le32(jhr, jam::kBhActiveMsgs), 2u);
}

TEST_F(JamWriteTest, NumbersFollowBaseMsgNumAndWholeIndexRecords) {
  { auto base = NewBase(); }
  Bytes jhr = File(".jhr");
  EncodeFixed32(jhr.data() + jam::kBhBaseMsgNum, 500);
  WriteFileBytes(path_ + ".jhr", jhr);
  // Ten records and a torn partial one left by a crashed writer.
  Bytes jdx(10 * 8 + 3, 0);
  WriteFileBytes(path_ + ".jdx", jdx);
  auto base = NewBase();
  ComposeExample(*base);
  ASSERT_EQ(base->WriteMessage(), 0);
  jhr = File(".jhr");
  EXPECT_EQ(Le32(jhr, 1024 + jam::kMhMessageNumber), 510u);
  jdx = File(".jdx");
  ASSERT_EQ(jdx.size(), 88u);
  EXPECT_EQ(Le32(jdx, 84), 1024u);
}

TEST_F(JamWriteTest, TextRulesAndOptionalSubfields) {
  auto base = NewBase();
  base->StartNewMessage();
  base->SetFileRequest(true);
  base->SetSubject("FILES.ZIP");
  base->SetDest({2, 250, 0, 0});
  base->SetCost(65535);
  base->SetDate("12/31/79");
  base->SetTime("23:59");
  base->AddText("open line");
  ASSERT_EQ(base->WriteMessage(), 0);
  Bytes jdt = File(".jdt");
  EXPECT_EQ(std::string(jdt.begin(), jdt.end()), "open line\r\n");
  Bytes jdx = File(".jdx");
  EXPECT_EQ(Le32(jdx, 0), 0xFFFFFFFFu);  // empty recipient
  Bytes jhr = File(".jhr");
  const size_t h = 1024;
  EXPECT_EQ(Le32(jhr, h + jam::kMhCost), 0xFFFFu);
  EXPECT_EQ(Le32(jhr, h + jam::kMhDateWritten), 3471292740u);  // 2079-12-31 23:59
  // Subfields: the subject as a file request (11), then the destination.
  EXPECT_EQ(DecodeFixed16(jhr.data() + h + 76), 11);
  const size_t dest = h + 76 + 8 + 9;
  EXPECT_EQ(DecodeFixed16(jhr.data() + dest), 1);
  EXPECT_EQ(std::string(jhr.begin() + dest + 8, jhr.begin() + dest + 8 + 7),
            "2:250/0");

  base->StartNewMessage();
  base->SetDate("01/01/80");
  ASSERT_EQ(base->WriteMessage(), 0);  // no text at all
  jhr = File(".jhr");
  const size_t second = Le32(File(".jdx"), 12);
  EXPECT_EQ(Le32(jhr, second + jam::kMhTxtLen), 0u);
  EXPECT_EQ(Le32(jhr, second + jam::kMhTxtOffset), 11u);
  EXPECT_EQ(Le32(jhr, second + jam::kMhDateWritten), 315585000u);  // 1980-01-01 14:30
}

TEST_F(JamWriteTest, LongTextsSpillAndLeaveNothingBehind) {
  auto base = NewBase();
  base->StartNewMessage();
  std::string expected;
  for (int i = 0; i < 9001; ++i) {
    uint8_t c = static_cast<uint8_t>('a' + i % 26);
    base->AddChar(c);
    expected.push_back(static_cast<char>(c));
  }
  base->AddChar(13);
  expected.push_back('\r');
  ASSERT_EQ(base->WriteMessage(), 0);
  Bytes jdt = File(".jdt");
  EXPECT_EQ(std::string(jdt.begin(), jdt.end()), expected);
  EXPECT_FALSE(PathExists(dir_ / "MSGBUF1"));
  EXPECT_FALSE(PathExists("MSGBUF1"));
}

TEST_F(JamWriteTest, FailedWritesLeaveTheBaseAsItWas) {
  // Each of the store's writes fails in turn; the base must come out as it
  // was before, and the next store must succeed normally.
  for (const char* failing : {".jdt", ".jdx", ".jhr"}) {
    SCOPED_TRACE(failing);
    TempDir dir;
    path_ = dir / "general";
    FaultEnv env(&clock_);
    auto base = NewBase(&env);
    ComposeExample(*base);
    ASSERT_EQ(base->WriteMessage(), 0);
    const Bytes jhr = File(".jhr"), jdt = File(".jdt"), jdx = File(".jdx");

    // The header file sees the message header and then the base header:
    // fail the first for ".jhr".
    env.FailWrite(failing, 1, io::kDiskWriteError);
    ComposeExample(*base);
    EXPECT_EQ(base->WriteMessage(), io::kDiskWriteError);
    EXPECT_EQ(File(".jhr"), jhr);
    EXPECT_EQ(File(".jdt"), jdt);
    EXPECT_EQ(File(".jdx"), jdx);

    env.Clear();
    ComposeExample(*base);
    EXPECT_EQ(base->WriteMessage(), 0);
    EXPECT_EQ(Le32(File(".jhr"), jam::kBhActiveMsgs), 2u);
  }
}

TEST_F(JamWriteTest, FailedBaseHeaderWriteFailsTheStore) {
  FaultEnv env(&clock_);
  auto base = NewBase(&env);
  const Bytes jhr = File(".jhr");
  env.FailWrite(".jhr", 2, io::kDiskWriteError);  // after the message header
  ComposeExample(*base);
  EXPECT_EQ(base->WriteMessage(), io::kDiskWriteError);
  EXPECT_EQ(File(".jhr"), jhr);
  EXPECT_EQ(FileSizeOf(path_ + ".jdx"), 0);
  EXPECT_EQ(FileSizeOf(path_ + ".jdt"), 0);
}

TEST_F(JamWriteTest, FullDiskDuringSpillFailsTheStore) {
  FaultEnv env(&clock_);
  auto base = NewBase(&env);
  env.FailOpen("<temporary>", io::kDiskWriteError);
  base->StartNewMessage();
  for (int i = 0; i < 4500; ++i) base->AddChar('x');
  EXPECT_EQ(base->WriteMessage(), io::kDiskWriteError);
  EXPECT_EQ(FileSizeOf(path_ + ".jdt"), 0);
  EXPECT_EQ(FileSizeOf(path_ + ".jhr"), 1024);
}

TEST_F(JamWriteTest, LockHeldElsewhereFailsWithFiveAndWritesNothing) {
  FaultEnv env(&clock_);
  auto base = NewBase(&env);
  env.FailLock(".jhr", io::kLockViolation);
  const int writes = env.WritesTo(".j");
  ComposeExample(*base);
  EXPECT_EQ(base->WriteMessage(), io::kAccessDenied);
  EXPECT_EQ(env.WritesTo(".j"), writes);
  EXPECT_EQ(FileSizeOf(path_ + ".jhr"), 1024);
  env.Clear();
  ComposeExample(*base);
  EXPECT_EQ(base->WriteMessage(), 0);  // the failed lock left no count behind
}

TEST_F(JamWriteTest, CreateBaseNeverDestroysMessages) {
  {
    auto base = NewBase();
    ComposeExample(*base);
    ASSERT_EQ(base->WriteMessage(), 0);
  }
  const Bytes jhr = File(".jhr");
  ASSERT_EQ(std::remove((path_ + ".jdx").c_str()), 0);
  auto base = NewJamMessageBase(&clock_);
  base->SetPath(path_);
  EXPECT_FALSE(base->OpenBase());
  EXPECT_FALSE(base->CreateBase(0, 0));
  EXPECT_EQ(File(".jhr"), jhr);
  EXPECT_FALSE(PathExists(path_ + ".jdx"));
}

TEST_F(JamWriteTest, CreateBaseCompletesABaseWithoutMessages) {
  WriteFileBytes(path_ + ".jhr", Bytes(10, 0xEE));  // torn: shorter than a header
  WriteFileBytes(path_ + ".jdt", Bytes{'k', 'e', 'e', 'p'});
  auto base = NewJamMessageBase(&clock_);
  base->SetPath(path_);
  EXPECT_FALSE(base->OpenBase());
  EXPECT_TRUE(base->CreateBase(0, 0));
  EXPECT_TRUE(base->OpenBase());
  EXPECT_EQ(FileSizeOf(path_ + ".jhr"), 1024);
  EXPECT_EQ(File(".jdt"), (Bytes{'k', 'e', 'e', 'p'}));
  // A whole base: CreateBase writes nothing and succeeds.
  const Bytes jhr = File(".jhr");
  EXPECT_TRUE(base->CreateBase(0, 0));
  EXPECT_EQ(File(".jhr"), jhr);
}

// A path longer than a short string is kept whole: a cut path would put
// the base's files somewhere else.
TEST_F(JamWriteTest, LongPathsAreKeptWhole) {
  std::string deep = dir_.path();
  while (deep.size() < 300) {
    deep += "/directory_level";
    ASSERT_EQ(Env::Default()->CreateDir(deep), io::kOk);
  }
  path_ = deep + "/general";
  auto base = NewBase();
  EXPECT_TRUE(PathExists(path_ + ".jhr"));
  EXPECT_TRUE(base->BaseExists());
}

TEST_F(JamWriteTest, NestedLockReadsOnceWritesOnce) {
  FaultEnv env(&clock_);
  auto base = NewBase(&env);
  const int writes = env.WritesTo(".jhr");
  EXPECT_FALSE(base->UnlockBase());  // no lock held: nothing written
  EXPECT_EQ(env.WritesTo(".jhr"), writes);
  ASSERT_TRUE(base->LockBase());
  ASSERT_TRUE(base->LockBase());
  EXPECT_TRUE(base->UnlockBase());
  EXPECT_EQ(env.WritesTo(".jhr"), writes);
  EXPECT_TRUE(base->UnlockBase());
  EXPECT_EQ(env.WritesTo(".jhr"), writes + 1);
}

TEST_F(JamWriteTest, TwoOpenBasesKeepEachOthersCounters) {
  auto first = NewBase();
  auto second = NewBase();
  for (int i = 0; i < 3; ++i) {
    ComposeExample(*first);
    ASSERT_EQ(first->WriteMessage(), 0);
    ComposeExample(*second);
    ASSERT_EQ(second->WriteMessage(), 0);
  }
  Bytes jhr = File(".jhr");
  EXPECT_EQ(Le32(jhr, jam::kBhActiveMsgs), 6u);
  EXPECT_EQ(Le32(jhr, jam::kBhModCounter), 6u);
  Bytes jdx = File(".jdx");
  ASSERT_EQ(jdx.size(), 48u);
  for (uint32_t n = 0; n < 6; ++n) {
    const uint32_t at = Le32(jdx, n * 8 + 4);
    EXPECT_EQ(Le32(jhr, at + jam::kMhMessageNumber), n + 1);
    EXPECT_EQ(Le32(jhr, at + jam::kMhTxtOffset), n * 5);
  }
}

TEST(JamNameChecksum, KnownValues) {
  EXPECT_EQ(jam::NameChecksum(""), 0xFFFFFFFFu);
  EXPECT_EQ(jam::NameChecksum("abc"), 0xCADBBE3Du);
  EXPECT_EQ(jam::NameChecksum("ABC"), 0xCADBBE3Du);
  EXPECT_EQ(jam::NameChecksum("All"), 0xC4E78E22u);
}

}  // namespace
}  // namespace drayline
