// POSIX implementation of the file layer.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include "support/env.h"

namespace drayline {

IoResult IoResultFromErrno(int err, bool writing) {
  switch (err) {
    case 0:
      return io::kOk;
    case ENOENT:
      return io::kFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return io::kPathNotFound;
    case EMFILE:
    case ENFILE:
      return io::kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EEXIST:
    case EROFS:
    case EISDIR:
      return io::kAccessDenied;
    case EBADF:
      return io::kInvalidHandle;
    case EINTR:
    case EIO:
    case EAGAIN:
    case ENOSPC:
    case EPIPE:
      return io::kDiskWriteError;
    default:
      // File too large, quota exceeded and the like: never success.
      return writing ? io::kDiskWriteError : io::kReadPastEnd;
  }
}

namespace {

class PosixFile final : public File {
 public:
  PosixFile(int fd, IoCounters* counters, bool owns_fd = true)
      : fd_(fd), counters_(counters), owns_fd_(owns_fd) {}
  ~PosixFile() override { Close(); }

  IoResult Read(uint64_t offset, std::span<uint8_t> buf,
                size_t* done) override {
    *done = 0;
    if (fd_ < 0) return io::kNotOpen;
    while (*done < buf.size()) {
      counters_->reads++;
      ssize_t n = ::pread(fd_, buf.data() + *done, buf.size() - *done,
                          static_cast<off_t>(offset + *done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return IoResultFromErrno(errno, false);
      }
      if (n == 0) break;
      *done += static_cast<size_t>(n);
      counters_->bytes_read += static_cast<uint64_t>(n);
    }
    return io::kOk;
  }

  IoResult ReadSequential(std::span<uint8_t> buf, size_t* done) override {
    *done = 0;
    if (fd_ < 0) return io::kNotOpen;
    for (;;) {
      counters_->reads++;
      ssize_t n = ::read(fd_, buf.data(), buf.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return IoResultFromErrno(errno, false);
      }
      *done = static_cast<size_t>(n);
      counters_->bytes_read += static_cast<uint64_t>(n);
      return io::kOk;
    }
  }

  IoResult Write(uint64_t offset, std::span<const uint8_t> data) override {
    if (fd_ < 0) return io::kNotOpen;
    size_t written = 0;
    while (written < data.size()) {
      counters_->writes++;
      ssize_t n = ::pwrite(fd_, data.data() + written, data.size() - written,
                           static_cast<off_t>(offset + written));
      if (n < 0) {
        if (errno == EINTR) continue;
        return IoResultFromErrno(errno, true);
      }
      if (n == 0) return io::kDiskWriteError;
      written += static_cast<size_t>(n);
      counters_->bytes_written += static_cast<uint64_t>(n);
    }
    return io::kOk;
  }

  IoResult Size(uint64_t* size) override {
    if (fd_ < 0) return io::kNotOpen;
    counters_->other++;
    struct stat st;
    if (::fstat(fd_, &st) != 0) return IoResultFromErrno(errno, false);
    *size = static_cast<uint64_t>(st.st_size);
    return io::kOk;
  }

  IoResult Truncate(uint64_t size) override {
    if (fd_ < 0) return io::kNotOpen;
    counters_->other++;
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      return IoResultFromErrno(errno, true);
    }
    return io::kOk;
  }

  IoResult Sync() override {
    if (fd_ < 0) return io::kNotOpen;
    counters_->other++;
    while (::fsync(fd_) != 0) {
      if (errno == EINTR) continue;
      // A descriptor that cannot be flushed (a pipe) has nothing to lose.
      if (errno == EINVAL || errno == EROFS) return io::kOk;
      return IoResultFromErrno(errno, true);
    }
    return io::kOk;
  }

  IoResult Lock(uint64_t offset, uint64_t length) override {
    return SetLock(F_WRLCK, offset, length);
  }
  IoResult Unlock(uint64_t offset, uint64_t length) override {
    return SetLock(F_UNLCK, offset, length);
  }

  IoResult Close() override {
    if (fd_ < 0) return io::kNotOpen;
    int fd = fd_;
    fd_ = -1;
    if (!owns_fd_) return io::kOk;
    counters_->other++;
    if (::close(fd) != 0 && errno != EINTR) {
      return IoResultFromErrno(errno, true);
    }
    return io::kOk;
  }

 private:
  // Open-file-description locks: owned by this open file, so two opens of
  // one base in the same process exclude each other just as two processes
  // do, and closing another descriptor never drops them.
  IoResult SetLock(short type, uint64_t offset, uint64_t length) {
    if (fd_ < 0) return io::kNotOpen;
    counters_->other++;
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    fl.l_pid = 0;
    while (::fcntl(fd_, F_OFD_SETLK, &fl) != 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EACCES) return io::kLockViolation;
      return IoResultFromErrno(errno, false);
    }
    return io::kOk;
  }

  int fd_;
  IoCounters* counters_;
  bool owns_fd_;
};

class PosixEnv final : public Env {
 public:
  IoResult Open(const std::string& name, OpenMode mode,
                std::unique_ptr<File>* file, bool* exists_out) override {
    if (exists_out != nullptr) *exists_out = false;
    int flags = O_CLOEXEC;
    if (NoFollow(mode)) flags |= O_NOFOLLOW;
    switch (BareMode(mode)) {
      case OpenMode::kReadWrite:
        flags |= O_RDWR;
        break;
      case OpenMode::kReadOnly:
        flags |= O_RDONLY;
        break;
      case OpenMode::kCreateExclusive:
        flags |= O_RDWR | O_CREAT | O_EXCL;
        break;
      case OpenMode::kOpenOrCreate:
        flags |= O_RDWR | O_CREAT;
        break;
      default:
        return io::kInvalidHandle;
    }
    counters_.opens++;
    int fd;
    do {
      fd = ::open(name.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      if (errno == EEXIST && exists_out != nullptr) *exists_out = true;
      // O_NOFOLLOW meeting a link answers ELOOP (or EMLINK on some systems).
      if (NoFollow(mode) && (errno == ELOOP || errno == EMLINK)) {
        return io::kSymbolicLink;
      }
      return IoResultFromErrno(errno, false);
    }
    *file = std::make_unique<PosixFile>(fd, &counters_);
    return io::kOk;
  }

  IoResult Link(const std::string& from, const std::string& to,
                bool* exists_out) override {
    if (exists_out != nullptr) *exists_out = false;
    counters_.other++;
    if (::link(from.c_str(), to.c_str()) == 0) return io::kOk;
    if (errno == EEXIST && exists_out != nullptr) *exists_out = true;
    return IoResultFromErrno(errno, true);
  }

  IoResult SyncDir(const std::string& dir) override {
    counters_.other++;
    const int fd = ::open(dir.empty() ? "." : dir.c_str(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return IoResultFromErrno(errno, false);
    int rc;
    do {
      rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    const int err = rc == 0 ? 0 : errno;
    ::close(fd);
    // Some file systems cannot flush a directory; nothing more can be done.
    if (err == EINVAL || err == EROFS) return io::kOk;
    return IoResultFromErrno(err, true);
  }

  IoResult OpenTemporary(const std::string& dir,
                         std::unique_ptr<File>* file) override {
    std::string where = dir.empty() ? "." : dir;
    counters_.opens++;
    int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC,
                    0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
      // No unnamed files on this file system: a unique name, removed at once.
      std::string pattern = where + "/MSGBUFXXXXXX";
      fd = ::mkostemp(pattern.data(), O_CLOEXEC);
      if (fd >= 0) ::unlink(pattern.c_str());
    }
    if (fd < 0) return IoResultFromErrno(errno, true);
    *file = std::make_unique<PosixFile>(fd, &counters_);
    return io::kOk;
  }

  std::unique_ptr<File> StandardInput() override {
    return std::make_unique<PosixFile>(0, &counters_, /*owns_fd=*/false);
  }

  IoResult Remove(const std::string& name) override {
    counters_.other++;
    if (::unlink(name.c_str()) != 0) return IoResultFromErrno(errno, true);
    return io::kOk;
  }

  IoResult CreateDir(const std::string& name) override {
    counters_.other++;
    if (::mkdir(name.c_str(), 0777) != 0) return IoResultFromErrno(errno, true);
    return io::kOk;
  }

  IoResult GetFileSize(const std::string& name, uint64_t* size) override {
    counters_.other++;
    struct stat st;
    if (::stat(name.c_str(), &st) != 0) return IoResultFromErrno(errno, false);
    *size = static_cast<uint64_t>(st.st_size);
    return io::kOk;
  }

  bool Exists(const std::string& name) override {
    counters_.other++;
    struct stat st;
    return ::stat(name.c_str(), &st) == 0;
  }

  IoResult FreeSpace(const std::string& dir, uint64_t* bytes) override {
    counters_.other++;
    struct statvfs fs;
    if (::statvfs(dir.empty() ? "." : dir.c_str(), &fs) != 0) {
      return IoResultFromErrno(errno, false);
    }
    // f_bavail, not f_bfree: the blocks kept for the superuser are not ours.
    *bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    return io::kOk;
  }

  void SleepMs(unsigned ms) override {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }

  DateTimeRecord LocalNow() override {
    return SystemClock();
  }

  IoResult CurrentDirectory(std::string* dir) override {
    char buf[PATH_MAX];
    if (::getcwd(buf, sizeof buf) == nullptr) {
      return IoResultFromErrno(errno, false);
    }
    *dir = buf;
    return io::kOk;
  }

  std::string HomeDirectory() override {
    const char* home = ::getenv("HOME");
    return home != nullptr ? home : "";
  }

  const IoCounters& Counters() const override { return counters_; }
  void ResetCounters() override { counters_ = IoCounters(); }

  IoResult WriteStandardOutput(std::string_view text) override {
    // Not counted: the counters are about the files of the bases.
    while (!text.empty()) {
      const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return IoResultFromErrno(errno, true);
      }
      // write(2) never answers 0 for a non-empty buffer but on a full
      // device; counting it as an error ends what would be an endless loop.
      if (n == 0) return io::kDiskWriteError;
      text.remove_prefix(static_cast<size_t>(n));
    }
    return io::kOk;
  }

 private:
  static DateTimeRecord SystemClock() {
    time_t now = ::time(nullptr);
    struct tm tm_local;
    ::localtime_r(&now, &tm_local);
    DateTimeRecord dt;
    dt.Year = static_cast<uint16_t>(tm_local.tm_year + 1900);
    dt.Month = static_cast<uint16_t>(tm_local.tm_mon + 1);
    dt.Day = static_cast<uint16_t>(tm_local.tm_mday);
    dt.Hour = static_cast<uint16_t>(tm_local.tm_hour);
    dt.Minute = static_cast<uint16_t>(tm_local.tm_min);
    // A leap second reads as the last second of its minute.
    dt.Second = static_cast<uint16_t>(tm_local.tm_sec > 59 ? 59 : tm_local.tm_sec);
    return dt;
  }

  IoCounters counters_;
};

}  // namespace

Env* Env::Default() {
  static PosixEnv* env = new PosixEnv;  // lives for the whole process
  return env;
}

}  // namespace drayline
