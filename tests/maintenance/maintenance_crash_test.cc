// Pack and purge cut short at every write: a child process runs the job
// and ends itself, as a crash would, just before its nth write or cut;
// once the base has been opened again (which rolls back a change cut
// short) it must be sound and show each message it showed before, as it
// was (for purge: the ones it keeps, and perhaps ones still to go).

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "drayline/check.h"
#include "drayline/maintenance.h"
#include "drayline/message.h"
#include "msgbase/check_internal.h"
#include "msgbase/maintenance_internal.h"
#include "test_util.h"

namespace drayline {
namespace {

constexpr int kCrashed = 42;

// A file that ends the process at the nth write or cut of any file.
class CrashFile final : public File {
 public:
  CrashFile(std::unique_ptr<File> target, int* countdown)
      : target_(std::move(target)), countdown_(countdown) {}
  IoResult Read(uint64_t offset, std::span<uint8_t> buf, size_t* done) override {
    return target_->Read(offset, buf, done);
  }
  IoResult ReadSequential(std::span<uint8_t> buf, size_t* done) override {
    return target_->ReadSequential(buf, done);
  }
  IoResult Write(uint64_t offset, std::span<const uint8_t> data) override {
    Tick();
    return target_->Write(offset, data);
  }
  IoResult Size(uint64_t* size) override { return target_->Size(size); }
  IoResult Truncate(uint64_t size) override {
    Tick();
    return target_->Truncate(size);
  }
  IoResult Lock(uint64_t offset, uint64_t length) override { return target_->Lock(offset, length); }
  IoResult Unlock(uint64_t offset, uint64_t length) override {
    return target_->Unlock(offset, length);
  }
  IoResult Close() override { return target_->Close(); }
  IoResult Sync() override { return target_->Sync(); }

 private:
  void Tick() {
    if (--*countdown_ == 0) _exit(kCrashed);
  }
  std::unique_ptr<File> target_;
  int* countdown_;
};

class CrashEnv final : public EnvWrapper {
 public:
  explicit CrashEnv(int nth) : EnvWrapper(Env::Default()), countdown_(nth) {}
  IoResult Open(const std::string& name, OpenMode mode, std::unique_ptr<File>* file,
                bool* exists_out) override {
    std::unique_ptr<File> real;
    const IoResult r = target()->Open(name, mode, &real, exists_out);
    if (r == io::kOk) *file = std::make_unique<CrashFile>(std::move(real), &countdown_);
    return r;
  }

 private:
  int countdown_;
};

using Messages = std::map<int32_t, std::string>;  // number: subject and text

Messages Visible(const std::string& path) {
  Status s;
  auto base = Base::Open(path, &s);  // rolls back a change cut short
  EXPECT_TRUE(s.ok()) << s.text();
  Messages out;
  Message m;
  for (auto it = base->Messages(); base && it.Next(&m);) out[m.number] = m.subject + m.text;
  return out;
}

class MaintenanceCrashTest : public ::testing::TestWithParam<BaseFormat> {};

INSTANTIATE_TEST_SUITE_P(Formats, MaintenanceCrashTest,
                         ::testing::Values(BaseFormat::kJam, BaseFormat::kSquish),
                         [](const auto& info) {
                           return info.param == BaseFormat::kJam ? "Jam" : "Squish";
                         });

TEST_P(MaintenanceCrashTest, PackAndPurgeCutShortAtEveryWrite) {
  const std::vector<std::string> exts = GetParam() == BaseFormat::kJam
                                            ? std::vector<std::string>{".jhr", ".jdt", ".jdx", ".jlr"}
                                            : std::vector<std::string>{".sqd", ".sqi", ".sql"};
  for (const bool purge : {false, true}) {
    TempDir dir;
    const std::string path = dir / "base";
    {
      Status s;
      auto base = Base::OpenOrCreate(path, GetParam(), &s);
      ASSERT_TRUE(s.ok()) << s.text();
      for (int i = 1; i <= 9; ++i) {
        Message m;
        m.to = "All";
        m.subject = "Crash " + std::to_string(i);
        m.text = std::string(size_t(40 * i), char('a' + i)) + "\r";
        m.Set(AttributeBit::kReceived, true);
        ASSERT_TRUE(base->Store(m).ok());
      }
      for (int32_t n : {2, 5}) ASSERT_TRUE(base->Delete(n).ok());
      ASSERT_TRUE(base->SetLastRead(1, 5).ok());
    }
    std::map<std::string, std::vector<uint8_t>> pristine;
    for (const std::string& e : exts) pristine[e] = ReadFileBytes(path + e);
    const Messages before = Visible(path);
    bool finished = false;
    for (int nth = 1; nth < 5000 && !finished; ++nth) {
      for (const auto& [e, bytes] : pristine) WriteFileBytes(path + e, bytes);
      const pid_t pid = fork();
      if (pid == 0) {
        CrashEnv env(nth);
        PurgeOptions p;
        p.max_msgs = 3;
        const MaintenanceReport r = purge ? PurgeBase(&env, path, p, StepLimits{64, 1})
                                          : PackBase(&env, path, {}, StepLimits{64, 1});
        _exit(r.status.ok() ? 0 : 1);
      }
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      ASSERT_TRUE(WIFEXITED(status));
      ASSERT_NE(WEXITSTATUS(status), 1) << "the job failed at write " << nth;
      finished = WEXITSTATUS(status) == 0;
      const Messages after = Visible(path);
      for (const auto& [n, m] : after) {
        ASSERT_TRUE(before.count(n)) << nth;
        EXPECT_EQ(m, before.at(n)) << nth;
      }
      if (!purge) {
        EXPECT_EQ(after.size(), before.size()) << nth;
      } else if (finished) {
        EXPECT_EQ(after.size(), 3u);
      }
      const CheckReport check = CheckBase(Env::Default(), path);
      ASSERT_TRUE(check.sound()) << nth << ": "
                                 << (check.problems.empty() ? check.status.text()
                                                            : check.problems[0].problem);
    }
    EXPECT_TRUE(finished);
  }
}

// Another process posts while packs run in tiny steps: every message it
// stores, and every one that was there, is there afterwards.
TEST_P(MaintenanceCrashTest, PostsMadeDuringPacksAreKept) {
  TempDir dir;
  const std::string path = dir / "base";
  Status s;
  auto base = Base::OpenOrCreate(path, GetParam(), &s);
  ASSERT_TRUE(s.ok()) << s.text();
  for (int i = 1; i <= 30; ++i) {
    Message m;
    m.subject = "Old " + std::to_string(i);
    m.text = std::string(size_t(25 * i), 'o') + "\r";
    ASSERT_TRUE(base->Store(m).ok());
    if (i % 3 == 0) {
      ASSERT_TRUE(base->Delete(i).ok());
    }
  }
  base.reset();
  const Messages before = Visible(path);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    Status st;
    auto poster = Base::Open(path, &st);
    bool ok = poster != nullptr;
    for (int i = 1; ok && i <= 20; ++i) {
      Message m;
      m.subject = "New " + std::to_string(i);
      m.text = std::string(size_t(30 * i), 'n') + "\r";
      ok = poster->Store(m).ok();
    }
    _exit(ok ? 0 : 1);
  }
  for (int run = 0; run < 4; ++run) {
    const MaintenanceReport r = PackBase(Env::Default(), path, {}, StepLimits{100, 1});
    EXPECT_TRUE(r.status.ok()) << r.status.text();
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const Messages after = Visible(path);
  for (const auto& [n, m] : before) EXPECT_EQ(after.count(n) ? after.at(n) : "", m) << n;
  int posted = 0;
  for (const auto& [n, m] : after) posted += m.starts_with("New ");
  EXPECT_EQ(posted, 20);
  const CheckReport check = CheckBase(Env::Default(), path);
  EXPECT_TRUE(check.sound()) << (check.problems.empty() ? check.status.text()
                                                        : check.problems[0].problem);
}

}  // namespace
}  // namespace drayline
