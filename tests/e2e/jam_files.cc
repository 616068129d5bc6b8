#include "e2e/jam_files.h"

#include "jam/jam_format.h"
#include "support/coding.h"
#include "test_util.h"

namespace drayline {

using namespace jam;

namespace {

uint32_t Field32(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t value = 0;
  EXPECT_TRUE(GetFixed32(bytes, offset, &value)) << "no field at " << offset;
  return value;
}

}  // namespace

uint32_t StoredJamMessage::Field(size_t offset) const {
  return Field32(header, offset);
}

std::string StoredJamMessage::Subfield(uint16_t id) const {
  for (const auto& [kind, data] : subfields) {
    if (kind == id) return data;
  }
  return "";
}

uint32_t StoredJamBase::BaseField(size_t offset) const {
  return Field32(jhr, offset);
}

namespace {

testing::AssertionResult DecodeMessage(const StoredJamBase& base, size_t n,
                                       StoredJamMessage* m) {
  auto fail = [n](const std::string& why) {
    return testing::AssertionFailure() << "message " << n << ": " << why;
  };
  const uint64_t at = m->hdr_offset;
  if (at < kBaseHeaderSize || at + kFixedHeaderSize > base.jhr.size()) {
    return fail("header offset " + std::to_string(at) + " outside .jhr");
  }
  const uint8_t* fixed = &base.jhr[at];
  if (std::string(fixed, fixed + 4) != std::string("JAM\0", 4)) {
    return fail("no header signature");
  }
  const uint32_t sub_len = DecodeFixed32(fixed + kMhSubfieldLen);
  if (sub_len > base.jhr.size() - at - kFixedHeaderSize) {
    return fail("subfields run past .jhr");
  }
  m->header.assign(fixed, fixed + kFixedHeaderSize + sub_len);
  for (size_t pos = kFixedHeaderSize; pos < m->header.size();) {
    if (m->header.size() - pos < kSubfieldHeaderSize) return fail("torn subfield");
    const uint16_t kind = DecodeFixed16(&m->header[pos]);
    const uint32_t len = DecodeFixed32(&m->header[pos + 4]);
    pos += kSubfieldHeaderSize;
    if (len > m->header.size() - pos) return fail("subfield runs past header");
    m->subfields.emplace_back(
        kind, std::string(m->header.begin() + static_cast<long>(pos),
                          m->header.begin() + static_cast<long>(pos + len)));
    pos += len;
  }
  const uint64_t txt_offset = m->Field(kMhTxtOffset);
  const uint64_t txt_len = m->Field(kMhTxtLen);
  if (txt_offset + txt_len > base.jdt.size()) return fail("text outside .jdt");
  m->text.assign(base.jdt.begin() + static_cast<long>(txt_offset),
                 base.jdt.begin() + static_cast<long>(txt_offset + txt_len));
  const uint32_t expected_number =
      base.BaseField(kBhBaseMsgNum) + static_cast<uint32_t>(n);
  if (m->Field(kMhMessageNumber) != expected_number) {
    return fail("MessageNumber " + std::to_string(m->Field(kMhMessageNumber)) +
                ", expected " + std::to_string(expected_number));
  }
  return testing::AssertionSuccess();
}

}  // namespace

testing::AssertionResult LoadJamBase(const std::string& path,
                                     StoredJamBase* base) {
  base->jhr = ReadFileBytes(path + ".jhr");
  base->jdt = ReadFileBytes(path + ".jdt");
  base->jdx = ReadFileBytes(path + ".jdx");
  base->messages.clear();
  if (base->jhr.size() < kBaseHeaderSize) {
    return testing::AssertionFailure() << path << ".jhr has no base header";
  }
  if (base->jdx.size() % kIndexRecordSize != 0) {
    return testing::AssertionFailure() << path << ".jdx holds a torn record";
  }
  for (size_t n = 0; n < base->jdx.size() / kIndexRecordSize; ++n) {
    IndexRecord index = DecodeIndexRecord(&base->jdx[n * kIndexRecordSize]);
    StoredJamMessage m;
    m.user_crc = index.UserCRC;
    m.hdr_offset = index.HdrOffset;
    testing::AssertionResult ok = DecodeMessage(*base, n, &m);
    if (!ok) return ok;
    base->messages.push_back(std::move(m));
  }
  return testing::AssertionSuccess();
}

}  // namespace drayline
