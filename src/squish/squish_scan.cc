// SquishMessageBase: the search for a user's unreceived mail, and the
// changes made to a stored message (header rewrite, deletion).
//
// The changes are made only while the lock is held, and only to a frame
// that, read afresh under the lock, is still a live message frame of this
// base: a header read before the lock may be stale (another program may
// have relinked or freed that frame since), so nothing of it but the
// 238-byte message header is ever written back.

#include <array>

#include "squish/squish_message_base.h"
#include "support/coding.h"
#include "support/file_access.h"
#include "support/strings.h"

namespace drayline {

using namespace squish;

// ---- Search for a user's mail ----

namespace {

// An empty name stands for nobody: its hash (0) is also the hash of every
// received message and of an empty recipient.
bool NameMatches(const std::string& wanted, uint32_t wanted_hash,
                 uint32_t hash) {
  return !wanted.empty() && hash == wanted_hash;
}

}  // namespace

void SquishMessageBase::SeekFirstForUser(std::string_view name,
                                         std::string_view alias) {
  cursor_index_ = 0;
  ReloadIndexForWalk();
  search_name_ = UpperCase(Fit(name, kNameLimit));
  search_alias_ = UpperCase(Fit(alias, kNameLimit));
  search_name_hash_ = NameHash(Fit(name));
  search_alias_hash_ = NameHash(Fit(alias));
  SeekNextForUser();
}

void SquishMessageBase::SeekNextForUser() {
  if (cursor_index_ <= IndexEntries()) ++cursor_index_;
  for (; cursor_index_ <= IndexEntries(); ++cursor_index_) {
    // The hash in the index preselects; only a candidate's header is read.
    uint32_t hash = IndexEntryAt(cursor_index_)->NameHash;
    if (!NameMatches(search_name_, search_name_hash_, hash) &&
        !NameMatches(search_alias_, search_alias_hash_, hash)) {
      continue;
    }
    ReadHeader();
    if (!header_loaded_ || IsReceived()) continue;
    std::string to = UpperCase(GetTo());
    if ((!search_name_.empty() && to == search_name_) ||
        (!search_alias_.empty() && to == search_alias_)) {
      return;  // the cursor stays on the match
    }
  }
}

bool SquishMessageBase::ForUserFound() { return SeekFound(); }

// ---- Changes ----

uint16_t SquishMessageBase::FindUid(int32_t uid) const {
  for (uint16_t k = 1; k <= IndexEntries(); ++k) {
    if (IndexEntryAt(k)->Uid == uid) return k;
  }
  return 0;
}

IoResult SquishMessageBase::RewriteLoadedHeader(bool write_entry) {
  // The message is found again by its unique number in the index as read
  // under the lock; its frame must still be a live message frame.
  const uint16_t k = FindUid(current_uid_);
  if (k == 0) return Fail(kDamagedBase);
  SquishIndexEntry& entry = index_table_[k - 1];
  SquishFrameHeader fresh;
  IoResult code = ReadSoundFrame(entry.FrameOffset, kFrameTypeMessage, &fresh);
  if (code == io::kOk) code = WriteMsgHeaderAt(entry.FrameOffset);
  if (code != io::kOk) return code;
  // A received message leaves the mail search's preselection.
  entry.NameHash = IsReceived() ? 0 : NameHash(GetTo());
  if (!write_entry) return io::kOk;  // the lock holder's UnlockBase writes it
  std::array<uint8_t, kIndexEntrySize> bytes;
  EncodeIndexEntry(entry, bytes.data());
  if (index_file_ == nullptr) return Fail(io::kNotOpen);
  if (!WriteWithRetry(*index_file_, uint64_t{k - 1u} * kIndexEntrySize, bytes)) {
    return Fail(LastFileError());
  }
  return io::kOk;
}

void SquishMessageBase::RewriteHeader() {
  // Only a header that was loaded whole is ever written back.
  if (!header_loaded_) return;
  const bool was_locked = locked_;
  if (!was_locked && !LockBase()) {
    Fail(io::kAccessDenied);
    return;
  }
  // Without an outer lock holder the one changed index entry is written at
  // once, and the lock is released without rewriting the index and the
  // control record, which this change leaves as they are on disk.
  RewriteLoadedHeader(!was_locked);
  if (!was_locked) ReleaseLock(false);
}

// The text of a Squish message is not rewritten: the frame keeps it, and
// only the header goes back in place.
void SquishMessageBase::RewriteMessage() { RewriteHeader(); }

void SquishMessageBase::DeleteMessage() {
  if (current_frame_ == 0) return;  // no message was loaded
  // Under the lock (taken here when not held; without it nothing changes
  // and IoStatus is 5) the message is found again by its unique number and
  // its frame checked afresh before the chains are relinked.
  DeleteByUid(current_uid_);
}

}  // namespace drayline
