#include "jam/jam_format.h"

#include <array>

#include "support/coding.h"

namespace drayline::jam {

void EncodeIndexRecord(const IndexRecord& record, uint8_t* dst) {
  EncodeFixed32(dst, record.UserCRC);
  EncodeFixed32(dst + 4, record.HdrOffset);
}

IndexRecord DecodeIndexRecord(const uint8_t* src) {
  return IndexRecord{DecodeFixed32(src), DecodeFixed32(src + 4)};
}

void EncodeLastReadRecord(const LastReadRecord& record, uint8_t* dst) {
  EncodeFixed32(dst, record.UserCRC);
  EncodeFixed32(dst + 4, record.UserID);
  EncodeFixed32(dst + 8, record.LastReadMsg);
  EncodeFixed32(dst + 12, record.HighReadMsg);
}

LastReadRecord DecodeLastReadRecord(const uint8_t* src) {
  return LastReadRecord{DecodeFixed32(src), DecodeFixed32(src + 4),
                        DecodeFixed32(src + 8), DecodeFixed32(src + 12)};
}

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint32_t NameChecksum(std::string_view name) {
  uint32_t c = 0xFFFFFFFFu;
  for (char ch : name) {
    uint8_t b = static_cast<uint8_t>(ch);
    if (b >= 'A' && b <= 'Z') b = static_cast<uint8_t>(b + 32);
    c = kCrcTable[(c ^ b) & 0xFF] ^ (c >> 8);
  }
  return c;
}

}  // namespace drayline::jam
