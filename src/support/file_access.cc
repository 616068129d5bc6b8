#include "support/file_access.h"

#include <algorithm>
#include <array>

namespace drayline {

IoResult RetryOpen(Env* env, const std::string& name, OpenMode mode,
                   std::unique_ptr<File>* file, bool* exists_out) {
  IoResult code = io::kAccessDenied;
  bool exists = false;
  for (int attempts = kRetryCount; attempts > 0 && code == io::kAccessDenied;
       --attempts) {
    code = env->Open(name, mode, file, &exists);
    if (exists) break;  // another process made it: not a denial to retry
  }
  if (exists_out != nullptr) *exists_out = exists;
  return code;
}

IoResult RetryRead(File& file, uint64_t offset, std::span<uint8_t> buf,
                   size_t* done) {
  IoResult code = io::kAccessDenied;
  *done = 0;
  for (int attempts = kRetryCount; attempts > 0 && code == io::kAccessDenied;
       --attempts) {
    code = file.Read(offset, buf, done);
  }
  return code;
}

IoResult ReadExact(File& file, uint64_t offset, std::span<uint8_t> buf) {
  size_t done = 0;
  const IoResult code = RetryRead(file, offset, buf, &done);
  if (code != io::kOk) return code;
  return done == buf.size() ? io::kOk : io::kReadPastEnd;
}

IoResult RetryWrite(File& file, uint64_t offset,
                    std::span<const uint8_t> data) {
  IoResult code = io::kAccessDenied;
  for (int attempts = kRetryCount; attempts > 0 && code == io::kAccessDenied;
       --attempts) {
    code = file.Write(offset, data);
  }
  return code;
}

IoResult LockRegion(File& file, uint64_t position, uint64_t length) {
  return file.Lock(position, length);
}

IoResult UnlockRegion(File& file, uint64_t position, uint64_t length) {
  return file.Unlock(position, length);
}

IoResult LockWithRetry(Env* env, File& file, uint64_t position,
                       uint64_t length, const std::function<void()>& waiting) {
  IoResult code = io::kLockViolation;
  unsigned waited_ms = 0;
  for (int attempts = kRetryCount; attempts > 0 && code == io::kLockViolation;
       --attempts) {
    code = LockRegion(file, position, length);
    if (code != io::kLockViolation || attempts == 1) continue;
    env->SleepMs(kRetryDelayMs);
    waited_ms += kRetryDelayMs;
    if (waiting && waited_ms == kLockWaitNoticeMs) waiting();
  }
  // A final answer of 1 counts as a lock taken, as the board's lock
  // routine has always reported it.
  return code == 1 ? io::kOk : code;
}

namespace {

// Opens an existing file, or creates it without ever truncating one that
// another process has just made.
IoResult OpenForSave(Env* env, const std::string& name,
                     std::unique_ptr<File>* file) {
  return RetryOpen(env, name, OpenMode::kOpenOrCreate, file);
}

}  // namespace

IoResult SaveFileAt(Env* env, const std::string& name,
                    std::span<const uint8_t> data, uint64_t position) {
  std::unique_ptr<File> file;
  IoResult code = OpenForSave(env, name, &file);
  if (code != io::kOk) return code;
  if (!data.empty() && (code = RetryWrite(*file, position, data)) != io::kOk) {
    return code;
  }
  return file->Close();
}

IoResult SaveFile(Env* env, const std::string& name,
                  std::span<const uint8_t> data) {
  return SaveFileAt(env, name, data, 0);
}

IoResult LoadFileAt(Env* env, const std::string& name, std::span<uint8_t> buf,
                    uint64_t position) {
  if (!env->Exists(name)) return io::kNoSuchFile;
  std::unique_ptr<File> file;
  IoResult code = RetryOpen(env, name, OpenMode::kReadWrite, &file);
  if (code != io::kOk) return code;
  size_t done = 0;
  if ((code = RetryRead(*file, position, buf, &done)) != io::kOk) return code;
  return file->Close();
}

IoResult LoadFile(Env* env, const std::string& name, std::span<uint8_t> buf) {
  return LoadFileAt(env, name, buf, 0);
}

IoResult ExtendFile(Env* env, const std::string& name, int64_t size) {
  static constexpr size_t kBlock = 8000;
  static const std::array<uint8_t, kBlock> zeros{};
  std::unique_ptr<File> file;
  IoResult code = OpenForSave(env, name, &file);
  if (code != io::kOk) return code;
  uint64_t current = 0;
  if ((code = file->Size(&current)) != io::kOk) return code;
  const uint64_t target = size > 0 ? static_cast<uint64_t>(size) : 0;
  while (current < target) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(kBlock, target - current));
    code = RetryWrite(*file, current, std::span(zeros.data(), piece));
    if (code != io::kOk) return code;
    current += piece;
  }
  return file->Close();
}

int64_t SizeOfFile(Env* env, const std::string& name) {
  uint64_t size = 0;
  if (env->GetFileSize(name, &size) != io::kOk) return -1;
  return static_cast<int64_t>(size);
}

bool FileExists(Env* env, std::string_view name) {
  if (name.find_first_of("?*") != std::string_view::npos) return false;
  std::string n(name);
  if (env->Exists(n)) return true;
  // An absolute name is also tried below the current directory.
  return !n.empty() && n[0] == '/' && env->Exists("." + n);
}

}  // namespace drayline
