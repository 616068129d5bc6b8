// The file layer: the only code that calls the operating system's file
// functions, reads the clock or asks for the current and home directories.
// Everything above it speaks I/O result codes (io_result.h).
//
// Env is a narrow interface so that tests can wrap it to observe calls,
// inject failures (a write that fails, a disk that fills, a lock held
// elsewhere) and set the time, without touching the message-base code.

#ifndef DRAYLINE_SUPPORT_ENV_H_
#define DRAYLINE_SUPPORT_ENV_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "drayline/io_result.h"
#include "support/clock.h"

namespace drayline {

// An open file. Reads and writes are positional, so a file needs no
// remembered offset; a File is used by one thread. Closing happens in the
// destructor (Close reports the result for callers that care).
class File {
 public:
  virtual ~File() = default;

  // Reads up to buf.size() bytes at offset. *done receives the bytes read;
  // meeting the end of the file early is not an error.
  virtual IoResult Read(uint64_t offset, std::span<uint8_t> buf,
                        size_t* done) = 0;
  // Reads from the file's own position (for pipes and standard input).
  virtual IoResult ReadSequential(std::span<uint8_t> buf, size_t* done) = 0;
  // Writes all of data at offset; a short write is kDiskWriteError.
  virtual IoResult Write(uint64_t offset, std::span<const uint8_t> data) = 0;
  virtual IoResult Size(uint64_t* size) = 0;
  // Cuts (or extends with zeros) the file to size bytes.
  virtual IoResult Truncate(uint64_t size) = 0;
  // Byte-range lock shared with other processes; kLockViolation while another
  // open file holds an overlapping range. Never waits.
  virtual IoResult Lock(uint64_t offset, uint64_t length) = 0;
  virtual IoResult Unlock(uint64_t offset, uint64_t length) = 0;
  virtual IoResult Close() = 0;
  // Flushes what was written to the device. A file that has no device
  // behind it (a test's wrapper) succeeds at once.
  virtual IoResult Sync() { return io::kOk; }
};

enum class OpenMode {
  kReadWrite,        // an existing file, read and write (the shared mode)
  kReadOnly,         // an existing file, read only
  kCreateExclusive,  // a new file; kAccessDenied ("file exists") if present
  kOpenOrCreate,     // an existing file, or a new empty one; never truncates
  // Added to a mode: the last component of the name may not be a symbolic
  // link (kSymbolicLink). Base files, last-read files and journals are
  // opened so, so that a planted link never redirects a write.
  kNoFollow = 0x10,
};

constexpr OpenMode operator|(OpenMode a, OpenMode b) {
  return static_cast<OpenMode>(static_cast<int>(a) | static_cast<int>(b));
}
// The mode without kNoFollow.
constexpr OpenMode BareMode(OpenMode mode) {
  return static_cast<OpenMode>(static_cast<int>(mode) & 0x0F);
}
constexpr bool NoFollow(OpenMode mode) {
  return (static_cast<int>(mode) & static_cast<int>(OpenMode::kNoFollow)) != 0;
}

// Counters of file-layer calls, for benchmarks and tests.
struct IoCounters {
  uint64_t opens = 0;
  uint64_t reads = 0;
  uint64_t writes = 0;
  uint64_t other = 0;  // size, truncate, lock, stat, close, remove ...
  uint64_t bytes_read = 0;
  uint64_t bytes_written = 0;
  uint64_t calls() const { return opens + reads + writes + other; }
};

class Env {
 public:
  virtual ~Env() = default;

  // The process's real file system. Never deleted.
  static Env* Default();

  // Opens name. *file is set only on success. An exclusive create that finds
  // the file present answers kAccessDenied with *exists_out set (when given),
  // so callers can tell "another process just made it" from a real denial.
  virtual IoResult Open(const std::string& name, OpenMode mode,
                        std::unique_ptr<File>* file,
                        bool* exists_out = nullptr) = 0;
  // An unnamed scratch file in dir (the current directory when empty): no
  // other process can open it and it vanishes when closed.
  virtual IoResult OpenTemporary(const std::string& dir,
                                 std::unique_ptr<File>* file) = 0;
  // Standard input as a File (reads only; never closes descriptor 0).
  virtual std::unique_ptr<File> StandardInput() = 0;

  virtual IoResult Remove(const std::string& name) = 0;
  virtual IoResult CreateDir(const std::string& name) = 0;
  // Makes to a second name of the file from (link(2)); never replaces:
  // an existing to answers kAccessDenied with *exists_out set (when given).
  virtual IoResult Link(const std::string& from, const std::string& to,
                        bool* exists_out = nullptr) = 0;
  // Flushes file (through the Env, so that a wrapper sees the order).
  virtual IoResult Sync(File& file) { return file.Sync(); }
  // Flushes the entries of directory dir ("" the current one): a file
  // created or removed there survives a crash only after this.
  virtual IoResult SyncDir(const std::string& dir) = 0;
  // Size of a directory entry without opening it.
  virtual IoResult GetFileSize(const std::string& name, uint64_t* size) = 0;
  // True when the file system has an entry of that name (directories too).
  virtual bool Exists(const std::string& name) = 0;

  // Free space: the bytes an unprivileged program may still write to the
  // file system that holds directory dir ("" the current one). Files
  // rewritten in place need none of it; a file that grows, or a journal,
  // does. Answers a failure (and leaves *bytes alone) when dir cannot be
  // asked about.
  virtual IoResult FreeSpace(const std::string& dir, uint64_t* bytes) = 0;
  virtual void SleepMs(unsigned ms) = 0;

  // One reading of the local clock (no time zone applied).
  virtual DateTimeRecord LocalNow() = 0;
  // The process's current directory as the system gives it ("/" for the
  // root, no trailing slash otherwise); *dir is left alone on failure.
  virtual IoResult CurrentDirectory(std::string* dir) = 0;
  // The user's home directory, or "" when none is known.
  virtual std::string HomeDirectory() = 0;

  virtual const IoCounters& Counters() const = 0;
  virtual void ResetCounters() = 0;

  // Writes all of text to standard output, in order, at its current
  // position (a terminal, a pipe or a file). kDiskWriteError (or the
  // system's error) when it cannot be written whole.
  virtual IoResult WriteStandardOutput(std::string_view text) = 0;
};

// Maps a system error number to an I/O result. Errors that have no code of
// their own become kDiskWriteError for a write and kReadPastEnd otherwise.
IoResult IoResultFromErrno(int err, bool writing);

// Wraps another Env and forwards every call; tests derive from it and
// override the calls they want to fail.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  IoResult Open(const std::string& name, OpenMode mode,
                std::unique_ptr<File>* file, bool* exists_out) override {
    return target_->Open(name, mode, file, exists_out);
  }
  IoResult OpenTemporary(const std::string& dir,
                         std::unique_ptr<File>* file) override {
    return target_->OpenTemporary(dir, file);
  }
  std::unique_ptr<File> StandardInput() override {
    return target_->StandardInput();
  }
  IoResult Remove(const std::string& name) override {
    return target_->Remove(name);
  }
  IoResult CreateDir(const std::string& name) override {
    return target_->CreateDir(name);
  }
  IoResult Link(const std::string& from, const std::string& to,
                bool* exists_out = nullptr) override {
    return target_->Link(from, to, exists_out);
  }
  IoResult Sync(File& file) override { return target_->Sync(file); }
  IoResult SyncDir(const std::string& dir) override {
    return target_->SyncDir(dir);
  }
  IoResult GetFileSize(const std::string& name, uint64_t* size) override {
    return target_->GetFileSize(name, size);
  }
  bool Exists(const std::string& name) override {
    return target_->Exists(name);
  }
  IoResult FreeSpace(const std::string& dir, uint64_t* bytes) override {
    return target_->FreeSpace(dir, bytes);
  }
  void SleepMs(unsigned ms) override { target_->SleepMs(ms); }
  DateTimeRecord LocalNow() override { return target_->LocalNow(); }
  IoResult CurrentDirectory(std::string* dir) override {
    return target_->CurrentDirectory(dir);
  }
  std::string HomeDirectory() override { return target_->HomeDirectory(); }
  const IoCounters& Counters() const override { return target_->Counters(); }
  void ResetCounters() override { target_->ResetCounters(); }
  IoResult WriteStandardOutput(std::string_view text) override {
    return target_->WriteStandardOutput(text);
  }

 protected:
  Env* target() const { return target_; }

 private:
  Env* target_;
};

}  // namespace drayline

#endif  // DRAYLINE_SUPPORT_ENV_H_
