// draybase dump BASE: the fields of a JAM base's files, read straight from
// the bytes through the record views (base header, then each index record
// with its message header, subfields and text). A damaged base is shown as
// damaged: the views check every offset and length against the files.

#include <algorithm>
#include <array>
#include <cstdio>
#include "draybase/output.h"
#include <memory>
#include <string>
#include <vector>

#include "draybase/commands.h"
#include "drayline/jam_records.h"

namespace draybase {

namespace {

using drayline::JamIndexRecord;
using drayline::JamMessageHeaderRecord;
using drayline::JamRecordReader;

constexpr size_t kMaxTextShown = 4000;
constexpr size_t kIndexChunk = 1024;  // index records read at once

std::string Hex32(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

std::string TimeText(uint32_t time) {
  const drayline::LocalDateTime t = drayline::JamTime(time);
  char buf[48];  // room for any 16-bit field values
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month,
                t.day, t.hour, t.minute, t.second);
  return std::to_string(time) + " (" + buf + ")";
}

template <size_t N>
std::string Signature(const std::array<uint8_t, N>& bytes) {
  return std::string(bytes.begin(), bytes.begin() + 3);
}

void DumpBaseHeader(const drayline::JamBaseHeaderRecord& h) {
  Out() << "Base header\n"
            << "  Signature    " << Signature(h.signature)
            << "\n  DateCreated  " << TimeText(h.date_created)
            << "\n  ModCounter   " << h.mod_counter
            << "\n  ActiveMsgs   " << h.active_msgs
            << "\n  PasswordCRC  " << Hex32(h.password_crc)
            << "\n  BaseMsgNum   " << h.base_msg_num << "\n";
}

void DumpSubfields(const JamMessageHeaderRecord& h) {
  if (!h.subfields_read) {
    Out() << "  (subfields lie outside the header file)\n";
    return;
  }
  for (const drayline::JamSubfieldRecord& sf : h.subfields) {
    Out() << "  Subfield " << sf.lo_id << "  \"" << sf.data << "\"\n";
  }
  if (h.overrun_id) Out() << "  (subfield " << *h.overrun_id << " runs past its header)\n";
}

void DumpText(const JamRecordReader& records, uint32_t offset, uint32_t len) {
  std::string bytes;
  const size_t shown = std::min<size_t>(len, kMaxTextShown);
  if (!records.ReadText(offset, static_cast<uint32_t>(shown), &bytes).ok()) {
    Out() << "  (text lies outside the text file)\n";
    return;
  }
  std::string line = "  | ";
  for (char c : bytes) {
    if (c == '\r') {
      Out() << line << "\n";
      line = "  | ";
    } else if (c != '\n') {
      line += c;
    }
  }
  if (line.size() > 4) Out() << line << "\n";
  if (shown < len) Out() << "  (" << len - shown << " more bytes)\n";
}

void DumpMessage(const JamRecordReader& records, uint32_t number, const JamIndexRecord& index) {
  Out() << "Message " << number << "  (index: UserCRC " << Hex32(index.user_crc)
            << ", HdrOffset " << index.hdr_offset << ")\n";
  if (index.deleted()) return;
  JamMessageHeaderRecord h;
  if (!records.ReadMessageHeader(index.hdr_offset, &h).ok()) {
    Out() << "  (header lies outside the header file)\n";
    return;
  }
  Out() << "  Signature " << Signature(h.signature) << "  Revision " << h.revision
            << "  MessageNumber " << h.message_number << "  Attribute "
            << Hex32(h.attribute) << "\n"
            << "  DateWritten   " << TimeText(h.date_written) << "\n"
            << "  DateProcessed " << TimeText(h.date_processed) << "\n"
            << "  TxtOffset " << h.txt_offset << "  TxtLen " << h.txt_len
            << "  SubfieldLen " << h.subfield_len << "\n";
  DumpSubfields(h);
  DumpText(records, h.txt_offset, h.txt_len);
}

}  // namespace

int RunDump(CommandArgs args) {
  if (args.size() != 1 || args[0].empty()) {
    Err() << "usage: draybase dump BASE   (the base path without extension)\n";
    return kExitUsage;
  }
  drayline::Status status;
  const std::unique_ptr<JamRecordReader> records = JamRecordReader::Open(args[0], &status);
  if (records == nullptr) {
    Err() << "draybase: " << status.text() << "\n";
    return kExitFailed;
  }
  DumpBaseHeader(records->base_header());
  const uint32_t base_msg_num = records->base_header().base_msg_num;
  std::vector<JamIndexRecord> chunk;
  for (uint64_t first = 0; first < records->index_count(); first += kIndexChunk) {
    status = records->ReadIndex(first, kIndexChunk, &chunk);
    if (!status.ok()) {
      Err() << "draybase: " << status.text() << "\n";
      return kExitFailed;
    }
    for (size_t i = 0; i < chunk.size(); ++i) {
      DumpMessage(*records, base_msg_num + static_cast<uint32_t>(first + i), chunk[i]);
    }
  }
  return kExitOk;
}

}  // namespace draybase
