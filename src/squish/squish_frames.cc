// Frames of a Squish data file: reading and writing frame and message
// headers, checking frames before they are relinked or written over, the
// free-frame table, and the journal that lets a failed change put back
// every frame header it rewrote.

#include <algorithm>

#include "squish/squish_message_base.h"
#include "support/file_access.h"

namespace drayline {

using namespace squish;

IoResult SquishMessageBase::ReadFrameHeader(SquishFrameHeader& header,
                                            int64_t offset) {
  if (data_file_ == nullptr) return Fail(io::kNotOpen);
  if (offset < 0) return Fail(io::kReadPastEnd);
  std::array<uint8_t, kFrameHeaderSize> bytes;
  IoResult code = ReadExact(*data_file_, uint64_t(offset), bytes);
  if (code != io::kOk) return Fail(code);
  header = DecodeFrameHeader(bytes.data());
  return io::kOk;
}

IoResult SquishMessageBase::WriteFrameHeader(const SquishFrameHeader& header,
                                             int64_t offset) {
  if (data_file_ == nullptr) return Fail(io::kNotOpen);
  if (offset < 0) return Fail(io::kDiskWriteError);
  std::array<uint8_t, kFrameHeaderSize> bytes;
  EncodeFrameHeader(header, bytes.data());
  if (!WriteWithRetry(*data_file_, uint64_t(offset), bytes)) {
    return Fail(LastFileError());
  }
  return io::kOk;
}

IoResult SquishMessageBase::ReadCurrentFrameHeader(int64_t offset) {
  return ReadFrameHeader(frame_header_, offset);
}

IoResult SquishMessageBase::WriteCurrentFrameHeader(int64_t offset) {
  return WriteFrameHeader(frame_header_, offset);
}

IoResult SquishMessageBase::ReadMsgHeaderAt(int64_t offset) {
  if (data_file_ == nullptr) return Fail(io::kNotOpen);
  if (offset < 0) return Fail(io::kReadPastEnd);
  std::array<uint8_t, kMessageHeaderSize> bytes;
  IoResult code =
      ReadExact(*data_file_, uint64_t(offset) + frame_header_size_, bytes);
  if (code != io::kOk) return Fail(code);
  msg_header_ = DecodeMessageHeader(bytes.data());
  return io::kOk;
}

IoResult SquishMessageBase::WriteMsgHeaderAt(int64_t offset) {
  if (data_file_ == nullptr) return Fail(io::kNotOpen);
  if (offset < 0) return Fail(io::kDiskWriteError);
  std::array<uint8_t, kMessageHeaderSize> bytes;
  EncodeMessageHeader(msg_header_, bytes.data());
  if (!WriteWithRetry(*data_file_, uint64_t(offset) + frame_header_size_,
                      bytes)) {
    return Fail(LastFileError());
  }
  return io::kOk;
}

IoResult SquishMessageBase::WriteMsgTextAt(int64_t offset) {
  if (data_file_ == nullptr) return Fail(io::kNotOpen);
  if (offset < 0) return Fail(io::kDiskWriteError);
  if (text_pos_ == 0 || text_buffer_ == nullptr) return io::kOk;
  std::span<const uint8_t> text(text_buffer_.get() + 1, text_pos_);
  if (!WriteWithRetry(
          *data_file_,
          uint64_t(offset) + frame_header_size_ + kMessageHeaderSize, text)) {
    return Fail(LastFileError());
  }
  return io::kOk;
}

IoResult SquishMessageBase::ReadSoundFrame(int64_t offset, uint16_t type,
                                           SquishFrameHeader* header) {
  const int64_t end = base_.EndFrame;
  if (offset < header_length_ || offset + frame_header_size_ > end) {
    return Fail(kDamagedBase);
  }
  IoResult code = ReadFrameHeader(*header, offset);
  if (code != io::kOk) return code;
  if (header->FrameId != kFrameId || header->FrameType != type) {
    return Fail(kDamagedBase);
  }
  // A free frame is written over up to its length: all of it must lie
  // within the base's frames.
  if (type == kFrameTypeFree &&
      (header->FrameLength < 0 ||
       offset + frame_header_size_ + header->FrameLength > end)) {
    return Fail(kDamagedBase);
  }
  return io::kOk;
}

IoResult SquishMessageBase::RewriteFrame(int64_t offset,
                                         const SquishFrameHeader& old,
                                         const SquishFrameHeader& header) {
  journal_.push_back(FrameUndo{offset, old, false});
  return WriteFrameHeader(header, offset);
}

IoResult SquishMessageBase::ReadNeighbours(const SquishFrameHeader& header,
                                           int64_t offset, uint16_t chain_type,
                                           Neighbours* out) {
  const int32_t prev = header.PrevFrame;
  const int32_t next = header.NextFrame;
  // A frame linked to itself, or whose neighbours are one frame, is a
  // damaged chain: relinking it would write over the frame at hand.
  if (prev == offset || next == offset || (prev != 0 && prev == next)) {
    return Fail(kDamagedBase);
  }
  if (prev != 0) {
    IoResult code = ReadSoundFrame(prev, chain_type, &out->prev);
    if (code != io::kOk) return code;
  }
  if (next != 0) {
    IoResult code = ReadSoundFrame(next, chain_type, &out->next);
    if (code != io::kOk) return code;
  }
  return io::kOk;
}

IoResult SquishMessageBase::RelinkNeighbours(const SquishFrameHeader& header,
                                             const Neighbours& n) {
  if (header.PrevFrame != 0) {
    SquishFrameHeader changed = n.prev;
    changed.NextFrame = header.NextFrame;
    IoResult code = RewriteFrame(header.PrevFrame, n.prev, changed);
    if (code != io::kOk) return code;
  }
  if (header.NextFrame != 0) {
    SquishFrameHeader changed = n.next;
    changed.PrevFrame = header.PrevFrame;
    IoResult code = RewriteFrame(header.NextFrame, n.next, changed);
    if (code != io::kOk) return code;
  }
  return io::kOk;
}

IoResult SquishMessageBase::UnlinkFrame(const SquishFrameHeader& header,
                                        int64_t offset, uint16_t chain_type) {
  Neighbours n;
  IoResult code = ReadNeighbours(header, offset, chain_type, &n);
  if (code != io::kOk) return code;
  return RelinkNeighbours(header, n);
}

IoResult SquishMessageBase::LinkFrame(SquishFrameHeader& header, int64_t offset,
                                      int32_t next) {
  header.NextFrame = next;
  if (next == 0) return io::kOk;
  if (next == offset) return Fail(kDamagedBase);
  SquishFrameHeader old;
  IoResult code = ReadSoundFrame(next, header.FrameType, &old);
  if (code != io::kOk) return code;
  SquishFrameHeader changed = old;
  changed.PrevFrame = static_cast<int32_t>(offset);
  return RewriteFrame(next, old, changed);
}

void SquishMessageBase::LoadFreeTable() {
  std::fill_n(free_table_.get(), kFreeTableSize, FreeSlot{});
  free_table_loaded_ = true;
  size_t n = 0;
  int32_t p = base_.FirstFreeFrame;
  while (p != 0 && n < kFreeTableSize) {
    SquishFrameHeader header;
    if (ReadSoundFrame(p, kFrameTypeFree, &header) != io::kOk) break;
    // A chain that comes back to a frame already met is a loop.
    bool seen = std::any_of(free_table_.get(), free_table_.get() + n,
                            [p](const FreeSlot& s) { return s.offset == p; });
    if (seen) break;
    free_table_[n++] = FreeSlot{p, header.FrameLength};
    p = header.NextFrame;
  }
  free_table_count_ = static_cast<uint16_t>(n);
}

IoResult SquishMessageBase::FindFreeFrame(int32_t* size, int32_t* offset,
                                          SquishFrameHeader* chosen) {
  if (!free_table_loaded_) LoadFreeTable();
  // Best fit: the shortest frame longer than needed; of equal lengths the
  // first. A frame of exactly the needed length is not taken.
  FreeSlot* best = nullptr;
  for (size_t j = 0; j < free_table_count_; ++j) {
    FreeSlot& slot = free_table_[j];
    if (slot.offset == 0 || slot.length <= *size) continue;
    if (best == nullptr || slot.length < best->length) best = &slot;
  }
  if (best == nullptr) {
    *size = 0;
    *offset = base_.EndFrame;
    return io::kOk;
  }
  IoResult code = ReadSoundFrame(best->offset, kFrameTypeFree, chosen);
  if (code != io::kOk) return code;
  if (chosen->FrameLength <= *size) return Fail(kDamagedBase);
  *offset = best->offset;
  *size = chosen->FrameLength;
  best->offset = 0;
  return io::kOk;
}

void SquishMessageBase::AddFreeSlot(int32_t offset, int32_t length) {
  for (size_t j = 0; j < kFreeTableSize; ++j) {
    if (free_table_[j].offset != 0) continue;
    free_table_[j] = FreeSlot{offset, length};
    if (j + 1 > free_table_count_)
      free_table_count_ = static_cast<uint16_t>(j + 1);
    return;
  }
}

SquishMessageBase::ChangeMark SquishMessageBase::BeginChange() const {
  ChangeMark mark;
  mark.journal_size = journal_.size();
  mark.base = base_;
  mark.entries.assign(index_table_.get(), index_table_.get() + index_count_);
  return mark;
}

void SquishMessageBase::AbortChange(const ChangeMark& mark) {
  RevertJournal(mark.journal_size);
  base_ = mark.base;
  std::copy(mark.entries.begin(), mark.entries.end(), index_table_.get());
  index_count_ = static_cast<uint16_t>(mark.entries.size());
  // Slots were taken or added for frames whose change is undone.
  free_table_loaded_ = false;
}

void SquishMessageBase::RevertJournal(size_t keep) {
  if (data_file_ == nullptr) {
    journal_.resize(std::min(keep, journal_.size()));
    return;
  }
  // Newest first, so a frame changed twice ends with its oldest header.
  while (journal_.size() > keep) {
    const FrameUndo& undo = journal_.back();
    if (undo.truncate) {
      data_file_->Truncate(uint64_t(undo.offset));
    } else {
      WriteFrameHeader(undo.old, undo.offset);
    }
    journal_.pop_back();
  }
}

}  // namespace drayline
