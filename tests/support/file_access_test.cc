#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "fault_env.h"
#include "support/file_access.h"
#include "test_util.h"

namespace drayline {
namespace {

TEST(FileAccess, RetriesAccessDeniedAndGivesUp) {
  TempDir dir;
  FaultEnv env;
  std::unique_ptr<File> file;
  env.FailOpen("denied", io::kAccessDenied);
  EXPECT_EQ(RetryOpen(&env, dir / "denied", OpenMode::kOpenOrCreate, &file),
            io::kAccessDenied);

  env.Clear();
  env.FailOpen("twice", io::kAccessDenied, 2);
  EXPECT_EQ(RetryOpen(&env, dir / "twice", OpenMode::kOpenOrCreate, &file),
            io::kOk);

  EXPECT_EQ(RetryOpen(&env, dir / "missing", OpenMode::kReadWrite, &file),
            io::kFileNotFound);

  env.Clear();
  env.FailWrite("twice", 1, io::kAccessDenied, /*sticky=*/true);
  uint8_t byte = 1;
  EXPECT_EQ(RetryWrite(*file, 0, std::span(&byte, 1)), io::kAccessDenied);
  EXPECT_EQ(env.WritesTo("twice"), kRetryCount);
}

TEST(FileAccess, ExclusiveCreateOfExistingFileIsNotRetried) {
  TempDir dir;
  WriteFileBytes(dir / "x", {1});
  std::unique_ptr<File> file;
  bool exists = false;
  EXPECT_EQ(RetryOpen(Env::Default(), dir / "x", OpenMode::kCreateExclusive,
                      &file, &exists),
            io::kAccessDenied);
  EXPECT_TRUE(exists);
}

TEST(FileAccess, ShortReadAtEndIsNotAnError) {
  TempDir dir;
  WriteFileBytes(dir / "f", std::vector<uint8_t>(100, 7));
  std::unique_ptr<File> file;
  ASSERT_EQ(RetryOpen(Env::Default(), dir / "f", OpenMode::kReadWrite, &file),
            io::kOk);
  std::vector<uint8_t> buf(256, 0);
  size_t done = 0;
  EXPECT_EQ(RetryRead(*file, 0, buf, &done), io::kOk);
  EXPECT_EQ(done, 100u);
  EXPECT_EQ(ReadExact(*file, 90, std::span(buf.data(), 20)), io::kReadPastEnd);
}

TEST(FileAccess, SaveLoadAndExtendByName) {
  TempDir dir;
  Env* env = Env::Default();
  std::vector<uint8_t> block(1024, 0xAB);
  EXPECT_EQ(SaveFile(env, dir / "new", block), io::kOk);
  EXPECT_EQ(FileSizeOf(dir / "new"), 1024);

  WriteFileBytes(dir / "big", std::vector<uint8_t>(5000, 1));
  EXPECT_EQ(SaveFile(env, dir / "big", block), io::kOk);
  std::vector<uint8_t> big = ReadFileBytes(dir / "big");
  ASSERT_EQ(big.size(), 5000u);
  EXPECT_EQ(big[1023], 0xAB);
  EXPECT_EQ(big[1024], 1);
  EXPECT_EQ(SaveFile(env, dir / "big", {}), io::kOk);
  EXPECT_EQ(FileSizeOf(dir / "big"), 5000);

  std::vector<uint8_t> four{9, 9, 9, 9};
  EXPECT_EQ(LoadFileAt(env, dir / "nothing", four, 0), io::kNoSuchFile);
  EXPECT_FALSE(PathExists(dir / "nothing"));
  WriteFileBytes(dir / "ten", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_EQ(LoadFileAt(env, dir / "ten", four, 8), io::kOk);
  EXPECT_EQ(four, (std::vector<uint8_t>{8, 9, 9, 9}));

  EXPECT_EQ(ExtendFile(env, dir / "grown", 20000), io::kOk);
  EXPECT_EQ(FileSizeOf(dir / "grown"), 20000);
  WriteFileBytes(dir / "five", {1, 2, 3, 4, 5});
  EXPECT_EQ(ExtendFile(env, dir / "five", 12), io::kOk);
  EXPECT_EQ(ReadFileBytes(dir / "five"),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ExtendFile(env, dir / "ten", 4), io::kOk);
  EXPECT_EQ(FileSizeOf(dir / "ten"), 10);

  EXPECT_EQ(SizeOfFile(env, dir / "five"), 12);
  EXPECT_EQ(SizeOfFile(env, dir / "none"), -1);
  WriteFileBytes(dir / "empty", {});
  EXPECT_EQ(SizeOfFile(env, dir / "empty"), 0);
}

TEST(FileAccess, RegionLockExcludesOtherOpenFiles) {
  TempDir dir;
  WriteFileBytes(dir / "base", {0});
  std::unique_ptr<File> a, b;
  Env* env = Env::Default();
  ASSERT_EQ(RetryOpen(env, dir / "base", OpenMode::kReadWrite, &a), io::kOk);
  ASSERT_EQ(RetryOpen(env, dir / "base", OpenMode::kReadWrite, &b), io::kOk);
  EXPECT_EQ(LockRegion(*a, 0, 1), io::kOk);
  EXPECT_EQ(LockRegion(*b, 0, 1), io::kLockViolation);
  EXPECT_EQ(LockRegion(*b, 1, 1), io::kOk);  // other bytes stay free
  EXPECT_EQ(UnlockRegion(*a, 0, 1), io::kOk);
  EXPECT_EQ(LockRegion(*b, 0, 1), io::kOk);
}

TEST(FileAccess, LockWithRetryWaitsThenGivesUp) {
  TempDir dir;
  WriteFileBytes(dir / "base", {0});
  FaultEnv env;
  std::unique_ptr<File> file;
  ASSERT_EQ(RetryOpen(&env, dir / "base", OpenMode::kReadWrite, &file), io::kOk);
  int told = 0;
  const auto waiting = [&told] { ++told; };
  env.FailLock("base", io::kLockViolation, 3);
  EXPECT_EQ(LockWithRetry(&env, *file, 0, 1, waiting), io::kOk);
  EXPECT_EQ(env.slept_ms(), 3u * kRetryDelayMs);
  EXPECT_EQ(told, 0);  // a short wait is not worth a word
  UnlockRegion(*file, 0, 1);
  env.FailLock("base", io::kLockViolation);
  EXPECT_EQ(LockWithRetry(&env, *file, 0, 1, waiting), io::kLockViolation);
  EXPECT_EQ(told, 1);  // once, however long the wait
}

TEST(FileAccess, FileExistsLooksUpEntriesOnly) {
  TempDir dir;
  Env* env = Env::Default();
  WriteFileBytes(dir.path() + "/plain", {});
  EXPECT_TRUE(FileExists(env, dir.path() + "/plain"));
  EXPECT_TRUE(FileExists(env, dir.path()));
  WriteFileBytes(dir.path() + "/a*b", {});
  EXPECT_FALSE(FileExists(env, dir.path() + "/a*b"));
  EXPECT_FALSE(FileExists(env, dir.path() + "/missing"));
}

TEST(FileAccess, ErrnoMapping) {
  EXPECT_EQ(IoResultFromErrno(ENOENT, false), io::kFileNotFound);
  EXPECT_EQ(IoResultFromErrno(ENAMETOOLONG, false), io::kPathNotFound);
  EXPECT_EQ(IoResultFromErrno(EEXIST, false), io::kAccessDenied);
  EXPECT_EQ(IoResultFromErrno(ENOSPC, true), io::kDiskWriteError);
  EXPECT_EQ(IoResultFromErrno(EFBIG, true), io::kDiskWriteError);
  EXPECT_EQ(IoResultFromErrno(EDQUOT, false), io::kReadPastEnd);
}

}  // namespace
}  // namespace drayline
