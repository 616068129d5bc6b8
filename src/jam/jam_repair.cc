#include "jam/jam_repair.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "drayline/check.h"
#include "jam/jam_format.h"
#include "jam/jam_subfields.h"
#include "support/change.h"
#include "support/coding.h"

namespace drayline::jam {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kSignature[] = {'J', 'A', 'M', 0};
constexpr uint32_t kAllBits = 0xFFFFFFFF;
// Records GetLastRead reads at a time: of a user's records, the last one
// in the first such chunk that has one is the one it answers from.
constexpr size_t kLastReadChunk = 100;

std::string Num(int64_t value) { return std::to_string(value); }

// A message header found in the header file.
struct Header {
  uint32_t offset = 0;
  int32_t said = 0;  // its MessageNumber
  bool deleted = false;
  uint32_t text = 0, text_length = 0;
  std::vector<int64_t> records;  // numbers of the index records pointing at it
  // Live, or deleted but still indexed: a deleted header that nothing
  // points at is what a deletion leaves, not a message.
  bool usable = false;
  int64_t number = -1;   // the number it is kept under; -1: it needs one
  bool indexed = false;  // number is that of a record pointing at it
  bool kept = false;
};

// True when a header starts at `at`: the signature, a fixed part inside
// the file and subfield records that fill SubfieldLen exactly.
bool HeaderAt(const Bytes& jhr, size_t at) {
  if (jhr.size() - at < kFixedHeaderSize ||
      !std::equal(kSignature, kSignature + sizeof kSignature, jhr.begin() + at)) {
    return false;
  }
  const uint32_t length = DecodeFixed32(&jhr[at + kMhSubfieldLen]);
  if (length > jhr.size() - at - kFixedHeaderSize) return false;
  size_t used = 0;
  ForEachSubfield(std::span(jhr).subspan(at + kFixedHeaderSize, length),
                  [&](const Subfield& sf) {
                    used += sf.record.size();
                    return true;
                  });
  return used == length;
}

// The checksum an index record keeps of the header's recipient.
uint32_t RecipientCrc(const Bytes& jhr, uint32_t at) {
  uint32_t crc = NameChecksum("");
  const uint32_t length = DecodeFixed32(&jhr[at + kMhSubfieldLen]);
  ForEachSubfield(std::span(jhr).subspan(at + kFixedHeaderSize, length),
                  [&](const Subfield& sf) {
                    if (sf.kind == kSfReceiverName) {
                      crc = NameChecksum(SubfieldText(sf.data, kToMax));
                    }
                    return true;
                  });
  return crc;
}

class JamRepair {
 public:
  JamRepair(Env* env, std::string_view path, const ChangeOptions& options,
            RepairReport* report)
      : env_(env), path_(path), options_(options), report_(*report) {}

  Status Run(const BeforeRepair& before);

 private:
  std::string Name(std::string_view ext) const { return path_ + std::string(ext); }
  Status OpenOthers();
  Status Load();
  void FindHeaders();
  void PointIndex();
  void AssignNumbers();
  void SettleNumbers();
  void SettleTexts();
  void GiveNewNumbers();
  Bytes NewIndex() const;
  Bytes NewBaseHeader() const;
  Bytes NewLastRead();
  Status Write(RepairWriter& writer);
  void Drop(Header& h, const std::string& why) {
    h.kept = false;
    report_.dropped.push_back("message " + Num(h.number >= 0 ? h.number : h.said) +
                              " (header at offset " + Num(h.offset) + "): " + why);
  }

  Env* env_;
  std::string path_;
  ChangeOptions options_;
  RepairReport& report_;
  std::unique_ptr<File> jhr_file_, jdt_file_, jdx_file_, jlr_file_;
  Bytes jhr_, jdx_, jlr_;
  uint64_t jdt_size_ = 0;
  int64_t base_ = 1;  // BaseMsgNum
  std::vector<Header> headers_;  // in file order
};

Status JamRepair::Run(const BeforeRepair& before) {
  const RepairJournal journal{path_ + std::string(kJournalSuffix), kBaseHeaderSize, options_};
  return RepairUnderLock(
      env_, Name(kHeaderExt), journal, &jhr_file_, before,
      [&](RepairWriter& writer) {
        if (Status s = OpenOthers(); !s.ok()) return s;
        writer.Name(jdt_file_, Name(kTextExt));
        writer.Name(jdx_file_, Name(kIndexExt));
        writer.Name(jlr_file_, Name(kLastReadExt));
        if (Status s = Load(); !s.ok()) return s;
        FindHeaders();
        PointIndex();
        AssignNumbers();
        SettleNumbers();
        SettleTexts();
        GiveNewNumbers();
        return Write(writer);
      },
      &report_.changed);
}

// The text and index files are made when missing (an empty text file
// drops every message with text; an empty index is rebuilt).
Status JamRepair::OpenOthers() {
  Status s = OpenForRepair(env_, Name(kTextExt), true, &jdt_file_);
  if (s.ok()) s = OpenForRepair(env_, Name(kIndexExt), true, &jdx_file_);
  return s.ok() ? OpenForRepair(env_, Name(kLastReadExt), false, &jlr_file_) : s;
}

Status JamRepair::Load() {
  Status s = ReadWholeFile(*jhr_file_, Name(kHeaderExt), kAllBits, &jhr_);
  if (s.ok()) s = ReadWholeFile(*jdx_file_, Name(kIndexExt), kAllBits, &jdx_);
  if (s.ok() && jlr_file_ != nullptr) {
    s = ReadWholeFile(*jlr_file_, Name(kLastReadExt), kAllBits, &jlr_);
  }
  if (s.ok()) s = Status::FromIo(jdt_file_->Size(&jdt_size_), "reading " + Name(kTextExt));
  if (s.ok() && jhr_.size() >= kBaseHeaderSize) {
    base_ = std::max(DecodeFixed32Signed(&jhr_[kBhBaseMsgNum]), 1);
  }
  return s;
}

void JamRepair::FindHeaders() {
  for (size_t at = kBaseHeaderSize; at + kFixedHeaderSize <= jhr_.size();) {
    if (!HeaderAt(jhr_, at)) {
      at = static_cast<size_t>(std::search(jhr_.begin() + static_cast<long>(at) + 1,
                                           jhr_.end(), kSignature,
                                           kSignature + sizeof kSignature) -
                               jhr_.begin());
      continue;
    }
    const uint8_t* fixed = &jhr_[at];
    Header h;
    h.offset = static_cast<uint32_t>(at);
    h.said = DecodeFixed32Signed(fixed + kMhMessageNumber);
    h.deleted = (DecodeFixed32(fixed + kMhAttribute) & kAttrDeleted) != 0;
    h.text = DecodeFixed32(fixed + kMhTxtOffset);
    h.text_length = DecodeFixed32(fixed + kMhTxtLen);
    headers_.push_back(std::move(h));
    at += kFixedHeaderSize + DecodeFixed32(fixed + kMhSubfieldLen);
  }
}

// Which index records point at which header found.
void JamRepair::PointIndex() {
  std::vector<std::pair<Header*, int64_t>> pointers;  // header, record
  std::map<int64_t, size_t> agreeing;  // BaseMsgNum -> headers it numbers right
  for (size_t i = 0; i + kIndexRecordSize <= jdx_.size(); i += kIndexRecordSize) {
    const uint32_t at = DecodeIndexRecord(&jdx_[i]).HdrOffset;
    const auto it = std::lower_bound(
        headers_.begin(), headers_.end(), at,
        [](const Header& h, uint32_t offset) { return h.offset < offset; });
    if (it == headers_.end() || it->offset != at) continue;
    const int64_t record = static_cast<int64_t>(i / kIndexRecordSize);
    pointers.emplace_back(&*it, record);
    ++agreeing[it->said - record];
  }
  // A BaseMsgNum gone wrong would renumber every message: the one under
  // which most headers carry the number of the record pointing at them
  // wins.
  size_t best = agreeing.count(base_) != 0 ? agreeing[base_] : 0;
  for (const auto& [base, count] : agreeing) {
    if (base >= 1 && count > best) {
      best = count;
      base_ = base;
    }
  }
  for (const auto& [header, record] : pointers) {
    if (base_ + record <= INT32_MAX) header->records.push_back(base_ + record);
  }
  for (Header& h : headers_) {
    h.usable = !h.deleted || !h.records.empty();
    h.kept = h.usable;
  }
}

// A header's number: the record pointing at it that agrees with its
// MessageNumber; else the first record pointing at it, unless another
// header carries that number; else its MessageNumber when it lies where
// the index could reach; else none yet (GiveNewNumbers).
void JamRepair::AssignNumbers() {
  std::vector<int64_t> said;
  for (const Header& h : headers_) {
    if (h.usable) said.push_back(h.said);
  }
  std::sort(said.begin(), said.end());
  const int64_t reach = base_ + static_cast<int64_t>(jdx_.size() / kIndexRecordSize) +
                        static_cast<int64_t>(headers_.size());
  for (Header& h : headers_) {
    if (!h.usable) continue;
    const auto& r = h.records;
    if (std::find(r.begin(), r.end(), int64_t{h.said}) != r.end()) {
      h.number = h.said;
      h.indexed = true;
    } else if (!r.empty() && !std::binary_search(said.begin(), said.end(), r[0])) {
      h.number = r[0];
      h.indexed = true;
    } else if (h.said >= base_ && h.said < reach) {
      h.number = h.said;
    }
    if (h.kept && uint64_t{h.text} + h.text_length > jdt_size_) {
      Drop(h, "the text (offset " + Num(h.text) + ", length " + Num(h.text_length) +
                  ") runs past the end of the text file");
    }
  }
}

// Of the headers with one number, the one the index points at wins, else
// the one furthest into the file.
void JamRepair::SettleNumbers() {
  std::vector<Header*> order;
  for (Header& h : headers_) {
    if (h.kept && h.number >= 0) order.push_back(&h);
  }
  std::sort(order.begin(), order.end(), [](const Header* a, const Header* b) {
    if (a->number != b->number) return a->number < b->number;
    if (a->indexed != b->indexed) return a->indexed;
    return a->offset > b->offset;
  });
  for (size_t i = 1, winner = 0; i < order.size(); ++i) {
    if (order[i]->number != order[winner]->number) {
      winner = i;
      continue;
    }
    Drop(*order[i], "the header at offset " + Num(order[winner]->offset) +
                        " is kept for this number");
  }
}

// Whether a text range meets the texts around it: its start where another
// text ends (or at 0), its end where another starts (or at the file's
// end). Of two overlapping texts, the one that meets its neighbours less
// is the damaged one, the end counting more (a length gone wrong moves
// only the end).
class TextFit {
 public:
  TextFit(const std::vector<Header>& headers, uint64_t file_size) : size_(file_size) {
    for (const Header& h : headers) {
      if (h.text_length == 0) continue;
      starts_.push_back(h.text);
      ends_.push_back(uint64_t{h.text} + h.text_length);
    }
    std::sort(starts_.begin(), starts_.end());
    std::sort(ends_.begin(), ends_.end());
  }
  int Score(const Header& h) const {
    const uint64_t end = uint64_t{h.text} + h.text_length;
    const bool start_meets =
        h.text == 0 || std::binary_search(ends_.begin(), ends_.end(), h.text);
    const bool end_meets =
        end == size_ || std::binary_search(starts_.begin(), starts_.end(), end);
    return (end_meets ? 2 : 0) + (start_meets ? 1 : 0);
  }

 private:
  uint64_t size_;
  std::vector<uint64_t> starts_, ends_;
};

// Sorted by text offset, a text that starts before the end of the text
// reaching furthest so far overlaps it: one of the two is dropped.
void JamRepair::SettleTexts() {
  const TextFit fit(headers_, jdt_size_);
  std::vector<Header*> order;
  for (Header& h : headers_) {
    if (h.kept && h.text_length > 0) order.push_back(&h);
  }
  std::sort(order.begin(), order.end(), [](const Header* a, const Header* b) {
    return a->text != b->text ? a->text < b->text : a->offset < b->offset;
  });
  Header* reach = nullptr;  // the kept text that reaches furthest
  for (Header* h : order) {
    if (reach == nullptr || h->text >= uint64_t{reach->text} + reach->text_length) {
      reach = h;
      continue;
    }
    const bool drop_reach = fit.Score(*reach) < fit.Score(*h);
    Header& loser = drop_reach ? *reach : *h;
    const Header& other = drop_reach ? *h : *reach;
    Drop(loser, "the text (offset " + Num(loser.text) + ", length " +
                    Num(loser.text_length) + ") overlaps the text of the header at offset " +
                    Num(other.offset));
    // The kept texts never overlap, so the one before reach ends before
    // h starts: h takes over when reach goes.
    if (drop_reach) reach = h;
  }
}

// Headers without a number get new ones past every number in use, in
// file order.
void JamRepair::GiveNewNumbers() {
  int64_t next = base_ + static_cast<int64_t>(jdx_.size() / kIndexRecordSize);
  for (const Header& h : headers_) {
    if (h.kept) next = std::max(next, h.number + 1);
  }
  for (Header& h : headers_) {
    if (!h.kept || h.number >= 0) continue;
    if (next > INT32_MAX) {
      Drop(h, "no message number is left for it");
      continue;
    }
    h.number = next++;
    report_.renumbered.push_back("message " + Num(h.number) + " (header at offset " +
                                 Num(h.offset) + "): its header says " + Num(h.said) +
                                 ", which no index record can hold");
  }
}

// Every number from BaseMsgNum to the last kept one (or as many records
// as the file had, so that no number is given twice); unused records have
// all bits set. A record that pointed at its header keeps its UserCRC.
Bytes JamRepair::NewIndex() const {
  uint64_t records = jdx_.size() / kIndexRecordSize;
  for (const Header& h : headers_) {
    if (h.kept) records = std::max<uint64_t>(records, static_cast<uint64_t>(h.number - base_ + 1));
  }
  Bytes index(static_cast<size_t>(records * kIndexRecordSize), 0xFF);
  for (const Header& h : headers_) {
    if (!h.kept) continue;
    const size_t at = static_cast<size_t>(h.number - base_) * kIndexRecordSize;
    IndexRecord record{RecipientCrc(jhr_, h.offset), h.offset};
    if (at + kIndexRecordSize <= jdx_.size() &&
        DecodeIndexRecord(&jdx_[at]).HdrOffset == h.offset) {
      record.UserCRC = DecodeIndexRecord(&jdx_[at]).UserCRC;
    }
    EncodeIndexRecord(record, &index[at]);
  }
  return index;
}

Bytes JamRepair::NewBaseHeader() const {
  Bytes header(kBaseHeaderSize, 0);
  std::copy_n(jhr_.begin(), std::min(jhr_.size(), header.size()), header.begin());
  std::copy(kSignature, kSignature + sizeof kSignature, header.begin());
  uint32_t live = 0;
  for (const Header& h : headers_) live += h.kept && !h.deleted;
  EncodeFixed32(&header[kBhActiveMsgs], live);
  EncodeFixed32(&header[kBhModCounter], DecodeFixed32(&header[kBhModCounter]) + 1);
  EncodeFixed32Signed(&header[kBhBaseMsgNum], static_cast<int32_t>(base_));
  return header;
}

// Whole records only; of a user's records the one GetLastRead answers
// from stays, in its place among the others.
Bytes JamRepair::NewLastRead() {
  const size_t records = jlr_.size() / kLastReadRecordSize;
  if (jlr_.size() % kLastReadRecordSize != 0) {
    report_.fixed.push_back("a partial last-read record at offset " +
                            Num(records * kLastReadRecordSize) + " is cut off");
  }
  std::unordered_map<uint32_t, std::pair<size_t, size_t>> chosen;  // chunk, record
  std::unordered_map<uint32_t, size_t> count;
  for (size_t i = 0; i < records; ++i) {
    const uint32_t user = DecodeLastReadRecord(&jlr_[i * kLastReadRecordSize]).UserID;
    ++count[user];
    auto [it, fresh] = chosen.try_emplace(user, i / kLastReadChunk, i);
    if (!fresh && it->second.first == i / kLastReadChunk) it->second.second = i;
  }
  Bytes out;
  for (size_t i = 0; i < records; ++i) {
    const uint8_t* record = &jlr_[i * kLastReadRecordSize];
    const uint32_t user = DecodeLastReadRecord(record).UserID;
    if (chosen[user].second != i) continue;
    out.insert(out.end(), record, record + kLastReadRecordSize);
    if (count[user] > 1) {
      report_.fixed.push_back("user " + Num(user) + ": " + Num(count[user]) +
                              " last-read records; the one at offset " +
                              Num(i * kLastReadRecordSize) + " stays");
    }
  }
  return out;
}

Status JamRepair::Write(RepairWriter& writer) {
  const Bytes header = NewBaseHeader();
  const size_t have = std::min(jhr_.size(), header.size());
  Status s = writer.Put(*jhr_file_, 0, header, std::span(jhr_).first(have));
  for (const Header& h : headers_) {
    if (!s.ok() || !h.kept) continue;
    report_.kept.push_back("message " + Num(h.number) + " (header at offset " +
                           Num(h.offset) + ")");
    if (h.number == h.said) continue;
    if (h.indexed) {
      report_.fixed.push_back("message " + Num(h.number) + " (header at offset " +
                              Num(h.offset) + "): its header said " + Num(h.said));
    }
    uint8_t number[4];
    EncodeFixed32Signed(number, static_cast<int32_t>(h.number));
    s = writer.Put(*jhr_file_, h.offset + kMhMessageNumber, number,
                   std::span(jhr_).subspan(h.offset + kMhMessageNumber, 4));
  }
  if (s.ok()) s = writer.Replace(*jdx_file_, NewIndex(), jdx_);
  if (s.ok() && jlr_file_ != nullptr) s = writer.Replace(*jlr_file_, NewLastRead(), jlr_);
  return s;
}

}  // namespace

Status RepairJam(Env* env, std::string_view path, const ChangeOptions& options,
                 const BeforeRepair& before, RepairReport* report) {
  return JamRepair(env, path, options, report).Run(before);
}

}  // namespace drayline::jam
