#include "jam/jam_check.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "jam/jam_format.h"
#include "support/coding.h"
#include "support/file_access.h"
#include "support/read_window.h"

namespace drayline::jam {
namespace {

// The index is read this much at a time (a multiple of the record size,
// so no record straddles two reads), and headers through a window of the
// same size: large enough that a check costs few system calls, small
// enough to stay out of the memory budget.
constexpr size_t kIndexChunk = size_t{1} << 20;
constexpr size_t kHeaderWindow = size_t{1} << 20;
static_assert(kIndexChunk % kIndexRecordSize == 0);
constexpr uint32_t kAllBits = 0xFFFFFFFF;
constexpr uint64_t kAbsent = kAbsentFile;
// The signature of the base header and of every message header.
constexpr uint8_t kSignature[] = {'J', 'A', 'M', 0};

std::string Hex(uint32_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[i] = kDigits[value & 15];
  return text;
}

std::string BaseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The read-ahead window: kHeaderWindow, or less for a smaller file.
size_t WindowFor(uint64_t file_size) {
  return static_cast<size_t>(
      std::min<uint64_t>(kHeaderWindow, std::max<uint64_t>(file_size, 1)));
}

// An index record in use: where its header is and, once the header has
// been read, where its text is (text_length 0 when it has none to check).
struct Entry {
  uint32_t header;
  uint32_t record;
  uint32_t text = 0;
  uint32_t text_length = 0;
};
static_assert(sizeof(Entry) == 16);

// One scan of a base: the rules in the order the files are read.
class BaseScan {
 public:
  BaseScan(JamChecker::Files& files, const ProblemSink& sink, CheckReport& report)
      : files_(files),
        sink_(sink),
        report_(report),
        jhr_size_(SizeOrAbsent(files.jhr.get())),
        jdt_size_(SizeOrAbsent(files.jdt.get())),
        window_(WindowFor(jhr_size_), kHeaderWindow) {}

  // Sets report.messages to the live messages.
  Status Run();

 private:
  void Add(const std::string& file, int64_t offset, int64_t message, std::string text,
           std::span<const uint8_t> seen = {}) {
    sink_(Problem{file, offset, message, std::move(text)}, seen);
  }
  int64_t Number(uint64_t record) const {
    return int64_t{base_msg_num_} + static_cast<int64_t>(record);
  }
  bool CheckBaseHeader(std::span<const uint8_t> header);
  Status ScanIndex();
  void CheckIndexRecord(uint64_t record, const uint8_t* bytes);
  Status ScanHeaders();
  Status CheckHeader(Entry& entry);
  Status WalkSubfields(const Entry& entry, uint64_t begin, uint64_t end);
  void CheckTextRange(Entry& entry, std::span<const uint8_t> fixed);
  void CheckTexts();
  Status ScanLastRead();

  JamChecker::Files& files_;
  const ProblemSink& sink_;
  CheckReport& report_;
  const uint64_t jhr_size_, jdt_size_;
  ReadWindow window_;
  int32_t base_msg_num_ = 1;
  uint32_t active_msgs_ = 0;
  std::vector<Entry> entries_;
  uint64_t headers_end_ = 0;    // furthest end of the headers read so far
  uint32_t headers_owner_ = 0;  // the record whose header reaches it
  int64_t live_ = 0;
};

Status BaseScan::Run() {
  uint8_t header[kBaseHeaderSize];
  const size_t have = static_cast<size_t>(std::min<uint64_t>(jhr_size_, sizeof header));
  if (IoResult r = ReadExact(*files_.jhr, 0, std::span(header, have)); r != io::kOk) {
    return Status::FromIo(r, "reading " + files_.jhr_name);
  }
  if (!CheckBaseHeader(std::span(header, have))) return Status::Ok();
  Status s = ScanIndex();
  if (s.ok()) s = ScanHeaders();
  if (!s.ok()) return s;
  CheckTexts();
  if (files_.jdx != nullptr && int64_t{active_msgs_} != live_) {
    Add(files_.jhr_name, kBhActiveMsgs, -1,
        "ActiveMsgs is " + std::to_string(active_msgs_) + " but " +
            std::to_string(live_) + " messages are live");
  }
  report_.messages = live_;
  return ScanLastRead();
}

// False when the header is too short for anything else to be checked.
bool BaseScan::CheckBaseHeader(std::span<const uint8_t> header) {
  const std::string& jhr = files_.jhr_name;
  if (header.size() < kBaseHeaderSize) {
    Add(jhr, 0, -1,
        "shorter than the " + std::to_string(kBaseHeaderSize) + "-byte base header (" +
            std::to_string(header.size()) + " bytes)");
    return false;
  }
  if (!std::equal(kSignature, kSignature + sizeof kSignature, header.begin())) {
    Add(jhr, kBhSignature, -1, "the base header does not carry the signature JAM");
  }
  active_msgs_ = DecodeFixed32(header.data() + kBhActiveMsgs);
  base_msg_num_ = DecodeFixed32Signed(header.data() + kBhBaseMsgNum);
  if (base_msg_num_ < 1) {
    Add(jhr, kBhBaseMsgNum, -1,
        "BaseMsgNum " + std::to_string(base_msg_num_) + " is not a message number");
  }
  return true;
}

Status BaseScan::ScanIndex() {
  const std::string& jdx = files_.jdx_name;
  if (files_.jdx == nullptr) {
    Add(jdx, -1, -1, "the index file is missing");
    return Status::Ok();
  }
  const uint64_t size = SizeOrAbsent(files_.jdx.get());
  const uint64_t records = size / kIndexRecordSize;
  if (const uint64_t rest = size % kIndexRecordSize; rest != 0 && size != kAbsent) {
    Add(jdx, static_cast<int64_t>(size - rest), Number(records),
        "a partial index record (" + std::to_string(rest) +
            " bytes) at the end of the file");
  }
  if (records > 0 && Number(records - 1) > INT32_MAX) {
    Add(files_.jhr_name, kBhBaseMsgNum, -1,
        "BaseMsgNum " + std::to_string(base_msg_num_) + " and " +
            std::to_string(records) + " index records number messages past 2147483647");
  }
  // In a sound base every record in use has a header of its own.
  entries_.reserve(
      static_cast<size_t>(std::min<uint64_t>(records, jhr_size_ / kFixedHeaderSize)));
  std::vector<uint8_t> chunk(
      static_cast<size_t>(std::min<uint64_t>(kIndexChunk, records * kIndexRecordSize)));
  for (uint64_t at = 0; at < records * kIndexRecordSize; at += chunk.size()) {
    const size_t n = static_cast<size_t>(
        std::min<uint64_t>(chunk.size(), records * kIndexRecordSize - at));
    if (IoResult r = ReadExact(*files_.jdx, at, std::span(chunk.data(), n));
        r != io::kOk) {
      return Status::FromIo(r, "reading " + jdx);
    }
    for (size_t i = 0; i < n; i += kIndexRecordSize) {
      CheckIndexRecord((at + i) / kIndexRecordSize, chunk.data() + i);
    }
  }
  return Status::Ok();
}

void BaseScan::CheckIndexRecord(uint64_t record, const uint8_t* bytes) {
  const IndexRecord r = DecodeIndexRecord(bytes);
  if (r.HdrOffset == kAllBits && r.UserCRC == kAllBits) return;  // unused
  if (r.HdrOffset != kAllBits && r.HdrOffset >= kBaseHeaderSize &&
      uint64_t{r.HdrOffset} + kFixedHeaderSize <= jhr_size_) {
    entries_.push_back({r.HdrOffset, static_cast<uint32_t>(record)});
    return;
  }
  std::string text;
  if (r.HdrOffset == kAllBits) {
    text = "an unused record (HdrOffset FFFFFFFF) with UserCRC " + Hex(r.UserCRC);
  } else if (r.HdrOffset < kBaseHeaderSize) {
    text = "points into the base header";
  } else if (r.HdrOffset < jhr_size_) {
    text = "points at a header cut short by the end of the header file";
  } else {
    text = "points past the end of the header file";
  }
  if (r.HdrOffset != kAllBits) text += " (HdrOffset " + std::to_string(r.HdrOffset) + ")";
  Add(files_.jdx_name, static_cast<int64_t>(record * kIndexRecordSize), Number(record),
      std::move(text), std::span(bytes, kIndexRecordSize));
}

Status BaseScan::ScanHeaders() {
  const auto by_header = [](const Entry& a, const Entry& b) {
    return a.header != b.header ? a.header < b.header : a.record < b.record;
  };
  if (!std::is_sorted(entries_.begin(), entries_.end(), by_header)) {
    std::sort(entries_.begin(), entries_.end(), by_header);
  }
  for (size_t i = 0; i < entries_.size(); ++i) {
    Entry& entry = entries_[i];
    if (i > 0 && entries_[i - 1].header == entry.header) {
      Add(files_.jdx_name,
          static_cast<int64_t>(uint64_t{entry.record} * kIndexRecordSize),
          Number(entry.record),
          "points at the header of message " +
              std::to_string(Number(entries_[i - 1].record)) + " too (HdrOffset " +
              std::to_string(entry.header) + ")");
      continue;
    }
    if (Status s = CheckHeader(entry); !s.ok()) return s;
  }
  return Status::Ok();
}

// The fixed part, the subfields and the number of one header, then its
// text range; counts the message when it is live.
Status BaseScan::CheckHeader(Entry& entry) {
  uint8_t fixed[kFixedHeaderSize];
  size_t done = 0;
  IoResult r = window_.Read(*files_.jhr, entry.header, fixed, &done);
  if (r == io::kOk && done != sizeof fixed) r = io::kReadPastEnd;
  if (r != io::kOk) return Status::FromIo(r, "reading " + files_.jhr_name);
  const std::string& jhr = files_.jhr_name;
  const int64_t number = Number(entry.record);
  if (!std::equal(kSignature, kSignature + sizeof kSignature, fixed)) {
    Add(jhr, entry.header, number, "no message header here (no signature JAM)", fixed);
    return Status::Ok();
  }
  const uint64_t begin = uint64_t{entry.header} + kFixedHeaderSize;
  const uint64_t end = begin + DecodeFixed32(fixed + kMhSubfieldLen);
  if (entry.header < headers_end_) {
    Add(jhr, entry.header, number,
        "the header overlaps the header of message " +
            std::to_string(Number(headers_owner_)),
        fixed);
  } else if (end > jhr_size_) {
    Add(jhr, entry.header, number, "the subfields run past the end of the header file",
        fixed);
  } else if (Status s = WalkSubfields(entry, begin, end); !s.ok()) {
    return s;
  }
  if (headers_end_ < end) {
    headers_end_ = std::min(end, jhr_size_);
    headers_owner_ = entry.record;
  }
  if (const int32_t said = DecodeFixed32Signed(fixed + kMhMessageNumber);
      said != number) {
    Add(jhr, entry.header, number,
        "the header says it is message " + std::to_string(said), fixed);
  }
  CheckTextRange(entry, fixed);
  if ((DecodeFixed32(fixed + kMhAttribute) & kAttrDeleted) == 0) ++live_;
  return Status::Ok();
}

// Keeps the text range for the overlap check when it lies inside the
// text file.
void BaseScan::CheckTextRange(Entry& entry, std::span<const uint8_t> fixed) {
  entry.text = DecodeFixed32(fixed.data() + kMhTxtOffset);
  entry.text_length = DecodeFixed32(fixed.data() + kMhTxtLen);
  if (files_.jdt == nullptr || uint64_t{entry.text} + entry.text_length <= jdt_size_) {
    return;
  }
  Add(files_.jhr_name, entry.header, Number(entry.record),
      "the text (offset " + std::to_string(entry.text) + ", length " +
          std::to_string(entry.text_length) + ") runs past the end of the text file",
      fixed);
  entry.text_length = 0;
}

// Every subfield record lies whole inside [begin, end).
Status BaseScan::WalkSubfields(const Entry& entry, uint64_t begin, uint64_t end) {
  // Subfields the window holds whole (most headers) are walked where they
  // lie; the others are read record by record.
  const std::span<const uint8_t> held = window_.Take(begin, static_cast<size_t>(end - begin));
  for (uint64_t at = begin; at < end;) {
    uint8_t copy[kSubfieldHeaderSize];
    const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof copy, end - at));
    const uint8_t* record = copy;
    if (!held.empty()) {
      record = held.data() + (at - begin);
    } else {
      size_t done = 0;
      IoResult r = window_.Read(*files_.jhr, at, std::span(copy, want), &done);
      if (r == io::kOk && done != want) r = io::kReadPastEnd;
      if (r != io::kOk) return Status::FromIo(r, "reading " + files_.jhr_name);
    }
    const std::span<const uint8_t> seen(record, want);
    if (want < kSubfieldHeaderSize) {
      Add(files_.jhr_name, static_cast<int64_t>(at), Number(entry.record),
          "a subfield record cut short by the end of its header", seen);
      break;
    }
    const uint32_t length = DecodeFixed32(record + 4);
    if (length > end - at - kSubfieldHeaderSize) {
      Add(files_.jhr_name, static_cast<int64_t>(at), Number(entry.record),
          "a subfield (DatLen " + std::to_string(length) +
              ") runs past the end of its header",
          seen);
      break;
    }
    at += kSubfieldHeaderSize + length;
  }
  return Status::Ok();
}

// Sorted by text offset, a text that starts before the furthest end seen
// so far overlaps the text that reaches there.
void BaseScan::CheckTexts() {
  const auto by_text = [](const Entry& a, const Entry& b) {
    if ((a.text_length == 0) != (b.text_length == 0)) return b.text_length == 0;
    return a.text != b.text ? a.text < b.text : a.record < b.record;
  };
  if (!std::is_sorted(entries_.begin(), entries_.end(), by_text)) {
    std::sort(entries_.begin(), entries_.end(), by_text);
  }
  uint64_t reach = 0;
  uint32_t owner = 0;
  for (const Entry& entry : entries_) {
    if (entry.text_length == 0) break;
    if (entry.text < reach) {
      Add(files_.jdt_name, entry.text, Number(entry.record),
          "the text (length " + std::to_string(entry.text_length) +
              ") overlaps the text of message " + std::to_string(Number(owner)));
    }
    if (uint64_t{entry.text} + entry.text_length > reach) {
      reach = uint64_t{entry.text} + entry.text_length;
      owner = entry.record;
    }
  }
  std::vector<Entry>().swap(entries_);
}

// A whole number of records; a user with several records is only noted.
Status BaseScan::ScanLastRead() {
  if (files_.jlr == nullptr) return Status::Ok();
  const uint64_t size = SizeOrAbsent(files_.jlr.get());
  const uint64_t records = size / kLastReadRecordSize;
  if (const uint64_t rest = size % kLastReadRecordSize; rest != 0 && size != kAbsent) {
    Add(files_.jlr_name, static_cast<int64_t>(size - rest), -1,
        "a partial last-read record (" + std::to_string(rest) +
            " bytes) at the end of the file");
  }
  std::vector<uint32_t> users;
  std::vector<uint8_t> chunk(static_cast<size_t>(
      std::min<uint64_t>(kIndexChunk, records * kLastReadRecordSize)));
  for (uint64_t at = 0; at < records * kLastReadRecordSize; at += chunk.size()) {
    const size_t n = static_cast<size_t>(
        std::min<uint64_t>(chunk.size(), records * kLastReadRecordSize - at));
    if (IoResult r = ReadExact(*files_.jlr, at, std::span(chunk.data(), n));
        r != io::kOk) {
      return Status::FromIo(r, "reading " + files_.jlr_name);
    }
    for (size_t i = 0; i < n; i += kLastReadRecordSize) {
      users.push_back(DecodeLastReadRecord(chunk.data() + i).UserID);
    }
  }
  std::sort(users.begin(), users.end());
  for (size_t i = 0; i < users.size();) {
    size_t j = i;
    while (j < users.size() && users[j] == users[i]) ++j;
    if (j - i > 1) {
      report_.notes.push_back("user " + std::to_string(users[i]) + " has " +
                              std::to_string(j - i) + " last-read records in " +
                              files_.jlr_name);
    }
    i = j;
  }
  return Status::Ok();
}

}  // namespace

Status JamChecker::Open(Env* env, std::string_view path,
                        std::unique_ptr<JamChecker>* out) {
  const std::string full(path);
  const std::string shown = BaseName(path);
  Files files;
  files.jhr_name = shown + std::string(kHeaderExt);
  files.jdt_name = shown + std::string(kTextExt);
  files.jdx_name = shown + std::string(kIndexExt);
  files.jlr_name = shown + std::string(kLastReadExt);
  files.journal_path = full + std::string(kJournalSuffix);
  bool lockable = true;
  if (Status s = OpenLockFile(env, full + std::string(kHeaderExt), files.jhr_name,
                              &files.jhr, &lockable);
      !s.ok()) {
    return s;
  }
  Status s = OpenIfPresent(env, full + std::string(kTextExt), files.jdt_name, &files.jdt);
  if (s.ok())
    s = OpenIfPresent(env, full + std::string(kIndexExt), files.jdx_name, &files.jdx);
  if (s.ok()) {
    s = OpenIfPresent(env, full + std::string(kLastReadExt), files.jlr_name, &files.jlr);
  }
  if (!s.ok()) return s;
  out->reset(new JamChecker(env, std::move(files), lockable));
  return Status::Ok();
}

Status JamChecker::Scan(const ProblemSink& sink, CheckReport* report) {
  if (env_->Exists(files_.journal_path)) {
    sink({BaseName(files_.journal_path), -1, -1,
          "a change was interrupted; run draybase repair"},
         {});
  }
  if (files_.jdt == nullptr)
    sink({files_.jdt_name, -1, -1, "the text file is missing"}, {});
  return BaseScan(files_, sink, *report).Run();
}

Status JamChecker::Fingerprint(std::vector<uint8_t>* out) {
  return FingerprintFiles(env_, NamedFiles(), files_.journal_path, *files_.jhr, files_.jhr_name,
                          kBaseHeaderSize, out);
}

Status JamChecker::ReadAt(std::string_view file, uint64_t offset,
                          std::span<uint8_t> out) {
  return ReadNamedFile(NamedFiles(), file, offset, out);
}

}  // namespace drayline::jam
