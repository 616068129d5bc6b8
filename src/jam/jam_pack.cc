#include "jam/jam_pack.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "jam/jam_pack_parts.h"
#include "support/coding.h"
#include "support/file_access.h"

namespace drayline::jam {

namespace {

constexpr uint16_t kHasLinks = LiveHeader::kHasLinks;
constexpr uint32_t kUnused = 0xFFFFFFFF;

uint32_t Length(const LiveHeader& h) { return h.hdr_len() & (kHasLinks - 1); }
bool Usable(const uint8_t* h) {
  return h != nullptr && std::memcmp(h + kMhSignature, "JAM", 4) == 0 &&
         (DecodeFixed32(h + kMhAttribute) & kAttrDeleted) == 0;
}

// The end of a batch from first: as many items as the limits allow, at
// least one. span(i) is the bytes item i adds.
template <class Span>
size_t BatchEnd(size_t first, size_t count, const StepLimits& limits, Span span) {
  uint64_t bytes = 0;
  size_t end = first;
  while (end < count && end - first < limits.items) {
    bytes += span(end);
    if (end > first && bytes > limits.bytes) break;
    ++end;
  }
  return end;
}

class JamPacker {
 public:
  JamPacker(JamBaseFiles& files, JamScan& scan, const PackOptions& options,
            const StepLimits& limits, MaintenanceReport* report)
      : files_(files), scan_(scan), options_(options), limits_(limits), report_(report),
        map_(scan.base_msg_num, std::move(scan.kept), false, scan.base_msg_num) {
    if (scan.records > 0) {
      map_.RemoveRange(scan.base_msg_num,
                       static_cast<uint32_t>(scan.base_msg_num + scan.records - 1));
    }
  }

  Status Run() {
    total_ = scan_.jdt_size + scan_.jhr_size + (options_.renumber ? scan_.jdx_size : 0);
    Status s = PackTexts();
    if (s.ok()) s = PackHeaders();
    if (s.ok() && options_.renumber) s = Renumber();
    if (s.ok()) s = RemapLastRead();
    return s;
  }

 private:
  void Progress(uint64_t bytes) {
    done_ += bytes;
    if (options_.progress) options_.progress(std::min(done_, total_), total_);
  }

  // ---- Texts ----

  Status PackTexts() {
    std::vector<LiveHeader>& live = scan_.live;
    SortOnce(live, [](const LiveHeader& a, const LiveHeader& b) {
      return a.txt_off() != b.txt_off() ? a.txt_off() < b.txt_off() : a.txt_len() < b.txt_len();
    });
    uint64_t cursor = 0;
    Status s;
    for (size_t i = 0; i < live.size() && s.ok();) {
      if (live[i].txt_off() == cursor) {  // in place already: no step needed
        cursor += live[i].txt_len();
        Progress(live[i++].txt_len());
        continue;
      }
      // The headers read and rewritten with the texts count too.
      const size_t end = BatchEnd(i, live.size(), limits_, [&](size_t k) {
        return uint64_t{live[k].txt_len()} + Length(live[k]);
      });
      s = TextStep(i, end, &cursor);
      i = end;
    }
    uint64_t cut = 0;
    if (s.ok()) s = CutInSteps(files_, *files_.text_file(), scan_.jdt_size, cursor,
                               limits_.bytes, &cut);
    report_->bytes_reclaimed += cut;
    return s;
  }

  Status TextStep(size_t first, size_t end, uint64_t* cursor) {
    const std::span<LiveHeader> batch(scan_.live.data() + first, end - first);
    const uint64_t from = batch.front().txt_off();
    const uint64_t to = uint64_t{batch.back().txt_off()} + batch.back().txt_len();
    JamStep st(files_);
    Status s = st.Begin();
    std::vector<uint64_t> offsets;
    offsets.reserve(batch.size());
    for (const LiveHeader& h : batch) offsets.push_back(h.hdr_off());
    RecordRuns& heads = heads_;
    if (s.ok()) s = heads.Load(*files_.header_file(), std::move(offsets), kFixedHeaderSize);
    const std::span<uint8_t> src = BufferOf(src_, to - from);
    const std::span<uint8_t> room = BufferOf(out_, src.size());  // the most the batch keeps
    size_t kept = 0;
    if (s.ok()) s = Status::FromIo(ReadExact(*files_.text_file(), from, src), "reading texts");
    if (!s.ok()) return s;
    for (LiveHeader& h : batch) {
      uint8_t* fixed = heads.At(h.hdr_off());
      // A message deleted or rewritten since the scan no longer uses its
      // old text: it is passed over, and its bytes are free.
      if (!Usable(fixed) || DecodeFixed32(fixed + kMhTxtOffset) != h.txt_off() ||
          DecodeFixed32(fixed + kMhTxtLen) != h.txt_len()) {
        continue;
      }
      const uint32_t moved_to = static_cast<uint32_t>(*cursor + kept);
      std::memcpy(room.data() + kept, src.data() + (h.txt_off() - from), h.txt_len());
      kept += h.txt_len();
      EncodeFixed32(fixed + kMhTxtOffset, moved_to);
      h.set_txt_off(moved_to);
    }
    const std::span<const uint8_t> out = room.first(kept);
    s = WriteMoved(st.change(), *files_.text_file(), *cursor, out, from, src);
    if (s.ok()) s = heads.Store(st.change());
    if (s.ok()) s = st.Commit();
    if (s.ok()) *cursor += out.size();
    Progress(to - from);
    return s;
  }

  // ---- Headers ----

  // Where a reply link goes now that removed messages are gone: a chain
  // link skips them (through their own ReplyNext), any other becomes 0.
  uint32_t Skip(uint32_t number) const {
    for (int guard = 0; guard < 1000 && map_.Removed(number); ++guard) {
      const auto it = std::lower_bound(scan_.removed_next.begin(), scan_.removed_next.end(),
                                       std::make_pair(number, uint32_t{0}));
      if (it == scan_.removed_next.end() || it->first != number) return 0;
      number = it->second;
    }
    return map_.Removed(number) ? 0 : number;
  }

  // Mends the links of a header copy; true when one changed.
  bool MendLinks(uint8_t* h) const {
    const uint32_t old[3] = {DecodeFixed32(h + kMhReplyTo), DecodeFixed32(h + kMhReply1st),
                             DecodeFixed32(h + kMhReplyNext)};
    const uint32_t now[3] = {map_.Link(old[0]), Skip(old[1]), Skip(old[2])};
    EncodeFixed32(h + kMhReplyTo, now[0]);
    EncodeFixed32(h + kMhReply1st, now[1]);
    EncodeFixed32(h + kMhReplyNext, now[2]);
    return std::memcmp(old, now, sizeof old) != 0;
  }

  Status PackHeaders() {
    std::vector<LiveHeader>& live = scan_.live;
    SortOnce(live,
             [](const LiveHeader& a, const LiveHeader& b) { return a.hdr_off() < b.hdr_off(); });
    uint64_t cursor = kBaseHeaderSize;
    Status s;
    for (size_t i = 0; i < live.size() && s.ok();) {
      if (live[i].hdr_off() == cursor && (live[i].hdr_len() & kHasLinks) == 0) {
        cursor += Length(live[i]);
        Progress(Length(live[i++]));
        continue;
      }
      const size_t end = BatchEnd(i, live.size(), limits_,
                                  [&](size_t k) { return uint64_t{Length(live[k])}; });
      s = HeaderStep(i, end, &cursor);
      i = end;
    }
    uint64_t cut = 0;
    if (s.ok()) s = CutInSteps(files_, *files_.header_file(), scan_.jhr_size, cursor,
                               limits_.bytes, &cut);
    report_->bytes_reclaimed += cut;
    return s;
  }

  Status HeaderStep(size_t first, size_t end, uint64_t* cursor) {
    const std::span<LiveHeader> batch(scan_.live.data() + first, end - first);
    const uint64_t from = batch.front().hdr_off();
    const uint64_t to = uint64_t{batch.back().hdr_off()} + Length(batch.back());
    JamStep st(files_);
    Status s = st.Begin();
    const std::span<uint8_t> src = BufferOf(src_, to - from);
    const std::span<uint8_t> room = BufferOf(out_, src.size());
    size_t kept = 0;
    if (s.ok()) s = Status::FromIo(ReadExact(*files_.header_file(), from, src), "reading headers");
    if (!s.ok()) return s;
    const uint32_t base = st.base_msg_num();
    const auto at = [&](const LiveHeader& h) { return src.data() + (h.hdr_off() - from); };
    const auto record = [&](const LiveHeader& h) {
      return uint64_t{DecodeFixed32(at(h) + kMhMessageNumber)} - base;
    };
    std::vector<uint64_t> offsets;
    for (const LiveHeader& h : batch) {
      if (Usable(at(h)) && record(h) < scan_.records) {
        offsets.push_back(record(h) * kIndexRecordSize);
      }
    }
    RecordRuns& index = index_;
    s = index.Load(*files_.index_file(), std::move(offsets), kIndexRecordSize);
    if (!s.ok()) return s;
    for (const LiveHeader& h : batch) {
      uint8_t* entry = Usable(at(h)) && record(h) < scan_.records
                           ? index.At(record(h) * kIndexRecordSize)
                           : nullptr;
      if (entry == nullptr || DecodeFixed32(entry + 4) != h.hdr_off() ||
          kFixedHeaderSize + DecodeFixed32(at(h) + kMhSubfieldLen) != Length(h)) {
        continue;  // deleted or rewritten since the scan
      }
      std::memcpy(room.data() + kept, at(h), Length(h));
      if (MendLinks(room.data() + kept)) ++report_->relinked;
      EncodeFixed32(entry + 4, static_cast<uint32_t>(*cursor + kept));
      kept += Length(h);
    }
    const std::span<const uint8_t> out = room.first(kept);
    s = WriteMoved(st.change(), *files_.header_file(), *cursor, out, from, src);
    if (s.ok()) s = index.Store(st.change());
    if (s.ok()) s = st.Commit();
    if (s.ok()) *cursor += out.size();
    Progress(to - from);
    return s;
  }

  // ---- Renumbering ----

  Status Renumber() {
    map_.set_renumber(true);
    uint64_t cursor = 0;
    Status s;
    const uint64_t per_step = std::max<uint64_t>(1, limits_.bytes / kIndexRecordSize);
    for (uint64_t a = 0; a < scan_.records && s.ok();) {
      const uint64_t b = std::min(scan_.records, a + std::min<uint64_t>(per_step, limits_.items));
      s = RenumberStep(a, b, &cursor);
      a = b;
    }
    report_->renumbered += map_.Renumbered();
    uint64_t cut = 0;
    if (s.ok()) s = CutInSteps(files_, *files_.index_file(), scan_.records * kIndexRecordSize,
                               cursor * kIndexRecordSize, limits_.bytes, &cut);
    report_->bytes_reclaimed += cut;
    return s;
  }

  // Moves the records in use among a..b-1 down to cursor, each header's
  // number and links following; the records behind them become unused.
  Status RenumberStep(uint64_t a, uint64_t b, uint64_t* cursor) {
    JamStep st(files_);
    Status s = st.Begin();
    const std::span<uint8_t> records = BufferOf(src_, (b - a) * kIndexRecordSize);
    if (s.ok()) s = Status::FromIo(ReadExact(*files_.index_file(), a * kIndexRecordSize, records),
                                   "reading the index");
    if (!s.ok()) return s;
    std::vector<uint64_t> offsets;
    for (uint64_t r = a; r < b; ++r) {
      const IndexRecord e = DecodeIndexRecord(records.data() + (r - a) * kIndexRecordSize);
      if (!e.deleted()) offsets.push_back(e.HdrOffset);
    }
    RecordRuns& heads = heads_;
    s = heads.Load(*files_.header_file(), std::move(offsets), kFixedHeaderSize);
    std::vector<uint8_t>& out = out_;
    out.clear();
    const uint32_t base = st.base_msg_num();
    for (uint64_t r = a; r < b && s.ok(); ++r) {
      const IndexRecord e = DecodeIndexRecord(records.data() + (r - a) * kIndexRecordSize);
      if (e.deleted()) continue;
      uint8_t* h = heads.At(e.HdrOffset);
      if (h == nullptr || DecodeFixed32(h + kMhMessageNumber) != base + r) {
        return Status::Damaged("the header of index record " + std::to_string(r) +
                               " changed during the run; check the base");
      }
      const uint64_t w = *cursor + out.size() / kIndexRecordSize;
      EncodeFixed32(h + kMhMessageNumber, static_cast<uint32_t>(base + w));
      for (size_t field : {kMhReplyTo, kMhReply1st, kMhReplyNext}) {
        EncodeFixed32(h + field, map_.Link(DecodeFixed32(h + field)));
      }
      out.insert(out.end(), records.begin() + (r - a) * kIndexRecordSize,
                 records.begin() + (r - a + 1) * kIndexRecordSize);
    }
    const uint64_t moved = out.size() / kIndexRecordSize;
    out.resize((b - *cursor) * kIndexRecordSize, 0xFF);  // the rest unused
    if (s.ok()) s = st.change().Write(*files_.index_file(), *cursor * kIndexRecordSize, out);
    if (s.ok()) s = heads.Store(st.change());
    if (s.ok()) s = st.Commit();
    if (s.ok()) *cursor += moved;
    Progress((b - a) * kIndexRecordSize);
    return s;
  }

  // ---- Last-read records ----

  Status RemapLastRead() {
    const std::string name = files_.FileName(kLastReadExt);
    std::unique_ptr<File> file;
    IoResult code = RetryOpen(files_.env(), name, OpenMode::kReadWrite, &file);
    if (code == io::kFileNotFound || code == io::kPathNotFound) return Status::Ok();
    if (code != io::kOk) return Status::FromIo(code, "opening " + name);
    JamStep st(files_);
    Status s = st.Begin();
    uint64_t size = 0;
    if (s.ok()) s = Status::FromIo(file->Size(&size), "sizing " + name);
    std::vector<uint8_t> old(size / kLastReadRecordSize * kLastReadRecordSize);
    if (s.ok()) s = Status::FromIo(ReadExact(*file, 0, old), "reading " + name);
    if (!s.ok()) return s;
    std::vector<uint8_t> now = old;
    for (size_t at = 0; at < now.size(); at += kLastReadRecordSize) {
      LastReadRecord r = DecodeLastReadRecord(now.data() + at);
      r.LastReadMsg = map_.Pointer(r.LastReadMsg);
      r.HighReadMsg = map_.Pointer(r.HighReadMsg);
      EncodeLastReadRecord(r, now.data() + at);
    }
    if (now == old) return Status::Ok();
    st.change().Name(*file, name);
    s = st.change().Overwrite(*file, 0, now, old);
    return s.ok() ? st.Commit() : s;
  }

  JamBaseFiles& files_;
  JamScan& scan_;
  const PackOptions& options_;
  const StepLimits& limits_;
  MaintenanceReport* report_;
  KeptNumbers map_;
  uint64_t total_ = 0, done_ = 0;
  // Kept from step to step (their memory is reused, not made afresh).
  RecordRuns heads_, index_;
  std::vector<uint8_t> src_, out_;
};


// Marks in each live header whether it has a link to mend.
void MarkLinks(JamScan* scan, const std::vector<uint32_t>& linked_offsets) {
  for (LiveHeader& h : scan->live) {
    if (std::binary_search(linked_offsets.begin(), linked_offsets.end(), h.hdr_off())) {
      h.mark_links();
    }
  }
}

}  // namespace

Status PackJam(Env* env, std::string_view path, const PackOptions& options,
               const StepLimits& limits, MaintenanceReport* report) {
  JamBaseFiles files(env);
  files.SetPath(path);
  files.SetChangeOptions(options.change);
  Status s = files.Open();
  JamScan scan;
  std::vector<uint32_t> linked;  // headers with a link, by offset
  if (s.ok()) {
    s = ScanJam(files, &scan, [&](std::span<const uint8_t> h, uint32_t offset) {
      if (DecodeFixed32(h.data() + kMhReplyTo) != 0 || DecodeFixed32(h.data() + kMhReply1st) != 0 ||
          DecodeFixed32(h.data() + kMhReplyNext) != 0) {
        linked.push_back(offset);
      }
    });
  }
  if (!s.ok()) return s;
  std::sort(linked.begin(), linked.end());
  MarkLinks(&scan, linked);
  report->kept = static_cast<int64_t>(scan.live.size());
  report->removed = scan.dead_headers;
  if (options.dry_run) {
    uint64_t used = kBaseHeaderSize;
    for (const LiveHeader& h : scan.live) used += Length(h) + uint64_t{h.txt_len()};
    report->bytes_reclaimed = scan.jhr_size + scan.jdt_size - std::min(used, scan.jhr_size + scan.jdt_size);
    if (options.renumber) {
      report->bytes_reclaimed += (scan.records - scan.live.size()) * kIndexRecordSize;
      report->renumbered = KeptNumbers(scan.base_msg_num, std::move(scan.kept), true,
                                       scan.base_msg_num)
                               .Renumbered();
    }
    return Status::Ok();
  }
  return JamPacker(files, scan, options, limits, report).Run();
}

}  // namespace drayline::jam

// ---- Purging ----

namespace drayline::jam {

Status ListJamForPurge(Env* env, std::string_view path, std::vector<PurgeCandidate>* out) {
  JamBaseFiles files(env);
  files.SetPath(path);
  Status s = files.Open();
  JamScan scan;
  if (s.ok()) {
    s = ScanJam(files, &scan, [&](std::span<const uint8_t> h, uint32_t) {
      // JAM times count local seconds from 1970.
      out->push_back({DecodeFixed32(h.data() + kMhMessageNumber),
                      DecodeFixed32(h.data() + kMhDateProcessed) / 86400,
                      (DecodeFixed32(h.data() + kMhAttribute) & kAttrReceived) != 0});
    });
  }
  std::sort(out->begin(), out->end(), [](const PurgeCandidate& a, const PurgeCandidate& b) {
    return a.number < b.number;
  });
  return s;
}

namespace {

// Deletes the messages numbered batch[...] that are still there, in one step.
Status DeleteStep(JamBaseFiles& files, std::span<const uint32_t> batch, int64_t* deleted) {
  JamStep st(files);
  Status s = st.Begin();
  if (!s.ok()) return s;
  const uint32_t base = st.base_msg_num();
  uint64_t records = 0;
  s = st.change().Size(*files.index_file(), &records);
  records /= kIndexRecordSize;
  std::vector<uint64_t> offsets;
  for (uint32_t n : batch) {
    if (n >= base && n - base < records) offsets.push_back(uint64_t{n - base} * kIndexRecordSize);
  }
  RecordRuns index, heads;
  if (s.ok()) s = index.Load(*files.index_file(), offsets, kIndexRecordSize);
  std::vector<uint64_t> hdrs;
  for (uint64_t o : offsets) {
    const IndexRecord e = DecodeIndexRecord(index.At(o));
    if (!e.deleted()) hdrs.push_back(e.HdrOffset);
  }
  if (s.ok()) s = heads.Load(*files.header_file(), std::move(hdrs), kFixedHeaderSize);
  if (!s.ok()) return s;
  uint32_t count = 0;
  for (uint64_t o : offsets) {
    uint8_t* entry = index.At(o);
    const IndexRecord e = DecodeIndexRecord(entry);
    uint8_t* h = e.deleted() ? nullptr : heads.At(e.HdrOffset);
    if (!Usable(h) || DecodeFixed32(h + kMhMessageNumber) != base + o / kIndexRecordSize) continue;
    EncodeFixed32(h + kMhAttribute, DecodeFixed32(h + kMhAttribute) | kAttrDeleted);
    EncodeIndexRecord(IndexRecord{kNoCrc, kNoCrc}, entry);
    ++count;
  }
  if (count == 0) return Status::Ok();
  s = heads.Store(st.change());
  if (s.ok()) s = index.Store(st.change());
  if (s.ok()) s = st.Commit(count);
  if (s.ok()) *deleted += count;
  return s;
}

}  // namespace

Status DeleteJamMessages(Env* env, std::string_view path, const std::vector<uint32_t>& numbers,
                         const StepLimits& limits, const ChangeOptions& change,
                         int64_t* deleted) {
  JamBaseFiles files(env);
  files.SetPath(path);
  files.SetChangeOptions(change);
  Status s = files.Open();
  const size_t per_step = std::max<size_t>(1, std::min<size_t>(limits.items, limits.bytes / 256));
  for (size_t i = 0; s.ok() && i < numbers.size(); i += per_step) {
    const size_t n = std::min(per_step, numbers.size() - i);
    s = DeleteStep(files, std::span(numbers).subspan(i, n), deleted);
  }
  return s;
}

}  // namespace drayline::jam
