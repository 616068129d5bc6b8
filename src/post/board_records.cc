// The board's records as bytes (drayline/board.h).

#include "drayline/board.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "support/coding.h"

namespace drayline {

namespace {

// The string stored at offset: its length byte, cut to capacity, then that
// many characters. The caller has checked that the whole field lies inside
// the record.
std::string GetFieldString(std::span<const uint8_t> record, size_t offset,
                           size_t capacity) {
  size_t len = std::min<size_t>(record[offset], capacity);
  return std::string(reinterpret_cast<const char*>(&record[offset + 1]), len);
}

void PutFieldString(std::span<uint8_t> record, size_t offset, size_t capacity,
                    const std::string& s) {
  size_t len = std::min(s.size(), capacity);
  record[offset] = static_cast<uint8_t>(len);
  std::memcpy(&record[offset + 1], s.data(), len);
}

}  // namespace

static_assert(kDataPathOffset + 1 + kDataPathCapacity <=
              kSystemConfigRecordSize);
static_assert(kBaseFileNameOffset + 1 + kBaseFileNameCapacity ==
              kBasePathOffset);
static_assert(kBasePathOffset + 1 + kBasePathCapacity == kBaseFormatOffset);

bool DecodeSystemConfigRecord(std::span<const uint8_t> bytes,
                              SystemConfigRecord* record) {
  if (bytes.size() < kSystemConfigRecordSize) return false;
  record->DataPath = GetFieldString(bytes, kDataPathOffset, kDataPathCapacity);
  return true;
}

bool DecodeMessageBaseRecord(std::span<const uint8_t> bytes,
                             MessageBaseRecord* record) {
  if (bytes.size() < kMessageBaseRecordSize) return false;
  record->BaseFileName =
      GetFieldString(bytes, kBaseFileNameOffset, kBaseFileNameCapacity);
  record->BasePath = GetFieldString(bytes, kBasePathOffset, kBasePathCapacity);
  record->BaseFormat = bytes[kBaseFormatOffset];
  record->NetType = bytes[kNetTypeOffset];
  record->PostType = bytes[kPostTypeOffset];
  record->MaxMsgs = DecodeFixed16(&bytes[kMaxMsgsOffset]);
  record->MaxAge = DecodeFixed16(&bytes[kMaxAgeOffset]);
  return true;
}

void EncodeSystemConfigRecord(const SystemConfigRecord& record,
                              std::span<uint8_t> out) {
  std::fill_n(out.begin(), kSystemConfigRecordSize, 0);
  PutFieldString(out, kDataPathOffset, kDataPathCapacity, record.DataPath);
}

void EncodeMessageBaseRecord(const MessageBaseRecord& record,
                             std::span<uint8_t> out) {
  std::fill_n(out.begin(), kMessageBaseRecordSize, 0);
  PutFieldString(out, kBaseFileNameOffset, kBaseFileNameCapacity,
                 record.BaseFileName);
  PutFieldString(out, kBasePathOffset, kBasePathCapacity, record.BasePath);
  out[kBaseFormatOffset] = record.BaseFormat;
  out[kNetTypeOffset] = record.NetType;
  out[kPostTypeOffset] = record.PostType;
  EncodeFixed16(&out[kMaxMsgsOffset], record.MaxMsgs);
  EncodeFixed16(&out[kMaxAgeOffset], record.MaxAge);
}

Status BoardRecordFile::ReadSystemRecord(SystemConfigRecord* record) {
  std::array<uint8_t, kSystemConfigRecordSize> bytes;
  Status s = ReadRecord(0, bytes);
  if (s.ok()) DecodeSystemConfigRecord(bytes, record);
  return s;
}

Status BoardRecordFile::ReadBaseRecord(int64_t n, MessageBaseRecord* record) {
  std::array<uint8_t, kMessageBaseRecordSize> bytes;
  Status s = ReadRecord(n, bytes);
  if (s.ok()) DecodeMessageBaseRecord(bytes, record);
  return s;
}

}  // namespace drayline
