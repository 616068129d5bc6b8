// Reading again under the lock what looked like damage.
//
// A program that reads without the lock may meet a base half-way through
// another program's store or deletion: an index record written before the
// header it points at, a frame being reused. Before a read reports damage
// it looks again with the lock on byte 0 of the base's header file, which
// every change holds, and reports only what it still sees. Both engines'
// readers go through ReadAgainUnderLock; the damage itself is theirs to
// find.

#ifndef DRAYLINE_MSGBASE_READ_AGAIN_H_
#define DRAYLINE_MSGBASE_READ_AGAIN_H_

#include "drayline/status.h"
#include "support/env.h"
#include "support/file_access.h"

namespace drayline {

// The answers of a read that may be another program's change seen half
// made: the files break the format's rules, or end inside a record.
inline bool LooksDamaged(const Status& s) {
  return s.code() == StatusCode::kDamaged || s.code() == StatusCode::kShortRead;
}

// Runs read(locked) once with locked == lock_held. When it answers what
// looks like damage and the caller does not hold the lock, takes the lock
// on byte 0 of guard (the file layer's retrying wait), runs read(true)
// (which must read the file itself, not what it read ahead), and releases
// the lock: that answer stands. When the lock cannot be had, the first
// answer stands. Nothing is written.
template <typename Read>
Status ReadAgainUnderLock(Env* env, File* guard, bool lock_held, Read read) {
  Status s = read(lock_held);
  if (lock_held || guard == nullptr || !LooksDamaged(s)) return s;
  if (LockWithRetry(env, *guard, 0, 1) != io::kOk) return s;
  s = read(true);
  UnlockRegion(*guard, 0, 1);
  return s;
}

}  // namespace drayline

#endif  // DRAYLINE_MSGBASE_READ_AGAIN_H_
