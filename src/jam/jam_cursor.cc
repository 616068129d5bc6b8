#include "jam/jam_cursor.h"

#include <algorithm>
#include <climits>
#include <string>

#include "jam/jam_subfields.h"
#include "support/strings.h"

namespace drayline::jam {

namespace {

// The highest message number the cursor can stand on: one past it must
// still fit in the 32-bit cursor.
constexpr int64_t kHighestNumber = INT32_MAX - 1;
// As long as a stored recipient: a longer name was cut to this when it was
// stored, and its checksum made from the cut name.
constexpr size_t kSearchNameMax = kToMax;

int32_t ToCursor(int64_t n) {
  return static_cast<int32_t>(std::clamp<int64_t>(n, INT32_MIN, INT32_MAX));
}

// a == b with a-z and A-Z taken as the same.
bool SameIgnoringCase(std::string_view a, std::string_view b) {
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [&](char x, char y) { return upper(x) == upper(y); });
}

}  // namespace

int64_t JamCursor::CursorBase() const {
  return std::max<int64_t>(files_.BaseMsgNum(), int64_t{INT32_MIN} + 1);
}

bool JamCursor::IndexPresent(int64_t record, IoResult* code) {
  *code = io::kOk;
  if (record < 0 || record > INT32_MAX || CursorBase() + record > kHighestNumber) {
    return false;
  }
  return index_.Present(files_.index_file(), record, code);
}

Status JamCursor::IndexStatus(IoResult code) const {
  return Status::FromIo(code, "reading " + files_.FileName(kIndexExt));
}

void JamCursor::NoteIndexResult(IoResult code) {
  // Every step of a walk comes here: success after success costs nothing.
  if (code != io::kOk) {
    last_status_ = IndexStatus(code);
  } else if (!last_status_.ok()) {
    last_status_ = Status();
  }
}

int32_t JamCursor::HighMsgNum() const {
  const int64_t count = JamIndex::RecordCount(files_.index_file());
  return ToCursor(std::min(CursorBase() + count - 1, kHighestNumber));
}

bool JamCursor::Found() const {
  // A record held in the window exists; only a cursor outside it asks the
  // file, so walking a base costs no call per message.
  const int64_t record = Record();
  if (record < 0 || CursorBase() + record > kHighestNumber) return false;
  return index_.Holds(record) || record < JamIndex::RecordCount(files_.index_file());
}

void JamCursor::SeekFirst(int32_t num) {
  // A new walk reads the index and the headers afresh: another program
  // may have moved them (a pack) since the last walk.
  reader_.Drop();
  index_.Drop();
  current_ = ToCursor(std::max<int64_t>(int64_t{num} - 1, CursorBase() - 1));
  SeekNext();
}

void JamCursor::SeekNext() {
  const int64_t base = CursorBase();
  int64_t cur = std::max<int64_t>(current_, base - 1);
  IoResult code = io::kOk;
  if (cur < base || IndexPresent(cur - base, &code)) ++cur;
  while (IndexPresent(cur - base, &code) && index_.At(cur - base).deleted()) ++cur;
  NoteIndexResult(code);
  current_ = ToCursor(cur);
}

void JamCursor::SeekPrior() {
  const int64_t base = CursorBase();
  int64_t cur = current_;
  if (cur >= base) --cur;
  IoResult code = io::kOk;
  while (cur >= base) {
    if (!IndexPresent(cur - base, &code)) {
      // Beyond the end of the index: continue from the last message.
      const int64_t high = base + JamIndex::RecordCount(files_.index_file()) - 1;
      if (code != io::kOk || cur <= high) break;
      cur = high;
      continue;
    }
    if (!index_.At(cur - base).deleted()) break;
    --cur;
  }
  NoteIndexResult(code);
  current_ = ToCursor(std::max(cur, base - 1));
}

Status JamCursor::Locate(IndexRecord* entry, int64_t* record) {
  *record = Record();
  IoResult code = io::kOk;
  if (IndexPresent(*record, &code)) {
    *entry = index_.At(*record);
    return Status::Ok();
  }
  if (code != io::kOk) return IndexStatus(code);
  return Status::NoSuchMessage("message " + std::to_string(current_) + " is not in the index");
}

bool JamCursor::NameMatches(std::string_view name) const {
  return (!search_name_.empty() && SameIgnoringCase(name, search_name_)) ||
         (!search_alias_.empty() && SameIgnoringCase(name, search_alias_));
}

void JamCursor::SeekFirstForUser(std::string_view name, std::string_view alias,
                                 HeaderFields* header) {
  reader_.Drop();  // a new walk reads headers afresh
  search_name_ = Fit(name, kSearchNameMax);
  search_alias_ = Fit(alias, kSearchNameMax);
  search_name_crc_ = NameChecksum(search_name_);
  search_alias_crc_ = NameChecksum(search_alias_);
  index_.DropScan();  // and the index afresh
  current_ = static_cast<int32_t>(CursorBase() - 1);
  SeekNextForUser(header);
}

void JamCursor::SeekNextForUser(HeaderFields* header) {
  // Deleted messages and unreadable headers are passed over, so that they
  // never hide later mail.
  last_status_ = Status::Ok();
  const int64_t base = CursorBase();
  // The records the cursor can stand on.
  const int64_t limit = std::min<int64_t>(kHighestNumber - base, INT32_MAX) + 1;
  int64_t record = std::max<int64_t>(current_, base - 1) + 1 - base;
  JamIndex::Checksums crcs{search_name_crc_, search_alias_crc_,
                           !search_name_.empty(), !search_alias_.empty()};
  IoResult code = io::kOk;
  IndexRecord entry;
  while (index_.FindChecksum(files_.index_file(), crcs, limit, &record, &entry,
                             &code) &&
         !IsMailFor(entry, record, header)) {
    ++record;
  }
  int64_t cur = base + record;
  if (code != io::kOk) {
    // The index could not be read: the search ends without a match.
    last_status_ = IndexStatus(code);
    cur = std::max(cur, base + JamIndex::RecordCount(files_.index_file()));
  }
  current_ = static_cast<int32_t>(std::min<int64_t>(cur, INT32_MAX));
}

bool JamCursor::IsMailFor(const IndexRecord& entry, int64_t record, HeaderFields* header) {
  // Unreceived, with a recipient subfield that matches a search name in
  // full, ignoring case.
  const Status s = reader_.Load(files_.header_file(), entry.HdrOffset, record, &loaded_);
  loaded_.ToFields(header);
  if (!s.ok()) {
    last_status_ = s;
    return false;
  }
  if (loaded_.Field(kMhAttribute) & kAttrReceived) return false;
  header->to.clear();
  bool match = false;
  ForEachSubfield(loaded_.Subfields(), [&](const Subfield& sf) {
    if (sf.kind != kSfReceiverName) return true;
    header->to = SubfieldText(sf.data, kToMax);
    match = NameMatches(header->to);
    return !match;
  });
  return match;
}

}  // namespace drayline::jam
