#include "squish/squish_lastread.h"

#include <algorithm>
#include <array>
#include <memory>

#include "squish/squish_format.h"
#include "support/coding.h"
#include "support/file_access.h"
#include "support/journal.h"

namespace drayline::squish {

namespace {

constexpr int64_t kLastReadRecordSize = 4;

// Byte offset of user's record; computed in 64 bits so that no user number
// can make it wrap. user must be at least 1.
uint64_t LastReadOffset(int32_t user) {
  return static_cast<uint64_t>(int64_t{user} - 1) * kLastReadRecordSize;
}

}  // namespace

Status ReadLastRead(Env* env, const std::string& name, int32_t user,
                    int32_t* num) {
  *num = 0;
  if (user < 1) return Status::Ok();
  const uint64_t offset = LastReadOffset(user);
  const int64_t size = SizeOfFile(env, name);
  if (size < 0 || static_cast<uint64_t>(size) < offset + kLastReadRecordSize) {
    return Status::Ok();
  }
  std::array<uint8_t, kLastReadRecordSize> record{};
  IoResult code = LoadFileAt(env, name, record, offset);
  if (code != io::kOk) return Status::FromIo(code, "reading " + name);
  *num = DecodeFixed32Signed(record.data());
  return Status::Ok();
}

Status WriteLastRead(Env* env, const std::string& name, int32_t user,
                     int32_t num) {
  if (user < 1) return Status::Ok();
  std::array<uint8_t, kLastReadRecordSize> record;
  EncodeFixed32Signed(record.data(), num);
  // Opened or created, never cut, and never through a symbolic link.
  std::unique_ptr<File> file;
  IoResult code =
      RetryOpen(env, name, OpenMode::kOpenOrCreate | OpenMode::kNoFollow, &file);
  if (code != io::kOk) return OpenFailure(code, name);
  code = RetryWrite(*file, LastReadOffset(user), record);
  if (code == io::kOk) code = file->Close();
  return Status::FromIo(code, "writing " + name);
}

int32_t CountMessages(Env* env, const std::string& data_name) {
  // A file too short to hold the count has no messages.
  std::array<uint8_t, kBaseHeaderSize> record{};
  if (SizeOfFile(env, data_name) < static_cast<int64_t>(kBhMessageCount + 4) ||
      LoadFile(env, data_name, record) != io::kOk) {
    return 0;
  }
  return std::max(0, DecodeFixed32Signed(record.data() + kBhMessageCount));
}

}  // namespace drayline::squish
