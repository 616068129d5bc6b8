// Shared file access: retried opens, reads and writes, the region lock the
// message bases take before they change a base, whole-block helpers that
// read or write a file by name, and the existence test.
//
// Access denied (5) is retried up to kRetryCount attempts with no pause; a
// lock held elsewhere (33) is retried with a pause of kRetryDelayMs between
// attempts. None of these routines ends the process: every failure comes
// back as the I/O result of the step that failed.

#ifndef DRAYLINE_SUPPORT_FILE_ACCESS_H_
#define DRAYLINE_SUPPORT_FILE_ACCESS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "support/env.h"

namespace drayline {

constexpr uint16_t kRetryCount = 150;
constexpr uint16_t kRetryDelayMs = 100;

// Opens name, retrying while the system answers access denied; *file is
// set only on success. An exclusive create that finds the file present is
// not retried: it answers kAccessDenied with *exists_out set (when given).
IoResult RetryOpen(Env* env, const std::string& name, OpenMode mode,
                   std::unique_ptr<File>* file, bool* exists_out = nullptr);
// Reads up to buf.size() bytes at offset; *done counts the bytes read (on
// a failure too). Meeting the end of the file is not an error.
IoResult RetryRead(File& file, uint64_t offset, std::span<uint8_t> buf,
                   size_t* done);
// Reads exactly buf.size() bytes; fewer is kReadPastEnd.
IoResult ReadExact(File& file, uint64_t offset, std::span<uint8_t> buf);
// Writes all of data at offset; a short write is kDiskWriteError.
IoResult RetryWrite(File& file, uint64_t offset, std::span<const uint8_t> data);

IoResult LockRegion(File& file, uint64_t position, uint64_t length);
IoResult UnlockRegion(File& file, uint64_t position, uint64_t length);
// Takes the lock, retrying while another process holds it (kRetryCount
// attempts, kRetryDelayMs apart, slept through env). 0 when the region is
// locked; kLockViolation when it stayed held elsewhere. waiting (when
// given) is called once, after kLockWaitNoticeMs of waiting.
IoResult LockWithRetry(Env* env, File& file, uint64_t position,
                       uint64_t length,
                       const std::function<void()>& waiting = nullptr);

// How long a lock is waited for before the waiter is told.
constexpr unsigned kLockWaitNoticeMs = 1000;

// Writes data into name at position, creating the file when it is missing
// (never truncating it). A size of 0 only makes sure the file exists.
IoResult SaveFileAt(Env* env, const std::string& name,
                    std::span<const uint8_t> data, uint64_t position);
IoResult SaveFile(Env* env, const std::string& name,
                  std::span<const uint8_t> data);
// Reads up to buf.size() bytes of name at position; bytes past the end of
// the file keep their old contents. kNoSuchFile when name does not exist.
IoResult LoadFileAt(Env* env, const std::string& name, std::span<uint8_t> buf,
                    uint64_t position);
IoResult LoadFile(Env* env, const std::string& name, std::span<uint8_t> buf);
// Makes name at least size bytes long, adding zero bytes.
IoResult ExtendFile(Env* env, const std::string& name, int64_t size);
// Size in bytes of the entry name, or -1 when it cannot be found.
int64_t SizeOfFile(Env* env, const std::string& name);
// True when the file system has an entry of that name (directories too);
// names with ? or * never exist. An absolute name that is missing is also
// tried below the current directory.
bool FileExists(Env* env, std::string_view name);

}  // namespace drayline

#endif  // DRAYLINE_SUPPORT_FILE_ACCESS_H_
