#include "jam/jam_test_files.h"

#include <cstring>

#include "jam/jam_format.h"
#include "test_util.h"

namespace drayline::jamtest {

void Put32(Bytes& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const Bytes& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[at + i];
  return value;
}

void ComposeWorkedExample(MessageBase& base) {
  base.StartNewMessage();
  base.SetLocal(true);
  base.SetMailType(MailType::Local);
  base.SetPrivate(false);
  base.SetDate("06/15/01");
  base.SetTime("14:30");
  base.SetFrom("Sysop");
  base.SetTo("All");
  base.SetSubject("Hello");
  base.AddTextLine("Test");
}

Bytes Subfield(uint16_t kind, const std::string& data) {
  Bytes out(8 + data.size(), 0);
  out[0] = static_cast<uint8_t>(kind);
  out[1] = static_cast<uint8_t>(kind >> 8);
  Put32(out, 4, static_cast<uint32_t>(data.size()));
  std::memcpy(out.data() + 8, data.data(), data.size());
  return out;
}

JamFiles::JamFiles(uint32_t base_msg_num) : jhr(jam::kBaseHeaderSize, 0) {
  std::memcpy(jhr.data(), "JAM", 4);
  Put32(jhr, jam::kBhPasswordCrc, jam::kNoCrc);
  Put32(jhr, jam::kBhBaseMsgNum, base_msg_num);
}

size_t JamFiles::Add(const TestMessage& m) {
  const size_t record = jdx.size() / 8;
  Bytes subfields;
  auto add = [&](uint16_t kind, const std::string& data) {
    if (data.empty()) return;
    Bytes sf = Subfield(kind, data);
    subfields.insert(subfields.end(), sf.begin(), sf.end());
  };
  add(jam::kSfReceiverName, m.to);
  add(jam::kSfSenderName, m.from);
  add(jam::kSfSubject, m.subject);
  for (const auto& [kind, data] : m.extra) add(kind, data);

  Bytes header(jam::kFixedHeaderSize, 0);
  std::memcpy(header.data(), "JAM", 4);
  header[jam::kMhRevision] = 1;
  Put32(header, jam::kMhSubfieldLen, static_cast<uint32_t>(subfields.size()));
  Put32(header, jam::kMhMsgIdCrc, jam::kNoCrc);
  Put32(header, jam::kMhReplyCrc, jam::kNoCrc);
  Put32(header, jam::kMhDateWritten, m.date_written);
  Put32(header, jam::kMhMessageNumber,
        Get32(jhr, jam::kBhBaseMsgNum) + static_cast<uint32_t>(record));
  Put32(header, jam::kMhAttribute, m.attribute);
  Put32(header, jam::kMhTxtOffset, static_cast<uint32_t>(jdt.size()));
  Put32(header, jam::kMhTxtLen, static_cast<uint32_t>(m.text.size()));
  Put32(header, jam::kMhPasswordCrc, jam::kNoCrc);
  header.insert(header.end(), subfields.begin(), subfields.end());

  jdt.insert(jdt.end(), m.text.begin(), m.text.end());
  jdx.resize(jdx.size() + 8);
  SetIndex(record, jam::NameChecksum(m.to), static_cast<uint32_t>(jhr.size()));
  jhr.insert(jhr.end(), header.begin(), header.end());
  Put32(jhr, jam::kBhActiveMsgs, Get32(jhr, jam::kBhActiveMsgs) + 1);
  Put32(jhr, jam::kBhModCounter, Get32(jhr, jam::kBhModCounter) + 1);
  return record;
}

void JamFiles::Delete(size_t record) {
  const uint32_t at = HeaderOffset(record);
  Put32(jhr, at + jam::kMhAttribute, Get32(jhr, at + jam::kMhAttribute) | jam::kAttrDeleted);
  SetIndex(record, jam::kNoCrc, jam::kNoCrc);
  Put32(jhr, jam::kBhActiveMsgs, Get32(jhr, jam::kBhActiveMsgs) - 1);
}

void JamFiles::SetIndex(size_t record, uint32_t user_crc, uint32_t hdr_offset) {
  Put32(jdx, record * 8, user_crc);
  Put32(jdx, record * 8 + 4, hdr_offset);
}

uint32_t JamFiles::HeaderOffset(size_t record) const { return Get32(jdx, record * 8 + 4); }

void JamFiles::Write(const std::string& path) const {
  WriteFileBytes(path + ".jhr", jhr);
  WriteFileBytes(path + ".jdt", jdt);
  WriteFileBytes(path + ".jdx", jdx);
  WriteFileBytes(path + ".jlr", {});
}

}  // namespace drayline::jamtest
