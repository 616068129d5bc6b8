// Large message bases for the benchmarks, written once and reused.
//
// A JAM base is written straight into its four files in large blocks
// (the format codecs encode each record); a Squish base of a few thousand
// messages is posted through the library in one process. The messages look
// like a busy echo's: names, subjects and texts of varied lengths, the
// control subfields a mail processor keeps (MSGID, SEEN-BY, PATH), and one message
// in fifty from a sender whose name is not ASCII (CP437, with a CHRS
// control line), so that a listing meets both kinds.

#ifndef DRAYLINE_BENCH_BENCH_BASES_H_
#define DRAYLINE_BENCH_BENCH_BASES_H_

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/message_base.h"
#include "jam/jam_format.h"
#include "support/coding.h"
#include "support/env.h"

namespace drayline::bench {

// The fields of message n (1-based) of a benchmark base.
struct BenchMessage {
  std::string from, to, subject, text;
  bool foreign = false;  // a CP437 sender with a CHRS control line
};

inline BenchMessage MakeBenchMessage(uint32_t n) {
  static const char* const kFirst[] = {"Al", "Barbara", "Christopher", "Dan", "Evelyn",
                                       "Frank", "Gwendolyn", "Hal", "Ingrid", "Jo",
                                       "Maximilian", "Ned", "Olga", "Pat", "Rosalind", "Tom"};
  static const char* const kLast[] = {"Ng", "Smith", "Hargreaves", "Lee", "Oppenheimer",
                                      "Diaz", "Kowalczyk", "Fox", "Van der Berg", "Wu",
                                      "Abernathy", "Stone", "Petrovic", "Kim", "Castellano",
                                      "Bo"};
  static const char* const kTopics[] = {
      "Hello", "Modem settings for a 33.6 line", "Mailer crashes on ZMODEM resume",
      "Echo rules", "Looking for an old door game that ran on a 286 with EMS",
      "Nodelist", "Weekend", "Question about the areafix commands and passwords",
      "FidoNet history", "Test"};
  const uint32_t h = n * 2654435761u;  // a spread of n
  BenchMessage m;
  m.foreign = n % 50 == 7;
  m.from = m.foreign ? std::string("J\x81rgen M\x81ller-") + kLast[h % 16]
                     : std::string(kFirst[h % 16]) + " " + kLast[(h >> 4) % 16];
  m.to = (h >> 8) % 5 < 2 ? "All" : std::string(kFirst[(h >> 12) % 16]) + " " + kLast[n % 16];
  m.subject = ((h >> 16) % 3 == 0 ? "Re: " : "") + std::string(kTopics[(h >> 20) % 10]);
  static const std::string kLine =
      "The quick brown fox jumps over the lazy dog, and the sysop reads it again. ";
  const size_t length = 60 + (h >> 7) % 900;  // about 500 bytes on average
  if (m.foreign) m.text = "\x01" "CHRS: CP437 2\r";
  while (m.text.size() < length) m.text += kLine.substr(0, 60 + m.text.size() % 15) + "\r";
  return m;
}

// Writes a JAM base of n messages at path (without extension), in blocks
// of a few thousand messages. False when a file cannot be written.
inline bool WriteJamBenchBase(Env* env, const std::string& path, uint32_t n) {
  using Bytes = std::vector<uint8_t>;
  std::unique_ptr<File> jhr, jdt, jdx, jlr;
  for (auto [ext, file] : {std::pair{jam::kHeaderExt, &jhr}, std::pair{jam::kTextExt, &jdt},
                           std::pair{jam::kIndexExt, &jdx}, std::pair{jam::kLastReadExt, &jlr}}) {
    if (env->Open(path + std::string(ext), OpenMode::kOpenOrCreate, file) != io::kOk ||
        (*file)->Truncate(0) != io::kOk) {
      return false;
    }
  }
  auto put = [](Bytes& out, const void* data, size_t size) {
    out.insert(out.end(), static_cast<const uint8_t*>(data),
               static_cast<const uint8_t*>(data) + size);
  };
  auto subfield = [&put](Bytes& out, uint16_t kind, std::string_view data) {
    uint8_t head[jam::kSubfieldHeaderSize] = {};
    EncodeFixed16(head, kind);
    EncodeFixed32(head + 4, static_cast<uint32_t>(data.size()));
    put(out, head, sizeof head);
    put(out, data.data(), data.size());
  };
  Bytes headers(jam::kBaseHeaderSize, 0), texts, index;
  std::memcpy(headers.data(), "JAM", 4);
  EncodeFixed32(headers.data() + jam::kBhActiveMsgs, n);
  EncodeFixed32(headers.data() + jam::kBhModCounter, n);
  EncodeFixed32(headers.data() + jam::kBhPasswordCrc, jam::kNoCrc);
  EncodeFixed32(headers.data() + jam::kBhBaseMsgNum, 1);
  uint64_t header_at = 0, text_at = 0, index_at = 0;
  auto flush = [&](std::unique_ptr<File>& file, Bytes& bytes, uint64_t* at) {
    const bool ok = bytes.empty() || file->Write(*at, bytes) == io::kOk;
    *at += bytes.size();
    bytes.clear();
    return ok;
  };
  for (uint32_t i = 1; i <= n; ++i) {
    const BenchMessage m = MakeBenchMessage(i);
    Bytes sub;
    subfield(sub, jam::kSfOrigAddr, "2:240/" + std::to_string(1000 + i % 500));
    subfield(sub, jam::kSfSenderName, m.from);
    subfield(sub, jam::kSfReceiverName, m.to);
    subfield(sub, jam::kSfSubject, m.subject);
    subfield(sub, 4, "2:240/" + std::to_string(1000 + i % 500) + " " + std::to_string(i * 7919u));
    if (m.foreign) subfield(sub, 2000, "CHRS: CP437 2");
    subfield(sub, 2001, "240/1000 1001 1002 1003 1004 1005 1010 1020 1030 1040 1050 1060");
    subfield(sub, 2002, "240/" + std::to_string(1000 + i % 500) + " 1000");
    uint8_t fixed[jam::kFixedHeaderSize] = {};
    std::memcpy(fixed, "JAM", 4);
    EncodeFixed16(fixed + jam::kMhRevision, 1);
    EncodeFixed32(fixed + jam::kMhSubfieldLen, static_cast<uint32_t>(sub.size()));
    EncodeFixed32(fixed + jam::kMhMsgIdCrc, jam::kNoCrc);
    EncodeFixed32(fixed + jam::kMhReplyCrc, jam::kNoCrc);
    EncodeFixed32(fixed + jam::kMhDateWritten, 1700000000 + i * 97);
    EncodeFixed32(fixed + jam::kMhDateProcessed, 1700000600 + i * 97);
    EncodeFixed32(fixed + jam::kMhMessageNumber, i);
    EncodeFixed32(fixed + jam::kMhAttribute, jam::kAttrTypeEcho |
                                                 (i % 7 == 0 ? jam::kAttrLocal : 0) |
                                                 (i % 11 == 0 ? jam::kAttrSent : 0));
    EncodeFixed32(fixed + jam::kMhTxtOffset, static_cast<uint32_t>(text_at + texts.size()));
    EncodeFixed32(fixed + jam::kMhTxtLen, static_cast<uint32_t>(m.text.size()));
    EncodeFixed32(fixed + jam::kMhPasswordCrc, jam::kNoCrc);
    uint8_t record[jam::kIndexRecordSize];
    jam::EncodeIndexRecord(
        {jam::NameChecksum(m.to), static_cast<uint32_t>(header_at + headers.size())}, record);
    put(index, record, sizeof record);
    put(headers, fixed, sizeof fixed);
    put(headers, sub.data(), sub.size());
    put(texts, m.text.data(), m.text.size());
    if (i % 4096 == 0 || i == n) {
      if (!flush(jhr, headers, &header_at) || !flush(jdt, texts, &text_at) ||
          !flush(jdx, index, &index_at)) {
        return false;
      }
    }
  }
  return n > 0 || flush(jhr, headers, &header_at);
}

// Posts n messages into a new Squish base at path. False on failure.
inline bool WriteSquishBenchBase(const std::string& path, uint32_t n) {
  auto base = NewSquishMessageBase();
  if (base == nullptr) return false;
  base->SetPath(path);
  if (!base->CreateBase(0, 0) || !base->OpenBase() || !base->LockBase()) return false;
  for (uint32_t i = 1; i <= n; ++i) {
    const BenchMessage m = MakeBenchMessage(i);
    base->StartNewMessage();
    base->SetLocal(i % 7 == 0);
    base->SetDate("03/14/24");
    base->SetTime("12:34");
    base->SetFrom(m.from);
    base->SetTo(m.to);
    base->SetSubject(m.subject);
    for (char c : m.text) base->AddChar(static_cast<uint8_t>(c));
    if (base->WriteMessage() != 0) return false;
  }
  return base->UnlockBase();
}

}  // namespace drayline::bench

#endif  // DRAYLINE_BENCH_BENCH_BASES_H_
