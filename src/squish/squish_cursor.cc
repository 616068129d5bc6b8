// SquishEngine: the cursor over the index, the headers and text of the
// message under it, the search for a user's mail and last-read pointers.
//
// Reading never steers a read by an unchecked value: the cursor stays
// within the entries that were loaded, a frame without the frame id is not
// used, and the text read is bounded by the frame, the buffer and the
// bytes that the file actually holds.

#include <algorithm>
#include <climits>
#include <cstdint>

#include "squish/squish_header.h"
#include "squish/squish_lastread.h"
#include "squish/squish_storage.h"
#include "support/strings.h"

namespace drayline::squish {

const SquishIndexEntry* SquishEngine::CursorEntry() const {
  return index_.At(cursor_, Counted());
}

Status SquishEngine::ReloadForWalk() {
  reader_.Drop();
  if (Locked()) return Status::Ok();
  // The control record too, so that messages stored by other programs
  // since the base was opened are counted.
  Status control = files_.ReadControl();
  Status index = index_.Read(files_.index(), files_.Name(kIndexExt));
  return index.ok() ? control : index;
}

Status SquishEngine::SeekFirst(int32_t num) {
  cursor_ = 1;
  Status s = ReloadForWalk();
  for (const SquishIndexEntry* e = CursorEntry(); e != nullptr && e->Uid < num;
       e = CursorEntry()) {
    ++cursor_;
  }
  return s;
}

Status SquishEngine::SeekNext() {
  // Past the last entry the cursor stops one beyond it, so that it never
  // wraps however often it is moved on.
  if (cursor_ <= index_.Entries(Counted())) ++cursor_;
  return Status::Ok();
}

Status SquishEngine::SeekPrior() {
  cursor_ = cursor_ > 1 ? cursor_ - 1 : 0;
  return Status::Ok();
}

bool SquishEngine::SeekFound() { return CursorEntry() != nullptr; }

int32_t SquishEngine::MsgNum() {
  const SquishIndexEntry* e = CursorEntry();
  return e != nullptr ? e->Uid : -1;
}

int32_t SquishEngine::DisplayNum() { return cursor_; }

int32_t SquishEngine::HighMsgNum() {
  // In 64 bits: a damaged NextUid may be the lowest number there is.
  return static_cast<int32_t>(
      std::max<int64_t>(int64_t{files_.control().fields.NextUid} - 1, INT32_MIN));
}

int32_t SquishEngine::MessageCount() {
  return CountMessages(env_, files_.Name(kDataExt));
}

int32_t SquishEngine::MsgLoc() { return MsgNum(); }

Status SquishEngine::SetMsgLoc(int32_t loc) { return SeekFirst(loc); }

int64_t SquishEngine::BodyLength() const {
  // Control information, text and NUL, kept within the frame.
  if (!loaded_.whole) return 0;
  const int64_t used = std::min(loaded_.frame_header.MessageLength,
                                loaded_.frame_header.FrameLength);
  return std::max<int64_t>(0, used - kMessageHeaderSize);
}

Status SquishEngine::LoadAtCursor() {
  const SquishIndexEntry* e = CursorEntry();
  loaded_.frame = e->FrameOffset;
  loaded_.uid = e->Uid;
  loaded_.whole = false;
  loaded_.frame_header = SquishFrameHeader{};
  loaded_.header = SquishMessageHeader{};
  Status s = reader_.LoadHeaders(loaded_.frame, Locked(),
                                 &loaded_.frame_header, &loaded_.header);
  loaded_.whole = s.ok();
  // The text length counts the control information, not the closing NUL.
  loaded_.text_length =
      static_cast<int32_t>(std::max<int64_t>(0, BodyLength() - 1));
  return s;
}

Status SquishEngine::ReadHeader(HeaderFields* header) {
  // Off a message there is nothing to load: the header stays as it was.
  if (CursorEntry() == nullptr) return Status::Ok();
  Status s = LoadAtCursor();
  FieldsOfHeader(loaded_.header, loaded_.text_length, header);
  return s;
}

Status SquishEngine::BeginText() {
  const size_t want = static_cast<size_t>(
      std::min<int64_t>(BodyLength(), static_cast<int64_t>(kTextBufferSize)));
  size_t done = 0;
  Status s;
  if (want > 0) {
    s = reader_.ReadBody(loaded_.frame, Locked(), text_.Space(want), &done);
  }
  // Control information is skipped.
  text_.Loaded(done, loaded_.frame_header.ControlLength);
  return s;
}

// ---- Search for a user's mail ----

bool SquishEngine::Matches(uint32_t hash) const {
  // An empty name stands for nobody: its hash (0) is also the hash of
  // every received message and of an empty recipient.
  return (!search_.name.empty() && hash == search_.name_hash) ||
         (!search_.alias.empty() && hash == search_.alias_hash);
}

Status SquishEngine::SeekFirstForUser(std::string_view name,
                                      std::string_view alias,
                                      HeaderFields* header) {
  cursor_ = 0;
  Status reload = ReloadForWalk();
  // A stored name keeps 34 characters, and its index hash is taken over
  // them: a longer search name is cut the same way, or it never matches.
  const std::string cut_name = Fit(name, kNameChars);
  const std::string cut_alias = Fit(alias, kNameChars);
  search_ = Search{UpperCase(cut_name), UpperCase(cut_alias),
                   NameHash(cut_name), NameHash(cut_alias)};
  Status s = SeekNextForUser(header);
  return s.ok() ? reload : s;
}

Status SquishEngine::SeekNextForUser(HeaderFields* header) {
  Status result;
  // Loading a header changes neither the index nor the count.
  const uint16_t entries = index_.Entries(Counted());
  if (cursor_ <= entries) ++cursor_;
  for (; cursor_ <= entries; ++cursor_) {
    // The hash in the index preselects; only a candidate's header is read.
    if (!Matches(CursorEntry()->NameHash)) continue;
    Status s = LoadAtCursor();
    FieldsOfHeader(loaded_.header, loaded_.text_length, header);
    if (!s.ok()) result = s;
    if (!loaded_.whole || (loaded_.header.Attributes & kAttrReceived)) continue;
    const std::string to = UpperCase(header->to);
    if ((!search_.name.empty() && to == search_.name) ||
        (!search_.alias.empty() && to == search_.alias)) {
      break;  // the cursor stays on the match, its header loaded
    }
  }
  return result;
}

bool SquishEngine::ForUserFound() { return SeekFound(); }

// ---- Last-read pointers ----

Status SquishEngine::GetLastRead(int32_t user, int32_t* num) {
  return ReadLastRead(env_, files_.Name(kLastReadExt), user, num);
}

Status SquishEngine::SetLastRead(int32_t user, int32_t num) {
  return WriteLastRead(env_, files_.Name(kLastReadExt), user, num);
}

}  // namespace drayline::squish
