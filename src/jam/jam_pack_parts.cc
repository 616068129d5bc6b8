#include "jam/jam_pack_parts.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "support/coding.h"
#include "support/file_access.h"
#include "support/read_window.h"

namespace drayline::jam {

namespace {

constexpr size_t kIndexChunk = 8192;     // records read at a time
constexpr size_t kWalkWindow = 1 << 20;  // read-ahead of the header walk
constexpr uint64_t kRunGap = 4096;       // records closer than this share a run
constexpr size_t kIndexWindow = 64 << 10;  // read-ahead of the index records looked up

bool IsHeader(const uint8_t* at) { return std::memcmp(at + kMhSignature, "JAM", 4) == 0; }

// A header's whole length from its fixed part (0 when too few bytes).
size_t HeaderLength(std::span<const uint8_t> held) {
  if (held.size() < kFixedHeaderSize) return 0;
  return kFixedHeaderSize + std::min<size_t>(DecodeFixed32(held.data() + kMhSubfieldLen),
                                             kSubfieldAreaSize);
}

bool InUse(const JamScan& scan, uint64_t record) {
  return record < scan.records && (scan.kept[record / 64] >> (record % 64) & 1) != 0;
}

// Reads the index once, marking the records in use in scan->kept; *in_use
// counts them. No offsets are kept: a run looks them up again (IndexOffset)
// rather than hold four bytes a record.
Status ReadIndex(JamBaseFiles& files, JamScan* scan, uint64_t* in_use) {
  File& index = *files.index_file();
  scan->records = scan->jdx_size / kIndexRecordSize;
  if (scan->records > UINT32_MAX / 2) return Status::Damaged("the index is too large");
  scan->kept.assign((scan->records + 63) / 64, 0);
  std::vector<uint8_t> chunk(kIndexChunk * kIndexRecordSize);
  for (uint64_t first = 0; first < scan->records; first += kIndexChunk) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kIndexChunk, scan->records - first));
    const std::span<uint8_t> bytes(chunk.data(), n * kIndexRecordSize);
    const IoResult code = ReadExact(index, first * kIndexRecordSize, bytes);
    if (code != io::kOk) return Status::FromIo(code, "reading the index");
    for (size_t i = 0; i < n; ++i) {
      if (DecodeIndexRecord(bytes.data() + i * kIndexRecordSize).deleted()) continue;
      scan->kept[(first + i) / 64] |= uint64_t{1} << ((first + i) % 64);
      ++*in_use;
    }
  }
  return Status::Ok();
}

// The header offset of index record `record` (in use), through window.
// An I/O result, not a Status: it is asked once a header, and a Status
// made for each would cost more than the lookup.
IoResult IndexOffset(File& index, ReadWindow& window, uint64_t record, uint32_t* offset) {
  uint8_t bytes[kIndexRecordSize];
  size_t done = 0;
  IoResult code = window.Read(index, record * kIndexRecordSize, bytes, &done);
  if (code == io::kOk && done != kIndexRecordSize) code = io::kReadPastEnd;
  if (code == io::kOk) *offset = DecodeIndexRecord(bytes).HdrOffset;
  return code;
}

Status IndexFailure(IoResult code) { return Status::FromIo(code, "reading the index"); }

// Whether the header h at offset is a live message: its number's index
// record is in use and points at it (*record: that record, when its number
// is not below the base).
IoResult Live(const JamScan& scan, File& index, ReadWindow& window, const uint8_t* h,
              uint32_t offset, uint64_t* record, bool* live) {
  const uint32_t number = DecodeFixed32(h + kMhMessageNumber);
  *record = static_cast<uint64_t>(number) - scan.base_msg_num;
  *live = false;
  if (number < scan.base_msg_num || !InUse(scan, *record)) return io::kOk;
  uint32_t points_at = 0;
  const IoResult code = IndexOffset(index, window, *record, &points_at);
  *live = code == io::kOk && points_at == offset;
  return code;
}

// A bit for each index record: whether the walk met its header.
class MetRecords {
 public:
  explicit MetRecords(uint64_t records) : bits_((records + 63) / 64, 0) {}
  bool operator[](uint64_t r) const { return (bits_[r / 64] >> (r % 64) & 1) != 0; }
  void Set(uint64_t r) { bits_[r / 64] |= uint64_t{1} << (r % 64); }

 private:
  std::vector<uint64_t> bits_;
};

LiveHeader Describe(std::span<const uint8_t> h, uint32_t offset) {
  return LiveHeader(offset, DecodeFixed32(h.data() + kMhTxtOffset),
                    DecodeFixed32(h.data() + kMhTxtLen), static_cast<uint16_t>(h.size()));
}

// The live headers the walk did not reach, read one by one.
Status ReadUnmet(JamBaseFiles& files, JamScan* scan, const MetRecords& met,
                 const HeaderVisitor& visit) {
  ReadWindow index_window(kIndexWindow, UINT64_MAX);
  std::vector<uint8_t> h(kHeaderBufferSize);
  for (uint64_t r = 0; r < scan->records; ++r) {
    if (!InUse(*scan, r) || met[r]) continue;
    uint32_t at = 0;
    IoResult code = IndexOffset(*files.index_file(), index_window, r, &at);
    if (code != io::kOk) return IndexFailure(code);
    size_t done = 0;
    code = RetryRead(*files.header_file(), at, h, &done);
    uint64_t record = 0;
    bool live = false;
    if (code == io::kOk && done >= kFixedHeaderSize && IsHeader(h.data())) {
      code = Live(*scan, *files.index_file(), index_window, h.data(), at, &record, &live);
      if (code != io::kOk) return IndexFailure(code);
    }
    if (!live || record != r || done < HeaderLength(std::span(h).first(done))) {
      return Status::Damaged("index record " + std::to_string(r) +
                             " points at no header of its message; check the base");
    }
    const std::span<const uint8_t> whole(h.data(), HeaderLength(std::span(h).first(done)));
    scan->live.push_back(Describe(whole, at));
    if (visit) visit(whole, at);
  }
  return Status::Ok();
}

// The three sizes and BaseMsgNum as one state of the base, taken under
// the lock: a message stored later lies past all of them, so the scan
// leaves it alone and a cut finds the file longer and keeps it. Sized one
// by one without the lock, the index could miss a message whose header the
// header file's size already counted, and the cut would take that header.
Status SizeUnderLock(JamBaseFiles& files, JamScan* scan) {
  JamStep st(files);
  Status s = st.Begin();
  if (s.ok()) s = st.change().Size(*files.index_file(), &scan->jdx_size);
  if (s.ok()) s = st.change().Size(*files.header_file(), &scan->jhr_size);
  if (s.ok()) s = st.change().Size(*files.text_file(), &scan->jdt_size);
  if (s.ok()) scan->base_msg_num = st.base_msg_num();
  return s;  // the step ends unchanged, and unlocks
}

}  // namespace

Status ScanJam(JamBaseFiles& files, JamScan* scan, const HeaderVisitor& visit) {
  Status s = SizeUnderLock(files, scan);
  uint64_t live_records = 0;
  if (s.ok()) s = ReadIndex(files, scan, &live_records);
  if (!s.ok()) return s;
  scan->live.reserve(live_records);
  // The walk: headers follow one another from the base header on. It
  // meets the deleted ones too, and stops where no header starts.
  ReadWindow window(kWalkWindow, UINT64_MAX);
  ReadWindow index_window(kIndexWindow, UINT64_MAX);
  MetRecords met(scan->records);
  for (uint64_t at = kBaseHeaderSize; at + kFixedHeaderSize <= scan->jhr_size;) {
    std::span<const uint8_t> h;
    const IoResult code = window.ReadRecord(*files.header_file(), at, kWalkWindow, HeaderLength, &h);
    if (code != io::kOk || h.size() < kFixedHeaderSize || !IsHeader(h.data()) ||
        h.size() != HeaderLength(h)) {
      break;
    }
    uint64_t record = 0;
    bool live = false;
    const IoResult index_code = Live(*scan, *files.index_file(), index_window, h.data(),
                                     static_cast<uint32_t>(at), &record, &live);
    if (index_code != io::kOk) return IndexFailure(index_code);
    if (live) {
      if (!met[record]) scan->live.push_back(Describe(h, static_cast<uint32_t>(at)));
      if (!met[record] && visit) visit(h, static_cast<uint32_t>(at));
      met.Set(record);
    } else {
      ++scan->dead_headers;
      if (record < scan->records && !InUse(*scan, record)) {
        scan->removed_next.emplace_back(DecodeFixed32(h.data() + kMhMessageNumber),
                                        DecodeFixed32(h.data() + kMhReplyNext));
      }
    }
    at += h.size();
  }
  s = ReadUnmet(files, scan, met, visit);
  if (!s.ok()) return s;
  SortOnce(scan->live,
           [](const LiveHeader& a, const LiveHeader& b) { return a.hdr_off() < b.hdr_off(); });
  std::sort(scan->removed_next.begin(), scan->removed_next.end());
  scan->removed_next.shrink_to_fit();
  return Status::Ok();
}

// ---- RecordRuns ----

Status RecordRuns::Load(File& file, std::vector<uint64_t> offsets, size_t length) {
  file_ = &file;
  runs_.clear();
  used_ = 0;
  SortOnce(offsets, std::less<uint64_t>());
  for (size_t i = 0; i < offsets.size();) {
    size_t j = i + 1;
    uint64_t end = offsets[i] + length;
    while (j < offsets.size() && offsets[j] <= end + kRunGap) end = offsets[j++] + length;
    runs_.push_back(Run{offsets[i], used_, static_cast<size_t>(end - offsets[i])});
    used_ += runs_.back().size;
    i = j;
  }
  const std::span<uint8_t> bytes = BufferOf(bytes_, used_);
  for (const Run& run : runs_) {
    const IoResult code = ReadExact(file, run.offset, bytes.subspan(run.start, run.size));
    if (code != io::kOk) return Status::FromIo(code, "reading records to rewrite");
  }
  const std::span<uint8_t> old = BufferOf(old_, used_);
  std::copy(bytes.begin(), bytes.end(), old.begin());
  return Status::Ok();
}

uint8_t* RecordRuns::At(uint64_t offset) {
  const auto it = std::upper_bound(runs_.begin(), runs_.end(), offset,
                                   [](uint64_t o, const Run& r) { return o < r.offset; });
  if (it == runs_.begin()) return nullptr;
  const Run& run = *(it - 1);
  return offset - run.offset < run.size ? bytes_.data() + run.start + (offset - run.offset)
                                        : nullptr;
}

Status RecordRuns::Store(Change& change) {
  for (const Run& run : runs_) {
    const std::span<const uint8_t> now(bytes_.data() + run.start, run.size);
    const std::span<const uint8_t> old(old_.data() + run.start, run.size);
    if (std::equal(now.begin(), now.end(), old.begin())) continue;
    Status s = change.Overwrite(*file_, run.offset, now, old);
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

std::span<uint8_t> BufferOf(std::vector<uint8_t>& buf, size_t n) {
  if (buf.size() < n) {
    buf.reserve(n);  // exactly: resize alone may double the capacity
    buf.resize(n);
  }
  return std::span(buf.data(), n);
}

// ---- Steps ----

Status JamStep::Begin() {
  Status s = files_.BeginChange(&change_);
  if (!s.ok()) return s;
  const IoResult code = ReadExact(*files_.header_file(), 0, image_);
  return Status::FromIo(code, "reading the base header");
}

uint32_t JamStep::base_msg_num() const { return DecodeFixed32(image_.data() + kBhBaseMsgNum); }

Status JamStep::Commit(uint32_t deleted) {
  std::array<uint8_t, kBaseHeaderSize> image = image_;
  const uint32_t active = DecodeFixed32(image.data() + kBhActiveMsgs);
  EncodeFixed32(image.data() + kBhActiveMsgs, active - std::min(active, deleted));
  EncodeFixed32(image.data() + kBhModCounter, DecodeFixed32(image.data() + kBhModCounter) + 1);
  // The base header goes last: it is what tells other programs the base
  // changed.
  Status s = change_->Overwrite(*files_.header_file(), 0, image, image_);
  if (s.ok()) s = change_->Commit();
  change_.reset();
  return s;
}

Status WriteMoved(Change& change, File& file, uint64_t offset, std::span<const uint8_t> bytes,
                  uint64_t old_from, std::span<const uint8_t> old) {
  const size_t fresh = static_cast<size_t>(std::min<uint64_t>(
      bytes.size(), old_from > offset ? old_from - offset : 0));
  Status s;
  if (fresh > 0) s = change.WriteFresh(file, offset, bytes.first(fresh));
  const std::span<const uint8_t> rest = bytes.subspan(fresh);
  if (!s.ok() || rest.empty()) return s;
  const uint64_t skip = offset + fresh - old_from;
  if (skip > old.size() || old.size() - skip < rest.size()) {
    return change.Write(file, offset + fresh, rest);  // past what the caller read
  }
  const std::span<const uint8_t> under = old.subspan(skip, rest.size());
  if (std::equal(rest.begin(), rest.end(), under.begin())) return s;  // nothing moved here
  return change.Overwrite(file, offset + fresh, rest, under);
}

Status CutInSteps(JamBaseFiles& files, File& file, uint64_t from, uint64_t to, uint64_t step,
                  uint64_t* cut) {
  *cut = 0;
  for (uint64_t size = from; size > to;) {
    JamStep st(files);
    Status s = st.Begin();
    uint64_t now = 0;
    if (s.ok()) s = st.change().Size(file, &now);
    if (!s.ok()) return s;
    if (now != size) return Status::Ok();  // stored to meanwhile: the rest stays
    const uint64_t target = size - std::min(step, size - to);
    s = st.change().Truncate(file, target);
    if (s.ok()) s = st.Commit();
    if (!s.ok()) return s;
    *cut += size - target;
    size = target;
  }
  return Status::Ok();
}

}  // namespace drayline::jam
