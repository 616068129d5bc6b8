// SquishMessageBase: last-read pointers and the message count read by name.
//
// The last-read file holds one 4-byte little-endian record per user: user n
// (from 1) owns the record at byte 4 * (n - 1), holding the unique number of
// the last message that user read. Records the file does not reach read as
// 0. Several programs update the file at once, so a user's record is written
// with one positional write into a file that is opened or created but never
// cut: no other user's record is ever written, and the bytes between the old
// end of the file and a new record read as zeros.

#include <algorithm>
#include <array>

#include "squish/squish_message_base.h"
#include "support/coding.h"
#include "support/file_access.h"

namespace drayline {

using namespace squish;

namespace {

constexpr int64_t kLastReadRecordSize = 4;

// Byte offset of user's record; computed in 64 bits so that no user number
// can make it wrap. user must be at least 1.
uint64_t LastReadOffset(int32_t user) {
  return static_cast<uint64_t>(int64_t{user} - 1) * kLastReadRecordSize;
}

}  // namespace

int32_t SquishMessageBase::GetLastRead(int32_t user) {
  if (user < 1) return 0;
  const std::string name = FileName(kLastReadExt);
  const uint64_t offset = LastReadOffset(user);
  const int64_t size = SizeOfFile(env_, name);
  if (size < 0 || static_cast<uint64_t>(size) < offset + kLastReadRecordSize) {
    return 0;
  }
  std::array<uint8_t, kLastReadRecordSize> record{};
  IoResult code = LoadFileAt(env_, name, record, offset);
  if (code != io::kOk) {
    Fail(code);
    return 0;
  }
  return DecodeFixed32Signed(record.data());
}

void SquishMessageBase::SetLastRead(int32_t user, int32_t num) {
  if (user < 1) return;
  std::array<uint8_t, kLastReadRecordSize> record;
  EncodeFixed32Signed(record.data(), num);
  IoResult code =
      SaveFileAt(env_, FileName(kLastReadExt), record, LastReadOffset(user));
  if (code != io::kOk) Fail(code);
}

int32_t SquishMessageBase::NumberOfMessages() {
  // Read afresh by name, so that it also answers for a base that is not
  // open. A file too short to hold the count has no messages.
  std::array<uint8_t, kBaseHeaderSize> record{};
  const std::string name = FileName(kDataExt);
  if (SizeOfFile(env_, name) < static_cast<int64_t>(kBhMessageCount + 4) ||
      LoadFile(env_, name, record) != io::kOk) {
    return 0;
  }
  return std::max(0, DecodeFixed32Signed(record.data() + kBhMessageCount));
}

}  // namespace drayline
