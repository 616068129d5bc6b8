// JamCursor: the cursor over a JAM base's message numbers and the search
// for a user's unreceived mail.
//
// The cursor is a message number; record n of the index belongs to
// BaseMsgNum + n. Every number taken from the files is bounded first:
// cursor arithmetic is done in 64 bits, and the cursor only stands on
// numbers from which one step either way still fits in 32 bits. Deleted
// records (a negative HdrOffset) are stepped over. The search compares the
// index's checksums first and reads a header only for a match, into the
// engine's loaded header (so GetMsgNum answers for the match found).

#ifndef DRAYLINE_JAM_JAM_CURSOR_H_
#define DRAYLINE_JAM_JAM_CURSOR_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "drayline/status.h"
#include "jam/jam_base_files.h"
#include "jam/jam_header.h"
#include "jam/jam_header_reader.h"
#include "jam/jam_index.h"

namespace drayline::jam {

class JamCursor {
 public:
  JamCursor(JamBaseFiles& files, JamIndex& index, JamHeaderReader& reader,
            JamHeader& loaded)
      : files_(files), index_(index), reader_(reader), loaded_(loaded) {
    // Headers that look damaged are read again under this base's lock.
    reader_.SetBase(&files_);
  }

  // The highest message number of the index (deleted or not).
  int32_t HighMsgNum() const;
  // True while the cursor stands on a record of the index.
  bool Found() const;
  void SeekFirst(int32_t num);
  void SeekNext();
  void SeekPrior();
  void SetMsgLoc(int32_t loc) { current_ = loc; }
  // The index record of the cursor's message into *entry (and its record
  // number into *record). Fails when there is none or it cannot be read.
  Status Locate(IndexRecord* entry, int64_t* record);
  // The record number of the cursor's message, which may lie outside the
  // index (negative below it).
  int64_t Record() const { return int64_t{current_} - CursorBase(); }

  // The search names are cut to the length a stored name keeps; an empty
  // name or alias matches nothing. Each header the search loads goes into
  // *header as far as it is read: its fixed-part fields (all zero when it
  // could not be read) and, unless it is marked received, the recipient
  // last looked at.
  void SeekFirstForUser(std::string_view name, std::string_view alias, HeaderFields* header);
  void SeekNextForUser(HeaderFields* header);

  // What the last move met: a window of the index that could not be
  // read, or (for the search, which passes over it) a header that could
  // not be read; success otherwise.
  const Status& last_status() const { return last_status_; }

 private:
  // The lowest BaseMsgNum the cursor works with.
  int64_t CursorBase() const;
  // Present in the index and reachable by the cursor.
  bool IndexPresent(int64_t record, IoResult* code);
  Status IndexStatus(IoResult code) const;
  void NoteIndexResult(IoResult code);
  bool NameMatches(std::string_view name) const;
  // Loads the header of a record whose checksum matched; true when it is
  // unreceived mail for a search name.
  bool IsMailFor(const IndexRecord& entry, int64_t record, HeaderFields* header);

  JamBaseFiles& files_;
  JamIndex& index_;
  JamHeaderReader& reader_;
  JamHeader& loaded_;
  int32_t current_ = 0;
  std::string search_name_;
  std::string search_alias_;
  uint32_t search_name_crc_ = 0;
  uint32_t search_alias_crc_ = 0;
  Status last_status_;
};

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_CURSOR_H_
