#include "squish/squish_repair.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "drayline/check.h"
#include "squish/squish_format.h"
#include "squish/squish_header.h"
#include "support/change.h"
#include "support/coding.h"

namespace drayline::squish {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kNone = SIZE_MAX;

std::string Num(int64_t value) { return std::to_string(value); }

// A frame found in the data file.
struct Frame {
  size_t offset = 0;
  int32_t length = 0;       // FrameLength as it will be
  SquishFrameHeader header; // as stored; none for bytes without a frame
  bool made = false;        // bytes without a frame, made into one
  bool readable = false;    // a message frame whose message fits it
  int32_t uid = 0;          // the Uid it is kept under (0: free)
  uint32_t hash = 0;
  // Why a readable message frame needs a new Uid (null: it keeps one).
  const char* why_new = "it had no index entry";
  bool reported = false;  // dropped, with a line saying why
};

// The frames of a data file for one HeaderLength and FrameHeaderSize.
class FrameWalk {
 public:
  FrameWalk(const Bytes& sqd, size_t header_length, size_t frame_header_size)
      : sqd_(sqd), header_size_(frame_header_size) {
    Walk(header_length);
  }

  std::vector<Frame>& frames() { return frames_; }
  size_t end() const { return end_; }
  size_t readable() const {
    return static_cast<size_t>(std::count_if(frames_.begin(), frames_.end(),
                                             [](const Frame& f) { return f.readable; }));
  }

 private:
  bool IdAt(size_t at) const {
    return at <= sqd_.size() && sqd_.size() - at >= header_size_ &&
           DecodeFixed32(&sqd_[at]) == kFrameId;
  }
  // The first offset from `from` on where a frame id starts, or kNone.
  size_t NextId(size_t from) const {
    uint8_t id[4];
    EncodeFixed32(id, kFrameId);
    for (size_t at = from; at < sqd_.size(); ++at) {
      at = static_cast<size_t>(
          std::search(sqd_.begin() + static_cast<long>(at), sqd_.end(), id, id + 4) -
          sqd_.begin());
      if (IdAt(at)) return at;
    }
    return kNone;
  }
  void Walk(size_t at);
  size_t FrameEnd(size_t at, const SquishFrameHeader& h) const;
  bool Readable(const Frame& f) const;

  const Bytes& sqd_;
  const size_t header_size_;
  std::vector<Frame> frames_;
  size_t end_ = 0;
};

void FrameWalk::Walk(size_t at) {
  while (at < sqd_.size()) {
    if (IdAt(at)) {
      Frame f;
      f.offset = at;
      f.header = DecodeFrameHeader(&sqd_[at]);
      at = FrameEnd(at, f.header);
      f.length = static_cast<int32_t>(at - f.offset - header_size_);
      f.readable = Readable(f);
      frames_.push_back(f);
      continue;
    }
    size_t next = NextId(at + 1);
    // Bytes too few for a frame of their own go to the frame before them;
    // before the first frame, the frame after them goes with them.
    while (next != kNone && next - at < header_size_ && frames_.empty()) {
      next = NextId(next + 1);
    }
    if (next == kNone) break;  // nothing more can be read: cut here
    if (next - at >= header_size_) {
      frames_.push_back(Frame{at, static_cast<int32_t>(next - at - header_size_), {}, true});
    } else {
      frames_.back().length += static_cast<int32_t>(next - at);
    }
    at = next;
  }
  end_ = std::min(at, sqd_.size());
}

// Where the frame at `at` ends: after FrameLength when that meets the next
// frame id or the file's end (or no frame id follows at all), else at the
// next frame id.
size_t FrameWalk::FrameEnd(size_t at, const SquishFrameHeader& h) const {
  const size_t room = sqd_.size() - at - header_size_;
  const bool fits = h.FrameLength >= 0 && size_t(h.FrameLength) <= room;
  const size_t stated = at + header_size_ + (fits ? size_t(h.FrameLength) : room);
  if (fits && (stated == sqd_.size() || IdAt(stated))) return stated;
  const size_t next = NextId(at + header_size_);
  return next == kNone ? stated : next;
}

bool FrameWalk::Readable(const Frame& f) const {
  const SquishFrameHeader& h = f.header;
  return !f.made && h.FrameType == kFrameTypeMessage && h.ControlLength >= 0 &&
         int64_t{h.MessageLength} >= int64_t{kMessageHeaderSize} + h.ControlLength &&
         h.MessageLength <= f.length;
}

// Why a frame's message cannot be read.
std::string Unreadable(const Frame& f) {
  const SquishFrameHeader& h = f.header;
  if (h.FrameType != kFrameTypeMessage) return "FrameType " + Num(h.FrameType);
  return "MessageLength " + Num(h.MessageLength) + " and ControlLength " +
         Num(h.ControlLength) + " do not fit a frame of " + Num(f.length) + " bytes";
}

// The longest run of strictly increasing Uids, in index order: the
// entries outside it are not sound (their Uids break the order).
std::vector<bool> IncreasingRun(const std::vector<int32_t>& uids) {
  std::vector<size_t> tails, before(uids.size(), kNone);
  for (size_t i = 0; i < uids.size(); ++i) {
    const auto it = std::lower_bound(tails.begin(), tails.end(), uids[i],
                                     [&](size_t k, int32_t uid) { return uids[k] < uid; });
    if (it != tails.begin()) before[i] = *(it - 1);
    if (it == tails.end()) {
      tails.push_back(i);
    } else {
      *it = i;
    }
  }
  std::vector<bool> in(uids.size(), false);
  for (size_t i = tails.empty() ? kNone : tails.back(); i != kNone; i = before[i]) {
    in[i] = true;
  }
  return in;
}

class SquishRepair {
 public:
  SquishRepair(Env* env, std::string_view path, const ChangeOptions& options,
               RepairReport* report)
      : env_(env), path_(path), options_(options), report_(*report) {}

  Status Run(const BeforeRepair& before);

 private:
  std::string Name(std::string_view ext) const { return path_ + std::string(ext); }
  Status OpenOthers();
  Status Load();
  void ChooseSizes();
  void MatchIndex();
  void GiveNewUids();
  Bytes NewControl(const std::vector<Frame*>& messages, const std::vector<Frame*>& free);
  Status Write(RepairWriter& writer);
  Status WriteChain(RepairWriter& writer, const std::vector<Frame*>& chain, uint16_t type);

  Env* env_;
  std::string path_;
  ChangeOptions options_;
  RepairReport& report_;
  std::unique_ptr<File> sqd_file_, sqi_file_, sql_file_;
  Bytes sqd_, sqi_, sql_;
  SquishBaseHeader control_;
  size_t header_length_ = kBaseHeaderSize;
  size_t frame_header_size_ = kFrameHeaderSize;
  std::vector<Frame> frames_;  // in file order
  size_t end_ = 0;             // where the frames end
  int32_t next_uid_ = 1;
};

Status SquishRepair::Run(const BeforeRepair& before) {
  const RepairJournal journal{path_ + std::string(kJournalSuffix), kBaseHeaderSize, options_};
  return RepairUnderLock(
      env_, Name(kDataExt), journal, &sqd_file_, before,
      [&](RepairWriter& writer) {
        if (Status s = OpenOthers(); !s.ok()) return s;
        writer.Name(sqi_file_, Name(kIndexExt));
        writer.Name(sql_file_, Name(kLastReadExt));
        if (Status s = Load(); !s.ok()) return s;
        ChooseSizes();
        MatchIndex();
        GiveNewUids();
        return Write(writer);
      },
      &report_.changed);
}

Status SquishRepair::OpenOthers() {
  Status s = OpenForRepair(env_, Name(kIndexExt), true, &sqi_file_);
  return s.ok() ? OpenForRepair(env_, Name(kLastReadExt), false, &sql_file_) : s;
}

Status SquishRepair::Load() {
  Status s = ReadWholeFile(*sqd_file_, Name(kDataExt), INT32_MAX, &sqd_);
  if (s.ok()) s = ReadWholeFile(*sqi_file_, Name(kIndexExt), INT32_MAX, &sqi_);
  if (s.ok() && sql_file_ != nullptr) {
    s = ReadWholeFile(*sql_file_, Name(kLastReadExt), INT32_MAX, &sql_);
  }
  Bytes control(kHeaderAreaSize, 0);
  std::copy_n(sqd_.begin(), std::min(sqd_.size(), control.size()), control.begin());
  control_ = DecodeBaseHeader(control.data());
  return s;
}

// The declared sizes when they are possible, else the usual ones; when
// they differ, the walk that reads more messages (then more frames) wins.
void SquishRepair::ChooseSizes() {
  const size_t declared_length = control_.HeaderLength == 0 ? kBaseHeaderSize : control_.HeaderLength;
  const size_t declared_frame =
      control_.FrameHeaderSize == 0 ? kFrameHeaderSize : control_.FrameHeaderSize;
  std::vector<size_t> lengths = {kBaseHeaderSize}, sizes = {kFrameHeaderSize};
  if (declared_length >= kMinHeaderLength && declared_length <= kHeaderAreaSize) {
    lengths.insert(lengths.begin(), declared_length);
  }
  if (declared_frame >= kFrameHeaderSize) sizes.insert(sizes.begin(), declared_frame);
  std::pair<size_t, size_t> best{0, 0};
  bool first = true;
  for (size_t length : lengths) {
    for (size_t size : sizes) {
      FrameWalk walk(sqd_, length, size);
      const std::pair<size_t, size_t> score{walk.readable(), walk.frames().size()};
      if (!first && score <= best) continue;
      first = false;
      best = score;
      header_length_ = length;
      frame_header_size_ = size;
      frames_ = std::move(walk.frames());
      end_ = walk.end();
    }
  }
  if (header_length_ != declared_length) {
    report_.fixed.push_back("HeaderLength " + Num(control_.HeaderLength) + " is now " +
                            Num(header_length_));
  }
  if (frame_header_size_ != declared_frame) {
    report_.fixed.push_back("FrameHeaderSize " + Num(control_.FrameHeaderSize) +
                            " is now " + Num(frame_header_size_));
  }
  end_ = std::max(end_, header_length_);
}

// Each entry that points at a readable message frame no earlier entry
// took, with a Uid above 0, is a candidate; the candidates whose Uids keep
// the longest increasing run are sound and give their frames their Uids.
void SquishRepair::MatchIndex() {
  std::vector<std::pair<Frame*, SquishIndexEntry>> candidates;
  for (size_t at = 0; at + kIndexEntrySize <= sqi_.size(); at += kIndexEntrySize) {
    const SquishIndexEntry e = DecodeIndexEntry(&sqi_[at]);
    const auto it = std::lower_bound(
        frames_.begin(), frames_.end(), e.FrameOffset,
        [](const Frame& f, int32_t offset) { return int64_t(f.offset) < offset; });
    const std::string entry = "message " + Num(e.Uid) + " (index entry at offset " +
                              Num(static_cast<int64_t>(at)) + "): ";
    if (it == frames_.end() || int64_t(it->offset) != e.FrameOffset || it->made) {
      report_.dropped.push_back(entry + "no frame at offset " + Num(e.FrameOffset));
    } else if (!it->readable) {
      if (!it->reported) {
        report_.dropped.push_back(entry + "the frame at offset " + Num(e.FrameOffset) +
                                  ": " + Unreadable(*it));
      }
      it->reported = true;
    } else if (e.Uid < 1) {
      it->why_new = "its index entry's Uid is not a message number";
    } else if (std::none_of(candidates.begin(), candidates.end(),
                            [&](const auto& c) { return c.first == &*it; })) {
      candidates.emplace_back(&*it, e);
    }
  }
  std::vector<int32_t> uids;
  for (const auto& c : candidates) uids.push_back(c.second.Uid);
  const std::vector<bool> sound = IncreasingRun(uids);
  for (size_t i = 0; i < candidates.size(); ++i) {
    Frame& f = *candidates[i].first;
    if (sound[i]) {
      f.uid = candidates[i].second.Uid;
      f.hash = candidates[i].second.NameHash;
    } else {
      f.why_new = "the Uid of its index entry is out of order";
    }
  }
  for (Frame& f : frames_) {
    if (f.made || f.readable || f.reported || f.header.FrameType != kFrameTypeMessage) {
      continue;
    }
    report_.dropped.push_back("the message frame at offset " + Num(int64_t(f.offset)) + ": " +
                              Unreadable(f));
  }
}

// Readable message frames without a sound entry get Uids above the
// highest kept one, in file order; NextUid goes past every Uid.
void SquishRepair::GiveNewUids() {
  int64_t next = 1;
  for (const Frame& f : frames_) next = std::max<int64_t>(next, int64_t{f.uid} + 1);
  for (Frame& f : frames_) {
    if (!f.readable || f.uid != 0) continue;
    const std::string where = " (frame at offset " + Num(int64_t(f.offset)) + ")";
    if (next > INT32_MAX) {
      report_.dropped.push_back("the message" + where + ": no Uid is left for it");
      continue;
    }
    f.uid = static_cast<int32_t>(next++);
    f.hash = NameHash(StoredTo(DecodeMessageHeader(&sqd_[f.offset + frame_header_size_])));
    report_.renumbered.push_back("message " + Num(f.uid) + where + ": " + f.why_new);
  }
  next_uid_ = static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(control_.NextUid, next),
                                                     INT32_MAX));
}

Bytes SquishRepair::NewControl(const std::vector<Frame*>& messages,
                               const std::vector<Frame*>& free) {
  SquishBaseHeader c = control_;
  if (c.HeaderLength != 0 || header_length_ != kBaseHeaderSize) {
    c.HeaderLength = static_cast<uint16_t>(header_length_);
  }
  if (c.FrameHeaderSize != 0 || frame_header_size_ != kFrameHeaderSize) {
    c.FrameHeaderSize = static_cast<uint16_t>(frame_header_size_);
  }
  c.MessageCount = c.HighMessage = static_cast<int32_t>(messages.size());
  c.ProtectedCount = std::max(c.ProtectedCount, 0);
  c.NextUid = next_uid_;
  const auto ends = [](const std::vector<Frame*>& chain, int32_t* first, int32_t* last) {
    *first = chain.empty() ? 0 : static_cast<int32_t>(chain.front()->offset);
    *last = chain.empty() ? 0 : static_cast<int32_t>(chain.back()->offset);
  };
  ends(messages, &c.FirstFrame, &c.LastFrame);
  ends(free, &c.FirstFreeFrame, &c.LastFreeFrame);
  c.EndFrame = static_cast<int32_t>(end_);
  Bytes image(header_length_, 0);
  std::copy_n(sqd_.begin(), std::min(sqd_.size(), image.size()), image.begin());
  EncodeBaseHeader(c, image.data());
  return image;
}

// Links the frames of a chain in the order given.
Status SquishRepair::WriteChain(RepairWriter& writer, const std::vector<Frame*>& chain,
                                uint16_t type) {
  for (size_t i = 0; i < chain.size(); ++i) {
    const Frame& f = *chain[i];
    SquishFrameHeader h = f.made ? SquishFrameHeader{} : f.header;
    h.FrameId = kFrameId;
    h.NextFrame = i + 1 < chain.size() ? static_cast<int32_t>(chain[i + 1]->offset) : 0;
    h.PrevFrame = i > 0 ? static_cast<int32_t>(chain[i - 1]->offset) : 0;
    h.FrameLength = f.length;
    h.FrameType = type;
    uint8_t bytes[kFrameHeaderSize];
    EncodeFrameHeader(h, bytes);
    Status s = writer.Put(*sqd_file_, f.offset, bytes,
                          std::span(sqd_).subspan(f.offset, kFrameHeaderSize));
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

Status SquishRepair::Write(RepairWriter& writer) {
  std::vector<Frame*> messages, free;
  for (Frame& f : frames_) {
    (f.uid != 0 ? messages : free).push_back(&f);
    if (f.made) {
      report_.fixed.push_back(Num(f.length + int64_t(frame_header_size_)) + " bytes at offset " +
                              Num(int64_t(f.offset)) + " held no frame: now a free frame");
    }
  }
  std::stable_sort(messages.begin(), messages.end(),
                   [](const Frame* a, const Frame* b) { return a->uid < b->uid; });
  Bytes index;
  for (const Frame* f : messages) {
    report_.kept.push_back("message " + Num(f->uid) + " (frame at offset " +
                           Num(int64_t(f->offset)) + ")");
    uint8_t entry[kIndexEntrySize];
    EncodeIndexEntry({static_cast<int32_t>(f->offset), f->uid, f->hash}, entry);
    index.insert(index.end(), entry, entry + sizeof entry);
  }
  const size_t have = std::min(sqd_.size(), header_length_);
  Status s = writer.Put(*sqd_file_, 0, NewControl(messages, free), std::span(sqd_).first(have));
  if (s.ok()) s = WriteChain(writer, messages, kFrameTypeMessage);
  if (s.ok()) s = WriteChain(writer, free, kFrameTypeFree);
  if (s.ok() && end_ < sqd_.size()) {
    report_.fixed.push_back("the data file is cut at offset " + Num(int64_t(end_)) + " (" +
                            Num(int64_t(sqd_.size() - end_)) + " bytes hold no frame)");
    s = writer.Cut(*sqd_file_, end_, sqd_);
  }
  if (s.ok()) s = writer.Replace(*sqi_file_, index, sqi_);
  if (s.ok() && sql_.size() % 4 != 0) {
    report_.fixed.push_back("a partial last-read record at offset " +
                            Num(int64_t(sql_.size() / 4 * 4)) + " is cut off");
    s = writer.Cut(*sql_file_, sql_.size() / 4 * 4, sql_);
  }
  return s;
}

}  // namespace

Status RepairSquish(Env* env, std::string_view path, const ChangeOptions& options,
                    const BeforeRepair& before, RepairReport* report) {
  return SquishRepair(env, path, options, report).Run(before);
}

}  // namespace drayline::squish
