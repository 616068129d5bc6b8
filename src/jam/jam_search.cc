// JamMessageBase: the search for a user's unreceived mail, rewriting a
// header or a whole message, deleting, and the last-read pointers.
//
// Every change is made under the lock on byte 0 of the header file, on the
// message's index record and header as they are stored at that moment (not
// as they were cached before the lock), and only after checking that they
// still describe the message that was loaded: other programs change the
// same files. A lock that cannot be had changes nothing.

#include <algorithm>
#include <cstring>

#include "jam/jam_message_base.h"
#include "jam/jam_subfields.h"
#include "support/coding.h"
#include "support/file_access.h"
#include "support/strings.h"

namespace drayline {

using namespace jam;

namespace {

// As long as ToName: a longer name was cut to this when it was stored, and
// its checksum made from the cut name.
constexpr size_t kSearchNameMax = 65;
constexpr size_t kLastReadChunk = 100;  // records read at a time

}  // namespace

// ---- Mail search ----

bool JamMessageBase::SearchCrcMatches(uint32_t crc) const {
  return (!search_name_.empty() && crc == search_name_crc_) ||
         (!search_alias_.empty() && crc == search_alias_crc_);
}

namespace {

// a == b with a-z and A-Z taken as the same, as UpperCase folds them.
bool SameIgnoringCase(std::string_view a, std::string_view b) {
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [&](char x, char y) { return upper(x) == upper(y); });
}

}  // namespace

bool JamMessageBase::SearchMatches(std::string_view name) const {
  return (!search_name_.empty() && SameIgnoringCase(name, search_name_)) ||
         (!search_alias_.empty() && SameIgnoringCase(name, search_alias_));
}

void JamMessageBase::SeekFirstForUser(std::string_view name, std::string_view alias) {
  DropHeaderWindow();  // a new walk reads headers afresh
  search_name_ = Fit(name, kSearchNameMax);
  search_alias_ = Fit(alias, kSearchNameMax);
  search_name_crc_ = NameChecksum(search_name_);
  search_alias_crc_ = NameChecksum(search_alias_);
  current_msg_num_ = static_cast<int32_t>(CursorBase() - 1);
  SeekNextForUser();
}

void JamMessageBase::SeekNextForUser() {
  // The checksums in the index preselect; a header is read only for a
  // match, and the message counts only when a recipient subfield matches a
  // search name in full. Deleted messages and unreadable headers are passed
  // over, so that they never hide later mail.
  io_status_ = io::kOk;
  const int64_t base = CursorBase();
  int64_t cur = std::max<int64_t>(current_msg_num_, base - 1) + 1;
  IoResult code = io::kOk;
  bool found = false;
  while (!found && IndexPresent(cur - base, &code)) {
    // The rest of the window is scanned in one loop, bounded to the
    // records the cursor can stand on.
    const int64_t end = CursorWindowEnd();
    for (; cur - base < end; ++cur) {
      const IndexRecord entry = WindowRecord(cur - base);
      if (!entry.deleted() && SearchCrcMatches(entry.UserCRC) && IsMailFor(entry)) {
        found = true;
        break;
      }
    }
  }
  if (code != io::kOk) {
    // The index could not be read: the search ends without a match.
    io_status_ = code;
    cur = std::max(cur, base + IndexRecordCount());
  }
  current_msg_num_ = static_cast<int32_t>(std::min<int64_t>(cur, INT32_MAX));
}

bool JamMessageBase::IsMailFor(const IndexRecord& entry) {
  // The search names' mail: unreceived, with a recipient subfield that
  // matches a search name in full.
  const IoResult loaded = LoadHeaderAt(entry.HdrOffset);
  if (loaded != io::kOk) {
    io_status_ = loaded;
    return false;
  }
  if (IsReceived()) return false;
  to_name_.clear();
  ParseSubfields(/*to_name_only=*/true);
  return SearchMatches(to_name_);
}

// ---- Changing a stored message ----

IoResult JamMessageBase::LockStoredMessage(StoredMessage* stored) {
  if (!LockBase()) return io::kAccessDenied;
  if (!header_valid_) return io::kReadPastEnd;  // no header loaded
  stored->record = int64_t{current_msg_num_} - CursorBase();
  if (stored->record < 0) return io::kReadPastEnd;
  uint8_t raw[kIndexRecordSize];
  IoResult code = ReadExact(
      *index_file_, static_cast<uint64_t>(stored->record) * kIndexRecordSize, raw);
  if (code != io::kOk) return code;
  stored->entry = DecodeIndexRecord(raw);
  if (stored->entry.deleted()) return io::kReadPastEnd;
  code = ReadExact(*header_file_, stored->entry.HdrOffset, stored->fixed);
  if (code != io::kOk) return code;
  if (std::memcmp(stored->fixed + kMhSignature, "JAM", 4) != 0 ||
      DecodeFixed32(stored->fixed + kMhMessageNumber) != HeaderField(kMhMessageNumber)) {
    return io::kReadPastEnd;  // another message, or no header at all
  }
  return io::kOk;
}

void JamMessageBase::RewriteHeader() {
  StoredMessage stored;
  IoResult code = LockStoredMessage(&stored);
  // The fixed part is written back only over the header it was read from,
  // and only while that header's subfields are the ones it describes.
  if (code == io::kOk &&
      (stored.entry.HdrOffset != header_loaded_offset_ ||
       DecodeFixed32(stored.fixed + kMhSubfieldLen) != HeaderField(kMhSubfieldLen))) {
    code = io::kReadPastEnd;
  }
  if (code == io::kOk &&
      !WriteHeaderFile(stored.entry.HdrOffset,
                      std::span(header_buffer_.get(), kFixedHeaderSize))) {
    code = LastFileError();
  }
  io_status_ = code;
  // The base header did not change.
  if (code != io::kAccessDenied) ReleaseLock(/*write_header=*/false);
}

IoResult JamMessageBase::MarkStoredDeleted(StoredMessage& stored) {
  uint8_t* attribute = stored.fixed + kMhAttribute;
  const uint32_t before = DecodeFixed32(attribute);
  const uint32_t offset = stored.entry.HdrOffset;
  EncodeFixed32(attribute, before | kAttrDeleted);
  if (!WriteHeaderFile(offset, stored.fixed)) return LastFileError();
  const IoResult code = StoreIndexRecord(stored.record, IndexRecord{kNoCrc, kNoCrc});
  if (code != io::kOk) {
    // Put the header back, so that a message still in the index is never
    // marked deleted.
    EncodeFixed32(attribute, before);
    WriteHeaderFile(offset, stored.fixed);
  }
  return code;
}

void JamMessageBase::DeleteMessage() {
  if (!header_valid_ || IsDeleted()) return;
  StoredMessage stored;
  IoResult code = LockStoredMessage(&stored);
  if (code == io::kOk) code = MarkStoredDeleted(stored);
  io_status_ = code;
  if (code == io::kAccessDenied) return;
  if (code != io::kOk) {
    ReleaseLock(/*write_header=*/false);
    return;
  }
  const uint32_t active = BaseField(kBhActiveMsgs);
  SetBaseField(kBhActiveMsgs, active > 0 ? active - 1 : 0);
  SetBaseField(kBhModCounter, BaseField(kBhModCounter) + 1);
  SetAttribute(kAttrDeleted, true);
  UnlockBase();
}

// ---- Rewriting a whole message ----

bool JamMessageBase::ComposedTextFits() const {
  // The composed text must be what AppendText expects: at most a buffer's
  // worth held in TextBuffer, the rest in the spill file.
  if (text_pos_ < 0) return false;
  if (spill_file_ == nullptr) return text_pos_ <= static_cast<int32_t>(kComposeChunk);
  return buf_start_ >= 0 && text_pos_ >= buf_start_ &&
         text_pos_ - buf_start_ <= static_cast<int32_t>(kComposeChunk);
}

void JamMessageBase::RewriteMessage() {
  const IoResult code = RewriteStored();
  if (code != io::kOk) io_status_ = code;
  spill_file_.reset();
  text_pos_ = 0;
  buf_start_ = 0;
  ForgetTextWindow();  // TextBuffer served as scratch; it holds no window
}

IoResult JamMessageBase::RewriteStored() {
  if (!header_valid_ || !ComposedTextFits()) return io::kReadPastEnd;
  if (spill_error_ != io::kOk) return spill_error_;
  StoredMessage old;
  IoResult code = LockStoredMessage(&old);
  if (code == io::kAccessDenied) return code;
  uint64_t text_len = 0, index_len = 0, header_len = 0;
  if (code == io::kOk) code = text_file_->Size(&text_len);
  if (code == io::kOk) code = index_file_->Size(&index_len);
  if (code == io::kOk) code = header_file_->Size(&header_len);
  const bool measured = code == io::kOk;
  uint32_t txt_offset = 0;
  if (code == io::kOk) code = AppendText(&txt_offset);
  if (code == io::kOk) code = RebuildSubfields(old);
  if (code == io::kOk) {
    SetHeaderField(kMhTxtOffset, txt_offset);
    SetHeaderField(kMhTxtLen, static_cast<uint32_t>(text_pos_));
    code = StoreRewrittenHeader(old, header_len);
  }
  if (code != io::kOk && measured) RollBack(text_len, index_len, header_len);
  ReleaseLock(/*write_header=*/false);  // the counters did not change
  return code;
}

IoResult JamMessageBase::RebuildSubfields(const StoredMessage& old) {
  // The subfields are built afresh from the composed names; kinds that a
  // rewrite does not set are carried over from the stored header, in their
  // order, while they fit. The text is stored by now, so TextBuffer holds
  // the stored subfields.
  const size_t want = std::min<size_t>(DecodeFixed32(old.fixed + kMhSubfieldLen),
                                       kSubfieldAreaSize);
  std::span<uint8_t> stored(text_buffer_.get(), want);
  size_t done = 0;
  if (!ReadWithRetry(*header_file_, uint64_t{old.entry.HdrOffset} + kFixedHeaderSize,
                     stored, &done)) {
    return LastFileError();
  }
  SetHeaderField(kMhSubfieldLen, 0);
  std::memset(header_buffer_.get() + kFixedHeaderSize, 0, kSubfieldAreaSize);
  AddComposedSubfields();
  ForEachSubfield(stored.first(done), [&](const Subfield& sf) {
    switch (sf.kind) {
      case kSfOrigAddr:
      case kSfDestAddr:
      case kSfSenderName:
      case kSfReceiverName:
      case kSfSubject:
      case kSfRequestedFile:
        return true;  // set by the rewrite
      default:
        break;
    }
    const uint32_t used = HeaderField(kMhSubfieldLen);
    if (used + sf.record.size() >= kSubfieldAreaSize) return false;
    std::memcpy(header_buffer_.get() + kFixedHeaderSize + used, sf.record.data(),
                sf.record.size());
    SetHeaderField(kMhSubfieldLen, used + static_cast<uint32_t>(sf.record.size()));
    return true;
  });
  return io::kOk;
}

IoResult JamMessageBase::StoreRewrittenHeader(const StoredMessage& old,
                                              uint64_t header_len) {
  const size_t length = kFixedHeaderSize + HeaderField(kMhSubfieldLen);
  const std::span<const uint8_t> header(header_buffer_.get(), length);
  const uint32_t old_offset = old.entry.HdrOffset;
  const uint32_t crc = NameChecksum(to_name_);
  IoResult code = io::kOk;
  if (length == kFixedHeaderSize + uint64_t{DecodeFixed32(old.fixed + kMhSubfieldLen)}) {
    // Same length: the header goes over the old one, the index record
    // changes only its checksum, and goes back when the header fails.
    if ((code = StoreIndexRecord(old.record, {crc, old_offset})) != io::kOk) return code;
    if (!WriteHeaderFile(old_offset, header)) {
      code = LastFileError();
      StoreIndexRecord(old.record, old.entry);
      return code;
    }
  } else {
    // Any other length would overwrite the header that follows: the new
    // header is appended, the record points at it, and the old header is
    // marked deleted. HdrOffset must stay positive (negative is deleted).
    if (header_len > INT32_MAX) return io::kDiskWriteError;
    const uint32_t moved = static_cast<uint32_t>(header_len);
    if (!WriteHeaderFile(moved, header)) return LastFileError();
    if ((code = StoreIndexRecord(old.record, {crc, moved})) != io::kOk) return code;
    uint8_t fixed[kFixedHeaderSize];
    std::memcpy(fixed, old.fixed, kFixedHeaderSize);
    EncodeFixed32(fixed + kMhAttribute, DecodeFixed32(fixed + kMhAttribute) | kAttrDeleted);
    // The rewrite is stored even when this fails: the old header is no
    // longer in the index.
    if (!WriteHeaderFile(old_offset, fixed)) io_status_ = LastFileError();
    header_loaded_offset_ = moved;
  }
  header_loaded_len_ = length;
  return io::kOk;
}

// ---- Last-read pointers ----

int64_t JamMessageBase::FindLastRead(File& file, int32_t user, IoResult* code) {
  // The file is scanned from its start, a chunk at a time; the last match
  // within the first chunk that has one wins.
  *code = io::kOk;
  uint8_t chunk[kLastReadChunk * kLastReadRecordSize];
  for (uint64_t first = 0;; first += kLastReadChunk) {
    size_t done = 0;
    if (!ReadWithRetry(file, first * kLastReadRecordSize, chunk, &done)) {
      *code = LastFileError();
      return -1;
    }
    int64_t found = -1;
    for (size_t i = 0; i < done / kLastReadRecordSize; ++i) {
      const LastReadRecord entry = DecodeLastReadRecord(chunk + i * kLastReadRecordSize);
      if (entry.UserID == static_cast<uint32_t>(user)) found = static_cast<int64_t>(first + i);
    }
    if (found >= 0) return found;
    if (done < sizeof chunk) return -1;
  }
}

int32_t JamMessageBase::GetLastRead(int32_t user) {
  std::unique_ptr<File> file;
  if (!ResetWithRetry(env_, path_ + std::string(kLastReadExt), OpenMode::kReadOnly,
                      &file)) {
    io_status_ = LastFileError();
    return 0;
  }
  IoResult code = io::kOk;
  const int64_t at = FindLastRead(*file, user, &code);
  uint8_t raw[kLastReadRecordSize];
  if (code == io::kOk && at >= 0) {
    code = ReadExact(*file, static_cast<uint64_t>(at) * kLastReadRecordSize, raw);
  }
  io_status_ = code;
  if (code != io::kOk || at < 0) return 0;
  return static_cast<int32_t>(DecodeLastReadRecord(raw).HighReadMsg);
}

void JamMessageBase::SetLastRead(int32_t user, int32_t num) {
  // The lock on byte 0 of the header file (without LockBase's re-read and
  // rewrite of the base header) keeps two programs from both appending a
  // record for the same new user. An outer LockBase already holds it.
  const bool held = lock_count_ > 0 && header_file_ != nullptr;
  File* lock_file = header_file_.get();
  std::unique_ptr<File> own;
  if (!held && lock_file == nullptr) {
    if (!ResetWithRetry(env_, path_ + std::string(kHeaderExt), OpenMode::kReadWrite,
                        &own)) {
      io_status_ = LastFileError();
      return;
    }
    lock_file = own.get();
  }
  if (!held) {
    const IoResult code = LockWithRetry(env_, *lock_file, 0, 1);
    if (code != io::kOk) {
      io_status_ = code;
      return;
    }
  }
  io_status_ = StoreLastRead(user, num);
  if (!held) UnlockRegion(*lock_file, 0, 1);
}

IoResult JamMessageBase::StoreLastRead(int32_t user, int32_t num) {
  std::unique_ptr<File> file;
  if (!ResetWithRetry(env_, path_ + std::string(kLastReadExt), OpenMode::kOpenOrCreate,
                      &file)) {
    return LastFileError();
  }
  IoResult code = io::kOk;
  const int64_t at = FindLastRead(*file, user, &code);
  if (code != io::kOk) return code;
  uint8_t raw[kLastReadRecordSize];
  uint64_t offset = 0;
  LastReadRecord entry{static_cast<uint32_t>(user), static_cast<uint32_t>(user), 0, 0};
  if (at >= 0) {
    offset = static_cast<uint64_t>(at) * kLastReadRecordSize;
    if ((code = ReadExact(*file, offset, raw)) != io::kOk) return code;
    entry = DecodeLastReadRecord(raw);  // UserCRC and UserID stay
  } else {
    uint64_t size = 0;
    if ((code = file->Size(&size)) != io::kOk) return code;
    offset = size / kLastReadRecordSize * kLastReadRecordSize;  // after whole records
  }
  entry.LastReadMsg = static_cast<uint32_t>(num);
  entry.HighReadMsg = static_cast<uint32_t>(num);
  EncodeLastReadRecord(entry, raw);
  if (!WriteWithRetry(*file, offset, raw)) return LastFileError();
  return file->Close();
}

}  // namespace drayline
