// draybase dump BASE: the fields of a JAM base's files, read straight from
// the bytes (base header, then each index record with its message header,
// subfields and text). Every offset and length taken from the files is
// checked against the file before it is used, so a damaged base is shown
// as damaged rather than crashing the tool.

#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "draybase/commands.h"
#include "jam/jam_format.h"
#include "support/coding.h"
#include "support/dates.h"
#include "support/env.h"
#include "support/file_access.h"

namespace draybase {

namespace {

namespace jam = drayline::jam;
using drayline::DecodeFixed16;
using drayline::DecodeFixed32;
using drayline::File;
using drayline::IoResult;

constexpr size_t kMaxTextShown = 4000;
constexpr uint64_t kIndexChunk = 1024;  // index records read at once

std::string Hex32(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

std::string TimeText(uint32_t unix_time) {
  const drayline::DateTimeRecord t = drayline::UnixToDateTime(unix_time);
  char buf[48];  // room for any 16-bit field values
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", t.Year,
                t.Month, t.Day, t.Hour, t.Minute, t.Second);
  return std::to_string(unix_time) + " (" + buf + ")";
}

struct OpenedFile {
  std::unique_ptr<File> file;
  uint64_t size = 0;
};

bool OpenForDump(const std::string& name, OpenedFile* out) {
  drayline::Env* env = drayline::Env::Default();
  IoResult code = env->Open(name, drayline::OpenMode::kReadOnly, &out->file);
  if (code == drayline::io::kOk) code = out->file->Size(&out->size);
  if (code == drayline::io::kOk) return true;
  std::cerr << "draybase: cannot read " << name << " (I/O result " << code
            << ")\n";
  return false;
}

// Reads len bytes at offset when they lie inside the file.
bool ReadRange(OpenedFile& f, uint64_t offset, size_t len,
               std::vector<uint8_t>* out) {
  if (offset > f.size || f.size - offset < len) return false;
  out->resize(len);
  return drayline::ReadExact(*f.file, offset, *out) == drayline::io::kOk;
}

void DumpBaseHeader(const std::vector<uint8_t>& h) {
  std::cout << "Base header\n"
            << "  Signature    " << std::string(h.begin(), h.begin() + 3)
            << "\n  DateCreated  " << TimeText(DecodeFixed32(&h[jam::kBhDateCreated]))
            << "\n  ModCounter   " << DecodeFixed32(&h[jam::kBhModCounter])
            << "\n  ActiveMsgs   " << DecodeFixed32(&h[jam::kBhActiveMsgs])
            << "\n  PasswordCRC  " << Hex32(DecodeFixed32(&h[jam::kBhPasswordCrc]))
            << "\n  BaseMsgNum   " << DecodeFixed32(&h[jam::kBhBaseMsgNum])
            << "\n";
}

void DumpSubfields(const std::vector<uint8_t>& area) {
  size_t pos = 0;
  while (area.size() - pos >= jam::kSubfieldHeaderSize) {
    const uint16_t id = DecodeFixed16(&area[pos]);
    const uint32_t len = DecodeFixed32(&area[pos + 4]);
    pos += jam::kSubfieldHeaderSize;
    if (len > area.size() - pos) {
      std::cout << "  (subfield " << id << " runs past its header)\n";
      return;
    }
    std::cout << "  Subfield " << id << "  \""
              << std::string(area.begin() + static_cast<long>(pos),
                             area.begin() + static_cast<long>(pos + len))
              << "\"\n";
    pos += len;
  }
}

void DumpText(OpenedFile& text, uint32_t offset, uint32_t len) {
  std::vector<uint8_t> bytes;
  const size_t shown = std::min<size_t>(len, kMaxTextShown);
  if (!ReadRange(text, offset, shown, &bytes)) {
    std::cout << "  (text lies outside the text file)\n";
    return;
  }
  std::string line = "  | ";
  for (uint8_t c : bytes) {
    if (c == '\r') {
      std::cout << line << "\n";
      line = "  | ";
    } else if (c != '\n') {
      line += static_cast<char>(c);
    }
  }
  if (line.size() > 4) std::cout << line << "\n";
  if (shown < len) std::cout << "  (" << len - shown << " more bytes)\n";
}

void DumpMessage(OpenedFile& hdr, OpenedFile& text, uint32_t number,
                 const jam::IndexRecord& index) {
  std::cout << "Message " << number << "  (index: UserCRC "
            << Hex32(index.UserCRC) << ", HdrOffset " << index.HdrOffset
            << ")\n";
  if (index.deleted()) return;
  std::vector<uint8_t> h;
  if (!ReadRange(hdr, index.HdrOffset, jam::kFixedHeaderSize, &h)) {
    std::cout << "  (header lies outside the header file)\n";
    return;
  }
  auto field = [&h](size_t offset) { return DecodeFixed32(&h[offset]); };
  const uint32_t subfield_len = field(jam::kMhSubfieldLen);
  std::cout << "  Signature " << std::string(h.begin(), h.begin() + 3)
            << "  Revision " << DecodeFixed16(&h[jam::kMhRevision])
            << "  MessageNumber " << field(jam::kMhMessageNumber)
            << "  Attribute " << Hex32(field(jam::kMhAttribute)) << "\n"
            << "  DateWritten   " << TimeText(field(jam::kMhDateWritten)) << "\n"
            << "  DateProcessed " << TimeText(field(jam::kMhDateProcessed)) << "\n"
            << "  TxtOffset " << field(jam::kMhTxtOffset) << "  TxtLen "
            << field(jam::kMhTxtLen) << "  SubfieldLen " << subfield_len << "\n";
  std::vector<uint8_t> area;
  if (subfield_len > jam::kSubfieldAreaSize ||
      !ReadRange(hdr, uint64_t{index.HdrOffset} + jam::kFixedHeaderSize,
                 subfield_len, &area)) {
    std::cout << "  (subfields lie outside the header file)\n";
  } else {
    DumpSubfields(area);
  }
  DumpText(text, field(jam::kMhTxtOffset), field(jam::kMhTxtLen));
}

}  // namespace

int RunDump(CommandArgs args) {
  if (args.size() != 1 || args[0].empty()) {
    std::cerr << "usage: draybase dump BASE   (the base path without extension)\n";
    return kExitUsage;
  }
  const std::string& base = args[0];
  OpenedFile hdr, text, index;
  if (!OpenForDump(base + std::string(jam::kHeaderExt), &hdr) ||
      !OpenForDump(base + std::string(jam::kTextExt), &text) ||
      !OpenForDump(base + std::string(jam::kIndexExt), &index)) {
    return kExitFailed;
  }
  std::vector<uint8_t> header;
  if (!ReadRange(hdr, 0, jam::kBaseHeaderSize, &header)) {
    std::cerr << "draybase: " << base << ".jhr has no whole base header\n";
    return kExitFailed;
  }
  DumpBaseHeader(header);
  const uint32_t base_msg_num = DecodeFixed32(&header[jam::kBhBaseMsgNum]);
  const uint64_t records = index.size / jam::kIndexRecordSize;
  std::vector<uint8_t> raw;
  for (uint64_t first = 0; first < records; first += kIndexChunk) {
    const uint64_t n = std::min<uint64_t>(kIndexChunk, records - first);
    if (!ReadRange(index, first * jam::kIndexRecordSize,
                   n * jam::kIndexRecordSize, &raw)) {
      std::cerr << "draybase: cannot read " << base << ".jdx\n";
      return kExitFailed;
    }
    for (uint64_t i = 0; i < n; ++i) {
      DumpMessage(hdr, text, base_msg_num + static_cast<uint32_t>(first + i),
                  jam::DecodeIndexRecord(&raw[i * jam::kIndexRecordSize]));
    }
  }
  return kExitOk;
}

}  // namespace draybase
