// Kill at every write: a child process makes one change to a small base
// through a file layer that ends the process at its Nth write, cut or link;
// the parent then opens the base as the next program would and checks that
// the change happened whole or not at all. N runs from 1 until the change
// completes without being stopped.

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "drayline/check.h"
#include "jam/jam_format.h"
#include "msgbase/factory.h"
#include "support/coding.h"
#include "test_util.h"

namespace drayline {
namespace {

constexpr int kStoppedStatus = 77;

// Ends the process (as a crash would: no destructor, no undo) at the Nth
// write, cut or link once armed.
class KillingEnv final : public EnvWrapper {
 public:
  explicit KillingEnv(Env* target) : EnvWrapper(target) {}
  void Arm(int nth) { countdown_ = nth; }
  void Step() {
    if (countdown_ > 0 && --countdown_ == 0) _exit(kStoppedStatus);
  }
  IoResult Open(const std::string& name, OpenMode mode, std::unique_ptr<File>* file,
                bool* exists_out) override {
    std::unique_ptr<File> base;
    const IoResult code = target()->Open(name, mode, &base, exists_out);
    if (code == io::kOk) *file = std::make_unique<KillingFile>(std::move(base), this);
    return code;
  }
  IoResult Link(const std::string& from, const std::string& to, bool* exists_out) override {
    Step();
    return target()->Link(from, to, exists_out);
  }

 private:
  class KillingFile final : public File {
   public:
    KillingFile(std::unique_ptr<File> base, KillingEnv* env)
        : base_(std::move(base)), env_(env) {}
    IoResult Read(uint64_t o, std::span<uint8_t> b, size_t* d) override {
      return base_->Read(o, b, d);
    }
    IoResult ReadSequential(std::span<uint8_t> b, size_t* d) override {
      return base_->ReadSequential(b, d);
    }
    IoResult Write(uint64_t o, std::span<const uint8_t> d) override {
      env_->Step();
      return base_->Write(o, d);
    }
    IoResult Size(uint64_t* s) override { return base_->Size(s); }
    IoResult Truncate(uint64_t s) override {
      env_->Step();
      return base_->Truncate(s);
    }
    IoResult Lock(uint64_t o, uint64_t l) override { return base_->Lock(o, l); }
    IoResult Unlock(uint64_t o, uint64_t l) override { return base_->Unlock(o, l); }
    IoResult Close() override { return base_->Close(); }

   private:
    std::unique_ptr<File> base_;
    KillingEnv* env_;
  };

  int countdown_ = 0;
};

using Snapshot = std::map<std::string, std::vector<uint8_t>>;  // extension: bytes

struct Workload {
  const char* name;
  // Builds the base the change starts from (nothing for a creation).
  void (*prepare)(MessageBase& base);
  // The change itself, on an open base (a closed one for a creation).
  bool (*change)(MessageBase& base);
  bool creates = false;
  uint16_t max_msgs = 0;
  bool squish_only = false;
};

std::string Text(size_t length, char fill) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += (i % 60 == 59) ? '\r' : char(fill + i % 7);
  return text;
}

uint16_t Post(MessageBase& base, const std::string& to, const std::string& text) {
  base.StartNewMessage();
  base.SetFrom("Sysop");
  base.SetTo(to);
  base.SetSubject("About " + to);
  base.AddText(text);
  return base.WriteMessage();
}

void ThreeMessages(MessageBase& base) {
  for (const char* to : {"Ann", "Bob", "Cy"}) Post(base, to, Text(300, 'a'));
  base.SetLastRead(1, 2);
}

bool DeleteNumber(MessageBase& base, int which) {
  std::vector<int32_t> nums;
  for (base.SeekFirst(1); base.SeekFound(); base.SeekNext()) nums.push_back(base.GetMsgNum());
  base.SeekFirst(nums.at(static_cast<size_t>(which < 0 ? nums.size() - 1 : which)));
  base.ReadHeader();
  base.DeleteMessage();
  return base.LastStatus().ok();
}

bool Rewrite(MessageBase& base, bool whole) {
  base.SeekFirst(2);
  base.ReadHeader();
  base.SetSubject("Changed subject");
  base.SetReceived(true);
  if (whole) {
    base.ResetText();
    base.AddText(Text(700, 'k'));
    base.RewriteMessage();
  } else {
    base.RewriteHeader();
  }
  return base.LastStatus().ok();
}

const Workload kWorkloads[] = {
    {"short post", ThreeMessages, [](MessageBase& b) { return Post(b, "Dee", "Hi.\r") == 0; }},
    {"long post", ThreeMessages,
     [](MessageBase& b) { return Post(b, "Eve", Text(9000, 'A')) == 0; }},
    {"delete first", ThreeMessages, [](MessageBase& b) { return DeleteNumber(b, 0); }},
    {"delete middle", ThreeMessages, [](MessageBase& b) { return DeleteNumber(b, 1); }},
    {"delete last", ThreeMessages, [](MessageBase& b) { return DeleteNumber(b, -1); }},
    {"rewrite header", ThreeMessages, [](MessageBase& b) { return Rewrite(b, false); }},
    {"rewrite message", ThreeMessages, [](MessageBase& b) { return Rewrite(b, true); }},
    {"last-read of a new user", ThreeMessages,
     [](MessageBase& b) {
       b.SetLastRead(7, 3);
       return b.LastStatus().ok();
     }},
    {"last-read of an existing user", ThreeMessages,
     [](MessageBase& b) {
       b.SetLastRead(1, 3);
       return b.LastStatus().ok();
     }},
    {"create", nullptr, [](MessageBase& b) { return b.CreateBase(0, 0); }, true},
    {"post into a free frame",
     [](MessageBase& b) {
       ThreeMessages(b);
       DeleteNumber(b, 1);
     },
     [](MessageBase& b) { return Post(b, "Fay", "Short.\r") == 0; }, false, 0, true},
    {"post past the most messages", ThreeMessages,
     [](MessageBase& b) { return Post(b, "Gus", "One more.\r") == 0; }, false, 3, true},
};

class CrashTest : public testing::TestWithParam<BaseFormat> {
 protected:
  CrashTest() : clock_({2024, 5, 6, 12, 34, 56}) {}

  bool jam() const { return GetParam() == BaseFormat::kJam; }
  Snapshot Take() const {
    Snapshot files;
    for (const std::string& ext : BaseExtensions(GetParam())) {
      if (PathExists(path_ + ext)) files[ext] = ReadFileBytes(path_ + ext);
    }
    return files;
  }
  // Leaves the directory holding exactly the files of snapshot.
  void Put(const Snapshot& snapshot) const {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      std::filesystem::remove(entry.path());
    }
    for (const auto& [ext, bytes] : snapshot) WriteFileBytes(path_ + ext, bytes);
  }
  std::unique_ptr<MessageBase> Base(Env* env) const {
    std::unique_ptr<MessageBase> base = NewMessageBase(GetParam(), env);
    base->SetPath(path_);
    return base;
  }
  std::unique_ptr<MessageBase> OpenOrCreate(Env* env, uint16_t max_msgs) const {
    std::unique_ptr<MessageBase> base = Base(env);
    if (!base->OpenBase()) {
      EXPECT_TRUE(base->CreateBase(max_msgs, 0));
      EXPECT_TRUE(base->OpenBase());
    }
    return base;
  }
  // Runs the change in a child stopped at its nth step (0: never); answers
  // the child's exit status.
  int RunChild(const Workload& w, int nth) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      KillingEnv env(&clock_);
      std::unique_ptr<MessageBase> base = Base(&env);
      const bool opened = w.creates || base->OpenBase();
      env.Arm(nth);
      const bool ok = opened && w.change(*base);
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  uint32_t ModCounter(const Snapshot& s) const {
    const auto it = s.find(".jhr");
    return it == s.end() || it->second.size() < jam::kBaseHeaderSize
               ? 0
               : DecodeFixed32(it->second.data() + jam::kBhModCounter);
  }
  // What a reader sees of the base in snapshot: every message's fields and
  // text, the counters and the index (a Squish store into a free frame
  // leaves the frame's unused bytes as they are, whichever way it ends).
  std::string Content(const Snapshot& snapshot) const {
    Put(snapshot);
    std::unique_ptr<MessageBase> base = Base(Env::Default());
    if (!base->OpenBase()) return "no base";
    std::string content;
    for (base->SeekFirst(1); base->SeekFound(); base->SeekNext()) {
      base->ReadHeader();
      content += std::to_string(base->GetMsgNum()) + base->GetFrom() + "|" + base->GetTo() +
                 "|" + base->GetSubject() + "|" + (base->IsReceived() ? "R" : "") + "\n";
      base->BeginTextRead();
      for (int i = 0; i < 1000 && !base->EndOfText(); ++i) content += base->GetTextLine(79) + "\n";
    }
    for (int32_t user : {1, 7}) content += std::to_string(base->GetLastRead(user)) + ",";
    const std::vector<uint8_t>& guard = snapshot.at(jam() ? ".jhr" : ".sqd");
    const size_t head = jam() ? jam::kBaseHeaderSize : 256;
    content.append(guard.begin(), guard.begin() + static_cast<ptrdiff_t>(std::min(head, guard.size())));
    const std::vector<uint8_t>& index = snapshot.at(jam() ? ".jdx" : ".sqi");
    content.append(index.begin(), index.end());
    return content;
  }

  // The base as the next program finds it after a child stopped.
  void CheckAfterCrash(const Workload& w, const Snapshot& before, const Snapshot& after) {
    {
      // Opening it for writing rolls back a change cut short.
      std::unique_ptr<MessageBase> base = Base(&clock_);
      const bool opened = base->OpenBase();
      EXPECT_TRUE(opened || w.creates);
    }
    EXPECT_FALSE(PathExists(path_ + std::string(kJournalSuffix)));
    const Snapshot now = Take();
    const std::string guard = jam() ? ".jhr" : ".sqd";
    if (w.creates && now.count(guard) == 0) {
      for (const auto& [ext, bytes] : now) EXPECT_TRUE(bytes.empty()) << ext;
    } else {
      if (now != before && now != after) {
        const std::string seen = Content(now);
        EXPECT_TRUE(seen == Content(before) || seen == Content(after));
        Put(now);
      }
    }
    if (jam()) {
      EXPECT_GE(ModCounter(now), ModCounter(before));
    }
    std::unique_ptr<MessageBase> base = OpenOrCreate(&clock_, w.max_msgs);
    EXPECT_EQ(Post(*base, "Next", "After the crash.\r"), 0);
    base.reset();
    const CheckReport report = CheckBase(path_);
    EXPECT_TRUE(report.sound()) << report.status.text()
                                << (report.problems.empty() ? "" : report.problems[0].problem);
  }

  ClockEnv clock_;
  TempDir dir_;
  std::string path_ = dir_ / "base";
};

TEST_P(CrashTest, EveryChangeHappensWholeOrNotAtAllWhereverItIsStopped) {
  for (const Workload& w : kWorkloads) {
    if (w.squish_only && jam()) continue;
    SCOPED_TRACE(w.name);
    Put({});
    if (!w.creates) {
      std::unique_ptr<MessageBase> base = OpenOrCreate(&clock_, w.max_msgs);
      w.prepare(*base);
    }
    const Snapshot before = Take();
    ASSERT_EQ(RunChild(w, 0), 0);
    const Snapshot after = Take();
    ASSERT_NE(before, after);
    int nth = 1;
    for (; nth < 200; ++nth) {
      SCOPED_TRACE("stopped at step " + std::to_string(nth));
      Put(before);
      const int status = RunChild(w, nth);
      if (status == 0) break;
      ASSERT_EQ(status, kStoppedStatus);
      CheckAfterCrash(w, before, after);
      if (HasFailure()) return;
    }
    EXPECT_GT(nth, 1);
    EXPECT_LT(nth, 200);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, CrashTest,
                         testing::Values(BaseFormat::kJam, BaseFormat::kSquish),
                         [](const testing::TestParamInfo<BaseFormat>& info) {
                           return std::string(info.param == BaseFormat::kJam ? "Jam" : "Squish");
                         });

}  // namespace
}  // namespace drayline
