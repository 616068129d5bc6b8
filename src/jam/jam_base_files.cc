#include "jam/jam_base_files.h"

#include <cstring>

#include "drayline/check.h"
#include "support/clock.h"
#include "support/dates.h"
#include "support/file_access.h"
#include "support/file_set.h"
#include "support/journal.h"

namespace drayline::jam {

namespace {

std::array<uint8_t, kBaseHeaderSize> FreshBaseHeader(Env* env) {
  std::array<uint8_t, kBaseHeaderSize> header{};
  std::memcpy(header.data() + kBhSignature, "JAM", 4);
  EncodeFixed32(header.data() + kBhDateCreated, PackedToUnix(CurrentPackedDateTime(env)));
  EncodeFixed32(header.data() + kBhPasswordCrc, kNoCrc);
  EncodeFixed32(header.data() + kBhBaseMsgNum, 1);
  return header;
}

// The status of a failed lock step, with the number every store of this
// base has always answered for it.
Status AsLockFailure(const Status& why) {
  return Status(why.code(), io::kAccessDenied, why.text());
}

Status LockResult(IoResult code, const std::string& name) {
  if (code == io::kLockViolation) return Status::Locked(name);
  return Status::FromIo(code, "locking " + name);
}

}  // namespace

void JamBaseFiles::SetPath(std::string_view path) {
  path_ = std::string(path);
  setup_.journal = path_ + std::string(kJournalSuffix);
  setup_.fingerprint_size = kBaseHeaderSize;
  setup_.files = {{nullptr, FileName(kHeaderExt)},
                 {nullptr, FileName(kTextExt)},
                 {nullptr, FileName(kIndexExt)}};
  NameFilesForChange();
}

void JamBaseFiles::NameFilesForChange() {
  if (setup_.files.size() != 3) return;
  setup_.files[0].file = header_.get();
  setup_.files[1].file = text_.get();
  setup_.files[2].file = index_.get();
}

std::string JamBaseFiles::FileName(std::string_view ext) const {
  return path_ + std::string(ext);
}

bool JamBaseFiles::Exists() const { return FileExists(env_, FileName(kHeaderExt)); }

Status JamBaseFiles::OpenFile(std::string_view ext, OpenMode mode,
                              std::unique_ptr<File>* file) const {
  const std::string name = FileName(ext);
  const IoResult code = RetryOpen(env_, name, mode | OpenMode::kNoFollow, file);
  return code == io::kOk ? Status::Ok() : OpenFailure(code, name);
}

Status JamBaseFiles::ReadBaseHeader() {
  std::array<uint8_t, kBaseHeaderSize> image;
  const IoResult code = ReadExact(*header_, 0, image);
  if (code == io::kReadPastEnd) {
    return Status::Damaged(FileName(kHeaderExt) + " is shorter than its base header");
  }
  if (code != io::kOk) return Status::FromIo(code, "reading " + FileName(kHeaderExt));
  image_ = image;
  return Status::Ok();
}

Status JamBaseFiles::Open() {
  Close();
  Status s = OpenFile(kHeaderExt, OpenMode::kReadWrite, &header_);
  // Nothing is read before a change cut short is taken back.
  if (s.ok()) s = RecoverIfPending(env_, setup_.journal, *header_, setup_.options.sync);
  if (s.ok()) s = ReadBaseHeader();
  if (s.ok()) s = OpenFile(kTextExt, OpenMode::kReadWrite, &text_);
  if (s.ok()) s = OpenFile(kIndexExt, OpenMode::kReadWrite, &index_);
  if (!s.ok()) Close();  // a half-open base is never used
  NameFilesForChange();
  return s;
}

void JamBaseFiles::Close() {
  // Closing the header file gives up its lock.
  lock_count_ = 0;
  header_.reset();
  text_.reset();
  index_.reset();
  NameFilesForChange();
}

Status JamBaseFiles::CreateFile(std::string_view ext, std::unique_ptr<File>* file) const {
  // Exclusive create first: a file that exists belongs to a base that is
  // being made or used by another program, and is opened, never truncated.
  const std::string name = FileName(ext);
  bool exists = false;
  const IoResult code =
      RetryOpen(env_, name, OpenMode::kCreateExclusive | OpenMode::kNoFollow, file, &exists);
  if (code == io::kOk || !exists) return Status::FromIo(code, "creating " + name);
  return OpenFile(ext, OpenMode::kReadWrite, file);
}

Status JamBaseFiles::WriteFreshBaseHeader(File& header_file) const {
  // Only into a file still too short to hold a base header, under the
  // lock: another creator may have written one since we looked.
  ChangeSetup setup = setup_;
  setup.files = {{&header_file, FileName(kHeaderExt)}};
  std::unique_ptr<Change> change;
  Status s = Change::Begin(env_, header_file, &setup, &change);
  uint64_t size = 0;
  if (s.ok()) s = change->Size(header_file, &size);
  if (!s.ok() || size >= kBaseHeaderSize) return s.ok() ? change->Commit() : s;
  s = change->Write(header_file, 0, FreshBaseHeader(env_));
  return s.ok() ? change->Commit() : s;
}

Status JamBaseFiles::CreateWhole() {
  const std::array<uint8_t, kBaseHeaderSize> header = FreshBaseHeader(env_);
  const NewFile files[] = {{FileName(kLastReadExt), {}, /*keep_existing=*/true},
                           {FileName(kTextExt), {}},
                           {FileName(kIndexExt), {}},
                           {FileName(kHeaderExt), {header.begin(), header.end()}}};
  bool raced = false;
  Status s = CreateLinked(env_, files, setup_.options.sync, &raced);
  if (!s.ok() || !raced) return s;
  // Another creator made the header file first: its base is completed and
  // checked as one found there.
  return CreateExisting();
}

Status JamBaseFiles::CheckWholeBase() const {
  // The header file holds messages: succeed only when the whole base is
  // there (another run has just made it); otherwise the base is damaged
  // and is left for the sysop to repair.
  for (std::string_view ext : {kTextExt, kIndexExt}) {
    std::unique_ptr<File> probe;
    Status s = OpenFile(ext, OpenMode::kReadWrite, &probe);
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

Status JamBaseFiles::Create() {
  if (!env_->Exists(FileName(kHeaderExt))) return CreateWhole();
  return CreateExisting();
}

Status JamBaseFiles::CreateExisting() {
  if (SizeOfFile(env_, FileName(kHeaderExt)) > static_cast<int64_t>(kBaseHeaderSize)) {
    return CheckWholeBase();
  }
  std::unique_ptr<File> header_file;
  Status s = CreateFile(kHeaderExt, &header_file);
  if (s.ok()) s = WriteFreshBaseHeader(*header_file);
  for (std::string_view ext : {kLastReadExt, kTextExt, kIndexExt}) {
    std::unique_ptr<File> file;
    if (s.ok()) s = CreateFile(ext, &file);
  }
  return s;
}

Status JamBaseFiles::Lock() {
  if (lock_count_ > 0) {
    ++lock_count_;
    return Status::Ok();
  }
  if (header_ == nullptr) return Status::FromIo(io::kNotOpen, "locking a base that is not open");
  const IoResult code = LockWithRetry(env_, *header_, 0, 1);
  if (code != io::kOk) return LockResult(code, FileName(kHeaderExt));
  // Counters changed by another program before the lock are taken over.
  const Status s = ReadBaseHeader();
  if (!s.ok()) {
    UnlockRegion(*header_, 0, 1);
    return s;
  }
  lock_count_ = 1;
  return Status::Ok();
}

Status JamBaseFiles::Unlock() {
  // Nothing is written to a base without the lock.
  if (lock_count_ <= 0) return Status::InvalidArgument("the base is not locked");
  if (--lock_count_ > 0) return Status::Ok();
  if (header_ == nullptr) return Status::FromIo(io::kNotOpen, "unlocking");
  // The base header is written while the lock is still held, so that a
  // waiting writer never reads the counters from before this change.
  std::unique_ptr<Change> change;
  Status s = Change::Begin(env_, *header_, &setup_, &change, /*lock_held=*/true);
  if (s.ok()) s = change->Write(*header_, 0, image_);
  if (s.ok()) s = change->Commit();
  change.reset();  // undone unless committed, still under the lock
  const IoResult unlock = UnlockRegion(*header_, 0, 1);
  if (s.ok() && unlock != io::kOk) s = Status::FromIo(unlock, "unlocking " + FileName(kHeaderExt));
  return s;
}

Status JamBaseFiles::BeginChange(std::unique_ptr<Change>* change) {
  change->reset();
  if (header_ == nullptr) return Status::FromIo(io::kNotOpen, "changing a base that is not open");
  const bool held = lock_count_ > 0;
  Status s = Change::Begin(env_, *header_, &setup_, change, held);
  if (s.ok() && !held) s = ReadBaseHeader();
  if (s.ok()) return s;
  change->reset();  // gives up the lock it took
  return AsLockFailure(s);
}

Status JamBaseFiles::CommitCounted(Change& change, int active_delta) {
  std::array<uint8_t, kBaseHeaderSize> image = image_;
  uint32_t active = DecodeFixed32(image.data() + kBhActiveMsgs);
  if (active_delta > 0) {
    ++active;
  } else if (active_delta < 0 && active > 0) {
    --active;
  }
  EncodeFixed32(image.data() + kBhActiveMsgs, active);
  EncodeFixed32(image.data() + kBhModCounter, DecodeFixed32(image.data() + kBhModCounter) + 1);
  // Taken for this change, the lock came with a fresh read of the base
  // header: the file holds image_ there.
  Status s;
  if (lock_count_ == 0) s = change.Overwrite(*header_, 0, image, image_);
  if (s.ok()) s = change.Commit();
  if (s.ok()) image_ = image;
  return s;
}

}  // namespace drayline::jam
