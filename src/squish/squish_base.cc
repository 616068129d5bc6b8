// Squish base files: opening, creating and closing them, the control record,
// the index in memory and the lock that brackets every change.

#include <algorithm>
#include <new>

#include "squish/squish_message_base.h"
#include "squish/squish_path.h"
#include "support/coding.h"
#include "support/file_access.h"
#include "support/strings.h"

namespace drayline {

using namespace squish;

namespace {

// The control record's length as a file declares it (0 means 256).
uint16_t DeclaredHeaderLength(const uint8_t* bytes) {
  uint16_t length = DecodeFixed16(bytes + kBhHeaderLength);
  return length == 0 ? kBaseHeaderSize : length;
}

// Decodes a control record from the first `got` bytes of a data file. False
// when they do not hold a whole, usable one: a length that cannot hold the
// fields in use or exceeds the area, a file shorter than its own record, a
// frame-header size that cannot hold a frame header, or an EndFrame inside
// the record. Values that fail here would steer writes outside the frames.
bool ParseControlRecord(std::span<const uint8_t> bytes, size_t got,
                        SquishBaseHeader* header, uint16_t* length) {
  if (got < 2) return false;
  uint16_t declared = DeclaredHeaderLength(bytes.data());
  if (declared < kMinHeaderLength || declared > kHeaderAreaSize) return false;
  if (got < declared) return false;
  SquishBaseHeader h = DecodeBaseHeader(bytes.data());
  if (h.FrameHeaderSize != 0 && h.FrameHeaderSize < kFrameHeaderSize) {
    return false;
  }
  if (h.EndFrame < declared) return false;
  *header = h;
  *length = declared;
  return true;
}

}  // namespace

SquishMessageBase::SquishMessageBase(Env* env)
    : env_(env != nullptr ? env : Env::Default()) {
  AllocateTables();
}

SquishMessageBase::~SquishMessageBase() { Done(); }

bool SquishMessageBase::AllocateTables() {
  text_buffer_.reset(new (std::nothrow) uint8_t[kTextBufferSize + 1]);
  free_table_.reset(new (std::nothrow) FreeSlot[kFreeTableSize]);
  if (text_buffer_ == nullptr || free_table_ == nullptr) {
    text_buffer_.reset();
    free_table_.reset();
    return false;
  }
  return true;
}

void SquishMessageBase::Done() {
  CloseDataFile();
  CloseIndexFile();
  index_table_.reset();
  index_image_.reset();
  index_capacity_ = 0;
  index_count_ = 0;
  free_table_.reset();
  text_buffer_.reset();
  text_pos_ = 0;
}

IoResult SquishMessageBase::Fail(IoResult code) {
  io_status_ = code;
  return code;
}

void SquishMessageBase::SetPath(std::string_view path) {
  // Never cut for length: a shortened path would name another base.
  path_ = ExpandBasePath(path);
}

bool SquishMessageBase::BaseExists() {
  return FileExists(env_, FileName(kDataExt));
}

bool SquishMessageBase::OpenBase() {
  if (!Constructed()) return false;  // after Done
  if (!OpenIndexFile()) return false;
  bool opened = OpenDataFile();
  ReadIndex();
  return opened;
}

bool SquishMessageBase::OpenIndexFile() {
  if (index_file_ != nullptr) return true;
  if (!ResetWithRetry(env_, FileName(kIndexExt), OpenMode::kReadWrite,
                      &index_file_)) {
    index_file_.reset();
    Fail(LastFileError());
    return false;
  }
  return true;
}

bool SquishMessageBase::OpenDataFile() {
  if (data_file_ != nullptr) return true;
  if (!ResetWithRetry(env_, FileName(kDataExt), OpenMode::kReadWrite,
                      &data_file_)) {
    data_file_.reset();
    Fail(LastFileError());
    return false;
  }
  // Each base object learns its own sizes from its own file.
  header_length_ = kBaseHeaderSize;
  frame_header_size_ = kFrameHeaderSize;
  if (ReadBaseHeader() != io::kOk) {
    // Not an open base: closed again, so that CreateBase may complete a
    // data file too short to hold its control record.
    CloseDataFile();
    return false;
  }
  return true;
}

void SquishMessageBase::CloseBase() {
  CloseDataFile();
  CloseIndexFile();
}

void SquishMessageBase::CloseDataFile() {
  if (data_file_ == nullptr) return;
  data_file_->Close();  // the result is read and dropped
  data_file_.reset();
  // Closing the file gave up its lock.
  locked_ = false;
  journal_.clear();
  header_status_ = io::kNotOpen;
}

void SquishMessageBase::CloseIndexFile() {
  if (index_file_ == nullptr) return;
  index_file_->Close();
  index_file_.reset();
  index_status_ = io::kNotOpen;
}

IoResult SquishMessageBase::ReadBaseHeader() {
  header_status_ = io::kNotOpen;
  if (data_file_ == nullptr) return Fail(io::kNotOpen);
  // One read of the whole area; the declared length says how much of it
  // is the control record.
  std::array<uint8_t, kHeaderAreaSize> area{};
  size_t got = 0;
  if (!ReadWithRetry(*data_file_, 0, area, &got)) return Fail(LastFileError());
  SquishBaseHeader header;
  uint16_t length = 0;
  if (!ParseControlRecord(area, got, &header, &length)) {
    return Fail(got < kMinHeaderLength ? io::kReadPastEnd : kDamagedBase);
  }
  std::fill(area.begin() + length, area.end(), 0);
  if (header.FrameHeaderSize == 0) header.FrameHeaderSize = kFrameHeaderSize;
  header_area_ = area;
  base_ = header;
  header_length_ = length;
  frame_header_size_ = header.FrameHeaderSize;
  header_status_ = io::kOk;
  return io::kOk;
}

IoResult SquishMessageBase::WriteBaseHeader() {
  if (data_file_ == nullptr) return Fail(io::kNotOpen);
  EncodeBaseHeader(base_, header_area_.data());
  if (!WriteWithRetry(*data_file_, 0,
                      std::span(header_area_.data(), header_length_))) {
    return Fail(LastFileError());
  }
  return io::kOk;
}

bool SquishMessageBase::CreateBase(uint16_t max_msgs, uint16_t keep_days) {
  if (data_file_ != nullptr || !Constructed()) return false;
  // Created if missing, never truncated: another post may have just made
  // it and stored into it.
  std::unique_ptr<File> data;
  if (!ResetWithRetry(env_, FileName(kDataExt), OpenMode::kOpenOrCreate,
                      &data)) {
    Fail(LastFileError());
    return false;
  }
  IoResult code = LockWithRetry(env_, *data, 0, 1);
  if (code != io::kOk) {
    Fail(code);
    return false;
  }
  bool holds_messages = false;
  bool ok = PrepareControlRecord(*data, max_msgs, keep_days, &holds_messages) &&
            PrepareIndexFile(holds_messages);
  // The last-read file is not needed to post; its result is not looked at.
  if (ok) SaveFile(env_, FileName(kLastReadExt), {});
  UnlockRegion(*data, 0, 1);
  data->Close();
  return ok;
}

bool SquishMessageBase::PrepareControlRecord(File& data, uint16_t max_msgs,
                                             uint16_t keep_days,
                                             bool* holds_messages) {
  uint64_t size = 0;
  IoResult code = data.Size(&size);
  if (code != io::kOk) {
    Fail(code);
    return false;
  }
  std::array<uint8_t, kHeaderAreaSize> area{};
  size_t got = 0;
  if (!ReadWithRetry(data, 0, area, &got)) {
    Fail(LastFileError());
    return false;
  }
  SquishBaseHeader existing;
  uint16_t length = 0;
  if (ParseControlRecord(area, got, &existing, &length)) {
    // A whole control record is kept as it is.
    *holds_messages = existing.MessageCount != 0 || existing.FirstFrame != 0 ||
                      existing.EndFrame > length || size > length;
    return true;
  }
  if (size >= kBaseHeaderSize) {
    // Not a control record we can read, and long enough to hold frames:
    // never written over.
    Fail(kDamagedBase);
    return false;
  }
  SquishBaseHeader fresh;
  fresh.HeaderLength = kBaseHeaderSize;
  fresh.FrameHeaderSize = kFrameHeaderSize;
  fresh.NextUid = 1;
  StrToCStr(path_, kBaseNameMax + 1, fresh.BaseName);
  fresh.MaxMessages = max_msgs;
  fresh.KeepDays = keep_days;
  fresh.EndFrame = kBaseHeaderSize;
  std::array<uint8_t, kBaseHeaderSize> bytes{};
  EncodeBaseHeader(fresh, bytes.data());
  if (!WriteWithRetry(data, 0, bytes)) {
    Fail(LastFileError());
    return false;
  }
  *holds_messages = false;
  return true;
}

bool SquishMessageBase::PrepareIndexFile(bool holds_messages) {
  if (index_file_ != nullptr) return true;
  const std::string name = FileName(kIndexExt);
  if (holds_messages) {
    // The base holds messages whose index is gone or unreadable: creating
    // an empty index would lose them all. Left for the sysop to repair.
    std::unique_ptr<File> index;
    if (!ResetWithRetry(env_, name, OpenMode::kReadWrite, &index)) {
      {
        Fail(LastFileError());
        return false;
      }
    }
    return true;
  }
  IoResult code = SaveFile(env_, name, {});
  if (code != io::kOk) {
    Fail(code);
    return false;
  }
  return true;
}

uint16_t SquishMessageBase::IndexEntries() const {
  if (index_table_ == nullptr || base_.MessageCount <= 0) return 0;
  return static_cast<uint16_t>(
      std::min<int64_t>(base_.MessageCount, index_count_));
}

const SquishIndexEntry* SquishMessageBase::IndexEntryAt(int64_t k) const {
  if (k < 1 || k > IndexEntries()) return nullptr;
  return &index_table_[k - 1];
}

bool SquishMessageBase::ReserveIndexTable(uint16_t capacity) {
  if (index_table_ != nullptr && index_capacity_ >= capacity) return true;
  std::unique_ptr<SquishIndexEntry[]> table(new (std::nothrow)
                                                SquishIndexEntry[capacity]);
  std::unique_ptr<uint8_t[]> image(
      new (std::nothrow) uint8_t[size_t{capacity} * kIndexEntrySize]);
  if (table == nullptr || image == nullptr) return false;
  if (index_table_ != nullptr) {
    std::copy_n(index_table_.get(), index_count_, table.get());
    std::copy_n(index_image_.get(), index_image_size_, image.get());
  }
  index_table_ = std::move(table);
  index_image_ = std::move(image);
  index_capacity_ = capacity;
  return true;
}

void SquishMessageBase::ReadIndex() {
  index_count_ = 0;
  index_image_size_ = 0;
  index_file_size_ = 0;
  index_status_ = io::kNotOpen;
  if (index_file_ == nullptr) return void(Fail(io::kNotOpen));
  uint64_t size = 0;
  IoResult code = index_file_->Size(&size);
  if (code != io::kOk) return void(index_status_ = Fail(code));
  uint64_t records = size / kIndexEntrySize;
  // Room for 100 more entries, so that posts need not grow the table; a
  // table that already has room for the next entry is kept.
  bool room = index_table_ != nullptr && (index_capacity_ > records ||
                                          index_capacity_ == kMaxIndexEntries);
  uint16_t wanted = static_cast<uint16_t>(
      std::min<uint64_t>(records + kIndexSpare, kMaxIndexEntries));
  if (!room && !ReserveIndexTable(wanted)) {
    index_table_.reset();
    index_image_.reset();
    index_capacity_ = 0;
    return void(index_status_ = Fail(kNoIndexTable));
  }
  std::span<uint8_t> image(index_image_.get(),
                           size_t{index_capacity_} * kIndexEntrySize);
  size_t got = 0;
  if (!ReadWithRetry(*index_file_, 0, image, &got)) {
    return void(index_status_ = Fail(LastFileError()));
  }
  index_image_size_ = got;
  index_file_size_ = std::max<uint64_t>(size, got);
  index_count_ = static_cast<uint16_t>(got / kIndexEntrySize);
  for (uint16_t k = 0; k < index_count_; ++k) {
    index_table_[k] = DecodeIndexEntry(image.data() + k * kIndexEntrySize);
  }
  // Entries beyond the table were not loaded: nothing may rewrite the file.
  index_status_ = index_file_size_ > got ? kNoIndexTable : io::kOk;
}

IoResult SquishMessageBase::WriteIndex() {
  if (index_table_ == nullptr) return Fail(kNoIndexTable);
  if (index_file_ == nullptr) return Fail(io::kNotOpen);
  if (index_status_ != io::kOk) return Fail(index_status_);
  if (base_.MessageCount < 0 || base_.MessageCount > index_count_) {
    return Fail(kDamagedBase);
  }
  const size_t length = size_t(base_.MessageCount) * kIndexEntrySize;
  std::vector<uint8_t> bytes(length);
  for (int32_t k = 0; k < base_.MessageCount; ++k) {
    EncodeIndexEntry(index_table_[k], bytes.data() + k * kIndexEntrySize);
  }
  // Entries first, then the cut: the file is never without its entries.
  if (length > 0 && !WriteWithRetry(*index_file_, 0, bytes)) {
    return Fail(LastFileError());
  }
  if (index_file_size_ > length && index_file_->Truncate(length) != io::kOk) {
    return Fail(kIndexSeekFailed);
  }
  return io::kOk;
}

void SquishMessageBase::RestoreIndexFile() {
  if (index_file_ == nullptr || index_image_ == nullptr) return;
  std::span<const uint8_t> image(index_image_.get(), index_image_size_);
  if (!image.empty()) WriteWithRetry(*index_file_, 0, image);
  index_file_->Truncate(index_file_size_);
}

void SquishMessageBase::RememberIndexImage() {
  const size_t length = size_t(index_count_) * kIndexEntrySize;
  for (uint16_t k = 0; k < index_count_; ++k) {
    EncodeIndexEntry(index_table_[k], index_image_.get() + k * kIndexEntrySize);
  }
  index_image_size_ = length;
  index_file_size_ = length;
}

void SquishMessageBase::ReloadIndexFromImage() {
  index_count_ = static_cast<uint16_t>(index_image_size_ / kIndexEntrySize);
  for (uint16_t k = 0; k < index_count_; ++k) {
    index_table_[k] =
        DecodeIndexEntry(index_image_.get() + k * kIndexEntrySize);
  }
}

bool SquishMessageBase::LockBase() {
  if (locked_) return true;
  if (data_file_ == nullptr) {
    Fail(io::kNotOpen);
    return false;
  }
  IoResult code = LockWithRetry(env_, *data_file_, 0, 1);
  if (code != io::kOk) {
    Fail(code);
    return false;
  }
  locked_ = true;
  journal_.clear();
  // Another program may have changed the base before the lock was ours.
  ReadBaseHeader();
  ReadIndex();
  free_table_loaded_ = false;
  locked_header_area_ = header_area_;
  locked_base_ = base_;
  return true;
}

bool SquishMessageBase::UnlockBase() {
  if (!locked_) return true;
  IoResult code = ReleaseLock(header_status_ == io::kOk);
  return code == io::kOk && !locked_;
}

IoResult SquishMessageBase::ReleaseLock(bool commit) {
  IoResult result = commit ? CommitLocked() : io::kOk;
  journal_.clear();
  if (data_file_ != nullptr) {
    IoResult code = UnlockRegion(*data_file_, 0, 1);
    locked_ = code >= 2;
  } else {
    locked_ = false;
  }
  return result;
}

IoResult SquishMessageBase::CommitLocked() {
  // The index before the control record: a crash between the two leaves
  // the old control record, which the next post simply overwrites from.
  // A refused index write wrote nothing and needs nothing put back.
  const bool index_writable =
      index_status_ == io::kOk && index_file_ != nullptr;
  IoResult code = WriteIndex();
  bool header_tried = false;
  if (code == io::kOk) {
    header_tried = true;
    code = WriteBaseHeader();
  }
  if (code == io::kOk) {
    RememberIndexImage();
    return io::kOk;
  }
  // Put everything back as it was when the lock was taken.
  if (index_writable) RestoreIndexFile();
  RevertJournal(0);
  if (header_tried && data_file_ != nullptr) {
    WriteWithRetry(*data_file_, 0,
                   std::span(locked_header_area_.data(), header_length_));
  }
  header_area_ = locked_header_area_;
  base_ = locked_base_;
  ReloadIndexFromImage();
  free_table_loaded_ = false;
  return code;
}

}  // namespace drayline
