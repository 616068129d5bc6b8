#include "squish/squish_check.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "squish/squish_format.h"
#include "support/coding.h"
#include "support/file_access.h"
#include "support/read_window.h"

namespace drayline::squish {
namespace {

// The index is read this much at a time (whole entries), and frame headers
// through a window of the same size.
constexpr size_t kIndexChunk = kIndexEntrySize * 65536;
constexpr size_t kFrameWindow = size_t{1} << 20;
constexpr uint64_t kAbsent = kAbsentFile;

std::string BaseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The read-ahead window: kFrameWindow, or less for a smaller file.
size_t WindowFor(uint64_t file_size) {
  return static_cast<size_t>(
      std::min<uint64_t>(kFrameWindow, std::max<uint64_t>(file_size, 1)));
}

std::string Num(int64_t value) { return std::to_string(value); }

// A frame met on a chain: where it lies, as far as it lies in the frames.
struct Frame {
  uint32_t offset;
  uint32_t extent;  // frame header size + FrameLength, cut to the frames
  bool free;
};

// What tells the two chains apart while they are followed.
struct Chain {
  bool free;
  int32_t first, last;  // the control record's ends
  size_t first_field, last_field;
  const char* first_name;
  const char* last_name;
};

// One scan of a base: the control record, the index, both chains, then
// the frames against each other and against the index.
class FrameScan {
 public:
  FrameScan(SquishChecker::Files& files, const ProblemSink& sink, CheckReport& report)
      : files_(files),
        sink_(sink),
        report_(report),
        sqd_size_(SizeOrAbsent(files.sqd.get())),
        window_(WindowFor(sqd_size_), kFrameWindow) {}

  Status Run();

 private:
  void Add(const std::string& file, int64_t offset, int64_t message, std::string text,
           std::span<const uint8_t> seen = {}) {
    sink_(Problem{file, offset, message, std::move(text)}, seen);
  }
  bool CheckControl(std::span<const uint8_t> bytes);
  void CheckFrameArea();
  Status ReadIndex();
  void CheckIndexValues();
  Status WalkChain(const Chain& chain);
  bool Reachable(const Chain& chain, int64_t holder, const char* link, int32_t at);
  bool CheckFrame(int32_t at, int32_t prev, const uint8_t* bytes, const Chain& chain);
  void CheckMessageLengths(int32_t at, const SquishFrameHeader& h, const uint8_t* bytes);
  void CheckLayout();
  void ReportGap(uint64_t from, uint64_t to);
  void MatchIndexAndFrames();
  void CheckLastRead();
  int64_t UidAt(int32_t frame) const;
  bool InFrames(int32_t at) const {
    return at >= header_length_ && int64_t{at} + frame_header_size_ <= limit_;
  }

  SquishChecker::Files& files_;
  const ProblemSink& sink_;
  CheckReport& report_;
  const uint64_t sqd_size_;
  ReadWindow window_;
  SquishBaseHeader control_;
  int32_t header_length_ = kBaseHeaderSize;
  int32_t frame_header_size_ = kFrameHeaderSize;
  int64_t limit_ = 0;  // end of the frames area
  uint64_t index_records_ = 0;
  std::vector<SquishIndexEntry> entries_;
  // (FrameOffset, position in the index), sorted: who points where.
  std::vector<std::pair<int32_t, uint32_t>> by_frame_;
  std::vector<Frame> frames_;
  std::unordered_map<uint32_t, bool> chain_of_;  // frame -> on the free chain
};

Status FrameScan::Run() {
  uint8_t control[kHeaderAreaSize];
  const size_t have = static_cast<size_t>(std::min<uint64_t>(sqd_size_, sizeof control));
  if (IoResult r = ReadExact(*files_.sqd, 0, std::span(control, have)); r != io::kOk) {
    return Status::FromIo(r, "reading " + files_.sqd_name);
  }
  if (!CheckControl(std::span(control, have))) return Status::Ok();
  CheckFrameArea();
  if (Status s = ReadIndex(); !s.ok()) return s;
  CheckIndexValues();
  const Chain messages{.free = false,
                       .first = control_.FirstFrame,
                       .last = control_.LastFrame,
                       .first_field = kBhFirstFrame,
                       .last_field = kBhLastFrame,
                       .first_name = "FirstFrame",
                       .last_name = "LastFrame"};
  const Chain free{.free = true,
                   .first = control_.FirstFreeFrame,
                   .last = control_.LastFreeFrame,
                   .first_field = kBhFirstFreeFrame,
                   .last_field = kBhLastFreeFrame,
                   .first_name = "FirstFreeFrame",
                   .last_name = "LastFreeFrame"};
  Status s = WalkChain(messages);
  if (s.ok()) s = WalkChain(free);
  if (!s.ok()) return s;
  CheckLayout();
  MatchIndexAndFrames();
  CheckLastRead();
  report_.messages = static_cast<int64_t>(index_records_);
  return Status::Ok();
}

// False when the control record cannot be read as one, so that nothing
// else can be checked.
bool FrameScan::CheckControl(std::span<const uint8_t> bytes) {
  const std::string& sqd = files_.sqd_name;
  uint16_t length = 0;
  if (!GetFixed16(bytes, kBhHeaderLength, &length)) {
    Add(sqd, 0, -1,
        "too short to hold a control record (" + Num(bytes.size()) + " bytes)");
    return false;
  }
  header_length_ = length == 0 ? kBaseHeaderSize : length;
  if (header_length_ < kMinHeaderLength || header_length_ > int32_t{kHeaderAreaSize}) {
    Add(sqd, kBhHeaderLength, -1,
        "HeaderLength " + Num(header_length_) + " is outside " + Num(kMinHeaderLength) +
            " to " + Num(kHeaderAreaSize));
    return false;
  }
  if (bytes.size() < size_t(header_length_)) {
    Add(sqd, 0, -1,
        "shorter than its control record (HeaderLength " + Num(header_length_) + ", " +
            Num(bytes.size()) + " bytes)");
    return false;
  }
  control_ = DecodeBaseHeader(bytes.data());
  frame_header_size_ =
      control_.FrameHeaderSize == 0 ? kFrameHeaderSize : control_.FrameHeaderSize;
  if (frame_header_size_ < kFrameHeaderSize) {
    Add(sqd, kBhFrameHeaderSize, -1,
        "FrameHeaderSize " + Num(frame_header_size_) + " cannot hold a frame header");
    return false;
  }
  if (control_.ProtectedCount < 0) {
    Add(sqd, kBhProtectedCount, -1,
        "ProtectedCount " + Num(control_.ProtectedCount) + " is negative");
  }
  if (control_.NextUid < 1) {
    Add(sqd, kBhNextUid, -1,
        "NextUid " + Num(control_.NextUid) + " is not a message number");
  }
  return true;
}

// The frames lie between the control record and EndFrame, which the file
// must reach; past a wrong EndFrame the file's end bounds them.
void FrameScan::CheckFrameArea() {
  limit_ = static_cast<int64_t>(sqd_size_);
  if (control_.EndFrame < header_length_ || uint64_t(control_.EndFrame) > sqd_size_) {
    Add(files_.sqd_name, kBhEndFrame, -1,
        "EndFrame " + Num(control_.EndFrame) + " lies outside the frames (" +
            Num(header_length_) + " to the file's end at " + Num(sqd_size_) + ")");
  } else {
    limit_ = control_.EndFrame;
  }
}

Status FrameScan::ReadIndex() {
  const std::string& sqi = files_.sqi_name;
  if (files_.sqi == nullptr) {
    Add(sqi, -1, -1, "the index file is missing");
    return Status::Ok();
  }
  const uint64_t size = SizeOrAbsent(files_.sqi.get());
  index_records_ = size / kIndexEntrySize;
  if (const uint64_t rest = size % kIndexEntrySize; rest != 0 && size != kAbsent) {
    Add(sqi, static_cast<int64_t>(size - rest), -1,
        "a partial index entry (" + Num(rest) + " bytes) at the end of the file");
  }
  // Every entry needs a message frame of its own: more cannot be sound.
  const uint64_t room = sqd_size_ / (uint64_t(frame_header_size_) + kMessageHeaderSize);
  const uint64_t keep = std::min(index_records_, room + 1);
  std::vector<uint8_t> chunk(
      static_cast<size_t>(std::min<uint64_t>(kIndexChunk, keep * kIndexEntrySize)));
  entries_.reserve(static_cast<size_t>(keep));
  for (uint64_t at = 0; at < keep * kIndexEntrySize; at += chunk.size()) {
    const size_t n = static_cast<size_t>(
        std::min<uint64_t>(chunk.size(), keep * kIndexEntrySize - at));
    if (IoResult r = ReadExact(*files_.sqi, at, std::span(chunk.data(), n));
        r != io::kOk) {
      return Status::FromIo(r, "reading " + sqi);
    }
    for (size_t i = 0; i < n; i += kIndexEntrySize) {
      entries_.push_back(DecodeIndexEntry(chunk.data() + i));
    }
  }
  for (uint32_t k = 0; k < entries_.size(); ++k) {
    by_frame_.emplace_back(entries_[k].FrameOffset, k);
  }
  std::sort(by_frame_.begin(), by_frame_.end());
  return Status::Ok();
}

// The counts against the entries, and the Uids in order below NextUid.
void FrameScan::CheckIndexValues() {
  const std::string& sqd = files_.sqd_name;
  const int64_t entries = static_cast<int64_t>(index_records_);
  if (files_.sqi != nullptr && control_.MessageCount != entries) {
    Add(sqd, kBhMessageCount, -1,
        "MessageCount is " + Num(control_.MessageCount) + " but the index has " +
            Num(entries) + " entries");
  }
  if (files_.sqi != nullptr && control_.HighMessage != entries) {
    Add(sqd, kBhHighMessage, -1,
        "HighMessage is " + Num(control_.HighMessage) + " but the index has " +
            Num(entries) + " entries");
  }
  if (entries_.size() < index_records_) {
    Add(files_.sqi_name, static_cast<int64_t>(entries_.size() * kIndexEntrySize), -1,
        "the index has more entries than the data file has room for frames");
  }
  int32_t highest = 0;
  for (size_t k = 0; k < entries_.size(); ++k) {
    const SquishIndexEntry& e = entries_[k];
    if (k > 0 && e.Uid <= entries_[k - 1].Uid) {
      uint8_t bytes[kIndexEntrySize];
      EncodeIndexEntry(e, bytes);
      Add(files_.sqi_name, static_cast<int64_t>(k * kIndexEntrySize), e.Uid,
          "Uid " + Num(e.Uid) + " is not above the Uid " + Num(entries_[k - 1].Uid) +
              " of the entry before it",
          bytes);
    }
    highest = std::max(highest, e.Uid);
  }
  if (!entries_.empty() && control_.NextUid <= highest) {
    Add(sqd, kBhNextUid, -1,
        "NextUid " + Num(control_.NextUid) + " is not above the highest Uid " +
            Num(highest));
  }
}

// Follows a chain from its first end; every frame it reaches is checked
// and recorded, and the last one must be the control record's other end.
Status FrameScan::WalkChain(const Chain& chain) {
  int64_t holder = static_cast<int64_t>(chain.first_field);
  const char* link = chain.first_name;
  int32_t prev = 0;
  for (int32_t at = chain.first; at != 0;) {
    if (!Reachable(chain, holder, link, at)) return Status::Ok();
    uint8_t bytes[kFrameHeaderSize];
    size_t done = 0;
    IoResult r = window_.Read(*files_.sqd, uint64_t(at), bytes, &done);
    if (r == io::kOk && done != sizeof bytes) r = io::kReadPastEnd;
    if (r != io::kOk) return Status::FromIo(r, "reading " + files_.sqd_name);
    if (!CheckFrame(at, prev, bytes, chain)) return Status::Ok();
    prev = at;
    holder = int64_t{at} + kFhNextFrame;
    link = "NextFrame";
    at = DecodeFrameHeader(bytes).NextFrame;
  }
  if (prev != chain.last) {
    Add(files_.sqd_name, static_cast<int64_t>(chain.last_field), -1,
        std::string(chain.last_name) + " is " + Num(chain.last) +
            " but the chain ends at " + Num(prev));
  }
  return Status::Ok();
}

// Whether the link stored at holder may be followed to at: a frame inside
// the frames area that no chain has reached yet.
bool FrameScan::Reachable(const Chain& chain, int64_t holder, const char* link,
                          int32_t at) {
  uint8_t value[4];  // the link as read: what a second look compares
  EncodeFixed32Signed(value, at);
  const auto where = [&] { return std::string(link) + " " + Num(at); };
  if (!InFrames(at)) {
    Add(files_.sqd_name, holder, -1, where() + " points outside the frames", value);
    return false;
  }
  if (auto [it, fresh] = chain_of_.emplace(at, chain.free); !fresh) {
    Add(files_.sqd_name, holder, -1,
        where() + (it->second == chain.free ? " leads back into its own chain"
                                            : " leads to a frame of the other chain"),
        value);
    return false;
  }
  return true;
}

// False when the bytes are no frame header, which ends the walk.
bool FrameScan::CheckFrame(int32_t at, int32_t prev, const uint8_t* bytes,
                           const Chain& chain) {
  const std::string& sqd = files_.sqd_name;
  const std::span<const uint8_t> seen(bytes, kFrameHeaderSize);
  const SquishFrameHeader h = DecodeFrameHeader(bytes);
  const int64_t uid = UidAt(at);
  if (h.FrameId != kFrameId) {
    Add(sqd, at, uid, "no frame here (no frame id)", seen);
    return false;
  }
  const uint16_t type = chain.free ? kFrameTypeFree : kFrameTypeMessage;
  if (h.FrameType != type) {
    Add(sqd, at, uid,
        "FrameType " + Num(h.FrameType) + " on the " +
            (chain.free ? "free chain" : "message chain"),
        seen);
  }
  if (h.PrevFrame != prev) {
    Add(sqd, at, uid,
        "PrevFrame is " + Num(h.PrevFrame) + " but the frame before it is at " +
            Num(prev),
        seen);
  }
  const int64_t room = limit_ - at - frame_header_size_;
  if (h.FrameLength < 0 || h.FrameLength > room) {
    Add(sqd, at, uid,
        "the frame (FrameLength " + Num(h.FrameLength) +
            ") runs past the end of the frames",
        seen);
  }
  if (!chain.free) CheckMessageLengths(at, h, bytes);
  const int64_t length = std::clamp<int64_t>(h.FrameLength, 0, room);
  frames_.push_back({uint32_t(at), uint32_t(frame_header_size_ + length), chain.free});
  return true;
}

// A message frame holds its message: header and control information in
// MessageLength, and MessageLength in FrameLength.
void FrameScan::CheckMessageLengths(int32_t at, const SquishFrameHeader& h,
                                    const uint8_t* bytes) {
  const std::span<const uint8_t> seen(bytes, kFrameHeaderSize);
  if (h.ControlLength < 0 ||
      int64_t{h.MessageLength} < int64_t{kMessageHeaderSize} + h.ControlLength) {
    Add(files_.sqd_name, at, UidAt(at),
        "MessageLength " + Num(h.MessageLength) +
            " cannot hold the message header and ControlLength " + Num(h.ControlLength),
        seen);
  } else if (h.MessageLength > h.FrameLength) {
    Add(files_.sqd_name, at, UidAt(at),
        "MessageLength " + Num(h.MessageLength) + " is more than FrameLength " +
            Num(h.FrameLength),
        seen);
  }
}

// Sorted by offset, the frames tile the frames area: a frame that starts
// before the furthest end seen so far overlaps the frame that reaches
// there, and bytes before the next frame belong to no chain (a frame
// lost to both, or space never used).
void FrameScan::CheckLayout() {
  std::sort(frames_.begin(), frames_.end(),
            [](const Frame& a, const Frame& b) { return a.offset < b.offset; });
  uint64_t reach = uint64_t(header_length_);
  uint32_t owner = 0;
  for (const Frame& f : frames_) {
    if (f.offset < reach) {
      Add(files_.sqd_name, f.offset, UidAt(int32_t(f.offset)),
          "the frame overlaps the frame at " + Num(owner));
    } else if (f.offset > reach) {
      ReportGap(reach, f.offset);
    }
    if (uint64_t{f.offset} + f.extent > reach) {
      reach = uint64_t{f.offset} + f.extent;
      owner = f.offset;
    }
  }
  if (uint64_t(limit_) > reach) ReportGap(reach, uint64_t(limit_));
}

void FrameScan::ReportGap(uint64_t from, uint64_t to) {
  Add(files_.sqd_name, static_cast<int64_t>(from), -1,
      Num(static_cast<int64_t>(to - from)) +
          " bytes of the frames area are on no chain (a lost frame)");
}

// Each entry points at a message frame of its own, and each message frame
// has an entry.
void FrameScan::MatchIndexAndFrames() {
  if (files_.sqi == nullptr) return;
  std::vector<int32_t> message_frames;
  for (const Frame& f : frames_) {
    if (!f.free) message_frames.push_back(int32_t(f.offset));
  }  // frames_ is sorted by offset: so is message_frames
  for (size_t i = 0; i < by_frame_.size(); ++i) {
    const auto [frame, k] = by_frame_[i];
    uint8_t bytes[kIndexEntrySize];
    EncodeIndexEntry(entries_[k], bytes);
    const int64_t offset = int64_t{k} * int64_t{kIndexEntrySize};
    if (i > 0 && by_frame_[i - 1].first == frame) {
      Add(files_.sqi_name, offset, entries_[k].Uid,
          "points at the frame of message " + Num(entries_[by_frame_[i - 1].second].Uid) +
              " too (FrameOffset " + Num(frame) + ")",
          bytes);
    } else if (!std::binary_search(message_frames.begin(), message_frames.end(), frame)) {
      Add(files_.sqi_name, offset, entries_[k].Uid,
          "points at no frame of the message chain (FrameOffset " + Num(frame) + ")",
          bytes);
    }
  }
  for (int32_t frame : message_frames) {
    if (UidAt(frame) < 0)
      Add(files_.sqd_name, frame, -1, "a message frame with no index entry");
  }
}

void FrameScan::CheckLastRead() {
  const uint64_t size = SizeOrAbsent(files_.sql.get());
  if (const uint64_t rest = size % 4; rest != 0 && size != kAbsent) {
    Add(files_.sql_name, static_cast<int64_t>(size - rest), -1,
        "a partial last-read record (" + Num(rest) + " bytes) at the end of the file");
  }
}

// The Uid of the first entry that points at frame, or -1.
int64_t FrameScan::UidAt(int32_t frame) const {
  const auto it = std::lower_bound(by_frame_.begin(), by_frame_.end(),
                                   std::pair<int32_t, uint32_t>(frame, 0));
  if (it == by_frame_.end() || it->first != frame) return -1;
  return entries_[it->second].Uid;
}

}  // namespace

Status SquishChecker::Open(Env* env, std::string_view path,
                           std::unique_ptr<SquishChecker>* out) {
  const std::string full(path);
  const std::string shown = BaseName(path);
  Files files;
  files.sqd_name = shown + std::string(kDataExt);
  files.sqi_name = shown + std::string(kIndexExt);
  files.sql_name = shown + std::string(kLastReadExt);
  files.journal_path = full + std::string(kJournalSuffix);
  bool lockable = true;
  if (Status s = OpenLockFile(env, full + std::string(kDataExt), files.sqd_name,
                              &files.sqd, &lockable);
      !s.ok()) {
    return s;
  }
  Status s =
      OpenIfPresent(env, full + std::string(kIndexExt), files.sqi_name, &files.sqi);
  if (s.ok()) {
    s = OpenIfPresent(env, full + std::string(kLastReadExt), files.sql_name, &files.sql);
  }
  if (!s.ok()) return s;
  out->reset(new SquishChecker(env, std::move(files), lockable));
  return Status::Ok();
}

Status SquishChecker::Scan(const ProblemSink& sink, CheckReport* report) {
  if (env_->Exists(files_.journal_path)) {
    sink({BaseName(files_.journal_path), -1, -1,
          "a change was interrupted; run draybase repair"},
         {});
  }
  return FrameScan(files_, sink, *report).Run();
}

Status SquishChecker::Fingerprint(std::vector<uint8_t>* out) {
  return FingerprintFiles(env_, NamedFiles(), files_.journal_path, *files_.sqd, files_.sqd_name,
                          kHeaderAreaSize, out);
}

Status SquishChecker::ReadAt(std::string_view file, uint64_t offset,
                             std::span<uint8_t> out) {
  return ReadNamedFile(NamedFiles(), file, offset, out);
}

}  // namespace drayline::squish
