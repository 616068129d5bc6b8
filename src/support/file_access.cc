#include "support/file_access.h"

#include <algorithm>
#include <array>

namespace drayline {

namespace {
IoResult g_last_file_error = io::kOk;
}  // namespace

IoResult LastFileError() { return g_last_file_error; }

bool ResetWithRetry(Env* env, const std::string& name, OpenMode mode,
                    std::unique_ptr<File>* file, bool* exists_out) {
  IoResult code = io::kAccessDenied;
  bool exists = false;
  for (int attempts = kRetryCount; attempts > 0 && code == io::kAccessDenied;
       --attempts) {
    code = env->Open(name, mode, file, &exists);
    if (exists) break;  // another process made it: not a denial to retry
  }
  if (exists_out != nullptr) *exists_out = exists;
  g_last_file_error = code;
  return code == io::kOk;
}

bool ReadWithRetry(File& file, uint64_t offset, std::span<uint8_t> buf,
                   size_t* done) {
  IoResult code = io::kAccessDenied;
  *done = 0;
  for (int attempts = kRetryCount; attempts > 0 && code == io::kAccessDenied;
       --attempts) {
    code = file.Read(offset, buf, done);
  }
  g_last_file_error = code;
  return code == io::kOk;
}

IoResult ReadExact(File& file, uint64_t offset, std::span<uint8_t> buf) {
  size_t done = 0;
  if (!ReadWithRetry(file, offset, buf, &done)) return LastFileError();
  return done == buf.size() ? io::kOk : io::kReadPastEnd;
}

bool WriteWithRetry(File& file, uint64_t offset,
                    std::span<const uint8_t> data) {
  IoResult code = io::kAccessDenied;
  for (int attempts = kRetryCount; attempts > 0 && code == io::kAccessDenied;
       --attempts) {
    code = file.Write(offset, data);
  }
  g_last_file_error = code;
  return code == io::kOk;
}

IoResult LockRegion(File& file, uint64_t position, uint64_t length) {
  return file.Lock(position, length);
}

IoResult UnlockRegion(File& file, uint64_t position, uint64_t length) {
  return file.Unlock(position, length);
}

IoResult LockWithRetry(Env* env, File& file, uint64_t position,
                       uint64_t length) {
  IoResult code = io::kLockViolation;
  for (int attempts = kRetryCount; attempts > 0 && code == io::kLockViolation;
       --attempts) {
    code = LockRegion(file, position, length);
    if (code == io::kLockViolation && attempts > 1) env->SleepMs(kRetryDelayMs);
  }
  return code == 1 ? io::kOk : code;
}

namespace {

// Opens an existing file, or creates it without ever truncating one that
// another process has just made.
IoResult OpenForSave(Env* env, const std::string& name,
                     std::unique_ptr<File>* file) {
  if (ResetWithRetry(env, name, OpenMode::kOpenOrCreate, file)) {
    return io::kOk;
  }
  return LastFileError();
}

}  // namespace

IoResult SaveFileAt(Env* env, const std::string& name,
                    std::span<const uint8_t> data, uint64_t position) {
  std::unique_ptr<File> file;
  IoResult code = OpenForSave(env, name, &file);
  if (code != io::kOk) return code;
  if (!data.empty() && !WriteWithRetry(*file, position, data)) {
    return LastFileError();
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
  if (!ResetWithRetry(env, name, OpenMode::kReadWrite, &file)) {
    return LastFileError();
  }
  size_t done = 0;
  if (!ReadWithRetry(*file, position, buf, &done)) return LastFileError();
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
    if (!WriteWithRetry(*file, current, std::span(zeros.data(), piece))) {
      return LastFileError();
    }
    current += piece;
  }
  return file->Close();
}

int64_t SizeOfFile(Env* env, const std::string& name) {
  uint64_t size = 0;
  if (env->GetFileSize(name, &size) != io::kOk) return -1;
  return static_cast<int64_t>(size);
}

}  // namespace drayline
