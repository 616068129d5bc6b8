// SquishEngine: the StorageEngine of a base stored in the Squish format.
//
// A base is named by a path without extension (SetPath expands it to a
// full path): ".sqd" holds the control record and the frames, ".sqi" the
// index (one entry per message, oldest first, all held in memory, at most
// 5200), ".sql" the last-read pointers. Messages are numbered by their
// unique numbers (Uid); the cursor is a position in the index, and the
// display number is that position.
//
// Every change is made under the lock on byte 0 of ".sqd" through a
// support Change, which undoes it unless it is committed. Outside a
// caller's LockBase..UnlockBase the lock is taken for each change, the
// control record and the index are re-read, and the change writes the
// index and then the control record before it commits. Inside such a span
// the lock-time re-read is the one LockBase made, and UnlockBase writes
// the index and the control record (only when the lock-time read of the
// control record was sound) and commits every change of the span, which
// is one Change held from LockBase to UnlockBase; if it cannot, every
// change of the span is undone. A change of the span that fails on its own
// is undone back to where it began, and the span goes on.
//
// The engine's parts, each with one job: SquishFiles (files and control
// record), SquishIndex (the index table), FrameStore and FreeTable (frames
// and free list), FrameReader (headers and text through the read-ahead
// window), SquishText (the text source) and SquishChange (the changes
// themselves).

#ifndef DRAYLINE_SQUISH_SQUISH_STORAGE_H_
#define DRAYLINE_SQUISH_SQUISH_STORAGE_H_

#include <cstdint>
#include <functional>
#include <string>

#include "msgbase/storage_engine.h"
#include "squish/squish_change.h"
#include "squish/squish_files.h"
#include "squish/squish_frames.h"
#include "squish/squish_header.h"
#include "squish/squish_index.h"
#include "squish/squish_reader.h"
#include "squish/squish_text.h"

namespace drayline::squish {

class SquishEngine final : public StorageEngine {
 public:
  explicit SquishEngine(Env* env);
  ~SquishEngine() override;
  // Obtains the text buffer and the free-frame table; false when they
  // cannot be had (the engine must then not be used).
  bool Allocate();

  FormatRules Rules() const override;

  void SetPath(std::string_view path) override;
  Status Open() override;
  void Close() override;
  Status Create(uint16_t max_msgs, uint16_t keep_days) override;
  bool Exists() override;
  Status Lock() override;
  Status Unlock() override;

  HeaderFields NewHeader() override;
  Status Append(const HeaderFields& header, const ComposedText& text,
                uint16_t* code) override;
  Status RewriteHeader(const HeaderFields& header) override;
  // The text of a Squish message is not rewritten: the frame keeps it.
  Status RewriteMessage(HeaderFields* header,
                        const ComposedText& text) override;
  // A Squish message leaves the index: *header is never marked deleted.
  Status DeleteLoaded(HeaderFields* header) override;

  // The moves that re-read the index (SeekFirst, SetMsgLoc, the search)
  // answer the last failure of that read, and the search the last failure
  // of the headers it read.
  Status SeekFirst(int32_t num) override;
  Status SeekNext() override;
  Status SeekPrior() override;
  bool SeekFound() override;
  // The names are cut to the 34 characters a stored name keeps before
  // they are hashed and compared. Every header the search reads goes into
  // *header; it stops on the match with its header loaded.
  Status SeekFirstForUser(std::string_view name, std::string_view alias,
                          HeaderFields* header) override;
  Status SeekNextForUser(HeaderFields* header) override;
  bool ForUserFound() override;
  int32_t MsgNum() override;
  int32_t DisplayNum() override;  // the position in the index
  int32_t HighMsgNum() override;
  int32_t MessageCount() override;
  int32_t MsgLoc() override;
  Status SetMsgLoc(int32_t loc) override;

  // A header that cannot be read fills *header with the empty header.
  Status ReadHeader(HeaderFields* header) override;
  void MakeTexts(HeaderFields* header) override {
    MakeDateTexts(header, date_style_);
  }
  void MakeDates(HeaderFields* header) override { MakeLocalDates(header); }
  void SetDateStyle(uint8_t style) override { date_style_ = style; }
  void SetChangeOptions(const ChangeOptions& options) override {
    files_.SetChangeOptions(options);
  }
  Status BeginText() override;
  TextSource& Text() override { return text_; }

  Status GetLastRead(int32_t user, int32_t* num) override;
  Status SetLastRead(int32_t user, int32_t num) override;

  // ---- Inspection (tests) ----
  uint16_t IndexCapacity() const { return index_.capacity(); }
  const std::string& Path() const { return files_.path(); }

 private:
  // The message whose header ReadHeader (or a search) loaded.
  struct Loaded {
    int32_t frame = 0;  // its frame offset; 0 before any
    int32_t uid = 0;
    bool whole = false;  // the headers below are that frame's
    SquishFrameHeader frame_header;
    SquishMessageHeader header;
    int32_t text_length = 0;  // what GetTextLength answers
  };
  struct Search {
    std::string name, alias;  // upper-cased, cut to 34 characters
    uint32_t name_hash = 0, alias_hash = 0;
  };
  using Op = std::function<Status(SquishChange&, bool* write_base)>;

  BaseParts Parts() { return BaseParts{files_, index_, frames_, free_}; }
  bool Locked() const { return span_ != nullptr; }
  int32_t Counted() const { return files_.control().fields.MessageCount; }
  // Runs op as one change (see the file comment); on failure everything
  // it changed is undone, in memory too.
  Status RunChange(const Op& op);
  // The control record and the index read afresh under the lock.
  void Refresh();
  // Before a walk from the first message; under the lock the tables in
  // memory are newer than the files and are kept. The last failure.
  Status ReloadForWalk();
  const SquishIndexEntry* CursorEntry() const;
  // Loads the header of the message at the cursor (which must be on one);
  // on failure the loaded header is the empty one.
  Status LoadAtCursor();
  int64_t BodyLength() const;
  bool Matches(uint32_t hash) const;

  Env* env_;
  SquishFiles files_;
  SquishIndex index_;
  FrameStore frames_;
  FreeTable free_;
  FrameReader reader_;
  SquishText text_;
  // The caller's LockBase..UnlockBase: the change that holds the lock and
  // every change made under it. After files_, so it goes before them.
  std::unique_ptr<Change> span_;
  Mark lock_mark_;  // the tables as LockBase read them
  Loaded loaded_;
  Search search_;
  uint16_t cursor_ = 0;  // position in the index, from 1
  uint8_t date_style_ = kNoDateStyle;  // of GetDate's text
};

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_STORAGE_H_
