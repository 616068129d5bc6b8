// JamMessageBase: the MessageBase of a base stored in the JAM format.
//
// A base is four files named by a path without extension: ".jhr" (base
// header, then message headers), ".jdt" (texts), ".jdx" (index) and ".jlr"
// (last-read records). Every change to the first three is made while the
// lock on byte 0 of ".jhr" is held (LockBase/UnlockBase); the base header is
// re-read when the lock is taken and written back before it is released.
//
// Reading outside the lock works on snapshots. The index window (200
// records) is reloaded only when the cursor leaves it, and headers come
// through a read-ahead window of the header file, so that a walk over
// neighbouring headers costs one read per window rather than one per
// message. A header is taken from that window only when it lies wholly
// inside it. The header window is dropped when a walk starts (SeekFirst,
// SeekFirstForUser), when the lock is taken, on every write to the header
// file by this object, and on CreateBase, OpenBase, CloseBase and Done. So
// a header read under the lock is what the file holds (DeleteMessage,
// RewriteHeader and RewriteMessage check the stored records afresh in any
// case), while a change that another program makes during a walk outside
// the lock may be seen only from the next walk on.
//
// The buffers are allocated once, at construction; Done releases them and
// closes the files, and may be called more than once.

#ifndef DRAYLINE_JAM_JAM_MESSAGE_BASE_H_
#define DRAYLINE_JAM_JAM_MESSAGE_BASE_H_

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "drayline/message_base.h"
#include "jam/jam_format.h"
#include "support/coding.h"
#include "support/env.h"

namespace drayline {

class JamMessageBase final : public MessageBase {
 public:
  explicit JamMessageBase(Env* env = nullptr);
  ~JamMessageBase() override;

  void ResetText() override;
  void RewriteMessage() override;
  void Done() override;
  void SetPath(std::string_view path) override;
  bool OpenBase() override;
  void CloseBase() override;
  bool CreateBase(uint16_t max_msgs, uint16_t keep_days) override;
  bool BaseExists() override;
  bool LockBase() override;
  bool UnlockBase() override;
  void SetDest(const NetAddress& addr) override;
  void SetOrig(const NetAddress& addr) override;
  void SetFrom(std::string_view name) override;
  void SetTo(std::string_view name) override;
  void SetSubject(std::string_view subject) override;
  void SetCost(uint16_t cost) override;
  void SetReplyTo(int32_t num) override;
  void SetFirstReply(int32_t num) override;
  void SetDate(std::string_view date) override;
  void SetTime(std::string_view time) override;
  void SetLocal(bool on) override;
  void SetReceived(bool on) override;
  void SetPrivate(bool on) override;
  void SetCrash(bool on) override;
  void SetHold(bool on) override;
  void SetKillSent(bool on) override;
  void SetSent(bool on) override;
  void SetFileAttach(bool on) override;
  void SetReceiptRequest(bool on) override;
  void SetConfirmRequest(bool on) override;
  void SetIsReceipt(bool on) override;
  void SetFileRequest(bool on) override;
  void AddText(std::string_view s) override;
  void AddChar(uint8_t c) override;
  void AddTextLine(std::string_view s) override;
  uint16_t WriteMessage() override;
  uint8_t GetChar() override;
  bool EndOfText() override;
  std::string GetTextLine(uint16_t max_len) override;
  std::string GetFrom() override;
  std::string GetTo() override;
  std::string GetSubject() override;
  uint16_t GetCost() override;
  std::string GetDate() override;
  std::string GetTime() override;
  int32_t GetReplyTo() override;
  int32_t GetFirstReply() override;
  int32_t GetNextReply() override;
  void SetNextReply(int32_t num) override;
  int32_t GetMsgNum() override;
  int32_t GetTextLength() override;
  void GetOrig(NetAddress& addr) override;
  void GetDest(NetAddress& addr) override;
  bool IsLocal() override;
  bool IsCrash() override;
  bool IsKillSent() override;
  bool IsSent() override;
  bool IsFileAttach() override;
  bool IsReceiptRequest() override;
  bool IsConfirmRequest() override;
  bool IsReceipt() override;
  bool IsFileRequest() override;
  bool IsReceived() override;
  bool IsPrivate() override;
  bool IsDeleted() override;
  bool IsEchoed() override;
  int32_t GetMsgLoc() override;
  void SetMsgLoc(int32_t loc) override;
  void ReadHeader() override;
  void BeginTextRead() override;
  void StartNewMessage() override;
  void SeekFirst(int32_t num) override;
  void SeekNext() override;
  void SeekPrior() override;
  bool SeekFound() override;
  void SeekFirstForUser(std::string_view name, std::string_view alias) override;
  void SeekNextForUser() override;
  bool ForUserFound() override;
  int32_t GetHighMsgNum() override;
  void SetMailType(MailType kind) override;
  uint16_t GetAuxNumber() override;
  void RewriteHeader() override;
  void DeleteMessage() override;
  int32_t NumberOfMessages() override;
  int32_t GetLastRead(int32_t user) override;
  void SetLastRead(int32_t user, int32_t num) override;
  int32_t GetTextPosition() override;
  void SetTextPosition(int32_t pos) override;

  // I/O result of the last step that records it (0 when none).
  uint16_t IoStatus() const { return io_status_; }
  const std::string& Path() const { return path_; }

 private:
  // Base header fields of BaseHeaderImage.
  uint32_t BaseField(size_t offset) const {
    return DecodeFixed32(base_header_image_.data() + offset);
  }
  void SetBaseField(size_t offset, uint32_t value);
  int32_t BaseMsgNum() const;
  // Fixed-part fields of HeaderBuffer.
  uint32_t HeaderField(size_t offset) const {
    return DecodeFixed32(header_buffer_.get() + offset);
  }
  void SetHeaderField(size_t offset, uint32_t value);
  void SetAttribute(uint32_t bit, bool on);
  bool HasAttribute(uint32_t bit) const;

  // Number of whole index records in the index file (0 when unknown).
  int64_t IndexRecordCount();
  // Appends the composed text at the end of the text file, through the
  // spill file when it has grown beyond the buffer. *offset receives where
  // the text starts.
  IoResult AppendText(uint32_t* offset);
  IoResult SpillBuffer();
  void AddSubfield(uint16_t kind, std::string_view text);
  void AddComposedSubfields();
  // Cuts the three files back to the given lengths after a failed store.
  void RollBack(uint64_t text_len, uint64_t index_len, uint64_t header_len);
  void ForgetTextWindow();
  // Index window (reading).
  IoResult LocateIndex();
  IoResult LoadIndexWindow();
  // Writes one index record and keeps the window's copy of it in step.
  IoResult StoreIndexRecord(int64_t record, const jam::IndexRecord& entry);
  // The index record of CurrentMsgNum (LocateIndex must have succeeded).
  jam::IndexRecord& CurrentIndexRecord();
  IoResult LoadHeaderAt(uint32_t offset);
  // Reads size bytes of the header file at offset into the header window
  // (and the rest of the header there when it is longer).
  IoResult FillHeaderWindow(uint64_t offset, size_t size);
  // Bytes of the header at offset that the header window holds (at most
  // its length); *whole tells whether that is all of it.
  size_t HeaderBytesInWindow(uint64_t offset, bool* whole) const;
  void DropHeaderWindow() { header_window_len_ = 0; }
  // Bytes of the header whose fixed part starts at `fixed`: the fixed part
  // and SubfieldLen, at most a HeaderBuffer.
  static size_t HeaderLength(const uint8_t* fixed);
  // Every write to the header file goes through here: it drops the header
  // window first.
  bool WriteHeaderFile(uint64_t offset, std::span<const uint8_t> data);
  void ParseSubfields(bool to_name_only);
  // Record number of user's last-read record, -1 when there is none; *code
  // receives the I/O result of the scan.
  int64_t FindLastRead(File& file, int32_t user, IoResult* code);
  // Releases the lock taken by LockBase; writes the base header first (while
  // the lock is still held) only when write_header. False when the header
  // write or the release failed.
  bool ReleaseLock(bool write_header);
  // CreateBase helpers.
  IoResult OpenOrCreateFile(std::string_view ext, std::unique_ptr<File>* file);
  IoResult WriteFreshBaseHeader(File& header_file);
  // Raises the counters, writes the base header and releases the lock; on
  // a failed write the old header is put back and the lock is kept.
  IoResult CommitStore();

  Env* env_;
  uint16_t io_status_ = 0;

  // Files.
  std::unique_ptr<File> header_file_;
  std::unique_ptr<File> text_file_;
  std::unique_ptr<File> index_file_;
  std::unique_ptr<File> spill_file_;

  // Buffers, allocated once.
  std::unique_ptr<uint8_t[]> header_buffer_;  // kHeaderBufferSize
  std::unique_ptr<jam::IndexRecord[]> index_window_;  // kIndexWindowRecords + 1
  std::unique_ptr<uint8_t[]> text_buffer_;    // kTextBufferSize
  std::unique_ptr<uint8_t[]> carry_over_;     // kCarryOverSize
  std::unique_ptr<uint8_t[]> header_window_;  // kHeaderWindowSize
  uint64_t header_window_start_ = 0;
  size_t header_window_len_ = 0;  // 0: the window holds nothing
  uint64_t header_next_ = 0;      // end of the last header loaded
  std::array<uint8_t, jam::kBaseHeaderSize> base_header_image_{};

  std::string path_;
  NetAddress dest_addr_;
  NetAddress orig_addr_;
  std::string from_name_;
  std::string to_name_;
  std::string subject_;
  std::string date_text_;
  std::string time_text_;
  int32_t current_msg_num_ = 0;
  std::string search_name_;
  std::string search_alias_;
  uint32_t search_name_crc_ = 0;
  uint32_t search_alias_crc_ = 0;
  int32_t text_pos_ = 0;
  int32_t text_last_ = 0;
  int32_t buf_start_ = 0;
  int32_t buf_len_ = 0;
  int32_t window_count_ = 0;
  MailType mail_kind_ = MailType::Local;
  int32_t lock_count_ = 0;
  int32_t window_first_ = -30;
  int16_t carry_len_ = 0;
  // Bytes of HeaderBuffer that hold the header last loaded (fixed part
  // included); subfields are only taken from within them.
  size_t header_loaded_len_ = 0;
  bool header_valid_ = false;
  // First failure of the spill file while composing; WriteMessage fails
  // with it instead of storing a text with bytes missing.
  IoResult spill_error_ = 0;
  bool done_ = false;

  // ---- Reading, search, rewrite and delete (jam_read.cc, jam_search.cc) ----
  // The lowest BaseMsgNum the cursor works with, so that one below it and
  // one above the highest message number still fit in 32 bits.
  int64_t CursorBase() const;
  // True when index record `record` exists and is held in IndexWindow
  // (loading the window around it when needed). *code receives the I/O
  // result of a load; a record past the end of the index is no error.
  bool IndexPresent(int64_t record, IoResult* code);
  bool InWindow(int64_t record) const;
  // One past the last record of the window that the cursor can stand on.
  int64_t CursorWindowEnd() const;
  // Index record `record`, which InWindow must have found in the window.
  jam::IndexRecord& WindowRecord(int64_t record);
  // The subfield records of the header last loaded, bounded by the bytes
  // read, SubfieldLen and the subfield area.
  std::span<const uint8_t> SubfieldArea() const;
  // True when name is the search's name or alias, ignoring case; an empty
  // search name or alias matches nothing.
  bool SearchMatches(std::string_view name) const;
  bool SearchCrcMatches(uint32_t crc) const;
  // Loads the header of a record whose checksum matched; true when it is
  // unreceived mail for a search name.
  bool IsMailFor(const jam::IndexRecord& entry);
  // The loaded message as it is stored: its index record and the fixed
  // part of its header.
  struct StoredMessage {
    int64_t record = 0;
    jam::IndexRecord entry;
    uint8_t fixed[jam::kFixedHeaderSize] = {};
  };
  // Takes the lock and reads the loaded message afresh; fails unless the
  // stored record and header still describe the message in HeaderBuffer.
  // The lock is held afterwards unless the result is kAccessDenied.
  IoResult LockStoredMessage(StoredMessage* stored);
  IoResult MarkStoredDeleted(StoredMessage& stored);
  bool ComposedTextFits() const;
  IoResult RewriteStored();
  IoResult RebuildSubfields(const StoredMessage& old);
  IoResult StoreRewrittenHeader(const StoredMessage& old, uint64_t header_len);
  IoResult StoreLastRead(int32_t user, int32_t num);
  void SkipFinalLineFeed();

  uint32_t header_loaded_offset_ = 0;  // where the loaded header was read
  int32_t text_first_ = 0;  // TxtOffset of the text being read, bounded
};

}  // namespace drayline

#endif  // DRAYLINE_JAM_JAM_MESSAGE_BASE_H_
