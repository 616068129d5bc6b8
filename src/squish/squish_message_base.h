// SquishMessageBase: the MessageBase of a base stored in the Squish format.
//
// A base is named by a path without extension (SetPath expands it to a full
// path): ".sqd" holds the control record and the frames, ".sqi" the index
// (one entry per message, oldest first), ".sql" the last-read pointers.
// The whole index is held in memory (at most 5200 entries).
//
// Every change is made between LockBase and UnlockBase, which hold the lock
// on byte 0 of ".sqd". LockBase re-reads the control record and the index;
// UnlockBase writes the index and then the control record, and only then
// releases the lock. Frame headers are written when they change. A store
// that fails puts back every frame header it changed and the in-memory
// control record and index, so the files on disk still describe only the
// messages stored before.
//
// Values read from the files are checked before they steer a read or a
// write: a frame is only relinked or written over when it lies between the
// control record and EndFrame, carries the frame id, and has the type of
// the chain it is on.
//
// The buffers are allocated once, at construction; Done releases them and
// closes the files, and may be called more than once.

#ifndef DRAYLINE_SQUISH_SQUISH_MESSAGE_BASE_H_
#define DRAYLINE_SQUISH_SQUISH_MESSAGE_BASE_H_

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "drayline/message_base.h"
#include "squish/squish_format.h"
#include "support/env.h"

namespace drayline {

class SquishMessageBase final : public MessageBase {
 public:
  // Obtains the buffers; Constructed() is false when they could not be had
  // (NewSquishMessageBase then gives no object).
  explicit SquishMessageBase(Env* env = nullptr);
  ~SquishMessageBase() override;
  bool Constructed() const { return text_buffer_ != nullptr; }

  // ---- Base files and control record (squish_base.cc) ----
  void Done() override;
  void SetPath(std::string_view path) override;
  bool OpenBase() override;
  void CloseBase() override;
  bool CreateBase(uint16_t max_msgs, uint16_t keep_days) override;
  bool BaseExists() override;
  bool LockBase() override;
  // Writes the index and then the control record (when the lock-time
  // re-read succeeded), then releases the lock. A failed write puts the
  // index file, the frame links changed under the lock and the control
  // record back as they were, and the answer is false.
  bool UnlockBase() override;

  // ---- Composing and storing (squish_compose.cc, squish_write.cc) ----
  void SetDest(const NetAddress& addr) override;
  void SetOrig(const NetAddress& addr) override;
  void SetFrom(std::string_view name) override;
  void SetTo(std::string_view name) override;
  void SetSubject(std::string_view subject) override;
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
  // 0 stored; 5 the lock was not obtained; 999 no index table or no room in
  // it; 100 (kDamagedBase) the base's structure forbids the store; otherwise
  // the I/O result of the failed write. Nothing is stored unless 0.
  uint16_t WriteMessage() override;
  void StartNewMessage() override;
  void SetMailType(MailType kind) override;  // ignored
  void SetEchoed(bool on) override;

  // ---- Reading, scanning, deleting, last-read (squish_read.cc) ----
  // The cursor reaches the table only through IndexEntryAt (entries
  // 1..IndexEntries()). DeleteMessage is DeleteByUid(current_uid_). What
  // changes under LockBase reaches the files at UnlockBase, and only when
  // the lock-time re-read was sound (header_status_ 0); a change that
  // fails half-way puts itself back first (BeginChange/AbortChange).
  void ResetText() override;
  void RewriteMessage() override;
  uint8_t GetChar() override;
  bool EndOfText() override;
  std::string GetTextLine(uint16_t max_len) override;
  std::string GetFrom() override;
  std::string GetTo() override;
  std::string GetSubject() override;
  std::string GetDate() override;
  std::string GetTime() override;
  int32_t GetReplyTo() override;
  int32_t GetFirstReply() override;
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
  bool IsDeleted() override;  // always false
  bool IsEchoed() override;
  int32_t GetMsgLoc() override;
  void SetMsgLoc(int32_t loc) override;
  void ReadHeader() override;
  void BeginTextRead() override;
  void SeekFirst(int32_t num) override;
  void SeekNext() override;
  void SeekPrior() override;
  bool SeekFound() override;
  void SeekFirstForUser(std::string_view name, std::string_view alias) override;
  void SeekNextForUser() override;
  bool ForUserFound() override;
  int32_t GetHighMsgNum() override;
  uint16_t GetAuxNumber() override;  // always 0
  void RewriteHeader() override;
  void DeleteMessage() override;
  int32_t NumberOfMessages() override;
  int32_t GetLastRead(int32_t user) override;
  void SetLastRead(int32_t user, int32_t num) override;
  int32_t GetMsgDisplayNum() override;
  int32_t GetTextPosition() override;
  void SetTextPosition(int32_t pos) override;

  // ---- Inspection (tests and tools) ----
  // Code of the last failed file step (0 when none); never cleared.
  uint16_t IoStatus() const { return io_status_; }
  const std::string& Path() const { return path_; }
  uint16_t IndexCapacity() const { return index_capacity_; }
  const squish::SquishBaseHeader& BaseHeader() const { return base_; }

 private:
  using SquishFrameHeader = squish::SquishFrameHeader;
  using SquishIndexEntry = squish::SquishIndexEntry;

  // A free frame known to the object: its offset (0 = empty slot) and its
  // FrameLength.
  struct FreeSlot {
    int32_t offset = 0;
    int32_t length = 0;
  };

  // One frame header as it was before the lock's changes rewrote it; or,
  // with truncate set, the data file's length (in offset) before a frame
  // was appended.
  struct FrameUndo {
    int64_t offset = 0;
    SquishFrameHeader old;
    bool truncate = false;
  };

  // What a change (a store or a deletion) puts back when it fails.
  struct ChangeMark {
    size_t journal_size = 0;
    squish::SquishBaseHeader base;
    std::vector<SquishIndexEntry> entries;
  };

  // The two neighbours of a frame in its chain, read and checked.
  struct Neighbours {
    SquishFrameHeader prev;
    SquishFrameHeader next;
  };

  // ---- The format's own operations, in slot order ----
  // Opens ".sqd" and reads a whole, sound control record; when it cannot,
  // the file is closed again and the answer is false.
  bool OpenDataFile();
  bool OpenIndexFile();
  void CloseDataFile();
  void CloseIndexFile();
  // Reads the control record at 0 and checks it; on success base_,
  // header_length_ and frame_header_size_ hold it and header_status_ is 0.
  // Returns the failure code (also left in header_status_) or 0.
  IoResult ReadBaseHeader();
  IoResult WriteBaseHeader();
  int32_t GetBeginFrame() const { return base_.FirstFrame; }
  int32_t GetHighWater() const { return base_.HighWater; }
  // Frame primitives: the first 28 bytes of the frame header at offset;
  // failures set io_status_ and are returned.
  IoResult ReadCurrentFrameHeader(int64_t offset);
  IoResult ReadFrameHeader(SquishFrameHeader& header, int64_t offset);
  IoResult WriteCurrentFrameHeader(int64_t offset);
  IoResult WriteFrameHeader(const SquishFrameHeader& header, int64_t offset);
  // Takes the frame at offset, whose header is given, out of its chain by
  // rewriting its neighbours' links (journaled). Both neighbours must be
  // sound frames of chain_type other than the frame itself; otherwise
  // nothing is written and kDamagedBase is returned.
  IoResult UnlinkFrame(const SquishFrameHeader& header, int64_t offset,
                       uint16_t chain_type);
  // Points header forward to next and the frame at next (when not 0) back
  // to offset. Not used by the base itself.
  IoResult LinkFrame(SquishFrameHeader& header, int64_t offset, int32_t next);
  // Chooses where a message of *size bytes goes: the free frame whose
  // length is the smallest above *size (the first of equal ones), checked
  // sound, with its header in *chosen and its length in *size; or, with
  // *size set to 0, EndFrame. Its slot is emptied; nothing on disk changes.
  IoResult FindFreeFrame(int32_t* size, int32_t* offset,
                         SquishFrameHeader* chosen);
  int32_t GetNextFrame() const { return frame_header_.NextFrame; }
  // Into msg_header_ (left as it was on failure).
  IoResult ReadMsgHeaderAt(int64_t offset);
  IoResult WriteMsgHeaderAt(int64_t offset);
  // TextBuffer positions 1..text_pos_.
  IoResult WriteMsgTextAt(int64_t offset);
  static uint32_t NameHash(std::string_view name) {
    return squish::NameHash(name);
  }
  IoResult ReadMsgTextAt(int64_t offset);  // reading
  void ResetTextPos() { text_pos_ = 0; }
  // Loads the index file into the table, in one read. The table is
  // allocated with 100 spare entries (at most 5200) and kept while it has
  // room for another entry. index_status_ is 0 only when the whole file
  // was loaded.
  void ReadIndex();
  // Writes MessageCount entries from the start of the index file, then
  // cuts the file there; refuses (writes nothing) unless the whole file
  // was loaded. Returns the failure code or 0.
  IoResult WriteIndex();
  int32_t GetIndexOffset();  // reading
  int32_t GetIndexHash();    // reading
  void SetAttribute(bool on, uint32_t mask);
  // Fills free_table_ from the free chain, stopping at the first frame
  // that is not a sound free frame or that was met before.
  void LoadFreeTable();
  int32_t GetHighestUid();  // reading

  // ---- Helpers ----
  IoResult Fail(IoResult code);  // io_status_ := code; returns it
  std::string FileName(std::string_view ext) const {
    return path_ + std::string(ext);
  }
  // Entries of the table that may be used: 1..min(MessageCount, loaded).
  uint16_t IndexEntries() const;
  // Entry k (from 1), or nullptr outside 1..IndexEntries().
  const SquishIndexEntry* IndexEntryAt(int64_t k) const;
  // Reads the frame header at offset into *header and checks that the
  // frame lies within the base (its header, and for a free frame its whole
  // length, between the control record and EndFrame), carries the frame id
  // and has the given type. kDamagedBase when it does not.
  IoResult ReadSoundFrame(int64_t offset, uint16_t type,
                          SquishFrameHeader* header);
  // Writes header at offset after journaling what was there (old).
  IoResult RewriteFrame(int64_t offset, const SquishFrameHeader& old,
                        const SquishFrameHeader& header);
  IoResult ReadNeighbours(const SquishFrameHeader& header, int64_t offset,
                          uint16_t chain_type, Neighbours* out);
  IoResult RelinkNeighbours(const SquishFrameHeader& header,
                            const Neighbours& n);
  void AddFreeSlot(int32_t offset, int32_t length);

  // Base files (squish_base.cc).
  bool AllocateTables();
  bool PrepareControlRecord(File& data, uint16_t max_msgs, uint16_t keep_days,
                            bool* holds_messages);
  bool PrepareIndexFile(bool holds_messages);
  bool ReserveIndexTable(uint16_t capacity);
  // The index file image kept for putting the file back.
  void RestoreIndexFile();
  void RememberIndexImage();
  void ReloadIndexFromImage();
  // Releases the lock, first writing the index and the control record when
  // commit is true. Returns the failed write's code or 0.
  IoResult ReleaseLock(bool commit);
  IoResult CommitLocked();

  // Storing (squish_write.cc).
  void BuildDates();
  // 0 when the control record and the whole index were read under the
  // lock and agree, so the index may be rewritten.
  IoResult CheckIndexWritable();
  IoResult StoreMessage();
  IoResult MakeRoomForEntry();
  bool GrowIndexTable();
  IoResult PlaceMessage();
  IoResult WriteNewFrame(int32_t offset, bool reused,
                         const SquishFrameHeader& old);
  IoResult TakeFromFreeChain(const SquishFrameHeader& taken,
                             const Neighbours& links);
  IoResult AppendToMessageChain(int32_t offset, const SquishFrameHeader& last);
  void AddIndexEntry(int32_t offset);
  IoResult EnforceMaxMessages();
  // Deletes the message with that Uid (the first such entry), taking the
  // lock when it is not held; the frame joins the end of the free chain.
  // 0 also when there is no such message.
  IoResult DeleteByUid(int32_t uid);
  // The same for index position k (1-based), the lock held.
  IoResult DeleteAt(uint16_t k);
  void RemoveIndexEntry(uint16_t k);
  // Change journal: BeginChange remembers what AbortChange restores.
  ChangeMark BeginChange() const;
  void AbortChange(const ChangeMark& mark);
  void RevertJournal(size_t keep);

  Env* env_;

  // ---- State ----
  std::string path_;  // full base path without extension
  // TextBuffer: positions 1..kTextBufferSize (byte 0 is unused).
  std::unique_ptr<uint8_t[]> text_buffer_;
  uint16_t io_status_ = 0;
  std::unique_ptr<File> data_file_;   // DataOpen: data_file_ != nullptr
  std::unique_ptr<File> index_file_;  // IndexOpen: index_file_ != nullptr
  // The control record: header_area_ holds its bytes as last read or
  // built (the tail beyond the known fields is kept as read); base_ its
  // fields. header_length_ and frame_header_size_ are this base's own.
  std::array<uint8_t, squish::kHeaderAreaSize> header_area_{};
  squish::SquishBaseHeader base_;
  uint16_t header_length_ = squish::kBaseHeaderSize;
  uint16_t frame_header_size_ = squish::kFrameHeaderSize;
  // 0 when base_ came whole and sound from the file (ReadBaseHeader).
  IoResult header_status_ = io::kNotOpen;
  uint16_t index_capacity_ = 0;
  bool locked_ = false;
  bool free_table_loaded_ = false;
  uint16_t free_table_count_ = 0;
  SquishFrameHeader frame_header_;
  squish::SquishMessageHeader msg_header_;
  uint16_t text_pos_ = 0;
  bool text_end_ = false;
  uint16_t cursor_index_ = 0;
  std::string date_text_;
  std::string time_text_;
  int32_t current_frame_ = 0;
  int32_t current_uid_ = 0;
  std::string search_name_;
  std::string search_alias_;
  uint32_t search_name_hash_ = 0;
  uint32_t search_alias_hash_ = 0;
  // IndexTable: index_capacity_ entries; entry k (from 1) is
  // index_table_[k - 1]. index_count_ entries hold loaded or stored values.
  std::unique_ptr<SquishIndexEntry[]> index_table_;
  uint16_t index_count_ = 0;
  // FreeTable: slots 1..kFreeTableSize are free_table_[0..].
  std::unique_ptr<FreeSlot[]> free_table_;
  // Bytes of TextBuffer filled by the last text read (reading).
  uint16_t text_loaded_ = 0;

  // ---- What the lock must be able to put back ----
  // The index file as last read: its bytes (when the whole file fit) and
  // its length.
  std::unique_ptr<uint8_t[]> index_image_;
  uint64_t index_file_size_ = 0;
  size_t index_image_size_ = 0;
  // 0 when the last ReadIndex loaded the whole index file.
  IoResult index_status_ = io::kNotOpen;
  // Control record bytes as read when the lock was taken.
  std::array<uint8_t, squish::kHeaderAreaSize> locked_header_area_{};
  squish::SquishBaseHeader locked_base_;
  std::vector<FrameUndo> journal_;
};

}  // namespace drayline

#endif  // DRAYLINE_SQUISH_SQUISH_MESSAGE_BASE_H_
