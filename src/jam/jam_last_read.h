// JamLastRead: the per-user last-read pointers of a JAM base, kept in its
// ".jlr" file as 16-byte records (UserCRC, UserID, LastReadMsg,
// HighReadMsg), one per user in the order users were first stored.
//
// The file is opened per call and closed before the call returns, so the
// pointers work from the path alone, with the base open or not. A record is
// found by its UserID, scanning from the start of the file in chunks of 100
// records; the last match of the first chunk that has one wins. Storing
// takes the lock on byte 0 of the header file (as a Change; without
// re-reading the base header), so two programs never both append a record
// for the same new user; a LockBase already holding it is used as it is.

#ifndef DRAYLINE_JAM_JAM_LAST_READ_H_
#define DRAYLINE_JAM_JAM_LAST_READ_H_

#include <cstdint>

#include "drayline/status.h"
#include "jam/jam_base_files.h"
#include "support/change.h"

namespace drayline::jam {

class JamLastRead {
 public:
  explicit JamLastRead(const JamBaseFiles& files) : files_(files) {}

  // The user's HighReadMsg; 0 when there is no record (a missing file is
  // no record) or it cannot be read (*status says which).
  int32_t Get(int32_t user, Status* status) const;
  // Sets LastReadMsg and HighReadMsg of the user's record, keeping its
  // UserCRC and UserID, or appends a new record after the whole records of
  // the file (creating the file when it is missing). All or nothing.
  Status Set(int32_t user, int32_t num) const;

 private:
  Status Store(Change& change, File& file, int32_t user, int32_t num) const;

  const JamBaseFiles& files_;
};

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_LAST_READ_H_
