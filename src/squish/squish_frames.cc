#include "squish/squish_frames.h"

#include <algorithm>
#include <array>
#include <new>
#include <string>

#include "support/coding.h"
#include "support/file_access.h"
#include "support/read_window.h"

namespace drayline::squish {

Status FrameStore::Damaged(int64_t offset, const char* why) const {
  return Status::Damaged("frame at offset " + std::to_string(offset) + " of " +
                         files_.Name(kDataExt) + " " + why);
}

Status FrameStore::Read(int64_t offset, SquishFrameHeader* header) const {
  File* data = files_.data();
  if (data == nullptr) {
    return Status(StatusCode::kNotOpen, io::kNotOpen,
                  files_.Name(kDataExt) + " is not open");
  }
  if (offset < 0) return Status::FromIo(io::kReadPastEnd, "a negative frame offset");
  std::array<uint8_t, kFrameHeaderSize> bytes;
  IoResult code = ReadExact(*data, uint64_t(offset), bytes);
  if (code != io::kOk) {
    return Status::FromIo(code, "reading the frame at offset " +
                                    std::to_string(offset) + " of " +
                                    files_.Name(kDataExt));
  }
  *header = DecodeFrameHeader(bytes.data());
  return Status::Ok();
}

Status FrameStore::ReadSound(int64_t offset, uint16_t type,
                             SquishFrameHeader* header) const {
  const ControlRecord& control = files_.control();
  const int64_t end = control.fields.EndFrame;
  if (offset < control.length || offset + control.frame_header_size > end) {
    return Damaged(offset, "lies outside the frames");
  }
  Status s = Read(offset, header);
  if (!s.ok()) return s;
  if (header->FrameId != kFrameId) return Damaged(offset, "carries no frame id");
  if (header->FrameType != type) {
    return Damaged(offset, type == kFrameTypeFree ? "is no free frame"
                                                  : "is no message frame");
  }
  // A free frame is written over up to its length: all of it must lie
  // within the base's frames.
  if (type == kFrameTypeFree &&
      (header->FrameLength < 0 ||
       offset + control.frame_header_size + header->FrameLength > end)) {
    return Damaged(offset, "runs past EndFrame");
  }
  return Status::Ok();
}

Status FrameStore::CheckEndsBy(int64_t offset, const SquishFrameHeader& header,
                               int64_t end) const {
  const int64_t frame_end =
      offset + files_.control().frame_header_size + int64_t{header.FrameLength};
  if (header.FrameLength < 0 || frame_end > end) {
    return Damaged(offset, ("ends at " + std::to_string(frame_end) + ", past EndFrame " +
                            std::to_string(end)).c_str());
  }
  return Status::Ok();
}

Status FrameStore::ReadNeighbours(const SquishFrameHeader& header,
                                  int64_t offset, uint16_t chain_type,
                                  Neighbours* out) const {
  const int32_t prev = header.PrevFrame;
  const int32_t next = header.NextFrame;
  // Relinking such a frame would write over the frame at hand.
  if (prev == offset || next == offset || (prev != 0 && prev == next)) {
    return Damaged(offset, "is linked to itself");
  }
  if (prev != 0) {
    Status s = ReadSound(prev, chain_type, &out->prev);
    if (!s.ok()) return s;
  }
  if (next != 0) return ReadSound(next, chain_type, &out->next);
  return Status::Ok();
}

Status FrameStore::Write(Change& change, int64_t offset,
                         const SquishFrameHeader& header,
                         const SquishFrameHeader& old) const {
  File* data = files_.data();
  if (data == nullptr) {
    return Status(StatusCode::kNotOpen, io::kNotOpen,
                  files_.Name(kDataExt) + " is not open");
  }
  if (offset < 0) return Status::FromIo(io::kDiskWriteError, "a negative frame offset");
  std::array<uint8_t, kFrameHeaderSize> bytes;
  std::array<uint8_t, kFrameHeaderSize> old_bytes;
  EncodeFrameHeader(header, bytes.data());
  EncodeFrameHeader(old, old_bytes.data());
  return change.Overwrite(*data, uint64_t(offset), bytes, old_bytes);
}

Status FrameStore::Relink(Change& change, const SquishFrameHeader& header,
                          const Neighbours& n) const {
  if (header.PrevFrame != 0) {
    SquishFrameHeader changed = n.prev;
    changed.NextFrame = header.NextFrame;
    Status s = Write(change, header.PrevFrame, changed, n.prev);
    if (!s.ok()) return s;
  }
  if (header.NextFrame != 0) {
    SquishFrameHeader changed = n.next;
    changed.PrevFrame = header.PrevFrame;
    return Write(change, header.NextFrame, changed, n.next);
  }
  return Status::Ok();
}

bool FreeTable::Allocate() {
  slots_.reset(new (std::nothrow) Slot[kFreeTableSize]);
  return slots_ != nullptr;
}

namespace {

// The offsets of the frames a walk along the free chain has met: open
// addressing over twice as many cells as the walk may meet frames.
class MetFrames {
 public:
  // False when offset (never 0) was met before.
  bool Insert(int32_t offset) {
    uint32_t i = (uint32_t(offset) * 2654435761u) >> (32 - kBits);
    for (; cells_[i] != 0; i = (i + 1) & (kCells - 1)) {
      if (cells_[i] == offset) return false;
    }
    cells_[i] = offset;
    return true;
  }

 private:
  static constexpr int kBits = 10;
  static constexpr uint32_t kCells = 1u << kBits;
  static_assert(kCells >= 2 * kFreeTableSize);
  std::array<int32_t, kCells> cells_{};
};

// Free frames within this many bytes after the last one are read from one
// window of the data file.
constexpr size_t kFreeWalkWindow = 32 * 1024;
// A frame further on than this from the last read is read alone.
constexpr uint64_t kFreeWalkGap = 4 * kFreeWalkWindow;

// Reads the headers along the free chain through a window, checked as
// ReadSound checks a free frame, for the cost of a few comparisons each
// where the window holds them: a post reads up to 500 of them.
class FreeChainReader {
 public:
  explicit FreeChainReader(const SquishFiles& files)
      : data_(files.data()),
        first_frame_(files.control().length),
        header_size_(files.control().frame_header_size),
        end_(files.control().fields.EndFrame),
        window_(kFreeWalkWindow, kFreeWalkGap) {}

  // The free frame at offset: its length and the next frame of the chain;
  // false when it is not a sound free frame or cannot be read.
  bool Read(int32_t offset, int32_t* length, int32_t* next) {
    if (data_ == nullptr || offset < first_frame_ ||
        int64_t{offset} + header_size_ > end_) {
      return false;
    }
    const uint8_t* h = Header(uint64_t(offset));
    if (h == nullptr || DecodeFixed32(h + kFhFrameId) != kFrameId ||
        DecodeFixed16(h + kFhFrameType) != kFrameTypeFree) {
      return false;
    }
    *length = DecodeFixed32Signed(h + kFhFrameLength);
    *next = DecodeFixed32Signed(h + kFhNextFrame);
    return *length >= 0 && int64_t{offset} + header_size_ + *length <= end_;
  }

 private:
  // The header's bytes at offset, or nullptr when they cannot be read.
  const uint8_t* Header(uint64_t offset) {
    if (offset >= held_at_ && offset - held_at_ + kFrameHeaderSize <= held_.size()) {
      return held_.data() + (offset - held_at_);
    }
    size_t done = 0;
    if (window_.Read(*data_, offset, copy_, &done) != io::kOk ||
        done != kFrameHeaderSize) {
      return nullptr;
    }
    // What the window now holds from here on, or the header read alone.
    held_ = window_.Peek(offset, kFreeWalkWindow);
    if (held_.size() < kFrameHeaderSize) held_ = copy_;
    held_at_ = offset;
    return held_.data();
  }

  File* data_;
  int64_t first_frame_, header_size_, end_;
  ReadWindow window_;
  std::array<uint8_t, kFrameHeaderSize> copy_;
  std::span<const uint8_t> held_;
  uint64_t held_at_ = 0;
};

}  // namespace

void FreeTable::Load(const FrameStore& frames, int32_t first_free) {
  std::fill_n(slots_.get(), kFreeTableSize, Slot{});
  loaded_ = true;
  MetFrames met;
  FreeChainReader chain(frames.files());
  size_t n = 0;
  for (int32_t p = first_free; p != 0 && n < kFreeTableSize;) {
    int32_t length = 0, next = 0;
    if (!chain.Read(p, &length, &next)) break;
    // A chain that comes back to a frame already met is a loop.
    if (!met.Insert(p)) break;
    slots_[n++] = Slot{p, length};
    p = next;
  }
  used_ = static_cast<uint16_t>(n);
}

Status FreeTable::Choose(const FrameStore& frames, const SquishBaseHeader& base,
                         int32_t* size, int32_t* offset,
                         SquishFrameHeader* chosen) {
  if (!loaded_) Load(frames, base.FirstFreeFrame);
  Slot* best = nullptr;
  for (size_t j = 0; j < used_; ++j) {
    Slot& slot = slots_[j];
    if (slot.offset == 0 || slot.length <= *size) continue;
    if (best == nullptr || slot.length < best->length) best = &slot;
  }
  if (best == nullptr) {
    *size = 0;
    *offset = base.EndFrame;
    return Status::Ok();
  }
  Status s = frames.ReadSound(best->offset, kFrameTypeFree, chosen);
  if (!s.ok()) return s;
  if (chosen->FrameLength <= *size) {
    return Status::Damaged("free frame at offset " + std::to_string(best->offset) +
                           " is shorter than its chain said");
  }
  *offset = best->offset;
  *size = chosen->FrameLength;
  best->offset = 0;
  return Status::Ok();
}

void FreeTable::Add(int32_t offset, int32_t length) {
  for (size_t j = 0; j < kFreeTableSize; ++j) {
    if (slots_[j].offset != 0) continue;
    slots_[j] = Slot{offset, length};
    if (j + 1 > used_) used_ = static_cast<uint16_t>(j + 1);
    return;
  }
}

}  // namespace drayline::squish
