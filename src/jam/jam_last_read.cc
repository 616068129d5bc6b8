#include "jam/jam_last_read.h"

#include <memory>
#include <string>

#include "support/file_access.h"
#include "support/journal.h"

namespace drayline::jam {

namespace {

constexpr size_t kLastReadChunk = 100;  // records read at a time

// Record number of user's record, -1 when there is none; *code receives
// the I/O result of the scan.
int64_t FindLastRead(File& file, int32_t user, IoResult* code) {
  uint8_t chunk[kLastReadChunk * kLastReadRecordSize];
  for (uint64_t first = 0;; first += kLastReadChunk) {
    size_t done = 0;
    *code = RetryRead(file, first * kLastReadRecordSize, chunk, &done);
    if (*code != io::kOk) return -1;
    int64_t found = -1;
    for (size_t i = 0; i < done / kLastReadRecordSize; ++i) {
      const LastReadRecord entry = DecodeLastReadRecord(chunk + i * kLastReadRecordSize);
      if (entry.UserID == static_cast<uint32_t>(user)) found = static_cast<int64_t>(first + i);
    }
    if (found >= 0 || done < sizeof chunk) return found;
  }
}

}  // namespace

int32_t JamLastRead::Get(int32_t user, Status* status) const {
  const std::string name = files_.FileName(kLastReadExt);
  std::unique_ptr<File> file;
  IoResult code =
      RetryOpen(files_.env(), name, OpenMode::kReadOnly | OpenMode::kNoFollow, &file);
  int64_t at = -1;
  if (code == io::kOk) at = FindLastRead(*file, user, &code);
  uint8_t raw[kLastReadRecordSize];
  if (code == io::kOk && at >= 0) {
    code = ReadExact(*file, static_cast<uint64_t>(at) * kLastReadRecordSize, raw);
  }
  *status = Status::FromIo(code, "reading " + name);
  if (code != io::kOk || at < 0) return 0;
  return static_cast<int32_t>(DecodeLastReadRecord(raw).HighReadMsg);
}

Status JamLastRead::Set(int32_t user, int32_t num) const {
  // The lock file is the open base's header file, or one opened for the
  // call when the base is not open.
  File* guard = files_.header_file();
  ChangeSetup setup = files_.change_setup();
  std::unique_ptr<File> own;
  if (guard == nullptr) {
    const std::string name = files_.FileName(kHeaderExt);
    const IoResult code =
        RetryOpen(files_.env(), name, OpenMode::kReadWrite | OpenMode::kNoFollow, &own);
    if (code != io::kOk) return OpenFailure(code, name);
    guard = own.get();
    setup.files = {{guard, name}};
  }
  const std::string name = files_.FileName(kLastReadExt);
  std::unique_ptr<File> file;  // outlives the change, which may undo on it
  std::unique_ptr<Change> change;
  Status s = Change::Begin(files_.env(), *guard, &setup, &change, files_.lock_held());
  if (s.ok()) {
    const IoResult code = RetryOpen(files_.env(), name,
                                    OpenMode::kOpenOrCreate | OpenMode::kNoFollow, &file);
    s = code == io::kOk ? Status::Ok() : OpenFailure(code, name);
  }
  if (s.ok()) change->Name(*file, name);
  if (s.ok()) s = Store(*change, *file, user, num);
  if (s.ok()) s = change->Commit();
  if (s.ok()) s = Status::FromIo(file->Close(), "closing " + name);
  return s;
}

Status JamLastRead::Store(Change& change, File& file, int32_t user, int32_t num) const {
  const std::string name = files_.FileName(kLastReadExt);
  IoResult code = io::kOk;
  const int64_t at = FindLastRead(file, user, &code);
  if (code != io::kOk) return Status::FromIo(code, "reading " + name);
  uint8_t raw[kLastReadRecordSize];
  uint64_t offset = 0;
  LastReadRecord entry{static_cast<uint32_t>(user), static_cast<uint32_t>(user), 0, 0};
  if (at >= 0) {
    offset = static_cast<uint64_t>(at) * kLastReadRecordSize;
    code = ReadExact(file, offset, raw);
    if (code != io::kOk) return Status::FromIo(code, "reading " + name);
    entry = DecodeLastReadRecord(raw);  // UserCRC and UserID stay
  } else {
    Status s = change.Size(file, &offset);
    if (!s.ok()) return s;
    offset = offset / kLastReadRecordSize * kLastReadRecordSize;  // after whole records
  }
  entry.LastReadMsg = static_cast<uint32_t>(num);
  entry.HighReadMsg = static_cast<uint32_t>(num);
  EncodeLastReadRecord(entry, raw);
  return change.Write(file, offset, raw);
}

}  // namespace drayline::jam
