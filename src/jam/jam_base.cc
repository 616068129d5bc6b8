// JamMessageBase: construction, the base's files, creation and the lock.

#include <algorithm>
#include <array>
#include <cstring>

#include "jam/jam_message_base.h"
#include "support/coding.h"
#include "support/dates.h"
#include "support/file_access.h"
#include "support/strings.h"

namespace drayline {

using namespace jam;

JamMessageBase::JamMessageBase(Env* env)
    : env_(env != nullptr ? env : Env::Default()),
      header_buffer_(new uint8_t[kHeaderBufferSize]()),
      index_window_(new IndexRecord[kIndexWindowRecords + 1]()),
      text_buffer_(new uint8_t[kTextBufferSize]()),
      carry_over_(new uint8_t[kCarryOverSize]()),
      header_window_(new uint8_t[kHeaderWindowSize]) {}

JamMessageBase::~JamMessageBase() { Done(); }

void JamMessageBase::Done() {
  if (done_) return;
  done_ = true;
  CloseBase();
  spill_file_.reset();
  header_buffer_.reset();
  index_window_.reset();
  text_buffer_.reset();
  carry_over_.reset();
  header_window_.reset();
}

void JamMessageBase::SetPath(std::string_view path) {
  // The whole path is kept: cutting it would put the base somewhere else.
  path_ = std::string(path);
}

bool JamMessageBase::BaseExists() {
  return FileExists(env_, path_ + std::string(kHeaderExt));
}

void JamMessageBase::SetBaseField(size_t offset, uint32_t value) {
  EncodeFixed32(base_header_image_.data() + offset, value);
}

int32_t JamMessageBase::BaseMsgNum() const {
  return static_cast<int32_t>(BaseField(kBhBaseMsgNum));
}

void JamMessageBase::SetHeaderField(size_t offset, uint32_t value) {
  EncodeFixed32(header_buffer_.get() + offset, value);
}

void JamMessageBase::SetAttribute(uint32_t bit, bool on) {
  uint32_t attr = HeaderField(kMhAttribute);
  SetHeaderField(kMhAttribute, on ? (attr | bit) : (attr & ~bit));
}

bool JamMessageBase::HasAttribute(uint32_t bit) const {
  return (HeaderField(kMhAttribute) & bit) != 0;
}

int64_t JamMessageBase::IndexRecordCount() {
  uint64_t size = 0;
  if (index_file_ == nullptr || index_file_->Size(&size) != io::kOk) return 0;
  return static_cast<int64_t>(size / kIndexRecordSize);  // whole records only
}

bool JamMessageBase::OpenBase() {
  lock_count_ = 0;
  CloseBase();
  IoResult code = io::kOk;
  if (!ResetWithRetry(env_, path_ + std::string(kHeaderExt),
                      OpenMode::kReadWrite, &header_file_)) {
    code = LastFileError();
  }
  if (code == io::kOk) code = ReadExact(*header_file_, 0, base_header_image_);
  if (code == io::kOk &&
      !ResetWithRetry(env_, path_ + std::string(kTextExt), OpenMode::kReadWrite,
                      &text_file_)) {
    code = LastFileError();
  }
  if (code == io::kOk &&
      !ResetWithRetry(env_, path_ + std::string(kIndexExt),
                      OpenMode::kReadWrite, &index_file_)) {
    code = LastFileError();
  }
  window_first_ = -10;
  window_count_ = 0;
  ForgetTextWindow();
  if (code != io::kOk) {
    io_status_ = code;
    CloseBase();  // a half-open base is never used
  }
  return code == io::kOk;
}

void JamMessageBase::CloseBase() {
  DropHeaderWindow();
  header_file_.reset();
  text_file_.reset();
  index_file_.reset();
}

IoResult JamMessageBase::OpenOrCreateFile(std::string_view ext,
                                          std::unique_ptr<File>* file) {
  // Exclusive create first: a file that exists belongs to a base that is
  // being made or used by another program, and is opened, never truncated.
  const std::string name = path_ + std::string(ext);
  bool exists = false;
  if (ResetWithRetry(env_, name, OpenMode::kCreateExclusive, file, &exists)) {
    return io::kOk;
  }
  if (!exists) return LastFileError();
  if (ResetWithRetry(env_, name, OpenMode::kReadWrite, file)) return io::kOk;
  return LastFileError();
}

IoResult JamMessageBase::WriteFreshBaseHeader(File& header_file) {
  // Under the lock on byte 0, and only into a file still too short to hold
  // a header: another creator may have written one since we looked.
  IoResult code = LockWithRetry(env_, header_file, 0, 1);
  if (code != io::kOk) return code;
  uint64_t size = 0;
  code = header_file.Size(&size);
  if (code == io::kOk && size < kBaseHeaderSize) {
    std::array<uint8_t, kBaseHeaderSize> header{};
    std::memcpy(header.data() + kBhSignature, "JAM", 4);
    EncodeFixed32(header.data() + kBhDateCreated,
                  PackedToUnix(CurrentPackedDateTime()));
    EncodeFixed32(header.data() + kBhPasswordCrc, kNoCrc);
    EncodeFixed32(header.data() + kBhBaseMsgNum, 1);
    if (!WriteWithRetry(header_file, 0, header)) code = LastFileError();
  }
  IoResult unlock = UnlockRegion(header_file, 0, 1);
  return code != io::kOk ? code : unlock;
}

bool JamMessageBase::CreateBase(uint16_t /*max_msgs*/, uint16_t /*keep_days*/) {
  // A JAM base has no message limit: both arguments are accepted unused.
  DropHeaderWindow();  // a fresh base header may be written below
  const std::string header_name = path_ + std::string(kHeaderExt);
  const int64_t header_size = SizeOfFile(env_, header_name);
  if (header_size > static_cast<int64_t>(kBaseHeaderSize)) {
    // The header file holds messages. Succeed only when the whole base is
    // there (another run has just made it); otherwise the base is damaged
    // and is left for the sysop to repair.
    for (std::string_view ext : {kTextExt, kIndexExt}) {
      std::unique_ptr<File> probe;
      if (!ResetWithRetry(env_, path_ + std::string(ext), OpenMode::kReadWrite,
                          &probe)) {
        io_status_ = LastFileError();
        return false;
      }
    }
    return true;
  }
  std::unique_ptr<File> header_file;
  IoResult code = OpenOrCreateFile(kHeaderExt, &header_file);
  if (code == io::kOk) code = WriteFreshBaseHeader(*header_file);
  for (std::string_view ext : {kLastReadExt, kTextExt, kIndexExt}) {
    std::unique_ptr<File> file;
    if (code == io::kOk) code = OpenOrCreateFile(ext, &file);
  }
  io_status_ = code;
  return code == io::kOk;
}

bool JamMessageBase::LockBase() {
  if (lock_count_ > 0) {
    ++lock_count_;
    return true;
  }
  if (header_file_ == nullptr) {
    io_status_ = io::kNotOpen;
    return false;
  }
  // Headers read under the lock come from the file: what was read ahead
  // before it may have been changed by the program that held it last.
  DropHeaderWindow();
  IoResult code = LockWithRetry(env_, *header_file_, 0, 1);
  if (code == io::kOk) {
    // Counters changed by another program before the lock are taken over.
    code = ReadExact(*header_file_, 0, base_header_image_);
    if (code != io::kOk) UnlockRegion(*header_file_, 0, 1);
  }
  if (code != io::kOk) {
    io_status_ = code;
    return false;
  }
  lock_count_ = 1;
  return true;
}

bool JamMessageBase::WriteHeaderFile(uint64_t offset, std::span<const uint8_t> data) {
  DropHeaderWindow();
  return WriteWithRetry(*header_file_, offset, data);
}

bool JamMessageBase::UnlockBase() {
  // Nothing is written to a base without the lock.
  if (lock_count_ <= 0) return false;
  if (--lock_count_ > 0) return true;
  return ReleaseLock(/*write_header=*/true);
}

bool JamMessageBase::ReleaseLock(bool write_header) {
  if (lock_count_ > 1) {  // an outer LockBase still holds it
    --lock_count_;
    return true;
  }
  lock_count_ = 0;
  if (header_file_ == nullptr) return false;
  IoResult code = io::kOk;
  // The header is written while the lock is still held, so a waiting writer
  // never reads the counters from before this change.
  if (write_header && !WriteHeaderFile(0, base_header_image_)) {
    code = LastFileError();
  }
  IoResult unlock = UnlockRegion(*header_file_, 0, 1);
  if (code == io::kOk) code = unlock;
  if (code != io::kOk) io_status_ = code;
  return code == io::kOk;
}

}  // namespace drayline
