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

#ifndef DRAYLINE_JAM_JAM_HEADER_READER_H_
#define DRAYLINE_JAM_JAM_HEADER_READER_H_

#include <cstdint>

#include "drayline/status.h"
#include "jam/jam_header.h"
#include "support/env.h"
#include "support/read_window.h"

namespace drayline::jam {

class JamHeaderReader {
 public:
  JamHeaderReader();

  // Reads the header stored at offset of file (the one index record
  // `record` points to: the words of a failure name it) into *header. On
  // failure the fixed part of *header is zero and no header is loaded:
  // kDamaged when the file ends before the fixed part does, else the I/O
  // failure. A header whose subfields run past the end of the file is
  // loaded with the subfield bytes there are.
  Status Load(File* file, uint32_t offset, int64_t record, JamHeader* header);
  void Drop() { window_.Drop(); }

 private:
  ReadWindow window_;
};

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_HEADER_READER_H_
