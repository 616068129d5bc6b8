#include "jam/jam_pack_parts.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "support/coding.h"
#include "support/file_access.h"
#include "support/read_window.h"

namespace drayline::jam {

namespace {

constexpr uint32_t kUnused = 0xFFFFFFFF;
constexpr size_t kIndexChunk = 8192;     // records read at a time
constexpr size_t kWalkWindow = 1 << 20;  // read-ahead of the header walk
constexpr uint64_t kRunGap = 4096;       // records closer than this share a run

bool IsHeader(const uint8_t* at) { return std::memcmp(at + kMhSignature, "JAM", 4) == 0; }

// A header's whole length from its fixed part (0 when too few bytes).
size_t HeaderLength(std::span<const uint8_t> held) {
  if (held.size() < kFixedHeaderSize) return 0;
  return kFixedHeaderSize + std::min<size_t>(DecodeFixed32(held.data() + kMhSubfieldLen),
                                             kSubfieldAreaSize);
}

Status ReadIndex(JamBaseFiles& files, JamScan* scan, std::vector<uint32_t>* where) {
  File& index = *files.index_file();
  Status s = Status::FromIo(index.Size(&scan->jdx_size), "sizing the index");
  if (!s.ok()) return s;
  scan->records = scan->jdx_size / kIndexRecordSize;
  if (scan->records > UINT32_MAX / 2) return Status::Damaged("the index is too large");
  where->assign(scan->records, kUnused);
  std::vector<uint8_t> chunk(kIndexChunk * kIndexRecordSize);
  for (uint64_t first = 0; first < scan->records; first += kIndexChunk) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kIndexChunk, scan->records - first));
    const std::span<uint8_t> bytes(chunk.data(), n * kIndexRecordSize);
    const IoResult code = ReadExact(index, first * kIndexRecordSize, bytes);
    if (code != io::kOk) return Status::FromIo(code, "reading the index");
    for (size_t i = 0; i < n; ++i) {
      const IndexRecord r = DecodeIndexRecord(bytes.data() + i * kIndexRecordSize);
      if (!r.deleted()) (*where)[first + i] = r.HdrOffset;
    }
  }
  return Status::Ok();
}

// The live message of a header at offset, if index record `where` says so.
bool Live(const std::vector<uint32_t>& where, uint32_t base, const uint8_t* h, uint32_t offset,
          uint64_t* record) {
  const uint32_t number = DecodeFixed32(h + kMhMessageNumber);
  *record = static_cast<uint64_t>(number) - base;
  return number >= base && *record < where.size() && where[*record] == offset;
}

LiveHeader Describe(std::span<const uint8_t> h, uint32_t offset) {
  return LiveHeader{offset, DecodeFixed32(h.data() + kMhTxtOffset),
                    DecodeFixed32(h.data() + kMhTxtLen), static_cast<uint32_t>(h.size())};
}

}  // namespace

Status ScanJam(JamBaseFiles& files, JamScan* scan, const HeaderVisitor& visit) {
  scan->base_msg_num = files.BaseField(kBhBaseMsgNum);
  std::vector<uint32_t> where;
  Status s = ReadIndex(files, scan, &where);
  if (s.ok()) s = Status::FromIo(files.header_file()->Size(&scan->jhr_size), "sizing headers");
  if (s.ok()) s = Status::FromIo(files.text_file()->Size(&scan->jdt_size), "sizing texts");
  if (!s.ok()) return s;
  const uint64_t live_records = static_cast<uint64_t>(
      std::count_if(where.begin(), where.end(), [](uint32_t w) { return w != kUnused; }));
  scan->live.reserve(live_records);
  // The walk: headers follow one another from the base header on. It
  // meets the deleted ones too, and stops where no header starts.
  ReadWindow window(kWalkWindow, UINT64_MAX);
  std::vector<bool> met(where.size(), false);
  for (uint64_t at = kBaseHeaderSize; at + kFixedHeaderSize <= scan->jhr_size;) {
    std::span<const uint8_t> h;
    const IoResult code = window.ReadRecord(*files.header_file(), at, kWalkWindow, HeaderLength, &h);
    if (code != io::kOk || h.size() < kFixedHeaderSize || !IsHeader(h.data()) ||
        h.size() != HeaderLength(h)) {
      break;
    }
    uint64_t record = 0;
    if (Live(where, scan->base_msg_num, h.data(), static_cast<uint32_t>(at), &record)) {
      if (!met[record]) scan->live.push_back(Describe(h, static_cast<uint32_t>(at)));
      if (!met[record] && visit) visit(h, static_cast<uint32_t>(at));
      met[record] = true;
    } else {
      ++scan->dead_headers;
      if (record < where.size() && where[record] == kUnused) {
        scan->removed_next.emplace_back(DecodeFixed32(h.data() + kMhMessageNumber),
                                        DecodeFixed32(h.data() + kMhReplyNext));
      }
    }
    at += h.size();
  }
  // Live headers the walk did not reach are read one by one.
  std::vector<uint8_t> h(kHeaderBufferSize);
  for (uint64_t r = 0; r < where.size(); ++r) {
    if (where[r] == kUnused || met[r]) continue;
    size_t done = 0;
    IoResult code = RetryRead(*files.header_file(), where[r], h, &done);
    uint64_t record = 0;
    if (code != io::kOk || done < kFixedHeaderSize || !IsHeader(h.data()) ||
        !Live(where, scan->base_msg_num, h.data(), where[r], &record) || record != r ||
        done < HeaderLength(std::span(h).first(done))) {
      return Status::Damaged("index record " + std::to_string(r) +
                             " points at no header of its message; check the base");
    }
    const std::span<const uint8_t> whole(h.data(), HeaderLength(std::span(h).first(done)));
    scan->live.push_back(Describe(whole, where[r]));
    if (visit) visit(whole, where[r]);
  }
  std::sort(scan->live.begin(), scan->live.end(),
            [](const LiveHeader& a, const LiveHeader& b) { return a.hdr_off < b.hdr_off; });
  for (uint64_t r = 0; r < where.size(); ++r) {
    if (where[r] != kUnused) scan->kept.push_back(static_cast<uint32_t>(r + scan->base_msg_num));
  }
  std::sort(scan->removed_next.begin(), scan->removed_next.end());
  return Status::Ok();
}

// ---- RecordRuns ----

Status RecordRuns::Load(File& file, std::vector<uint64_t> offsets, size_t length) {
  file_ = &file;
  runs_.clear();
  std::sort(offsets.begin(), offsets.end());
  for (size_t i = 0; i < offsets.size();) {
    size_t j = i + 1;
    uint64_t end = offsets[i] + length;
    while (j < offsets.size() && offsets[j] <= end + kRunGap) end = offsets[j++] + length;
    Run run;
    run.offset = offsets[i];
    run.bytes.resize(end - offsets[i]);
    const IoResult code = ReadExact(file, run.offset, run.bytes);
    if (code != io::kOk) return Status::FromIo(code, "reading records to rewrite");
    run.old = run.bytes;
    runs_.push_back(std::move(run));
    i = j;
  }
  return Status::Ok();
}

uint8_t* RecordRuns::At(uint64_t offset) {
  const auto it = std::upper_bound(runs_.begin(), runs_.end(), offset,
                                   [](uint64_t o, const Run& r) { return o < r.offset; });
  if (it == runs_.begin()) return nullptr;
  Run& run = *(it - 1);
  return offset - run.offset < run.bytes.size() ? run.bytes.data() + (offset - run.offset)
                                                : nullptr;
}

Status RecordRuns::Store(Change& change) {
  for (const Run& run : runs_) {
    if (run.bytes == run.old) continue;
    Status s = change.Overwrite(*file_, run.offset, run.bytes, run.old);
    if (!s.ok()) return s;
  }
  return Status::Ok();
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
