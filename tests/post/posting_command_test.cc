// The posting command run in-process against a base that records the calls
// it receives, so the call sequence, the refusals and the text handling are
// checked independently of any storage format.

#include "post/posting_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "e2e/e2e_board.h"  // kBanner
#include "fault_env.h"
#include "post/test_board.h"
#include "post/text_reader.h"
#include "test_util.h"

namespace drayline {
namespace {

using Calls = std::vector<std::string>;

// What the recording base answers.
struct Script {
  std::vector<bool> open_results = {true};  // successive OpenBase answers
  bool create_result = true;
  uint16_t write_result = 0;
  std::function<void()> on_start_new_message;
};

class RecordingBase final : public MessageBase {
 public:
  RecordingBase(Calls* calls, Script* script) : calls_(calls), script_(script) {}
  ~RecordingBase() override { calls_->push_back("~"); }

  void SetPath(std::string_view p) override { Log("SetPath", p); }
  bool OpenBase() override {
    Log("OpenBase");
    if (opens_ >= script_->open_results.size()) return false;
    return script_->open_results[opens_++];
  }
  bool CreateBase(uint16_t max_msgs, uint16_t days) override {
    Log("CreateBase", std::to_string(max_msgs) + "," + std::to_string(days));
    return script_->create_result;
  }
  void CloseBase() override { Log("CloseBase"); }
  void Done() override { Log("Done"); }
  void StartNewMessage() override {
    Log("StartNewMessage");
    if (script_->on_start_new_message) script_->on_start_new_message();
  }
  void SetLocal(bool on) override { Log("SetLocal", on ? "1" : "0"); }
  void SetMailType(MailType k) override {
    Log("SetMailType", std::to_string(static_cast<int>(k)));
  }
  void SetPrivate(bool on) override { Log("SetPrivate", on ? "1" : "0"); }
  void SetDate(std::string_view s) override { Log("SetDate", s); }
  void SetTime(std::string_view s) override { Log("SetTime", s); }
  void SetFrom(std::string_view s) override { Log("SetFrom", s); }
  void SetTo(std::string_view s) override { Log("SetTo", s); }
  void SetSubject(std::string_view s) override { Log("SetSubject", s); }
  void AddTextLine(std::string_view s) override { Log("AddTextLine", s); }
  uint16_t WriteMessage() override {
    Log("WriteMessage");
    return script_->write_result;
  }

 private:
  void Log(std::string_view op, std::string_view arg = {}) {
    calls_->push_back(std::string(op) +
                      (arg.empty() && op != "AddTextLine" ? "" : " ") +
                      std::string(arg));
  }

  Calls* calls_;
  Script* script_;
  size_t opens_ = 0;
};

// Keeps what the run writes to standard output, one string per write; the
// writes from the nth on fail when fail_from is set.
class OutputCapture final : public EnvWrapper {
 public:
  explicit OutputCapture(Env* target) : EnvWrapper(target) {}
  IoResult WriteStandardOutput(std::string_view text) override {
    if (fail_from > 0 && ++attempts >= fail_from) return io::kDiskWriteError;
    writes.emplace_back(text);
    return io::kOk;
  }
  std::vector<std::string> writes;
  int fail_from = 0;
  int attempts = 0;
};

DateTimeRecord At(uint16_t y, uint16_t mo, uint16_t d, uint16_t h,
                  uint16_t mi, uint16_t s) {
  return DateTimeRecord{y, mo, d, h, mi, s};
}

class PostingCommandTest : public testing::Test {
 protected:
  PostingCommandTest() : clock_(At(2001, 6, 15, 14, 30, 9)) {
    old_cwd_ = getcwd(nullptr, 0);
    WriteTestBoard(dir_.path(), {JamBaseRecord("general"),
                                 JamBaseRecord("other", kNetEcho, 1)});
    WriteFileBytes(dir_ / "hello.txt", Bytes("Test\n"));
    EXPECT_EQ(chdir(dir_.path().c_str()), 0);
  }
  ~PostingCommandTest() override {
    EXPECT_EQ(chdir(old_cwd_), 0);
    free(old_cwd_);
  }

  static std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
  }

  // Runs the command on env (the test's clock when not given).
  int Run(const std::vector<std::string>& args, Env* env = nullptr) {
    OutputCapture out(env == nullptr ? &clock_ : env);
    out.fail_from = fail_output_from_;
    formats_.clear();
    BaseFactory factory = [this](BaseFormat format,
                                 Env*) -> std::unique_ptr<MessageBase> {
      formats_.push_back(static_cast<uint8_t>(format));
      if (!constructible_) return nullptr;
      return std::make_unique<RecordingBase>(&calls_, &script_);
    };
    output_ = &out;
    int status = RunPostingCommand(args, &out, factory);
    output_ = nullptr;
    writes_ = out.writes;
    out_.clear();
    for (const std::string& w : writes_) out_ += w;
    return status;
  }

  bool Called(const std::string& prefix) const {
    for (const std::string& c : calls_) {
      if (c.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  TempDir dir_;
  ClockEnv clock_;
  char* old_cwd_ = nullptr;
  Script script_;
  bool constructible_ = true;
  Calls calls_;
  std::vector<uint8_t> formats_;
  int fail_output_from_ = 0;
  OutputCapture* output_ = nullptr;  // during Run
  std::vector<std::string> writes_;
  std::string out_;
};

TEST_F(PostingCommandTest, PostsWithTheFixedCallSequence) {
  size_t writes_before_store = 0;
  script_.on_start_new_message = [&] {
    writes_before_store = output_->writes.size();
  };
  EXPECT_EQ(Run({"0", "Board_Operator", "All", "Hello_there", "hello.txt"}),
            kExitOk);
  // The banner goes out with the progress line, which is shown before the
  // store (it may wait for a lock), in one write.
  EXPECT_EQ(writes_, std::vector<std::string>(
                         {std::string(kBanner) + "Posting message ... ",
                          "DONE\n"}));
  EXPECT_EQ(writes_before_store, 1u);
  EXPECT_EQ(formats_, std::vector<uint8_t>{kFormatJam});
  EXPECT_EQ(calls_, Calls({"SetPath msgs/general", "OpenBase",
                           "StartNewMessage", "SetLocal 1", "SetMailType 0",
                           "SetPrivate 0", "SetDate 06/15/01",
                           "SetTime 14:30:08", "SetFrom Board Operator",
                           "SetTo All", "SetSubject Hello there",
                           "AddTextLine Test", "WriteMessage", "CloseBase",
                           "Done", "~"}));
}

TEST_F(PostingCommandTest, OtherNetTypesLeaveTheMailTypeAlone) {
  WriteTestBoard(dir_.path(), {JamBaseRecord("general", 4, kPostPrivate)});
  EXPECT_EQ(Run({"0", "a", "b", "c", "hello.txt"}), kExitOk);
  EXPECT_FALSE(Called("SetMailType"));
  EXPECT_TRUE(Called("SetPrivate 1"));
}

TEST_F(PostingCommandTest, CreatesTheBaseWhenItDoesNotOpen) {
  WriteTestBoard(dir_.path(), {[] {
                   MessageBaseRecord r = JamBaseRecord("general");
                   r.MaxMsgs = 500;
                   r.MaxAge = 30;
                   return r;
                 }()});
  script_.open_results = {false, true};
  EXPECT_EQ(Run({"0", "a", "b", "c", "hello.txt"}), kExitOk);
  EXPECT_EQ(Calls(calls_.begin(), calls_.begin() + 5),
            Calls({"SetPath msgs/general", "OpenBase", "CreateBase 500,30",
                   "OpenBase", "StartNewMessage"}));
}

TEST_F(PostingCommandTest, BaseThatNeitherOpensNorIsCreatedIsRefused) {
  const std::string refusal =
      std::string(kBanner) + "Unable to open/create message base.\n";
  script_.open_results = {false};
  script_.create_result = false;
  EXPECT_EQ(Run({"0", "a", "b", "c", "hello.txt"}), kExitOk);
  EXPECT_EQ(out_, refusal);
  EXPECT_TRUE(Called("CreateBase 0,0"));
  EXPECT_FALSE(Called("StartNewMessage"));

  // Created, but the second open fails: nothing is composed into it.
  calls_.clear();
  script_.open_results = {false, false};
  script_.create_result = true;
  EXPECT_EQ(Run({"0", "a", "b", "c", "hello.txt"}), kExitOk);
  EXPECT_EQ(out_, refusal);
  EXPECT_EQ(calls_, Calls({"SetPath msgs/general", "OpenBase",
                           "CreateBase 0,0", "OpenBase", "~"}));
}

TEST_F(PostingCommandTest, FailedStoreIsNeverReportedAsStored) {
  script_.write_result = 101;
  EXPECT_EQ(Run({"0", "a", "b", "c", "hello.txt"}), kExitStoreFailed);
  // A base that keeps no words for its failure still gives those of the
  // number.
  EXPECT_EQ(out_, std::string(kBanner) +
                      "Posting message ... FAILED\nMessage base error 101.\n"
                      "write failed\n");
  // The base is still closed and released.
  EXPECT_EQ(Calls(calls_.end() - 4, calls_.end()),
            Calls({"WriteMessage", "CloseBase", "Done", "~"}));
}

// The date and the time come from one clock reading: a clock that moves on
// to the next day between two readings cannot stamp a post with the old
// date and the new time.
TEST_F(PostingCommandTest, DateAndTimeComeFromOneClockReading) {
  struct MidnightClock final : EnvWrapper {
    MidnightClock() : EnvWrapper(Env::Default()) {}
    DateTimeRecord LocalNow() override {
      return ++readings == 1 ? At(2026, 12, 31, 23, 59, 59)
                             : At(2027, 1, 1, 0, 0, 0);
    }
    int readings = 0;
  } clock;
  EXPECT_EQ(Run({"0", "a", "b", "c", "hello.txt"}, &clock), kExitOk);
  EXPECT_EQ(clock.readings, 1);
  EXPECT_TRUE(Called("SetDate 12/31/26"));
  EXPECT_TRUE(Called("SetTime 23:59:58"));  // packed: even seconds
}

TEST_F(PostingCommandTest, PartialRecordAtTheEndIsNotCounted) {
  std::vector<uint8_t> bytes = ReadFileBytes(dir_ / "data/mbases.dat");
  bytes.resize(600);  // two records and a piece of a third
  WriteFileBytes(dir_ / "data/mbases.dat", bytes);
  EXPECT_EQ(Run({"1", "a", "b", "c", "hello.txt"}), kExitOk);
  EXPECT_TRUE(Called("SetPath msgs/other"));
  EXPECT_EQ(Run({"2", "a", "b", "c", "hello.txt"}), kExitOk);
  EXPECT_EQ(out_, std::string(kBanner) + "Invalid base number: 2\n");
}

TEST_F(PostingCommandTest, DataPathIsUsedWhole) {
  const std::string data_path = std::string(200, 'd') + "/" +
                                std::string(50, 'e') + "/";
  WriteTestBoard(dir_.path(), {JamBaseRecord("general")}, data_path);
  EXPECT_EQ(Run({"0", "a", "b", "c", "hello.txt"}), kExitOk);
  EXPECT_TRUE(Called("SetPath msgs/general"));
}

TEST_F(PostingCommandTest, FormatsWithoutAnImplementationStopNonZero) {
  WriteTestBoard(dir_.path(), {[] {
                   MessageBaseRecord r = JamBaseRecord("chatter");
                   r.BaseFormat = kFormatSquish;
                   return r;
                 }()});
  constructible_ = false;
  EXPECT_EQ(Run({"0", "a", "b", "c", "hello.txt"}), kExitFormatUnavailable);
  EXPECT_EQ(out_, std::string(kBanner) +
                      "Unable to construct the Squish message base.\n");

  WriteTestBoard(dir_.path(), {[] {
                   MessageBaseRecord r = JamBaseRecord("odd");
                   r.BaseFormat = 7;
                   return r;
                 }()});
  constructible_ = true;
  EXPECT_EQ(Run({"0", "a", "b", "c", "hello.txt"}), kExitUnknownFormat);
  EXPECT_EQ(out_, std::string(kBanner) +
                      "Unknown message base format 7 in mbases.dat.\n");
  EXPECT_TRUE(formats_.empty());
  EXPECT_TRUE(calls_.empty());
}

// A text file that stops being readable after the base was opened ends the
// run before anything is stored, on a line of its own.
TEST_F(PostingCommandTest, TextReadFailureStopsBeforeTheStore) {
  // Long lines, so that the 200 lines span several blocks.
  std::string text;
  while (text.size() < 3 * TextLineReader::kDefaultBlockSize) {
    text += std::string(1000, 'a') + "\n";
  }
  WriteFileBytes(dir_ / "big.txt", Bytes(text));
  FaultEnv env(&clock_);
  script_.on_start_new_message = [&env] {
    env.FailRead("big.txt", io::kDiskWriteError);
  };
  EXPECT_EQ(Run({"0", "a", "b", "c", "big.txt"}, &env), io::kDiskWriteError);
  EXPECT_EQ(out_, std::string(kBanner) +
                      "Posting message ... \n"
                      "Runtime error 101 while reading the text file.\n");
  EXPECT_FALSE(Called("WriteMessage"));
  EXPECT_EQ(calls_.back(), "~");  // released all the same
}

TEST_F(PostingCommandTest, ReadOnlySystemRecordIsNotTheBoardRoot) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write any file";
  ASSERT_EQ(chmod((dir_ / "tarvik.dat").c_str(), 0444), 0);
  EXPECT_EQ(Run({"0", "a", "b", "c", "hello.txt"}), kExitOk);
  EXPECT_EQ(out_, std::string(kBanner) +
                      "DRAYLINE must be ran from your root TRVK directory!\n");
}

// Standard output that cannot be written is a runtime error: before the
// progress line nothing is stored; after the store the message stays.
TEST_F(PostingCommandTest, UnwritableOutputIsARuntimeError) {
  fail_output_from_ = 1;
  EXPECT_EQ(Run({"0", "a", "b", "c", "hello.txt"}), io::kDiskWriteError);
  EXPECT_FALSE(Called("StartNewMessage"));
  EXPECT_EQ(calls_.back(), "~");

  calls_.clear();
  fail_output_from_ = 2;
  EXPECT_EQ(Run({"0", "a", "b", "c", "hello.txt"}), io::kDiskWriteError);
  EXPECT_TRUE(Called("WriteMessage"));
  EXPECT_EQ(out_, std::string(kBanner) + "Posting message ... ");
}

}  // namespace
}  // namespace drayline
