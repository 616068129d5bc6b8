// JamHeaderReader: reads message headers out of the header file (".jhr")
// through a read-ahead window (support/read_window.h), so that a walk over
// neighbouring headers costs one read per window rather than one per
// message, and a header far from the last one costs one read of the part
// that holds most headers whole.
//
// A header is read whole, as its fixed part and SubfieldLen bytes (at most
// the subfield area): a walk's next header refills the window; one far
// from the last takes 1024 bytes, which hold most headers whole, and the
// rest only when SubfieldLen asks for more. The window is a snapshot: the
// engine drops it when a walk starts (SeekFirst, SeekFirstForUser), when
// the lock is taken, after each of its own changes, and when the base is
// opened, created or closed. So a header read under the lock is what the
// file holds, while a change another program makes during a walk outside
// the lock may be seen only from the next walk on.
//
// A header that looks damaged (past the end of the file, cut short by it,
// without the signature) is read again under the lock on byte 0 of the
// header file before it is reported, unless the base holds the lock
// already (msgbase/read_again.h): another program may be half-way through
// storing it.

#ifndef DRAYLINE_JAM_JAM_HEADER_READER_H_
#define DRAYLINE_JAM_JAM_HEADER_READER_H_

#include <cstdint>

#include "drayline/status.h"
#include "jam/jam_base_files.h"
#include "jam/jam_header.h"
#include "support/env.h"
#include "support/read_window.h"

namespace drayline::jam {

class JamHeaderReader {
 public:
  JamHeaderReader();

  // The base whose lock (and its holding) a second look goes by; until it
  // is set, damage is reported as first seen. The cursor, made with both,
  // sets it.
  void SetBase(const JamBaseFiles* base) { base_ = base; }

  // Reads the header stored at offset of file (the one index record
  // `record` points to: the words of a failure name it) into *header. On
  // failure the fixed part of *header is zero and no header is loaded:
  // kDamaged when the file ends before the fixed part does or the header
  // does not start with the signature, else the I/O failure. A header
  // whose subfields run past the end of the file is loaded with the
  // subfield bytes there are.
  Status Load(File* file, uint32_t offset, int64_t record, JamHeader* header);
  void Drop() { window_.Drop(); }

 private:
  Status LoadOnce(File* file, uint32_t offset, int64_t record, JamHeader* header);

  ReadWindow window_;
  const JamBaseFiles* base_ = nullptr;
};

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_HEADER_READER_H_
