#include "squish/squish_pack.h"

#include <algorithm>
#include <array>
#include <string>

#include "squish/squish_lastread.h"
#include "support/coding.h"
#include "support/file_access.h"

namespace drayline::squish {

// ---- Session ----

Status SquishSession::Open(std::string_view path, const ChangeOptions& change) {
  files_.SetPath(path);
  files_.SetChangeOptions(change);
  if (!free_.Allocate()) return Status(StatusCode::kNoMemory, kNoIndexTable, "no memory");
  Status s = files_.OpenData();
  return s.ok() ? files_.OpenIndex() : s;
}

Status SquishSession::Begin() {
  Status s = Change::Begin(files_.env(), *files_.data(), files_.change_setup(), &change_);
  if (!s.ok()) return s;
  s = files_.ReadControl();
  if (s.ok()) s = index_.Read(files_.index(), files_.Name(kIndexExt));
  if (s.ok() && (count() < 0 || count() > index_.count())) {
    s = Status::Damaged("the control record counts more messages than the index holds");
  }
  free_.Forget();
  if (!s.ok()) change_.reset();
  return s;
}

Status SquishSession::Commit() {
  Status s = index_.Write(*change_, files_.index(), count(), files_.Name(kIndexExt));
  const ControlRecord& control = files_.control();
  const std::array<uint8_t, kHeaderAreaSize> bytes = control.Encoded();
  if (s.ok()) s = change_->Overwrite(*files_.data(), 0, std::span(bytes).first(control.length),
                                     control.AsRead());
  if (s.ok()) s = change_->Commit();
  change_.reset();
  return s;
}

namespace {

// One step of the slide (see squish_pack.h), on an open session.
class Slide {
 public:
  // freed counts the free frames taken into the gap.
  Slide(SquishSession& session, const StepLimits& limits, int64_t* freed)
      : s_(session), limits_(limits), freed_(freed) {}

  // Moves frames down until the step's budget is spent; *done when the
  // gap reached the end (the file is cut) or there is none.
  Status Step(int64_t* cursor, bool* done) {
    *done = false;
    int64_t g = 0;
    SquishFrameHeader gap;
    Status st = FindGap(*cursor, &g, &gap);
    if (!st.ok() || g == 0) {
      *done = st.ok();
      return st;
    }
    if (g != *cursor) ++*freed_;  // not the gap the last step left
    uint64_t moved = 0;
    while (st.ok() && moved < limits_.bytes && !*done) {
      const int64_t next = g + fhs() + gap.FrameLength;
      if (next >= s_.base().EndFrame) {
        st = Finish(g, gap);
        *done = true;
        break;
      }
      SquishFrameHeader f;
      st = s_.frames().Read(next, &f);
      if (!st.ok()) break;
      if (f.FrameId == kFrameId && f.FrameType == kFrameTypeFree) {
        st = Merge(g, &gap, next, f);
      } else {
        st = Move(&g, &gap, next);
        moved += uint64_t(fhs()) + f.MessageLength;
      }
    }
    *cursor = g;
    return st;
  }

 private:
  int32_t fhs() const { return s_.frame_header_size(); }

  // The first free frame at or after cursor, in file order; g = 0 if none.
  Status FindGap(int64_t cursor, int64_t* g, SquishFrameHeader* gap) {
    *g = 0;
    for (int64_t at = std::max<int64_t>(cursor, s_.files().control().length);
         at + fhs() <= s_.base().EndFrame;) {
      SquishFrameHeader h;
      Status st = s_.frames().Read(at, &h);
      if (!st.ok()) return st;
      if (h.FrameId != kFrameId || h.FrameLength < 0) {
        return Status::Damaged("no frame at offset " + std::to_string(at));
      }
      if (h.FrameType == kFrameTypeFree) {
        *g = at;
        return s_.frames().ReadSound(at, kFrameTypeFree, gap);
      }
      at += fhs() + int64_t{h.FrameLength};
    }
    return Status::Ok();
  }

  // Rewrites the neighbours of a frame moved from `from` to `to` (header
  // h, on the chain of type), or the control record's chain ends.
  Status Repoint(const SquishFrameHeader& h, int64_t from, int64_t to, uint16_t type) {
    Neighbours n;
    Status st = s_.frames().ReadNeighbours(h, from, type, &n);
    SquishBaseHeader& base = s_.base();
    int32_t& first = type == kFrameTypeFree ? base.FirstFreeFrame : base.FirstFrame;
    int32_t& last = type == kFrameTypeFree ? base.LastFreeFrame : base.LastFrame;
    if (st.ok() && h.PrevFrame != 0) {
      SquishFrameHeader changed = n.prev;
      changed.NextFrame = static_cast<int32_t>(to);
      st = s_.frames().Write(s_.change(), h.PrevFrame, changed, n.prev);
    } else if (st.ok()) {
      first = static_cast<int32_t>(to);
    }
    if (st.ok() && h.NextFrame != 0) {
      SquishFrameHeader changed = n.next;
      changed.PrevFrame = static_cast<int32_t>(to);
      st = s_.frames().Write(s_.change(), h.NextFrame, changed, n.next);
    } else if (st.ok()) {
      last = static_cast<int32_t>(to);
    }
    return st;
  }

  // Takes the free frame f at `at` off the free chain and into the gap.
  Status Merge(int64_t g, SquishFrameHeader* gap, int64_t at, const SquishFrameHeader& f) {
    SquishFrameHeader sound;
    Status st = s_.frames().ReadSound(at, kFrameTypeFree, &sound);
    Neighbours n;
    if (st.ok()) st = s_.frames().ReadNeighbours(f, at, kFrameTypeFree, &n);
    if (st.ok()) st = s_.frames().Relink(s_.change(), f, n);
    if (st.ok() && f.PrevFrame == 0) s_.base().FirstFreeFrame = f.NextFrame;
    if (st.ok() && f.NextFrame == 0) s_.base().LastFreeFrame = f.PrevFrame;
    // The relink may have rewritten the gap's own links.
    SquishFrameHeader now;
    if (st.ok()) st = s_.frames().Read(g, &now);
    if (!st.ok()) return st;
    SquishFrameHeader grown = now;
    grown.FrameLength = now.FrameLength + fhs() + f.FrameLength;
    st = s_.frames().Write(s_.change(), g, grown, now);
    if (st.ok()) *gap = grown;
    if (st.ok()) ++*freed_;
    return st;
  }

  // Moves the message frame at `at` down to the gap at *g, which follows
  // it as a free frame again.
  Status Move(int64_t* g, SquishFrameHeader* gap, int64_t at) {
    SquishFrameHeader m;
    Status st = s_.frames().ReadSound(at, kFrameTypeMessage, &m);
    if (st.ok() && (m.MessageLength < 0 || m.MessageLength > m.FrameLength ||
                    at + fhs() + int64_t{m.FrameLength} > s_.base().EndFrame)) {
      st = Status::Damaged("the message frame at " + std::to_string(at) + " is malformed");
    }
    const uint16_t k = FindEntry(static_cast<int32_t>(at));
    if (st.ok() && k == 0) st = Status::Damaged("no index entry for frame " + std::to_string(at));
    if (!st.ok()) return st;
    const int64_t end = at + fhs() + m.FrameLength;  // where the free space ends
    std::vector<uint8_t> frame(size_t(fhs()) + size_t(m.MessageLength));
    IoResult code = ReadExact(*s_.files().data(), uint64_t(at), frame);
    if (code != io::kOk) return Status::FromIo(code, "reading a frame to move");
    SquishFrameHeader moved = m;
    moved.FrameLength = m.MessageLength;
    EncodeFrameHeader(moved, frame.data());
    const int64_t to = *g;
    const int64_t new_gap = to + int64_t(frame.size());
    SquishFrameHeader rest = *gap;
    rest.FrameLength = static_cast<int32_t>(end - new_gap - fhs());
    // The gap's free-chain neighbours and the message's chain neighbours
    // point at the new places before the frames are written there.
    st = Repoint(*gap, to, new_gap, kFrameTypeFree);
    if (st.ok()) st = Repoint(m, at, to, kFrameTypeMessage);
    if (st.ok()) st = s_.change().Write(*s_.files().data(), uint64_t(to), frame);
    std::array<uint8_t, kFrameHeaderSize> rest_bytes;
    EncodeFrameHeader(rest, rest_bytes.data());
    if (st.ok()) st = s_.change().Write(*s_.files().data(), uint64_t(new_gap), rest_bytes);
    if (!st.ok()) return st;
    s_.Entry(k).FrameOffset = static_cast<int32_t>(to);
    *g = new_gap;
    *gap = rest;
    return Status::Ok();
  }

  uint16_t FindEntry(int32_t frame) {
    for (int64_t k = 1; k <= s_.count(); ++k) {
      if (s_.Entry(k).FrameOffset == frame) return static_cast<uint16_t>(k);
    }
    return 0;
  }

  // The gap is the last frame: off the free chain, EndFrame before it, the
  // file cut there.
  Status Finish(int64_t g, const SquishFrameHeader& gap) {
    Neighbours n;
    Status st = s_.frames().ReadNeighbours(gap, g, kFrameTypeFree, &n);
    if (st.ok()) st = s_.frames().Relink(s_.change(), gap, n);
    if (!st.ok()) return st;
    if (gap.PrevFrame == 0) s_.base().FirstFreeFrame = gap.NextFrame;
    if (gap.NextFrame == 0) s_.base().LastFreeFrame = gap.PrevFrame;
    s_.base().EndFrame = static_cast<int32_t>(g);
    return s_.change().Truncate(*s_.files().data(), uint64_t(g));
  }

  SquishSession& s_;
  const StepLimits& limits_;
  int64_t* freed_;
};

// Bytes in free frames and the slack of message frames: what a pack frees;
// *frees counts the free frames.
Status Reclaimable(SquishSession& s, uint64_t* bytes, int64_t* frees) {
  *bytes = 0;
  const int32_t fhs = s.frame_header_size();
  for (int64_t at = s.files().control().length; at + fhs <= s.base().EndFrame;) {
    SquishFrameHeader h;
    Status st = s.frames().Read(at, &h);
    if (!st.ok()) return st;
    if (h.FrameId != kFrameId || h.FrameLength < 0) return Status::Damaged("frames do not follow");
    *frees += h.FrameType == kFrameTypeFree;
    *bytes += h.FrameType == kFrameTypeFree
                  ? uint64_t(fhs) + h.FrameLength
                  : uint64_t(h.FrameLength - std::min(h.FrameLength, std::max(h.MessageLength, 0)));
    at += fhs + int64_t{h.FrameLength};
  }
  return Status::Ok();
}

// Moves the last-read pointers that name a removed Uid.
Status RemapLastRead(SquishSession& s, const std::vector<uint32_t>& removed) {
  std::vector<uint32_t> kept;
  for (int64_t k = 1; k <= s.count(); ++k) kept.push_back(uint32_t(s.Entry(k).Uid));
  std::sort(kept.begin(), kept.end());
  std::vector<uint32_t> gone = removed;
  std::sort(gone.begin(), gone.end());
  // Uids from the first kept to the last given that are gone were removed
  // too (deleted before the pack), as were those a purge deleted.
  const uint32_t lo = kept.empty() ? 0 : kept.front();
  const uint32_t hi = std::max(kept.empty() ? 0 : kept.back(),
                               uint32_t(std::max(s.base().NextUid - 1, 0)));
  KeptNumbers map(std::move(kept), std::move(gone), false, 0);
  if (hi > 0) map.RemoveRange(lo, hi);
  const std::string name = s.files().Name(kLastReadExt);
  std::unique_ptr<File> file;
  IoResult code = RetryOpen(s.files().env(), name, OpenMode::kReadWrite, &file);
  if (code == io::kFileNotFound || code == io::kPathNotFound) return Status::Ok();
  uint64_t size = 0;
  if (code == io::kOk) code = file->Size(&size);
  std::vector<uint8_t> old(size / 4 * 4);
  if (code == io::kOk) code = ReadExact(*file, 0, old);
  if (code != io::kOk) return Status::FromIo(code, "reading " + name);
  std::vector<uint8_t> now = old;
  for (size_t at = 0; at < now.size(); at += 4) {
    EncodeFixed32(now.data() + at, map.Pointer(DecodeFixed32(now.data() + at)));
  }
  if (now == old) return Status::Ok();
  s.change().Name(*file, name);
  return s.change().Overwrite(*file, 0, now, old);
}

// Reply links that name no message left become 0; *relinked counts the
// headers rewritten.
Status MendLinks(SquishSession& s, int64_t* relinked) {
  std::vector<int32_t> uids;
  for (int64_t k = 1; k <= s.count(); ++k) uids.push_back(s.Entry(k).Uid);
  std::sort(uids.begin(), uids.end());
  const auto mend = [&](int32_t* link) {
    if (*link == 0 || std::binary_search(uids.begin(), uids.end(), *link)) return false;
    *link = 0;
    return true;
  };
  SquishChange steps(s.Parts(), s.change());
  for (int64_t k = 1; k <= s.count(); ++k) {
    const SquishIndexEntry e = s.Entry(k);
    std::array<uint8_t, kMessageHeaderSize> bytes;
    const IoResult code = ReadExact(*s.files().data(),
                                    uint64_t(e.FrameOffset) + s.frame_header_size(), bytes);
    if (code != io::kOk) return Status::FromIo(code, "reading a message header");
    SquishMessageHeader h = DecodeMessageHeader(bytes.data());
    bool changed = mend(&h.ReplyTo);
    for (int32_t& reply : h.Replies) changed = mend(&reply) || changed;
    if (!changed) continue;
    Status st = steps.RewriteHeader(e.Uid, h, false);
    if (!st.ok()) return st;
    ++*relinked;
  }
  return Status::Ok();
}

}  // namespace

Status PackSquish(Env* env, std::string_view path, const PackOptions& options,
                  const StepLimits& limits, const std::vector<uint32_t>& removed,
                  MaintenanceReport* report) {
  SquishSession s(env);
  Status st = s.Open(path, options.change);
  uint64_t size = 0;
  if (st.ok()) st = Status::FromIo(s.files().data()->Size(&size), "sizing the data file");
  if (!st.ok()) return st;
  report->kept = s.count();
  if (options.dry_run) return Reclaimable(s, &report->bytes_reclaimed, &report->removed);
  int64_t cursor = 0;
  for (bool done = false; st.ok() && !done;) {
    st = s.Begin();
    if (!st.ok()) break;
    const uint64_t end = uint64_t(std::max(s.base().EndFrame, 1));
    st = Slide(s, limits, &report->removed).Step(&cursor, &done);
    if (st.ok() && done) st = MendLinks(s, &report->relinked);
    if (st.ok() && done) st = RemapLastRead(s, removed);
    if (st.ok()) st = s.Commit();
    s.Abandon();
    if (options.progress) options.progress(std::min<uint64_t>(uint64_t(cursor), end), end);
  }
  uint64_t after = 0;
  if (st.ok()) st = Status::FromIo(s.files().data()->Size(&after), "sizing the data file");
  if (st.ok() && after < size) report->bytes_reclaimed = size - after;
  return st;
}

// ---- Purging ----

Status ListSquishForPurge(Env* env, std::string_view path, std::vector<PurgeCandidate>* out,
                          SquishLimits* limits) {
  SquishSession s(env);
  Status st = s.Open(path);
  if (st.ok()) st = s.Begin();  // a consistent reading, under the lock
  if (!st.ok()) return st;
  limits->max_messages = uint32_t(std::max(s.base().MaxMessages, 0));
  limits->keep_days = s.base().KeepDays;
  limits->protected_count = uint32_t(std::max(s.base().ProtectedCount, 0));
  const int32_t fhs = s.frame_header_size();
  for (int64_t k = 1; k <= s.count() && st.ok(); ++k) {
    const SquishIndexEntry& e = s.Entry(k);
    std::array<uint8_t, kMessageHeaderSize> bytes;
    st = Status::FromIo(ReadExact(*s.files().data(), uint64_t(e.FrameOffset) + fhs, bytes),
                        "reading a message header");
    const SquishMessageHeader h = DecodeMessageHeader(bytes.data());
    const uint16_t date = uint16_t(h.DateArrived & 0xFFFF);  // the date half
    out->push_back({uint32_t(e.Uid),
                    DayNumber(uint16_t(1980 + (date >> 9)), (date >> 5) & 15, date & 31),
                    (h.Attributes & kAttrReceived) != 0});
  }
  s.Abandon();
  return st;
}

Status DeleteSquishMessages(Env* env, std::string_view path, const std::vector<uint32_t>& uids,
                            const StepLimits& limits, const ChangeOptions& change,
                            int64_t* deleted) {
  SquishSession s(env);
  Status st = s.Open(path, change);
  const size_t per_step = std::max<size_t>(1, std::min<size_t>(limits.items, limits.bytes / 256));
  for (size_t i = 0; st.ok() && i < uids.size(); i += per_step) {
    st = s.Begin();
    int64_t count = 0;
    SquishChange steps(s.Parts(), s.change());
    for (size_t j = i; st.ok() && j < std::min(uids.size(), i + per_step); ++j) {
      bool changed = false;
      st = steps.DeleteUid(int32_t(uids[j]), &changed);
      count += changed;
    }
    if (st.ok()) st = s.Commit();
    s.Abandon();
    if (st.ok()) *deleted += count;
  }
  return st;
}

}  // namespace drayline::squish
