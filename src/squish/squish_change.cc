#include "squish/squish_change.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>

#include "squish/squish_header.h"

namespace drayline::squish {

namespace {

Status NoRoom(std::string_view why) {
  return Status(StatusCode::kWriteFailed, kNoIndexTable, std::string(why));
}

Status NotOpen(const std::string& name) {
  return Status(StatusCode::kNotOpen, io::kNotOpen, name + " is not open");
}

// A store adds one to NextUid and a deletion takes one from HighMessage:
// values at the ends of their range would wrap to negative numbers.
Status CheckCounters(const SquishBaseHeader& base) {
  constexpr int32_t kTop = std::numeric_limits<int32_t>::max();
  if (base.NextUid < 0 || base.NextUid == kTop) {
    return Status::Damaged("NextUid " + std::to_string(base.NextUid) +
                           " leaves no message number for a new message");
  }
  if (base.HighMessage == std::numeric_limits<int32_t>::min() || base.HighMessage == kTop) {
    return Status::Damaged("HighMessage " + std::to_string(base.HighMessage) +
                           " is outside the numbers of messages");
  }
  return Status::Ok();
}

}  // namespace

Mark TakeMark(const BaseParts& parts) {
  return Mark{parts.files.control().fields, parts.index.Snapshot()};
}

void RestoreMark(const Mark& mark, BaseParts& parts) {
  parts.files.control().fields = mark.fields;
  parts.index.Restore(mark.index);
  // Slots were taken or added for frames whose change is undone.
  parts.free.Forget();
}

Status SquishChange::CheckWritable() {
  const ControlRecord& control = p_.files.control();
  if (!control.sound()) {
    // The number WriteMessage has always given for this case.
    return Status(control.read_status.code(), io::kNotOpen,
                  "the control record could not be read under the lock: " +
                      control.read_status.text());
  }
  if (!p_.index.present()) return NoRoom("no index table");
  if (!p_.index.read_status().ok()) return p_.index.read_status();
  if (Status s = CheckCounters(base()); !s.ok()) return s;
  // The control record may not count entries the index does not hold.
  if (base().MessageCount < 0 || base().MessageCount > p_.index.count()) {
    return Status::Damaged("the control record counts " +
                           std::to_string(base().MessageCount) +
                           " messages, the index holds " +
                           std::to_string(p_.index.count()));
  }
  p_.index.KeepFirst(static_cast<uint16_t>(base().MessageCount));
  return Status::Ok();
}

Status SquishChange::Store(const SquishMessageHeader& header,
                           std::span<const uint8_t> text) {
  Status s = CheckWritable();
  if (s.ok()) s = MakeRoomForEntry();
  if (s.ok()) s = PlaceMessage(header, text);
  if (s.ok()) s = EnforceMaxMessages();
  return s;
}

Status SquishChange::MakeRoomForEntry() {
  if (p_.index.count() >= kMaxIndexEntries) {
    // A full table can take the message only when the maximum-messages
    // rule would delete an older one anyway: that one goes first.
    const int32_t protect = std::max(base().ProtectedCount, 0);
    if (base().MaxMessages <= 0 || base().MaxMessages > kMaxIndexEntries ||
        base().MaxMessages <= protect) {
      return NoRoom("the index holds its most messages (" +
                    std::to_string(kMaxIndexEntries) + ")");
    }
    Status s = DeleteAt(static_cast<uint16_t>(protect + 1));
    if (!s.ok()) return s;
  }
  if (!p_.index.Grow()) return NoRoom("no memory to grow the index table");
  return Status::Ok();
}

Status SquishChange::PlaceMessage(const SquishMessageHeader& header,
                                  std::span<const uint8_t> text) {
  const int32_t needed = static_cast<int32_t>(text.size()) + kMessageHeaderSize;
  int32_t frame_length = needed;
  int32_t offset = 0;
  SquishFrameHeader free_frame;
  Status s = p_.free.Choose(p_.frames, base(), &frame_length, &offset,
                            &free_frame);
  if (!s.ok()) return s;
  const bool reused = frame_length != 0;
  // Every frame this store relinks is checked before anything is written.
  Neighbours free_links;
  if (reused) {
    s = p_.frames.ReadNeighbours(free_frame, offset, kFrameTypeFree, &free_links);
    if (!s.ok()) return s;
  }
  SquishFrameHeader last;
  if (base().LastFrame != 0) {
    s = p_.frames.ReadSound(base().LastFrame, kFrameTypeMessage, &last);
    // A new frame at EndFrame must not be written into the last one.
    if (s.ok() && !reused) s = p_.frames.CheckEndsBy(base().LastFrame, last, base().EndFrame);
    if (!s.ok()) return s;
  }
  if (!reused) {
    frame_length = needed;
    const int64_t end = int64_t{offset} + frame_header_size() + frame_length;
    if (end > std::numeric_limits<int32_t>::max()) {
      return Status::FromIo(io::kDiskWriteError, "the base cannot grow further");
    }
  }
  SquishFrameHeader frame;
  frame.FrameId = kFrameId;
  frame.PrevFrame = base().LastFrame;
  frame.FrameLength = frame_length;
  frame.MessageLength = needed;
  frame.FrameType = kFrameTypeMessage;
  s = WriteNewFrame(offset, reused ? &free_frame : nullptr, frame, header, text);
  if (s.ok() && reused) s = TakeFromFreeChain(free_frame, free_links);
  if (s.ok()) s = AppendToMessageChain(offset, last);
  if (!s.ok()) return s;
  if (!reused) base().EndFrame = offset + frame_header_size() + frame_length;
  AddIndexEntry(offset, header);
  return Status::Ok();
}

Status SquishChange::WriteData(uint64_t offset, std::span<const uint8_t> bytes) {
  File* data = p_.files.data();
  if (data == nullptr) return NotOpen(p_.files.Name(kDataExt));
  return change_.Write(*data, offset, bytes);
}

Status SquishChange::WriteFresh(uint64_t offset, std::span<const uint8_t> bytes) {
  File* data = p_.files.data();
  if (data == nullptr) return NotOpen(p_.files.Name(kDataExt));
  return change_.WriteFresh(*data, offset, bytes);
}

Status SquishChange::WriteNewFrame(int32_t offset,
                                   const SquishFrameHeader* reused,
                                   const SquishFrameHeader& frame,
                                   const SquishMessageHeader& header,
                                   std::span<const uint8_t> text) {
  File* data = p_.files.data();
  if (data == nullptr) return NotOpen(p_.files.Name(kDataExt));
  if (reused == nullptr) {
    // An EndFrame beyond the file claims frames that are not there: the
    // control record is damaged, and the file is not stretched to
    // wherever it points.
    uint64_t size = 0;
    Status s = change_.Size(*data, &size);
    if (!s.ok()) return s;
    if (size < uint64_t(offset)) {
      return Status::Damaged("EndFrame " + std::to_string(offset) +
                             " lies beyond the end of " +
                             p_.files.Name(kDataExt) + " (" +
                             std::to_string(size) + " bytes)");
    }
  }
  // A reused frame gets its header back on undo; its body was unused,
  // as is everything past the file's old end.
  std::array<uint8_t, kFrameHeaderSize> frame_bytes;
  EncodeFrameHeader(frame, frame_bytes.data());
  Status s = reused != nullptr
                 ? p_.frames.Write(change_, offset, frame, *reused)
                 : WriteFresh(uint64_t(offset), frame_bytes);
  std::array<uint8_t, kMessageHeaderSize> bytes;
  EncodeMessageHeader(header, bytes.data());
  const uint64_t at = uint64_t(offset) + frame_header_size();
  if (s.ok()) s = WriteFresh(at, bytes);
  if (s.ok() && !text.empty()) s = WriteFresh(at + kMessageHeaderSize, text);
  return s;
}

Status SquishChange::TakeFromFreeChain(const SquishFrameHeader& taken,
                                       const Neighbours& links) {
  Status s = p_.frames.Relink(change_, taken, links);
  if (!s.ok()) return s;
  if (taken.PrevFrame == 0) base().FirstFreeFrame = taken.NextFrame;
  if (taken.NextFrame == 0) base().LastFreeFrame = taken.PrevFrame;
  return Status::Ok();
}

Status SquishChange::AppendToMessageChain(int32_t offset,
                                          const SquishFrameHeader& last) {
  if (base().LastFrame != 0) {
    SquishFrameHeader changed = last;
    changed.NextFrame = offset;
    Status s = p_.frames.Write(change_, base().LastFrame, changed, last);
    if (!s.ok()) return s;
  } else {
    base().FirstFrame = offset;
  }
  base().LastFrame = offset;
  return Status::Ok();
}

void SquishChange::AddIndexEntry(int32_t offset,
                                 const SquishMessageHeader& header) {
  p_.index.Append(
      SquishIndexEntry{offset, base().NextUid, NameHash(StoredTo(header))});
  base().MessageCount = p_.index.count();
  base().NextUid += 1;
  base().HighMessage = base().MessageCount;
}

Status SquishChange::EnforceMaxMessages() {
  if (!p_.index.present()) return NoRoom("no index table");
  const int32_t protect = std::max(base().ProtectedCount, 0);
  if (base().MaxMessages <= 0 || base().MaxMessages <= protect) {
    return Status::Ok();
  }
  // The oldest unprotected message goes first; KeepDays plays no part.
  while (base().MessageCount > base().MaxMessages) {
    Status s = DeleteAt(static_cast<uint16_t>(protect + 1));
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

Status SquishChange::DeleteUid(int32_t uid, bool* changed) {
  *changed = false;
  Status s = CheckWritable();
  if (!s.ok()) return s;
  const uint16_t k = p_.index.FindUid(uid, base().MessageCount);
  if (k == 0) return Status::Ok();
  s = DeleteAt(k);
  *changed = s.ok();
  return s;
}

Status SquishChange::DeleteAt(uint16_t k) {
  const SquishIndexEntry* entry = p_.index.At(k, base().MessageCount);
  if (entry == nullptr) {
    return Status::Damaged("index entry " + std::to_string(k) + " is missing");
  }
  const int32_t at = entry->FrameOffset;
  SquishFrameHeader frame;
  Neighbours links;
  SquishFrameHeader last_free;
  Status s = CheckDeletion(at, &frame, &links, &last_free);
  if (!s.ok()) return s;
  // Checked; now out of the message chain and onto the end of the free one.
  if (frame.PrevFrame == 0) base().FirstFrame = frame.NextFrame;
  if (frame.NextFrame == 0) base().LastFrame = frame.PrevFrame;
  s = p_.frames.Relink(change_, frame, links);
  if (s.ok()) s = FreeFrame(at, frame, last_free);
  if (!s.ok()) return s;
  p_.index.Remove(k);
  base().MessageCount -= 1;
  base().HighMessage -= 1;
  return Status::Ok();
}

Status SquishChange::CheckDeletion(int32_t at, SquishFrameHeader* frame,
                                   Neighbours* links,
                                   SquishFrameHeader* last_free) {
  Status s = p_.frames.ReadSound(at, kFrameTypeMessage, frame);
  if (s.ok()) s = p_.frames.ReadNeighbours(*frame, at, kFrameTypeMessage, links);
  if (!s.ok() || base().FirstFreeFrame == 0 || base().LastFreeFrame == 0) {
    return s;
  }
  // The free chain's last frame is checked too before anything changes.
  if (base().LastFreeFrame == at) {
    return Status::Damaged("frame at offset " + std::to_string(at) +
                           " is both a message and the last free frame");
  }
  return p_.frames.ReadSound(base().LastFreeFrame, kFrameTypeFree, last_free);
}

Status SquishChange::FreeFrame(int32_t at, const SquishFrameHeader& frame,
                               const SquishFrameHeader& last_free) {
  const bool free_chain_empty =
      base().FirstFreeFrame == 0 || base().LastFreeFrame == 0;
  // The freed frame keeps its length and contents.
  SquishFrameHeader freed = frame;
  freed.FrameType = kFrameTypeFree;
  freed.NextFrame = 0;
  freed.PrevFrame = free_chain_empty ? 0 : base().LastFreeFrame;
  Status s;
  if (!free_chain_empty) {
    SquishFrameHeader linked = last_free;
    linked.NextFrame = at;
    s = p_.frames.Write(change_, base().LastFreeFrame, linked, last_free);
  }
  if (s.ok()) s = p_.frames.Write(change_, at, freed, frame);
  if (!s.ok()) return s;
  if (free_chain_empty) base().FirstFreeFrame = at;
  base().LastFreeFrame = at;
  p_.free.Add(at, freed.FrameLength);
  return Status::Ok();
}

Status SquishChange::RewriteHeader(int32_t uid, const SquishMessageHeader& header,
                                   bool write_entry) {
  // The message is found again by its unique number in the index as read
  // under the lock; its frame must still be a live message frame.
  SquishIndexEntry* entry = p_.index.MutableAt(
      p_.index.FindUid(uid, base().MessageCount), base().MessageCount);
  if (entry == nullptr) {
    return Status::Damaged("message " + std::to_string(uid) +
                           " is no longer in the index");
  }
  SquishFrameHeader fresh;
  Status s = p_.frames.ReadSound(entry->FrameOffset, kFrameTypeMessage, &fresh);
  if (!s.ok()) return s;
  std::array<uint8_t, kMessageHeaderSize> bytes;
  EncodeMessageHeader(header, bytes.data());
  s = WriteData(uint64_t(entry->FrameOffset) + frame_header_size(), bytes);
  if (!s.ok()) return s;
  // A received message leaves the mail search's preselection.
  entry->NameHash =
      (header.Attributes & kAttrReceived) ? 0 : NameHash(StoredTo(header));
  if (!write_entry) return Status::Ok();
  File* index = p_.files.index();
  if (index == nullptr) return NotOpen(p_.files.Name(kIndexExt));
  std::array<uint8_t, kIndexEntrySize> entry_bytes;
  EncodeIndexEntry(*entry, entry_bytes.data());
  const uint16_t k = p_.index.FindUid(uid, base().MessageCount);
  return change_.Write(*index, uint64_t{k - 1u} * kIndexEntrySize, entry_bytes);
}

Status SquishChange::WriteBase() {
  File* data = p_.files.data();
  Status s = p_.index.Write(change_, p_.files.index(), base().MessageCount,
                            p_.files.Name(kIndexExt));
  if (!s.ok()) return s;
  if (data == nullptr) return NotOpen(p_.files.Name(kDataExt));
  // The file holds the record as read under the lock.
  const ControlRecord& control = p_.files.control();
  const std::array<uint8_t, kHeaderAreaSize> bytes = control.Encoded();
  return change_.Overwrite(*data, 0, std::span(bytes).first(control.length),
                           control.AsRead());
}

}  // namespace drayline::squish
