// Storing a Squish message: choosing its frame, writing it, linking it
// after the last message, indexing it, and the maximum-messages rule.
//
// Order of a store, so that a failure or a crash at any point leaves the
// base describing the messages stored before: every frame that will be
// relinked is read and checked first; the new frame is written whole; only
// then are the free chain and the previous message relinked to it; the
// index and the control record follow when the lock is released. A step
// that fails puts back every frame header the store rewrote.

#include <algorithm>
#include <limits>

#include "squish/squish_message_base.h"
#include "support/clock.h"
#include "support/dates.h"
#include "support/strings.h"

namespace drayline {

using namespace squish;

namespace {

// The number in characters pos+1 and pos+2 of text, 0 when there is none.
uint16_t TwoDigitsAt(const std::string& text, size_t pos) {
  if (pos >= text.size()) return 0;
  return static_cast<uint16_t>(StrToInt(std::string_view(text).substr(pos, 2)));
}

}  // namespace

void SquishMessageBase::BuildDates() {
  DateTimeRecord written;
  written.Month = TwoDigitsAt(date_text_, 0);
  written.Day = TwoDigitsAt(date_text_, 3);
  uint16_t year = TwoDigitsAt(date_text_, 6);
  written.Year = static_cast<uint16_t>(year > 79 ? 1900 + year : 2000 + year);
  written.Hour = TwoDigitsAt(time_text_, 0);
  written.Minute = TwoDigitsAt(time_text_, 3);
  std::string ftsc =
      FormatDateMask(written, "DD NNN YY  ") + time_text_.substr(0, 5) + ":00";
  StrToCStr(ftsc, kFtscDateSize, msg_header_.FtscDate);
  msg_header_.DateWritten = SwapPackedHalves(PackDateTime(written));
  msg_header_.DateArrived = SwapPackedHalves(CurrentPackedDateTime());
}

uint16_t SquishMessageBase::WriteMessage() {
  if (text_buffer_ == nullptr) return Fail(kNoIndexTable);
  AddChar(0);
  BuildDates();
  const bool was_locked = locked_;
  if (!was_locked && !LockBase()) return Fail(io::kAccessDenied);
  IoResult result = StoreMessage();
  if (!was_locked) {
    // A store that failed has put everything back: nothing to write.
    IoResult commit = ReleaseLock(result == io::kOk);
    if (result == io::kOk) result = commit;
  }
  return result;
}

IoResult SquishMessageBase::CheckIndexWritable() {
  if (header_status_ != io::kOk) return Fail(header_status_);
  if (index_table_ == nullptr) return Fail(kNoIndexTable);
  if (index_status_ != io::kOk) return Fail(index_status_);
  // The control record may not count entries the index does not hold;
  // entries it does not count (left by a store that never finished) go.
  if (base_.MessageCount < 0 || base_.MessageCount > index_count_) {
    return Fail(kDamagedBase);
  }
  index_count_ = static_cast<uint16_t>(base_.MessageCount);
  return io::kOk;
}

IoResult SquishMessageBase::StoreMessage() {
  IoResult code = CheckIndexWritable();
  if (code != io::kOk) return code;
  const ChangeMark mark = BeginChange();
  code = MakeRoomForEntry();
  if (code == io::kOk) code = PlaceMessage();
  if (code == io::kOk) code = EnforceMaxMessages();
  if (code != io::kOk) {
    AbortChange(mark);
    return code;
  }
  cursor_index_ = static_cast<uint16_t>(base_.MessageCount);
  return io::kOk;
}

IoResult SquishMessageBase::MakeRoomForEntry() {
  if (index_count_ >= kMaxIndexEntries) {
    // A full table can take the message only when the maximum-messages
    // rule would delete an older one anyway: that one goes first.
    const int32_t protect = std::max(base_.ProtectedCount, 0);
    if (base_.MaxMessages <= 0 || base_.MaxMessages > kMaxIndexEntries ||
        base_.MaxMessages <= protect) {
      return Fail(kNoIndexTable);
    }
    IoResult code = DeleteAt(static_cast<uint16_t>(protect + 1));
    if (code != io::kOk) return code;
  }
  if (index_count_ >= index_capacity_ && !GrowIndexTable()) {
    return Fail(kNoIndexTable);
  }
  return io::kOk;
}

bool SquishMessageBase::GrowIndexTable() {
  const uint16_t wanted = static_cast<uint16_t>(
      std::min<int>(index_count_ + kIndexSpare, kMaxIndexEntries));
  return wanted > index_capacity_ && ReserveIndexTable(wanted);
}

IoResult SquishMessageBase::PlaceMessage() {
  const int32_t needed = text_pos_ + kMessageHeaderSize;
  int32_t frame_length = needed;
  int32_t offset = 0;
  SquishFrameHeader free_frame;
  IoResult code = FindFreeFrame(&frame_length, &offset, &free_frame);
  if (code != io::kOk) return code;
  const bool reused = frame_length != 0;
  // Every frame this store relinks is checked before anything is written.
  Neighbours free_links;
  if (reused) {
    code = ReadNeighbours(free_frame, offset, kFrameTypeFree, &free_links);
    if (code != io::kOk) return code;
  }
  SquishFrameHeader last;
  if (base_.LastFrame != 0) {
    code = ReadSoundFrame(base_.LastFrame, kFrameTypeMessage, &last);
    if (code != io::kOk) return code;
  }
  if (!reused) {
    frame_length = needed;
    const int64_t end = int64_t{offset} + frame_header_size_ + frame_length;
    if (end > std::numeric_limits<int32_t>::max()) {
      return Fail(io::kDiskWriteError);  // the base cannot grow further
    }
  }
  frame_header_ = SquishFrameHeader{};
  frame_header_.FrameId = kFrameId;
  frame_header_.PrevFrame = base_.LastFrame;
  frame_header_.FrameLength = frame_length;
  frame_header_.MessageLength = needed;
  frame_header_.FrameType = kFrameTypeMessage;
  code = WriteNewFrame(offset, reused, free_frame);
  if (code == io::kOk && reused)
    code = TakeFromFreeChain(free_frame, free_links);
  if (code == io::kOk) code = AppendToMessageChain(offset, last);
  if (code != io::kOk) return code;
  if (!reused) base_.EndFrame = offset + frame_header_size_ + frame_length;
  AddIndexEntry(offset);
  return io::kOk;
}

IoResult SquishMessageBase::WriteNewFrame(int32_t offset, bool reused,
                                          const SquishFrameHeader& old) {
  if (reused) {
    journal_.push_back(FrameUndo{offset, old, false});
  } else {
    // An appended frame that fails is cut away again. An EndFrame beyond
    // the file claims frames that are not there: the control record is
    // damaged, and the file is not stretched to wherever it points.
    uint64_t size = 0;
    IoResult code = data_file_->Size(&size);
    if (code != io::kOk) return Fail(code);
    if (size < uint64_t(offset)) return Fail(kDamagedBase);
    journal_.push_back(FrameUndo{int64_t(size), {}, true});
  }
  IoResult code = WriteCurrentFrameHeader(offset);
  if (code == io::kOk) code = WriteMsgHeaderAt(offset);
  if (code == io::kOk) code = WriteMsgTextAt(offset);
  return code;
}

IoResult SquishMessageBase::TakeFromFreeChain(const SquishFrameHeader& taken,
                                              const Neighbours& links) {
  IoResult code = RelinkNeighbours(taken, links);
  if (code != io::kOk) return code;
  if (taken.PrevFrame == 0) base_.FirstFreeFrame = taken.NextFrame;
  if (taken.NextFrame == 0) base_.LastFreeFrame = taken.PrevFrame;
  return io::kOk;
}

IoResult SquishMessageBase::AppendToMessageChain(
    int32_t offset, const SquishFrameHeader& last) {
  if (base_.LastFrame != 0) {
    SquishFrameHeader changed = last;
    changed.NextFrame = offset;
    IoResult code = RewriteFrame(base_.LastFrame, last, changed);
    if (code != io::kOk) return code;
  } else {
    base_.FirstFrame = offset;
  }
  base_.LastFrame = offset;
  return io::kOk;
}

void SquishMessageBase::AddIndexEntry(int32_t offset) {
  SquishIndexEntry& entry = index_table_[index_count_];
  entry.FrameOffset = offset;
  entry.Uid = base_.NextUid;
  entry.NameHash = NameHash(CStrToStr(msg_header_.ToName, kNameLimit));
  ++index_count_;
  base_.MessageCount = index_count_;
  base_.NextUid += 1;
  base_.HighMessage = base_.MessageCount;
}

IoResult SquishMessageBase::EnforceMaxMessages() {
  if (index_table_ == nullptr) return Fail(kNoIndexTable);
  const int32_t protect = std::max(base_.ProtectedCount, 0);
  if (base_.MaxMessages <= 0 || base_.MaxMessages <= protect) return io::kOk;
  // The oldest unprotected message goes first; KeepDays plays no part.
  while (base_.MessageCount > base_.MaxMessages) {
    IoResult code = DeleteAt(static_cast<uint16_t>(protect + 1));
    if (code != io::kOk) return code;
  }
  return io::kOk;
}

IoResult SquishMessageBase::DeleteByUid(int32_t uid) {
  const bool was_locked = locked_;
  if (!was_locked && !LockBase()) return Fail(io::kAccessDenied);
  IoResult code = CheckIndexWritable();
  bool changed = false;
  if (code == io::kOk) {
    const SquishIndexEntry* first = index_table_.get();
    const SquishIndexEntry* last = first + IndexEntries();
    const SquishIndexEntry* found = std::find_if(
        first, last, [uid](const SquishIndexEntry& e) { return e.Uid == uid; });
    if (found != last) {
      const ChangeMark mark = BeginChange();
      code = DeleteAt(static_cast<uint16_t>(found - first + 1));
      if (code != io::kOk) AbortChange(mark);
      changed = code == io::kOk;
    }
  }
  if (!was_locked) {
    IoResult commit = ReleaseLock(changed);
    if (code == io::kOk) code = commit;
  }
  return code;
}

IoResult SquishMessageBase::DeleteAt(uint16_t k) {
  const SquishIndexEntry* entry = IndexEntryAt(k);
  if (entry == nullptr) return Fail(kDamagedBase);
  const int32_t at = entry->FrameOffset;
  SquishFrameHeader frame;
  IoResult code = ReadSoundFrame(at, kFrameTypeMessage, &frame);
  if (code != io::kOk) return code;
  Neighbours links;
  code = ReadNeighbours(frame, at, kFrameTypeMessage, &links);
  if (code != io::kOk) return code;
  const bool free_chain_empty =
      base_.FirstFreeFrame == 0 || base_.LastFreeFrame == 0;
  SquishFrameHeader last_free;
  if (!free_chain_empty) {
    if (base_.LastFreeFrame == at) return Fail(kDamagedBase);
    code = ReadSoundFrame(base_.LastFreeFrame, kFrameTypeFree, &last_free);
    if (code != io::kOk) return code;
  }
  // Checked; now out of the message chain and onto the end of the free one.
  if (frame.PrevFrame == 0) base_.FirstFrame = frame.NextFrame;
  if (frame.NextFrame == 0) base_.LastFrame = frame.PrevFrame;
  code = RelinkNeighbours(frame, links);
  if (code != io::kOk) return code;
  SquishFrameHeader freed = frame;
  freed.FrameType = kFrameTypeFree;
  freed.NextFrame = 0;
  if (free_chain_empty) {
    freed.PrevFrame = 0;
    base_.FirstFreeFrame = at;
  } else {
    freed.PrevFrame = base_.LastFreeFrame;
    SquishFrameHeader changed = last_free;
    changed.NextFrame = at;
    code = RewriteFrame(base_.LastFreeFrame, last_free, changed);
    if (code != io::kOk) return code;
  }
  base_.LastFreeFrame = at;
  code = RewriteFrame(at, frame, freed);
  if (code != io::kOk) return code;
  AddFreeSlot(at, freed.FrameLength);
  RemoveIndexEntry(k);
  return io::kOk;
}

void SquishMessageBase::RemoveIndexEntry(uint16_t k) {
  std::copy(index_table_.get() + k, index_table_.get() + index_count_,
            index_table_.get() + k - 1);
  --index_count_;
  base_.MessageCount -= 1;
  base_.HighMessage -= 1;
}

}  // namespace drayline
