// FrameReader: reads the headers and the body of a message frame for the
// cursor's walks, through a read-ahead window of the data file.
//
// While the lock is not held, small reads that walk forward over frames
// stored one after another are served from the window (support/
// read_window.h), so such a walk costs a read per window rather than per
// message. Under the lock every read goes to the file. The window is a
// snapshot like the index loaded for a walk: the owner drops it when a
// walk starts, when the lock is taken (every write to the data file is
// made under the lock) and when the file is closed.

#ifndef DRAYLINE_SQUISH_SQUISH_READER_H_
#define DRAYLINE_SQUISH_SQUISH_READER_H_

#include <cstdint>
#include <span>

#include "drayline/status.h"
#include "squish/squish_files.h"
#include "squish/squish_format.h"
#include "support/read_window.h"

namespace drayline::squish {

class FrameReader {
 public:
  explicit FrameReader(SquishFiles& files);

  // Reads the frame header and the message header of the frame at offset.
  // A frame inside the control record, past the end of the file or without
  // the frame id is Status::Damaged; a frame the file does not hold whole
  // is a short read. Either is read again under the lock (when not held)
  // before it is reported (msgbase/read_again.h). The outputs are written
  // only on success.
  Status LoadHeaders(int64_t offset, bool locked, SquishFrameHeader* frame,
                     SquishMessageHeader* message);
  // Reads up to out.size() bytes of the frame's body (after the message
  // header); *done receives the bytes read. Fewer than asked is a short
  // read (the file ends inside the body), with *done still counting them;
  // read again under the lock like the headers.
  Status ReadBody(int64_t offset, bool locked, std::span<uint8_t> out,
                  size_t* done);
  void Drop() { window_.Drop(); }

 private:
  Status LoadHeadersOnce(int64_t offset, bool locked, SquishFrameHeader* frame,
                         SquishMessageHeader* message);
  Status ReadBodyOnce(int64_t offset, bool locked, std::span<uint8_t> out,
                      size_t* done);
  IoResult ReadData(uint64_t offset, bool locked, std::span<uint8_t> buf,
                    size_t* done);
  Status ShortRead(int64_t offset) const;

  SquishFiles& files_;
  ReadWindow window_;
};

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_READER_H_
